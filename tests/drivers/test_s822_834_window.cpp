// The S822 and S834 as a caller opens them and places their window, checked
// on the registers the simulated camera received: the FPGA told the host
// type after its reset, and the read width, start column and FPGA HBLK of
// each window rule, kept when the size changes after the start.
#include "modetable2/CCameraS822MM_Pro.h"
#include "modetable2/CCameraS834MM_Pro.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kPid822 = 0x822e, kPid834 = 0x834e;
constexpr int kFpgaUsbHost = 69;
constexpr int kRegStartX = 0x0A6;     // start x / 16, 2 bytes
constexpr int kRegReadWidth = 0x18C;  // 2 bytes

class C822Test : public C7100Test {
  protected:
    C822Test() {
        m_classes = {ModelClass<CCameraS822MM_Pro>(kPid822), ModelClass<CCameraS834MM_Pro>(kPid834)};
    }
};

TEST_F(C822Test, TheFpgaLearnsTheHostTypeRightAfterItsReset) {
    struct SCase {
        int pid;
        bool usb3;
    };
    const SCase cases[] = {{kPid822, true}, {kPid822, false}, {kPid834, true}, {kPid834, false}};
    for (const SCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << " usb3 " << c.usb3);
        ASSERT_NE(Fresh(c.pid, c.usb3), nullptr);
        EXPECT_EQ(m_dev.fpga(kFpgaUsbHost), c.usb3 ? 1 : 0);
        int hostWrites = 0;
        for (const SWrite7100& w : Writes()) {
            if (w.kind != 'F' || w.reg != kFpgaUsbHost) continue;
            ++hostWrites;
            EXPECT_EQ(w.value, c.usb3 ? 1 : 0);
        }
        EXPECT_EQ(hostWrites, 1);
    }
}

struct SWindowCase {
    int pid;
    bool hwBin;
    int bin, w, h;
    int x;
    int startUnit, readWidth, hblk;
};
const SWindowCase kWindows[] = {
    // Past the start register's reach (364 x 16 = 5824): it starts there and reads 176 more.
    {kPid822, false, 1, 1000, 600, 6000, 0x16C, 176 + 1000 + 160, 176 + 49},
    // At the reach: read from the start.
    {kPid822, false, 1, 1000, 600, 5824, 0x16C, 1160, 49},
    {kPid822, false, 1, 1000, 600, 160, 10, 1160, 49},
    // Software bin 2: the columns read are the unbinned ones.
    {kPid822, false, 2, 400, 300, 6400, 0x16C, 576 + 800 + 160, 576 + 49},
    // The S834's reach is 443 x 16 = 7088.
    {kPid834, false, 1, 800, 600, 7200, 0x1BB, 112 + 800 + 160, 112 + 52},
    {kPid834, false, 1, 800, 600, 7088, 0x1BB, 960, 52},
};

TEST_F(C822Test, EachWindowRulePlacesTheReadAndTheFpgaSkip) {
    for (const SWindowCase& c : kWindows) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " bin " << c.bin << " x " << c.x);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x / c.bin, 0), KYR_SUCCESS);
        EXPECT_EQ(Sensor16(kRegStartX), c.startUnit);
        EXPECT_EQ(Sensor16(kRegReadWidth), c.readWidth);
        EXPECT_EQ(Fpga16(kF7100HBLK), c.hblk);
    }
}

// While the sensor bins it reads its whole binned line whatever the window,
// also after a size change: a narrower read would leave the window's right
// columns unread.
TEST_F(C822Test, TheSensorBinnedReadIsTheWholeBinnedLineAfterAnySizeChange) {
    struct SCase {
        int pid, bin, readWidth, hblk;
    };
    const SCase cases[] = {
        {kPid822, 2, 5828 + 160, 30}, {kPid822, 3, 3884 + 160, 22}, {kPid822, 4, 5828 + 160, 30},
        {kPid834, 2, 7096 + 160, 24}, {kPid834, 3, 4728 + 160, 24},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " bin " << c.bin);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 800, 600, c.bin, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Sensor16(kRegReadWidth), c.readWidth);
        EXPECT_EQ(Sensor16(kRegStartX), 0);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        const int factor = c.bin == 3 ? 3 : 2;
        EXPECT_EQ(Fpga16(kF7100HBLK), c.hblk + x * c.bin / factor);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, c.bin, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(Sensor16(kRegReadWidth), c.readWidth);
    }
}

}  // namespace

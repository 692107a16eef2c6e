// The 825's window on the simulated camera's registers: the start stored as
// the caller gives it, pulled inside the sensor and then aligned to 12
// columns and 4 rows, and written with the sensor's offsets 36 and 60; the
// window as the readout's columns and rows + 22; every format re-centred.
#include <climits>

#include "test_s825_fixture.h"

namespace {

using Writes = std::vector<std::pair<uint16_t, uint8_t>>;

class C825GeometryTest : public C825Test {};

TEST_F(C825GeometryTest, StartsAreClampedThenAlignedAndWrittenWithTheSensorsOffsets) {
    constexpr int kW = 320, kH = 240;
    const struct {
        int x, y;
        int startX, startY;  // stored
    } cases[] = {
        {-5, -5, 0, 0},
        {13, 7, 12, 4},
        {0, 0, 0, 0},
        {11, 3, 0, 0},
        {1000, 502, 996, 500},
        // Past the right and bottom edges: pulled back to 2392 x 1296, then aligned.
        {k825Width, k825Height, 2388, 1296},
        {2395, 1299, 2388, 1296},
        {2391, 1295, 2388, 1292},
        // Far past them, where start + width would overflow an int.
        {INT_MAX, INT_MAX, 2388, 1296},
    };
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8), KYR_SUCCESS);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            int x = -1, y = -1;
            ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
            EXPECT_EQ(x, c.startX);
            EXPECT_EQ(y, c.startY);
            EXPECT_LE(x + kW, k825Width);
            EXPECT_LE(y + kH, k825Height);
            // One hold: 0x3018 first, then the two start registers, nothing else.
            const Writes want = {{0x3001, 1},
                                 {0x3018, 4},
                                 {0x302C, (c.startX + 36) & 0xFF},
                                 {0x302D, (c.startX + 36) >> 8},
                                 {0x3074, (c.startY + 60) & 0xFF},
                                 {0x3075, (c.startY + 60) >> 8},
                                 {0x3001, 0}};
            EXPECT_EQ(SensorWrites(m_dev.handle(), from), want);
            // The FPGA adds no blanking.
            EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);
            EXPECT_EQ(m_dev.fpgaWide(6, 2), 0);
        }
    }
}

TEST_F(C825GeometryTest, EveryFormatIsCentredAndSizesTheSensorWindowAndTheFPGA) {
    const struct {
        int w, h, bin;
        IMG_TYPE type;
    } cases[] = {
        {k825Width, k825Height, 1, IMG_RAW8},
        {640, 480, 1, IMG_RAW16},
        {320, 240, 2, IMG_RAW8},
        {1356, 768, 2, IMG_RGB24},
        {64, 2, 1, IMG_Y8},
        {96, 100, 1, IMG_RAW8},
    };
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin);
            ASSERT_EQ(KYRSetStartPos(0, 36, 20), KYR_SUCCESS);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            const int cols = c.w * c.bin, rows = c.h * c.bin;
            const int x = (k825Width - cols) / 2 / 12 * 12;
            const int y = (k825Height - rows) / 2 / 4 * 4;
            EXPECT_EQ(m_pCam->m_iStartX, x);
            EXPECT_EQ(m_pCam->m_iStartY, y);
            EXPECT_EQ(Sensor16(0x302C), x + 36);
            EXPECT_EQ(Sensor16(0x3074), y + 60);
            EXPECT_EQ(Sensor16(0x302E), cols);
            EXPECT_EQ(Sensor16(0x3076), rows + 22);
            EXPECT_EQ(m_dev.fpgaWide(4, 2), cols);
            EXPECT_EQ(m_dev.fpgaWide(8, 2), rows);
            // The whole readout is sent; the software bins it.
            EXPECT_EQ(Readout().iSoftBin, c.bin);
            const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs825(), 0x3001, from);
            EXPECT_TRUE(holds.Clean()) << holds.Text();
            // The family's other window registers are not the 825's.
            for (int reg : {0x308E, 0x30CE, 0x30C6, 0x30D8, 0x3090, 0x3308}) {
                for (const auto& w : SensorWrites(m_dev.handle(), from))
                    EXPECT_NE(w.first, reg) << std::hex << reg;
            }
        }
    }
}

}  // namespace

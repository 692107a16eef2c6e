// The 825's start-up, modes and stream switch through the exported
// functions: the published start-up rows with their one hold release, the
// high-speed mode's two registers and shorter line, the hardware bin it does
// not have, and the stop that puts the sensor's master mode back.
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "FrameReference.h"
#include "SettingsText.h"
#include "TestSpeed.h"
#include "test_s825_fixture.h"

namespace {

using Writes = std::vector<std::pair<uint16_t, uint8_t>>;

class C825ModesTest : public C825Test {};

TEST_F(C825ModesTest, InitWritesThePublishedRowsWhoseOwnReleaseIsTheOnlyOneInsideTheTable) {
    const Writes want = {
        {0x3001, 1},    {0x3000, 1},    {0x3001, 0},    {0x3002, 1},    {0x300C, 0x5B},
        {0x300D, 0x40}, {0x3058, 0x83}, {0x3059, 0x04}, {0x30BE, 0x5E}, {0x3A20, 0x3F},
        {0x3A22, 0x6F}, {0x3A24, 0x3F}, {0x3A26, 0x5F}, {0x3A28, 0x2F}, {0x3000, 0},
        {0x3002, 1},    {0x3018, 4},    {0x3050, 1},    {0x319D, 1},    {0x3001, 0},
    };
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        const Writes writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), want.size());
        EXPECT_EQ(Writes(writes.begin(), writes.begin() + static_cast<long>(want.size())), want);
        // Past the table every hold is set, then released.
        int expectSet = 1;
        for (size_t i = want.size(); i < writes.size(); ++i) {
            if (writes[i].first != 0x3001) continue;
            EXPECT_EQ(writes[i].second, expectSet) << "hold write " << i;
            expectSet = writes[i].second ? 0 : 1;
        }
        EXPECT_EQ(expectSet, 1);
        // Over the whole start-up one release more than holds set: the table's own.
        int sets = 0, releases = 0;
        for (const auto& w : writes)
            if (w.first == 0x3001) ++(w.second ? sets : releases);
        EXPECT_EQ(releases, sets + 1);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
        // It ends in standby with the stream stopped.
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
        EXPECT_EQ(m_dev.sensor(0x3004), 4);
        // The uncooled camera bypasses the DDR it does not have.
        EXPECT_EQ(m_dev.fpga(10) & 0x40, pid == kPid825 ? 0x40 : 0);
        EXPECT_EQ(m_pCam->m_bDDREnable, pid == kPid825Pro);
    }
}

TEST_F(C825ModesTest, HighSpeedHalvesTheShortestLineAndSwitchesTwoRegisters) {
    const struct {
        bool highSpeed;
        int reg3050, reg319D;
        int hmax;  // the Pro's, with its DDR
        bool adc12;
    } cases[] = {{true, 0, 0, 202, false}, {false, 1, 1, 404, true}, {true, 0, 0, 202, false}};
    ASSERT_NE(Fresh(kPid825Pro), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.highSpeed);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, c.highSpeed ? 1 : 0), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x3050), c.reg3050);
        EXPECT_EQ(m_dev.sensor(0x319D), c.reg319D);
        EXPECT_EQ(m_dev.sensor(0x3018), 4);
        EXPECT_EQ(FpgaHMAX(), c.hmax);
        EXPECT_EQ((m_dev.fpga(10) & 0x01) != 0, c.adc12);
        // 16-bit output stays on in both modes.
        EXPECT_EQ(m_dev.fpga(10) & 0x10, 0x10);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs825(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C825ModesTest, TheHardwareBinIsRefusedAndChangesNothing) {
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        KYR_CONTROL_CAPS caps;
        EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 2, IMG_RAW8), KYR_SUCCESS);
        const int requests = kyrsim_log_count();
        EXPECT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(kyrsim_log_count(), requests);
        long on = -1;
        KYR_BOOL autoOn = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_HARDWARE_BIN, &on, &autoOn), KYR_SUCCESS);
        EXPECT_EQ(on, 0);
        EXPECT_FALSE(m_pCam->m_bHardwareBin);
        EXPECT_EQ(Readout().iSoftBin, 2);
    }
}

std::string ValByte(const char* name, int v) {
    char text[3];
    snprintf(text, sizeof(text), "%02x", v & 0xFF);
    return Val(name, 3, text);
}

TEST_F(C825ModesTest, AStoredHardwareBinStillGivesSoftwareBinnedImages) {
    const struct {
        int pid;
        const char* folder;
    } cases[] = {{kPid825, "KYR825MC"}, {kPid825Pro, "KYR825MC_Pro"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        KYRCloseCamera(0);
        const std::string dir = std::string(getenv("HOME")) + "/.VORN";
        mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/KYRconfig.xml") << SettingsDoc(c.folder, ValByte("HardwareBin", 1));
        Replug(c.pid);
        ASSERT_NE(m_pCam = OpenInit(), nullptr);
        EXPECT_FALSE(m_pCam->m_bHardwareBin);
        ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 2, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 40, 30), KYR_SUCCESS);
        const SReadout r = Readout();
        EXPECT_EQ(r.iSoftBin, 2);
        EXPECT_EQ(r.iCols, 320);
        EXPECT_EQ(r.iRows, 240);
        std::vector<unsigned char> img(160u * 120u);
        ASSERT_TRUE(CaptureImage(true, &img, 5000 * kTestSlowdown));
        const std::vector<unsigned char> sent = m_dev.lastFrame();
        ASSERT_EQ(sent.size(), 320u * 240u);
        EXPECT_TRUE(img == ReferenceImage(sent, 160, 120, IMG_RAW8, false, r));
    }
}

TEST_F(C825ModesTest, AStreamStopPutsTheMasterModeBackAfterStandby) {
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        std::vector<unsigned char> img(160u * 120u);
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), 5000 * kTestSlowdown),
                  KYR_SUCCESS);
        // Streaming: out of standby, master mode on.
        EXPECT_EQ(m_dev.sensor(0x3000), 0);
        EXPECT_EQ(m_dev.sensor(0x3004), 0);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        const Writes writes = SensorWrites(m_dev.handle(), from);
        size_t standby = writes.size(), master = writes.size();
        for (size_t i = 0; i < writes.size(); ++i) {
            if (writes[i] == std::pair<uint16_t, uint8_t>{0x3000, 1} && standby == writes.size()) standby = i;
            if (writes[i] == std::pair<uint16_t, uint8_t>{0x3004, 4} && master == writes.size()) master = i;
        }
        ASSERT_LT(standby, writes.size());
        ASSERT_LT(master, writes.size());
        EXPECT_EQ(master, standby + 1);
        EXPECT_EQ(m_dev.sensor(0x3004), 4);
    }
}

}  // namespace

// The 829 and 837 classes as a caller meets them: their description,
// sensitivity figures and settings key, and InitCamera as the camera
// receives it (the published start-up rows, the FPGA set-up, the DDR, the
// cooler, the closing standby write, the timing it leaves).
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "test_s829_837_fixture.h"

namespace {

// The published start-up rows of each model, in their order.
const std::vector<std::pair<uint16_t, uint8_t>> kTable829 = {
    {0x3000, 0x01}, {0x300C, 0x01}, {0x3034, 0x00}, {0x303C, 0x09}, {0x30D4, 0xD0}, {0x30D5, 0x02},
    {0x30D6, 0x00}, {0x30D8, 0xBE}, {0x30D9, 0x00}, {0x30E2, 0x06}, {0x30E3, 0x04}, {0x3104, 0x03},
    {0x3120, 0x00}, {0x3121, 0x00}, {0x3122, 0x00}, {0x3123, 0x00}, {0x3124, 0x30}, {0x3125, 0x03},
    {0x3126, 0x70}, {0x3127, 0x02}, {0x3200, 0x05}, {0x3220, 0x50}, {0x3224, 0x50}, {0x3226, 0x93},
    {0x3230, 0x41}, {0x3444, 0x02}, {0x3445, 0x03}, {0x35C0, 0xF0}, {0x3000, 0x00}, {0x300C, 0x00},
};
const std::vector<std::pair<uint16_t, uint8_t>> kTable837 = {
    {0x3000, 0x01}, {0x300C, 0x01}, {0x3010, 0x81}, {0x3011, 0x0E}, {0x3012, 0x20}, {0x3013, 0x07},
    {0x3014, 0x49}, {0x3015, 0x3B}, {0x3034, 0x00}, {0x3120, 0x00}, {0x3121, 0x00}, {0x3122, 0x00},
    {0x3123, 0x00}, {0x3124, 0x30}, {0x3125, 0x03}, {0x3126, 0x70}, {0x3127, 0x02}, {0x3200, 0x20},
    {0x3240, 0x10}, {0x3241, 0x00}, {0x3242, 0x00}, {0x3243, 0x00}, {0x3510, 0x00}, {0x3514, 0x00},
    {0x3515, 0x00}, {0x35C0, 0xF0}, {0x35C1, 0x00}, {0x4928, 0x01}, {0x3000, 0x00}, {0x300C, 0x00},
};

// The log entry right after the start-up rows of camera `handle`.
int AfterTable(int handle, size_t rows) {
    size_t seen = 0;
    for (int i = 0; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.request != 0xB6) continue;
        if (++seen == rows) return i + 1;
    }
    return kyrsim_log_count();
}

TEST_F(C829837Test, EachClassDescribesItself) {
    for (int pid : kPids829837) {
        const SClassRow& c = RowOf(pid);
        SCOPED_TRACE(c.label);
        KYRCloseCamera(0);
        kyrsim::reset();
        Plug(pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, c.width);
        EXPECT_EQ(info.max_height, c.height);
        EXPECT_EQ(info.is_color, KYR_FALSE);
        const int bins[] = {1, 2, 0};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        const IMG_TYPE types[] = {IMG_RAW8, IMG_RAW16, IMG_END};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, c.pixelUm);
        EXPECT_EQ(info.st4_port, c.cooled ? KYR_FALSE : KYR_TRUE);
        EXPECT_EQ(info.has_cooler, c.cooled ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bit_depth, 12);
        EXPECT_EQ(info.is_trigger, KYR_FALSE);

        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_FLOAT_EQ(info.elec_per_adu, c.elecPerADU);
        int highestDR = -1, unity = -1, gainLowestRN = -1, offsetLowestRN = -1;
        ASSERT_EQ(KYRGetGainOffset(0, &highestDR, &unity, &gainLowestRN, &offsetLowestRN), KYR_SUCCESS);
        EXPECT_EQ(highestDR, c.offsetHighestDR);
        EXPECT_EQ(unity, c.offsetUnityGain);
        EXPECT_EQ(gainLowestRN, c.gainLowestRN);
        EXPECT_EQ(offsetLowestRN, c.offsetLowestRN);
        KYR_CONTROL_CAPS caps;
        EXPECT_FALSE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
        EXPECT_EQ(FindControl(0, "CoolerOn", &caps), c.cooled);
        ExpectControlLimits(0, {{"Gain", c.gainMax, 0, 200}, {"Offset", 120, 0, 1}});
        for (int bin : {3, 4}) EXPECT_NE(KYRSetROIFormat(0, 200, 96, bin, IMG_RAW8), KYR_SUCCESS) << bin;
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

// The Mini keeps its settings under its own key, apart from the 837 Pro's.
TEST_F(C829837Test, TheMiniKeepsItsSettingsUnderItsOwnKey) {
    auto storedGain = [&](int pid) {
        Fresh(pid);
        long gain = -1;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, KYR_GAIN, &gain, &bAuto), KYR_SUCCESS);
        return gain;
    };
    ASSERT_EQ(storedGain(kPid837Mini), 200);
    ASSERT_EQ(Set(KYR_GAIN, 333), KYR_SUCCESS);
    // A capture's end stores the settings.
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    std::ifstream in(std::string(getenv("HOME")) + "/.VORN/KYRconfig.xml");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("KYR842MM-Mini"), std::string::npos);
    EXPECT_EQ(storedGain(kPid837Pro), 200);
    EXPECT_EQ(storedGain(kPid837Mini), 333);
}

TEST_F(C829837Test, InitWalksThePublishedRowsInOrderOutsideAnyHold) {
    for (int pid : kPids829837) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NE(Fresh(pid), nullptr);
        const auto& table = Is829(pid) ? kTable829 : kTable837;
        const auto writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), table.size());
        // Nothing before them, so no hold around them either.
        const std::vector<std::pair<uint16_t, uint8_t>> head(writes.begin(), writes.begin() + table.size());
        EXPECT_EQ(head, table);
    }
}

TEST_F(C829837Test, VrCmdAfFollowsTheFpgaSetUpTheMiniSkipsTheDdrAndTheProsStartTheirCoolers) {
    for (int pid : kPids829837) {
        const SClassRow& c = RowOf(pid);
        SCOPED_TRACE(c.label);
        ASSERT_NE(Fresh(pid), nullptr);
        const std::vector<SLogged> log = Logged(m_dev.handle());
        const int af = ExpectAfAfterFpgaSetUp(log, IndexOf(log, 0xB6, 0x300C, 0x00));
        const int ddrTest = IndexOf(log, 0xBC, 35);
        if (c.ddr) {
            ASSERT_GE(ddrTest, 0);
            EXPECT_GT(af, ddrTest);
            EXPECT_EQ(m_dev.fpga(10) & 0x40, 0);  // the DDR in use
        } else {
            EXPECT_TRUE(ddrTest < 0 || ddrTest > af) << ddrTest;
            EXPECT_NE(m_dev.fpga(10) & 0x40, 0);  // EnableFPGADDR(false): bypassed
        }
        ExpectCoolerStarted(c.cooled);
    }
}

TEST_F(C829837Test, InitEndsWithTheSensorInStandby) {
    for (int pid : kPids829837) {
        SCOPED_TRACE(RowOf(pid).label);
        ExpectEndsInStandby(InitRequests(pid));
    }
}

// After KYRInitCamera on a USB 3 host: the FPGA's line and blanking, the
// sensor's window height and the output pacing; the Mini paces by its line
// alone and never writes the pacing registers.
TEST_F(C829837Test, AfterInitEachClassShowsItsTiming) {
    const struct {
        int pid;
        long long hmax;
        int height;
    } cases[] = {
        {kPid829MM, 560, 1252},
        {kPid829Pro, 560, 1252},
        // 390000 x 1000 / 816 / 624 frames a second over 624 + 728 lines at 20 MHz is shorter
        // than 175 clocks: 175 x 100 / 80.
        {kPid837Mini, 218, 624},
        {kPid837Pro, 175, 624},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(RowOf(c.pid).label);
        ASSERT_NE(Fresh(c.pid), nullptr);
        EXPECT_EQ(HMAX(), c.hmax);
        EXPECT_EQ(VBLK(), 21);
        EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);
        EXPECT_EQ(Window(0x3126), c.height);
        long percent = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &percent, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(percent, 80);
        EXPECT_EQ(bAuto, KYR_TRUE);
        if (RowOf(c.pid).ddr) {
            EXPECT_EQ(Pacing(), 72);
        } else {
            for (const SLogged& l : Logged(m_dev.handle()))
                EXPECT_FALSE(l.request == 0xBD && (l.reg == 36 || l.reg == 37)) << l.reg;
        }
        // Past the start-up rows every held register is written in the hold.
        const SHoldReport holds = CheckHolds(m_dev.handle(), FamilyHeldRegs(), kProfileHoldReg,
                                             AfterTable(m_dev.handle(), kTable829.size()));
        EXPECT_TRUE(holds.Clean() && holds.unheld.empty()) << holds.Text();
    }
}

}  // namespace

// The 831 classes as a caller meets them: their description, controls and
// size limits, and InitCamera as the camera receives it (the published
// start-up rows without a hold, the mode table, the FPGA set-up before
// VR_CMD_AF, the DDR test and cooler of the Pro only, the closing standby
// write) and the timing it leaves.
#include <string>

#include "test_s831_fixture.h"

namespace {

TEST_F(C831Test, EachClassDescribesItself) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        Replug(c.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, c.maxW);
        EXPECT_EQ(info.max_height, c.maxH);
        EXPECT_EQ(info.is_color, KYR_TRUE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        const int bins[] = {1, 2, 0};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        const IMG_TYPE types[] = {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END};
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 3.45);
        EXPECT_EQ(info.st4_port, c.ddr ? KYR_FALSE : KYR_TRUE);
        EXPECT_EQ(info.has_cooler, c.ddr ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bit_depth, 12);
        EXPECT_EQ(info.is_trigger, KYR_FALSE);

        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_FLOAT_EQ(info.elec_per_adu, 2.74f);
        KYR_CONTROL_CAPS caps;
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
        EXPECT_EQ(FindControl(0, "CoolerOn", &caps), c.ddr);
        ExpectControlLimits(0, {{"Gain", 480, 0, 200},
                                {"Offset", 120, 0, 1},
                                {"WB_R", 99, 1, c.wbRed},
                                {"WB_B", 99, 1, c.wbBlue}});
        ExpectNoTriggerMode(0);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C831Test, SizesPassUpToTheSensorAndNoFurther) {
    const struct {
        int pid, w, h, bin;
        bool ok;
    } cases[] = {
        {kPid831Pro, 728, 544, 1, true},  {kPid831Pro, 364, 272, 2, true},  {kPid831Pro, 736, 544, 1, false},
        {kPid831Pro, 728, 546, 1, false}, {kPid831Pro, 368, 272, 2, false}, {kPid831, 1456, 1088, 1, true},
        {kPid831, 728, 544, 2, true},     {kPid831, 1464, 1088, 1, false},  {kPid831, 200, 100, 3, false},
        {kPid831, 1456, 1090, 1, false},
    };
    int pid = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.pid << std::dec << " " << c.w << "x" << c.h << " bin " << c.bin);
        if (c.pid != pid) {
            ASSERT_NE(Fresh(pid = c.pid), nullptr);
        }
        ASSERT_EQ(KYRSetROIFormat(0, 64, 32, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW16) == KYR_SUCCESS, c.ok);
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        // A refused format changes nothing.
        EXPECT_EQ(w, c.ok ? c.w : 64);
        EXPECT_EQ(type, c.ok ? IMG_RAW16 : IMG_RAW8);
    }
}

// The published start-up rows in their order (the class rows right after the
// opening 0x300C row), after the 20 ms delay row, with no hold around them.
TEST_F(C831Test, InitWalksThePublishedRowsInOrderWithoutAHold) {
    const std::vector<std::string> common = {"S3016=01", "S300A=01", "S301B=00", "S3022=F0", "S3254=3C",
                                             "S3255=00", "S3300=03", "S3310=00", "S3311=00", "S3312=00",
                                             "S3313=00", "S3314=B0", "S3315=05", "S3316=40", "S3317=04",
                                             "S4014=1C", "S40C1=F6", "S40C7=0F", "S40C8=00"};
    const struct {
        int pid;
        std::vector<std::string> classRows;
    } cases[] = {
        {kPid831, {"S3005=00", "S300D=00", "S301C=10"}},
        {kPid831Pro, {"S3005=21", "S301C=30"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid == kPid831 ? "MC" : "MC Pro");
        ASSERT_NE(Fresh(c.pid), nullptr);
        std::vector<std::string> want = {"S300C=01"};
        want.insert(want.end(), c.classRows.begin(), c.classRows.end());
        want.insert(want.end(), common.begin(), common.end());
        std::vector<std::string> sensor;
        for (const std::string& w : Writes())
            if (w[0] == 'S') sensor.push_back(w);
        ASSERT_GE(sensor.size(), want.size());
        EXPECT_EQ(std::vector<std::string>(sensor.begin(), sensor.begin() + want.size()), want);
        // The 20 ms delay row comes first.
        long long lastEnd = -1, gap = -1;
        for (int i = 0; i < kyrsim_log_count() && gap < 0; ++i) {
            kyrsim_request r;
            if (kyrsim_log_get(i, &r) != 0 || r.device != m_dev.handle()) continue;
            if (r.request == 0xB6) gap = lastEnd >= 0 ? r.start_us - lastEnd : -1;
            lastEnd = r.end_us;
        }
        EXPECT_GE(gap, 19000);
    }
}

// After the table: the FPGA reset, the DDR test in the Pro only, the FPGA
// set-up, VR_CMD_AF, the cooler in the Pro, the offset, the output width, the
// normal mode's table, and last the standby write.
TEST_F(C831Test, InitSetsUpTheFpgaBeforeVrCmdAfAndEndsInStandby) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        Replug(c.pid);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        m_pCam = MadeCameras().back();
        kyrsim_log_clear();
        ASSERT_TRUE(Locked([&] { return m_pCam->InitCamera(); }));
        const std::vector<std::string> w = Writes();
        ASSERT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xAF, KYRSIM_DIR_OUT), 1);
        const int lastRow = Find831(w, "S40C8=00");
        const int af = Find831(w, "CAF");
        const int unityBlue = Find831(w, "F15=128");  // SetFPGAGain(128, ...), its last colour
        const int offset = Find831(w, "S3254=01", af);
        const int mode = Find831(w, "S3165=60", af);
        ASSERT_TRUE(lastRow >= 0 && unityBlue > lastRow && af > unityBlue && offset > af && mode > offset)
            << lastRow << " " << unityBlue << " " << af << " " << offset << " " << mode;
        EXPECT_EQ(Find831(w, "S3008=01"), Find831(w, "S3008=01", lastRow));
        // The DDR test reads the FPGA status; the MC runs none and bypasses the DDR.
        int statusReads = 0;
        for (const kyrsim::Request& r : kyrsim::requests(0xBC, m_dev.handle())) statusReads += r.value == 35;
        EXPECT_EQ(statusReads > 0, c.ddr);
        EXPECT_EQ((m_dev.fpga(10) & 0x40) != 0, !c.ddr);
        EXPECT_NE(m_dev.fpga(0) & 0x20, 0);  // master
        CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
        EXPECT_EQ(cool != nullptr, c.ddr);
        if (cool) {
            EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
            EXPECT_FALSE(cool->m_bAutoTempOn);
        }
        ASSERT_FALSE(w.empty());
        EXPECT_EQ(w.back(), "S3000=01");
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
    }
}

TEST_F(C831Test, ADdrThatIsNeverReadyFailsOnlyTheProsInit) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        Replug(c.pid);
        ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
        m_pCam = OpenInit(0, c.ddr ? KYR_ERROR_GENERAL_ERROR : KYR_SUCCESS);
        ASSERT_NE(m_pCam, nullptr);
        EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xAF, KYRSIM_DIR_OUT), c.ddr ? 0 : 1);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C831Test, AfterInitTheProOnUsb3ShowsItsTimingAndWindow) {
    ASSERT_NE(Fresh(kPid831Pro), nullptr);
    EXPECT_EQ(HMAX(), 104);
    EXPECT_EQ(m_dev.fpgaWide(6, 2), 11);
    EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);
    EXPECT_EQ(Pacing(), 72);
    EXPECT_EQ(m_dev.sensor(0x3314), 0xD8);
    EXPECT_EQ(m_dev.sensor(0x3315), 0x02);
    EXPECT_EQ(m_dev.sensor(0x3316), 0x20);
    EXPECT_EQ(m_dev.sensor(0x3317), 0x02);
    long percent = 0;
    KYR_BOOL bAuto = KYR_FALSE;
    ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &percent, &bAuto), KYR_SUCCESS);
    EXPECT_EQ(percent, 80);
    EXPECT_EQ(bAuto, KYR_TRUE);
    // Only the published rows were written before any hold.
    const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs831());
    int tableRows = 0;
    for (const std::string& w : holds.unheld) tableRows += w.find("0x331") == 0 ? 1 : 0;
    EXPECT_EQ(static_cast<size_t>(tableRows), holds.unheld.size()) << holds.Text();
    EXPECT_EQ(holds.iNested, 0);
    EXPECT_FALSE(holds.bLeftSet);
}

TEST_F(C831Test, TheMcNeverPacesTheFpgaOutput) {
    for (bool usb3 : {true, false}) {
        SCOPED_TRACE(usb3 ? "USB3" : "USB2");
        ASSERT_NE(Fresh(kPid831, usb3), nullptr);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 60), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 60, true), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW16), KYR_SUCCESS);
        ASSERT_TRUE(m_pCam->SetEnableDDR(true));
        for (const std::string& w : Writes()) EXPECT_TRUE(w.rfind("F36=", 0) && w.rfind("F37=", 0)) << w;
        EXPECT_NE(m_dev.fpga(10) & 0x40, 0);  // the DDR stays bypassed
    }
}

}  // namespace

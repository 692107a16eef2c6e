// The 832 driver classes: construction, initialisation, the timing words of
// each object, and closing.
#include <memory>

#include "test_s832_fixture.h"

namespace {

constexpr int kFpgaCtrlStop = 0x10;

struct SClassCase {
    int pid;
    const char* name;
    int offsetDef;
    bool st4;
};
const SClassCase kClasses[] = {
    {kPid832, "VORN KYR832MC", 1, true},
    {kPid832Pro, "VORN KYR832MC Pro", 3, false},
};

TEST_F(C832Test, FreshObjectsHoldTheModelConstants) {
    for (const SClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CCameraBase> cam(CreateCameraForProduct(c.pid));
        ASSERT_NE(cam, nullptr);
        EXPECT_STREQ(cam->m_pszName, c.name);
        EXPECT_EQ(cam->m_iPID, c.pid);
        EXPECT_EQ(cam->m_iVID, 0x2e7b);
        EXPECT_EQ(cam->m_iMaxWidth, 3840);
        EXPECT_EQ(cam->m_iMaxHeight, 2160);
        EXPECT_EQ(cam->m_iWidth, 3840);
        EXPECT_EQ(cam->m_iHeight, 2160);
        const uint8_t bins[] = {1, 2, 3, 4, 0};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(cam->m_ucSupportedBins[i], bins[i]) << i;
        EXPECT_EQ(cam->m_iGain, 200);
        EXPECT_EQ(cam->m_iGainMax, 600);
        EXPECT_EQ(cam->m_lExpTimeUs, 10000u);
        EXPECT_EQ(cam->m_iExpMin, 32);
        EXPECT_EQ(cam->m_iGamma, 50);
        EXPECT_EQ(cam->m_iBrightness, c.offsetDef);
        EXPECT_EQ(cam->m_iOffsetDef, c.offsetDef);
        EXPECT_EQ(cam->m_iWBRed, 55);
        EXPECT_EQ(cam->m_iWBBlue, 75);
        EXPECT_EQ(cam->m_iFPSPerc, 80);
        EXPECT_TRUE(cam->m_bAutoFPS);
        EXPECT_TRUE(cam->m_bDDREnable);
        EXPECT_EQ(cam->m_iFclk, 20000);
        EXPECT_EQ(cam->m_usHMAX, 192);
        EXPECT_EQ(cam->m_bST4, c.st4);
        EXPECT_TRUE(cam->m_bColor);
        EXPECT_TRUE(cam->m_bCapHardwareBin);
        EXPECT_TRUE(cam->m_bCapRaw8 && cam->m_bCapRGB24 && cam->m_bCapY8 && cam->m_bCapRaw16);
        EXPECT_EQ(cam->m_iTempSensorType, 0);
        EXPECT_LE(cam->m_iAutoExpMaxMs, 2000000);
        EXPECT_DOUBLE_EQ(cam->m_dPixelSize, 2.9);
    }
}

TEST_F(C832Test, InitialisingANeverOpenedCameraFailsWithoutUsbTraffic) {
    Plug(kPid832);
    kyrsim::clearLog();
    CCameraS832MC cam;
    EXPECT_FALSE(cam.InitCamera());
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(C832Test, InitWritesTheTableAndFixedRowsInOrderInOneHold) {
    for (const SClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        ASSERT_NE(Setup(c.pid), nullptr);
        const std::vector<std::pair<uint16_t, uint8_t>> expected = {
            {0x3001, 1},    {0x3018, 0x14}, {0x3014, 0x01}, {0x3015, 0x06}, {0x3460, 0x21}, {0x3478, 0xA1},
            {0x347C, 0x01}, {0x3480, 0x01}, {0x3A4E, 0x14}, {0x3409, 0x00}, {0x340B, 0x00}, {0x3458, 0x00},
            {0x3002, 1},    {0x3018, 0x14}, {0x301B, 0},    {0x3022, 2},    {0x3023, 1},    {0x3001, 0}};
        const auto writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), expected.size());
        const std::vector<std::pair<uint16_t, uint8_t>> first(writes.begin(),
                                                              writes.begin() + expected.size());
        EXPECT_EQ(first, expected);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C832Test, InitLeavesTheSensorInStandbyWithTheFullWindow) {
    for (const SClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        ASSERT_NE(Setup(c.pid), nullptr);
        EXPECT_NE(m_dev.fpga(0) & kFpgaCtrlStop, 0);
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 3840);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 2160);
        EXPECT_EQ(m_dev.fpgaWide(64, 4), 2073600);
        EXPECT_EQ(m_dev.sensor(0x303E), 0x00);
        EXPECT_EQ(m_dev.sensor(0x303F), 0x0F);
        EXPECT_EQ(m_dev.sensor(0x3046), 0x72);
        EXPECT_EQ(m_dev.sensor(0x3047), 0x08);
        // 12-bit mode, 8-bit output.
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x01);
        EXPECT_EQ(m_dev.sensor(0x4231), 0x18);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs832());
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C832Test, AutoBandwidthIsFullOnUsb3AndEightyPercentOnUsb2) {
    const struct {
        bool usb3;
        int percent;
        int usbBandwidth;
    } cases[] = {{true, 100, 400000}, {false, 80, 43272}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.usb3 ? "USB3" : "USB2");
        kyrsim::reset();
        ASSERT_NE(Setup(kPid832, c.usb3), nullptr);
        long percent = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &percent, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(percent, c.percent);
        EXPECT_EQ(bAuto, KYR_TRUE);
        EXPECT_EQ(Engine().g_iUSBBandwidth, c.usbBandwidth);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C832Test, TheCooledTwinRunsItsCoolerOffAfterInit) {
    ASSERT_NE(Setup(kPid832Pro), nullptr);
    CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
    ASSERT_NE(cool, nullptr);
    EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
    EXPECT_EQ(m_dev.coolerDrive(), 255);
    EXPECT_FALSE(cool->m_bAutoTempOn);
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    EXPECT_FALSE(m_dev.coolerDrive() < 255);
}

TEST_F(C832Test, DdrNeverReadyFailsInitWithoutCoolerAndClosesCleanly) {
    for (const SClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        m_dev = Plug(c.pid);
        ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
        m_pCam = OpenInit(0, KYR_ERROR_GENERAL_ERROR);
        ASSERT_NE(m_pCam, nullptr);
        if (CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam)) {
            EXPECT_FALSE(cool->m_thrAutoTemp.IsAlive());
        }
        EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xB2, KYRSIM_DIR_OUT), 0);
        // The calls that need an initialised camera refuse.
        EXPECT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_ERROR_INVALID_SEQUENCE);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
}

TEST_F(C832Test, AFailedSensorWriteDuringInitLeavesNoHoldSet) {
    // The 6th sensor write is a row of the start-up table, inside the hold.
    const int nths[] = {2, 6, 17};
    for (int nth : nths) {
        SCOPED_TRACE(nth);
        kyrsim::reset();
        m_dev = Plug(kPid832);
        kyrsim::Fault().device(m_dev).request(0xB6).out().nth(nth).error(LIBUSB_ERROR_IO).add();
        // Initialisation goes on past a failed write, and reports it.
        ASSERT_NE(OpenInit(0, KYR_ERROR_GENERAL_ERROR), nullptr);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs832());
        EXPECT_FALSE(holds.bLeftSet);
        EXPECT_EQ(holds.iNested, 0);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C832Test, TwoCamerasTimeFromTheirOwnModes) {
    kyrsim::Device usb2 = Plug(kPid832, false, "1");
    kyrsim::Device usb3 = Plug(kPid832, true, "2");
    CCameraBase* cam2 = OpenInit(0);
    CCameraBase* cam3 = OpenInit(1);
    ASSERT_NE(cam2, nullptr);
    ASSERT_NE(cam3, nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(1, 1920, 1080, 1, IMG_RAW8), KYR_SUCCESS);
    const CEngine832& e2 = *dynamic_cast<CEngine832*>(cam2);
    const CEngine832& e3 = *dynamic_cast<CEngine832*>(cam3);
    EXPECT_EQ(e2.g_iMinHMAX, 83);
    EXPECT_EQ(e2.g_iExtraLines, 30);
    EXPECT_EQ(e2.g_iUSBBandwidth, 43272);
    EXPECT_EQ(e3.g_iMinHMAX, 192);
    EXPECT_EQ(e3.g_iExtraLines, 60);
    EXPECT_EQ(e3.g_iUSBBandwidth, 400000);
    EXPECT_EQ(usb2.sensor(0x301B), 1);
    EXPECT_EQ(usb3.sensor(0x301B), 0);
}

TEST_F(C832Test, TheDestructorAfterACloseSendsNothing) {
    for (const SClassCase& c : kClasses) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        m_dev = Plug(c.pid);
        CCameraBase* cam = CreateCameraForProduct(c.pid);
        ASSERT_NE(cam, nullptr);
        ASSERT_TRUE(cam->OpenCamera(1));
        {
            CCritSecLock lock(cam->m_csControl);
            ASSERT_TRUE(cam->InitCamera());
        }
        cam->CloseCamera();
        if (CCameraCool* cool = dynamic_cast<CCameraCool*>(cam)) {
            EXPECT_FALSE(cool->m_thrAutoTemp.IsAlive());
        }
        kyrsim::clearLog();
        delete cam;
        EXPECT_EQ(kyrsim_log_count(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
    }
}

}  // namespace

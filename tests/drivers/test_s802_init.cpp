// The 802 class: its constants and description, initialisation with its
// published start-up rows, the registers a fresh camera ends with, and the
// control word that only the driver's shadow writes.
#include <memory>
#include <string>

#include "TestSpeed.h"
#include "test_s802_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;
constexpr int kCtrlStop = 0x10;
constexpr int kCtrlWaitTrig = 0xC0;
constexpr int kCtrlLanes = 0x06;

TEST_F(C802Test, FreshObjectHoldsTheModelConstants) {
    std::unique_ptr<CCameraBase> cam(CreateCameraForProduct(kPid802));
    ASSERT_NE(cam, nullptr);
    EXPECT_STREQ(cam->m_pszName, "VORN KYR802MC");
    EXPECT_STREQ(cam->m_pszShortName, "KYR802MC");
    EXPECT_EQ(cam->m_iMaxWidth, 4072);
    EXPECT_EQ(cam->m_iMaxHeight, 3040);
    const uint8_t bins[] = {1, 2, 3, 4, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cam->m_ucSupportedBins[i], bins[i]) << i;
    EXPECT_EQ(cam->m_iGain, 200);
    EXPECT_EQ(cam->m_iGainMax, 450);
    EXPECT_EQ(cam->m_iBrightness, 8);
    EXPECT_EQ(cam->m_iOffsetMax, 80);
    EXPECT_EQ(cam->m_iWBRed, 52);
    EXPECT_EQ(cam->m_iWBBlue, 95);
    EXPECT_EQ(cam->m_iFPSPerc, 80);
    EXPECT_TRUE(cam->m_bAutoFPS);
    EXPECT_FALSE(cam->m_bDDREnable);
    EXPECT_EQ(cam->m_usHMAX, 180);
    EXPECT_EQ(cam->m_iAutoGainMax, 225);
    EXPECT_FLOAT_EQ(cam->m_fElecPerADU, 7.92f);
    EXPECT_DOUBLE_EQ(cam->m_dPixelSize, 1.85);
    EXPECT_FALSE(cam->m_bCapHardwareBin);
    EXPECT_FALSE(cam->m_bCapTemperature);
    EXPECT_TRUE(cam->m_bCapHighSpeed);
    auto* p802 = dynamic_cast<CCameraS802MC*>(cam.get());
    ASSERT_NE(p802, nullptr);
    EXPECT_EQ(p802->m_iVMAXBase, 3083);
    EXPECT_EQ(p802->m_iSensorCols, 4072);
    EXPECT_EQ(p802->m_iSensorRows, 3040);
}

TEST_F(C802Test, DescribesItselfWithItsControlsAndPresets) {
    Plug(kPid802);
    KYR_CAMERA_INFO info;
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    EXPECT_STREQ(info.name, "VORN KYR802MC");
    EXPECT_EQ(info.max_width, 4072);
    EXPECT_EQ(info.max_height, 3040);
    EXPECT_EQ(info.is_color, KYR_TRUE);
    EXPECT_EQ(info.bayer, BAYER_RG);
    const int bins[] = {1, 2, 3, 4, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
    // At the default gain of 20 dB: 7.92 e/ADU over 10.
    EXPECT_FLOAT_EQ(info.elec_per_adu, 0.792f);
    EXPECT_EQ(info.bit_depth, 12);
    EXPECT_EQ(info.has_cooler, KYR_FALSE);
    EXPECT_EQ(info.is_trigger, KYR_FALSE);

    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    const struct {
        const char* name;
        long max, min, def;
    } limits[] = {{"Gain", 450, 0, 200}, {"Offset", 80, 0, 8}, {"Exposure", 2000000000, 32, 10000},
                  {"WB_R", 99, 1, 52},   {"WB_B", 99, 1, 95},  {"BandWidth", 100, 40, 50}};
    for (const auto& l : limits) {
        SCOPED_TRACE(l.name);
        KYR_CONTROL_CAPS caps;
        ASSERT_TRUE(FindControl(0, l.name, &caps));
        EXPECT_EQ(caps.max_value, l.max);
        EXPECT_EQ(caps.min_value, l.min);
        EXPECT_EQ(caps.default_value, l.def);
    }
    KYR_CONTROL_CAPS caps;
    EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
    EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
    EXPECT_FALSE(FindControl(0, "Temperature", &caps));
    EXPECT_FALSE(FindControl(0, "CoolerOn", &caps));
    int highestDR = 0, unity = 0, lowestRNGain = 0, lowestRNOffset = 0;
    ASSERT_EQ(KYRGetGainOffset(0, &highestDR, &unity, &lowestRNGain, &lowestRNOffset), KYR_SUCCESS);
    EXPECT_EQ(highestDR, 10);
    EXPECT_EQ(unity, 27);
    EXPECT_EQ(lowestRNGain, 240);
    EXPECT_EQ(lowestRNOffset, 90);
}

TEST_F(C802Test, HardwareBinIsAcceptedAndChangesNothing) {
    ASSERT_NE(Setup(), nullptr);
    const int before = LogSize();
    EXPECT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(LogSize(), before);
    EXPECT_FALSE(m_pCam->m_bHardwareBin);
    EXPECT_TRUE(m_pCam->SetHardwareBin(true));
    EXPECT_FALSE(m_pCam->m_bHardwareBin);
}

TEST_F(C802Test, InitWritesThePublishedRowsWithoutAHold) {
    ASSERT_NE(Setup(), nullptr);
    const std::vector<std::pair<uint16_t, uint8_t>> expected = {
        {0x0000, 0x02}, {0x0000, 0x00}, {0x0001, 0x03}, {0x0006, 0x00}, {0x0700, 0x19},
        {0x0701, 0x19}, {0x0000, 0x00}, {0x0001, 0x11}, {0x0002, 0x01}};
    const auto writes = SensorWrites(m_dev.handle());
    ASSERT_GE(writes.size(), expected.size());
    using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
    const Writes first(writes.begin(), writes.begin() + static_cast<long>(expected.size()));
    EXPECT_EQ(first, expected);
    // The sensor has no hold: none of its registers is ever written as one.
    EXPECT_TRUE(SensorWritesOf(0x3001).empty());
}

TEST_F(C802Test, AFreshCameraEndsWithTheFullWindowAndItsGain) {
    ASSERT_NE(Setup(), nullptr);
    EXPECT_EQ(m_dev.fpgaWide(2, 2), 96);
    EXPECT_EQ(m_dev.fpgaWide(6, 2), 22);
    EXPECT_EQ(m_dev.fpgaWide(4, 2), 4072);
    EXPECT_EQ(m_dev.fpgaWide(8, 2), 3040);
    EXPECT_EQ(m_dev.fpga(0), 0x31);
    EXPECT_EQ(m_dev.sensor(0x0009), 0x33);
    EXPECT_EQ(m_dev.sensor(0x000A), 0x07);
    EXPECT_EQ(m_dev.fpga(10), 0x01);
    for (int reg = 12; reg <= 15; ++reg)
        EXPECT_EQ(m_dev.fpga(reg), reg == 12 ? 52 * 256 / 100 : reg == 15 ? 95 * 256 / 100 : 128) << reg;
    EXPECT_EQ(m_dev.fpgaPending(), 0);
}

TEST_F(C802Test, RegisterZeroIsTheShadowFromStartUpOn) {
    ASSERT_NE(Setup(), nullptr);
    // Start-up: a reset pulse, then the stopped master word; the run bit
    // joins the shadow without a write of its own.
    const std::vector<int> startUp = CtrlWrites();
    ASSERT_GE(startUp.size(), 2u);
    EXPECT_EQ(startUp[0], 0);
    EXPECT_EQ(startUp[1], 0x30);
    EXPECT_EQ(Shadow(), 0x31);
    EXPECT_EQ(m_dev.fpga(0), Shadow());

    // The sensor mode clears the lane bits.
    Locked([this] { return Cam().m_ucFPGACtrlShadow |= kCtrlLanes; });
    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Shadow() & kCtrlLanes, 0);
    EXPECT_EQ(m_dev.fpga(0), Shadow());

    // Long exposures set wait and trigger mode; a shorter one clears them.
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 1000000, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Shadow() & kCtrlWaitTrig, kCtrlWaitTrig);
    EXPECT_EQ(m_dev.fpga(0), Shadow());
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 999999, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Shadow() & kCtrlWaitTrig, 0);
    EXPECT_EQ(m_dev.fpga(0), Shadow());
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);

    // A new start outside a capture writes no control word.
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    int from = LogSize();
    ASSERT_EQ(KYRSetStartPos(0, 100, 100), KYR_SUCCESS);
    EXPECT_TRUE(CtrlWrites(from).empty());

    // Streaming clears the stop bit; a new start while streaming pulses it.
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::vector<unsigned char> frame(640 * 480);
    ASSERT_EQ(KYRGetVideoData(0, frame.data(), static_cast<long>(frame.size()), kWaitMs), KYR_SUCCESS);
    EXPECT_EQ(Shadow() & kCtrlStop, 0);
    EXPECT_EQ(m_dev.fpga(0), Shadow());
    const int streaming = Shadow();
    from = LogSize();
    ASSERT_EQ(KYRSetStartPos(0, 200, 120), KYR_SUCCESS);
    EXPECT_EQ(CtrlWrites(from), (std::vector<int>{streaming | kCtrlStop, streaming}));
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(Shadow() & kCtrlStop, kCtrlStop);
    EXPECT_EQ(m_dev.fpga(0), Shadow());
}

}  // namespace

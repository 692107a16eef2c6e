// The 817 and 820 classes as a caller sees them: the camera description,
// the controls and presets, no trigger mode; and what initialisation leaves
// in the sensor and the FPGA.
#include <math.h>

#include <string>

#include "test_s817_820_fixture.h"

namespace {

constexpr int kFpgaCtrlStop = 0x10;

TEST_F(C817820Test, EveryClassDescribesItself) {
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        const SModelRow& m = ModelOf(c.pid);
        kyrsim::reset();
        Plug(c.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, m.width);
        EXPECT_EQ(info.max_height, m.height);
        EXPECT_EQ(info.is_color, KYR_TRUE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        for (size_t i = 0; i <= m.bins.size(); ++i)
            EXPECT_EQ(info.supported_bins[i], i < m.bins.size() ? m.bins[i] : 0) << i;
        const IMG_TYPE types[] = {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, m.pixelUm);
        // Electrons per ADU at the default gain.
        EXPECT_NEAR(info.elec_per_adu, m.elecPerADU / pow(10.0, m.gainDef / 200.0), 1e-5);
        EXPECT_EQ(info.st4_port, c.pro ? KYR_FALSE : KYR_TRUE);
        EXPECT_EQ(info.has_cooler, c.pro ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.is_usb3, KYR_TRUE);
        EXPECT_EQ(info.bit_depth, 12);
        EXPECT_EQ(info.is_trigger, KYR_FALSE);
    }
}

TEST_F(C817820Test, EveryClassOffersItsControlsAndPresets) {
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        const SModelRow& m = ModelOf(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const struct {
            const char* name;
            long max, min, def;
        } limits[] = {
            {"Gain", 600, 0, m.gainDef},
            {"Exposure", 2000000000, 32, 10000},
            {"Offset", m.offsetMax, 0, m.offsetDef},
            {"WB_R", 99, 1, m.wbRed},
            {"WB_B", 99, 1, m.wbBlue},
        };
        for (const auto& l : limits) {
            SCOPED_TRACE(l.name);
            KYR_CONTROL_CAPS caps;
            ASSERT_TRUE(FindControl(0, l.name, &caps));
            EXPECT_EQ(caps.max_value, l.max);
            EXPECT_EQ(caps.min_value, l.min);
            EXPECT_EQ(caps.default_value, l.def);
            long value = -1;
            KYR_BOOL bAuto = KYR_TRUE;
            ASSERT_EQ(KYRGetControlValue(0, caps.control_type, &value, &bAuto), KYR_SUCCESS);
            EXPECT_EQ(value, l.def);
        }
        KYR_CONTROL_CAPS caps;
        EXPECT_TRUE(FindControl(0, "HardwareBin", &caps));
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_EQ(FindControl(0, "CoolerOn", &caps), c.pro);
        int highestDR = -1, unity = -1, gainLowestRN = -1, lowestRN = -1;
        ASSERT_EQ(KYRGetGainOffset(0, &highestDR, &unity, &gainLowestRN, &lowestRN), KYR_SUCCESS);
        if (m.model == 817) {
            EXPECT_EQ(highestDR, 2);
            EXPECT_EQ(unity, 5);
            EXPECT_EQ(gainLowestRN, 450);
            EXPECT_EQ(lowestRN, 15);
        } else {
            EXPECT_EQ(highestDR, 3);
            EXPECT_EQ(unity, 3);
            EXPECT_EQ(gainLowestRN, 380);
            EXPECT_EQ(lowestRN, 15);
        }
        EXPECT_EQ(m_pCam->m_iUnityGain, m.model == 817 ? 252 : 182);
    }
}

// None of these classes completes a snapshot from a trigger, so none offers
// a trigger mode, whatever its FPGA says.
TEST_F(C817820Test, TriggerBitsOfTheFpgaOfferNoTriggerMode) {
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        for (int id = 0; id < 8; ++id) KYRCloseCamera(id);
        kyrsim::reset();
        m_dev = Plug(c.pid);
        ASSERT_TRUE(m_dev.setFpga(28, 0xC0));
        m_pCam = OpenInit();
        ASSERT_NE(m_pCam, nullptr);
        ExpectNoTriggerMode(0);
    }
}

// ---- Initialisation ----------------------------------------------------------------------

TEST_F(C817820Test, InitWritesThePublishedTableAndFixedRowsInOneHold) {
    using SWrites = std::vector<std::pair<uint16_t, uint8_t>>;
    const SWrites table817 = {{0x3014, 0x01}, {0x3015, 0x05}, {0x30A4, 0xA0}, {0x3460, 0x21}, {0x3B00, 0x39},
                              {0x3C38, 0x21}, {0x3409, 0x00}, {0x340B, 0x00}, {0x3458, 0x00}, {0x3002, 1},
                              {0x3018, 0x14}, {0x301B, 0},    {0x3022, 1},    {0x3023, 1}};
    const SWrites table820 = {{0x3014, 0x01}, {0x3015, 0x06}, {0x3040, 0x07}, {0x306C, 0x01}, {0x30A4, 0xA0},
                              {0x3460, 0x22}, {0x3409, 0x00}, {0x340B, 0x00}, {0x3458, 0x00}, {0x3002, 1},
                              {0x3018, 0x04}, {0x301B, 0},    {0x3022, 1},    {0x3023, 1}};
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        SWrites expected = {{0x3001, 1}};
        const SWrites& table = ModelOf(c.pid).model == 817 ? table817 : table820;
        expected.insert(expected.end(), table.begin(), table.end());
        expected.push_back({0x3001, 0});
        const SWrites writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), expected.size());
        EXPECT_EQ(SWrites(writes.begin(), writes.begin() + static_cast<long>(expected.size())), expected);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs817820());
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

// A fresh settings file on a USB-3 port: 12-bit mode, full window, DDR on,
// bandwidth on auto at 100 %, 10 ms exposure, the sensor in standby.
TEST_F(C817820Test, InitProgramsTheFullWindowAndTheTwelveBitTiming) {
    struct SCase {
        int pid;
        int fpgaHMAX, sensorHMAXLow, sensorHMAXHigh;
        int windowW, windowH;
        long long vmax, shr;
    };
    // 817: line 11.5 us, 10 ms = 869 lines, SHR = 1140 - 8 - 869; 820: line 8.6 us,
    // 1162 lines, SHR = 2220 - 8 - 1162.
    const SCase cases[] = {
        {kPid817, 230, 0xAA, 0x01, 1920, 1090, 1140, 263},
        {kPid817Pro, 230, 0xAA, 0x01, 1920, 1090, 1140, 263},
        {kPid820, 172, 0x3F, 0x01, 3840, 2162, 2220, 1050},
        {kPid820Pro, 172, 0x3F, 0x01, 3840, 2162, 2220, 1050},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        EXPECT_EQ(FpgaHMAX(m_dev), c.fpgaHMAX);
        EXPECT_EQ(m_dev.sensor(0x302C), c.sensorHMAXLow);
        EXPECT_EQ(m_dev.sensor(0x302D), c.sensorHMAXHigh);
        EXPECT_EQ(SensorPair(m_dev, 0x303E), c.windowW);
        EXPECT_EQ(SensorPair(m_dev, 0x3046), c.windowH);
        EXPECT_EQ(FpgaVMAX(m_dev), c.vmax);
        EXPECT_EQ(SHR(m_dev), c.shr);
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x01);  // 12-bit ADC, 8-bit output
        EXPECT_EQ(m_dev.sensor(0x3022), 1);
        EXPECT_NE(m_dev.fpga(0) & kFpgaCtrlStop, 0);
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
        EXPECT_TRUE(m_pCam->m_bAutoFPS);
        EXPECT_EQ(m_pCam->m_iFPSPerc, 100);
    }
    // The 817's window registers in bytes.
    ASSERT_NE(Fresh(kPid817), nullptr);
    EXPECT_EQ(m_dev.sensor(0x3046), 0x42);
    EXPECT_EQ(m_dev.sensor(0x3047), 0x04);
}

// A USB-2 port: automatic bandwidth starts at 80 % of the USB-2 rate, and
// the FPGA paces its DDR output to it.
TEST_F(C817820Test, OnAUsb2PortAutomaticBandwidthStartsAt80Percent) {
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid, false), nullptr);
        EXPECT_FALSE(m_pCam->m_bUSB3Host);
        EXPECT_TRUE(m_pCam->m_bAutoFPS);
        EXPECT_EQ(m_pCam->m_iFPSPerc, 80);
        const float pacing = 25600.0f / static_cast<float>(43272.0 * 80 / 400000) - 256.0f;
        EXPECT_EQ(m_dev.fpgaWide(36, 2), static_cast<long long>(pacing));
        EXPECT_EQ(FpgaHMAX(m_dev), ModelOf(c.pid).minHMAX12);
    }
}

TEST_F(C817820Test, TheCooledTwinsRunTheirCoolerOffAfterInit) {
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
        EXPECT_EQ(cool != nullptr, c.pro);
        if (!cool) continue;
        EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
        EXPECT_EQ(m_dev.coolerDrive(), 255);
        EXPECT_FALSE(cool->m_bAutoTempOn);
        long value = -1;
        KYR_BOOL bAuto = KYR_TRUE;
        EXPECT_EQ(KYRGetControlValue(0, KYR_TEMPERATURE, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
        EXPECT_FALSE(m_dev.coolerDrive() < 255);
    }
}

}  // namespace

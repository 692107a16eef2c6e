// The cooler controls of a cooled camera through the exported functions, on
// the cooled test driver and a simulated cooled camera: target temperature,
// regulation on and off with the cooler, fan and anti-dew heater through the
// camera's registers, failures, every other control falling through to the
// camera object, and regulation reaching its target in virtual time.
// test-labels: tsan
#include <gtest/gtest.h>
#include <libusb.h>
#include <limits.h>

#include <memory>

#include "KYRCamera.h"
#include "TestCoolDriver.h"
#include "VirtualClock.h"
#include "api/ModelFactory.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "usb/FpgaRegs.h"

namespace {

constexpr int kReqWriteFpga = 0xBD;
constexpr int kRegPower = 25;        // bit 7 fan off, bit 6 anti-dew heater on
constexpr int kRegHeaterPower = 42;  // heater power of cameras with heater level 2 and above
constexpr int kHeaterPowerOn = 197;

// Camera ID 0 is a cooled test driver (firmware 0x31, with fan control) on a
// simulated cooled camera, opened and initialised through the exported
// interface; its cooler thread runs.
class CCoolControlsTest : public ::testing::Test {
  protected:
    static CCameraBase* Make() {
        s_pLast = new CTestCoolDriver();
        s_pLast->m_iHeaterLevel = s_iHeaterLevel;
        return s_pLast;
    }

    void SetUp() override {
        kyrsim::reset();
        SetCameraConstructorForTest(CTestCoolDriver::kProductID, Make);
        kyrsim_device_config cfg = kyrsim::config(CTestCoolDriver::kProductID, 1, "1");
        cfg.fw_answer[0] = 'V';
        cfg.fw_answer[1] = static_cast<unsigned char>(s_iFirmware);
        m_Dev = kyrsim::plug(cfg);
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_TRUE(m_Dev.setTemperature(20.0));
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_NE(s_pLast, nullptr);
        kyrsim::clearLog();
    }

    void TearDown() override {
        KYRCloseCamera(0);
        s_pLast = nullptr;
        SetCameraConstructorForTest(CTestCoolDriver::kProductID, nullptr);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        g_bDebugPrint = false;
        s_iFirmware = 0x31;
        s_iHeaterLevel = 2;
        kyrsim::reset();
    }

    CTestCoolDriver& Cam() { return *s_pLast; }

    long Get(KYR_CONTROL_TYPE type) {
        long value = -12345;
        KYR_BOOL bAuto = KYR_TRUE;
        EXPECT_EQ(KYRGetControlValue(0, type, &value, &bAuto), KYR_SUCCESS) << "control " << type;
        EXPECT_EQ(bAuto, KYR_FALSE) << "control " << type;
        return value;
    }

    static inline CTestCoolDriver* s_pLast = nullptr;
    static inline int s_iFirmware = 0x31;
    static inline int s_iHeaterLevel = 2;
    kyrsim::Device m_Dev;
};

TEST_F(CCoolControlsTest, TargetTemperatureIsClampedToItsRange) {
    struct {
        long lValue;
        long lStored;
    } cases[] = {{-50, -40}, {45, 30}, {-12, -12}, {0, 0}, {LONG_MIN, -40}, {LONG_MAX, 30}};
    for (const auto& c : cases) {
        EXPECT_EQ(KYRSetControlValue(0, KYR_TARGET_TEMP, c.lValue, KYR_FALSE), KYR_SUCCESS) << c.lValue;
        EXPECT_EQ(Get(KYR_TARGET_TEMP), c.lStored) << c.lValue;
        EXPECT_EQ(Get(KYR_COOLER_ON), 0) << "a target alone leaves regulation off";
    }
}

TEST_F(CCoolControlsTest, CoolerOffStopsRegulationAndTheCooler) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Get(KYR_COOLER_ON), 1);
    ASSERT_TRUE(Cam().SetPowerPerc(60));
    ASSERT_NE(m_Dev.coolerDrive(), 255);
    EXPECT_EQ(Get(KYR_COOLER_POWER_PERC), 60);
    ASSERT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Get(KYR_COOLER_ON), 0);
    EXPECT_FALSE(Cam().m_bAutoTempOn.load());
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    EXPECT_EQ(Get(KYR_COOLER_POWER_PERC), 0);
    // Values beyond the limits count as on and off.
    EXPECT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 7, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Get(KYR_COOLER_ON), 1);
    EXPECT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, -3, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Get(KYR_COOLER_ON), 0);
}

TEST_F(CCoolControlsTest, CoolerPowerIsReadOnly) {
    ASSERT_TRUE(Cam().SetPowerPerc(30));
    EXPECT_EQ(KYRSetControlValue(0, KYR_COOLER_POWER_PERC, 80, KYR_FALSE), KYR_ERROR_INVALID_CONTROL_TYPE);
    EXPECT_EQ(Get(KYR_COOLER_POWER_PERC), 30);
}

TEST_F(CCoolControlsTest, FanAndHeaterRoundTripThroughTheirRegisters) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_FAN_ON, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(kRegPower) & 0x80, 0);
    EXPECT_EQ(Get(KYR_FAN_ON), 1);
    ASSERT_EQ(KYRSetControlValue(0, KYR_FAN_ON, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(kRegPower) & 0x80, 0x80);
    EXPECT_EQ(Get(KYR_FAN_ON), 0);

    ASSERT_EQ(KYRSetControlValue(0, KYR_ANTI_DEW_HEATER, 5, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(kRegPower) & 0x40, 0x40);
    EXPECT_EQ(m_Dev.fpga(kRegHeaterPower), kHeaterPowerOn);
    EXPECT_EQ(Get(KYR_ANTI_DEW_HEATER), 1);
    ASSERT_EQ(KYRSetControlValue(0, KYR_ANTI_DEW_HEATER, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(kRegPower) & 0x40, 0);
    EXPECT_EQ(m_Dev.fpga(kRegHeaterPower), 0);
    EXPECT_EQ(Get(KYR_ANTI_DEW_HEATER), 0);
    // The camera is the truth: a change made there shows.
    ASSERT_TRUE(m_Dev.setFpga(kRegPower, 0x40));
    EXPECT_EQ(Get(KYR_FAN_ON), 1);
    EXPECT_EQ(Get(KYR_ANTI_DEW_HEATER), 1);
}

TEST_F(CCoolControlsTest, FailedFanHeaterOrCoolerWriteIsAGeneralError) {
    kyrsim::Fault()
        .device(m_Dev)
        .request(kReqWriteFpga)
        .value(kRegPower)
        .always()
        .error(LIBUSB_ERROR_IO)
        .add();
    EXPECT_EQ(KYRSetControlValue(0, KYR_ANTI_DEW_HEATER, 1, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(KYRSetControlValue(0, KYR_FAN_ON, 1, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    kyrsim_clear_faults();
    ASSERT_TRUE(Cam().SetPowerPerc(60));
    kyrsim::Fault().device(m_Dev).request(VR_SET_COOLER_DA).always().error(LIBUSB_ERROR_IO).add();
    EXPECT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 0, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_NE(m_Dev.coolerDrive(), 255);
}

class CCoolOldFirmwareTest : public CCoolControlsTest {
  protected:
    void SetUp() override {
        s_iFirmware = 0x2F;
        CCoolControlsTest::SetUp();
    }
};

TEST_F(CCoolOldFirmwareTest, FanControlWithoutFirmwareSupportIsAGeneralError) {
    EXPECT_EQ(KYRSetControlValue(0, KYR_FAN_ON, 1, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(KYRSetControlValue(0, KYR_FAN_ON, 0, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
}

TEST_F(CCoolControlsTest, EveryOtherControlFallsThroughToTheCameraObject) {
    // The cooled test driver has no bodies for offset, bandwidth,
    // over-clocking, hardware bin and high speed: those report failure.
    struct {
        KYR_CONTROL_TYPE type;
        KYR_ERROR_CODE set;
    } cases[] = {
        {KYR_GAIN, KYR_SUCCESS},
        {KYR_EXPOSURE, KYR_SUCCESS},
        {KYR_GAMMA, KYR_SUCCESS},
        {KYR_WB_R, KYR_SUCCESS},
        {KYR_WB_B, KYR_SUCCESS},
        {KYR_OFFSET, KYR_ERROR_GENERAL_ERROR},
        {KYR_BANDWIDTH, KYR_ERROR_GENERAL_ERROR},
        {KYR_OVERCLK, KYR_ERROR_GENERAL_ERROR},
        {KYR_TEMPERATURE, KYR_SUCCESS},
        {KYR_FLIP, KYR_SUCCESS},
        {KYR_AUTO_MAX_GAIN, KYR_SUCCESS},
        {KYR_AUTO_MAX_EXP, KYR_SUCCESS},
        {KYR_AUTO_TARGET_BRIGHTNESS, KYR_SUCCESS},
        {KYR_HARDWARE_BIN, KYR_ERROR_GENERAL_ERROR},
        {KYR_HIGH_SPEED_MODE, KYR_ERROR_GENERAL_ERROR},
        {KYR_MONO_BIN, KYR_SUCCESS},
        {KYR_PATTERN_ADJUST, KYR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(KYRSetControlValue(0, c.type, 1, KYR_FALSE), c.set);
        long value = 0;
        KYR_BOOL bAuto = KYR_TRUE;
        EXPECT_EQ(KYRGetControlValue(0, c.type, &value, &bAuto), KYR_SUCCESS);
    }
    EXPECT_EQ(Cam().Calls(CTestOpScript::OP_SET_GAIN), 1);
    EXPECT_EQ(Cam().Calls(CTestOpScript::OP_SET_EXP), 1);
    EXPECT_EQ(Cam().Calls(CTestOpScript::OP_SET_RGB_BALANCE), 2);
    EXPECT_EQ(Get(KYR_FLIP), 1);
    for (int type : {-1, 22, INT_MIN, INT_MAX}) {
        EXPECT_EQ(KYRSetControlValue(0, static_cast<KYR_CONTROL_TYPE>(type), 0, KYR_FALSE),
                  KYR_ERROR_INVALID_CONTROL_TYPE);
        long value = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, static_cast<KYR_CONTROL_TYPE>(type), &value, &bAuto),
                  KYR_ERROR_INVALID_CONTROL_TYPE);
    }
}

TEST_F(CCoolControlsTest, TemperatureReadsTheSensorInTenths) {
    // While the cooler thread runs the reading it keeps counts: stop it so
    // that each read asks the sensor.
    Cam().StopAutoTempThr();
    for (double celsius : {23.47, -5.05}) {
        ASSERT_TRUE(m_Dev.setTemperature(celsius));
        const long tenths = Get(KYR_TEMPERATURE);
        EXPECT_NEAR(tenths, static_cast<long>(celsius * 10.0), 1) << celsius;
    }
}

TEST_F(CCoolControlsTest, CoolerListsItsControls) {
    int n = 0;
    ASSERT_EQ(KYRGetNumOfControls(0, &n), KYR_SUCCESS);
    bool bTarget = false, bOn = false, bPower = false, bFan = false;
    for (int i = 0; i < n; ++i) {
        KYR_CONTROL_CAPS caps;
        ASSERT_EQ(KYRGetControlCaps(0, i, &caps), KYR_SUCCESS);
        bTarget |= caps.control_type == KYR_TARGET_TEMP;
        bOn |= caps.control_type == KYR_COOLER_ON;
        bPower |= caps.control_type == KYR_COOLER_POWER_PERC;
        bFan |= caps.control_type == KYR_FAN_ON;
    }
    EXPECT_TRUE(bTarget && bOn && bPower);
    EXPECT_FALSE(bFan);
}

TEST_F(CCoolControlsTest, RegulationBringsTheSensorToTheTargetInVirtualTime) {
    CVirtualClock clock;
    ASSERT_TRUE(m_Dev.setTemperature(20.0));
    ASSERT_EQ(KYRSetControlValue(0, KYR_TARGET_TEMP, -10, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 1, KYR_FALSE), KYR_SUCCESS);
    // The ramp runs at about 35 degrees in 550 s; half an hour is ample.
    ASSERT_TRUE(clock.WaitElapsed(30ull * 60 * 1000000, 120000));
    EXPECT_NEAR(m_Dev.temperature(), -10.0, 1.0);
    EXPECT_NEAR(Get(KYR_TEMPERATURE), -100, 10);
    EXPECT_GT(Get(KYR_COOLER_POWER_PERC), 0);
    ASSERT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    // The cooler thread sleeps on this clock: it ends before the clock does.
    Cam().StopAutoTempThr();
}

}  // namespace

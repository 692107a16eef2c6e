// The cooled camera against a simulated cooled camera: the DA table, the
// cooler drive by request and by FPGA register, fan and heater, and single
// regulation steps on a test clock (rate gate, PID power steps, the
// set-point ramp across the tick wrap).
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "VirtualClock.h"
#include "test_cooler_fixture.h"

namespace {

using cooler_test::CCoolerTest;
using cooler_test::CoolerLevelsSent;

int FpgaWrites(const kyrsim::Device& dev, int reg) {
    int n = 0;
    for (const auto& r : kyrsim::requests(VR_WRITE_FPGA_REG, dev.handle()))
        if (r.value == reg) ++n;
    return n;
}

int AddFault(int request, int direction, int action, int arg) {
    kyrsim_fault f;
    kyrsim_fault_init(&f, action, arg);
    f.request = request;
    f.direction = direction;
    return kyrsim_add_fault(&f);
}

// ---- Cooler table and drive ------------------------------------------------------------

TEST_F(CCoolerTest, CalculDAInterpolatesAndLimits) {
    ASSERT_NO_FATAL_FAILURE(Open());
    struct Case {
        float power;
        int da;
    } cases[] = {{0.0f, 255}, {3.0f, 164}, {6.4f, 40}, {-1.0f, 255}, {7.0f, 40}, {1.31f, 220}, {NAN, 255}};
    for (const Case& c : cases) EXPECT_EQ(Cam().CalculDA(c.power), c.da) << c.power;
    EXPECT_EQ(Cam().CalculIPerc(255), 0);
    EXPECT_EQ(Cam().CalculIPerc(160), 52);  // 3.15 of 6.01
    EXPECT_EQ(Cam().CalculIPerc(20), 100);
    EXPECT_EQ(kyrsim_log_count(), 0);  // pure
}

TEST_F(CCoolerTest, InitCoolingLimitsFullPowerToTheNearestRow) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Cam().m_fCoolDA, 40.0f);
    EXPECT_FLOAT_EQ(Cam().m_fCoolPowerMax, 6.01f);
    Cam().InitCooling(45);  // a tie between 50 and 40 goes to 50
    EXPECT_EQ(Cam().m_fCoolDA, 50.0f);
    EXPECT_FLOAT_EQ(Cam().m_fCoolPowerMax, 5.85f);
    EXPECT_TRUE(Cam().SetPowerPerc(100));
    EXPECT_EQ(CoolerLevelsSent(m_Dev), std::vector<int>{50});
}

TEST_F(CCoolerTest, PowerIsSentOnceAndKeptInRange) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_TRUE(Cam().SetPowerPerc(100));
    EXPECT_TRUE(Cam().SetPowerPerc(100));
    EXPECT_TRUE(Cam().SetPowerPerc(150));  // cut to 100: the same level
    EXPECT_EQ(CoolerLevelsSent(m_Dev), std::vector<int>{40});
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), 100.0f);
    EXPECT_EQ(Cam().m_iCoolDA.load(), 40);
    EXPECT_EQ(m_Dev.coolerDrive(), 40);

    EXPECT_TRUE(Cam().SetPowerPerc(-5));
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), 0.0f);
    EXPECT_EQ(CoolerLevelsSent(m_Dev), (std::vector<int>{40, 255}));
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
}

// Power 0 turns the fan off where the firmware can switch it (0x30 on).
TEST_F(CCoolerTest, PowerZeroSendsOffAndSwitchesTheFanByFirmware) {
    struct Case {
        int fw;
        bool fanSwitched;
    } cases[] = {{0x31, true}, {0x20, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fw);
        m_pCam.reset();
        kyrsim::reset();
        ASSERT_NO_FATAL_FAILURE(Open(c.fw));
        EXPECT_TRUE(Cam().SetPowerPerc(50));
        EXPECT_TRUE(Cam().SetPowerPerc(0));
        EXPECT_EQ(CoolerLevelsSent(m_Dev).back(), 255);
        EXPECT_EQ(FpgaWrites(m_Dev, FPGA_REG_POWER) > 0, c.fanSwitched);
        EXPECT_EQ((m_Dev.fpga(FPGA_REG_POWER) & FPGA_POWER_FAN_OFF) != 0, c.fanSwitched);
        EXPECT_EQ(Cam().SetFanOn(true), c.fanSwitched);
        Cam().m_bCooler = false;
        EXPECT_FALSE(Cam().SetFanOn(true));
    }
}

// Control type 1 drives register 38, which counts the other way.
TEST_F(CCoolerTest, FpgaDrivenCoolerWritesRegister38) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Cam().m_iCoolerCtrlType = 1;
    EXPECT_TRUE(Cam().SetPowerPerc(0));
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_COOL_POWER), 14);  // 220 * 17 / 256
    EXPECT_EQ(Cam().m_iCoolDA.load(), 14);
    EXPECT_TRUE(Cam().SetPowerPerc(100));
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_COOL_POWER), 199);  // 220 * 232 / 256
    EXPECT_EQ(m_Dev.coolerDrive(), 40);
    EXPECT_TRUE(Cam().SetDA(300));  // 0 or less goes out as 15
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_COOL_POWER), 15);
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    EXPECT_TRUE(CoolerLevelsSent(m_Dev).empty());
}

// A level that did not reach the camera is sent again, even unchanged: the
// camera may still run on the old one.
TEST_F(CCoolerTest, FailedLevelIsSentAgain) {
    ASSERT_NO_FATAL_FAILURE(Open());
    AddFault(VR_SET_COOLER_DA, KYRSIM_DIR_OUT, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_PIPE);
    EXPECT_FALSE(Cam().SetPowerPerc(100));
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    EXPECT_TRUE(Cam().SetPowerPerc(100));
    EXPECT_EQ(m_Dev.coolerDrive(), 40);
    EXPECT_EQ(CoolerLevelsSent(m_Dev), (std::vector<int>{40, 40}));
}

TEST_F(CCoolerTest, FanStateKeepsTheLastWrittenWhenTheReadFails) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_TRUE(Cam().SetFanOn(false));
    EXPECT_FALSE(Cam().GetFanOn());
    AddFault(VR_READ_FPGA_REG, KYRSIM_DIR_IN, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_PIPE);
    EXPECT_FALSE(Cam().GetFanOn());  // a failed read gives 0, which would read "on"
    EXPECT_TRUE(Cam().SetFanOn(true));
    EXPECT_TRUE(Cam().GetFanOn());
}

TEST_F(CCoolerTest, HeaterByLevelWithConflictLine) {
    struct Case {
        int level;
        int powerWrites;  // register 42 writes for on and off
    } cases[] = {{1, 0}, {2, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        m_pCam.reset();
        kyrsim::reset();
        ASSERT_NO_FATAL_FAILURE(Open());
        Cam().m_iHeaterLevel = c.level;
        EXPECT_TRUE(Cam().SetLensHeat(1));
        EXPECT_NE(m_Dev.fpga(FPGA_REG_POWER) & FPGA_POWER_WARM, 0);
        if (c.level > 1) EXPECT_EQ(m_Dev.fpga(FPGA_REG_HEATER_POWER), 197);
        EXPECT_TRUE(Cam().GetLensHeat());
        // The power register says off while the warm bit says on.
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_HEATER_POWER, 0));
        std::string log = CaptureDebugLog([&] { EXPECT_TRUE(Cam().GetLensHeat()); });
        EXPECT_EQ(log.find("Heater Power Control Conflict with Warm UP.") != std::string::npos, c.level > 1)
            << log;
        EXPECT_TRUE(Cam().SetLensHeat(0));
        EXPECT_EQ(m_Dev.fpga(FPGA_REG_POWER) & FPGA_POWER_WARM, 0);
        EXPECT_FALSE(Cam().GetLensHeat());
        EXPECT_EQ(FpgaWrites(m_Dev, FPGA_REG_HEATER_POWER), c.powerWrites);
    }
}

TEST_F(CCoolerTest, HumidityDecodesAndKeepsOnFailure) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(m_Dev.setHumidity(55));
    EXPECT_EQ(Cam().GetHumidity(), 55);
    ASSERT_TRUE(m_Dev.setHumidity(70));
    AddFault(VR_READ_HUMIDITY, KYRSIM_DIR_IN, KYRSIM_FAULT_SHORT, 1);
    EXPECT_EQ(Cam().GetHumidity(), 55);
    EXPECT_EQ(Cam().GetHumidity(), 70);
}

TEST_F(CCoolerTest, TargetIsCutToItsRange) {
    ASSERT_NO_FATAL_FAILURE(Open());
    struct Case {
        float target;
        int stored;
    } cases[] = {{-50.0f, -40}, {35.0f, 30}, {-10.7f, -10}, {29.9f, 29}, {NAN, -40}};
    for (const Case& c : cases) {
        Cam().SetAutoTemp(true, c.target);
        EXPECT_EQ(Cam().m_iTargetTemp.load(), c.stored) << c.target;
        EXPECT_EQ(Cam().m_iAutoTargetTemp.load(), c.stored) << c.target;
    }
    Cam().SetAutoTemp(false, 5.0f);
    EXPECT_FALSE(Cam().m_bAutoTempOn.load());
    EXPECT_EQ(Cam().m_iTargetTemp.load(), 5);
}

// ---- Regulation steps on the test clock -------------------------------------------------

class CAutoTempTest : public CCoolerTest {
  protected:
    static constexpr int kTarget = -10;

    void SetUp() override {
        CCoolerTest::SetUp();
        m_pClock = std::make_unique<CVirtualClock>();
    }
    void TearDown() override {
        CCoolerTest::TearDown();
        m_pClock.reset();
    }

    // Regulation on toward a fixed set-point (no ramp) at power `percent`,
    // with `lastErr` as the previous error.
    void Prepare(float percent, float lastErr = -200.0f) {
        ASSERT_TRUE(Cam().SetPowerPerc(percent));
        Cam().SetAutoTemp(true, kTarget);
        Cam().m_bAutoTempStarted = false;
        Cam().m_fPidLastErr = lastErr;
        Cam().m_iAutoTempState = 0;  // no earlier reading: no rate gate
        kyrsim::clearLog();
    }

    std::unique_ptr<CVirtualClock> m_pClock;
};

// A reading that changed faster than the limit since the last one is left
// out: nothing of the step happens.
TEST_F(CAutoTempTest, RateGateIgnoresJumps) {
    struct Case {
        const char* name;
        float delta;  // over one second
        bool ignored;
    } cases[] = {
        {"KYR832MC Pro", 2.0f, true},   {"KYR832MC Pro", -2.0f, true},   {"KYR832MC Pro", 1.9375f, false},
        {"KYR806MC Pro", 0.125f, true}, {"KYR806MC Pro", -0.125f, true}, {"KYR806MC Pro", 0.0625f, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.delta));
        m_pCam.reset();
        kyrsim::reset();
        ASSERT_NO_FATAL_FAILURE(Open(0x31, c.name));
        Cam().SetAutoTemp(false, kTarget);
        Cam().AutoTemp(10.0f);
        const uint32_t first = Cam().m_iAutoTempState;
        ASSERT_EQ(first, m_pClock->Now());
        m_pClock->Advance(1000000);
        Cam().AutoTemp(10.0f + c.delta);
        EXPECT_EQ(Cam().m_iAutoTempState, c.ignored ? first : m_pClock->Now());
        EXPECT_EQ(Cam().m_fLastTemp, c.ignored ? 10.0f : 10.0f + c.delta);
    }
}

// Two readings within the same millisecond: a change is infinitely fast and
// left out, an unchanged reading is taken.
TEST_F(CAutoTempTest, RateGateWithinOneTick) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Cam().SetAutoTemp(false, kTarget);
    Cam().AutoTemp(10.0f);
    Cam().AutoTemp(10.0625f);
    EXPECT_EQ(Cam().m_fLastTemp, 10.0f);
    Cam().AutoTemp(10.0f);
    EXPECT_EQ(Cam().m_fLastTemp, 10.0f);
    EXPECT_EQ(Cam().m_iAutoTempState, m_pClock->Now());
}

TEST_F(CAutoTempTest, RegulationOffOnlyRecordsTheReading) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_NO_FATAL_FAILURE(Prepare(50.0f));
    Cam().SetAutoTemp(false, kTarget);
    Cam().AutoTemp(5.0f);
    EXPECT_EQ(Cam().m_fLastTemp, 5.0f);
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), 50.0f);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

// A small error moves the power by the PID result once.
TEST_F(CAutoTempTest, SmallErrorMovesPowerOnce) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_NO_FATAL_FAILURE(Prepare(50.0f));
    Cam().AutoTemp(kTarget + 0.3f);  // e = -0.3
    const float r = Cam().m_fPidResult;
    EXPECT_NEAR(r, 0.2f * -0.3f, 1e-6f);
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), 50.0f - r);
    EXPECT_LE(CoolerLevelsSent(m_Dev).size(), 1u);
}

// A larger error keeps adding the result until the level changes: one
// request, at the first percentage whose level differs.
TEST_F(CAutoTempTest, LargeErrorReachesTheNextLevel) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_NO_FATAL_FAILURE(Prepare(50.0f));
    const int before = Cam().m_iCoolDA;
    Cam().AutoTemp(kTarget + 2.0f);  // e = -2.0, r = -0.4
    const float r = Cam().m_fPidResult;
    ASSERT_FLOAT_EQ(r, -0.4f);
    const float p = Cam().m_fCoolPowerPerc;
    const float max = Cam().m_fCoolPowerMax;
    EXPECT_GT(p, 50.0f);
    EXPECT_NE(Cam().CalculDA(p * max / 100), before);
    EXPECT_EQ(Cam().CalculDA((p + r) * max / 100), before);  // one result less: still the old level
    const auto sent = CoolerLevelsSent(m_Dev);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_LT(sent[0], before);
    EXPECT_EQ(Cam().m_iCoolDA.load(), sent[0]);
}

// Errors of -2.75 then -2.0625 at a fixed set-point leave a result of about
// 3e-8, too small to change most percentages in single precision; the
// mirrored errors give its negative. The step ends at once without moving
// the level.
TEST_F(CAutoTempTest, VanishingResultEndsTheStep) {
    struct Case {
        float lastErr;
        float error;
        float percent;
    } cases[] = {
        {-2.75f, -2.0625f, 50.0f}, {-2.75f, -2.0625f, 0.0f}, {-2.75f, -2.0625f, 100.0f},
        {2.75f, 2.0625f, 50.0f},   {2.75f, 2.0625f, 0.25f},  {2.75f, 2.0625f, 100.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.error) + " at " + std::to_string(c.percent));
        m_pCam.reset();
        kyrsim::reset();
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_NO_FATAL_FAILURE(Prepare(c.percent, c.lastErr));
        const int before = Cam().m_iCoolDA;
        const auto t0 = std::chrono::steady_clock::now();
        Cam().AutoTemp(kTarget - c.error);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        EXPECT_NE(Cam().m_fPidResult, 0.0f);
        EXPECT_LT(std::fabs(Cam().m_fPidResult), 1e-6f);
        EXPECT_EQ(Cam().m_iCoolDA.load(), before);
        EXPECT_TRUE(CoolerLevelsSent(m_Dev).empty());
    }
}

// A too-warm sensor that already cools faster than 0.2 degrees a second is
// left to cool: the power stays.
TEST_F(CAutoTempTest, FastCoolingIsLeftAlone) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_NO_FATAL_FAILURE(Prepare(50.0f));
    Cam().AutoTemp(0.0f + 1.0f);
    const float p = Cam().m_fCoolPowerPerc;
    m_pClock->Advance(1000000);
    Cam().AutoTemp(0.5f);  // -0.5 degrees a second, still 10.5 too warm
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), p);
    EXPECT_FLOAT_EQ(Cam().m_fPidError, -10.5f);
}

// The set-point runs down from the start temperature by 35 degrees in 550 s,
// steeper while warm, stays 3 degrees below a warm sensor and 2 below a
// sensor that passed it, and never below the target. The clock crosses the
// 32-bit tick wrap on the way.
TEST_F(CAutoTempTest, RampFollowsItsFormulaAcrossTheTickWrap) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(m_Dev.setTemperature(20.0));
    const uint32_t start = m_pClock->Now();
    Cam().SetAutoTemp(true, kTarget);
    ASSERT_EQ(Cam().m_iStartTemp, 20);
    EXPECT_EQ(Cam().m_fRampSetPoint.load(), 20.0f);

    constexpr uint64_t kStepUs = 3600000;
    int flips = 0;
    bool reached = false;
    bool wrapped = false;
    float t = 20.0f;
    for (int i = 1; i <= 300; ++i) {
        m_pClock->Advance(kStepUs);
        if (m_pClock->Now() < start) wrapped = true;
        // Down 0.25 degrees a step to 2 degrees below the target, then steady.
        t = std::max(t - 0.25f, kTarget - 2.0f);
        Cam().AutoTemp(t);

        const uint32_t elapsedMs = m_pClock->Now() - start;
        const float step = 35.0f * 15.0f / 550.0f;
        const float k = static_cast<float>(elapsedMs / 15000u + 1u);
        float sp = 20.0f - step * k * std::max(t / 6.0f, 1.0f);
        if (t > 0 && t - sp < 3) sp = t - 3;
        if (t < sp) sp = t - 2;
        if (sp < kTarget) sp = kTarget;
        ASSERT_NEAR(Cam().m_fRampSetPoint.load(), sp, 1e-3) << "step " << i << " t " << t;
        ASSERT_GE(Cam().m_fRampSetPoint.load(), static_cast<float>(kTarget));
        if (Cam().m_bRampReached.load() != reached) ++flips;
        reached = Cam().m_bRampReached.load();
    }
    EXPECT_TRUE(wrapped);
    EXPECT_TRUE(reached);
    EXPECT_EQ(flips, 1);
}

}  // namespace

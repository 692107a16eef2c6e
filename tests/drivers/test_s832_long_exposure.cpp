// test-labels: tsan
// Long exposures on the 832: the FPGA's wait and trigger modes hold the
// frame, the capture thread times the exposure on the test clock between the
// trigger's rise and fall, and the frame comes at the fall; short readouts
// are sent again from the DDR; a new exposure ends the wait.
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s832_fixture.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegCtrl = 0;
constexpr int kRegSignal = 11;
constexpr int kRegPower = 25;
constexpr int kWaitAndTrigger = 0xC0;  // register 0 bits 6 and 7
constexpr int kTrigger = 0x01;         // register 11 bit 0
constexpr int kXHSStop = 0x10;         // register 11 bit 4
constexpr int kLowPower = 0x01;        // register 25 bit 0

// Real time each library sleep also takes: the clock moves ahead fast, and
// the cooler thread of the Pro cannot run the readout waits out before the
// simulator has sent the frame.
constexpr std::chrono::microseconds kRealPerSleep(2000 * kTestSlowdown);

class C832LongExpTest : public C832Test {
  protected:
    // The test clock, installed before the camera opens and removed only
    // after the fixture has closed it, so that its threads never see the
    // clock change.
    void UseClock(std::chrono::microseconds realPerSleep) {
        m_pClock = std::make_unique<CVirtualClock>(realPerSleep);
    }

    void Open(int pid) {
        ASSERT_NE(Setup(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
    }

    static KYR_EXPOSURE_STATUS Snapshot() { return Expose(30000 * kTestSlowdown); }

    int Fpga(int reg) { return kyrsim_fpga_reg(m_dev.handle(), reg); }
    long long Frames() { return kyrsim_query(m_dev.handle(), KYRSIM_Q_FRAMES); }

    std::unique_ptr<CVirtualClock> m_pClock;
};

TEST_F(C832LongExpTest, SnapshotRaisesTheTriggerForTheExposureAndReadsTheFrameAtItsFall) {
    constexpr uint64_t kExposureUs = 3000000;
    // What the FPGA shows after each sleep, once the exposure is set.
    std::atomic<int> watched{-1};
    std::atomic<uint64_t> firstHigh{0}, lastHigh{0};
    std::atomic<bool> modesOffWhileHigh{false}, lowPower{false}, xhsStop{false};
    UseClock(std::chrono::microseconds(100));
    m_pClock->OnSleep([&](uint64_t us) {
        const int h = watched.load();
        if (h < 0) return;
        auto Fpga = [h](int reg) { return kyrsim_fpga_reg(h, reg); };
        const int signal = Fpga(kRegSignal);
        if (!(signal & kTrigger)) return;
        if (firstHigh.load() == 0) firstHigh = us;
        lastHigh = us;
        if ((Fpga(kRegCtrl) & kWaitAndTrigger) != kWaitAndTrigger) modesOffWhileHigh = true;
        if (Fpga(kRegPower) & kLowPower) lowPower = true;
        if (signal & kXHSStop) xhsStop = true;
    });
    Open(kPid832);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kExposureUs, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Fpga(kRegCtrl) & kWaitAndTrigger, kWaitAndTrigger);
    EXPECT_EQ(Fpga(kRegSignal) & kTrigger, 0);
    watched = m_dev.handle();
    const long long frames = Frames();
    ASSERT_EQ(Snapshot(), KYR_EXP_SUCCESS);

    // Up for the exposure (less the closing pauses' last step), then down.
    ASSERT_GT(firstHigh.load(), 0u);
    const uint64_t highUs = lastHigh - firstHigh;
    EXPECT_GE(highUs, kExposureUs - 100000);
    EXPECT_LE(highUs, kExposureUs);
    EXPECT_FALSE(modesOffWhileHigh.load());
    EXPECT_TRUE(lowPower.load());
    EXPECT_TRUE(xhsStop.load());
    EXPECT_EQ(Fpga(kRegSignal) & (kTrigger | kXHSStop), 0);
    EXPECT_EQ(Fpga(kRegPower) & kLowPower, 0);
    // One frame, sent at the fall, is the image.
    EXPECT_EQ(Frames() - frames, 1);
    std::vector<unsigned char> img(kFrameBytes), sent(kFrameBytes);
    ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), kFrameBytes), kFrameBytes);
    EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);
}

// A Pro whose readouts come short: the frame held in the DDR is sent again,
// at most three times in a row.
TEST_F(C832LongExpTest, ProResendsAShortReadoutFromTheDDRAtMostThreeTimes) {
    struct SCase {
        int iShortReadouts;
        long long llFramesSent;  // first readout and resends
        KYR_EXPOSURE_STATUS eStatus;
    };
    const SCase kCases[] = {
        {1, 2, KYR_EXP_SUCCESS},
        {3, 4, KYR_EXP_SUCCESS},
        {4, 4, KYR_EXP_FAILED},
    };
    UseClock(kRealPerSleep);
    Open(kPid832Pro);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 1500000, KYR_FALSE), KYR_SUCCESS);
    for (const SCase& c : kCases) {
        SCOPED_TRACE(c.iShortReadouts);
        ASSERT_EQ(kyrsim_clear_stream_faults(m_dev.handle()), 0);
        ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_SHORT, 4096, 0, c.iShortReadouts), 0);
        const long long frames = Frames();
        EXPECT_EQ(Snapshot(), c.eStatus);
        EXPECT_EQ(Frames() - frames, c.llFramesSent);
        if (c.eStatus == KYR_EXP_SUCCESS) {
            std::vector<unsigned char> img(kFrameBytes);
            EXPECT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
        }
    }
}

TEST_F(C832LongExpTest, ANewExposureEndsTheWait) {
    UseClock(kRealPerSleep);
    Open(kPid832);
    // Far longer than the test may take, even on the fast test clock.
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000000000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 * kTestSlowdown);
    while (!(Fpga(kRegSignal) & kTrigger) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(Fpga(kRegSignal) & kTrigger);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 1500000, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(WaitExposureEnd(10000 * kTestSlowdown), KYR_EXP_SUCCESS);
    EXPECT_EQ(Fpga(kRegSignal) & kTrigger, 0);
    EXPECT_LT(m_pClock->ElapsedUs(), 60ull * 1000000);
}

// A model's own script on the 832's camera: the FPGA modes set again each
// pass, a re-synchronisation before the trigger, the sensor parked in
// standby at a step of a 100 ms wait and woken by the closing sequence,
// switches only with the DDR on or a USB 3 host.
const SLongExpAction kScriptEveryPass[] = {
    {LONG_OP_WAIT_MODE, 1, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_MODE, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpAction kScriptOpen[] = {
    {LONG_OP_SYNC, 5, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 50, 0, LONG_WHEN_ALWAYS},
};
const SLongExpStep kScriptSteps[] = {
    {4, {LONG_OP_SENSOR, 1, 0x3000, LONG_WHEN_ALWAYS}},
    {6, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
    {8, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_DDR_OR_USB3}},
};
const SLongExpAction kScriptClose[] = {
    {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},     {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SENSOR, 0, 0x3000, LONG_WHEN_ALWAYS},   {LONG_OP_PAUSE, 50, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_DDR_OR_USB3}, {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};
const SLongExpScript kScript = {
    .everyPass = LongExpActions(kScriptEveryPass),
    .open = LongExpActions(kScriptOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 400000,
    .beforeSteps = {nullptr, 0},
    .uStepMs = 100,
    .uStepLeadMs = 0,
    .bCountedSteps = false,
    .pSteps = kScriptSteps,
    .iSteps = sizeof(kScriptSteps) / sizeof(kScriptSteps[0]),
    .close = LongExpActions(kScriptClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
};

const SDriverDesc& ScriptedDesc() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS832MC;
        d.pLongExp = &kScript;
        return d;
    }();
    return desc;
}

class CScripted832 : public CEngineDriver<CCameraBase> {
  public:
    CScripted832() : CEngineDriver(ScriptedDesc()) {}
};

class CScriptedLongExpTest : public CModelTest {
  protected:
    CScriptedLongExpTest() : CModelTest({ModelClass<CScripted832>(kPid832)}) {}

    void TearDown() override {
        CModelTest::TearDown();
        m_pClock.reset();
    }

    std::unique_ptr<CVirtualClock> m_pClock;
};

TEST_F(CScriptedLongExpTest, AModelsScriptRunsItsStepsAndEndsFailedWhenTheFpgaCannotSync) {
    struct SCase {
        int iStatus35;  // status register as the FPGA shows it
        KYR_EXPOSURE_STATUS eStatus;
    };
    const SCase kCases[] = {{0x10, KYR_EXP_SUCCESS}, {0x00, KYR_EXP_FAILED}};
    std::atomic<int> watched{-1};
    std::atomic<bool> modesWhileHigh{false}, standbyWhileHigh{false}, lowPowerWhileHigh{false};
    m_pClock = std::make_unique<CVirtualClock>(std::chrono::microseconds(100));
    m_pClock->OnSleep([&](uint64_t) {
        const int h = watched.load();
        if (h < 0 || !(kyrsim_fpga_reg(h, kRegSignal) & kTrigger)) return;
        if ((kyrsim_fpga_reg(h, kRegCtrl) & kWaitAndTrigger) == kWaitAndTrigger) modesWhileHigh = true;
        if (kyrsim_sensor_reg(h, 0x3000) == 1) standbyWhileHigh = true;
        if (kyrsim_fpga_reg(h, kRegPower) & kLowPower) lowPowerWhileHigh = true;
    });
    m_dev = Plug(kPid832);
    m_pCam = OpenInit();
    ASSERT_NE(m_pCam, nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000000, KYR_FALSE), KYR_SUCCESS);
    for (const SCase& c : kCases) {
        SCOPED_TRACE(c.iStatus35);
        // The wait and trigger modes are lost; each pass sets them again.
        const int ctrl = kyrsim_fpga_reg(m_dev.handle(), kRegCtrl);
        ASSERT_EQ(kyrsim_set_fpga_reg(m_dev.handle(), kRegCtrl, ctrl & ~kWaitAndTrigger), 0);
        ASSERT_EQ(kyrsim_set_fpga_reg(m_dev.handle(), 35, c.iStatus35), 0);
        modesWhileHigh = standbyWhileHigh = lowPowerWhileHigh = false;
        watched = m_dev.handle();
        EXPECT_EQ(Expose(30000 * kTestSlowdown), c.eStatus);
        watched = -1;
        const bool exposed = c.eStatus == KYR_EXP_SUCCESS;
        EXPECT_EQ(modesWhileHigh.load(), exposed);
        EXPECT_EQ(standbyWhileHigh.load(), exposed);
        EXPECT_EQ(lowPowerWhileHigh.load(), exposed);
        EXPECT_EQ(kyrsim_fpga_reg(m_dev.handle(), kRegSignal) & kTrigger, 0);
    }
}

}  // namespace

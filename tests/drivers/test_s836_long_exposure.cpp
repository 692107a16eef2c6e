// test-labels: tsan
// Long exposures on the 836, on the test clock: low power stays on for the
// whole of long-exposure mode, the trigger rises without a pause, the wait
// polls every 100 ms to the full exposure, and the trigger falls 200 ms
// after it. The Pro stops the sensor clock (0x305D = 0x33) after the sixth
// step and starts it again however the wait ends, so later video gets frames.
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s836_fixture.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegSignal = 11;
constexpr int kRegPower = 25;
constexpr int kTrigger = 0x01;   // register 11 bit 0
constexpr int kXHSStop = 0x10;   // register 11 bit 4
constexpr int kLowPower = 0x01;  // register 25 bit 0
constexpr int kReadFpga = 0xBC;
constexpr int kClockReg = 0x305D;
constexpr int kClockStopped = 0x33;

// Real time each library sleep also takes, so that the camera's other
// threads do not spin on the fast test clock.
constexpr std::chrono::microseconds kRealPerSleep(2000 * kTestSlowdown);

// One sleep of the library: the thread, the number of requests logged then,
// and the test clock after it.
struct SSleep {
    unsigned long long thread;
    int logCount;
    uint64_t us;
};

class C836LongExpTest : public C836Test {
  protected:
    void TearDown() override {
        C836Test::TearDown();
        m_pClock.reset();
    }

    // The test clock, recording every sleep; installed before the camera opens.
    void UseClock(std::chrono::microseconds realPerSleep) {
        m_pClock = std::make_unique<CVirtualClock>(realPerSleep);
        m_pClock->OnSleep([this](uint64_t us) {
            std::lock_guard<std::mutex> lk(m_mu);
            m_sleeps.push_back({kyrsim_thread_id(), kyrsim_log_count(), us});
        });
    }

    void Open(int pid) {
        {
            // The log starts again with the camera.
            std::lock_guard<std::mutex> lk(m_mu);
            m_sleeps.clear();
        }
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
    }

    // Sleeps of `thread` taken after log entry `after` and before entry `before` arrived.
    std::vector<SSleep> SleepsBetween(unsigned long long thread, int after, int before) {
        std::lock_guard<std::mutex> lk(m_mu);
        std::vector<SSleep> out;
        for (const SSleep& s : m_sleeps)
            if (s.thread == thread && s.logCount > after && s.logCount <= before) out.push_back(s);
        return out;
    }

    // Waits in real time until camera register `reg` reads `value` (sensor or FPGA).
    bool WaitFor(bool sensor, int reg, int value) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 * kTestSlowdown);
        while (std::chrono::steady_clock::now() < end) {
            if ((sensor ? m_dev.sensor(reg) : m_dev.fpga(reg)) == value) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::unique_ptr<CVirtualClock> m_pClock;
    std::mutex m_mu;
    std::vector<SSleep> m_sleeps;
};

// Log positions of the capture thread's long-exposure requests.
struct SLongWrites {
    int rise = -1, clockStop = -1, clockRun = -1, fall = -1;
    int beforeRise = -1;  // the thread's request before the rise (and the read of its register)
    unsigned long long thread = 0;
    int lowPowerWrites = 0, xhsWrites = 0;  // by the capture thread, rise to fall
};

SLongWrites FindLongWrites(const std::vector<kyrsim::Request>& log, int handle) {
    SLongWrites w;
    for (int i = 0; i < static_cast<int>(log.size()); ++i) {
        const kyrsim::Request& r = log[static_cast<size_t>(i)];
        if (r.device != handle) continue;
        const bool fpgaWrite = r.request == kWriteFpga;
        if (w.rise < 0) {
            if (fpgaWrite && r.value == kRegSignal && (r.index & kTrigger)) {
                w.rise = i;
                w.thread = r.thread;
                for (int j = i - 1; j >= 0 && w.beforeRise < 0; --j) {
                    const kyrsim::Request& p = log[static_cast<size_t>(j)];
                    const bool readSignal = p.request == kReadFpga && p.value == kRegSignal;
                    if (p.device == handle && p.thread == w.thread && !readSignal) w.beforeRise = j;
                }
            }
            continue;
        }
        if (r.thread != w.thread || w.fall >= 0) continue;
        if (r.request == kWriteSensor && r.value == kClockReg) {
            if (r.index == kClockStopped && w.clockStop < 0) w.clockStop = i;
            if (r.index == 0) w.clockRun = i;
        }
        if (fpgaWrite && r.value == kRegPower) ++w.lowPowerWrites;
        if (fpgaWrite && r.value == kRegSignal && (r.index & kXHSStop)) ++w.xhsWrites;
        if (fpgaWrite && r.value == kRegSignal && !(r.index & kTrigger)) w.fall = i;
    }
    return w;
}

TEST_F(C836LongExpTest, SnapshotWaitsInHundredMillisecondStepsAndOnlyTheProStopsTheSensorClock) {
    // Long enough that the sixth step comes well before the end even while
    // a cooled camera's cooler thread moves the shared test clock on too.
    constexpr long kExposureUs = 4000000;
    UseClock(std::chrono::microseconds(100));
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid));
        ASSERT_EQ(Set(KYR_EXPOSURE, kExposureUs), KYR_SUCCESS);
        ASSERT_EQ(m_dev.fpga(kRegPower) & kLowPower, kLowPower);
        const int from = kyrsim_log_count();
        const long long frames = m_dev.query(KYRSIM_Q_FRAMES);
        ASSERT_EQ(Expose(30000 * kTestSlowdown), KYR_EXP_SUCCESS);
        EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 1);
        std::vector<unsigned char> img(kFrameBytes), sent(kFrameBytes);
        ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
        ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), kFrameBytes), kFrameBytes);
        EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);

        const SLongWrites w = FindLongWrites(kyrsim::requests(), m_dev.handle());
        ASSERT_GE(w.rise, from);
        ASSERT_GT(w.fall, w.rise);
        // No pause on the way to the rise.
        EXPECT_TRUE(SleepsBetween(w.thread, w.beforeRise, w.rise).empty());
        // Low power is SetExp's, for the whole mode; the wait switches nothing else.
        EXPECT_EQ(w.lowPowerWrites, 0);
        EXPECT_EQ(w.xhsWrites, 0);
        EXPECT_EQ(m_dev.fpga(kRegPower) & kLowPower, kLowPower);
        // 100 ms steps to the full exposure, then 200 ms, then the fall. Only
        // the uncooled camera's capture thread has the test clock to itself.
        const std::vector<SSleep> wait = SleepsBetween(w.thread, w.rise, c.ddr ? w.clockRun : w.fall);
        ASSERT_GE(wait.size(), 7u);
        if (!c.cooler) {
            EXPECT_GE(wait.back().us - wait.front().us, static_cast<uint64_t>(kExposureUs) - 200000);
        }
        if (c.ddr) {
            ASSERT_GT(w.clockStop, w.rise);
            EXPECT_EQ(SleepsBetween(w.thread, w.rise, w.clockStop).size(), 6u);
            ASSERT_GT(w.clockRun, w.clockStop);
            EXPECT_EQ(SleepsBetween(w.thread, w.clockRun, w.fall).size(), 1u);
        } else {
            EXPECT_EQ(w.clockStop, -1);
            EXPECT_EQ(w.clockRun, -1);
        }
        EXPECT_EQ(m_dev.sensor(kClockReg), 0);
        EXPECT_EQ(m_dev.fpga(kRegSignal) & kTrigger, 0);
    }
}

TEST_F(C836LongExpTest, TheProRestartsTheSensorClockHoweverTheWaitEnds) {
    const char* const kEnds[] = {"stop", "new exposure"};
    UseClock(kRealPerSleep);
    for (const char* end : kEnds) {
        SCOPED_TRACE(end);
        ASSERT_NO_FATAL_FAILURE(Open(kPid836Pro));
        // Far longer than the test may take, even on the fast test clock.
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000000000), KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(WaitFor(true, kClockReg, kClockStopped));
        const int writes = m_dev.sensorWrites(kClockReg);
        if (std::string(end) == "stop") {
            ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        } else {
            ASSERT_EQ(Set(KYR_EXPOSURE, 1900000000), KYR_SUCCESS);
            ASSERT_TRUE(WaitFor(true, kClockReg, 0));
            ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        }
        EXPECT_EQ(m_dev.sensor(kClockReg), 0);
        EXPECT_GT(m_dev.sensorWrites(kClockReg), writes);
        EXPECT_EQ(m_dev.fpga(kRegSignal) & kTrigger, 0);
        // Short exposures again: out of long mode, and video gets frames.
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(kRegPower) & kLowPower, 0);
        std::vector<unsigned char> img(kFrameBytes);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(KYRGetVideoData(0, img.data(), kFrameBytes, 5000 * kTestSlowdown), KYR_SUCCESS) << i;
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

TEST_F(C836LongExpTest, TheProResendsAShortReadoutFromItsDdr) {
    UseClock(kRealPerSleep);
    ASSERT_NO_FATAL_FAILURE(Open(kPid836Pro));
    ASSERT_EQ(Set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_SHORT, 4096, 0, 1), 0);
    const long long frames = m_dev.query(KYRSIM_Q_FRAMES);
    ASSERT_EQ(Expose(30000 * kTestSlowdown), KYR_EXP_SUCCESS);
    // The short readout and the resend.
    EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 2);
    std::vector<unsigned char> img(kFrameBytes);
    EXPECT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
}

}  // namespace

// test-labels: tsan
// Long exposures of the 807 and 811 on the test clock: each pass switches the
// FPGA's wait and trigger modes in the model's order, the trigger rises at
// once, from a second on the sensor parks (0x3111 = 1) and the FPGA goes to
// low power, the wait runs in the model's steps to its margin before the
// end, the horizontal sync stops only with the DDR or a USB 3 host, and the
// closing writes bring the sensor back before the trigger falls. One row per
// class and host.
#include <string.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "CaptureCheck.h"
#include "VirtualClock.h"
#include "modetable1/CCameraS807MM.h"
#include "modetable1/CCameraS807MM_Pro.h"
#include "test_s811_fixture.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegCtrl = 0;
constexpr int kRegSignal = 11;
constexpr int kRegPower = 25;
constexpr int kWait = 0x40, kTrigMode = 0x80;  // register 0
constexpr int kTrigger = 0x01, kXHSStop = 0x10;  // register 11
constexpr int kLowPower = 0x01;                  // register 25
constexpr int kPark = 0x3111;
constexpr int kWriteFpga = 0xBD;
constexpr int kWriteSensor = 0xB6;
constexpr int kWaitMs = 30000 * kTestSlowdown;
constexpr long kExposureUs = 3000000;

// Real time each library sleep also takes, so that waiting threads do not spin.
constexpr std::chrono::microseconds kRealPerSleep(1000 * kTestSlowdown);

struct SLongRow {
    int pid;
    const char* name;
    bool s807;
    bool pro;  // cooled, with the DDR buffer
    // The model's script: the FPGA mode switched first each pass, the step,
    // the margin before the end, the pause after low power goes off.
    int firstMode;
    uint64_t stepUs, marginUs, pauseUs;
};
const SLongRow kRows[] = {
    {0x811a, "807", true, false, kWait, 10000, 350000, 200000},
    {0x811e, "807 Pro", true, true, kWait, 10000, 350000, 200000},
    {0x811b, "811", false, false, kTrigMode, 100000, 300000, 50000},
    {0x811f, "811 Pro", false, true, kTrigMode, 100000, 300000, 50000},
};

// One sleep of the library: its thread, the number of requests logged then,
// and the test clock after it.
struct SSleep {
    unsigned long long thread;
    int logCount;
    uint64_t us;
};

// Log positions of one long exposure's requests on its capture thread.
struct SLongWrites {
    unsigned long long thread = 0;
    int rise = -1, park = -1, lowOn = -1, lowOff = -1, unpark = -1, fall = -1;
    std::vector<int> modes;  // register 0 values the thread wrote before the rise
    int lastMode = -1;       // the last of those writes
    int xhsOn = 0;           // XHS stop set, rise to fall
    bool xhsOffAtFall = true;
};

SLongWrites FindLongWrites(int handle, int from) {
    SLongWrites w;
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    for (int i = from; i < static_cast<int>(log.size()); ++i) {
        const kyrsim::Request& r = log[static_cast<size_t>(i)];
        if (r.device != handle || r.result < 0) continue;
        const bool fpga = r.request == kWriteFpga, sensor = r.request == kWriteSensor;
        if (w.rise < 0) {
            if (fpga && r.value == kRegSignal && (r.index & kTrigger)) {
                w.rise = i;
                w.thread = r.thread;
                for (int j = from; j < i; ++j) {
                    const kyrsim::Request& p = log[static_cast<size_t>(j)];
                    if (p.device == handle && p.thread == r.thread && p.request == kWriteFpga &&
                        p.value == kRegCtrl) {
                        w.modes.push_back(p.index);
                        w.lastMode = j;
                    }
                }
            }
            continue;
        }
        if (r.thread != w.thread || w.fall >= 0) continue;
        if (sensor && r.value == kPark) (r.index == 1 ? w.park : w.unpark) = i;
        if (fpga && r.value == kRegPower) ((r.index & kLowPower) ? w.lowOn : w.lowOff) = i;
        if (fpga && r.value == kRegSignal && (r.index & kXHSStop)) ++w.xhsOn;
        if (fpga && r.value == kRegSignal && !(r.index & kTrigger)) {
            w.fall = i;
            w.xhsOffAtFall = !(r.index & kXHSStop);
        }
    }
    return w;
}

class CLongExpTest : public CCropSensorTest {
  protected:
    CLongExpTest()
        : CCropSensorTest({ModelClass<CCameraS807MM>(0x811a), ModelClass<CCameraS807MM_Pro>(0x811e),
                           ModelClass<CCameraS811MC>(0x811b), ModelClass<CCameraS811MC_Pro>(0x811f)}) {}
    void TearDown() override {
        CCropSensorTest::TearDown();
        m_pClock.reset();
    }

    // The test clock, recording every sleep; installed before the camera opens.
    void Open(int pid, bool usb3) {
        if (!m_pClock) {
            m_pClock = std::make_unique<CVirtualClock>(kRealPerSleep);
            m_pClock->OnSleep([this](uint64_t us) {
                std::lock_guard<std::mutex> lk(m_mu);
                m_sleeps.push_back({kyrsim_thread_id(), kyrsim_log_count(), us});
            });
        }
        ASSERT_NE(SetupRow(pid, usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        std::lock_guard<std::mutex> lk(m_mu);
        m_sleeps.clear();
    }
    // Sleeps of `thread` (0: any) after log entry `after` up to entry `upTo`.
    std::vector<SSleep> SleepsBetween(unsigned long long thread, int after, int upTo) {
        std::lock_guard<std::mutex> lk(m_mu);
        std::vector<SSleep> out;
        for (const SSleep& s : m_sleeps)
            if ((thread == 0 || s.thread == thread) && s.logCount > after && s.logCount <= upTo) out.push_back(s);
        return out;
    }
    // The test clock when log entry `entry` was made (the last sleep before it).
    uint64_t ClockAt(int entry) {
        std::lock_guard<std::mutex> lk(m_mu);
        uint64_t us = 0;
        for (const SSleep& s : m_sleeps)
            if (s.logCount <= entry) us = s.us;
        return us;
    }
    bool WaitForSensor(int reg, int value) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (std::chrono::steady_clock::now() < end) {
            if (m_dev.sensor(reg) == value) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::unique_ptr<CVirtualClock> m_pClock;
    std::mutex m_mu;
    std::vector<SSleep> m_sleeps;
};

TEST_F(CLongExpTest, EachModelParksItsSensorThroughItsScript) {
    for (const SLongRow& row : kRows)
        for (bool usb3 : {true, false}) {
            SCOPED_TRACE(testing::Message() << row.name << (usb3 ? " USB3" : " USB2"));
            ASSERT_NO_FATAL_FAILURE(Open(row.pid, usb3));
            ASSERT_TRUE(SetExposure(kExposureUs));
            ASSERT_TRUE(m_pCam->m_bLongExpMode);
            // Setting the exposure leaves the FPGA's modes to the capture.
            EXPECT_EQ(m_dev.fpga(kRegCtrl) & (kWait | kTrigMode), 0);
            const int from = kyrsim_log_count();
            const long long frames = m_dev.query(KYRSIM_Q_FRAMES);
            ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
            EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 1);
            std::vector<unsigned char> img(kFrameBytes);
            ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
            const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), kFrameBytes);
            ASSERT_EQ(sent.size(), static_cast<size_t>(kFrameBytes));
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);

            const SLongWrites w = FindLongWrites(m_dev.handle(), from);
            ASSERT_GE(w.rise, 0);
            // The pass (after the stream's start): the model's first mode, then both.
            ASSERT_GE(w.modes.size(), 2u);
            const size_t n = w.modes.size();
            EXPECT_EQ(w.modes[n - 2] & (kWait | kTrigMode), row.firstMode);
            EXPECT_EQ(w.modes[n - 1] & (kWait | kTrigMode), kWait | kTrigMode);
            // The trigger rises at once.
            EXPECT_TRUE(SleepsBetween(w.thread, w.lastMode, w.rise).empty());
            // Parked and in low power for the wait, back before the fall.
            ASSERT_GT(w.park, w.rise);
            ASSERT_GT(w.lowOn, w.park);
            ASSERT_GT(w.lowOff, w.lowOn);
            ASSERT_GT(w.unpark, w.lowOff);
            ASSERT_GT(w.fall, w.unpark);
            EXPECT_EQ(SleepsBetween(w.thread, w.rise, w.park).size(), 2u);
            EXPECT_EQ(SleepsBetween(w.thread, w.park, w.lowOn).size(), 1u);
            const std::vector<SSleep> pause = SleepsBetween(w.thread, w.lowOff, w.unpark);
            ASSERT_EQ(pause.size(), 1u);
            EXPECT_EQ(SleepsBetween(w.thread, w.unpark, w.fall).size(), 1u);
            // The horizontal sync stops once, with the DDR or on USB 3 only.
            const bool xhs = row.pro || usb3;
            EXPECT_EQ(w.xhsOn, xhs ? 1 : 0);
            EXPECT_TRUE(w.xhsOffAtFall);
            EXPECT_EQ(m_dev.sensor(kPark), 0);
            EXPECT_EQ(m_dev.fpga(kRegPower) & kLowPower, 0);
            EXPECT_EQ(m_dev.fpga(kRegSignal) & (kTrigger | kXHSStop), 0);
            // The wait ends at the margin before the exposure's end, counted
            // from the rise; an uncooled camera's capture thread has the test
            // clock to itself, so its steps are exact.
            const uint64_t waited = ClockAt(w.lowOff) - ClockAt(w.rise);
            EXPECT_GE(waited, kExposureUs - row.marginUs);
            if (!row.pro) {
                EXPECT_LE(waited, kExposureUs - row.marginUs + row.stepUs);
                const std::vector<SSleep> steps = SleepsBetween(w.thread, w.lowOn, w.lowOff);
                ASSERT_GE(steps.size(), 2u);
                EXPECT_EQ(steps[1].us - steps[0].us, row.stepUs);
                const std::vector<SSleep> all = SleepsBetween(0, 0, w.unpark);
                ASSERT_GE(all.size(), 2u);
                EXPECT_EQ(all.back().us - all[all.size() - 2].us, row.pauseUs);
            }
        }
}

// A short first readout of the Pro is sent again from the DDR, at most three
// times in a row; a readout that stays short fails the exposure.
TEST_F(CLongExpTest, TheProsReloadAShortReadoutAtMostThreeTimes) {
    for (const SLongRow& row : kRows) {
        if (!row.pro) continue;
        SCOPED_TRACE(row.name);
        for (int shortFrames : {1, 10}) {
            SCOPED_TRACE(shortFrames);
            ASSERT_NO_FATAL_FAILURE(Open(row.pid, true));
            ASSERT_TRUE(SetExposure(1500000));
            ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, shortFrames));
            const long long frames = m_dev.query(KYRSIM_Q_FRAMES);
            const KYR_EXPOSURE_STATUS st = Expose(kWaitMs);
            if (shortFrames == 1) {
                EXPECT_EQ(st, KYR_EXP_SUCCESS);
                EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 2);
                std::vector<unsigned char> img(kFrameBytes);
                ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
                const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), kFrameBytes);
                EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);
            } else {
                EXPECT_EQ(st, KYR_EXP_FAILED);
                EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 4);
            }
        }
    }
}

// During long-exposure video a new exposure ends the wait at once: the sensor
// comes back and the trigger falls. Back to a short exposure, the FPGA's
// modes are off (the wait mode stays on a USB 2 host, where it lets frames
// flow) and frames come; again and again.
TEST_F(CLongExpTest, AShortExposureEndsTheWaitAndVideoFlowsAgain) {
    for (const SLongRow& row : kRows)
        for (bool usb3 : {true, false}) {
            SCOPED_TRACE(testing::Message() << row.name << (usb3 ? " USB3" : " USB2"));
            ASSERT_NO_FATAL_FAILURE(Open(row.pid, usb3));
            std::vector<unsigned char> img(kFrameBytes);
            for (int round = 0; round < 2; ++round) {
                SCOPED_TRACE(round);
                // Far longer than the test may take, even on the fast test clock.
                ASSERT_TRUE(SetExposure(2000000000));
                ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
                ASSERT_TRUE(WaitForSensor(kPark, 1));
                ASSERT_TRUE(SetExposure(2000));
                ASSERT_TRUE(WaitForSensor(kPark, 0));
                for (int i = 0; i < 3; ++i)
                    ASSERT_EQ(KYRGetVideoData(0, img.data(), kFrameBytes, kWaitMs), KYR_SUCCESS) << i;
                EXPECT_EQ(m_dev.fpga(kRegCtrl) & kTrigMode, 0);
                EXPECT_EQ(m_dev.fpga(kRegCtrl) & kWait, usb3 ? 0 : kWait);
                EXPECT_EQ(m_dev.fpga(kRegSignal) & kTrigger, 0);
                EXPECT_EQ(m_dev.fpga(kRegPower) & kLowPower, 0);
                ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
            }
        }
}

}  // namespace

// test-labels: tsan
// Long exposures of the 809 on the test clock: the trigger rises, the sensor
// goes to standby after 400 ms, the FPGA to low power after 600 ms and the
// horizontal sync stops after 800 ms; the closing writes bring all of it back
// before the trigger falls and the frame comes. However the wait ends (its
// time, a stop, an exposure change) the closing writes run, so nothing is
// left in standby, low power or with the sync stopped. The cooled camera
// sends a short readout again from its DDR.
#include <string.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "LongExpLog.h"
#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s809_fixture.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegBufCtrl = 24;
constexpr int kWaitMs = 30000 * kTestSlowdown;

// Real time each library sleep also takes, so that waiting threads do not spin.
constexpr std::chrono::microseconds kRealPerSleep(1000 * kTestSlowdown);

// What one write of the capture thread did: the trigger, the sync stop and
// low power by their bits' changes, the sensor's operating state by its value.
std::string Event(const SWrite809& w, int* pSignal, int* pPower) {
    std::string out;
    if (w.kind == 'S' && w.reg == kReg809State)
        return w.value == 6 ? "standby" : w.value == 4 ? "stream" : "state " + std::to_string(w.value);
    if (w.kind == 'F' && w.reg == kFpgaSignal) {
        const int changed = (*pSignal ^ w.value);
        if (changed & kSigTrigger) out += (w.value & kSigTrigger) ? "trigger on" : "trigger off";
        if (changed & kSigXHSStop) out += (w.value & kSigXHSStop) ? "xhs stop on" : "xhs stop off";
        *pSignal = w.value;
    }
    if (w.kind == 'F' && w.reg == kFpgaPower) {
        if ((*pPower ^ w.value) & kPowerLow) out = (w.value & kPowerLow) ? "low power on" : "low power off";
        *pPower = w.value;
    }
    return out;
}

class C809LongExpTest : public C809Test {
  protected:
    void TearDown() override {
        C809Test::TearDown();
        m_pLog.reset();
        m_pClock.reset();
    }

    // The test clock, marking the request log with every sleep; installed before the camera opens.
    void Open(int pid) {
        if (!m_pClock) {
            m_pClock = std::make_unique<CVirtualClock>(kRealPerSleep);
            m_pLog = std::make_unique<CLongExpLog>(*m_pClock);
        }
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        m_img.assign(kFrameBytes, 0);
    }
    // The events of the thread that raised the trigger first from entry `from` on, through its fall.
    std::vector<std::string> Events(int from, int* pRise = nullptr, int* pFall = nullptr) {
        std::vector<std::string> out;
        int signal = 0, power = 0;
        unsigned long long thread = 0;
        for (const SWrite809& w : Writes(from)) {
            if (thread == 0) {
                if (w.kind != 'F' || w.reg != kFpgaSignal || !(w.value & kSigTrigger)) continue;
                thread = w.thread;
                if (pRise) *pRise = w.index;
            }
            if (w.thread != thread) continue;
            const std::string e = Event(w, &signal, &power);
            if (!e.empty()) out.push_back(e);
            if (e == "trigger off") {
                if (pFall) *pFall = w.index;
                break;
            }
        }
        return out;
    }
    bool WaitFor(const std::function<bool()>& fn) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (!fn()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    bool Parked() {
        return m_dev.sensor(kReg809State) == 6 && (m_dev.fpga(kFpgaPower) & kPowerLow) &&
               (m_dev.fpga(kFpgaSignal) & kSigXHSStop);
    }
    long long Frames() { return m_dev.query(KYRSIM_Q_FRAMES); }
    bool ImageIsTheSentFrame() {
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), kFrameBytes);
        return sent.size() == static_cast<size_t>(kFrameBytes) &&
               memcmp(m_img.data() + 4, sent.data() + 4, kFrameBytes - 8) == 0;
    }

    std::unique_ptr<CVirtualClock> m_pClock;
    std::unique_ptr<CLongExpLog> m_pLog;
    std::vector<unsigned char> m_img;
};

const std::vector<std::string> kScript = {"trigger on",    "standby", "low power on", "xhs stop on",
                                          "low power off", "stream",  "xhs stop off", "trigger off"};

TEST_F(C809LongExpTest, TheSensorWaitsInStandbyAndIsBackBeforeTheTriggerFalls) {
    for (const S809Row& row : Rows809()) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Open(row.pid));
        ASSERT_EQ(Set(KYR_EXPOSURE, 1200000), KYR_SUCCESS);
        const int from = LogSize();
        const long long frames = Frames();
        ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
        int rise = -1, fall = -1;
        EXPECT_EQ(Events(from, &rise, &fall), kScript);
        ASSERT_GE(fall, 0);
        EXPECT_GE(m_pLog->TimeOf(fall) - m_pLog->TimeOf(rise), 1200000u);
        // The frame, read out after the fall.
        EXPECT_EQ(Frames() - frames, 1);
        ASSERT_EQ(KYRGetDataAfterExp(0, m_img.data(), kFrameBytes), KYR_SUCCESS);
        EXPECT_TRUE(ImageIsTheSentFrame());
        EXPECT_EQ(m_dev.sensor(kReg809State), 3);
    }
}

// A wait ended early by a stop or an exposure change still wakes the sensor,
// leaves low power, restarts the sync and drops the trigger.
TEST_F(C809LongExpTest, AWaitEndedEarlyStillRunsTheClosingWrites) {
    enum EEnd { kStopVideo, kStopExposure, kNewExposure };
    const struct {
        const char* what;
        EEnd end;
    } cases[] = {{"video stopped", kStopVideo},
                 {"single exposure stopped", kStopExposure},
                 {"exposure changed", kNewExposure}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open(kPid809));
        // Far longer than the test may take, even on the fast test clock.
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000000000), KYR_SUCCESS);
        const int from = LogSize();
        if (c.end == kStopExposure) {
            ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        } else {
            ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        }
        ASSERT_TRUE(WaitFor([this] { return Parked(); }));
        switch (c.end) {
            case kStopVideo:
                ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
                break;
            case kStopExposure:
                ASSERT_EQ(KYRStopExposure(0), KYR_SUCCESS);
                break;
            case kNewExposure:
                ASSERT_EQ(Set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
                // The frame of the ended wait, then one of the new exposure.
                for (int i = 0; i < 2; ++i)
                    ASSERT_EQ(KYRGetVideoData(0, m_img.data(), kFrameBytes, kWaitMs), KYR_SUCCESS) << i;
                ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
                break;
        }
        EXPECT_EQ(Events(from), kScript);
        EXPECT_EQ(m_dev.fpga(kFpgaPower) & kPowerLow, 0);
        EXPECT_EQ(m_dev.fpga(kFpgaSignal) & (kSigTrigger | kSigXHSStop), 0);
        EXPECT_EQ(m_dev.sensor(kReg809State), 3);
    }
}

TEST_F(C809LongExpTest, TheProSendsAShortReadoutAgainFromItsDDR) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid809Pro));
    ASSERT_EQ(Set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, 1));
    const int from = LogSize();
    const long long frames = Frames();
    ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
    // The short readout and its resend: one exposure, one resend request.
    EXPECT_EQ(Frames() - frames, 2);
    int resends = 0;
    for (const SWrite809& w : Writes(from)) resends += w.kind == 'F' && w.reg == kRegBufCtrl && (w.value & 1);
    EXPECT_EQ(resends, 1);
    EXPECT_EQ(Events(from), kScript);
    ASSERT_EQ(KYRGetDataAfterExp(0, m_img.data(), kFrameBytes), KYR_SUCCESS);
    EXPECT_TRUE(ImageIsTheSentFrame());
    int dropped = -1;
    ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    EXPECT_EQ(dropped, 0);
}

}  // namespace

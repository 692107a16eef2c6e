// test-labels: tsan
// Long exposures of the 825 on the test time source: up to about a second
// one sleep 200 ms short of the exposure; longer, a wait in 100 ms steps
// that lasts the whole exposure, low power from the 6th step and the XHS
// stop from the 8th; the closing writes run however the wait ends, also
// when the capture stops or the exposure changes; the Pro sends a short
// readout again from its DDR.
#include <chrono>
#include <thread>

#include "LongExpLog.h"
#include "TestSpeed.h"
#include "test_s825_fixture.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kWaitMs = 30000 * kTestSlowdown;
constexpr int kRegSignal = 11;
constexpr int kRegPower = 25;
constexpr int kTrigger = 0x01;   // register 11 bit 0
constexpr int kXHSStop = 0x10;   // register 11 bit 4
constexpr int kLowPower = 0x01;  // register 25 bit 0

class C825LongExpTest : public C825Test {
  protected:
    void Open(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
    }
    std::vector<SStep> Steps(int from) { return m_log.Steps(m_dev.handle(), from, {kRegSignal, kRegPower}); }
    int Fpga(int reg) { return m_dev.fpga(reg); }
    // The sensor left as it was before the wait: trigger, XHS stop and low power off.
    void ExpectClosed() {
        EXPECT_EQ(Fpga(kRegSignal) & (kTrigger | kXHSStop), 0);
        EXPECT_EQ(Fpga(kRegPower) & kLowPower, 0);
    }

    CVirtualClock m_clock{std::chrono::microseconds(2000 * kTestSlowdown)};
    CLongExpLog m_log{m_clock};
};

// The index of the first step from `from` on that matches.
int Find(const std::vector<SStep>& s, int reg, int mask, int bits, int from = 0) {
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < s.size(); ++i)
        if (s[i].kind == 'F' && s[i].reg == reg && (s[i].value & mask) == bits) return static_cast<int>(i);
    return -1;
}

TEST_F(C825LongExpTest, TheWaitLastsTheWholeExposureWithLowPowerAtStep6AndTheXHSStopAt8) {
    const struct {
        int pid;
        long exposureUs;
        bool stepped;
        uint64_t upFromUs, upToUs;  // trigger rise to the end of the wait (low power off)
    } cases[] = {
        {kPid825, 1000000, false, 800000, 800000},
        // A loaded machine may let the stepped wait end a step or a few late.
        {kPid825, 3000000, true, 3000000, 3199999},
        {kPid825Pro, 2500000, true, 2500000, 2699999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pid << " " << c.exposureUs);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid));
        ASSERT_EQ(Set(KYR_EXPOSURE, c.exposureUs), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
        const std::vector<SStep> s = Steps(from);
        const int trigOn = Find(s, kRegSignal, kTrigger, kTrigger);
        const int lowOn = Find(s, kRegPower, kLowPower, kLowPower);
        const int xhsOn = Find(s, kRegSignal, kXHSStop, kXHSStop);
        const int lowOff = Find(s, kRegPower, kLowPower, 0, trigOn);
        const int xhsOff = Find(s, kRegSignal, kXHSStop | kTrigger, kTrigger, lowOff);
        const int trigOff = Find(s, kRegSignal, kXHSStop | kTrigger, 0, lowOff);
        ASSERT_GE(trigOn, 0);
        ASSERT_GT(lowOff, trigOn);
        ASSERT_GT(trigOff, lowOff);
        const uint64_t waited = s[lowOff].atUs - s[trigOn].atUs;
        EXPECT_GE(waited, c.upFromUs);
        EXPECT_LE(waited, c.upToUs);
        // The closing pauses: 200 ms before the trigger falls.
        EXPECT_GE(s[trigOff].atUs - s[lowOff].atUs, 200000u);
        if (c.stepped) {
            ASSERT_GT(lowOn, trigOn);
            ASSERT_GT(xhsOn, lowOn);
            EXPECT_LT(xhsOn, lowOff);
            // Steps of 100 ms: a loaded machine may let one come a step late.
            EXPECT_GE(s[lowOn].atUs - s[trigOn].atUs, 600000u);
            EXPECT_LT(s[lowOn].atUs - s[trigOn].atUs, 800000u);
            EXPECT_GE(s[xhsOn].atUs - s[trigOn].atUs, 800000u);
            EXPECT_LT(s[xhsOn].atUs - s[trigOn].atUs, 1000000u);
            // The XHS stop is released before the trigger falls.
            EXPECT_GT(xhsOff, lowOff);
            EXPECT_LT(xhsOff, trigOff);
        } else {
            EXPECT_EQ(lowOn, -1);
            EXPECT_EQ(xhsOn, -1);
        }
        ExpectClosed();
        std::vector<unsigned char> img(kFrameBytes);
        ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
    }
}

// A wait ended early by a stop or by an exposure change still runs the
// closing writes: nothing is left in low power, with the XHS stopped or the
// trigger up.
TEST_F(C825LongExpTest, AWaitEndedByAStopOrAnExposureChangeStillCloses) {
    const struct {
        const char* what;
        int pid;
        bool video;  // ended by stopping the video; else by a new exposure during a snapshot
    } cases[] = {
        {"video stopped", kPid825, true},
        {"exposure changed", kPid825, false},
        {"Pro video stopped", kPid825Pro, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid));
        // Far longer than the test may take, even on the fast test clock.
        ASSERT_EQ(Set(KYR_EXPOSURE, 600000000), KYR_SUCCESS);
        const uint64_t start = m_clock.ElapsedUs();
        ASSERT_EQ(c.video ? KYRStartVideoCapture(0) : KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        // Past the 8th step: low power and the XHS stop are on.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (!((Fpga(kRegSignal) & kXHSStop) && (Fpga(kRegPower) & kLowPower)) &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(Fpga(kRegSignal) & (kTrigger | kXHSStop), kTrigger | kXHSStop);
        ASSERT_EQ(Fpga(kRegPower) & kLowPower, kLowPower);
        if (c.video) {
            ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        } else {
            ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
            EXPECT_NE(WaitExposureEnd(kWaitMs), KYR_EXP_WORKING);
        }
        ExpectClosed();
        EXPECT_LT(m_clock.ElapsedUs() - start, 60000000u);
    }
}

TEST_F(C825LongExpTest, TheProSendsAShortReadoutAgainFromItsDDR) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid825Pro));
    ASSERT_EQ(Set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, 1));
    const long long frames = m_dev.query(KYRSIM_Q_FRAMES);
    const int from = kyrsim_log_count();
    ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
    // The short readout and its resend; one exposure, one resend request.
    EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 2);
    int reloads = 0;
    for (const auto& w : FpgaWrites(m_dev.handle(), from))
        if (w.first == 24) ++reloads;
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(Find(Steps(from), kRegSignal, kTrigger, kTrigger, 0) >= 0, true);
    std::vector<unsigned char> img(kFrameBytes);
    ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
    const std::vector<unsigned char> sent = m_dev.lastFrame();
    ASSERT_EQ(sent.size(), static_cast<size_t>(kFrameBytes));
    EXPECT_TRUE(std::equal(img.begin() + 4, img.end() - 4, sent.begin() + 4));
    int dropped = -1;
    ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    EXPECT_EQ(dropped, 0);
}

}  // namespace

// test-labels: tsan
// Long exposures of the S7100 mono camera on the test clock, as the camera
// receives them: the FPGA re-synchronised before the trigger while its
// status bit 4 is clear, the sensor parked, low power and the horizontal
// sync stopped during the stepped wait and all undone, in order, before
// the trigger falls; a short readout sent again from the DDR; an early end
// by an exposure change or a stop; the wait across the 32-bit tick wrap.
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FrameReference.h"
#include "Fx3Fixture.h"
#include "LongExpLog.h"
#include "TestSpeed.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kWaitMs = 30000 * kTestSlowdown;
// Real time each library sleep also takes, so that waiting threads do not spin.
constexpr std::chrono::microseconds kRealPerSleep(2000 * kTestSlowdown);

constexpr int kW = 640, kH = 480;
constexpr int kFrameBytes = kW * kH;

// FPGA registers and bits of the script.
constexpr int kFSignal = 11, kFBuf = 24, kFPower = 25, kFVerType = 28;
constexpr int kSigTrigger = 0x01, kSigXHSStop = 0x10, kPowerLow = 0x01, kBufReload = 0x01;
// The stream switch's values.
constexpr int kStreaming = 1, kParked = 5;
// Requests.
constexpr int kReqFirmware = 0xAD, kReqFpgaRead = 0xBC, kReqFpgaWrite = 0xBD, kReqSensor8 = 0xB6,
              kReqGPIF = 0xFD;

// One request of the capture thread: 'F' FPGA write, 'S' sensor write,
// 'R' FPGA read, 'Q' another request (reg is its request code).
struct SEvent {
    char kind;
    int reg, value;
    uint64_t atUs;  // virtual time of the last sleep before it
    long long simUs;  // the simulator's time at its arrival
};

class C7100LongExpTest : public C7100Test {
  protected:
    // A fresh camera whose FPGA comes in sync with the sensor by policy
    // (KYRSIM_SYNC_*, after `cycles` stop and start cycles from now on).
    void Open(int policy = KYRSIM_SYNC_READY, int cycles = 0) {
        ASSERT_NE(Fresh(kPid7100), nullptr);
        // The cooler's thread sleeps on the test clock too: without it the
        // clock follows the capture thread's pauses and steps alone.
        dynamic_cast<CCameraCool&>(*m_pCam).StopAutoTempThr();
        ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        // The simulator's log times follow the test clock.
        ASSERT_EQ(kyrsim_set_log_clock(1), 0);
        ASSERT_EQ(kyrsim_set_sync_policy(m_dev.handle(), policy, cycles), 0);
        m_img.assign(kFrameBytes, 0);
    }
    // Starts a single exposure of us and waits for its end.
    int Snap(long us) {
        if (Set(KYR_EXPOSURE, us) != KYR_SUCCESS) return -1;
        m_from = kyrsim_log_count();
        return Expose(kWaitMs);
    }

    // What threads other than the test's sent the camera from m_from on.
    std::vector<SEvent> Events() {
        std::vector<SEvent> out;
        for (int i = m_from; i < kyrsim_log_count(); ++i) {
            kyrsim_request r;
            if (kyrsim_log_get(i, &r) != 0 || r.device != m_dev.handle() || r.result < 0) continue;
            if (r.thread == kyrsim_thread_id()) continue;
            const uint64_t at = m_log.TimeOf(i);
            if (r.request == kReqFpgaWrite)
                out.push_back({'F', r.value, r.index, at, r.start_us});
            else if (r.request == kReqSensor8)
                out.push_back({'S', r.value, r.index, at, r.start_us});
            else if (r.request == kReqFpgaRead)
                out.push_back({'R', r.value, r.data_len > 0 ? r.data[0] : -1, at, r.start_us});
            else
                out.push_back({'Q', r.request, 0, at, r.start_us});
        }
        return out;
    }

    bool ReadVideo() {
        return KYRGetVideoData(0, m_img.data(), static_cast<long>(m_img.size()), kWaitMs) == KYR_SUCCESS;
    }
    // The image is the scene's window at the camera's start, but for the repaired marker bytes.
    void ExpectImageOfScene() {
        int sx = -1, sy = -1;
        ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
        const std::vector<unsigned char> want =
            ExpectedSensorFrame(m_dev.handle(), sx, sy, Engine().Readout(), true, 12);
        EXPECT_TRUE(SameExceptEnds(m_img, want));
    }
    // The image equals the frame the camera sent, but for the repaired marker bytes.
    void ExpectImageIsLastFrame() { EXPECT_TRUE(SameExceptEnds(m_img, m_dev.lastFrame())); }
    void StartTenSecondSnapshot();
    int Dropped() {
        int n = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &n), KYR_SUCCESS);
        return n;
    }

    CVirtualClock m_clock{kRealPerSleep};
    CLongExpLog m_log{m_clock};
    std::vector<unsigned char> m_img;
    int m_from = 0;
};

bool Is(const SEvent& e, char kind, int reg, int mask, int bits) {
    return e.kind == kind && e.reg == reg && (e.value & mask) == bits;
}
// The first event from `from` on that matches, or -1.
int Find(const std::vector<SEvent>& s, char kind, int reg, int mask, int bits, int from = 0) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(s.size()); ++i)
        if (Is(s[i], kind, reg, mask, bits)) return i;
    return -1;
}
// Matching events in [from, to).
int Count(const std::vector<SEvent>& s, char kind, int reg, int mask, int bits, int from, int to) {
    int n = 0;
    for (int i = from < 0 ? 0 : from; i < to && i < static_cast<int>(s.size()); ++i) n += Is(s[i], kind, reg, mask, bits);
    return n;
}
int FindRequest(const std::vector<SEvent>& s, int request, int from = 0) {
    return Find(s, 'Q', request, 0, 0, from);
}

// The n-th rise of the trigger signal (from 0), or -1.
int TriggerRise(const std::vector<SEvent>& s, int n) {
    bool up = false;
    for (int i = 0; i < static_cast<int>(s.size()); ++i) {
        if (s[i].kind != 'F' || s[i].reg != kFSignal) continue;
        const bool now = (s[i].value & kSigTrigger) != 0;
        if (now && !up && n-- == 0) return i;
        up = now;
    }
    return -1;
}
// The re-synchronisation attempts (FPGA stops) before the trigger rise at
// `rise`: those after the sensor's last switch to streaming before it (a
// stream start's or the last exposure's closing).
int SyncAttempts(const std::vector<SEvent>& s, int rise) {
    int anchor = -1;
    for (int i = 0; i < rise; ++i)
        if (Is(s[i], 'S', kReg7100Stream, 0xFF, kStreaming)) anchor = i;
    return Count(s, 'F', kF7100Ctrl, kCtrl7100Stop, kCtrl7100Stop, anchor + 1, rise);
}

// The script of one exposure from its trigger rise on, as log indices.
struct SScript {
    int rise, park, lowOn, xhsOn, lowOff, unpark, xhsOff, fall;
};
SScript ScriptFrom(const std::vector<SEvent>& s, int rise) {
    SScript k{};
    k.rise = rise;
    k.fall = Find(s, 'F', kFSignal, kSigTrigger, 0, rise + 1);
    const auto before = [&](int i) { return i >= 0 && i < k.fall ? i : -1; };
    k.park = before(Find(s, 'S', kReg7100Stream, 0xFF, kParked, rise));
    k.lowOn = before(Find(s, 'F', kFPower, kPowerLow, kPowerLow, rise));
    k.xhsOn = before(Find(s, 'F', kFSignal, kSigXHSStop, kSigXHSStop, rise));
    k.lowOff = Find(s, 'F', kFPower, kPowerLow, 0, k.lowOn > 0 ? k.lowOn : rise);
    k.unpark = Find(s, 'S', kReg7100Stream, 0xFF, kStreaming, k.lowOff);
    k.xhsOff = Find(s, 'F', kFSignal, kSigXHSStop | kSigTrigger, kSigTrigger, k.unpark);
    return k;
}

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ---- Script ----------------------------------------------------------------------------

// Up to 1,000,999 us one sleep of the exposure - 200 ms; longer, 100 ms
// steps with the park, low power and XHS stop after steps 6, 8 and 10. The
// closing always runs, the trigger's fall last.
TEST_F(C7100LongExpTest, ScriptTable) {
    const struct {
        long us;
        bool steps;
    } cases[] = {
        {1000000, false},
        {1000999, false},
        {1001000, true},
        {5000000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.us);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(Snap(c.us), KYR_EXP_SUCCESS);
        ASSERT_EQ(KYRGetDataAfterExp(0, m_img.data(), kFrameBytes), KYR_SUCCESS);
        ExpectImageOfScene();

        const std::vector<SEvent> s = Events();
        const int rise = TriggerRise(s, 0);
        ASSERT_GE(rise, 0);
        // The run's first long exposure re-synchronises before the trigger.
        EXPECT_EQ(SyncAttempts(s, rise), 1);
        const SScript k = ScriptFrom(s, rise);
        ASSERT_GT(k.fall, rise);
        // The closing, in order, the trigger's fall last.
        ASSERT_TRUE(k.lowOff > rise && k.unpark > k.lowOff && k.xhsOff > k.unpark && k.fall > k.xhsOff)
            << k.lowOff << " " << k.unpark << " " << k.xhsOff << " " << k.fall;
        EXPECT_GE(s[k.unpark].atUs - s[k.lowOff].atUs, 100000u);
        EXPECT_GE(s[k.xhsOff].atUs - s[k.unpark].atUs, 100000u);
        const uint64_t ms = static_cast<uint64_t>(c.us) / 1000;
        const uint64_t up = s[k.fall].atUs - s[rise].atUs;
        if (!c.steps) {
            EXPECT_EQ(k.park, -1);
            EXPECT_EQ(k.lowOn, -1);
            EXPECT_EQ(k.xhsOn, -1);
            // The sleep leaves 200 ms to the closing.
            EXPECT_GE(up, ms * 1000);
            EXPECT_LE(up, ms * 1000 + 20000);
            continue;
        }
        ASSERT_TRUE(k.park > rise && k.lowOn > k.park && k.xhsOn > k.lowOn && k.lowOff > k.xhsOn)
            << k.park << " " << k.lowOn << " " << k.xhsOn << " " << k.lowOff;
        EXPECT_NEAR(static_cast<double>(s[k.park].atUs - s[rise].atUs), 600000.0, 20000.0);
        EXPECT_NEAR(static_cast<double>(s[k.lowOn].atUs - s[rise].atUs), 800000.0, 20000.0);
        EXPECT_NEAR(static_cast<double>(s[k.xhsOn].atUs - s[rise].atUs), 1000000.0, 20000.0);
        // The whole exposure in 100 ms steps, then the closing's 200 ms.
        EXPECT_GE(up, ms * 1000 + 200000);
        EXPECT_LE(up, ms * 1000 + 320000);
        EXPECT_EQ(m_dev.fpga(kFSignal) & (kSigTrigger | kSigXHSStop), 0);
        EXPECT_EQ(m_dev.fpga(kFPower) & kPowerLow, 0);
    }
}

// ---- Re-synchronisation --------------------------------------------------------------------

TEST_F(C7100LongExpTest, ResyncTable) {
    const struct {
        const char* what;
        int policy, cycles;
        int attempts;
    } cases[] = {
        {"ready", KYRSIM_SYNC_READY, 0, 1},
        {"ready after 1 cycle", KYRSIM_SYNC_AFTER_CYCLES, 1, 1},
        {"ready after 4 cycles", KYRSIM_SYNC_AFTER_CYCLES, 4, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open(c.policy, c.cycles));
        const std::string log = CaptureDebugLog([&] { ASSERT_EQ(Snap(1000000), KYR_EXP_SUCCESS); });
        const std::vector<SEvent> s = Events();
        const int rise = TriggerRise(s, 0);
        ASSERT_GE(rise, 0);
        EXPECT_EQ(SyncAttempts(s, rise), c.attempts);
        // Each attempt after which bit 4 still reads clear is logged.
        EXPECT_EQ(Occurrences(log, "EC sync status:0x"), c.attempts - 1);
        EXPECT_EQ(Occurrences(log, "Begin long exp 1000\n"), 1);
        // A re-synchronisation that succeeds needs no liveness reads.
        EXPECT_EQ(FindRequest(s, kReqFirmware), -1);
    }
}

// In video, the status the last transfer read (0x15) has bit 4 set: the
// next exposure goes straight to its trigger.
TEST_F(C7100LongExpTest, VideoResyncsOnlyBeforeTheRunsFirstLongExposure) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
    m_from = kyrsim_log_count();
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(ReadVideo()) << n;
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    ExpectImageIsLastFrame();
    const std::vector<SEvent> s = Events();
    for (int n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        const int rise = TriggerRise(s, n);
        ASSERT_GE(rise, 0);
        EXPECT_EQ(SyncAttempts(s, rise), n == 0 ? 1 : 0);
    }
}

// Never ready: five attempts, the liveness reads, no trigger; the snapshot
// ends FAILED with the FPGA stopped and the sensor parked.
TEST_F(C7100LongExpTest, ANeverReadyFpgaEndsTheSnapshotFailedWithoutATrigger) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_SYNC_NEVER));
    const auto t0 = std::chrono::steady_clock::now();
    const std::string log = CaptureDebugLog([&] { ASSERT_EQ(Snap(2000000), KYR_EXP_FAILED); });
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(kWaitMs / 2));
    EXPECT_EQ(Occurrences(log, "EC sync status:0x"), 5);
    // The version reads come without a line, and the exposure never began.
    EXPECT_EQ(Occurrences(log, "Long exposure EC sync failed."), 0);
    EXPECT_EQ(Occurrences(log, "Begin long exp"), 0);
    const std::vector<SEvent> s = Events();
    EXPECT_EQ(TriggerRise(s, 0), -1);
    const int firmware = FindRequest(s, kReqFirmware);
    ASSERT_GE(firmware, 0);
    EXPECT_EQ(SyncAttempts(s, firmware), 5);
    // Then the FPGA version.
    EXPECT_GE(Find(s, 'R', kFVerType, 0, 0, firmware), 0);
    EXPECT_EQ(m_dev.sensor(kReg7100Stream), kParked);
    EXPECT_EQ(m_dev.fpga(kF7100Ctrl) & kCtrl7100Stop, kCtrl7100Stop);
    EXPECT_FALSE(m_dev.query(KYRSIM_Q_RUNNING) == 1);
    EXPECT_EQ(m_dev.fpga(kFSignal) & kSigTrigger, 0);
    // The next exposure is not blocked by the failed one: it fails the same way.
    EXPECT_EQ(Snap(1000000), KYR_EXP_FAILED);
}

// In video a reader gets an error instead of waiting for ever.
TEST_F(C7100LongExpTest, ANeverReadyFpgaEndsVideoAndReleasesTheReader) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_SYNC_NEVER));
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000000), KYR_SUCCESS);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    const auto t0 = std::chrono::steady_clock::now();
    // The run's end, not the wait's, releases the reader.
    EXPECT_NE(KYRGetVideoData(0, m_img.data(), kFrameBytes, 2 * kWaitMs), KYR_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(kWaitMs / 2));
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(m_dev.fpga(kFSignal) & kSigTrigger, 0);
}

// ---- DDR reloads -----------------------------------------------------------------------------

// A short readout with the frame held in the DDR is sent again, up to three
// times in a row, without a lost frame.
TEST_F(C7100LongExpTest, ReloadTable) {
    for (int shorts : {1, 2, 3}) {
        SCOPED_TRACE(shorts);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, shorts));
        std::string log;
        log = CaptureDebugLog([&] { ASSERT_EQ(Snap(1500000), KYR_EXP_SUCCESS); });
        const std::vector<SEvent> s = Events();
        EXPECT_EQ(Count(s, 'F', kFBuf, kBufReload, kBufReload, 0, static_cast<int>(s.size())), shorts);
        EXPECT_EQ(Occurrences(log, "Reload long exp data.\n"), shorts);
        EXPECT_EQ(Occurrences(log, "reload failed"), 0);
        // One exposure only.
        EXPECT_GE(TriggerRise(s, 0), 0);
        EXPECT_EQ(TriggerRise(s, 1), -1);
        ASSERT_EQ(KYRGetDataAfterExp(0, m_img.data(), kFrameBytes), KYR_SUCCESS);
        ExpectImageIsLastFrame();
    }
}

// A fourth short readout gives the reloads up: the cable message and the
// GPIF status, then a lost frame; the next exposure streams again.
TEST_F(C7100LongExpTest, AFourthShortReadoutGivesUpWithTheGPIFStatusAndALostFrame) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(kyrsim_set_fd_answer(m_dev.handle(), 0x5A), 0);
    ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, 4));
    m_from = kyrsim_log_count();
    int dropped = -1;
    const std::string log = CaptureDebugLog([&] {
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(ReadVideo());
        dropped = Dropped();
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    });
    EXPECT_EQ(dropped, 1);
    EXPECT_EQ(Occurrences(log, "Reload long exp data.\n"), 3);
    EXPECT_EQ(Occurrences(log, "USB cable has an exception, reload failed!\n"), 1);
    EXPECT_EQ(Occurrences(log, "GPIF Status: 0x5a\n"), 1);
    const std::vector<SEvent> s = Events();
    const int gpif = FindRequest(s, kReqGPIF);
    ASSERT_GE(gpif, 0);
    // After the third reload, before the next exposure.
    int thirdReload = -1;
    for (int n = 0; n < 3; ++n) thirdReload = Find(s, 'F', kFBuf, kBufReload, kBufReload, thirdReload + 1);
    EXPECT_GT(gpif, thirdReload);
    EXPECT_LT(gpif, TriggerRise(s, 1));
    EXPECT_EQ(Dropped(), 0);
}

// A readout lost on the way leaves nothing in the DDR to send again.
TEST_F(C7100LongExpTest, AFrameNotHeldIsNotReloaded) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_OVERFLOW, 4096, 0, 1));
    std::string log;
    log = CaptureDebugLog([&] { EXPECT_EQ(Snap(1000000), KYR_EXP_FAILED); });
    EXPECT_EQ(Occurrences(log, "Data in cache is invalid, could not reload!\n"), 1);
    EXPECT_EQ(Occurrences(log, "Reload long exp data.\n"), 0);
    const std::vector<SEvent> s = Events();
    EXPECT_EQ(Count(s, 'F', kFBuf, kBufReload, kBufReload, 0, static_cast<int>(s.size())), 0);
}

// ---- Early end ---------------------------------------------------------------------------------

// A 10 s snapshot, some seconds into its stepped wait.
void C7100LongExpTest::StartTenSecondSnapshot() {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(KYR_EXPOSURE, 10000000), KYR_SUCCESS);
    m_from = kyrsim_log_count();
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(m_clock.WaitElapsed(m_clock.ElapsedUs() + 2500000, kWaitMs));
}

// An exposure change from another thread ends a 10 s wait within one step;
// the closing follows.
TEST_F(C7100LongExpTest, AnExposureChangeEndsTheWaitWithinOneStep) {
    ASSERT_NO_FATAL_FAILURE(StartTenSecondSnapshot());
    int setFrom = 0, setTo = 0;  // the change's requests
    std::thread setter([&] {
        setFrom = kyrsim_log_count();
        EXPECT_EQ(Set(KYR_EXPOSURE, 2000000), KYR_SUCCESS);
        setTo = kyrsim_log_count();
    });
    setter.join();
    EXPECT_NE(WaitExposureEnd(kWaitMs), KYR_EXP_WORKING);
    ASSERT_GT(setTo, setFrom);
    const uint64_t changedAt = m_log.TimeOf(setTo - 1);
    const std::vector<SEvent> s = Events();
    const int rise = TriggerRise(s, 0);
    ASSERT_GE(rise, 0);
    const SScript k = ScriptFrom(s, rise);
    ASSERT_TRUE(k.lowOff > rise && k.fall > k.lowOff);
    // The step under way when the change came, and at most one more.
    EXPECT_LE(s[k.lowOff].atUs, changedAt + 200000);
    EXPECT_LT(s[k.fall].atUs - s[rise].atUs, 5000000u);
    EXPECT_EQ(m_dev.sensor(kReg7100Stream), kParked);
    EXPECT_EQ(m_dev.fpga(kFSignal) & (kSigTrigger | kSigXHSStop), 0);
}

// KYRStopExposure joins within one step plus the closing's pauses.
TEST_F(C7100LongExpTest, StopExposureJoinsWithinOneStepAndTheClosing) {
    ASSERT_NO_FATAL_FAILURE(StartTenSecondSnapshot());
    const uint64_t stoppedAt = m_clock.ElapsedUs();
    ASSERT_EQ(KYRStopExposure(0), KYR_SUCCESS);
    EXPECT_LE(m_clock.ElapsedUs() - stoppedAt, 100000u + 200000u + 50000u);
    KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
    ASSERT_EQ(KYRGetExpStatus(0, &st), KYR_SUCCESS);
    EXPECT_NE(st, KYR_EXP_WORKING);
    const std::vector<SEvent> s = Events();
    const SScript k = ScriptFrom(s, TriggerRise(s, 0));
    EXPECT_TRUE(k.lowOff > k.rise && k.unpark > k.lowOff && k.fall > k.unpark);
    EXPECT_EQ(m_dev.fpga(kFSignal) & (kSigTrigger | kSigXHSStop), 0);
    EXPECT_EQ(m_dev.fpga(kFPower) & kPowerLow, 0);
}

// ---- Tick wrap -------------------------------------------------------------------------------

// The millisecond tick wraps 500 ms into a 2 s exposure: the trigger stays
// up for the exposure and the closing's pauses, no longer.
TEST_F(C7100LongExpTest, TheWaitRunsAcrossTheTickWrap) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000000), KYR_SUCCESS);
    const uint32_t toWrap = static_cast<uint32_t>(0u - 500u - m_clock.Now());
    ASSERT_LT(toWrap, 5u * 60u * 1000u);
    m_clock.Advance(static_cast<uint64_t>(toWrap) * 1000);
    const uint32_t startTick = m_clock.Now();
    m_from = kyrsim_log_count();
    ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
    // The tick did wrap during the exposure.
    EXPECT_LT(m_clock.Now(), startTick);
    const std::vector<SEvent> s = Events();
    const SScript k = ScriptFrom(s, TriggerRise(s, 0));
    ASSERT_GT(k.fall, k.rise);
    // On the simulator's clock.
    const long long up = s[k.fall].simUs - s[k.rise].simUs;
    EXPECT_GE(up, 2200000);
    EXPECT_LE(up, 2320000);
}

// ---- Threads ---------------------------------------------------------------------------------

// A long-exposure video while another thread changes the gain: each frame
// comes whole, the script's register sequences and the gain's interleave.
TEST_F(C7100LongExpTest, LongExposureVideoWhileTheGainChanges) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(KYR_EXPOSURE, 1200000), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::thread gain([&] {
        for (int i = 0; !stop.load(); ++i) {
            EXPECT_EQ(KYRSetControlValue(0, KYR_GAIN, (i * 37) % 700, KYR_FALSE), KYR_SUCCESS);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(ReadVideo()) << n;
    stop = true;
    gain.join();
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(m_dev.fpga(kFSignal) & (kSigTrigger | kSigXHSStop), 0);
    EXPECT_EQ(m_dev.sensor(kReg7100Stream), kParked);
}

}  // namespace

// The auto-control thread: on a gated test clock it steps auto exposure every
// cycle and white balance every fourth, only while the exposure and the frame
// time are below its period, stops within a cycle, and in a closed loop (the
// frame's brightness following exposure and gain) brings a dark scene into
// the dead band and keeps it there. Beside it, a caller's gain and exposure
// setters never run inside one of its steps, and a video stop ends it.
// test-labels: tsan
#include <math.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "test_auto_fixture.h"
#include "test_controls_fixture.h"

namespace auto_test {
namespace {

constexpr int kWaitMs = 10000;
constexpr uint64_t kStartUs = 200000;  // the thread's settle time
constexpr uint64_t kCycleUs = 100000;  // one cycle: ten sleeps of 10 ms
constexpr int kPeriodUs = 100000;      // the capture thread's period in video

// Polls pred every millisecond until it holds or iTimeoutMs pass.
template <class F>
bool WaitFor(F pred, int iTimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A test clock whose time moves only as far as the test lets it: a sleep
// that would pass the limit blocks until the limit moves (or the clock is
// opened, when every sleep passes at once).
class CGateClock {
  public:
    CGateClock() : m_source{NowMs, Sleep, this} {}
    const KyrTimeSource* Source() const { return &m_source; }

    // Lets time run to t µs and waits until the sleeper has used it all and
    // blocks in its next sleep.
    bool RunTo(uint64_t t) {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_limit = t;
        m_cv.notify_all();
        return m_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                             [this] { return m_iBlocked > 0 && m_now + m_pending > m_limit; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bOpen = true;
        m_cv.notify_all();
    }
    uint64_t NowUs() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_now;
    }

  private:
    static uint32_t NowMs(void* ctx) {
        CGateClock* self = static_cast<CGateClock*>(ctx);
        std::lock_guard<std::mutex> lock(self->m_mtx);
        return static_cast<uint32_t>(self->m_now / 1000);
    }
    static void Sleep(void* ctx, uint32_t us) {
        CGateClock* self = static_cast<CGateClock*>(ctx);
        std::unique_lock<std::mutex> lock(self->m_mtx);
        while (!self->m_bOpen && self->m_now + us > self->m_limit) {
            ++self->m_iBlocked;
            self->m_pending = us;
            self->m_cv.notify_all();
            self->m_cv.wait(lock);
            --self->m_iBlocked;
        }
        self->m_now += us;
        self->m_cv.notify_all();
    }

    KyrTimeSource m_source;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    uint64_t m_now = 0;
    uint64_t m_limit = 0;
    uint64_t m_pending = 0;
    int m_iBlocked = 0;
    bool m_bOpen = false;
};

// The auto-control thread of a recording driver on the gated clock, fed a
// 16-bit frame that is too dark for target 160 and has a red cast.
class CAutoThreadTest : public CAutoTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(CAutoTest::SetUp());
        ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_RAW16));
        Cam().SetAutoPara(300, 30000, 160);
        Cam().SetExp(1000, true);
        Cam().m_bAutoGain = false;
        Cam().m_iAutoCtrlPeriodUs = kPeriodUs;
        ASSERT_NO_FATAL_FAILURE(Feed(Bayer16(kW, kH, 80, 90, 90)));
        Cam().ClearRecorded();
        NewClock();
    }

    void TearDown() override {
        StopOnOpenClock();
        SetTimeSourceForTest(nullptr);
        CAutoTest::TearDown();
    }

    // Stops the thread; sleeps pass at once, so that it sees its stop.
    void StopOnOpenClock() {
        if (m_pClock) m_pClock->Open();
        if (m_pCam) m_pCam->StopAutoControlThr();
    }

    // A closed clock at time 0 for the next run of the thread.
    void NewClock() {
        SetTimeSourceForTest(nullptr);
        m_pClock = std::make_unique<CGateClock>();
        SetTimeSourceForTest(m_pClock->Source());
    }

    CGateClock& Clock() { return *m_pClock; }

    // Time at which the thread has run n cycles.
    static uint64_t AfterCycles(int n) { return kStartUs + static_cast<uint64_t>(n - 1) * kCycleUs; }

    std::unique_ptr<CGateClock> m_pClock;
};

TEST_F(CAutoThreadTest, ExposureEveryCycleWhiteBalanceEveryFourth) {
    ASSERT_TRUE(Cam().StartAutoControlThr());
    ASSERT_TRUE(Clock().RunTo(kStartUs - 1));
    EXPECT_TRUE(Cam().Recorded().empty()) << "stepped before the settle time";
    for (int n = 1; n <= 9; ++n) {
        ASSERT_TRUE(Clock().RunTo(AfterCycles(n)));
        EXPECT_EQ(Cam().Count(Rec::REC_EXP), n) << "cycle " << n;
        EXPECT_EQ(Cam().Count(Rec::REC_WB), n / 4) << "cycle " << n;
    }
}

TEST_F(CAutoThreadTest, MonoCameraGetsNoWhiteBalance) {
    Cam().m_bColor = false;
    ASSERT_TRUE(Cam().StartAutoControlThr());
    ASSERT_TRUE(Clock().RunTo(AfterCycles(8)));
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 8);
    EXPECT_EQ(Cam().Count(Rec::REC_WB), 0);
}

TEST_F(CAutoThreadTest, NothingWithoutAutoModes) {
    Cam().SetExp(1000, false);
    Cam().m_bAutoWB = false;
    Cam().ClearRecorded();
    ASSERT_TRUE(Cam().StartAutoControlThr());
    ASSERT_TRUE(Clock().RunTo(AfterCycles(8)));
    EXPECT_TRUE(Cam().Recorded().empty());
}

TEST_F(CAutoThreadTest, NothingWhileExposureOrFrameTimeReachThePeriod) {
    struct {
        uint64_t expUs;
        uint32_t frameUs, xferUs;
        bool bSteps;
    } cases[] = {
        {kPeriodUs, 0, 0, false},   {kPeriodUs - 1, 0, 0, true},  {1000, 60000, 40000, false},
        {1000, 60000, 39999, true}, {kPeriodUs + 1, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "exposure " << c.expUs << " frame " << c.frameUs << " + " << c.xferUs);
        StopOnOpenClock();
        NewClock();
        Cam().SetExp(c.expUs, true);
        Cam().m_iFrameTimeUs = c.frameUs;
        Cam().m_iXferTimeUs = c.xferUs;
        Cam().ClearRecorded();
        ASSERT_TRUE(Cam().StartAutoControlThr());
        ASSERT_TRUE(Clock().RunTo(AfterCycles(1)));
        EXPECT_EQ(Cam().Count(Rec::REC_EXP), c.bSteps ? 1 : 0);
    }
}

TEST_F(CAutoThreadTest, StopsWithinACycle) {
    ASSERT_TRUE(Cam().StartAutoControlThr());
    // Stopped during the settle time and in the middle of a cycle.
    for (uint64_t at : {kStartUs / 2, AfterCycles(3) + kCycleUs / 2}) {
        SCOPED_TRACE(at);
        ASSERT_TRUE(Clock().RunTo(at));
        const int steps = Cam().Count(Rec::REC_EXP);
        const uint64_t before = Clock().NowUs();
        std::thread stopper([this] { Cam().StopAutoControlThr(); });
        // Once the thread is told to stop, time runs freely: it must end
        // after the sleep it is in, not run on.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Cam().m_thrAutoCtrl.m_bRunning.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Clock().Open();
        stopper.join();
        EXPECT_FALSE(Cam().m_thrAutoCtrl.IsAlive());
        EXPECT_LE(Clock().NowUs() - before, kCycleUs);
        EXPECT_EQ(Cam().Count(Rec::REC_EXP), steps);
        // Restart on a closed clock for the second round.
        NewClock();
        ASSERT_TRUE(Cam().StartAutoControlThr());
    }
}

// The scene: the mean pixel grows with exposure and gain (gain in tenths of a
// decibel, as the drivers count it), saturating at 255. Bright enough that the
// target needs less exposure than the thread's period, up to which it steps.
int SceneLevel(unsigned long long expUs, int gain) {
    const double level = 20.0 * (static_cast<double>(expUs) / 10000.0) * pow(10.0, gain / 200.0);
    return static_cast<int>(std::min(255.0, level));
}

TEST_F(CAutoThreadTest, ClosedLoopFromDarkSettlesInTheDeadBandAndStays) {
    struct {
        const char* szWhat;
        bool bAutoExp, bAutoGain;
        unsigned long long startExpUs;
    } modes[] = {{"exposure and gain", true, true, 100},
                 {"exposure only", true, false, 100},
                 {"gain only", false, true, 4000}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.szWhat);
        StopOnOpenClock();
        NewClock();
        ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_8BIT));
        Cam().SetAutoPara(300, 30000, 100);  // dead band 85..115
        Cam().m_bAutoWB = false;
        Cam().SetLineUs(10);
        Cam().SetFixedExpLines(-1);
        Cam().SetExp(mode.startExpUs, mode.bAutoExp);
        Cam().SetGain(0, mode.bAutoGain);
        ASSERT_NO_FATAL_FAILURE(Feed(Uniform8(kW, kH, SceneLevel(mode.startExpUs, 0))));
        ASSERT_TRUE(Cam().StartAutoControlThr());
        int settledAt = -1;
        for (int n = 1; n <= 80; ++n) {
            // After each cycle the camera sees the scene at its new settings.
            ASSERT_TRUE(Clock().RunTo(AfterCycles(n)));
            const int level = SceneLevel(Cam().m_lExpTimeUs, Cam().m_iGain);
            const int mean = level + 1;
            const bool bInBand = mean >= 85 && mean <= 115;
            if (bInBand && settledAt < 0) settledAt = n;
            if (settledAt >= 0) {
                EXPECT_TRUE(bInBand) << "left the band after cycle " << n << ", mean " << mean;
            }
            ASSERT_NO_FATAL_FAILURE(Feed(Uniform8(kW, kH, static_cast<unsigned char>(level))));
        }
        EXPECT_GE(settledAt, 2);
        EXPECT_LE(settledAt, 60);
        EXPECT_LE(Cam().m_iGain.load(), 300);
        EXPECT_LE(Cam().m_lExpTimeUs.load(), 30000000u);
    }
}

// ---- A caller's setters beside the auto steps ---------------------------------------

// Sleeps pass 100 times faster than they say, so the auto thread steps every
// millisecond or so.
class CFastClock {
  public:
    const KyrTimeSource* Source() const { return &m_source; }

  private:
    static uint32_t NowMs(void*) {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    static void Sleep(void*, uint32_t us) {
        std::this_thread::sleep_for(std::chrono::microseconds(us / 100));
    }
    KyrTimeSource m_source{NowMs, Sleep, nullptr};
};

class CAutoBesideCallerTest : public controls_test::CControlsApiTest {
  protected:
    // 8-bit frames, auto exposure and gain on, a dark frame ready to feed.
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(CControlsApiTest::SetUp());
        ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_8BIT));
        Cam().SetAutoPara(300, 30000, 100);
        Cam().SetExp(1000, true);
        Cam().SetGain(100, true);
        Cam().SetSetterDelayUs(50);
        m_dark.assign(static_cast<size_t>(Cam().m_pCirBuf->SlotBytes()), 20);
        Cam().ClearRecorded();
    }

    void TearDown() override {
        SetTimeSourceForTest(nullptr);
        CControlsApiTest::TearDown();
    }

    // Every auto step on this frame sets gain, exposure and gain again.
    void FeedDark() {
        ASSERT_EQ(
            Cam().m_pCirBuf->InsertBuff(m_dark.data(), static_cast<int>(m_dark.size()), 0, 0, 0, 0, 0, 0),
            INSERT_ACCEPTED);
        ASSERT_TRUE(Cam().m_pCirBuf->WaitInsertIdle(kWaitMs));
    }

    // The caller's exposures are whole hundreds; the auto steps' are not.
    int AutoExposureSteps() {
        int n = 0;
        for (const Rec::SCall& call : Cam().Recorded(Rec::REC_EXP))
            if (call.a % 100 != 0) ++n;
        return n;
    }

    // The caller's side: gain and exposure requests, short enough exposures
    // to keep the auto thread stepping.
    static void CallerRound(int i) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 500 + (i % 7) * 100, KYR_TRUE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 50 + (i % 11), KYR_TRUE), KYR_SUCCESS);
    }

    CFastClock m_clock;
    Frame m_dark;
};

TEST_F(CAutoBesideCallerTest, CallerSettersNeverRunInsideAnAutoStep) {
    Cam().m_iAutoCtrlPeriodUs = kPeriodUs;
    ASSERT_NO_FATAL_FAILURE(FeedDark());
    SetTimeSourceForTest(m_clock.Source());
    ASSERT_TRUE(Cam().StartAutoControlThr());
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    int i = 0;
    while (std::chrono::steady_clock::now() < end) ASSERT_NO_FATAL_FAILURE(CallerRound(i++));
    Cam().StopAutoControlThr();
    EXPECT_FALSE(Cam().Overlapped());
    // Both sides really ran.
    EXPECT_GT(i, 10);
    EXPECT_GT(AutoExposureSteps(), 10);
}

TEST_F(CAutoBesideCallerTest, VideoStopEndsTheAutoThreadWhileItSteps) {
    SetTimeSourceForTest(m_clock.Source());
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        // The capture body starts the auto thread after the run's ring reset:
        // a frame fed from then on is the one it samples.
        ASSERT_TRUE(WaitFor([this] { return Cam().m_thrAutoCtrl.IsAlive(); }));
        ASSERT_NO_FATAL_FAILURE(FeedDark());
        const int before = AutoExposureSteps();
        std::atomic<bool> bCalling{true};
        std::thread caller([&bCalling] {
            for (int i = 0; bCalling.load(); ++i) CallerRound(i);
        });
        ASSERT_TRUE(WaitFor([&] { return AutoExposureSteps() >= before + 5; }));
        // Stopped while the auto thread and a caller both work under the
        // control lock.
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                .count();
        bCalling = false;
        caller.join();
        EXPECT_LT(ms, kWaitMs);
        EXPECT_FALSE(Cam().m_thrAutoCtrl.IsAlive());
        EXPECT_FALSE(Cam().m_thrWork.IsAlive());
    }
    EXPECT_FALSE(Cam().Overlapped());
}

}  // namespace
}  // namespace auto_test

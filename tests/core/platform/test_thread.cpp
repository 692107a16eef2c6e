// test-labels: tsan
// ThreadCtrl lifecycle, critical sections and the tick count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/Platform.h"
#include "platform/ThreadCtrl.h"

namespace {

std::atomic<int> g_iBodyRuns{0};

void SelfEndingBody(std::atomic<bool>*, void* pArg) {
    g_iBodyRuns.fetch_add(1);
    if (pArg) static_cast<std::atomic<int>*>(pArg)->fetch_add(1);
}

void LoopingBody(std::atomic<bool>* pbRunning, void* pArg) {
    auto* pLoops = static_cast<std::atomic<int>*>(pArg);
    while (pbRunning->load()) {
        if (pLoops) pLoops->fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct SelfStopArg {
    ThreadCtrl* pThread;
    std::atomic<bool> bStopped{false};
};

void StopsItselfBody(std::atomic<bool>* pbRunning, void* pArg) {
    auto* arg = static_cast<SelfStopArg*>(pArg);
    arg->pThread->Stop();  // must not join itself
    arg->bStopped.store(!pbRunning->load());
}

bool WaitUntil(const std::function<bool()>& cond, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

class ThreadCtrlTest : public ::testing::Test {
protected:
    void SetUp() override { g_bDebugPrint = true; }
    void TearDown() override { g_bDebugPrint = false; }
};

TEST_F(ThreadCtrlTest, StartTwiceIsRefusedWithMessage) {
    std::atomic<int> loops{0};
    ThreadCtrl thr(LoopingBody);
    ASSERT_TRUE(thr.Start(&loops));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(thr.Start(&loops));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Start]: thread is already running\n"), std::string::npos) << err;
    thr.Stop();
    EXPECT_FALSE(thr.IsAlive());
}

TEST_F(ThreadCtrlTest, StartWithoutBodyIsRefused) {
    ThreadCtrl thr;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(thr.Start(nullptr));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("pointer is not assigned\n"), std::string::npos) << err;
    EXPECT_FALSE(thr.IsAlive());
}

TEST_F(ThreadCtrlTest, StopOfNeverStartedThreadLogsNothing) {
    ThreadCtrl thr(LoopingBody);
    testing::internal::CaptureStderr();
    thr.Stop();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ThreadCtrlTest, InitFuncPtWhileRunningKeepsBody) {
    std::atomic<int> loops{0};
    ThreadCtrl thr(LoopingBody);
    ASSERT_TRUE(thr.Start(&loops));
    EXPECT_FALSE(thr.InitFuncPt(SelfEndingBody));
    ASSERT_TRUE(WaitUntil([&] { return loops.load() > 0; }));
    thr.Stop();
    // The looping body was kept: it ran until stopped.
    EXPECT_GT(loops.load(), 0);
    EXPECT_TRUE(thr.InitFuncPt(SelfEndingBody));
}

TEST_F(ThreadCtrlTest, SelfEndingBodyThenStopReturnsAndStartWorksAgain) {
    std::atomic<int> runs{0};
    ThreadCtrl thr(SelfEndingBody);
    ASSERT_TRUE(thr.Start(&runs));
    ASSERT_TRUE(WaitUntil([&] { return !thr.IsAlive(); }));
    testing::internal::CaptureStderr();
    thr.Stop();  // nothing alive: returns at once, joins the finished thread quietly
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(thr.Start(&runs));
    ASSERT_TRUE(WaitUntil([&] { return !thr.IsAlive(); }));
    EXPECT_EQ(runs.load(), 2);
}

TEST_F(ThreadCtrlTest, LoopingBodyIsJoinedByStop) {
    std::atomic<int> loops{0};
    ThreadCtrl thr(LoopingBody);
    ASSERT_TRUE(thr.Start(&loops));
    ASSERT_TRUE(WaitUntil([&] { return loops.load() > 2; }));
    testing::internal::CaptureStderr();
    thr.Stop();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(thr.m_bRunning.load());
    EXPECT_FALSE(thr.m_bInThread.load());
    int after = loops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(loops.load(), after) << "body still running after Stop";
    EXPECT_NE(err.find("WaitForSingleObject >\n"), std::string::npos);
    EXPECT_NE(err.find("WaitForSingleObject <\n"), std::string::npos);
}

TEST_F(ThreadCtrlTest, StopFromInsideTheBodyClearsFlagWithoutJoiningItself) {
    ThreadCtrl thr(StopsItselfBody);
    SelfStopArg arg;
    arg.pThread = &thr;
    ASSERT_TRUE(thr.Start(&arg));
    ASSERT_TRUE(WaitUntil([&] { return !thr.IsAlive(); }));
    EXPECT_TRUE(arg.bStopped.load());
    // A later Start reaps the finished thread and runs again.
    ASSERT_TRUE(thr.Start(&arg));
    ASSERT_TRUE(WaitUntil([&] { return !thr.IsAlive(); }));
}

TEST_F(ThreadCtrlTest, DestructionWhileRunningStopsAndJoins) {
    std::atomic<int> loops{0};
    {
        ThreadCtrl thr(LoopingBody);
        ASSERT_TRUE(thr.Start(&loops));
        ASSERT_TRUE(WaitUntil([&] { return loops.load() > 0; }));
    }
    int after = loops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(loops.load(), after) << "thread outlived its ThreadCtrl";
}

TEST(ThreadCtrlStress, RestartRoundsWithAndWithoutStopThenDestroy) {
    for (int round = 0; round < 200; ++round) {
        auto thr = std::make_unique<ThreadCtrl>(SelfEndingBody);
        std::atomic<int> runs{0};
        for (int i = 0; i < 5; ++i) {
            // Start again as soon as the last body has ended, racing its exit.
            while (!thr->Start(&runs)) std::this_thread::yield();
            if ((round + i) % 2 == 0) thr->Stop();
        }
        // Destroy right after the last body ends.
        while (thr->IsAlive()) std::this_thread::yield();
        thr.reset();
        EXPECT_EQ(runs.load(), 5);
    }
}

TEST(ThreadCtrlStress, StopRacingTheBodysOwnEnd) {
    for (int round = 0; round < 300; ++round) {
        ThreadCtrl thr(SelfEndingBody);
        ASSERT_TRUE(thr.Start(nullptr));
        thr.Stop();
        EXPECT_FALSE(thr.IsAlive());
    }
}

TEST(ThreadCtrlStress, RunningFlagClearedBeforeTheThreadStartsThenStopOrStart) {
    // Owners clear the running flag themselves to ask several threads to end
    // before joining them; the thread may not have started yet.
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> loops{0};
        ThreadCtrl thr(LoopingBody);
        ASSERT_TRUE(thr.Start(&loops));
        thr.m_bRunning = false;
        if (round % 2) {
            thr.Stop();
        } else {
            while (!thr.Start(&loops)) std::this_thread::yield();
            thr.Stop();
        }
        EXPECT_FALSE(thr.IsAlive());
    }
}

TEST(CriticalSection, RecursiveLockFromOneThreadDoesNotBlock) {
    S_MUTEX_UNIX cs;
    ASSERT_EQ(InitializeCriticalSection(&cs), 0);
    ASSERT_EQ(pthread_mutex_lock(&cs.mutex), 0);
    ASSERT_EQ(pthread_mutex_lock(&cs.mutex), 0);
    // Another thread cannot take it while held.
    std::atomic<int> other{-1};
    std::thread t([&] { other = pthread_mutex_trylock(&cs.mutex); });
    t.join();
    EXPECT_NE(other.load(), 0);
    pthread_mutex_unlock(&cs.mutex);
    pthread_mutex_unlock(&cs.mutex);
    EXPECT_EQ(DeleteCriticalSection(&cs), 0);
}

// A body that takes a while to wind down after its flag clears: every Stop
// that returns, however many run at once, has seen it end.
TEST(ThreadCtrlStop, ConcurrentStopsAllReturnAfterTheBodyEnded) {
    struct SBody {
        std::atomic<bool> bEnded{false};
        static void Run(std::atomic<bool>* pbRunning, void* pArg) {
            auto* self = static_cast<SBody*>(pArg);
            while (pbRunning->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            self->bEnded = true;
        }
    };
    constexpr int kRounds = 10;
    constexpr int kStoppers = 4;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        SBody body;
        ThreadCtrl thread(SBody::Run);
        ASSERT_TRUE(thread.Start(&body));
        std::atomic<int> endedSeen{0};
        std::vector<std::thread> stoppers;
        for (int i = 0; i < kStoppers; ++i)
            stoppers.emplace_back([&] {
                thread.Stop();
                if (body.bEnded.load()) ++endedSeen;
            });
        for (auto& t : stoppers) t.join();
        EXPECT_EQ(endedSeen.load(), kStoppers);
        EXPECT_FALSE(thread.IsAlive());
    }
}

// A lock released for a wait is taken back as often as it was held, and
// another thread can take it meanwhile; with no hold nothing happens.
TEST(CritSecRelease, GivesUpEveryHoldAndTakesThemBack) {
    S_MUTEX_UNIX cs;
    ASSERT_EQ(InitializeCriticalSection(&cs), 0);
    {
        CCritSecRelease none(cs);
        EXPECT_EQ(CritSecDepth(cs), 0);
    }
    {
        CCritSecLock outer(cs);
        CCritSecLock inner(cs);
        EXPECT_EQ(CritSecDepth(cs), 2);
        {
            CCritSecRelease release(cs);
            EXPECT_EQ(CritSecDepth(cs), 0);
            bool bTaken = false;
            std::thread([&] {
                bTaken = pthread_mutex_trylock(&cs.mutex) == 0;
                if (bTaken) pthread_mutex_unlock(&cs.mutex);
            }).join();
            EXPECT_TRUE(bTaken);
        }
        EXPECT_EQ(CritSecDepth(cs), 2);
    }
    EXPECT_EQ(CritSecDepth(cs), 0);
    EXPECT_EQ(DeleteCriticalSection(&cs), 0);
}

TEST(TickCount, IsMonotonicMilliseconds) {
    uint32_t a = GetTickCount();
    Sleep(20);
    uint32_t b = GetTickCount();
    EXPECT_GE(static_cast<uint32_t>(b - a), 19u);
    EXPECT_LT(static_cast<uint32_t>(b - a), 5000u);
}

TEST(TickCount, TestTimeSourceReplacesClockAndSleeps) {
    struct Clock {
        uint32_t now = 4294967000u;  // just below the wrap
    } clock;
    KyrTimeSource src{[](void* c) { return static_cast<Clock*>(c)->now; },
                      [](void* c, uint32_t us) { static_cast<Clock*>(c)->now += us / 1000; }, &clock};
    SetTimeSourceForTest(&src);
    uint32_t a = GetTickCount();
    Sleep(3600000);  // an hour passes at once
    uint32_t b = GetTickCount();
    SetTimeSourceForTest(nullptr);
    EXPECT_EQ(static_cast<uint32_t>(b - a), 3600000u);
}

TEST(TickCount, TestTimeSourceTakesSleepsBeyondSeventyOneMinutesWhole) {
    struct Clock {
        uint64_t us = 0;
    } clock;
    KyrTimeSource src{[](void* c) { return static_cast<uint32_t>(static_cast<Clock*>(c)->us / 1000); },
                      [](void* c, uint32_t us) { static_cast<Clock*>(c)->us += us; }, &clock};
    SetTimeSourceForTest(&src);
    Sleep(5000000);  // 5,000,000 ms: 5e9 us does not fit 32 bits
    SetTimeSourceForTest(nullptr);
    EXPECT_EQ(clock.us, 5000000000ull);
}

}  // namespace

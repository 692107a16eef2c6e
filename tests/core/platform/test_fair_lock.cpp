// test-labels: tsan
// The fair critical section (the control lock): threads get their first hold
// in the order they asked for it, so a thread that releases it and takes it
// again at once cannot keep a waiting thread out; holds taken again by their
// holder take no turn; a release of every hold gives the turn away and takes
// a new one back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Platform.h"

namespace {

class FairLockTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(InitializeFairCriticalSection(&m_cs), 0); }
    void TearDown() override { DeleteCriticalSection(&m_cs); }

    // Turns handed out so far.
    unsigned Tickets() {
        pthread_mutex_lock(&m_cs.gate);
        const unsigned n = m_cs.uNextTicket;
        pthread_mutex_unlock(&m_cs.gate);
        return n;
    }
    // Waits until a thread has asked for its turn (it waits for the lock now).
    void WaitForTickets(unsigned n) {
        while (Tickets() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Records a step; called with the lock held.
    void Step(int n) { m_Order.push_back(n); }

    S_MUTEX_UNIX m_cs;
    std::vector<int> m_Order;
};

TEST_F(FairLockTest, AWaitingThreadGetsTheLockBeforeItsHolderTakesItAgain) {
    std::thread waiter;
    {
        CCritSecLock hold(m_cs);
        waiter = std::thread([this] {
            CCritSecLock lock(m_cs);
            Step(2);
        });
        WaitForTickets(2);
        Step(1);
    }
    // Released and at once asked for again, as a caller setting controls in a loop does.
    {
        CCritSecLock again(m_cs);
        Step(3);
    }
    waiter.join();
    EXPECT_EQ(m_Order, (std::vector<int>{1, 2, 3}));
}

TEST_F(FairLockTest, HoldsTakenAgainTakeNoTurnAndAReleaseOfAllHoldsGivesTheTurnAway) {
    std::thread waiter;
    {
        CCritSecLock outer(m_cs);
        CCritSecLock inner(m_cs);  // no turn of its own: it would wait for itself
        EXPECT_EQ(CritSecDepth(m_cs), 2);
        waiter = std::thread([this] {
            CCritSecLock lock(m_cs);
            Step(2);
        });
        WaitForTickets(2);
        Step(1);
        {
            // The waiter runs while both holds are given up.
            CCritSecRelease release(m_cs);
            EXPECT_EQ(CritSecDepth(m_cs), 0);
            waiter.join();
        }
        EXPECT_EQ(CritSecDepth(m_cs), 2);
        Step(3);
    }
    EXPECT_EQ(m_Order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(CritSecDepth(m_cs), 0);
}

}  // namespace

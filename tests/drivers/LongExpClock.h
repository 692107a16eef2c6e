// The test clock of long-exposure tests: the library's sleeps advance it at
// once (each also waits 20 us of real time, so that looping threads do not
// spin), and it notes the virtual time at which each request of the log
// arrived, so a test can measure the pauses between a capture thread's
// writes.
#ifndef KYR_TEST_LONG_EXP_CLOCK_H
#define KYR_TEST_LONG_EXP_CLOCK_H

#include <stdint.h>

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "VirtualClock.h"
#include "kyrsim.h"

class CLongExpClock {
    // Declared before the clock: the clock (and its callback) goes first.
    std::mutex m_mu;
    std::vector<std::pair<int, uint64_t>> m_sleeps;  // log count and virtual time after each sleep

  public:
    CLongExpClock() {
        clock.OnSleep([this](uint64_t totalUs) {
            std::lock_guard<std::mutex> lk(m_mu);
            m_sleeps.emplace_back(kyrsim_log_count(), totalUs);
        });
    }
    // Virtual time when log entry i arrived: that of the last sleep before it.
    uint64_t TimeOf(int i) {
        std::lock_guard<std::mutex> lk(m_mu);
        uint64_t t = 0;
        for (const auto& s : m_sleeps)
            if (s.first <= i) t = s.second;
        return t;
    }

    CVirtualClock clock{std::chrono::microseconds(20)};
};

#endif

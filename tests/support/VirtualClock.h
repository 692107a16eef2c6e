// A test clock for the library's ticks and sleeps: every sleep advances it at
// once (and the simulator's cooler model with it), so minutes of cooling pass
// in moments. It starts a few minutes before the 32-bit tick count wraps.
#ifndef KYR_TEST_VIRTUAL_CLOCK_H
#define KYR_TEST_VIRTUAL_CLOCK_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "kyrsim.hpp"
#include "platform/Platform.h"

class CVirtualClock {
  public:
    // Ticks at the start: five minutes before the wrap.
    static constexpr uint32_t kStartMs = 0xFFFFFFFFu - 5u * 60u * 1000u;

    // Installs itself as the library's time source until destroyed. Each sleep
    // also waits realPerSleep of real time (zero: none), so that a thread
    // sleeping in a loop does not spin.
    explicit CVirtualClock(std::chrono::microseconds realPerSleep = std::chrono::microseconds(0),
                           uint32_t startMs = kStartMs)
        : m_startMs(startMs), m_realPerSleep(realPerSleep) {
        m_source = KyrTimeSource{&CVirtualClock::NowMs, &CVirtualClock::SleepFor, this};
        SetTimeSourceForTest(&m_source);
    }
    ~CVirtualClock() { SetTimeSourceForTest(nullptr); }
    CVirtualClock(const CVirtualClock&) = delete;
    CVirtualClock& operator=(const CVirtualClock&) = delete;

    // Called after every sleep with the virtual microseconds since the start;
    // set it before any thread sleeps.
    void OnSleep(std::function<void(uint64_t)> fn) { m_onSleep = std::move(fn); }

    uint32_t Now() const { return static_cast<uint32_t>(m_startMs + m_us.load() / 1000u); }
    uint64_t ElapsedUs() const { return m_us.load(); }
    // Moves the clock and the cooler model on without a sleep of the library.
    void Advance(uint64_t us) {
        const uint64_t total = m_us.fetch_add(us) + us;
        kyrsim::advanceModelTime(static_cast<long long>(us));
        if (m_onSleep) m_onSleep(total);
    }
    // Waits in real time (up to timeoutMs) until the clock has reached
    // elapsedUs since its start.
    bool WaitElapsed(uint64_t elapsedUs, int timeoutMs) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_us.load() < elapsedUs) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

  private:
    static uint32_t NowMs(void* self) { return static_cast<CVirtualClock*>(self)->Now(); }
    static void SleepFor(void* self, uint32_t us) {
        auto* clock = static_cast<CVirtualClock*>(self);
        clock->Advance(us);
        if (clock->m_realPerSleep.count() > 0) std::this_thread::sleep_for(clock->m_realPerSleep);
    }

    const uint32_t m_startMs;
    const std::chrono::microseconds m_realPerSleep;
    std::atomic<uint64_t> m_us{0};
    std::function<void(uint64_t)> m_onSleep;
    KyrTimeSource m_source{};
};

#endif

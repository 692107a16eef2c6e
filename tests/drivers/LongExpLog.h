// The long-exposure steps of a capture thread as the request log shows
// them, each at the virtual time of the test clock's last sleep before it.
#ifndef KYR_TEST_LONG_EXP_LOG_H
#define KYR_TEST_LONG_EXP_LOG_H

#include <stdint.h>

#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

#include "VirtualClock.h"
#include "kyrsim.hpp"

// One FPGA register or sensor 0x3598 write of the capture thread.
struct SStep {
    char kind;  // 'F' FPGA, 'S' sensor
    int reg, value;
    uint64_t atUs;
};

class CLongExpLog {
  public:
    // Marks the log with every sleep of clock; before any thread sleeps.
    explicit CLongExpLog(CVirtualClock& clock) {
        clock.OnSleep([this](uint64_t totalUs) {
            std::lock_guard<std::mutex> lk(m_mu);
            m_sleeps.emplace_back(kyrsim_log_count(), totalUs);
        });
    }

    // Virtual time when log entry i arrived.
    uint64_t TimeOf(int i) {
        std::lock_guard<std::mutex> lk(m_mu);
        uint64_t t = 0;
        for (const auto& s : m_sleeps)
            if (s.first <= i) t = s.second;
        return t;
    }

    // The writes to the FPGA registers fpgaRegs and to sensor 0x3598 that
    // threads other than the caller's sent camera handle from log entry from on.
    std::vector<SStep> Steps(int handle, int from, std::initializer_list<int> fpgaRegs) {
        std::vector<SStep> out;
        for (int i = from; i < kyrsim_log_count(); ++i) {
            kyrsim_request r;
            if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.result < 0) continue;
            if (r.thread == kyrsim_thread_id()) continue;
            bool fpga = false;
            for (int reg : fpgaRegs) fpga = fpga || (r.request == 0xBD && r.value == reg);
            const bool sensor = r.request == 0xB6 && r.value == 0x3598;
            if (fpga || sensor) out.push_back({fpga ? 'F' : 'S', r.value, r.index, TimeOf(i)});
        }
        return out;
    }

  private:
    std::mutex m_mu;
    std::vector<std::pair<int, uint64_t>> m_sleeps;
};

#endif

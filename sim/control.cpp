// Control transfers on endpoint 0: the request log, fault rules (error, short
// reply, delay, hold), per-request latency and the detection of two transfers
// inside one camera at once.
#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "internal.hpp"

namespace kyrsim_impl {

unsigned long long threadId() {
    return static_cast<unsigned long long>(std::hash<std::thread::id>()(std::this_thread::get_id()));
}

namespace {

bool ruleMatches(const kyrsim_fault& f, const SimDevice& d, int requestType, int request, int value,
                 int index) {
    const int dir = (requestType & 0x80) ? KYRSIM_DIR_IN : KYRSIM_DIR_OUT;
    return (f.device == KYRSIM_ANY || f.device == d.handle) &&
           (f.request == KYRSIM_ANY || f.request == request) &&
           (f.direction == KYRSIM_ANY || f.direction == dir) && (f.value == KYRSIM_ANY || f.value == value) &&
           (f.index == KYRSIM_ANY || f.index == index);
}

// The rule that acts on this request, if any. Every rule tried counts the
// match; the first one whose turn has come acts.
const FaultRule* actingRule(State& s, const SimDevice& d, int requestType, int request, int value,
                            int index) {
    for (FaultRule& r : s.rules) {
        if (!r.active || !ruleMatches(r.rule, d, requestType, request, value, index)) continue;
        ++r.matches;
        if (r.matches >= r.rule.nth && (r.rule.times == 0 || r.hits < r.rule.times)) {
            ++r.hits;
            return &r;
        }
    }
    return nullptr;
}

int latencyFor(const SimDevice& d, int request) {
    auto it = d.latencyUs.find(request);
    if (it != d.latencyUs.end()) return it->second;
    it = d.latencyUs.find(KYRSIM_ANY);
    return it != d.latencyUs.end() ? it->second : 0;
}

Clock::time_point timeAt(long long us) { return state().epoch + std::chrono::microseconds(us); }

// Sleeps until `untilUs` with the lock released; returns early when the
// handle's camera goes away.
void waitInside(std::unique_lock<std::mutex>& lk, libusb_device_handle* h, long long untilUs) {
    auto& s = state();
    s.cv.wait_until(lk, timeAt(untilUs),
                    [&] { return !s.handles.count(h) || !handleUsable(h) || nowUs() >= untilUs; });
}

kyrsim_request* logEntry(State& s, long long seq) {
    auto it = std::lower_bound(s.log.begin(), s.log.end(), seq,
                               [](const kyrsim_request& r, long long v) { return r.seq < v; });
    return it != s.log.end() && it->seq == seq ? &*it : nullptr;
}

}  // namespace

int controlTransfer(std::unique_lock<std::mutex>& lk, libusb_device_handle* h, uint8_t request_type,
                    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                    unsigned int timeout) {
    auto& s = state();
    if (!handleUsable(h)) return LIBUSB_ERROR_NO_DEVICE;
    SimDevice& d = *h->sim;
    const bool in = (request_type & 0x80) != 0;

    kyrsim_request entry{};
    entry.seq = s.nextSeq++;
    entry.thread = threadId();
    entry.device = d.handle;
    entry.request_type = request_type;
    entry.request = bRequest;
    entry.value = wValue;
    entry.index = wIndex;
    entry.length = wLength;
    entry.timeout = timeout;
    entry.result = KYRSIM_RESULT_PENDING;
    entry.start_us = logNowUs();
    if (!in) {
        entry.data_len = std::min<int>(wLength, sizeof(entry.data));
        if (entry.data_len > 0) std::memcpy(entry.data, data, static_cast<size_t>(entry.data_len));
    }
    if (d.inside > 0) {
        ++s.overlaps;
        entry.overlapped = 1;
    }
    ++d.inside;
    const long long seq = entry.seq;
    s.log.push_back(entry);

    int result = 0;
    bool decided = false;
    int action = 0;
    int arg = 0;
    if (!requestAccepted(request_type, bRequest, wValue, wIndex, wLength)) {
        // The camera stalls endpoint 0 on a request it does not know.
        ++s.unexpected;
        if (auto* e = logEntry(s, seq)) e->unexpected = 1;
        result = LIBUSB_ERROR_PIPE;
        decided = true;
    } else if (const FaultRule* rule = actingRule(s, d, request_type, bRequest, wValue, wIndex)) {
        action = rule->rule.action;
        arg = rule->rule.arg;
        if (auto* e = logEntry(s, seq)) e->faulted = 1;
    }

    if (!decided) {
        if (int latency = latencyFor(d, bRequest)) waitInside(lk, h, nowUs() + latency);
        switch (action) {
            case KYRSIM_FAULT_ERROR:
                result = arg;
                decided = true;
                break;
            case KYRSIM_FAULT_DELAY: {
                const bool timesOut = timeout > 0 && static_cast<unsigned>(arg) >= timeout;
                const long long waitMs = timesOut ? timeout : arg;
                waitInside(lk, h, nowUs() + waitMs * 1000);
                if (timesOut) {
                    result = LIBUSB_ERROR_TIMEOUT;
                    decided = true;
                }
                break;
            }
            case KYRSIM_FAULT_IGNORE:
                if (!in) {
                    result = wLength;
                    decided = true;
                }
                break;
            case KYRSIM_FAULT_HOLD: {
                ++s.held;
                const long long epoch = s.releaseEpoch;
                s.cv.notify_all();
                s.cv.wait(lk,
                          [&] { return s.releaseEpoch != epoch || !s.handles.count(h) || !handleUsable(h); });
                --s.held;
                if (arg < 0) {
                    result = arg;
                    decided = true;
                }
                break;
            }
            default:
                break;
        }
    }

    std::vector<unsigned char> reply;
    if (!decided) {
        if (!s.handles.count(h) || !handleUsable(h)) {
            result = LIBUSB_ERROR_NO_DEVICE;  // unplugged while inside
        } else {
            std::vector<unsigned char> buf(wLength);
            if (!in && wLength > 0) std::memcpy(buf.data(), data, wLength);
            d.execSeq = seq;
            result = executeRequest(d, request_type, bRequest, wValue, wIndex, buf.data(), wLength);
            if (result >= 0) {
                if (in) {
                    if (action == KYRSIM_FAULT_SHORT) result = std::min(result, std::max(arg, 0));
                    if (action == KYRSIM_FAULT_FLIP_BIT && arg / 8 < result)
                        buf[static_cast<size_t>(arg / 8)] ^= static_cast<unsigned char>(1u << (arg % 8));
                    if (result > 0) std::memcpy(data, buf.data(), static_cast<size_t>(result));
                    reply.assign(buf.begin(), buf.begin() + result);
                } else {
                    result =
                        action == KYRSIM_FAULT_SHORT ? std::min<int>(wLength, std::max(arg, 0)) : wLength;
                }
            }
            updateGate(d);
        }
    }

    --d.inside;
    if (auto* e = logEntry(s, seq)) {
        e->result = result;
        e->end_us = logNowUs();
        if (in) {
            e->data_len = std::min<int>(static_cast<int>(reply.size()), sizeof(e->data));
            if (e->data_len > 0) std::memcpy(e->data, reply.data(), static_cast<size_t>(e->data_len));
        }
    }
    s.cv.notify_all();
    return result;
}

}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

// ---------------------------------------------------------------------------
// Control API: log
// ---------------------------------------------------------------------------

int kyrsim_log_count(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return static_cast<int>(state().log.size());
}

int kyrsim_log_get(int i, kyrsim_request* out) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!out || i < 0 || static_cast<size_t>(i) >= s.log.size()) return -1;
    *out = s.log[static_cast<size_t>(i)];
    return 0;
}

int kyrsim_log_count_matching(int handle, int request, int direction) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = 0;
    for (const auto& r : s.log) {
        const int dir = (r.request_type & 0x80) ? KYRSIM_DIR_IN : KYRSIM_DIR_OUT;
        if ((handle == KYRSIM_ANY || r.device == handle) && (request == KYRSIM_ANY || r.request == request) &&
            (direction == KYRSIM_ANY || dir == direction))
            ++n;
    }
    return n;
}

void kyrsim_log_clear(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    state().log.clear();
}

unsigned long long kyrsim_thread_id(void) { return threadId(); }

int kyrsim_unexpected_count(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().unexpected;
}

int kyrsim_overlap_count(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().overlaps;
}

int kyrsim_set_latency(int handle, int request, int microseconds) {
    if (microseconds < 0 || request < KYRSIM_ANY || request > 0xFF) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    if (microseconds == 0)
        d->latencyUs.erase(request);
    else
        d->latencyUs[request] = microseconds;
    return 0;
}

// ---------------------------------------------------------------------------
// Control API: faults and holds
// ---------------------------------------------------------------------------

void kyrsim_fault_init(kyrsim_fault* f, int action, int arg) {
    if (!f) return;
    f->device = KYRSIM_ANY;
    f->request = KYRSIM_ANY;
    f->direction = KYRSIM_ANY;
    f->value = KYRSIM_ANY;
    f->index = KYRSIM_ANY;
    f->nth = 1;
    f->times = 1;
    f->action = action;
    f->arg = arg;
}

int kyrsim_add_fault(const kyrsim_fault* f) {
    if (!f || f->nth < 1 || f->times < 0 || f->action < KYRSIM_FAULT_ERROR || f->action > KYRSIM_FAULT_IGNORE)
        return -1;
    if (f->action == KYRSIM_FAULT_FLIP_BIT && f->arg < 0) return -1;
    if (f->action == KYRSIM_FAULT_ERROR && f->arg >= 0) return -1;
    if ((f->action == KYRSIM_FAULT_SHORT || f->action == KYRSIM_FAULT_DELAY) && f->arg < 0) return -1;
    if (f->action == KYRSIM_FAULT_HOLD && f->arg > 0) return -1;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    FaultRule r;
    r.id = s.nextRuleId++;
    r.rule = *f;
    s.rules.push_back(r);
    return r.id;
}

int kyrsim_fault_hits(int rule) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    for (const auto& r : s.rules)
        if (r.id == rule) return r.hits;
    return -1;
}

int kyrsim_remove_fault(int rule) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    for (auto& r : s.rules)
        if (r.id == rule && r.active) {
            r.active = false;
            return 0;
        }
    return -1;
}

void kyrsim_clear_faults(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    for (auto& r : s.rules) r.active = false;
}

void kyrsim_release_holds(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    ++s.releaseEpoch;
    s.cv.notify_all();
}

int kyrsim_held_count(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().held;
}

int kyrsim_wait_held(int n, int timeout_ms) {
    auto& s = state();
    std::unique_lock<std::mutex> lk(s.mu);
    const bool ok = s.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                  [&] { return s.held >= n; });
    return ok ? s.held : -1;
}

}  // extern "C"

// The rows the stress tests run on: one class of each model of the class
// table (its first row), and what those tests share: the frame-number scene
// check and the hold and latch windows of the simulator's logs.
#ifndef KYR_TEST_STRESS_ROWS_H
#define KYR_TEST_STRESS_ROWS_H

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ConformanceFixture.h"

// The model of a row: the digits of its class name ("832" of "CCameraS832MC").
inline std::string ModelOf(const SClassRow& r) { return std::string(r.cls).substr(8, 3); }

// The first row of each model, by index.
inline std::vector<size_t> OneRowPerModel() {
    std::vector<size_t> out;
    std::vector<std::string> seen;
    for (size_t i = 0; i < ClassTable().size(); ++i) {
        const std::string model = ModelOf(ClassTable()[i]);
        bool known = false;
        for (const std::string& s : seen) known = known || s == model;
        if (known) continue;
        seen.push_back(model);
        out.push_back(i);
    }
    return out;
}

// With the frame-number scene, bytes 0..3 of every row of an unflipped 8-bit
// bin-1 image carry the number of the frame it came from: an image whose rows
// disagree was put together from two frames. -1 when whole, else the first
// row that disagrees.
inline int TornRow(const std::vector<unsigned char>& img, int w, int h) {
    for (int y = 1; y < h; ++y)
        if (memcmp(img.data(), img.data() + static_cast<size_t>(y) * w, 4) != 0) return y;
    return -1;
}

// Misuse of the sensor hold and the FPGA update latch seen in the logs of
// camera `handle`: a hold opened inside a hold, a write from another thread
// than the one that opened the hold or latch window it lands in, and a hold
// left set.
struct SWindowReport {
    int nested = 0;
    // Register writes that reached the camera, by calling thread (kyrsim_thread_id).
    std::vector<std::pair<unsigned long long, int>> writesByThread;
    std::vector<std::string> foreign;  // writes from another thread inside a window
    bool leftSet = false;
    int WritesOf(unsigned long long thread) const {
        for (const auto& t : writesByThread)
            if (t.first == thread) return t.second;
        return 0;
    }
    bool Clean() const { return nested == 0 && foreign.empty() && !leftSet; }
    std::string Text() const {
        std::string s = "nested " + std::to_string(nested) + (leftSet ? ", left set" : "") + ", foreign:";
        for (const std::string& f : foreign) s += " " + f;
        return s;
    }
};

inline SWindowReport CheckWindows(const kyrsim::Device& dev, int holdReg) {
    SWindowReport rep;
    bool held = false, latched = false;
    unsigned long long holdOwner = 0, latchOwner = 0;
    // Entry by entry: the log of a storm is long.
    const int n = kyrsim_log_count();
    for (int i = 0; i < n; ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != dev.handle()) continue;
        if (r.result < 0 || r.unexpected || (r.request_type & 0x80) != 0) continue;
        const bool sensor = r.request == 0xB6 || r.request == 0xA6;
        const bool fpga = r.request == 0xBD;
        if (!sensor && !fpga) continue;
        auto counted =
            std::find_if(rep.writesByThread.begin(), rep.writesByThread.end(),
                         [&r](const std::pair<unsigned long long, int>& t) { return t.first == r.thread; });
        if (counted == rep.writesByThread.end())
            rep.writesByThread.push_back({r.thread, 1});
        else
            ++counted->second;
        if (sensor && holdReg >= 0 && r.value == holdReg) {
            const bool on = r.index != 0;
            if (on && held) ++rep.nested;
            if (on && !held) holdOwner = r.thread;
            held = on;
            continue;
        }
        if (fpga && r.value == 1) {
            const bool on = (r.index & 1) != 0;
            if (on && !latched) latchOwner = r.thread;
            latched = on;
            continue;
        }
        const bool foreign = (held && r.thread != holdOwner) || (latched && r.thread != latchOwner);
        if (foreign && rep.foreign.size() < 8) {
            char text[48];
            snprintf(text, sizeof(text), "%s 0x%04x", sensor ? "sensor" : "fpga", r.value);
            rep.foreign.push_back(text);
        }
    }
    rep.leftSet = held;
    return rep;
}

#endif

#include "HoldCheck.h"

#include <stdio.h>

#include <algorithm>

#include "kyrsim.hpp"

namespace {

constexpr int kWriteSensorByte = 0xB6;
constexpr int kWriteFpga = 0xBD;
constexpr uint16_t kFpgaUpdate = 1;

std::string RegText(uint16_t reg, uint8_t value) {
    char text[32];
    snprintf(text, sizeof(text), "0x%04x=0x%02x", reg, value);
    return text;
}

}  // namespace

namespace {

// The register writes of request `code` that reached the camera, in order.
std::vector<std::pair<uint16_t, uint8_t>> RegisterWrites(int handle, int code, int fromEntry) {
    std::vector<std::pair<uint16_t, uint8_t>> out;
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    for (size_t i = static_cast<size_t>(fromEntry < 0 ? 0 : fromEntry); i < log.size(); ++i) {
        const kyrsim::Request& r = log[i];
        // The register travels in wValue, the byte in wIndex.
        if (r.device != handle || r.request != code || (r.request_type & 0x80) != 0) continue;
        if (r.result < 0 || r.unexpected) continue;
        out.emplace_back(static_cast<uint16_t>(r.value), static_cast<uint8_t>(r.index));
    }
    return out;
}

}  // namespace

std::vector<std::pair<uint16_t, uint8_t>> SensorWrites(int handle, int fromEntry) {
    return RegisterWrites(handle, kWriteSensorByte, fromEntry);
}

std::vector<std::pair<uint16_t, uint8_t>> FpgaWrites(int handle, int fromEntry) {
    return RegisterWrites(handle, kWriteFpga, fromEntry);
}

namespace {

std::string GroupText(const std::vector<uint16_t>& group) {
    std::string text;
    for (uint16_t reg : group) text += (text.empty() ? "" : ",") + std::to_string(reg);
    return text;
}

}  // namespace

SLatchReport CheckLatches(int handle, const std::vector<std::vector<uint16_t>>& groups, int fromEntry) {
    SLatchReport report;
    bool latched = false;
    std::vector<uint16_t> inLatch;  // grouped registers the open latch holds
    auto closeLatch = [&] {
        for (const std::vector<uint16_t>& g : groups) {
            size_t n = 0;
            for (uint16_t reg : g) n += std::count(inLatch.begin(), inLatch.end(), reg) > 0 ? 1 : 0;
            if (n > 0 && n < g.size()) report.split.push_back(GroupText(g) + " in part");
        }
        inLatch.clear();
    };
    for (const auto& w : FpgaWrites(handle, fromEntry)) {
        if (w.first == kFpgaUpdate) {
            const bool set = (w.second & 1) != 0;
            if (set && !latched) ++report.iLatches;
            if (!set && latched) closeLatch();
            latched = set;
            continue;
        }
        bool grouped = false;
        for (const std::vector<uint16_t>& g : groups)
            grouped = grouped || std::find(g.begin(), g.end(), w.first) != g.end();
        if (!grouped) continue;
        if (latched)
            inLatch.push_back(w.first);
        else
            report.unlatched.push_back("reg " + std::to_string(w.first) + "=" + std::to_string(w.second));
    }
    report.bLeftSet = latched;
    return report;
}

std::string SLatchReport::Text() const {
    std::string text = "latches " + std::to_string(iLatches) + (bLeftSet ? ", left set" : "") + ", outside:";
    for (const std::string& w : unlatched) text += " " + w;
    text += "; split:";
    for (const std::string& w : split) text += " " + w;
    return text;
}

SHoldReport CheckHolds(int handle, const std::vector<uint16_t>& protectedRegs, int holdReg, int fromEntry) {
    SHoldReport report;
    if (holdReg == kProfileHoldReg) {
        kyrsim_profile profile{};
        holdReg = kyrsim_device_profile(handle, &profile) == 0 ? profile.hold_reg : KYRSIM_NONE;
    }
    report.bNoHold = holdReg == KYRSIM_NONE;
    bool held = false;
    for (const auto& w : SensorWrites(handle, fromEntry)) {
        if (!report.bNoHold && w.first == holdReg) {
            const bool set = w.second != 0;
            if (set) {
                if (held) ++report.iNested;
                ++report.iHolds;
            }
            held = set;
            continue;
        }
        if (!held && std::find(protectedRegs.begin(), protectedRegs.end(), w.first) != protectedRegs.end())
            report.unheld.push_back(RegText(w.first, w.second));
    }
    report.bLeftSet = held;
    return report;
}

std::string SHoldReport::Text() const {
    std::string text = "holds " + std::to_string(iHolds) + ", nested " + std::to_string(iNested) +
                       (bLeftSet ? ", left set" : "") + ", outside a hold:";
    for (const std::string& w : unheld) text += " " + w;
    return text;
}

#include "HoldCheck.h"

#include <stdio.h>

#include <algorithm>

#include "kyrsim.hpp"

namespace {

constexpr int kWriteSensorByte = 0xB6;

std::string RegText(uint16_t reg, uint8_t value) {
    char text[32];
    snprintf(text, sizeof(text), "0x%04x=0x%02x", reg, value);
    return text;
}

}  // namespace

std::vector<std::pair<uint16_t, uint8_t>> SensorWrites(int handle, int fromEntry) {
    std::vector<std::pair<uint16_t, uint8_t>> out;
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    for (size_t i = static_cast<size_t>(fromEntry < 0 ? 0 : fromEntry); i < log.size(); ++i) {
        const kyrsim::Request& r = log[i];
        // The register travels in wValue, the byte in wIndex.
        if (r.device != handle || r.request != kWriteSensorByte || (r.request_type & 0x80) != 0) continue;
        if (r.result < 0 || r.unexpected) continue;
        out.emplace_back(static_cast<uint16_t>(r.value), static_cast<uint8_t>(r.index));
    }
    return out;
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

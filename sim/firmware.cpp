// The USB controller's firmware states: the camera's own firmware, the boot
// loader, and the loader firmware that serves the boot EEPROM pages once it
// was written to RAM under the CPU hold and the CPU let go.
#include "internal.hpp"

namespace kyrsim_impl {
namespace {

constexpr uint32_t kCpuControl = 0xE600;  // 1 holds the controller CPU, 0 runs it
// The two loader pieces: 2048 bytes at RAM 0 and 1427 bytes at 2048.
constexpr uint32_t kLoaderAddr[2] = {0, 2048};
constexpr int kLoaderBytes[2] = {2048, 1427};
constexpr int kRamRequest = 0xA0;
constexpr int kPageRequest = 0xA9;

}  // namespace

uint8_t ramByte(const SimDevice& d, uint32_t addr) {
    auto it = d.ram.find(addr / kRamPage);
    return it == d.ram.end() ? 0 : it->second[addr % kRamPage];
}

void setRamByte(SimDevice& d, uint32_t addr, uint8_t v) {
    auto& page = d.ram[addr / kRamPage];
    if (page.empty()) page.assign(kRamPage, 0);
    page[addr % kRamPage] = v;
}

uint8_t cpuHold(const SimDevice& d) { return ramByte(d, kCpuControl); }

bool firmwareStalls(const SimDevice& d, bool in, int request, int value, int index, int length) {
    if (request == kRamRequest) return in && d.fwState == KYRSIM_FW_NORMAL && value == 0 && index == 0;
    if (request == kPageRequest) return length > 0 && d.fwState != KYRSIM_FW_LOADER;
    return false;
}

void ramWritten(SimDevice& d, uint32_t addr, int length, uint8_t holdBefore) {
    if (length == 0) {
        d.programEntry = addr;  // a data-less write starts the program there
        d.fwState = KYRSIM_FW_NORMAL;
        return;
    }
    const uint8_t hold = cpuHold(d);
    if (holdBefore != 1 && hold == 1) d.loaderPieces = {};
    if (hold == 1) {
        for (size_t i = 0; i < d.loaderPieces.size(); ++i)
            if (addr == kLoaderAddr[i] && length == kLoaderBytes[i]) d.loaderPieces[i] = true;
    } else if (holdBefore == 1 && hold == 0) {
        d.fwState = d.loaderPieces[0] && d.loaderPieces[1] ? KYRSIM_FW_LOADER : KYRSIM_FW_NORMAL;
        d.loaderPieces = {};
    }
}

long long firmwareQuery(const SimDevice& d, int what) {
    switch (what) {
        case KYRSIM_Q_FW_STATE:
            return d.fwState;
        case KYRSIM_Q_CPU_HOLD:
            return cpuHold(d);
        case KYRSIM_Q_PROGRAM_ENTRY:
            return d.programEntry;
        default:
            return -1;
    }
}

}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

int kyrsim_set_firmware_state(int handle, int fwState) {
    if (fwState < KYRSIM_FW_NORMAL || fwState > KYRSIM_FW_LOADER) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->fwState = fwState;
    return 0;
}

}  // extern "C"

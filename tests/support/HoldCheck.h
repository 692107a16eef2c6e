// Checks the sensor's register hold on what a camera really received: walks
// the logged sensor byte writes (request 0xB6) of one simulated camera in
// order and reports writes of listed registers made outside a hold, holds
// opened while one was open, and a hold left set at the end. Only writes that
// reached the camera count (a failed request changed nothing there). The hold
// register is the one of the camera's profile unless given; a camera without
// one has every listed write unheld, which is then no misuse.
#ifndef KYR_TEST_HOLD_CHECK_H
#define KYR_TEST_HOLD_CHECK_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

struct SHoldReport {
    std::vector<std::string> unheld;  // "0x303c=0x12" for each listed write outside a hold
    int iNested = 0;                  // holds opened while one was open
    int iHolds = 0;                   // holds opened
    bool bLeftSet = false;            // the last hold write set it
    bool bNoHold = false;             // the camera has no hold register
    bool Clean() const { return (bNoHold || unheld.empty()) && iNested == 0 && !bLeftSet; }
    std::string Text() const;
};

// The hold register of the camera's profile.
constexpr int kProfileHoldReg = -2;

// The hold check over the logged writes of camera `handle` from log entry
// `fromEntry` on; holdReg KYRSIM_NONE (-1) = the camera has none.
SHoldReport CheckHolds(int handle, const std::vector<uint16_t>& protectedRegs, int holdReg = kProfileHoldReg,
                       int fromEntry = 0);

// The sensor byte writes (register, value) that reached camera `handle`, in
// order, from log entry `fromEntry` on.
std::vector<std::pair<uint16_t, uint8_t>> SensorWrites(int handle, int fromEntry = 0);

// The FPGA's update latch on what a camera really received: every logged
// FPGA register write (request 0xBD) from log entry `fromEntry` on is taken
// in order; a write of a register of one of `groups` made outside the latch
// is reported, and so is a group that one latch (register 1 = 1 ... 0) holds
// only part of, as is a latch left set at the end.
struct SLatchReport {
    std::vector<std::string> unlatched;  // "reg 16=0x12" for each grouped write outside a latch
    std::vector<std::string> split;      // "2,3,6,7 in part" for each latch with a group half written
    int iLatches = 0;                    // latches opened
    bool bLeftSet = false;
    bool Clean() const { return unlatched.empty() && split.empty() && !bLeftSet; }
    std::string Text() const;
};
SLatchReport CheckLatches(int handle, const std::vector<std::vector<uint16_t>>& groups, int fromEntry = 0);

// The FPGA register writes (register, value) that reached camera `handle`, in
// order, from log entry `fromEntry` on.
std::vector<std::pair<uint16_t, uint8_t>> FpgaWrites(int handle, int fromEntry = 0);

#endif

// Shared fixture of the FPGA control tests: one simulated FPGA camera opened
// the way the camera object's open does it, handed to a CCameraFX3, and
// helpers that read the FPGA register requests back from the simulator's log.
#ifndef KYR_TEST_FPGA_FIXTURE_H
#define KYR_TEST_FPGA_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <memory>
#include <string>
#include <vector>

#include "Fx3Fixture.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "usb/CameraFX3.h"
#include "usb/FpgaRegs.h"

namespace fpga_test {

constexpr uint16_t kVendorId = 0x2e7b;
constexpr uint16_t kProductId = 0x832b;  // an FPGA camera

constexpr int kReqReadFpga = 0xBC;
constexpr int kReqWriteFpga = 0xBD;

// One FPGA register request as the camera saw it.
struct SFpgaAccess {
    bool bWrite;
    int iReg;
    int iValue;  // written value; for reads the byte answered
    unsigned long long ullThread;
    bool operator==(const SFpgaAccess& o) const {
        return bWrite == o.bWrite && iReg == o.iReg && iValue == o.iValue;
    }
};

inline SFpgaAccess W(int reg, int value) { return {true, reg, value, 0}; }
inline SFpgaAccess R(int reg) { return {false, reg, -1, 0}; }

inline std::ostream& operator<<(std::ostream& os, const SFpgaAccess& a) {
    if (a.bWrite) return os << "W(" << a.iReg << ", 0x" << std::hex << a.iValue << std::dec << ")";
    return os << "R(" << a.iReg << ")";
}

// The FPGA register requests of the log, oldest first. Reads compare equal
// whatever they answered (iValue -1 in expectations).
inline std::vector<SFpgaAccess> FpgaAccesses(int handle = KYRSIM_ANY) {
    std::vector<SFpgaAccess> out;
    for (const kyrsim::Request& r : kyrsim::requests()) {
        if (handle != KYRSIM_ANY && r.device != handle) continue;
        if (r.request == kReqWriteFpga)
            out.push_back({true, r.value, r.index, r.thread});
        else if (r.request == kReqReadFpga)
            out.push_back({false, r.value, -1, r.thread});
    }
    return out;
}

// Only the writes, as (register, value) pairs.
inline std::vector<SFpgaAccess> FpgaWrites(int handle = KYRSIM_ANY) {
    std::vector<SFpgaAccess> out;
    for (const SFpgaAccess& a : FpgaAccesses(handle))
        if (a.bWrite) out.push_back(a);
    return out;
}

// The requests of a latched write of `bytes` from `firstReg`: hold, the
// bytes from the lowest register up, release.
inline std::vector<SFpgaAccess> Latched(int firstReg, const std::vector<int>& bytes) {
    std::vector<SFpgaAccess> out{W(FPGA_REG_UPDATE, 1)};
    for (size_t i = 0; i < bytes.size(); ++i) out.push_back(W(firstReg + static_cast<int>(i), bytes[i]));
    out.push_back(W(FPGA_REG_UPDATE, 0));
    return out;
}

class CFpgaTest : public CFx3DeviceTest {
  protected:
    void TearDown() override {
        // No request the camera refused and no two control transfers inside
        // the camera at once.
        EXPECT_EQ(kyrsim_unexpected_count(), 0);
        EXPECT_EQ(kyrsim_overlap_count(), 0);
        CFx3DeviceTest::TearDown();
    }
};

}  // namespace fpga_test

#endif

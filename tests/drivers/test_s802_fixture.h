// Fixture of the 802 driver tests: simulated 802 cameras opened and
// initialised through the exported functions, with the driver object at hand
// for the checks a caller cannot make, and the FPGA register groups that
// every change writes inside one update latch.
#ifndef KYR_TEST_S802_FIXTURE_H
#define KYR_TEST_S802_FIXTURE_H

#include <vector>

#include "CaptureCheck.h"
#include "ModelFixture.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS802MC.h"

constexpr int kPid802 = 0x802a;

// Window start, window size, frame length, line length, colour gains.
inline const std::vector<std::vector<uint16_t>>& LatchedGroups802() {
    static const std::vector<std::vector<uint16_t>> groups = {
        {2, 3, 6, 7}, {4, 5, 8, 9}, {16, 17, 18}, {19, 20}, {12, 15}};
    return groups;
}

class C802Test : public CModelTest {
  protected:
    C802Test() : CModelTest({ModelClass<CCameraS802MC>(kPid802)}) {}

    CCameraBase* Setup(bool usb3 = true) { return CModelTest::Setup(kPid802, usb3); }

    CCameraS802MC& Cam() { return *dynamic_cast<CCameraS802MC*>(m_pCam); }

    // The control-word shadow, read as the driver keeps it.
    int Shadow() {
        return Locked([this] { return static_cast<int>(Cam().m_ucFPGACtrlShadow); });
    }

    // The values written to FPGA register 0 from log entry `from` on.
    std::vector<int> CtrlWrites(int from = 0) {
        std::vector<int> out;
        for (const auto& w : FpgaWrites(m_dev.handle(), from))
            if (w.first == 0) out.push_back(w.second);
        return out;
    }

    // The values written to sensor register `reg` from log entry `from` on.
    std::vector<int> SensorWritesOf(uint16_t reg, int from = 0) {
        std::vector<int> out;
        for (const auto& w : SensorWrites(m_dev.handle(), from))
            if (w.first == reg) out.push_back(w.second);
        return out;
    }

    static int LogSize() { return static_cast<int>(kyrsim::requests().size()); }
};

#endif

// Fixture of the 832 driver tests: simulated 832 cameras opened and
// initialised through the exported functions, with the driver objects the
// factory made at hand for the checks and calls a caller cannot make.
#ifndef KYR_TEST_S832_FIXTURE_H
#define KYR_TEST_S832_FIXTURE_H

#include <vector>

#include "CaptureCheck.h"
#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS832MC.h"
#include "modetable1/CCameraS832MC_Pro.h"

constexpr int kPid832 = 0x832b;
constexpr int kPid832Pro = 0x832f;

// Registers that every multi-register change must write inside the hold:
// window start and size, and the mode registers.
inline const std::vector<uint16_t>& HeldRegs832() {
    static const std::vector<uint16_t> regs = {
        0x303C, 0x303D, 0x3044, 0x3045, 0x303E, 0x303F, 0x3046, 0x3047, 0x301B, 0x3022, 0x3023, 0x30D5,
        0x4231, 0x3014, 0x3015, 0x3460, 0x3478, 0x347C, 0x3480, 0x3A4E, 0x3409, 0x340B, 0x3458, 0x3002};
    return regs;
}

using CEngine832 = CEngineDriver<CCameraBase>;
using CEngine832Pro = CEngineDriver<CCameraCool>;

class C832Test : public CModelTest {
  protected:
    C832Test()
        : CModelTest({ModelClass<CCameraS832MC>(kPid832), ModelClass<CCameraS832MC_Pro>(kPid832Pro)}) {}

    CCameraBase* Setup(int pid = kPid832, bool usb3 = true) { return CModelTest::Setup(pid, usb3); }

    CEngine832& Engine() { return *dynamic_cast<CEngine832*>(m_pCam); }
};

#endif

// Fixture of the 821 driver tests: the three 821 classes on simulated
// cameras, opened and initialised through the exported functions, with the
// driver object the factory made at hand.
#ifndef KYR_TEST_S821_FIXTURE_H
#define KYR_TEST_S821_FIXTURE_H

#include <string>
#include <vector>

#include "CameraCool.h"
#include "ModelFixture.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS821MC.h"
#include "modetable1/CCameraS821MM.h"
#include "modetable1/CCameraS821MM_Pro.h"

constexpr int kPid821MM = 0x821a;
constexpr int kPid821Pro = 0x821e;
constexpr int kPid821MC = 0x821b;
constexpr int kPids821[] = {kPid821MM, kPid821Pro, kPid821MC};

// Sensor registers every change writes inside the hold 0x3034: gain, shutter
// line, window start and size.
inline const std::vector<uint16_t>& HeldRegs821() {
    static const std::vector<uint16_t> regs = {0x3510, 0x3514, 0x3515, 0x3240, 0x3241, 0x3242, 0x3120,
                                               0x3121, 0x3122, 0x3123, 0x3124, 0x3125, 0x3126, 0x3127};
    return regs;
}

class C821Test : public CModelTest {
  protected:
    C821Test()
        : CModelTest({ModelClass<CCameraS821MM>(kPid821MM), ModelClass<CCameraS821MM_Pro>(kPid821Pro),
                      ModelClass<CCameraS821MC>(kPid821MC)}) {}

    // A newly plugged and initialised camera of pid in place of the last one.
    CCameraBase* Fresh(int pid, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(pid, usb3);
    }

    // The engine's own operations of the camera, whichever base it has.
    template <class F>
    auto WithEngine(F fn) {
        if (auto* cool = dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam)) return fn(*cool);
        return fn(*dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam));
    }
    SReadout Readout() {
        return WithEngine([](auto& e) { return e.Readout(); });
    }

    long long SHR() const {
        return m_dev.sensor(0x3240) | m_dev.sensor(0x3241) << 8 | m_dev.sensor(0x3242) << 16;
    }
    long long VMAX() const { return m_dev.fpgaWide(16, 3); }
    long long HMAX() const { return m_dev.fpgaWide(19, 2); }
    long long Pacing() const { return m_dev.fpgaWide(36, 2); }
    int Window(int reg) const { return m_dev.sensor(reg) | m_dev.sensor(reg + 1) << 8; }

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
};

inline const char* NameOf(int pid) {
    return pid == kPid821MM ? "821MM" : pid == kPid821Pro ? "821MM Pro" : "821MC";
}

#endif

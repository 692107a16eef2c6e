// Fixture of the 836 driver tests: simulated 836 cameras of the three classes
// opened and initialised through the exported functions, and the registers
// the tests read back.
#ifndef KYR_TEST_S836_FIXTURE_H
#define KYR_TEST_S836_FIXTURE_H

#include <vector>

#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS836MC.h"
#include "modetable1/CCameraS836MC_C.h"
#include "modetable1/CCameraS836MC_Pro.h"

constexpr int kPid836 = 0x836b;
constexpr int kPid836Pro = 0x836f;
constexpr int kPid836C = 0x836d;

// One row per class.
struct S836Class {
    int pid;
    const char* name;
    const char* shortName;
    bool st4;
    bool cooler;
    bool ddr;
};
inline const std::vector<S836Class>& Classes836() {
    static const std::vector<S836Class> classes = {
        {kPid836, "VORN KYR836MC", "KYR836MC", true, false, false},
        {kPid836Pro, "VORN KYR836MC-Pro", "KYR836MC-Pro", false, true, true},
        {kPid836C, "VORN KYR836MC-Cool", "KYR836MC-C", true, true, false},
    };
    return classes;
}

// Sensor registers that change only inside the hold: gain, shutter, window
// start. (0x3009 is also a mode register, written unheld by a mode change.)
inline const std::vector<uint16_t>& HeldRegs836() {
    static const std::vector<uint16_t> regs = {0x3014, 0x3015, 0x3020, 0x3021, 0x3022,
                                               0x303C, 0x303D, 0x3038, 0x3039};
    return regs;
}

inline long long SHS(const kyrsim::Device& d) {
    return d.sensor(0x3020) | d.sensor(0x3021) << 8 | d.sensor(0x3022) << 16;
}
inline long long VMAX(const kyrsim::Device& d) { return d.fpgaWide(16, 3); }
inline long long HMAX(const kyrsim::Device& d) { return d.fpgaWide(19, 2); }

// The sensor request codes.
constexpr int kWriteSensor = 0xB6;
constexpr int kReadSensor = 0xB7;
constexpr int kWriteFpga = 0xBD;

// One sensor byte write that reached the camera, and whether the hold was set then.
struct SHeldWrite {
    uint16_t reg;
    uint8_t value;
    bool held;
};
inline std::vector<SHeldWrite> HeldWrites(int handle, int fromEntry = 0) {
    std::vector<SHeldWrite> out;
    bool held = false;
    for (const auto& w : SensorWrites(handle, fromEntry)) {
        if (w.first == 0x3001) {
            held = w.second != 0;
            continue;
        }
        out.push_back({w.first, w.second, held});
    }
    return out;
}

class C836Test : public CModelTest {
  protected:
    C836Test()
        : CModelTest({ModelClass<CCameraS836MC>(kPid836), ModelClass<CCameraS836MC_Pro>(kPid836Pro),
                      ModelClass<CCameraS836MC_C>(kPid836C)}) {}

    CCameraBase* Setup(int pid = kPid836, bool usb3 = true) { return CModelTest::Setup(pid, usb3); }

    // A newly plugged and initialised camera of pid in place of the last one.
    CCameraBase* Fresh(int pid = kPid836, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(pid, usb3);
    }

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }

    // The requests of this camera from log entry `from` on.
    std::vector<kyrsim::Request> Log(int from) const {
        const std::vector<kyrsim::Request> all = kyrsim::requests();
        std::vector<kyrsim::Request> out;
        for (size_t i = static_cast<size_t>(from); i < all.size(); ++i)
            if (all[i].device == m_dev.handle()) out.push_back(all[i]);
        return out;
    }
};

#endif

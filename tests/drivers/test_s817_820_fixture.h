// Fixture of the 817 and 820 driver tests: the four classes behind their
// product IDs, one table row per class and one per model, and access to the
// engine of a driver object whichever camera object it is built on.
#ifndef KYR_TEST_S817_820_FIXTURE_H
#define KYR_TEST_S817_820_FIXTURE_H

#include <vector>

#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS817MC.h"
#include "modetable1/CCameraS817MC_Pro.h"
#include "modetable1/CCameraS820MC.h"
#include "modetable1/CCameraS820MC_Pro.h"

constexpr int kPid817 = 0x817b;
constexpr int kPid817Pro = 0x817f;
constexpr int kPid820 = 0x820b;
constexpr int kPid820Pro = 0x820f;

// What differs between the two models.
struct SModelRow {
    int model;  // 817 or 820
    int width, height;
    double pixelUm;
    float elecPerADU;
    int gainDef;
    int offsetMax, offsetDef;
    int wbRed, wbBlue;
    std::vector<int> bins;  // ascending, without the end mark
    int minHMAX12, minHMAX10, minHMAXBin;
    int longBinLines;  // lines added to a longer-than-a-frame exposure with sensor binning
    int longBinSHR;    // its shutter line
};

inline const SModelRow& Model817() {
    static const SModelRow row = {817, 1920, 1080,   2.9, 8.95f, 0,   300, 15,
                                  55,  75,   {1, 2}, 230, 163,   163, 548, 8};
    return row;
}
inline const SModelRow& Model820() {
    static const SModelRow row = {820, 3840, 2160,         2.0, 2.68f, 200, 350,  3,
                                  62,  99,   {1, 2, 3, 4}, 172, 172,   120, 1112, 1112};
    return row;
}
inline const SModelRow& ModelOf(int pid) {
    return pid == kPid817 || pid == kPid817Pro ? Model817() : Model820();
}

// One row per class.
struct SClassRow {
    int pid;
    const char* name;
    bool pro;
};
inline const std::vector<SClassRow>& Classes817820() {
    static const std::vector<SClassRow> rows = {
        {kPid817, "VORN KYR817MC", false},
        {kPid817Pro, "VORN KYR817MC Pro", true},
        {kPid820, "VORN KYR820MC", false},
        {kPid820Pro, "VORN KYR820MC Pro", true},
    };
    return rows;
}

// Registers these sensors write only inside the hold: window start and size,
// mode, gain, offset, shutter and line length.
inline const std::vector<uint16_t>& HeldRegs817820() {
    static const std::vector<uint16_t> regs = {0x303C, 0x303D, 0x3044, 0x3045, 0x303E, 0x303F, 0x3046,
                                               0x3047, 0x301B, 0x3022, 0x3023, 0x3C38, 0x3030, 0x3070,
                                               0x3071, 0x30DC, 0x30DD, 0x3050, 0x3051, 0x3052, 0x302C,
                                               0x302D, 0x3014, 0x3015, 0x30A4, 0x3460, 0x3002};
    return regs;
}

// fn called with the engine of a driver object of either camera object.
template <class F>
auto WithEngine(CCameraBase* pCam, F fn) {
    if (auto* p = dynamic_cast<CEngineDriver<CCameraBase>*>(pCam)) return fn(*p);
    return fn(*dynamic_cast<CEngineDriver<CCameraCool>*>(pCam));
}

inline long long SHR(const kyrsim::Device& d) {
    return d.sensor(0x3050) | d.sensor(0x3051) << 8 | d.sensor(0x3052) << 16;
}
inline long long FpgaVMAX(const kyrsim::Device& d) { return d.fpgaWide(16, 3); }
inline long long FpgaHMAX(const kyrsim::Device& d) { return d.fpgaWide(19, 2); }
inline int SensorPair(const kyrsim::Device& d, int reg) { return d.sensor(reg) | d.sensor(reg + 1) << 8; }

class C817820Test : public CModelTest {
  protected:
    C817820Test()
        : CModelTest({ModelClass<CCameraS817MC>(kPid817), ModelClass<CCameraS817MC_Pro>(kPid817Pro),
                      ModelClass<CCameraS820MC>(kPid820), ModelClass<CCameraS820MC_Pro>(kPid820Pro)}) {}

    // A camera of the class alone on a fresh bus, opened and initialised.
    CCameraBase* Fresh(int pid, bool usb3 = true) {
        for (int id = 0; id < 8; ++id) KYRCloseCamera(id);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(pid, usb3);
    }

    SReadout Readout() {
        return WithEngine(m_pCam, [](auto& e) { return e.Readout(); });
    }
    int MinHMAX() {
        return WithEngine(m_pCam, [](auto& e) { return e.g_iMinHMAX; });
    }
    bool SetEnableDDR(bool on) {
        return Locked([&] { return m_pCam->SetEnableDDR(on); });
    }
    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
};

#endif

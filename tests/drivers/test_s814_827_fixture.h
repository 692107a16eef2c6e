// Fixture of the 814 and 827 driver tests: the four classes (814MC and 827MC
// without the DDR buffer, their cooled twins with it) on simulated cameras,
// opened and initialised through the exported functions, with the driver
// object at hand for the checks a caller cannot make.
#ifndef KYR_TEST_S814_827_FIXTURE_H
#define KYR_TEST_S814_827_FIXTURE_H

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "ModelFixture.h"
#include "TestSpeed.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS814MC.h"
#include "modetable1/CCameraS814MC_Pro.h"
#include "modetable1/CCameraS827MC.h"
#include "modetable1/CCameraS827MC_Pro.h"

constexpr int kPid814 = 0x814b;
constexpr int kPid814Pro = 0x814f;
constexpr int kPid827 = 0x827b;
constexpr int kPid827Pro = 0x827f;

// One class: its product ID and what sets it apart.
struct SClassRow {
    int pid;
    const char* name;
    bool is814;
    bool pro;  // cooled, with the DDR buffer
};
inline const std::vector<SClassRow>& ClassRows() {
    static const std::vector<SClassRow> rows = {
        {kPid814, "CCameraS814MC", true, false},
        {kPid814Pro, "CCameraS814MC_Pro", true, true},
        {kPid827, "CCameraS827MC", false, false},
        {kPid827Pro, "CCameraS827MC_Pro", false, true},
    };
    return rows;
}

// Sensor registers of the clamp; written outside the hold.
inline const std::vector<uint16_t>& ClampRegs() {
    static const std::vector<uint16_t> regs = {0x3208, 0x321C, 0x3258};
    return regs;
}

constexpr int kWaitMs814827 = 5000 * kTestSlowdown;

class C814827Test : public CModelTest {
  protected:
    C814827Test()
        : CModelTest({ModelClass<CCameraS814MC>(kPid814), ModelClass<CCameraS814MC_Pro>(kPid814Pro),
                      ModelClass<CCameraS827MC>(kPid827), ModelClass<CCameraS827MC_Pro>(kPid827Pro)}) {}

    // A fresh bus with one camera of the row's class, opened and initialised.
    CCameraBase* SetupRow(const SClassRow& row, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(row.pid, usb3);
    }

    // fn(engine) on the driver object, whichever base its class has.
    template <class F>
    auto WithEngine(F fn) {
        if (auto* p = dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam)) return fn(*p);
        return fn(*dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam));
    }
    SReadout Readout() {
        return WithEngine([](auto& e) { return e.Readout(); });
    }
    int ClampOpen() {
        return WithEngine([](auto& e) { return static_cast<int>(e.m_bClampOpen.load()); });
    }

    // The sensor byte writes since log entry `from` to the registers listed, in order.
    std::vector<std::pair<uint16_t, uint8_t>> WritesTo(const std::vector<uint16_t>& regs, int from) {
        std::vector<std::pair<uint16_t, uint8_t>> out;
        for (const auto& w : SensorWrites(m_dev.handle(), from))
            for (uint16_t r : regs)
                if (w.first == r) out.push_back(w);
        return out;
    }

    // Video until one frame arrived, then stopped.
    bool VideoFrame() {
        if (KYRStartVideoCapture(0) != KYR_SUCCESS) return false;
        std::vector<unsigned char> img(ImageBytes());
        const bool ok =
            KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs814827) == KYR_SUCCESS;
        return KYRStopVideoCapture(0) == KYR_SUCCESS && ok;
    }
    // One single exposure to its end; true when it succeeded.
    bool Snapshot() { return Expose(kWaitMs814827) == KYR_EXP_SUCCESS; }
    size_t ImageBytes() {
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_RAW8;
        KYRGetROIFormat(0, &w, &h, &bin, &type);
        const int bpp = type == IMG_RGB24 ? 3 : type == IMG_RAW16 ? 2 : 1;
        return static_cast<size_t>(w) * h * bpp;
    }

    int Sensor(int reg) { return m_dev.sensor(reg); }
    long long SensorLE(int reg, int bytes) {
        long long v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | (m_dev.sensor(reg + i) & 0xFF);
        return v;
    }
    long long Fpga(int reg, int bytes) { return m_dev.fpgaWide(reg, bytes); }
    long Control(KYR_CONTROL_TYPE type, KYR_BOOL* pAuto = nullptr) {
        long value = -1;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, type, &value, &bAuto), KYR_SUCCESS);
        if (pAuto) *pAuto = bAuto;
        return value;
    }
};

#endif

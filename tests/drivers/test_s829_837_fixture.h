// Fixture of the 829 and 837 driver tests: the four classes on simulated
// cameras, opened and initialised through the exported functions, with the
// driver object the factory made at hand, one row of expected values per
// class, and the request log as the tests read it.
#ifndef KYR_TEST_S829_837_FIXTURE_H
#define KYR_TEST_S829_837_FIXTURE_H

#include <stdio.h>

#include <string>
#include <vector>

#include "CameraCool.h"
#include "ModelFixture.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS829MM.h"
#include "modetable1/CCameraS829MM_Pro.h"
#include "modetable1/CCameraS837MM_Mini.h"
#include "modetable1/CCameraS837MM_Pro.h"

constexpr int kPid829MM = 0x8299;
constexpr int kPid829Pro = 0x829e;
constexpr int kPid837Mini = 0x8379;
constexpr int kPid837Pro = 0x837e;
constexpr int kPids829837[] = {kPid829MM, kPid829Pro, kPid837Mini, kPid837Pro};

// What the tests expect of one class.
struct SClassRow {
    int pid;
    const char* label;
    const char* name;
    int width, height;
    double pixelUm;
    bool cooled, ddr;
    float elecPerADU;
    int offsetHighestDR, offsetUnityGain, offsetLowestRN, gainLowestRN;
    int gainMax;
    int minHMAX, minHMAXHighSpeed;  // FPGA HMAX at 12 and 10 bits
    int extraLines, vmaxBase;       // frame time, short-exposure frame
};

inline const SClassRow& RowOf(int pid) {
    static const SClassRow rows[] = {
        {kPid829MM, "829MM", "VORN KYR829MM", 1632, 1248, 4.5, false, true, 23.15f, 10, 10, 20, 380, 480, 560, 340,
         88, 104},
        {kPid829Pro, "829MM Pro", "VORN KYR829MM Pro", 1632, 1248, 4.5, true, true, 3.18f, 1, 4, 10, 240, 480, 560,
         340, 88, 104},
        {kPid837Mini, "842MM Mini", "VORN KYR842MM Mini", 816, 624, 9.0, false, false, 23.15f, 1, 4, 10, 385, 600,
         175, 340, 728, 744},
        {kPid837Pro, "837MM Pro", "VORN KYR837MM Pro", 816, 624, 9.0, true, true, 23.15f, 1, 4, 10, 385, 600, 175,
         340, 728, 744},
    };
    for (const SClassRow& r : rows)
        if (r.pid == pid) return r;
    return rows[0];
}

inline bool Is829(int pid) { return pid == kPid829MM || pid == kPid829Pro; }

// Registers every change writes inside the hold 0x3034: gain, shutter line,
// window start and size.
inline const std::vector<uint16_t>& HeldRegs829837() {
    static const std::vector<uint16_t> regs = {0x3510, 0x3514, 0x3515, 0x3240, 0x3241, 0x3242, 0x3120,
                                               0x3121, 0x3122, 0x3123, 0x3124, 0x3125, 0x3126, 0x3127};
    return regs;
}

// One logged request that reached camera `handle`.
struct SLogged {
    int request;  // 0xB6 sensor write, 0xBD FPGA write, 0xBC FPGA read, 0xAF ...
    int reg, value;
    unsigned long long thread;
};

inline std::vector<SLogged> Logged(int handle, int from = 0) {
    std::vector<SLogged> out;
    for (int i = from; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.result < 0) continue;
        out.push_back({r.request, r.value, r.index, r.thread});
    }
    return out;
}

// The first entry from `from` on of request (and reg, value where not -1); -1: none.
inline int IndexOf(const std::vector<SLogged>& log, int request, int reg = -1, int value = -1,
                   size_t from = 0) {
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].request == request && (reg < 0 || log[i].reg == reg) && (value < 0 || log[i].value == value))
            return static_cast<int>(i);
    return -1;
}

// Writes only: sensor ("S3034=01") and FPGA ("F19=48") registers, and other commands ("CAF").
inline std::vector<std::string> Writes(int handle, int from = 0) {
    std::vector<std::string> out;
    char buf[32];
    for (const SLogged& l : Logged(handle, from)) {
        if (l.request == 0xB6)
            snprintf(buf, sizeof(buf), "S%04X=%02X", l.reg, l.value);
        else if (l.request == 0xBD)
            snprintf(buf, sizeof(buf), "F%d=%d", l.reg, l.value);
        else if (l.request == 0xBC || l.request == 0xB7)
            continue;
        else
            snprintf(buf, sizeof(buf), "C%02X", l.request);
        out.push_back(buf);
    }
    return out;
}

class C829837Test : public CModelTest {
  protected:
    C829837Test()
        : CModelTest({ModelClass<CCameraS829MM>(kPid829MM), ModelClass<CCameraS829MM_Pro>(kPid829Pro),
                      ModelClass<CCameraS837MM_Mini>(kPid837Mini), ModelClass<CCameraS837MM_Pro>(kPid837Pro)}) {}

    // A newly plugged and initialised camera of pid in place of the last one.
    CCameraBase* Fresh(int pid, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(pid, usb3);
    }

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
    long long VBLK() const { return m_dev.fpgaWide(6, 2); }
    long long Pacing() const { return m_dev.fpgaWide(36, 2); }
    int Window(int reg) const { return m_dev.sensor(reg) | m_dev.sensor(reg + 1) << 8; }
    uint32_t FrameUs() {
        return Locked([&] { return static_cast<uint32_t>(m_pCam->m_iFrameTimeUs); });
    }

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
};

#endif

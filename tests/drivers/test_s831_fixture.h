// Fixture of the 831 driver tests: the two 831 classes on simulated cameras,
// opened and initialised through the exported functions, with the driver
// object the factory made at hand, one row per class and the registers the
// tests read back.
#ifndef KYR_TEST_S831_FIXTURE_H
#define KYR_TEST_S831_FIXTURE_H

#include <stdio.h>

#include <string>
#include <vector>

#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS831MC.h"
#include "modetable1/CCameraS831MC_Pro.h"

constexpr int kPid831 = 0x831a;
constexpr int kPid831Pro = 0x831e;

// One row per class.
struct S831Class {
    int pid;
    const char* name;
    int maxW, maxH;
    int minHMAX;  // the normal mode's shortest line
    bool ddr;     // the DDR frame buffer, tested at start-up; cooled; no guide port
    int wbRed, wbBlue;
};
inline const std::vector<S831Class>& Classes831() {
    static const std::vector<S831Class> classes = {
        {kPid831, "VORN KYR831MC", 1456, 1088, 156, false, 60, 99},
        {kPid831Pro, "VORN KYR831MC Pro", 728, 544, 104, true, 50, 50},
    };
    return classes;
}

// Sensor registers written only inside the hold 0x3008: gain, shutter line,
// the long-exposure block, window start and size.
inline const std::vector<uint16_t>& HeldRegs831() {
    static const std::vector<uint16_t> regs = {
        0x3204, 0x3205, 0x308D, 0x308E, 0x308F, 0x40CC, 0x40CD, 0x40D0, 0x40D1, 0x40CE, 0x40CF, 0x40D2,
        0x40D3, 0x309C, 0x40C9, 0x3024, 0x3310, 0x3311, 0x3312, 0x3313, 0x3314, 0x3315, 0x3316, 0x3317};
    return regs;
}
// Written without the hold: the offset and the rows of the mode tables.
inline const std::vector<uint16_t>& UnheldRegs831() {
    static const std::vector<uint16_t> regs = {0x3254, 0x3255, 0x3165, 0x3169, 0x316A,
                                               0x3182, 0x400E, 0x4041, 0x40A2};
    return regs;
}

// Writes of camera `handle` from log entry `from` on that reached it: sensor
// ("S3008=01"), FPGA ("F16=...") registers and other commands ("CAF");
// reads are left out.
inline std::vector<std::string> Writes831(int handle, int from = 0) {
    std::vector<std::string> out;
    char buf[32];
    for (int i = from; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.result < 0) continue;
        if (r.request_type & 0x80) continue;  // reads
        if (r.request == 0xB6)
            snprintf(buf, sizeof(buf), "S%04X=%02X", r.value, r.index);
        else if (r.request == 0xBD)
            snprintf(buf, sizeof(buf), "F%d=%d", r.value, r.index);
        else
            snprintf(buf, sizeof(buf), "C%02X", r.request);
        out.push_back(buf);
    }
    return out;
}

// The position of `what` in `writes` from `from` on, or -1.
inline int Find831(const std::vector<std::string>& writes, const std::string& what, int from = 0) {
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < writes.size(); ++i)
        if (writes[i] == what) return static_cast<int>(i);
    return -1;
}

class C831Test : public CModelTest {
  protected:
    C831Test()
        : CModelTest({ModelClass<CCameraS831MC>(kPid831), ModelClass<CCameraS831MC_Pro>(kPid831Pro)}) {}

    int MinHMAX() {
        return WithEngine([](auto& e) {
            CCritSecLock lock(e.m_csControl);
            return e.g_iMinHMAX;
        });
    }
    uint32_t FrameUs() {
        return Locked([&] { return static_cast<uint32_t>(m_pCam->m_iFrameTimeUs); });
    }

    long long SHR() const {
        return m_dev.sensor(0x308D) | m_dev.sensor(0x308E) << 8 | m_dev.sensor(0x308F) << 16;
    }
    long long VMAX() const { return m_dev.fpgaWide(16, 3); }
    long long HMAX() const { return m_dev.fpgaWide(19, 2); }
    long long Pacing() const { return m_dev.fpgaWide(36, 2); }
    int Window(int reg) const { return m_dev.sensor(reg) | m_dev.sensor(reg + 1) << 8; }
    std::vector<std::string> Writes(int from = 0) const { return Writes831(m_dev.handle(), from); }

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
    int Status() {
        KYR_EXPOSURE_STATUS st = KYR_EXP_IDLE;
        KYRGetExpStatus(0, &st);
        return st;
    }
};

#endif

// Fixture of the 809 driver tests: the uncooled camera without the DDR
// buffer and its cooled twin with it, opened and initialised through the
// exported functions on the simulator, one at a time (a full frame is
// 21 MB), with the request log read as the camera received it.
#ifndef KYR_TEST_S809_FIXTURE_H
#define KYR_TEST_S809_FIXTURE_H

#include <string>
#include <vector>

#include "CaptureCheck.h"
#include "ControlCalls.h"
#include "ModelFixture.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS809MC.h"
#include "modetable1/CCameraS809MC_Pro.h"

constexpr int kPid809 = 0x809b;
constexpr int kPid809Pro = 0x809f;

// Sensor registers and FPGA registers and bits the tests read.
constexpr int kReg809State = 0x0200;  // 4 streams, 3 stops, 6 standby
constexpr int kReg809SHR = 0x0207;
constexpr int kReg809StartY = 0x020E;
constexpr int kReg809Rows = 0x0210;
constexpr int kReg809Offset = 0x024A;
constexpr int kReg809Gain = 0x0275;
constexpr int kReg809Gain2 = 0x0277;
constexpr int kFpgaCtrl = 0, kFpgaHBLK = 2, kFpgaWidth = 4, kFpgaVBLK = 6, kFpgaHeight = 8;
constexpr int kFpgaSignal = 11, kFpgaVMAX = 16, kFpgaHMAX = 19, kFpgaPower = 25, kFpga26 = 26, kFpgaBin = 39;
constexpr int kCtrlLanes = 0x06, kCtrlStop = 0x10, kCtrlWaitTrig = 0xC0;
constexpr int kSigTrigger = 0x01, kSigXHSStop = 0x10, kPowerLow = 0x01;

struct S809Row {
    int pid;
    const char* name;
    bool pro;  // cooled, with the DDR buffer
};
inline const std::vector<S809Row>& Rows809() {
    static const std::vector<S809Row> rows = {{kPid809, "809MC", false}, {kPid809Pro, "809MC Pro", true}};
    return rows;
}

// One register write as the camera received it: 'S' sensor, 'F' FPGA; its place in the request log.
struct SWrite809 {
    char kind;
    int reg, value;
    int index;
    unsigned long long thread;
};

class C809Test : public CModelTest {
  protected:
    C809Test()
        : CModelTest({ModelClass<CCameraS809MC>(kPid809), ModelClass<CCameraS809MC_Pro>(kPid809Pro)}) {}

    // The sensor and FPGA register writes the camera received from log entry `from` on.
    std::vector<SWrite809> Writes(int from = 0) const {
        std::vector<SWrite809> out;
        const std::vector<kyrsim::Request> log = kyrsim::requests();
        for (size_t i = static_cast<size_t>(from); i < log.size(); ++i) {
            const kyrsim::Request& r = log[i];
            if (r.device != m_dev.handle() || r.result < 0 || (r.request_type & 0x80) != 0) continue;
            if (r.request == 0xB6 || r.request == 0xBD)
                out.push_back(
                    {r.request == 0xB6 ? 'S' : 'F', r.value, r.index, static_cast<int>(i), r.thread});
        }
        return out;
    }

    // Index of the first write of `kind` to `reg` (with `value`, unless -1) from entry `from` on; -1: none.
    int Find(char kind, int reg, int value = -1, int from = 0) const {
        for (const SWrite809& w : Writes(from))
            if (w.kind == kind && w.reg == reg && (value < 0 || w.value == value)) return w.index;
        return -1;
    }

    static int LogSize() { return kyrsim_log_count(); }

    // A 16-bit value in two sensor registers, low byte first.
    int Sensor16(int reg) const { return m_dev.sensor(reg) | (m_dev.sensor(reg + 1) << 8); }
};

#endif

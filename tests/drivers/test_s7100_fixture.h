// Fixture of the S7100 mono driver tests: the cooled camera with the DDR
// buffer, opened and initialised through the exported functions on the
// simulator, with its sensor and FPGA writes read from the request log.
#ifndef KYR_TEST_S7100_FIXTURE_H
#define KYR_TEST_S7100_FIXTURE_H

#include <utility>
#include <vector>

#include "ControlCalls.h"
#include "ModelFixture.h"
#include "kyrsim.hpp"
#include "modetable2/CCameraS7100MM_Pro.h"

constexpr int kPid7100 = 0x710e;
constexpr int kW7100 = 6248, kH7100 = 4176;

// Sensor registers.
constexpr int kReg7100Power = 0x000;   // bit 2 wake, bit 0 standby
constexpr int kReg7100Mode = 0x001;    // the mode tables' first row
constexpr int kReg7100Window = 0x007;  // 1 before the window's registers
constexpr int kReg7100StartY = 0x008;  // start row + the mode's offset, 2 bytes
constexpr int kReg7100Rows = 0x00A;    // 2 bytes
constexpr int kReg7100SHR = 0x018;     // 2 bytes
constexpr int kReg7100ADC = 0x02A;     // 0x0A 12-bit / high speed, 0x04 sensor bin
constexpr int kReg7100ConvGain = 0x02F;
constexpr int kReg7100Gain = 0x030;   // and its copy at 0x032, 2 bytes each
constexpr int kReg7100Digital = 0x040;
constexpr int kReg7100Offset = 0x042;  // and its copy at 0x044, 2 bytes each
constexpr int kReg7100Crop = 0x0A7;
constexpr int kReg7100StartX = 0x0A8;  // start x / 16, 2 bytes
constexpr int kReg7100BinMode = 0x1D8;
constexpr int kReg7100LineWidth = 0x1DD;  // 2 bytes
constexpr int kReg7100Stream = 0x1EE;     // 1 streams, 5 parks
// FPGA registers.
constexpr int kF7100Ctrl = 0, kF7100HBLK = 2, kF7100Width = 4, kF7100VBLK = 6, kF7100Height = 8;
constexpr int kF7100DataFmt = 10, kF7100VMAX = 16, kF7100HMAX = 19, kF7100Pace = 36, kF7100Bin = 39;
constexpr int kF7100DataLen = 64;
constexpr int kCtrl7100Stop = 0x10, kCtrl7100WaitTrig = 0xC0, kFmt7100ADC12 = 0x01, kFmt7100Out16 = 0x10;

// One register write as the camera received it: 'S' sensor, 'F' FPGA, 'R' a sensor read; its log index.
struct SWrite7100 {
    char kind;
    int reg, value;
    int index;
};

class C7100Test : public CModelTest {
  protected:
    C7100Test() : CModelTest({ModelClass<CCameraS7100MM_Pro>(kPid7100)}) {}

    // The sensor and FPGA writes (and sensor reads) of this camera from log entry `from` on.
    std::vector<SWrite7100> Writes(int from = 0) const {
        std::vector<SWrite7100> out;
        const std::vector<kyrsim::Request> log = kyrsim::requests();
        for (size_t i = static_cast<size_t>(from); i < log.size(); ++i) {
            const kyrsim::Request& r = log[i];
            if (r.device != m_dev.handle() || r.result < 0) continue;
            if (r.request == 0xB6 || r.request == 0xBD)
                out.push_back({r.request == 0xB6 ? 'S' : 'F', r.value, r.index, static_cast<int>(i)});
            else if (r.request == 0xB7)
                out.push_back({'R', r.value, 0, static_cast<int>(i)});
        }
        return out;
    }
    // The sensor writes from `from` on, as (register, value).
    std::vector<std::pair<int, int>> SensorWrites(int from) const {
        std::vector<std::pair<int, int>> out;
        for (const SWrite7100& w : Writes(from))
            if (w.kind == 'S') out.emplace_back(w.reg, w.value);
        return out;
    }
    // How many sensor writes of reg (with value) from `from` on.
    int CountSensor(int reg, int value, int from) const {
        int n = 0;
        for (const auto& w : SensorWrites(from)) n += w.first == reg && w.second == value;
        return n;
    }
    static int LogSize() { return kyrsim_log_count(); }

    int Sensor16(int reg) const { return m_dev.sensor(reg) | (m_dev.sensor(reg + 1) << 8); }
    int Fpga16(int reg) const { return m_dev.fpga(reg) | (m_dev.fpga(reg + 1) << 8); }
    int Fpga24(int reg) const { return Fpga16(reg) | (m_dev.fpga(reg + 2) << 16); }
    long Fpga32(int reg) const { return static_cast<long>(Fpga24(reg)) | (static_cast<long>(m_dev.fpga(reg + 3)) << 24); }

    CEngineDriver<CCameraCool>& Engine() { return *dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam); }
};

#endif

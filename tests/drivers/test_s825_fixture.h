// Fixture of the 825 driver tests: the uncooled and the cooled 825 on
// simulated cameras, opened and initialised through the exported functions,
// with the driver objects the factory made at hand for the checks a caller
// cannot make.
#ifndef KYR_TEST_S825_FIXTURE_H
#define KYR_TEST_S825_FIXTURE_H

#include <vector>

#include "ModelFixture.h"
#include "modetable1/CCameraS825MC.h"
#include "modetable1/CCameraS825MC_Pro.h"

constexpr int kPid825 = 0x825b;
constexpr int kPid825Pro = 0x825f;
constexpr int k825Pids[] = {kPid825, kPid825Pro};
constexpr int k825Width = 2712;
constexpr int k825Height = 1536;

// Registers every multi-register change writes inside the hold: gain and its
// switch, offset, shutter line, both frame lengths, sensor line length,
// start, window and the mode registers.
inline const std::vector<uint16_t>& HeldRegs825() {
    static const std::vector<uint16_t> regs = {
        0x3019, 0x30E8, 0x30E9, 0x3302, 0x3303, 0x3058, 0x3059, 0x305A, 0x3030, 0x3031, 0x3032, 0x3034,
        0x3035, 0x302C, 0x302D, 0x3074, 0x3075, 0x302E, 0x302F, 0x3076, 0x3077, 0x3018, 0x3050, 0x319D};
    return regs;
}

class C825Test : public CModelTest {
  protected:
    C825Test()
        : CModelTest({ModelClass<CCameraS825MC>(kPid825), ModelClass<CCameraS825MC_Pro>(kPid825Pro)}) {}

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }

    // 16-bit value of two sensor registers, low byte first; 24-bit of three.
    int Sensor16(int reg) { return m_dev.sensor(reg) | m_dev.sensor(reg + 1) << 8; }
    int Sensor24(int reg) { return Sensor16(reg) | m_dev.sensor(reg + 2) << 16; }
    long long FpgaVMAX() { return m_dev.fpgaWide(16, 3); }
    long long FpgaHMAX() { return m_dev.fpgaWide(19, 2); }
};

#endif

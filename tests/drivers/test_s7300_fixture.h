// Fixture of the S7100/S7300 family tests beyond the S7100 mono's own: all
// four classes (S7100 mono and colour, S7300 mono and colour) on simulated
// cameras, with the S7100 fixture's request-log readers.
#ifndef KYR_TEST_S7300_FIXTURE_H
#define KYR_TEST_S7300_FIXTURE_H

#include <vector>

#include "TestSpeed.h"
#include "modetable2/CCameraS7100MC_Pro.h"
#include "modetable2/CCameraS7300MC_Pro.h"
#include "modetable2/CCameraS7300MM_Pro.h"
#include "test_s7100_fixture.h"

constexpr int kPid7100MC = 0x710a;
constexpr int kPid7300 = 0x730b;
constexpr int kPid7300MC = 0x730a;
constexpr int kW7300 = 9576, kH7300 = 6388;

// S7300 sensor registers.
constexpr int kReg7300Mode = 0x001;     // the mode tables' first row
constexpr int kReg7300Window = 0x005;   // 1 before the window's registers
constexpr int kReg7300StartY = 0x006;   // start row + the mode's offset, 2 bytes
constexpr int kReg7300Rows = 0x008;     // 2 bytes
constexpr int kReg7300SHR = 0x016;      // 2 bytes
constexpr int kReg7300ConvGain = 0x02D;
constexpr int kReg7300Gain = 0x02E;     // and its copy at 0x030, 2 bytes each
constexpr int kReg7300Digital = 0x03E;
constexpr int kReg7300Offset = 0x040;   // and its copy at 0x042, 2 bytes each
constexpr int kReg7300Band = 0x04D;
constexpr int kReg7300Crop = 0x0A5;
constexpr int kReg7300StartX = 0x0A6;   // start x / 16, 2 bytes
constexpr int kReg7300BinMode = 0x187;
constexpr int kReg7300LineWidth = 0x18C;  // 2 bytes
constexpr int kReg7300Stream = 0x19E;     // 1 streams, 5 parks
// FPGA colour gains: red and blue.
constexpr int kFpgaGainRed = 12, kFpgaGainBlue = 15;

// One class of the family.
struct S7x00Class {
    int pid;
    const char* cls;
    bool s7300;
    bool color;
};
inline const std::vector<S7x00Class>& Classes7x00() {
    static const std::vector<S7x00Class> classes = {
        {kPid7100, "CCameraS7100MM_Pro", false, false},
        {kPid7100MC, "CCameraS7100MC_Pro", false, true},
        {kPid7300, "CCameraS7300MM_Pro", true, false},
        {kPid7300MC, "CCameraS7300MC_Pro", true, true},
    };
    return classes;
}

class C7x00Test : public C7100Test {
  protected:
    C7x00Test() {
        m_classes = {ModelClass<CCameraS7100MM_Pro>(kPid7100), ModelClass<CCameraS7100MC_Pro>(kPid7100MC),
                     ModelClass<CCameraS7300MM_Pro>(kPid7300), ModelClass<CCameraS7300MC_Pro>(kPid7300MC)};
    }
};

#endif

// Fixture of the 829 and 837 driver tests: the four classes on simulated
// cameras, opened and initialised through the exported functions, with the
// driver object the factory made at hand and one row of expected values per
// class.
#ifndef KYR_TEST_S829_837_FIXTURE_H
#define KYR_TEST_S829_837_FIXTURE_H

#include <vector>

#include "FpgaTimedFixture.h"
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
        {kPid829MM, "829MM", "VORN KYR829MM", 1632, 1248, 4.5, false, true, 23.15f, 10, 10, 20, 380, 480, 560,
         340, 88, 104},
        {kPid829Pro, "829MM Pro", "VORN KYR829MM Pro", 1632, 1248, 4.5, true, true, 3.18f, 1, 4, 10, 240, 480,
         560, 340, 88, 104},
        {kPid837Mini, "842MM Mini", "VORN KYR842MM Mini", 816, 624, 9.0, false, false, 23.15f, 1, 4, 10, 385,
         600, 175, 340, 728, 744},
        {kPid837Pro, "837MM Pro", "VORN KYR837MM Pro", 816, 624, 9.0, true, true, 23.15f, 1, 4, 10, 385, 600,
         175, 340, 728, 744},
    };
    for (const SClassRow& r : rows)
        if (r.pid == pid) return r;
    return rows[0];
}

inline bool Is829(int pid) { return pid == kPid829MM || pid == kPid829Pro; }

class C829837Test : public CFpgaTimedTest {
  protected:
    C829837Test()
        : CFpgaTimedTest({ModelClass<CCameraS829MM>(kPid829MM), ModelClass<CCameraS829MM_Pro>(kPid829Pro),
                          ModelClass<CCameraS837MM_Mini>(kPid837Mini),
                          ModelClass<CCameraS837MM_Pro>(kPid837Pro)}) {}
};

#endif

// Fixture of the 821 driver tests: the three 821 classes on simulated
// cameras, opened and initialised through the exported functions, with the
// driver object the factory made at hand.
#ifndef KYR_TEST_S821_FIXTURE_H
#define KYR_TEST_S821_FIXTURE_H

#include "FpgaTimedFixture.h"
#include "modetable1/CCameraS821MC.h"
#include "modetable1/CCameraS821MM.h"
#include "modetable1/CCameraS821MM_Pro.h"

constexpr int kPid821MM = 0x821a;
constexpr int kPid821Pro = 0x821e;
constexpr int kPid821MC = 0x821b;
constexpr int kPids821[] = {kPid821MM, kPid821Pro, kPid821MC};

class C821Test : public CFpgaTimedTest {
  protected:
    C821Test()
        : CFpgaTimedTest({ModelClass<CCameraS821MM>(kPid821MM), ModelClass<CCameraS821MM_Pro>(kPid821Pro),
                          ModelClass<CCameraS821MC>(kPid821MC)}) {}
};

inline const char* NameOf(int pid) {
    return pid == kPid821MM ? "821MM" : pid == kPid821Pro ? "821MM Pro" : "821MC";
}

#endif

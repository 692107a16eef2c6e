// Fixture of the 807 driver tests: the uncooled class on 0x811a and the cooled
// class with the DDR buffer on 0x811e and 0x807e, on simulated cameras opened
// and initialised through the exported functions. An open 807 holds about
// half a gigabyte: one camera at a time unless a test needs two.
#ifndef KYR_TEST_S807_FIXTURE_H
#define KYR_TEST_S807_FIXTURE_H

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "CropSensorFixture.h"
#include "modetable1/CCameraS807MM.h"
#include "modetable1/CCameraS807MM_Pro.h"

constexpr int kPid807 = 0x811a;
constexpr int kPid807Pro = 0x811e;
constexpr int kPid807e = 0x807e;

struct S807Row {
    int pid;
    const char* name;
    bool pro;  // cooled, with the DDR buffer
};
inline const std::vector<S807Row>& Rows807() {
    static const std::vector<S807Row> rows = {
        {kPid807, "CCameraS807MM", false},
        {kPid807Pro, "CCameraS807MM_Pro", true},
        {kPid807e, "CCameraS807MM_Pro (0x807e)", true},
    };
    return rows;
}

constexpr int kWaitMs807 = kCropWaitMs;

class C807Test : public CCropSensorTest {
  protected:
    C807Test()
        : CCropSensorTest({ModelClass<CCameraS807MM>(kPid807), ModelClass<CCameraS807MM_Pro>(kPid807Pro),
                           ModelClass<CCameraS807MM_Pro>(kPid807e)}) {}
};

#endif

// Fixture of the 811 driver tests: the uncooled class on 0x811b and the
// cooled class with the DDR buffer on 0x811f, on simulated cameras opened and
// initialised through the exported functions.
#ifndef KYR_TEST_S811_FIXTURE_H
#define KYR_TEST_S811_FIXTURE_H

#include <vector>

#include "CropSensorFixture.h"
#include "modetable1/CCameraS811MC.h"
#include "modetable1/CCameraS811MC_Pro.h"

constexpr int kPid811 = 0x811b;
constexpr int kPid811Pro = 0x811f;

struct S811Row {
    int pid;
    const char* name;
    bool pro;  // cooled, with the DDR buffer
};
inline const std::vector<S811Row>& Rows811() {
    static const std::vector<S811Row> rows = {
        {kPid811, "CCameraS811MC", false},
        {kPid811Pro, "CCameraS811MC_Pro", true},
    };
    return rows;
}

class C811Test : public CCropSensorTest {
  protected:
    C811Test()
        : CCropSensorTest({ModelClass<CCameraS811MC>(kPid811), ModelClass<CCameraS811MC_Pro>(kPid811Pro)}) {}

    // Line time of the line length in force (half of HMAX's), microseconds.
    double LineUs() { return m_pCam->m_usHMAX * 1000.0 / 20000 / 2; }
};

#endif

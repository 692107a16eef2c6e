// The hold property of the engine's classes: whatever a caller does through
// the exported functions, every write of a register the sensor takes only
// inside its hold lies inside one, holds never nest, and the hold ends
// released. One row per class, with the registers its sensor holds.
#include <vector>

#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "modetable1/CCameraS817MC.h"
#include "modetable1/CCameraS817MC_Pro.h"
#include "modetable1/CCameraS820MC.h"
#include "modetable1/CCameraS820MC_Pro.h"
#include "modetable1/CCameraS832MC.h"
#include "modetable1/CCameraS832MC_Pro.h"

namespace {

// Gain, offset, shutter line, sensor line length, window start and size.
const std::vector<uint16_t> kSonyCommon = {0x3030, 0x30DC, 0x30DD, 0x3050, 0x3051, 0x3052, 0x302C, 0x302D,
                                           0x303C, 0x303D, 0x3044, 0x3045, 0x303E, 0x303F, 0x3046, 0x3047};

std::vector<uint16_t> With(std::vector<uint16_t> regs, std::initializer_list<uint16_t> more) {
    regs.insert(regs.end(), more);
    return regs;
}

struct SHoldRow {
    const char* name;
    SModelClass cls;
    std::vector<uint16_t> held;
};

const std::vector<SHoldRow>& HoldRows() {
    static const std::vector<SHoldRow> rows = {
        {"CCameraS832MC", ModelClass<CCameraS832MC>(0x832b), With(kSonyCommon, {0x306C, 0x306D})},
        {"CCameraS832MC_Pro", ModelClass<CCameraS832MC_Pro>(0x832f), With(kSonyCommon, {0x306C, 0x306D})},
        {"CCameraS817MC", ModelClass<CCameraS817MC>(0x817b), With(kSonyCommon, {0x3070, 0x3071, 0x3C38})},
        {"CCameraS817MC_Pro", ModelClass<CCameraS817MC_Pro>(0x817f),
         With(kSonyCommon, {0x3070, 0x3071, 0x3C38})},
        {"CCameraS820MC", ModelClass<CCameraS820MC>(0x820b), With(kSonyCommon, {0x3070, 0x3071})},
        {"CCameraS820MC_Pro", ModelClass<CCameraS820MC_Pro>(0x820f), With(kSonyCommon, {0x3070, 0x3071})},
    };
    return rows;
}

std::vector<SModelClass> AllClasses() {
    std::vector<SModelClass> classes;
    for (const SHoldRow& row : HoldRows()) classes.push_back(row.cls);
    return classes;
}

class CEngineHoldTest : public CModelTest {
  protected:
    CEngineHoldTest() : CModelTest(AllClasses()) {}
};

TEST_F(CEngineHoldTest, EveryCallerChangeKeepsTheHeldRegistersInsideOneHold) {
    for (const SHoldRow& row : HoldRows()) {
        SCOPED_TRACE(row.name);
        for (int id = 0; id < 8; ++id) KYRCloseCamera(id);
        kyrsim::reset();
        ASSERT_NE(Setup(row.cls.iPID), nullptr);
        const auto set = [](KYR_CONTROL_TYPE type, long v) {
            return KYRSetControlValue(0, type, v, KYR_FALSE);
        };
        EXPECT_EQ(set(KYR_GAIN, 100), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_GAIN, 400), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_OFFSET, 20), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_EXPOSURE, 3000), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_EXPOSURE, 40000), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_BANDWIDTH, 60), KYR_SUCCESS);
        EXPECT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(KYRSetStartPos(0, 37, 21), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        EXPECT_EQ(KYRSetROIFormat(0, 320, 240, 2, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_HARDWARE_BIN, 0), KYR_SUCCESS);
        EXPECT_EQ(set(KYR_HIGH_SPEED_MODE, 0), KYR_SUCCESS);
        EXPECT_TRUE(Locked([&] { return m_pCam->SetEnableDDR(false); }));
        EXPECT_EQ(set(KYR_BANDWIDTH, 90), KYR_SUCCESS);
        const SHoldReport report = CheckHolds(m_dev.handle(), row.held);
        EXPECT_TRUE(report.Clean()) << report.Text();
        EXPECT_GT(report.iHolds, 20);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
}

}  // namespace

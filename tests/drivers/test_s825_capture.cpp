// The 825 classes end to end: video and single exposures through the
// exported functions on the simulated cameras, every image type at bins 1
// and 2, flips and small off-centre windows, checked against the frame the
// camera sent; at bin 2 the whole readout comes and the software bins it.
#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s825_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, -1, -1},
    {320, 240, 1, IMG_RAW8, false, true, true, 97, 41},
    {160, 120, 1, IMG_RAW16, false, false, true, 2000, 1300},
    {160, 120, 1, IMG_RAW16, false, true, false, 13, 7},
    {320, 240, 1, IMG_Y8, false, false, false, 1000, 600},
    {320, 240, 1, IMG_RGB24, false, false, true, 1001, 603},
    {160, 120, 2, IMG_RAW8, false, false, false, 200, 100},
    {160, 120, 2, IMG_RAW16, false, true, true, 1100, 600},
    {160, 120, 2, IMG_RGB24, false, false, false, 200, 177},
    {160, 120, 2, IMG_Y8, false, false, true, 0, 0},
    {80, 64, 2, IMG_RGB24, false, true, true, 13, 7},
    {80, 64, 2, IMG_Y8, false, true, false, 1200, 700},
};

class C825CaptureTest : public C825Test, public ::testing::WithParamInterface<int> {};

TEST_P(C825CaptureTest, ImagesMatchTheSentFrameInEveryFormat) {
    const int pid = GetParam();
    ASSERT_NE(Fresh(pid), nullptr);
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    for (const SContentCase& c : kContent) {
        SCOPED_TRACE(ContentCaseText(c));
        ASSERT_NO_FATAL_FAILURE(SetContentCase(c));
        // The whole readout comes; the software bins it.
        const SReadout r = Readout();
        EXPECT_EQ(r.iSoftBin, c.bin);
        EXPECT_EQ(r.iFrameBytes, c.w * c.bin * c.h * c.bin * (c.type == IMG_RAW16 ? 2 : 1));
        ASSERT_NO_FATAL_FAILURE(ExpectImageOfSentFrame(c, m_dev.handle(), r, kWaitMs));
    }
}

std::string ClassName(const ::testing::TestParamInfo<int>& info) {
    return info.param == kPid825 ? "S825MC" : "S825MC_Pro";
}

INSTANTIATE_TEST_SUITE_P(EveryClass, C825CaptureTest, ::testing::ValuesIn(k825Pids), ClassName);

}  // namespace

// The 815 and 801 classes end to end: video and single exposures through the
// exported functions on the simulated cameras, every image type, bins with
// and without the hardware bin, flips and small off-centre windows, checked
// against the frame the camera sent; the 801's hardware-bin frame is the
// whole readout, binned by the software.
#include "FrameReference.h"
#include "TestSpeed.h"
#include "test_s815_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, -1, -1},
    {320, 240, 1, IMG_RAW8, false, true, true, 97, 41},
    {320, 240, 1, IMG_RAW16, false, false, true, 100, 300},
    {320, 240, 1, IMG_RAW16, false, true, false, -1, -1},
    {320, 240, 1, IMG_Y8, false, false, false, 1000, 600},
    {320, 240, 1, IMG_RGB24, false, false, true, 1000, 600},
    {160, 120, 2, IMG_RAW8, true, false, false, 200, 100},
    {160, 120, 2, IMG_RAW16, true, true, true, -1, -1},
    {160, 120, 2, IMG_RGB24, false, false, false, 200, 177},
    {160, 120, 2, IMG_Y8, true, false, true, 0, 0},
    {160, 120, 2, IMG_RAW8, false, true, true, 13, 7},
};
// The 815 also bins 4 (2 x 2 in the sensor with the hardware bin).
const SContentCase kContent815[] = {
    {80, 60, 4, IMG_RAW8, true, false, true, 400, 200},
    {80, 60, 4, IMG_RGB24, true, true, false, -1, -1},
    {80, 60, 4, IMG_RAW16, false, false, false, 48, 176},
};

class CFamilyCaptureTest : public CFamilyTest {
  protected:
    void Open(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_FLIP, 0), KYR_SUCCESS);
    }
    std::vector<unsigned char> SentFrame(int frameBytes) {
        std::vector<unsigned char> f(static_cast<size_t>(frameBytes));
        EXPECT_EQ(kyrsim_last_frame(m_dev.handle(), f.data(), frameBytes), frameBytes);
        return f;
    }
};

// One class a run, so that each stays short where the tests run emulated.
class CFamilyContentTest : public CFamilyCaptureTest, public ::testing::WithParamInterface<int> {};

TEST_P(CFamilyContentTest, ImagesMatchTheSentFrameInEveryFormat) {
    const int pid = GetParam();
    ASSERT_NO_FATAL_FAILURE(Open(pid));
    std::vector<SContentCase> cases(std::begin(kContent), std::end(kContent));
    if (Is815(pid)) cases.insert(cases.end(), std::begin(kContent815), std::end(kContent815));
    for (const SContentCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                                        << (c.hardwareBin ? " hw" : "") << (c.flip ? " flip" : "")
                                        << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hardwareBin ? 1 : 0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        if (c.x >= 0) {
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        }
        ASSERT_EQ(Set(KYR_FLIP, c.flip ? 3 : 0), KYR_SUCCESS);
        const SReadout r = Readout();
        // The 801's hardware bin leaves the whole readout to the software.
        EXPECT_EQ(r.iSoftBin, Is815(pid) && c.hardwareBin ? c.bin / 2 : c.bin);
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
        const std::vector<unsigned char> sent = SentFrame(r.iFrameBytes);
        EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
    }
}

std::string ClassName(const ::testing::TestParamInfo<int>& info) {
    static const char* const kNames[] = {"S815MC", "S815MC_Pro", "S801MC", "S801MC_Pro"};
    return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(EveryClass, CFamilyContentTest, ::testing::ValuesIn(kFamilyPids), ClassName);

TEST_F(CFamilyCaptureTest, The801sHardwareBinFrameIsTheWholeReadoutBinnedBySoftware) {
    for (int pid : {kPid801, kPid801Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NO_FATAL_FAILURE(Open(pid));
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 1308, 980, 2, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), 12);
        std::vector<unsigned char> img(1308u * 980u);
        ASSERT_TRUE(CaptureImage(false, &img, kWaitMs));
        const std::vector<unsigned char> sent = m_dev.lastFrame();
        ASSERT_EQ(sent.size(), 5127360u);
        // The image is the software's 2 x 2 colour bin of the whole frame.
        const SReadout r = Readout();
        EXPECT_EQ(r.iCols, 2616);
        EXPECT_EQ(r.iRows, 1960);
        EXPECT_EQ(r.iSoftBin, 2);
        const std::vector<unsigned char> want = ReferenceImage(sent, 1308, 980, IMG_RAW8, false, r);
        EXPECT_TRUE(img == want);
        EXPECT_FALSE(img == std::vector<unsigned char>(sent.begin(), sent.begin() + img.size()));
    }
}

}  // namespace

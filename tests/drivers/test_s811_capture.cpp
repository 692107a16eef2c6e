// The 811 classes end to end: video and single exposures through the
// exported functions on the simulated cameras, every image type, every bin
// (all binned by the software) and small off-centre windows, checked against
// the frame the camera sent; colour in blue, green, red order and luminance
// from the colour.
#include "CaptureCheck.h"
#include "FrameReference.h"
#include "test_s811_fixture.h"

namespace {

const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, -1, -1},  {320, 240, 1, IMG_RAW16, false, true, true, 1000, 600},
    {320, 240, 1, IMG_RGB24, false, false, true, 97, 41},   {320, 240, 1, IMG_Y8, false, false, false, 2000, 13},
    {160, 120, 2, IMG_RAW8, false, false, true, 200, 100},  {160, 120, 2, IMG_RGB24, false, true, false, 13, 7},
    {96, 80, 3, IMG_RAW16, false, false, false, 300, 200},  {96, 80, 3, IMG_Y8, false, false, true, -1, -1},
    {80, 60, 4, IMG_RAW8, false, true, false, 400, 200},    {80, 60, 4, IMG_RGB24, false, false, true, 48, 176},
    {80, 60, 4, IMG_RAW16, false, false, true, 900, 600},
};

class C811CaptureTest : public C811Test, public ::testing::WithParamInterface<int> {
  protected:
    void Open(int pid) {
        ASSERT_NE(SetupRow(pid), nullptr);
        ASSERT_TRUE(SetExposure(2000));
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAMMA, 50, KYR_FALSE), KYR_SUCCESS);
    }
};

TEST_P(C811CaptureTest, ImagesMatchTheSentFrameInEveryFormatAndBin) {
    ASSERT_NO_FATAL_FAILURE(Open(GetParam()));
    for (const SContentCase& c : kContent) {
        SCOPED_TRACE(ContentCaseText(c));
        ASSERT_NO_FATAL_FAILURE(SetContentCase(c));
        const SReadout r = Readout();
        EXPECT_EQ(r.iSoftBin, c.bin);
        ASSERT_NO_FATAL_FAILURE(ExpectImageOfSentFrame(c, m_dev.handle(), r, kCropWaitMs));
    }
}

// The colour bars of the scene's top third in blue, green, red order, and the
// same window in Y8 as their luminance (0.257 R + 0.504 G + 0.098 B).
TEST_P(C811CaptureTest, ColourComesInBlueGreenRedOrderAndY8IsItsLuminance) {
    ASSERT_NO_FATAL_FAILURE(Open(GetParam()));
    constexpr int kW = 1024, kH = 48;
    ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RGB24), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    std::vector<unsigned char> rgb(kW * kH * 3);
    ASSERT_TRUE(CaptureImage(false, &rgb, kCropWaitMs));
    // White, yellow, cyan, green, magenta, red, blue, black.
    static const int kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
    for (int bar = 0; bar < 8; ++bar) {
        const unsigned char* px = &rgb[(8u * kW + bar * kW / 8 + kW / 16) * 3];
        SCOPED_TRACE(bar);
        EXPECT_EQ(px[0] > 128, (kBars[bar] & 1) != 0);  // blue
        EXPECT_EQ(px[1] > 128, (kBars[bar] & 2) != 0);  // green
        EXPECT_EQ(px[2] > 128, (kBars[bar] & 4) != 0);  // red
    }
    ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_Y8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    std::vector<unsigned char> y8(kW * kH);
    ASSERT_TRUE(CaptureImage(true, &y8, kCropWaitMs));
    int off = 0;
    for (int i = 0; i < kW * kH; ++i) {
        const unsigned char* px = &rgb[static_cast<size_t>(i) * 3];
        const double luma = 0.257 * px[2] + 0.504 * px[1] + 0.098 * px[0];
        if (std::abs(y8[i] - luma) > 1.0) ++off;
    }
    EXPECT_EQ(off, 0);
}

std::string ClassName(const ::testing::TestParamInfo<int>& info) {
    return info.param == kPid811 ? "S811MC" : "S811MC_Pro";
}

INSTANTIATE_TEST_SUITE_P(EveryClass, C811CaptureTest, ::testing::Values(kPid811, kPid811Pro), ClassName);

}  // namespace

// The colour classes of the S7100/S7300 family end to end: RGB24 in blue,
// green, red order and Y8 as its luminance, the marker words repaired from
// two rows away, the sensor's hardware bins 2, 3 and 4 delivered as the
// camera sent them, and automatic white balance on slow video frames, which
// moves the FPGA's colour gains on the colour classes only.
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "CaptureCheck.h"
#include "test_s7300_fixture.h"

namespace {

constexpr int kWaitMs = 8000 * kTestSlowdown;

class C7x00ColourTest : public C7x00Test, public ::testing::WithParamInterface<int> {
  protected:
    void Open(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }
    int MaxWidth() const { return GetParam() == kPid7100MC ? kW7100 : kW7300; }
};

// The scene's colour bars over the top of the sensor, the whole width at
// once: white, yellow, cyan, green, magenta, red, blue, black.
TEST_P(C7x00ColourTest, ColourComesInBlueGreenRedOrderAndY8IsItsLuminance) {
    ASSERT_NO_FATAL_FAILURE(Open(GetParam()));
    const int w = MaxWidth(), h = 48;
    ASSERT_EQ(KYRSetROIFormat(0, w, h, 1, IMG_RGB24), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    ASSERT_TRUE(CaptureImage(false, &rgb, kWaitMs));
    static const int kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
    for (int bar = 0; bar < 8; ++bar) {
        const unsigned char* px = &rgb[(8u * w + bar * w / 8 + w / 16) * 3];
        SCOPED_TRACE(bar);
        EXPECT_EQ(px[0] > 128, (kBars[bar] & 1) != 0);  // blue
        EXPECT_EQ(px[1] > 128, (kBars[bar] & 2) != 0);  // green
        EXPECT_EQ(px[2] > 128, (kBars[bar] & 4) != 0);  // red
    }
    ASSERT_EQ(KYRSetROIFormat(0, w, h, 1, IMG_Y8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    std::vector<unsigned char> y8(static_cast<size_t>(w) * h);
    ASSERT_TRUE(CaptureImage(true, &y8, kWaitMs));
    int off = 0;
    for (size_t i = 0; i < y8.size(); ++i) {
        const unsigned char* px = &rgb[i * 3];
        const double luma = 0.257 * px[2] + 0.504 * px[1] + 0.098 * px[0];
        if (abs(y8[i] - static_cast<int>(luma + 0.5)) > 1) ++off;
    }
    EXPECT_EQ(off, 0);
}

// At bin 1 the first and last four bytes of a raw frame are the camera's
// markers: they come back as the bytes two rows away, where the Bayer
// phase is the same.
TEST_P(C7x00ColourTest, TheMarkerWordsAreRepairedFromTwoRowsAway) {
    ASSERT_NO_FATAL_FAILURE(Open(GetParam()));
    for (IMG_TYPE type : {IMG_RAW8, IMG_RAW16}) {
        SCOPED_TRACE(type);
        constexpr int kW = 320, kH = 240;
        ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, type), KYR_SUCCESS);
        const size_t row = static_cast<size_t>(kW) * ImageBytesPerPixel(type);
        std::vector<unsigned char> img(row * kH);
        ASSERT_TRUE(CaptureImage(false, &img, kWaitMs));
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), static_cast<int>(img.size()));
        ASSERT_EQ(sent.size(), img.size());
        EXPECT_EQ(memcmp(img.data(), sent.data() + 2 * row, 4), 0);
        EXPECT_EQ(memcmp(img.data() + img.size() - 4, sent.data() + sent.size() - 4 - 2 * row, 4), 0);
        EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0);
    }
}

// The sensor bins 2 x 2 at bins 2 and 4 and 3 x 3 at bin 3, keeping the
// mosaic; bin 4 is finished by the software's colour binning. Each image is
// the scene's window as the sensor bins it.
TEST_P(C7x00ColourTest, HardwareBinsDeliverTheSensorsFrameInEveryType) {
    ASSERT_NO_FATAL_FAILURE(Open(GetParam()));
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    const SContentCase cases[] = {
        {320, 240, 2, IMG_RAW8, true, false, false, -1, -1},  {320, 240, 2, IMG_RGB24, true, true, true, 96, 40},
        {240, 160, 3, IMG_Y8, true, false, true, 32, 12},     {240, 160, 3, IMG_RAW16, true, false, false, -1, -1},
        {160, 120, 4, IMG_RGB24, true, false, false, 16, 8},  {160, 120, 4, IMG_RAW16, true, true, true, -1, -1},
        {160, 120, 4, IMG_Y8, true, false, false, -1, -1},
    };
    for (const SContentCase& c : cases) {
        SCOPED_TRACE(ContentCaseText(c));
        ASSERT_NO_FATAL_FAILURE(SetContentCase(c));
        const SReadout r = Readout();
        EXPECT_EQ(r.iSensorFactor, c.bin == 3 ? 3 : 2);
        EXPECT_EQ(r.iSoftBin, c.bin == 4 ? 2 : 1);
        ASSERT_NO_FATAL_FAILURE(ExpectImageOfScene(c, {m_dev.handle(), false, 10, 2}, r, kWaitMs));
    }
}

std::string ClassName(const ::testing::TestParamInfo<int>& info) {
    return info.param == kPid7100MC ? "S7100MC_Pro" : "S7300MC_Pro";
}

INSTANTIATE_TEST_SUITE_P(ColourClasses, C7x00ColourTest, ::testing::Values(kPid7100MC, kPid7300MC), ClassName);

// Slow video frames (200 ms) with automatic white balance: the capture
// thread steps the white balance on each frame it takes. A window inside
// the yellow bar of the sensor's scene has too little blue: the blue gain rises, and
// the FPGA's colour gains follow the white balance read back. The mono
// classes keep unity gains.
TEST_F(C7x00Test, SlowVideoFramesStepTheWhiteBalanceOfTheColourClassesOnly) {
    for (const S7x00Class& cls : Classes7x00()) {
        SCOPED_TRACE(cls.cls);
        ASSERT_NE(Fresh(cls.pid), nullptr);
        constexpr int kW = 320, kH = 96;
        ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8), KYR_SUCCESS);
        // Inside the second eighth of the sensor's width, in its top third.
        ASSERT_EQ(KYRSetStartPos(0, cls.s7300 ? 1200 : 800, 0), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 200000), KYR_SUCCESS);
        if (cls.color) {
            ASSERT_EQ(KYRSetControlValue(0, KYR_WB_R, 50, KYR_TRUE), KYR_SUCCESS);
            ASSERT_EQ(KYRSetControlValue(0, KYR_WB_B, 50, KYR_TRUE), KYR_SUCCESS);
        }
        EXPECT_EQ(m_dev.fpga(kFpgaGainBlue), cls.color ? 50 * 256 / 100 : 128);
        std::vector<unsigned char> img(kW * kH);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS) << i;
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        if (cls.color) {
            long red = 0, blue = 0;
            KYR_BOOL bAuto = KYR_FALSE;
            ASSERT_EQ(KYRGetControlValue(0, KYR_WB_R, &red, &bAuto), KYR_SUCCESS);
            ASSERT_EQ(KYRGetControlValue(0, KYR_WB_B, &blue, &bAuto), KYR_SUCCESS);
            EXPECT_EQ(bAuto, KYR_TRUE);
            EXPECT_GT(blue, 50);
            EXPECT_EQ(m_dev.fpga(kFpgaGainRed), red * 256 / 100);
            EXPECT_EQ(m_dev.fpga(kFpgaGainBlue), blue * 256 / 100);
        } else {
            EXPECT_EQ(m_dev.fpga(kFpgaGainRed), 128);
            EXPECT_EQ(m_dev.fpga(kFpgaGainBlue), 128);
        }
    }
}

}  // namespace

// The S7100 mono camera's images as a caller gets them: video and single
// exposures through the exported functions, every image type, bins with the
// sensor's binning on and off, both flips, small, off-centre and clamped
// windows: the frame the simulated camera sent is the sensor's window of its
// scene, and the image is that frame finished in the test (markers from one
// row away, neighbouring pixels binned, grey forms of Y8 and RGB24); a window
// at the sensor's 3 x 3 binning starts where it was asked to; the 10
// significant bits of the sensor's 10-bit modes.
#include <string.h>

#include <algorithm>
#include <vector>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;
// Where a start asked for lies beyond the sensor's right edge.
constexpr int kFarRight = 6000;

// w, h, bin, type, hardware bin, both flips, single exposure, start (binned; -1: centred).
const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, -1, -1},
    {320, 240, 1, IMG_RAW8, true, true, true, 48, 40},
    {320, 240, 1, IMG_Y8, false, false, true, 800, 600},
    {320, 240, 1, IMG_Y8, false, true, false, -1, -1},
    {320, 240, 1, IMG_RGB24, false, false, false, 96, 64},
    {320, 240, 1, IMG_RGB24, true, true, true, kFarRight, 1000},
    {320, 240, 1, IMG_RAW16, false, false, true, 16, 2},
    {320, 240, 1, IMG_RAW16, false, true, false, kFarRight, 500},
    {160, 120, 2, IMG_RAW8, true, false, false, 100, 50},
    {160, 120, 2, IMG_RAW16, false, true, true, -1, -1},
    {160, 120, 2, IMG_Y8, false, false, false, kFarRight, 100},
    {160, 120, 2, IMG_RGB24, true, false, true, 1200, 700},
    {160, 120, 3, IMG_RAW8, true, true, true, 200, 100},
    {160, 120, 3, IMG_RAW16, true, false, false, kFarRight, 0},
    {160, 120, 3, IMG_RGB24, false, false, true, 40, 40},
    {160, 120, 3, IMG_RAW8, false, true, false, -1, -1},
    {160, 120, 4, IMG_RAW8, true, false, true, -1, -1},
    {160, 120, 4, IMG_RAW16, true, true, false, 300, 200},
    {160, 120, 4, IMG_RGB24, false, false, false, -1, -1},
    {160, 120, 4, IMG_RAW16, false, false, true, kFarRight, 900},
    {160, 120, 4, IMG_Y8, true, true, true, 1400, 10},
};

// The grey image of w x h a mono camera makes of the frame it sent: the
// first and last 4 bytes from one row away, each b x b block of neighbouring
// pixels binned (8-bit: the sum up to 255; 16-bit: the mean), turned by 180
// degrees when flipped, and given as RAW8/Y8 (the grey bytes), RGB24 (each
// three times) or RAW16.
std::vector<unsigned char> GreyImage(std::vector<unsigned char> frame, const SContentCase& c, const SReadout& r) {
    const size_t bpp = r.b16 ? 2 : 1;
    const size_t rowBytes = static_cast<size_t>(r.iCols) * bpp;
    const size_t n = frame.size();
    memcpy(frame.data(), frame.data() + rowBytes, 4);
    memcpy(frame.data() + n - 4, frame.data() + n - 4 - rowBytes, 4);
    auto at = [&](size_t x, size_t y) {
        const size_t i = (y * r.iCols + x) * bpp;
        return bpp == 1 ? frame[i] : frame[i] | frame[i + 1] << 8;
    };
    const int b = r.iSoftBin;
    const size_t pixels = static_cast<size_t>(c.w) * c.h;
    std::vector<unsigned> grey(pixels);
    for (int y = 0; y < c.h; ++y) {
        for (int x = 0; x < c.w; ++x) {
            unsigned sum = 0;
            for (int j = 0; j < b; ++j)
                for (int i = 0; i < b; ++i) sum += at(static_cast<size_t>(x) * b + i, static_cast<size_t>(y) * b + j);
            grey[static_cast<size_t>(y) * c.w + x] = r.b16 ? sum / (b * b) : std::min(sum, 255u);
        }
    }
    if (c.flip) std::reverse(grey.begin(), grey.end());
    const int outBpp = ImageBytesPerPixel(c.type);
    std::vector<unsigned char> img(pixels * outBpp);
    for (size_t i = 0; i < pixels; ++i) {
        for (int k = 0; k < outBpp; ++k)
            img[i * outBpp + k] = static_cast<unsigned char>(c.type == IMG_RAW16 && k == 1 ? grey[i] >> 8 : grey[i]);
    }
    return img;
}

class C7100ReadoutTest : public C7100Test {
  protected:
    void SetUp() override {
        C7100Test::SetUp();
        ASSERT_NE(Setup(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }

    // Camera 0 in the case's format, start and flips, the hardware bin as it asks.
    void SetCase(const SContentCase& c) {
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hardwareBin), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(SetContentCase(c));
    }
};

TEST_F(C7100ReadoutTest, ImagesAreTheSentFrameFinishedAsGreyInEveryFormat) {
    for (const SContentCase& c : kContent) {
        SCOPED_TRACE(ContentCaseText(c) + (c.hardwareBin ? " hardware bin" : ""));
        ASSERT_NO_FATAL_FAILURE(SetCase(c));
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        if (c.x == kFarRight) {
            // Kept on the sensor, at its right edge but for the start's alignment.
            EXPECT_LE((x + c.w) * c.bin, kW7100);
            EXPECT_LT(kW7100 - (x + c.w) * c.bin, 16 + c.bin);
        }
        const SReadout r = Readout();
        EXPECT_EQ(r.iCols, c.w * r.iSoftBin);
        EXPECT_EQ(r.iRows, c.h * r.iSoftBin);
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), r.iFrameBytes);
        ASSERT_FALSE(sent.empty());
        // The sensor's window from the start the camera reports; its 10-bit
        // modes are the ones it bins in.
        const int bits = r.iSensorFactor > 1 ? 10 : 12;
        EXPECT_TRUE(SameExceptEnds(sent, ExpectedSensorFrame(m_dev.handle(), x * c.bin, y * c.bin, r, true, bits)));
        EXPECT_TRUE(img == GreyImage(sent, c, r));
        if (c.type == IMG_RGB24) {
            size_t unequal = 0;
            for (size_t i = 0; i < img.size(); i += 3) unequal += img[i] != img[i + 1] || img[i] != img[i + 2];
            EXPECT_EQ(unequal, 0u) << "RGB24 pixels of three unequal bytes";
        }
        if (r.iSoftBin == 1 && !c.flip && c.type != IMG_RGB24) {
            // The markers' bytes come from one row below and one row above;
            // every other byte is the sent one.
            const size_t row = static_cast<size_t>(r.iCols) * (r.b16 ? 2 : 1);
            const size_t n = sent.size();
            ASSERT_EQ(img.size(), n);
            EXPECT_EQ(memcmp(img.data(), sent.data() + row, 4), 0);
            EXPECT_EQ(memcmp(img.data() + n - 4, sent.data() + n - 4 - row, 4), 0);
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, n - 8), 0);
        }
    }
}

// The sensor bins 3 x 3 the window that starts where the caller asked (on
// the start's alignment: 16 sensor columns, 6 rows), in video and in single
// exposures, raw and grey.
TEST_F(C7100ReadoutTest, AWindowAtHardwareBinThreeIsTheScenesBinnedWindowAtTheStartAsked) {
    const SContentCase cases[] = {
        {640, 480, 3, IMG_RAW8, true, false, false, 320, 200},
        {640, 480, 3, IMG_RAW16, true, false, true, 960, 600},
        {640, 480, 3, IMG_RAW8, true, true, true, 0, 0},
        {640, 480, 3, IMG_Y8, true, false, false, 1424, 902},
    };
    for (const SContentCase& c : cases) {
        SCOPED_TRACE(ContentCaseText(c));
        ASSERT_NO_FATAL_FAILURE(SetCase(c));
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
        const SReadout r = Readout();
        ASSERT_EQ(r.iSensorFactor, 3);
        ASSERT_EQ(r.iSoftBin, 1);
        ExpectImageOfScene(c, {m_dev.handle(), true, 10, 1}, r, kWaitMs);
    }
}

// The scene does not change from frame to frame: the grey forms of one
// window are the raw image itself, Y8 byte for byte and RGB24 three times.
TEST_F(C7100ReadoutTest, Y8IsTheRawImageAndRGB24ItsBytesThreeTimes) {
    const struct {
        int w, h, bin;
        bool hardwareBin, flip;
    } windows[] = {{320, 240, 1, false, false}, {160, 120, 2, true, true}, {160, 120, 3, false, false}};
    for (const auto& wnd : windows) {
        SCOPED_TRACE(testing::Message() << wnd.w << "x" << wnd.h << " bin " << wnd.bin << (wnd.flip ? " flip" : ""));
        std::vector<unsigned char> images[3];
        const IMG_TYPE types[3] = {IMG_RAW8, IMG_Y8, IMG_RGB24};
        for (int t = 0; t < 3; ++t) {
            const SContentCase c = {wnd.w, wnd.h, wnd.bin, types[t], wnd.hardwareBin, wnd.flip, false, 64, 48};
            ASSERT_NO_FATAL_FAILURE(SetCase(c));
            images[t].assign(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
            ASSERT_TRUE(CaptureImage(false, &images[t], kWaitMs));
        }
        EXPECT_TRUE(images[1] == images[0]);
        ASSERT_EQ(images[2].size(), 3 * images[0].size());
        size_t differ = 0;
        for (size_t i = 0; i < images[0].size(); ++i)
            for (size_t k = 0; k < 3; ++k) differ += images[2][3 * i + k] != images[0][i];
        EXPECT_EQ(differ, 0u) << "RGB24 bytes other than the raw pixel's";
    }
}

// RAW16 is left-aligned: the 10-bit modes (high speed, the sensor's bins)
// leave the low 6 bits clear, the 12-bit mode only the low 4.
TEST_F(C7100ReadoutTest, TenBitModesGiveTenSignificantBitsInRAW16) {
    const struct {
        const char* what;
        bool highSpeed, hardwareBin;
        int bin;
        int significantBits;
    } modes[] = {
        {"12-bit", false, false, 1, 12},
        {"high speed", true, false, 1, 10},
        {"sensor bin 2", false, true, 2, 10},
        {"sensor bin 3", false, true, 3, 10},
    };
    for (const auto& m : modes) {
        SCOPED_TRACE(m.what);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, m.highSpeed), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, m.hardwareBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, m.bin, IMG_RAW16), KYR_SUCCESS);
        std::vector<unsigned char> img(320u * 240 * 2);
        ASSERT_TRUE(CaptureImage(false, &img, kWaitMs));
        const unsigned clear = (1u << (16 - m.significantBits)) - 1;
        unsigned any = 0;
        for (size_t i = 0; i < img.size(); i += 2) any |= img[i] | img[i + 1] << 8;
        EXPECT_EQ(any & clear, 0u);
        // The lowest significant bit is used somewhere: the depth is not smaller.
        EXPECT_NE(any & (clear + 1), 0u);
    }
}

}  // namespace

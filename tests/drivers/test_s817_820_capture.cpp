// The 817 and 820 classes end to end: video and single exposures through the
// exported functions on the simulated cameras, every image type, bins with
// the sensor's binning, small windows away from the centre, checked against
// the frame the camera sent.
#include <string.h>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s817_820_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

// Hardware binning on throughout: bins 2 and 4 are the sensor's. Starts in
// binned pixels, as callers give them.
const SContentCase kCommon[] = {
    {320, 240, 1, IMG_RAW8, true, false, false, 100, 60},
    {320, 240, 1, IMG_RAW16, true, true, true, 1200, 700},
    {320, 240, 1, IMG_Y8, true, false, true, 64, 800},
    {320, 240, 1, IMG_RGB24, true, true, false, 1500, 40},
    {160, 120, 2, IMG_RAW8, true, false, true, 200, 100},
    {160, 120, 2, IMG_RAW16, true, true, false, 700, 300},
    {160, 120, 2, IMG_RGB24, true, false, false, 40, 400},
    {160, 120, 2, IMG_Y8, true, true, true, 600, 200},
};
const SContentCase k820Only[] = {
    {96, 64, 4, IMG_RAW8, true, false, false, 200, 100},
    {96, 64, 4, IMG_RGB24, true, true, true, 600, 300},
    {96, 64, 4, IMG_RAW16, true, false, true, 800, 400},
    {96, 64, 4, IMG_Y8, true, true, false, 50, 450},
};

class C817820CaptureTest : public C817820Test {
  protected:
    // Captures case c on the camera and compares the image with the sent frame.
    void CheckCase(const SContentCase& c) {
        SCOPED_TRACE(testing::Message()
                     << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type << (c.flip ? " flip" : "")
                     << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hardwareBin ? 1 : 0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_FLIP, c.flip ? 3 : 0), KYR_SUCCESS);
        EXPECT_EQ(SensorPair(m_dev, 0x303C), c.x * c.bin);
        EXPECT_EQ(SensorPair(m_dev, 0x3044), c.y * c.bin);
        const SReadout r = Readout();
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
        std::vector<unsigned char> sent(static_cast<size_t>(r.iFrameBytes));
        ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), r.iFrameBytes), r.iFrameBytes);
        EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
        if (c.type == IMG_RAW8 && c.bin == 1 && !c.flip) {
            // Raw: the sent frame itself but for the markers.
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0);
        }
    }
};

TEST_F(C817820CaptureTest, ImagesMatchTheSentFrameInEveryFormatOnEveryClass) {
    for (const SClassRow& cls : Classes817820()) {
        SCOPED_TRACE(cls.name);
        ASSERT_NE(Fresh(cls.pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
        for (const SContentCase& c : kCommon) ASSERT_NO_FATAL_FAILURE(CheckCase(c));
        if (ModelOf(cls.pid).model == 820) {
            for (const SContentCase& c : k820Only) ASSERT_NO_FATAL_FAILURE(CheckCase(c));
        }
    }
}

}  // namespace

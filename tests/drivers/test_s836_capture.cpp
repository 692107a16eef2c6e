// The 836 end to end, per class: video and single exposures through the
// exported functions on the simulated camera, every image type, bins 1 and
// 2 (both in software), small off-centre windows, checked against the frame
// the camera sent and against the sensor's array at the window's place.
#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s836_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

// w, h, bin, type, hardware bin (none on this sensor), flip, snap, start.
const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, 100, 50},
    {320, 240, 1, IMG_RAW16, false, false, true, 1000, 600},
    {320, 240, 1, IMG_Y8, false, true, false, -1, -1},
    {320, 240, 1, IMG_RGB24, false, false, true, 7, 5},
    {160, 120, 2, IMG_RAW8, false, true, true, 1200, 700},
    {160, 120, 2, IMG_RAW16, false, false, false, -1, -1},
    {160, 120, 2, IMG_RGB24, false, false, false, 400, 300},
    {160, 120, 2, IMG_Y8, false, false, true, 16, 8},
};

class C836CaptureTest : public C836Test {
  protected:
    void Prepare(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }
    SReadout Readout() {
        if (auto* e = dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam)) return e->Readout();
        return dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam)->Readout();
    }
};

TEST_F(C836CaptureTest, ImagesMatchTheSentFrameInEveryFormatAndClass) {
    for (const S836Class& k : Classes836()) {
        SCOPED_TRACE(k.name);
        ASSERT_NO_FATAL_FAILURE(Prepare(k.pid));
        for (const SContentCase& c : kContent) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                                            << (c.flip ? " flip" : "") << (c.snap ? " snap" : " video")
                                            << " at " << c.x << "," << c.y);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            if (c.x >= 0) {
                ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            }
            ASSERT_EQ(Set(KYR_FLIP, c.flip ? 3 : 0), KYR_SUCCESS);
            const SReadout r = Readout();
            EXPECT_EQ(r.iCols, c.w * c.bin);
            EXPECT_EQ(r.iRows, c.h * c.bin);
            std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
            ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
            const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), r.iFrameBytes);
            ASSERT_EQ(static_cast<int>(sent.size()), r.iFrameBytes);
            EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
            // The frame shows the sensor's array from the window's start on:
            // a pixel of the third row, beyond the marker words.
            const int sx = m_pCam->m_iStartX, sy = m_pCam->m_iStartY;
            const int px = 5, py = 2;
            const int scene = m_dev.scenePixel(sx + px, sy + py);
            const size_t at = static_cast<size_t>(py) * r.iCols + px;
            if (r.b16) {
                EXPECT_EQ(sent[2 * at] | sent[2 * at + 1] << 8, scene & 0xFFF0);
            } else {
                EXPECT_EQ(sent[at], scene >> 8);
            }
        }
    }
}

TEST_F(C836CaptureTest, ShortExposureVideoKeepsDeliveringFrames) {
    for (const S836Class& k : Classes836()) {
        SCOPED_TRACE(k.name);
        ASSERT_NO_FATAL_FAILURE(Prepare(k.pid));
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        std::vector<unsigned char> img(320u * 240);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS)
                << i;
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        // Stopped: the FPGA stopped and the sensor in standby.
        EXPECT_NE(m_dev.fpga(0) & 0x10, 0);
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
    }
}

}  // namespace

// test-labels: tsan
// The 831 end to end: video and single exposures through the exported
// functions on both simulated classes, each image type, bins 1 and 2, small
// off-centre windows, checked against the frame the camera sent (markers
// repaired from two rows away) and against the scene at the window's start;
// the colour order of RGB24 and the luminance of Y8; the white balance each
// class starts from; a stream reset after five empty transfers; a DDR change
// of the Pro while capturing.
#include <chrono>
#include <thread>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s831_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

// Small off-centre windows of each image type, bins 1 and 2, video and
// single exposures; every one fits the Pro's 728 x 544.
const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, 40, 24},
    {320, 240, 1, IMG_RAW8, false, false, true, 400, 300},
    {320, 240, 1, IMG_RAW16, false, false, true, 88, 200},
    {320, 240, 1, IMG_RAW16, false, false, false, 404, 16},
    {160, 120, 2, IMG_RAW8, false, false, true, 200, 150},
    {160, 120, 2, IMG_RAW16, false, false, false, 16, 8},
    {320, 240, 1, IMG_RGB24, false, false, true, 48, 24},
    {320, 240, 1, IMG_Y8, false, false, false, 300, 200},
    {160, 120, 2, IMG_RGB24, false, false, false, 0, 0},
    {160, 120, 2, IMG_Y8, false, false, true, 100, 140},
};

class C831CaptureTest : public C831Test {
  protected:
    // Camera pid, initialised, with a short exposure and no gamma.
    void Start(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }
    bool Read(std::vector<unsigned char>* pImg) {
        return KYRGetVideoData(0, pImg->data(), static_cast<long>(pImg->size()), kWaitMs) == KYR_SUCCESS;
    }
};

TEST_F(C831CaptureTest, ImagesMatchTheSentFrameAndTheSceneAtTheWindow) {
    for (const S831Class& cls : Classes831()) {
        ASSERT_NO_FATAL_FAILURE(Start(cls.pid));
        for (const SContentCase& c : kContent) {
            SCOPED_TRACE(testing::Message()
                         << cls.name << " " << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                         << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            int sx = -1, sy = -1;
            ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
            const SReadout r = Readout();
            std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
            ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
            const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), r.iFrameBytes);
            ASSERT_FALSE(sent.empty());
            EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, false, r));
            // The sent frame is the scene at the window's start on the sensor.
            const int x0 = sx * c.bin, y0 = sy * c.bin;
            const int bpp = r.b16 ? 2 : 1;
            for (int y : {2, r.iRows / 2, r.iRows - 3}) {
                for (int x : {3, r.iCols / 3, r.iCols - 5}) {
                    const int v = m_dev.scenePixel(x0 + x, y0 + y);
                    const size_t at = (static_cast<size_t>(y) * r.iCols + x) * bpp;
                    const int got = bpp == 1 ? sent[at] << 8 : sent[at] | sent[at + 1] << 8;
                    EXPECT_EQ(got, bpp == 1 ? v & 0xFF00 : v & 0xFFF0) << x << "," << y;
                }
            }
        }
    }
}

// RGB24 comes blue, green, red; Y8 is 0.257 R + 0.504 G + 0.098 B of it.
TEST_F(C831CaptureTest, ColourBarsComeInBlueGreenRedOrderAndY8IsTheirLuminance) {
    for (const S831Class& cls : Classes831()) {
        SCOPED_TRACE(cls.name);
        ASSERT_NO_FATAL_FAILURE(Start(cls.pid));
        ASSERT_EQ(Set(KYR_WB_R, 50), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_WB_B, 50), KYR_SUCCESS);
        const int w = cls.maxW, h = 32;
        ASSERT_EQ(KYRSetROIFormat(0, w, h, 1, IMG_RGB24), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
        std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
        ASSERT_TRUE(CaptureImage(false, &rgb, kWaitMs));
        ASSERT_EQ(KYRSetROIFormat(0, w, h, 1, IMG_Y8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
        std::vector<unsigned char> y8(static_cast<size_t>(w) * h);
        ASSERT_TRUE(CaptureImage(false, &y8, kWaitMs));
        // White, yellow, cyan, green, magenta, red, blue, black.
        static const int kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
        for (int bar = 0; bar < 8; ++bar) {
            SCOPED_TRACE(bar);
            const size_t at = static_cast<size_t>(16) * w + bar * w / 8 + w / 16;
            const unsigned char* px = &rgb[at * 3];
            EXPECT_EQ(px[0] > 128, (kBars[bar] & 1) != 0);  // blue
            EXPECT_EQ(px[1] > 128, (kBars[bar] & 2) != 0);  // green
            EXPECT_EQ(px[2] > 128, (kBars[bar] & 4) != 0);  // red
            const double luma = 0.257 * px[2] + 0.504 * px[1] + 0.098 * px[0];
            EXPECT_NEAR(y8[at], luma, 2.0);
        }
    }
}

TEST_F(C831CaptureTest, WhiteBalanceStartsFromEachClasssDefaults) {
    for (const S831Class& cls : Classes831()) {
        SCOPED_TRACE(cls.name);
        ASSERT_NE(Fresh(cls.pid), nullptr);
        long red = 0, blue = 0;
        KYR_BOOL bAuto = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_WB_R, &red, &bAuto), KYR_SUCCESS);
        ASSERT_EQ(KYRGetControlValue(0, KYR_WB_B, &blue, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(red, cls.wbRed);
        EXPECT_EQ(blue, cls.wbBlue);
        EXPECT_EQ(bAuto, KYR_FALSE);
        // The FPGA's colour gains as the defaults make them: red, green, green, blue.
        EXPECT_EQ(m_dev.fpga(12), cls.wbRed * 256 / 100);
        EXPECT_EQ(m_dev.fpga(13), 128);
        EXPECT_EQ(m_dev.fpga(15), cls.wbBlue * 256 / 100);
    }
}

TEST_F(C831CaptureTest, FiveEmptyTransfersRestartTheStreamOnceWithoutADrop) {
    for (const S831Class& cls : Classes831()) {
        SCOPED_TRACE(cls.name);
        ASSERT_NO_FATAL_FAILURE(Start(cls.pid));
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        // Frames slow enough for a slow reader: a full ring would count drops
        // too. A reader on a loaded machine, or emulated, can stand still for
        // more than two frames of 40 ms.
        ASSERT_EQ(Set(KYR_EXPOSURE, kTestSlowdown > 1 ? 400000 : 80000), KYR_SUCCESS);
        std::vector<unsigned char> img(320u * 240);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(Read(&img));
        const long long resets = m_dev.query(KYRSIM_Q_USB_RESETS);
        const long long starts = m_dev.query(KYRSIM_Q_STREAM_STARTS);
        ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_EMPTY, 5, 0, 1));
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read(&img));
        EXPECT_EQ(m_dev.query(KYRSIM_Q_USB_RESETS) - resets, 1);
        EXPECT_EQ(m_dev.query(KYRSIM_Q_STREAM_STARTS) - starts, 1);
        int dropped = -1;
        ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
        EXPECT_EQ(dropped, 0);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

// The Pro's DDR change goes through the mode re-apply: video restarts, a
// single exposure cut by it ends FAILED, and the next one succeeds. The MC
// only stores the flag.
TEST_F(C831CaptureTest, ADdrChangeRestartsVideoAndEndsASnapshotFailed) {
    ASSERT_NO_FATAL_FAILURE(Start(kPid831Pro));
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    std::vector<unsigned char> img(320u * 240);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(Read(&img));
    const long long starts = m_dev.query(KYRSIM_Q_STREAM_STARTS);
    ASSERT_TRUE(m_pCam->SetEnableDDR(false));
    EXPECT_NE(m_dev.fpga(10) & 0x40, 0);  // the DDR is bypassed
    EXPECT_TRUE(Read(&img));
    EXPECT_GT(m_dev.query(KYRSIM_Q_STREAM_STARTS), starts);
    ASSERT_TRUE(m_pCam->SetEnableDDR(true));
    EXPECT_EQ(m_dev.fpga(10) & 0x40, 0);
    EXPECT_TRUE(Read(&img));
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);

    // A single exposure whose frame does not come before the change.
    ASSERT_EQ(Set(KYR_EXPOSURE, 600000), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_NO_DATA, 0));
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(m_pCam->SetEnableDDR(false));
    EXPECT_EQ(WaitExposureEnd(kWaitMs), KYR_EXP_FAILED);
    EXPECT_FALSE(m_pCam->m_thrWork.IsAlive());
    EXPECT_EQ(m_dev.query(KYRSIM_Q_STREAMING), 0);
    ASSERT_TRUE(m_dev.clearStreamFaults());
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
    ASSERT_TRUE(m_pCam->SetEnableDDR(true));
    EXPECT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);

    // The MC keeps its DDR bypassed and its capture running.
    ASSERT_NO_FATAL_FAILURE(Start(kPid831));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    const long long mcStarts = m_dev.query(KYRSIM_Q_STREAM_STARTS);
    ASSERT_TRUE(m_pCam->SetEnableDDR(true));
    EXPECT_EQ(m_dev.query(KYRSIM_Q_STREAM_STARTS), mcStarts);
    EXPECT_NE(m_dev.fpga(10) & 0x40, 0);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

}  // namespace

// The 802 end to end: video and single exposures through the exported
// functions on the simulated camera, every image type, bins 1 to 4 and small
// off-centre windows, checked against the frame the camera sent; the frame's
// size from the driver's window; recovery from empty and bad transfers; the
// automatic bandwidth of two cameras.
#include <string.h>

#include <vector>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s802_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

const SContentCase kContent[] = {
    {640, 480, 1, IMG_RAW8, false, false, false, -1, -1},
    {640, 480, 1, IMG_RAW8, false, true, true, 96, 40},
    {640, 480, 1, IMG_RAW16, false, false, true, 1000, 600},
    {640, 480, 1, IMG_RAW16, false, true, false, -1, -1},
    {640, 480, 1, IMG_Y8, false, false, false, 2000, 1200},
    {640, 480, 1, IMG_RGB24, false, false, true, 3000, 2000},
    {320, 240, 2, IMG_RAW8, false, false, false, 200, 100},
    {320, 240, 2, IMG_RGB24, false, true, true, -1, -1},
    {160, 120, 3, IMG_RAW16, false, false, false, 300, 300},
    {160, 120, 3, IMG_Y8, false, true, true, 12, 2},
    {160, 120, 4, IMG_RAW8, false, false, true, 400, 200},
    {160, 120, 4, IMG_RGB24, false, false, false, 0, 0},
};

class C802CaptureTest : public C802Test {
  protected:
    void SetUp() override {
        C802Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    }

    // Video of a small window at a pace the reader keeps up with.
    void StartVideo(int id = 0, const kyrsim::Device* pDev = nullptr) {
        const kyrsim::Device& dev = pDev ? *pDev : m_dev;
        ASSERT_EQ(KYRSetROIFormat(id, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        // A frame rate the reader keeps up with on a loaded machine: a reader
        // held back for two or three frames fills the ring, a real drop the
        // tests counting drops are not about.
        ASSERT_TRUE(dev.setFrameInterval(std::chrono::microseconds(kTestSlowdown > 1 ? 500000 : 100000)));
        // Frames come slower than the camera's timing says: an exposure beyond
        // the interval keeps the driver's waits longer than the frames' spacing.
        ASSERT_EQ(KYRSetControlValue(id, KYR_EXPOSURE, kTestSlowdown > 1 ? 600000 : 150000, KYR_FALSE),
                  KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(id), KYR_SUCCESS);
        ASSERT_TRUE(Read(id));
    }
    bool Read(int id = 0) {
        return KYRGetVideoData(id, m_img.data(), static_cast<long>(m_img.size()), kWaitMs) == KYR_SUCCESS;
    }
    int Dropped(int id = 0) {
        int dropped = -1;
        EXPECT_EQ(KYRGetDroppedFrames(id, &dropped), KYR_SUCCESS);
        return dropped;
    }
    long long Query(int what) { return m_dev.query(what); }

    std::vector<unsigned char> m_img = std::vector<unsigned char>(640u * 480);
};

TEST_F(C802CaptureTest, ImagesMatchTheSentFrameInEveryFormat) {
    for (const SContentCase& c : kContent) {
        SCOPED_TRACE(testing::Message()
                     << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type << (c.flip ? " flip" : "")
                     << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        if (c.x >= 0) {
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        }
        ASSERT_EQ(KYRSetControlValue(0, KYR_FLIP, c.flip ? 3 : 0, KYR_FALSE), KYR_SUCCESS);
        const SReadout r = Cam().Readout();
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
        // The frame is the driver's window: its columns and rows, 2 bytes a pixel in RAW16.
        const int cols = Locked([this] { return Cam().m_iSensorCols; });
        const int rows = Locked([this] { return Cam().m_iSensorRows; });
        EXPECT_EQ(cols, c.w * c.bin);
        EXPECT_EQ(rows, c.h * c.bin);
        const std::vector<unsigned char> sent = m_dev.lastFrame();
        ASSERT_EQ(static_cast<int>(sent.size()), cols * rows * (c.type == IMG_RAW16 ? 2 : 1));
        EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
        if (c.type == IMG_RAW8 && c.bin == 1 && !c.flip) {
            // Raw: the sent frame itself but for the markers.
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0);
        }
    }
}

TEST_F(C802CaptureTest, EmptyTransfersRestartTheStreamAtTheFourthWithoutADrop) {
    const struct {
        int empties;
        int resets;
    } cases[] = {{3, 0}, {4, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.empties);
        ASSERT_NO_FATAL_FAILURE(StartVideo());
        const long long resets = Query(KYRSIM_Q_USB_RESETS);
        const long long starts = Query(KYRSIM_Q_STREAM_STARTS);
        const long long stops = Query(KYRSIM_Q_STREAM_STOPS);
        ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_EMPTY, c.empties, 0, 1));
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read());
        EXPECT_EQ(Query(KYRSIM_Q_USB_RESETS) - resets, c.resets);
        EXPECT_EQ(Query(KYRSIM_Q_STREAM_STOPS) - stops, c.resets);
        EXPECT_EQ(Query(KYRSIM_Q_STREAM_STARTS) - starts, c.resets);
        EXPECT_EQ(Dropped(), 0);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

TEST_F(C802CaptureTest, ABadMarkerCountsADropAndTheStreamGoesOn) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_FALSE), KYR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(StartVideo());
    const long long halts = Query(KYRSIM_Q_CLEAR_HALTS_81);
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_BAD_HEAD, 0, 0, 1));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Read());
    EXPECT_EQ(Dropped(), 1);
    // The endpoint was flushed for the lost frame.
    EXPECT_GE(Query(KYRSIM_Q_CLEAR_HALTS_81) - halts, 1);
}

// Each camera lowers its own automatic bandwidth on its own losses; the
// other's setting and history do not reach it.
TEST_F(C802CaptureTest, TwoCamerasKeepTheirOwnAutomaticBandwidth) {
    kyrsim::Device second = Plug(kPid802, true, "2");
    ASSERT_NE(OpenInit(1), nullptr);
    ASSERT_EQ(KYRSetControlValue(1, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    const struct {
        int id;
        const kyrsim::Device* dev;
        KYR_BOOL bAuto;
        long after;
    } cases[] = {{0, &m_dev, KYR_FALSE, 80}, {1, &second, KYR_TRUE, 76}, {0, &m_dev, KYR_FALSE, 80}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        ASSERT_EQ(KYRSetControlValue(c.id, KYR_BANDWIDTH, 80, c.bAuto), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(StartVideo(c.id, c.dev));
        ASSERT_TRUE(c.dev->streamFault(KYRSIM_STREAM_BAD_HEAD, 0, 0, 3));
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read(c.id));
        long value = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        ASSERT_EQ(KYRGetControlValue(c.id, KYR_BANDWIDTH, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, c.after);
        EXPECT_EQ(bAuto, c.bAuto);
        ASSERT_EQ(KYRStopVideoCapture(c.id), KYR_SUCCESS);
    }
}

}  // namespace

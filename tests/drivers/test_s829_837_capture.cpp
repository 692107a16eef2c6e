// test-labels: tsan
// The 829 and 837 end to end: video and single exposures through the
// exported functions on the four simulated cameras, RAW8 and RAW16, bins 1
// and 2, small off-centre windows, checked against the frame the camera sent
// (markers repaired from one row away) and against the scene at the
// window's start; empty transfers are dropped frames, never a stream reset.
#include <string.h>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s829_837_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

// Small off-centre windows, bins 1 and 2, video and single exposures (no
// hardware binning, no flips); starts in binned pixels.
const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, 40, 24},
    {320, 240, 1, IMG_RAW8, false, false, true, 400, 300},
    {320, 240, 1, IMG_RAW16, false, false, true, 88, 200},
    {320, 240, 1, IMG_RAW16, false, false, false, 480, 16},
    {160, 120, 2, IMG_RAW8, false, false, true, 100, 100},
    {160, 120, 2, IMG_RAW16, false, false, false, 16, 8},
};

class C829837CaptureTest : public C829837Test {
  protected:
    void Start(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }
    int Dropped() {
        int dropped = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
        return dropped;
    }
};

TEST_F(C829837CaptureTest, ImagesMatchTheSentFrameAndTheSceneAtTheWindow) {
    for (int pid : kPids829837) {
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        for (const SContentCase& c : kContent) {
            SCOPED_TRACE(testing::Message()
                         << RowOf(pid).label << " " << c.w << "x" << c.h << " bin " << c.bin << " type "
                         << c.type << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
            ExpectContent(c, 1, kWaitMs);
        }
    }
}

// The markers of a frame of two rows come from the other row.
TEST_F(C829837CaptureTest, ATwoRowReadoutIsRepairedFromTheOtherRow) {
    for (int pid : {kPid837Mini, kPid837Pro}) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        for (IMG_TYPE type : {IMG_RAW8, IMG_RAW16}) {
            SCOPED_TRACE(type);
            ASSERT_EQ(KYRSetROIFormat(0, 64, 2, 1, type), KYR_SUCCESS);
            const SReadout r = Readout();
            std::vector<unsigned char> img(64u * 2 * ImageBytesPerPixel(type));
            ASSERT_TRUE(CaptureImage(false, &img, kWaitMs));
            const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), r.iFrameBytes);
            ASSERT_EQ(sent.size(), img.size());
            const size_t away = static_cast<size_t>(r.iCols) * ImageBytesPerPixel(type);
            EXPECT_EQ(memcmp(img.data(), sent.data() + away, 4), 0);
            EXPECT_EQ(memcmp(img.data() + img.size() - 4, sent.data() + sent.size() - 4 - away, 4), 0);
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0);
        }
    }
}

// Empty transfers in a row are dropped frames: no USB reset, no stream
// restart, and video goes on when data comes again.
TEST_F(C829837CaptureTest, EmptyTransfersAreDroppedFramesNotAStreamReset) {
    for (int pid : {kPid829MM, kPid837Mini}) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        std::vector<unsigned char> img(320u * 240);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        const long long resets = m_dev.query(KYRSIM_Q_USB_RESETS);
        const long long starts = m_dev.query(KYRSIM_Q_STREAM_STARTS);
        const int dropped = Dropped();
        ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_EMPTY, 6, 0, 1), 0);
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS)
                << i;
        EXPECT_EQ(m_dev.query(KYRSIM_Q_USB_RESETS), resets);
        EXPECT_EQ(m_dev.query(KYRSIM_Q_STREAM_STARTS), starts);
        EXPECT_GE(Dropped() - dropped, 1);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

}  // namespace

// test-labels: tsan
// The S7100's capture beside other threads: gain and exposure set during
// video, sensor mode changes during video and during a single exposure, and
// the camera unplugged or closed under a reader.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "StreamCheck.h"
#include "TestSpeed.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

class C7100CaptureThreadsTest : public C7100Test {
  protected:
    void SetUp() override {
        C7100Test::SetUp();
        ASSERT_NE(Setup(kPid7100), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    }
    bool Read(std::vector<unsigned char>* pImg) {
        return KYRGetVideoData(0, pImg->data(), static_cast<long>(pImg->size()), kWaitMs) == KYR_SUCCESS;
    }
};

TEST_F(C7100CaptureThreadsTest, GainAndExposureSetDuringVideoLeaveFramesWhole) {
    ASSERT_EQ(kyrsim_set_scene(m_dev.handle(), KYRSIM_SCENE_FRAME_NUMBER), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; !stop.load(); ++i) {
            KYRSetControlValue(0, KYR_GAIN, i % 500, KYR_FALSE);
            KYRSetControlValue(0, KYR_EXPOSURE, 1000 + (i % 5) * 500, KYR_FALSE);
        }
    });
    std::vector<unsigned char> img(640u * 480);
    uint32_t last = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(Read(&img)) << i;
        uint32_t number;
        ASSERT_TRUE(WholeFrameNumber(img, 640, &number)) << i;
        if (i > 0) {
            EXPECT_GT(number, last);
        }
        last = number;
    }
    stop = true;
    setter.join();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// A change of sensor mode while the camera captures.
struct SModeChange {
    const char* what;
    int bin;
    KYR_CONTROL_TYPE control;
    int sensorReg, sensorValue;  // a row of the new mode
};
const SModeChange kModeChanges[] = {
    {"hardware bin on at bin 2", 2, KYR_HARDWARE_BIN, kReg7100Mode, 0x05},
    {"high speed on at bin 1", 1, KYR_HIGH_SPEED_MODE, 0x002, 0x54},
};

TEST_F(C7100CaptureThreadsTest, AModeChangeDuringVideoRestartsItAtTheNewGeometry) {
    for (const SModeChange& c : kModeChanges) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(KYRSetControlValue(0, c.control, 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_NE(m_dev.sensor(c.sensorReg), c.sensorValue);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        std::vector<unsigned char> img(640u * 480);
        ASSERT_TRUE(Read(&img));
        const long long starts = m_dev.query(KYRSIM_Q_STREAM_STARTS);
        ASSERT_EQ(KYRSetControlValue(0, c.control, 1, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(c.sensorReg), c.sensorValue);
        // Video goes on, restarted, with frames of the new mode's readout.
        ASSERT_TRUE(Read(&img));
        ASSERT_TRUE(Read(&img));
        EXPECT_GT(m_dev.query(KYRSIM_Q_STREAM_STARTS), starts);
        EXPECT_EQ(kyrsim_last_frame(m_dev.handle(), nullptr, 0), Readout().iFrameBytes);
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

TEST_F(C7100CaptureThreadsTest, AModeChangeDuringASnapshotEndsItFailed) {
    for (const SModeChange& c : kModeChanges) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(KYRSetControlValue(0, c.control, 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, c.bin, IMG_RAW8), KYR_SUCCESS);
        // The frame never comes: the snapshot is still waiting at the change.
        ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 0, 1), 0);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, c.control, 1, KYR_FALSE), KYR_SUCCESS);
        KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
        ASSERT_EQ(KYRGetExpStatus(0, &st), KYR_SUCCESS);
        EXPECT_EQ(st, KYR_EXP_FAILED);
        // Never turned into video.
        EXPECT_FALSE(m_pCam->m_thrWork.IsAlive());
        kyrsim_clear_stream_faults(m_dev.handle());
        // The next snapshot runs in the new mode.
        EXPECT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
        EXPECT_EQ(m_dev.sensor(c.sensorReg), c.sensorValue);
    }
}

// ---- Teardown --------------------------------------------------------------------------------

TEST_F(C7100CaptureThreadsTest, UnplugMidStreamEndsTheReaderAndStopAndCloseReturn) {
    ExpectUnplugMidStreamEndsTheReader(m_pCam, m_dev.handle(), 640u * 480, kWaitMs);
    EXPECT_EQ(kyrsim_open_handles(), 0);
}

TEST_F(C7100CaptureThreadsTest, CloseReleasesAReaderWaitingWithoutLimit) {
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 0, 1), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> done{false};
    std::atomic<int> rc{KYR_SUCCESS};
    std::thread reader([&] {
        std::vector<unsigned char> img(640u * 480);
        rc = KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), -1);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    reader.join();
    EXPECT_TRUE(done.load());
    EXPECT_NE(rc.load(), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_open_handles(), 0);
}

}  // namespace

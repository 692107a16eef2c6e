// test-labels: tsan
// The 832's capture beside other threads: settings changed during video,
// formats changed under a waiting reader, two readers, unplug and close.
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "StreamCheck.h"
#include "TestSpeed.h"
#include "test_s832_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

class C832CaptureThreadsTest : public C832Test {
  protected:
    void SetUp() override {
        C832Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    }
};

TEST_F(C832CaptureThreadsTest, SettingsChangedDuringVideoLeaveFramesWhole) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; !stop.load(); ++i) {
            KYRSetControlValue(0, KYR_GAIN, i % 300, KYR_FALSE);
            KYRSetControlValue(0, KYR_EXPOSURE, 1000 + (i % 5) * 500, KYR_FALSE);
        }
    });
    std::vector<unsigned char> img(640u * 480);
    std::vector<unsigned char> first;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        // The scene does not move: every frame is the first one.
        if (first.empty()) {
            first = img;
        } else {
            EXPECT_TRUE(img == first);
        }
    }
    stop = true;
    setter.join();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

TEST_F(C832CaptureThreadsTest, LargerFormatUnderAWaitingReaderWritesNothingOutside) {
    constexpr size_t kGuard = 4096;
    const size_t small = 640u * 480;
    std::vector<unsigned char> buf(small + 2 * kGuard, 0xA5);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) KYRGetVideoData(0, buf.data() + kGuard, static_cast<long>(small), 200);
    });
    for (int i = 0; i < 6; ++i) {
        KYRSetROIFormat(0, i % 2 ? 640 : 1280, i % 2 ? 480 : 960, 1, IMG_RAW8);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    stop = true;
    reader.join();
    KYRStopVideoCapture(0);
    for (size_t i = 0; i < kGuard; ++i) {
        ASSERT_EQ(buf[i], 0xA5) << i;
        ASSERT_EQ(buf[kGuard + small + i], 0xA5) << i;
    }
}

TEST_F(C832CaptureThreadsTest, TwoReadersShareTheStream) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<int> got{0};
    auto read = [&] {
        std::vector<unsigned char> img(640u * 480);
        for (int i = 0; i < 5; ++i)
            if (KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs) == KYR_SUCCESS) ++got;
    };
    std::thread a(read), b(read);
    a.join();
    b.join();
    EXPECT_EQ(got.load(), 10);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// The two image readers, on their own call slots, at once: a video reader
// polls while single exposures finish and are read. Each exposure's frame
// goes to exactly one of them, whole.
TEST_F(C832CaptureThreadsTest, VideoAndExposureReadersRaceForEachFrame) {
    constexpr int kRounds = 6;
    const size_t bytes = 640u * 480;
    // The scene stands still: every image is this one.
    std::vector<unsigned char> first(bytes);
    ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
    ASSERT_EQ(KYRGetDataAfterExp(0, first.data(), static_cast<long>(bytes)), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> videoGot{0};
    std::atomic<int> torn{0};
    std::thread poller([&] {
        std::vector<unsigned char> img(bytes);
        while (!stop.load()) {
            if (KYRGetVideoData(0, img.data(), static_cast<long>(bytes), 5) != KYR_SUCCESS) continue;
            ++videoGot;
            if (img != first) ++torn;
        }
    });
    int expGot = 0;
    for (int i = 0; i < kRounds; ++i) {
        const KYR_EXPOSURE_STATUS st = Expose(kWaitMs);
        EXPECT_EQ(st, KYR_EXP_SUCCESS);
        if (st != KYR_EXP_SUCCESS) break;
        std::vector<unsigned char> img(bytes);
        if (KYRGetDataAfterExp(0, img.data(), static_cast<long>(bytes)) == KYR_SUCCESS) {
            ++expGot;
            EXPECT_TRUE(img == first);
        }
    }
    // The last frame may still be on its way to the poller.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (expGot + videoGot.load() < kRounds && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    poller.join();
    EXPECT_EQ(expGot + videoGot.load(), kRounds);
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(C832CaptureThreadsTest, UnplugMidStreamEndsTheReaderAndStopAndCloseReturn) {
    ExpectUnplugMidStreamEndsTheReader(m_pCam, m_dev.handle(), 640u * 480, kWaitMs);
}

TEST_F(C832CaptureThreadsTest, CloseReleasesAReaderWaitingWithoutLimit) {
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 0, 1), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<unsigned char> img(640u * 480);
        KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), -1);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    reader.join();
    EXPECT_TRUE(done.load());
}

TEST_F(C832CaptureThreadsTest, FormatChangeDuringVideoRestartsAtTheNewSize) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::vector<unsigned char> img(640u * 480);
    ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    std::vector<unsigned char> small(320u * 240);
    ASSERT_EQ(KYRGetVideoData(0, small.data(), static_cast<long>(small.size()), kWaitMs), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_last_frame(m_dev.handle(), nullptr, 0), 320 * 240);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

TEST_F(C832CaptureThreadsTest, FormatChangeDuringASnapshotEndsItFailed) {
    // The frame never comes: the snapshot is still waiting at the change.
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 0, 1), 0);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
    ASSERT_EQ(KYRGetExpStatus(0, &st), KYR_SUCCESS);
    EXPECT_EQ(st, KYR_EXP_FAILED);
}

TEST_F(C832CaptureThreadsTest, FormatChangesWhileLossesLowerTheBandwidthDoNotDeadlock) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_HEAD, 0, 0, 1000000), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<unsigned char> img(640u * 480);
        while (!stop.load()) KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), 50);
    });
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(KYRSetROIFormat(0, i % 2 ? 640 : 320, i % 2 ? 480 : 240, 1, IMG_RAW8), KYR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

}  // namespace

// test-labels: tsan
// Closing a camera against calls in flight, concurrent closes, enumeration and
// re-opens: every call returns, late calls find the camera closed, and nothing
// is used after it is freed.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KYRCamera.h"
#include "TestDriver.h"
#include "api/ModelFactory.h"
#include "kyrsim.h"

namespace {

constexpr int kPid = CTestDriver::kProductID;
constexpr int kRounds = 20;

// A driver whose control setter stops its threads while the exported call
// holds the control lock, with a looping capture body that takes the same lock
// on every step.
class CStopUnderLockDriver : public CTestDriver {
public:
    bool InitCamera() override {
        if (!CTestDriver::InitCamera()) return false;
        SetCaptureMode(CAPTURE_LOOP);
        return StartWorkThread();
    }
    int SetControlValue(KYR_CONTROL_TYPE, long, bool) override {
        StopCameraThreads();
        return m_thrWork.IsAlive() ? KYR_ERROR_GENERAL_ERROR : KYR_SUCCESS;
    }
};

class ApiThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        kyrsim_reset();
        SetCameraConstructorForTest(kPid, [] { return static_cast<CCameraBase*>(new CTestDriver(kPid)); });
        m_iCam = kyrsim_plug(kPid, 1, "1");
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    }
    void TearDown() override {
        KYRCloseCamera(0);
        SetCameraConstructorForTest(kPid, nullptr);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim_reset();
    }
    void OpenAndInit() {
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    }
    int m_iCam = -1;
};

bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST_F(ApiThreadsTest, CloseReleasesReadersWaitingWithoutLimit) {
    for (int round = 0; round < kRounds; ++round) {
        OpenAndInit();
        std::vector<unsigned char> buf(64 * 48);
        std::atomic<int> returned{0};
        std::vector<KYR_ERROR_CODE> results(2, KYR_SUCCESS);
        std::vector<std::thread> readers;
        // Two waiters on one slot: one inside the driver, one queued on the slot.
        for (int i = 0; i < 2; ++i)
            readers.emplace_back([&, i] {
                std::vector<unsigned char> mine(buf.size());
                results[i] = KYRGetVideoData(0, mine.data(), static_cast<long>(mine.size()), -1);
                ++returned;
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
        for (auto& t : readers) t.join();
        EXPECT_EQ(returned.load(), 2);
        for (KYR_ERROR_CODE rc : results) EXPECT_TRUE(rc == KYR_ERROR_TIMEOUT || rc == KYR_ERROR_CAMERA_CLOSED) << rc;
        EXPECT_EQ(KYRGetVideoData(0, buf.data(), static_cast<long>(buf.size()), -1), KYR_ERROR_CAMERA_CLOSED);
    }
}

TEST_F(ApiThreadsTest, ConcurrentClosesCloseOnce) {
    for (int round = 0; round < kRounds; ++round) {
        OpenAndInit();
        std::vector<std::thread> closers;
        std::atomic<int> ok{0};
        for (int i = 0; i < 3; ++i)
            closers.emplace_back([&] {
                if (KYRCloseCamera(0) == KYR_SUCCESS) ++ok;
            });
        for (auto& t : closers) t.join();
        EXPECT_EQ(ok.load(), 3);
        EXPECT_EQ(kyrsim_open_handles(), 0);
    }
}

TEST_F(ApiThreadsTest, CloseAgainstEnumerationPropertyAndReopen) {
    for (int round = 0; round < kRounds; ++round) {
        OpenAndInit();
        std::atomic<bool> stop{false};
        std::thread enumerator([&] {
            while (!stop) KYRGetNumOfConnectedCameras();
        });
        std::thread describer([&] {
            KYR_CAMERA_INFO info;
            while (!stop) {
                KYR_ERROR_CODE rc = KYRGetCameraProperty(&info, 0);
                EXPECT_TRUE(rc == KYR_SUCCESS || rc == KYR_ERROR_INVALID_INDEX) << rc;
            }
        });
        std::thread caller([&] {
            int dropped;
            while (!stop) {
                KYR_ERROR_CODE rc = KYRGetDroppedFrames(0, &dropped);
                EXPECT_TRUE(rc == KYR_SUCCESS || rc == KYR_ERROR_CAMERA_CLOSED) << rc;
            }
        });
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
            EXPECT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        }
        stop = true;
        enumerator.join();
        describer.join();
        caller.join();
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
        EXPECT_EQ(kyrsim_open_handles(), 0);
    }
}

TEST_F(ApiThreadsTest, UnpluggedCameraClosedByEnumerationWhileCalled) {
    OpenAndInit();
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        KYR_EXPOSURE_STATUS status;
        while (!stop) {
            KYR_ERROR_CODE rc = KYRGetExpStatus(0, &status);
            EXPECT_TRUE(rc == KYR_SUCCESS || rc == KYR_ERROR_CAMERA_CLOSED || rc == KYR_ERROR_ID) << rc;
        }
    });
    kyrsim_unplug(m_iCam);
    std::thread closer([] { KYRCloseCamera(0); });
    EXPECT_EQ(KYRGetNumOfConnectedCameras(), 0);
    closer.join();
    stop = true;
    caller.join();
    EXPECT_EQ(KYROpenCamera(0), KYR_ERROR_ID);
}

TEST_F(ApiThreadsTest, CallHeldInsideTheCameraDelaysCloseUntilItReturns) {
    OpenAndInit();
    struct kyrsim_fault f;
    kyrsim_fault_init(&f, KYRSIM_FAULT_HOLD, 0);
    f.request = 0xB0;  // a guide pulse
    kyrsim_add_fault(&f);
    std::atomic<bool> pulseDone{false};
    std::thread pulser([&] {
        KYRPulseGuideOn(0, GUIDE_NORTH);
        pulseDone = true;
    });
    if (kyrsim_wait_held(1, 2000) < 1) {
        kyrsim_release_holds();
        pulser.join();
        GTEST_SKIP() << "the guide pulse does not reach the camera yet";
    }
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        KYRCloseCamera(0);
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed.load()) << "close must wait for the call in flight";
    kyrsim_release_holds();
    pulser.join();
    closer.join();
    EXPECT_TRUE(pulseDone.load());
    EXPECT_TRUE(closed.load());
}

TEST_F(ApiThreadsTest, StopUnderControlLockEndsALoopingBodyThatTakesTheLock) {
    SetCameraConstructorForTest(kPid, [] { return static_cast<CCameraBase*>(new CStopUnderLockDriver()); });
    for (int round = 0; round < kRounds; ++round) {
        OpenAndInit();
        std::atomic<bool> done{false};
        std::thread setter([&] {
            EXPECT_EQ(KYRSetControlValue(0, KYR_GAIN, 1, KYR_FALSE), KYR_SUCCESS);
            done = true;
        });
        EXPECT_TRUE(WaitFor([&] { return done.load(); })) << "stop under the control lock deadlocked";
        setter.join();
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

CTestDriver* g_pLastDriver = nullptr;

TEST_F(ApiThreadsTest, StartsDuringASnapshotAndRacingStartsMakeOneCaptureThread) {
    SetCameraConstructorForTest(kPid, [] {
        g_pLastDriver = new CTestDriver(kPid);
        return static_cast<CCameraBase*>(g_pLastDriver);
    });
    for (int round = 0; round < kRounds; ++round) {
        OpenAndInit();
        CTestDriver& cam = *g_pLastDriver;
        cam.SetCaptureMode(CTestDriver::CAPTURE_LOOP);
        cam.ArmLatch();
        // Starts of both kinds from several threads at once: one capture thread.
        std::vector<std::thread> starters;
        std::atomic<int> started{0};
        for (int i = 0; i < 6; ++i)
            starters.emplace_back([&, i] {
                KYR_ERROR_CODE rc = (i % 2) ? KYRStartExposure(0, KYR_FALSE) : KYRStartVideoCapture(0);
                if (rc == KYR_SUCCESS) ++started;
            });
        for (auto& t : starters) t.join();
        EXPECT_GE(started.load(), 1);
        EXPECT_TRUE(WaitFor([&] { return cam.LatchWaiters() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(cam.LatchWaiters(), 1) << "more than one capture thread started";

        if (cam.m_bSnapMode) {
            EXPECT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_ERROR_EXPOSURE_IN_PROGRESS);
            EXPECT_EQ(KYRStartVideoCapture(0), KYR_ERROR_EXPOSURE_IN_PROGRESS);
            EXPECT_EQ(KYRStopExposure(0), KYR_SUCCESS);
        } else {
            EXPECT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_ERROR_VIDEO_MODE_ACTIVE);
            EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        }
        cam.OpenLatch();
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

}  // namespace

// test-labels: tsan
// Capture control across threads: a stop after the device has gone still
// joins every thread before the object goes; a stop made under the control
// lock (as the drivers' mode re-applies do) ends a capture thread that waits
// for that lock; and start, stop, mode, trigger-output and status calls from
// several threads at once neither deadlock nor race.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_capture_fixture.h"

using namespace capture_test;

namespace {

class CCaptureThreadsTest : public CCaptureTest {};

// Video runs, the camera is unplugged and its handle closed (a failed
// reconnection): the stop joins the capture threads and reports the closed
// device; the close and the destruction that follow find nothing running.
TEST_F(CCaptureThreadsTest, StopAndCloseAfterDeviceLossJoinEveryThread) {
    for (bool trigger : {false, true}) {
        SCOPED_TRACE(trigger ? "trigger capture" : "capture");
        if (!m_pCam) {
            m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
            ASSERT_TRUE(m_Dev.valid());
            m_pCam = std::make_unique<CTestDriver>();
            ASSERT_TRUE(m_pCam->OpenCamera(1));
            ASSERT_TRUE(m_pCam->InitCamera());
            ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(*m_pCam));
        }
        Cam().m_iCameraMode = trigger ? CAM_MODE_TRIG_SOFT_EDGE : CAM_MODE_NORMAL;
        ASSERT_TRUE(Cam().StartCapture(false));
        ASSERT_TRUE(Cam().StartAutoCtrlThread());
        ASSERT_TRUE(Cam().WaitSteps(Cam().Steps() + 3, kWaitMs));
        ASSERT_TRUE(m_Dev.unplug());
        Cam().CloseDevice();

        EXPECT_FALSE(Cam().StopCapture());
        EXPECT_FALSE(Cam().m_thrWork.IsAlive());
        EXPECT_FALSE(Cam().m_thrTrigger.IsAlive());
        EXPECT_FALSE(Cam().m_thrAutoCtrl.IsAlive());
        m_pCam.reset();
    }
    // The stop left to the close: it joins every thread before the object goes.
    m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
    m_pCam = std::make_unique<CTestDriver>();
    ASSERT_TRUE(m_pCam->OpenCamera(1));
    ASSERT_TRUE(m_pCam->InitCamera());
    ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(*m_pCam));
    ASSERT_TRUE(Cam().StartCapture(false));
    ASSERT_TRUE(Cam().WaitSteps(Cam().Steps() + 3, kWaitMs));
    ASSERT_TRUE(m_Dev.unplug());
    Cam().CloseDevice();
    std::atomic<bool> destroyed{false};
    Cam().SetDestroyedFlag(&destroyed);
    Cam().CloseCamera();
    EXPECT_FALSE(IsCapturing(Cam()));
    m_pCam.reset();
    EXPECT_TRUE(destroyed.load());
}

// The same through the exported functions: video runs, the camera goes, the
// stop reports it closed and the close joins everything.
class CCaptureThreadsApiTest : public CCaptureApiTest {};

TEST_F(CCaptureThreadsApiTest, StopAndCloseAfterDeviceLoss) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(Cam().WaitSteps(3, kWaitMs));
    std::atomic<bool> destroyed{false};
    Cam().SetDestroyedFlag(&destroyed);
    ASSERT_TRUE(m_Dev.unplug());
    Cam().CloseDevice();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_ERROR_CAMERA_CLOSED);
    EXPECT_FALSE(IsCapturing(Cam()));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_ERROR_GENERAL_ERROR);  // closed device: no start
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    EXPECT_TRUE(destroyed.load());
    s_pLast = nullptr;
}

// A mode re-apply holds the control lock while it stops and restarts
// capture; the capture thread meanwhile waits for that lock. The stop ends
// it all the same, and the restart runs a new one.
TEST_F(CCaptureThreadsTest, StopUnderTheControlLockEndsAThreadWaitingForIt) {
    ASSERT_TRUE(Cam().StartCapture(false));
    ASSERT_TRUE(Cam().WaitSteps(3, kWaitMs));
    const auto t0 = std::chrono::steady_clock::now();
    {
        CCritSecLock hold(Cam().m_csControl);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the thread now waits for the lock
        EXPECT_TRUE(Cam().StopCapture());
        EXPECT_FALSE(IsCapturing(Cam()));
        EXPECT_TRUE(Cam().StartCapture(false));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_TRUE(Cam().WaitSteps(Cam().Steps() + 3, kWaitMs));
    EXPECT_TRUE(Cam().StopCapture());
}

// Start and stop, mode changes, trigger outputs, soft trigger and status
// polls from several threads at once.
TEST_F(CCaptureThreadsTest, ConcurrentCallersNeitherDeadlockNorRace) {
    ASSERT_NO_FATAL_FAILURE(SetTriggerAbility(true, 0xC0));
    constexpr int kRounds = 40;
    std::atomic<bool> stop{false};
    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // start and stop, video and exposures
        for (int i = 0; i < kRounds; ++i) {
            Cam().StartCapture(i % 3 == 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!Cam().StopCapture()) ++errors;
        }
    });
    threads.emplace_back([&] {  // camera modes: refused while capturing, else applied
        for (int i = 0; i < kRounds; ++i) {
            int rc = Cam().SetCameraMode(static_cast<CAM_MODE>(i % 7));
            if (rc != KYR_SUCCESS && rc != KYR_ERROR_INVALID_SEQUENCE) ++errors;
        }
    });
    threads.emplace_back([&] {  // trigger outputs, set and read back
        for (int i = 0; i < kRounds; ++i) {
            Trig_Output_Pin pin = i % 2 ? TRIG_OUTPUT_PIN_B : TRIG_OUTPUT_PIN_A;
            if (Cam().SetTrigOutPinConf(pin, i % 3 == 0, i, i * 2) != KYR_SUCCESS) ++errors;
            KYR_BOOL high;
            long delay, duration;
            if (Cam().GetTrigOutPinConf(pin, &high, &delay, &duration) != KYR_SUCCESS) ++errors;
        }
    });
    threads.emplace_back([&] {  // soft trigger and bits of the same registers
        for (int i = 0; i < kRounds; ++i) {
            if (!Cam().EnableFPGATriggerSignal(i % 2 == 0)) ++errors;
            if (!Cam().SetFPGAAsMaster(i % 2 == 0)) ++errors;
        }
    });
    threads.emplace_back([&] {  // status and mode list polls
        while (!stop.load()) {
            int status = Cam().m_iExpStatus;
            if (status < KYR_EXP_IDLE || status > KYR_EXP_FAILED) ++errors;
            KYR_SUPPORTED_MODE modes;
            if (!Cam().GetCameraSupportedMode(&modes)) ++errors;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (size_t i = 0; i + 1 < threads.size(); ++i) threads[i].join();
    stop = true;
    threads.back().join();
    EXPECT_EQ(errors.load(), 0);
    EXPECT_TRUE(Cam().StopCapture());
    EXPECT_FALSE(IsCapturing(Cam()));
    EXPECT_EQ(m_Dev.fpgaPending(), 0);
}

}  // namespace

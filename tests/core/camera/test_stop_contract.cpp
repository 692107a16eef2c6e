// test-labels: tsan
// The camera core's stop contract and the capture-thread frame, through the
// exported interface and on the camera object: a capture body that takes the
// control lock the plain way is ended by every way of stopping; the settings
// file is written with no camera lock held; a reported snapshot never blocks
// video; the core's exit steps run whatever way a body leaves; the receive
// buffers alternate only on an accepted frame; a failed initialisation and a
// described camera leave defined state.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camera/Settings.h"
#include "test_capture_fixture.h"

using namespace capture_test;

namespace {

constexpr auto kStopBound = std::chrono::seconds(5);

// Keeps the control lock busy from another thread through a getter that
// takes it, so that stops meet a body waiting for the lock.
class CLockTraffic {
  public:
    CLockTraffic()
        : m_thread([this] {
              while (!m_bStop.load()) {
                  int w = 0, h = 0, bin = 0;
                  IMG_TYPE type = IMG_END;
                  KYRGetROIFormat(0, &w, &h, &bin, &type);
                  std::this_thread::yield();
              }
          }) {}
    ~CLockTraffic() {
        m_bStop = true;
        m_thread.join();
    }

  private:
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

class CStopContractTest : public CCaptureApiTest {
  protected:
    // After a close, the ID is opened and initialised again.
    void Reopen() {
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    }
};

// The test driver's looping body takes the control lock the plain way at
// every step, and touches every frame buffer. Each way of stopping ends it
// within the bound, repeatedly, while another thread takes the lock too.
TEST_F(CStopContractTest, PlainLockingBodyEndsThroughEveryStop) {
    struct SCase {
        const char* szName;
        bool bSnap;
        KYR_ERROR_CODE (*fnStop)(int);
        bool bCloses;
    };
    const SCase cases[] = {
        {"KYRStopVideoCapture", false, KYRStopVideoCapture, false},
        {"KYRStopExposure", true, KYRStopExposure, false},
        {"KYRInitCamera", false, KYRInitCamera, false},
        {"KYRCloseCamera", false, KYRCloseCamera, true},
    };
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        for (const SCase& c : cases) {
            SCOPED_TRACE(std::string(c.szName) + " round " + std::to_string(round));
            ASSERT_EQ(c.bSnap ? KYRStartExposure(0, KYR_FALSE) : KYRStartVideoCapture(0), KYR_SUCCESS);
            ASSERT_TRUE(Cam().WaitSteps(Cam().Steps() + 3, kWaitMs));
            CTestDriver* pCam = &Cam();
            const auto t0 = std::chrono::steady_clock::now();
            {
                CLockTraffic traffic;
                EXPECT_EQ(c.fnStop(0), KYR_SUCCESS);
            }
            EXPECT_LT(std::chrono::steady_clock::now() - t0, kStopBound);
            if (c.bCloses) {
                ASSERT_NO_FATAL_FAILURE(Reopen());
                EXPECT_NE(&Cam(), nullptr);
            } else {
                EXPECT_FALSE(IsCapturing(*pCam));
                EXPECT_FALSE(pCam->m_thrAutoCtrl.IsAlive());
            }
        }
    }
}

// A snapshot that has reported its result is over even while its thread is
// still returning: video starts right after it.
TEST_F(CStopContractTest, VideoStartsRightAfterAReportedSnapshot) {
    Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(WaitFor([&] { return Cam().m_iExpStatus.load() == KYR_EXP_SUCCESS; }));
        EXPECT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
    // A snapshot still working refuses it.
    Cam().SetCaptureMode(CTestDriver::CAPTURE_LOOP);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(KYRStartVideoCapture(0), KYR_ERROR_EXPOSURE_IN_PROGRESS);
    EXPECT_EQ(KYRStopExposure(0), KYR_SUCCESS);
}

// A failed second initialisation leaves the camera uninitialised: the calls
// that need an initialised camera refuse until one succeeds.
TEST_F(CStopContractTest, FailedInitialisationClearsTheInitialisedState) {
    Cam().SetResult(CTestDriver::OP_INIT_CAMERA, false);
    EXPECT_EQ(KYRInitCamera(0), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(KYRStartVideoCapture(0), KYR_ERROR_INVALID_SEQUENCE);
    EXPECT_EQ(KYRSetROIFormat(0, 16, 16, 1, IMG_RAW8), KYR_ERROR_INVALID_SEQUENCE);
    Cam().SetResult(CTestDriver::OP_INIT_CAMERA, true);
    EXPECT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    EXPECT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// The description of a camera is a defined record: nothing of what the
// caller's memory held reaches it, and the name is terminated.
TEST_F(CStopContractTest, CameraDescriptionIsADefinedRecord) {
    KYR_CAMERA_INFO info;
    memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(KYRGetCameraPropertyByID(0, &info), KYR_SUCCESS);
    EXPECT_LT(strnlen(info.name, sizeof(info.name)), sizeof(info.name));
    EXPECT_EQ(info.camera_id, 0);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&info.max_height);
    for (size_t i = 0; i < sizeof(info) - offsetof(KYR_CAMERA_INFO, max_height); ++i)
        ASSERT_NE(p[i], 0xAB) << "byte " << i << " after the ID left as the caller's";
}

// ---- Settings file written with no camera lock held -------------------------------

// A test driver with a settings key.
class CNamedDriver : public CTestDriver {
  public:
    CNamedDriver() { m_pszShortName = &m_szShortName[0]; }

  private:
    char m_szShortName[16] = "KYRTEST";
};

std::atomic<CCameraBase*> g_pWriteCam{nullptr};
std::atomic<int> g_iWritesFree{0};
std::atomic<int> g_iWritesBlocked{0};

// The file writer's write: first another thread must be able to take the
// camera's control lock (within a bound far above any body's hold).
ssize_t CheckingWrite(int fd, const void* buf, size_t len) {
    CCameraBase* pCam = g_pWriteCam.load();
    if (pCam) {
        bool bTaken = false;
        std::thread([&] {
            struct timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 2;
            bTaken = pthread_mutex_timedlock(&pCam->m_csControl.mutex, &deadline) == 0;
            if (bTaken) pthread_mutex_unlock(&pCam->m_csControl.mutex);
        }).join();
        ++(bTaken ? g_iWritesFree : g_iWritesBlocked);
    }
    return write(fd, buf, len);
}

class CSettingsWriteTest : public CCaptureApiTest {
  protected:
    static CCameraBase* MakeNamed() {
        auto* cam = new CNamedDriver();
        s_pLast = cam;
        return cam;
    }
    void SetUp() override {
        SetCameraConstructorForTest(CTestDriver::kProductID, MakeNamed);
        kyrsim::reset();
        m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        g_pWriteCam = s_pLast;
        g_iWritesFree = 0;
        g_iWritesBlocked = 0;
        SetSettingsWriteForTest(CheckingWrite);
    }
    void TearDown() override {
        SetSettingsWriteForTest(nullptr);
        g_pWriteCam = nullptr;
        CCaptureApiTest::TearDown();
    }
};

TEST_F(CSettingsWriteTest, StopOfVideoWritesWithNoCameraLockHeld) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(Cam().WaitSteps(3, kWaitMs));
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_GT(g_iWritesFree.load(), 0);
    EXPECT_EQ(g_iWritesBlocked.load(), 0);
}

// A driver's mode re-apply stops capture while it holds the control lock:
// the file is still written with that lock given up.
TEST_F(CSettingsWriteTest, StopUnderTheCallersControlLockWritesWithItGivenUp) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(Cam().WaitSteps(3, kWaitMs));
    {
        CCritSecLock hold(Cam().m_csControl);
        EXPECT_TRUE(Cam().StopCapture());
        EXPECT_EQ(CritSecDepth(Cam().m_csControl), 1) << "the caller's hold is back";
    }
    EXPECT_GT(g_iWritesFree.load(), 0);
    EXPECT_EQ(g_iWritesBlocked.load(), 0);
}

TEST_F(CSettingsWriteTest, CloseInSnapModeWritesWithNoCameraLockHeld) {
    Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return !IsCapturing(Cam()); }));
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    // The object went with the close.
    g_pWriteCam = nullptr;
    s_pLast = nullptr;
    EXPECT_GT(g_iWritesFree.load(), 0);
    EXPECT_EQ(g_iWritesBlocked.load(), 0);
}

// ---- Capture-thread frame -----------------------------------------------------------

class CCaptureFrameTest : public CCaptureTest {};

std::atomic<bool> g_bStartAutoControl{false};

// A body that leaves the way a careless driver's might: transfers set up, a
// drop count left, no result reported, the auto-control thread running.
void CarelessBody(CCameraBase* pCam, std::atomic<bool>*) {
    pCam->initAsyncXfer(4096, 2, 2048, 0x81, pCam->RecvBuffer());
    pCam->m_iDroppedFrames = 7;
    if (g_bStartAutoControl.load()) static_cast<CTestDriver*>(pCam)->StartAutoCtrlThread();
}

TEST_F(CCaptureFrameTest, ExitStepsRunWhateverWayTheBodyLeaves) {
    for (bool bSnap : {true, false}) {
        SCOPED_TRACE(bSnap ? "snapshot" : "video");
        g_bStartAutoControl = !bSnap;
        ASSERT_TRUE(Cam().BindCaptureBody(Cam().m_thrWork, CarelessBody));
        const int liveBefore = kyrsim_live_transfers();
        ASSERT_TRUE(Cam().StartCapture(bSnap));
        ASSERT_TRUE(WaitFor([&] { return !Cam().m_thrWork.IsAlive(); }));
        EXPECT_EQ(Cam().m_iExpStatus.load(), KYR_EXP_FAILED);
        EXPECT_EQ(Cam().m_iSnapStatus.load(), KYR_EXP_FAILED);
        EXPECT_EQ(Cam().m_iDroppedFrames.load(), 0);
        EXPECT_EQ(kyrsim_live_transfers(), liveBefore) << "the transfer set is released";
        EXPECT_EQ(Cam().m_pXfers, nullptr);
        EXPECT_TRUE(Cam().m_pCirBuf->IsStopped());
        EXPECT_FALSE(Cam().m_thrAutoCtrl.IsAlive()) << "the auto-control thread goes with the run";
    }
    // Binding is for the two capture threads only.
    EXPECT_FALSE(Cam().BindCaptureBody(Cam().m_thrAutoCtrl, CarelessBody));
}

// The receive buffer changes only when the ring takes the frame, and the
// multi-transfer set follows it.
TEST_F(CCaptureFrameTest, ReceiveBuffersAlternateOnAcceptedFramesOnly) {
    constexpr int kLen = 1024;
    CirBuf& ring = *Cam().m_pCirBuf;
    uint8_t* const pFirst = Cam().RecvBuffer();
    ASSERT_TRUE(pFirst == Cam().m_pXferBuf || pFirst == Cam().m_pXferBuf2);
    ASSERT_TRUE(Cam().initAsyncXfer(kLen, 1, kLen, 0x81, pFirst));
    ring.HoldInsertForTest(true);
    EXPECT_EQ(Cam().OfferRecvFrame(kLen, 0, 0, 0, 0, 0, 0), INSERT_ACCEPTED);
    uint8_t* const pSecond = Cam().RecvBuffer();
    EXPECT_NE(pSecond, pFirst);
    EXPECT_EQ(Cam().m_pXfers[0]->buffer, pSecond);
    // Refused while the first is still being read: no switch.
    EXPECT_EQ(Cam().OfferRecvFrame(kLen, 0, 0, 0, 0, 0, 0), INSERT_REFUSED);
    EXPECT_EQ(Cam().RecvBuffer(), pSecond);
    // A bad frame: no switch either.
    ring.HoldInsertForTest(false);
    ASSERT_TRUE(ring.WaitInsertIdle(kWaitMs));
    Cam().RecvBuffer()[0] = 0;
    EXPECT_EQ(Cam().OfferRecvFrame(kLen, FRAME_HEAD_MARKER, 0, 0, 0, 0, 0), INSERT_BAD_FRAME);
    EXPECT_EQ(Cam().RecvBuffer(), pSecond);
    EXPECT_EQ(Cam().OfferRecvFrame(kLen, 0, 0, 0, 0, 0, 0), INSERT_ACCEPTED);
    EXPECT_EQ(Cam().RecvBuffer(), pFirst);
    EXPECT_EQ(Cam().m_pXfers[0]->buffer, pFirst);
    ASSERT_TRUE(ring.WaitInsertIdle(kWaitMs));
    Cam().releaseAsyncXfer();
}

}  // namespace

// test-labels: tsan
// The camera object's life with threads: close and destruction stop and join
// every thread before anything is freed, also when the device has already
// gone; deletion through the base pointer runs the driver's destructor; work
// buffers are replaced without leaks; readers waiting for an image are released.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "test_camera_fixture.h"

using namespace camera_test;

using CameraLifecycleTest = CCameraTest;

namespace {

constexpr int kStepTimeoutMs = 5000;

// A driver whose destructor does not stop the threads and whose thread body
// uses only the camera object's own fields: whatever keeps its buffers safe
// is ~CCameraBase's doing.
std::atomic<bool> g_bBareDestroyed{false};

class CBareDriver : public CCameraBase {
  public:
    ~CBareDriver() override { g_bBareDestroyed = true; }
    bool InitCamera() override {
        m_iMaxWidth = CTestDriver::kMaxWidth;
        m_iMaxHeight = CTestDriver::kMaxHeight;
        return InitVariable();
    }
    bool SetResolution(int, int, int, IMAGE_TYPE) override { return false; }
    bool SetStartPos(int, int) override { return false; }
    bool SetGain(int, bool) override { return false; }
    bool SetRGBBalance(int, int, bool) override { return false; }
    bool SetExp(unsigned long long, bool) override { return false; }
    bool GetImage(unsigned char*, int, int) override { return false; }

    // Writes every frame buffer once a millisecond, counting in m_iDroppedFrames.
    static void Body(std::atomic<bool>* pbRunning, void* pArg) {
        CCameraBase* camera = static_cast<CCameraBase*>(pArg);
        const size_t bytes = static_cast<size_t>(CTestDriver::kMaxWidth) * CTestDriver::kMaxHeight * 2;
        while (pbRunning->load()) {
            {
                CCritSecLock lock(camera->m_csControl);  // the three threads share the buffers
                memset(camera->m_pImgBuf, 1, bytes);
                memset(camera->m_pXferBuf, 2, bytes);
                memset(camera->m_pXferBuf2, 3, bytes);
                camera->m_pGammaLUT16[kGammaLUT16Entries - 1] = 4;
                ++camera->m_iDroppedFrames;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

bool AnyThreadAlive(const CCameraBase& camera) {
    return camera.m_thrWork.IsAlive() || camera.m_thrTrigger.IsAlive() || camera.m_thrAutoCtrl.IsAlive();
}

// Opens and initialises a test driver at bus 1 port 1 and starts the capture,
// trigger and auto-control threads with the looping body.
std::unique_ptr<CTestDriver> RunningCamera() {
    auto camera = std::make_unique<CTestDriver>();
    SetPath(*camera, PathOf(1, "1"));
    EXPECT_TRUE(camera->OpenCamera(1));
    EXPECT_TRUE(camera->InitCamera());
    camera->SetCaptureMode(CTestDriver::CAPTURE_LOOP);
    EXPECT_TRUE(camera->StartWorkThread());
    EXPECT_TRUE(camera->StartTriggerThread());
    EXPECT_TRUE(camera->StartAutoCtrlThread());
    EXPECT_TRUE(camera->WaitSteps(30, kStepTimeoutMs));
    return camera;
}

}  // namespace

// A failed reconnection (or any other loss of the device) clears m_bOpened
// while the threads still run. Closing must stop them all the same; the
// destruction that follows frees the buffers they write.
TEST_F(CameraLifecycleTest, CloseAfterDeviceLostStopsAndJoinsEveryThread) {
    const struct {
        const char* name;
        bool viaReconnect;  // else the device is closed underneath the object
    } cases[] = {{"failed reconnection", true}, {"device closed underneath", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
        std::atomic<bool> destroyed{false};
        std::unique_ptr<CTestDriver> camera = RunningCamera();
        camera->SetDestroyedFlag(&destroyed);

        if (c.viaReconnect) {
            ASSERT_TRUE(dev.unplug());
            EXPECT_FALSE(camera->ReConnectCamera());
        } else {
            camera->CloseDevice();
        }
        ASSERT_FALSE(camera->m_bOpened);
        ASSERT_TRUE(AnyThreadAlive(*camera));  // nothing has stopped them yet
        const int steps = camera->Steps();
        EXPECT_TRUE(camera->WaitSteps(steps + 5, kStepTimeoutMs));

        camera->CloseCamera();
        EXPECT_FALSE(camera->m_thrWork.IsAlive());
        EXPECT_FALSE(camera->m_thrTrigger.IsAlive());
        EXPECT_FALSE(camera->m_thrAutoCtrl.IsAlive());
        const int stepsAfterClose = camera->Steps();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(camera->Steps(), stepsAfterClose);

        CCameraBase* base = camera.release();
        delete base;
        EXPECT_TRUE(destroyed);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(kyrsim_live_contexts(), 0);
        EXPECT_EQ(kyrsim_device_refs(), 0);
    }
}

// Deleted with its threads still running and no close at all: the threads end
// before a single buffer is freed.
TEST_F(CameraLifecycleTest, DeleteWithoutCloseJoinsThreadsBeforeFreeing) {
    PlugCamera(1, "1", MakeSerial(1));
    std::atomic<bool> destroyed{false};
    std::unique_ptr<CTestDriver> camera = RunningCamera();
    camera->SetDestroyedFlag(&destroyed);
    CCameraBase* base = camera.release();
    delete base;
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(kyrsim_live_contexts(), 0);
}

// The same for a driver that leaves its threads to the base: ~CCameraBase
// joins them before it frees anything.
TEST_F(CameraLifecycleTest, BaseDestructorJoinsThreadsBeforeFreeing) {
    CBareDriver* driver = new CBareDriver();
    ASSERT_TRUE(driver->InitCamera());
    ThreadCtrl* threads[] = {&driver->m_thrWork, &driver->m_thrTrigger, &driver->m_thrAutoCtrl};
    for (ThreadCtrl* t : threads) {
        ASSERT_TRUE(t->InitFuncPt(CBareDriver::Body));
        ASSERT_TRUE(t->Start(driver));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (driver->m_iDroppedFrames < 30 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(driver->m_iDroppedFrames, 30);
    CCameraBase* base = driver;
    delete base;
    EXPECT_TRUE(g_bBareDestroyed);
}

TEST_F(CameraLifecycleTest, DeleteThroughBasePointerRunsDriverDestructor) {
    std::atomic<bool> destroyed{false};
    CTestDriver* driver = new CTestDriver();
    driver->SetDestroyedFlag(&destroyed);
    CCameraBase* base = driver;
    testing::internal::CaptureStderr();
    delete base;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(destroyed);
    // The whole chain ran, the base and the transport last.
    size_t base_pos = err.find("~CCameraBase\n");
    size_t fx3_pos = err.find("~CCameraFX3\n");
    EXPECT_NE(base_pos, std::string::npos) << err;
    EXPECT_NE(fx3_pos, std::string::npos) << err;
    EXPECT_LT(base_pos, fx3_pos);
    EXPECT_EQ(kyrsim_live_contexts(), 0);
}

TEST_F(CameraLifecycleTest, CloseOfNeverOpenedCameraSavesAndLogsNothing) {
    PlugCamera(1, "1", MakeSerial(1));
    CTestDriver camera;
    camera.m_bSnapMode = true;  // would save the settings if it were open
    kyrsim::clearLog();
    testing::internal::CaptureStderr();
    camera.CloseCamera();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(camera.CloseCalls(), 1);
    EXPECT_EQ(kyrsim_log_count(), 0);
    struct stat st;
    EXPECT_NE(stat((std::string(getenv("HOME")) + "/.VORN/KYRconfig.xml").c_str(), &st), 0);
}

// A second InitVariable stops the threads that use the old buffers before it
// releases them; the old buffers are not leaked (the leak checker at process
// exit sees them otherwise).
TEST_F(CameraLifecycleTest, InitVariableAgainStopsThreadsAndReplacesBuffers) {
    PlugCamera(1, "1", MakeSerial(1));
    std::unique_ptr<CTestDriver> camera = RunningCamera();
    ASSERT_NE(camera->m_pImgBuf, nullptr);

    EXPECT_TRUE(camera->InitVariable());
    EXPECT_FALSE(AnyThreadAlive(*camera));
    ASSERT_NE(camera->m_pImgBuf, nullptr);
    ASSERT_NE(camera->m_pXferBuf, nullptr);
    ASSERT_NE(camera->m_pXferBuf2, nullptr);
    ASSERT_NE(camera->m_pGammaLUT16, nullptr);
    ASSERT_NE(camera->m_pHotPixMap, nullptr);
    ASSERT_NE(camera->m_pHotPixRoi, nullptr);
    const size_t frameBytes = static_cast<size_t>(CTestDriver::kMaxWidth) * CTestDriver::kMaxHeight * 2;
    // Full sizes, and the maps start cleared.
    camera->m_pImgBuf[frameBytes - 1] = 1;
    camera->m_pXferBuf[frameBytes - 1] = 1;
    camera->m_pXferBuf2[frameBytes - 1] = 1;
    camera->m_pGammaLUT16[kGammaLUT16Entries - 1] = 1;
    for (size_t i = 0; i < frameBytes / 2; ++i) {
        ASSERT_EQ(camera->m_pHotPixMap[i], 0) << i;
        ASSERT_EQ(camera->m_pHotPixRoi[i], 0) << i;
    }

    // Running again on the new buffers, then a third round.
    EXPECT_TRUE(camera->StartWorkThread());
    EXPECT_TRUE(camera->WaitSteps(camera->Steps() + 10, kStepTimeoutMs));
    EXPECT_TRUE(camera->InitCamera());
    EXPECT_FALSE(AnyThreadAlive(*camera));
    camera->CloseCamera();
}

TEST_F(CameraLifecycleTest, InitVariableRefusesBadSizesAndKeepsBuffers) {
    CTestDriver camera;
    ASSERT_TRUE(camera.InitCamera());
    uint8_t* img = camera.m_pImgBuf;
    uint16_t* gamma = camera.m_pGammaLUT16;
    const struct {
        int width;
        int height;
    } cases[] = {{0, 48}, {64, 0}, {-64, 48}, {-64, -48}, {65536, 65536}, {INT_MAX, 2}, {46341, 46341}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        camera.m_iMaxWidth = c.width;
        camera.m_iMaxHeight = c.height;
        EXPECT_FALSE(camera.InitVariable());
        EXPECT_EQ(camera.m_pImgBuf, img);
        EXPECT_EQ(camera.m_pGammaLUT16, gamma);
    }
}

// A reader waiting in GetImage returns once the readers are released, and
// later reads return at once; close releases them too.
TEST_F(CameraLifecycleTest, ReleasedReadersLeaveGetImage) {
    for (bool viaClose : {false, true}) {
        SCOPED_TRACE(viaClose ? "close" : "release");
        CTestDriver camera;
        ASSERT_TRUE(camera.InitCamera());

        // A frame fed before the release is delivered as usual.
        camera.FeedFrame({1, 2, 3, 4});
        unsigned char buf[4] = {};
        EXPECT_TRUE(camera.GetImage(buf, sizeof(buf), 1000));
        EXPECT_EQ(buf[3], 4);

        // A long wait, so that a reader that is never released fails the
        // test instead of hanging it.
        std::atomic<bool> returned{false};
        bool result = true;
        long long readerMs = 0;
        std::thread reader([&] {
            readerMs = TimedMs([&] { result = camera.GetImage(buf, sizeof(buf), 30000); });
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(returned);
        if (viaClose)
            camera.CloseCamera();
        else
            camera.ReleaseImageReaders();
        reader.join();
        EXPECT_FALSE(result);
        EXPECT_LT(readerMs, 10000);

        long long ms = TimedMs([&] { EXPECT_FALSE(camera.GetImage(buf, sizeof(buf), 5000)); });
        EXPECT_LT(ms, 1000);
    }
}

// A stop made while the caller holds the control lock ends threads that are
// waiting for that lock, instead of deadlocking.
TEST_F(CameraLifecycleTest, CloseUnderControlLockDoesNotDeadlock) {
    PlugCamera(1, "1", MakeSerial(1));
    std::unique_ptr<CTestDriver> camera = RunningCamera();
    {
        CCritSecLock lock(camera->m_csControl);
        long long ms = TimedMs([&] { camera->CloseCamera(); });
        EXPECT_LT(ms, 5000);
        EXPECT_FALSE(AnyThreadAlive(*camera));
    }
    EXPECT_FALSE(camera->m_bOpened);
}

// Bodies waiting on the latch end when stopped; bodies that end by themselves
// leave the status they reached.
TEST_F(CameraLifecycleTest, CaptureBodiesEndByThemselvesOrWhenStopped) {
    const struct {
        CTestDriver::CaptureMode mode;
        int status;
    } cases[] = {{CTestDriver::CAPTURE_SUCCEED, KYR_EXP_SUCCESS},
                 {CTestDriver::CAPTURE_FAIL, KYR_EXP_FAILED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        CTestDriver camera;
        ASSERT_TRUE(camera.InitCamera());
        camera.SetCaptureMode(c.mode);
        camera.ArmLatch();
        camera.m_iExpStatus = KYR_EXP_WORKING;
        ASSERT_TRUE(camera.StartWorkThread());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (camera.LatchWaiters() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(camera.LatchWaiters(), 1);
        EXPECT_EQ(camera.m_iExpStatus, KYR_EXP_WORKING);
        camera.OpenLatch();
        while (camera.m_thrWork.IsAlive() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(camera.m_thrWork.IsAlive());
        EXPECT_EQ(camera.m_iExpStatus, c.status);
    }

    // Stopped while still waiting on the latch: ends as failed.
    CTestDriver camera;
    camera.SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
    camera.ArmLatch();
    ASSERT_TRUE(camera.StartWorkThread());
    camera.CloseCamera();
    EXPECT_FALSE(camera.m_thrWork.IsAlive());
    EXPECT_EQ(camera.m_iExpStatus, KYR_EXP_FAILED);
}

// test-labels: tsan
// Driver objects deleted while they capture: the object the factory makes
// stops and joins every thread of the camera before any part of the driver
// is destroyed, so a capture thread never calls into a driver whose derived
// part is gone (the 802's control word without its shadow of register 0,
// a cooled camera's cooler without its model).
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <thread>

#include "camera/CameraBase.h"
#include "api/ModelFactory.h"
#include "TestSpeed.h"
#include "kyrsim.hpp"

namespace {

constexpr int kWaitMs = 10000 * kTestSlowdown;

struct SClassCase {
    const char* what;
    int pid;
};
const SClassCase kClasses[] = {
    {"802 (raw FPGA programming, control-word shadow)", 0x802a},
    {"832 Pro (cooled, DDR buffer)", 0x832f},
    {"807 (crop sensor)", 0x811a},
};

// Waits until the camera has sent n whole frames since it was plugged.
bool WaitFramesDone(const kyrsim::Device& dev, long long n) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (dev.query(KYRSIM_Q_FRAMES_DONE) < n) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CDriverTeardownTest : public ::testing::Test {
  protected:
    void SetUp() override { kyrsim::reset(); }
    void TearDown() override { kyrsim::reset(); }
};

// What the camera was left with when its object was gone.
struct SLeft {
    int iCtrlWord;   // FPGA register 0
    long long llStreaming;
};

// A capturing camera of pid, built and opened as the exported open does,
// deleted through the base (closed first when bCloseFirst, as the exported
// close does).
void CaptureAndDelete(int pid, bool bCloseFirst, SLeft* pLeft) {
    kyrsim::reset();
    kyrsim::Device dev = kyrsim::plug(kyrsim::config(pid, 1, "1"));
    ASSERT_TRUE(dev.valid());
    CCameraBase* cam = CreateCameraForProduct(pid);
    ASSERT_NE(cam, nullptr);
    snprintf(cam->m_pDevPath, kCameraDevPathBytes, "bus1.port:1,");
    cam->m_iUsbPID = pid;
    ASSERT_TRUE(cam->OpenCamera(1));
    ASSERT_TRUE(cam->InitCamera());
    {
        CCritSecLock lock(cam->m_csControl);
        ASSERT_TRUE(cam->SetResolution(640, 480, 1, IMAGE_8BIT));
    }
    ASSERT_TRUE(cam->StartCapture(false));
    ASSERT_TRUE(WaitFramesDone(dev, 2));
    ASSERT_TRUE(cam->m_thrWork.IsAlive());

    if (bCloseFirst) cam->CloseCamera();
    delete cam;

    // Every thread has ended: the camera hears nothing more, and the
    // device was closed.
    EXPECT_EQ(kyrsim_open_handles(), 0);
    const int requests = kyrsim_log_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(kyrsim_log_count(), requests);
    EXPECT_EQ(dev.query(KYRSIM_Q_INFLIGHT), 0);
    *pLeft = SLeft{dev.fpga(0), dev.query(KYRSIM_Q_STREAMING)};
}

// Deleted while it captures, with no close before: the driver is closed
// whole, its own operations in force, and the camera is left as a close
// leaves it (the 802's output stopped through its control-word shadow).
TEST_F(CDriverTeardownTest, DeletedWhileCapturingStopsEveryThreadFirst) {
    for (const SClassCase& c : kClasses) {
        SCOPED_TRACE(c.what);
        SLeft closed{}, deleted{};
        ASSERT_NO_FATAL_FAILURE(CaptureAndDelete(c.pid, true, &closed));
        ASSERT_NO_FATAL_FAILURE(CaptureAndDelete(c.pid, false, &deleted));
        EXPECT_EQ(deleted.iCtrlWord, closed.iCtrlWord);
        EXPECT_EQ(deleted.llStreaming, closed.llStreaming);
    }
}

}  // namespace

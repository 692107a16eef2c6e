// test-labels: tsan
// Camera::capture: one image, a failed snapshot, a too-small read, a busy
// camera and a snapshot that never ends. Frames come from the frame-streaming
// test driver, which reads real frames from the simulated camera through the
// core's frame path; the snapshot that never ends comes from the scripted
// test driver. Both stand behind the 832MC's product ID until the 832 driver
// captures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../core/camera/test_capture_fixture.h"
#include "FrameDriver.h"
#include "KYRCamera.h"
#include "TestDriver.h"
#include "api/ModelFactory.h"
#include "camera.h"
#include "exceptions.h"
#include "kyrsim.hpp"
#include "layer_fixture.h"

using Clock = std::chrono::steady_clock;
using vorn_kyr::Camera;

namespace {

constexpr int kPid = CTestDriver::kProductID;
constexpr int kImageBytes = CTestDriver::kMaxWidth * CTestDriver::kMaxHeight;

std::atomic<CTestDriver*> g_pDriver{nullptr};

CCameraBase* MakeFrameDriver() {
    auto* p = new CFrameDriver();
    g_pDriver = p;
    return p;
}

CCameraBase* MakeScriptedDriver() {
    auto* p = new CTestDriver();
    g_pDriver = p;
    return p;
}

std::string CaptureError(Camera& cam, unsigned char* buffer, int size) {
    return layer_test::ErrorOf([&] { cam.capture(buffer, size); });
}

class CaptureTest : public ::testing::Test {
  protected:
    void Plug(CameraConstructor make) {
        kyrsim::reset();
        SetCameraConstructorForTest(kPid, make);
        m_Dev = kyrsim::plug(kPid, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_TRUE(m_Dev.setFrameInterval(std::chrono::microseconds(3000)));
        // The test drivers stream without programming a sensor: frames flow
        // without taking it out of standby.
        ASSERT_TRUE(m_Dev.setSensorModel(false));
    }
    void TearDown() override {
        m_pCam.reset();
        for (int id = 0; id < 4; ++id) KYRCloseCamera(id);
        SetCameraConstructorForTest(kPid, nullptr);
        g_pDriver = nullptr;
        vorn_kyr::internal::set_capture_margin(vorn_kyr::kCaptureMargin);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim::reset();
    }
    // The image a caller must get for the last frame sent: the marker words
    // at both ends restored from two rows away.
    std::vector<unsigned char> SentImage() const {
        std::vector<unsigned char> frame = m_Dev.lastFrame();
        const size_t n = frame.size(), twoRows = 2 * CTestDriver::kMaxWidth;
        if (n < twoRows + 4) return frame;
        std::copy_n(frame.begin() + twoRows, 4, frame.begin());
        std::copy_n(frame.end() - 4 - twoRows, 4, frame.end() - 4);
        return frame;
    }

    kyrsim::Device m_Dev;
    std::unique_ptr<Camera> m_pCam;
};

TEST_F(CaptureTest, OneCaptureFillsTheBuffer) {
    ASSERT_NO_FATAL_FAILURE(Plug(MakeFrameDriver));
    m_pCam = std::make_unique<Camera>(0);
    std::vector<unsigned char> image(kImageBytes, 0);
    m_pCam->capture(image.data(), kImageBytes);
    EXPECT_EQ(image, SentImage());
}

// A finished snapshot, failed or read with too small a buffer, leaves its
// result behind; the next capture is not refused as busy.
TEST_F(CaptureTest, AFailedSnapshotDoesNotBlockTheNext) {
    ASSERT_NO_FATAL_FAILURE(Plug(MakeFrameDriver));
    m_pCam = std::make_unique<Camera>(0);
    std::vector<unsigned char> image(kImageBytes, 0);
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_STALL, 0, 0, 1000));
    EXPECT_EQ(CaptureError(*m_pCam, image.data(), kImageBytes), "failed to get exposure");
    ASSERT_TRUE(m_Dev.clearStreamFaults());
    EXPECT_EQ(CaptureError(*m_pCam, image.data(), kImageBytes), "");
    EXPECT_EQ(image, SentImage());
}

TEST_F(CaptureTest, ATooSmallReadDoesNotBlockTheNext) {
    ASSERT_NO_FATAL_FAILURE(Plug(MakeFrameDriver));
    m_pCam = std::make_unique<Camera>(0);
    std::vector<unsigned char> image(kImageBytes, 0);
    EXPECT_EQ(CaptureError(*m_pCam, image.data(), kImageBytes - 1),
              "KYR Camera: (camera index: 0) failed to read image after capture (error code: 13: "
              "KYR_ERROR_BUFFER_TOO_SMALL)");
    EXPECT_EQ(CaptureError(*m_pCam, image.data(), kImageBytes), "");
    EXPECT_EQ(image, SentImage());
}

// A snapshot that never leaves WORKING ends at its exposure plus the margin:
// the exposure is stopped and the caller gets an error instead of a hang.
TEST_F(CaptureTest, AStuckSnapshotTimesOutAndIsStopped) {
    ASSERT_NO_FATAL_FAILURE(Plug(MakeScriptedDriver));
    m_pCam = std::make_unique<Camera>(0);
    CTestDriver* pDriver = g_pDriver.load();
    ASSERT_NE(pDriver, nullptr);
    ASSERT_NO_FATAL_FAILURE(capture_test::BindCaptureBodies(*pDriver));
    pDriver->SetCaptureMode(CTestDriver::CAPTURE_LOOP);
    pDriver->m_lExpTimeUs = 100000;
    vorn_kyr::internal::set_capture_margin(std::chrono::milliseconds(300));
    std::vector<unsigned char> image(kImageBytes, 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(CaptureError(*m_pCam, image.data(), kImageBytes), "failed to get exposure: timed out");
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 400);
    EXPECT_LT(waited, 20000);
    EXPECT_GT(pDriver->Steps(), 0) << "the snapshot ran";
    EXPECT_FALSE(capture_test::IsCapturing(*pDriver)) << "the snapshot was stopped";
    KYR_EXPOSURE_STATUS status = KYR_EXP_WORKING;
    ASSERT_EQ(KYRGetExpStatus(0, &status), KYR_SUCCESS);
    EXPECT_NE(status, KYR_EXP_WORKING);
}

// An exposure in progress is busy: capture refuses and leaves it running.
TEST_F(CaptureTest, AnExposureInProgressIsBusy) {
    ASSERT_NO_FATAL_FAILURE(Plug(MakeScriptedDriver));
    m_pCam = std::make_unique<Camera>(0);
    CTestDriver* pDriver = g_pDriver.load();
    ASSERT_NO_FATAL_FAILURE(capture_test::BindCaptureBodies(*pDriver));
    pDriver->SetCaptureMode(CTestDriver::CAPTURE_LOOP);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    std::vector<unsigned char> image(kImageBytes, 0);
    EXPECT_EQ(CaptureError(*m_pCam, image.data(), kImageBytes), "could not take a picture: camera busy");
    const int steps = pDriver->Steps();
    EXPECT_TRUE(pDriver->WaitSteps(steps + 5, capture_test::kWaitMs)) << "the exposure goes on";
    EXPECT_EQ(KYRStopExposure(0), KYR_SUCCESS);
}

}  // namespace

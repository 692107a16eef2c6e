// Helpers of the trigger capture tests: waiting until a capture has the
// simulated camera streaming (a trigger before that finds the FPGA stopped
// and is lost, as on the camera), and camera 0's exposure status.
#ifndef KYR_TEST_TRIGGER_CHECK_H
#define KYR_TEST_TRIGGER_CHECK_H

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KYRCamera.h"
#include "ModelFixture.h"
#include "kyrsim.hpp"

// Waits up to waitMs of real time until camera dev's FPGA runs; fails the test otherwise.
inline void ExpectStreamRunning(const kyrsim::Device& dev, int waitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (dev.query(KYRSIM_Q_RUNNING) != 1 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(dev.query(KYRSIM_Q_RUNNING), 1);
}

// Camera 0's exposure status (IDLE when it cannot be read).
inline KYR_EXPOSURE_STATUS ExposureStatus() {
    KYR_EXPOSURE_STATUS st = KYR_EXP_IDLE;
    KYRGetExpStatus(0, &st);
    return st;
}

// A single exposure started on camera 0 stays WORKING, with no frame sent,
// for `quiet`; once the capture has the camera streaming, the trigger
// fire() gives ends it as SUCCESS within waitMs. The capture arms the camera
// on its own thread (a USB reset and a pause first), which a loaded machine
// can hold back past the quiet time; a trigger before that is lost, as on
// the camera.
template <class F>
void ExpectSnapshotTakesItsTrigger(const kyrsim::Device& dev, std::chrono::milliseconds quiet, int waitMs, F fire) {
    const long long frames = dev.query(KYRSIM_Q_FRAMES);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    std::this_thread::sleep_for(quiet);
    EXPECT_EQ(ExposureStatus(), KYR_EXP_WORKING);
    EXPECT_EQ(dev.query(KYRSIM_Q_FRAMES), frames);
    ASSERT_NO_FATAL_FAILURE(ExpectStreamRunning(dev, waitMs));
    ASSERT_NO_FATAL_FAILURE(fire());
    ASSERT_EQ(WaitExposureEnd(waitMs), KYR_EXP_SUCCESS);
}

// Soft triggers as fast as they come while camera 0 runs trigger-mode video
// of 8-bit w x h images, every row numbered with its frame: of 40 reads at
// least 30 deliver, and none holds rows of two frames.
inline void ExpectUntornFramesAtFullRate(const kyrsim::Device& dev, int w, int h, int waitMs) {
    ASSERT_EQ(kyrsim_set_scene(dev.handle(), KYRSIM_SCENE_FRAME_NUMBER), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> run{true};
    std::thread trigger([&] {
        while (run) {
            KYRSendSoftTrigger(0, KYR_TRUE);
            KYRSendSoftTrigger(0, KYR_FALSE);
        }
    });
    std::vector<unsigned char> img(static_cast<size_t>(w) * h);
    int torn = 0, read = 0;
    for (int i = 0; i < 40; ++i) {
        if (KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), waitMs) != KYR_SUCCESS) continue;
        ++read;
        for (int y = 1; y < h; ++y)
            if (memcmp(&img[static_cast<size_t>(y) * w], img.data(), 4) != 0) {
                ++torn;
                break;
            }
    }
    run = false;
    trigger.join();
    EXPECT_GE(read, 30);
    EXPECT_EQ(torn, 0);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

#endif

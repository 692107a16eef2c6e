// Checks of a video stream through the exported functions that the capture
// tests of several models share: whole frames of the frame-number scene, the
// dropped-frame count, and the stream's end when the camera is unplugged or
// closed under a reader.
#ifndef KYR_TEST_STREAM_CHECK_H
#define KYR_TEST_STREAM_CHECK_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KYRCamera.h"
#include "TestSpeed.h"
#include "camera/CameraBase.h"
#include "kyrsim.h"

// The frame number that the frame-number scene writes into bytes 0..3 of
// every row of an 8-bit image `width` wide, in *pNumber; a failure naming
// the first row of another frame (a torn image). Marker repair copies the
// first row's bytes from a row of the same frame, so it counts too.
inline testing::AssertionResult WholeFrameNumber(const std::vector<unsigned char>& img, int width,
                                                 uint32_t* pNumber) {
    const size_t rows = img.size() / static_cast<size_t>(width);
    if (rows < 2) return testing::AssertionFailure() << "fewer than two rows";
    memcpy(pNumber, &img[static_cast<size_t>(width)], 4);
    for (size_t row = 0; row < rows; ++row) {
        uint32_t n;
        memcpy(&n, &img[row * static_cast<size_t>(width)], 4);
        if (n != *pNumber)
            return testing::AssertionFailure() << "row " << row << " of frame " << n << " in frame " << *pNumber;
    }
    return testing::AssertionSuccess();
}

// Camera id's dropped-frame count (-1 when it cannot be read).
inline int DroppedFrames(int id) {
    int dropped = -1;
    EXPECT_EQ(KYRGetDroppedFrames(id, &dropped), KYR_SUCCESS);
    return dropped;
}

// Camera 0 (simulated camera handle) streams `frames` images of width x
// height RAW8 of the frame-number scene, the camera sending one every
// intervalUs: each whole, in increasing order, and (where the test runs
// natively) none dropped before the stop; 0 dropped after it.
inline void ExpectWholeFramesWithoutDrops(int handle, int width, int height, int intervalUs, int frames,
                                          int waitMs) {
    ASSERT_EQ(KYRSetROIFormat(0, width, height, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_set_scene(handle, KYRSIM_SCENE_FRAME_NUMBER), 0);
    ASSERT_EQ(kyrsim_set_frame_interval(handle, intervalUs), 0);
    // Frames come slower than the camera's timing says: an exposure longer
    // than the interval (still short of a long exposure) keeps the driver's
    // first-transfer wait long enough, so that no wait ends as a frame starts.
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, intervalUs + 50000, KYR_FALSE), KYR_SUCCESS);
    std::vector<unsigned char> img(static_cast<size_t>(width) * height);
    // A first run brings the frame buffers into memory: the first copies into
    // buffers never written before can take longer than a frame on a loaded
    // machine, and the frame that comes meanwhile is rightly counted lost.
    // The run checked below reuses the same buffers.
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), waitMs), KYR_SUCCESS) << i;
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    uint32_t last = 0;
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), waitMs), KYR_SUCCESS) << i;
        uint32_t number;
        ASSERT_TRUE(WholeFrameNumber(img, width, &number)) << i;
        if (i > 0) {
            EXPECT_GT(number, last);
        }
        last = number;
    }
    // An emulated reader on a loaded machine may fall behind the camera.
    if (kTestSlowdown == 1) {
        EXPECT_EQ(DroppedFrames(0), 0);
    }
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(DroppedFrames(0), 0);
}

// Camera 0 (object pCam, simulated camera handle) streams `bytes` images;
// the camera goes in the middle of a frame. The capture ends by itself, a
// reader waiting without limit gets an error once the frames still in the
// ring are read, and stop and close return.
inline void ExpectUnplugMidStreamEndsTheReader(CCameraBase* pCam, int handle, size_t bytes, int waitMs) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::vector<unsigned char> img(bytes);
    ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), waitMs), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_stream_fault(handle, KYRSIM_STREAM_UNPLUG, 1000, 0, 1), 0);
    std::atomic<int> rc{KYR_SUCCESS};
    std::thread reader([&] {
        std::vector<unsigned char> buf(bytes);
        for (int i = 0; i < 5 && rc == KYR_SUCCESS; ++i)
            rc = KYRGetVideoData(0, buf.data(), static_cast<long>(buf.size()), -1);
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 * kTestSlowdown);
    while (pCam->m_thrWork.IsAlive() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool ended = !pCam->m_thrWork.IsAlive();
    EXPECT_TRUE(ended);
    if (!ended) KYRStopVideoCapture(0);  // releases the reader all the same
    reader.join();
    EXPECT_NE(rc.load(), KYR_SUCCESS);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_FALSE(pCam->m_thrAutoCtrl.IsAlive());
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
}

#endif

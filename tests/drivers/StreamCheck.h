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

// Captures through the exported functions and the frame the simulated camera
// sent, for the end-to-end driver tests of every model (FrameReference.h
// gives the image a caller should get from that frame).
#ifndef KYR_TEST_CAPTURE_CHECK_H
#define KYR_TEST_CAPTURE_CHECK_H

#include <string.h>

#include <chrono>
#include <thread>
#include <vector>

#include "FrameReference.h"
#include "KYRCamera.h"
#include "engine/EngineDriver.h"
#include "kyrsim.h"

// Waits, up to waitMs of real time, until the single exposure of camera 0
// has ended; its status.
inline KYR_EXPOSURE_STATUS WaitExposureEnd(int waitMs) {
    KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (st == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        KYRGetExpStatus(0, &st);
    }
    return st;
}

// Starts a single exposure on camera 0 and waits for its end (IDLE: refused).
inline KYR_EXPOSURE_STATUS Expose(int waitMs) {
    if (KYRStartExposure(0, KYR_FALSE) != KYR_SUCCESS) return KYR_EXP_IDLE;
    return WaitExposureEnd(waitMs);
}

// One image of the set format of camera 0 through video or a single
// exposure, waiting at most waitMs.
inline bool CaptureImage(bool snap, std::vector<unsigned char>* pImage, int waitMs) {
    if (snap) {
        if (Expose(waitMs) != KYR_EXP_SUCCESS) return false;
        return KYRGetDataAfterExp(0, pImage->data(), static_cast<long>(pImage->size())) == KYR_SUCCESS;
    }
    if (KYRStartVideoCapture(0) != KYR_SUCCESS) return false;
    const bool ok =
        KYRGetVideoData(0, pImage->data(), static_cast<long>(pImage->size()), waitMs) == KYR_SUCCESS;
    KYRStopVideoCapture(0);
    return ok;
}

// The frame camera `handle` sent last, of frameBytes.
inline std::vector<unsigned char> SentFrame(int handle, int frameBytes) {
    std::vector<unsigned char> f(static_cast<size_t>(frameBytes));
    if (kyrsim_last_frame(handle, f.data(), frameBytes) != frameBytes) f.clear();
    return f;
}

#endif

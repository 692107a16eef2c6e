// Captures through the exported functions and the image a caller should get
// from the frame the simulated camera sent, for the end-to-end driver tests
// of every model.
#ifndef KYR_TEST_CAPTURE_CHECK_H
#define KYR_TEST_CAPTURE_CHECK_H

#include <string.h>

#include <chrono>
#include <thread>
#include <vector>

#include "CAlgorithm.h"
#include "KYRCamera.h"
#include "engine/EngineDriver.h"
#include "kyrsim.h"

inline int ImageBytesPerPixel(IMG_TYPE t) { return t == IMG_RGB24 ? 3 : t == IMG_RAW16 ? 2 : 1; }

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

// The image of w x h in `type` a caller should get from a sent frame of
// readout r: markers from two rows away, colour binning of what the sensor
// left, both flips when `flip`, conversion.
inline std::vector<unsigned char> ReferenceImage(std::vector<unsigned char> frame, int w, int h,
                                                 IMG_TYPE type, bool flip, const SReadout& r) {
    const bool b16 = r.b16;
    const int rowBytes = r.iCols * (b16 ? 2 : 1);
    const size_t n = frame.size();
    if (n < 2u * rowBytes + 4) return {};
    memcpy(frame.data(), frame.data() + 2 * rowBytes, 4);
    memcpy(frame.data() + n - 4, frame.data() + n - 4 - 2 * rowBytes, 4);
    CAlgorithm alg;
    if (r.iSoftBin > 1)
        alg.ColorRAWBin(frame.data(), reinterpret_cast<unsigned short*>(frame.data()), w, h, r.iSoftBin, b16);
    alg.SoftMisc(frame.data(), w, h, b16, flip, flip);
    const size_t out = static_cast<size_t>(w) * h * ImageBytesPerPixel(type);
    std::vector<unsigned char> img(out);
    if (type == IMG_RGB24 || type == IMG_Y8)
        alg.BayerConv(frame.data(), img.data(), w, h, type == IMG_RGB24 ? IMAGE_RGB24 : IMAGE_8BIT, flip,
                      flip);
    else
        memcpy(img.data(), frame.data(), out);
    return img;
}

#endif

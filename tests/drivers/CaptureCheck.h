// One image through video or a single exposure, to be checked against the
// frame the simulated camera sent (FrameReference.h).
#ifndef KYR_TEST_CAPTURE_CHECK_H
#define KYR_TEST_CAPTURE_CHECK_H

#include <vector>

#include "FrameReference.h"
#include "KYRCamera.h"
#include "ModelFixture.h"
#include "kyrsim.h"

// One image of the set format of camera 0 through video or a single
// exposure, waiting at most waitMs for it.
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

// The frame camera `handle` sent last, of frameBytes (empty when it sent none of that size).
inline std::vector<unsigned char> SentFrame(int handle, int frameBytes) {
    std::vector<unsigned char> f(static_cast<size_t>(frameBytes));
    if (kyrsim_last_frame(handle, f.data(), frameBytes) != frameBytes) f.clear();
    return f;
}

#endif

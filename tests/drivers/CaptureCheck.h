// One image through video or a single exposure (CaptureImage, ModelFixture.h),
// to be checked against the frame the simulated camera sent (FrameReference.h).
#ifndef KYR_TEST_CAPTURE_CHECK_H
#define KYR_TEST_CAPTURE_CHECK_H

#include <vector>

#include "FrameReference.h"
#include "KYRCamera.h"
#include "ModelFixture.h"
#include "kyrsim.h"

// The frame camera `handle` sent last, of frameBytes (empty when it sent none of that size).
inline std::vector<unsigned char> SentFrame(int handle, int frameBytes) {
    std::vector<unsigned char> f(static_cast<size_t>(frameBytes));
    if (kyrsim_last_frame(handle, f.data(), frameBytes) != frameBytes) f.clear();
    return f;
}

#endif

// One image through video or a single exposure (CaptureImage, ModelFixture.h),
// to be checked against the frame the simulated camera sent (FrameReference.h).
#ifndef KYR_TEST_CAPTURE_CHECK_H
#define KYR_TEST_CAPTURE_CHECK_H

#include <vector>

#include "FrameReference.h"
#include "KYRCamera.h"
#include "ModelFixture.h"

#endif

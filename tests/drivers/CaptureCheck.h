// One image through video or a single exposure (CaptureImage, ModelFixture.h),
// to be checked against the frame the simulated camera sent (FrameReference.h).
#ifndef KYR_TEST_CAPTURE_CHECK_H
#define KYR_TEST_CAPTURE_CHECK_H

#include <string>
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

// The trace text of a content case.
inline std::string ContentCaseText(const SContentCase& c) {
    return std::to_string(c.w) + "x" + std::to_string(c.h) + " bin " + std::to_string(c.bin) + " type " +
           std::to_string(c.type) + (c.flip ? " flip" : "") + (c.snap ? " snap" : " video") + " at " +
           std::to_string(c.x) + "," + std::to_string(c.y);
}

// Camera 0 in the case's format, start (when the case gives one) and flips.
inline void SetContentCase(const SContentCase& c) {
    ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
    if (c.x >= 0) {
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
    }
    ASSERT_EQ(KYRSetControlValue(0, KYR_FLIP, c.flip ? 3 : 0, KYR_FALSE), KYR_SUCCESS);
}

// One image of the case from camera 0 (set by SetContentCase) is the frame
// camera `handle` sent for readout r, finished as the case asks.
inline void ExpectImageOfSentFrame(const SContentCase& c, int handle, const SReadout& r, int waitMs) {
    std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
    ASSERT_TRUE(CaptureImage(c.snap, &img, waitMs));
    const std::vector<unsigned char> sent = SentFrame(handle, r.iFrameBytes);
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
}

// What a camera whose sensor has read-out modes gives: the frame it sent is
// the scene's window at the start the camera reports (ExpectedSensorFrame, bits
// significant in 16-bit output), but for the marker words at both ends, and
// one image of the case from camera 0 is that frame finished as the case asks
// (repairRows and mono as ReferenceImage takes them).
struct SSceneCheck {
    int handle;
    bool mono;
    int bits;
    int repairRows;
};

inline void ExpectImageOfScene(const SContentCase& c, const SSceneCheck& k, const SReadout& r, int waitMs) {
    int sx = -1, sy = -1;
    ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
    std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
    ASSERT_TRUE(CaptureImage(c.snap, &img, waitMs));
    const std::vector<unsigned char> sent = SentFrame(k.handle, r.iFrameBytes);
    ASSERT_FALSE(sent.empty());
    const std::vector<unsigned char> expected = ExpectedSensorFrame(k.handle, sx * c.bin, sy * c.bin, r, k.mono, k.bits);
    EXPECT_TRUE(SameExceptEnds(sent, expected));
    EXPECT_TRUE(img == ReferenceImage(expected, c.w, c.h, c.type, c.flip, r, k.repairRows, k.mono));
}

#endif

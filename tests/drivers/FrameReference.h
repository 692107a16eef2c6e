// The image a caller should get from a frame the simulated camera sent:
// markers restored from two rows away, the colour binning the sensor left to
// the software, both flips, then the conversion to the caller's type.
#ifndef KYR_TEST_FRAME_REFERENCE_H
#define KYR_TEST_FRAME_REFERENCE_H

#include <string.h>

#include <vector>

#include "CAlgorithm.h"
#include "KYRCamera.h"
#include "engine/EngineDriver.h"

// One image a capture test takes and checks.
struct SContentCase {
    int w, h, bin;
    IMG_TYPE type;
    bool hardwareBin;
    bool flip;  // both flips
    bool snap;  // single exposure instead of video
    int x, y;   // window start (binned, as the caller gives it); -1: centred
};

inline int ImageBytesPerPixel(IMG_TYPE t) { return t == IMG_RGB24 ? 3 : t == IMG_RAW16 ? 2 : 1; }

inline std::vector<unsigned char> ReferenceImage(std::vector<unsigned char> frame, int w, int h,
                                                 IMG_TYPE type, bool flip, const SReadout& r) {
    const bool b16 = r.b16;
    const int rowBytes = r.iCols * (b16 ? 2 : 1);
    const size_t n = frame.size();
    memcpy(frame.data(), frame.data() + 2 * rowBytes, 4);
    memcpy(frame.data() + n - 4, frame.data() + n - 4 - 2 * rowBytes, 4);
    CAlgorithm alg;
    if (r.iSoftBin > 1) {
        alg.ColorRAWBin(frame.data(), reinterpret_cast<unsigned short*>(frame.data()), w, h, r.iSoftBin, b16);
    }
    alg.SoftMisc(frame.data(), w, h, b16, flip, flip);
    const size_t out = static_cast<size_t>(w) * h * ImageBytesPerPixel(type);
    std::vector<unsigned char> img(out);
    if (type == IMG_RGB24 || type == IMG_Y8) {
        alg.BayerConv(frame.data(), img.data(), w, h, type == IMG_RGB24 ? IMAGE_RGB24 : IMAGE_8BIT, flip,
                      flip);
    } else {
        memcpy(img.data(), frame.data(), out);
    }
    return img;
}

#endif

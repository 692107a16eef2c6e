// The image a caller should get from a frame the simulated camera sent:
// markers restored from inside the frame, the colour binning the sensor left to
// the software, both flips, then the conversion to the caller's type.
#ifndef KYR_TEST_FRAME_REFERENCE_H
#define KYR_TEST_FRAME_REFERENCE_H

#include <string.h>

#include <vector>

#include "KYRCamera.h"
#include "engine/EngineDriver.h"
#include "image/CAlgorithm.h"

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

// repairRows: the rows away the markers are restored from (one in mono
// cameras); a frame too short for them takes the neighbouring word. grey: a
// mono camera read out as grey (neighbouring pixels binned, Y8 the raw
// bytes, RGB24 each byte three times).
inline std::vector<unsigned char> ReferenceImage(std::vector<unsigned char> frame, int w, int h,
                                                 IMG_TYPE type, bool flip, const SReadout& r,
                                                 int repairRows = 2, bool grey = false) {
    const bool b16 = r.b16;
    const size_t rowBytes = static_cast<size_t>(r.iCols) * (b16 ? 2 : 1);
    const size_t n = frame.size();
    const size_t away = repairRows * rowBytes + 4 <= n ? repairRows * rowBytes : 4;
    memcpy(frame.data(), frame.data() + away, 4);
    memcpy(frame.data() + n - 4, frame.data() + n - 4 - away, 4);
    CAlgorithm alg;
    if (r.iSoftBin > 1) {
        unsigned short* frame16 = reinterpret_cast<unsigned short*>(frame.data());
        if (grey)
            alg.MonoBin(frame.data(), frame16, w, h, r.iSoftBin, b16);
        else
            alg.ColorRAWBin(frame.data(), frame16, w, h, r.iSoftBin, b16);
    }
    alg.SoftMisc(frame.data(), w, h, b16, flip, flip);
    const size_t out = static_cast<size_t>(w) * h * ImageBytesPerPixel(type);
    std::vector<unsigned char> img(out);
    if (grey && type == IMG_RGB24) {
        for (size_t i = 0; i < out / 3; ++i) img[3 * i] = img[3 * i + 1] = img[3 * i + 2] = frame[i];
    } else if (!grey && (type == IMG_RGB24 || type == IMG_Y8)) {
        alg.BayerConv(frame.data(), img.data(), w, h, type == IMG_RGB24 ? IMAGE_RGB24 : IMAGE_8BIT, flip,
                      flip);
    } else {
        memcpy(img.data(), frame.data(), out);
    }
    return img;
}

#endif

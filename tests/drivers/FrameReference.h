// The image a caller should get from a frame the simulated camera sent:
// markers restored from inside the frame, the binning the sensor left to the
// software, both flips, then the conversion to the caller's type; and the
// frame a sensor should send, from the simulator's scene.
#ifndef KYR_TEST_FRAME_REFERENCE_H
#define KYR_TEST_FRAME_REFERENCE_H

#include <string.h>

#include <algorithm>
#include <vector>

#include "KYRCamera.h"
#include "engine/EngineDriver.h"
#include "image/CAlgorithm.h"
#include "kyrsim.h"

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
// cameras); a frame too short for them takes the neighbouring word. A mono
// camera (mono) bins in software with MonoBin, gives Y8 as the grey bytes and
// RGB24 as each grey byte three times; a colour camera keeps the mosaic with
// ColorRAWBin and demosaics Y8 and RGB24.
inline std::vector<unsigned char> ReferenceImage(std::vector<unsigned char> frame, int w, int h,
                                                 IMG_TYPE type, bool flip, const SReadout& r,
                                                 int repairRows = 2, bool mono = false) {
    const bool b16 = r.b16;
    const size_t rowBytes = static_cast<size_t>(r.iCols) * (b16 ? 2 : 1);
    const size_t n = frame.size();
    const size_t away = repairRows * rowBytes + 4 <= n ? repairRows * rowBytes : 4;
    memcpy(frame.data(), frame.data() + away, 4);
    memcpy(frame.data() + n - 4, frame.data() + n - 4 - away, 4);
    CAlgorithm alg;
    if (r.iSoftBin > 1) {
        unsigned short* p16 = reinterpret_cast<unsigned short*>(frame.data());
        if (mono)
            alg.MonoBin(frame.data(), p16, w, h, r.iSoftBin, b16);
        else
            alg.ColorRAWBin(frame.data(), p16, w, h, r.iSoftBin, b16);
    }
    alg.SoftMisc(frame.data(), w, h, b16, flip, flip);
    const size_t pixels = static_cast<size_t>(w) * h;
    const size_t out = pixels * ImageBytesPerPixel(type);
    std::vector<unsigned char> img(out);
    if (mono && type == IMG_RGB24) {
        for (size_t i = 0; i < pixels; ++i) img[3 * i] = img[3 * i + 1] = img[3 * i + 2] = frame[i];
    } else if (!mono && (type == IMG_RGB24 || type == IMG_Y8)) {
        alg.BayerConv(frame.data(), img.data(), w, h, type == IMG_RGB24 ? IMAGE_RGB24 : IMAGE_8BIT, flip,
                      flip);
    } else {
        memcpy(img.data(), frame.data(), out);
    }
    return img;
}

// The frame a sensor of read-out modes should send for readout r, built from
// the scene (kyrsim_scene_pixel) alone: iCols x iRows pixels from array pixel
// (x0, y0) on, each the mean (rounded down) of the iSensorFactor x
// iSensorFactor array pixels of its colour (2 apart in a colour array, so the
// mosaic stays; next to each other in a mono one), 0 past the array. 8-bit
// frames carry the value's high byte, 16-bit ones its top `bits` bits. The
// marker words are not in it: compare with SameExceptEnds.
inline std::vector<unsigned char> ExpectedSensorFrame(int handle, int x0, int y0, const SReadout& r, bool mono,
                                                      int bits) {
    const int f = r.iSensorFactor > 1 ? r.iSensorFactor : 1;
    const int step = mono ? 1 : 2;
    auto first = [&](int i) { return mono ? f * i : 2 * f * (i / 2) + i % 2; };
    const unsigned mask = (0xFFFFu << (16 - bits)) & 0xFFFFu;
    std::vector<unsigned char> frame(static_cast<size_t>(r.iCols) * r.iRows * (r.b16 ? 2 : 1));
    for (int y = 0; y < r.iRows; ++y) {
        for (int x = 0; x < r.iCols; ++x) {
            unsigned sum = 0;
            for (int j = 0; j < f; ++j) {
                for (int i = 0; i < f; ++i) {
                    const int v = kyrsim_scene_pixel(handle, x0 + first(x) + i * step, y0 + first(y) + j * step);
                    sum += v > 0 ? static_cast<unsigned>(v) : 0u;
                }
            }
            const unsigned v = sum / static_cast<unsigned>(f * f);
            const size_t at = static_cast<size_t>(y) * r.iCols + x;
            if (r.b16) {
                frame[2 * at] = static_cast<unsigned char>((v & mask) & 0xFF);
                frame[2 * at + 1] = static_cast<unsigned char>((v & mask) >> 8);
            } else {
                frame[at] = static_cast<unsigned char>(v >> 8);
            }
        }
    }
    return frame;
}

// a and b are of one size and equal but for their first and last `ends` bytes.
inline bool SameExceptEnds(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                           size_t ends = 4) {
    if (a.size() != b.size() || a.size() < 2 * ends) return false;
    return std::equal(a.begin() + static_cast<long>(ends), a.end() - static_cast<long>(ends),
                      b.begin() + static_cast<long>(ends));
}

#endif

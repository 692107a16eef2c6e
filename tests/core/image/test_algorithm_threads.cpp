// test-labels: tsan
// Image algorithms on several threads: each camera's white balance and Bayer
// phase belong to its own CAlgorithm, the shared conversion tables are only
// read, and a white-balance change never lands halfway through a frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KYRCamera.h"
#include "image/CAlgorithm.h"

namespace {

// Frames each thread converts: enough to overlap the other thread many times.
constexpr int kFrames = 150;
constexpr int kWidth = 64, kHeight = 48;

// Colour of sensor site (x, y) for the pattern that names the top row.
int SiteColour(int iPattern, int x, int y) {  // 0 red, 1 green, 2 blue
    const bool bGreenFirst = iPattern == BAYER_GR || iPattern == BAYER_GB;
    if (((x + y) % 2 == 0) == bGreenFirst) return 1;
    const bool bRedRow0 = iPattern == BAYER_RG || iPattern == BAYER_GR;
    return ((y % 2 == 0) == bRedRow0) ? 0 : 2;
}

// A scene with one value per colour as the sensor delivers it, then flipped
// as the image path flips it before converting.
std::vector<unsigned char> FlatMosaic(CAlgorithm& alg, int iPattern, bool bV, bool bH, const int iValue[3]) {
    std::vector<unsigned char> m(static_cast<size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++)
            m[static_cast<size_t>(y) * kWidth + x] =
                static_cast<unsigned char>(iValue[SiteColour(iPattern, x, y)]);
    alg.SoftMisc(m.data(), kWidth, kHeight, false, bV, bH);
    return m;
}

// Every pixel of a flat scene: blue and red scaled by value / 50, saturated.
struct Expected {
    unsigned char ucBlue, ucGreen, ucRed, ucLuma;
};

Expected Expect(const int iValue[3], int iWBRed, int iWBBlue) {
    Expected e;
    const int r = std::min(255, iValue[0] * iWBRed / 50), g = iValue[1],
              b = std::min(255, iValue[2] * iWBBlue / 50);
    e.ucRed = static_cast<unsigned char>(r);
    e.ucGreen = static_cast<unsigned char>(g);
    e.ucBlue = static_cast<unsigned char>(b);
    e.ucLuma = static_cast<unsigned char>((static_cast<int>(r * 16842.752) + static_cast<int>(g * 33030.144) +
                                           static_cast<int>(b * 6422.528)) >>
                                          16);
    return e;
}

bool RgbIs(const std::vector<unsigned char>& rgb, const Expected& e) {
    for (size_t i = 0; i < rgb.size(); i += 3)
        if (rgb[i] != e.ucBlue || rgb[i + 1] != e.ucGreen || rgb[i + 2] != e.ucRed) return false;
    return true;
}

bool LumaIs(const std::vector<unsigned char>& y8, const Expected& e) {
    for (unsigned char v : y8)
        if (v != e.ucLuma) return false;
    return true;
}

struct Camera {
    int iPattern;
    bool bFlipV, bFlipH;
    int iWBRed, iWBBlue;
    int iValue[3];
};

// Two cameras with different patterns, flips and white balance convert at
// the same time; each frame of each matches that camera's own expectation.
TEST(AlgorithmThreads, TwoObjectsKeepTheirOwnWhiteBalance) {
    const Camera kCameras[2] = {{BAYER_RG, false, false, 50, 50, {200, 100, 30}},
                                {BAYER_GB, true, false, 100, 25, {120, 90, 60}}};
    std::atomic<int> iReady{0};
    std::atomic<int> iBad[2] = {{0}, {0}};
    auto run = [&](int k) {
        const Camera& cam = kCameras[k];
        CAlgorithm alg;  // built on its own thread, as cameras are opened
        alg.SetBayer(cam.iPattern);
        alg.SetRGBWB(cam.iWBRed, cam.iWBBlue);
        const std::vector<unsigned char> mosaic =
            FlatMosaic(alg, cam.iPattern, cam.bFlipV, cam.bFlipH, cam.iValue);
        const Expected want = Expect(cam.iValue, cam.iWBRed, cam.iWBBlue);
        std::vector<unsigned char> rgb(mosaic.size() * 3), y8(mosaic.size());
        iReady++;
        while (iReady.load() < 2) std::this_thread::yield();
        for (int i = 0; i < kFrames; i++) {
            alg.BayerConv(mosaic.data(), rgb.data(), kWidth, kHeight, IMAGE_RGB24, cam.bFlipV, cam.bFlipH);
            alg.BayerConv(mosaic.data(), y8.data(), kWidth, kHeight, IMAGE_8BIT, cam.bFlipV, cam.bFlipH);
            if (!RgbIs(rgb, want) || !LumaIs(y8, want)) iBad[k]++;
        }
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    EXPECT_EQ(iBad[0].load(), 0) << "frames of the neutral camera that were wrong";
    EXPECT_EQ(iBad[1].load(), 0) << "frames of the 100/25 camera that were wrong";
}

// Opening another camera (a new CAlgorithm with its tables reset to neutral)
// while this one converts with an active white balance leaves this one alone.
TEST(AlgorithmThreads, OpeningAnotherCameraDoesNotResetThisOne) {
    const int iValue[3] = {200, 100, 30};
    CAlgorithm alg;
    alg.SetRGBWB(100, 25);
    const std::vector<unsigned char> mosaic = FlatMosaic(alg, BAYER_RG, false, false, iValue);
    const Expected want = Expect(iValue, 100, 25);
    std::atomic<bool> bStop{false};
    std::thread opener([&] {
        while (!bStop.load()) {
            CAlgorithm other;
            other.RGBYUV_Init();
            other.SetBayer(BAYER_BG);
        }
    });
    int iBad = 0;
    std::vector<unsigned char> rgb(mosaic.size() * 3);
    for (int i = 0; i < kFrames; i++) {
        alg.BayerConv(mosaic.data(), rgb.data(), kWidth, kHeight, IMAGE_RGB24, false, false);
        if (!RgbIs(rgb, want)) iBad++;
    }
    bStop = true;
    opener.join();
    EXPECT_EQ(iBad, 0);
}

// The control thread changes the white balance while the image thread
// converts: every frame is wholly in the old or wholly in the new balance.
TEST(AlgorithmThreads, WhiteBalanceChangeNeverSplitsAFrame) {
    const int iValue[3] = {200, 100, 30};
    CAlgorithm alg;
    alg.SetBayer(BAYER_GR);
    const std::vector<unsigned char> mosaic = FlatMosaic(alg, BAYER_GR, false, true, iValue);
    const Expected neutral = Expect(iValue, 50, 50), warm = Expect(iValue, 100, 25);
    std::atomic<bool> bStop{false};
    std::thread control([&] {
        for (int i = 0; !bStop.load(); i++) alg.SetRGBWB(i % 2 ? 100 : 50, i % 2 ? 25 : 50);
    });
    int iNeutral = 0, iWarm = 0, iMixed = 0;
    std::vector<unsigned char> rgb(mosaic.size() * 3);
    for (int i = 0; i < kFrames; i++) {
        alg.BayerConv(mosaic.data(), rgb.data(), kWidth, kHeight, IMAGE_RGB24, false, true);
        if (RgbIs(rgb, neutral))
            iNeutral++;
        else if (RgbIs(rgb, warm))
            iWarm++;
        else
            iMixed++;
    }
    bStop = true;
    control.join();
    EXPECT_EQ(iMixed, 0) << iNeutral << " neutral and " << iWarm << " warm frames";
}

}  // namespace

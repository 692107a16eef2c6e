// Image algorithms: demosaic colour placement and values, white balance,
// software binning, flip, gamma, dark subtraction, white-balance statistics
// and bad sizes. Expected images come from a reference written here from the
// described behaviour, pixel by pixel and by the colour of each site.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KYRCamera.h"
#include "image/CAlgorithm.h"

namespace {

enum Colour { kRed = 0, kGreen = 1, kBlue = 2 };

const int kPatterns[] = {BAYER_RG, BAYER_BG, BAYER_GR, BAYER_GB};
const char* const kPatternNames[] = {"RG", "BG", "GR", "GB"};

// Colour of sensor site (x, y): the pattern names the colours of the top row.
Colour SensorColour(int iPattern, int x, int y) {
    const bool bRedRow0 = iPattern == BAYER_RG || iPattern == BAYER_GR;  // red shares row 0
    const bool bGreenFirst = iPattern == BAYER_GR || iPattern == BAYER_GB;
    const bool bGreen = ((x + y) % 2 == 0) == bGreenFirst;
    if (bGreen) return kGreen;
    const bool bRow0Colour = (y % 2 == 0);
    return (bRow0Colour == bRedRow0) ? kRed : kBlue;
}

// A mosaic as it reaches the demosaic: w x h sites, flipped by SoftMisc.
struct Mosaic {
    int iPattern;
    int w, h;
    bool bFlipV, bFlipH;
    std::vector<unsigned char> data;

    int At(int x, int y) const { return data[static_cast<size_t>(y) * w + x]; }
    // The sensor site that the flips brought to (x, y) gives its colour.
    Colour ColourAt(int x, int y) const {
        return SensorColour(iPattern, bFlipH ? w - 1 - x : x, bFlipV ? h - 1 - y : y);
    }
};

struct Rgb {
    int r, g, b;
};

struct WB {
    int iRed, iBlue;
};

// The pixel at (x, y) of the even part of the frame, before white balance.
Rgb RefRawPixel(const Mosaic& m, int x, int y, bool bForceNearest) {
    const int cx = x & ~1, cy = y & ~1;
    const bool bNearest = bForceNearest || cx == 0 || cy == 0 || (m.w % 2 == 0 && cx == m.w - 2) ||
                          (m.h % 2 == 0 && cy == m.h - 2);
    const Colour own = m.ColourAt(x, y);
    Rgb px{0, 0, 0};
    if (bNearest) {
        // Red and blue from the cell's own site of that colour; green is the
        // site's own for a green site, else the mean of the cell's two greens.
        int iGreens = 0, iGreenSum = 0;
        for (int dy = 0; dy < 2; dy++)
            for (int dx = 0; dx < 2; dx++) {
                const int v = m.At(cx + dx, cy + dy);
                switch (m.ColourAt(cx + dx, cy + dy)) {
                    case kRed:
                        px.r = v;
                        break;
                    case kBlue:
                        px.b = v;
                        break;
                    case kGreen:
                        iGreenSum += v;
                        iGreens++;
                        break;
                }
            }
        EXPECT_EQ(iGreens, 2);
        px.g = own == kGreen ? m.At(x, y) : iGreenSum / 2;
        return px;
    }
    const int iHoriz = (m.At(x - 1, y) + m.At(x + 1, y)) / 2;
    const int iVert = (m.At(x, y - 1) + m.At(x, y + 1)) / 2;
    const int iCross = (m.At(x - 1, y) + m.At(x + 1, y) + m.At(x, y - 1) + m.At(x, y + 1)) / 4;
    const int iDiag = (m.At(x - 1, y - 1) + m.At(x + 1, y - 1) + m.At(x - 1, y + 1) + m.At(x + 1, y + 1)) / 4;
    switch (own) {
        case kGreen:
            px.g = m.At(x, y);
            if (m.ColourAt(x + 1, y) == kRed) {
                px.r = iHoriz;
                px.b = iVert;
            } else {
                px.b = iHoriz;
                px.r = iVert;
            }
            break;
        case kRed:
            px.r = m.At(x, y);
            px.g = iCross;
            px.b = iDiag;
            break;
        case kBlue:
            px.b = m.At(x, y);
            px.g = iCross;
            px.r = iDiag;
            break;
    }
    return px;
}

// The whole RGB image: white balance scales red and blue by value / 50 with
// saturation; an odd last column and row repeat the ones before them.
std::vector<Rgb> RefImage(const Mosaic& m, WB wb, bool bForceNearest = false) {
    std::vector<Rgb> img(static_cast<size_t>(m.w) * m.h);
    for (int y = 0; y < m.h; y++)
        for (int x = 0; x < m.w; x++) {
            const int sx = std::min(x, (m.w & ~1) - 1), sy = std::min(y, (m.h & ~1) - 1);
            Rgb px = RefRawPixel(m, sx, sy, bForceNearest);
            px.r = std::min(255, px.r * wb.iRed / 50);
            px.b = std::min(255, px.b * wb.iBlue / 50);
            img[static_cast<size_t>(y) * m.w + x] = px;
        }
    return img;
}

// Luminance 0.257 R + 0.504 G + 0.098 B in 16.16 fixed point, each term truncated.
int RefLuma(const Rgb& px) {
    return (static_cast<int>(px.r * 16842.752) + static_cast<int>(px.g * 33030.144) +
            static_cast<int>(px.b * 6422.528)) >>
           16;
}
int RefCr(const Rgb& px) {
    return ((static_cast<int>(px.r * 28770.304) - static_cast<int>(px.g * 24117.248) -
             static_cast<int>(px.b * 4653.056)) >>
            16) +
           128;
}
int RefCb(const Rgb& px) {
    return ((static_cast<int>(px.b * 28770.304) - static_cast<int>(px.g * 19070.976) -
             static_cast<int>(px.r * 9699.328)) >>
            16) +
           128;
}

std::vector<unsigned char> Encode(const std::vector<Rgb>& img, int w, IMAGE_TYPE type) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i < img.size(); i++) {
        const Rgb& px = img[i];
        const int x = static_cast<int>(i % static_cast<size_t>(w));
        switch (type) {
            case IMAGE_RGB24:
                out.push_back(static_cast<unsigned char>(px.b));
                out.push_back(static_cast<unsigned char>(px.g));
                out.push_back(static_cast<unsigned char>(px.r));
                break;
            case IMAGE_8BIT:
                out.push_back(static_cast<unsigned char>(RefLuma(px)));
                break;
            case IMAGE_YUV2:
                // Even columns carry their own Cr, odd columns the Cb of the
                // pixel to their left.
                out.push_back(static_cast<unsigned char>((RefLuma(px) + 16) & 255));
                out.push_back(static_cast<unsigned char>(x % 2 == 0 ? RefCr(px) : RefCb(img[i - 1])));
                break;
            default:
                ADD_FAILURE() << "type " << type;
        }
    }
    return out;
}

int BytesPerPixel(IMAGE_TYPE type) { return type == IMAGE_RGB24 ? 3 : type == IMAGE_YUV2 ? 2 : 1; }

const char* TypeName(IMAGE_TYPE type) {
    return type == IMAGE_RGB24 ? "RGB24" : type == IMAGE_YUV2 ? "YUV2" : "Y8";
}

// Runs the demosaic into a buffer pre-filled with a marker, so that a pixel
// left unwritten shows.
std::vector<unsigned char> Convert(CAlgorithm& alg, const Mosaic& m, IMAGE_TYPE type) {
    std::vector<unsigned char> out(static_cast<size_t>(m.w) * m.h * BytesPerPixel(type), 0xEE);
    alg.BayerConv(m.data.data(), out.data(), m.w, m.h, type, m.bFlipV, m.bFlipH);
    return out;
}

// First differing byte, as a readable position, or "" when equal.
std::string FirstDifference(const std::vector<unsigned char>& got, const std::vector<unsigned char>& want,
                            int w, int iBpp) {
    if (got.size() != want.size()) return "size " + std::to_string(got.size());
    for (size_t i = 0; i < got.size(); i++)
        if (got[i] != want[i]) {
            const size_t iPix = i / static_cast<size_t>(iBpp);
            return "pixel (" + std::to_string(iPix % static_cast<size_t>(w)) + ", " +
                   std::to_string(iPix / static_cast<size_t>(w)) + ") byte " + std::to_string(i % iBpp) +
                   ": got " + std::to_string(got[i]) + ", want " + std::to_string(want[i]);
        }
    return "";
}

Mosaic RandomMosaic(int iPattern, int w, int h, bool bFlipV, bool bFlipH, uint32_t uSeed) {
    Mosaic m{iPattern, w, h, bFlipV, bFlipH, std::vector<unsigned char>(static_cast<size_t>(w) * h)};
    std::mt19937 rng(uSeed);
    for (auto& v : m.data) v = static_cast<unsigned char>(rng() & 255);
    return m;
}

// The sensor's mosaic with one value per colour, flipped by SoftMisc as the
// image path does before converting.
Mosaic FlatFlippedMosaic(CAlgorithm& alg, int iPattern, int w, int h, bool bFlipV, bool bFlipH, int iRed,
                         int iGreen, int iBlue) {
    Mosaic m{iPattern, w, h, bFlipV, bFlipH, std::vector<unsigned char>(static_cast<size_t>(w) * h)};
    const int iValue[3] = {iRed, iGreen, iBlue};
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            m.data[static_cast<size_t>(y) * w + x] =
                static_cast<unsigned char>(iValue[SensorColour(iPattern, x, y)]);
    alg.SoftMisc(m.data.data(), w, h, false, bFlipV, bFlipH);
    return m;
}

struct Size {
    int w, h;
};

const IMAGE_TYPE kTypes[] = {IMAGE_RGB24, IMAGE_8BIT, IMAGE_YUV2};

// ---------------------------------------------------------------------------
// Colour placement

// A flat scene must come out flat and in the right colours for every pattern
// and flip, including odd sizes, where reversing rows or columns does not move
// the Bayer phase (a wrong phase swaps red and blue over the whole image).
TEST(AlgorithmColourPlacement, FlatMosaicKeepsItsColoursUnderEveryFlip) {
    const Size kSizes[] = {{2, 2}, {4, 4}, {5, 5}, {6, 3}, {7, 5}, {8, 6}};
    const int iWantY = RefLuma({200, 100, 30});
    for (int iPattern : kPatterns)
        for (int iFlip = 0; iFlip < 4; iFlip++)
            for (const Size& size : kSizes) {
                const bool bV = iFlip & 1, bH = iFlip & 2;
                SCOPED_TRACE(std::string(kPatternNames[iPattern]) + " flipV " + std::to_string(bV) +
                             " flipH " + std::to_string(bH) + " " + std::to_string(size.w) + "x" +
                             std::to_string(size.h));
                CAlgorithm alg;
                alg.SetBayer(iPattern);
                const Mosaic m = FlatFlippedMosaic(alg, iPattern, size.w, size.h, bV, bH, 200, 100, 30);
                const std::vector<unsigned char> rgb = Convert(alg, m, IMAGE_RGB24);
                for (size_t i = 0; i < rgb.size(); i += 3) {
                    ASSERT_EQ(rgb[i + 0], 30) << "blue byte of pixel " << i / 3;
                    ASSERT_EQ(rgb[i + 1], 100) << "green byte of pixel " << i / 3;
                    ASSERT_EQ(rgb[i + 2], 200) << "red byte of pixel " << i / 3;
                }
                const std::vector<unsigned char> y8 = Convert(alg, m, IMAGE_8BIT);
                for (size_t i = 0; i < y8.size(); i++) ASSERT_EQ(y8[i], iWantY) << "pixel " << i;
            }
}

// Luminance weights red 0.257, green 0.504, blue 0.098 on the bytes that hold
// those colours (RGB24 is stored blue, green, red).
TEST(AlgorithmColourPlacement, SingleColourLuminance) {
    struct Case {
        const char* pszName;
        int iRed, iGreen, iBlue, iWantY;
    };
    const Case kCases[] = {{"red", 255, 0, 0, 65}, {"green", 0, 255, 0, 128}, {"blue", 0, 0, 255, 24}};
    for (const Case& c : kCases)
        for (int iPattern : kPatterns) {
            SCOPED_TRACE(std::string(c.pszName) + " " + kPatternNames[iPattern]);
            CAlgorithm alg;
            alg.SetBayer(iPattern);
            const Mosaic m = FlatFlippedMosaic(alg, iPattern, 8, 6, false, false, c.iRed, c.iGreen, c.iBlue);
            const std::vector<unsigned char> y8 = Convert(alg, m, IMAGE_8BIT);
            for (size_t i = 0; i < y8.size(); i++) ASSERT_EQ(y8[i], c.iWantY) << "pixel " << i;
        }
}

// YUV2 of neutral scenes: luminance 16 (black) to 235 (white, 219 + 16),
// both chroma bytes at their neutral 128.
TEST(AlgorithmColourPlacement, YUV2OfBlackAndWhite) {
    for (int iValue : {0, 255}) {
        SCOPED_TRACE(iValue);
        CAlgorithm alg;
        const Mosaic m = FlatFlippedMosaic(alg, BAYER_GB, 7, 5, false, false, iValue, iValue, iValue);
        const std::vector<unsigned char> yuv = Convert(alg, m, IMAGE_YUV2);
        for (size_t i = 0; i < yuv.size(); i += 2) {
            ASSERT_EQ(yuv[i], iValue ? 235 : 16) << "luminance of pixel " << i / 2;
            ASSERT_EQ(yuv[i + 1], 128) << "chroma of pixel " << i / 2;
        }
    }
}

TEST(AlgorithmColourPlacement, UnknownPatternIsRefused) {
    CAlgorithm alg;
    alg.SetBayer(BAYER_BG);
    alg.SetBayer(4);
    alg.SetBayer(-1);
    const Mosaic m = FlatFlippedMosaic(alg, BAYER_BG, 4, 4, false, false, 200, 100, 30);
    const std::vector<unsigned char> rgb = Convert(alg, m, IMAGE_RGB24);
    EXPECT_EQ(rgb[0], 30);
    EXPECT_EQ(rgb[2], 200);
}

// ---------------------------------------------------------------------------
// Demosaic against the reference

class AlgorithmDemosaic : public ::testing::TestWithParam<std::tuple<int, int>> {};

// Random mosaics of odd and even sizes, every output type, neutral and active
// white balance: byte-equal to the reference at the border (nearest fill) and
// inside (bilinear), with the odd last row and column filled.
TEST_P(AlgorithmDemosaic, RandomMosaicMatchesReference) {
    const int iPattern = std::get<0>(GetParam());
    const bool bV = std::get<1>(GetParam()) & 1, bH = std::get<1>(GetParam()) & 2;
    const int kWidths[] = {2, 3, 4, 5, 6, 7, 9, 16, 31, 64};
    const int kHeights[] = {2, 3, 4, 5, 7, 8, 17, 48};
    const WB kWBs[] = {{50, 50}, {100, 25}};
    CAlgorithm alg;
    alg.SetBayer(iPattern);
    uint32_t uSeed = 1000u * static_cast<uint32_t>(iPattern) + static_cast<uint32_t>(std::get<1>(GetParam()));
    for (int w : kWidths)
        for (int h : kHeights) {
            const Mosaic m = RandomMosaic(iPattern, w, h, bV, bH, uSeed++);
            for (const WB& wb : kWBs) {
                alg.SetRGBWB(wb.iRed, wb.iBlue);
                const std::vector<Rgb> ref = RefImage(m, wb);
                for (IMAGE_TYPE type : kTypes) {
                    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " " + TypeName(type) + " WB " +
                                 std::to_string(wb.iRed) + "/" + std::to_string(wb.iBlue));
                    const std::string diff =
                        FirstDifference(Convert(alg, m, type), Encode(ref, w, type), w, BytesPerPixel(type));
                    ASSERT_EQ(diff, "");
                }
            }
        }
}

INSTANTIATE_TEST_SUITE_P(PatternsAndFlips, AlgorithmDemosaic,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, 4)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                             const int iFlip = std::get<1>(info.param);
                             return std::string(kPatternNames[std::get<0>(info.param)]) + "_flip" +
                                    ((iFlip & 1) ? "V" : "") + ((iFlip & 2) ? "H" : "") +
                                    (iFlip == 0 ? "None" : "");
                         });

// In a 4 x 4 mosaic every cell touches the border, so every pixel takes the
// nearest fill.
TEST(AlgorithmDemosaicBorders, FourByFourIsAllNearest) {
    for (int iPattern : kPatterns)
        for (int iFlip = 0; iFlip < 4; iFlip++) {
            SCOPED_TRACE(std::string(kPatternNames[iPattern]) + " flip " + std::to_string(iFlip));
            CAlgorithm alg;
            alg.SetBayer(iPattern);
            const Mosaic m =
                RandomMosaic(iPattern, 4, 4, iFlip & 1, iFlip & 2, 77u + static_cast<uint32_t>(iFlip));
            const std::vector<Rgb> ref = RefImage(m, {50, 50}, /*bForceNearest=*/true);
            EXPECT_EQ(FirstDifference(Convert(alg, m, IMAGE_RGB24), Encode(ref, 4, IMAGE_RGB24), 4, 3), "");
        }
}

// An odd height repeats the last demosaiced row; an odd width the last
// column, so no output byte is left as it was.
TEST(AlgorithmDemosaicBorders, OddLastRowAndColumnRepeatTheirNeighbour) {
    const Size kSizes[] = {{8, 5}, {7, 5}, {7, 6}, {3, 3}};
    for (IMAGE_TYPE type : kTypes)
        for (const Size& size : kSizes) {
            SCOPED_TRACE(std::string(TypeName(type)) + " " + std::to_string(size.w) + "x" +
                         std::to_string(size.h));
            CAlgorithm alg;
            const Mosaic m = RandomMosaic(BAYER_RG, size.w, size.h, false, false, 5u);
            const std::vector<unsigned char> out = Convert(alg, m, type);
            const size_t iRow = static_cast<size_t>(size.w) * BytesPerPixel(type);
            if (size.h % 2) {
                EXPECT_TRUE(std::equal(out.end() - static_cast<ptrdiff_t>(iRow), out.end(),
                                       out.end() - 2 * static_cast<ptrdiff_t>(iRow)))
                    << "last row differs from the one before";
            }
            if (size.w % 2 && type != IMAGE_YUV2) {
                const int iBpp = BytesPerPixel(type);
                for (int y = 0; y < size.h; y++) {
                    const unsigned char* pLast = &out[y * iRow + static_cast<size_t>(size.w - 1) * iBpp];
                    EXPECT_EQ(memcmp(pLast, pLast - iBpp, static_cast<size_t>(iBpp)), 0) << "row " << y;
                }
            }
            // Every byte was written: the reference has no marker bytes where
            // the conversion might have skipped some.
            EXPECT_EQ(FirstDifference(out, Encode(RefImage(m, {50, 50}), size.w, type), size.w,
                                      BytesPerPixel(type)),
                      "");
        }
}

// ---------------------------------------------------------------------------
// White balance

TEST(AlgorithmWhiteBalance, NeutralIsIdentityAndInactive) {
    CAlgorithm alg;
    alg.SetRGBWB(100, 25);
    alg.SetRGBWB(50, 50);
    EXPECT_FALSE(alg.m_bWBActive);
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(alg.m_iWBRTable[i], i);
        ASSERT_EQ(alg.m_iWBBTable[i], i);
    }
}

TEST(AlgorithmWhiteBalance, RedDoublesWithSaturationBlueScalesDown) {
    CAlgorithm alg;
    alg.SetRGBWB(100, 25);
    EXPECT_TRUE(alg.m_bWBActive);
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(alg.m_iWBBTable[i], std::min(255, 2 * i)) << "red map at " << i;
        ASSERT_EQ(alg.m_iWBRTable[i], i * 25 / 50) << "blue map at " << i;
    }
    // Seen in an image: red 200 -> 255, blue 30 -> 15, green untouched.
    const Mosaic m = FlatFlippedMosaic(alg, BAYER_RG, 6, 6, false, false, 200, 100, 30);
    const std::vector<unsigned char> rgb = Convert(alg, m, IMAGE_RGB24);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        ASSERT_EQ(rgb[i + 0], 15);
        ASSERT_EQ(rgb[i + 1], 100);
        ASSERT_EQ(rgb[i + 2], 255);
    }
}

TEST(AlgorithmWhiteBalance, NegativeValueIsRefusedAndLargeValueSaturates) {
    CAlgorithm alg;
    alg.SetRGBWB(100, 25);
    alg.SetRGBWB(-1, 50);
    alg.SetRGBWB(50, -1);
    EXPECT_TRUE(alg.m_bWBActive);
    EXPECT_EQ(alg.m_iWBBTable[100], 200);
    EXPECT_EQ(alg.m_iWBRTable[100], 50);
    alg.SetRGBWB(INT_MAX, 0);
    EXPECT_EQ(alg.m_iWBBTable[0], 0);
    EXPECT_EQ(alg.m_iWBBTable[1], 255);
    EXPECT_EQ(alg.m_iWBBTable[255], 255);
    EXPECT_EQ(alg.m_iWBRTable[255], 0);
}

// Each camera keeps its own white balance: building (opening) another one,
// which resets its own maps to neutral, does not reset this one's.
TEST(AlgorithmWhiteBalance, AnotherObjectDoesNotTouchThisOne) {
    CAlgorithm first;
    first.SetRGBWB(100, 25);
    CAlgorithm second;
    second.RGBYUV_Init();
    second.SetRGBWB(10, 90);
    EXPECT_TRUE(first.m_bWBActive);
    EXPECT_EQ(first.m_iWBBTable[100], 200);
    EXPECT_EQ(first.m_iWBRTable[100], 50);
    const Mosaic m = FlatFlippedMosaic(first, BAYER_RG, 6, 6, false, false, 200, 100, 30);
    const std::vector<unsigned char> rgb = Convert(first, m, IMAGE_RGB24);
    EXPECT_EQ(rgb[0], 15);
    EXPECT_EQ(rgb[2], 255);
}

// ---------------------------------------------------------------------------
// Binning

// Input of a binned frame: (w x bin) x (h x bin) samples.
template <class T>
std::vector<T> RandomSamples(size_t n, uint32_t uSeed, uint32_t uMask) {
    std::vector<T> v(n);
    std::mt19937 rng(uSeed);
    for (auto& x : v) x = static_cast<T>(rng() & uMask);
    return v;
}

TEST(AlgorithmMonoBin, ConstantFrameTable) {
    struct Case {
        int iBin;
        bool b16;
        int iValue, iWant;
    };
    const Case kCases[] = {
        {1, false, 100, 100},    {2, false, 100, 255}, {3, false, 100, 255}, {4, false, 100, 255},
        {2, false, 10, 40},      {3, false, 10, 90},   {4, false, 10, 160},  {2, false, 64, 255},
        {1, true, 100, 100},     {2, true, 100, 100},  {3, true, 100, 100},  {4, true, 100, 100},
        {2, true, 65535, 65535},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE("bin " + std::to_string(c.iBin) + (c.b16 ? " 16-bit" : " 8-bit") + " value " +
                     std::to_string(c.iValue));
        const int w = 5, h = 3;
        const size_t n = static_cast<size_t>(w * c.iBin) * static_cast<size_t>(h * c.iBin);
        CAlgorithm alg;
        if (c.b16) {
            std::vector<unsigned short> buf(n, static_cast<unsigned short>(c.iValue));
            alg.MonoBin(nullptr, buf.data(), w, h, c.iBin, true);
            for (int i = 0; i < w * h; i++) ASSERT_EQ(buf[i], c.iWant) << "pixel " << i;
        } else {
            std::vector<unsigned char> buf(n, static_cast<unsigned char>(c.iValue));
            alg.MonoBin(buf.data(), nullptr, w, h, c.iBin, false);
            for (int i = 0; i < w * h; i++) ASSERT_EQ(buf[i], c.iWant) << "pixel " << i;
        }
    }
}

// Each output is the b x b block below it: summed and saturated in 8 bits,
// averaged in 16 bits, computed in place without reading overwritten input.
TEST(AlgorithmMonoBin, RandomFrameMatchesBlockReference) {
    // 600 columns span several of the chunks that binning sums before storing.
    const Size kSizes[] = {{1, 1}, {3, 2}, {7, 5}, {16, 9}, {600, 3}};
    for (int iBin = 2; iBin <= 4; iBin++)
        for (const Size& size : kSizes)
            for (bool b16 : {false, true}) {
                SCOPED_TRACE("bin " + std::to_string(iBin) + " " + std::to_string(size.w) + "x" +
                             std::to_string(size.h) + (b16 ? " 16-bit" : " 8-bit"));
                const int iInW = size.w * iBin;
                const size_t n = static_cast<size_t>(iInW) * static_cast<size_t>(size.h * iBin);
                const std::vector<unsigned short> in =
                    RandomSamples<unsigned short>(n, 11u, b16 ? 0xFFFF : 0x3F);
                auto block = [&](int r, int c) {
                    uint32_t uSum = 0;
                    for (int i = 0; i < iBin; i++)
                        for (int j = 0; j < iBin; j++)
                            uSum += in[static_cast<size_t>(r * iBin + i) * iInW + c * iBin + j];
                    return uSum;
                };
                CAlgorithm alg;
                if (b16) {
                    std::vector<unsigned short> buf(in);
                    alg.MonoBin(nullptr, buf.data(), size.w, size.h, iBin, true);
                    for (int r = 0; r < size.h; r++)
                        for (int c = 0; c < size.w; c++)
                            ASSERT_EQ(buf[r * size.w + c], block(r, c) / (iBin * iBin)) << r << "," << c;
                } else {
                    std::vector<unsigned char> buf(in.begin(), in.end());
                    alg.MonoBin(buf.data(), nullptr, size.w, size.h, iBin, false);
                    for (int r = 0; r < size.h; r++)
                        for (int c = 0; c < size.w; c++)
                            ASSERT_EQ(buf[r * size.w + c], std::min<uint32_t>(255, block(r, c)))
                                << r << "," << c;
                }
            }
}

// Reference of colour binning: output site (r, c) takes the sites of its own
// colour of the input, bin of them down and across, two apart, starting in
// its own 2·bin block (the second colour of a cell bin rounded down to even
// further on); only sites inside the input frame count. Inner cells use the
// whole block (8-bit: saturated sum, 16-bit: mean); edge cells the sites they
// have (8-bit: mean scaled back to bin² samples, 16-bit: mean; none gives 0).
template <class T>
std::vector<T> RefColorBin(const std::vector<T>& in, int w, int h, int iBin, bool b16) {
    const int iInW = w * iBin, iInH = h * iBin;
    const uint32_t uMax = b16 ? 65535 : 255, uArea = static_cast<uint32_t>(iBin * iBin);
    auto start = [iBin](int r) { return (r % 2) + (r - r % 2) * iBin + ((r % 2) * iBin / 2 * 2); };
    std::vector<T> out(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++) {
            uint32_t uSum = 0, uCount = 0;
            for (int i = 0; i < iBin; i++)
                for (int j = 0; j < iBin; j++) {
                    const int y = start(r) + 2 * i, x = start(c) + 2 * j;
                    if (y < iInH && x < iInW) {
                        uSum += in[static_cast<size_t>(y) * iInW + x];
                        uCount++;
                    }
                }
            const bool bInner = r < (h - 1) / 2 * 2 && c < (w - 1) / 2 * 2;
            uint32_t uValue;
            if (bInner)
                uValue = b16 ? uSum / uArea : uSum;
            else if (uCount == 0)
                uValue = 0;
            else
                uValue = b16 ? uSum / uCount : uArea * (uSum / uCount);
            out[static_cast<size_t>(r) * w + c] = static_cast<T>(std::min(uMax, uValue));
        }
    return out;
}

// A mosaic with one value per colour stays that mosaic: every output site
// carries its colour's value (8-bit: times bin², saturated), edge cells of
// odd sizes and frames of one and two rows included.
TEST(AlgorithmColorRAWBin, ConstantChannelsStayInTheirColours) {
    const Size kSizes[] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}, {3, 3}, {4, 2}, {5, 1}, {5, 4}, {6, 7}, {7, 5}};
    for (int iPattern : kPatterns)
        for (int iBin = 2; iBin <= 4; iBin++)
            for (const Size& size : kSizes)
                for (bool b16 : {false, true}) {
                    SCOPED_TRACE(std::string(kPatternNames[iPattern]) + " bin " + std::to_string(iBin) + " " +
                                 std::to_string(size.w) + "x" + std::to_string(size.h) +
                                 (b16 ? " 16" : " 8"));
                    const int iInW = size.w * iBin, iInH = size.h * iBin;
                    const int iValue8[3] = {10, 20, 30}, iValue16[3] = {1000, 20000, 65535};
                    std::vector<unsigned short> buf(static_cast<size_t>(iInW) * iInH);
                    for (int y = 0; y < iInH; y++)
                        for (int x = 0; x < iInW; x++) {
                            const Colour col = SensorColour(iPattern, x, y);
                            buf[static_cast<size_t>(y) * iInW + x] =
                                static_cast<unsigned short>(b16 ? iValue16[col] : iValue8[col]);
                        }
                    CAlgorithm alg;
                    std::vector<unsigned char> buf8(buf.begin(), buf.end());
                    if (b16)
                        alg.ColorRAWBin(nullptr, buf.data(), size.w, size.h, iBin, true);
                    else
                        alg.ColorRAWBin(buf8.data(), nullptr, size.w, size.h, iBin, false);
                    for (int r = 0; r < size.h; r++)
                        for (int c = 0; c < size.w; c++) {
                            const Colour col = SensorColour(iPattern, c, r);
                            const size_t i = static_cast<size_t>(r) * size.w + c;
                            if (b16)
                                ASSERT_EQ(buf[i], iValue16[col]) << r << "," << c;
                            else
                                ASSERT_EQ(buf8[i], std::min(255, iValue8[col] * iBin * iBin))
                                    << r << "," << c;
                        }
                }
}

TEST(AlgorithmColorRAWBin, RandomFrameMatchesReference) {
    const Size kSizes[] = {{1, 1}, {2, 1}, {1, 2},  {2, 2},   {3, 5},
                           {6, 4}, {7, 7}, {12, 9}, {600, 3}, {515, 4}};
    uint32_t uSeed = 300;
    for (int iBin = 2; iBin <= 4; iBin++)
        for (const Size& size : kSizes)
            for (bool b16 : {false, true}) {
                SCOPED_TRACE("bin " + std::to_string(iBin) + " " + std::to_string(size.w) + "x" +
                             std::to_string(size.h) + (b16 ? " 16-bit" : " 8-bit"));
                const size_t n = static_cast<size_t>(size.w * iBin) * static_cast<size_t>(size.h * iBin);
                CAlgorithm alg;
                if (b16) {
                    const std::vector<unsigned short> in = RandomSamples<unsigned short>(n, uSeed++, 0xFFFF);
                    std::vector<unsigned short> buf(in);
                    alg.ColorRAWBin(nullptr, buf.data(), size.w, size.h, iBin, true);
                    const std::vector<unsigned short> want = RefColorBin(in, size.w, size.h, iBin, true);
                    ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin()));
                } else {
                    const std::vector<unsigned char> in = RandomSamples<unsigned char>(n, uSeed++, 0x3F);
                    std::vector<unsigned char> buf(in);
                    alg.ColorRAWBin(buf.data(), nullptr, size.w, size.h, iBin, false);
                    const std::vector<unsigned char> want = RefColorBin(in, size.w, size.h, iBin, false);
                    ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin()));
                }
            }
}

TEST(AlgorithmBinning, BinOneChangesNothing) {
    const std::vector<unsigned short> in16 = RandomSamples<unsigned short>(6 * 4, 9u, 0xFFFF);
    const std::vector<unsigned char> in8(in16.begin(), in16.end());
    CAlgorithm alg;
    for (bool bColour : {false, true}) {
        std::vector<unsigned short> buf16(in16);
        std::vector<unsigned char> buf8(in8);
        if (bColour) {
            alg.ColorRAWBin(buf8.data(), buf16.data(), 6, 4, 1, false);
            alg.ColorRAWBin(buf8.data(), buf16.data(), 6, 4, 1, true);
        } else {
            alg.MonoBin(buf8.data(), buf16.data(), 6, 4, 1, false);
            alg.MonoBin(buf8.data(), buf16.data(), 6, 4, 1, true);
        }
        EXPECT_EQ(buf16, in16);
        EXPECT_EQ(buf8, in8);
    }
}

// ---------------------------------------------------------------------------
// Flip, gamma, dark subtraction

// SoftMisc: output (x, y) is input (w-1-x if horizontal, h-1-y if vertical).
TEST(AlgorithmSoftMisc, EveryFlipOfOddAndEvenSizes) {
    const Size kSizes[] = {{1, 1}, {1, 4}, {5, 1}, {3, 2}, {4, 4}, {5, 3}, {6, 7}};
    for (bool b16 : {false, true})
        for (int iFlip = 0; iFlip < 4; iFlip++)
            for (const Size& size : kSizes) {
                const bool bV = iFlip & 1, bH = iFlip & 2;
                SCOPED_TRACE(std::string(b16 ? "16-bit" : "8-bit") + " V " + std::to_string(bV) + " H " +
                             std::to_string(bH) + " " + std::to_string(size.w) + "x" +
                             std::to_string(size.h));
                const size_t n = static_cast<size_t>(size.w) * size.h;
                const std::vector<unsigned short> in =
                    RandomSamples<unsigned short>(n, 21u, b16 ? 0xFFFF : 0xFF);
                std::vector<unsigned short> buf16(in);
                std::vector<unsigned char> buf8(in.begin(), in.end());
                CAlgorithm alg;
                if (b16)
                    alg.SoftMisc(reinterpret_cast<unsigned char*>(buf16.data()), size.w, size.h, true, bV,
                                 bH);
                else
                    alg.SoftMisc(buf8.data(), size.w, size.h, false, bV, bH);
                for (int y = 0; y < size.h; y++)
                    for (int x = 0; x < size.w; x++) {
                        const int sx = bH ? size.w - 1 - x : x, sy = bV ? size.h - 1 - y : y;
                        const unsigned short want = in[static_cast<size_t>(sy) * size.w + sx];
                        const size_t i = static_cast<size_t>(y) * size.w + x;
                        ASSERT_EQ(b16 ? buf16[i] : buf8[i], want) << x << "," << y;
                    }
            }
}

TEST(AlgorithmGamma, EveryPixelGoesThroughTheTable) {
    CAlgorithm alg;
    unsigned char ucTable[256];
    for (int i = 0; i < 256; i++) ucTable[i] = static_cast<unsigned char>((i * 7 + 3) & 255);
    const std::vector<unsigned char> in8 = RandomSamples<unsigned char>(7 * 5, 2u, 0xFF);
    std::vector<unsigned char> buf8(in8);
    alg.Gamma(buf8.data(), ucTable, 7, 5);
    for (size_t i = 0; i < in8.size(); i++) ASSERT_EQ(buf8[i], ucTable[in8[i]]) << i;

    std::vector<unsigned short> table16(65536);
    for (size_t i = 0; i < table16.size(); i++) table16[i] = static_cast<unsigned short>(65535 - i);
    const std::vector<unsigned short> in16 = RandomSamples<unsigned short>(7 * 5, 3u, 0xFFFF);
    std::vector<unsigned short> buf16(in16);
    alg.Gamma(buf16.data(), table16.data(), 7, 5);
    for (size_t i = 0; i < in16.size(); i++) ASSERT_EQ(buf16[i], 65535 - in16[i]) << i;
}

TEST(AlgorithmSubtractDark, Table) {
    struct Case {
        int iPixel, iDark;
        unsigned uOffset;
        int iWant;
    };
    const Case kCases[] = {
        {10, 20, 0, 0},        {10, 20, 5, 5},           {255, 0, 10, 255}, {200, 50, 0, 150},
        {200, 50, 100, 250},   {200, 50, 200, 255},      {100, 100, 0, 0},  {0, 255, 7, 7},
        {0, 0, UINT_MAX, 255}, {3, 1, 0xFFFFFFFEu, 255},
    };
    const int n = static_cast<int>(sizeof(kCases) / sizeof(kCases[0]));
    CAlgorithm alg;
    for (const Case& c : kCases) {
        // One pixel at a time, and the same case across a whole frame.
        std::vector<unsigned char> buf(static_cast<size_t>(n) * 3, static_cast<unsigned char>(c.iPixel));
        const std::vector<unsigned char> dark(buf.size(), static_cast<unsigned char>(c.iDark));
        alg.SubtractDark(buf.data(), n, 3, c.uOffset, dark.data());
        for (unsigned char v : buf)
            ASSERT_EQ(v, c.iWant) << "pixel " << c.iPixel << " dark " << c.iDark << " offset " << c.uOffset;
    }
}

// ---------------------------------------------------------------------------
// White-balance statistics

struct Stats {
    int iDev[3], iAvg[3];
};

// Reference: a 10 x 10 grid over the region, row i at trunc(i x h / 10) and
// column j at trunc(j x w / 10) in single precision, each point the top-left of
// a 2 x 2 sample kept inside the region; colour of a site by its position in
// the pattern; means of the 8-bit scale divided by n + 1 and capped at 255;
// deviations 10 x sum |v - mean| / (n + 1) on 8-bit values (high bytes).
Stats RefStats(const std::vector<unsigned short>& frame, int iStride, int iPattern, int x0, int y0, int w,
               int h, bool b16) {
    Stats s{};
    if (w < 2 || h < 2) return s;
    struct Site {
        int c;
        unsigned v;
    };
    std::vector<Site> sites;
    for (int i = 0; i < 10; i++)
        for (int j = 0; j < 10; j++) {
            const int y =
                y0 +
                std::min(static_cast<int>(static_cast<float>(i) * (static_cast<float>(h) / 10.0f)), h - 2);
            const int x =
                x0 +
                std::min(static_cast<int>(static_cast<float>(j) * (static_cast<float>(w) / 10.0f)), w - 2);
            for (int dy = 0; dy < 2; dy++)
                for (int dx = 0; dx < 2; dx++)
                    sites.push_back({SensorColour(iPattern, x + dx, y + dy),
                                     frame[static_cast<size_t>(y + dy) * iStride + x + dx]});
        }
    uint64_t uSum[3] = {}, uDev[3] = {};
    int n[3] = {};
    for (const Site& site : sites) {
        uSum[site.c] += site.v;
        n[site.c]++;
    }
    for (int c = 0; c < 3; c++)
        s.iAvg[c] = static_cast<int>(std::min<uint64_t>(255, (b16 ? uSum[c] >> 8 : uSum[c]) / (n[c] + 1)));
    for (const Site& site : sites) {
        const int v = static_cast<int>(b16 ? site.v >> 8 : site.v);
        uDev[site.c] += static_cast<uint64_t>(std::abs(v - s.iAvg[site.c]));
    }
    for (int c = 0; c < 3; c++) s.iDev[c] = static_cast<int>(10 * uDev[c] / (n[c] + 1));
    return s;
}

Stats RunStats(CAlgorithm& alg, const std::vector<unsigned short>& frame, std::vector<unsigned char>& bytes,
               int iStride, int x0, int y0, int w, int h, bool b16) {
    bytes.resize(frame.size() * (b16 ? 2 : 1));
    if (b16)
        memcpy(bytes.data(), frame.data(), bytes.size());
    else
        std::copy(frame.begin(), frame.end(), bytes.begin());
    Stats s;
    alg.Get_variance_ave_RAW(bytes.data(), x0, y0, w, h, iStride, 0, s.iDev, s.iAvg, b16);
    return s;
}

void ExpectStats(const Stats& got, const Stats& want) {
    for (int c = 0; c < 3; c++) {
        EXPECT_EQ(got.iAvg[c], want.iAvg[c]) << "average of colour " << c;
        EXPECT_EQ(got.iDev[c], want.iDev[c]) << "deviation of colour " << c;
    }
}

TEST(AlgorithmStatistics, ConstantAndZeroFrames) {
    struct Case {
        const char* pszName;
        unsigned short usValue;
        bool b16;
        int iWantAvg, iWantDev;
    };
    // n / (n + 1) of a constant 100: 100 x 100 / 101 = 99 (red, blue) and
    // 100 x 200 / 201 = 99 (green); deviation 10 x n / (n + 1) = 9.
    const Case kCases[] = {
        {"8-bit 100", 100, false, 99, 9},
        {"16-bit 100 << 8", 100 << 8, true, 99, 9},
        {"8-bit zero", 0, false, 0, 0},
        {"16-bit zero", 0, true, 0, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszName);
        CAlgorithm alg;
        const std::vector<unsigned short> frame(40 * 30, c.usValue);
        std::vector<unsigned char> bytes;
        const Stats s = RunStats(alg, frame, bytes, 40, 0, 0, 40, 30, c.b16);
        for (int col = 0; col < 3; col++) {
            EXPECT_EQ(s.iAvg[col], c.iWantAvg) << "colour " << col;
            EXPECT_EQ(s.iDev[col], c.iWantDev) << "colour " << col;
        }
    }
}

// 16-bit sums are shifted by 8 after summing, not sample by sample: samples of
// 0x1FF (high byte 1) average to 1, where shifted samples would give 0.
TEST(AlgorithmStatistics, SixteenBitSumsShiftedAfterSumming) {
    CAlgorithm alg;
    const std::vector<unsigned short> frame(20 * 20, 0x1FF);
    std::vector<unsigned char> bytes;
    const Stats s = RunStats(alg, frame, bytes, 20, 0, 0, 20, 20, true);
    EXPECT_EQ(s.iAvg[0], 51100 / 256 / 101);
    EXPECT_EQ(s.iAvg[1], 102200 / 256 / 201);
    EXPECT_EQ(s.iAvg[0], 1);
}

TEST(AlgorithmStatistics, ChannelsFollowThePattern) {
    for (int iPattern : kPatterns) {
        SCOPED_TRACE(kPatternNames[iPattern]);
        CAlgorithm alg;
        alg.SetBayer(iPattern);
        std::vector<unsigned short> frame(32 * 32);
        const unsigned short usValue[3] = {200, 100, 30};
        for (int y = 0; y < 32; y++)
            for (int x = 0; x < 32; x++) frame[y * 32 + x] = usValue[SensorColour(iPattern, x, y)];
        std::vector<unsigned char> bytes;
        const Stats s = RunStats(alg, frame, bytes, 32, 0, 0, 32, 32, false);
        EXPECT_EQ(s.iAvg[kRed], 200 * 100 / 101);
        EXPECT_EQ(s.iAvg[kGreen], 100 * 200 / 201);
        EXPECT_EQ(s.iAvg[kBlue], 30 * 100 / 101);
    }
}

TEST(AlgorithmStatistics, RandomRegionsMatchReference) {
    struct Region {
        int x0, y0, w, h;
    };
    const int kW = 64, kH = 48;
    const Region kRegions[] = {{0, 0, 64, 48}, {4, 3, 16, 12},   {13, 7, 9, 11}, {60, 40, 4, 8},
                               {1, 1, 2, 2},   {33, 21, 31, 27}, {0, 45, 64, 3}};
    uint32_t uSeed = 40;
    for (int iPattern : kPatterns)
        for (bool b16 : {false, true})
            for (const Region& r : kRegions) {
                SCOPED_TRACE(std::string(kPatternNames[iPattern]) + (b16 ? " 16-bit" : " 8-bit") +
                             " region " + std::to_string(r.x0) + "," + std::to_string(r.y0) + " " +
                             std::to_string(r.w) + "x" + std::to_string(r.h));
                CAlgorithm alg;
                alg.SetBayer(iPattern);
                const std::vector<unsigned short> frame =
                    RandomSamples<unsigned short>(kW * kH, uSeed++, b16 ? 0xFFFF : 0xFF);
                std::vector<unsigned char> bytes;
                ExpectStats(RunStats(alg, frame, bytes, kW, r.x0, r.y0, r.w, r.h, b16),
                            RefStats(frame, kW, iPattern, r.x0, r.y0, r.w, r.h, b16));
            }
}

// ---------------------------------------------------------------------------
// Bad sizes and buffers: exact-size heap buffers, so that AddressSanitizer
// reports any byte read or written outside them.

std::unique_ptr<unsigned char[]> ExactBuffer(long long n, unsigned char ucFill) {
    const size_t uSize = n > 0 ? static_cast<size_t>(n) : 0;
    std::unique_ptr<unsigned char[]> p(new unsigned char[uSize]);
    memset(p.get(), ucFill, uSize);
    return p;
}

bool AllEqual(const unsigned char* p, long long n, unsigned char ucValue) {
    for (long long i = 0; i < n; i++)
        if (p[i] != ucValue) return false;
    return true;
}

long long Area(int w, int h) { return w > 0 && h > 0 ? static_cast<long long>(w) * h : 0; }

const int kDegenerate[] = {-3, -1, 0, 1, 2, 3};

TEST(AlgorithmDegenerate, DemosaicSizes) {
    for (IMAGE_TYPE type : kTypes)
        for (int w : kDegenerate)
            for (int h : kDegenerate) {
                SCOPED_TRACE(std::string(TypeName(type)) + " " + std::to_string(w) + "x" + std::to_string(h));
                CAlgorithm alg;
                const long long n = Area(w, h);
                auto src = ExactBuffer(n, 0x40);
                auto dst = ExactBuffer(n * BytesPerPixel(type), 0xEE);
                for (int iFlip = 0; iFlip < 4; iFlip++)
                    alg.BayerConv(src.get(), dst.get(), w, h, type, iFlip & 1, iFlip & 2);
                if (w < 2 || h < 2)
                    EXPECT_TRUE(AllEqual(dst.get(), n * BytesPerPixel(type), 0xEE));
                else
                    EXPECT_FALSE(AllEqual(dst.get(), n * BytesPerPixel(type), 0xEE));
            }
}

TEST(AlgorithmDegenerate, DemosaicNullBuffersTypesAndHugeSizes) {
    CAlgorithm alg;
    auto src = ExactBuffer(16, 0x40);
    auto dst = ExactBuffer(48, 0xEE);
    alg.BayerConv(nullptr, dst.get(), 4, 4, IMAGE_RGB24, false, false);
    alg.BayerConv(src.get(), nullptr, 4, 4, IMAGE_RGB24, false, false);
    for (IMAGE_TYPE type : {IMAGE_32BIT, IMAGE_RAW16, static_cast<IMAGE_TYPE>(7)})
        alg.BayerConv(src.get(), dst.get(), 4, 4, type, false, false);
    // Byte counts beyond the address space: nothing is touched.
    alg.BayerConv(src.get(), dst.get(), INT_MAX, INT_MAX, IMAGE_RGB24, false, false);
    alg.BayerConv(src.get(), dst.get(), INT_MAX, INT_MAX, IMAGE_YUV2, true, true);
    EXPECT_TRUE(AllEqual(dst.get(), 48, 0xEE));
    EXPECT_TRUE(AllEqual(src.get(), 16, 0x40));
    CAlgorithm::CopyLastLine(nullptr, 3, 4);
    CAlgorithm::CopyLastLine(dst.get(), 0, 4);
    CAlgorithm::CopyLastLine(dst.get(), -1, 4);
    CAlgorithm::CopyLastLine(dst.get(), 2, 0);
    EXPECT_TRUE(AllEqual(dst.get(), 48, 0xEE));
}

TEST(AlgorithmDegenerate, BinningSizes) {
    for (bool bColour : {false, true})
        for (bool b16 : {false, true})
            for (int iBin : {-1, 0, 1, 2, 3, 4})
                for (int w : kDegenerate)
                    for (int h : kDegenerate) {
                        SCOPED_TRACE(std::string(bColour ? "colour" : "mono") + (b16 ? " 16" : " 8") +
                                     " bin " + std::to_string(iBin) + " " + std::to_string(w) + "x" +
                                     std::to_string(h));
                        const int b = std::max(iBin, 1);
                        const long long n = Area(w, h) * b * b;
                        auto buf8 = ExactBuffer(n, 0x11);
                        std::unique_ptr<unsigned short[]> buf16(new unsigned short[static_cast<size_t>(n)]);
                        std::fill(buf16.get(), buf16.get() + n, 0x1111);
                        CAlgorithm alg;
                        if (bColour)
                            alg.ColorRAWBin(buf8.get(), buf16.get(), w, h, iBin, b16);
                        else
                            alg.MonoBin(buf8.get(), buf16.get(), w, h, iBin, b16);
                        if (n == 0 || iBin <= 1) {
                            EXPECT_TRUE(AllEqual(buf8.get(), n, 0x11));
                            EXPECT_TRUE(std::all_of(buf16.get(), buf16.get() + n,
                                                    [](unsigned short v) { return v == 0x1111; }));
                        }
                    }
}

TEST(AlgorithmDegenerate, BinningNullBuffersAndHugeSizes) {
    CAlgorithm alg;
    auto buf8 = ExactBuffer(64, 0x11);
    std::unique_ptr<unsigned short[]> buf16(new unsigned short[64]);
    std::fill(buf16.get(), buf16.get() + 64, 0x1111);
    alg.MonoBin(nullptr, buf16.get(), 4, 4, 2, false);
    alg.MonoBin(buf8.get(), nullptr, 4, 4, 2, true);
    alg.ColorRAWBin(nullptr, buf16.get(), 4, 4, 2, false);
    alg.ColorRAWBin(buf8.get(), nullptr, 4, 4, 2, true);
    for (bool b16 : {false, true}) {
        alg.MonoBin(buf8.get(), buf16.get(), INT_MAX, INT_MAX, 4, b16);
        alg.ColorRAWBin(buf8.get(), buf16.get(), INT_MAX, INT_MAX, 4, b16);
        alg.MonoBin(buf8.get(), buf16.get(), 2, 2, INT_MAX, b16);
        alg.ColorRAWBin(buf8.get(), buf16.get(), 2, 2, INT_MAX, b16);
    }
    EXPECT_TRUE(AllEqual(buf8.get(), 64, 0x11));
    EXPECT_TRUE(std::all_of(buf16.get(), buf16.get() + 64, [](unsigned short v) { return v == 0x1111; }));
}

TEST(AlgorithmDegenerate, FlipGammaDarkSizes) {
    unsigned char ucTable[256];
    for (int i = 0; i < 256; i++) ucTable[i] = static_cast<unsigned char>(255 - i);
    std::vector<unsigned short> table16(65536, 7);
    for (int w : kDegenerate)
        for (int h : kDegenerate) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            const long long n = Area(w, h);
            CAlgorithm alg;
            auto buf = ExactBuffer(n, 0x22);
            auto buf16 = ExactBuffer(n * 2, 0x22);
            auto dark = ExactBuffer(n, 0x01);
            for (int iFlip = 0; iFlip < 4; iFlip++) {
                alg.SoftMisc(buf.get(), w, h, false, iFlip & 1, iFlip & 2);
                alg.SoftMisc(buf16.get(), w, h, true, iFlip & 1, iFlip & 2);
            }
            alg.Gamma(buf.get(), ucTable, w, h);
            alg.Gamma(reinterpret_cast<unsigned short*>(buf16.get()), table16.data(), w, h);
            alg.SubtractDark(buf.get(), w, h, 0, dark.get());
            EXPECT_TRUE(AllEqual(buf.get(), n, 0xDC));  // 255 - 0x22, then minus 1
            EXPECT_TRUE(AllEqual(dark.get(), n, 0x01));
        }
    CAlgorithm alg;
    auto buf = ExactBuffer(4, 0x22);
    alg.SoftMisc(nullptr, 2, 2, false, true, true);
    alg.Gamma(static_cast<unsigned char*>(nullptr), ucTable, 2, 2);
    alg.Gamma(buf.get(), nullptr, 2, 2);
    alg.Gamma(static_cast<unsigned short*>(nullptr), table16.data(), 2, 1);
    alg.Gamma(reinterpret_cast<unsigned short*>(buf.get()), nullptr, 2, 1);
    alg.SubtractDark(nullptr, 2, 2, 0, buf.get());
    alg.SubtractDark(buf.get(), 2, 2, 0, nullptr);
    EXPECT_TRUE(AllEqual(buf.get(), 4, 0x22));
}

// Regions of 1, 2, 10 and 11 pixels at the far corner of an exact-size frame:
// every sample stays inside the region; a region without a 2 x 2 sample gives 0.
TEST(AlgorithmDegenerate, StatisticsRegionsAtTheFarEdge) {
    const int kW = 24, kH = 20;
    for (bool b16 : {false, true})
        for (int iSize : {1, 2, 10, 11})
            for (bool bWide : {false, true}) {
                const int w = bWide ? kW : iSize, h = iSize;
                SCOPED_TRACE(std::string(b16 ? "16-bit " : "8-bit ") + std::to_string(w) + "x" +
                             std::to_string(h));
                const std::vector<unsigned short> frame = RandomSamples<unsigned short>(
                    kW * kH, 60u + static_cast<uint32_t>(iSize), b16 ? 0xFFFF : 0xFF);
                auto bytes = ExactBuffer(static_cast<long long>(frame.size()) * (b16 ? 2 : 1), 0);
                if (b16)
                    memcpy(bytes.get(), frame.data(), frame.size() * 2);
                else
                    std::copy(frame.begin(), frame.end(), bytes.get());
                CAlgorithm alg;
                Stats got;
                std::fill(got.iAvg, got.iAvg + 3, -1);
                std::fill(got.iDev, got.iDev + 3, -1);
                // Regions that end at the last column and row.
                alg.Get_variance_ave_RAW(bytes.get(), kW - w, kH - h, w, h, kW, 0, got.iDev, got.iAvg, b16);
                ExpectStats(got, RefStats(frame, kW, BAYER_RG, kW - w, kH - h, w, h, b16));
                if (iSize == 1) {
                    for (int c = 0; c < 3; c++) EXPECT_EQ(got.iAvg[c] | got.iDev[c], 0);
                }
            }
}

TEST(AlgorithmDegenerate, StatisticsBadRegionsGiveZero) {
    struct Case {
        int x0, y0, w, h, iStride;
    };
    const Case kCases[] = {{0, 0, 0, 10, 16},      {0, 0, 10, -2, 16},     {-1, 0, 4, 4, 16},
                           {0, -1, 4, 4, 16},      {14, 0, 4, 4, 16},      {0, 0, 4, 4, 0},
                           {INT_MAX, 0, 4, 4, 16}, {0, 0, INT_MAX, 4, 16}, {0, INT_MAX, 4, 4, 16}};
    auto frame = ExactBuffer(16 * 16, 100);
    CAlgorithm alg;
    for (const Case& c : kCases) {
        int iDev[3] = {-1, -1, -1}, iAvg[3] = {-1, -1, -1};
        alg.Get_variance_ave_RAW(frame.get(), c.x0, c.y0, c.w, c.h, c.iStride, 0, iDev, iAvg, false);
        for (int col = 0; col < 3; col++) {
            EXPECT_EQ(iAvg[col], 0) << c.x0 << "," << c.y0 << " " << c.w << "x" << c.h;
            EXPECT_EQ(iDev[col], 0);
        }
    }
    int iDev[3] = {-1, -1, -1}, iAvg[3] = {-1, -1, -1};
    alg.Get_variance_ave_RAW(nullptr, 0, 0, 4, 4, 16, 0, iDev, iAvg, false);
    EXPECT_EQ(iAvg[0] | iAvg[1] | iAvg[2] | iDev[0] | iDev[1] | iDev[2], 0);
    alg.Get_variance_ave_RAW(frame.get(), 0, 0, 4, 4, 16, 0, nullptr, iAvg, false);
    alg.Get_variance_ave_RAW(frame.get(), 0, 0, 4, 4, 16, 0, iDev, nullptr, false);
}

}  // namespace

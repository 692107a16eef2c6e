// The vector code of the image passes against the scalar code, byte for byte:
// every pass runs once with the vector kernels off (the reference) and once
// with each instruction set the processor offers, on random data from a fixed
// seed, over sizes around every vector width, all Bayer patterns and flips,
// white balances and bins. Buffers carry guard bytes on both sides, so a
// vector load or store past either end shows up (ASan catches the loads).
#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "KYRCamera.h"
#include "image/AlgorithmSimd.h"
#include "image/CAlgorithm.h"

namespace {

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA7;

// Bytes with guard bytes before and after them.
class GuardedBytes {
  public:
    explicit GuardedBytes(const std::vector<uint8_t>& content)
        : m_all(content.size() + 2 * kGuardBytes, kGuardByte), m_uSize(content.size()) {
        if (!content.empty()) memcpy(data(), content.data(), content.size());
    }
    uint8_t* data() { return m_all.data() + kGuardBytes; }
    unsigned short* data16() { return reinterpret_cast<unsigned short*>(data()); }
    std::vector<uint8_t> Content() const {
        return std::vector<uint8_t>(m_all.begin() + kGuardBytes, m_all.begin() + kGuardBytes + m_uSize);
    }
    void ExpectGuardsIntact() const {
        for (size_t i = 0; i < kGuardBytes; i++) {
            ASSERT_EQ(m_all[i], kGuardByte) << "written " << kGuardBytes - i << " bytes before the buffer";
            ASSERT_EQ(m_all[kGuardBytes + m_uSize + i], kGuardByte)
                << "written " << i << " bytes past the buffer";
        }
    }

  private:
    std::vector<uint8_t> m_all;
    size_t m_uSize;
};

std::vector<uint8_t> RandomBytes(size_t n, uint32_t uSeed) {
    std::mt19937 rng(uSeed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng() & 255);
    return v;
}

// Runs the pass with the scalar code, then with the vector code under every
// instruction set compiled in and supported here, and compares the bytes.
void ExpectVectorMatchesScalar(const std::string& what, const std::function<std::vector<uint8_t>()>& run) {
    SCOPED_TRACE(what);
    kyr_simd::SetEnabled(false);
    const std::vector<uint8_t> ref = run();
    kyr_simd::SetEnabled(true);
    for (const int64_t target : kyr_simd::Targets()) {
        kyr_simd::SelectTarget(target);
        const std::vector<uint8_t> got = run();
        ASSERT_EQ(got.size(), ref.size());
        size_t i = 0;
        while (i < got.size() && got[i] == ref[i]) i++;
        EXPECT_EQ(i, got.size()) << hwy::TargetName(target) << ": first difference at byte " << i << ": "
                                 << int(got[i]) << " instead of " << int(ref[i]);
        if (i != got.size()) break;
    }
    kyr_simd::SelectTarget(0);
}

// The comparisons below mean something only if a vector instruction set runs
// here: x86-64 always has SSSE3 or better, the ARM boards and qemu-arm NEON.
TEST(AlgorithmVector, AVectorInstructionSetIsChecked) {
    std::string names;
    bool bVector = false;
    for (const int64_t target : kyr_simd::Targets()) {
        names += std::string(" ") + hwy::TargetName(target);
        bVector = bVector || (target != HWY_SCALAR && target != HWY_EMU128);
    }
    std::printf("instruction sets checked:%s\n", names.c_str());
    EXPECT_TRUE(bVector) << names;
}

// Widths and heights around the vector widths (16 to 64 bytes, in pixels of
// one to three bytes), tiny ones, and odd ones.
const int kWidths[] = {2, 3, 4, 5, 9, 15, 17, 18, 19, 31, 33, 34, 35, 63, 65, 66, 67, 97, 130, 131};
const int kHeights[] = {2, 3, 4, 5, 7};

const int kPatterns[] = {BAYER_RG, BAYER_BG, BAYER_GR, BAYER_GB};

struct WhiteBalance {
    const char* pszName;
    int iRed, iBlue;
};
const WhiteBalance kWhiteBalances[] = {
    {"neutral", 50, 50}, {"strong red", 160, 30}, {"strong blue", 25, 140}, {"saturating", 900, 12750}};

struct Flip {
    bool bV, bH;
};
const Flip kFlips[] = {{false, false}, {true, false}, {false, true}, {true, true}};

std::string Name(const char* pszOp, int w, int h) {
    return std::string(pszOp) + " " + std::to_string(w) + "x" + std::to_string(h);
}

void ExpectDemosaicMatches(int iPattern, const WhiteBalance& wb, const Flip& flip, IMAGE_TYPE type, int w,
                           int h, uint32_t uSeed) {
    const std::vector<uint8_t> mosaic = RandomBytes(static_cast<size_t>(w) * h, uSeed);
    const int iOutBytes = type == IMAGE_RGB24 ? 3 : type == IMAGE_YUV2 ? 2 : 1;
    const std::string what = Name(type == IMAGE_RGB24  ? "RGB24"
                                  : type == IMAGE_YUV2 ? "YUV2"
                                                       : "Y8",
                                  w, h) +
                             " pattern " + std::to_string(iPattern) + " wb " + wb.pszName + " flip " +
                             std::to_string(flip.bV) + std::to_string(flip.bH);
    ExpectVectorMatchesScalar(what, [&] {
        CAlgorithm alg;
        alg.SetBayer(iPattern);
        alg.SetRGBWB(wb.iRed, wb.iBlue);
        GuardedBytes src(mosaic);
        GuardedBytes dst(std::vector<uint8_t>(static_cast<size_t>(w) * h * iOutBytes, 0));
        alg.BayerConv(src.data(), dst.data(), w, h, type, flip.bV, flip.bH);
        src.ExpectGuardsIntact();
        dst.ExpectGuardsIntact();
        return dst.Content();
    });
}

TEST(AlgorithmVector, DemosaicEveryPatternFlipAndWhiteBalance) {
    uint32_t uSeed = 1;
    for (const int iPattern : kPatterns)
        for (const WhiteBalance& wb : kWhiteBalances)
            for (const Flip& flip : kFlips)
                for (const IMAGE_TYPE type : {IMAGE_RGB24, IMAGE_8BIT, IMAGE_YUV2})
                    for (const int w : kWidths)
                        for (const int h : kHeights)
                            ExpectDemosaicMatches(iPattern, wb, flip, type, w, h, uSeed++);
}

TEST(AlgorithmVector, DemosaicLargeOddFrame) {
    for (const int iPattern : kPatterns)
        for (const IMAGE_TYPE type : {IMAGE_RGB24, IMAGE_8BIT, IMAGE_YUV2})
            for (const WhiteBalance& wb : {kWhiteBalances[0], kWhiteBalances[3]})
                ExpectDemosaicMatches(iPattern, wb, Flip{true, false}, type, 1001, 67, 77u + iPattern);
}

// Binning by 2, 3 and 4, 8- and 16-bit, mono and colour; binned sizes odd and
// even so that colour binning has partial edge cells. A colour row binned by
// 2 ends with a vector step overlapping the one before when it is at least two
// vectors and a cell long: 19, 35 and 67 are that shortest row for 8, 16 and
// 32 outputs a vector, 203 a long row with a short rest for every width.
TEST(AlgorithmVector, BinningEveryBinAndDepth) {
    const int kBinWidths[] = {1, 2, 3, 5, 8, 9, 15, 16, 17, 19, 31, 32, 33, 34, 35, 63, 65, 66, 67, 129, 203};
    const int kBinHeights[] = {1, 2, 3, 4, 5};
    uint32_t uSeed = 1000;
    for (const bool bColour : {false, true})
        for (const bool b16Bit : {false, true})
            for (const int iBin : {2, 3, 4})
                for (const int w : kBinWidths)
                    for (const int h : kBinHeights) {
                        const size_t uBytes = static_cast<size_t>(w) * iBin * h * iBin * (b16Bit ? 2 : 1);
                        std::vector<uint8_t> input = RandomBytes(uBytes, uSeed++);
                        // 8-bit: dim enough that only some block sums saturate.
                        if (!b16Bit)
                            for (auto& b : input) b = static_cast<uint8_t>(b % (300 / (iBin * iBin)));
                        const std::string what = Name(bColour ? "ColorRAWBin" : "MonoBin", w, h) + " bin " +
                                                 std::to_string(iBin) + (b16Bit ? " 16-bit" : " 8-bit");
                        ExpectVectorMatchesScalar(what, [&] {
                            CAlgorithm alg;
                            GuardedBytes buf(input);
                            if (bColour)
                                alg.ColorRAWBin(buf.data(), buf.data16(), w, h, iBin, b16Bit);
                            else
                                alg.MonoBin(buf.data(), buf.data16(), w, h, iBin, b16Bit);
                            buf.ExpectGuardsIntact();
                            return buf.Content();
                        });
                    }
}

// 8-bit sums saturate: bright frames make most blocks hit 255.
TEST(AlgorithmVector, BinningSaturatesLikeTheScalarCode) {
    std::vector<uint8_t> bright = RandomBytes(130 * 2 * 7 * 2, 5);
    for (auto& b : bright) b = static_cast<uint8_t>(40 + b % 60);
    for (const bool bColour : {false, true})
        ExpectVectorMatchesScalar(bColour ? "colour" : "mono", [&] {
            CAlgorithm alg;
            GuardedBytes buf(bright);
            if (bColour)
                alg.ColorRAWBin(buf.data(), nullptr, 130, 7, 2, false);
            else
                alg.MonoBin(buf.data(), nullptr, 130, 7, 2, false);
            buf.ExpectGuardsIntact();
            return buf.Content();
        });
}

// The widths of the demosaic table and a large odd one, whose rows hold
// several vectors of every width and a remainder.
std::vector<int> FlipWidths() {
    std::vector<int> widths(std::begin(kWidths), std::end(kWidths));
    widths.push_back(1001);
    return widths;
}
const std::vector<int> kFlipWidths = FlipWidths();

TEST(AlgorithmVector, FlipEveryDirectionAndDepth) {
    uint32_t uSeed = 2000;
    for (const bool b16Bit : {false, true})
        for (const Flip& flip : kFlips)
            for (const int w : kFlipWidths)
                for (const int h : {1, 2, 3, 5, 8}) {
                    const std::vector<uint8_t> input =
                        RandomBytes(static_cast<size_t>(w) * h * (b16Bit ? 2 : 1), uSeed++);
                    ExpectVectorMatchesScalar(Name(b16Bit ? "flip 16-bit" : "flip 8-bit", w, h) + " " +
                                                  std::to_string(flip.bV) + std::to_string(flip.bH),
                                              [&] {
                                                  CAlgorithm alg;
                                                  GuardedBytes buf(input);
                                                  alg.SoftMisc(buf.data(), w, h, b16Bit, flip.bV, flip.bH);
                                                  buf.ExpectGuardsIntact();
                                                  return buf.Content();
                                              });
                }
}

TEST(AlgorithmVector, GammaAndDarkSubtraction) {
    const std::vector<uint8_t> table8 = RandomBytes(256, 3);
    const std::vector<uint8_t> table16 = RandomBytes(65536 * 2, 4);
    uint32_t uSeed = 3000;
    for (const int w : {1, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 129, 1001})
        for (const int h : {1, 2, 3}) {
            const size_t n = static_cast<size_t>(w) * h;
            const std::vector<uint8_t> frame = RandomBytes(2 * n, uSeed++);
            const std::vector<uint8_t> dark = RandomBytes(n, uSeed++);
            ExpectVectorMatchesScalar(Name("gamma 8-bit", w, h), [&] {
                CAlgorithm alg;
                GuardedBytes buf(std::vector<uint8_t>(frame.begin(), frame.begin() + n));
                alg.Gamma(buf.data(), table8.data(), w, h);
                buf.ExpectGuardsIntact();
                return buf.Content();
            });
            ExpectVectorMatchesScalar(Name("gamma 16-bit", w, h), [&] {
                CAlgorithm alg;
                GuardedBytes buf(frame);
                alg.Gamma(buf.data16(), reinterpret_cast<const unsigned short*>(table16.data()), w, h);
                buf.ExpectGuardsIntact();
                return buf.Content();
            });
            for (const unsigned uOffset : {0u, 9u, 254u, 255u, 1000u})
                ExpectVectorMatchesScalar(Name("dark", w, h) + " offset " + std::to_string(uOffset), [&] {
                    CAlgorithm alg;
                    GuardedBytes buf(std::vector<uint8_t>(frame.begin(), frame.begin() + n));
                    GuardedBytes darkBuf(dark);
                    alg.SubtractDark(buf.data(), w, h, uOffset, darkBuf.data());
                    buf.ExpectGuardsIntact();
                    darkBuf.ExpectGuardsIntact();
                    return buf.Content();
                });
        }
}

// Every 256-entry table position reaches the output: a frame holding each
// byte value, through a table that tells them apart.
TEST(AlgorithmVector, GammaReadsEveryTableEntry) {
    std::vector<uint8_t> frame(512);
    for (size_t i = 0; i < frame.size(); i++) frame[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> table(256);
    for (int i = 0; i < 256; i++) table[i] = static_cast<uint8_t>(255 - i);
    ExpectVectorMatchesScalar("all values", [&] {
        CAlgorithm alg;
        GuardedBytes buf(frame);
        alg.Gamma(buf.data(), table.data(), 512, 1);
        return buf.Content();
    });
    kyr_simd::SetEnabled(true);
    CAlgorithm alg;
    alg.Gamma(frame.data(), table.data(), 512, 1);
    for (size_t i = 0; i < frame.size(); i++) ASSERT_EQ(frame[i], static_cast<uint8_t>(255 - uint8_t(i * 7)));
}

// The 65536-entry table sits between two pages that cannot be read, and the
// frame holds every 16-bit value, so a look-up that reads a single byte beside
// the table faults, and every entry has to arrive at its pixel.
TEST(AlgorithmVector, Gamma16ReadsEveryTableEntryAndNothingBeside) {
    const size_t uPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t uTableBytes = 65536 * 2;
    const size_t uTablePages = (uTableBytes + uPage - 1) / uPage;
    const size_t uMapped = (uTablePages + 2) * uPage;
    void* pMap = mmap(nullptr, uMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pMap, MAP_FAILED);
    uint8_t* pBytes = static_cast<uint8_t*>(pMap);
    ASSERT_EQ(mprotect(pBytes, uPage, PROT_NONE), 0);
    ASSERT_EQ(mprotect(pBytes + (uTablePages + 1) * uPage, uPage, PROT_NONE), 0);
    // Ends exactly at the inaccessible page after it.
    unsigned short* pTable =
        reinterpret_cast<unsigned short*>(pBytes + (uTablePages + 1) * uPage - uTableBytes);
    for (uint32_t i = 0; i < 65536; i++) pTable[i] = static_cast<unsigned short>((i * 40503u + 17) & 0xFFFF);

    // Every value, in an order that mixes neighbours, three times. The
    // look-up goes in steps of up to 24 pixels, some gathered and some read
    // one at a time; the copies lie 65536 + 16 pixels apart, so each starts 8
    // pixels further into a step than the one before and every value meets
    // every kind of read. 7 more pixels make a tail shorter than any vector.
    constexpr uint32_t kCopyStride = 65536 + 16;
    constexpr uint32_t kPixels = 3 * kCopyStride + 7;
    std::vector<uint8_t> frame(2 * kPixels, 0);
    unsigned short* pFrame = reinterpret_cast<unsigned short*>(frame.data());
    for (uint32_t c = 0; c < 3; c++)
        for (uint32_t i = 0; i < 65536; i++)
            pFrame[c * kCopyStride + i] = static_cast<unsigned short>(65535u - ((i * 21845u) & 0xFFFF));
    for (uint32_t i = 0; i < 7; i++) pFrame[3 * kCopyStride + i] = static_cast<unsigned short>(65535 - i);
    ExpectVectorMatchesScalar("every value", [&] {
        CAlgorithm alg;
        GuardedBytes buf(frame);
        alg.Gamma(buf.data16(), pTable, kPixels, 1);
        buf.ExpectGuardsIntact();
        return buf.Content();
    });
    kyr_simd::SetEnabled(true);
    std::vector<uint8_t> out = frame;
    CAlgorithm alg;
    alg.Gamma(reinterpret_cast<unsigned short*>(out.data()), pTable, kPixels, 1);
    const unsigned short* pOut = reinterpret_cast<const unsigned short*>(out.data());
    for (uint32_t i = 0; i < kPixels; i++) ASSERT_EQ(pOut[i], pTable[pFrame[i]]) << "pixel " << i;
    munmap(pMap, uMapped);
}

}  // namespace

// Auto exposure, auto gain and auto white balance steps on synthetic frames,
// at object level on a recording test driver: which gain, exposure and white
// balance calls one step makes for a frame of chosen brightness or colour,
// and the sampling of the frame the ring received last.
#include <algorithm>
#include <string>
#include <vector>

#include "test_auto_fixture.h"

namespace auto_test {
namespace {

using Calls = std::vector<Rec::SCall>;

Rec::SCall Gain(long long g, bool bAuto = true) { return {Rec::REC_GAIN, g, 0, bAuto}; }
Rec::SCall Exp(long long us, bool bAuto = true) { return {Rec::REC_EXP, us, 0, bAuto}; }
Rec::SCall WB(long long r, long long b, bool bAuto = true) { return {Rec::REC_WB, r, b, bAuto}; }

// ---- Auto exposure and gain ------------------------------------------------------------

struct SAECase {
    const char* szWhat;
    int iPixel;  // every pixel's value (8-bit) or 16-bit word
    bool bAutoExp, bAutoGain;
    long long llExpUs;  // exposure before the step
    int iGain;          // gain before the step
    int iLines;         // exposure lines the camera reports (also after its SetExp)
    Calls expected;
    int iAutoExpMaxMs = 30000;
    int iBin = 1;
    bool bHardwareBin = false;
    bool b16 = false;
    const char* szName = CRecordingDriver::kName;
};

// Target 100: the dead band is 85..115 (M = pixel + 1 for 8-bit frames), gain
// steps are 6 (s100) and 12 (s50) for gain 0..600, the auto gain limit is 300.
// clang-format off
const SAECase kAECases[] = {
    {"inside the dead band", 89, true, true, 10000, 100, 100, {}},
    {"upper edge of the dead band", 114, true, true, 10000, 100, 100, {}},
    {"dark, exposure only: 10 ms becomes 11 ms", 79, true, false, 10000, 100, 100, {Exp(11000)}},
    {"dark, exposure only, one step brighter", 80, true, false, 10000, 100, 100, {Exp(10950)}},
    {"dark, two exposure lines: inside the wide band", 79, true, false, 10000, 100, 2, {}},
    {"dark, two exposure lines: outside the wide band", 68, true, false, 10000, 100, 2, {Exp(11550)}},
    {"dark, one exposure line: inside the wide band", 60, true, false, 10000, 100, 1, {}},
    {"dark, zero exposure lines: outside the wide band", 53, true, false, 10000, 100, 0, {Exp(12300)}},
    {"dark, gain only", 79, false, true, 10000, 100, 100, {Gain(112)}},
    {"dark, gain only, at the auto gain limit", 79, false, true, 10000, 295, 100, {Gain(300)}},
    {"dark, both, short exposure", 79, true, true, 10000, 100, 100, {Gain(106), Exp(11000), Gain(112)}},
    {"dark, both, short exposure inside the wide band: gain only",
     79, true, true, 10000, 100, 2, {Gain(106), Gain(112)}},
    {"dark, both, long exposure, gain below the limit",
     79, true, true, 200000, 100, 100, {Gain(106), Gain(118)}},
    {"dark, both, long exposure, gain at the limit: exposure rises",
     79, true, true, 200000, 300, 100, {Gain(300), Exp(220000)}},
    {"dark, both, long exposure, gain at the limit: exposure capped",
     79, true, true, 200000, 300, 100, {Gain(300), Exp(210000)}, 210},
    {"bright, gain only", 254, false, true, 10000, 100, 100, {Gain(94)}},
    {"bright, exposure only", 254, true, false, 10000, 100, 100, {Exp(6125)}},
    {"bright, exposure only, inside the wide band", 140, true, false, 10000, 100, 1, {}},
    {"bright, both, short exposure", 254, true, true, 10000, 100, 100, {Exp(6125), Gain(94)}},
    {"bright, both, few lines: two gain steps, floor 1",
     254, true, true, 10000, 4, 2, {Exp(6125), Gain(1), Gain(1)}},
    {"bright, both, long exposure: exposure only", 254, true, true, 200000, 100, 100, {Exp(122500)}},
    {"bin 2 multiplies an 8-bit mean by 4: inside", 24, true, false, 10000, 100, 100, {}, 30000, 2},
    {"bin 2 multiplies an 8-bit mean by 4: dark", 19, true, false, 10000, 100, 100, {Exp(11000)}, 30000, 2},
    {"bin 2 caps the mean at 255", 100, true, false, 10000, 100, 100, {Exp(6125)}, 30000, 2},
    {"hardware bin 4 multiplies the mean by 4", 19, true, false, 10000, 100, 100, {Exp(11000)}, 30000, 4, true},
    {"16-bit frames measure the high byte", 0x4F10, true, false, 10000, 100, 100, {Exp(11000)}, 30000, 1, false,
     true},
    {"16-bit frames of the 810 family measure the low byte",
     0x104F, true, false, 10000, 100, 100, {Exp(11000)}, 30000, 1, false, true, "VORN KYR810MC"},
    {"the same word on another model reads dark", 0x104F, true, false, 10000, 100, 100, {Exp(14150)}, 30000, 1,
     false, true},
};
// clang-format on

TEST_F(CAutoTest, OneBrightnessStepMakesTheTableCalls) {
    for (const SAECase& c : kAECases) {
        SCOPED_TRACE(c.szWhat);
        // The image is the sensor frame over the bin; with hardware bin 4
        // the camera sends a frame of half the sensor size, which the mean
        // then counts as a quarter of the light.
        ASSERT_TRUE(Cam().SetResolution(kW / c.iBin, kH / c.iBin, c.iBin, c.b16 ? IMAGE_RAW16 : IMAGE_8BIT));
        Cam().m_bHardwareBin = c.bHardwareBin;
        Cam().m_pszName = const_cast<char*>(c.szName);
        Cam().SetAutoPara(300, c.iAutoExpMaxMs, 100);
        Cam().SetFixedExpLines(c.iLines);
        Cam().SetExp(static_cast<unsigned long long>(c.llExpUs), c.bAutoExp);
        Cam().SetGain(c.iGain, c.bAutoGain);
        Cam().ClearRecorded();
        const Frame f = c.b16 ? Uniform16(kW, kH, static_cast<uint16_t>(c.iPixel))
                              : Uniform8(kW, kH, static_cast<unsigned char>(c.iPixel));
        Cam().AutoExpGain(f.data(), static_cast<long>(f.size()));
        EXPECT_EQ(Cam().Recorded(), c.expected);
    }
    Cam().m_pszName = const_cast<char*>(CRecordingDriver::kName);
}

TEST_F(CAutoTest, NoStepWithoutSamplesOrWhenTheFrameIsShorterThanTheGeometry) {
    Cam().SetExp(10000, true);
    Cam().ClearRecorded();
    const Frame dark = Uniform8(kW, kH, 10);
    // No pixels at all.
    ASSERT_TRUE(Cam().SetResolution(0, kH, 1, IMAGE_8BIT));
    Cam().AutoExpGain(dark.data(), static_cast<long>(dark.size()));
    ASSERT_TRUE(Cam().SetResolution(kW, 0, 1, IMAGE_8BIT));
    Cam().AutoExpGain(dark.data(), static_cast<long>(dark.size()));
    // A buffer smaller than the frame the geometry describes.
    ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_8BIT));
    Cam().AutoExpGain(dark.data(), static_cast<long>(dark.size()) - 1);
    Cam().AutoExpGain(nullptr, static_cast<long>(dark.size()));
    EXPECT_TRUE(Cam().Recorded().empty());
    // A single pixel still measures.
    ASSERT_TRUE(Cam().SetResolution(1, 1, 1, IMAGE_8BIT));
    Cam().AutoExpGain(dark.data(), 1);
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 1);
}

TEST_F(CAutoTest, SamplingJitterDependsOnTheSeedOnly) {
    // A frame of vertical stripes one pixel wide: which column a point falls
    // on decides what it reads.
    Frame stripes(static_cast<size_t>(kW) * kH);
    for (size_t i = 0; i < stripes.size(); ++i) stripes[i] = (i % 2) ? 254 : 0;
    auto run = [&](uint32_t seed) {
        Cam().SeedAutoSamplingForTest(seed);
        Cam().SetExp(10000, true);
        Cam().ClearRecorded();
        Cam().AutoExpGain(stripes.data(), static_cast<long>(stripes.size()));
        return Cam().Recorded();
    };
    // About half the points read bright: always too bright, by an amount
    // that depends on the draw.
    const Calls first = run(7);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(run(7), first);
    std::vector<long long> exposures;
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        const Calls calls = run(seed);
        ASSERT_EQ(calls.size(), 1u);
        exposures.push_back(calls[0].a);
    }
    std::sort(exposures.begin(), exposures.end());
    EXPECT_LT(exposures.front(), exposures.back());
}

// ---- White balance ------------------------------------------------------------------------

struct SWBCase {
    const char* szWhat;
    int r, g, b;      // channel levels of a deviation-free 16-bit frame
    bool bAutoExp;    // auto exposure on (tolerance 10 %) or off with gain (4 %)
    int iRed, iBlue;  // white balance before the step
    Calls expected;
    const int* pFirstRed = nullptr;
};

const int kFirstRed45 = 45;

// Green at 90; red and blue at most 99, where the deviation-free frame reads
// exactly its level.
const SWBCase kWBCases[] = {
    {"equal channels", 90, 90, 90, true, 52, 95, {}},
    {"every channel 9 or less", 2, 9, 9, false, 52, 95, {}},
    {"red cast just inside 10 %", 81, 90, 90, true, 52, 95, {}},
    {"red cast outside 10 %", 80, 90, 90, true, 52, 95, {WB(57, 93)}},
    {"blue cast just inside 10 %", 90, 90, 99, true, 52, 95, {}},
    {"blue cast outside 10 %", 90, 90, 80, true, 52, 95, {WB(51, 105)}},
    {"red cast just inside 4 %", 87, 90, 90, false, 52, 95, {}},
    {"red cast outside 4 %", 86, 90, 90, false, 52, 95, {WB(53, 93)}},
    {"small red value nudged by 1", 80, 90, 90, true, 3, 3, {WB(4, 2)}},
    {"red value 5 is not nudged", 80, 90, 90, true, 5, 3, {WB(5, 2)}},
    {"no deviation anywhere: the first block's levels",
     90,
     90,
     90,
     true,
     52,
     95,
     {WB(101, 93)},
     &kFirstRed45},
};

TEST_F(CAutoTest, OneWhiteBalanceStepMakesTheTableCall) {
    ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_RAW16));
    for (const SWBCase& c : kWBCases) {
        SCOPED_TRACE(c.szWhat);
        Cam().m_bAutoExp = c.bAutoExp;
        Cam().m_bAutoGain = false;
        Cam().m_iWBRed = c.iRed;
        Cam().m_iWBBlue = c.iBlue;
        Cam().ClearRecorded();
        const Frame f = Bayer16(kW, kH, c.r, c.g, c.b, c.pFirstRed);
        Cam().AutoWhiBal(f.data(), static_cast<long>(f.size()));
        EXPECT_EQ(Cam().Recorded(), c.expected);
    }
}

TEST_F(CAutoTest, WhiteBalanceWeighsBlocksByTheirDeviation) {
    // 8-bit channels 80 / 100 / 100: every block has the same small
    // deviation, so the weighted levels are just below the block averages
    // (R 79, G 99, B 99): 78, 98, 98.
    Cam().m_bAutoExp = true;
    const Frame f = Bayer8(kW, kH, 80, 100, 100);
    Cam().AutoWhiBal(f.data(), static_cast<long>(f.size()));
    EXPECT_EQ(Cam().Recorded(), (Calls{WB(64, 94)}));
}

TEST_F(CAutoTest, WhiteBalanceDoesNothingOnMonoCamerasAndOnTinyFrames) {
    const Frame cast = Bayer16(kW, kH, 50, 100, 100);
    Cam().m_bColor = false;
    ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_RAW16));
    Cam().AutoWhiBal(cast.data(), static_cast<long>(cast.size()));
    Cam().m_bColor = true;
    // Fewer pixels than blocks: the blocks would be empty.
    ASSERT_TRUE(Cam().SetResolution(15, kH, 1, IMAGE_RAW16));
    Cam().AutoWhiBal(cast.data(), static_cast<long>(cast.size()));
    ASSERT_TRUE(Cam().SetResolution(kW, 15, 1, IMAGE_RAW16));
    Cam().AutoWhiBal(cast.data(), static_cast<long>(cast.size()));
    // A buffer shorter than the frame.
    ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_RAW16));
    Cam().AutoWhiBal(cast.data(), static_cast<long>(cast.size()) - 2);
    EXPECT_TRUE(Cam().Recorded().empty());
    Cam().AutoWhiBal(cast.data(), static_cast<long>(cast.size()));
    EXPECT_EQ(Cam().Count(Rec::REC_WB), 1);
}

// ---- The frame the ring received last ------------------------------------------------------

TEST_F(CAutoTest, RingStepsUseTheLatestFrameAndNothingAfterAReset) {
    Cam().SetExp(10000, true);
    Cam().ClearRecorded();
    // Nothing received yet.
    Cam().AutoExpGainFromRing();
    Cam().AutoWhiBalFromRing();
    EXPECT_TRUE(Cam().Recorded().empty());
    // Two frames: the second (dark) one counts, read or not.
    ASSERT_NO_FATAL_FAILURE(Feed(Uniform8(kW, kH, 99)));
    ASSERT_NO_FATAL_FAILURE(Feed(Uniform8(kW, kH, 79)));
    Cam().AutoExpGainFromRing();
    EXPECT_EQ(Cam().Recorded(), (Calls{Exp(11000)}));
    std::vector<unsigned char> sink(static_cast<size_t>(Cam().m_pCirBuf->SlotBytes()));
    while (Cam().m_pCirBuf->Ready() > 0) ASSERT_TRUE(Cam().m_pCirBuf->ReadBuff(sink.data(), 0, 0));
    Cam().SetExp(10000, true);
    Cam().ClearRecorded();
    Cam().AutoExpGainFromRing();
    EXPECT_EQ(Cam().Recorded(), (Calls{Exp(11000)}));
    // A reset forgets it.
    Cam().m_pCirBuf->ResetCirBuff();
    Cam().ClearRecorded();
    Cam().AutoExpGainFromRing();
    Cam().AutoWhiBalFromRing();
    EXPECT_TRUE(Cam().Recorded().empty());
}

TEST_F(CAutoTest, RingWhiteBalanceStepRunsOnColourCamerasOnly) {
    ASSERT_TRUE(Cam().SetResolution(kW, kH, 1, IMAGE_RAW16));
    Cam().m_bAutoExp = true;
    ASSERT_NO_FATAL_FAILURE(Feed(Bayer16(kW, kH, 80, 90, 90)));
    Cam().m_bColor = false;
    Cam().AutoWhiBalFromRing();
    EXPECT_TRUE(Cam().Recorded().empty());
    Cam().m_bColor = true;
    Cam().AutoWhiBalFromRing();
    EXPECT_EQ(Cam().Recorded(), (Calls{WB(57, 93)}));
}

}  // namespace
}  // namespace auto_test

// Frame post-processing on the camera object, as the image operation runs it
// on each frame: the gamma tables and pass, hot-pixel repair from the hot-pixel
// map laid onto the readout geometry, dark acquisition and subtraction, and the
// time stamp, on small simulated sensors.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Fx3Fixture.h"
#include "test_postprocessing_fixture.h"

namespace {

using post_test::CPostCamera;
using post_test::LoadDark;
using Px = std::pair<int, int>;

// ---- Gamma ------------------------------------------------------------------------------

TEST(Gamma, TablesFollowTheExponentOfTheGammaValue) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);

    ASSERT_TRUE(cam.SetGamma(50));
    for (int i = 0; i < 256; ++i) ASSERT_EQ(cam.m_ucGammaLUT8[i], i) << i;
    for (int i = 0; i < 65536; ++i) ASSERT_EQ(cam.m_pGammaLUT16[i], i) << i;

    // 100: exponent 0.5.
    ASSERT_TRUE(cam.SetGamma(100));
    EXPECT_EQ(cam.GetGamma(), 100);
    EXPECT_EQ(cam.m_ucGammaLUT8[64], 127);
    EXPECT_EQ(cam.m_ucGammaLUT8[255], 255);
    EXPECT_EQ(cam.m_pGammaLUT16[16384], 32767);
    EXPECT_EQ(cam.m_pGammaLUT16[65535], 65535);

    // 1: exponent 1.98.
    ASSERT_TRUE(cam.SetGamma(1));
    EXPECT_EQ(cam.m_ucGammaLUT8[128], 65);
    EXPECT_EQ(cam.m_pGammaLUT16[32768], 16612);
    EXPECT_EQ(cam.m_ucGammaLUT8[0], 0);

    // Above 100: stored and used as 100.
    ASSERT_TRUE(cam.SetGamma(150));
    EXPECT_EQ(cam.GetGamma(), 100);
    EXPECT_EQ(cam.m_ucGammaLUT8[64], 127);
}

TEST(Gamma, WithoutTheSixteenBitTableNothingChanges) {
    CTestDriver cam;  // no work buffers
    cam.m_iGamma = 50;
    EXPECT_FALSE(cam.SetGamma(80));
    EXPECT_EQ(cam.GetGamma(), 50);
}

TEST(Gamma, PassMapsFramesExceptAtFifty) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    ASSERT_TRUE(cam.SetGamma(100));
    ASSERT_TRUE(cam.SetGamma(50));
    // At 50 the frame is left alone, whatever the tables hold.
    cam.m_ucGammaLUT8[64] = 0;
    cam.Frame8()[0] = 64;
    cam.ApplyGamma(cam.Frame8(), 8, 6, false);
    EXPECT_EQ(cam.Frame8()[0], 64);

    ASSERT_TRUE(cam.SetGamma(100));
    memset(cam.Frame8(), 64, 96);
    cam.ApplyGamma(cam.Frame8(), 8, 6, false);
    for (int i = 0; i < 48; ++i) ASSERT_EQ(cam.Frame8()[i], 127) << i;
    EXPECT_EQ(cam.Frame8()[48], 64);  // past the frame: untouched

    for (int i = 0; i < 48; ++i) cam.Frame16()[i] = 16384;
    cam.ApplyGamma(cam.Frame8(), 8, 6, true);
    for (int i = 0; i < 48; ++i) ASSERT_EQ(cam.Frame16()[i], 32767) << i;
}

// ---- Hot pixels --------------------------------------------------------------------------

// The frame before repair: distinct values, 16-bit ones off the ADC grids.
int Base(int x, int y) { return 10 * y + x + 1; }
int Base16(int x, int y) { return Base(x, y) * 1000 + 7; }

struct HotCase {
    const char* name;
    bool bColor;
    bool b16;
    int iADCBits;
    std::vector<Px> hot;
    Px checked;               // the pixel whose result is checked
    std::vector<Px> sources;  // its expected value: the mean of these (unrepaired) pixels
};

TEST(HotPixels, RepairTakesTheRightNeighbours) {
    const std::vector<HotCase> cases = {
        {"colour first column: two to the right", true, false, 8, {{0, 3}}, {0, 3}, {{2, 3}}},
        {"colour last column: two to the left", true, false, 8, {{7, 3}}, {7, 3}, {{5, 3}}},
        {"colour first row: two to the right", true, false, 8, {{3, 0}}, {3, 0}, {{5, 0}}},
        {"colour second row: two to the right", true, false, 8, {{4, 1}}, {4, 1}, {{6, 1}}},
        {"colour last row: two to the left", true, false, 8, {{3, 5}}, {3, 5}, {{1, 5}}},
        {"colour inner: mean of four", true, false, 8, {{3, 2}}, {3, 2}, {{3, 0}, {1, 2}, {5, 2}, {3, 4}}},
        {"colour inner: a hot neighbour not yet repaired is left out",
         true,
         false,
         8,
         {{3, 2}, {5, 2}},
         {3, 2},
         {{3, 0}, {1, 2}, {3, 4}}},
        {"mono first column: the next pixel", false, false, 8, {{0, 3}}, {0, 3}, {{1, 3}}},
        {"mono last column: the previous pixel", false, false, 8, {{7, 3}}, {7, 3}, {{6, 3}}},
        {"mono first row", false, false, 8, {{4, 0}}, {4, 0}, {{5, 0}}},
        {"mono last row", false, false, 8, {{4, 5}}, {4, 5}, {{3, 5}}},
        {"mono inner: mean of four", false, false, 8, {{3, 2}}, {3, 2}, {{3, 1}, {2, 2}, {4, 2}, {3, 3}}},
        {"16-bit colour inner, 16-bit ADC",
         true,
         true,
         16,
         {{3, 2}},
         {3, 2},
         {{3, 0}, {1, 2}, {5, 2}, {3, 4}}},
        {"16-bit mono inner, 14-bit ADC",
         false,
         true,
         14,
         {{3, 2}},
         {3, 2},
         {{3, 1}, {2, 2}, {4, 2}, {3, 3}}},
        {"16-bit mono inner, 12-bit ADC",
         false,
         true,
         12,
         {{3, 2}},
         {3, 2},
         {{3, 1}, {2, 2}, {4, 2}, {3, 3}}},
        {"16-bit edge: copied, not masked", false, true, 12, {{0, 3}}, {0, 3}, {{1, 3}}},
    };
    for (const HotCase& c : cases) {
        SCOPED_TRACE(c.name);
        CPostCamera cam(8, 6, c.bColor);
        ASSERT_TRUE(cam.m_bBuffers);
        cam.m_iADCBits = c.iADCBits;
        cam.m_bOutput16Bits = c.b16;
        cam.SetHotMap(c.hot);
        ASSERT_EQ(cam.HotList().size(), c.hot.size());
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < 8; ++x) {
                if (c.b16) {
                    cam.Frame16()[y * 8 + x] = static_cast<uint16_t>(Base16(x, y));
                } else {
                    cam.Frame8()[y * 8 + x] = static_cast<uint8_t>(Base(x, y));
                }
            }
        }
        unsigned sum = 0;
        for (const Px& p : c.sources) sum += c.b16 ? Base16(p.first, p.second) : Base(p.first, p.second);
        unsigned expected = sum / c.sources.size();
        const bool inner = c.sources.size() > 1;
        if (c.b16 && inner) expected &= c.iADCBits == 16 ? 0xFFFF : c.iADCBits == 14 ? 0xFFFC : 0xFFF0;

        cam.HandleHotPixels();
        const int at = c.checked.second * 8 + c.checked.first;
        EXPECT_EQ(c.b16 ? cam.Frame16()[at] : cam.Frame8()[at], expected);
        // Pixels that are not hot keep their values.
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < 8; ++x) {
                bool hot = false;
                for (const Px& p : c.hot) hot = hot || (p.first == x && p.second == y);
                if (hot) continue;
                ASSERT_EQ(c.b16 ? cam.Frame16()[y * 8 + x] : cam.Frame8()[y * 8 + x],
                          static_cast<unsigned>(c.b16 ? Base16(x, y) : Base(x, y)));
            }
        }
    }
}

TEST(HotPixels, OffTurnsRepairOff) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    cam.SetHotMap({{3, 2}});
    cam.m_bHPCOn = false;
    memset(cam.Frame8(), 0, 48);
    cam.Frame8()[19] = 200;
    cam.HandleHotPixels();
    EXPECT_EQ(cam.Frame8()[19], 200);
}

TEST(HotPixels, WithEveryNeighbourHotAndUnrepairedThePixelBeforeItIsTaken) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    cam.SetHotMap({{3, 2}, {3, 1}, {2, 2}, {4, 2}, {3, 3}});
    for (int i = 0; i < 48; ++i) cam.Frame8()[i] = static_cast<uint8_t>(i + 1);
    // Nothing repaired yet in this pass: no neighbour is usable.
    EXPECT_EQ(cam.DeNoiseHPC(3, 2, 0), 1);
    EXPECT_EQ(cam.Frame8()[19], cam.Frame8()[18]);
    // In a pass, the pixels above and to the left were repaired before it and count.
    for (int i = 0; i < 48; ++i) cam.Frame8()[i] = static_cast<uint8_t>(i + 1);
    cam.DeNoiseHPC(3, 2, 19);
    EXPECT_EQ(cam.Frame8()[19], (12 + 19) / 2);
}

struct RowCase {
    const char* name;
    bool bColor;
    std::vector<Px> hot;
    int iRow;
    int iAbove, iBelow;  // rows the repaired row is made of (-1: none)
    size_t uListed;
};

TEST(HotPixels, RowsAtLeastHalfHotAreRepairedWhole) {
    const std::vector<RowCase> cases = {
        {"colour: rows two apart", true, {{0, 3}, {2, 3}, {5, 3}, {7, 3}}, 3, 1, 5, 0},
        {"mono: the next rows", false, {{1, 3}, {2, 3}, {3, 3}, {6, 3}}, 3, 2, 4, 0},
        {"colour first row: a copy of the one below", true, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}, 0, -1, 2, 0},
        {"mono last row: a copy of the one above", false, {{0, 5}, {1, 5}, {2, 5}, {3, 5}}, 5, 4, -1, 0},
        {"under half: each pixel listed", false, {{1, 3}, {3, 3}, {6, 3}}, -1, -1, -1, 3},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.name);
        CPostCamera cam(8, 6, c.bColor);
        ASSERT_TRUE(cam.m_bBuffers);
        cam.SetHotMap(c.hot);
        EXPECT_EQ(cam.HotList().size(), c.uListed);
        if (c.iRow < 0) {
            EXPECT_EQ(cam.m_pHPCRows, nullptr);
            continue;
        }
        ASSERT_NE(cam.m_pHPCRows, nullptr);
        for (int y = 0; y < 6; ++y) EXPECT_EQ(cam.m_pHPCRows[y] != 0, y == c.iRow) << y;
        for (int i = 0; i < 48; ++i) cam.Frame8()[i] = static_cast<uint8_t>(Base(i % 8, i / 8));
        cam.HandleHotPixels();
        for (int x = 0; x < 8; ++x) {
            int expected;
            if (c.iAbove >= 0 && c.iBelow >= 0) {
                expected = (Base(x, c.iAbove) + Base(x, c.iBelow)) >> 1;
            } else {
                expected = Base(x, c.iAbove >= 0 ? c.iAbove : c.iBelow);
            }
            EXPECT_EQ(cam.Frame8()[c.iRow * 8 + x], expected) << x;
        }
    }
}

TEST(HotPixels, OnePixelWideFrameFlagsNoRowWithoutAHotPixel) {
    // Half of a one-pixel row is 0 pixels: a row is flagged only with a hot pixel in it.
    CPostCamera cam(1, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    cam.SetHotMap({{0, 2}});
    ASSERT_NE(cam.m_pHPCRows, nullptr);
    for (int y = 0; y < 6; ++y) EXPECT_EQ(cam.m_pHPCRows[y] != 0, y == 2) << y;
    for (int y = 0; y < 6; ++y) cam.Frame8()[y] = static_cast<uint8_t>(10 * y);
    cam.HandleHotPixels();
    EXPECT_EQ(cam.Frame8()[2], (10 + 30) / 2);
    EXPECT_EQ(cam.Frame8()[3], 30);
}

TEST(HotPixels, DarkFrameHotPixelsAreRepairedWhileSubtractionIsOn) {
    for (bool b16 : {false, true}) {
        SCOPED_TRACE(b16 ? "16-bit" : "8-bit");
        CPostCamera cam(8, 6, true);
        ASSERT_TRUE(cam.m_bBuffers);
        // Mean 15: pixels above 45 are hot.
        ASSERT_EQ(LoadDark(cam,
                           [](int x, int y) {
                               return static_cast<uint8_t>(
                                   (x == 3 && y == 2) || (x == 0 && y == 4) || (x == 7 && y == 5) ? 100 : 10);
                           }),
                  1);
        EXPECT_EQ(cam.m_iDarkAvg, (45 * 10 + 300) / 48);
        EXPECT_EQ(cam.DarkHotList(), (std::vector<uint32_t>{19, 32, 47}));
        cam.m_bOutput16Bits = b16;
        for (int i = 0; i < 48; ++i) {
            if (b16) {
                cam.Frame16()[i] = static_cast<uint16_t>(Base16(i % 8, i / 8));
            } else {
                cam.Frame8()[i] = static_cast<uint8_t>(Base(i % 8, i / 8));
            }
        }
        auto base = [&](int x, int y) { return b16 ? Base16(x, y) : Base(x, y); };
        auto at = [&](int i) { return b16 ? cam.Frame16()[i] : cam.Frame8()[i]; };
        cam.HandleHotPixels();
        EXPECT_EQ(at(19), (base(1, 2) + base(5, 2)) >> 1);  // inner: left and right
        EXPECT_EQ(at(32), base(2, 4));                      // first column: two to the right
        EXPECT_EQ(at(47), base(5, 5));                      // last row: two to the left

        cam.UsingDark(false);
        cam.Frame8()[19] = 7;
        cam.HandleHotPixels();
        EXPECT_EQ(cam.Frame8()[19], 7);
    }
}

// ---- Hot-pixel map laid onto the geometry ---------------------------------------------------------

TEST(HotPixelMap, FollowsTheStartAndTheSoftwareBin) {
    CPostCamera cam(64, 48);
    ASSERT_TRUE(cam.m_bBuffers);
    // Bin 2 in software: the readout is 16 x 12 sensor pixels from (16, 8).
    cam.SetGeometry(8, 6, 2, 16, 8);
    cam.SetHotMap({{20, 10}, {15, 10}, {20, 20}});
    EXPECT_EQ(cam.m_iHPCRoiW, 16);
    EXPECT_EQ(cam.m_iHPCRoiH, 12);
    EXPECT_EQ(cam.HotList(), (std::vector<uint32_t>{2 * 16 + 4}));
    EXPECT_EQ(cam.m_iHPCParam[0], 2);
    EXPECT_EQ(cam.m_iHPCParam[3], 16);
    EXPECT_FALSE(cam.m_bHPCRebuild);

    // Unchanged geometry: nothing rebuilt. A new start: rebuilt.
    EXPECT_FALSE(cam.IsHPCChange());
    cam.SetGeometry(8, 6, 2, 12, 8);
    EXPECT_TRUE(cam.IsHPCChange());
    cam.AdjustHPCTable();
    EXPECT_EQ(cam.HotList(), (std::vector<uint32_t>{2 * 16 + 3, 2 * 16 + 8}));
}

TEST(HotPixelMap, HardwareBinCarriesPixelsThroughThePresetOffsets) {
    struct Case {
        const char* name;
        int iProductID;
        std::vector<std::pair<int, uint8_t>> patch;  // byte of preset row 2, value
        std::vector<uint32_t> list;
    };
    // Sensor pixel (21, 11) is ROI pixel (5, 3) of a readout from (16, 8);
    // the binned frame is 8 x 6.
    const std::vector<Case> cases = {
        {"no offsets", CTestDriver::kProductID, {}, {1 * 8 + 3}},
        // x phase 1 moves by +4, y phase 1 by +2: (5, 3); x phase 3 is listed
        // too (offset 0): (3, 3); y phase 3 still "none" ends the y list.
        {"patched offsets", CTestDriver::kProductID, {{2, 4}, {3, 2}, {6, 0}}, {3 * 8 + 3, 3 * 8 + 5}},
        // x = ((5 - 4) / 4) * 2 + 1
        {"negative offset", CTestDriver::kProductID, {{2, static_cast<uint8_t>(-4)}}, {1 * 8 + 1}},
        // y = ((3 - 8) / 4) * 2 + 1 = -1: off the frame, dropped
        {"offset off the frame", CTestDriver::kProductID, {{3, static_cast<uint8_t>(-8)}}, {}},
        // The rounded layout: y = trunc(6 / 4 + 0.5), x = trunc(10 / 4).
        {"product 0x811a", 0x811a, {}, {2 * 8 + 2}},
        {"product 0x811e", 0x811e, {}, {2 * 8 + 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPostCamera cam(64, 48, true, c.iProductID);
        ASSERT_TRUE(cam.m_bBuffers);
        for (const auto& p : c.patch) cam.m_pPresetBytes[2 * 16 + p.first] = p.second;
        cam.SetGeometry(8, 6, 2, 16, 8, true);
        ASSERT_TRUE(cam.IsHardBinRun());
        cam.SetHotMap({{21, 11}});
        EXPECT_EQ(cam.m_iHPCRoiW, 8);
        EXPECT_EQ(cam.m_iHPCRoiH, 6);
        EXPECT_EQ(cam.HotList(), c.list);
        EXPECT_TRUE(cam.m_bHPCHardwareBin);
    }
}

TEST(HotPixelMap, HardwareBinFourLaysOntoTheDoubledFrame) {
    CPostCamera cam(64, 48);
    ASSERT_TRUE(cam.m_bBuffers);
    // Bin 4 with the sensor binning 2: the frame is 2 x 8 by 2 x 6.
    cam.SetGeometry(8, 6, 4, 0, 0, true);
    cam.SetHotMap({{21, 11}});
    EXPECT_EQ(cam.m_iHPCRoiW, 16);
    EXPECT_EQ(cam.m_iHPCRoiH, 12);
    // x = (21 / 4) * 2 + 1, y = (11 / 4) * 2 + 1
    EXPECT_EQ(cam.HotList(), (std::vector<uint32_t>{5 * 16 + 11}));
}

TEST(HotPixelMap, ReadoutPastTheSensorCountsAsNotHot) {
    CPostCamera cam(64, 48);
    ASSERT_TRUE(cam.m_bBuffers);
    // Between SetResolution and SetStartPos the start plus size can pass the sensor.
    cam.SetGeometry(16, 12, 1, 60, 44);
    cam.SetHotMap({{63, 47}, {0, 0}, {60, 44}});
    EXPECT_EQ(cam.m_iHPCRoiW, 16);
    EXPECT_EQ(cam.HotList(), (std::vector<uint32_t>{0, 3 * 16 + 3}));
    // The same past the left and top edges.
    cam.SetGeometry(16, 12, 1, -8, -4);
    cam.AdjustHPCTable();
    EXPECT_EQ(cam.HotList(), (std::vector<uint32_t>{4 * 16 + 8}));
    // A readout larger than the sensor lays no map at all.
    cam.SetGeometry(65, 48, 1, 0, 0);
    cam.AdjustHPCTable();
    EXPECT_TRUE(cam.HotList().empty());
    for (int i = 0; i < 64 * 48; ++i) cam.Frame8()[i] = static_cast<uint8_t>(i);
    cam.HandleHotPixels();
    EXPECT_EQ(cam.Frame8()[0], 0);
}

TEST(HotPixelMap, ListStopsAtOneHundredThousand) {
    CPostCamera cam(1000, 800);
    ASSERT_TRUE(cam.m_bBuffers);
    std::vector<Px> hot;
    // A third of each row: no row is flagged, 267,200 hot in all.
    for (int y = 0; y < 800; ++y)
        for (int x = 0; x < 1000; x += 3) hot.push_back({x, y});
    std::string log = CaptureDebugLog([&] { cam.SetHotMap(hot); });
    EXPECT_NE(log.find("HPC number over 100000, quit!"), std::string::npos) << log;
    EXPECT_NE(log.find("HPC Dead pixel:100000"), std::string::npos);
    std::vector<uint32_t> list = cam.HotList();
    ASSERT_EQ(list.size(), 100000u);
    EXPECT_EQ(cam.m_pHPCRows, nullptr);
    // The first 100,000 in index order.
    const uint32_t last = static_cast<uint32_t>(hot[99999].second * 1000 + hot[99999].first);
    EXPECT_EQ(list.back(), last);
}

// ---- Dark frames --------------------------------------------------------------------------------

TEST(DarkFrame, FrameCountFollowsTheExposure) {
    const std::vector<std::pair<uint64_t, int>> cases = {{100, 5}, {101, 4}, {325, 4}, {326, 3},
                                                         {550, 3}, {551, 2}, {775, 2}, {776, 1}};
    CPostCamera cam(8, 6);
    for (const auto& c : cases) {
        cam.m_lExpTimeUs = c.first * 1000;
        EXPECT_EQ(cam.GettingDark(true, 0), c.second) << c.first << " ms";
        EXPECT_EQ(cam.m_iDarkFrames, c.second);
        EXPECT_TRUE(cam.m_bGettingDark);
    }
    cam.GettingDark(false, 0);
    EXPECT_FALSE(cam.m_bGettingDark);
}

// Feeds frames of one value each to a running acquisition.
void FeedDarkFrames(CPostCamera& cam, const std::vector<uint8_t>& values) {
    for (uint8_t v : values) {
        memset(cam.Frame8(), v, 48);
        cam.DoGetDark();
    }
}

TEST(DarkFrame, AcquisitionAddsEachFrameDividedByTheCount) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    cam.m_lExpTimeUs = 400000;  // 3 frames
    ASSERT_EQ(cam.GettingDark(true, 0), 3);
    FeedDarkFrames(cam, {10, 20});
    EXPECT_TRUE(cam.m_bGettingDark);
    EXPECT_TRUE(cam.DarkFrame().empty());  // nothing replaced before the last frame
    memset(cam.Frame8(), 31, 48);
    cam.Frame8()[5] = 255;
    cam.DoGetDark();
    EXPECT_FALSE(cam.m_bGettingDark);
    EXPECT_EQ(cam.m_iDarkFrameNo, 0);
    std::vector<uint8_t> dark = cam.DarkFrame();
    ASSERT_EQ(dark.size(), 48u);
    EXPECT_EQ(dark[0], 10 / 3 + 20 / 3 + 31 / 3);  // 19: each frame divided first
    EXPECT_EQ(dark[5], 10 / 3 + 20 / 3 + 255 / 3);
    EXPECT_EQ(cam.m_iDarkRoiW, 8);
    EXPECT_EQ(cam.m_iDarkRoiH, 6);
    // Not acquiring: frames are not added.
    memset(cam.Frame8(), 200, 48);
    cam.DoGetDark();
    EXPECT_EQ(cam.DarkFrame()[0], 19);
}

TEST(DarkFrame, AcquisitionOfFiveBrightFramesReachesButNeverPassesFullScale) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    cam.m_lExpTimeUs = 1000;
    ASSERT_EQ(cam.GettingDark(true, 0), 5);
    FeedDarkFrames(cam, {255, 255, 255, 255, 255});
    std::vector<uint8_t> dark = cam.DarkFrame();
    ASSERT_EQ(dark.size(), 48u);
    EXPECT_EQ(dark[0], 255);
}

TEST(DarkFrame, AcquisitionIsRefusedOutsideTheFullUnbinnedEightBitSensor) {
    struct Case {
        const char* name;
        std::function<void(CPostCamera&)> set;
    };
    const std::vector<Case> cases = {
        {"ROI", [](CPostCamera& c) { c.SetGeometry(4, 6, 1, 0, 0); }},
        {"start", [](CPostCamera& c) { c.SetGeometry(8, 6, 1, 2, 0); }},
        {"bin", [](CPostCamera& c) { c.SetGeometry(4, 3, 2, 0, 0); }},
        {"hardware bin", [](CPostCamera& c) { c.SetGeometry(8, 6, 1, 0, 0, true); }},
        {"16-bit", [](CPostCamera& c) { c.m_bOutput16Bits = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPostCamera cam(8, 6);
        c.set(cam);
        EXPECT_EQ(cam.GettingDark(true, 0), 0);
        EXPECT_FALSE(cam.m_bGettingDark);
    }
}

TEST(DarkFrame, AbandonedAcquisitionKeepsThePreviousDark) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    ASSERT_EQ(LoadDark(cam, [](int x, int) { return static_cast<uint8_t>(x); }), 1);
    const std::vector<uint8_t> before = cam.DarkFrame();
    cam.m_lExpTimeUs = 1000;
    ASSERT_EQ(cam.GettingDark(true, 0), 5);
    FeedDarkFrames(cam, {50, 50});
    // A frame of another geometry ends the run.
    cam.SetGeometry(4, 6, 1, 0, 0);
    FeedDarkFrames(cam, {50});
    EXPECT_FALSE(cam.m_bGettingDark);
    EXPECT_EQ(cam.DarkFrame(), before);
    // Starting again begins from nothing.
    cam.SetGeometry(8, 6, 1, 0, 0);
    ASSERT_EQ(cam.GettingDark(true, 0), 5);
    FeedDarkFrames(cam, {50, 50, 50, 50, 50});
    EXPECT_EQ(cam.DarkFrame(), std::vector<uint8_t>(48, 50));
    // Stopping a run keeps the dark it would have replaced.
    ASSERT_EQ(cam.GettingDark(true, 0), 5);
    FeedDarkFrames(cam, {100});
    cam.GettingDark(false, 0);
    FeedDarkFrames(cam, {100, 100, 100, 100});
    EXPECT_EQ(cam.DarkFrame(), std::vector<uint8_t>(48, 50));
}

TEST(DarkFrame, SubtractionKeepsTheDarkMeanLevel) {
    CPostCamera cam(8, 6);
    ASSERT_TRUE(cam.m_bBuffers);
    // Mean (47 * 20 + 40) / 48 = 20.
    ASSERT_EQ(LoadDark(cam, [](int x, int y) { return static_cast<uint8_t>(x == 2 && y == 1 ? 40 : 20); }),
              1);
    EXPECT_TRUE(cam.m_bCutDark);
    EXPECT_EQ(cam.m_iDarkAvg, 20);
    memset(cam.Frame8(), 100, 48);
    cam.Frame8()[0] = 5;
    cam.SubtractDark();
    EXPECT_EQ(cam.Frame8()[1], 100);
    EXPECT_EQ(cam.Frame8()[10], 80);
    EXPECT_EQ(cam.Frame8()[0], 20);  // below the dark: the mean level
}

TEST(DarkFrame, AutoExposureBelowHalfASecondSkipsSubtraction) {
    const std::vector<std::pair<uint64_t, int>> cases = {{499999, 100}, {500000, 80}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        CPostCamera cam(8, 6);
        ASSERT_TRUE(cam.m_bBuffers);
        ASSERT_EQ(LoadDark(cam, [](int, int) { return static_cast<uint8_t>(20); }), 1);
        cam.m_bAutoExp = true;
        cam.m_lExpTimeUs = c.first;
        cam.m_iDarkAvg = 0;  // makes the subtraction visible
        memset(cam.Frame8(), 100, 48);
        cam.SubtractDark();
        EXPECT_EQ(cam.Frame8()[0], c.second);
    }
}

TEST(DarkFrame, FollowsTheGeometryAndHardwareBin) {
    CPostCamera cam(64, 48);
    ASSERT_TRUE(cam.m_bBuffers);
    ASSERT_EQ(LoadDark(cam, [](int x, int y) { return static_cast<uint8_t>(x + y); }), 1);
    // Software bin 2 from (16, 8): the dark of 16 x 12 sensor pixels.
    cam.SetGeometry(8, 6, 2, 16, 8);
    cam.AdjustDarkBuff();
    ASSERT_EQ(cam.m_iDarkRoiW, 16);
    ASSERT_EQ(cam.m_iDarkRoiH, 12);
    EXPECT_EQ(cam.m_pDarkRoi[0], 24);
    EXPECT_EQ(cam.m_pDarkRoi[11 * 16 + 15], 31 + 19);
    // Hardware bin 2: four pixels of each colour, each divided by 2 twice.
    cam.SetGeometry(8, 6, 2, 0, 0, true);
    cam.AdjustDarkBuff();
    ASSERT_EQ(cam.m_iDarkRoiW, 8);
    ASSERT_EQ(cam.m_iDarkRoiH, 6);
    // Binned (0, 0) gathers sensor (0,0), (2,0), (0,2), (2,2): 0/4 + 2/4 + 2/4 + 4/4.
    EXPECT_EQ(cam.m_pDarkRoi[0], 1);
    // The models that sum binned pixels do not divide.
    cam.m_bDarkBinSum = true;
    cam.AdjustDarkBuff();
    EXPECT_EQ(cam.m_pDarkRoi[0], 8);
    // A readout past the sensor: outside pixels are 0, the mean of an empty dark is 0.
    cam.SetGeometry(16, 12, 1, 56, 40);
    cam.AdjustDarkBuff();
    EXPECT_EQ(cam.m_pDarkRoi[0], 56 + 40);
    EXPECT_EQ(cam.m_pDarkRoi[11 * 16 + 15], 0);
    cam.SetGeometry(65, 48, 1, 0, 0);
    cam.AdjustDarkBuff();
    EXPECT_EQ(cam.m_iDarkRoiW, 0);
    EXPECT_EQ(cam.m_iDarkAvg, 0);
    cam.SubtractDark();  // nothing to subtract, nothing touched
}

// ---- Time stamp ----------------------------------------------------------------------------------

// Pixels that differ from the background.
std::vector<Px> Inked(const std::vector<uint8_t>& img, int w, int h, int bpp, uint8_t background) {
    std::vector<Px> inked;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (img[(static_cast<size_t>(y) * w + x) * bpp] != background) inked.push_back({x, y});
    return inked;
}

TEST(TimeStamp, InkStandsOutFromTheBackground) {
    const std::vector<std::pair<uint8_t, uint8_t>> cases = {{129, 180}, {130, 220}, {179, 220}, {180, 120}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        CPostCamera cam(256, 32);
        std::vector<uint8_t> img(256 * 32, c.first);
        cam.AddTimeMark(img.data(), 256, IMAGE_8BIT);
        std::vector<Px> inked = Inked(img, 256, 32, 1, c.first);
        ASSERT_FALSE(inked.empty());
        for (const Px& p : inked) ASSERT_EQ(img[p.second * 256 + p.first], c.second);
    }
}

TEST(TimeStamp, DigitsSitInTheirCellsFromRowSeven) {
    const int w = 256, h = 32;
    CPostCamera cam(w, h);
    std::vector<uint8_t> img(w * h, 0);
    cam.AddTimeMark(img.data(), w, IMAGE_8BIT);
    std::vector<Px> inked = Inked(img, w, h, 1, 0);
    std::set<int> cells;
    for (const Px& p : inked) {
        ASSERT_GE(p.second, 7);
        ASSERT_LE(p.second, 22);
        const bool date = p.first >= w - 200 && p.first < w - 200 + 64;
        const bool clock = p.first >= w - 128 && p.first < w - 128 + 64;
        ASSERT_TRUE(date || clock) << p.first;
        cells.insert(date ? (p.first - (w - 200)) / 8 : 8 + (p.first - (w - 128)) / 8);
    }
    EXPECT_EQ(cells.size(), 16u);  // every character has ink
    // The colons of the time, glyphs stored bottom row first: two dots of
    // two rows each, at glyph columns 3 and 4.
    for (int colon : {2, 5}) {
        std::set<Px> dots;
        for (const Px& p : inked)
            if (p.first >= w - 128 + 8 * colon && p.first < w - 128 + 8 * colon + 8)
                dots.insert({p.first - (w - 128 + 8 * colon), p.second});
        EXPECT_EQ(dots,
                  (std::set<Px>{{3, 11}, {4, 11}, {3, 12}, {4, 12}, {3, 17}, {4, 17}, {3, 18}, {4, 18}}));
    }
}

TEST(TimeStamp, RgbPixelsTakeTheInkInAllThreeBytes) {
    const int w = 256, h = 32;
    CPostCamera cam(w, h);
    std::vector<uint8_t> img(w * h * 3, 0);
    // Background mean (150 + 150 + 150) / 3: ink 220.
    for (int i = 0; i < w * h; ++i) img[3 * i] = img[3 * i + 1] = img[3 * i + 2] = 150;
    cam.AddTimeMark(img.data(), w, IMAGE_RGB24);
    std::vector<Px> inked = Inked(img, w, h, 3, 150);
    ASSERT_FALSE(inked.empty());
    for (const Px& p : inked) {
        const uint8_t* px = &img[(p.second * w + p.first) * 3];
        ASSERT_EQ(px[0], 220);
        ASSERT_EQ(px[1], 220);
        ASSERT_EQ(px[2], 220);
    }
    // Other image types are left alone.
    std::vector<uint8_t> raw16(w * h * 2, 0);
    cam.AddTimeMark(raw16.data(), w, IMAGE_RAW16);
    EXPECT_EQ(raw16, std::vector<uint8_t>(w * h * 2, 0));
}

TEST(TimeStamp, SmallImagesAreClipped) {
    const std::vector<Px> sizes = {{100, 32}, {24, 32}, {1, 32}, {256, 10}, {1, 1}};
    for (const Px& s : sizes) {
        SCOPED_TRACE(std::to_string(s.first) + " x " + std::to_string(s.second));
        CPostCamera cam(s.first, s.second);
        for (int bpp : {1, 3}) {
            // Exactly the image: any write past it is caught by the address sanitizer.
            std::vector<uint8_t> img(static_cast<size_t>(s.first) * s.second * bpp, 0);
            cam.AddTimeMark(img.data(), s.first, bpp == 3 ? IMAGE_RGB24 : IMAGE_8BIT);
            for (const Px& p : Inked(img, s.first, s.second, bpp, 0)) {
                ASSERT_GE(p.second, 7);
                ASSERT_LE(p.second, 22);
            }
        }
    }
    // A width beyond the image's is refused.
    CPostCamera cam(16, 32);
    std::vector<uint8_t> img(16 * 32, 0);
    cam.AddTimeMark(img.data(), 300, IMAGE_8BIT);
    EXPECT_EQ(img, std::vector<uint8_t>(16 * 32, 0));
}

}  // namespace

// The S7100 mono camera's modes, window and start as a caller sets them,
// checked on the registers the simulated camera received: the mode table of
// each hardware bin, bin, speed and depth; the window's sensor and FPGA
// registers; the start's alignment, clamp and FPGA cut; and the mode
// re-apply.
#include <limits.h>

#include "Fx3Fixture.h"
#include "test_s7100_fixture.h"

namespace {

// The published 10-bit table (the sensor's 2 x 2 binning); bin 3 changes its
// first value to 0x07, bin 1 high speed its first to 0x00 and third to 0x0A.
const std::vector<std::pair<int, int>> k10Bit = {
    {0x001, 0x05}, {0x002, 0x54}, {0x02A, 0x04}, {0x069, 0x00}, {0x06C, 0x22}, {0x06D, 0x01}, {0x0D6, 0x53},
    {0x0D8, 0x53}, {0x0DB, 0x5A}, {0x0DD, 0x5A}, {0x0DF, 0x00}, {0x0E2, 0x88}, {0x2D3, 0x00}, {0x50F, 0x59},
    {0x512, 0xBF}, {0x513, 0xBF}, {0x514, 0xBF}, {0x515, 0x00}, {0x517, 0x50}, {0x51F, 0x5F}, {0x553, 0x7B},
    {0x574, 0x0F}, {0x575, 0x0F}, {0x576, 0x0F}, {0x577, 0x0F}, {0x581, 0x04}, {0x582, 0x24}, {0x583, 0x24},
    {0x584, 0x24}, {0x585, 0x24}, {0x59A, 0x04}, {0x603, 0x4B}, {0x605, 0x4B}, {0x62A, 0x81}, {0x62C, 0x52},
    {0x630, 0x7F}, {0x632, 0x52}, {0x646, 0x7B}, {0x64A, 0x7B}, {0x66D, 0x00}, {0x670, 0x00}, {0x673, 0x00},
    {0x676, 0x00}, {0x67E, 0x04}, {0x68A, 0x88}, {0xA2F, 0x95}, {0xA30, 0x00}, {0xA31, 0x95}, {0xA32, 0x00},
    {0xA36, 0x95}, {0xA37, 0x00},
};
// The last row of the start-up table, which every mode change walks again.
constexpr int kInitLastReg = 0x121, kInitLastValue = 0x01;
constexpr int kInitRowsWritten = 51;  // 52 rows, one of them the delay

struct SModeCase {
    bool hwBin;
    int bin;
    bool highSpeed;
    IMG_TYPE type;
    int reg001, reg02A;
    int vblk, hblkBase, hmax;
    int factor;  // what the sensor bins (1: nothing)
    bool adc12;
};
const SModeCase kModes[] = {
    {false, 1, false, IMG_RAW8, 0x00, 0x0A, 45, 24, 1350, 1, true},
    {false, 2, false, IMG_RAW16, 0x00, 0x0A, 45, 24, 1350, 1, true},
    {false, 4, true, IMG_RAW8, 0x00, 0x0A, 45, 24, 370, 1, false},
    {false, 3, true, IMG_RAW16, 0x00, 0x0A, 45, 24, 370, 1, false},
    {true, 1, false, IMG_RAW16, 0x00, 0x0A, 45, 24, 1350, 1, true},
    {true, 1, true, IMG_RAW8, 0x00, 0x0A, 45, 24, 370, 1, false},
    {true, 2, false, IMG_RAW8, 0x05, 0x04, 25, 18, 490, 2, false},
    {true, 2, true, IMG_RAW16, 0x05, 0x04, 25, 18, 490, 2, false},
    {true, 3, false, IMG_RAW16, 0x07, 0x04, 23, 11, 250, 3, false},
    {true, 3, true, IMG_RAW8, 0x07, 0x04, 23, 11, 250, 3, false},
    {true, 4, false, IMG_RAW8, 0x05, 0x04, 25, 18, 490, 2, false},
    {true, 4, true, IMG_RAW16, 0x05, 0x04, 25, 18, 490, 2, false},
};

TEST_F(C7100Test, EachHardwareBinBinSpeedAndDepthProgramsItsMode) {
    for (const SModeCase& c : kModes) {
        SCOPED_TRACE(testing::Message() << "hw " << c.hwBin << " bin " << c.bin << " hs " << c.highSpeed << " type "
                                        << c.type);
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, c.highSpeed), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, c.bin, c.type), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(kReg7100Mode), c.reg001);
        EXPECT_EQ(m_dev.sensor(kReg7100ADC), c.reg02A);
        EXPECT_EQ(Fpga16(kF7100VBLK), c.vblk);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        // The start is given and read in binned pixels.
        EXPECT_EQ(Fpga16(kF7100HBLK), c.factor > 1 ? c.hblkBase + x * c.bin / c.factor : c.hblkBase);
        EXPECT_EQ(Fpga16(kF7100HMAX), c.hmax);
        EXPECT_EQ((m_dev.fpga(kF7100DataFmt) & kFmt7100ADC12) != 0, c.adc12);
        EXPECT_EQ((m_dev.fpga(kF7100DataFmt) & kFmt7100Out16) != 0, c.type == IMG_RAW16);
        EXPECT_EQ(Engine().g_iMinHMAX, c.hmax);
        EXPECT_EQ(Readout().iSensorFactor, c.factor);
    }
}

// Each mode change walks the start-up table once, then the mode's own rows,
// as published; a change of size alone walks nothing.
TEST_F(C7100Test, AModeChangeWalksTheStartUpTableOnceThenTheModeRows) {
    std::vector<std::pair<int, int>> bin3 = k10Bit, highSpeed = k10Bit;
    bin3[0].second = 0x07;
    highSpeed[0].second = 0x00;
    highSpeed[2].second = 0x0A;
    const struct {
        const char* what;
        bool hwBin, highSpeed;
        int bin;
        const std::vector<std::pair<int, int>>* rows;
    } cases[] = {{"bin 2x2", true, false, 2, &k10Bit},
                 {"bin 3x3", true, false, 3, &bin3},
                 {"high speed", false, true, 2, &highSpeed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, c.highSpeed), KYR_SUCCESS);
        int from = LogSize();
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, c.bin, IMG_RAW8), KYR_SUCCESS);
        const std::vector<std::pair<int, int>> writes = SensorWrites(from);
        EXPECT_EQ(CountSensor(kInitLastReg, kInitLastValue, from), 1);
        size_t at = 0;
        while (at < writes.size() && writes[at] != std::make_pair(kInitLastReg, kInitLastValue)) ++at;
        ASSERT_GE(at + 1, static_cast<size_t>(kInitRowsWritten));
        ASSERT_LE(at + 1 + c.rows->size(), writes.size());
        const auto first = writes.begin() + static_cast<long>(at + 1);
        const std::vector<std::pair<int, int>> modeRows(first, first + static_cast<long>(c.rows->size()));
        EXPECT_EQ(modeRows, *c.rows);
        // A new size in the same mode walks no table.
        from = LogSize();
        ASSERT_EQ(KYRSetROIFormat(0, 240, 160, c.bin, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(CountSensor(kInitLastReg, kInitLastValue, from), 0);
        // A new depth does.
        from = LogSize();
        ASSERT_EQ(KYRSetROIFormat(0, 240, 160, c.bin, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(CountSensor(kInitLastReg, kInitLastValue, from), 1);
    }
}

struct SWindowCase {
    bool hwBin;
    int w, h, bin;
    IMG_TYPE type;
    int cols, rows;        // what the sensor sends
    int binMode, rowsReg;  // 0x1D8, 0x00A/B
};
const SWindowCase kWindows[] = {
    {false, 6248, 4176, 1, IMG_RAW8, 6248, 4176, 4, 4176},
    {false, 1000, 500, 2, IMG_RAW16, 2000, 1000, 4, 1000},
    {true, 1000, 500, 2, IMG_RAW8, 1000, 500, 0, 502},
    {true, 664, 400, 3, IMG_RAW16, 664, 400, 0, 402},
    // Bin 4: the sensor bins 2 x 2, the software the other 2 x 2.
    {true, 504, 300, 4, IMG_RAW8, 1008, 600, 0, 602},
};

TEST_F(C7100Test, TheWindowProgramsTheSensorRowsLineWidthAndTheFpgaReadout) {
    for (const SWindowCase& c : kWindows) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " hw " << c.hwBin);
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        const int bytes = c.type == IMG_RAW16 ? 2 : 1;
        EXPECT_EQ(Fpga16(kF7100Width), c.cols);
        EXPECT_EQ(Fpga16(kF7100Height), c.rows);
        EXPECT_EQ(Fpga32(kF7100DataLen), static_cast<long>(c.cols) * c.rows * bytes / 4);
        EXPECT_EQ(Readout().iFrameBytes, c.cols * c.rows * bytes);
        EXPECT_EQ(m_dev.sensor(kReg7100BinMode), c.binMode);
        EXPECT_EQ(Sensor16(kReg7100Rows), c.rowsReg);
        EXPECT_EQ(Sensor16(kReg7100LineWidth), c.cols / 4 * 4 + 24);
        EXPECT_EQ(m_dev.sensor(kReg7100Crop), c.hwBin && c.bin > 1 ? 0 : 1);
    }
}

TEST_F(C7100Test, SizesOutsideTheSensorOrItsStepsAreRefusedAndChangeNothing) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 6248, 4176, 1, IMG_RAW8), KYR_SUCCESS);
    int x = -1, y = -1;
    ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    const struct {
        const char* what;
        bool hwBin;
        int w, h, bin;
    } refused[] = {
        {"width not a multiple of 8", false, 6244, 4176, 1},
        {"bin 5", false, 640, 480, 5},
        {"wider than the sensor", false, 6256, 4176, 1},
        {"overflowing width x bin", false, INT_MAX / 2 + 8, 4, 4},
        {"overflowing height x bin", false, 8, INT_MAX / 2 + 2, 4},
        {"binned width not a multiple of 8", true, 500, 300, 4},
        {"binned height odd", true, 504, 301, 4},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        const int from = LogSize();
        EXPECT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
        EXPECT_TRUE(Writes(from).empty());
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        EXPECT_EQ(w, 6248);
        EXPECT_EQ(bin, 1);
    }
}

struct SStartCase {
    const char* what;
    bool hwBin;
    int w, h, bin;
    int x, y;        // asked for, in binned pixels
    int gotX, gotY;  // stored, in sensor pixels
    int k;           // the mode's row offset
};
const SStartCase kStarts[] = {
    {"negative", false, 1920, 1080, 1, -5, 3, 0, 2, 25},
    {"aligned down", false, 1920, 1080, 1, 37, 7, 32, 6, 25},
    // (74, 14) on the sensor: x by 16, rows by 4.
    {"bin 2x2 rows by 4", true, 480, 320, 2, 37, 7, 64, 12, 25},
    // (111, 39) on the sensor: x by 16, rows by 6.
    {"bin 3x3 rows by 6", true, 480, 320, 3, 37, 13, 96, 36, 27},
    // 6248 - 1008 = 5240 is not a multiple of 16: the clamp is aligned again.
    {"clamped and aligned again", false, 1008, 1080, 1, 6000, 5000, 5232, 3096, 25},
};

TEST_F(C7100Test, TheStartIsAlignedKeptOnTheSensorAndWrittenInSixteenPixelUnits) {
    for (const SStartCase& c : kStarts) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, c.gotX / c.bin);
        EXPECT_EQ(y, c.gotY / c.bin);
        // The window stays on the sensor.
        EXPECT_LE(c.gotX + c.w * c.bin, kW7100);
        EXPECT_EQ(Sensor16(kReg7100StartX), c.gotX / 16);
        EXPECT_EQ(Sensor16(kReg7100StartY), c.gotY + c.k);
        EXPECT_EQ(m_dev.sensor(kReg7100Window), 1);
    }
}

// At bin 4 the sensor sends 2 x 2 binned columns: the FPGA skips the start
// over the sensor's factor (2), not over the bin (4).
TEST_F(C7100Test, WhileTheSensorBinsTheFpgaCutsTheStartInBinnedColumns) {
    const struct {
        int bin, w, factor, hblk;
    } cases[] = {{2, 480, 2, 18}, {3, 480, 3, 11}, {4, 480, 2, 18}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bin);
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, 320, c.bin, IMG_RAW8), KYR_SUCCESS);
        // 960 binned pixels: 960 x bin on the sensor.
        ASSERT_EQ(KYRSetStartPos(0, 960, 0), KYR_SUCCESS);
        const int sensorX = 960 * c.bin;
        EXPECT_EQ(Fpga16(kF7100HBLK), c.hblk + sensorX / c.factor);
        EXPECT_EQ(m_dev.sensor(kReg7100Crop), 0);
        EXPECT_EQ(Sensor16(kReg7100StartX), sensorX / 16);
    }
}

// In a single exposure the sensor sleeps while its window changes: the
// standby bit of 0x000 is set and cleared around the size's registers, the
// wake-up bit untouched.
TEST_F(C7100Test, ASingleExposuresWindowIsWrittenInStandby) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    m_pCam->m_bSnapMode = true;
    const int from = LogSize();
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    std::vector<SWrite7100> power;
    int rows = -1, width = -1;
    for (const SWrite7100& w : Writes(from)) {
        if (w.reg == kReg7100Power && w.kind != 'F') power.push_back(w);
        if (w.kind == 'S' && w.reg == kReg7100Rows) rows = w.index;
        if (w.kind == 'F' && w.reg == kF7100Width) width = w.index;
    }
    ASSERT_EQ(power.size(), 4u);
    EXPECT_EQ(power[0].kind, 'R');
    EXPECT_EQ(power[1].kind, 'S');
    EXPECT_EQ(power[1].value, 0x05);
    EXPECT_EQ(power[2].kind, 'R');
    EXPECT_EQ(power[3].kind, 'S');
    EXPECT_EQ(power[3].value, 0x04);
    EXPECT_GT(rows, power[1].index);
    EXPECT_LT(rows, power[3].index);
    EXPECT_GT(width, power[3].index);
    m_pCam->m_bSnapMode = false;
}

TEST_F(C7100Test, HardwareBinAtBinOneOnlyStoresTheFlag) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    const int from = LogSize();
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    EXPECT_TRUE(Writes(from).empty());
    EXPECT_EQ(Get(KYR_HARDWARE_BIN), 1);
    // It takes effect with the next bin.
    ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(kReg7100Mode), 0x05);
}

TEST_F(C7100Test, AModeReapplyKeepsTheStartWithOrWithoutVideoRunning) {
    for (bool video : {false, true}) {
        SCOPED_TRACE(video ? "video" : "idle");
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 2, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 992, 500), KYR_SUCCESS);
        if (video) {
            ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        }
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, 992);
        EXPECT_EQ(y, 500);
        EXPECT_EQ(m_dev.sensor(kReg7100Mode), 0x05);
        EXPECT_EQ(Fpga16(kF7100HBLK), 18 + 992 * 2 / 2);
        EXPECT_EQ(m_pCam->m_thrWork.IsAlive(), video);
        if (video) {
            EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        }
    }
}

// High speed in 16-bit output is re-applied like in 8-bit: the 10-bit table.
TEST_F(C7100Test, HighSpeedInSixteenBitOutputRunsTheTenBitTable) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
    EXPECT_TRUE(m_dev.fpga(kF7100DataFmt) & kFmt7100ADC12);
    const int from = LogSize();
    ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
    EXPECT_EQ(CountSensor(kInitLastReg, kInitLastValue, from), 1);
    EXPECT_EQ(m_dev.sensor(0x002), 0x54);
    EXPECT_EQ(m_dev.sensor(kReg7100ADC), 0x0A);
    EXPECT_FALSE(m_dev.fpga(kF7100DataFmt) & kFmt7100ADC12);
    EXPECT_TRUE(m_dev.fpga(kF7100DataFmt) & kFmt7100Out16);
    EXPECT_EQ(Fpga16(kF7100HMAX), 370);
}

}  // namespace

// A new format logs the start the camera had before the window was centred
// again, with the new size.
TEST_F(C7100Test, ANewFormatLogsTheStartItHadBeforeCentring) {
    ASSERT_NE(Fresh(kPid7100), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 1, IMG_RAW8), KYR_SUCCESS);
    int x = -1, y = -1;
    ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
    KYR_ERROR_CODE rc = KYR_ERROR_GENERAL_ERROR;
    const std::string log = CaptureDebugLog([&] { rc = KYRSetROIFormat(0, 240, 160, 2, IMG_RAW8); });
    ASSERT_EQ(rc, KYR_SUCCESS);
    const std::string line = "SetResolution: sPx:" + std::to_string(x) + ", sPy:" + std::to_string(y) +
                             ", w:240, h:160, bin:2";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find("SetResolution: spx:"), std::string::npos);
}

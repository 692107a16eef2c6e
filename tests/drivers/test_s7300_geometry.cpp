// The S7300's modes, window and start as a caller sets them, checked on the
// registers the simulated camera received, beside the S7100 where the two
// differ: the sensor crops from the start column at every mode but its
// 3 x 3 binning, where it reads whole lines and the FPGA cuts the columns.
#include "test_s7300_fixture.h"

namespace {

TEST_F(C7x00Test, TheWholeS7300SensorIsAFormatOnlyOnTheS7300) {
    for (const S7x00Class& cls : Classes7x00()) {
        SCOPED_TRACE(cls.cls);
        ASSERT_NE(Fresh(cls.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 6248, 4176, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(KYRSetROIFormat(0, kW7300, kH7300, 1, IMG_RAW8),
                  cls.s7300 ? KYR_SUCCESS : KYR_ERROR_INVALID_SIZE);
        int w = 0, h = 0, bin = 0, x = -1, y = -1;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(w, cls.s7300 ? kW7300 : 6248);
        EXPECT_EQ(h, cls.s7300 ? kH7300 : 4176);
        EXPECT_EQ(x, 0);
        EXPECT_EQ(y, 0);
    }
}

struct SMode7300 {
    bool hwBin;
    int bin;
    bool highSpeed;
    IMG_TYPE type;
    int reg001, reg028, regA80;
    int vblk, hmax;
    int factor;
};
const SMode7300 kModes[] = {
    {false, 1, false, IMG_RAW8, 0x00, 0x0A, 0x81, 49, 1515, 1},
    {false, 2, false, IMG_RAW16, 0x00, 0x0A, 0x81, 49, 1515, 1},
    {false, 1, true, IMG_RAW8, 0x80, 0x0A, 0x61, 49, 630, 1},
    {true, 1, true, IMG_RAW16, 0x80, 0x0A, 0x61, 49, 630, 1},
    {true, 2, false, IMG_RAW8, 0x85, 0x04, 0x61, 29, 625, 2},
    {true, 3, false, IMG_RAW16, 0x89, 0x04, 0x62, 27, 330, 3},
    {true, 4, true, IMG_RAW8, 0x85, 0x04, 0x61, 29, 625, 2},
};

TEST_F(C7x00Test, EachS7300ModeWritesItsTableAndTiming) {
    for (const SMode7300& c : kModes) {
        SCOPED_TRACE(testing::Message() << "hw " << c.hwBin << " bin " << c.bin << " hs " << c.highSpeed);
        ASSERT_NE(Fresh(kPid7300), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, c.highSpeed), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, c.bin, c.type), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(kReg7300Mode), c.reg001);
        EXPECT_EQ(m_dev.sensor(0x028), c.reg028);
        EXPECT_EQ(m_dev.sensor(0xA80), c.regA80);
        EXPECT_EQ(Fpga16(kF7100VBLK), c.vblk);
        EXPECT_EQ(Fpga16(kF7100HMAX), c.hmax);
        EXPECT_EQ(Readout().iSensorFactor, c.factor);
    }
}

struct SWindow7300 {
    bool hwBin;
    int w, h, bin;
    IMG_TYPE type;
    int x, y;               // asked for, binned
    int cols, rows;         // what the sensor sends
    int sensorX, sensorY;   // the start stored, sensor pixels
    int k;                  // the mode's row offset
    int crop, binMode, rowsReg, hblk;
};
const SWindow7300 kWindows[] = {
    {false, kW7300, kH7300, 1, IMG_RAW8, 0, 0, kW7300, kH7300, 0, 0, 25, 1, 4, kH7300, 24},
    {false, 1000, 500, 2, IMG_RAW16, 37, 7, 2000, 1000, 64, 14, 25, 1, 4, 1000, 24},
    // Sensor bin 2 x 2 crops from the start column: rows as they are, HBLK the mode's.
    {true, 1000, 500, 2, IMG_RAW8, 480, 100, 1000, 500, 960, 200, 25, 1, 4, 500, 16},
    // Bin 4: the sensor bins 2 x 2, the software the rest.
    {true, 504, 300, 4, IMG_RAW16, 240, 50, 1008, 600, 960, 200, 25, 1, 4, 600, 16},
    // Sensor bin 3 x 3 reads whole lines: rows + 2, the FPGA cuts start / 3 columns.
    {true, 664, 400, 3, IMG_RAW8, 320, 100, 664, 400, 960, 300, 27, 0, 0, 402, 16 + 960 / 3},
};

TEST_F(C7x00Test, TheS7300WindowAndStartGoToItsOwnRegisters) {
    for (const SWindow7300& c : kWindows) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " hw " << c.hwBin);
        ASSERT_NE(Fresh(kPid7300), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, c.sensorX / c.bin);
        EXPECT_EQ(y, c.sensorY / c.bin);
        const int bytes = c.type == IMG_RAW16 ? 2 : 1;
        EXPECT_EQ(Fpga16(kF7100Width), c.cols);
        EXPECT_EQ(Fpga16(kF7100Height), c.rows);
        EXPECT_EQ(Fpga32(kF7100DataLen), static_cast<long>(c.cols) * c.rows * bytes / 4);
        EXPECT_EQ(m_dev.sensor(kReg7300Window), 1);
        EXPECT_EQ(Sensor16(kReg7300StartX), c.sensorX / 16);
        EXPECT_EQ(Sensor16(kReg7300StartY), c.sensorY + c.k);
        EXPECT_EQ(m_dev.sensor(kReg7300Crop), c.crop);
        EXPECT_EQ(m_dev.sensor(kReg7300BinMode), c.binMode);
        EXPECT_EQ(Sensor16(kReg7300Rows), c.rowsReg);
        // The line width is the readout width + 24, not rounded.
        EXPECT_EQ(Sensor16(kReg7300LineWidth), c.cols + 24);
        EXPECT_EQ(Fpga16(kF7100HBLK), c.hblk);
        // None of the S7100's window registers (its crop switch 0x0A7 is the S7300's start column's high byte).
        for (int reg : {kReg7100BinMode, kReg7100LineWidth, kReg7100Rows})
            EXPECT_EQ(m_dev.sensorWrites(reg), 0) << std::hex << reg;
    }
}

// At sensor bin 2 the S7300's sensor crops the start itself, so the FPGA's
// HBLK stays the mode's for any start; the S7100's sensor reads whole lines
// there, and the FPGA skips start / 2 columns.
TEST_F(C7x00Test, AtSensorBinTwoOnlyTheS7100MovesTheFpgaBlankingWithTheStart) {
    const struct {
        int pid;
        int hblk;     // the mode's
        bool moves;   // + sensor start x / 2
    } classes[] = {{kPid7100, 18, true}, {kPid7100MC, 18, true}, {kPid7300, 16, false}, {kPid7300MC, 16, false}};
    for (const auto& cls : classes)
        for (int x : {0, 16, 480, 1000}) {
            SCOPED_TRACE(testing::Message() << std::hex << cls.pid << std::dec << " x " << x);
            ASSERT_NE(Fresh(cls.pid), nullptr);
            ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
            ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 2, IMG_RAW8), KYR_SUCCESS);
            ASSERT_EQ(KYRSetStartPos(0, x, 0), KYR_SUCCESS);
            int sx = -1, sy = -1;
            ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
            EXPECT_EQ(Fpga16(kF7100HBLK), cls.moves ? cls.hblk + sx * 2 / 2 : cls.hblk);
        }
}

// While the sensor reads whole binned lines (the S7100 at bins 2 to 4, the
// S7300 at bin 3) the FPGA cuts whole binned columns. A colour camera's
// start keeps an even count of them, so its mosaic keeps its phase: at bin
// 3 it is aligned to 48 sensor pixels where the mono camera's is aligned to
// 16.
TEST_F(C7x00Test, AColourMosaicReadInWholeBinnedLinesKeepsItsPhase) {
    const struct {
        int pid, bin;
        int x;      // asked for, binned
        int gotX;   // stored, binned
        int hblk;   // the mode's + the binned columns cut
    } cases[] = {
        // 918 x 3 = 2754: 2752 by 16 (917 binned columns), 2736 by 48 (912).
        {kPid7100, 3, 918, 917, 11 + 917},   {kPid7100MC, 3, 918, 912, 11 + 912},
        {kPid7300, 3, 918, 917, 16 + 917},   {kPid7300MC, 3, 918, 912, 16 + 912},
        // At 2 x 2 the 16-pixel start is already an even count of binned columns.
        {kPid7100MC, 2, 501, 496, 18 + 496}, {kPid7100MC, 4, 250, 248, 18 + 496},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " bin " << c.bin);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 240, 160, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, 0), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, c.gotX);
        EXPECT_EQ(Fpga16(kF7100HBLK), c.hblk);
    }
}

// A single exposure's window: the S7100 puts its sensor into standby around
// the size's registers, the S7300 writes them with the sensor awake.
TEST_F(C7x00Test, OnlyTheS7100SleepsWhileASingleExposuresWindowChanges) {
    for (const S7x00Class& cls : Classes7x00()) {
        SCOPED_TRACE(cls.cls);
        ASSERT_NE(Fresh(cls.pid), nullptr);
        m_pCam->m_bSnapMode = true;
        const int from = LogSize();
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        m_pCam->m_bSnapMode = false;
        int power = 0;
        for (const SWrite7100& w : Writes(from)) power += w.kind == 'S' && w.reg == kReg7100Power;
        EXPECT_EQ(power, cls.s7300 ? 0 : 2);
    }
}

}  // namespace

// The S7300's gain, exposure and offset as a caller sets them, checked on
// the registers the simulated camera received: the gain's bands beside its
// code, the shutter line kept from the frame's last three lines and written
// in line pairs from the third, long exposures on frames of the frame time
// + 10 ms, and the offset scaled while the sensor bins.
#include "test_s7300_fixture.h"

namespace {

struct SGainCase {
    long gain, stored;
    int conv, band;              // 0x02D, 0x04D
    std::vector<int> reg3A2;     // 0x3A2 .. 0x3A6
    int code, digital;           // 0x02E/F (and 0x030/1), 0x03E
};
const std::vector<int> kLow3A2 = {7, 17, 17, 17, 17};
const std::vector<int> kHigh3A2 = {7, 17, 35, 45, 45};
const SGainCase kGains[] = {
    {0, 0, 0, 8, kLow3A2, 0, 0},          {59, 59, 0, 8, kLow3A2, 2018, 0},
    {60, 60, 4, 10, kLow3A2, 2042, 0},    {99, 99, 4, 10, kLow3A2, 2785, 0},
    {100, 100, 1, 8, kLow3A2, 0, 0},      {159, 159, 1, 8, kLow3A2, 2018, 0},
    {160, 160, 5, 10, kLow3A2, 2042, 0},  {279, 279, 5, 10, kLow3A2, 3573, 0},
    {280, 280, 5, 12, kHigh3A2, 3579, 0}, {460, 460, 5, 12, kHigh3A2, 4030, 0},
    {470, 470, 5, 12, kHigh3A2, 3979, 16}, {700, 700, 5, 12, kHigh3A2, 4030, 64},
    {-5, 0, 0, 8, kLow3A2, 0, 0},         {900, 700, 5, 12, kHigh3A2, 4030, 64},
};

TEST_F(C7x00Test, TheS7300GainWritesItsBandThenTheCodeThenTheDigitalSteps) {
    ASSERT_NE(Setup(kPid7300), nullptr);
    for (const SGainCase& c : kGains) {
        SCOPED_TRACE(c.gain);
        const int from = LogSize();
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_GAIN), c.stored);
        const std::vector<std::pair<int, int>> want = {
            {kReg7300ConvGain, c.conv}, {kReg7300Band, c.band},    {0x3A2, c.reg3A2[0]},
            {0x3A3, c.reg3A2[1]},       {0x3A4, c.reg3A2[2]},      {0x3A5, c.reg3A2[3]},
            {0x3A6, c.reg3A2[4]},       {0x02E, c.code & 0xFF},    {0x02F, c.code >> 8},
            {0x030, c.code & 0xFF},     {0x031, c.code >> 8},      {kReg7300Digital, c.digital},
        };
        EXPECT_EQ(SensorWrites(from), want);
    }
}

// Hardware bin 2 writes SSH1 as it is: an exposure within the frame never
// starts before line 3, however close to the frame time it comes.
TEST_F(C7x00Test, AnS7300ExposureShorterThanTheFrameNeverStartsBeforeLineThree) {
    ASSERT_NE(Setup(kPid7300), nullptr);
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    // 320 rows + 32 in lines of 625 clocks at 20 MHz (31.25 us): 352 lines, 11000 us.
    ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 2, IMG_RAW8), KYR_SUCCESS);
    constexpr int kVMAX = 352;
    const struct {
        long us;
        int shutter;
    } cases[] = {
        {32, kVMAX - 3 - 1},  {10000, kVMAX - 3 - 320}, {10800, 4},  {10850, 3},
        {10900, 3},           {10990, 3},               {11000, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.us);
        ASSERT_EQ(Set(KYR_EXPOSURE, c.us), KYR_SUCCESS);
        EXPECT_EQ(Fpga24(kF7100VMAX), kVMAX);
        EXPECT_EQ(Sensor16(kReg7300SHR), c.shutter);
    }
}

// Without the sensor's 2 x 2 binning the shutter register counts line pairs,
// and a line below 6 is written as 3 (the pair of lines 6 and 7).
TEST_F(C7x00Test, AnS7300ShutterLineBelowSixIsWrittenAsThreeAndZero) {
    // 320 rows + 52 in lines of 1515 clocks (75.75 us): 372 lines.
    const struct {
        bool hwBin;
        int bin;
        long us;
        int ssh1;
        int written;
    } cases[] = {
        {false, 1, 28000, 3, 3},  {false, 1, 27650, 4, 3}, {false, 1, 27600, 5, 3}, {false, 1, 27520, 6, 3},
        {false, 1, 27440, 7, 3},  {false, 1, 27360, 8, 4}, {false, 1, 27290, 9, 4},
        // Sensor bin 3 x 3 counts line pairs too: 320 + 30 lines of 330 clocks (16.5 us).
        {true, 3, 5700, 347 - 345, 3},
        // Sensor bin 2 x 2 writes the line itself.
        {true, 2, 10850, 3, 3},   {true, 2, 10800, 4, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.us << " bin " << c.bin);
        ASSERT_NE(Fresh(kPid7300), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, c.us), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(kReg7300SHR), c.written);
        EXPECT_EQ(m_dev.sensor(kReg7300SHR + 1), 0);
    }
}

TEST_F(C7x00Test, AnS7300FrameLongerThanTheReadoutRunsTwentyLinesBeyondTheExposure) {
    ASSERT_NE(Setup(kPid7300), nullptr);
    // 372 lines of 75.75 us: a frame of 28179 us.
    ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 1, IMG_RAW8), KYR_SUCCESS);
    const struct {
        long us;
        bool longMode;
        int vmax;
    } cases[] = {
        // 500 ms: 6600 lines + 20.
        {500000, false, 6620},
        // Long mode: the sensor runs frames of the frame time + 10 ms (38179 us, 504 lines) + 20.
        {1000000, true, 524},
        {5000000, true, 524},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.us);
        ASSERT_EQ(Set(KYR_EXPOSURE, c.us), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_EXPOSURE), c.us);
        EXPECT_EQ(m_pCam->m_bLongExpMode.load(), c.longMode);
        EXPECT_EQ(Fpga24(kF7100VMAX), c.vmax);
        // SSH1 20, in line pairs.
        EXPECT_EQ(Sensor16(kReg7300SHR), 10);
    }
}

TEST_F(C7x00Test, TheS7300OffsetGoesToBothPairsScaledWhileTheSensorBins) {
    const struct {
        bool hwBin;
        int bin;
        long offset, stored;
        int value;
    } cases[] = {
        {false, 1, 1, 1, 10},    {false, 2, 10, 10, 100},  {false, 1, 200, 200, 2000}, {false, 1, 300, 200, 2000},
        {true, 2, 1, 1, 6},      {true, 2, 10, 10, 62},    {true, 3, 200, 200, 1250},  {true, 4, 7, 7, 43},
        {true, 1, 10, 10, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " bin " << c.bin << (c.hwBin ? " hw" : ""));
        ASSERT_NE(Fresh(kPid7300), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_OFFSET, c.offset), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_OFFSET), c.stored);
        EXPECT_EQ(Sensor16(kReg7300Offset), c.value);
        EXPECT_EQ(Sensor16(kReg7300Offset + 2), c.value);
        EXPECT_EQ(m_dev.sensorWrites(kReg7100Offset + 2), 0);
    }
}

}  // namespace

// The 801's geometry on the simulated camera's registers: the window start
// through the family's start registers, the window size, rows and end, the
// sensor modes, and the hardware-bin mode that changes only the sensor's
// timing. Expected values are worked out here from the sensor's rules:
// horizontal start 48 (or the start in steps of 12), vertical start 176 (or
// (y + 88) x 2), window end start + 2 x height + 208 at most 4172, rows
// (readout rows + 4) x 2.
#include "test_s815_fixture.h"

namespace {

class C801GeometryTest : public CFamilyTest {
  protected:
    void SetUp() override {
        CFamilyTest::SetUp();
        ASSERT_NE(Fresh(kPid801), nullptr);
    }
};

TEST_F(C801GeometryTest, InitWritesThePublishedRowsThenTheFixedRowsInOneHold) {
    const std::vector<std::pair<uint16_t, uint8_t>> want = {
        {0x3001, 1},    {0x3000, 1},    {0x3002, 1}, {0x3004, 4}, {0x3004, 0}, {0x300C, 0x5B},
        {0x300D, 0x40}, {0x3E04, 0x0E}, {0x3000, 0}, {0x3002, 1}, {0x3018, 4}, {0x3050, 1},
        {0x341C, 0x47}, {0x341D, 0},    {0x319D, 1}, {0x3001, 0},
    };
    for (int pid : {kPid801, kPid801Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        const auto writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), want.size());
        using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
        EXPECT_EQ(Writes(writes.begin(), writes.begin() + static_cast<long>(want.size())), want);
        EXPECT_EQ(m_dev.fpga(10) & 0x40, pid == kPid801 ? 0x40 : 0);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegsFamily());
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C801GeometryTest, StartsGoToTheStartRegistersUnaligned) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const struct {
        int x, y;
        int startX, startY;
        bool skip;  // 0x30CE = 100 and 0x30C6 = 18 (0x12)
    } cases[] = {
        {0, 0, 48, 176, false},         {47, 175, 48, 176, false}, {48, 176, 48, 528, true},
        {59, 177, 48, 530, true},       {60, 200, 60, 576, true},  {101, 301, 96, 778, true},
        {1976, 1480, 1968, 3136, true},
    };
    for (const auto& c : cases) {
        const int from = kyrsim_log_count();
        ExpectStart(c.x, c.y, c.startX, c.startY, c.skip, 480, 4172, 4);
        // 0x3018 leads the start's hold.
        const auto writes = SensorWrites(m_dev.handle(), from);
        ASSERT_GE(writes.size(), 2u);
        EXPECT_EQ(writes[0], (std::pair<uint16_t, uint8_t>{0x3001, 1}));
        EXPECT_EQ(writes[1], (std::pair<uint16_t, uint8_t>{0x3018, 4}));
    }
}

TEST_F(C801GeometryTest, WindowWidthRowsAndEndFollowTheReadout) {
    const struct {
        int w, h, bin;
        bool hardwareBin;
        int width, rows, end;
    } cases[] = {
        {2616, 1960, 1, false, 2640, (1960 + 4) * 2, 4172},
        {640, 480, 1, false, 672, (480 + 4) * 2, 740 + 960 + 208},
        {320, 240, 2, false, 672, (480 + 4) * 2, 740 + 480 + 208},
        {320, 240, 2, true, 672, (480 + 4) * 2, 740 + 480 + 208},
        {1308, 980, 2, true, 2640, (1960 + 4) * 2, 176 + 1960 + 208},
        {600, 1900, 1, false, 624, (1900 + 4) * 2, 4172},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.w << "x" << c.h << " bin " << c.bin << (c.hardwareBin ? " hw" : ""));
        SetHardwareBin(c.hardwareBin);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(m_pCam->m_iStartX, (2616 - c.w * c.bin) / 2);
        EXPECT_EQ(m_pCam->m_iStartY, (1960 - c.h * c.bin) / 2);
        EXPECT_EQ(Sensor16(0x302E), c.width);
        for (int reg : {0x3076, 0x3090, 0x3308}) EXPECT_EQ(Sensor16(reg), c.rows) << std::hex << reg;
        EXPECT_EQ(Sensor16(0x30D8), c.end);
        // The FPGA crops the sensor's rounded window to the whole readout.
        EXPECT_EQ(m_dev.fpgaWide(4, 2), c.w * c.bin);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), c.h * c.bin);
    }
    // From the start the end is held at 4172 as well.
    ASSERT_EQ(KYRSetROIFormat(0, 640, 1200, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(Sensor16(0x30D8), 380 + 2400 + 208);
    ASSERT_EQ(KYRSetStartPos(0, 0, 760), KYR_SUCCESS);
    EXPECT_EQ(Sensor16(0x30D8), 4172);
}

TEST_F(C801GeometryTest, BinsThreeAndFourAndMisalignedSizesAreRefused) {
    kyrsim::clearLog();
    EXPECT_NE(KYRSetROIFormat(0, 640, 480, 3, IMG_RAW8), KYR_SUCCESS);
    EXPECT_NE(KYRSetROIFormat(0, 640, 480, 4, IMG_RAW8), KYR_SUCCESS);
    EXPECT_NE(KYRSetROIFormat(0, 644, 480, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_NE(KYRSetROIFormat(0, 640, 481, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_log_count(), 0);
    // With the hardware bin the binned size needs no alignment of its own.
    SetHardwareBin(true);
    EXPECT_EQ(KYRSetROIFormat(0, 1308, 980, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(KYRSetROIFormat(0, 324, 241, 2, IMG_RAW8), KYR_SUCCESS);
}

TEST_F(C801GeometryTest, ModesFollowHardwareBinWithABinAndTheStoredHighSpeed) {
    const struct {
        bool hardwareBin;
        int bin;
        bool highSpeed;
        IMG_TYPE type;
        int r3050, r341C, r341D, r319D, adc, vblk, minHMAX, extra;
    } cases[] = {
        {false, 1, false, IMG_RAW8, 1, 0x47, 0, 1, 1, 4, 155, 2072},
        {false, 1, true, IMG_RAW8, 0, 0xFF, 1, 0, 0, 4, 282, 2072},
        {false, 2, true, IMG_RAW16, 0, 0xFF, 1, 0, 0, 4, 282, 2072},
        {true, 2, false, IMG_RAW8, 0, 0xFF, 1, 1, 1, 12, 282, 42},
        {true, 2, true, IMG_RAW16, 0, 0xFF, 1, 1, 0, 12, 282, 42},
        {true, 1, false, IMG_RAW16, 1, 0x47, 0, 1, 1, 4, 155, 2072},
        {false, 2, false, IMG_RAW8, 1, 0x47, 0, 1, 1, 4, 155, 2072},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.hardwareBin ? "hw " : "") << "bin " << c.bin
                                        << (c.highSpeed ? " high speed" : "") << " type " << c.type);
        SetHardwareBin(false);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        SetHighSpeed(false);
        SetHighSpeed(c.highSpeed);
        SetHardwareBin(c.hardwareBin);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, 160, 120, c.bin, c.type), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x3018), 4);
        EXPECT_EQ(m_dev.sensor(0x3050), c.r3050);
        EXPECT_EQ(m_dev.sensor(0x341C), c.r341C);
        EXPECT_EQ(m_dev.sensor(0x341D), c.r341D);
        EXPECT_EQ(m_dev.sensor(0x319D), c.r319D);
        EXPECT_EQ(m_dev.fpga(10) & 0x01, c.adc);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), c.vblk);
        WithEngine([&](auto& e) {
            EXPECT_EQ(e.g_iMinHMAX, c.minHMAX);
            EXPECT_EQ(e.g_iExtraLines, c.extra);
            return true;
        });
        // The sensor sends every pixel whatever the mode.
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 160 * c.bin);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 120 * c.bin);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegsFamily(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C801GeometryTest, TheModeIgnoresTheHighSpeedArgument) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    WithEngine([&](auto& e) { return Locked([&] { return e.InitSensorMode(false, 1, true, IMAGE_8BIT); }); });
    EXPECT_EQ(m_dev.sensor(0x319D), 1);
    EXPECT_EQ(m_dev.sensor(0x3050), 1);
    WithEngine([&](auto& e) { return Locked([&] { return e.InitSensorMode(true, 2, false, IMAGE_8BIT); }); });
    EXPECT_EQ(m_dev.sensor(0x341C), 0xFF);
    EXPECT_EQ(m_dev.sensor(0x319D), 1);
}

TEST_F(C801GeometryTest, HardwareBinOnlyStoresTheFlag) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
    kyrsim::clearLog();
    SetHardwareBin(true);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_TRUE(m_pCam->m_bHardwareBin);
    // The next bin change selects the mode.
    ASSERT_EQ(KYRSetROIFormat(0, 1280, 960, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_dev.fpgaWide(6, 2), 12);
}

TEST_F(C801GeometryTest, HighSpeedInSixteenBitReappliesTheMode) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
    SetHighSpeed(true);
    EXPECT_EQ(m_dev.sensor(0x319D), 0);
    EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x10);  // 10-bit ADC, 16-bit output
}

}  // namespace

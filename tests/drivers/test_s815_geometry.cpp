// The 815's geometry on the simulated camera's registers: the state
// initialisation leaves, the window start through the family's start
// registers, the window size and end, sensor binning and the sensor modes.
// Expected values are worked out here from the sensor's rules: horizontal
// start 48 (or the start in steps of 12 plus 48), vertical start 176 (or
// (y / 2 + 44) x 4), window end start + 2 x height + 208 at most 4640.
#include "test_s815_fixture.h"

namespace {

class C815GeometryTest : public CFamilyTest {
  protected:
    void SetUp() override {
        CFamilyTest::SetUp();
        ASSERT_NE(Fresh(kPid815), nullptr);
    }
};

TEST_F(C815GeometryTest, InitialisationOnUsb3ProgramsTheFullFrameTiming) {
    for (int pid : {kPid815, kPid815Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        EXPECT_EQ(m_dev.fpgaWide(19, 2), 213);
        EXPECT_EQ(m_dev.sensor(0x3034), 0x8B);
        EXPECT_EQ(m_dev.sensor(0x3035), 0x01);
        EXPECT_EQ(m_dev.fpgaWide(16, 3), 2216);
        EXPECT_EQ(Sensor24(0x3058), 1273);
        EXPECT_EQ(Sensor16(0x302E), 3864);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 3840);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 2160);
        // The uncooled camera bypasses the DDR, the cooled one uses it.
        EXPECT_EQ(m_dev.fpga(10) & 0x40, pid == kPid815 ? 0x40 : 0);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegsFamily());
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C815GeometryTest, InitWritesThePublishedRowsThenTheFixedRowsInOneHold) {
    const std::vector<std::pair<uint16_t, uint8_t>> want = {
        {0x3001, 1}, {0x3000, 1}, {0x3002, 1}, {0x3004, 4},    {0x3004, 0}, {0x3E04, 0x0E}, {0x3000, 0},
        {0x3002, 1}, {0x3018, 4}, {0x3050, 1}, {0x341C, 0x47}, {0x341D, 0}, {0x319D, 1},    {0x3001, 0},
    };
    for (int pid : {kPid815, kPid815Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        const auto writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), want.size());
        using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
        EXPECT_EQ(Writes(writes.begin(), writes.begin() + static_cast<long>(want.size())), want);
    }
}

struct SStartCase {
    int x, y;
    int startX, startY;  // 0x302C/D and 0x3074/5
    bool skip;           // 0x30CE = 100 and 0x30C6 = 0x12
};

const SStartCase kStarts[] = {
    {100, 300, 144, 776, true}, {47, 175, 48, 176, false}, {48, 176, 96, 528, true},   {0, 0, 48, 176, false},
    {59, 177, 96, 528, true},   {60, 178, 108, 532, true}, {101, 227, 144, 628, true},
};

TEST_F(C815GeometryTest, StartsGoToTheStartRegistersUnaligned) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    for (const SStartCase& c : kStarts) ExpectStart(c.x, c.y, c.startX, c.startY, c.skip, 480, 4640, 0);
}

TEST_F(C815GeometryTest, SensorBinningReadsFromTheFirstPixelAndTheFPGASkipsToTheStart) {
    SetHardwareBin(true);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
    for (const SStartCase& c : kStarts) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        EXPECT_EQ(Sensor16(0x302C), 48);
        EXPECT_EQ(Sensor16(0x3074), 176);
        EXPECT_EQ(Sensor16(0x30CE), 0);
        // The exported start is in binned pixels, the sensor's in its own.
        EXPECT_EQ(m_pCam->m_iStartX, 2 * c.x);
        EXPECT_EQ(m_dev.fpgaWide(2, 2), 2 * c.x + 8);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), 12 + 2 * c.y);
    }
    // The readout is the binned window itself.
    EXPECT_EQ(m_dev.fpgaWide(4, 2), 640);
    EXPECT_EQ(m_dev.fpgaWide(8, 2), 480);
    EXPECT_EQ(Sensor16(0x302E), 648 + 24);
}

TEST_F(C815GeometryTest, WindowWidthRowsAndEndFollowTheReadout) {
    const struct {
        int w, h, bin;
        bool hardwareBin;
        int width;  // 0x302E/F
        int rows;   // 0x3076, 0x3090, 0x3308
        int end;    // 0x30D8/9 after the format
    } cases[] = {
        {3832, 2160, 1, false, 3864, 2160, 4640},  // the end at its limit: 32 and 18
        {3840, 2126, 1, false, 3864, 2126, 4636},  // just below it
        {640, 480, 1, false, 672, 480, 840 + 960 + 208},   {320, 240, 2, false, 672, 480, 840 + 480 + 208},
        {320, 240, 2, true, 360, 240, 176 + 480 + 208},    {160, 120, 4, true, 360, 240, 176 + 240 + 208},
        {480, 360, 3, false, 1464, 1080, 540 + 720 + 208},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.w << "x" << c.h << " bin " << c.bin << (c.hardwareBin ? " hw" : ""));
        SetHardwareBin(c.hardwareBin);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_SUCCESS);
        // Always centred.
        EXPECT_EQ(m_pCam->m_iStartX, (3840 - c.w * c.bin) / 2);
        EXPECT_EQ(m_pCam->m_iStartY, (2160 - c.h * c.bin) / 2);
        EXPECT_EQ(Sensor16(0x302E), c.width);
        for (int reg : {0x3076, 0x3090, 0x3308}) EXPECT_EQ(Sensor16(reg), c.rows) << std::hex << reg;
        EXPECT_EQ(Sensor16(0x30D8), c.end);
    }
    // The end from the start of a full-height window is held at its limit too.
    ASSERT_EQ(KYRSetROIFormat(0, 3840, 2160, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(0x30D8), 32);
    EXPECT_EQ(m_dev.sensor(0x30D9), 18);
}

TEST_F(C815GeometryTest, ASizeChangeCentresTheWindowAgain) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 100, 100), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_pCam->m_iStartX, (3840 - 320) / 2);
    EXPECT_EQ(m_pCam->m_iStartY, (2160 - 240) / 2);
}

TEST_F(C815GeometryTest, ModesFollowHardwareBinBinAndTheStoredHighSpeed) {
    const struct {
        bool hardwareBin;
        int bin;
        bool highSpeed;
        IMG_TYPE type;
        int r3018, r3199, r31DD, r3300, adc,
            vblk;  // vblk before the start the FPGA skips with sensor binning
        bool sensorBin;
    } cases[] = {
        {false, 1, false, IMG_RAW8, 4, 0, 3, 0, 1, 0, false},
        {false, 1, true, IMG_RAW8, 4, 0, 3, 0, 0, 0, false},
        {false, 2, true, IMG_RAW16, 4, 0, 3, 0, 0, 0, false},
        {true, 2, false, IMG_RAW8, 1, 0x30, 4, 1, 1, 12, true},
        {true, 4, false, IMG_RAW16, 1, 0x30, 4, 1, 1, 12, true},
        {true, 2, true, IMG_RAW8, 1, 0x30, 4, 1, 0, 12, true},
        {true, 3, false, IMG_RAW8, 4, 0, 3, 0, 1, 0, false},
        {false, 1, false, IMG_RAW16, 4, 0, 3, 0, 1, 0, false},
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
        EXPECT_EQ(m_dev.sensor(0x3018), c.r3018);
        if (c.highSpeed && !c.sensorBin) {
            // The 10-bit mode writes 0x3018 only; the rest stay as the 12-bit mode left them.
            EXPECT_EQ(m_dev.sensor(0x31DD), 3);
        } else {
            EXPECT_EQ(m_dev.sensor(0x3199), c.r3199);
            EXPECT_EQ(m_dev.sensor(0x31DD), c.r31DD);
            EXPECT_EQ(m_dev.sensor(0x3300), c.r3300);
        }
        EXPECT_EQ(m_dev.fpga(10) & 0x01, c.adc);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), c.vblk + (c.sensorBin ? m_pCam->m_iStartY : 0));
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegsFamily(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C815GeometryTest, TheModeIgnoresTheHighSpeedArgumentAndFollowsTheHardwareBinArgument) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
    ASSERT_FALSE(m_pCam->m_bHighSpeed);
    ASSERT_FALSE(m_pCam->m_bHardwareBin);
    WithEngine([&](auto& e) { return Locked([&] { return e.InitSensorMode(false, 2, true, IMAGE_8BIT); }); });
    EXPECT_EQ(m_dev.sensor(0x31DD), 3);
    EXPECT_EQ(m_dev.fpga(10) & 0x01, 1);
    WithEngine([&](auto& e) { return Locked([&] { return e.InitSensorMode(true, 2, false, IMAGE_8BIT); }); });
    EXPECT_EQ(m_dev.sensor(0x3018), 1);
    EXPECT_EQ(m_dev.sensor(0x31DD), 4);
}

TEST_F(C815GeometryTest, HighSpeedInSixteenBitOnlyStoresTheFlag) {
    SetHardwareBin(true);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW16), KYR_SUCCESS);
    kyrsim::clearLog();
    SetHighSpeed(true);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_TRUE(m_pCam->m_bHighSpeed);
}

}  // namespace

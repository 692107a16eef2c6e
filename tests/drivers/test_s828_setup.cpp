// The S828 cameras (mono and colour, uncooled and cooled) as a caller
// initialises and sets them, checked on the registers the simulated camera
// received: the start-up state, the window and start position, gain, offset
// and exposure.
#include "modetable2/CCameraS828MC.h"
#include "modetable2/CCameraS828MC_Pro.h"
#include "modetable2/CCameraS828MM.h"
#include "modetable2/CCameraS828MM_Pro.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kPid828MM = 0x828a, kPid828MC = 0x828b, kPid828MMPro = 0x828e, kPid828MCPro = 0x828f;
constexpr int kPids828[] = {kPid828MM, kPid828MC, kPid828MMPro, kPid828MCPro};

// Sensor registers.
constexpr int kRegStop = 0x000;    // 0 streams, 1 stops
constexpr int kRegStartY = 0x006;  // start row + 15 (+ 11 while the sensor bins), 2 bytes
constexpr int kRegRows = 0x008;    // 2 bytes
constexpr int kRegSHR = 0x016;     // 2 bytes
constexpr int kRegGain = 0x030;    // 2 bytes
constexpr int kRegDigital = 0x03E;
constexpr int kRegOffset = 0x040;  // and its copy 0x042, 2 bytes each
constexpr int kRegStartX = 0x0A6;  // start x / 16, 2 bytes
constexpr int kRegStream = 0x19E;

class C828Test : public C7100Test {
  protected:
    C828Test() {
        m_classes = {ModelClass<CCameraS828MM>(kPid828MM), ModelClass<CCameraS828MC>(kPid828MC),
                     ModelClass<CCameraS828MM_Pro>(kPid828MMPro), ModelClass<CCameraS828MC_Pro>(kPid828MCPro)};
    }
};

// After KYRInitCamera on the USB 3 colour camera with a fresh home: the full
// window, its frame timing, the default gain, offset and exposure, and the
// sensor stopped.
TEST_F(C828Test, InitCameraLeavesTheDefaultsInTheRegisters) {
    ASSERT_NE(Setup(kPid828MC), nullptr);
    const struct {
        const char* what;
        int got, want;
    } regs[] = {
        {"FPGA width", Fpga16(kF7100Width), 3008},
        {"FPGA height", Fpga16(kF7100Height), 3008},
        {"FPGA data length", static_cast<int>(Fpga32(kF7100DataLen)), 3008 * 3008 / 4},
        {"FPGA HMAX", Fpga16(kF7100HMAX), 330},
        {"FPGA VMAX", Fpga24(kF7100VMAX), 3048},
        {"FPGA VBLK", Fpga16(kF7100VBLK), 33},
        {"FPGA red gain", m_dev.fpga(12), 133},
        {"FPGA blue gain", m_dev.fpga(15), 243},
        {"shutter", Sensor16(kRegSHR), 0x4C3},
        {"gain code", Sensor16(kRegGain), 0xAF0},
        {"conversion gain", m_dev.sensor(0x02D), 5},
        {"gain band", m_dev.sensor(0x04D), 0x0A},
        {"offset", m_dev.sensor(kRegOffset), 10},
        {"start row", m_dev.sensor(kRegStartY), 15},
        {"rows", Sensor16(kRegRows), 3010},
        {"stop switch", m_dev.sensor(kRegStop), 1},
    };
    for (const auto& r : regs) EXPECT_EQ(r.got, r.want) << r.what;
}

// Every class walks its start-up table and the fixed rows after it, and ends stopped.
TEST_F(C828Test, EveryClassWritesItsStartUpRowsAndEndsStopped) {
    const std::vector<std::pair<int, int>> initRows = {
        {0x19E, 0x01}, {0x133, 0x8D}, {0x368, 0xE1}, {0x000, 0x04}, {0x028, 0x04}, {0x029, 0x00},
        {0x0C6, 0x08}, {0x1C0, 0x0A}, {0x1C5, 0x12}, {0x1C6, 0x12}, {0x1C9, 0xDF}, {0x4AA, 0x03},
        {0x4AB, 0x28}, {0x4CF, 0x02}, {0x67A, 0x33}, {0x0AE, 0x01}, {0x001, 0x40}, {0x002, 0x10},
        {0x005, 0x01}, {0x187, 0x02}, {0x0A5, 0x01}, {0x046, 0x07}, {0x0AE, 0x01},
    };
    for (int pid : kPids828) {
        SCOPED_TRACE(pid);
        Replug(pid);
        const int from = LogSize();
        ASSERT_NE(m_pCam = OpenInit(), nullptr);
        const std::vector<std::pair<int, int>> writes = SensorWrites(from);
        ASSERT_GE(writes.size(), initRows.size());
        const std::vector<std::pair<int, int>> first(writes.begin(),
                                                     writes.begin() + static_cast<long>(initRows.size()));
        EXPECT_EQ(first, initRows);
        EXPECT_EQ(m_dev.sensor(kRegStop), 1);
        EXPECT_EQ(m_dev.sensor(kRegStream), 1);
    }
}

// The window's rows: + 5 while the sensor bins 3 x 3, + 2 in every other mode.
TEST_F(C828Test, TheWindowRowsAddFiveAtSensorBinThreeAndTwoElsewhere) {
    ASSERT_NE(Setup(kPid828MM), nullptr);
    const struct {
        bool hwBin;
        int bin, rows;  // sensor rows
        int add;
    } cases[] = {
        {false, 1, 320, 2}, {false, 2, 640, 2}, {true, 2, 320, 2}, {true, 3, 320, 5}, {true, 4, 640, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bin);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 320, c.bin, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Sensor16(kRegRows), c.rows + c.add);
    }
}

// The start column: in 16-pixel steps at full resolution (the sensor's
// start unit, so the start stored is the one the sensor reads from), in 4-pixel
// steps while the sensor bins, where the FPGA skips the start in binned columns.
TEST_F(C828Test, TheStartIsKeptWhereTheCameraStartsReading) {
    ASSERT_NE(Setup(kPid828MM), nullptr);
    const struct {
        bool hwBin;
        int bin;
        int x, y;  // as the caller gives them, in binned pixels
        int wantX, wantY;  // in sensor pixels
        int startCol, hblk, startRow;  // 0x0A6/7, FPGA HBLK, 0x006/7
    } cases[] = {
        {false, 1, 5, 3, 0, 2, 0, 0, 17},     {false, 1, 37, 9, 32, 8, 2, 0, 23},
        {true, 2, 3, 2, 4, 4, 0, 2, 15},      {true, 2, 48, 24, 96, 48, 6, 48, 59},
        {true, 3, 32, 16, 96, 48, 6, 32, 59}, {true, 4, 24, 12, 96, 48, 6, 48, 59},
        {false, 1, 3000, 3000, 2528, 2688, 158, 0, 2703},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bin << " " << c.x);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hwBin), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480 / c.bin / 8 * 8, 320 / c.bin / 2 * 2, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x * c.bin, c.wantX);
        EXPECT_EQ(y * c.bin, c.wantY);
        EXPECT_EQ(Sensor16(kRegStartX), c.startCol);
        EXPECT_EQ(Fpga16(kF7100HBLK), c.hblk);
        EXPECT_EQ(Sensor16(kRegStartY), c.startRow);
    }
}

// Gain: the power-law code of the analog part, 6 dB digital steps above
// 460, and the band of conversion gain and bias registers.
TEST_F(C828Test, GainWritesItsCodeDigitalStepsAndBand) {
    ASSERT_NE(Setup(kPid828MM), nullptr);
    const std::vector<int> kLowBias = {0x12, 0x12, 0x12, 0x12}, kHighBias = {0x21, 0x21, 0x2B, 0x2B};
    const struct {
        long gain, stored;
        int code, digital, conv, band;
        std::vector<int> bias;  // 0x1C3 .. 0x1C6
    } cases[] = {
        {460, 460, 4030, 0, 5, 0x0C, kHighBias},  {461, 461, 3966, 16, 5, 0x0C, kHighBias},
        {600, 600, 3992, 48, 5, 0x0C, kHighBias}, {-5, 0, 0, 0, 0, 0x08, kLowBias},
        {279, 279, 3573, 0, 5, 0x0A, kLowBias},   {280, 280, 3579, 0, 5, 0x0C, kHighBias},
        {59, 59, 2018, 0, 0, 0x08, kLowBias},     {900, 600, 3992, 48, 5, 0x0C, kHighBias},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_GAIN), c.stored);
        EXPECT_EQ(Sensor16(kRegGain), c.code);
        EXPECT_EQ(m_dev.sensor(kRegDigital), c.digital);
        EXPECT_EQ(m_dev.sensor(0x02D), c.conv);
        EXPECT_EQ(m_dev.sensor(0x04D), c.band);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(m_dev.sensor(0x1C3 + i), c.bias[static_cast<size_t>(i)]) << i;
    }
}

// Offset x 10 with bit 0 cleared, into both register pairs; clamped to 0 .. 100.
TEST_F(C828Test, OffsetIsScaledIntoBothPairsWithinItsRange) {
    ASSERT_NE(Setup(kPid828MM), nullptr);
    const struct {
        long offset, stored;
        int low, high;
    } cases[] = {{100, 100, 0xE8, 0x03}, {1, 1, 10, 0}, {0, 0, 0, 0}, {37, 37, 0x72, 0x01},
                 {150, 100, 0xE8, 0x03}, {-3, 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        ASSERT_EQ(Set(KYR_OFFSET, c.offset), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_OFFSET), c.stored);
        EXPECT_EQ(m_dev.sensor(kRegOffset), c.low);
        EXPECT_EQ(m_dev.sensor(kRegOffset + 1), c.high);
        EXPECT_EQ(m_dev.sensor(kRegOffset + 2), c.low);
        EXPECT_EQ(m_dev.sensor(kRegOffset + 3), c.high);
    }
}

// Exposure at full resolution (3048 lines of 16.5 us, a frame of 50,292 us):
// the shutter line from the frame's end, never closer than four lines to
// either end, written in line pairs; from 1 s the sensor runs frames of the
// frame time + 10 ms.
TEST_F(C828Test, ExposureProgramsTheShutterLineAndLongExposuresTheFramePlusTenMs) {
    ASSERT_NE(Setup(kPid828MM), nullptr);
    const struct {
        long us;
        int vmax, ssh1;
    } cases[] = {
        {10000, 3048, 2438}, {32, 3048, 3043}, {50250, 3048, 4}, {50292, 3048, 4},
        {999999, 60610, 4},  {1000000, 3658, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.us);
        ASSERT_EQ(Set(KYR_EXPOSURE, c.us), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_EXPOSURE), c.us);
        EXPECT_EQ(Fpga24(kF7100VMAX), c.vmax);
        EXPECT_EQ(Sensor16(kRegSHR), c.ssh1 / 2);
    }
}

// The high-speed flag is stored; no register follows it.
TEST_F(C828Test, HighSpeedModeWritesNoRegister) {
    ASSERT_NE(Setup(kPid828MM), nullptr);
    const int from = LogSize();
    Set(KYR_HIGH_SPEED_MODE, 1);
    EXPECT_TRUE(Writes(from).empty());
}

}  // namespace

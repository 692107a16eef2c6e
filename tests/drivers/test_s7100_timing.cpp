// The S7100 mono camera's exposure, gain, offset and bandwidth as a caller
// sets them, checked on the registers the simulated camera received; a
// failed read of a register whose bits change writes nothing; two cameras
// keep their own timing.
#include <limits.h>

#include "test_s7100_fixture.h"

namespace {

// Full frame, 12-bit mode, DDR on: lines of 1350 clocks at 20 MHz (67.5 us), frames of 4176 + 48 lines.
constexpr int kFrameLines = 4224;

TEST_F(C7100Test, ExposureIsClampedAndFromOneSecondTimedByTheFpga) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    const struct {
        long long us;
        long stored;
        bool longMode;
        int vmax, shutter;  // FPGA VMAX; 0x018/9 as written (line pairs)
    } cases[] = {
        // 32 us is no whole line: the exposure starts at the frame's last line.
        {10, 32, false, kFrameLines, (kFrameLines - 1) / 2},
        {10000, 10000, false, kFrameLines, (kFrameLines - 1 - 148) / 2},
        // Longer than a frame: the frame grows to the exposure, shutter line 1 (written 1).
        {999999, 999999, false, 14815, 1},
        // Long mode: the sensor runs frames of the frame time + 5 ms.
        {1000000, 1000000, true, 4299, 1},
        // Beyond the longest exposure (as far as a long goes on the host).
        {LONG_MAX > 3000000000LL ? 3000000000LL : LONG_MAX, 2000000000, true, 4299, 1},
        {500000, 500000, false, 7408, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.us);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, static_cast<long>(c.us), KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_EXPOSURE), c.stored);
        EXPECT_EQ(m_pCam->m_bLongExpMode.load(), c.longMode);
        EXPECT_EQ((m_dev.fpga(kF7100Ctrl) & kCtrl7100WaitTrig) == kCtrl7100WaitTrig, c.longMode);
        EXPECT_EQ(Fpga24(kF7100VMAX), c.vmax);
        EXPECT_EQ(Sensor16(kReg7100SHR), c.shutter);
    }
}

// While the sensor bins 2 x 2 the shutter register counts lines, at 3 x 3 line pairs.
TEST_F(C7100Test, TheShutterIsWrittenInLinesOnlyWhileTheSensorBinsTwoByTwo) {
    const struct {
        int bin;
        int shutter;
    } cases[] = {
        // 500 rows + 28 in 24.5 us lines: 1000 us is 40 lines, SSH1 487.
        {2, 487},
        // 320 rows + 24 in 12.5 us lines: 80 lines, SSH1 263, written 131.
        {3, 131},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bin);
        ASSERT_NE(Fresh(kPid7100), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.bin == 2 ? 1000 : 480, c.bin == 2 ? 500 : 320, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 1000), KYR_SUCCESS);
        EXPECT_EQ(Sensor16(kReg7100SHR), c.shutter);
    }
}

TEST_F(C7100Test, GainSplitsIntoAnalogCodeConversionGainAndDigitalSteps) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    const struct {
        long gain, stored;
        int code, conv, digital;
    } cases[] = {
        {0, 0, 0, 0, 0},          {59, 59, 2018, 0, 0},     {99, 99, 2785, 0, 0},
        {100, 100, 0, 1, 0},      {460, 460, 4030, 1, 0},   {470, 470, 3979, 1, 16},
        {600, 600, 3992, 1, 48},  {700, 700, 4030, 1, 64},  {-1, 0, 0, 0, 0},
        {900, 700, 4030, 1, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        const int from = LogSize();
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_GAIN), c.stored);
        EXPECT_EQ(Sensor16(kReg7100Gain), c.code);
        EXPECT_EQ(Sensor16(kReg7100Gain + 2), c.code);
        EXPECT_EQ(m_dev.sensor(kReg7100ConvGain), c.conv);
        EXPECT_EQ(m_dev.sensor(kReg7100Digital), c.digital);
        // The codes, then the switch, then the digital steps.
        std::vector<int> order;
        for (const auto& w : SensorWrites(from)) order.push_back(w.first);
        const std::vector<int> want = {0x030, 0x031, 0x032, 0x033, 0x02F, 0x040};
        EXPECT_EQ(order, want);
    }
}

TEST_F(C7100Test, OffsetGoesToBothRegisterPairsScaledForTheSensorsBinning) {
    const struct {
        bool sensorBin;
        long offset, stored;
        int value;
    } cases[] = {
        {false, 0, 0, 0},     {false, 1, 1, 10},    {false, 240, 240, 2400}, {false, 300, 240, 2400},
        {true, 1, 1, 6},      {true, 240, 240, 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << (c.sensorBin ? " binned" : ""));
        ASSERT_NE(Fresh(kPid7100), nullptr);
        if (c.sensorBin) {
            ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
            ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 2, IMG_RAW8), KYR_SUCCESS);
        }
        ASSERT_EQ(Set(KYR_OFFSET, c.offset), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_OFFSET), c.stored);
        EXPECT_EQ(Sensor16(kReg7100Offset), c.value);
        EXPECT_EQ(Sensor16(kReg7100Offset + 2), c.value);
    }
}

TEST_F(C7100Test, BandwidthPacesTheFpgaWhileTheSensorRunsAtItsShortestLine) {
    const struct {
        bool usb3;
        long percent;
        KYR_BOOL autoOn;
        long stored;
        int pacing;
    } cases[] = {
        // 390000 x P / 400000 percent of the FPGA's output: 25600 / that - 256.
        {true, 30, KYR_FALSE, 40, 400},
        {true, 150, KYR_FALSE, 100, 6},
        {true, 50, KYR_TRUE, 100, 6},
        {false, 50, KYR_TRUE, 80, 2702},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.percent << (c.usb3 ? " USB3" : " USB2") << " auto " << c.autoOn);
        ASSERT_NE(Fresh(kPid7100, c.usb3), nullptr);
        // Automatic bandwidth is on after the start-up: switched off first so that auto starts anew.
        ASSERT_EQ(Set(KYR_BANDWIDTH, 60), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, c.percent, c.autoOn), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_BANDWIDTH), c.stored);
        EXPECT_EQ(Fpga16(kF7100Pace), c.pacing);
        EXPECT_EQ(Fpga16(kF7100HMAX), 1350);
    }
}

// Without the DDR buffer the sensor's line is stretched so the link keeps up.
TEST_F(C7100Test, WithoutTheDdrTheLineLengthFollowsThePercentage) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    ASSERT_TRUE(Engine().SetEnableDDR(false));
    ASSERT_EQ(Set(KYR_BANDWIDTH, 40), KYR_SUCCESS);
    EXPECT_EQ(Fpga16(kF7100HMAX), 1350 * 100 / 40);
    ASSERT_EQ(Set(KYR_BANDWIDTH, 100), KYR_SUCCESS);
    EXPECT_EQ(Fpga16(kF7100HMAX), 1350);
}

// Standby and wake-up change bits of 0x000: when it cannot be read, it is not written.
TEST_F(C7100Test, AFailedPowerRegisterReadWritesNothingAndFails) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    kyrsim::Fault().device(m_dev).request(0xB7).always().error(LIBUSB_ERROR_IO).add();
    int from = LogSize();
    EXPECT_FALSE(Engine().StartSensorStreaming());
    for (const SWrite7100& w : Writes(from)) EXPECT_FALSE(w.kind == 'S' && w.reg == kReg7100Power);
    EXPECT_EQ(m_dev.sensor(kReg7100Power), 0x05);
    from = LogSize();
    EXPECT_FALSE(Engine().StopSensorStreaming());
    for (const SWrite7100& w : Writes(from)) EXPECT_FALSE(w.kind == 'S' && w.reg == kReg7100Power);
    kyrsim_clear_faults();
    EXPECT_TRUE(Engine().StopSensorStreaming());
}

TEST_F(C7100Test, TwoCamerasKeepTheirOwnTimingWords) {
    kyrsim::Device usb2 = Plug(kPid7100, false, "1");
    kyrsim::Device usb3 = Plug(kPid7100, true, "2");
    CCameraBase* cam2 = OpenInit(0);
    CCameraBase* cam3 = OpenInit(1);
    ASSERT_NE(cam2, nullptr);
    ASSERT_NE(cam3, nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 480, 320, 3, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(1, 480, 320, 1, IMG_RAW8), KYR_SUCCESS);
    const auto& e2 = *dynamic_cast<CEngineDriver<CCameraCool>*>(cam2);
    const auto& e3 = *dynamic_cast<CEngineDriver<CCameraCool>*>(cam3);
    EXPECT_EQ(e2.g_iMinHMAX, 250);
    EXPECT_EQ(e2.g_iExtraLines, 24);
    EXPECT_EQ(e2.g_iVBLK, 23);
    EXPECT_EQ(e2.g_iUSBBandwidth, 43272);
    EXPECT_EQ(e3.g_iMinHMAX, 1350);
    EXPECT_EQ(e3.g_iExtraLines, 48);
    EXPECT_EQ(e3.g_iVBLK, 45);
    EXPECT_EQ(e3.g_iUSBBandwidth, 390000);
    EXPECT_EQ(usb2.sensor(kReg7100Mode), 0x07);
    EXPECT_EQ(usb3.sensor(kReg7100Mode), 0x00);
}

}  // namespace

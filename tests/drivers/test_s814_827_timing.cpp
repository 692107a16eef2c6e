// Gain, offset, exposure, bandwidth and frame timing of the 814 and 827
// classes: the registers a caller's settings end in, the 827's half lines,
// the bandwidth caps without the DDR buffer, and the register hold around
// every multi-register change.
#include <algorithm>
#include <cmath>

#include "test_s814_827_fixture.h"

namespace {

const SClassRow& Row(int pid) {
    for (const SClassRow& r : ClassRows())
        if (r.pid == pid) return r;
    return ClassRows().front();
}

class C814827TimingTest : public C814827Test {
  protected:
    // Line time in force, microseconds: the 827's line is two HMAX.
    double LineUs(bool is814) { return m_pCam->m_usHMAX.load() * 1000.0 / 20000.0 * (is814 ? 1 : 2); }
    bool SetExposure(long us) { return KYRSetControlValue(0, KYR_EXPOSURE, us, KYR_FALSE) == KYR_SUCCESS; }
    long long Shutter() { return SensorLE(0x3050, 3); }
    long long FpgaVMAX() { return Fpga(16, 3); }
};

// Conversion gain from 80 on, with the code starting again from 0; the 814
// writes a two-byte code, the 827 one byte.
TEST_F(C814827TimingTest, GainSwitchesConversionGainAt80) {
    const struct {
        int gain, stored, convGain, code;
    } cases[] = {{79, 79, 0, 26}, {80, 80, 1, 0}, {600, 600, 1, 173}, {601, 600, 1, 173}, {-5, 0, 0, 0}};
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row), nullptr);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.gain);
            const int writes3085 = m_dev.sensorWrites(0x3085);
            ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, c.gain, KYR_FALSE), KYR_SUCCESS);
            EXPECT_EQ(Control(KYR_GAIN), c.stored);
            EXPECT_EQ(Sensor(0x3034), c.convGain);
            EXPECT_EQ(Sensor(0x3084), c.code);
            EXPECT_EQ(m_dev.sensorWrites(0x3085) - writes3085, row.is814 ? 1 : 0);
        }
        if (row.is814) {
            EXPECT_EQ(Sensor(0x3085), 0);
        } else {
            EXPECT_EQ(m_dev.sensorWrites(0x3085), 0);
        }
    }
}

// The 814's offset runs to 400 in two bytes; the 827's to 200 in one.
TEST_F(C814827TimingTest, OffsetRangeAndRegistersPerModel) {
    const struct {
        int pid, offset, stored, low, high;
    } cases[] = {{kPid814, 500, 400, 0x90, 0x01},
                 {kPid814, 150, 150, 150, 0},
                 {kPid827, 500, 200, 200, -1},
                 {kPid827, 150, 150, 150, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " offset " << c.offset);
        ASSERT_NE(SetupRow(Row(c.pid)), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_OFFSET, c.offset, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Control(KYR_OFFSET), c.stored);
        EXPECT_EQ(Sensor(0x30DC), c.low);
        if (c.high >= 0) {
            EXPECT_EQ(Sensor(0x30DD), c.high);
        } else {
            EXPECT_EQ(m_dev.sensorWrites(0x30DD), 0);
        }
    }
}

// An exposure within the last six lines of the 814's frame gives the
// shortest shutter line, 6; one line more leaves 7.
TEST_F(C814827TimingTest, The814ShutterStopsSixLinesBeforeTheFrameEnds) {
    ASSERT_NE(SetupRow(Row(kPid814)), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const int vmax = 480 + 56;
    ASSERT_TRUE(SetExposure(1000));
    EXPECT_EQ(FpgaVMAX(), vmax);
    const double line = LineUs(true);
    for (int lines = vmax - 13; lines <= vmax - 6; ++lines) {
        SCOPED_TRACE(lines);
        ASSERT_TRUE(SetExposure(static_cast<long>((lines + 0.5) * line)));
        ASSERT_LE((lines + 0.5) * line, m_pCam->m_iFrameTimeUs.load());
        EXPECT_EQ(Shutter(), lines == vmax - 13 ? 7 : 6);
        EXPECT_EQ(FpgaVMAX(), vmax);
    }
}

// With sensor binning the 814's frame is 2 x rows + 58 lines within a frame
// and (exposure lines + 6) x 2 beyond it.
TEST_F(C814827TimingTest, The814SensorBinningFrameLength) {
    ASSERT_NE(SetupRow(Row(kPid814)), nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 480, 360, 2, IMG_RAW8), KYR_SUCCESS);
    ASSERT_TRUE(SetExposure(2000));
    ASSERT_LT(2000u, m_pCam->m_iFrameTimeUs.load());
    EXPECT_EQ(FpgaVMAX(), 2 * 360 + 58);
    ASSERT_TRUE(SetExposure(500000));
    const long long lines = static_cast<long long>(500000 / LineUs(true));
    EXPECT_EQ(FpgaVMAX(), (lines + 6) * 2);
    EXPECT_EQ(Shutter(), 6);
}

// The 827 at 1080 rows in normal mode: a frame of 2 x 1122 half lines, the
// shutter doubled: 12 at exactly one frame, 2 x (N - 6) below one line.
TEST_F(C814827TimingTest, The827CountsFrameAndShutterInHalfLines) {
    for (int pid : {kPid827, kPid827Pro}) {
        SCOPED_TRACE(testing::Message() << std::hex << pid);
        ASSERT_NE(SetupRow(Row(pid)), nullptr);
        ASSERT_TRUE(SetExposure(10000));
        EXPECT_EQ(FpgaVMAX(), 2244);
        EXPECT_EQ(m_pCam->m_iFrameTimeUs.load(), 17391u);
        ASSERT_TRUE(SetExposure(17391));
        EXPECT_EQ(Shutter(), 12);
        EXPECT_EQ(FpgaVMAX(), 2244);
        // The cooled class runs at the shortest line into its DDR buffer.
        if (pid == kPid827Pro) continue;
        // A line longer than the shortest exposure: 40 % bandwidth.
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 40, KYR_FALSE), KYR_SUCCESS);
        ASSERT_GT(LineUs(false), 32.0);
        ASSERT_TRUE(SetExposure(32));
        EXPECT_EQ(Shutter(), 2 * (1122 - 6));
        EXPECT_EQ(FpgaVMAX(), 2244);
        // The sensor's own frame length register is never written.
        EXPECT_EQ(m_dev.sensorWrites(0x3030), 0);
    }
}

// In long-exposure mode the frame follows the exposure on the uncooled
// classes and the frame time + 10 ms on the cooled ones.
TEST_F(C814827TimingTest, LongModeFrameLengthPerClass) {
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(2000000));
        const double line = LineUs(row.is814);
        const double programmed = row.pro ? m_pCam->m_iFrameTimeUs.load() + 10000.0 : 2000000.0;
        const long long lines = static_cast<long long>(programmed / line) + 6;
        EXPECT_EQ(FpgaVMAX(), row.is814 ? lines : 2 * lines);
        EXPECT_EQ(Shutter(), row.is814 ? 6 : 12);
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0xC0);  // wait and trigger mode
        ASSERT_TRUE(SetExposure(999999));
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
    }
}

// Without the DDR buffer the bandwidth is capped before the first automatic
// choice; the cooled classes pace the FPGA's output instead and run the
// sensor at its shortest line.
TEST_F(C814827TimingTest, BandwidthCapsWithoutTheDDRBuffer) {
    const struct {
        int pid;
        bool usb3;
        IMG_TYPE type;
        bool highSpeed;
        int asked;
        bool bAuto;
        int stored;
    } cases[] = {
        {kPid814, false, IMG_RAW8, false, 80, false, 52},
        {kPid814, false, IMG_RAW8, false, 50, true, 80},
        {kPid814, true, IMG_RAW16, false, 100, false, 70},
        {kPid814, true, IMG_RAW8, true, 100, false, 93},
        {kPid814, true, IMG_RAW8, false, 100, false, 100},
        {kPid827, true, IMG_RAW16, true, 100, false, 90},
        {kPid827, true, IMG_RAW8, true, 100, false, 100},
        {kPid827, true, IMG_RAW16, false, 100, false, 100},
        {kPid814Pro, false, IMG_RAW8, false, 80, false, 80},
        {kPid827Pro, true, IMG_RAW16, true, 100, false, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.pid << std::dec << (c.usb3 ? " usb3" : " usb2") << " type " << c.type
                     << (c.highSpeed ? " hs" : "") << " asked " << c.asked << (c.bAuto ? " auto" : ""));
        ASSERT_NE(SetupRow(Row(c.pid), c.usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, c.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, c.highSpeed ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
        // Off auto first, so that an automatic request is the first.
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 60, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, c.asked, c.bAuto ? KYR_TRUE : KYR_FALSE), KYR_SUCCESS);
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(Control(KYR_BANDWIDTH, &bAuto), c.stored);
        EXPECT_EQ(bAuto, c.bAuto ? KYR_TRUE : KYR_FALSE);
    }
}

// With the DDR buffer the line is the mode's shortest and the FPGA paces
// the output at 381000 x percent / 400000; without it the pacing registers
// are never written.
TEST_F(C814827TimingTest, DDRPacesTheOutputAndTheUncooledNeverPace) {
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 60, KYR_FALSE), KYR_SUCCESS);
        int pacingWrites = 0;
        for (const kyrsim::Request& r : kyrsim::requests(0xBD, m_dev.handle()))
            if (r.value == 36 || r.value == 37) ++pacingWrites;
        const int minHMAX = row.is814 ? 300 : 155;
        EXPECT_EQ(SensorLE(0x3028, 2), static_cast<long long>(Fpga(19, 2) * 1.85625));
        if (!row.pro) {
            EXPECT_EQ(pacingWrites, 0);
            EXPECT_GT(Fpga(19, 2), minHMAX);  // 60 % of the link: a longer line
            continue;
        }
        EXPECT_GT(pacingWrites, 0);
        EXPECT_EQ(Fpga(19, 2), minHMAX);
        const double percent = 25600.0 / (Fpga(36, 2) + 256.0);
        EXPECT_NEAR(percent, 381000.0 * 60 / 400000, 0.5);
    }
}

// A fresh 827 without DDR on a USB-3 port after initialisation, and a fresh
// 814 without DDR on USB 2 asked for 80 %.
TEST_F(C814827TimingTest, FreshCamerasStartWithTheModelsTiming) {
    ASSERT_NE(SetupRow(Row(kPid827)), nullptr);
    EXPECT_EQ(Fpga(19, 2), 155);
    EXPECT_EQ(FpgaVMAX(), 2244);
    EXPECT_EQ(Shutter(), 942);
    ASSERT_NE(SetupRow(Row(kPid814), false), nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Control(KYR_BANDWIDTH), 52);
}

// The 814 without DDR on USB 2 (capped at 52 %): the line the link carries
// is 1e6 / fps / (rows + 56 extra lines) x 0.5 us, with fps = 43272000 /
// bytes a pixel / rows / columns; its clocks at 20 MHz are truncated before
// the mode's shortest line (300, 444 for 16-bit data) is taken, and the
// result is stretched by 100 / 52. Rounding instead of truncating would
// give 1663 and 3326 for the full frames.
TEST_F(C814827TimingTest, The814LineLengthStretchesTheLinkLineBeforeItIsTruncated) {
    const struct {
        int width, height;
        IMG_TYPE type;
        int shortest;
        long long hmax;
    } cases[] = {
        {3840, 2160, IMG_RAW8, 300, 1663},   // 864.98 clocks x 100 / 52 (1661 truncated first)
        {3840, 2160, IMG_RAW16, 444, 3326},  // 1729.97 clocks x 100 / 52 (3325 truncated first)
        {640, 480, IMG_RAW8, 300, 576},      // 132.4 clocks: the shortest line x 100 / 52
    };
    ASSERT_NE(SetupRow(Row(kPid814), false), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " type " << c.type);
        ASSERT_EQ(KYRSetROIFormat(0, c.width, c.height, 1, c.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(Control(KYR_BANDWIDTH), 52);
        const int bpp = c.type == IMG_RAW16 ? 2 : 1;
        const double fps = 43272.0 * 100 * 10 / bpp / c.height / c.width;
        const double lineUs = 1000000.0 / fps / (c.height + 56) * 0.5;
        const double link = 20000 * lineUs / 1000;
        const double clocks = std::max<double>(link, c.shortest);
        EXPECT_EQ(static_cast<long long>(clocks * 100 / 52), c.hmax);
        EXPECT_EQ(Fpga(19, 2), c.hmax);
        EXPECT_EQ(SensorLE(0x3028, 2), static_cast<long long>(c.hmax * 1.85625));
    }
}

// The 827's frame period on the camera follows the doubled frame length:
// 2 x 1122 half lines of 155 clocks at 20 MHz.
TEST_F(C814827TimingTest, The827VideoRunsAtItsHalfLineFramePeriod) {
    ASSERT_NE(SetupRow(Row(kPid827)), nullptr);
    ASSERT_TRUE(SetExposure(10000));
    EXPECT_EQ(m_dev.query(KYRSIM_Q_SENSOR_PERIOD_US), 17391);
    EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAME_PERIOD_US), 17391);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::vector<unsigned char> img(1920u * 1080);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs814827), KYR_SUCCESS)
            << i;
    }
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    long long starts[256];
    const int n = kyrsim_frame_starts(m_dev.handle(), starts, 256);
    ASSERT_GE(n, 6);
    long long shortest = -1;
    for (int i = 1; i < n; ++i) {
        const long long gap = starts[i] - starts[i - 1];
        EXPECT_GE(gap, 17391) << i;
        if (shortest < 0 || gap < shortest) shortest = gap;
    }
    // A reader that keeps up sees frames at the period, not at twice it.
    if (kTestSlowdown == 1) {
        EXPECT_LT(shortest, 17391 * 3 / 2);
    }
}

// Every multi-register change of these classes writes its registers inside
// one hold: gain, offset, shutter, sensor HMAX, window, start and modes.
TEST_F(C814827TimingTest, EveryChangeWritesItsRegistersInsideOneHold) {
    const std::vector<uint16_t> held = {0x3034, 0x3084, 0x3085, 0x30DC, 0x30DD, 0x3050, 0x3051,
                                        0x3052, 0x3028, 0x3029, 0x303C, 0x303D, 0x3044, 0x3045,
                                        0x303E, 0x303F, 0x3046, 0x3047, 0x301C, 0x3020, 0x3021,
                                        0x3022, 0x3031, 0x3032, 0x30D5};
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 300, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_OFFSET, 50, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(5000));
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 70, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 360, 1, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 48, 24), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
        if (row.is814) {
            ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
            ASSERT_EQ(KYRSetROIFormat(0, 240, 180, 2, IMG_RAW8), KYR_SUCCESS);
        }
        ASSERT_TRUE(SetExposure(1500000));
        ASSERT_TRUE(SetExposure(3000));
        ASSERT_TRUE(VideoFrame());
        const SHoldReport holds = CheckHolds(m_dev.handle(), held);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        EXPECT_GT(holds.iHolds, 10);
    }
}

}  // namespace

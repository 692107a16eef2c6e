// The 802's gain, offset, exposure and bandwidth as the simulated camera
// receives them: the analog gain with its 6 dB digital steps and the sensor
// pair of the mode, the mode chosen by the requested type, the fixed frame
// with its shutter line, and the line length inside the FPGA's latch.
#include "test_s802_fixture.h"

namespace {

constexpr int kFixedVMAX = 3083;
constexpr int kClockKHz = 20000;

class C802TimingTest : public C802Test {
  protected:
    void SetUp() override {
        C802Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
    }

    int HMAX() {
        return Locked([this] { return static_cast<int>(m_pCam->m_usHMAX); });
    }

    // High speed and image type through the exported functions.
    void Mode(bool highSpeed, IMG_TYPE type) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, highSpeed ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, type), KYR_SUCCESS);
    }
};

TEST_F(C802TimingTest, GainSplitsIntoAnalogCodeAndDigitalSteps) {
    const struct {
        int gain, stored, code, digital;
    } cases[] = {{200, 200, 1843, 0}, {271, 271, 1867, 1}, {330, 330, 1956, 1},
                 {500, 450, 1956, 3}, {270, 270, 1956, 0}, {0, 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, c.gain, KYR_FALSE), KYR_SUCCESS);
        long value = -1;
        KYR_BOOL bAuto = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_GAIN, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, c.stored);
        EXPECT_EQ(m_dev.sensor(0x0009) | (m_dev.sensor(0x000A) << 8), c.code);
        EXPECT_EQ(m_dev.sensor(0x0011), c.digital);
    }
}

TEST_F(C802TimingTest, GainPairFollowsTheSensorMode) {
    const struct {
        bool highSpeed;
        IMG_TYPE type;
        int p, q;
    } cases[] = {{true, IMG_RAW8, 39, 38}, {false, IMG_RAW8, 60, 59}, {true, IMG_RAW16, 60, 59}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "high speed " << c.highSpeed << " type " << c.type);
        ASSERT_NO_FATAL_FAILURE(Mode(c.highSpeed, c.type));
        ASSERT_TRUE(m_dev.setSensor(0x0353, 0x55));
        ASSERT_TRUE(m_dev.setSensor(0x0357, 0x55));
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 100, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x0009) | (m_dev.sensor(0x000A) << 8), 1400);
        EXPECT_EQ(m_dev.sensor(0x0352), c.p);
        EXPECT_EQ(m_dev.sensor(0x0356), c.q);
        EXPECT_EQ(m_dev.sensor(0x0353), 0);
        EXPECT_EQ(m_dev.sensor(0x0357), 0);
    }
}

// Codes between two published ranges join the lower one: the ranges are
// contiguous and the pair never jumps to the highest one.
TEST(GainPair802, TenBitRangesAreContiguous) {
    const struct {
        int code, p, q;
    } cases[] = {{326, 30, 29},  {327, 30, 29},  {328, 32, 31},  {1024, 32, 31}, {1025, 32, 31},
                 {1026, 37, 36}, {1324, 37, 36}, {1325, 37, 36}, {1326, 39, 38}, {1686, 39, 38},
                 {1687, 39, 38}, {1688, 43, 42}, {1867, 43, 42}, {1868, 47, 46}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(CCameraS802MC::GainPair(c.code, true), std::make_pair(c.p, c.q));
        EXPECT_EQ(CCameraS802MC::GainPair(c.code, false), std::make_pair(60, 59));
    }
}

// The mode follows the type asked for, not the one being left: high speed
// with 8-bit output is the 10-bit mode, 16-bit output the 12-bit one.
TEST_F(C802TimingTest, TypeChangeInHighSpeedSelectsTheModeOfTheNewType) {
    ASSERT_NO_FATAL_FAILURE(Mode(true, IMG_RAW8));
    const struct {
        IMG_TYPE type;
        int mode05, fmt, minHMAX;
    } cases[] = {{IMG_RAW16, 0x07, 0x11, 180}, {IMG_RAW8, 0x01, 0x00, 150}, {IMG_RAW16, 0x07, 0x11, 180}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const int from = LogSize();
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, c.type), KYR_SUCCESS);
        EXPECT_EQ(SensorWritesOf(0x0005, from), std::vector<int>{c.mode05});
        EXPECT_EQ(m_dev.fpga(10), c.fmt);
        EXPECT_EQ(Locked([this] { return Cam().g_iMinHMAX; }), c.minHMAX);
        EXPECT_GE(HMAX(), c.minHMAX);
    }
}

TEST_F(C802TimingTest, OffsetIsClampedAndWrittenHighByteFirst) {
    const struct { int offset, stored; } cases[] = {{50, 50}, {100, 80}, {-5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        const int from = LogSize();
        ASSERT_EQ(KYRSetControlValue(0, KYR_OFFSET, c.offset, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(SensorWritesOf(0x0045, from), (std::vector<int>{0, c.stored}));
        long value = -1;
        KYR_BOOL bAuto = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_OFFSET, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, c.stored);
    }
}

TEST_F(C802TimingTest, ExposureProgramsTheFixedFrameAndItsShutterLine) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 100, KYR_FALSE), KYR_SUCCESS);
    const int hmax = HMAX();
    ASSERT_GT(hmax, 0);
    const double lineUs = hmax * 1000.0 / kClockKHz;
    // The exposure whose lines (after the 201-clock offset) reach n.
    auto exposureOfLines = [hmax](long long n) { return (n * hmax + 201 + kClockKHz / 1000 - 1) / 20; };
    const struct {
        const char* what;
        long long us;
        long long vmax, shr;
    } cases[] = {
        {"shortest", 32, kFixedVMAX, kFixedVMAX - 4},
        {"lines to VMAX - 10", exposureOfLines(kFixedVMAX - 10), kFixedVMAX, 10},
        {"lines to VMAX - 8", exposureOfLines(kFixedVMAX - 8), kFixedVMAX, 8},
        {"lines to VMAX - 7", exposureOfLines(kFixedVMAX - 7), kFixedVMAX, 8},
        {"lines to VMAX - 5", exposureOfLines(kFixedVMAX - 5), kFixedVMAX, 8},
        {"longer than the frame", 500000, static_cast<long long>(500000 / lineUs) + 8, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (int reg = 0x000D; reg <= 0x0010; ++reg) ASSERT_TRUE(m_dev.setSensor(reg, 0x5A));
        const int from = LogSize();
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, static_cast<long>(c.us), KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpgaWide(16, 3), c.vmax);
        EXPECT_EQ(m_dev.sensor(0x000B) | (m_dev.sensor(0x000C) << 8), c.shr);
        for (int reg = 0x000D; reg <= 0x0010; ++reg) EXPECT_EQ(m_dev.sensor(reg), 0) << reg;
        const SLatchReport latches = CheckLatches(m_dev.handle(), LatchedGroups802(), from);
        EXPECT_TRUE(latches.Clean()) << latches.Text();
        EXPECT_GE(latches.iLatches, 1);
        EXPECT_EQ(Locked([this] { return m_pCam->m_iExpLines.load(); }),
                  static_cast<int>(c.vmax - c.shr - 2));
    }
}

TEST_F(C802TimingTest, BandwidthSetsTheLineLengthInsideTheLatchOnly) {
    const struct {
        bool highSpeed;
        int percent;
        int minHMAX;
    } cases[] = {{false, 100, 180}, {false, 80, 180}, {false, 40, 180}, {true, 100, 150}, {true, 40, 150}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "high speed " << c.highSpeed << " " << c.percent << "%");
        ASSERT_NO_FATAL_FAILURE(Mode(c.highSpeed, IMG_RAW8));
        const int from = LogSize();
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, c.percent, KYR_FALSE), KYR_SUCCESS);
        // A small window: the USB rate allows any line, the mode's shortest sets it.
        EXPECT_EQ(m_dev.fpgaWide(19, 2), c.minHMAX * 100 / c.percent);
        EXPECT_EQ(HMAX(), c.minHMAX * 100 / c.percent);
        const SLatchReport latches = CheckLatches(m_dev.handle(), LatchedGroups802(), from);
        EXPECT_TRUE(latches.Clean()) << latches.Text();
        for (const auto& w : FpgaWrites(m_dev.handle(), from)) {
            EXPECT_NE(w.first, 36);
            EXPECT_NE(w.first, 37);
        }
        // The sensor hears only the exposure that follows: no line length of its own.
        for (const auto& w : SensorWrites(m_dev.handle(), from)) {
            EXPECT_GE(w.first, 0x000B);
            EXPECT_LE(w.first, 0x0010);
        }
    }
    // The full frame: the USB rate sets a longer line than the mode's shortest.
    ASSERT_NO_FATAL_FAILURE(Mode(false, IMG_RAW8));
    ASSERT_EQ(KYRSetROIFormat(0, 4072, 3040, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 100, KYR_FALSE), KYR_SUCCESS);
    EXPECT_GT(m_dev.fpgaWide(19, 2), 180);
}

}  // namespace

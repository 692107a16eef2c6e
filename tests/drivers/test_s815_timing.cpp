// Exposure, gain, offset and bandwidth of the 815 and 801 classes as the
// sensor and the FPGA receive them. Expected values are worked out here from
// the family's rules: line time = HMAX x 1000 / 20000 kHz; VMAX = readout
// rows + extra lines (the 815 adds 56, the 801 2072); the shutter line SHR
// counted from the frame's end with a margin of 5 (815) or 9 (801; 17 in
// its hardware-bin mode); the 815 counts an exposure's lines after an
// offset time of 2.303 us (1.468 us in high speed); host constant 381000.
#include <cmath>

#include "test_s815_fixture.h"

namespace {

constexpr int kClockKHz = 20000;

struct SClass {
    int pid;
    int cols, rows, extra;
    int margin;
    int minHMAX;
    bool pacing;  // the FPGA's output pacing is programmed
};
const SClass kClasses[] = {
    {kPid815, 3840, 2160, 56, 5, 213, true},
    {kPid815Pro, 3840, 2160, 56, 5, 213, true},
    {kPid801, 2616, 1960, 2072, 9, 155, false},
    {kPid801Pro, 2616, 1960, 2072, 9, 155, true},
};

// The FPGA pacing value of a percentage of the whole output (never below 1).
long long PacingOf(double percent) {
    const float v = 25600.0f / static_cast<float>(percent) - 256.0f;
    return v < 1.0f ? 1 : static_cast<long long>(v);
}

class CFamilyTimingTest : public CFamilyTest {
  protected:
    long long VMAX() { return m_dev.fpgaWide(16, 3); }
    long long HMAX() { return m_dev.fpgaWide(19, 2); }
    long long SHR() { return Sensor24(0x3058); }
    double LineUs() { return HMAX() * 1000.0 / kClockKHz; }
    int FpgaWrites(int reg) {
        int n = 0;
        for (const auto& r : kyrsim::requests(0xBD, m_dev.handle()))
            if (r.value == reg) ++n;
        return n;
    }
};

TEST_F(CFamilyTimingTest, GainIsAThirdWithoutConversionGainSwitch) {
    for (const SClass& c : kClasses) {
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const struct {
            long set, stored, code;
        } gains[] = {{601, 600, 200}, {-1, 0, 0},      {0, 0, 0},
                     {300, 300, 100}, {599, 599, 199}, {100, 100, 33}};
        for (const auto& g : gains) {
            SCOPED_TRACE(g.set);
            ASSERT_EQ(Set(KYR_GAIN, g.set), KYR_SUCCESS);
            EXPECT_EQ(m_pCam->m_iGain, g.stored);
            EXPECT_EQ(m_dev.sensor(0x30E8), g.code);
            EXPECT_EQ(m_dev.sensor(0x30E9), 0);
        }
        const struct { long set, stored; } offsets[] = {{0, 0}, {150, 150}, {200, 200}, {250, 200}, {-5, 0}};
        for (const auto& o : offsets) {
            SCOPED_TRACE(o.set);
            ASSERT_EQ(Set(KYR_OFFSET, o.set), KYR_SUCCESS);
            EXPECT_EQ(m_pCam->m_iBrightness, o.stored);
            EXPECT_EQ(Sensor16(0x3302), o.stored);
        }
    }
}

TEST_F(CFamilyTimingTest, ShortExposuresKeepTheFrameAndMoveTheShutterLine) {
    for (const SClass& c : kClasses) {
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const long long vmax = c.rows + c.extra;
        const double offset = Is815(c.pid) ? 2.303 : 0.0;
        for (long e : {32L, 1000L, 10000L, 20000L}) {
            SCOPED_TRACE(e);
            ASSERT_EQ(Set(KYR_EXPOSURE, e), KYR_SUCCESS);
            ASSERT_LE(e, static_cast<long>(m_pCam->m_iFrameTimeUs));
            const long long lines = static_cast<long long>(std::max(0.0, (e - offset) / LineUs()));
            long long shr = lines < vmax - c.margin ? vmax - c.margin - lines : c.margin;
            shr = std::min(std::max(shr, static_cast<long long>(c.margin)), vmax - c.margin);
            EXPECT_EQ(VMAX(), vmax);
            EXPECT_EQ(SHR(), shr);
            EXPECT_EQ(m_pCam->m_iExpLines, vmax - (Is815(c.pid) ? 5 : 6) - shr);
            // The 801's sensor keeps the same frame length as the FPGA.
            if (!Is815(c.pid)) {
                EXPECT_EQ(Sensor24(0x3030), VMAX());
            }
        }
        // Exactly one frame: the longest shutter, the margin itself.
        ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(m_pCam->m_iFrameTimeUs)), KYR_SUCCESS);
        EXPECT_EQ(SHR(), c.margin);
        EXPECT_EQ(VMAX(), vmax);
    }
}

TEST_F(CFamilyTimingTest, The815CountsLinesAfterTheOffsetTimeOfItsSpeed) {
    for (int pid : {kPid815, kPid815Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        for (bool highSpeed : {false, true}) {
            SCOPED_TRACE(highSpeed);
            ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, highSpeed ? 1 : 0), KYR_SUCCESS);
            // 1.9 us into line 400: a line more in high speed than without.
            const double line = LineUs();
            const long e = static_cast<long>(std::ceil(400 * line + 1.9));
            ASSERT_EQ(Set(KYR_EXPOSURE, e), KYR_SUCCESS);
            const double offset = highSpeed ? 1.468 : 2.303;
            const long long lines = static_cast<long long>((e - offset) / line);
            EXPECT_EQ(SHR(), VMAX() - 5 - lines);
        }
    }
}

TEST_F(CFamilyTimingTest, LongExposuresProgramTheSensorPerClass) {
    for (const SClass& c : kClasses) {
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const double offset = Is815(c.pid) ? 2.303 : 0.0;
        for (long long e : {2000000LL, 2000000000LL}) {
            SCOPED_TRACE(e);
            const long long frame = m_pCam->m_iFrameTimeUs;
            kyrsim::clearLog();
            ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(e)), KYR_SUCCESS);
            EXPECT_TRUE(m_pCam->m_bLongExpMode);
            EXPECT_EQ(m_pCam->m_lExpTimeUs, static_cast<unsigned long long>(e));
            // The Pros program a frame plus 10 ms (the FPGA times the
            // exposure); the uncooled cameras the exposure itself.
            const double programmed = IsPro(c.pid) ? frame + 10000.0 : static_cast<double>(e);
            const long long vmax =
                std::min(static_cast<long long>((programmed - offset) / LineUs()) + c.margin, 0xFFFFFFLL);
            EXPECT_EQ(VMAX(), vmax);
            EXPECT_EQ(SHR(), c.margin);
            if (!Is815(c.pid)) {
                EXPECT_EQ(Sensor24(0x3030), vmax);
            }
        }
        // Leaving long mode switches the FPGA's wait and trigger modes off.
        ASSERT_EQ(Set(KYR_EXPOSURE, 10000), KYR_SUCCESS);
        EXPECT_FALSE(m_pCam->m_bLongExpMode);
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
    }
}

TEST_F(CFamilyTimingTest, EnteringLongModeLeavesTheFPGAToThe815sCaptureLoop) {
    for (const SClass& c : kClasses) {
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        kyrsim::clearLog();
        ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
        EXPECT_TRUE(m_pCam->m_bLongExpMode);
        EXPECT_EQ(FpgaWrites(0) > 0, !Is815(c.pid));
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, Is815(c.pid) ? 0 : 0xC0);
        ASSERT_EQ(Set(KYR_EXPOSURE, 999999), KYR_SUCCESS);
        EXPECT_FALSE(m_pCam->m_bLongExpMode);
    }
}

TEST_F(CFamilyTimingTest, The801sHardwareBinModeKeepsASeventeenLineMargin) {
    for (int pid : {kPid801, kPid801Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 1308, 980, 2, IMG_RAW8), KYR_SUCCESS);
        const long long vmax = 1960 + 42;
        ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(m_pCam->m_iFrameTimeUs)), KYR_SUCCESS);
        EXPECT_EQ(SHR(), 17);
        EXPECT_EQ(VMAX(), vmax);
        ASSERT_EQ(Set(KYR_EXPOSURE, 100), KYR_SUCCESS);
        const long long lines = static_cast<long long>(100 / LineUs());
        EXPECT_EQ(SHR(), vmax - 17 - lines);
        EXPECT_EQ(Sensor24(0x3030), vmax);
        // Without the hardware bin the margin is 9 again.
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(m_pCam->m_iFrameTimeUs)), KYR_SUCCESS);
        EXPECT_EQ(SHR(), 9);
    }
}

TEST_F(CFamilyTimingTest, BandwidthWithoutDDRFollowsTheLinkWithoutA90PercentCap) {
    for (const SClass& c : kClasses) {
        if (IsPro(c.pid)) continue;
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, c.cols, c.rows, 1, IMG_RAW16), KYR_SUCCESS);
        if (!c.pacing) {
            EXPECT_EQ(FpgaWrites(36), 0);
        }
        kyrsim::clearLog();
        ASSERT_EQ(Set(KYR_BANDWIDTH, 95), KYR_SUCCESS);
        const double fps = 381000.0 * 100 * 10 / 2 / c.rows / c.cols;
        const double lineUs = 1000000.0 / fps / (c.rows + c.extra);
        long long hmax = static_cast<long long>(kClockKHz * lineUs / 1000);
        if (hmax < c.minHMAX) hmax = c.minHMAX;
        EXPECT_EQ(HMAX(), hmax * 100 / 95);
        EXPECT_EQ(Sensor16(0x3034), static_cast<int>(HMAX() * 1.85625));
        // The 815MC paces its output at 100 %; the 801MC never writes the pacing.
        EXPECT_EQ(FpgaWrites(36), c.pacing ? 1 : 0);
        if (c.pacing) {
            EXPECT_EQ(m_dev.fpgaWide(36, 2), PacingOf(100));
        }
    }
    // Sensor binning does not double the 815's rows (on a USB2 host, where
    // the link and not the shortest line sets the line length).
    ASSERT_NE(Fresh(kPid815, false), nullptr);
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_BANDWIDTH, 100), KYR_SUCCESS);
    const double fps = 43272.0 * 100 * 10 / 2 / 1080 / 1920;
    const long long hmax = static_cast<long long>(kClockKHz * (1000000.0 / fps / (1080 + 42)) / 1000);
    ASSERT_GT(hmax, 2 * 213);
    EXPECT_EQ(HMAX(), hmax);
    EXPECT_EQ(VMAX(), 1080 + 42);
}

TEST_F(CFamilyTimingTest, TheProsWithDDRRunAtTheShortestLineAndPaceFrom381000) {
    for (const SClass& c : kClasses) {
        if (!IsPro(c.pid)) continue;
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        for (int percent : {40, 80, 100}) {
            SCOPED_TRACE(percent);
            ASSERT_EQ(Set(KYR_BANDWIDTH, percent), KYR_SUCCESS);
            EXPECT_EQ(HMAX(), c.minHMAX);
            EXPECT_EQ(m_dev.fpgaWide(36, 2), PacingOf(381000.0 * percent / 400000));
            // The transfer time counts from the same constant.
            const double rate = 381000.0 * percent * 10 / 1000 / 1000;
            EXPECT_EQ(static_cast<long long>(m_pCam->m_iXferTimeUs),
                      static_cast<long long>(c.cols * c.rows / rate));
        }
    }
    // The 801's hardware-bin mode has a longer shortest line.
    ASSERT_NE(Fresh(kPid801Pro), nullptr);
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 1308, 980, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(HMAX(), 282);
}

TEST_F(CFamilyTimingTest, EverySetterWritesInsideOneHold) {
    for (const SClass& c : kClasses) {
        SCOPED_TRACE(c.pid);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_GAIN, 300), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_OFFSET, 30), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 5000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 3000000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 70), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 2, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 333, 555), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegsFamily(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        EXPECT_GT(holds.iHolds, 8);
    }
}

}  // namespace

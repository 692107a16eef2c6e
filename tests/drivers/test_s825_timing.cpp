// Gain, exposure and bandwidth of the 825 as the sensor and the FPGA receive
// them. Expected values are worked out here from the sensor's rules: gain
// code gain / 3 below 80, (gain - 80) / 3 with the conversion-gain switch
// 0x3019 on from 80; line time HMAX x 1000 / 20000 kHz; VMAX = rows + 56,
// to the FPGA and to 0x3030-0x3032; shutter line SHR counted from the
// frame's end with a margin of 6; the link's host constant 381000.
#include "test_s825_fixture.h"

namespace {

constexpr int kClockKHz = 20000;
constexpr int kExtraLines = 56;
constexpr int kMargin = 6;

class C825TimingTest : public C825Test {
  protected:
    long long SHR() { return Sensor24(0x3058); }
    double LineUs() { return FpgaHMAX() * 1000.0 / kClockKHz; }
};

TEST_F(C825TimingTest, GainSwitchesToHighConversionGainAt80) {
    const struct {
        long set, stored;
        int highConv, code;
    } cases[] = {
        {79, 79, 0, 26}, {80, 80, 1, 0},    {700, 600, 1, 173}, {600, 600, 1, 173}, {-1, 0, 0, 0},
        {0, 0, 0, 0},    {200, 200, 1, 40}, {81, 81, 1, 0},     {83, 83, 1, 1},     {78, 78, 0, 26},
    };
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.set);
            const int from = kyrsim_log_count();
            ASSERT_EQ(Set(KYR_GAIN, c.set), KYR_SUCCESS);
            EXPECT_EQ(m_pCam->m_iGain, c.stored);
            EXPECT_EQ(m_dev.sensor(0x3019), c.highConv);
            EXPECT_EQ(m_dev.sensor(0x30E8), c.code);
            EXPECT_EQ(m_dev.sensor(0x30E9), 0);
            // Switch and code change together, inside one hold.
            const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs825(), 0x3001, from);
            EXPECT_TRUE(holds.Clean()) << holds.Text();
            EXPECT_EQ(holds.iHolds, 1);
        }
    }
}

// A 100-row window at bin 1 and 40 % bandwidth: the uncooled camera's line
// is the shortest line 404 at 100 / 40, the Pro's the shortest line itself.
TEST_F(C825TimingTest, AHundredRowWindowAt40PercentRunsFramesOf156Lines) {
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 100, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 40), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 32), KYR_SUCCESS);
        const long long hmax = pid == kPid825 ? 1010 : 404;
        EXPECT_EQ(FpgaHMAX(), hmax);
        EXPECT_EQ(Sensor16(0x3034), static_cast<int>(hmax * 1.85625));
        EXPECT_EQ(FpgaVMAX(), 156);
        EXPECT_EQ(Sensor24(0x3030), 156);
        // Under one line on the uncooled camera; the Pro's shorter line fits one.
        const int lines32 = pid == kPid825 ? 0 : 1;
        ASSERT_EQ(static_cast<int>(32 / LineUs()), lines32);
        EXPECT_EQ(SHR(), 150 - lines32);
        EXPECT_EQ(m_pCam->m_iExpLines, lines32);
        // Exactly one frame: the longest shutter, the margin itself.
        ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(m_pCam->m_iFrameTimeUs)), KYR_SUCCESS);
        EXPECT_EQ(SHR(), kMargin);
        EXPECT_EQ(FpgaVMAX(), 156);
        EXPECT_EQ(Sensor24(0x3030), 156);
        // In between the shutter line moves by whole lines, never below the margin.
        for (long e : {500L, 1000L, 2000L, 3000L}) {
            SCOPED_TRACE(e);
            ASSERT_EQ(Set(KYR_EXPOSURE, e), KYR_SUCCESS);
            ASSERT_LE(e, static_cast<long>(m_pCam->m_iFrameTimeUs));
            const long long lines = static_cast<long long>(e / LineUs());
            EXPECT_EQ(SHR(), std::max(156 - kMargin - lines, static_cast<long long>(kMargin)));
            EXPECT_EQ(FpgaVMAX(), 156);
        }
        // The frame time counts the 56 extra lines.
        EXPECT_EQ(m_pCam->m_iFrameTimeUs, static_cast<int>(156 * LineUs()));
    }
}

TEST_F(C825TimingTest, ProAndUncooledProgramLongExposuresDifferently) {
    for (int pid : k825Pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        for (long long e : {2000000LL, 2000000000LL}) {
            SCOPED_TRACE(e);
            const double frame = m_pCam->m_iFrameTimeUs;
            ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(e)), KYR_SUCCESS);
            EXPECT_TRUE(m_pCam->m_bLongExpMode);
            EXPECT_EQ(m_pCam->m_lExpTimeUs, static_cast<unsigned long long>(e));
            // The Pro runs frames of a frame + 10 ms while the FPGA times the
            // exposure; the uncooled camera is programmed for the exposure.
            const double programmed = pid == kPid825Pro ? frame + 10000.0 : static_cast<double>(e);
            const long long vmax =
                std::min(static_cast<long long>(programmed / LineUs()) + kMargin, 0xFFFFFFLL);
            EXPECT_EQ(FpgaVMAX(), vmax);
            EXPECT_EQ(Sensor24(0x3030), vmax);
            EXPECT_EQ(SHR(), kMargin);
            // The template arms the FPGA's wait and trigger modes with long mode.
            EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0xC0);
        }
        ASSERT_EQ(Set(KYR_EXPOSURE, 10000), KYR_SUCCESS);
        EXPECT_FALSE(m_pCam->m_bLongExpMode);
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
        EXPECT_EQ(FpgaVMAX(), 480 + kExtraLines);
    }
}

TEST_F(C825TimingTest, BandwidthWithoutDDRFollowsTheLinkAndTheProPacesFrom381000) {
    // The uncooled camera on a USB 2 host with a full-size 16-bit frame: the
    // link, not the shortest line, sets the line length; it never paces the
    // FPGA output.
    ASSERT_NE(Fresh(kPid825, false), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, k825Width, k825Height, 1, IMG_RAW16), KYR_SUCCESS);
    kyrsim::clearLog();
    ASSERT_EQ(Set(KYR_BANDWIDTH, 90), KYR_SUCCESS);
    const double fps = 43272.0 * 100 * 10 / 2 / k825Height / k825Width;
    long long hmax =
        static_cast<long long>(kClockKHz * (1000000.0 / fps / (k825Height + kExtraLines)) / 1000);
    ASSERT_GT(hmax, 404);
    EXPECT_EQ(FpgaHMAX(), hmax * 100 / 90);
    EXPECT_TRUE(kyrsim::requests(0xBD, m_dev.handle()).size() > 0);
    for (const auto& r : kyrsim::requests(0xBD, m_dev.handle())) EXPECT_NE(r.value, 36);

    // The Pro with its DDR runs the shortest line and paces the output.
    ASSERT_NE(Fresh(kPid825Pro), nullptr);
    for (int percent : {40, 80, 100}) {
        SCOPED_TRACE(percent);
        ASSERT_EQ(Set(KYR_BANDWIDTH, percent), KYR_SUCCESS);
        EXPECT_EQ(FpgaHMAX(), 404);
        const float pacing = 25600.0f / static_cast<float>(381000.0 * percent / 400000) - 256.0f;
        EXPECT_EQ(m_dev.fpgaWide(36, 2), pacing < 1.0f ? 1 : static_cast<long long>(pacing));
    }
}

}  // namespace

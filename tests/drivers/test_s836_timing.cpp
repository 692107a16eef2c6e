// Gain, exposure and bandwidth of the 836 as the sensor and the FPGA receive
// them: the gain pair with the conversion-gain bit, the SHS shutter with the
// FPGA's VMAX, long-exposure mode with low power, and the line length set in
// the FPGA only. Line time = HMAX x 1000 / 20000 kHz; a frame is readout rows
// + 18 lines.
#include <string>

#include "test_s836_fixture.h"

namespace {

class C836TimingTest : public C836Test {
  protected:
    // An 836 on a USB3 host at 40 % bandwidth with a 640 x 102 window: the
    // link allows a line far shorter than the sensor's shortest (274), so
    // HMAX = 274 x 100 / 40 = 685, a line of 34.25 us and a frame of 120
    // lines = 4110 us.
    void Slow(int pid = kPid836) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 102, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 40), KYR_SUCCESS);
        ASSERT_EQ(HMAX(m_dev), 685);
        ASSERT_EQ(m_pCam->m_iFrameTimeUs, 4110u);
    }

    // What the FPGA's mode bits and low power did from log entry `from` on,
    // in order: "wait on", "trigger off", "low power on", ...
    std::vector<std::string> ModeEvents(int from, int ctrl, int power) const {
        std::vector<std::string> events;
        const struct {
            int reg, bit;
            const char* name;
        } bits[] = {{0, 0x40, "wait"}, {0, 0x80, "trigger"}, {25, 0x01, "low power"}};
        for (const kyrsim::Request& r : Log(from)) {
            if (r.request != kWriteFpga || (r.value != 0 && r.value != 25)) continue;
            int& old = r.value == 0 ? ctrl : power;
            for (const auto& b : bits)
                if (b.reg == r.value && ((old ^ r.index) & b.bit))
                    events.push_back(std::string(b.name) + ((r.index & b.bit) ? " on" : " off"));
            old = r.index;
        }
        return events;
    }
};

// ---- Gain -----------------------------------------------------------------------------------------

TEST_F(C836TimingTest, GainIsOnePairWithTheConversionGainBitInsideTheHold) {
    ASSERT_NE(Setup(), nullptr);
    const struct {
        int gain, stored, code;
        bool hcg;
    } cases[] = {
        {60, 60, 60, false},   {61, 61, 1, true}, {700, 600, 540, true}, {-5, 0, 0, false},
        {600, 600, 540, true}, {0, 0, 0, false},  {300, 300, 240, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        const int from = kyrsim_log_count();
        ASSERT_TRUE(Locked([&] { return m_pCam->SetGain(c.gain, false); }));
        EXPECT_EQ(m_pCam->m_iGain, c.stored);
        EXPECT_EQ(m_dev.sensor(0x3014), c.code & 0xFF);
        EXPECT_EQ(m_dev.sensor(0x3015), c.code >> 8);
        EXPECT_EQ((m_dev.sensor(0x3009) & 0x10) != 0, c.hcg);
        // The ADC bit of the mode stays as it was.
        EXPECT_EQ(m_dev.sensor(0x3009) & 0x01, 0x01);
        const std::vector<SHeldWrite> writes = HeldWrites(m_dev.handle(), from);
        ASSERT_EQ(writes.size(), 3u);
        for (const SHeldWrite& w : writes) EXPECT_TRUE(w.held) << std::hex << w.reg;
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
}

// ---- Exposure ------------------------------------------------------------------------------------

TEST_F(C836TimingTest, ShsAndVmaxAroundOneFrame) {
    ASSERT_NO_FATAL_FAILURE(Slow());
    const struct {
        long exposure;
        long long shs, vmax;
    } cases[] = {
        {4110, 2, 120},   // exactly 120 lines, the whole frame: the longest shutter of the frame
        {4111, 0, 121},   // one microsecond more: the frame grows to 120 + 1 lines
        {32, 118, 120},   // no whole line: the shortest shutter, rows + 16
        {2055, 59, 120},  // 60 lines: SHS = 102 + 17 - 60
        {8220, 0, 241},   // two frames
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exposure);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_EXPOSURE, c.exposure), KYR_SUCCESS);
        EXPECT_EQ(SHS(m_dev), c.shs);
        EXPECT_EQ(VMAX(m_dev), c.vmax);
        EXPECT_EQ(m_pCam->m_iExpLines, c.vmax - 2 - c.shs);
        EXPECT_FALSE(m_pCam->m_bLongExpMode);
        // The FPGA's VMAX and the sensor's SHS change inside one hold.
        int holds = 0, vmaxHeld = 0, shsHeld = 0, outside = 0;
        bool held = false;
        for (const kyrsim::Request& r : Log(from)) {
            if (r.request == kWriteSensor && r.value == 0x3001) {
                held = r.index != 0;
                holds += held ? 1 : 0;
                continue;
            }
            const bool vmax = r.request == kWriteFpga && r.value >= 16 && r.value <= 18;
            const bool shs = r.request == kWriteSensor && r.value >= 0x3020 && r.value <= 0x3022;
            if (!vmax && !shs) continue;
            if (!held) ++outside;
            if (held && vmax) ++vmaxHeld;
            if (held && shs) ++shsHeld;
        }
        EXPECT_EQ(holds, 1);
        EXPECT_EQ(outside, 0);
        EXPECT_GT(vmaxHeld, 0);
        EXPECT_EQ(shsHeld, 3);
    }
}

// Every 836 class, the Pro with its DDR buffer too, programs a long exposure
// as the exposure itself.
TEST_F(C836TimingTest, LongModeSwitchesLowPowerAndEveryClassProgramsTheExposureItself) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 20000), KYR_SUCCESS);
        const struct {
            long exposure;
            bool longMode;
            std::vector<std::string> events;
        } steps[] = {
            {999999, false, {}},
            {1000000, true, {"wait on", "trigger on", "low power on"}},
            {1500000, true, {}},
            {999999, false, {"low power off", "trigger off", "wait off"}},
        };
        for (const auto& s : steps) {
            SCOPED_TRACE(s.exposure);
            const int from = kyrsim_log_count();
            const int ctrl = m_dev.fpga(0), power = m_dev.fpga(25);
            ASSERT_EQ(Set(KYR_EXPOSURE, s.exposure), KYR_SUCCESS);
            EXPECT_EQ(m_pCam->m_bLongExpMode, s.longMode);
            EXPECT_EQ(ModeEvents(from, ctrl, power), s.events);
            EXPECT_EQ(m_dev.fpga(25) & 0x01, s.longMode ? 1 : 0);
            // The same shutter rule: an exposure beyond the frame grows the frame.
            if (s.longMode) {
                EXPECT_EQ(SHS(m_dev), 0);
                const double line = HMAX(m_dev) * 1000.0 / 20000;
                EXPECT_EQ(VMAX(m_dev), static_cast<long long>(s.exposure / line) + 1);
            }
        }
    }
}

// ---- Bandwidth -------------------------------------------------------------------------------------

TEST_F(C836TimingTest, TheLineLengthIsTheFpgasAndOnlyTheProPacesItsOutput) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 102, 1, IMG_RAW8), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_BANDWIDTH, 40), KYR_SUCCESS);
        // DDR: the sensor at its shortest line, the FPGA paces the output;
        // without: the line the link carries at 40 %.
        EXPECT_EQ(HMAX(m_dev), c.ddr ? 274 : 685);
        int pacing = 0;
        for (const kyrsim::Request& r : Log(from))
            if (r.request == kWriteFpga && (r.value == 36 || r.value == 37)) ++pacing;
        EXPECT_EQ(pacing > 0, c.ddr);
        // No sensor line length: only the shutter the exposure keeps, in its hold.
        for (const SHeldWrite& w : HeldWrites(m_dev.handle(), from)) {
            EXPECT_TRUE(w.reg >= 0x3020 && w.reg <= 0x3022) << std::hex << w.reg;
            EXPECT_TRUE(w.held);
        }
    }
}

TEST_F(C836TimingTest, AUsb2HostUsesItsOwnLinkConstant) {
    ASSERT_NE(Fresh(kPid836, false), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 1936, 1096, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_BANDWIDTH, 100), KYR_SUCCESS);
    const CEngineDriver<CCameraBase>& e = *dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam);
    EXPECT_EQ(e.g_iUSBBandwidth, 43272);
    // 43272 x 1000 bytes/s over 1936 x 1096 pixels, spread over 1114 lines.
    const double fps = 43272.0 * 100 * 10 / 1936 / 1096;
    const long long hmax = static_cast<long long>(20000 * (1000000.0 / fps / 1114) / 1000);
    EXPECT_EQ(HMAX(m_dev), hmax);
}

}  // namespace

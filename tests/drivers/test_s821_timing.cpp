// The 821's window, gain, offset, exposure and bandwidth as the sensor and
// the FPGA receive them. Expected values are worked out here from the
// family's rules: the FPGA alone sets line (HMAX) and frame (VMAX) length,
// line time = HMAX x 1000 / 20000 kHz, the sensor gets its shutter line SHR
// at 0x3240-0x3242, counted back from the frame's end.
#include <string.h>

#include <string>

#include "test_s821_fixture.h"

namespace {

constexpr int kClockKHz = 20000;
constexpr double kOffsetUs = 4.997;

struct SLogged {
    int request, reg, value;
};

// The requests of camera `handle` from log entry `from` on that reached it.
std::vector<SLogged> Logged(int handle, int from = 0) {
    std::vector<SLogged> out;
    for (int i = from; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.result < 0) continue;
        out.push_back({r.request, r.value, r.index});
    }
    return out;
}

// Writes only: sensor ("S") and FPGA ("F") registers, and commands.
std::vector<std::string> Writes(int handle, int from = 0) {
    std::vector<std::string> out;
    char buf[32];
    for (const SLogged& l : Logged(handle, from)) {
        if (l.request == 0xB6)
            snprintf(buf, sizeof(buf), "S%04X=%02X", l.reg, l.value);
        else if (l.request == 0xBD)
            snprintf(buf, sizeof(buf), "F%d=%d", l.reg, l.value);
        else if (l.request == 0xBC || l.request == 0xB7)
            continue;
        else
            snprintf(buf, sizeof(buf), "C%02X", l.request);
        out.push_back(buf);
    }
    return out;
}

class C821TimingTest : public C821Test {
  protected:
    double LineUs() const { return HMAX() * 1000.0 / kClockKHz; }
    long long Lines(double exposureUs) const {
        return static_cast<long long>((exposureUs - kOffsetUs) / LineUs());
    }
    uint32_t FrameUs() {
        return Locked([&] { return static_cast<uint32_t>(m_pCam->m_iFrameTimeUs); });
    }
};

// ---- Window ------------------------------------------------------------------------

TEST_F(C821TimingTest, TheWindowGoesToTheSensorInItsHoldAndTheBlankingToTheFpga) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NE(Fresh(pid), nullptr);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, 1608, 1100, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3124), 1608);
        EXPECT_EQ(Window(0x3126), 1104);  // raised to a multiple of 8
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 1100);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 1608);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), 33);
        EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs821(), kProfileHoldReg, from);
        EXPECT_TRUE(holds.Clean() && holds.unheld.empty()) << holds.Text();

        // A window of 1096 rows is already a multiple of 8.
        ASSERT_EQ(KYRSetROIFormat(0, 800, 548, 2, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3124), 1600);
        EXPECT_EQ(Window(0x3126), 1096);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 1096);
    }
}

TEST_F(C821TimingTest, StartsAreAlignedTo8AndWrittenInTheHoldWithoutAnFpgaWrite) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        const struct {
            int x, y, wantX, wantY;
        } cases[] = {{101, 203, 96, 200}, {7, 15, 0, 8}, {-5, -9, 0, 0}, {1600, 1000, 968, 624}};
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            EXPECT_EQ(Window(0x3120), c.wantX);
            EXPECT_EQ(Window(0x3122), c.wantY);
            const std::vector<std::string> got = Writes(m_dev.handle(), from);
            ASSERT_EQ(got.size(), 6u);
            EXPECT_EQ(got.front(), "S3034=01");
            EXPECT_EQ(got.back(), "S3034=00");
            for (const std::string& w : got) EXPECT_EQ(w[0], 'S') << w;
        }
    }
}

TEST_F(C821TimingTest, EveryFormatChangeCentresTheWindowOnMultiplesOf8) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    const struct {
        int w, h, bin;
        IMG_TYPE type;
        int x, y;  // sensor pixels
    } cases[] = {
        {640, 480, 1, IMG_RAW8, 480, 312},   // 484 -> 480
        {640, 480, 1, IMG_RAW16, 480, 312},  // the same size again: centred again
        {320, 200, 2, IMG_RAW16, 480, 352},  // 356 -> 352
        {1608, 1104, 1, IMG_RAW8, 0, 0},    {104, 50, 2, IMG_RAW8, 696, 496},  // 700 -> 696, 502 -> 496
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3120), c.x);
        EXPECT_EQ(Window(0x3122), c.y);
        ASSERT_EQ(KYRSetStartPos(0, 8, 8), KYR_SUCCESS);
    }
}

// ---- Gain and offset --------------------------------------------------------------------

TEST_F(C821TimingTest, GainGoesToTheSensorInItsHoldAfterTheLatchedRegister80) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    const struct {
        int gain, stored, conv, code;
    } cases[] = {{-1, 0, 0, 0},    {0, 0, 0, 0},       {140, 140, 0, 140},
                 {141, 141, 1, 1}, {350, 350, 1, 210}, {400, 350, 1, 210}};
    char buf[3][16];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        snprintf(buf[0], sizeof(buf[0]), "S3510=%02X", c.conv);
        snprintf(buf[1], sizeof(buf[1]), "S3514=%02X", c.code);
        snprintf(buf[2], sizeof(buf[2]), "S3515=%02X", 0);
        const std::vector<std::string> want = {"F1=1", "F80=1", "F1=0", "S3034=01",
                                               buf[0], buf[1],  buf[2], "S3034=00"};
        EXPECT_EQ(Writes(m_dev.handle(), from), want);
        long value = -1;
        KYR_BOOL bAuto = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_GAIN, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, c.stored);
    }
}

// Any failed write of a setter's plan fails the setter, not only its last
// write; the hold is released all the same.
TEST_F(C821TimingTest, AFailedWriteOfAPlanFailsItsControl) {
    const struct {
        const char* what;
        KYR_CONTROL_TYPE type;
        long value;
        int request, reg;
    } cases[] = {
        {"gain switch", KYR_GAIN, 300, 0xB6, 0x3510},
        {"gain code", KYR_GAIN, 300, 0xB6, 0x3514},
        {"gain high byte", KYR_GAIN, 300, 0xB6, 0x3515},
        {"gain register 80", KYR_GAIN, 300, 0xBD, 80},
        {"frame length", KYR_EXPOSURE, 5000, 0xBD, 16},
        {"shutter low byte", KYR_EXPOSURE, 5000, 0xB6, 0x3240},
        {"offset", KYR_OFFSET, 4, 0xB6, 0x35C0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Fresh(kPid821MM), nullptr);
        kyrsim_fault f;
        kyrsim_fault_init(&f, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO);
        f.device = m_dev.handle();
        f.request = c.request;
        f.value = c.reg;
        ASSERT_GE(kyrsim_add_fault(&f), 0);
        EXPECT_EQ(Set(c.type, c.value), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(m_dev.sensor(0x3034), 0);
        kyrsim_clear_faults();
        EXPECT_EQ(Set(c.type, c.value), KYR_SUCCESS);
    }
}

TEST_F(C821TimingTest, OffsetIsWrittenTimesTenWithoutAHoldAndAgainWithTheOutputWidth) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    int from = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_OFFSET, 10), KYR_SUCCESS);
    EXPECT_EQ(Writes(m_dev.handle(), from), (std::vector<std::string>{"S35C0=64", "S35C1=00"}));
    from = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_OFFSET, 7), KYR_SUCCESS);
    EXPECT_EQ(Writes(m_dev.handle(), from), (std::vector<std::string>{"S35C0=46", "S35C1=00"}));
    ASSERT_EQ(Set(KYR_OFFSET, 10), KYR_SUCCESS);
    from = kyrsim_log_count();
    ASSERT_EQ(KYRSetROIFormat(0, 1608, 1104, 1, IMG_RAW16), KYR_SUCCESS);
    int offsets = 0;
    for (const std::string& w : Writes(m_dev.handle(), from)) offsets += w == "S35C0=64" ? 1 : 0;
    EXPECT_GE(offsets, 1);
    EXPECT_NE(m_dev.fpga(10) & 0x10, 0);
}

// ---- Exposure -----------------------------------------------------------------------------

TEST_F(C821TimingTest, ShortExposuresKeepTheFrameAtRowsPlus70) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    ASSERT_EQ(HMAX(), 142);
    for (long exposure : {32L, 2000L, 5000L}) {
        SCOPED_TRACE(exposure);
        ASSERT_EQ(Set(KYR_EXPOSURE, exposure), KYR_SUCCESS);
        EXPECT_EQ(VMAX(), 1104 + 70);
        EXPECT_EQ(SHR(), VMAX() - Lines(exposure));
    }
    EXPECT_EQ(FrameUs(), static_cast<uint32_t>((1104 + 70) * LineUs()));
}

TEST_F(C821TimingTest, AShutterLineEqualToTheFrameBecomesOneLineLess) {
    // A line longer than the shortest exposure: 16-bit output over USB 2 without DDR.
    ASSERT_NE(Fresh(kPid821MM, false), nullptr);
    ASSERT_TRUE(m_pCam->SetEnableDDR(false));
    ASSERT_EQ(KYRSetROIFormat(0, 1608, 1104, 1, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_EXPOSURE, 32), KYR_SUCCESS);
    ASSERT_EQ(Lines(32), 0) << "line " << LineUs();
    EXPECT_EQ(VMAX(), 1174);
    EXPECT_EQ(SHR(), 1173);
}

TEST_F(C821TimingTest, LongerThanAFrameTheFrameGrowsAndLongModeProgramsTheFramePlus10ms) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    const uint32_t frame = FrameUs();
    const struct {
        long exposure;
        double programmed;
        bool longMode;
    } cases[] = {
        {20000, 20000, false},
        {999999, 999999, false},
        {1000000, frame + 10000.0, true},
        {2000000, frame + 10000.0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exposure);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_EXPOSURE, c.exposure), KYR_SUCCESS);
        EXPECT_EQ(SHR(), 12);
        EXPECT_EQ(VMAX(), Lines(c.programmed) + 12);
        EXPECT_EQ(Locked([&] { return static_cast<bool>(m_pCam->m_bLongExpMode); }), c.longMode);
        // SetExp never switches the FPGA's wait or trigger mode on.
        for (const SLogged& l : Logged(m_dev.handle(), from)) EXPECT_FALSE(l.request == 0xBD && l.reg == 0);
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
    }
}

TEST_F(C821TimingTest, LeavingLongModeClearsTheTriggerBitThenTheWaitBit) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    ASSERT_EQ(Set(KYR_EXPOSURE, 3000000), KYR_SUCCESS);
    // As a long frame of the capture thread leaves them.
    ASSERT_TRUE(
        Locked([&] { return m_pCam->EnableFPGAWaitMode(true) && m_pCam->EnableFPGATriggerMode(true); }));
    const int ctrl = m_dev.fpga(0);
    ASSERT_EQ(ctrl & 0xC0, 0xC0);
    const int from = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_EXPOSURE, 10000), KYR_SUCCESS);
    const std::vector<std::string> got = Writes(m_dev.handle(), from);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], "F0=" + std::to_string(ctrl & ~0x80));
    EXPECT_EQ(got[1], "F0=" + std::to_string(ctrl & ~0xC0));
    EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
}

TEST_F(C821TimingTest, FrameLengthAndShutterLineChangeInOneHold) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    for (long exposure : {5000L, 300000L, 1500000L}) {
        SCOPED_TRACE(exposure);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_EXPOSURE, exposure), KYR_SUCCESS);
        const std::vector<std::string> got = Writes(m_dev.handle(), from);
        // Hold, the FPGA's latched VMAX, the shutter line, release.
        ASSERT_EQ(got.size(), 10u);
        EXPECT_EQ(got[0], "S3034=01");
        EXPECT_EQ(got[1], "F1=1");
        EXPECT_EQ(got[2].rfind("F16=", 0), 0u);
        EXPECT_EQ(got[4].rfind("F18=", 0), 0u);
        EXPECT_EQ(got[5], "F1=0");
        EXPECT_EQ(got[6].rfind("S3240=", 0), 0u);
        EXPECT_EQ(got[8].rfind("S3242=", 0), 0u);
        EXPECT_EQ(got[9], "S3034=00");
    }
}

// ---- Bandwidth ----------------------------------------------------------------------------

TEST_F(C821TimingTest, AutomaticBandwidthIs80PercentOnEveryHost) {
    const struct {
        bool usb3;
        long long pacing;
    } cases[] = {{true, 72}, {false, 2702}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.usb3 ? "USB3" : "USB2");
        ASSERT_NE(Fresh(kPid821MM, c.usb3), nullptr);
        long percent = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &percent, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(percent, 80);
        EXPECT_EQ(bAuto, KYR_TRUE);
        EXPECT_EQ(HMAX(), 142);
        EXPECT_EQ(Pacing(), c.pacing);
        // Off and on again: the first automatic value is 80 % again.
        ASSERT_EQ(Set(KYR_BANDWIDTH, 50), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 50, true), KYR_SUCCESS);
        ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &percent, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(percent, 80);
        EXPECT_EQ(Pacing(), c.pacing);
    }
}

TEST_F(C821TimingTest, BandwidthWritesNoSensorRegisterButTheShutterLineInItsHold) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    const int from = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_BANDWIDTH, 60), KYR_SUCCESS);
    std::vector<std::string> sensor;
    for (const std::string& w : Writes(m_dev.handle(), from))
        if (w[0] == 'S') sensor.push_back(w.substr(0, 5));
    EXPECT_EQ(sensor, (std::vector<std::string>{"S3034", "S3240", "S3241", "S3242", "S3034"}));
    EXPECT_EQ(HMAX(), 142);
    EXPECT_EQ(Pacing(), static_cast<long long>(25600.0f / (390000.0f * 60 / 400000) - 256.0f));
}

TEST_F(C821TimingTest, AClockBelow20MHzRefusesBandwidthAndChangesNothing) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    const bool refused = WithEngine([&](auto& e) {
        CCritSecLock lock(e.m_csControl);
        e.m_iFclk = 19999;
        const bool ok = e.SetFPSPerc(50, false);
        e.m_iFclk = 20000;
        return !ok;
    });
    EXPECT_TRUE(refused);
    EXPECT_EQ(Locked([&] { return m_pCam->m_iFPSPerc.load(); }), 80);
    EXPECT_TRUE(Locked([&] { return static_cast<bool>(m_pCam->m_bAutoFPS); }));
    EXPECT_EQ(Pacing(), 72);
}

}  // namespace

// The 829's and 837's window, gain, offset, sensor modes, exposure and
// bandwidth as the sensor and the FPGA receive them. Expected values are
// worked out here from the family's rules: the FPGA alone sets line (HMAX)
// and frame (VMAX) length, line time = HMAX x 1000 / 20000 kHz, the sensor
// gets its shutter line SHR at 0x3240-0x3242, counted back from the frame's
// end; a frame within the readout is rows + the model's base (104 or 744).
#include <string>

#include "Fx3Fixture.h"
#include "test_s829_837_fixture.h"

namespace {

constexpr int kClockKHz = 20000;
constexpr double kOffsetUs = 4.997;

int RegisterWrites(int handle) {
    return kyrsim_log_count_matching(handle, 0xB6, KYRSIM_DIR_OUT) +
           kyrsim_log_count_matching(handle, 0xBD, KYRSIM_DIR_OUT);
}

std::string Hex(const char* prefix, int v) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%s%02X", prefix, v);
    return buf;
}

class C829837TimingTest : public C829837Test {
  protected:
    double LineUs() const { return HMAX() * 1000.0 / kClockKHz; }
    long long Lines(double exposureUs) const {
        return static_cast<long long>((exposureUs - kOffsetUs) / LineUs());
    }
};

// ---- Window ------------------------------------------------------------------------

TEST_F(C829837TimingTest, The829RefusesHeightsOffItsStepOf8AndWritesNothing) {
    for (int pid : {kPid829MM, kPid829Pro}) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 800, 600, 1, IMG_RAW8), KYR_SUCCESS);
        const int writes = RegisterWrites(m_dev.handle());
        KYR_ERROR_CODE rc = KYR_SUCCESS;
        const std::string log = CaptureDebugLog([&] { rc = KYRSetROIFormat(0, 1632, 1244, 1, IMG_RAW8); });
        EXPECT_NE(rc, KYR_SUCCESS);
        EXPECT_NE(log.find("Failed to set height: 1244, the height must be multiple of 8\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(RegisterWrites(m_dev.handle()), writes);
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        EXPECT_EQ(h, 600);
        // The height is counted in output pixels: 308 at bin 2 is refused, 304 taken.
        EXPECT_NE(KYRSetROIFormat(0, 400, 308, 2, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 400, 304, 2, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3126), 608 + 4);

        // The full height passes; the sensor's window is 4 lines longer than the readout.
        ASSERT_EQ(KYRSetROIFormat(0, 1632, 1248, 1, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3126), 1252);
        EXPECT_EQ(Window(0x3124), 1632);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 1248);
        EXPECT_EQ(VBLK(), 21);
    }
}

TEST_F(C829837TimingTest, The837RaisesItsWindowToAMultipleOf8WhileTheFpgaCropsTheReadout) {
    for (int pid : {kPid837Mini, kPid837Pro}) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NE(Fresh(pid), nullptr);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, 816, 620, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3126), 624);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 620);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 816);
        EXPECT_EQ(VBLK(), 21);
        const SHoldReport holds = CheckHolds(m_dev.handle(), FamilyHeldRegs(), kProfileHoldReg, from);
        EXPECT_TRUE(holds.Clean() && holds.unheld.empty()) << holds.Text();
    }
}

TEST_F(C829837TimingTest, StartRowsAlignTo16AndColumnsTo8InTheHoldWithoutAnFpgaWrite) {
    for (int pid : kPids829837) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        const struct {
            int x, y, wantX, wantY;
        } cases[] = {{20, 20, 16, 16}, {24, 24, 24, 16}, {47, 40, 40, 32}, {-3, -3, 0, 0}};
        for (const auto& c : cases) ExpectStart(c.x, c.y, c.wantX, c.wantY);
    }
}

// ---- Gain and offset --------------------------------------------------------------------

TEST_F(C829837TimingTest, GainGoesToTheSensorInItsHoldWithoutAnFpgaWrite) {
    struct SGainCase {
        int gain, stored, conv, code;
    };
    const struct {
        int pid;
        std::vector<SGainCase> cases;
    } models[] = {
        {kPid829MM,
         {{-1, 0, 0, 0}, {70, 70, 0, 70}, {71, 71, 1, 1}, {480, 480, 1, 0x19A}, {500, 480, 1, 0x19A}}},
        {kPid837Mini, {{145, 145, 0, 145}, {146, 146, 1, 1}, {600, 600, 1, 0x1C7}, {700, 600, 1, 0x1C7}}},
    };
    for (const auto& m : models) {
        ASSERT_NE(Fresh(m.pid), nullptr);
        for (const SGainCase& c : m.cases) {
            SCOPED_TRACE(testing::Message() << RowOf(m.pid).label << " gain " << c.gain);
            const int from = kyrsim_log_count();
            ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
            const std::vector<std::string> want = {"S3034=01", Hex("S3510=", c.conv),
                                                   Hex("S3514=", c.code & 0xFF), Hex("S3515=", c.code >> 8),
                                                   "S3034=00"};
            EXPECT_EQ(Writes(m_dev.handle(), from), want);
            long value = -1;
            KYR_BOOL bAuto = KYR_TRUE;
            ASSERT_EQ(KYRGetControlValue(0, KYR_GAIN, &value, &bAuto), KYR_SUCCESS);
            EXPECT_EQ(value, c.stored);
        }
    }
}

// A gain whose writes failed is reported as failed, whichever write it was;
// the hold is released all the same.
TEST_F(C829837TimingTest, AFailedGainWriteFailsTheControl) {
    for (int pid : {kPid829Pro, kPid837Mini}) {
        for (int reg : {0x3510, 0x3514, 0x3515, 0x3034}) {
            SCOPED_TRACE(testing::Message() << RowOf(pid).label << " register " << std::hex << reg);
            ASSERT_NE(Fresh(pid), nullptr);
            kyrsim_fault f;
            kyrsim_fault_init(&f, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO);
            f.device = m_dev.handle();
            f.request = 0xB6;
            f.value = reg;
            if (reg == 0x3034) f.index = 1;  // the hold itself cannot be set
            ASSERT_GE(kyrsim_add_fault(&f), 0);
            EXPECT_EQ(Set(KYR_GAIN, 300), KYR_ERROR_GENERAL_ERROR);
            EXPECT_EQ(m_dev.sensor(0x3034), 0);
            kyrsim_clear_faults();
            EXPECT_EQ(Set(KYR_GAIN, 300), KYR_SUCCESS);
        }
    }
}

TEST_F(C829837TimingTest, OffsetIsWrittenTimesTenWithoutAHold) {
    for (int pid : kPids829837) {
        SCOPED_TRACE(RowOf(pid).label);
        ASSERT_NE(Fresh(pid), nullptr);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_OFFSET, 120), KYR_SUCCESS);
        EXPECT_EQ(Writes(m_dev.handle(), from), (std::vector<std::string>{"S35C0=B0", "S35C1=04"}));
    }
}

// ---- Sensor modes -----------------------------------------------------------------------

// The high-speed control is not offered, but the control value still reaches
// the mode: with 8-bit output the 10-bit mode and its shorter line; 16-bit
// output keeps the 12-bit mode whatever the flag says.
TEST_F(C829837TimingTest, HighSpeedShortensTheLineOnlyFor8BitOutput) {
    for (int pid : kPids829837) {
        const SClassRow& row = RowOf(pid);
        SCOPED_TRACE(row.label);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x00);  // 10-bit ADC, 8-bit output
        if (row.ddr) EXPECT_EQ(HMAX(), row.minHMAXHighSpeed);
        std::vector<std::string> modeRows;
        for (const std::string& w : Writes(m_dev.handle(), from))
            if (w.rfind("S3200=", 0) == 0) modeRows.push_back(w);
        if (Is829(pid)) {
            EXPECT_TRUE(modeRows.empty());
        } else {
            EXPECT_EQ(modeRows, std::vector<std::string>{"S3200=20"});
            EXPECT_EQ(m_dev.sensor(0x3200), 0x20);
        }

        // 16-bit output: the 12-bit mode, the flag kept for later.
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x11);
        if (row.ddr) EXPECT_EQ(HMAX(), row.minHMAX);
        if (!Is829(pid)) EXPECT_EQ(m_dev.sensor(0x3200), 0x22);
        from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        EXPECT_TRUE(Writes(m_dev.handle(), from).empty());

        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x00);
        if (row.ddr) EXPECT_EQ(HMAX(), row.minHMAXHighSpeed);
        if (!Is829(pid)) EXPECT_EQ(m_dev.sensor(0x3200), 0x20);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 0), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x01);
        if (row.ddr) EXPECT_EQ(HMAX(), row.minHMAX);
        if (!Is829(pid)) EXPECT_EQ(m_dev.sensor(0x3200), 0x22);
    }
}

TEST_F(C829837TimingTest, The837sModeRegisterIsWrittenWithoutAHold) {
    ASSERT_NE(Fresh(kPid837Pro), nullptr);
    const int from = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
    bool held = false;
    int modeWrites = 0;
    for (const SLogged& l : Logged(m_dev.handle(), from)) {
        if (l.request == 0xB6 && l.reg == 0x3034) held = l.value != 0;
        if (l.request == 0xB6 && l.reg == 0x3200) {
            ++modeWrites;
            EXPECT_FALSE(held);
        }
    }
    EXPECT_EQ(modeWrites, 1);
}

// ---- Exposure -----------------------------------------------------------------------------

TEST_F(C829837TimingTest, ShortExposuresKeepTheFrameAtRowsPlusTheModelsBase) {
    for (int pid : kPids829837) {
        const SClassRow& row = RowOf(pid);
        SCOPED_TRACE(row.label);
        ASSERT_NE(Fresh(pid), nullptr);
        for (long exposure : {100L, 2000L, 5000L}) {
            SCOPED_TRACE(exposure);
            ASSERT_EQ(Set(KYR_EXPOSURE, exposure), KYR_SUCCESS);
            EXPECT_EQ(VMAX(), row.height + row.vmaxBase);
            EXPECT_EQ(SHR(), VMAX() - Lines(exposure));
        }
        EXPECT_EQ(FrameUs(), static_cast<uint32_t>((row.height + row.extraLines) * LineUs()));
    }
}

TEST_F(C829837TimingTest, AShutterLineEqualToTheFrameBecomesOneLineLess) {
    const struct {
        int pid;
        bool usb3;
        IMG_TYPE type;
        int bandwidth;
    } cases[] = {
        {kPid829MM, true, IMG_RAW8, 80},      // 28 us lines
        {kPid837Mini, false, IMG_RAW16, 40},  // the link's line, stretched
    };
    for (const auto& c : cases) {
        const SClassRow& row = RowOf(c.pid);
        SCOPED_TRACE(row.label);
        ASSERT_NE(Fresh(c.pid, c.usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, row.width, row.height, 1, c.type), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, c.bandwidth), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 32), KYR_SUCCESS);
        ASSERT_EQ(Lines(32), 0) << "line " << LineUs();
        EXPECT_EQ(VMAX(), row.height + row.vmaxBase);
        EXPECT_EQ(SHR(), row.height + row.vmaxBase - 1);
    }
}

// Longer than a frame the frame grows to the exposure; in long-exposure
// mode the Mini programs the exposure itself, the DDR classes the frame time
// + 10 ms.
TEST_F(C829837TimingTest, LongExposuresProgramTheExposureOnTheMiniAndTheFramePlus10msElsewhere) {
    for (int pid : kPids829837) {
        const SClassRow& row = RowOf(pid);
        SCOPED_TRACE(row.label);
        ASSERT_NE(Fresh(pid), nullptr);
        const uint32_t frame = FrameUs();
        const struct {
            long exposure;
            double programmed;
        } cases[] = {
            {50000, 50000},
            {999999, 999999},
            {5000000, row.ddr ? frame + 10000.0 : 5000000.0},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.exposure);
            const int from = kyrsim_log_count();
            ASSERT_EQ(Set(KYR_EXPOSURE, c.exposure), KYR_SUCCESS);
            EXPECT_EQ(SHR(), 16);
            EXPECT_EQ(VMAX(), Lines(c.programmed) + 16);
            // SetExp never switches the FPGA's wait or trigger mode on.
            for (const SLogged& l : Logged(m_dev.handle(), from))
                EXPECT_FALSE(l.request == 0xBD && l.reg == 0);
        }
    }
}

// ---- Bandwidth ----------------------------------------------------------------------------

TEST_F(C829837TimingTest, OnlyTheDdrClassesPaceTheFpgaOutput) {
    for (int pid : kPids829837) {
        const SClassRow& row = RowOf(pid);
        SCOPED_TRACE(row.label);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 60), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 60, true), KYR_SUCCESS);
        int pacingWrites = 0;
        for (const SLogged& l : Logged(m_dev.handle()))
            pacingWrites += l.request == 0xBD && (l.reg == 36 || l.reg == 37) ? 1 : 0;
        if (row.ddr) {
            EXPECT_GT(pacingWrites, 0);
            EXPECT_EQ(Pacing(), 72);
            EXPECT_EQ(HMAX(), row.minHMAX);
        } else {
            EXPECT_EQ(pacingWrites, 0);
        }
    }
}

}  // namespace

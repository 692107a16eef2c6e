// The 831's modes, window, gain, offset, exposure and bandwidth as the sensor
// and the FPGA receive them. Expected values are worked out here from the
// model's rules: the FPGA alone sets line (HMAX) and frame (VMAX) length,
// line time = HMAX x 1000 / 20000 kHz, the sensor's shutter line SHR at
// 0x308D-0x308F counts the exposure back from the frame's end after a
// 13.73 us offset, and exposures far beyond the frame get the sensor's
// long-exposure block.
#include <algorithm>
#include <string>

#include "test_s831_fixture.h"

namespace {

constexpr int kClockKHz = 20000;
constexpr double kOffsetUs = 13.73;
constexpr int kExtraLines = 42;

const std::vector<std::string> kHighSpeedRows = {"S300C=00", "S3016=00", "S3165=00", "S3169=10", "S316A=02",
                                                 "S3182=04", "S400E=58", "S4041=2A", "S40A2=06"};
const std::vector<std::string> kNormalRows = {"S300C=01", "S3016=01", "S3165=60", "S3169=B0", "S316A=01",
                                              "S3182=04", "S400E=48", "S4041=28", "S40A2=0A"};

std::string Hex(const char* reg, int value) {
    char buf[16];
    snprintf(buf, sizeof(buf), "S%s=%02X", reg, value & 0xFF);
    return buf;
}

class C831TimingTest : public C831Test {
  protected:
    double LineUs() const { return HMAX() * 1000.0 / kClockKHz; }
    long long Lines(double exposureUs) const {
        return static_cast<long long>((exposureUs - kOffsetUs) / LineUs());
    }
    // The writes of `writes` to the registers of the mode tables, in order.
    static std::vector<std::string> ModeRows(const std::vector<std::string>& writes) {
        std::vector<std::string> out;
        for (const std::string& w : writes)
            for (const std::string& row : kNormalRows)
                if (w.compare(0, 5, row, 0, 5) == 0) out.push_back(w);
        return out;
    }
};

// ---- Modes -----------------------------------------------------------------------------------

TEST_F(C831TimingTest, HighSpeedAt8BitsWalksItsTableAndShortensTheLine) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(MinHMAX(), c.minHMAX);
        int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        std::vector<std::string> w = Writes(from);
        EXPECT_EQ(ModeRows(w), kHighSpeedRows);
        // The whole table, in order, outside any hold.
        const int first = Find831(w, kHighSpeedRows[0]);
        ASSERT_GE(first, 0);
        EXPECT_EQ(std::vector<std::string>(w.begin() + first, w.begin() + first + kHighSpeedRows.size()),
                  kHighSpeedRows);
        EXPECT_EQ(Find831(w, "S3008=01"), Find831(w, "S3008=01", first));
        EXPECT_EQ(MinHMAX(), 80);
        EXPECT_EQ(m_dev.fpga(10) & 0x01, 0);  // 10-bit ADC
        if (c.ddr) {
            EXPECT_EQ(HMAX(), 80);
        }
        EXPECT_GE(HMAX(), 80);

        // 16-bit output runs the normal mode.
        from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW16), KYR_SUCCESS);
        w = Writes(from);
        EXPECT_EQ(ModeRows(w), kNormalRows);
        EXPECT_EQ(MinHMAX(), c.minHMAX);
        EXPECT_NE(m_dev.fpga(10) & 0x01, 0);  // 12-bit ADC
        if (c.ddr) {
            EXPECT_EQ(HMAX(), c.minHMAX);
        }
    }
}

TEST_F(C831TimingTest, HighSpeedAt16BitsIsStoredAndTakesEffectAtTheNext8BitFormat) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW16), KYR_SUCCESS);
        int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        EXPECT_TRUE(Writes(from).empty());
        long value = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_HIGH_SPEED_MODE, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, 1);
        EXPECT_EQ(MinHMAX(), c.minHMAX);
        // A bin change alone keeps the mode.
        from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 2, IMG_RAW16), KYR_SUCCESS);
        EXPECT_TRUE(ModeRows(Writes(from)).empty());
        from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 2, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(ModeRows(Writes(from)), kHighSpeedRows);
        EXPECT_EQ(MinHMAX(), 80);
    }
}

TEST_F(C831TimingTest, AModeTablesDelayRowIsHonoured) {
    ASSERT_NE(Fresh(kPid831Pro), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    const int from = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
    long long lastEnd = -1;
    for (int i = 0; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != m_dev.handle()) continue;
        if (i >= from && r.request == 0xB6 && r.value == 0x300C) {
            ASSERT_GE(lastEnd, 0);
            EXPECT_GE(r.start_us - lastEnd, 19000);
            return;
        }
        lastEnd = r.end_us;
    }
    ADD_FAILURE() << "no mode table";
}

// ---- Window --------------------------------------------------------------------------------

TEST_F(C831TimingTest, TheWindowGoesToTheSensorInItsHoldAndTheBlankingToTheFpga) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const struct {
            int w, h, bin;
            IMG_TYPE type;
        } cases[] = {{c.maxW, c.maxH, 1, IMG_RAW8}, {c.maxW / 2 - 8, 102, 2, IMG_RAW16}, {64, 30, 1, IMG_Y8}};
        for (const auto& f : cases) {
            SCOPED_TRACE(testing::Message() << f.w << "x" << f.h << " bin " << f.bin);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetROIFormat(0, f.w, f.h, f.bin, f.type), KYR_SUCCESS);
            EXPECT_EQ(Window(0x3314), f.w * f.bin);
            EXPECT_EQ(Window(0x3316), f.h * f.bin);  // not rounded
            EXPECT_EQ(m_dev.fpgaWide(4, 2), f.w * f.bin);
            EXPECT_EQ(m_dev.fpgaWide(8, 2), f.h * f.bin);
            EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);
            EXPECT_EQ(m_dev.fpgaWide(6, 2), 11);
            const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs831(), kProfileHoldReg, from);
            EXPECT_TRUE(holds.Clean() && holds.unheld.empty()) << holds.Text();
        }
    }
}

TEST_F(C831TimingTest, EveryFormatChangeCentresTheWindowWithoutRoundingThenAlignsTo4) {
    const struct {
        int pid, w, h, bin, x, y;  // x, y: sensor pixels written
    } cases[] = {
        {kPid831, 648, 482, 1, 404, 300},     // 404, 303
        {kPid831, 320, 242, 2, 408, 300},     // 408, 302
        {kPid831, 1456, 1088, 1, 0, 0},       //
        {kPid831Pro, 352, 262, 1, 188, 140},  // 188, 141
        {kPid831Pro, 176, 130, 2, 188, 140},  // 188, 142
    };
    int pid = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin);
        if (pid != c.pid) {
            ASSERT_NE(Fresh(pid = c.pid), nullptr);
        }
        ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3310), c.x);
        EXPECT_EQ(Window(0x3312), c.y);
    }
}

TEST_F(C831TimingTest, StartsAreAlignedTo4AndWrittenInTheHoldWithoutAnFpgaWrite) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        const struct {
            int x, y, wantX, wantY;
        } cases[] = {
            {7, 7, 4, 4}, {101, 203, 100, 200}, {-5, -9, 0, 0}, {2000, 2000, c.maxW - 320, c.maxH - 240}};
        for (const auto& s : cases) {
            SCOPED_TRACE(testing::Message() << s.x << "," << s.y);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetStartPos(0, s.x, s.y), KYR_SUCCESS);
            EXPECT_EQ(Window(0x3310), s.wantX);
            EXPECT_EQ(Window(0x3312), s.wantY);
            const std::vector<std::string> got = Writes(from);
            ASSERT_EQ(got.size(), 6u);
            EXPECT_EQ(got.front(), "S3008=01");
            EXPECT_EQ(got.back(), "S3008=00");
            for (const std::string& w : got) EXPECT_EQ(w[0], 'S') << w;
        }
    }
}

// ---- Gain and offset ----------------------------------------------------------------------------

TEST_F(C831TimingTest, GainIsLinearAndGoesToTheSensorInItsHold) {
    ASSERT_NE(Fresh(kPid831), nullptr);
    const struct {
        int gain, stored;
    } cases[] = {{-5, 0}, {0, 0}, {87, 87}, {255, 255}, {256, 256}, {480, 480}, {600, 480}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        const std::vector<std::string> want = {"S3008=01", Hex("3204", c.stored), Hex("3205", c.stored >> 8),
                                               "S3008=00"};
        EXPECT_EQ(Writes(from), want);
        long value = -1;
        KYR_BOOL bAuto = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_GAIN, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, c.stored);
    }
    EXPECT_EQ(m_dev.sensor(0x3204), 0xE0);
    EXPECT_EQ(m_dev.sensor(0x3205), 0x01);
}

TEST_F(C831TimingTest, OffsetIsWrittenAsItIsWithoutAHold) {
    ASSERT_NE(Fresh(kPid831), nullptr);
    for (int offset : {60, 120, 0}) {
        SCOPED_TRACE(offset);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_OFFSET, offset), KYR_SUCCESS);
        EXPECT_EQ(Writes(from), (std::vector<std::string>{Hex("3254", offset), "S3255=00"}));
    }
}

// Any failed write of a setter's plan fails the setter; the hold is released
// all the same.
TEST_F(C831TimingTest, AFailedWriteOfAPlanFailsItsControl) {
    const SWriteFault cases[] = {
        {"gain low byte", KYR_GAIN, 300, 0xB6, 0x3204},
        {"gain high byte", KYR_GAIN, 300, 0xB6, 0x3205},
        {"frame length", KYR_EXPOSURE, 5000, 0xBD, 16},
        {"long-exposure switch", KYR_EXPOSURE, 5000, 0xB6, 0x3024},
        {"long-exposure lines", KYR_EXPOSURE, 1500000, 0xB6, 0x40CC},
        {"shutter high byte", KYR_EXPOSURE, 5000, 0xB6, 0x308F},
        {"offset", KYR_OFFSET, 4, 0xB6, 0x3255},
    };
    for (const SWriteFault& c : cases) ExpectWriteFaultFailsControl(kPid831, c, 0x3008);
}

// ---- Exposure -----------------------------------------------------------------------------------

TEST_F(C831TimingTest, ExposuresWithinTheFrameKeepItAtRowsPlus42) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const long long rows = c.maxH;
        EXPECT_EQ(FrameUs(), static_cast<uint32_t>((rows + kExtraLines) * LineUs()));
        const long frame = static_cast<long>(FrameUs());
        for (long exposure : {32L, 1000L, frame / 2, frame}) {
            SCOPED_TRACE(exposure);
            ASSERT_EQ(Set(KYR_EXPOSURE, exposure), KYR_SUCCESS);
            EXPECT_EQ(VMAX(), rows + kExtraLines);
            // The longest exposures of the frame stop at the sensor's shortest shutter line, 16.
            EXPECT_EQ(SHR(), std::max(VMAX() - Lines(exposure), 16LL));
        }
    }
}

TEST_F(C831TimingTest, AShutterLineEqualToTheFrameBecomesRowsPlus41) {
    // A line longer than the shortest exposure: 16-bit output over USB 2.
    ASSERT_NE(Fresh(kPid831, false), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 1456, 1088, 1, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_EXPOSURE, 32), KYR_SUCCESS);
    ASSERT_EQ(Lines(32), 0) << "line " << LineUs();
    EXPECT_EQ(VMAX(), 1088 + 42);
    EXPECT_EQ(SHR(), 1088 + 41);
}

// Longer than the frame the frame grows to the exposure (also in long mode,
// which programs the exposure itself); only far beyond the frame does the
// sensor get its long-exposure block, with L = bin x height + 83.
TEST_F(C831TimingTest, LongerExposuresGrowTheFrameAndFarBeyondItWriteTheLongBlock) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const struct { int w, h, bin; } formats[] = {{c.maxW, c.maxH, 1}, {160, 100, 2}};
        for (const auto& f : formats) {
            SCOPED_TRACE(testing::Message() << f.h << " rows bin " << f.bin);
            ASSERT_EQ(KYRSetROIFormat(0, f.w, f.h, f.bin, IMG_RAW8), KYR_SUCCESS);
            const uint32_t frame = FrameUs();
            const int L = f.bin * f.h + 83;
            for (long exposure : {static_cast<long>(frame) + 1, static_cast<long>(frame) + 100000,
                                  static_cast<long>(frame) + 100001, 999999L, 1500000L, 3000000L}) {
                SCOPED_TRACE(exposure);
                const int from = kyrsim_log_count();
                ASSERT_EQ(Set(KYR_EXPOSURE, exposure), KYR_SUCCESS);
                EXPECT_EQ(SHR(), 16);
                EXPECT_EQ(VMAX(), Lines(exposure) + 16);
                // From the hold on: hold, FPGA VMAX, the block, shutter, release.
                std::vector<std::string> got = Writes(from);
                const int hold = Find831(got, "S3008=01");
                ASSERT_GE(hold, 0);
                got.erase(got.begin(), got.begin() + hold);
                ASSERT_GE(got.size(), 6u);
                EXPECT_EQ(got[1], "F1=1");
                EXPECT_EQ(got[2].rfind("F16=", 0), 0u);
                EXPECT_EQ(got[5], "F1=0");
                std::vector<std::string> block;
                if (exposure > static_cast<long>(frame) + 100000)
                    block = {Hex("40CC", L), Hex("40CD", L >> 8), Hex("40D0", L), Hex("40D1", L >> 8),
                             "S40CE=01",     "S40CF=00",          "S40D2=01",     "S40D3=00",
                             "S309C=2C",     "S40C9=FF",          "S3024=01"};
                else
                    block = {"S3024=00"};
                ASSERT_EQ(got.size(), 6 + block.size() + 4);
                EXPECT_EQ(std::vector<std::string>(got.begin() + 6, got.begin() + 6 + block.size()), block);
                EXPECT_EQ(got[6 + block.size()].rfind("S308D=", 0), 0u);
                EXPECT_EQ(got.back(), "S3008=00");
            }
        }
    }
}

TEST_F(C831TimingTest, TheLongBlocksLineCountIsCappedAt4095) {
    const SLongExpRegBlock* block = g_DescS831MC.exposure.pLongExpRegs;
    ASSERT_NE(block, nullptr);
    const struct {
        long long rows;
        uint32_t lines;
    } cases[] = {{1088, 1171}, {544, 627}, {4012, 4095}, {4013, 4095}, {100000, 4095}};
    for (const auto& c : cases) EXPECT_EQ(LongExpRegLines(*block, c.rows), c.lines) << c.rows;
}

TEST_F(C831TimingTest, SetExpSwitchesTheFpgaWaitAndTriggerModesWithLongMode) {
    for (const S831Class& c : Classes831()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const int base = m_dev.fpga(0) & ~0xC0;
        int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
        std::vector<std::string> got = Writes(from);
        const int wait = Find831(got, "F0=" + std::to_string(base | 0x40));
        const int trigger = Find831(got, "F0=" + std::to_string(base | 0xC0));
        ASSERT_TRUE(wait >= 0 && trigger > wait) << wait << " " << trigger;
        EXPECT_LT(trigger, Find831(got, "S3008=01"));
        EXPECT_TRUE(Locked([&] { return static_cast<bool>(m_pCam->m_bLongExpMode); }));
        // A second long exposure switches nothing again.
        from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000000), KYR_SUCCESS);
        for (const std::string& w : Writes(from)) EXPECT_NE(w.rfind("F0=", 0), 0u) << w;
        // Back below a second: the trigger mode off, then the wait mode.
        from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_EXPOSURE, 999999), KYR_SUCCESS);
        got = Writes(from);
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[0], "F0=" + std::to_string(base | 0x40));
        EXPECT_EQ(got[1], "F0=" + std::to_string(base));
        EXPECT_FALSE(Locked([&] { return static_cast<bool>(m_pCam->m_bLongExpMode); }));
    }
}

// ---- Bandwidth ----------------------------------------------------------------------------------

TEST_F(C831TimingTest, TheProPacesTheFpgaAndRunsAtItsShortestLine) {
    const struct {
        bool usb3;
        long long pacing;
    } cases[] = {{true, 72}, {false, 2702}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.usb3 ? "USB3" : "USB2");
        ASSERT_NE(Fresh(kPid831Pro, c.usb3), nullptr);
        EXPECT_EQ(HMAX(), 104);
        EXPECT_EQ(Pacing(), c.pacing);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 50), KYR_SUCCESS);
        EXPECT_EQ(HMAX(), 104);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 50, true), KYR_SUCCESS);
        EXPECT_EQ(Pacing(), c.pacing);
    }
}

// Without the DDR the line is as long as the link needs: HMAX =
// 100 x max(pkg, shortest line) / percent, pkg from the frame rate the USB
// carries over rows + 42 lines.
TEST_F(C831TimingTest, TheMcsLineFollowsTheUsbRate) {
    const struct {
        bool usb3;
        int w, h, bin;
        IMG_TYPE type;
        int percent;
        bool highSpeed;
    } cases[] = {
        {true, 1456, 1088, 1, IMG_RAW16, 80, false},  {true, 640, 480, 1, IMG_RAW8, 40, false},
        {false, 1456, 1088, 1, IMG_RAW16, 80, false}, {false, 1456, 1088, 1, IMG_RAW8, 100, false},
        {false, 320, 240, 2, IMG_RAW8, 60, true},     {true, 1456, 1088, 1, IMG_RAW8, 100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.usb3 ? "USB3 " : "USB2 ") << c.w << "x" << c.h << " bin " << c.bin << " "
                     << c.percent << "%" << (c.highSpeed ? " high speed" : ""));
        ASSERT_NE(Fresh(kPid831, c.usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, c.highSpeed ? 1 : 0), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, c.percent), KYR_SUCCESS);
        const double bytes = c.type == IMG_RAW16 ? 2.0 : 1.0;
        const long long rows = static_cast<long long>(c.h) * c.bin,
                        cols = static_cast<long long>(c.w) * c.bin;
        const double fps = (c.usb3 ? 390000.0 : 43272.0) * 1000 / bytes / rows / cols;
        const long long pkg =
            static_cast<long long>(kClockKHz * (1000000.0 / fps / (rows + kExtraLines)) / 1000);
        const long long shortest = c.highSpeed ? 80 : 156;
        const long long want = 100 * std::max(pkg, shortest) / c.percent;
        EXPECT_EQ(HMAX(), std::min(want, 65535LL));
    }
}

}  // namespace

// The 836's two sensor modes and its window: register 0x3009 shared by the
// ADC mode and the conversion gain, the writes of each mode, the window
// checks, centring and start alignment.
#include "test_s836_fixture.h"

namespace {

class C836ModeTest : public C836Test {
  protected:
    void SetUp() override {
        C836Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
    }
    // Reads of 0x3009 fail from now on.
    void FailReads() {
        kyrsim::Fault()
            .device(m_dev)
            .request(kReadSensor)
            .in()
            .value(0x3009)
            .always()
            .error(LIBUSB_ERROR_IO)
            .add();
    }
    int ModeWrites() const {
        int n = 0;
        for (int reg : {0x3005, 0x3009, 0x3044, 0x305C}) n += m_dev.sensorWrites(reg);
        return n;
    }
};

TEST_F(C836ModeTest, AdcModeAndConversionGainShareRegister3009) {
    ASSERT_EQ(m_dev.sensor(0x3009), 0x11);
    const struct {
        const char* step;
        KYR_CONTROL_TYPE type;
        long value;
        int reg3009;
    } steps[] = {
        {"high speed on", KYR_HIGH_SPEED_MODE, 1, 0x10},
        {"gain 30", KYR_GAIN, 30, 0x00},
        {"high speed off", KYR_HIGH_SPEED_MODE, 0, 0x01},
        {"gain 61", KYR_GAIN, 61, 0x11},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        ASSERT_EQ(Set(s.type, s.value), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x3009), s.reg3009);
    }
}

TEST_F(C836ModeTest, AFailedReadOf3009WritesNoneOfItAndFailsTheCall) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    FailReads();
    const struct {
        const char* call;
        std::function<KYR_ERROR_CODE()> fn;
        KYR_ERROR_CODE expected;
    } calls[] = {
        {"gain", [&] { return Set(KYR_GAIN, 30); }, KYR_ERROR_GENERAL_ERROR},
        {"high speed", [&] { return Set(KYR_HIGH_SPEED_MODE, 1); }, KYR_ERROR_GENERAL_ERROR},
        {"format", [&] { return KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16); }, KYR_ERROR_INVALID_SIZE},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.call);
        const int writes = m_dev.sensorWrites(0x3009);
        const int reads = kyrsim_log_count_matching(m_dev.handle(), kReadSensor, KYRSIM_DIR_IN);
        EXPECT_EQ(c.fn(), c.expected);
        EXPECT_GT(kyrsim_log_count_matching(m_dev.handle(), kReadSensor, KYRSIM_DIR_IN), reads);
        EXPECT_EQ(m_dev.sensorWrites(0x3009), writes);
        EXPECT_EQ(m_dev.sensor(0x3009), 0x11);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
    // The refused calls left the 12-bit mode and the 8-bit format in force.
    EXPECT_EQ(m_dev.sensor(0x3005), 0x01);
    EXPECT_EQ(m_dev.sensor(0x3044), 0xF1);
    EXPECT_EQ(m_dev.sensor(0x305C), 0x18);
    EXPECT_FALSE(m_pCam->m_bHighSpeed);
    int w = 0, h = 0, bin = 0;
    IMG_TYPE type = IMG_END;
    ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
    EXPECT_EQ(type, IMG_RAW8);
    // Reads that work again make every call work.
    kyrsim_clear_faults();
    EXPECT_EQ(Set(KYR_GAIN, 30), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(0x3009), 0x01);
}

TEST_F(C836ModeTest, HighSpeedInRaw8SelectsTheTenBitMode) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x3005), 0x00);
        EXPECT_EQ(m_dev.sensor(0x3044), 0xF0);
        EXPECT_EQ(m_dev.sensor(0x305C), 0x28);
        EXPECT_EQ(m_dev.sensor(0x3009) & 0x01, 0);
        // The FPGA takes 10-bit data and sends 8 bits.
        EXPECT_EQ(m_dev.fpga(10) & 0x11, 0x00);
        // With DDR the sensor runs at the mode's shortest line.
        if (c.ddr) {
            EXPECT_EQ(HMAX(m_dev), 148);
        }
        // The mode's writes go to the sensor unheld, in order.
        std::vector<uint16_t> order;
        for (const SHeldWrite& w : HeldWrites(m_dev.handle(), from)) {
            if (w.reg == 0x3005 || w.reg == 0x3044 || w.reg == 0x305C ||
                (w.reg == 0x3009 && (w.value & 0x10))) {
                order.push_back(w.reg);
                if (w.reg != 0x3009) {
                    EXPECT_FALSE(w.held) << std::hex << w.reg;
                }
            }
        }
        const std::vector<uint16_t> expected = {0x3005, 0x3009, 0x3044, 0x305C};
        EXPECT_EQ(order, expected);

        ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 0), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x3005), 0x01);
        EXPECT_EQ(m_dev.sensor(0x3044), 0xF1);
        EXPECT_EQ(m_dev.sensor(0x305C), 0x18);
        EXPECT_EQ(m_dev.sensor(0x3009), 0x11);
        if (c.ddr) {
            EXPECT_EQ(HMAX(m_dev), 274);
        }
    }
}

TEST_F(C836ModeTest, HighSpeedInRaw16OnlyStoresTheFlagUntilEightBitOutput) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
    kyrsim::clearLog();
    ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_TRUE(m_pCam->m_bHighSpeed);
    EXPECT_EQ(m_dev.sensor(0x3005), 0x01);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(0x3005), 0x00);
    EXPECT_EQ(m_dev.sensor(0x3009), 0x10);
}

TEST_F(C836ModeTest, ABinChangeAloneWritesNoModeRegisters) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const int writes = ModeWrites();
    const int reads = kyrsim_log_count_matching(m_dev.handle(), kReadSensor, KYRSIM_DIR_IN);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(ModeWrites(), writes);
    EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), kReadSensor, KYRSIM_DIR_IN), reads);
    // A type change does reload the mode.
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW16), KYR_SUCCESS);
    EXPECT_GT(ModeWrites(), writes);
}

// ---- Window ---------------------------------------------------------------------------------

TEST_F(C836ModeTest, FormatsBeyondTheSensorOrItsBinsAreRefused) {
    const struct {
        int w, h, bin;
        KYR_ERROR_CODE expected;
    } cases[] = {
        {1936, 1096, 1, KYR_SUCCESS},
        {1936, 1096, 2, KYR_ERROR_INVALID_SIZE},
        {968, 548, 2, KYR_SUCCESS},
        {640, 360, 3, KYR_ERROR_INVALID_SIZE},
        {480, 272, 4, KYR_ERROR_INVALID_SIZE},
        {968, 550, 2, KYR_ERROR_INVALID_SIZE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin);
        EXPECT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), c.expected);
    }
    // The last accepted one is in force: the whole sensor read out for bin 2.
    EXPECT_EQ(m_dev.fpgaWide(4, 2), 1936);
    EXPECT_EQ(m_dev.fpgaWide(8, 2), 1096);
    EXPECT_EQ(m_dev.sensor(0x303E) | m_dev.sensor(0x303F) << 8, 1936);
    EXPECT_EQ(m_dev.sensor(0x303A) | m_dev.sensor(0x303B) << 8, 1096);
}

TEST_F(C836ModeTest, StartPositionsAlignDownAndWriteInsideTheHold) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const struct {
        int x, y, sx, sy;
    } cases[] = {{7, 5, 4, 4}, {0, 0, 0, 0}, {1299, 617, 1296, 616}, {1500, 900, 1296, 616}, {-3, -1, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        EXPECT_EQ(m_pCam->m_iStartX, c.sx);
        EXPECT_EQ(m_pCam->m_iStartY, c.sy);
        EXPECT_EQ(m_dev.sensor(0x303C) | m_dev.sensor(0x303D) << 8, c.sx);
        EXPECT_EQ(m_dev.sensor(0x3038) | m_dev.sensor(0x3039) << 8, c.sy);
        for (const SHeldWrite& w : HeldWrites(m_dev.handle(), from)) EXPECT_TRUE(w.held) << std::hex << w.reg;
        // The blanking belongs to the window size, not to its start.
        for (const kyrsim::Request& r : Log(from)) {
            if (r.request != kWriteFpga) continue;
            EXPECT_FALSE(r.value == 2 || r.value == 3 || r.value == 6 || r.value == 7) << r.value;
        }
    }
}

TEST_F(C836ModeTest, EveryFormatCentresTheWindowAndWritesItsSizeUnheld) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 8, 4), KYR_SUCCESS);
    const struct {
        int w, h, bin;
    } formats[] = {{640, 480, 1}, {320, 240, 2}, {1936, 1096, 1}, {968, 546, 2}};
    for (const auto& f : formats) {
        SCOPED_TRACE(testing::Message() << f.w << "x" << f.h << " bin " << f.bin);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetROIFormat(0, f.w, f.h, f.bin, IMG_RAW8), KYR_SUCCESS);
        const int cols = f.w * f.bin, rows = f.h * f.bin;
        EXPECT_EQ(m_pCam->m_iStartX, (1936 - cols) / 2);
        EXPECT_EQ(m_pCam->m_iStartY, (1096 - rows) / 2);
        EXPECT_EQ(m_dev.sensor(0x303E) | m_dev.sensor(0x303F) << 8, cols);
        EXPECT_EQ(m_dev.sensor(0x303A) | m_dev.sensor(0x303B) << 8, rows);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), cols);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), rows);
        EXPECT_EQ(m_dev.fpgaWide(2, 2), 4);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), 9);
        int sizeWrites = 0;
        for (const SHeldWrite& w : HeldWrites(m_dev.handle(), from)) {
            if (w.reg >= 0x303A && w.reg <= 0x303F && w.reg != 0x303C && w.reg != 0x303D) {
                ++sizeWrites;
                EXPECT_FALSE(w.held) << std::hex << w.reg;
            }
        }
        EXPECT_EQ(sizeWrites, 4);
        // The FPGA takes its frame from the width and height alone: no payload length.
        for (const kyrsim::Request& r : Log(from)) {
            EXPECT_FALSE(r.request == kWriteFpga && r.value >= 64 && r.value <= 67) << r.value;
        }
    }
}

TEST_F(C836ModeTest, OffsetIsClampedAndWrittenHighByteFirstUnheld) {
    const struct { int offset, stored; } cases[] = {{256, 240}, {240, 240}, {17, 17}, {-4, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        const int from = kyrsim_log_count();
        ASSERT_TRUE(Locked([&] { return m_pCam->SetBrightness(c.offset); }));
        EXPECT_EQ(m_pCam->m_iBrightness, c.stored);
        const std::vector<SHeldWrite> writes = HeldWrites(m_dev.handle(), from);
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0].reg, 0x300B);
        EXPECT_EQ(writes[0].value, c.stored >> 8);
        EXPECT_EQ(writes[1].reg, 0x300A);
        EXPECT_EQ(writes[1].value, c.stored & 0xFF);
        EXPECT_FALSE(writes[0].held || writes[1].held);
    }
}

}  // namespace

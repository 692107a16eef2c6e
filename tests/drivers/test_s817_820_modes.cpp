// Gain and sensor modes of the 817 and 820 as the sensor and the FPGA
// receive them: the gain law on 0x3030 and 0x3070/0x3071, and the readout
// mode chosen by hardware bin, bin, high speed and type.
#include "test_s817_820_fixture.h"

namespace {

class C817820ModeTest : public C817820Test {
  protected:
    void SetHardwareBin(bool on) { ASSERT_EQ(Set(KYR_HARDWARE_BIN, on ? 1 : 0), KYR_SUCCESS); }
    KYR_ERROR_CODE SetHighSpeed(bool on) { return Set(KYR_HIGH_SPEED_MODE, on ? 1 : 0); }
};

TEST_F(C817820ModeTest, GainMapsToCodeAndConversionGain) {
    struct SCase {
        int pid;
        int gain, stored, hcg, code;
    };
    const SCase cases[] = {
        {kPid817, -1, 0, 0, 0},      {kPid817, 251, 251, 0, 83},  {kPid817, 252, 252, 1, 34},
        {kPid817, 700, 600, 1, 150}, {kPid820, 181, 181, 0, 60},  {kPid820, 182, 182, 1, 34},
        {kPid820, 600, 600, 1, 173}, {kPid820, 601, 600, 1, 173}, {kPid820, -1, 0, 0, 0},
    };
    int pid = 0;
    for (const SCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " gain " << c.gain);
        if (c.pid != pid) {
            ASSERT_NE(Fresh(pid = c.pid), nullptr);
        }
        // Directly: the control would clamp the value before the map.
        ASSERT_TRUE(Locked([&] { return m_pCam->SetGain(c.gain, false); }));
        EXPECT_EQ(m_pCam->m_iGain, c.stored);
        EXPECT_EQ(m_dev.sensor(0x3030), c.hcg);
        EXPECT_EQ(m_dev.sensor(0x3070), c.code);
        EXPECT_EQ(m_dev.sensor(0x3071), 0);
        if (c.gain >= 0 && c.gain <= 600) {
            ASSERT_TRUE(Locked([&] { return m_pCam->SetGain(0, false); }));
            ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
            EXPECT_EQ(m_dev.sensor(0x3070), c.code);
        }
    }
}

TEST_F(C817820ModeTest, OffsetIsClampedToTheModelsRange) {
    struct SCase {
        int pid, offset, stored;
    };
    const SCase cases[] = {{kPid817, 350, 300}, {kPid817, -4, 0}, {kPid820, 351, 350}, {kPid820, 200, 200}};
    int pid = 0;
    for (const SCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " offset " << c.offset);
        if (c.pid != pid) {
            ASSERT_NE(Fresh(pid = c.pid), nullptr);
        }
        ASSERT_TRUE(Locked([&] { return m_pCam->SetBrightness(c.offset); }));
        EXPECT_EQ(m_pCam->m_iBrightness, c.stored);
        EXPECT_EQ(SensorPair(m_dev, 0x30DC), c.stored);
    }
}

struct SModeCase {
    int pid;
    bool hardwareBin;
    int bin;
    bool highSpeed;
    IMG_TYPE type;
    int r301B, r3022, r3023;
    int r3C38;  // -1: not a mode register of the model
    int adc, out16;
    int hmax;  // the mode's shortest line: the FPGA's HMAX with the DDR in use
};

const SModeCase kModes[] = {
    // 817: 12-bit, 10-bit high speed, sensor binning at its only sensor bin.
    {kPid817, false, 1, false, IMG_RAW8, 0, 1, 1, 0x21, 1, 0, 230},
    {kPid817, false, 1, true, IMG_RAW8, 0, 0, 1, 0x23, 0, 0, 163},
    {kPid817, false, 2, true, IMG_Y8, 0, 0, 1, 0x23, 0, 0, 163},
    {kPid817, true, 2, false, IMG_RAW8, 1, 0, 1, 0x23, 0, 0, 163},
    {kPid817, true, 2, true, IMG_RAW16, 1, 0, 1, 0x23, 0, 1, 163},
    {kPid817, false, 1, true, IMG_RAW16, 0, 1, 1, 0x21, 1, 1, 230},
    {kPid817, false, 2, false, IMG_RGB24, 0, 1, 1, 0x21, 1, 0, 230},
    // 820: the same modes at bins 2 and 4; bin 3 is all software.
    {kPid820, false, 1, false, IMG_RAW8, 0, 1, 1, -1, 1, 0, 172},
    {kPid820, false, 1, true, IMG_RAW8, 0, 0, 1, -1, 0, 0, 172},
    {kPid820, false, 3, true, IMG_Y8, 0, 0, 1, -1, 0, 0, 172},
    {kPid820, true, 2, false, IMG_RAW8, 1, 0, 1, -1, 0, 0, 120},
    {kPid820, true, 4, true, IMG_RAW8, 1, 0, 1, -1, 0, 0, 120},
    {kPid820, true, 4, false, IMG_RAW16, 1, 0, 1, -1, 0, 1, 120},
    {kPid820, true, 3, false, IMG_RAW8, 0, 1, 1, -1, 1, 0, 172},
    {kPid820, false, 1, true, IMG_RAW16, 0, 1, 1, -1, 1, 1, 172},
};

TEST_F(C817820ModeTest, SensorModesFollowHardwareBinBinHighSpeedAndType) {
    int pid = 0;
    for (const SModeCase& c : kModes) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.pid << std::dec << (c.hardwareBin ? " hw" : "") << " bin " << c.bin
                     << (c.highSpeed ? " high speed" : "") << " type " << c.type);
        if (c.pid != pid) {
            ASSERT_NE(Fresh(pid = c.pid), nullptr);
        }
        ASSERT_EQ(SetHighSpeed(false), KYR_SUCCESS);
        SetHardwareBin(c.hardwareBin);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, c.bin, c.type), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(SetHighSpeed(c.highSpeed), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x301B), c.r301B);
        EXPECT_EQ(m_dev.sensor(0x3022), c.r3022);
        EXPECT_EQ(m_dev.sensor(0x3023), c.r3023);
        if (c.r3C38 >= 0) {
            EXPECT_EQ(m_dev.sensor(0x3C38), c.r3C38);
        }
        EXPECT_EQ(m_dev.fpga(10) & 0x01, c.adc);
        EXPECT_EQ((m_dev.fpga(10) >> 4) & 0x01, c.out16);
        EXPECT_EQ(FpgaHMAX(m_dev), c.hmax);
        EXPECT_EQ(MinHMAX(), c.hmax);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs817820(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

// With high speed on and 8-bit output, a bin or type change reselects the
// mode: the 817 goes back to its 12-bit sensor mode while its FPGA's ADC
// width still follows the stored high-speed flag (10-bit); the 820 keeps its
// 10-bit mode in the sensor and the FPGA.
TEST_F(C817820ModeTest, ABinOrTypeChangeUnderHighSpeedReselectsTheModePerModel) {
    struct SCase {
        int pid;
        int r3022;
        int adc;
        int hmax;
    };
    const SCase cases[] = {{kPid817, 1, 0, 230}, {kPid820, 0, 0, 172}};
    const struct {
        const char* name;
        int bin;
        IMG_TYPE type;
    } changes[] = {{"bin", 2, IMG_RAW8}, {"type", 1, IMG_RGB24}};
    for (const SCase& c : cases) {
        for (const auto& change : changes) {
            SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " " << change.name);
            ASSERT_NE(Fresh(c.pid), nullptr);
            ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
            ASSERT_EQ(SetHighSpeed(true), KYR_SUCCESS);
            ASSERT_EQ(m_dev.sensor(0x3022), 0);
            ASSERT_EQ(KYRSetROIFormat(0, 320, 240, change.bin, change.type), KYR_SUCCESS);
            EXPECT_EQ(m_dev.sensor(0x3022), c.r3022);
            EXPECT_EQ(m_dev.fpga(10) & 0x01, c.adc);
            EXPECT_EQ(FpgaHMAX(m_dev), c.hmax);
            EXPECT_TRUE(m_pCam->m_bHighSpeed);
            if (c.pid == kPid817) {
                EXPECT_EQ(m_dev.sensor(0x3C38), 0x21);
            }
        }
    }
}

}  // namespace

// The three 836 classes: what they tell a caller about themselves, and how
// initialisation leaves the sensor and the FPGA.
#include <memory>
#include <string>
#include <utility>

#include "test_s836_fixture.h"

namespace {

constexpr int kFpgaCtrlStop = 0x10;

TEST_F(C836Test, EachClassDescribesItself) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        EXPECT_STREQ(m_pCam->m_pszShortName, c.shortName);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, 1936);
        EXPECT_EQ(info.max_height, 1096);
        EXPECT_EQ(info.is_color, KYR_TRUE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        const int bins[] = {1, 2, 0};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 3.75);
        EXPECT_FLOAT_EQ(m_pCam->m_fElecPerADU, 4.56f);
        EXPECT_EQ(info.bit_depth, 12);
        EXPECT_EQ(info.st4_port, c.st4 ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.has_cooler, c.cooler ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.is_trigger, KYR_FALSE);
        EXPECT_EQ(m_pCam->m_bDDREnable, c.ddr);
    }
}

TEST_F(C836Test, EachClassOffersItsControls) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ExpectControlLimits(0, {
                                   {"Gain", 600, 0, 200},
                                   {"Exposure", 2000000000, 32, 10000},
                                   {"Offset", 240, 0, 1},
                                   {"WB_R", 99, 1, 52},
                                   {"WB_B", 99, 1, 95},
                                   {"BandWidth", 100, 40, 50},
                               });
        KYR_CONTROL_CAPS caps;
        EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_TRUE(FindControl(0, "Temperature", &caps));
        EXPECT_EQ(FindControl(0, "CoolerOn", &caps), c.cooler);
    }
}

TEST_F(C836Test, HardwareBinIsAcceptedAndChangesNothing) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW8), KYR_SUCCESS);
        kyrsim::clearLog();
        EXPECT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        EXPECT_EQ(kyrsim_log_count(), 0);
        long value = -1;
        KYR_BOOL bAuto = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, KYR_HARDWARE_BIN, &value, &bAuto), KYR_SUCCESS);
        EXPECT_EQ(value, 0);
        // Bin 2 stays a software bin of the full readout.
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 1280);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 960);
    }
}

TEST_F(C836Test, InitWritesTheStartUpTableAndFixedRowsUnheldInOrder) {
    ASSERT_NE(Setup(), nullptr);
    const std::vector<std::pair<uint16_t, uint8_t>> expected = {{0x3003, 0x01},
                                                                {0x3003, 0x00},
                                                                {0x3005, 0x01},
                                                                {0x3009, 0x01},
                                                                {0x3018, 0x65},
                                                                {0x3019, 0x04},
                                                                {0x301A, 0x00},
                                                                {0x301B, 0x98},
                                                                {0x301C, 0x08},
                                                                {0x3044, 0xF1},
                                                                {0x305C, 0x18},
                                                                {0x305D, 0x00},
                                                                {0x305E, 0x20},
                                                                {0x305F, 0x00},
                                                                {0x3000, 0x00},
                                                                // The fixed rows.
                                                                {0x305C, 0x18},
                                                                {0x305D, 0x00},
                                                                {0x305E, 0x20},
                                                                {0x305F, 0x00},
                                                                {0x3044, 0xF1},
                                                                {0x3005, 0x01},
                                                                {0x3036, 0x08},
                                                                {0x3007, 0x40},
                                                                // After the FPGA reset and command 0xAF.
                                                                {0x3002, 0x01},
                                                                {0x3049, 0x00}};
    const auto writes = SensorWrites(m_dev.handle());
    ASSERT_GE(writes.size(), expected.size());
    const std::vector<std::pair<uint16_t, uint8_t>> first(writes.begin(), writes.begin() + expected.size());
    EXPECT_EQ(first, expected);

    // The soft reset's pause, and the first sensor writes after command 0xAF.
    const std::vector<kyrsim::Request> log = Log(0);
    long long resetOn = -1, resetOff = -1;
    std::vector<uint16_t> afterAF;
    bool seenAF = false;
    for (const kyrsim::Request& r : log) {
        seenAF = seenAF || r.request == 0xAF;
        if (r.request != kWriteSensor) continue;
        if (r.value == 0x3003 && r.index == 1 && resetOn < 0) resetOn = r.start_us;
        if (r.value == 0x3003 && r.index == 0 && resetOff < 0) resetOff = r.start_us;
        if (seenAF) afterAF.push_back(static_cast<uint16_t>(r.value));
    }
    EXPECT_GE(resetOff - resetOn, 32000);
    ASSERT_GE(afterAF.size(), 2u);
    EXPECT_EQ(afterAF[0], 0x3002);
    EXPECT_EQ(afterAF[1], 0x3049);
}

TEST_F(C836Test, InitLeavesTheSensorStreamingReadyAndTheFpgaStopped) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        EXPECT_NE(m_dev.fpga(0) & kFpgaCtrlStop, 0);
        EXPECT_EQ(m_dev.sensor(0x3000), 0);
        // Only the table's row took the sensor out of standby; nothing put it back.
        EXPECT_EQ(m_dev.sensorWrites(0x3000), 1);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
        // 12-bit ADC and high conversion gain for the default gain of 200.
        EXPECT_EQ(m_dev.sensor(0x3009), 0x11);
        EXPECT_EQ(m_dev.sensor(0x3005), 0x01);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), 1936);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), 1096);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs836());
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C836Test, OnlyTheProTestsItsDdr) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(c.pid);
        ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
        m_pCam = OpenInit(0, c.ddr ? KYR_ERROR_GENERAL_ERROR : KYR_SUCCESS);
        ASSERT_NE(m_pCam, nullptr);
        int ddrInits = 0;
        for (const kyrsim::Request& r : Log(0))
            if (r.request == kWriteFpga && r.value == 24 && r.index == 128) ++ddrInits;
        if (c.ddr) {
            EXPECT_GT(ddrInits, 0);
        } else {
            EXPECT_EQ(ddrInits, 0);
        }
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C836Test, TheCooledClassesRunTheirCoolerOffAfterInit) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
        ASSERT_EQ(cool != nullptr, c.cooler);
        if (!cool) continue;
        EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
        EXPECT_FALSE(cool->m_bAutoTempOn);
        EXPECT_EQ(m_dev.coolerDrive(), 255);
    }
}

TEST_F(C836Test, OnlyTheProSwitchesItsDdr) {
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        kyrsim::clearLog();
        EXPECT_TRUE(Locked([&] { return m_pCam->SetEnableDDR(!c.ddr); }));
        EXPECT_EQ(m_pCam->m_bDDREnable, !c.ddr);
        // Without DDR the flag is only stored; the Pro programs the FPGA and its window again.
        EXPECT_EQ(kyrsim_log_count() > 0, c.ddr);
    }
}

}  // namespace

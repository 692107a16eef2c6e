// The S7100 mono camera as a caller opens it: its description and
// controls, the start-up it sends the camera (from the request log), and
// the registers it leaves after KYRInitCamera.
#include <string>

#include "test_s7100_fixture.h"

namespace {

// The published start-up rows (the 10 ms delay after the second), then the six fixed writes.
const std::vector<std::pair<int, int>> kInitRows = {
    {0x1EE, 0x01}, {0x000, 0x04}, {0x003, 0x10}, {0x018, 0x01}, {0x027, 0x06}, {0x051, 0x08}, {0x0D3, 0x08},
    {0x133, 0x8C}, {0x368, 0xE0}, {0x400, 0x0E}, {0x454, 0x22}, {0x456, 0x22}, {0x559, 0x19}, {0x55A, 0x17},
    {0x55C, 0x19}, {0x55D, 0x17}, {0x55F, 0x20}, {0x560, 0x1E}, {0x562, 0x20}, {0x563, 0x1E}, {0x56B, 0x27},
    {0x56C, 0x25}, {0x56E, 0x20}, {0x56F, 0x1E}, {0x573, 0x00}, {0x590, 0x01}, {0x596, 0x19}, {0x597, 0x14},
    {0x598, 0x20}, {0x599, 0x1B}, {0x600, 0x1C}, {0x635, 0x19}, {0x636, 0x15}, {0x637, 0x20}, {0x638, 0x15},
    {0x63A, 0x19}, {0x63B, 0x15}, {0x63C, 0x20}, {0x63D, 0x15}, {0x63F, 0x19}, {0x640, 0x15}, {0x641, 0x20},
    {0x642, 0x15}, {0x66E, 0x11}, {0x671, 0x11}, {0x674, 0x11}, {0x677, 0x11}, {0x7CC, 0x0A}, {0x113, 0x00},
    {0x120, 0xBC}, {0x121, 0x01},
    // fixed writes
    {0x003, 0x10}, {0x007, 0x01}, {0x0A7, 0x01}, {0x1D8, 0x04}, {0x048, 0x0F}, {0x051, 0x08},
};
constexpr long long kDelayUs = 10000;

TEST_F(C7100Test, TheCameraDescribesItselfAsTheCooledMonoS7100) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    // At gain 0 the electrons per ADU are the sensor's own.
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 0, KYR_FALSE), KYR_SUCCESS);
    KYR_CAMERA_INFO info{};
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    EXPECT_STREQ(info.name, "VORN KYR7100MM Pro");
    EXPECT_EQ(info.max_width, kW7100);
    EXPECT_EQ(info.max_height, kH7100);
    EXPECT_EQ(info.is_color, KYR_FALSE);
    EXPECT_DOUBLE_EQ(info.pixel_size_um, 3.76);
    EXPECT_EQ(info.bit_depth, 16);
    EXPECT_FLOAT_EQ(info.elec_per_adu, 0.768f);
    EXPECT_EQ(info.has_cooler, KYR_TRUE);
    EXPECT_EQ(info.st4_port, KYR_FALSE);
    EXPECT_EQ(info.is_usb3, KYR_TRUE);
    const int bins[] = {1, 2, 3, 4, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
    EXPECT_EQ(info.supported_image_types[0], IMG_RAW8);
    EXPECT_EQ(info.supported_image_types[1], IMG_RAW16);
    EXPECT_EQ(info.supported_image_types[2], IMG_END);
    ExpectControlLimits(0, {{"Gain", 700, 0, 200},
                            {"Exposure", 2000000000, 32, 10000},
                            {"Offset", 240, 0, 1},
                            {"BandWidth", 100, 40, 50},
                            {"HardwareBin", 1, 0, 0},
                            {"HighSpeedMode", 1, 0, 0},
                            {"AntiDewHeater", 1, 0, 0}});
    KYR_CONTROL_CAPS caps;
    EXPECT_TRUE(FindControl(0, "Temperature", &caps));
    EXPECT_TRUE(FindControl(0, "CoolerOn", &caps));
    EXPECT_FALSE(FindControl(0, "WB_R", &caps));
    ExpectNoTriggerMode(0);
}

TEST_F(C7100Test, InitialisingANeverOpenedCameraFailsWithoutUsbTraffic) {
    Plug(kPid7100);
    kyrsim::clearLog();
    CDriverObject<CCameraS7100MM_Pro> cam;
    EXPECT_FALSE(cam.InitCamera());
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(C7100Test, InitWalksTheTableAndFixedRowsThenSetsTheFpgaUpAndEndsParked) {
    m_dev = Plug(kPid7100);
    // A bin mode left over from before the start-up.
    ASSERT_TRUE(m_dev.setFpga(kF7100Bin, 0x03));
    const int from = LogSize();
    ASSERT_NE(m_pCam = OpenInit(), nullptr);
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    const std::vector<SWrite7100> writes = Writes(from);

    // The rows in order, the 10 ms delay after the wake-up; nothing between them.
    std::vector<std::pair<int, int>> first(SensorWrites(from));
    ASSERT_GE(first.size(), kInitRows.size());
    first.resize(kInitRows.size());
    EXPECT_EQ(first, kInitRows);
    int wake = -1, next = -1;
    for (const SWrite7100& w : writes) {
        if (wake >= 0 && w.kind == 'S') {
            next = w.index;
            break;
        }
        if (w.kind == 'S' && w.reg == kReg7100Power) wake = w.index;
    }
    ASSERT_GT(next, wake);
    EXPECT_GE(log[next].start_us - log[wake].start_us, kDelayUs);

    // The FPGA reset after the rows, the start-up command, then the bin mode none.
    int reset = -1;
    for (const SWrite7100& w : writes)
        if (w.kind == 'F' && w.reg == kF7100Ctrl && !(w.value & 1)) {
            reset = w.index;
            break;
        }
    ASSERT_GT(reset, next);
    EXPECT_EQ(kyrsim::requests(0xAF, m_dev.handle()).size(), 1u);
    EXPECT_EQ(m_dev.fpga(kF7100Bin) & 0x03, 0);

    // The cooler runs at power 0 through FPGA register 38, regulation off.
    CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
    ASSERT_NE(cool, nullptr);
    EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
    EXPECT_FALSE(cool->m_bAutoTempOn);
    bool cooler = false;
    for (const SWrite7100& w : writes) cooler = cooler || (w.kind == 'F' && w.reg == 38);
    EXPECT_TRUE(cooler);
    EXPECT_EQ(Get(KYR_COOLER_POWER_PERC), 0);

    // Parked: stream switch 5, awake in standby, FPGA stopped.
    EXPECT_EQ(m_dev.sensor(kReg7100Stream), 5);
    EXPECT_EQ(m_dev.sensor(kReg7100Power), 0x05);
    EXPECT_TRUE(m_dev.fpga(kF7100Ctrl) & kCtrl7100Stop);
    // The last stream-switch write comes after the FPGA's last stop.
    int park = -1, stop = -1;
    for (const SWrite7100& w : writes) {
        if (w.kind == 'S' && w.reg == kReg7100Stream && w.value == 5) park = w.index;
        if (w.kind == 'F' && w.reg == kF7100Ctrl && (w.value & kCtrl7100Stop)) stop = w.index;
    }
    EXPECT_GT(park, stop);
}

TEST_F(C7100Test, AfterInitTheFullFrameIsProgrammedAsPublished) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    EXPECT_EQ(Fpga16(kF7100Width), 6248);
    EXPECT_EQ(Fpga16(kF7100Height), 4176);
    EXPECT_EQ(Fpga32(kF7100DataLen), 6522912L);
    EXPECT_EQ(Fpga16(kF7100HMAX), 1350);
    EXPECT_EQ(m_dev.fpga(kF7100Pace), 6);
    EXPECT_EQ(m_dev.fpga(kF7100Pace + 1), 0);
    EXPECT_EQ(Fpga24(kF7100VMAX), 4224);
    EXPECT_EQ(Fpga16(kF7100HBLK), 24);
    EXPECT_EQ(Fpga16(kF7100VBLK), 45);
    EXPECT_EQ(m_dev.sensor(kReg7100SHR), 0xF5);
    EXPECT_EQ(m_dev.sensor(kReg7100SHR + 1), 0x07);
    const int gain[] = {0xF0, 0x0A, 0xF0, 0x0A};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m_dev.sensor(kReg7100Gain + i), gain[i]) << i;
    EXPECT_EQ(m_dev.sensor(kReg7100ConvGain), 1);
    EXPECT_EQ(m_dev.sensor(kReg7100Offset), 10);
    EXPECT_EQ(m_dev.sensor(kReg7100Rows), 0x50);
    EXPECT_EQ(m_dev.sensor(kReg7100Rows + 1), 0x10);
    EXPECT_EQ(m_dev.sensor(kReg7100LineWidth), 0x80);
    EXPECT_EQ(m_dev.sensor(kReg7100LineWidth + 1), 0x18);
    EXPECT_EQ(m_dev.sensor(kReg7100StartY), 25);
    EXPECT_EQ(m_dev.sensor(kReg7100Stream), 5);
}

// The sensor's inside temperature is the last reading the core took, not 0.
TEST_F(C7100Test, TheInsideTemperatureIsTheLastReading) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    m_pCam->m_fSensorTemp = 12.5f;
    m_pCam->m_iTempSensorType = 4;
    EXPECT_EQ(Get(KYR_TEMPERATURE), 125);
    EXPECT_EQ(Get(KYR_TEMPERATURE), 125);
}

TEST_F(C7100Test, DdrNeverReadyFailsInitWithoutCooler) {
    m_dev = Plug(kPid7100);
    ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
    m_pCam = OpenInit(0, KYR_ERROR_GENERAL_ERROR);
    ASSERT_NE(m_pCam, nullptr);
    EXPECT_FALSE(dynamic_cast<CCameraCool*>(m_pCam)->m_thrAutoTemp.IsAlive());
    EXPECT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_ERROR_INVALID_SEQUENCE);
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_open_handles(), 0);
}

// The sensor sends frames only while both power registers say so.
TEST_F(C7100Test, TheStreamStartsFromAStoppedFpgaAndWakesTheSensor) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    const int from = LogSize();
    ASSERT_TRUE(Engine().StartSensorStreaming());
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    std::vector<SWrite7100> writes = Writes(from);
    ASSERT_FALSE(writes.empty());
    // FPGA stop first, the stream switch, wake, 10 ms, standby off, 15 ms, FPGA start.
    EXPECT_EQ(writes.front().kind, 'F');
    EXPECT_EQ(writes.front().reg, kF7100Ctrl);
    EXPECT_TRUE(writes.front().value & kCtrl7100Stop);
    std::vector<std::pair<int, int>> sensor = SensorWrites(from);
    const std::vector<std::pair<int, int>> want = {{kReg7100Stream, 1}, {kReg7100Power, 0x05}, {kReg7100Power, 0x04}};
    EXPECT_EQ(sensor, want);
    int wake = -1, on = -1, start = -1;
    for (const SWrite7100& w : writes) {
        if (w.kind == 'S' && w.reg == kReg7100Power && w.value == 0x05) wake = w.index;
        if (w.kind == 'S' && w.reg == kReg7100Power && w.value == 0x04) on = w.index;
        if (w.kind == 'F' && w.reg == kF7100Ctrl && !(w.value & kCtrl7100Stop)) start = w.index;
    }
    ASSERT_GT(on, wake);
    ASSERT_GT(start, on);
    EXPECT_GE(log[on].start_us - log[wake].start_us, 10000);
    EXPECT_GE(log[start].start_us - log[on].start_us, 15000);
    EXPECT_EQ(m_dev.sensor(kReg7100Power), 0x04);

    const int stopFrom = LogSize();
    ASSERT_TRUE(Engine().StopSensorStreaming());
    const std::vector<std::pair<int, int>> park = {{kReg7100Stream, 5}, {kReg7100Power, 0x05}};
    EXPECT_EQ(SensorWrites(stopFrom), park);
    EXPECT_TRUE(m_dev.fpga(kF7100Ctrl) & kCtrl7100Stop);
}

}  // namespace

// The 807's exposure and bandwidth: frame length, shutter line and blanking
// value of each exposure in both kinds of mode, the long-exposure threshold
// of each camera, and the line length the bandwidth gives.
#include "test_s807_fixture.h"

namespace {

class C807TimingTest : public C807Test {
  protected:
    long long VMAX() { return Fpga(16, 3); }
    long long SHR() { return SensorLE(0x302C); }
    long long X() { return SensorLE(0x332C); }
    bool LongMode() { return m_pCam->m_bLongExpMode; }
};

struct SExpCase {
    int pid;
    int bin;  // 1: 800 x 600; 2: 400 x 300
    long long exposureUs;
    long long vmax, shr, x;
    bool longMode;
};
// 800 x 600 at full resolution: line 37.6 us (HMAX 752), frame 29,040 us;
// 400 x 300 in binning: line 18.5 us (HMAX 740), frame 5,896 us.
const SExpCase kExpCases[] = {
    {kPid807, 1, 32, 796, 795, 255, false},
    {kPid807, 1, 29040, 796, 25, 255, false},
    {kPid807, 1, 29041, 787, 15, 255, false},
    {kPid807, 1, 999999, 26610, 15, 255, false},
    {kPid807, 1, 1000000, 26610, 15, 20904, true},
    {kPid807, 2, 32, 183, 182, 255, false},
    {kPid807, 2, 5896, 183, 25, 255, false},
    {kPid807, 2, 5897, 164, 5, 255, false},
    {kPid807, 2, 1000000, 27026 + 5, 5, 27031 - 1466, true},
    // The cooled class in long mode programs the frame + 10 ms at full
    // resolution, the frame in binning; X below its base is 65534.
    {kPid807Pro, 1, 999999, 26610, 15, 255, false},
    {kPid807Pro, 1, 1000000, 1052, 15, 65534, true},
    {kPid807Pro, 2, 1000000, 183, 25, 65534, true},
    {kPid807Pro, 2, 5897, 164, 5, 255, false},
};

TEST_F(C807TimingTest, EachExposureProgramsItsFrameShutterAndBlanking) {
    int pid = 0;
    for (const SExpCase& c : kExpCases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.pid << std::dec << " bin " << c.bin << " " << c.exposureUs << " us");
        if (c.pid != pid) ASSERT_NE(SetupRow(c.pid), nullptr);
        pid = c.pid;
        ASSERT_EQ(KYRSetROIFormat(0, c.bin == 1 ? 800 : 400, c.bin == 1 ? 600 : 300, c.bin, IMG_RAW8),
                  KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 100, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(c.exposureUs));
        EXPECT_EQ(VMAX(), c.vmax);
        EXPECT_EQ(SHR(), c.shr);
        EXPECT_EQ(LongMode(), c.longMode);
        for (int reg : {0x332C, 0x334A, 0x35B6, 0x36BC}) EXPECT_EQ(SensorLE(reg), c.x) << std::hex << reg;
        EXPECT_EQ(SensorLE(0x35B8), c.x - 5);
        EXPECT_EQ(m_pCam->m_iExpLines, c.vmax - c.shr - 1);
        EXPECT_EQ(Control(KYR_EXPOSURE), c.exposureUs);
        // Back out of long mode for the next row.
        ASSERT_TRUE(SetExposure(10000));
    }
}

// Leaving long mode keeps the FPGA's wait mode on a USB 2 host only.
TEST_F(C807TimingTest, LeavingLongModeSetsTheWaitModeByHost) {
    constexpr int kWait = 0x40, kTrig = 0x80;
    for (bool usb3 : {true, false}) {
        SCOPED_TRACE(usb3 ? "USB3" : "USB2");
        ASSERT_NE(SetupRow(kPid807Pro, usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 800, 600, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(1500000));
        ASSERT_TRUE(LongMode());
        ASSERT_TRUE(SetExposure(5000));
        EXPECT_FALSE(LongMode());
        EXPECT_EQ(Fpga(0, 1) & kTrig, 0);
        EXPECT_EQ(Fpga(0, 1) & kWait, usb3 ? 0 : kWait);
    }
}

// The long-mode threshold of the uncooled class belongs to each camera: 2 s
// on USB 2, 1 s on USB 3, whichever opened first.
TEST_F(C807TimingTest, TheLongModeThresholdIsEachCamerasOwn) {
    for (bool usb2First : {true, false}) {
        SCOPED_TRACE(usb2First ? "USB2 first" : "USB3 first");
        for (int id = 0; id < 2; ++id) KYRCloseCamera(id);
        kyrsim::reset();
        MadeCameras().clear();
        kyrsim_device_config a = kyrsim::config(kPid807, 1, "1");
        a.usb3_host = usb2First ? 0 : 1;
        kyrsim_device_config b = kyrsim::config(kPid807, 1, "2");
        b.usb3_host = usb2First ? 1 : 0;
        kyrsim::Device da = kyrsim::plug(a);
        kyrsim::Device db = kyrsim::plug(b);
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
        CCameraBase* cams[2] = {OpenInit(0), OpenInit(1)};
        ASSERT_NE(cams[0], nullptr);
        ASSERT_NE(cams[1], nullptr);
        for (int id = 0; id < 2; ++id) {
            ASSERT_EQ(KYRSetROIFormat(id, 400, 300, 1, IMG_RAW8), KYR_SUCCESS);
            ASSERT_EQ(KYRSetControlValue(id, KYR_EXPOSURE, 1500000, KYR_FALSE), KYR_SUCCESS);
        }
        for (int id = 0; id < 2; ++id) {
            const bool usb3 = cams[id]->m_bUSB3Host;
            EXPECT_EQ(cams[id]->m_bLongExpMode, usb3) << id;
        }
        for (int id = 0; id < 2; ++id) KYRCloseCamera(id);
    }
}

struct SBandwidthCase {
    const char* what;
    int pid;
    bool usb3;
    int w, h, bin;
    IMG_TYPE type;
    int percent;
    int hmax;
};
const SBandwidthCase kBandwidthCases[] = {
    {"DDR: the mode's shortest line", kPid807Pro, true, 800, 600, 1, IMG_RAW8, 70, 752},
    {"DDR in binning", kPid807Pro, true, 400, 300, 2, IMG_RAW8, 50, 740},
    {"the whole sensor at 93 %", kPid807, true, 8288, 5644, 1, IMG_RAW8, 100, 808},
    {"the whole sensor below the cap", kPid807, true, 8288, 5644, 1, IMG_RAW8, 90, 835},
    {"a large bin-2 frame at 79 %", kPid807, true, 4144, 2822, 2, IMG_RAW8, 100, 936},
    {"a large bin-2 frame below the cap", kPid807, true, 4144, 2822, 2, IMG_RAW8, 70, 1057},
    {"USB2 bin 2 at 55 %", kPid807, false, 400, 300, 2, IMG_RAW8, 100, 1345},
    {"USB2 bin 4 at 55 %", kPid807, false, 240, 160, 4, IMG_RAW8, 100, 1345},
    {"USB2 bin 2 below the cap", kPid807, false, 400, 300, 2, IMG_RAW8, 50, 1480},
    {"a small frame, uncapped", kPid807, true, 800, 600, 1, IMG_RAW8, 100, 752},
    {"the line length at its cap", kPid807, false, 8288, 5644, 1, IMG_RAW16, 40, 18585},
};

TEST_F(C807TimingTest, TheBandwidthSetsTheLineLengthWithinTheLinksCaps) {
    for (const SBandwidthCase& c : kBandwidthCases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(SetupRow(c.pid, c.usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, c.percent, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Fpga(19, 2), c.hmax);
        EXPECT_EQ(m_pCam->m_usHMAX, c.hmax);
        const long long line = std::min<long long>(static_cast<long long>(c.hmax * 3.6) + 494, 65534);
        EXPECT_EQ(SensorLE(0x3084), line);
        EXPECT_EQ(SensorLE(0x3086), line);
        // The caps change the percentage used, never the one stored.
        EXPECT_EQ(Control(KYR_BANDWIDTH), c.percent);
    }
}

// The camera of the first rows on USB 3 at full size after initialisation.
TEST_F(C807TimingTest, TheWholeSensorOnUSB3RunsLinesOf808Clocks) {
    ASSERT_NE(SetupRow(kPid807, true), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 8288, 5644, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 100, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Fpga(19, 2), 808);
    EXPECT_EQ(Sensor(0x3084), 0x4A);
    EXPECT_EQ(Sensor(0x3085), 0x0D);
    EXPECT_EQ(Sensor(0x3086), 0x4A);
    EXPECT_EQ(Sensor(0x3087), 0x0D);
    EXPECT_EQ(Control(KYR_BANDWIDTH), 100);
}

TEST_F(C807TimingTest, AutomaticBandwidthStartsAt80PercentOnEitherHost) {
    for (bool usb3 : {true, false}) {
        SCOPED_TRACE(usb3 ? "USB3" : "USB2");
        ASSERT_NE(SetupRow(kPid807, usb3), nullptr);
        EXPECT_EQ(Control(KYR_BANDWIDTH), 80);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 60, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Control(KYR_BANDWIDTH), 60);
        // Switched on, it starts at 80 whatever was asked; once on, it takes the value.
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 95, KYR_TRUE), KYR_SUCCESS);
        EXPECT_EQ(Control(KYR_BANDWIDTH), 80);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 95, KYR_TRUE), KYR_SUCCESS);
        EXPECT_EQ(Control(KYR_BANDWIDTH), 95);
    }
}

TEST_F(C807TimingTest, ABandwidthBelowTheSensorClockIsRefusedWithoutWrites) {
    ASSERT_NE(SetupRow(kPid807), nullptr);
    auto* cam = dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam);
    ASSERT_NE(cam, nullptr);
    ASSERT_TRUE(Locked([&] { return cam->SetCMOSClk(19999); }));
    const int from = kyrsim_log_count();
    EXPECT_FALSE(Locked([&] { return cam->SetFPSPerc(70, false); }));
    EXPECT_EQ(kyrsim_log_count(), from);
    EXPECT_EQ(m_pCam->m_iFPSPerc, 80);
}

// Every multi-register change writes its registers inside one hold.
TEST_F(C807TimingTest, EveryChangeWritesItsRegistersInsideOneHold) {
    const std::vector<uint16_t> held = {0x3092, 0x300A, 0x300B, 0x3012, 0x3042, 0x302C, 0x302D,
                                        0x332C, 0x332D, 0x35B8, 0x35B9, 0x3084, 0x3085, 0x3086,
                                        0x3087, 0x3036, 0x3037, 0x3038, 0x3039, 0x30E0, 0x30E1,
                                        0x30DE, 0x30DF, 0x3130, 0x3131, 0x3004, 0x3005};
    for (const S807Row& row : {Rows807()[0], Rows807()[1]}) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 300, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_OFFSET, 50, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(5000));
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 70, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 480, 360, 1, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 48, 24), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 240, 180, 2, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(1500000));
        ASSERT_TRUE(SetExposure(3000));
        const SHoldReport holds = CheckHolds(m_dev.handle(), held);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        EXPECT_GT(holds.iHolds, 10);
    }
}

}  // namespace

// The 817's and 820's window: the sensor window rounded up to 16 columns
// and 16 rows outside sensor binning (plus the VBLK lines), the sensor's
// binned window in unbinned units, the FPGA's crop to the readout, and frames
// of exactly the readout's bytes; start positions without the 0x3018 write.
#include "test_s817_820_fixture.h"

namespace {

struct SWindowCase {
    int pid;
    int w, h, bin;
    IMG_TYPE type;
    bool hardwareBin;
    int cols, rows;        // readout: FPGA width and height
    int sensorW, sensorH;  // 0x303E/F and 0x3046/7
};

const SWindowCase kWindows[] = {
    {kPid817, 1920, 1080, 1, IMG_RAW8, false, 1920, 1080, 1920, 1090},
    {kPid817, 1912, 1072, 1, IMG_RAW8, false, 1912, 1072, 1920, 1074},
    {kPid817, 640, 482, 1, IMG_RAW16, false, 640, 482, 640, 498},
    {kPid817, 960, 540, 2, IMG_RAW8, false, 1920, 1080, 1920, 1090},
    {kPid817, 960, 540, 2, IMG_RAW8, true, 960, 540, 1920, 1084},
    {kPid817, 952, 536, 2, IMG_RAW16, true, 952, 536, 1904, 1076},
    {kPid820, 3840, 2160, 1, IMG_RAW8, false, 3840, 2160, 3840, 2162},
    {kPid820, 1928, 1084, 1, IMG_RAW8, false, 1928, 1084, 1936, 1090},
    {kPid820, 1920, 1080, 2, IMG_RAW8, true, 1920, 1080, 3840, 2164},
    {kPid820, 200, 120, 2, IMG_RAW16, true, 200, 120, 400, 244},
    // Bin 4: the sensor's 2 x 2 over a window of twice the output size.
    {kPid820, 960, 540, 4, IMG_RAW8, true, 1920, 1080, 3840, 2164},
    {kPid820, 480, 270, 4, IMG_RAW16, true, 960, 540, 1920, 1084},
    {kPid820, 1280, 720, 3, IMG_RAW8, true, 3840, 2160, 3840, 2162},
    {kPid820, 960, 540, 4, IMG_RAW8, false, 3840, 2160, 3840, 2162},
};

TEST_F(C817820Test, FormatsProgramTheWindowAndTheFrameIsTheReadout) {
    int pid = 0;
    for (const SWindowCase& c : kWindows) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.pid << std::dec << " " << c.w << "x" << c.h << " bin " << c.bin
                     << " type " << c.type << (c.hardwareBin ? " hw" : ""));
        if (c.pid != pid) {
            ASSERT_NE(Fresh(pid = c.pid), nullptr);
        }
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hardwareBin ? 1 : 0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        const int frameBytes = c.cols * c.rows * (c.type == IMG_RAW16 ? 2 : 1);
        const int realSize = WithEngine(m_pCam, [](auto& e) { return e.GetRealImageSize(); });
        EXPECT_EQ(realSize, frameBytes);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), c.cols);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), c.rows);
        EXPECT_EQ(m_dev.fpgaWide(64, 4), frameBytes / 4);
        EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAME_BYTES), frameBytes);
        EXPECT_EQ(SensorPair(m_dev, 0x303E), c.sensorW);
        EXPECT_EQ(SensorPair(m_dev, 0x3046), c.sensorH);
        EXPECT_EQ(m_dev.sensor(0x301B), c.hardwareBin && c.bin % 2 == 0 ? 1 : 0);
        const SReadout r = Readout();
        EXPECT_EQ(r.iSensorFactor * r.iSoftBin, c.bin);
    }
}

TEST_F(C817820Test, TheSensorBinsOnlyWhatItCan) {
    // The 817 lists bins 1 and 2 only.
    ASSERT_NE(Fresh(kPid817), nullptr);
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    EXPECT_EQ(KYRSetROIFormat(0, 320, 240, 3, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
    EXPECT_EQ(KYRSetROIFormat(0, 320, 240, 4, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
    EXPECT_EQ(KYRSetROIFormat(0, 320, 240, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(0x301B), 1);
}

TEST_F(C817820Test, StartPositionsWriteNoMode0x3018) {
    for (const SClassRow& c : Classes817820()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        const int writes3018 = m_dev.sensorWrites(0x3018);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetStartPos(0, 101, 203), KYR_SUCCESS);
        EXPECT_EQ(SensorPair(m_dev, 0x303C), 100);
        EXPECT_EQ(SensorPair(m_dev, 0x3044), 200);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 2, IMG_RAW8), KYR_SUCCESS);
        // In binned pixels.
        ASSERT_EQ(KYRSetStartPos(0, 64, 32), KYR_SUCCESS);
        EXPECT_EQ(SensorPair(m_dev, 0x303C), 128);
        EXPECT_EQ(SensorPair(m_dev, 0x3044), 64);
        EXPECT_EQ(m_dev.sensorWrites(0x3018), writes3018);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs817820(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

}  // namespace

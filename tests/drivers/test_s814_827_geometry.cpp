// Geometry of the 814 and 827 classes: the 814's sensor-binning width rule,
// its modes by hardware bin, high speed and 16-bit output, and the window and
// start registers of both models with the frame the camera sends.
#include "Fx3Fixture.h"
#include "test_s814_827_fixture.h"

namespace {

const SClassRow& Row(int pid) {
    for (const SClassRow& r : ClassRows())
        if (r.pid == pid) return r;
    return ClassRows().front();
}

// Every sensor and FPGA register write request logged for the camera.
int RegisterWrites(int handle) {
    return kyrsim_log_count_matching(handle, 0xB6, KYRSIM_DIR_OUT) +
           kyrsim_log_count_matching(handle, 0xBD, KYRSIM_DIR_OUT);
}

// With hardware binning on, the readout width of a sensor-binned image must be
// a multiple of 12, checked for the bin asked for (not the one in force).
TEST_F(C814827Test, SensorBinningWidthFollowsTheRequestedBin) {
    const struct {
        int prevBin, bin, width, height;
        bool ok;
        const char* logged;  // the refusal's log, or null
    } cases[] = {
        {1, 2, 1920, 1080, true, nullptr},
        {1, 2, 1912, 1080, false, "Failed to set width: 1912, height: 1080."},
        {2, 1, 1000, 1000, true, nullptr},
        {2, 4, 960, 540, true, nullptr},
        {2, 4, 952, 540, false, "Failed to set width: 1904, height: 1080."},
    };
    for (int pid : {kPid814, kPid814Pro}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << pid << std::dec << " " << c.prevBin << "->"
                                            << c.bin << " width " << c.width);
            ASSERT_NE(SetupRow(Row(pid)), nullptr);
            ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
            ASSERT_EQ(KYRSetROIFormat(0, 1920 / c.prevBin, 1080 / c.prevBin, c.prevBin, IMG_RAW8),
                      KYR_SUCCESS);
            const int writes = RegisterWrites(m_dev.handle());
            const long long window = SensorLE(0x303E, 2);
            KYR_ERROR_CODE rc = KYR_SUCCESS;
            const std::string log =
                CaptureDebugLog([&] { rc = KYRSetROIFormat(0, c.width, c.height, c.bin, IMG_RAW8); });
            int w = 0, h = 0, bin = 0;
            IMG_TYPE type = IMG_END;
            ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
            if (c.ok) {
                EXPECT_EQ(rc, KYR_SUCCESS);
                EXPECT_EQ(w, c.width);
                EXPECT_EQ(bin, c.bin);
                continue;
            }
            EXPECT_NE(rc, KYR_SUCCESS);
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
            EXPECT_EQ(RegisterWrites(m_dev.handle()), writes);
            EXPECT_EQ(SensorLE(0x303E, 2), window);
            EXPECT_EQ(w, 1920 / c.prevBin);
            EXPECT_EQ(h, 1080 / c.prevBin);
            EXPECT_EQ(bin, c.prevBin);
        }
    }
}

// Switching sensor binning on refuses a width that SetResolution would
// refuse with it, and changes nothing.
TEST_F(C814827Test, HardwareBinRefusesAWidthTheSensorCannotBin) {
    ASSERT_NE(SetupRow(Row(kPid814)), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 1912, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    const int writes = RegisterWrites(m_dev.handle());
    EXPECT_NE(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Control(KYR_HARDWARE_BIN), 0);
    EXPECT_EQ(RegisterWrites(m_dev.handle()), writes);
    EXPECT_EQ(Readout().iSensorFactor, 1);
    // A width it can bin is taken.
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Readout().iSensorFactor, 2);
}

// The 814's modes: (hardware bin, high speed, 16-bit) select the VBLK, the
// mode registers, the ADC width and, with the DDR buffer, the line length.
TEST_F(C814827Test, The814ModesFollowBinHighSpeedAndOutputWidth) {
    const struct {
        bool hwBin, highSpeed, out16;
        int vblk;
        int r3020, r3031, r3032, r30d5;
        int adc12;
        int hmax;  // the Pro's FPGA HMAX (the minimum of the mode)
    } cases[] = {
        {false, false, false, 22, 0, 1, 1, 4, 1, 300}, {false, false, true, 22, 0, 1, 1, 4, 1, 444},
        {false, true, false, 22, 0, 0, 0, 4, 0, 224},  {false, true, true, 22, 0, 0, 0, 4, 0, 444},
        {true, false, false, 12, 1, 0, 1, 2, 1, 224},  {true, false, true, 12, 1, 0, 1, 2, 1, 224},
        {true, true, false, 12, 1, 0, 1, 2, 1, 224},
    };
    for (int pid : {kPid814, kPid814Pro}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << pid << std::dec << " hw " << c.hwBin << " hs "
                                            << c.highSpeed << " 16-bit " << c.out16);
            ASSERT_NE(SetupRow(Row(pid)), nullptr);
            ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, c.hwBin ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
            // A width the sensor bins: a multiple of 12.
            const int bin = c.hwBin ? 2 : 1;
            ASSERT_EQ(KYRSetROIFormat(0, 960 / bin, 480 / bin, bin, c.out16 ? IMG_RAW16 : IMG_RAW8),
                      KYR_SUCCESS);
            ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, c.highSpeed ? 1 : 0, KYR_FALSE),
                      KYR_SUCCESS);
            EXPECT_EQ(Fpga(6, 2), c.vblk);
            for (int reg : {0x3020, 0x3021, 0x3022}) EXPECT_EQ(Sensor(reg), c.r3020) << std::hex << reg;
            EXPECT_EQ(Sensor(0x3031), c.r3031);
            EXPECT_EQ(Sensor(0x3032), c.r3032);
            EXPECT_EQ(Sensor(0x30D5), c.r30d5);
            EXPECT_EQ(Fpga(10, 1) & 0x01, c.adc12);
            EXPECT_EQ((Fpga(10, 1) & 0x10) != 0, c.out16);
            if (pid == kPid814Pro) {
                EXPECT_EQ(Fpga(19, 2), c.hmax);
            }
        }
    }
}

// High speed changes the mode also with 16-bit output: the switch re-applies it.
TEST_F(C814827Test, HighSpeedInRaw16StillReappliesTheMode) {
    for (int pid : {kPid814, kPid827}) {
        SCOPED_TRACE(testing::Message() << std::hex << pid);
        ASSERT_NE(SetupRow(Row(pid)), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(Sensor(0x3032), 1);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Sensor(0x3032), 0);
        EXPECT_EQ(Fpga(10, 1) & 0x11, 0x10);                     // 10-bit ADC, 16-bit output
        EXPECT_FALSE(WritesTo({0x303C, 0x303E}, from).empty());  // window and start written again
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 0, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Sensor(0x3032), 1);
        EXPECT_EQ(Fpga(10, 1) & 0x11, 0x11);
    }
}

// The 814's window: with sensor binning 2 x the readout width and 2 x the
// readout height + 24, bit 0 clear; otherwise width and height + 22. The
// FPGA window and the frame the camera sends are the readout.
TEST_F(C814827Test, The814WindowFollowsSensorBinning) {
    const struct {
        int w, h, bin;
        bool hwBin;
        IMG_TYPE type;
        int sensorW, sensorH, cols, rows;
    } cases[] = {
        {480, 360, 2, true, IMG_RAW8, 960, 744, 480, 360},
        {240, 180, 4, true, IMG_RAW16, 960, 744, 480, 360},
        {640, 480, 1, false, IMG_RAW8, 640, 502, 640, 480},
        {320, 240, 2, false, IMG_RAW8, 640, 502, 640, 480},
        {200, 100, 3, false, IMG_RAW16, 600, 322, 600, 300},
    };
    for (int pid : {kPid814, kPid814Pro}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << pid << std::dec << " " << c.w << "x" << c.h
                                            << " bin " << c.bin << (c.hwBin ? " hw" : ""));
            ASSERT_NE(SetupRow(Row(pid)), nullptr);
            ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, c.hwBin ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            EXPECT_EQ(SensorLE(0x303E, 2), c.sensorW);
            EXPECT_EQ(SensorLE(0x3046, 2), c.sensorH);
            EXPECT_EQ(Fpga(4, 2), c.cols);
            EXPECT_EQ(Fpga(8, 2), c.rows);
            const int bytes = c.cols * c.rows * (c.type == IMG_RAW16 ? 2 : 1);
            EXPECT_EQ(Readout().iFrameBytes, bytes);
            EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAME_BYTES), bytes);
            // No data length: the FPGA takes the frame from its window.
            EXPECT_EQ(Fpga(64, 4), 0);
        }
    }
}

// The 814's start: x even, y even (a multiple of 4 with sensor binning), the
// start registers after 0x301C = 4 in one hold. The caller gives the start in
// binned pixels.
TEST_F(C814827Test, The814StartIsAlignedByModeAndWrittenAfterItsModeRegister) {
    const struct {
        bool hwBin;
        int x, y;              // binned
        int sensorX, sensorY;  // unbinned, as the sensor takes it
    } cases[] = {{false, 101, 203, 100, 202}, {true, 51, 101, 102, 200}, {true, 3, 3, 6, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.hwBin ? "hw " : "") << c.x << "," << c.y);
        ASSERT_NE(SetupRow(Row(kPid814)), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, c.hwBin ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
        const int bin = c.hwBin ? 2 : 1;
        ASSERT_EQ(KYRSetROIFormat(0, 480, 360, bin, IMG_RAW8), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, c.sensorX / bin);
        EXPECT_EQ(y, c.sensorY / bin);
        const auto writes = SensorWrites(m_dev.handle(), from);
        const std::vector<std::pair<uint16_t, uint8_t>> want = {
            {0x3001, 1},
            {0x301C, 4},
            {0x303C, static_cast<uint8_t>(c.sensorX & 0xFF)},
            {0x303D, static_cast<uint8_t>(c.sensorX >> 8)},
            {0x3044, static_cast<uint8_t>(c.sensorY & 0xFF)},
            {0x3045, static_cast<uint8_t>(c.sensorY >> 8)},
            {0x3001, 0}};
        EXPECT_EQ(writes, want);
    }
}

// The 827 counts its window in half pixels: the start is a multiple of 6
// (x) and even (y), written doubled; the window is 2W by 2(H + 24).
TEST_F(C814827Test, The827WritesStartAndWindowInHalfPixels) {
    for (int pid : {kPid827, kPid827Pro}) {
        SCOPED_TRACE(testing::Message() << std::hex << pid);
        ASSERT_NE(SetupRow(Row(pid)), nullptr);
        const struct {
            int w, h, bin;
            IMG_TYPE type;
        } rois[] = {{640, 480, 1, IMG_RAW8}, {320, 200, 2, IMG_RAW16}, {1920, 1080, 1, IMG_RAW8}};
        for (const auto& r : rois) {
            ASSERT_EQ(KYRSetROIFormat(0, r.w, r.h, r.bin, r.type), KYR_SUCCESS);
            const int cols = r.w * r.bin, rows = r.h * r.bin;
            EXPECT_EQ(SensorLE(0x303E, 2), 2 * cols);
            EXPECT_EQ(SensorLE(0x3046, 2), 2 * (rows + 24));
            EXPECT_EQ(Fpga(4, 2), cols);
            EXPECT_EQ(Fpga(8, 2), rows);
            EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAME_BYTES), cols * rows * (r.type == IMG_RAW16 ? 2 : 1));
            EXPECT_EQ(Fpga(64, 4), 0);
        }
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetStartPos(0, 7, 5), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, 6);
        EXPECT_EQ(y, 4);
        const std::vector<std::pair<uint16_t, uint8_t>> want = {
            {0x3001, 1}, {0x301C, 4}, {0x303C, 12}, {0x303D, 0}, {0x3044, 8}, {0x3045, 0}, {0x3001, 0}};
        EXPECT_EQ(SensorWrites(m_dev.handle(), from), want);
        // The sensor has no binning of its own: HardwareBin is neither offered nor taken.
        EXPECT_NE(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Readout().iSensorFactor, 1);
    }
}

}  // namespace

// The 811 classes as a caller sets them up: the description, initialisation,
// the two sensor modes, the crop of the window, the gain law, the exposure
// and the bandwidth, checked on what the simulated camera received. The
// sensor reads in its binned mode at all times, so every bin is a software
// bin and the timing is the binned sensor's.
#include <cmath>
#include <string>

#include "test_s811_fixture.h"

namespace {

TEST_F(C811Test, EachClassDescribesItselfAsAColourCamera) {
    for (const S811Row& row : Rows811()) {
        SCOPED_TRACE(row.name);
        kyrsim::reset();
        Plug(row.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, row.pro ? "VORN KYR811MC Pro" : "VORN KYR811MC");
        EXPECT_EQ(info.max_width, 4144);
        EXPECT_EQ(info.max_height, 2822);
        EXPECT_EQ(info.is_color, KYR_TRUE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        const int bins[] = {1, 2, 3, 4, 0};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        const IMG_TYPE types[] = {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 4.63);
        EXPECT_EQ(info.st4_port, row.pro ? KYR_FALSE : KYR_TRUE);
        EXPECT_EQ(info.has_cooler, row.pro ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bit_depth, 14);

        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        EXPECT_EQ(MadeCameras().back()->m_iPID, row.pid);
        // No trigger capture: only the normal mode.
        ExpectNoTriggerMode(0);
        KYR_CONTROL_CAPS caps;
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
        ExpectControlLimits(0, {{"Gain", 570, 0, 200},
                                {"Exposure", 2000000000, 32, 10000},
                                {"Offset", 80, 0, 8},
                                {"WB_R", 99, 1, 52},
                                {"WB_B", 99, 1, 95}});
        KYRCloseCamera(0);
    }
}

// Initialisation: the start-up rows go out without a hold, the mode's rows
// inside one hold of 0x302B, and the sensor is left in standby.
TEST_F(C811Test, InitialisationWritesTheStartUpRowsUnheldAndTheModeInOneHold) {
    for (const S811Row& row : Rows811()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        const auto writes = SensorWrites(m_dev.handle());
        const std::vector<std::pair<uint16_t, uint8_t>> first = {
            {0x3033, 0x10}, {0x303C, 0x02}, {0x3033, 0x10}, {0x303C, 0x02}, {0x3111, 0x00}, {0x31E8, 0xF0},
        };
        ASSERT_GE(writes.size(), first.size());
        for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(writes[i], first[i]) << i;
        // The normal mode: its rows alone in one hold, then standby.
        size_t i = first.size();
        while (i + 1 < writes.size() && !(writes[i].first == 0x302B && writes[i + 1].first == 0x3004)) ++i;
        ASSERT_LT(i + 4, writes.size());
        EXPECT_EQ(writes[i + 2], (std::pair<uint16_t, uint8_t>{0x3005, 0x0B}));
        EXPECT_EQ(writes[i + 3], (std::pair<uint16_t, uint8_t>{0x302B, 0}));
        EXPECT_EQ(writes[i + 4], (std::pair<uint16_t, uint8_t>{0x3000, 1}));
        const auto standby = WritesTo({0x3000}, 0);
        ASSERT_FALSE(standby.empty());
        EXPECT_EQ(standby.back().second, 1);
        const SHoldReport holds =
            CheckHolds(m_dev.handle(), {0x3004, 0x3005, 0x3092, 0x300A, 0x300B, 0x3012, 0x302C, 0x302D,
                                        0x3084, 0x3085, 0x3042, 0x3036, 0x3037, 0x3038, 0x3039});
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        EXPECT_EQ(Control(KYR_BANDWIDTH), 80);
    }
}

// High speed runs 8-bit data only: a high-speed request at 16-bit data is
// stored until an 8-bit type comes. Bins never change the mode.
TEST_F(C811Test, HighSpeedLoadsItsTableFor8BitDataOnly) {
    const uint8_t kHighSpeed[] = {0x00, 0x06, 0x00, 0xA0};  // 0x3004 .. 0x3007
    for (const S811Row& row : Rows811()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        const struct {
            IMG_TYPE type;
            bool hs;
            bool highSpeedRows;
        } cases[] = {
            {IMG_RAW8, true, true},
            {IMG_RAW16, true, false},
            {IMG_RAW8, false, false},
            {IMG_RAW16, false, false},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "type " << c.type << " hs " << c.hs);
            // From the other type, so the mode is loaded again.
            ASSERT_EQ(KYRSetROIFormat(0, 240, 160, 1, c.type == IMG_RAW8 ? IMG_RAW16 : IMG_RAW8), KYR_SUCCESS);
            ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, c.hs ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetROIFormat(0, 240, 160, 1, c.type), KYR_SUCCESS);
            const auto w = WritesTo({0x3004, 0x3005, 0x3006, 0x3007}, from);
            if (c.highSpeedRows) {
                ASSERT_EQ(w.size(), 4u);
                for (int i = 0; i < 4; ++i) EXPECT_EQ(w[i].second, kHighSpeed[i]) << i;
            } else {
                ASSERT_EQ(w.size(), 2u);
                EXPECT_EQ(w[1], (std::pair<uint16_t, uint8_t>{0x3005, 0x0B}));
            }
            if (row.pro) EXPECT_EQ(Fpga(19, 2), c.highSpeedRows ? 729 : 852);
        }
        // RAW16 and a high-speed request: only stored, then loaded with RAW8.
        ASSERT_EQ(KYRSetROIFormat(0, 240, 160, 1, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 0, KYR_FALSE), KYR_SUCCESS);
        int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
        EXPECT_TRUE(m_pCam->m_bHighSpeed);
        EXPECT_TRUE(WritesTo({0x3004, 0x3005, 0x3006, 0x3007}, from).empty());
        ASSERT_EQ(KYRSetROIFormat(0, 240, 160, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Sensor(0x3007), 0xA0);
        // A bin change alone keeps the mode; every bin is binned by the software.
        from = kyrsim_log_count();
        for (int bin = 2; bin <= 4; ++bin) {
            ASSERT_EQ(KYRSetROIFormat(0, 240, 160, bin, IMG_RAW8), KYR_SUCCESS);
            EXPECT_EQ(Readout().iSoftBin, bin);
            EXPECT_EQ(Readout().iCols, 240 * bin);
        }
        EXPECT_TRUE(WritesTo({0x3004, 0x3005}, from).empty());
        // The hardware bin is no control of this model: asking for it changes nothing.
        from = kyrsim_log_count();
        EXPECT_TRUE(Locked([&] { return m_pCam->SetHardwareBin(true); }));
        EXPECT_FALSE(m_pCam->m_bHardwareBin);
        EXPECT_EQ(kyrsim_log_count(), from);
    }
}

struct SCropCase {
    int x, y, w, h, bin;
    int startX, startY;  // read back, in sensor pixels
    int s, e, p, k;      // crop start and end columns, vertical position, cut
};
const SCropCase kCropCases[] = {
    {13, 6, 640, 480, 1, 12, 4, 60, 700, 1, 352},
    {100, 50, 200, 150, 2, 192, 100, 240, 640, 25, 352},
    {0, 0, 4144, 1410, 1, 0, 0, 48, 4192, 0, 352},
    {0, 0, 4144, 1600, 1, 0, 0, 48, 4192, 0, 305},
    {0, 0, 4144, 2822, 1, 0, 0, 48, 4192, 0, 0},
    // Fewer than 36 columns: the end is moved to the start + 36.
    {0, 0, 8, 2, 1, 0, 0, 48, 84, 0, 352},
    // Clamped to the sensor's edge.
    {9000, 9000, 640, 480, 1, 3504, 2342, 3552, 4192, 585, 352},
};

TEST_F(C811Test, TheWindowIsACropOfTheBinnedSensorsColumnsAndACutOfItsRows) {
    for (const S811Row& row : Rows811()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        for (const SCropCase& c : kCropCases) {
            SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h << " bin " << c.bin);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW8), KYR_SUCCESS);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            int x = -1, y = -1;
            ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
            EXPECT_EQ(x * c.bin, c.startX);
            EXPECT_EQ(y * c.bin, c.startY);
            EXPECT_EQ(Sensor(0x3036), c.s & 0xFC);
            EXPECT_EQ(Sensor(0x3037), c.s >> 8);
            EXPECT_EQ(Sensor(0x3038), c.e & 0xFC);
            EXPECT_EQ(Sensor(0x3039), c.e >> 8);
            EXPECT_EQ(SensorLE(0x30E0), c.p);
            EXPECT_EQ(SensorLE(0x30DE), c.k);
            // The 807's crop-mode register is no register of this sensor.
            EXPECT_TRUE(WritesTo({0x30E2}, from).empty());
            const SHoldReport holds = CheckHolds(
                m_dev.handle(), {0x3035, 0x30DD, 0x3036, 0x3037, 0x3038, 0x3039, 0x30E0, 0x30E1, 0x30DE, 0x30DF},
                kProfileHoldReg, from);
            EXPECT_TRUE(holds.Clean()) << holds.Text();
            EXPECT_EQ(Fpga(2, 2), 48);
            EXPECT_EQ(Fpga(6, 2), 2);
            const int rows = c.h * c.bin;
            EXPECT_EQ(SensorLE(0x3130), rows + 62);
            EXPECT_EQ(SensorLE(0x3132), rows + 46);
        }
    }
}

struct SGainCase {
    int gain, stored, conv;
    double analogDb;  // A(x) of this
    int digital;
};
const SGainCase kGainCases[] = {
    {119, 119, 0, 119, 0}, {120, 120, 1, 0, 0}, {390, 390, 1, 270, 0},
    {391, 391, 1, 211, 1}, {570, 570, 1, 270, 3}, {-1, 0, 0, 0, 0},
};

TEST_F(C811Test, GainIsTheBinnedSensorsPowerLawAtEveryBin) {
    ASSERT_NE(SetupRow(kPid811), nullptr);
    for (int bin : {1, 3}) {
        ASSERT_EQ(KYRSetROIFormat(0, 400, 300, bin, IMG_RAW8), KYR_SUCCESS);
        for (const SGainCase& c : kGainCases) {
            SCOPED_TRACE(testing::Message() << "bin " << bin << " gain " << c.gain);
            const int from = kyrsim_log_count();
            ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, c.gain, KYR_FALSE), KYR_SUCCESS);
            EXPECT_EQ(Control(KYR_GAIN), c.stored);
            EXPECT_EQ(Sensor(0x3092), c.conv);
            EXPECT_EQ(SensorLE(0x300A), AnalogGain(c.analogDb));
            EXPECT_EQ(Sensor(0x3012), c.digital);
            const SHoldReport holds =
                CheckHolds(m_dev.handle(), {0x3092, 0x300A, 0x300B, 0x3012}, kProfileHoldReg, from);
            EXPECT_TRUE(holds.Clean()) << holds.Text();
            EXPECT_EQ(holds.iHolds, 1);
        }
    }
}

// The exposure counts from 13.73 us in half lines; longer than a frame, the
// frame is stretched with 15 lines beyond the exposure. The Pro in long mode
// runs the sensor at exactly its frame time.
TEST_F(C811Test, ExposureAtAndBeyondTheFrameAndTheProsLongMode) {
    for (const S811Row& row : Rows811()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        const double line = LineUs();
        const unsigned frame = m_pCam->m_iFrameTimeUs;
        EXPECT_EQ(frame, static_cast<unsigned>(13.73 + (480 + 18) * line));
        const int v = (480 + 66) / 2;
        auto lines = [&](double us) { return static_cast<long long>((us - 13.73) / line * 0.5); };
        ASSERT_TRUE(SetExposure(frame));
        EXPECT_EQ(SensorLE(0x302C), v - lines(frame));
        EXPECT_EQ(Fpga(16, 3), v);
        ASSERT_TRUE(SetExposure(frame + 1));
        EXPECT_EQ(SensorLE(0x302C), 5);
        EXPECT_EQ(Fpga(16, 3), lines(frame + 1) + 15);
        EXPECT_EQ(SensorLE(0x332C), 255);
        // Long mode: the MC runs the exposure, the Pro its frame time.
        ASSERT_TRUE(SetExposure(2000000));
        EXPECT_TRUE(m_pCam->m_bLongExpMode);
        EXPECT_EQ(Control(KYR_EXPOSURE), 2000000);
        if (row.pro) {
            EXPECT_EQ(Fpga(16, 3), v);
            EXPECT_EQ(SensorLE(0x302C), v - lines(frame));
        } else {
            const long long vmax = lines(2000000) + 15;
            EXPECT_EQ(Fpga(16, 3), vmax);
            EXPECT_EQ(SensorLE(0x302C), 5);
            EXPECT_EQ(SensorLE(0x332C), vmax - 1466);
            EXPECT_EQ(SensorLE(0x35B8), vmax - 1466 - 5);
        }
        ASSERT_TRUE(SetExposure(999999));
        EXPECT_FALSE(m_pCam->m_bLongExpMode);
    }
}

// With the DDR the line is the mode's shortest and the FPGA paces its output;
// without it the line follows the USB rate (in the binned sensor's half
// lines) and the percentage. Automatic bandwidth starts at 80 % on either host.
TEST_F(C811Test, BandwidthSetsTheLineFromTheModeOrTheUSBRate) {
    const struct {
        bool usb3;
        int w, h;
        IMG_TYPE type;
        bool hs;
    } cases[] = {
        {true, 640, 480, IMG_RAW8, false},   {true, 640, 480, IMG_RAW8, true},
        {false, 4144, 2822, IMG_RAW8, false}, {false, 2000, 1500, IMG_RAW16, false},
        {true, 4144, 2822, IMG_RAW16, false},
    };
    for (const S811Row& row : Rows811())
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << row.name << (c.usb3 ? " USB3 " : " USB2 ") << c.w << "x" << c.h
                                            << " type " << c.type << (c.hs ? " hs" : ""));
            ASSERT_NE(SetupRow(row.pid, c.usb3), nullptr);
            EXPECT_EQ(Control(KYR_BANDWIDTH), 80);
            ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, c.hs ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, 1, c.type), KYR_SUCCESS);
            const int minHMAX = c.hs && c.type == IMG_RAW8 ? 729 : 852;
            long long hmax;
            if (row.pro) {
                hmax = minHMAX;
                const double b = (c.usb3 ? 396000.0 : 43272.0) * 80 / 400000;
                EXPECT_EQ(Fpga(36, 2), static_cast<int>(static_cast<float>(25600 / b - 256)));
            } else {
                const int b16 = c.type == IMG_RAW16 ? 2 : 1;
                const double f = 100.0 * (c.usb3 ? 396000 : 43272) * 10 / b16 / c.h / c.w;
                const double line = 1000000.0 / f / (c.h + 18);
                const long long h = static_cast<long long>(2 * line * 20000 / 1000);
                hmax = 100 * std::max<long long>(h, minHMAX) / 80;
            }
            EXPECT_EQ(Fpga(19, 2), hmax);
            EXPECT_EQ(m_pCam->m_usHMAX, hmax);
            const long long sh = std::min<long long>(static_cast<long long>(hmax * 3.6), 65534);
            EXPECT_EQ(SensorLE(0x3084), sh);
            EXPECT_EQ(SensorLE(0x3086), sh);
        }
}

// A 0x811f on USB 3 after initialisation: HMAX 852, the sensor's line 3067
// (0x0BFB) and the FPGA's pacing for 79.2 %.
TEST_F(C811Test, TheProOnUSB3StartsAtItsShortestLineAndEightyPercentPacing) {
    ASSERT_NE(SetupRow(kPid811Pro), nullptr);
    EXPECT_EQ(Fpga(19, 2), 852);
    EXPECT_EQ(Sensor(0x3084), 0xFB);
    EXPECT_EQ(Sensor(0x3085), 0x0B);
    EXPECT_EQ(Fpga(36, 2), 67);
}

}  // namespace

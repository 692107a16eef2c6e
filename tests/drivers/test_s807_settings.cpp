// The 807 classes as a caller sets them up: the description, initialisation,
// the sensor modes, the crop of the window, the gain law, the exposure and
// the bandwidth, checked on what the simulated camera received.
#include <cmath>
#include <string>

#include "test_s807_fixture.h"

namespace {

TEST_F(C807Test, EachProductDescribesItselfUnderThe811Names) {
    const struct {
        int pid;
        const char* name;
        bool st4, cooler;
    } cases[] = {
        {kPid807, "VORN KYR811MM", true, false},
        {kPid807Pro, "VORN KYR811MM Pro", false, true},
        {kPid807e, "VORN KYR811MM Pro", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        kyrsim::reset();
        Plug(c.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, 8288);
        EXPECT_EQ(info.max_height, 5644);
        EXPECT_EQ(info.is_color, KYR_FALSE);
        const int bins[] = {1, 2, 3, 4, 0};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        const IMG_TYPE types[] = {IMG_RAW8, IMG_RAW16, IMG_END};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 2.315);
        EXPECT_EQ(info.st4_port, c.st4 ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.has_cooler, c.cooler ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bit_depth, 12);

        // Opened by the product ID it enumerated with; the object keeps the model's.
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        EXPECT_EQ(MadeCameras().back()->m_iPID, c.pid == kPid807 ? 0x811a : 0x811e);
        KYR_CONTROL_CAPS caps;
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_FALSE(FindControl(0, "HardwareBin", &caps));
        EXPECT_FALSE(FindControl(0, "WB_R", &caps));
        const struct {
            const char* name;
            long max, min, def;
        } limits[] = {
            {"Gain", 570, 0, 200},
            {"Exposure", 2000000000, 32, 10000},
            {"Offset", 80, 0, 8},
            {"BandWidth", 100, 40, -1},
        };
        for (const auto& l : limits) {
            SCOPED_TRACE(l.name);
            ASSERT_TRUE(FindControl(0, l.name, &caps));
            EXPECT_EQ(caps.max_value, l.max);
            EXPECT_EQ(caps.min_value, l.min);
            if (l.def >= 0) EXPECT_EQ(caps.default_value, l.def);
        }
        KYRCloseCamera(0);
    }
}

// Initialisation: the common rows go out without a hold, the mode's tables
// inside one hold of 0x302B, no command 0xAF, the DDR tested on the cooled
// class only, and the sensor is left in standby.
TEST_F(C807Test, InitialisationWritesItsTablesInOrderAndEndsInStandby) {
    for (const S807Row& row : Rows807()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        const auto writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), 9u);
        const uint8_t v303C = row.pro ? 0x02 : 0x03;
        const uint8_t v31E8 = row.pro ? 0xF0 : 0xE0;
        const std::vector<std::pair<uint16_t, uint8_t>> first = {
            {0x3033, 0x10}, {0x303C, v303C}, {0x3033, 0x10}, {0x303C, v303C}, {0x3111, 0x00}, {0x31E8, v31E8},
        };
        for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(writes[i], first[i]) << i;
        // The mode's hold: the common rows again and the normal table.
        size_t i = first.size();
        while (i + 1 < writes.size() && !(writes[i].first == 0x302B && writes[i + 1].first == 0x3033)) ++i;
        ASSERT_LT(i + 7, writes.size());
        EXPECT_EQ(writes[i], (std::pair<uint16_t, uint8_t>{0x302B, 1}));
        EXPECT_EQ(writes[i + 1], (std::pair<uint16_t, uint8_t>{0x3033, 0x10}));
        EXPECT_EQ(writes[i + 5], (std::pair<uint16_t, uint8_t>{0x3005, 0x06}));
        EXPECT_EQ(writes[i + 6], (std::pair<uint16_t, uint8_t>{0x302B, 0}));
        EXPECT_EQ(writes[i + 7], (std::pair<uint16_t, uint8_t>{0x3000, 1}));
        // The sensor waits in standby.
        const auto standby = WritesTo({0x3000}, 0);
        ASSERT_FALSE(standby.empty());
        EXPECT_EQ(standby.back().second, 1);
        EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xAF, KYRSIM_DIR_OUT), 0);
        const SHoldReport holds =
            CheckHolds(m_dev.handle(), {0x3005, 0x3004, 0x3092, 0x300A, 0x300B, 0x3012, 0x302C, 0x302D,
                                        0x3084, 0x3085, 0x3042, 0x3036, 0x3037, 0x3038, 0x3039});
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        // Automatic bandwidth starts at 80 %.
        EXPECT_EQ(Control(KYR_BANDWIDTH), 80);
    }
}

TEST_F(C807Test, TheCooledClassFailsWithoutItsDDRBufferTheUncooledOneNeverTestsIt) {
    for (const S807Row& row : Rows807()) {
        SCOPED_TRACE(row.name);
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(row.pid);
        ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
        m_pCam = OpenInit(0, row.pro ? KYR_ERROR_GENERAL_ERROR : KYR_SUCCESS);
        ASSERT_NE(m_pCam, nullptr);
        int ddrRequests = 0;
        for (const kyrsim::Request& r : kyrsim::requests(0xBD, m_dev.handle()))
            if (r.value == 24) ++ddrRequests;
        if (row.pro)
            EXPECT_GT(ddrRequests, 0);
        else
            EXPECT_EQ(ddrRequests, 0);
    }
}

// Bins 2 and 4 run the sensor's binning mode, 1 and 3 full resolution; high
// speed picks its table, in binning only for 8-bit data.
TEST_F(C807Test, EachBinSpeedAndTypeLoadsItsModeTables) {
    enum { kNormal, kHighSpeed, kBinNormal, kBinHighSpeed };
    for (const S807Row& row : {Rows807()[0], Rows807()[1]}) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        for (int bin = 1; bin <= 4; ++bin)
            for (bool hs : {false, true})
                for (IMG_TYPE type : {IMG_RAW8, IMG_RAW16}) {
                    SCOPED_TRACE(testing::Message() << "bin " << bin << " hs " << hs << " type " << type);
                    // From another bin, so the mode is loaded again.
                    ASSERT_EQ(KYRSetROIFormat(0, 240, 160, bin == 1 ? 3 : 1, IMG_RAW8), KYR_SUCCESS);
                    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, hs ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
                    const int from = kyrsim_log_count();
                    ASSERT_EQ(KYRSetROIFormat(0, 240, 160, bin, type), KYR_SUCCESS);
                    const bool binning = bin == 2 || bin == 4;
                    EXPECT_EQ(Binning(), binning);
                    const int mode = binning ? (hs && type == IMG_RAW8 ? kBinHighSpeed : kBinNormal)
                                             : (hs ? kHighSpeed : kNormal);
                    const auto w = WritesTo({0x3004, 0x3005}, from);
                    ASSERT_FALSE(w.empty());
                    const bool has3004 = w[0].first == 0x3004;
                    EXPECT_EQ(has3004, mode == kBinNormal);
                    const uint8_t v3005 = w[has3004 ? 1 : 0].second;
                    const uint8_t expect3005[] = {0x06, 0x01, 0x0B, 0x06};
                    EXPECT_EQ(v3005, expect3005[mode]);
                    const int soft = bin == 3 ? 3 : bin == 4 ? 2 : 1;
                    EXPECT_EQ(Fpga(4, 2), 240 * soft);
                    EXPECT_EQ(Fpga(8, 2), 160 * soft);
                    if (row.pro) {
                        const int minHMAX[] = {752, 600, 740, 740};
                        EXPECT_EQ(Fpga(19, 2), minHMAX[mode]);
                    }
                }
    }
}

TEST_F(C807Test, ModeSwitchesFollowTheBinAndStoreWhatCannotApplyNow) {
    ASSERT_NE(SetupRow(kPid807), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 4144, 2822, 2, IMG_RAW16), KYR_SUCCESS);
    EXPECT_TRUE(Binning());
    EXPECT_EQ(Readout().iCols, 4144);
    EXPECT_EQ(Readout().iRows, 2822);
    // Bin 3 leaves binning and reloads the full-resolution tables.
    int from = kyrsim_log_count();
    ASSERT_EQ(KYRSetROIFormat(0, 800, 600, 3, IMG_RAW16), KYR_SUCCESS);
    EXPECT_FALSE(Binning());
    auto w = WritesTo({0x3004, 0x3005}, from);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].second, 0x06);
    // Switching sensor binning off sends nothing.
    from = kyrsim_log_count();
    EXPECT_TRUE(Locked([&] { return m_pCam->SetHardwareBin(false); }));
    EXPECT_EQ(kyrsim_log_count(), from);
    // At 16-bit data high speed is only stored; so too while binning.
    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_TRUE(m_pCam->m_bHighSpeed);
    EXPECT_TRUE(WritesTo({0x3004, 0x3005}, from).empty());
    ASSERT_EQ(KYRSetROIFormat(0, 400, 300, 2, IMG_RAW8), KYR_SUCCESS);
    from = kyrsim_log_count();
    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_FALSE(m_pCam->m_bHighSpeed);
    EXPECT_TRUE(WritesTo({0x3004, 0x3005}, from).empty());
    // At full resolution and 8-bit data it loads the high-speed table.
    ASSERT_EQ(KYRSetROIFormat(0, 400, 300, 1, IMG_RAW8), KYR_SUCCESS);
    from = kyrsim_log_count();
    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
    w = WritesTo({0x3004, 0x3005}, from);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].second, 0x01);
}

// Frames too small for their four marker words are refused before anything
// is sent.
TEST_F(C807Test, AFrameTooSmallForItsMarkersIsRefused) {
    ASSERT_NE(SetupRow(kPid807), nullptr);
    const int from = kyrsim_log_count();
    EXPECT_EQ(KYRSetROIFormat(0, 4, 1, 2, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
    EXPECT_EQ(kyrsim_log_count(), from);
    EXPECT_EQ(KYRSetROIFormat(0, 8, 1, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(KYRSetROIFormat(0, 4, 1, 2, IMG_RAW16), KYR_SUCCESS);
}

struct SCropCase {
    int x, y, w, h, bin;
    int startX, startY;  // read back
    int s, e, p;         // crop start and end columns, vertical position
    int k;               // binning: the cut (-1: not written)
    int vblk;
};
const SCropCase kCropCases[] = {
    {13, 6, 800, 600, 1, 12, 4, 108, 908, 1, -1, 4},
    {100, 50, 400, 300, 2, 192, 100, 144, 544, 12, 352, 2},
    // Fewer than 36 columns: the end is moved to the start + 36.
    {0, 0, 8, 2, 1, 0, 0, 96, 132, 0, -1, 4},
    // The cut from 1411 readout rows on.
    {0, 0, 400, 1410, 2, 0, 0, 48, 448, 0, 352, 2},
    {0, 0, 400, 1411, 2, 0, 0, 48, 448, 0, 352, 2},
    {0, 0, 400, 2000, 2, 0, 0, 48, 448, 0, 205, 2},
    {0, 0, 400, 2822, 2, 0, 0, 48, 448, 0, 0, 2},
    // The whole width in binning: the end's term is negative.
    {0, 0, 4144, 300, 2, 0, 0, 48, 4192, 0, 352, 2},
    // Clamped to the sensor's edge, and negatives to 0 (the start is given in binned pixels).
    {9000, 9000, 800, 600, 1, 7488, 5044, 7584, 8384, 1261, -1, 4},
    {-5, -7, 800, 600, 1, 0, 0, 96, 896, 0, -1, 4},
    {-5, -7, 240, 160, 4, 0, 0, 48, 528, 0, 352, 2},
};

TEST_F(C807Test, TheWindowIsACropOfSensorColumnsAndACutOfRows) {
    ASSERT_NE(SetupRow(kPid807), nullptr);
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
        EXPECT_EQ(SensorLE(0x3038), c.e);
        EXPECT_EQ(SensorLE(0x30E0), c.p);
        const auto cut = WritesTo({0x30DE}, from);
        if (c.k < 0) {
            EXPECT_TRUE(cut.empty());
        } else {
            EXPECT_EQ(SensorLE(0x30DE), c.k);
        }
        EXPECT_EQ(Sensor(0x30E2), c.bin == 2 || c.bin == 4 ? 0x00 : 0x0B);
        EXPECT_EQ(Fpga(2, 2), 48);
        EXPECT_EQ(Fpga(6, 2), c.vblk);
        const int rows = Readout().iRows;
        EXPECT_EQ(SensorLE(0x3130), rows + 62);
        EXPECT_EQ(SensorLE(0x3132), rows + 46);
    }
}

struct SGainCase {
    int bin;
    int gain;
    int stored;
    int conv;
    double analogDb;  // A(x) of this
    int digital;
};
const SGainCase kGainCases[] = {
    {2, 119, 119, 0, 119, 0}, {2, 120, 120, 1, 0, 0},   {2, 390, 390, 1, 270, 0}, {2, 391, 391, 1, 211, 1},
    {2, 570, 570, 1, 270, 3}, {1, 270, 270, 1, 270, 0}, {1, 271, 271, 1, 211, 1}, {1, 570, 570, 1, 270, 5},
    {1, 600, 570, 1, 270, 5}, {1, -1, 0, 1, 0, 0},
};

TEST_F(C807Test, GainIsAPowerLawWithDigitalSteps) {
    EXPECT_EQ(AnalogGain(270), 1956);
    EXPECT_EQ(AnalogGain(0), 0);
    ASSERT_NE(SetupRow(kPid807), nullptr);
    for (const SGainCase& c : kGainCases) {
        SCOPED_TRACE(testing::Message() << "bin " << c.bin << " gain " << c.gain);
        ASSERT_EQ(KYRSetROIFormat(0, 400, 300, c.bin, IMG_RAW8), KYR_SUCCESS);
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
    // A mode change rewrites the gain: 200 is 80 above the switch in binning.
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 200, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 400, 300, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(SensorLE(0x300A), AnalogGain(200));
    ASSERT_EQ(KYRSetROIFormat(0, 400, 300, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(SensorLE(0x300A), AnalogGain(80));
    EXPECT_EQ(Sensor(0x3092), 1);
}

}  // namespace

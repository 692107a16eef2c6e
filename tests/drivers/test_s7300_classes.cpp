// The S7100/S7300 family's classes as a caller meets them: what each
// describes (names, sizes, colour, offset range, e/ADU, white balance, image
// types), the trigger modes each offers by what its FPGA reports, and the
// S7300's start-up and stream switch.
#include <algorithm>
#include <string>

#include "test_s7300_fixture.h"

namespace {

struct SDescCase {
    int pid;
    const char *name, *key;  // the settings key is the short name
    int w, h;
    bool color;
    int offsetMax;
    float eAdu;
    std::vector<IMG_TYPE> types;
};
const SDescCase kDescs[] = {
    {kPid7100, "VORN KYR7100MM Pro", "KYR7100MM Pro", 6248, 4176, false, 240, 0.768f, {IMG_RAW8, IMG_RAW16}},
    {kPid7100MC, "VORN KYR7100MC Pro", "KYR7100MC Pro", 6248, 4176, true, 240, 0.768f,
     {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16}},
    {kPid7300, "VORN KYR7300MM Pro", "KYR7300MM Pro", 9576, 6388, false, 200, 0.78f, {IMG_RAW8, IMG_RAW16}},
    {kPid7300MC, "VORN KYR7300MC Pro", "KYR7300MC Pro", 9576, 6388, true, 200, 0.78f,
     {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16}},
};

TEST_F(C7x00Test, EachClassDescribesItsModel) {
    for (const SDescCase& c : kDescs) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        // e/ADU is reported at the gain in force: unity at gain 0.
        ASSERT_EQ(Set(KYR_GAIN, 0), KYR_SUCCESS);
        KYR_CAMERA_INFO info{};
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_STREQ(m_pCam->m_pszShortName, c.key);
        EXPECT_EQ(info.max_width, c.w);
        EXPECT_EQ(info.max_height, c.h);
        EXPECT_EQ(info.is_color, c.color ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 3.76);
        EXPECT_FLOAT_EQ(info.elec_per_adu, c.eAdu);
        EXPECT_EQ(info.has_cooler, KYR_TRUE);
        EXPECT_EQ(info.bit_depth, 16);
        std::vector<IMG_TYPE> types;
        for (int i = 0; i < 8 && info.supported_image_types[i] != IMG_END; ++i)
            types.push_back(info.supported_image_types[i]);
        EXPECT_EQ(types, c.types);
        std::vector<SControlLimits> limits = {{"Gain", 700, 0, 200}, {"Offset", c.offsetMax, 0, 1}};
        if (c.color) {
            limits.push_back({"WB_R", 99, 1, 52});
            limits.push_back({"WB_B", 99, 1, 95});
        }
        ExpectControlLimits(0, limits);
        KYR_CONTROL_CAPS caps;
        EXPECT_EQ(FindControl(0, "WB_R", &caps), c.color);
        // The white balance as the FPGA's colour gains: value x 256 / 100 (mono: unity).
        EXPECT_EQ(m_dev.fpga(kFpgaGainRed), c.color ? 52 * 256 / 100 : 128);
        EXPECT_EQ(m_dev.fpga(kFpgaGainBlue), c.color ? 95 * 256 / 100 : 128);
    }
}

// Register 28 of the FPGA says which triggers it has; only the S7300
// classes capture in trigger modes, so only they offer them.
TEST_F(C7x00Test, TheModeListFollowsRegister28OnTheS7300Only) {
    const std::vector<CAM_MODE> all = {CAM_MODE_NORMAL,          CAM_MODE_TRIG_SOFT_EDGE,  CAM_MODE_TRIG_RISE_EDGE,
                                       CAM_MODE_TRIG_FALL_EDGE,  CAM_MODE_TRIG_SOFT_LEVEL, CAM_MODE_TRIG_HIGH_LEVEL,
                                       CAM_MODE_TRIG_LOW_LEVEL};
    const std::vector<CAM_MODE> edge(all.begin(), all.begin() + 4);
    const std::vector<CAM_MODE> normal(all.begin(), all.begin() + 1);
    const struct {
        int reg28;
        const std::vector<CAM_MODE>* s7300;  // the S7100 offers the normal mode alone
    } cases[] = {{0xC0, &all}, {0xA0, &edge}, {0x9F, &normal}};
    for (const S7x00Class& cls : Classes7x00())
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << cls.cls << " register 28 = 0x" << std::hex << c.reg28);
            Replug(cls.pid);
            ASSERT_TRUE(m_dev.setFpga(28, c.reg28));
            ASSERT_NE(m_pCam = OpenInit(), nullptr);
            const std::vector<CAM_MODE>& want = cls.s7300 ? *c.s7300 : normal;
            KYR_SUPPORTED_MODE modes{};
            ASSERT_EQ(KYRGetCameraSupportMode(0, &modes), KYR_SUCCESS);
            size_t i = 0;
            for (; i < want.size(); ++i) EXPECT_EQ(modes.SupportedCameraMode[i], want[i]) << i;
            EXPECT_EQ(modes.SupportedCameraMode[i], CAM_MODE_END);
            KYR_CAMERA_INFO info{};
            ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
            EXPECT_EQ(info.is_trigger, want.size() > 1 ? KYR_TRUE : KYR_FALSE);
            if (want.size() < all.size()) {
                EXPECT_EQ(KYRSetCameraMode(0, all[want.size()]), KYR_ERROR_INVALID_MODE);
            }
            EXPECT_EQ(KYRSetCameraMode(0, want.back()), KYR_SUCCESS);
        }
}

// The published start-up table, in order with its delay row left out.
const std::vector<std::pair<int, int>> kInit7300 = {
    {0x19E, 0x01}, {0x000, 0x04}, {0x002, 0x10}, {0x025, 0x0A}, {0x046, 0x03}, {0x04F, 0x08}, {0x0C6, 0x08},
    {0x0DA, 0x31}, {0x1A0, 0x06}, {0x3A0, 0x0F}, {0x3A2, 0x07}, {0x3A3, 0x11}, {0x3A4, 0x11}, {0x3A5, 0x11},
    {0x3A6, 0x11}, {0x4BF, 0x01}, {0x4C3, 0x01}, {0x4CB, 0x02}, {0x573, 0x00}, {0x586, 0x10}, {0x587, 0x10},
    {0x588, 0x10}, {0x589, 0x10}, {0x67E, 0x06}, {0x6A2, 0x03}, {0x7D0, 0x06}, {0x7D1, 0x0B}, {0x7D3, 0x06},
    {0x7D4, 0x0B}, {0x7D6, 0x06}, {0x113, 0x00}, {0x120, 0xBC}, {0x121, 0x01},
};
const std::vector<std::pair<int, int>> kFixed7300 = {{0x002, 0x10}, {0x005, 0x01}, {0x0A5, 0x01},
                                                     {0x187, 0x04}, {0x046, 0x0F}, {0x04F, 0x08}};

TEST_F(C7x00Test, TheS7300StartsWithItsTableThenItsFixedRowsAndEndsParked) {
    for (int pid : {kPid7300, kPid7300MC}) {
        SCOPED_TRACE(pid);
        Replug(pid);
        const int from = LogSize();
        ASSERT_NE(m_pCam = OpenInit(), nullptr);
        const std::vector<std::pair<int, int>> writes = SensorWrites(from);
        std::vector<std::pair<int, int>> want = kInit7300;
        want.insert(want.end(), kFixed7300.begin(), kFixed7300.end());
        ASSERT_GE(writes.size(), want.size());
        // The first writes: the table (its delay is no write), then the fixed rows.
        const std::vector<std::pair<int, int>> first(writes.begin(), writes.begin() + static_cast<long>(want.size()));
        EXPECT_EQ(first, want);
        // The S7100's stream switch is never touched.
        EXPECT_EQ(CountSensor(kReg7100Stream, 1, from) + CountSensor(kReg7100Stream, 5, from), 0);
        EXPECT_EQ(m_dev.sensor(kReg7300Stream), 5);
        EXPECT_EQ(m_dev.sensor(kReg7100Power) & 0x01, 0x01);
    }
}

// Video streams with 0x19E = 1 and the sensor out of standby, and parks
// with 0x19E = 5 in standby when it stops.
TEST_F(C7x00Test, TheS7300StreamsThroughItsOwnStreamSwitch) {
    ASSERT_NE(Setup(kPid7300), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
    std::vector<unsigned char> img(320 * 240);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), 8000), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(kReg7300Stream), 1);
    EXPECT_EQ(m_dev.sensor(kReg7100Power) & 0x05, 0x04);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(kReg7300Stream), 5);
    EXPECT_EQ(m_dev.sensor(kReg7100Power) & 0x01, 0x01);
    EXPECT_EQ(m_dev.sensorWrites(kReg7100Stream), 0);
}

}  // namespace

namespace {

// A long exposure's stepped wait parks the S7300's own stream switch (0x19E
// = 5) and lets it stream again (1) before the frame is read out.
TEST_F(C7x00Test, AnS7300LongExposureParksItsOwnStreamSwitch) {
    ASSERT_NE(Setup(kPid7300), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_EXPOSURE, 1200000), KYR_SUCCESS);
    const int from = LogSize();
    ASSERT_EQ(Expose(30000 * kTestSlowdown), KYR_EXP_SUCCESS);
    std::vector<int> stream;
    for (const auto& w : SensorWrites(from))
        if (w.first == kReg7300Stream) stream.push_back(w.second);
    // Streaming at the start, parked during the wait, streaming for the readout, parked at the end.
    const std::vector<int> want = {5, 1, 5, 1, 5};
    EXPECT_EQ(stream, want);
    EXPECT_EQ(CountSensor(kReg7100Stream, 1, from) + CountSensor(kReg7100Stream, 5, from), 0);
    std::vector<unsigned char> img(320 * 240);
    EXPECT_EQ(KYRGetDataAfterExp(0, img.data(), static_cast<long>(img.size())), KYR_SUCCESS);
}

}  // namespace

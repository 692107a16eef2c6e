// The 815 and 801 classes as a caller sees them: the camera description,
// the controls with their limits and the values a fresh camera reports.
#include <string>

#include "test_s815_fixture.h"

namespace {

struct SDescCase {
    int pid;
    const char* name;
    int width, height;
    std::vector<int> bins;
    bool st4;
    bool cooler;
};
const SDescCase kDescCases[] = {
    {kPid815, "VORN KYR815MC", 3840, 2160, {1, 2, 3, 4}, true, false},
    {kPid815Pro, "VORN KYR815MC Pro", 3840, 2160, {1, 2, 3, 4}, false, true},
    {kPid801, "VORN KYR801MC", 2616, 1960, {1, 2}, true, false},
    {kPid801Pro, "VORN KYR801MC Pro", 2616, 1960, {1, 2}, false, true},
};

using CFamilyPropertyTest = CFamilyTest;

TEST_F(CFamilyPropertyTest, EveryClassDescribesItself) {
    for (const SDescCase& c : kDescCases) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        Plug(c.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, c.width);
        EXPECT_EQ(info.max_height, c.height);
        EXPECT_EQ(info.is_color, KYR_TRUE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        for (size_t i = 0; i <= c.bins.size(); ++i)
            EXPECT_EQ(info.supported_bins[i], i < c.bins.size() ? c.bins[i] : 0) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 2.0);
        EXPECT_EQ(info.st4_port, c.st4 ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.has_cooler, c.cooler ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.is_usb3, KYR_TRUE);
        EXPECT_EQ(info.bit_depth, 12);
        EXPECT_EQ(info.is_trigger, KYR_FALSE);
    }
}

TEST_F(CFamilyPropertyTest, EveryClassOffersItsControlsAndStartsAtItsDefaults) {
    for (const SDescCase& c : kDescCases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const struct {
            const char* name;
            long max, min, def;
        } limits[] = {
            {"Gain", 600, 0, 200}, {"Exposure", 2000000000, 32, 10000},
            {"Offset", 200, 0, 1}, {"WB_R", 99, 1, 52},
            {"WB_B", 99, 1, 95},
        };
        for (const auto& l : limits) {
            SCOPED_TRACE(l.name);
            KYR_CONTROL_CAPS caps;
            ASSERT_TRUE(FindControl(0, l.name, &caps));
            EXPECT_EQ(caps.max_value, l.max);
            EXPECT_EQ(caps.min_value, l.min);
            EXPECT_EQ(caps.default_value, l.def);
        }
        KYR_CONTROL_CAPS caps;
        EXPECT_TRUE(FindControl(0, "HardwareBin", &caps));
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_EQ(FindControl(0, "CoolerOn", &caps), c.cooler);
        const struct {
            KYR_CONTROL_TYPE type;
            long value;
            KYR_BOOL bAuto;
        } values[] = {
            {KYR_GAIN, 200, KYR_FALSE}, {KYR_EXPOSURE, 10000, KYR_FALSE}, {KYR_OFFSET, 1, KYR_FALSE},
            {KYR_WB_R, 52, KYR_FALSE},  {KYR_WB_B, 95, KYR_FALSE},        {KYR_BANDWIDTH, 100, KYR_TRUE},
        };
        for (const auto& v : values) {
            SCOPED_TRACE(static_cast<int>(v.type));
            long value = -1;
            KYR_BOOL bAuto = KYR_FALSE;
            ASSERT_EQ(KYRGetControlValue(0, v.type, &value, &bAuto), KYR_SUCCESS);
            EXPECT_EQ(value, v.value);
            EXPECT_EQ(bAuto, v.bAuto);
        }
        // The FPGA colour gains follow the white balance.
        EXPECT_EQ(m_dev.fpga(12), 52 * 256 / 100);
        EXPECT_EQ(m_dev.fpga(15), 95 * 256 / 100);
    }
}

}  // namespace

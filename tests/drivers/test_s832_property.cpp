// The 832 classes as a caller sees them before and after opening: the
// camera description, the controls with their limits, and the values a
// fresh object reports.
#include <string>

#include "test_s832_fixture.h"

namespace {

struct SDescCase {
    int pid;
    const char* name;
    int offsetDef;
    bool st4;
    bool cooler;
};
const SDescCase kDescCases[] = {
    {kPid832, "VORN KYR832MC", 1, true, false},
    {kPid832Pro, "VORN KYR832MC Pro", 3, false, true},
};

// A camera of the class alone on the bus, opened and not initialised.
void OpenFresh(int pid) {
    kyrsim::reset();
    kyrsim::plug(pid);
    KYRGetNumOfConnectedCameras();
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
}

TEST_F(C832Test, BothClassesDescribeThemselves) {
    for (const SDescCase& c : kDescCases) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        Plug(c.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, 3840);
        EXPECT_EQ(info.max_height, 2160);
        EXPECT_EQ(info.is_color, KYR_TRUE);
        EXPECT_EQ(info.bayer, BAYER_RG);
        const int bins[] = {1, 2, 3, 4, 0};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        const IMG_TYPE types[] = {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 2.9);
        EXPECT_EQ(info.st4_port, c.st4 ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.has_cooler, c.cooler ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.is_usb3, KYR_TRUE);
        EXPECT_EQ(info.bit_depth, 12);
        // Register 28 says no trigger, and the 832 offers no trigger mode anyway.
        EXPECT_EQ(info.is_trigger, KYR_FALSE);
    }
}

TEST_F(C832Test, BothClassesOfferTheirControlsWithTheModelsLimits) {
    for (const SDescCase& c : kDescCases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(OpenFresh(c.pid));
        ExpectControlLimits(0, {
                                   {"Gain", 600, 0, 200},
                                   {"Exposure", 2000000000, 32, 10000},
                                   {"Offset", 200, 0, c.offsetDef},
                                   {"WB_R", 99, 1, 55},
                                   {"WB_B", 99, 1, 75},
                                   {"BandWidth", 100, 40, 50},
                               });
        KYR_CONTROL_CAPS caps;
        ASSERT_TRUE(FindControl(0, "BandWidth", &caps));
        EXPECT_EQ(caps.supports_auto, KYR_TRUE);
        EXPECT_TRUE(FindControl(0, "HardwareBin", &caps));
        EXPECT_TRUE(FindControl(0, "HighSpeedMode", &caps));
        EXPECT_TRUE(FindControl(0, "Temperature", &caps));
        EXPECT_EQ(FindControl(0, "CoolerOn", &caps), c.cooler);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C832Test, FreshObjectsReportTheModelsDefaults) {
    for (const SDescCase& c : kDescCases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(OpenFresh(c.pid));
        const struct {
            KYR_CONTROL_TYPE type;
            long value;
            KYR_BOOL bAuto;
        } values[] = {
            {KYR_GAIN, 200, KYR_FALSE},
            {KYR_EXPOSURE, 10000, KYR_FALSE},
            {KYR_OFFSET, c.offsetDef, KYR_FALSE},
            {KYR_WB_R, 55, KYR_FALSE},
            {KYR_WB_B, 75, KYR_FALSE},
            {KYR_BANDWIDTH, 100, KYR_TRUE},
        };
        for (const auto& v : values) {
            SCOPED_TRACE(static_cast<int>(v.type));
            long value = -1;
            KYR_BOOL bAuto = KYR_FALSE;
            ASSERT_EQ(KYRGetControlValue(0, v.type, &value, &bAuto), KYR_SUCCESS);
            EXPECT_EQ(value, v.value);
            EXPECT_EQ(bAuto, v.bAuto);
        }
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

}  // namespace

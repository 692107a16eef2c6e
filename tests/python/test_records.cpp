// The layer's reading of an exported camera description, and the checks of a
// region of interest against it, in their order.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "exceptions.h"
#include "records.h"

using vorn_kyr::BayerPattern;
using vorn_kyr::CameraInfo;
using vorn_kyr::ImageType;
using vorn_kyr::ROI;

namespace {

KYR_CAMERA_INFO Description() {
    KYR_CAMERA_INFO d;
    memset(&d, 0, sizeof(d));
    snprintf(d.name, sizeof(d.name), "VORN KYR832MC");
    d.supported_image_types[0] = IMG_END;
    return d;
}

// Stores a number into an enum field of the description as the int it is.
template <class Enum>
void SetRaw(Enum& field, int value) {
    memcpy(&field, &value, sizeof(int));
}

template <size_t N, class T>
void Fill(T (&field)[N], const std::vector<int>& values) {
    for (size_t i = 0; i < N; ++i) field[i] = static_cast<T>(i < values.size() ? values[i] : 0);
}

TEST(CameraInfoFromDescription, Bins) {
    struct Case {
        std::vector<int> raw;
        std::set<int> expected;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 0}, {1, 2, 3, 4}},
        {{}, {}},
        {{2, 2, 1, 2, 0, 5}, {1, 2}},  // repeats once, nothing after the 0
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
    };
    for (const Case& c : cases) {
        KYR_CAMERA_INFO d = Description();
        Fill(d.supported_bins, c.raw);
        EXPECT_EQ(vorn_kyr::to_camera_info(d).supported_bins, c.expected);
    }
}

TEST(CameraInfoFromDescription, ImageTypes) {
    using T = ImageType;
    struct Case {
        std::vector<int> raw;
        std::set<T> expected;
    };
    const Case cases[] = {
        {{0, 1, 3, 2, -1}, {T::raw8, T::rgb24, T::raw16, T::y8}},
        {{0, 7, 3, -1}, {T::raw8, T::y8}},    // unknown values skipped
        {{-1, 0, 1}, {}},                     // -1 stops
        {{3, 3, 3, 3, 3, 3, 3, 3}, {T::y8}},  // eight entries, no end marker
        {{2, 4, 5, 6, 7, 8, 9, 10}, {T::raw16}},
    };
    for (const Case& c : cases) {
        KYR_CAMERA_INFO d = Description();
        for (int i = 0; i < 8; ++i)
            SetRaw(d.supported_image_types[i], i < static_cast<int>(c.raw.size()) ? c.raw[i] : -1);
        EXPECT_EQ(vorn_kyr::to_camera_info(d).supported_image_types, c.expected);
    }
}

TEST(CameraInfoFromDescription, BayerIsOneUp) {
    const std::pair<int, BayerPattern> cases[] = {{0, BayerPattern::RG},   {1, BayerPattern::BG},
                                                  {2, BayerPattern::GR},   {3, BayerPattern::GB},
                                                  {4, BayerPattern::None}, {-1, BayerPattern::None}};
    for (const auto& c : cases) {
        KYR_CAMERA_INFO d = Description();
        SetRaw(d.bayer, c.first);
        EXPECT_EQ(vorn_kyr::to_camera_info(d).bayer, c.second) << c.first;
    }
}

// Flags compared with KYR_TRUE hold only for exactly 1; the shutter flag for
// any non-zero value.
TEST(CameraInfoFromDescription, FlagsAndNumbers) {
    KYR_CAMERA_INFO d = Description();
    d.camera_id = 5;
    d.max_height = 2180;
    d.max_width = 3856;
    d.pixel_size_um = 2.9;
    d.elec_per_adu = 0.25f;
    d.bit_depth = 12;
    CameraInfo info = vorn_kyr::to_camera_info(d);
    EXPECT_EQ(info.name, "VORN KYR832MC");
    EXPECT_EQ(info.camera_id, 5);
    EXPECT_EQ(info.max_height, 2180);
    EXPECT_EQ(info.max_width, 3856);
    EXPECT_DOUBLE_EQ(info.pixel_size_um, 2.9);
    EXPECT_FLOAT_EQ(info.elec_per_adu, 0.25f);
    EXPECT_EQ(info.bit_depth, 12);
    for (int v : {1, 2}) {
        for (KYR_BOOL* flag : {&d.is_color, &d.st4_port, &d.has_cooler, &d.is_usb3_host, &d.is_usb3,
                               &d.is_trigger, &d.mechanical_shutter})
            SetRaw(*flag, v);
        info = vorn_kyr::to_camera_info(d);
        const bool one = v == 1;
        EXPECT_EQ(info.is_color, one);
        EXPECT_EQ(info.st4_port, one);
        EXPECT_EQ(info.has_cooler, one);
        EXPECT_EQ(info.is_usb3_host, one);
        EXPECT_EQ(info.is_usb3, one);
        EXPECT_EQ(info.is_trigger, one);
        EXPECT_TRUE(info.mechanical_shutter) << v;
    }
    // A mono camera with a cooler.
    d = Description();
    d.has_cooler = KYR_TRUE;
    info = vorn_kyr::to_camera_info(d);
    EXPECT_FALSE(info.is_color);
    EXPECT_TRUE(info.has_cooler);
}

TEST(CameraInfoFromDescription, NameStopsAtTheFieldEnd) {
    KYR_CAMERA_INFO d = Description();
    memset(d.name, 'A', sizeof(d.name));
    EXPECT_EQ(vorn_kyr::to_camera_info(d).name, std::string(64, 'A'));
}

// The checks run in order; the first that fails names itself.
TEST(RoiValid, ChecksInOrder) {
    CameraInfo info;
    info.name = "VORN KYR832MC";
    info.supported_bins = {1, 2, 4};
    info.supported_image_types = {ImageType::raw8, ImageType::raw16};
    struct Case {
        int width, height, bins;
        ImageType type;
        const char* error;  // null: valid
    };
    const Case cases[] = {
        {640, 480, 1, ImageType::raw8, nullptr},
        {0, 0, 4, ImageType::raw16, nullptr},
        {642, 481, 3, ImageType::y8, "ROI width%8 should be 0 (not the case for 642)"},
        {640, 481, 3, ImageType::y8, "ROI height%2 should be 0 (not the case for 481)"},
        {640, 480, 3, ImageType::y8, "unsupported number of bin(s): 3"},
        {640, 480, 2, ImageType::y8, "unsupported image type: y8"},
        {640, 480, 2, static_cast<ImageType>(7), "unsupported image type: "},
    };
    for (const Case& c : cases) {
        ROI roi;
        roi.start_x = -100;  // the start is the camera's business
        roi.width = c.width;
        roi.height = c.height;
        roi.bins = c.bins;
        roi.type = c.type;
        if (!c.error) {
            EXPECT_NO_THROW(roi.valid(info));
            continue;
        }
        try {
            roi.valid(info);
            ADD_FAILURE() << "no exception for " << c.error;
        } catch (const vorn_kyr::ROIException& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

// The pixel-count check applies to the camera named exactly "KYR810" on USB 2
// only, between the height and the binning check; its drivers refuse such
// sizes themselves.
TEST(RoiValid, PixelCountOfTheUsb2Kyr810) {
    CameraInfo info;
    info.supported_bins = {1};
    info.supported_image_types = {ImageType::raw8};
    ROI roi;
    roi.width = 104;
    roi.height = 50;
    roi.bins = 3;  // would fail later
    roi.type = ImageType::raw8;
    struct Case {
        const char* name;
        bool usb3;
        const char* error;
    };
    const Case cases[] = {
        {"KYR810", false, "for camera KYR810, ROI width*height%1024 should be 0 (not the case for 104/50)"},
        {"KYR810", true, "unsupported number of bin(s): 3"},
        {"VORN KYR810MM", false, "unsupported number of bin(s): 3"},
    };
    for (const Case& c : cases) {
        info.name = c.name;
        info.is_usb3 = c.usb3;
        try {
            roi.valid(info);
            ADD_FAILURE() << c.name;
        } catch (const vorn_kyr::ROIException& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
    // Sizes whose product passes 2^31 are counted without overflow.
    info.name = "KYR810";
    info.is_usb3 = false;
    roi.bins = 1;
    roi.width = 65536;
    roi.height = 65538;  // 2^32 + 2^17: a multiple of 1024
    EXPECT_NO_THROW(roi.valid(info));
}

TEST(RoiDefaults, ZeroAndY8) {
    const ROI roi;
    EXPECT_EQ(roi.start_x, 0);
    EXPECT_EQ(roi.start_y, 0);
    EXPECT_EQ(roi.width, 0);
    EXPECT_EQ(roi.height, 0);
    EXPECT_EQ(roi.bins, 0);
    EXPECT_EQ(roi.type, ImageType::y8);
}

TEST(Conversions, NativeValuesAndNames) {
    EXPECT_EQ(vorn_kyr::get_native(ImageType::raw16), IMG_RAW16);
    EXPECT_EQ(vorn_kyr::get_native(vorn_kyr::CameraMode::low_level), CAM_MODE_TRIG_LOW_LEVEL);
    EXPECT_EQ(vorn_kyr::get_native(vorn_kyr::GuideDirection::WEST), GUIDE_WEST);
    EXPECT_EQ(vorn_kyr::to_string(BayerPattern::None), "None");
    EXPECT_EQ(vorn_kyr::to_string(BayerPattern::GB), "GB");
    EXPECT_EQ(vorn_kyr::to_string(static_cast<BayerPattern>(5)), "");
    EXPECT_EQ(vorn_kyr::to_string(ImageType::rgb24), "rgb24");
}

}  // namespace

// Text forms: the description's eight lines and the control table, against
// golden texts.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "records.h"
#include "text.h"

using vorn_kyr::BayerPattern;
using vorn_kyr::CameraInfo;
using vorn_kyr::Controllable;
using vorn_kyr::ImageType;

namespace {

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }

TEST(CameraInfoText, Colour) {
    CameraInfo info;
    info.name = "VORN KYR832MC";
    info.camera_id = 2;
    info.max_height = 2180;
    info.max_width = 3856;
    info.is_color = true;
    info.bayer = BayerPattern::RG;
    info.supported_bins = {4, 1, 2};
    info.supported_image_types = {ImageType::y8, ImageType::raw8, ImageType::rgb24, ImageType::raw16};
    info.pixel_size_um = 3.75;
    info.st4_port = true;
    info.is_usb3_host = true;
    info.is_usb3 = true;
    info.elec_per_adu = 0.8f;
    info.bit_depth = 12;
    EXPECT_EQ(info.to_string(),
              "VORN KYR832MC (id: 2)\n"
              "max heigth: (2180) | max width: (3856) |\n"
              "colored: * | mechanical shuttger: - | st4 port: * | \n"
              "has cooler: - | is usb3 host: * | is usb3: * | \n"
              "is triggered camera: - | bayer pattern: RG\n"
              "supported bins: 1 2 4 \n"
              "supported image types: raw8 rgb24 raw16 y8 \n"
              "pixel size (um): 3.75 | elec per ADU: 0.8 | bit depth: 12\n");
}

TEST(CameraInfoText, MonoWithEmptyTypes) {
    CameraInfo info;
    info.name = "VORN KYR832MM Pro";
    info.max_height = 48;
    info.max_width = 64;
    info.mechanical_shutter = true;
    info.has_cooler = true;
    info.is_trigger = true;
    info.supported_bins = {1};
    info.pixel_size_um = 2.4;
    info.elec_per_adu = 1.0f;
    info.bit_depth = 16;
    EXPECT_EQ(info.to_string(),
              "VORN KYR832MM Pro (id: 0)\n"
              "max heigth: (48) | max width: (64) |\n"
              "colored: - | mechanical shuttger: * | st4 port: - | \n"
              "has cooler: * | is usb3 host: - | is usb3: - | \n"
              "is triggered camera: * | bayer pattern: None\n"
              "supported bins: 1 \n"
              "supported image types: \n"
              "pixel size (um): 2.4 | elec per ADU: 1 | bit depth: 16\n");
}

Controllable Control(const char* name, long value, long min, long max, bool supports_auto, bool is_auto,
                     bool writable) {
    Controllable c;
    c.name = name;
    c.value = value;
    c.min_value = min;
    c.max_value = max;
    c.supports_auto = supports_auto;
    c.is_auto = is_auto;
    c.is_writable = writable;
    return c;
}

TEST(ControlTable, NoControlsEndsWithTheHeader) {
    // Empty columns: names 0 + 4 wide, the others 0 + 2, "min value" 5; every header word is wider.
    EXPECT_EQ(vorn_kyr::internal::controls_table({}),
              "|controllable|value |min value |max value |auto-mode  |in auto-mode  |writable\n--\n");
}

TEST(ControlTable, RowsAndWideHeaderWords) {
    const std::vector<Controllable> controls = {
        Control("Exposure", 10000, 32, 2000000000, true, false, true),
        Control("Gain", 0, 0, 600, true, true, true),
        Control("Temperature", -115, -500, 1000, false, false, false),
    };
    // Names 11 + 4 = 15 wide; values 5 + 2 = 7; minimums 4 + 2 = 6 ("min value" 9);
    // maximums 10 + 2 = 12.
    // The flag cells: "|*" or "| ", then 10 and 13 blanks; the last has none.
    const std::string yes1 = "|*" + Blanks(10), no1 = "| " + Blanks(10);
    const std::string yes2 = "|*" + Blanks(13), no2 = "| " + Blanks(13);
    EXPECT_EQ(vorn_kyr::internal::controls_table(controls),
              "|controllable   |value   |min value |max value    |auto-mode  |in auto-mode  |writable\n"
              "--\n"
              "|Exposure       |10000   |32        |2000000000   " +
                  yes1 + no2 + "|*\n" + "|Gain           |0       |0         |600          " + yes1 + yes2 +
                  "|*\n" + "|Temperature    |-115    |-500      |1000         " + no1 + no2 + "| \n");
    // A name shorter than "controllable" leaves that header word unpadded,
    // and the header's bars stand further right than the rows'.
    const std::string table =
        vorn_kyr::internal::controls_table({Control("Gain", 5, 0, 10, false, false, true)});
    EXPECT_EQ(table,
              "|controllable|value |min value |max value |auto-mode  |in auto-mode  |writable\n"
              "--\n"
              "|Gain    |5   |0      |10   " +
                  no1 + no2 + "|*\n");
}

TEST(ControlTable, FlagCells) {
    std::ostringstream out;
    vorn_kyr::internal::append_bool(out, true, 11);
    vorn_kyr::internal::append_bool(out, false, 14);
    vorn_kyr::internal::append_bool(out, true, -1);
    vorn_kyr::internal::append_bool(out, false, 2);
    vorn_kyr::internal::append_bool(out, true, 3);
    EXPECT_EQ(out.str(), "|*" + std::string(10, ' ') + "| " + std::string(13, ' ') + "|*" + "| " + "|*  ");
}

TEST(Padding, FixLengthNeverCuts) {
    std::vector<std::string> texts = {"", "ab", "abcdef"};
    vorn_kyr::internal::fix_lengths(texts, 4);
    EXPECT_EQ(texts, (std::vector<std::string>{"    ", "ab  ", "abcdef"}));
    EXPECT_EQ(vorn_kyr::internal::max_size(texts), 6u);
    EXPECT_EQ(vorn_kyr::internal::max_size({}), 0u);
}

}  // namespace

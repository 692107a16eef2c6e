// The texts of the layer's exceptions, character for character: they reach
// Python as the messages of its RuntimeErrors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "exceptions.h"
#include "layer_fixture.h"

using vorn_kyr::CameraException;
using vorn_kyr::ControllableException;
using vorn_kyr::ImageType;
using vorn_kyr::ROIException;

namespace {

std::string Text(const std::exception& e) { return e.what(); }

using UdevExceptionText = layer_test::InTempDir;

TEST(CameraExceptionText, EveryCodeNamesItsEnumeratorOrNothing) {
    const char* const names[] = {
        nullptr,
        "KYR_ERROR_INVALID_INDEX",
        "KYR_ERROR_ID",
        "KYR_ERROR_INVALID_CONTROL_TYPE",
        "KYR_ERROR_CAMERA_CLOSED",
        "KYR_ERROR_CAMERA_REMOVED",
        "KYR_ERROR_INVALID_PATH",
        "KYR_ERROR_INVALID_FILEFORMAT",
        "KYR_ERROR_INVALID_SIZE",
        "KYR_ERROR_INVALID_IMGTYPE",
        "KYR_ERROR_OUTOF_BOUNDARY",
        "KYR_ERROR_TIMEOUT",
        "KYR_ERROR_INVALID_SEQUENCE",
        "KYR_ERROR_BUFFER_TOO_SMALL",
        "KYR_ERROR_VIDEO_MODE_ACTIVE",
        "KYR_ERROR_EXPOSURE_IN_PROGRESS",
        "KYR_ERROR_GENERAL_ERROR",
        nullptr,  // KYR_ERROR_INVALID_MODE
    };
    for (int code = 0; code <= 17; ++code) {
        const std::string prefix =
            "KYR Camera: (camera index: 3) failed to set camera mode (error code: " + std::to_string(code) +
            ": ";
        const std::string expected = names[code] ? prefix + names[code] + ")" : prefix;
        EXPECT_EQ(
            Text(CameraException("failed to set camera mode", 3, static_cast<KYR_ERROR_CODE>(code), false)),
            expected)
            << "code " << code;
    }
}

TEST(CameraExceptionText, ExampleAndEmptyMessage) {
    EXPECT_EQ(
        Text(CameraException("failed to open the camera", 0, KYR_ERROR_CAMERA_REMOVED, false)),
        "KYR Camera: (camera index: 0) failed to open the camera (error code: 5: KYR_ERROR_CAMERA_REMOVED)");
    EXPECT_EQ(Text(CameraException("", -1, KYR_ERROR_ID, false)),
              "KYR Camera: (camera index: -1)  (error code: 2: KYR_ERROR_ID)");
}

const char kUdevHead[] =
    "KYR Camera:\n"
    "the command 'cat /sys/module/usbcore/parameters/usbfs_memory_mb' did not return the expected value of "
    "'200' which may indicate incorrect udev rules for the KYR camera.\n";

TEST_F(UdevExceptionText, UdevFormWithTheFileCreated) {
    // Index, code and message do not show.
    for (int code : {0, 4, 16}) {
        const std::string text = Text(CameraException("ignored", 7, static_cast<KYR_ERROR_CODE>(code), true));
        EXPECT_EQ(text,
                  std::string(kUdevHead) +
                      "A file '99-kyr.rules' has been created in the current directory, please run in a "
                      "terminal:\n"
                      "  sudo install 99-kyr.rules /lib/udev/rules.d\n"
                      "and reconnect the camera\n");
        EXPECT_TRUE(std::filesystem::exists(Dir() / "99-kyr.rules"));
    }
}

TEST_F(UdevExceptionText, UdevFormWithTheFileNotCreated) {
    BlockRulesFile();
    const std::string text = Text(CameraException("", 0, KYR_ERROR_GENERAL_ERROR, true));
    EXPECT_EQ(text, std::string(kUdevHead) +
                        "There has been a failed attempt to create a '99-kyr.rules file in the current "
                        "directory.'\n"
                        "See 'install udev rule' in:\n"
                        "README.md of kyrcamera, section \"Real cameras: the udev rule\"");
    EXPECT_TRUE(std::filesystem::is_directory(Dir() / "99-kyr.rules"));
}

TEST(ControllableExceptionText, RangeFormHasNoBlankBeforeIs) {
    EXPECT_EQ(Text(ControllableException("Gain", 700L, 0L, 600L)),
              "out of bound value for Gain: 700is not in the range 0; 600");
    EXPECT_EQ(Text(ControllableException("Offset", -5L, -2L, 10L)),
              "out of bound value for Offset: -5is not in the range -2; 10");
}

TEST(ControllableExceptionText, FlagFormPiecesInOrder) {
    struct Case {
        bool no_such, not_writable, no_auto;
        const char* text;
    };
    const Case cases[] = {
        {false, false, false, ""},
        {true, false, false, "no such controllable: Gain"},
        {false, true, false, "failed to change the value of Gain: not writable"},
        {false, false, true, "failed to change the value of Gain: to auto-mode (not supported)"},
        {true, true, true,
         "no such controllable: Gainfailed to change the value of Gain: not writablefailed to change the "
         "value of "
         "Gain: to auto-mode (not supported)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Text(ControllableException("Gain", c.no_such, c.not_writable, c.no_auto)), c.text);
}

TEST(ROIExceptionText, FourForms) {
    EXPECT_EQ(Text(ROIException(642, 8, true)), "ROI width%8 should be 0 (not the case for 642)");
    EXPECT_EQ(Text(ROIException(481, 2, false)), "ROI height%2 should be 0 (not the case for 481)");
    EXPECT_EQ(Text(ROIException(100, 50, 1024, "KYR810")),
              "for camera KYR810, ROI width*height%1024 should be 0 (not the case for 100/50)");
    EXPECT_EQ(Text(ROIException(3)), "unsupported number of bin(s): 3");
    const std::pair<ImageType, const char*> types[] = {{ImageType::raw8, "raw8"},
                                                       {ImageType::rgb24, "rgb24"},
                                                       {ImageType::raw16, "raw16"},
                                                       {ImageType::y8, "y8"},
                                                       {static_cast<ImageType>(9), ""}};
    for (const auto& t : types)
        EXPECT_EQ(Text(ROIException(t.first)), std::string("unsupported image type: ") + t.second);
}

}  // namespace

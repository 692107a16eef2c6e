// Camera operations on a simulated 832MC through the exported interface:
// description, controls, region, camera mode, guiding, dark frames, the text
// form, a refused initialisation, and every member after the camera was
// closed under the object.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "KYRCamera.h"
#include "camera.h"
#include "exceptions.h"
#include "kyrsim.hpp"
#include "layer_fixture.h"
#include "text.h"

using vorn_kyr::BayerPattern;
using vorn_kyr::Camera;
using vorn_kyr::CameraMode;
using vorn_kyr::Controllable;
using vorn_kyr::GuideDirection;
using vorn_kyr::ImageType;
using vorn_kyr::ROI;

namespace {

constexpr int kPid832MC = 0x832b;

using layer_test::ErrorOf;

std::string CameraError(const std::string& message, int code, const char* name) {
    return "KYR Camera: (camera index: 0) " + message + " (error code: " + std::to_string(code) + ": " + name;
}

ROI Region(int x, int y, int w, int h, int bins, ImageType type) {
    ROI roi;
    roi.start_x = x;
    roi.start_y = y;
    roi.width = w;
    roi.height = h;
    roi.bins = bins;
    roi.type = type;
    return roi;
}

void ExpectSameRegion(const ROI& a, const ROI& b) {
    EXPECT_EQ(a.start_x, b.start_x);
    EXPECT_EQ(a.start_y, b.start_y);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_EQ(a.bins, b.bins);
    EXPECT_EQ(a.type, b.type);
}

class CameraTest : public layer_test::InTempDir {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(layer_test::InTempDir::SetUp());
        kyrsim::reset();
        m_Dev = kyrsim::plug(kPid832MC, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
    }
    void TearDown() override {
        m_pCam.reset();
        for (int id = 0; id < 4; ++id) KYRCloseCamera(id);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim::reset();
        layer_test::InTempDir::TearDown();
    }
    void Open() { m_pCam = std::make_unique<Camera>(0); }
    Camera& Cam() { return *m_pCam; }
    // The control's value and auto flag as the exported interface reads them.
    static std::pair<long, KYR_BOOL> Read(KYR_CONTROL_TYPE type) {
        long value = -1;
        KYR_BOOL is_auto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, type, &value, &is_auto), KYR_SUCCESS);
        return {value, is_auto};
    }

    kyrsim::Device m_Dev;
    std::unique_ptr<Camera> m_pCam;
};

TEST_F(CameraTest, Description) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const vorn_kyr::CameraInfo& info = Cam().get_info();
    EXPECT_EQ(info.name, "VORN KYR832MC");
    EXPECT_EQ(info.camera_id, 0);
    EXPECT_EQ(info.max_width, 3840);
    EXPECT_EQ(info.max_height, 2160);
    EXPECT_TRUE(info.is_color);
    EXPECT_EQ(info.bayer, BayerPattern::RG);
    EXPECT_EQ(info.supported_bins, (std::set<int>{1, 2, 3, 4}));
    EXPECT_EQ(info.supported_image_types,
              (std::set<ImageType>{ImageType::raw8, ImageType::rgb24, ImageType::raw16, ImageType::y8}));
    EXPECT_DOUBLE_EQ(info.pixel_size_um, 2.9);
    EXPECT_EQ(info.bit_depth, 12);
    EXPECT_TRUE(info.st4_port);
    EXPECT_FALSE(info.has_cooler);
    // The rest as the exported description gives it.
    KYR_CAMERA_INFO d;
    memset(&d, 0, sizeof(d));
    ASSERT_EQ(KYRGetCameraProperty(&d, 0), KYR_SUCCESS);
    EXPECT_EQ(info.elec_per_adu, d.elec_per_adu);
    EXPECT_EQ(info.is_usb3, d.is_usb3 == KYR_TRUE);
    EXPECT_EQ(info.is_usb3_host, d.is_usb3_host == KYR_TRUE);
    EXPECT_EQ(info.is_trigger, d.is_trigger == KYR_TRUE);
    EXPECT_EQ(info.mechanical_shutter, d.mechanical_shutter != 0);
}

// One entry per control the camera reports, in bytewise order of the names,
// with the values the exported interface reads.
TEST_F(CameraTest, ControlsInBytewiseNameOrder) {
    ASSERT_NO_FATAL_FAILURE(Open());
    int count = 0;
    ASSERT_EQ(KYRGetNumOfControls(0, &count), KYR_SUCCESS);
    const auto controls = Cam().get_controls();
    EXPECT_EQ(static_cast<int>(controls.size()), count);
    std::vector<std::string> names;
    for (const auto& entry : controls) {
        EXPECT_EQ(entry.first, entry.second.name);
        names.push_back(entry.first);
    }
    std::vector<std::string> bytewise = names;
    std::sort(bytewise.begin(), bytewise.end(), [](const std::string& a, const std::string& b) {
        const int c = memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
        return c != 0 ? c < 0 : a.size() < b.size();
    });
    EXPECT_EQ(names, bytewise);
    ASSERT_EQ(controls.count("Gain"), 1u);
    ASSERT_EQ(controls.count("Exposure"), 1u);
    const Controllable& gain = controls.at("Gain");
    EXPECT_EQ(gain.min_value, 0);
    EXPECT_EQ(gain.max_value, 600);
    EXPECT_EQ(gain.value, Read(KYR_GAIN).first);
    EXPECT_TRUE(gain.is_writable);
}

TEST_F(CameraTest, SetControlAndAuto) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Cam().set_control("Gain", 321);
    EXPECT_EQ(Read(KYR_GAIN), std::make_pair(321L, KYR_FALSE));
    EXPECT_EQ(Cam().get_controls().at("Gain").value, 321);
    // Auto mode writes the current value back with auto on.
    Cam().set_auto("Gain");
    EXPECT_EQ(Read(KYR_GAIN), std::make_pair(321L, KYR_TRUE));
    EXPECT_TRUE(Cam().get_controls().at("Gain").is_auto);
    EXPECT_EQ(ErrorOf([&] { Cam().set_control("Gian", 1); }), "no such controllable: Gian");
}

// A control without auto mode is refused before anything is written to it.
TEST_F(CameraTest, AutoOnAControlWithoutItIsRefusedBeforeAnyWrite) {
    ASSERT_NO_FATAL_FAILURE(Open());
    std::string name;
    for (const auto& entry : Cam().get_controls())
        if (!entry.second.supports_auto && entry.second.is_writable) name = entry.first;
    ASSERT_FALSE(name.empty()) << "the 832 has a writable control without auto mode";
    const Controllable before = Cam().get_controls().at(name);
    const int logged = kyrsim_log_count();
    EXPECT_EQ(ErrorOf([&] { Cam().set_auto(name); }),
              "failed to change the value of " + name + ": to auto-mode (not supported)");
    // Only reads reached the camera (the control's value), no write request.
    for (int i = logged; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        ASSERT_EQ(kyrsim_log_get(i, &r), 0);
        EXPECT_NE(r.request_type & 0x80, 0)
            << "request 0x" << std::hex << r.request << " wrote to the camera";
    }
    const Controllable after = Cam().get_controls().at(name);
    EXPECT_EQ(after.value, before.value);
    EXPECT_FALSE(after.is_auto);
}

TEST_F(CameraTest, RegionRoundTripWithItsStart) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const ROI region = Region(24, 10, 320, 240, 2, ImageType::raw16);
    Cam().set_roi(region);
    ExpectSameRegion(Cam().get_roi(), region);
    // Setting what was read leaves the window where it is.
    Cam().set_roi(Cam().get_roi());
    ExpectSameRegion(Cam().get_roi(), region);
}

// One capture into a buffer on the camera itself: the image is the frame the
// camera sent (the scene is still, so every frame carries the same pixels;
// the first and last rows hold the marker words the read-out restores).
TEST_F(CameraTest, OneCaptureIntoABuffer) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const int w = 1280, h = 64;  // across the first colour bars
    Cam().set_roi(Region(40, 20, w, h, 1, ImageType::raw8));
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAMMA, 50, KYR_FALSE), KYR_SUCCESS);
    std::vector<unsigned char> image(static_cast<size_t>(w) * h, 0xA5);
    Cam().capture(image.data(), static_cast<int>(image.size()));
    std::vector<unsigned char> sent(image.size());
    ASSERT_EQ(kyrsim_last_frame(m_Dev.handle(), sent.data(), static_cast<int>(sent.size())),
              static_cast<int>(sent.size()));
    EXPECT_TRUE(std::equal(image.begin() + w, image.end() - w, sent.begin() + w));
    EXPECT_NE(std::count(image.begin(), image.end(), image[w]), static_cast<long>(image.size()));
}

// A region refused by the layer or by the camera leaves the camera's region.
TEST_F(CameraTest, ARefusedRegionLeavesTheCamerasRegion) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const ROI region = Region(8, 4, 640, 480, 1, ImageType::raw8);
    Cam().set_roi(region);
    struct Case {
        ROI roi;
        std::string error;
    };
    const Case cases[] = {
        {Region(0, 0, 642, 480, 1, ImageType::raw8), "ROI width%8 should be 0 (not the case for 642)"},
        {Region(0, 0, 640, 480, 5, ImageType::raw8), "unsupported number of bin(s): 5"},
        {Region(0, 0, 8000, 480, 1, ImageType::raw8),
         CameraError("failed to set the ROI", 8, "KYR_ERROR_INVALID_SIZE)")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf([&] { Cam().set_roi(c.roi); }), c.error);
        ExpectSameRegion(Cam().get_roi(), region);
    }
}

TEST_F(CameraTest, ATriggerModeIsRefusedWithItsCode) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(ErrorOf([&] { Cam().set_camera_mode(CameraMode::soft_edge); }),
              CameraError("failed to set camera mode", 17, ""));
    EXPECT_EQ(ErrorOf([&] { Cam().set_camera_mode(CameraMode::normal); }), "");
}

TEST_F(CameraTest, GuideOnAndOffReachTheCamera) {
    ASSERT_NO_FATAL_FAILURE(Open());
    for (GuideDirection d :
         {GuideDirection::NORTH, GuideDirection::SOUTH, GuideDirection::EAST, GuideDirection::WEST}) {
        const int dir = static_cast<int>(d);
        Cam().set_pulse_guide_on(d);
        EXPECT_EQ(m_Dev.guide(dir), 1) << dir;
        Cam().set_pulse_guide_off(d);
        EXPECT_EQ(m_Dev.guide(dir), 0) << dir;
        EXPECT_EQ(m_Dev.guideChanges(dir), 2) << dir;
    }
}

// The path is checked before anything reaches the camera: a call would have
// answered with its own error, and does so once the camera is closed.
TEST_F(CameraTest, AMissingDarkFileGivesTheQuotedPath) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::filesystem::path missing = Dir() / "dark \"one\\two.bmp";
    const std::string expected = "file not found: \"" + Dir().string() + "/dark \\\"one\\\\two.bmp\"";
    EXPECT_EQ(ErrorOf([&] { Cam().enable_dark_substract(missing); }), expected);
    vorn_kyr::close_camera(0);
    EXPECT_EQ(ErrorOf([&] { Cam().enable_dark_substract(missing); }), expected);
}

TEST_F(CameraTest, TextForm) {
    ASSERT_NO_FATAL_FAILURE(Open());
    std::vector<Controllable> controls;
    for (const auto& entry : Cam().get_controls()) controls.push_back(entry.second);
    EXPECT_EQ(Cam().to_string(), "\n(kyr sdk: " + vorn_kyr::get_sdk_version() + ")\n" +
                                     Cam().get_info().to_string() + "\n" +
                                     vorn_kyr::internal::controls_table(controls));
    EXPECT_GT(controls.size(), 3u);
}

// After close_camera under the object, each member fails with the message of
// its first exported call and the closed-camera code; the destructor is silent.
TEST_F(CameraTest, MembersAfterCloseFailWithTheClosedCode) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::filesystem::path dark = Dir() / "dark.bmp";
    std::ofstream(dark) << "BM";
    const std::string first = Cam().get_controls().begin()->first;
    vorn_kyr::close_camera(0);
    std::vector<unsigned char> image(64);
    const ROI region = Region(0, 0, 64, 48, 1, ImageType::raw8);
    struct Case {
        std::string message;
        std::function<void(Camera&)> call;
    };
    const Case cases[] = {
        {"failed to read values for parameter " + first, [](Camera& c) { c.get_controls(); }},
        {"failed to read values for parameter " + first, [](Camera& c) { c.to_string(); }},
        {"failed to read values for parameter Gain", [](Camera& c) { c.set_control("Gain", 5); }},
        {"failed to read values for parameter Gain", [](Camera& c) { c.set_auto("Gain"); }},
        {"failed to read the current ROI", [](Camera& c) { c.get_roi(); }},
        {"failed to set the ROI", [&](Camera& c) { c.set_roi(region); }},
        {"failed to set the ROI", [&](Camera& c) { c.configure(region, {}); }},
        {"failed to set camera mode", [](Camera& c) { c.set_camera_mode(CameraMode::normal); }},
        {"failed to set pulse guide on", [](Camera& c) { c.set_pulse_guide_on(GuideDirection::EAST); }},
        {"failed to set off pulse guide", [](Camera& c) { c.set_pulse_guide_off(GuideDirection::EAST); }},
        {"failed to enable dark substract", [&](Camera& c) { c.enable_dark_substract(dark); }},
        {"failed to disable dark substract", [](Camera& c) { c.disable_dark_substract(); }},
        {"failed to read the exposure status",
         [&](Camera& c) { c.capture(image.data(), static_cast<int>(image.size())); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf([&] { c.call(Cam()); }), CameraError(c.message, 4, "KYR_ERROR_CAMERA_CLOSED)"))
            << c.message;
    }
    EXPECT_NO_THROW(m_pCam.reset());
}

// configure sets the region, then each writable control in name order: auto
// mode where it is asked, the value otherwise; read-only controls are skipped.
TEST_F(CameraTest, ConfigureSetsRegionAndWritableControls) {
    ASSERT_NO_FATAL_FAILURE(Open());
    auto controls = Cam().get_controls();
    controls.at("Gain").value = 123;
    controls.at("Exposure").is_auto = true;
    const ROI region = Region(16, 8, 320, 200, 1, ImageType::raw8);
    Cam().configure(region, controls);
    ExpectSameRegion(Cam().get_roi(), region);
    EXPECT_EQ(Read(KYR_GAIN), std::make_pair(123L, KYR_FALSE));
    EXPECT_EQ(Read(KYR_EXPOSURE).second, KYR_TRUE);
}

// A failing initialisation closes the camera again before the exception
// leaves: the ID answers closed and no device handle stays open.
TEST_F(CameraTest, AFailedInitLeavesTheCameraClosed) {
    ASSERT_TRUE(m_Dev.setDdrPolicy(KYRSIM_DDR_NEVER));
    EXPECT_EQ(ErrorOf([&] { Open(); }),
              CameraError("failed to init the camera", 16, "KYR_ERROR_GENERAL_ERROR)"));
    int count = 0;
    EXPECT_EQ(KYRGetNumOfControls(0, &count), KYR_ERROR_CAMERA_CLOSED);
    EXPECT_EQ(kyrsim_open_handles(), 0);
}

TEST_F(CameraTest, CountVersionAndClose) {
    EXPECT_EQ(vorn_kyr::get_nb_cameras(), 1);
    EXPECT_EQ(vorn_kyr::get_sdk_version(), KYRGetSDKVersion());
    EXPECT_EQ(
        ErrorOf([] { vorn_kyr::get_camera_info(1); }),
        "KYR Camera: (camera index: 1) failed to read camera infos (error code: 1: KYR_ERROR_INVALID_INDEX)");
    EXPECT_EQ(ErrorOf([] { vorn_kyr::close_camera(200); }),
              "KYR Camera: (camera index: 200) failed to close the camera (error code: 2: KYR_ERROR_ID)");
    EXPECT_NO_THROW(vorn_kyr::close_camera(0)) << "a camera that is not open closes without error";
}

}  // namespace

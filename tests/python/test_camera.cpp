// Camera operations on a simulated 832MC through the exported interface:
// guiding, camera modes, dark frames, and every member after the camera was
// closed under the object.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FrameDriver.h"
#include "KYRCamera.h"
#include "ModelFactory.h"
#include "TestDriver.h"
#include "camera.h"
#include "exceptions.h"
#include "kyrsim.hpp"
#include "layer_fixture.h"

using vorn_kyr::Camera;
using vorn_kyr::CameraMode;
using vorn_kyr::Controllable;
using vorn_kyr::GuideDirection;

namespace {

constexpr int kPid = CTestDriver::kProductID;  // the 832MC

// Keeps the region it accepts (bin 1, raw 8 or 16 bits, up to 64 x 48).
CCameraBase* MakeDriver() { return new CFrameDriver(); }

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string CameraError(const std::string& message, int code, const char* name) {
    return std::string("KYR Camera: (camera index: 0) ") + message + " (error code: " + std::to_string(code) +
           ": " + name;
}

class CameraTest : public layer_test::InTempDir {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(layer_test::InTempDir::SetUp());
        kyrsim::reset();
        SetCameraConstructorForTest(kPid, MakeDriver);
        m_Dev = kyrsim::plug(kPid, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        m_pCam = std::make_unique<Camera>(0);
    }
    void TearDown() override {
        m_pCam.reset();
        SetCameraConstructorForTest(kPid, nullptr);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim::reset();
        layer_test::InTempDir::TearDown();
    }

    kyrsim::Device m_Dev;
    std::unique_ptr<Camera> m_pCam;
};

// One entry per control the camera reports, in bytewise order of the names.
TEST_F(CameraTest, ControlsInBytewiseNameOrder) {
    int count = 0;
    ASSERT_EQ(KYRGetNumOfControls(0, &count), KYR_SUCCESS);
    const auto controls = m_pCam->get_controls();
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
}

// set_control writes the value; set_auto on a control without auto mode is
// refused and leaves it as it was.
TEST_F(CameraTest, SetControlAndRefusedAuto) {
    std::string name;
    Controllable control;
    for (const auto& entry : m_pCam->get_controls())
        if (!entry.second.supports_auto && entry.second.is_writable &&
            entry.second.max_value > entry.second.value)
            name = entry.first, control = entry.second;
    ASSERT_FALSE(name.empty());
    m_pCam->set_control(name, control.max_value);
    EXPECT_EQ(m_pCam->get_controls().at(name).value, control.max_value);
    EXPECT_EQ(ErrorOf([&] { m_pCam->set_auto(name); }),
              "failed to change the value of " + name + ": to auto-mode (not supported)");
    EXPECT_EQ(m_pCam->get_controls().at(name).value, control.max_value);
    EXPECT_FALSE(m_pCam->get_controls().at(name).is_auto);
    EXPECT_EQ(ErrorOf([&] { m_pCam->set_control("Gian", 1); }), "no such controllable: Gian");
}

TEST_F(CameraTest, GuideOnAndOffReachTheCamera) {
    const GuideDirection directions[] = {GuideDirection::NORTH, GuideDirection::SOUTH, GuideDirection::EAST,
                                         GuideDirection::WEST};
    for (GuideDirection d : directions) {
        const int dir = static_cast<int>(d);
        m_pCam->set_pulse_guide_on(d);
        EXPECT_EQ(m_Dev.guide(dir), 1) << dir;
        m_pCam->set_pulse_guide_off(d);
        EXPECT_EQ(m_Dev.guide(dir), 0) << dir;
        EXPECT_EQ(m_Dev.guideChanges(dir), 2) << dir;
    }
}

TEST_F(CameraTest, ATriggerModeIsRefusedWithItsCode) {
    EXPECT_EQ(ErrorOf([&] { m_pCam->set_camera_mode(CameraMode::soft_edge); }),
              CameraError("failed to set camera mode", 17, ""));
    EXPECT_EQ(ErrorOf([&] { m_pCam->set_camera_mode(CameraMode::normal); }), "");
}

// The path is checked before anything reaches the camera: a call would have
// answered with its own error.
TEST_F(CameraTest, AMissingDarkFileGivesTheQuotedPath) {
    const std::filesystem::path missing = Dir() / "dark \"one\\two.bmp";
    const std::string expected = "file not found: \"" + Dir().string() + "/dark \\\"one\\\\two.bmp\"";
    EXPECT_EQ(ErrorOf([&] { m_pCam->enable_dark_substract(missing); }), expected);
    vorn_kyr::close_camera(0);
    EXPECT_EQ(ErrorOf([&] { m_pCam->enable_dark_substract(missing); }), expected);
}

// After close_camera under the object, each member fails with the message of
// its first exported call and the closed-camera code; the destructor is silent.
TEST_F(CameraTest, MembersAfterCloseFailWithTheClosedCode) {
    const std::filesystem::path dark = Dir() / "dark.bmp";
    std::ofstream(dark) << "BM";
    vorn_kyr::close_camera(0);
    std::vector<unsigned char> image(CTestDriver::kMaxWidth * CTestDriver::kMaxHeight);
    struct Case {
        const char* message;
        std::function<void(Camera&)> call;
    };
    const Case cases[] = {
        {"failed to read the current ROI", [](Camera& c) { c.get_roi(); }},
        {"failed to set camera mode", [](Camera& c) { c.set_camera_mode(CameraMode::normal); }},
        {"failed to set pulse guide on", [](Camera& c) { c.set_pulse_guide_on(GuideDirection::EAST); }},
        {"failed to set off pulse guide", [](Camera& c) { c.set_pulse_guide_off(GuideDirection::EAST); }},
        {"failed to enable dark substract", [&](Camera& c) { c.enable_dark_substract(dark); }},
        {"failed to disable dark substract", [](Camera& c) { c.disable_dark_substract(); }},
        {"failed to read the exposure status",
         [&](Camera& c) { c.capture(image.data(), static_cast<int>(image.size())); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf([&] { c.call(*m_pCam); }), CameraError(c.message, 4, "KYR_ERROR_CAMERA_CLOSED)"))
            << c.message;
    }
    EXPECT_NO_THROW(m_pCam.reset());
}

TEST_F(CameraTest, CloseCameraOfAnUnknownIdThrows) {
    EXPECT_EQ(ErrorOf([] { vorn_kyr::close_camera(200); }),
              "KYR Camera: (camera index: 200) failed to close the camera (error code: 2: KYR_ERROR_ID)");
    EXPECT_NO_THROW(vorn_kyr::close_camera(0));
    EXPECT_NO_THROW(vorn_kyr::close_camera(0)) << "a closed camera closes again without error";
}

TEST_F(CameraTest, CameraCountAndVersion) {
    EXPECT_EQ(vorn_kyr::get_nb_cameras(), 1);
    EXPECT_EQ(vorn_kyr::get_sdk_version(), KYRGetSDKVersion());
    EXPECT_EQ(
        ErrorOf([] { vorn_kyr::get_camera_info(1); }),
        "KYR Camera: (camera index: 1) failed to read camera infos (error code: 1: KYR_ERROR_INVALID_INDEX)");
    EXPECT_EQ(
        ErrorOf([] { Camera second(3); }),
        "KYR Camera: (camera index: 3) failed to read camera infos (error code: 1: KYR_ERROR_INVALID_INDEX)");
}

}  // namespace

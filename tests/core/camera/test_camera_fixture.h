// Shared pieces of the camera-object tests: a simulator reset per test, cameras
// plugged with known serial numbers, the port path of a plug position, and a
// reading of the serial number straight from the device a camera object holds.
#ifndef KYR_TEST_CAMERA_FIXTURE_H
#define KYR_TEST_CAMERA_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "TestDriver.h"
#include "camera/CameraBase.h"
#include "kyrsim.hpp"
#include "platform/Log.h"

namespace camera_test {

using Serial = std::array<unsigned char, 8>;

inline Serial MakeSerial(unsigned char last) {
    return Serial{0x4B, 0x59, 0x52, 0x00, 0x00, 0x00, 0x10, last};
}

// The port path the library gives a device at bus and ports ("1,3" gives
// "bus1.port:1,3,"; "" gives "bus1.port:").
inline std::string PathOf(int bus, const std::string& ports) {
    std::string path = "bus" + std::to_string(bus) + ".port:";
    if (!ports.empty()) path += ports + ",";
    return path;
}

// Plugs a camera of the test driver's model with the given serial.
inline kyrsim::Device PlugCamera(int bus, const char* ports, const Serial& serial, bool usb3 = true) {
    kyrsim_device_config cfg = kyrsim::config(CTestDriver::kProductID, bus, ports);
    for (size_t i = 0; i < serial.size(); ++i) cfg.serial[i] = serial[i];
    cfg.usb3_host = usb3 ? 1 : 0;
    return kyrsim::plug(cfg);
}

// The serial number the opened device of a camera object answers with; all
// zero when the request fails.
inline Serial SerialOf(CCameraBase& camera) {
    Serial sn{};
    if (!camera.SendCMD(VR_GET_SERIAL, 0, 0, true, sn.data(), static_cast<long>(sn.size()))) sn.fill(0);
    return sn;
}

inline void SetPath(CCameraBase& camera, const std::string& path) {
    ASSERT_LT(path.size(), static_cast<size_t>(kCameraDevPathBytes));
    snprintf(camera.m_pDevPath, kCameraDevPathBytes, "%s", path.c_str());
}

// Milliseconds a call took.
template <class F>
long long TimedMs(F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
        .count();
}

// Resets the simulator around each test and switches debug output on, so
// that log lines can be checked on standard error.
class CCameraTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim::reset();
        g_bDebugPrint = true;
    }
    void TearDown() override {
        g_bDebugPrint = false;
        kyrsim::reset();
    }

    // Builds a test driver for the camera at bus/ports and opens it.
    std::unique_ptr<CTestDriver> OpenAt(int bus, const std::string& ports, int index = 1) {
        auto camera = std::make_unique<CTestDriver>();
        SetPath(*camera, PathOf(bus, ports));
        EXPECT_TRUE(camera->OpenCamera(index));
        return camera;
    }
};

}  // namespace camera_test

#endif

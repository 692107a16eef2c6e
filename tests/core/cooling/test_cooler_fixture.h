// Shared pieces of the cooled-camera tests: a simulated cooled camera opened
// by a cooled test driver, and the cooler requests it received.
#ifndef KYR_TEST_COOLER_FIXTURE_H
#define KYR_TEST_COOLER_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../camera/test_camera_fixture.h"
#include "Fx3Fixture.h"
#include "TestCoolDriver.h"

namespace cooler_test {

// Plugs a cooled camera at bus 1, port `port`, with firmware 'V', fw.
inline kyrsim::Device PlugCooled(const char* port, int fw = 0x31) {
    kyrsim_device_config cfg = kyrsim::config(CTestCoolDriver::kProductID, 1, port);
    cfg.fw_answer[0] = 'V';
    cfg.fw_answer[1] = static_cast<unsigned char>(fw);
    return kyrsim::plug(cfg);
}

// A cooled test driver opened on the camera at bus 1, port `port`.
inline std::unique_ptr<CTestCoolDriver> OpenCooled(const char* port, const char* name = "KYR832MC Pro") {
    auto cam = std::make_unique<CTestCoolDriver>(name);
    camera_test::SetPath(*cam, camera_test::PathOf(1, port));
    EXPECT_TRUE(cam->OpenCamera(1));
    return cam;
}

// wValues of the cooler-level requests (0xB2) a camera received, in order.
inline std::vector<int> CoolerLevelsSent(const kyrsim::Device& dev) {
    std::vector<int> out;
    for (const auto& r : kyrsim::requests(VR_SET_COOLER_DA, dev.handle())) out.push_back(r.value);
    return out;
}

class CCoolerTest : public ::testing::Test {
  protected:
    void SetUp() override { kyrsim::reset(); }
    void TearDown() override {
        m_pCam.reset();
        g_bDebugPrint = false;
        kyrsim::reset();
    }

    void Open(int fw = 0x31, const char* name = "KYR832MC Pro") {
        m_Dev = PlugCooled("1", fw);
        ASSERT_TRUE(m_Dev.valid());
        m_pCam = OpenCooled("1", name);
        ASSERT_TRUE(m_pCam->m_bOpened);
        kyrsim::clearLog();
    }

    CTestCoolDriver& Cam() { return *m_pCam; }

    kyrsim::Device m_Dev;
    std::unique_ptr<CTestCoolDriver> m_pCam;
};

}  // namespace cooler_test

#endif

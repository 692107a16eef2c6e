// Shared pieces of the control tests: camera ID 0 is a recording test driver
// (the factory builds it for the test driver's product ID) on a simulated
// camera, opened and initialised through the exported interface.
#ifndef KYR_TEST_CONTROLS_FIXTURE_H
#define KYR_TEST_CONTROLS_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <string>
#include <vector>

#include "KYRCamera.h"
#include "RecordingDriver.h"
#include "api/ModelFactory.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "usb/FpgaRegs.h"

namespace controls_test {

constexpr int kReqReadFpga = 0xBC;
constexpr int kReqWriteFpga = 0xBD;

class CControlsApiTest : public ::testing::Test {
  protected:
    static CCameraBase* Make() {
        s_pLast = new CRecordingDriver();
        return s_pLast;
    }

    void SetUp() override {
        kyrsim::reset();
        SetCameraConstructorForTest(CTestDriver::kProductID, Make);
        m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_NE(s_pLast, nullptr);
        Cam().ClearRecorded();
        kyrsim::clearLog();
    }

    void TearDown() override {
        KYRCloseCamera(0);
        s_pLast = nullptr;
        SetCameraConstructorForTest(CTestDriver::kProductID, nullptr);
        EXPECT_EQ(kyrsim_unexpected_count(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        g_bDebugPrint = false;
        kyrsim::reset();
    }

    CRecordingDriver& Cam() { return *s_pLast; }

    // The names of the listed controls, in list order, through the exported
    // functions; each record's control_type must name the same control.
    std::vector<std::string> ListedNames() {
        int n = -1;
        EXPECT_EQ(KYRGetNumOfControls(0, &n), KYR_SUCCESS);
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            KYR_CONTROL_CAPS caps;
            memset(&caps, 0xAB, sizeof(caps));
            EXPECT_EQ(KYRGetControlCaps(0, i, &caps), KYR_SUCCESS);
            KYR_CONTROL_CAPS byType;
            EXPECT_TRUE(Cam().GetCtrllCaps(caps.control_type, &byType));
            EXPECT_STREQ(caps.name, byType.name) << "control_type of index " << i;
            names.emplace_back(caps.name);
        }
        return names;
    }

    long Get(KYR_CONTROL_TYPE type, KYR_BOOL* pbAuto = nullptr) {
        long value = -12345;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, type, &value, &bAuto), KYR_SUCCESS) << "control " << type;
        if (pbAuto) *pbAuto = bAuto;
        return value;
    }

    static inline CRecordingDriver* s_pLast = nullptr;
    kyrsim::Device m_Dev;
};

}  // namespace controls_test

#endif

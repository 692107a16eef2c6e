// Test fixtures shared by the transport-level tests: one simulated FPGA camera
// opened the way the camera object's open does it (open by index,
// configuration 1, interface 0) and handed to a CCameraFX3; and a helper that
// captures what the library logs.
#ifndef KYR_TEST_FX3_FIXTURE_H
#define KYR_TEST_FX3_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <memory>
#include <string>

#include "kyrsim.hpp"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "usb/CameraFX3.h"

// Runs fn with debug output on and returns what it wrote to standard error.
template <class F>
std::string CaptureDebugLog(F fn) {
    const bool was = g_bDebugPrint;
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    fn();
    std::string text = testing::internal::GetCapturedStderr();
    g_bDebugPrint = was;
    return text;
}

// Logged requests of one code and direction (KYRSIM_DIR_*), oldest first.
inline std::vector<kyrsim::Request> RequestsOf(int code, int dir) {
    std::vector<kyrsim::Request> out;
    for (const kyrsim::Request& r : kyrsim::requests(code))
        if (((r.request_type & 0x80) ? KYRSIM_DIR_IN : KYRSIM_DIR_OUT) == dir) out.push_back(r);
    return out;
}

class CFx3DeviceTest : public ::testing::Test {
protected:
    static constexpr uint16_t kFx3VendorId = 0x2e7b;
    static constexpr uint16_t kFx3ProductId = 0x832b;  // an FPGA camera of the second generation

    void SetUp() override {
        kyrsim::reset();
        m_Dev = kyrsim::plug(kFx3ProductId, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        m_pFx3 = std::make_unique<CCameraFX3>();
        ASSERT_NE(m_pFx3->m_pUsbContext, nullptr);
        ASSERT_NO_FATAL_FAILURE(Open());
        kyrsim::clearLog();
    }

    // What the camera object's open does with the transport's context.
    void Open() {
        libusb_device_handle* hDevice =
            libusb_open_device_with_vid_pid_index(m_pFx3->m_pUsbContext, kFx3VendorId, kFx3ProductId, 1);
        ASSERT_NE(hDevice, nullptr);
        libusb_set_configuration(hDevice, 1);
        ASSERT_EQ(libusb_claim_interface(hDevice, 0), 0);
        m_pFx3->m_hDevice = hDevice;
        m_pFx3->m_bOpened = true;
    }

    void TearDown() override {
        if (m_pFx3) {
            m_pFx3->CloseDevice();
            m_pFx3.reset();
        }
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(kyrsim_live_contexts(), 0);
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
        g_bDebugPrint = false;
        kyrsim::reset();
    }

    CCameraFX3& Fx3() { return *m_pFx3; }

    kyrsim::Device m_Dev;
    std::unique_ptr<CCameraFX3> m_pFx3;
};

#endif

// Shared pieces of the capture-control tests: a test driver opened on a
// simulated camera with its scripted capture bodies bound to the capture and
// trigger threads, the same behind the exported interface, and small helpers
// for bounded waits and for the FPGA requests of the simulator's log.
#ifndef KYR_TEST_CAPTURE_FIXTURE_H
#define KYR_TEST_CAPTURE_FIXTURE_H

#include <gtest/gtest.h>

#include "Fx3Fixture.h"
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KYRCamera.h"
#include "TestDriver.h"
#include "api/ModelFactory.h"
#include "camera/CameraBase.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "usb/FpgaRegs.h"

namespace capture_test {

constexpr int kReqReadFpga = 0xBC;
constexpr int kReqWriteFpga = 0xBD;
// Bound of every wait for a thread to reach a state: far above what it needs.
constexpr int kWaitMs = 5000;

// Polls pred every millisecond until it holds or iTimeoutMs pass.
inline bool WaitFor(const std::function<bool()>& pred, int iTimeoutMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool IsCapturing(const CCameraBase& cam) {
    return cam.m_thrWork.IsAlive() || cam.m_thrTrigger.IsAlive();
}

// One FPGA register request: a write with its value, or a read (value -1).
struct SReg {
    bool bWrite;
    int iReg;
    int iValue;
    bool operator==(const SReg& o) const {
        return bWrite == o.bWrite && iReg == o.iReg && iValue == o.iValue;
    }
};
inline SReg W(int reg, int value) { return {true, reg, value}; }
inline SReg R(int reg) { return {false, reg, -1}; }
inline std::ostream& operator<<(std::ostream& os, const SReg& a) {
    if (a.bWrite) return os << "W(" << a.iReg << ", 0x" << std::hex << a.iValue << std::dec << ")";
    return os << "R(" << a.iReg << ")";
}

inline std::vector<SReg> FpgaRequests() {
    std::vector<SReg> out;
    for (const kyrsim::Request& r : kyrsim::requests()) {
        if (r.request == kReqWriteFpga) out.push_back(W(r.value, r.index));
        if (r.request == kReqReadFpga) out.push_back(R(r.value));
    }
    return out;
}

// The test driver binds no body to the capture and trigger threads in its
// InitCamera (a real driver binds WorkingFunc and TriggerFunc there). Running
// each scripted body once, as a failing capture, leaves it bound; the status
// words are then put back to idle.
inline void BindCaptureBodies(CTestDriver& cam) {
    cam.SetCaptureMode(CTestDriver::CAPTURE_FAIL);
    ASSERT_TRUE(cam.StartWorkThread());
    cam.m_thrWork.Stop();
    ASSERT_TRUE(cam.StartTriggerThread());
    cam.m_thrTrigger.Stop();
    cam.m_iSnapStatus = KYR_EXP_IDLE;
    cam.m_iExpStatus = KYR_EXP_IDLE;
    cam.SetCaptureMode(CTestDriver::CAPTURE_LOOP);
}


// A test driver opened and initialised on a simulated camera, capture bodies
// bound, registers 0, 40 and 41 preset to known values.
class CCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim::reset();
        m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_CTRL, FPGA_CTRL_RUN));
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_TRIG_CFG, 0));
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_SYNC_CFG, 0));
        m_pCam = std::make_unique<CTestDriver>();
        ASSERT_TRUE(m_pCam->OpenCamera(1));
        ASSERT_TRUE(m_pCam->InitCamera());
        ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(*m_pCam));
        kyrsim::clearLog();
    }

    void TearDown() override {
        if (m_pCam) {
            m_pCam->OpenLatch();
            m_pCam->CloseCamera();
            m_pCam.reset();
        }
        EXPECT_EQ(kyrsim_unexpected_count(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        g_bDebugPrint = false;
        kyrsim::reset();
    }

    // Lets the driver claim (or not) a trigger capture that completes a
    // snapshot, with register 28 reading v, and reads the abilities again.
    void SetTriggerAbility(bool bTrigSnapCapture, int v) {
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_VER_TYPE, v));
        m_pCam->m_bTrigSnapCapture = bTrigSnapCapture;
        ASSERT_TRUE(m_pCam->CameraModeCheck());
        kyrsim::clearLog();
    }

    CTestDriver& Cam() { return *m_pCam; }

    kyrsim::Device m_Dev;
    std::unique_ptr<CTestDriver> m_pCam;
};

// The same behind the exported interface: camera ID 0 is a test driver (the
// factory builds it for the test driver's product ID), opened and initialised.
class CCaptureApiTest : public ::testing::Test {
  protected:
    static CCameraBase* Make() {
        auto* cam = new CTestDriver();
        cam->m_bTrigSnapCapture = s_bTrigSnapCapture;
        s_pLast = cam;
        return cam;
    }

    void SetUp() override {
        kyrsim::reset();
        SetCameraConstructorForTest(CTestDriver::kProductID, Make);
        m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_CTRL, FPGA_CTRL_RUN));
        ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_VER_TYPE, s_iRegVerType));
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_NE(s_pLast, nullptr);
        ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(*s_pLast));
        kyrsim::clearLog();
    }

    void TearDown() override {
        if (s_pLast) s_pLast->OpenLatch();
        KYRCloseCamera(0);
        s_pLast = nullptr;
        SetCameraConstructorForTest(CTestDriver::kProductID, nullptr);
        EXPECT_EQ(kyrsim_unexpected_count(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        g_bDebugPrint = false;
        s_bTrigSnapCapture = false;
        s_iRegVerType = 0x02;
        kyrsim::reset();
    }

    CTestDriver& Cam() { return *s_pLast; }

    KYR_EXPOSURE_STATUS ExpStatus() {
        KYR_EXPOSURE_STATUS status = static_cast<KYR_EXPOSURE_STATUS>(-1);
        EXPECT_EQ(KYRGetExpStatus(0, &status), KYR_SUCCESS);
        return status;
    }

    static inline CTestDriver* s_pLast = nullptr;
    static inline bool s_bTrigSnapCapture = false;
    static inline int s_iRegVerType = 0x02;
    kyrsim::Device m_Dev;
};

}  // namespace capture_test

#endif

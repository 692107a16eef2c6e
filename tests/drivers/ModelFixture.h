// Fixture of the driver tests: simulated cameras of the models a test names,
// opened and initialised through the exported functions, with the driver
// objects the factory made at hand for the checks and calls a caller cannot
// make.
#ifndef KYR_TEST_MODEL_FIXTURE_H
#define KYR_TEST_MODEL_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HoldCheck.h"
#include "KYRCamera.h"
#include "api/ModelFactory.h"
#include "camera/CameraBase.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/EngineRegistrar.h"
#include "kyrsim.hpp"
#include "platform/Platform.h"

// The driver objects made, in order, for every fixture.
inline std::vector<CCameraBase*>& MadeCameras() {
    static std::vector<CCameraBase*> made;
    return made;
}

// An object of class T as the factory makes one (its threads stopped
// before any part of it is destroyed), recorded.
template <class T>
CCameraBase* MakeRecordedCamera() {
    CCameraBase* p = new CDriverObject<T>();
    MadeCameras().push_back(p);
    return p;
}

// One product ID and the class the factory builds for it, recorded.
struct SModelClass {
    int iPID;
    CCameraBase* (*fnMake)();
};
template <class T>
SModelClass ModelClass(int pid) {
    return {pid, MakeRecordedCamera<T>};
}

// Waits, up to waitMs of real time, until the single exposure of camera 0
// has ended; its status.
inline KYR_EXPOSURE_STATUS WaitExposureEnd(int waitMs) {
    KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (st == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        KYRGetExpStatus(0, &st);
    }
    return st;
}

// Starts a single exposure on camera 0 and waits for its end (IDLE: refused).
inline KYR_EXPOSURE_STATUS Expose(int waitMs) {
    if (KYRStartExposure(0, KYR_FALSE) != KYR_SUCCESS) return KYR_EXP_IDLE;
    return WaitExposureEnd(waitMs);
}

// One image of the set format of camera 0 through video or a single exposure.
inline bool CaptureImage(bool snap, std::vector<unsigned char>* pImage, int waitMs) {
    if (snap) {
        if (Expose(waitMs) != KYR_EXP_SUCCESS) return false;
        return KYRGetDataAfterExp(0, pImage->data(), static_cast<long>(pImage->size())) == KYR_SUCCESS;
    }
    if (KYRStartVideoCapture(0) != KYR_SUCCESS) return false;
    const bool ok =
        KYRGetVideoData(0, pImage->data(), static_cast<long>(pImage->size()), waitMs) == KYR_SUCCESS;
    KYRStopVideoCapture(0);
    return ok;
}

// The capabilities of camera id's control named szName, or false.
inline bool FindControl(int id, const char* szName, KYR_CONTROL_CAPS* pCaps) {
    int n = 0;
    if (KYRGetNumOfControls(id, &n) != KYR_SUCCESS) return false;
    for (int i = 0; i < n; ++i)
        if (KYRGetControlCaps(id, i, pCaps) == KYR_SUCCESS && std::string(pCaps->name) == szName) return true;
    return false;
}

// A control's limits as a model gives them.
struct SControlLimits {
    const char* name;
    long max, min, def;
};
inline void ExpectControlLimits(int id, const std::vector<SControlLimits>& limits) {
    for (const SControlLimits& l : limits) {
        SCOPED_TRACE(l.name);
        KYR_CONTROL_CAPS caps;
        ASSERT_TRUE(FindControl(id, l.name, &caps));
        EXPECT_EQ(caps.max_value, l.max);
        EXPECT_EQ(caps.min_value, l.min);
        EXPECT_EQ(caps.default_value, l.def);
    }
}

// A control set while one write of its plan fails.
struct SWriteFault {
    const char* what;
    KYR_CONTROL_TYPE type;
    long value;
    int request, reg;  // the failing request (0xB6 sensor, 0xBD FPGA register) and its register
};

class CModelTest : public ::testing::Test {
  protected:
    explicit CModelTest(std::vector<SModelClass> classes) : m_classes(std::move(classes)) {}

    void SetUp() override {
        kyrsim::reset();
        MadeCameras().clear();
        for (const SModelClass& c : m_classes) SetCameraConstructorForTest(c.iPID, c.fnMake);
    }

    void TearDown() override {
        for (int id = 0; id < 8; ++id) KYRCloseCamera(id);
        for (const SModelClass& c : m_classes) SetCameraConstructorForTest(c.iPID, nullptr);
        MadeCameras().clear();
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim::reset();
    }

    // Plugs a camera at port `ports` and enumerates.
    kyrsim::Device Plug(int pid, bool usb3 = true, const char* ports = "1") {
        kyrsim_device_config cfg = kyrsim::config(pid, 1, ports);
        cfg.usb3_host = usb3 ? 1 : 0;
        kyrsim::Device dev = kyrsim::plug(cfg);
        EXPECT_TRUE(dev.valid());
        KYRGetNumOfConnectedCameras();
        return dev;
    }

    // Opens and initialises camera ID id; the driver object it made.
    CCameraBase* OpenInit(int id = 0, KYR_ERROR_CODE expectInit = KYR_SUCCESS) {
        const size_t before = MadeCameras().size();
        EXPECT_EQ(KYROpenCamera(id), KYR_SUCCESS);
        if (MadeCameras().size() != before + 1) return nullptr;
        EXPECT_EQ(KYRInitCamera(id), expectInit);
        return MadeCameras().back();
    }

    // Plugs one camera and opens and initialises it.
    CCameraBase* Setup(int pid, bool usb3 = true) {
        m_dev = Plug(pid, usb3);
        m_pCam = OpenInit();
        return m_pCam;
    }

    // A newly plugged camera of pid in place of the last one, not yet opened.
    void Replug(int pid, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_pCam = nullptr;
        m_dev = Plug(pid, usb3);
    }

    // A newly plugged and initialised camera of pid in place of the last one.
    CCameraBase* Fresh(int pid, bool usb3 = true) {
        Replug(pid, usb3);
        m_pCam = OpenInit();
        return m_pCam;
    }

    // The engine's own operations of an engine camera (this test's camera
    // unless given), whichever base it has.
    template <class F>
    static auto WithEngine(CCameraBase* pCam, F fn) {
        if (auto* cool = dynamic_cast<CEngineDriver<CCameraCool>*>(pCam)) return fn(*cool);
        return fn(*dynamic_cast<CEngineDriver<CCameraBase>*>(pCam));
    }
    template <class F>
    auto WithEngine(F fn) {
        return WithEngine(m_pCam, fn);
    }
    SReadout Readout() {
        return WithEngine([](auto& e) { return e.Readout(); });
    }

    // On a fresh camera of pid: the control fails while the write of c.reg
    // fails, the sensor hold holdReg is released all the same, and the
    // control succeeds once the write goes through again.
    void ExpectWriteFaultFailsControl(int pid, const SWriteFault& c, int holdReg) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Fresh(pid), nullptr);
        kyrsim_fault f;
        kyrsim_fault_init(&f, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO);
        f.device = m_dev.handle();
        f.request = c.request;
        f.value = c.reg;
        ASSERT_GE(kyrsim_add_fault(&f), 0);
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.value, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(m_dev.sensor(holdReg), 0);
        kyrsim_clear_faults();
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.value, KYR_FALSE), KYR_SUCCESS);
    }

    // Runs fn under the camera's control lock, as the exported setters do.
    template <class F>
    auto Locked(F fn) {
        CCritSecLock lock(m_pCam->m_csControl);
        return fn();
    }

    std::vector<SModelClass> m_classes;
    kyrsim::Device m_dev;
    CCameraBase* m_pCam = nullptr;
};

// Camera id describes no trigger ability, offers only the normal mode and
// refuses a trigger mode.
inline void ExpectNoTriggerMode(int id) {
    KYR_CAMERA_INFO info{};
    ASSERT_EQ(KYRGetCameraProperty(&info, id), KYR_SUCCESS);
    EXPECT_EQ(info.is_trigger, KYR_FALSE);
    KYR_SUPPORTED_MODE modes{};
    ASSERT_EQ(KYRGetCameraSupportMode(id, &modes), KYR_SUCCESS);
    EXPECT_EQ(modes.SupportedCameraMode[0], CAM_MODE_NORMAL);
    EXPECT_EQ(modes.SupportedCameraMode[1], CAM_MODE_END);
    EXPECT_EQ(KYRSetCameraMode(id, static_cast<CAM_MODE>(1)), KYR_ERROR_INVALID_MODE);
}

#endif

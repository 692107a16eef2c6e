// Fixture of the 832 driver tests: simulated 832 cameras opened and
// initialised through the exported functions, with the driver objects the
// factory made at hand for the checks and calls a caller cannot make.
#ifndef KYR_TEST_S832_FIXTURE_H
#define KYR_TEST_S832_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <vector>

#include "CameraCool.h"
#include "HoldCheck.h"
#include "KYRCamera.h"
#include "ModelFactory.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS832MC.h"
#include "modetable1/CCameraS832MC_Pro.h"

constexpr int kPid832 = 0x832b;
constexpr int kPid832Pro = 0x832f;

// Registers that every multi-register change must write inside the hold:
// window start and size, and the mode registers.
inline const std::vector<uint16_t>& HeldRegs832() {
    static const std::vector<uint16_t> regs = {
        0x303C, 0x303D, 0x3044, 0x3045, 0x303E, 0x303F, 0x3046, 0x3047, 0x301B, 0x3022, 0x3023, 0x30D5,
        0x4231, 0x3014, 0x3015, 0x3460, 0x3478, 0x347C, 0x3480, 0x3A4E, 0x3409, 0x340B, 0x3458, 0x3002};
    return regs;
}

using CEngine832 = CEngineDriver<CCameraBase>;
using CEngine832Pro = CEngineDriver<CCameraCool>;

class C832Test : public ::testing::Test {
  protected:
    // The driver objects the factory made, in order.
    static std::vector<CCameraBase*>& Made() {
        static std::vector<CCameraBase*> made;
        return made;
    }
    template <class T>
    static CCameraBase* MakeRecorded() {
        CCameraBase* p = new T();
        Made().push_back(p);
        return p;
    }

    void SetUp() override {
        kyrsim::reset();
        Made().clear();
        SetCameraConstructorForTest(kPid832, MakeRecorded<CCameraS832MC>);
        SetCameraConstructorForTest(kPid832Pro, MakeRecorded<CCameraS832MC_Pro>);
    }

    void TearDown() override {
        for (int id = 0; id < 8; ++id) KYRCloseCamera(id);
        SetCameraConstructorForTest(kPid832, nullptr);
        SetCameraConstructorForTest(kPid832Pro, nullptr);
        Made().clear();
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
        const size_t before = Made().size();
        EXPECT_EQ(KYROpenCamera(id), KYR_SUCCESS);
        if (Made().size() != before + 1) return nullptr;
        EXPECT_EQ(KYRInitCamera(id), expectInit);
        return Made().back();
    }

    // Plugs one camera and opens and initialises it.
    CCameraBase* Setup(int pid = kPid832, bool usb3 = true) {
        m_dev = Plug(pid, usb3);
        m_pCam = OpenInit();
        return m_pCam;
    }

    CEngine832& Engine() { return *dynamic_cast<CEngine832*>(m_pCam); }

    // Runs fn under the camera's control lock, as the exported setters do.
    template <class F>
    auto Locked(F fn) {
        CCritSecLock lock(m_pCam->m_csControl);
        return fn();
    }

    kyrsim::Device m_dev;
    CCameraBase* m_pCam = nullptr;
};

#endif

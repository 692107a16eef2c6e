// Fixture of the 815 and 801 driver tests: the four classes of the
// start-register sensor family on simulated cameras, opened and initialised
// through the exported functions, with the driver objects the factory made
// at hand for the checks and calls a caller cannot make.
#ifndef KYR_TEST_S815_FIXTURE_H
#define KYR_TEST_S815_FIXTURE_H

#include <algorithm>
#include <vector>

#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"
#include "modetable1/CCameraS801MC.h"
#include "modetable1/CCameraS801MC_Pro.h"
#include "modetable1/CCameraS815MC.h"
#include "modetable1/CCameraS815MC_Pro.h"

constexpr int kPid815 = 0x815b;
constexpr int kPid815Pro = 0x815f;
constexpr int kPid801 = 0x801b;
constexpr int kPid801Pro = 0x801f;
constexpr int kFamilyPids[] = {kPid815, kPid815Pro, kPid801, kPid801Pro};

inline bool Is815(int pid) { return pid == kPid815 || pid == kPid815Pro; }
inline bool IsPro(int pid) { return pid == kPid815Pro || pid == kPid801Pro; }

// Registers that every multi-register change must write inside the hold:
// gain, offset, shutter line, VMAX, sensor line length, start, window and
// the mode registers.
inline const std::vector<uint16_t>& HeldRegsFamily() {
    static const std::vector<uint16_t> regs = {
        0x30E8, 0x30E9, 0x3302, 0x3303, 0x3058, 0x3059, 0x305A, 0x3030, 0x3031, 0x3032, 0x3034,
        0x3035, 0x302C, 0x302D, 0x3074, 0x3075, 0x308E, 0x308F, 0x30CE, 0x30CF, 0x30C6, 0x30C7,
        0x30D8, 0x30D9, 0x302E, 0x302F, 0x3076, 0x3077, 0x3090, 0x3091, 0x3308, 0x3309, 0x3018,
        0x3199, 0x31DD, 0x3300, 0x3050, 0x341C, 0x341D, 0x319D, 0x300C, 0x300D, 0x3E04, 0x3002};
    return regs;
}

class CFamilyTest : public CModelTest {
  protected:
    CFamilyTest()
        : CModelTest({ModelClass<CCameraS815MC>(kPid815), ModelClass<CCameraS815MC_Pro>(kPid815Pro),
                      ModelClass<CCameraS801MC>(kPid801), ModelClass<CCameraS801MC_Pro>(kPid801Pro)}) {}

    // A newly plugged and initialised camera of pid in place of the last one.
    CCameraBase* Fresh(int pid, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_iPid = pid;
        return Setup(pid, usb3);
    }

    // The engine of the camera in use, whichever its base.
    SReadout Readout() {
        if (IsPro(m_iPid)) return dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam)->Readout();
        return dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam)->Readout();
    }
    template <class F>
    auto WithEngine(F fn) {
        if (IsPro(m_iPid)) return fn(*dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam));
        return fn(*dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam));
    }

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
    void SetHardwareBin(bool on) { ASSERT_EQ(Set(KYR_HARDWARE_BIN, on ? 1 : 0), KYR_SUCCESS); }
    void SetHighSpeed(bool on) { ASSERT_EQ(Set(KYR_HIGH_SPEED_MODE, on ? 1 : 0), KYR_SUCCESS); }

    // 16-bit value of two sensor registers, low byte first; 24-bit of three.
    int Sensor16(int reg) { return m_dev.sensor(reg) | m_dev.sensor(reg + 1) << 8; }
    int Sensor24(int reg) { return Sensor16(reg) | m_dev.sensor(reg + 2) << 16; }

    // KYRSetStartPos(x, y) on a window of height rows at bin 1 without
    // sensor binning: the start stored unaligned, the family's start
    // registers, the window end (at most endMax), FPGA HBLK 8 and VBLK vblk,
    // all written inside one hold.
    void ExpectStart(int x, int y, int startX, int startY, bool skip, int height, int endMax, int vblk) {
        SCOPED_TRACE(testing::Message() << x << "," << y);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetStartPos(0, x, y), KYR_SUCCESS);
        EXPECT_EQ(m_pCam->m_iStartX, x);
        EXPECT_EQ(m_pCam->m_iStartY, y);
        EXPECT_EQ(Sensor16(0x302C), startX);
        EXPECT_EQ(Sensor16(0x3074), startY);
        EXPECT_EQ(Sensor16(0x308E), startY + 1);
        EXPECT_EQ(Sensor16(0x30CE), skip ? 100 : 0);
        EXPECT_EQ(Sensor16(0x30C6), skip ? 0x12 : 0);
        EXPECT_EQ(Sensor16(0x30D8), std::min(startY + 2 * height + 208, endMax));
        EXPECT_EQ(m_dev.fpgaWide(2, 2), 8);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), vblk);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegsFamily(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }

    int m_iPid = 0;
};

#endif

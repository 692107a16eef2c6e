// Control setters as transactions, on one model of each engine family: a
// value (and its auto flag, and the long-exposure mode it switches) is
// stored only when every register write of the change went through; after a
// failed write the control reads the value still in force, and a retry
// writes the whole change again.
#include <string>

#include "usb/FpgaRegs.h"
#include "ModelFixture.h"
#include "modetable1/CCameraS802MC.h"
#include "modetable1/CCameraS807MM.h"
#include "modetable1/CCameraS815MC.h"
#include "modetable1/CCameraS829MM.h"
#include "modetable1/CCameraS832MC.h"

namespace {

constexpr int kPid832 = 0x832b;
constexpr int kPid829 = 0x8299;
constexpr int kPid815 = 0x815b;
constexpr int kPid802 = 0x802a;
constexpr int kPid807 = 0x811a;

// Sensor register write, FPGA register write.
constexpr int kSensorWrite = 0xB6;
constexpr int kFpgaWrite = 0xBD;

constexpr int kWaitTrig = FPGA_CTRL_WAIT | FPGA_CTRL_TRIG;
constexpr long kLongUs = 2000000;
constexpr long kShortUs = 20000;

class CSetterTransactionTest : public CModelTest {
  protected:
    CSetterTransactionTest()
        : CModelTest({ModelClass<CCameraS832MC>(kPid832), ModelClass<CCameraS829MM>(kPid829),
                      ModelClass<CCameraS815MC>(kPid815), ModelClass<CCameraS802MC>(kPid802),
                      ModelClass<CCameraS807MM>(kPid807)}) {}

    // The nth write of request to register reg (-1: any register) fails once.
    void FailWrite(int request, int reg, int nth) {
        kyrsim::Fault f;
        f.device(m_dev).request(request).out().nth(nth).times(1).error(LIBUSB_ERROR_IO);
        if (reg >= 0) f.value(reg);
        f.add();
    }

    static long Get(KYR_CONTROL_TYPE type, KYR_BOOL* pbAuto = nullptr) {
        long value = -1;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, type, &value, &bAuto), KYR_SUCCESS);
        if (pbAuto) *pbAuto = bAuto;
        return value;
    }

    int WaitTrig() { return m_dev.fpga(FPGA_REG_CTRL) & kWaitTrig; }
};

// ---- Values stored only after their writes -------------------------------------------------

struct SControlCase {
    const char* what;
    int pid;
    KYR_CONTROL_TYPE type;
    long value;  // differs from the model's value after initialisation
    int request;
};
const SControlCase kControlCases[] = {
    {"832 gain", kPid832, KYR_GAIN, 300, kSensorWrite},
    {"832 offset", kPid832, KYR_OFFSET, 20, kSensorWrite},
    {"832 exposure", kPid832, KYR_EXPOSURE, 30000, kSensorWrite},
    {"832 bandwidth, sensor line length", kPid832, KYR_BANDWIDTH, 60, kSensorWrite},
    {"832 bandwidth, FPGA line length", kPid832, KYR_BANDWIDTH, 60, kFpgaWrite},
    {"829 gain", kPid829, KYR_GAIN, 300, kSensorWrite},
    {"829 offset", kPid829, KYR_OFFSET, 20, kSensorWrite},
    {"829 exposure", kPid829, KYR_EXPOSURE, 30000, kSensorWrite},
    {"829 bandwidth", kPid829, KYR_BANDWIDTH, 60, kFpgaWrite},
    {"815 gain", kPid815, KYR_GAIN, 300, kSensorWrite},
    {"815 offset", kPid815, KYR_OFFSET, 20, kSensorWrite},
    {"815 exposure", kPid815, KYR_EXPOSURE, 30000, kSensorWrite},
    {"815 bandwidth", kPid815, KYR_BANDWIDTH, 60, kFpgaWrite},
    {"802 gain", kPid802, KYR_GAIN, 300, kSensorWrite},
    {"802 offset", kPid802, KYR_OFFSET, 20, kSensorWrite},
    {"802 exposure", kPid802, KYR_EXPOSURE, 30000, kFpgaWrite},
    {"802 bandwidth", kPid802, KYR_BANDWIDTH, 60, kFpgaWrite},
    {"807 gain", kPid807, KYR_GAIN, 300, kSensorWrite},
    {"807 offset", kPid807, KYR_OFFSET, 20, kSensorWrite},
    {"807 exposure", kPid807, KYR_EXPOSURE, 30000, kSensorWrite},
    {"807 bandwidth", kPid807, KYR_BANDWIDTH, 60, kSensorWrite},
};

TEST_F(CSetterTransactionTest, AFailedWriteKeepsTheOldValueAndARetryStoresTheNew) {
    for (const SControlCase& c : kControlCases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Fresh(c.pid), nullptr);
        KYR_BOOL oldAuto = KYR_FALSE;
        const long old = Get(c.type, &oldAuto);
        ASSERT_NE(old, c.value);
        // Asked for with the auto flag flipped, which must not stick either.
        const KYR_BOOL newAuto = c.type == KYR_OFFSET ? KYR_FALSE : (oldAuto ? KYR_FALSE : KYR_TRUE);
        FailWrite(c.request, -1, 1);
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.value, newAuto), KYR_ERROR_GENERAL_ERROR);
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(Get(c.type, &bAuto), old);
        EXPECT_EQ(bAuto, oldAuto);

        kyrsim_clear_faults();
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.value, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Get(c.type, &bAuto), c.value);
        EXPECT_EQ(bAuto, KYR_FALSE);
    }
}

TEST_F(CSetterTransactionTest, AfterAnUnplugASetControlFailsAndTheOldValueStays) {
    const int pids[] = {kPid832, kPid829, kPid815, kPid802, kPid807};
    const KYR_CONTROL_TYPE types[] = {KYR_GAIN, KYR_OFFSET, KYR_EXPOSURE, KYR_BANDWIDTH};
    for (int pid : pids) {
        SCOPED_TRACE(pid);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_TRUE(m_dev.unplug());
        for (KYR_CONTROL_TYPE type : types) {
            SCOPED_TRACE(type);
            const long old = Get(type);
            const long value = type == KYR_GAIN ? 5 : (type == KYR_EXPOSURE ? 30000 : 60);
            ASSERT_NE(old, value);
            EXPECT_NE(KYRSetControlValue(0, type, value, KYR_FALSE), KYR_SUCCESS);
            EXPECT_EQ(Get(type), old);
        }
    }
}

// ---- Long-exposure mode switched only with the FPGA ------------------------------------------

struct SLongModeCase {
    const char* what;
    int pid;
    bool bArmsOnEntry;  // SetExp switches the FPGA's modes on (else the capture thread does)
    int enterNth;       // the write to FPGA register 0 that fails on entering long mode (0: none)
    int leaveNth;       // ... on leaving it (0: none)
};
const SLongModeCase kLongModeCases[] = {
    {"832, the wait mode's write on entry", kPid832, true, 1, 0},
    {"832, the trigger mode's write on entry", kPid832, true, 2, 0},
    {"832, the trigger mode's write on leaving", kPid832, true, 0, 1},
    {"832, the wait mode's write on leaving", kPid832, true, 0, 2},
    {"802, the control word on entry", kPid802, true, 1, 0},
    {"802, the control word on leaving", kPid802, true, 0, 1},
    {"807, the wait mode's write on leaving", kPid807, false, 0, 1},
    {"807, the trigger mode's write on leaving", kPid807, false, 0, 2},
};

TEST_F(CSetterTransactionTest, AFailedSwitchOfTheFPGAModesIsDoneWholeByTheRetry) {
    for (const SLongModeCase& c : kLongModeCases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Fresh(c.pid), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kShortUs, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(WaitTrig(), 0);

        if (c.enterNth) {
            FailWrite(kFpgaWrite, FPGA_REG_CTRL, c.enterNth);
            EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kLongUs, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
            EXPECT_EQ(Get(KYR_EXPOSURE), kShortUs);
            kyrsim_clear_faults();
        }
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kLongUs, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_EXPOSURE), kLongUs);
        if (c.bArmsOnEntry)
            EXPECT_EQ(WaitTrig(), kWaitTrig);
        else  // as the capture thread's long pass leaves them
            ASSERT_EQ(
                kyrsim_set_fpga_reg(m_dev.handle(), FPGA_REG_CTRL, m_dev.fpga(FPGA_REG_CTRL) | kWaitTrig), 0);

        if (c.leaveNth) {
            FailWrite(kFpgaWrite, FPGA_REG_CTRL, c.leaveNth);
            EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kShortUs, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
            EXPECT_EQ(Get(KYR_EXPOSURE), kLongUs);
            kyrsim_clear_faults();
        }
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kShortUs, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_EXPOSURE), kShortUs);
        EXPECT_EQ(WaitTrig(), 0);
    }
}

}  // namespace

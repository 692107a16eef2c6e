// test-labels: tsan
// Long exposures of the 831 on the test time source: SetExp holds the FPGA's
// wait and trigger modes and the capture thread leaves them alone; the thread
// raises the trigger, waits 50 ms, switches low power on, waits in counted
// 200 ms steps (the horizontal sync stopped at step 4 where the DDR or a USB 3
// host carries the frame), then brings the sensor back in order before the
// trigger falls. An exposure change ends the wait early.
#include "LongExpLog.h"
#include "TestSpeed.h"
#include "test_s831_fixture.h"

namespace {

constexpr int kWaitMs = 20000 * kTestSlowdown;

// One FPGA register write of the capture thread, at the virtual time of the
// last sleep before it.
struct SWrite {
    int reg, value;
    uint64_t atUs;
};

class C831LongExpTest : public C831Test {
  protected:
    void Start(int pid, bool usb3 = true) {
        ASSERT_NE(Fresh(pid, usb3), nullptr);
        // The cooler's thread would run the test clock ahead of the transfers.
        if (auto* cool = dynamic_cast<CCameraCool*>(m_pCam)) cool->StopAutoTempThr();
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }

    // The FPGA writes (registers 0, 11, 25) and sensor writes of other
    // threads than the test's from log entry `from` on; sensor writes as
    // register -1.
    std::vector<SWrite> Steps(int from) {
        std::vector<SWrite> out;
        for (int i = from; i < kyrsim_log_count(); ++i) {
            kyrsim_request r;
            if (kyrsim_log_get(i, &r) != 0 || r.device != m_dev.handle() || r.result < 0) continue;
            if (r.thread == kyrsim_thread_id()) continue;
            if (r.request == 0xBD && (r.value == 0 || r.value == 11 || r.value == 25))
                out.push_back({r.value, r.index, m_log.TimeOf(i)});
            else if (r.request == 0xB6)
                out.push_back({-1, r.value, m_log.TimeOf(i)});
        }
        return out;
    }

    CVirtualClock m_clock{std::chrono::microseconds(20)};
    CLongExpLog m_log{m_clock};
};

// The index of the first step from `from` on of register reg whose masked bits are `bits`.
int Find(const std::vector<SWrite>& s, int reg, int mask, int bits, int from = 0) {
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < s.size(); ++i)
        if (s[i].reg == reg && (s[i].value & mask) == bits) return static_cast<int>(i);
    return -1;
}

TEST_F(C831LongExpTest, ASnapshotRunsTheScriptInCountedStepsAndSucceeds) {
    const struct {
        const char* what;
        int pid;
        long exposureUs;
        bool usb3;
        int steps;  // 200 ms steps; 0: one sleep
        bool xhs;   // the sync stopped at step 4
    } cases[] = {
        {"one sleep", kPid831, 1000500, true, 0, false},
        {"1.5 s on USB 3", kPid831, 1500000, true, 5, true},
        {"3 s on USB 3", kPid831, 3000000, true, 13, true},
        {"1.5 s on USB 2 without DDR", kPid831, 1500000, false, 5, false},
        {"1.5 s on USB 2 with DDR", kPid831Pro, 1500000, false, 5, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Start(c.pid, c.usb3));
        ASSERT_EQ(Set(KYR_EXPOSURE, c.exposureUs), KYR_SUCCESS);
        // SetExp switched the wait and trigger modes on.
        ASSERT_EQ(m_dev.fpga(0) & 0xC0, 0xC0);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(WaitExposureEnd(kWaitMs), KYR_EXP_SUCCESS);
        const std::vector<SWrite> s = Steps(from);
        // The thread never touches the wait and trigger modes, nor a sensor register but the stream's.
        for (const SWrite& st : s) {
            if (st.reg == 0) {
                EXPECT_EQ(st.value & 0xC0, 0xC0) << st.value;
            }
            if (st.reg == -1) {
                EXPECT_EQ(st.value, 0x3000);
            }
        }
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0xC0);
        const int trigOn = Find(s, 11, 0x01, 0x01);
        const int lowOn = Find(s, 25, 0x01, 0x01);
        const int xhsOn = Find(s, 11, 0x10, 0x10);
        const int lowOff = Find(s, 25, 0x01, 0x00, lowOn);
        const int trigOff = Find(s, 11, 0x01, 0x00, lowOff);
        ASSERT_TRUE(trigOn >= 0 && lowOn > trigOn && lowOff > lowOn && trigOff > lowOff)
            << trigOn << " " << lowOn << " " << lowOff << " " << trigOff;
        EXPECT_GE(s[lowOn].atUs - s[trigOn].atUs, 50000u);
        EXPECT_GE(s[trigOff].atUs - s[lowOff].atUs, 350000u);
        const uint64_t wait = s[lowOff].atUs - s[lowOn].atUs;
        if (c.steps) {
            EXPECT_GE(wait, c.steps * 200000u);
            EXPECT_LT(wait, c.steps * 200000u + 100000u);
        } else {
            EXPECT_GE(wait, static_cast<uint64_t>(c.exposureUs / 1000 * 1000 - 400000));
        }
        if (c.xhs) {
            ASSERT_TRUE(xhsOn > lowOn && xhsOn < lowOff) << xhsOn;
            EXPECT_GE(s[xhsOn].atUs - s[lowOn].atUs, 800000u);
            EXPECT_LT(s[xhsOn].atUs - s[lowOn].atUs, 900000u);
            const int xhsOff = Find(s, 11, 0x10, 0x00, lowOff);
            EXPECT_TRUE(xhsOff > lowOff && xhsOff <= trigOff) << xhsOff;
            EXPECT_GE(s[xhsOff].atUs - s[lowOff].atUs, 350000u);
        } else {
            EXPECT_EQ(xhsOn, -1);
        }
        EXPECT_EQ(m_dev.fpga(11) & 0x11, 0);
        EXPECT_EQ(m_dev.fpga(25) & 0x01, 0);
    }
}

TEST_F(C831LongExpTest, AnExposureChangeEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(Start(kPid831));
    ASSERT_EQ(Set(KYR_EXPOSURE, 60000000), KYR_SUCCESS);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    // Some seconds into the wait.
    ASSERT_TRUE(m_clock.WaitElapsed(3000000, kWaitMs));
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000000), KYR_SUCCESS);
    EXPECT_NE(WaitExposureEnd(kWaitMs), KYR_EXP_WORKING);
    EXPECT_LT(m_clock.ElapsedUs(), 20000000u);
    EXPECT_EQ(m_dev.fpga(11) & 0x11, 0);
    EXPECT_EQ(m_dev.fpga(25) & 0x01, 0);
}

}  // namespace

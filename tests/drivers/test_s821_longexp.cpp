// test-labels: tsan
// Long exposures of the 821 on the test time source: the capture thread
// switches the FPGA's wait and trigger modes for each long frame, triggers
// the exposure, parks the sensor (0x3598, low power, XHS stop) while it
// waits and brings it back in order; an exposure change ends the wait; a
// switch back to short exposures while video runs leaves the FPGA free
// running.
#include <chrono>
#include <mutex>
#include <thread>

#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s821_fixture.h"

namespace {

constexpr int kWaitMs = 20000 * kTestSlowdown;

// One FPGA register or 0x3598 write of the capture thread, at the virtual
// time of the last sleep before it.
struct SStep {
    char kind;  // 'F' FPGA, 'S' sensor
    int reg, value;
    uint64_t atUs;
};

class C821LongExpTest : public C821Test {
  protected:
    void SetUp() override {
        C821Test::SetUp();
        m_clock.OnSleep([this](uint64_t totalUs) {
            std::lock_guard<std::mutex> lk(m_mu);
            m_sleeps.emplace_back(kyrsim_log_count(), totalUs);
        });
    }

    void Start(int pid, bool usb3 = true) {
        ASSERT_NE(Fresh(pid, usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
        m_from = kyrsim_log_count();
    }

    // Virtual time when log entry i arrived.
    uint64_t TimeOf(int i) {
        std::lock_guard<std::mutex> lk(m_mu);
        uint64_t t = 0;
        for (const auto& s : m_sleeps)
            if (s.first <= i) t = s.second;
        return t;
    }

    // The long-exposure steps other threads than the test's sent from m_from on.
    std::vector<SStep> Steps() {
        std::vector<SStep> out;
        for (int i = m_from; i < kyrsim_log_count(); ++i) {
            kyrsim_request r;
            if (kyrsim_log_get(i, &r) != 0 || r.device != m_dev.handle() || r.result < 0) continue;
            if (r.thread == kyrsim_thread_id()) continue;
            const bool fpga = r.request == 0xBD && (r.value == 0 || r.value == 11 || r.value == 25);
            const bool sensor = r.request == 0xB6 && r.value == 0x3598;
            if (fpga || sensor) out.push_back({fpga ? 'F' : 'S', r.value, r.index, TimeOf(i)});
        }
        return out;
    }

    int Status() {
        KYR_EXPOSURE_STATUS st = KYR_EXP_IDLE;
        KYRGetExpStatus(0, &st);
        return st;
    }
    int WaitStatus() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Status() == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return Status();
    }

    CVirtualClock m_clock{std::chrono::microseconds(20)};
    std::mutex m_mu;
    std::vector<std::pair<int, uint64_t>> m_sleeps;
    int m_from = 0;
};

// The index of the first step from `from` on that matches.
int Find(const std::vector<SStep>& s, char kind, int reg, int mask, int bits, size_t from = 0) {
    for (size_t i = from; i < s.size(); ++i)
        if (s[i].kind == kind && s[i].reg == reg && (s[i].value & mask) == bits) return static_cast<int>(i);
    return -1;
}

TEST_F(C821LongExpTest, ASnapshotRunsTheFamilysScriptInOrderWithItsPauses) {
    const struct {
        const char* what;
        long exposureUs;
        bool usb3, ddr;
        bool polled;  // 10 ms steps rather than one sleep
        bool xhs;     // XHS stop after the 80th step
    } cases[] = {
        {"one sleep", 1000000, true, true, false, false},
        {"polled, DDR", 1500000, true, true, true, true},
        {"polled, USB 2 without DDR", 1500000, false, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Start(kPid821MM, c.usb3));
        if (!c.ddr) {
            ASSERT_TRUE(m_pCam->SetEnableDDR(false));
        }
        ASSERT_EQ(Set(KYR_EXPOSURE, c.exposureUs), KYR_SUCCESS);
        m_from = kyrsim_log_count();
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(WaitStatus(), KYR_EXP_SUCCESS);
        const std::vector<SStep> s = Steps();
        const int wait = Find(s, 'F', 0, 0x40, 0x40);
        const int trigMode = Find(s, 'F', 0, 0x80, 0x80);
        const int trigOn = Find(s, 'F', 11, 0x01, 0x01);
        const int park = Find(s, 'S', 0x3598, 0xFF, 0x3F);
        const int lowOn = Find(s, 'F', 25, 0x01, 0x01);
        const int xhsOn = Find(s, 'F', 11, 0x10, 0x10);
        const int lowOff = Find(s, 'F', 25, 0x01, 0x00, lowOn > 0 ? lowOn : 0);
        const int unpark = Find(s, 'S', 0x3598, 0xFF, 0x20);
        const int trigOff = Find(s, 'F', 11, 0x11, 0x00, unpark > 0 ? unpark : 0);
        ASSERT_TRUE(wait >= 0 && trigMode > wait && trigOn > trigMode && park > trigOn && lowOn > park &&
                    lowOff > lowOn && unpark > lowOff && trigOff > unpark)
            << wait << " " << trigMode << " " << trigOn << " " << park << " " << lowOn << " " << lowOff << " "
            << unpark << " " << trigOff;
        EXPECT_GE(s[park].atUs - s[trigOn].atUs, 100000u);
        EXPECT_GE(s[lowOn].atUs - s[park].atUs, 50000u);
        EXPECT_GE(s[unpark].atUs - s[lowOff].atUs, 150000u);
        EXPECT_GE(s[trigOff].atUs - s[unpark].atUs, 100000u);
        // The trigger stays up for the exposure.
        const uint64_t up = s[trigOff].atUs - s[trigOn].atUs;
        EXPECT_GE(up, static_cast<uint64_t>(c.exposureUs) - 10000);
        EXPECT_LE(up, static_cast<uint64_t>(c.exposureUs) + 50000);
        if (c.xhs) {
            ASSERT_GT(xhsOn, lowOn);
            EXPECT_LT(xhsOn, lowOff);
            EXPECT_GE(s[xhsOn].atUs - s[lowOn].atUs, 800000u);
            // Released after the sensor came back, before the trigger falls.
            const int xhsOff = Find(s, 'F', 11, 0x10, 0x00, static_cast<size_t>(unpark));
            EXPECT_TRUE(xhsOff > unpark && xhsOff <= trigOff);
        } else {
            EXPECT_EQ(xhsOn, -1);
        }
        EXPECT_EQ(m_dev.fpga(11) & 0x11, 0);
        EXPECT_EQ(m_dev.fpga(25) & 0x01, 0);
        EXPECT_EQ(m_dev.sensor(0x3598), 0x20);
    }
}

TEST_F(C821LongExpTest, AnExposureChangeEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(Start(kPid821MM));
    ASSERT_EQ(Set(KYR_EXPOSURE, 60000000), KYR_SUCCESS);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    // Some seconds into the wait.
    ASSERT_TRUE(m_clock.WaitElapsed(3000000, kWaitMs));
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000000), KYR_SUCCESS);
    const int st = WaitStatus();
    EXPECT_NE(st, KYR_EXP_WORKING);
    EXPECT_LT(m_clock.ElapsedUs(), 20000000u);
    EXPECT_EQ(m_dev.fpga(11) & 0x11, 0);
    EXPECT_EQ(m_dev.sensor(0x3598), 0x20);
}

TEST_F(C821LongExpTest, LongToShortDuringVideoRepeatedEndsWithTheBitsClearAndFramesFlowing) {
    for (int pid : {kPid821MM, kPid821MC}) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        ASSERT_EQ(Set(KYR_EXPOSURE, 1200000), KYR_SUCCESS);
        std::vector<unsigned char> img(320u * 240);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        // Slow register reads widen the window between a pass's look at the
        // long-exposure flag and its switching of the FPGA's modes.
        ASSERT_TRUE(m_dev.setLatency(0xBC, 500));
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(Set(KYR_EXPOSURE, i % 2 ? 1200000 : 3000), KYR_SUCCESS);
            std::this_thread::sleep_for(std::chrono::microseconds(300 + 700 * (i % 4)));
        }
        ASSERT_TRUE(m_dev.setLatency(0xBC, 0));
        ASSERT_EQ(Set(KYR_EXPOSURE, 3000), KYR_SUCCESS);
        // Frames flow again, and the FPGA runs free.
        for (int n = 0; n < 3; ++n)
            ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
        EXPECT_FALSE(m_dev.triggerWait());
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0);
    }
}

}  // namespace

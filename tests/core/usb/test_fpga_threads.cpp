// test-labels: tsan
// FPGA setters called from several threads at once, as the caller's, capture,
// auto-control and cooler threads do: each read-modify-write and each latched
// sequence must reach the camera as one piece, so that no bit is lost and no
// thread's write lands inside another thread's latch window.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "test_fpga_fixture.h"

using namespace fpga_test;

namespace {

constexpr int kIterations = 150;
// Time each control transfer spends inside the camera: widens the windows in
// which an unlocked sequence would interleave.
constexpr int kLatencyUs = 30;

class CFpgaThreadsTest : public CFpgaTest {};

TEST_F(CFpgaThreadsTest, BitSettersAndLatchedSettersDoNotInterleave) {
    ASSERT_TRUE(m_Dev.setLatency(KYRSIM_ANY, kLatencyUs));
    ASSERT_TRUE(m_Dev.setFpga(0, FPGA_CTRL_RUN));
    ASSERT_TRUE(m_Dev.setFpga(25, 0));

    // Each bit thread owns one bit, toggles it and leaves it set.
    using Setter = std::function<bool(CCameraFX3&, bool)>;
    const std::vector<Setter> bitSetters = {
        [](CCameraFX3& c, bool b) { return c.SetFPGAAsMaster(b); },        // register 0 bit 5
        [](CCameraFX3& c, bool b) { return c.EnableFPGAWaitMode(b); },     // register 0 bit 6
        [](CCameraFX3& c, bool b) { return c.EnableFPGATriggerMode(b); },  // register 0 bit 7
        [](CCameraFX3& c, bool b) { return c.EnableLowPower(b); },         // register 25 bit 0
        [](CCameraFX3& c, bool b) { return c.EnableWarm(b); },             // register 25 bit 6
    };
    const std::vector<std::function<bool(CCameraFX3&, int)>> latchedSetters = {
        [](CCameraFX3& c, int i) { return c.SetFPGAVMAX(i % 2 ? 0x111111 : 0x222222); },
        [](CCameraFX3& c, int i) { return c.SetFPGABandWidth(i % 2 ? 50.0f : 40.0f); },
        [](CCameraFX3& c, int i) { return c.SetExtSyncADelayTime(i % 2 ? 0x01020304u : 0x05060708u); },
    };

    kyrsim::clearLog();
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const Setter& fn : bitSetters) {
        threads.emplace_back([&, fn] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kIterations; ++i)
                if (!fn(Fx3(), i % 2 == 0)) ++failures;
            if (!fn(Fx3(), true)) ++failures;
        });
    }
    for (const auto& fn : latchedSetters) {
        threads.emplace_back([&, fn] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kIterations; ++i)
                if (!fn(Fx3(), i)) ++failures;
        });
    }
    go = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);

    // No lost bit: every thread left its bit set.
    EXPECT_EQ(m_Dev.fpga(0) & 0xE0, 0xE0);
    EXPECT_EQ(m_Dev.fpga(25) & 0x41, 0x41);
    EXPECT_EQ(m_Dev.fpgaPending(), 0);
    // Whole values only: the last latched write of each setter was applied as one.
    EXPECT_TRUE(m_Dev.fpgaWide(16, 3) == 0x111111 || m_Dev.fpgaWide(16, 3) == 0x222222)
        << m_Dev.fpgaWide(16, 3);
    EXPECT_TRUE(m_Dev.fpgaWide(36, 2) == 0x100 || m_Dev.fpgaWide(36, 2) == 0x180) << m_Dev.fpgaWide(36, 2);
    EXPECT_TRUE(m_Dev.fpgaWide(48, 4) == 0x01020304 || m_Dev.fpgaWide(48, 4) == 0x05060708);

    // No foreign request inside a window: between a thread's read of a
    // register and its write of it, and between its hold and its release of
    // the latch, every request comes from that thread.
    const std::vector<SFpgaAccess> log = FpgaAccesses(m_Dev.handle());
    ASSERT_EQ(log.size(), static_cast<size_t>(kIterations * 2 * bitSetters.size() + 2 * bitSetters.size() +
                                              kIterations * (5 + 4 + 6)));
    int windows = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        const SFpgaAccess& open = log[i];
        const bool rmw = !open.bWrite;
        const bool latch = open.bWrite && open.iReg == FPGA_REG_UPDATE && open.iValue == 1;
        if (!rmw && !latch) continue;
        size_t j = i + 1;
        for (; j < log.size(); ++j) {
            ASSERT_EQ(log[j].ullThread, open.ullThread)
                << "request " << j << " " << log[j] << " inside the window opened by " << open << " at " << i;
            if (rmw && log[j].bWrite && log[j].iReg == open.iReg) break;
            if (latch && log[j].bWrite && log[j].iReg == FPGA_REG_UPDATE && log[j].iValue == 0) break;
        }
        ASSERT_LT(j, log.size()) << "window opened at " << i << " never closed";
        ++windows;
        i = j;
    }
    EXPECT_EQ(windows, static_cast<int>(kIterations * (bitSetters.size() + latchedSetters.size()) +
                                        bitSetters.size()));
}

}  // namespace

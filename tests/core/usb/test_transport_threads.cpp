// test-labels: tsan
// The caller's, capture, auto-control and cooler threads write bits of the same
// registers. A bit-field write reads the register, changes its bits and writes
// it back; unless that whole sequence holds the USB lock, two threads read the
// same old value and the second write drops the first one's bit.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_transport_fixture.h"

using namespace transport_test;

namespace {

constexpr int kSetterThreads = 8;
constexpr int kTogglesPerThread = 12;
// Time each request spends inside the simulated camera: widens the window
// between a bit-field write's read and its write.
constexpr int kRequestLatencyUs = 300;

}  // namespace

TEST_F(CTransportTest, ThreadsSettingDifferentBitsLoseNone) {
    struct SCase {
        const char* szName;
        bool bByte;
        uint16_t usReg;
        int iFirstBit;  // thread t owns bit iFirstBit + t
    };
    const SCase cases[] = {
        {"16-bit register, bits 8-15", false, 0x3050, 8},
        {"16-bit register, bits 0-7", false, 0x3052, 0},
        {"8-bit register, bits 0-7", true, 0x3054, 0},
    };
    ASSERT_TRUE(m_Dev.setLatency(KYRSIM_ANY, kRequestLatencyUs));
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        ASSERT_TRUE(m_Dev.setSensor(tc.usReg, 0));
        std::atomic<int> iReady{0};
        std::atomic<int> iFailures{0};
        std::atomic<bool> bSettersDone{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kSetterThreads; ++t) {
            threads.emplace_back([&, t] {
                uint8_t ucBit = static_cast<uint8_t>(tc.iFirstBit + t);
                iReady.fetch_add(1);
                while (iReady.load() < kSetterThreads) std::this_thread::yield();
                // Set and clear the thread's own bit, ending with it set.
                for (int i = 0; i < 2 * kTogglesPerThread + 1; ++i) {
                    uint8_t ucOn = (i % 2 == 0) ? 1 : 0;
                    bool ok = tc.bByte ? m_pFx3->WriteCameraRegisterByte_B(tc.usReg, ucBit, ucBit + 1, ucOn)
                                       : m_pFx3->WriteCameraRegister_B(tc.usReg, ucBit, ucBit, ucOn);
                    if (!ok) iFailures.fetch_add(1);
                }
            });
        }
        // Other requests of the camera go on meanwhile, as the capture thread's would.
        std::thread other([&] {
            uint8_t ucValue = 0;
            while (!bSettersDone.load()) {
                if (!m_pFx3->ReadFPGAREG(35, &ucValue)) iFailures.fetch_add(1);
                if (!m_pFx3->SendCMD(VR_STOP_STREAM)) iFailures.fetch_add(1);
            }
        });
        for (std::thread& th : threads) th.join();
        bSettersDone = true;
        other.join();

        EXPECT_EQ(iFailures.load(), 0);
        int iAllBits = ((1 << kSetterThreads) - 1) << tc.iFirstBit;
        EXPECT_EQ(m_Dev.sensor(tc.usReg), iAllBits) << std::hex << "register 0x" << m_Dev.sensor(tc.usReg);
        EXPECT_EQ(kyrsim_overlap_count(), 0);
    }
}

// test-labels: tsan
// The 832's setters from two threads at once, as the caller and the
// auto-control thread call them: no write of a timing register outside a
// hold, no hold opened inside another, and the timing fields read without
// the lock while they change.
#include <atomic>
#include <thread>

#include "test_s832_fixture.h"

namespace {

TEST_F(C832Test, SettersFromTwoThreadsNeverInterleaveTheirHolds) {
    ASSERT_NE(Setup(), nullptr);
    const int from = kyrsim_log_count();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        // What the capture thread reads of the timing without the lock; at
        // least once, however late this thread starts.
        unsigned long long sum = 0;
        do {
            sum += m_pCam->m_iFrameTimeUs + m_pCam->m_iXferTimeUs + m_pCam->m_usHMAX;
        } while (!stop);
        EXPECT_GT(sum, 0u);
    });
    std::thread auto_([&] {
        for (int i = 0; i < 40; ++i) {
            EXPECT_TRUE(Locked([&] { return m_pCam->SetGain(i * 15, true); }));
            EXPECT_TRUE(Locked([&] { return m_pCam->SetExp(1000 + i * 500, true); }));
        }
    });
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 40 + i, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(KYRSetControlValue(0, KYR_OFFSET, i, KYR_FALSE), KYR_SUCCESS);
    }
    auto_.join();
    stop = true;
    reader.join();
    const std::vector<uint16_t> regs = {0x3030, 0x306C, 0x306D, 0x30DC, 0x30DD,
                                        0x3050, 0x3051, 0x3052, 0x302C, 0x302D};
    const SHoldReport report = CheckHolds(m_dev.handle(), regs, 0x3001, from);
    EXPECT_TRUE(report.Clean()) << report.Text();
    EXPECT_GE(report.iHolds, 160);
}

}  // namespace

// Long exposures on the 802: wait and trigger mode from the driver's control
// word, the signal register written whole around an exposure timed on the
// test clock, the frame at the signal's fall; an exposure changed during the
// wait tells the sensor before the signal falls.
#include <string.h>

#include <chrono>
#include <memory>
#include <thread>

#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s802_fixture.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegSignal = 11;
constexpr int kWaitAndTrigger = 0xC0;
constexpr int kWriteSensor = 0xB6;
constexpr int kWriteFpga = 0xBD;
// Real time each library sleep also takes, so that the simulator's frame
// comes before the driver's readout wait has run out on the fast clock.
constexpr std::chrono::microseconds kRealPerSleep(2000 * kTestSlowdown);

class C802LongExpTest : public C802Test {
  protected:
    void Open(uint64_t exposureUs) {
        // The clock before the camera opens, removed after the fixture closed it.
        m_pClock = std::make_unique<CVirtualClock>(kRealPerSleep);
        ASSERT_NE(Setup(), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, static_cast<long>(exposureUs), KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(m_dev.fpga(0) & kWaitAndTrigger, kWaitAndTrigger);
        ASSERT_EQ(m_dev.fpga(0), Shadow());
    }

    long long Frames() { return m_dev.query(KYRSIM_Q_FRAMES); }

    // Index in the request log of the first write of `value` to register
    // `reg` by request `code` from entry `from` on; -1: none.
    int WriteIndex(int code, int reg, int value, int from) {
        const std::vector<kyrsim::Request> log = kyrsim::requests();
        for (size_t i = static_cast<size_t>(from); i < log.size(); ++i) {
            const kyrsim::Request& r = log[i];
            if (r.device == m_dev.handle() && r.request == code && (r.request_type & 0x80) == 0 &&
                r.value == reg && r.index == value)
                return static_cast<int>(i);
        }
        return -1;
    }

    std::unique_ptr<CVirtualClock> m_pClock;
};

TEST_F(C802LongExpTest, TheSignalRisesForTheExposureAndTheFrameComesAtItsFall) {
    ASSERT_NO_FATAL_FAILURE(Open(3000000));
    const int from = LogSize();
    const long long frames = Frames();
    ASSERT_EQ(Expose(30000 * kTestSlowdown), KYR_EXP_SUCCESS);

    std::vector<int> signal;
    for (const auto& w : FpgaWrites(m_dev.handle(), from))
        if (w.first == kRegSignal) signal.push_back(w.second);
    EXPECT_EQ(signal, (std::vector<int>{1, 0}));
    EXPECT_GE(m_pClock->ElapsedUs(), 3000000u);
    // No low power, no horizontal-sync stop, no DDR resend, no early end.
    for (const auto& w : FpgaWrites(m_dev.handle(), from)) {
        EXPECT_NE(w.first, 25);
        EXPECT_NE(w.first, 24);
    }
    EXPECT_TRUE(SensorWritesOf(0x0002, from).empty());
    EXPECT_EQ(m_dev.fpga(0), Shadow());

    EXPECT_EQ(Frames() - frames, 1);
    std::vector<unsigned char> img(kFrameBytes);
    ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
    const std::vector<unsigned char> sent = m_dev.lastFrame();
    ASSERT_EQ(sent.size(), static_cast<size_t>(kFrameBytes));
    EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);
}

TEST_F(C802LongExpTest, AnExposureChangedDuringTheWaitTellsTheSensorBeforeTheFall) {
    // Far longer than the test may take, even on the fast test clock.
    ASSERT_NO_FATAL_FAILURE(Open(2000000000));
    const int from = LogSize();
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 * kTestSlowdown);
    while (!(m_dev.fpga(kRegSignal) & 1) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(m_dev.fpga(kRegSignal) & 1);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 1500000, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(WaitExposureEnd(10000 * kTestSlowdown), KYR_EXP_SUCCESS);

    const int told = WriteIndex(kWriteSensor, 0x0002, 1, from);
    const int fall = WriteIndex(kWriteFpga, kRegSignal, 0, from);
    ASSERT_GE(told, 0);
    ASSERT_GE(fall, 0);
    EXPECT_LT(told, fall);
    EXPECT_LT(m_pClock->ElapsedUs(), 60ull * 1000000);
}

}  // namespace

// test-labels: tsan
// The 802's control word under concurrent use: setters on callers' threads
// and the capture thread's stream start and stop each change the driver's
// shadow of register 0 and write it as one step, so no bit is lost.
#include <atomic>
#include <thread>

#include "TestSpeed.h"
#include "test_s802_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;
constexpr int kCtrlStop = 0x10;
constexpr int kCtrlWaitTrig = 0xC0;

TEST_F(C802Test, SettersRacingACaptureLoseNoControlBit) {
    ASSERT_NE(Setup(), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.setFrameInterval(std::chrono::microseconds(20000)));
    std::atomic<bool> stop{false};
    // Starts pulse the stop bit while capturing; the exposure switches
    // wait and trigger mode on and off.
    std::thread starts([&] {
        for (int i = 0; !stop.load(); ++i) KYRSetStartPos(0, 4 * (i % 50), 2 * (i % 40));
    });
    std::thread exposures([&] {
        for (int i = 0; !stop.load(); ++i)
            KYRSetControlValue(0, KYR_EXPOSURE, i % 2 ? 1000000 : 2000, KYR_FALSE);
    });
    std::vector<unsigned char> img(320 * 240);
    for (int run = 0; run < 5; ++run) {
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), 100);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
    stop = true;
    starts.join();
    exposures.join();

    // Stopped, and wait and trigger mode as the last exposure left them.
    EXPECT_EQ(m_dev.fpga(0), Shadow());
    EXPECT_EQ(Shadow() & kCtrlStop, kCtrlStop);
    const bool longMode = Locked([this] { return m_pCam->m_bLongExpMode.load(); });
    EXPECT_EQ((Shadow() & kCtrlWaitTrig) != 0, longMode);
    EXPECT_EQ(Shadow() & 0x01, 0x01);

    // And it streams again from there.
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
    EXPECT_EQ(Shadow() & kCtrlStop, 0);
    EXPECT_EQ(m_dev.fpga(0), Shadow());
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

}  // namespace

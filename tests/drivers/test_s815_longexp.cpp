// test-labels: tsan
// The 815's long exposures on the test clock: setting a long exposure only
// marks long mode, and each long pass of the capture loop switches the
// FPGA's wait and trigger modes on before it triggers; the cooled camera
// sends a short first readout again from its DDR; and a long pass racing a
// short exposure set on another thread never leaves the FPGA waiting for a
// trigger nobody sends.
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s815_fixture.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegCtrl = 0;
constexpr int kRegSignal = 11;
constexpr int kRegBufCtrl = 24;
constexpr int kWaitAndTrigger = 0xC0;  // register 0 bits 6 and 7
constexpr int kWaitMs = 30000 * kTestSlowdown;

// Real time each library sleep also takes, so that waiting threads do not spin.
constexpr std::chrono::microseconds kRealPerSleep(2000 * kTestSlowdown);

class C815LongExpTest : public CFamilyTest {
  protected:
    // The test clock lives from before the camera opens until after the
    // fixture has closed it.
    void Open(int pid) {
        if (!m_pClock) m_pClock = std::make_unique<CVirtualClock>(kRealPerSleep);
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        // Triggered frames come at the fall, whatever the test clock does.
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        m_img.assign(kFrameBytes, 0);
    }
    bool ReadVideo() {
        return KYRGetVideoData(0, m_img.data(), static_cast<long>(m_img.size()), kWaitMs) == KYR_SUCCESS;
    }
    int FpgaWrites(int reg) {
        int n = 0;
        for (const auto& r : kyrsim::requests(0xBD, m_dev.handle()))
            if (r.value == reg) ++n;
        return n;
    }
    long long Frames() { return m_dev.query(KYRSIM_Q_FRAMES); }

    std::vector<unsigned char> m_img;
    std::unique_ptr<CVirtualClock> m_pClock;
};

TEST_F(C815LongExpTest, EachLongPassSwitchesTheFPGAModesOnAndTriggersItsFrame) {
    for (int pid : {kPid815, kPid815Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NO_FATAL_FAILURE(Open(pid));
        kyrsim::clearLog();
        ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
        EXPECT_TRUE(m_pCam->m_bLongExpMode);
        // Setting the exposure leaves the FPGA's modes alone.
        EXPECT_EQ(FpgaWrites(kRegCtrl), 0);
        EXPECT_EQ(m_dev.fpga(kRegCtrl) & kWaitAndTrigger, 0);
        const long long frames = Frames();
        ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
        // The pass switched both modes on and raised and dropped the trigger.
        EXPECT_EQ(m_dev.fpga(kRegCtrl) & kWaitAndTrigger, kWaitAndTrigger);
        EXPECT_GE(FpgaWrites(kRegSignal), 2);
        EXPECT_EQ(Frames() - frames, 1);
        ASSERT_EQ(KYRGetDataAfterExp(0, m_img.data(), kFrameBytes), KYR_SUCCESS);
        const std::vector<unsigned char> sent = m_dev.lastFrame();
        ASSERT_EQ(sent.size(), static_cast<size_t>(kFrameBytes));
        EXPECT_EQ(memcmp(m_img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);
        // Video passes do the same, frame after frame.
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(ReadVideo()) << i;
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        // A short exposure switches them off.
        ASSERT_EQ(Set(KYR_EXPOSURE, 10000), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpga(kRegCtrl) & kWaitAndTrigger, 0);
    }
}

TEST_F(C815LongExpTest, TheProSendsAShortFirstReadoutAgainFromItsDDR) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid815Pro));
    ASSERT_EQ(Set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, 1));
    kyrsim::clearLog();
    const long long frames = Frames();
    ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
    // The short readout and its resend; one exposure, one resend request.
    EXPECT_EQ(Frames() - frames, 2);
    EXPECT_EQ(FpgaWrites(kRegBufCtrl), 1);
    ASSERT_EQ(KYRGetDataAfterExp(0, m_img.data(), kFrameBytes), KYR_SUCCESS);
    int dropped = -1;
    ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    EXPECT_EQ(dropped, 0);
}

// A pass that read long mode before a short exposure on another thread ended
// it must not switch the FPGA's wait and trigger modes on afterwards. Slow
// FPGA requests widen the window between the read and the switches.
TEST_F(C815LongExpTest, ShortExposuresDuringLongVideoLeaveTheFPGAFreeRunning) {
    for (int pid : {kPid815, kPid815Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NO_FATAL_FAILURE(Open(pid));
        ASSERT_EQ(m_dev.setLatency(0xBD, 300), true);
        ASSERT_EQ(m_dev.setLatency(0xBC, 300), true);
        ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(ReadVideo());
        std::thread setter([] {
            for (int i = 0; i < 60; ++i) {
                KYRSetControlValue(0, KYR_EXPOSURE, 1000000, KYR_FALSE);
                std::this_thread::sleep_for(std::chrono::microseconds(300 * (i % 7)));
                KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE);
                std::this_thread::sleep_for(std::chrono::microseconds(300 * (i % 5)));
            }
        });
        setter.join();
        ASSERT_FALSE(m_pCam->m_bLongExpMode);
        // Frames keep coming, and once the last pass is over the FPGA runs free.
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadVideo()) << i;
        EXPECT_EQ(m_dev.fpga(kRegCtrl) & kWaitAndTrigger, 0);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

// The same race made certain: while a long exposure set under the control
// lock waits on a slow FPGA write, the video's next pass comes round; the
// same locked step then sets a short exposure. A pass that had read long
// mode before taking the lock would switch the FPGA's modes on after the
// short exposure switched them off, and no frame would come again.
TEST_F(C815LongExpTest, APassWaitingOnTheLockSeesTheShortExposureThatEndedLongMode) {
    for (int pid : {kPid815, kPid815Pro}) {
        SCOPED_TRACE(pid);
        ASSERT_NO_FATAL_FAILURE(Open(pid));
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(ReadVideo());
        // The long exposure's frame-length write (FPGA register 16) is held.
        const int rule = kyrsim::Fault().device(m_dev).request(0xBD).out().value(16).hold().add();
        ASSERT_GE(rule, 0);
        CCameraBase* pCam = m_pCam;
        std::thread setter([pCam] {
            CCritSecLock lock(pCam->m_csControl);
            pCam->SetExp(1000000, false);
            pCam->SetExp(2000, false);
        });
        ASSERT_EQ(kyrsim_wait_held(1, kWaitMs), 1);
        // Time for the video's pass to come round to the lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(300 * kTestSlowdown));
        kyrsim_remove_fault(rule);
        kyrsim_release_holds();
        setter.join();
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadVideo()) << i;
        EXPECT_EQ(m_dev.fpga(kRegCtrl) & kWaitAndTrigger, 0);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

}  // namespace

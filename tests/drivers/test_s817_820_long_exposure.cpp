// test-labels: tsan
// A long exposure on the cooled 820 with sensor binning, timed on the test
// clock: the sensor is programmed for a sensor-binned long frame (SHR 1112),
// the first readout comes short and the frame held in the DDR is sent again,
// and the image is that frame.
#include <memory>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s817_820_fixture.h"

namespace {

constexpr int kClockKHz = 20000;

class C820LongExpTest : public C817820Test {
  protected:
    // The test clock lives from before the camera opens until after the
    // fixture has closed it; each sleep also takes a little real time, so
    // that the readout waits never run out before the simulator sends.
    std::unique_ptr<CVirtualClock> m_pClock =
        std::make_unique<CVirtualClock>(std::chrono::microseconds(2000 * kTestSlowdown));
};

TEST_F(C820LongExpTest, ProWithSensorBinningReloadsAShortFirstReadoutFromTheDDR) {
    constexpr int kW = 320, kH = 240;
    constexpr unsigned long long kExposureUs = 1200000;
    ASSERT_NE(Setup(kPid820Pro), nullptr);
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 2, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 400, 300), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    // Triggered frames come at the trigger's fall, whatever the test clock does.
    ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
    ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(kExposureUs)), KYR_SUCCESS);
    EXPECT_EQ((m_dev.fpga(0) >> 6) & 3, 3);

    // A sensor-binned long frame: a frame and 10 ms of exposure lines plus
    // 1112, shut at line 1112.
    const double lineUs = FpgaHMAX(m_dev) * 1000.0 / kClockKHz;
    EXPECT_EQ(FpgaHMAX(m_dev), 120);
    const double frameUs = m_pCam->m_iFrameTimeUs;
    EXPECT_EQ(FpgaVMAX(m_dev), static_cast<long long>((frameUs + 10000) / lineUs) + 1112);
    EXPECT_EQ(SHR(m_dev), 1112);

    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_SHORT, 4096, 0, 1), 0);
    const long long frames = m_dev.query(KYRSIM_Q_FRAMES);
    const uint64_t startUs = m_pClock->ElapsedUs();
    ASSERT_EQ(Expose(30000 * kTestSlowdown), KYR_EXP_SUCCESS);
    EXPECT_GE(m_pClock->ElapsedUs() - startUs, kExposureUs - 250000);
    // The short readout and the resend from the DDR.
    EXPECT_EQ(m_dev.query(KYRSIM_Q_FRAMES) - frames, 2);

    const SReadout r = Readout();
    ASSERT_EQ(r.iFrameBytes, kW * kH * 2);
    std::vector<unsigned char> img(static_cast<size_t>(r.iFrameBytes)), sent(img.size());
    ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), static_cast<long>(img.size())), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), r.iFrameBytes), r.iFrameBytes);
    EXPECT_TRUE(img == ReferenceImage(sent, kW, kH, IMG_RAW16, false, r));
    int dropped = -1;
    ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    EXPECT_EQ(dropped, 0);
}

}  // namespace

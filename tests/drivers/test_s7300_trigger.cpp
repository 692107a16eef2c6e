// test-labels: tsan
// The S7300's trigger capture through the exported functions: a soft-edge
// snapshot waits for its trigger and delivers the frame sent, a snapshot
// stopped before its trigger fails and never holds up the next, video takes
// one frame per trigger and no frame is torn at full rate, and a first frame with a bad marker is sent again
// from the DDR once when the DDR holds it and counted as dropped when it
// does not. The start-up leaves the FPGA's trigger signal alone and clears
// the endpoint once the sensor streams.
#include <string.h>

#include <chrono>
#include <thread>

#include "CaptureCheck.h"
#include "TriggerCheck.h"
#include "test_s7300_fixture.h"

namespace {

constexpr int kWaitMs = 8000 * kTestSlowdown;
// Long enough that a frame sent without a trigger would have come.
constexpr auto kQuiet = std::chrono::milliseconds(300 * kTestSlowdown);
constexpr int kRegSignal = 11;  // FPGA: bit 0 the trigger signal

class C7300TriggerTest : public C7x00Test {
  protected:
    // A camera of pid (its FPGA runs the edge and level trigger modes) in
    // soft-edge trigger mode with a w x h window at bin (hardware bin on).
    void Open(int pid, int w = 160, int h = 120, int bin = 1, IMG_TYPE type = IMG_RAW8) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, bin > 1), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, w, h, bin, type), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        ASSERT_EQ(KYRSetCameraMode(0, CAM_MODE_TRIG_SOFT_EDGE), KYR_SUCCESS);
        m_bytes = w * h * ImageBytesPerPixel(type);
        m_w = w, m_h = h, m_bin = bin, m_type = type, m_mono = pid == kPid7300;
    }
    void Fire() {
        ASSERT_EQ(KYRSendSoftTrigger(0, KYR_TRUE), KYR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(KYRSendSoftTrigger(0, KYR_FALSE), KYR_SUCCESS);
    }
    // Waits until the capture has the camera running: a trigger before that is lost, as on the camera.
    void Armed() { ExpectStreamRunning(m_dev, kWaitMs); }
    long long Frames() { return m_dev.query(KYRSIM_Q_FRAMES); }
    KYR_EXPOSURE_STATUS Status() { return ExposureStatus(); }
    bool ReadVideo(std::vector<unsigned char>* pImg, int waitMs = kWaitMs) {
        pImg->assign(static_cast<size_t>(m_bytes), 0);
        return KYRGetVideoData(0, pImg->data(), m_bytes, waitMs) == KYR_SUCCESS;
    }
    int Dropped() {
        int dropped = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
        return dropped;
    }
    // The frame the camera sent last is the scene's window at the start the
    // camera reports, and the image is that frame as the format makes it.
    // (A mono image's marker words are left to the read-out's own tests.)
    void ExpectFrameOfScene(const std::vector<unsigned char>& img) {
        const SReadout r = Readout();
        int sx = -1, sy = -1;
        ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), r.iFrameBytes);
        const std::vector<unsigned char> expected =
            ExpectedSensorFrame(m_dev.handle(), sx * m_bin, sy * m_bin, r, m_mono, r.iSensorFactor > 1 ? 10 : 12);
        EXPECT_TRUE(SameExceptEnds(sent, expected));
        const std::vector<unsigned char> want = ReferenceImage(expected, m_w, m_h, m_type, false, r, 2, m_mono);
        ASSERT_EQ(img.size(), want.size());
        if (m_mono)
            EXPECT_EQ(memcmp(img.data() + 4, want.data() + 4, want.size() - 8), 0);
        else
            EXPECT_TRUE(img == want);
    }

    int m_bytes = 0;
    int m_w = 0, m_h = 0, m_bin = 1;
    IMG_TYPE m_type = IMG_RAW8;
    bool m_mono = true;
};

// A soft-edge snapshot stays WORKING until its trigger, then delivers the
// scene's window: RAW8 at bin 1 on the mono camera, RGB24 640 x 480 at
// hardware bin 2 on the colour camera.
TEST_F(C7300TriggerTest, ASoftEdgeSnapshotWaitsForItsTriggerAndDeliversTheFrame) {
    const struct {
        int pid;
        int w, h, bin;
        IMG_TYPE type;
    } cases[] = {{kPid7300, 160, 120, 1, IMG_RAW8}, {kPid7300MC, 640, 480, 2, IMG_RGB24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid, c.w, c.h, c.bin, c.type));
        const long long frames = Frames();
        ASSERT_NO_FATAL_FAILURE(ExpectSnapshotTakesItsTrigger(m_dev, kQuiet, kWaitMs, [this] { Fire(); }));
        std::vector<unsigned char> img(static_cast<size_t>(m_bytes));
        ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), m_bytes), KYR_SUCCESS);
        ExpectFrameOfScene(img);
        EXPECT_EQ(Frames() - frames, 1);
    }
}

TEST_F(C7300TriggerTest, ASnapshotStoppedBeforeItsTriggerFailsAndTheNextWorks) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid7300));
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(KYRStopExposure(0), KYR_SUCCESS);
    EXPECT_EQ(Status(), KYR_EXP_FAILED);
    std::vector<unsigned char> img(static_cast<size_t>(m_bytes));
    EXPECT_NE(KYRGetDataAfterExp(0, img.data(), m_bytes), KYR_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(Armed());
        ASSERT_NO_FATAL_FAILURE(Fire());
        ASSERT_EQ(WaitExposureEnd(kWaitMs), KYR_EXP_SUCCESS);
        ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), m_bytes), KYR_SUCCESS);
        ExpectFrameOfScene(img);
    }
}

// Video takes one frame per trigger and none without; the start-up never
// lowers the FPGA's trigger signal.
TEST_F(C7300TriggerTest, VideoTakesOneFramePerTrigger) {
    for (int pid : {kPid7300, kPid7300MC}) {
        SCOPED_TRACE(testing::Message() << std::hex << pid);
        ASSERT_NO_FATAL_FAILURE(Open(pid));
        const long long frames = Frames();
        const int from = LogSize();
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        std::vector<unsigned char> img;
        EXPECT_FALSE(ReadVideo(&img, static_cast<int>(kQuiet.count())));
        ASSERT_NO_FATAL_FAILURE(Armed());
        for (const SWrite7100& w : Writes(from)) EXPECT_FALSE(w.kind == 'F' && w.reg == kRegSignal);
        for (int i = 0; i < 3; ++i) {
            ASSERT_NO_FATAL_FAILURE(Fire());
            ASSERT_TRUE(ReadVideo(&img)) << i;
            ExpectFrameOfScene(img);
        }
        std::this_thread::sleep_for(kQuiet);
        EXPECT_EQ(Frames() - frames, 3);
        EXPECT_EQ(Dropped(), 0);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

// Receive buffers alternate: while the ring copies one frame the next
// trigger's frame arrives in the other, so none is torn at full rate.
TEST_F(C7300TriggerTest, FramesAtFullRateAreNeverTorn) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid7300));
    ASSERT_NO_FATAL_FAILURE(ExpectUntornFramesAtFullRate(m_dev, 160, 120, kWaitMs));
}

// The start-up clears the endpoint only once the sensor streams: held at
// its stream switch (0x19E = 1), the capture has cleared nothing yet.
TEST_F(C7300TriggerTest, TheStartUpClearsTheEndpointOnceTheSensorStreams) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid7300));
    const long long clears = m_dev.query(KYRSIM_Q_CLEAR_HALTS_81);
    kyrsim_fault f;
    kyrsim_fault_init(&f, KYRSIM_FAULT_HOLD, 0);
    f.device = m_dev.handle();
    f.request = 0xB6;
    f.value = kReg7300Stream;
    f.index = 1;
    ASSERT_GE(kyrsim_add_fault(&f), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_wait_held(1, kWaitMs), 1);
    EXPECT_EQ(m_dev.query(KYRSIM_Q_CLEAR_HALTS_81), clears);
    kyrsim_clear_faults();
    kyrsim_release_holds();
    ASSERT_NO_FATAL_FAILURE(Armed());
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (m_dev.query(KYRSIM_Q_CLEAR_HALTS_81) == clears && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(m_dev.query(KYRSIM_Q_CLEAR_HALTS_81), clears + 1);
    ASSERT_NO_FATAL_FAILURE(Fire());
    std::vector<unsigned char> img;
    ASSERT_TRUE(ReadVideo(&img));
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// The first frame after a trigger comes with a bad head marker (the frame
// the DDR holds is that frame as sent). Held in the DDR, it is asked for
// once more, and dropped when it comes bad again; without the DDR it is
// dropped at once. Either way the next trigger's frame is delivered.
TEST_F(C7300TriggerTest, ABadFirstFrameIsResentOnceWhenHeldAndDroppedWhenNot) {
    constexpr int kRegReload = 24;  // FPGA: bit 0 sends the held frame again
    for (bool ddr : {true, false}) {
        SCOPED_TRACE(ddr ? "held in the DDR" : "without the DDR");
        ASSERT_NO_FATAL_FAILURE(Open(kPid7300));
        ASSERT_TRUE(Engine().SetEnableDDR(ddr));
        ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_BAD_HEAD, 0, 0, 1));
        const long long frames = Frames();
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(Armed());
        const int from = LogSize();
        ASSERT_NO_FATAL_FAILURE(Fire());
        std::vector<unsigned char> img;
        EXPECT_FALSE(ReadVideo(&img, static_cast<int>(kQuiet.count())));
        EXPECT_EQ(Dropped(), 1);
        EXPECT_EQ(Frames() - frames, ddr ? 2 : 1);
        int reloads = 0;
        for (const SWrite7100& w : Writes(from)) reloads += w.kind == 'F' && w.reg == kRegReload && (w.value & 1);
        EXPECT_EQ(reloads, ddr ? 1 : 0);
        ASSERT_NO_FATAL_FAILURE(Fire());
        ASSERT_TRUE(ReadVideo(&img));
        ExpectFrameOfScene(img);
        EXPECT_EQ(Dropped(), 1);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

}  // namespace

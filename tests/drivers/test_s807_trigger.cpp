// test-labels: tsan
// The 807's trigger capture through the exported functions: the modes its
// FPGA offers, one frame per soft or external trigger in each of the six
// modes, video and snapshots, and how a trigger capture ends: a snapshot
// waits for its trigger until stopped, a frame that fails (after its one
// resend from the DDR) fails the snapshot, a stalled endpoint is cleared, a
// camera that goes away ends the loop. Frames alternate between the receive
// buffers, so none is torn at full rate, and setters and triggers may come
// from other threads meanwhile.
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CaptureCheck.h"
#include "TriggerCheck.h"
#include "test_s807_fixture.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrameBytes = kWidth * kHeight;
constexpr int kRegVersionType = 28;
constexpr int kRegCtrl = 0;
constexpr int kTrigMode = 0x80;  // register 0 bit 7
constexpr int kWaitMs = 8000 * kTestSlowdown;
// Long enough that a frame sent without a trigger would have come.
constexpr auto kQuiet = std::chrono::milliseconds(300 * kTestSlowdown);

// How a mode's trigger is given: soft (KYRSendSoftTrigger) or on the external
// input, from its idle level to the active one and back.
struct STrigMode {
    CAM_MODE mode;
    const char* name;
    bool soft;
    int idle;  // external input level between triggers
};
const STrigMode kModes[] = {
    {CAM_MODE_TRIG_SOFT_EDGE, "soft edge", true, 0},  {CAM_MODE_TRIG_RISE_EDGE, "rising edge", false, 0},
    {CAM_MODE_TRIG_FALL_EDGE, "falling edge", false, 1}, {CAM_MODE_TRIG_SOFT_LEVEL, "soft level", true, 0},
    {CAM_MODE_TRIG_HIGH_LEVEL, "high level", false, 0}, {CAM_MODE_TRIG_LOW_LEVEL, "low level", false, 1},
};

class C807TriggerTest : public C807Test {
  protected:
    // A camera of the class in trigger mode `m`, the input at its idle level.
    void Open(int pid, const STrigMode& m) {
        ASSERT_NE(SetupRow(pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_TRUE(SetExposure(2000));
        ASSERT_EQ(kyrsim_set_unpaced(m_dev.handle(), 1), 0);
        ASSERT_NO_FATAL_FAILURE(Mode(m));
    }
    void Mode(const STrigMode& m) {
        m_mode = m;
        ASSERT_EQ(kyrsim_set_trigger_input(m_dev.handle(), m.idle), 0);
        ASSERT_EQ(KYRSetCameraMode(0, m.mode), KYR_SUCCESS);
    }
    // One trigger of the mode in force.
    void Fire() {
        if (m_mode.soft) {
            ASSERT_EQ(KYRSendSoftTrigger(0, KYR_TRUE), KYR_SUCCESS);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_EQ(KYRSendSoftTrigger(0, KYR_FALSE), KYR_SUCCESS);
        } else {
            ASSERT_EQ(kyrsim_set_trigger_input(m_dev.handle(), 1 - m_mode.idle), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_EQ(kyrsim_set_trigger_input(m_dev.handle(), m_mode.idle), 0);
        }
    }
    // Waits until the capture has the camera running: a trigger before that
    // finds the FPGA stopped and is lost, as on the camera.
    void Armed() { ExpectStreamRunning(m_dev, kWaitMs); }
    long long Frames() { return m_dev.query(KYRSIM_Q_FRAMES); }
    long long Triggers() { return m_dev.query(KYRSIM_Q_TRIGGERS); }
    KYR_EXPOSURE_STATUS Status() { return ExposureStatus(); }
    bool ReadVideo(std::vector<unsigned char>* pImg, int waitMs = kWaitMs) {
        pImg->assign(kFrameBytes, 0);
        return KYRGetVideoData(0, pImg->data(), kFrameBytes, waitMs) == KYR_SUCCESS;
    }
    // The image matches the frame the camera sent last (markers aside).
    void ExpectSentFrame(const std::vector<unsigned char>& img) {
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), kFrameBytes);
        ASSERT_EQ(sent.size(), static_cast<size_t>(kFrameBytes));
        EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, kFrameBytes - 8), 0);
    }
    int Dropped() {
        int dropped = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
        return dropped;
    }

    STrigMode m_mode = kModes[0];
};

// Register 28 decides the modes: 0xC0 edge and level, 0xA0..0xBF edge only,
// below that none.
TEST_F(C807TriggerTest, TheModeListFollowsRegister28) {
    const struct {
        int reg28;
        std::vector<CAM_MODE> modes;
        CAM_MODE refused;
    } cases[] = {
        {0xC0, {CAM_MODE_NORMAL, CAM_MODE_TRIG_SOFT_EDGE, CAM_MODE_TRIG_RISE_EDGE, CAM_MODE_TRIG_FALL_EDGE,
                CAM_MODE_TRIG_SOFT_LEVEL, CAM_MODE_TRIG_HIGH_LEVEL, CAM_MODE_TRIG_LOW_LEVEL},
         static_cast<CAM_MODE>(7)},
        {0xB5, {CAM_MODE_NORMAL, CAM_MODE_TRIG_SOFT_EDGE, CAM_MODE_TRIG_RISE_EDGE, CAM_MODE_TRIG_FALL_EDGE},
         CAM_MODE_TRIG_HIGH_LEVEL},
        {0x9F, {CAM_MODE_NORMAL}, CAM_MODE_TRIG_SOFT_EDGE},
    };
    for (const S807Row& row : {Rows807()[0], Rows807()[1]})
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << row.name << " register 28 = 0x" << std::hex << c.reg28);
            KYRCloseCamera(0);
            kyrsim::reset();
            MadeCameras().clear();
            m_dev = Plug(row.pid);
            ASSERT_EQ(kyrsim_set_fpga_reg(m_dev.handle(), kRegVersionType, c.reg28), 0);
            ASSERT_NE(m_pCam = OpenInit(), nullptr);
            KYR_SUPPORTED_MODE modes{};
            ASSERT_EQ(KYRGetCameraSupportMode(0, &modes), KYR_SUCCESS);
            size_t i = 0;
            for (; i < c.modes.size(); ++i) EXPECT_EQ(modes.SupportedCameraMode[i], c.modes[i]) << i;
            EXPECT_EQ(modes.SupportedCameraMode[i], CAM_MODE_END);
            EXPECT_EQ(KYRSetCameraMode(0, c.refused), KYR_ERROR_INVALID_MODE);
            EXPECT_EQ(KYRSetCameraMode(0, c.modes.back()), KYR_SUCCESS);
        }
}

// Each mode: a snapshot stays WORKING until its trigger and then returns the
// frame sent; video gets one frame per trigger and none without one.
TEST_F(C807TriggerTest, EveryModeTakesOneFramePerTrigger) {
    for (const S807Row& row : {Rows807()[0], Rows807()[1]}) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Open(row.pid, kModes[0]));
        for (const STrigMode& m : kModes) {
            SCOPED_TRACE(m.name);
            ASSERT_NO_FATAL_FAILURE(Mode(m));
            EXPECT_EQ(m_dev.fpga(kRegCtrl) & kTrigMode, kTrigMode);
            std::vector<unsigned char> img(kFrameBytes);
            long long frames = Frames();
            long long triggers = Triggers();
            ASSERT_NO_FATAL_FAILURE(ExpectSnapshotTakesItsTrigger(m_dev, kQuiet, kWaitMs, [this] { Fire(); }));
            ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
            ExpectSentFrame(img);
            EXPECT_EQ(Frames() - frames, 1);
            EXPECT_EQ(Triggers() - triggers, 1);

            frames = Frames();
            ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
            EXPECT_FALSE(ReadVideo(&img, static_cast<int>(kQuiet.count())));
            EXPECT_EQ(Frames(), frames);
            ASSERT_NO_FATAL_FAILURE(Armed());
            for (int i = 0; i < 3; ++i) {
                ASSERT_NO_FATAL_FAILURE(Fire());
                ASSERT_TRUE(ReadVideo(&img)) << i;
                ExpectSentFrame(img);
            }
            std::this_thread::sleep_for(kQuiet);
            EXPECT_EQ(Frames() - frames, 3);
            EXPECT_EQ(Dropped(), 0);
            ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        }
        // Back to the normal mode: frames run free again.
        ASSERT_EQ(KYRSetCameraMode(0, CAM_MODE_NORMAL), KYR_SUCCESS);
        std::vector<unsigned char> img;
        ASSERT_TRUE(VideoFrame(&img));
    }
}

// A snapshot stopped before its trigger fails and the next one works; a
// wait that times out is no lost frame; a long exposure set and ended in a
// trigger mode leaves the FPGA in its trigger mode.
TEST_F(C807TriggerTest, AStoppedSnapshotFailsAndTheWaitLosesNothing) {
    for (const S807Row& row : {Rows807()[0], Rows807()[1]}) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Open(row.pid, kModes[0]));
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(KYRStopExposure(0), KYR_SUCCESS);
        EXPECT_EQ(Status(), KYR_EXP_FAILED);
        std::vector<unsigned char> img(kFrameBytes);
        EXPECT_NE(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(Armed());
        ASSERT_NO_FATAL_FAILURE(Fire());
        ASSERT_EQ(WaitExposureEnd(kWaitMs), KYR_EXP_SUCCESS);
        ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);

        ASSERT_TRUE(SetExposure(2000000));
        ASSERT_TRUE(SetExposure(2000));
        EXPECT_EQ(m_dev.fpga(kRegCtrl) & kTrigMode, kTrigMode);
        // Past two of the transfer's time-outs without a trigger.
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_EQ(Dropped(), 0);
        ASSERT_NO_FATAL_FAILURE(Armed());
        ASSERT_NO_FATAL_FAILURE(Fire());
        ASSERT_TRUE(ReadVideo(&img));
        EXPECT_EQ(Dropped(), 0);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

// A short frame: the Pro has its DDR send it again once and delivers it; a
// frame still short after that, or short on the camera without the DDR,
// fails the snapshot.
TEST_F(C807TriggerTest, AShortFrameIsResentOnceFromTheDDR) {
    for (const S807Row& row : {Rows807()[0], Rows807()[1]})
        for (int shortFrames : {1, 2}) {
            SCOPED_TRACE(testing::Message() << row.name << ", short frames: " << shortFrames);
            ASSERT_NO_FATAL_FAILURE(Open(row.pid, kModes[0]));
            ASSERT_TRUE(m_dev.streamFault(KYRSIM_STREAM_SHORT, 4096, 0, shortFrames));
            const long long frames = Frames();
            ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
            ASSERT_NO_FATAL_FAILURE(Armed());
            ASSERT_NO_FATAL_FAILURE(Fire());
            const KYR_EXPOSURE_STATUS st = WaitExposureEnd(kWaitMs);
            const bool delivered = row.pro && shortFrames == 1;
            EXPECT_EQ(st, delivered ? KYR_EXP_SUCCESS : KYR_EXP_FAILED);
            EXPECT_EQ(Frames() - frames, row.pro ? 2 : 1);
            if (delivered) {
                std::vector<unsigned char> img(kFrameBytes);
                ASSERT_EQ(KYRGetDataAfterExp(0, img.data(), kFrameBytes), KYR_SUCCESS);
                ExpectSentFrame(img);
            }
            // The next exposure is not held up by the failed one.
            ASSERT_EQ(kyrsim_clear_stream_faults(m_dev.handle()), 0);
            ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
            ASSERT_NO_FATAL_FAILURE(Armed());
            ASSERT_NO_FATAL_FAILURE(Fire());
            EXPECT_EQ(WaitExposureEnd(kWaitMs), KYR_EXP_SUCCESS);
        }
}

// Without memory for its transfers the capture ends at once; a stalled
// endpoint is cleared without spinning and the next trigger delivers; a
// camera that goes away ends the loop, and stop and close return.
TEST_F(C807TriggerTest, NoMemoryAStallAndAnUnplugEndOrRecoverTheLoop) {
    const S807Row& row = Rows807()[0];
    ASSERT_NO_FATAL_FAILURE(Open(row.pid, kModes[0]));
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_ALLOC, KYRSIM_ANY, LIBUSB_ERROR_NO_MEM, -1), 0);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(WaitExposureEnd(kWaitMs), KYR_EXP_FAILED);
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_ALLOC, KYRSIM_ANY, LIBUSB_ERROR_NO_MEM, 0), 0);

    std::vector<unsigned char> img(kFrameBytes);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(Armed());
    ASSERT_NO_FATAL_FAILURE(Fire());
    ASSERT_TRUE(ReadVideo(&img));
    const long long clears = m_dev.query(KYRSIM_Q_CLEAR_HALTS_81);
    ASSERT_TRUE(m_dev.haltEndpoint(0x81));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Cleared once, and then the loop waits for the next trigger.
    EXPECT_EQ(m_dev.query(KYRSIM_Q_HALTED), 0);
    const long long cleared = m_dev.query(KYRSIM_Q_CLEAR_HALTS_81) - clears;
    EXPECT_GE(cleared, 1);
    EXPECT_LE(cleared, 2);
    ASSERT_NO_FATAL_FAILURE(Fire());
    ASSERT_TRUE(ReadVideo(&img));
    ExpectSentFrame(img);

    ASSERT_EQ(kyrsim_unplug(m_dev.handle()), 0);
    const auto start = std::chrono::steady_clock::now();
    KYRStopVideoCapture(0);
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs));
}

// Triggers as fast as they come, the camera unpaced, every row numbered with
// its frame: each image holds one frame only.
TEST_F(C807TriggerTest, FramesAtFullRateAreNeverTorn) {
    ASSERT_NO_FATAL_FAILURE(Open(Rows807()[0].pid, kModes[0]));
    ASSERT_NO_FATAL_FAILURE(ExpectUntornFramesAtFullRate(m_dev, kWidth, kHeight, kWaitMs));
}

// Gain, exposure and soft triggers from two threads while trigger-mode video
// runs and a reader takes its frames.
TEST_F(C807TriggerTest, SettersAndTriggersFromOtherThreadsDuringTriggerVideo) {
    ASSERT_NO_FATAL_FAILURE(Open(Rows807()[1].pid, kModes[0]));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> run{true};
    std::thread setter([&] {
        for (int i = 0; run; ++i) {
            KYRSetControlValue(0, KYR_GAIN, 100 + i % 300, KYR_FALSE);
            KYRSetControlValue(0, KYR_EXPOSURE, 1000 + i % 5000, KYR_FALSE);
        }
    });
    std::thread trigger([&] {
        while (run) {
            KYRSendSoftTrigger(0, KYR_TRUE);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            KYRSendSoftTrigger(0, KYR_FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<unsigned char> img;
    int read = 0;
    for (int i = 0; i < 10; ++i)
        if (ReadVideo(&img)) ++read;
    run = false;
    setter.join();
    trigger.join();
    EXPECT_GE(read, 5);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

}  // namespace

// The S7100's capture loop through the exported functions on the simulated
// camera: bad, refused, empty and short frames and what each one costs, the
// FPGA status read after every frame, the automatic bandwidth window of each
// camera, a stalled single exposure, auto gain on slow frames, and a long
// stream of whole frames.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LogTail.h"
#include "StreamCheck.h"
#include "TestSpeed.h"
#include "VirtualClock.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;
constexpr int kFpgaStatus = 35;
constexpr int kReqReadFpga = 0xBC, kReqWriteSensor = 0xB6, kReqFirmwareVer = 0xAD;
constexpr int kReqStartStream = 0xA9, kReqStopStream = 0xAA;
// Real time each library sleep also takes on the test clock, so that no
// thread sleeping in a loop spins.
constexpr std::chrono::microseconds kRealPerSleep(1000);

// The camera's requests of one thread from log entry `from` on.
std::vector<kyrsim::Request> ThreadRequests(int handle, unsigned long long thread, int from) {
    std::vector<kyrsim::Request> out;
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    for (size_t i = static_cast<size_t>(from); i < log.size(); ++i)
        if (log[i].device == handle && log[i].thread == thread) out.push_back(log[i]);
    return out;
}

bool IsStatusRead(const kyrsim::Request& r) { return r.request == kReqReadFpga && r.value == kFpgaStatus; }

class C7100CaptureTest : public C7100Test {
  protected:
    // Opens the camera on a USB 3 or 2 host with a 640 x 480 RAW8 window.
    void Open(bool usb3 = true) {
        ASSERT_NE(Setup(kPid7100, usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAMMA, 50, KYR_FALSE), KYR_SUCCESS);
    }

    // Video of the open window at a frame rate the reader keeps up with on a
    // loaded machine, so that the only losses are the ones a test causes; the
    // first frame read unless bRead is false.
    void StartVideo(int id = 0, bool bRead = true) {
        const kyrsim::Device dev = id == 0 ? m_dev : m_dev2;
        ASSERT_EQ(kyrsim_set_frame_interval(dev.handle(), kTestSlowdown > 1 ? 500000 : 100000), 0);
        // The driver waits for a frame about as long as the camera's timing
        // says it takes; an exposure longer than the interval keeps those
        // waits longer than the frames' spacing. Still short of a long
        // exposure, and shorter than the frames auto gain steps on.
        ASSERT_EQ(KYRSetControlValue(id, KYR_EXPOSURE, kTestSlowdown > 1 ? 600000 : 150000, KYR_FALSE),
                  KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(id), KYR_SUCCESS);
        if (bRead) ASSERT_TRUE(Read(id));
    }
    bool Read(int id = 0) {
        return KYRGetVideoData(id, m_img.data(), static_cast<long>(m_img.size()), kWaitMs) == KYR_SUCCESS;
    }
    int Dropped(int id = 0) { return DroppedFrames(id); }
    long long Query(int what) { return kyrsim_query(m_dev.handle(), what); }
    long Bandwidth(int id = 0) {
        long value = 0;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(id, KYR_BANDWIDTH, &value, &bAuto), KYR_SUCCESS);
        return value;
    }
    // The thread that reads the FPGA status after each transfer: the capture
    // thread (0 while it has read none since log entry from).
    unsigned long long CaptureThread(int from) {
        const std::vector<kyrsim::Request> log = kyrsim::requests();
        for (size_t i = static_cast<size_t>(from); i < log.size(); ++i)
            if (log[i].device == m_dev.handle() && IsStatusRead(log[i])) return log[i].thread;
        return 0;
    }

    // Closes the camera and unplugs everything, for the next case of a table.
    void Unplug() {
        KYRCloseCamera(0);
        KYRCloseCamera(1);
        kyrsim::reset();
        MadeCameras().clear();
        m_pCam = nullptr;
    }

    kyrsim::Device m_dev2;
    // A test clock, made before the cameras open and removed after they closed.
    std::unique_ptr<CVirtualClock> m_pClock;
    std::vector<unsigned char> m_img = std::vector<unsigned char>(640u * 480);
};

// ---- Lost, refused and empty frames --------------------------------------------------------

struct SBadFrameCase {
    const char* what;
    int fault;
};
const SBadFrameCase kBadFrames[] = {
    {"bad head", KYRSIM_STREAM_BAD_HEAD},
    {"bad tail", KYRSIM_STREAM_BAD_TAIL},
    {"counter mismatch", KYRSIM_STREAM_BAD_COUNTER},
};

TEST_F(C7100CaptureTest, ABadFrameIsLostAndDroppedOnceAndTheStreamGoesOn) {
    for (const SBadFrameCase& c : kBadFrames) {
        SCOPED_TRACE(c.what);
        Open();
        StartVideo();
        const long long halts = Query(KYRSIM_Q_CLEAR_HALTS_81);
        const long long resets = Query(KYRSIM_Q_USB_RESETS);
        CLogTail log;
        ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), c.fault, 0, 0, 1), 0);
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read()) << i;
        EXPECT_EQ(Dropped(), 1);
        // One loss in the bandwidth window: its marker line and its count.
        EXPECT_EQ(log.Count("head:0x"), 1);
        EXPECT_EQ(log.Count("drop frames:1\n"), 1);
        EXPECT_EQ(log.Count("drop frames:"), 1);
        // The rest of the lost frame is flushed; the stream is not reset.
        EXPECT_EQ(Query(KYRSIM_Q_CLEAR_HALTS_81) - halts, 1);
        EXPECT_EQ(Query(KYRSIM_Q_USB_RESETS), resets);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        EXPECT_EQ(Dropped(), 0);
        Unplug();
    }
}

TEST_F(C7100CaptureTest, AFrameTheRingRefusesIsOnlyDropped) {
    Open();
    StartVideo();
    const long long halts = Query(KYRSIM_Q_CLEAR_HALTS_81);
    const long long resets = Query(KYRSIM_Q_USB_RESETS);
    CLogTail log;
    // Nobody reads: the ring's slots fill, later frames are refused.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 * kTestSlowdown);
    while (Dropped() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(Dropped(), 3);
    // No loss counted, nothing flushed or reset.
    EXPECT_EQ(log.Count("drop frames:"), 0);
    EXPECT_EQ(Query(KYRSIM_Q_CLEAR_HALTS_81), halts);
    EXPECT_EQ(Query(KYRSIM_Q_USB_RESETS), resets);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read()) << i;
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(Dropped(), 0);
}

// While the ring has not copied a frame out of its receive buffer, the
// frames that follow are received elsewhere and refused: the frame staged
// comes out whole and as it came, not as a later frame left it.
TEST_F(C7100CaptureTest, AFrameTheRingStillCopiesIsNeverOverwritten) {
    Open();
    ASSERT_EQ(kyrsim_set_scene(m_dev.handle(), KYRSIM_SCENE_FRAME_NUMBER), 0);
    // The run's first frame is staged and stays so.
    m_pCam->m_pCirBuf->HoldInsertForTest(true);
    StartVideo(0, false);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 * kTestSlowdown);
    while (Dropped() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(Dropped(), 3);
    m_pCam->m_pCirBuf->HoldInsertForTest(false);
    std::vector<uint32_t> numbers;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Read()) << i;
        uint32_t number;
        ASSERT_TRUE(WholeFrameNumber(m_img, 640, &number)) << i;
        numbers.push_back(number);
    }
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    // The refused frames lie between the staged frame and the next one.
    EXPECT_GE(numbers[1] - numbers[0], 3u);
    EXPECT_GT(numbers[2], numbers[1]);
}

// Empty transfers before a frame: the fourth in a row resets the stream, once,
// and none of them is a dropped frame.
struct SEmptyCase {
    int empties;
    int resets;
};
const SEmptyCase kEmpties[] = {{1, 0}, {3, 0}, {4, 1}};

TEST_F(C7100CaptureTest, TheFourthEmptyTransferInARowResetsTheStreamOnce) {
    for (const SEmptyCase& c : kEmpties) {
        SCOPED_TRACE(testing::Message() << c.empties << " empty transfers");
        Open();
        StartVideo();
        const long long resets = Query(KYRSIM_Q_USB_RESETS);
        const long long starts = Query(KYRSIM_Q_STREAM_STARTS);
        const long long stops = Query(KYRSIM_Q_STREAM_STOPS);
        const int from = LogSize();
        CLogTail log;
        ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_EMPTY, c.empties, 0, 1), 0);
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read()) << i;
        EXPECT_EQ(Query(KYRSIM_Q_USB_RESETS) - resets, c.resets);
        EXPECT_EQ(Query(KYRSIM_Q_STREAM_STARTS) - starts, c.resets);
        EXPECT_EQ(Query(KYRSIM_Q_STREAM_STOPS) - stops, c.resets);
        EXPECT_EQ(log.Count("nothing get count:"), c.empties);
        EXPECT_EQ(log.Count("no frame more than 5, reset!\n"), c.resets);
        EXPECT_EQ(log.Count("drop frames:"), 0);
        // Under an emulator the reader itself is slow enough for the ring to
        // refuse a frame now and then; the empties must still drop nothing,
        // which the log line above shows there.
        if (kTestSlowdown == 1) EXPECT_EQ(Dropped(), 0);
        if (c.resets > 0) {
            // After the USB reset: the sensor parked and in standby, the
            // stream stopped and started, the sensor woken and streaming.
            std::vector<std::string> seq;
            const std::vector<kyrsim::Request> all = kyrsim::requests();
            for (size_t i = static_cast<size_t>(from); i < all.size(); ++i) {
                const kyrsim::Request& r = all[i];
                if (r.device != m_dev.handle() || r.result < 0) continue;
                if (r.request == kReqStopStream) seq.push_back("stop");
                if (r.request == kReqStartStream && r.length == 0) seq.push_back("start");
                if (r.request == kReqWriteSensor && r.value == kReg7100Stream)
                    seq.push_back(r.index == 1 ? "stream" : "park");
            }
            EXPECT_EQ(seq, (std::vector<std::string>{"park", "stop", "start", "stream"}));
            // Standby then wake-up, around the stream's stop and start.
            EXPECT_EQ(m_dev.sensor(kReg7100Power) & 0x05, 0x04);
        }
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        Unplug();
    }
}

TEST_F(C7100CaptureTest, AShortFrameLogsBothLengthsAndIsFollowedByTheLivenessReads) {
    Open();
    StartVideo();
    const int from = LogSize();
    CLogTail log;
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_SHORT, 1000, 0, 1), 0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Read()) << i;
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    const int bytes = 640 * 480;
    EXPECT_EQ(log.Count("data length wanted: " + std::to_string(bytes) +
                        ", data length got: " + std::to_string(bytes - 1000) + "\n"),
              1);
    EXPECT_EQ(log.Count("get len:0x"), 1);
    EXPECT_EQ(log.Count("drop frames:1\n"), 1);
    // On the capture thread: the status read of the short frame's pass, then
    // the firmware version and the FPGA version, then the next pass.
    const unsigned long long thread = CaptureThread(from);
    ASSERT_NE(thread, 0u);
    std::vector<std::string> seq;
    for (const kyrsim::Request& r : ThreadRequests(m_dev.handle(), thread, from)) {
        if (IsStatusRead(r)) seq.push_back("status");
        if (r.request == kReqFirmwareVer) seq.push_back("firmware");
        // The FPGA version's layout register comes first.
        if (r.request == kReqReadFpga && r.value == 28) seq.push_back("fpga");
    }
    const auto firmware = std::find(seq.begin(), seq.end(), "firmware");
    ASSERT_NE(firmware, seq.end());
    EXPECT_EQ(std::count(seq.begin(), seq.end(), "firmware"), 1);
    EXPECT_EQ(std::count(seq.begin(), seq.end(), "fpga"), 1);
    ASSERT_NE(firmware, seq.begin());
    EXPECT_EQ(*(firmware - 1), "status");
    ASSERT_NE(firmware + 1, seq.end());
    EXPECT_EQ(*(firmware + 1), "fpga");
}

TEST_F(C7100CaptureTest, TheStatusIsReadOncePerFrameAndLoggedOnlyWhenNotAllFine) {
    Open();
    StartVideo();
    const int from = LogSize();
    const long long framesFrom = Query(KYRSIM_Q_FRAMES_DONE);
    CLogTail log;
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(Read()) << i;
    // One status read that brings more than the streaming bits.
    kyrsim_fault f;
    kyrsim_fault_init(&f, KYRSIM_FAULT_FLIP_BIT, 1);
    f.device = m_dev.handle();
    f.request = kReqReadFpga;
    f.value = kFpgaStatus;
    ASSERT_GE(kyrsim_add_fault(&f), 0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Read()) << i;
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    kyrsim_clear_faults();
    const long long frames = Query(KYRSIM_Q_FRAMES_DONE) - framesFrom;
    const unsigned long long thread = CaptureThread(from);
    ASSERT_NE(thread, 0u);
    int reads = 0;
    for (const kyrsim::Request& r : ThreadRequests(m_dev.handle(), thread, from)) reads += IsStatusRead(r);
    // The frame the stop cut short may have gone without its read.
    EXPECT_GE(reads, frames - 1);
    EXPECT_LE(reads, frames);
    // A streaming camera's status is 0x15: only the altered one is logged.
    EXPECT_EQ(log.Count("buff status:"), 1);
    EXPECT_EQ(log.Count("buff status:0x17\n"), 1);
}

// ---- Automatic bandwidth ---------------------------------------------------------------------

TEST_F(C7100CaptureTest, ThreeLossesSoonAfterTheStartLowerAutomaticBandwidth) {
    // The losses are counted against windows of real time (5 s between
    // losses, 20 s from the start) that an emulated run cannot keep.
    if (kTestSlowdown > 1) GTEST_SKIP() << "bandwidth windows need the host's speed";
    // A USB 2 host: automatic bandwidth starts at 80 %.
    Open(false);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(Bandwidth(), 80);
    StartVideo();
    CLogTail log;
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_HEAD, 0, 0, 3), 0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read()) << i;
    EXPECT_EQ(Bandwidth(), 76);
    EXPECT_EQ(log.Count("BAD delta time:"), 1);
    EXPECT_EQ(log.Count("try lowing pkg!!"), 0);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// Past the window, or with automatic bandwidth off, losses lower nothing: the
// fifth in a row is only logged.
struct SLateLossCase {
    const char* what;
    bool bAuto;
    bool pastWindow;
};
const SLateLossCase kLateLosses[] = {
    {"automatic, 21 s after the start", true, true},
    {"fixed", false, false},
};

TEST_F(C7100CaptureTest, LossesPastTheWindowOrWithFixedBandwidthAreOnlyLogged) {
    // The losses are counted against windows of real time (5 s between
    // losses, 20 s from the start) that an emulated run cannot keep.
    if (kTestSlowdown > 1) GTEST_SKIP() << "bandwidth windows need the host's speed";
    for (const SLateLossCase& c : kLateLosses) {
        SCOPED_TRACE(c.what);
        if (c.pastWindow) m_pClock = std::make_unique<CVirtualClock>(kRealPerSleep);
        Open(false);
        ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, c.bAuto ? KYR_TRUE : KYR_FALSE), KYR_SUCCESS);
        StartVideo();
        if (m_pClock) m_pClock->Advance(21000000);
        CLogTail log;
        ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_HEAD, 0, 0, 5), 0);
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read()) << i;
        EXPECT_EQ(Bandwidth(), 80);
        EXPECT_EQ(log.Count("try lowing pkg!!"), 1);
        EXPECT_EQ(log.Count("BAD delta time:"), 0);
        EXPECT_EQ(log.Count("drop frames:5\n"), 1);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        Unplug();
        m_pClock.reset();
    }
}

// The bandwidth window belongs to each camera: switching automatic bandwidth
// off on one camera neither opens nor restarts the other's window.
TEST_F(C7100CaptureTest, AutomaticBandwidthOffOnOneCameraLeavesTheOthersWindow) {
    // The losses are counted against windows of real time (5 s between
    // losses, 20 s from the start) that an emulated run cannot keep.
    if (kTestSlowdown > 1) GTEST_SKIP() << "bandwidth windows need the host's speed";
    m_pClock = std::make_unique<CVirtualClock>(kRealPerSleep);
    m_dev = Plug(kPid7100, false, "1");
    m_dev2 = Plug(kPid7100, false, "2");
    for (int id = 0; id < 2; ++id) {
        ASSERT_NE(OpenInit(id), nullptr);
        ASSERT_EQ(KYRSetROIFormat(id, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(id, KYR_BANDWIDTH, 80, KYR_TRUE), KYR_SUCCESS);
    }
    m_pCam = MadeCameras()[0];
    StartVideo(0);
    StartVideo(1);
    // Camera 0's window ends 20 s after its start; camera 1 switches its
    // automatic bandwidth off after that.
    m_pClock->Advance(21000000);
    ASSERT_EQ(KYRSetControlValue(1, KYR_BANDWIDTH, 80, KYR_FALSE), KYR_SUCCESS);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Read(1)) << i;
    CLogTail log;
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_HEAD, 0, 0, 5), 0);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(Read(0)) << i;
        ASSERT_TRUE(Read(1)) << i;
    }
    EXPECT_EQ(Bandwidth(0), 80);
    EXPECT_EQ(log.Count("try lowing pkg!!"), 1);
    EXPECT_EQ(log.Count("BAD delta time:"), 0);
    for (int id = 0; id < 2; ++id) EXPECT_EQ(KYRStopVideoCapture(id), KYR_SUCCESS);
}

// ---- Single exposures ------------------------------------------------------------------------

TEST_F(C7100CaptureTest, AStalledSnapshotEndsFailedWithinItsBound) {
    Open();
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 0, 1), 0);
    CLogTail log;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Expose(10000 * kTestSlowdown), KYR_EXP_FAILED);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    // The retry second, one wait for the frame and the stream's own steps.
    EXPECT_LT(ms, 5000 * kTestSlowdown);
    EXPECT_EQ(log.Count("snap Exp: EXP_FAILED:"), 1);
    kyrsim_clear_stream_faults(m_dev.handle());
    // The next exposure is not held up by the failed one.
    EXPECT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
}

// ---- Auto controls on slow frames ------------------------------------------------------------

TEST_F(C7100CaptureTest, ASlowVideoFrameStepsAutoGainOnTheCaptureThread) {
    Open();
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 200, KYR_TRUE), KYR_SUCCESS);
    // Far below the scene's brightness: the first frame calls for a step.
    ASSERT_EQ(KYRSetControlValue(0, KYR_AUTO_TARGET_BRIGHTNESS, 30, KYR_FALSE), KYR_SUCCESS);
    // One frame comes, then nothing: the step is made on that very frame.
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 1, 1), 0);
    const int from = LogSize();
    StartVideo();
    long gain = 200;
    KYR_BOOL bAuto = KYR_FALSE;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (gain == 200 && std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(KYRGetControlValue(0, KYR_GAIN, &gain, &bAuto), KYR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_NE(gain, 200);
    EXPECT_EQ(bAuto, KYR_TRUE);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    // The gain code went to the sensor from the thread that reads the frames.
    const unsigned long long thread = CaptureThread(from);
    ASSERT_NE(thread, 0u);
    int gainWrites = 0;
    for (const kyrsim::Request& r : ThreadRequests(m_dev.handle(), thread, from))
        gainWrites += r.request == kReqWriteSensor && r.value == kReg7100Gain;
    EXPECT_GE(gainWrites, 1);
}

TEST_F(C7100CaptureTest, AutoWhiteBalanceNeverRunsOnTheMonoCamera) {
    Open();
    const int red = m_pCam->m_iWBRed, blue = m_pCam->m_iWBBlue;
    // A mono camera accepts white balance on auto and does nothing with it;
    // the flag is forced on all the same.
    EXPECT_EQ(KYRSetControlValue(0, KYR_WB_R, 50, KYR_TRUE), KYR_SUCCESS);
    m_pCam->m_bAutoWB = true;
    StartVideo();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Read()) << i;
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(m_pCam->m_iWBRed, red);
    EXPECT_EQ(m_pCam->m_iWBBlue, blue);
}

// ---- A long stream ---------------------------------------------------------------------------

TEST_F(C7100CaptureTest, FullHdVideoGivesWholeFramesWithoutDrops) {
    Open();
    // A frame rate the reader keeps up with on a loaded machine; fewer frames
    // where the test runs emulated.
    ExpectWholeFramesWithoutDrops(m_dev.handle(), 1920, 1080, kTestSlowdown > 1 ? 500000 : 100000,
                                  kTestSlowdown > 1 ? 10 : 100, kWaitMs);
}

}  // namespace

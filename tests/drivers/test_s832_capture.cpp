// The 832 end to end: video and single exposures through the exported
// functions on the simulated camera, every image type, bins, flips and small
// windows, checked against the frame the camera sent; marker repair; the
// stream's recovery from bad and missing frames.
#include <string.h>

#include <chrono>
#include <memory>
#include <thread>

#include "CaptureCheck.h"
#include "FrameReference.h"
#include "StreamCheck.h"
#include "TestSpeed.h"
#include "image/CAlgorithm.h"
#include "test_s832_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

const SContentCase kContent[] = {
    {640, 480, 1, IMG_RAW8, false, false, false, -1, -1},
    {640, 480, 1, IMG_RAW8, false, true, true, 96, 40},
    {640, 480, 1, IMG_RAW16, false, false, true, 96, 40},
    {640, 480, 1, IMG_RAW16, false, true, false, -1, -1},
    {640, 480, 1, IMG_Y8, false, false, false, 1000, 600},
    {640, 480, 1, IMG_RGB24, false, false, true, 1000, 600},
    {640, 480, 1, IMG_RGB24, false, true, false, -1, -1},
    {320, 240, 2, IMG_RAW8, true, false, false, 200, 100},
    {320, 240, 2, IMG_RAW16, true, true, true, -1, -1},
    {320, 240, 2, IMG_RGB24, false, false, false, 200, 100},
    {160, 120, 4, IMG_RAW8, true, false, true, 400, 200},
    {160, 120, 4, IMG_Y8, true, true, false, -1, -1},
    {160, 120, 3, IMG_RAW8, false, true, false, 300, 300},
    {160, 120, 3, IMG_RAW16, false, false, true, -1, -1},
    {160, 120, 4, IMG_RGB24, false, false, false, 0, 0},
};

class C832CaptureTest : public C832Test {
  protected:
    void SetUp() override {
        C832Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAMMA, 50, KYR_FALSE), KYR_SUCCESS);
    }

    // One image of the set format through video or a single exposure.
    bool Capture(bool snap, std::vector<unsigned char>* pImage) {
        return CaptureImage(snap, pImage, kWaitMs);
    }

    // The frame the camera sent last, of frameBytes.
    std::vector<unsigned char> SentFrame(int frameBytes) {
        std::vector<unsigned char> f(static_cast<size_t>(frameBytes));
        EXPECT_EQ(kyrsim_last_frame(m_dev.handle(), f.data(), frameBytes), frameBytes);
        return f;
    }
};

TEST_F(C832CaptureTest, ImagesMatchTheSentFrameInEveryFormat) {
    for (const SContentCase& c : kContent) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                                        << (c.hardwareBin ? " hw" : "") << (c.flip ? " flip" : "")
                                        << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, c.hardwareBin ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        if (c.x >= 0) {
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        }
        ASSERT_EQ(KYRSetControlValue(0, KYR_FLIP, c.flip ? 3 : 0, KYR_FALSE), KYR_SUCCESS);
        const SReadout r = Engine().Readout();
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(Capture(c.snap, &img));
        const std::vector<unsigned char> sent = SentFrame(r.iFrameBytes);
        const std::vector<unsigned char> want = ReferenceImage(sent, c.w, c.h, c.type, c.flip, r);
        EXPECT_TRUE(img == want);
        if (c.type == IMG_RAW8 && c.bin == 1 && !c.flip) {
            // Raw: the sent frame itself but for the markers.
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0);
            EXPECT_NE(memcmp(img.data(), sent.data(), 4), 0);
        }
    }
}

TEST_F(C832CaptureTest, RGB24BarsComeInBlueGreenRedOrder) {
    // The full width, top rows: the colour bars of the scene.
    ASSERT_EQ(KYRSetROIFormat(0, 3840, 64, 1, IMG_RGB24), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    std::vector<unsigned char> img(3840u * 64 * 3);
    ASSERT_TRUE(Capture(false, &img));
    // White, yellow, cyan, green, magenta, red, blue, black.
    static const int kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
    for (int bar = 0; bar < 8; ++bar) {
        const int x = bar * 480 + 240;
        const unsigned char* px = &img[(32u * 3840 + x) * 3];
        SCOPED_TRACE(bar);
        EXPECT_EQ(px[0] > 128, (kBars[bar] & 1) != 0);  // blue
        EXPECT_EQ(px[1] > 128, (kBars[bar] & 2) != 0);  // green
        EXPECT_EQ(px[2] > 128, (kBars[bar] & 4) != 0);  // red
    }
}

// A frame repaired from inside itself, whatever its height.
TEST(FrameMarkerRepair, TakesPixelsFromInsideTheFrame) {
    struct {
        int cols, rows, bpp;
    } cases[] = {{16, 8, 1}, {16, 8, 2}, {8, 2, 1}, {8, 2, 2}, {6, 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cols << "x" << c.rows << " bpp " << c.bpp);
        const int rowBytes = c.cols * c.bpp;
        const int bytes = rowBytes * c.rows;
        // Exactly the frame on the heap: ASan sees any byte read outside.
        std::unique_ptr<uint8_t[]> f(new uint8_t[static_cast<size_t>(bytes)]);
        for (int i = 0; i < bytes; ++i) f[i] = static_cast<uint8_t>(i * 7 + 1);
        std::vector<uint8_t> before(f.get(), f.get() + bytes);
        RepairFrameMarkers(f.get(), bytes, rowBytes);
        const int away = 2 * rowBytes + 4 <= bytes ? 2 * rowBytes : 4;
        EXPECT_EQ(memcmp(f.get(), &before[away], 4), 0);
        EXPECT_EQ(memcmp(f.get() + bytes - 4, &before[bytes - 4 - away], 4), 0);
        EXPECT_EQ(memcmp(f.get() + 4, &before[4], bytes - 8), 0);
    }
}

// Stream recovery on a running video of 640 x 480 RAW8.
class C832StreamTest : public C832CaptureTest {
  protected:
    void StartVideo() {
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        // A frame rate the reader keeps up with on a loaded machine: the only
        // drops are the ones a test causes.
        ASSERT_EQ(kyrsim_set_frame_interval(m_dev.handle(), kTestSlowdown > 1 ? 500000 : 100000), 0);
        // The driver waits for a frame about as long as the camera's timing
        // says it takes; an exposure longer than the interval keeps those
        // waits longer than the frames' spacing.
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kTestSlowdown > 1 ? 600000 : 150000, KYR_FALSE),
                  KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(Read());
    }
    bool Read() {
        return KYRGetVideoData(0, m_img.data(), static_cast<long>(m_img.size()), kWaitMs) == KYR_SUCCESS;
    }
    int Dropped() {
        int dropped = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
        return dropped;
    }
    long long Query(int what) { return kyrsim_query(m_dev.handle(), what); }

    std::vector<unsigned char> m_img = std::vector<unsigned char>(640u * 480);
};

TEST_F(C832StreamTest, FiveEmptyTransfersRestartTheStreamOnceWithoutADrop) {
    StartVideo();
    const long long resets = Query(KYRSIM_Q_USB_RESETS);
    const long long starts = Query(KYRSIM_Q_STREAM_STARTS);
    const long long stops = Query(KYRSIM_Q_STREAM_STOPS);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_EMPTY, 5, 0, 1), 0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read());
    EXPECT_EQ(Query(KYRSIM_Q_USB_RESETS) - resets, 1);
    EXPECT_EQ(Query(KYRSIM_Q_STREAM_STARTS) - starts, 1);
    EXPECT_EQ(Query(KYRSIM_Q_STREAM_STOPS) - stops, 1);
    EXPECT_EQ(Dropped(), 0);
}

TEST_F(C832StreamTest, AFullRingOnlyCountsDrops) {
    StartVideo();
    const long long resets = Query(KYRSIM_Q_USB_RESETS);
    const long long halts = Query(KYRSIM_Q_CLEAR_HALTS_81);
    // Nobody reads: the two slots fill, later frames are refused.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Dropped() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(Dropped(), 3);
    EXPECT_EQ(Query(KYRSIM_Q_USB_RESETS), resets);
    EXPECT_EQ(Query(KYRSIM_Q_CLEAR_HALTS_81), halts);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read());
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(Dropped(), 0);
}

TEST_F(C832StreamTest, ThreeLossesSoonAfterAutoBandwidthLowerIt) {
    // A USB 2 host: automatic bandwidth starts at 80 %.
    C832Test::TearDown();
    C832Test::SetUp();
    ASSERT_NE(Setup(kPid832, false), nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_TRUE), KYR_SUCCESS);
    long value = 0;
    KYR_BOOL bAuto = KYR_FALSE;
    ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &value, &bAuto), KYR_SUCCESS);
    ASSERT_EQ(value, 80);
    StartVideo();
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_HEAD, 0, 0, 3), 0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read());
    ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &value, &bAuto), KYR_SUCCESS);
    EXPECT_EQ(value, 76);
    EXPECT_EQ(bAuto, KYR_TRUE);
}

TEST_F(C832StreamTest, BadFramesAreDroppedAndTheStreamGoesOn) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_HEAD, 0, 1, 1), 0);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_BAD_COUNTER, 0, 3, 1), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::vector<unsigned char> img(640u * 480);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
    int dropped = -1;
    ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    EXPECT_GE(dropped, 2);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    EXPECT_EQ(dropped, 0);
}

TEST_F(C832StreamTest, FullSizeVideoGivesUntornFramesWithoutDrops) {
    // A frame rate the reader keeps up with (the sanitizer builds copy 8 MB
    // frames slowly on a loaded machine); fewer frames where the test runs
    // emulated.
    ExpectWholeFramesWithoutDrops(m_dev.handle(), 3840, 2160, kTestSlowdown > 1 ? 800000 : 150000,
                                  kTestSlowdown > 1 ? 10 : 100, kWaitMs);
}

// At full size on a USB-3 port, bandwidth on auto and a 10 ms exposure, the
// camera reads out one frame per programmed sensor period (VMAX 2220 x HMAX 192
// at 20 MHz): frames start at least that far apart on the simulator's clock.
TEST_F(C832StreamTest, FullSizeVideoRunsAtTheProgrammedSensorPeriod) {
    ASSERT_EQ(KYRSetROIFormat(0, 3840, 2160, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 10000, KYR_FALSE), KYR_SUCCESS);
    long bandwidth = 0;
    KYR_BOOL bAuto = KYR_FALSE;
    ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &bandwidth, &bAuto), KYR_SUCCESS);
    ASSERT_EQ(bAuto, KYR_TRUE);  // the camera starts with its bandwidth on auto
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::vector<unsigned char> img(3840u * 2160);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS) << i;
    }
    EXPECT_EQ(Query(KYRSIM_Q_FRAME_PERIOD_US), 21312);
    long long starts[256];
    const int n = kyrsim_frame_starts(m_dev.handle(), starts, 256);
    ASSERT_GE(n, 4);
    for (int i = 1; i < n; ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 21312) << i;
    }
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

TEST_F(C832Test, ProOpenCaptureCloseRepeatedStopsTheCooler) {
    m_dev = Plug(kPid832Pro);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        m_pCam = OpenInit();
        ASSERT_NE(m_pCam, nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_COOLER_ON, 1, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        std::vector<unsigned char> img(640u * 480 * 2);
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        ASSERT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
        EXPECT_EQ(kyrsim_query(m_dev.handle(), KYRSIM_Q_COOLER_DRIVE), 255);
        EXPECT_EQ(kyrsim_open_handles(), 0);
    }
}

TEST_F(C832CaptureTest, StalledSnapshotFails) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_NO_DATA, 0, 0, 1), 0);
    EXPECT_EQ(Expose(20000), KYR_EXP_FAILED);
    kyrsim_clear_stream_faults(m_dev.handle());
}

}  // namespace

namespace {

// The 832 completes no snapshot from a trigger, so it offers no trigger
// mode, whatever its FPGA says.
TEST_F(C832Test, TriggerBitsOfTheFpgaOfferNoTriggerMode) {
    m_dev = Plug(kPid832);
    ASSERT_TRUE(m_dev.setFpga(28, 0xC0));
    m_pCam = OpenInit();
    ASSERT_NE(m_pCam, nullptr);
    ExpectNoTriggerMode(0);
}

}  // namespace

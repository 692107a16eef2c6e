// test-labels: tsan
// The frame path end to end: a simulated 832MC streams through the frame
// driver's capture body, the transfer sets and the ring to callers of
// KYRGetVideoData and KYRGetDataAfterExp. Images must equal what the camera
// sent (with the markers restored), lost frames must be counted while video
// goes on, and stop, close and unplug must end every wait.
#include <gtest/gtest.h>
#include <libusb.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "ExposureWait.h"
#include "FrameDriver.h"
#include "KYRCamera.h"
#include "TestSpeed.h"
#include "api/ModelFactory.h"
#include "kyrsim.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPid = CTestDriver::kProductID;  // 0x832b, the 832MC
constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kReadMs = 3000;  // generous wait for one frame
// Pace of the simulated camera: gentle on the sanitizers, fast for the suite.
constexpr auto kFrameInterval = std::chrono::microseconds(3000);

std::atomic<CFrameDriver*> g_pDriver{nullptr};

CCameraBase* MakeFrameDriver() {
    CFrameDriver* p = new CFrameDriver();
    g_pDriver = p;
    return p;
}

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// The image a caller must get for a frame the camera sent: the frame with
// its first and last 4 bytes taken from two rows away.
std::vector<uint8_t> ExpectedImage(std::vector<uint8_t> frame, int rowBytes) {
    const size_t n = frame.size();
    const size_t twoRows = 2 * static_cast<size_t>(rowBytes);
    memcpy(frame.data(), frame.data() + twoRows, 4);
    memcpy(frame.data() + n - 4, frame.data() + n - 4 - twoRows, 4);
    return frame;
}

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

class StreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim_reset();
        SetCameraConstructorForTest(kPid, MakeFrameDriver);
        m_Dev = kyrsim::plug(kPid, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        // The test driver streams without a sensor; the scene is relative to the FPGA window.
        ASSERT_TRUE(m_Dev.setSensorModel(false));
        ASSERT_TRUE(m_Dev.setFrameInterval(kFrameInterval));
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_NE(g_pDriver.load(), nullptr);
        ASSERT_NO_FATAL_FAILURE(SetFormat(IMG_RAW8));
    }

    void TearDown() override {
        KYRCloseCamera(0);
        SetCameraConstructorForTest(kPid, nullptr);
        g_pDriver = nullptr;
        // Nothing left with libusb, nothing freed under it, nothing leaked.
        EXPECT_EQ(kyrsim_inflight_transfers(), 0);
        EXPECT_EQ(kyrsim_freed_in_flight(), 0);
        EXPECT_EQ(kyrsim_misuse_count(), 0);
        EXPECT_EQ(kyrsim_live_transfers(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim_reset();
    }

    void SetFormat(IMG_TYPE type) {
        ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, type), KYR_SUCCESS);
        m_iBpp = type == IMG_RAW16 ? 2 : 1;
        m_Image.assign(static_cast<size_t>(kWidth * kHeight * m_iBpp), 0);
    }
    int RowBytes() const { return kWidth * m_iBpp; }
    int Bytes() const { return static_cast<int>(m_Image.size()); }

    KYR_ERROR_CODE Video(int waitMs = kReadMs) {
        return KYRGetVideoData(0, m_Image.data(), static_cast<long>(m_Image.size()), waitMs);
    }
    int Dropped() {
        int n = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &n), KYR_SUCCESS);
        return n;
    }
    // Frames the ring refused for want of room so far. A reader or copy held
    // back longer than a frame or two on a loaded machine makes such drops;
    // they are real and counted, but not what a test of frame content is about.
    int Refused() { return g_pDriver.load()->FramesRefused(); }
    // The image equals the scene, which is the same in every frame but for
    // the markers (frame number off).
    void ExpectScene() {
        std::vector<uint8_t> sent = m_Dev.lastFrame();
        ASSERT_EQ(sent.size(), m_Image.size());
        EXPECT_EQ(m_Image, ExpectedImage(sent, RowBytes()));
    }
    // Every row starts with one frame number; returns it.
    uint32_t FrameNumberOfImage() {
        const uint32_t number = U32(m_Image.data());
        for (int y = 0; y < kHeight; ++y) {
            const uint32_t row = U32(m_Image.data() + static_cast<size_t>(y) * RowBytes());
            if (row != number) {
                ADD_FAILURE() << "row " << y << " holds frame " << row << ", row 0 frame " << number;
                break;
            }
        }
        return number;
    }
    kyrsim::Device m_Dev;
    int m_iBpp = 1;
    std::vector<uint8_t> m_Image;
};

// ---- Images -----------------------------------------------------------------------------

TEST_F(StreamTest, VideoImagesEqualTheSceneAcrossTheCounterWrap) {
    // Paced so that a reader that keeps reading seldom leaves the ring full;
    // frames refused for want of room are kept apart, so that every other
    // drop is a frame refused for its markers.
    ASSERT_TRUE(m_Dev.setFrameInterval(std::chrono::microseconds(25000)));
    for (IMG_TYPE type : {IMG_RAW8, IMG_RAW16}) {
        SCOPED_TRACE(type);
        ASSERT_NO_FATAL_FAILURE(SetFormat(type));
        ASSERT_TRUE(m_Dev.setFrameCounter(0xFFFC));
        const int accepted0 = g_pDriver.load()->FramesAccepted();
        const int refused0 = Refused();
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        int drops = 0;
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(Video(), KYR_SUCCESS) << "frame " << i;
            drops = Dropped();
            ASSERT_NO_FATAL_FAILURE(ExpectScene());
        }
        EXPECT_EQ(drops - (Refused() - refused0), 0) << "frames lost for their markers";
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_FRAME_BYTES), Bytes()) << "the FPGA window does not match the ROI";
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        EXPECT_GE(g_pDriver.load()->FramesAccepted() - accepted0, 10);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_RUNNING), 0) << "the stream must stop with the capture";
    }
}

// Frames numbered in every row, read by a slow reader from an unpaced camera:
// no image may mix two frames, and the numbers only rise.
TEST_F(StreamTest, TornFrameNeverReachesTheCaller) {
    ASSERT_TRUE(m_Dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    ASSERT_TRUE(m_Dev.setFrameInterval(std::chrono::microseconds(0)));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    uint32_t last = 0;
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(Video(), KYR_SUCCESS);
        const uint32_t number = FrameNumberOfImage();
        if (i > 0) {
            EXPECT_GT(number, last);
        }
        last = number;
        std::this_thread::sleep_for(milliseconds(i % 3));
    }
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

TEST_F(StreamTest, SnapshotsEqualTheSceneAcrossTheCounterWrap) {
    ASSERT_TRUE(m_Dev.setFrameCounter(0xFFFE));
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        std::fill(m_Image.begin(), m_Image.end(), 0);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(WaitExposure(0, 5000), KYR_EXP_SUCCESS);
        ASSERT_EQ(KYRGetDataAfterExp(0, m_Image.data(), Bytes()), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(ExpectScene());
        KYR_EXPOSURE_STATUS status = KYR_EXP_WORKING;
        EXPECT_EQ(KYRGetExpStatus(0, &status), KYR_SUCCESS);
        EXPECT_EQ(status, KYR_EXP_IDLE);
        EXPECT_EQ(KYRGetDataAfterExp(0, m_Image.data(), Bytes()), KYR_ERROR_TIMEOUT)
            << "one image per exposure";
    }
}

TEST_F(StreamTest, SnapshotWithoutFrameFailsWithinItsRetrySecond) {
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_BAD_TAIL, 0, 0, 1000000));
    const auto t0 = Clock::now();
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(WaitExposure(0, 5000), KYR_EXP_FAILED);
    EXPECT_LT(ElapsedMs(t0), 3500);
    EXPECT_EQ(KYRGetDataAfterExp(0, m_Image.data(), Bytes()), KYR_ERROR_TIMEOUT);
}

// ---- Faults -------------------------------------------------------------------------------

// Each fault loses a frame, which is counted, and video goes on with good
// images. A frame 512 bytes short is taken as whole by the transfers and then
// refused by its cleared tail.
TEST_F(StreamTest, FaultsRaiseTheDroppedCountWhileVideoGoesOn) {
    const struct {
        const char* name;
        int kind;
        int arg;
    } faults[] = {
        {"bad head", KYRSIM_STREAM_BAD_HEAD, 0},           {"bad tail", KYRSIM_STREAM_BAD_TAIL, 0},
        {"counters differ", KYRSIM_STREAM_BAD_COUNTER, 0}, {"short", KYRSIM_STREAM_SHORT, 100},
        {"512 short", KYRSIM_STREAM_SHORT_512, 0},
    };
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(Video(), KYR_SUCCESS);
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        const int before = Dropped();
        ASSERT_TRUE(m_Dev.streamFault(f.kind, f.arg, 1, 1));
        const auto t0 = Clock::now();
        while (Dropped() <= before && ElapsedMs(t0) < kReadMs) {
            ASSERT_EQ(Video(), KYR_SUCCESS);
            ASSERT_NO_FATAL_FAILURE(ExpectScene());
        }
        EXPECT_GT(Dropped(), before);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(Video(), KYR_SUCCESS) << "video stopped after the fault";
            ASSERT_NO_FATAL_FAILURE(ExpectScene());
        }
        ASSERT_TRUE(m_Dev.clearStreamFaults());
    }
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// Reads that bring no data at all (empty transfers, or a stall before the
// first transfer's end) are not dropped frames; five in a row restart the
// stream with a USB reset, and video comes back.
TEST_F(StreamTest, EmptyReadsRestartTheStreamWithoutCountingDrops) {
    const struct {
        const char* name;
        int kind;
        int arg;
    } faults[] = {
        {"five empty transfers", KYRSIM_STREAM_EMPTY, 5},
        {"stall", KYRSIM_STREAM_STALL, kWidth * 10},
    };
    // The frame wait grows with the frame interval: under an emulator sharing
    // the cores a thread can stand still long enough for a short wait to run
    // out in the middle of a frame, a real loss this test is not about.
    ASSERT_TRUE(m_Dev.setFrameInterval(std::chrono::microseconds(25000 * kTestSlowdown)));
    const int refused0 = Refused();
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(Video(), KYR_SUCCESS);
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        const long long resets = m_Dev.query(KYRSIM_Q_USB_RESETS);
        ASSERT_TRUE(m_Dev.streamFault(f.kind, f.arg, 1, 1));
        const auto t0 = Clock::now();
        while (m_Dev.query(KYRSIM_Q_USB_RESETS) == resets && ElapsedMs(t0) < 5000) {
            const KYR_ERROR_CODE rc = Video(200);
            EXPECT_TRUE(rc == KYR_SUCCESS || rc == KYR_ERROR_TIMEOUT) << rc;
        }
        EXPECT_GT(m_Dev.query(KYRSIM_Q_USB_RESETS), resets) << "no restart after five empty reads";
        int drops = -1;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(Video(), KYR_SUCCESS);
            drops = Dropped() - (Refused() - refused0);
            ASSERT_NO_FATAL_FAILURE(ExpectScene());
        }
        EXPECT_EQ(drops, 0) << "the restart counted as lost frames";
        ASSERT_TRUE(m_Dev.clearStreamFaults());
    }
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// ---- Ending -------------------------------------------------------------------------------

// A reader blocked without a time limit is released by the stop, and the stop
// does not wait out a long first-transfer wait (here 5 s for a 2 s exposure).
TEST_F(StreamTest, StopReleasesAReaderBlockedWithoutLimit) {
    g_pDriver.load()->m_lExpTimeUs = 2000000;
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_NO_DATA, 0));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> returned{false};
    KYR_ERROR_CODE rc = KYR_SUCCESS;
    std::thread reader([&] {
        std::vector<uint8_t> image(m_Image.size());
        rc = KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), -1);
        returned = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(returned.load());
    const auto t0 = Clock::now();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_LT(ElapsedMs(t0), 2500) << "the stop waited out the first transfer's wait";
    reader.join();
    EXPECT_EQ(rc, KYR_ERROR_TIMEOUT);
    EXPECT_LT(ElapsedMs(t0), 3000);
    // After the end of capture an empty ring answers at once.
    const auto t1 = Clock::now();
    EXPECT_EQ(Video(-1), KYR_ERROR_TIMEOUT);
    EXPECT_LT(ElapsedMs(t1), 500);

    // And a new capture delivers again.
    ASSERT_TRUE(m_Dev.clearStreamFaults());
    g_pDriver.load()->m_lExpTimeUs = 0;
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(Video(-1), KYR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ExpectScene());
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// A camera initialised again while readers of other call slots are inside
// the ring: the ring they read from stays valid, they return, and capture
// starts again afterwards.
TEST_F(StreamTest, InitAgainWhileReadersWaitKeepsTheirRing) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread videoReader([&] {
        std::vector<uint8_t> image(m_Image.size());
        while (!stop) KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), 50);
    });
    std::thread snapReader([&] {
        std::vector<uint8_t> image(m_Image.size());
        while (!stop) KYRGetDataAfterExp(0, image.data(), static_cast<long>(image.size()));
    });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(SetFormat(IMG_RAW8));
        EXPECT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    }
    stop = true;
    videoReader.join();
    snapReader.join();
    ASSERT_EQ(Video(kReadMs), KYR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ExpectScene());
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// Close while video runs, with a reader waiting without limit: while frames
// flow, and while none come at all.
TEST_F(StreamTest, CloseWhileStreamingEndsEveryThreadAndTransfer) {
    for (bool bNoData : {false, true}) {
        SCOPED_TRACE(bNoData ? "no data" : "frames flowing");
        if (bNoData) {
            ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
            ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
            ASSERT_NO_FATAL_FAILURE(SetFormat(IMG_RAW8));
            ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_NO_DATA, 0));
        }
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        if (!bNoData) {
            ASSERT_EQ(Video(), KYR_SUCCESS);
        }
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            std::vector<uint8_t> image(m_Image.size());
            while (KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), -1) == KYR_SUCCESS) {
            }
            reading = false;
        });
        std::this_thread::sleep_for(milliseconds(100));
        const auto t0 = Clock::now();
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
        EXPECT_LT(ElapsedMs(t0), 3000);
        reader.join();
        EXPECT_FALSE(reading.load());
        EXPECT_EQ(kyrsim_inflight_transfers(), 0);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_CLOSED_BUSY), 0) << "the device was closed with transfers in flight";
    }
}

TEST_F(StreamTest, UnplugMidStreamEndsCleanly) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(Video(), KYR_SUCCESS);
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_UNPLUG, Bytes() / 2, 1, 1));
    const auto t0 = Clock::now();
    while (m_Dev.plugged() && ElapsedMs(t0) < kReadMs) Video(100);
    EXPECT_FALSE(m_Dev.plugged());
    EXPECT_EQ(Video(300), KYR_ERROR_TIMEOUT);
    const auto t1 = Clock::now();
    KYRStopVideoCapture(0);
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    EXPECT_LT(ElapsedMs(t1), 3000);
    EXPECT_EQ(kyrsim_inflight_transfers(), 0);
}

// ---- Core contracts on a streaming camera --------------------------------------------

// Every row of an image of the frame-number scene holds one frame's number.
bool WholeFrame(const std::vector<uint8_t>& image, int rowBytes) {
    const uint32_t number = U32(image.data());
    for (size_t off = 0; off + 4 <= image.size(); off += static_cast<size_t>(rowBytes))
        if (U32(image.data() + off) != number) return false;
    return true;
}

// A read error during enumeration is not an unplug: the streaming camera
// stays open, keeps its ID and keeps streaming, and the count includes it.
TEST_F(StreamTest, EnumerationReadErrorsKeepAStreamingCamera) {
    struct SCase {
        const char* szName;
        std::function<void(const kyrsim::Device&)> fnFault;
    };
    const SCase cases[] = {
        {"descriptor of the camera", [](const kyrsim::Device& d) { d.failDescriptor(LIBUSB_ERROR_IO); }},
        {"device list", [](const kyrsim::Device&) {
             kyrsim_fail_call(KYRSIM_CALL_GET_LIST, KYRSIM_ANY, LIBUSB_ERROR_NO_MEM, 1);
         }},
        {"libusb_init", [](const kyrsim::Device&) { kyrsim_fail_init(1, LIBUSB_ERROR_NO_MEM); }},
    };
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(Video(), KYR_SUCCESS);
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szName);
        c.fnFault(m_Dev);
        EXPECT_EQ(KYRGetNumOfConnectedCameras(), 1);
        m_Dev.failDescriptor(0);
        kyrsim_fail_call(KYRSIM_CALL_GET_LIST, KYRSIM_ANY, 0, 0);
        int dropped = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS) << "the ID still names the open camera";
        for (int i = 0; i < 3; ++i) ASSERT_EQ(Video(), KYR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(ExpectScene());
        // The next enumeration that reads the bus finds it where it was.
        EXPECT_EQ(KYRGetNumOfConnectedCameras(), 1);
        EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS);
    }
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// Format and start position set from one thread, read from another: every
// answer is one whole state, never one format's width with another's type.
TEST_F(StreamTest, GettersAnswerOneWholeStateWhileSettersChangeIt) {
    struct SState {
        int w, h;
        IMG_TYPE type;
        int x, y;
    };
    const SState states[] = {{kWidth, kHeight, IMG_RAW8, 0, 0}, {32, 16, IMG_RAW16, 8, 4}};
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            int w = 0, h = 0, bin = 0, x = -1, y = -1;
            IMG_TYPE type = IMG_END;
            ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
            ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
            bool whole = false;
            bool wholePos = false;
            for (const SState& st : states) {
                whole = whole || (w == st.w && h == st.h && type == st.type);
                wholePos = wholePos || (x == st.x && y == st.y);
            }
            if (!whole || !wholePos) ++torn;
        }
    });
    for (int i = 0; i < 200; ++i) {
        const SState& st = states[i % 2];
        ASSERT_EQ(KYRSetROIFormat(0, st.w, st.h, 1, st.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, st.x, st.y), KYR_SUCCESS);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// The two exported readers at once on one camera (a snapshot result still to
// be read while a video reader reads): every image is one whole frame.
TEST_F(StreamTest, TwoExportedReadersAtOnceGetWholeFrames) {
    ASSERT_TRUE(m_Dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    ASSERT_TRUE(m_Dev.setFrameInterval(std::chrono::microseconds(0)));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    CFrameDriver* pCam = g_pDriver.load();
    std::atomic<bool> stop{false};
    std::atomic<int> whole{0}, torn{0};
    auto check = [&](const std::vector<uint8_t>& image) { ++(WholeFrame(image, kWidth) ? whole : torn); };
    std::thread videoReader([&] {
        std::vector<uint8_t> image(m_Image.size());
        while (!stop.load())
            if (KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), kReadMs) == KYR_SUCCESS)
                check(image);
    });
    std::thread snapReader([&] {
        std::vector<uint8_t> image(m_Image.size());
        while (!stop.load()) {
            pCam->m_iExpStatus = KYR_EXP_SUCCESS;
            if (KYRGetDataAfterExp(0, image.data(), static_cast<long>(image.size())) == KYR_SUCCESS) check(image);
        }
    });
    const auto t0 = Clock::now();
    while (whole.load() < 400 && ElapsedMs(t0) < 10000) std::this_thread::sleep_for(milliseconds(5));
    stop = true;
    videoReader.join();
    snapReader.join();
    EXPECT_GE(whole.load(), 400);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// Bulk completions may run on any thread that handles the context's events:
// other threads' control transfers meet them while video streams, and the
// images stay whole.
TEST_F(StreamTest, ControlTransfersOfOtherThreadsRunBulkCompletions) {
    ASSERT_TRUE(m_Dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false};
    std::vector<std::thread> controllers;
    for (int t = 0; t < 2; ++t)
        controllers.emplace_back([&] {
            while (!stop.load()) {
                KYRPulseGuideOn(0, GUIDE_NORTH);
                KYRPulseGuideOff(0, GUIDE_NORTH);
            }
        });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(Video(), KYR_SUCCESS);
        ASSERT_TRUE(WholeFrame(m_Image, kWidth)) << "image " << i;
    }
    stop = true;
    for (auto& t : controllers) t.join();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// Initialised again with another maximum size while a reader is still
// finishing a frame in the read-out scratch: the buffers go only once it has
// left, and video runs at the new size.
TEST_F(StreamTest, InitWithAnotherSizeWaitsForTheReadOutInProgress) {
    CFrameDriver* pCam = g_pDriver.load();
    pCam->SetReadOutPauseMs(200);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<int> result{1};
    std::thread reader([&] {
        std::vector<uint8_t> image(m_Image.size());
        result = KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), kReadMs);
    });
    const auto t0 = Clock::now();
    while (pCam->ReadOuts() == 0 && ElapsedMs(t0) < kReadMs) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_GT(pCam->ReadOuts(), 0);
    pCam->SetMaxSize(32, 24);
    EXPECT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    reader.join();
    EXPECT_EQ(result.load(), KYR_SUCCESS);
    pCam->SetReadOutPauseMs(0);
    int w = 0, h = 0, bin = 0;
    IMG_TYPE type = IMG_END;
    ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 24);
    m_Image.assign(32 * 24, 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(Video(), KYR_SUCCESS);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// With nothing coming, a reader waiting without limit returns when the camera
// is initialised again with another size.
TEST_F(StreamTest, InitWithAnotherSizeReleasesAWaitingReader) {
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_NO_DATA, 0, 0, 1));  // nothing comes
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<int> result{1};
    std::thread reader([&] {
        std::vector<uint8_t> image(m_Image.size());
        result = KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), -1);
    });
    std::this_thread::sleep_for(milliseconds(50));  // the reader waits in the ring
    g_pDriver.load()->SetMaxSize(32, 24);
    const auto t0 = Clock::now();
    EXPECT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    reader.join();
    EXPECT_LT(ElapsedMs(t0), 5000);
    EXPECT_EQ(result.load(), KYR_ERROR_TIMEOUT);
}

// A cancelled transfer that never comes back keeps its memory: the camera
// closes, nothing is freed under the transfer, and the late write of the host
// controller lands in memory that is still the buffer's.
TEST(StreamLostTransfer, CloseKeepsTheMemoryOfATransferThatNeverComesBack) {
    kyrsim_reset();
    SetCameraConstructorForTest(kPid, MakeFrameDriver);
    kyrsim::Device dev = kyrsim::plug(kPid, 1, "1");
    ASSERT_TRUE(dev.valid());
    ASSERT_TRUE(dev.setSensorModel(false));
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_TRUE(dev.streamFault(KYRSIM_STREAM_NO_DATA, 0, 0, 1));  // the transfer waits
    ASSERT_EQ(kyrsim_lose_cancelled(dev.handle(), 1), 0);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    const auto t0 = Clock::now();
    while (kyrsim_inflight_transfers() == 0 && ElapsedMs(t0) < kReadMs) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_GT(kyrsim_inflight_transfers(), 0);
    EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    EXPECT_GE(kyrsim_lost_transfers(), 1);
    EXPECT_EQ(kyrsim_freed_in_flight(), 0) << "a transfer in flight was freed";
    EXPECT_EQ(kyrsim_inflight_transfers(), kyrsim_lost_transfers());
    // Under the address sanitizer a write into freed memory stops the test here.
    EXPECT_GE(kyrsim_finish_lost_transfers(), 1);
    EXPECT_EQ(kyrsim_misuse_count(), 0);
    SetCameraConstructorForTest(kPid, nullptr);
    g_pDriver = nullptr;
    kyrsim_reset();
}

}  // namespace

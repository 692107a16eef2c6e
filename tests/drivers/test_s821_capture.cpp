// test-labels: tsan
// The 821 end to end: video and single exposures through the exported
// functions on the simulated cameras, each class's image types, bins 1 and
// 2, small off-centre windows, checked against the frame the camera sent and
// against the scene at the window's start; marker repair from one row away
// in the mono classes; the frame length of single exposures and video; a
// DDR change while capturing.
#include <string.h>

#include <chrono>
#include <memory>
#include <thread>

#include "FrameReference.h"
#include "TestSpeed.h"
#include "test_s821_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

// Small off-centre windows of each image type, bins 1 and 2, video and
// single exposures (no hardware binning, no flips).
const SContentCase kContent[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, 40, 24},
    {320, 240, 1, IMG_RAW8, false, false, true, 1000, 800},
    {320, 240, 1, IMG_RAW16, false, false, true, 88, 600},
    {320, 240, 1, IMG_RAW16, false, false, false, 1200, 16},
    {160, 120, 2, IMG_RAW8, false, false, true, 400, 300},
    {160, 120, 2, IMG_RAW16, false, false, false, 16, 8},
    {320, 240, 1, IMG_RGB24, false, false, true, 48, 24},
    {320, 240, 1, IMG_Y8, false, false, false, 800, 400},
    {160, 120, 2, IMG_RGB24, false, false, false, 0, 0},
    {160, 120, 2, IMG_Y8, false, false, true, 600, 400},
};

class C821CaptureTest : public C821Test {
  protected:
    // Camera pid, initialised, with a short exposure and no gamma.
    void Start(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_GAMMA, 50), KYR_SUCCESS);
    }

    bool Snap(KYR_EXPOSURE_STATUS* pStatus = nullptr) {
        if (KYRStartExposure(0, KYR_FALSE) != KYR_SUCCESS) return false;
        KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (st == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            KYRGetExpStatus(0, &st);
        }
        if (pStatus) *pStatus = st;
        return st == KYR_EXP_SUCCESS;
    }

    // One image of the set format through video or a single exposure.
    bool Capture(bool snap, std::vector<unsigned char>* pImage) {
        if (snap)
            return Snap() &&
                   KYRGetDataAfterExp(0, pImage->data(), static_cast<long>(pImage->size())) == KYR_SUCCESS;
        if (KYRStartVideoCapture(0) != KYR_SUCCESS) return false;
        const bool ok =
            KYRGetVideoData(0, pImage->data(), static_cast<long>(pImage->size()), kWaitMs) == KYR_SUCCESS;
        KYRStopVideoCapture(0);
        return ok;
    }

    std::vector<unsigned char> SentFrame(int frameBytes) {
        std::vector<unsigned char> f(static_cast<size_t>(frameBytes));
        EXPECT_EQ(kyrsim_last_frame(m_dev.handle(), f.data(), frameBytes), frameBytes);
        return f;
    }

    int Status() {
        KYR_EXPOSURE_STATUS st = KYR_EXP_IDLE;
        KYRGetExpStatus(0, &st);
        return st;
    }
};

TEST_F(C821CaptureTest, ImagesMatchTheSentFrameAndTheSceneAtTheWindow) {
    for (int pid : kPids821) {
        const bool color = pid == kPid821MC;
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        for (const SContentCase& c : kContent) {
            if (!color && (c.type == IMG_RGB24 || c.type == IMG_Y8)) continue;
            SCOPED_TRACE(testing::Message()
                         << NameOf(pid) << " " << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                         << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            int sx = -1, sy = -1;
            ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
            const SReadout r = Readout();
            std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
            ASSERT_TRUE(Capture(c.snap, &img));
            const std::vector<unsigned char> sent = SentFrame(r.iFrameBytes);
            EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, false, r, color ? 2 : 1));
            // The sent frame is the scene at the window's start on the sensor.
            const int x0 = sx * c.bin, y0 = sy * c.bin;
            const int bpp = r.b16 ? 2 : 1;
            for (int y : {1, r.iRows / 2, r.iRows - 2}) {
                for (int x : {3, r.iCols / 3, r.iCols - 5}) {
                    const int v = kyrsim_scene_pixel(m_dev.handle(), x0 + x, y0 + y);
                    const size_t at = (static_cast<size_t>(y) * r.iCols + x) * bpp;
                    const int got = bpp == 1 ? sent[at] << 8 : sent[at] | sent[at + 1] << 8;
                    EXPECT_EQ(got, bpp == 1 ? v & 0xFF00 : v & 0xFFF0) << x << "," << y;
                }
            }
        }
    }
}

TEST_F(C821CaptureTest, RGB24BarsComeInBlueGreenRedOrder) {
    ASSERT_NO_FATAL_FAILURE(Start(kPid821MC));
    ASSERT_EQ(KYRSetROIFormat(0, 1608, 64, 1, IMG_RGB24), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
    std::vector<unsigned char> img(1608u * 64 * 3);
    ASSERT_TRUE(Capture(false, &img));
    // White, yellow, cyan, green, magenta, red, blue, black.
    static const int kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
    for (int bar = 0; bar < 8; ++bar) {
        const int x = bar * 201 + 100;
        const unsigned char* px = &img[(32u * 1608 + x) * 3];
        SCOPED_TRACE(bar);
        EXPECT_EQ(px[0] > 128, (kBars[bar] & 1) != 0);  // blue
        EXPECT_EQ(px[1] > 128, (kBars[bar] & 2) != 0);  // green
        EXPECT_EQ(px[2] > 128, (kBars[bar] & 4) != 0);  // red
    }
}

TEST(FrameMarkerRepairRows, MonoFramesTakeTheirMarkersFromOneRowAway) {
    struct {
        int cols, rows, bpp, from;
    } cases[] = {{16, 8, 1, 1}, {16, 8, 2, 1}, {8, 2, 1, 1}, {8, 2, 2, 1}, {8, 2, 1, 2}, {16, 8, 1, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cols << "x" << c.rows << " bpp " << c.bpp << " from " << c.from);
        const int rowBytes = c.cols * c.bpp;
        const int bytes = rowBytes * c.rows;
        std::unique_ptr<uint8_t[]> f(new uint8_t[static_cast<size_t>(bytes)]);
        for (int i = 0; i < bytes; ++i) f[i] = static_cast<uint8_t>(i * 7 + 1);
        std::vector<uint8_t> before(f.get(), f.get() + bytes);
        RepairFrameMarkers(f.get(), bytes, rowBytes, c.from);
        const int away = c.from * rowBytes + 4 <= bytes ? c.from * rowBytes : 4;
        EXPECT_EQ(memcmp(f.get(), &before[away], 4), 0);
        EXPECT_EQ(memcmp(f.get() + bytes - 4, &before[bytes - 4 - away], 4), 0);
        EXPECT_EQ(memcmp(f.get() + 4, &before[4], bytes - 8), 0);
    }
}

TEST_F(C821CaptureTest, ATwoRowReadoutIsRepairedFromInsideTheFrame) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        for (IMG_TYPE type : {IMG_RAW8, IMG_RAW16}) {
            SCOPED_TRACE(type);
            ASSERT_EQ(KYRSetROIFormat(0, 64, 2, 1, type), KYR_SUCCESS);
            const SReadout r = Readout();
            std::vector<unsigned char> img(64u * 2 * ImageBytesPerPixel(type));
            ASSERT_TRUE(Capture(false, &img));
            const std::vector<unsigned char> sent = SentFrame(r.iFrameBytes);
            // Mono: the word one row down (and up); colour: two rows do not fit, the next word.
            const size_t away =
                pid == kPid821MC ? 4 : static_cast<size_t>(r.iCols) * ImageBytesPerPixel(type);
            EXPECT_EQ(memcmp(img.data(), sent.data() + away, 4), 0);
            EXPECT_EQ(memcmp(img.data() + img.size() - 4, sent.data() + sent.size() - 4 - away, 4), 0);
            EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0);
        }
    }
}

// The frame of a single exposure is 770 lines longer than the readout; video
// after it is back at 70, as the frame time always counted.
TEST_F(C821CaptureTest, SnapshotsAndVideoEachRunTheirOwnFrameLength) {
    ASSERT_NO_FATAL_FAILURE(Start(kPid821MM));
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    const uint32_t frameUs = Locked([&] { return static_cast<uint32_t>(m_pCam->m_iFrameTimeUs); });
    EXPECT_EQ(frameUs, static_cast<uint32_t>((240 + 70) * 7.1));
    std::vector<unsigned char> img(320u * 240);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(Capture(true, &img));
        EXPECT_EQ(VMAX(), 240 + 770);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        EXPECT_EQ(VMAX(), 240 + 70);
        EXPECT_EQ(m_dev.query(KYRSIM_Q_SENSOR_PERIOD_US), (240 + 70) * 142 * 1000 / 20000);
        EXPECT_EQ(Locked([&] { return static_cast<uint32_t>(m_pCam->m_iFrameTimeUs); }), frameUs);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    }
}

TEST_F(C821CaptureTest, ADdrChangeRestartsVideoAndEndsASnapshotFailed) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NO_FATAL_FAILURE(Start(pid));
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        std::vector<unsigned char> img(320u * 240);
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        const long long starts = m_dev.query(KYRSIM_Q_STREAM_STARTS);
        ASSERT_TRUE(m_pCam->SetEnableDDR(false));
        EXPECT_NE(m_dev.fpga(10) & 0x40, 0);  // the DDR is bypassed
        EXPECT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        EXPECT_GT(m_dev.query(KYRSIM_Q_STREAM_STARTS), starts);
        ASSERT_TRUE(m_pCam->SetEnableDDR(true));
        EXPECT_EQ(m_dev.fpga(10) & 0x40, 0);
        EXPECT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);

        // A single exposure whose frame does not come before the change.
        ASSERT_EQ(Set(KYR_EXPOSURE, 600000), KYR_SUCCESS);
        ASSERT_EQ(m_dev.streamFault(KYRSIM_STREAM_NO_DATA, 0), true);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(m_pCam->SetEnableDDR(false));
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Status() == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(Status(), KYR_EXP_FAILED);
        EXPECT_FALSE(m_pCam->m_thrWork.IsAlive());
        EXPECT_EQ(m_dev.query(KYRSIM_Q_STREAMING), 0);
        ASSERT_TRUE(m_dev.clearStreamFaults());
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        ASSERT_TRUE(m_pCam->SetEnableDDR(true));
        KYR_EXPOSURE_STATUS st = KYR_EXP_IDLE;
        EXPECT_TRUE(Snap(&st)) << st;
    }
}

}  // namespace

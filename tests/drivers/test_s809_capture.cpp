// The 809 end to end: video and single exposures through the exported
// functions on both simulated cameras, every image type at bins 1 to 4 in
// small off-centre windows, checked against the frame the camera sent; a
// start moved during video, which pauses the FPGA's output around the
// sensor's start row, and the stream goes on.
#include <string.h>

#include <chrono>
#include <vector>

#include "TestSpeed.h"
#include "test_s809_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

TEST_F(C809Test, ImagesMatchTheSentFrameInEveryTypeAndBin) {
    const IMG_TYPE kTypes[] = {IMG_RAW8, IMG_RAW16, IMG_Y8, IMG_RGB24};
    for (const S809Row& row : Rows809()) {
        ASSERT_NE(Fresh(row.pid), nullptr);
        ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
        int n = 0;
        for (int bin = 1; bin <= 4; ++bin)
            for (IMG_TYPE type : kTypes) {
                // Alternately a single exposure and video, flipped or not, at starts off the centre.
                const SContentCase c{64,         48,         bin,         type,      false,
                                     n % 3 == 0, n % 2 == 0, 40 + 12 * n, 24 + 6 * n};
                ++n;
                SCOPED_TRACE(testing::Message() << row.name << " bin " << bin << " type " << type
                                                << (c.flip ? " flip" : "") << (c.snap ? " snap" : " video"));
                ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
                ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
                ASSERT_EQ(Set(KYR_FLIP, c.flip ? 3 : 0), KYR_SUCCESS);
                const SReadout r = Readout();
                std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type),
                                               0xEE);
                ASSERT_TRUE(CaptureImage(c.snap, &img, kWaitMs));
                // The frame is the FPGA's window: every column and row of the bin, 2 bytes a pixel in RAW16.
                EXPECT_EQ(m_dev.fpgaWide(kFpgaWidth, 2), c.w * bin);
                EXPECT_EQ(m_dev.fpgaWide(kFpgaHeight, 2), c.h * bin);
                EXPECT_EQ(Sensor16(kReg809Rows), c.h * bin);
                const std::vector<unsigned char> sent = m_dev.lastFrame();
                ASSERT_EQ(static_cast<int>(sent.size()), c.w * bin * c.h * bin * (type == IMG_RAW16 ? 2 : 1));
                EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
            }
    }
}

TEST_F(C809Test, AStartMovedDuringVideoPausesTheOutputAroundTheStartRowAndFramesGoOn) {
    ASSERT_NE(Setup(kPid809), nullptr);
    ASSERT_EQ(Set(KYR_EXPOSURE, 2000), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.setFrameInterval(std::chrono::microseconds(kTestSlowdown > 1 ? 500000 : 20000)));
    std::vector<unsigned char> img(160u * 120);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
    const int from = LogSize();
    ASSERT_EQ(KYRSetStartPos(0, 10, 7), KYR_SUCCESS);

    // The exposure again, the window's columns, the output stopped, the start row, the output running.
    int shr = -1, hblk = -1, stop = -1, row = -1, start = -1;
    for (const SWrite809& w : Writes(from)) {
        if (w.thread != kyrsim_thread_id()) continue;
        if (w.kind == 'S' && w.reg == kReg809SHR + 1 && shr < 0) shr = w.index;
        if (w.kind == 'F' && w.reg == kFpgaHBLK && hblk < 0) hblk = w.index;
        if (w.kind == 'F' && w.reg == kFpgaCtrl && (w.value & kCtrlStop) && stop < 0) stop = w.index;
        if (w.kind == 'S' && w.reg == kReg809StartY) row = w.index;
        if (w.kind == 'F' && w.reg == kFpgaCtrl && !(w.value & kCtrlStop) && row >= 0 && start < 0)
            start = w.index;
    }
    ASSERT_GE(shr, 0);
    EXPECT_LT(shr, hblk);
    EXPECT_LT(hblk, stop);
    EXPECT_LT(stop, row);
    EXPECT_LT(row, start);
    EXPECT_EQ(Sensor16(kReg809StartY), 57);
    EXPECT_EQ(m_dev.fpgaWide(kFpgaHBLK, 2), 60);
    EXPECT_FALSE(m_dev.fpga(kFpgaCtrl) & kCtrlStop);

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS) << i;
        const std::vector<unsigned char> sent = m_dev.lastFrame();
        ASSERT_EQ(sent.size(), img.size());
        EXPECT_EQ(memcmp(img.data() + 4, sent.data() + 4, img.size() - 8), 0) << i;
    }
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    // Stopped, a start moves without touching the output.
    const int after = LogSize();
    ASSERT_EQ(KYRSetStartPos(0, 20, 9), KYR_SUCCESS);
    EXPECT_EQ(Find('F', kFpgaCtrl, -1, after), -1);
}

}  // namespace

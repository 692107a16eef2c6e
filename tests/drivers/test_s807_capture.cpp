// The 807 classes end to end through the exported functions: video and
// single exposures, 8- and 16-bit data, every bin, small off-centre windows,
// checked against the frame the simulated camera sent.
#include <string.h>

#include "test_s807_fixture.h"

namespace {

struct SCase {
    int w, h, bin;
    IMG_TYPE type;
    bool snap;
    int x, y;  // window start, binned; -1: centred
};
const SCase kCases[] = {
    {160, 120, 1, IMG_RAW8, false, 96, 40}, {160, 120, 1, IMG_RAW16, true, 1000, 600},
    {120, 80, 2, IMG_RAW8, true, 300, 50},  {120, 80, 2, IMG_RAW16, false, -1, -1},
    {64, 40, 3, IMG_RAW8, false, 700, 500}, {64, 40, 3, IMG_RAW16, true, 13, 7},
    {60, 40, 4, IMG_RAW8, true, 400, 200},  {60, 40, 4, IMG_RAW16, false, 100, 60},
};

// The image a caller gets from a frame: the first and last four bytes (the
// marker words) from two rows away, then mono software binning of what the
// sensor left (8-bit: the block's sum saturated; 16-bit: its mean).
std::vector<unsigned char> Reference(std::vector<unsigned char> f, const SReadout& r, int w, int h) {
    const int bpp = r.b16 ? 2 : 1;
    const size_t rowBytes = static_cast<size_t>(r.iCols) * bpp;
    memcpy(f.data(), f.data() + 2 * rowBytes, 4);
    memcpy(f.data() + f.size() - 4, f.data() + f.size() - 4 - 2 * rowBytes, 4);
    auto at = [&](int x, int y) {
        const size_t i = static_cast<size_t>(y) * r.iCols + x;
        return r.b16 ? f[2 * i] | (f[2 * i + 1] << 8) : f[i];
    };
    const int b = r.iSoftBin;
    std::vector<unsigned char> img(static_cast<size_t>(w) * h * bpp);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            long sum = 0;
            for (int j = 0; j < b; ++j)
                for (int i = 0; i < b; ++i) sum += at(x * b + i, y * b + j);
            const size_t o = static_cast<size_t>(y) * w + x;
            if (r.b16) {
                const long v = sum / (b * b);
                img[2 * o] = static_cast<unsigned char>(v & 0xFF);
                img[2 * o + 1] = static_cast<unsigned char>(v >> 8);
            } else {
                img[o] = static_cast<unsigned char>(sum > 255 ? 255 : sum);
            }
        }
    return img;
}

TEST_F(C807Test, VideoAndSnapshotsInEveryBinMatchTheSentFrame) {
    for (const S807Row& row : Rows807()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row.pid), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_MONO_BIN, 1, KYR_FALSE), KYR_SUCCESS);
        for (const SCase& c : kCases) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                                            << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            if (c.x >= 0) {
                ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            }
            const SReadout r = Readout();
            EXPECT_EQ(r.iSensorFactor, c.bin == 2 || c.bin == 4 ? 2 : 1);
            std::vector<unsigned char> img;
            ASSERT_TRUE(c.snap ? Snapshot(&img) : VideoFrame(&img));
            std::vector<unsigned char> sent(static_cast<size_t>(r.iFrameBytes));
            ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), r.iFrameBytes), r.iFrameBytes);
            EXPECT_TRUE(img == Reference(sent, r, c.w, c.h));
        }
    }
}

}  // namespace

namespace {

// A readout of one row (8 x 1 at bin 2): the marker words are restored from
// inside the frame, never from beyond it.
TEST_F(C807Test, AOneRowReadoutRestoresItsMarkersFromInsideTheFrame) {
    ASSERT_NE(SetupRow(kPid807), nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 8, 1, 2, IMG_RAW16), KYR_SUCCESS);
    const SReadout r = Readout();
    ASSERT_EQ(r.iFrameBytes, 16);
    for (bool snap : {false, true}) {
        SCOPED_TRACE(snap ? "snap" : "video");
        std::vector<unsigned char> img;
        ASSERT_TRUE(snap ? Snapshot(&img) : VideoFrame(&img));
        std::vector<unsigned char> sent(16);
        ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), 16), 16);
        // Head from the word after it, tail from the word before it.
        std::vector<unsigned char> expect(sent);
        memcpy(expect.data(), sent.data() + 4, 4);
        memcpy(expect.data() + 12, sent.data() + 8, 4);
        EXPECT_TRUE(img == expect);
    }
    // The 8-bit frame of the same window is all markers: it is captured without a read outside it.
    ASSERT_EQ(KYRSetROIFormat(0, 8, 1, 2, IMG_RAW8), KYR_SUCCESS);
    std::vector<unsigned char> img;
    EXPECT_TRUE(VideoFrame(&img));
}

}  // namespace

namespace {

// On USB 2 leaving long mode leaves the FPGA's wait mode on (without its
// trigger mode); video still flows.
TEST_F(C807Test, VideoFlowsAfterLeavingLongModeOnUSB2) {
    ASSERT_NE(SetupRow(kPid807, false), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_TRUE(SetExposure(2000000));
    ASSERT_TRUE(m_pCam->m_bLongExpMode);
    ASSERT_TRUE(SetExposure(3000));
    ASSERT_FALSE(m_pCam->m_bLongExpMode);
    EXPECT_EQ(m_dev.fpga(0) & 0xC0, 0x40);
    std::vector<unsigned char> img;
    EXPECT_TRUE(VideoFrame(&img));
    EXPECT_TRUE(Snapshot(&img));
}

}  // namespace

// The 814 and 827 classes end to end: video and single exposures through the
// exported functions on the simulated cameras, every image type, software and
// sensor binning, flips and small off-centre windows, checked against the
// frame the camera sent and against the scene at the window the sensor was
// given.
#include <string.h>

#include "CaptureCheck.h"
#include "test_s814_827_fixture.h"

namespace {

const SContentCase k814Cases[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, 96, 40},
    {320, 240, 1, IMG_RAW16, false, true, true, 1000, 600},
    {320, 240, 1, IMG_Y8, false, false, true, -1, -1},
    {320, 240, 1, IMG_RGB24, false, true, false, 200, 100},
    {168, 120, 2, IMG_RGB24, false, false, true, 300, 50},
    {240, 180, 2, IMG_RAW8, true, false, true, 200, 100},
    {240, 180, 2, IMG_RAW16, true, true, false, -1, -1},
    {120, 90, 4, IMG_RAW8, true, false, false, 400, 200},
    {120, 90, 4, IMG_Y8, true, true, true, 100, 60},
};
const SContentCase k827Cases[] = {
    {320, 240, 1, IMG_RAW8, false, false, false, 97, 41},
    {320, 240, 1, IMG_RAW16, false, true, true, 1000, 600},
    {320, 240, 1, IMG_Y8, false, false, true, -1, -1},
    {320, 240, 1, IMG_RGB24, false, true, false, 200, 100},
    {160, 120, 2, IMG_RAW8, false, false, true, 300, 50},
    {160, 120, 2, IMG_RGB24, false, true, false, 13, 7},
    {160, 120, 2, IMG_RAW16, false, false, false, -1, -1},
};

class C814827CaptureTest : public C814827Test {
  protected:
    bool Capture(bool snap, std::vector<unsigned char>* pImage) {
        return CaptureImage(snap, pImage, kWaitMs814827);
    }

    // Pixel (x, y) of the readout as the sensor makes it from the scene:
    // from its start pixel, the mean of four pixels of one colour when it
    // bins 2 x 2; in the output's bits.
    int Expected(const SReadout& r, int x, int y) {
        const int x0 = m_pCam->m_iStartX, y0 = m_pCam->m_iStartY;
        int v;
        if (r.iSensorFactor > 1) {
            const int bx = x0 + 4 * (x / 2) + x % 2, by = y0 + 4 * (y / 2) + y % 2;
            v = (kyrsim_scene_pixel(m_dev.handle(), bx, by) + kyrsim_scene_pixel(m_dev.handle(), bx + 2, by) +
                 kyrsim_scene_pixel(m_dev.handle(), bx, by + 2) +
                 kyrsim_scene_pixel(m_dev.handle(), bx + 2, by + 2)) /
                4;
        } else {
            v = kyrsim_scene_pixel(m_dev.handle(), x0 + x, y0 + y);
        }
        if (!r.b16) return v >> 8;
        return v & ((Fpga(10, 1) & 0x01) ? 0xFFF0 : 0xFFC0);
    }
    int Sent(const std::vector<unsigned char>& f, const SReadout& r, int x, int y) {
        const size_t i = static_cast<size_t>(y) * r.iCols + x;
        return r.b16 ? f[2 * i] | (f[2 * i + 1] << 8) : f[i];
    }
};

TEST_F(C814827CaptureTest, ImagesMatchTheSentFrameAndTheSceneAtTheWindow) {
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        std::vector<SContentCase> cases(std::begin(k827Cases), std::end(k827Cases));
        if (row.is814) cases.assign(std::begin(k814Cases), std::end(k814Cases));
        for (const SContentCase& c : cases) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                                            << (c.hardwareBin ? " hw" : "") << (c.flip ? " flip" : "")
                                            << (c.snap ? " snap" : " video") << " at " << c.x << "," << c.y);
            if (row.is814) {
                ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, c.hardwareBin ? 1 : 0, KYR_FALSE),
                          KYR_SUCCESS);
            }
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
            if (c.x >= 0) {
                ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
            }
            ASSERT_EQ(KYRSetControlValue(0, KYR_FLIP, c.flip ? 3 : 0, KYR_FALSE), KYR_SUCCESS);
            const SReadout r = Readout();
            std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
            ASSERT_TRUE(Capture(c.snap, &img));
            std::vector<unsigned char> sent(static_cast<size_t>(r.iFrameBytes));
            ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), r.iFrameBytes), r.iFrameBytes);
            EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, c.flip, r));
            // The sensor read the window it was given (away from the markers).
            for (const auto& p : {std::make_pair(2, 2), std::make_pair(r.iCols / 2 + 1, r.iRows / 2),
                                  std::make_pair(r.iCols - 3, r.iRows - 3)}) {
                EXPECT_EQ(Sent(sent, r, p.first, p.second), Expected(r, p.first, p.second))
                    << p.first << "," << p.second;
            }
        }
    }
}

}  // namespace

namespace {

// A long exposure end to end: on an uncooled class the sensor runs a frame
// as long as the exposure while the FPGA times it; on a cooled class a
// readout that arrives short is sent again from the DDR buffer.
TEST_F(C814827CaptureTest, LongExposuresEndToEnd) {
    const struct {
        int pid;
        bool shortFirst;  // the first readout ends early
    } cases[] = {{kPid827, false}, {kPid814, false}, {kPid814Pro, true}, {kPid827Pro, true}};
    for (const auto& c : cases) {
        const SClassRow* row = nullptr;
        for (const SClassRow& r : ClassRows())
            if (r.pid == c.pid) row = &r;
        SCOPED_TRACE(row->name);
        ASSERT_NE(SetupRow(*row), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 1100000, KYR_FALSE), KYR_SUCCESS);
        if (c.shortFirst) {
            ASSERT_EQ(kyrsim_stream_fault(m_dev.handle(), KYRSIM_STREAM_SHORT, 4096, 0, 1), 0);
        }
        const int resends = kyrsim_log_count();
        const SReadout r = Readout();
        std::vector<unsigned char> img(320u * 240, 0xEE);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(Capture(true, &img));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
        std::vector<unsigned char> sent(static_cast<size_t>(r.iFrameBytes));
        ASSERT_EQ(kyrsim_last_frame(m_dev.handle(), sent.data(), r.iFrameBytes), r.iFrameBytes);
        EXPECT_TRUE(img == ReferenceImage(sent, 320, 240, IMG_RAW8, false, r));
        // The DDR's resend: FPGA register 24 bit 0.
        int reloads = 0;
        for (int i = resends; i < kyrsim_log_count(); ++i) {
            kyrsim_request q;
            if (kyrsim_log_get(i, &q) == 0 && q.device == m_dev.handle() && q.request == 0xBD &&
                q.value == 24 && (q.index & 1))
                ++reloads;
        }
        EXPECT_EQ(reloads > 0, c.shortFirst);
    }
}

}  // namespace

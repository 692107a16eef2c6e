// The S7100 mono's frames as the simulated sensor reads them out for the
// window the driver programs: at full resolution in 16 bits, and binned 3 x 3
// by the sensor, the frame is the scene's window at the start the camera
// reports, and the image is that frame.
#include "CaptureCheck.h"
#include "test_s7100_fixture.h"

namespace {

TEST_F(C7100Test, TheSensorSendsTheWindowTheDriverProgrammed) {
    struct Case {
        const char* what;
        bool hardwareBin;
        int w, h, bin;
        IMG_TYPE type;
        int x, y;  // start as the caller gives it (binned)
        int bits;  // significant bits of 16-bit output
    };
    const Case cases[] = {
        {"full resolution, 16-bit, off centre", false, 640, 480, 1, IMG_RAW16, 744, 1352, 12},
        {"sensor bin 3", true, 640, 480, 3, IMG_RAW8, 240, 456, 10},
    };
    ASSERT_NE(Setup(kPid7100), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Set(KYR_HARDWARE_BIN, c.hardwareBin ? 1 : 0), KYR_SUCCESS);
        const SContentCase cc{c.w, c.h, c.bin, c.type, c.hardwareBin, false, false, c.x, c.y};
        SetContentCase(cc);
        const SReadout r = Engine().Readout();
        ASSERT_EQ(r.iSensorFactor, c.hardwareBin ? c.bin : 1);
        ASSERT_EQ(r.iSoftBin, 1);
        int sx = -1, sy = -1;
        ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(CaptureImage(false, &img, 5000));
        const std::vector<unsigned char> want =
            ExpectedSensorFrame(m_dev.handle(), sx * c.bin, sy * c.bin, r, true, c.bits);
        EXPECT_TRUE(SameExceptEnds(SentFrame(m_dev.handle(), r.iFrameBytes), want));
        // Only the marker words the read-out repairs may differ.
        EXPECT_TRUE(SameExceptEnds(img, want));
    }
}

}  // namespace

// The 802's window: centred by every format change, placed by the FPGA's
// start registers with the sensor's alignment, sized by the FPGA's width and
// height; every multi-register FPGA change inside one update latch and no
// sensor write framed by a hold, over a whole session.
#include <vector>

#include "TestSpeed.h"
#include "test_s802_fixture.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

class C802GeometryTest : public C802Test {
  protected:
    void SetUp() override {
        C802Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
    }

    void ExpectWindow(int x, int y, int cols, int rows) {
        EXPECT_EQ(m_dev.fpgaWide(2, 2), x + 96);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), y + 22);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), cols);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), rows);
        EXPECT_EQ(m_dev.fpgaPending(), 0);
        Locked([&] {
            EXPECT_EQ(Cam().m_iFPGAHStart, x + 96);
            EXPECT_EQ(Cam().m_iFPGAVStart, y + 22);
            EXPECT_EQ(Cam().m_iSensorCols, cols);
            EXPECT_EQ(Cam().m_iSensorRows, rows);
            return 0;
        });
    }
};

TEST_F(C802GeometryTest, EveryFormatIsCentredAndWrittenInOneLatchPerGroup) {
    const struct {
        int w, h, bin;
        IMG_TYPE type;
    } cases[] = {{640, 480, 1, IMG_RAW8},
                 {4072, 3040, 1, IMG_RAW8},
                 {320, 240, 3, IMG_RAW16},
                 {1018, 760, 4, IMG_Y8},
                 {4072, 3040, 1, IMG_RAW16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin);
        ASSERT_EQ(KYRSetStartPos(0, 0, 0), KYR_SUCCESS);
        const int from = LogSize();
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        const int x = (4072 - c.w * c.bin) / 2;
        const int y = (3040 - c.h * c.bin) / 2;
        // On the sensor, in unbinned pixels.
        const int sx = Locked([this] { return m_pCam->m_iStartX; });
        const int sy = Locked([this] { return m_pCam->m_iStartY; });
        EXPECT_EQ(sx, x - x % 4);
        EXPECT_EQ(sy, y - y % 2);
        ExpectWindow(sx, sy, c.w * c.bin, c.h * c.bin);
        const SLatchReport latches = CheckLatches(m_dev.handle(), LatchedGroups802(), from);
        EXPECT_TRUE(latches.Clean()) << latches.Text();
        EXPECT_EQ(Cam().GetRealImageSize(), c.w * c.bin * c.h * c.bin * (c.type == IMG_RAW16 ? 2 : 1));
    }
}

TEST_F(C802GeometryTest, StartIsAlignedAndKeptOnTheSensor) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const struct {
        int x, y;
        int sx, sy;
    } cases[] = {
        {3, 3, 0, 2}, {5, 7, 4, 6}, {4000, 3000, 4072 - 640, 3040 - 480}, {-8, -2, 0, 0}, {100, 61, 100, 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        const int from = LogSize();
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        int sx = -1, sy = -1;
        ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
        EXPECT_EQ(sx, c.sx);
        EXPECT_EQ(sy, c.sy);
        ExpectWindow(c.sx, c.sy, 640, 480);
        const SLatchReport latches = CheckLatches(m_dev.handle(), LatchedGroups802(), from);
        EXPECT_TRUE(latches.Clean()) << latches.Text();
        EXPECT_EQ(latches.iLatches, 1);
    }
}

// A whole session: start-up, formats, controls, video and a snapshot.
TEST_F(C802GeometryTest, NoSensorWriteIsHeldAndEveryFpgaValueIsLatched) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 2, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 100, 100), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 350, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_WB_R, 70, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 60, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    std::vector<unsigned char> img(320 * 240);
    ASSERT_TRUE(CaptureImage(false, &img, kWaitMs));
    ASSERT_TRUE(CaptureImage(true, &img, kWaitMs));

    const SHoldReport holds = CheckHolds(m_dev.handle(), {}, 0x3001);
    EXPECT_EQ(holds.iHolds, 0);
    EXPECT_TRUE(SensorWritesOf(0x3001).empty());
    const SLatchReport latches = CheckLatches(m_dev.handle(), LatchedGroups802());
    EXPECT_TRUE(latches.Clean()) << latches.Text();
    EXPECT_GT(latches.iLatches, 10);
    // The core's named FPGA operations are not used: register 0 is never
    // read back, and the DDR, bin and pacing registers are never written.
    for (const auto& r : kyrsim::requests(0xBC, m_dev.handle())) EXPECT_NE(r.value, 0);
    for (const auto& w : FpgaWrites(m_dev.handle())) {
        EXPECT_NE(w.first, 24);
        EXPECT_NE(w.first, 36);
        EXPECT_NE(w.first, 39);
        EXPECT_NE(w.first, 64);
    }
}

}  // namespace

// The 832's geometry: image formats and sizes through KYRSetROIFormat, the
// window start through KYRSetStartPos, and the sensor modes, checked on the
// simulated camera's registers.
#include <limits.h>

#include "test_s832_fixture.h"

namespace {

struct SRoiCase {
    int w, h, bin;
    IMG_TYPE type;
    bool hardwareBin;
    int cols, rows;  // FPGA width and height: the readout
    int adc;         // register 10 bit 0
    int sensorW, sensorH;
};

// A 2 x 2 sensor-binned window is programmed in unbinned units, VBLK 2 lines.
const SRoiCase kAccepted[] = {
    {3840, 2160, 1, IMG_RAW8, false, 3840, 2160, 1, 3840, 2162},
    {1928, 1080, 1, IMG_RAW8, false, 1928, 1080, 1, 1936, 1082},
    {640, 482, 1, IMG_RAW8, false, 640, 482, 1, 640, 486},
    {1920, 1080, 2, IMG_RAW8, false, 3840, 2160, 1, 3840, 2162},
    {1920, 1080, 2, IMG_RAW8, true, 1920, 1080, 0, 3840, 2164},
    {960, 540, 4, IMG_Y8, true, 1920, 1080, 0, 3840, 2164},
    {960, 540, 4, IMG_RGB24, false, 3840, 2160, 1, 3840, 2162},
    {1280, 720, 3, IMG_RAW8, true, 3840, 2160, 1, 3840, 2162},
    {3840, 2160, 1, IMG_RAW16, false, 3840, 2160, 1, 3840, 2162},
    {1920, 1080, 2, IMG_RAW16, true, 1920, 1080, 0, 3840, 2164},
    {1916, 1080, 2, IMG_RAW8, false, 3832, 2160, 1, 3840, 2162},
};

class C832GeometryTest : public C832Test {
  protected:
    void SetUp() override {
        C832Test::SetUp();
        ASSERT_NE(Setup(), nullptr);
    }
    void SetHardwareBin(bool on) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, on ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
    }
    KYR_ERROR_CODE SetHighSpeed(bool on) {
        return KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, on ? 1 : 0, KYR_FALSE);
    }
};

TEST_F(C832GeometryTest, AcceptedFormatsProgramTheReadout) {
    for (const SRoiCase& c : kAccepted) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type
                                        << (c.hardwareBin ? " hw" : ""));
        SetHardwareBin(c.hardwareBin);
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        const bool b16 = c.type == IMG_RAW16;
        const int frameBytes = c.cols * c.rows * (b16 ? 2 : 1);
        EXPECT_EQ(Engine().GetRealImageSize(), frameBytes);
        EXPECT_EQ(m_dev.fpgaWide(4, 2), c.cols);
        EXPECT_EQ(m_dev.fpgaWide(8, 2), c.rows);
        EXPECT_EQ(m_dev.fpgaWide(64, 4), frameBytes / 4);
        EXPECT_EQ(m_dev.fpga(10) & 0x01, c.adc);
        EXPECT_EQ((m_dev.fpga(10) & 0x10) != 0, b16);
        EXPECT_EQ(m_dev.sensor(0x303E) | m_dev.sensor(0x303F) << 8, c.sensorW);
        EXPECT_EQ(m_dev.sensor(0x3046) | m_dev.sensor(0x3047) << 8, c.sensorH);
        EXPECT_EQ(m_dev.sensor(0x301B), SensorBinFactor(Engine().Desc(), c.bin) && c.hardwareBin ? 1 : 0);
        const SReadout r = Engine().Readout();
        EXPECT_EQ(r.iSoftBin * (r.iSensorFactor), c.bin);
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        EXPECT_EQ(bin, c.bin);
        EXPECT_EQ(type, c.type);
    }
}

TEST_F(C832GeometryTest, RefusedFormatsSendAndChangeNothing) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const struct {
        int w, h, bin;
        bool hardwareBin;
    } cases[] = {
        {3836, 2160, 1, false},  // readout width not a multiple of 8
        {3848, 2160, 1, false},  // wider than the sensor
        {640, 481, 1, false},    // odd readout height
        {640, 480, 5, false},    // not a bin of the model
        {1920, 1081, 2, false},  // 2162 rows: too tall
        {1916, 1080, 2, true},   // sensor binning needs the image width a multiple of 8
        {960, 541, 4, true},     // and an even image height
        {0, 480, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin);
        SetHardwareBin(c.hardwareBin);
        kyrsim::clearLog();
        EXPECT_NE(KYRSetROIFormat(0, c.w, c.h, c.bin, IMG_RAW16), KYR_SUCCESS);
        EXPECT_EQ(kyrsim_log_count(), 0);
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        EXPECT_EQ(w, 640);
        EXPECT_EQ(h, 480);
        EXPECT_EQ(bin, 1);
        EXPECT_EQ(type, IMG_RAW8);
    }
}

TEST_F(C832GeometryTest, SizesThatOverflowAnIntAreRefused) {
    // 0x55555558 x 3 is 8 in 32 bits.
    const struct {
        int w, h, bin, type;
    } cases[] = {
        {0x55555558, 2, 3, IMAGE_8BIT},
        {2, 0x55555558, 3, IMAGE_8BIT},
        {INT_MAX, 2, 2, IMAGE_8BIT},
        {-0x7FFFFFF8, 2, 2, IMAGE_8BIT},
        {640, 480, 1, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bin " << c.bin << " type " << c.type);
        kyrsim::clearLog();
        EXPECT_FALSE(
            Locked([&] { return m_pCam->SetResolution(c.w, c.h, c.bin, static_cast<IMAGE_TYPE>(c.type)); }));
        EXPECT_EQ(kyrsim_log_count(), 0);
        EXPECT_EQ(m_pCam->m_iWidth, 3840);
        EXPECT_EQ(m_pCam->m_iBin, 1);
    }
}

TEST_F(C832GeometryTest, StartPositionsAreAlignedAndKeptOnTheSensor) {
    const struct {
        int bin;
        int x, y;              // as given to KYRSetStartPos (binned pixels)
        int sensorX, sensorY;  // stored and programmed (sensor pixels)
    } cases[] = {
        {1, 101, 203, 100, 200},           {1, -5, -3, 0, 0},       {1, 3800, 2100, 3200, 1680},
        {1, INT_MAX, INT_MAX, 3200, 1680}, {2, 101, 203, 202, 404}, {2, 1000, 1000, 2000, 1200},
        {2, 1800, 10, 2560, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "bin " << c.bin << " start " << c.x << "," << c.y);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, c.bin, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        EXPECT_EQ(m_pCam->m_iStartX, c.sensorX);
        EXPECT_EQ(m_pCam->m_iStartY, c.sensorY);
        EXPECT_EQ(m_dev.sensor(0x303C) | m_dev.sensor(0x303D) << 8, c.sensorX);
        EXPECT_EQ(m_dev.sensor(0x3044) | m_dev.sensor(0x3045) << 8, c.sensorY);
        EXPECT_EQ(m_dev.fpgaWide(6, 2), 2);  // VBLK of the mode
        EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);  // HBLK
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, c.sensorX / c.bin);
        EXPECT_EQ(y, c.sensorY / c.bin);
    }
}

TEST_F(C832GeometryTest, AWindowThatWouldPassTheEdgeIsCentred) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 3200, 1680), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_pCam->m_iStartX, 960);
    EXPECT_EQ(m_pCam->m_iStartY, 540);
    // A start that still fits is kept.
    ASSERT_EQ(KYRSetStartPos(0, 100, 100), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_pCam->m_iStartX, 100);
    EXPECT_EQ(m_pCam->m_iStartY, 100);
}

TEST_F(C832GeometryTest, SensorModesFollowHardwareBinBinHighSpeedAndType) {
    const struct {
        bool hardwareBin;
        int bin;
        bool highSpeed;
        IMG_TYPE type;
        int r301B, r3022, r30D5, r4231, adc, minHMAX, extraLines;
    } cases[] = {
        {false, 1, false, IMG_RAW8, 0, 2, 4, 0x18, 1, 192, 60},
        {false, 1, true, IMG_RAW8, 0, 0, 4, 0x08, 0, 192, 60},
        {true, 2, false, IMG_RAW8, 1, 0, 2, 0x08, 0, 83, 30},
        {true, 4, true, IMG_RAW8, 1, 0, 2, 0x08, 0, 83, 30},
        {false, 2, true, IMG_Y8, 0, 0, 4, 0x08, 0, 192, 60},
        {true, 3, false, IMG_RAW8, 0, 2, 4, 0x18, 1, 192, 60},
        {false, 1, true, IMG_RAW16, 0, 2, 4, 0x18, 1, 192, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.hardwareBin ? "hw " : "") << "bin " << c.bin
                                        << (c.highSpeed ? " high speed" : "") << " type " << c.type);
        ASSERT_EQ(SetHighSpeed(false), KYR_SUCCESS);
        SetHardwareBin(c.hardwareBin);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, c.bin, c.type), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_EQ(SetHighSpeed(c.highSpeed), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x301B), c.r301B);
        EXPECT_EQ(m_dev.sensor(0x3022), c.r3022);
        EXPECT_EQ(m_dev.sensor(0x30D5), c.r30D5);
        EXPECT_EQ(m_dev.sensor(0x4231), c.r4231);
        EXPECT_EQ(m_dev.fpga(10) & 0x01, c.adc);
        EXPECT_EQ(Engine().g_iMinHMAX, c.minHMAX);
        EXPECT_EQ(Engine().g_iExtraLines, c.extraLines);
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs832(), 0x3001, from);
        EXPECT_TRUE(holds.Clean()) << holds.Text();
    }
}

TEST_F(C832GeometryTest, HighSpeedInSixteenBitWithoutSensorBinningChangesNothing) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW16), KYR_SUCCESS);
    kyrsim::clearLog();
    ASSERT_EQ(SetHighSpeed(true), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_TRUE(m_pCam->m_bHighSpeed);
    EXPECT_EQ(m_dev.sensor(0x3022), 2);
}

TEST_F(C832GeometryTest, HardwareBinAtABinWithoutSensorBinningOnlyStoresTheFlag) {
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 3, IMG_RAW8), KYR_SUCCESS);
    kyrsim::clearLog();
    SetHardwareBin(true);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_TRUE(m_pCam->m_bHardwareBin);
    // At a sensor-binned bin an image width that is not a multiple of 8 is refused.
    SetHardwareBin(false);
    ASSERT_EQ(KYRSetROIFormat(0, 1916, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    kyrsim::clearLog();
    EXPECT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_FALSE(m_pCam->m_bHardwareBin);
}

TEST_F(C832GeometryTest, EveryWindowAndModeChangeWritesItsRegistersInsideOneHold) {
    const int from = kyrsim_log_count();
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 13, 17), KYR_SUCCESS);
    SetHardwareBin(true);
    ASSERT_EQ(SetHighSpeed(true), KYR_SUCCESS);
    ASSERT_TRUE(Locked([&] { return m_pCam->SetEnableDDR(false); }));
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 4, IMG_RAW8), KYR_SUCCESS);
    ASSERT_TRUE(Locked([&] { return Engine().StartSensorStreaming(); }));
    ASSERT_TRUE(Locked([&] { return Engine().StopSensorStreaming(); }));
    const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs832(), 0x3001, from);
    EXPECT_TRUE(holds.Clean()) << holds.Text();
    EXPECT_GT(holds.iHolds, 8);
    EXPECT_EQ(m_dev.fpga(10) & 0x40, 0x40);  // DDR bypassed
}

}  // namespace

namespace {

TEST_F(C832GeometryTest, TheHotPixelMapFollowsTheWindowStart) {
    constexpr int kHotX = 300, kHotY = 500;
    {
        CCritSecLock lock(m_pCam->m_csControl);
        m_pCam->m_pHotPixMap[kHotY * 3840 + kHotX] = 1;
        m_pCam->m_bHPCOn = true;
    }
    ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
    const struct { int x, y; } starts[] = {{200, 400}, {296, 496}};
    for (const auto& s : starts) {
        SCOPED_TRACE(testing::Message() << s.x << "," << s.y);
        ASSERT_EQ(KYRSetStartPos(0, s.x, s.y), KYR_SUCCESS);
        CCritSecLock lock(m_pCam->m_csControl);
        EXPECT_EQ(m_pCam->m_iHPCRoiW, 640);
        EXPECT_EQ(m_pCam->m_iHPCRoiH, 480);
        EXPECT_NE(m_pCam->m_pHotPixRoi[(kHotY - s.y) * 640 + (kHotX - s.x)], 0);
    }
}

}  // namespace

// Stored settings reach the 832's registers only through the limits of its
// description: a hostile settings file, and a stored hardware binning on a
// model whose sensor cannot bin.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "SettingsText.h"
#include "test_s832_fixture.h"

namespace {

std::string Val32(const char* name, int32_t v) { return Val(name, 4, Hex32(v)); }

std::string ValByte(const char* name, int v) {
    char text[3];
    snprintf(text, sizeof(text), "%02x", v & 0xFF);
    return Val(name, 3, text);
}

const std::string kHostile = Val32("Exposure", -1) + Val32("Gain", 99999) + Val32("Brightness", -5) +
                             Val32("Fclk", -20000) + Val32("FPSPercentageUSB2", 500) + Val32("WB_Red", 1000) +
                             Val32("WB_Blue", -7) + Val32("AutoGainMax", 99999) + ValByte("HardwareBin", 1) +
                             ValByte("HighSpeed", 1) + ValByte("AutoFPS", 0);

// The 832 with a sensor that cannot bin.
const SDriverDesc& NoSensorBinDesc() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS832MC;
        d.szClassName = "CNoSensorBinCamera";
        for (SSensorBin& sb : d.sensorBin) sb = SSensorBin{0, nullptr};
        return d;
    }();
    return desc;
}

class CNoSensorBinCamera : public CEngineDriver<CCameraBase> {
  public:
    CNoSensorBinCamera() : CEngineDriver(NoSensorBinDesc()) {}
};

TEST_F(C832Test, AHostileSettingsFileLeavesEveryValueInTheModelsRange) {
    WriteSettings("KYR832MC", kHostile);
    ASSERT_NE(Setup(kPid832, false), nullptr);
    EXPECT_EQ(m_pCam->m_iGain, 600);
    EXPECT_EQ(m_pCam->m_iBrightness, 0);
    EXPECT_GE(m_pCam->m_lExpTimeUs, 32u);
    EXPECT_LE(m_pCam->m_lExpTimeUs, 2000000000u);
    EXPECT_EQ(m_pCam->m_iWBRed, 99);
    EXPECT_EQ(m_pCam->m_iWBBlue, 1);
    EXPECT_EQ(m_pCam->m_iFPSPerc, 100);
    EXPECT_FALSE(m_pCam->m_bAutoFPS);
    EXPECT_EQ(m_pCam->m_iFclk, 20000);
    EXPECT_LE(m_pCam->m_iAutoGainMax, 600);
    // The stored modes are the 832's own: hardware binning and high speed.
    EXPECT_TRUE(m_pCam->m_bHardwareBin);
    EXPECT_EQ(m_dev.sensor(0x3022), 0);  // 10-bit high-speed mode at bin 1
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(0x301B), 1);
    EXPECT_EQ(m_dev.fpgaWide(4, 2), 1920);
    EXPECT_EQ(m_dev.sensor(0x3001), 0);
}

TEST_F(C832Test, AModelWithoutSensorBinningIgnoresAStoredHardwareBin) {
    WriteSettings("KYR832MC", kHostile);
    SetCameraConstructorForTest(kPid832, MakeRecordedCamera<CNoSensorBinCamera>);
    ASSERT_NE(Setup(kPid832), nullptr);
    EXPECT_FALSE(m_pCam->m_bHardwareBin);
    EXPECT_FALSE(m_pCam->m_bCapHardwareBin);
    EXPECT_NE(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(m_dev.sensor(0x301B), 0);
    EXPECT_EQ(m_dev.fpgaWide(4, 2), 3840);
    EXPECT_EQ(m_dev.fpgaWide(8, 2), 2160);
    const SReadout r = Engine().Readout();
    EXPECT_EQ(r.iSensorFactor, 1);
    EXPECT_EQ(r.iSoftBin, 2);
}

}  // namespace

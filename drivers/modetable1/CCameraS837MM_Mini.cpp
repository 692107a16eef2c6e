#include "CCameraS837MM_Mini.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/FpgaTimedMono.h"

namespace {

// Start-up table: the published rows, in their order.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x300C, 0x0001}, {0x3010, 0x0081}, {0x3011, 0x000E}, {0x3012, 0x0020},
    {0x3013, 0x0007}, {0x3014, 0x0049}, {0x3015, 0x003B}, {0x3034, 0x0000}, {0x3120, 0x0000},
    {0x3121, 0x0000}, {0x3122, 0x0000}, {0x3123, 0x0000}, {0x3124, 0x0030}, {0x3125, 0x0003},
    {0x3126, 0x0070}, {0x3127, 0x0002}, {0x3200, 0x0020}, {0x3240, 0x0010}, {0x3241, 0x0000},
    {0x3242, 0x0000}, {0x3243, 0x0000}, {0x3510, 0x0000}, {0x3514, 0x0000}, {0x3515, 0x0000},
    {0x35C0, 0x00F0}, {0x35C1, 0x0000}, {0x4928, 0x0001}, {0x3000, 0x0000}, {0x300C, 0x0000},
};

const REG_TABLE_ROW kRowsNormal[] = {{0x3200, 0x0022}};
const REG_TABLE_ROW kRowsHighSpeed[] = {{0x3200, 0x0020}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines
const SSensorMode kModeNormal = {"12-bit", RegTable(kRowsNormal), ADC_12BIT, true, 21, 0, 175, 728};
const SSensorMode kModeHighSpeed = {"10-bit", RegTable(kRowsHighSpeed), ADC_10BIT, true, 21, 0, 340, 728};

// Gain in 0.1 dB steps: the high conversion gain takes over above 14.5 dB.
SGainCode GainMap837(int iGain) { return LinearGainCode(iGain, SLinearGainLaw{600, 146, 145, 1}); }

SDriverDesc Desc837() {
    SDriverDesc d = FpgaTimedMonoDesc();
    d.szClassName = "CCameraS837MM_Mini";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR842MM Mini";
    m.szShortName = "KYR842MM-Mini";
    m.iPID = 0x8379;
    m.dPixelSize = 9.0;
    m.iMaxWidth = 816;
    m.iMaxHeight = 624;
    m.iGainMax = 600;
    m.iAutoGainMax = 300;
    m.fElecPerADU = 23.15f;
    m.iOffsetHighestDR = 1;
    m.iOffsetUnityGain = 4;
    m.iOffsetLowestRN = 10;
    m.iUnityGain = 272;
    m.iGainLowestRN = 385;
    m.usHMAX = 175;
    d.initTable = RegTable(kInitTable);
    d.pModeNormal = &kModeNormal;
    d.pModeHighSpeed = &kModeHighSpeed;
    d.timingInit.iMinHMAX = 175;
    d.timingInit.iExtraLines = 728;
    d.iHeightAlign = 8;
    d.gain.fnMap = GainMap837;
    d.exposure.iVMAXBase = 744;
    // No DDR buffer: the line length alone paces the sensor to the link, and
    // a long exposure is programmed as it is.
    m.bDDREnable = false;
    d.bDDRTest = false;
    d.bHasDDR = false;
    d.bandwidth.bFPGABandWidth = false;
    d.exposure.eLongProgram = LONG_EXP_EXPOSURE;
    d.exposure.uLongPadUs = 0;
    return d;
}

}  // namespace

const SDriverDesc g_DescS837MM_Mini = Desc837();

CCameraS837MM_Mini::CCameraS837MM_Mini() : CEngineDriver(g_DescS837MM_Mini) {}

namespace {
const CEngineRegistrar<CCameraS837MM_Mini> kRegistrar("CCameraS837MM_Mini", g_DescS837MM_Mini);
}  // namespace

#include "CCameraS807MM.h"

#include "ModelFactory.h"

namespace {

// The published rows of the 807's tables, in their order.
const REG_TABLE_ROW kCommonRows[] = {
    {0x3033, 0x0010}, {0x303C, 0x0003}, {REG_TABLE_DELAY, 20}, {0x3111, 0x0000}, {0x31E8, 0x00E0},
};
const REG_TABLE_ROW kFirstRows[] = {{0x3033, 0x0010}, {0x303C, 0x0003}};
const REG_TABLE_ROW kNormalRows[] = {{0x3005, 0x0006}};
const REG_TABLE_ROW kHighSpeedRows[] = {{0x3005, 0x0001}};
const REG_TABLE_ROW kBinNormalRows[] = {{0x3004, 0x0000}, {0x3005, 0x000B}};
const REG_TABLE_ROW kBinHighSpeedRows[] = {{0x3005, 0x0006}};
const REG_TABLE_ROW kStreamStartRows[] = {
    {0x3033, 0x0010},      {0x303C, 0x0003}, {0x3000, 0x0012},      {0x310B, 0x0000},
    {REG_TABLE_DELAY, 15}, {0x3000, 0x0002}, {0x35E5, 0x009A},      {0x3000, 0x0000},
    {REG_TABLE_DELAY, 10}, {0x3033, 0x0010}, {REG_TABLE_DELAY, 50},
};
const REG_TABLE_ROW kStandbyRows[] = {{0x3000, 0x0001}};
// Pixel offsets of the binned hot-pixel map and dark frame, rows 2 and 4 (bins 2 and 4) and row 3.
const SPresetByte kPresetBytes[] = {
    {32, 0}, {33, 3}, {34, 0}, {35, 2}, {48, 0}, {49, 0},
    {50, 0}, {51, 0}, {64, 0}, {65, 3}, {66, 0}, {67, 2},
};
const REG_TABLE_ROW kCropEnableRows[] = {{0x3035, 0x0001}, {0x30DD, 0x0001}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset,
// common rows. The binning modes' line is of 740 clocks at least, whatever the speed.
const SSensorMode kModeNormal = {"normal", RegTable(kNormalRows), ADC_12BIT, true, 4, 48, 752, 172, 0, 12, 4,
                                 0,        RegTable(kCommonRows)};
const SSensorMode kModeNormal16 = {
    "normal 16", RegTable(kNormalRows), ADC_10BIT, true, 4, 48, 752, 172, 0, 12, 4, 0, RegTable(kCommonRows)};
const SSensorMode kModeHighSpeed = {
    "high speed",         RegTable(kHighSpeedRows), ADC_10BIT, true, 4, 48, 600, 172, 0, 12, 4, 0,
    RegTable(kCommonRows)};
const SSensorMode kModeBin = {"binning", RegTable(kBinNormalRows), ADC_12BIT, true, 2, 48, 740, 18, 0, 12, 4,
                              0,         RegTable(kCommonRows)};
const SSensorMode kModeBinHighSpeed = {
    "binning high speed", RegTable(kBinHighSpeedRows), ADC_10BIT, true, 2, 48, 740, 18, 0, 12, 4, 0,
    RegTable(kCommonRows)};

SDriverDesc Desc807() {
    SDriverDesc d{};
    d.szClassName = "CCameraS807MM";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR811MM";
    m.szShortName = "KYR811MM";
    m.iPID = 0x811a;
    m.iVID = 0x2e7b;
    m.dPixelSize = 2.315;
    m.iADCBits = 12;
    m.iMaxExpUs = 2000000000;
    m.iBayer = 0;
    m.bColor = false;
    m.iBandwidthMin = 40;
    m.iBandwidthMax = 100;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iGainMax = 570;
    m.iGainMin = 0;
    m.iGainDef = 200;
    m.iExpMax = 2000000000;
    m.iExpMin = 32;
    m.iExpDef = 10000;
    m.iGammaMax = 100;
    m.iGammaMin = 1;
    m.iGammaDef = 50;
    m.iHeaterLevel = 1;
    m.iAutoGainMax = 285;
    m.iOffsetHighestDR = 2;
    m.iOffsetUnityGain = 6;
    m.iUnityGain = 120;
    m.iGainLowestRN = 390;
    m.iOffsetLowestRN = 30;
    m.bUSB3Camera = true;
    m.bCapAutoBandWidth = true;
    m.iMaxWidth = 8288;
    m.iMaxHeight = 5644;
    m.bFPGAMonoBin = false;
    m.fElecPerADU = 3.99f;
    m.iOffsetDef = 8;
    m.iOffsetMax = 80;
    m.iOffsetMin = 0;
    m.bCapGain = m.bCapExposure = m.bCapOffset = m.bCapBandWidth = true;
    m.bCapTemperature = m.bCapHighSpeed = true;
    m.bCapRaw8 = m.bCapRaw16 = true;
    m.iST4 = 1;
    m.bAutoFPS = true;
    m.bDDREnable = false;
    m.iFclk = 20000;
    m.iFPSPerc = 80;
    m.iFPSPercUSB3Def = 80;
    m.usHMAX = 752;

    d.hold = {true, 0x302B, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    d.initTable = RegTable(kCommonRows);
    d.iFPGAReg26 = -1;
    d.iCoolingLevel = -1;
    d.pModeNormal = &kModeNormal;
    d.pModeNormal16 = &kModeNormal16;
    d.pModeHighSpeed = &kModeHighSpeed;
    d.sensorBin[2] = {2, &kModeBin};
    d.sensorBin[4] = {2, &kModeBin};
    d.timingInit = {4, 48, 752, 172, 43272};
    d.modeAfterRows = RegTable(kStandbyRows);
    d.iAlignX = 12;
    d.iAlignY = 4;
    d.bNoFPGADataLen = true;
    d.streamStartRows = RegTable(kStreamStartRows);
    d.streamStopRows = RegTable(kStandbyRows);
    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 396000;
    d.iUSBBandwidthUSB2 = 43272;
    d.offset = {0x3042, 1};
    d.exposure.ullLongFromUs = 1000000;
    d.bandwidth.iHostUSB3 = 396000;
    d.bandwidth.iHostUSB2 = 43272;
    d.bandwidth.iAutoPercUSB3 = 80;
    d.bandwidth.iAutoPercUSB2 = 80;
    d.bandwidth.iHMAXMax = 65535;
    return d;
}

SCropSensorDesc Crop807() {
    SCropSensorDesc c{};
    c.pPresetBytes = kPresetBytes;
    c.iPresetBytes = static_cast<int>(sizeof(kPresetBytes) / sizeof(kPresetBytes[0]));
    c.initFirstRows = RegTable(kFirstRows);
    c.pModeBinHighSpeed = &kModeBinHighSpeed;
    // extra rows, line divisor, VBLK, min HMAX used, position divisor, crop, VMAX rows / divisor, long
    // shutter line, exposure scale, blanking base, rate rows / divisor, crop mode.
    c.full = {172, 1, 4, 0, 4, {12, 12, 96, 8432, 8384, 48}, 196, 1, 15, 1.0, 5706, 220, 1, 0x0B};
    c.binning = {18, 2, 2, 740, 8, {24, 12, 48, 3880, 3872, 8}, 66, 2, 5, 0.5, 1466, 66, 2, 0x00};
    c.usRegCropStart = 0x3036;
    c.usRegCropEnd = 0x3038;
    c.usRegPos = 0x30E0;
    c.usRegCut = 0x30DE;
    c.usRegCropMode = 0x30E2;
    c.cropEnableRows = RegTable(kCropEnableRows);
    c.iCutRowsFull = 5644;
    c.iCutRowsBin = 2822;
    c.iCutMinRows = 1411;
    c.iCutDefault = 352;
    c.usRegRowsA = 0x3130;
    c.usRegRowsB = 0x3132;
    c.iRowsAOffset = 62;
    c.iRowsBOffset = 46;
    c.iFPGAHBLK = 48;
    c.usRegConvGain = 0x3092;
    c.usRegAnalog = 0x300A;
    c.usRegDigital = 0x3012;
    c.iConvGainAt = 120;
    c.iAnalogTopFull = 270;
    c.iAnalogTopBin = 390;
    c.iDigitalStep = 60;
    c.dExposureOffsetUs = 13.73;
    c.usRegSHR = 0x302C;
    c.usRegsBlanking[0] = 0x332C;
    c.usRegsBlanking[1] = 0x334A;
    c.usRegsBlanking[2] = 0x35B6;
    c.usRegsBlanking[3] = 0x36BC;
    c.usRegBlankingLess5 = 0x35B8;
    c.uBlankingOutside = 255;
    c.uBlankingMax = 65534;
    c.uVMAXMax = 0xFFFFF;
    c.ullLongFromUs = 1000000;
    // Without the DDR buffer a USB 2 camera times exposures up to 2 s itself.
    c.ullLongFromUsUSB2 = 2000000;
    c.iLongPadUs = -1;
    c.llCapPixels = 11694368;
    c.iCapFull = 93;
    c.iCapBin = 79;
    c.iCapBinUSB2 = 55;
    c.dLineLengthFactor = 3.6;
    c.iLineLengthOffset = 494;
    c.iLineLengthMax = 65534;
    c.usRegLineLengthA = 0x3084;
    c.usRegLineLengthB = 0x3086;
    c.dRateClock = 72000000.0;
    return c;
}

}  // namespace

const SDriverDesc g_DescS807MM = Desc807();
const SCropSensorDesc g_CropS807MM = Crop807();

CCameraS807MM::CCameraS807MM() : CCropSensorDriver(g_DescS807MM, g_CropS807MM) {}

namespace {
CCameraBase* Create() { return new CCameraS807MM(); }
const CModelRegistrar kRegistrar("CCameraS807MM", Create);
}  // namespace

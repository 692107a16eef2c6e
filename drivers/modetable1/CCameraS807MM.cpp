#include "CCameraS807MM.h"

#include "engine/EngineRegistrar.h"

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

// extra rows, line divisor, VBLK, min HMAX used, position divisor, crop, VMAX rows / divisor, long
// shutter line, exposure scale, blanking base, rate rows / divisor, crop mode, long VMAX, binning.
const SCropModeTiming kFull = {172, 1, 4, 0, 4, {12, 12, 96, 8432, 8384, 48}, 196, 1, 15, 1.0, 5706, 220, 1, 0x0B};
const SCropModeTiming kBinning = {18, 2, 2, 740, 8, {24, 12, 48, 3880, 3872, 8}, 66, 2, 5, 0.5, 1466, 66, 2, 0x00,
                                  0,  true};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset,
// common rows, and the mode's kind. The binning modes' line is of 740 clocks at least, whatever the
// speed.
SSensorMode Mode(const char* szName, SRegTable rows, ADC_BIT eAdc, int iMinHMAX, const SCropModeTiming& kind) {
    const bool bin = kind.bBinning;
    SSensorMode m = {szName, rows, eAdc, true, bin ? 2 : 4, 48, iMinHMAX, bin ? 18 : 172, 0, 12, 4, 0,
                     RegTable(kCommonRows)};
    m.pCropTiming = &kind;
    return m;
}
const SSensorMode kModeNormal = Mode("normal", RegTable(kNormalRows), ADC_12BIT, 752, kFull);
const SSensorMode kModeNormal16 = Mode("normal 16", RegTable(kNormalRows), ADC_10BIT, 752, kFull);
const SSensorMode kModeHighSpeed = Mode("high speed", RegTable(kHighSpeedRows), ADC_10BIT, 600, kFull);
const SSensorMode kModeBin = Mode("binning", RegTable(kBinNormalRows), ADC_12BIT, 740, kBinning);
const SSensorMode kModeBinHighSpeed =
    Mode("binning high speed", RegTable(kBinHighSpeedRows), ADC_10BIT, 740, kBinning);

// Long exposures: the wait mode first each pass, 10 ms steps to 350 ms
// before the end, the sync stopped after 80 steps, 200 ms after low power
// goes off, 1000 ms for a frame sent again.
const CCropLongExpScript kLongExp({true, 10, 350, 80, 200, 1000, "Begin long exp %dms\n"});

SDriverDesc Desc807() {
    SDriverDesc d{};
    d.szClassName = "CCameraS807MM";
    SModelConstants& m = d.model;
    m = CropSensorModelConstants();
    m.szName = "VORN KYR811MM";
    m.szShortName = "KYR811MM";
    m.iPID = 0x811a;
    m.dPixelSize = 2.315;
    m.bColor = false;
    m.iWBMax = m.iWBMin = 0;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iMaxWidth = 8288;
    m.iMaxHeight = 5644;
    m.bCapRGB24 = m.bCapY8 = false;
    m.usHMAX = 752;

    ApplyCropSensorFamily(&d, &g_CropS807MM);
    d.firstRows = RegTable(kFirstRows);
    d.initTable = RegTable(kCommonRows);
    d.pPresetBytes = kPresetBytes;
    d.iPresetBytes = static_cast<int>(sizeof(kPresetBytes) / sizeof(kPresetBytes[0]));
    d.pModeNormal = &kModeNormal;
    d.pModeNormal16 = &kModeNormal16;
    // High speed at any data width; binned, 8-bit data only.
    d.pModeHighSpeed = &kModeHighSpeed;
    d.pModeHighSpeed16 = &kModeHighSpeed;
    d.sensorBin[2] = {2, &kModeBin, &kModeBinHighSpeed};
    d.sensorBin[4] = {2, &kModeBin, &kModeBinHighSpeed};
    // Without the DDR buffer a USB 2 camera times exposures up to 2 s itself.
    d.exposure.ullLongFromUsUSB2 = 2000000;
    d.timingInit = {4, 48, 752, 172, 43272};
    d.modeAfterRows = RegTable(kStandbyRows);
    d.streamStartRows = RegTable(kStreamStartRows);
    d.streamStopRows = RegTable(kStandbyRows);
    d.initEndRows = RegTable(kStandbyRows);
    d.pLongExp = &kLongExp.Script();
    // One frame per soft or external trigger, edge or level.
    m.bTriggerCam = true;
    d.capture.bTriggerCapture = true;
    return d;
}

SCropSensorDesc Crop807() {
    SCropSensorDesc c = CropSensorFamily();
    c.usRegCropMode = 0x30E2;
    c.iCutRowsFull = 5644;
    c.llCapPixels = 11694368;
    c.iCapFull = 93;
    c.iCapBin = 79;
    c.iCapBinUSB2 = 55;
    c.iLineLengthOffset = 494;
    return c;
}

}  // namespace

const SCropSensorDesc g_CropS807MM = Crop807();
const SDriverDesc g_DescS807MM = Desc807();
const SSensorMode* const g_pModeS807BinHighSpeed = &kModeBinHighSpeed;

CCameraS807MM::CCameraS807MM() : CEngineDriver(g_DescS807MM) {}

namespace {
const CEngineRegistrar<CCameraS807MM> kRegistrar("CCameraS807MM", g_DescS807MM);
}  // namespace

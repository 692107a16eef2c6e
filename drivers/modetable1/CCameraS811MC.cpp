#include "CCameraS811MC.h"

#include <limits.h>

#include "engine/EngineRegistrar.h"

namespace {

// The published rows of the 811's tables, in their order.
const REG_TABLE_ROW kInitRows[] = {
    {0x3033, 0x0010}, {0x303C, 0x0002}, {REG_TABLE_DELAY, 20}, {0x3111, 0x0000}, {0x31E8, 0x00F0},
};
const REG_TABLE_ROW kFirstRows[] = {{0x3033, 0x0010}, {0x303C, 0x0002}};
const REG_TABLE_ROW kNormalRows[] = {{0x3004, 0x0000}, {0x3005, 0x000B}};
const REG_TABLE_ROW kHighSpeedRows[] = {{0x3004, 0x0000}, {0x3005, 0x0006}, {0x3006, 0x0000}, {0x3007, 0x00A0}};
const REG_TABLE_ROW kStreamStartRows[] = {
    {0x3033, 0x0010},      {0x303C, 0x0002}, {0x3000, 0x0012},      {0x310B, 0x0000},
    {REG_TABLE_DELAY, 15}, {0x3000, 0x0002}, {0x35E5, 0x009A},      {0x3000, 0x0000},
    {REG_TABLE_DELAY, 10}, {0x3033, 0x0010}, {REG_TABLE_DELAY, 50},
};
const REG_TABLE_ROW kStandbyRows[] = {{0x3000, 0x0001}};

// The sensor reads in its binning mode at all times: every bin is binned in
// software. Extra rows, line divisor, VBLK, min HMAX used (the mode's),
// position divisor, crop, VMAX rows / divisor, long shutter line, exposure
// scale, blanking base, rate rows / divisor, crop mode (not written), long
// VMAX lines + 15, binning.
const SCropModeTiming kBinning = {18, 2, 2, 0, 4, {12, 12, 48, 3880, 3872, 8}, 66, 2, 5, 0.5, 1466, 66, 2, 0x00,
                                  15, true};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines. High
// speed runs 8-bit data only.
SSensorMode Mode(const char* szName, SRegTable rows, ADC_BIT eAdc, int iMinHMAX) {
    SSensorMode m = {szName, rows, eAdc, true, 2, 48, iMinHMAX, 18};
    m.pCropTiming = &kBinning;
    return m;
}
const SSensorMode kModeNormal = Mode("normal", RegTable(kNormalRows), ADC_12BIT, 852);
const SSensorMode kModeHighSpeed = Mode("high speed", RegTable(kHighSpeedRows), ADC_10BIT, 729);

// Long exposures: the trigger mode first each pass, 100 ms steps to 300 ms
// before the end, the sync stopped after 6 steps, 50 ms after low power goes
// off.
const CCropLongExpScript kLongExp({false, 100, 300, 6, 50, 0, "Begin long exp %d\n"});

SDriverDesc Desc811() {
    SDriverDesc d{};
    d.szClassName = "CCameraS811MC";
    SModelConstants& m = d.model;
    m = CropSensorModelConstants();
    m.szName = "VORN KYR811MC";
    m.szShortName = "KYR811MC";
    m.iPID = 0x811b;
    m.dPixelSize = 4.63;
    m.iADCBits = 14;
    m.iWBRDef = 52;
    m.iWBBDef = 95;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iMaxWidth = 4144;
    m.iMaxHeight = 2822;
    m.usHMAX = 852;

    ApplyCropSensorFamily(&d, &g_CropS811MC);
    d.firstRows = RegTable(kFirstRows);
    d.initTable = RegTable(kInitRows);
    d.pModeNormal = &kModeNormal;
    d.pModeHighSpeed = &kModeHighSpeed;
    d.timingInit = {2, 48, 852, 18, 43272};
    d.modeAfterRows = RegTable(kStandbyRows);
    d.streamStartRows = RegTable(kStreamStartRows);
    d.streamStopRows = RegTable(kStandbyRows);
    d.initEndRows = RegTable(kStandbyRows);
    // Bins are software bins: the mode follows the image type alone.
    d.bModeFollowsType = true;
    // The USB-limited line is counted in the binned sensor's half lines.
    d.bandwidth.dLineTimeFactor = 2.0;
    d.pLongExp = &kLongExp.Script();
    return d;
}

SCropSensorDesc Crop811() {
    SCropSensorDesc c = CropSensorFamily();
    // The crop end's two low bits are written cleared.
    c.ucCropEndLowMask = 0xFC;
    // No link caps on the percentage.
    c.llCapPixels = LLONG_MAX;
    c.iCapFull = c.iCapBin = c.iCapBinUSB2 = 100;
    return c;
}

}  // namespace

const SCropSensorDesc g_CropS811MC = Crop811();
const SDriverDesc g_DescS811MC = Desc811();

CCameraS811MC::CCameraS811MC() : CEngineDriver(g_DescS811MC) {}

namespace {
const CEngineRegistrar<CCameraS811MC> kRegistrar("CCameraS811MC", g_DescS811MC);
}  // namespace

#include "CCameraS815MC.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/StartRegFamily.h"

namespace {

// Start-up table: the published rows, with the only two delay rows.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x3002, 0x0001},      {0x3004, 0x0004}, {0x3004, 0x0000},
    {0x3E04, 0x000E}, {REG_TABLE_DELAY, 20}, {0x3000, 0x0000}, {REG_TABLE_DELAY, 20},
};

const REG_TABLE_ROW kModeBin2x2Rows[] = {
    {0x3018, 0x0001}, {0x3199, 0x0030}, {0x31DD, 0x0004}, {0x3300, 0x0001}};
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x3018, 0x0004}, {0x3199, 0x0000}, {0x31DD, 0x0003}, {0x3300, 0x0000}};
const REG_TABLE_ROW kMode10BitRows[] = {{0x3018, 0x0004}};

// The FPGA's HBLK of every mode.
constexpr int kHBLK = 8;

const SSensorMode kModeBin2x2 = {.szName = "bin 2x2",
                                 .regs = RegTable(kModeBin2x2Rows),
                                 .eAdc = ADC_12BIT,
                                 .bOut16FromType = true,
                                 .iVBLK = 12,
                                 .iHBLK = kHBLK,
                                 .iMinHMAX = 213,
                                 .iExtraLines = 42};
const SSensorMode kMode12Bit = {.szName = "12-bit",
                                .regs = RegTable(kMode12BitRows),
                                .eAdc = ADC_12BIT,
                                .bOut16FromType = true,
                                .iVBLK = 0,
                                .iHBLK = kHBLK,
                                .iMinHMAX = 213,
                                .iExtraLines = 56};
const SSensorMode kMode10Bit = {.szName = "10-bit",
                                .regs = RegTable(kMode10BitRows),
                                .eAdc = ADC_10BIT,
                                .bOut16FromType = true,
                                .iVBLK = 0,
                                .iHBLK = kHBLK,
                                .iMinHMAX = 213,
                                .iExtraLines = 56};

const SStartWindowRule kWindow = [] {
    SStartWindowRule r = StartRegFamilyWindow();
    r.iAddX = 48;   // a start past the first column counts from it
    r.iAlignY = 2;  // the vertical start moves in row pairs
    r.iEndMax = 4640;
    return r;
}();

// Each long pass switches the FPGA's wait and trigger modes on itself;
// setting a long exposure only marks long mode.
const SLongExpAction kArmEachPass[] = {
    {LONG_OP_WAIT_MODE, 1, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_MODE, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpScript kLongExp = [] {
    SLongExpScript s = g_LongExpTemplate;
    s.everyPass = LongExpActions(kArmEachPass);
    return s;
}();

SDriverDesc MakeDesc() {
    SDriverDesc d = StartRegFamilyDesc();
    d.szClassName = "CCameraS815MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR815MC";
    m.szShortName = "KYR815MC";
    m.iPID = 0x815b;
    m.iMaxWidth = 3840;
    m.iMaxHeight = 2160;
    SetModelBins(m, {2, 3, 4});
    m.iST4 = 1;
    m.bDDREnable = false;
    m.usHMAX = 213;
    d.initTable = RegTable(kInitTable);
    d.bDDRTest = false;
    d.bHasDDR = false;
    d.pModeNormal = &kMode12Bit;
    d.pModeHighSpeed = &kMode10Bit;
    d.sensorBin[2] = {2, &kModeBin2x2};
    d.sensorBin[4] = {2, &kModeBin2x2};
    d.eHighSpeed16 = HS16_STORED;
    d.timingInit = {0, kHBLK, 213, 56, 381000};
    d.eWindow = WINDOW_START_REGS;
    d.pStartWindow = &kWindow;
    SExposureRule& e = d.exposure;
    e.iMinSHR = 5;
    e.iExpLinesGap = 5;
    // The sensor starts counting an exposure this long after its shutter line.
    e.dOffsetUs = 2.303;
    e.dOffsetUsHighSpeed = 1.468;
    e.bLongModeArmedByCapture = true;
    d.pLongExp = &kLongExp;
    d.bandwidth.bFPGABandWidth = true;
    return d;
}

}  // namespace

const SDriverDesc g_DescS815MC = MakeDesc();

CCameraS815MC::CCameraS815MC() : CEngineDriver(g_DescS815MC) {}

namespace {
const CEngineRegistrar<CCameraS815MC> kRegistrar("CCameraS815MC", g_DescS815MC);
}  // namespace

#include "CCameraS825MC.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/StartRegFamily.h"

namespace {

// Start-up table: the published rows, without delay rows. Its 0x3001 = 0
// releases the hold InitCamera sets around it.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x3001, 0x0000}, {0x3002, 0x0001}, {0x300C, 0x005B}, {0x300D, 0x0040},
    {0x3058, 0x0083}, {0x3059, 0x0004}, {0x30BE, 0x005E}, {0x3A20, 0x003F}, {0x3A22, 0x006F},
    {0x3A24, 0x003F}, {0x3A26, 0x005F}, {0x3A28, 0x002F}, {0x3000, 0x0000},
};
// Written by code after the table: the normal readout's values.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x3018, 0x0004}, {0x3050, 0x0001}, {0x319D, 0x0001}};

// The two modes differ in two registers only.
const REG_TABLE_ROW kModeNormalRows[] = {{0x3018, 0x0004}, {0x3050, 0x0001}, {0x319D, 0x0001}};
const REG_TABLE_ROW kModeHighSpeedRows[] = {{0x3018, 0x0004}, {0x3050, 0x0000}, {0x319D, 0x0000}};
// Stopping the stream also puts the sensor's master mode back.
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}, {0x3004, 0x0004}};

// The sensor counts 56 lines beyond the readout in both modes, and the FPGA
// adds no blanking.
constexpr int kExtraLines = 56;
constexpr int kMinHMAX = 404;

const SSensorMode kModeNormal = {.szName = "normal",
                                 .regs = RegTable(kModeNormalRows),
                                 .eAdc = ADC_12BIT,
                                 .bOut16FromType = true,
                                 .iVBLK = 0,
                                 .iHBLK = 0,
                                 .iMinHMAX = kMinHMAX,
                                 .iExtraLines = kExtraLines};
const SSensorMode kModeHighSpeed = {.szName = "high speed",
                                    .regs = RegTable(kModeHighSpeedRows),
                                    .eAdc = ADC_10BIT,
                                    .bOut16FromType = true,
                                    .iVBLK = 0,
                                    .iHBLK = 0,
                                    .iMinHMAX = kMinHMAX / 2,
                                    .iExtraLines = kExtraLines};

// The sensor takes its start column and row themselves with offsets 36 and
// 60, and its window as the readout's columns and rows + 22; no end or
// top-skip rows.
const SStartWindowRule kWindow = [] {
    SStartWindowRule r = StartRegFamilyWindow();
    r.usRegStartY2 = 0;
    r.usRegTopSkip = 0;
    r.usRegTopSkipMode = 0;
    r.usRegEnd = 0;
    r.usRegRows[1] = 0;
    r.usRegRows[2] = 0;
    r.iFirstX = 0;
    r.iStepX = 1;
    r.iAddX = 36;
    r.iFirstY = 0;
    r.iScaleY = 1;
    r.iAddY = 60;
    r.iWidthStep = 1;
    r.iWidthPad = 0;
    r.iRowsAdd = 22;
    return r;
}();

SGainCode GainCode825(int iGain) {
    // High conversion gain from 80 (8 dB) on, the code counting from there.
    return LinearGainCode(iGain, SLinearGainLaw{600, 80, 80, 3});
}

// Up to about a second one sleep 200 ms short of the exposure; longer, the
// wait runs in 100 ms steps to the whole exposure, low power from step 6 and
// the XHS stop from step 8.
const SLongExpStep kLongSteps[] = {
    {6, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
    {8, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_ALWAYS}},
};
const SLongExpScript kLongExp = [] {
    SLongExpScript s = g_LongExpTemplate;
    s.uOneSleepLeadUs = 200000;
    s.uStepMs = 100;
    s.uStepLeadMs = 0;
    s.pSteps = kLongSteps;
    s.iSteps = sizeof(kLongSteps) / sizeof(kLongSteps[0]);
    return s;
}();

SDriverDesc MakeDesc() {
    SDriverDesc d = StartRegFamilyDesc();
    d.szClassName = "CCameraS825MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR825MC";
    m.szShortName = "KYR825MC";
    m.iPID = 0x825b;
    m.iMaxWidth = 2712;
    m.iMaxHeight = 1536;
    m.dPixelSize = 2.9;
    m.fElecPerADU = 2.525f;
    m.iOffsetHighestDR = 5;
    m.iOffsetUnityGain = 10;
    m.iUnityGain = 80;
    m.iGainLowestRN = 380;
    m.iOffsetLowestRN = 30;
    SetModelBins(m, {2});
    m.iST4 = 1;
    m.bDDREnable = false;
    m.usHMAX = kMinHMAX;
    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.bDDRTest = false;
    d.bHasDDR = false;
    d.pModeNormal = &kModeNormal;
    d.pModeHighSpeed = &kModeHighSpeed;
    d.timingInit = {0, 0, kMinHMAX, kExtraLines, 381000};
    d.eWindow = WINDOW_START_REGS;
    d.pStartWindow = &kWindow;
    StartRegOwnFrameLength(d);
    d.iAlignX = 12;
    d.iAlignY = 4;
    d.fnStartLaw = ClampThenAlignStart;
    d.streamStopRows = RegTable(kStreamStopRows);
    d.gain = {GainCode825, 0x3019, 0x30E8, 2};
    SExposureRule& e = d.exposure;
    e.iMinSHR = 6;
    e.iExpLinesGap = 6;
    d.pLongExp = &kLongExp;
    return d;
}

}  // namespace

const SDriverDesc g_DescS825MC = MakeDesc();

CCameraS825MC::CCameraS825MC() : CEngineDriver(g_DescS825MC) {}

namespace {
const CEngineRegistrar<CCameraS825MC> kRegistrar("CCameraS825MC", g_DescS825MC);
}  // namespace

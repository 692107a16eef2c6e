#include "CCameraS801MC.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/StartRegFamily.h"

namespace {

// Start-up table: the published rows, with the only two delay rows.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x3002, 0x0001}, {0x3004, 0x0004},      {0x3004, 0x0000}, {0x300C, 0x005B},
    {0x300D, 0x0040}, {0x3E04, 0x000E}, {REG_TABLE_DELAY, 20}, {0x3000, 0x0000}, {REG_TABLE_DELAY, 20},
};

const REG_TABLE_ROW kModeHardwareBinRows[] = {
    {0x3018, 0x0004}, {0x3050, 0x0000}, {0x341C, 0x00FF}, {0x341D, 0x0001}, {0x319D, 0x0001}};
const REG_TABLE_ROW kModeHighSpeedRows[] = {
    {0x3018, 0x0004}, {0x3050, 0x0000}, {0x341C, 0x00FF}, {0x341D, 0x0001}, {0x319D, 0x0000}};
const REG_TABLE_ROW kModeNormalRows[] = {
    {0x3018, 0x0004}, {0x3050, 0x0001}, {0x341C, 0x0047}, {0x341D, 0x0000}, {0x319D, 0x0001}};

// The FPGA's HBLK of every mode.
constexpr int kHBLK = 8;

const SSensorMode kModeHardwareBin = {.szName = "hardware bin",
                                      .regs = RegTable(kModeHardwareBinRows),
                                      .eAdc = ADC_12BIT,
                                      .bOut16FromType = true,
                                      .iVBLK = 12,
                                      .iHBLK = kHBLK,
                                      .iMinHMAX = 282,
                                      .iExtraLines = 42};
const SSensorMode kModeHighSpeed = {.szName = "high speed",
                                    .regs = RegTable(kModeHighSpeedRows),
                                    .eAdc = ADC_10BIT,
                                    .bOut16FromType = true,
                                    .iVBLK = 4,
                                    .iHBLK = kHBLK,
                                    .iMinHMAX = 282,
                                    .iExtraLines = 2072};
const SSensorMode kModeNormal = {.szName = "normal",
                                 .regs = RegTable(kModeNormalRows),
                                 .eAdc = ADC_12BIT,
                                 .bOut16FromType = true,
                                 .iVBLK = 4,
                                 .iHBLK = kHBLK,
                                 .iMinHMAX = 155,
                                 .iExtraLines = 2072};

const SStartWindowRule kWindow = [] {
    SStartWindowRule r = StartRegFamilyWindow();
    r.iEndMax = 4172;
    // The row registers take (readout rows + 4) x 2.
    r.iRowsAdd = 4;
    r.iRowsMul = 2;
    return r;
}();

// A long exposure of up to about a second sleeps once, 200 ms short of it.
const SLongExpScript kLongExp = [] {
    SLongExpScript s = g_LongExpTemplate;
    s.uOneSleepLeadUs = 200000;
    return s;
}();

SDriverDesc MakeDesc() {
    SDriverDesc d = StartRegFamilyDesc();
    d.szClassName = "CCameraS801MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR801MC";
    m.szShortName = "KYR801MC";
    m.iPID = 0x801b;
    m.iMaxWidth = 2616;
    m.iMaxHeight = 1960;
    SetModelBins(m, {2});
    m.iST4 = 1;
    m.bDDREnable = false;
    m.usHMAX = 155;
    d.initTable = RegTable(kInitTable);
    d.bDDRTest = false;
    d.bHasDDR = false;
    d.pModeNormal = &kModeNormal;
    d.pModeHighSpeed = &kModeHighSpeed;
    // Bin 2 with hardware binning: the sensor's timing changes, the frame does not.
    d.sensorBin[2] = {1, &kModeHardwareBin};
    d.timingInit = {4, kHBLK, 155, 2072, 381000};
    d.eWindow = WINDOW_START_REGS;
    d.pStartWindow = &kWindow;
    StartRegOwnFrameLength(d);
    SExposureRule& e = d.exposure;
    e.iMinSHR = 9;
    e.iHardwareBinMinSHR = 17;
    e.iExpLinesGap = 6;
    d.pLongExp = &kLongExp;
    return d;
}

}  // namespace

const SDriverDesc g_DescS801MC = MakeDesc();

CCameraS801MC::CCameraS801MC() : CEngineDriver(g_DescS801MC) {}

namespace {
const CEngineRegistrar<CCameraS801MC> kRegistrar("CCameraS801MC", g_DescS801MC);
}  // namespace

#include "CCameraS817MC.h"

#include "api/ModelFactory.h"

namespace {

// Start-up table: the 9 published rows of the sensor's table, in order.
const REG_TABLE_ROW kInitTable[] = {
    {0x3014, 0x0001}, {0x3015, 0x0005}, {0x30A4, 0x00A0}, {0x3460, 0x0021}, {0x3B00, 0x0039},
    {0x3C38, 0x0021}, {0x3409, 0x0000}, {0x340B, 0x0000}, {0x3458, 0x0000},
};

// Written after the start-up table, in the same hold.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x3018, 0x0014}, {0x301B, 0x0000}, {0x3022, 0x0001}, {0x3023, 0x0001},
};

const REG_TABLE_ROW kModeBin2x2Rows[] = {
    {0x301B, 0x0001}, {0x3022, 0x0000}, {0x3023, 0x0001}, {0x3C38, 0x0023}};
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x301B, 0x0000}, {0x3022, 0x0001}, {0x3023, 0x0001}, {0x3C38, 0x0021}};
const REG_TABLE_ROW kMode10BitRows[] = {
    {0x301B, 0x0000}, {0x3022, 0x0000}, {0x3023, 0x0001}, {0x3C38, 0x0023}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines
const SSensorMode kModeBin2x2 = {"bin 2x2", RegTable(kModeBin2x2Rows), ADC_10BIT, true, 2, 0, 163, 30};
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 2, 0, 230, 60};
const SSensorMode kMode10Bit = {"10-bit", RegTable(kMode10BitRows), ADC_10BIT, false, 2, 0, 163, 60};

// Gain in 0.1 dB steps: high conversion gain from the unity gain on, where
// the analog code starts again 15 dB lower.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 252, .iHighOffset = 150, .iStep = 3};
SGainCode GainMap(int iGain) { return LinearGainCode(iGain, kGainLaw); }

SDriverDesc Desc817() {
    SDriverDesc d = TemplateDriverDesc();
    d.szClassName = "CCameraS817MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR817MC";
    m.szShortName = "KYR817MC";
    m.iPID = 0x817b;
    m.dPixelSize = 2.9;
    m.ucBins[0] = 2;
    m.iGainDef = 0;
    m.iOffsetHighestDR = 2;
    m.iOffsetUnityGain = 5;
    m.iOffsetLowestRN = 15;
    m.iGainLowestRN = 450;
    m.iUnityGain = 252;
    m.iWBRDef = 55;
    m.iWBBDef = 75;
    m.iMaxWidth = 1920;
    m.iMaxHeight = 1080;
    m.fElecPerADU = 8.95f;
    m.iOffsetDef = 15;
    m.iOffsetMax = 300;
    m.usHMAX = 230;

    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.pModeNormal = &kMode12Bit;
    d.pModeHighSpeed = &kMode10Bit;
    d.sensorBin[2] = {2, &kModeBin2x2};
    // A bin or type change selects the 12-bit mode; high speed selects the 10-bit one again.
    d.bResolutionKeepsHighSpeed = false;
    d.timingInit = {2, 0, 230, 60, 400000};
    d.iHeightAlign = 16;
    d.gain = {GainMap, 0x3030, 0x3070, 2};
    d.exposure.iLongBinExtraLines = 548;
    return d;
}

}  // namespace

const SDriverDesc g_DescS817MC = Desc817();

CCameraS817MC::CCameraS817MC() : CEngineDriver(g_DescS817MC) {}

namespace {
CCameraBase* Create() { return new CCameraS817MC(); }
const CModelRegistrar kRegistrar("CCameraS817MC", Create);
}  // namespace

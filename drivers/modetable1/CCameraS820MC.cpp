#include "CCameraS820MC.h"

#include "api/ModelFactory.h"

namespace {

// Start-up table: the 9 published rows of the sensor's table, in order.
const REG_TABLE_ROW kInitTable[] = {
    {0x3014, 0x0001}, {0x3015, 0x0006}, {0x3040, 0x0007}, {0x306C, 0x0001}, {0x30A4, 0x00A0},
    {0x3460, 0x0022}, {0x3409, 0x0000}, {0x340B, 0x0000}, {0x3458, 0x0000},
};

// Written after the start-up table, in the same hold.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x3018, 0x0004}, {0x301B, 0x0000}, {0x3022, 0x0001}, {0x3023, 0x0001},
};

const REG_TABLE_ROW kModeBin2x2Rows[] = {{0x301B, 0x0001}, {0x3022, 0x0000}, {0x3023, 0x0001}};
const REG_TABLE_ROW kMode12BitRows[] = {{0x301B, 0x0000}, {0x3022, 0x0001}, {0x3023, 0x0001}};
const REG_TABLE_ROW kMode10BitRows[] = {{0x301B, 0x0000}, {0x3022, 0x0000}, {0x3023, 0x0001}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines
const SSensorMode kModeBin2x2 = {"bin 2x2", RegTable(kModeBin2x2Rows), ADC_10BIT, true, 2, 0, 120, 30};
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 2, 0, 172, 60};
const SSensorMode kMode10Bit = {"10-bit", RegTable(kMode10BitRows), ADC_10BIT, false, 2, 0, 172, 60};

// Gain in 0.1 dB steps: high conversion gain from the unity gain on, where
// the analog code starts again 8 dB lower.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 182, .iHighOffset = 80, .iStep = 3};
SGainCode GainMap(int iGain) { return LinearGainCode(iGain, kGainLaw); }

SDriverDesc Desc820() {
    SDriverDesc d = TemplateDriverDesc();
    d.szClassName = "CCameraS820MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR820MC";
    m.szShortName = "KYR820MC";
    m.iPID = 0x820b;
    m.dPixelSize = 2.0;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iOffsetHighestDR = 3;
    m.iOffsetUnityGain = 3;
    m.iOffsetLowestRN = 15;
    m.iGainLowestRN = 380;
    m.iUnityGain = 182;
    m.iWBRDef = 62;
    m.iWBBDef = 99;
    m.iMaxWidth = 3840;
    m.iMaxHeight = 2160;
    m.fElecPerADU = 2.68f;
    m.iOffsetDef = 3;
    m.iOffsetMax = 350;
    m.usHMAX = 172;

    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.pModeNormal = &kMode12Bit;
    d.pModeHighSpeed = &kMode10Bit;
    d.sensorBin[2] = {2, &kModeBin2x2};
    d.sensorBin[4] = {2, &kModeBin2x2};
    // A bin or type change keeps the high-speed choice: the 10-bit mode stays.
    d.bResolutionKeepsHighSpeed = true;
    d.timingInit = {2, 0, 172, 60, 400000};
    d.iHeightAlign = 16;
    d.gain = {GainMap, 0x3030, 0x3070, 2};
    d.exposure.iLongBinExtraLines = 1112;
    d.exposure.iLongBinSHR = 1112;
    return d;
}

}  // namespace

const SDriverDesc g_DescS820MC = Desc820();

CCameraS820MC::CCameraS820MC() : CEngineDriver(g_DescS820MC) {}

namespace {
CCameraBase* Create() { return new CCameraS820MC(); }
const CModelRegistrar kRegistrar("CCameraS820MC", Create);
}  // namespace

#include "CCameraS832MC.h"

#include "api/ModelFactory.h"

namespace {

// Start-up table: 11 rows, no delay rows.
const REG_TABLE_ROW kInitTable[] = {
    {0x3018, 0x0014}, {0x3014, 0x0001}, {0x3015, 0x0006}, {0x3460, 0x0021},
    {0x3478, 0x00A1}, {0x347C, 0x0001}, {0x3480, 0x0001}, {0x3A4E, 0x0014},
    {0x3409, 0x0000}, {0x340B, 0x0000}, {0x3458, 0x0000},
};

// Written after the start-up table, in the same hold.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x3018, 0x0014}, {0x301B, 0x0000}, {0x3022, 0x0002}, {0x3023, 0x0001},
};

const REG_TABLE_ROW kModeBin2x2Rows[] = {
    {0x301B, 0x0001}, {0x3022, 0x0000}, {0x3023, 0x0001}, {0x30D5, 0x0002}, {0x4231, 0x0008},
};
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x301B, 0x0000}, {0x30D5, 0x0004}, {0x3022, 0x0002}, {0x3023, 0x0001}, {0x4231, 0x0018},
};
const REG_TABLE_ROW kMode10BitRows[] = {
    {0x301B, 0x0000}, {0x30D5, 0x0004}, {0x3022, 0x0000}, {0x3023, 0x0001}, {0x4231, 0x0008},
};

const REG_TABLE_ROW kStartPreRows[] = {{0x3018, 0x0014}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines
const SSensorMode kModeBin2x2 = {"bin 2x2", RegTable(kModeBin2x2Rows), ADC_10BIT, true, 2, 0, 83, 30};
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 2, 0, 192, 60};
const SSensorMode kMode10Bit = {"10-bit", RegTable(kMode10BitRows), ADC_10BIT, false, 2, 0, 192, 60};

// Gain in 0.1 dB steps: high conversion gain from the unity gain on, where
// the analog code restarts 15 dB lower.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 252, .iHighOffset = 150, .iStep = 3};
SGainCode GainMap832(int iGain) { return LinearGainCode(iGain, kGainLaw); }

SDriverDesc Desc832() {
    SDriverDesc d = TemplateDriverDesc();
    d.szClassName = "CCameraS832MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR832MC";
    m.szShortName = "KYR832MC";
    m.iPID = 0x832b;
    m.dPixelSize = 2.9;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iOffsetHighestDR = 3;
    m.iOffsetUnityGain = 3;
    m.iOffsetLowestRN = 3;
    m.iGainLowestRN = 450;
    m.iUnityGain = 252;
    m.iWBRDef = 55;
    m.iWBBDef = 75;
    m.iMaxWidth = 3840;
    m.iMaxHeight = 2160;
    m.fElecPerADU = 11.3f;
    m.iOffsetMax = 200;
    m.usHMAX = 192;

    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.pModeNormal = &kMode12Bit;
    d.pModeHighSpeed = &kMode10Bit;
    d.sensorBin[2] = {2, &kModeBin2x2};
    d.sensorBin[4] = {2, &kModeBin2x2};
    d.timingInit = {2, 0, 192, 60, 400000};
    d.startPreRows = RegTable(kStartPreRows);
    d.iHeightAlign = 4;
    d.gain = {GainMap832, 0x3030, 0x306C, 2};
    d.exposure.iBinExtraLines = 50;
    d.exposure.iLongBinExtraLines = 1108;
    d.bandwidth.iCap16Perc = 90;
    d.bandwidth.llCapPixels = 2073600;
    d.bandwidth.llCapPixelsHardwareBin = 921600;
    return d;
}

}  // namespace

const SDriverDesc g_DescS832MC = Desc832();

CCameraS832MC::CCameraS832MC() : CEngineDriver(g_DescS832MC) {}

namespace {
CCameraBase* Create() { return new CCameraS832MC(); }
const CModelRegistrar kRegistrar("CCameraS832MC", Create);
}  // namespace

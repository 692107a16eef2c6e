#include "CCameraS814MC.h"

#include "ClampSensorFamily.h"
#include "api/ModelFactory.h"

namespace {

// Start-up table: the 13 published rows, in their order.
const REG_TABLE_ROW kInitTable[] = {
    {0x3008, 0x007F}, {0x3208, 0x0000}, {0x3009, 0x0000}, {0x300A, 0x005B}, {0x300B, 0x0050},
    {0x301C, 0x0000}, {0x3022, 0x0000}, {0x3024, 0x00CA}, {0x3025, 0x0008}, {0x391E, 0x0000},
    {0x391F, 0x00A5}, {0x3920, 0x00ED}, {0x3921, 0x000E},
};

// Written after the start-up table, in the same hold.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x301C, 0x0004}, {0x3020, 0x0000}, {0x3021, 0x0000},
    {0x3022, 0x0000}, {0x3031, 0x0001}, {0x3032, 0x0001},
};

const REG_TABLE_ROW kModeBin2x2Rows[] = {
    {0x301C, 0x0004}, {0x3020, 0x0001}, {0x3021, 0x0001}, {0x3022, 0x0001},
    {0x3031, 0x0000}, {0x3032, 0x0001}, {0x30D5, 0x0002},
};
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x301C, 0x0004}, {0x3020, 0x0000}, {0x3021, 0x0000}, {0x3022, 0x0000},
    {0x30D5, 0x0004}, {0x3031, 0x0001}, {0x3032, 0x0001},
};
const REG_TABLE_ROW kMode10BitRows[] = {
    {0x301C, 0x0004}, {0x3020, 0x0000}, {0x3021, 0x0000}, {0x3022, 0x0000},
    {0x30D5, 0x0004}, {0x3031, 0x0000}, {0x3032, 0x0000},
};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset.
// Sensor binning starts on a row that is a multiple of 4; 16-bit output needs a line of 444 clocks.
const SSensorMode kModeBin2x2 = {"bin 2x2", RegTable(kModeBin2x2Rows), ADC_12BIT, true, 12, 0, 224, 58, 0, 0,
                                 4};
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 22, 0, 300, 56};
const SSensorMode kMode12Bit16 = {"12-bit 16", RegTable(kMode12BitRows), ADC_12BIT, true, 22, 0, 444, 56};
const SSensorMode kMode10Bit = {"10-bit", RegTable(kMode10BitRows), ADC_10BIT, true, 22, 0, 224, 56};
const SSensorMode kMode10Bit16 = {"10-bit 16", RegTable(kMode10BitRows), ADC_10BIT, true, 22, 0, 444, 56};

// Without the DDR buffer the sensor's rate must fit the link: at most 52 %
// on USB 2; on USB 3 70 % for 16-bit data and 93 % in high speed.
int NoDDRCap814(bool bUSB3Host, bool b16, bool bHighSpeed) {
    if (!bUSB3Host) return 52;
    if (b16) return 70;
    return bHighSpeed ? 93 : 100;
}

SDriverDesc Desc814() {
    SDriverDesc d = ClampSensorFamilyDesc();
    d.szClassName = "CCameraS814MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR814MC";
    m.szShortName = "KYR814MC";
    m.iPID = 0x814b;
    m.dPixelSize = 2.9;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iOffsetHighestDR = m.iOffsetUnityGain = m.iOffsetLowestRN = 0;
    m.iUnityGain = 100;
    m.iWBRDef = 57;
    m.iWBBDef = 68;
    m.iMaxWidth = 3840;
    m.iMaxHeight = 2160;
    m.fElecPerADU = 3.18f;
    m.iOffsetMax = 400;
    m.bTriggerCam = false;
    m.usHMAX = 300;

    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.pModeNormal = &kMode12Bit;
    d.pModeHighSpeed = &kMode10Bit;
    d.pModeNormal16 = &kMode12Bit16;
    d.pModeHighSpeed16 = &kMode10Bit16;
    d.sensorBin[2] = {2, &kModeBin2x2};
    d.sensorBin[4] = {2, &kModeBin2x2};
    d.timingInit = {22, 0, 300, 56, 381000};
    d.iAlignX = 2;
    d.iAlignY = 2;
    // The sensor bins a readout width that is a multiple of 12.
    d.iSensorBinWidthStep = 12;
    d.exposure.eBinFrame = BIN_FRAME_ROWS_DOUBLED;
    d.bandwidth.fnNoDDRCap = NoDDRCap814;
    d.bandwidth.dLineTimeFactor = 0.5;
    return d;
}

}  // namespace

const SDriverDesc g_DescS814MC = Desc814();

CCameraS814MC::CCameraS814MC() : CEngineDriver(g_DescS814MC) {}

namespace {
CCameraBase* Create() { return new CCameraS814MC(); }
const CModelRegistrar kRegistrar("CCameraS814MC", Create);
}  // namespace

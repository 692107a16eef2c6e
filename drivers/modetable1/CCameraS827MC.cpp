#include "CCameraS827MC.h"

#include "ClampSensorFamily.h"
#include "engine/EngineRegistrar.h"

namespace {

// Start-up table: the 14 published rows, in their order.
const REG_TABLE_ROW kInitTable[] = {
    {0x3008, 0x007F}, {0x3208, 0x0000}, {0x3009, 0x0000}, {0x300A, 0x005B}, {0x300B, 0x0050},
    {0x301C, 0x0004}, {0x301D, 0x0005}, {0x3022, 0x0000}, {0x391B, 0x0013}, {0x391C, 0x0013},
    {0x391E, 0x0000}, {0x391F, 0x00A5}, {0x3920, 0x00ED}, {0x3921, 0x000E},
};

// Written after the start-up table, in the same hold.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x301C, 0x0004}, {0x3020, 0x0000}, {0x3021, 0x0000},
    {0x3022, 0x0002}, {0x3031, 0x0000}, {0x3032, 0x0001},
};

// The two modes differ in the ADC width only.
const REG_TABLE_ROW kModeNormalRows[] = {
    {0x301C, 0x0004}, {0x3020, 0x0001}, {0x3021, 0x0001},
    {0x3022, 0x0002}, {0x3031, 0x0000}, {0x3032, 0x0001},
};
const REG_TABLE_ROW kModeHighSpeedRows[] = {
    {0x301C, 0x0004}, {0x3020, 0x0001}, {0x3021, 0x0001},
    {0x3022, 0x0002}, {0x3031, 0x0000}, {0x3032, 0x0000},
};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines. High speed carries 16-bit
// data too.
const SSensorMode kModeNormal = {"12-bit", RegTable(kModeNormalRows), ADC_12BIT, true, 12, 0, 155, 42};
const SSensorMode kModeHighSpeed = {"10-bit", RegTable(kModeHighSpeedRows), ADC_10BIT, true, 12, 0, 98, 42};

// Without the DDR buffer, 16-bit data in high speed fits the link at 90 %.
int NoDDRCap827(bool, bool b16, bool bHighSpeed) { return b16 && bHighSpeed ? 90 : 100; }

SDriverDesc Desc827() {
    SDriverDesc d = ClampSensorFamilyDesc();
    d.szClassName = "CCameraS827MC";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR827MC";
    m.szShortName = "KYR827MC";
    m.iPID = 0x827b;
    m.dPixelSize = 5.8;
    m.ucBins[0] = 2;
    m.iOffsetHighestDR = m.iOffsetUnityGain = m.iOffsetLowestRN = 0;
    m.iUnityGain = 210;
    m.iWBRDef = 60;
    m.iWBBDef = 70;
    m.iMaxWidth = 1920;
    m.iMaxHeight = 1080;
    m.fElecPerADU = 11.3f;
    m.iOffsetMax = 200;
    m.usHMAX = 155;

    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.pModeNormal = &kModeNormal;
    d.pModeHighSpeed = &kModeHighSpeed;
    d.pModeHighSpeed16 = &kModeHighSpeed;
    d.timingInit = {0, 0, 155, 56, 381000};
    d.iAlignX = 6;
    d.iAlignY = 2;
    // The sensor counts its window in half pixels and half lines.
    d.iWindowScale = 2;
    d.iWindowExtraRows = 24;
    d.iLineHMAX = 2;
    d.gain.iCodeBytes = 1;
    d.offset.iBytes = 1;
    // Shutter lines stay within a frame of at most 0xFFFFFF lines.
    d.exposure.uSHRLimit = 0xFFFFFFFF;
    d.exposure.uSHRMax = 0xFFFFFFFF;
    d.bandwidth.fnNoDDRCap = NoDDRCap827;
    return d;
}

}  // namespace

const SDriverDesc g_DescS827MC = Desc827();

CCameraS827MC::CCameraS827MC() : CEngineDriver(g_DescS827MC) {}

namespace {
const CEngineRegistrar<CCameraS827MC> kRegistrar("CCameraS827MC", g_DescS827MC);
}  // namespace

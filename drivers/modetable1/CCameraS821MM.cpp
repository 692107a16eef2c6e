#include "CCameraS821MM.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/FpgaTimedMono.h"

namespace {

// Start-up table: the published rows, in their order.
const REG_TABLE_ROW kInitTable[] = {
    {REG_TABLE_DELAY, 20}, {0x303C, 0x0000}, {0x30D8, 0x0040}, {0x30D9, 0x0001}, {0x30DC, 0x0000},
    {0x30E2, 0x000C},      {0x30E3, 0x000C}, {0x3104, 0x0003}, {0x3120, 0x0000}, {0x3121, 0x0000},
    {0x3122, 0x0000},      {0x3123, 0x0000}, {0x3124, 0x0048}, {0x3125, 0x0006}, {0x3126, 0x0050},
    {0x3127, 0x0004},      {0x3220, 0x0050}, {0x3221, 0x0027}, {0x35C0, 0x00F0}, {0x3200, 0x0005},
    {0x43F6, 0x0000},      {0x43F8, 0x00FB},
};

// The model's one sensor mode: no rows of its own.
// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines
const SSensorMode kMode = {"12-bit", {nullptr, 0}, ADC_12BIT, true, 33, 0, 142, 70};

// Gain in 0.1 dB steps: the high conversion gain takes over above 14 dB,
// where the analog gain starts again from 0.
SGainCode GainMap821(int iGain) { return LinearGainCode(iGain, SLinearGainLaw{350, 141, 140, 1}); }

// The FPGA-timed family's mono description with the 821's longer blanking,
// start rows aligned to 8, a 30 ms pause before streaming, the FPGA's gain
// latch, a shortest shutter line of 12 and its own long-exposure script.
SDriverDesc Desc821() {
    SDriverDesc d = FpgaTimedMonoDesc();
    d.szClassName = "CCameraS821MM";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR821MM";
    m.szShortName = "KYR821MM";
    m.iPID = 0x821a;
    m.dPixelSize = 9.0;
    m.iMaxWidth = 1608;
    m.iMaxHeight = 1104;
    m.iGainMax = 350;
    m.iAutoGainMax = 175;
    m.fElecPerADU = 23.15f;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 10;
    m.iOffsetLowestRN = 10;
    m.iUnityGain = 140;
    m.iGainLowestRN = 350;
    m.iOffsetMax = 10;
    m.usHMAX = 142;
    d.initTable = RegTable(kInitTable);
    d.pModeNormal = &kMode;
    d.timingInit = {33, 0, 142, 70, 390000};
    d.iAlignY = 8;
    d.iHeightAlign = 8;
    d.uStreamStartPauseMs = 30;
    d.gain.fnMap = GainMap821;
    d.gain.usFPGARegBefore = FPGA_REG_80;
    d.gain.ucFPGAValueBefore = 1;
    d.exposure.iMinSHR = 12;
    d.exposure.iLongExtraLines = 12;
    d.exposure.iLongBinExtraLines = 12;
    d.exposure.iVMAXBase = 70;
    d.exposure.iVMAXBaseSnap = 770;
    d.pLongExp = &g_LongExpFpgaTimed;
    // Empty transfers in a row restart the stream.
    d.capture.bEmptyIsDropped = false;
    return d;
}

}  // namespace

const SDriverDesc g_DescS821MM = Desc821();

CCameraS821MM::CCameraS821MM() : CEngineDriver(g_DescS821MM) {}

namespace {
const CEngineRegistrar<CCameraS821MM> kRegistrar("CCameraS821MM", g_DescS821MM);
}  // namespace

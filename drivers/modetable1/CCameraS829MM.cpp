#include "CCameraS829MM.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/FpgaTimedMono.h"

namespace {

// Start-up table: the published rows, in their order.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x300C, 0x0001}, {0x3034, 0x0000}, {0x303C, 0x0009}, {0x30D4, 0x00D0},
    {0x30D5, 0x0002}, {0x30D6, 0x0000}, {0x30D8, 0x00BE}, {0x30D9, 0x0000}, {0x30E2, 0x0006},
    {0x30E3, 0x0004}, {0x3104, 0x0003}, {0x3120, 0x0000}, {0x3121, 0x0000}, {0x3122, 0x0000},
    {0x3123, 0x0000}, {0x3124, 0x0030}, {0x3125, 0x0003}, {0x3126, 0x0070}, {0x3127, 0x0002},
    {0x3200, 0x0005}, {0x3220, 0x0050}, {0x3224, 0x0050}, {0x3226, 0x0093}, {0x3230, 0x0041},
    {0x3444, 0x0002}, {0x3445, 0x0003}, {0x35C0, 0x00F0}, {0x3000, 0x0000}, {0x300C, 0x0000},
};

// The modes change only the shortest line; high speed reads 10 bits.
// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines
const SSensorMode kModeNormal = {"12-bit", {nullptr, 0}, ADC_12BIT, true, 21, 0, 560, 88};
const SSensorMode kModeHighSpeed = {"10-bit", {nullptr, 0}, ADC_10BIT, true, 21, 0, 340, 88};

// Gain in 0.1 dB steps: the high conversion gain takes over above 7 dB.
SGainCode GainMap829(int iGain) { return LinearGainCode(iGain, SLinearGainLaw{480, 71, 70, 1}); }

SDriverDesc Desc829() {
    SDriverDesc d = FpgaTimedMonoDesc();
    d.szClassName = "CCameraS829MM";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR829MM";
    m.szShortName = "KYR829MM";
    m.iPID = 0x8299;
    m.dPixelSize = 4.5;
    m.iMaxWidth = 1632;
    m.iMaxHeight = 1248;
    m.iGainMax = 480;
    m.iAutoGainMax = 240;
    m.fElecPerADU = 23.15f;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 10;
    m.iOffsetLowestRN = 20;
    m.iUnityGain = 272;
    m.iGainLowestRN = 380;
    m.usHMAX = 560;
    d.initTable = RegTable(kInitTable);
    d.pModeNormal = &kModeNormal;
    d.pModeHighSpeed = &kModeHighSpeed;
    d.timingInit.iMinHMAX = 560;
    d.timingInit.iExtraLines = 88;
    d.gain.fnMap = GainMap829;
    d.exposure.iVMAXBase = 104;
    d.fpgaTimed.iHeightMultiple = 8;
    d.fpgaTimed.iWindowHeightExtra = 4;
    return d;
}

}  // namespace

const SDriverDesc g_DescS829MM = Desc829();

CCameraS829MM::CCameraS829MM() : CEngineDriver(g_DescS829MM) {}

namespace {
const CEngineRegistrar<CCameraS829MM> kRegistrar("CCameraS829MM", g_DescS829MM);
}  // namespace

#include "CCameraS836MC.h"

#include "engine/EngineRegistrar.h"

namespace {

// Start-up table, written without the hold: a soft reset, the 12-bit ADC,
// the sensor's own VMAX 0x000465 and HMAX 0x0898, the clock selection, and
// standby off at the end. The rows between the reset and the end are those
// of the table that are known; the table has further rows whose places and
// values are not.
const REG_TABLE_ROW kInitTable[] = {
    {0x3003, 0x0001}, {REG_TABLE_DELAY, 32}, {0x3003, 0x0000}, {REG_TABLE_DELAY, 32}, {0x3005, 0x0001},
    {0x3009, 0x0001}, {0x3018, 0x0065},      {0x3019, 0x0004}, {0x301A, 0x0000},      {0x301B, 0x0098},
    {0x301C, 0x0008}, {0x3044, 0x00F1},      {0x305C, 0x0018}, {0x305D, 0x0000},      {0x305E, 0x0020},
    {0x305F, 0x0000}, {0x3000, 0x0000},
};

// Written after the start-up table, also unheld.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x305C, 0x0018}, {0x305D, 0x0000}, {0x305E, 0x0020}, {0x305F, 0x0000},
    {0x3044, 0x00F1}, {0x3005, 0x0001}, {0x3036, 0x0008}, {0x3007, 0x0040},
};

// After the FPGA reset and command 0xAF.
const REG_TABLE_ROW kAfterResetRows[] = {{0x3002, 0x0001}, {0x3049, 0x0000}};

const REG_TABLE_ROW kStreamStartRows[] = {{0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// The two modes are a few register writes, no table. Register 0x3009 holds
// the ADC mode in its low bits and the conversion gain in bit 4: a mode
// changes only its own bits.
// register, mask, value
const SRegBitsRow kMode12BitRows[] = {
    {0x3005, 0xFF, 0x01}, {0x3009, 0x01, 0x01}, {0x3044, 0xFF, 0xF1}, {0x305C, 0xFF, 0x18}};
const SRegBitsRow kMode10BitRows[] = {
    {0x3005, 0xFF, 0x00}, {0x3009, 0x03, 0x00}, {0x3044, 0xFF, 0xF0}, {0x305C, 0xFF, 0x28}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset,
// common rows, bit rows
const SSensorMode kMode12Bit = {"12-bit", {nullptr, 0}, ADC_12BIT, true, 0, 0, 274, 18, 0, 0, 0, 0, {nullptr, 0},
                                RegBitsTable(kMode12BitRows)};
const SSensorMode kMode10Bit = {"10-bit high speed", {nullptr, 0}, ADC_10BIT, false, 0, 0, 148, 18, 0, 0, 0, 0,
                                {nullptr, 0}, RegBitsTable(kMode10BitRows)};

// Gain in 0.1 dB steps: up to 6 dB the analog gain alone; above it high
// conversion gain, with the code counted from 6 dB.
SGainCode GainMap836(int iGain) { return LinearGainCode(iGain, SLinearGainLaw{600, 61, 60, 1}); }

// Long exposures: the trigger rises at once; low power is on for the whole
// of long-exposure mode (SetExp), not switched here. The wait polls every
// 100 ms to the full exposure; 200 ms before the trigger falls.
const SLongExpAction kLongOpen[] = {{LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS}};
const SLongExpAction kLongClose[] = {
    {LONG_OP_PAUSE, 200, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};

SModelConstants Model836() {
    SModelConstants m = TemplateModelConstants();
    m.szName = "VORN KYR836MC";
    m.szShortName = "KYR836MC";
    m.iPID = 0x836b;
    m.dPixelSize = 3.75;
    m.ucBins[0] = 2;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 20;
    m.iOffsetLowestRN = 140;
    m.iGainLowestRN = 300;
    m.iUnityGain = 131;
    m.iWBRDef = 52;
    m.iWBBDef = 95;
    m.iMaxWidth = 1936;
    m.iMaxHeight = 1096;
    m.fElecPerADU = 4.56f;
    m.iOffsetMax = 240;
    m.iST4 = 1;
    m.usHMAX = 274;
    return m;
}

// Low power for the whole of long-exposure mode, not per wait.
const SLongExpAction kLowPowerOn[] = {{LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}};
const SLongExpAction kLowPowerOff[] = {{LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS}};

}  // namespace

const SLongExpScript g_LongExpS836MC = {
    .open = LongExpActions(kLongOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 200000,
    .uStepMs = 100,
    .close = LongExpActions(kLongClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
};

const SDriverDesc g_DescS836MC = {
    .szClassName = "CCameraS836MC",
    .model = Model836(),
    .hold = {true, 0x3001, 1, 0},
    .standby = {true, 0x3000, 1, 0},
    .initTable = RegTable(kInitTable),
    .initFixedRows = RegTable(kInitFixedRows),
    .uResetPauseMs = 20,
    .afterResetRows = RegTable(kAfterResetRows),
    // The sensor leaves initialisation out of standby, with the FPGA stopped.
    .bInitEndsInStandby = false,
    .pModeNormal = &kMode12Bit,
    .pModeHighSpeed = &kMode10Bit,
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {0, 0, 274, 18, 371250},
    // A mode's writes go to the sensor outside the hold.
    .modeSwitch = {.bUnheld = true},
    .usRegStartX = 0x303C,
    .usRegStartY = 0x3038,
    .usRegWidth = 0x303E,
    .usRegHeight = 0x303A,
    .iAlignX = 4,
    .iAlignY = 2,
    .bAlwaysCentre = true,
    .bNoFPGADataLen = true,
    // Fixed FPGA blanking with the size; the size registers outside the hold.
    .eWindow = WINDOW_FIXED_BLANKING,
    .streamStartRows = RegTable(kStreamStartRows),
    .uStreamStartPauseMs = 10,
    .streamStopRows = RegTable(kStreamStopRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 371250,
    .iUSBBandwidthUSB2 = 43272,
    .gain = {.fnMap = GainMap836,
             .usRegConvGain = 0x3009,
             .usRegCode = 0x3014,
             .iCodeBytes = 2,
             .ucConvGainOnBits = 0x10,
             .ucConvGainOffMask = 0xF0},
    .offset = {.usReg = 0x300A, .iBytes = 2, .bUnheld = true, .eOrder = BYTES_HIGH_FIRST},
    .exposure =
        {
            .fnCompute = ShsExposure,
            .usRegSHR = 0x3020,
            .iSHRBytes = 3,
            .iMinSHR = 2,
            .iLongExtraLines = 1,
            .iLongBinExtraLines = 1,
            .uVMAXMax = 0xFFFFFF,
            .uSHRLimit = 0x20000,
            .uSHRMax = 0x1FFFE,
            .iExpLinesGap = 2,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_EXPOSURE,
            .bFPGAVMAXInHold = true,
            .longModeOn = LongExpActions(kLowPowerOn),
            .longModeOff = LongExpActions(kLowPowerOff),
        },
    .bandwidth =
        {
            .iHostUSB3 = 371250,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 100,
            .iAutoPercUSB2 = 80,
            .iHMAXMax = 0xFFFF,
            .iFrameExtraLines = -1,
            .iBandwidthExtraLines = -1,
        },
    .pLongExp = &g_LongExpS836MC,
    .bModeFollowsType = true,
    .bHardwareBinIgnored = true,
    .window = {4, 9},
};

CCameraS836MC::CCameraS836MC() : CEngineDriver(g_DescS836MC) {}

namespace {
const CEngineRegistrar<CCameraS836MC> kRegistrar("CCameraS836MC", g_DescS836MC);
}  // namespace

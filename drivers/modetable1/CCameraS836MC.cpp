#include "CCameraS836MC.h"

#include "ModelFactory.h"

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
// common rows, bit rows, unheld
const SSensorMode kMode12Bit = {"12-bit", {nullptr, 0}, ADC_12BIT, true, 0, 0, 274, 18, 0, 0, 0, 0, {nullptr, 0},
                                RegBitsTable(kMode12BitRows), true};
const SSensorMode kMode10Bit = {"10-bit high speed", {nullptr, 0}, ADC_10BIT, false, 0, 0, 148, 18, 0, 0, 0, 0,
                                {nullptr, 0}, RegBitsTable(kMode10BitRows), true};

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

}  // namespace

const SLongExpScript g_LongExpS836MC = {
    .everyPass = {nullptr, 0},
    .open = LongExpActions(kLongOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 200000,
    .beforeSteps = {nullptr, 0},
    .uStepMs = 100,
    .uStepLeadMs = 0,
    .bCountedSteps = false,
    .pSteps = nullptr,
    .iSteps = 0,
    .close = LongExpActions(kLongClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
};

const SDriverDesc g_DescS836MC = {
    .szClassName = "CCameraS836MC",
    .model =
        {
            .szName = "VORN KYR836MC",
            .szShortName = "KYR836MC",
            .iPID = 0x836b,
            .iVID = 0x2e7b,
            .dPixelSize = 3.75,
            .iADCBits = 12,
            .iMaxExpUs = 2000000000,
            .iBayer = 0,
            .bColor = true,
            .iBandwidthMin = 40,
            .iBandwidthMax = 100,
            .ucBins = {2, 0},
            .iGainMax = 600,
            .iGainMin = 0,
            .iGainDef = 200,
            .iExpMax = 2000000000,
            .iExpMin = 32,
            .iExpDef = 10000,
            .iGammaMax = 100,
            .iGammaMin = 1,
            .iGammaDef = 50,
            .iHeaterLevel = 1,
            .iAutoGainMax = 300,
            .iOffsetHighestDR = 10,
            .iOffsetUnityGain = 20,
            .iOffsetLowestRN = 140,
            .iGainLowestRN = 300,
            .iUnityGain = 131,
            .bUSB3Camera = true,
            .bCapAutoBandWidth = true,
            .iWBMax = 99,
            .iWBMin = 1,
            .iWBRDef = 52,
            .iWBBDef = 95,
            .iMaxWidth = 1936,
            .iMaxHeight = 1096,
            .bFPGAMonoBin = false,
            .fElecPerADU = 4.56f,
            .iOffsetDef = 1,
            .iOffsetMax = 240,
            .iOffsetMin = 0,
            .bCapGain = true,
            .bCapExposure = true,
            .bCapOffset = true,
            .bCapBandWidth = true,
            .bCapTemperature = true,
            .bCapHighSpeed = true,
            .bCapRaw8 = true,
            .bCapRGB24 = true,
            .bCapY8 = true,
            .bCapRaw16 = true,
            .iST4 = 1,
            .bTriggerCam = false,
            .iTempSensorType = 0,
            .bAutoFPS = true,
            .bDDREnable = false,
            .iFclk = 20000,
            .iFPSPerc = 80,
            .iFPSPercUSB3Def = 100,
            .usHMAX = 274,
            .iCoolerCtrlType = 0,
        },
    .hold = {true, 0x3001, 1, 0},
    .standby = {true, 0x3000, 1, 0},
    .initTable = RegTable(kInitTable),
    .initFixedRows = RegTable(kInitFixedRows),
    .bInitTableInHold = false,
    .uInitPauseMs = 0,
    .uResetPauseMs = 20,
    .afterResetRows = RegTable(kAfterResetRows),
    .bDDRTest = false,
    .iFPGAReg26 = -1,
    .bFPGABinModeReset = false,
    .iCoolingLevel = -1,
    .eReplay = REPLAY_FPS_GAIN_EXP,
    // The sensor leaves initialisation out of standby, with the FPGA stopped.
    .bInitEndsInStandby = false,
    .pModeNormal = &kMode12Bit,
    .pModeHighSpeed = &kMode10Bit,
    .sensorBin = {},
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {0, 0, 274, 18, 371250},
    .usRegStartX = 0x303C,
    .usRegStartY = 0x3038,
    .usRegWidth = 0x303E,
    .usRegHeight = 0x303A,
    .startPreRows = {nullptr, 0},
    .iAlignX = 4,
    .iAlignY = 2,
    .iWidthAlign = 0,
    .iHeightAlign = 0,
    .bAlwaysCentre = true,
    .bHBLKFromStart = false,
    .bNoFPGADataLen = true,
    .streamStartRows = RegTable(kStreamStartRows),
    .uStreamStartPauseMs = 10,
    .streamStopRows = RegTable(kStreamStopRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 371250,
    .iUSBBandwidthUSB2 = 43272,
    .bHasDDR = false,
    .gain = {GainMap836, 0x3009, 0x3014, 2, false, 0x10, 0xF0},
    .offset = {0x300A, 2, 0, 0, true, true},
    .exposure =
        {
            .fnCompute = ShsExposure,
            .usRegSHR = 0x3020,
            .iSHRBytes = 3,
            .iMinSHR = 2,
            .iBinExtraLines = 0,
            .iLongExtraLines = 1,
            .iLongBinExtraLines = 1,
            .uVMAXMax = 0xFFFFFF,
            .uSHRLimit = 0x20000,
            .uSHRMax = 0x1FFFE,
            .iExpLinesGap = 2,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_EXPOSURE,
            .uLongPadUs = 0,
            .bFPGAVMAXInHold = true,
            .bLongModeLowPower = true,
        },
    .bandwidth =
        {
            .iHostUSB3 = 371250,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 100,
            .iAutoPercUSB2 = 80,
            .iCap16Perc = 0,
            .llCapPixels = 0,
            .llCapPixelsHardwareBin = 0,
            .iHMAXMax = 0xFFFF,
            .dSensorHMAXFactor = 0.0,
            .usRegSensorHMAX = 0,
            .bFPGABandWidth = false,
            .iFrameExtraLines = -1,
            .iBandwidthExtraLines = -1,
        },
    .pLongExp = &g_LongExpS836MC,
    .capture = {},
    .bModeFollowsType = true,
    .bHardwareBinIgnored = true,
    .window = {true, 4, 9, true},
};

CCameraS836MC::CCameraS836MC() : CEngineDriver(g_DescS836MC) {}

namespace {
CCameraBase* Create() { return new CCameraS836MC(); }
const CModelRegistrar kRegistrar("CCameraS836MC", Create);
}  // namespace

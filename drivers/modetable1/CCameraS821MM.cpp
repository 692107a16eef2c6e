#include "CCameraS821MM.h"

#include "ModelFactory.h"

namespace {

// Start-up table: the published rows, in their order.
const REG_TABLE_ROW kInitTable[] = {
    {REG_TABLE_DELAY, 20}, {0x303C, 0x0000}, {0x30D8, 0x0040}, {0x30D9, 0x0001}, {0x30DC, 0x0000},
    {0x30E2, 0x000C},      {0x30E3, 0x000C}, {0x3104, 0x0003}, {0x3120, 0x0000}, {0x3121, 0x0000},
    {0x3122, 0x0000},      {0x3123, 0x0000}, {0x3124, 0x0048}, {0x3125, 0x0006}, {0x3126, 0x0050},
    {0x3127, 0x0004},      {0x3220, 0x0050}, {0x3221, 0x0027}, {0x35C0, 0x00F0}, {0x3200, 0x0005},
    {0x43F6, 0x0000},      {0x43F8, 0x00FB},
};

const REG_TABLE_ROW kStreamStartRows[] = {{0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// The model's one sensor mode: no rows of its own.
// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset
const SSensorMode kMode = {"12-bit", {nullptr, 0}, ADC_12BIT, true, 33, 0, 142, 70, 0, 0, 0, 0};

// Gain in 0.1 dB steps: the high conversion gain takes over above 14 dB,
// where the analog gain starts again from 0.
SGainCode GainMap821(int iGain) {
    if (iGain < 0) return {0, 0, false};
    if (iGain <= 140) return {iGain, static_cast<uint16_t>(iGain), false};
    if (iGain <= 350) return {iGain, static_cast<uint16_t>(iGain - 140), true};
    return {350, 210, true};
}

}  // namespace

const SDriverDesc g_DescS821MM = {
    .szClassName = "CCameraS821MM",
    .model =
        {
            .szName = "VORN KYR821MM",
            .szShortName = "KYR821MM",
            .iPID = 0x821a,
            .iVID = 0x2e7b,
            .dPixelSize = 9.0,
            .iADCBits = 12,
            .iMaxExpUs = 2000000000,
            .iBayer = 2,
            .bColor = false,
            .iBandwidthMin = 40,
            .iBandwidthMax = 100,
            .ucBins = {2, 0},
            .iGainMax = 350,
            .iGainMin = 0,
            .iGainDef = 200,
            .iExpMax = 2000000000,
            .iExpMin = 32,
            .iExpDef = 10000,
            .iGammaMax = 100,
            .iGammaMin = 1,
            .iGammaDef = 50,
            .iHeaterLevel = 1,
            .iAutoGainMax = 175,
            .iOffsetHighestDR = 10,
            .iOffsetUnityGain = 10,
            .iOffsetLowestRN = 10,
            .iGainLowestRN = 350,
            .iUnityGain = 140,
            .bUSB3Camera = true,
            .bCapAutoBandWidth = true,
            .iWBMax = 0,
            .iWBMin = 0,
            .iWBRDef = 0,
            .iWBBDef = 0,
            .iMaxWidth = 1608,
            .iMaxHeight = 1104,
            .bFPGAMonoBin = false,
            .fElecPerADU = 23.15f,
            .iOffsetDef = 1,
            .iOffsetMax = 10,
            .iOffsetMin = 0,
            .bCapGain = true,
            .bCapExposure = true,
            .bCapOffset = true,
            .bCapBandWidth = true,
            .bCapTemperature = true,
            .bCapHighSpeed = false,
            .bCapRaw8 = true,
            .bCapRGB24 = false,
            .bCapY8 = false,
            .bCapRaw16 = true,
            .iST4 = 1,
            .bTriggerCam = false,
            .iTempSensorType = 0,
            .bAutoFPS = true,
            .bDDREnable = true,
            .iFclk = 20000,
            .iFPSPerc = 80,
            .iFPSPercUSB3Def = 80,
            .usHMAX = 142,
            .iCoolerCtrlType = 0,
        },
    .hold = {true, 0x3034, 1, 0},
    .standby = {true, 0x3000, 1, 0},
    .initTable = RegTable(kInitTable),
    .initFixedRows = {nullptr, 0},
    .bInitTableInHold = false,
    .uInitPauseMs = 0,
    .uResetPauseMs = 20,
    .afterResetRows = {nullptr, 0},
    .bDDRTest = true,
    .iFPGAReg26 = -1,
    .bFPGABinModeReset = false,
    .iCoolingLevel = -1,
    .eReplay = REPLAY_FPS_GAIN_EXP,
    .bInitEndsInStandby = false,
    .pModeNormal = &kMode,
    .pModeHighSpeed = nullptr,
    .sensorBin = {},
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {33, 0, 142, 70, 390000},
    .usRegStartX = 0x3120,
    .usRegStartY = 0x3122,
    .usRegWidth = 0x3124,
    .usRegHeight = 0x3126,
    .startPreRows = {nullptr, 0},
    .iAlignX = 8,
    .iAlignY = 8,
    .iWidthAlign = 0,
    .iHeightAlign = 8,
    .bAlwaysCentre = true,
    .bHBLKFromStart = false,
    .streamStartRows = RegTable(kStreamStartRows),
    .uStreamStartPauseMs = 30,
    .streamStopRows = RegTable(kStreamStopRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 390000,
    .iUSBBandwidthUSB2 = 43272,
    .bHasDDR = true,
    .gain = {GainMap821, 0x3510, 0x3514, 2, true},
    .offset = {0x35C0, 2, 10, 0xFE, true},
    .exposure =
        {
            .fnCompute = FrameLengthExposure,
            .usRegSHR = 0x3240,
            .iSHRBytes = 3,
            .iMinSHR = 12,
            .iBinExtraLines = 0,
            .iLongExtraLines = 12,
            .iLongBinExtraLines = 12,
            .uVMAXMax = 0xFFFFF,
            .uSHRLimit = 0xFFFFFFFF,
            .uSHRMax = 0xFFFFF,
            .iExpLinesGap = 1,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_FRAME_PLUS_PAD,
            .uLongPadUs = 10000,
            .dOffsetUs = 4.997,
            .iVMAXBase = 70,
            .iVMAXBaseSnap = 770,
        },
    .bandwidth =
        {
            .iHostUSB3 = 390000,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 80,
            .iAutoPercUSB2 = 80,
            .iCap16Perc = 0,
            .llCapPixels = 0,
            .llCapPixelsHardwareBin = 0,
            .iHMAXMax = 0xFFFF,
            .dSensorHMAXFactor = 0.0,
            .usRegSensorHMAX = 0,
            .bFPGABandWidth = true,
            .iFrameExtraLines = -1,
            .iBandwidthExtraLines = -1,
        },
    .pLongExp = &g_LongExpFpgaTimed,
    .capture = {},
    .iMarkerRepairRows = 1,
    .fpgaTimed =
        {
            .bOn = true,
            .iCentreAlign = 8,
            .bOutput16Twice = false,
            .iHeightMultiple = 0,
            .iWindowHeightExtra = 0,
            .bLongModeSwitchInSetExp = false,
        },
};

CCameraS821MM::CCameraS821MM() : CEngineDriver(g_DescS821MM) {}

namespace {
CCameraBase* Create() { return new CCameraS821MM(); }
const CModelRegistrar kRegistrar("CCameraS821MM", Create);
}  // namespace

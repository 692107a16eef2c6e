#include "CCameraS817MC.h"

#include "ModelFactory.h"

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

const REG_TABLE_ROW kStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset
const SSensorMode kModeBin2x2 = {
    "bin 2x2", RegTable(kModeBin2x2Rows), ADC_10BIT, true, 2, 0, 163, 30, 0, 0, 0, 0};
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 2, 0, 230, 60, 0, 0, 0,
                                0};
const SSensorMode kMode10Bit = {"10-bit", RegTable(kMode10BitRows), ADC_10BIT, false, 2, 0, 163, 60, 0, 0, 0,
                                0};

// Gain in 0.1 dB steps: high conversion gain from the unity gain on, where
// the analog code starts again 15 dB lower.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 252, .iHighOffset = 150, .iStep = 3};
SGainCode GainMap(int iGain) { return LinearGainCode(iGain, kGainLaw); }

}  // namespace

const SDriverDesc g_DescS817MC = {
    .szClassName = "CCameraS817MC",
    .model =
        {
            .szName = "VORN KYR817MC",
            .szShortName = "KYR817MC",
            .iPID = 0x817b,
            .iVID = 0x2e7b,
            .dPixelSize = 2.9,
            .iADCBits = 12,
            .iMaxExpUs = 2000000000,
            .iBayer = 0,
            .bColor = true,
            .iBandwidthMin = 40,
            .iBandwidthMax = 100,
            .ucBins = {2, 0},
            .iGainMax = 600,
            .iGainMin = 0,
            .iGainDef = 0,
            .iExpMax = 2000000000,
            .iExpMin = 32,
            .iExpDef = 10000,
            .iGammaMax = 100,
            .iGammaMin = 1,
            .iGammaDef = 50,
            .iHeaterLevel = 1,
            .iAutoGainMax = 300,
            .iOffsetHighestDR = 2,
            .iOffsetUnityGain = 5,
            .iOffsetLowestRN = 15,
            .iGainLowestRN = 450,
            .iUnityGain = 252,
            .bUSB3Camera = true,
            .bCapAutoBandWidth = true,
            .iWBMax = 99,
            .iWBMin = 1,
            .iWBRDef = 55,
            .iWBBDef = 75,
            .iMaxWidth = 1920,
            .iMaxHeight = 1080,
            .bFPGAMonoBin = false,
            .fElecPerADU = 8.95f,
            .iOffsetDef = 15,
            .iOffsetMax = 300,
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
            .bTriggerCam = true,
            .iTempSensorType = 0,
            .bAutoFPS = true,
            .bDDREnable = true,
            .iFclk = 20000,
            .iFPSPerc = 80,
            .iFPSPercUSB3Def = 100,
            .usHMAX = 230,
            .iCoolerCtrlType = 0,
        },
    .hold = {true, 0x3001, 1, 0},
    .standby = {true, 0x3000, 1, 0},
    .initTable = RegTable(kInitTable),
    .initFixedRows = RegTable(kInitFixedRows),
    .bInitTableInHold = true,
    .uInitPauseMs = 0,
    .uResetPauseMs = 20,
    .afterResetRows = {nullptr, 0},
    .bDDRTest = true,
    .iFPGAReg26 = -1,
    .bFPGABinModeReset = false,
    .iCoolingLevel = -1,
    .eReplay = REPLAY_FPS_GAIN_EXP,
    .bInitEndsInStandby = true,
    .pModeNormal = &kMode12Bit,
    .pModeHighSpeed = &kMode10Bit,
    .sensorBin = {{}, {}, {2, &kModeBin2x2}},
    // A bin or type change selects the 12-bit mode; high speed selects the 10-bit one again.
    .bResolutionKeepsHighSpeed = false,
    .timingInit = {2, 0, 230, 60, 400000},
    .usRegStartX = 0x303C,
    .usRegStartY = 0x3044,
    .usRegWidth = 0x303E,
    .usRegHeight = 0x3046,
    .startPreRows = {nullptr, 0},
    .iAlignX = 2,
    .iAlignY = 4,
    .iWidthAlign = 16,
    .iHeightAlign = 16,
    .bAlwaysCentre = false,
    .bHBLKFromStart = false,
    .streamStartRows = RegTable(kStreamStartRows),
    .uStreamStartPauseMs = 30,
    .streamStopRows = RegTable(kStreamStopRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 400000,
    .iUSBBandwidthUSB2 = 43272,
    .bHasDDR = true,
    .gain = {GainMap, 0x3030, 0x3070, 2},
    .offset = {0x30DC, 2},
    .exposure =
        {
            .fnCompute = ShutterLineExposure,
            .usRegSHR = 0x3050,
            .iSHRBytes = 3,
            .iMinSHR = 8,
            .iBinExtraLines = 0,
            .iLongExtraLines = 8,
            .iLongBinExtraLines = 548,
            .uVMAXMax = 0xFFFFFF,
            .uSHRLimit = 0x20000,
            .uSHRMax = 0x1FFFE,
            .iExpLinesGap = 6,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_FRAME_PLUS_PAD,
            .uLongPadUs = 10000,
            .iLongBinSHR = 0,
        },
    // 16-bit frames use the whole bandwidth asked for.
    .bandwidth =
        {
            .iHostUSB3 = 400000,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 100,
            .iAutoPercUSB2 = 80,
            .iCap16Perc = 0,
            .llCapPixels = 0,
            .llCapPixelsHardwareBin = 0,
            .iHMAXMax = 0xFFFF,
            .dSensorHMAXFactor = 1.85625,
            .usRegSensorHMAX = 0x302C,
            .bFPGABandWidth = true,
            .iFrameExtraLines = -1,
            .iBandwidthExtraLines = -1,
        },
    // The capture loop's long exposure as the template runs it.
    .pLongExp = nullptr,
    .capture = {},
};

CCameraS817MC::CCameraS817MC() : CEngineDriver(g_DescS817MC) {}

namespace {
CCameraBase* Create() { return new CCameraS817MC(); }
const CModelRegistrar kRegistrar("CCameraS817MC", Create);
}  // namespace

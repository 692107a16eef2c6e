#include "CCameraS820MC.h"

#include "ModelFactory.h"

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

const REG_TABLE_ROW kStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, alignment, start offset
const SSensorMode kModeBin2x2 = {
    "bin 2x2", RegTable(kModeBin2x2Rows), ADC_10BIT, true, 2, 0, 120, 30, 0, 0, 0, 0};
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 2, 0, 172, 60, 0, 0, 0,
                                0};
const SSensorMode kMode10Bit = {"10-bit", RegTable(kMode10BitRows), ADC_10BIT, false, 2, 0, 172, 60, 0, 0, 0,
                                0};

// Gain in 0.1 dB steps: high conversion gain from the unity gain on, where
// the analog code starts again 8 dB lower.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 182, .iHighOffset = 80, .iStep = 3};
SGainCode GainMap(int iGain) { return LinearGainCode(iGain, kGainLaw); }

}  // namespace

const SDriverDesc g_DescS820MC = {
    .szClassName = "CCameraS820MC",
    .model =
        {
            .szName = "VORN KYR820MC",
            .szShortName = "KYR820MC",
            .iPID = 0x820b,
            .iVID = 0x2e7b,
            .dPixelSize = 2.0,
            .iADCBits = 12,
            .iMaxExpUs = 2000000000,
            .iBayer = 0,
            .bColor = true,
            .iBandwidthMin = 40,
            .iBandwidthMax = 100,
            .ucBins = {2, 3, 4, 0},
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
            .iOffsetHighestDR = 3,
            .iOffsetUnityGain = 3,
            .iOffsetLowestRN = 15,
            .iGainLowestRN = 380,
            .iUnityGain = 182,
            .bUSB3Camera = true,
            .bCapAutoBandWidth = true,
            .iWBMax = 99,
            .iWBMin = 1,
            .iWBRDef = 62,
            .iWBBDef = 99,
            .iMaxWidth = 3840,
            .iMaxHeight = 2160,
            .bFPGAMonoBin = false,
            .fElecPerADU = 2.68f,
            .iOffsetDef = 3,
            .iOffsetMax = 350,
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
            .usHMAX = 172,
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
    .sensorBin = {{}, {}, {2, &kModeBin2x2}, {}, {2, &kModeBin2x2}},
    // A bin or type change keeps the high-speed choice: the 10-bit mode stays.
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {2, 0, 172, 60, 400000},
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
            .iLongBinExtraLines = 1112,
            .uVMAXMax = 0xFFFFFF,
            .uSHRLimit = 0x20000,
            .uSHRMax = 0x1FFFE,
            .iExpLinesGap = 6,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_FRAME_PLUS_PAD,
            .uLongPadUs = 10000,
            .iLongBinSHR = 1112,
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

CCameraS820MC::CCameraS820MC() : CEngineDriver(g_DescS820MC) {}

namespace {
CCameraBase* Create() { return new CCameraS820MC(); }
const CModelRegistrar kRegistrar("CCameraS820MC", Create);
}  // namespace

#include "CCameraS827MC.h"

#include "ModelFactory.h"

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

// The start registers are written after the window's mode register, in the hold.
const REG_TABLE_ROW kStartHeldRows[] = {{0x301C, 0x0004}};
const REG_TABLE_ROW kStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};
const REG_TABLE_ROW kClampOpenRows[] = {{0x3208, 0x0020}, {0x321C, 0x0001}, {0x3258, 0x0001}};
const REG_TABLE_ROW kClampCloseRows[] = {{0x3208, 0x0000}, {0x321C, 0x0000}, {0x3258, 0x0000}};

const SSensorMode kModeNormal = {.szName = "12-bit",
                                 .regs = RegTable(kModeNormalRows),
                                 .eAdc = ADC_12BIT,
                                 .bOut16FromType = true,
                                 .iVBLK = 12,
                                 .iHBLK = 0,
                                 .iMinHMAX = 155,
                                 .iExtraLines = 42,
                                 .iClockKHz = 0,
                                 .iAlignX = 0,
                                 .iAlignY = 0,
                                 .iStartOffsetY = 0};
// High speed also carries 16-bit data.
const SSensorMode kModeHighSpeed = {.szName = "10-bit",
                                    .regs = RegTable(kModeHighSpeedRows),
                                    .eAdc = ADC_10BIT,
                                    .bOut16FromType = true,
                                    .iVBLK = 12,
                                    .iHBLK = 0,
                                    .iMinHMAX = 98,
                                    .iExtraLines = 42,
                                    .iClockKHz = 0,
                                    .iAlignX = 0,
                                    .iAlignY = 0,
                                    .iStartOffsetY = 0};

// Gain in 0.1 dB steps: high conversion gain from 8 dB on, where the analog
// code starts again from 0.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 80, .iHighOffset = 80, .iStep = 3};
SGainCode GainMap827(int iGain) { return LinearGainCode(iGain, kGainLaw); }

// Without the DDR buffer, 16-bit data in high speed fits the link at 90 %.
int NoDDRCap827(bool, bool b16, bool bHighSpeed) { return b16 && bHighSpeed ? 90 : 100; }

}  // namespace

const SDriverDesc g_DescS827MC = {
    .szClassName = "CCameraS827MC",
    .model =
        {
            .szName = "VORN KYR827MC",
            .szShortName = "KYR827MC",
            .iPID = 0x827b,
            .iVID = 0x2e7b,
            .dPixelSize = 5.8,
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
            .iOffsetHighestDR = 0,
            .iOffsetUnityGain = 0,
            .iOffsetLowestRN = 0,
            .iGainLowestRN = 300,
            .iUnityGain = 210,
            .bUSB3Camera = true,
            .bCapAutoBandWidth = true,
            .iWBMax = 99,
            .iWBMin = 1,
            .iWBRDef = 60,
            .iWBBDef = 70,
            .iMaxWidth = 1920,
            .iMaxHeight = 1080,
            .bFPGAMonoBin = false,
            .fElecPerADU = 11.3f,
            .iOffsetDef = 1,
            .iOffsetMax = 200,
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
            .bDDREnable = false,
            .iFclk = 20000,
            .iFPSPerc = 80,
            .iFPSPercUSB3Def = 100,
            .usHMAX = 155,
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
    .bDDRTest = false,
    .iFPGAReg26 = -1,
    .bFPGABinModeReset = false,
    .iCoolingLevel = -1,
    .eReplay = REPLAY_FPS_GAIN_EXP,
    .bInitEndsInStandby = true,
    .pModeNormal = &kModeNormal,
    .pModeHighSpeed = &kModeHighSpeed,
    .pModeNormal16 = nullptr,
    .pModeHighSpeed16 = &kModeHighSpeed,
    .sensorBin = {},
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {0, 0, 155, 56, 381000},
    .usRegStartX = 0x303C,
    .usRegStartY = 0x3044,
    .usRegWidth = 0x303E,
    .usRegHeight = 0x3046,
    .startPreRows = {nullptr, 0},
    .iAlignX = 6,
    .iAlignY = 2,
    .iWidthAlign = 0,
    .iHeightAlign = 0,
    .bAlwaysCentre = false,
    .bHBLKFromStart = false,
    .startHeldRows = RegTable(kStartHeldRows),
    .iWindowScale = 2,
    .iWindowExtraRows = 24,
    .bNoFPGADataLen = true,
    .iSensorBinWidthStep = 0,
    .streamStartRows = RegTable(kStreamStartRows),
    .uStreamStartPauseMs = 30,
    .streamStopRows = RegTable(kStreamStopRows),
    .clampOpenRows = RegTable(kClampOpenRows),
    .clampCloseRows = RegTable(kClampCloseRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 381000,
    .iUSBBandwidthUSB2 = 43272,
    .bHasDDR = false,
    .bHalfLines = true,
    .gain = {GainMap827, 0x3034, 0x3084, 1},
    .offset = {0x30DC, 1},
    .exposure =
        {
            .fnCompute = ShutterLineExposure,
            .usRegSHR = 0x3050,
            .iSHRBytes = 3,
            .iMinSHR = 6,
            .iBinExtraLines = 0,
            .iLongExtraLines = 6,
            .iLongBinExtraLines = 0,
            .uVMAXMax = 0xFFFFFF,
            .uSHRLimit = 0xFFFFFFFF,  // no shutter line limit below the frame's
            .uSHRMax = 0xFFFFFFFF,
            .iExpLinesGap = 6,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_EXPOSURE,
            .uLongPadUs = 0,
            .eBinFrame = BIN_FRAME_PADDED,
        },
    .bandwidth =
        {
            .iHostUSB3 = 381000,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 100,
            .iAutoPercUSB2 = 80,
            .iCap16Perc = 0,
            .llCapPixels = 0,
            .llCapPixelsHardwareBin = 0,
            .iHMAXMax = 0xFFFF,
            .dSensorHMAXFactor = 1.85625,
            .usRegSensorHMAX = 0x3028,
            .bFPGABandWidth = false,
            .iFrameExtraLines = -1,
            .iBandwidthExtraLines = -1,
            .fnNoDDRCap = NoDDRCap827,
            .dLineTimeFactor = 0.0,
        },
};

CCameraS827MC::CCameraS827MC() : CEngineDriver(g_DescS827MC) {}

namespace {
CCameraBase* Create() { return new CCameraS827MC(); }
const CModelRegistrar kRegistrar("CCameraS827MC", Create);
}  // namespace

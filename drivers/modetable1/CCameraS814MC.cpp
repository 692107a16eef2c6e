#include "CCameraS814MC.h"

#include "ModelFactory.h"

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

// The start registers are written after the window's mode register, in the hold.
const REG_TABLE_ROW kStartHeldRows[] = {{0x301C, 0x0004}};
const REG_TABLE_ROW kStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};
const REG_TABLE_ROW kClampOpenRows[] = {{0x3208, 0x0020}, {0x321C, 0x0001}, {0x3258, 0x0001}};
const REG_TABLE_ROW kClampCloseRows[] = {{0x3208, 0x0000}, {0x321C, 0x0000}, {0x3258, 0x0000}};

// Sensor binning: the start row steps by 4.
const SSensorMode kModeBin2x2 = {.szName = "bin 2x2",
                                 .regs = RegTable(kModeBin2x2Rows),
                                 .eAdc = ADC_12BIT,
                                 .bOut16FromType = true,
                                 .iVBLK = 12,
                                 .iHBLK = 0,
                                 .iMinHMAX = 224,
                                 .iExtraLines = 58,
                                 .iClockKHz = 0,
                                 .iAlignX = 0,
                                 .iAlignY = 4,
                                 .iStartOffsetY = 0};
// 16-bit output needs the longer line of 444 clocks in both full-resolution modes.
const SSensorMode kMode12Bit = {.szName = "12-bit",
                                .regs = RegTable(kMode12BitRows),
                                .eAdc = ADC_12BIT,
                                .bOut16FromType = true,
                                .iVBLK = 22,
                                .iHBLK = 0,
                                .iMinHMAX = 300,
                                .iExtraLines = 56,
                                .iClockKHz = 0,
                                .iAlignX = 0,
                                .iAlignY = 0,
                                .iStartOffsetY = 0};
const SSensorMode kMode12Bit16 = {.szName = "12-bit 16-bit out",
                                  .regs = RegTable(kMode12BitRows),
                                  .eAdc = ADC_12BIT,
                                  .bOut16FromType = true,
                                  .iVBLK = 22,
                                  .iHBLK = 0,
                                  .iMinHMAX = 444,
                                  .iExtraLines = 56,
                                  .iClockKHz = 0,
                                  .iAlignX = 0,
                                  .iAlignY = 0,
                                  .iStartOffsetY = 0};
const SSensorMode kMode10Bit = {.szName = "10-bit",
                                .regs = RegTable(kMode10BitRows),
                                .eAdc = ADC_10BIT,
                                .bOut16FromType = true,
                                .iVBLK = 22,
                                .iHBLK = 0,
                                .iMinHMAX = 224,
                                .iExtraLines = 56,
                                .iClockKHz = 0,
                                .iAlignX = 0,
                                .iAlignY = 0,
                                .iStartOffsetY = 0};
const SSensorMode kMode10Bit16 = {.szName = "10-bit 16-bit out",
                                  .regs = RegTable(kMode10BitRows),
                                  .eAdc = ADC_10BIT,
                                  .bOut16FromType = true,
                                  .iVBLK = 22,
                                  .iHBLK = 0,
                                  .iMinHMAX = 444,
                                  .iExtraLines = 56,
                                  .iClockKHz = 0,
                                  .iAlignX = 0,
                                  .iAlignY = 0,
                                  .iStartOffsetY = 0};

// Gain in 0.1 dB steps: high conversion gain from 8 dB on, where the analog
// code starts again from 0.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 80, .iHighOffset = 80, .iStep = 3};
SGainCode GainMap814(int iGain) { return LinearGainCode(iGain, kGainLaw); }

// Without the DDR buffer the sensor's rate must fit the link: at most 52 %
// on USB 2; on USB 3 70 % for 16-bit data and 93 % in high speed.
int NoDDRCap814(bool bUSB3Host, bool b16, bool bHighSpeed) {
    if (!bUSB3Host) return 52;
    if (b16) return 70;
    return bHighSpeed ? 93 : 100;
}

}  // namespace

const SDriverDesc g_DescS814MC = {
    .szClassName = "CCameraS814MC",
    .model =
        {
            .szName = "VORN KYR814MC",
            .szShortName = "KYR814MC",
            .iPID = 0x814b,
            .iVID = 0x2e7b,
            .dPixelSize = 2.9,
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
            .iOffsetHighestDR = 0,
            .iOffsetUnityGain = 0,
            .iOffsetLowestRN = 0,
            .iGainLowestRN = 300,
            .iUnityGain = 100,
            .bUSB3Camera = true,
            .bCapAutoBandWidth = true,
            .iWBMax = 99,
            .iWBMin = 1,
            .iWBRDef = 57,
            .iWBBDef = 68,
            .iMaxWidth = 3840,
            .iMaxHeight = 2160,
            .bFPGAMonoBin = false,
            .fElecPerADU = 3.18f,
            .iOffsetDef = 1,
            .iOffsetMax = 400,
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
            .usHMAX = 300,
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
    .pModeNormal = &kMode12Bit,
    .pModeHighSpeed = &kMode10Bit,
    .pModeNormal16 = &kMode12Bit16,
    .pModeHighSpeed16 = &kMode10Bit16,
    .sensorBin = {{}, {}, {2, &kModeBin2x2}, {}, {2, &kModeBin2x2}},
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {22, 0, 300, 56, 381000},
    .usRegStartX = 0x303C,
    .usRegStartY = 0x3044,
    .usRegWidth = 0x303E,
    .usRegHeight = 0x3046,
    .startPreRows = {nullptr, 0},
    .iAlignX = 2,
    .iAlignY = 2,
    .iWidthAlign = 0,
    .iHeightAlign = 0,
    .bAlwaysCentre = false,
    .bHBLKFromStart = false,
    .startHeldRows = RegTable(kStartHeldRows),
    .iWindowScale = 0,
    .iWindowExtraRows = 0,
    .bNoFPGADataLen = true,
    .iSensorBinWidthStep = 12,
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
    .bHalfLines = false,
    .gain = {GainMap814, 0x3034, 0x3084, 2},
    .offset = {0x30DC, 2},
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
            .uSHRLimit = 0x20000,
            .uSHRMax = 0x1FFFE,
            .iExpLinesGap = 6,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_EXPOSURE,
            .uLongPadUs = 0,
            .eBinFrame = BIN_FRAME_ROWS_DOUBLED,
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
            .fnNoDDRCap = NoDDRCap814,
            .dLineTimeFactor = 0.5,
        },
};

CCameraS814MC::CCameraS814MC() : CEngineDriver(g_DescS814MC) {}

namespace {
CCameraBase* Create() { return new CCameraS814MC(); }
const CModelRegistrar kRegistrar("CCameraS814MC", Create);
}  // namespace

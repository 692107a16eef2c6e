#include "CCameraS831MC.h"

#include "engine/EngineRegistrar.h"

namespace {

// Start-up table: the published rows, in their order. The rows of this
// class follow the opening 0x300C row in register order; the rows both
// classes share come after them.
const REG_TABLE_ROW kInitClassRows[] = {
    {REG_TABLE_DELAY, 20}, {0x300C, 0x0001}, {0x3005, 0x0000}, {0x300D, 0x0000}, {0x301C, 0x0010},
};
const REG_TABLE_ROW kInitSharedRows[] = {
    {0x3016, 0x0001}, {0x300A, 0x0001}, {0x301B, 0x0000}, {0x3022, 0x00F0}, {0x3254, 0x003C},
    {0x3255, 0x0000}, {0x3300, 0x0003}, {0x3310, 0x0000}, {0x3311, 0x0000}, {0x3312, 0x0000},
    {0x3313, 0x0000}, {0x3314, 0x00B0}, {0x3315, 0x0005}, {0x3316, 0x0040}, {0x3317, 0x0004},
    {0x4014, 0x001C}, {0x40C1, 0x00F6}, {0x40C7, 0x000F}, {0x40C8, 0x0000},
};

// The two sensor modes, walked without the hold.
const REG_TABLE_ROW kModeHighSpeedRows[] = {
    {REG_TABLE_DELAY, 20}, {0x300C, 0x0000}, {0x3016, 0x0000}, {0x3165, 0x0000}, {0x3169, 0x0010},
    {0x316A, 0x0002},      {0x3182, 0x0004}, {0x400E, 0x0058}, {0x4041, 0x002A}, {0x40A2, 0x0006},
};
const REG_TABLE_ROW kModeNormalRows[] = {
    {REG_TABLE_DELAY, 20}, {0x300C, 0x0001}, {0x3016, 0x0001}, {0x3165, 0x0060}, {0x3169, 0x00B0},
    {0x316A, 0x0001},      {0x3182, 0x0004}, {0x400E, 0x0048}, {0x4041, 0x0028}, {0x40A2, 0x000A},
};

const REG_TABLE_ROW kStreamStartRows[] = {{0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// Lines added to the readout rows for the frame; the FPGA's VBLK.
constexpr int kExtraLines = 42;
constexpr int kVBLK = 11;

const SSensorMode kModeNormal = {.szName = "normal",
                                 .regs = RegTable(kModeNormalRows),
                                 .eAdc = ADC_12BIT,
                                 .bOut16FromType = true,
                                 .iVBLK = kVBLK,
                                 .iHBLK = 0,
                                 .iMinHMAX = 156,
                                 .iExtraLines = kExtraLines};
// High speed is a mode of 8-bit output: 10-bit ADC.
const SSensorMode kModeHighSpeed = {.szName = "high speed",
                                    .regs = RegTable(kModeHighSpeedRows),
                                    .eAdc = ADC_10BIT,
                                    .bOut16FromType = false,
                                    .iVBLK = kVBLK,
                                    .iHBLK = 0,
                                    .iMinHMAX = 80,
                                    .iExtraLines = kExtraLines};

// Exposures more than 100 ms beyond the frame: the line count at
// 0x40CC/D and 0x40D0/1, then the sensor's long-exposure switches.
const REG_TABLE_ROW kLongExpOnRows[] = {
    {0x40CE, 0x0001}, {0x40CF, 0x0000}, {0x40D2, 0x0001}, {0x40D3, 0x0000},
    {0x309C, 0x002C}, {0x40C9, 0x00FF}, {0x3024, 0x0001},
};
const REG_TABLE_ROW kLongExpOffRows[] = {{0x3024, 0x0000}};
const SLongExpRegBlock kLongExpRegs = {
    .uBeyondFrameUs = 100000,
    .usRegLines = {0x40CC, 0x40D0},
    .iLinesAdd = 83,
    .iLinesMax = 4095,
    .onRows = RegTable(kLongExpOnRows),
    .offRows = RegTable(kLongExpOffRows),
};

// The long-exposure wait: SetExp holds the FPGA's wait and trigger modes,
// so a pass switches nothing. Trigger up, 50 ms, low power; longer than one
// sleep, counted 200 ms steps with the horizontal sync stopped at step 4
// where the DDR or a USB 3 host carries the frame; low power off, 150 ms and
// 200 ms, sync back, trigger down.
const SLongExpAction kLongOpen[] = {
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 50, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpStep kLongSteps[] = {
    {4, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_DDR_OR_USB3}},
};
const SLongExpAction kLongClose[] = {
    {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},      {LONG_OP_PAUSE, 150, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 200, 0, LONG_WHEN_ALWAYS},        {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_DDR_OR_USB3},
    {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};
const SLongExpScript kLongExp = {
    .open = LongExpActions(kLongOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 400000,
    .uStepMs = 200,
    .uStepLeadMs = 400,
    .bCountedSteps = true,
    .pSteps = kLongSteps,
    .iSteps = sizeof(kLongSteps) / sizeof(kLongSteps[0]),
    .close = LongExpActions(kLongClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
};

// One linear gain range, no conversion-gain switch.
SGainCode GainMap831(int iGain) { return LinearGainCode(iGain, SLinearGainLaw{480, 481, 0, 1}); }

SModelConstants Model831MC() {
    SModelConstants m = TemplateModelConstants();
    m.szName = "VORN KYR831MC";
    m.szShortName = "KYR831MC";
    m.iPID = 0x831a;
    m.dPixelSize = 3.45;
    m.ucBins[0] = 2;
    m.iGainMax = 480;
    m.iAutoGainMax = 240;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 27;
    m.iOffsetLowestRN = 90;
    m.iGainLowestRN = 240;
    m.iUnityGain = 87;
    m.iWBRDef = 60;
    m.iWBBDef = 99;
    m.iMaxWidth = 1456;
    m.iMaxHeight = 1088;
    m.fElecPerADU = 2.74f;
    m.iOffsetMax = 120;
    m.iST4 = 1;
    m.iFPSPercUSB3Def = 80;
    m.usHMAX = 156;
    return m;
}

}  // namespace

const SDriverDesc g_DescS831MC = {
    .szClassName = "CCameraS831MC",
    .model = Model831MC(),
    .hold = {true, 0x3008, 1, 0},
    .standby = {true, 0x3000, 1, 0},
    .initTable = RegTable(kInitClassRows),
    .initFixedRows = RegTable(kInitSharedRows),
    .uResetPauseMs = 20,
    // The FPGA-timed family's start-up command, once the FPGA is set up.
    .eStartCmd = START_CMD_AFTER_SET_UP,
    .bInitSetsOutputWidth = true,
    .pModeNormal = &kModeNormal,
    .pModeHighSpeed = &kModeHighSpeed,
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {kVBLK, 0, 156, kExtraLines, 390000},
    // The family's mode switch: the rows as they stand, the FPGA's data format left to the output width.
    .modeSwitch = {.bUnheld = true, .bKeepsDataFormat = true},
    .usRegStartX = 0x3310,
    .usRegStartY = 0x3312,
    .usRegWidth = 0x3314,
    .usRegHeight = 0x3316,
    .iAlignX = 4,
    .iAlignY = 4,
    .bAlwaysCentre = true,
    .eWindow = WINDOW_FPGA_TIMED,
    .streamStartRows = RegTable(kStreamStartRows),
    .uStreamStartPauseMs = 10,
    .streamStopRows = RegTable(kStreamStopRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 390000,
    .iUSBBandwidthUSB2 = 43272,
    .gain = {GainMap831, 0, 0x3204, 2},
    .offset = {.usReg = 0x3254, .iBytes = 2, .bUnheld = true},
    .exposure =
        {
            .fnCompute = FrameLengthExposure,
            .usRegSHR = 0x308D,
            .iSHRBytes = 3,
            .iMinSHR = 16,
            .iLongExtraLines = 16,
            .iLongBinExtraLines = 16,
            .uVMAXMax = 0xFFFFF,
            .uSHRLimit = 0xFFFFFFFF,
            .uSHRMax = 0xFFFFF,
            .iExpLinesGap = 1,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_EXPOSURE,
            .dOffsetUs = 13.73,
            .iVMAXBase = kExtraLines,
            .bFPGAVMAXInHold = true,
            .pLongExpRegs = &kLongExpRegs,
        },
    .bandwidth =
        {
            .iHostUSB3 = 390000,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 80,
            .iAutoPercUSB2 = 80,
            .iHMAXMax = 0xFFFF,
            .iFrameExtraLines = -1,
            .iBandwidthExtraLines = -1,
        },
    .pLongExp = &kLongExp,
    .fpgaTimed = {.bOn = true},
    // A bin change alone keeps the sensor mode.
    .bModeFollowsType = true,
};

CCameraS831MC::CCameraS831MC() : CS831Driver(g_DescS831MC) {}

namespace {
const CEngineRegistrar<CCameraS831MC> kRegistrar("CCameraS831MC", g_DescS831MC);
}  // namespace

#include "CCameraS809MC.h"

#include "engine/EngineRegistrar.h"
#include "engine/timing/TimingMaster.h"

namespace {

// Start-up table: the 14 published rows, in their order, with the delay first.
const REG_TABLE_ROW kInitTable[] = {
    {REG_TABLE_DELAY, 20}, {0x0200, 0x0004}, {0x0201, 0x0001}, {0x0216, 0x0000}, {0x0218, 0x0000},
    {0x0219, 0x0000},      {0x04A9, 0x0005}, {0x04AB, 0x0011}, {0x0500, 0x004D}, {0x0502, 0x00AD},
    {0x050A, 0x0086},      {0x050B, 0x0010}, {0x050C, 0x000E}, {0x050D, 0x0011},
};
const REG_TABLE_ROW kInitFixedRows[] = {{0x025A, 0x0007}, {0x0202, 0x0081}};
// FPGA register 26 = 1 right after the FPGA reset.
const REG_TABLE_ROW kFpgaResetRows[] = {{FPGA_REG_26, 0x0001}};

// Operating state 0x0200: 4 streams, 3 stops, 6 is standby.
constexpr uint16_t kRegState = 0x0200;
constexpr uint8_t kStateStream = 4;
constexpr uint8_t kStateStop = 3;
constexpr uint8_t kStateStandby = 6;
const REG_TABLE_ROW kStreamRows[] = {{kRegState, kStateStream}};
const REG_TABLE_ROW kStopRows[] = {{kRegState, kStateStop}};

// The one mode: four data lanes, a line of at least 288 clocks, the FPGA's
// 24 lines of vertical blanking and 52 columns before the window, 100 lines
// beyond the readout in every frame, the sensor's rows from 51 lines below
// the start row. It has no sensor rows: a mode switch sets the lanes alone.
const SSensorMode kMode = {.szName = "12-bit",
                           .regs = {nullptr, 0},
                           .eAdc = ADC_12BIT,
                           .bOut16FromType = true,
                           .iVBLK = 24,
                           .iHBLK = 52,
                           .iMinHMAX = 288,
                           .iExtraLines = 100,
                           .iStartOffsetY = 51,
                           .iLanes = LVDS_CHANNEL_4};

// USB constants of the link: what a USB 3 and a USB 2 host carry.
constexpr int kHostUSB3 = 361454;
constexpr int kHostUSB2 = 43272;

// Long exposures: the trigger up, 50 ms; up to 1,000,999 us one sleep of
// the exposure less 400 ms; longer, 100 ms steps until the exposure has
// passed, the sensor in standby after 4 steps, low power after 6, the
// horizontal sync stopped after 8. Then low power off, 100 ms, the sensor
// streaming again, 50 ms, the sync running again, the trigger down.
const SLongExpAction kLongOpen[] = {
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 50, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_LOG_WAIT, 0, 0, LONG_WHEN_ALWAYS},
};
const SLongExpStep kLongSteps[] = {
    {4, {LONG_OP_SENSOR, kStateStandby, kRegState, LONG_WHEN_ALWAYS}},
    {6, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
    {8, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_ALWAYS}},
};
const SLongExpAction kLongClose[] = {
    {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SENSOR, kStateStream, kRegState, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 50, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};
const SLongExpScript kLongExp = {
    .everyPass = {nullptr, 0},
    .open = LongExpActions(kLongOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 400000,
    .beforeSteps = {nullptr, 0},
    .uStepMs = 100,
    .uStepLeadMs = 0,
    .bCountedSteps = false,
    .pSteps = kLongSteps,
    .iSteps = sizeof(kLongSteps) / sizeof(kLongSteps[0]),
    .close = LongExpActions(kLongClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
};

SDriverDesc Desc809() {
    SDriverDesc d{};
    d.szClassName = "CCameraS809MC";
    SModelConstants& m = d.model = TemplateModelConstants();
    m.szName = "VORN KYR809MC";
    m.szShortName = "KYR809MC";
    m.iPID = 0x809b;
    m.dPixelSize = 3.3;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iGainMax = 240;
    m.iGainDef = 120;
    m.iAutoGainMax = 120;
    m.iOffsetHighestDR = 2;
    m.iOffsetUnityGain = 5;
    m.iOffsetLowestRN = 10;
    m.iGainLowestRN = 240;
    m.iUnityGain = 85;
    m.iWBRDef = 52;
    m.iWBBDef = 95;
    m.iMaxWidth = 5320;
    m.iMaxHeight = 3956;
    m.fElecPerADU = 2.68f;
    m.iOffsetDef = 8;
    m.iOffsetMax = 80;
    m.bCapHighSpeed = false;
    m.iST4 = 1;
    m.usHMAX = 288;

    // No register hold: every sensor write stands alone.
    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    d.uResetPauseMs = 20;
    d.fpgaResetRows = RegTable(kFpgaResetRows);
    d.bNoStartCmd = true;
    // Bins are software bins: the FPGA's bin mode is set to none once, at start-up.
    d.fnFpgaSetUp = FpgaBinModeNone;
    d.iCoolingLevel = -1;
    d.eReplay = REPLAY_FPS_GAIN_EXP;
    // The sensor stops at the end; the FPGA stays as its set-up left it.
    d.initEndRows = RegTable(kStopRows);

    d.pModeNormal = &kMode;
    // The FPGA's data format follows the output width alone.
    d.modeSwitch.bKeepsDataFormat = true;
    d.timingInit = {24, 52, 288, 100, kHostUSB3};
    // Bins are software bins: a bin change alone keeps the mode.
    d.bModeFollowsType = true;
    d.bHardwareBinIgnored = true;

    // The FPGA cuts the columns; the sensor takes an odd start row and a row count.
    d.usRegStartY = 0x020E;
    d.usRegHeight = 0x0210;
    d.iAlignX = 4;
    d.iAlignY = 2;
    d.bAlwaysCentre = true;
    d.iWindowExtraRows = -1;
    d.bNoFPGADataLen = true;
    d.eWindow = WINDOW_FPGA_CROPS_COLUMNS;

    d.streamStartRows = RegTable(kStreamRows);
    d.uStreamStartPauseMs = 10;
    d.streamStopRows = RegTable(kStopRows);

    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = kHostUSB3;
    d.iUSBBandwidthUSB2 = kHostUSB2;

    // Gain: 4095 - 4095 x 10^(-gain / 200), the same 12 bits to both channels.
    d.gain.usRegCode = 0x0275;
    d.gain.iCodeBytes = 2;
    d.gain.iPowerLawScale = 4095;
    d.gain.usRegCodeCopy = 0x0277;
    // Offset x 10, bit 0 of the low byte clear.
    d.offset = {.usReg = 0x024A, .iBytes = 2, .iScale = 10, .ucLowMask = 0xFE};

    SExposureRule& e = d.exposure;
    // The sensor counts its lines 15.4 us after the shutter, in single precision.
    e.fnCompute = SinglePrecisionShutterLineExposure;
    e.usRegSHR = 0x0207;
    e.iSHRBytes = 2;
    e.iMinSHR = 4;
    e.iLongExtraLines = 8;
    e.iLongSHR = 8;
    e.uVMAXMax = 0xFFFFFF;
    e.uSHRLimit = 0x10000;
    e.uSHRMax = 0xFFFF;
    e.iExpLinesGap = 4;
    e.ullLongFromUs = 1000000;
    // The sensor is programmed for the exposure asked for, also in long mode.
    e.eLongProgram = LONG_EXP_EXPOSURE;
    e.dOffsetUs = 15.4;
    e.szEnterLongLog = "-----Enter long exp mode\n";
    e.szExitLongLog = "-----Exit long exp mode\n";

    SBandwidthRule& b = d.bandwidth;
    b.iHostUSB3 = kHostUSB3;
    b.iHostUSB2 = kHostUSB2;
    b.iAutoPercUSB3 = 100;
    b.iAutoPercUSB2 = 80;
    b.iHMAXMax = 0xFFFF;
    b.iFrameExtraLines = -1;
    b.iBandwidthExtraLines = -1;
    d.pLongExp = &kLongExp;
    return d;
}

}  // namespace

const SDriverDesc g_DescS809MC = Desc809();

CCameraS809MC::CCameraS809MC() : CEngineDriver(g_DescS809MC) {}

namespace {
const CEngineRegistrar<CCameraS809MC> kRegistrar("CCameraS809MC", g_DescS809MC);
}  // namespace

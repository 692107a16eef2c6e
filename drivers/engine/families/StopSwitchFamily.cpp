#include "engine/families/StopSwitchFamily.h"

#include "engine/families/StandbyWakeFamily.h"

namespace {

// The gain bands: conversion gain 0x02D, 0x04D and the bias 0x1C3-0x1C6 by the gain stored.
const REG_TABLE_ROW kBandBelow60[] = {{0x02D, 0x00}, {0x04D, 0x08}, {0x1C3, 0x12},
                                      {0x1C4, 0x12}, {0x1C5, 0x12}, {0x1C6, 0x12}};
const REG_TABLE_ROW kBandFrom60[] = {{0x02D, 0x04}, {0x04D, 0x0A}, {0x1C3, 0x12},
                                     {0x1C4, 0x12}, {0x1C5, 0x12}, {0x1C6, 0x12}};
const REG_TABLE_ROW kBandFrom100[] = {{0x02D, 0x01}, {0x04D, 0x08}, {0x1C3, 0x12},
                                      {0x1C4, 0x12}, {0x1C5, 0x12}, {0x1C6, 0x12}};
const REG_TABLE_ROW kBandFrom160[] = {{0x02D, 0x05}, {0x04D, 0x0A}, {0x1C3, 0x12},
                                      {0x1C4, 0x12}, {0x1C5, 0x12}, {0x1C6, 0x12}};
const REG_TABLE_ROW kBandFrom280[] = {{0x02D, 0x05}, {0x04D, 0x0C}, {0x1C3, 0x21},
                                      {0x1C4, 0x21}, {0x1C5, 0x2B}, {0x1C6, 0x2B}};
const SGainBand kGainBands[] = {
    {0, RegTable(kBandBelow60)},    {60, RegTable(kBandFrom60)},   {100, RegTable(kBandFrom100)},
    {160, RegTable(kBandFrom160)}, {280, RegTable(kBandFrom280)},
};

// Written after the start-up table.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x001, 0x40}, {0x002, 0x10}, {0x005, 0x01}, {0x187, 0x02}, {0x0A5, 0x01}, {0x046, 0x07}, {0x0AE, 0x01},
};

// Stream switch 0x19E (1 streams, 5 parks) and stop switch 0x000 (0 streams, 1 stops).
constexpr uint16_t kRegStream = 0x19E;
constexpr uint32_t kStreaming = 1;
constexpr uint32_t kParked = 5;
const REG_TABLE_ROW kStreamStartRows[] = {{kRegStream, kStreaming}, {0x000, 0x00}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x000, 0x01}};

// Window: 0x005 = 1 before the start and the size; crop switch 0x0A5, start
// column 0x0A6/7 in 16-pixel units, bin mode 0x187 = 2 in every mode, the
// rows at 0x008/9 with the mode's added rows, the line width 0x18C/D = the
// columns read. The sensor's 2 x 2 and 3 x 3 binning read whole lines.
const REG_TABLE_ROW kWindowRows[] = {{0x005, 0x01}};
const SSwitchedCropRule kWindow = {.usRegCrop = 0x0A5,
                                   .usRegStartX = 0x0A6,
                                   .iStartXUnit = 16,
                                   .usRegBinMode = 0x187,
                                   .ucBinModeBinned = 2,
                                   .ucBinModeUnbinned = 2,
                                   .iBinnedRowsAdd = 0,
                                   .usRegLineWidth = 0x18C,
                                   .iLineWidthAlign = 1,
                                   .iLineWidthPad = 0,
                                   .windowRows = RegTable(kWindowRows),
                                   .ucWholeLineFactors = (1 << 2) | (1 << 3),
                                   .bSizeWithoutStandby = true};

// Long exposures: 15 ms, the FPGA re-synchronised from a fresh status read,
// the begin line, the trigger up; 100 ms steps, the sensor parked after
// step 2, low power after step 4, XHS stopped after step 6; low power off,
// 100 ms, the sensor streaming again, 100 ms, XHS running, the trigger down.
const SLongExpAction kLongOpen[] = {
    {LONG_OP_PAUSE, 15, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SYNC, 5, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_LOG_BEGIN, 0, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpStep kLongSteps[] = {
    {2, {LONG_OP_SENSOR, kParked, kRegStream, LONG_WHEN_ALWAYS}},
    {4, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
    {6, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_ALWAYS}},
};
const SLongExpAction kLongClose[] = {
    {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},  {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SENSOR, kStreaming, kRegStream, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS}, {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};
const SLongExpScript kLongExp = {
    .everyPass = {nullptr, 0},
    .open = LongExpActions(kLongOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 200000,
    .beforeSteps = {nullptr, 0},
    .uStepMs = 100,
    .uStepLeadMs = 0,
    .bCountedSteps = false,
    .pSteps = kLongSteps,
    .iSteps = static_cast<int>(sizeof(kLongSteps) / sizeof(kLongSteps[0])),
    .close = LongExpActions(kLongClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
    .eSyncFrom = LONG_SYNC_FROM_FRESH_READ,
    .eSyncGiveUp = LONG_SYNC_GIVE_UP_LOG_AND_READS,
};

}  // namespace

SDriverDesc StopSwitchFamilyDesc() {
    SDriverDesc d = StandbyWakeFamilyDesc();
    SModelConstants& m = d.model;
    m.iADCBits = 14;
    m.dPixelSize = 3.76;
    m.iMaxWidth = m.iMaxHeight = 3008;
    m.iGainMax = 600;
    m.iAutoGainMax = 300;
    m.iOffsetMax = 100;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 20;
    m.iUnityGain = 100;
    m.iGainLowestRN = 360;
    m.iOffsetLowestRN = 70;
    m.fElecPerADU = 3.18f;
    m.usHMAX = 330;
    m.iHeaterLevel = 1;
    m.iCoolerCtrlType = 0;
    m.bCapAntiDew = false;
    m.bCapHighSpeed = false;
    m.bTriggerCam = false;

    // The sensor has no standby of its own: its stop switch starts and stops the stream.
    d.standby = {};
    d.uInitPauseMs = 0;
    d.iCoolingLevel = -1;
    d.initFixedRows = RegTable(kInitFixedRows);
    // One readout speed per mode: the high-speed flag is stored and nothing follows from it.
    d.pModeHighSpeed = d.pModeHighSpeed16 = nullptr;

    d.usRegStartY = 0x006;
    d.usRegHeight = 0x008;
    d.pSwitchedCrop = &kWindow;

    d.streamStartRows = RegTable(kStreamStartRows);
    d.streamStartBits = {};
    d.uStreamStartPauseMs = 0;
    d.eStreamStart = STREAM_START_ROWS_THEN_OUTPUT;
    d.streamStopRows = RegTable(kStreamStopRows);
    d.streamStopBits = {};
    d.pLongExp = &kLongExp;

    d.iUSBBandwidthUSB3 = d.bandwidth.iHostUSB3 = 381000;
    d.iUSBBandwidthUSB2 = d.bandwidth.iHostUSB2 = 43272;

    SGainRule& g = d.gain;
    g.usRegConvGain = 0;  // the bands switch the conversion gain
    g.usRegCode = 0x030;
    g.usRegCodeCopy = 0;
    g.usRegDigital = 0x03E;
    g.pBands = kGainBands;
    g.iBands = static_cast<int>(sizeof(kGainBands) / sizeof(kGainBands[0]));

    d.offset = {.usReg = 0x040, .iBytes = 2, .iScale = 10, .ucLowMask = 0xFE, .usRegCopy = 0x042};

    SExposureRule& e = d.exposure;
    e.usRegSHR = 0x016;
    e.fnShutterValue = HalfLineShutter;
    e.iMinSHR = 4;
    e.iShsGap = 4;
    e.iExpLinesGap = 4;
    e.iLongExtraLines = 4;
    e.iLongSHR = 4;
    e.uLongPadUs = 10000;

    SCaptureHooks& c = d.capture;
    c.bStatusEachPass = false;
    c.bLivenessAfterShort = false;
    c.bGPIFOnGiveUp = true;
    return d;
}

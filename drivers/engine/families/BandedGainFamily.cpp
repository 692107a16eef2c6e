#include "engine/families/BandedGainFamily.h"

#include "engine/families/StandbyWakeFamily.h"

namespace {

// The gain bands: conversion gain 0x02D, 0x04D and 0x3A2-0x3A6 by the gain stored.
const REG_TABLE_ROW kBandBelow60[] = {{0x02D, 0x00}, {0x04D, 0x08}, {0x3A2, 0x07}, {0x3A3, 0x11},
                                      {0x3A4, 0x11}, {0x3A5, 0x11}, {0x3A6, 0x11}};
const REG_TABLE_ROW kBandFrom60[] = {{0x02D, 0x04}, {0x04D, 0x0A}, {0x3A2, 0x07}, {0x3A3, 0x11},
                                     {0x3A4, 0x11}, {0x3A5, 0x11}, {0x3A6, 0x11}};
const REG_TABLE_ROW kBandFrom100[] = {{0x02D, 0x01}, {0x04D, 0x08}, {0x3A2, 0x07}, {0x3A3, 0x11},
                                      {0x3A4, 0x11}, {0x3A5, 0x11}, {0x3A6, 0x11}};
const REG_TABLE_ROW kBandFrom160[] = {{0x02D, 0x05}, {0x04D, 0x0A}, {0x3A2, 0x07}, {0x3A3, 0x11},
                                      {0x3A4, 0x11}, {0x3A5, 0x11}, {0x3A6, 0x11}};
const REG_TABLE_ROW kBandFrom280[] = {{0x02D, 0x05}, {0x04D, 0x0C}, {0x3A2, 0x07}, {0x3A3, 0x11},
                                      {0x3A4, 0x23}, {0x3A5, 0x2D}, {0x3A6, 0x2D}};
const SGainBand kGainBands[] = {
    {0, RegTable(kBandBelow60)},    {60, RegTable(kBandFrom60)},   {100, RegTable(kBandFrom100)},
    {160, RegTable(kBandFrom160)}, {280, RegTable(kBandFrom280)},
};

// Written after the start-up table.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x002, 0x10}, {0x005, 0x01}, {0x0A5, 0x01}, {0x187, 0x04}, {0x046, 0x0F}, {0x04F, 0x08},
};

// Stream switch 0x19E: 1 streams, 5 parks (also during long exposures).
constexpr uint16_t kRegStream = 0x19E;
const REG_TABLE_ROW kStreamRows[] = {{kRegStream, 0x01}};
const REG_TABLE_ROW kParkRows[] = {{kRegStream, 0x05}};

// Window: 0x005 = 1 before the start and the size; crop switch 0x0A5, start
// column 0x0A6/7 in 16-pixel units, bin mode 0x187 (0 whole binned lines, 4
// cropped), rows + 2 with whole lines, line width 0x18C/D = width + 24 (not
// rounded). Only the sensor's 3 x 3 binning reads whole lines; the size is
// written with the sensor awake.
const REG_TABLE_ROW kWindowRows[] = {{0x005, 0x01}};
const SSwitchedCropRule kWindow = {0x0A5, 0x0A6, 16, 0x187, 0, 4, 2, 0x18C, 1, 24, RegTable(kWindowRows), 1 << 3, true};

}  // namespace

void SetBandedGainSensorRules(SDriverDesc* pDesc) {
    SGainRule& g = pDesc->gain;
    g.usRegConvGain = 0;  // the bands switch the conversion gain
    g.usRegCode = 0x02E;
    g.usRegCodeCopy = 0x030;
    g.usRegDigital = 0x03E;
    g.pBands = kGainBands;
    g.iBands = static_cast<int>(sizeof(kGainBands) / sizeof(kGainBands[0]));

    pDesc->offset = {.usReg = 0x040, .iBytes = 2, .iScale = 10, .usRegCopy = 0x042, .iBinnedMul = 100,
                     .iBinnedDiv = 16};

    SExposureRule& e = pDesc->exposure;
    e.usRegSHR = 0x016;
    e.fnShutterValue = HalfLineShutterFromThird;
    e.iMinSHR = 3;
    e.iShsGap = 3;
    e.iExpLinesGap = 3;
    e.iLongExtraLines = 20;
    e.iLongSHR = 20;
    e.uLongPadUs = 10000;
}

SDriverDesc BandedGainFamilyDesc() {
    SDriverDesc d = StandbyWakeFamilyDesc();
    SetBandedGainSensorRules(&d);
    d.model.dPixelSize = 3.76;
    d.model.bTriggerCam = true;
    d.initFixedRows = RegTable(kInitFixedRows);

    d.usRegStartY = 0x006;
    d.usRegHeight = 0x008;
    d.pSwitchedCrop = &kWindow;

    d.streamStartRows = RegTable(kStreamRows);
    d.streamStopRows = RegTable(kParkRows);
    d.uStreamStartPauseMs = 0;
    d.pLongExp = &StandbyWakeLongExp<kRegStream>();

    SCaptureHooks& c = d.capture;
    c.bTriggerCapture = true;
    c.bTriggerResetAfterStart = true;
    c.bTriggerKeepsSignal = true;
    // A frame read out onto the work buffer itself is not copied onto it again.
    d.bSkipCopyOntoWorkBuffer = true;
    return d;
}

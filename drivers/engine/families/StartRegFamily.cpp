#include "engine/families/StartRegFamily.h"

namespace {

// Written by code after the start-up table, inside its hold: the normal
// readout's values.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x3002, 0x0001}, {0x3018, 0x0004}, {0x3050, 0x0001},
    {0x341C, 0x0047}, {0x341D, 0x0000}, {0x319D, 0x0001},
};
// Written first inside the hold of every start change of the sensors with a
// frame length of their own.
const REG_TABLE_ROW kStartHeldRows[] = {{0x3018, 0x0004}};
const REG_TABLE_ROW kStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// The sensor's first readable column and row, and the step of its
// horizontal start.
constexpr int kFirstX = 48;
constexpr int kStepX = 12;
constexpr int kFirstY = 176;

}  // namespace

SStartWindowRule StartRegFamilyWindow() {
    SStartWindowRule r{};
    r.usRegStartX = 0x302C;
    r.usRegStartY = 0x3074;
    r.usRegStartY2 = 0x308E;
    r.usRegTopSkip = 0x30CE;
    r.usRegTopSkipMode = 0x30C6;
    r.usRegEnd = 0x30D8;
    r.usRegWidth = 0x302E;
    r.usRegRows[0] = 0x3076;
    r.usRegRows[1] = 0x3090;
    r.usRegRows[2] = 0x3308;
    r.iFirstX = kFirstX;
    r.iStepX = kStepX;
    r.iFirstY = kFirstY;
    r.iAlignY = 1;
    // The sensor counts row pairs from its first row.
    r.iScaleY = 2;
    r.iAddY = kFirstY;
    // Windows starting more than 99 rows down skip the sensor's top rows.
    r.iTopSkipFrom = 99;
    r.iTopSkip = 100;
    r.iTopSkipMode = 0x12;
    r.iEndPad = 208;
    r.iWidthStep = 24;
    r.iWidthPad = 24;
    r.iRowsMul = 1;
    return r;
}

void StartRegOwnFrameLength(SDriverDesc& d) {
    d.startHeldRows = RegTable(kStartHeldRows);
    d.eHighSpeed16 = HS16_REAPPLIED;
    d.exposure.usRegSensorVMAX = 0x3030;
    d.exposure.iSensorVMAXBytes = 3;
    d.bandwidth.bFPGABandWidth = false;
}

void SetModelBins(SModelConstants& m, std::initializer_list<uint8_t> bins) {
    size_t i = 0;
    for (uint8_t bin : bins)
        if (i + 1 < sizeof(m.ucBins)) m.ucBins[i++] = bin;
    while (i < sizeof(m.ucBins)) m.ucBins[i++] = 0;
}

SDriverDesc StartRegFamilyDesc() {
    SDriverDesc d{};
    d.model = TemplateModelConstants();
    SModelConstants& m = d.model;
    m.dPixelSize = 2.0;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 20;
    m.iOffsetLowestRN = 70;
    m.iGainLowestRN = 360;
    m.iUnityGain = 100;
    m.iWBRDef = 52;
    m.iWBBDef = 95;
    m.fElecPerADU = 3.18f;
    m.iOffsetMax = 200;
    d.hold = {true, 0x3001, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    d.initFixedRows = RegTable(kInitFixedRows);
    d.bInitTableInHold = true;
    d.uResetPauseMs = 20;
    d.iCoolingLevel = -1;
    d.eReplay = REPLAY_FPS_GAIN_EXP;
    d.bInitEndsInStandby = true;
    d.eModeRule = MODE_RULE_ARG_BIN_STORED_SPEED;
    d.bAlwaysCentre = true;
    // The FPGA's window registers alone size the frame.
    d.bNoFPGADataLen = true;
    d.streamStartRows = RegTable(kStreamStartRows);
    d.uStreamStartPauseMs = 30;
    d.streamStopRows = RegTable(kStreamStopRows);
    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 381000;
    d.iUSBBandwidthUSB2 = 43272;
    d.gain = {GainCodeThirds, 0, 0x30E8, 2};
    d.offset = {0x3302, 2};
    SExposureRule& e = d.exposure;
    e.fnCompute = ShutterLineExposure;
    e.usRegSHR = 0x3058;
    e.iSHRBytes = 3;
    e.uVMAXMax = 0xFFFFFF;
    e.uSHRLimit = 0x20000;
    e.uSHRMax = 0x1FFFE;
    e.ullLongFromUs = 1000000;
    e.uLongPadUs = 10000;
    // The frame is the readout whatever the sensor bins, and a frame longer
    // than the readout ends the shortest shutter line after the exposure.
    e.eBinFrame = BIN_FRAME_UNCHANGED;
    e.bLongAddsMinSHR = true;
    // Without the DDR the sensor is programmed for the real exposure also
    // while the FPGA times it (the cooled twins run frames instead).
    e.eLongProgram = LONG_EXP_EXPOSURE;
    SBandwidthRule& b = d.bandwidth;
    b.iHostUSB3 = 381000;
    b.iHostUSB2 = 43272;
    b.iAutoPercUSB3 = 100;
    b.iAutoPercUSB2 = 80;
    b.iHMAXMax = 0xFFFF;
    b.dSensorHMAXFactor = 1.85625;
    b.usRegSensorHMAX = 0x3034;
    b.iFrameExtraLines = -1;
    b.iBandwidthExtraLines = -1;
    b.bSensorBinKeepsRows = true;
    return d;
}

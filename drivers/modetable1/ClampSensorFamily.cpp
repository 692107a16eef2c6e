#include "ClampSensorFamily.h"

namespace {

// The start registers are written after the window's mode register, in the hold.
const REG_TABLE_ROW kStartHeldRows[] = {{0x301C, 0x0004}};
const REG_TABLE_ROW kStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};
const REG_TABLE_ROW kClampOpenRows[] = {{0x3208, 0x0020}, {0x321C, 0x0001}, {0x3258, 0x0001}};
const REG_TABLE_ROW kClampCloseRows[] = {{0x3208, 0x0000}, {0x321C, 0x0000}, {0x3258, 0x0000}};

// Gain in 0.1 dB steps: high conversion gain from 8 dB on, where the analog
// code starts again from 0.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 80, .iHighOffset = 80, .iStep = 3};
SGainCode GainMap(int iGain) { return LinearGainCode(iGain, kGainLaw); }

}  // namespace

SModelConstants ClampSensorModel() {
    SModelConstants m = TemplateModelConstants();
    m.iGainLowestRN = 300;
    m.iST4 = 1;
    m.bTriggerCam = true;
    m.bDDREnable = false;
    return m;
}

void ApplyClampSensorFamily(SDriverDesc* pDesc) {
    SDriverDesc& d = *pDesc;
    d.hold = {true, 0x3001, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    d.bInitTableInHold = true;
    d.uResetPauseMs = 20;
    d.eReplay = REPLAY_FPS_GAIN_EXP;
    d.bInitEndsInStandby = true;
    // The mode follows the stored high-speed choice, also after a size or type change.
    d.bResolutionKeepsHighSpeed = true;
    d.usRegStartX = 0x303C;
    d.usRegStartY = 0x3044;
    d.usRegWidth = 0x303E;
    d.usRegHeight = 0x3046;
    d.startHeldRows = RegTable(kStartHeldRows);
    // The FPGA takes the frame from its window, exactly as the sensor sends it.
    d.bNoFPGADataLen = true;
    d.streamStartRows = RegTable(kStreamStartRows);
    d.uStreamStartPauseMs = 30;
    d.streamStopRows = RegTable(kStreamStopRows);
    d.clampOpenRows = RegTable(kClampOpenRows);
    d.clampCloseRows = RegTable(kClampCloseRows);
    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 381000;
    d.iUSBBandwidthUSB2 = 43272;
    d.gain = {GainMap, 0x3034, 0x3084, 2};
    d.offset = {0x30DC, 2};

    SExposureRule& e = d.exposure;
    e.fnCompute = ShutterLineExposure;
    e.usRegSHR = 0x3050;
    e.iSHRBytes = 3;
    e.iMinSHR = 6;
    e.iLongExtraLines = 6;
    e.uVMAXMax = 0xFFFFFF;
    e.uSHRLimit = 0x20000;
    e.uSHRMax = 0x1FFFE;
    e.iExpLinesGap = 6;
    e.ullLongFromUs = 1000000;
    // Uncooled: the sensor is programmed for the exposure itself while the FPGA times it.
    e.eLongProgram = LONG_EXP_EXPOSURE;
    // So the readout comes one such frame after the trigger's fall.
    d.capture.bReadoutAfterFrame = true;

    SBandwidthRule& b = d.bandwidth;
    b.iHostUSB3 = 381000;
    b.iHostUSB2 = 43272;
    b.iAutoPercUSB3 = 100;
    b.iAutoPercUSB2 = 80;
    b.iHMAXMax = 0xFFFF;
    b.dSensorHMAXFactor = 1.85625;
    b.usRegSensorHMAX = 0x3028;
    b.iFrameExtraLines = -1;
    b.iBandwidthExtraLines = -1;
}

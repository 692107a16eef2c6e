#include "engine/families/FpgaTimedMono.h"

namespace {

const REG_TABLE_ROW kStreamStartRows[] = {{0x3000, 0x0000}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x3000, 0x0001}};

// The FPGA's vertical blanking and the sensor's shortest shutter line.
constexpr int kVBLK = 21;
constexpr int kMinSHR = 16;

}  // namespace

SDriverDesc FpgaTimedMonoDesc() {
    SDriverDesc d{};
    // The template's constants, mono with bins 1 and 2, RAW8 and RAW16 only,
    // no high-speed control, 80 % bandwidth on every host, offset to 120.
    SModelConstants& m = d.model;
    m = TemplateModelConstants();
    m.iBayer = 2;
    m.bColor = false;
    m.iWBMax = m.iWBMin = 0;
    m.ucBins[0] = 2;
    m.bCapHighSpeed = m.bCapRGB24 = m.bCapY8 = false;
    m.iFPSPercUSB3Def = 80;
    m.iOffsetMax = 120;
    m.iST4 = 1;
    m.bDDREnable = true;

    d.hold = {true, 0x3034, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    d.uResetPauseMs = 20;
    d.bDDRTest = true;
    d.bResolutionKeepsHighSpeed = true;
    d.timingInit = {kVBLK, 0, 0, 0, 390000};
    d.usRegStartX = 0x3120;
    d.usRegStartY = 0x3122;
    d.usRegWidth = 0x3124;
    d.usRegHeight = 0x3126;
    d.iAlignX = 8;
    d.iAlignY = 16;
    d.bAlwaysCentre = true;
    d.streamStartRows = RegTable(kStreamStartRows);
    d.uStreamStartPauseMs = 10;
    d.streamStopRows = RegTable(kStreamStopRows);
    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 390000;
    d.iUSBBandwidthUSB2 = 43272;
    d.bHasDDR = true;
    d.gain = {nullptr, 0x3510, 0x3514, 2};
    d.offset = {0x35C0, 2, 10, 0xFE, true};

    SExposureRule& e = d.exposure;
    e.fnCompute = FrameLengthExposure;
    e.usRegSHR = 0x3240;
    e.iSHRBytes = 3;
    e.iMinSHR = kMinSHR;
    e.iLongExtraLines = kMinSHR;
    e.iLongBinExtraLines = kMinSHR;
    e.uVMAXMax = 0xFFFFF;
    e.uSHRLimit = 0xFFFFFFFF;
    e.uSHRMax = 0xFFFFF;
    e.iExpLinesGap = 1;
    e.ullLongFromUs = 1000000;
    e.eLongProgram = LONG_EXP_FRAME_PLUS_PAD;
    e.uLongPadUs = 10000;
    e.dOffsetUs = 4.997;
    // The capture thread switches the FPGA's wait and trigger modes for each long frame.
    e.bLongModeArmedByCapture = true;

    SBandwidthRule& b = d.bandwidth;
    b.iHostUSB3 = 390000;
    b.iHostUSB2 = 43272;
    b.iAutoPercUSB3 = 80;
    b.iAutoPercUSB2 = 80;
    b.iHMAXMax = 0xFFFF;
    b.bFPGABandWidth = true;
    b.iFrameExtraLines = -1;
    b.iBandwidthExtraLines = -1;

    d.pLongExp = &g_LongExpFpgaTimedLowPowerAgain;
    d.capture.bEmptyIsDropped = true;
    d.iMarkerRepairRows = 1;
    d.fpgaTimed.bOn = true;
    // A bin change alone keeps the sensor mode.
    d.bModeFollowsType = true;
    // The frame length is the FPGA's alone, changed with the shutter at the hold's release.
    d.exposure.bFPGAVMAXInHold = true;
    d.bInitSetsOutputWidth = true;
    // The start-up command once the FPGA is set up; the mode's rows as they
    // stand, the FPGA's data format left to the output width.
    d.eStartCmd = START_CMD_AFTER_SET_UP;
    d.modeSwitch = {.bUnheld = true, .bKeepsDataFormat = true};
    d.eWindow = WINDOW_FPGA_TIMED;
    d.fpgaTimed.iCentreAlign = 8;
    return d;
}

// The template's model constants and description, which the models of its
// kind start from.
#include "engine/DriverDesc.h"

SModelConstants TemplateModelConstants() {
    SModelConstants m{};
    m.iVID = 0x2e7b;
    m.iADCBits = 12;
    m.iMaxExpUs = 2000000000;
    m.iBayer = 0;
    m.bColor = true;
    m.iBandwidthMin = 40;
    m.iBandwidthMax = 100;
    m.iGainMax = 600;
    m.iGainMin = 0;
    m.iGainDef = 200;
    m.iExpMax = 2000000000;
    m.iExpMin = 32;
    m.iExpDef = 10000;
    m.iGammaMax = 100;
    m.iGammaMin = 1;
    m.iGammaDef = 50;
    m.iHeaterLevel = 1;
    m.iAutoGainMax = 300;
    m.bUSB3Camera = true;
    m.bCapAutoBandWidth = true;
    m.iWBMax = 99;
    m.iWBMin = 1;
    m.iOffsetDef = 1;
    m.iOffsetMin = 0;
    m.bCapGain = m.bCapExposure = m.bCapOffset = m.bCapBandWidth = true;
    m.bCapTemperature = m.bCapHighSpeed = true;
    m.bCapRaw8 = m.bCapRGB24 = m.bCapY8 = m.bCapRaw16 = true;
    m.bAutoFPS = true;
    m.iFclk = 20000;
    m.iFPSPerc = 80;
    m.iFPSPercUSB3Def = 100;
    return m;
}

namespace {
const REG_TABLE_ROW kTemplateStreamStartRows[] = {{0x3004, 0x0000}, {0x3000, 0x0000}};
const REG_TABLE_ROW kTemplateStreamStopRows[] = {{0x3000, 0x0001}};
}  // namespace

SDriverDesc TemplateDriverDesc() {
    SDriverDesc d{};
    SModelConstants& m = d.model;
    m = TemplateModelConstants();
    m.iST4 = 1;
    m.bTriggerCam = true;
    m.bDDREnable = true;

    d.hold = {true, 0x3001, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    d.bInitTableInHold = true;
    d.uResetPauseMs = 20;
    d.bDDRTest = true;
    d.bInitEndsInStandby = true;
    d.usRegStartX = 0x303C;
    d.usRegStartY = 0x3044;
    d.usRegWidth = 0x303E;
    d.usRegHeight = 0x3046;
    d.iAlignX = 2;
    d.iAlignY = 4;
    d.iWidthAlign = 16;
    d.streamStartRows = RegTable(kTemplateStreamStartRows);
    d.uStreamStartPauseMs = 30;
    d.streamStopRows = RegTable(kTemplateStreamStopRows);
    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 400000;
    d.iUSBBandwidthUSB2 = 43272;
    d.bHasDDR = true;
    d.offset = {0x30DC, 2};

    SExposureRule& e = d.exposure;
    e.fnCompute = ShutterLineExposure;
    e.usRegSHR = 0x3050;
    e.iSHRBytes = 3;
    e.iMinSHR = 8;
    e.iLongExtraLines = 8;
    e.uVMAXMax = 0xFFFFFF;
    e.uSHRLimit = 0x20000;
    e.uSHRMax = 0x1FFFE;
    e.iExpLinesGap = 6;
    e.ullLongFromUs = 1000000;
    e.eLongProgram = LONG_EXP_FRAME_PLUS_PAD;
    e.uLongPadUs = 10000;

    SBandwidthRule& b = d.bandwidth;
    b.iHostUSB3 = 400000;
    b.iHostUSB2 = 43272;
    b.iAutoPercUSB3 = 100;
    b.iAutoPercUSB2 = 80;
    b.iHMAXMax = 0xFFFF;
    b.dSensorHMAXFactor = 1.85625;
    b.usRegSensorHMAX = 0x302C;
    b.bFPGABandWidth = true;
    b.iFrameExtraLines = -1;
    b.iBandwidthExtraLines = -1;
    return d;
}

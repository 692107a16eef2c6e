// The crop-sensor family's shared description: its constants, registers,
// laws and long-exposure script.
#include "engine/families/CropSensor.h"

SModelConstants CropSensorModelConstants() {
    SModelConstants m = TemplateModelConstants();
    m.iGainMax = 570;
    m.iAutoGainMax = 285;
    m.iOffsetHighestDR = 2;
    m.iOffsetUnityGain = 6;
    m.iUnityGain = 120;
    m.iGainLowestRN = 390;
    m.iOffsetLowestRN = 30;
    m.fElecPerADU = 3.99f;
    m.iOffsetDef = 8;
    m.iOffsetMax = 80;
    m.iST4 = 1;
    m.iFPSPercUSB3Def = 80;
    return m;
}

void ApplyCropSensorFamily(SDriverDesc* pDesc, const SCropSensorDesc* pCrop) {
    SDriverDesc& d = *pDesc;
    d.pCropSensor = pCrop;
    d.eWindow = WINDOW_CROP;
    d.eLaws = LAWS_CROP;
    // The sensor bins bins 2 and 4 in its binning mode; the mode follows the
    // bin, and a bin change keeps the high-speed choice.
    d.bSensorBinFollowsBin = true;
    d.bHardwareBinIgnored = true;
    d.bResolutionKeepsHighSpeed = true;
    d.eHighSpeed16 = HS16_STORED_ALSO_IN_SENSOR_BIN;
    d.bAlwaysCentre = true;
    d.bInitSetsOutputWidth = true;
    // The gain's analog top and conversion switch follow the mode's kind.
    d.gain.bFollowsMode = true;
    // The capture loop arms each long pass; leaving long mode keeps the
    // trigger mode of a trigger camera mode.
    d.exposure.bLongModeArmedByCapture = true;
    d.exposure.bLongExitToCameraMode = true;
    d.hold = {true, 0x302B, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    // No start-up command after the FPGA's reset.
    d.bNoStartCmd = true;
    d.iCoolingLevel = -1;
    d.iAlignX = 12;
    d.iAlignY = 4;
    d.bNoFPGADataLen = true;
    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 396000;
    d.iUSBBandwidthUSB2 = 43272;
    d.offset = {0x3042, 1};
    d.exposure.ullLongFromUs = 1000000;
    d.bandwidth.iHostUSB3 = 396000;
    d.bandwidth.iHostUSB2 = 43272;
    d.bandwidth.iAutoPercUSB3 = 80;
    d.bandwidth.iAutoPercUSB2 = 80;
    d.bandwidth.iHMAXMax = 65535;
}

namespace {
// The crop's enables, written first inside its hold.
const REG_TABLE_ROW kCropEnableRows[] = {{0x3035, 0x0001}, {0x30DD, 0x0001}};
}  // namespace

namespace {
constexpr uint16_t kRegPark = 0x3111;  // 1: the sensor parks for a long exposure
constexpr uint32_t kParkPauseMs = 50;
constexpr uint32_t kLongReadoutWaitMs = 2000;
constexpr int kLongMaxReloads = 3;
}  // namespace

CCropLongExpScript::CCropLongExpScript(const SCropLongExp& p)
    : m_EveryPass{{p.bWaitModeFirst ? LONG_OP_WAIT_MODE : LONG_OP_TRIGGER_MODE, 1, 0, LONG_WHEN_ALWAYS},
                  {p.bWaitModeFirst ? LONG_OP_TRIGGER_MODE : LONG_OP_WAIT_MODE, 1, 0, LONG_WHEN_ALWAYS}},
      m_Open{{LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS}},
      m_BeforeSteps{{LONG_OP_PAUSE, kParkPauseMs, 0, LONG_WHEN_ALWAYS},
                    {LONG_OP_PAUSE, kParkPauseMs, 0, LONG_WHEN_ALWAYS},
                    {LONG_OP_SENSOR, 1, kRegPark, LONG_WHEN_ALWAYS},
                    {LONG_OP_PAUSE, kParkPauseMs, 0, LONG_WHEN_ALWAYS},
                    {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
      m_Steps{{p.iXHSStopStep, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_DDR_OR_USB3}}},
      m_AfterSteps{{LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},
                   {LONG_OP_PAUSE, p.uLowPowerOffPauseMs, 0, LONG_WHEN_ALWAYS},
                   {LONG_OP_SENSOR, 0, kRegPark, LONG_WHEN_ALWAYS},
                   {LONG_OP_PAUSE, kParkPauseMs, 0, LONG_WHEN_ALWAYS}},
      m_Close{{LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_DDR_OR_USB3}, {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS}},
      m_Script{} {
    SLongExpScript& s = m_Script;
    s.everyPass = LongExpActions(m_EveryPass);
    s.open = LongExpActions(m_Open);
    // Long mode starts at a second: a shorter exposure sleeps out whole.
    s.ullOneSleepMaxUs = 999999;
    s.uOneSleepLeadUs = 0;
    s.beforeSteps = LongExpActions(m_BeforeSteps);
    s.uStepMs = p.uStepMs;
    s.uStepLeadMs = p.uEndMarginMs;
    s.pSteps = m_Steps;
    s.iSteps = 1;
    s.afterSteps = LongExpActions(m_AfterSteps);
    s.close = LongExpActions(m_Close);
    s.uReadoutWaitMs = kLongReadoutWaitMs;
    s.uReloadWaitMs = p.uReloadWaitMs;
    s.iMaxReloads = kLongMaxReloads;
    s.szBeginLog = p.szBeginLog;
}

SCropSensorDesc CropSensorFamily() {
    SCropSensorDesc c{};
    c.cropEnableRows = RegTable(kCropEnableRows);
    c.usRegCropStart = 0x3036;
    c.usRegCropEnd = 0x3038;
    c.ucCropEndLowMask = 0xFF;
    c.usRegPos = 0x30E0;
    c.usRegCut = 0x30DE;
    c.iCutRowsBin = 2822;
    c.iCutMinRows = 1411;
    c.iCutDefault = 352;
    c.usRegRowsA = 0x3130;
    c.usRegRowsB = 0x3132;
    c.iRowsAOffset = 62;
    c.iRowsBOffset = 46;
    c.iFPGAHBLK = 48;
    c.usRegConvGain = 0x3092;
    c.usRegAnalog = 0x300A;
    c.usRegDigital = 0x3012;
    c.iConvGainAt = 120;
    c.iAnalogTopFull = 270;
    c.iAnalogTopBin = 390;
    c.iDigitalStep = 60;
    c.iAnalogScale = 2048;
    c.dExposureOffsetUs = 13.73;
    c.usRegSHR = 0x302C;
    c.usRegsBlanking[0] = 0x332C;
    c.usRegsBlanking[1] = 0x334A;
    c.usRegsBlanking[2] = 0x35B6;
    c.usRegsBlanking[3] = 0x36BC;
    c.usRegBlankingLess5 = 0x35B8;
    c.uBlankingOutside = 255;
    c.uBlankingMax = 65534;
    c.uVMAXMax = 0xFFFFF;
    c.iLongPadUs = -1;
    c.dLineLengthFactor = 3.6;
    c.iLineLengthMax = 65534;
    c.usRegLineLengthA = 0x3084;
    c.usRegLineLengthB = 0x3086;
    c.dRateClock = 72000000.0;
    return c;
}



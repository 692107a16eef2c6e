#include "engine/families/StandbyWakeFamily.h"

#include "engine/EngineDriver.h"
#include "engine/timing/TimingMaster.h"

namespace {

// Sensor power: bit 0 of 0x000 is standby, bit 2 wake-up.
constexpr uint16_t kRegPower = 0x000;
constexpr uint8_t kStandbyBit = 0x01;
constexpr uint8_t kWakeBit = 0x04;

// Wake, 10 ms, standby off (the frame's 15 ms pause follows).
const SRegBitsRow kStreamStartBits[] = {
    {kRegPower, kWakeBit, kWakeBit},
    {REG_TABLE_DELAY, 0xFF, 10},
    {kRegPower, kStandbyBit, 0},
};
const SRegBitsRow kStreamStopBits[] = {{kRegPower, kStandbyBit, kStandbyBit}};

// The stream switch's values.
constexpr uint32_t kStreaming = 1;
constexpr uint32_t kParked = 5;

const SLongExpAction kLongOpen[] = {
    {LONG_OP_PAUSE, 15, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SYNC, 5, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_LOG_BEGIN, 0, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},
};

// The script's tables for one stream switch.
template <uint16_t kStreamReg>
struct SLongExpTables {
    static constexpr SLongExpStep kSteps[] = {
        {6, {LONG_OP_SENSOR, kParked, kStreamReg, LONG_WHEN_ALWAYS}},
        {8, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
        {10, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_ALWAYS}},
    };
    static constexpr SLongExpAction kClose[] = {
        {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},
        {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
        {LONG_OP_SENSOR, kStreaming, kStreamReg, LONG_WHEN_ALWAYS},
        {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
        {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_ALWAYS},
        {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
    };
};

// The capture loop: the stream is reset at the 4th empty transfer in a row
// (the line names 5, as the camera's tools know it), and an exposure above
// 999,999 us waits its length + 2 s for its first transfer.
constexpr SCaptureParams kCaptureParams = [] {
    SCaptureParams p;
    p.iMaxEmpty = 4;
    p.uLongExpExtraMs = 1000;
    p.szResetLog = "no frame more than 5, reset!\n";
    return p;
}();

}  // namespace

void SetStandbyWakeModes(SDriverDesc* pDesc, const SStandbyWakeModes& modes) {
    SDriverDesc& d = *pDesc;
    d.pModeNormal = modes.p12Bit;
    d.pModeHighSpeed = modes.pHighSpeed;
    d.pModeHighSpeed16 = modes.pHighSpeed;
    d.sensorBin[2] = {2, modes.pBin2x2};
    d.sensorBin[3] = {3, modes.pBin3x3};
    d.sensorBin[4] = {2, modes.pBin2x2};
    const SSensorMode& m = *modes.p12Bit;
    d.timingInit = {m.iVBLK, m.iHBLK, m.iMinHMAX, m.iExtraLines, d.iUSBBandwidthUSB3};
}

template <uint16_t kStreamReg>
const SLongExpScript& StandbyWakeLongExp() {
    using T = SLongExpTables<kStreamReg>;
    static const SLongExpScript script = {
        .everyPass = {nullptr, 0},
        .open = LongExpActions(kLongOpen),
        .ullOneSleepMaxUs = 1000999,
        .uOneSleepLeadUs = 200000,
        .beforeSteps = {nullptr, 0},
        .uStepMs = 100,
        .uStepLeadMs = 0,
        .bCountedSteps = false,
        .pSteps = T::kSteps,
        .iSteps = sizeof(T::kSteps) / sizeof(T::kSteps[0]),
        .close = LongExpActions(T::kClose),
        .uReadoutWaitMs = 1000,
        .iMaxReloads = 3,
        .eSyncFrom = LONG_SYNC_FROM_LAST_STATUS,
        .eSyncGiveUp = LONG_SYNC_GIVE_UP_READS,
    };
    return script;
}

template const SLongExpScript& StandbyWakeLongExp<0x1EE>();
template const SLongExpScript& StandbyWakeLongExp<0x19E>();

SDriverDesc StandbyWakeFamilyDesc() {
    SDriverDesc d{};
    SModelConstants& m = d.model = TemplateModelConstants();
    m.iADCBits = 16;
    m.bColor = false;
    m.bCapRGB24 = m.bCapY8 = false;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iGainMax = 700;
    m.iAutoGainMax = 350;
    m.iHeaterLevel = 2;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 10;
    m.iOffsetLowestRN = 50;
    m.iGainLowestRN = 300;
    m.iUnityGain = 100;
    m.iST4 = 0;
    m.bDDREnable = true;
    m.iCoolerCtrlType = 1;
    m.bCapAntiDew = true;

    d.standby = {true, kRegPower, kStandbyBit, 0, kStandbyBit};
    d.uInitPauseMs = 10;
    d.uResetPauseMs = 20;
    d.bDDRTest = true;
    // Bins are software or sensor bins: the FPGA's bin mode is none, set once at start-up.
    d.fnFpgaSetUp = FpgaBinModeNone;
    d.iCoolingLevel = 40;
    d.eReplay = REPLAY_FPS_GAIN_EXP;
    d.bInitEndsInStandby = true;

    d.bResolutionKeepsHighSpeed = true;
    d.eHighSpeed16 = HS16_REAPPLIED;
    d.bAlwaysCentre = true;
    d.bCentreLogsOldStart = true;
    // The mode's rows are walked, then the FPGA's data format set.
    d.modeSwitch.bDataFormatLast = true;
    d.fnStartLaw = ClampThenAlignStart;
    // The sensor crops the window from a start column (the model's rule), the start aligned to 16 x 2.
    d.eWindow = WINDOW_SWITCHED_CROP;
    d.iAlignX = 16;
    d.iAlignY = 2;

    d.streamStartBits = RegBitsTable(kStreamStartBits);
    d.uStreamStartPauseMs = 15;
    d.streamStopBits = RegBitsTable(kStreamStopBits);
    d.eStreamStart = STREAM_START_FROM_STOPPED;

    d.iFixedClockKHz = 20000;
    d.iMinClockKHz = 20000;
    d.iUSBBandwidthUSB3 = 390000;
    d.iUSBBandwidthUSB2 = 43272;
    d.bHasDDR = true;
    // Mono data, read out as grey: the marker words are repaired from the
    // same columns one row away.
    d.iMarkerRepairRows = 1;
    d.eMonoReadout = MONO_READOUT_GREY;

    // Gain: 4095 - 4095 x 10^(-a / 200) of the analog part a; the high
    // conversion gain from 100, 6 dB digital steps above 460.
    d.gain.iPowerLawScale = 4095;
    d.gain.iCodeBytes = 2;
    d.gain.iConvGainFrom = 100;
    d.gain.iDigitalFrom = 460;
    d.gain.iDigitalStep = 60;
    d.gain.iDigitalScale = 16;

    SExposureRule& e = d.exposure;
    e.fnCompute = ShsExposure;
    e.iSHRBytes = 2;
    e.iMinSHR = 1;
    e.iLongExtraLines = 1;
    e.iLongSHR = 1;
    e.uVMAXMax = 0xFFFFFF;
    e.uSHRLimit = 0x20000;
    e.uSHRMax = 0x1FFFE;
    e.iExpLinesGap = 1;
    e.ullLongFromUs = 1000000;
    e.eLongProgram = LONG_EXP_FRAME_PLUS_PAD;
    e.uLongPadUs = 5000;
    e.szEnterLongLog = "-----Enter long exp mode\n";
    e.szExitLongLog = "-----Exit long exp mode\n";

    SBandwidthRule& b = d.bandwidth;
    b.iHostUSB3 = 390000;
    b.iHostUSB2 = 43272;
    b.iAutoPercUSB3 = 100;
    b.iAutoPercUSB2 = 80;
    b.iHMAXMax = 0xFFFF;
    b.bFPGABandWidth = true;
    b.iFrameExtraLines = -1;
    b.iBandwidthExtraLines = -1;
    b.bSensorBinKeepsRows = true;

    // The FPGA status after every transfer (its bit 4 tells whether a long
    // exposure must re-synchronise the FPGA first); a short frame logs both
    // lengths and reads the versions back (USB liveness); given-up reloads
    // log the GPIF status.
    d.capture.bStatusEachPass = true;
    d.capture.bLivenessAfterShort = true;
    d.capture.bGPIFOnGiveUp = true;
    d.capture.szShortFrameLog = "data length wanted: %d, data length got: %d\n";
    d.pCaptureParams = &kCaptureParams;
    return d;
}

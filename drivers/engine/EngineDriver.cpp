#include "engine/EngineDriver.h"

#include <limits.h>

#include <type_traits>

#include "cooling/CameraCool.h"
#include "platform/Log.h"

namespace {

// A single exposure longer than this is cut to it.
constexpr int kAutoExpMaxMsCap = 2000000;
// Entries of the supported-bin list searched.
constexpr int kBinSlots = kSupportedBinSlots;
// Image types 0 .. 4 exist.
constexpr int kImageTypeCount = 5;
// A frame carries four marker words.
constexpr int kMinFrameBytes = 8;

bool IsType16(int iType) { return iType == IMAGE_32BIT || iType == IMAGE_RAW16; }

}  // namespace

int SensorBinFactor(const SDriverDesc& desc, int iBin) {
    if (iBin < 0 || iBin > kDescMaxBin) return 0;
    const SSensorBin& sb = desc.sensorBin[iBin];
    return sb.pMode && sb.iSensorFactor > 1 ? sb.iSensorFactor : 0;
}

const SSensorMode* HardwareBinMode(const SDriverDesc& desc, int iBin) {
    if (iBin < 0 || iBin > kDescMaxBin) return nullptr;
    return desc.sensorBin[iBin].iSensorFactor > 0 ? desc.sensorBin[iBin].pMode : nullptr;
}

bool HasHardwareBinMode(const SDriverDesc& desc) {
    for (int bin = 0; bin <= kDescMaxBin; ++bin)
        if (HardwareBinMode(desc, bin)) return true;
    return false;
}

bool HasSensorBinning(const SDriverDesc& desc) {
    for (int bin = 0; bin <= kDescMaxBin; ++bin)
        if (SensorBinFactor(desc, bin) > 0) return true;
    return false;
}

namespace {

void AlignDown(long long* px, long long* py, const SStartInput& in) {
    if (in.iAlignX > 1) *px -= *px % in.iAlignX;
    if (in.iAlignY > 1) *py -= *py % in.iAlignY;
}

void KeepOnSensor(long long* px, long long* py, const SStartInput& in) {
    if (*py + in.h > in.iMaxH) *py = in.iMaxH - in.h;
    if (*px + in.w > in.iMaxW) *px = in.iMaxW - in.w;
    if (*py < 0) *py = 0;
    if (*px < 0) *px = 0;
}

}  // namespace

SStartPlace AlignThenClampStart(const SStartInput& in) {
    SStartPlace at{in.x, in.y, 0, 0};
    AlignDown(&at.x, &at.y, in);
    at.askedX = at.x;
    at.askedY = at.y;
    KeepOnSensor(&at.x, &at.y, in);
    return at;
}

SStartPlace ClampThenAlignStart(const SStartInput& in) {
    SStartPlace at{in.x, in.y, in.x, in.y};
    KeepOnSensor(&at.x, &at.y, in);
    // Aligning down keeps a clamped start inside the sensor.
    AlignDown(&at.x, &at.y, in);
    return at;
}

SReadout ReadoutOf(const SDriverDesc& desc, int iWidth, int iHeight, int iBin, bool bHardwareBin, bool b16) {
    SReadout r;
    const int factor = bHardwareBin ? SensorBinFactor(desc, iBin) : 0;
    r.iSensorFactor = factor > 0 ? factor : 1;
    // The sensor delivers the image times what is left to the software.
    r.iSoftBin = iBin > 0 ? iBin / r.iSensorFactor : 1;
    if (r.iSoftBin < 1) r.iSoftBin = 1;
    r.iCols = iWidth * r.iSoftBin;
    r.iRows = iHeight * r.iSoftBin;
    r.b16 = b16;
    const long long bytes = static_cast<long long>(r.iCols) * r.iRows * (b16 ? 2 : 1);
    r.iFrameBytes = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    return r;
}

// ---- Construction -------------------------------------------------------------------

template <class TBase>
CEngineDriver<TBase>::CEngineDriver(const SDriverDesc& desc)
    : g_iVBLK(desc.timingInit.iVBLK),
      g_iHBLK(desc.timingInit.iHBLK),
      g_iMinHMAX(desc.timingInit.iMinHMAX),
      g_iExtraLines(desc.timingInit.iExtraLines),
      g_iUSBBandwidth(desc.timingInit.iUSBBandwidth),
      m_Desc(desc),
      m_pMode(desc.pModeNormal),
      m_Port(*this),
      m_TimingPort(*this),
      m_pTiming(MakeTimingMaster(m_TimingPort)),
      m_Window(WindowProgrammer(desc.eWindow)),
      m_Laws(LawSet(desc.eLaws)) {
    DbgPrint(-1, desc.szClassName, "CCAMERA::CCAMERA()\n");
    if (desc.pCaptureParams) m_Capture = *desc.pCaptureParams;
    ApplyModelConstants();
    this->m_iAutoExpMaxMs = std::min(this->m_iAutoExpMaxMs.load(), kAutoExpMaxMsCap);
    this->LoadSetting();
    // A stored sensor binning means nothing to a sensor without it.
    if (!HasHardwareBinMode(m_Desc)) this->m_bHardwareBin = false;
    if (m_Desc.bSensorBinFollowsBin) {
        // The sensor's binning follows the bin; it is no control of its own.
        this->m_bCapHardwareBin = false;
        this->m_bHardwareBin = SensorBinFactor(m_Desc, this->m_iBin) > 0;
    }
    for (int i = 0; i < m_Desc.iPresetBytes; ++i) {
        const SPresetByte& b = m_Desc.pPresetBytes[i];
        if (this->m_pPresetBytes && b.iIndex >= 0 && b.iIndex < kPresetBytes)
            this->m_pPresetBytes[b.iIndex] = b.ucValue;
    }
    // The class's own white balance, so the FPGA gains follow the loaded one.
    CEngineDriver::SetRGBBalance(this->m_iWBRed, this->m_iWBBlue, this->m_bAutoWB);
}

template <class TBase>
CEngineDriver<TBase>::~CEngineDriver() {
    char tag[80];
    snprintf(tag, sizeof(tag), "~%s", m_Desc.szClassName);
    DbgPrint(-1, tag, "CCAMERA::~CCAMERA()\n");
    // After the exported close this finds nothing open and nothing running;
    // an object the factory made (CDriverObject) was closed whole before.
    TBase::CloseCamera();
    this->StopCameraThreads();
}

template <class TBase>
void CEngineDriver<TBase>::ApplyModelConstants() {
    const SModelConstants& m = m_Desc.model;
    // The names live as long as the program; the object never writes them.
    this->m_pszName = const_cast<char*>(m.szName);
    this->m_pszShortName = const_cast<char*>(m.szShortName);
    this->m_iPID = m.iPID;
    this->m_iVID = m.iVID;
    this->m_dPixelSize = m.dPixelSize;
    this->m_iADCBits = m.iADCBits;
    this->m_iMaxExpUs = m.iMaxExpUs;
    this->m_iBayer = m.iBayer;
    this->m_bColor = m.bColor;
    this->m_bCapWBR = m.bColor;
    this->m_bCapWBB = m.bColor;
    this->m_iBandwidthMin = m.iBandwidthMin;
    this->m_iBandwidthMax = m.iBandwidthMax;
    // The base list holds 1; the model's further bins follow it.
    int slot = 1;
    while (slot < kBinSlots - 1 && this->m_ucSupportedBins[slot] != 0) ++slot;
    for (uint8_t bin : m.ucBins) {
        if (bin == 0 || slot >= kBinSlots - 1) break;
        this->m_ucSupportedBins[slot++] = bin;
    }
    this->m_ucSupportedBins[slot] = 0;
    this->m_iGainMax = m.iGainMax;
    this->m_iGainMin = m.iGainMin;
    this->m_iGainDef = m.iGainDef;
    this->m_iExpMax = m.iExpMax;
    this->m_iExpMin = m.iExpMin;
    this->m_iExpDef = m.iExpDef;
    this->m_iGammaMax = m.iGammaMax;
    this->m_iGammaMin = m.iGammaMin;
    this->m_iGammaDef = m.iGammaDef;
    this->m_iBandWidthMax = m.iBandwidthMax;
    this->m_iBandWidthMin = m.iBandwidthMin;
    this->m_iHeaterLevel = m.iHeaterLevel;
    this->m_iAutoGainMax = m.iAutoGainMax;
    this->m_iOffsetHighestDR = m.iOffsetHighestDR;
    this->m_iOffsetUnityGain = m.iOffsetUnityGain;
    this->m_iOffsetLowestRN = m.iOffsetLowestRN;
    this->m_iGainLowestRN = m.iGainLowestRN;
    this->m_iUnityGain = m.iUnityGain;
    this->m_bUSB3Camera = m.bUSB3Camera;
    this->m_bCapAutoBandWidth = m.bCapAutoBandWidth;
    this->m_iWBMax = m.iWBMax;
    this->m_iWBMin = m.iWBMin;
    this->m_iMaxWidth = this->m_iWidth = m.iMaxWidth;
    this->m_iMaxHeight = this->m_iHeight = m.iMaxHeight;
    this->m_lExpTimeUs = static_cast<uint64_t>(m.iExpDef);
    this->m_bFPGAMonoBin = m.bFPGAMonoBin;
    this->m_iGain = m.iGainDef;
    this->m_iGamma = m.iGammaDef;
    this->m_fElecPerADU = m.fElecPerADU;
    this->m_iWBRDef = m.iWBRDef;
    this->m_iWBRed = m.iWBRDef;
    this->m_iWBBDef = m.iWBBDef;
    this->m_iWBBlue = m.iWBBDef;
    this->m_bCapGain = m.bCapGain;
    this->m_bCapExposure = m.bCapExposure;
    this->m_bCapOffset = m.bCapOffset;
    this->m_bCapBandWidth = m.bCapBandWidth;
    this->m_iOffsetDef = m.iOffsetDef;
    this->m_iBrightness = m.iOffsetDef;
    this->m_bCapTemperature = m.bCapTemperature;
    this->m_bCapHardwareBin = HasHardwareBinMode(m_Desc);
    this->m_bCapHighSpeed = m.bCapHighSpeed;
    this->m_bCapRaw8 = m.bCapRaw8;
    this->m_bCapRGB24 = m.bCapRGB24;
    this->m_bCapY8 = m.bCapY8;
    this->m_bCapRaw16 = m.bCapRaw16;
    if (m.iST4 >= 0) this->m_bST4 = m.iST4 != 0;
    this->m_bTriggerCam = m.bTriggerCam;
    this->m_bTrigSnapCapture = m_Desc.capture.bTriggerCapture;
    this->m_bAutoFPS = m.bAutoFPS;
    this->m_bDDREnable = m.bDDREnable;
    this->m_iTempSensorType = m.iTempSensorType;
    this->m_iOffsetMax = m.iOffsetMax;
    this->m_iOffsetMin = m.iOffsetMin;
    this->m_iFclk = m.iFclk;
    this->m_iFPSPerc = m.iFPSPerc;
    this->m_iFPSPercUSB3Def = m.iFPSPercUSB3Def;
    this->m_usHMAX = m.usHMAX;
    this->m_iCoolerCtrlType = m.iCoolerCtrlType;
    this->m_bCapAntiDew = m.bCapAntiDew;
}

// ---- Engine helpers -------------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::RunPlan(const CRegPlan& plan) {
    CCritSecLock lock(this->m_csControl);
    const bool ok = ExecutePlan(m_Port, plan);
    // Operations that go on past a failed register write still say so here.
    if (!ok) this->DbgPrint2("RunPlan", "register plan failed\n");
    return ok;
}

template <class TBase>
SReadout CEngineDriver<TBase>::Readout() {
    CCritSecLock lock(this->m_csControl);
    return ReadoutOf(m_Desc, this->m_iWidth, this->m_iHeight, this->m_iBin, this->m_bHardwareBin,
                     this->m_bOutput16Bits);
}

template <class TBase>
bool CEngineDriver<TBase>::IsCapturing() const {
    return this->m_thrWork.IsAlive() || this->m_thrTrigger.IsAlive();
}

template <class TBase>
bool CEngineDriver<TBase>::OnCameraThread() {
    return this->m_thrWork.IsCurrentThread() || this->m_thrTrigger.IsCurrentThread() ||
           this->m_thrAutoCtrl.IsCurrentThread();
}

template <class TBase>
bool CEngineDriver<TBase>::IsSensorBinned(int iBin) const {
    return this->m_bHardwareBin && SensorBinFactor(m_Desc, iBin) > 0;
}

template <class TBase>
const SSensorMode* CEngineDriver<TBase>::SelectSensorMode(bool bSensorBin, int iBin, bool bHighSpeed,
                                                          bool b16) {
    if (bSensorBin) {
        const SSensorBin& sb = m_Desc.sensorBin[iBin];
        // A bin's high-speed mode runs 8-bit data only.
        if (bHighSpeed && !b16 && sb.pModeHighSpeed) return sb.pModeHighSpeed;
        return sb.pMode;
    }
    const bool bAnyDepth = m_Desc.eModeRule == MODE_RULE_ARG_BIN_STORED_SPEED;
    if (bHighSpeed && (!b16 || bAnyDepth) && m_Desc.pModeHighSpeed) return m_Desc.pModeHighSpeed;
    if (bHighSpeed && b16 && m_Desc.pModeHighSpeed16) return m_Desc.pModeHighSpeed16;
    if (b16 && m_Desc.pModeNormal16) return m_Desc.pModeNormal16;
    return m_Desc.pModeNormal;
}

template <class TBase>
bool CEngineDriver<TBase>::ReapplyMode(const std::function<bool()>& fnApply) {
    if (OnCameraThread()) return false;
    // No capture starts from here to the restart; the stop and the start
    // join with the control lock released.
    typename TBase::CStartStopHold startStop(*this);
    CCritSecLock lock(this->m_csControl);
    const bool bWasCapturing = IsCapturing();
    const bool bWasVideo = bWasCapturing && !this->m_bSnapMode;
    // A single exposure cut here ends FAILED (the capture thread's exit);
    // it is never turned into video.
    if (bWasCapturing) this->StopCapture();
    bool ok = fnApply();
    if (bWasVideo) ok = this->StartCapture(false) && ok;
    return ok;
}

template <class TBase>
bool CEngineDriver<TBase>::ReapplyGeometry() {
    const int x = this->m_iStartX;
    const int y = this->m_iStartY;
    bool ok = this->SetResolution(this->m_iWidth, this->m_iHeight, this->m_iBin,
                                  static_cast<IMAGE_TYPE>(this->m_iImgType));
    return this->SetStartPos(x, y) && ok;
}

// ---- Initialisation -------------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::InitCamera() {
    // Tags the log lines; no USB traffic.
    this->CameraPID(this->m_iPID);
    if (!this->m_bOpened) return false;
    CCritSecLock lock(this->m_csControl);
    this->BindCaptureBody(this->m_thrWork, WorkingFunc);
    this->BindCaptureBody(this->m_thrTrigger, TriggerFunc);
    // Without its buffers the camera can capture nothing.
    if (!this->InitVariable()) return false;
    this->SetHPCStates(true);
    this->GetFPGAVer();
    if (m_Desc.uInitPauseMs) Sleep(m_Desc.uInitPauseMs);

    const bool bFamily = m_Desc.fpgaTimed.bOn;
    // Every step runs also after a failed one, so the camera is set up as far
    // as it takes it; a step lost makes the initialisation fail.
    bool ok = true;
    if (m_Desc.firstRows.pRows) {
        CRegPlan first;
        first.Table(m_Desc.firstRows);
        ok = RunPlan(first);
    }
    // A sensor whose binning follows the bin bins from the start.
    if (m_Desc.bSensorBinFollowsBin) SetHardwareBin(true);
    CRegPlan sensor;
    if (m_Desc.bInitTableInHold) sensor.BeginFrame();
    sensor.Table(m_Desc.initTable).Table(m_Desc.initFixedRows);
    if (m_Desc.bInitTableInHold) sensor.EndFrame();
    m_pTiming->AddReset(sensor);
    sensor.Table(m_Desc.afterResetRows);
    ok = RunPlan(sensor) && ok;
    // The start-up table closed the sensor clamp.
    m_bClampOpen = 0;

    if (!m_pTiming->TestDDR()) return false;

    CRegPlan fpga;
    if (m_pTiming->AddSetUp(fpga, this->m_bDDREnable)) ok = RunPlan(fpga) && ok;

    StartCooler();

    this->SetGamma(this->m_iGamma);
    this->SetRGBBalance(this->m_iWBRed, this->m_iWBBlue, this->m_bAutoWB);
    this->SetBrightness(this->m_iBrightness);
    if (m_Desc.bInitSetsOutputWidth) ok = SetOutput16Bits(this->m_bOutput16Bits) && ok;
    if (this->m_bAutoFPS)
        this->m_iFPSPerc =
            this->m_bUSB3Host ? m_Desc.bandwidth.iAutoPercUSB3 : m_Desc.bandwidth.iAutoPercUSB2;
    SetCMOSClk();
    ok = InitSensorMode(this->m_bHardwareBin, this->m_iBin, this->m_bHighSpeed,
                        static_cast<IMAGE_TYPE>(this->m_iImgType)) &&
         ok;
    ReplayTiming();
    if (m_Desc.bInitEndsInStandby) ok = StopSensorStreaming() && ok;
    if (m_Desc.initEndRows.pRows) {
        CRegPlan end;
        end.Table(m_Desc.initEndRows);
        ok = RunPlan(end) && ok;
    }
    if (bFamily && m_Desc.standby.bPresent) {
        // The sensor is left in standby by its last write.
        CRegPlan standby;
        standby.Sensor(m_Desc.standby.usReg, m_Desc.standby.ucEnter);
        ok = RunPlan(standby) && ok;
    }
    return ok;
}

template <class TBase>
void CEngineDriver<TBase>::ReplayTiming() {
    if (m_Desc.eReplay == REPLAY_GAIN_EXP) {
        this->SetGain(this->m_iGain, this->m_bAutoGain);
        this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
        return;
    }
    if (m_Desc.eReplay == REPLAY_GAIN_EXP_FPS) {
        this->SetGain(this->m_iGain, this->m_bAutoGain);
        this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
        this->SetFPSPerc(this->m_iFPSPerc, this->m_bAutoFPS);
        return;
    }
    this->SetFPSPerc(this->m_iFPSPerc, this->m_bAutoFPS);
    this->SetGain(this->m_iGain, this->m_bAutoGain);
    this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
}

template <class TBase>
void CEngineDriver<TBase>::StartCooler() {
    if constexpr (std::is_base_of<CCameraCool, TBase>::value) {
        if (m_Desc.iCoolingLevel >= 0) this->InitCooling(m_Desc.iCoolingLevel);
        this->StartAutoTempThr();
        this->SetPowerPerc(0.0f);
        this->SetAutoTemp(false, static_cast<float>(this->m_iTargetTemp.load()));
    }
}

// ---- Modes and geometry ---------------------------------------------------------------------

template <class TBase>
const SSensorMode* CEngineDriver<TBase>::SensorModeOf(bool bHardwareBin, int iBin, bool bHighSpeed,
                                                      IMAGE_TYPE imageType, bool bStoredHardwareBin,
                                                      bool bStoredHighSpeed) {
    // The mode follows the stored hardware-bin flag and the high-speed
    // argument, or, by the model's rule, the hardware-bin argument and the
    // stored high-speed flag.
    const bool bArgBin = m_Desc.eModeRule == MODE_RULE_ARG_BIN_STORED_SPEED;
    const bool bBinMode = (bArgBin ? bHardwareBin : bStoredHardwareBin) && HardwareBinMode(m_Desc, iBin);
    const SSensorMode* mode =
        SelectSensorMode(bBinMode, iBin, bArgBin ? bStoredHighSpeed : bHighSpeed, IsType16(imageType));
    return mode ? mode : m_Desc.pModeNormal;
}

template <class TBase>
bool CEngineDriver<TBase>::InitSensorMode(bool bHardwareBin, int iBin, bool bHighSpeed,
                                          IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    this->DbgPrint2("InitSensorMode", "HardwareBin:%d Bin:%d b16Bit:%d\n", bHardwareBin ? 1 : 0, iBin,
                    IsType16(imageType) ? 1 : 0);
    return ProgramSensorMode(
        SensorModeOf(bHardwareBin, iBin, bHighSpeed, imageType, this->m_bHardwareBin, this->m_bHighSpeed),
        iBin, imageType);
}

template <class TBase>
bool CEngineDriver<TBase>::ProgramSensorMode(const SSensorMode* pMode, int iBin, IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    ++m_uGeomGen;
    const SSensorMode* mode = pMode ? pMode : m_Desc.pModeNormal;
    CRegPlan plan;
    m_pTiming->AddModeSwitch(plan, *mode, IsType16(imageType));
    plan.Table(m_Desc.modeAfterRows);
    // False when a register could not be written or read back for a change
    // of its bits: the mode, its timing and the bin stay the ones in force,
    // and the callers that change a mode program that one again.
    if (!RunPlan(plan)) return false;
    this->m_iBin = iBin;
    m_pMode = mode;
    g_iVBLK = mode->iVBLK;
    g_iHBLK = mode->iHBLK;
    g_iMinHMAX = mode->iMinHMAX;
    g_iExtraLines = mode->iExtraLines;
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::SwitchSensorMode(const SSensorMode* pMode, int iBin, IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    const SSensorMode* oldMode = m_pMode;
    const int oldBin = this->m_iBin;
    const IMAGE_TYPE oldType = static_cast<IMAGE_TYPE>(this->m_iImgType);
    if (ProgramSensorMode(pMode, iBin, imageType)) return true;
    // Half a mode is no mode: the registers the failed change wrote get the
    // values of the mode in force again (a register it could not read it
    // left alone).
    ProgramSensorMode(oldMode, oldBin, oldType);
    return false;
}

template <class TBase>
bool CEngineDriver<TBase>::ChangeSensorMode(bool bHardwareBin, int iBin, bool bHighSpeed,
                                            IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    this->DbgPrint2("InitSensorMode", "HardwareBin:%d Bin:%d b16Bit:%d\n", bHardwareBin ? 1 : 0, iBin,
                    IsType16(imageType) ? 1 : 0);
    return SwitchSensorMode(
        SensorModeOf(bHardwareBin, iBin, bHighSpeed, imageType, this->m_bHardwareBin, this->m_bHighSpeed),
        iBin, imageType);
}

template <class TBase>
bool CEngineDriver<TBase>::CheckResolution(int iWidth, int iHeight, int iBin, int iType) {
    bool bListed = false;
    for (int i = 0; i < kBinSlots && this->m_ucSupportedBins[i] != 0; ++i)
        if (this->m_ucSupportedBins[i] == iBin) bListed = true;
    if (!bListed) return false;
    // In 64 bits: a huge width times the bin must not wrap into a small one.
    const long long w = static_cast<long long>(iWidth) * iBin;
    const long long h = static_cast<long long>(iHeight) * iBin;
    if (w > this->m_iMaxWidth || h > this->m_iMaxHeight || w < 1 || h < 1) return false;
    if (iType < 0 || iType >= kImageTypeCount) return false;
    if (h % 2 != 0 || w % 8 != 0) return false;
    // A frame too small for its four marker words could never be accepted.
    const SReadout r = ReadoutOf(m_Desc, iWidth, iHeight, iBin, SensorBinFactor(m_Desc, iBin) > 0, IsType16(iType));
    if (r.iFrameBytes < kMinFrameBytes) return false;
    // A sensor that bins whenever the bin is a sensor bin takes what the
    // bin's size rules allow; a switched sensor binning keeps its own step.
    if (m_Desc.bSensorBinFollowsBin || !IsSensorBinned(iBin)) return true;
    if (iHeight % 2 != 0 || iWidth % 8 != 0) return false;
    return SensorBinWidthFits(iWidth, iHeight, iBin);
}

template <class TBase>
bool CEngineDriver<TBase>::SensorBinWidthFits(int iWidth, int iHeight, int iBin) {
    // The bin asked for, not the one in force: the sensor bins what is asked.
    const int step = m_Desc.iSensorBinWidthStep;
    if (step <= 1 || SensorBinFactor(m_Desc, iBin) == 0) return true;
    const SReadout r = ReadoutOf(m_Desc, iWidth, iHeight, iBin, true, false);
    if (r.iCols % step == 0) return true;
    this->DbgPrint2(
        "SetResolution",
        "Failed to set width: %d, height: %d. When hardware bin set, the width must be multiple of "
        "24, height must be multiple of 4\n",
        r.iCols, r.iRows);
    return false;
}

template <class TBase>
bool CEngineDriver<TBase>::SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) {
    {
        CCritSecLock lock(this->m_csControl);
        if (!CheckResolution(iWidth, iHeight, iBin, imageType)) return false;
        const int multiple = m_Desc.fpgaTimed.iHeightMultiple;
        if (multiple > 1 && iHeight % multiple != 0) {
            this->DbgPrint2("SetResolution", "Failed to set height: %d, the height must be multiple of %d\n",
                            iHeight, multiple);
            return false;
        }
        if (!IsCapturing()) return ApplyResolution(iWidth, iHeight, iBin, imageType);
    }
    // The capture thread fixes its frame length for its run: the new
    // geometry is applied with the capture stopped, and video restarts.
    return ReapplyMode([&] { return ApplyResolution(iWidth, iHeight, iBin, imageType); });
}

template <class TBase>
bool CEngineDriver<TBase>::ApplyResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    // Checked again: the fields it depends on may have changed while a
    // capture was being stopped.
    if (!CheckResolution(iWidth, iHeight, iBin, imageType)) return false;
    const SFpgaTimedRules& family = m_Desc.fpgaTimed;
    // Models whose modes follow the image type alone keep the sensor mode
    // over a bin change.
    const bool bModeChange =
        imageType != this->m_iImgType || (!m_Desc.bModeFollowsType && iBin != this->m_iBin);
    const bool bHighSpeed = m_Desc.bResolutionKeepsHighSpeed && this->m_bHighSpeed;
    // The geometry in force, stored again when the new one is not taken whole.
    const SStoredGeometry old = StoredGeometry();
    // A mode that cannot be set refuses the format; the old one stays.
    if (bModeChange) {
        if (m_Desc.bSensorBinFollowsBin) {
            // The sensor bins the bins it can; the flag is stored with its mode.
            const bool bSensorBin = SensorBinFactor(m_Desc, iBin) > 0;
            const SSensorMode* mode =
                SensorModeOf(bSensorBin, iBin, bHighSpeed, imageType, bSensorBin, this->m_bHighSpeed);
            if (!SwitchSensorMode(mode, iBin, imageType)) return false;
            this->m_bHardwareBin = bSensorBin;
        } else if (!ChangeSensorMode(this->m_bHardwareBin, iBin, bHighSpeed, imageType)) {
            return false;
        }
    }
    this->m_iHeight = iHeight;
    this->m_iWidth = iWidth;
    ++m_uGeomGen;
    this->m_iImgType = imageType;
    this->m_iBin = iBin;
    const bool bLogOldStart = !m_Desc.bAlwaysCentre || m_Desc.bCentreLogsOldStart;
    if (bLogOldStart)
        this->DbgPrint2("SetResolution", "SetResolution: sPx:%d, sPy:%d, w:%d, h:%d, bin:%d \n",
                        this->m_iStartX, this->m_iStartY, iWidth, iHeight, iBin);
    bool ok = !family.bOn || SetOutput16Bits(IsType16(imageType));
    const long long w = static_cast<long long>(iWidth) * iBin;
    const long long h = static_cast<long long>(iHeight) * iBin;
    if (family.bOn || m_Desc.bAlwaysCentre ||
        static_cast<long long>(this->m_iStartX) + iWidth > this->m_iMaxWidth ||
        static_cast<long long>(this->m_iStartY) + iHeight > this->m_iMaxHeight) {
        long long x = (this->m_iMaxWidth - w) / 2;
        long long y = (this->m_iMaxHeight - h) / 2;
        if (family.bOn && family.iCentreAlign > 1) {
            x -= x % family.iCentreAlign;
            y -= y % family.iCentreAlign;
        }
        this->m_iStartX = static_cast<int>(x);
        this->m_iStartY = static_cast<int>(y);
    }
    if (!bLogOldStart)
        this->DbgPrint2("SetResolution", "SetResolution: spx:%d, spy:%d, w:%d, h:%d, bin:%d \n",
                        this->m_iStartX, this->m_iStartY, iWidth, iHeight, iBin);
    bool bTiming = true;
    ok = ProgramGeometry(IsType16(imageType), &bTiming) && ok;
    // The timing that follows a geometry taken whole says how it went.
    if (ok) return bTiming;
    // A geometry the camera did not take whole is not stored: the old one
    // and its mode are programmed again over what was written of the new
    // one (as far as the camera takes it), so the next operation finds the
    // camera as the stored geometry says.
    RestoreGeometry(old);
    if (bModeChange) ProgramSensorMode(old.pMode, old.iBin, static_cast<IMAGE_TYPE>(old.iType));
    if (family.bOn) SetOutput16Bits(old.b16);
    ProgramGeometry(old.b16, &bTiming);
    return false;
}

template <class TBase>
typename CEngineDriver<TBase>::SStoredGeometry CEngineDriver<TBase>::StoredGeometry() const {
    return SStoredGeometry{m_pMode,           this->m_iWidth,  this->m_iHeight,       this->m_iBin,
                           this->m_iImgType,  this->m_iStartX, this->m_iStartY,       this->m_bHardwareBin,
                           this->m_bOutput16Bits};
}

template <class TBase>
void CEngineDriver<TBase>::RestoreGeometry(const SStoredGeometry& g) {
    this->DbgPrint2("SetResolution", "SetResolution failed, the old format stays\n");
    this->m_iWidth = g.iWidth;
    this->m_iHeight = g.iHeight;
    this->m_iImgType = g.iType;
    this->m_iBin = g.iBin;
    this->m_iStartX = g.iStartX;
    this->m_iStartY = g.iStartY;
    this->m_bHardwareBin = g.bHardwareBin;
    ++m_uGeomGen;
}

template <class TBase>
bool CEngineDriver<TBase>::ProgramGeometry(bool b16, bool* pbTiming) {
    CCritSecLock lock(this->m_csControl);
    // Every part runs also after a failed one; any failure of the
    // geometry's own plans fails the whole.
    bool ok = PlaceStart(this->m_iStartX, this->m_iStartY);
    ok = ProgramOutputWidth(b16) && ok;
    ok = Cam_SetResolution() && ok;
    SetCMOSClk();
    bool bTiming = this->SetFPSPerc(this->m_iFPSPerc, this->m_bAutoFPS);
    bTiming = this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp) && bTiming;
    if (m_Desc.gain.bFollowsMode) bTiming = this->SetGain(this->m_iGain, this->m_bAutoGain) && bTiming;
    *pbTiming = bTiming;
    return ok;
}

template <class TBase>
bool CEngineDriver<TBase>::SetStartPos(int iStartX, int iStartY) {
    CCritSecLock lock(this->m_csControl);
    const int oldX = this->m_iStartX;
    const int oldY = this->m_iStartY;
    if (PlaceStart(iStartX, iStartY)) return true;
    // A start the camera did not take whole is not stored: the old one is
    // programmed again over what was written of the new one.
    this->DbgPrint2("SetStartPos", "SetStartPos failed, the old start stays\n");
    PlaceStart(oldX, oldY);
    return false;
}

template <class TBase>
bool CEngineDriver<TBase>::PlaceStart(int iStartX, int iStartY) {
    CCritSecLock lock(this->m_csControl);
    SStartInput in;
    in.x = iStartX < 0 ? 0 : iStartX;
    in.y = iStartY < 0 ? 0 : iStartY;
    // In 64 bits, and never before the sensor's first pixel.
    in.w = static_cast<long long>(this->m_iWidth) * this->m_iBin;
    in.h = static_cast<long long>(this->m_iHeight) * this->m_iBin;
    in.iMaxW = this->m_iMaxWidth;
    in.iMaxH = this->m_iMaxHeight;
    in.iAlignX = m_pMode && m_pMode->iAlignX > 0 ? m_pMode->iAlignX : m_Desc.iAlignX;
    in.iAlignY = m_pMode && m_pMode->iAlignY > 0 ? m_pMode->iAlignY : m_Desc.iAlignY;
    if (m_Desc.eWindow == WINDOW_SWITCHED_CROP && m_Desc.pSwitchedCrop)
        in.iAlignX = SwitchedCropAlignX(*m_Desc.pSwitchedCrop, in.iAlignX, Readout().iSensorFactor,
                                        m_Desc.model.bColor);
    const StartLaw law = m_Desc.fnStartLaw ? m_Desc.fnStartLaw : AlignThenClampStart;
    const SStartPlace at = law(in);
    this->m_iStartY = static_cast<int>(at.y);
    this->m_iStartX = static_cast<int>(at.x);
    // The dark frame and the hot-pixel map follow the window.
    if (this->m_bCutDark) this->AdjustDarkBuff();
    if (this->m_bHPCOn) this->AdjustHPCTable();
    return (this->*m_Window.fnStart)(static_cast<int>(at.askedX), static_cast<int>(at.askedY));
}

template <class TBase>
bool CEngineDriver<TBase>::ProgramOutputWidth(bool b16) {
    // The FPGA-timed family set it before the window was centred.
    return m_Desc.fpgaTimed.bOn || SetOutput16Bits(b16);
}

template <class TBase>
bool CEngineDriver<TBase>::Cam_SetResolution() {
    CCritSecLock lock(this->m_csControl);
    return (this->*m_Window.fnSize)();
}

template <class TBase>
int CEngineDriver<TBase>::GetRealImageSize() {
    return Readout().iFrameBytes;
}

template <class TBase>
bool CEngineDriver<TBase>::SetOutput16Bits(bool bOn) {
    CCritSecLock lock(this->m_csControl);
    this->m_bOutput16Bits = bOn;
    ++m_uGeomGen;
    // The ADC width of the mode this output runs in, or, by the model's
    // rule, of the stored high-speed flag alone.
    const SSensorMode* mode;
    if (m_Desc.eModeRule == MODE_RULE_ARG_BIN_STORED_SPEED)
        mode = this->m_bHighSpeed ? m_Desc.pModeHighSpeed : m_Desc.pModeNormal;
    else
        mode = SelectSensorMode(IsSensorBinned(this->m_iBin), this->m_iBin, this->m_bHighSpeed, bOn);
    if (!mode) mode = m_Desc.pModeNormal;
    const ADC_BIT adc = mode->eAdc;
    g_iUSBBandwidth = this->m_bUSB3Host ? m_Desc.iUSBBandwidthUSB3 : m_Desc.iUSBBandwidthUSB2;
    CRegPlan plan;
    m_pTiming->AddDataFormat(plan, adc, bOn);
    bool ok = RunPlan(plan);
    // The FPGA-timed family's black level follows the output width.
    if (m_Desc.fpgaTimed.bOn) ok = this->SetBrightness(this->m_iBrightness) && ok;
    return ok;
}

template <class TBase>
bool CEngineDriver<TBase>::SetHighSpeedMode(bool bOn) {
    {
        CCritSecLock lock(this->m_csControl);
        // High speed is a mode of 8-bit data, unless the model has one for
        // 16-bit data or says otherwise.
        const HIGH_SPEED_16BIT rule = m_Desc.eHighSpeed16;
        const bool bStoreOnly =
            rule == HS16_STORED || rule == HS16_STORED_ALSO_IN_SENSOR_BIN ||
            (rule == HS16_STORED_UNLESS_SENSOR_BIN && !IsSensorBinned(this->m_iBin) && !m_Desc.pModeHighSpeed16);
        const bool bBinnedStoreOnly = rule == HS16_STORED_ALSO_IN_SENSOR_BIN && IsSensorBinned(this->m_iBin);
        // A model without a high-speed mode has none to switch to.
        const bool bNoMode = !m_Desc.pModeHighSpeed && !m_Desc.pModeHighSpeed16;
        if (bNoMode || (this->m_bOutput16Bits && bStoreOnly) || bBinnedStoreOnly) {
            this->m_bHighSpeed = bOn;
            return true;
        }
    }
    return ReapplyMode([this, bOn] {
        // The mode of the new flag, also where the model's rule takes high
        // speed from the stored flag; the flag is stored only once its mode
        // is set. A mode that could not be set leaves the old one in force
        // with the old flag (the FPGA's data format follows it in the
        // geometry below), and says so.
        const IMAGE_TYPE type = static_cast<IMAGE_TYPE>(this->m_iImgType);
        const SSensorMode* mode =
            SensorModeOf(this->m_bHardwareBin, this->m_iBin, bOn, type, this->m_bHardwareBin, bOn);
        const bool ok = SwitchSensorMode(mode, this->m_iBin, type);
        if (ok) this->m_bHighSpeed = bOn;
        return ReapplyGeometry() && ok;
    });
}

template <class TBase>
bool CEngineDriver<TBase>::SetHardwareBin(bool bOn) {
    if (!HasHardwareBinMode(m_Desc)) return m_Desc.bHardwareBinIgnored || TBase::SetHardwareBin(bOn);
    // A sensor whose binning follows the bin is never switched off.
    const bool bFollows = m_Desc.bSensorBinFollowsBin;
    if (bFollows && !bOn) return true;
    auto allowed = [this, bOn, bFollows] {
        const long long w = static_cast<long long>(this->m_iWidth) * this->m_iBin;
        const long long h = static_cast<long long>(this->m_iHeight) * this->m_iBin;
        if (bOn && !bFollows) {
            if (this->m_iHeight % 2 != 0 || this->m_iWidth % 8 != 0) return false;
            // Sensor binning refuses the widths SetResolution would refuse with it.
            if (!SensorBinWidthFits(this->m_iWidth, this->m_iHeight, this->m_iBin)) return false;
        }
        return h % 2 == 0 && w % 8 == 0;
    };
    {
        CCritSecLock lock(this->m_csControl);
        // Not a sensor-binned bin (or a mode that changes only the sensor's
        // timing): the flag takes effect at the next bin change.
        if (SensorBinFactor(m_Desc, this->m_iBin) == 0) {
            this->m_bHardwareBin = bOn;
            return true;
        }
        if (!allowed()) return false;
    }
    return ReapplyMode([this, bOn, allowed] {
        if (!allowed()) return false;
        // The flag is stored only once its mode is set; a mode that could not
        // be set leaves the old one in force with the old flag.
        const IMAGE_TYPE type = static_cast<IMAGE_TYPE>(this->m_iImgType);
        const SSensorMode* mode =
            SensorModeOf(bOn, this->m_iBin, this->m_bHighSpeed, type, bOn, this->m_bHighSpeed);
        const bool ok = SwitchSensorMode(mode, this->m_iBin, type);
        if (ok) this->m_bHardwareBin = bOn;
        return ReapplyGeometry() && ok;
    });
}

template <class TBase>
bool CEngineDriver<TBase>::SetEnableDDR(bool bOn) {
    if (!m_Desc.bHasDDR) {
        CCritSecLock lock(this->m_csControl);
        this->m_bDDREnable = bOn;
        return true;
    }
    return ReapplyMode([this, bOn] {
        CRegPlan plan;
        m_pTiming->AddDDR(plan, bOn);
        // Stored only when the FPGA took it: the DDR stays as it was otherwise.
        const bool ok = RunPlan(plan);
        if (ok) this->m_bDDREnable = bOn;
        return ReapplyGeometry() && ok;
    });
}

// ---- Clock and streaming ------------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::SetCMOSClk(int iClockKHz) {
    if (!this->m_bOpened) return false;
    CCritSecLock lock(this->m_csControl);
    this->DbgPrint2("SetCMOSClk", "set clk %d M!\n", iClockKHz);
    this->m_iFclk = iClockKHz;
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::SetCMOSClk() {
    CCritSecLock lock(this->m_csControl);
    const int clock = m_pMode && m_pMode->iClockKHz > 0 ? m_pMode->iClockKHz : m_Desc.iFixedClockKHz;
    return SetCMOSClk(clock);
}

template <class TBase>
bool CEngineDriver<TBase>::StartSensorStreaming() {
    CCritSecLock lock(this->m_csControl);
    FollowStreamClamp();
    CRegPlan plan;
    if (m_Desc.eStreamStart == STREAM_START_FROM_STOPPED) m_pTiming->AddOutput(plan, false);
    plan.Table(m_Desc.streamStartRows).BitsTable(m_Desc.streamStartBits).Pause(m_Desc.uStreamStartPauseMs);
    m_pTiming->AddOutput(plan, true);
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::StopSensorStreaming() {
    CRegPlan plan;
    m_pTiming->AddOutput(plan, false);
    plan.Table(m_Desc.streamStopRows).BitsTable(m_Desc.streamStopBits);
    return RunPlan(plan);
}

// The capture loop is in EngineCapture.cpp, the image operation in EngineImage.cpp.

template class CEngineDriver<CCameraBase>;
template class CEngineDriver<CCameraCool>;

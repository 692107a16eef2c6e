#include "EngineDriver.h"

#include <limits.h>

#include <type_traits>

#include "cooling/CameraCool.h"
#include "platform/Log.h"

namespace {

// A single exposure longer than this is cut to it.
constexpr int kAutoExpMaxMsCap = 2000000;
// Pause after the FPGA reset before it takes commands.
constexpr uint32_t kDefaultResetPauseMs = 20;
// Entries of the supported-bin list searched.
constexpr int kBinSlots = kSupportedBinSlots;
// FPGA colour gain of 1.
constexpr int kUnityGain = 128;
// Image types 0 .. 4 exist.
constexpr int kImageTypeCount = 5;

bool IsType16(int iType) { return iType == IMAGE_32BIT || iType == IMAGE_RAW16; }

int RoundUp(int v, int step) { return step > 1 ? (v + step - 1) / step * step : v; }

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
      m_Port(*this) {
    DbgPrint(-1, desc.szClassName, "CCAMERA::CCAMERA()\n");
    ApplyModelConstants();
    this->m_iAutoExpMaxMs = std::min(this->m_iAutoExpMaxMs.load(), kAutoExpMaxMsCap);
    this->LoadSetting();
    // A stored sensor binning means nothing to a sensor without it.
    if (!HasHardwareBinMode(m_Desc)) this->m_bHardwareBin = false;
    // The class's own white balance, so the FPGA gains follow the loaded one.
    CEngineDriver::SetRGBBalance(this->m_iWBRed, this->m_iWBBlue, this->m_bAutoWB);
}

template <class TBase>
CEngineDriver<TBase>::~CEngineDriver() {
    char tag[80];
    snprintf(tag, sizeof(tag), "~%s", m_Desc.szClassName);
    DbgPrint(-1, tag, "CCAMERA::~CCAMERA()\n");
    // After the exported close this finds nothing open and nothing running.
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
    if (bSensorBin) return m_Desc.sensorBin[iBin].pMode;
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
    this->InitVariable();
    this->SetHPCStates(true);
    this->GetFPGAVer();
    if (m_Desc.uInitPauseMs) Sleep(m_Desc.uInitPauseMs);

    const bool bFamily = m_Desc.fpgaTimed.bOn;
    auto reg26 = [this] { return this->WriteFPGAREG(FPGA_REG_26, static_cast<uint16_t>(m_Desc.iFPGAReg26)); };
    CRegPlan sensor;
    if (m_Desc.bInitTableInHold) sensor.BeginFrame();
    sensor.Table(m_Desc.initTable).Table(m_Desc.initFixedRows);
    if (m_Desc.bInitTableInHold) sensor.EndFrame();
    if (m_Desc.pRawFpga) {
        AddRawInit(sensor);
    } else {
        sensor.Call([this] { return this->FPGAReset(); });
        if (m_Desc.iFPGAReg26 >= 0 && m_Desc.bFPGAReg26AtReset) sensor.Call(reg26);
        sensor.Pause(m_Desc.uResetPauseMs ? m_Desc.uResetPauseMs : kDefaultResetPauseMs);
        // The FPGA-timed family sends it once the FPGA is set up.
        if (!bFamily && !m_Desc.bNoStartCmd) sensor.Call([this] { return this->SendCMD(VR_CMD_AF); });
        sensor.Table(m_Desc.afterResetRows);
    }
    RunPlan(sensor);
    // The start-up table closed the sensor clamp.
    m_bClampOpen = 0;

    if (m_Desc.bDDRTest && !this->FPGADDRTest()) return false;

    CRegPlan fpga;
    fpga.Call([this] { return this->SetFPGAAsMaster(true); })
        .Call(FPGAOutputStep(true))
        // A camera without the DDR buffer has it bypassed whatever the flag says.
        .Call([this] { return this->EnableFPGADDR(m_Desc.bHasDDR && this->m_bDDREnable); })
        .Call([this] { return this->SetFPGAADCWidthOutputWidth(ADC_12BIT, false); });
    if (m_Desc.bFPGABinModeReset) fpga.Call([this] { return this->SetFPGABinMode(FPGA_BIN_MODE_0); });
    fpga.Call([this] { return this->SetFPGAGain(kUnityGain, kUnityGain, kUnityGain, kUnityGain); });
    if (m_Desc.iFPGAReg26 >= 0 && !m_Desc.bFPGAReg26AtReset) fpga.Call(reg26);
    if (bFamily && !m_Desc.bNoStartCmd) fpga.Call([this] { return this->SendCMD(VR_CMD_AF); });
    // A raw-programmed FPGA was set up by its own start-up steps.
    if (!m_Desc.pRawFpga) RunPlan(fpga);

    StartCooler();

    this->SetGamma(this->m_iGamma);
    this->SetRGBBalance(this->m_iWBRed, this->m_iWBBlue, this->m_bAutoWB);
    this->SetBrightness(this->m_iBrightness);
    if (bFamily) SetOutput16Bits(this->m_bOutput16Bits);
    if (this->m_bAutoFPS)
        this->m_iFPSPerc =
            this->m_bUSB3Host ? m_Desc.bandwidth.iAutoPercUSB3 : m_Desc.bandwidth.iAutoPercUSB2;
    SetCMOSClk();
    InitSensorMode(this->m_bHardwareBin, this->m_iBin, this->m_bHighSpeed,
                   static_cast<IMAGE_TYPE>(this->m_iImgType));
    ReplayTiming();
    if (m_Desc.bInitEndsInStandby) StopSensorStreaming();
    if (m_Desc.initEndRows.pRows) {
        CRegPlan end;
        end.Table(m_Desc.initEndRows);
        RunPlan(end);
    }
    if (bFamily && m_Desc.standby.bPresent) {
        // The sensor is left in standby by its last write.
        CRegPlan standby;
        standby.Sensor(m_Desc.standby.usReg, m_Desc.standby.ucEnter);
        RunPlan(standby);
    }
    return true;
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
bool CEngineDriver<TBase>::InitSensorMode(bool bHardwareBin, int iBin, bool bHighSpeed,
                                          IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    this->m_iBin = iBin;
    ++m_uGeomGen;
    const bool b16 = IsType16(imageType);
    this->DbgPrint2("InitSensorMode", "HardwareBin:%d Bin:%d b16Bit:%d\n", bHardwareBin ? 1 : 0, iBin,
                    b16 ? 1 : 0);
    // The mode follows the stored hardware-bin flag and the high-speed
    // argument, or, by the model's rule, the hardware-bin argument and the
    // stored high-speed flag.
    const bool bArgBin = m_Desc.eModeRule == MODE_RULE_ARG_BIN_STORED_SPEED;
    const bool bBinMode =
        (bArgBin ? bHardwareBin : this->m_bHardwareBin.load()) && HardwareBinMode(m_Desc, iBin);
    const SSensorMode* mode =
        SelectSensorMode(bBinMode, iBin, bArgBin ? this->m_bHighSpeed : bHighSpeed, b16);
    if (!mode) mode = m_Desc.pModeNormal;
    m_pMode = mode;
    g_iVBLK = mode->iVBLK;
    g_iHBLK = mode->iHBLK;
    g_iMinHMAX = mode->iMinHMAX;
    g_iExtraLines = mode->iExtraLines;
    const ADC_BIT adc = mode->eAdc;
    const bool out16 = mode->bOut16FromType && b16;
    CRegPlan plan;
    if (m_Desc.pRawFpga) {
        // The data format follows with the output width (SetOutput16Bits).
        AddRawModeSwitch(plan, *mode);
        RunPlan(plan);
        return true;
    }
    if (mode->bLanesOnly) {
        const LVDS_CHANNEL lanes = mode->eLanes;
        plan.Call([this, lanes] { return this->SetFPGALVDSChannel(lanes); });
        return RunPlan(plan);
    }
    if (m_Desc.fpgaTimed.bOn) {
        // The mode's rows as they stand, no hold; SetOutput16Bits sets the
        // FPGA's data format.
        plan.Table(mode->commonRegs).Table(mode->regs).BitsTable(mode->bitRows);
    } else {
        if (!mode->bUnheld) plan.BeginFrame();
        plan.Call([this, adc, out16] { return this->SetFPGAADCWidthOutputWidth(adc, out16); })
            .Table(mode->commonRegs)
            .Table(mode->regs)
            .BitsTable(mode->bitRows);
        if (!mode->bUnheld) plan.EndFrame();
    }
    plan.Table(m_Desc.modeAfterRows);
    // False when a register could not be written or read back for a change
    // of its bits; the callers that change a mode put the old one back.
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::ChangeSensorMode(bool bHardwareBin, int iBin, bool bHighSpeed,
                                            IMAGE_TYPE imageType, bool bOldHighSpeed) {
    CCritSecLock lock(this->m_csControl);
    const bool bOldHardwareBin = this->m_bHardwareBin;
    const int oldBin = this->m_iBin;
    const IMAGE_TYPE oldType = static_cast<IMAGE_TYPE>(this->m_iImgType);
    if (InitSensorMode(bHardwareBin, iBin, bHighSpeed, imageType)) return true;
    // Half a mode is no mode: the registers the failed change wrote get the
    // old mode's values again (a register it could not read it left alone).
    InitSensorMode(bOldHardwareBin, oldBin, bOldHighSpeed, oldType);
    return false;
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
    if (IsSensorBinned(iBin) && (iHeight % 2 != 0 || iWidth % 8 != 0)) return false;
    if (h % 2 != 0 || w % 8 != 0) return false;
    return !IsSensorBinned(iBin) || SensorBinWidthFits(iWidth, iHeight, iBin);
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
    // The FPGA-timed family, and models whose modes follow the image type
    // alone, keep the sensor mode over a bin change.
    const bool bModeChange =
        imageType != this->m_iImgType || (!family.bOn && !m_Desc.bModeFollowsType && iBin != this->m_iBin);
    const bool bHighSpeed = m_Desc.bResolutionKeepsHighSpeed && this->m_bHighSpeed;
    // A mode that cannot be set refuses the format; the old one stays.
    if (bModeChange && !ChangeSensorMode(this->m_bHardwareBin, iBin, bHighSpeed, imageType, bHighSpeed))
        return false;
    this->m_iHeight = iHeight;
    this->m_iWidth = iWidth;
    ++m_uGeomGen;
    this->m_iImgType = imageType;
    this->m_iBin = iBin;
    if (!m_Desc.bAlwaysCentre || m_Desc.bResolutionLogsOldStart)
        this->DbgPrint2("SetResolution", "SetResolution: sPx:%d, sPy:%d, w:%d, h:%d, bin:%d \n",
                        this->m_iStartX, this->m_iStartY, iWidth, iHeight, iBin);
    if (family.bOn) SetOutput16Bits(IsType16(imageType));
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
    if (m_Desc.bAlwaysCentre && !m_Desc.bResolutionLogsOldStart)
        this->DbgPrint2("SetResolution", "SetResolution: spx:%d, spy:%d, w:%d, h:%d, bin:%d \n",
                        this->m_iStartX, this->m_iStartY, iWidth, iHeight, iBin);
    this->SetStartPos(this->m_iStartX, this->m_iStartY);
    if (!family.bOn || family.bOutput16Twice) SetOutput16Bits(IsType16(imageType));
    Cam_SetResolution();
    SetCMOSClk();
    this->SetFPSPerc(this->m_iFPSPerc, this->m_bAutoFPS);
    this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::SetStartPos(int iStartX, int iStartY) {
    CCritSecLock lock(this->m_csControl);
    const int alignX = m_pMode && m_pMode->iAlignX > 0 ? m_pMode->iAlignX : m_Desc.iAlignX;
    const int alignY = m_pMode && m_pMode->iAlignY > 0 ? m_pMode->iAlignY : m_Desc.iAlignY;
    long long x = iStartX < 0 ? 0 : iStartX;
    long long y = iStartY < 0 ? 0 : iStartY;
    auto align = [alignX, alignY](long long* px, long long* py) {
        if (alignX > 1) *px -= *px % alignX;
        if (alignY > 1) *py -= *py % alignY;
    };
    if (!m_Desc.bStartAlignAfterClamp) align(&x, &y);
    const long long x0 = x, y0 = y;
    // In 64 bits, and never before the sensor's first pixel.
    const long long w = static_cast<long long>(this->m_iWidth) * this->m_iBin;
    const long long h = static_cast<long long>(this->m_iHeight) * this->m_iBin;
    if (y + h > this->m_iMaxHeight) y = this->m_iMaxHeight - h;
    if (x + w > this->m_iMaxWidth) x = this->m_iMaxWidth - w;
    if (y < 0) y = 0;
    if (x < 0) x = 0;
    // Aligning down keeps a clamped start inside the sensor.
    if (m_Desc.bStartAlignAfterClamp) align(&x, &y);
    this->m_iStartY = static_cast<int>(y);
    this->m_iStartX = static_cast<int>(x);
    // The dark frame and the hot-pixel map follow the window.
    if (this->m_bCutDark) this->AdjustDarkBuff();
    if (this->m_bHPCOn) this->AdjustHPCTable();
    if (m_Desc.pStartWindow) return ProgramStartWindow();

    if (m_Desc.pRawFpga) {
        CRegPlan raw;
        AddRawStart(raw);
        RunPlan(raw);
        return true;
    }
    int hblk = g_iHBLK;
    if (m_Desc.bFPGACropsX) {
        // The FPGA skips the columns before the window.
        hblk += this->m_iStartX;
        this->DbgPrint2("SetStartPos", "startX:%d, Y:%d, settingStartX:%d, Y%d.\n", static_cast<int>(x0),
                        static_cast<int>(y0), this->m_iStartX, this->m_iStartY);
    } else if (m_Desc.bHBLKFromStart && IsSensorBinned(this->m_iBin)) {
        hblk += this->m_iStartX / this->m_iBin;
    }
    const uint16_t vblk = static_cast<uint16_t>(g_iVBLK);
    const int offsetY = m_pMode ? m_pMode->iStartOffsetY : 0;
    uint32_t startY = static_cast<uint32_t>(this->m_iStartY + offsetY);
    if (m_Desc.bStartYOdd && startY % 2 == 0) ++startY;
    const uint32_t scale = WindowScale();
    // The exposure follows the window.
    if (m_Desc.bStartRerunsExp) this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    // Decided under the control lock the stream's start and stop take too.
    const bool bPause = m_Desc.bStartStopsOutput && m_bOutputOn;
    CRegPlan plan;
    // Fixed blanking, and the FPGA-timed family's, belong to the window size
    // (Cam_SetResolution).
    if (!m_Desc.window.bFixedBlanking && !m_Desc.fpgaTimed.bOn)
        plan.Call([this, hblk] { return this->SetFPGAHBLK(static_cast<uint16_t>(hblk)); }).Call([this, vblk] {
            return this->SetFPGAVBLK(vblk);
        });
    // A running stream takes the new start row between frames.
    if (bPause) plan.Call([this] { return this->FPGAStop(); });
    plan.Table(m_Desc.startPreRows).BeginFrame().Table(m_Desc.startHeldRows);
    if (m_Desc.usRegStartX) plan.SensorLE(m_Desc.usRegStartX, static_cast<uint32_t>(this->m_iStartX) * scale, 2);
    if (m_Desc.usRegStartY) plan.SensorLE(m_Desc.usRegStartY, startY * scale, 2);
    plan.EndFrame();
    if (bPause) plan.Call([this] { return this->FPGAStart(); });
    RunPlan(plan);
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::Cam_SetResolution() {
    CCritSecLock lock(this->m_csControl);
    if (m_Desc.pRawFpga) {
        CRegPlan raw;
        AddRawSize(raw);
        RunPlan(raw);
        return true;
    }
    if (m_Desc.pStartWindow) return ProgramWindowSize();
    const SReadout r = Readout();
    uint32_t width, height;
    if (r.iSensorFactor > 1) {
        // The sensor counts its binned window in unbinned pixels.
        width = static_cast<uint32_t>(r.iCols * r.iSensorFactor) & ~1u;
        height = static_cast<uint32_t>((g_iVBLK + r.iRows) * r.iSensorFactor) & ~1u;
    } else {
        // The sensor's window steps are coarser than the FPGA's: the FPGA
        // crops the rounded window to the exact readout. The FPGA-timed
        // family's blanking is the FPGA's alone.
        const int extra = m_Desc.fpgaTimed.bOn          ? m_Desc.fpgaTimed.iWindowHeightExtra
                          : m_Desc.iWindowExtraRows > 0 ? m_Desc.iWindowExtraRows
                          : m_Desc.iWindowExtraRows < 0 ? 0
                                                        : g_iVBLK;
        width = static_cast<uint32_t>(RoundUp(r.iCols, m_Desc.iWidthAlign)) * WindowScale();
        height = static_cast<uint32_t>(RoundUp(r.iRows, m_Desc.iHeightAlign) + extra) * WindowScale();
    }
    const unsigned int dataLen = static_cast<unsigned int>(r.iFrameBytes / 4);
    const int cols = r.iCols;
    const int rows = r.iRows;
    const SWindowRule& win = m_Desc.window;
    CRegPlan plan;
    if (m_Desc.fpgaTimed.bOn) this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    if (win.bFixedBlanking)
        plan.Call([this, &win] { return this->SetFPGAHBLK(static_cast<uint16_t>(win.iHBLK)); })
            .Call([this, &win] { return this->SetFPGAVBLK(static_cast<uint16_t>(win.iVBLK)); });
    if (!m_Desc.bNoFPGADataLen && !m_Desc.fpgaTimed.bOn)
        plan.Call([this, dataLen] { return this->SetFPGABinDataLen(dataLen); });
    if (!win.bSizeUnheld) plan.BeginFrame();
    if (m_Desc.usRegWidth) plan.SensorLE(m_Desc.usRegWidth, width, 2);
    if (m_Desc.usRegHeight) plan.SensorLE(m_Desc.usRegHeight, height, 2);
    if (!win.bSizeUnheld) plan.EndFrame();
    if (m_Desc.fpgaTimed.bOn) {
        const uint16_t hblk = static_cast<uint16_t>(g_iHBLK);
        const uint16_t vblk = static_cast<uint16_t>(g_iVBLK);
        plan.Call([this, hblk] { return this->SetFPGAHBLK(hblk); }).Call([this, vblk] {
            return this->SetFPGAVBLK(vblk);
        });
    }
    plan.Call([this, rows] { return this->SetFPGAHeight(rows); }).Call([this, cols] {
        return this->SetFPGAWidth(cols);
    });
    RunPlan(plan);
    return true;
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
    if (m_Desc.pRawFpga)
        plan.Fpga(FPGA_REG_DATA_FMT,
                  static_cast<uint8_t>((adc == ADC_12BIT ? FPGA_FMT_ADC12 : 0) | (bOn ? FPGA_FMT_OUT16 : 0)));
    else
        plan.Call([this, adc, bOn] { return this->SetFPGAADCWidthOutputWidth(adc, bOn); });
    bool ok = RunPlan(plan);
    // The FPGA-timed family's black level follows the output width.
    if (m_Desc.fpgaTimed.bOn) ok = this->SetBrightness(this->m_iBrightness) && ok;
    return ok;
}

template <class TBase>
bool CEngineDriver<TBase>::SetHighSpeedMode(bool bOn) {
    bool bWas;
    {
        CCritSecLock lock(this->m_csControl);
        bWas = this->m_bHighSpeed;
        this->m_bHighSpeed = bOn;
        if (m_Desc.bHighSpeedStoredOnly) return true;
        // High speed is a mode of 8-bit data, unless the model has one for
        // 16-bit data or says otherwise.
        const bool bStoreOnly =
            m_Desc.eHighSpeed16 == HS16_STORED || (m_Desc.eHighSpeed16 == HS16_STORED_UNLESS_SENSOR_BIN &&
                                                   !IsSensorBinned(this->m_iBin) && !m_Desc.pModeHighSpeed16);
        if (this->m_bOutput16Bits && bStoreOnly) return true;
    }
    return ReapplyMode([this, bOn, bWas] {
        const bool bModeWasHighSpeed = m_pMode == m_Desc.pModeHighSpeed;
        const bool ok = ChangeSensorMode(this->m_bHardwareBin, this->m_iBin, bOn,
                                         static_cast<IMAGE_TYPE>(this->m_iImgType), bModeWasHighSpeed);
        // A mode that could not be set leaves the old one, and says so.
        if (!ok) this->m_bHighSpeed = bWas;
        return ReapplyGeometry() && ok;
    });
}

template <class TBase>
bool CEngineDriver<TBase>::SetHardwareBin(bool bOn) {
    if (!HasHardwareBinMode(m_Desc)) return m_Desc.bHardwareBinIgnored || TBase::SetHardwareBin(bOn);
    auto allowed = [this, bOn] {
        const long long w = static_cast<long long>(this->m_iWidth) * this->m_iBin;
        const long long h = static_cast<long long>(this->m_iHeight) * this->m_iBin;
        if (bOn && (this->m_iHeight % 2 != 0 || this->m_iWidth % 8 != 0)) return false;
        // Sensor binning refuses the widths SetResolution would refuse with it.
        if (bOn && !SensorBinWidthFits(this->m_iWidth, this->m_iHeight, this->m_iBin)) return false;
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
        this->m_bHardwareBin = bOn;
        InitSensorMode(bOn, this->m_iBin, this->m_bHighSpeed, static_cast<IMAGE_TYPE>(this->m_iImgType));
        return ReapplyGeometry();
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
        this->m_bDDREnable = bOn;
        CRegPlan plan;
        plan.Call([this, bOn] { return this->EnableFPGADDR(bOn); });
        const bool ok = RunPlan(plan);
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
    plan.Table(m_Desc.streamStartRows).Pause(m_Desc.uStreamStartPauseMs).Call(FPGAOutputStep(false));
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::StopSensorStreaming() {
    CRegPlan plan;
    plan.Call(FPGAOutputStep(true)).Table(m_Desc.streamStopRows);
    return RunPlan(plan);
}

// The capture loop is in EngineCapture.cpp, the image operation in EngineImage.cpp.

template class CEngineDriver<CCameraBase>;
template class CEngineDriver<CCameraCool>;

// The crop-sensor family on the driver engine: mode choice, crop, gain,
// exposure and bandwidth. Every setter computes under the control lock and
// runs its register changes as one plan, as the engine's do.
#include <type_traits>

#include "engine/families/CropSensor.h"
#include "cooling/CameraCool.h"
#include "platform/Log.h"

namespace {

constexpr int kImageTypeCount = 5;
// Percentage base of the host constants.
constexpr double kHostFull = 400000.0;
constexpr uint64_t kMaxFPSBelowUs = 100000;
// A frame must carry its four marker words.
constexpr long long kMinFrameBytes = 8;

bool IsType16(int iType) { return iType == IMAGE_32BIT || iType == IMAGE_RAW16; }
bool IsSensorBin(int iBin) { return iBin == 2 || iBin == 4; }

long long ClampLL(long long v, long long lo, long long hi) { return v < lo ? lo : (v > hi ? hi : v); }

// A non-negative count by truncation; negatives and NaN give 0.
long long Count(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 9.0e18) return static_cast<long long>(9.0e18);
    return static_cast<long long>(v);
}

}  // namespace

template <class TBase>
CCropSensorDriver<TBase>::CCropSensorDriver(const SDriverDesc& desc, const SCropSensorDesc& crop)
    : CEngineDriver<TBase>(desc), m_Crop(crop) {
    // The sensor's binning follows the bin; it is no control of its own.
    this->m_bCapHardwareBin = false;
    this->m_bHardwareBin = IsSensorBin(this->m_iBin) && HasSensorBinning(desc);
    for (int i = 0; i < crop.iPresetBytes; ++i) {
        const SPresetByte& b = crop.pPresetBytes[i];
        if (this->m_pPresetBytes && b.iIndex >= 0 && b.iIndex < kPresetBytes)
            this->m_pPresetBytes[b.iIndex] = b.ucValue;
    }
}

template <class TBase>
bool CCropSensorDriver<TBase>::Binning() const {
    // A stored hardware-bin flag means nothing to a sensor without binning.
    return this->m_bHardwareBin && IsSensorBin(this->m_iBin) && HasSensorBinning(this->m_Desc);
}

template <class TBase>
uint64_t CCropSensorDriver<TBase>::LongFromUs() const {
    if (!this->m_bUSB3Host && m_Crop.ullLongFromUsUSB2) return m_Crop.ullLongFromUsUSB2;
    return m_Crop.ullLongFromUs;
}

template <class TBase>
double CCropSensorDriver<TBase>::LineUs() const {
    const int clock = this->m_iFclk;
    if (clock <= 0) return 0.0;
    const int div = Timing().iLineDivisor > 1 ? Timing().iLineDivisor : 1;
    return static_cast<double>(this->m_usHMAX) * 1000.0 / clock / div;
}

template <class TBase>
const SSensorMode* CCropSensorDriver<TBase>::SelectSensorMode(bool bSensorBin, int iBin, bool bHighSpeed,
                                                              bool b16) {
    const SDriverDesc& d = this->m_Desc;
    if (bSensorBin && d.sensorBin[iBin].pMode) {
        // High speed bins 8-bit data only; its ADC width goes with it.
        if (bHighSpeed && !b16 && m_Crop.pModeBinHighSpeed) return m_Crop.pModeBinHighSpeed;
        return d.sensorBin[iBin].pMode;
    }
    if (bHighSpeed && d.pModeHighSpeed && !(b16 && m_Crop.bHighSpeed8BitOnly)) return d.pModeHighSpeed;
    if (b16 && d.pModeNormal16) return d.pModeNormal16;
    return d.pModeNormal;
}

// ---- Initialisation ------------------------------------------------------------------

template <class TBase>
bool CCropSensorDriver<TBase>::InitCamera() {
    const SDriverDesc& d = this->m_Desc;
    this->CameraPID(this->m_iPID);
    if (!this->m_bOpened) return false;
    CCritSecLock lock(this->m_csControl);
    this->BindCaptureBody(this->m_thrWork, CEngineDriver<TBase>::WorkingFunc);
    this->BindCaptureBody(this->m_thrTrigger, CEngineDriver<TBase>::TriggerFunc);
    // Without its buffers the camera can capture nothing.
    if (!this->InitVariable()) return false;
    this->SetHPCStates(true);
    this->GetFPGAVer();

    // Every step runs also after a failed one, so the camera is set up as far
    // as it takes it; a step lost makes the initialisation fail.
    CRegPlan first;
    first.Table(m_Crop.initFirstRows);
    bool ok = this->RunPlan(first);
    SetHardwareBin(true);

    CTimingMaster& timing = this->Master();
    CRegPlan sensor;
    sensor.Table(d.initTable);
    timing.AddReset(sensor);
    ok = this->RunPlan(sensor) && ok;
    if (!timing.TestDDR()) return false;

    CRegPlan fpga;
    if (timing.AddSetUp(fpga, this->m_bDDREnable)) ok = this->RunPlan(fpga) && ok;
    this->StartCooler();

    this->SetGamma(this->m_iGamma);
    this->SetRGBBalance(this->m_iWBRed, this->m_iWBBlue, this->m_bAutoWB);
    this->SetBrightness(this->m_iBrightness);
    ok = SetOutput16Bits(this->m_bOutput16Bits) && ok;
    this->SetCMOSClk();
    if (this->m_bAutoFPS)
        this->m_iFPSPerc = this->m_bUSB3Host ? d.bandwidth.iAutoPercUSB3 : d.bandwidth.iAutoPercUSB2;
    // The mode follows the stored binning flag, so the tables match the readout.
    ok = this->InitSensorMode(this->m_bHardwareBin, this->m_iBin, this->m_bHighSpeed,
                              static_cast<IMAGE_TYPE>(this->m_iImgType)) &&
         ok;
    this->SetFPSPerc(this->m_iFPSPerc, this->m_bAutoFPS);
    this->SetGain(this->m_iGain, this->m_bAutoGain);
    this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    // The sensor waits in standby.
    CRegPlan standby;
    standby.Table(d.streamStopRows);
    ok = this->RunPlan(standby) && ok;
    return ok;
}

// ---- Modes and geometry ------------------------------------------------------------------

template <class TBase>
bool CCropSensorDriver<TBase>::CheckGeometry(int iWidth, int iHeight, int iBin, int iType) {
    bool bListed = false;
    for (int i = 0; i < kSupportedBinSlots && this->m_ucSupportedBins[i] != 0; ++i)
        if (this->m_ucSupportedBins[i] == iBin) bListed = true;
    if (!bListed) return false;
    const long long w = static_cast<long long>(iWidth) * iBin;
    const long long h = static_cast<long long>(iHeight) * iBin;
    if (w > this->m_iMaxWidth || h > this->m_iMaxHeight || w < 1 || h < 1) return false;
    if (iType < 0 || iType >= kImageTypeCount) return false;
    if (h % 2 != 0 || w % 8 != 0) return false;
    // A frame too small for its marker words could never be accepted.
    const SReadout r = ReadoutOf(this->m_Desc, iWidth, iHeight, iBin, IsSensorBin(iBin), IsType16(iType));
    return static_cast<long long>(r.iFrameBytes) >= kMinFrameBytes;
}

template <class TBase>
bool CCropSensorDriver<TBase>::SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) {
    {
        CCritSecLock lock(this->m_csControl);
        if (!CheckGeometry(iWidth, iHeight, iBin, imageType)) return false;
        if (!this->IsCapturing()) return ApplyGeometry(iWidth, iHeight, iBin, imageType);
    }
    return this->ReapplyMode([&] { return ApplyGeometry(iWidth, iHeight, iBin, imageType); });
}

template <class TBase>
bool CCropSensorDriver<TBase>::ApplyGeometry(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) {
    CCritSecLock lock(this->m_csControl);
    if (!CheckGeometry(iWidth, iHeight, iBin, imageType)) return false;
    // The geometry in force, stored again when the new one is not taken whole.
    const auto old = this->StoredGeometry();
    const bool bModeChange =
        imageType != this->m_iImgType || (!this->m_Desc.bModeFollowsType && iBin != this->m_iBin);
    if (bModeChange) {
        // Bins 2 and 4 run the sensor's binning mode, 1 and 3 full resolution;
        // the flag is stored with its mode, and a mode that cannot be set
        // refuses the format with the old one in force.
        const bool bSensorBin = IsSensorBin(iBin) && HasSensorBinning(this->m_Desc);
        const bool bHighSpeed = this->m_bHighSpeed;
        const SSensorMode* mode =
            this->SensorModeOf(bSensorBin, iBin, bHighSpeed, imageType, bSensorBin, bHighSpeed);
        if (!this->SwitchSensorMode(mode, iBin, imageType)) return false;
        this->m_bHardwareBin = bSensorBin;
    }
    this->m_iWidth = iWidth;
    this->m_iHeight = iHeight;
    ++this->m_uGeomGen;
    this->m_iStartX = static_cast<int>((this->m_iMaxWidth - static_cast<long long>(iWidth) * iBin) / 2);
    this->m_iStartY = static_cast<int>((this->m_iMaxHeight - static_cast<long long>(iHeight) * iBin) / 2);
    this->m_iImgType = imageType;
    this->m_iBin = iBin;
    bool bTiming = true;
    if (ProgramGeometry(IsType16(imageType), &bTiming)) return bTiming;
    // A geometry the camera did not take whole is not stored: the old one
    // and its mode are programmed again over what was written of the new one.
    this->RestoreGeometry(old);
    if (bModeChange) this->ProgramSensorMode(old.pMode, old.iBin, static_cast<IMAGE_TYPE>(old.iType));
    ProgramGeometry(old.b16, &bTiming);
    return false;
}

template <class TBase>
bool CCropSensorDriver<TBase>::ProgramGeometry(bool b16, bool* pbTiming) {
    CCritSecLock lock(this->m_csControl);
    // Every part runs also after a failed one; any failure of the geometry's
    // own plans fails the whole.
    bool bExp = true;
    bool ok = PlaceStart(this->m_iStartX, this->m_iStartY, &bExp);
    ok = SetOutput16Bits(b16) && ok;
    ok = Cam_SetResolution() && ok;
    bool bTiming = SetFPSPerc(this->m_iFPSPerc, this->m_bAutoFPS);
    bTiming = SetExp(this->m_lExpTimeUs, this->m_bAutoExp) && bTiming;
    // The gain map depends on the mode.
    *pbTiming = SetGain(this->m_iGain, this->m_bAutoGain) && bTiming;
    return ok;
}

template <class TBase>
bool CCropSensorDriver<TBase>::ApplyMode(bool bHardwareBin, bool bHighSpeed) {
    // The flags are stored only once their mode is set; a mode that could not
    // be set leaves the old one in force with the old flags, and says so.
    const IMAGE_TYPE type = static_cast<IMAGE_TYPE>(this->m_iImgType);
    const SSensorMode* mode =
        this->SensorModeOf(bHardwareBin, this->m_iBin, bHighSpeed, type, bHardwareBin, bHighSpeed);
    const bool ok = this->SwitchSensorMode(mode, this->m_iBin, type);
    if (ok) {
        this->m_bHardwareBin = bHardwareBin;
        this->m_bHighSpeed = bHighSpeed;
    }
    return this->ReapplyGeometry() && ok;
}

template <class TBase>
bool CCropSensorDriver<TBase>::SetHighSpeedMode(bool bOn) {
    {
        CCritSecLock lock(this->m_csControl);
        // Binning and 16-bit data keep their mode; the choice waits for a change.
        if (Binning() || this->m_bOutput16Bits) {
            this->m_bHighSpeed = bOn;
            return true;
        }
    }
    return this->ReapplyMode([this, bOn] { return ApplyMode(this->m_bHardwareBin, bOn); });
}

template <class TBase>
bool CCropSensorDriver<TBase>::SetHardwareBin(bool bOn) {
    // Off changes nothing; a sensor without binning has nothing to switch.
    if (!bOn || !HasSensorBinning(this->m_Desc)) return true;
    auto allowed = [this] {
        const long long w = static_cast<long long>(this->m_iWidth) * this->m_iBin;
        const long long h = static_cast<long long>(this->m_iHeight) * this->m_iBin;
        return h % 2 == 0 && w % 8 == 0;
    };
    {
        CCritSecLock lock(this->m_csControl);
        if (!IsSensorBin(this->m_iBin)) {
            this->m_bHardwareBin = true;
            return true;
        }
        if (!allowed()) return false;
    }
    return this->ReapplyMode([this, allowed] {
        if (!allowed()) return false;
        return ApplyMode(true, this->m_bHighSpeed);
    });
}

template <class TBase>
bool CCropSensorDriver<TBase>::SetStartPos(int iStartX, int iStartY) {
    CCritSecLock lock(this->m_csControl);
    const int oldX = this->m_iStartX;
    const int oldY = this->m_iStartY;
    bool bExp = true;
    if (PlaceStart(iStartX, iStartY, &bExp)) return bExp;
    // A start the camera did not take whole is not stored: the old one is
    // programmed again over what was written of the new one.
    this->DbgPrint2("SetStartPos", "SetStartPos failed, the old start stays\n");
    PlaceStart(oldX, oldY, &bExp);
    return false;
}

template <class TBase>
bool CCropSensorDriver<TBase>::PlaceStart(int iStartX, int iStartY, bool* pbExp) {
    CCritSecLock lock(this->m_csControl);
    long long x = iStartX < 0 ? 0 : iStartX;
    long long y = iStartY < 0 ? 0 : iStartY;
    x -= x % 12;
    y -= y % 4;
    const long long w = static_cast<long long>(this->m_iWidth) * this->m_iBin;
    const long long h = static_cast<long long>(this->m_iHeight) * this->m_iBin;
    if (x + w > this->m_iMaxWidth) x = this->m_iMaxWidth - w;
    if (y + h > this->m_iMaxHeight) y = this->m_iMaxHeight - h;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    this->m_iStartX = static_cast<int>(x);
    this->m_iStartY = static_cast<int>(y);
    if (this->m_bCutDark) this->AdjustDarkBuff();
    if (this->m_bHPCOn) this->AdjustHPCTable();

    const bool bin = BinTiming();
    const SCropModeTiming& t = Timing();
    const SReadout r = this->Readout();
    const SCropColumns& cc = t.crop;
    const int start = (this->m_iStartX / cc.iStartDiv) * cc.iStartMul + cc.iStartBase;
    int end = cc.iEndBase - 4 * ((cc.iEndRef - start - r.iCols + cc.iEndSlack) / 4);
    if (end - start < 36) end = start + 36;
    const int pos = this->m_iStartY / t.iPosDiv;
    int cut = 0;
    if (bin) cut = r.iRows >= m_Crop.iCutMinRows ? (m_Crop.iCutRowsBin - r.iRows) / 4 : m_Crop.iCutDefault;

    CRegPlan plan;
    if (!bin) {
        const uint16_t hblk = static_cast<uint16_t>(m_Crop.iFPGAHBLK);
        const uint16_t vblk = static_cast<uint16_t>(t.iVBLK);
        this->Master().AddBlanking(plan, hblk, vblk);
    }
    this->DbgPrint2("SetStartPos", "Crop V-Win Cut:%d, Pos:%d.\n", cut, pos);
    this->DbgPrint2("SetStartPos", "Crop H-Trimming Start:%d, End:%d, HMAXmin:%d.\n", start, end,
                    this->g_iMinHMAX);
    plan.BeginFrame().Table(m_Crop.cropEnableRows);
    if (m_Crop.usRegCropMode) plan.Sensor(m_Crop.usRegCropMode, t.ucCropMode);
    plan.Sensor(m_Crop.usRegCropStart, static_cast<uint8_t>(start & 0xFC))
        .Sensor(static_cast<uint16_t>(m_Crop.usRegCropStart + 1), static_cast<uint8_t>(start >> 8))
        .Sensor(m_Crop.usRegCropEnd, static_cast<uint8_t>(m_Crop.bCropEndAligned ? end & 0xFC : end & 0xFF))
        .Sensor(static_cast<uint16_t>(m_Crop.usRegCropEnd + 1), static_cast<uint8_t>((end >> 8) & 0xFF))
        .SensorLE(m_Crop.usRegPos, static_cast<uint32_t>(pos), 2);
    if (bin) plan.SensorLE(m_Crop.usRegCut, static_cast<uint32_t>(cut), 2);
    plan.EndFrame();
    const bool ok = this->RunPlan(plan);
    CalcFrameTime();
    *pbExp = SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    return ok;
}

template <class TBase>
bool CCropSensorDriver<TBase>::Cam_SetResolution() {
    CCritSecLock lock(this->m_csControl);
    const SReadout r = this->Readout();
    const bool bin = BinTiming();
    const int cut = (m_Crop.iCutRowsFull - r.iRows) / 4;
    this->DbgPrint2("Cam_SetResolution", "SetResolution! start pos x:%d y:%d iHeight:%d iWidth:%d \n",
                    this->m_iStartX, this->m_iStartY, this->m_iHeight, this->m_iWidth);
    this->DbgPrint2("Cam_SetResolution", "Crop Write_Vsize:%d, Y_Out_Size:%d.\n",
                    r.iRows + m_Crop.iRowsAOffset, r.iRows + m_Crop.iRowsBOffset);
    CRegPlan plan;
    plan.BeginFrame();
    if (!bin)
        plan.Table(m_Crop.cropEnableRows)
            .Sensor(m_Crop.usRegCropMode, m_Crop.full.ucCropMode)
            .SensorLE(m_Crop.usRegCut, static_cast<uint32_t>(cut) & 0xFFFF, 2);
    plan.SensorLE(m_Crop.usRegRowsA, static_cast<uint32_t>(r.iRows + m_Crop.iRowsAOffset), 2)
        .SensorLE(m_Crop.usRegRowsB, static_cast<uint32_t>(r.iRows + m_Crop.iRowsBOffset), 2)
        .EndFrame();
    if (bin) {
        const uint16_t hblk = static_cast<uint16_t>(m_Crop.iFPGAHBLK);
        const uint16_t vblk = static_cast<uint16_t>(m_Crop.binning.iVBLK);
        this->Master().AddBlanking(plan, hblk, vblk);
    }
    const int rows = r.iRows;
    const int cols = r.iCols;
    if (!this->m_Desc.bNoFPGADataLen) {
        const unsigned int dataLen = static_cast<unsigned int>(r.iFrameBytes / 4);
        this->Master().AddDataLength(plan, dataLen);
    }
    this->Master().AddReadoutSize(plan, rows, cols);
    return this->RunPlan(plan);
}

template <class TBase>
bool CCropSensorDriver<TBase>::SetOutput16Bits(bool bOn) {
    CCritSecLock lock(this->m_csControl);
    this->m_bOutput16Bits = bOn;
    ++this->m_uGeomGen;
    // The ADC width of the mode this output runs in.
    const SSensorMode* mode = SelectSensorMode(Binning(), this->m_iBin, this->m_bHighSpeed, bOn);
    const ADC_BIT adc = mode ? mode->eAdc : ADC_12BIT;
    this->g_iUSBBandwidth =
        this->m_bUSB3Host ? this->m_Desc.iUSBBandwidthUSB3 : this->m_Desc.iUSBBandwidthUSB2;
    CRegPlan plan;
    this->Master().AddDataFormat(plan, adc, bOn);
    return this->RunPlan(plan);
}

// ---- Gain ------------------------------------------------------------------------------

template <class TBase>
bool CCropSensorDriver<TBase>::SetGain(int iGain, bool bAuto) {
    CCritSecLock lock(this->m_csControl);
    const int g = static_cast<int>(ClampLL(iGain, this->m_iGainMin, this->m_iGainMax));
    const bool bin = BinTiming();
    const int top = bin ? m_Crop.iAnalogTopBin : m_Crop.iAnalogTopFull;
    const int step = m_Crop.iDigitalStep;
    const int digital = g > top ? (g - top + step - 1) / step : 0;
    int analogDb = g - digital * step;
    bool conv = true;
    if (bin) {
        conv = g >= m_Crop.iConvGainAt;
        if (conv) analogDb -= m_Crop.iConvGainAt;
    }
    const int analog = PowerLawGainCode(analogDb, m_Crop.iAnalogScale);
    CRegPlan plan;
    plan.BeginFrame()
        .Sensor(m_Crop.usRegConvGain, conv ? 1 : 0)
        .SensorLE(m_Crop.usRegAnalog, static_cast<uint32_t>(analog), 2)
        .Sensor(m_Crop.usRegDigital, static_cast<uint8_t>(digital))
        .EndFrame();
    this->DbgPrint2("SetGain", "Gain digital:%d Analog:%d \n", digital, analog);
    if (!this->RunPlan(plan)) return false;
    this->m_iGain = g;
    this->m_bAutoGain = bAuto;
    return true;
}

// ---- Exposure ----------------------------------------------------------------------------

template <class TBase>
bool CCropSensorDriver<TBase>::SetExp(unsigned long long ullExposureUs, bool bAuto) {
    CCritSecLock lock(this->m_csControl);
    const unsigned long long lo = this->m_iExpMin > 0 ? static_cast<unsigned long long>(this->m_iExpMin) : 0;
    const unsigned long long hi = this->m_iExpMax > 0 ? static_cast<unsigned long long>(this->m_iExpMax) : 0;
    const unsigned long long exp = ullExposureUs < lo ? lo : (ullExposureUs > hi ? hi : ullExposureUs);

    CRegPlan plan;
    const uint64_t longFrom = LongFromUs();
    // Long-exposure mode as this exposure leaves it; stored with the exposure.
    bool bLong = this->m_bLongExpMode;
    if (exp >= longFrom) {
        if (!bLong) this->DbgPrint2("SetExp", "Enter long exp mode\n");
        // The capture thread drives the FPGA's wait and trigger modes.
        bLong = true;
    } else if (bLong) {
        const bool wait = !this->m_bUSB3Host;
        // A trigger camera mode keeps the FPGA's trigger mode: without it the
        // camera would run free and send frames nobody triggered.
        const bool trigger = this->m_iCameraMode != CAM_MODE_NORMAL;
        CTimingMaster& timing = this->Master();
        plan.Call([&timing, wait] { return timing.WaitMode(wait); }).Call([&timing, trigger] {
            return timing.TriggerMode(trigger);
        });
        this->DbgPrint2("SetExp", "Exit long exp mode\n");
        bLong = false;
    }
    const bool bin = BinTiming();
    const SCropModeTiming& t = Timing();
    const double lineUs = LineUs();
    const uint32_t frameUs = this->m_iFrameTimeUs;
    double sensorExp = static_cast<double>(exp);
    if (bLong && m_Crop.iLongPadUs >= 0)
        sensorExp = static_cast<double>(frameUs) + (bin ? 0 : m_Crop.iLongPadUs);
    const SReadout r = this->Readout();
    const long long n =
        lineUs > 0.0 ? Count((sensorExp - m_Crop.dExposureOffsetUs) / lineUs * t.dExposureScale) : 0;
    long long vmax;
    long long shr;
    if (sensorExp <= static_cast<double>(frameUs)) {
        vmax = (static_cast<long long>(r.iRows) + t.iVMAXRows) / t.iVMAXDiv;
        shr = vmax - n;
        if (shr >= vmax) shr = vmax - 1;
        if (shr < 0) shr = 0;
        if (shr > 0xFFFF) shr = 0xFFFF;
    } else {
        shr = t.iSHRLong;
        vmax = n + (t.iVMAXLong ? t.iVMAXLong : t.iSHRLong);
    }
    if (vmax > m_Crop.uVMAXMax) vmax = m_Crop.uVMAXMax;
    const int expLines = static_cast<int>(vmax - shr - 1);
    // The blanking value never goes below 0: a frame shorter than the base
    // takes the most the register holds.
    long long x = m_Crop.uBlankingOutside;
    if (bLong) {
        x = vmax - t.iBlankingBase;
        if (x < 0 || x > static_cast<long long>(m_Crop.uBlankingMax)) x = m_Crop.uBlankingMax;
    }
    const uint32_t progFrameUs = static_cast<uint32_t>(ClampLL(Count(vmax * lineUs), 0, UINT32_MAX));
    this->DbgPrint2("SetExp", "VMAX:0x%x SSH1:0X%x VBLK:0X%x pkg:%d \n", static_cast<unsigned>(vmax),
                    static_cast<unsigned>(shr), static_cast<unsigned>(x), static_cast<int>(this->m_usHMAX));
    this->DbgPrint2("SetExp", "1h:%2.2fus 1f:%d mode:%d timeus:%d\n", lineUs, static_cast<int>(frameUs),
                    bLong ? 1 : 0, static_cast<int>(exp));
    const unsigned int fpgaVMAX = static_cast<unsigned int>(vmax);
    this->Master().AddFrameLength(plan, fpgaVMAX);
    plan.BeginFrame()
        .SensorLE(m_Crop.usRegSHR, static_cast<uint32_t>(shr), 2);
    for (uint16_t reg : m_Crop.usRegsBlanking) plan.SensorLE(reg, static_cast<uint32_t>(x), 2);
    plan.SensorLE(m_Crop.usRegBlankingLess5, static_cast<uint32_t>(x - 5), 2).EndFrame();
    if (!this->RunPlan(plan)) return false;
    this->m_bAutoExp = bAuto;
    this->m_lExpTimeUs = exp;
    this->m_bLongExpMode = bLong;
    this->m_iExpLines = expLines;
    this->m_uProgFrameUs = progFrameUs;
    CalcMaxFPS();
    return true;
}

// ---- Bandwidth and frame timing ---------------------------------------------------------

template <class TBase>
bool CCropSensorDriver<TBase>::SetFPSPerc(int iPercent, bool bAuto) {
    CCritSecLock lock(this->m_csControl);
    const SDriverDesc& d = this->m_Desc;
    if (this->m_iFclk < d.iMinClockKHz) return false;
    const int p = static_cast<int>(ClampLL(iPercent, this->m_iBandWidthMin, this->m_iBandWidthMax));
    // The plan and the exposure below time from the new values in the
    // object; they are put back when the change fails.
    const auto before = this->SaveLineTiming();
    if (!bAuto)
        this->m_iFPSPerc = p;
    else if (this->m_bAutoFPS)
        this->m_iFPSPerc = p;
    else
        this->m_iFPSPerc = this->m_bUSB3Host ? d.bandwidth.iAutoPercUSB3 : d.bandwidth.iAutoPercUSB2;
    this->m_bAutoFPS = bAuto;

    const bool bin = BinTiming();
    const SCropModeTiming& t = Timing();
    const SReadout r = this->Readout();
    // The link's caps change only the percentage used, never the one stored.
    int q = this->m_iFPSPerc;
    if (!this->m_bDDREnable) {
        const long long pixels =
            static_cast<long long>(this->m_iBin) * this->m_iBin * this->m_iWidth * this->m_iHeight;
        const bool sensorBin = IsSensorBin(this->m_iBin);
        if (this->m_bUSB3Host && pixels > m_Crop.llCapPixels) {
            const int cap = sensorBin ? m_Crop.iCapBin : m_Crop.iCapFull;
            if (q > cap) q = cap;
        } else if (!this->m_bUSB3Host && sensorBin && q > m_Crop.iCapBinUSB2) {
            q = m_Crop.iCapBinUSB2;
        }
    }
    const int minHMAX = t.iMinHMAXUsed > 0 ? t.iMinHMAXUsed : this->g_iMinHMAX;
    const int clock = this->m_iFclk;
    long long hmax;
    double pacing = 100.0;
    if (this->m_bDDREnable) {
        hmax = minHMAX;
        pacing = (this->m_bUSB3Host ? d.bandwidth.iHostUSB3 : d.bandwidth.iHostUSB2) *
                 static_cast<double>(q) / kHostFull;
    } else {
        const double fps = 100.0 * this->g_iUSBBandwidth * 10 / (1 + (r.b16 ? 1 : 0)) / r.iRows / r.iCols;
        const double lineFactor = d.bandwidth.dLineTimeFactor > 0.0 ? d.bandwidth.dLineTimeFactor : 1.0;
        const long long h =
            Count(lineFactor * clock * (1000000.0 / fps / (r.iRows + t.iExtraRows)) / 1000.0);
        hmax = 100 * (h > minHMAX ? h : minHMAX) / q;
        if (hmax > 65535) hmax = 65535;
    }
    this->m_usHMAX = static_cast<uint16_t>(hmax);
    const long long lineLength = std::min<long long>(
        Count(hmax * m_Crop.dLineLengthFactor) + m_Crop.iLineLengthOffset, m_Crop.iLineLengthMax);
    const uint16_t fpgaHMAX = static_cast<uint16_t>(hmax);
    const float pacingPerc = static_cast<float>(pacing);
    CRegPlan plan;
    plan.BeginFrame()
        .SensorLE(m_Crop.usRegLineLengthA, static_cast<uint32_t>(lineLength), 2)
        .SensorLE(m_Crop.usRegLineLengthB, static_cast<uint32_t>(lineLength), 2)
        .EndFrame();
    this->Master().AddLineLength(plan, fpgaHMAX);
    if (d.bandwidth.bFPGABandWidth) this->Master().AddPacing(plan, pacingPerc);
    const double lineUs = static_cast<double>(hmax) * 1000.0 / clock / (bin ? 2 : 1);
    const double sensorFps = 1000000.0 / (lineUs * (r.iRows + t.iExtraRows));
    this->DbgPrint2("SetFPSPerc", "Sensor clk:%d fps:%2.2f size:%2.2f value:%d pkg:%d, SensorPkg:%d \n",
                    clock, sensorFps, sensorFps * r.iFrameBytes / 1000000.0, q, static_cast<int>(hmax),
                    static_cast<int>(lineLength));
    if (this->m_bDDREnable)
        this->DbgPrint2("SetFPSPerc", "FPGA output size:%2.2f, fps:%2.2f , fPercent:%2.2f \n",
                        pacing * 4000.0 / 1000.0, sensorFps, pacing);
    bool ok = this->RunPlan(plan);
    CalcFrameTime();
    ok = SetExp(this->m_lExpTimeUs, this->m_bAutoExp) && ok;
    if (!ok) this->RestoreLineTiming(before);
    CalcMaxFPS();
    return ok;
}

template <class TBase>
void CCropSensorDriver<TBase>::CalcFrameTime() {
    CCritSecLock lock(this->m_csControl);
    const SReadout r = this->Readout();
    const double frame = m_Crop.dExposureOffsetUs + (r.iRows + Timing().iExtraRows) * LineUs();
    this->m_iFrameTimeUs = static_cast<uint32_t>(ClampLL(Count(frame), 0, UINT32_MAX));
    if (!this->m_bDDREnable) {
        this->m_iXferTimeUs = 0;
        return;
    }
    const double rate = static_cast<double>(this->HostConstant()) * this->m_iFPSPerc * 10 / 1000000.0;
    const double bytes = static_cast<double>(r.iCols) * r.iRows * (r.b16 ? 2 : 1);
    this->m_iXferTimeUs = rate > 0.0 ? static_cast<uint32_t>(ClampLL(Count(bytes / rate), 0, UINT32_MAX)) : 0;
}

template <class TBase>
void CCropSensorDriver<TBase>::CalcMaxFPS() {
    CCritSecLock lock(this->m_csControl);
    if (this->m_lExpTimeUs >= kMaxFPSBelowUs) return;
    const SReadout r = this->Readout();
    const SCropModeTiming& t = Timing();
    const long long sh =
        std::min<long long>(Count(this->m_usHMAX * m_Crop.dLineLengthFactor), m_Crop.iLineLengthMax);
    const long long lines = (static_cast<long long>(r.iRows) + t.iRateRows) / t.iRateDiv;
    const double s = sh > 0 && lines > 0 ? m_Crop.dRateClock / (static_cast<double>(sh) * lines) : 0.0;
    const int bpp = r.b16 ? 2 : 1;
    const double data = static_cast<double>(r.iCols) * r.iRows * bpp * s / 1000000.0;
    if (!this->m_bDDREnable) {
        const uint32_t frameUs = this->m_iFrameTimeUs;
        this->m_fMaxFPS = static_cast<float>(BinTiming() ? s : (frameUs ? 1000000.0 / frameUs : 0.0));
        this->m_fMaxDataRate = static_cast<float>(data);
    } else {
        const double rate = static_cast<double>(this->HostConstant()) * this->m_iFPSPerc * 10 / 1000000.0;
        const double u = rate * 1000000.0 / bpp / r.iRows / r.iCols;
        this->m_fMaxFPS = static_cast<float>(s < u ? s : u);
        this->m_fMaxDataRate = static_cast<float>(data < rate ? data : rate);
    }
    this->DbgPrint2("CalcMaxFPS", "calc fps-clk:%d data:%2.1f fps:%2.1f pkg:%d \n", this->m_iFclk,
                    static_cast<double>(this->m_fMaxDataRate), static_cast<double>(this->m_fMaxFPS),
                    static_cast<int>(this->m_usHMAX));
}

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

void ApplyCropSensorFamily(SDriverDesc* pDesc) {
    SDriverDesc& d = *pDesc;
    d.hold = {true, 0x302B, 1, 0};
    d.standby = {true, 0x3000, 1, 0};
    d.iFPGAReg26 = -1;
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
    c.ullLongFromUs = 1000000;
    c.iLongPadUs = -1;
    c.dLineLengthFactor = 3.6;
    c.iLineLengthMax = 65534;
    c.usRegLineLengthA = 0x3084;
    c.usRegLineLengthB = 0x3086;
    c.dRateClock = 72000000.0;
    return c;
}

template class CCropSensorDriver<CCameraBase>;
template class CCropSensorDriver<CCameraCool>;

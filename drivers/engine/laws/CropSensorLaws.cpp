// The crop sensor's law set (LAWS_CROP): gain, exposure, line length, frame
// time and frame rate of a sensor whose modes carry their kind's timing
// (SCropModeTiming). Each law adds its registers to the operation's plan;
// the engine's setters run the plan and store what it leaves.
#include <algorithm>

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/laws/Count.h"
#include "engine/laws/CropSensorRule.h"
#include "platform/Log.h"

namespace {

// A non-negative count by truncation; negatives and NaN give 0.
long long Count(double v) { return TruncCount(v, 9.0e18); }

}  // namespace

template <class TBase>
const SCropModeTiming& CEngineDriver<TBase>::CropKind() const {
    // Checked at registration: every mode of a crop description has its kind.
    return *m_pMode->pCropTiming;
}

template <class TBase>
double CEngineDriver<TBase>::CropLineUs() const {
    const int clock = this->m_iFclk;
    if (clock <= 0) return 0.0;
    const int div = CropKind().iLineDivisor > 1 ? CropKind().iLineDivisor : 1;
    return static_cast<double>(this->m_usHMAX) * 1000.0 / clock / div;
}

// ---- Gain ------------------------------------------------------------------------------

template <class TBase>
int CEngineDriver<TBase>::CropGain(int iGain, CRegPlan& plan) {
    const SCropSensorDesc& c = *m_Desc.pCropSensor;
    const int g = static_cast<int>(ClampLL(iGain, this->m_iGainMin, this->m_iGainMax));
    const bool bin = CropKind().bBinning;
    const int top = bin ? c.iAnalogTopBin : c.iAnalogTopFull;
    const int step = c.iDigitalStep;
    const int digital = g > top ? (g - top + step - 1) / step : 0;
    int analogDb = g - digital * step;
    bool conv = true;
    if (bin) {
        conv = g >= c.iConvGainAt;
        if (conv) analogDb -= c.iConvGainAt;
    }
    const int analog = PowerLawGainCode(analogDb, c.iAnalogScale);
    plan.BeginFrame()
        .Sensor(c.usRegConvGain, conv ? 1 : 0)
        .SensorLE(c.usRegAnalog, static_cast<uint32_t>(analog), 2)
        .Sensor(c.usRegDigital, static_cast<uint8_t>(digital))
        .EndFrame();
    this->DbgPrint2("SetGain", "Gain digital:%d Analog:%d \n", digital, analog);
    return g;
}

// ---- Exposure ----------------------------------------------------------------------------

template <class TBase>
void CEngineDriver<TBase>::CropExposure(unsigned long long exp, CRegPlan& plan, SExposureStep* pStep) {
    const SCropSensorDesc& c = *m_Desc.pCropSensor;
    const SExposureRule& rule = m_Desc.exposure;
    // Long-exposure mode as this exposure leaves it; stored with the exposure.
    bool bLong = this->m_bLongExpMode;
    if (exp >= LongFromUs()) {
        if (!bLong) this->DbgPrint2("SetExp", "%s", rule.szEnterLongLog);
        // The capture thread drives the FPGA's wait and trigger modes.
        bLong = true;
    } else if (bLong) {
        AddLongModeExit(plan);
        this->DbgPrint2("SetExp", "%s", rule.szExitLongLog);
        bLong = false;
    }
    const SCropModeTiming& t = CropKind();
    const double lineUs = CropLineUs();
    const uint32_t frameUs = this->m_iFrameTimeUs;
    double sensorExp = static_cast<double>(exp);
    if (bLong && c.iLongPadUs >= 0) sensorExp = static_cast<double>(frameUs) + (t.bBinning ? 0 : c.iLongPadUs);
    const SReadout r = Readout();
    const long long n = lineUs > 0.0 ? Count((sensorExp - c.dExposureOffsetUs) / lineUs * t.dExposureScale) : 0;
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
    if (vmax > c.uVMAXMax) vmax = c.uVMAXMax;
    const int expLines = static_cast<int>(vmax - shr - 1);
    // The blanking value never goes below 0: a frame shorter than the base
    // takes the most the register holds.
    long long x = c.uBlankingOutside;
    if (bLong) {
        x = vmax - t.iBlankingBase;
        if (x < 0 || x > static_cast<long long>(c.uBlankingMax)) x = c.uBlankingMax;
    }
    const uint32_t progFrameUs = static_cast<uint32_t>(ClampLL(Count(vmax * lineUs), 0, UINT32_MAX));
    this->DbgPrint2("SetExp", "VMAX:0x%x SSH1:0X%x VBLK:0X%x pkg:%d \n", static_cast<unsigned>(vmax),
                    static_cast<unsigned>(shr), static_cast<unsigned>(x), static_cast<int>(this->m_usHMAX));
    this->DbgPrint2("SetExp", "1h:%2.2fus 1f:%d mode:%d timeus:%d\n", lineUs, static_cast<int>(frameUs),
                    bLong ? 1 : 0, static_cast<int>(exp));
    m_pTiming->AddFrameLength(plan, static_cast<unsigned int>(vmax));
    plan.BeginFrame().SensorLE(c.usRegSHR, static_cast<uint32_t>(shr), 2);
    for (uint16_t reg : c.usRegsBlanking) plan.SensorLE(reg, static_cast<uint32_t>(x), 2);
    plan.SensorLE(c.usRegBlankingLess5, static_cast<uint32_t>(x - 5), 2).EndFrame();
    *pStep = SExposureStep{bLong, expLines, progFrameUs};
}

// ---- Bandwidth and frame timing ---------------------------------------------------------

template <class TBase>
void CEngineDriver<TBase>::CropLine(int iPercent, CRegPlan& plan) {
    const SDriverDesc& d = m_Desc;
    const SCropSensorDesc& c = *d.pCropSensor;
    const SCropModeTiming& t = CropKind();
    const SReadout r = Readout();
    // The link's caps change only the percentage used, never the one stored.
    int q = iPercent;
    if (!this->m_bDDREnable) {
        const long long pixels =
            static_cast<long long>(this->m_iBin) * this->m_iBin * this->m_iWidth * this->m_iHeight;
        const bool sensorBin = SensorBinFactor(d, this->m_iBin) > 0;
        if (this->m_bUSB3Host && pixels > c.llCapPixels) {
            const int cap = sensorBin ? c.iCapBin : c.iCapFull;
            if (q > cap) q = cap;
        } else if (!this->m_bUSB3Host && sensorBin && q > c.iCapBinUSB2) {
            q = c.iCapBinUSB2;
        }
    }
    const int minHMAX = t.iMinHMAXUsed > 0 ? t.iMinHMAXUsed : g_iMinHMAX;
    const int clock = this->m_iFclk;
    long long hmax;
    double pacing = 100.0;
    if (this->m_bDDREnable) {
        hmax = minHMAX;
        pacing = HostConstant() * static_cast<double>(q) / kHostFull;
    } else {
        const double fps = 100.0 * g_iUSBBandwidth * 10 / (1 + (r.b16 ? 1 : 0)) / r.iRows / r.iCols;
        const double lineFactor = d.bandwidth.dLineTimeFactor > 0.0 ? d.bandwidth.dLineTimeFactor : 1.0;
        const long long h = Count(lineFactor * clock * (1000000.0 / fps / (r.iRows + t.iExtraRows)) / 1000.0);
        hmax = 100 * (h > minHMAX ? h : minHMAX) / q;
        if (hmax > 65535) hmax = 65535;
    }
    this->m_usHMAX = static_cast<uint16_t>(hmax);
    const long long lineLength =
        std::min<long long>(Count(hmax * c.dLineLengthFactor) + c.iLineLengthOffset, c.iLineLengthMax);
    plan.BeginFrame()
        .SensorLE(c.usRegLineLengthA, static_cast<uint32_t>(lineLength), 2)
        .SensorLE(c.usRegLineLengthB, static_cast<uint32_t>(lineLength), 2)
        .EndFrame();
    m_pTiming->AddLineLength(plan, static_cast<uint16_t>(hmax));
    if (d.bandwidth.bFPGABandWidth) m_pTiming->AddPacing(plan, static_cast<float>(pacing));
    const double lineUs = static_cast<double>(hmax) * 1000.0 / clock / (t.bBinning ? 2 : 1);
    const double sensorFps = 1000000.0 / (lineUs * (r.iRows + t.iExtraRows));
    this->DbgPrint2("SetFPSPerc", "Sensor clk:%d fps:%2.2f size:%2.2f value:%d pkg:%d, SensorPkg:%d \n", clock,
                    sensorFps, sensorFps * r.iFrameBytes / 1000000.0, q, static_cast<int>(hmax),
                    static_cast<int>(lineLength));
    if (this->m_bDDREnable)
        this->DbgPrint2("SetFPSPerc", "FPGA output size:%2.2f, fps:%2.2f , fPercent:%2.2f \n",
                        pacing * 4000.0 / 1000.0, sensorFps, pacing);
}

template <class TBase>
void CEngineDriver<TBase>::CropFrameTime() {
    const SReadout r = Readout();
    const double frame = m_Desc.pCropSensor->dExposureOffsetUs + (r.iRows + CropKind().iExtraRows) * CropLineUs();
    this->m_iFrameTimeUs = static_cast<uint32_t>(ClampLL(Count(frame), 0, UINT32_MAX));
    if (!this->m_bDDREnable) {
        this->m_iXferTimeUs = 0;
        return;
    }
    const double rate = static_cast<double>(HostConstant()) * this->m_iFPSPerc * 10 / 1000000.0;
    const double bytes = static_cast<double>(r.iCols) * r.iRows * (r.b16 ? 2 : 1);
    this->m_iXferTimeUs = rate > 0.0 ? static_cast<uint32_t>(ClampLL(Count(bytes / rate), 0, UINT32_MAX)) : 0;
}

template <class TBase>
void CEngineDriver<TBase>::CropMaxFPS() {
    if (this->m_lExpTimeUs >= kMaxFPSBelowUs) return;
    const SCropSensorDesc& c = *m_Desc.pCropSensor;
    const SReadout r = Readout();
    const SCropModeTiming& t = CropKind();
    const long long sh = std::min<long long>(Count(this->m_usHMAX * c.dLineLengthFactor), c.iLineLengthMax);
    const long long lines = (static_cast<long long>(r.iRows) + t.iRateRows) / t.iRateDiv;
    const double s = sh > 0 && lines > 0 ? c.dRateClock / (static_cast<double>(sh) * lines) : 0.0;
    const int bpp = r.b16 ? 2 : 1;
    const double data = static_cast<double>(r.iCols) * r.iRows * bpp * s / 1000000.0;
    if (!this->m_bDDREnable) {
        const uint32_t frameUs = this->m_iFrameTimeUs;
        this->m_fMaxFPS = static_cast<float>(t.bBinning ? s : (frameUs ? 1000000.0 / frameUs : 0.0));
        this->m_fMaxDataRate = static_cast<float>(data);
    } else {
        const double rate = static_cast<double>(HostConstant()) * this->m_iFPSPerc * 10 / 1000000.0;
        const double u = rate * 1000000.0 / bpp / r.iRows / r.iCols;
        this->m_fMaxFPS = static_cast<float>(s < u ? s : u);
        this->m_fMaxDataRate = static_cast<float>(data < rate ? data : rate);
    }
    this->DbgPrint2("CalcMaxFPS", "calc fps-clk:%d data:%2.1f fps:%2.1f pkg:%d \n", this->m_iFclk,
                    static_cast<double>(this->m_fMaxDataRate), static_cast<double>(this->m_fMaxFPS),
                    static_cast<int>(this->m_usHMAX));
}

#define KYR_CROP_LAW_MEMBERS(BASE)                                                                   \
    template const SCropModeTiming& CEngineDriver<BASE>::CropKind() const;                           \
    template double CEngineDriver<BASE>::CropLineUs() const;                                         \
    template int CEngineDriver<BASE>::CropGain(int, CRegPlan&);                                      \
    template void CEngineDriver<BASE>::CropExposure(unsigned long long, CRegPlan&, SExposureStep*); \
    template void CEngineDriver<BASE>::CropLine(int, CRegPlan&);                                     \
    template void CEngineDriver<BASE>::CropFrameTime();                                              \
    template void CEngineDriver<BASE>::CropMaxFPS();

KYR_CROP_LAW_MEMBERS(CCameraBase)
KYR_CROP_LAW_MEMBERS(CCameraCool)

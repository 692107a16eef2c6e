// Exposure, gain, offset, white balance and bandwidth of the driver engine,
// and the timing figures they keep up to date.
//
// The FPGA is the timing master: it makes lines of m_usHMAX clocks and
// frames of VMAX lines, and the sensor's shutter line places the exposure in
// the frame. Exposures from the descriptor's long-exposure threshold on are
// timed by the FPGA's wait and trigger modes.
//
// Every setter computes from fields it reads under the control lock and runs
// its register changes as one plan under that lock, so two setters never
// interleave their registers or their field updates. Each returns false when
// any write of its plan failed; the plan still closes its hold. A setter
// stores its value (and its auto flag, and the state its plan switches) only
// when the plan ran whole: after a failure the camera keeps the value that is
// known to be in force, and a retry writes everything again.
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/laws/Count.h"
#include "platform/Log.h"

// ---- Timing helpers ---------------------------------------------------------------------------

template <class TBase>
double CEngineDriver<TBase>::LineClocks() const {
    // A sensor that counts half lines makes each line of two HMAX.
    return static_cast<double>(this->m_usHMAX) * LineHMAX();
}

template <class TBase>
double CEngineDriver<TBase>::LineTimeUs() const {
    const int clock = this->m_iFclk;
    return clock > 0 ? LineClocks() * 1000.0 / clock : 0.0;
}

template <class TBase>
int CEngineDriver<TBase>::FrameExtraLines() const {
    const int lines = m_Desc.bandwidth.iFrameExtraLines;
    return lines >= 0 ? lines : g_iExtraLines;
}

template <class TBase>
int CEngineDriver<TBase>::BandwidthExtraLines() const {
    const int lines = m_Desc.bandwidth.iBandwidthExtraLines;
    return lines >= 0 ? lines : g_iExtraLines;
}

template <class TBase>
int CEngineDriver<TBase>::HostConstant() const {
    return this->m_bUSB3Host ? m_Desc.bandwidth.iHostUSB3 : m_Desc.bandwidth.iHostUSB2;
}

template <class TBase>
bool CEngineDriver<TBase>::ExposureAccepted(unsigned long long) {
    return true;
}

template <class TBase>
double CEngineDriver<TBase>::SensorExposureUs(unsigned long long ullExposureUs, bool bLongMode,
                                              uint32_t uFrameUs) {
    const SExposureRule& rule = m_Desc.exposure;
    if (!bLongMode || rule.eLongProgram == LONG_EXP_EXPOSURE) return static_cast<double>(ullExposureUs);
    return static_cast<double>(uFrameUs) + rule.uLongPadUs;
}

// ---- Exposure -----------------------------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::SetExp(unsigned long long ullExposureUs, bool bAuto) {
    CCritSecLock lock(this->m_csControl);
    if (!ExposureAccepted(ullExposureUs)) return false;
    const long long lo = this->m_iExpMin > 0 ? this->m_iExpMin : 0;
    const long long hi = this->m_iExpMax > 0 ? this->m_iExpMax : 0;
    const unsigned long long exp = ullExposureUs > static_cast<unsigned long long>(hi)
                                       ? hi
                                       : ClampLL(static_cast<long long>(ullExposureUs), lo, hi);
    CRegPlan plan;
    SExposureStep step;
    (this->*m_Laws.fnExposure)(exp, plan, &step);
    if (!RunPlan(plan)) return false;
    this->m_bAutoExp = bAuto;
    this->m_lExpTimeUs = exp;
    this->m_bLongExpMode = step.bLong;
    this->m_iExpLines = step.iExpLines;
    m_uProgFrameUs = step.uProgFrameUs;
    CalcMaxFPS();
    return true;
}

template <class TBase>
uint64_t CEngineDriver<TBase>::LongFromUs() const {
    const SExposureRule& rule = m_Desc.exposure;
    if (!this->m_bUSB3Host && rule.ullLongFromUsUSB2) return rule.ullLongFromUsUSB2;
    return rule.ullLongFromUs;
}

template <class TBase>
void CEngineDriver<TBase>::AddLongModeExit(CRegPlan& plan) {
    CTimingMaster& timing = *m_pTiming;
    if (!m_Desc.exposure.bLongExitToCameraMode) {
        timing.AddLongMode(plan, false);
        return;
    }
    const bool wait = !this->m_bUSB3Host;
    // A trigger camera mode keeps the FPGA's trigger mode: without it the
    // camera would run free and send frames nobody triggered.
    const bool trigger = this->m_iCameraMode != CAM_MODE_NORMAL;
    plan.Call([&timing, wait] { return timing.WaitMode(wait); }).Call([&timing, trigger] {
        return timing.TriggerMode(trigger);
    });
}

template <class TBase>
void CEngineDriver<TBase>::RegisterExposure(unsigned long long exp, CRegPlan& plan, SExposureStep* pStep) {
    const SExposureRule& rule = m_Desc.exposure;
    const SReadout r = Readout();
    const SFpgaTimedRules& family = m_Desc.fpgaTimed;
    CTimingMaster& timing = *m_pTiming;
    // Long-exposure mode as this exposure leaves it; stored with the exposure.
    bool bLong = this->m_bLongExpMode;
    const uint64_t longFrom = LongFromUs();
    if (exp >= longFrom && !bLong) {
        // Models whose capture loop arms each long pass leave the FPGA to it.
        if (!rule.bLongModeArmedByCapture) timing.AddLongMode(plan, true);
        bLong = true;
        AddLongExpActions(plan, rule.longModeOn);
        this->DbgPrint2("SetExp", "%s", rule.szEnterLongLog);
    } else if (exp < longFrom && bLong) {
        AddLongExpActions(plan, rule.longModeOff);
        this->DbgPrint2("SetExp", "%s", rule.szExitLongLog);
        AddLongModeExit(plan);
        bLong = false;
    }
    // A fixed frame's time follows the line length alone.
    if (m_Desc.bandwidth.iFixedFrameLines > 0) CalcFrameTime();

    const double lineUs = LineTimeUs();
    const uint32_t frameUs = this->m_iFrameTimeUs;
    SExposureInput in;
    in.dExposureUs = SensorExposureUs(exp, bLong, frameUs);
    in.dLineUs = lineUs;
    in.iRows = r.iRows;
    in.iExtraLines = g_iExtraLines;
    in.bSensorBin = r.iSensorFactor > 1;
    in.uFrameUs = frameUs;
    in.iClockKHz = this->m_iFclk;
    in.iHMAX = this->m_usHMAX;
    in.iOffsetClocks = m_pMode ? m_pMode->iShutterOffsetClocks : 0;
    // A window the FPGA places has a fixed frame length (0 elsewhere).
    in.iFixedVMAX = CalcWindow().iVMAX;
    in.bSnap = this->m_bSnapMode;
    // The rule as the mode in force and the high-speed flag make it.
    SExposureRule eff = rule;
    if (this->m_bHighSpeed && rule.dOffsetUsHighSpeed > 0) eff.dOffsetUs = rule.dOffsetUsHighSpeed;
    if (rule.iHardwareBinMinSHR > 0 && this->m_bHardwareBin && HardwareBinMode(m_Desc, this->m_iBin))
        eff.iMinSHR = rule.iHardwareBinMinSHR;
    SExposureRegs regs = rule.fnCompute(eff, in);
    // Frame length and shutter line in the lines the sensor counts.
    regs.uVMAX *= LineHMAX();
    regs.uSHR *= LineHMAX();
    const int expLines = static_cast<int>(static_cast<long long>(regs.uVMAX) - rule.iExpLinesGap - regs.uSHR);
    // VMAX counts lines of one HMAX each (half lines where the sensor counts them).
    const int clockKHz = this->m_iFclk;
    const uint32_t progFrameUs = static_cast<uint32_t>(
        clockKHz > 0
            ? TruncCount(static_cast<double>(regs.uVMAX) * this->m_usHMAX * 1000.0 / clockKHz, UINT32_MAX)
            : 0);
    const unsigned int vmax = regs.uVMAX;

    if (family.bOn) {
        this->DbgPrint2("SetExp", "VMAX:0x%x SSH1:0X%x pkg:%d \n", regs.uVMAX, regs.uSHR,
                        static_cast<int>(this->m_usHMAX));
        this->DbgPrint2("SetExp", "1h:%2.2fus 1f:%d mode:%d timeus:%d\n", lineUs, static_cast<int>(frameUs),
                        bLong ? 1 : 0, static_cast<int>(exp));
    } else {
        this->DbgPrint2("SetExp", "VMAX:0x%x SSH1:0X%x %2.2fus 1f:%d mode:%d timeus:%d\n", regs.uVMAX,
                        regs.uSHR, lineUs, static_cast<int>(frameUs), bLong ? 1 : 0, static_cast<int>(exp));
    }
    // Inside the hold the frame length changes with the shutter, at its
    // release (always so in the FPGA-timed family, whose frame length is the
    // FPGA's alone).
    const bool vmaxInHold = rule.bFPGAVMAXInHold;
    if (!vmaxInHold) timing.AddFrameLength(plan, vmax);
    plan.BeginFrame();
    if (vmaxInHold) timing.AddFrameLength(plan, vmax);
    if (rule.usRegSensorVMAX)
        plan.SensorLE(rule.usRegSensorVMAX, regs.uVMAX, rule.iSensorVMAXBytes);
    if (rule.pLongExpRegs)
        AddLongExpRegs(&plan, *rule.pLongExpRegs, exp, frameUs,
                       static_cast<long long>(this->m_iBin) * this->m_iHeight);
    const uint32_t shutter = rule.fnShutterValue ? rule.fnShutterValue(regs.uSHR, r.iSensorFactor) : regs.uSHR;
    plan.SensorLE(rule.usRegSHR, shutter, rule.iSHRBytes).EndFrame();
    if (!family.bOn) this->DbgPrint2("SetExp", "SSH1:0X%x \n", regs.uSHR);
    *pStep = SExposureStep{bLong, expLines, progFrameUs};
}

// ---- Gain, offset, white balance ------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::SetGain(int iGain, bool bAuto) {
    CCritSecLock lock(this->m_csControl);
    CRegPlan plan;
    const int gain = (this->*m_Laws.fnGain)(iGain, plan);
    if (!RunPlan(plan)) return false;
    this->m_iGain = gain;
    this->m_bAutoGain = bAuto;
    return true;
}

template <class TBase>
int CEngineDriver<TBase>::RegisterGain(int iGain, CRegPlan& plan) {
    const SGainRule& rule = m_Desc.gain;
    const int lo = this->m_iGainMin, hi = this->m_iGainMax;
    auto map = [&rule, lo, hi](int gain) {
        if (rule.iPowerLawScale <= 0) return rule.fnMap(gain);
        const int g = static_cast<int>(ClampLL(gain, lo, hi));
        // From the switch on, the analog part is what the high conversion gain leaves.
        const bool high = rule.iConvGainFrom > 0 && g >= rule.iConvGainFrom;
        const int analog = high ? g - rule.iConvGainFrom : g;
        return SGainCode{g, static_cast<uint16_t>(PowerLawGainCode(analog, rule.iPowerLawScale)), high};
    };
    const SGainCode code = map(iGain);
    // Above the analog range whole digital steps take the rest.
    int digital = 0;
    uint16_t usCode = code.usCode;
    if (rule.iDigitalStep > 0 && code.iGain > rule.iDigitalFrom) {
        digital = (code.iGain - rule.iDigitalFrom + rule.iDigitalStep - 1) / rule.iDigitalStep;
        usCode = map(code.iGain - rule.iDigitalStep * digital).usCode;
    }
    if (rule.usFPGARegBefore) m_pTiming->AddLatched(plan, rule.usFPGARegBefore, rule.ucFPGAValueBefore);
    auto addSwitch = [&plan, &rule, &code] {
        if (rule.usRegConvGain && (rule.ucConvGainOnBits || rule.ucConvGainOffMask)) {
            // The register's other bits hold other settings: only the switch's
            // bits change, and a register that cannot be read is not written.
            if (code.bHighConvGain)
                plan.SensorBits(rule.usRegConvGain, rule.ucConvGainOnBits, rule.ucConvGainOnBits);
            else
                plan.SensorBits(rule.usRegConvGain, rule.ucConvGainOffMask, 0);
        } else if (rule.usRegConvGain) {
            plan.Sensor(rule.usRegConvGain, code.bHighConvGain ? 1 : 0);
        }
    };
    // A power law with a switch of its own sets the codes first.
    const bool switchAfterCodes = rule.iPowerLawScale > 0 && rule.iConvGainFrom > 0;
    plan.BeginFrame();
    // The band of the gain stored: its rows go before the codes.
    const SGainBand* band = nullptr;
    for (int i = 0; i < rule.iBands; ++i)
        if (code.iGain >= rule.pBands[i].iFrom) band = &rule.pBands[i];
    if (band) plan.Table(band->rows);
    if (!switchAfterCodes) addSwitch();
    plan.SensorLE(rule.usRegCode, usCode, rule.iCodeBytes);
    if (rule.usRegCodeCopy) plan.SensorLE(rule.usRegCodeCopy, usCode, rule.iCodeBytes);
    if (switchAfterCodes) addSwitch();
    if (rule.fnModeWrites && m_pMode) rule.fnModeWrites(plan, usCode, *m_pMode);
    const int digitalScale = rule.iDigitalScale > 0 ? rule.iDigitalScale : 1;
    if (rule.iDigitalStep > 0) plan.Sensor(rule.usRegDigital, static_cast<uint8_t>(digital * digitalScale));
    plan.EndFrame();
    return code.iGain;
}

template <class TBase>
bool CEngineDriver<TBase>::SetBrightness(int iOffset) {
    CCritSecLock lock(this->m_csControl);
    const SOffsetRule& rule = m_Desc.offset;
    const int offset = static_cast<int>(ClampLL(iOffset, this->m_iOffsetMin, this->m_iOffsetMax));
    uint32_t value = static_cast<uint32_t>(offset) * static_cast<uint32_t>(rule.iScale > 0 ? rule.iScale : 1);
    // A binning sensor sums the black level of its pixels: its register takes a scaled value.
    if (rule.iBinnedDiv > 0 && IsSensorBinned(this->m_iBin))
        value = static_cast<uint32_t>(offset) * static_cast<uint32_t>(rule.iBinnedMul) /
                static_cast<uint32_t>(rule.iBinnedDiv);
    if (rule.ucLowMask) value &= ~static_cast<uint32_t>(static_cast<uint8_t>(~rule.ucLowMask));
    CRegPlan plan;
    if (!rule.bUnheld) plan.BeginFrame();
    if (rule.eOrder == BYTES_ONE_REGISTER)
        for (int i = rule.iBytes - 1; i >= 0; --i)
            plan.Sensor(rule.usReg, static_cast<uint8_t>(value >> (8 * i)));
    else if (rule.eOrder == BYTES_HIGH_FIRST)
        plan.SensorBE(rule.usReg, value, rule.iBytes);
    else
        plan.SensorLE(rule.usReg, value, rule.iBytes);
    if (rule.usRegCopy) plan.SensorLE(rule.usRegCopy, value, rule.iBytes);
    if (!rule.bUnheld) plan.EndFrame();
    if (!RunPlan(plan)) return false;
    this->m_iBrightness = offset;
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::SetRGBBalance(int iRed, int iBlue, bool bAuto) {
    if (!m_Desc.model.bColor) return true;  // a mono sensor has no colour gains
    CCritSecLock lock(this->m_csControl);
    const int red = static_cast<int>(ClampLL(iRed, this->m_iWBMin, this->m_iWBMax));
    const int blue = static_cast<int>(ClampLL(iBlue, this->m_iWBMin, this->m_iWBMax));
    auto store = [this, red, blue, bAuto] {
        this->m_bAutoWB = bAuto;
        this->m_iWBRed = red;
        this->m_iWBBlue = blue;
        return true;
    };
    // Before opening only the values are kept; initialisation programs them.
    if (!this->m_bOpened) return store();
    const int redGain = red * 256 / 100;
    const int blueGain = blue * 256 / 100;
    CRegPlan plan;
    m_pTiming->AddColourGains(plan, redGain, blueGain);
    return RunPlan(plan) && store();
}

// ---- Bandwidth and frame timing -------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::SetFPSPerc(int iPercent, bool bAuto) {
    CCritSecLock lock(this->m_csControl);
    const SBandwidthRule& rule = m_Desc.bandwidth;
    if (this->m_iFclk < m_Desc.iMinClockKHz) return false;
    int percent = static_cast<int>(ClampLL(iPercent, this->m_iBandWidthMin, this->m_iBandWidthMax));
    if (rule.fnNoDDRCap && !this->m_bDDREnable) {
        // What the link carries without the DDR buffer in between.
        const int cap = rule.fnNoDDRCap(this->m_bUSB3Host, this->m_bOutput16Bits, this->m_bHighSpeed);
        if (percent > cap) percent = cap;
    }
    // The plan and the exposure below time from the new values in the
    // object; they are put back when the change fails.
    const SLineTiming before = SaveLineTiming();
    if (!bAuto) {
        this->m_iFPSPerc = percent;
        this->m_bAutoFPS = false;
    } else if (this->m_bAutoFPS) {
        this->m_iFPSPerc = percent;
    } else {
        this->m_bAutoFPS = true;
        percent = this->m_bUSB3Host ? rule.iAutoPercUSB3 : rule.iAutoPercUSB2;
        this->m_iFPSPerc = percent;
    }
    if (percent < 1) percent = 1;
    CRegPlan plan;
    (this->*m_Laws.fnLine)(percent, plan);
    bool ok = RunPlan(plan);
    CalcFrameTime();
    ok = this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp) && ok;
    if (!ok) RestoreLineTiming(before);
    CalcMaxFPS();
    return ok;
}

template <class TBase>
void CEngineDriver<TBase>::RegisterLine(int percent, CRegPlan& plan) {
    const SBandwidthRule& rule = m_Desc.bandwidth;
    const SReadout r = Readout();
    const int bpp = r.b16 ? 2 : 1;
    const int clock = this->m_iFclk;
    long long lineRows = static_cast<long long>(r.iRows) + BandwidthExtraLines();
    if (r.iSensorFactor > 1 && !rule.bSensorBinKeepsRows) lineRows *= 2;
    lineRows *= LineHMAX();
    long long hmax;
    double pacing = 100.0;
    if (this->m_bDDREnable) {
        // The sensor runs at full speed into the DDR; the FPGA paces the output.
        hmax = g_iMinHMAX;
        pacing = static_cast<double>(HostConstant()) * percent / kHostFull;
    } else {
        // The sensor must not outrun the USB link.
        const double fps = static_cast<double>(g_iUSBBandwidth) * 100 * 10 / bpp / r.iRows / r.iCols;
        int used = percent;
        if (rule.iCap16Perc > 0 && this->m_bUSB3Host && r.b16 && percent > rule.iCap16Perc) {
            const long long pixels = static_cast<long long>(this->m_iWidth) * this->m_iHeight;
            const bool large =
                this->m_bHardwareBin
                    ? pixels > rule.llCapPixelsHardwareBin
                    : static_cast<long long>(this->m_iBin) * this->m_iBin * pixels > rule.llCapPixels;
            if (large) used = rule.iCap16Perc;
        }
        const double factor = rule.dLineTimeFactor > 0.0 ? rule.dLineTimeFactor : 1.0;
        const double lineUs = 1000000.0 / fps / static_cast<double>(lineRows) * factor;
        const LinkLineLaw law = rule.fnLinkLine ? rule.fnLinkLine : TruncatedLinkLine;
        hmax = law(static_cast<double>(clock) * lineUs / 1000.0, g_iMinHMAX, used, rule.iHMAXMax);
    }
    if (hmax > rule.iHMAXMax) hmax = rule.iHMAXMax;
    this->m_usHMAX = static_cast<uint16_t>(hmax);

    if (rule.dSensorHMAXFactor > 0.0) {
        const uint32_t sensorHMAX =
            static_cast<uint32_t>(TruncCount(static_cast<double>(hmax) * rule.dSensorHMAXFactor, 0xFFFF));
        this->DbgPrint2("SetFPSPerc", "Sensor HMAX:0X%x \n", sensorHMAX);
        plan.BeginFrame().SensorLE(rule.usRegSensorHMAX, sensorHMAX, 2).EndFrame();
    }
    m_pTiming->AddLineLength(plan, static_cast<uint16_t>(hmax));
    if (rule.bFPGABandWidth) m_pTiming->AddPacing(plan, static_cast<float>(pacing));

    const double sensorFps = clock * 1000.0 / (static_cast<double>(hmax) * static_cast<double>(lineRows));
    this->DbgPrint2("SetFPSPerc", "Sensor clk:%d fps:%2.2f size:%2.2f value:%d pkg:%d \n", clock, sensorFps,
                    sensorFps * r.iFrameBytes / 1000000.0, percent, static_cast<int>(hmax));
    if (this->m_bDDREnable) {
        const double outRate = static_cast<double>(HostConstant()) * percent * 10 / 1000000.0;
        this->DbgPrint2("SetFPSPerc", "FPGA output size:%2.2f, fps:%2.2f , fPercent:%2.2f \n", outRate,
                        r.iFrameBytes > 0 ? outRate * 1000000.0 / r.iFrameBytes : 0.0, pacing);
    }
}

template <class TBase>
typename CEngineDriver<TBase>::SLineTiming CEngineDriver<TBase>::SaveLineTiming() const {
    return SLineTiming{this->m_iFPSPerc,    this->m_bAutoFPS, this->m_usHMAX,   this->m_iFrameTimeUs,
                       this->m_iXferTimeUs, m_uProgFrameUs,   this->m_iExpLines};
}

template <class TBase>
void CEngineDriver<TBase>::RestoreLineTiming(const SLineTiming& t) {
    this->m_iFPSPerc = t.iPercent;
    this->m_bAutoFPS = t.bAuto;
    this->m_usHMAX = t.usHMAX;
    this->m_iFrameTimeUs = t.uFrameUs;
    this->m_iXferTimeUs = t.uXferUs;
    m_uProgFrameUs = t.uProgFrameUs;
    this->m_iExpLines = t.iExpLines;
}

template <class TBase>
void CEngineDriver<TBase>::CalcFrameTime() {
    CCritSecLock lock(this->m_csControl);
    (this->*m_Laws.fnFrameTime)();
}

template <class TBase>
void CEngineDriver<TBase>::CalcMaxFPS() {
    CCritSecLock lock(this->m_csControl);
    (this->*m_Laws.fnMaxFPS)();
}

template <class TBase>
void CEngineDriver<TBase>::RegisterFrameTime() {
    const SReadout r = Readout();
    const int fixedLines = m_Desc.bandwidth.iFixedFrameLines;
    const double rows = fixedLines > 0 ? fixedLines : static_cast<double>(r.iRows) + FrameExtraLines();
    this->m_iFrameTimeUs = static_cast<uint32_t>(TruncCount(rows * LineTimeUs(), UINT32_MAX));
    if (!this->m_bDDREnable) {
        this->m_iXferTimeUs = 0;
        return;
    }
    const double rate = static_cast<double>(HostConstant()) * this->m_iFPSPerc * 10 / 1000 / 1000;
    this->m_iXferTimeUs =
        rate > 0.0 ? static_cast<uint32_t>(TruncCount(r.iFrameBytes / rate, UINT32_MAX)) : 0;
}

template <class TBase>
void CEngineDriver<TBase>::RegisterMaxFPS() {
    if (this->m_lExpTimeUs >= kMaxFPSBelowUs) return;
    const SReadout r = Readout();
    const double frameBytes = r.iFrameBytes;
    const int bpp = r.b16 ? 2 : 1;
    if (!this->m_bDDREnable) {
        const uint32_t frameUs = this->m_iFrameTimeUs;
        if (frameUs == 0) return;
        this->m_fMaxFPS = static_cast<float>(1000000.0 / frameUs);
        this->m_fMaxDataRate = static_cast<float>(this->m_fMaxFPS * frameBytes / 1000000.0);
    } else {
        const double usbRate = static_cast<double>(HostConstant()) * this->m_iFPSPerc * 10 / 1000000.0;
        const double lines = LineClocks() * (static_cast<double>(r.iRows) + FrameExtraLines());
        const double sensorFps = lines > 0.0 ? this->m_iFclk * 1000.0 / lines : 0.0;
        const double usbFps = usbRate * 1000000.0 / bpp / r.iRows / r.iCols;
        this->m_fMaxFPS = static_cast<float>(sensorFps < usbFps ? sensorFps : usbFps);
        const double sensorRate = sensorFps * frameBytes / 1000000.0;
        this->m_fMaxDataRate = static_cast<float>(sensorRate < usbRate ? sensorRate : usbRate);
    }
    this->DbgPrint2("CalcMaxFPS", "calc fps: clk:%d data:%2.1f fps:%2.1f pkg:%d \n", this->m_iFclk,
                    static_cast<double>(this->m_fMaxDataRate), static_cast<double>(this->m_fMaxFPS),
                    static_cast<int>(this->m_usHMAX));
}

template <class TBase>
typename CEngineDriver<TBase>::SLawSet CEngineDriver<TBase>::LawSet(SENSOR_LAWS eLaws) {
    if (eLaws == LAWS_CROP)
        return {&CEngineDriver::CropGain, &CEngineDriver::CropExposure, &CEngineDriver::CropLine,
                &CEngineDriver::CropFrameTime, &CEngineDriver::CropMaxFPS};
    return {&CEngineDriver::RegisterGain, &CEngineDriver::RegisterExposure, &CEngineDriver::RegisterLine,
            &CEngineDriver::RegisterFrameTime, &CEngineDriver::RegisterMaxFPS};
}

// The members of this file, for both bases.
#define KYR_ENGINE_TIMING_MEMBERS(BASE)                                                        \
    template bool CEngineDriver<BASE>::SetExp(unsigned long long, bool);                       \
    template bool CEngineDriver<BASE>::SetGain(int, bool);                                     \
    template bool CEngineDriver<BASE>::SetBrightness(int);                                     \
    template bool CEngineDriver<BASE>::SetRGBBalance(int, int, bool);                          \
    template bool CEngineDriver<BASE>::SetFPSPerc(int, bool);                                  \
    template uint64_t CEngineDriver<BASE>::LongFromUs() const;                                 \
    template void CEngineDriver<BASE>::AddLongModeExit(CRegPlan&);                             \
    template auto CEngineDriver<BASE>::LawSet(SENSOR_LAWS) -> SLawSet;                         \
    template auto CEngineDriver<BASE>::SaveLineTiming() const -> SLineTiming;                  \
    template void CEngineDriver<BASE>::RestoreLineTiming(const SLineTiming&);                  \
    template void CEngineDriver<BASE>::CalcFrameTime();                                        \
    template void CEngineDriver<BASE>::CalcMaxFPS();                                           \
    template int CEngineDriver<BASE>::RegisterGain(int, CRegPlan&);                            \
    template void CEngineDriver<BASE>::RegisterExposure(unsigned long long, CRegPlan&, SExposureStep*); \
    template void CEngineDriver<BASE>::RegisterLine(int, CRegPlan&);                           \
    template void CEngineDriver<BASE>::RegisterFrameTime();                                    \
    template void CEngineDriver<BASE>::RegisterMaxFPS();                                       \
    template bool CEngineDriver<BASE>::ExposureAccepted(unsigned long long);                   \
    template double CEngineDriver<BASE>::SensorExposureUs(unsigned long long, bool, uint32_t); \
    template double CEngineDriver<BASE>::LineTimeUs() const;                                   \
    template double CEngineDriver<BASE>::LineClocks() const;                                   \
    template int CEngineDriver<BASE>::FrameExtraLines() const;                                 \
    template int CEngineDriver<BASE>::BandwidthExtraLines() const;                             \
    template int CEngineDriver<BASE>::HostConstant() const;

KYR_ENGINE_TIMING_MEMBERS(CCameraBase)
KYR_ENGINE_TIMING_MEMBERS(CCameraCool)

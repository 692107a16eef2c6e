// The start and window of sensors that take their window through start
// registers with fixed offsets (SStartWindowRule): the sensor reads from the
// row and column it is given, in its own steps, and the FPGA crops the
// exact window out of what it sends.
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "platform/Log.h"

namespace {

int RoundUpTo(int v, int step) { return step > 1 ? (v + step - 1) / step * step : v; }

int WindowEnd(const SStartWindowRule& rule, long long base, int iHeight) {
    long long end = base + 2LL * iHeight + rule.iEndPad;
    if (end > rule.iEndMax) end = rule.iEndMax;
    // The sensor counts the end in row pairs.
    return static_cast<int>(end) & ~1;
}

}  // namespace

SStartWindowValues StartWindowValues(const SStartWindowRule& rule, int iStartX, int iStartY, int iHeight,
                                     bool bSensorBin) {
    SStartWindowValues v;
    if (bSensorBin || iStartX < rule.iFirstX) {
        v.iStartX = rule.iFirstX;
    } else {
        const int step = rule.iStepX > 1 ? rule.iStepX : 1;
        v.iStartX = iStartX / step * step + rule.iAddX;
    }
    if (bSensorBin || iStartY < rule.iFirstY) {
        v.iStartY = rule.iFirstY;
    } else {
        const int alignY = rule.iAlignY > 1 ? rule.iAlignY : 1;
        const int scaleY = rule.iScaleY > 1 ? rule.iScaleY : 1;
        v.iStartY = iStartY / alignY * alignY * scaleY + rule.iAddY;
    }
    const bool skip = v.iStartY - rule.iFirstY > rule.iTopSkipFrom;
    v.iTopSkip = skip ? rule.iTopSkip : 0;
    v.iTopSkipMode = skip ? rule.iTopSkipMode : 0;
    v.iEnd = WindowEnd(rule, v.iStartY, iHeight);
    return v;
}

int StartWindowSizeEnd(const SStartWindowRule& rule, int iStartY, int iHeight, bool bSensorBin) {
    int base = iStartY & ~3;
    if (bSensorBin || base < rule.iFirstY) base = rule.iFirstY;
    return WindowEnd(rule, base, iHeight);
}

template <class TBase>
bool CEngineDriver<TBase>::StartRegWindowStart(int, int) {
    CCritSecLock lock(this->m_csControl);
    const SStartWindowRule& rule = *m_Desc.pStartWindow;
    const bool bSensorBin = SensorBinFactor(m_Desc, this->m_iBin) > 0 && this->m_bHardwareBin;
    const int x = this->m_iStartX;
    const int y = this->m_iStartY;
    const SStartWindowValues v = StartWindowValues(rule, x, y, this->m_iHeight, bSensorBin);
    // With sensor binning the sensor reads from its first row and column and
    // the FPGA skips to the start.
    const uint16_t hblk = static_cast<uint16_t>(g_iHBLK + (bSensorBin ? x : 0));
    const uint16_t vblk = static_cast<uint16_t>(g_iVBLK + (bSensorBin ? y : 0));
    CRegPlan plan;
    m_pTiming->AddBlanking(plan, hblk, vblk);
    plan.BeginFrame().Table(m_Desc.startHeldRows);
    const struct {
        uint16_t reg;
        int value;
    } writes[] = {{rule.usRegStartX, v.iStartX},           {rule.usRegStartY, v.iStartY},
                  {rule.usRegStartY2, v.iStartY + 1},      {rule.usRegTopSkip, v.iTopSkip},
                  {rule.usRegTopSkipMode, v.iTopSkipMode}, {rule.usRegEnd, v.iEnd}};
    for (const auto& w : writes)
        if (w.reg) plan.SensorLE(w.reg, static_cast<uint32_t>(w.value), 2);
    plan.EndFrame();
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::StartRegWindowSize() {
    CCritSecLock lock(this->m_csControl);
    const SStartWindowRule& rule = *m_Desc.pStartWindow;
    const SReadout r = Readout();
    const bool bSensorBin = r.iSensorFactor > 1;
    const int width = RoundUpTo(r.iCols, rule.iWidthStep);
    this->DbgPrint2("Cam_SetResolution", "SetResolution: iWidth:%d, iHeight:%d\n", r.iCols, r.iRows);
    this->DbgPrint2("Cam_SetResolution", "SetResolution: iSensorWidth:%d, iSensorHeight:%d\n", width,
                    r.iRows);
    const uint32_t rows =
        static_cast<uint32_t>((r.iRows + rule.iRowsAdd) * (rule.iRowsMul > 0 ? rule.iRowsMul : 1));
    const int end = StartWindowSizeEnd(rule, this->m_iStartY, this->m_iHeight, bSensorBin);
    const unsigned int dataLen = static_cast<unsigned int>(r.iFrameBytes / 4);
    const int cols = r.iCols;
    const int readRows = r.iRows;
    CRegPlan plan;
    if (!m_Desc.bNoFPGADataLen) m_pTiming->AddDataLength(plan, dataLen);
    plan.BeginFrame().SensorLE(rule.usRegWidth, static_cast<uint32_t>(width + rule.iWidthPad), 2);
    for (uint16_t reg : rule.usRegRows)
        if (reg) plan.SensorLE(reg, rows, 2);
    if (rule.usRegEnd) plan.SensorLE(rule.usRegEnd, static_cast<uint32_t>(end), 2);
    plan.EndFrame();
    m_pTiming->AddReadoutSize(plan, readRows, cols);
    return RunPlan(plan);
}

#define KYR_ENGINE_WINDOW(TBase)                                   \
    template bool CEngineDriver<TBase>::StartRegWindowStart(int, int); \
    template bool CEngineDriver<TBase>::StartRegWindowSize();
KYR_ENGINE_WINDOW(CCameraBase)
KYR_ENGINE_WINDOW(CCameraCool)

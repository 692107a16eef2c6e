// The window programmer of sensors that crop each line from a start column
// behind a crop switch (SSwitchedCropRule). While the sensor bins (at the
// factors the rule names), the switch is off: the sensor reads whole binned
// lines and the FPGA skips the window's first columns through its HBLK,
// counted in the sensor's binned columns (the start over the sensor's
// binning factor, not over the bin: at bin 4 the sensor bins 2 x 2 and the
// software the rest).
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "platform/Log.h"

namespace {

// Whether the sensor reads whole binned lines at this factor.
bool WholeLines(const SSwitchedCropRule& rule, int iSensorFactor) {
    if (iSensorFactor <= 1) return false;
    if (rule.ucWholeLineFactors == 0) return true;
    return iSensorFactor < 8 && (rule.ucWholeLineFactors >> iSensorFactor) & 1;
}

}  // namespace

int SwitchedCropAlignX(const SSwitchedCropRule& rule, int iAlignX, int iSensorFactor, bool bColour) {
    const int align = iAlignX > 1 ? iAlignX : 1;
    if (!bColour || !WholeLines(rule, iSensorFactor)) return align;
    // The smallest multiple of the alignment that is one of 2 f.
    int out = align;
    while (out % (2 * iSensorFactor) != 0) out += align;
    return out;
}

template <class TBase>
bool CEngineDriver<TBase>::SwitchedCropWindowStart(int, int) {
    const SSwitchedCropRule& rule = *m_Desc.pSwitchedCrop;
    const SReadout r = Readout();
    const bool binned = WholeLines(rule, r.iSensorFactor);
    const int offsetY = m_pMode ? m_pMode->iStartOffsetY : 0;
    this->DbgPrint2("SetStartPos", "SetStartPos X:%d Y:%d\n", this->m_iStartX, this->m_iStartY);
    const int hblk = binned ? g_iHBLK + this->m_iStartX / r.iSensorFactor : g_iHBLK;
    CRegPlan plan;
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(hblk), static_cast<uint16_t>(g_iVBLK));
    plan.Sensor(rule.usRegCrop, binned ? 0 : 1)
        .Table(rule.windowRows)
        .SensorLE(rule.usRegStartX, static_cast<uint32_t>(this->m_iStartX / rule.iStartXUnit), 2)
        .SensorLE(m_Desc.usRegStartY, static_cast<uint32_t>(this->m_iStartY + offsetY), 2);
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::SwitchedCropWindowSize() {
    const SSwitchedCropRule& rule = *m_Desc.pSwitchedCrop;
    const SReadout r = Readout();
    const bool binned = WholeLines(rule, r.iSensorFactor);
    this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    // A single exposure's sensor sleeps while its window changes (unless the rule keeps it awake).
    const bool bStandby = this->m_bSnapMode && !rule.bSizeWithoutStandby;
    const int align = rule.iLineWidthAlign > 1 ? rule.iLineWidthAlign : 1;
    const uint32_t lineWidth = static_cast<uint32_t>(r.iCols / align * align + rule.iLineWidthPad);
    const int rowsAdd = m_pMode && m_pMode->iWindowRowsAdd >= 0 ? m_pMode->iWindowRowsAdd
                                                                 : (binned ? rule.iBinnedRowsAdd : 0);
    const uint32_t rows = static_cast<uint32_t>(r.iRows + rowsAdd);
    CRegPlan plan;
    if (bStandby) plan.BeginFrame(PLAN_FRAME_STANDBY);
    plan.Table(rule.windowRows);
    if (!m_Desc.bNoFPGADataLen) m_pTiming->AddDataLength(plan, static_cast<unsigned int>(r.iFrameBytes / 4));
    plan.Sensor(rule.usRegBinMode, binned ? rule.ucBinModeBinned : rule.ucBinModeUnbinned)
        .SensorLE(m_Desc.usRegHeight, rows, 2)
        .SensorLE(rule.usRegLineWidth, lineWidth, 2);
    if (bStandby) plan.EndFrame(PLAN_FRAME_STANDBY);
    m_pTiming->AddReadoutSize(plan, r.iRows, r.iCols);
    return RunPlan(plan);
}

template bool CEngineDriver<CCameraBase>::SwitchedCropWindowStart(int, int);
template bool CEngineDriver<CCameraBase>::SwitchedCropWindowSize();
template bool CEngineDriver<CCameraCool>::SwitchedCropWindowStart(int, int);
template bool CEngineDriver<CCameraCool>::SwitchedCropWindowSize();

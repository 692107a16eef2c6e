// The window programmer of sensors that read a given count of columns from
// a start column (SReadWidthRule). The start and the size both write the
// read width, from the one placement below, so that a size change never
// narrows the read a binned or far-right window needs.
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "platform/Log.h"

template <class TBase>
typename CEngineDriver<TBase>::SReadPlace CEngineDriver<TBase>::ReadWidthPlace() {
    const SReadWidthRule& rule = *m_Desc.pReadWidth;
    const SReadout r = Readout();
    const int x = this->m_iStartX;
    if (r.iSensorFactor > 1) {
        const int align = rule.iBinnedWidthAlign > 1 ? rule.iBinnedWidthAlign : 1;
        const int width = this->m_iMaxWidth / r.iSensorFactor / align * align;
        return {static_cast<uint32_t>(width + rule.iReadWidthPad), g_iHBLK + x / r.iSensorFactor, 0};
    }
    const int unit = x / rule.iStartXUnit;
    if (unit > rule.iStartUnitMax) {
        const int extra = x - rule.iStartXUnit * rule.iStartUnitMax;
        return {static_cast<uint32_t>(extra + r.iCols + rule.iReadWidthPad), g_iHBLK + extra,
                static_cast<uint32_t>(rule.iStartUnitMax)};
    }
    return {static_cast<uint32_t>(r.iCols + rule.iReadWidthPad), g_iHBLK, static_cast<uint32_t>(unit)};
}

template <class TBase>
bool CEngineDriver<TBase>::ReadWidthWindowStart(int, int) {
    const SReadWidthRule& rule = *m_Desc.pReadWidth;
    const int offsetY = m_pMode ? m_pMode->iStartOffsetY : 0;
    this->DbgPrint2("SetStartPos", "SetStartPos X: %d Y: %d\n", this->m_iStartX, this->m_iStartY);
    const SReadPlace place = ReadWidthPlace();
    CRegPlan plan;
    plan.SensorLE(rule.usRegReadWidth, place.uReadWidth, 2);
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(place.iHBLK & 0xFFFF), static_cast<uint16_t>(g_iVBLK));
    plan.SensorLE(rule.usRegStartX, place.uStartUnit, 2)
        .SensorLE(m_Desc.usRegStartY, static_cast<uint32_t>(this->m_iStartY + offsetY), 2);
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::ReadWidthWindowSize() {
    const SReadWidthRule& rule = *m_Desc.pReadWidth;
    const SReadout r = Readout();
    const bool binned = r.iSensorFactor > 1;
    this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    const uint32_t rows = static_cast<uint32_t>(r.iRows + (binned ? rule.iBinnedRowsAdd : rule.iUnbinnedRowsAdd));
    CRegPlan plan;
    if (!m_Desc.bNoFPGADataLen) m_pTiming->AddDataLength(plan, static_cast<unsigned int>(r.iFrameBytes / 4));
    plan.Sensor(rule.usRegBinMode, binned ? rule.ucBinModeBinned : rule.ucBinModeUnbinned)
        .SensorLE(m_Desc.usRegHeight, rows, 2)
        .SensorLE(rule.usRegReadWidth, ReadWidthPlace().uReadWidth, 2);
    m_pTiming->AddReadoutSize(plan, r.iRows, r.iCols);
    return RunPlan(plan);
}

template bool CEngineDriver<CCameraBase>::ReadWidthWindowStart(int, int);
template bool CEngineDriver<CCameraBase>::ReadWidthWindowSize();
template bool CEngineDriver<CCameraCool>::ReadWidthWindowStart(int, int);
template bool CEngineDriver<CCameraCool>::ReadWidthWindowSize();

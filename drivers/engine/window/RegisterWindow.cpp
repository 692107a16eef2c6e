// The window programmers of sensors with start and size registers, of the
// FPGA that places the window over a fixed frame, and the choice among all
// of them. Each programs the start or the size of the geometry in force
// (stored by the caller, control lock held) as one plan and returns its
// result.
#include "cooling/CameraCool.h"
#include "platform/Log.h"
#include "engine/EngineDriver.h"

namespace {

int RoundUp(int v, int step) { return step > 1 ? (v + step - 1) / step * step : v; }

}  // namespace

template <class TBase>
typename CEngineDriver<TBase>::SWindowProgrammer CEngineDriver<TBase>::WindowProgrammer(WINDOW_PROGRAMMER eKind) {
    switch (eKind) {
        case WINDOW_FIXED_BLANKING:
            return {&CEngineDriver::SensorOnlyWindowStart, &CEngineDriver::FixedBlankingWindowSize};
        case WINDOW_FPGA_TIMED:
            return {&CEngineDriver::SensorOnlyWindowStart, &CEngineDriver::FpgaTimedWindowSize};
        case WINDOW_FPGA_CROPS_COLUMNS:
            return {&CEngineDriver::FpgaCropsColumnsWindowStart, &CEngineDriver::RegisterWindowSize};
        case WINDOW_START_REGS:
            return {&CEngineDriver::StartRegWindowStart, &CEngineDriver::StartRegWindowSize};
        case WINDOW_RAW_FPGA:
            return {&CEngineDriver::RawFpgaWindowStart, &CEngineDriver::RawFpgaWindowSize};
        case WINDOW_CROP:
            return {&CEngineDriver::CropWindowStart, &CEngineDriver::CropWindowSize};
        case WINDOW_SWITCHED_CROP:
            return {&CEngineDriver::SwitchedCropWindowStart, &CEngineDriver::SwitchedCropWindowSize};
        case WINDOW_READ_WIDTH:
            return {&CEngineDriver::ReadWidthWindowStart, &CEngineDriver::ReadWidthWindowSize};
        case WINDOW_REGISTERS:
        default:
            return {&CEngineDriver::RegisterWindowStart, &CEngineDriver::RegisterWindowSize};
    }
}

// ---- Shared steps -------------------------------------------------------------------------

template <class TBase>
void CEngineDriver<TBase>::AddSensorStart(CRegPlan& plan, uint32_t uStartY) {
    const uint32_t scale = WindowScale();
    plan.Table(m_Desc.startPreRows).BeginFrame().Table(m_Desc.startHeldRows);
    if (m_Desc.usRegStartX) plan.SensorLE(m_Desc.usRegStartX, static_cast<uint32_t>(this->m_iStartX) * scale, 2);
    if (m_Desc.usRegStartY) plan.SensorLE(m_Desc.usRegStartY, uStartY * scale, 2);
    plan.EndFrame();
}

template <class TBase>
void CEngineDriver<TBase>::AddSensorSize(CRegPlan& plan, int iExtraRows, bool bHeld) {
    const SReadout r = Readout();
    uint32_t width, height;
    if (r.iSensorFactor > 1) {
        // The sensor counts its binned window in unbinned pixels.
        width = static_cast<uint32_t>(r.iCols * r.iSensorFactor) & ~1u;
        height = static_cast<uint32_t>((g_iVBLK + r.iRows) * r.iSensorFactor) & ~1u;
    } else {
        // The sensor's window steps are coarser than the FPGA's: the FPGA
        // crops the rounded window to the exact readout.
        width = static_cast<uint32_t>(RoundUp(r.iCols, m_Desc.iWidthAlign)) * WindowScale();
        height = static_cast<uint32_t>(RoundUp(r.iRows, m_Desc.iHeightAlign) + iExtraRows) * WindowScale();
    }
    if (bHeld) plan.BeginFrame();
    if (m_Desc.usRegWidth) plan.SensorLE(m_Desc.usRegWidth, width, 2);
    if (m_Desc.usRegHeight) plan.SensorLE(m_Desc.usRegHeight, height, 2);
    if (bHeld) plan.EndFrame();
}

template <class TBase>
int CEngineDriver<TBase>::WindowExtraRows() const {
    return m_Desc.iWindowExtraRows > 0 ? m_Desc.iWindowExtraRows : m_Desc.iWindowExtraRows < 0 ? 0 : g_iVBLK;
}

// ---- Start and size registers -------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::RegisterWindowStart(int, int) {
    const int offsetY = m_pMode ? m_pMode->iStartOffsetY : 0;
    CRegPlan plan;
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(g_iHBLK), static_cast<uint16_t>(g_iVBLK));
    AddSensorStart(plan, static_cast<uint32_t>(this->m_iStartY + offsetY));
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::RegisterWindowSize() {
    const SReadout r = Readout();
    CRegPlan plan;
    if (!m_Desc.bNoFPGADataLen) m_pTiming->AddDataLength(plan, static_cast<unsigned int>(r.iFrameBytes / 4));
    AddSensorSize(plan, WindowExtraRows(), true);
    m_pTiming->AddReadoutSize(plan, r.iRows, r.iCols);
    return RunPlan(plan);
}

// ---- Programmers whose blanking goes with the size ----------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::SensorOnlyWindowStart(int, int) {
    const int offsetY = m_pMode ? m_pMode->iStartOffsetY : 0;
    CRegPlan plan;
    AddSensorStart(plan, static_cast<uint32_t>(this->m_iStartY + offsetY));
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::FixedBlankingWindowSize() {
    const SReadout r = Readout();
    CRegPlan plan;
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(m_Desc.window.iHBLK),
                           static_cast<uint16_t>(m_Desc.window.iVBLK));
    if (!m_Desc.bNoFPGADataLen) m_pTiming->AddDataLength(plan, static_cast<unsigned int>(r.iFrameBytes / 4));
    AddSensorSize(plan, WindowExtraRows(), false);
    m_pTiming->AddReadoutSize(plan, r.iRows, r.iCols);
    return RunPlan(plan);
}

// ---- The FPGA-timed family ----------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::FpgaTimedWindowSize() {
    const SReadout r = Readout();
    CRegPlan plan;
    this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    AddSensorSize(plan, m_Desc.fpgaTimed.iWindowHeightExtra, true);
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(g_iHBLK), static_cast<uint16_t>(g_iVBLK));
    m_pTiming->AddReadoutSize(plan, r.iRows, r.iCols);
    return RunPlan(plan);
}

// ---- The FPGA cuts the columns ------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::FpgaCropsColumnsWindowStart(int iAskedX, int iAskedY) {
    // The FPGA skips the columns before the window.
    const int hblk = g_iHBLK + this->m_iStartX;
    this->DbgPrint2("SetStartPos", "startX:%d, Y:%d, settingStartX:%d, Y%d.\n", iAskedX, iAskedY,
                    this->m_iStartX, this->m_iStartY);
    // The sensor takes an odd start row.
    const int offsetY = m_pMode ? m_pMode->iStartOffsetY : 0;
    uint32_t startY = static_cast<uint32_t>(this->m_iStartY + offsetY);
    if (startY % 2 == 0) ++startY;
    // The exposure follows the window.
    const bool expOk = this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    // A running stream takes the new start row between frames: decided under
    // the control lock the stream's start and stop take too.
    const bool bPause = m_pTiming->OutputOn();
    CRegPlan plan;
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(hblk), static_cast<uint16_t>(g_iVBLK));
    if (bPause) m_pTiming->AddOutput(plan, false);
    AddSensorStart(plan, startY);
    if (bPause) m_pTiming->AddOutput(plan, true);
    return RunPlan(plan) && expOk;
}

// ---- The raw FPGA's start registers ---------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::RawFpgaWindowStart(int, int) {
    const SFpgaWindow w = CalcWindow();
    this->DbgPrint2("SetStartPos", "startX:%d, Y:%d, settingStartX:%d, Y%d.\n", this->m_iStartX,
                    this->m_iStartY, w.iHStart, w.iVStart);
    // The FPGA's blanking registers take the window's start; a running
    // output takes it at a frame boundary.
    CRegPlan plan;
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(w.iHStart), static_cast<uint16_t>(w.iVStart));
    m_pTiming->AddOutputPulse(plan);
    return RunPlan(plan);
}

template <class TBase>
bool CEngineDriver<TBase>::RawFpgaWindowSize() {
    const SFpgaWindow w = CalcWindow();
    this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    CRegPlan plan;
    m_pTiming->AddReadoutSize(plan, w.iRows, w.iCols);
    return RunPlan(plan);
}

#define KYR_ENGINE_REGISTER_WINDOW(TBase)                                                                  \
    template typename CEngineDriver<TBase>::SWindowProgrammer CEngineDriver<TBase>::WindowProgrammer(      \
        WINDOW_PROGRAMMER);                                                                                \
    template void CEngineDriver<TBase>::AddSensorStart(CRegPlan&, uint32_t);                               \
    template void CEngineDriver<TBase>::AddSensorSize(CRegPlan&, int, bool);                               \
    template bool CEngineDriver<TBase>::RegisterWindowStart(int, int);                                     \
    template bool CEngineDriver<TBase>::RegisterWindowSize();                                              \
    template bool CEngineDriver<TBase>::SensorOnlyWindowStart(int, int);                                   \
    template int CEngineDriver<TBase>::WindowExtraRows() const;                                            \
    template bool CEngineDriver<TBase>::FixedBlankingWindowSize();                                         \
    template bool CEngineDriver<TBase>::FpgaTimedWindowSize();                                             \
    template bool CEngineDriver<TBase>::FpgaCropsColumnsWindowStart(int, int);                             \
    template bool CEngineDriver<TBase>::RawFpgaWindowStart(int, int);                                      \
    template bool CEngineDriver<TBase>::RawFpgaWindowSize();

KYR_ENGINE_REGISTER_WINDOW(CCameraBase)
KYR_ENGINE_REGISTER_WINDOW(CCameraCool)

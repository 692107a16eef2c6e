// Raw FPGA programming of the driver engine: models whose FPGA is set up by
// single register writes instead of the core's FPGA setters. Their control
// word (register 0) lives in the model's own shadow and is changed only
// through ChangeFPGACtrl; every value that spans registers is written inside
// the FPGA's update latch, so the FPGA never runs with half of it. The window
// is placed by the FPGA's start registers over a sensor that reads out a
// fixed frame.
#include "CameraCool.h"
#include "EngineDriver.h"
#include "Log.h"

template <class TBase>
bool CEngineDriver<TBase>::ChangeFPGACtrl(uint8_t, uint8_t, bool) {
    // Only a model that keeps a shadow of register 0 can change it bit by bit.
    this->DbgPrint2("ChangeFPGACtrl", "no control word shadow in this model\n");
    return false;
}

template <class TBase>
SFpgaWindow CEngineDriver<TBase>::CalcWindow() {
    CCritSecLock lock(this->m_csControl);
    const SReadout r = Readout();
    SFpgaWindow w{};
    w.iCols = r.iCols;
    w.iRows = r.iRows;
    if (m_Desc.pRawFpga) {
        w.iHStart = this->m_iStartX + m_Desc.pRawFpga->iHStartBase;
        w.iVStart = this->m_iStartY + m_Desc.pRawFpga->iVStartBase;
        w.iVMAX = m_Desc.pRawFpga->iFixedVMAX;
    }
    return w;
}

template <class TBase>
void CEngineDriver<TBase>::AddRawStart(CRegPlan& plan) {
    const SFpgaWindow w = CalcWindow();
    this->DbgPrint2("SetStartPos", "startX:%d, Y:%d, settingStartX:%d, Y%d.\n", this->m_iStartX,
                    this->m_iStartY, w.iHStart, w.iVStart);
    // The FPGA's blanking registers take the window's start.
    m_pTiming->AddBlanking(plan, static_cast<uint16_t>(w.iHStart), static_cast<uint16_t>(w.iVStart));
    m_pTiming->AddOutputPulse(plan);
}

template <class TBase>
void CEngineDriver<TBase>::AddRawSize(CRegPlan& plan) {
    const SFpgaWindow w = CalcWindow();
    this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    m_pTiming->AddReadoutSize(plan, w.iRows, w.iCols);
}

#define KYR_ENGINE_RAW_FPGA(TBase)                                                       \
    template bool CEngineDriver<TBase>::ChangeFPGACtrl(uint8_t, uint8_t, bool);          \
    template SFpgaWindow CEngineDriver<TBase>::CalcWindow();                             \
    template void CEngineDriver<TBase>::AddRawStart(CRegPlan&);                          \
    template void CEngineDriver<TBase>::AddRawSize(CRegPlan&);
KYR_ENGINE_RAW_FPGA(CCameraBase)
KYR_ENGINE_RAW_FPGA(CCameraCool)

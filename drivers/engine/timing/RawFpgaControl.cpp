// The engine's side of raw FPGA programming: the control word that only a
// model with a shadow of register 0 can change bit by bit, and the window
// of an FPGA that places it over a fixed frame (the raw FPGA latch master,
// timing/TimingMaster.cpp, writes them).
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "platform/Log.h"

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

#define KYR_ENGINE_RAW_FPGA(TBase)                                                       \
    template bool CEngineDriver<TBase>::ChangeFPGACtrl(uint8_t, uint8_t, bool);          \
    template SFpgaWindow CEngineDriver<TBase>::CalcWindow();

KYR_ENGINE_RAW_FPGA(CCameraBase)
KYR_ENGINE_RAW_FPGA(CCameraCool)

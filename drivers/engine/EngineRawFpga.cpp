// Raw FPGA programming of the driver engine: models whose FPGA is set up by
// single register writes instead of the core's FPGA setters. Their control
// word (register 0) lives in the model's own shadow and is changed only
// through ChangeFPGACtrl; every value that spans registers is written inside
// the FPGA's update latch, so the FPGA never runs with half of it. The window
// is placed by the FPGA's start registers over a sensor that reads out a
// fixed frame.
#include "EngineDriver.h"
#include "cooling/CameraCool.h"
#include "platform/Log.h"

namespace {

// Bytes of the FPGA's start, size and frame-length registers.
constexpr int kWordBytes = 2;

}  // namespace

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
std::function<bool()> CEngineDriver<TBase>::FPGAOutputStep(bool bStop) {
    return [this, bStop] {
        CCritSecLock lock(this->m_csControl);
        m_bOutputOn = !bStop;
        if (m_Desc.pRawFpga) return ChangeFPGACtrl(bStop ? 0 : FPGA_CTRL_STOP, bStop ? FPGA_CTRL_STOP : 0);
        return bStop ? this->FPGAStop() : this->FPGAStart();
    };
}

template <class TBase>
void CEngineDriver<TBase>::AddRawInit(CRegPlan& plan) {
    const SRawFpgaRule& raw = *m_Desc.pRawFpga;
    // A reset pulse (run bit clear), then the control word the model starts
    // from; the run bit is taken into the shadow without a write of its own.
    plan.Call([this] { return ChangeFPGACtrl(0xFF, 0); })
        .Pause(raw.uResetPulseMs)
        .Call([this, &raw] {
            CCritSecLock lock(this->m_csControl);
            m_bOutputOn = (raw.ucCtrlAfterReset & FPGA_CTRL_STOP) == 0;
            return ChangeFPGACtrl(0xFF, raw.ucCtrlAfterReset);
        })
        .Call([this] { return ChangeFPGACtrl(0, FPGA_CTRL_RUN, false); })
        .Fpga(FPGA_REG_DATA_FMT, raw.ucInitDataFmt)
        .BeginFrame(PLAN_FRAME_UPDATE)
        .Fpga(FPGA_REG_GAIN_R, 128)
        .Fpga(FPGA_REG_GAIN_G1, 128)
        .Fpga(FPGA_REG_GAIN_G2, 128)
        .Fpga(FPGA_REG_GAIN_B, 128)
        .EndFrame(PLAN_FRAME_UPDATE)
        .Call([this] { return this->SendCMD(VR_CMD_AF); });
}

template <class TBase>
void CEngineDriver<TBase>::AddRawModeSwitch(CRegPlan& plan, const SSensorMode& mode) {
    // The mode's rows and the sensor lanes cleared in the control word, applied together.
    plan.BeginFrame(PLAN_FRAME_UPDATE)
        .Table(mode.regs)
        .Call([this] { return ChangeFPGACtrl(FPGA_CTRL_LVDS, 0); })
        .EndFrame(PLAN_FRAME_UPDATE);
}

template <class TBase>
void CEngineDriver<TBase>::AddRawStart(CRegPlan& plan) {
    const SFpgaWindow w = CalcWindow();
    this->DbgPrint2("SetStartPos", "startX:%d, Y:%d, settingStartX:%d, Y%d.\n", this->m_iStartX,
                    this->m_iStartY, w.iHStart, w.iVStart);
    plan.BeginFrame(PLAN_FRAME_UPDATE)
        .FpgaLE(FPGA_REG_HBLK, static_cast<uint32_t>(w.iHStart), kWordBytes)
        .FpgaLE(FPGA_REG_VBLK, static_cast<uint32_t>(w.iVStart), kWordBytes)
        .EndFrame(PLAN_FRAME_UPDATE);
    plan.Call([this] { return PulseRawOutput(); });
}

template <class TBase>
bool CEngineDriver<TBase>::PulseRawOutput() {
    // Decided when the step runs, under the lock the stream's stop takes too:
    // a capture thread that has already stopped the output keeps it stopped.
    CCritSecLock lock(this->m_csControl);
    if (!m_bOutputOn) return true;
    return ChangeFPGACtrl(0, FPGA_CTRL_STOP) && ChangeFPGACtrl(FPGA_CTRL_STOP, 0);
}

template <class TBase>
void CEngineDriver<TBase>::AddRawSize(CRegPlan& plan) {
    const SFpgaWindow w = CalcWindow();
    this->DbgPrint2("Cam_SetResolution", "SetResolution!\n");
    plan.BeginFrame(PLAN_FRAME_UPDATE)
        .FpgaLE(FPGA_REG_HEIGHT, static_cast<uint32_t>(w.iRows), kWordBytes)
        .FpgaLE(FPGA_REG_WIDTH, static_cast<uint32_t>(w.iCols), kWordBytes)
        .EndFrame(PLAN_FRAME_UPDATE);
}

#define KYR_ENGINE_RAW_FPGA(TBase)                                                       \
    template bool CEngineDriver<TBase>::ChangeFPGACtrl(uint8_t, uint8_t, bool);          \
    template SFpgaWindow CEngineDriver<TBase>::CalcWindow();                             \
    template std::function<bool()> CEngineDriver<TBase>::FPGAOutputStep(bool);           \
    template bool CEngineDriver<TBase>::PulseRawOutput();                                \
    template void CEngineDriver<TBase>::AddRawInit(CRegPlan&);                           \
    template void CEngineDriver<TBase>::AddRawModeSwitch(CRegPlan&, const SSensorMode&); \
    template void CEngineDriver<TBase>::AddRawStart(CRegPlan&);                          \
    template void CEngineDriver<TBase>::AddRawSize(CRegPlan&);
KYR_ENGINE_RAW_FPGA(CCameraBase)
KYR_ENGINE_RAW_FPGA(CCameraCool)

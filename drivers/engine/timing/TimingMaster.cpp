// The three timing masters: the core's FPGA setters, the raw FPGA latch and
// none (a sensor that times itself).
#include "engine/timing/TimingMaster.h"

#include "camera/CameraBase.h"

namespace {

// Pause after the FPGA reset before it takes commands, where the model names none.
constexpr uint32_t kDefaultResetPauseMs = 20;
// FPGA colour gain of 1.
constexpr int kUnityGain = 128;
// Bytes of the raw FPGA's start, size and line-length registers, and of its frame length.
constexpr int kWordBytes = 2;
constexpr int kVMAXBytes = 3;
constexpr uint8_t kWaitTrig = FPGA_CTRL_WAIT | FPGA_CTRL_TRIG;

// ---- What the two FPGA masters share ------------------------------------------------------

// The FPGA's stream switch (recorded once its write succeeded), its power,
// sync, buffer reload, status and update latch, and the start-up command:
// the same on each FPGA, whoever writes its control word.
class CFpgaMasterBase : public CTimingMaster {
  public:
    using CTimingMaster::CTimingMaster;

    bool Output(bool bOn) final {
        CCritSecLock lock(Cam().m_csControl);
        const bool ok = SwitchOutput(bOn);
        if (ok) m_bOutputOn = bOn;
        return ok;
    }
    void AddLatched(CRegPlan& plan, uint16_t usReg, uint8_t ucValue) final {
        plan.BeginFrame(PLAN_FRAME_UPDATE).Fpga(usReg, ucValue).EndFrame(PLAN_FRAME_UPDATE);
    }
    bool LowPower(bool bOn) final { return Cam().EnableLowPower(bOn); }
    bool XHSStop(bool bOn) final { return Cam().EnableFPGAXHSStop(bOn); }
    bool Reload() final { return Cam().FPGABufReload(); }
    bool ReadStatus(uint8_t* pucStatus) final { return Cam().ReadFPGAREG(FPGA_REG_STATUS, pucStatus); }

  protected:
    CCameraBase& Cam() { return m_Port.Cam(); }
    // Starts or stops the frame output (control lock held).
    virtual bool SwitchOutput(bool bOn) = 0;
    void AddStartCmd(CRegPlan& plan) {
        plan.Call([this] { return Cam().SendCMD(VR_CMD_AF); });
    }
};

// ---- The core's FPGA setters -------------------------------------------------------------

class CFpgaSetterMaster final : public CFpgaMasterBase {
  public:
    using CFpgaMasterBase::CFpgaMasterBase;

    void AddReset(CRegPlan& plan) override {
        const SDriverDesc& d = m_Port.Desc();
        plan.Call([this] { return Cam().FPGAReset(); })
            .FpgaTable(d.fpgaResetRows);
        if (d.usFpgaRegUsbHost) plan.Fpga(d.usFpgaRegUsbHost, m_Port.USB3Host() ? 1 : 0);
        plan.Pause(d.uResetPauseMs ? d.uResetPauseMs : kDefaultResetPauseMs);
        if (d.eStartCmd == START_CMD_AFTER_RESET && !d.bNoStartCmd) AddStartCmd(plan);
    }

    bool AddSetUp(CRegPlan& plan, bool bDDR) override {
        const SDriverDesc& d = m_Port.Desc();
        plan.Call([this] { return Cam().SetFPGAAsMaster(true); });
        AddOutput(plan, false);
        // A camera without the DDR buffer has it bypassed whatever the flag says.
        const bool ddr = d.bHasDDR && bDDR;
        plan.Call([this, ddr] { return Cam().EnableFPGADDR(ddr); })
            .Call([this] { return Cam().SetFPGAADCWidthOutputWidth(ADC_12BIT, false); });
        if (d.fnFpgaSetUp) d.fnFpgaSetUp(*this, plan);
        plan.Call([this] { return Cam().SetFPGAGain(kUnityGain, kUnityGain, kUnityGain, kUnityGain); });
        if (d.eStartCmd == START_CMD_AFTER_SET_UP && !d.bNoStartCmd) AddStartCmd(plan);
        return true;
    }

    bool TestDDR() override { return !m_Port.Desc().bDDRTest || Cam().FPGADDRTest(); }

    void AddModeSwitch(CRegPlan& plan, const SSensorMode& mode, bool bOut16) override {
        const SModeSwitchRule& rule = m_Port.Desc().modeSwitch;
        if (!rule.bUnheld) plan.BeginFrame();
        const bool bFormat = !rule.bKeepsDataFormat;
        const bool b16 = mode.bOut16FromType && bOut16;
        if (bFormat && !rule.bDataFormatLast) AddDataFormat(plan, mode.eAdc, b16);
        if (mode.iLanes >= 0) AddLanes(plan, static_cast<LVDS_CHANNEL>(mode.iLanes));
        AddModeRows(plan, mode);
        if (bFormat && rule.bDataFormatLast) AddDataFormat(plan, mode.eAdc, b16);
        if (!rule.bUnheld) plan.EndFrame();
    }
    void AddDataFormat(CRegPlan& plan, ADC_BIT eAdc, bool bOut16) override {
        plan.Call([this, eAdc, bOut16] { return Cam().SetFPGAADCWidthOutputWidth(eAdc, bOut16); });
    }
    void AddLanes(CRegPlan& plan, LVDS_CHANNEL eLanes) override {
        plan.Call([this, eLanes] { return Cam().SetFPGALVDSChannel(eLanes); });
    }
    void AddLineLength(CRegPlan& plan, uint16_t usHMAX) override {
        plan.Call([this, usHMAX] { return Cam().SetFPGAHMAX(usHMAX); });
    }
    void AddPacing(CRegPlan& plan, float fPercent) override {
        plan.Call([this, fPercent] { return Cam().SetFPGABandWidth(fPercent); });
    }
    void AddFrameLength(CRegPlan& plan, uint32_t uVMAX) override {
        plan.Call([this, uVMAX] { return Cam().SetFPGAVMAX(uVMAX); });
    }
    void AddBlanking(CRegPlan& plan, uint16_t usHBLK, uint16_t usVBLK) override {
        plan.Call([this, usHBLK] { return Cam().SetFPGAHBLK(usHBLK); }).Call([this, usVBLK] {
            return Cam().SetFPGAVBLK(usVBLK);
        });
    }
    void AddDataLength(CRegPlan& plan, unsigned int uWords) override {
        plan.Call([this, uWords] { return Cam().SetFPGABinDataLen(uWords); });
    }
    void AddReadoutSize(CRegPlan& plan, int iRows, int iCols) override {
        plan.Call([this, iRows] { return Cam().SetFPGAHeight(iRows); }).Call([this, iCols] {
            return Cam().SetFPGAWidth(iCols);
        });
    }
    void AddColourGains(CRegPlan& plan, int iRed, int iBlue) override {
        plan.Call([this, iRed, iBlue] { return Cam().SetFPGAGain(iRed, kUnityGain, kUnityGain, iBlue); });
    }
    void AddDDR(CRegPlan& plan, bool bOn) override {
        plan.Call([this, bOn] { return Cam().EnableFPGADDR(bOn); });
    }
    void AddBinMode(CRegPlan& plan, FPGA_BIN_MODE eMode) override {
        plan.Call([this, eMode] { return Cam().SetFPGABinMode(eMode); });
    }
    void AddLongMode(CRegPlan& plan, bool bOn) override {
        if (bOn)
            plan.Call([this] { return Cam().EnableFPGAWaitMode(true); }).Call([this] {
                return Cam().EnableFPGATriggerMode(true);
            });
        else
            plan.Call([this] { return Cam().EnableFPGATriggerMode(false); }).Call([this] {
                return Cam().EnableFPGAWaitMode(false);
            });
    }

    bool TriggerSignal(bool bOn) override { return Cam().EnableFPGATriggerSignal(bOn); }
    bool WaitMode(bool bOn) override { return Cam().EnableFPGAWaitMode(bOn); }
    bool TriggerMode(bool bOn) override { return Cam().EnableFPGATriggerMode(bOn); }

  private:
    bool SwitchOutput(bool bOn) override { return bOn ? Cam().FPGAStart() : Cam().FPGAStop(); }
};

// ---- The raw FPGA latch -------------------------------------------------------------------

// The control word lives in the model's shadow and changes only through
// ChangeFPGACtrl; every value that spans registers is written inside the
// FPGA's update latch, so the FPGA never runs with half of it.
class CRawFpgaMaster final : public CFpgaMasterBase {
  public:
    using CFpgaMasterBase::CFpgaMasterBase;

    void AddReset(CRegPlan& plan) override {
        const SRawFpgaRule& raw = *m_Port.Desc().pRawFpga;
        // A reset pulse (run bit clear), then the control word the model starts
        // from; the run bit is taken into the shadow without a write of its own.
        plan.Call([this] { return m_Port.ChangeFPGACtrl(0xFF, 0, true); })
            .Pause(raw.uResetPulseMs)
            .Call([this, &raw] {
                CCritSecLock lock(Cam().m_csControl);
                if (!m_Port.ChangeFPGACtrl(0xFF, raw.ucCtrlAfterReset, true)) return false;
                m_bOutputOn = (raw.ucCtrlAfterReset & FPGA_CTRL_STOP) == 0;
                return true;
            })
            .Call([this] { return m_Port.ChangeFPGACtrl(0, FPGA_CTRL_RUN, false); })
            .Fpga(FPGA_REG_DATA_FMT, raw.ucInitDataFmt)
            .BeginFrame(PLAN_FRAME_UPDATE)
            .Fpga(FPGA_REG_GAIN_R, kUnityGain)
            .Fpga(FPGA_REG_GAIN_G1, kUnityGain)
            .Fpga(FPGA_REG_GAIN_G2, kUnityGain)
            .Fpga(FPGA_REG_GAIN_B, kUnityGain)
            .EndFrame(PLAN_FRAME_UPDATE);
        AddStartCmd(plan);
    }

    // The reset's steps set the FPGA up whole.
    bool AddSetUp(CRegPlan&, bool) override { return false; }

    // The mode's rows and the sensor lanes cleared in the control word,
    // applied together; the data format follows with the output width.
    void AddModeSwitch(CRegPlan& plan, const SSensorMode& mode, bool) override {
        plan.BeginFrame(PLAN_FRAME_UPDATE).Table(mode.regs);
        AddLanes(plan, LVDS_CHANNEL_0);
        plan.EndFrame(PLAN_FRAME_UPDATE);
    }
    void AddDataFormat(CRegPlan& plan, ADC_BIT eAdc, bool bOut16) override {
        plan.Fpga(FPGA_REG_DATA_FMT,
                  static_cast<uint8_t>((eAdc == ADC_12BIT ? FPGA_FMT_ADC12 : 0) | (bOut16 ? FPGA_FMT_OUT16 : 0)));
    }
    // The sensor's lanes are cleared in the control word, whatever the mode asks.
    void AddLanes(CRegPlan& plan, LVDS_CHANNEL) override {
        plan.Call([this] { return m_Port.ChangeFPGACtrl(FPGA_CTRL_LVDS, 0, true); });
    }
    void AddLineLength(CRegPlan& plan, uint16_t usHMAX) override {
        plan.BeginFrame(PLAN_FRAME_UPDATE).FpgaLE(FPGA_REG_HMAX, usHMAX, kWordBytes).EndFrame(PLAN_FRAME_UPDATE);
    }
    // The output is not paced.
    void AddPacing(CRegPlan&, float) override {}
    void AddFrameLength(CRegPlan& plan, uint32_t uVMAX) override {
        plan.BeginFrame(PLAN_FRAME_UPDATE).FpgaLE(FPGA_REG_VMAX, uVMAX, kVMAXBytes).EndFrame(PLAN_FRAME_UPDATE);
    }
    // The FPGA's blanking registers hold the window's start.
    void AddBlanking(CRegPlan& plan, uint16_t usHStart, uint16_t usVStart) override {
        plan.BeginFrame(PLAN_FRAME_UPDATE)
            .FpgaLE(FPGA_REG_HBLK, usHStart, kWordBytes)
            .FpgaLE(FPGA_REG_VBLK, usVStart, kWordBytes)
            .EndFrame(PLAN_FRAME_UPDATE);
    }
    // The readout size says the frame's length.
    void AddDataLength(CRegPlan&, unsigned int) override {}
    void AddReadoutSize(CRegPlan& plan, int iRows, int iCols) override {
        plan.BeginFrame(PLAN_FRAME_UPDATE)
            .FpgaLE(FPGA_REG_HEIGHT, static_cast<uint32_t>(iRows), kWordBytes)
            .FpgaLE(FPGA_REG_WIDTH, static_cast<uint32_t>(iCols), kWordBytes)
            .EndFrame(PLAN_FRAME_UPDATE);
    }
    // The green gains keep their unity from initialisation.
    void AddColourGains(CRegPlan& plan, int iRed, int iBlue) override {
        plan.BeginFrame(PLAN_FRAME_UPDATE)
            .Fpga(FPGA_REG_GAIN_R, static_cast<uint8_t>(iRed))
            .Fpga(FPGA_REG_GAIN_B, static_cast<uint8_t>(iBlue))
            .EndFrame(PLAN_FRAME_UPDATE);
    }
    // No DDR buffer, no bin modes.
    void AddDDR(CRegPlan&, bool) override {}
    void AddBinMode(CRegPlan&, FPGA_BIN_MODE) override {}
    void AddLongMode(CRegPlan& plan, bool bOn) override {
        plan.Call([this, bOn] { return ChangeCtrl(kWaitTrig, bOn); });
    }

    // The signal register is written whole.
    bool TriggerSignal(bool bOn) override {
        return Cam().WriteFPGAREG(FPGA_REG_SIGNAL, bOn ? FPGA_SIG_TRIGGER : 0);
    }
    bool WaitMode(bool bOn) override { return ChangeCtrl(FPGA_CTRL_WAIT, bOn); }
    bool TriggerMode(bool bOn) override { return ChangeCtrl(FPGA_CTRL_TRIG, bOn); }

  private:
    // The output runs while the stop bit is clear.
    bool SwitchOutput(bool bOn) override { return ChangeCtrl(FPGA_CTRL_STOP, !bOn); }
    // The control word's bits set or cleared, written at once.
    bool ChangeCtrl(uint8_t ucBits, bool bSet) {
        return m_Port.ChangeFPGACtrl(bSet ? 0 : ucBits, bSet ? ucBits : 0, true);
    }
};

// ---- No FPGA ----------------------------------------------------------------------------

// A sensor that times itself: nothing goes to an FPGA. The stream switch is
// the sensor's own (its streaming rows); the output counts as running
// between its start and its stop.
class CSensorTimedMaster final : public CTimingMaster {
  public:
    using CTimingMaster::CTimingMaster;

    void AddReset(CRegPlan&) override {}
    bool AddSetUp(CRegPlan&, bool) override { return false; }
    // The mode's rows, framed as the description says; nothing of an FPGA.
    void AddModeSwitch(CRegPlan& plan, const SSensorMode& mode, bool) override {
        const bool held = !m_Port.Desc().modeSwitch.bUnheld;
        if (held) plan.BeginFrame();
        AddModeRows(plan, mode);
        if (held) plan.EndFrame();
    }
    bool Output(bool bOn) override {
        m_bOutputOn = bOn;
        return true;
    }
    void AddDataFormat(CRegPlan&, ADC_BIT, bool) override {}
    void AddLanes(CRegPlan&, LVDS_CHANNEL) override {}
    void AddLineLength(CRegPlan&, uint16_t) override {}
    void AddPacing(CRegPlan&, float) override {}
    void AddFrameLength(CRegPlan&, uint32_t) override {}
    void AddBlanking(CRegPlan&, uint16_t, uint16_t) override {}
    void AddDataLength(CRegPlan&, unsigned int) override {}
    void AddReadoutSize(CRegPlan&, int, int) override {}
    void AddColourGains(CRegPlan&, int, int) override {}
    void AddDDR(CRegPlan&, bool) override {}
    void AddBinMode(CRegPlan&, FPGA_BIN_MODE) override {}
    void AddLatched(CRegPlan&, uint16_t, uint8_t) override {}
    void AddLongMode(CRegPlan&, bool) override {}
    bool TriggerSignal(bool) override { return false; }
    bool WaitMode(bool) override { return false; }
    bool TriggerMode(bool) override { return false; }
    bool LowPower(bool) override { return false; }
    bool XHSStop(bool) override { return false; }
    bool Reload() override { return false; }
    bool ReadStatus(uint8_t*) override { return false; }
};

}  // namespace

void CTimingMaster::AddModeRows(CRegPlan& plan, const SSensorMode& mode) {
    plan.Table(mode.commonRegs).Table(mode.regs).BitsTable(mode.bitRows);
}

void CTimingMaster::AddOutput(CRegPlan& plan, bool bOn) {
    plan.Call([this, bOn] { return Output(bOn); });
}

void CTimingMaster::AddOutputPulse(CRegPlan& plan) {
    // Decided when the step runs, under the lock the stream's stop takes too:
    // a capture thread that has already stopped the output keeps it stopped.
    plan.Call([this] {
        CCritSecLock lock(m_Port.Cam().m_csControl);
        if (!m_bOutputOn) return true;
        return Output(false) && Output(true);
    });
}

std::unique_ptr<CTimingMaster> MakeTimingMaster(ITimingPort& port) {
    switch (port.Desc().eTiming) {
        case TIMING_RAW_FPGA:
            return std::make_unique<CRawFpgaMaster>(port);
        case TIMING_SENSOR:
            return std::make_unique<CSensorTimedMaster>(port);
        case TIMING_FPGA_SETTERS:
        default:
            return std::make_unique<CFpgaSetterMaster>(port);
    }
}

void FpgaBinModeNone(CTimingMaster& timing, CRegPlan& plan) { timing.AddBinMode(plan, FPGA_BIN_MODE_0); }

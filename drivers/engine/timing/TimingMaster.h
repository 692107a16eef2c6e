// Timing masters: who makes the camera's lines and frames and switches its
// stream. The engine's skeleton never calls an FPGA setter itself; every
// FPGA write goes through the timing master the model's description chose:
//   - the core's FPGA setters (the FPGA times the sensor, each setter
//     writes its registers),
//   - the raw FPGA latch (the control word through the model's shadow of
//     register 0, every value that spans registers inside the update latch),
//   - none (the sensor times itself; the camera has no FPGA to program).
// A master adds its writes to the plan of the operation that needs them, so
// that they run in the operation's order, inside its frames, and count in
// its result. Immediate operations serve the capture loop.
//
// A master belongs to one camera object: the state it keeps (whether the
// frame output runs) is that camera's.
#ifndef KYR_TIMING_MASTER_H
#define KYR_TIMING_MASTER_H

#include <stdint.h>

#include <atomic>
#include <memory>

#include "engine/DriverDesc.h"
#include "engine/RegPlan.h"

class CCameraBase;

// The window of a model with raw FPGA programming: the FPGA's start
// registers, the readout it crops, the fixed frame length.
struct SFpgaWindow {
    int iHStart, iVStart;  // FPGA registers 2/3 and 6/7
    int iCols, iRows;      // FPGA registers 4/5 and 8/9
    int iVMAX;             // frame length within a frame, lines
};

// What a timing master reaches on its camera.
class ITimingPort {
  public:
    virtual CCameraBase& Cam() = 0;
    virtual const SDriverDesc& Desc() const = 0;
    // The FPGA control word through the model's shadow of register 0.
    virtual bool ChangeFPGACtrl(uint8_t ucClear, uint8_t ucSet, bool bWrite) = 0;
    // The window of the geometry in force, for FPGAs that place it.
    virtual SFpgaWindow CalcWindow() = 0;
    // Whether the camera found a USB 3 host when it opened.
    virtual bool USB3Host() const = 0;

  protected:
    ~ITimingPort() = default;
};

class CTimingMaster {
  public:
    explicit CTimingMaster(ITimingPort& port) : m_Port(port) {}
    virtual ~CTimingMaster() = default;
    CTimingMaster(const CTimingMaster&) = delete;
    CTimingMaster& operator=(const CTimingMaster&) = delete;

    // ---- Start-up ------------------------------------------------------------------
    // The FPGA's reset, before the sensor's rows that follow it.
    virtual void AddReset(CRegPlan& plan) = 0;
    // Its set-up once the sensor is started; false when there is none.
    virtual bool AddSetUp(CRegPlan& plan, bool bDDR) = 0;
    // Tests the DDR buffer; true when it is ready (or the camera has none to test).
    virtual bool TestDDR() { return true; }

    // ---- Stream --------------------------------------------------------------------
    // Starts or stops the frame output; whether it runs is recorded once the
    // write succeeded. Takes the control lock.
    virtual bool Output(bool bOn) = 0;
    void AddOutput(CRegPlan& plan, bool bOn);
    // The frame output runs, as the last successful switch left it.
    bool OutputOn() const { return m_bOutputOn.load(); }
    // A running output stopped and started again, so that a new window start
    // is taken at a frame boundary; nothing when it does not run.
    void AddOutputPulse(CRegPlan& plan);

    // ---- Readout and timing ----------------------------------------------------------
    // A sensor mode's rows and the FPGA's part of the mode, framed as this
    // master frames a mode change (the description's modeSwitch, where the
    // master frames it with the sensor's hold).
    virtual void AddModeSwitch(CRegPlan& plan, const SSensorMode& mode, bool bOut16) = 0;
    virtual void AddDataFormat(CRegPlan& plan, ADC_BIT eAdc, bool bOut16) = 0;
    virtual void AddLanes(CRegPlan& plan, LVDS_CHANNEL eLanes) = 0;
    virtual void AddLineLength(CRegPlan& plan, uint16_t usHMAX) = 0;
    virtual void AddPacing(CRegPlan& plan, float fPercent) = 0;
    virtual void AddFrameLength(CRegPlan& plan, uint32_t uVMAX) = 0;
    virtual void AddBlanking(CRegPlan& plan, uint16_t usHBLK, uint16_t usVBLK) = 0;
    virtual void AddDataLength(CRegPlan& plan, unsigned int uWords) = 0;
    virtual void AddReadoutSize(CRegPlan& plan, int iRows, int iCols) = 0;
    virtual void AddColourGains(CRegPlan& plan, int iRed, int iBlue) = 0;
    virtual void AddDDR(CRegPlan& plan, bool bOn) = 0;
    virtual void AddBinMode(CRegPlan& plan, FPGA_BIN_MODE eMode) = 0;
    // One FPGA register written inside the update latch.
    virtual void AddLatched(CRegPlan& plan, uint16_t usReg, uint8_t ucValue) = 0;
    // Long-exposure mode: the FPGA's wait and trigger modes both on (wait
    // first) or both off (trigger first).
    virtual void AddLongMode(CRegPlan& plan, bool bOn) = 0;

    // ---- Immediate operations of the capture loop (control lock held by the caller) ----
    virtual bool TriggerSignal(bool bOn) = 0;
    virtual bool WaitMode(bool bOn) = 0;
    virtual bool TriggerMode(bool bOn) = 0;
    virtual bool LowPower(bool bOn) = 0;
    virtual bool XHSStop(bool bOn) = 0;
    virtual bool Reload() = 0;
    // The FPGA's status byte; false when it cannot be read.
    virtual bool ReadStatus(uint8_t* pucStatus) = 0;

  protected:
    // The mode's sensor rows: its common rows, its own rows, its bit rows.
    static void AddModeRows(CRegPlan& plan, const SSensorMode& mode);

    ITimingPort& m_Port;
    std::atomic<bool> m_bOutputOn{false};
};

// A set-up step of models whose FPGA starts with its bin mode at none
// (SDriverDesc::fnFpgaSetUp).
void FpgaBinModeNone(CTimingMaster& timing, CRegPlan& plan);

// The master the description chose, for the camera behind port.
std::unique_ptr<CTimingMaster> MakeTimingMaster(ITimingPort& port);

#endif

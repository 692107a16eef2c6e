// CEngineDriver: the driver engine. One template, instantiated over the two
// camera-object bases (CCameraBase for uncooled models, CCameraCool for
// cooled ones), runs every model described by an SDriverDesc: construction
// from the model's constants, initialisation, the sensor modes, the window
// and its geometry, the mode changes and the sensor streaming switch. A
// driver class derives from it with its description and adds only what its
// model really does differently.
//
// Locks: every operation holds the control lock (m_csControl) while it reads
// or changes the camera's state, and every register change is a plan run
// under it (RunPlan). A mode change while capturing stops the capture with
// the control lock released (the core's stop contract), applies the change
// and restarts video; a cut single exposure ends FAILED.
//
// Timing words: the sensor mode in force leaves its timing in g_iVBLK,
// g_iHBLK, g_iMinHMAX, g_iExtraLines and g_iUSBBandwidth, which belong to the
// object, so two cameras of one model never time from each other's mode.
#ifndef KYR_ENGINE_DRIVER_H
#define KYR_ENGINE_DRIVER_H

#include <stdint.h>

#include <functional>

#include "camera/CameraBase.h"
#include "engine/DriverDesc.h"
#include "engine/RegPlan.h"
#include "engine/timing/TimingMaster.h"

// The sensor readout of a geometry: what the sensor sends and how GetImage
// finishes it. The one place that turns image size, bin and mode into these.
struct SReadout {
    int iCols;          // readout columns
    int iRows;          // readout rows
    int iSensorFactor;  // binning done in the sensor (1: none)
    int iSoftBin;       // binning left to the software (1: none)
    bool b16;           // 2 bytes a pixel
    int iFrameBytes;    // bytes of one frame on the bulk endpoint
};

// The geometry one image read works with, taken as one whole under the
// control lock with the generation it belongs to.
struct SImageGeometry {
    uint32_t uGen;
    // A single exposure's frame, taken at the geometry of generation uRunGen.
    bool bSnap;
    uint32_t uRunGen;
    int iWidth, iHeight;  // the caller's image
    int iType;            // IMAGE_TYPE
    bool bRaw;            // IMAGE_8BIT as the raw mosaic
    bool bMonoBin;
    bool bFlipV, bFlipH;
    bool bTimeMark;
    SReadout readout;
    // Grey data (a mono camera read out as grey): binned by neighbours, Y8
    // the raw image, RGB24 three equal bytes, no YUV2.
    bool bGrey;
};

// Restores the first and last 4 bytes of a frame of iFrameBytes that the
// camera overwrote with its markers, from iRows rows of iRowBytes away (0:
// two), from inside the frame only.
void RepairFrameMarkers(uint8_t* pFrame, int iFrameBytes, int iRowBytes, int iRows = 2);

// Capture-loop values of a model (defaults: the 832's).
struct SCaptureParams {
    uint32_t uResetPauseMs = 50;          // after the USB reset at the start of a run
    uint8_t ucEndpoint = 0x81;            // frames arrive here
    int iXferBytes = 0x100000;            // one transfer
    int iMaxEmpty = 5;                    // empty transfers in a row before a stream reset (0: never)
    uint32_t uRestartResetMs = 100;       // stream reset: after the USB reset
    uint32_t uRestartStopMs = 10;         // stream reset: between stop and start
    uint32_t uSnapRetryMs = 1000;         // a snapshot is retried this long
    uint32_t uReadoutMarginMs = 1000;     // first-transfer wait beyond the exposure
    uint32_t uLongExpExtraMs = 2000;      // more for exposures above 999,999 us
    uint32_t uFrameWaitMarginMs = 50;     // short exposures: twice the frame time plus this
    uint32_t uNextWaitMarginMs = 100;     // later transfers: their share of the frame time plus this
    uint32_t uFallbackFrameUs = 500000;   // frame time assumed while the timing gives none
    uint32_t uMaxWaitMs = 60000;          // bound of any frame-time derived wait beyond the exposure
    int iAutoCtrlPeriodUs = 100000;       // the auto-control thread's period in video
    uint32_t uBandwidthWindowMs = 20000;  // losses lower the bandwidth only this long after auto starts
    uint32_t uLossDeltaMs = 5000;         // ... when two losses come closer than this
    int iBandwidthStep = 4;               // percent per step
    int iLossesPerStep = 3;               // failures counted before a step
    uint32_t uNextWaitCapMs = 0;          // later transfers wait min(first wait, this); 0: share + margin
    // The stream reset's log line as it stands; null: "no frame more than
    // <iMaxEmpty>, reset!\n".
    const char* szResetLog = nullptr;
};

// The readout of an image of iWidth x iHeight at iBin; iBin must be one of the
// model's bins (the caller has checked the size against the sensor).
SReadout ReadoutOf(const SDriverDesc& desc, int iWidth, int iHeight, int iBin, bool bHardwareBin, bool b16);
// What the sensor bins of iBin with hardware binning on (0: nothing).
int SensorBinFactor(const SDriverDesc& desc, int iBin);
bool HasSensorBinning(const SDriverDesc& desc);
// The hardware-bin mode of iBin, also one that changes only the sensor's
// timing (null: none).
const SSensorMode* HardwareBinMode(const SDriverDesc& desc, int iBin);
bool HasHardwareBinMode(const SDriverDesc& desc);

template <class TBase>
class CEngineDriver : public TBase {
  public:
    explicit CEngineDriver(const SDriverDesc& desc);
    ~CEngineDriver() override;

    // ---- Slots -----------------------------------------------------------------
    bool InitCamera() override;
    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) override;
    bool SetStartPos(int iStartX, int iStartY) override;
    bool SetGain(int iGain, bool bAuto) override;
    bool SetBrightness(int iOffset) override;
    bool SetHighSpeedMode(bool bOn) override;
    bool SetHardwareBin(bool bOn) override;
    bool SetEnableDDR(bool bOn) override;
    bool SetFPSPerc(int iPercent, bool bAuto) override;
    bool SetRGBBalance(int iRed, int iBlue, bool bAuto) override;
    bool SetExp(unsigned long long ullExposureUs, bool bAuto) override;
    bool GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) override;
    // The sensor's own temperature is the last one the core read.
    float GetSensorTempInside() override { return this->m_fSensorTemp; }

    // ---- Non-virtual operations of every driver class ------------------------------
    // Programs the sensor mode of these flags by the model's mode rule; the
    // mode, its timing words and the bin are stored only when its plan ran
    // whole (false: the old ones stay stored).
    bool InitSensorMode(bool bHardwareBin, int iBin, bool bHighSpeed, IMAGE_TYPE imageType);
    // InitSensorMode for a change of mode; when the new mode cannot be set,
    // the mode in force is programmed again and false returned.
    bool ChangeSensorMode(bool bHardwareBin, int iBin, bool bHighSpeed, IMAGE_TYPE imageType);
    bool Cam_SetResolution();
    int GetRealImageSize();
    bool SetOutput16Bits(bool bOn);
    void CalcFrameTime();
    void CalcMaxFPS();
    bool SetCMOSClk(int iClockKHz);
    bool SetCMOSClk();
    bool StartSensorStreaming();
    bool StopSensorStreaming();
    // Opens or closes the sensor clamp (outside the hold); true when every
    // write succeeded.
    bool SetSensorClamp(bool bOpen);

    // The sensor clamp is open (the camera's; 0 after construction).
    std::atomic<uint8_t> m_bClampOpen{0};

    // ---- Engine ------------------------------------------------------------------
    // Runs a plan on this camera under the control lock.
    bool RunPlan(const CRegPlan& plan);
    // The readout of the geometry in force.
    SReadout Readout();
    const SDriverDesc& Desc() const { return m_Desc; }
    // Bumped under the control lock by every change of the image geometry.
    uint32_t GeometryGeneration() const { return m_uGeomGen.load(); }
    const SSensorMode* Mode() const { return m_pMode; }
    // The timing master the description chose: every FPGA write goes through it.
    CTimingMaster& Master() { return *m_pTiming; }

    // The mode re-apply routine. Stops a running capture (a single exposure
    // is cut and ends FAILED), runs fnApply with the control lock held and
    // no capture running, and restarts video when video ran. Refused (false,
    // nothing done) on a thread of the camera, which could neither stop nor
    // restart the capture. The result is fnApply's and the restart's.
    bool ReapplyMode(const std::function<bool()>& fnApply);

    // Per-object timing of the sensor mode in force.
    int g_iVBLK;
    int g_iHBLK;
    int g_iMinHMAX;
    int g_iExtraLines;
    int g_iUSBBandwidth;

  protected:
    // The sensor mode for a readout: sensor binning (bSensorBin) of iBin,
    // high speed and 16-bit data. Models whose modes follow other rules
    // override it.
    virtual const SSensorMode* SelectSensorMode(bool bSensorBin, int iBin, bool bHighSpeed, bool b16);
    // Whether an exposure may be programmed now; models that refuse it while
    // a trigger mode captures override it. Called under the control lock.
    virtual bool ExposureAccepted(unsigned long long ullExposureUs);
    // The exposure the sensor is programmed for: in long-exposure mode the
    // descriptor's long program, else the exposure itself. Models that pick
    // a trigger exposure of their own override it.
    virtual double SensorExposureUs(unsigned long long ullExposureUs, bool bLongMode, uint32_t uFrameUs);

    // Raw FPGA programming (SDriverDesc::pRawFpga, EngineRawFpga.cpp).
    // The control word: the model's shadow of register 0 takes the bits of
    // ucSet and loses those of ucClear, and is written when bWrite. A model
    // with raw programming keeps the shadow and overrides this; the engine
    // never writes register 0 of such a model any other way.
    virtual bool ChangeFPGACtrl(uint8_t ucClear, uint8_t ucSet, bool bWrite = true);
    // The window of the geometry in force (control lock held).
    virtual SFpgaWindow CalcWindow();
    // The output width (b16) as a new geometry programs it, once its start
    // is placed; true when it was set. Models that set it at another step
    // of the geometry too override it.
    virtual bool ProgramOutputWidth(bool b16);

    // Capture bodies bound at initialisation; TriggerFunc runs RunTrigger.
    static void WorkingFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning);
    static void TriggerFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning);
    // The trigger capture of the trigger modes (EngineTrigger.cpp): one
    // frame per trigger on the single-read set, a snapshot ended by its
    // frame. Models without it (the description's capture hooks) offer no
    // trigger mode, and the body returns at once.
    virtual void RunTrigger(std::atomic<bool>* pbRunning);
    // An action of a long-exposure script that only the model knows
    // (LONG_OP_MODEL with its code); called under the control lock.
    virtual bool LongExpAction(uint32_t uCode);

    // The capture loop's values; a model sets its own in its constructor.
    SCaptureParams m_Capture;

    // The start of one pass of the capture loop: under the control lock,
    // reads whether long mode holds and, when it does, runs the script's
    // every-pass actions (the FPGA's wait and trigger modes) in the same
    // step. An exposure that ends long mode on another thread (SetExp, under
    // the same lock, switches those modes off) thus comes wholly before the
    // step (no pass, nothing switched on) or after it (switched off again).
    // True: long mode holds.
    bool BeginLongPass(unsigned long long* pExpUs);

    // Image read-out (EngineImage.cpp). TakeImageGeometry takes the geometry
    // of the next read as one whole; FinishImage turns the frame in m_pImgBuf
    // into the caller's image of exactly iOutBytes.
    bool TakeImageGeometry(SImageGeometry* pGeom);
    void FinishImage(const SImageGeometry& g, unsigned char* pOut, int iOutBytes);

  private:
    bool GeometryStill(uint32_t uGen);
    // The final copy of a raw image into the caller's buffer.
    void CopyImageOut(const uint8_t* pImg, unsigned char* pOut, size_t uBytes);
    // The capture loop (EngineCapture.cpp).
    void RunWorking(std::atomic<bool>* pbRunning);
    // One lost frame: counted (unless the DDR sends it again, bReload),
    // automatic bandwidth lowered on repeated losses, the endpoint flushed.
    void LostFrame(int* piFailures, int* piEmpty, uint32_t* puWindowStart, uint32_t* puLastDrop,
                   bool bReload);
    // The long-exposure script in force and its parts. RunLongExposure
    // times one exposure of ullExpUs; false when the capture is to end.
    const SLongExpScript& LongExpScript() const;
    bool RunLongExposure(unsigned long long ullExpUs, std::atomic<bool>* pbRunning);
    bool RunLongExpActions(const SLongExpActions& list, uint32_t* puTriggerTick);
    bool RunLongExpAction(const SLongExpAction& action, uint32_t* puTriggerTick);
    bool SyncBeforeLongExp(uint32_t uTries);
    // Auto exposure and gain, and white balance, on the slow frame just
    // accepted, once the ring has it.
    void SlowFrameAutoSteps();
    // FPGA status (0 when it cannot be read) and the GPIF status log.
    uint8_t ReadStatus();
    void LogGPIFStatus();
    // Stream reset after empty transfers: USB reset, stream stopped and
    // started. False when the device takes no USB reset: the capture ends.
    bool RestartStream();
    // One triggered frame of iLength bytes in iCount single-read transfers
    // into the receive buffer (EngineTrigger.cpp).
    int ReceiveTriggerFrame(int iCount, int iLength, std::atomic<bool>* pbRunning);


    // Where plans of this camera go.
    class CCameraPort : public IPlanTarget {
      public:
        explicit CCameraPort(CEngineDriver& cam) : m_cam(cam) {}
        bool WriteSensor(uint16_t usReg, uint8_t ucValue) override {
            return m_cam.WriteSONYREG(usReg, ucValue);
        }
        bool WriteSensor16(uint16_t usReg, uint16_t usValue) override {
            return m_cam.WriteCameraRegister(usReg, usValue);
        }
        bool ReadSensor(uint16_t usReg, uint8_t* pucValue) override {
            return m_cam.ReadSONYREG(usReg, pucValue);
        }
        void PauseMs(uint32_t uMs) override { Sleep(uMs); }
        SFrameReg FrameReg(PLAN_FRAME eKind) const override {
            if (eKind == PLAN_FRAME_UPDATE)
                return SFrameReg{true, FPGA_REG_UPDATE, FPGA_UPDATE_HOLD, FPGA_UPDATE_APPLY};
            return eKind == PLAN_FRAME_HOLD ? m_cam.m_Desc.hold : m_cam.m_Desc.standby;
        }
        bool WriteFPGA(uint16_t usReg, uint8_t ucValue) override {
            return m_cam.WriteFPGAREG(usReg, ucValue);
        }

      private:
        CEngineDriver& m_cam;
    };
    // What the timing master reaches on this camera.
    class CTimingPort : public ITimingPort {
      public:
        explicit CTimingPort(CEngineDriver& cam) : m_cam(cam) {}
        CCameraBase& Cam() override { return m_cam; }
        const SDriverDesc& Desc() const override { return m_cam.m_Desc; }
        bool ChangeFPGACtrl(uint8_t ucClear, uint8_t ucSet, bool bWrite) override {
            return m_cam.ChangeFPGACtrl(ucClear, ucSet, bWrite);
        }
        SFpgaWindow CalcWindow() override { return m_cam.CalcWindow(); }
        bool USB3Host() const override { return m_cam.m_bUSB3Host; }

      private:
        CEngineDriver& m_cam;
    };

    void ApplyModelConstants();
    // True while the capture or trigger capture thread runs.
    bool IsCapturing() const;
    bool OnCameraThread();
    bool IsSensorBinned(int iBin) const;
    bool CheckResolution(int iWidth, int iHeight, int iBin, int iType);
    // With sensor binning of iBin: whether the readout width keeps the
    // model's step; logs a refusal.
    bool SensorBinWidthFits(int iWidth, int iHeight, int iBin);
    // Units the start and window registers count a pixel in.
    uint32_t WindowScale() const {
        return m_Desc.iWindowScale > 1 ? static_cast<uint32_t>(m_Desc.iWindowScale) : 1u;
    }
    // Stream start (EngineClamp.cpp): a video start opens the sensor clamp,
    // a single exposure's start closes it; a failure keeps the state known.
    void FollowStreamClamp();
    // The stored geometry, kept to be put back when a new one is not taken
    // whole; RestoreGeometry stores it again (its registers are the caller's).
    struct SStoredGeometry {
        const SSensorMode* pMode;
        int iWidth, iHeight, iBin, iType, iStartX, iStartY;
        bool bHardwareBin, b16;
    };
    SStoredGeometry StoredGeometry() const;
    void RestoreGeometry(const SStoredGeometry& g);
    // Stores and programs a checked geometry (control lock held, no capture).
    // A geometry whose plans did not run whole is not stored: the old one
    // stays and is programmed again, and false is returned.
    bool ApplyResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType);
    // Programs the stored start, output width (b16), window, clock and the
    // timing that follows them; true when the geometry's plans ran whole,
    // and in *pbTiming whether the timing setters succeeded.
    bool ProgramGeometry(bool b16, bool* pbTiming);
    // Stores and programs a start (SetStartPos without putting the old one
    // back); true when its plan ran whole.
    bool PlaceStart(int iStartX, int iStartY);
    // The sensor mode that bHardwareBin, iBin, bHighSpeed and imageType select
    // by the model's mode rule, with the stored hardware-bin and high-speed
    // flags taken as bStoredHardwareBin and bStoredHighSpeed.
    const SSensorMode* SensorModeOf(bool bHardwareBin, int iBin, bool bHighSpeed, IMAGE_TYPE imageType,
                                    bool bStoredHardwareBin, bool bStoredHighSpeed);
    // Programs pMode for iBin and imageType; stores it with its timing words
    // and the bin only when the plan ran whole.
    bool ProgramSensorMode(const SSensorMode* pMode, int iBin, IMAGE_TYPE imageType);
    // ProgramSensorMode, or, when it fails, the mode in force programmed
    // again over what the failed change wrote; false then.
    bool SwitchSensorMode(const SSensorMode* pMode, int iBin, IMAGE_TYPE imageType);
    // SetResolution and SetStartPos again through the slots with the stored
    // geometry, the start kept.
    bool ReapplyGeometry();
    // The replay of bandwidth, gain and exposure at initialisation.
    void ReplayTiming();
    void StartCooler();
    // ---- Window programmers (window/): the start and the size of the
    // window of the geometry in force, each one plan, its result returned.
    // A start is given the start asked for, aligned, before it was kept on
    // the sensor (for the log).
    struct SWindowProgrammer {
        bool (CEngineDriver::*fnStart)(int iAskedX, int iAskedY);
        bool (CEngineDriver::*fnSize)();
    };
    static SWindowProgrammer WindowProgrammer(WINDOW_PROGRAMMER eKind);
    // The sensor crops the columns and cuts the rows (WINDOW_CROP): the
    // crop, position and cut at the start, followed by the frame time and
    // the exposure; the readout size registers and the FPGA at the size.
    bool CropWindowStart(int iAskedX, int iAskedY);
    bool CropWindowSize();
    // Start and size registers of the sensor; the FPGA crops the readout.
    bool RegisterWindowStart(int iAskedX, int iAskedY);
    bool RegisterWindowSize();
    // The sensor's start alone, for programmers whose FPGA blanking goes
    // with the size.
    bool SensorOnlyWindowStart(int iAskedX, int iAskedY);
    // The FPGA's blanking fixed, written with the size, and the size
    // registers outside the hold.
    bool FixedBlankingWindowSize();
    // The FPGA-timed family: the FPGA's blanking goes with the size.
    bool FpgaTimedWindowSize();
    // The FPGA cuts the columns; the sensor takes an odd start row.
    bool FpgaCropsColumnsWindowStart(int iAskedX, int iAskedY);
    // Start registers with fixed offsets (SStartWindowRule).
    bool StartRegWindowStart(int iAskedX, int iAskedY);
    bool StartRegWindowSize();
    // The FPGA's start registers over a fixed frame (raw FPGA latch).
    bool RawFpgaWindowStart(int iAskedX, int iAskedY);
    bool RawFpgaWindowSize();
    // The sensor crops from a start column behind a switch that is off
    // while it bins (SSwitchedCropRule); the size framed by the standby in
    // a single exposure.
    bool SwitchedCropWindowStart(int iAskedX, int iAskedY);
    bool SwitchedCropWindowSize();
    // WINDOW_READ_WIDTH's placement of the read: width, HBLK and start unit.
    struct SReadPlace {
        uint32_t uReadWidth;
        int iHBLK;
        uint32_t uStartUnit;
    };
    SReadPlace ReadWidthPlace();
    bool ReadWidthWindowStart(int iAskedX, int iAskedY);
    bool ReadWidthWindowSize();
    // The steps the register programmers share: the sensor's start (rows
    // before it, then the start registers in the hold) and its size.
    void AddSensorStart(CRegPlan& plan, uint32_t uStartY);
    void AddSensorSize(CRegPlan& plan, int iExtraRows, bool bHeld);
    // Rows added to the sensor window: the model's, none, or the mode's VBLK.
    int WindowExtraRows() const;
    // HMAX periods in one line the sensor counts.
    int LineHMAX() const { return m_Desc.iLineHMAX > 1 ? m_Desc.iLineHMAX : 1; }
    // Actions of a long-exposure list added to a plan, run in its order.
    void AddLongExpActions(CRegPlan& plan, const SLongExpActions& list);
    // Line time of the line length in force, microseconds, and its clocks.
    double LineTimeUs() const;
    double LineClocks() const;
    // Lines added to the readout rows for the frame time / the line length.
    int FrameExtraLines() const;
    int BandwidthExtraLines() const;
    // The host constant of the DDR output rate.
    int HostConstant() const;
    // The bandwidth setting and the line and frame timing that follow from
    // it: SetFPSPerc puts them back when its change fails.
    struct SLineTiming {
        int iPercent;
        bool bAuto;
        uint16_t usHMAX;
        uint32_t uFrameUs, uXferUs, uProgFrameUs;
        int iExpLines;
    };
    SLineTiming SaveLineTiming() const;
    void RestoreLineTiming(const SLineTiming& t);

    // ---- Law sets (the description's eLaws): each adds the registers of its
    // value to the operation's plan and leaves the figures the skeleton
    // stores once the plan ran whole. Called under the control lock.
    // What an exposure leaves: long mode, exposure lines and the frame programmed.
    struct SExposureStep {
        bool bLong;
        int iExpLines;
        uint32_t uProgFrameUs;
    };
    struct SLawSet {
        // The gain's registers; returns the gain stored (clamped).
        int (CEngineDriver::*fnGain)(int iGain, CRegPlan& plan);
        // The exposure's registers, with the long-mode switches it makes.
        void (CEngineDriver::*fnExposure)(unsigned long long ullExposureUs, CRegPlan& plan,
                                          SExposureStep* pStep);
        // The line length of a bandwidth percentage: m_usHMAX and its registers.
        void (CEngineDriver::*fnLine)(int iPercent, CRegPlan& plan);
        void (CEngineDriver::*fnFrameTime)();
        void (CEngineDriver::*fnMaxFPS)();
    };
    static SLawSet LawSet(SENSOR_LAWS eLaws);
    // Long mode from this exposure on, for this camera's host.
    uint64_t LongFromUs() const;
    // Long mode's end: the FPGA's wait and trigger modes as the rule leaves them.
    void AddLongModeExit(CRegPlan& plan);
    // LAWS_REGISTERS.
    int RegisterGain(int iGain, CRegPlan& plan);
    void RegisterExposure(unsigned long long ullExposureUs, CRegPlan& plan, SExposureStep* pStep);
    void RegisterLine(int iPercent, CRegPlan& plan);
    void RegisterFrameTime();
    void RegisterMaxFPS();
    // LAWS_CROP (laws/CropSensorLaws.cpp), from the crop timing of the mode in force.
    const SCropModeTiming& CropKind() const;
    double CropLineUs() const;
    int CropGain(int iGain, CRegPlan& plan);
    void CropExposure(unsigned long long ullExposureUs, CRegPlan& plan, SExposureStep* pStep);
    void CropLine(int iPercent, CRegPlan& plan);
    void CropFrameTime();
    void CropMaxFPS();

    const SDriverDesc& m_Desc;
    const SSensorMode* m_pMode;
    CCameraPort m_Port;
    CTimingPort m_TimingPort;
    std::unique_ptr<CTimingMaster> m_pTiming;
    const SWindowProgrammer m_Window;
    const SLawSet m_Laws;
    std::atomic<uint32_t> m_uGeomGen{0};
    // The geometry generation the last capture run fixed its frame length at (under m_csControl).
    uint32_t m_uRunGeomGen = 0;
    // Automatic bandwidth as the capture loop last saw it (a newly switched
    // on automatic bandwidth restarts the lowering window).
    bool m_bAutoBWSeen = false;
    // DDR on and USB 3 host, as the capture run found them.
    bool m_bCaptureDDR = false;
    bool m_bCaptureUSB3 = false;
    // The frame the last exposure programmed (VMAX x line), microseconds.
    std::atomic<uint32_t> m_uProgFrameUs{0};
    // The FPGA status the capture run's last transfer left (register 35 read
    // after every transfer; 0 at the run's start). The capture thread's own.
    uint8_t m_ucLastStatus = 0;
};

#endif

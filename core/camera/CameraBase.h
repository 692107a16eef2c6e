// The camera part: the camera object and the operations it carries out for
// every model: capture control and the capture thread, controls, auto control,
// frame post-processing, what the camera keeps in its flash, settings and the
// temperature sensors. It may use the image, ring, usb and platform parts and
// the public header; never the cooling part, the exported interface or the
// drivers.
//
// CCameraBase: the camera object behind one open camera ID. It holds the one
// set of fields that the exported interface, the shared camera logic and every
// driver class read and write, and declares the 24 virtual operations the
// driver classes implement. The USB transport CCameraFX3 is its base; cooled
// cameras extend it through CCameraCool, and driver classes derive from one of
// the two.
//
// Objects are created by the model factory and deleted through a CCameraBase
// pointer (the destructor is virtual), so the destructors of CCameraCool and of
// the drivers run and drivers may own members.
//
// Locks, outermost first:
//  - m_csStartStop: starting and stopping the capture, trigger and
//    auto-control threads, and replacing the frame buffers, one at a time.
//    Taken only with the control lock released (CStartStopHold does both);
//    no thread body ever takes it.
//  - m_csReadOut: one image read-out at a time. Both exported image readers
//    hold it around the driver's GetImage, which may therefore use m_pImgBuf,
//    m_Alg and the other read-out scratch without a lock of its own.
//  - m_csControl, the control lock (recursive, taken in turn: see
//    S_MUTEX_UNIX). Every operation that changes the camera's state or
//    programs its registers holds it: the exported
//    setters, mode and ROI changes, start and stop, and each register sequence
//    of the capture, auto-control and cooler threads, which take it the plain
//    way (CCritSecLock lock(m_csControl)). A getter answering with several
//    fields reads them under it. Nobody holds it while waiting for a frame or
//    sleeping.
//
// Stop contract: nothing joins a thread while holding a lock the thread may
// take. StopCapture, StopCameraThreads, StopAutoControlThr, InitVariable and
// CloseCamera may be called with the control lock held (taken through
// CCritSecLock): they clear the running flags under it, then give up every
// hold of the calling thread on it while they join, save settings or replace
// buffers, and take it back before they return. State read before such a call
// may have changed after it. A thread body that calls them for itself only
// clears flags, never joins itself.
//
// Fields that another thread reads without the control lock are std::atomic;
// Plain() gives their value where a plain one is needed (logging, std::min).
#ifndef KYR_CAMERA_BASE_H
#define KYR_CAMERA_BASE_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>

#include "KYRCamera.h"
#include "image/CAlgorithm.h"
#include "image/ImageType.h"
#include "platform/Platform.h"
#include "platform/ThreadCtrl.h"
#include "ring/CirBuf.h"
#include "usb/CameraFX3.h"

// Bytes of the device path buffer m_pDevPath (the port path, at most 511 characters).
constexpr int kCameraDevPathBytes = 512;
// Bytes of the dark-frame path m_szBMPPath, terminator included.
constexpr int kBMPPathBytes = 256;
// Entries of the supported-bin list, ended by 0.
constexpr int kSupportedBinSlots = 16;
// Entries of the control list (there are 22 controls).
constexpr int kControlListSlots = 64;
// Bytes of m_pPresetBytes: 5 rows of 16 per-bin pixel offsets.
constexpr int kPresetBytes = 80;
// Value of every preset byte after construction: "no offset set".
constexpr uint8_t kPresetUnset = 127;
// Entries of the 16-bit gamma table.
constexpr int kGammaLUT16Entries = 65536;

// The value of a field, atomic or not, as a plain value: for printf-style
// logging, std::min and the like, which take no std::atomic.
//   DbgPrint2("SetExp", "exp %llu gain %d\n", Plain(m_lExpTimeUs), Plain(m_iGain));
template <class T>
inline T Plain(const std::atomic<T>& value) {
    return value.load();
}
template <class T>
inline T Plain(const T& value) {
    return value;
}

class CCameraBase;
// A driver's capture body: its frame loop, run on the capture or trigger
// capture thread until *pbRunning clears or it ends by itself. The core runs
// it inside RunCaptureThread, which does the entry and exit steps.
typedef void (*CaptureBody)(CCameraBase* pCam, std::atomic<bool>* pbRunning);

class CCameraBase : public CCameraFX3 {
  public:
    CCameraBase();
    // Stops and joins every thread of the object that is still alive, then
    // frees the buffers, the ring and the locks.
    virtual ~CCameraBase();
    CCameraBase(const CCameraBase&) = delete;
    CCameraBase& operator=(const CCameraBase&) = delete;

    // ---- The 24 virtual operations, in slot order ----------------------------
    // Opens the device with m_iVID/m_iPID at the port path m_pDevPath (see
    // OpenDeviceByPath); iDevIndex only picks among devices sharing that path.
    // Without a path, the iDevIndex-th device of the model (from 1).
    virtual bool OpenCamera(int iDevIndex);
    virtual bool InitCamera() = 0;
    // Stops and joins the capture, trigger and auto-control threads whether or
    // not the device is still open; when it is, saves the settings (snap mode;
    // video mode saves in StopCapture) and closes the device.
    virtual void CloseCamera();
    // Raw 8-bit and Y8 are both IMAGE_8BIT here; m_bRawOutput still tells the
    // previous format's choice during the call and is set by the exported
    // setter once the driver has accepted the format.
    virtual bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) = 0;
    // x and y in sensor pixels.
    virtual bool SetStartPos(int iStartX, int iStartY) = 0;
    virtual bool SetGain(int iGain, bool bAuto) = 0;
    // The stored gain; the auto flag into *pbAuto (when not null). No USB traffic.
    virtual int GetGain(bool* pbAuto);
    virtual bool SetGamma(int iGamma);
    virtual int GetGamma();
    // The next seven: false and nothing done unless a driver has its own body.
    virtual bool SetBrightness(int iOffset);
    virtual bool SetHighSpeedMode(bool bOn);
    virtual bool SetHardwareBin(bool bOn);
    virtual bool SetEnableDDR(bool bOn);
    virtual bool SetFPSPerc(int iPercent, bool bAuto);
    virtual bool SetOverCLKPerc(int iPercent);
    virtual bool SetRGBBalance(int iRed, int iBlue, bool bAuto) = 0;
    virtual bool SetPattern(int iPattern);
    virtual bool SetExp(unsigned long long ullExposureUs, bool bAuto) = 0;
    virtual bool GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) = 0;
    virtual float GetSensorTempInside();
    // True when hardware binning is on and the bin is above 1.
    virtual bool IsHardBinRun();
    virtual int SetControlValue(KYR_CONTROL_TYPE controlType, long lValue, bool bAuto);
    virtual int GetControlValue(KYR_CONTROL_TYPE controlType, long* plValue, KYR_BOOL* pbAuto);
    virtual float GetTemp();

    // ---- Lifecycle -----------------------------------------------------------
    // Allocates the frame-size work buffers for m_iMaxWidth x m_iMaxHeight and
    // hands m_iBayer to the image algorithms. Called again, it first stops the
    // threads that use the old buffers (joined with the control lock
    // released) and stops the ring, so waiting readers return, and waits for
    // the image readers to leave (read-out lock); buffers of the same size
    // are then kept, others replaced. False (nothing
    // changed) when the maximum size is not positive or its byte count does
    // not fit an int; false when memory runs out (then no buffer is held).
    bool InitVariable();
    // Closes the device and opens it again by its port path, once more after
    // 1 s when that fails. False at once when no device handle is held.
    bool ReConnectCamera();
    // Logs the operating system's name, version and machine.
    void SysInfo();
    bool StartSensorCLK();
    bool StopSensorCLK();
    // Tells the USB controller the frame length as a count of 49152-byte
    // units, rounded up. False for a negative length.
    bool SetTransferCount(int iBytes);
    // Releases every reader waiting in GetImage: they return false at once, and
    // so does every later GetImage of this object. The exported close calls it
    // before it waits for the calls in flight.
    void ReleaseImageReaders();
    bool ImageReadersReleased() const { return m_bImageReadersReleased.load(); }
    // Stops and joins the capture, trigger and auto-control threads, with the
    // control lock released (see the stop contract). Drivers whose thread
    // bodies use members of their own call it from their destructor.
    void StopCameraThreads();

    // Holds m_csStartStop for its lifetime, after giving up the calling
    // thread's holds on the control lock; they are taken back at the end.
    class CStartStopHold {
      public:
        explicit CStartStopHold(CCameraBase& cam);
        ~CStartStopHold();
        CStartStopHold(const CStartStopHold&) = delete;
        CStartStopHold& operator=(const CStartStopHold&) = delete;

      private:
        CCritSecRelease m_release;
        CCritSecLock m_hold;
    };

    // ---- Capture thread frame (CaptureThread.cpp) ------------------------------
    // Binds a driver's capture body to m_thrWork or m_thrTrigger (no other);
    // false while that thread runs. StartCapture then runs it through
    // RunCaptureThread.
    bool BindCaptureBody(ThreadCtrl& thread, CaptureBody body);
    // Runs one capture: the entry steps (drop count 0, ring emptied, receive
    // buffers from the alternation helper), the body, and always the exit
    // steps, whatever way the body left: drop count 0; its transfer sets
    // cancelled, drained and released; video frames dropped with the run (a
    // snapshot's frame stays for its reader); the ring stopped, so readers
    // return; the markers of the next receive buffer cleared; the auto-control
    // thread it ran stopped and joined; last, a snapshot still WORKING turned
    // into FAILED and the result published in m_iExpStatus, so that a status
    // other than WORKING means the thread has nothing left but its return.
    void RunCaptureThread(CaptureBody body, std::atomic<bool>* pbRunning);
    // Receive-buffer alternation of a capture run, over m_pXferBuf and
    // m_pXferBuf2. RecvBuffer is the buffer to receive the next frame into.
    // OfferRecvFrame offers the frame in it to the ring (arguments as
    // CirBuf::InsertBuff) and, when the ring takes it, switches to the other
    // buffer and points the transfer sets there: the ring reads an
    // accepted frame until it has copied it, and refuses further offers
    // meanwhile, so the buffer being filled is never the one being read.
    // The alternation goes on across runs.
    uint8_t* RecvBuffer();
    int OfferRecvFrame(int iLen, uint16_t usHead, int iHeadPos, uint16_t usTail, int iTailPos, int iCnt0Pos,
                       int iCnt1Pos);
    // Clears the marker words (first and last 4 bytes) of a frame of iLen
    // bytes in pBuf, so that a read that brings nothing new cannot pass the
    // marker check with an old frame's markers.
    static void ClearFrameMarkers(uint8_t* pBuf, int iLen);

    // DbgPrint tagged with the product ID (m_iCameraPID, set by CameraPID).
    void DbgPrint2(const char* szFunction, const char* szFormat, ...) __attribute__((format(printf, 3, 4)));

    // ---- Capture control, camera modes, triggers, guiding --------------------
    bool StartCapture(bool bSnap);
    bool StartExposure();
    bool StopCapture();
    bool GetImageAfterExp(unsigned char* pBuffer, int iBytes);
    bool StartAutoControlThr();
    void StopAutoControlThr();
    bool CameraModeCheck();
    bool GetCameraSupportedMode(KYR_SUPPORTED_MODE* pSupportedMode);
    int SetCameraMode(CAM_MODE mode);
    bool SelectCameraMode(CAM_MODE mode);
    int SetTrigOutPinConf(Trig_Output_Pin pin, bool bPinHigh, long lDelay, long lDuration);
    int GetTrigOutPinConf(Trig_Output_Pin pin, KYR_BOOL* pbPinHigh, long* plDelay, long* plDuration);
    bool PulseGuideOn(GuideD direction);
    bool PulseGuideOff(GuideD direction);
    int EnableDebugLog(KYR_BOOL bEnable);
    int GetDebugLogIsEnabled(KYR_BOOL* pbEnabled);

    // ---- Settings store --------------------------------------------------------
    void InitSubKey();
    bool LoadSetting();
    bool SaveSetting();

    // ---- Camera ID, serial number, hot-pixel table (CameraFlash.cpp) -----------
    // Each flash sequence holds the control lock and has the parallel bus
    // released to the flash for its length, taken back on every path.
    // The 256-byte ID page: "ID", the 8-byte camera ID, the rest kept.
    bool ReadSPI(uint8_t* pOut, int iOffset, int iLength);
    bool WriteSPI(const uint8_t* pData, int iOffset, int iLength);
    bool GetIDFromSPI(KYR_ID* pID);
    bool SetIDToSPI(KYR_ID id);
    // The factory serial; false (pSN untouched) when the request fails or the
    // camera has none (all zero).
    bool GetSerialNumber(KYR_ID* pSN);
    // Hot-pixel table: "KYRD" (pairs) or "KYRG" (plain), big-endian total
    // length, payload. Both return a new[] buffer (the caller delete[]s it) or
    // null; Uncompress gives the decoded bytes in *piOutLength when not null.
    uint8_t* Compress(const uint8_t* pData, int iLength, int* piOutLength, bool bPairs);
    uint8_t* Uncompress(const uint8_t* pTable, int iLength, bool bPairs, int* piOutLength = nullptr);
    bool CompressAndWriteIntoFLASH(const uint8_t* pData, unsigned int iLength, bool bPairs);
    bool ReadFromFLAHAndUnCompress(uint8_t* pOut, unsigned int iLength, bool bPairs);
    // The hot-pixel map from the dark frame into flash, and back into m_pHotPixMap.
    bool SaveHPCTable();
    bool LoadHPCTable();
    bool SetHPCStates(bool bOn);
    // True while a rebuild is requested or the geometry differs from the one
    // the hot-pixel list was built for: m_iHPCParam holds bin, width, height,
    // start x and start y, m_bHPCHardwareBin the hardware-bin flag.
    bool IsHPCChange();

    // ---- Temperature -----------------------------------------------------------
    // Reads the source m_iTempSensorType names (0 and unknown values TMP100,
    // 1 8-bit thermistor converter, 2 12-bit converter, 3 TMP451, 4 the
    // driver's GetSensorTempInside) and keeps the result in m_fSensorTemp.
    float GetSensorTemp();
    // Each returns the new reading, or the last good one when the request
    // failed or came back short, or the reading means nothing.
    float GetTMP100Temp();
    float GetTMP451Temp();
    float GetAD7142Temp();
    float GetADC081Temp();
    // Thermistor against iRefKOhm read by the 12-bit and the 8-bit converter.
    // Outside the table (m_iTempTabMin..m_iTempTabMax): m_fThermTemp unchanged.
    float CalculTempuature(int iAdc, int iRefKOhm);
    float CalculTempuature(unsigned char ucAdc, int iRefKOhm);

    // ---- Frame post-processing -------------------------------------------------
    // The corrections the image operation runs on each frame in m_pImgBuf, in
    // this order: SubtractDark (or DoGetDark while a dark frame is taken),
    // ApplyGamma, HandleHotPixels, then binning, flip and conversion, and
    // AddTimeMark last. Locks, always taken in this order when nested:
    // m_csDarkBuf, m_csDarkSub, m_csHotPixel; m_csHPCTable and m_mtxGamma
    // stand alone. The geometry is read under m_csControl, taken before any.
    //
    // Maps a frame of iWidth x iHeight pixels through the 8- or 16-bit gamma
    // table; nothing at gamma 50 (the tables are the identity then).
    void ApplyGamma(unsigned char* pBuf, int iWidth, int iHeight, bool b16Bit);
    // Repairs the listed hot pixels and defective rows of the frame in
    // m_pImgBuf, then the dark frame's hot pixels while subtraction is on.
    void HandleHotPixels();
    // Replaces hot pixel (iX, iY) of the frame in m_pImgBuf by the mean of its
    // neighbours that are not hot or were repaired before it (index below iIndex).
    int DeNoiseHPC(int iX, int iY, int iIndex);
    // Rebuilds the hot-pixel map, row flags and list for the current geometry
    // when it changed (IsHPCChange) and a hot-pixel map is held.
    void AdjustHPCTable();
    // Starts (the number of frames to average, 0 when refused) or stops a
    // dark acquisition. Only the full sensor at bin 1, 8-bit, without
    // hardware binning, can be taken as a dark frame.
    int GettingDark(bool bOn, unsigned long long ullUnused = 0);
    // Adds the frame in m_pImgBuf to the dark acquisition in progress.
    void DoGetDark();
    // Cuts the dark frame to the current geometry and computes its mean and hot list.
    void AdjustDarkBuff();
    // Subtracts the dark frame from the frame in m_pImgBuf, keeping its mean level.
    void SubtractDark();
    // Dark subtraction on or off; off frees the dark frame.
    void UsingDark(bool bOn);
    // 1 loaded, 6 path not usable, 0 or 7 not a usable dark frame. On any
    // failure but a file that does not open the previous dark frame stays.
    int LoadBMPFromFile(const char* szPath);
    // Writes an 8-bit grey BMP of the rows of pData in order; 1 written, 0 not.
    int CreateBMP(int iWidth, int iHeight, const unsigned char* pData, const char* szPath);
    // Writes the dark frame; 1 written (the path is recorded), 0 not.
    int SaveBMPToFile(const char* szPath);
    // Draws the local date and time into an IMAGE_8BIT or IMAGE_RGB24 image
    // iWidth pixels wide and m_iHeight rows high.
    void AddTimeMark(unsigned char* pImage, int iWidth, IMAGE_TYPE imageType);

    // ---- Auto exposure, gain and white balance --------------------------------
    void SetAutoPara(int iMaxGain, int iMaxExpMs, int iTargetBrightness);
    void GetAutoPara(int* piMaxGain, int* piMaxExpMs, int* piTargetBrightness);
    // One auto exposure / gain step, and one white-balance step (colour
    // cameras only), from a frame of the current geometry. lFrameBytes is the
    // buffer's size; -1 stands for the size of the frame buffers, which every
    // receive buffer has. Each step holds the control lock throughout.
    void AutoExpGain(const unsigned char* pFrame, long lFrameBytes = -1);
    void AutoWhiBal(const unsigned char* pFrame, long lFrameBytes = -1);
    void AutoWB_RAW(const unsigned char* pFrame, long lFrameBytes = -1);
    // The same steps on the frame the ring received last; nothing before the
    // first frame after a ring reset.
    void AutoExpGainFromRing();
    void AutoWhiBalFromRing();
    // Body of the auto-control thread m_thrAutoCtrl.
    static void SetGainExpFunc(std::atomic<bool>* pbRunning, void* pArg);
    // Fixes the sampling jitter of the brightness measure.
    void SeedAutoSamplingForTest(uint32_t uSeed);

    // ---- Controls and camera description ---------------------------------------
    // One of the 22 control types (compared unsigned: negatives are not).
    static bool IsControlType(KYR_CONTROL_TYPE controlType);
    // lValue cut to the limits of a control type's capability record.
    long ClampToControl(KYR_CONTROL_TYPE controlType, long lValue);
    int GetNumOfControls();
    bool GetControlCaps(int iIndex, KYR_CONTROL_CAPS* pCaps);
    bool GetCtrllCaps(KYR_CONTROL_TYPE controlType, KYR_CONTROL_CAPS* pCaps);
    void GetCameraProperty(KYR_CAMERA_INFO* pInfo);
    bool IsImgTypeSupported(IMG_TYPE imgType);
    // False when the FPGA refused the bin type (m_bMonoBin then unchanged).
    bool SetMonoBin(bool bOn);
    bool GetMonoBin();

    // ---- Fields, in their fixed order -------------------------------------------
    char* m_pDevPath = nullptr;  // port path, kCameraDevPathBytes bytes
    int m_iWidth = 0;            // image width after binning
    int m_iMaxWidth = 0;
    int m_iHeight = 0;
    int m_iMaxHeight = 0;
    int m_iBin = 1;
    std::atomic<uint64_t> m_lExpTimeUs{0};
    std::atomic<int> m_iExpLines{0};
    std::atomic<bool> m_bLongExpMode{false};
    std::atomic<bool> m_bSnapMode{false};
    std::atomic<bool> m_bHardwareBin{false};
    std::atomic<int> m_iGain{0};
    std::atomic<int> m_iGamma{0};
    int m_iBrightness = 0;
    int m_iDevIndex = 0;  // OpenCamera's index, for ReConnectCamera
    // The product ID the device enumerated with, which opening and
    // reconnecting look for; 0: m_iPID. A class may serve several product
    // IDs while m_iPID keeps the model's own.
    int m_iUsbPID = 0;
    int m_iFclk = 0;      // sensor clock in kHz
    std::atomic<bool> m_bOutput16Bits{false};
    bool m_bHighSpeed = false;
    std::atomic<bool> m_bRawOutput{false};
    // Line length and frame timing: the capture and auto-control threads
    // read them without the control lock.
    std::atomic<uint16_t> m_usHMAX{0};
    std::atomic<uint32_t> m_iFrameTimeUs{0};
    std::atomic<uint32_t> m_iXferTimeUs{0};
    std::atomic<int> m_iFPSPerc{0};
    std::atomic<bool> m_bAutoFPS{false};
    std::atomic<bool> m_bFlipRow{false};
    std::atomic<bool> m_bFlipColumn{false};
    std::atomic<int> m_iWBRed{0};
    std::atomic<int> m_iWBBlue{0};
    int m_iPattern = 0;
    std::atomic<bool> m_bAutoExp{false};
    std::atomic<bool> m_bAutoGain{false};
    std::atomic<bool> m_bAutoWB{false};
    std::atomic<bool> m_bTimeMark{false};
    int m_iStartX = 0;  // ROI start in sensor pixels
    int m_iStartY = 0;
    int m_iBLOffset = 0;
    bool m_bAutoBL = false;
    bool m_bBLOffsetSet = false;
    uint8_t m_ucChanOffset[4] = {0, 0, 0, 0};  // "EE", "OO", "EO", "OE"
    int m_iImgType = IMAGE_8BIT;
    std::atomic<int> m_iAutoGainMax{50};
    std::atomic<int> m_iAutoExpMaxMs{30000};
    std::atomic<int> m_iDestBrightness{100};
    bool m_bUSB3Host = false;
    std::atomic<bool> m_bHPCOn{false};
    std::atomic<bool> m_bCutDark{false};
    char m_szBMPPath[kBMPPathBytes] = {};
    std::atomic<int> m_iExpStatus{KYR_EXP_IDLE};
    std::atomic<int> m_iSnapStatus{KYR_EXP_IDLE};
    std::atomic<float> m_fCoolPowerPerc{0.0f};
    std::atomic<bool> m_bAutoTempOn{false};
    std::atomic<float> m_fSensorTemp{0.0f};
    std::atomic<int> m_iHumidity{0};
    std::atomic<int> m_iTargetTemp{0};
    int m_iOverCLKPerc = 0;
    float m_fMaxDataRate = 0.0f;
    float m_fMaxFPS = 0.0f;
    bool m_bUSB3Camera = false;
    float m_fElecPerADU = 0.0f;
    int m_iOffsetHighestDR = -1;
    int m_iOffsetUnityGain = -1;
    int m_iUnityGain = -1;
    bool m_bDarkBinSum = false;
    int m_iGainLowestRN = -1;
    int m_iOffsetLowestRN = -1;
    std::atomic<bool> m_bMonoBin{false};
    std::atomic<bool> m_bDebugPrint{false};
    bool m_bDDREnable = false;
    int m_iTempSensorType = 0;
    int m_iCoolerCtrlType = 0;
    bool m_bFPGAMonoBin = false;
    std::atomic<int> m_iCameraMode{CAM_MODE_NORMAL};
    bool m_bTrigOutAHigh = true;
    bool m_bTrigOutBHigh = true;
    int m_iTrigOutDelay[4] = {0, 0, 0, 0};  // pin A delay, A duration, pin B delay, B duration
    int m_iLibusbLogLevel = 0;
    int m_iPID = 0;
    int m_iVID = 0;
    int m_iBandwidthMin = 0;
    int m_iBandwidthMax = 0;
    int m_iMaxExpUs = 0;
    char* m_pszName = nullptr;
    char* m_pszShortName = nullptr;
    double m_dPixelSize = 0.0;
    int m_iADCBits = 0;
    int m_iBayer = 0;
    uint8_t m_ucSupportedBins[kSupportedBinSlots] = {1};
    bool m_bCapGain = false;
    bool m_bCapExposure = false;
    bool m_bCapGamma = false;
    bool m_bCapOffset = false;
    bool m_bCapBandWidth = false;
    bool m_bCapWBR = false;
    bool m_bCapWBB = false;
    bool m_bCapRaw8 = false;
    bool m_bCapRGB24 = false;
    bool m_bCapY8 = false;
    bool m_bCapRaw16 = false;
    bool m_bCapAutoBandWidth = false;
    bool m_bColor = false;
    bool m_bCapOverCLK = false;
    bool m_bCapTemperature = false;
    bool m_bCapHardwareBin = false;
    bool m_bCapHighSpeed = false;
    bool m_bCooler = false;
    bool m_bCapPattern = false;
    bool m_bCapAntiDew = false;
    bool m_bST4 = false;
    bool m_bTriggerCam = false;
    bool m_bTrigEdge = false;
    bool m_bTrigLevel = false;
    // Set by a driver whose trigger capture thread really completes a
    // snapshot. Without it the camera offers no trigger mode, whatever FPGA
    // register 28 says (CameraModeCheck).
    bool m_bTrigSnapCapture = false;
    int m_iGainDef = 0;
    int m_iGainMax = 0;
    int m_iGainMin = 0;
    int m_iExpDef = 0;
    int m_iExpMax = 0;
    int m_iExpMin = 0;
    int m_iGammaDef = 0;
    int m_iGammaMax = 0;
    int m_iGammaMin = 0;
    int m_iWBRDef = 0;
    int m_iWBBDef = 0;
    int m_iWBMax = 0;
    int m_iWBMin = 0;
    int m_iOffsetDef = 0;
    int m_iOffsetMax = 0;
    int m_iOffsetMin = 0;
    int m_iBandWidthMin = 0;
    int m_iBandWidthMax = 0;
    int m_iPatternMax = 0;
    int m_iPatternMin = 0;
    int m_iHeaterLevel = 0;
    uint8_t m_ucGammaLUT8[256] = {};
    uint16_t* m_pGammaLUT16 = nullptr;  // kGammaLUT16Entries entries
    int m_iHPCCount = 0;
    uint32_t* m_pHPCTable = nullptr;
    S_MUTEX_UNIX m_csHotPixel;
    S_MUTEX_UNIX m_csHPCTable;
    S_MUTEX_UNIX m_csDarkBuf;
    S_MUTEX_UNIX m_csDarkSub;  // taken after m_csDarkBuf when both are needed
    uint8_t* m_pHotPixMap = nullptr;
    uint8_t* m_pHotPixRoi = nullptr;
    uint8_t* m_pHPCRows = nullptr;
    uint8_t* m_pHPCCols = nullptr;
    bool m_bHPCHardwareBin = false;
    bool m_bHPCRebuild = true;
    int m_iHPCParam[5] = {0, 0, 0, -1, -1};
    uint8_t* m_pDarkBuf = nullptr;
    uint8_t* m_pDarkRoi = nullptr;
    int m_iDarkRoiW = 0;
    int m_iDarkRoiH = 0;
    int m_iHPCRoiW = 0;
    int m_iHPCRoiH = 0;
    std::atomic<float> m_fThermTemp{0.0f};
    std::atomic<bool> m_bGettingDark{false};
    int m_iDarkFrames = 1;
    int m_iDarkFrameNo = 0;
    int m_iDarkAvg = 0;
    int m_iDarkHotCount = 0;
    uint32_t* m_pDarkHotList = nullptr;
    std::atomic<int> m_iDroppedFrames{0};
    uint8_t* m_pImgBuf = nullptr;
    CirBuf* m_pCirBuf = nullptr;
    uint8_t* m_pXferBuf = nullptr;
    uint8_t* m_pXferBuf2 = nullptr;
    int m_iFPSPercUSB3Def = 0;
    int m_iControlList[kControlListSlots] = {};
    int m_iNumOfControls = 0;
    int m_iStartPosCache[6] = {-1, -1, -1, -1, -1, -1};
    int m_iLastExpSet = -1;
    bool m_bLastExpAuto = false;
    // What the last successful exposure request left in m_lExpTimeUs and
    // m_bAutoExp: the request is repeated only while both still hold it.
    uint64_t m_ullLastExpLeftUs = 0;
    bool m_bLastExpAutoLeft = false;
    int m_iPktSize = 33;
    ThreadCtrl m_thrWork;
    ThreadCtrl m_thrTrigger;
    char* m_pszSubKey = nullptr;
    uint8_t* m_pPresetBytes = nullptr;  // kPresetBytes bytes
    CAlgorithm m_Alg;
    int m_iTempTabMax = 113;  // range of the thermistor table, degrees C
    int m_iTempTabMin = -50;
    int m_iAutoCtrlPeriodUs = 0;
    ThreadCtrl m_thrAutoCtrl;
    // Jitter of the brightness sampling, seeded from the clock at
    // construction; drawn under the control lock.
    std::minstd_rand m_AutoSampleRng;

    // The control lock (recursive).
    S_MUTEX_UNIX m_csControl;
    // Start/stop and read-out locks (see the lock list at the top).
    S_MUTEX_UNIX m_csStartStop;
    S_MUTEX_UNIX m_csReadOut;
    // Guards the two gamma tables and m_iGamma's use by the gamma pass.
    std::mutex m_mtxGamma;
    // Dark frame being accumulated; it replaces m_pDarkBuf once complete (m_csDarkBuf).
    std::unique_ptr<uint8_t[]> m_pDarkAcc;

  private:
    static void WorkThreadMain(std::atomic<bool>* pbRunning, void* pArg);
    static void TriggerThreadMain(std::atomic<bool>* pbRunning, void* pArg);
    // Stops and joins one thread with the control lock released.
    void JoinThread(ThreadCtrl& thread);
    // True on the capture, trigger or auto-control thread of this object.
    bool OnCameraThread();
    // Clears the running flags of those three threads, without joining.
    void RequestThreadsStop();
    // Deletes a frame buffer unless a transfer that never came back may still
    // write into it; such a buffer is left allocated (and logged).
    void DeleteXferTarget(uint8_t*& pBuf, size_t bytes);
    // Temperature of a thermistor resistance, by the thermistor table.
    float ThermistorTemp(float fResKOhm);
    // Frees the buffers InitVariable allocates and nulls their pointers.
    void ReleaseFrameBuffers();

    std::atomic<bool> m_bImageReadersReleased{false};
    std::atomic<CaptureBody> m_pWorkBody{nullptr};
    std::atomic<CaptureBody> m_pTriggerBody{nullptr};
    // Receive buffer of the next frame (0 m_pXferBuf, 1 m_pXferBuf2) and bytes
    // of the last frame offered (for the exit's marker clearing). The capture
    // threads use them; atomic, as both may be alive at once.
    std::atomic<int> m_iRecvBuf{0};
    std::atomic<int> m_iRecvLen{0};
    size_t m_uFrameBufBytes = 0;  // bytes of each of m_pXferBuf, m_pXferBuf2 and m_pImgBuf
};

#endif

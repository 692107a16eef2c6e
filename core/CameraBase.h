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
// Locks: m_csControl is the camera's control lock (recursive). Every operation
// that changes the camera's state or programs its registers holds it: the
// exported setters, mode and ROI changes, start and stop, and each register
// sequence of the capture, auto-control and cooler threads. Nobody holds it
// while waiting for a frame, sleeping, or joining a thread that may need it.
// Fields that another thread reads without that lock are std::atomic.
#ifndef KYR_CAMERA_BASE_H
#define KYR_CAMERA_BASE_H

#include <stdint.h>

#include <atomic>
#include <random>

#include "CAlgorithm.h"
#include "CameraFX3.h"
#include "CirBuf.h"
#include "ImageType.h"
#include "KYRCamera.h"
#include "Platform.h"
#include "ThreadCtrl.h"

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
    // threads that use the old buffers, then releases them. False (nothing
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
    // Stops and joins the capture, trigger and auto-control threads. Drivers
    // whose thread bodies use members of their own call it from their destructor.
    void StopCameraThreads();

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

    // ---- Camera ID, serial number, hot-pixel table -----------------------------
    bool GetIDFromSPI(KYR_ID* pID);
    bool SetIDToSPI(KYR_ID id);
    bool GetSerialNumber(KYR_ID* pSN);
    bool SetHPCStates(bool bOn);

    // ---- Temperature -----------------------------------------------------------
    float GetSensorTemp();

    // ---- Frame post-processing -------------------------------------------------
    // 1 loaded, 6 path not usable, 0 or 7 not a usable dark frame.
    int LoadBMPFromFile(const char* szPath);
    void UsingDark(bool bOn);

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
    int m_iFclk = 0;      // sensor clock in kHz
    std::atomic<bool> m_bOutput16Bits{false};
    bool m_bHighSpeed = false;
    std::atomic<bool> m_bRawOutput{false};
    uint16_t m_usHMAX = 0;
    uint32_t m_iFrameTimeUs = 0;
    uint32_t m_iXferTimeUs = 0;
    int m_iFPSPerc = 0;
    bool m_bAutoFPS = false;
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
    int m_iTempTabMax = 0;
    int m_iTempTabMin = 0;
    int m_iAutoCtrlPeriodUs = 0;
    ThreadCtrl m_thrAutoCtrl;
    // Jitter of the brightness sampling, seeded from the clock at
    // construction; drawn under the control lock.
    std::minstd_rand m_AutoSampleRng;

    // The control lock (recursive).
    S_MUTEX_UNIX m_csControl;

private:
    // Frees the buffers InitVariable allocates and nulls their pointers.
    void ReleaseFrameBuffers();

    std::atomic<bool> m_bImageReadersReleased{false};
};

#endif

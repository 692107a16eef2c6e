// The camera object's life: construction, opening the USB device, the work
// buffers, closing, destruction and reconnection, plus the base bodies of the
// virtual operations and the small device services that belong to that life.
#include "camera/CameraBase.h"

#include <libusb.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>
#include <time.h>

#include <new>

#include "platform/Log.h"
#include "usb/DevPath.h"

namespace {

// The USB controller counts a frame in units of this many bytes.
constexpr int kXferCountUnit = 49152;
// Packet-size constant of the large-format models on a USB 3 and a USB 2 host.
constexpr int kPktSizeUSB3 = 33;
constexpr int kPktSizeUSB2 = 97;
// The camera answers on configuration 1, interface 0.
constexpr int kUsbConfiguration = 1;
constexpr int kUsbInterface = 0;
// Frame ring slots: one frame can be read out while the next is copied in.
constexpr int kRingSlots = 2;
// Reconnection: time for the controller to drop the old handle, settle time
// before the reopen, and the pause before the one retry.
constexpr uint32_t kReconnectCloseMs = 100;
constexpr uint32_t kReconnectSettleMs = 50;
constexpr uint32_t kReconnectRetryMs = 1000;

template <class T>
void DeleteArray(T*& p) {
    delete[] p;
    p = nullptr;
}

}  // namespace

CCameraBase::CCameraBase() {
    SysInfo();
    InitializeCriticalSection(&m_csHotPixel);
    InitializeCriticalSection(&m_csHPCTable);
    InitializeCriticalSection(&m_csDarkBuf);
    InitializeCriticalSection(&m_csDarkSub);
    // Taken in turn: a caller setting controls in a loop must not keep the
    // capture and auto-control threads from their register sequences.
    InitializeFairCriticalSection(&m_csControl);
    InitializeCriticalSection(&m_csStartStop);
    InitializeCriticalSection(&m_csReadOut);
    m_pDevPath = new char[kCameraDevPathBytes];
    memset(m_pDevPath, 0, kCameraDevPathBytes);
    m_pPresetBytes = new uint8_t[kPresetBytes];
    memset(m_pPresetBytes, kPresetUnset, kPresetBytes);
    m_Alg.RGBYUV_Init();
    m_AutoSampleRng.seed(static_cast<std::minstd_rand::result_type>(time(nullptr)));
}

CCameraBase::~CCameraBase() {
    DbgPrint(-1, "~CCameraBase", "~CCameraBase\n");
    // Nothing may be freed under a thread that still runs: a close that found
    // the device gone, or no close at all, can leave them alive.
    ReleaseImageReaders();
    StopCameraThreads();
    // Transfers go back before any buffer they may target is freed; a buffer
    // that a transfer which never came back still targets is kept.
    releaseAllAsyncXfers();
    ReleaseFrameBuffers();
    DeleteArray(m_pDarkBuf);
    DeleteArray(m_pDarkRoi);
    DeleteArray(m_pDarkHotList);
    DeleteArray(m_pHPCRows);
    DeleteArray(m_pHPCCols);
    DeleteArray(m_pHPCTable);
    DeleteArray(m_pPresetBytes);
    DeleteArray(m_pszSubKey);
    DeleteArray(m_pDevPath);
    DeleteCriticalSection(&m_csHotPixel);
    DeleteCriticalSection(&m_csHPCTable);
    DeleteCriticalSection(&m_csDarkBuf);
    DeleteCriticalSection(&m_csDarkSub);
    DeleteCriticalSection(&m_csControl);
    DeleteCriticalSection(&m_csStartStop);
    DeleteCriticalSection(&m_csReadOut);
}

void CCameraBase::SysInfo() {
    struct utsname info;
    if (uname(&info) != 0) {
        perror("uname");
        return;
    }
    DbgPrint(-1, "SysInfo", "%s\n", info.sysname);
    DbgPrint(-1, "SysInfo", "%s\n", info.version);
    DbgPrint(-1, "SysInfo", "%s\n", info.machine);
}

void CCameraBase::DbgPrint2(const char* szFunction, const char* szFormat, ...) {
    if (!g_bDebugPrint) return;
    // The message is formatted here and passed on as text, so a percent sign
    // it contains is not read as a format again.
    char message[256];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(message, sizeof(message), szFormat, args);
    va_end(args);
    DbgPrint(m_iCameraPID, szFunction, "%s", message);
}

// ---- Open -------------------------------------------------------------------

bool CCameraBase::OpenCamera(int iDevIndex) {
    if (m_bOpened) return true;
    m_iDevIndex = iDevIndex;
    const int usbPID = m_iUsbPID != 0 ? m_iUsbPID : m_iPID;
    if (m_iVID == 0 || usbPID == 0) {
        DbgPrint(-1, "OpenCamera", "PID or PID is not assigned\n");
        return false;
    }
    // A failed libusb_init left no context: libusb cannot be asked anything.
    if (!m_pUsbContext) {
        DbgPrint(-1, "OpenCamera", "no libusb context\n");
        DbgPrint(-1, "OpenCamera", "open camera fail\n");
        return false;
    }
    int logLevel = m_iLibusbLogLevel;
    if (logLevel < LIBUSB_LOG_LEVEL_NONE) logLevel = LIBUSB_LOG_LEVEL_NONE;
    if (logLevel > LIBUSB_LOG_LEVEL_DEBUG) logLevel = LIBUSB_LOG_LEVEL_DEBUG;
    libusb_set_option(m_pUsbContext, LIBUSB_OPTION_LOG_LEVEL, logLevel);

    // The device is found by its port path: after an unplug and replug the
    // n-th device of the model may be another camera, even one that is open
    // under another ID. Only without a path does the index choose alone.
    libusb_device_handle* handle = nullptr;
    if (m_pDevPath[0] != '\0') {
        handle = OpenDeviceByPath(m_pUsbContext, static_cast<uint16_t>(m_iVID), static_cast<uint16_t>(usbPID),
                                  m_pDevPath, iDevIndex);
    } else if (iDevIndex >= 1 && iDevIndex <= UINT8_MAX) {
        handle = libusb_open_device_with_vid_pid_index(m_pUsbContext, static_cast<uint16_t>(m_iVID),
                                                       static_cast<uint16_t>(usbPID),
                                                       static_cast<uint8_t>(iDevIndex));
        // Remember where it was, so that a reconnection finds this camera again.
        if (handle) GetDevPath(libusb_get_device(handle), m_pDevPath, kCameraDevPathBytes);
    }
    if (!handle) {
        DbgPrint(-1, "OpenCamera", "open camera fail\n");
        return false;
    }
    libusb_set_configuration(handle, kUsbConfiguration);  // already set on most hosts; the claim tells
    // Without the interface no request of ours is safe: another program holds it.
    if (libusb_claim_interface(handle, kUsbInterface) != 0) {
        libusb_close(handle);
        DbgPrint(-1, "OpenCamera", "open camera fail\n");
        return false;
    }
    {
        CCritSecLock lock(m_csUsb);
        m_hDevice = handle;
        m_bOpened = true;
    }
    DbgPrint(-1, "OpenCamera", "open camera success\n");

    uint8_t firmwareVer = 0;
    if (!GetFirmwareVer(&firmwareVer)) {
        CloseCamera();
        CloseDevice();  // also when a driver's CloseCamera left the device open
        m_bOpened = false;
        DbgPrint(-1, "OpenCamera", "Failed to get firmware version, close camera\n");
        return false;
    }
    m_ucFirmwareVer = firmwareVer;

    m_bUSB3Host = IsUSB3Host();
    if (m_bUSB3Host) {
        DbgPrint(-1, "OpenCamera", "***********USB3.0 Host*********** \n");
        m_iPktSize = kPktSizeUSB3;
        m_iFPSPerc = m_iFPSPercUSB3Def;
    } else {
        DbgPrint(-1, "OpenCamera", "***********USB2.0 Host***********\n");
        m_iPktSize = kPktSizeUSB2;
    }
    CameraModeCheck();
    return m_bOpened;
}

// ---- Work buffers -------------------------------------------------------------

void CCameraBase::DeleteXferTarget(uint8_t*& pBuf, size_t bytes) {
    if (pBuf && IsXferTarget(pBuf, bytes)) {
        DbgPrint(-1, "ReleaseFrameBuffers", "a transfer in flight targets a buffer: kept\n");
        pBuf = nullptr;
        return;
    }
    DeleteArray(pBuf);
}

void CCameraBase::ReleaseFrameBuffers() {
    // The ring's insert thread is stopped by the ring itself when it goes.
    delete m_pCirBuf;
    m_pCirBuf = nullptr;
    DeleteArray(m_pGammaLUT16);
    DeleteArray(m_pHotPixMap);
    DeleteArray(m_pHotPixRoi);
    DeleteXferTarget(m_pXferBuf, m_uFrameBufBytes);
    DeleteXferTarget(m_pXferBuf2, m_uFrameBufBytes);
    DeleteXferTarget(m_pImgBuf, m_uFrameBufBytes);
    m_uFrameBufBytes = 0;
}

bool CCameraBase::InitVariable() {
    if (m_iMaxWidth <= 0 || m_iMaxHeight <= 0) {
        DbgPrint(-1, "InitVariable", "invalid size %d x %d\n", m_iMaxWidth, m_iMaxHeight);
        return false;
    }
    // A frame is at most W x H pixels of 2 bytes, and frame lengths travel as int.
    const uint64_t pixels = static_cast<uint64_t>(m_iMaxWidth) * static_cast<uint64_t>(m_iMaxHeight);
    if (pixels * 2 > static_cast<uint64_t>(INT_MAX)) {
        DbgPrint(-1, "InitVariable", "size %d x %d too large\n", m_iMaxWidth, m_iMaxHeight);
        return false;
    }
    const size_t mapBytes = static_cast<size_t>(pixels);
    const size_t frameBytes = mapBytes * 2;

    // No capture starts while the buffers are replaced, and the threads that
    // read and write the old buffers end (joined with the control lock
    // released) before the buffers go.
    CStartStopHold startStop(*this);
    StopCameraThreads();
    // Readers waiting in the ring return: no capture runs now.
    {
        CCritSecLock lock(m_csControl);
        if (m_pCirBuf) m_pCirBuf->SetStopped(true);
    }
    // Buffers of the same size are kept: a reader may still be inside the ring
    // (an image call of another call slot), so it is replaced only when the
    // size really changes. The kept ring is emptied and stopped.
    const bool bKeep = m_pCirBuf && m_pCirBuf->IsValid() &&
                       m_pCirBuf->SlotBytes() == static_cast<long>(frameBytes) && m_pGammaLUT16 &&
                       m_pHotPixMap && m_pHotPixRoi && m_pXferBuf && m_pXferBuf2 && m_pImgBuf;
    // Before the ring and the read-out scratch (m_pImgBuf, m_Alg) change or
    // go, the readers still inside leave them: the read-out lock waits for
    // them, and keeps new ones out until the new buffers are in place.
    CCritSecLock readOut(m_csReadOut);
    CCritSecLock lock(m_csControl);
    m_Alg.SetBayer(m_iBayer);
    if (bKeep) {
        m_pCirBuf->ResetCirBuff();
        memset(m_pHotPixMap, 0, mapBytes);
        memset(m_pHotPixRoi, 0, mapBytes);
        return true;
    }
    // The transfer sets point into the old receive buffers.
    releaseAllAsyncXfers();
    ReleaseFrameBuffers();

    m_pGammaLUT16 = new (std::nothrow) uint16_t[kGammaLUT16Entries];
    m_pHotPixMap = new (std::nothrow) uint8_t[mapBytes]();
    m_pHotPixRoi = new (std::nothrow) uint8_t[mapBytes]();
    m_pXferBuf = new (std::nothrow) uint8_t[frameBytes];
    m_pXferBuf2 = new (std::nothrow) uint8_t[frameBytes];
    m_pImgBuf = new (std::nothrow) uint8_t[frameBytes];
    m_pCirBuf = new (std::nothrow) CirBuf(static_cast<long>(frameBytes), kRingSlots);
    m_uFrameBufBytes = frameBytes;
    if (!m_pGammaLUT16 || !m_pHotPixMap || !m_pHotPixRoi || !m_pXferBuf || !m_pXferBuf2 || !m_pImgBuf ||
        !m_pCirBuf || !m_pCirBuf->IsValid()) {
        DbgPrint(-1, "InitVariable", "memory fail\n");
        ReleaseFrameBuffers();
        return false;
    }
    // No capture runs yet: a reader of the new ring returns at once.
    m_pCirBuf->SetStopped(true);
    if (!m_pCirBuf->StartInstBufThr()) {
        DbgPrint(-1, "InitVariable", "insert thread start fail\n");
        ReleaseFrameBuffers();
        return false;
    }
    return true;
}

// ---- Close, threads, readers --------------------------------------------------

void CCameraBase::ReleaseImageReaders() {
    m_bImageReadersReleased = true;
    // Readers waiting in the ring wake and find it stopped. The control lock
    // keeps InitVariable from replacing the ring meanwhile.
    CCritSecLock lock(m_csControl);
    if (m_pCirBuf) m_pCirBuf->SetStopped(true);
}

bool CCameraBase::OnCameraThread() {
    return m_thrWork.IsCurrentThread() || m_thrTrigger.IsCurrentThread() || m_thrAutoCtrl.IsCurrentThread();
}

void CCameraBase::RequestThreadsStop() {
    m_thrWork.RequestStop();
    m_thrTrigger.RequestStop();
    m_thrAutoCtrl.RequestStop();
}

void CCameraBase::StopCameraThreads() {
    // A thread cannot join itself, and whoever stops the camera may be
    // joining it while holding the start/stop lock: from a body, only ask.
    if (OnCameraThread()) {
        RequestThreadsStop();
        return;
    }
    CStartStopHold startStop(*this);
    RequestThreadsStop();  // all three wind down at once
    // The capture threads first: in video mode they run the auto-control thread.
    m_thrWork.Stop();
    m_thrTrigger.Stop();
    m_thrAutoCtrl.Stop();
}

void CCameraBase::JoinThread(ThreadCtrl& thread) {
    CCritSecRelease release(m_csControl);
    thread.Stop();
}

CCameraBase::CStartStopHold::CStartStopHold(CCameraBase& cam)
    : m_release(cam.m_csControl), m_hold(cam.m_csStartStop) {}

CCameraBase::CStartStopHold::~CStartStopHold() = default;

void CCameraBase::CloseCamera() {
    // Saving and joining take no camera lock; no capture starts meanwhile.
    CStartStopHold startStop(*this);
    ReleaseImageReaders();
    if (m_bOpened) {
        if (m_bSnapMode) SaveSetting();  // in video mode StopCapture saves them
        StopCapture();
    }
    // Whatever StopCapture did, and also when the device has gone (a failed
    // reconnection cleared m_bOpened): no thread may outlive the close.
    StopCameraThreads();
    if (!m_bOpened) return;
    CloseDevice();
    DbgPrint(-1, "CloseCamera", "camera closed\n");
}

bool CCameraBase::ReConnectCamera() {
    DbgPrint(-1, "ReConnectCamera", "reconnect camera\n");
    {
        CCritSecLock lock(m_csUsb);
        if (!m_hDevice) return false;
    }
    CloseDevice();
    Sleep(kReconnectCloseMs);
    DbgPrint(-1, "ReConnectCamera", "camera closed\n");
    Sleep(kReconnectSettleMs);
    if (OpenCamera(m_iDevIndex)) return true;
    Sleep(kReconnectRetryMs);
    return OpenCamera(m_iDevIndex);
}

// ---- Device services ------------------------------------------------------------

bool CCameraBase::StartSensorCLK() { return SendCMD(VR_CMD_AF); }

bool CCameraBase::StopSensorCLK() { return SendCMD(VR_CMD_AE); }

bool CCameraBase::SetTransferCount(int iBytes) {
    if (iBytes < 0) return false;
    const uint32_t count =
        static_cast<uint32_t>(iBytes / kXferCountUnit + (iBytes % kXferCountUnit != 0 ? 1 : 0));
    return SendCMD(VR_SET_XFER_COUNT, static_cast<uint16_t>(count >> 16),
                   static_cast<uint16_t>(count & 0xFFFF), false, nullptr, 0);
}

// ---- Base bodies of the virtual operations ----------------------------------------

int CCameraBase::GetGain(bool* pbAuto) {
    if (pbAuto) *pbAuto = m_bAutoGain;
    return m_iGain;
}

int CCameraBase::GetGamma() { return m_iGamma; }

bool CCameraBase::SetBrightness(int) { return false; }
bool CCameraBase::SetHighSpeedMode(bool) { return false; }
bool CCameraBase::SetHardwareBin(bool) { return false; }
bool CCameraBase::SetEnableDDR(bool) { return false; }
bool CCameraBase::SetFPSPerc(int, bool) { return false; }
bool CCameraBase::SetOverCLKPerc(int) { return false; }
bool CCameraBase::SetPattern(int) { return false; }

float CCameraBase::GetSensorTempInside() { return 0.0f; }

bool CCameraBase::IsHardBinRun() { return m_bHardwareBin && m_iBin > 1; }

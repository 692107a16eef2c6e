// The exported interface: the camera-ID table, enumeration, open and close, and
// the per-camera functions that forward to the camera object.
//
// Locks, outermost first:
//  - g_mxEnum: one enumeration at a time.
//  - g_mxLife[ID]: open, close and the enumeration probe of one ID never
//    interleave; held while a close waits for the calls in flight.
//  - g_csTable: the ID and device tables; held only for short bookkeeping,
//    never while waiting for a call or talking to a camera.
//  - the call slots of an ID (one recursive mutex per exported function in
//    use), taken by each per-camera call; made once and never destroyed.
//  - the camera's start/stop lock, held by capture start and stop;
//  - the camera's read-out lock, held by the two image readers around the
//    driver's read-out;
//  - the camera's control lock, held by calls that change its state and by
//    getters that answer with several fields.
// Calls in flight are counted per ID, the count raised before the open check,
// so that a close can wait for every call that might still use the object.
#include "KYRCamera.h"

#include <libusb.h>
#include <string.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "api/ModelFactory.h"
#include "camera/CameraBase.h"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "usb/DevPath.h"

namespace {

constexpr int kMaxCameras = 128;  // camera IDs 0..127, and devices counted per enumeration
constexpr int kPathBytes = 512;   // one USB port path
constexpr int kSlotCount = 51;    // call slots 0..50 (not all of them are used)
constexpr int kProbeTries = 3;    // firmware-version probes before an open camera counts as gone
constexpr uint32_t kProbeRetryMs = 50;

// The call slot of each per-camera function.
enum ESlot {
    SLOT_PROPERTY = 0,
    SLOT_INIT = 1,
    SLOT_NUM_CONTROLS = 2,
    SLOT_CONTROL_CAPS = 3,
    SLOT_GET_CONTROL = 4,
    SLOT_SET_CONTROL = 5,
    SLOT_SET_ROI = 6,
    SLOT_GET_ROI = 7,
    SLOT_SET_START = 8,
    SLOT_GET_START = 9,
    SLOT_DROPPED = 10,
    SLOT_DARK_ON = 11,
    SLOT_DARK_OFF = 12,
    SLOT_VIDEO_START = 13,
    SLOT_VIDEO_STOP = 14,
    SLOT_VIDEO_DATA = 15,
    SLOT_EXP_START = 16,
    SLOT_EXP_STOP = 17,
    SLOT_EXP_STATUS = 18,
    SLOT_EXP_DATA = 19,
    SLOT_GUIDE_ON = 20,
    SLOT_GUIDE_OFF = 21,
    SLOT_GET_ID = 22,
    SLOT_SET_ID = 23,
    SLOT_GAIN_OFFSET = 24,
    SLOT_SUPPORT_MODE = 25,
    SLOT_GET_MODE = 26,
    SLOT_SET_MODE = 27,
    SLOT_SOFT_TRIGGER = 28,
    SLOT_SERIAL = 29,
    SLOT_PROPERTY_BY_ID = 43,
    SLOT_SET_TRIG_OUT = 44,
    SLOT_GET_TRIG_OUT = 45,
    SLOT_DEBUG_ON = 47,
    SLOT_DEBUG_GET = 48,
    SLOT_LMH_GAIN_OFFSET = 50,
};

// The slots some function uses: only these get a mutex.
bool IsSlotInUse(int k) {
    return (k >= 0 && k <= 29) || k == 43 || k == 44 || k == 45 || k == 47 || k == 48 || k == 50;
}

struct CAMERA_API_LOCK {
    S_MUTEX_UNIX csSlot[kSlotCount];
    std::atomic<uint8_t> bBusy[kSlotCount];
    std::atomic<uint32_t> bInited{0};  // set while the ID has an open object
    std::atomic<int> iInFlight{0};     // calls past the ID check that may use the object
    bool bSlotsMade = false;           // the slot mutexes exist (made once, under g_csTable)
};

char g_szDevPathOfID[kMaxCameras][kPathBytes];
std::atomic<CCameraBase*> g_pCameraOfID[kMaxCameras];
int g_iNumDevices = 0;
char g_szDevPath[kMaxCameras][kPathBytes];
int g_iPIDOfDevice[kMaxCameras];
CAMERA_API_LOCK g_CameraApiLock[kMaxCameras];
std::atomic<int> g_iImageBytesOfID[kMaxCameras];
std::atomic<bool> g_bInitDoneOfID[kMaxCameras];  // KYRInitCamera succeeded since the last open

std::recursive_mutex g_csTable;
std::mutex g_mxEnum;
std::recursive_mutex g_mxLife[kMaxCameras];

bool IsValidIdNumber(int iCameraID) { return static_cast<unsigned>(iCameraID) < kMaxCameras; }

// The ID check of every function that takes a camera ID.
bool IsBoundId(int iCameraID) {
    if (!IsValidIdNumber(iCameraID)) return false;
    std::lock_guard<std::recursive_mutex> table(g_csTable);
    return g_szDevPathOfID[iCameraID][0] != '\0';
}

// One call of a per-camera function in its slot. Construction runs the ID check
// and takes the slot; Result() tells whether the call may go on.
class CSlotCall {
  public:
    CSlotCall(int iCameraID, int iSlot) : m_iID(iCameraID), m_iSlot(iSlot) {
        if (!IsBoundId(iCameraID)) {
            m_eResult = KYR_ERROR_ID;
            return;
        }
        CAMERA_API_LOCK& lock = g_CameraApiLock[iCameraID];
        lock.iInFlight.fetch_add(1);
        m_bCounted = true;
        if (!lock.bInited.load()) {
            m_eResult = KYR_ERROR_CAMERA_CLOSED;
            return;
        }
        lock.bBusy[iSlot].store(1);
        pthread_mutex_lock(&lock.csSlot[iSlot].mutex);
        m_bLocked = true;
        m_pCamera = g_pCameraOfID[iCameraID].load();
        if (!m_pCamera || !lock.bInited.load()) {
            m_pCamera = nullptr;
            m_eResult = KYR_ERROR_CAMERA_CLOSED;
            return;
        }
        m_eResult = KYR_SUCCESS;
    }
    ~CSlotCall() {
        if (!m_bCounted) return;
        CAMERA_API_LOCK& lock = g_CameraApiLock[m_iID];
        if (m_bLocked) {
            pthread_mutex_unlock(&lock.csSlot[m_iSlot].mutex);
            lock.bBusy[m_iSlot].store(0);
        }
        lock.iInFlight.fetch_sub(1);
    }
    CSlotCall(const CSlotCall&) = delete;
    CSlotCall& operator=(const CSlotCall&) = delete;

    KYR_ERROR_CODE Result() const { return m_eResult; }
    CCameraBase* Camera() const { return m_pCamera; }
    // Functions that need a camera set up by KYRInitCamera first.
    KYR_ERROR_CODE RequireInit() const {
        return g_bInitDoneOfID[m_iID].load() ? KYR_SUCCESS : KYR_ERROR_INVALID_SEQUENCE;
    }

  private:
    int m_iID;
    int m_iSlot;
    bool m_bCounted = false;
    bool m_bLocked = false;
    CCameraBase* m_pCamera = nullptr;
    KYR_ERROR_CODE m_eResult = KYR_ERROR_ID;
};

// Holds the camera's control lock for a call that changes the camera's state
// or reads several fields as one answer. Counted as CCritSecLock counts it, so
// that a stop inside the call can give it up while it joins.
class CControlHold {
  public:
    explicit CControlHold(CCameraBase* pCam) : m_lock(pCam->m_csControl) {}

  private:
    CCritSecLock m_lock;
};

// A camera captures while its capture or trigger thread is alive.
bool IsCapturing(CCameraBase* pCam) { return pCam->m_thrWork.IsAlive() || pCam->m_thrTrigger.IsAlive(); }

KYR_ERROR_CODE BoolResult(bool ok, KYR_ERROR_CODE onFailure) { return ok ? KYR_SUCCESS : onFailure; }

// True when any output pointer of a call is null. Such a call is refused with
// KYR_ERROR_GENERAL_ERROR before it reads or changes anything: a caller that
// passed a null by mistake is never told that its answer arrived.
template <typename... T>
bool AnyNull(const T*... pOutputs) {
    return ((pOutputs == nullptr) || ...);
}

void MakeSlotsOnce(CAMERA_API_LOCK& lock) {
    if (lock.bSlotsMade) return;
    for (int k = 0; k < kSlotCount; ++k) {
        lock.bBusy[k].store(0);
        if (IsSlotInUse(k)) InitializeCriticalSection(&lock.csSlot[k]);
    }
    lock.bSlotsMade = true;
}

// Closes the open object of an ID; the caller holds g_mxLife[ID]. Waits for the
// calls in flight, without holding the table lock, after releasing every
// reader waiting for an image.
void CloseIdLocked(int iCameraID) {
    CAMERA_API_LOCK& lock = g_CameraApiLock[iCameraID];
    CCameraBase* pCam = g_pCameraOfID[iCameraID].load();
    if (!pCam || !lock.bInited.load()) return;

    lock.bInited.store(0);  // calls arriving from now on find the camera closed
    pCam->ReleaseImageReaders();
    while (lock.iInFlight.load() > 0) {
        pCam->ReleaseImageReaders();
        Sleep(1);
    }
    pCam->CloseCamera();
    delete pCam;
    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        g_pCameraOfID[iCameraID].store(nullptr);
        g_iImageBytesOfID[iCameraID].store(0);
        g_bInitDoneOfID[iCameraID].store(false);
    }
    DbgPrint(-1, "KYRCloseCamera", "pCamera iCameraID=%d deleted\n", iCameraID);
}

// The product ID the last enumeration found at a port path, or -1.
int KnownProductAt(const char* szPath) {
    if (!szPath[0]) return -1;
    std::lock_guard<std::recursive_mutex> table(g_csTable);
    for (int d = 0; d < g_iNumDevices; ++d)
        if (strcmp(g_szDevPath[d], szPath) == 0) return g_iPIDOfDevice[d];
    return -1;
}

// The enumeration's check of one open camera: gone when it no longer answers
// the firmware-version request or is no longer on the bus.
void ProbeOpenCamera(int iCameraID) {
    std::lock_guard<std::recursive_mutex> life(g_mxLife[iCameraID]);
    CCameraBase* pCam = g_pCameraOfID[iCameraID].load();
    if (!pCam) return;
    bool answered = false;
    for (int i = 0; i < kProbeTries && !answered; ++i) {
        answered = pCam->GetFirmwareVer();
        if (!answered && i + 1 < kProbeTries) Sleep(kProbeRetryMs);
    }
    if (!answered) {
        DbgPrint(-1, "KYRGetNumOfConnectedCameras", "can't get FW version, close\n");
        CloseIdLocked(iCameraID);
        return;
    }
    bool onBus = false;
    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        for (int d = 0; d < g_iNumDevices && !onBus; ++d)
            onBus = strcmp(pCam->m_pDevPath, g_szDevPath[d]) == 0;
    }
    if (!onBus) {
        DbgPrint(-1, "KYRGetNumOfConnectedCameras", "KYRGetNumOfConnectedCameras => KYRCloseCamera");
        CloseIdLocked(iCameraID);
    }
}

}  // namespace

extern "C" {

KYRCAMERA_API const char* KYRGetSDKVersion(void) { return KYR_SDK_VERSION; }

KYRCAMERA_API int KYRGetProductIDs(int* pPIDs) { return CopyProductIDs(pPIDs); }

KYRCAMERA_API KYR_BOOL KYRCameraCheck(int iVID, int iPID) {
    return (iVID == KYR_VENDOR_ID && IsSupportedProduct(iPID)) ? KYR_TRUE : KYR_FALSE;
}

KYRCAMERA_API int KYRGetNumOfConnectedCameras(void) {
    std::lock_guard<std::mutex> enumeration(g_mxEnum);
    DbgPrint(-1, "KYRGetNumOfConnectedCameras", "KYRGetNumOfConnectedCameras >>\n");

    // Steps that read the bus work on local tables; the shared ones change
    // under the table lock only once the bus has been read.
    static char s_szPath[kMaxCameras][kPathBytes];
    int pids[kMaxCameras];
    int count = 0;
    // A bus that cannot be read is not an empty bus: every open camera, every
    // ID and the device table stay as they are, and the count is the last one.
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        DbgPrint(-1, "KYRGetNumOfConnectedCameras", "libusb_init fail!\n");
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        return g_iNumDevices;
    }
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        DbgPrint(-1, "KYRGetNumOfConnectedCameras", "libusb_get_device_list fail: %d\n", static_cast<int>(n));
        libusb_exit(ctx);
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        return g_iNumDevices;
    }
    for (ssize_t i = 0; i < n && count < kMaxCameras; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0) {
            // A read error is not an unplug: a device at a port path where the
            // last enumeration found a camera is still that camera (it may be
            // open and streaming). Any other unreadable device hides only itself.
            GetDevPath(list[i], s_szPath[count], kPathBytes);
            const int pid = KnownProductAt(s_szPath[count]);
            if (pid < 0) {
                fprintf(stderr, "failed to get device descriptor");
                continue;
            }
            pids[count] = pid;
            DbgPrint(-1, "KYRGetNumOfConnectedCameras", "%04x:%04x %s (descriptor unreadable)\n",
                     KYR_VENDOR_ID, pid, s_szPath[count]);
            ++count;
            continue;
        }
        if (desc.idVendor != KYR_VENDOR_ID || !IsSupportedProduct(desc.idProduct)) continue;
        GetDevPath(list[i], s_szPath[count], kPathBytes);
        pids[count] = desc.idProduct;
        DbgPrint(-1, "KYRGetNumOfConnectedCameras", "%04x:%04x %s\n", desc.idVendor, desc.idProduct,
                 s_szPath[count]);
        ++count;
    }
    libusb_free_device_list(list, 1);

    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        g_iNumDevices = count;
        for (int d = 0; d < count; ++d) {
            memcpy(g_szDevPath[d], s_szPath[d], kPathBytes);
            g_iPIDOfDevice[d] = pids[d];
        }
    }

    // Close the open cameras that are gone, outside every call slot.
    for (int id = 0; id < kMaxCameras; ++id)
        if (g_pCameraOfID[id].load()) ProbeOpenCamera(id);

    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        bool seen[kMaxCameras] = {};
        bool isNew[kMaxCameras] = {};
        for (int d = 0; d < count; ++d) {
            int match = -1;
            for (int id = 0; id < kMaxCameras && match < 0; ++id)
                if (g_szDevPathOfID[id][0] && strcmp(g_szDevPathOfID[id], g_szDevPath[d]) == 0) match = id;
            if (match >= 0) {
                seen[match] = true;
                DbgPrint(-1, "FindDevPathIndex", "index: %d, %s, ID: %d, %s\n", d, g_szDevPath[d], match,
                         g_szDevPathOfID[match]);
            } else {
                isNew[d] = true;
            }
        }
        // Free the IDs whose device is gone (an open one was closed above, or
        // is left bound while it still holds an object that the probe kept).
        for (int id = 0; id < kMaxCameras; ++id)
            if (!seen[id] && !g_pCameraOfID[id].load()) g_szDevPathOfID[id][0] = '\0';
        for (int d = 0; d < count; ++d) {
            if (!isNew[d]) continue;
            for (int id = 0; id < kMaxCameras; ++id) {
                if (g_szDevPathOfID[id][0] == '\0') {
                    memcpy(g_szDevPathOfID[id], g_szDevPath[d], kPathBytes);
                    break;
                }
            }
            // No free ID: the device stays unbound.
        }
    }
    libusb_exit(ctx);
    DbgPrint(-1, "KYRGetNumOfConnectedCameras", "libusb_exit\n");
    DbgPrint(-1, "KYRGetNumOfConnectedCameras", "num %d <<\n", count);
    return count;
}

KYRCAMERA_API KYR_ERROR_CODE KYROpenCamera(int iCameraID) {
    DbgPrint(-1, "KYROpenCamera", "camera ID:%d >>\n", iCameraID);
    if (!IsBoundId(iCameraID)) return KYR_ERROR_ID;
    std::lock_guard<std::recursive_mutex> life(g_mxLife[iCameraID]);
    if (g_pCameraOfID[iCameraID].load()) {
        DbgPrint(-1, "KYROpenCamera", "camera of ID%d is already opened\n", iCameraID);
        return KYR_SUCCESS;
    }
    char path[kPathBytes];
    int pid = -1;
    int index = 1;
    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        if (g_szDevPathOfID[iCameraID][0] == '\0') return KYR_ERROR_ID;
        int d = 0;
        for (; d < g_iNumDevices; ++d)
            if (strcmp(g_szDevPath[d], g_szDevPathOfID[iCameraID]) == 0) break;
        if (d == g_iNumDevices) return KYR_ERROR_ID;
        pid = g_iPIDOfDevice[d];
        for (int e = 0; e < d; ++e)
            if (g_iPIDOfDevice[e] == pid && strcmp(g_szDevPath[e], g_szDevPath[d]) == 0) ++index;
        memcpy(path, g_szDevPathOfID[iCameraID], kPathBytes);
    }
    CCameraBase* pCam = CreateCameraForProduct(pid);
    if (!pCam) {
        DbgPrint(-1, "mallocCamera", "memory fail\n");
        return KYR_ERROR_GENERAL_ERROR;
    }
    memcpy(pCam->m_pDevPath, path, kPathBytes);
    pCam->m_pDevPath[kPathBytes - 1] = '\0';
    // Opened by the ID it enumerated with, which may not be the class's own.
    pCam->m_iUsbPID = pid;
    if (!pCam->OpenCamera(index)) {
        delete pCam;
        DbgPrint(-1, "KYROpenCamera", "pCamera iCameraID=%d deleted\n", iCameraID);
        return KYR_ERROR_CAMERA_REMOVED;
    }
    DbgPrint(-1, "KYROpenCamera", "iPtIndex%d: %s\n", iCameraID, path);
    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        CAMERA_API_LOCK& lock = g_CameraApiLock[iCameraID];
        MakeSlotsOnce(lock);
        g_iImageBytesOfID[iCameraID].store(0);
        g_bInitDoneOfID[iCameraID].store(false);
        g_pCameraOfID[iCameraID].store(pCam);
        lock.bInited.store(1);
    }
    DbgPrint(-1, "KYROpenCamera", "pCamera iCameraID=%d is opened\n", iCameraID);
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRCloseCamera(int iCameraID) {
    DbgPrint(-1, "KYRCloseCamera", "camera ID:%d >>\n", iCameraID);
    if (!IsBoundId(iCameraID)) return KYR_ERROR_ID;
    std::lock_guard<std::recursive_mutex> life(g_mxLife[iCameraID]);
    CloseIdLocked(iCameraID);
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraProperty(KYR_CAMERA_INFO* pInfo, int iCameraIndex) {
    int id = -1;
    {
        std::lock_guard<std::recursive_mutex> table(g_csTable);
        if (iCameraIndex < 0 || iCameraIndex >= g_iNumDevices) return KYR_ERROR_INVALID_INDEX;
        DbgPrint(-1, "KYRGetCameraProperty", "KYRGetCameraProperty idx%d >>\n", iCameraIndex);
        for (int i = 0; i < kMaxCameras && id < 0; ++i)
            if (g_szDevPathOfID[i][0] && strcmp(g_szDevPathOfID[i], g_szDevPath[iCameraIndex]) == 0) id = i;
    }
    if (id < 0) return KYR_ERROR_INVALID_INDEX;
    if (AnyNull(pInfo)) return KYR_ERROR_GENERAL_ERROR;
    pInfo->camera_id = id;

    // Open, describe and close again as one step of this ID's life, so that no
    // other open or close of the ID comes between.
    std::lock_guard<std::recursive_mutex> life(g_mxLife[id]);
    bool hadObject = g_pCameraOfID[id].load() != nullptr;
    DbgPrint(-1, "KYRGetCameraProperty", "KYRGetCameraProperty => KYROpenCamera");
    KYR_ERROR_CODE rc = KYROpenCamera(id);
    if (rc != KYR_SUCCESS) return rc;
    {
        CSlotCall call(id, SLOT_PROPERTY);
        if (call.Result() != KYR_SUCCESS) return call.Result();
        call.Camera()->GetCameraProperty(pInfo);
        pInfo->camera_id = id;
    }
    if (!hadObject) KYRCloseCamera(id);
    DbgPrint(-1, "KYRGetCameraProperty", "KYRGetCameraProperty idx%d <<\n", iCameraIndex);
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraPropertyByID(int iCameraID, KYR_CAMERA_INFO* pInfo) {
    CSlotCall call(iCameraID, SLOT_PROPERTY_BY_ID);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pInfo)) return KYR_ERROR_GENERAL_ERROR;
    call.Camera()->GetCameraProperty(pInfo);
    pInfo->camera_id = iCameraID;
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRInitCamera(int iCameraID) {
    DbgPrint(-1, "KYRInitCamera", "camera ID:%d >>\n", iCameraID);
    CSlotCall call(iCameraID, SLOT_INIT);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    CCameraBase* pCam = call.Camera();
    {
        // InitCamera stops the camera's threads and replaces its buffers
        // with the control lock released while it joins (the stop contract).
        CControlHold control(pCam);
        if (!pCam->InitCamera()) {
            // Half set up: the calls that need an initialised camera refuse
            // until an initialisation succeeds.
            g_bInitDoneOfID[iCameraID].store(false);
            return KYR_ERROR_GENERAL_ERROR;
        }
        g_bInitDoneOfID[iCameraID].store(true);
    }
    KYRSetROIFormat(iCameraID, pCam->m_iMaxWidth, pCam->m_iMaxHeight, 1, IMG_RAW8);
    KYR_ID sn;
    memset(&sn, 0, sizeof(sn));
    KYRGetSerialNumber(iCameraID, &sn);
    char text[17];
    for (int i = 0; i < 8; ++i) snprintf(text + 2 * i, 3, "%02x", sn.id[i]);
    DbgPrint(-1, "KYRInitCamera", "SN:%s\n", text);
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetNumOfControls(int iCameraID, int* piNumberOfControls) {
    CSlotCall call(iCameraID, SLOT_NUM_CONTROLS);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(piNumberOfControls)) return KYR_ERROR_GENERAL_ERROR;
    *piNumberOfControls = call.Camera()->GetNumOfControls();
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetControlCaps(int iCameraID, int iControlIndex,
                                               KYR_CONTROL_CAPS* pControlCaps) {
    CSlotCall call(iCameraID, SLOT_CONTROL_CAPS);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pControlCaps)) return KYR_ERROR_GENERAL_ERROR;
    return BoolResult(call.Camera()->GetControlCaps(iControlIndex, pControlCaps),
                      KYR_ERROR_INVALID_CONTROL_TYPE);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetControlValue(int iCameraID, KYR_CONTROL_TYPE ControlType, long* plValue,
                                                KYR_BOOL* pbAuto) {
    CSlotCall call(iCameraID, SLOT_GET_CONTROL);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(plValue, pbAuto)) return KYR_ERROR_GENERAL_ERROR;
    long value = 0;
    KYR_BOOL bAuto = KYR_FALSE;
    int rc = call.Camera()->GetControlValue(ControlType, &value, &bAuto);
    // The value only on success: a refused read leaves the caller's alone.
    if (rc == KYR_SUCCESS) *plValue = value;
    *pbAuto = bAuto;
    return static_cast<KYR_ERROR_CODE>(rc);
}

KYRCAMERA_API KYR_ERROR_CODE KYRSetControlValue(int iCameraID, KYR_CONTROL_TYPE ControlType, long lValue,
                                                KYR_BOOL bAuto) {
    CSlotCall call(iCameraID, SLOT_SET_CONTROL);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    DbgPrint(-1, "KYRSetControlValue", "set camera ID %d: control %d, val %ld, auto %d\n", iCameraID,
             static_cast<int>(ControlType), lValue, static_cast<int>(bAuto));
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    CControlHold control(call.Camera());
    return static_cast<KYR_ERROR_CODE>(
        call.Camera()->SetControlValue(ControlType, lValue, bAuto == KYR_TRUE));
}

KYRCAMERA_API KYR_ERROR_CODE KYRSetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin,
                                             IMG_TYPE Img_type) {
    CSlotCall call(iCameraID, SLOT_SET_ROI);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    DbgPrint(-1, "KYRSetROIFormat", "set camera ID %d: width:%d, height:%d, bin:%d, ImgType:%d\n", iCameraID,
             iWidth, iHeight, iBin, static_cast<int>(Img_type));
    if (static_cast<unsigned>(Img_type) > IMG_Y8) return KYR_ERROR_INVALID_IMGTYPE;
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    if (iWidth <= 0 || iHeight <= 0) return KYR_ERROR_INVALID_SIZE;

    static const struct {
        bool bRaw;
        IMAGE_TYPE eType;
        int iBytesPerPixel;
    } kFormats[] = {
        {true, IMAGE_8BIT, 1}, {false, IMAGE_RGB24, 3}, {true, IMAGE_RAW16, 2}, {false, IMAGE_8BIT, 1}};
    const auto& fmt = kFormats[Img_type];
    const uint64_t bytes = static_cast<uint64_t>(iWidth) * static_cast<uint64_t>(iHeight) * fmt.iBytesPerPixel;
    if (bytes > INT_MAX) return KYR_ERROR_INVALID_SIZE;

    CCameraBase* pCam = call.Camera();
    CControlHold control(pCam);
    // A refused format changes nothing: the raw flag (which tells raw 8-bit
    // from Y8, both 8-bit to the driver) changes only once the driver took it.
    if (!pCam->SetResolution(iWidth, iHeight, iBin, fmt.eType)) return KYR_ERROR_INVALID_SIZE;
    pCam->m_bRawOutput = fmt.bRaw;
    g_iImageBytesOfID[iCameraID].store(static_cast<int>(bytes));
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetROIFormat(int iCameraID, int* piWidth, int* piHeight, int* piBin,
                                             IMG_TYPE* pImg_type) {
    CSlotCall call(iCameraID, SLOT_GET_ROI);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(piWidth, piHeight, piBin, pImg_type)) return KYR_ERROR_GENERAL_ERROR;
    CCameraBase* pCam = call.Camera();
    // One whole format: a setter changes it under the control lock.
    CControlHold control(pCam);
    *piWidth = pCam->m_iWidth;
    *piHeight = pCam->m_iHeight;
    *piBin = pCam->m_iBin;
    switch (pCam->m_iImgType) {
        case IMAGE_RGB24:
            *pImg_type = IMG_RGB24;
            break;
        case IMAGE_RAW16:
            *pImg_type = IMG_RAW16;
            break;
        case IMAGE_8BIT:
            *pImg_type = pCam->m_bRawOutput ? IMG_RAW8 : IMG_Y8;
            break;
        default:
            *pImg_type = IMG_Y8;
            break;
    }
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRSetStartPos(int iCameraID, int iStartX, int iStartY) {
    CSlotCall call(iCameraID, SLOT_SET_START);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    CCameraBase* pCam = call.Camera();
    CControlHold control(pCam);
    long long x = static_cast<long long>(iStartX) * pCam->m_iBin;
    long long y = static_cast<long long>(iStartY) * pCam->m_iBin;
    if (x < INT_MIN || x > INT_MAX || y < INT_MIN || y > INT_MAX) return KYR_ERROR_OUTOF_BOUNDARY;
    return BoolResult(pCam->SetStartPos(static_cast<int>(x), static_cast<int>(y)), KYR_ERROR_OUTOF_BOUNDARY);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetStartPos(int iCameraID, int* piStartX, int* piStartY) {
    CSlotCall call(iCameraID, SLOT_GET_START);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(piStartX, piStartY)) return KYR_ERROR_GENERAL_ERROR;
    CCameraBase* pCam = call.Camera();
    CControlHold control(pCam);
    int bin = pCam->m_iBin > 0 ? pCam->m_iBin : 1;
    *piStartX = pCam->m_iStartX / bin;
    *piStartY = pCam->m_iStartY / bin;
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetDroppedFrames(int iCameraID, int* piDropFrames) {
    CSlotCall call(iCameraID, SLOT_DROPPED);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(piDropFrames)) return KYR_ERROR_GENERAL_ERROR;
    *piDropFrames = call.Camera()->m_iDroppedFrames;
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYREnableDarkSubtract(int iCameraID, char* pcBMPPath) {
    CSlotCall call(iCameraID, SLOT_DARK_ON);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    if (!pcBMPPath) return KYR_ERROR_INVALID_PATH;
    CControlHold control(call.Camera());
    switch (call.Camera()->LoadBMPFromFile(pcBMPPath)) {
        case 1:
            return KYR_SUCCESS;
        case 6:
            return KYR_ERROR_INVALID_PATH;
        case 0:
        case 7:
            return KYR_ERROR_INVALID_FILEFORMAT;
        default:
            return KYR_ERROR_GENERAL_ERROR;
    }
}

KYRCAMERA_API KYR_ERROR_CODE KYRDisableDarkSubtract(int iCameraID) {
    CSlotCall call(iCameraID, SLOT_DARK_OFF);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    CControlHold control(call.Camera());
    call.Camera()->UsingDark(false);
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRStartVideoCapture(int iCameraID) {
    CSlotCall call(iCameraID, SLOT_VIDEO_START);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    CCameraBase* pCam = call.Camera();
    CCameraBase::CStartStopHold startStop(*pCam);
    // An exposure that has reported its result is over, also while its thread
    // is still returning: StartCapture joins that thread and starts video.
    if (pCam->m_bSnapMode && pCam->m_iExpStatus == KYR_EXP_WORKING) return KYR_ERROR_EXPOSURE_IN_PROGRESS;
    return BoolResult(pCam->StartCapture(false), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRStopVideoCapture(int iCameraID) {
    CSlotCall call(iCameraID, SLOT_VIDEO_STOP);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    return BoolResult(call.Camera()->StopCapture(), KYR_ERROR_CAMERA_CLOSED);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetVideoData(int iCameraID, unsigned char* pBuffer, long lBuffSize,
                                             int iWaitms) {
    CSlotCall call(iCameraID, SLOT_VIDEO_DATA);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pBuffer)) return KYR_ERROR_GENERAL_ERROR;
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    int bytes = g_iImageBytesOfID[iCameraID].load();
    if (bytes > lBuffSize) return KYR_ERROR_BUFFER_TOO_SMALL;
    CCritSecLock readOut(call.Camera()->m_csReadOut);
    return BoolResult(call.Camera()->GetImage(pBuffer, bytes, iWaitms), KYR_ERROR_TIMEOUT);
}

KYRCAMERA_API KYR_ERROR_CODE KYRStartExposure(int iCameraID, KYR_BOOL /*bIsDark*/) {
    CSlotCall call(iCameraID, SLOT_EXP_START);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    CCameraBase* pCam = call.Camera();
    CCameraBase::CStartStopHold startStop(*pCam);
    if (IsCapturing(pCam)) {
        if (!pCam->m_bSnapMode) return KYR_ERROR_VIDEO_MODE_ACTIVE;
        // An exposure that has reported its result is over, even while its
        // thread is still returning: it never blocks the next one.
        if (pCam->m_iExpStatus == KYR_EXP_WORKING) return KYR_ERROR_EXPOSURE_IN_PROGRESS;
    }
    pCam->StartExposure();
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRStopExposure(int iCameraID) {
    CSlotCall call(iCameraID, SLOT_EXP_STOP);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    call.Camera()->StopCapture();
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetExpStatus(int iCameraID, KYR_EXPOSURE_STATUS* pExpStatus) {
    CSlotCall call(iCameraID, SLOT_EXP_STATUS);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pExpStatus)) return KYR_ERROR_GENERAL_ERROR;
    CCameraBase* pCam = call.Camera();
    if (pCam->m_bSnapMode && pCam->m_thrWork.IsAlive()) {
        *pExpStatus = KYR_EXP_WORKING;
    } else {
        int status = pCam->m_iExpStatus;
        if (status >= KYR_EXP_IDLE && status <= KYR_EXP_FAILED)
            *pExpStatus = static_cast<KYR_EXPOSURE_STATUS>(status);
    }
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetDataAfterExp(int iCameraID, unsigned char* pBuffer, long lBuffSize) {
    CSlotCall call(iCameraID, SLOT_EXP_DATA);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pBuffer)) return KYR_ERROR_GENERAL_ERROR;
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    int bytes = g_iImageBytesOfID[iCameraID].load();
    if (bytes > lBuffSize) return KYR_ERROR_BUFFER_TOO_SMALL;
    CCritSecLock readOut(call.Camera()->m_csReadOut);
    return BoolResult(call.Camera()->GetImageAfterExp(pBuffer, bytes), KYR_ERROR_TIMEOUT);
}

KYRCAMERA_API KYR_ERROR_CODE KYRPulseGuideOn(int iCameraID, GuideD direction) {
    CSlotCall call(iCameraID, SLOT_GUIDE_ON);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    return BoolResult(call.Camera()->PulseGuideOn(direction), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRPulseGuideOff(int iCameraID, GuideD direction) {
    CSlotCall call(iCameraID, SLOT_GUIDE_OFF);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    return BoolResult(call.Camera()->PulseGuideOff(direction), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetID(int iCameraID, KYR_ID* pID) {
    CSlotCall call(iCameraID, SLOT_GET_ID);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pID)) return KYR_ERROR_GENERAL_ERROR;
    return BoolResult(call.Camera()->GetIDFromSPI(pID), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRSetID(int iCameraID, KYR_ID ID) {
    CSlotCall call(iCameraID, SLOT_SET_ID);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    CControlHold control(call.Camera());
    return BoolResult(call.Camera()->SetIDToSPI(ID), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetGainOffset(int iCameraID, int* pOffset_HighestDR, int* pOffset_UnityGain,
                                              int* pGain_LowestRN, int* pOffset_LowestRN) {
    CSlotCall call(iCameraID, SLOT_GAIN_OFFSET);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN, pOffset_LowestRN))
        return KYR_ERROR_GENERAL_ERROR;
    CCameraBase* pCam = call.Camera();
    *pOffset_HighestDR = pCam->m_iOffsetHighestDR;
    *pOffset_UnityGain = pCam->m_iOffsetUnityGain;
    *pGain_LowestRN = pCam->m_iGainLowestRN;
    *pOffset_LowestRN = pCam->m_iOffsetLowestRN;
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetLMHGainOffset(int iCameraID, int* pLGain, int* pMGain, int* pHGain,
                                                 int* pHOffset) {
    CSlotCall call(iCameraID, SLOT_LMH_GAIN_OFFSET);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pLGain, pMGain, pHGain, pHOffset)) return KYR_ERROR_GENERAL_ERROR;
    CCameraBase* pCam = call.Camera();
    *pLGain = 0;
    *pMGain = pCam->m_iUnityGain;
    *pHGain = pCam->m_iGainLowestRN;
    *pHOffset = pCam->m_iOffsetLowestRN;
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraSupportMode(int iCameraID, KYR_SUPPORTED_MODE* pSupportedMode) {
    CSlotCall call(iCameraID, SLOT_SUPPORT_MODE);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pSupportedMode)) return KYR_ERROR_GENERAL_ERROR;
    return BoolResult(call.Camera()->GetCameraSupportedMode(pSupportedMode), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraMode(int iCameraID, CAM_MODE* mode) {
    CSlotCall call(iCameraID, SLOT_GET_MODE);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(mode)) return KYR_ERROR_GENERAL_ERROR;
    int m = call.Camera()->m_iCameraMode;
    *mode = (m >= 1 && m <= 6) ? static_cast<CAM_MODE>(m) : CAM_MODE_NORMAL;
    return KYR_SUCCESS;
}

KYRCAMERA_API KYR_ERROR_CODE KYRSetCameraMode(int iCameraID, CAM_MODE mode) {
    CSlotCall call(iCameraID, SLOT_SET_MODE);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (KYR_ERROR_CODE rc = call.RequireInit()) return rc;
    CControlHold control(call.Camera());
    return static_cast<KYR_ERROR_CODE>(call.Camera()->SetCameraMode(mode));
}

KYRCAMERA_API KYR_ERROR_CODE KYRSendSoftTrigger(int iCameraID, KYR_BOOL bStart) {
    CSlotCall call(iCameraID, SLOT_SOFT_TRIGGER);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    CControlHold control(call.Camera());
    return BoolResult(call.Camera()->EnableFPGATriggerSignal(bStart == KYR_TRUE), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetSerialNumber(int iCameraID, KYR_ID* pSN) {
    CSlotCall call(iCameraID, SLOT_SERIAL);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pSN)) return KYR_ERROR_GENERAL_ERROR;
    return BoolResult(call.Camera()->GetSerialNumber(pSN), KYR_ERROR_GENERAL_ERROR);
}

KYRCAMERA_API KYR_ERROR_CODE KYRSetTriggerOutputIOConf(int iCameraID, Trig_Output_Pin pin, KYR_BOOL bPinHigh,
                                                       long lDelay, long lDuration) {
    CSlotCall call(iCameraID, SLOT_SET_TRIG_OUT);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    CControlHold control(call.Camera());
    return static_cast<KYR_ERROR_CODE>(
        call.Camera()->SetTrigOutPinConf(pin, bPinHigh != 0, lDelay, lDuration));
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetTriggerOutputIOConf(int iCameraID, Trig_Output_Pin pin, KYR_BOOL* bPinHigh,
                                                       long* lDelay, long* lDuration) {
    CSlotCall call(iCameraID, SLOT_GET_TRIG_OUT);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(bPinHigh, lDelay, lDuration)) return KYR_ERROR_GENERAL_ERROR;
    KYR_BOOL high = KYR_FALSE;
    long delay = 0, duration = 0;
    int rc = call.Camera()->GetTrigOutPinConf(pin, &high, &delay, &duration);
    *bPinHigh = high;
    *lDelay = delay;
    *lDuration = duration;
    return static_cast<KYR_ERROR_CODE>(rc);
}

KYRCAMERA_API KYR_ERROR_CODE KYREnableDebugLog(int iCameraID, KYR_BOOL bEnable) {
    CSlotCall call(iCameraID, SLOT_DEBUG_ON);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    return static_cast<KYR_ERROR_CODE>(call.Camera()->EnableDebugLog(bEnable));
}

KYRCAMERA_API KYR_ERROR_CODE KYRGetDebugLogIsEnabled(int iCameraID, KYR_BOOL* pbEnabled) {
    CSlotCall call(iCameraID, SLOT_DEBUG_GET);
    if (call.Result() != KYR_SUCCESS) return call.Result();
    if (AnyNull(pbEnabled)) return KYR_ERROR_GENERAL_ERROR;
    KYR_BOOL enabled = KYR_FALSE;
    int rc = call.Camera()->GetDebugLogIsEnabled(&enabled);
    *pbEnabled = enabled;
    return static_cast<KYR_ERROR_CODE>(rc);
}

}  // extern "C"

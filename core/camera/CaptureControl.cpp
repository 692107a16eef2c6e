// Capture control of the camera object: starting and stopping the capture
// threads for video and single exposures, the exposure status callers poll,
// the camera (trigger) modes, the trigger output pins, the guide port and the
// debug output switch.
//
// Start and stop hold the start/stop lock, taken with the control lock
// released, and take the control lock only for their state: they clear the
// threads' running flags under it and join with it released, so a capture
// body may take it the plain way. A stop may be called with the control lock
// held (the drivers' mode re-applies stop and restart capture while they hold
// it): it gives that hold up while it joins and takes it back after. Mode and
// trigger-output changes hold the control lock.
#include <stdint.h>

#include "camera/CameraBase.h"
#include "platform/Log.h"
#include "usb/FpgaRegs.h"

namespace {

// Time GetImageAfterExp waits for the frame of a finished exposure.
constexpr int kExposureImageWaitMs = 10000;

// The FPGA counts trigger output delays and durations in 32-bit registers
// and takes at most this many units.
constexpr long kTrigOutTimeMax = 2000000000L;

// A camera captures while its capture or its trigger capture thread is
// running or still inside its body.
bool IsCapturing(const CCameraBase& cam) { return cam.m_thrWork.IsAlive() || cam.m_thrTrigger.IsAlive(); }

// Clamped while still a long: a negative time becomes 0 and a time beyond
// the register's range its maximum, before the value is narrowed.
unsigned int ClampTrigOutTime(long value) {
    if (value < 0) return 0;
    if (value > kTrigOutTimeMax) return static_cast<unsigned int>(kTrigOutTimeMax);
    return static_cast<unsigned int>(value);
}

// FPGA trigger block settings of one camera mode, in the order they are
// programmed. A setter of -1 is left as it is.
struct STrigModeRow {
    bool bTriggerMode;  // EnableFPGATriggerMode (mode 0: the long exposure flag decides)
    int iSource;        // SelectExtTrigSource
    int iSoftMode;      // SelectExtTrigSoftMode
    int iType;          // SelectExtTrigType
    int iValidType;     // SelectExtTrigValidType
};

constexpr STrigModeRow kTrigModeRows[] = {
    {false, 0, 1, -1, -1},  // CAM_MODE_NORMAL
    {true, 0, 0, 1, 1},     // CAM_MODE_TRIG_SOFT_EDGE
    {true, 1, 0, 1, 1},     // CAM_MODE_TRIG_RISE_EDGE
    {true, 1, 0, 1, 0},     // CAM_MODE_TRIG_FALL_EDGE
    {true, 0, 0, 0, 1},     // CAM_MODE_TRIG_SOFT_LEVEL
    {true, 1, 0, 0, 1},     // CAM_MODE_TRIG_HIGH_LEVEL
    {true, 1, 0, 0, 0},     // CAM_MODE_TRIG_LOW_LEVEL
};

}  // namespace

// ---- Start and stop ---------------------------------------------------------

bool CCameraBase::StartCapture(bool bSnap) {
    // A body waiting here for the start/stop lock could be the thread a stop
    // holding it joins.
    if (OnCameraThread()) {
        DbgPrint(-1, "StartCapture", "not from a thread of the camera\n");
        return false;
    }
    CStartStopHold startStop(*this);
    {
        CCritSecLock lock(m_csControl);
        if (!m_bOpened) return false;
        if (IsCapturing(*this)) {
            // A single exposure whose thread has reported its result (its last
            // act) is over: its thread only has its return left. Waiting for it
            // lets the next exposure start instead of being taken as running.
            const bool bSnapOver = m_bSnapMode && m_iExpStatus != KYR_EXP_WORKING;
            if (!bSnapOver) return true;  // the running thread goes on in its mode
        }
    }
    // Joined with the control lock released; nothing starts meanwhile.
    m_thrWork.Stop();
    m_thrTrigger.Stop();
    CCritSecLock lock(m_csControl);
    if (!m_bOpened) return false;
    m_bSnapMode = bSnap;
    m_iSnapStatus = KYR_EXP_WORKING;
    m_iExpStatus = KYR_EXP_WORKING;
    // Readers wait for this run's frames from here on.
    if (m_pCirBuf) m_pCirBuf->SetStopped(false);
    DbgPrint(-1, "StartCapture", "start capture create thread\n");
    ThreadCtrl& thread = m_iCameraMode != CAM_MODE_NORMAL ? m_thrTrigger : m_thrWork;
    if (!thread.Start(this)) {
        if (m_pCirBuf) m_pCirBuf->SetStopped(true);
        m_iSnapStatus = KYR_EXP_FAILED;
        m_iExpStatus = KYR_EXP_FAILED;
        return false;
    }
    return true;
}

bool CCameraBase::StartExposure() { return StartCapture(true); }

bool CCameraBase::StopCapture() {
    // From a thread body: it cannot join itself, and the stopper may be
    // joining it under the start/stop lock. It only asks.
    if (OnCameraThread()) {
        RequestThreadsStop();
        return m_bOpened;
    }
    CStartStopHold startStop(*this);
    bool bOpened;
    bool bSave;
    {
        CCritSecLock lock(m_csControl);
        if (!IsCapturing(*this)) return true;
        // The threads are stopped and joined also when the device has gone
        // (unplugged, failed reconnection): the close that follows frees the
        // object they run on.
        bOpened = m_bOpened;
        bSave = bOpened && !m_bSnapMode;
        DbgPrint(-1, "StopCapture", "stop capture\n");
        // Readers waiting for a frame return now, not at the end of their wait.
        if (m_pCirBuf) m_pCirBuf->SetStopped(true);
        RequestThreadsStop();
    }
    // The file is written with no camera lock held: a slow disk holds up
    // neither the setters nor the threads winding down meanwhile.
    if (bSave) SaveSetting();
    DbgPrint(-1, "StopCapture", ">> wait Working thread exit\n");
    // The capture thread's exit stops the auto-control thread it ran; it is
    // joined here too, so that none outlives the capture.
    m_thrWork.Stop();
    m_thrTrigger.Stop();
    m_thrAutoCtrl.Stop();
    DbgPrint(-1, "StopCapture", "<< wait Working thread exit\n");
    return bOpened;
}

// ---- Exposure result ----------------------------------------------------------

bool CCameraBase::GetImageAfterExp(unsigned char* pBuffer, int iBytes) {
    // Taking the finished exposure and resetting its status is one step: a
    // plain reset after the (up to 10 s) wait would wipe the status of an
    // exposure started meanwhile from another call slot. The status stays at
    // idle whatever the read-out gives.
    int expected = KYR_EXP_SUCCESS;
    if (!m_iExpStatus.compare_exchange_strong(expected, KYR_EXP_IDLE)) return false;
    return GetImage(pBuffer, iBytes, kExposureImageWaitMs);
}

// ---- Auto control thread -------------------------------------------------------

void CCameraBase::StopAutoControlThr() { JoinThread(m_thrAutoCtrl); }

// ---- Camera modes ----------------------------------------------------------------

bool CCameraBase::CameraModeCheck() {
    CCritSecLock lock(m_csControl);
    uint8_t type = 0;
    const bool bRead = ReadFPGAREG(FPGA_REG_VER_TYPE, &type);
    if (!bRead) type = 0;
    bool bEdge = type >= FPGA_VER_TYPE_TRIG_EDGE;
    bool bLevel = type >= FPGA_VER_TYPE_TRIG_LEVEL;
    // A trigger mode is offered only when the driver's trigger capture ends a
    // snapshot; otherwise an exposure in that mode would never finish.
    if (!m_bTrigSnapCapture) bEdge = bLevel = false;
    m_bTriggerCam = bEdge;
    m_bTrigEdge = bEdge;
    m_bTrigLevel = bLevel;
    return bRead;
}

bool CCameraBase::GetCameraSupportedMode(KYR_SUPPORTED_MODE* pSupportedMode) {
    if (!pSupportedMode) return false;
    CCritSecLock lock(m_csControl);
    CAM_MODE* pModes = pSupportedMode->SupportedCameraMode;
    int n = 0;
    pModes[n++] = CAM_MODE_NORMAL;
    if (m_bTriggerCam) {
        if (m_bTrigEdge) {
            pModes[n++] = CAM_MODE_TRIG_SOFT_EDGE;
            pModes[n++] = CAM_MODE_TRIG_RISE_EDGE;
            pModes[n++] = CAM_MODE_TRIG_FALL_EDGE;
        }
        if (m_bTrigLevel) {
            pModes[n++] = CAM_MODE_TRIG_SOFT_LEVEL;
            pModes[n++] = CAM_MODE_TRIG_HIGH_LEVEL;
            pModes[n++] = CAM_MODE_TRIG_LOW_LEVEL;
        }
    }
    pModes[n] = CAM_MODE_END;
    return true;
}

int CCameraBase::SetCameraMode(CAM_MODE mode) {
    CCritSecLock lock(m_csControl);
    DbgPrint(-1, "SetCameraMode", "set camera mode %d\n", static_cast<int>(mode));
    if (IsCapturing(*this)) return KYR_ERROR_INVALID_SEQUENCE;
    const unsigned int uMode = static_cast<unsigned int>(mode);
    if (uMode > CAM_MODE_TRIG_LOW_LEVEL) return KYR_ERROR_INVALID_MODE;
    // Each trigger mode needs its ability: edge modes 1-3, level modes 4-6.
    if (uMode != CAM_MODE_NORMAL) {
        const bool bEdgeMode = uMode <= CAM_MODE_TRIG_FALL_EDGE;
        if (!m_bTriggerCam || (bEdgeMode ? !m_bTrigEdge : !m_bTrigLevel)) return KYR_ERROR_INVALID_MODE;
    }
    if (mode == m_iCameraMode) return KYR_SUCCESS;
    return SelectCameraMode(mode) ? KYR_SUCCESS : KYR_ERROR_GENERAL_ERROR;
}

bool CCameraBase::SelectCameraMode(CAM_MODE mode) {
    CCritSecLock lock(m_csControl);
    const unsigned int uMode = static_cast<unsigned int>(mode);
    if (uMode > CAM_MODE_TRIG_LOW_LEVEL) return false;
    if (IsCapturing(*this)) StopCapture();
    // The FPGA is left stopped; the next capture starts it.
    if (!FPGAStop()) return false;
    const int iPrevMode = m_iCameraMode;
    if (mode != iPrevMode) {
        const STrigModeRow& row = kTrigModeRows[uMode];
        const bool bTriggerMode = mode == CAM_MODE_NORMAL ? m_bLongExpMode.load() : row.bTriggerMode;
        bool ok = EnableFPGATriggerMode(bTriggerMode) && SelectExtTrigSource(row.iSource == 1) &&
                  SelectExtTrigSoftMode(row.iSoftMode == 1);
        if (ok && row.iType >= 0) ok = SelectExtTrigType(row.iType == 1);
        if (ok && row.iValidType >= 0) ok = SelectExtTrigValidType(row.iValidType == 1);
        // A half-programmed trigger block is a failure, and the mode stays the
        // old one, so that setting the mode again programs it all again.
        if (!ok) return false;
    }
    m_iCameraMode = mode;
    // The drivers time the exposure differently with a trigger.
    if (!SetExp(m_lExpTimeUs, m_bAutoExp)) {
        m_iCameraMode = iPrevMode;
        return false;
    }
    return true;
}

// ---- Trigger outputs ---------------------------------------------------------------

int CCameraBase::SetTrigOutPinConf(Trig_Output_Pin pin, bool bPinHigh, long lDelay, long lDuration) {
    // Compared unsigned, so that a negative pin is refused as well.
    if (static_cast<unsigned int>(pin) > TRIG_OUTPUT_PIN_B) return KYR_ERROR_GENERAL_ERROR;
    CCritSecLock lock(m_csControl);
    const unsigned int uDelay = ClampTrigOutTime(lDelay);
    const unsigned int uDuration = ClampTrigOutTime(lDuration);
    // A duration of 0 or below switches the pin's output off.
    const bool bOn = lDuration >= 1;
    bool ok;
    if (pin == TRIG_OUTPUT_PIN_A)
        ok = EnableExtSyncA(bOn) && SelectExtSyncALevel(bPinHigh) && SetExtSyncADelayTime(uDelay) &&
             SetExtSyncAKeepTime(uDuration);
    else
        ok = EnableExtSyncB(bOn) && SelectExtSyncBLevel(bPinHigh) && SetExtSyncBDelayTime(uDelay) &&
             SetExtSyncBKeepTime(uDuration);
    // The remembered configuration is that of the camera: it changes only
    // when every register took its value.
    if (!ok) return KYR_ERROR_GENERAL_ERROR;
    const int iFirst = pin == TRIG_OUTPUT_PIN_A ? 0 : 2;
    (pin == TRIG_OUTPUT_PIN_A ? m_bTrigOutAHigh : m_bTrigOutBHigh) = bPinHigh;
    m_iTrigOutDelay[iFirst] = static_cast<int>(uDelay);
    m_iTrigOutDelay[iFirst + 1] = static_cast<int>(uDuration);
    return KYR_SUCCESS;
}

int CCameraBase::GetTrigOutPinConf(Trig_Output_Pin pin, KYR_BOOL* pbPinHigh, long* plDelay,
                                   long* plDuration) {
    if (static_cast<unsigned int>(pin) > TRIG_OUTPUT_PIN_B) return KYR_ERROR_GENERAL_ERROR;
    if (!pbPinHigh || !plDelay || !plDuration) return KYR_ERROR_GENERAL_ERROR;
    CCritSecLock lock(m_csControl);
    const int iFirst = pin == TRIG_OUTPUT_PIN_A ? 0 : 2;
    *pbPinHigh = (pin == TRIG_OUTPUT_PIN_A ? m_bTrigOutAHigh : m_bTrigOutBHigh) ? KYR_TRUE : KYR_FALSE;
    *plDelay = m_iTrigOutDelay[iFirst];
    *plDuration = m_iTrigOutDelay[iFirst + 1];
    return KYR_SUCCESS;
}

// ---- Guide port ----------------------------------------------------------------------

bool CCameraBase::PulseGuideOn(GuideD direction) {
    DbgPrint(-1, "PulseGuideOn", "PulseGuide Direction On:%d", static_cast<int>(direction));
    // North, south, east, west only; compared unsigned, so negatives too.
    if (static_cast<unsigned int>(direction) > GUIDE_WEST) return false;
    return SendCMD(VR_GUIDE_ON, static_cast<uint16_t>(direction), 0, false, nullptr, 0);
}

bool CCameraBase::PulseGuideOff(GuideD direction) {
    DbgPrint(-1, "PulseGuideOff", "PulseGuide Direction Off:%d", static_cast<int>(direction));
    if (static_cast<unsigned int>(direction) > GUIDE_WEST) return false;
    return SendCMD(VR_GUIDE_OFF, static_cast<uint16_t>(direction), 0, false, nullptr, 0);
}

// ---- Debug output -----------------------------------------------------------------------

int CCameraBase::EnableDebugLog(KYR_BOOL bEnable) {
    // The output switch is process-wide: switching it for one camera switches
    // it for all; the camera keeps its own choice for its settings.
    const bool bOn = bEnable == KYR_TRUE;
    m_bDebugPrint = bOn;
    g_bDebugPrint = bOn;
    return KYR_SUCCESS;
}

int CCameraBase::GetDebugLogIsEnabled(KYR_BOOL* pbEnabled) {
    if (!pbEnabled) return KYR_ERROR_GENERAL_ERROR;
    *pbEnabled = m_bDebugPrint ? KYR_TRUE : KYR_FALSE;
    return KYR_SUCCESS;
}

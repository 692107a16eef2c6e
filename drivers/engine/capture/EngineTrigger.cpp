// The engine's trigger capture: the body of the trigger camera modes. The
// camera sends one frame per trigger (soft or external, edge or level), so
// the body waits for each frame on the single-read set, with no time limit
// on the frame's first transfer while the capture runs, and offers it to the
// ring. A snapshot ends with its first frame taken (SUCCESS) or with a frame
// that failed for good (FAILED); a stop before its trigger leaves it to the
// core's exit, which reports FAILED.
//
// Frames alternate between the two receive buffers (the ring copies one
// while the next trigger's frame arrives in the other), a stalled endpoint
// is cleared after each failed frame, and a camera that has gone ends the
// run. Register sequences hold the control lock for their length only.
#include <libusb.h>
#include <stdint.h>

#include "engine/EngineDriver.h"
#include "cooling/CameraCool.h"
#include "platform/Log.h"
#include "ring/CirBuf.h"

namespace {

// How one triggered frame came.
enum TRIGGER_FRAME : int {
    TRIGGER_FRAME_COMPLETE = 0,
    TRIGGER_FRAME_FAILED,   // short, or a transfer error: counted, the endpoint cleared
    TRIGGER_FRAME_STOPPED,  // the capture stops
    TRIGGER_FRAME_GONE,     // the camera has gone
};

// Each transfer of the single-read set waits this long in libusb; a first
// transfer that times out without data is waited for again.
constexpr unsigned int kTriggerXferTimeoutMs = 1000;
// Failed frames in a row after which the loop pauses between them, so that
// an endpoint that keeps failing at once is not polled flat out.
constexpr int kFailsBeforePause = 3;
constexpr uint32_t kFailPauseMs = 100;

}  // namespace

template <class TBase>
int CEngineDriver<TBase>::ReceiveTriggerFrame(int iCount, int iLength, std::atomic<bool>* pbRunning) {
    const int xferBytes = m_Capture.iXferBytes;
    int total = 0;
    for (int i = 0; i < iCount; ++i) {
        const int want = i < iCount - 1 ? xferBytes : iLength - (iCount - 1) * xferBytes;
        int got = 0;
        int rc = this->waitForAsyncXfer(i, &got);
        // The first transfer waits for the trigger for as long as the capture runs.
        while (i == 0 && rc == LIBUSB_ERROR_TIMEOUT && got == 0 && pbRunning->load())
            rc = this->waitForAsyncXfer(i, &got);
        if (rc != LIBUSB_SUCCESS) this->DbgPrint2("TriggerFunc", "wait result is %d!\n", rc);
        if (!pbRunning->load()) return TRIGGER_FRAME_STOPPED;
        if (rc == LIBUSB_ERROR_NO_DEVICE) return TRIGGER_FRAME_GONE;
        if (rc != LIBUSB_SUCCESS) return TRIGGER_FRAME_FAILED;
        total += got;
        // A short transfer is the end of what the camera sent: the rest
        // would take the next frame's start.
        if (got < want) break;
    }
    this->DbgPrint2("TriggerFunc", "wait result is %d!\n", 0);
    return total == iLength ? TRIGGER_FRAME_COMPLETE : TRIGGER_FRAME_FAILED;
}

template <class TBase>
void CEngineDriver<TBase>::RunTrigger(std::atomic<bool>* pbRunning) {
    // Without a trigger capture no trigger mode is offered; should one run
    // all the same, the core's exit reports the snapshot FAILED.
    if (!m_Desc.capture.bTriggerCapture) return;
    const SCaptureParams& p = m_Capture;
    const bool bSnap = this->m_bSnapMode;

    this->ResetDevice();
    Sleep(p.uResetPauseMs);
    {
        CCritSecLock lock(this->m_csControl);
        this->SendCMD(VR_STOP_STREAM);
        StopSensorStreaming();
    }
    const SCaptureHooks& hooks = m_Desc.capture;
    if (!hooks.bTriggerResetAfterStart) this->ResetEndPoint(p.ucEndpoint);
    this->DbgPrint2("TriggerFunc", "Trigger working thread begin!\n");
    int length = 0;
    {
        CCritSecLock lock(this->m_csControl);
        length = GetRealImageSize();
        m_uRunGeomGen = m_uGeomGen.load();
        // Changes only with the capture stopped.
        m_bCaptureDDR = this->m_bDDREnable;
        if (!hooks.bTriggerKeepsSignal) m_pTiming->TriggerSignal(false);
        this->SendCMD(VR_START_STREAM);
        StartSensorStreaming();
    }
    if (hooks.bTriggerResetAfterStart) this->ResetEndPoint(p.ucEndpoint);
    const int words = length / 2;
    int count = LIBUSB_ERROR_NO_MEM;
    if (this->m_pCirBuf && this->m_pXferBuf && this->m_pXferBuf2 && words >= 4)
        count = this->beginAsyncXfer(p.ucEndpoint, this->RecvBuffer(), length, kTriggerXferTimeoutMs);
    if (count < 0) {
        this->DbgPrint2("TriggerFunc", "Do not have enough memory to start the transfer.\n");
    } else {
        this->DbgPrint2("TriggerFunc", "Begin trigger async transfer %d times!\n", count);
    }

    bool reload = false;  // the DDR sends the frame it holds again
    int failsInRow = 0;
    while (count > 0 && pbRunning->load()) {
        // A read that brings nothing new cannot pass the marker check with an old frame.
        this->ClearFrameMarkers(this->RecvBuffer(), length);
        const int got = ReceiveTriggerFrame(count, length, pbRunning);
        if (got == TRIGGER_FRAME_STOPPED) break;
        if (got == TRIGGER_FRAME_GONE) {
            this->DbgPrint2("TriggerFunc", "the camera is gone\n");
            break;
        }
        if (got == TRIGGER_FRAME_COMPLETE) {
            this->DbgPrint2("TriggerFunc", "Ext Trig:Get one Frame.\n");
            const int r = this->OfferRecvFrame(length, FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER, words - 1, 1,
                                               words - 2);
            if (r == INSERT_ACCEPTED) {
                reload = false;
                failsInRow = 0;
                if (bSnap) {
                    this->DbgPrint2("TriggerFunc", "snap: EXP_SUCCESS\n");
                    this->m_iSnapStatus = KYR_EXP_SUCCESS;
                    break;
                }
                continue;
            }
        } else {
            // A stall stays on the endpoint until it is cleared; so does the
            // rest of a frame cut short.
            this->ResetEndPoint(p.ucEndpoint);
        }
        const uint8_t st = ReadStatus();
        this->DbgPrint2("TriggerFunc", "Buffer status:%x\n", st);
        if (m_bCaptureDDR && (st & FPGA_STATUS_BUF_VALID) && !reload) {
            reload = true;
        } else {
            reload = false;
            ++this->m_iDroppedFrames;
            if (bSnap) {
                this->DbgPrint2("TriggerFunc", "snap: EXP_FAILED\n");
                this->m_iSnapStatus = KYR_EXP_FAILED;
                break;
            }
        }
        if (reload && pbRunning->load()) {
            CCritSecLock lock(this->m_csControl);
            m_pTiming->Reload();
        }
        if (got == TRIGGER_FRAME_FAILED && ++failsInRow > kFailsBeforePause) Sleep(kFailPauseMs);
    }

    {
        CCritSecLock lock(this->m_csControl);
        StopSensorStreaming();
        this->SendCMD(VR_STOP_STREAM);
    }
    this->ResetEndPoint(p.ucEndpoint);
    if (count > 0) this->finishAsyncXfer(count);
    this->DbgPrint2("TriggerFunc", "Trig working thread exit!\n");
}

#define KYR_ENGINE_TRIGGER(TBase)                                                          \
    template void CEngineDriver<TBase>::RunTrigger(std::atomic<bool>*);                    \
    template int CEngineDriver<TBase>::ReceiveTriggerFrame(int, int, std::atomic<bool>*);
KYR_ENGINE_TRIGGER(CCameraBase)
KYR_ENGINE_TRIGGER(CCameraCool)

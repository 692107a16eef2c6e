// The frame every capture and trigger capture thread runs in: the driver's
// body between the core's entry and exit steps, and the alternation of the
// two receive buffers that the body's frame loop uses.
#include <string.h>

#include "camera/CameraBase.h"
#include "platform/Log.h"

namespace {

// Bytes of the marker words at each end of a frame, all generations: head and
// counter (A), head (B), the 32-bit head word (C); tail and counter likewise.
constexpr int kMarkerBytes = 4;

}  // namespace

bool CCameraBase::BindCaptureBody(ThreadCtrl& thread, CaptureBody body) {
    if (&thread != &m_thrWork && &thread != &m_thrTrigger) return false;
    const bool bWork = &thread == &m_thrWork;
    if (!thread.InitFuncPt(bWork ? WorkThreadMain : TriggerThreadMain)) return false;
    (bWork ? m_pWorkBody : m_pTriggerBody).store(body);
    return true;
}

void CCameraBase::WorkThreadMain(std::atomic<bool>* pbRunning, void* pArg) {
    CCameraBase* pCam = static_cast<CCameraBase*>(pArg);
    pCam->RunCaptureThread(pCam->m_pWorkBody.load(), pbRunning);
}

void CCameraBase::TriggerThreadMain(std::atomic<bool>* pbRunning, void* pArg) {
    CCameraBase* pCam = static_cast<CCameraBase*>(pArg);
    pCam->RunCaptureThread(pCam->m_pTriggerBody.load(), pbRunning);
}

void CCameraBase::RunCaptureThread(CaptureBody body, std::atomic<bool>* pbRunning) {
    const bool bSnap = m_bSnapMode;
    CirBuf* pRing = m_pCirBuf;
    // Entry: this run's frames only.
    m_iDroppedFrames = 0;
    m_iRecvLen = 0;
    if (pRing) pRing->ResetCirBuff();

    if (body) body(this, pbRunning);

    // Exit, whatever way the body left. No camera lock is held here.
    m_iDroppedFrames = 0;
    releaseAllAsyncXfers();
    // Video frames end with the run; a snapshot's frame stays for its reader.
    if (pRing) {
        if (!bSnap) pRing->ResetCirBuff();
        pRing->SetStopped(true);
    }
    // The next run receives into the buffer the alternation has moved to
    // (the ring may still copy a snapshot's frame from the other one): its
    // markers are cleared, so that a read bringing nothing new cannot pass
    // the marker check with this run's frame.
    if (m_iRecvLen > 0) ClearFrameMarkers(RecvBuffer(), m_iRecvLen.load());
    // The auto-control thread this run started goes with it.
    if (!bSnap) StopAutoControlThr();
    // Last: a snapshot that has not reported failed. Once the status is no
    // longer WORKING, the thread has nothing left but its return.
    int expected = KYR_EXP_WORKING;
    m_iSnapStatus.compare_exchange_strong(expected, KYR_EXP_FAILED);
    DbgPrint2("WorkingFunc", "working thread exit!\n");
    m_iExpStatus = m_iSnapStatus.load();
}

uint8_t* CCameraBase::RecvBuffer() { return m_iRecvBuf == 0 ? m_pXferBuf : m_pXferBuf2; }

int CCameraBase::OfferRecvFrame(int iLen, uint16_t usHead, int iHeadPos, uint16_t usTail, int iTailPos,
                                int iCnt0Pos, int iCnt1Pos) {
    if (!m_pCirBuf) return INSERT_REFUSED;
    m_iRecvLen = iLen;
    const int r =
        m_pCirBuf->InsertBuff(RecvBuffer(), iLen, usHead, iHeadPos, usTail, iTailPos, iCnt0Pos, iCnt1Pos);
    if (r == INSERT_ACCEPTED) {
        m_iRecvBuf.fetch_xor(1);
        // The multi-transfer set (when the body uses one) follows; refused
        // only while a transfer is in flight, which a received frame excludes.
        if (m_pXfers) setAsyncXferBuf(RecvBuffer());
        // So does the single-read set of a trigger capture.
        if (m_pSingleXfers) setSingleXferBuf(RecvBuffer());
    }
    return r;
}

void CCameraBase::ClearFrameMarkers(uint8_t* pBuf, int iLen) {
    if (!pBuf || iLen <= 0) return;
    const int n = iLen < kMarkerBytes ? iLen : kMarkerBytes;
    memset(pBuf, 0, static_cast<size_t>(n));
    memset(pBuf + iLen - n, 0, static_cast<size_t>(n));
}

// The engine's capture loop: one body for video and single exposures. It
// receives each frame with the multi-transfer set into the receive buffer of
// the core's alternation, offers it to the ring, counts and recovers lost
// frames, and lowers an automatic bandwidth on repeated losses. The core's
// capture frame runs the entry and exit steps around it.
//
// Register sequences here hold the control lock for their length only;
// waits for transfers and sleeps are taken without it.
#include <stdint.h>

#include "CameraCool.h"
#include "CirBuf.h"
#include "EngineDriver.h"
#include "Log.h"

namespace {

// Exposures above this get the longer first-transfer wait.
constexpr unsigned long long kLongExposureUs = 999999;
// Auto exposure and white balance run on the capture thread for frames at
// least this slow (the auto-control thread does the faster ones).
constexpr unsigned long long kSlowFrameUs = 100000;

uint16_t Word(const uint8_t* pFrame, int iWord) {
    return static_cast<uint16_t>(pFrame[2 * iWord] | (pFrame[2 * iWord + 1] << 8));
}

uint32_t ClampMs(unsigned long long ms, uint32_t uMax) {
    return ms > uMax ? uMax : static_cast<uint32_t>(ms);
}

}  // namespace

template <class TBase>
void CEngineDriver<TBase>::WorkingFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    static_cast<CEngineDriver*>(pCam)->RunWorking(pbRunning);
}

template <class TBase>
void CEngineDriver<TBase>::RestartStream() {
    const SCaptureParams& p = m_Capture;
    this->DbgPrint2("WorkingFunc", "no frame more than %d, reset!\n", p.iMaxEmpty);
    this->ResetDevice();
    Sleep(p.uRestartResetMs);
    {
        CCritSecLock lock(this->m_csControl);
        StopSensorStreaming();
        this->SendCMD(VR_STOP_STREAM);
    }
    Sleep(p.uRestartStopMs);
    CCritSecLock lock(this->m_csControl);
    this->SendCMD(VR_START_STREAM);
    StartSensorStreaming();
}

template <class TBase>
void CEngineDriver<TBase>::LostFrame(int* piFailures, int* piEmpty, uint32_t* puWindowStart,
                                     uint32_t* puLastDrop) {
    const SCaptureParams& p = m_Capture;
    ++this->m_iDroppedFrames;
    this->DbgPrint2("WorkingFunc", "drop frames:%d\n", *piFailures);
    {
        CCritSecLock lock(this->m_csControl);
        const bool bAuto = this->m_bAutoFPS;
        const uint32_t now = GetTickCount();
        if (bAuto && !m_bAutoBWSeen) *puWindowStart = now;
        m_bAutoBWSeen = bAuto;
        const bool bInWindow = now - *puWindowStart < p.uBandwidthWindowMs;
        if (bInWindow && bAuto) {
            if (*piFailures >= p.iLossesPerStep) {
                const uint32_t delta = now - *puLastDrop;
                *puLastDrop = now;
                if (delta < p.uLossDeltaMs) {
                    this->DbgPrint2("WorkingFunc", "time from start:%u   time_delta:%u \n",
                                    now - *puWindowStart, delta);
                    this->SetFPSPerc(this->m_iFPSPerc - p.iBandwidthStep, this->m_bAutoFPS);
                }
                this->DbgPrint2("WorkingFunc", "BAD delta time:%u pkg:%x\n", delta,
                                static_cast<unsigned>(this->m_usHMAX));
                *piFailures = 0;
            }
        } else if (*piFailures == 5) {
            this->DbgPrint2("WorkingFunc", "try lowing pkg!!\n");
        }
    }
    // Flushes the rest of the lost frame, so that the next read starts at a frame.
    this->ResetEndPoint(m_Capture.ucEndpoint);
    *piEmpty = 0;
}

template <class TBase>
void CEngineDriver<TBase>::RunWorking(std::atomic<bool>* pbRunning) {
    const SCaptureParams& p = m_Capture;
    const bool bSnap = this->m_bSnapMode;
    uint32_t windowStart = GetTickCount();
    uint32_t lastDrop = windowStart;

    this->ResetDevice();
    Sleep(p.uResetPauseMs);
    int length = 0;
    {
        CCritSecLock lock(this->m_csControl);
        this->SendCMD(VR_STOP_STREAM);
        StopSensorStreaming();
        length = GetRealImageSize();
        m_bAutoBWSeen = this->m_bAutoFPS;
        if (!bSnap) this->m_iAutoCtrlPeriodUs = p.iAutoCtrlPeriodUs;
    }
    this->DbgPrint2("WorkingFunc", "working thread begin!\n");
    // A frame length that follows the run's mode (video or single exposure)
    // is programmed for this run, so the frame time and the frame agree.
    if (m_Desc.exposure.iVMAXBaseSnap > 0) this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    const int words = length / 2;
    const int count = length / p.iXferBytes + (length % p.iXferBytes != 0 ? 1 : 0);
    bool ok = this->m_pCirBuf && this->m_pXferBuf && this->m_pXferBuf2 && words >= 4;
    if (!bSnap && ok) this->StartAutoControlThr();
    if (ok) {
        CCritSecLock lock(this->m_csControl);
        this->SendCMD(VR_START_STREAM);
        StartSensorStreaming();
        this->ResetEndPoint(p.ucEndpoint);
        ok = this->initAsyncXfer(length, count, p.iXferBytes, p.ucEndpoint, this->RecvBuffer());
    }

    int failures = 0;
    int empty = 0;
    const uint32_t start = GetTickCount();
    while (ok && pbRunning->load()) {
        if (bSnap && GetTickCount() - start > p.uSnapRetryMs) {
            this->DbgPrint2("WorkingFunc", "snap Exp: EXP_FAILED:%d\n", failures);
            this->m_iSnapStatus = KYR_EXP_FAILED;
            break;
        }
        const unsigned long long expUs = this->m_lExpTimeUs;
        unsigned long long frameUs;
        {
            CCritSecLock lock(this->m_csControl);
            frameUs = static_cast<unsigned long long>(this->m_iFrameTimeUs) + this->m_iXferTimeUs;
        }
        // No frame time from the timing: a generous one, so that waits stay
        // bounded without cutting slow frames.
        if (frameUs == 0) frameUs = p.uFallbackFrameUs;
        uint32_t waitMs;
        if (expUs >= frameUs)
            waitMs =
                ClampMs(expUs / 1000 + p.uReadoutMarginMs + (expUs > kLongExposureUs ? p.uLongExpExtraMs : 0),
                        UINT32_MAX);
        else
            waitMs = ClampMs(frameUs / 500 + p.uFrameWaitMarginMs, p.uMaxWaitMs);
        const uint32_t nextMs = ClampMs(frameUs / 1000 / count + p.uNextWaitMarginMs, p.uMaxWaitMs);

        uint8_t* pBuf = this->RecvBuffer();
        this->ClearFrameMarkers(pBuf, length);
        int got = 0;
        this->startAsyncXfer(waitMs, nextMs, &got, pbRunning, length);
        if (!pbRunning->load()) break;

        if (got >= length) {
            const int r = this->OfferRecvFrame(length, FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER, words - 1, 1,
                                               words - 2);
            if (r == INSERT_ACCEPTED) {
                empty = 0;
                if (bSnap) {
                    this->DbgPrint2("WorkingFunc", "snap: EXP_SUCCESS\n");
                    this->m_iSnapStatus = KYR_EXP_SUCCESS;
                    break;
                }
                // Slow frames: the auto steps run here, on the frame just taken.
                if (expUs >= kSlowFrameUs || frameUs >= kSlowFrameUs) {
                    if (this->m_bAutoExp || this->m_bAutoGain) this->AutoExpGainFromRing();
                    if (this->m_bColor && this->m_bAutoWB) this->AutoWhiBalFromRing();
                }
                continue;
            }
            if (r == INSERT_REFUSED) {
                ++this->m_iDroppedFrames;
                continue;
            }
            this->DbgPrint2("WorkingFunc", "head:0x%x COUNT:%d tail:0x%x count:%d\n", Word(pBuf, 0),
                            Word(pBuf, 1), Word(pBuf, words - 1), Word(pBuf, words - 2));
            ++failures;
            LostFrame(&failures, &empty, &windowStart, &lastDrop);
            continue;
        }

        this->DbgPrint2("WorkingFunc", "get len:0x%x drop:%d  frametime:%dus waittime:%dms\n", got,
                        failures + 1, static_cast<int>(frameUs), static_cast<int>(waitMs));
        ++failures;
        if (got == 0) {
            this->DbgPrint2("WorkingFunc", "nothing get count:%d\n", empty + 1);
            if (p.iMaxEmpty > 0 && ++empty >= p.iMaxEmpty) {
                RestartStream();
                empty = 0;
                failures = 0;
            }
            continue;
        }
        LostFrame(&failures, &empty, &windowStart, &lastDrop);
    }

    // The camera's side of the exit; the core's frame does the rest.
    {
        CCritSecLock lock(this->m_csControl);
        StopSensorStreaming();
        this->SendCMD(VR_STOP_STREAM);
    }
    this->ResetEndPoint(p.ucEndpoint);
}

#define KYR_ENGINE_CAPTURE(TBase)                                                      \
    template void CEngineDriver<TBase>::WorkingFunc(CCameraBase*, std::atomic<bool>*); \
    template void CEngineDriver<TBase>::RestartStream();                               \
    template void CEngineDriver<TBase>::LostFrame(int*, int*, uint32_t*, uint32_t*);   \
    template void CEngineDriver<TBase>::RunWorking(std::atomic<bool>*);
KYR_ENGINE_CAPTURE(CCameraBase)
KYR_ENGINE_CAPTURE(CCameraCool)

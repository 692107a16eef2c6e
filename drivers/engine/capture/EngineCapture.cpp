// The engine's capture loop: one body for video and single exposures. It
// receives each frame with the multi-transfer set into the receive buffer of
// the core's alternation, offers it to the ring, counts and recovers lost
// frames, lowers an automatic bandwidth on repeated losses and times long
// exposures by the model's script. The core's capture frame runs the entry
// and exit steps around it.
//
// Register sequences here hold the control lock for their length only;
// waits for transfers and sleeps are taken without it.
#include <stdint.h>

#include "engine/EngineDriver.h"
#include "cooling/CameraCool.h"
#include "platform/Log.h"
#include "ring/CirBuf.h"

namespace {

// Exposures above this get the longer first-transfer wait.
constexpr unsigned long long kLongExposureUs = 999999;
// Auto exposure and white balance run on the capture thread for frames at
// least this slow (the auto-control thread does the faster ones).
constexpr unsigned long long kSlowFrameUs = 100000;
// Longest wait for the ring's copy of a slow frame before its auto steps
// (the largest frame is copied in a fraction of it).
constexpr int kFrameCopyWaitMs = 1000;

uint16_t Word(const uint8_t* pFrame, int iWord) {
    return static_cast<uint16_t>(pFrame[2 * iWord] | (pFrame[2 * iWord + 1] << 8));
}

uint32_t ClampMs(unsigned long long ms, uint32_t uMax) {
    return ms > uMax ? uMax : static_cast<uint32_t>(ms);
}

// FPGA status byte when every stream check is fine.
constexpr uint8_t kStatusAllFine = 0x15;
// Re-synchronisation: pauses after the FPGA stop and after its start.
constexpr uint32_t kSyncStopMs = 5;
constexpr uint32_t kSyncStartMs = 20;

const SLongExpAction kTemplateOpen[] = {
    {LONG_OP_PAUSE, 25, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpStep kTemplateSteps[] = {
    {60, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
    {80, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_ALWAYS}},
};
const SLongExpAction kTemplateClose[] = {
    {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},      {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},        {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};

}  // namespace

const SLongExpScript g_LongExpTemplate = {
    .everyPass = {nullptr, 0},
    .open = LongExpActions(kTemplateOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 225000,
    .beforeSteps = {nullptr, 0},
    .uStepMs = 10,
    .uStepLeadMs = 225,
    .bCountedSteps = false,
    .pSteps = kTemplateSteps,
    .iSteps = sizeof(kTemplateSteps) / sizeof(kTemplateSteps[0]),
    .close = LongExpActions(kTemplateClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
};

template <class TBase>
void CEngineDriver<TBase>::WorkingFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    static_cast<CEngineDriver*>(pCam)->RunWorking(pbRunning);
}

template <class TBase>
void CEngineDriver<TBase>::TriggerFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    static_cast<CEngineDriver*>(pCam)->RunTrigger(pbRunning);
}

template <class TBase>
bool CEngineDriver<TBase>::LongExpAction(uint32_t) {
    return true;
}

// ---- Long exposure ---------------------------------------------------------------------------

template <class TBase>
const SLongExpScript& CEngineDriver<TBase>::LongExpScript() const {
    return m_Desc.pLongExp ? *m_Desc.pLongExp : g_LongExpTemplate;
}

template <class TBase>
bool CEngineDriver<TBase>::SyncBeforeLongExp(uint32_t uTries) {
    const SLongExpScript& s = LongExpScript();
    uint8_t status = s.eSyncFrom == LONG_SYNC_FROM_LAST_STATUS ? m_ucLastStatus : ReadStatus();
    for (uint32_t i = 0; i < uTries && !(status & FPGA_STATUS_BIT4); ++i) {
        m_pTiming->Output(false);
        Sleep(kSyncStopMs);
        m_pTiming->Output(true);
        Sleep(kSyncStartMs);
        status = ReadStatus();
        if (!(status & FPGA_STATUS_BIT4)) this->DbgPrint2("WorkingFunc", "EC sync status:0x%x\n", status);
    }
    if (status & FPGA_STATUS_BIT4) return true;
    if (s.eSyncGiveUp != LONG_SYNC_GIVE_UP_READS)
        this->DbgPrint2("WorkingFunc", "Long exposure EC sync failed.\n");
    if (s.eSyncGiveUp != LONG_SYNC_GIVE_UP_LOG) {
        CCritSecLock lock(this->m_csControl);
        this->GetFirmwareVer();
        this->GetFPGAVer();
    }
    return false;
}

template <class TBase>
bool CEngineDriver<TBase>::RunLongExpAction(const SLongExpAction& a, uint32_t* puTriggerTick) {
    if (a.eWhen == LONG_WHEN_DDR_OR_USB3 && !m_bCaptureDDR && !m_bCaptureUSB3) return true;
    const bool on = a.uArg != 0;
    switch (a.eOp) {
        case LONG_OP_PAUSE:
            Sleep(a.uArg);
            return true;
        case LONG_OP_SYNC:
            return SyncBeforeLongExp(a.uArg);
        case LONG_OP_LOG_WAIT:
            this->DbgPrint2("WorkingFunc", "wait:%ld\n",
                            puTriggerTick ? static_cast<long>(GetTickCount() - *puTriggerTick) : 0L);
            return true;
        default:
            break;
    }
    CCritSecLock lock(this->m_csControl);
    switch (a.eOp) {
        case LONG_OP_TRIGGER_SIGNAL:
            m_pTiming->TriggerSignal(on);
            if (on && puTriggerTick) *puTriggerTick = GetTickCount();
            break;
        case LONG_OP_WAIT_MODE:
            m_pTiming->WaitMode(on);
            break;
        case LONG_OP_TRIGGER_MODE:
            m_pTiming->TriggerMode(on);
            break;
        case LONG_OP_LOW_POWER:
            m_pTiming->LowPower(on);
            break;
        case LONG_OP_XHS_STOP:
            m_pTiming->XHSStop(on);
            break;
        case LONG_OP_SENSOR:
            this->WriteSONYREG(a.usReg, static_cast<uint8_t>(a.uArg));
            break;
        case LONG_OP_MODEL:
            LongExpAction(a.uArg);
            break;
        default:
            break;
    }
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::RunLongExpActions(const SLongExpActions& list, uint32_t* puTriggerTick) {
    for (int i = 0; i < list.iCount; ++i)
        if (!RunLongExpAction(list.pActions[i], puTriggerTick)) return false;
    return true;
}

template <class TBase>
void CEngineDriver<TBase>::AddLongExpActions(CRegPlan& plan, const SLongExpActions& list) {
    for (int i = 0; i < list.iCount; ++i) {
        const SLongExpAction* pAction = &list.pActions[i];
        plan.Call([this, pAction] {
            uint32_t tick = 0;
            return RunLongExpAction(*pAction, &tick);
        });
    }
}

template <class TBase>
bool CEngineDriver<TBase>::RunLongExposure(unsigned long long ullExpUs, std::atomic<bool>* pbRunning) {
    const SLongExpScript& s = LongExpScript();
    const uint64_t ms = ullExpUs / 1000;
    const char* szBegin = s.szBeginLog ? s.szBeginLog : "Begin long exp %d\n";
    bool bBeginPlaced = false;
    for (int i = 0; i < s.open.iCount; ++i) bBeginPlaced |= s.open.pActions[i].eOp == LONG_OP_LOG_BEGIN;
    if (!bBeginPlaced) this->DbgPrint2("WorkingFunc", szBegin, static_cast<int>(ms));
    uint32_t t0 = GetTickCount();
    for (int i = 0; i < s.open.iCount; ++i) {
        const SLongExpAction& a = s.open.pActions[i];
        if (a.eOp == LONG_OP_LOG_BEGIN)
            this->DbgPrint2("WorkingFunc", szBegin, static_cast<int>(ms));
        else if (!RunLongExpAction(a, &t0))
            return false;
    }
    // The wait counts from its own start, after the opening actions.
    if (s.bWaitFromItsStart) t0 = GetTickCount();
    if (ullExpUs <= s.ullOneSleepMaxUs) {
        const uint64_t us = ms * 1000;
        if (us > s.uOneSleepLeadUs) SleepUs(static_cast<uint32_t>(us - s.uOneSleepLeadUs));
    } else {
        RunLongExpActions(s.beforeSteps, &t0);
        const uint64_t target = ms > s.uStepLeadMs ? ms - s.uStepLeadMs : 0;
        const uint64_t steps = s.uStepMs ? target / s.uStepMs : 0;
        int next = 0;  // the next step action
        for (uint64_t i = 0;; ++i) {
            if (!pbRunning->load() || this->m_lExpTimeUs != ullExpUs) {
                RunLongExpActions(s.earlyEnd, nullptr);
                break;
            }
            if (s.bCountedSteps ? i >= steps : GetTickCount() - t0 >= target) break;
            for (; next < s.iSteps && static_cast<uint64_t>(s.pSteps[next].iStep) <= i; ++next)
                if (static_cast<uint64_t>(s.pSteps[next].iStep) == i)
                    RunLongExpAction(s.pSteps[next].action, &t0);
            Sleep(s.uStepMs ? s.uStepMs : 1);
        }
        RunLongExpActions(s.afterSteps, nullptr);
    }
    RunLongExpActions(s.close, nullptr);
    return true;
}

template <class TBase>
bool CEngineDriver<TBase>::BeginLongPass(unsigned long long* pExpUs) {
    const SLongExpActions& everyPass = LongExpScript().everyPass;
    CCritSecLock lock(this->m_csControl);
    *pExpUs = this->m_lExpTimeUs;
    if (!this->m_bLongExpMode) return false;
    RunLongExpActions(everyPass, nullptr);
    return true;
}

// ---- Stream recovery -------------------------------------------------------------------------

template <class TBase>
bool CEngineDriver<TBase>::RestartStream() {
    const SCaptureParams& p = m_Capture;
    if (p.szResetLog)
        this->DbgPrint2("WorkingFunc", "%s", p.szResetLog);
    else
        this->DbgPrint2("WorkingFunc", "no frame more than %d, reset!\n", p.iMaxEmpty);
    // A device that takes no USB reset is gone (or re-enumerates under a new
    // handle): nothing more comes on this one.
    if (!this->ResetDevice()) {
        this->DbgPrint2("WorkingFunc", "USB reset failed, the camera is gone\n");
        return false;
    }
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
    return true;
}

template <class TBase>
void CEngineDriver<TBase>::LostFrame(int* piFailures, int* piEmpty, uint32_t* puWindowStart,
                                     uint32_t* puLastDrop, bool bReload) {
    const SCaptureParams& p = m_Capture;
    // A frame the DDR sends again is not lost yet.
    if (!bReload) ++this->m_iDroppedFrames;
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
    const SCaptureHooks& hooks = m_Desc.capture;
    const SLongExpScript& script = LongExpScript();
    const bool bSnap = this->m_bSnapMode;
    uint32_t windowStart = GetTickCount();
    uint32_t lastDrop = windowStart;
    m_ucLastStatus = 0;

    this->ResetDevice();
    Sleep(p.uResetPauseMs);
    int length = 0;
    {
        CCritSecLock lock(this->m_csControl);
        this->SendCMD(VR_STOP_STREAM);
        StopSensorStreaming();
        length = GetRealImageSize();
        m_uRunGeomGen = m_uGeomGen.load();
        m_bAutoBWSeen = this->m_bAutoFPS;
        // Both change only with the capture stopped.
        m_bCaptureDDR = this->m_bDDREnable;
        m_bCaptureUSB3 = this->m_bUSB3Host;
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
    bool reload = false;  // the next pass has the DDR send its frame again
    int reloads = 0;      // reloads in a row
    const uint32_t start = GetTickCount();
    while (ok && pbRunning->load()) {
        if (bSnap && !reload && GetTickCount() - start > p.uSnapRetryMs) {
            this->DbgPrint2("WorkingFunc", "snap Exp: EXP_FAILED:%d\n", failures);
            this->m_iSnapStatus = KYR_EXP_FAILED;
            break;
        }
        // Long mode and the exposure read and the pass's FPGA modes switched
        // as one step: a SetExp that ends long mode on another thread comes
        // either before (no long pass) or after (it switches them off again).
        unsigned long long expUs = 0;
        const bool bLong = BeginLongPass(&expUs);
        unsigned long long frameUs;
        {
            CCritSecLock lock(this->m_csControl);
            frameUs = static_cast<unsigned long long>(this->m_iFrameTimeUs) + this->m_iXferTimeUs;
        }
        // No frame time from the timing: a generous one, so that waits stay
        // bounded without cutting slow frames.
        if (frameUs == 0) frameUs = p.uFallbackFrameUs;
        uint32_t waitMs;
        if (bLong) {
            if (reload) {
                {
                    CCritSecLock lock(this->m_csControl);
                    m_pTiming->Reload();
                }
                this->DbgPrint2("WorkingFunc", "Reload long exp data.\n");
            } else {
                if (!RunLongExposure(expUs, pbRunning)) break;
                reloads = 0;
            }
            waitMs = reload && script.uReloadWaitMs ? script.uReloadWaitMs : script.uReadoutWaitMs;
            // The readout follows the programmed frame (not for a resend from the DDR).
            if (m_Desc.capture.bReadoutAfterFrame && !reload)
                waitMs =
                    ClampMs(static_cast<unsigned long long>(waitMs) + m_uProgFrameUs / 1000 + 1, UINT32_MAX);
        } else if (expUs >= frameUs) {
            waitMs =
                ClampMs(expUs / 1000 + p.uReadoutMarginMs + (expUs > kLongExposureUs ? p.uLongExpExtraMs : 0),
                        UINT32_MAX);
        } else {
            waitMs = ClampMs(frameUs / 500 + p.uFrameWaitMarginMs, p.uMaxWaitMs);
        }
        uint32_t nextMs = ClampMs(frameUs / 1000 / count + p.uNextWaitMarginMs, p.uMaxWaitMs);
        if (p.uNextWaitCapMs > 0) nextMs = waitMs < p.uNextWaitCapMs ? waitMs : p.uNextWaitCapMs;

        uint8_t* pBuf = this->RecvBuffer();
        this->ClearFrameMarkers(pBuf, length);
        int got = 0;
        this->startAsyncXfer(waitMs, nextMs, &got, pbRunning, length);
        if (!pbRunning->load()) break;
        if (bLong && hooks.szLongFrameLog)
            this->DbgPrint2("WorkingFunc", hooks.szLongFrameLog, static_cast<int>(expUs / 1000));
        if (!this->m_bAutoFPS) m_bAutoBWSeen = false;
        if (hooks.bStatusEachPass) {
            const uint8_t st = ReadStatus();
            m_ucLastStatus = st;
            if (st != kStatusAllFine) this->DbgPrint2("WorkingFunc", "buff status:0x%x\n", st);
        }

        if (got >= length) {
            const int r = this->OfferRecvFrame(length, FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER, words - 1, 1,
                                               words - 2);
            if (r == INSERT_ACCEPTED) {
                empty = 0;
                reload = false;
                if (bSnap) {
                    this->DbgPrint2("WorkingFunc", "snap: EXP_SUCCESS\n");
                    this->m_iSnapStatus = KYR_EXP_SUCCESS;
                    break;
                }
                // Slow frames: the auto steps run here, on the frame just taken.
                if (expUs >= kSlowFrameUs || frameUs >= kSlowFrameUs) SlowFrameAutoSteps();
                continue;
            }
            if (r == INSERT_REFUSED) {
                ++this->m_iDroppedFrames;
                continue;
            }
            this->DbgPrint2("WorkingFunc", "head:0x%x COUNT:%d tail:0x%x count:%d\n", Word(pBuf, 0),
                            Word(pBuf, 1), Word(pBuf, words - 1), Word(pBuf, words - 2));
            ++failures;
            LostFrame(&failures, &empty, &windowStart, &lastDrop, reload);
            continue;
        }

        if (hooks.szShortFrameLog) this->DbgPrint2("WorkingFunc", hooks.szShortFrameLog, length, got);
        // A short readout of a long exposure: the DDR may still hold the
        // whole frame and can send it again.
        if (bLong && m_bCaptureDDR) {
            const uint8_t st = ReadStatus();
            this->DbgPrint2("WorkingFunc", "Buffer status:%x\n", st);
            if ((st & FPGA_STATUS_BUF_VALID) && reloads < script.iMaxReloads) {
                reload = true;
                ++reloads;
                LostFrame(&failures, &empty, &windowStart, &lastDrop, true);
                continue;
            }
            if (reloads >= script.iMaxReloads) {
                this->DbgPrint2("WorkingFunc", "USB cable has an exception, reload failed!\n");
                if (hooks.bGPIFOnGiveUp) LogGPIFStatus();
            } else {
                this->DbgPrint2("WorkingFunc", "Data in cache is invalid, could not reload!\n");
            }
            reload = false;
            reloads = 0;
        }

        this->DbgPrint2("WorkingFunc", "get len:0x%x drop:%d  frametime:%dus waittime:%dms\n", got,
                        failures + 1, static_cast<int>(frameUs), static_cast<int>(waitMs));
        ++failures;
        if (hooks.bLivenessAfterShort) {
            CCritSecLock lock(this->m_csControl);
            this->GetFirmwareVer();
            this->GetFPGAVer();
        }
        // An empty long-exposure snapshot is a lost frame, not a stalled stream.
        if (got == 0 && !(bLong && bSnap) && !hooks.bEmptyIsDropped) {
            this->DbgPrint2("WorkingFunc", "nothing get count:%d\n", empty + 1);
            if (p.iMaxEmpty > 0 && ++empty >= p.iMaxEmpty) {
                if (!RestartStream()) break;
                empty = 0;
                failures = 0;
                reload = false;
            }
            continue;
        }
        LostFrame(&failures, &empty, &windowStart, &lastDrop, false);
    }

    // The camera's side of the exit; the core's frame does the rest.
    {
        CCritSecLock lock(this->m_csControl);
        StopSensorStreaming();
        this->SendCMD(VR_STOP_STREAM);
    }
    this->ResetEndPoint(p.ucEndpoint);
}

template <class TBase>
void CEngineDriver<TBase>::SlowFrameAutoSteps() {
    const bool bExpGain = this->m_bAutoExp || this->m_bAutoGain;
    const bool bWhiteBalance = this->m_bColor && this->m_bAutoWB;
    if (!bExpGain && !bWhiteBalance) return;
    // The ring copies the frame just taken on its own thread; until that copy
    // is in, its newest frame is the one before. A frame the copy never
    // brings in (a stop drops it) steps nothing.
    if (!this->m_pCirBuf->WaitInsertIdle(kFrameCopyWaitMs)) return;
    if (bExpGain) this->AutoExpGainFromRing();
    if (bWhiteBalance) this->AutoWhiBalFromRing();
}

template <class TBase>
uint8_t CEngineDriver<TBase>::ReadStatus() {
    uint8_t st = 0;
    CCritSecLock lock(this->m_csControl);
    // An unread status holds nothing: no frame to send again.
    if (!m_pTiming->ReadStatus(&st)) st = 0;
    return st;
}

template <class TBase>
void CEngineDriver<TBase>::LogGPIFStatus() {
    uint8_t st = 0;
    bool read;
    {
        CCritSecLock lock(this->m_csControl);
        read = this->GetGPIFStatus(&st);
    }
    if (read)
        this->DbgPrint2("WorkingFunc", "GPIF Status: 0x%x\n", st);
    else
        this->DbgPrint2("WorkingFunc", "Get GPIF error, GPIF Status: 0x%x\n", st);
}

#define KYR_ENGINE_CAPTURE(TBase)                                                                \
    template void CEngineDriver<TBase>::WorkingFunc(CCameraBase*, std::atomic<bool>*);           \
    template void CEngineDriver<TBase>::TriggerFunc(CCameraBase*, std::atomic<bool>*);           \
    template bool CEngineDriver<TBase>::LongExpAction(uint32_t);                                 \
    template const SLongExpScript& CEngineDriver<TBase>::LongExpScript() const;                  \
    template bool CEngineDriver<TBase>::SyncBeforeLongExp(uint32_t);                             \
    template bool CEngineDriver<TBase>::RunLongExpAction(const SLongExpAction&, uint32_t*);      \
    template bool CEngineDriver<TBase>::RunLongExpActions(const SLongExpActions&, uint32_t*);    \
    template void CEngineDriver<TBase>::AddLongExpActions(CRegPlan&, const SLongExpActions&);    \
    template bool CEngineDriver<TBase>::RunLongExposure(unsigned long long, std::atomic<bool>*); \
    template bool CEngineDriver<TBase>::BeginLongPass(unsigned long long*);                                         \
    template bool CEngineDriver<TBase>::RestartStream();                                         \
    template void CEngineDriver<TBase>::LostFrame(int*, int*, uint32_t*, uint32_t*, bool);       \
    template void CEngineDriver<TBase>::RunWorking(std::atomic<bool>*);                          \
    template void CEngineDriver<TBase>::SlowFrameAutoSteps();                                    \
    template uint8_t CEngineDriver<TBase>::ReadStatus();                                         \
    template void CEngineDriver<TBase>::LogGPIFStatus();
KYR_ENGINE_CAPTURE(CCameraBase)
KYR_ENGINE_CAPTURE(CCameraCool)

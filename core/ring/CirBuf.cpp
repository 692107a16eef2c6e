#include "ring/CirBuf.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <initializer_list>
#include <new>

#include "platform/Log.h"

namespace {

// A 16-bit word of a frame, little-endian as the camera sends it.
uint16_t FrameWord(const uint8_t* pData, int iPos) {
    const uint8_t* p = pData + 2 * static_cast<long>(iPos);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Absolute monotonic deadline iWaitMs from now, nanoseconds carried into seconds.
struct timespec DeadlineAfter(int iWaitMs) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += iWaitMs / 1000;
    ts.tv_nsec += static_cast<long>(iWaitMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// Held ring mutex, released on scope exit.
class CRingHold {
  public:
    explicit CRingHold(S_MUTEX_UNIX& cs) : m_pMutex(&cs.mutex) { pthread_mutex_lock(m_pMutex); }
    ~CRingHold() {
        if (m_bHeld) pthread_mutex_unlock(m_pMutex);
    }
    void Release() {
        pthread_mutex_unlock(m_pMutex);
        m_bHeld = false;
    }
    CRingHold(const CRingHold&) = delete;
    CRingHold& operator=(const CRingHold&) = delete;

  private:
    pthread_mutex_t* m_pMutex;
    bool m_bHeld = true;
};

}  // namespace

CirBuf::CirBuf(long lSize, int iCount) : m_thrInsert(InsertBufThd) {
    m_iCount = iCount < 1 ? 1 : (iCount > kMaxSlots ? kMaxSlots : iCount);
    m_lBufSize = lSize > 0 ? lSize : 0;
    for (auto& cs : m_csBuf) InitializeCriticalSection(&cs);

    int rc = InitializeCriticalSection(&m_csRing);
    if (rc != 0) {
        DbgPrint(-1, "InitCondMutex", "InitializeCriticalSection fail: %s\n", strerror(rc));
    } else {
        m_bRingLockMade = true;
        rc = pthread_condattr_init(&m_condAttr);
        if (rc != 0) {
            DbgPrint(-1, "InitCondMutex", "pthread_condattr_init fail: %s\n", strerror(rc));
        } else {
            m_bCondAttrMade = true;
            // Deadlines must not move when the wall clock is set.
            rc = pthread_condattr_setclock(&m_condAttr, CLOCK_MONOTONIC);
            if (rc != 0) DbgPrint(-1, "InitCondMutex", "pthread_condattr_setclock fail: %s\n", strerror(rc));
        }
    }
    if (m_bCondAttrMade && rc == 0) {
        pthread_cond_t* conds[] = {&m_condRead, &m_condInsert, &m_condIdle};
        int made = 0;
        for (pthread_cond_t* cond : conds) {
            rc = pthread_cond_init(cond, &m_condAttr);
            if (rc != 0) break;
            ++made;
        }
        if (rc != 0) {
            DbgPrint(-1, "InitCondMutex", "pthread_cond_init fail: %s\n", strerror(rc));
            for (int i = 0; i < made; ++i) pthread_cond_destroy(conds[i]);
        } else {
            m_bCondsMade = true;
        }
    }

    bool bSlots = m_lBufSize > 0;
    for (int i = 0; bSlots && i < m_iCount; ++i) {
        m_pBuf[i] = new (std::nothrow) uint8_t[static_cast<size_t>(m_lBufSize)];
        if (!m_pBuf[i]) bSlots = false;
    }
    // Without its lock and conditions the ring could neither hand frames over
    // nor wait for them: it is then unusable as a whole.
    m_bValid = m_bRingLockMade && m_bCondsMade && bSlots;
}

CirBuf::~CirBuf() {
    if (m_thrInsert.IsAlive()) StopInstBufThr();
    for (uint8_t*& p : m_pBuf) {
        delete[] p;
        p = nullptr;
    }
    for (auto& cs : m_csBuf) DeleteCriticalSection(&cs);
    if (m_bCondAttrMade) {
        int rc = pthread_condattr_destroy(&m_condAttr);
        if (rc != 0) DbgPrint(-1, "DestroyCondMutex", "pthread_condattr_destroy fail: %s\n", strerror(rc));
    }
    if (m_bRingLockMade) {
        int rc = DeleteCriticalSection(&m_csRing);
        if (rc != 0) DbgPrint(-1, "DestroyCondMutex", "DeleteCriticalSection fail: %s\n", strerror(rc));
    }
    if (m_bCondsMade) {
        for (pthread_cond_t* cond : {&m_condRead, &m_condInsert, &m_condIdle}) {
            int rc = pthread_cond_destroy(cond);
            if (rc != 0) DbgPrint(-1, "DestroyCondMutex", "pthread_cond_destroy fail: %s\n", strerror(rc));
        }
    }
}

// ---- Insert thread --------------------------------------------------------------

bool CirBuf::StartInstBufThr() {
    if (!m_bValid) return false;
    {
        CRingHold hold(m_csRing);
        if (m_thrInsert.IsAlive()) return false;
        m_bQuit = false;
    }
    return m_thrInsert.Start(this);
}

void CirBuf::StopInstBufThr() {
    DbgPrint(-1, "StopInstBufThr", ">> wait InsertBufThr exit\n");
    DbgPrint(-1, "StopInstBufThr", "StopInstBufThr 0\n");
    if (m_bValid) {
        // Set and signalled under the lock the thread tests it with: the
        // wake-up cannot fall between its test and its wait.
        CRingHold hold(m_csRing);
        m_bQuit = true;
        pthread_cond_broadcast(&m_condInsert);
    }
    DbgPrint(-1, "StopInstBufThr", "StopInstBufThr 1\n");
    m_thrInsert.Stop();
    DbgPrint(-1, "StopInstBufThr", "<< wait InsertBufThr exit\n");
    if (m_bValid) {
        // Nobody copies a staged frame any more: readers must not wait for it.
        CRingHold hold(m_csRing);
        m_bStaged = false;
        m_pStaged = nullptr;
        pthread_cond_broadcast(&m_condIdle);
        pthread_cond_broadcast(&m_condRead);
    }
}

void CirBuf::InsertBufThd(std::atomic<bool>* pbRunning, void* pArg) {
    static_cast<CirBuf*>(pArg)->InsertLoop(pbRunning);
}

void CirBuf::InsertLoop(std::atomic<bool>* pbRunning) {
    DbgPrint(-1, "InsertBufThd", "InsertBufThr begin\n");
    pthread_mutex_lock(&m_csRing.mutex);
    while (pbRunning->load() && !m_bQuit) {
        while (!m_bQuit && (!m_bStaged || m_bHeldForTest)) pthread_cond_wait(&m_condInsert, &m_csRing.mutex);
        if (m_bQuit) break;

        // Claim the staged frame. It stays "busy" (offers refused, a reset
        // waits) until the copy is in its slot, so the caller's buffer is not
        // written while it is read here.
        const int slot = m_iWriteIndex;
        const uint8_t* pSrc = m_pStaged;
        const int len = m_iLen;
        m_bStaged = false;
        m_pStaged = nullptr;
        m_bInserting = true;
        pthread_mutex_unlock(&m_csRing.mutex);

        // A reader may still be copying the frame that last filled this slot;
        // its slot lock makes the copy wait for it.
        pthread_mutex_lock(&m_csBuf[slot].mutex);
        memcpy(m_pBuf[slot], pSrc, static_cast<size_t>(len));
        pthread_mutex_unlock(&m_csBuf[slot].mutex);

        pthread_mutex_lock(&m_csRing.mutex);
        m_bInserting = false;
        ++m_iReady;
        m_iLatest = slot;
        m_iWriteIndex = (slot + 1) % m_iCount;
        pthread_cond_broadcast(&m_condRead);
        pthread_cond_broadcast(&m_condIdle);
    }
    pthread_mutex_unlock(&m_csRing.mutex);
    DbgPrint(-1, "InsertBufThd", "thread InsertBufThd Exit\n");
}

// ---- Offer ------------------------------------------------------------------------

bool CirBuf::PositionInFrame(int iPos, int iLen) const {
    return iPos >= 0 && static_cast<int64_t>(iPos) * 2 + 2 <= iLen;
}

int CirBuf::InsertBuff(uint8_t* pData, int iLen, uint16_t usHead, int iHeadPos, uint16_t usTail, int iTailPos,
                       int iCnt0Pos, int iCnt1Pos) {
    if (!pData || !m_bValid) return INSERT_REFUSED;
    // A frame that does not fit a slot, or a marker looked for outside the
    // frame, would make the copy or the check run past the buffers.
    if (iLen <= 0 || iLen > m_lBufSize) {
        DbgPrint(-1, "InsertBuff", "frame length %d outside 1..%ld\n", iLen, m_lBufSize);
        return INSERT_REFUSED;
    }
    const bool bCounters = iCnt0Pos != 0 && iCnt1Pos != 0;
    if ((usHead != 0 && !PositionInFrame(iHeadPos, iLen)) ||
        (usTail != 0 && !PositionInFrame(iTailPos, iLen)) ||
        (bCounters && (!PositionInFrame(iCnt0Pos, iLen) || !PositionInFrame(iCnt1Pos, iLen)))) {
        DbgPrint(-1, "InsertBuff", "marker position outside the frame of %d bytes\n", iLen);
        return INSERT_REFUSED;
    }

    CRingHold hold(m_csRing);
    // One frame at a time is on its way into the ring: while one is staged or
    // being copied, the caller's buffer still belongs to the ring.
    if (m_iReady >= m_iCount || m_bStaged || m_bInserting) return INSERT_REFUSED;

    if (usHead != 0 && FrameWord(pData, iHeadPos) != usHead) return INSERT_BAD_FRAME;
    if (usTail != 0 && FrameWord(pData, iTailPos) != usTail) return INSERT_BAD_FRAME;
    if (bCounters) {
        const uint16_t count0 = FrameWord(pData, iCnt0Pos);
        const uint16_t count1 = FrameWord(pData, iCnt1Pos);
        if (count0 != count1) {
            DbgPrint(-1, "InsertBuff", "Count Addrcount0= %02X, Addrcount1=%02X \n", count0, count1);
            return INSERT_BAD_FRAME;
        }
    }

    m_pStaged = pData;
    m_iLen = iLen;
    m_bStaged = true;
    pthread_cond_broadcast(&m_condInsert);
    return INSERT_ACCEPTED;
}

// ---- Readers ---------------------------------------------------------------------------

template <class Pred>
bool CirBuf::WaitRing(pthread_cond_t* pCond, int iWaitMs, Pred pred) {
    if (iWaitMs == -1) {
        while (!pred()) pthread_cond_wait(pCond, &m_csRing.mutex);
        return true;
    }
    const struct timespec deadline = DeadlineAfter(iWaitMs < 0 ? 0 : iWaitMs);
    while (!pred()) {
        if (pthread_cond_timedwait(pCond, &m_csRing.mutex, &deadline) == ETIMEDOUT) return pred();
    }
    return true;
}

bool CirBuf::ReadBuff(uint8_t* pDst, int iLen, int iWaitMs, uint8_t** /*ppUnused*/) {
    if (!pDst) {
        DbgPrint(-1, "ReadBuff", "error, pData is 0\n");
        return false;
    }
    if (!m_bValid) return false;
    if (iLen < 0 || iLen > m_lBufSize) {
        DbgPrint(-1, "ReadBuff", "read length %d outside 0..%ld\n", iLen, m_lBufSize);
        return false;
    }
    CRingHold hold(m_csRing);
    // A frame staged or being copied is on its way even when capture stopped.
    const bool bGot = WaitRing(&m_condRead, iWaitMs, [this] {
        return m_iReady > 0 || (m_bStopped && (NothingComingLocked() || !m_thrInsert.IsAlive()));
    });
    if (!bGot || m_iReady == 0) return false;

    // Taken under the ring mutex, so two readers never take one frame; the
    // slot lock is free here (a slot is refilled only after its reader let
    // go) and keeps the insert thread out of the slot while it is copied.
    const int slot = m_iReadIndex;
    m_iReadIndex = (slot + 1) % m_iCount;
    --m_iReady;
    pthread_mutex_lock(&m_csBuf[slot].mutex);
    hold.Release();
    memcpy(pDst, m_pBuf[slot], static_cast<size_t>(iLen));
    pthread_mutex_unlock(&m_csBuf[slot].mutex);
    return true;
}

bool CirBuf::IsBuffHeadCorrect(uint32_t uValue, int iWaitMs) {
    if (!m_bValid || m_lBufSize < 4) return false;
    CRingHold hold(m_csRing);
    const bool bGot = WaitRing(&m_condRead, iWaitMs, [this] {
        return m_iReady > 0 || (m_bStopped && (NothingComingLocked() || !m_thrInsert.IsAlive()));
    });
    if (!bGot) {
        hold.Release();
        DbgPrint(-1, "IsBuffHeadCorrect", "[%s] Read time out wait %dms\n", "IsBuffHeadCorrect", iWaitMs);
        return false;
    }
    if (m_iReady == 0) return false;
    const int slot = m_iReadIndex;
    pthread_mutex_lock(&m_csBuf[slot].mutex);
    const uint8_t* p = m_pBuf[slot];
    const uint32_t head = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    pthread_mutex_unlock(&m_csBuf[slot].mutex);
    return head == uValue;
}

bool CirBuf::UseLatestFrame(const std::function<void(const uint8_t* pFrame, long lBytes)>& fn) {
    if (!m_bValid) return false;
    CRingHold hold(m_csRing);
    if (m_iLatest < 0) return false;
    // Ring mutex, then the slot lock, as everywhere; the slot lock alone then
    // keeps the insert thread out while fn reads.
    const int slot = m_iLatest;
    pthread_mutex_lock(&m_csBuf[slot].mutex);
    hold.Release();
    fn(m_pBuf[slot], m_lBufSize);
    pthread_mutex_unlock(&m_csBuf[slot].mutex);
    return true;
}

// ---- Reset and stop ----------------------------------------------------------------------

void CirBuf::ResetCirBuff() {
    if (!m_bValid) return;
    CRingHold hold(m_csRing);
    // A frame staged before the reset belongs to the run that is over.
    m_bStaged = false;
    m_pStaged = nullptr;
    // A copy in progress lands first, then is dropped with the rest.
    while (m_bInserting) pthread_cond_wait(&m_condIdle, &m_csRing.mutex);
    m_iReady = 0;
    m_iReadIndex = 0;
    m_iWriteIndex = 0;
    m_iLatest = -1;
    DbgPrint(-1, "ResetCirBuff", "Rst\n");
    pthread_cond_broadcast(&m_condIdle);
    pthread_cond_broadcast(&m_condRead);
}

void CirBuf::SetStopped(bool bStopped) {
    if (!m_bValid) return;
    CRingHold hold(m_csRing);
    m_bStopped = bStopped;
    pthread_cond_broadcast(&m_condRead);
}

bool CirBuf::IsStopped() {
    if (!m_bValid) return true;
    CRingHold hold(m_csRing);
    return m_bStopped;
}

// ---- Test hooks ----------------------------------------------------------------------------

void CirBuf::HoldInsertForTest(bool bHold) {
    if (!m_bValid) return;
    CRingHold hold(m_csRing);
    m_bHeldForTest = bHold;
    pthread_cond_broadcast(&m_condInsert);
}

bool CirBuf::WaitInsertIdle(int iWaitMs) {
    if (!m_bValid) return false;
    CRingHold hold(m_csRing);
    return WaitRing(&m_condIdle, iWaitMs, [this] { return !m_bStaged && !m_bInserting; });
}

int CirBuf::Ready() {
    if (!m_bValid) return 0;
    CRingHold hold(m_csRing);
    return m_iReady;
}

// The ring part: the frame ring below. It uses the platform part only (locks,
// thread slots, debug output).
//
// CirBuf: the frame ring between a camera's capture thread and the readers of
// its images.
//
// The capture thread offers each received frame with InsertBuff. The ring
// checks the frame's marker words and counters and, when it takes the frame,
// only records a pointer to it ("stages" it): the ring's own insert thread
// copies the staged frame into the next free slot, so that the capture thread
// can re-arm its USB transfers at once. Readers take the oldest frame with
// ReadBuff.
//
// Locking: one ring mutex guards the counts, the indexes, the staged record
// and the stopped state; the copies themselves run outside it, each under the
// lock of its slot, so an offer never waits for a copy. Lock order: ring mutex,
// then a slot lock; nobody takes the ring mutex while holding a slot lock.
//
// Buffer rule for callers: a frame is staged from the offer until the insert
// thread has copied it, and further offers are refused meanwhile, so a caller
// that alternates two receive buffers, switching only after an accepted offer,
// never writes into the buffer the ring still reads. Capture bodies get that
// alternation from CCameraBase::RecvBuffer and OfferRecvFrame.
#ifndef KYR_CIRBUF_H
#define KYR_CIRBUF_H

#include <pthread.h>
#include <stdint.h>

#include <functional>

#include "platform/Platform.h"
#include "platform/ThreadCtrl.h"

// Frame markers on the bulk endpoint. Generation A (every FPGA camera): head
// and tail words with a copy of the frame counter beside each. Generation B:
// head and tail words without counters. Generation C: one 32-bit head word.
constexpr uint16_t FRAME_HEAD_MARKER = 0x5A7E;
constexpr uint16_t FRAME_TAIL_MARKER = 0x3CF0;
constexpr uint16_t FRAME_HEAD_MARKER_V1 = 0xAA11;
constexpr uint16_t FRAME_TAIL_MARKER_V1 = 0x11AA;
constexpr uint32_t FRAME_HEAD_WORD32 = 0xBB00AA11;

// InsertBuff results.
enum INSERT_RESULT {
    INSERT_ACCEPTED = 0,  // staged; the insert thread copies it
    INSERT_REFUSED = 1,   // not taken: ring full or busy, or no usable frame given
    INSERT_BAD_FRAME = 2  // marker or counter mismatch
};

class CirBuf {
  public:
    // The ring never has more slots than this.
    static constexpr int kMaxSlots = 2;

    // iCount slots (1..kMaxSlots) of lSize bytes each. The insert thread is not
    // started here. IsValid() tells whether every part could be created.
    CirBuf(long lSize, int iCount);
    // Stops the insert thread if it still runs, then frees everything.
    ~CirBuf();
    CirBuf(const CirBuf&) = delete;
    CirBuf& operator=(const CirBuf&) = delete;

    bool IsValid() const { return m_bValid; }
    long SlotBytes() const { return m_lBufSize; }

    bool StartInstBufThr();
    // Stops and joins the insert thread; a frame still staged is dropped.
    void StopInstBufThr();

    // Offers one frame of iLen bytes. Positions are indexes of 16-bit words;
    // a zero marker skips its check, and the counters are compared only when
    // both positions are non-zero. Returns an INSERT_RESULT. Refused: null
    // data, a length outside 1..slot size, a checked position outside the
    // frame, the ring full, or a frame still staged or being copied.
    int InsertBuff(uint8_t* pData, int iLen, uint16_t usHead, int iHeadPos, uint16_t usTail, int iTailPos,
                   int iCnt0Pos, int iCnt1Pos);

    // Copies the oldest frame's first iLen bytes (at most a slot) to pDst and
    // takes the frame out. Waits up to iWaitMs for one (-1: without limit; a
    // stopped ring with nothing ready or on its way returns at once). False on
    // time-out, when stopped and empty, for a null pDst or a bad length. The
    // last argument is accepted for callers that pass it and not used.
    bool ReadBuff(uint8_t* pDst, int iLen, int iWaitMs, uint8_t** ppUnused = nullptr);

    // Waits for a frame as ReadBuff does and tells whether the oldest frame's
    // first 32-bit word (little-endian) equals uValue; the frame stays.
    bool IsBuffHeadCorrect(uint32_t uValue, int iWaitMs);

    // Runs fn on the slot most recently filled (its bytes and the slot size)
    // under that slot's lock, so the insert thread cannot refill it meanwhile;
    // the frame stays in the ring whether read or not. False, fn not run,
    // when no frame has been copied in since the ring was made or reset.
    // fn must not call back into the ring.
    bool UseLatestFrame(const std::function<void(const uint8_t* pFrame, long lBytes)>& fn);

    // Empties the ring: drops unread frames and the staged frame, after
    // waiting for a copy in progress.
    void ResetCirBuff();

    // Stopped: capture has ended or the camera closes. Readers waiting on an
    // empty ring wake and return false, and so do later reads of an empty
    // ring, until capture starts again and clears it.
    void SetStopped(bool bStopped);
    bool IsStopped();

    // Waits up to iWaitMs until no frame is staged or being copied: a caller
    // whose offer was accepted then finds its frame the newest in the ring
    // (unless a reset dropped it). False on time-out.
    bool WaitInsertIdle(int iWaitMs);

    // Test hooks. A held insert thread leaves staged frames uncopied until
    // released. Ready() is the number of filled, unread slots.
    void HoldInsertForTest(bool bHold);
    int Ready();

  private:
    static void InsertBufThd(std::atomic<bool>* pbRunning, void* pArg);
    void InsertLoop(std::atomic<bool>* pbRunning);
    // Waits on cond under the ring mutex until pred() holds or the deadline
    // (monotonic) passes; iWaitMs -1 waits without limit. False on time-out.
    template <class Pred>
    bool WaitRing(pthread_cond_t* pCond, int iWaitMs, Pred pred);
    // Nothing ready, nothing staged, nothing being copied.
    bool NothingComingLocked() const { return m_iReady == 0 && !m_bStaged && !m_bInserting; }
    bool PositionInFrame(int iPos, int iLen) const;

    int m_iReadIndex = 0;  // slot that the next read takes
    ThreadCtrl m_thrInsert;
    long m_lBufSize = 0;
    uint8_t* m_pBuf[kMaxSlots] = {nullptr, nullptr};
    uint8_t* m_pStaged = nullptr;  // the caller's buffer, not owned
    bool m_bStaged = false;        // a checked frame waits for the insert thread
    int m_iLen = 0;                // bytes of the staged frame
    int m_iReady = 0;              // filled slots not yet read
    bool m_bInserting = false;     // the insert thread copies a frame
    int m_iWriteIndex = 0;         // slot that the next copy fills
    int m_iLatest = -1;            // slot of the last finished copy, -1 none since the reset
    bool m_bStopped = false;
    bool m_bQuit = false;  // the insert thread is asked to end
    bool m_bHeldForTest = false;
    int m_iCount = 0;
    bool m_bValid = false;

    S_MUTEX_UNIX m_csRing;            // the ring mutex
    pthread_condattr_t m_condAttr;    // monotonic clock for every ring condition
    pthread_cond_t m_condRead;        // a frame is ready, or the ring stopped or was reset
    pthread_cond_t m_condInsert;      // a frame is staged, the hold is lifted, or the thread must end
    pthread_cond_t m_condIdle;        // a copy ended or a staged frame was dropped
    S_MUTEX_UNIX m_csBuf[kMaxSlots];  // one lock per slot, held during its copies
    bool m_bRingLockMade = false;
    bool m_bCondAttrMade = false;
    bool m_bCondsMade = false;
};

#endif

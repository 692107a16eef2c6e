// One thread slot whose body polls a running flag. Every thread of the library
// (capture, trigger capture, auto control, ring insert, cooler) runs through it.
//
// A thread is never detached: Start, Stop and the destructor join a thread that
// has finished, so no thread outlives its owner and no handle is joined twice.
//
// Stop joins. Whoever calls it must hold no lock the body may take (the
// camera's stop paths release its control lock first, see CCameraBase), or
// the join waits for a body that waits for the caller.
#ifndef KYR_THREADCTRL_H
#define KYR_THREADCTRL_H

#include <pthread.h>

#include <atomic>

#include "platform/Platform.h"

// The body receives the running flag, which it polls and leaves soon after it
// turns false, and the argument given to Start.
typedef void (*ThreadFunc)(std::atomic<bool>* pbRunning, void* pArg);

class ThreadCtrl {
public:
    ThreadCtrl();
    explicit ThreadCtrl(ThreadFunc pFunc);
    // Stops and joins a thread still alive.
    ~ThreadCtrl();
    ThreadCtrl(const ThreadCtrl&) = delete;
    ThreadCtrl& operator=(const ThreadCtrl&) = delete;

    // Sets the body; refused (false, body kept) while the thread runs.
    bool InitFuncPt(ThreadFunc pFunc);
    // Starts the body on a new thread; false when alive already or without body.
    bool Start(void* pArg);
    // Asks the body to end and joins it. Called from the body's own thread it
    // only clears the running flag; a later Start, Stop or destruction joins.
    // Every other Stop returns only once the body has ended, also when several
    // run at once (one joins, the others wait for that join).
    void Stop();
    // Only clears the running flag; the body leaves soon after, and a later
    // Stop joins it.
    void RequestStop() { m_bRunning.store(false); }
    // True when called from the thread this object runs.
    bool IsCurrentThread();
    // Alive while the running flag or the in-thread flag is set.
    bool IsAlive() const { return m_bRunning.load() || m_bInThread.load(); }

    std::atomic<bool> m_bRunning{false};   // from Start until Stop or the body's return
    std::atomic<bool> m_bInThread{false};  // from the thread's creation until its body has returned

private:
    static void* ThreadTrampoline(void* pSelf);
    void JoinFinishedLocked();
    // Waits (m_csLock held) until no Stop is joining.
    void WaitJoinedLocked();

    pthread_t m_hThread{};
    bool m_bHaveThread = false;  // m_hThread is a thread not yet joined
    bool m_bJoining = false;     // a Stop is joining m_hThread outside the lock
    pthread_cond_t m_condJoined;  // signalled when that join has ended
    std::atomic<ThreadFunc> m_pFunc{nullptr};
    S_MUTEX_UNIX m_csLock;
    void* m_pArg = nullptr;
};

#endif

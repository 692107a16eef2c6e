#include "platform/ThreadCtrl.h"

#include "platform/Log.h"

ThreadCtrl::ThreadCtrl() : ThreadCtrl(nullptr) {}

ThreadCtrl::ThreadCtrl(ThreadFunc pFunc) : m_pFunc(pFunc) {
    InitializeCriticalSection(&m_csLock);
    pthread_cond_init(&m_condJoined, nullptr);
}

ThreadCtrl::~ThreadCtrl() {
    Stop();
    pthread_mutex_lock(&m_csLock.mutex);
    // A Stop from the body's own thread left the join to us.
    WaitJoinedLocked();
    if (m_bHaveThread && !pthread_equal(m_hThread, pthread_self())) JoinFinishedLocked();
    pthread_mutex_unlock(&m_csLock.mutex);
    pthread_cond_destroy(&m_condJoined);
    DeleteCriticalSection(&m_csLock);
}

void ThreadCtrl::WaitJoinedLocked() {
    while (m_bJoining) pthread_cond_wait(&m_condJoined, &m_csLock.mutex);
}

bool ThreadCtrl::IsCurrentThread() {
    CCritSecLock lock(m_csLock);
    return m_bHaveThread && pthread_equal(m_hThread, pthread_self());
}

bool ThreadCtrl::InitFuncPt(ThreadFunc pFunc) {
    if (m_bRunning.load()) return false;
    m_pFunc.store(pFunc);
    return true;
}

void ThreadCtrl::JoinFinishedLocked() {
    pthread_join(m_hThread, nullptr);
    m_bHaveThread = false;
}

bool ThreadCtrl::Start(void* pArg) {
    CCritSecLock lock(m_csLock);
    if (m_bRunning.load() || m_bInThread.load()) {
        DbgPrint(-1, "Start", "thread is already running\n");
        return false;
    }
    // The body has ended, but a Stop may still be joining its thread (which
    // needs no lock any more): the handle is that Stop's until then.
    WaitJoinedLocked();
    if (!m_pFunc.load()) {
        DbgPrint(-1, "Start", "pointer is not assigned\n");
        return false;
    }
    // The previous body has ended (both flags clear under the lock): reap it.
    if (m_bHaveThread) JoinFinishedLocked();
    m_pArg = pArg;
    m_bRunning.store(true);
    // The thread counts as inside from its creation, so that it never looks
    // finished (and gets joined under the lock) before it has even started,
    // whoever clears the running flag.
    m_bInThread.store(true);
    if (pthread_create(&m_hThread, nullptr, ThreadTrampoline, this) != 0) {
        m_bRunning.store(false);
        m_bInThread.store(false);
        return false;
    }
    m_bHaveThread = true;
    return true;
}

void ThreadCtrl::Stop() {
    pthread_mutex_lock(&m_csLock.mutex);
    if (m_bHaveThread && pthread_equal(m_hThread, pthread_self())) {
        m_bRunning.store(false);
        pthread_mutex_unlock(&m_csLock.mutex);
        return;
    }
    if (m_bJoining) {
        // Another Stop joins this thread: its return is ours too.
        m_bRunning.store(false);
        WaitJoinedLocked();
        pthread_mutex_unlock(&m_csLock.mutex);
        return;
    }
    if (!m_bRunning.load() && !m_bInThread.load()) {
        if (m_bHaveThread) JoinFinishedLocked();
        pthread_mutex_unlock(&m_csLock.mutex);
        return;
    }
    m_bRunning.store(false);
    if (!m_bHaveThread) {
        pthread_mutex_unlock(&m_csLock.mutex);
        return;
    }
    DbgPrint(-1, "Stop", "WaitForSingleObject >\n");
    // The trampoline takes the lock as it ends, so join outside it. The
    // handle stays recorded meanwhile: a Stop from the body itself still
    // knows its own thread, and other Stops wait for this join.
    const pthread_t thread = m_hThread;
    m_bJoining = true;
    pthread_mutex_unlock(&m_csLock.mutex);
    pthread_join(thread, nullptr);
    pthread_mutex_lock(&m_csLock.mutex);
    m_bHaveThread = false;
    m_bJoining = false;
    pthread_cond_broadcast(&m_condJoined);
    pthread_mutex_unlock(&m_csLock.mutex);
    DbgPrint(-1, "Stop", "WaitForSingleObject <\n");
}

void* ThreadCtrl::ThreadTrampoline(void* pSelf) {
    ThreadCtrl* self = static_cast<ThreadCtrl*>(pSelf);
    ThreadFunc func = self->m_pFunc.load();
    func(&self->m_bRunning, self->m_pArg);
    CCritSecLock lock(self->m_csLock);
    self->m_bRunning.store(false);
    self->m_bInThread.store(false);
    return nullptr;
}

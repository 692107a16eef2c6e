#include "platform/Platform.h"

#include <errno.h>
#include <libusb.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "platform/Log.h"

namespace {

std::atomic<const KyrTimeSource*> g_pTimeSource{nullptr};
KyrTimeSource g_TimeSourceCopy;

}  // namespace

int InitializeCriticalSection(S_MUTEX_UNIX* pMutex) {
    pMutex->bFair = false;
    int rc = pthread_mutexattr_init(&pMutex->attr);
    if (rc != 0) {
        DbgPrint(-1, "InitializeCriticalSection", "pthread_mutexattr_init fail: %s\n", strerror(rc));
        return rc;
    }
    rc = pthread_mutexattr_settype(&pMutex->attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc != 0) {
        DbgPrint(-1, "InitializeCriticalSection", "pthread_mutexattr_settype fail: %s\n", strerror(rc));
        return rc;
    }
    rc = pthread_mutex_init(&pMutex->mutex, &pMutex->attr);
    if (rc != 0) {
        DbgPrint(-1, "InitializeCriticalSection", "pthread_mutex_init fail: %s\n", strerror(rc));
    }
    return rc;
}

int InitializeFairCriticalSection(S_MUTEX_UNIX* pMutex) {
    int rc = InitializeCriticalSection(pMutex);
    if (rc != 0) return rc;
    pMutex->uNextTicket = 0;
    pMutex->uServing = 0;
    rc = pthread_mutex_init(&pMutex->gate, nullptr);
    if (rc == 0) {
        rc = pthread_cond_init(&pMutex->turn, nullptr);
        if (rc != 0) pthread_mutex_destroy(&pMutex->gate);
    }
    if (rc != 0) {
        // Still a recursive mutex, taken as it comes.
        DbgPrint(-1, "InitializeFairCriticalSection", "turn set-up fail: %s\n", strerror(rc));
        return rc;
    }
    pMutex->bFair = true;
    return 0;
}

int DeleteCriticalSection(S_MUTEX_UNIX* pMutex) {
    if (pMutex->bFair) {
        pthread_cond_destroy(&pMutex->turn);
        pthread_mutex_destroy(&pMutex->gate);
        pMutex->bFair = false;
    }
    int rc = pthread_mutex_destroy(&pMutex->mutex);
    if (rc != 0) {
        DbgPrint(-1, "DeleteCriticalSection", "pthread_mutex_destroy fail: %s\n", strerror(rc));
    }
    rc = pthread_mutexattr_destroy(&pMutex->attr);
    if (rc != 0) {
        DbgPrint(-1, "DeleteCriticalSection", "pthread_mutexattr_destroy fail: %s\n", strerror(rc));
    }
    return rc;
}

namespace {

// The holds of one thread: a few locks at a time, so a small table.
struct SHeldCritSec {
    const S_MUTEX_UNIX* pCs;
    int iDepth;
};
constexpr int kHeldCritSecSlots = 32;
thread_local SHeldCritSec t_held[kHeldCritSecSlots];
thread_local int t_iHeld = 0;

}  // namespace

void NoteCritSecHold(const S_MUTEX_UNIX* pCs, int iDelta) {
    for (int i = 0; i < t_iHeld; ++i) {
        if (t_held[i].pCs != pCs) continue;
        t_held[i].iDepth += iDelta;
        if (t_held[i].iDepth <= 0) t_held[i] = t_held[--t_iHeld];
        return;
    }
    if (iDelta <= 0) return;
    if (t_iHeld == kHeldCritSecSlots) {
        // Not counted: a release could not give this lock up.
        DbgPrint(-1, "NoteCritSecHold", "more than %d locks held\n", kHeldCritSecSlots);
        return;
    }
    t_held[t_iHeld++] = {pCs, iDelta};
}

int CritSecDepth(const S_MUTEX_UNIX& cs) {
    for (int i = 0; i < t_iHeld; ++i)
        if (t_held[i].pCs == &cs) return t_held[i].iDepth;
    return 0;
}

namespace {

// A fair lock's first hold waits for the thread's turn; its last release
// passes the turn on.
void WaitTurn(S_MUTEX_UNIX* pCs) {
    pthread_mutex_lock(&pCs->gate);
    const unsigned int ticket = pCs->uNextTicket++;
    while (pCs->uServing != ticket) pthread_cond_wait(&pCs->turn, &pCs->gate);
    pthread_mutex_unlock(&pCs->gate);
}

void PassTurn(S_MUTEX_UNIX* pCs) {
    pthread_mutex_lock(&pCs->gate);
    ++pCs->uServing;
    pthread_cond_broadcast(&pCs->turn);
    pthread_mutex_unlock(&pCs->gate);
}

}  // namespace

void TakeCritSec(S_MUTEX_UNIX* pCs) {
    if (pCs->bFair && CritSecDepth(*pCs) == 0) WaitTurn(pCs);
    pthread_mutex_lock(&pCs->mutex);
    NoteCritSecHold(pCs, 1);
}

void GiveCritSec(S_MUTEX_UNIX* pCs) {
    NoteCritSecHold(pCs, -1);
    pthread_mutex_unlock(&pCs->mutex);
    if (pCs->bFair && CritSecDepth(*pCs) == 0) PassTurn(pCs);
}

CCritSecRelease::CCritSecRelease(S_MUTEX_UNIX& cs) : m_pCs(&cs), m_iDepth(CritSecDepth(cs)) {
    for (int i = 0; i < m_iDepth; ++i) GiveCritSec(m_pCs);
}

CCritSecRelease::~CCritSecRelease() {
    for (int i = 0; i < m_iDepth; ++i) TakeCritSec(m_pCs);
}

uint32_t GetTickCount() {
    const KyrTimeSource* src = g_pTimeSource.load(std::memory_order_acquire);
    if (src) return src->now_ms(src->ctx);
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void SleepUs(uint32_t us) {
    const KyrTimeSource* src = g_pTimeSource.load(std::memory_order_acquire);
    if (src) {
        src->sleep_us(src->ctx, us);
        return;
    }
    struct timespec ts;
    ts.tv_sec = us / 1000000u;
    ts.tv_nsec = static_cast<long>(us % 1000000u) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void Sleep(uint32_t ms) {
    const KyrTimeSource* src = g_pTimeSource.load(std::memory_order_acquire);
    if (src) {
        // A test source sleeps in microseconds; a long sleep goes in pieces so
        // the product never wraps 32 bits.
        uint64_t us = static_cast<uint64_t>(ms) * 1000u;
        while (us > 0) {
            const uint32_t piece = us > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(us);
            src->sleep_us(src->ctx, piece);
            us -= piece;
        }
        return;
    }
    struct timespec ts;
    ts.tv_sec = ms / 1000u;
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SetTimeSourceForTest(const KyrTimeSource* pSource) {
    if (pSource) {
        g_TimeSourceCopy = *pSource;
        g_pTimeSource.store(&g_TimeSourceCopy, std::memory_order_release);
    } else {
        g_pTimeSource.store(nullptr, std::memory_order_release);
    }
}

int max(int a, int b) { return a > b ? a : b; }
int min(int a, int b) { return a < b ? a : b; }

libusb_device_handle* libusb_open_device_with_vid_pid_index(libusb_context* ctx, uint16_t vendor_id,
                                                            uint16_t product_id, uint8_t index) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return nullptr;
    libusb_device_handle* handle = nullptr;
    int matches = 0;
    for (ssize_t i = 0; i < count; ++i) {
        struct libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0) break;
        if (desc.idVendor != vendor_id || desc.idProduct != product_id) continue;
        if (++matches == index) {
            if (libusb_open(list[i], &handle) != 0) handle = nullptr;
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return handle;
}

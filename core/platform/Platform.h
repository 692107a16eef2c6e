// The platform part, the lowest of the core: what every other part runs on.
// Platform.h (locks, time and sleeps), HomeDir.h (the home directory), Log.h
// (debug output) and ThreadCtrl.h (thread slots). It uses the C and C++
// libraries, POSIX, libusb-1.0 and log4cpp, and no other part of the core.
// Inside it HomeDir is below Log, Log below Platform and Platform below
// ThreadCtrl, so that Platform may log its failures.
//
// Portable layer with Windows-style names, implemented on POSIX: recursive
// critical sections, the millisecond tick count and sleeps.
// Every timeout and sleep of the library goes through here, so that tests can
// substitute the time source.
#ifndef KYR_PLATFORM_H
#define KYR_PLATFORM_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

struct libusb_context;
struct libusb_device_handle;

// One recursive mutex. Callers lock and unlock `mutex` with the POSIX calls.
// A fair one (InitializeFairCriticalSection) is also taken in turn: the
// threads that take it through CCritSecLock get their first hold in the
// order they asked for it, so that a thread that takes it again and again
// (a caller setting controls in a loop) cannot keep another thread that
// waits for it (the capture thread) out. The turns are numbered tickets
// under `gate`; a hold taken again by its holder takes no turn.
struct S_MUTEX_UNIX {
    pthread_mutex_t mutex;
    pthread_mutexattr_t attr;
    bool bFair;
    pthread_mutex_t gate;
    pthread_cond_t turn;
    unsigned int uNextTicket;
    unsigned int uServing;
};

// Creates a recursive mutex; 0 or the failing call's error number.
int InitializeCriticalSection(S_MUTEX_UNIX* pMutex);
// The same, taken in turn (see S_MUTEX_UNIX). Its holders take it through
// CCritSecLock only, never with pthread_mutex_lock.
int InitializeFairCriticalSection(S_MUTEX_UNIX* pMutex);
// Destroys the mutex and its attribute object; the attribute destroy's result.
int DeleteCriticalSection(S_MUTEX_UNIX* pMutex);

// Each thread keeps a count of the holds it has on every S_MUTEX_UNIX taken
// through CCritSecLock, so that CCritSecRelease can give all of them up and
// take them back. A lock taken with pthread_mutex_lock directly is not counted.
void NoteCritSecHold(const S_MUTEX_UNIX* pCs, int iDelta);
// How many holds the calling thread has on cs through CCritSecLock.
int CritSecDepth(const S_MUTEX_UNIX& cs);
// The calling thread's first hold on cs, and its last release (with the
// turns of a fair one).
void TakeCritSec(S_MUTEX_UNIX* pCs);
void GiveCritSec(S_MUTEX_UNIX* pCs);

// Scoped hold of an S_MUTEX_UNIX.
class CCritSecLock {
public:
    explicit CCritSecLock(S_MUTEX_UNIX& cs) : m_pCs(&cs) { TakeCritSec(m_pCs); }
    ~CCritSecLock() { GiveCritSec(m_pCs); }
    CCritSecLock(const CCritSecLock&) = delete;
    CCritSecLock& operator=(const CCritSecLock&) = delete;

private:
    S_MUTEX_UNIX* m_pCs;
};

// Scoped release of every hold the calling thread has on cs (nothing when it
// has none); they are all taken back when it ends. Used to wait for something
// that may need cs, such as joining a thread whose body takes it, from code
// that may be called with cs held. What cs guards may change meanwhile.
class CCritSecRelease {
public:
    explicit CCritSecRelease(S_MUTEX_UNIX& cs);
    ~CCritSecRelease();
    CCritSecRelease(const CCritSecRelease&) = delete;
    CCritSecRelease& operator=(const CCritSecRelease&) = delete;

private:
    S_MUTEX_UNIX* m_pCs;
    int m_iDepth;
};

// Milliseconds of the monotonic clock; wraps after about 49.7 days, so callers
// compare differences.
uint32_t GetTickCount();
// Sleeps of the library (milliseconds and microseconds).
void Sleep(uint32_t ms);
void SleepUs(uint32_t us);

int max(int a, int b);
int min(int a, int b);

// Test-only time source: when set, GetTickCount returns now() and the sleeps
// call sleep_us() instead of the system's. Null restores the system clock.
struct KyrTimeSource {
    uint32_t (*now_ms)(void* ctx);
    void (*sleep_us)(void* ctx, uint32_t us);
    void* ctx;
};
void SetTimeSourceForTest(const KyrTimeSource* pSource);

// Opens the index-th (from 1) device with the vendor and product ID, in list
// order; null when there is none or the open is refused.
libusb_device_handle* libusb_open_device_with_vid_pid_index(libusb_context* ctx, uint16_t vendor_id,
                                                            uint16_t product_id, uint8_t index);

#endif

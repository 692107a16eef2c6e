// Asynchronous bulk transfers of CCameraFX3: the multi-transfer set that reads
// a video or snapshot frame with many transfers in flight, and the single-read
// set of the trigger threads.
//
// Events are handled with the object's own context. The completion callbacks
// usually run inside these calls, but, as with libusb itself, any thread that
// handles events of the context runs the callbacks that are due: a control
// transfer of a setter, of the cooler or of the enumeration probe may run one.
// So each transfer's completion word is atomic: the callback publishes it
// (release) after libusb has filled the transfer's status, length and data,
// and the capture thread reads it (acquire) before it looks at them. Several
// transfers may complete in one event call; each is accounted for on its own.
//
// Teardown rule: a transfer that libusb owns is neither submitted again (it
// would be refused with LIBUSB_ERROR_BUSY) nor freed (the host controller may
// still write into it, and its callback would run on freed memory). Every
// call cancels what it left in flight and handles events until the callbacks
// have run, within a bound; a transfer that does not come back within it is
// logged and kept.
#include <libusb.h>
#include <string.h>

#include <new>

#include "platform/Log.h"
#include "usb/CameraFX3.h"

namespace {

// Less than this is queued at once: every queued byte is pinned by the host
// controller driver.
constexpr long long kMaxQueuedBytes = 200LL * 1024 * 1024;
// Event handling runs in slices of at most this, so that a capture thread
// told to stop notices within one slice.
constexpr uint32_t kEventSliceMs = 100;
// Time allowed for cancelled transfers to come back: a live device returns
// them within milliseconds and a vanished one at once.
constexpr uint32_t kDrainBoundMs = 1000;
// The single-read set cuts a frame into transfers of this size.
constexpr int kSingleXferBytes = 1 << 20;
// A frame exactly this much short counts as whole: the controller may hold
// back the frame's last 512-byte packet.
constexpr int kLastPacketBytes = 512;

// Completion words.
constexpr int kXferInFlight = 0;
constexpr int kXferBack = 1;

using XferWord = std::atomic<int32_t>;
static_assert(sizeof(XferWord) == sizeof(int) && XferWord::is_always_lock_free,
              "a completion word is handed to libusb as its int");

void LIBUSB_CALL BulkTransferDone(libusb_transfer* pXfer) {
    static_cast<XferWord*>(pXfer->user_data)->store(kXferBack, std::memory_order_release);
}

bool IsInFlight(const XferWord& word) { return word.load(std::memory_order_acquire) == kXferInFlight; }

// libusb's event calls take the completion word as a plain int*; they only
// read it to end their wait early.
int* EventFlag(XferWord* pWord) { return reinterpret_cast<int*>(pWord); }

struct timeval Slice(uint32_t ms) {
    if (ms == 0) ms = 1;  // a zero timeout would only poll, and the caller would spin
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

uint32_t Smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

// Cancels every transfer of the set that is in flight and handles events
// until all are back or kDrainBoundMs passed. Returns how many are still in
// flight (each one logged).
int CancelAndDrain(libusb_context* pCtx, libusb_transfer** ppXfers, XferWord* piDone, int n) {
    if (!ppXfers || !piDone) return 0;
    bool any = false;
    for (int i = 0; i < n; ++i) {
        if (!ppXfers[i] || !IsInFlight(piDone[i])) continue;
        any = true;
        // LIBUSB_ERROR_NOT_FOUND: it has completed already and its callback
        // is waiting for the next event call.
        libusb_cancel_transfer(ppXfers[i]);
    }
    if (!any) return 0;
    const uint32_t start = GetTickCount();
    for (;;) {
        int pending = -1;
        for (int i = 0; i < n && pending < 0; ++i)
            if (ppXfers[i] && IsInFlight(piDone[i])) pending = i;
        if (pending < 0) return 0;
        const uint32_t elapsed = GetTickCount() - start;
        if (elapsed >= kDrainBoundMs || !pCtx) break;
        struct timeval tv = Slice(Smaller(kEventSliceMs, kDrainBoundMs - elapsed));
        libusb_handle_events_timeout_completed(pCtx, &tv, EventFlag(&piDone[pending]));
    }
    int left = 0;
    for (int i = 0; i < n; ++i) {
        if (ppXfers[i] && IsInFlight(piDone[i])) {
            ++left;
            DbgPrint(-1, "CancelAndDrain", "transfer %d still in flight after %ums\n", i, kDrainBoundMs);
        }
    }
    return left;
}

// Frees every transfer that is back; true when the whole set was freed.
bool FreeTransfersBack(libusb_transfer** ppXfers, const XferWord* piDone, int n) {
    bool all = true;
    for (int i = 0; i < n; ++i) {
        if (!ppXfers[i]) continue;
        if (IsInFlight(piDone[i])) {
            all = false;
            continue;
        }
        libusb_free_transfer(ppXfers[i]);
        ppXfers[i] = nullptr;
    }
    return all;
}

// Waits until *piDone is set, for at most waitMs, handling events in slices
// of at most sliceMs (and kEventSliceMs). False on time-out, when the running
// flag clears, or when event handling fails.
bool WaitTransfer(libusb_context* pCtx, XferWord* piDone, uint32_t waitMs, uint32_t sliceMs,
                  std::atomic<bool>* pbRunning) {
    const uint32_t start = GetTickCount();
    while (IsInFlight(*piDone)) {
        if (pbRunning && !pbRunning->load()) return false;
        const uint32_t elapsed = GetTickCount() - start;
        if (elapsed >= waitMs) return false;
        struct timeval tv = Slice(Smaller(Smaller(sliceMs, kEventSliceMs), waitMs - elapsed));
        const int rc = libusb_handle_events_timeout_completed(pCtx, &tv, EventFlag(piDone));
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
            DbgPrint(-1, "startAsyncXfer", "handle events fail: %s\n", libusb_error_name(rc));
            return !IsInFlight(*piDone);
        }
    }
    return true;
}

}  // namespace

int CCameraFX3::XferStatusToError(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return LIBUSB_SUCCESS;
        case LIBUSB_TRANSFER_ERROR:
            return LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:
            return LIBUSB_ERROR_OTHER;
    }
}

// ---- Multi-transfer set ------------------------------------------------------------

bool CCameraFX3::initAsyncXfer(int total, int count, int size, uint8_t endpoint, uint8_t* buffer) {
    if (total <= 0 || count <= 0 || size <= 0 || !buffer) {
        DbgPrint(-1, "initAsyncXfer", "bad transfer set: total %d, count %d, size %d\n", total, count, size);
        return false;
    }
    // At 200 MiB or more not even one transfer fits the queue limit, and no
    // frame could ever be read.
    if (size >= kMaxQueuedBytes) {
        DbgPrint(-1, "initAsyncXfer", "transfer size %d too large\n", size);
        return false;
    }
    // count transfers of size bytes must hold the frame, and the last one
    // must carry something.
    const long long before = static_cast<long long>(size) * (count - 1);
    const long long last = static_cast<long long>(total) - before;
    if (last <= 0 || last > size) {
        DbgPrint(-1, "initAsyncXfer", "%d transfers of %d bytes do not make %d bytes\n", count, size, total);
        return false;
    }
    libusb_device_handle* hDevice = nullptr;
    {
        CCritSecLock lock(m_csUsb);
        if (!m_bOpened) return false;
        hDevice = m_hDevice;
    }
    // Transfers still owned by libusb cannot be refilled.
    if (CancelAndDrain(m_pUsbContext, m_pXfers, m_pXferDone, m_iXferAllocated) > 0) return false;
    if (m_pXfers && count > m_iXferAllocated) {
        releaseAsyncXfer();
        if (m_pXfers) return false;
    }
    if (!m_pXfers) {
        m_pXfers = new (std::nothrow) libusb_transfer*[count]();
        m_pXferDone = new (std::nothrow) XferWord[count];
        if (!m_pXfers || !m_pXferDone) {
            delete[] m_pXfers;
            delete[] m_pXferDone;
            m_pXfers = nullptr;
            m_pXferDone = nullptr;
            DbgPrint(-1, "initAsyncXfer", "no memory for %d transfers\n", count);
            return false;
        }
        for (int i = 0; i < count; ++i) m_pXferDone[i].store(kXferBack);
        m_iXferAllocated = count;
    }
    for (int i = 0; i < count; ++i) {
        if (!m_pXfers[i]) m_pXfers[i] = libusb_alloc_transfer(0);
        if (!m_pXfers[i]) {
            DbgPrint(-1, "initAsyncXfer", "libusb_alloc_transfer fail\n");
            releaseAsyncXfer();
            return false;
        }
    }

    int window = static_cast<int>(kMaxQueuedBytes / size);
    if (window > count) window = count;
    if (static_cast<long long>(window) * size == kMaxQueuedBytes) --window;
    m_iXferCount = count;
    m_iXferSize = size;
    m_iXferWindow = window;
    for (int i = 0; i < count; ++i) {
        const int len = i < count - 1 ? size : static_cast<int>(last);
        // Timeout 0: libusb never times these out; startAsyncXfer does.
        libusb_fill_bulk_transfer(m_pXfers[i], hDevice, endpoint, buffer + static_cast<long long>(i) * size,
                                  len, BulkTransferDone, &m_pXferDone[i], 0);
    }
    return true;
}

bool CCameraFX3::setAsyncXferBuf(uint8_t* buffer) {
    if (!m_pXfers || !buffer) return false;
    for (int i = 0; i < m_iXferCount; ++i)
        if (IsInFlight(m_pXferDone[i])) return false;
    for (int i = 0; i < m_iXferCount; ++i)
        m_pXfers[i]->buffer = buffer + static_cast<long long>(i) * m_iXferSize;
    return true;
}

int CCameraFX3::startAsyncXfer(unsigned int firstMs, unsigned int nextMs, int* got,
                               std::atomic<bool>* pbRunning, int expected) {
    m_iXferTotal = 0;
    if (got) *got = 0;
    if (!m_pXfers || m_iXferCount <= 0 || m_iXferWindow <= 0 || !m_pUsbContext) return 1;
    // A transfer an earlier drain could not get back would be refused, and
    // would write into this frame's buffer: no frame until it is back.
    if (CancelAndDrain(m_pUsbContext, m_pXfers, m_pXferDone, m_iXferAllocated) > 0) return 1;

    int total = 0;
    bool keepWaiting = true;  // more of the frame may still come
    uint32_t sliceMs = firstMs;
    for (int i = 0; i < m_iXferCount && keepWaiting; i += m_iXferWindow) {
        const int n = m_iXferCount - i < m_iXferWindow ? m_iXferCount - i : m_iXferWindow;
        int submitted = 0;
        for (int j = i; j < i + n; ++j) {
            m_pXferDone[j].store(kXferInFlight);
            const int rc = libusb_submit_transfer(m_pXfers[j]);
            if (rc != LIBUSB_SUCCESS) {
                // A gap in the frame: it cannot be whole, so nothing after it
                // is submitted; the transfers before it are still reaped.
                m_pXferDone[j].store(kXferBack);
                DbgPrint(-1, "startAsyncXfer", "submit transfer %d fail: %s\n", j, libusb_error_name(rc));
                break;
            }
            ++submitted;
        }
        // Transfers of one endpoint complete in order: reap them in order.
        for (int j = i; j < i + submitted && keepWaiting; ++j) {
            const bool back = WaitTransfer(m_pUsbContext, &m_pXferDone[j], firstMs, sliceMs, pbRunning);
            if (j == 0) sliceMs = nextMs;
            if (!back) {
                keepWaiting = false;  // timed out, or capture stops
                break;
            }
            const libusb_transfer* pXfer = m_pXfers[j];
            m_iXferStatus = pXfer->status;
            if (pXfer->status == LIBUSB_TRANSFER_COMPLETED) {
                m_iXferLen = pXfer->actual_length;
                total += pXfer->actual_length;
                // A short transfer is the end of what the camera sent.
                if (pXfer->actual_length < pXfer->length) keepWaiting = false;
            } else {
                m_iXferLen = -1;
                keepWaiting = false;
            }
            if (total >= expected) keepWaiting = false;
        }
        if (submitted < n) keepWaiting = false;
    }
    // Whatever is still out goes back before the caller touches the buffer.
    CancelAndDrain(m_pUsbContext, m_pXfers, m_pXferDone, m_iXferAllocated);
    m_iXferTotal = total;

    int received = total;
    if (total + kLastPacketBytes == expected) {
        received = expected;
        DbgPrint(-1, "startAsyncXfer", "+512\n");
    }
    if (got) *got = received;
    return 1;
}

void CCameraFX3::releaseAsyncXfer() {
    if (!m_pXfers) return;
    const int left = CancelAndDrain(m_pUsbContext, m_pXfers, m_pXferDone, m_iXferAllocated);
    if (!FreeTransfersBack(m_pXfers, m_pXferDone, m_iXferAllocated)) {
        // Their completion words stay too: the callbacks may still run.
        DbgPrint(-1, "releaseAsyncXfer", "%d transfers in flight, not freed\n", left);
        return;
    }
    delete[] m_pXfers;
    m_pXfers = nullptr;
    delete[] m_pXferDone;
    m_pXferDone = nullptr;
    m_iXferAllocated = 0;
    m_iXferCount = 0;
    m_iXferWindow = 0;
    DbgPrint(-1, "releaseAsyncXfer", "free transfer!\n");
}

// ---- Single-read set --------------------------------------------------------------

int CCameraFX3::beginAsyncXfer(uint8_t endpoint, uint8_t* buffer, int length, unsigned int timeoutMs) {
    if (!buffer || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    const int n = length / kSingleXferBytes + (length % kSingleXferBytes != 0 ? 1 : 0);
    libusb_device_handle* hDevice = nullptr;
    {
        CCritSecLock lock(m_csUsb);
        if (!m_bOpened) return LIBUSB_ERROR_NO_DEVICE;
        hDevice = m_hDevice;
    }
    // A set of another size is built anew; one with a transfer libusb still
    // owns cannot be touched.
    if (m_pSingleXfers && n != m_iSingleXferCount) {
        finishAsyncXfer(m_iSingleXferCount);
        if (m_pSingleXfers) return LIBUSB_ERROR_BUSY;
    }
    if (CancelAndDrain(m_pUsbContext, m_pSingleXfers, m_pSingleXferDone, m_iSingleXferCount) > 0)
        return LIBUSB_ERROR_BUSY;
    if (!m_pSingleXfers) {
        m_pSingleXfers = new (std::nothrow) libusb_transfer*[n]();
        m_pSingleXferDone = new (std::nothrow) XferWord[n];
        if (!m_pSingleXfers || !m_pSingleXferDone) {
            delete[] m_pSingleXfers;
            delete[] m_pSingleXferDone;
            m_pSingleXfers = nullptr;
            m_pSingleXferDone = nullptr;
            return LIBUSB_ERROR_NO_MEM;
        }
        m_iSingleXferCount = n;
        for (int i = 0; i < n; ++i) m_pSingleXferDone[i].store(kXferBack);
    }
    for (int i = 0; i < n; ++i) {
        if (!m_pSingleXfers[i]) m_pSingleXfers[i] = libusb_alloc_transfer(0);
        if (!m_pSingleXfers[i]) {
            DbgPrint(-1, "beginAsyncXfer", "libusb_alloc_transfer fail\n");
            finishAsyncXfer(n);
            return LIBUSB_ERROR_NO_MEM;
        }
    }
    for (int i = 0; i < n; ++i) {
        const int len = i < n - 1 ? kSingleXferBytes : length - (n - 1) * kSingleXferBytes;
        libusb_fill_bulk_transfer(m_pSingleXfers[i], hDevice, endpoint,
                                  buffer + static_cast<long long>(i) * kSingleXferBytes, len,
                                  BulkTransferDone, &m_pSingleXferDone[i], timeoutMs);
    }
    return n;
}

int CCameraFX3::waitForAsyncXfer(int i, int* length) {
    if (length) *length = 0;
    if (!m_pSingleXfers || i < 0 || i >= m_iSingleXferCount || !m_pSingleXfers[i] || !m_pUsbContext)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_transfer** ppXfer = &m_pSingleXfers[i];
    XferWord* piDone = &m_pSingleXferDone[i];
    // Still out from a wait that could not get it back: not again until it is.
    if (CancelAndDrain(m_pUsbContext, ppXfer, piDone, 1) > 0) return LIBUSB_ERROR_BUSY;

    piDone->store(kXferInFlight);
    const int rc = libusb_submit_transfer(*ppXfer);
    if (rc != LIBUSB_SUCCESS) {
        piDone->store(kXferBack);
        return rc;
    }
    // The transfer's own timeout ends the wait; events run in slices.
    while (IsInFlight(*piDone)) {
        struct timeval tv = Slice(kEventSliceMs);
        const int ev = libusb_handle_events_timeout_completed(m_pUsbContext, &tv, EventFlag(piDone));
        if (ev < 0 && ev != LIBUSB_ERROR_INTERRUPTED) {
            DbgPrint(-1, "waitForAsyncXfer", "handle events fail: %s\n", libusb_error_name(ev));
            CancelAndDrain(m_pUsbContext, ppXfer, piDone, 1);
            break;
        }
    }
    if (IsInFlight(*piDone)) return LIBUSB_ERROR_OTHER;
    if (length) *length = (*ppXfer)->actual_length;
    DbgPrint(-1, "waitForAsyncXfer", "wait for length = %d\n", (*ppXfer)->actual_length);
    return XferStatusToError((*ppXfer)->status);
}

bool CCameraFX3::setSingleXferBuf(uint8_t* buffer) {
    if (!m_pSingleXfers || !buffer) return false;
    for (int i = 0; i < m_iSingleXferCount; ++i)
        if (IsInFlight(m_pSingleXferDone[i])) return false;
    for (int i = 0; i < m_iSingleXferCount; ++i)
        if (m_pSingleXfers[i]) m_pSingleXfers[i]->buffer = buffer + static_cast<long long>(i) * kSingleXferBytes;
    return true;
}

void CCameraFX3::finishAsyncXfer(int /*n*/) {
    if (!m_pSingleXfers) return;
    const int left = CancelAndDrain(m_pUsbContext, m_pSingleXfers, m_pSingleXferDone, m_iSingleXferCount);
    if (!FreeTransfersBack(m_pSingleXfers, m_pSingleXferDone, m_iSingleXferCount)) {
        DbgPrint(-1, "finishAsyncXfer", "%d transfers in flight, not freed\n", left);
        return;
    }
    delete[] m_pSingleXfers;
    m_pSingleXfers = nullptr;
    delete[] m_pSingleXferDone;
    m_pSingleXferDone = nullptr;
    m_iSingleXferCount = 0;
    DbgPrint(-1, "finishAsyncXfer", "free transfer!\n");
}

// ---- Leftovers ---------------------------------------------------------------------

namespace {

bool TargetsRange(libusb_transfer* const* ppXfers, const XferWord* piDone, int n, const uint8_t* pBuf,
                  size_t bytes) {
    if (!ppXfers || !piDone) return false;
    for (int i = 0; i < n; ++i) {
        const libusb_transfer* pXfer = ppXfers[i];
        if (!pXfer || !IsInFlight(piDone[i]) || !pXfer->buffer) continue;
        const uint8_t* pStart = pXfer->buffer;
        const uint8_t* pEnd = pStart + (pXfer->length > 0 ? pXfer->length : 0);
        if (pStart < pBuf + bytes && pEnd > pBuf) return true;
    }
    return false;
}

// Frees the transfers of a set that are back and the set's pointer array.
// Transfers still in flight stay with libusb, and so do their completion
// words, which their callbacks may still write: that array is left allocated.
void AbandonSet(libusb_transfer**& ppXfers, XferWord*& piDone, int n, const char* szName) {
    if (!ppXfers) return;
    if (!FreeTransfersBack(ppXfers, piDone, n))
        DbgPrint(-1, szName, "transfers still in flight are left to libusb, with their memory\n");
    else
        delete[] piDone;
    delete[] ppXfers;
    ppXfers = nullptr;
    piDone = nullptr;
}

}  // namespace

bool CCameraFX3::IsXferTarget(const uint8_t* pBuf, size_t bytes) const {
    if (!pBuf || bytes == 0) return false;
    return TargetsRange(m_pXfers, m_pXferDone, m_iXferAllocated, pBuf, bytes) ||
           TargetsRange(m_pSingleXfers, m_pSingleXferDone, m_iSingleXferCount, pBuf, bytes);
}

void CCameraFX3::releaseAllAsyncXfers() {
    releaseAsyncXfer();
    finishAsyncXfer(m_iSingleXferCount);
}

void CCameraFX3::AbandonAsyncXfers() {
    releaseAllAsyncXfers();
    AbandonSet(m_pXfers, m_pXferDone, m_iXferAllocated, "~CCameraFX3");
    AbandonSet(m_pSingleXfers, m_pSingleXferDone, m_iSingleXferCount, "~CCameraFX3");
    m_iXferAllocated = 0;
    m_iXferCount = 0;
    m_iXferWindow = 0;
    m_iSingleXferCount = 0;
}

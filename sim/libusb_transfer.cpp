// The libusb-1.0 front end of the simulator, transfer side: libusb's
// asynchronous transfer machinery (submit, cancel, free, event handling),
// the synchronous bulk and control calls built on it, on the device model's
// endpoints.
//
// The device side is evaluated lazily: whenever an event-handling call runs,
// every camera's queued transfers are brought up to date with what the camera
// would have sent by now (frames, stalls, timeouts), and the completed ones
// wait in their context's queue until an event call runs their callbacks.
#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "internal.hpp"

namespace kyrsim_impl {
namespace {

constexpr long long kEventWaitCapUs = 3600ll * 1000 * 1000;
constexpr long long kHandleEventsTimeoutUs = 60ll * 1000 * 1000;  // libusb_handle_events waits up to 60 s

TransferState* lookup(libusb_transfer* xfer) {
    auto& s = state();
    auto it = s.transfers.find(xfer);
    if (it != s.transfers.end()) return it->second.get();
    ++s.misuse;
    return nullptr;
}

Clock::time_point timeAt(long long us) { return state().epoch + std::chrono::microseconds(us); }

// The caller's completion flag. Its owner sets it in a callback, which may
// run on another thread that handles events: read it atomically.
bool flagSet(int* completed) { return completed && __atomic_load_n(completed, __ATOMIC_ACQUIRE) != 0; }

int handleEvents(libusb_context* ctx, long long timeoutUs, int* completed) {
    auto& s = state();
    std::unique_lock<std::mutex> lk(s.mu);
    ctx = resolveContext(ctx);
    if (!ctx) return LIBUSB_ERROR_INVALID_PARAM;
    const long long deadline = nowUs() + std::clamp(timeoutUs, 0ll, kEventWaitCapUs);
    // One thread handles a context's events at a time, as with libusb's event lock.
    while (ctx->handling) {
        if (flagSet(completed)) return 0;
        if (s.cv.wait_until(lk, timeAt(deadline)) == std::cv_status::timeout && ctx->handling) return 0;
    }
    ctx->handling = true;
    for (;;) {
        if (flagSet(completed)) break;
        const long long now = nowUs();
        const long long wake = pumpAll(now);
        if (!ctx->done.empty() || now >= deadline) break;
        s.cv.wait_until(lk, timeAt(std::min(wake, deadline)));
    }
    std::vector<TransferState*> batch;
    while (!ctx->done.empty() && (s.eventsPerCall <= 0 || static_cast<int>(batch.size()) < s.eventsPerCall)) {
        TransferState* ts = ctx->done.front();
        ctx->done.pop_front();
        ts->inFlight = false;
        --s.inflight;
        batch.push_back(ts);
    }
    std::vector<libusb_transfer*> xfers;
    for (TransferState* ts : batch) xfers.push_back(ts->xfer);
    lk.unlock();
    for (libusb_transfer* x : xfers) {
        const uint8_t flags = x->flags;
        if (x->callback) x->callback(x);
        if (flags & LIBUSB_TRANSFER_FREE_TRANSFER) libusb_free_transfer(x);
    }
    lk.lock();
    ctx->handling = false;
    if (!ctx->alive && ctx->objects == 0) {
        s.contexts.erase(ctx);
        delete ctx;
    }
    s.cv.notify_all();
    return 0;
}

long long tvToUs(const struct timeval* tv) {
    if (!tv) return 0;
    return static_cast<long long>(tv->tv_sec) * 1000000ll + tv->tv_usec;
}

void runDueEvents(libusb_context* ctx) {
    {
        std::lock_guard<std::mutex> lk(state().mu);
        // Not while another thread handles them (it runs what is due), nor on
        // a context that is going away.
        if (!ctx || !state().contexts.count(ctx) || !ctx->alive || ctx->handling) return;
    }
    handleEvents(ctx, 0, nullptr);
}

}  // namespace
}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

// ---------------------------------------------------------------------------
// libusb: asynchronous transfers
// ---------------------------------------------------------------------------

struct libusb_transfer* libusb_alloc_transfer(int iso_packets) {
    if (iso_packets < 0) return nullptr;
    std::lock_guard<std::mutex> lk(state().mu);
    // A failure chosen by the test stands for the host running out of memory.
    if (takeCallFault(KYRSIM_CALL_ALLOC, nullptr)) return nullptr;
    const size_t bytes =
        sizeof(libusb_transfer) + static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    auto* x = static_cast<libusb_transfer*>(std::calloc(1, bytes));
    if (!x) return nullptr;
    x->num_iso_packets = iso_packets;
    auto ts = std::make_unique<TransferState>();
    ts->xfer = x;
    state().transfers.emplace(x, std::move(ts));
    return x;
}

void libusb_free_transfer(struct libusb_transfer* transfer) {
    if (!transfer) return;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    TransferState* ts = lookup(transfer);
    if (!ts) return;
    if (ts->inFlight) {
        // The caller frees memory the host controller may still write into.
        ++s.freedInFlight;
        unqueue(*ts);
        auto& done = ts->ctx->done;
        done.erase(std::remove(done.begin(), done.end(), ts), done.end());
        --s.inflight;
    }
    if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(transfer->buffer);
    s.transfers.erase(transfer);
    std::free(transfer);
}

int libusb_submit_transfer(struct libusb_transfer* transfer) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    TransferState* ts = transfer ? lookup(transfer) : nullptr;
    if (!ts) return LIBUSB_ERROR_INVALID_PARAM;
    if (ts->inFlight) return LIBUSB_ERROR_BUSY;
    libusb_device_handle* h = transfer->dev_handle;
    if (!h || !s.handles.count(h)) {
        ++s.misuse;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (!handleUsable(h)) return LIBUSB_ERROR_NO_DEVICE;
    SimDevice& d = *h->sim;
    if (int err = takeCallFault(KYRSIM_CALL_SUBMIT, &d)) return err;
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK) return LIBUSB_ERROR_NOT_SUPPORTED;
    if (transfer->endpoint != 0x81 && transfer->endpoint != 0x82) return LIBUSB_ERROR_NOT_FOUND;
    if (transfer->length < 0 || (transfer->length > 0 && !transfer->buffer))
        return LIBUSB_ERROR_INVALID_PARAM;
    return submitBulk(*ts, h);
}

int libusb_cancel_transfer(struct libusb_transfer* transfer) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    TransferState* ts = transfer ? lookup(transfer) : nullptr;
    if (!ts) return LIBUSB_ERROR_INVALID_PARAM;
    // Only a transfer still on the wire can be cancelled; one that already
    // completed (callback pending) or was never submitted cannot.
    return cancelBulk(*ts);
}

int libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed) {
    return handleEvents(ctx, tvToUs(tv), completed);
}

int libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return handleEvents(ctx, tvToUs(tv), nullptr);
}

int libusb_handle_events(libusb_context* ctx) { return handleEvents(ctx, kHandleEventsTimeoutUs, nullptr); }

int libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    return handleEvents(ctx, kHandleEventsTimeoutUs, completed);
}

int libusb_control_transfer(libusb_device_handle* h, uint8_t request_type, uint8_t bRequest, uint16_t wValue,
                            uint16_t wIndex, unsigned char* data, uint16_t wLength, unsigned int timeout) {
    auto& s = state();
    std::unique_lock<std::mutex> lk(s.mu);
    if (!h || !s.handles.count(h) || (wLength > 0 && !data)) {
        ++s.misuse;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const int result = controlTransfer(lk, h, request_type, bRequest, wValue, wIndex, data, wLength, timeout);
    // libusb waits for a control transfer by handling the context's events:
    // bulk callbacks that are due run here, on the caller's thread.
    libusb_context* ctx = h->ctx;
    lk.unlock();
    runDueEvents(ctx);
    return result;
}

static void LIBUSB_CALL syncTransferDone(struct libusb_transfer* transfer) {
    __atomic_store_n(static_cast<int*>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                         int length, int* actual_length, unsigned int timeout) {
    libusb_transfer* x = libusb_alloc_transfer(0);
    if (!x) return LIBUSB_ERROR_NO_MEM;
    int completed = 0;
    libusb_fill_bulk_transfer(x, dev_handle, endpoint, data, length, syncTransferDone, &completed, timeout);
    int r = libusb_submit_transfer(x);
    if (r < 0) {
        libusb_free_transfer(x);
        return r;
    }
    libusb_context* ctx;
    {
        std::lock_guard<std::mutex> lk(state().mu);
        ctx = dev_handle->ctx;
    }
    while (!flagSet(&completed)) {
        r = libusb_handle_events_completed(ctx, &completed);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) {
            libusb_cancel_transfer(x);
            while (!flagSet(&completed))
                if (libusb_handle_events_completed(ctx, &completed) < 0) break;
            break;
        }
    }
    if (actual_length) *actual_length = x->actual_length;
    switch (x->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            r = 0;
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:
            r = LIBUSB_ERROR_TIMEOUT;
            break;
        case LIBUSB_TRANSFER_STALL:
            r = LIBUSB_ERROR_PIPE;
            break;
        case LIBUSB_TRANSFER_NO_DEVICE:
            r = LIBUSB_ERROR_NO_DEVICE;
            break;
        case LIBUSB_TRANSFER_OVERFLOW:
            r = LIBUSB_ERROR_OVERFLOW;
            break;
        default:
            r = LIBUSB_ERROR_IO;
            break;
    }
    libusb_free_transfer(x);
    return r;
}

}  // extern "C"

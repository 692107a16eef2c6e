// The usbfs front end of the simulator: the device model's cameras in a
// umockdev test bed, and the usbfs ioctls of the real libusb-1.0 answered from
// the model.
//
// Threads. umockdev runs the test bed's ioctl handlers on a worker thread of
// its own (its private GMainContext); every call into umockdev's client API
// that talks to the client (resolving its memory, completing an ioctl) is made
// there; other threads only read a client's connected flag. The pump
// thread of this file brings the model's bulk endpoints up to date as time
// passes, as the libusb front end's event handling does, and collects the
// finished URBs. A thread per camera executes its control URBs one after the
// other, as a camera's endpoint 0 does, so that request latency and held
// requests never block the test bed's thread. All state is guarded by the
// model's one mutex.
//
// Reaping. libusb polls a usbfs file for POLLOUT and reaps until the kernel
// says EAGAIN. The test bed's device file is a socket, which always polls
// writable, so libusb's event loop asks again at once; an empty non-blocking
// reap is therefore answered only after kReapHoldUs, or as soon as one of the
// file's URBs completes. (umockdev's preload serialises every emulated ioctl
// of the process, so the hold also delays other threads' ioctls by as much.)
// The functions of this header are the library's exported interface.
#pragma GCC visibility push(default)
#include "kyrsim_usbfs.h"
#pragma GCC visibility pop

#include <dlfcn.h>
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <umockdev.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "internal.hpp"

namespace kyrsim_impl {
namespace {

constexpr long long kReapHoldUs = 1000;
constexpr long long kCloseCheckUs = 5000;  // how often closed files are looked for
constexpr int kSetupBytes = 8;
constexpr uint16_t kHubVendor = 0x1d6b;  // the Linux Foundation's root hubs

struct Camera;
struct Client;

// One URB a client submitted, from its submit to its reap.
struct Urb {
    long long id = 0;  // unique in the process
    Client* client = nullptr;
    UMockdevIoctlData* data = nullptr;    // the usbdevfs_urb, resolved at submit (a reference)
    UMockdevIoctlData* buffer = nullptr;  // its buffer (a reference); nullptr when it has none
    bool control = false;
    bool done = false;
    bool waitDiscard = false;  // control: the camera never answers; only a discard ends it
    bool discarded = false;    // DISCARDURB took it back
    int status = 0;
    int actual = 0;
    libusb_transfer xfer{};  // bulk: the model's view of it
    TransferState ts;

    usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (data) g_object_unref(data);
    }
};

// One open device file.
struct Client {
    UMockdevIoctlClient* ioctl = nullptr;  // a reference
    Camera* cam = nullptr;
    libusb_context ctx;       // the model's queue of this file's finished bulk transfers
    libusb_device_handle h;   // the model's handle of this file
    std::list<std::unique_ptr<Urb>> urbs;  // submitted, not yet reaped
    std::deque<Urb*> reapable;             // finished, in completion order
    // Per bulk endpoint (0x81, 0x82): a chain ended short or failed, and the
    // kernel refuses URBs that continue it until one starts a new chain.
    std::array<bool, 2> chainEnded{};
    bool reapWaiting = false;              // a reap waits for a URB
    bool reapBlocking = false;
    long long reapDeadlineUs = 0;          // a non-blocking reap's answer is due then
    bool closed = false;
    int executing = 0;                 // control URBs of this file the camera's thread holds
    unsigned long pendingRequest = 0;  // a claim or configuration change that waits (claimAnswer)
    unsigned pendingValue = 0;
    long long pendingDeadlineUs = 0;
};

struct Camera {
    int handle = -1;
    SimDevice* sim = nullptr;
    std::string syspath;
    std::string devnode;
    std::vector<std::string> hubs;  // sysfs names of the hubs on its way, root hub first
    UMockdevIoctlBase* handler = nullptr;
    std::deque<Urb*> controlQueue;  // control URBs waiting for the camera, in submit order
    std::thread worker;
    bool quit = false;
};

struct Hub {
    std::string syspath;
    int users = 0;
};

struct Bed {
    UMockdevTestbed* tb = nullptr;
    GMainContext* worker = nullptr;  // the test bed's thread, known from its first call
    int mode = KYRSIM_USBFS_SCATTER_GATHER;
    std::map<int, std::unique_ptr<Camera>> cameras;
    std::map<std::string, Hub> hubs;
    std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients;
    std::thread pump;
    bool stopping = false;
    bool serveQueued = false;
    bool trace = false;  // KYRSIM_USBFS_TRACE=1: every ioctl but the reaps on stderr
    long long nextUrbId = 1;
    long long counters[KYRSIM_USBFS_Q_SPLIT_URBS + 1] = {};
};

Bed& bed() {
    static Bed* b = new Bed;
    return *b;
}

// What completes an ioctl, done on the test bed's thread with no lock held.
struct Reply {
    UMockdevIoctlClient* ioctl = nullptr;  // a reference
    long result = 0;
    int error = 0;
    std::unique_ptr<Urb> urb;  // a reaped URB, handed back through the reap's argument
};

void sendReplies(std::vector<Reply>& replies) {
    for (Reply& r : replies) {
        if (r.urb) {
            UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(r.ioctl);
            GError* err = nullptr;
            UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &err);
            if (!slot) {
                std::fprintf(stderr, "kyrsim_usbfs: reap: %s\n", err ? err->message : "no memory");
                g_clear_error(&err);
                umockdev_ioctl_client_complete(r.ioctl, -1, EFAULT);
                g_object_unref(r.ioctl);
                continue;
            }
            usbdevfs_urb* u = r.urb->urb();
            u->status = r.urb->status;
            u->actual_length = r.urb->actual;
            umockdev_ioctl_data_set_ptr(slot, 0, r.urb->data);
            g_object_unref(slot);
        }
        umockdev_ioctl_client_complete(r.ioctl, r.result, r.error);
        g_object_unref(r.ioctl);
    }
    replies.clear();
}

bool cameraGone(const Client& c) { return !handleUsable(const_cast<libusb_device_handle*>(&c.h)); }

// The camera's capabilities as a kernel with this host controller reports them.
uint32_t capabilities() {
    uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    if (bed().mode == KYRSIM_USBFS_SCATTER_GATHER)
        caps |= USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
    return caps;
}

int bulkStatus(const Urb& u) {
    const TransferState& ts = u.ts;
    switch (ts.xfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return ts.endedShort ? -EREMOTEIO : 0;
        case LIBUSB_TRANSFER_CANCELLED:
            // DISCARDURB kills the URB (-ENOENT); the kernel unlinks the rest
            // of a chain that ended short (-ECONNRESET).
            return u.discarded ? -ENOENT : -ECONNRESET;
        case LIBUSB_TRANSFER_STALL:
            return -EPIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return -ENODEV;
        case LIBUSB_TRANSFER_OVERFLOW:
            return -EOVERFLOW;
        default:
            return -EPROTO;
    }
}

void finishUrb(Client& c, Urb& u, int status, int actual) {
    if (bed().trace && status != 0)
        std::fprintf(stderr, "kyrsim_usbfs: %s %s URB of %d bytes ends with %d after %d bytes\n",
                     c.cam->devnode.c_str(), u.control ? "control" : "bulk", u.urb()->buffer_length, status, actual);
    u.done = true;
    u.status = status;
    u.actual = actual;
    if (status == -ENODEV) ++bed().counters[KYRSIM_USBFS_Q_ENODEV_URBS];
    c.reapable.push_back(&u);
}

// Takes the model's finished bulk transfers of every file.
void collectBulk() {
    auto& s = state();
    for (auto& kv : bed().clients) {
        Client& c = *kv.second;
        while (!c.ctx.done.empty()) {
            TransferState* ts = c.ctx.done.front();
            c.ctx.done.pop_front();
            ts->inFlight = false;
            --s.inflight;
            Urb* u = static_cast<Urb*>(ts->xfer->user_data);
            const int status = bulkStatus(*u);
            if (status < 0 && status != -ENOENT && status != -ECONNRESET) c.chainEnded[ts->endpoint == 0x82] = true;
            finishUrb(c, *u, status, ts->actual);
        }
    }
}

Urb* findUrb(Client& c, long long id) {
    for (auto& u : c.urbs)
        if (u->id == id) return u.get();
    return nullptr;
}

std::unique_ptr<Urb> takeUrb(Client& c, Urb* u) {
    for (auto it = c.urbs.begin(); it != c.urbs.end(); ++it) {
        if (it->get() != u) continue;
        std::unique_ptr<Urb> out = std::move(*it);
        c.urbs.erase(it);
        return out;
    }
    return nullptr;
}

// Frees a closed file's state once its camera's thread lets go of it. Called with the lock held.
void destroyClient(Client* c) {
    Bed& b = bed();
    auto it = b.clients.find(c->ioctl);
    if (it == b.clients.end() || it->second.get() != c) return;
    UMockdevIoctlClient* ioctl = c->ioctl;
    b.clients.erase(it);  // the URBs' memory references go with it
    g_object_unref(ioctl);
}

// The file is closed: the kernel kills its URBs and releases its interfaces.
// Called with the lock held.
void closeClient(Client* c) {
    auto& s = state();
    if (c->closed) return;
    c->closed = true;
    c->reapWaiting = false;
    c->pendingRequest = 0;
    dropHandleTransfers(&c->h);
    auto& q = c->cam->controlQueue;
    q.erase(std::remove_if(q.begin(), q.end(), [&](Urb* u) { return u->client == c; }), q.end());
    SimDevice& d = *c->cam->sim;
    if (d.claimedBy == &c->h) d.claimedBy = nullptr;
    --d.openHandles;
    s.handles.erase(&c->h);
    s.cv.notify_all();
    if (c->executing == 0) destroyClient(c);
}

// umockdev notices a closed device file (its socket's end) on its thread
// but does not always say so; its client object does. Called with the lock held.
void closeVanished() {
    std::vector<Client*> gone;
    for (auto& kv : bed().clients)
        if (!kv.second->closed && !umockdev_ioctl_client_get_connected(kv.second->ioctl)) gone.push_back(kv.second.get());
    for (Client* c : gone) closeClient(c);
}


// SETCONFIGURATION and CLAIMINTERFACE while another file holds the
// interface: that file may just have been closed, and umockdev learns of it
// on its own time. The answer waits for it, up to kClaimWaitUs, then is EBUSY.
constexpr long long kClaimWaitUs = 500000;

// The answer to a claim or a configuration change; -1 while another open
// file holds the interface. The caller has closed the files that vanished.
int claimAnswer(Client& c, unsigned long request, unsigned value) {
    SimDevice& d = *c.cam->sim;
    if (cameraGone(c)) return ENODEV;
    if (request == USBDEVFS_SETCONFIGURATION && static_cast<int>(value) != 1 && static_cast<int>(value) != -1 &&
        value != 0)
        return EINVAL;
    if (d.claimedBy && d.claimedBy != &c.h) return -1;
    if (request == USBDEVFS_SETCONFIGURATION || d.claimedBy == &c.h) return 0;
    return claimInterface(&c.h, static_cast<int>(value)) == LIBUSB_SUCCESS ? 0 : ENOENT;
}

// Answers the reaps that wait, where their answer is due; on the test bed's thread.
void serveReaps(std::vector<Reply>& replies, long long now) {
    closeVanished();
    for (auto& kv : bed().clients) {
        Client& c = *kv.second;
        if (c.pendingRequest) {
            int err = claimAnswer(c, c.pendingRequest, c.pendingValue);
            if (err < 0 && now >= c.pendingDeadlineUs) err = EBUSY;
            if (err >= 0) {
                Reply r;
                r.ioctl = static_cast<UMockdevIoctlClient*>(g_object_ref(c.ioctl));
                r.result = err ? -1 : 0;
                r.error = err;
                replies.push_back(std::move(r));
                c.pendingRequest = 0;
            }
        }
        if (!c.reapWaiting) continue;
        if (!c.reapable.empty()) {
            Urb* u = c.reapable.front();
            c.reapable.pop_front();
            Reply r;
            r.ioctl = static_cast<UMockdevIoctlClient*>(g_object_ref(c.ioctl));
            r.urb = takeUrb(c, u);
            replies.push_back(std::move(r));
            c.reapWaiting = false;
            ++bed().counters[KYRSIM_USBFS_Q_REAPS];
            continue;
        }
        if (c.reapBlocking ? !(cameraGone(c) && c.urbs.empty()) : now < c.reapDeadlineUs) continue;
        Reply r;
        r.ioctl = static_cast<UMockdevIoctlClient*>(g_object_ref(c.ioctl));
        r.result = -1;
        r.error = cameraGone(c) ? ENODEV : EAGAIN;
        replies.push_back(std::move(r));
        c.reapWaiting = false;
        ++bed().counters[KYRSIM_USBFS_Q_EMPTY_REAPS];
    }
}

gboolean serveOnWorker(gpointer) {
    std::vector<Reply> replies;
    {
        std::lock_guard<std::mutex> lk(state().mu);
        bed().serveQueued = false;
        collectBulk();
        serveReaps(replies, nowUs());
    }
    sendReplies(replies);
    return G_SOURCE_REMOVE;
}

// Has the test bed's thread answer the waiting reaps. Called with the lock held.
void queueServe() {
    Bed& b = bed();
    if (b.serveQueued || !b.worker) return;
    b.serveQueued = true;
    g_main_context_invoke(b.worker, serveOnWorker, nullptr);
}

void pumpLoop() {
    auto& s = state();
    std::unique_lock<std::mutex> lk(s.mu);
    Bed& b = bed();
    while (!b.stopping) {
        const long long now = nowUs();
        long long wake = pumpAll(now);
        closeVanished();
        collectBulk();
        bool due = false;
        if (!b.clients.empty()) wake = std::min(wake, now + kCloseCheckUs);
        for (auto& kv : b.clients) {
            const Client& c = *kv.second;
            if (c.pendingRequest) due = true;
            if (!c.reapWaiting) continue;
            if (!c.reapable.empty() || (!c.reapBlocking && c.reapDeadlineUs <= now) ||
                (cameraGone(c) && c.urbs.empty()))
                due = true;
            else if (!c.reapBlocking)
                wake = std::min(wake, c.reapDeadlineUs);
        }
        if (due) queueServe();
        if (wake == LLONG_MAX)
            s.cv.wait(lk);
        else
            s.cv.wait_until(lk, s.epoch + std::chrono::microseconds(wake));
    }
}

// Maps the model's answer to a control request to a URB status.
void finishControl(Client& c, Urb& u, int result) {
    if (result >= 0) {
        finishUrb(c, u, 0, result);
        return;
    }
    switch (result) {
        case LIBUSB_ERROR_PIPE:
            finishUrb(c, u, -EPIPE, 0);
            break;
        case LIBUSB_ERROR_NO_DEVICE:
            finishUrb(c, u, -ENODEV, 0);
            break;
        case LIBUSB_ERROR_OVERFLOW:
            finishUrb(c, u, -EOVERFLOW, 0);
            break;
        case LIBUSB_ERROR_TIMEOUT:
            // The camera never answers; the host times the URB out and discards it.
            u.waitDiscard = true;
            break;
        default:
            finishUrb(c, u, -EPROTO, 0);
            break;
    }
}

// Endpoint 0 of one camera: executes its control URBs in submit order.
void controlLoop(Camera* cam) {
    auto& s = state();
    std::unique_lock<std::mutex> lk(s.mu);
    for (;;) {
        s.cv.wait(lk, [&] { return cam->quit || !cam->controlQueue.empty(); });
        if (cam->quit) return;
        Urb* u = cam->controlQueue.front();
        cam->controlQueue.pop_front();
        Client& c = *u->client;
        const long long id = u->id;
        ++c.executing;
        const uint8_t* setup = u->buffer->data;
        const uint8_t requestType = setup[0];
        const uint8_t request = setup[1];
        const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
        const uint16_t index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
        const uint16_t length = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
        std::vector<unsigned char> data(length);
        if (!(requestType & 0x80) && length > 0) std::memcpy(data.data(), setup + kSetupBytes, length);
        // The kernel has no timeout of its own: libusb times a URB out by discarding it.
        const int result = controlTransfer(lk, &c.h, requestType, request, value, index, data.data(), length, 0);
        --c.executing;
        if (c.closed) {
            if (c.executing == 0) destroyClient(&c);
            continue;
        }
        // A URB discarded while the camera worked on it has been answered, and
        // maybe reaped, already.
        u = findUrb(c, id);
        if (u && !u->done) {
            // IN data follows the setup packet in the URB's buffer.
            if ((requestType & 0x80) && result > 0)
                std::memcpy(u->buffer->data + kSetupBytes, data.data(), static_cast<size_t>(result));
            finishControl(c, *u, result);
        }
        s.cv.notify_all();
    }
}

// ---------------------------------------------------------------------------
// ioctls, on the test bed's thread
// ---------------------------------------------------------------------------

Client* clientOf(UMockdevIoctlClient* ioctl) {
    auto it = bed().clients.find(ioctl);
    return it == bed().clients.end() ? nullptr : it->second.get();
}

// The ioctl's argument as a pointer to n bytes of the client, resolved; nullptr on failure.
UMockdevIoctlData* resolveArg(UMockdevIoctlClient* ioctl, size_t n) {
    GError* err = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(ioctl), 0, n, &err);
    g_clear_error(&err);
    return d;
}

unsigned argUint(UMockdevIoctlClient* ioctl, bool* ok) {
    UMockdevIoctlData* d = resolveArg(ioctl, sizeof(unsigned));
    *ok = d != nullptr;
    unsigned v = 0;
    if (d) {
        std::memcpy(&v, d->data, sizeof(v));
        g_object_unref(d);
    }
    return v;
}

int errnoOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return 0;
        case LIBUSB_ERROR_NOT_FOUND:
            return ENOENT;
        case LIBUSB_ERROR_BUSY:
            return EBUSY;
        case LIBUSB_ERROR_NO_DEVICE:
            return ENODEV;
        case LIBUSB_ERROR_INVALID_PARAM:
            return EINVAL;
        case LIBUSB_ERROR_NO_MEM:
            return ENOMEM;
        case LIBUSB_ERROR_PIPE:
            return EPIPE;
        default:
            return EIO;
    }
}

// SUBMITURB. Returns the errno to answer with, 0 when submitted.
int submitUrb(Client& c, UMockdevIoctlClient* ioctl) {
    auto& s = state();
    Bed& b = bed();
    UMockdevIoctlData* data = resolveArg(ioctl, sizeof(usbdevfs_urb));
    if (!data) return EFAULT;
    auto u = std::make_unique<Urb>();
    u->client = &c;
    u->data = data;
    usbdevfs_urb* urb = u->urb();
    if (urb->buffer_length < 0) return EINVAL;
    if (urb->buffer_length > 0) {
        GError* err = nullptr;
        u->buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                static_cast<gsize>(urb->buffer_length), &err);
        g_clear_error(&err);
        if (!u->buffer) return EFAULT;
    }
    std::lock_guard<std::mutex> lk(s.mu);
    if (cameraGone(c)) return ENODEV;
    u->id = b.nextUrbId++;
    SimDevice& d = *c.cam->sim;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->buffer_length < kSetupBytes) return EINVAL;
        const uint8_t* setup = u->buffer->data;
        const int length = setup[6] | (setup[7] << 8);
        if (urb->buffer_length < kSetupBytes + length) return EINVAL;
        u->control = true;
        ++b.counters[KYRSIM_USBFS_Q_CONTROL_URBS];
        c.cam->controlQueue.push_back(u.get());
        c.urbs.push_back(std::move(u));
        s.cv.notify_all();
        return 0;
    }
    if (urb->type != USBDEVFS_URB_TYPE_BULK) return EINVAL;
    if (urb->endpoint != 0x81 && urb->endpoint != 0x82) return ENOENT;
    // A URB that continues a chain which has ended is refused; one that starts
    // a chain opens the endpoint again.
    collectBulk();
    bool& ended = c.chainEnded[urb->endpoint == 0x82];
    if (urb->flags & USBDEVFS_URB_BULK_CONTINUATION) {
        if (ended) return EREMOTEIO;
    } else {
        ended = false;
    }
    // The kernel claims the interface for a file that uses it unclaimed.
    if (d.claimedBy != &c.h) {
        closeVanished();
        const int err = claimAnswer(c, USBDEVFS_CLAIMINTERFACE, 0);
        if (err) return err < 0 ? EBUSY : err;
    }
    u->xfer.dev_handle = &c.h;
    u->xfer.endpoint = urb->endpoint;
    u->xfer.type = LIBUSB_TRANSFER_TYPE_BULK;
    u->xfer.buffer = u->buffer ? u->buffer->data : nullptr;
    u->xfer.length = urb->buffer_length;
    u->xfer.user_data = u.get();
    u->ts.xfer = &u->xfer;
    u->ts.shortEndsChain = (urb->flags & USBDEVFS_URB_SHORT_NOT_OK) != 0;
    u->ts.continuesChain = (urb->flags & USBDEVFS_URB_BULK_CONTINUATION) != 0;
    if (int err = submitBulk(u->ts, &c.h)) return errnoOf(err);
    auto& count = b.counters;
    const long long len = urb->buffer_length;
    count[KYRSIM_USBFS_Q_BULK_URB_MIN] =
        count[KYRSIM_USBFS_Q_BULK_URBS] == 0 ? len : std::min(count[KYRSIM_USBFS_Q_BULK_URB_MIN], len);
    count[KYRSIM_USBFS_Q_BULK_URB_MAX] = std::max(count[KYRSIM_USBFS_Q_BULK_URB_MAX], len);
    ++count[KYRSIM_USBFS_Q_BULK_URBS];
    if (u->ts.continuesChain) ++count[KYRSIM_USBFS_Q_SPLIT_URBS];
    c.urbs.push_back(std::move(u));
    return 0;
}

// DISCARDURB: the URB goes back with -ENOENT, or EINVAL when it is done already.
int discardUrb(Client& c, UMockdevIoctlClient* ioctl) {
    gulong addr = 0;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(ioctl);
    std::memcpy(&addr, arg->data, std::min<size_t>(sizeof(addr), static_cast<size_t>(arg->data_len)));
    std::lock_guard<std::mutex> lk(state().mu);
    ++bed().counters[KYRSIM_USBFS_Q_DISCARDS];
    for (auto& owned : c.urbs) {
        Urb& u = *owned;
        if (u.data->client_addr != addr) continue;
        if (u.done) return EINVAL;
        u.discarded = true;
        if (!u.control) {
            if (cancelBulk(u.ts) != LIBUSB_SUCCESS) return EINVAL;
            collectBulk();
        } else {
            auto& q = c.cam->controlQueue;
            q.erase(std::remove(q.begin(), q.end(), &u), q.end());
            finishUrb(c, u, -ENOENT, 0);
        }
        state().cv.notify_all();
        return 0;
    }
    return EINVAL;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* ioctl, gpointer) {
    Bed& b = bed();
    if (!b.worker) {
        std::lock_guard<std::mutex> lk(state().mu);
        b.worker = g_main_context_ref_thread_default();
    }
    const unsigned long request = umockdev_ioctl_client_get_request(ioctl);
    Client* c;
    {
        std::lock_guard<std::mutex> lk(state().mu);
        c = clientOf(ioctl);
    }
    if (!c) {
        umockdev_ioctl_client_complete(ioctl, -1, EBADF);
        return TRUE;
    }
    auto answer = [&](int err) {
        if (b.trace) std::fprintf(stderr, "kyrsim_usbfs: %s ioctl %#lx: %s\n", c->cam->devnode.c_str(), request,
                                  err ? std::strerror(err) : "ok");
        umockdev_ioctl_client_complete(ioctl, err ? -1 : 0, err);
    };
    auto& s = state();
    switch (request) {
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            std::vector<Reply> replies;
            {
                std::lock_guard<std::mutex> lk(s.mu);
                c->reapWaiting = true;
                c->reapBlocking = request == USBDEVFS_REAPURB;
                c->reapDeadlineUs = nowUs() + kReapHoldUs;
                collectBulk();
                if (!c->reapable.empty()) serveReaps(replies, nowUs());
                s.cv.notify_all();  // the pump answers it later
            }
            sendReplies(replies);
            return TRUE;
        }
        case USBDEVFS_SUBMITURB:
            answer(submitUrb(*c, ioctl));
            return TRUE;
        case USBDEVFS_DISCARDURB:
            answer(discardUrb(*c, ioctl));
            return TRUE;
        default:
            break;
    }
    // The other requests: their argument first (a number, or the capability
    // word to fill), then the camera, which must still be there.
    bool ok = true;
    unsigned value = 0;
    UMockdevIoctlData* caps = nullptr;
    switch (request) {
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:  // its argument starts with the interface number too
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_CLEAR_HALT:
            value = argUint(ioctl, &ok);
            break;
        case USBDEVFS_GET_CAPABILITIES:
            caps = resolveArg(ioctl, sizeof(uint32_t));
            ok = caps != nullptr;
            break;
        default:
            break;
    }
    int err = 0;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        SimDevice& d = *c->cam->sim;
        if (!ok) {
            err = EFAULT;
        } else if (cameraGone(*c)) {
            err = ENODEV;
        } else {
            switch (request) {
                case USBDEVFS_GET_CAPABILITIES: {
                    const uint32_t word = capabilities();
                    std::memcpy(caps->data, &word, sizeof(word));
                    break;
                }
                case USBDEVFS_SETCONFIGURATION:
                case USBDEVFS_CLAIMINTERFACE:
                case USBDEVFS_DISCONNECT_CLAIM: {
                    const unsigned long req =
                        request == USBDEVFS_DISCONNECT_CLAIM ? USBDEVFS_CLAIMINTERFACE : request;
                    closeVanished();
                    err = claimAnswer(*c, req, value);
                    if (err < 0) {
                        c->pendingRequest = req;
                        c->pendingValue = value;
                        c->pendingDeadlineUs = nowUs() + kClaimWaitUs;
                        s.cv.notify_all();
                        return TRUE;  // answered by the pump's next look
                    }
                    break;
                }
                case USBDEVFS_RELEASEINTERFACE:
                    err = releaseInterface(&c->h, static_cast<int>(value)) ? EINVAL : 0;
                    break;
                case USBDEVFS_CLEAR_HALT:
                    if (int e = takeCallFault(KYRSIM_CALL_CLEAR_HALT, &d))
                        err = errnoOf(e);
                    else
                        err = errnoOf(clearHalt(d, static_cast<int>(value)));
                    break;
                case USBDEVFS_RESET:
                    if (int e = takeCallFault(KYRSIM_CALL_RESET, &d))
                        err = errnoOf(e);
                    else  // a re-enumerating camera leaves this file behind, as a new device
                        err = resetDevice(d) == LIBUSB_ERROR_NOT_FOUND ? ENODEV : 0;
                    break;
                case USBDEVFS_RESETEP:
                    break;
                case USBDEVFS_GETDRIVER:
                    err = ENODATA;  // no kernel driver is bound to the camera's interface
                    break;
                default:
                    err = ENOTTY;
                    break;
            }
        }
    }
    if (caps) g_object_unref(caps);
    answer(err);
    return TRUE;
}

void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* ioctl, gpointer user) {
    auto* cam = static_cast<Camera*>(user);
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    auto c = std::make_unique<Client>();
    c->ioctl = static_cast<UMockdevIoctlClient*>(g_object_ref(ioctl));
    c->cam = cam;
    c->h.ctx = &c->ctx;
    c->h.sim = cam->sim;
    c->h.generation = cam->sim->generation;
    s.handles.insert(&c->h);
    ++cam->sim->openHandles;
    bed().clients[ioctl] = std::move(c);
    s.cv.notify_all();  // the pump looks for its close from now on
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* ioctl, gpointer) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (Client* c = clientOf(ioctl)) closeClient(c);
}

// ---------------------------------------------------------------------------
// The test bed's description of the bus
// ---------------------------------------------------------------------------

void put16(std::string& out, int v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

// Device, configuration, interface and endpoint descriptors, as sysfs gives them.
std::string descriptors(const libusb_device_descriptor& dd, bool hub, bool usb3) {
    std::string out;
    out.push_back(static_cast<char>(dd.bLength));
    out.push_back(static_cast<char>(dd.bDescriptorType));
    put16(out, dd.bcdUSB);
    out.push_back(static_cast<char>(dd.bDeviceClass));
    out.push_back(static_cast<char>(dd.bDeviceSubClass));
    out.push_back(static_cast<char>(dd.bDeviceProtocol));
    out.push_back(static_cast<char>(dd.bMaxPacketSize0));
    put16(out, dd.idVendor);
    put16(out, dd.idProduct);
    put16(out, dd.bcdDevice);
    out.push_back(static_cast<char>(dd.iManufacturer));
    out.push_back(static_cast<char>(dd.iProduct));
    out.push_back(static_cast<char>(dd.iSerialNumber));
    out.push_back(static_cast<char>(dd.bNumConfigurations));
    // Endpoints: the hub's status change pipe, or the camera's two bulk IN endpoints.
    const std::vector<std::pair<int, int>> eps = hub ? std::vector<std::pair<int, int>>{{0x81, 3}}
                                                     : std::vector<std::pair<int, int>>{{0x81, 2}, {0x82, 2}};
    const int companion = usb3 ? 6 : 0;
    const int total = 9 + 9 + static_cast<int>(eps.size()) * (7 + companion);
    out += std::string{9, LIBUSB_DT_CONFIG};
    put16(out, total);
    out += std::string{1, 1, 0, static_cast<char>(0x80), 50};
    out += std::string{9, LIBUSB_DT_INTERFACE, 0, 0, static_cast<char>(eps.size()),
                       static_cast<char>(hub ? LIBUSB_CLASS_HUB : LIBUSB_CLASS_VENDOR_SPEC), 0, 0, 0};
    for (const auto& ep : eps) {
        out += std::string{7, LIBUSB_DT_ENDPOINT, static_cast<char>(ep.first), static_cast<char>(ep.second)};
        put16(out, ep.second == 3 ? 2 : (usb3 ? 1024 : 512));
        out.push_back(static_cast<char>(ep.second == 3 ? 12 : 0));
        if (usb3) out += std::string{6, LIBUSB_DT_SS_ENDPOINT_COMPANION, static_cast<char>(ep.second == 3 ? 0 : 15), 0, 0, 0};
    }
    return out;
}

std::string devnodeOf(int bus, int address) {
    char path[64];
    std::snprintf(path, sizeof(path), "/dev/bus/usb/%03d/%03d", bus, address);
    return path;
}

std::string hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

// Adds a USB device to the test bed, in the record format umockdev-record
// writes: its sysfs node below parent ("/sys/devices/..."; empty for a root
// hub), its udev properties and its device file, whose contents are its
// descriptors as usbfs gives them. Returns its sysfs path, empty on failure.
std::string addUsbDevice(const std::string& name, const std::string& parent, int bus, int address, bool usb3,
                         const std::string& desc, const libusb_device_descriptor& dd) {
    Bed& b = bed();
    const std::string sysPath = (parent.empty() ? std::string("/sys/devices") : parent) + "/" + name;
    const std::string devname = devnodeOf(bus, address).substr(5);  // without "/dev/", as in a uevent
    char ids[96];
    std::snprintf(ids, sizeof(ids), "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nE: PRODUCT=%x/%x/%x\n", dd.idVendor,
                  dd.idProduct, dd.idVendor, dd.idProduct, dd.bcdDevice);
    std::string rec;
    rec += "P: " + sysPath.substr(4) + "\n";
    rec += "N: " + devname + "=" + hex(desc) + "\n";
    rec += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/" + devname + "\n";
    rec += "E: BUSNUM=" + std::to_string(bus) + "\nE: DEVNUM=" + std::to_string(address) + "\n";
    rec += ids;
    // Text attributes end with a newline, as the kernel's do.
    rec += "A: busnum=" + std::to_string(bus) + "\\n\n";
    rec += "A: devnum=" + std::to_string(address) + "\\n\n";
    rec += std::string("A: speed=") + (usb3 ? "5000" : "480") + "\\n\n";
    rec += "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n";
    // The usb_device character device: major 189, one minor per bus address.
    rec += "A: dev=189:" + std::to_string((bus - 1) * 128 + address - 1) + "\\n\n";
    rec += "H: descriptors=" + hex(desc) + "\n";
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(b.tb, rec.c_str(), &err)) {
        std::fprintf(stderr, "kyrsim_usbfs: cannot add %s: %s\n", sysPath.c_str(), err ? err->message : "?");
        g_clear_error(&err);
        return "";
    }
    return sysPath;
}

// The hub of this sysfs name, made when the first camera behind it comes.
// Called without the lock (the address comes from the model).
std::string useHub(const std::string& name, const std::string& parent, int bus, bool usb3) {
    Bed& b = bed();
    auto it = b.hubs.find(name);
    if (it != b.hubs.end()) {
        ++it->second.users;
        return it->second.syspath;
    }
    int address = 1;  // a root hub's
    if (!parent.empty()) {
        std::lock_guard<std::mutex> lk(state().mu);
        address = assignAddress(bus);
    }
    libusb_device_descriptor dd{};
    dd.bLength = LIBUSB_DT_DEVICE_SIZE;
    dd.bDescriptorType = LIBUSB_DT_DEVICE;
    dd.bcdUSB = usb3 ? 0x0300 : 0x0200;
    dd.bDeviceClass = LIBUSB_CLASS_HUB;
    dd.bDeviceProtocol = usb3 ? 3 : 1;
    dd.bMaxPacketSize0 = usb3 ? 9 : 64;
    dd.idVendor = kHubVendor;
    dd.idProduct = usb3 ? 0x0003 : 0x0002;
    dd.bNumConfigurations = 1;
    const std::string path = addUsbDevice(name, parent, bus, address, usb3, descriptors(dd, true, usb3), dd);
    b.hubs[name] = Hub{path, 1};
    return path;
}

void dropHub(const std::string& name) {
    Bed& b = bed();
    auto it = b.hubs.find(name);
    if (it == b.hubs.end() || --it->second.users > 0) return;
    umockdev_testbed_uevent(b.tb, it->second.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(b.tb, it->second.syspath.c_str());
    b.hubs.erase(it);
}

void stopCamera(Camera& cam) {
    {
        std::lock_guard<std::mutex> lk(state().mu);
        cam.quit = true;
        state().cv.notify_all();
    }
    if (cam.worker.joinable()) cam.worker.join();
}

}  // namespace
}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

int kyrsim_usbfs_start(int mode) {
    Bed& b = bed();
    if (b.tb || (mode != KYRSIM_USBFS_SCATTER_GATHER && mode != KYRSIM_USBFS_CONTINUATION)) return -1;
    // umockdev's preload library is in the process (it emulates the test bed's files).
    if (!dlsym(RTLD_DEFAULT, "ioctl_tree_new_from_bin")) {
        std::fprintf(stderr, "kyrsim_usbfs: not under umockdev-wrapper (the umockdev preload library)\n");
        return -1;
    }
    b.tb = umockdev_testbed_new();
    if (!b.tb) return -1;
    b.mode = mode;
    const char* trace = getenv("KYRSIM_USBFS_TRACE");
    b.trace = trace && *trace == '1';
    std::fill(std::begin(b.counters), std::end(b.counters), 0);
    b.stopping = false;
    b.pump = std::thread(pumpLoop);
    return 0;
}

int kyrsim_usbfs_plug_ex(const kyrsim_device_config* cfg) {
    Bed& b = bed();
    if (!b.tb || !cfg || !cfg->ports[0]) return -1;
    {
        // The root hub takes address 1 of its bus before any camera.
        std::lock_guard<std::mutex> lk(state().mu);
        auto& next = state().nextAddress[cfg->bus];
        if (cfg->bus >= 1 && cfg->bus <= 255 && next == 0 && !b.hubs.count("usb" + std::to_string(cfg->bus)))
            next = 1;
    }
    const int handle = kyrsim_plug_ex(cfg);
    if (handle < 0) return -1;
    auto cam = std::make_unique<Camera>();
    cam->handle = handle;
    libusb_device_descriptor dd{};
    std::vector<int> ports;
    int address;
    {
        std::lock_guard<std::mutex> lk(state().mu);
        cam->sim = findDevice(handle, true);
        deviceDescriptor(*cam->sim, &dd);
        ports = cam->sim->ports;
        address = cam->sim->address;
    }
    const bool usb3 = cfg->usb3_host != 0;
    const int bus = cfg->bus;
    // Sysfs names: "usb1" for bus 1's root hub, "1-2" on its port 2, "1-2.4" behind that.
    const std::string root = "usb" + std::to_string(bus);
    std::string parentPath = useHub(root, "", bus, usb3);
    cam->hubs.push_back(root);
    std::string name = std::to_string(bus) + "-" + std::to_string(ports[0]);
    for (size_t i = 1; i < ports.size(); ++i) {
        parentPath = useHub(name, parentPath, bus, usb3);
        cam->hubs.push_back(name);
        name += "." + std::to_string(ports[i]);
    }
    cam->devnode = devnodeOf(bus, address);
    cam->syspath = addUsbDevice(name, parentPath, bus, address, usb3, descriptors(dd, false, usb3), dd);
    cam->handler = umockdev_ioctl_base_new();
    g_signal_connect(cam->handler, "handle-ioctl", G_CALLBACK(onIoctl), cam.get());
    g_signal_connect(cam->handler, "client-connected", G_CALLBACK(onConnected), cam.get());
    g_signal_connect(cam->handler, "client-vanished", G_CALLBACK(onVanished), cam.get());
    GError* err = nullptr;
    if (cam->syspath.empty() ||
        !umockdev_testbed_attach_ioctl(b.tb, cam->devnode.c_str(), cam->handler, &err)) {
        std::fprintf(stderr, "kyrsim_usbfs: cannot describe camera %d: %s\n", handle,
                     err ? err->message : "no sysfs node");
        g_clear_error(&err);
        kyrsim_unplug(handle);
        return -1;
    }
    cam->worker = std::thread(controlLoop, cam.get());
    b.cameras[handle] = std::move(cam);
    return handle;
}

int kyrsim_usbfs_plug(int product_id, int bus, const char* ports) {
    kyrsim_device_config cfg;
    kyrsim_config_init(&cfg, product_id, bus, ports);
    if (!ports || std::strlen(ports) >= sizeof(cfg.ports)) return -1;
    return kyrsim_usbfs_plug_ex(&cfg);
}

int kyrsim_usbfs_unplug(int handle) {
    Bed& b = bed();
    auto it = b.cameras.find(handle);
    if (!b.tb || it == b.cameras.end()) return -1;
    Camera& cam = *it->second;
    {
        std::lock_guard<std::mutex> lk(state().mu);
        if (!findDevice(handle, true)) return -1;
        // URBs in flight end with ENODEV; control URBs not yet begun as well.
        unplugLocked(*cam.sim);
        for (Urb* u : cam.controlQueue) finishUrb(*u->client, *u, -ENODEV, 0);
        cam.controlQueue.clear();
        for (auto& kv : b.clients)
            if (kv.second->cam == &cam)
                for (auto& u : kv.second->urbs)
                    if (u->waitDiscard && !u->done) finishUrb(*kv.second, *u, -ENODEV, 0);
        state().cv.notify_all();
    }
    // Its endpoint 0 is done: a request the thread still executes has met the unplug.
    stopCamera(cam);
    umockdev_testbed_uevent(b.tb, cam.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(b.tb, cam.syspath.c_str());
    for (auto h = cam.hubs.rbegin(); h != cam.hubs.rend(); ++h)
        if (*h != cam.hubs.front()) dropHub(*h);  // root hubs stay
    return 0;
}

void kyrsim_usbfs_stop(void) {
    Bed& b = bed();
    if (!b.tb) return;
    std::vector<int> handles;
    for (auto& kv : b.cameras) handles.push_back(kv.first);
    for (int h : handles) kyrsim_usbfs_unplug(h);
    {
        std::lock_guard<std::mutex> lk(state().mu);
        b.stopping = true;
        state().cv.notify_all();
    }
    if (b.pump.joinable()) b.pump.join();
    {
        std::lock_guard<std::mutex> lk(state().mu);
        std::vector<Client*> open;
        for (auto& kv : b.clients) open.push_back(kv.second.get());
        for (Client* c : open) closeClient(c);
        b.hubs.clear();
        b.serveQueued = false;
        if (b.worker) g_main_context_unref(b.worker);
        b.worker = nullptr;
    }
    // The cameras and their handlers stay allocated: umockdev's thread may
    // still call into them until the test bed is gone.
    for (auto& kv : b.cameras) kv.second.release();
    b.cameras.clear();
    g_object_unref(b.tb);
    b.tb = nullptr;
}

long long kyrsim_usbfs_query(int what) {
    if (what < 0 || what > KYRSIM_USBFS_Q_SPLIT_URBS) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    Bed& b = bed();
    if (what == KYRSIM_USBFS_Q_OPEN_FILES) {
        long long n = 0;
        for (auto& kv : b.clients) n += kv.second->closed ? 0 : 1;
        return n;
    }
    if (what == KYRSIM_USBFS_Q_PENDING_URBS) {
        long long n = 0;
        for (auto& kv : b.clients)
            if (!kv.second->closed) n += static_cast<long long>(kv.second->urbs.size());
        return n;
    }
    return b.counters[what];
}

}  // extern "C"

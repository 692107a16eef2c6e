// The libusb-1.0 front end of the simulator, bus side: contexts, device
// lists, device objects and handles, interface claims, device reset, and the
// faults of these calls, on the bus of the device model.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "internal.hpp"

namespace kyrsim_impl {
namespace {

bool defaultOrderLess(const SimDevice* a, const SimDevice* b) {
    if (a->cfg.bus != b->cfg.bus) return a->cfg.bus < b->cfg.bus;
    if (a->ports != b->ports) return a->ports < b->ports;
    return a->plugOrder < b->plugOrder;
}

std::vector<SimDevice*> listedDevices() {
    auto& s = state();
    std::vector<SimDevice*> all;
    for (auto& kv : s.devices)
        if (kv.second->plugged) all.push_back(kv.second.get());
    std::sort(all.begin(), all.end(), defaultOrderLess);
    if (s.listOrder.empty()) return all;
    std::vector<SimDevice*> out;
    for (int h : s.listOrder) {
        auto it = std::find_if(all.begin(), all.end(), [h](SimDevice* d) { return d->handle == h; });
        if (it != all.end()) {
            out.push_back(*it);
            all.erase(it);
        }
    }
    out.insert(out.end(), all.begin(), all.end());
    return out;
}

libusb_device* deviceObject(libusb_context* ctx, SimDevice* d) {
    auto& s = state();
    auto key = std::make_pair(d->handle, d->generation);
    auto it = ctx->cache.find(key);
    if (it != ctx->cache.end()) return it->second;
    auto* dev = new libusb_device;
    dev->ctx = ctx;
    dev->sim = d;
    dev->generation = d->generation;
    ctx->cache[key] = dev;
    ++ctx->objects;
    s.usbDevices.insert(dev);
    return dev;
}

void unrefLocked(libusb_device* dev) {
    auto& s = state();
    if (!s.usbDevices.count(dev) || dev->refs <= 0) {
        ++s.misuse;
        return;
    }
    --s.deviceRefs;
    if (--dev->refs > 0) return;
    s.usbDevices.erase(dev);
    dev->ctx->cache.erase(std::make_pair(dev->sim->handle, dev->generation));
    releaseCtxObject(dev->ctx);
    delete dev;
}

bool knownDevice(libusb_device* dev) {
    auto& s = state();
    if (dev && s.usbDevices.count(dev)) return true;
    ++s.misuse;
    return false;
}

// Checks a handle passed by the caller: -1 when the pointer is unknown (a
// misuse), LIBUSB_ERROR_NO_DEVICE when its camera is gone, else 0.
int checkHandle(libusb_device_handle* h) {
    auto& s = state();
    if (!h || !s.handles.count(h)) {
        ++s.misuse;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return handleUsable(h) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

}  // namespace
}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

// ---------------------------------------------------------------------------
// libusb: contexts
// ---------------------------------------------------------------------------

int libusb_init(libusb_context** ctx) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.initFailures > 0) {
        --s.initFailures;
        return s.initError;
    }
    if (int err = takeCallFault(KYRSIM_CALL_INIT, nullptr)) return err;
    if (!ctx) {
        if (s.defaultCtx) {
            ++s.defaultCtx->initCount;
            return 0;
        }
        s.defaultCtx = new libusb_context;
        s.defaultCtx->isDefault = true;
        s.contexts.insert(s.defaultCtx);
        ++s.liveContexts;
        return 0;
    }
    auto* c = new libusb_context;
    s.contexts.insert(c);
    ++s.liveContexts;
    *ctx = c;
    return 0;
}

void libusb_exit(libusb_context* ctx) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!ctx) {
        ctx = s.defaultCtx;
        if (!ctx) {
            ++s.misuse;
            return;
        }
        if (--ctx->initCount > 0) return;
        s.defaultCtx = nullptr;
    }
    if (!s.contexts.count(ctx) || !ctx->alive) {
        ++s.misuse;
        return;
    }
    ctx->alive = false;
    --s.liveContexts;
    // Transfers still waiting for their callbacks will never get them.
    for (TransferState* ts : ctx->done) {
        ts->inFlight = false;
        --s.inflight;
    }
    ctx->done.clear();
    if (ctx->objects > 0 || ctx->handling) {
        // Devices or handles of this context are still held, or another thread
        // is inside an event call: the real libusb would leave them dangling.
        // Keep the object until they go.
        if (ctx->objects > 0) ++s.misuse;
        return;
    }
    s.contexts.erase(ctx);
    delete ctx;
}

void libusb_set_debug(libusb_context* ctx, int level) {
    (void)ctx;
    (void)level;
}

int libusb_set_option(libusb_context* ctx, enum libusb_option option, ...) {
    if (option != LIBUSB_OPTION_LOG_LEVEL) return LIBUSB_ERROR_NOT_SUPPORTED;
    va_list ap;
    va_start(ap, option);
    const int level = va_arg(ap, int);
    va_end(ap);
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    // Recorded as passed, so that tests see what the caller handed over.
    s.lastLogLevel = level;
    if (level < LIBUSB_LOG_LEVEL_NONE || level > LIBUSB_LOG_LEVEL_DEBUG) return LIBUSB_ERROR_INVALID_PARAM;
    if (!ctx) ctx = s.defaultCtx;
    if (ctx && s.contexts.count(ctx) && ctx->alive) ctx->logLevel = level;
    return LIBUSB_SUCCESS;
}

// ---------------------------------------------------------------------------
// libusb: device lists and device objects
// ---------------------------------------------------------------------------

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    ctx = resolveContext(ctx);
    if (!ctx || !list) return LIBUSB_ERROR_INVALID_PARAM;
    if (int err = takeCallFault(KYRSIM_CALL_GET_LIST, nullptr)) return err;
    std::vector<SimDevice*> devs = listedDevices();
    auto** out = new libusb_device*[devs.size() + 1];
    for (size_t i = 0; i < devs.size(); ++i) {
        libusb_device* dev = deviceObject(ctx, devs[i]);
        ++dev->refs;
        ++s.deviceRefs;
        out[i] = dev;
    }
    out[devs.size()] = nullptr;
    s.lists.insert(out);
    *list = out;
    return static_cast<ssize_t>(devs.size());
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.lists.erase(list)) {
        ++s.misuse;
        return;
    }
    if (unref_devices)
        for (libusb_device** p = list; *p; ++p) unrefLocked(*p);
    delete[] list;
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!knownDevice(dev)) return dev;
    ++dev->refs;
    ++s.deviceRefs;
    return dev;
}

void libusb_unref_device(libusb_device* dev) {
    if (!dev) return;
    std::lock_guard<std::mutex> lk(state().mu);
    unrefLocked(dev);
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (!knownDevice(dev) || !desc) return LIBUSB_ERROR_INVALID_PARAM;
    if (int err = takeCallFault(KYRSIM_CALL_DESCRIPTOR, dev->sim)) return err;
    // The descriptor is cached by the host, so it stays readable after an unplug.
    deviceDescriptor(*dev->sim, desc);
    return LIBUSB_SUCCESS;
}

uint8_t libusb_get_bus_number(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(state().mu);
    return knownDevice(dev) ? static_cast<uint8_t>(dev->sim->cfg.bus) : 0;
}

uint8_t libusb_get_device_address(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(state().mu);
    return knownDevice(dev) ? static_cast<uint8_t>(dev->sim->address) : 0;
}

int libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (!knownDevice(dev) || port_numbers_len <= 0 || !port_numbers) return LIBUSB_ERROR_INVALID_PARAM;
    const auto& ports = dev->sim->ports;
    if (static_cast<int>(ports.size()) > port_numbers_len) return LIBUSB_ERROR_OVERFLOW;
    for (size_t i = 0; i < ports.size(); ++i) port_numbers[i] = static_cast<uint8_t>(ports[i]);
    return static_cast<int>(ports.size());
}

uint8_t libusb_get_port_number(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (!knownDevice(dev) || dev->sim->ports.empty()) return 0;
    return static_cast<uint8_t>(dev->sim->ports.back());
}

int libusb_get_device_speed(libusb_device* dev) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (!knownDevice(dev)) return LIBUSB_SPEED_UNKNOWN;
    return dev->sim->cfg.usb3_host ? LIBUSB_SPEED_SUPER : LIBUSB_SPEED_HIGH;
}

// ---------------------------------------------------------------------------
// libusb: handles
// ---------------------------------------------------------------------------

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!knownDevice(dev) || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (!dev->ctx->alive) {
        ++s.misuse;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    SimDevice* d = dev->sim;
    if (!d->plugged || d->generation != dev->generation) return LIBUSB_ERROR_NO_DEVICE;
    if (int err = takeCallFault(KYRSIM_CALL_OPEN, d)) return err;
    auto* h = new libusb_device_handle;
    h->ctx = dev->ctx;
    h->dev = dev;
    h->sim = d;
    h->generation = dev->generation;
    ++dev->refs;
    ++s.deviceRefs;
    ++dev->ctx->objects;
    ++d->openHandles;
    ++s.openHandles;
    s.handles.insert(h);
    *dev_handle = h;
    return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle* h) {
    if (!h) return;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.handles.erase(h)) {
        ++s.misuse;
        return;
    }
    dropHandleTransfers(h);
    if (h->sim->claimedBy == h) h->sim->claimedBy = nullptr;
    --h->sim->openHandles;
    --s.openHandles;
    libusb_context* ctx = h->ctx;
    libusb_device* dev = h->dev;
    delete h;
    unrefLocked(dev);
    releaseCtxObject(ctx);
    s.cv.notify_all();
}

libusb_device* libusb_get_device(libusb_device_handle* h) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (!h || !s.handles.count(h)) {
        ++s.misuse;
        return nullptr;
    }
    return h->dev;
}

int libusb_set_configuration(libusb_device_handle* h, int configuration) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (int err = checkHandle(h)) return err;
    if (int err = takeCallFault(KYRSIM_CALL_SET_CONFIG, h->sim)) return err;
    if (configuration != 1 && configuration != -1) return LIBUSB_ERROR_NOT_FOUND;
    if (h->sim->claimedBy && h->sim->claimedBy != h) return LIBUSB_ERROR_BUSY;
    return LIBUSB_SUCCESS;
}

int libusb_claim_interface(libusb_device_handle* h, int interface_number) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (int err = checkHandle(h)) return err;
    if (int err = takeCallFault(KYRSIM_CALL_CLAIM, h->sim)) return err;
    return claimInterface(h, interface_number);
}

int libusb_release_interface(libusb_device_handle* h, int interface_number) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (int err = checkHandle(h)) return err;
    return releaseInterface(h, interface_number);
}

int libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (int err = checkHandle(h)) return err;
    SimDevice& d = *h->sim;
    if (int err = takeCallFault(KYRSIM_CALL_CLEAR_HALT, &d)) return err;
    return clearHalt(d, endpoint);
}

int libusb_reset_device(libusb_device_handle* h) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (int err = checkHandle(h)) return err;
    SimDevice& d = *h->sim;
    if (int err = takeCallFault(KYRSIM_CALL_RESET, &d)) return err;
    return resetDevice(d);
}

// ---------------------------------------------------------------------------
// libusb: error texts
// ---------------------------------------------------------------------------

const char* libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
        case LIBUSB_TRANSFER_ERROR:
            return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED:
            return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL:
            return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "LIBUSB_TRANSFER_OVERFLOW";
        default:
            return "**UNKNOWN**";
    }
}

const char* libusb_strerror(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "Success";
        case LIBUSB_ERROR_IO:
            return "Input/Output Error";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "Invalid parameter";
        case LIBUSB_ERROR_ACCESS:
            return "Access denied (insufficient permissions)";
        case LIBUSB_ERROR_NO_DEVICE:
            return "No such device (it may have been disconnected)";
        case LIBUSB_ERROR_NOT_FOUND:
            return "Entity not found";
        case LIBUSB_ERROR_BUSY:
            return "Resource busy";
        case LIBUSB_ERROR_TIMEOUT:
            return "Operation timed out";
        case LIBUSB_ERROR_OVERFLOW:
            return "Overflow";
        case LIBUSB_ERROR_PIPE:
            return "Pipe error";
        case LIBUSB_ERROR_INTERRUPTED:
            return "System call interrupted (perhaps due to signal)";
        case LIBUSB_ERROR_NO_MEM:
            return "Insufficient memory";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "Operation not supported or unimplemented on this platform";
        case LIBUSB_ERROR_OTHER:
            return "Other error";
        default:
            return "Unknown error";
    }
}

}  // extern "C"

// The USB bus: cameras plugged at a bus number and port chain, libusb
// contexts, device lists, device objects and handles, interface claims, device
// reset, and the faults of these calls.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>

#include "internal.hpp"

namespace kyrsim_impl {

State& state() {
    // Never destroyed: libusb objects may be released from static destructors
    // or by an interpreter shutting down after this library's statics are gone.
    static State* s = new State;
    return *s;
}

long long toUs(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t - state().epoch).count();
}

long long nowUs() { return toUs(Clock::now()); }

SimDevice* findDevice(int handle, bool plugged) {
    auto& s = state();
    auto it = s.devices.find(handle);
    if (it == s.devices.end()) return nullptr;
    if (plugged && !it->second->plugged) return nullptr;
    return it->second.get();
}

bool handleUsable(libusb_device_handle* h) {
    return h && h->sim->plugged && h->sim->generation == h->generation;
}

int takeCallFault(int call, const SimDevice* d) {
    auto& s = state();
    for (auto it = s.callFaults.begin(); it != s.callFaults.end(); ++it) {
        if (it->call != call) continue;
        if (it->device != KYRSIM_ANY && (!d || d->handle != it->device)) continue;
        if (it->skip > 0) {
            // Counted by this rule but not failed: a later rule may still act on it.
            --it->skip;
            continue;
        }
        const int error = it->error;
        if (it->times > 0 && --it->times == 0) s.callFaults.erase(it);
        return error;
    }
    return 0;
}

libusb_context* resolveContext(libusb_context* ctx) {
    auto& s = state();
    if (!ctx) ctx = s.defaultCtx;
    if (!ctx || !s.contexts.count(ctx) || !ctx->alive) {
        ++s.misuse;
        return nullptr;
    }
    return ctx;
}

void releaseCtxObject(libusb_context* ctx) {
    auto& s = state();
    if (--ctx->objects == 0 && !ctx->alive && !ctx->handling) {
        s.contexts.erase(ctx);
        delete ctx;
    }
}

void unplugLocked(SimDevice& d) {
    if (!d.plugged) return;
    d.plugged = false;
    d.claimedBy = nullptr;
    d.streaming = false;
    d.latched.clear();
    updateGate(d);
    endAllTransfers(d, LIBUSB_TRANSFER_NO_DEVICE);
    d.sceneCache.clear();
    d.sceneCache.shrink_to_fit();
    state().cv.notify_all();  // held requests and event handlers see the disconnect
}

namespace {

bool parsePorts(const char* text, std::vector<int>& out) {
    out.clear();
    if (!text) return true;
    const char* p = text;
    while (*p) {
        while (*p == ' ') ++p;
        if (!*p) break;
        if (*p < '0' || *p > '9') return false;
        long v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (*p - '0');
            if (v > 255) return false;
            ++p;
        }
        if (v < 1) return false;
        out.push_back(static_cast<int>(v));
        while (*p == ' ') ++p;
        if (*p == ',')
            ++p;
        else if (*p)
            return false;
    }
    return out.size() <= 7;
}

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

int assignAddress(int bus) {
    int& next = state().nextAddress[bus];
    next = next % 127 + 1;  // USB addresses are 1..127
    return next;
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

void reenumerate(SimDevice& d) {
    // The camera drops off the bus and comes back as a new USB device; every
    // handle on the old one is dead, the camera model itself keeps its state.
    d.claimedBy = nullptr;
    d.streaming = false;
    updateGate(d);
    endAllTransfers(d, LIBUSB_TRANSFER_NO_DEVICE);
    ++d.generation;
    d.address = assignAddress(d.cfg.bus);
}

void resetUsbSide(SimDevice& d) {
    d.streaming = false;
    updateGate(d);
    endAllTransfers(d, LIBUSB_TRANSFER_ERROR);
    d.halted.fill(false);
}

}  // namespace
}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

// ---------------------------------------------------------------------------
// Control API: bus
// ---------------------------------------------------------------------------

void kyrsim_config_init(kyrsim_device_config* cfg, int product_id, int bus, const char* ports) {
    if (!cfg) return;
    std::memset(cfg, 0, sizeof(*cfg));
    cfg->vendor_id = KYRSIM_VENDOR_ID;
    cfg->product_id = product_id;
    cfg->bus = bus;
    if (ports) std::strncpy(cfg->ports, ports, sizeof(cfg->ports) - 1);
    cfg->usb3_host = 1;
    unsigned n;
    {
        std::lock_guard<std::mutex> lk(state().mu);
        n = ++state().serialCounter;
    }
    // "KS" and six hex digits: distinct serials for cameras of one model.
    static const char kHex[] = "0123456789ABCDEF";
    cfg->serial[0] = 'K';
    cfg->serial[1] = 'S';
    for (int i = 0; i < 6; ++i)
        cfg->serial[2 + i] = static_cast<unsigned char>(kHex[(n >> (4 * (5 - i))) & 0xF]);
    cfg->fw_answer[0] = 'V';
    cfg->fw_answer[1] = 0x31;
}

int kyrsim_plug_ex(const kyrsim_device_config* cfg) {
    if (!cfg || cfg->bus < 1 || cfg->bus > 255 || cfg->vendor_id < 0 || cfg->vendor_id > 0xFFFF ||
        cfg->product_id < 0 || cfg->product_id > 0xFFFF || !std::memchr(cfg->ports, 0, sizeof(cfg->ports)))
        return -1;
    std::vector<int> ports;
    if (!parsePorts(cfg->ports, ports)) return -1;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    auto d = std::make_unique<SimDevice>();
    d->handle = s.nextHandle++;
    d->plugOrder = s.nextPlugOrder++;
    d->sceneSeed = s.plugsSinceReset++;
    d->cfg = *cfg;
    d->ports = ports;
    d->address = assignAddress(cfg->bus);
    d->profile = profileFor(cfg->product_id);
    initDeviceModel(*d);
    const int h = d->handle;
    s.devices[h] = std::move(d);
    s.cv.notify_all();
    return h;
}

int kyrsim_plug(int product_id, int bus, const char* ports) {
    kyrsim_device_config cfg;
    kyrsim_config_init(&cfg, product_id, bus, ports);
    if (ports && std::strlen(ports) >= sizeof(cfg.ports)) return -1;
    return kyrsim_plug_ex(&cfg);
}

int kyrsim_unplug(int handle) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    SimDevice* d = findDevice(handle, true);
    if (!d) return -1;
    unplugLocked(*d);
    return 0;
}

int kyrsim_device_count(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = 0;
    for (auto& kv : s.devices) n += kv.second->plugged ? 1 : 0;
    return n;
}

int kyrsim_is_plugged(int handle) {
    std::lock_guard<std::mutex> lk(state().mu);
    return findDevice(handle, true) ? 1 : 0;
}

int kyrsim_device_at(int bus, const char* ports) {
    std::vector<int> want;
    if (!parsePorts(ports, want)) return -1;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    for (auto& kv : s.devices)
        if (kv.second->plugged && kv.second->cfg.bus == bus && kv.second->ports == want) return kv.first;
    return -1;
}

int kyrsim_set_list_order(const int* handles, int n) {
    if (n < 0 || (n > 0 && !handles)) return -1;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.listOrder.assign(handles, handles + n);
    return 0;
}

void kyrsim_reset(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    for (auto& kv : s.devices) {
        unplugLocked(*kv.second);
        kv.second->known = false;
        s.forgotten.push_back(std::move(kv.second));
    }
    s.devices.clear();
    s.listOrder.clear();
    s.profileOverrides.clear();
    s.nextAddress.clear();
    s.plugsSinceReset = 0;
    s.log.clear();
    s.unexpected = 0;
    s.overlaps = 0;
    s.rules.clear();
    ++s.releaseEpoch;  // held requests go on (and meet an unplugged camera)
    s.callFaults.clear();
    s.initFailures = 0;
    s.freedInFlight = 0;
    s.misuse = 0;
    s.eventsPerCall = 0;
    s.lastLogLevel = -1;
    s.cv.notify_all();
}

// ---------------------------------------------------------------------------
// Control API: call faults, counters, queries
// ---------------------------------------------------------------------------

int kyrsim_fail_call_nth(int call, int handle, int error, int nth, int times) {
    if (call < KYRSIM_CALL_INIT || call > KYRSIM_CALL_ALLOC || times < -1 || nth < 1) return -1;
    // libusb_alloc_transfer belongs to no camera: a rule naming one would never act.
    if (call == KYRSIM_CALL_ALLOC && handle != KYRSIM_ANY) return -1;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.callFaults.erase(
        std::remove_if(s.callFaults.begin(), s.callFaults.end(),
                       [&](const CallFault& f) { return f.call == call && f.device == handle; }),
        s.callFaults.end());
    if (times != 0 && error != 0) {
        CallFault f;
        f.call = call;
        f.device = handle;
        f.error = error;
        f.skip = nth - 1;
        f.times = times;
        s.callFaults.push_back(f);
    }
    return 0;
}

int kyrsim_fail_call(int call, int handle, int error, int times) {
    return kyrsim_fail_call_nth(call, handle, error, 1, times);
}

void kyrsim_fail_init(int n, int error) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.initFailures = n > 0 ? n : 0;
    s.initError = error < 0 ? error : LIBUSB_ERROR_OTHER;
}

int kyrsim_refuse_open(int handle, int error) {
    if (handle < 0 || error > 0) return -1;
    return kyrsim_fail_call(KYRSIM_CALL_OPEN, handle, error, error ? -1 : 0);
}

int kyrsim_fail_descriptor(int handle, int error) {
    if (handle < 0 || error > 0) return -1;
    return kyrsim_fail_call(KYRSIM_CALL_DESCRIPTOR, handle, error, error ? -1 : 0);
}

int kyrsim_set_reset_mode(int handle, int mode) {
    if (mode != KYRSIM_RESET_NORMAL && mode != KYRSIM_RESET_REENUMERATE) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->resetMode = mode;
    return 0;
}

int kyrsim_live_contexts(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().liveContexts;
}

int kyrsim_open_handles(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().openHandles;
}

int kyrsim_outstanding_lists(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return static_cast<int>(state().lists.size());
}

int kyrsim_device_refs(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().deviceRefs;
}

int kyrsim_misuse_count(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().misuse;
}

int kyrsim_last_log_level(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().lastLogLevel;
}

int kyrsim_context_log_level(const void* ctx) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    auto* c = ctx ? static_cast<libusb_context*>(const_cast<void*>(ctx)) : s.defaultCtx;
    if (!c || !s.contexts.count(c) || !c->alive) return -1;
    return c->logLevel;
}

long long kyrsim_now_us(void) { return nowUs(); }

long long kyrsim_query(int handle, int what) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    const size_t streamIdx = d->streamEndpoint == 0x82 ? 1 : 0;
    switch (what) {
        case KYRSIM_Q_STREAMING:
            return d->streaming ? 1 : 0;
        case KYRSIM_Q_GPIF_TAKEN:
            return d->gpifTaken ? 1 : 0;
        case KYRSIM_Q_COOLER_DA:
            return d->coolerDa;
        case KYRSIM_Q_COOLER_DRIVE:
        case KYRSIM_Q_TEMPERATURE_MC:
            return coolerQuery(*d, what);
        case KYRSIM_Q_XFER_COUNT:
            return d->xferCount;
        case KYRSIM_Q_CLAIMED:
            return d->claimedBy ? 1 : 0;
        case KYRSIM_Q_OPEN_HANDLES:
            return d->openHandles;
        case KYRSIM_Q_USB_RESETS:
            return d->usbResets;
        case KYRSIM_Q_CLEAR_HALTS_81:
            return d->clearHalts81;
        case KYRSIM_Q_CLEAR_HALTS_82:
            return d->clearHalts82;
        case KYRSIM_Q_HALTED:
            return d->halted[streamIdx] ? 1 : 0;
        case KYRSIM_Q_FRAMES:
            return d->framesStarted;
        case KYRSIM_Q_FRAMES_DONE:
            return d->framesDone;
        case KYRSIM_Q_INFLIGHT_BYTES:
            return d->inflightBytes;
        case KYRSIM_Q_INFLIGHT:
            return static_cast<long long>(d->queue[0].size() + d->queue[1].size());
        case KYRSIM_Q_FRAME_BYTES:
            return static_cast<long long>(frameBytes(*d));
        case KYRSIM_Q_FPGA_RESETS:
            return d->fpgaResets;
        case KYRSIM_Q_FLASH_UNFRAMED:
            return d->flashUnframed;
        case KYRSIM_Q_CLOSED_BUSY:
            return d->closedBusy;
        case KYRSIM_Q_ADDRESS:
            return d->address;
        case KYRSIM_Q_STREAM_STARTS:
            return d->streamStarts;
        case KYRSIM_Q_STREAM_STOPS:
            return d->streamStops;
        case KYRSIM_Q_BUS:
            return d->cfg.bus;
        case KYRSIM_Q_RUNNING:
            return d->gateOpen ? 1 : 0;
        case KYRSIM_Q_FRAME_PERIOD_US:
        case KYRSIM_Q_SENSOR_MODEL:
        case KYRSIM_Q_TRIGGER_WAIT:
        case KYRSIM_Q_LINK_RATE:
        case KYRSIM_Q_OUTPUT_US:
        case KYRSIM_Q_SENSOR_PERIOD_US:
        case KYRSIM_Q_TRIGGERS:
            return streamQuery(*d, what);
        default:
            return firmwareQuery(*d, what);
    }
}

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
    const SimDevice& d = *dev->sim;
    std::memset(desc, 0, sizeof(*desc));
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = d.cfg.usb3_host ? 0x0300 : 0x0200;
    desc->bMaxPacketSize0 = d.cfg.usb3_host ? 9 : 64;
    desc->idVendor = static_cast<uint16_t>(d.cfg.vendor_id);
    desc->idProduct = static_cast<uint16_t>(d.cfg.product_id);
    desc->bcdDevice = 0x0000;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 0;
    desc->bNumConfigurations = 1;
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
    if (interface_number != 0) return LIBUSB_ERROR_NOT_FOUND;
    if (h->sim->claimedBy && h->sim->claimedBy != h) return LIBUSB_ERROR_BUSY;
    h->sim->claimedBy = h;
    h->claimed = true;
    return LIBUSB_SUCCESS;
}

int libusb_release_interface(libusb_device_handle* h, int interface_number) {
    std::lock_guard<std::mutex> lk(state().mu);
    if (int err = checkHandle(h)) return err;
    if (interface_number != 0 || h->sim->claimedBy != h) return LIBUSB_ERROR_NOT_FOUND;
    h->sim->claimedBy = nullptr;
    h->claimed = false;
    return LIBUSB_SUCCESS;
}

int libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (int err = checkHandle(h)) return err;
    SimDevice& d = *h->sim;
    if (int err = takeCallFault(KYRSIM_CALL_CLEAR_HALT, &d)) return err;
    if (endpoint != 0x81 && endpoint != 0x82) return LIBUSB_ERROR_NOT_FOUND;
    const size_t idx = endpoint == 0x82 ? 1 : 0;
    (endpoint == 0x82 ? d.clearHalts82 : d.clearHalts81)++;
    d.halted[idx] = false;
    // Clearing the halt flushes the controller's endpoint buffer: the frame
    // in progress is lost and the next transfer starts at a frame boundary.
    if (endpoint == d.streamEndpoint) abandonFrame(d);
    s.cv.notify_all();
    return LIBUSB_SUCCESS;
}

int libusb_reset_device(libusb_device_handle* h) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (int err = checkHandle(h)) return err;
    SimDevice& d = *h->sim;
    if (int err = takeCallFault(KYRSIM_CALL_RESET, &d)) return err;
    ++d.usbResets;
    if (d.resetMode == KYRSIM_RESET_REENUMERATE) {
        reenumerate(d);
        s.cv.notify_all();
        return LIBUSB_ERROR_NOT_FOUND;
    }
    resetUsbSide(d);
    s.cv.notify_all();
    return LIBUSB_SUCCESS;
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

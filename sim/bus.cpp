// The USB bus of the device model: cameras plugged at a bus number and port
// chain, their USB addresses, unplug, device reset and clearing a halt, the
// faults of the front ends' calls, and the queries of the control API.
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

long long logNowUs() {
    const State& s = state();
    return s.logOnModel ? s.logBaseUs + (s.modelUs - s.modelBaseUs) : nowUs();
}

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

int assignAddress(int bus) {
    int& next = state().nextAddress[bus];
    next = next % 127 + 1;  // USB addresses are 1..127
    return next;
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

int resetDevice(SimDevice& d) {
    ++d.usbResets;
    if (d.resetMode == KYRSIM_RESET_REENUMERATE) {
        reenumerate(d);
        state().cv.notify_all();
        return LIBUSB_ERROR_NOT_FOUND;
    }
    resetUsbSide(d);
    state().cv.notify_all();
    return LIBUSB_SUCCESS;
}

void deviceDescriptor(const SimDevice& d, libusb_device_descriptor* desc) {
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
}

int claimInterface(libusb_device_handle* h, int interface) {
    if (interface != 0) return LIBUSB_ERROR_NOT_FOUND;
    if (h->sim->claimedBy && h->sim->claimedBy != h) return LIBUSB_ERROR_BUSY;
    h->sim->claimedBy = h;
    h->claimed = true;
    return LIBUSB_SUCCESS;
}

int releaseInterface(libusb_device_handle* h, int interface) {
    if (interface != 0 || h->sim->claimedBy != h) return LIBUSB_ERROR_NOT_FOUND;
    h->sim->claimedBy = nullptr;
    h->claimed = false;
    return LIBUSB_SUCCESS;
}

int clearHalt(SimDevice& d, int endpoint) {
    if (endpoint != 0x81 && endpoint != 0x82) return LIBUSB_ERROR_NOT_FOUND;
    const size_t idx = endpoint == 0x82 ? 1 : 0;
    (endpoint == 0x82 ? d.clearHalts82 : d.clearHalts81)++;
    d.halted[idx] = false;
    // Clearing the halt flushes the controller's endpoint buffer: the frame
    // in progress is lost and the next transfer starts at a frame boundary.
    if (endpoint == d.streamEndpoint) abandonFrame(d);
    state().cv.notify_all();
    return LIBUSB_SUCCESS;
}

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
    s.logOnModel = false;
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

long long kyrsim_now_us(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return logNowUs();
}

int kyrsim_set_log_clock(int on) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    const long long now = logNowUs();
    s.logOnModel = on != 0;
    s.logBaseUs = now;
    s.modelBaseUs = s.modelUs;
    return 0;
}

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

}  // extern "C"

// kyrsim.hpp: C++ face of the simulator's control API (kyrsim.h). Header-only;
// every call goes through the C functions, so C++ and Python tests drive the
// same process-wide simulator.
#pragma once

#include <kyrsim.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kyrsim {

using Request = kyrsim_request;
using Profile = kyrsim_profile;
using SensorWrite = kyrsim_sensor_write;

// One plugged camera, named by its simulator handle. Copyable; does not unplug
// on destruction (kyrsim::reset() does that between tests).
class Device {
  public:
    Device() = default;
    explicit Device(int handle) : handle_(handle) {}

    int handle() const { return handle_; }
    bool valid() const { return handle_ >= 0; }
    bool plugged() const { return kyrsim_is_plugged(handle_) == 1; }
    bool unplug() const { return kyrsim_unplug(handle_) == 0; }

    // Registers.
    int fpga(int reg) const { return kyrsim_fpga_reg(handle_, reg); }
    bool setFpga(int reg, int value) const { return kyrsim_set_fpga_reg(handle_, reg, value) == 0; }
    int fpgaPending() const { return kyrsim_fpga_pending(handle_); }
    // Value spread over consecutive FPGA registers, least significant byte first.
    long long fpgaWide(int firstReg, int bytes) const {
        long long v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | (fpga(firstReg + i) & 0xFF);
        return v;
    }
    int sensor(int reg) const { return kyrsim_sensor_reg(handle_, reg); }
    bool setSensor(int reg, int value) const { return kyrsim_set_sensor_reg(handle_, reg, value) == 0; }
    int sensorWrites(int reg) const { return kyrsim_sensor_writes(handle_, reg); }
    // The sensor registers written since plug with their values now, by register.
    std::vector<std::pair<int, int>> sensorRegs() const {
        const int n = std::max(kyrsim_sensor_regs(handle_, nullptr, nullptr, 0), 0);
        std::vector<int> regs(static_cast<size_t>(n)), values(static_cast<size_t>(n));
        const int got = std::min(kyrsim_sensor_regs(handle_, regs.data(), values.data(), n), n);
        std::vector<std::pair<int, int>> out;
        for (int i = 0; i < got; ++i)
            out.emplace_back(regs[static_cast<size_t>(i)], values[static_cast<size_t>(i)]);
        return out;
    }
    // The sensor write log, oldest first.
    std::vector<SensorWrite> sensorLog() const {
        std::vector<SensorWrite> out;
        const int n = kyrsim_sensor_log_count(handle_);
        for (int i = 0; i < n; ++i) {
            SensorWrite w;
            if (kyrsim_sensor_log_get(handle_, i, &w) == 0) out.push_back(w);
        }
        return out;
    }
    bool clearSensorLog() const { return kyrsim_sensor_log_clear(handle_) == 0; }

    // Identity and environment.
    bool setFirmwareAnswer(int b0, int b1) const { return kyrsim_set_firmware_answer(handle_, b0, b1) == 0; }
    bool setUsb3(bool on) const { return kyrsim_set_usb3(handle_, on ? 1 : 0) == 0; }
    bool setSerial(const unsigned char (&sn)[8]) const { return kyrsim_set_serial(handle_, sn) == 0; }
    int guide(int direction) const { return kyrsim_guide_state(handle_, direction); }
    int guideChanges(int direction) const { return kyrsim_guide_change_count(handle_, direction); }
    bool setTemperature(double celsius) const {
        return kyrsim_set_temperature_mc(handle_, static_cast<int>(celsius * 1000.0)) == 0;
    }
    bool setHumidity(int percent) const { return kyrsim_set_humidity(handle_, percent) == 0; }
    bool setAmbient(double celsius) const {
        return kyrsim_set_ambient_mc(handle_, static_cast<int>(celsius * 1000.0)) == 0;
    }
    bool setCoolerTimeConstantMs(int ms) const {
        return kyrsim_set_cooler_time_constant_ms(handle_, ms) == 0;
    }
    // The temperature now, and the cooler's DA level in force (255 = off).
    double temperature() const { return static_cast<double>(query(KYRSIM_Q_TEMPERATURE_MC)) / 1000.0; }
    int coolerDrive() const { return static_cast<int>(query(KYRSIM_Q_COOLER_DRIVE)); }
    bool setDdrPolicy(int policy, int k = 0) const { return kyrsim_set_ddr_policy(handle_, policy, k) == 0; }
    bool setSyncPolicy(int policy, int k = 0) const { return kyrsim_set_sync_policy(handle_, policy, k) == 0; }
    int syncCycles() const { return kyrsim_sync_cycles(handle_); }
    bool setFdAnswer(int value) const { return kyrsim_set_fd_answer(handle_, value) == 0; }
    bool setResetMode(int mode) const { return kyrsim_set_reset_mode(handle_, mode) == 0; }
    bool refuseOpen(int error) const { return kyrsim_refuse_open(handle_, error) == 0; }
    bool failDescriptor(int error) const { return kyrsim_fail_descriptor(handle_, error) == 0; }
    // Calls of kind `call` (KYRSIM_CALL_*) on this camera fail with error from the nth on, `times` of them.
    bool failCall(int call, int error, int nth = 1, int times = 1) const {
        return kyrsim_fail_call_nth(call, handle_, error, nth, times) == 0;
    }
    bool setLatency(int request, int us) const { return kyrsim_set_latency(handle_, request, us) == 0; }
    bool setFirmwareState(int fwState) const { return kyrsim_set_firmware_state(handle_, fwState) == 0; }

    // Memories.
    std::vector<unsigned char> flash(int addr, int len) const {
        std::vector<unsigned char> out(static_cast<size_t>(len));
        if (kyrsim_flash_read(handle_, addr, out.data(), len) != 0) out.clear();
        return out;
    }
    bool setFlash(int addr, const std::vector<unsigned char>& bytes) const {
        return kyrsim_flash_write(handle_, addr, bytes.data(), static_cast<int>(bytes.size())) == 0;
    }
    std::vector<unsigned char> ram(unsigned addr, int len) const {
        std::vector<unsigned char> out(static_cast<size_t>(len));
        if (kyrsim_ram_read(handle_, addr, out.data(), len) != 0) out.clear();
        return out;
    }
    std::vector<unsigned char> eeprom(int dev, int addr, int len) const {
        std::vector<unsigned char> out(static_cast<size_t>(len));
        if (kyrsim_eeprom_read(handle_, dev, addr, out.data(), len) != 0) out.clear();
        return out;
    }

    long long query(int what) const { return kyrsim_query(handle_, what); }

    // Frame stream.
    bool setFrameSize(int bytes) const { return kyrsim_set_frame_size(handle_, bytes) == 0; }
    bool setMarkers(int generation) const { return kyrsim_set_markers(handle_, generation) == 0; }
    bool setFrameCounter(int value) const { return kyrsim_set_frame_counter(handle_, value) == 0; }
    bool setStreamEndpoint(int ep) const { return kyrsim_set_stream_endpoint(handle_, ep) == 0; }
    bool setScene(int flags) const { return kyrsim_set_scene(handle_, flags) == 0; }
    bool setSceneSeed(int seed) const { return kyrsim_set_scene_seed(handle_, seed) == 0; }
    int sceneSeed() const { return kyrsim_scene_seed(handle_); }
    bool setFrameInterval(std::chrono::microseconds us) const {
        return kyrsim_set_frame_interval(handle_, static_cast<int>(us.count())) == 0;
    }
    // Time between frame starts in force (the test's interval, or the timing registers' and the link's);
    // 0 = unpaced.
    std::chrono::microseconds framePeriod() const {
        return std::chrono::microseconds(query(KYRSIM_Q_FRAME_PERIOD_US));
    }
    // Frames as fast as the transfers take them, bytes at once (see kyrsim_set_unpaced).
    bool setUnpaced(bool on) const { return kyrsim_set_unpaced(handle_, on ? 1 : 0) == 0; }
    // Link rate in bytes per second; 0 = the port's default.
    bool setLinkRate(long long bytesPerSecond) const {
        return kyrsim_set_link_rate(handle_, bytesPerSecond) == 0;
    }
    // Start times (kyrsim_now_us) of the most recent frames, oldest first.
    std::vector<long long> frameStarts() const {
        std::vector<long long> out(
            static_cast<size_t>(std::max(kyrsim_frame_starts(handle_, nullptr, 0), 0)));
        const int n = kyrsim_frame_starts(handle_, out.data(), static_cast<int>(out.size()));
        out.resize(static_cast<size_t>(std::max(n, 0)));
        return out;
    }
    // Sensor description on or off (see kyrsim_set_sensor_model); tests whose scene checks are relative to
    // the FPGA window, or that never take the sensor out of standby, switch it off.
    bool setSensorModel(bool on) const { return kyrsim_set_sensor_model(handle_, on ? 1 : 0) == 0; }
    bool sensorModel() const { return query(KYRSIM_Q_SENSOR_MODEL) == 1; }
    // The scene at pixel (x, y) of the sensor's array, 16 bits; -1 outside it or without a description.
    int scenePixel(int x, int y) const { return kyrsim_scene_pixel(handle_, x, y); }
    bool triggerWait() const { return query(KYRSIM_Q_TRIGGER_WAIT) == 1; }
    bool streamFault(int kind, int arg = 0, int first = 0, int count = 1) const {
        return kyrsim_stream_fault(handle_, kind, arg, first, count) == 0;
    }
    bool clearStreamFaults() const { return kyrsim_clear_stream_faults(handle_) == 0; }
    bool haltEndpoint(int ep) const { return kyrsim_halt_endpoint(handle_, ep) == 0; }
    bool setMaxInflight(long long bytes) const { return kyrsim_set_max_inflight(handle_, bytes) == 0; }
    std::vector<unsigned char> lastFrame() const {
        int n = kyrsim_last_frame(handle_, nullptr, 0);
        std::vector<unsigned char> out(n > 0 ? static_cast<size_t>(n) : 0);
        if (n > 0) kyrsim_last_frame(handle_, out.data(), n);
        return out;
    }

  private:
    int handle_ = -1;
};

inline void reset() { kyrsim_reset(); }

inline Device plug(int productId, int bus = 1, const char* ports = "1") {
    return Device(kyrsim_plug(productId, bus, ports));
}

inline kyrsim_device_config config(int productId, int bus = 1, const char* ports = "1") {
    kyrsim_device_config cfg;
    kyrsim_config_init(&cfg, productId, bus, ports);
    return cfg;
}

inline Device plug(const kyrsim_device_config& cfg) { return Device(kyrsim_plug_ex(&cfg)); }

inline Device deviceAt(int bus, const char* ports) { return Device(kyrsim_device_at(bus, ports)); }

inline std::vector<int> productIds() {
    std::vector<int> ids(static_cast<size_t>(kyrsim_product_ids(nullptr, 0)));
    kyrsim_product_ids(ids.data(), static_cast<int>(ids.size()));
    return ids;
}

// The request log, oldest first.
inline std::vector<Request> requests() {
    std::vector<Request> out;
    int n = kyrsim_log_count();
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        Request r;
        if (kyrsim_log_get(i, &r) == 0) out.push_back(r);
    }
    return out;
}

// Logged requests of one code (and optionally one camera), oldest first.
inline std::vector<Request> requests(int request, int handle = KYRSIM_ANY) {
    std::vector<Request> out;
    for (const Request& r : requests())
        if ((request == KYRSIM_ANY || r.request == request) && (handle == KYRSIM_ANY || r.device == handle))
            out.push_back(r);
    return out;
}

inline void clearLog() { kyrsim_log_clear(); }

// Advances every plugged camera's cooler model by us microseconds.
inline void advanceModelTime(long long us) { kyrsim_advance_model_time_us(us); }
// Log time stamps follow advanceModelTime (on) or real time (off).
inline void setLogClock(bool onModel) { kyrsim_set_log_clock(onModel ? 1 : 0); }

// Fault rule builder: kyrsim::Fault().request(0xBC).in().nth(2).error(LIBUSB_ERROR_IO).add();
class Fault {
  public:
    Fault() { kyrsim_fault_init(&f_, KYRSIM_FAULT_ERROR, -1); }

    Fault& device(const Device& d) {
        f_.device = d.handle();
        return *this;
    }
    Fault& device(int handle) {
        f_.device = handle;
        return *this;
    }
    Fault& request(int code) {
        f_.request = code;
        return *this;
    }
    Fault& in() {
        f_.direction = KYRSIM_DIR_IN;
        return *this;
    }
    Fault& out() {
        f_.direction = KYRSIM_DIR_OUT;
        return *this;
    }
    Fault& value(int v) {
        f_.value = v;
        return *this;
    }
    Fault& index(int i) {
        f_.index = i;
        return *this;
    }
    Fault& nth(int n) {
        f_.nth = n;
        return *this;
    }
    Fault& times(int k) {
        f_.times = k;
        return *this;
    }
    Fault& always() {
        f_.times = 0;
        return *this;
    }
    Fault& error(int code) {
        f_.action = KYRSIM_FAULT_ERROR;
        f_.arg = code;
        return *this;
    }
    Fault& shortReply(int bytes) {
        f_.action = KYRSIM_FAULT_SHORT;
        f_.arg = bytes;
        return *this;
    }
    Fault& delay(int ms) {
        f_.action = KYRSIM_FAULT_DELAY;
        f_.arg = ms;
        return *this;
    }
    Fault& flipBit(int bit) {
        f_.action = KYRSIM_FAULT_FLIP_BIT;
        f_.arg = bit;
        return *this;
    }
    Fault& ignore() {
        f_.action = KYRSIM_FAULT_IGNORE;
        f_.arg = 0;
        return *this;
    }
    Fault& hold(int errorAfter = 0) {
        f_.action = KYRSIM_FAULT_HOLD;
        f_.arg = errorAfter;
        return *this;
    }

    const kyrsim_fault& raw() const { return f_; }
    int add() const { return kyrsim_add_fault(&f_); }

  private:
    kyrsim_fault f_;
};

// libusb_alloc_transfer returns NULL from its nth call from now on, `times` times (-1 = until cleared, 0
// clears).
inline bool failAlloc(int nth, int times = 1) {
    return kyrsim_fail_call_nth(KYRSIM_CALL_ALLOC, KYRSIM_ANY, -1 /* any error: the call returns NULL */, nth,
                                times) == 0;
}

inline void releaseHolds() { kyrsim_release_holds(); }
inline int waitHeld(int n, int timeoutMs = 5000) { return kyrsim_wait_held(n, timeoutMs); }

// Snapshot of the resource counters, for leak checks around a piece of code.
struct Resources {
    int contexts = kyrsim_live_contexts();
    int handles = kyrsim_open_handles();
    int lists = kyrsim_outstanding_lists();
    int refs = kyrsim_device_refs();
    int transfers = kyrsim_live_transfers();
    int inflight = kyrsim_inflight_transfers();

    bool operator==(const Resources& o) const {
        return contexts == o.contexts && handles == o.handles && lists == o.lists && refs == o.refs &&
               transfers == o.transfers && inflight == o.inflight;
    }
    bool operator!=(const Resources& o) const { return !(*this == o); }
};

// Resets the simulator on construction and destruction (one per test).
class Scope {
  public:
    Scope() { kyrsim_reset(); }
    ~Scope() { kyrsim_reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace kyrsim

// Internal state of the camera simulator, shared by its source files.
//
// The simulator is a device model (bus.cpp, control.cpp, cooler.cpp,
// device.cpp, firmware.cpp, stream.cpp: libkyrsim_model.so) with two front
// ends: the libusb-1.0 API (libusb_*.cpp: libkyrsim.so) and usbfs ioctls
// answered in a umockdev test bed (usbfs.cpp: libkyrsim_usbfs.so). The
// libusb types below are the simulator's own objects; each front end makes
// those it needs.
//
// One process-wide State holds the bus, the cameras and every libusb object the
// caller holds. One mutex guards all of it; every wait (held requests, request
// latency, event handling) waits on the one condition variable with the mutex
// released, and callbacks run with it released. Cameras are never deleted while
// the process lives: libusb objects of the caller may still point at them
// after an unplug or a kyrsim_reset.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The library is built with hidden visibility; the libusb and kyrsim functions
// declared in these two headers are its exported interface.
#pragma GCC visibility push(default)
#include <kyrsim.h>
#include <libusb.h>
#pragma GCC visibility pop

namespace kyrsim_impl {
struct SimDevice;
struct TransferState;
}  // namespace kyrsim_impl

// libusb's opaque types, defined here as the simulator's own objects.
struct libusb_context {
    bool alive = true;
    bool isDefault = false;
    int initCount = 1;      // the default context is reference-counted by libusb_init(NULL)
    int objects = 0;        // devices and handles that still point here
    bool handling = false;  // an event-handling call is running
    int logLevel = -1;      // level last set with LIBUSB_OPTION_LOG_LEVEL, -1 = never
    std::deque<kyrsim_impl::TransferState*> done;         // completed transfers whose callbacks have not run
    std::map<std::pair<int, int>, libusb_device*> cache;  // (camera, USB generation) -> device object
};

struct libusb_device {
    libusb_context* ctx = nullptr;
    kyrsim_impl::SimDevice* sim = nullptr;
    int generation = 0;  // the camera's USB identity when this object was made
    int refs = 0;
};

struct libusb_device_handle {
    libusb_context* ctx = nullptr;
    libusb_device* dev = nullptr;
    kyrsim_impl::SimDevice* sim = nullptr;
    int generation = 0;
    bool claimed = false;
};

namespace kyrsim_impl {

using Clock = std::chrono::steady_clock;

constexpr int kFpgaRegs = 256;
constexpr size_t kSensorLogMax = 1u << 20;  // sensor writes kept per camera
constexpr uint32_t kFlashSize = 16u << 20;    // 16 MiB NOR flash
constexpr uint32_t kFlashSector = 64u << 10;  // erase unit
constexpr uint32_t kEepromSize = 64u << 10;   // each I2C boot EEPROM device
constexpr int kEepromDevices = 9;             // 8 I2C devices + the loader-served page store
constexpr uint32_t kRamPage = 4096;           // controller RAM is kept in pages
// Bulk bytes a camera may have in flight: the host's USB buffer memory as the
// cameras' udev rule sets it (usbfs_memory_mb = 200). The kernel's default of
// 16 MiB is a host set up without the rule; tests choose it with
// kyrsim_set_max_inflight.
constexpr long long kDefaultMaxInflight = 200ll << 20;
constexpr uint16_t kCounterStart = 0xFFFC;  // frame counter starts just below its wrap
constexpr int kDefaultFlashBusyPolls = 2;

struct FaultRule {
    int id = 0;
    kyrsim_fault rule{};
    int matches = 0;
    int hits = 0;
    bool active = true;
};

struct CallFault {
    int call = 0;
    int device = KYRSIM_ANY;
    int error = 0;
    int skip = 0;   // matching calls that go through before the first failure
    int times = 0;  // -1 = until cleared
};

struct GuideChange {
    bool on = false;
    long long timeUs = 0;
};

struct StreamFault {
    int kind = 0;
    int arg = 0;
    long long first = 0;  // absolute frame index
    long long count = 1;
    bool used = false;  // no-data faults act once
};

// One queued bulk transfer as the device side sees it.
struct TransferState {
    libusb_transfer* xfer = nullptr;
    bool inFlight = false;  // submitted, callback not yet run
    bool queued = false;    // waiting on the device's endpoint queue
    libusb_device_handle* handle = nullptr;
    libusb_context* ctx = nullptr;
    SimDevice* sim = nullptr;
    int endpoint = 0;
    int length = 0;
    int actual = 0;
    long long deadlineUs = -1;  // -1 = no timeout
    long long submitUs = 0;
    bool lost = false;  // cancelled under kyrsim_lose_cancelled: in flight, never coming back
    // A chain of transfers that make one larger read (usbfs bulk
    // continuation): when a transfer with shortEndsChain ends short, or any
    // transfer fails (but for a vanished camera), the transfers that continue
    // it behind it on the endpoint are cancelled at once, before any data of
    // the next frame can reach them.
    bool shortEndsChain = false;
    bool continuesChain = false;
    bool endedShort = false;  // it ended short and ended its chain
};

// Temperature of the camera and its thermo-electric cooler (cooler.cpp).
struct CoolerModel {
    double tempC = 25.0;     // sensor temperature now
    double ambientC = 25.0;  // where it settles with the cooler off
    int driveDa = 255;       // the DA level in force; 255 = off
    long long timeConstantUs = 90'000'000;
};

struct SimDevice {
    int handle = -1;
    long long plugOrder = 0;
    bool plugged = true;
    bool known = true;   // false after kyrsim_reset forgot it
    int generation = 0;  // bumps when the camera re-enumerates
    int address = 0;
    kyrsim_device_config cfg{};
    std::vector<int> ports;
    kyrsim_profile profile{};

    // FPGA.
    std::array<uint8_t, kFpgaRegs> fpga{};
    std::vector<std::pair<int, int>> latched;  // writes held while register 1 is 1
    int ddrPolicy = KYRSIM_DDR_READY;
    int ddrK = 0;
    int ddrWrites = 0;
    bool bufValid = false;
    int syncPolicy = KYRSIM_SYNC_AS_SET;  // register 35 bit 4
    int syncK = 0;
    int syncCycles = 0;       // FPGA stop/start cycles made while the sensor streamed
    bool syncArmed = false;   // the FPGA was stopped while the sensor streamed
    int fdAnswer = 0;         // answer of request 0xFD
    bool resendPending = false;
    int fpgaResets = 0;

    // Sensor.
    std::unordered_map<int, uint16_t> sensor;
    std::unordered_map<int, int> sensorWrites;
    std::deque<kyrsim_sensor_write> sensorLog;  // the most recent sensor writes, oldest first
    long long sensorLogDropped = 0;             // entries dropped from its front
    long long execSeq = 0;                      // log number of the control request being executed

    // Identity and environment.
    std::array<bool, 4> guide{};
    std::array<std::vector<GuideChange>, 4> guideLog;
    CoolerModel cooler;
    int humidity = 40;
    int coolerDa = 0;
    uint32_t xferCount = 0;
    bool gpifTaken = true;

    // Memories.
    std::map<uint32_t, std::vector<uint8_t>> flash;  // sector number -> bytes, made on first touch
    int flashBusyPolls = kDefaultFlashBusyPolls;
    int flashBusyLeft = 0;
    int flashUnframed = 0;
    std::map<uint32_t, std::vector<uint8_t>> ram;  // page number -> bytes
    long long programEntry = -1;                   // -1 until a program is started
    int fwState = KYRSIM_FW_NORMAL;
    std::array<bool, 2> loaderPieces{};  // loader pieces written under the current CPU hold
    std::array<std::vector<uint8_t>, kEepromDevices> eeprom;

    // USB side.
    libusb_device_handle* claimedBy = nullptr;
    int openHandles = 0;
    int usbResets = 0;
    int clearHalts81 = 0;
    int clearHalts82 = 0;
    int closedBusy = 0;
    int resetMode = KYRSIM_RESET_NORMAL;
    int inside = 0;                // control transfers in progress
    std::map<int, int> latencyUs;  // request (-1 = all) -> microseconds

    // Stream.
    bool streaming = false;
    int streamStarts = 0;
    int streamStops = 0;
    bool gateOpen = false;
    long long gateOpenSinceUs = 0;
    std::array<bool, 2> halted{};  // endpoints 0x81, 0x82
    std::array<std::deque<TransferState*>, 2> queue;
    long long inflightBytes = 0;
    long long maxInflight = kDefaultMaxInflight;
    int frameSizeOverride = 0;
    int markers = KYRSIM_MARKERS_A;
    int streamEndpoint = 0x81;
    int sceneFlags = 0;
    int sceneSeed = 0;  // kyrsim_set_scene_seed; plug order since the last reset by default
    bool out16 = false;  // 16-bit output of cameras without FPGA (0xAC / 0xAB)
    long long intervalUs = 0;
    uint16_t counter = kCounterStart;
    long long framesStarted = 0;
    long long framesDone = 0;
    long long nextFrameUs = 0;
    long long noDataUntilUs = -1;  // -1 none, LLONG_MAX until cleared
    std::vector<StreamFault> streamFaults;
    std::vector<uint8_t> frame;  // the frame last started (sent from here)
    bool inFrame = false;
    size_t frameSent = 0;
    size_t frameLength = 0;     // bytes of `frame` that will be sent
    long long stallAt = -1;     // stall after this many bytes of the frame
    long long unplugAt = -1;    // unplug after this many bytes of the frame
    long long overflowAt = -1;  // a too-large packet comes after this many bytes of the frame
    int emptyPending = 0;
    std::vector<uint8_t> sceneCache;
    std::array<int, 16> sceneKey{};      // what the cached scene was drawn for (renderScene)
    bool sensorModel = false;           // the profile's sensor description is in use
    bool triggerPending = false;        // wait/trigger mode: an exposure ended, its frame not yet started
    long long triggerAtUs = 0;          // when it ended
    std::deque<long long> trigFrameAtUs;  // trigger modes: when each triggered frame may start
    bool extTrigLevel = false;            // the external trigger input
    long long triggersSeen = 0;
    long long resendAtUs = 0;           // when the last resend of the DDR cache was asked for
    bool unpaced = false;               // kyrsim_set_unpaced: no timing at all
    long long linkBytesPerSec = 0;      // 0 = the port's default
    long long frameStartUs = 0;         // when the frame being sent started
    long long frameOutUs = 0;           // its output time (0 = all bytes at its start)
    std::deque<long long> frameStarts;  // start times of the most recent frames
    bool loseCancelled = false;         // a cancelled transfer never comes back
};

struct State {
    std::mutex mu;
    std::condition_variable cv;
    Clock::time_point epoch = Clock::now();

    // Bus.
    std::map<int, std::unique_ptr<SimDevice>> devices;  // every camera since the last reset
    std::vector<std::unique_ptr<SimDevice>> forgotten;  // cameras of earlier resets still referenced
    int nextHandle = 0;
    long long nextPlugOrder = 0;
    int plugsSinceReset = 0;  // the next camera's default scene seed
    std::map<int, int> nextAddress;  // per bus
    std::vector<int> listOrder;
    unsigned serialCounter = 0;
    std::map<int, kyrsim_profile> profileOverrides;

    // libusb objects.
    std::unordered_set<libusb_context*> contexts;
    libusb_context* defaultCtx = nullptr;
    std::unordered_set<libusb_device*> usbDevices;
    std::unordered_set<libusb_device_handle*> handles;
    std::unordered_set<libusb_device**> lists;
    std::unordered_map<libusb_transfer*, std::unique_ptr<TransferState>> transfers;
    int liveContexts = 0;
    int openHandles = 0;
    int deviceRefs = 0;
    int inflight = 0;
    int freedInFlight = 0;
    int misuse = 0;
    int eventsPerCall = 0;

    // Control requests.
    std::vector<kyrsim_request> log;
    long long nextSeq = 1;
    int unexpected = 0;
    int overlaps = 0;
    std::vector<FaultRule> rules;
    int nextRuleId = 0;
    int held = 0;
    long long releaseEpoch = 0;  // bumps on every kyrsim_release_holds
    std::vector<CallFault> callFaults;
    int initFailures = 0;
    int initError = LIBUSB_ERROR_OTHER;
    int lastLogLevel = -1;  // level of the last LIBUSB_OPTION_LOG_LEVEL call since reset, -1 = none

    // Log clock (kyrsim_set_log_clock): model time advanced by the test, and the hand-over point.
    long long modelUs = 0;
    bool logOnModel = false;
    long long logBaseUs = 0;    // log clock at the hand-over
    long long modelBaseUs = 0;  // model time at the hand-over
};

// The model is a shared library of its own: these functions are its interface
// to the front ends (libusb_*.cpp, usbfs.cpp).
#pragma GCC visibility push(default)

State& state();
long long nowUs();
long long logNowUs();  // the clock of reported time stamps (kyrsim_set_log_clock)
unsigned long long threadId();  // the calling thread as the logs record it
long long toUs(Clock::time_point t);

// Camera lookup by kyrsim handle (nullptr when unknown); `plugged` requires it still on the bus.
SimDevice* findDevice(int handle, bool plugged);

// Profiles.
kyrsim_profile profileFor(int productId);
bool knownProduct(int productId);

// Device model (device.cpp). Called with the state mutex held.
void initDeviceModel(SimDevice& d);
bool requestAccepted(int requestType, int request, int value, int index, int length);
int executeRequest(SimDevice& d, int requestType, int request, int value, int index, unsigned char* data,
                   int length);
int fpgaRead(const SimDevice& d, int reg);
// Records a sensor register write in the camera's sensor write log (before it is applied).
void logSensorWrite(SimDevice& d, int reg, int value, int bits);
void updateGate(SimDevice& d);
// The sensor's power registers (standby and stream switch) let it stream.
bool sensorPowered(const SimDevice& d);
// The stream switch (the second power register) lets the sensor stream, or there is none.
bool sensorUnparked(const SimDevice& d);

// Controller firmware (firmware.cpp). Called with the state mutex held.
bool firmwareStalls(const SimDevice& d, bool in, int request, int value, int index, int length);
uint8_t ramByte(const SimDevice& d, uint32_t addr);
void setRamByte(SimDevice& d, uint32_t addr, uint8_t v);
// A RAM write of length bytes at addr (0: the program entry) in the firmware's eyes.
void ramWritten(SimDevice& d, uint32_t addr, int length, uint8_t holdBefore);
uint8_t cpuHold(const SimDevice& d);
long long firmwareQuery(const SimDevice& d, int what);  // -1 for other queries

// Cooler and thermistor (cooler.cpp). Called with the state mutex held.
double thermistorKOhm(double celsius);
void setCoolerDa(SimDevice& d, int da);               // request 0xB2
void setCoolerFpgaPower(SimDevice& d, int value);     // FPGA register 38
long long coolerQuery(const SimDevice& d, int what);  // KYRSIM_Q_COOLER_DRIVE, _TEMPERATURE_MC

// USB side (bus.cpp). Called with the state mutex held.
void unplugLocked(SimDevice& d);
int assignAddress(int bus);  // the next free USB address on bus
bool handleUsable(libusb_device_handle* h);  // known, camera plugged, same USB generation
int takeCallFault(int call, const SimDevice* d);
libusb_context* resolveContext(libusb_context* ctx);  // NULL = the default context; nullptr when unusable
void releaseCtxObject(libusb_context* ctx);           // a device or handle of ctx went away
// A USB reset of the camera: its transfers end and its halts clear, or it
// re-enumerates (LIBUSB_ERROR_NOT_FOUND) when its reset mode says so.
int resetDevice(SimDevice& d);
int clearHalt(SimDevice& d, int endpoint);  // LIBUSB_ERROR_NOT_FOUND for an unknown endpoint
int claimInterface(libusb_device_handle* h, int interface);
// The device descriptor the camera reports (from its configuration and profile).
void deviceDescriptor(const SimDevice& d, libusb_device_descriptor* desc);
int releaseInterface(libusb_device_handle* h, int interface);

// Control transfers (control.cpp). Called with the state mutex held in lk,
// which waits (latency, delay and hold faults) release; h is a handle known to
// the state. Logs the request, applies the fault rules and executes it on the
// camera; the result is the byte count or a libusb error. A timeout of 0 never
// times out.
int controlTransfer(std::unique_lock<std::mutex>& lk, libusb_device_handle* h, uint8_t request_type,
                    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                    unsigned int timeout);

// Stream (stream.cpp). Called with the state mutex held.
// Queues ts (its xfer filled: endpoint, buffer, length, timeout) on its camera's endpoint.
int submitBulk(TransferState& ts, libusb_device_handle* h);
int cancelBulk(TransferState& ts);  // LIBUSB_ERROR_NOT_FOUND when it is no longer on the wire
void completeTransfer(TransferState& ts, libusb_transfer_status status);
void unqueue(TransferState& ts);
// Brings every camera's queued transfers up to date at `now`; returns the next
// time something will change by itself (LLONG_MAX: not before a change).
long long pumpAll(long long now);
void endAllTransfers(SimDevice& d, libusb_transfer_status status);
void abandonFrame(SimDevice& d);
void dropHandleTransfers(libusb_device_handle* h);
size_t frameBytes(const SimDevice& d);
int bytesPerPixel(const SimDevice& d);
long long framePeriodUs(const SimDevice& d);  // time between frame starts in force, 0 = unpaced
// KYRSIM_Q_FRAME_PERIOD_US, _SENSOR_MODEL, _TRIGGER_WAIT, _LINK_RATE, _OUTPUT_US, _SENSOR_PERIOD_US
long long streamQuery(const SimDevice& d, int what);
bool triggerWait(const SimDevice& d);          // wait or trigger mode holds back free-running frames
bool triggerModes(const SimDevice& d);         // the trigger modes of register 40 run
// The trigger input (soft or external, as register 40 says) goes from `before` to `after`.
void triggerInputChanged(SimDevice& d, bool before, bool after);
bool hasSensorModel(const kyrsim_profile& p);  // the profile describes a sensor to model

#pragma GCC visibility pop

}  // namespace kyrsim_impl

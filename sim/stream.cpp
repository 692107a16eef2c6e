// The frame stream on the bulk IN endpoints: the frames the camera sends,
// their pacing and faults, and the queues of bulk transfers that the front
// ends submit to its endpoints.
//
// The device side is evaluated lazily: whenever a front end pumps the bus
// (pumpAll), every camera's queued transfers are brought up to date with what
// the camera would have sent by now (frames, stalls, timeouts), and the
// completed ones go to their context's queue of finished transfers.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "internal.hpp"

namespace kyrsim_impl {
namespace {

constexpr int kDefaultRowPixels = 640;  // row length when no FPGA window says otherwise

constexpr uint16_t kHeadA = 0x5A7E;
constexpr uint16_t kTailA = 0x3CF0;
constexpr uint16_t kHeadB = 0xAA11;
constexpr uint16_t kTailB = 0x11AA;
constexpr uint32_t kHeadC = 0xBB00AA11;

constexpr uint8_t kFmtAdc12 = 0x01;
constexpr uint8_t kFmtOut16 = 0x10;
constexpr uint8_t kFmtDdrBypass = 0x40;

// Frame timing registers.
constexpr int kRegTrigCfg = 40;               // trigger modes: input, edge or level, valid edge or level
constexpr uint8_t kTrigExternalIn = 0x01;
constexpr int kRegCtrlStream = 0;
constexpr uint8_t kCtrlStopped = 0x10;
constexpr uint8_t kTrigLevel = 0x10;
constexpr uint8_t kTrigValidLow = 0x20;
constexpr int kRegVmax = 16;                  // 24 bits, lines per frame
constexpr int kRegHmax = 19;                  // 16 bits, clocks per line
constexpr int kRegBandwidth = 36;             // 16 bits, output pacing value v: 25600 / (v + 256) percent
constexpr long long kDdrOutBytesPerUs = 400;  // the FPGA's output at 100 %: 400 MB/s
constexpr long long kUsb3LinkBytesPerSec = 400'000'000;
constexpr long long kUsb2LinkBytesPerSec = 43'272'000;
constexpr size_t kFrameStartsKept = 256;

// Sensor registers of the Sony layout (byte registers, low byte first).
constexpr int kSonyStartX = 0x303C;
constexpr int kSonyStartY = 0x3044;
constexpr int kSonyBin = 0x301B;

size_t epIndex(int endpoint) { return endpoint == 0x82 ? 1 : 0; }

long long ceilDiv(long long a, long long b) { return (a + b - 1) / b; }

long long linkRate(const SimDevice& d) {
    if (d.linkBytesPerSec > 0) return d.linkBytesPerSec;
    return d.cfg.usb3_host ? kUsb3LinkBytesPerSec : kUsb2LinkBytesPerSec;
}

// The frame goes through the DDR buffer, whose output is paced by registers 36-37.
bool ddrInUse(const SimDevice& d) {
    return d.profile.has_fpga && d.profile.has_ddr && !(d.fpga[10] & kFmtDdrBypass);
}

// Paced by the programmed timing and the link (neither unpaced nor at a fixed interval).
bool paced(const SimDevice& d) { return !d.unpaced && d.intervalUs <= 0; }

// Time `bytes` take to leave: at the link's rate and, through the DDR, no
// faster than the pacing's share of the FPGA's full output.
long long outputUs(const SimDevice& d, long long bytes) {
    if (!paced(d) || bytes <= 0) return 0;
    long long t = ceilDiv(bytes * 1'000'000, linkRate(d));
    if (ddrInUse(d)) {
        const long long v = d.fpga[kRegBandwidth] | (d.fpga[kRegBandwidth + 1] << 8);
        t = std::max(t, ceilDiv(bytes * (v + 256), kDdrOutBytesPerUs * 256));
    }
    return t;
}

// One frame per VMAX x HMAX clocks of the line clock; 0 when not timed.
long long sensorPeriodUs(const SimDevice& d) {
    if (!d.profile.has_fpga || d.profile.sensor_clock_khz <= 0) return 0;
    const auto& r = d.fpga;
    const long long vmax = r[kRegVmax] | (r[kRegVmax + 1] << 8) | (r[kRegVmax + 2] << 16);
    const long long hmax = r[kRegHmax] | (r[kRegHmax + 1] << 8);
    if (vmax == 0 || hmax == 0) return 0;
    return ceilDiv(vmax * hmax * 1000, d.profile.sensor_clock_khz);
}

// Delay from the end of an exposure in wait or trigger mode to its frame's start.
long long readoutDelayUs(const SimDevice& d) {
    if (d.unpaced) return 0;
    if (d.intervalUs > 0) return d.intervalUs;
    return sensorPeriodUs(d);
}

// Bytes of the frame being sent that have left the camera by `t`.
size_t bytesDue(const SimDevice& d, long long t) {
    const size_t size = d.frame.size();
    const long long elapsed = t - d.frameStartUs;
    if (d.frameOutUs <= 0 || elapsed >= d.frameOutUs) return size;
    if (elapsed <= 0) return 0;
    return static_cast<size_t>(static_cast<long long>(size) * elapsed / d.frameOutUs);
}

// When the first `bytes` of the frame being sent have left the camera.
long long timeDue(const SimDevice& d, size_t bytes) {
    const long long size = static_cast<long long>(d.frame.size());
    if (d.frameOutUs <= 0 || size == 0) return d.frameStartUs;
    return d.frameStartUs + ceilDiv(static_cast<long long>(bytes) * d.frameOutUs, size);
}

// Where the frame being sent stops: its length, or an earlier fault.
size_t frameLimit(const SimDevice& d) {
    size_t limit = d.frameLength;
    if (d.stallAt >= 0) limit = std::min(limit, static_cast<size_t>(d.stallAt));
    if (d.unplugAt >= 0) limit = std::min(limit, static_cast<size_t>(d.unplugAt));
    if (d.overflowAt >= 0) limit = std::min(limit, static_cast<size_t>(d.overflowAt));
    return std::min(limit, d.frame.size());
}

int rowPixels(const SimDevice& d) {
    const int w = d.fpga[4] | (d.fpga[5] << 8);
    return w > 0 ? w : kDefaultRowPixels;
}

void put16(std::vector<uint8_t>& f, size_t word, uint16_t v) {
    f[2 * word] = static_cast<uint8_t>(v & 0xFF);
    f[2 * word + 1] = static_cast<uint8_t>(v >> 8);
}

// The test scene, 16 bits per pixel before output formatting: colour bars on
// an RGGB mosaic in the top third, a horizontal ramp in the middle third, a
// dark sky with a vertical ramp and four stars in the bottom third.
// `color` (KYRSIM_BAYER_* or KYRSIM_MONO) gives the colour of pixel (0, 0)
// or a grey rendering of the bars. A non-zero `seed` inverts bits 8..11 of every
// value by a pattern of its own, so two cameras never show the same pixel.
uint16_t sceneValue(int x, int y, int w, int h, int color, int seed) {
    // White, yellow, cyan, green, magenta, red, blue, black as R, G, B bits.
    static const uint8_t kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};
    long long v;
    const int band = static_cast<int>(3ll * y / std::max(h, 1));
    if (band == 0) {
        const int bar = static_cast<int>(8ll * x / std::max(w, 1));
        if (color == KYRSIM_MONO) {
            v = 0x1000 + 0x3800 * __builtin_popcount(kBars[bar]);
        } else {
            // The phase moves red: GRBG one pixel right, GBRG one row down, BGGR both.
            const int px = x + (color & 1), py = y + (color >> 1);
            const int channel = ((py & 1) << 1) | (px & 1);  // 0 R, 1 and 2 G, 3 B
            const int bit = channel == 0 ? 4 : channel == 3 ? 1 : 2;
            v = (kBars[bar] & bit) ? 0xC000 : 0x1000;
        }
    } else if (band == 1) {
        v = w > 1 ? 0xFFFFll * x / (w - 1) : 0;
    } else {
        const int top = h * 2 / 3;
        v = 0x0800 + 0x1000ll * (y - top) / std::max(h - top, 1);
    }
    static const int kStars[4][3] = {{25, 83, 0xE000}, {50, 75, 0xF000}, {75, 92, 0xC000}, {62, 79, 0x9000}};
    for (const auto& s : kStars) {
        const long long dx = x - w * s[0] / 100;
        const long long dy = y - h * s[1] / 100;
        const long long d2 = dx * dx + dy * dy;
        if (d2 <= 8) v += s[2] / (1 + 2 * d2);
    }
    const int flip = seed > 0 ? ((seed - 1) % 15 + 1) << 8 : 0;
    return static_cast<uint16_t>(std::min(v, 0xFFFFll) ^ flip);
}

int sensorByte(const SimDevice& d, int reg) {
    auto it = d.sensor.find(reg);
    return it == d.sensor.end() ? 0 : it->second & 0xFF;
}

// A 16-bit value in two byte registers, low byte first.
int sensorWord(const SimDevice& d, int reg) { return sensorByte(d, reg) | (sensorByte(d, reg + 1) << 8); }

// Units the sensor's start registers count a pixel in.
int startUnits(const SimDevice& d) { return d.profile.start_units > 1 ? d.profile.start_units : 1; }

// What the sensor reads out: its pixel array, the start of the window and
// whether it bins 2 x 2.
struct SensorView {
    int w = 0, h = 0;    // pixel array
    int x0 = 0, y0 = 0;  // window start
    bool bin2 = false;
    int color = KYRSIM_BAYER_RGGB;
    int seed = 0;

    explicit SensorView(const SimDevice& d)
        : w(d.profile.sensor_width),
          h(d.profile.sensor_height),
          x0(sensorWord(d, d.profile.start_x_reg > 0 ? d.profile.start_x_reg : kSonyStartX) / startUnits(d)),
          y0(sensorWord(d, d.profile.start_y_reg > 0 ? d.profile.start_y_reg : kSonyStartY) / startUnits(d)),
          bin2(d.profile.bin_reg != KYRSIM_NONE &&
               sensorByte(d, d.profile.bin_reg ? d.profile.bin_reg : kSonyBin) ==
                   (d.profile.bin_value ? d.profile.bin_value : 1)),
          color(d.profile.color),
          seed(d.sceneSeed) {}

    uint16_t array(long long x, long long y) const {
        if (x < 0 || y < 0 || x >= w || y >= h) return 0;
        return sceneValue(static_cast<int>(x), static_cast<int>(y), w, h, color, seed);
    }

    // Pixel (x, y) of the window. Binning averages the four nearest pixels
    // of the same colour, so the Bayer pattern is kept.
    uint16_t pixel(int x, int y) const {
        if (!bin2) return array(x0 + static_cast<long long>(x), y0 + static_cast<long long>(y));
        const long long bx = x0 + 4ll * (x / 2) + x % 2;
        const long long by = y0 + 4ll * (y / 2) + y % 2;
        const unsigned sum = array(bx, by) + array(bx + 2, by) + array(bx, by + 2) + array(bx + 2, by + 2);
        return static_cast<uint16_t>(sum / 4);
    }
};

long long floorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// What a sensor of read-out modes (KYRSIM_SENSOR_MODES) sends and the FPGA
// keeps of it: lines of dummy columns and binned pixels after the frame's
// blanking lines, of which the FPGA skips HBLK columns and VBLK lines.
struct ModeView {
    const SensorView& sv;
    int mode = -1;  // index into the profile's modes; -1: the mode register holds no known code
    int factor = 1, dummy = 0, blank = 0, bits = 16;
    long long c0 = 0, r0 = 0;  // first binned column and row the sensor reads
    int binnedW = 0, binnedH = 0;
    int hblk = 0, vblk = 0;
    bool mono = false;

    ModeView(const SimDevice& d, const SensorView& view) : sv(view) {
        const kyrsim_profile& p = d.profile;
        const int code = sensorByte(d, p.mode_reg);
        for (int i = 0; i < p.mode_count && i < KYRSIM_MAX_MODES; ++i)
            if (p.mode_code[i] == code) {
                mode = i;
                break;
            }
        if (mode < 0) return;
        factor = std::max(p.mode_factor[mode], 1);
        dummy = p.mode_dummy[mode];
        blank = p.mode_blank[mode];
        bits = p.mode_bits[mode];
        const bool crop = p.crop_reg != KYRSIM_NONE && sensorByte(d, p.crop_reg) == p.crop_value &&
                          (p.crop_reg2 == KYRSIM_NONE || sensorByte(d, p.crop_reg2) == p.crop_value2);
        c0 = crop ? static_cast<long long>(p.start_x_step) * sensorWord(d, p.start_x_reg) / factor : 0;
        r0 = floorDiv(sensorWord(d, p.start_y_reg) - p.mode_row_offset[mode], factor);
        binnedW = sv.w / factor;
        binnedH = sv.h / factor;
        hblk = d.fpga[2] | (d.fpga[3] << 8);
        vblk = d.fpga[6] | (d.fpga[7] << 8);
        mono = p.color == KYRSIM_MONO;
    }

    // Array coordinate of the first pixel of binned index i (a column or a row) and the step between
    // the pixels binned with it.
    long long first(long long i) const { return mono ? factor * i : 2ll * factor * (i / 2) + i % 2; }
    int step() const { return mono ? 1 : 2; }

    uint16_t pixel(int x, int y) const {
        if (mode < 0) return 0;
        const long long col = static_cast<long long>(hblk) + x - dummy;
        const long long line = static_cast<long long>(vblk) + y - blank;
        if (col < 0 || line < 0) return 0;
        const long long bc = c0 + col, br = r0 + line;
        if (bc < 0 || br < 0 || bc >= binnedW || br >= binnedH) return 0;
        const long long ax = first(bc), ay = first(br);
        unsigned long sum = 0;
        for (int j = 0; j < factor; ++j)
            for (int i = 0; i < factor; ++i) sum += sv.array(ax + i * step(), ay + j * step());
        return static_cast<uint16_t>(sum / static_cast<unsigned long>(factor * factor));
    }
};

void renderScene(SimDevice& d, size_t size) {
    const int bpp = bytesPerPixel(d);
    const int w = rowPixels(d);
    const size_t rowBytes = static_cast<size_t>(w) * static_cast<size_t>(bpp);
    const int h = static_cast<int>((size + rowBytes - 1) / rowBytes);
    const int adc12 = (d.fpga[10] & kFmtAdc12) ? 1 : 0;
    const SensorView sv(d);
    // The scene lies on the sensor's pixel array when the sensor's layout is modelled.
    const bool onArray = d.sensorModel && d.profile.sensor != KYRSIM_SENSOR_NONE;
    const bool modes = onArray && d.profile.sensor == KYRSIM_SENSOR_MODES;
    const ModeView mv(d, sv);
    const std::array<int, 16> key{w,
                                  h * bpp + adc12 * 0x40000000,
                                  bpp,
                                  static_cast<int>(size),
                                  onArray ? 1 + (sv.bin2 ? 1 : 0) + (modes ? 2 : 0) : 0,
                                  onArray ? sv.x0 : 0,
                                  onArray ? sv.y0 : 0,
                                  d.profile.color,
                                  d.sceneSeed,
                                  modes ? mv.mode : 0,
                                  modes ? static_cast<int>(mv.c0) : 0,
                                  modes ? static_cast<int>(mv.r0) : 0,
                                  modes ? mv.hblk : 0,
                                  modes ? mv.vblk : 0,
                                  modes ? mv.bits : 0,
                                  0};
    if (d.sceneKey == key && d.sceneCache.size() == size) return;
    d.sceneCache.assign(size, 0);
    // 16-bit output carries the ADC's bits left-aligned.
    int adcBits = adc12 ? (d.profile.adc_bits > 0 ? d.profile.adc_bits : 12) : 10;
    if (modes && mv.mode >= 0) adcBits = std::min(adcBits, mv.bits);
    const uint16_t mask = static_cast<uint16_t>(0xFFFF << (16 - adcBits));
    for (size_t i = 0; i < size; i += static_cast<size_t>(bpp)) {
        const size_t pixel = i / static_cast<size_t>(bpp);
        const int x = static_cast<int>(pixel % static_cast<size_t>(w));
        const int y = static_cast<int>(pixel / static_cast<size_t>(w));
        const uint16_t v = modes     ? mv.pixel(x, y)
                           : onArray ? sv.pixel(x, y)
                                     : sceneValue(x, y, w, h, d.profile.color, d.sceneSeed);
        if (bpp == 1) {
            d.sceneCache[i] = static_cast<uint8_t>(v >> 8);
        } else {
            const uint16_t o = v & mask;
            d.sceneCache[i] = static_cast<uint8_t>(o & 0xFF);
            if (i + 1 < size) d.sceneCache[i + 1] = static_cast<uint8_t>(o >> 8);
        }
    }
    d.sceneKey = key;
}

bool faultActive(const StreamFault& f, long long frame) {
    return frame >= f.first && frame < f.first + f.count;
}

void writeMarkers(SimDevice& d, std::vector<uint8_t>& f, bool badHead, bool badTail, bool badCounter) {
    const size_t n = f.size() / 2;
    switch (d.markers) {
        case KYRSIM_MARKERS_A:
            if (n < 4) return;
            put16(f, 0, badHead ? static_cast<uint16_t>(~kHeadA) : kHeadA);
            put16(f, 1, d.counter);
            put16(f, n - 2, badCounter ? static_cast<uint16_t>(d.counter + 1) : d.counter);
            put16(f, n - 1, badTail ? static_cast<uint16_t>(~kTailA) : kTailA);
            break;
        case KYRSIM_MARKERS_B:
            if (n < 2) return;
            put16(f, 0, badHead ? static_cast<uint16_t>(~kHeadB) : kHeadB);
            put16(f, n - 1, badTail ? static_cast<uint16_t>(~kTailB) : kTailB);
            break;
        case KYRSIM_MARKERS_C: {
            if (f.size() < 4) return;
            const uint32_t head = badHead ? ~kHeadC : kHeadC;
            for (int i = 0; i < 4; ++i) f[static_cast<size_t>(i)] = static_cast<uint8_t>(head >> (8 * i));
            break;
        }
        default:
            break;
    }
}

// The FPGA can send the frame held in its DDR cache again, as asked.
bool resendReady(const SimDevice& d, size_t size) {
    return d.resendPending && d.bufValid && d.frame.size() == size;
}

// Starts the next frame at `startUs`. False when a no-data period begins instead.
bool startFrame(SimDevice& d, size_t size, long long startUs) {
    const long long index = d.framesStarted;
    for (auto& f : d.streamFaults) {
        if (f.kind == KYRSIM_STREAM_NO_DATA && !f.used && faultActive(f, index)) {
            f.used = true;
            d.noDataUntilUs = f.arg > 0 ? startUs + f.arg * 1000ll : LLONG_MAX;
            return false;
        }
    }
    bool badHead = false, badTail = false, badCounter = false;
    long long shortBy = 0;
    d.stallAt = -1;
    d.unplugAt = -1;
    d.overflowAt = -1;
    d.emptyPending = 0;
    for (const auto& f : d.streamFaults) {
        if (!faultActive(f, index)) continue;
        switch (f.kind) {
            case KYRSIM_STREAM_STALL:
                d.stallAt = std::max(f.arg, 0);
                break;
            case KYRSIM_STREAM_SHORT:
                shortBy += std::max(f.arg, 0);
                break;
            case KYRSIM_STREAM_SHORT_512:
                shortBy += 512;
                break;
            case KYRSIM_STREAM_EMPTY:
                d.emptyPending += std::max(f.arg, 1);
                break;
            case KYRSIM_STREAM_BAD_HEAD:
                badHead = true;
                break;
            case KYRSIM_STREAM_BAD_TAIL:
                badTail = true;
                break;
            case KYRSIM_STREAM_BAD_COUNTER:
                badCounter = true;
                break;
            case KYRSIM_STREAM_COUNTER_SKIP:
                d.counter = static_cast<uint16_t>(d.counter + std::max(f.arg, 1));
                break;
            case KYRSIM_STREAM_UNPLUG:
                d.unplugAt = std::max(f.arg, 0);
                break;
            case KYRSIM_STREAM_OVERFLOW:
                d.overflowAt = std::max(f.arg, 0);
                break;
            default:
                break;
        }
    }
    if (resendReady(d, size)) {
        // The FPGA sends the frame held in its DDR cache again, unchanged.
        d.resendPending = false;
    } else {
        d.resendPending = false;
        d.triggerPending = false;
        if (triggerModes(d) && !d.trigFrameAtUs.empty()) d.trigFrameAtUs.pop_front();
        renderScene(d, size);
        d.frame = d.sceneCache;
        if (d.sceneFlags & KYRSIM_SCENE_FRAME_NUMBER) {
            const size_t rowBytes = static_cast<size_t>(rowPixels(d)) * static_cast<size_t>(bytesPerPixel(d));
            const uint32_t seq = static_cast<uint32_t>(index);
            for (size_t off = 0; off + 4 <= size; off += rowBytes)
                for (int i = 0; i < 4; ++i)
                    d.frame[off + static_cast<size_t>(i)] = static_cast<uint8_t>(seq >> (8 * i));
        }
        writeMarkers(d, d.frame, badHead, badTail, badCounter);
        d.counter = static_cast<uint16_t>(d.counter + 1);
    }
    d.frameLength = size > static_cast<size_t>(shortBy) ? size - static_cast<size_t>(shortBy) : 0;
    d.frameSent = 0;
    d.inFrame = true;
    d.frameStartUs = startUs;
    d.frameOutUs = outputUs(d, static_cast<long long>(d.frame.size()));
    d.frameStarts.push_back(startUs);
    if (d.frameStarts.size() > kFrameStartsKept) d.frameStarts.pop_front();
    ++d.framesStarted;
    // Frames of the wait and trigger mode come when their exposure ends; they
    // neither wait for the frame timing nor move it.
    if (!triggerWait(d)) d.nextFrameUs = startUs + framePeriodUs(d);
    return true;
}

// Earliest time the next frame could start for the transfer at the queue
// front (LLONG_MAX: not before something changes).
long long frameAvailableAt(const SimDevice& d, const TransferState& front, size_t size) {
    long long t = d.nextFrameUs;
    if (triggerWait(d)) {
        // No free-running frames: only an ended exposure, read out by the
        // sensor first, or a resend of the held frame sends one.
        if (resendReady(d, size))
            t = d.resendAtUs;
        else if (triggerModes(d))
            t = d.trigFrameAtUs.empty() ? LLONG_MAX : d.trigFrameAtUs.front();
        else if (d.triggerPending)
            t = d.triggerAtUs + readoutDelayUs(d);
        else
            return LLONG_MAX;
        if (t == LLONG_MAX) return t;
    }
    t = std::max({t, d.gateOpenSinceUs, front.submitUs});
    if (d.noDataUntilUs >= 0) t = std::max(t, d.noDataUntilUs);
    return t;
}

void frameEnded(SimDevice& d) {
    d.inFrame = false;
    ++d.framesDone;
    if (d.profile.has_fpga && !(d.fpga[10] & kFmtDdrBypass)) d.bufValid = true;
}

// Brings one endpoint queue up to date; returns false when the camera went away.
bool pumpEndpoint(SimDevice& d, size_t idx, long long now) {
    auto& q = d.queue[idx];
    const bool streamEp = epIndex(d.streamEndpoint) == idx;
    while (!q.empty()) {
        TransferState& ts = *q.front();
        if (d.halted[idx]) {
            completeTransfer(ts, LIBUSB_TRANSFER_STALL);
            continue;
        }
        if (!streamEp) break;
        if (!d.inFrame && d.emptyPending == 0) {
            const size_t size = frameBytes(d);
            if (!d.gateOpen || size == 0) break;
            const long long avail = frameAvailableAt(d, ts, size);
            if (avail > now || (ts.deadlineUs >= 0 && ts.deadlineUs < avail)) break;
            if (!startFrame(d, size, avail)) continue;
        }
        if (d.emptyPending > 0) {
            --d.emptyPending;
            completeTransfer(ts, LIBUSB_TRANSFER_COMPLETED);
            continue;
        }
        const size_t end = frameLimit(d);
        // Bytes leave the camera progressively; a transfer whose time runs
        // out takes only what came before its deadline.
        const long long by = ts.deadlineUs >= 0 ? std::min(now, ts.deadlineUs) : now;
        const size_t limit = std::min(end, bytesDue(d, by));
        const size_t room = static_cast<size_t>(ts.length - ts.actual);
        const size_t n = std::min(room, limit > d.frameSent ? limit - d.frameSent : 0);
        if (n > 0) {
            std::memcpy(ts.xfer->buffer + ts.actual, d.frame.data() + d.frameSent, n);
            ts.actual += static_cast<int>(n);
            d.frameSent += n;
        }
        if (d.unplugAt >= 0 && d.frameSent >= static_cast<size_t>(d.unplugAt)) {
            unplugLocked(d);
            return false;
        }
        if (d.stallAt >= 0 && d.frameSent >= static_cast<size_t>(d.stallAt)) {
            d.halted[idx] = true;
            abandonFrame(d);
            continue;  // the front transfer ends with the stall, with its bytes
        }
        if (d.overflowAt >= 0 && d.frameSent >= static_cast<size_t>(d.overflowAt)) {
            if (ts.length > 0 && ts.actual == ts.length) {
                // Full before the oversized packet came: the next transfer meets it.
                completeTransfer(ts, LIBUSB_TRANSFER_COMPLETED);
                continue;
            }
            // The host controller drops the packet and the rest of the frame
            // with it; the endpoint stays usable and the next transfer starts
            // at a frame boundary.
            abandonFrame(d);
            completeTransfer(ts, LIBUSB_TRANSFER_OVERFLOW);
            continue;
        }
        if (d.frameSent >= d.frameLength) {
            frameEnded(d);
            completeTransfer(ts, LIBUSB_TRANSFER_COMPLETED);  // the frame's end cuts the transfer short
        } else if (ts.actual == ts.length) {
            completeTransfer(ts, LIBUSB_TRANSFER_COMPLETED);
        } else if (ts.deadlineUs >= 0 && ts.deadlineUs <= now) {
            completeTransfer(ts, LIBUSB_TRANSFER_TIMED_OUT);  // with the bytes that came in time
        } else {
            break;  // the rest of the frame has not left the camera yet
        }
    }
    // Transfers whose time ran out before data came.
    std::vector<TransferState*> expired;
    for (TransferState* ts : q)
        if (ts->deadlineUs >= 0 && ts->deadlineUs <= now) expired.push_back(ts);
    for (TransferState* ts : expired) completeTransfer(*ts, LIBUSB_TRANSFER_TIMED_OUT);
    return true;
}

}  // namespace

// Updates every camera; returns the next time something will change by itself.
long long pumpAll(long long now) {
    auto& s = state();
    long long wake = LLONG_MAX;
    auto visit = [&](SimDevice& d) {
        if (d.queue[0].empty() && d.queue[1].empty()) return;
        for (size_t idx = 0; idx < 2; ++idx)
            if (!pumpEndpoint(d, idx, now)) return;
        for (size_t idx = 0; idx < 2; ++idx)
            for (TransferState* ts : d.queue[idx])
                if (ts->deadlineUs >= 0) wake = std::min(wake, ts->deadlineUs);
        const size_t si = epIndex(d.streamEndpoint);
        const size_t size = frameBytes(d);
        if (!d.queue[si].empty() && !d.halted[si] && d.gateOpen && !d.inFrame && size > 0) {
            const long long avail = frameAvailableAt(d, *d.queue[si].front(), size);
            if (avail > now) wake = std::min(wake, avail);
        }
        if (!d.queue[si].empty() && !d.halted[si] && d.inFrame && d.emptyPending == 0) {
            // The front transfer fills up, or the frame ends, as its bytes come.
            const TransferState& front = *d.queue[si].front();
            const size_t want =
                std::min(frameLimit(d), d.frameSent + static_cast<size_t>(front.length - front.actual));
            wake = std::min(wake, std::max(timeDue(d, want), now + 1));
        }
    };
    for (auto& kv : s.devices) visit(*kv.second);
    for (auto& d : s.forgotten) visit(*d);
    return wake;
}

void unqueue(TransferState& ts) {
    if (!ts.queued) return;
    auto& q = ts.sim->queue[epIndex(ts.endpoint)];
    q.erase(std::remove(q.begin(), q.end(), &ts), q.end());
    ts.queued = false;
    ts.sim->inflightBytes -= ts.length;
}

void triggerInputChanged(SimDevice& d, bool before, bool after) {
    // A stopped FPGA sees no trigger.
    if (before == after || (d.fpga[kRegCtrlStream] & kCtrlStopped)) return;
    const uint8_t cfg = d.fpga[kRegTrigCfg];
    const bool valid = (cfg & kTrigValidLow) ? !after : after;  // the new level is the valid one
    if (cfg & kTrigLevel) {
        // Exposed while the valid level held: the frame comes at its end.
        if (valid) return;
        ++d.triggersSeen;
        d.trigFrameAtUs.push_back(nowUs());
        return;
    }
    // One frame per valid edge, a sensor period after it.
    if (!valid) return;
    ++d.triggersSeen;
    d.trigFrameAtUs.push_back(nowUs() + readoutDelayUs(d));
}


int bytesPerPixel(const SimDevice& d) {
    if (d.profile.has_fpga) return (d.fpga[10] & kFmtOut16) ? 2 : 1;
    return d.out16 ? 2 : 1;
}

long long framePeriodUs(const SimDevice& d) {
    if (d.unpaced) return 0;
    if (d.intervalUs > 0) return d.intervalUs;
    // The slower of the sensor and the output sets the pace; no frame is dropped.
    return std::max(sensorPeriodUs(d), outputUs(d, static_cast<long long>(frameBytes(d))));
}

long long streamQuery(const SimDevice& d, int what) {
    switch (what) {
        case KYRSIM_Q_FRAME_PERIOD_US:
            return framePeriodUs(d);
        case KYRSIM_Q_SENSOR_MODEL:
            return d.sensorModel ? 1 : 0;
        case KYRSIM_Q_TRIGGER_WAIT:
            return triggerWait(d) ? 1 : 0;
        case KYRSIM_Q_LINK_RATE:
            return linkRate(d);
        case KYRSIM_Q_OUTPUT_US:
            return outputUs(d, static_cast<long long>(frameBytes(d)));
        case KYRSIM_Q_SENSOR_PERIOD_US:
            return sensorPeriodUs(d);
        case KYRSIM_Q_TRIGGERS:
            return d.triggersSeen;
        default:
            return -1;
    }
}

size_t frameBytes(const SimDevice& d) {
    if (d.frameSizeOverride > 0) return static_cast<size_t>(d.frameSizeOverride);
    if (!d.profile.has_fpga) return 0;
    const size_t w = static_cast<size_t>(d.fpga[4] | (d.fpga[5] << 8));
    const size_t h = static_cast<size_t>(d.fpga[8] | (d.fpga[9] << 8));
    return w * h * static_cast<size_t>(bytesPerPixel(d));
}

void completeTransfer(TransferState& ts, libusb_transfer_status status) {
    auto& s = state();
    auto& q = ts.sim->queue[epIndex(ts.endpoint)];
    const bool front = ts.queued && !q.empty() && q.front() == &ts;
    unqueue(ts);
    if (status == LIBUSB_TRANSFER_COMPLETED && (ts.xfer->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
        ts.actual < ts.length)
        status = LIBUSB_TRANSFER_ERROR;
    ts.xfer->status = status;
    ts.xfer->actual_length = ts.actual;
    ts.endedShort = status == LIBUSB_TRANSFER_COMPLETED && ts.shortEndsChain && ts.actual < ts.length;
    if (ts.ctx->alive) {
        ts.ctx->done.push_back(&ts);
    } else {
        ts.inFlight = false;  // its context is gone; no callback will run
        --s.inflight;
    }
    // A chain ends where one of its transfers ends short or fails (a vanished
    // camera ends every transfer on its own): what continues it behind it is
    // cancelled, after it.
    const bool failed = status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_CANCELLED &&
                        status != LIBUSB_TRANSFER_NO_DEVICE;
    if (front && (ts.endedShort || failed))
        while (!q.empty() && q.front()->continuesChain) completeTransfer(*q.front(), LIBUSB_TRANSFER_CANCELLED);
    s.cv.notify_all();
}

int submitBulk(TransferState& ts, libusb_device_handle* h) {
    auto& s = state();
    libusb_transfer* transfer = ts.xfer;
    SimDevice& d = *h->sim;
    if (d.inflightBytes + transfer->length > d.maxInflight) return LIBUSB_ERROR_NO_MEM;
    const long long now = nowUs();
    ts.inFlight = true;
    ts.queued = true;
    ts.handle = h;
    ts.ctx = h->ctx;
    ts.sim = &d;
    ts.endpoint = transfer->endpoint;
    ts.length = transfer->length;
    ts.actual = 0;
    ts.submitUs = now;
    ts.deadlineUs = transfer->timeout ? now + static_cast<long long>(transfer->timeout) * 1000 : -1;
    transfer->actual_length = 0;
    d.queue[epIndex(ts.endpoint)].push_back(&ts);
    d.inflightBytes += ts.length;
    ++s.inflight;
    s.cv.notify_all();
    return LIBUSB_SUCCESS;
}

int cancelBulk(TransferState& ts) {
    // Only a transfer still on the wire can be cancelled; one that already
    // completed (its completion not yet taken) or was never submitted cannot.
    if (!ts.inFlight || !ts.queued) return LIBUSB_ERROR_NOT_FOUND;
    if (ts.sim->loseCancelled) {
        // The cancel is taken, but the transfer never comes back: no data
        // reaches it any more and no completion will come (until
        // kyrsim_finish_lost_transfers), as with a broken host controller.
        unqueue(ts);
        ts.lost = true;
        state().cv.notify_all();
        return LIBUSB_SUCCESS;
    }
    completeTransfer(ts, LIBUSB_TRANSFER_CANCELLED);
    return LIBUSB_SUCCESS;
}

void endAllTransfers(SimDevice& d, libusb_transfer_status status) {
    abandonFrame(d);
    for (auto& q : d.queue) {
        std::vector<TransferState*> all(q.begin(), q.end());
        // One that ended a chain has ended what continued it already.
        for (TransferState* ts : all)
            if (ts->queued) completeTransfer(*ts, status);
    }
}

void abandonFrame(SimDevice& d) {
    d.inFrame = false;
    d.emptyPending = 0;
    d.stallAt = -1;
    d.unplugAt = -1;
    d.overflowAt = -1;
}

void dropHandleTransfers(libusb_device_handle* h) {
    auto& s = state();
    bool dropped = false;
    for (auto& q : h->sim->queue) {
        std::vector<TransferState*> mine;
        for (TransferState* ts : q)
            if (ts->handle == h) mine.push_back(ts);
        for (TransferState* ts : mine) {
            unqueue(*ts);
            ts->inFlight = false;
            --s.inflight;
            dropped = true;
        }
    }
    auto& done = h->ctx->done;
    for (auto it = done.begin(); it != done.end();) {
        if ((*it)->handle == h) {
            (*it)->inFlight = false;
            --s.inflight;
            dropped = true;
            it = done.erase(it);
        } else {
            ++it;
        }
    }
    if (dropped) ++h->sim->closedBusy;
}

// Runs `change` on a camera under the lock and wakes event handlers.
template <typename F>
int withDevice(int handle, F change) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    const int r = change(*d);
    s.cv.notify_all();
    return r;
}

}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

// ---------------------------------------------------------------------------
// Control API: transfers and stream
// ---------------------------------------------------------------------------

int kyrsim_live_transfers(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return static_cast<int>(state().transfers.size());
}

int kyrsim_inflight_transfers(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().inflight;
}

int kyrsim_freed_in_flight(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    return state().freedInFlight;
}

int kyrsim_lose_cancelled(int handle, int on) {
    return withDevice(handle, [&](SimDevice& d) {
        d.loseCancelled = on != 0;
        return 0;
    });
}

int kyrsim_lost_transfers(void) {
    std::lock_guard<std::mutex> lk(state().mu);
    int n = 0;
    for (const auto& kv : state().transfers)
        if (kv.second->lost) ++n;
    return n;
}

int kyrsim_finish_lost_transfers(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = 0;
    for (auto& kv : s.transfers) {
        TransferState& ts = *kv.second;
        if (!ts.lost) continue;
        // The host controller's late write lands in the transfer's buffer.
        if (ts.xfer->buffer && ts.length > 0)
            std::memset(ts.xfer->buffer, 0xA5, static_cast<size_t>(ts.length));
        ts.lost = false;
        ts.actual = ts.length;
        ts.queued = false;
        ts.xfer->status = LIBUSB_TRANSFER_CANCELLED;
        ts.xfer->actual_length = ts.length;
        if (ts.ctx && s.contexts.count(ts.ctx) && ts.ctx->alive) {
            ts.ctx->done.push_back(&ts);
        } else {
            ts.inFlight = false;
            --s.inflight;
        }
        ++n;
    }
    s.cv.notify_all();
    return n;
}

void kyrsim_set_events_per_call(int n) {
    std::lock_guard<std::mutex> lk(state().mu);
    state().eventsPerCall = n > 0 ? n : 0;
}

int kyrsim_set_frame_size(int handle, int bytes) {
    if (bytes < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.frameSizeOverride = bytes;
        return 0;
    });
}

int kyrsim_set_markers(int handle, int generation) {
    if (generation < KYRSIM_MARKERS_NONE || generation > KYRSIM_MARKERS_C) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.markers = generation;
        return 0;
    });
}

int kyrsim_set_frame_counter(int handle, int value) {
    if (value < 0 || value > 0xFFFF) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.counter = static_cast<uint16_t>(value);
        return 0;
    });
}

int kyrsim_set_stream_endpoint(int handle, int endpoint) {
    if (endpoint != 0x81 && endpoint != 0x82) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.streamEndpoint = endpoint;
        abandonFrame(d);
        return 0;
    });
}

int kyrsim_set_scene(int handle, int flags) {
    if (flags & ~KYRSIM_SCENE_FRAME_NUMBER) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.sceneFlags = flags;
        return 0;
    });
}

int kyrsim_set_scene_seed(int handle, int seed) {
    if (seed < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.sceneSeed = seed;
        return 0;
    });
}

int kyrsim_scene_seed(int handle) {
    return withDevice(handle, [&](SimDevice& d) { return d.sceneSeed; });
}

int kyrsim_set_frame_interval(int handle, int microseconds) {
    if (microseconds < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.intervalUs = microseconds;
        return 0;
    });
}

int kyrsim_set_unpaced(int handle, int on) {
    return withDevice(handle, [&](SimDevice& d) {
        d.unpaced = on != 0;
        return 0;
    });
}

int kyrsim_set_trigger_input(int handle, int level) {
    return withDevice(handle, [&](SimDevice& d) {
        const bool before = d.extTrigLevel;
        d.extTrigLevel = level != 0;
        if (triggerModes(d) && (d.fpga[kRegTrigCfg] & kTrigExternalIn))
            triggerInputChanged(d, before, d.extTrigLevel);
        return 0;
    });
}

int kyrsim_set_link_rate(int handle, long long bytes_per_second) {
    if (bytes_per_second < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.linkBytesPerSec = bytes_per_second;
        return 0;
    });
}

int kyrsim_frame_starts(int handle, long long* out, int max) {
    if (max < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        const size_t n =
            out ? std::min(d.frameStarts.size(), static_cast<size_t>(max)) : d.frameStarts.size();
        if (out) std::copy(d.frameStarts.end() - static_cast<long>(n), d.frameStarts.end(), out);
        return static_cast<int>(n);
    });
}

int kyrsim_set_sensor_model(int handle, int on) {
    return withDevice(handle, [&](SimDevice& d) {
        if (on && !hasSensorModel(d.profile)) return -1;
        d.sensorModel = on != 0;
        updateGate(d);
        return 0;
    });
}

int kyrsim_scene_pixel(int handle, int x, int y) {
    return withDevice(handle, [&](SimDevice& d) {
        if (d.profile.sensor == KYRSIM_SENSOR_NONE) return -1;
        const SensorView sv(d);
        if (x < 0 || y < 0 || x >= sv.w || y >= sv.h) return -1;
        return static_cast<int>(sv.array(x, y));
    });
}

int kyrsim_stream_fault(int handle, int kind, int arg, int first, int count) {
    if (kind < KYRSIM_STREAM_STALL || kind > KYRSIM_STREAM_OVERFLOW || first < 0 || count < 1 || arg < 0)
        return -1;
    return withDevice(handle, [&](SimDevice& d) {
        StreamFault f;
        f.kind = kind;
        f.arg = arg;
        f.first = d.framesStarted + first;
        f.count = count;
        d.streamFaults.push_back(f);
        return 0;
    });
}

int kyrsim_clear_stream_faults(int handle) {
    return withDevice(handle, [&](SimDevice& d) {
        d.streamFaults.clear();
        d.noDataUntilUs = -1;
        d.stallAt = -1;
        d.unplugAt = -1;
        d.overflowAt = -1;
        d.emptyPending = 0;
        return 0;
    });
}

int kyrsim_halt_endpoint(int handle, int endpoint) {
    if (endpoint != 0x81 && endpoint != 0x82) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.halted[epIndex(endpoint)] = true;
        if (endpoint == d.streamEndpoint) abandonFrame(d);
        return 0;
    });
}

int kyrsim_last_frame(int handle, unsigned char* buf, int size) {
    if (size < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        if (buf) std::memcpy(buf, d.frame.data(), std::min(d.frame.size(), static_cast<size_t>(size)));
        return static_cast<int>(d.frame.size());
    });
}

int kyrsim_set_max_inflight(int handle, long long bytes) {
    if (bytes < 0) return -1;
    return withDevice(handle, [&](SimDevice& d) {
        d.maxInflight = bytes;
        return 0;
    });
}

}  // extern "C"

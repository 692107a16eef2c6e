// The camera: product profiles, the vendor requests it accepts, and what each
// one does to its FPGA, sensor, memories and stream state.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "internal.hpp"

namespace kyrsim_impl {
namespace {

// USB product IDs of every supported camera, in the library's table order.
constexpr int kProductIds[] = {
    0x841a, 0x810a, 0x810b, 0x839b, 0x839a, 0x840a, 0x838b, 0x808b, 0x808a, 0x806a, 0x806b, 0x833b, 0x810d,
    0x810e, 0x810c, 0x810f, 0x804f, 0x830a, 0x818b, 0x818a, 0x818d, 0x818c, 0x818f, 0x818e, 0x8189, 0x813c,
    0x813a, 0x813d, 0x813b, 0x813e, 0x813f, 0x835a, 0x835b, 0x835e, 0x835f, 0x835c, 0x803a, 0x803b, 0x7602,
    0x7600, 0x7603, 0x7601, 0x7604, 0x7605, 0x7606, 0x8129, 0x816a, 0x816b, 0x802a, 0x805b, 0x809b, 0x809f,
    0x819b, 0x819f, 0x831a, 0x831e, 0x824b, 0x824a, 0x824d, 0x824c, 0x8f1a, 0x8f1b, 0x824f, 0x811a, 0x811b,
    0x811e, 0x811f, 0x8f79, 0x7505, 0x710e, 0x710a, 0x812a, 0x812b, 0x815b, 0x815f, 0x801b, 0x801f, 0x836b,
    0x836d, 0x836f, 0x834e, 0x8299, 0x829e, 0x821a, 0x821b, 0x821e, 0x837e, 0x8379, 0x822e, 0x823b, 0x823f,
    0x825b, 0x825f, 0x827b, 0x827f, 0x814b, 0x814f, 0x807a, 0x807e, 0x829a, 0x828a, 0x828b, 0x828e, 0x828f,
    0x832b, 0x832f, 0x730a, 0x730b, 0x817b, 0x817f, 0x820b, 0x820f, 0x826e,
};
static_assert(sizeof(kProductIds) / sizeof(kProductIds[0]) == 113, "product table has 113 entries");

// First-generation USB-2 cameras: no FPGA, the USB controller drives the sensor.
// Their frames carry head word 0xAA11/0x11AA (Mini and S models) or only the
// 32-bit head 0xBB00AA11 (the older ones, which stream on endpoint 0x82).
constexpr int kMarkersBNoFpga[] = {0x810d, 0x810e, 0x810c, 0x810f, 0x8129};
constexpr int kMarkersCNoFpga[] = {0x810a, 0x810b, 0x839b, 0x839a, 0x840a, 0x838b, 0x841a};

// The 832 cameras: a 3840 x 2160 colour sensor of the Sony register layout, timed by the FPGA at 20 MHz,
// with the register hold 0x3001 and standby 0x3000 (0 = streaming).
constexpr int kSonySensor832[] = {0x832b, 0x832f};
// The 817 cameras: a 1920 x 1080 colour sensor of the same layout, timing, hold and standby.
constexpr int kSonySensor817[] = {0x817b, 0x817f};
// The 820 cameras: a 3840 x 2160 colour sensor of the same layout, timing, hold and standby.
constexpr int kSonySensor820[] = {0x820b, 0x820f};
// The 814 cameras: the 832's layout on a sensor that bins 2 x 2 while 0x3020 = 1; the 814b has no DDR.
constexpr int kSonySensor814[] = {0x814b, 0x814f};
constexpr int kBin814Reg = 0x3020;
// The 827 cameras: a 1920 x 1080 sensor of that layout whose start registers count half pixels; the 827b
// has no DDR.
constexpr int kSonySensor827[] = {0x827b, 0x827f};
constexpr int kNoDDR814827[] = {0x814b, 0x827b};
// The 807 cameras (sold as the 811 mono): 8288 x 5644 mono, register hold 0x302B; the 811a has no DDR.
constexpr int kSensor807[] = {0x811a, 0x811e, 0x807e};
constexpr int kHold807 = 0x302B;
// Register 28 of the 807: a trigger camera with edge and level modes.
constexpr int kTrigEdgeLevel = 0xC0;
// The 811 cameras: the 807's sensor family read 2 x 2 binned, 4144 x 2822 colour (RG), 14-bit ADC; the 811b
// has no DDR.
constexpr int kSensor811[] = {0x811b, 0x811f};
// The 836 cameras (uncooled, cooled without DDR, cooled with DDR): a 1936 x 1096 colour sensor of the same
// register family without sensor binning, its window start row in 0x3038/9.
constexpr int kSonySensor836[] = {0x836b, 0x836d, 0x836f};
constexpr int kSonyHold = 0x3001;
constexpr int kSensor821[] = {0x821a, 0x821e, 0x821b};
constexpr int kSensor821Mono[] = {0x821a, 0x821e};
constexpr int kSonyStandby = 0x3000;
// The 829 (1632 x 1248) and 837 (816 x 624) mono cameras: the 821's layout, hold and standby; the 837 Mini
// (0x8379) has no DDR.
constexpr int kSensor829[] = {0x8299, 0x829e};
constexpr int kSensor837[] = {0x8379, 0x837e};
// The 831 cameras: a colour sensor with its own register set (hold 0x3008, start at 0x3310-0x3313), the
// uncooled 0x831a at 1456 x 1088 without DDR, the cooled 0x831e at 728 x 544 with DDR.
constexpr int kSensor831[] = {0x831a, 0x831e};

// The 802 camera: a 4072 x 3040 colour sensor without a register hold, standby in 0x0000 (0 = streaming),
// no DDR buffer, timed by the FPGA at 20 MHz; the frame is the FPGA's window.
constexpr int kRawFpga802[] = {0x802a};
constexpr int k802Standby = 0x0000;
// The 815 cameras: a 3840 x 2160 colour sensor whose window the sensor takes through start registers, timed
// by the FPGA at 20 MHz, with the register hold 0x3001 and standby 0x3000 (0 = streaming). The frame shows
// the scene relative to the FPGA window. 0x815b has no DDR buffer, 0x815f has one.
constexpr int kSensor815[] = {0x815b, 0x815f};
// The 801 cameras: the same family with a 2616 x 1960 sensor; the frame follows the FPGA window also in the
// hardware-bin mode (the sensor still sends every pixel). 0x801b has no DDR buffer, 0x801f has one.
constexpr int kSensor801[] = {0x801b, 0x801f};
// Cameras of these families without the DDR frame buffer.
constexpr int kNoDdrStartReg[] = {0x815b, 0x801b};
// The 825 cameras: the same family with a 2712 x 1536 sensor without sensor binning. 0x825b has no DDR
// buffer, 0x825f has one.
constexpr int kSensor825[] = {0x825b, 0x825f};
// The 809 cameras: a 5320 x 3956 colour sensor (RG) without a register hold, timed by the FPGA at 20 MHz,
// streaming only while its operating state 0x0200 is 4; the FPGA cuts the window, and the frame is the
// FPGA's window. 0x809b has no DDR buffer, 0x809f has one.
constexpr int kSensor809[] = {0x809b, 0x809f};
constexpr int k809State = 0x0200;
constexpr int k809Streaming = 4;
// The S7100 and S7300 cameras: sensors of read-out modes (mode register 0x001) without a register hold,
// timed by the FPGA at 20 MHz, with the DDR buffer. They stream only while awake and out of standby
// (0x000 bit 2 set, bit 0 clear) and their stream switch is 1 (5 parks it); register 35 bit 4 reads
// ready, and the long exposure's frame is read out only while unparked with XHS running.
struct SensorMode {
    int code, factor, dummy, blank, rowOffset, bits;
};
// The S7100's modes: full resolution (12 bits), 2 x 2 and 3 x 3 binned (10 bits).
constexpr SensorMode k7100Modes[] = {
    {0x00, 1, 24, 45, 25, 12},
    {0x05, 2, 18, 25, 25, 10},
    {0x07, 3, 11, 23, 27, 10},
};
// The S7300's modes: full resolution (12 bits), high speed, 2 x 2 and 3 x 3 binned (10 bits).
constexpr SensorMode k7300Modes[] = {
    {0x00, 1, 24, 49, 25, 12},
    {0x80, 1, 24, 49, 25, 10},
    {0x85, 2, 16, 29, 25, 10},
    {0x89, 3, 16, 27, 27, 10},
};
struct ModeSensorProduct {
    int pid;
    int width, height;
    int color;
    const SensorMode* modes;
    int modeCount;
    int streamReg;              // stream switch: 1 streams, 5 parks
    int cropReg, cropReg2;      // the line is cropped while cropReg = 1 and cropReg2 (if any) = 4
    int startXReg, startYReg;   // crop start in 16-pixel units; first row + k
    int trigger;                // register 28: 0xC0 edge and level triggers, 0 none
};
constexpr int kModeSensorReg = 0x001;
constexpr int kModeSensorCropOn = 1;
constexpr int kModeSensorCrop2On = 4;
constexpr int kModeSensorStartStep = 16;
constexpr int kModeSensorPower = 0x000;
constexpr int kModeSensorPowerMask = 0x05;
constexpr int kModeSensorAwake = 0x04;
constexpr int kModeSensorStreaming = 1;
constexpr ModeSensorProduct kModeSensorProducts[] = {
    {0x710e, 6248, 4176, KYRSIM_MONO, k7100Modes, 3, 0x1EE, 0x0A7, KYRSIM_NONE, 0x0A8, 0x008, 0},
    {0x710a, 6248, 4176, KYRSIM_BAYER_RGGB, k7100Modes, 3, 0x1EE, 0x0A7, KYRSIM_NONE, 0x0A8, 0x008, 0},
    {0x730b, 9576, 6388, KYRSIM_MONO, k7300Modes, 4, 0x19E, 0x0A5, 0x187, 0x0A6, 0x006, kTrigEdgeLevel},
    {0x730a, 9576, 6388, KYRSIM_BAYER_RGGB, k7300Modes, 4, 0x19E, 0x0A5, 0x187, 0x0A6, 0x006, kTrigEdgeLevel},
};

void setModeSensor(kyrsim_profile& p, const ModeSensorProduct& m) {
    p.sensor_clock_khz = 20000;
    p.sensor = KYRSIM_SENSOR_MODES;
    p.sensor_width = m.width;
    p.sensor_height = m.height;
    p.color = m.color;
    p.standby_reg = kModeSensorPower;
    p.standby_mask = kModeSensorPowerMask;
    p.standby_value = kModeSensorAwake;
    p.stream_reg = m.streamReg;
    p.stream_mask = 0xFF;
    p.stream_value = kModeSensorStreaming;
    p.mode_reg = kModeSensorReg;
    p.mode_count = m.modeCount;
    for (int i = 0; i < m.modeCount && i < KYRSIM_MAX_MODES; ++i) {
        p.mode_code[i] = m.modes[i].code;
        p.mode_factor[i] = m.modes[i].factor;
        p.mode_dummy[i] = m.modes[i].dummy;
        p.mode_blank[i] = m.modes[i].blank;
        p.mode_row_offset[i] = m.modes[i].rowOffset;
        p.mode_bits[i] = m.modes[i].bits;
    }
    p.crop_reg = m.cropReg;
    p.crop_value = kModeSensorCropOn;
    p.crop_reg2 = m.cropReg2;
    p.crop_value2 = m.cropReg2 == KYRSIM_NONE ? 0 : kModeSensorCrop2On;
    p.start_x_reg = m.startXReg;
    p.start_x_step = kModeSensorStartStep;
    p.start_y_reg = m.startYReg;
    p.sync_policy = KYRSIM_SYNC_READY;
    p.readout_gated = 1;
    if (m.trigger) {
        p.fpga_ver[0] = m.trigger;
        p.trigger_modes = 1;
    }
}

template <size_t N>
bool contains(const int (&table)[N], int v) {
    return std::find(std::begin(table), std::end(table), v) != std::end(table);
}

kyrsim_profile defaultProfile(int productId) {
    kyrsim_profile p{};
    p.has_fpga = 1;
    // Version layout 3 (word in 29-30, digits in 32-33): FPGA 0x0128, digits 1.2.3.4.
    const int ver[6] = {3, 0x28, 0x01, 0x00, 0x12, 0x34};
    std::copy(std::begin(ver), std::end(ver), p.fpga_ver);
    p.ddr_policy = KYRSIM_DDR_READY;
    p.ddr_writes = 0;
    p.markers = KYRSIM_MARKERS_A;
    p.endpoint = 0x81;
    p.temp_kind = KYRSIM_TEMP_TMP100;
    p.hold_reg = KYRSIM_NONE;
    p.standby_reg = KYRSIM_NONE;
    p.color = KYRSIM_BAYER_RGGB;
    p.has_ddr = 1;
    p.crop_reg = KYRSIM_NONE;
    p.crop_reg2 = KYRSIM_NONE;
    if (contains(kMarkersBNoFpga, productId)) {
        p.has_fpga = 0;
        p.markers = KYRSIM_MARKERS_B;
    } else if (contains(kMarkersCNoFpga, productId)) {
        p.has_fpga = 0;
        p.markers = KYRSIM_MARKERS_C;
        p.endpoint = 0x82;
    }
    if (!p.has_fpga) p.has_ddr = 0;
    if (contains(kSonySensor832, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = 3840;
        p.sensor_height = 2160;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
    }
    if (contains(kSonySensor817, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = 1920;
        p.sensor_height = 1080;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
    }
    if (contains(kSonySensor820, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = 3840;
        p.sensor_height = 2160;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
    }
    if (contains(kSonySensor814, productId) || contains(kSonySensor827, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.has_ddr = contains(kNoDDR814827, productId) ? 0 : 1;
        const bool s814 = contains(kSonySensor814, productId);
        p.sensor_width = s814 ? 3840 : 1920;
        p.sensor_height = s814 ? 2160 : 1080;
        p.bin_reg = s814 ? kBin814Reg : 0;
        p.bin_value = s814 ? 1 : 0;
        p.start_units = s814 ? 0 : 2;
    }
    if (contains(kRawFpga802, productId)) {
        p.sensor_clock_khz = 20000;
        p.standby_reg = k802Standby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.color = KYRSIM_BAYER_RGGB;
        p.has_ddr = 0;
    }
    if (contains(kSensor807, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor_width = 8288;
        p.sensor_height = 5644;
        p.hold_reg = kHold807;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.color = KYRSIM_MONO;
        p.has_ddr = productId == 0x811a ? 0 : 1;
        p.wait_runs = 1;
        p.trigger_modes = 1;
        p.fpga_ver[0] = kTrigEdgeLevel;
    }
    if (contains(kSensor811, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor_width = 4144;
        p.sensor_height = 2822;
        p.hold_reg = kHold807;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.color = KYRSIM_BAYER_RGGB;
        p.has_ddr = productId == 0x811f ? 1 : 0;
        p.wait_runs = 1;
        p.adc_bits = 14;
    }
    if (contains(kSonySensor836, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = 1936;
        p.sensor_height = 1096;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.start_y_reg = 0x3038;
        p.bin_reg = KYRSIM_NONE;
        p.has_ddr = productId == 0x836f ? 1 : 0;
    }
    if (contains(kSensor815, productId) || contains(kSensor801, productId)) {
        const bool is815 = contains(kSensor815, productId);
        p.sensor_clock_khz = 20000;
        p.sensor_width = is815 ? 3840 : 2616;
        p.sensor_height = is815 ? 2160 : 1960;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.has_ddr = contains(kNoDdrStartReg, productId) ? 0 : 1;
    }
    if (contains(kSensor825, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor_width = 2712;
        p.sensor_height = 1536;
        p.hold_reg = kSonyHold;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.has_ddr = productId == 0x825f ? 1 : 0;
    }
    if (contains(kSensor809, productId)) {
        p.sensor_clock_khz = 20000;
        p.standby_reg = k809State;
        p.standby_mask = 0xFF;
        p.standby_value = k809Streaming;
        p.color = KYRSIM_BAYER_RGGB;
        p.has_ddr = productId == 0x809f ? 1 : 0;
    }
    for (const ModeSensorProduct& m : kModeSensorProducts)
        if (m.pid == productId) setModeSensor(p, m);
    if (contains(kSensor821, productId)) {
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = 1608;
        p.sensor_height = 1104;
        p.hold_reg = 0x3034;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.start_x_reg = 0x3120;
        p.start_y_reg = 0x3122;
        if (contains(kSensor821Mono, productId)) p.color = KYRSIM_MONO;
    }
    if (contains(kSensor829, productId) || contains(kSensor837, productId)) {
        const bool is829 = contains(kSensor829, productId);
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = is829 ? 1632 : 816;
        p.sensor_height = is829 ? 1248 : 624;
        p.hold_reg = 0x3034;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.start_x_reg = 0x3120;
        p.start_y_reg = 0x3122;
        p.color = KYRSIM_MONO;
        p.has_ddr = productId == 0x8379 ? 0 : 1;
    }
    if (contains(kSensor831, productId)) {
        const bool pro = productId == 0x831e;
        p.sensor_clock_khz = 20000;
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = pro ? 728 : 1456;
        p.sensor_height = pro ? 544 : 1088;
        p.hold_reg = 0x3008;
        p.standby_reg = kSonyStandby;
        p.standby_mask = 0xFF;
        p.standby_value = 0;
        p.start_x_reg = 0x3310;
        p.start_y_reg = 0x3312;
        p.bin_reg = KYRSIM_NONE;
        p.has_ddr = pro ? 1 : 0;
    }
    return p;
}

// One accepted form of a vendor request: direction and the ranges (with step)
// that wValue, wIndex and wLength must fall in.
struct Range {
    int lo, hi, step;
    bool has(int v) const { return v >= lo && v <= hi && (v - lo) % step == 0; }
};
struct RequestForm {
    int code;
    int dir;
    Range value, index, length;
};

constexpr Range kZero{0, 0, 1};
constexpr Range kAny{0, 0xFFFF, 1};
constexpr Range kByte{0, 0xFF, 1};
constexpr Range kNone{0, 0, 1};
constexpr Range exactly(int n) { return Range{n, n, 1}; }

// The camera's whole vocabulary of vendor requests. "Short" commands carry
// wValue 0, wIndex 0 and no data.
constexpr RequestForm kForms[] = {
    {0x85, KYRSIM_DIR_IN, exactly(245), kZero, exactly(2)},  // humidity
    {0xA0, KYRSIM_DIR_OUT, kAny, kAny, Range{0, 4096, 1}},   // controller RAM write / program entry
    {0xA0, KYRSIM_DIR_IN, kAny, kAny, Range{1, 4096, 1}},    // controller RAM read
    {0xA3, KYRSIM_DIR_OUT, kZero, kZero, kNone},             // sensor clock 24 MHz
    {0xA4, KYRSIM_DIR_OUT, kZero, kZero, kNone},             // sensor clock 48 MHz
    {0xA6, KYRSIM_DIR_OUT, kAny, kAny, kNone},               // sensor register write, 16 bit
    {0xA7, KYRSIM_DIR_IN, kAny, kZero, exactly(2)},          // sensor register read, 16 bit
    {0xA9, KYRSIM_DIR_OUT, kZero, kZero, kNone},             // stream start
    {0xA9, KYRSIM_DIR_OUT, Range{0, 0xF000, 4096}, kZero, Range{1, 4096, 1}},  // EEPROM page write (loader)
    {0xA9, KYRSIM_DIR_IN, Range{0, 0xF000, 4096}, kZero, Range{1, 4096, 1}},   // EEPROM page read (loader)
    {0xAA, KYRSIM_DIR_OUT, kZero, kZero, kNone},                               // stream stop
    {0xAB, KYRSIM_DIR_OUT, kZero, kZero, kNone},                               // 8-bit output
    {0xAC, KYRSIM_DIR_OUT, kZero, kZero, kNone},                               // 16-bit output
    {0xAD, KYRSIM_DIR_IN, kZero, kZero, exactly(2)},                           // firmware version
    {0xAE, KYRSIM_DIR_OUT, kZero, kZero, kNone},                               // command AE
    {0xAF, KYRSIM_DIR_OUT, kZero, kZero, kNone},                               // command AF
    {0xB0, KYRSIM_DIR_OUT, Range{0, 3, 1}, kZero, kNone},                      // guide output on
    {0xB1, KYRSIM_DIR_OUT, Range{0, 3, 1}, kZero, kNone},                      // guide output off
    {0xB2, KYRSIM_DIR_OUT, kAny, kZero, kNone},                                // cooler drive level
    {0xB3, KYRSIM_DIR_IN, kZero, kZero, exactly(2)},                           // board temperature (I2C)
    {0xB4, KYRSIM_DIR_IN, kZero, kZero, exactly(1)},                           // USB-3 host
    {0xB5, KYRSIM_DIR_OUT, kAny, kAny, kNone},                                 // transfer count
    {0xB6, KYRSIM_DIR_OUT, kAny, kByte, kNone},                                // sensor register write, 8 bit
    {0xB7, KYRSIM_DIR_IN, kAny, kZero, exactly(1)},                            // sensor register read, 8 bit
    {0xBA, KYRSIM_DIR_OUT, Range{0, 7, 1}, kAny, Range{64, 2048, 64}},         // I2C boot EEPROM write
    {0xBB, KYRSIM_DIR_IN, Range{0, 7, 1}, kAny, Range{1, 2048, 1}},            // I2C boot EEPROM read
    {0xBC, KYRSIM_DIR_IN, kByte, kZero, exactly(1)},                           // FPGA register read
    {0xBD, KYRSIM_DIR_OUT, kByte, kByte, kNone},                               // FPGA register write
    {0xBE, KYRSIM_DIR_OUT, Range{0, 1, 1}, kZero, kNone},                      // parallel bus owner
    {0xC2, KYRSIM_DIR_OUT, kZero, kAny, Range{1, 4096, 1}},                    // SPI flash program
    {0xC3, KYRSIM_DIR_IN, kZero, kAny, Range{1, 4096, 1}},                     // SPI flash read
    {0xC4, KYRSIM_DIR_OUT, exactly(1), kByte, kNone},                          // SPI flash sector erase
    {0xC4, KYRSIM_DIR_IN, kZero, kByte, exactly(1)},                           // SPI flash busy poll
    {0xC7, KYRSIM_DIR_IN, kZero, kZero, exactly(2)},                           // temperature ADC
    {0xC8, KYRSIM_DIR_IN, kZero, kZero, exactly(8)},                           // factory serial number
    {0xFD, KYRSIM_DIR_IN, kZero, kZero, exactly(1)},                           // parallel interface state
};

constexpr int kTypeVendorOut = 0x40;  // vendor, device recipient, host to device
constexpr int kTypeVendorIn = 0xC0;   // vendor, device recipient, device to host

// FPGA register numbers and bits the model acts on.
constexpr int kRegCtrl = 0;
constexpr int kRegUpdate = 1;
constexpr int kRegDataFmt = 10;
constexpr int kRegSignal = 11;
constexpr int kRegBufCtrl = 24;
constexpr int kRegStatus = 35;
constexpr int kRegCoolPower = 38;
constexpr uint8_t kCtrlRun = 0x01;
constexpr uint8_t kCtrlStop = 0x10;
constexpr uint8_t kCtrlWait = 0x40;
constexpr uint8_t kCtrlTrig = 0x80;
constexpr uint8_t kSigTrigger = 0x01;
constexpr uint8_t kSigXhsStop = 0x10;
constexpr int kRegTrigCfg = 40;
constexpr uint8_t kTrigExternal = 0x01;
constexpr uint8_t kFmtDdrBypass = 0x40;
constexpr uint8_t kBufResend = 0x01;
constexpr int kDdrInitRequest = 128;
constexpr uint8_t kStatusDdrReady = 0x01;
constexpr uint8_t kStatusBufValid = 0x04;
constexpr uint8_t kStatusSync = 0x10;

bool readOnlyFpga(int reg) { return (reg >= 28 && reg <= 33) || reg == kRegStatus; }

std::vector<uint8_t>& flashSector(SimDevice& d, uint32_t sector) {
    auto& s = d.flash[sector];
    if (s.empty()) s.assign(kFlashSector, 0xFF);
    return s;
}

std::vector<uint8_t>& eeprom(SimDevice& d, int dev) {
    auto& e = d.eeprom[static_cast<size_t>(dev)];
    if (e.empty()) e.assign(kEepromSize, 0xFF);
    return e;
}

void applyFpgaWrite(SimDevice& d, int reg, int value) {
    const uint8_t v = static_cast<uint8_t>(value);
    if (readOnlyFpga(reg)) return;
    switch (reg) {
        case kRegCtrl:
            if (!(v & kCtrlRun)) {
                // Bit 0 clear resets the FPGA; the reset completes by itself and
                // the run bit reads back set. The frame cache is lost.
                ++d.fpgaResets;
                d.bufValid = false;
                d.triggerPending = false;
                d.trigFrameAtUs.clear();
                abandonFrame(d);
            }
            // Triggered frames not yet sent go with a stop.
            if (v & kCtrlStop) d.trigFrameAtUs.clear();
            // A stop made while the sensor streams and the start after it let the FPGA sync to the sensor.
            if (!(d.fpga[kRegCtrl] & kCtrlStop) && (v & kCtrlStop)) d.syncArmed = sensorPowered(d);
            if ((d.fpga[kRegCtrl] & kCtrlStop) && !(v & kCtrlStop) && d.syncArmed) {
                ++d.syncCycles;
                d.syncArmed = false;
            }
            d.fpga[kRegCtrl] = v | kCtrlRun;
            break;
        case kRegBufCtrl:
            if (!d.profile.has_ddr) break;  // no DDR buffer behind the register
            if (value == kDdrInitRequest) {
                ++d.ddrWrites;
                d.bufValid = false;
            }
            if (v & kBufResend) {
                d.resendPending = true;
                d.resendAtUs = nowUs();
            }
            d.fpga[kRegBufCtrl] = v & ~kBufResend;  // the resend bit is a pulse
            break;
        case kRegSignal:
            // The soft trigger of the trigger modes.
            if (triggerModes(d) && !(d.fpga[kRegTrigCfg] & kTrigExternal))
                triggerInputChanged(d, (d.fpga[kRegSignal] & kSigTrigger) != 0, (v & kSigTrigger) != 0);
            // The trigger signal's fall ends an exposure of the wait and
            // trigger mode: its frame is read out at once, unless the sensor
            // is parked or its line timing (XHS) stopped, where a gated
            // readout gets nothing and the DDR holds no frame.
            else if ((d.fpga[kRegSignal] & kSigTrigger) && !(v & kSigTrigger) && triggerWait(d)) {
                if (d.profile.readout_gated && (!sensorUnparked(d) || (v & kSigXhsStop))) {
                    d.triggerPending = false;
                    d.bufValid = false;
                } else {
                    d.triggerPending = true;
                    d.triggerAtUs = nowUs();
                }
            }
            d.fpga[kRegSignal] = v;
            break;
        case kRegCoolPower:
            d.fpga[kRegCoolPower] = v;
            setCoolerFpgaPower(d, v);
            break;
        default:
            d.fpga[static_cast<size_t>(reg)] = v;
            break;
    }
}

void writeFpga(SimDevice& d, int reg, int value) {
    if (reg == kRegUpdate) {
        d.fpga[kRegUpdate] = static_cast<uint8_t>(value);
        if (!(value & 1)) {
            // Latch released: the held writes take effect together, in order.
            auto held = std::move(d.latched);
            d.latched.clear();
            for (const auto& w : held) applyFpgaWrite(d, w.first, w.second);
        }
        return;
    }
    if (d.fpga[kRegUpdate] & 1) {
        d.latched.emplace_back(reg, value);
        return;
    }
    applyFpgaWrite(d, reg, value);
}

void setGuide(SimDevice& d, int dir, bool on) {
    auto idx = static_cast<size_t>(dir);
    if (d.guide[idx] == on) return;
    d.guide[idx] = on;
    d.guideLog[idx].push_back(GuideChange{on, logNowUs()});
}

void answerTemperatureI2c(const SimDevice& d, unsigned char* out) {
    const double t = d.cooler.tempC;
    if (d.profile.temp_kind == KYRSIM_TEMP_TMP451) {
        const double whole = std::floor(t);
        out[1] = static_cast<unsigned char>(static_cast<int>(whole) & 0xFF);
        out[0] = static_cast<unsigned char>(static_cast<int>((t - whole) * 16.0) & 0x0F);
        return;
    }
    // TMP100: 12-bit two's complement in 1/16 degree, left-aligned in 16 bits.
    const int raw = static_cast<int>(std::lround(t * 16.0)) & 0xFFF;
    out[1] = static_cast<unsigned char>(raw >> 4);
    out[0] = static_cast<unsigned char>((raw & 0xF) << 4);
}

void answerTemperatureAdc(const SimDevice& d, unsigned char* out) {
    // Thermistor against a 10 kOhm reference, read by a 12-bit (or 8-bit) ADC.
    const double r = thermistorKOhm(d.cooler.tempC);
    const int full = d.profile.temp_kind == KYRSIM_TEMP_ADC8 ? 256 : 4096;
    int adc = static_cast<int>(std::lround(full * r / (r + 10.0)));
    adc = std::clamp(adc, 1, full - 1);
    out[1] = static_cast<unsigned char>(adc >> 4);
    out[0] = static_cast<unsigned char>((adc & 0xF) << 4);
}

void answerHumidity(const SimDevice& d, unsigned char* out) {
    // The sensor's raw word: percent = raw * 125 / 65536 - 6.
    const long long raw = std::min(65535ll, ((d.humidity + 6) * 65536ll + 124) / 125);
    out[0] = static_cast<unsigned char>(raw & 0xFF);
    out[1] = static_cast<unsigned char>(raw >> 8);
}

}  // namespace

bool knownProduct(int productId) { return contains(kProductIds, productId); }

kyrsim_profile profileFor(int productId) {
    auto& s = state();
    auto it = s.profileOverrides.find(productId);
    return it != s.profileOverrides.end() ? it->second : defaultProfile(productId);
}

void initDeviceModel(SimDevice& d) {
    d.fpga.fill(0);
    for (int i = 0; i < 6; ++i)
        d.fpga[static_cast<size_t>(28 + i)] = static_cast<uint8_t>(d.profile.fpga_ver[i]);
    d.fpga[kRegCtrl] = kCtrlRun;  // out of reset at power-on
    d.ddrPolicy = d.profile.ddr_policy;
    d.ddrK = d.profile.ddr_writes;
    d.syncPolicy = d.profile.sync_policy;
    d.syncK = d.profile.sync_cycles;
    d.markers = d.profile.markers;
    d.streamEndpoint = d.profile.endpoint;
    d.sensorModel = hasSensorModel(d.profile);
    if (d.sensorModel && d.profile.standby_reg != KYRSIM_NONE) {
        // The sensor powers up in standby: a value the predicate does not accept.
        const int mask = d.profile.standby_mask;
        d.sensor[d.profile.standby_reg] =
            static_cast<uint16_t>(d.profile.standby_value == 0 ? (mask & -mask) : 0);
    }
}

bool hasSensorModel(const kyrsim_profile& p) {
    return p.sensor != KYRSIM_SENSOR_NONE || p.standby_reg != KYRSIM_NONE;
}

bool triggerWait(const SimDevice& d) {
    const uint8_t modes = d.profile.wait_runs ? kCtrlTrig : (kCtrlWait | kCtrlTrig);
    return d.profile.has_fpga && (d.fpga[kRegCtrl] & modes) != 0;
}

bool triggerModes(const SimDevice& d) {
    return d.profile.has_fpga && d.profile.trigger_modes &&
           (d.fpga[kRegCtrl] & (kCtrlWait | kCtrlTrig)) == kCtrlTrig;
}

void logSensorWrite(SimDevice& d, int reg, int value, int bits) {
    kyrsim_sensor_write w{};
    w.seq = d.execSeq;
    w.thread = threadId();
    w.reg = reg;
    w.value = value;
    w.bits = bits;
    const int hold = d.profile.hold_reg;
    if (hold != KYRSIM_NONE) {
        auto it = d.sensor.find(hold);
        w.held = it != d.sensor.end() && it->second != 0 ? 1 : 0;
        w.is_hold = reg == hold ? 1 : 0;
    }
    w.latched = (d.fpga[kRegUpdate] & 1) ? 1 : 0;
    d.sensorLog.push_back(w);
    if (d.sensorLog.size() > kSensorLogMax) {
        d.sensorLog.pop_front();
        ++d.sensorLogDropped;
    }
}

int fpgaRead(const SimDevice& d, int reg) {
    if (reg != kRegStatus) return d.fpga[static_cast<size_t>(reg)];
    const bool ddrReady =
        d.profile.has_ddr && (d.ddrPolicy == KYRSIM_DDR_READY ||
                              (d.ddrPolicy == KYRSIM_DDR_AFTER_WRITES && d.ddrWrites >= d.ddrK));
    uint8_t v = d.fpga[kRegStatus] & ~(kStatusDdrReady | kStatusBufValid);
    if (ddrReady) v |= kStatusDdrReady;
    if (d.bufValid) v |= kStatusBufValid;
    if (d.syncPolicy != KYRSIM_SYNC_AS_SET) {
        const bool sync = d.syncPolicy == KYRSIM_SYNC_READY ||
                          (d.syncPolicy == KYRSIM_SYNC_AFTER_CYCLES && d.syncCycles >= d.syncK);
        v = static_cast<uint8_t>(sync ? (v | kStatusSync) : (v & ~kStatusSync));
    }
    return v;
}

namespace {

bool sensorHolds(const SimDevice& d, int reg, int mask, int value) {
    auto it = d.sensor.find(reg);
    const int v = it == d.sensor.end() ? 0 : it->second;
    return (v & mask) == value;
}

}  // namespace

bool sensorUnparked(const SimDevice& d) {
    const kyrsim_profile& p = d.profile;
    return p.stream_mask == 0 || sensorHolds(d, p.stream_reg, p.stream_mask, p.stream_value);
}

bool sensorPowered(const SimDevice& d) {
    const kyrsim_profile& p = d.profile;
    if (p.standby_reg != KYRSIM_NONE && !sensorHolds(d, p.standby_reg, p.standby_mask, p.standby_value))
        return false;
    return sensorUnparked(d);
}

void updateGate(SimDevice& d) {
    bool open = d.plugged && d.streaming && d.gpifTaken;
    if (d.profile.has_fpga) {
        const uint8_t ctrl = d.fpga[kRegCtrl];
        open = open && (ctrl & kCtrlRun) && !(ctrl & kCtrlStop);
    }
    open = open && (!d.sensorModel || sensorPowered(d));
    if (open && !d.gateOpen) d.gateOpenSinceUs = nowUs();
    if (!open && d.gateOpen) abandonFrame(d);
    d.gateOpen = open;
    if (d.fpga[kRegDataFmt] & kFmtDdrBypass) d.bufValid = false;
}

bool requestAccepted(int requestType, int request, int value, int index, int length) {
    int dir;
    if (requestType == kTypeVendorOut)
        dir = KYRSIM_DIR_OUT;
    else if (requestType == kTypeVendorIn)
        dir = KYRSIM_DIR_IN;
    else
        return false;
    for (const auto& f : kForms)
        if (f.code == request && f.dir == dir && f.value.has(value) && f.index.has(index) &&
            f.length.has(length))
            return true;
    return false;
}

int executeRequest(SimDevice& d, int requestType, int request, int value, int index, unsigned char* data,
                   int length) {
    const bool in = (requestType & 0x80) != 0;
    if (firmwareStalls(d, in, request, value, index, length)) return LIBUSB_ERROR_PIPE;
    switch (request) {
        case 0x85:
            answerHumidity(d, data);
            return 2;
        case 0xA0: {
            const uint32_t addr = static_cast<uint32_t>(value) | (static_cast<uint32_t>(index) << 16);
            const uint8_t holdBefore = cpuHold(d);
            for (int i = 0; i < length; ++i) {
                if (in)
                    data[i] = ramByte(d, addr + static_cast<uint32_t>(i));
                else
                    setRamByte(d, addr + static_cast<uint32_t>(i), data[i]);
            }
            if (!in) ramWritten(d, addr, length, holdBefore);
            return length;
        }
        case 0xA6:
            logSensorWrite(d, value, index, 16);
            d.sensor[value] = static_cast<uint16_t>(index);
            ++d.sensorWrites[value];
            return 0;
        case 0xA7: {
            auto it = d.sensor.find(value);
            const uint16_t v = it == d.sensor.end() ? 0 : it->second;
            data[0] = static_cast<unsigned char>(v >> 8);  // big-endian on the wire
            data[1] = static_cast<unsigned char>(v & 0xFF);
            return 2;
        }
        case 0xA9:
            if (length == 0) {
                d.streaming = true;
                ++d.streamStarts;
                return 0;
            } else {
                auto& page = eeprom(d, kEepromDevices - 1);
                const size_t base = static_cast<size_t>(value);
                for (int i = 0; i < length; ++i) {
                    if (in)
                        data[i] = page[base + static_cast<size_t>(i)];
                    else
                        page[base + static_cast<size_t>(i)] = data[i];
                }
                return length;
            }
        case 0xAA:
            d.streaming = false;
            ++d.streamStops;
            abandonFrame(d);
            return 0;
        case 0xAD:
            data[0] = d.cfg.fw_answer[0];
            data[1] = d.cfg.fw_answer[1];
            return 2;
        case 0xB0:
        case 0xB1:
            setGuide(d, value, request == 0xB0);
            return 0;
        case 0xB2:
            d.coolerDa = value;
            setCoolerDa(d, value);
            return 0;
        case 0xB3:
            answerTemperatureI2c(d, data);
            return 2;
        case 0xB4:
            data[0] = static_cast<unsigned char>(d.cfg.usb3_host ? 1 : 0);
            return 1;
        case 0xB5:
            d.xferCount = (static_cast<uint32_t>(value) << 16) | static_cast<uint32_t>(index);
            return 0;
        case 0xB6:
            logSensorWrite(d, value, index & 0xFF, 8);
            d.sensor[value] = static_cast<uint16_t>(index & 0xFF);
            ++d.sensorWrites[value];
            return 0;
        case 0xB7: {
            auto it = d.sensor.find(value);
            data[0] = static_cast<unsigned char>(it == d.sensor.end() ? 0 : it->second & 0xFF);
            return 1;
        }
        case 0xBA:
        case 0xBB: {
            auto& e = eeprom(d, value);
            for (int i = 0; i < length; ++i) {
                const size_t a = (static_cast<size_t>(index) + static_cast<size_t>(i)) % kEepromSize;
                if (in)
                    data[i] = e[a];
                else
                    e[a] = data[i];
            }
            return length;
        }
        case 0xBC:
            data[0] = static_cast<unsigned char>(fpgaRead(d, value));
            return 1;
        case 0xBD:
            writeFpga(d, value, index);
            return 0;
        case 0xBE:
            d.gpifTaken = value == 1;
            return 0;
        case 0xC2:
        case 0xC3: {
            if (d.gpifTaken) ++d.flashUnframed;
            const uint32_t addr = static_cast<uint32_t>(index) * 256u;
            if (addr + static_cast<uint32_t>(length) > kFlashSize) return LIBUSB_ERROR_PIPE;
            if (!in && d.flashBusyLeft > 0) return length;  // a busy NOR part ignores the program command
            for (int i = 0; i < length; ++i) {
                const uint32_t a = addr + static_cast<uint32_t>(i);
                auto& sector = flashSector(d, a / kFlashSector);
                if (in)
                    data[i] = sector[a % kFlashSector];
                else
                    sector[a % kFlashSector] &= data[i];  // programming only clears bits
            }
            return length;
        }
        case 0xC4:
            if (d.gpifTaken) ++d.flashUnframed;
            if (!in) {
                auto& sector = flashSector(d, static_cast<uint32_t>(index));
                std::fill(sector.begin(), sector.end(), 0xFF);
                d.flashBusyLeft = d.flashBusyPolls;
                return 0;
            }
            data[0] = d.flashBusyLeft > 0 ? 1 : 0;
            if (d.flashBusyLeft > 0) --d.flashBusyLeft;
            return 1;
        case 0xC7:
            answerTemperatureAdc(d, data);
            return 2;
        case 0xC8:
            std::memcpy(data, d.cfg.serial, 8);
            return 8;
        case 0xFD:
            data[0] = static_cast<unsigned char>(d.fdAnswer);  // 0: parallel interface idle
            return 1;
        case 0xAB:
        case 0xAC:
            d.out16 = request == 0xAC;
            return 0;
        default:  // 0xA3, 0xA4, 0xAE, 0xAF: accepted and logged
            return 0;
    }
}

namespace {

bool validReg(int reg) { return reg >= 0 && reg <= 0xFFFF; }

// The read-out modes of a KYRSIM_SENSOR_MODES profile are usable.
bool validModes(const kyrsim_profile& p) {
    if (p.sensor != KYRSIM_SENSOR_MODES) return true;
    if (!validReg(p.mode_reg) || p.mode_count < 1 || p.mode_count > KYRSIM_MAX_MODES || p.start_x_step < 1 ||
        p.start_x_reg < 1 || p.start_y_reg < 1)
        return false;
    if (p.crop_reg != KYRSIM_NONE && !validReg(p.crop_reg)) return false;
    if (p.crop_reg2 != KYRSIM_NONE && !validReg(p.crop_reg2)) return false;
    for (int i = 0; i < p.mode_count; ++i)
        if (p.mode_factor[i] < 1 || p.mode_factor[i] > 8 || p.mode_dummy[i] < 0 || p.mode_blank[i] < 0 ||
            p.mode_row_offset[i] < 0 || p.mode_bits[i] < 8 || p.mode_bits[i] > 16)
            return false;
    return true;
}

}  // namespace

}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

int kyrsim_product_ids(int* out, int max) {
    const int n = static_cast<int>(sizeof(kProductIds) / sizeof(kProductIds[0]));
    if (out)
        for (int i = 0; i < n && i < max; ++i) out[i] = kProductIds[i];
    return n;
}

int kyrsim_get_profile(int product_id, kyrsim_profile* out) {
    if (!out) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    *out = profileFor(product_id);
    return 0;
}

int kyrsim_set_profile(int product_id, const kyrsim_profile* p) {
    if (!p || (p->endpoint != 0x81 && p->endpoint != 0x82) || p->markers < KYRSIM_MARKERS_NONE ||
        p->markers > KYRSIM_MARKERS_C || p->ddr_policy < KYRSIM_DDR_READY ||
        p->ddr_policy > KYRSIM_DDR_NEVER || p->sensor_clock_khz < 0 || p->sensor < KYRSIM_SENSOR_NONE ||
        p->sensor > KYRSIM_SENSOR_MODES || !validModes(*p) ||
        (p->sensor != KYRSIM_SENSOR_NONE && (p->sensor_width < 1 || p->sensor_height < 1)) ||
        p->hold_reg < KYRSIM_NONE || p->hold_reg > 0xFFFF || p->standby_reg < KYRSIM_NONE ||
        p->standby_reg > 0xFFFF ||
        (p->standby_reg != KYRSIM_NONE &&
         (p->standby_mask < 1 || p->standby_mask > 0xFFFF || (p->standby_value & ~p->standby_mask) != 0)) ||
        p->color < KYRSIM_BAYER_RGGB || p->color > KYRSIM_MONO || (p->has_ddr != 0 && p->has_ddr != 1) ||
        p->bin_reg < KYRSIM_NONE || p->bin_reg > 0xFFFF || p->bin_value < 0 || p->bin_value > 0xFF ||
        p->start_units < 0 || p->start_units > 16 || (p->wait_runs != 0 && p->wait_runs != 1) ||
        p->start_x_reg < 0 || p->start_x_reg > 0xFFFE || p->start_y_reg < 0 || p->start_y_reg > 0xFFFE ||
        p->stream_mask < 0 || p->stream_mask > 0xFFFF ||
        (p->stream_mask != 0 && (p->stream_reg < 0 || p->stream_reg > 0xFFFF ||
                                 (p->stream_value & ~p->stream_mask) != 0)) ||
        p->sync_policy < KYRSIM_SYNC_AS_SET || p->sync_policy > KYRSIM_SYNC_NEVER || p->sync_cycles < 0 ||
        (p->readout_gated != 0 && p->readout_gated != 1))
        return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    state().profileOverrides[product_id] = *p;
    return 0;
}

int kyrsim_device_profile(int handle, kyrsim_profile* out) {
    if (!out) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    *out = d->profile;
    return 0;
}

int kyrsim_set_ddr_policy(int handle, int policy, int k) {
    if (policy < KYRSIM_DDR_READY || policy > KYRSIM_DDR_NEVER || k < 0) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->ddrPolicy = policy;
    d->ddrK = k;
    d->ddrWrites = 0;
    return 0;
}

int kyrsim_set_sync_policy(int handle, int policy, int k) {
    if (policy < KYRSIM_SYNC_AS_SET || policy > KYRSIM_SYNC_NEVER || k < 0) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->syncPolicy = policy;
    d->syncK = k;
    d->syncCycles = 0;
    d->syncArmed = false;
    return 0;
}

int kyrsim_sync_cycles(int handle) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? d->syncCycles : -1;
}

int kyrsim_set_fd_answer(int handle, int value) {
    if (value < 0 || value > 0xFF) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->fdAnswer = value;
    return 0;
}

int kyrsim_fpga_reg(int handle, int reg) {
    if (reg < 0 || reg >= kFpgaRegs) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? fpgaRead(*d, reg) : -1;
}

int kyrsim_set_fpga_reg(int handle, int reg, int value) {
    if (reg < 0 || reg >= kFpgaRegs || value < 0 || value > 0xFF) return -1;
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->fpga[static_cast<size_t>(reg)] = static_cast<uint8_t>(value);
    updateGate(*d);
    s.cv.notify_all();
    return 0;
}

int kyrsim_fpga_pending(int handle) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? static_cast<int>(d->latched.size()) : -1;
}

int kyrsim_sensor_reg(int handle, int reg) {
    if (reg < 0 || reg > 0xFFFF) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    auto it = d->sensor.find(reg);
    return it == d->sensor.end() ? 0 : it->second;
}

int kyrsim_set_sensor_reg(int handle, int reg, int value) {
    if (reg < 0 || reg > 0xFFFF || value < 0 || value > 0xFFFF) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->sensor[reg] = static_cast<uint16_t>(value);
    updateGate(*d);
    state().cv.notify_all();
    return 0;
}

int kyrsim_sensor_writes(int handle, int reg) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    auto it = d->sensorWrites.find(reg);
    return it == d->sensorWrites.end() ? 0 : it->second;
}

int kyrsim_sensor_regs(int handle, int* regs, int* values, int max) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d || max < 0) return -1;
    std::vector<std::pair<int, int>> written;
    for (const auto& kv : d->sensorWrites)
        if (kv.second > 0) {
            auto it = d->sensor.find(kv.first);
            written.emplace_back(kv.first, it == d->sensor.end() ? 0 : it->second);
        }
    std::sort(written.begin(), written.end());
    for (size_t i = 0; i < written.size() && static_cast<int>(i) < max; ++i) {
        if (regs) regs[i] = written[i].first;
        if (values) values[i] = written[i].second;
    }
    return static_cast<int>(written.size());
}

int kyrsim_sensor_log_count(int handle) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? static_cast<int>(d->sensorLog.size()) : -1;
}

int kyrsim_sensor_log_get(int handle, int i, struct kyrsim_sensor_write* out) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d || !out || i < 0 || static_cast<size_t>(i) >= d->sensorLog.size()) return -1;
    *out = d->sensorLog[static_cast<size_t>(i)];
    return 0;
}

long long kyrsim_sensor_log_dropped(int handle) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? d->sensorLogDropped : -1;
}

int kyrsim_sensor_log_clear(int handle) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->sensorLog.clear();
    d->sensorLogDropped = 0;
    return 0;
}

int kyrsim_set_firmware_answer(int handle, int byte0, int byte1) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->cfg.fw_answer[0] = static_cast<unsigned char>(byte0);
    d->cfg.fw_answer[1] = static_cast<unsigned char>(byte1);
    return 0;
}

int kyrsim_set_usb3(int handle, int usb3) {
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->cfg.usb3_host = usb3 ? 1 : 0;
    return 0;
}

int kyrsim_set_serial(int handle, const unsigned char* serial8) {
    if (!serial8) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    std::memcpy(d->cfg.serial, serial8, 8);
    return 0;
}

int kyrsim_guide_state(int handle, int direction) {
    if (direction < 0 || direction > 3) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? (d->guide[static_cast<size_t>(direction)] ? 1 : 0) : -1;
}

int kyrsim_guide_change_count(int handle, int direction) {
    if (direction < 0 || direction > 3) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    return d ? static_cast<int>(d->guideLog[static_cast<size_t>(direction)].size()) : -1;
}

int kyrsim_guide_change(int handle, int direction, int i, int* on, long long* time_us) {
    if (direction < 0 || direction > 3) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    const auto& log = d->guideLog[static_cast<size_t>(direction)];
    if (i < 0 || static_cast<size_t>(i) >= log.size()) return -1;
    if (on) *on = log[static_cast<size_t>(i)].on ? 1 : 0;
    if (time_us) *time_us = log[static_cast<size_t>(i)].timeUs;
    return 0;
}

int kyrsim_set_temperature_mc(int handle, int millicelsius) {
    if (millicelsius < -100000 || millicelsius > 150000) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->cooler.tempC = millicelsius / 1000.0;
    return 0;
}

int kyrsim_set_humidity(int handle, int percent) {
    if (percent < 0 || percent > 100) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->humidity = percent;
    return 0;
}

int kyrsim_flash_read(int handle, int addr, unsigned char* buf, int len) {
    if (!buf || addr < 0 || len < 0 || static_cast<long long>(addr) + len > kFlashSize) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    for (int i = 0; i < len; ++i) {
        const uint32_t a = static_cast<uint32_t>(addr + i);
        auto it = d->flash.find(a / kFlashSector);
        buf[i] = it == d->flash.end() ? 0xFF : it->second[a % kFlashSector];
    }
    return 0;
}

int kyrsim_flash_write(int handle, int addr, const unsigned char* buf, int len) {
    if (!buf || addr < 0 || len < 0 || static_cast<long long>(addr) + len > kFlashSize) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    for (int i = 0; i < len; ++i) {
        const uint32_t a = static_cast<uint32_t>(addr + i);
        flashSector(*d, a / kFlashSector)[a % kFlashSector] = buf[i];
    }
    return 0;
}

int kyrsim_set_flash_busy_polls(int handle, int polls) {
    if (polls < 0) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->flashBusyPolls = polls;
    return 0;
}

int kyrsim_ram_read(int handle, unsigned int addr, unsigned char* buf, int len) {
    if (!buf || len < 0) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    for (int i = 0; i < len; ++i) buf[i] = ramByte(*d, addr + static_cast<uint32_t>(i));
    return 0;
}

int kyrsim_eeprom_read(int handle, int dev, int addr, unsigned char* buf, int len) {
    if (!buf || dev < 0 || dev >= kEepromDevices || addr < 0 || len < 0 ||
        static_cast<long long>(addr) + len > kEepromSize)
        return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    auto& e = eeprom(*d, dev);
    std::memcpy(buf, e.data() + addr, static_cast<size_t>(len));
    return 0;
}

}  // extern "C"

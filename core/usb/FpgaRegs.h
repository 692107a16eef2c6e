// Register map of the camera's FPGA. Registers are 8 bits wide and reached
// one at a time with the FPGA register vendor requests; a value wider than
// 8 bits spreads over consecutive registers, least significant byte at the
// lowest number.
#ifndef KYR_FPGA_REGS_H
#define KYR_FPGA_REGS_H

#include <stdint.h>

// Register numbers.
constexpr uint16_t FPGA_REG_CTRL = 0;            // control word (FPGA_CTRL_*)
constexpr uint16_t FPGA_REG_UPDATE = 1;          // update latch: 1 holds the following writes, 0 applies them
constexpr uint16_t FPGA_REG_HBLK = 2;            // 2-3: horizontal blanking / start offset
constexpr uint16_t FPGA_REG_WIDTH = 4;           // 4-5: output line width in pixels
constexpr uint16_t FPGA_REG_VBLK = 6;            // 6-7: vertical blanking / lines skipped before the window
constexpr uint16_t FPGA_REG_HEIGHT = 8;          // 8-9: output lines
constexpr uint16_t FPGA_REG_DATA_FMT = 10;       // data format (FPGA_FMT_*)
constexpr uint16_t FPGA_REG_SIGNAL = 11;         // trigger and sensor signals (FPGA_SIG_*)
constexpr uint16_t FPGA_REG_GAIN_R = 12;         // red digital gain, 128 = x1
constexpr uint16_t FPGA_REG_GAIN_G1 = 13;        // first green digital gain
constexpr uint16_t FPGA_REG_GAIN_G2 = 14;        // second green digital gain
constexpr uint16_t FPGA_REG_GAIN_B = 15;         // blue digital gain
constexpr uint16_t FPGA_REG_VMAX = 16;           // 16-18: frame length in lines
constexpr uint16_t FPGA_REG_HMAX = 19;           // 19-20: line length in clock units
constexpr uint16_t FPGA_REG_EXP_TIME = 21;       // 21-23: FPGA-timed exposure
constexpr uint16_t FPGA_REG_BUF_CTRL = 24;       // DDR frame cache control (FPGA_BUF_*)
constexpr uint16_t FPGA_REG_POWER = 25;          // power, heater and fan (FPGA_POWER_*)
constexpr uint16_t FPGA_REG_26 = 26;             // written 4 or 1 by some drivers at initialisation
constexpr uint16_t FPGA_REG_VER_TYPE = 28;       // read only: version layout and trigger capability
constexpr uint16_t FPGA_REG_VER = 29;            // 29-33, read only: version word and digits
constexpr uint16_t FPGA_REG_EXT_IO = 34;         // extended I/O value
constexpr uint16_t FPGA_REG_STATUS = 35;         // read only: status (FPGA_STATUS_*)
constexpr uint16_t FPGA_REG_BANDWIDTH = 36;      // 36-37: output pacing value
constexpr uint16_t FPGA_REG_COOL_POWER = 38;     // cooler drive 0-255
constexpr uint16_t FPGA_REG_BIN = 39;            // bin mode and type (FPGA_BIN_*)
constexpr uint16_t FPGA_REG_TRIG_CFG = 40;       // external trigger configuration (FPGA_TRIG_*)
constexpr uint16_t FPGA_REG_SYNC_CFG = 41;       // sync outputs (FPGA_SYNC_*)
constexpr uint16_t FPGA_REG_HEATER_POWER = 42;   // anti-dew heater power in percent
constexpr uint16_t FPGA_REG_TRIG_EXP_TIME = 44;  // 44-47: external-trigger exposure time in us
constexpr uint16_t FPGA_REG_SYNC_A_DELAY = 48;   // 48-51: sync output A delay
constexpr uint16_t FPGA_REG_SYNC_A_KEEP = 52;    // 52-55: sync output A duration
constexpr uint16_t FPGA_REG_SYNC_B_DELAY = 56;   // 56-59: sync output B delay
constexpr uint16_t FPGA_REG_SYNC_B_KEEP = 60;    // 60-63: sync output B duration
constexpr uint16_t FPGA_REG_BIN_DATA_LEN = 64;   // 64-67: frame payload length of the binned stream
constexpr uint16_t FPGA_REG_USB_HOST = 69;       // 1 = USB-3 host, 0 = USB 2 (written by some drivers)
constexpr uint16_t FPGA_REG_80 = 80;             // written 1 inside an update hold by one driver family
constexpr uint16_t FPGA_REG_212 = 212;           // written 202 by one driver family at initialisation

// Register 0, control word.
constexpr uint8_t FPGA_CTRL_RUN = 0x01;     // 0 = held in reset
constexpr uint8_t FPGA_CTRL_LVDS = 0x06;    // bits 1-2: sensor data lanes
constexpr uint8_t FPGA_CTRL_LVDS_1 = 0x02;  // bit 1 of the lane setting
constexpr uint8_t FPGA_CTRL_LVDS_2 = 0x04;  // bit 2 of the lane setting
constexpr uint8_t FPGA_CTRL_STOP = 0x10;    // 1 = frame output stopped
constexpr uint8_t FPGA_CTRL_MASTER = 0x20;  // the FPGA drives the sensor timing
constexpr uint8_t FPGA_CTRL_WAIT = 0x40;    // wait mode
constexpr uint8_t FPGA_CTRL_TRIG = 0x80;    // trigger mode

// Register 1, update latch.
constexpr uint8_t FPGA_UPDATE_HOLD = 1;
constexpr uint8_t FPGA_UPDATE_APPLY = 0;

// Register 10, data format.
constexpr uint8_t FPGA_FMT_ADC12 = 0x01;        // sensor ADC 12 bits, else 10
constexpr uint8_t FPGA_FMT_PATTERN_OFF = 0x02;  // set = test pattern off
constexpr uint8_t FPGA_FMT_OUT16 = 0x10;        // 16-bit pixel output
constexpr uint8_t FPGA_FMT_DDR_MULTI = 0x20;    // DDR multi-frame cache
constexpr uint8_t FPGA_FMT_DDR_BYPASS = 0x40;   // DDR memory bypassed

// Register 11, signals.
constexpr uint8_t FPGA_SIG_TRIGGER = 0x01;       // trigger / soft trigger signal
constexpr uint8_t FPGA_SIG_XHS_STOP = 0x10;      // stop the sensor's horizontal sync
constexpr uint8_t FPGA_SIG_SENSOR_RESET = 0x80;  // sensor reset line

// Register 24, DDR frame cache control.
constexpr uint8_t FPGA_BUF_RELOAD = 0x01;   // send again the frame held in the DDR cache
constexpr uint8_t FPGA_BUF_DDR_INIT = 128;  // DDR (re)initialise request (the whole value)

// Register 25, power.
constexpr uint8_t FPGA_POWER_LOW = 0x01;      // low power
constexpr uint8_t FPGA_POWER_WARM = 0x40;     // anti-dew heater on
constexpr uint8_t FPGA_POWER_FAN_OFF = 0x80;  // cooler fan off

// Register 35, status.
constexpr uint8_t FPGA_STATUS_DDR_READY = 0x01;
constexpr uint8_t FPGA_STATUS_BUF_VALID = 0x04;  // a frame is held in the DDR cache and can be sent again
constexpr uint8_t FPGA_STATUS_BIT4 = 0x10;       // read by one driver family's DDR check

// Register 39, binning.
constexpr uint8_t FPGA_BIN_MODE_MASK = 0x03;  // bits 0-1: FPGA_BIN_MODE
constexpr uint8_t FPGA_BIN_TYPE = 0x80;       // clear = mono bin

// Register 40, external trigger configuration.
constexpr uint8_t FPGA_TRIG_SOURCE = 0x01;
constexpr uint8_t FPGA_TRIG_EXP = 0x02;
constexpr uint8_t FPGA_TRIG_SOFT_MODE = 0x04;
constexpr uint8_t FPGA_TRIG_TYPE = 0x10;
constexpr uint8_t FPGA_TRIG_VALID_TYPE = 0x20;

// Register 41, sync outputs.
constexpr uint8_t FPGA_SYNC_A_ON = 0x01;
constexpr uint8_t FPGA_SYNC_B_ON = 0x02;
constexpr uint8_t FPGA_SYNC_A_LEVEL = 0x10;
constexpr uint8_t FPGA_SYNC_B_LEVEL = 0x20;

// Register 28: the version layout and trigger capability byte.
constexpr uint8_t FPGA_VER_TYPE_OLD_LAYOUT = 3;     // below: old version layout
constexpr uint8_t FPGA_VER_TYPE_TRIG_EDGE = 0xA0;   // 0xA0-0xBF: trigger camera with edge modes
constexpr uint8_t FPGA_VER_TYPE_TRIG_LEVEL = 0xC0;  // 0xC0 and above: edge and level modes

// Sensor data lane setting of register 0 bits 1-2. 0 and 4 clear both bits,
// 1 sets both, 2 sets bit 2 only, 3 sets bit 1 only.
enum LVDS_CHANNEL : int {
    LVDS_CHANNEL_0 = 0,
    LVDS_CHANNEL_1 = 1,
    LVDS_CHANNEL_2 = 2,
    LVDS_CHANNEL_3 = 3,
    LVDS_CHANNEL_4 = 4,
};

// Sensor ADC width for register 10 bit 0.
enum ADC_BIT : int {
    ADC_10BIT = 0,
    ADC_12BIT = 1,
};

// FPGA bin mode, register 39 bits 0-1.
enum FPGA_BIN_MODE : int {
    FPGA_BIN_MODE_0 = 0,
    FPGA_BIN_MODE_1 = 1,
    FPGA_BIN_MODE_2 = 2,
    FPGA_BIN_MODE_3 = 3,
};

#endif

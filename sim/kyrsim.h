/*
 * kyrsim: control API of the camera simulator.
 *
 * libkyrsim_model.so models a USB bus with simulated cameras on it; its front
 * ends answer a host's calls from it: libkyrsim.so implements the libusb-1.0
 * calls the camera library makes, libkyrsim_usbfs.so (kyrsim_usbfs.h) the
 * usbfs ioctls of the real libusb-1.0 in a umockdev test bed. Tests
 * (C++ directly, Python through ctypes) use the functions below to plug and
 * unplug cameras, look at their registers and at the requests they received,
 * and switch faults on and off. All state is process-wide.
 *
 * Conventions: a "handle" is the simulator's own number for one plugged camera
 * (>= 0; never reused, a replug gives a new one). Functions taking a handle
 * return -1 when the handle names no plugged camera, unless said otherwise.
 * Only plain C types appear, so ctypes can call every function.
 */
#ifndef KYRSIM_H
#define KYRSIM_H

#ifdef __cplusplus
extern "C" {
#endif

#define KYRSIM_VENDOR_ID 0x2e7b /* vendor ID of every supported camera */
#define KYRSIM_ANY (-1)         /* wildcard in fault rules and filters */

/* Direction of a control request (bit 7 of bmRequestType). */
#define KYRSIM_DIR_OUT 0
#define KYRSIM_DIR_IN 1

/* ------------------------------------------------------------------------ */
/* Bus                                                                       */
/* ------------------------------------------------------------------------ */

/* Description of a camera to plug. Fill it with kyrsim_config_init first. */
struct kyrsim_device_config {
    int vendor_id;              /* USB vendor ID (default 0x2e7b) */
    int product_id;             /* USB product ID; selects the device profile */
    int bus;                    /* bus number, 1..255 */
    char ports[32];             /* port chain "1,3" from the root, 0..7 numbers 1..255; "" = none readable */
    int usb3_host;              /* answer of the USB-3 host query: 1 on a USB-3 port (default), 0 on USB 2 */
    unsigned char serial[8];    /* factory serial number; all zero = the camera has none */
    unsigned char fw_answer[2]; /* answer to the firmware-version request (default 'V', 0x31) */
};

/* Fills cfg with defaults for a camera of product_id on bus and ports (NULL = none) with a serial unique in
 * the process. */
void kyrsim_config_init(struct kyrsim_device_config* cfg, int product_id, int bus, const char* ports);

/* Unplugs every camera, clears faults, holds, logs, counters, options and profile changes; open libusb
 * objects stay valid. */
void kyrsim_reset(void);

/* Plugs a camera with default settings; ports like "1,3" (NULL or "" = no port numbers readable); a handle >=
 * 0, or -1. */
int kyrsim_plug(int product_id, int bus, const char* ports);

/* Plugs a camera described by cfg; a handle >= 0, or -1 when cfg is invalid. */
int kyrsim_plug_ex(const struct kyrsim_device_config* cfg);

/* Unplugs a camera: held and in-flight requests end with LIBUSB_ERROR_NO_DEVICE; 0 on success, -1 for an
 * unknown handle. */
int kyrsim_unplug(int handle);

/* Number of cameras plugged in now. */
int kyrsim_device_count(void);

/* 1 when the handle names a plugged camera, else 0. */
int kyrsim_is_plugged(int handle);

/* Handle of the plugged camera at bus and ports ("1,3"), or -1. */
int kyrsim_device_at(int bus, const char* ports);

/* Lists the given cameras first, in this order, the rest after them in bus and port order; n = 0 restores the
 * default order. */
int kyrsim_set_list_order(const int* handles, int n);

/* Copies up to max product IDs of the supported-camera table into out (may be NULL); returns the table size
 * (113). */
int kyrsim_product_ids(int* out, int max);

/* ------------------------------------------------------------------------ */
/* Device profiles (per product ID; applied when a camera is plugged)       */
/* ------------------------------------------------------------------------ */

/* Register 35 bit 0 (DDR ready) policies. */
#define KYRSIM_DDR_READY 0        /* always ready */
#define KYRSIM_DDR_AFTER_WRITES 1 /* ready after ddr_writes writes of 128 to register 24 */
#define KYRSIM_DDR_NEVER 2        /* never ready */

/* Frame marker generations on the bulk endpoint. */
#define KYRSIM_MARKERS_NONE 0 /* raw image, no markers */
#define KYRSIM_MARKERS_A 1    /* u16 0x5A7E, counter ... counter, 0x3CF0 */
#define KYRSIM_MARKERS_B 2    /* u16 0xAA11 ... 0x11AA, no counters */
#define KYRSIM_MARKERS_C 3    /* u32 0xBB00AA11 at the start, nothing else */

/* Temperature sensor kinds (answer formats of requests 0xB3 and 0xC7). */
#define KYRSIM_TEMP_TMP100 0 /* 0xB3: 12-bit two's complement, 1/16 degree; 0xC7: 12-bit thermistor ADC */
#define KYRSIM_TEMP_TMP451 1 /* 0xB3: whole degrees in byte 1, sixteenths in byte 0 */
#define KYRSIM_TEMP_ADC8 2   /* 0xC7: 8-bit thermistor ADC */

#define KYRSIM_MAX_MODES 4 /* read-out modes of a KYRSIM_SENSOR_MODES sensor */

/* Register 35 bit 4 (FPGA in sync with the sensor) policies. */
#define KYRSIM_SYNC_AS_SET 0       /* reads as preloaded with kyrsim_set_fpga_reg (0 at plug) */
#define KYRSIM_SYNC_READY 1        /* always set */
#define KYRSIM_SYNC_AFTER_CYCLES 2 /* set after k FPGA stop/start cycles made while the sensor streams */
#define KYRSIM_SYNC_NEVER 3        /* never set */

struct kyrsim_profile {
    int has_fpga;    /* 1: frames gated by FPGA register 0 and sized by its window registers */
    int fpga_ver[6]; /* power-on values of the read-only FPGA registers 28..33 */
    int ddr_policy;  /* KYRSIM_DDR_* */
    int ddr_writes;  /* k for KYRSIM_DDR_AFTER_WRITES */
    int markers;     /* KYRSIM_MARKERS_* */
    int endpoint;    /* bulk IN endpoint of the frame stream: 0x81 or 0x82 */
    int temp_kind;   /* KYRSIM_TEMP_* */
    /* Frame timing: clock of the FPGA's line and frame counters in kHz (0 = frames are not paced by the
     * timing registers). See kyrsim_set_frame_interval. */
    int sensor_clock_khz;
    /* Sensor description (KYRSIM_SENSOR_*); with one, the scene is drawn on the sensor's pixel array of
     * sensor_width x sensor_height and read out as the sensor's registers say. See kyrsim_set_sensor_model.
     */
    int sensor;
    int sensor_width;
    int sensor_height;
    /* Sensor side as data (fields added after the ones above; kyrsim_get_profile fills them for every
     * product, so a profile read, changed and set back keeps working). sensor_clock_khz above is the line
     * clock: one line lasts HMAX x 1000 / sensor_clock_khz microseconds. */
    int hold_reg;     /* sensor register that holds the sensor's register writes, or KYRSIM_NONE */
    int standby_reg;  /* sensor register of the standby predicate, or KYRSIM_NONE (no standby modelled) */
    int standby_mask; /* the sensor streams while (standby_reg & standby_mask) == standby_value */
    int standby_value;
    int color;   /* KYRSIM_BAYER_* (colour, first pixel of the array) or KYRSIM_MONO; the scene follows it */
    int has_ddr; /* 1: the FPGA has the DDR frame buffer; 0: DDR never ready, register 24 ignored, no
                    output pacing of registers 36-37 */
    /* KYRSIM_SENSOR_SONY layout variants (0 = the 832's). */
    int bin_reg;   /* the sensor bins 2 x 2 while this register holds bin_value; 0 = 0x301B; KYRSIM_NONE: the
                      sensor does not bin */
    int bin_value; /* 0 = 1 */
    int start_units; /* the start registers count this many units a pixel (2: half pixels); 0 = 1 */
    /* 1: FPGA register 0's wait mode (bit 6) without its trigger mode (bit 7) keeps frames flowing (the 807);
     * 0: either holds frames for the trigger signal. */
    int wait_runs;
    /* Window start registers of the sensor layout (x and y, each low byte then high byte); 0 = the layout's
     * own (0x303C and 0x3044 for KYRSIM_SENSOR_SONY). */
    int start_x_reg;
    int start_y_reg;
    /* Bits of the ADC while FPGA register 10 bit 0 is set, left-aligned in 16-bit output; 0 = 12. */
    int adc_bits;
    /* 1: FPGA register 0's trigger mode (bit 7) without its wait mode (bit 6) runs the trigger modes of
     * register 40 (see kyrsim_set_trigger_input); 0: the trigger signal's fall ends an exposure. */
    int trigger_modes;
    /* A second power-state register of sensors whose power takes two (a wake/standby register above and a
     * stream/park register here): with stream_mask not 0 the sensor streams only while also
     * (stream_reg & stream_mask) == stream_value; stream_mask 0: no second register. */
    int stream_reg;
    int stream_mask;
    int stream_value;
    /* KYRSIM_SENSOR_MODES layout (see kyrsim_set_sensor_model): the read-out mode is the entry of the mode
     * arrays whose code mode_reg holds (mode_count entries, 1..KYRSIM_MAX_MODES). */
    int mode_reg;
    int mode_count;
    int mode_code[KYRSIM_MAX_MODES];       /* mode_reg's value of the mode */
    int mode_factor[KYRSIM_MAX_MODES];     /* the sensor bins factor x factor (1 = full resolution) */
    int mode_dummy[KYRSIM_MAX_MODES];      /* dummy columns at the start of every line */
    int mode_blank[KYRSIM_MAX_MODES];      /* blanking lines before the first row */
    int mode_row_offset[KYRSIM_MAX_MODES]; /* k: the start-row register holds the first array row + k */
    int mode_bits[KYRSIM_MAX_MODES];       /* significant bits of the mode's ADC */
    /* The sensor crops each line at start_x_step x (start_x_reg, two bytes) array columns while crop_reg
     * holds crop_value and, with crop_reg2 not KYRSIM_NONE, crop_reg2 holds crop_value2; otherwise it reads
     * the whole (binned) line. */
    int crop_reg;
    int crop_value;
    int crop_reg2;
    int crop_value2;
    int start_x_step;
    /* Register 35 bit 4 (the FPGA is in sync with the sensor): KYRSIM_SYNC_*, k for AFTER_CYCLES. */
    int sync_policy;
    int sync_cycles;
    /* 1: the trigger signal's fall in wait and trigger mode reads a frame out only while the sensor is
     * unparked (the stream_reg predicate holds) and XHS runs (FPGA register 11 bit 4 clear); otherwise no
     * frame comes and the DDR holds none. 0: it always reads one out. */
    int readout_gated;
};

#define KYRSIM_NONE (-1) /* no such register */

/* Colour of the pixel array: the Bayer phase at its origin, or mono. */
#define KYRSIM_BAYER_RGGB 0
#define KYRSIM_BAYER_GRBG 1
#define KYRSIM_BAYER_GBRG 2
#define KYRSIM_BAYER_BGGR 3
#define KYRSIM_MONO 4

#define KYRSIM_SENSOR_NONE 0 /* frames show the scene relative to the FPGA window */
#define KYRSIM_SENSOR_SONY 1 /* start x 0x303C/D and y 0x3044/5, 2 x 2 binning 0x301B = 1 */
#define KYRSIM_SENSOR_MODES 2 /* read-out modes by a mode register, dummy columns, FPGA blanking skip */
/* The 832 (0x832b, 0x832f) profiles: KYRSIM_SENSOR_SONY, 3840 x 2160, line clock 20000 kHz, hold register
 * 0x3001, standby predicate 0x3000 & 0xFF == 0, RGGB, DDR. The 814 (0x814b, 0x814f) and 827 (0x827b,
 * 0x827f) profiles: the same sensor layout, hold, standby, colour and line clock; 3840 x 2160 binning 2 x 2
 * with 0x3020 = 1 (814), 1920 x 1080 with the start in half pixels (827); DDR on 0x814f and 0x827f only.
 * The 807 (0x811a, 0x811e, 0x807e) profiles: no sensor layout, 8288 x 5644 mono, line clock 20000 kHz,
 * hold register 0x302B, standby predicate 0x3000 & 0xFF == 0, wait mode alone keeps frames flowing, the
 * trigger modes, register 28 = 0xC0 (edge and level triggers); DDR on 0x811e and 0x807e. The 811 (0x811b,
 * 0x811f): the 807's without the trigger modes (register 28 below 0xA0), 4144 x 2822 RGGB, 14-bit ADC;
 * DDR on 0x811f only.
 * The 821 (0x821a mono, 0x821e mono, 0x821b RGGB): KYRSIM_SENSOR_SONY with the start at 0x3120/1 and
 * 0x3122/3, 1608 x 1104, line clock 20000 kHz, hold register 0x3034, the same standby, DDR.
 * The 829 (0x8299, 0x829e; 1632 x 1248) and 837 (0x8379, 0x837e; 816 x 624): the 821's layout, clock, hold
 * and standby, mono; DDR on all but 0x8379.
 * The 831 (0x831a 1456 x 1088 without DDR, 0x831e 728 x 544 with DDR): KYRSIM_SENSOR_SONY with the start
 * at 0x3310/1 and 0x3312/3 and no sensor binning, RGGB, line clock 20000 kHz, hold register 0x3008, the
 * same standby.
 * The 817 (0x817b, 0x817f, 1920 x 1080) and 820 (0x820b, 0x820f, 3840 x 2160) profiles: the 832's but for
 * the sensor's size. The 836 (0x836b, 0x836d, 0x836f): the 832's layout, 1936 x 1096, window start row in
 * 0x3038/9, no sensor binning; DDR on 0x836f only. The 815 (0x815b, 0x815f; 3840 x 2160) and 801 (0x801b,
 * 0x801f; 2616 x 1960) profiles: KYRSIM_SENSOR_NONE (the frame follows the FPGA window), line clock
 * 20000 kHz, hold 0x3001, standby 0x3000 as the 832's, RGGB, DDR only on 0x815f and 0x801f.
 * The 825 (0x825b, 0x825f; 2712 x 1536): the 815's but for the sensor's size; DDR only on 0x825f.
 * The S7100 mono (0x710e): KYRSIM_SENSOR_MODES, 6248 x 4176, line clock 20000 kHz, no hold register, power
 * from two registers: 0x000 bit 2 wake and bit 0 standby (streams while 0x000 & 0x05 == 0x04) and 0x1EE (1
 * streams, 5 parks), mono, DDR, register 35 bit 4 ready, the long exposure's readout gated by 0x1EE and
 * XHS. Modes by 0x001: 0x00 full (12 bits), 0x05 2 x 2
 * and 0x07 3 x 3 binned (10 bits); dummy columns 24, 18, 11; blanking lines 45, 25, 23; k 25, 25, 27; the
 * crop while 0x0A7 = 1, from 16 x (0x0A8 | 0x0A9 << 8); first row in 0x008/9. The S7100 colour (0x710a):
 * the same, RGGB (the sensor's binning keeps the mosaic). The S7300 mono (0x730b) and colour (0x730a, RGGB):
 * the same family at 9576 x 6388 with stream switch 0x19E, register 28 = 0xC0 and the trigger modes; modes
 * 0x00 full (12 bits), 0x80 high speed, 0x85 2 x 2 and 0x89 3 x 3 (10 bits); dummy columns 24, 24, 16, 16;
 * blanking lines 49, 49, 29, 27; k 25, 25, 25, 27; the crop while 0x0A5 = 1 and 0x187 = 4, from 16 x
 * (0x0A6 | 0x0A7 << 8); first row in 0x006/7.
 * The 802 (0x802a): no sensor layout, line clock 20000 kHz, no hold register, standby predicate 0x0000 & 0xFF
 * == 0, RGGB, no DDR. Other FPGA products: no sensor layout, no hold or standby register, RGGB, DDR;
 * products without FPGA: no DDR. */

/* Copies the profile plugged cameras of product_id get (defaults for unknown IDs); 0, or -1 when out is NULL.
 */
int kyrsim_get_profile(int product_id, struct kyrsim_profile* out);

/* Replaces the profile of product_id for cameras plugged afterwards (until kyrsim_reset); 0, or -1 when
 * invalid. */
int kyrsim_set_profile(int product_id, const struct kyrsim_profile* profile);

/* Copies the profile the camera was plugged with into out; 0, or -1 when the handle is unknown or out is
 * NULL.
 */
int kyrsim_device_profile(int handle, struct kyrsim_profile* out);

/* Sets register 35 bit 0 behaviour of one camera (KYRSIM_DDR_*, k for AFTER_WRITES); counting starts anew. */
int kyrsim_set_ddr_policy(int handle, int policy, int k);

/* Sets register 35 bit 4 behaviour of one camera (KYRSIM_SYNC_*, k for AFTER_CYCLES). A cycle is an FPGA
 * stop (register 0 bit 4 set) made while the sensor's power registers let it stream, and the start (bit 4
 * cleared) after it; counting starts anew, and a stop made before the call does not count. 0, or -1. */
int kyrsim_set_sync_policy(int handle, int policy, int k);

/* Number of FPGA stop/start cycles counted for register 35 bit 4 since the policy was set, or -1. */
int kyrsim_sync_cycles(int handle);

/* ------------------------------------------------------------------------ */
/* Registers                                                                 */
/* ------------------------------------------------------------------------ */

/* The FPGA register's value as a read request would see it (applied writes only), or -1. */
int kyrsim_fpga_reg(int handle, int reg);

/* Preloads an FPGA register (read-only ones too) without the latch; register 35 bits 0 and 2 keep following
 * the DDR policy and the frame cache; 0, or -1. */
int kyrsim_set_fpga_reg(int handle, int reg, int value);

/* Number of FPGA register writes held by the update latch (register 1 = 1) and not yet applied, or -1. */
int kyrsim_fpga_pending(int handle);

/* The sensor register's value (0..0xFFFF; 0 when never written), or -1. */
int kyrsim_sensor_reg(int handle, int reg);

/* Preloads a sensor register (for instance a read-only chip ID); 0, or -1. */
int kyrsim_set_sensor_reg(int handle, int reg, int value);

/* Number of write requests a sensor register received (8- and 16-bit), or -1. */
int kyrsim_sensor_writes(int handle, int reg);

/* The sensor registers the camera has written since it was plugged (preloads do not count), in ascending
 * order, with their values now: up to max of them into regs and values (either may be NULL); the number
 * written (all of them, even beyond max), or -1. Two cameras' register files compare this way. */
int kyrsim_sensor_regs(int handle, int* regs, int* values, int max);

/* One sensor register write as the camera received it (requests 0xB6 and 0xA6). */
struct kyrsim_sensor_write {
    long long seq;             /* the request's number in the control request log (kyrsim_request.seq) */
    unsigned long long thread; /* calling thread (compare with kyrsim_thread_id) */
    int reg;
    int value;
    int bits;    /* 8 or 16 */
    int held;    /* 1 when the profile's hold register (0x3001, 0x302B, 0x3034, 0x3008 ... by the sensor)
                    held a non-zero value before this write; 0 without a hold register */
    int is_hold; /* 1 for a write of the hold register itself */
    int latched; /* 1 while FPGA register 1 (the update latch) was 1 */
};

/* The camera's sensor write log, oldest first (the last 1048576 writes are kept): number of entries, or -1;
 * entry i into out (0, or -1); entries dropped from its front, or -1; empties it (0, or -1). kyrsim_reset
 * forgets it with the camera. */
int kyrsim_sensor_log_count(int handle);
int kyrsim_sensor_log_get(int handle, int i, struct kyrsim_sensor_write* out);
long long kyrsim_sensor_log_dropped(int handle);
int kyrsim_sensor_log_clear(int handle);

/* ------------------------------------------------------------------------ */
/* Identity, guide port, environment                                         */
/* ------------------------------------------------------------------------ */

/* Sets the two bytes the firmware-version request answers (first 'V' or anything else). */
int kyrsim_set_firmware_answer(int handle, int byte0, int byte1);

/* Sets the USB-3 host answer (1 or 0). */
int kyrsim_set_usb3(int handle, int usb3);

/* Sets the byte request 0xFD (parallel interface state) answers, 0..255 (0 at plug, idle). 0, or -1. */
int kyrsim_set_fd_answer(int handle, int value);

/* Sets the 8-byte factory serial number (all zero = none). */
int kyrsim_set_serial(int handle, const unsigned char* serial8);

/* State of a guide output (direction 0..3): 1 on, 0 off, or -1. */
int kyrsim_guide_state(int handle, int direction);

/* Number of on/off changes a guide output has seen, or -1. */
int kyrsim_guide_change_count(int handle, int direction);

/* The i-th change of a guide output: new state into *on, time (kyrsim_now_us) into *time_us; 0, or -1. */
int kyrsim_guide_change(int handle, int direction, int i, int* on, long long* time_us);

/* Microseconds on the simulator's monotonic clock (the clock of every time stamp it reports). */
long long kyrsim_now_us(void);

/* Hands the log clock to the test's time source (on = 1) or back to real time (on = 0, the default; also
 * after kyrsim_reset). While handed over, kyrsim_now_us, the request log's start_us and end_us and the guide
 * outputs' change times move only with kyrsim_advance_model_time_us (the test's clock calls it for every
 * sleep), from the value they had at the hand-over; frame pacing, transfer and request time-outs and
 * kyrsim_frame_starts stay on real time. 0. */
int kyrsim_set_log_clock(int on);

/* Sets the temperature the board sensor and thermistor report, in thousandths of a degree Celsius, at once;
 * from there it moves toward the cooler's steady state as model time passes. */
int kyrsim_set_temperature_mc(int handle, int millicelsius);

/* Sets the ambient temperature (default 25 C) the camera settles to with the cooler off, in thousandths of a
 * degree Celsius. */
int kyrsim_set_ambient_mc(int handle, int millicelsius);

/* Time constant of the camera's temperature, in milliseconds (default 90000); 0, or -1. */
int kyrsim_set_cooler_time_constant_ms(int handle, int ms);

/* Advances the model clock of every plugged camera's cooler by us microseconds (no thread runs the model).
 * The cooler is driven by the last of request 0xB2 (DA) and FPGA register 38 (v, as DA = 272 - v * 256 / 220)
 * written; DA 255 or more is off, lower DA is more power p (0 .. 6.4, by the cooler's DA table). The
 * temperature moves toward ambient - 40 * p / 6.4 with the time constant; register 25 bit 7 (fan off) halves
 * the cooling, bit 6 (anti-dew heater) adds 0.5 C. */
void kyrsim_advance_model_time_us(long long us);

/* Sets the relative humidity the humidity request reports, in percent. */
int kyrsim_set_humidity(int handle, int percent);

/* ------------------------------------------------------------------------ */
/* Memories: SPI flash (16 MiB NOR), controller RAM, boot EEPROMs            */
/* ------------------------------------------------------------------------ */

/* Copies len bytes of the SPI flash from addr into buf; 0, or -1. */
int kyrsim_flash_read(int handle, int addr, unsigned char* buf, int len);

/* Stores len bytes into the SPI flash at addr as they are (no NOR rules); 0, or -1. */
int kyrsim_flash_write(int handle, int addr, const unsigned char* buf, int len);

/* Number of status polls after a sector erase that still read busy (default 2); 0, or -1. */
int kyrsim_set_flash_busy_polls(int handle, int polls);

/* Copies len bytes of the controller RAM from addr into buf; 0, or -1. */
int kyrsim_ram_read(int handle, unsigned int addr, unsigned char* buf, int len);

/* Copies len bytes of I2C boot EEPROM device dev (0..7, 64 KiB each; 8 = the loader-served page store) into
 * buf; 0, or -1. */
int kyrsim_eeprom_read(int handle, int dev, int addr, unsigned char* buf, int len);

/* ------------------------------------------------------------------------ */
/* Controller firmware                                                       */
/* ------------------------------------------------------------------------ */

/* What the USB controller runs. RAM writes (0xA0 OUT) work in every state; the CPU hold byte is RAM 0xE600.
 */
#define KYRSIM_FW_NORMAL \
    0 /* the camera's firmware (default): 0xA0 IN at address 0 and 0xA9 with data stall */
#define KYRSIM_FW_BOOTLOADER \
    1 /* the boot loader: RAM reads answer, a 1-byte read at 0 too; 0xA9 with data stalls */
#define KYRSIM_FW_LOADER 2 /* the loader firmware: 0xA9 with data pages the boot EEPROM store (device 8) */
/* Transitions: releasing the CPU (0xE600 from 1 to 0) after 2048 bytes at RAM 0 and 1427 bytes at 2048 were
 * written under the hold starts the loader; releasing it after anything else, or a data-less RAM write (the
 * program entry), runs the camera's firmware. A stall is LIBUSB_ERROR_PIPE and does not count as unexpected.
 */

/* Sets the firmware state (KYRSIM_FW_*); 0, or -1. */
int kyrsim_set_firmware_state(int handle, int state);

/* ------------------------------------------------------------------------ */
/* Device state queries                                                      */
/* ------------------------------------------------------------------------ */

#define KYRSIM_Q_STREAMING 1       /* 1 between stream start (0xA9) and stop (0xAA) */
#define KYRSIM_Q_GPIF_TAKEN 2      /* 1 while the parallel bus belongs to the image path (0xBE 1) */
#define KYRSIM_Q_COOLER_DA 3       /* last cooler drive value (0xB2) */
#define KYRSIM_Q_XFER_COUNT 4      /* last transfer count (0xB5), 32 bits */
#define KYRSIM_Q_CLAIMED 5         /* 1 while some handle holds interface 0 */
#define KYRSIM_Q_OPEN_HANDLES 6    /* open libusb handles on this camera */
#define KYRSIM_Q_USB_RESETS 7      /* libusb_reset_device calls that reached the camera */
#define KYRSIM_Q_CLEAR_HALTS_81 8  /* libusb_clear_halt calls on endpoint 0x81 */
#define KYRSIM_Q_CLEAR_HALTS_82 9  /* libusb_clear_halt calls on endpoint 0x82 */
#define KYRSIM_Q_HALTED 10         /* 1 while the stream endpoint is halted */
#define KYRSIM_Q_FRAMES 11         /* frames started on the stream since plug */
#define KYRSIM_Q_FRAMES_DONE 12    /* frames fully sent since plug */
#define KYRSIM_Q_INFLIGHT_BYTES 13 /* bytes of bulk transfers in flight */
#define KYRSIM_Q_INFLIGHT 14       /* bulk transfers in flight */
#define KYRSIM_Q_FRAME_BYTES 15    /* size of the frame the source would send now */
#define KYRSIM_Q_FPGA_RESETS 16    /* writes to FPGA register 0 with the run bit clear */
#define KYRSIM_Q_FLASH_UNFRAMED 17 /* SPI flash requests while the image path held the parallel bus */
#define KYRSIM_Q_CLOSED_BUSY 18    /* handles closed with bulk transfers still in flight */
#define KYRSIM_Q_ADDRESS 19        /* USB device address */
#define KYRSIM_Q_STREAM_STARTS 20  /* stream start requests (0xA9 without data) */
#define KYRSIM_Q_STREAM_STOPS 21   /* stream stop requests (0xAA) */
#define KYRSIM_Q_BUS 22            /* bus number */
#define KYRSIM_Q_RUNNING                                                               \
    23 /* 1 while frames may flow: streaming, bus taken, FPGA running and not stopped, \
          sensor out of standby (with a sensor description) */
#define KYRSIM_Q_COOLER_DRIVE 24    /* DA level of the cooler drive in force (255 = off) */
#define KYRSIM_Q_TEMPERATURE_MC 25  /* temperature now, in thousandths of a degree Celsius */
#define KYRSIM_Q_FRAME_PERIOD_US 40 /* time between frame starts the source uses now, in us (0 = unpaced) */
#define KYRSIM_Q_SENSOR_MODEL 41    /* 1 while the sensor description is in use */
#define KYRSIM_Q_TRIGGER_WAIT 42    /* 1 while wait or trigger mode holds back free-running frames */
#define KYRSIM_Q_LINK_RATE 43 /* the link's rate in force, bytes per second (see kyrsim_set_link_rate) */
#define KYRSIM_Q_OUTPUT_US 44 /* time a frame's bytes take to leave now, in microseconds (0 = at once) */
#define KYRSIM_Q_SENSOR_PERIOD_US 45 /* VMAX x HMAX x 1000 / line clock in microseconds (0 = not timed) */
#define KYRSIM_Q_TRIGGERS 57         /* triggers the trigger modes have seen (valid edges, ended levels) */

#define KYRSIM_Q_FW_STATE 30      /* KYRSIM_FW_* */
#define KYRSIM_Q_CPU_HOLD 31      /* the controller CPU's hold byte, RAM 0xE600 */
#define KYRSIM_Q_PROGRAM_ENTRY 32 /* address of the last data-less RAM write (program start), -1 = none */

/* A number describing the camera's state (KYRSIM_Q_*), or -1. */
long long kyrsim_query(int handle, int what);

/* ------------------------------------------------------------------------ */
/* Control request log                                                       */
/* ------------------------------------------------------------------------ */

#define KYRSIM_RESULT_PENDING (-1000) /* result of a request still in flight */

struct kyrsim_request {
    long long seq;             /* order of arrival, from 1 */
    unsigned long long thread; /* calling thread (compare with kyrsim_thread_id) */
    int device;                /* camera handle */
    int request_type;          /* bmRequestType */
    int request;               /* bRequest */
    int value;                 /* wValue */
    int index;                 /* wIndex */
    int length;                /* wLength */
    unsigned int timeout;      /* timeout in ms as passed */
    int result;                /* libusb result, or KYRSIM_RESULT_PENDING */
    int unexpected;            /* 1 when the camera did not accept the request (stalled) */
    int overlapped;            /* 1 when another control transfer of the camera was in progress */
    int faulted;               /* 1 when a fault rule acted on it */
    int data_len;              /* bytes in data: sent (OUT) or answered (IN), at most 64 */
    unsigned char data[64];
    long long start_us; /* kyrsim_now_us at arrival */
    long long end_us;   /* kyrsim_now_us at completion (0 while pending) */
};

/* Number of logged control requests. */
int kyrsim_log_count(void);

/* Copies entry i (0 = oldest) into out; 0, or -1. */
int kyrsim_log_get(int i, struct kyrsim_request* out);

/* Number of logged requests of a camera (or KYRSIM_ANY) with code request (or KYRSIM_ANY) and direction (or
 * KYRSIM_ANY). */
int kyrsim_log_count_matching(int handle, int request, int direction);

/* Empties the log (counters below keep their values). */
void kyrsim_log_clear(void);

/* The calling thread's id in the form the log records. */
unsigned long long kyrsim_thread_id(void);

/* Number of requests the cameras did not accept (wrong code, direction, value, index or length). */
int kyrsim_unexpected_count(void);

/* Number of control transfers that started on a camera while another one was inside it. */
int kyrsim_overlap_count(void);

/* Time every matching control transfer spends inside the camera (request KYRSIM_ANY = all), in microseconds.
 */
int kyrsim_set_latency(int handle, int request, int microseconds);

/* ------------------------------------------------------------------------ */
/* Control request faults                                                    */
/* ------------------------------------------------------------------------ */

#define KYRSIM_FAULT_ERROR \
    1 /* the transfer fails with arg (LIBUSB_ERROR_IO, _PIPE, _TIMEOUT, _NO_DEVICE ...); not executed */
#define KYRSIM_FAULT_SHORT 2 /* executed, but only arg bytes are transferred */
#define KYRSIM_FAULT_DELAY \
    3 /* waits arg ms first; at or beyond the transfer's timeout it fails with LIBUSB_ERROR_TIMEOUT */
#define KYRSIM_FAULT_HOLD                                                            \
    4 /* waits until kyrsim_release_holds; then fails with arg if arg < 0, else runs \
       */
#define KYRSIM_FAULT_FLIP_BIT                                                                              \
    5 /* executed; bit arg (bit arg % 8 of byte arg / 8) of an IN answer is inverted, if the answer has it \
       */
#define KYRSIM_FAULT_IGNORE                                                                              \
    6 /* an OUT request is answered as done, with its whole length, and not executed; IN requests run as \
         usual */

struct kyrsim_fault {
    int device;    /* camera handle or KYRSIM_ANY */
    int request;   /* bRequest or KYRSIM_ANY */
    int direction; /* KYRSIM_DIR_IN, KYRSIM_DIR_OUT or KYRSIM_ANY */
    int value;     /* wValue or KYRSIM_ANY */
    int index;     /* wIndex or KYRSIM_ANY */
    int nth;       /* first matching request acted on (1 = the first match) */
    int times;     /* number of matches acted on from the nth on; 0 = every one */
    int action;    /* KYRSIM_FAULT_* */
    int arg;       /* error code, byte count or milliseconds, by action */
};

/* Fills f with: any camera, any request, nth 1, times 1, the given action and arg. */
void kyrsim_fault_init(struct kyrsim_fault* f, int action, int arg);

/* Adds a rule (rules are tried in the order added; the first that acts wins); a rule id >= 0, or -1. */
int kyrsim_add_fault(const struct kyrsim_fault* f);

/* Number of requests a rule has acted on, or -1. */
int kyrsim_fault_hits(int rule);

/* Removes a rule; 0, or -1. Requests it holds stay held until released. */
int kyrsim_remove_fault(int rule);

/* Removes every rule (held requests stay held). */
void kyrsim_clear_faults(void);

/* Lets every held request go on. */
void kyrsim_release_holds(void);

/* Number of requests being held now. */
int kyrsim_held_count(void);

/* Waits until at least n requests are held; the number held, or -1 after timeout_ms. */
int kyrsim_wait_held(int n, int timeout_ms);

/* ------------------------------------------------------------------------ */
/* libusb call faults                                                        */
/* ------------------------------------------------------------------------ */

#define KYRSIM_CALL_INIT 1       /* libusb_init */
#define KYRSIM_CALL_GET_LIST 2   /* libusb_get_device_list */
#define KYRSIM_CALL_DESCRIPTOR 3 /* libusb_get_device_descriptor */
#define KYRSIM_CALL_OPEN 4       /* libusb_open */
#define KYRSIM_CALL_SET_CONFIG 5 /* libusb_set_configuration */
#define KYRSIM_CALL_CLAIM 6      /* libusb_claim_interface */
#define KYRSIM_CALL_CLEAR_HALT 7 /* libusb_clear_halt */
#define KYRSIM_CALL_RESET 8      /* libusb_reset_device */
#define KYRSIM_CALL_SUBMIT 9     /* libusb_submit_transfer */
#define KYRSIM_CALL_ALLOC 10     /* libusb_alloc_transfer: returns NULL (handle KYRSIM_ANY, any error < 0) */

/* The next `times` calls of kind `call` on camera handle (KYRSIM_ANY = any) fail with error; times -1 = until
 * cleared, 0 clears. */
int kyrsim_fail_call(int call, int handle, int error, int times);

/* As kyrsim_fail_call, but the matching calls before the nth from now (1 = the next) go through; 0, or -1. */
int kyrsim_fail_call_nth(int call, int handle, int error, int nth, int times);

/* The next n calls of libusb_init fail with error (0 = LIBUSB_ERROR_OTHER). */
void kyrsim_fail_init(int n, int error);

/* libusb_open of the camera fails with error (a LIBUSB_ERROR_* code; 0 = allowed again). */
int kyrsim_refuse_open(int handle, int error);

/* libusb_get_device_descriptor of the camera fails with error (0 = works again). */
int kyrsim_fail_descriptor(int handle, int error);

#define KYRSIM_RESET_NORMAL \
    0 /* USB side reset only: stream off, transfers ended, halts cleared, registers kept */
#define KYRSIM_RESET_REENUMERATE \
    1 /* answers LIBUSB_ERROR_NOT_FOUND; the camera's open handles die, it reappears at a new address */

/* Chooses what libusb_reset_device does to the camera. */
int kyrsim_set_reset_mode(int handle, int mode);

/* ------------------------------------------------------------------------ */
/* Resource counters                                                         */
/* ------------------------------------------------------------------------ */

int kyrsim_live_contexts(void);     /* libusb contexts initialised and not yet exited */
int kyrsim_open_handles(void);      /* device handles opened and not yet closed */
int kyrsim_outstanding_lists(void); /* device lists returned and not yet freed */
int kyrsim_device_refs(void);    /* device references held by the caller (lists, ref_device, open handles) */
int kyrsim_live_transfers(void); /* transfers allocated and not yet freed */
int kyrsim_inflight_transfers(void); /* transfers submitted whose callback has not yet run */
int kyrsim_freed_in_flight(
    void); /* libusb_free_transfer calls on a transfer in flight (a fault of the caller) */
int kyrsim_misuse_count(
    void); /* other calls the real libusb would crash or misbehave on (unknown pointers, double free) */

/* Last level given to libusb_set_option(LIBUSB_OPTION_LOG_LEVEL) on any context, as passed; -1 = none. */
int kyrsim_last_log_level(void);

/* Last valid level set that way on context ctx (NULL = the default one); -1 = none or ctx unknown. */
int kyrsim_context_log_level(const void* ctx);

/* ------------------------------------------------------------------------ */
/* Frame stream                                                              */
/* ------------------------------------------------------------------------ */

/* Frame size in bytes; 0 = from the FPGA window (width x height, x2 with 16-bit output). */
int kyrsim_set_frame_size(int handle, int bytes);

/* Marker generation of the frames (KYRSIM_MARKERS_*). */
int kyrsim_set_markers(int handle, int generation);

/* Value of the frame counter in the next frame (u16; starts at 0xFFFC so it wraps early). */
int kyrsim_set_frame_counter(int handle, int value);

/* Bulk IN endpoint that carries the frames (0x81 or 0x82). */
int kyrsim_set_stream_endpoint(int handle, int endpoint);

#define KYRSIM_SCENE_FRAME_NUMBER \
    1 /* bytes 0..3 of every row hold the frame's sequence number (u32 little-endian) */

/* Scene options (KYRSIM_SCENE_* bits); the scene is colour bars, gradients and a few stars. */
int kyrsim_set_scene(int handle, int flags);

/* Scene seed of the camera (>= 0). Seed s > 0 inverts bits 8..11 of every scene value by a pattern of its
 * own ((s - 1) % 15 + 1), so cameras whose seeds differ (and differ by a number that is not a multiple of
 * 15) show a different value at every pixel, in 8- and 16-bit output; seed 0 is the plain scene. Cameras
 * get 0, 1, 2 ... in the order they are plugged after kyrsim_reset. kyrsim_scene_pixel follows the seed.
 * Setting: 0, or -1; reading: the seed, or -1. */
int kyrsim_set_scene_seed(int handle, int seed);
int kyrsim_scene_seed(int handle);

/* Time between frame starts in microseconds, the frame's bytes all available at its start; 0 = from the
 * timing registers and the link (the default).
 *
 * Paced frames: a frame's bytes leave over its output time, progressively (byte k is available k / rate after
 * the frame's start), so transfers complete one after another. The rate is the link's (kyrsim_set_link_rate);
 * with the DDR buffer in use (profile has_ddr and register 10 bit 6 clear) it is also no more than the FPGA's
 * output of 400 MB/s times the pacing of registers 36-37 (v, little-endian): 25600 / (v + 256) percent, at
 * most 100. With the DDR bypassed registers 36-37 do not matter. FPGA profiles with a sensor_clock_khz read
 * out one frame per VMAX (registers 16-18) x HMAX (registers 19-20) clocks (VMAX or HMAX 0: no sensor
 * period). Frames start one frame interval apart: the longer of the sensor period and the output time, each
 * rounded up to whole microseconds. The simulator never drops a frame because the sensor outruns the link;
 * the slower of the two sets the pace. The registers are read when a frame starts and set when the next one
 * may start. KYRSIM_Q_FRAME_PERIOD_US gives the interval in force, kyrsim_frame_starts the start times.
 *
 * In wait or trigger mode (see kyrsim_set_sensor_model) a frame starts one sensor period (the fixed interval
 * when one is set) after the fall of register 11 bit 0 and then takes its output time; a resend of the DDR
 * cache (register 24 bit 0) starts when asked and takes its output time only. Neither moves the free-running
 * timing. kyrsim_set_unpaced wins over both. */
int kyrsim_set_frame_interval(int handle, int microseconds);

/* Makes the camera unpaced (on = 1: frames as fast as the transfers take them, bytes at once, triggered
 * frames at the fall; for benchmarks) or paced again (on = 0, the default); wins over
 * kyrsim_set_frame_interval. 0, or -1. */
int kyrsim_set_unpaced(int handle, int on);

/* Trigger modes (profiles with trigger_modes, FPGA register 0 bit 7 without bit 6): no free-running frames.
 * Register 40 chooses the input (bit 0: external, else register 11 bit 0, the soft trigger), edge or level
 * (bit 4 set: level) and the valid edge or level (bit 5 set: falling or low). An edge mode sends one frame
 * per valid edge, one sensor period (VMAX x HMAX) after it; a level mode exposes while the valid level holds
 * and sends the frame when it ends. With the DDR in use the frame is held and can be resent. A stopped FPGA
 * (register 0 bit 4) sees no trigger, and a stop drops triggered frames not yet sent. Sets the
 * external input's level (0 or 1; 0 at plug). 0, or -1 when the handle is unknown. */
int kyrsim_set_trigger_input(int handle, int level);

/* Rate of the camera's link in bytes per second; 0 = the port's default: 400000000 on a USB-3 port,
 * 43272000 on USB 2 (follows kyrsim_set_usb3). 0, or -1 when negative or the handle is unknown. */
int kyrsim_set_link_rate(int handle, long long bytes_per_second);

/* Copies the simulator-clock start times (kyrsim_now_us) of the camera's most recent frames, oldest first,
 * at most max of them (the last 256 are kept) into out (may be NULL); the number copied (available when out
 * is NULL), or -1. A frame starts when its first byte is available. */
int kyrsim_frame_starts(int handle, long long* out, int max);

/* Uses (on = 1) or ignores (on = 0) the camera's sensor description; 0, or -1 when the handle is unknown or
 * on = 1 and the profile has none (KYRSIM_SENSOR_NONE and no standby register). Cameras start with it in use
 * when their profile has one (0x832b and 0x832f: KYRSIM_SENSOR_SONY, 3840 x 2160, sensor clock 20000 kHz).
 *
 * With the description in use:
 * - with a standby predicate the sensor powers up in standby (standby_reg reads 1 when standby_value is 0,
 *   else 0) and frames flow only while (standby_reg & standby_mask) == standby_value; a frame being sent when
 *   the sensor enters standby is cut off, as when the FPGA stops;
 * With KYRSIM_SENSOR_SONY also:
 * - the scene is drawn on the whole pixel array (sensor_width x sensor_height, the profile's colour from the
 *   array's origin)
 *   and the frame shows it from the start pixel (x in 0x303C low byte, 0x303D high byte; y in 0x3044 and
 *   0x3045), row by row, as wide and as high as the FPGA window; pixels beyond the array are 0;
 * - with 0x301B = 1 the sensor bins 2 x 2 and keeps the Bayer pattern: frame pixel (x, y) is the mean
 *   (rounded down) of the array pixels (X + dx, Y + dy) with X = start x + 4 * (x / 2) + x % 2, Y likewise,
 *   dx and dy in {0, 2}.
 * With KYRSIM_SENSOR_MODES instead:
 * - the scene is drawn on the whole pixel array as above; the mode is the profile's entry whose code
 *   mode_reg holds (none: every pixel is 0). The sensor bins f x f (the mode's factor): a binned pixel is the
 *   mean (rounded down) of the f x f array pixels of its colour, which lie 2 apart in a colour array (so
 *   the mosaic stays), 1 apart in a mono one; binned column c covers array columns from f * c (mono) or
 *   2f * (c / 2) + c % 2 (colour), rows likewise;
 * - every line starts with the mode's dummy columns, then the binned columns from c0 to the end of the
 *   binned line (array width / f): c0 = start_x_step x (start_x_reg, 2 bytes) / f while the crop switch
 *   is on, else 0. The FPGA skips HBLK (registers 2-3) columns of each line and VBLK (6-7) lines: frame
 *   pixel (x, y) is line column HBLK + x of line VBLK + y; lines before the mode's blanking lines end, dummy
 *   columns and pixels beyond the array are 0. The first line after the blanking is binned row
 *   ((start_y_reg, 2 bytes) - k) / f, k the mode's row offset;
 * - 16-bit output carries the fewer of the mode's bits and the FPGA's (register 10 bit 0) left-aligned.
 * Without it the scene is drawn relative to the FPGA window and standby is not modelled. The profile's hold
 * register is data for the tests' checks of held writes: the simulator applies every sensor write at once.
 *
 * Independent of the description, an FPGA camera in wait or trigger mode (register 0 bit 6 or bit 7 set)
 * sends no free-running frames: it sends one frame each time register 11 bit 0 falls (the end of the
 * exposure), read out as kyrsim_set_frame_interval says, and a frame held in the DDR cache when asked to
 * resend it (register 24 bit 0). */
int kyrsim_set_sensor_model(int handle, int on);

/* The scene's 16-bit value at pixel (x, y) of the sensor's array, before binning and output formatting (the
 * 8-bit output carries its high byte, the 16-bit output its top 12 or 10 bits); -1 when the handle is
 * unknown, the profile has no sensor description or (x, y) lies outside the array. */
int kyrsim_scene_pixel(int handle, int x, int y);

/* Stream faults, each acting on `count` frames from the `first`-th frame to start from now on (0 = the next).
 */
#define KYRSIM_STREAM_STALL 1   /* the endpoint halts after arg bytes of the frame, until libusb_clear_halt */
#define KYRSIM_STREAM_NO_DATA 2 /* nothing is sent for arg ms (0 = until the fault is cleared) */
#define KYRSIM_STREAM_SHORT 3   /* the frame ends arg bytes early */
#define KYRSIM_STREAM_SHORT_512 4    /* the frame ends 512 bytes early */
#define KYRSIM_STREAM_EMPTY 5        /* arg transfers (at least 1) complete empty before the frame */
#define KYRSIM_STREAM_BAD_HEAD 6     /* the head marker is wrong */
#define KYRSIM_STREAM_BAD_TAIL 7     /* the tail marker is wrong */
#define KYRSIM_STREAM_BAD_COUNTER 8  /* the two counter copies differ */
#define KYRSIM_STREAM_COUNTER_SKIP 9 /* the counter jumps forward by arg (at least 1) before the frame */
#define KYRSIM_STREAM_UNPLUG 10      /* the camera is unplugged after arg bytes of the frame */
#define KYRSIM_STREAM_OVERFLOW \
    11 /* after arg bytes an oversized packet ends the transfer with LIBUSB_TRANSFER_OVERFLOW; frame lost */

/* Adds a stream fault; 0, or -1. */
int kyrsim_stream_fault(int handle, int kind, int arg, int first, int count);

/* Removes the camera's stream faults and ends a no-data period. */
int kyrsim_clear_stream_faults(int handle);

/* Halts a bulk endpoint now, as a stall would. */
int kyrsim_halt_endpoint(int handle, int endpoint);

/* Copies the last frame started (as generated, markers included, up to size bytes) into buf; its size (buf
 * may be NULL), or -1. */
int kyrsim_last_frame(int handle, unsigned char* buf, int size);

/* Most bytes of bulk transfers in flight on the camera (default 200 MiB, the host's USB buffer memory as the
 * cameras' udev rule sets it; the kernel's own default is 16 MiB); beyond it submit fails with
 * LIBUSB_ERROR_NO_MEM. */
int kyrsim_set_max_inflight(int handle, long long bytes);

/* Most callbacks one event-handling call runs (0 = every completed transfer, the default). */
void kyrsim_set_events_per_call(int n);

/* Event handling follows libusb: callbacks of completed transfers run inside libusb_handle_events* and inside
 * libusb_control_transfer (on a handle of the same context), on whichever thread calls them, one thread per
 * context at a time. */

/* While on, libusb_cancel_transfer on a bulk transfer of the camera succeeds but the transfer never comes
 * back: it stays in flight (kyrsim_inflight_transfers), receives nothing and its callback does not run. */
int kyrsim_lose_cancelled(int handle, int on);

/* Transfers lost that way that have not been finished. */
int kyrsim_lost_transfers(void);

/* Finishes every lost transfer as a late host controller would: its whole buffer is written (0xA5), then it
 * completes as cancelled (its callback runs at the next event call; none when its context has gone). The
 * number finished. */
int kyrsim_finish_lost_transfers(void);

#ifdef __cplusplus
}
#endif

#endif /* KYRSIM_H */

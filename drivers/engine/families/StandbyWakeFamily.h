// The frame of the cooled mode-table cameras with sensor standby and
// wake-up (the S7100 and S7300 families): constants, start-up, standby,
// streaming, exposure, gain law and bandwidth they share. A model adds its
// names, sizes, tables, modes, registers and window.
#ifndef KYR_STANDBY_WAKE_FAMILY_H
#define KYR_STANDBY_WAKE_FAMILY_H

#include "engine/DriverDesc.h"

// The frame's descriptor without a model: 16-bit mono on USB 3 with the
// DDR frame buffer, bins 1-4, gain 0 .. 700 (200) as a 12-bit power law with
// the high conversion gain from 100 and 6 dB digital steps above 460,
// offset from 0 (1), exposure 32 us .. 2000 s (10 ms), gamma 1 .. 100 (50),
// bandwidth 40 .. 100 % (80, 100 on USB 3, automatic), 20 MHz clock, cooler
// control 1, heater level 2, no guide port, the anti-dew heater. Start-up:
// a 10 ms pause after the FPGA version, the DDR tested, the FPGA's bin mode
// none, cooling level 40, parked at the end. Standby is bit 0 of sensor
// register 0x000, wake-up its bit 2; a stream starts from a stopped FPGA
// (wake, 10 ms, standby off, 15 ms) and stops into standby. The window is
// cropped by the sensor from a start column (the model's SSwitchedCropRule),
// the start aligned to 16 x 2 pixels. Exposure: shutter line SSH1 counted
// from the frame's start, the shortest line 1, long exposures from 1 s
// programmed as the frame + 5 ms. Read-out: grey, the marker words repaired
// from one row away. The start is kept on the sensor first and aligned
// after. Capture: the FPGA status read after every transfer, both lengths of
// a short frame logged and the versions read back after it, the GPIF status
// when DDR resends are given up, the stream reset at the 4th empty transfer.
// No names, sizes, tables, modes or registers of the model.
SDriverDesc StandbyWakeFamilyDesc();

// The family's sensor modes: 12-bit at bin 1, 10-bit high speed (in 8- and
// 16-bit output), the sensor's 2 x 2 binning for bins 2 and 4 and its 3 x 3
// binning for bin 3.
struct SStandbyWakeModes {
    const SSensorMode* p12Bit;
    const SSensorMode* pHighSpeed;
    const SSensorMode* pBin2x2;
    const SSensorMode* pBin3x3;
};
// Sets a model's modes, and its first timing words from the 12-bit mode.
void SetStandbyWakeModes(SDriverDesc* pDesc, const SStandbyWakeModes& modes);

// The frame's long-exposure script, with the sensor's stream switch at
// register kStreamReg (1 streams, 5 parks): 15 ms, the FPGA re-synchronised
// (up to 5 tries, from the status the last transfer left; the version reads
// after the last failure), the begin line, the trigger up; up to 1,000,999
// us one sleep of exposure - 200 ms; longer, 100 ms steps until the whole
// exposure has passed since the trigger rose, the sensor parked after step
// 6, low power after step 8, XHS stopped after step 10; low power off, 100
// ms, the sensor streaming again, 100 ms, XHS running, the trigger down;
// 1000 ms readout wait, at most 3 reloads. Built for the frame's two stream
// switches, 0x1EE and 0x19E.
template <uint16_t kStreamReg>
const SLongExpScript& StandbyWakeLongExp();

#endif

// The mono members of the FPGA-timed family (the 821, 829 and 837
// cameras): register hold 0x3034 and standby 0x3000, start-up tables walked
// without a hold, window at 0x3120-0x3127 with the start row aligned to 16,
// conversion gain 0x3510 and gain 0x3514/5 written in the hold, black level
// x 10 at 0x35C0/1 unheld, shutter line 0x3240-0x3242 with the shortest line
// 16, VBLK 21, a 10 ms pause before the FPGA starts streaming, 80 % automatic
// bandwidth on every host, markers repaired from one row away, empty
// transfers counted as dropped frames and the long-exposure script that
// switches low power on again during the wait. A model starts from these
// and adds its constants, tables, modes and limits; the 821 also changes
// the blanking, alignment, pause, shutter line, empty-transfer handling and
// long-exposure script.
#ifndef KYR_FPGA_TIMED_MONO_H
#define KYR_FPGA_TIMED_MONO_H

#include "engine/DriverDesc.h"

// The family's descriptor without a model: mono 12-bit on USB 3 with the
// DDR frame buffer, bins 1 and 2, RAW8 and RAW16, gain from 0 (200), offset
// 0 .. 120 (1), exposure 32 us .. 2000 s (10 ms), gamma 1 .. 100 (50),
// bandwidth 40 .. 100 % (80, automatic), 20 MHz clock; no names, sizes,
// gain map, tables or modes.
SDriverDesc FpgaTimedMonoDesc();

#endif

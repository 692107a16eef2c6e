// The mode-table sensors started and stopped by a stop switch of their own
// (sensor register 0x000: 0 streams, 1 stops) behind the stream switch
// 0x19E (1 streams, 5 parks), with the DDR frame buffer in every model,
// cooled or not: the S828's frame.
#ifndef KYR_STOP_SWITCH_FAMILY_H
#define KYR_STOP_SWITCH_FAMILY_H

#include "engine/DriverDesc.h"

// The frame's descriptor without a model: 3008 x 3008 pixels of 3.76 um
// with a 14-bit ADC, bins 1-4 (the sensor bins 2 x 2 for bins 2 and 4 and
// 3 x 3 for bin 3), gain 0 .. 600 (200) as the 12-bit power law with 6 dB
// digital steps above 460, written before the gain bands of 0x02D, 0x04D
// and 0x1C3-0x1C6; offset 0 .. 100 (1) x 10 with bit 0 cleared at
// 0x040/0x041 and its copy 0x042/0x043; the shutter line SSH1 in line pairs
// at 0x016/0x017 (in lines while the sensor bins 2 x 2), long exposures from
// 1 s programmed as the frame + 10 ms. Start-up: no pause after the FPGA
// version, the DDR tested, the FPGA's bin mode none, the cooler started
// without a cooling level, stopped at the end. The window: the sensor crops
// from a start column in 16-pixel units at full resolution; binned it reads
// whole lines and the FPGA skips the start. No trigger capture. No names,
// tables or modes of a model.
SDriverDesc StopSwitchFamilyDesc();

#endif

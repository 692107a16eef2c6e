// The standby-and-wake sensors whose gain takes other sensor settings by
// gain range (the S7300's sensor and its larger relatives), and the S7300
// family's frame built on them.
#ifndef KYR_BANDED_GAIN_FAMILY_H
#define KYR_BANDED_GAIN_FAMILY_H

#include "engine/DriverDesc.h"

// The sensor's gain, offset and exposure over the standby-and-wake family's
// laws. Gain: the power-law code to 0x02E/0x02F and its copy 0x030/0x031,
// digital steps x 16 to 0x03E, and before them the band of the gain stored:
// 0x02D, 0x04D and 0x3A2-0x3A6. Offset: x 10 to 0x040/0x041 and its copy
// 0x042/0x043, (x 100) / 16 while the sensor bins. Exposure: shutter line
// SSH1 = VMAX - 3 - n, at least 3 and at most VMAX - 3, to 0x016/0x017 in
// line pairs (a line below 6 written as 3) except while the sensor bins
// 2 x 2; a frame longer than the readout is n + 20 lines with SSH1 20; long
// exposures run the sensor at frames of the frame time + 10 ms.
void SetBandedGainSensorRules(SDriverDesc* pDesc);

// The S7300 family's frame: those rules on the standby-and-wake family,
// start-up rows after the table, the stream switch 0x19E (1 streams, 5
// parks; the long-exposure script parks it too) without a pause before the
// FPGA starts, a window cropped by the
// sensor from a start column (0x0A6/0x0A7 in 16-pixel units, switch 0x0A5)
// except at sensor bin 3, where it reads whole lines and the FPGA cuts the
// columns; start row at 0x006/0x007, rows at 0x008/0x009, line width
// (width + 24) at 0x18C/0x18D, bin mode 0x187; the window is written with
// the sensor awake. The trigger capture starts with the FPGA's trigger
// signal as it is and resets the endpoint once the sensor streams. No
// names, sizes, tables or modes of a model.
SDriverDesc BandedGainFamilyDesc();

#endif

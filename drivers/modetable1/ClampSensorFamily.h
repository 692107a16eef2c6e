// What the 814 and 827 models share: one sensor family with the register
// hold 0x3001 and standby 0x3000, a black-level clamp opened for video and
// closed for single exposures, the window registers after 0x301C = 4, the
// conversion-gain switch at 8 dB, the shutter line in 0x3050-0x3052 with a
// margin of 6 lines, sensor HMAX in 0x3028/0x3029 and the host constant
// 381000. A model's file sets its constants, tables, modes and differences
// on top.
#ifndef KYR_CLAMP_SENSOR_FAMILY_H
#define KYR_CLAMP_SENSOR_FAMILY_H

#include "engine/DriverDesc.h"

// Fills the family's part of a description: framing, streaming, clamp,
// window registers, clock and host constants, gain, offset, exposure and
// bandwidth rules (uncooled, without the DDR buffer).
void ApplyClampSensorFamily(SDriverDesc* pDesc);

// The model constants the family's cameras share; a model changes its own.
SModelConstants ClampSensorModel();

#endif

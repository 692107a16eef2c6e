// What the 814 and 827 models share: a sensor of the template's kind (its
// register hold, standby, window, streaming, black level and shutter line)
// with a black-level clamp opened for video and closed for single
// exposures, the window registers after 0x301C = 4, the conversion-gain
// switch at 8 dB, a margin of 6 shutter lines, sensor HMAX in
// 0x3028/0x3029, the host constant 381000, no DDR buffer and long exposures
// programmed as themselves. A model's file sets its constants, tables, modes
// and differences on top.
#ifndef KYR_CLAMP_SENSOR_FAMILY_H
#define KYR_CLAMP_SENSOR_FAMILY_H

#include "engine/DriverDesc.h"

// The family's description without a model (uncooled, without the DDR
// buffer): the template's constants with the guide port and trigger capture,
// framing, streaming, clamp, window registers, clock and host constants,
// gain, offset, exposure and bandwidth rules; no names, sizes, tables or modes.
SDriverDesc ClampSensorFamilyDesc();

#endif

// The thermistor table behind the camera's temperature conversion: a 10 kOhm
// (at 25 degrees C) NTC part from -50 to 113 degrees C in steps of one degree.
#ifndef KYR_TEMPERATURE_H
#define KYR_TEMPERATURE_H

#include <stdint.h>

// One row: a temperature and the part's resistance there. 12 bytes, the double
// unaligned, as the table has always been laid out.
#pragma pack(push, 4)
struct NTC_ROW {
    int32_t iTempC;
    double dResKOhm;
};
#pragma pack(pop)
static_assert(sizeof(NTC_ROW) == 12, "a thermistor row is 12 bytes");

constexpr int kNTCRows = 164;
// Resistance falls strictly with temperature.
extern const NTC_ROW g_NTCTable[kNTCRows];

#endif

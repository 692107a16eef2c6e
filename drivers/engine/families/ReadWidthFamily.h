// The large cooled mono cameras whose sensor reads a given count of columns
// from a start column (the S822 and S834): the S7300 family's frame and
// gain, offset and exposure rules with their own start-up, modes, window and
// capture differences. A model adds its names, sizes, tables, modes and
// start reach.
#ifndef KYR_READ_WIDTH_FAMILY_H
#define KYR_READ_WIDTH_FAMILY_H

#include "engine/DriverDesc.h"

// The family's descriptor without a model: gain 0 .. 600 (auto up to 300),
// offset 0 .. 200, no cooling level at start-up; five start-up rows after the
// table; the FPGA told the host type right after its reset (register 69);
// high speed only in 8-bit output (in 16-bit output SetHighSpeedMode only
// stores the flag unless the sensor bins); the window of SReadWidthRule with
// a read width of the columns + 160, rows + 20 while the sensor bins (bin
// mode 0) and + 1022 otherwise (bin mode 4); exposures longer than a frame
// are n + 500 lines; the capture reads no versions after a short frame and
// no GPIF status when reloads are given up.
SDriverDesc ReadWidthFamilyDesc();

// The modes' writes to register 0x001, each read, changed and written: the
// operating mode into bits 0-3 (bit 7 cleared, bits 4-6 kept), then the AD
// bits into bits 5-7. 12-bit: mode 0, AD 0; high speed: mode 0, AD 4;
// 2 x 2 binning: mode 4, AD 4; 3 x 3 binning: mode 5, AD 4.
extern const SRegBitsRow kReadWidthBits12Bit[2];
extern const SRegBitsRow kReadWidthBitsHighSpeed[2];
extern const SRegBitsRow kReadWidthBitsBin2x2[2];
extern const SRegBitsRow kReadWidthBitsBin3x3[2];

// The window rule of a model whose start register reaches iStartUnitMax
// units of 16 pixels.
SReadWidthRule ReadWidthWindow(int iStartUnitMax);

// The family's modes: 12-bit at bin 1, 10-bit high speed (8-bit output
// only), the sensor's 2 x 2 binning for bins 2 and 4 and its 3 x 3 binning
// for bin 3.
struct SReadWidthModes {
    const SSensorMode* p12Bit;
    const SSensorMode* pHighSpeed;
    const SSensorMode* pBin2x2;
    const SSensorMode* pBin3x3;
};
void SetReadWidthModes(SDriverDesc* pDesc, const SReadWidthModes& modes);

#endif

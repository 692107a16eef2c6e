// The sensor family that places its window through start registers with
// fixed offsets (the 815, 801 and 825 cameras): register hold 0x3001 and
// standby 0x3000, the rows written after the start-up table, the start and
// window registers, gain code gain / 3 without a conversion-gain switch,
// black level at 0x3302, shutter line at 0x3058, sensor line length at
// 0x3034 and the host constant 381000. A model of the family starts from
// these and adds its constants, tables, modes and limits.
#ifndef KYR_START_REG_FAMILY_H
#define KYR_START_REG_FAMILY_H

#include <initializer_list>

#include "engine/DriverDesc.h"

// The family's descriptor without a model: the constants its sensors share
// (2.0 um pixels, 12-bit ADC, RG colour, gain, offset, exposure, white
// balance and bandwidth ranges, 20 MHz clock), and no names, sizes, bins,
// tables or modes.
SDriverDesc StartRegFamilyDesc();

// The bins after 1 of a model, ended by 0.
void SetModelBins(SModelConstants& m, std::initializer_list<uint8_t> bins);

// The family's sensors that keep a frame length of their own (the 801 and
// 825): VMAX also to 0x3030-0x3032, 0x3018 = 4 first inside the hold of each
// start change, high speed re-applied also in 16-bit output, and the
// uncooled camera leaving the FPGA's output pacing alone.
void StartRegOwnFrameLength(SDriverDesc& d);

// The family's start and window registers and offsets; the model sets its
// horizontal start offset, vertical alignment, window end limit, rows value
// and the rows written first inside the start's hold.
SStartWindowRule StartRegFamilyWindow();

#endif

// The 809 model: a 5320 x 3956 colour camera with a 12-bit sensor of 3.3 um
// pixels read over LVDS lanes, with a register map of its own and no
// register hold. The FPGA cuts the window's columns, the sensor its rows;
// the gain is a 12-bit power law written to two register pairs; long
// exposures park the sensor in standby. Bins 1 to 4 in software, no high
// speed. CCameraS809MC is the uncooled camera without the DDR buffer;
// CCameraS809MC_Pro, its cooled twin with the buffer.
#ifndef KYR_CCAMERA_S809MC_H
#define KYR_CCAMERA_S809MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS809MC;

class CCameraS809MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS809MC();
};

#endif

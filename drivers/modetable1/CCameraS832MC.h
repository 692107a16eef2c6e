// The 832 model: a 3840 x 2160 colour camera with a 12-bit sensor of 2.9 um
// pixels, sensor 2 x 2 binning, a 10-bit high-speed mode and the FPGA DDR
// frame buffer. CCameraS832MC is the uncooled camera; CCameraS832MC_Pro, its
// cooled twin, is described by this description with its own differences.
#ifndef KYR_CCAMERA_S832MC_H
#define KYR_CCAMERA_S832MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS832MC;

class CCameraS832MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS832MC();
};

#endif

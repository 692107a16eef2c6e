// The 817 model: a 1920 x 1080 colour camera with a 12-bit sensor of 2.9 um
// pixels, sensor 2 x 2 binning at bin 2 (its only sensor bin), a 10-bit
// high-speed mode and the FPGA DDR frame buffer. CCameraS817MC is the
// uncooled camera; CCameraS817MC_Pro, its cooled twin, is described by this
// description with its own differences.
#ifndef KYR_CCAMERA_S817MC_H
#define KYR_CCAMERA_S817MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS817MC;

class CCameraS817MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS817MC();
};

#endif

// The 820 model: a 3840 x 2160 colour camera with a 12-bit sensor of 2.0 um
// pixels, sensor 2 x 2 binning (bin 4 adds a software 2 x 2), a 10-bit
// high-speed mode that bin and type changes keep, and the FPGA DDR frame
// buffer. CCameraS820MC is the uncooled camera; CCameraS820MC_Pro, its cooled
// twin, is described by this description with its own differences.
#ifndef KYR_CCAMERA_S820MC_H
#define KYR_CCAMERA_S820MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS820MC;

class CCameraS820MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS820MC();
};

#endif

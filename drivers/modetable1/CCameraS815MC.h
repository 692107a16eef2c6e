// The 815 model: a 3840 x 2160 colour camera with a 12-bit sensor of 2.0 um
// pixels of the start-register family, sensor 2 x 2 binning and a 10-bit
// high-speed mode. CCameraS815MC is the uncooled camera without the DDR
// frame buffer; its capture loop switches the FPGA's long-exposure modes on
// for each long pass.
#ifndef KYR_CCAMERA_S815MC_H
#define KYR_CCAMERA_S815MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS815MC;

class CCameraS815MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS815MC();
};

#endif

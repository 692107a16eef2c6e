// The 836 model: a 1936 x 1096 colour camera with a 12-bit sensor of 3.75 um
// pixels, a 10-bit high-speed mode chosen by a few register writes, no sensor
// binning, the line length set in the FPGA only and an SHS shutter.
// CCameraS836MC is the uncooled camera without DDR; CCameraS836MC_Pro and
// CCameraS836MC_C, the cooled ones, are described by this description with
// their own differences.
#ifndef KYR_CCAMERA_S836MC_H
#define KYR_CCAMERA_S836MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS836MC;
extern const SLongExpScript g_LongExpS836MC;

class CCameraS836MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS836MC();
};

#endif

// The 814 model: a 3840 x 2160 colour camera with a 12-bit sensor of 2.9 um
// pixels, sensor 2 x 2 binning, a 10-bit high-speed mode and a sensor clamp
// that is open for video and closed for single exposures. CCameraS814MC has
// no DDR frame buffer; CCameraS814MC_Pro, its cooled twin, has one.
#ifndef KYR_CCAMERA_S814MC_H
#define KYR_CCAMERA_S814MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS814MC;

class CCameraS814MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS814MC();
};

#endif

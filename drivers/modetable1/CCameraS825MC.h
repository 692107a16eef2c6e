// The 825 model: a 2712 x 1536 colour camera with a 12-bit sensor of 2.9 um
// pixels of the start-register family, bins 1 and 2 in software only, a
// 10-bit high-speed mode and a conversion-gain switch. CCameraS825MC is the
// uncooled camera without the DDR frame buffer.
#ifndef KYR_CCAMERA_S825MC_H
#define KYR_CCAMERA_S825MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS825MC;

class CCameraS825MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS825MC();
};

#endif

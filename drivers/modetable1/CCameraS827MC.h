// The 827 model: a 1920 x 1080 colour camera with a 12-bit sensor of 5.8 um
// pixels that counts its frame in half lines, a 10-bit high-speed mode and a
// sensor clamp that is open for video and closed for single exposures.
// CCameraS827MC has no DDR frame buffer; CCameraS827MC_Pro, its cooled twin,
// has one.
#ifndef KYR_CCAMERA_S827MC_H
#define KYR_CCAMERA_S827MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS827MC;

class CCameraS827MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS827MC();
};

#endif

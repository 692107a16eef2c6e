// The 821 colour camera: the 821's sensor code with an RG mosaic, the colour
// image types and white balance.
#ifndef KYR_CCAMERA_S821MC_H
#define KYR_CCAMERA_S821MC_H

#include "engine/EngineDriver.h"

class CCameraS821MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS821MC();
};

#endif

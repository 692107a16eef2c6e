// The S828 colour camera with cooler and DDR frame buffer.
#ifndef KYR_CCAMERA_S828MC_PRO_H
#define KYR_CCAMERA_S828MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS828MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS828MC_Pro();
};

#endif

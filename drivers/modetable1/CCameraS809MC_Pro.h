#ifndef KYR_CCAMERA_S809MC_PRO_H
#define KYR_CCAMERA_S809MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS809MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS809MC_Pro();
};

#endif

// The S828 mono camera with cooler and DDR frame buffer.
#ifndef KYR_CCAMERA_S828MM_PRO_H
#define KYR_CCAMERA_S828MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS828MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS828MM_Pro();
};

#endif

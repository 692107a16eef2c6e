// The S828 colour camera with guide port and DDR frame buffer, uncooled.
#ifndef KYR_CCAMERA_S828MC_H
#define KYR_CCAMERA_S828MC_H

#include "camera/CameraBase.h"
#include "engine/EngineDriver.h"

class CCameraS828MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS828MC();
};

#endif

#ifndef KYR_CCAMERA_S811MC_PRO_H
#define KYR_CCAMERA_S811MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/families/CropSensor.h"

class CCameraS811MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS811MC_Pro();
};

#endif

#ifndef KYR_CCAMERA_S807MM_PRO_H
#define KYR_CCAMERA_S807MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/families/CropSensor.h"

class CCameraS807MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS807MM_Pro();
};

#endif

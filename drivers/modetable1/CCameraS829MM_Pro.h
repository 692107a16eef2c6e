// The cooled 829 mono camera: the 829's sensor code on the cooled camera
// object, with its own names, product ID and sensitivity figures.
#ifndef KYR_CCAMERA_S829MM_PRO_H
#define KYR_CCAMERA_S829MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS829MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS829MM_Pro();
};

#endif

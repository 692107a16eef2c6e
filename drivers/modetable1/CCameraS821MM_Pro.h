// The cooled 821 mono camera: the 821's sensor code on the cooled camera
// object, with its own names and product ID and no guide port flag of its
// own.
#ifndef KYR_CCAMERA_S821MM_PRO_H
#define KYR_CCAMERA_S821MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS821MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS821MM_Pro();
};

#endif

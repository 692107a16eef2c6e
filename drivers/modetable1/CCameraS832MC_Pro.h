// The cooled 832: the 832's sensor, modes and window on the cooled camera
// object, with its own names, product ID, offset default and tables; no
// guide port flag of its own.
#ifndef KYR_CCAMERA_S832MC_PRO_H
#define KYR_CCAMERA_S832MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS832MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS832MC_Pro();
};

#endif

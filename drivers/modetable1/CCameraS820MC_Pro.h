// The cooled 820: the 820's sensor, modes and window on the cooled camera
// object, with its own names, product ID and start-up table; no guide port
// flag of its own.
#ifndef KYR_CCAMERA_S820MC_PRO_H
#define KYR_CCAMERA_S820MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS820MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS820MC_Pro();
};

#endif

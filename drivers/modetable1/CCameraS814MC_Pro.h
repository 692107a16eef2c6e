// The cooled 814: the 814's sensor, modes and window on the cooled camera
// object, with the DDR frame buffer, its own names, product ID and start-up
// table; no guide port flag of its own.
#ifndef KYR_CCAMERA_S814MC_PRO_H
#define KYR_CCAMERA_S814MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS814MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS814MC_Pro();
};

#endif

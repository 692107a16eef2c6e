// The cooled 836 without DDR: the 836's sensor, modes and window on the
// cooled camera object; the DDR switch only keeps its flag.
#ifndef KYR_CCAMERA_S836MC_C_H
#define KYR_CCAMERA_S836MC_C_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS836MC_C : public CEngineDriver<CCameraCool> {
  public:
    CCameraS836MC_C();
};

#endif

// The cooled 836 with the FPGA's DDR frame buffer: the 836's sensor, modes and
// window on the cooled camera object, with the DDR test at start-up, its own
// DDR switch, the FPGA's output pacing and the sensor clock stopped during
// long exposure waits; no guide port flag of its own.
#ifndef KYR_CCAMERA_S836MC_PRO_H
#define KYR_CCAMERA_S836MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS836MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS836MC_Pro();
};

#endif

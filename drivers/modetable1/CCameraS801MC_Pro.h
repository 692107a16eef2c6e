// The cooled 801: the 801's sensor, modes and window on the cooled camera
// object with the FPGA DDR frame buffer and its output pacing, its own
// names, product ID and start-up table; in long-exposure mode the sensor is
// programmed for a frame plus 10 ms while the FPGA times the exposure.
#ifndef KYR_CCAMERA_S801MC_PRO_H
#define KYR_CCAMERA_S801MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS801MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS801MC_Pro();
};

#endif

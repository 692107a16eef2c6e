// The cooled 825: the 825's sensor, modes and window on the cooled camera
// object with the FPGA DDR frame buffer, its own names and product ID, and
// the guide port kept; in long-exposure mode the sensor is programmed for a
// frame plus 10 ms while the FPGA times the exposure.
#ifndef KYR_CCAMERA_S825MC_PRO_H
#define KYR_CCAMERA_S825MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS825MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS825MC_Pro();
};

#endif

// The S822 mono camera with cooler and DDR frame buffer: an 11656 x 8750
// sensor of 3.76 um pixels with 12-bit and 10-bit high-speed modes, sensor
// binning 2 x 2 (bins 2 and 4) and 3 x 3 (bin 3), a window read from a start
// column for a given count of columns, soft and external triggers.
#ifndef KYR_CCAMERA_S822MM_PRO_H
#define KYR_CCAMERA_S822MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS822MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS822MM_Pro();
};

#endif

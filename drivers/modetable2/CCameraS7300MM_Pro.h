// The S7300 mono camera with cooler and DDR frame buffer: a 9576 x 6388
// sensor of 3.76 um pixels with 12-bit and 10-bit high-speed modes, sensor
// binning 2 x 2 (bins 2 and 4) and 3 x 3 (bin 3), a window cropped by the
// sensor from a start column in 16-pixel units, sensor standby and wake-up
// around the stream, soft and external triggers.
#ifndef KYR_CCAMERA_S7300MM_PRO_H
#define KYR_CCAMERA_S7300MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS7300MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS7300MM_Pro();
};

// The model's description, which its colour twin is built from.
const SDriverDesc& DescS7300MMPro();

#endif

// The S7100 mono camera with cooler and DDR frame buffer: a 6248 x 4176
// sensor of 3.76 um pixels with 12-bit and 10-bit high-speed modes, sensor
// binning 2 x 2 (bins 2 and 4) and 3 x 3 (bin 3), a window cropped by the
// sensor from a start column in 16-pixel units, sensor standby and wake-up
// around the stream.
#ifndef KYR_CCAMERA_S7100MM_PRO_H
#define KYR_CCAMERA_S7100MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS7100MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS7100MM_Pro();
};

// The model's description, which its colour twin is built from.
const SDriverDesc& DescS7100MMPro();

#endif

// The S7100 colour camera: the S7100 mono camera's sensor, modes, window,
// timing and capture with an RG Bayer mosaic (6248 x 4176): white balance,
// RGB24 and Y8 output, colour binning and automatic white balance.
#ifndef KYR_CCAMERA_S7100MC_PRO_H
#define KYR_CCAMERA_S7100MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS7100MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS7100MC_Pro();
};

#endif

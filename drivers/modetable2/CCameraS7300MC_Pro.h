// The S7300 colour camera: the S7300 mono camera's sensor, modes, window,
// timing and capture with an RG Bayer mosaic (9576 x 6388): white balance,
// RGB24 and Y8 output, colour binning and automatic white balance.
#ifndef KYR_CCAMERA_S7300MC_PRO_H
#define KYR_CCAMERA_S7300MC_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS7300MC_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS7300MC_Pro();
};

#endif

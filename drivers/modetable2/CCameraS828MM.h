// The S828 mono camera with guide port and DDR frame buffer, uncooled: a
// 3008 x 3008 sensor of 3.76 um pixels with a 14-bit ADC, sensor binning
// 2 x 2 (bins 2 and 4) and 3 x 3 (bin 3).
#ifndef KYR_CCAMERA_S828MM_H
#define KYR_CCAMERA_S828MM_H

#include "camera/CameraBase.h"
#include "engine/EngineDriver.h"

class CCameraS828MM : public CEngineDriver<CCameraBase> {
  public:
    CCameraS828MM();
};

// The model's description, which its cooled and colour twins are built from.
const SDriverDesc& DescS828MM();

#endif

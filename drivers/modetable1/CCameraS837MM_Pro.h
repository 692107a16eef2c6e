// The cooled 837 mono camera: the 837's sensor code on the cooled camera
// object with the DDR frame buffer.
#ifndef KYR_CCAMERA_S837MM_PRO_H
#define KYR_CCAMERA_S837MM_PRO_H

#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"

class CCameraS837MM_Pro : public CEngineDriver<CCameraCool> {
  public:
    CCameraS837MM_Pro();
};

#endif

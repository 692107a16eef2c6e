// The cooled 831: 728 x 544 from its own start-up rows, a shorter line and
// the DDR frame buffer, on the cooled camera object; no guide port flag of
// its own.
#ifndef KYR_CCAMERA_S831MC_PRO_H
#define KYR_CCAMERA_S831MC_PRO_H

#include "cooling/CameraCool.h"
#include "CCameraS831MC.h"

class CCameraS831MC_Pro : public CS831Driver<CCameraCool> {
  public:
    CCameraS831MC_Pro();
};

#endif

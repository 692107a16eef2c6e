// The 837 model: an 816 x 624 mono camera with a 12-bit sensor of 9 um
// pixels in the FPGA-timed family. CCameraS837MM_Mini is the small uncooled
// camera without the DDR frame buffer, sold under its own name; the cooled
// camera with the DDR buffer is its twin.
#ifndef KYR_CCAMERA_S837MM_MINI_H
#define KYR_CCAMERA_S837MM_MINI_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS837MM_Mini;

class CCameraS837MM_Mini : public CEngineDriver<CCameraBase> {
  public:
    CCameraS837MM_Mini();
};

#endif

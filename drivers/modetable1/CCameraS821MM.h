// The 821 model: a 1608 x 1104 camera with a 12-bit sensor of 9 um pixels in
// the FPGA-timed family, with the FPGA DDR frame buffer. CCameraS821MM is the
// uncooled mono camera; the cooled mono twin and the colour camera are
// described by this description with their own differences.
#ifndef KYR_CCAMERA_S821MM_H
#define KYR_CCAMERA_S821MM_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS821MM;

class CCameraS821MM : public CEngineDriver<CCameraBase> {
  public:
    CCameraS821MM();
};

#endif

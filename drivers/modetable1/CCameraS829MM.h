// The 829 model: a 1632 x 1248 mono camera with a 12-bit sensor of 4.5 um
// pixels in the FPGA-timed family, with the FPGA DDR frame buffer.
// CCameraS829MM is the uncooled camera; its cooled twin is described by
// this description with its own names and sensitivity figures.
#ifndef KYR_CCAMERA_S829MM_H
#define KYR_CCAMERA_S829MM_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS829MM;

class CCameraS829MM : public CEngineDriver<CCameraBase> {
  public:
    CCameraS829MM();
};

#endif

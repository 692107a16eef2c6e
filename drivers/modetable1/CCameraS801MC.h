// The 801 model: a 2616 x 1960 colour camera with a 12-bit sensor of 2.0 um
// pixels of the start-register family, bins 1 and 2 and a 10-bit high-speed
// mode. Its hardware-bin mode changes only the sensor's timing: the sensor
// still sends every pixel and the software bins them. CCameraS801MC is the
// uncooled camera without the DDR frame buffer.
#ifndef KYR_CCAMERA_S801MC_H
#define KYR_CCAMERA_S801MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS801MC;

class CCameraS801MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS801MC();
};

#endif

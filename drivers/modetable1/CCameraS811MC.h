// The 811 model: a 4144 x 2822 colour camera of 4.63 um pixels with 14-bit
// output, whose sensor reads in its own 2 x 2 binned mode at all times, on
// the crop-sensor family. CCameraS811MC is the uncooled camera without the
// DDR buffer; CCameraS811MC_Pro, its cooled twin with the buffer.
#ifndef KYR_CCAMERA_S811MC_H
#define KYR_CCAMERA_S811MC_H

#include "engine/EngineDriver.h"
#include "engine/families/CropSensor.h"

extern const SDriverDesc g_DescS811MC;
extern const SCropSensorDesc g_CropS811MC;

class CCameraS811MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS811MC();
};

#endif

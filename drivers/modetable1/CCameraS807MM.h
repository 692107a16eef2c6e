// The 807 model: an 8288 x 5644 mono camera of 2.315 um pixels, sold under the
// 811 names, on the crop-sensor family. CCameraS807MM is the uncooled camera
// without the DDR buffer; CCameraS807MM_Pro, its cooled twin with the buffer.
#ifndef KYR_CCAMERA_S807MM_H
#define KYR_CCAMERA_S807MM_H

#include "engine/EngineDriver.h"
#include "engine/families/CropSensor.h"

extern const SDriverDesc g_DescS807MM;
extern const SCropSensorDesc g_CropS807MM;
// The 807's modes (its cooled twin copies them with its own rows).
extern const SSensorMode* const g_pModeS807BinHighSpeed;

class CCameraS807MM : public CEngineDriver<CCameraBase> {
  public:
    CCameraS807MM();
};

#endif

#include "CCameraS811MC_Pro.h"

#include "CCameraS811MC.h"
#include "engine/EngineRegistrar.h"

namespace {

const SCropSensorDesc& CropPro() {
    static const SCropSensorDesc crop = [] {
        SCropSensorDesc c = g_CropS811MC;
        // In long mode the sensor runs frames of exactly the frame time.
        c.iLongPadUs = 0;
        return c;
    }();
    return crop;
}

const SDriverDesc& DescPro() {
    // No trigger capture on this model.
    static const SDriverDesc desc = [] {
        SDriverDesc d = CooledTwinDesc(g_DescS811MC, {.szClassName = "CCameraS811MC_Pro",
                                                      .szName = "VORN KYR811MC Pro",
                                                      .szShortName = "KYR811MC-Pro",
                                                      .iPID = 0x811f,
                                                      .bAddsDDR = true});
        d.pCropSensor = &CropPro();
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS811MC_Pro::CCameraS811MC_Pro() : CEngineDriver(DescPro()) {}

namespace {
const CEngineRegistrar<CCameraS811MC_Pro> kRegistrar("CCameraS811MC_Pro", DescPro);
}  // namespace

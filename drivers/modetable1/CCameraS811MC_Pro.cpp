#include "CCameraS811MC_Pro.h"

#include "CCameraS811MC.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescPro() {
    // No trigger capture on this model.
    static const SDriverDesc desc = CooledTwinDesc(g_DescS811MC, {.szClassName = "CCameraS811MC_Pro",
                                                                  .szName = "VORN KYR811MC Pro",
                                                                  .szShortName = "KYR811MC-Pro",
                                                                  .iPID = 0x811f,
                                                                  .bAddsDDR = true});
    return desc;
}

const SCropSensorDesc& CropPro() {
    static const SCropSensorDesc crop = [] {
        SCropSensorDesc c = g_CropS811MC;
        // In long mode the sensor runs frames of exactly the frame time.
        c.iLongPadUs = 0;
        return c;
    }();
    return crop;
}

}  // namespace

CCameraS811MC_Pro::CCameraS811MC_Pro() : CCropSensorDriver(DescPro(), CropPro()) {}

namespace {
CCameraBase* Create() { return new CCameraS811MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS811MC_Pro", Create);
}  // namespace

#include "CCameraS811MC_Pro.h"

#include "CCameraS811MC.h"
#include "ModelFactory.h"

namespace {

const SDriverDesc& DescPro() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS811MC;
        MakeCooledDDRTwin(&d);
        d.szClassName = "CCameraS811MC_Pro";
        d.model.szName = "VORN KYR811MC Pro";
        d.model.szShortName = "KYR811MC-Pro";
        d.model.iPID = 0x811f;
        // No trigger capture on this model.
        d.model.bTriggerCam = false;
        return d;
    }();
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

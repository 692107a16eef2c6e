#include "CCameraS836MC_Pro.h"

#include "CCameraS836MC.h"
#include "api/ModelFactory.h"

namespace {

// The sensor clock stops (0x305D = 0x33) after the sixth 100 ms step of a long
// wait and runs again however the wait ends: by its time, a stop or a new
// exposure. A clock left stopped would give no frames to later video.
const SLongExpStep kLongSteps[] = {{6, {LONG_OP_SENSOR, 0x33, 0x305D, LONG_WHEN_ALWAYS}}};
const SLongExpAction kLongClose[] = {
    {LONG_OP_SENSOR, 0x00, 0x305D, LONG_WHEN_ALWAYS},
    {LONG_OP_PAUSE, 200, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};

const SDriverDesc& DescS836MC_Pro() {
    static const SLongExpScript longExp = [] {
        SLongExpScript s = g_LongExpS836MC;
        s.pSteps = kLongSteps;
        s.iSteps = 1;
        s.close = LongExpActions(kLongClose);
        return s;
    }();
    static const SDriverDesc desc = [] {
        SDriverDesc d = CooledTwinDesc(g_DescS836MC, {.szClassName = "CCameraS836MC_Pro",
                                                      .szName = "VORN KYR836MC-Pro",
                                                      .szShortName = "KYR836MC-Pro",
                                                      .iPID = 0x836f,
                                                      .bAddsDDR = true,
                                                      .bLongExpAsModel = true});
        d.pLongExp = &longExp;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS836MC_Pro::CCameraS836MC_Pro() : CEngineDriver(DescS836MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS836MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS836MC_Pro", Create);
}  // namespace

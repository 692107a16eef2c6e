#include "CCameraS809MC_Pro.h"

#include "CCameraS809MC.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescPro() {
    // With the buffer too the sensor is programmed for the exposure asked for in long mode.
    static const SDriverDesc desc = CooledTwinDesc(g_DescS809MC, {.szClassName = "CCameraS809MC_Pro",
                                                                  .szName = "VORN KYR809MC Pro",
                                                                  .szShortName = "KYR809MC-Pro",
                                                                  .iPID = 0x809f,
                                                                  .bAddsDDR = true,
                                                                  .bLongExpAsModel = true});
    return desc;
}

}  // namespace

CCameraS809MC_Pro::CCameraS809MC_Pro() : CEngineDriver(DescPro()) {}

namespace {
CCameraBase* Create() { return new CCameraS809MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS809MC_Pro", Create);
}  // namespace

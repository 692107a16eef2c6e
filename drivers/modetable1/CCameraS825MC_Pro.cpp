#include "CCameraS825MC_Pro.h"

#include "CCameraS825MC.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescS825MC_Pro() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = CooledTwinDesc(g_DescS825MC, {.szClassName = "CCameraS825MC_Pro",
                                                      .szName = "VORN KYR825MC Pro",
                                                      .szShortName = "KYR825MC Pro",
                                                      .iPID = 0x825f,
                                                      .bAddsDDR = true});
        // The cooled 825 keeps its guide port.
        d.model.iST4 = 1;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS825MC_Pro::CCameraS825MC_Pro() : CEngineDriver(DescS825MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS825MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS825MC_Pro", Create);
}  // namespace

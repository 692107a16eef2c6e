#include "CCameraS837MM_Pro.h"

#include "CCameraS837MM_Mini.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescS837MM_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(g_DescS837MM_Mini, {.szClassName = "CCameraS837MM_Pro",
                                                                       .szName = "VORN KYR837MM Pro",
                                                                       .szShortName = "KYR837MM-Pro",
                                                                       .iPID = 0x837e,
                                                                       .bAddsDDR = true});
    return desc;
}

}  // namespace

CCameraS837MM_Pro::CCameraS837MM_Pro() : CEngineDriver(DescS837MM_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS837MM_Pro(); }
const CModelRegistrar kRegistrar("CCameraS837MM_Pro", Create);
}  // namespace

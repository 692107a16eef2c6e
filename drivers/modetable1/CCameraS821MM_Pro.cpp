#include "CCameraS821MM_Pro.h"

#include "CCameraS821MM.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescS821MM_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(g_DescS821MM, {.szClassName = "CCameraS821MM_Pro",
                                                                  .szName = "VORN KYR821MM Pro",
                                                                  .szShortName = "KYR821MM Pro",
                                                                  .iPID = 0x821e});
    return desc;
}

}  // namespace

CCameraS821MM_Pro::CCameraS821MM_Pro() : CEngineDriver(DescS821MM_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS821MM_Pro(); }
const CModelRegistrar kRegistrar("CCameraS821MM_Pro", Create);
}  // namespace

#include "CCameraS821MM_Pro.h"

#include "CCameraS821MM.h"
#include "engine/EngineRegistrar.h"

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
const CEngineRegistrar<CCameraS821MM_Pro> kRegistrar("CCameraS821MM_Pro", DescS821MM_Pro);
}  // namespace

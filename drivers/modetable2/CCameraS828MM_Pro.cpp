#include "CCameraS828MM_Pro.h"

#include "CCameraS828MM.h"
#include "engine/EngineRegistrar.h"

namespace {

// The uncooled model's tables and timing, with the cooler and without the guide port.
const SDriverDesc& DescS828MMPro() {
    static const SDriverDesc desc =
        CooledTwinDesc(DescS828MM(), {"CCameraS828MM_Pro", "VORN KYR828MM Pro", "KYR828MM Pro", 0x828e});
    return desc;
}

}  // namespace

CCameraS828MM_Pro::CCameraS828MM_Pro() : CEngineDriver(DescS828MMPro()) {}

namespace {
const CEngineRegistrar<CCameraS828MM_Pro> kRegistrar("CCameraS828MM_Pro", DescS828MMPro);
}  // namespace

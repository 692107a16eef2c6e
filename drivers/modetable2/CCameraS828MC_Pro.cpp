#include "CCameraS828MC_Pro.h"

#include "CCameraS828MM.h"
#include "engine/EngineRegistrar.h"

namespace {

// The colour model with the cooler and without the guide port.
const SDriverDesc& DescS828MCPro() {
    static const SDriverDesc desc = ColourTwinDesc(
        CooledTwinDesc(DescS828MM(), {"CCameraS828MC_Pro", "VORN KYR828MC Pro", "KYR828MC Pro", 0x828f}),
        {"CCameraS828MC_Pro", "VORN KYR828MC Pro", "KYR828MC Pro", 0x828f, 52, 95});
    return desc;
}

}  // namespace

CCameraS828MC_Pro::CCameraS828MC_Pro() : CEngineDriver(DescS828MCPro()) {}

namespace {
const CEngineRegistrar<CCameraS828MC_Pro> kRegistrar("CCameraS828MC_Pro", DescS828MCPro);
}  // namespace

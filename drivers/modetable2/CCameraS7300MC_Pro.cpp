#include "CCameraS7300MC_Pro.h"

#include "CCameraS7300MM_Pro.h"
#include "engine/EngineRegistrar.h"

namespace {

// The mono model's tables and timing, colour; white balance red 52, blue 95.
const SDriverDesc& DescS7300MCPro() {
    static const SDriverDesc desc = ColourTwinDesc(
        DescS7300MMPro(), {"CCameraS7300MC_Pro", "VORN KYR7300MC Pro", "KYR7300MC Pro", 0x730a, 52, 95});
    return desc;
}

}  // namespace

CCameraS7300MC_Pro::CCameraS7300MC_Pro() : CEngineDriver(DescS7300MCPro()) {}

namespace {
const CEngineRegistrar<CCameraS7300MC_Pro> kRegistrar("CCameraS7300MC_Pro", DescS7300MCPro);
}  // namespace

#include "CCameraS7100MC_Pro.h"

#include "CCameraS7100MM_Pro.h"
#include "engine/EngineRegistrar.h"

namespace {

// The mono model's tables and timing, colour; white balance red 52, blue 95.
const SDriverDesc& DescS7100MCPro() {
    static const SDriverDesc desc = ColourTwinDesc(
        DescS7100MMPro(), {"CCameraS7100MC_Pro", "VORN KYR7100MC Pro", "KYR7100MC Pro", 0x710a, 52, 95});
    return desc;
}

}  // namespace

CCameraS7100MC_Pro::CCameraS7100MC_Pro() : CEngineDriver(DescS7100MCPro()) {}

namespace {
const CEngineRegistrar<CCameraS7100MC_Pro> kRegistrar("CCameraS7100MC_Pro", DescS7100MCPro);
}  // namespace

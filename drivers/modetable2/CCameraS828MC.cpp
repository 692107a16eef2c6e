#include "CCameraS828MC.h"

#include "CCameraS828MM.h"
#include "engine/EngineRegistrar.h"

namespace {

// The mono model's tables and timing, colour; white balance red 52, blue 95.
const SDriverDesc& DescS828MC() {
    static const SDriverDesc desc =
        ColourTwinDesc(DescS828MM(), {"CCameraS828MC", "VORN KYR828MC", "KYR828MC", 0x828b, 52, 95});
    return desc;
}

}  // namespace

CCameraS828MC::CCameraS828MC() : CEngineDriver(DescS828MC()) {}

namespace {
const CEngineRegistrar<CCameraS828MC> kRegistrar("CCameraS828MC", DescS828MC);
}  // namespace

#include "CCameraS829MM_Pro.h"

#include "CCameraS829MM.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescS829MM_Pro() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = CooledTwinDesc(g_DescS829MM, {.szClassName = "CCameraS829MM_Pro",
                                                      .szName = "VORN KYR829MM Pro",
                                                      .szShortName = "KYR829MM Pro",
                                                      .iPID = 0x829e});
        d.model.fElecPerADU = 3.18f;
        d.model.iOffsetHighestDR = 1;
        d.model.iOffsetUnityGain = 4;
        d.model.iOffsetLowestRN = 10;
        d.model.iUnityGain = 100;
        d.model.iGainLowestRN = 240;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS829MM_Pro::CCameraS829MM_Pro() : CEngineDriver(DescS829MM_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS829MM_Pro(); }
const CModelRegistrar kRegistrar("CCameraS829MM_Pro", Create);
}  // namespace

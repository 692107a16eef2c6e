#include "CCameraS836MC_Pro.h"

#include "CCameraS836MC.h"
#include "ModelFactory.h"

namespace {

const SDriverDesc& DescS836MC_Pro() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS836MC;
        d.szClassName = "CCameraS836MC_Pro";
        d.model.szName = "VORN KYR836MC-Pro";
        d.model.szShortName = "KYR836MC-Pro";
        d.model.iPID = 0x836f;
        d.model.iST4 = -1;  // the guide port flag keeps the cooled camera's value
        d.model.bDDREnable = true;
        d.bDDRTest = true;
        d.bHasDDR = true;
        d.bandwidth.bFPGABandWidth = true;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS836MC_Pro::CCameraS836MC_Pro() : CEngineDriver(DescS836MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS836MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS836MC_Pro", Create);
}  // namespace

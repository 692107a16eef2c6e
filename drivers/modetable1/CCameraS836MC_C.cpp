#include "CCameraS836MC_C.h"

#include "CCameraS836MC.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescS836MC_C() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS836MC;
        d.szClassName = "CCameraS836MC_C";
        d.model.szName = "VORN KYR836MC-Cool";
        d.model.szShortName = "KYR836MC-C";
        d.model.iPID = 0x836d;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS836MC_C::CCameraS836MC_C() : CEngineDriver(DescS836MC_C()) {}

namespace {
CCameraBase* Create() { return new CCameraS836MC_C(); }
const CModelRegistrar kRegistrar("CCameraS836MC_C", Create);
}  // namespace

#include "CCameraS821MM_Pro.h"

#include "CCameraS821MM.h"
#include "ModelFactory.h"

namespace {

const SDriverDesc& DescS821MM_Pro() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS821MM;
        d.szClassName = "CCameraS821MM_Pro";
        d.model.szName = "VORN KYR821MM Pro";
        d.model.szShortName = "KYR821MM Pro";
        d.model.iPID = 0x821e;
        d.model.iST4 = -1;  // the guide port flag keeps the cooled camera's value
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS821MM_Pro::CCameraS821MM_Pro() : CEngineDriver(DescS821MM_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS821MM_Pro(); }
const CModelRegistrar kRegistrar("CCameraS821MM_Pro", Create);
}  // namespace

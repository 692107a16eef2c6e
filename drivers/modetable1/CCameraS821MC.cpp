#include "CCameraS821MC.h"

#include "CCameraS821MM.h"
#include "api/ModelFactory.h"

namespace {

const SDriverDesc& DescS821MC() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS821MM;
        d.szClassName = "CCameraS821MC";
        d.model.szName = "VORN KYR821MC";
        d.model.szShortName = "KYR821MC";
        d.model.iPID = 0x821b;
        d.model.iBayer = 0;  // RG
        d.model.bColor = true;
        d.model.bCapRGB24 = true;
        d.model.bCapY8 = true;
        d.model.iWBMax = 99;
        d.model.iWBMin = 1;
        d.model.iWBRDef = 50;
        d.model.iWBBDef = 50;
        // A mosaic's markers are repaired from two rows away, in its phase.
        d.iMarkerRepairRows = 2;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS821MC::CCameraS821MC() : CEngineDriver(DescS821MC()) {}

namespace {
CCameraBase* Create() { return new CCameraS821MC(); }
const CModelRegistrar kRegistrar("CCameraS821MC", Create);
}  // namespace

#include "CCameraS815MC_Pro.h"

#include "CCameraS815MC.h"
#include "ModelFactory.h"

namespace {

// The Pro's own copy of the 815 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x3002, 0x0001},      {0x3004, 0x0004}, {0x3004, 0x0000},
    {0x3E04, 0x000E}, {REG_TABLE_DELAY, 20}, {0x3000, 0x0000}, {REG_TABLE_DELAY, 20},
};

const SDriverDesc& DescS815MC_Pro() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS815MC;
        d.szClassName = "CCameraS815MC_Pro";
        d.model.szName = "VORN KYR815MC Pro";
        d.model.szShortName = "KYR815MC Pro";
        d.model.iPID = 0x815f;
        d.initTable = RegTable(kInitTable);
        MakeCooledDDRTwin(&d);
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS815MC_Pro::CCameraS815MC_Pro() : CEngineDriver(DescS815MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS815MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS815MC_Pro", Create);
}  // namespace

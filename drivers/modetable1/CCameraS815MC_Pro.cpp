#include "CCameraS815MC_Pro.h"

#include "CCameraS815MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copy of the 815 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x3002, 0x0001},      {0x3004, 0x0004}, {0x3004, 0x0000},
    {0x3E04, 0x000E}, {REG_TABLE_DELAY, 20}, {0x3000, 0x0000}, {REG_TABLE_DELAY, 20},
};

const SDriverDesc& DescS815MC_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(g_DescS815MC, {.szClassName = "CCameraS815MC_Pro",
                                                                  .szName = "VORN KYR815MC Pro",
                                                                  .szShortName = "KYR815MC Pro",
                                                                  .iPID = 0x815f,
                                                                  .initTable = RegTable(kInitTable),
                                                                  .bAddsDDR = true,
                                                                  .bAddsTrigger = true});
    return desc;
}

}  // namespace

CCameraS815MC_Pro::CCameraS815MC_Pro() : CEngineDriver(DescS815MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS815MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS815MC_Pro", Create);
}  // namespace

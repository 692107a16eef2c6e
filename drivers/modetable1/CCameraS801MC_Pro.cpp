#include "CCameraS801MC_Pro.h"

#include "CCameraS801MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copy of the 801 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3000, 0x0001}, {0x3002, 0x0001}, {0x3004, 0x0004},      {0x3004, 0x0000}, {0x300C, 0x005B},
    {0x300D, 0x0040}, {0x3E04, 0x000E}, {REG_TABLE_DELAY, 20}, {0x3000, 0x0000}, {REG_TABLE_DELAY, 20},
};

const SDriverDesc& DescS801MC_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(g_DescS801MC, {.szClassName = "CCameraS801MC_Pro",
                                                                  .szName = "VORN KYR801MC Pro",
                                                                  .szShortName = "KYR801MC Pro",
                                                                  .iPID = 0x801f,
                                                                  .initTable = RegTable(kInitTable),
                                                                  .bAddsDDR = true,
                                                                  .bAddsTrigger = true});
    return desc;
}

}  // namespace

CCameraS801MC_Pro::CCameraS801MC_Pro() : CEngineDriver(DescS801MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS801MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS801MC_Pro", Create);
}  // namespace

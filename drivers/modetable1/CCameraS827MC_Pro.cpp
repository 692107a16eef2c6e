#include "CCameraS827MC_Pro.h"

#include "CCameraS827MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copy of the 827 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3008, 0x007F}, {0x3208, 0x0000}, {0x3009, 0x0000}, {0x300A, 0x005B}, {0x300B, 0x0050},
    {0x301C, 0x0004}, {0x301D, 0x0005}, {0x3022, 0x0000}, {0x391B, 0x0013}, {0x391C, 0x0013},
    {0x391E, 0x0000}, {0x391F, 0x00A5}, {0x3920, 0x00ED}, {0x3921, 0x000E},
};

const SDriverDesc& DescS827MC_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(g_DescS827MC, {.szClassName = "CCameraS827MC_Pro",
                                                                  .szName = "VORN KYR827MC Pro",
                                                                  .szShortName = "KYR827MC Pro",
                                                                  .iPID = 0x827f,
                                                                  .initTable = RegTable(kInitTable),
                                                                  .bAddsDDR = true,
                                                                  .bAddsTrigger = true});
    return desc;
}

}  // namespace

CCameraS827MC_Pro::CCameraS827MC_Pro() : CEngineDriver(DescS827MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS827MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS827MC_Pro", Create);
}  // namespace

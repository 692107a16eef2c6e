#include "CCameraS814MC_Pro.h"

#include "CCameraS814MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copy of the 814 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3008, 0x007F}, {0x3208, 0x0000}, {0x3009, 0x0000}, {0x300A, 0x005B}, {0x300B, 0x0050},
    {0x301C, 0x0000}, {0x3022, 0x0000}, {0x3024, 0x00CA}, {0x3025, 0x0008}, {0x391E, 0x0000},
    {0x391F, 0x00A5}, {0x3920, 0x00ED}, {0x3921, 0x000E},
};

const SDriverDesc& DescS814MC_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(g_DescS814MC, {.szClassName = "CCameraS814MC_Pro",
                                                                  .szName = "VORN KYR814MC Pro",
                                                                  .szShortName = "KYR814MC Pro",
                                                                  .iPID = 0x814f,
                                                                  .initTable = RegTable(kInitTable),
                                                                  .bAddsDDR = true,
                                                                  .bAddsTrigger = true});
    return desc;
}

}  // namespace

CCameraS814MC_Pro::CCameraS814MC_Pro() : CEngineDriver(DescS814MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS814MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS814MC_Pro", Create);
}  // namespace

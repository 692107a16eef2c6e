#include "CCameraS820MC_Pro.h"

#include "CCameraS820MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copy of the 820 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3014, 0x0001}, {0x3015, 0x0006}, {0x3040, 0x0007}, {0x306C, 0x0001}, {0x30A4, 0x00A0},
    {0x3460, 0x0022}, {0x3409, 0x0000}, {0x340B, 0x0000}, {0x3458, 0x0000},
};

const SDriverDesc& DescS820MC_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(
        g_DescS820MC,
        {"CCameraS820MC_Pro", "VORN KYR820MC Pro", "KYR820MC Pro", 0x820f, RegTable(kInitTable)});
    return desc;
}

}  // namespace

CCameraS820MC_Pro::CCameraS820MC_Pro() : CEngineDriver(DescS820MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS820MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS820MC_Pro", Create);
}  // namespace

#include "CCameraS817MC_Pro.h"

#include "CCameraS817MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copy of the 817 start-up table.
const REG_TABLE_ROW kInitTable[] = {
    {0x3014, 0x0001}, {0x3015, 0x0005}, {0x30A4, 0x00A0}, {0x3460, 0x0021}, {0x3B00, 0x0039},
    {0x3C38, 0x0021}, {0x3409, 0x0000}, {0x340B, 0x0000}, {0x3458, 0x0000},
};

const SDriverDesc& DescS817MC_Pro() {
    static const SDriverDesc desc = CooledTwinDesc(
        g_DescS817MC,
        {"CCameraS817MC_Pro", "VORN KYR817MC Pro", "KYR817MC Pro", 0x817f, RegTable(kInitTable)});
    return desc;
}

}  // namespace

CCameraS817MC_Pro::CCameraS817MC_Pro() : CEngineDriver(DescS817MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS817MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS817MC_Pro", Create);
}  // namespace

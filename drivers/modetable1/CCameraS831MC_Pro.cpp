#include "CCameraS831MC_Pro.h"

#include "CCameraS831MC.h"
#include "engine/EngineRegistrar.h"

namespace {

// The Pro's own start-up rows: the 20 ms delay row and the opening 0x300C
// row, then its class rows in register order; the rows both classes share
// follow them.
const REG_TABLE_ROW kInitClassRows[] = {
    {REG_TABLE_DELAY, 20},
    {0x300C, 0x0001},
    {0x3005, 0x0021},
    {0x301C, 0x0030},
};

// The shortest line of the Pro's normal mode; high speed is the same.
constexpr int kMinHMAX = 104;

const SDriverDesc& DescS831MC_Pro() {
    static const SSensorMode modeNormal = [] {
        SSensorMode mode = *g_DescS831MC.pModeNormal;
        mode.iMinHMAX = kMinHMAX;
        return mode;
    }();
    static const SDriverDesc desc = [] {
        SDriverDesc d = CooledTwinDesc(g_DescS831MC, {.szClassName = "CCameraS831MC_Pro",
                                                      .szName = "VORN KYR831MC Pro",
                                                      .szShortName = "KYR831MC-Pro",
                                                      .iPID = 0x831e,
                                                      .initTable = RegTable(kInitClassRows),
                                                      .bAddsDDR = true,
                                                      .bLongExpAsModel = true});
        SModelConstants& m = d.model;
        m.iMaxWidth = 728;
        m.iMaxHeight = 544;
        m.iWBRDef = 50;
        m.iWBBDef = 50;
        m.usHMAX = kMinHMAX;
        d.pModeNormal = &modeNormal;
        d.timingInit.iMinHMAX = kMinHMAX;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS831MC_Pro::CCameraS831MC_Pro() : CS831Driver(DescS831MC_Pro()) {}

namespace {
const CEngineRegistrar<CCameraS831MC_Pro> kRegistrar("CCameraS831MC_Pro", DescS831MC_Pro);
}  // namespace

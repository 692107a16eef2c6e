#include "CCameraS832MC_Pro.h"

#include "CCameraS832MC.h"
#include "api/ModelFactory.h"

namespace {

// The Pro's own copies of the 832 tables.
const REG_TABLE_ROW kInitTable[] = {
    {0x3018, 0x0014}, {0x3014, 0x0001}, {0x3015, 0x0006}, {0x3460, 0x0021},
    {0x3478, 0x00A1}, {0x347C, 0x0001}, {0x3480, 0x0001}, {0x3A4E, 0x0014},
    {0x3409, 0x0000}, {0x340B, 0x0000}, {0x3458, 0x0000},
};
const REG_TABLE_ROW kModeBin2x2Rows[] = {
    {0x301B, 0x0001}, {0x3022, 0x0000}, {0x3023, 0x0001}, {0x30D5, 0x0002}, {0x4231, 0x0008},
};
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x301B, 0x0000}, {0x30D5, 0x0004}, {0x3022, 0x0002}, {0x3023, 0x0001}, {0x4231, 0x0018},
};
const REG_TABLE_ROW kMode10BitRows[] = {
    {0x301B, 0x0000}, {0x30D5, 0x0004}, {0x3022, 0x0000}, {0x3023, 0x0001}, {0x4231, 0x0008},
};

// The 832's mode with this file's rows.
SSensorMode WithRows(const SSensorMode* pMode, SRegTable rows) {
    SSensorMode mode = *pMode;
    mode.regs = rows;
    return mode;
}

const SDriverDesc& DescS832MC_Pro() {
    static const SSensorMode modeBin2x2 =
        WithRows(g_DescS832MC.sensorBin[2].pMode, RegTable(kModeBin2x2Rows));
    static const SSensorMode mode12Bit = WithRows(g_DescS832MC.pModeNormal, RegTable(kMode12BitRows));
    static const SSensorMode mode10Bit = WithRows(g_DescS832MC.pModeHighSpeed, RegTable(kMode10BitRows));
    static const SDriverDesc desc = [] {
        SDriverDesc d = CooledTwinDesc(g_DescS832MC, {"CCameraS832MC_Pro", "VORN KYR832MC Pro",
                                                      "KYR832MC Pro", 0x832f, RegTable(kInitTable)});
        d.model.iOffsetDef = 3;
        d.pModeNormal = &mode12Bit;
        d.pModeHighSpeed = &mode10Bit;
        d.sensorBin[2].pMode = &modeBin2x2;
        d.sensorBin[4].pMode = &modeBin2x2;
        return d;
    }();
    return desc;
}

}  // namespace

CCameraS832MC_Pro::CCameraS832MC_Pro() : CEngineDriver(DescS832MC_Pro()) {}

namespace {
CCameraBase* Create() { return new CCameraS832MC_Pro(); }
const CModelRegistrar kRegistrar("CCameraS832MC_Pro", Create);
}  // namespace

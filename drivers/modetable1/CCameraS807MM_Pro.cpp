#include "CCameraS807MM_Pro.h"

#include "CCameraS807MM.h"
#include "engine/EngineRegistrar.h"

namespace {

// The Pro's own common rows: two values differ.
const REG_TABLE_ROW kCommonRows[] = {
    {0x3033, 0x0010}, {0x303C, 0x0002}, {REG_TABLE_DELAY, 20}, {0x3111, 0x0000}, {0x31E8, 0x00F0},
};
const REG_TABLE_ROW kFirstRows[] = {{0x3033, 0x0010}, {0x303C, 0x0002}};
const REG_TABLE_ROW kStreamStartRows[] = {
    {0x3033, 0x0010},      {0x303C, 0x0002}, {0x3000, 0x0012},      {0x310B, 0x0000},
    {REG_TABLE_DELAY, 15}, {0x3000, 0x0002}, {0x35E5, 0x009A},      {0x3000, 0x0000},
    {REG_TABLE_DELAY, 10}, {0x3033, 0x0010}, {REG_TABLE_DELAY, 50},
};

// The 807's mode with this file's common rows.
SSensorMode WithCommon(const SSensorMode* pMode) {
    SSensorMode mode = *pMode;
    mode.commonRegs = RegTable(kCommonRows);
    return mode;
}

// Built at the first construction: the 807's description is complete by then.
const SSensorMode& ProMode(const SSensorMode* pMode) {
    static const SSensorMode kModes[] = {
        WithCommon(g_DescS807MM.pModeNormal), WithCommon(g_DescS807MM.pModeNormal16),
        WithCommon(g_DescS807MM.pModeHighSpeed), WithCommon(g_DescS807MM.sensorBin[2].pMode),
        WithCommon(g_pModeS807BinHighSpeed)};
    const SSensorMode* from[] = {g_DescS807MM.pModeNormal, g_DescS807MM.pModeNormal16,
                                 g_DescS807MM.pModeHighSpeed, g_DescS807MM.sensorBin[2].pMode,
                                 g_pModeS807BinHighSpeed};
    for (size_t i = 0; i < sizeof(from) / sizeof(from[0]); ++i)
        if (from[i] == pMode) return kModes[i];
    return *pMode;
}

const SCropSensorDesc& CropPro() {
    static const SCropSensorDesc crop = [] {
        SCropSensorDesc c = g_CropS807MM;
        // In long mode the sensor runs frames of the frame time + 10 ms at
        // full resolution, of the frame time in binning.
        c.iLongPadUs = 10000;
        return c;
    }();
    return crop;
}

SDriverDesc DescPro() {
    SDriverDesc d = CooledTwinDesc(g_DescS807MM, {.szClassName = "CCameraS807MM_Pro",
                                                  .szName = "VORN KYR811MM Pro",
                                                  .szShortName = "KYR811MM-Pro",
                                                  .iPID = 0x811e,
                                                  .initTable = RegTable(kCommonRows),
                                                  .bAddsDDR = true});
    d.streamStartRows = RegTable(kStreamStartRows);
    d.firstRows = RegTable(kFirstRows);
    d.pModeNormal = &ProMode(d.pModeNormal);
    d.pModeNormal16 = &ProMode(d.pModeNormal16);
    d.pModeHighSpeed = &ProMode(d.pModeHighSpeed);
    d.pModeHighSpeed16 = d.pModeHighSpeed;
    d.sensorBin[2] = {2, &ProMode(d.sensorBin[2].pMode), &ProMode(g_pModeS807BinHighSpeed)};
    d.sensorBin[4] = d.sensorBin[2];
    // Long mode from 1 s on either host.
    d.exposure.ullLongFromUsUSB2 = 0;
    d.pCropSensor = &CropPro();
    return d;
}

const SDriverDesc& DescProOnce() {
    static const SDriverDesc desc = DescPro();
    return desc;
}

}  // namespace

CCameraS807MM_Pro::CCameraS807MM_Pro() : CEngineDriver(DescProOnce()) {}

namespace {
const CEngineRegistrar<CCameraS807MM_Pro> kRegistrar("CCameraS807MM_Pro", DescProOnce);
}  // namespace

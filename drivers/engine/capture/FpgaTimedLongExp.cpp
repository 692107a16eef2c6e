// The long-exposure script of the FPGA-timed family. Each long pass switches
// the FPGA's wait and trigger modes on (the flag alone marks long mode), the
// trigger rises, the sensor is parked (0x3598 = 0x3F, low power) for the
// wait, its horizontal sync stopped after 80 steps where the DDR or a USB 3
// host carries the frame, and it is brought back in order before the
// trigger falls. The opening and closing pauses belong to the exposure: the
// one sleep and the stepped wait each leave 400 ms for them.
#include "engine/DriverDesc.h"

namespace {

constexpr uint16_t kRegPark = 0x3598;
constexpr uint32_t kParked = 0x3F;
constexpr uint32_t kAwake = 0x20;

const SLongExpAction kEveryPass[] = {
    {LONG_OP_WAIT_MODE, 1, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_TRIGGER_MODE, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpAction kOpen[] = {
    {LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS},      {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SENSOR, kParked, kRegPark, LONG_WHEN_ALWAYS}, {LONG_OP_PAUSE, 50, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS},
};
const SLongExpStep kSteps[] = {
    {80, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_DDR_OR_USB3}},
};
const SLongExpAction kClose[] = {
    {LONG_OP_LOW_POWER, 0, 0, LONG_WHEN_ALWAYS},          {LONG_OP_PAUSE, 150, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_SENSOR, kAwake, kRegPark, LONG_WHEN_ALWAYS}, {LONG_OP_PAUSE, 100, 0, LONG_WHEN_ALWAYS},
    {LONG_OP_XHS_STOP, 0, 0, LONG_WHEN_DDR_OR_USB3},      {LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS},
};

// Low power again after 60 steps, before the XHS stop.
const SLongExpStep kStepsLowPowerAgain[] = {
    {60, {LONG_OP_LOW_POWER, 1, 0, LONG_WHEN_ALWAYS}},
    {80, {LONG_OP_XHS_STOP, 1, 0, LONG_WHEN_DDR_OR_USB3}},
};

SLongExpScript WithSteps(SLongExpScript script, const SLongExpStep* pSteps, int iSteps) {
    script.pSteps = pSteps;
    script.iSteps = iSteps;
    return script;
}

}  // namespace

const SLongExpScript g_LongExpFpgaTimed = {
    .everyPass = LongExpActions(kEveryPass),
    .open = LongExpActions(kOpen),
    .ullOneSleepMaxUs = 1000999,
    .uOneSleepLeadUs = 400000,
    .beforeSteps = {nullptr, 0},
    .uStepMs = 10,
    .uStepLeadMs = 400,
    .bCountedSteps = false,
    .pSteps = kSteps,
    .iSteps = sizeof(kSteps) / sizeof(kSteps[0]),
    .close = LongExpActions(kClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 3,
    .bWaitFromItsStart = true,
    .szBeginLog = "Begin long exp %dms\n",
};

const SLongExpScript g_LongExpFpgaTimedLowPowerAgain = WithSteps(
    g_LongExpFpgaTimed, kStepsLowPowerAgain, sizeof(kStepsLowPowerAgain) / sizeof(kStepsLowPowerAgain[0]));

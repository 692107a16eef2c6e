// The sensor's own registers of very long exposures: a line count and a few
// switches that SetExp writes inside the hold, between the FPGA's frame
// length and the shutter line, for exposures well beyond the frame time.
#include "engine/DriverDesc.h"

uint32_t LongExpRegLines(const SLongExpRegBlock& block, long long llBinnedRows) {
    long long lines = llBinnedRows + block.iLinesAdd;
    if (lines > block.iLinesMax) lines = block.iLinesMax;
    if (lines < 0) lines = 0;
    return static_cast<uint32_t>(lines);
}

void AddLongExpRegs(CRegPlan* pPlan, const SLongExpRegBlock& block, unsigned long long ullExposureUs,
                    uint32_t uFrameUs, long long llBinnedRows) {
    if (ullExposureUs <= static_cast<unsigned long long>(uFrameUs) + block.uBeyondFrameUs) {
        pPlan->Table(block.offRows);
        return;
    }
    const uint32_t lines = LongExpRegLines(block, llBinnedRows);
    for (uint16_t reg : block.usRegLines) pPlan->SensorLE(reg, lines, 2);
    pPlan->Table(block.onRows);
}

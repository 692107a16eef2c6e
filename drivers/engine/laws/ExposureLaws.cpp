// The exposure laws: frame length and shutter line from the exposure, the
// line time and the readout, for sensors that count the shutter line back
// from the frame's end and for the FPGA-timed family's frames.
#include "engine/DriverDesc.h"
#include "engine/laws/Count.h"

namespace {

// The frame of ShutterLineExposure for an exposure of `lines` lines.
SExposureRegs ShutterLineFrame(const SExposureRule& rule, const SExposureInput& in, long long lines);

}  // namespace

SExposureRegs ShutterLineExposure(const SExposureRule& rule, const SExposureInput& in) {
    // The sensor counts the exposure's lines after its offset time.
    const long long cap = static_cast<long long>(rule.uVMAXMax) * 4;
    const long long lines =
        in.dLineUs > 0.0 ? TruncCount((in.dExposureUs - rule.dOffsetUs) / in.dLineUs, cap) : cap;
    return ShutterLineFrame(rule, in, lines);
}

SExposureRegs SinglePrecisionShutterLineExposure(const SExposureRule& rule, const SExposureInput& in) {
    const long long cap = static_cast<long long>(rule.uVMAXMax) * 4;
    const float count = (static_cast<float>(in.dExposureUs) - static_cast<float>(rule.dOffsetUs)) /
                        static_cast<float>(in.dLineUs);
    const long long lines = in.dLineUs > 0.0 ? TruncCount(count, cap) : cap;
    return ShutterLineFrame(rule, in, lines);
}

namespace {

SExposureRegs ShutterLineFrame(const SExposureRule& rule, const SExposureInput& in, long long lines) {
    const long long vmaxCap = rule.uVMAXMax;
    const long long minShr = rule.iMinSHR;
    long long vmax;
    long long shr;
    if (in.dExposureUs <= static_cast<double>(in.uFrameUs)) {
        // Within one frame: the frame is the readout, the shutter line
        // shortens the exposure from the frame's end.
        vmax = static_cast<long long>(in.iRows) + in.iExtraLines;
        if (in.bSensorBin && rule.eBinFrame == BIN_FRAME_ROWS_DOUBLED)
            vmax = 2ll * in.iRows + in.iExtraLines;
        else if (in.bSensorBin && rule.eBinFrame == BIN_FRAME_PADDED)
            vmax = (vmax + rule.iBinExtraLines) * 2;
        shr = lines < vmax - minShr ? vmax - minShr - lines : minShr;
        if (shr < minShr) shr = minShr;
        if (shr > vmax - minShr) shr = vmax - minShr;
        if (shr < 0) shr = 0;
        if (vmax > vmaxCap) vmax = vmaxCap;
        if (shr >= static_cast<long long>(rule.uSHRLimit)) shr = rule.uSHRMax;
    } else {
        // Longer than a frame: the frame grows to the exposure.
        if (rule.bLongAddsMinSHR)
            vmax = lines + minShr;
        else if (in.bSensorBin && rule.eBinFrame == BIN_FRAME_ROWS_DOUBLED)
            vmax = (lines + rule.iLongExtraLines) * 2;
        else
            vmax = lines + (in.bSensorBin ? rule.iLongBinExtraLines : rule.iLongExtraLines);
        if (vmax > vmaxCap) vmax = vmaxCap;
        shr = minShr;
        if (in.bSensorBin && rule.iLongBinSHR > 0) shr = rule.iLongBinSHR;
        if (!in.bSensorBin && rule.iLongSHR > 0) shr = rule.iLongSHR;
    }
    return SExposureRegs{static_cast<uint32_t>(vmax), static_cast<uint32_t>(shr)};
}

}  // namespace

SExposureRegs FrameLengthExposure(const SExposureRule& rule, const SExposureInput& in) {
    const long long vmaxCap = rule.uVMAXMax;
    const double exposure = in.dExposureUs - rule.dOffsetUs;
    const long long lines = in.dLineUs > 0.0 ? TruncCount(exposure / in.dLineUs, vmaxCap * 4) : vmaxCap * 4;
    long long vmax;
    long long shr;
    if (in.dExposureUs <= static_cast<double>(in.uFrameUs)) {
        // Within one frame: the frame keeps its length, the shutter line
        // shortens the exposure from the frame's end.
        const int base = in.bSnap && rule.iVMAXBaseSnap > 0 ? rule.iVMAXBaseSnap : rule.iVMAXBase;
        vmax = static_cast<long long>(in.iRows) + base;
        shr = vmax - lines;
        // The sensor needs at least one line of exposure.
        if (shr >= vmax) shr = vmax - 1;
        // Nor does the shutter line go below the sensor's shortest: where the frame has no more lines
        // than the readout's extra ones, the longest exposures of the frame would take it there.
        if (shr < rule.iMinSHR) shr = rule.iMinSHR;
    } else {
        // Longer than a frame: the frame grows to the exposure.
        vmax = lines + rule.iMinSHR;
        shr = rule.iMinSHR;
    }
    if (vmax > vmaxCap) vmax = vmaxCap;
    return SExposureRegs{static_cast<uint32_t>(vmax), static_cast<uint32_t>(shr)};
}

// Shutter encodings of the exposure rule beside the engine's shutter-line one
// (EngineTiming.cpp).
#include "engine/DriverDesc.h"

SExposureRegs ShsExposure(const SExposureRule& rule, const SExposureInput& in) {
    const long long vmaxCap = rule.uVMAXMax;
    const long long minShs = rule.iMinSHR;
    // Whole lines of the exposure, in signed arithmetic throughout: a short
    // frame minus a long exposure goes below zero before it is raised.
    long long lines = vmaxCap * 4;
    if (in.dLineUs > 0.0) {
        const double n = in.dExposureUs / in.dLineUs;
        lines = n <= 0.0 ? 0 : (n >= static_cast<double>(lines) ? lines : static_cast<long long>(n));
    }
    const long long gap = rule.iShsGap > 0 ? rule.iShsGap : 1;
    long long vmax;
    long long shs;
    if (in.dExposureUs <= static_cast<double>(in.uFrameUs)) {
        // Within one frame of the readout: the exposure starts SHS lines in.
        vmax = static_cast<long long>(in.iRows) + in.iExtraLines;
        shs = vmax - gap - lines;
        if (shs < minShs) shs = minShs;
        if (shs > vmax - minShs) shs = vmax - minShs;
        if (shs < 0) shs = 0;
        if (vmax > vmaxCap) vmax = vmaxCap;
        if (shs >= static_cast<long long>(rule.uSHRLimit)) shs = rule.uSHRMax;
    } else {
        // Longer than a frame: the frame grows to the exposure, exposed whole.
        vmax = lines + rule.iLongExtraLines;
        if (vmax > vmaxCap) vmax = vmaxCap;
        // The frame's first line, or the model's long-exposure line.
        shs = rule.iLongSHR;
    }
    return SExposureRegs{static_cast<uint32_t>(vmax), static_cast<uint32_t>(shs)};
}

namespace {

// Line pairs, except at sensor factor 2; a line below `below` is written as `floor`.
uint32_t LinePairs(uint32_t uSHR, int iSensorFactor, uint32_t below, uint32_t floor) {
    if (iSensorFactor == 2) return uSHR;
    return uSHR < below ? floor : uSHR / 2;
}

}  // namespace

uint32_t HalfLineShutter(uint32_t uSHR, int iSensorFactor) { return LinePairs(uSHR, iSensorFactor, 2, 1); }

uint32_t HalfLineShutterFromThird(uint32_t uSHR, int iSensorFactor) {
    return LinePairs(uSHR, iSensorFactor, 6, 3);
}

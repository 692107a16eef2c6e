// The gain laws: the sensor's gain code of a gain in 0.1 dB.
#include <math.h>

#include "engine/DriverDesc.h"

SGainCode LinearGainCode(int iGain, const SLinearGainLaw& law) {
    const int step = law.iStep > 0 ? law.iStep : 1;
    if (iGain > law.iMax) iGain = law.iMax;
    if (iGain < 0) return {0, 0, false};
    if (iGain < law.iSwitchAt) return {iGain, static_cast<uint16_t>(iGain / step), false};
    return {iGain, static_cast<uint16_t>((iGain - law.iHighOffset) / step), true};
}

int PowerLawGainCode(int iTenthsDb, int iScale) {
    return static_cast<int>(iScale - iScale * pow(10.0, -iTenthsDb / 200.0));
}

SGainCode GainCodeThirds(int iGain) {
    // A law whose switch point lies beyond its range never switches.
    return LinearGainCode(iGain, SLinearGainLaw{600, 601, 0, 3});
}

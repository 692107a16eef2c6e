// Rules of the engine that several models share with their own constants.
#include <math.h>

#include "DriverDesc.h"

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

SModelConstants TemplateModelConstants() {
    SModelConstants m{};
    m.iVID = 0x2e7b;
    m.iADCBits = 12;
    m.iMaxExpUs = 2000000000;
    m.iBayer = 0;
    m.bColor = true;
    m.iBandwidthMin = 40;
    m.iBandwidthMax = 100;
    m.iGainMax = 600;
    m.iGainMin = 0;
    m.iGainDef = 200;
    m.iExpMax = 2000000000;
    m.iExpMin = 32;
    m.iExpDef = 10000;
    m.iGammaMax = 100;
    m.iGammaMin = 1;
    m.iGammaDef = 50;
    m.iHeaterLevel = 1;
    m.iAutoGainMax = 300;
    m.bUSB3Camera = true;
    m.bCapAutoBandWidth = true;
    m.iWBMax = 99;
    m.iWBMin = 1;
    m.iOffsetDef = 1;
    m.iOffsetMin = 0;
    m.bCapGain = m.bCapExposure = m.bCapOffset = m.bCapBandWidth = true;
    m.bCapTemperature = m.bCapHighSpeed = true;
    m.bCapRaw8 = m.bCapRGB24 = m.bCapY8 = m.bCapRaw16 = true;
    m.bAutoFPS = true;
    m.iFclk = 20000;
    m.iFPSPerc = 80;
    m.iFPSPercUSB3Def = 100;
    return m;
}

SGainCode GainCodeThirds(int iGain) {
    // A law whose switch point lies beyond its range never switches.
    return LinearGainCode(iGain, SLinearGainLaw{600, 601, 0, 3});
}

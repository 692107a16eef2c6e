// Rules of the engine that several models share with their own constants.
#include "DriverDesc.h"

SGainCode LinearGainCode(int iGain, const SLinearGainLaw& law) {
    const int step = law.iStep > 0 ? law.iStep : 1;
    if (iGain > law.iMax) iGain = law.iMax;
    if (iGain < 0) return {0, 0, false};
    if (iGain < law.iSwitchAt) return {iGain, static_cast<uint16_t>(iGain / step), false};
    return {iGain, static_cast<uint16_t>((iGain - law.iHighOffset) / step), true};
}

void MakeCooledDDRTwin(SDriverDesc* pDesc) {
    // The sensor runs frames this much longer than its readout while the FPGA times a long exposure.
    constexpr uint32_t kLongPadUs = 10000;
    pDesc->model.iST4 = -1;
    pDesc->model.bTriggerCam = true;
    pDesc->model.bDDREnable = true;
    pDesc->bDDRTest = true;
    pDesc->bHasDDR = true;
    pDesc->bandwidth.bFPGABandWidth = true;
    pDesc->exposure.eLongProgram = LONG_EXP_FRAME_PLUS_PAD;
    pDesc->exposure.uLongPadUs = kLongPadUs;
}

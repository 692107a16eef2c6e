#include "engine/DriverDesc.h"

SDriverDesc CooledTwinDesc(const SDriverDesc& model, const STwinDiff& diff) {
    // The sensor runs frames this much longer than its readout while the FPGA times a long exposure.
    constexpr uint32_t kLongPadUs = 10000;
    SDriverDesc d = model;
    d.szClassName = diff.szClassName;
    d.model.szName = diff.szName;
    d.model.szShortName = diff.szShortName;
    d.model.iPID = diff.iPID;
    d.model.iST4 = -1;
    if (diff.initTable.pRows) d.initTable = diff.initTable;
    if (diff.bAddsDDR) {
        d.model.bDDREnable = true;
        d.bDDRTest = true;
        d.bHasDDR = true;
        d.bandwidth.bFPGABandWidth = true;
        if (!diff.bLongExpAsModel) {
            d.exposure.eLongProgram = LONG_EXP_FRAME_PLUS_PAD;
            d.exposure.uLongPadUs = kLongPadUs;
        }
    }
    if (diff.bAddsTrigger) d.model.bTriggerCam = true;
    return d;
}

SDriverDesc ColourTwinDesc(const SDriverDesc& mono, const SColourTwinDiff& diff) {
    SDriverDesc d = mono;
    d.szClassName = diff.szClassName;
    SModelConstants& m = d.model;
    m.szName = diff.szName;
    m.szShortName = diff.szShortName;
    m.iPID = diff.iPID;
    m.bColor = true;
    m.iBayer = 0;
    m.bCapRGB24 = m.bCapY8 = true;
    m.iWBMin = 1;
    m.iWBMax = 99;
    m.iWBRDef = diff.iWBRDef;
    m.iWBBDef = diff.iWBBDef;
    d.iMarkerRepairRows = 0;
    return d;
}

#include "ClampSensorFamily.h"

namespace {

// The start registers are written after the window's mode register, in the hold.
const REG_TABLE_ROW kStartHeldRows[] = {{0x301C, 0x0004}};
const REG_TABLE_ROW kClampOpenRows[] = {{0x3208, 0x0020}, {0x321C, 0x0001}, {0x3258, 0x0001}};
const REG_TABLE_ROW kClampCloseRows[] = {{0x3208, 0x0000}, {0x321C, 0x0000}, {0x3258, 0x0000}};

// Gain in 0.1 dB steps: high conversion gain from 8 dB on, where the analog
// code starts again from 0.
constexpr SLinearGainLaw kGainLaw = {.iMax = 600, .iSwitchAt = 80, .iHighOffset = 80, .iStep = 3};
SGainCode GainMap(int iGain) { return LinearGainCode(iGain, kGainLaw); }

}  // namespace

SDriverDesc ClampSensorFamilyDesc() {
    SDriverDesc d = TemplateDriverDesc();
    d.model.iGainLowestRN = 300;
    // No DDR buffer: the line length alone paces the sensor to the link.
    d.model.bDDREnable = false;
    d.bDDRTest = false;
    d.bHasDDR = false;
    d.bandwidth.bFPGABandWidth = false;
    // The mode follows the stored high-speed choice, also after a size or type change.
    d.bResolutionKeepsHighSpeed = true;
    d.iWidthAlign = 0;
    d.startHeldRows = RegTable(kStartHeldRows);
    // The FPGA takes the frame from its window, exactly as the sensor sends it.
    d.bNoFPGADataLen = true;
    d.clampOpenRows = RegTable(kClampOpenRows);
    d.clampCloseRows = RegTable(kClampCloseRows);
    d.iUSBBandwidthUSB3 = 381000;
    d.gain = {GainMap, 0x3034, 0x3084, 2};

    SExposureRule& e = d.exposure;
    e.iMinSHR = 6;
    e.iLongExtraLines = 6;
    // Uncooled: the sensor is programmed for the exposure itself while the FPGA times it.
    e.eLongProgram = LONG_EXP_EXPOSURE;
    e.uLongPadUs = 0;
    // So the readout comes one such frame after the trigger's fall.
    d.capture.bReadoutAfterFrame = true;

    d.bandwidth.iHostUSB3 = 381000;
    d.bandwidth.usRegSensorHMAX = 0x3028;
    return d;
}

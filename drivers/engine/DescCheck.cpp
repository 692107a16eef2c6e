#include "engine/DescCheck.h"

namespace {

// A value goes out one byte a register, low byte first: with no byte
// nothing would be programmed; more than four bytes hold no value.
bool ByteCountFits(int iBytes) { return iBytes >= 1 && iBytes <= 4; }
// A shutter line may clear up to four registers after its value (the 802's).
constexpr int kMaxSHRBytes = 8;

bool Fault(std::string* pWhy, const char* szWhat) {
    if (pWhy) *pWhy = szWhat;
    return false;
}

// The engine's gain and exposure rules (SetGain, SetExp).
bool CheckGainAndExposure(const SDriverDesc& desc, std::string* pWhy) {
    const SGainRule& gain = desc.gain;
    // SetGain calls the map unless the power law replaces it.
    if (!gain.fnMap && gain.iPowerLawScale <= 0)
        return Fault(pWhy, "the gain rule has neither a map nor a power law");
    if (!ByteCountFits(gain.iCodeBytes)) return Fault(pWhy, "the gain code's byte count is outside 1..4");
    if (gain.iDigitalStep > 0 && !gain.usRegDigital)
        return Fault(pWhy, "digital gain steps without their register");
    // The switch's bits go to its register; without one they would be lost.
    if ((gain.ucConvGainOnBits || gain.ucConvGainOffMask) && !gain.usRegConvGain)
        return Fault(pWhy, "conversion-gain bits without the switch's register");
    // The band of a gain is the last one it reaches: the bands rise.
    if (gain.iBands > 0 && !gain.pBands) return Fault(pWhy, "gain bands without their table");
    for (int i = 1; i < gain.iBands; ++i)
        if (gain.pBands[i].iFrom <= gain.pBands[i - 1].iFrom) return Fault(pWhy, "gain bands out of order");

    const SExposureRule& exposure = desc.exposure;
    if (!exposure.fnCompute) return Fault(pWhy, "the exposure rule has no computation");
    if (exposure.iSHRBytes < 1 || exposure.iSHRBytes > kMaxSHRBytes)
        return Fault(pWhy, "the shutter line's byte count is outside 1..8");
    return true;
}

// True when fnFits takes every mode the description names, its own and
// those of its bins.
template <class F>
bool EveryModeFits(const SDriverDesc& desc, F fnFits) {
    const SSensorMode* modes[] = {desc.pModeNormal, desc.pModeHighSpeed, desc.pModeNormal16, desc.pModeHighSpeed16};
    for (const SSensorMode* mode : modes)
        if (mode && !fnFits(*mode)) return false;
    for (const SSensorBin& sb : desc.sensorBin)
        for (const SSensorMode* mode : {sb.pMode, sb.pModeHighSpeed})
            if (mode && !fnFits(*mode)) return false;
    return true;
}

// The crop sensor's window and laws run on its rule, and time every mode
// by the mode's kind.
bool CheckCropModes(const SDriverDesc& desc, std::string* pWhy) {
    if (!desc.pCropSensor) return Fault(pWhy, "the crop-sensor laws without their rule");
    if (!EveryModeFits(desc, [](const SSensorMode& mode) { return mode.pCropTiming != nullptr; }))
        return Fault(pWhy, "a mode of the crop-sensor laws without its kind");
    return true;
}

// The FPGA start-up steps and choices a model's description adds run in the
// FPGA setters' master only: the raw FPGA latch sets its FPGA up by its own
// rule and frames a mode switch in its latch, and a sensor that times
// itself has no FPGA.
bool CheckFpgaSteps(const SDriverDesc& desc, std::string* pWhy) {
    const bool setters = desc.eTiming == TIMING_FPGA_SETTERS;
    if (!setters && (desc.fpgaResetRows.pRows || desc.fnFpgaSetUp))
        return Fault(pWhy, "FPGA start-up steps of the model without the FPGA setters' master");
    if (!setters && desc.eStartCmd == START_CMD_AFTER_SET_UP)
        return Fault(pWhy, "the start-up command after an FPGA set-up the master does not run");
    if (desc.eTiming == TIMING_RAW_FPGA && (desc.modeSwitch.bUnheld || desc.modeSwitch.bKeepsDataFormat))
        return Fault(pWhy, "a mode switch framing the raw FPGA latch does not have");
    // A mode's FPGA lanes are a lane setting of the FPGA setters.
    if (!EveryModeFits(desc, [](const SSensorMode& mode) { return mode.iLanes <= LVDS_CHANNEL_4; }))
        return Fault(pWhy, "a mode's FPGA lanes are no lane setting");
    if (!setters && !EveryModeFits(desc, [](const SSensorMode& mode) { return mode.iLanes < 0; }))
        return Fault(pWhy, "a mode's FPGA lanes without the FPGA setters' master");
    return true;
}

}  // namespace

bool CheckDriverDesc(const SDriverDesc& desc, std::string* pWhy) {
    const SModelConstants& m = desc.model;
    if (!desc.szClassName || !m.szName || !m.szShortName)
        return Fault(pWhy, "a class or model name is missing");
    if (m.iMaxWidth <= 0 || m.iMaxHeight <= 0) return Fault(pWhy, "the sensor has no size");
    // Every mode choice falls back to the normal mode.
    if (!desc.pModeNormal) return Fault(pWhy, "no normal sensor mode");
    // The bin list ends at its first 0; each bin indexes the bin tables.
    for (uint8_t bin : m.ucBins) {
        if (bin == 0) break;
        if (bin > kDescMaxBin) {
            if (pWhy) *pWhy = "bin " + std::to_string(bin) + " is outside 1.." + std::to_string(kDescMaxBin);
            return false;
        }
    }
    for (int b = 0; b <= kDescMaxBin; ++b) {
        if (desc.sensorBin[b].iSensorFactor > 0 && !desc.sensorBin[b].pMode) {
            if (pWhy) *pWhy = "sensor binning of bin " + std::to_string(b) + " has no mode";
            return false;
        }
    }

    if (desc.eLaws == LAWS_REGISTERS && !CheckGainAndExposure(desc, pWhy)) return false;
    if (desc.eLaws == LAWS_CROP && !CheckCropModes(desc, pWhy)) return false;
    if (desc.eLaws < LAWS_REGISTERS || desc.eLaws > LAWS_CROP) return Fault(pWhy, "no such law set");
    if (!ByteCountFits(desc.offset.iBytes))
        return Fault(pWhy, "the black level's byte count is outside 1..4");

    // Raw FPGA programming places the window by the FPGA's start registers
    // over a fixed frame: it cannot share the frame with the FPGA-timed
    // family's timing or with start registers of the sensor.
    if (desc.pRawFpga && desc.fpgaTimed.bOn)
        return Fault(pWhy, "raw FPGA programming with the FPGA-timed family");
    if (desc.pRawFpga && desc.pStartWindow)
        return Fault(pWhy, "raw FPGA programming with a start-window rule");
    // The raw FPGA latch runs on its rule, and only it does.
    if ((desc.eTiming == TIMING_RAW_FPGA) != (desc.pRawFpga != nullptr))
        return Fault(pWhy, "the raw FPGA timing master and its rule go together");
    // Each window programmer that runs on a rule has it, and only it does.
    if ((desc.eWindow == WINDOW_START_REGS) != (desc.pStartWindow != nullptr))
        return Fault(pWhy, "the start-register window and its rule go together");
    if ((desc.eWindow == WINDOW_RAW_FPGA) != (desc.eTiming == TIMING_RAW_FPGA))
        return Fault(pWhy, "the raw FPGA window and the raw FPGA timing master go together");
    if ((desc.eWindow == WINDOW_FPGA_TIMED) != desc.fpgaTimed.bOn)
        return Fault(pWhy, "the FPGA-timed window and the FPGA-timed family go together");
    if ((desc.eWindow == WINDOW_CROP) != (desc.eLaws == LAWS_CROP))
        return Fault(pWhy, "the crop window and the crop-sensor laws go together");
    if ((desc.eWindow == WINDOW_SWITCHED_CROP) != (desc.pSwitchedCrop != nullptr))
        return Fault(pWhy, "the switched-crop window and its rule go together");
    if (desc.pSwitchedCrop && (!desc.usRegStartY || !desc.usRegHeight || desc.pSwitchedCrop->iStartXUnit < 1))
        return Fault(pWhy, "the switched-crop window needs its start row, rows registers and start unit");
    if ((desc.eWindow == WINDOW_READ_WIDTH) != (desc.pReadWidth != nullptr))
        return Fault(pWhy, "the read-width window and its rule go together");
    if (desc.pReadWidth && (!desc.usRegStartY || !desc.usRegHeight || desc.pReadWidth->iStartXUnit < 1))
        return Fault(pWhy, "the read-width window needs its start row, rows registers and start unit");
    if (desc.eWindow < WINDOW_REGISTERS || desc.eWindow > WINDOW_READ_WIDTH)
        return Fault(pWhy, "no such window programmer");
    if (desc.eCapture != CAPTURE_ASYNC_MARKERS)
        return Fault(pWhy, "the engine has no synchronous head-marker capture loop yet");
    if (desc.eTiming < TIMING_FPGA_SETTERS || desc.eTiming > TIMING_SENSOR)
        return Fault(pWhy, "no such timing master");
    // A sensor that times itself has no FPGA to run the family's timing or DDR buffer.
    if (desc.eTiming == TIMING_SENSOR && (desc.fpgaTimed.bOn || desc.bHasDDR || desc.bandwidth.bFPGABandWidth))
        return Fault(pWhy, "FPGA timing, DDR or output pacing without an FPGA");
    return CheckFpgaSteps(desc, pWhy);
}

// The camera's controls and its description: the fixed capability table, the
// list of controls a camera offers, setting a control (clamped to its limits
// and dispatched to the camera's operations), reading one back, the image
// types the camera delivers and the description record.
//
// Every operation here holds the control lock: setters because they change
// the camera's state, readers because their answers combine several fields
// that the auto-control thread and other calls change.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "camera/CameraBase.h"
#include "platform/Log.h"
#include "usb/FpgaRegs.h"

namespace {

// The last control type; types are compared unsigned, so negatives are out too.
constexpr unsigned int kLastControl = KYR_ANTI_DEW_HEATER;

// AutoExpMaxExpMS: the exposure limit in ms, but never above a minute.
constexpr int kAutoExpMaxMsCap = 60000;
constexpr long long kAutoExpCapFromUs = 60000000;

// One row of the capability table.
struct SControlRow {
    const char* szName;
    const char* szDescription;
    long lMax;
    long lMin;
    long lDefault;
    bool bAuto;
    bool bWritable;
};

// The capability table, by control type. Limits shown as 0 in the rows of
// gain, exposure, gamma, white balance, offset, bandwidth, the auto maximum
// gain and exposure and the pattern come from the camera (ControlRow). The
// temperature is in tenths of a degree: the value read is the temperature
// times 10.
// clang-format off
const SControlRow kControlRows[kLastControl + 1] = {
    {"Gain", "Gain", 0, 0, 0, true, true},
    {"Exposure", "Exposure Time(us)", 0, 0, 0, true, true},
    {"Gamma", "Gamma", 0, 0, 0, false, true},
    {"WB_R", "White balance: Red component", 0, 0, 0, true, true},
    {"WB_B", "White balance: Blue component", 0, 0, 0, true, true},
    {"Offset", "offset", 0, 0, 0, false, true},
    {"BandWidth", "The total data transfer rate percentage", 0, 0, 50, false, true},
    {"OverCLK", "Over clocking percentage", 30, 0, 0, false, true},
    {"Temperature", "Sensor temperature(degrees Celsius)", 1000, -500, 20, false, false},
    {"Flip", "Flip: 0->None 1->Horiz 2->Vert 3->Both", 3, 0, 0, false, true},
    {"AutoExpMaxGain", "Auto exposure maximum gain value", 0, 0, 0, false, true},
    {"AutoExpMaxExpMS", "Auto exposure maximum exposure value(unit ms)", 0, 1, 100, false, true},
    {"AutoExpTargetBrightness", "Auto exposure target brightness value", 160, 50, 100, false, true},
    {"HardwareBin", "Is hardware bin2:0->No 1->Yes", 1, 0, 0, false, true},
    {"HighSpeedMode", "Is high speed mode:0->No 1->Yes", 1, 0, 0, false, true},
    {"CoolPowerPerc", "Cooler power percent", 100, 0, 0, false, false},
    {"TargetTemp", "Target temperature(cool camera only)", 30, -40, 0, false, true},
    {"CoolerOn", "turn on/off cooler(cool camera only)", 1, 0, 0, false, true},
    {"MonoBin", "bin R G G B to one pixel for color camera, color will loss", 1, 0, 0, false, true},
    {"FanOn", "turn on/off fan(cool camera only)", 1, 0, 0, false, true},
    {"PatternAdjust", "make brightness accordant", 0, 0, 0, false, true},
    {"AntiDewHeater", "turn on/off anti dew heater(cool camera only)", 1, 0, 0, false, true},
};
// clang-format on

// The row of a control type (at most kLastControl) with the camera's limits.
SControlRow ControlRow(const CCameraBase& cam, unsigned int uType) {
    SControlRow row = kControlRows[uType];
    auto limits = [&row](long lMax, long lMin, long lDefault) {
        row.lMax = lMax;
        row.lMin = lMin;
        row.lDefault = lDefault;
    };
    switch (uType) {
        case KYR_GAIN:
            limits(cam.m_iGainMax, cam.m_iGainMin, cam.m_iGainDef);
            break;
        case KYR_EXPOSURE:
            limits(cam.m_iExpMax, cam.m_iExpMin, cam.m_iExpDef);
            break;
        case KYR_GAMMA:
            limits(cam.m_iGammaMax, cam.m_iGammaMin, cam.m_iGammaDef);
            break;
        case KYR_WB_R:
            limits(cam.m_iWBMax, cam.m_iWBMin, cam.m_iWBRDef);
            break;
        case KYR_WB_B:
            limits(cam.m_iWBMax, cam.m_iWBMin, cam.m_iWBBDef);
            break;
        case KYR_OFFSET:
            limits(cam.m_iOffsetMax, cam.m_iOffsetMin, cam.m_iOffsetDef);
            break;
        case KYR_BANDWIDTH:
            limits(cam.m_iBandWidthMax, cam.m_iBandWidthMin, row.lDefault);
            row.bAuto = cam.m_bCapAutoBandWidth;
            break;
        case KYR_AUTO_MAX_GAIN:
            limits(cam.m_iGainMax, cam.m_iGainMin, (cam.m_iGainMin + cam.m_iGainMax) / 2);
            break;
        case KYR_AUTO_MAX_EXP:
            row.lMax = cam.m_iExpMax >= kAutoExpCapFromUs ? kAutoExpMaxMsCap : cam.m_iExpMax / 1000;
            break;
        case KYR_PATTERN_ADJUST:
            limits(cam.m_iPatternMax, cam.m_iPatternMin, row.lDefault);
            break;
        default:
            break;
    }
    return row;
}

int BoolCode(bool ok) { return ok ? KYR_SUCCESS : KYR_ERROR_GENERAL_ERROR; }

// The conversion factor of the current gain: the 810 sensor family's gain
// steps double every 16 steps up to 80, then rise linearly; every other
// sensor's gain is in tenths of a decibel.
double GainFactor(const char* szName, int iGain) {
    const double g = iGain;
    if (szName && strstr(szName, "810")) {
        if (iGain < 16) return 1.0 + g / 16.0;
        if (iGain < 32) return 2.0 + 2.0 * (g - 16.0) / 16.0;
        if (iGain < 48) return 4.0 + 4.0 * (g - 32.0) / 16.0;
        if (iGain < 64) return 8.0 + 8.0 * (g - 48.0) / 16.0;
        if (iGain < 80) return g - 48.0;
        return 32.0 + (g - 80.0) * 32.0 / 20.0;
    }
    return static_cast<float>(pow(10.0, g / 200.0));
}

}  // namespace

// ---- Capability table and control list ------------------------------------------

bool CCameraBase::IsControlType(KYR_CONTROL_TYPE controlType) {
    return static_cast<unsigned int>(controlType) <= kLastControl;
}

bool CCameraBase::GetCtrllCaps(KYR_CONTROL_TYPE controlType, KYR_CONTROL_CAPS* pCaps) {
    if (!pCaps || !IsControlType(controlType)) return false;
    CCritSecLock lock(m_csControl);
    const SControlRow row = ControlRow(*this, static_cast<unsigned int>(controlType));
    snprintf(pCaps->name, sizeof(pCaps->name), "%s", row.szName);
    snprintf(pCaps->description, sizeof(pCaps->description), "%s", row.szDescription);
    pCaps->max_value = row.lMax;
    pCaps->min_value = row.lMin;
    pCaps->default_value = row.lDefault;
    pCaps->supports_auto = row.bAuto ? KYR_TRUE : KYR_FALSE;
    pCaps->is_writable = row.bWritable ? KYR_TRUE : KYR_FALSE;
    return true;
}

int CCameraBase::GetNumOfControls() {
    CCritSecLock lock(m_csControl);
    // In this order, each when the camera has it; FanOn is never listed.
    const struct {
        bool bListed;
        KYR_CONTROL_TYPE type;
    } order[] = {
        {m_bCapGain, KYR_GAIN},
        {m_bCapExposure, KYR_EXPOSURE},
        {m_bCapGamma, KYR_GAMMA},
        {m_bColor && m_bCapWBR, KYR_WB_R},
        {m_bColor && m_bCapWBB, KYR_WB_B},
        {m_bCapOffset, KYR_OFFSET},
        {m_bCapBandWidth, KYR_BANDWIDTH},
        {true, KYR_FLIP},
        {m_bCapOverCLK, KYR_OVERCLK},
        {true, KYR_AUTO_MAX_GAIN},
        {true, KYR_AUTO_MAX_EXP},
        {true, KYR_AUTO_TARGET_BRIGHTNESS},
        {m_bCapHardwareBin, KYR_HARDWARE_BIN},
        {m_bCapHighSpeed, KYR_HIGH_SPEED_MODE},
        {m_bColor, KYR_MONO_BIN},
        {m_bCapPattern, KYR_PATTERN_ADJUST},
        {m_bCapTemperature, KYR_TEMPERATURE},
        {m_bCooler, KYR_COOLER_POWER_PERC},
        {m_bCooler, KYR_TARGET_TEMP},
        {m_bCooler, KYR_COOLER_ON},
        {m_bCapAntiDew, KYR_ANTI_DEW_HEATER},
    };
    static_assert(sizeof(order) / sizeof(order[0]) <= kControlListSlots, "control list too small");
    int n = 0;
    for (const auto& entry : order)
        if (entry.bListed) m_iControlList[n++] = entry.type;
    m_iNumOfControls = n;
    return n;
}

bool CCameraBase::GetControlCaps(int iIndex, KYR_CONTROL_CAPS* pCaps) {
    if (!pCaps) return false;
    CCritSecLock lock(m_csControl);
    if (iIndex < 0 || iIndex >= m_iNumOfControls) return false;
    const KYR_CONTROL_TYPE type = static_cast<KYR_CONTROL_TYPE>(m_iControlList[iIndex]);
    pCaps->control_type = type;
    return GetCtrllCaps(type, pCaps);
}

// ---- Setting a control ------------------------------------------------------------------

long CCameraBase::ClampToControl(KYR_CONTROL_TYPE controlType, long lValue) {
    KYR_CONTROL_CAPS caps;
    if (!GetCtrllCaps(controlType, &caps)) return lValue;
    if (lValue < caps.min_value) return caps.min_value;
    if (lValue > caps.max_value) return caps.max_value;
    return lValue;
}

int CCameraBase::SetControlValue(KYR_CONTROL_TYPE controlType, long lValue, bool bAuto) {
    if (!IsControlType(controlType)) return KYR_ERROR_INVALID_CONTROL_TYPE;
    const unsigned int uType = static_cast<unsigned int>(controlType);
    CCritSecLock lock(m_csControl);
    // Clamped to limits that are ints, so the value fits one from here on.
    const int iValue = static_cast<int>(ClampToControl(controlType, lValue));

    switch (controlType) {
        case KYR_GAIN:
            return BoolCode(SetGain(iValue, bAuto));
        case KYR_EXPOSURE: {
            // A repeat of the last request is skipped only while the camera
            // still runs what that request left: auto exposure may have moved
            // the exposure since, and a failed request is never remembered.
            if (iValue == m_iLastExpSet && bAuto == m_bLastExpAuto && m_lExpTimeUs == m_ullLastExpLeftUs &&
                m_bAutoExp == m_bLastExpAutoLeft)
                return KYR_SUCCESS;
            DbgPrint(-1, "SetControlValue", "SetExp-> %d, auto: %d\n", iValue, bAuto ? 1 : 0);
            if (!SetExp(static_cast<unsigned long long>(iValue), bAuto)) {
                m_iLastExpSet = -1;
                return KYR_ERROR_GENERAL_ERROR;
            }
            m_iLastExpSet = iValue;
            m_bLastExpAuto = bAuto;
            m_ullLastExpLeftUs = m_lExpTimeUs;
            m_bLastExpAutoLeft = m_bAutoExp;
            return KYR_SUCCESS;
        }
        case KYR_GAMMA:
            return BoolCode(SetGamma(iValue));
        case KYR_WB_R:
        case KYR_WB_B: {
            // A mono camera has no white balance to fail: its drivers accept
            // the call and do nothing.
            const bool ok = controlType == KYR_WB_R ? SetRGBBalance(iValue, m_iWBBlue, bAuto)
                                                    : SetRGBBalance(m_iWBRed, iValue, bAuto);
            return m_bColor ? BoolCode(ok) : KYR_SUCCESS;
        }
        case KYR_OFFSET:
            return BoolCode(SetBrightness(iValue));
        case KYR_BANDWIDTH:
            return BoolCode(SetFPSPerc(iValue, bAuto));
        case KYR_OVERCLK:
            return BoolCode(SetOverCLKPerc(iValue));
        case KYR_TEMPERATURE:
            return KYR_SUCCESS;  // read-only
        case KYR_FLIP:
            m_bFlipRow = (iValue & 1) != 0;
            m_bFlipColumn = (iValue & 2) != 0;
            return KYR_SUCCESS;
        case KYR_AUTO_MAX_GAIN:
        case KYR_AUTO_MAX_EXP:
        case KYR_AUTO_TARGET_BRIGHTNESS: {
            int para[3];
            GetAutoPara(&para[0], &para[1], &para[2]);
            para[uType - KYR_AUTO_MAX_GAIN] = iValue;
            SetAutoPara(para[0], para[1], para[2]);
            return KYR_SUCCESS;
        }
        case KYR_HARDWARE_BIN:
            return BoolCode(SetHardwareBin(iValue >= 1));
        case KYR_HIGH_SPEED_MODE:
            return BoolCode(SetHighSpeedMode(iValue >= 1));
        case KYR_MONO_BIN:
            return BoolCode(SetMonoBin(iValue >= 1));
        case KYR_PATTERN_ADJUST:
            SetPattern(iValue);
            return KYR_SUCCESS;
        default:
            // The cooler controls: only cooled cameras have them.
            return KYR_ERROR_INVALID_CONTROL_TYPE;
    }
}

// ---- Reading a control ---------------------------------------------------------------------

int CCameraBase::GetControlValue(KYR_CONTROL_TYPE controlType, long* plValue, KYR_BOOL* pbAuto) {
    if (pbAuto) *pbAuto = KYR_FALSE;
    if (!IsControlType(controlType)) return KYR_ERROR_INVALID_CONTROL_TYPE;
    const unsigned int uType = static_cast<unsigned int>(controlType);
    CCritSecLock lock(m_csControl);
    long value = 0;
    bool bAuto = false;
    switch (controlType) {
        case KYR_GAIN:
            value = GetGain(&bAuto);
            break;
        case KYR_EXPOSURE:
            value = static_cast<uint32_t>(m_lExpTimeUs.load());
            bAuto = m_bAutoExp;
            break;
        case KYR_GAMMA:
            value = GetGamma();
            break;
        case KYR_WB_R:
            value = m_iWBRed;
            bAuto = m_bAutoWB;
            break;
        case KYR_WB_B:
            value = m_iWBBlue;
            bAuto = m_bAutoWB;
            break;
        case KYR_OFFSET:
            value = m_iBrightness;
            break;
        case KYR_BANDWIDTH:
            value = m_iFPSPerc;
            bAuto = m_bAutoFPS;
            break;
        case KYR_OVERCLK:
            value = m_iOverCLKPerc;
            break;
        case KYR_TEMPERATURE:
            value = static_cast<long>(GetTemp() * 10.0f);
            break;
        case KYR_FLIP:
            value = (m_bFlipRow ? 1 : 0) + (m_bFlipColumn ? 2 : 0);
            break;
        case KYR_AUTO_MAX_GAIN:
        case KYR_AUTO_MAX_EXP:
        case KYR_AUTO_TARGET_BRIGHTNESS: {
            int para[3];
            GetAutoPara(&para[0], &para[1], &para[2]);
            value = para[uType - KYR_AUTO_MAX_GAIN];
            break;
        }
        case KYR_HARDWARE_BIN:
            value = m_bHardwareBin ? 1 : 0;
            break;
        case KYR_HIGH_SPEED_MODE:
            value = m_bHighSpeed ? 1 : 0;
            break;
        case KYR_MONO_BIN:
            value = GetMonoBin() ? 1 : 0;
            break;
        case KYR_PATTERN_ADJUST:
            value = m_iPattern;
            break;
        default:
            return KYR_ERROR_INVALID_CONTROL_TYPE;
    }
    if (plValue) *plValue = value;
    if (pbAuto) *pbAuto = bAuto ? KYR_TRUE : KYR_FALSE;
    return KYR_SUCCESS;
}

// ---- Mono binning of colour cameras -----------------------------------------------------------

bool CCameraBase::SetMonoBin(bool bOn) {
    CCritSecLock lock(m_csControl);
    // Cameras whose FPGA bins the colour cells into one pixel switch it there.
    if (m_bFPGAMonoBin && !SetFPGABinType(bOn)) return false;
    m_bMonoBin = bOn;
    return true;
}

bool CCameraBase::GetMonoBin() {
    CCritSecLock lock(m_csControl);
    uint8_t reg = 0;
    // A failed read tells nothing: the remembered state stands.
    if (m_bFPGAMonoBin && ReadFPGAREG(FPGA_REG_BIN, &reg)) m_bMonoBin = (reg & FPGA_BIN_TYPE) == 0;
    return m_bMonoBin;
}

// ---- Description ---------------------------------------------------------------------------------

bool CCameraBase::IsImgTypeSupported(IMG_TYPE imgType) {
    switch (imgType) {
        case IMG_RAW8:
            return m_bCapRaw8;
        case IMG_RGB24:
            return m_bColor && m_bCapRGB24;
        case IMG_RAW16:
            return m_bCapRaw16;
        case IMG_Y8:
            return m_bColor && m_bCapY8;
        default:
            return false;
    }
}

void CCameraBase::GetCameraProperty(KYR_CAMERA_INFO* pInfo) {
    if (!pInfo) return;
    CCritSecLock lock(m_csControl);
    // A defined record, reserved bytes included.
    memset(pInfo, 0, sizeof(*pInfo));
    snprintf(pInfo->name, sizeof(pInfo->name), "%s", m_pszName ? m_pszName : "");
    pInfo->max_height = m_iMaxHeight;
    pInfo->max_width = m_iMaxWidth;
    pInfo->is_color = m_bColor ? KYR_TRUE : KYR_FALSE;
    pInfo->bayer = static_cast<KYR_BAYER_PATTERN>(m_iBayer);
    for (int i = 0; i < kSupportedBinSlots; ++i) pInfo->supported_bins[i] = m_ucSupportedBins[i];
    int n = 0;
    for (IMG_TYPE type : {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16})
        if (IsImgTypeSupported(type)) pInfo->supported_image_types[n++] = type;
    pInfo->supported_image_types[n] = IMG_END;
    pInfo->pixel_size_um = m_dPixelSize;
    pInfo->mechanical_shutter = KYR_FALSE;
    pInfo->st4_port = m_bST4 ? KYR_TRUE : KYR_FALSE;
    pInfo->has_cooler = m_bCooler ? KYR_TRUE : KYR_FALSE;
    pInfo->is_usb3_host = m_bUSB3Host ? KYR_TRUE : KYR_FALSE;
    pInfo->is_usb3 = m_bUSB3Camera ? KYR_TRUE : KYR_FALSE;
    pInfo->elec_per_adu = m_fElecPerADU / static_cast<float>(GainFactor(m_pszName, m_iGain));
    pInfo->bit_depth = m_iADCBits;
    pInfo->is_trigger = m_bTriggerCam ? KYR_TRUE : KYR_FALSE;
}

// The cooler controls of a cooled camera: target temperature, regulation on
// and off, fan and anti-dew heater, and the cooler power they read back. Every
// other control goes to the camera object's controls.
#include "cooling/CameraCool.h"

namespace {

int BoolCode(bool ok) { return ok ? KYR_SUCCESS : KYR_ERROR_GENERAL_ERROR; }

}  // namespace

int CCameraCool::SetControlValue(KYR_CONTROL_TYPE controlType, long lValue, bool bAuto) {
    if (!IsControlType(controlType)) return KYR_ERROR_INVALID_CONTROL_TYPE;
    CCritSecLock lock(m_csControl);
    lValue = ClampToControl(controlType, lValue);
    switch (controlType) {
        case KYR_TARGET_TEMP:
            SetAutoTemp(m_bAutoTempOn, static_cast<float>(lValue));
            return KYR_SUCCESS;
        case KYR_COOLER_ON:
            SetAutoTemp(lValue > 0, static_cast<float>(m_iTargetTemp.load()));
            // Off means the cooler off too; a level the camera did not take
            // leaves it running.
            if (lValue <= 0) return BoolCode(SetPowerPerc(0));
            return KYR_SUCCESS;
        case KYR_FAN_ON:
            return BoolCode(SetFanOn(lValue > 0));
        case KYR_ANTI_DEW_HEATER:
            return BoolCode(SetLensHeat(lValue > 0));
        default:
            return CCameraBase::SetControlValue(controlType, lValue, bAuto);
    }
}

int CCameraCool::GetControlValue(KYR_CONTROL_TYPE controlType, long* plValue, KYR_BOOL* pbAuto) {
    if (pbAuto) *pbAuto = KYR_FALSE;
    long value = 0;
    switch (controlType) {
        case KYR_COOLER_POWER_PERC:
            value = static_cast<long>(m_fCoolPowerPerc.load());
            break;
        case KYR_TARGET_TEMP:
            value = m_iTargetTemp;
            break;
        case KYR_COOLER_ON:
            value = m_bAutoTempOn ? 1 : 0;
            break;
        case KYR_FAN_ON:
            value = GetFanOn() ? 1 : 0;
            break;
        case KYR_ANTI_DEW_HEATER:
            value = GetLensHeat() ? 1 : 0;
            break;
        default:
            return CCameraBase::GetControlValue(controlType, plValue, pbAuto);
    }
    if (plValue) *plValue = value;
    return KYR_SUCCESS;
}

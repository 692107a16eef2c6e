// Shared CCameraBase methods whose real bodies come with the work that owns
// them. Until then each one refuses (false, 0, KYR_ERROR_GENERAL_ERROR) or does
// nothing, and touches no device. Each block names the work that replaces it;
// whoever brings the real body deletes the block here.
#include "CameraBase.h"

#include <stdio.h>
#include <string.h>

// ---- Capture control, camera modes, triggers, guiding ---------------------------

bool CCameraBase::StartAutoControlThr() { return false; }

// ---- Auto exposure, gain and white balance -------------------------------------------

void CCameraBase::SetAutoPara(int, int, int) {}
void CCameraBase::GetAutoPara(int* piMaxGain, int* piMaxExpMs, int* piTargetBrightness) {
    if (piMaxGain) *piMaxGain = m_iAutoGainMax;
    if (piMaxExpMs) *piMaxExpMs = m_iAutoExpMaxMs;
    if (piTargetBrightness) *piTargetBrightness = m_iDestBrightness;
}

// ---- Controls and camera description -----------------------------------------------------

int CCameraBase::SetControlValue(KYR_CONTROL_TYPE, long, bool) { return KYR_ERROR_GENERAL_ERROR; }
int CCameraBase::GetControlValue(KYR_CONTROL_TYPE, long*, KYR_BOOL*) { return KYR_ERROR_GENERAL_ERROR; }
int CCameraBase::GetNumOfControls() { return 0; }
bool CCameraBase::GetControlCaps(int, KYR_CONTROL_CAPS*) { return false; }
bool CCameraBase::GetCtrllCaps(KYR_CONTROL_TYPE, KYR_CONTROL_CAPS*) { return false; }
// Until then a defined record: all zero but for the model's name.
void CCameraBase::GetCameraProperty(KYR_CAMERA_INFO* pInfo) {
    if (!pInfo) return;
    memset(pInfo, 0, sizeof(*pInfo));
    if (m_pszName) snprintf(pInfo->name, sizeof(pInfo->name), "%s", m_pszName);
}
bool CCameraBase::IsImgTypeSupported(IMG_TYPE) { return false; }
void CCameraBase::SetMonoBin(bool) {}
bool CCameraBase::GetMonoBin() { return false; }

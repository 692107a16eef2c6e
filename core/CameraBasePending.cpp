// Shared CCameraBase methods whose real bodies come with the work that owns
// them. Until then each one refuses (false, 0, KYR_ERROR_GENERAL_ERROR) or does
// nothing, and touches no device. Each block names the work that replaces it;
// whoever brings the real body deletes the block here.
#include "CameraBase.h"

// ---- Capture control, camera modes, triggers, guiding ---------------------------

bool CCameraBase::StartAutoControlThr() { return false; }

// ---- Camera ID, serial number, hot-pixel table (flash and ID work) --------------------

bool CCameraBase::GetIDFromSPI(KYR_ID*) { return false; }
bool CCameraBase::SetIDToSPI(KYR_ID) { return false; }
bool CCameraBase::GetSerialNumber(KYR_ID*) { return false; }
bool CCameraBase::SetHPCStates(bool) { return false; }

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
void CCameraBase::GetCameraProperty(KYR_CAMERA_INFO*) {}
bool CCameraBase::IsImgTypeSupported(IMG_TYPE) { return false; }
void CCameraBase::SetMonoBin(bool) {}
bool CCameraBase::GetMonoBin() { return false; }

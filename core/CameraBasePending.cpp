// Shared CCameraBase methods whose real bodies come with the work that owns
// them. Until then each one refuses (false, 0, KYR_ERROR_GENERAL_ERROR) or does
// nothing, and touches no device. Each block names the work that replaces it;
// whoever brings the real body deletes the block here.
#include "CameraBase.h"

// ---- Frame post-processing -------------------------------------------------------------

bool CCameraBase::SetGamma(int) { return false; }
void CCameraBase::AdjustHPCTable() {}
int CCameraBase::LoadBMPFromFile(const char*) { return 0; }
void CCameraBase::UsingDark(bool) {}

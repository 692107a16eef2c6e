// The sensor clamp of sensors that have one: open while video streams, closed
// for single exposures. Its writes go outside the register hold. The camera
// remembers the clamp's state in m_bClampOpen; a write that failed leaves the
// state as it was, so the next start of streaming tries again.
#include "engine/EngineDriver.h"
#include "cooling/CameraCool.h"
#include "platform/Log.h"

template <class TBase>
bool CEngineDriver<TBase>::SetSensorClamp(bool bOpen) {
    CRegPlan plan;
    plan.Table(bOpen ? m_Desc.clampOpenRows : m_Desc.clampCloseRows);
    const bool ok = RunPlan(plan);
    this->DbgPrint2("SetSensorClamp", bOpen ? "Open Clamp\n" : "Close Clamp\n");
    return ok;
}

template <class TBase>
void CEngineDriver<TBase>::FollowStreamClamp() {
    if (!m_Desc.clampOpenRows.pRows) return;  // the sensor has no clamp
    CCritSecLock lock(this->m_csControl);
    if (this->m_bSnapMode) {
        if (!m_bClampOpen) return;
        if (SetSensorClamp(false))
            m_bClampOpen = 0;
        else
            this->DbgPrint2("StartSensorStreaming", "Failed to close Clamp\n");
        return;
    }
    if (m_bClampOpen) return;
    if (SetSensorClamp(true))
        m_bClampOpen = 1;
    else
        this->DbgPrint2("StartSensorStreaming", "Failed to open Clamp\n");
}

template bool CEngineDriver<CCameraBase>::SetSensorClamp(bool);
template bool CEngineDriver<CCameraCool>::SetSensorClamp(bool);
template void CEngineDriver<CCameraBase>::FollowStreamClamp();
template void CEngineDriver<CCameraCool>::FollowStreamClamp();

#include "TestDriver.h"

#include <string.h>

#include <chrono>
#include <thread>

namespace {

// How often the waits look at flags that nobody signals (a cleared running
// flag, released readers).
constexpr auto kPollStep = std::chrono::milliseconds(1);

}  // namespace

CTestDriver::CTestDriver(int iProductID) {
    m_iVID = kVendorID;
    m_iPID = iProductID;
    // Like a real driver, the capture threads run the driver's bodies.
    BindCaptureBody(m_thrWork, ScriptedCapture);
    BindCaptureBody(m_thrTrigger, ScriptedCapture);
}

CTestDriver::~CTestDriver() {
    // The bodies use this class's members, which go before ~CCameraBase runs.
    OpenLatch();
    StopCameraThreads();
}

bool CTestOpScript::RunInitCamera(CCameraBase& cam, int iMaxWidth, int iMaxHeight) {
    if (!Run(OP_INIT_CAMERA)) return false;
    {
        // A capture body of an earlier initialisation may still read the sizes.
        CCritSecLock lock(cam.m_csControl);
        cam.m_iMaxWidth = iMaxWidth;
        cam.m_iMaxHeight = iMaxHeight;
    }
    return cam.InitVariable();
}

bool CTestDriver::InitCamera() { return RunInitCamera(*this, kMaxWidth, kMaxHeight); }

void CTestDriver::CloseCamera() {
    ++m_iCloseCalls;
    CCameraBase::CloseCamera();
}

bool CTestDriver::SetResolution(int, int, int, IMAGE_TYPE) { return Run(OP_SET_RESOLUTION); }

bool CTestDriver::SetStartPos(int, int) { return Run(OP_SET_START_POS); }

bool CTestDriver::SetGain(int, bool) { return Run(OP_SET_GAIN); }

bool CTestDriver::SetRGBBalance(int, int, bool) { return Run(OP_SET_RGB_BALANCE); }

bool CTestDriver::SetExp(unsigned long long, bool) { return Run(OP_SET_EXP); }

bool CTestDriver::GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) {
    Count(OP_GET_IMAGE);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iWaitMs);
    std::unique_lock<std::mutex> lock(m_mtxFrame);
    while (!m_bHaveFrame) {
        if (ImageReadersReleased()) return false;
        if (iWaitMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        m_cvFrame.wait_for(lock, kPollStep);
    }
    if (ImageReadersReleased()) return false;
    if (!Result(OP_GET_IMAGE) || !pBuffer || iBytes < 0) return false;
    size_t n = m_frame.size() < static_cast<size_t>(iBytes) ? m_frame.size() : static_cast<size_t>(iBytes);
    if (n > 0) memcpy(pBuffer, m_frame.data(), n);
    m_bHaveFrame = false;
    return true;
}

void CTestDriver::FeedFrame(const std::vector<unsigned char>& frame) {
    {
        std::lock_guard<std::mutex> lock(m_mtxFrame);
        m_frame = frame;
        m_bHaveFrame = true;
    }
    m_cvFrame.notify_all();
}

void CTestDriver::ArmLatch() {
    std::lock_guard<std::mutex> lock(m_mtxLatch);
    m_bLatchArmed = true;
}

void CTestDriver::OpenLatch() {
    {
        std::lock_guard<std::mutex> lock(m_mtxLatch);
        m_bLatchArmed = false;
    }
    m_cvLatch.notify_all();
}

bool CTestDriver::StartWorkThread() {
    return BindCaptureBody(m_thrWork, ScriptedCapture) && m_thrWork.Start(this);
}

bool CTestDriver::StartTriggerThread() {
    return BindCaptureBody(m_thrTrigger, ScriptedCapture) && m_thrTrigger.Start(this);
}

bool CTestDriver::StartAutoCtrlThread() {
    return m_thrAutoCtrl.InitFuncPt(ScriptedAutoControl) && m_thrAutoCtrl.Start(this);
}

bool CTestDriver::WaitSteps(int n, int iTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (m_iSteps.load() < n) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

void CTestDriver::ScriptedCapture(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    // The core's frame publishes the status when the body has left.
    pCam->m_iSnapStatus = static_cast<CTestDriver*>(pCam)->RunScript(pbRunning);
}

void CTestDriver::ScriptedAutoControl(std::atomic<bool>* pbRunning, void* pArg) {
    static_cast<CTestDriver*>(pArg)->RunScript(pbRunning);
}

int CTestDriver::RunScript(std::atomic<bool>* pbRunning) {
    {
        std::unique_lock<std::mutex> lock(m_mtxLatch);
        ++m_iLatchWaiters;
        while (m_bLatchArmed && pbRunning->load()) m_cvLatch.wait_for(lock, kPollStep);
        --m_iLatchWaiters;
    }
    switch (m_captureMode.load()) {
        case CAPTURE_SUCCEED:
            return pbRunning->load() ? KYR_EXP_SUCCESS : KYR_EXP_FAILED;
        case CAPTURE_FAIL:
            return KYR_EXP_FAILED;
        case CAPTURE_LOOP:
            while (pbRunning->load()) {
                {
                    // The plain idiom: a stop joins with this lock released.
                    CCritSecLock lock(m_csControl);
                    // Touch every frame buffer, as a capture thread does, so
                    // that a buffer freed under a running thread shows at once.
                    const int step = m_iSteps.load();
                    const size_t frameBytes = static_cast<size_t>(m_iMaxWidth) * m_iMaxHeight * 2;
                    uint8_t* buffers[] = {m_pXferBuf, m_pXferBuf2, m_pImgBuf};
                    for (uint8_t* buf : buffers)
                        if (buf) memset(buf, step & 0xFF, frameBytes);
                    if (m_pHotPixMap) m_pHotPixMap[step % (m_iMaxWidth * m_iMaxHeight)] ^= 1;
                    if (m_pGammaLUT16) m_pGammaLUT16[step & 0xFFFF] = static_cast<uint16_t>(step);
                    ++m_iSteps;
                }
                std::this_thread::sleep_for(kPollStep);
            }
            break;
    }
    return KYR_EXP_FAILED;
}

// CTestDriver: a driver class for tests of the camera core, used until real
// drivers exist. It implements the pure operations with results the test sets
// and counts their calls; its InitCamera sets a small maximum size and calls
// InitVariable; its capture body, run by the core's capture-thread frame like
// a driver's, can end with success or failure, loop until stopped (taking the
// control lock the plain way at each step), or wait on a latch first; its
// GetImage waits until a frame is fed or the readers are released. It records its CloseCamera calls and sets a
// flag of the test's when it is destroyed.
#ifndef KYR_TEST_DRIVER_H
#define KYR_TEST_DRIVER_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "camera/CameraBase.h"

// Call counts and scripted results of the pure operations of a test driver.
class CTestOpScript {
  public:
    enum Op {
        OP_INIT_CAMERA,
        OP_SET_RESOLUTION,
        OP_SET_START_POS,
        OP_SET_GAIN,
        OP_SET_RGB_BALANCE,
        OP_SET_EXP,
        OP_GET_IMAGE,
        OP_COUNT
    };

    void SetResult(Op op, bool bResult) { m_bResult[op] = bResult; }
    int Calls(Op op) const { return m_iCalls[op].load(); }
    // Set to true when the driver is destroyed (the pointed-to flag must outlive it).
    void SetDestroyedFlag(std::atomic<bool>* pbDestroyed) { m_pbDestroyed = pbDestroyed; }

  protected:
    CTestOpScript() {
        for (auto& result : m_bResult) result = true;
    }
    ~CTestOpScript() {
        if (m_pbDestroyed) *m_pbDestroyed = true;
    }
    // InitCamera of a test driver: counts the call and, unless scripted to
    // fail, sets the small maximum size and allocates the work buffers.
    bool RunInitCamera(CCameraBase& cam, int iMaxWidth, int iMaxHeight);
    void Count(Op op) { ++m_iCalls[op]; }
    bool Result(Op op) const { return m_bResult[op]; }
    // Counts a call of op and returns its scripted result.
    bool Run(Op op) {
        Count(op);
        return Result(op);
    }

  private:
    std::atomic<int> m_iCalls[OP_COUNT] = {};
    std::atomic<bool> m_bResult[OP_COUNT];
    std::atomic<bool>* m_pbDestroyed = nullptr;
};

class CTestDriver : public CCameraBase, public CTestOpScript {
  public:
    static constexpr int kVendorID = 0x2e7b;
    static constexpr int kProductID = 0x832b;
    static constexpr int kMaxWidth = 64;
    static constexpr int kMaxHeight = 48;

    // What the capture body does after its latch (if armed) has opened.
    enum CaptureMode {
        CAPTURE_SUCCEED,  // reports success at once and ends
        CAPTURE_FAIL,     // reports failure at once and ends
        CAPTURE_LOOP,     // one step per millisecond until stopped, then ends (failure)
    };

    explicit CTestDriver(int iProductID = kProductID);
    ~CTestDriver() override;

    bool InitCamera() override;
    void CloseCamera() override;
    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) override;
    bool SetStartPos(int iStartX, int iStartY) override;
    bool SetGain(int iGain, bool bAuto) override;
    bool SetRGBBalance(int iRed, int iBlue, bool bAuto) override;
    bool SetExp(unsigned long long ullExposureUs, bool bAuto) override;
    // Waits up to iWaitMs (-1: no limit) for a fed frame and copies up to iBytes
    // of it; false on time-out or once the readers are released.
    bool GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) override;

    int CloseCalls() const { return m_iCloseCalls.load(); }

    // Feeds one frame to GetImage.
    void FeedFrame(const std::vector<unsigned char>& frame);

    // Scripted body of m_thrWork, m_thrTrigger and m_thrAutoCtrl.
    void SetCaptureMode(CaptureMode mode) { m_captureMode = mode; }
    // An armed latch makes every body wait before it does anything, until
    // OpenLatch or its running flag is cleared.
    void ArmLatch();
    void OpenLatch();
    // Starts the threads with the scripted body.
    bool StartWorkThread();
    bool StartTriggerThread();
    bool StartAutoCtrlThread();
    // Steps done by the looping bodies (all threads together), and bodies
    // currently waiting on the latch.
    int Steps() const { return m_iSteps.load(); }
    int LatchWaiters() const { return m_iLatchWaiters.load(); }
    // Waits up to iTimeoutMs for Steps() to reach n.
    bool WaitSteps(int n, int iTimeoutMs);

  private:
    static void ScriptedCapture(CCameraBase* pCam, std::atomic<bool>* pbRunning);
    static void ScriptedAutoControl(std::atomic<bool>* pbRunning, void* pArg);
    // The script; returns the status it reached.
    int RunScript(std::atomic<bool>* pbRunning);

    std::atomic<int> m_iCloseCalls{0};
    std::mutex m_mtxFrame;
    std::condition_variable m_cvFrame;
    std::vector<unsigned char> m_frame;
    bool m_bHaveFrame = false;

    std::atomic<CaptureMode> m_captureMode{CAPTURE_LOOP};
    std::mutex m_mtxLatch;
    std::condition_variable m_cvLatch;
    bool m_bLatchArmed = false;
    std::atomic<int> m_iLatchWaiters{0};
    std::atomic<int> m_iSteps{0};
};

#endif

// CFrameDriver: a test driver whose capture body streams real frames from the
// (simulated) camera the way the drivers' capture thread does: it programs the
// FPGA window so that the camera sends the frame the ROI asks for, starts the
// stream, reads each frame with the multi-transfer set into the core's
// alternating receive buffers, offers it to the ring with the generation A
// markers, counts lost frames and reports the snapshot's result; the core's
// capture-thread frame does the rest of the exit. Its GetImage takes the
// oldest frame from the ring and restores the marker words.
//
// It accepts raw 8-bit and raw 16-bit images at bin 1 only; it does no colour
// conversion, binning or post-processing.
#ifndef KYR_FRAME_DRIVER_H
#define KYR_FRAME_DRIVER_H

#include <atomic>

#include "TestDriver.h"

class CFrameDriver : public CTestDriver {
  public:
    // Frames are read in transfers of this size, as every driver does.
    static constexpr int kXferBytes = 1 << 20;

    explicit CFrameDriver(int iMaxWidth = kMaxWidth, int iMaxHeight = kMaxHeight);
    ~CFrameDriver() override;

    bool InitCamera() override;
    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) override;
    bool SetStartPos(int iStartX, int iStartY) override;
    bool SetExp(unsigned long long ullExposureUs, bool bAuto) override;
    bool GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) override;

    // The maximum size the next InitCamera sets up.
    void SetMaxSize(int iMaxWidth, int iMaxHeight) {
        m_iMaxW = iMaxWidth;
        m_iMaxH = iMaxHeight;
    }
    // The read-out pauses this long between taking a frame from the ring and
    // finishing it in m_pImgBuf, as post-processing takes time; ReadOuts()
    // counts the read-outs that have reached the pause.
    void SetReadOutPauseMs(int iMs) { m_iReadOutPauseMs = iMs; }
    int ReadOuts() const { return m_iReadOuts.load(); }
    // Frames the ring accepted since the object was made.
    int FramesAccepted() const { return m_iAccepted.load(); }
    // Whole frames the ring had no room for (the reader behind, or the frame
    // before still being copied in), since the object was made. They count as
    // dropped; the ring refuses them before it looks at their markers.
    int FramesRefused() const { return m_iRefused.load(); }

  private:
    static void WorkingFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning);
    void RunWorking(std::atomic<bool>* pbRunning);
    // A frame that arrived incomplete or failed its markers.
    void LostFrame(int iFailures, int* piEmpty);

    int m_iMaxW;
    int m_iMaxH;
    std::atomic<int> m_iAccepted{0};
    std::atomic<int> m_iRefused{0};
    std::atomic<int> m_iReadOutPauseMs{0};
    std::atomic<int> m_iReadOuts{0};
};

#endif

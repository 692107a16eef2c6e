// CRecordingDriver: a test driver whose setters behave like a driver's towards
// the camera object's fields and record every call. SetGain, SetExp and
// SetRGBBalance store the clamped gain, the exposure with its exposure lines
// and the white balance with their auto flags, as drivers do; the other
// virtual setters only record. Any setter can be made to fail (then nothing is
// stored). SetResolution stores the geometry. Every setter flags when a second
// thread enters a setter while another thread is still inside one, so that
// interleaved multi-register sequences show; the setters take no lock of
// their own, as the lock is the callers' job.
//
// Its capture body does in video what drivers do there: it starts the
// auto-control thread with the video period, then runs until stopped (the
// test feeds the ring); a snapshot reports success at once.
//
// It starts as a colour camera without cooler, with temperature support and
// the four image types; tests change the fields to make other cameras.
#ifndef KYR_RECORDING_DRIVER_H
#define KYR_RECORDING_DRIVER_H

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <ostream>
#include <vector>

#include "TestDriver.h"

class CRecordingDriver : public CTestDriver {
  public:
    // The recorded setters.
    enum Setter {
        REC_GAIN,
        REC_EXP,
        REC_WB,
        REC_GAMMA,
        REC_OFFSET,
        REC_BANDWIDTH,
        REC_OVERCLK,
        REC_HARDWARE_BIN,
        REC_HIGH_SPEED,
        REC_PATTERN,
        REC_COUNT
    };
    // One call: the setter, its one or two values and its auto flag.
    struct SCall {
        Setter setter;
        long long a;
        long long b;
        bool bAuto;
        bool operator==(const SCall& o) const {
            return setter == o.setter && a == o.a && b == o.b && bAuto == o.bAuto;
        }
    };

    static constexpr const char* kName = "VORN KYR832MC";

    explicit CRecordingDriver(int iProductID = kProductID);
    ~CRecordingDriver() override;

    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) override;
    bool SetGain(int iGain, bool bAuto) override;
    bool SetExp(unsigned long long ullExposureUs, bool bAuto) override;
    bool SetRGBBalance(int iRed, int iBlue, bool bAuto) override;
    bool SetGamma(int iGamma) override;
    bool SetBrightness(int iOffset) override;
    bool SetFPSPerc(int iPercent, bool bAuto) override;
    bool SetOverCLKPerc(int iPercent) override;
    bool SetHardwareBin(bool bOn) override;
    bool SetHighSpeedMode(bool bOn) override;
    bool SetPattern(int iPattern) override;
    // The scripted temperature once SetTempForTest was called, else the base's.
    float GetTemp() override;

    void Fail(Setter setter, bool bFail) { m_bFail[setter] = bFail; }
    std::vector<SCall> Recorded();
    std::vector<SCall> Recorded(Setter setter);
    int Count(Setter setter);
    void ClearRecorded();
    // A second thread entered a setter while another was inside one.
    bool Overlapped() const { return m_bOverlapped.load(); }
    // Time each setter spends inside, to widen the window for Overlapped.
    void SetSetterDelayUs(int iUs) { m_iDelayUs = iUs; }
    // Exposure lines after SetExp: the exposure over the line time, or a
    // fixed count (-1 returns to the line time).
    void SetLineUs(int iUs) { m_iLineUs = iUs > 0 ? iUs : 1; }
    void SetFixedExpLines(int iLines) { m_iFixedLines = iLines; }
    void SetTempForTest(float fCelsius) {
        m_fTemp = fCelsius;
        m_bTempSet = true;
    }

    // The auto-control period drivers set for video.
    static constexpr int kVideoAutoPeriodUs = 100000;

  private:
    static void RecordingCapture(CCameraBase* pCam, std::atomic<bool>* pbRunning);

    // Records a call and, unless the setter is made to fail, stores its
    // values with store().
    template <class TStore>
    bool Record(const SCall& call, TStore store);

    // Marks a setter call from enter to exit and records it.
    class CInside {
      public:
        CInside(CRecordingDriver& drv, const SCall& call);
        ~CInside();
        CInside(const CInside&) = delete;
        CInside& operator=(const CInside&) = delete;

      private:
        CRecordingDriver& m_drv;
    };

    std::mutex m_mtx;  // guards the record and the inside bookkeeping
    std::vector<SCall> m_calls;
    int m_iDepth = 0;
    pthread_t m_owner{};
    std::atomic<bool> m_bOverlapped{false};
    std::atomic<bool> m_bFail[REC_COUNT];
    std::atomic<int> m_iDelayUs{0};
    std::atomic<int> m_iLineUs{10};
    std::atomic<int> m_iFixedLines{-1};
    std::atomic<float> m_fTemp{0.0f};
    std::atomic<bool> m_bTempSet{false};
};

inline std::ostream& operator<<(std::ostream& os, const CRecordingDriver::SCall& c) {
    return os << "{setter " << c.setter << ", " << c.a << ", " << c.b << ", auto " << c.bAuto << "}";
}

#endif

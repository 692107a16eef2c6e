#include "RecordingDriver.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

template <class T>
T Clamp(T v, T lo, T hi) {
    return std::max(lo, std::min(v, hi));
}

}  // namespace

CRecordingDriver::CRecordingDriver(int iProductID) : CTestDriver(iProductID) {
    for (auto& fail : m_bFail) fail = false;
    m_pszName = const_cast<char*>(kName);
    m_bColor = true;
    m_iBayer = BAYER_RG;
    m_bCapGain = m_bCapExposure = m_bCapGamma = true;
    m_bCapWBR = m_bCapWBB = true;
    m_bCapOffset = m_bCapBandWidth = true;
    m_bCapTemperature = true;
    m_bCapRaw8 = m_bCapRGB24 = m_bCapY8 = m_bCapRaw16 = true;
    m_iGainMin = 0;
    m_iGainMax = 600;
    m_iGainDef = 200;
    m_iExpMin = 32;
    m_iExpMax = 2000000000;
    m_iExpDef = 10000;
    m_iGammaMin = 1;
    m_iGammaMax = 100;
    m_iGammaDef = 50;
    m_iWBMin = 1;
    m_iWBMax = 99;
    m_iWBRDef = 52;
    m_iWBBDef = 95;
    m_iOffsetMin = 0;
    m_iOffsetMax = 200;
    m_iOffsetDef = 8;
    m_iBandWidthMin = 40;
    m_iBandWidthMax = 100;
    m_iPatternMin = 0;
    m_iPatternMax = 10;
    m_iWBRed = 52;
    m_iWBBlue = 95;
    m_dPixelSize = 2.9;
    m_iADCBits = 12;
    m_fElecPerADU = 3.6f;
    m_bST4 = true;
    m_bUSB3Camera = true;
    const uint8_t bins[] = {1, 2, 3, 4};
    std::copy(std::begin(bins), std::end(bins), m_ucSupportedBins);
    BindCaptureBody(m_thrWork, RecordingCapture);
}

CRecordingDriver::~CRecordingDriver() {
    // The auto-control thread calls this class's setters.
    StopCameraThreads();
}

void CRecordingDriver::RecordingCapture(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    if (pCam->m_bSnapMode) {
        pCam->m_iSnapStatus = KYR_EXP_SUCCESS;
        return;
    }
    {
        CCritSecLock lock(pCam->m_csControl);
        pCam->m_iAutoCtrlPeriodUs = kVideoAutoPeriodUs;
    }
    pCam->StartAutoControlThr();
    while (pbRunning->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// ---- Recording -------------------------------------------------------------------

CRecordingDriver::CInside::CInside(CRecordingDriver& drv, const SCall& call) : m_drv(drv) {
    {
        std::lock_guard<std::mutex> lock(drv.m_mtx);
        const pthread_t self = pthread_self();
        if (drv.m_iDepth > 0 && !pthread_equal(drv.m_owner, self)) drv.m_bOverlapped = true;
        if (drv.m_iDepth == 0) drv.m_owner = self;
        ++drv.m_iDepth;
        drv.m_calls.push_back(call);
    }
    const int us = drv.m_iDelayUs.load();
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

CRecordingDriver::CInside::~CInside() {
    std::lock_guard<std::mutex> lock(m_drv.m_mtx);
    --m_drv.m_iDepth;
}

std::vector<CRecordingDriver::SCall> CRecordingDriver::Recorded() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_calls;
}

std::vector<CRecordingDriver::SCall> CRecordingDriver::Recorded(Setter setter) {
    std::vector<SCall> out;
    for (const SCall& call : Recorded())
        if (call.setter == setter) out.push_back(call);
    return out;
}

int CRecordingDriver::Count(Setter setter) { return static_cast<int>(Recorded(setter).size()); }

void CRecordingDriver::ClearRecorded() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_calls.clear();
}

template <class TStore>
bool CRecordingDriver::Record(const SCall& call, TStore store) {
    CInside inside(*this, call);
    if (m_bFail[call.setter]) return false;
    store();
    return true;
}

// ---- Setters -----------------------------------------------------------------------

bool CRecordingDriver::SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) {
    CTestDriver::SetResolution(iWidth, iHeight, iBin, imageType);
    CCritSecLock lock(m_csControl);
    m_iWidth = iWidth;
    m_iHeight = iHeight;
    m_iBin = iBin;
    m_iImgType = imageType;
    m_bOutput16Bits = imageType == IMAGE_RAW16;
    return true;
}

bool CRecordingDriver::SetGain(int iGain, bool bAuto) {
    CTestDriver::SetGain(iGain, bAuto);
    return Record({REC_GAIN, iGain, 0, bAuto}, [&] {
        m_bAutoGain = bAuto;
        m_iGain = Clamp(iGain, m_iGainMin, m_iGainMax);
    });
}

bool CRecordingDriver::SetExp(unsigned long long ullExposureUs, bool bAuto) {
    CTestDriver::SetExp(ullExposureUs, bAuto);
    return Record({REC_EXP, static_cast<long long>(ullExposureUs), 0, bAuto}, [&] {
        const unsigned long long exp =
            Clamp<unsigned long long>(ullExposureUs, static_cast<unsigned long long>(m_iExpMin),
                                      static_cast<unsigned long long>(m_iExpMax));
        m_bAutoExp = bAuto;
        m_lExpTimeUs = exp;
        const int fixed = m_iFixedLines.load();
        m_iExpLines =
            fixed >= 0 ? fixed : static_cast<int>(exp / static_cast<unsigned long long>(m_iLineUs.load()));
    });
}

bool CRecordingDriver::SetRGBBalance(int iRed, int iBlue, bool bAuto) {
    CTestDriver::SetRGBBalance(iRed, iBlue, bAuto);
    return Record({REC_WB, iRed, iBlue, bAuto}, [&] {
        m_bAutoWB = bAuto;
        m_iWBRed = Clamp(iRed, m_iWBMin, m_iWBMax);
        m_iWBBlue = Clamp(iBlue, m_iWBMin, m_iWBMax);
    });
}

bool CRecordingDriver::SetGamma(int iGamma) {
    return Record({REC_GAMMA, iGamma, 0, false}, [&] { m_iGamma = iGamma; });
}

bool CRecordingDriver::SetBrightness(int iOffset) {
    return Record({REC_OFFSET, iOffset, 0, false}, [&] { m_iBrightness = iOffset; });
}

bool CRecordingDriver::SetFPSPerc(int iPercent, bool bAuto) {
    return Record({REC_BANDWIDTH, iPercent, 0, bAuto}, [&] {
        m_iFPSPerc = iPercent;
        m_bAutoFPS = bAuto;
    });
}

bool CRecordingDriver::SetOverCLKPerc(int iPercent) {
    return Record({REC_OVERCLK, iPercent, 0, false}, [&] { m_iOverCLKPerc = iPercent; });
}

bool CRecordingDriver::SetHardwareBin(bool bOn) {
    return Record({REC_HARDWARE_BIN, bOn ? 1 : 0, 0, false}, [&] { m_bHardwareBin = bOn; });
}

bool CRecordingDriver::SetHighSpeedMode(bool bOn) {
    return Record({REC_HIGH_SPEED, bOn ? 1 : 0, 0, false}, [&] { m_bHighSpeed = bOn; });
}

bool CRecordingDriver::SetPattern(int iPattern) {
    return Record({REC_PATTERN, iPattern, 0, false}, [&] { m_iPattern = iPattern; });
}

float CRecordingDriver::GetTemp() { return m_bTempSet ? m_fTemp.load() : CTestDriver::GetTemp(); }

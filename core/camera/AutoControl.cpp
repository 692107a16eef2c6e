// Auto exposure, auto gain and auto white balance: the brightness of a frame
// steps gain and exposure toward the target brightness, the colour balance of
// a frame sets new white-balance values, and the auto-control thread runs both
// from the frames of a running video.
//
// Gain, exposure and white balance are multi-register sequences that a
// caller's control setter may run at the same time, so each whole step holds
// the control lock, from reading the geometry to its last setter. No step
// sleeps, and the thread never holds the lock across its sleeps.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "camera/CameraBase.h"
#include "platform/Log.h"

namespace {

// Brightness sampling grid: columns and rows of sample points.
constexpr int kSampleCols = 64;
constexpr int kSampleRows = 48;
// White balance: the frame is cut into this many blocks across and down.
constexpr int kWBBlocks = 16;
// Exposures up to this many µs change by exposure steps first, longer ones by gain.
constexpr uint64_t kShortExposureUs = 100000;
// White balance runs every fourth cycle of the auto-control thread.
constexpr int kWBCycleEvery = 3;
// The auto-control thread: settle time before the first cycle, and the cycle
// of ten sleeps, after each of which a stop is noticed.
constexpr uint32_t kAutoStartDelayUs = 200000;
constexpr uint32_t kAutoSleepUs = 10000;
constexpr int kAutoSleepsPerCycle = 10;

// The models whose 16-bit frames carry the brightness in the low byte.
const char* const kLowByteModels[] = {
    "VORN KYR810MC", "VORN KYR810MM",    "VORN KYR810MC-S",  "VORN KYR810MM-S",
    "VORN KYR841MM", "VORN KYR810MC-SC", "VORN KYR810MM-SC",
};

// Width and height of the frame the sensor delivers for the current image
// (before software binning), and its bytes per pixel.
struct SAutoGeometry {
    int64_t w;
    int64_t h;
    int iBytesPerPixel;
};

SAutoGeometry AutoGeometry(CCameraBase& cam) {
    SAutoGeometry geo{cam.m_iWidth, cam.m_iHeight, cam.m_bOutput16Bits ? 2 : 1};
    if (!cam.m_bFPGAMonoBin) {
        if (!cam.IsHardBinRun()) {
            geo.w *= cam.m_iBin;
            geo.h *= cam.m_iBin;
        }
        // The sensor bins by 2; bin 4 adds a software bin of 2 on top.
        if (cam.m_bHardwareBin && cam.m_iBin == 4) {
            geo.w *= 2;
            geo.h *= 2;
        }
    }
    return geo;
}

// A frame of this geometry fits the buffer and has at least one pixel.
bool FrameFits(const SAutoGeometry& geo, long lFrameBytes) {
    if (geo.w <= 0 || geo.h <= 0 || lFrameBytes <= 0) return false;
    return geo.w * geo.h * geo.iBytesPerPixel <= static_cast<int64_t>(lFrameBytes);
}

bool IsLowByteModel(const char* szName) {
    if (!szName) return false;
    for (const char* model : kLowByteModels)
        if (strcmp(szName, model) == 0) return true;
    return false;
}

// Mean brightness M of a frame (1..255, scaled to what the image will show
// after software binning). False when no sample point lies in the frame.
bool FrameBrightness(CCameraBase& cam, const unsigned char* pFrame, long lFrameBytes, int* piMean) {
    const SAutoGeometry geo = AutoGeometry(cam);
    if (!pFrame || !FrameFits(geo, lFrameBytes)) return false;
    const int64_t w = geo.w, h = geo.h;
    const bool b16 = geo.iBytesPerPixel == 2;
    // Which byte of a 16-bit pixel holds the brightness (frames are little-endian).
    const int iByte = b16 && !IsLowByteModel(cam.m_pszName) ? 1 : 0;
    uint64_t sum = 0;
    int64_t count = 0;
    for (int i = 0; i < kSampleRows; ++i) {
        for (int j = 0; j < kSampleCols; ++j) {
            // A jitter of one pixel keeps a fixed pattern in the scene from
            // always falling on the same points.
            const int64_t x = j * w / kSampleCols + static_cast<int64_t>(cam.m_AutoSampleRng() & 1);
            const int64_t y = i * h / kSampleRows + static_cast<int64_t>(cam.m_AutoSampleRng() & 1);
            if (x < w / 5 || x > 4 * w / 5 || y < h / 5 || y > 4 * h / 5) continue;
            const int64_t pixel = y * w + x;
            sum += pFrame[pixel * geo.iBytesPerPixel + iByte];
            ++count;
        }
    }
    if (count == 0) return false;
    int64_t mean = static_cast<int64_t>(sum) / count + 1;
    // Software binning adds up the 8-bit pixels of each bin.
    if (!cam.IsHardBinRun() && !b16) mean *= static_cast<int64_t>(cam.m_iBin) * cam.m_iBin;
    if (cam.m_bHardwareBin && cam.m_iBin == 4) mean *= 4;
    *piMean = static_cast<int>(std::min<int64_t>(mean, 255));
    return true;
}

// One step of gain and exposure from the measured brightness iMean.
void StepExpGain(CCameraBase& cam, int iMean) {
    const int T = cam.m_iDestBrightness;
    const int M = iMean;
    const int p15 = T * 15 / 100;
    // Few exposure lines: an exposure step is coarse, so exposure steps wait
    // for a larger error.
    const int iLines = cam.m_iExpLines;
    const int pWide = iLines == 2 ? T * 30 / 100 : (iLines <= 1 ? T * 45 / 100 : p15);
    const bool bInWide = M >= T - pWide && M <= T + pWide;
    const int s100 = (cam.m_iGainMax - cam.m_iGainMin) / 100;
    const int s50 = (cam.m_iGainMax - cam.m_iGainMin) / 50;
    const bool bAutoExp = cam.m_bAutoExp;
    const int64_t e = static_cast<int64_t>(cam.m_lExpTimeUs.load());
    const int64_t eMax = 1000 * static_cast<int64_t>(cam.m_iAutoExpMaxMs.load());
    // Each gain step starts from the gain the previous step left.
    auto gainUp = [&cam](int step) {
        cam.SetGain(std::min<int>(cam.m_iAutoGainMax, cam.m_iGain + step), cam.m_bAutoGain);
    };
    auto gainDown = [&cam, s100]() { cam.SetGain(std::max(1, cam.m_iGain - s100), cam.m_bAutoGain); };
    auto expUp = [&]() {
        cam.SetExp(static_cast<uint64_t>(std::min(eMax, e + (T - M) * e / 200)), cam.m_bAutoExp);
    };
    auto expDown = [&]() { cam.SetExp(static_cast<uint64_t>(e - (M - T) * e / 400), true); };

    if (M < T - p15) {
        if (!bAutoExp) {
            gainUp(s50);
        } else if (cam.m_bAutoGain) {
            gainUp(s100);
            if (e <= static_cast<int64_t>(kShortExposureUs)) {
                if (!bInWide) expUp();
                gainUp(s100);
            } else if (cam.m_iGain < cam.m_iAutoGainMax) {
                gainUp(s50);
            } else {
                expUp();
            }
        } else if (!bInWide) {
            expUp();
        }
    } else if (M > T + p15) {
        if (!bAutoExp) {
            cam.SetGain(cam.m_iGain - s100, cam.m_bAutoGain);
        } else if (e > static_cast<int64_t>(kShortExposureUs)) {
            expDown();
        } else {
            if (!bInWide) expDown();
            if (cam.m_bAutoGain) {
                gainDown();
                if (cam.m_iExpLines < 3) gainDown();
            }
        }
    }
    DbgPrint(-1, "AutoExpGain", "Dest:%d Mean:%d  gain:%d exp:%llu reg:0x%x\n", T, M, cam.m_iGain.load(),
             static_cast<unsigned long long>(cam.m_lExpTimeUs.load()), cam.m_iExpLines.load());
}

// One white-balance step from a frame; colour cameras only.
void StepWhiteBalance(CCameraBase& cam, const unsigned char* pFrame, long lFrameBytes) {
    const SAutoGeometry geo = AutoGeometry(cam);
    // Frames narrower or lower than the block grid have empty blocks.
    if (!pFrame || !FrameFits(geo, lFrameBytes) || geo.w < kWBBlocks || geo.h < kWBBlocks) return;
    const int w = static_cast<int>(geo.w), h = static_cast<int>(geo.h);
    const bool b16 = geo.iBytesPerPixel == 2;
    float sumDA[3] = {0.0f, 0.0f, 0.0f};
    float sumD[3] = {0.0f, 0.0f, 0.0f};
    int firstAvg[3] = {0, 0, 0};
    for (int i = 0; i < kWBBlocks; ++i) {
        for (int j = 0; j < kWBBlocks; ++j) {
            int dev[3], avg[3];
            cam.m_Alg.Get_variance_ave_RAW(pFrame, j * w / kWBBlocks, i * h / kWBBlocks, w / kWBBlocks,
                                           h / kWBBlocks, w, 0, dev, avg, b16);
            for (int c = 0; c < 3; ++c) {
                if (avg[c] < 0) DbgPrint(-1, "AutoWB_RAW", "err0\n");
                if (i == 0 && j == 0) firstAvg[c] = avg[c];
                // Blocks with more structure weigh more.
                sumDA[c] += static_cast<float>(dev[c]) * static_cast<float>(avg[c]);
                sumD[c] += static_cast<float>(dev[c]);
            }
        }
    }
    int level[3];
    for (int c = 0; c < 3; ++c) {
        const float fLevel = sumD[c] == 0.0f ? static_cast<float>(firstAvg[c]) : sumDA[c] / (sumD[c] + 1.0f);
        if (fLevel <= 0.0f) DbgPrint(-1, "AutoWB_RAW", "err1\n");
        level[c] = static_cast<int>(fLevel);
    }
    const int R = level[0], G = level[1], B = level[2];
    // Too dark to tell a colour cast.
    if (R <= 9 && G <= 9 && B <= 9) return;
    const int dR = 100 * abs(G - R);
    const int dB = 100 * abs(G - B);
    // While exposure or gain still move, only a larger cast is corrected.
    const int iTolerance = cam.m_bAutoExp || cam.m_bAutoGain ? 10 : 4;
    if (dR <= iTolerance * G && dB <= iTolerance * G) return;
    const int iRed = cam.m_iWBRed, iBlue = cam.m_iWBBlue;
    int iNewRed = iRed * G / (R + 1);
    int iNewBlue = iBlue * G / (B + 1);
    // Small values move by less than 1 in integer steps: nudge them.
    if (iRed >= iNewRed && G > R && iRed < 5) ++iNewRed;
    if (iBlue >= iNewBlue && G > B && iBlue < 5) ++iNewBlue;
    DbgPrint(-1, "AutoWB_RAW", " IR:%d IB:%d\n", iNewRed, iNewBlue);
    cam.SetRGBBalance(iNewRed, iNewBlue, cam.m_bAutoWB);
}

// Bytes of every frame buffer: InitVariable sizes them for the largest
// 16-bit frame.
long FrameBufferBytes(const CCameraBase& cam) {
    return static_cast<long>(static_cast<int64_t>(cam.m_iMaxWidth) * cam.m_iMaxHeight * 2);
}

}  // namespace

// ---- Parameters ----------------------------------------------------------------------

void CCameraBase::SetAutoPara(int iMaxGain, int iMaxExpMs, int iTargetBrightness) {
    CCritSecLock lock(m_csControl);
    m_iAutoGainMax = iMaxGain;
    m_iAutoExpMaxMs = iMaxExpMs;
    m_iDestBrightness = iTargetBrightness;
}

void CCameraBase::GetAutoPara(int* piMaxGain, int* piMaxExpMs, int* piTargetBrightness) {
    CCritSecLock lock(m_csControl);
    if (piMaxGain) *piMaxGain = m_iAutoGainMax;
    if (piMaxExpMs) *piMaxExpMs = m_iAutoExpMaxMs;
    if (piTargetBrightness) *piTargetBrightness = m_iDestBrightness;
}

void CCameraBase::SeedAutoSamplingForTest(uint32_t uSeed) {
    CCritSecLock lock(m_csControl);
    m_AutoSampleRng.seed(uSeed);
}

// ---- Steps ------------------------------------------------------------------------------

void CCameraBase::AutoExpGain(const unsigned char* pFrame, long lFrameBytes) {
    CCritSecLock lock(m_csControl);
    if (lFrameBytes < 0) lFrameBytes = FrameBufferBytes(*this);
    int iMean = 0;
    if (FrameBrightness(*this, pFrame, lFrameBytes, &iMean)) StepExpGain(*this, iMean);
}

void CCameraBase::AutoWhiBal(const unsigned char* pFrame, long lFrameBytes) {
    if (m_bColor) AutoWB_RAW(pFrame, lFrameBytes);
}

void CCameraBase::AutoWB_RAW(const unsigned char* pFrame, long lFrameBytes) {
    CCritSecLock lock(m_csControl);
    if (lFrameBytes < 0) lFrameBytes = FrameBufferBytes(*this);
    StepWhiteBalance(*this, pFrame, lFrameBytes);
}

void CCameraBase::AutoExpGainFromRing() {
    CCritSecLock lock(m_csControl);
    if (!m_pCirBuf) return;
    // Measured under the slot's lock; the setters run after it is released.
    int iMean = 0;
    bool bMeasured = false;
    m_pCirBuf->UseLatestFrame([this, &iMean, &bMeasured](const uint8_t* pFrame, long lBytes) {
        bMeasured = FrameBrightness(*this, pFrame, lBytes, &iMean);
    });
    if (bMeasured) StepExpGain(*this, iMean);
}

void CCameraBase::AutoWhiBalFromRing() {
    CCritSecLock lock(m_csControl);
    if (!m_bColor || !m_pCirBuf) return;
    m_pCirBuf->UseLatestFrame(
        [this](const uint8_t* pFrame, long lBytes) { StepWhiteBalance(*this, pFrame, lBytes); });
}

// ---- Auto-control thread ---------------------------------------------------------------------

bool CCameraBase::StartAutoControlThr() {
    return m_thrAutoCtrl.InitFuncPt(SetGainExpFunc) && m_thrAutoCtrl.Start(this);
}

void CCameraBase::SetGainExpFunc(std::atomic<bool>* pbRunning, void* pArg) {
    CCameraBase* cam = static_cast<CCameraBase*>(pArg);
    uint64_t t0;
    {
        CCritSecLock lock(cam->m_csControl);
        t0 = static_cast<uint64_t>(cam->m_iFrameTimeUs) + cam->m_iXferTimeUs;
    }
    for (uint32_t slept = 0; slept < kAutoStartDelayUs && pbRunning->load(); slept += kAutoSleepUs)
        SleepUs(kAutoSleepUs);
    int iWBCycle = 0;
    while (pbRunning->load()) {
        {
            CCritSecLock lock(cam->m_csControl);
            // Long exposures and slow frames are stepped by the capture thread
            // itself, frame by frame.
            const int64_t period = cam->m_iAutoCtrlPeriodUs;
            if (static_cast<int64_t>(cam->m_lExpTimeUs.load()) < period &&
                static_cast<int64_t>(t0) < period) {
                if (cam->m_bAutoExp || cam->m_bAutoGain) cam->AutoExpGainFromRing();
                if (cam->m_bColor && cam->m_bAutoWB) {
                    if (iWBCycle >= kWBCycleEvery) {
                        cam->AutoWhiBalFromRing();
                        iWBCycle = 0;
                    } else {
                        ++iWBCycle;
                    }
                }
            }
        }
        SleepUs(kAutoSleepUs);
        for (int k = 1; k < kAutoSleepsPerCycle && pbRunning->load(); ++k) SleepUs(kAutoSleepUs);
    }
    DbgPrint(-1, "SetGainExpFunc", "Thread SetGainExpFunc Exit!\n");
}

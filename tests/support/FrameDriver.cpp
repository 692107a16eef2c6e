#include "FrameDriver.h"

#include <string.h>

#include "platform/Log.h"
#include "ring/CirBuf.h"
#include "usb/FpgaRegs.h"

namespace {

// Every FPGA camera streams its frames on this bulk endpoint.
constexpr uint8_t kFrameEndpoint = 0x81;
// A snapshot whose frame fails is retried only within its first second.
constexpr uint32_t kSnapRetryMs = 1000;
// Five reads in a row without any data: the stream is restarted.
constexpr int kMaxEmptyReads = 5;
// First-transfer wait: the exposure plus time for the readout, more for
// exposures of a second or longer; short exposures wait two frame times.
constexpr uint32_t kReadoutMarginMs = 1000;
constexpr uint32_t kLongExposureExtraMs = 2000;
constexpr unsigned long long kLongExposureUs = 999999;
constexpr uint32_t kFrameWaitMarginMs = 50;
// Later transfers: their share of the frame time plus this.
constexpr uint32_t kNextWaitMarginMs = 100;
// Stream restart: settle time after the USB reset and after the stop request.
constexpr uint32_t kRestartResetMs = 100;
constexpr uint32_t kRestartStopMs = 10;
// Bytes of the marker repair at each end of a frame.
constexpr int kMarkerBytes = 4;

uint16_t Word(const uint8_t* pFrame, int iWord) {
    return static_cast<uint16_t>(pFrame[2 * iWord] | (pFrame[2 * iWord + 1] << 8));
}

}  // namespace

CFrameDriver::CFrameDriver(int iMaxWidth, int iMaxHeight)
    : CTestDriver(kProductID), m_iMaxW(iMaxWidth), m_iMaxH(iMaxHeight) {}

CFrameDriver::~CFrameDriver() {
    // The capture body uses this class's members.
    StopCameraThreads();
}

bool CFrameDriver::InitCamera() {
    m_iMaxWidth = m_iMaxW;
    m_iMaxHeight = m_iMaxH;
    // InitVariable stops a capture still running, so the body can be bound after it.
    if (!InitVariable()) return false;
    return BindCaptureBody(m_thrWork, WorkingFunc);
}

bool CFrameDriver::SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) {
    if (iBin != 1 || iWidth <= 0 || iHeight <= 0 || iWidth > m_iMaxWidth || iHeight > m_iMaxHeight)
        return false;
    const bool bRaw16 = imageType == IMAGE_RAW16;
    if (!bRaw16 && imageType != IMAGE_8BIT) return false;
    m_iWidth = iWidth;
    m_iHeight = iHeight;
    m_iBin = 1;
    m_iImgType = imageType;
    m_bOutput16Bits = bRaw16;
    return true;
}

bool CFrameDriver::SetStartPos(int iStartX, int iStartY) {
    m_iStartX = iStartX;
    m_iStartY = iStartY;
    return true;
}

bool CFrameDriver::SetExp(unsigned long long ullExposureUs, bool bAuto) {
    m_lExpTimeUs = ullExposureUs;
    m_bAutoExp = bAuto;
    return true;
}

bool CFrameDriver::GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) {
    if (ImageReadersReleased() || !m_pCirBuf || !m_pImgBuf || !pBuffer || iBytes < 0) return false;
    int rowBytes, length;
    {
        // The geometry as one whole: a format change holds the control lock.
        CCritSecLock lock(m_csControl);
        rowBytes = m_iWidth * (m_bOutput16Bits ? 2 : 1);
        length = rowBytes * m_iHeight;
    }
    if (!m_pCirBuf->ReadBuff(m_pImgBuf, length, iWaitMs)) return false;
    ++m_iReadOuts;
    if (const int pauseMs = m_iReadOutPauseMs.load()) Sleep(static_cast<uint32_t>(pauseMs));
    // The camera wrote its markers over the first and last pixels: they take
    // the pixels two rows away in the same columns (same Bayer phase).
    const int twoRows = 2 * rowBytes;
    if (length >= twoRows + kMarkerBytes) {
        memcpy(m_pImgBuf, m_pImgBuf + twoRows, kMarkerBytes);
        memcpy(m_pImgBuf + length - kMarkerBytes, m_pImgBuf + length - kMarkerBytes - twoRows, kMarkerBytes);
    }
    memcpy(pBuffer, m_pImgBuf, static_cast<size_t>(iBytes < length ? iBytes : length));
    return true;
}

void CFrameDriver::WorkingFunc(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    static_cast<CFrameDriver*>(pCam)->RunWorking(pbRunning);
}

void CFrameDriver::LostFrame(int iFailures, int* piEmpty) {
    ++m_iDroppedFrames;
    DbgPrint2("WorkingFunc", "drop frames:%d (%d in all)\n", iFailures, Plain(m_iDroppedFrames));
    // Flushes the rest of the lost frame, so that the next read starts at a frame.
    ResetEndPoint(kFrameEndpoint);
    *piEmpty = 0;
}

void CFrameDriver::RunWorking(std::atomic<bool>* pbRunning) {
    const bool bSnap = m_bSnapMode;
    int width = 0, height = 0;
    bool out16 = false;
    bool ok = m_pCirBuf && m_pXferBuf && m_pXferBuf2;

    // The stream stopped and the FPGA window set to this run's frame, as one
    // register sequence under the control lock.
    if (ok) {
        CCritSecLock lock(m_csControl);
        width = m_iWidth;
        height = m_iHeight;
        out16 = m_bOutput16Bits;
        SendCMD(VR_STOP_STREAM);
        FPGAStop();
        ok = SetFPGAWidth(width) && SetFPGAHeight(height) && SetFPGAADCWidthOutputWidth(ADC_12BIT, out16);
    }
    DbgPrint2("WorkingFunc", "working thread begin! %dx%d exp %lluus\n", width, height,
              static_cast<unsigned long long>(Plain(m_lExpTimeUs)));
    const int length = width * height * (out16 ? 2 : 1);
    const int count = length / kXferBytes + (length % kXferBytes != 0 ? 1 : 0);
    const int words = length / 2;
    ok = ok && words >= 4;
    if (ok) {
        SendCMD(VR_START_STREAM);
        FPGAStart();
        ResetEndPoint(kFrameEndpoint);
        ok = initAsyncXfer(length, count, kXferBytes, kFrameEndpoint, RecvBuffer());
    }

    int failures = 0;
    int empty = 0;
    const uint32_t start = GetTickCount();
    while (ok && pbRunning->load()) {
        if (bSnap && GetTickCount() - start > kSnapRetryMs) {
            DbgPrint2("WorkingFunc", "snap Exp: EXP_FAILED:%d\n", failures);
            m_iSnapStatus = KYR_EXP_FAILED;
            break;
        }
        const unsigned long long expUs = m_lExpTimeUs;
        const unsigned long long frameUs = static_cast<unsigned long long>(m_iFrameTimeUs) + m_iXferTimeUs;
        uint32_t waitMs;
        if (expUs >= frameUs)
            waitMs = static_cast<uint32_t>(expUs / 1000) + kReadoutMarginMs +
                     (expUs > kLongExposureUs ? kLongExposureExtraMs : 0);
        else
            waitMs = static_cast<uint32_t>(frameUs / 500) + kFrameWaitMarginMs;
        const uint32_t nextMs = static_cast<uint32_t>(frameUs / 1000 / count) + kNextWaitMarginMs;

        uint8_t* pBuf = RecvBuffer();
        ClearFrameMarkers(pBuf, length);
        int got = 0;
        startAsyncXfer(waitMs, nextMs, &got, pbRunning, length);
        if (!pbRunning->load()) break;

        if (got >= length) {
            const int r = OfferRecvFrame(length, FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER, words - 1, 1, words - 2);
            if (r == INSERT_ACCEPTED) {
                ++m_iAccepted;
                empty = 0;
                if (bSnap) {
                    DbgPrint2("WorkingFunc", "snap: EXP_SUCCESS\n");
                    m_iSnapStatus = KYR_EXP_SUCCESS;
                    break;
                }
                continue;
            }
            if (r == INSERT_REFUSED) {
                ++m_iRefused;
                ++m_iDroppedFrames;
                continue;
            }
            DbgPrint2("WorkingFunc", "head:0x%x COUNT:%d tail:0x%x count:%d\n", Word(pBuf, 0), Word(pBuf, 1),
                      Word(pBuf, words - 1), Word(pBuf, words - 2));
            ++failures;
            LostFrame(failures, &empty);
            continue;
        }

        DbgPrint2("WorkingFunc", "get len:0x%x drop:%d  frametime:%dus waittime:%dms\n", got, failures + 1,
                  static_cast<int>(frameUs), static_cast<int>(waitMs));
        ++failures;
        if (got == 0) {
            DbgPrint2("WorkingFunc", "nothing get count:%d\n", empty + 1);
            if (++empty >= kMaxEmptyReads) {
                DbgPrint2("WorkingFunc", "no frame more than 5, reset!\n");
                ResetDevice();
                Sleep(kRestartResetMs);
                FPGAStop();
                SendCMD(VR_STOP_STREAM);
                Sleep(kRestartStopMs);
                SendCMD(VR_START_STREAM);
                FPGAStart();
                empty = 0;
                failures = 0;
            }
            continue;
        }
        LostFrame(failures, &empty);
    }

    // The camera's side of the exit; the core's frame does the rest.
    FPGAStop();
    SendCMD(VR_STOP_STREAM);
    ResetEndPoint(kFrameEndpoint);
}

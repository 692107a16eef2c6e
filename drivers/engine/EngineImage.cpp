// The engine's image operation: one frame out of the ring, finished into the
// caller's format (marker repair, dark frame, gamma, hot pixels, software
// binning, flips, conversion, time stamp).
#include <string.h>

#include "engine/EngineDriver.h"
#include "cooling/CameraCool.h"
#include "ring/CirBuf.h"

namespace {

// Bytes of the marker words at each end of a frame.
constexpr int kMarkerBytes = 4;

int OutputBytesPerPixel(int iType) {
    switch (iType) {
        case IMAGE_RGB24:
            return 3;
        case IMAGE_YUV2:
        case IMAGE_RAW16:
            return 2;
        case IMAGE_32BIT:
            return 4;
        default:
            return 1;
    }
}

// A mono image as RGB24: each grey byte of pGrey three times. Every pixel
// but the last is stored as one 4-byte word whose fourth byte the next pixel
// overwrites (one store a pixel instead of three); the buffers never overlap.
void GreyToRGB24(const uint8_t* __restrict pGrey, uint8_t* __restrict pOut, size_t nPixels) {
    if (nPixels == 0) return;
    for (size_t i = 0; i + 1 < nPixels; ++i) {
        const uint32_t w = pGrey[i] * 0x01010101u;  // the byte four times, whatever the byte order
        memcpy(pOut + 3 * i, &w, sizeof(w));
    }
    uint8_t* pLast = pOut + 3 * (nPixels - 1);
    pLast[0] = pLast[1] = pLast[2] = pGrey[nPixels - 1];
}

}  // namespace

void RepairFrameMarkers(uint8_t* pFrame, int iFrameBytes, int iRowBytes, int iRows) {
    // Head and tail with at least one word between them to take from.
    if (!pFrame || iFrameBytes < 3 * kMarkerBytes) return;
    // The same columns two rows away keep the Bayer phase (a mono sensor
    // takes them one row away). A frame too short for that takes the
    // neighbouring 32-bit word of the row, which keeps it too (an even
    // number of pixels away), so no byte outside is read.
    const long long rows = static_cast<long long>(iRows > 0 ? iRows : 2) * iRowBytes;
    const int away = rows > 0 && rows + kMarkerBytes <= iFrameBytes ? static_cast<int>(rows) : kMarkerBytes;
    memcpy(pFrame, pFrame + away, kMarkerBytes);
    memcpy(pFrame + iFrameBytes - kMarkerBytes, pFrame + iFrameBytes - kMarkerBytes - away, kMarkerBytes);
}

template <class TBase>
bool CEngineDriver<TBase>::TakeImageGeometry(SImageGeometry* pGeom) {
    CCritSecLock lock(this->m_csControl);
    pGeom->uGen = m_uGeomGen.load();
    pGeom->bSnap = this->m_bSnapMode;
    pGeom->uRunGen = m_uRunGeomGen;
    pGeom->iWidth = this->m_iWidth;
    pGeom->iHeight = this->m_iHeight;
    pGeom->iType = this->m_iImgType;
    pGeom->bRaw = this->m_bRawOutput;
    pGeom->bMonoBin = this->m_bMonoBin;
    pGeom->bFlipV = this->m_bFlipColumn;
    pGeom->bFlipH = this->m_bFlipRow;
    pGeom->bTimeMark = this->m_bTimeMark;
    pGeom->bGrey = !this->m_bColor && m_Desc.eMonoReadout == MONO_READOUT_GREY;
    pGeom->readout = ReadoutOf(m_Desc, this->m_iWidth, this->m_iHeight, this->m_iBin, this->m_bHardwareBin,
                               this->m_bOutput16Bits);
    return pGeom->iWidth > 0 && pGeom->iHeight > 0;
}

template <class TBase>
bool CEngineDriver<TBase>::GeometryStill(uint32_t uGen) {
    CCritSecLock lock(this->m_csControl);
    return m_uGeomGen.load() == uGen;
}

template <class TBase>
bool CEngineDriver<TBase>::GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) {
    if (this->ImageReadersReleased() || !this->m_pCirBuf || !this->m_pImgBuf || !pBuffer || iBytes < 0)
        return false;
    SImageGeometry g;
    if (!TakeImageGeometry(&g)) return false;
    // A single exposure's frame stays in the ring after its run: taken at another geometry than the one
    // asked for now, it is not an image of this one.
    if (g.bSnap && g.uRunGen != g.uGen) {
        this->DbgPrint2("GetImage", "the exposure was taken at another format, frame dropped\n");
        return false;
    }
    const SReadout& r = g.readout;
    const long long outBytes = static_cast<long long>(g.iWidth) * g.iHeight * OutputBytesPerPixel(g.iType);
    // The caller's buffer was measured against the format of its call; a
    // format changed since then may need more than it has.
    if (outBytes > iBytes || r.iFrameBytes <= 0) return false;
    if (!this->m_pCirBuf->ReadBuff(this->m_pImgBuf, r.iFrameBytes, iWaitMs)) return false;
    // A frame read while the geometry moved may be of the other size.
    if (!GeometryStill(g.uGen)) {
        this->DbgPrint2("GetImage", "geometry changed during the read, frame dropped\n");
        return false;
    }
    FinishImage(g, pBuffer, static_cast<int>(outBytes));
    return true;
}

template <class TBase>
void CEngineDriver<TBase>::CopyImageOut(const uint8_t* pImg, unsigned char* pOut, size_t uBytes) {
    if (pOut != pImg) {
        memcpy(pOut, pImg, uBytes);
        return;
    }
    // The caller's buffer is the work buffer, which holds the image already.
    // Models that leave the copy out say so; for the others it is made as a
    // move (a memcpy onto itself is undefined).
    if (m_Desc.bSkipCopyOntoWorkBuffer) return;
    memmove(pOut, pImg, uBytes);
}

template <class TBase>
void CEngineDriver<TBase>::FinishImage(const SImageGeometry& g, unsigned char* pOut, int iOutBytes) {
    const SReadout& r = g.readout;
    uint8_t* img = this->m_pImgBuf;
    const bool b16 = r.b16;
    RepairFrameMarkers(img, r.iFrameBytes, r.iCols * (b16 ? 2 : 1), m_Desc.iMarkerRepairRows);
    if (!b16) {
        this->DoGetDark();
        this->SubtractDark();
    }
    this->ApplyGamma(img, r.iCols, r.iRows, b16);
    this->HandleHotPixels();
    if (r.iSoftBin > 1) {
        uint16_t* img16 = reinterpret_cast<uint16_t*>(img);
        // Grey data has no mosaic to keep: neighbouring pixels are binned.
        if (g.bMonoBin || g.bGrey)
            this->m_Alg.MonoBin(img, img16, g.iWidth, g.iHeight, r.iSoftBin, b16);
        else
            this->m_Alg.ColorRAWBin(img, img16, g.iWidth, g.iHeight, r.iSoftBin, b16);
    }
    this->m_Alg.SoftMisc(img, g.iWidth, g.iHeight, b16, g.bFlipV, g.bFlipH);
    const size_t out = static_cast<size_t>(iOutBytes);
    switch (g.iType) {
        case IMAGE_8BIT:
            // Grey data is its own luminance: Y8 is the raw image.
            if (g.bRaw || g.bGrey)
                CopyImageOut(img, pOut, out);
            else
                this->m_Alg.BayerConv(img, pOut, g.iWidth, g.iHeight, IMAGE_8BIT, g.bFlipV, g.bFlipH);
            break;
        case IMAGE_RGB24:
            if (g.bGrey)
                GreyToRGB24(img, pOut, out / 3);
            else
                this->m_Alg.BayerConv(img, pOut, g.iWidth, g.iHeight, IMAGE_RGB24, g.bFlipV, g.bFlipH);
            break;
        case IMAGE_YUV2:
            // Grey data has no YUV2 form: nothing is written.
            if (g.bGrey) return;
            this->m_Alg.BayerConv(img, pOut, g.iWidth, g.iHeight, IMAGE_YUV2, g.bFlipV, g.bFlipH);
            break;
        case IMAGE_32BIT: {
            const uint16_t* src = reinterpret_cast<const uint16_t*>(img);
            for (size_t i = 0; i < out / 4; ++i) {
                const uint32_t v = static_cast<uint32_t>(src[i]) * 0x100401u;
                memcpy(pOut + 4 * i, &v, 4);
            }
            break;
        }
        case IMAGE_RAW16:
            CopyImageOut(img, pOut, out);
            break;
        default:
            return;
    }
    if (g.bTimeMark && (g.iType == IMAGE_8BIT || g.iType == IMAGE_RGB24))
        this->AddTimeMark(pOut, g.iWidth, static_cast<IMAGE_TYPE>(g.iType));
}

#define KYR_ENGINE_IMAGE(TBase)                                             \
    template bool CEngineDriver<TBase>::TakeImageGeometry(SImageGeometry*); \
    template bool CEngineDriver<TBase>::GeometryStill(uint32_t);            \
    template bool CEngineDriver<TBase>::GetImage(unsigned char*, int, int); \
    template void CEngineDriver<TBase>::FinishImage(const SImageGeometry&, unsigned char*, int); \
    template void CEngineDriver<TBase>::CopyImageOut(const uint8_t*, unsigned char*, size_t);
KYR_ENGINE_IMAGE(CCameraBase)
KYR_ENGINE_IMAGE(CCameraCool)

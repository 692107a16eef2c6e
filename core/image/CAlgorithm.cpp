// Software image processing of one camera: demosaic, binning, flip, gamma, dark
// subtraction and white-balance statistics. See CAlgorithm.h.
#include "image/CAlgorithm.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <initializer_list>

#include "KYRCamera.h"
#include "image/AlgorithmSimd.h"

namespace {

// White-balance value that leaves a channel unchanged: the tables scale by value / 50.
constexpr int kWBNeutral = 50;

// Colour conversion in 16.16 fixed point: each table entry is trunc(i x weight x
// 65536), so a pixel costs three look-ups, two additions and one shift.
constexpr double kFixedOne = 65536.0;
constexpr int kFixedShift = 16;
// Studio-range BT.601 weights (luminance peaks at 219 for white).
constexpr double kLumaR = 0.257;
constexpr double kLumaG = 0.504;
constexpr double kLumaB = 0.098;
constexpr double kChroma439 = 0.439;  // red weight of Cr, blue weight of Cb
constexpr double kCrG = 0.368;
constexpr double kCrB = 0.071;
constexpr double kCbG = 0.291;
constexpr double kCbR = 0.148;
// YUV2 words carry luminance raised by the studio black level and chroma
// centred on the middle of the byte.
constexpr int kYUVLumaOffset = 16;
constexpr int kYUVChromaOffset = 128;

// Bytes of one RGB24 pixel and of one YUV2 pixel.
constexpr int kRGBBytes = 3;
constexpr int kYUV2Bytes = 2;
// The working cell holds 2 x 2 pixels, so its rows are 2 pixels apart.
constexpr int kCellStride = 2;

// Binning factor bound: keeps a block's sum of 16-bit samples inside 32 bits
// (256 x 256 x 65535 < 2^32); cameras bin by 4 at most.
constexpr int kMaxSoftBin = 256;

// White-balance statistics sample a 10 x 10 grid of each block, which keeps a
// step of auto white balance to a few thousand reads whatever the frame size.
constexpr int kStatGrid = 10;
// Deviations are reported in tenths of a grey level.
constexpr int kStatDevScale = 10;
// 16-bit sums are brought to the 8-bit scale of the averages.
constexpr int kStat16Shift = 8;

// Byte count of a buffer whose size is the product of the factors, or false
// when a factor is not positive or the product does not fit in the address
// space (checked in size_t, so also on 32-bit targets).
bool BufferBytes(std::initializer_list<int> factors, size_t* pBytes) {
    size_t uBytes = 1;
    for (const int iFactor : factors) {
        if (iFactor <= 0 || __builtin_mul_overflow(uBytes, static_cast<size_t>(iFactor), &uBytes))
            return false;
    }
    if (uBytes > static_cast<size_t>(PTRDIFF_MAX)) return false;
    *pBytes = uBytes;
    return true;
}

inline void PutPixel(unsigned char* pOut, unsigned uBlue, unsigned uGreen, unsigned uRed) {
    pOut[0] = static_cast<unsigned char>(uBlue);
    pOut[1] = static_cast<unsigned char>(uGreen);
    pOut[2] = static_cast<unsigned char>(uRed);
}

}  // namespace

// The eight constant conversion tables, entry i = trunc(i x weight x 65536).
struct CAlgorithm::SYUVTables {
    int iLumaR[256];
    int iLumaG[256];
    int iLumaB[256];
    int iChroma439[256];
    int iCrG[256];
    int iCrB[256];
    int iCbG[256];
    int iCbR[256];
    // The tables as integer arithmetic for the vector code, when that
    // arithmetic reproduces every entry and the luminance sums fit the
    // vector lanes (checked when they are built).
    bool bCoefExact;
    kyr_simd::SColourCoef coef;
};

namespace {

// Finds uA, uM with pTable[i] == uA * i + ((i * uM) >> 16) for every i.
bool TableCoefOf(const int* pTable, uint32_t* puA, uint32_t* puM) {
    const int64_t iA = pTable[1];
    int64_t iFrac[256];
    for (int i = 0; i < 256; i++) {
        iFrac[i] = pTable[i] - iA * i;
        if (iFrac[i] < 0 || iFrac[i] >= i + 1) return false;
    }
    const int64_t iGuess = iFrac[255] * 65536 / 255;
    for (int64_t iM = std::max<int64_t>(0, iGuess - 1024); iM <= std::min<int64_t>(65535, iGuess + 1024);
         iM++) {
        int i = 0;
        while (i < 256 && ((i * iM) >> 16) == iFrac[i]) i++;
        if (i == 256) {
            *puA = static_cast<uint32_t>(iA);
            *puM = static_cast<uint32_t>(iM);
            return true;
        }
    }
    return false;
}

// The vector luminance sums, for bytes of value 255 at most, the pixels times
// the high and the low bytes of the three weights in 16-bit lanes: both sums,
// and the first plus the second's high byte, stay below 65536.
bool LumaFitsLanes(const kyr_simd::SColourCoef& coef) {
    uint32_t uHigh = 0, uLow = 0;
    for (int k = 0; k < 3; k++) {
        uHigh += 255 * (coef.uA[k] >> 8);
        uLow += 255 * (coef.uA[k] & 255) + ((255 * coef.uM[k]) >> 16);
    }
    return uLow <= 65535 && uHigh + (uLow >> 8) <= 65535;
}

}  // namespace

const CAlgorithm::SYUVTables& CAlgorithm::SharedYUVTables() {
    // Built by the first caller; the static's initialisation is thread-safe and
    // nothing writes the tables afterwards.
    static const SYUVTables s_tables = [] {
        SYUVTables t{};
        for (int i = 0; i < 256; i++) {
            const double dI = i;
            t.iLumaR[i] = static_cast<int>(dI * (kLumaR * kFixedOne));
            t.iLumaG[i] = static_cast<int>(dI * (kLumaG * kFixedOne));
            t.iLumaB[i] = static_cast<int>(dI * (kLumaB * kFixedOne));
            t.iChroma439[i] = static_cast<int>(dI * (kChroma439 * kFixedOne));
            t.iCrG[i] = static_cast<int>(dI * (kCrG * kFixedOne));
            t.iCrB[i] = static_cast<int>(dI * (kCrB * kFixedOne));
            t.iCbG[i] = static_cast<int>(dI * (kCbG * kFixedOne));
            t.iCbR[i] = static_cast<int>(dI * (kCbR * kFixedOne));
        }
        const int* const pTables[8] = {t.iLumaB, t.iLumaG, t.iLumaR, t.iChroma439,
                                       t.iCrB,   t.iCrG,   t.iCbR,   t.iCbG};
        t.bCoefExact = true;
        for (int k = 0; k < 8; k++)
            t.bCoefExact = t.bCoefExact && TableCoefOf(pTables[k], &t.coef.uA[k], &t.coef.uM[k]);
        t.bCoefExact = t.bCoefExact && LumaFitsLanes(t.coef);
        return t;
    }();
    return s_tables;
}

// Everything the per-cell fills and writers need for one frame, copied into
// one place at the start of the frame: the loops then read no member that a
// store into the target could alias, and a concurrent SetRGBWB cannot change
// the white balance halfway through a frame.
struct CAlgorithm::SCellPlan {
    ptrdiff_t iSrcGR, iSrcGB, iSrcB, iSrcR;  // source offsets of the four positions
    ptrdiff_t iOutGR, iOutGB, iOutB, iOutR;  // byte offsets of their output pixels
    ptrdiff_t iWidth;                        // source row length
    bool bWBActive;
    bool bVector;                  // inner cells go through the vector kernels
    bool bRedRow0;                 // the cell's top row holds red (else blue)
    int iColourX[2];               // column of red or blue in the cell's top and bottom row
    unsigned char ucBlueMap[256];  // snapshot of m_iWBRTable
    unsigned char ucRedMap[256];   // snapshot of m_iWBBTable
    const SYUVTables* pYUV;
};

CAlgorithm::CAlgorithm()
    : m_pRGBTemp(new unsigned char[4 * kRGBBytes]()),
      m_pBayerColor(new int[4]()),
      m_pBayerByte(new int[4]()),
      m_iGreenRX(0),
      m_iGreenRY(0),
      m_iGreenBX(0),
      m_iGreenBY(0),
      m_iBlueX(0),
      m_iBlueY(0),
      m_iRedX(0),
      m_iRedY(0),
      m_iSrcOffGR(0),
      m_iSrcOffGB(0),
      m_iSrcOffB(0),
      m_iSrcOffR(0),
      m_iDstOffGR(0),
      m_iDstOffGB(0),
      m_iDstOffB(0),
      m_iDstOffR(0),
      m_iBayerPattern(BAYER_RG),
      m_bPosValid(false),
      m_bWBActive(false),
      m_bLastFlipV(false),
      m_bLastFlipH(false),
      m_iWBRTable(),
      m_iWBBTable(),
      m_pYUV(nullptr) {
    // A usable state before the camera sets its own pattern: tables ready,
    // neutral white balance, RG phase.
    RGBYUV_Init();
    SetBayer(BAYER_RG);
}

CAlgorithm::~CAlgorithm() = default;

void CAlgorithm::RGBYUV_Init() {
    m_pYUV = &SharedYUVTables();
    SetRGBWB(kWBNeutral, kWBNeutral);
}

void CAlgorithm::SetRGBWB(int iRed, int iBlue) {
    if (iRed < 0 || iBlue < 0) return;
    unsigned char ucRed[256], ucBlue[256];
    for (int i = 0; i < 256; i++) {
        // 64-bit product: a large value saturates instead of overflowing.
        ucRed[i] = static_cast<unsigned char>(std::min<int64_t>(255, int64_t{i} * iRed / kWBNeutral));
        ucBlue[i] = static_cast<unsigned char>(std::min<int64_t>(255, int64_t{i} * iBlue / kWBNeutral));
    }
    std::lock_guard<std::mutex> lock(m_mtxWB);
    memcpy(m_iWBBTable, ucRed, sizeof(m_iWBBTable));
    memcpy(m_iWBRTable, ucBlue, sizeof(m_iWBRTable));
    m_bWBActive = iRed != kWBNeutral || iBlue != kWBNeutral;
}

void CAlgorithm::SetBayer(int iBayerPattern) {
    // Sensor colour of cell positions (0,0), (1,0), (0,1), (1,1): 0 red, 1 green, 2 blue.
    static const int s_iColour[4][4] = {
        {0, 1, 1, 2},  // BAYER_RG
        {2, 1, 1, 0},  // BAYER_BG
        {1, 0, 2, 1},  // BAYER_GR
        {1, 2, 0, 1},  // BAYER_GB
    };
    if (iBayerPattern < BAYER_RG || iBayerPattern > BAYER_GB) return;
    m_iBayerPattern = iBayerPattern;
    for (int k = 0; k < 4; k++) {
        m_pBayerColor[k] = s_iColour[iBayerPattern][k];
        // RGB24 is stored blue, green, red: red goes to byte 2, blue to byte 0.
        m_pBayerByte[k] = 2 - s_iColour[iBayerPattern][k];
    }
    m_bPosValid = false;
    FlipBayer(false, false);
}

void CAlgorithm::FlipBayer(bool bFlipV, bool bFlipH) {
    if (m_bPosValid && bFlipV == m_bLastFlipV && bFlipH == m_bLastFlipH) return;
    m_bLastFlipV = bFlipV;
    m_bLastFlipH = bFlipH;
    m_bPosValid = true;

    int iByte[4];
    for (int k = 0; k < 4; k++) iByte[k] = m_pBayerByte[k];
    if (bFlipV) {  // rows of the cell swap places
        std::swap(iByte[0], iByte[2]);
        std::swap(iByte[1], iByte[3]);
    }
    if (bFlipH) {  // columns of the cell swap places
        std::swap(iByte[0], iByte[1]);
        std::swap(iByte[2], iByte[3]);
    }
    for (int k = 0; k < 4; k++) {
        const int iX = k % 2, iY = k / 2;
        if (iByte[k] == 0) {
            m_iBlueX = iX;
            m_iBlueY = iY;
        } else if (iByte[k] == 2) {
            m_iRedX = iX;
            m_iRedY = iY;
        } else if (iByte[k ^ 1] == 2) {  // the other site of this row is red
            m_iGreenRX = iX;
            m_iGreenRY = iY;
        } else {
            m_iGreenBX = iX;
            m_iGreenBY = iY;
        }
    }
}

void CAlgorithm::SetWidth(int iSrcWidth, int iDstStride) {
    m_iSrcOffGR = m_iGreenRX + m_iGreenRY * iSrcWidth;
    m_iSrcOffGB = m_iGreenBX + m_iGreenBY * iSrcWidth;
    m_iSrcOffB = m_iBlueX + m_iBlueY * iSrcWidth;
    m_iSrcOffR = m_iRedX + m_iRedY * iSrcWidth;
    m_iDstOffGR = m_iGreenRX + m_iGreenRY * iDstStride;
    m_iDstOffGB = m_iGreenBX + m_iGreenBY * iDstStride;
    m_iDstOffB = m_iBlueX + m_iBlueY * iDstStride;
    m_iDstOffR = m_iRedX + m_iRedY * iDstStride;
}

// Nearest fill: every pixel of the cell takes the cell's red and blue sample;
// the greens keep their own sample and red and blue take the greens' mean.
template <class TSink>
inline void CAlgorithm::BayerCopy(const SCellPlan& plan, const unsigned char* pCell, const TSink& out) {
    const unsigned uGR = pCell[plan.iSrcGR];
    const unsigned uGB = pCell[plan.iSrcGB];
    const unsigned uBlue = plan.ucBlueMap[pCell[plan.iSrcB]];
    const unsigned uRed = plan.ucRedMap[pCell[plan.iSrcR]];
    const unsigned uGMean = (uGR + uGB) >> 1;
    out.Put(plan.iOutGR, uBlue, uGR, uRed);
    out.Put(plan.iOutGB, uBlue, uGB, uRed);
    out.Put(plan.iOutB, uBlue, uGMean, uRed);
    out.Put(plan.iOutR, uBlue, uGMean, uRed);
}

// Bilinear fill: each missing colour is the mean of the nearest sites of that
// colour (two in line for a green site, four for red and blue sites).
template <class TSink>
inline void CAlgorithm::BayerBilinear(const SCellPlan& plan, const unsigned char* pCell, const TSink& out) {
    const ptrdiff_t w = plan.iWidth;
    unsigned uB[4], uG[4], uR[4];

    const unsigned char* p = pCell + plan.iSrcGR;  // green in a red row: blue above and below
    uB[0] = (p[w] + p[-w]) >> 1;
    uG[0] = p[0];
    uR[0] = (p[1] + p[-1]) >> 1;

    p = pCell + plan.iSrcGB;  // green in a blue row: red above and below
    uB[1] = (p[-1] + p[1]) >> 1;
    uG[1] = p[0];
    uR[1] = (p[-w] + p[w]) >> 1;

    p = pCell + plan.iSrcB;
    uB[2] = p[0];
    uG[2] = (p[-1] + p[1] + p[-w] + p[w]) >> 2;
    uR[2] = (p[-w - 1] + p[-w + 1] + p[w - 1] + p[w + 1]) >> 2;

    p = pCell + plan.iSrcR;
    uR[3] = p[0];
    uG[3] = (p[-1] + p[1] + p[-w] + p[w]) >> 2;
    uB[3] = (p[-w - 1] + p[-w + 1] + p[w - 1] + p[w + 1]) >> 2;

    if (plan.bWBActive) {
        for (int k = 0; k < 4; k++) {
            uB[k] = plan.ucBlueMap[uB[k]];
            uR[k] = plan.ucRedMap[uR[k]];
        }
    }
    out.Put(plan.iOutGR, uB[0], uG[0], uR[0]);
    out.Put(plan.iOutGB, uB[1], uG[1], uR[1]);
    out.Put(plan.iOutB, uB[2], uG[2], uR[2]);
    out.Put(plan.iOutR, uB[3], uG[3], uR[3]);
}

namespace {

// Luminance of one pixel: 0.257 R + 0.504 G + 0.098 B.
template <class TTables>
inline unsigned Luma(const TTables& t, unsigned uBlue, unsigned uGreen, unsigned uRed) {
    return static_cast<unsigned>(t.iLumaR[uRed] + t.iLumaG[uGreen] + t.iLumaB[uBlue]) >> kFixedShift;
}

// The same for a pixel stored blue, green, red.
template <class TTables>
inline unsigned Luma(const TTables& t, const unsigned char* pPix) {
    return Luma(t, pPix[0], pPix[1], pPix[2]);
}

// YUV2 word of the left pixel of a pair (low byte luminance, high byte Cr of
// that pixel), stored little-endian.
template <class TTables>
inline void YUV2Left(const TTables& t, const unsigned char* pPix, unsigned char* pWord) {
    const int iCr = (t.iChroma439[pPix[2]] - t.iCrB[pPix[0]] - t.iCrG[pPix[1]]) >> kFixedShift;
    pWord[0] = static_cast<unsigned char>((Luma(t, pPix) + kYUVLumaOffset) & 255);
    pWord[1] = static_cast<unsigned char>(iCr + kYUVChromaOffset);
}

// YUV2 word of the right pixel of a pair: its own luminance, and Cb of the
// left pixel, so that the pair shares the left pixel's chroma.
template <class TTables>
inline void YUV2Right(const TTables& t, const unsigned char* pLeft, const unsigned char* pRight,
                      unsigned char* pWord) {
    const int iCb = (t.iChroma439[pLeft[0]] - t.iCbR[pLeft[2]] - t.iCbG[pLeft[1]]) >> kFixedShift;
    pWord[0] = static_cast<unsigned char>((Luma(t, pRight) + kYUVLumaOffset) & 255);
    pWord[1] = static_cast<unsigned char>(iCb + kYUVChromaOffset);
}

// Where a fill puts a cell's pixels: 3-byte pixels (the RGB24 target or the
// working cell), or their luminance straight into a Y8 target.
struct SRGBSink {
    unsigned char* pCell;
    void Put(ptrdiff_t iOffset, unsigned uBlue, unsigned uGreen, unsigned uRed) const {
        PutPixel(pCell + iOffset, uBlue, uGreen, uRed);
    }
};

template <class TTables>
struct SLumaSink {
    unsigned char* pCell;
    const TTables* pTables;
    void Put(ptrdiff_t iOffset, unsigned uBlue, unsigned uGreen, unsigned uRed) const {
        pCell[iOffset] = static_cast<unsigned char>(Luma(*pTables, uBlue, uGreen, uRed));
    }
};

}  // namespace

// YUV2 cell writer: the working cell's top pixel pair goes to row y, the
// bottom pair to row y + 1, one word per pixel.
inline void CAlgorithm::RGBTemp2YUV2(const SCellPlan& plan, const unsigned char* pTemp, unsigned char* pDst,
                                     int iX, int iY, int iWidth) {
    const SYUVTables& t = *plan.pYUV;
    unsigned char* pRow0 = pDst + (static_cast<ptrdiff_t>(iY) * iWidth + iX) * kYUV2Bytes;
    unsigned char* pRow1 = pRow0 + static_cast<ptrdiff_t>(iWidth) * kYUV2Bytes;
    YUV2Left(t, pTemp + 0 * kRGBBytes, pRow0);
    YUV2Right(t, pTemp + 0 * kRGBBytes, pTemp + 1 * kRGBBytes, pRow0 + kYUV2Bytes);
    YUV2Left(t, pTemp + 2 * kRGBBytes, pRow1);
    YUV2Right(t, pTemp + 2 * kRGBBytes, pTemp + 3 * kRGBBytes, pRow1 + kYUV2Bytes);
}

// Walks the cells of the even part of the frame. Cells on the frame's edge
// take the nearest fill, as their bilinear neighbours would lie outside it:
// the first row pair and the first cell of each row, and the last row pair
// and last cell of a row where they end the frame (even height, even width;
// an odd last row or column is a neighbour to the cells before it). Every
// other cell takes the bilinear fill. The writer gives each cell's sink,
// finishes the cell and, for an odd width, fills the last column of each
// row pair.
template <class TWriter>
void CAlgorithm::ConvertCells(const SCellPlan& plan, const unsigned char* pSrc, int iWidth, int iHeight,
                              TWriter writer) {
    const int iW2 = iWidth & ~1, iH2 = iHeight & ~1;
    const bool bOddW = (iWidth & 1) != 0;
    // Cells from x = 2 up to (not including) iMidEnd are inner cells; with an
    // even width the last cell (x = w - 2) is a border cell.
    const int iMidEnd = bOddW ? iW2 : iWidth - 2;
    for (int y = 0; y < iH2; y += 2) {
        const unsigned char* pRow = pSrc + static_cast<ptrdiff_t>(y) * iWidth;
        if (y == 0 || y == iHeight - 2) {
            for (int x = 0; x < iW2; x += 2) {
                BayerCopy(plan, pRow + x, writer.Sink(x, y));
                writer.Finish(plan, x, y);
            }
        } else {
            BayerCopy(plan, pRow, writer.Sink(0, y));
            writer.Finish(plan, 0, y);
            for (int x = writer.VectorRun(plan, pRow, y, 2, iMidEnd); x < iMidEnd; x += 2) {
                BayerBilinear(plan, pRow + x, writer.Sink(x, y));
                writer.Finish(plan, x, y);
            }
            if (!bOddW && iWidth > 2) {
                BayerCopy(plan, pRow + iWidth - 2, writer.Sink(iWidth - 2, y));
                writer.Finish(plan, iWidth - 2, y);
            }
        }
        if (bOddW) writer.LastColumn(plan, y);
    }
}

namespace {

// Runs a vector row kernel over columns x0 .. x1 of both rows of a cell row
// and returns the first column left to the scalar fills (even: whole cells).
template <class TPlan, class TKernel>
int RunRows(const TPlan& p, const unsigned char* pRow, int, int x0, int x1, TKernel kernel) {
    if (!p.bVector || x1 <= x0) return x0;
    const unsigned char* pBlue = p.bWBActive ? p.ucBlueMap : nullptr;
    const unsigned char* pRed = p.bWBActive ? p.ucRedMap : nullptr;
    const size_t uDone = kernel(0, pRow + x0, static_cast<size_t>(x1 - x0), pBlue, pRed);
    kernel(1, pRow + p.iWidth + x0, uDone, pBlue, pRed);
    return x0 + static_cast<int>(uDone & ~size_t{1});
}

}  // namespace

void CAlgorithm::BayerConv(const unsigned char* pSrc, unsigned char* pDst, int iWidth, int iHeight,
                           IMAGE_TYPE imageType, bool bFlipV, bool bFlipH) {
    if (!pSrc || !pDst) return;
    int iOutBytes;
    switch (imageType) {
        case IMAGE_RGB24:
            iOutBytes = kRGBBytes;
            break;
        case IMAGE_8BIT:
            iOutBytes = 1;
            break;
        case IMAGE_YUV2:
            iOutBytes = kYUV2Bytes;
            break;
        default:
            return;
    }
    if (iWidth < 2 || iHeight < 2) return;  // no complete 2 x 2 cell
    size_t uDstBytes, uRowBytes;
    if (!BufferBytes({iWidth, iHeight, iOutBytes}, &uDstBytes) ||
        !BufferBytes({iWidth, iOutBytes}, &uRowBytes) || uRowBytes > static_cast<size_t>(INT_MAX))
        return;

    // The mosaic was flipped before it got here. Reversing an even number of
    // rows (columns) moves the Bayer phase by one; an odd number keeps it.
    FlipBayer(bFlipV && iHeight % 2 == 0, bFlipH && iWidth % 2 == 0);
    // RGB24 and Y8 cells go straight into the target; YUV2 cells are built in
    // the working cell (2 pixels a row) first, since a pair shares chroma.
    SetWidth(iWidth, imageType == IMAGE_YUV2 ? kCellStride : iWidth);
    const int iSinkBytes = imageType == IMAGE_8BIT ? 1 : kRGBBytes;

    SCellPlan plan;
    plan.iSrcGR = m_iSrcOffGR;
    plan.iSrcGB = m_iSrcOffGB;
    plan.iSrcB = m_iSrcOffB;
    plan.iSrcR = m_iSrcOffR;
    plan.iOutGR = static_cast<ptrdiff_t>(m_iDstOffGR) * iSinkBytes;
    plan.iOutGB = static_cast<ptrdiff_t>(m_iDstOffGB) * iSinkBytes;
    plan.iOutB = static_cast<ptrdiff_t>(m_iDstOffB) * iSinkBytes;
    plan.iOutR = static_cast<ptrdiff_t>(m_iDstOffR) * iSinkBytes;
    plan.iWidth = iWidth;
    plan.pYUV = m_pYUV;
    plan.bVector = kyr_simd::Enabled() && (imageType == IMAGE_RGB24 || m_pYUV->bCoefExact);
    plan.bRedRow0 = m_iRedY == 0;
    plan.iColourX[0] = m_iRedY == 0 ? m_iRedX : m_iBlueX;
    plan.iColourX[1] = m_iRedY == 0 ? m_iBlueX : m_iRedX;
    {
        std::lock_guard<std::mutex> lock(m_mtxWB);
        plan.bWBActive = m_bWBActive;
        memcpy(plan.ucBlueMap, m_iWBRTable, sizeof(plan.ucBlueMap));
        memcpy(plan.ucRedMap, m_iWBBTable, sizeof(plan.ucRedMap));
    }

    if (imageType == IMAGE_RGB24) {
        struct SRGB24Writer {
            unsigned char* pDst;
            int iWidth;
            unsigned char* Pixel(int x, int y) const {
                return pDst + (static_cast<ptrdiff_t>(y) * iWidth + x) * kRGBBytes;
            }
            SRGBSink Sink(int x, int y) const { return SRGBSink{Pixel(x, y)}; }
            int VectorRun(const SCellPlan& p, const unsigned char* pRow, int y, int x0, int x1) const {
                return RunRows(p, pRow, y, x0, x1,
                               [&](int r, const unsigned char* pSrc, size_t n, const unsigned char* pBlue,
                                   const unsigned char* pRed) {
                                   return kyr_simd::BayerRowRGB24(pSrc, p.iWidth, Pixel(x0, y + r), n,
                                                                  p.iColourX[r], p.bRedRow0 == (r == 0),
                                                                  pBlue, pRed);
                               });
            }
            void Finish(const SCellPlan&, int, int) const {}
            // Odd width: column w - 1 repeats column w - 2.
            void LastColumn(const SCellPlan&, int y) const {
                for (int r = y; r < y + 2; r++) {
                    unsigned char* pPix = Pixel(iWidth - 1, r);
                    memcpy(pPix, pPix - kRGBBytes, kRGBBytes);
                }
            }
        };
        ConvertCells(plan, pSrc, iWidth, iHeight, SRGB24Writer{pDst, iWidth});
    } else if (imageType == IMAGE_8BIT) {
        struct SY8Writer {
            unsigned char* pDst;
            int iWidth;
            const SYUVTables* pTables;
            unsigned char* Pixel(int x, int y) const { return pDst + static_cast<ptrdiff_t>(y) * iWidth + x; }
            SLumaSink<SYUVTables> Sink(int x, int y) const {
                return SLumaSink<SYUVTables>{Pixel(x, y), pTables};
            }
            int VectorRun(const SCellPlan& p, const unsigned char* pRow, int y, int x0, int x1) const {
                return RunRows(p, pRow, y, x0, x1,
                               [&](int r, const unsigned char* pSrc, size_t n, const unsigned char* pBlue,
                                   const unsigned char* pRed) {
                                   return kyr_simd::BayerRowY8(pSrc, p.iWidth, Pixel(x0, y + r), n,
                                                               p.iColourX[r], p.bRedRow0 == (r == 0), pBlue,
                                                               pRed, pTables->coef);
                               });
            }
            void Finish(const SCellPlan&, int, int) const {}
            void LastColumn(const SCellPlan&, int y) const {
                for (int r = y; r < y + 2; r++) {
                    unsigned char* pPix = Pixel(iWidth - 1, r);
                    pPix[0] = pPix[-1];
                }
            }
        };
        ConvertCells(plan, pSrc, iWidth, iHeight, SY8Writer{pDst, iWidth, m_pYUV});
    } else {
        struct SYUV2Writer {
            unsigned char* pTemp;
            unsigned char* pDst;
            int iWidth;
            SRGBSink Sink(int, int) const { return SRGBSink{pTemp}; }
            // The last cell stays with the scalar fill: an odd width's last
            // column is made from the working cell it leaves.
            int VectorRun(const SCellPlan& p, const unsigned char* pRow, int y, int x0, int x1) const {
                return RunRows(p, pRow, y, x0, x1 - 2,
                               [&](int r, const unsigned char* pSrc, size_t n, const unsigned char* pBlue,
                                   const unsigned char* pRed) {
                                   unsigned char* pWords =
                                       pDst + (static_cast<ptrdiff_t>(y + r) * iWidth + x0) * kYUV2Bytes;
                                   return kyr_simd::BayerRowYUV2(pSrc, p.iWidth, pWords, n, p.iColourX[r],
                                                                 p.bRedRow0 == (r == 0), pBlue, pRed,
                                                                 p.pYUV->coef);
                               });
            }
            void Finish(const SCellPlan& p, int x, int y) const {
                RGBTemp2YUV2(p, pTemp, pDst, x, y, iWidth);
            }
            // Odd width: the last column repeats the colour of column w - 2
            // (still in the working cell, pixels 1 and 3) and, being an even
            // column, is written as the left word of a pair.
            void LastColumn(const SCellPlan& p, int y) const {
                for (int r = 0; r < 2; r++) {
                    unsigned char* pWord =
                        pDst + (static_cast<ptrdiff_t>(y + r) * iWidth + iWidth - 1) * kYUV2Bytes;
                    YUV2Left(*p.pYUV, pTemp + (2 * r + 1) * kRGBBytes, pWord);
                }
            }
        };
        ConvertCells(plan, pSrc, iWidth, iHeight, SYUV2Writer{m_pRGBTemp.get(), pDst, iWidth});
    }

    // Odd height: the last row repeats the row before it.
    if (iHeight & 1) CopyLastLine(pDst, iHeight & ~1, static_cast<int>(uRowBytes));
}

void CAlgorithm::CopyLastLine(unsigned char* pBuf, int iRows, int iRowBytes) {
    if (!pBuf || iRows <= 0 || iRowBytes <= 0) return;
    unsigned char* pLast = pBuf + static_cast<ptrdiff_t>(iRows) * iRowBytes;
    memcpy(pLast, pLast - iRowBytes, static_cast<size_t>(iRowBytes));
}

namespace {

// Outputs summed before any of them is stored: the reads of a chunk come
// before its in-place writes, and the sums stay in L1. Even, so that colour
// binning's chunks hold whole cells.
constexpr int kBinChunk = 256;

// Vector 2 x 2 binning of one output row by element type; the count done.
inline size_t MonoBin2Row(const unsigned char* pIn0, const unsigned char* pIn1, unsigned char* pOut,
                          size_t n) {
    return kyr_simd::MonoBin2Row8(pIn0, pIn1, pOut, n);
}
inline size_t MonoBin2Row(const unsigned short* pIn0, const unsigned short* pIn1, unsigned short* pOut,
                          size_t n) {
    return kyr_simd::MonoBin2Row16(pIn0, pIn1, pOut, n);
}
inline size_t MonoBinRow(const unsigned char* pIn, ptrdiff_t iStride, int iBin, unsigned char* pOut,
                         size_t n) {
    return kyr_simd::MonoBinRow8(pIn, iStride, iBin, pOut, n);
}
inline size_t MonoBinRow(const unsigned short* pIn, ptrdiff_t iStride, int iBin, unsigned short* pOut,
                         size_t n) {
    return kyr_simd::MonoBinRow16(pIn, iStride, iBin, pOut, n);
}
inline size_t ColorBinRow(const unsigned char* pRow0, ptrdiff_t iRowStep, int iBin, unsigned char* pOut,
                          size_t n, size_t uIn) {
    return kyr_simd::ColorBinRow8(pRow0, iRowStep, iBin, pOut, n, uIn);
}
inline size_t ColorBinRow(const unsigned short* pRow0, ptrdiff_t iRowStep, int iBin, unsigned short* pOut,
                          size_t n, size_t uIn) {
    return kyr_simd::ColorBinRow16(pRow0, iRowStep, iBin, pOut, n, uIn);
}
inline size_t ColorBin2Row(const unsigned char* pIn0, const unsigned char* pIn1, unsigned char* pOut,
                           size_t n) {
    return kyr_simd::ColorBin2Row8(pIn0, pIn1, pOut, n);
}
inline size_t ColorBin2Row(const unsigned short* pIn0, const unsigned short* pIn1, unsigned short* pOut,
                           size_t n) {
    return kyr_simd::ColorBin2Row16(pIn0, pIn1, pOut, n);
}

// Mono binning of one element type: out[r][c] = finish(sum of the bin x bin
// block). kBin is the factor when known at compile time (0: iBinArg).
//
// In place: every input that output k reads lies at index k or later, and
// outputs are stored in increasing order after their chunk's reads, so no
// output overwrites an input still to be read.
template <int kBin, class T, class TFinish>
void MonoBinRows(T* pBuf, int iWidth, int iHeight, int iBinArg, TFinish finish) {
    const int iBin = kBin ? kBin : iBinArg;
    const ptrdiff_t iInWidth = static_cast<ptrdiff_t>(iWidth) * iBin;
    const bool bVector = (kBin == 2 || kBin == 3 || kBin == 4) && kyr_simd::Enabled();
    uint32_t uSum[kBinChunk];
    for (int r = 0; r < iHeight; r++) {
        const T* pBlockRow = pBuf + static_cast<ptrdiff_t>(r) * iBin * iInWidth;
        T* pOut = pBuf + static_cast<ptrdiff_t>(r) * iWidth;
        const size_t uCount = static_cast<size_t>(iWidth);
        const int cVector = !bVector ? 0
                            : kBin == 2
                                ? static_cast<int>(MonoBin2Row(pBlockRow, pBlockRow + iInWidth, pOut, uCount))
                                : static_cast<int>(MonoBinRow(pBlockRow, iInWidth, kBin, pOut, uCount));
        for (int c0 = cVector; c0 < iWidth; c0 += kBinChunk) {
            const int n = std::min(kBinChunk, iWidth - c0);
            std::fill(uSum, uSum + n, 0u);
            for (int i = 0; i < iBin; i++) {
                const T* pIn = pBlockRow + i * iInWidth + static_cast<ptrdiff_t>(c0) * iBin;
                for (int c = 0; c < n; c++, pIn += iBin)
                    for (int j = 0; j < iBin; j++) uSum[c] += pIn[j];
            }
            for (int c = 0; c < n; c++) pOut[c0 + c] = finish(uSum[c]);
        }
    }
}

template <class T, class TFinish>
void MonoBinImpl(T* pBuf, int iWidth, int iHeight, int iBin, TFinish finish) {
    switch (iBin) {
        case 2:
            return MonoBinRows<2>(pBuf, iWidth, iHeight, iBin, finish);
        case 3:
            return MonoBinRows<3>(pBuf, iWidth, iHeight, iBin, finish);
        case 4:
            return MonoBinRows<4>(pBuf, iWidth, iHeight, iBin, finish);
        default:
            return MonoBinRows<0>(pBuf, iWidth, iHeight, iBin, finish);
    }
}

// First input row (column) of output row (column) r of a colour-binned frame:
// the sites of r's colour, starting in its own 2 x bin block, offset by bin
// rounded down to even for the second colour of a cell.
inline ptrdiff_t ColourBinStart(int r, int iBin) {
    const int iPhase = r & 1;
    return iPhase + static_cast<ptrdiff_t>(r - iPhase) * iBin + ((iPhase * iBin) & ~1);
}

// Colour binning, in place in the same order as MonoBinRows. Inner cells
// take all bin x bin sites of their colour; edge cells only the sites inside
// the input frame, so that a block never takes a site of another colour from
// the next row.
template <int kBin, class T, class TFull, class TPartial>
void ColorBinRows(T* pBuf, int iWidth, int iHeight, int iBinArg, TFull full, TPartial partial) {
    const int iBin = kBin ? kBin : iBinArg;
    const ptrdiff_t iInWidth = static_cast<ptrdiff_t>(iWidth) * iBin;
    const ptrdiff_t iInHeight = static_cast<ptrdiff_t>(iHeight) * iBin;
    // Below these, every site of the block lies inside the input frame.
    const int iFullRows = (iHeight - 1) / 2 * 2;
    const int iFullCols = (iWidth - 1) / 2 * 2;
    uint32_t uSum[kBinChunk];
    for (int r = 0; r < iHeight; r++) {
        const ptrdiff_t iRow0 = ColourBinStart(r, iBin);
        T* pOut = pBuf + static_cast<ptrdiff_t>(r) * iWidth;
        int cEdge = 0;
        if (r < iFullRows) {
            const T* pRow0 = pBuf + iRow0 * iInWidth;
            const size_t uFull = static_cast<size_t>(std::max(iFullCols, 0));
            size_t uVector = 0;
            if (kyr_simd::Enabled() && uFull > 0) {
                if (kBin == 2)
                    uVector = ColorBin2Row(pRow0, pRow0 + 2 * iInWidth, pOut, uFull);
                else if (kBin == 3 || kBin == 4)
                    uVector =
                        ColorBinRow(pRow0, 2 * iInWidth, kBin, pOut, uFull, static_cast<size_t>(iInWidth));
            }
            // Whole cells only: the scalar loop goes by column pairs.
            const int cVector = static_cast<int>(uVector & ~size_t{1});
            for (int c0 = cVector; c0 < iFullCols; c0 += kBinChunk) {
                const int n = std::min(kBinChunk, iFullCols - c0);
                std::fill(uSum, uSum + n, 0u);
                for (int i = 0; i < iBin; i++) {
                    const T* pRow = pBuf + (iRow0 + 2 * i) * iInWidth;
                    // Column pairs: c0 and n are even, so c0 + c is the first
                    // colour of a cell and c0 + c + 1 the second.
                    for (int c = 0; c < n; c += 2) {
                        const T* pFirst = pRow + static_cast<ptrdiff_t>(c0 + c) * iBin;
                        const T* pSecond = pFirst + 1 + (iBin & ~1);
                        for (int j = 0; j < iBin; j++) {
                            uSum[c] += pFirst[2 * j];
                            uSum[c + 1] += pSecond[2 * j];
                        }
                    }
                }
                for (int c = 0; c < n; c++) pOut[c0 + c] = full(uSum[c]);
            }
            cEdge = std::max(iFullCols, 0);
        }
        for (int c = cEdge; c < iWidth; c++) {
            const ptrdiff_t iCol0 = ColourBinStart(c, iBin);
            uint32_t uEdgeSum = 0, uCount = 0;
            for (ptrdiff_t iRow = iRow0; iRow < iRow0 + 2 * iBin && iRow < iInHeight; iRow += 2)
                for (ptrdiff_t iCol = iCol0; iCol < iCol0 + 2 * iBin && iCol < iInWidth; iCol += 2) {
                    uEdgeSum += pBuf[iRow * iInWidth + iCol];
                    uCount++;
                }
            pOut[c] = uCount ? partial(uEdgeSum, uCount) : T(0);
        }
    }
}

template <class T, class TFull, class TPartial>
void ColorBinImpl(T* pBuf, int iWidth, int iHeight, int iBin, TFull full, TPartial partial) {
    switch (iBin) {
        case 2:
            return ColorBinRows<2>(pBuf, iWidth, iHeight, iBin, full, partial);
        case 3:
            return ColorBinRows<3>(pBuf, iWidth, iHeight, iBin, full, partial);
        case 4:
            return ColorBinRows<4>(pBuf, iWidth, iHeight, iBin, full, partial);
        default:
            return ColorBinRows<0>(pBuf, iWidth, iHeight, iBin, full, partial);
    }
}

}  // namespace

namespace {

// A software bin of 2 up to kMaxSoftBin over a frame whose byte size fits.
bool IsSoftBinValid(int iWidth, int iHeight, int iBin, bool b16Bit) {
    size_t uBytes;
    return iBin > 1 && iBin <= kMaxSoftBin &&
           BufferBytes({iWidth, iBin, iHeight, iBin, b16Bit ? 2 : 1}, &uBytes);
}

}  // namespace

void CAlgorithm::MonoBin(unsigned char* pBuf8, unsigned short* pBuf16, int iWidth, int iHeight, int iBin,
                         bool b16Bit) {
    if (!IsSoftBinValid(iWidth, iHeight, iBin, b16Bit)) return;
    const uint32_t uArea = static_cast<uint32_t>(iBin) * static_cast<uint32_t>(iBin);
    if (b16Bit) {
        if (!pBuf16) return;
        MonoBinImpl(pBuf16, iWidth, iHeight, iBin, [uArea](uint32_t uSum) {
            return static_cast<unsigned short>(std::min<uint32_t>(65535, uSum / uArea));
        });
    } else {
        if (!pBuf8) return;
        MonoBinImpl(pBuf8, iWidth, iHeight, iBin,
                    [](uint32_t uSum) { return static_cast<unsigned char>(std::min<uint32_t>(255, uSum)); });
    }
}

void CAlgorithm::ColorRAWBin(unsigned char* pBuf8, unsigned short* pBuf16, int iWidth, int iHeight, int iBin,
                             bool b16Bit) {
    if (!IsSoftBinValid(iWidth, iHeight, iBin, b16Bit)) return;
    const uint32_t uArea = static_cast<uint32_t>(iBin) * static_cast<uint32_t>(iBin);
    if (b16Bit) {
        if (!pBuf16) return;
        ColorBinImpl(
            pBuf16, iWidth, iHeight, iBin,
            [uArea](uint32_t uSum) {
                return static_cast<unsigned short>(std::min<uint32_t>(65535, uSum / uArea));
            },
            [](uint32_t uSum, uint32_t uCount) {
                return static_cast<unsigned short>(std::min<uint32_t>(65535, uSum / uCount));
            });
    } else {
        if (!pBuf8) return;
        // 8-bit binning adds: an edge block missing some sites is scaled up to
        // the full block from the mean of the sites it has.
        ColorBinImpl(
            pBuf8, iWidth, iHeight, iBin,
            [](uint32_t uSum) { return static_cast<unsigned char>(std::min<uint32_t>(255, uSum)); },
            [uArea](uint32_t uSum, uint32_t uCount) {
                return static_cast<unsigned char>(std::min<uint32_t>(255, uArea * (uSum / uCount)));
            });
    }
}

void CAlgorithm::Gamma(unsigned char* pBuf, const unsigned char* pTable, int iWidth, int iHeight) {
    size_t uCount;
    if (!pBuf || !pTable || !BufferBytes({iWidth, iHeight}, &uCount)) return;
    // A private copy: stores into the frame cannot alias it, so the loop
    // need not reload the table after every pixel.
    unsigned char ucTable[256];
    memcpy(ucTable, pTable, sizeof(ucTable));
    if (kyr_simd::Enabled()) return kyr_simd::Gamma8(pBuf, ucTable, uCount);
    for (size_t i = 0; i < uCount; i++) pBuf[i] = ucTable[pBuf[i]];
}

void CAlgorithm::Gamma(unsigned short* pBuf, const unsigned short* pTable, int iWidth, int iHeight) {
    size_t uBytes;
    if (!pBuf || !pTable || !BufferBytes({iWidth, iHeight, 2}, &uBytes)) return;
    const size_t uCount = uBytes / 2;
    if (kyr_simd::Enabled()) return kyr_simd::Gamma16(pBuf, pTable, uCount);
    for (size_t i = 0; i < uCount; i++) pBuf[i] = pTable[pBuf[i]];
}

void CAlgorithm::SubtractDark(unsigned char* pBuf, int iWidth, int iHeight, unsigned int uOffset,
                              const unsigned char* pDark) {
    size_t uCount;
    if (!pBuf || !pDark || !BufferBytes({iWidth, iHeight}, &uCount)) return;
    // An offset of 255 or more saturates every pixel; clamping first keeps the
    // sum from wrapping.
    const unsigned uOff = std::min(uOffset, 255u);
    if (kyr_simd::Enabled()) return kyr_simd::SubtractDark8(pBuf, pDark, uCount, static_cast<uint8_t>(uOff));
    for (size_t i = 0; i < uCount; i++) {
        const unsigned uPix = pBuf[i], uDark = pDark[i];
        const unsigned uDiff = uPix > uDark ? uPix - uDark : 0;
        pBuf[i] = static_cast<unsigned char>(std::min(255u, uDiff + uOff));
    }
}

namespace {

inline void Reverse(unsigned char* pBuf, ptrdiff_t n) {
    if (kyr_simd::Enabled()) return kyr_simd::Reverse8(pBuf, static_cast<size_t>(n));
    std::reverse(pBuf, pBuf + n);
}
inline void Reverse(unsigned short* pBuf, ptrdiff_t n) {
    if (kyr_simd::Enabled()) return kyr_simd::Reverse16(pBuf, static_cast<size_t>(n));
    std::reverse(pBuf, pBuf + n);
}

// Swaps two rows of n pixels.
template <class T>
void SwapRows(T* pA, T* pB, ptrdiff_t n) {
    if (kyr_simd::Enabled())
        return kyr_simd::SwapBytes(reinterpret_cast<uint8_t*>(pA), reinterpret_cast<uint8_t*>(pB),
                                   static_cast<size_t>(n) * sizeof(T));
    std::swap_ranges(pA, pA + n, pB);
}

template <class T>
void FlipImpl(T* pBuf, int iWidth, int iHeight, bool bFlipV, bool bFlipH) {
    const ptrdiff_t w = iWidth;
    if (bFlipV && bFlipH) {
        Reverse(pBuf, w * iHeight);
    } else if (bFlipH) {
        for (int y = 0; y < iHeight; y++) Reverse(pBuf + y * w, w);
    } else if (bFlipV) {
        for (int y = 0; y < iHeight / 2; y++) SwapRows(pBuf + y * w, pBuf + (iHeight - 1 - y) * w, w);
    }
}

}  // namespace

void CAlgorithm::SoftMisc(unsigned char* pBuf, int iWidth, int iHeight, bool b16Bit, bool bFlipV,
                          bool bFlipH) {
    size_t uBytes;
    if (!pBuf || !BufferBytes({iWidth, iHeight, b16Bit ? 2 : 1}, &uBytes)) return;
    if (b16Bit)
        FlipImpl(reinterpret_cast<unsigned short*>(pBuf), iWidth, iHeight, bFlipV, bFlipH);
    else
        FlipImpl(pBuf, iWidth, iHeight, bFlipV, bFlipH);
}

void CAlgorithm::Get_variance_ave_RAW(const unsigned char* pBuf, int iX0, int iY0, int iWidth, int iHeight,
                                      int iStride, int, int* piDeviation, int* piAverage, bool b16Bit) {
    if (!piDeviation || !piAverage) return;
    for (int c = 0; c < 3; c++) piDeviation[c] = piAverage[c] = 0;
    // Every sample must lie inside the region, the region inside its rows, and
    // the frame up to the region's last row inside the address space.
    const int64_t iRowsUsed = static_cast<int64_t>(iY0) + iHeight;
    size_t uBytes;
    if (!pBuf || iX0 < 0 || iY0 < 0 || iWidth < 2 || iHeight < 2 || iStride <= 0 ||
        static_cast<int64_t>(iX0) + iWidth > iStride || iRowsUsed > INT_MAX ||
        !BufferBytes({static_cast<int>(iRowsUsed), iStride, b16Bit ? 2 : 1}, &uBytes))
        return;

    // Grid points, each the top-left of a 2 x 2 sample kept inside the region.
    ptrdiff_t iRows[kStatGrid], iCols[kStatGrid];
    const float fStepY = static_cast<float>(iHeight) / static_cast<float>(kStatGrid);
    const float fStepX = static_cast<float>(iWidth) / static_cast<float>(kStatGrid);
    for (int i = 0; i < kStatGrid; i++) {
        iRows[i] = iY0 + std::min(static_cast<int>(static_cast<float>(i) * fStepY), iHeight - 2);
        iCols[i] = iX0 + std::min(static_cast<int>(static_cast<float>(i) * fStepX), iWidth - 2);
    }
    // A sample's whole value (16-bit data: the 16-bit word).
    auto sample = [pBuf, iStride, b16Bit](ptrdiff_t x, ptrdiff_t y) -> unsigned {
        const ptrdiff_t iIndex = x + y * iStride;
        if (!b16Bit) return pBuf[iIndex];
        unsigned short usValue;
        memcpy(&usValue, pBuf + iIndex * 2, sizeof(usValue));
        return usValue;
    };
    auto colour = [this](ptrdiff_t x, ptrdiff_t y) { return m_pBayerColor[(x & 1) + 2 * (y & 1)]; };

    uint64_t uSum[3] = {0, 0, 0};
    int iCount[3] = {0, 0, 0};
    for (int i = 0; i < kStatGrid; i++)
        for (int j = 0; j < kStatGrid; j++)
            for (int k = 0; k < 4; k++) {
                const ptrdiff_t x = iCols[j] + (k & 1), y = iRows[i] + (k >> 1);
                const int c = colour(x, y);
                uSum[c] += sample(x, y);
                iCount[c]++;
            }
    // Divided by n + 1 on purpose: auto white balance is tuned to that scale.
    // 16-bit sums are shifted after summing, keeping the low bytes' weight.
    for (int c = 0; c < 3; c++) {
        const uint64_t uScaled = b16Bit ? uSum[c] >> kStat16Shift : uSum[c];
        piAverage[c] = static_cast<int>(std::min<uint64_t>(255, uScaled / (iCount[c] + 1)));
    }

    uint64_t uDev[3] = {0, 0, 0};
    for (int i = 0; i < kStatGrid; i++)
        for (int j = 0; j < kStatGrid; j++)
            for (int k = 0; k < 4; k++) {
                const ptrdiff_t x = iCols[j] + (k & 1), y = iRows[i] + (k >> 1);
                const int c = colour(x, y);
                const int iValue = static_cast<int>(b16Bit ? sample(x, y) >> kStat16Shift : sample(x, y));
                uDev[c] += static_cast<uint64_t>(iValue > piAverage[c] ? iValue - piAverage[c]
                                                                       : piAverage[c] - iValue);
            }
    for (int c = 0; c < 3; c++)
        piDeviation[c] = static_cast<int>(kStatDevScale * uDev[c] / static_cast<uint64_t>(iCount[c] + 1));
}

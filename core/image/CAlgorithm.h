// The image part: the software image processing of the frames (CAlgorithm,
// its vector kernels in AlgorithmSimd.h, the drivers' image formats in
// ImageType.h). It uses the public header's types and Highway, and no other
// part of the core.
//
// CAlgorithm: the software image processing of one camera. It demosaics a Bayer
// frame into RGB24 (stored blue, green, red), Y8 luminance or YUV2, bins mono
// and colour frames in software, flips, maps gamma, subtracts a dark frame and
// gathers the colour statistics that auto white balance works from.
//
// Every camera object owns one CAlgorithm, and everything that can change (the
// white-balance maps, the Bayer phase, the cached cell positions) lives in that
// object, so two cameras never see each other's settings. Only the constant
// colour-conversion tables are shared, built once and read-only afterwards.
//
// No operation allocates or reports an error: a null buffer, a non-positive
// size or a size whose byte count does not fit in memory leaves every buffer
// untouched. 16-bit buffers must be 2-byte aligned, as the frame buffers are.
//
// The per-frame passes run vector kernels (AlgorithmSimd.h) for the bulk of
// each row where the processor has a vector instruction set; the scalar code
// here does the rest (borders, row ends) and is the reference they match
// byte for byte.
#ifndef KYR_CALGORITHM_H
#define KYR_CALGORITHM_H

#include <memory>
#include <mutex>

#include "image/ImageType.h"

class CAlgorithm {
  public:
    CAlgorithm();
    ~CAlgorithm();
    CAlgorithm(const CAlgorithm&) = delete;
    CAlgorithm& operator=(const CAlgorithm&) = delete;

    // Makes the shared conversion tables available and resets the white
    // balance to neutral (50, 50). The constructor already does both; calling
    // it again is harmless.
    void RGBYUV_Init();

    // Software white balance: red bytes are scaled by red / 50 and blue bytes
    // by blue / 50, saturating at 255. A negative value is refused and changes
    // nothing. Safe to call while another thread runs BayerConv on this
    // object: each frame uses one consistent pair of maps.
    void SetRGBWB(int iRed, int iBlue);

    // Selects the sensor's Bayer pattern (BAYER_RG, BAYER_BG, BAYER_GR,
    // BAYER_GB of KYRCamera.h); any other value is refused and changes nothing.
    void SetBayer(int iBayerPattern);

    // Computes the 2 x 2 cell positions of each colour once the Bayer phase has
    // moved by one row (vertical) and/or one column (horizontal), as reversing
    // an even number of rows or columns moves it; cached while the flips stay
    // the same.
    void FlipBayer(bool bFlipV, bool bFlipH);

    // Per-frame offsets of the four cell positions in the source (width pixels
    // per row) and in the target (iDstStride pixels per row).
    void SetWidth(int iSrcWidth, int iDstStride);

    // Demosaics an 8-bit mosaic of iWidth x iHeight into pDst as RGB24
    // (3 bytes a pixel), IMAGE_8BIT luminance (1 byte) or IMAGE_YUV2 (2 bytes).
    // bFlipV / bFlipH tell which flips SoftMisc applied to the mosaic; they move
    // the Bayer phase only where the flipped dimension is even. Border cells
    // take the nearest fill, inner cells the bilinear one; an odd last row or
    // column repeats the one before it. Widths or heights below 2 (no complete
    // cell) and other image types write nothing.
    void BayerConv(const unsigned char* pSrc, unsigned char* pDst, int iWidth, int iHeight,
                   IMAGE_TYPE imageType, bool bFlipV, bool bFlipH);

    // Copies row (iRows - 1) onto row iRows of a buffer with iRowBytes per row.
    static void CopyLastLine(unsigned char* pBuf, int iRows, int iRowBytes);

    // Mono software binning in place. iWidth x iHeight is the binned size; the
    // input is iBin times wider and higher. 16-bit: block mean; 8-bit: block
    // sum saturated at 255 (binning adds the light of the block). A bin of 1
    // or less, or above 256, changes nothing. pBuf16 is used for 16-bit data,
    // pBuf8 otherwise.
    void MonoBin(unsigned char* pBuf8, unsigned short* pBuf16, int iWidth, int iHeight, int iBin,
                 bool b16Bit);

    // Colour software binning in place that keeps the Bayer mosaic: each output
    // site combines iBin x iBin input sites of its own colour, two apart,
    // starting in its own 2·iBin block (the second colour of a cell iBin
    // rounded down to even further on). Inner cells: 8-bit saturated sum,
    // 16-bit mean. Edge cells take only the sites inside the frame: 16-bit
    // their mean, 8-bit their mean times iBin², saturated (0 without a site).
    // Bins as for MonoBin.
    void ColorRAWBin(unsigned char* pBuf8, unsigned short* pBuf16, int iWidth, int iHeight, int iBin,
                     bool b16Bit);

    // Each pixel p becomes pTable[p] (256 or 65536 entries).
    void Gamma(unsigned char* pBuf, const unsigned char* pTable, int iWidth, int iHeight);
    void Gamma(unsigned short* pBuf, const unsigned short* pTable, int iWidth, int iHeight);

    // p = min(255, max(p - dark, 0) + offset) for each 8-bit pixel.
    void SubtractDark(unsigned char* pBuf, int iWidth, int iHeight, unsigned int uOffset,
                      const unsigned char* pDark);

    // Flips single-channel 8- or 16-bit data in place: vertical reverses the
    // row order, horizontal each row, both turn the image by 180 degrees.
    void SoftMisc(unsigned char* pBuf, int iWidth, int iHeight, bool b16Bit, bool bFlipV, bool bFlipH);

    // Red, green and blue mean and mean deviation of the region (iX0, iY0,
    // iWidth x iHeight) of a mosaic with iStride pixels per row, from a 10 x 10
    // grid of 2 x 2 samples that all lie inside the region. Means are capped
    // at 255 (16-bit data is scaled to 8 bits). A region without room for one
    // 2 x 2 sample gives 0 everywhere. Means and deviations are divided by the
    // sample count plus one, the scale auto white balance is tuned to.
    // piDeviation and piAverage point at three ints each (red, green, blue).
    // The seventh argument is not read.
    void Get_variance_ave_RAW(const unsigned char* pBuf, int iX0, int iY0, int iWidth, int iHeight,
                              int iStride, int iUnused, int* piDeviation, int* piAverage, bool b16Bit);

    // Working cell of the YUV2 conversion: the four pixels of one 2 x 2 cell,
    // 3 bytes each, in cell order (0,0), (1,0), (0,1), (1,1).
    std::unique_ptr<unsigned char[]> m_pRGBTemp;
    // Sensor colour (0 red, 1 green, 2 blue) of each cell position.
    std::unique_ptr<int[]> m_pBayerColor;
    // RGB24 byte (0 blue, 1 green, 2 red) that receives each cell position.
    std::unique_ptr<int[]> m_pBayerByte;

    // Cell positions (0 or 1) of the green sharing a row with red, the green
    // sharing a row with blue, blue and red, after the flips last computed.
    int m_iGreenRX, m_iGreenRY;
    int m_iGreenBX, m_iGreenBY;
    int m_iBlueX, m_iBlueY;
    int m_iRedX, m_iRedY;

    // x + y * width of each position in the source, same order.
    int m_iSrcOffGR, m_iSrcOffGB, m_iSrcOffB, m_iSrcOffR;
    // x + y * stride of each position in the target, same order.
    int m_iDstOffGR, m_iDstOffGB, m_iDstOffB, m_iDstOffR;

    int m_iBayerPattern;
    bool m_bPosValid;
    bool m_bWBActive;  // a white-balance value differs from neutral
    bool m_bLastFlipV, m_bLastFlipH;

    // White-balance maps: m_iWBRTable maps the blue byte (from the blue value),
    // m_iWBBTable the red byte (from the red value). Written by SetRGBWB only.
    unsigned char m_iWBRTable[256];
    unsigned char m_iWBBTable[256];

  private:
    struct SYUVTables;
    struct SCellPlan;

    // Cell fills (nearest, bilinear) handing each pixel to a sink that stores
    // it as RGB24 or as luminance, and the YUV2 writer of the working cell.
    template <class TSink>
    static void BayerCopy(const SCellPlan& plan, const unsigned char* pCell, const TSink& out);
    template <class TSink>
    static void BayerBilinear(const SCellPlan& plan, const unsigned char* pCell, const TSink& out);
    static void RGBTemp2YUV2(const SCellPlan& plan, const unsigned char* pTemp, unsigned char* pDst, int iX,
                             int iY, int iWidth);

    static const SYUVTables& SharedYUVTables();

    template <class TWriter>
    static void ConvertCells(const SCellPlan& plan, const unsigned char* pSrc, int iWidth, int iHeight,
                             TWriter writer);

    const SYUVTables* m_pYUV;  // shared, constant after construction
    std::mutex m_mtxWB;        // guards the white-balance maps and m_bWBActive
};

#endif

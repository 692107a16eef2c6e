// Vector kernels of the per-frame image passes of CAlgorithm, one source for
// every instruction set: the best one the processor offers is picked at run
// time. Each kernel computes exactly what CAlgorithm's scalar code computes
// for the same pixels; the scalar code stays the reference and does whatever
// a kernel leaves (row ends shorter than a vector, border cells).
//
// Row kernels return how many outputs they wrote (a multiple of their vector
// chunk, possibly 0); the caller finishes the rest of the row.
#ifndef KYR_ALGORITHMSIMD_H
#define KYR_ALGORITHMSIMD_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace kyr_simd {

// Vector kernels on (the default) or off for the whole process. Off, every
// pass runs its scalar code, which is how the tests obtain the reference.
bool Enabled();
void SetEnabled(bool bEnabled);

// The instruction sets the kernels can run with here (Highway target bits),
// best first, and a way to make them run with one of them (0: the best).
std::vector<int64_t> Targets();
void SelectTarget(int64_t iTarget);

// The colour-conversion tables as exact integer arithmetic: the entry of
// value i is uA * i + ((i * uM) >> 16). Tables in the order: luminance of
// blue, green and red; 0.439 (red of Cr, blue of Cb); blue and green of Cr;
// red and green of Cb.
struct SColourCoef {
    uint32_t uA[8];
    uint32_t uM[8];
};

// One row of the bilinear demosaic. pSrc points at the row's first pixel to
// fill, whose neighbours (one pixel left, right, above and below) exist; the
// row has iStride pixels. iColourX (0 or 1) is the column parity of the row's
// red or blue site, bRedRow tells which of the two it is. pBlueMap and pRedMap
// (white balance) are applied when not null.
size_t BayerRowRGB24(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                     bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap);
size_t BayerRowY8(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                  bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap, const SColourCoef& coef);
// YUV2 words (2 bytes a pixel); the count done is even.
size_t BayerRowYUV2(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                    bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap, const SColourCoef& coef);

// 2 x 2 binning of one output row from two input rows (uCount outputs).
// Mono: adjacent pairs; colour: sites two apart as the Bayer mosaic needs.
// 8-bit: saturated sum, 16-bit: mean. In place: pOut may lie at or before pIn0.
size_t MonoBin2Row8(const uint8_t* pIn0, const uint8_t* pIn1, uint8_t* pOut, size_t uCount);
size_t MonoBin2Row16(const uint16_t* pIn0, const uint16_t* pIn1, uint16_t* pOut, size_t uCount);
// Mono binning by 3 or 4 (other bins: 0 done); the block's rows lie
// iStride elements apart from pIn on.
size_t MonoBinRow8(const uint8_t* pIn, ptrdiff_t iStride, int iBin, uint8_t* pOut, size_t uCount);
size_t MonoBinRow16(const uint16_t* pIn, ptrdiff_t iStride, int iBin, uint16_t* pOut, size_t uCount);
// Colour binning by 3 or 4 (other bins: 0 done): the block's rows start at
// pRow0 and lie iRowStep elements apart, each with uInCount elements.
size_t ColorBinRow8(const uint8_t* pRow0, ptrdiff_t iRowStep, int iBin, uint8_t* pOut, size_t uCount,
                    size_t uInCount);
size_t ColorBinRow16(const uint16_t* pRow0, ptrdiff_t iRowStep, int iBin, uint16_t* pOut, size_t uCount,
                     size_t uInCount);
size_t ColorBin2Row8(const uint8_t* pIn0, const uint8_t* pIn1, uint8_t* pOut, size_t uCount);
size_t ColorBin2Row16(const uint16_t* pIn0, const uint16_t* pIn1, uint16_t* pOut, size_t uCount);

// Whole-buffer passes (no remainder left to the caller).
void Gamma8(uint8_t* pBuf, const uint8_t* pTable, size_t uCount);
void Gamma16(uint16_t* pBuf, const uint16_t* pTable, size_t uCount);
void SubtractDark8(uint8_t* pBuf, const uint8_t* pDark, size_t uCount, uint8_t ucOffset);
// Reverses uCount elements in place.
void Reverse8(uint8_t* pBuf, size_t uCount);
void Reverse16(uint16_t* pBuf, size_t uCount);
// Swaps uCount bytes between two ranges that do not overlap.
void SwapBytes(uint8_t* pA, uint8_t* pB, size_t uCount);

}  // namespace kyr_simd

#endif

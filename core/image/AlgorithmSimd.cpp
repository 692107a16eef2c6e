// Vector kernels of the image passes, compiled once per instruction set and
// dispatched at run time. See AlgorithmSimd.h.
#include "image/AlgorithmSimd.h"

#include <string.h>

#include <algorithm>
#include <atomic>

// The instruction set with byte permutes across the whole vector (Ice Lake
// and later) is compiled too: the 8-bit gamma looks up 128 entries at once
// with it.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL 1
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "image/AlgorithmSimd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace kyr_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// One lane: the row kernels leave everything to the caller's scalar code.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#endif

// Largest vector of any target, in bytes: sizes the lane buffers below.
constexpr size_t kMaxVecBytes = 256;

// Maps every lane (a byte value) through a 256-entry table; white balance is
// rare enough that a per-lane look-up costs less than vector arithmetic.
template <class D, class V>
HWY_INLINE V MapLanes(D d, V v, const uint8_t* pMap) {
    using T = hn::TFromD<D>;
    alignas(64) T lanes[kMaxVecBytes / sizeof(T)];
    hn::Store(v, d, lanes);
    for (size_t i = 0; i < hn::Lanes(d); i++) lanes[i] = pMap[lanes[i]];
    return hn::Load(d, lanes);
}

#if HWY_TARGET != HWY_SCALAR
// The even and the odd bytes of a byte vector, in the 16-bit lanes of d16.
template <class D16, class V8>
HWY_INLINE hn::VFromD<D16> EvenBytes(D16 d16, V8 v) {
    return hn::And(hn::BitCast(d16, v), hn::Set(d16, 0xFF));
}
template <class D16, class V8>
HWY_INLINE hn::VFromD<D16> OddBytes(D16 d16, V8 v) {
    return hn::ShiftRight<8>(hn::BitCast(d16, v));
}

// The fill of the pixels of one column parity: the row's own colour (red or
// blue), green, and the colour of the rows above and below.
template <class V>
struct SFill {
    V own, green, other;
};

// Bilinear fill of one row in steps of one byte vector of pixels, the even
// and the odd pixels of a step in the 16-bit lanes of d16. The sums of
// neighbours that two fills share are formed once: the vertical pairs of
// each column, which are the green at one parity and part of the diagonal at
// the other. kOddSites: the red or blue sites are the odd pixels. Each step's
// blue, green and red of both parities, white balance applied, go to
// emit(x, even blue, green, red, odd blue, green, red).
template <bool kOddSites, class TEmit>
HWY_INLINE size_t BayerRowOf(const uint8_t* pSrc, ptrdiff_t w, size_t uCount, bool bRedRow,
                             const uint8_t* pBlueMap, const uint8_t* pRedMap, TEmit emit) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    using V16 = hn::VFromD<decltype(d16)>;
    auto even = [&](const uint8_t* p) { return EvenBytes(d16, hn::LoadU(d8, p)); };
    auto odd = [&](const uint8_t* p) { return OddBytes(d16, hn::LoadU(d8, p)); };
    const size_t N = hn::Lanes(d8);
    size_t x = 0;
    for (; x + N <= uCount; x += N) {
        const uint8_t* p = pSrc + x;
        const auto c = hn::LoadU(d8, p), u = hn::LoadU(d8, p - w), d = hn::LoadU(d8, p + w);
        const V16 cEven = EvenBytes(d16, c), cOdd = OddBytes(d16, c);
        // Left plus right neighbour, above plus below, of the even and the
        // odd pixels.
        const V16 hEven = hn::Add(even(p - 1), cOdd), hOdd = hn::Add(cEven, odd(p + 1));
        const V16 vEven = hn::Add(EvenBytes(d16, u), EvenBytes(d16, d));
        const V16 vOdd = hn::Add(OddBytes(d16, u), OddBytes(d16, d));
        // A red or blue site averages its four green neighbours and its
        // four diagonal ones, a green pixel its left and right neighbours
        // (own) and those above and below (other).
        auto site = [](V16 centre, V16 h, V16 v, V16 diag) {
            return SFill<V16>{centre, hn::ShiftRight<2>(hn::Add(h, v)), hn::ShiftRight<2>(diag)};
        };
        auto green = [](V16 centre, V16 h, V16 v) {
            return SFill<V16>{hn::ShiftRight<1>(h), centre, hn::ShiftRight<1>(v)};
        };
        const SFill<V16> fE =
            kOddSites ? green(cEven, hEven, vEven)
                      : site(cEven, hEven, vEven, hn::Add(vOdd, hn::Add(even(p - w - 1), even(p + w - 1))));
        const SFill<V16> fO =
            kOddSites ? site(cOdd, hOdd, vOdd, hn::Add(vEven, hn::Add(odd(p - w + 1), odd(p + w + 1))))
                      : green(cOdd, hOdd, vOdd);
        // The row's own colour is red in a red row, blue in a blue row.
        V16 bE = bRedRow ? fE.other : fE.own, rE = bRedRow ? fE.own : fE.other;
        V16 bO = bRedRow ? fO.other : fO.own, rO = bRedRow ? fO.own : fO.other;
        if (pBlueMap) {
            bE = MapLanes(d16, bE, pBlueMap);
            rE = MapLanes(d16, rE, pRedMap);
            bO = MapLanes(d16, bO, pBlueMap);
            rO = MapLanes(d16, rO, pRedMap);
        }
        emit(x, bE, fE.green, rE, bO, fO.green, rO);
    }
    return x;
}

// The fill of a row whose red or blue sites lie at column parity iColourX.
template <class TEmit>
HWY_INLINE size_t BayerRow(const uint8_t* pSrc, ptrdiff_t w, size_t uCount, int iColourX, bool bRedRow,
                           const uint8_t* pBlueMap, const uint8_t* pRedMap, TEmit emit) {
    return iColourX ? BayerRowOf<true>(pSrc, w, uCount, bRedRow, pBlueMap, pRedMap, emit)
                    : BayerRowOf<false>(pSrc, w, uCount, bRedRow, pBlueMap, pRedMap, emit);
}

// Luminance of 16-bit lanes holding byte values. With each weight uA split
// into its high and low byte, the 32-bit sum of the three table entries is
// 256 U + V: U the sum of the pixels times the high bytes, V the sum of the
// pixels times the low bytes plus the three fractions (i * uM) >> 16. Both
// fit 16 bits for the weights in use (checked when the tables are built),
// and (256 U + V) >> 16 = (U + (V >> 8)) >> 8.
struct SLumaLanes {
    template <class D>
    struct Of {
        hn::VFromD<D> hB, hG, hR, lB, lG, lR, mB, mG, mR;
        Of(D d, const SColourCoef& c)
            : hB(hn::Set(d, static_cast<uint16_t>(c.uA[0] >> 8))),
              hG(hn::Set(d, static_cast<uint16_t>(c.uA[1] >> 8))),
              hR(hn::Set(d, static_cast<uint16_t>(c.uA[2] >> 8))),
              lB(hn::Set(d, static_cast<uint16_t>(c.uA[0] & 255))),
              lG(hn::Set(d, static_cast<uint16_t>(c.uA[1] & 255))),
              lR(hn::Set(d, static_cast<uint16_t>(c.uA[2] & 255))),
              mB(hn::Set(d, static_cast<uint16_t>(c.uM[0]))),
              mG(hn::Set(d, static_cast<uint16_t>(c.uM[1]))),
              mR(hn::Set(d, static_cast<uint16_t>(c.uM[2]))) {}
        hn::VFromD<D> operator()(D, hn::VFromD<D> b, hn::VFromD<D> g, hn::VFromD<D> r) const {
            using V = hn::VFromD<D>;
            const V u = hn::Add(hn::Add(hn::Mul(b, hB), hn::Mul(g, hG)), hn::Mul(r, hR));
            const V v = hn::Add(hn::Add(hn::Add(hn::Mul(b, lB), hn::Mul(g, lG)), hn::Mul(r, lR)),
                                hn::Add(hn::Add(hn::MulHigh(b, mB), hn::MulHigh(g, mG)), hn::MulHigh(r, mR)));
            return hn::ShiftRight<8>(hn::Add(u, hn::ShiftRight<8>(v)));
        }
    };
};
#endif

#if HWY_TARGET != HWY_SCALAR
// Cr and Cb of the pixels in the 16-bit lanes of b, g, r, each the integer
// part of a signed sum of three table entries, computed in 32-bit lanes and
// stored as bytes (+ 128, wrapping like the scalar code) in 16-bit lanes.
template <class D16, class V16 = hn::VFromD<D16>>
HWY_INLINE void Chroma(D16 d16, const SColourCoef& coef, V16 b, V16 g, V16 r, V16& vCr, V16& vCb) {
    const hn::Half<D16> dh;
    const hn::Repartition<uint32_t, D16> d32;
    const hn::Rebind<int32_t, decltype(d32)> di;
    using V32 = hn::VFromD<decltype(d32)>;
    auto table = [&](V32 v, int k) {
        return hn::Add(hn::Mul(v, hn::Set(d32, coef.uA[k])),
                       hn::ShiftRight<16>(hn::Mul(v, hn::Set(d32, coef.uM[k]))));
    };
    auto half = [&](V32 b32, V32 g32, V32 r32, V32& cr, V32& cb) {
        const auto bias = hn::Set(di, 128);
        const auto mask = hn::Set(d32, 0xFFu);
        cr = hn::And(
            hn::BitCast(d32, hn::Add(hn::ShiftRight<16>(hn::BitCast(
                                         di, hn::Sub(hn::Sub(table(r32, 3), table(b32, 4)), table(g32, 5)))),
                                     bias)),
            mask);
        cb = hn::And(
            hn::BitCast(d32, hn::Add(hn::ShiftRight<16>(hn::BitCast(
                                         di, hn::Sub(hn::Sub(table(b32, 3), table(r32, 6)), table(g32, 7)))),
                                     bias)),
            mask);
    };
    V32 crLo, cbLo, crHi, cbHi;
    half(hn::PromoteTo(d32, hn::LowerHalf(dh, b)), hn::PromoteTo(d32, hn::LowerHalf(dh, g)),
         hn::PromoteTo(d32, hn::LowerHalf(dh, r)), crLo, cbLo);
    half(hn::PromoteTo(d32, hn::UpperHalf(dh, b)), hn::PromoteTo(d32, hn::UpperHalf(dh, g)),
         hn::PromoteTo(d32, hn::UpperHalf(dh, r)), crHi, cbHi);
    vCr = hn::Combine(d16, hn::TruncateTo(dh, crHi), hn::TruncateTo(dh, crLo));
    vCb = hn::Combine(d16, hn::TruncateTo(dh, cbHi), hn::TruncateTo(dh, cbLo));
}
#endif

size_t BayerRowRGB24(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                     bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap) {
#if HWY_TARGET == HWY_SCALAR
    return 0;  // one lane: the scalar code of the caller does it all
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    using V16 = hn::VFromD<decltype(d16)>;
    // Even pixels in the low byte of each 16-bit lane, odd ones in the high.
    auto bytes = [&](V16 even, V16 odd) { return hn::BitCast(d8, hn::Or(even, hn::ShiftLeft<8>(odd))); };
    return BayerRow(pSrc, iStride, uCount, iColourX, bRedRow, pBlueMap, pRedMap,
                    [&](size_t x, V16 bE, V16 gE, V16 rE, V16 bO, V16 gO, V16 rO) {
                        hn::StoreInterleaved3(bytes(bE, bO), bytes(gE, gO), bytes(rE, rO), d8, pOut + 3 * x);
                    });
#endif
}

size_t BayerRowY8(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                  bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap, const SColourCoef& coef) {
#if HWY_TARGET == HWY_SCALAR
    return 0;
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    using V16 = hn::VFromD<decltype(d16)>;
    const SLumaLanes::Of<decltype(d16)> luma(d16, coef);
    return BayerRow(pSrc, iStride, uCount, iColourX, bRedRow, pBlueMap, pRedMap,
                    [&](size_t x, V16 bE, V16 gE, V16 rE, V16 bO, V16 gO, V16 rO) {
                        const V16 y = hn::Or(luma(d16, bE, gE, rE), hn::ShiftLeft<8>(luma(d16, bO, gO, rO)));
                        hn::StoreU(hn::BitCast(d8, y), d8, pOut + x);
                    });
#endif
}

// Each pixel pair shares the chroma of its left (even) pixel: the left word
// carries Cr, the right word Cb; the low bytes carry the luminance + 16.
size_t BayerRowYUV2(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                    bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap, const SColourCoef& coef) {
#if HWY_TARGET == HWY_SCALAR
    return 0;
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    using V16 = hn::VFromD<decltype(d16)>;
    const SLumaLanes::Of<decltype(d16)> luma(d16, coef);
    const V16 lumaOffset = hn::Set(d16, 16), lowByte = hn::Set(d16, 0xFF);
    uint16_t* pWords = reinterpret_cast<uint16_t*>(pOut);
    return BayerRow(pSrc, iStride, uCount, iColourX, bRedRow, pBlueMap, pRedMap,
                    [&](size_t x, V16 bE, V16 gE, V16 rE, V16 bO, V16 gO, V16 rO) {
                        V16 cr, cb;
                        Chroma(d16, coef, bE, gE, rE, cr, cb);
                        const V16 yE = hn::And(hn::Add(luma(d16, bE, gE, rE), lumaOffset), lowByte);
                        const V16 yO = hn::And(hn::Add(luma(d16, bO, gO, rO), lumaOffset), lowByte);
                        hn::StoreInterleaved2(hn::Or(yE, hn::ShiftLeft<8>(cr)),
                                              hn::Or(yO, hn::ShiftLeft<8>(cb)), d16, pWords + x);
                    });
#endif
}

size_t MonoBin2Row8(const uint8_t* pIn0, const uint8_t* pIn1, uint8_t* pOut, size_t uCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;  // one lane: the scalar code of the caller does it all
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const hn::Rebind<int16_t, decltype(d16)> di;
    const hn::Rebind<uint8_t, decltype(d16)> dOut;
    const size_t N = hn::Lanes(d16);  // outputs per step
    const auto lo = hn::Set(d16, 0xFF);
    size_t c = 0;
    for (; c + N <= uCount; c += N) {
        const auto a = hn::BitCast(d16, hn::LoadU(d8, pIn0 + 2 * c));
        const auto b = hn::BitCast(d16, hn::LoadU(d8, pIn1 + 2 * c));
        const auto sum = hn::Add(hn::Add(hn::And(a, lo), hn::ShiftRight<8>(a)),
                                 hn::Add(hn::And(b, lo), hn::ShiftRight<8>(b)));
        hn::StoreU(hn::DemoteTo(dOut, hn::BitCast(di, sum)), dOut, pOut + c);
    }
    return c;
#endif
}

size_t MonoBin2Row16(const uint16_t* pIn0, const uint16_t* pIn1, uint16_t* pOut, size_t uCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;  // one lane: the scalar code of the caller does it all
#else
    const hn::ScalableTag<uint16_t> d16;
    const hn::Repartition<uint32_t, decltype(d16)> d32;
    const hn::Rebind<uint16_t, decltype(d32)> dOut;
    const size_t N = hn::Lanes(d32);
    const auto lo = hn::Set(d32, 0xFFFF);
    size_t c = 0;
    for (; c + N <= uCount; c += N) {
        const auto a = hn::BitCast(d32, hn::LoadU(d16, pIn0 + 2 * c));
        const auto b = hn::BitCast(d32, hn::LoadU(d16, pIn1 + 2 * c));
        const auto sum = hn::Add(hn::Add(hn::And(a, lo), hn::ShiftRight<16>(a)),
                                 hn::Add(hn::And(b, lo), hn::ShiftRight<16>(b)));
        hn::StoreU(hn::TruncateTo(dOut, hn::ShiftRight<2>(sum)), dOut, pOut + c);
    }
    return c;
#endif
}

#if HWY_TARGET != HWY_SCALAR
// Sum of the kBin x kBin blocks under hn::Lanes(dw) outputs, each block's
// rows iStride elements apart, in the wide lanes of dw.
template <int kBin, class DW, class T>
HWY_INLINE hn::VFromD<DW> BlockSums(DW dw, const T* p, ptrdiff_t iStride) {
    const hn::Rebind<T, DW> dn;
    auto sum = hn::Zero(dw);
    for (int i = 0; i < kBin; i++, p += iStride) {
        hn::VFromD<decltype(dn)> a, b, c, e;
        if constexpr (kBin == 3) {
            hn::LoadInterleaved3(dn, p, a, b, c);
            e = hn::Zero(dn);
        } else {
            hn::LoadInterleaved4(dn, p, a, b, c, e);
        }
        sum = hn::Add(sum, hn::Add(hn::Add(hn::PromoteTo(dw, a), hn::PromoteTo(dw, b)),
                                   hn::Add(hn::PromoteTo(dw, c), hn::PromoteTo(dw, e))));
    }
    return sum;
}

template <int kBin>
HWY_INLINE size_t MonoBinRowK8(const uint8_t* pIn, ptrdiff_t iStride, uint8_t* pOut, size_t uCount) {
    const hn::ScalableTag<uint16_t> dw;
    const hn::Rebind<uint8_t, decltype(dw)> dn;
    const hn::Rebind<int16_t, decltype(dw)> di;
    const size_t N = hn::Lanes(dw);
    size_t c = 0;
    for (; c + N <= uCount; c += N)
        hn::StoreU(hn::DemoteTo(dn, hn::BitCast(di, BlockSums<kBin>(dw, pIn + kBin * c, iStride))), dn,
                   pOut + c);
    return c;
}

template <int kBin>
HWY_INLINE size_t MonoBinRowK16(const uint16_t* pIn, ptrdiff_t iStride, uint16_t* pOut, size_t uCount) {
    const hn::ScalableTag<uint32_t> dw;
    const hn::Rebind<uint16_t, decltype(dw)> dn;
    const hn::Rebind<int32_t, decltype(dw)> di;
    const hn::Rebind<float, decltype(dw)> df;
    const size_t N = hn::Lanes(dw);
    size_t c = 0;
    for (; c + N <= uCount; c += N) {
        const auto sum = BlockSums<kBin>(dw, pIn + kBin * c, iStride);
        hn::VFromD<decltype(di)> mean;
        if constexpr (kBin == 4) {
            mean = hn::BitCast(di, hn::ShiftRight<4>(sum));
        } else {
            // Exact: the sum has at most 20 bits, and a quotient short of an
            // integer by at least 1/9 cannot round up to it in 24 bits.
            mean = hn::ConvertTo(di, hn::Floor(hn::Div(hn::ConvertTo(df, hn::BitCast(di, sum)),
                                                       hn::Set(df, static_cast<float>(kBin * kBin)))));
        }
        hn::StoreU(hn::DemoteTo(dn, mean), dn, pOut + c);
    }
    return c;
}
#endif

size_t MonoBinRow8(const uint8_t* pIn, ptrdiff_t iStride, int iBin, uint8_t* pOut, size_t uCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;
#else
    return iBin == 3   ? MonoBinRowK8<3>(pIn, iStride, pOut, uCount)
           : iBin == 4 ? MonoBinRowK8<4>(pIn, iStride, pOut, uCount)
                       : 0;
#endif
}

size_t MonoBinRow16(const uint16_t* pIn, ptrdiff_t iStride, int iBin, uint16_t* pOut, size_t uCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;
#else
    return iBin == 3   ? MonoBinRowK16<3>(pIn, iStride, pOut, uCount)
           : iBin == 4 ? MonoBinRowK16<4>(pIn, iStride, pOut, uCount)
                       : 0;
#endif
}

#if HWY_TARGET != HWY_SCALAR
// Colour binning by 3 and 4 of one input row into the lanes of d (the element
// type widened as the sum needs), for outputs c .. c + Lanes(d) - 1 from p =
// the row's start + kBin c. By 3, output c sums inputs 3c, 3c + 2, 3c + 4; by
// 4, an even output 4c + 0, 2, 4, 6 and an odd one 4c + 1, 3, 5, 7. The
// loads reach up to kBin (c + Lanes + 1) + kBin - 1 elements.
template <int kBin, class D, class T, class TCombine>
HWY_INLINE hn::VFromD<D> ColourRowSums(D d, const T* p, TCombine add) {
    const hn::Rebind<T, D> dn;
    using VN = hn::VFromD<decltype(dn)>;
    auto widen = [&](VN v) {
        if constexpr (sizeof(T) == sizeof(hn::TFromD<D>))
            return v;
        else
            return hn::PromoteTo(d, v);
    };
    VN a, b, c, e, a1, b1, c1, e1;
    if constexpr (kBin == 3) {
        hn::LoadInterleaved3(dn, p, a, b, c);
        hn::LoadInterleaved3(dn, p + 3, a1, b1, c1);
        return add(add(widen(a), widen(c)), widen(b1));
    } else {
        hn::LoadInterleaved4(dn, p, a, b, c, e);
        hn::LoadInterleaved4(dn, p + 4, a1, b1, c1, e1);
        const auto even = add(add(widen(a), widen(c)), add(widen(a1), widen(c1)));
        const auto odd = add(add(widen(b), widen(e)), add(widen(b1), widen(e1)));
        return hn::OddEven(odd, even);
    }
}

template <int kBin>
HWY_INLINE size_t ColorBinRowK8(const uint8_t* pRow0, ptrdiff_t iRowStep, uint8_t* pOut, size_t uCount,
                                size_t uInCount) {
    const hn::ScalableTag<uint8_t> d;
    const size_t N = hn::Lanes(d);
    auto add = [](auto x, auto y) { return hn::SaturatedAdd(x, y); };
    size_t c = 0;
    for (; c + N <= uCount && kBin * (c + N + 2) <= uInCount; c += N) {
        auto sum = ColourRowSums<kBin>(d, pRow0 + kBin * c, add);
        for (int i = 1; i < kBin; i++)
            sum = add(sum, ColourRowSums<kBin>(d, pRow0 + i * iRowStep + kBin * c, add));
        hn::StoreU(sum, d, pOut + c);
    }
    return c;
}

template <int kBin>
HWY_INLINE size_t ColorBinRowK16(const uint16_t* pRow0, ptrdiff_t iRowStep, uint16_t* pOut, size_t uCount,
                                 size_t uInCount) {
    const hn::ScalableTag<uint32_t> d;
    const hn::Rebind<uint16_t, decltype(d)> dn;
    const hn::Rebind<int32_t, decltype(d)> di;
    const hn::Rebind<float, decltype(d)> df;
    const size_t N = hn::Lanes(d);
    auto add = [](auto x, auto y) { return hn::Add(x, y); };
    size_t c = 0;
    for (; c + N <= uCount && kBin * (c + N + 2) <= uInCount; c += N) {
        auto sum = ColourRowSums<kBin>(d, pRow0 + kBin * c, add);
        for (int i = 1; i < kBin; i++)
            sum = add(sum, ColourRowSums<kBin>(d, pRow0 + i * iRowStep + kBin * c, add));
        hn::VFromD<decltype(di)> mean;
        if constexpr (kBin == 4) {
            mean = hn::BitCast(di, hn::ShiftRight<4>(sum));
        } else {
            // Exact, as for mono binning by 3.
            mean = hn::ConvertTo(
                di, hn::Floor(hn::Div(hn::ConvertTo(df, hn::BitCast(di, sum)), hn::Set(df, 9.0f))));
        }
        hn::StoreU(hn::DemoteTo(dn, mean), dn, pOut + c);
    }
    return c;
}
#endif

size_t ColorBinRow8(const uint8_t* pRow0, ptrdiff_t iRowStep, int iBin, uint8_t* pOut, size_t uCount,
                    size_t uInCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;
#else
    return iBin == 3   ? ColorBinRowK8<3>(pRow0, iRowStep, pOut, uCount, uInCount)
           : iBin == 4 ? ColorBinRowK8<4>(pRow0, iRowStep, pOut, uCount, uInCount)
                       : 0;
#endif
}

size_t ColorBinRow16(const uint16_t* pRow0, ptrdiff_t iRowStep, int iBin, uint16_t* pOut, size_t uCount,
                     size_t uInCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;
#else
    return iBin == 3   ? ColorBinRowK16<3>(pRow0, iRowStep, pOut, uCount, uInCount)
           : iBin == 4 ? ColorBinRowK16<4>(pRow0, iRowStep, pOut, uCount, uInCount)
                       : 0;
#endif
}

#if HWY_TARGET != HWY_SCALAR
// Runs step(c) for the outputs c .. c + N - 1 of a colour row binned by 2, N
// (even) at a time, and ends a long row with one step that overlaps the one
// before it rather than leaving the rest to the scalar code: the step reads
// from input column 2 (uCount - N - 1) on, beyond every output written in
// place so far once uCount >= 2 N + 2, and rewrites the overlapped outputs
// with the same values. Steps start at even outputs, so the count done stays
// even.
template <class TStep>
HWY_INLINE size_t BinRowSteps(size_t N, size_t uCount, TStep step) {
    size_t c = 0;
    for (; c + N <= uCount; c += N) step(c);
    if (c < uCount && uCount >= 2 * N + 2) {
        c = (uCount - N) & ~size_t{1};
        step(c);
        c += N;
    }
    return c;
}
#endif

// Colour binning by 2: output c takes input j and j + 2 of both rows, with
// j = 2c for an even c and 2c + 1 for an odd one. Sums at every input column
// are formed first; of each group of four, elements 0 and 3 are the outputs.
size_t ColorBin2Row8(const uint8_t* pIn0, const uint8_t* pIn1, uint8_t* pOut, size_t uCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;  // one lane: the scalar code of the caller does it all
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint32_t, decltype(d8)> d32;
    const hn::Rebind<uint16_t, decltype(d32)> dOut;
    const size_t N = hn::Lanes(d8) / 2;  // outputs per step
    auto step = [&](size_t c) {
        const uint8_t* p0 = pIn0 + 2 * c;
        const uint8_t* p1 = pIn1 + 2 * c;
        // Saturating at each step saturates the sum: all terms are positive.
        const auto t = hn::SaturatedAdd(hn::SaturatedAdd(hn::LoadU(d8, p0), hn::LoadU(d8, p0 + 2)),
                                        hn::SaturatedAdd(hn::LoadU(d8, p1), hn::LoadU(d8, p1 + 2)));
        const auto t32 = hn::BitCast(d32, t);
        const auto pair = hn::Or(hn::And(t32, hn::Set(d32, 0xFFu)),
                                 hn::And(hn::ShiftRight<16>(t32), hn::Set(d32, 0xFF00u)));
        hn::StoreU(hn::TruncateTo(dOut, pair), dOut, reinterpret_cast<uint16_t*>(pOut + c));
    };
    return BinRowSteps(N, uCount, step);
#endif
}

// By 2 at 16 bits, in 32-bit lanes: lane k of a row holds columns 2k and
// 2k + 1. Output 2m takes columns 4m and 4m + 2, output 2m + 1 columns 4m + 3
// and 4m + 5: of each even lane the low half, of each odd lane the high
// half, from the row as it is and from the row loaded one lane further on.
size_t ColorBin2Row16(const uint16_t* pIn0, const uint16_t* pIn1, uint16_t* pOut, size_t uCount) {
#if HWY_TARGET == HWY_SCALAR
    return 0;  // one lane: the scalar code of the caller does it all
#else
    const hn::ScalableTag<uint16_t> d16;
    const hn::Repartition<uint32_t, decltype(d16)> d32;
    const hn::Rebind<int32_t, decltype(d32)> di;
    const hn::Rebind<uint16_t, decltype(d32)> dOut;
    using V32 = hn::VFromD<decltype(d32)>;
    const size_t N = hn::Lanes(d32);  // outputs per step
    // The wanted half of each lane, moved to the high half and back down.
    const V32 up = hn::OddEven(hn::Zero(d32), hn::Set(d32, 16u));
    auto half = [&](const uint16_t* p) {
        return hn::ShiftRight<16>(hn::Shl(hn::BitCast(d32, hn::LoadU(d16, p)), up));
    };
    auto step = [&](size_t c) {
        const uint16_t* p0 = pIn0 + 2 * c;
        const uint16_t* p1 = pIn1 + 2 * c;
        const V32 sum = hn::Add(hn::Add(half(p0), half(p0 + 2)), hn::Add(half(p1), half(p1 + 2)));
        hn::StoreU(hn::DemoteTo(dOut, hn::BitCast(di, hn::ShiftRight<2>(sum))), dOut, pOut + c);
    };
    return BinRowSteps(N, uCount, step);
#endif
}

// 256-entry look-up. With byte permutes across a 64-byte vector: the two
// halves of the table looked up by the low seven bits, one of them picked by
// the top bit (this Highway has no such permute for bytes, hence the
// intrinsics). Other x86 vectors: the byte shuffle looks up a 16-entry table
// by the low four bits of an index and gives 0 when its top bit is set,
// whatever bits 4 to 6 hold. For an index i < 128 in the 16-entry block h,
// i - 16k has its top bit clear exactly for k <= h, so the XOR of the
// look-ups of the blocks 0 .. 7 stored as differences (block k XOR block k -
// 1) is block h's entry; the same with i - 128 for blocks 8 .. 15, and the
// top bit of i picks one. Elsewhere the sixteen 16-entry tables looked up by
// the low four bits, then narrowed to one by bits 4, 5, 6 and 7 of the index.
void Gamma8(uint8_t* pBuf, const uint8_t* pTable, size_t uCount) {
    size_t i = 0;
#if HWY_TARGET == HWY_AVX3_DL
    const __m512i t0 = _mm512_loadu_si512(pTable), t1 = _mm512_loadu_si512(pTable + 64);
    const __m512i t2 = _mm512_loadu_si512(pTable + 128), t3 = _mm512_loadu_si512(pTable + 192);
    for (; i + 64 <= uCount; i += 64) {
        const __m512i idx = _mm512_loadu_si512(pBuf + i);
        const __m512i low = _mm512_permutex2var_epi8(t0, idx, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, idx, t3);
        _mm512_storeu_si512(pBuf + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), low, high));
    }
#elif HWY_ARCH_X86 && HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d;
    const hn::Rebind<int8_t, decltype(d)> di;
    using V = hn::VFromD<decltype(d)>;
    const size_t N = hn::Lanes(d);
    V diffs[16];
    for (int k = 0; k < 16; k++) {
        diffs[k] = hn::LoadDup128(d, pTable + 16 * k);
        if (k % 8) diffs[k] = hn::Xor(diffs[k], hn::LoadDup128(d, pTable + 16 * (k - 1)));
    }
    const V block = hn::Set(d, 16), top = hn::Set(d, 0x80);
    for (; i + N <= uCount; i += N) {
        const V idx = hn::LoadU(d, pBuf + i);
        V lower = idx, upper = hn::Xor(idx, top);
        V fromLower = hn::TableLookupBytesOr0(diffs[0], lower);
        V fromUpper = hn::TableLookupBytesOr0(diffs[8], upper);
        for (int k = 1; k < 8; k++) {
            lower = hn::Sub(lower, block);
            upper = hn::Sub(upper, block);
            fromLower = hn::Xor(fromLower, hn::TableLookupBytesOr0(diffs[k], lower));
            fromUpper = hn::Xor(fromUpper, hn::TableLookupBytesOr0(diffs[8 + k], upper));
        }
        const auto upperHalf = hn::Lt(hn::BitCast(di, idx), hn::Zero(di));
        hn::StoreU(hn::IfThenElse(hn::RebindMask(d, upperHalf), fromUpper, fromLower), d, pBuf + i);
    }
#elif HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d;
    using V = hn::VFromD<decltype(d)>;
    const size_t N = hn::Lanes(d);
    V tables[16];
    for (int k = 0; k < 16; k++) tables[k] = hn::LoadDup128(d, pTable + 16 * k);
    const V lowNibble = hn::Set(d, 15);
    for (; i + N <= uCount; i += N) {
        const V idx = hn::LoadU(d, pBuf + i);
        const V low = hn::And(idx, lowNibble);
        // Each pair of look-ups is narrowed at once, so that few values are
        // live beside the sixteen tables.
        const auto bit4 = hn::TestBit(idx, hn::Set(d, 0x10));
        V level[8];
        for (int k = 0; k < 8; k++)
            level[k] = hn::IfThenElse(bit4, hn::TableLookupBytes(tables[2 * k + 1], low),
                                      hn::TableLookupBytes(tables[2 * k], low));
        for (int iBit = 5, n = 8; iBit < 8; iBit++, n /= 2) {
            const auto high = hn::TestBit(idx, hn::Set(d, static_cast<uint8_t>(1u << iBit)));
            for (int k = 0; k < n / 2; k++) level[k] = hn::IfThenElse(high, level[2 * k + 1], level[2 * k]);
        }
        hn::StoreU(level[0], d, pBuf + i);
    }
#endif
    for (; i < uCount; i++) pBuf[i] = pTable[pBuf[i]];
}

void SubtractDark8(uint8_t* pBuf, const uint8_t* pDark, size_t uCount, uint8_t ucOffset) {
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d;
    const size_t N = hn::Lanes(d);
    const auto off = hn::Set(d, ucOffset);
    for (; i + N <= uCount; i += N)
        hn::StoreU(hn::SaturatedAdd(hn::SaturatedSub(hn::LoadU(d, pBuf + i), hn::LoadU(d, pDark + i)), off),
                   d, pBuf + i);
#endif
    for (; i < uCount; i++) {
        const unsigned uDiff = pBuf[i] > pDark[i] ? pBuf[i] - pDark[i] : 0;
        pBuf[i] = static_cast<uint8_t>(std::min(255u, uDiff + ucOffset));
    }
}

// In-place reversal: a vector from each end, both reversed and swapped, until
// fewer than two vectors remain in the middle.
#if HWY_TARGET != HWY_SCALAR
// Reversed lanes of a vector; bytes as reversed 16-bit lanes with their two
// bytes swapped.
template <class D>
HWY_INLINE hn::VFromD<D> ReverseLanes(D d, hn::VFromD<D> v, hwy::SizeTag<2>) {
    return hn::Reverse(d, v);
}
template <class D>
HWY_INLINE hn::VFromD<D> ReverseLanes(D d, hn::VFromD<D> v, hwy::SizeTag<1>) {
    const hn::Repartition<uint16_t, D> d16;
    const auto w = hn::Reverse(d16, hn::BitCast(d16, v));
    return hn::BitCast(d, hn::Or(hn::ShiftLeft<8>(w), hn::ShiftRight<8>(w)));
}
#endif

template <class T>
HWY_INLINE void ReverseImpl(T* pBuf, size_t uCount) {
    size_t lo = 0, hi = uCount;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<T> d;
    const size_t N = hn::Lanes(d);
    while (hi - lo >= 2 * N) {
        const auto a = hn::LoadU(d, pBuf + lo);
        const auto b = hn::LoadU(d, pBuf + hi - N);
        hn::StoreU(ReverseLanes(d, b, hwy::SizeTag<sizeof(T)>()), d, pBuf + lo);
        hn::StoreU(ReverseLanes(d, a, hwy::SizeTag<sizeof(T)>()), d, pBuf + hi - N);
        lo += N;
        hi -= N;
    }
#endif
    std::reverse(pBuf + lo, pBuf + hi);
}

void Reverse8(uint8_t* pBuf, size_t uCount) { ReverseImpl(pBuf, uCount); }
void Reverse16(uint16_t* pBuf, size_t uCount) { ReverseImpl(pBuf, uCount); }

void SwapBytes(uint8_t* pA, uint8_t* pB, size_t uCount) {
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d;
    const size_t N = hn::Lanes(d);
    for (; i + 2 * N <= uCount; i += 2 * N) {
        const auto a0 = hn::LoadU(d, pA + i), a1 = hn::LoadU(d, pA + i + N);
        const auto b0 = hn::LoadU(d, pB + i), b1 = hn::LoadU(d, pB + i + N);
        hn::StoreU(b0, d, pA + i);
        hn::StoreU(b1, d, pA + i + N);
        hn::StoreU(a0, d, pB + i);
        hn::StoreU(a1, d, pB + i + N);
    }
    for (; i + N <= uCount; i += N) {
        const auto a = hn::LoadU(d, pA + i);
        hn::StoreU(hn::LoadU(d, pB + i), d, pA + i);
        hn::StoreU(a, d, pB + i);
    }
#endif
    std::swap_ranges(pA + i, pA + uCount, pB + i);
}

#if HWY_ARCH_X86
// Four pixels looked up one by one, read and written as one 64-bit word
// (little-endian: the first pixel in the low bits).
HWY_INLINE void LookUp4(uint16_t* pPix, const uint16_t* pTable) {
    uint64_t uIn;
    memcpy(&uIn, pPix, sizeof(uIn));
    uint64_t uOut = 0;
    for (int k = 0; k < 4; k++) uOut |= uint64_t{pTable[(uIn >> (16 * k)) & 0xFFFF]} << (16 * k);
    memcpy(pPix, &uOut, sizeof(uOut));
}
#endif

// 65536-entry look-up with the processor's gather where it has one: each
// pixel p fetches the 32-bit word holding entries p & ~1 and p | 1 (so no
// read leaves the table) and keeps the half p picks. Without a gather
// instruction a lane-by-lane look-up is what the scalar loop does already.
// Eight-lane gathers at most: the sixteen-lane ones of 512-bit vectors take
// longer for the same pixels. Each step gathers N pixels and looks up N / 2
// more one by one, whose loads run beside the gathers.
void Gamma16(uint16_t* pBuf, const uint16_t* pTable, size_t uCount) {
    size_t i = 0;
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    const hn::CappedTag<uint16_t, 16> d16;
    const hn::Half<decltype(d16)> dh;
    const hn::Repartition<int32_t, decltype(d16)> di;
    const hn::Repartition<uint32_t, decltype(d16)> du;
    const size_t N = hn::Lanes(d16);
    const int32_t* pWords = reinterpret_cast<const int32_t*>(pTable);
    const auto one = hn::Set(di, 1);
    auto look = [&](hn::VFromD<decltype(di)> idx) {
        const auto word = hn::BitCast(du, hn::GatherIndex(di, pWords, hn::ShiftRight<1>(idx)));
        // Little-endian: the odd entry is the high half of the word.
        const auto shift = hn::BitCast(du, hn::ShiftLeft<4>(hn::And(idx, one)));
        return hn::DemoteTo(dh, hn::BitCast(di, hn::And(hn::Shr(word, shift), hn::Set(du, 0xFFFFu))));
    };
    for (; i + N + N / 2 <= uCount; i += N + N / 2) {
        const auto v = hn::LoadU(d16, pBuf + i);
        const auto lo = look(hn::PromoteTo(di, hn::LowerHalf(dh, v)));
        const auto hi = look(hn::PromoteTo(di, hn::UpperHalf(dh, v)));
        for (size_t k = 0; k < N / 2; k += 4) LookUp4(pBuf + i + N + k, pTable);
        hn::StoreU(hn::Combine(d16, hi, lo), d16, pBuf + i);
    }
#endif
    for (; i < uCount; i++) pBuf[i] = pTable[pBuf[i]];
}

}  // namespace HWY_NAMESPACE
}  // namespace kyr_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#if HWY_ARCH_ARM_V7
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace kyr_simd {

namespace {

std::atomic<bool> g_bEnabled{true};
// Target chosen by SelectTarget, 0 for the best one.
std::atomic<int64_t> g_iSelected{0};

// On 32-bit ARM, Highway's library finds no NEON at run time, though the
// kernels are compiled for it: the kernel hardware capability decides here.
#if HWY_ARCH_ARM_V7 && (HWY_TARGETS & HWY_NEON)
#define KYR_NEON_BY_HWCAP 1
bool NeonHere() {
    static const bool s_bNeon = (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
    return s_bNeon;
}
bool UseNeon() {
    const int64_t iSelected = g_iSelected.load(std::memory_order_relaxed);
    return iSelected ? iSelected == HWY_NEON : NeonHere();
}
#define KYR_DISPATCH(FUNC) (UseNeon() ? N_NEON::FUNC : HWY_DYNAMIC_DISPATCH(FUNC))
#else
#define KYR_DISPATCH(FUNC) HWY_DYNAMIC_DISPATCH(FUNC)
#endif

}  // namespace

bool Enabled() { return g_bEnabled.load(std::memory_order_relaxed); }
void SetEnabled(bool bEnabled) { g_bEnabled.store(bEnabled, std::memory_order_relaxed); }

std::vector<int64_t> Targets() {
    std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
#ifdef KYR_NEON_BY_HWCAP
    if (NeonHere()) targets.insert(targets.begin(), HWY_NEON);
#endif
    return targets;
}

void SelectTarget(int64_t iTarget) {
    g_iSelected.store(iTarget, std::memory_order_relaxed);
    hwy::SetSupportedTargetsForTest(iTarget == HWY_NEON ? 0 : iTarget);
}

HWY_EXPORT(BayerRowRGB24);
HWY_EXPORT(BayerRowY8);
HWY_EXPORT(BayerRowYUV2);
HWY_EXPORT(MonoBin2Row8);
HWY_EXPORT(MonoBin2Row16);
HWY_EXPORT(MonoBinRow8);
HWY_EXPORT(MonoBinRow16);
HWY_EXPORT(ColorBinRow8);
HWY_EXPORT(ColorBinRow16);
HWY_EXPORT(ColorBin2Row8);
HWY_EXPORT(ColorBin2Row16);
HWY_EXPORT(Gamma8);
HWY_EXPORT(SubtractDark8);
HWY_EXPORT(Reverse8);
HWY_EXPORT(Reverse16);
HWY_EXPORT(SwapBytes);
HWY_EXPORT(Gamma16);

size_t BayerRowRGB24(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                     bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap) {
    return KYR_DISPATCH(BayerRowRGB24)(pSrc, iStride, pOut, uCount, iColourX, bRedRow, pBlueMap, pRedMap);
}
size_t BayerRowY8(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                  bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap, const SColourCoef& coef) {
    return KYR_DISPATCH(BayerRowY8)(pSrc, iStride, pOut, uCount, iColourX, bRedRow, pBlueMap, pRedMap, coef);
}
size_t BayerRowYUV2(const uint8_t* pSrc, ptrdiff_t iStride, uint8_t* pOut, size_t uCount, int iColourX,
                    bool bRedRow, const uint8_t* pBlueMap, const uint8_t* pRedMap, const SColourCoef& coef) {
    return KYR_DISPATCH(BayerRowYUV2)(pSrc, iStride, pOut, uCount, iColourX, bRedRow, pBlueMap, pRedMap,
                                      coef);
}
size_t MonoBin2Row8(const uint8_t* pIn0, const uint8_t* pIn1, uint8_t* pOut, size_t uCount) {
    return KYR_DISPATCH(MonoBin2Row8)(pIn0, pIn1, pOut, uCount);
}
size_t MonoBin2Row16(const uint16_t* pIn0, const uint16_t* pIn1, uint16_t* pOut, size_t uCount) {
    return KYR_DISPATCH(MonoBin2Row16)(pIn0, pIn1, pOut, uCount);
}
size_t MonoBinRow8(const uint8_t* pIn, ptrdiff_t iStride, int iBin, uint8_t* pOut, size_t uCount) {
    return KYR_DISPATCH(MonoBinRow8)(pIn, iStride, iBin, pOut, uCount);
}
size_t MonoBinRow16(const uint16_t* pIn, ptrdiff_t iStride, int iBin, uint16_t* pOut, size_t uCount) {
    return KYR_DISPATCH(MonoBinRow16)(pIn, iStride, iBin, pOut, uCount);
}
size_t ColorBinRow8(const uint8_t* pRow0, ptrdiff_t iRowStep, int iBin, uint8_t* pOut, size_t uCount,
                    size_t uInCount) {
    return KYR_DISPATCH(ColorBinRow8)(pRow0, iRowStep, iBin, pOut, uCount, uInCount);
}
size_t ColorBinRow16(const uint16_t* pRow0, ptrdiff_t iRowStep, int iBin, uint16_t* pOut, size_t uCount,
                     size_t uInCount) {
    return KYR_DISPATCH(ColorBinRow16)(pRow0, iRowStep, iBin, pOut, uCount, uInCount);
}
size_t ColorBin2Row8(const uint8_t* pIn0, const uint8_t* pIn1, uint8_t* pOut, size_t uCount) {
    return KYR_DISPATCH(ColorBin2Row8)(pIn0, pIn1, pOut, uCount);
}
size_t ColorBin2Row16(const uint16_t* pIn0, const uint16_t* pIn1, uint16_t* pOut, size_t uCount) {
    return KYR_DISPATCH(ColorBin2Row16)(pIn0, pIn1, pOut, uCount);
}
void Gamma8(uint8_t* pBuf, const uint8_t* pTable, size_t uCount) {
    KYR_DISPATCH(Gamma8)(pBuf, pTable, uCount);
}
void SubtractDark8(uint8_t* pBuf, const uint8_t* pDark, size_t uCount, uint8_t ucOffset) {
    KYR_DISPATCH(SubtractDark8)(pBuf, pDark, uCount, ucOffset);
}
void Reverse8(uint8_t* pBuf, size_t uCount) { KYR_DISPATCH(Reverse8)(pBuf, uCount); }
void Reverse16(uint16_t* pBuf, size_t uCount) { KYR_DISPATCH(Reverse16)(pBuf, uCount); }
void SwapBytes(uint8_t* pA, uint8_t* pB, size_t uCount) { KYR_DISPATCH(SwapBytes)(pA, pB, uCount); }
void Gamma16(uint16_t* pBuf, const uint16_t* pTable, size_t uCount) {
    KYR_DISPATCH(Gamma16)(pBuf, pTable, uCount);
}

}  // namespace kyr_simd
#endif

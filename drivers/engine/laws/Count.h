// Conversions the laws and the engine's timing share.
#ifndef KYR_LAW_COUNT_H
#define KYR_LAW_COUNT_H

// Float to an unsigned count by truncation, never below 0 or beyond cap.
inline long long TruncCount(double v, long long cap) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(cap)) return cap;
    return static_cast<long long>(v);
}

// v held within lo .. hi.
inline long long ClampLL(long long v, long long lo, long long hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Percentage base of the host constants: 400000 is the whole FPGA output.
constexpr double kHostFull = 400000.0;
// Below this exposure the maximum frame rate is recomputed.
constexpr unsigned long long kMaxFPSBelowUs = 100000;

#endif

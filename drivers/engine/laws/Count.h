// Conversions the laws and the engine's timing share.
#ifndef KYR_LAW_COUNT_H
#define KYR_LAW_COUNT_H

// Float to an unsigned count by truncation, never below 0 or beyond cap.
inline long long TruncCount(double v, long long cap) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(cap)) return cap;
    return static_cast<long long>(v);
}

#endif

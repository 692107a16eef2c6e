// The line-length laws of a sensor kept within what the USB link carries.
#include "engine/DriverDesc.h"
#include "engine/laws/Count.h"

long long TruncatedLinkLine(double dLinkClocks, int iMinHMAX, int iPercent, int iMax) {
    long long hmax = TruncCount(dLinkClocks, iMax);
    if (hmax < iMinHMAX) hmax = iMinHMAX;
    return hmax * 100 / iPercent;
}

long long ExactLinkLine(double dLinkClocks, int iMinHMAX, int iPercent, int iMax) {
    const double line = dLinkClocks > iMinHMAX ? dLinkClocks : static_cast<double>(iMinHMAX);
    return TruncCount(line * 100.0 / iPercent, static_cast<long long>(iMax) * 100);
}

// A control of camera 0 set and read back as a caller does.
#ifndef KYR_TEST_CONTROL_CALLS_H
#define KYR_TEST_CONTROL_CALLS_H

#include <gtest/gtest.h>

#include "KYRCamera.h"

inline int Set(KYR_CONTROL_TYPE type, long value, KYR_BOOL autoOn = KYR_FALSE) {
    return KYRSetControlValue(0, type, value, autoOn);
}
inline long Get(KYR_CONTROL_TYPE type) {
    long v = -1;
    KYR_BOOL autoOn = KYR_FALSE;
    EXPECT_EQ(KYRGetControlValue(0, type, &v, &autoOn), KYR_SUCCESS);
    return v;
}

#endif

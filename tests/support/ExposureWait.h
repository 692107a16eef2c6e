// Polls a camera's single exposure until it is no longer working, for at
// most timeoutMs; returns the last status read.
#ifndef KYR_TEST_EXPOSURE_WAIT_H
#define KYR_TEST_EXPOSURE_WAIT_H

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "KYRCamera.h"

inline KYR_EXPOSURE_STATUS WaitExposure(int cameraId, int timeoutMs) {
    KYR_EXPOSURE_STATUS status = KYR_EXP_WORKING;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(KYRGetExpStatus(cameraId, &status), KYR_SUCCESS);
        if (status != KYR_EXP_WORKING) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

#endif

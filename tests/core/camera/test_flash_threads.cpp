// test-labels: tsan
// Reading and writing the camera ID from two threads at once: each flash
// sequence (bus release, flash access, bus retake) runs whole, so a reader
// sees the old or the new ID, never an erased or half-written page, and the
// parallel bus is never taken back in the middle of a write.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "KYRCamera.h"
#include "TestDriver.h"
#include "api/ModelFactory.h"
#include "kyrsim.h"

namespace {

constexpr int kPid = CTestDriver::kProductID;
constexpr int kRounds = 40;

TEST(FlashThreads, GetIdDuringSetIdSeesTheOldOrTheNewId) {
    kyrsim_reset();
    SetCameraConstructorForTest(kPid, [] { return static_cast<CCameraBase*>(new CTestDriver(kPid)); });
    const int dev = kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);

    KYR_ID ids[2];
    memset(ids[0].id, 0x11, 8);
    memset(ids[1].id, 0x22, 8);
    ASSERT_EQ(KYRSetID(0, ids[0]), KYR_SUCCESS);

    std::atomic<bool> done{false};
    std::atomic<int> setFailures{0};
    std::thread writer([&] {
        for (int i = 1; i <= kRounds; ++i)
            if (KYRSetID(0, ids[i % 2]) != KYR_SUCCESS) ++setFailures;
        done = true;
    });
    int reads = 0, bad = 0;
    while (!done || reads < kRounds) {
        KYR_ID got;
        memset(&got, 0, sizeof(got));
        const KYR_ERROR_CODE rc = KYRGetID(0, &got);
        ++reads;
        if (rc != KYR_SUCCESS || (memcmp(got.id, ids[0].id, 8) != 0 && memcmp(got.id, ids[1].id, 8) != 0))
            ++bad;
    }
    writer.join();
    EXPECT_EQ(setFailures.load(), 0);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_EQ(kyrsim_query(dev, KYRSIM_Q_FLASH_UNFRAMED), 0);
    EXPECT_EQ(kyrsim_query(dev, KYRSIM_Q_GPIF_TAKEN), 1);

    KYRCloseCamera(0);
    SetCameraConstructorForTest(kPid, nullptr);
    kyrsim_reset();
}

}  // namespace

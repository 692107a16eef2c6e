// test-labels: tsan
// Control transfers from several threads: held requests kept in flight and
// released from another thread, disconnects while a request is inside the
// camera, and the detection of two transfers inside one camera at once.
#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "simtest.hpp"

using namespace simtest;

namespace {

class ControlThreads : public OpenedCamera {};

TEST_F(ControlThreads, HeldRequestStaysInFlightUntilReleased) {
    ASSERT_GE(kyrsim::Fault().request(0xBD).hold().add(), 0);
    auto write = std::async(std::launch::async, [&] { return writeFpga(h, 38, 0x42); });
    ASSERT_EQ(kyrsim::waitHeld(1), 1);

    EXPECT_EQ(write.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    const auto pending = kyrsim::requests(0xBD);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].result, KYRSIM_RESULT_PENDING);
    EXPECT_NE(pending[0].thread, kyrsim_thread_id());
    EXPECT_EQ(cam.fpga(38), 0);  // not executed yet

    kyrsim::releaseHolds();
    EXPECT_EQ(write.get(), 0);
    EXPECT_EQ(cam.fpga(38), 0x42);
    EXPECT_EQ(kyrsim_held_count(), 0);
    EXPECT_EQ(kyrsim::requests(0xBD)[0].result, 0);
}

TEST_F(ControlThreads, HeldRequestCanFailWhenReleased) {
    ASSERT_GE(kyrsim::Fault().request(0xBC).hold(LIBUSB_ERROR_TIMEOUT).add(), 0);
    auto read = std::async(std::launch::async, [&] { return readFpga(h, 0); });
    ASSERT_EQ(kyrsim::waitHeld(1), 1);
    kyrsim::releaseHolds();
    EXPECT_EQ(read.get(), LIBUSB_ERROR_TIMEOUT);
}

TEST_F(ControlThreads, UnplugWhileHeldEndsTheRequestWithNoDevice) {
    ASSERT_GE(kyrsim::Fault().request(0xBD).hold().add(), 0);
    auto write = std::async(std::launch::async, [&] { return writeFpga(h, 38, 0x42); });
    ASSERT_EQ(kyrsim::waitHeld(1), 1);
    ASSERT_TRUE(cam.unplug());
    EXPECT_EQ(write.get(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(cam.fpga(38), 0);
    EXPECT_EQ(kyrsim::requests(0xBD)[0].result, LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(ControlThreads, WaitHeldGivesUpAfterItsTimeout) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kyrsim_wait_held(1, 30), -1);
    EXPECT_GE(elapsedMs(t0), 30);
}

TEST_F(ControlThreads, SecondTransferInsideTheSameCameraIsAnOverlap) {
    kyrsim::Device other = kyrsim::plug(kFpgaCamera, 1, "2");
    libusb_device_handle* h2 = usb.open(other);
    ASSERT_NE(h2, nullptr);
    ASSERT_GE(kyrsim::Fault().device(cam).request(0xBD).hold().add(), 0);
    auto held = std::async(std::launch::async, [&] { return writeFpga(h, 38, 1); });
    ASSERT_EQ(kyrsim::waitHeld(1), 1);

    EXPECT_EQ(readFpga(h2, 0), 1);  // another camera: no overlap
    EXPECT_EQ(kyrsim_overlap_count(), 0);
    EXPECT_EQ(readFpga(h, 0), 1);  // the same camera while the write is inside it
    EXPECT_EQ(kyrsim_overlap_count(), 1);
    kyrsim::releaseHolds();
    EXPECT_EQ(held.get(), 0);

    const auto reads = kyrsim::requests(0xBC);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].overlapped, 0);
    EXPECT_EQ(reads[1].overlapped, 1);
    EXPECT_EQ(readFpga(h, 0), 1);  // after the write left, no overlap
    EXPECT_EQ(kyrsim_overlap_count(), 1);
}

TEST_F(ControlThreads, LatencyWidensTheWindowInWhichUnlockedCallersCollide) {
    ASSERT_TRUE(cam.setLatency(0xBC, 100 * 1000));  // every FPGA read takes 100 ms
    auto slow = std::async(std::launch::async, [&] { return readFpga(h, 0); });
    // Wait until the read is inside the camera, then send another request.
    while (kyrsim_log_count() == 0) std::this_thread::yield();
    EXPECT_EQ(writeFpga(h, 38, 5), 0);
    EXPECT_EQ(slow.get(), 1);
    EXPECT_EQ(kyrsim_overlap_count(), 1);
    EXPECT_EQ(kyrsim::requests(0xBD)[0].overlapped, 1);
    EXPECT_GE(kyrsim::requests(0xBC)[0].end_us - kyrsim::requests(0xBC)[0].start_us, 100 * 1000);
}

TEST_F(ControlThreads, CallersSerialisedByALockNeverOverlap) {
    ASSERT_TRUE(cam.setLatency(KYRSIM_ANY, 200));
    std::mutex usbLock;  // what the library's per-camera USB lock does
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::lock_guard<std::mutex> lk(usbLock);
                if (writeFpga(h, 40 + t, i) != 0 || readFpga(h, 40 + t) != i) ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kyrsim_overlap_count(), 0);
    const auto log = kyrsim::requests();
    ASSERT_EQ(log.size(), static_cast<size_t>(2 * kThreads * kEach));
    std::set<unsigned long long> callers;
    for (const auto& r : log) callers.insert(r.thread);
    EXPECT_EQ(callers.size(), static_cast<size_t>(kThreads));
}

TEST_F(ControlThreads, ResetReleasesHeldRequests) {
    ASSERT_GE(kyrsim::Fault().hold().add(), 0);
    auto read = std::async(std::launch::async, [&] { return readFpga(h, 0); });
    ASSERT_EQ(kyrsim::waitHeld(1), 1);
    kyrsim_reset();
    EXPECT_EQ(read.get(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(kyrsim_held_count(), 0);
}

}  // namespace

// test-labels: tsan
// Asynchronous bulk transfers of the transport against the simulated frame
// stream: the window, one frame per call, faults of every kind ending the
// frame short without leaving a transfer with libusb, the running flag, the
// single-read set and its status codes.
#include <gtest/gtest.h>
#include <libusb.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSpeed.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "usb/CameraFX3.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kVendorId = 0x2e7b;
constexpr uint16_t kProductId = 0x832b;
constexpr int kMiB = 1 << 20;
constexpr int kSmall = 64 * 1024;  // transfer size of the quick tests
// Bulk bytes the simulated host takes in flight by default: its USB buffer
// memory as the cameras' udev rule sets it.
constexpr long long kHostInflightBytes = 200LL * kMiB;
constexpr uint8_t kEndpoint = 0x81;
// The drain bound of the transport plus scheduling slack, and the time the
// simulator takes to make and hand over a frame of many MiB.
constexpr long kDrainSlackMs = 1500 * kTestSlowdown;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

int Ceil(int total, int size) { return total / size + (total % size != 0 ? 1 : 0); }

class BulkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim::reset();
        m_Dev = kyrsim::plug(kProductId, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_TRUE(m_Dev.setSensorModel(false));  // frames flow without taking the sensor out of standby
        m_pFx3 = std::make_unique<CCameraFX3>();
        ASSERT_NE(m_pFx3->m_pUsbContext, nullptr);
        libusb_device_handle* h =
            libusb_open_device_with_vid_pid_index(m_pFx3->m_pUsbContext, kVendorId, kProductId, 1);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
        m_pFx3->m_hDevice = h;
        m_pFx3->m_bOpened = true;
    }

    void TearDown() override {
        if (m_pFx3) {
            m_pFx3->releaseAsyncXfer();
            m_pFx3->finishAsyncXfer(m_pFx3->m_iSingleXferCount);
            EXPECT_EQ(m_pFx3->m_pXfers, nullptr);
            EXPECT_EQ(m_pFx3->m_pSingleXfers, nullptr);
        }
        // No transfer was ever left with libusb, freed under it, or misused.
        EXPECT_EQ(kyrsim_inflight_transfers(), 0);
        EXPECT_EQ(kyrsim_freed_in_flight(), 0);
        EXPECT_EQ(kyrsim_misuse_count(), 0);
        EXPECT_EQ(kyrsim_live_transfers(), 0);
        if (m_pFx3) {
            m_pFx3->CloseDevice();
            m_pFx3.reset();
        }
        kyrsim_set_events_per_call(0);
        g_bDebugPrint = false;
        kyrsim::reset();
    }

    // A frame of `bytes` on the stream, which is started.
    void Stream(int bytes) {
        ASSERT_TRUE(m_Dev.setFrameSize(bytes));
        ASSERT_TRUE(m_pFx3->SendCMD(VR_START_STREAM));
    }

    // Sets up the multi-transfer set for frames of `bytes` in transfers of `size`.
    void Init(int bytes, int size) {
        m_Buf.assign(static_cast<size_t>(bytes), 0xEE);
        ASSERT_TRUE(m_pFx3->initAsyncXfer(bytes, Ceil(bytes, size), size, kEndpoint, m_Buf.data()));
    }

    int Read(int expected, unsigned firstMs = 2000, std::atomic<bool>* pbRunning = nullptr,
             unsigned nextMs = 100) {
        int got = -1;
        EXPECT_EQ(m_pFx3->startAsyncXfer(firstMs, nextMs, &got, pbRunning, expected), 1);
        EXPECT_EQ(kyrsim_inflight_transfers(), 0) << "a transfer was left in flight";
        return got;
    }

    // The buffer holds the frame the camera sent last.
    void ExpectLastFrame(const std::vector<uint8_t>& buf, int bytes) {
        std::vector<uint8_t> sent = m_Dev.lastFrame();
        ASSERT_EQ(sent.size(), static_cast<size_t>(bytes));
        EXPECT_EQ(memcmp(buf.data(), sent.data(), static_cast<size_t>(bytes)), 0);
    }

    kyrsim::Device m_Dev;
    std::unique_ptr<CCameraFX3> m_pFx3;
    std::vector<uint8_t> m_Buf;
};

// ---- Window and set-up --------------------------------------------------------------

TEST_F(BulkTest, WindowKeepsLessThan200MiBInFlight) {
    struct {
        int count;
        int size;
        int window;  // 0: refused
    } cases[] = {
        {10, kMiB, 10},     {300, kMiB, 199},   {200, kMiB, 199},   {199, kMiB, 199},
        {1, 100 * kMiB, 1}, {3, 100 * kMiB, 1}, {2, 150 * kMiB, 1}, {5, 30 * kMiB, 5},
        {7, 30 * kMiB, 6},  {1, 200 * kMiB, 0}, {1, 300 * kMiB, 0},
    };
    uint8_t dummy[16];
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << c.size);
        const long long total = static_cast<long long>(c.count) * c.size;
        ASSERT_LE(total, 0x7FFFFFFFLL);
        m_pFx3->releaseAsyncXfer();
        const bool ok = m_pFx3->initAsyncXfer(static_cast<int>(total), c.count, c.size, kEndpoint, dummy);
        EXPECT_EQ(ok, c.window > 0);
        if (ok) {
            EXPECT_EQ(m_pFx3->m_iXferWindow, c.window);
        }
    }
}

TEST_F(BulkTest, InconsistentSetsAreRefused) {
    uint8_t buf[64];
    EXPECT_FALSE(m_pFx3->initAsyncXfer(3 * kSmall, 2, kSmall, kEndpoint, buf)) << "2 transfers cannot hold 3";
    EXPECT_FALSE(m_pFx3->initAsyncXfer(kSmall, 3, kSmall, kEndpoint, buf))
        << "the last transfer would be empty";
    EXPECT_FALSE(m_pFx3->initAsyncXfer(kSmall, 1, kSmall, kEndpoint, nullptr));
    EXPECT_FALSE(m_pFx3->initAsyncXfer(0, 1, kSmall, kEndpoint, buf));
    EXPECT_FALSE(m_pFx3->initAsyncXfer(kSmall, 0, kSmall, kEndpoint, buf));
    EXPECT_EQ(m_pFx3->m_pXfers, nullptr);
    m_pFx3->CloseDevice();
    EXPECT_FALSE(m_pFx3->initAsyncXfer(kSmall, 1, kSmall, kEndpoint, buf)) << "closed device";
}

// A transfer of the multi-transfer set that cannot be allocated fails the
// set-up and frees the transfers allocated before it; the next set-up works.
TEST_F(BulkTest, AllocationFailureFailsTheSetUpAndLeavesNoTransfer) {
    constexpr int kBytes = 4 * kSmall;
    m_Buf.assign(kBytes, 0);
    for (int nth : {1, 3, 4}) {
        SCOPED_TRACE(nth);
        ASSERT_TRUE(kyrsim::failAlloc(nth));
        EXPECT_FALSE(m_pFx3->initAsyncXfer(kBytes, 4, kSmall, kEndpoint, m_Buf.data()));
        ASSERT_TRUE(kyrsim::failAlloc(1, 0));
        EXPECT_EQ(kyrsim_live_transfers(), 0);
        EXPECT_EQ(m_pFx3->m_pXfers, nullptr);
        EXPECT_EQ(m_pFx3->m_iXferAllocated, 0);
    }
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    EXPECT_EQ(kyrsim_live_transfers(), 4);
    EXPECT_EQ(Read(kBytes), kBytes);
    ExpectLastFrame(m_Buf, kBytes);
}

// A frame of 10 transfers with a window of 10: all ten are with the host
// controller before the first wait.
TEST_F(BulkTest, WholeWindowIsSubmittedBeforeTheFirstWait) {
    constexpr int kBytes = 10 * kMiB;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kMiB));
    ASSERT_EQ(m_pFx3->m_iXferWindow, 10);
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_NO_DATA, 300));
    int got = -1;
    // The simulator makes a 10 MiB frame in a few milliseconds on the host and
    // in seconds under emulation: the waits allow for that.
    std::thread reader([&] { got = Read(kBytes, 2000 * kTestSlowdown, nullptr, 100 * kTestSlowdown); });
    int seen = 0;
    for (int i = 0; i < 200 && seen < 10; ++i) {
        seen = kyrsim_inflight_transfers();
        std::this_thread::sleep_for(milliseconds(5));
    }
    reader.join();
    EXPECT_EQ(seen, 10);
    EXPECT_EQ(got, kBytes);
    ExpectLastFrame(m_Buf, kBytes);
}

// A later set with more transfers than the first is built anew, not written
// past the first set's arrays.
TEST_F(BulkTest, LargerSetIsRebuiltAndSmallerOneReused) {
    constexpr int kBytes = 20 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(5 * kSmall, kSmall));
    EXPECT_EQ(kyrsim_live_transfers(), 5);
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    EXPECT_EQ(m_pFx3->m_iXferAllocated, 20);
    EXPECT_EQ(kyrsim_live_transfers(), 20);
    EXPECT_EQ(Read(kBytes), kBytes);
    ExpectLastFrame(m_Buf, kBytes);
    libusb_transfer** before = m_pFx3->m_pXfers;
    ASSERT_TRUE(m_Dev.setFrameSize(3 * kSmall));
    ASSERT_NO_FATAL_FAILURE(Init(3 * kSmall, kSmall));
    EXPECT_EQ(m_pFx3->m_pXfers, before);
    EXPECT_EQ(kyrsim_live_transfers(), 20);
    EXPECT_EQ(Read(3 * kSmall), 3 * kSmall);
    ExpectLastFrame(m_Buf, 3 * kSmall);
}

// ---- Frames --------------------------------------------------------------------------

// Several transfers completing in one event call are each accounted for: a
// whole frame arrives at once, and no wait runs out on a transfer that has
// already completed.
TEST_F(BulkTest, ManyCompletionsPerEventCallEachCount) {
    constexpr int kBytes = 8 * kSmall + 100;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    for (int perCall : {0, 1, 3}) {
        SCOPED_TRACE(perCall);
        kyrsim_set_events_per_call(perCall);
        const auto t0 = Clock::now();
        for (int frame = 0; frame < 3; ++frame) {
            EXPECT_EQ(Read(kBytes, 3000), kBytes);
            ExpectLastFrame(m_Buf, kBytes);
        }
        EXPECT_LT(ElapsedMs(t0), 2900) << "a completed transfer was waited out";
    }
}

TEST_F(BulkTest, BufferMovesWithoutReallocating) {
    constexpr int kBytes = 4 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_TRUE(m_Dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    std::vector<uint8_t> second(kBytes, 0);
    libusb_transfer** xfers = m_pFx3->m_pXfers;
    ASSERT_EQ(Read(kBytes), kBytes);
    const std::vector<uint8_t> first = m_Buf;
    ASSERT_TRUE(m_pFx3->setAsyncXferBuf(second.data()));
    ASSERT_EQ(Read(kBytes), kBytes);
    EXPECT_EQ(m_Buf, first) << "the first buffer was written after the switch";
    ExpectLastFrame(second, kBytes);
    EXPECT_NE(memcmp(first.data(), second.data(), 4), 0) << "two frames with one number";
    EXPECT_EQ(m_pFx3->m_pXfers, xfers);
    EXPECT_EQ(kyrsim_live_transfers(), 4);
}

// A frame that ends early ends the read at once: the transfers after it are
// taken back (the next read would have them refused as busy), and after the
// endpoint reset the capture thread does for a lost frame, frames are whole.
TEST_F(BulkTest, ShortFrameEndsTheReadWithNothingLeftInFlight) {
    constexpr int kBytes = 6 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_TRUE(m_Dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_SHORT, kSmall + kSmall / 2));
    const auto t0 = Clock::now();
    EXPECT_EQ(Read(kBytes, 5000), kBytes - kSmall - kSmall / 2);
    EXPECT_LT(ElapsedMs(t0), 4500);
    EXPECT_TRUE(m_pFx3->ResetEndPoint(kEndpoint));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Read(kBytes), kBytes);
        ExpectLastFrame(m_Buf, kBytes);
    }
}

// Faults end the frame short and quickly, with nothing left in flight, and
// the stream goes on after the endpoint is reset.
TEST_F(BulkTest, FaultsEndTheFrameShortAndTheStreamRecovers) {
    constexpr int kBytes = 6 * kSmall;
    struct {
        const char* name;
        int kind;
        int arg;
        int expectGot;
    } cases[] = {
        {"stall mid-frame", KYRSIM_STREAM_STALL, kSmall + kSmall / 2, kSmall},
        {"stall at once", KYRSIM_STREAM_STALL, 0, 0},
        {"empty transfer first", KYRSIM_STREAM_EMPTY, 1, 0},
        {"bad head still whole", KYRSIM_STREAM_BAD_HEAD, 0, kBytes},
        {"counter skip still whole", KYRSIM_STREAM_COUNTER_SKIP, 3, kBytes},
    };
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(m_Dev.streamFault(c.kind, c.arg));
        const auto t0 = Clock::now();
        EXPECT_EQ(Read(kBytes, 2000), c.expectGot);
        EXPECT_LT(ElapsedMs(t0), 1900);
        EXPECT_TRUE(m_pFx3->ResetEndPoint(kEndpoint));
        EXPECT_EQ(Read(kBytes), kBytes) << "the stream did not recover";
        ExpectLastFrame(m_Buf, kBytes);
        ASSERT_TRUE(m_Dev.clearStreamFaults());
    }
}

TEST_F(BulkTest, FrameExactly512ShortIsReportedWhole) {
    g_bDebugPrint = true;
    constexpr int kBytes = 3 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_SHORT_512));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Read(kBytes), kBytes);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("+512\n"), std::string::npos) << err;
    EXPECT_EQ(m_pFx3->m_iXferTotal, kBytes - 512);
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_SHORT, 513));
    EXPECT_EQ(Read(kBytes), kBytes - 513);
}

// A stream that sends nothing: the frame ends after the first wait and the
// drain, never later, and every transfer is back.
TEST_F(BulkTest, StalledStreamReturnsWithinFirstWaitPlusDrain) {
    constexpr int kBytes = 6 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_NO_DATA, 0));
    const auto t0 = Clock::now();
    EXPECT_EQ(Read(kBytes, 300), 0);
    const long ms = ElapsedMs(t0);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 300 + kDrainSlackMs);
    // The stream comes back.
    ASSERT_TRUE(m_Dev.clearStreamFaults());
    EXPECT_EQ(Read(kBytes), kBytes);
}

// Stopping capture must not wait out the first transfer's wait.
TEST_F(BulkTest, ClearedRunningFlagEndsTheWaitWithinASlice) {
    constexpr int kBytes = 6 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_NO_DATA, 0));
    std::atomic<bool> running{true};
    int got = -1;
    Clock::time_point returned;
    std::thread reader([&] {
        got = Read(kBytes, 20000, &running);
        returned = Clock::now();
    });
    std::this_thread::sleep_for(milliseconds(150));
    const auto t0 = Clock::now();
    running = false;
    reader.join();
    EXPECT_EQ(got, 0);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(returned - t0).count(), 100 + kDrainSlackMs);
}

// The submit of transfer k is refused, by a failing call or because more
// than the host takes would be in flight (16 MiB on a host without the
// cameras' udev rule): the
// transfers before it are read, none after it is submitted (their part of the
// buffer stays untouched), and the frame ends short at once.
TEST_F(BulkTest, RefusedSubmitEndsTheFrameShortNeverHangs) {
    struct {
        const char* name;
        int bytes;
        int size;
        int refuseAt;   // transfer whose submit fails, -1: none
        long long cap;  // 0: the simulator's default
        int expectGot;
    } cases[] = {
        {"submit of transfer 3 refused", 6 * kSmall, kSmall, 3, 0, 3 * kSmall},
        {"submit of transfer 0 refused", 6 * kSmall, kSmall, 0, 0, 0},
        {"submit of the last transfer refused", 6 * kSmall, kSmall, 5, 0, 5 * kSmall},
        {"in-flight cap reached at transfer 3", 6 * kSmall, kSmall, -1, 3LL * kSmall, 3 * kSmall},
        {"in-flight cap below one transfer", 6 * kSmall, kSmall, -1, kSmall - 1, 0},
        {"frame above a host's 16 MiB cap", 20 * kMiB, kMiB, -1, 16 * kMiB, 16 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Stream(c.bytes));
        if (c.cap > 0) {
            ASSERT_TRUE(m_Dev.setMaxInflight(c.cap));
        }
        ASSERT_NO_FATAL_FAILURE(Init(c.bytes, c.size));
        if (c.refuseAt >= 0) {
            ASSERT_TRUE(m_Dev.failCall(KYRSIM_CALL_SUBMIT, LIBUSB_ERROR_IO, c.refuseAt + 1));
        }
        const auto t0 = Clock::now();
        EXPECT_EQ(Read(c.bytes, 3000), c.expectGot);
        // Never hangs: back within the read's own wait and the drain bound
        // (four times the slack here: the 20 MiB frame is copied under the
        // sanitizers on a loaded machine).
        EXPECT_LT(ElapsedMs(t0), 3000 + 4 * kDrainSlackMs);
        const std::vector<uint8_t> sent = m_Dev.lastFrame();
        ASSERT_EQ(sent.size(), static_cast<size_t>(c.bytes));
        EXPECT_EQ(memcmp(m_Buf.data(), sent.data(), static_cast<size_t>(c.expectGot)), 0);
        EXPECT_EQ(std::count(m_Buf.begin() + c.expectGot, m_Buf.end(), 0xEE), c.bytes - c.expectGot)
            << "a transfer after the refused one was submitted";
        ASSERT_TRUE(m_Dev.failCall(KYRSIM_CALL_SUBMIT, 0, 1, 0));
        ASSERT_TRUE(m_Dev.setMaxInflight(kHostInflightBytes));
        EXPECT_TRUE(m_pFx3->ResetEndPoint(kEndpoint));
        m_pFx3->releaseAsyncXfer();
    }
}

TEST_F(BulkTest, UnplugMidFrameEndsTheFrameAndFreesEverything) {
    constexpr int kBytes = 6 * kSmall;
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_UNPLUG, 2 * kSmall + 10));
    const auto t0 = Clock::now();
    EXPECT_EQ(Read(kBytes), 2 * kSmall);
    EXPECT_LT(ElapsedMs(t0), 1900);
    EXPECT_FALSE(m_Dev.plugged());
    EXPECT_EQ(Read(kBytes, 200), 0) << "reads of a gone device end at once";
}

// A transfer the device overflowed (it sent more than the transfer asked
// for) ends the frame: the transfers before it count, its own bytes do not,
// its status is kept, nothing is left in flight, and after the endpoint reset
// frames are whole again.
TEST_F(BulkTest, TransferOverflowEndsTheFrame) {
    constexpr int kBytes = 6 * kSmall;
    struct {
        const char* name;
        int at;  // bytes of the frame before the oversized packet
        int expectGot;
    } cases[] = {
        {"inside transfer 1", kSmall + kSmall / 2, kSmall},
        {"at the start of transfer 3", 3 * kSmall, 3 * kSmall},
        {"at the first byte", 0, 0},
        {"inside the last transfer", 5 * kSmall + 100, 5 * kSmall},
    };
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    ASSERT_NO_FATAL_FAILURE(Init(kBytes, kSmall));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(m_Dev.streamFault(KYRSIM_STREAM_OVERFLOW, c.at));
        const auto t0 = Clock::now();
        EXPECT_EQ(Read(kBytes, 2000), c.expectGot);
        EXPECT_LT(ElapsedMs(t0), 1900);
        EXPECT_EQ(m_pFx3->m_iXferTotal, c.expectGot);
        EXPECT_EQ(m_pFx3->m_iXferStatus, LIBUSB_TRANSFER_OVERFLOW);
        EXPECT_EQ(m_pFx3->m_iXferLen, -1);
        EXPECT_TRUE(m_pFx3->ResetEndPoint(kEndpoint));
        EXPECT_EQ(Read(kBytes), kBytes) << "the stream did not recover";
        EXPECT_EQ(m_pFx3->m_iXferStatus, LIBUSB_TRANSFER_COMPLETED);
        ExpectLastFrame(m_Buf, kBytes);
        ASSERT_TRUE(m_Dev.clearStreamFaults());
    }
}

// ---- Single-read set ----------------------------------------------------------------------

TEST_F(BulkTest, SingleReadSetCutsTheLengthIntoMiBTransfers) {
    std::vector<uint8_t> buf(2 * kMiB + 100);
    EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), 2 * kMiB, 1000), 2);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(m_pFx3->m_pSingleXfers[i]->length, kMiB);
    EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), 2 * kMiB + 100, 1000), 3);
    EXPECT_EQ(m_pFx3->m_pSingleXfers[0]->length, kMiB);
    EXPECT_EQ(m_pFx3->m_pSingleXfers[1]->length, kMiB);
    EXPECT_EQ(m_pFx3->m_pSingleXfers[2]->length, 100);
    EXPECT_EQ(m_pFx3->m_pSingleXfers[2]->buffer, buf.data() + 2 * kMiB);
    EXPECT_EQ(kyrsim_live_transfers(), 3);
    EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, nullptr, 100, 1000), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), 0, 1000), LIBUSB_ERROR_INVALID_PARAM);

    // A frame of that length read transfer by transfer.
    ASSERT_NO_FATAL_FAILURE(Stream(2 * kMiB + 100));
    const int expect[] = {kMiB, kMiB, 100};
    for (int i = 0; i < 3; ++i) {
        int len = -1;
        EXPECT_EQ(m_pFx3->waitForAsyncXfer(i, &len), LIBUSB_SUCCESS);
        EXPECT_EQ(len, expect[i]);
    }
    ExpectLastFrame(buf, 2 * kMiB + 100);
    EXPECT_EQ(m_pFx3->waitForAsyncXfer(3, nullptr), LIBUSB_ERROR_INVALID_PARAM);
}

// A transfer that cannot be allocated fails the single-read set with
// LIBUSB_ERROR_NO_MEM and leaves no transfer behind, wherever in the set it
// happens and also when a set of another size was there before; a set of the
// same size is reused without allocating. The next call builds the set.
TEST_F(BulkTest, SingleReadSetAllocationFailureGivesNoMem) {
    constexpr int kLength = 2 * kMiB + 100;  // three transfers
    std::vector<uint8_t> buf(kLength);
    struct {
        const char* name;
        int before;  // length of a set built first, 0: none
        int nth;     // first allocation that fails
        int times;   // -1: every one from the nth on
        int expect;
    } cases[] = {
        {"first allocation", 0, 1, 1, LIBUSB_ERROR_NO_MEM},
        {"second allocation", 0, 2, 1, LIBUSB_ERROR_NO_MEM},
        {"last allocation", 0, 3, 1, LIBUSB_ERROR_NO_MEM},
        {"every allocation from the second", 0, 2, -1, LIBUSB_ERROR_NO_MEM},
        {"rebuilding a set of one transfer", kMiB, 2, 1, LIBUSB_ERROR_NO_MEM},
        {"a set of the same size is reused", kLength, 1, -1, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before > 0) {
            ASSERT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), c.before, 1000), Ceil(c.before, kMiB));
        }
        ASSERT_TRUE(kyrsim::failAlloc(c.nth, c.times));
        EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), kLength, 1000), c.expect);
        ASSERT_TRUE(kyrsim::failAlloc(1, 0));
        if (c.expect == LIBUSB_ERROR_NO_MEM) {
            EXPECT_EQ(kyrsim_live_transfers(), 0) << "a transfer allocated before the failure leaked";
            EXPECT_EQ(m_pFx3->m_pSingleXfers, nullptr);
            EXPECT_EQ(m_pFx3->m_iSingleXferCount, 0);
            EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), kLength, 1000), 3);
        }
        EXPECT_EQ(kyrsim_live_transfers(), 3);
        m_pFx3->finishAsyncXfer(3);
        EXPECT_EQ(kyrsim_live_transfers(), 0);
    }

    // A set built after a failure reads a frame.
    ASSERT_TRUE(kyrsim::failAlloc(3));
    EXPECT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), kLength, 1000), LIBUSB_ERROR_NO_MEM);
    ASSERT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), kLength, 1000), 3);
    ASSERT_NO_FATAL_FAILURE(Stream(kLength));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m_pFx3->waitForAsyncXfer(i, nullptr), LIBUSB_SUCCESS);
    ExpectLastFrame(buf, kLength);
}

TEST(BulkStatusTest, StatusToCodeTable) {
    const struct {
        int status;
        int code;
    } rows[] = {
        {LIBUSB_TRANSFER_COMPLETED, 0},
        {LIBUSB_TRANSFER_ERROR, -1},
        {LIBUSB_TRANSFER_TIMED_OUT, -7},
        {LIBUSB_TRANSFER_CANCELLED, -1},
        {LIBUSB_TRANSFER_STALL, -9},
        {LIBUSB_TRANSFER_NO_DEVICE, -4},
        {LIBUSB_TRANSFER_OVERFLOW, -8},
        {99, -99},
        {-1, -99},
    };
    for (const auto& r : rows) EXPECT_EQ(CCameraFX3::XferStatusToError(r.status), r.code) << r.status;
}

// The codes waitForAsyncXfer gives for what the stream really does.
TEST_F(BulkTest, SingleReadReportsEachOutcome) {
    constexpr int kBytes = kMiB;
    std::vector<uint8_t> buf(kBytes);
    ASSERT_NO_FATAL_FAILURE(Stream(kBytes));
    struct {
        const char* name;
        int fault;  // stream fault, 0 none
        int arg;
        int action;  // 0 none, 1 reset the device, 2 cancel the transfer, 3 refuse the submit
        int code;
    } cases[] = {
        {"completed", 0, 0, 0, LIBUSB_SUCCESS},
        {"timed out", KYRSIM_STREAM_NO_DATA, 0, 0, LIBUSB_ERROR_TIMEOUT},
        {"stall", KYRSIM_STREAM_STALL, 0, 0, LIBUSB_ERROR_PIPE},
        {"transfer error", KYRSIM_STREAM_NO_DATA, 0, 1, LIBUSB_ERROR_IO},
        {"cancelled", KYRSIM_STREAM_NO_DATA, 0, 2, LIBUSB_ERROR_IO},
        {"submit refused", 0, 0, 3, LIBUSB_ERROR_IO},
        {"no device", KYRSIM_STREAM_UNPLUG, 1000, 0, LIBUSB_ERROR_NO_DEVICE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(m_pFx3->beginAsyncXfer(kEndpoint, buf.data(), kBytes, 200), 1);
        if (c.fault) {
            ASSERT_TRUE(m_Dev.streamFault(c.fault, c.arg));
        }
        if (c.action == 3) {
            ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_SUBMIT, m_Dev.handle(), LIBUSB_ERROR_IO, 1), 0);
        }
        std::thread helper;
        if (c.action == 1 || c.action == 2) {
            helper = std::thread([&, action = c.action] {
                while (kyrsim_inflight_transfers() == 0) std::this_thread::sleep_for(milliseconds(1));
                if (action == 1)
                    m_pFx3->ResetDevice();
                else
                    libusb_cancel_transfer(m_pFx3->m_pSingleXfers[0]);
            });
        }
        int len = -1;
        EXPECT_EQ(m_pFx3->waitForAsyncXfer(0, &len), c.code);
        if (helper.joinable()) helper.join();
        if (c.code == LIBUSB_SUCCESS) {
            EXPECT_EQ(len, kBytes);
        }
        EXPECT_EQ(kyrsim_inflight_transfers(), 0);
        ASSERT_TRUE(m_Dev.clearStreamFaults() || !m_Dev.plugged());
        if (m_Dev.plugged()) {
            EXPECT_TRUE(m_pFx3->ResetEndPoint(kEndpoint));
            ASSERT_TRUE(m_pFx3->SendCMD(VR_START_STREAM));  // a device reset stops the stream
        }
    }
    m_pFx3->finishAsyncXfer(1);
    EXPECT_EQ(kyrsim_live_transfers(), 0);
}

}  // namespace

// test-labels: tsan
// The frame ring on its own: the marker checks of an offer, which offers it
// takes, the order frames come out in, reset and stop, and a stress run of a
// capture thread and two readers that must never see a torn frame.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "ring/CirBuf.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kSlotBytes = 4096;
constexpr int kFrameBytes = 1024;  // 512 words
constexpr int kWords = kFrameBytes / 2;
// Generous bound for anything that should happen "at once".
constexpr auto kSoon = milliseconds(2000);

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

void PutWord(std::vector<uint8_t>& f, int word, uint16_t v) {
    f[2 * word] = static_cast<uint8_t>(v & 0xFF);
    f[2 * word + 1] = static_cast<uint8_t>(v >> 8);
}

// A frame of bytes `fill` with generation A markers and the counter in both copies.
std::vector<uint8_t> FrameA(uint8_t fill, uint16_t counter, int bytes = kFrameBytes) {
    std::vector<uint8_t> f(static_cast<size_t>(bytes), fill);
    const int n = bytes / 2;
    PutWord(f, 0, FRAME_HEAD_MARKER);
    PutWord(f, 1, counter);
    PutWord(f, n - 2, counter);
    PutWord(f, n - 1, FRAME_TAIL_MARKER);
    return f;
}

int OfferA(CirBuf& ring, std::vector<uint8_t>& f) {
    const int n = static_cast<int>(f.size()) / 2;
    return ring.InsertBuff(f.data(), static_cast<int>(f.size()), FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER,
                           n - 1, 1, n - 2);
}

class RingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_Ring.IsValid());
        ASSERT_TRUE(m_Ring.StartInstBufThr());
    }
    void TearDown() override { g_bDebugPrint = false; }

    // Reads one frame (kFrameBytes) with a wait; empty vector when none came.
    std::vector<uint8_t> Read(int waitMs) {
        std::vector<uint8_t> out(kFrameBytes);
        if (!m_Ring.ReadBuff(out.data(), kFrameBytes, waitMs)) out.clear();
        return out;
    }

    CirBuf m_Ring{kSlotBytes, 2};
};

// ---- Offer checks ---------------------------------------------------------------------

struct SOfferCase {
    const char* name;
    bool nullData;
    int len;
    uint16_t head;
    int headPos;
    uint16_t tail;
    int tailPos;
    int cnt0Pos;
    int cnt1Pos;
    // Frame content changes: word index and value (-1: none).
    int patchWord;
    int patchValue;
    int expected;
};

TEST_F(RingTest, OfferChecksMarkersCountersAndBounds) {
    const uint16_t kA = FRAME_HEAD_MARKER, kZ = FRAME_TAIL_MARKER;
    const uint16_t kB = FRAME_HEAD_MARKER_V1, kBZ = FRAME_TAIL_MARKER_V1;
    const int n = kWords;
    const SOfferCase cases[] = {
        {"generation A good", false, kFrameBytes, kA, 0, kZ, n - 1, 1, n - 2, -1, 0, INSERT_ACCEPTED},
        {"bad head", false, kFrameBytes, kA, 0, kZ, n - 1, 1, n - 2, 0, 0x1234, INSERT_BAD_FRAME},
        {"bad tail", false, kFrameBytes, kA, 0, kZ, n - 1, 1, n - 2, n - 1, 0, INSERT_BAD_FRAME},
        {"counters differ", false, kFrameBytes, kA, 0, kZ, n - 1, 1, n - 2, n - 2, 6, INSERT_BAD_FRAME},
        {"all markers 0, any content", false, kFrameBytes, 0, 0, 0, 0, 0, 0, 0, 0xFFFF, INSERT_ACCEPTED},
        {"one counter position 0 skips the counters", false, kFrameBytes, kA, 0, kZ, n - 1, 0, n - 2, n - 2,
         6, INSERT_ACCEPTED},
        {"generation B good", false, kFrameBytes, kB, 0, kBZ, n - 1, 0, 0, -2, 0, INSERT_ACCEPTED},
        {"generation B bad tail", false, kFrameBytes, kB, 0, kBZ, n - 1, 0, 0, -3, 0, INSERT_BAD_FRAME},
        {"null data", true, kFrameBytes, kA, 0, kZ, n - 1, 1, n - 2, -1, 0, INSERT_REFUSED},
        {"longer than a slot", false, kSlotBytes + 2, 0, 0, 0, 0, 0, 0, -1, 0, INSERT_REFUSED},
        {"length 0", false, 0, 0, 0, 0, 0, 0, 0, -1, 0, INSERT_REFUSED},
        {"negative length", false, -4, 0, 0, 0, 0, 0, 0, -1, 0, INSERT_REFUSED},
        {"tail position past the end", false, kFrameBytes, kA, 0, kZ, n, 1, n - 2, -1, 0, INSERT_REFUSED},
        {"head position negative", false, kFrameBytes, kA, -1, kZ, n - 1, 1, n - 2, -1, 0, INSERT_REFUSED},
        {"counter position past the end", false, kFrameBytes, kA, 0, kZ, n - 1, 1, n + 100, -1, 0,
         INSERT_REFUSED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_Ring.ResetCirBuff();
        // The frame buffer is a slot and more long, so that a check reading
        // past the offered length would not touch foreign memory here.
        std::vector<uint8_t> f = FrameA(0x42, 5, kSlotBytes + 64);
        f.resize(static_cast<size_t>(kSlotBytes + 64));
        std::vector<uint8_t> g = FrameA(0x42, 5);  // proper generation A frame of kFrameBytes
        memcpy(f.data(), g.data(), g.size());
        if (c.patchWord >= 0) PutWord(f, c.patchWord, static_cast<uint16_t>(c.patchValue));
        if (c.patchWord <= -2) {  // generation B markers, no counters
            PutWord(f, 0, kB);
            PutWord(f, n - 1, c.patchWord == -2 ? kBZ : kZ);
        }
        uint8_t* data = c.nullData ? nullptr : f.data();
        EXPECT_EQ(m_Ring.InsertBuff(data, c.len, c.head, c.headPos, c.tail, c.tailPos, c.cnt0Pos, c.cnt1Pos),
                  c.expected);
        ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
        if (c.expected == INSERT_ACCEPTED) {
            std::vector<uint8_t> got = Read(2000);
            ASSERT_EQ(got.size(), static_cast<size_t>(kFrameBytes));
            EXPECT_EQ(memcmp(got.data(), f.data(), kFrameBytes), 0);
        } else {
            EXPECT_EQ(m_Ring.Ready(), 0) << "a refused or bad frame must leave the ring as it was";
        }
    }
}

TEST_F(RingTest, CounterMismatchIsLoggedWithBothWords) {
    g_bDebugPrint = true;
    std::vector<uint8_t> f = FrameA(0, 5);
    PutWord(f, kWords - 2, 6);
    testing::internal::CaptureStderr();
    EXPECT_EQ(OfferA(m_Ring, f), INSERT_BAD_FRAME);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Count Addrcount0= 05, Addrcount1=06 \n"), std::string::npos) << err;
}

// ---- Which offers the ring takes, and the order out --------------------------------------

TEST_F(RingTest, FullRingRefusesAndDeliversOldestFirst) {
    std::vector<uint8_t> a = FrameA(0xA1, 1), b = FrameA(0xB2, 2), c = FrameA(0xC3, 3);
    ASSERT_EQ(OfferA(m_Ring, a), INSERT_ACCEPTED);
    ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
    ASSERT_EQ(OfferA(m_Ring, b), INSERT_ACCEPTED);
    ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
    EXPECT_EQ(m_Ring.Ready(), 2);
    EXPECT_EQ(OfferA(m_Ring, c), INSERT_REFUSED) << "two unread frames fill the ring";

    EXPECT_EQ(Read(0), a);
    ASSERT_EQ(OfferA(m_Ring, c), INSERT_ACCEPTED) << "a read frees a slot";
    ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
    EXPECT_EQ(Read(0), b);
    EXPECT_EQ(Read(0), c);
    EXPECT_TRUE(Read(0).empty());
}

// The capture thread's buffer belongs to the ring from the offer until the
// copy: a second offer meanwhile would replace the staged frame, which would
// be lost although it was reported as taken.
TEST_F(RingTest, OfferWhileAFrameIsStagedIsRefusedAndTheStagedFrameSurvives) {
    std::vector<uint8_t> a = FrameA(0xA1, 1), b = FrameA(0xB2, 2);
    m_Ring.HoldInsertForTest(true);
    ASSERT_EQ(OfferA(m_Ring, a), INSERT_ACCEPTED);
    EXPECT_EQ(OfferA(m_Ring, b), INSERT_REFUSED);
    EXPECT_EQ(m_Ring.Ready(), 0);
    m_Ring.HoldInsertForTest(false);
    EXPECT_EQ(Read(2000), a);
    EXPECT_TRUE(Read(50).empty()) << "the refused frame must not appear";
}

TEST_F(RingTest, ResetDropsUnreadAndStagedFrames) {
    std::vector<uint8_t> a = FrameA(0xA1, 1), b = FrameA(0xB2, 2), c = FrameA(0xC3, 3);
    ASSERT_EQ(OfferA(m_Ring, a), INSERT_ACCEPTED);
    ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
    m_Ring.HoldInsertForTest(true);
    ASSERT_EQ(OfferA(m_Ring, b), INSERT_ACCEPTED);
    m_Ring.ResetCirBuff();
    m_Ring.HoldInsertForTest(false);
    EXPECT_TRUE(m_Ring.WaitInsertIdle(2000));
    EXPECT_TRUE(Read(100).empty()) << "a frame of the run before the reset came out";
    ASSERT_EQ(OfferA(m_Ring, c), INSERT_ACCEPTED);
    EXPECT_EQ(Read(2000), c);
}

// A reset must also wait for a copy in progress and drop its frame; with
// slots of 32 MiB the copy runs long enough for a reset to meet it.
TEST(RingLargeTest, ResetRightAfterAnOfferNeverLetsTheFrameThrough) {
    constexpr int kBig = 32 << 20;
    CirBuf ring(kBig, 2);
    ASSERT_TRUE(ring.IsValid());
    ASSERT_TRUE(ring.StartInstBufThr());
    std::vector<uint8_t> frame(kBig, 0x5C);
    std::vector<uint8_t> out(kBig);
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(ring.InsertBuff(frame.data(), kBig, 0, 0, 0, 0, 0, 0), INSERT_ACCEPTED);
        if (i % 2) std::this_thread::sleep_for(milliseconds(1));
        ring.ResetCirBuff();
        EXPECT_FALSE(ring.ReadBuff(out.data(), kBig, 30));
    }
}

// ---- Waits, stop, head peek ---------------------------------------------------------------

TEST_F(RingTest, EmptyReadsTimeOutOnTheirDeadline) {
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    auto t0 = Clock::now();
    EXPECT_TRUE(Read(100).empty());
    long readMs = ElapsedMs(t0);
    t0 = Clock::now();
    EXPECT_FALSE(m_Ring.IsBuffHeadCorrect(FRAME_HEAD_WORD32, 100));
    long peekMs = ElapsedMs(t0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GE(readMs, 95);
    EXPECT_LT(readMs, 2000);
    EXPECT_GE(peekMs, 95);
    EXPECT_LT(peekMs, 2000);
    EXPECT_NE(err.find("[IsBuffHeadCorrect] Read time out wait 100ms\n"), std::string::npos) << err;

    t0 = Clock::now();
    EXPECT_TRUE(Read(0).empty());
    EXPECT_LT(ElapsedMs(t0), 50);
}

TEST_F(RingTest, ReadRefusesNullDestinationAndLengthsBeyondASlot) {
    g_bDebugPrint = true;
    std::vector<uint8_t> a = FrameA(0xA1, 1);
    ASSERT_EQ(OfferA(m_Ring, a), INSERT_ACCEPTED);
    ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_Ring.ReadBuff(nullptr, kFrameBytes, 0));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("error, pData is 0\n"), std::string::npos) << err;
    std::vector<uint8_t> big(kSlotBytes + 16);
    EXPECT_FALSE(m_Ring.ReadBuff(big.data(), kSlotBytes + 1, 0));
    EXPECT_FALSE(m_Ring.ReadBuff(big.data(), -1, 0));
    EXPECT_EQ(m_Ring.Ready(), 1) << "a refused read takes no frame";
    EXPECT_EQ(Read(0), a);
}

TEST_F(RingTest, HeadPeekWaitsForAFrameAndLeavesItInTheRing) {
    std::vector<uint8_t> c(kFrameBytes, 0x77);
    const uint8_t head[4] = {0x11, 0xAA, 0x00, 0xBB};  // 0xBB00AA11, little-endian
    memcpy(c.data(), head, 4);
    std::thread producer([&] {
        std::this_thread::sleep_for(milliseconds(150));
        EXPECT_EQ(m_Ring.InsertBuff(c.data(), kFrameBytes, 0, 0, 0, 0, 0, 0), INSERT_ACCEPTED);
    });
    const auto t0 = Clock::now();
    EXPECT_TRUE(m_Ring.IsBuffHeadCorrect(FRAME_HEAD_WORD32, 3000));
    EXPECT_GE(ElapsedMs(t0), 100);
    producer.join();
    EXPECT_FALSE(m_Ring.IsBuffHeadCorrect(0x12345678, 0));
    EXPECT_EQ(m_Ring.Ready(), 1);
    EXPECT_EQ(Read(0), c);
}

TEST_F(RingTest, StopReleasesReadersAndEmptyStoppedReadsReturnAtOnce) {
    std::atomic<bool> returned{false};
    bool result = true;
    std::thread reader([&] {
        std::vector<uint8_t> out(kFrameBytes);
        result = m_Ring.ReadBuff(out.data(), kFrameBytes, -1);
        returned = true;
    });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(returned.load()) << "a reader with -1 must wait while capture runs";
    const auto t0 = Clock::now();
    m_Ring.SetStopped(true);
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_LT(ElapsedMs(t0), 1000);

    auto t1 = Clock::now();
    EXPECT_TRUE(Read(-1).empty());
    EXPECT_TRUE(Read(5000).empty());
    EXPECT_LT(ElapsedMs(t1), 500);

    // Frames already in the ring, or on their way, still come out.
    std::vector<uint8_t> a = FrameA(0xA1, 1), b = FrameA(0xB2, 2);
    ASSERT_EQ(OfferA(m_Ring, a), INSERT_ACCEPTED);
    ASSERT_TRUE(m_Ring.WaitInsertIdle(2000));
    m_Ring.HoldInsertForTest(true);
    ASSERT_EQ(OfferA(m_Ring, b), INSERT_ACCEPTED);
    EXPECT_EQ(Read(-1), a);
    std::thread release([&] {
        std::this_thread::sleep_for(milliseconds(100));
        m_Ring.HoldInsertForTest(false);
    });
    EXPECT_EQ(Read(-1), b) << "a staged frame must reach a reader of a stopped ring";
    release.join();

    // Capture starts again: readers wait again.
    m_Ring.SetStopped(false);
    t1 = Clock::now();
    EXPECT_TRUE(Read(100).empty());
    EXPECT_GE(ElapsedMs(t1), 95);
}

TEST(RingLifeTest, StoppedInsertThreadDropsTheStagedFrame) {
    CirBuf ring(kSlotBytes, 2);
    ASSERT_TRUE(ring.StartInstBufThr());
    std::vector<uint8_t> a = FrameA(0xA1, 1);
    ring.HoldInsertForTest(true);
    ASSERT_EQ(OfferA(ring, a), INSERT_ACCEPTED);
    ring.StopInstBufThr();
    ring.SetStopped(true);
    std::vector<uint8_t> out(kFrameBytes);
    const auto t0 = Clock::now();
    EXPECT_FALSE(ring.ReadBuff(out.data(), kFrameBytes, -1));
    EXPECT_LT(ElapsedMs(t0), 500);
}

TEST(RingLifeTest, SlotCountIsClampedAndDestructionStopsTheThread) {
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    {
        CirBuf ring(kSlotBytes, 5);
        ASSERT_TRUE(ring.StartInstBufThr());
        std::vector<uint8_t> a = FrameA(1, 1), b = FrameA(2, 2), c = FrameA(3, 3);
        EXPECT_EQ(OfferA(ring, a), INSERT_ACCEPTED);
        ASSERT_TRUE(ring.WaitInsertIdle(2000));
        EXPECT_EQ(OfferA(ring, b), INSERT_ACCEPTED);
        ASSERT_TRUE(ring.WaitInsertIdle(2000));
        EXPECT_EQ(OfferA(ring, c), INSERT_REFUSED) << "no more than 2 slots";
    }
    const std::string err = testing::internal::GetCapturedStderr();
    g_bDebugPrint = false;
    for (const char* line :
         {"InsertBufThr begin\n", ">> wait InsertBufThr exit\n", "StopInstBufThr 0\n", "StopInstBufThr 1\n",
          "thread InsertBufThd Exit\n", "<< wait InsertBufThr exit\n"})
        EXPECT_NE(err.find(line), std::string::npos) << line;
    CirBuf empty(0, 2);
    EXPECT_FALSE(empty.IsValid());
    EXPECT_FALSE(empty.StartInstBufThr());
}

// ---- Stress -------------------------------------------------------------------------------------

// A capture thread receives patterned frames into two buffers at full speed,
// switching buffer only after an accepted offer; two readers take frames.
// Every frame read must be whole (one sequence number throughout), each
// reader's numbers strictly rising, no frame read twice, and the ring must
// keep moving until the end.
TEST(RingStressTest, AlternatingBuffersTwoReadersNoTearNoRepeatNeverStuck) {
    constexpr int kBytes = 64 * 1024;
    constexpr int kWordsU32 = kBytes / 4;
    constexpr auto kRun = milliseconds(600);
    CirBuf ring(kBytes, 2);
    ASSERT_TRUE(ring.StartInstBufThr());

    std::vector<uint32_t> buffers[2] = {std::vector<uint32_t>(kWordsU32), std::vector<uint32_t>(kWordsU32)};
    std::atomic<bool> producing{true};
    std::atomic<int> accepted{0};
    std::thread producer([&] {
        int cur = 0;
        uint32_t seq = 1;
        const auto end = Clock::now() + kRun;
        while (Clock::now() < end) {
            // "Receive" a new frame into the current buffer.
            std::vector<uint32_t>& buf = buffers[cur];
            for (uint32_t& w : buf) w = seq;
            ++seq;
            int r = ring.InsertBuff(reinterpret_cast<uint8_t*>(buf.data()), kBytes, 0, 0, 0, 0, 0, 0);
            EXPECT_NE(r, INSERT_BAD_FRAME);
            if (r == INSERT_ACCEPTED) {
                ++accepted;
                cur ^= 1;
            }
        }
        producing = false;
    });

    std::vector<uint32_t> got[2];
    std::atomic<int> torn{0};
    auto readerBody = [&](int idx) {
        std::vector<uint32_t> out(kWordsU32);
        for (;;) {
            if (!ring.ReadBuff(reinterpret_cast<uint8_t*>(out.data()), kBytes, 200)) {
                if (!producing.load()) break;
                continue;
            }
            const uint32_t first = out[0];
            for (uint32_t w : out)
                if (w != first) {
                    ++torn;
                    break;
                }
            got[idx].push_back(first);
        }
    };
    std::thread r0(readerBody, 0), r1(readerBody, 1);
    producer.join();
    r0.join();
    r1.join();

    EXPECT_EQ(torn.load(), 0) << "a frame was overwritten while it was copied";
    std::set<uint32_t> all;
    for (const auto& list : got) {
        for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]) << "frames out of order";
        for (uint32_t v : list) EXPECT_TRUE(all.insert(v).second) << "frame " << v << " delivered twice";
    }
    EXPECT_EQ(static_cast<int>(all.size()), accepted.load()) << "every accepted frame must reach a reader";
    EXPECT_GT(all.size(), 20u) << "the ring stopped moving";
}

}  // namespace

// test-labels: tsan
// The S7100's image read-out beside a format change: readers of video frames
// on their own threads while another thread changes the window's size, bin
// and image type. Every image is written into a buffer it fits and never
// beyond the bytes the caller gave; the guard bytes after each buffer stay
// as they were.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "CaptureCheck.h"
#include "TestSpeed.h"
#include "test_s7100_fixture.h"

namespace {

constexpr int kWaitMs = 200 * kTestSlowdown;
constexpr size_t kGuardBytes = 4096;
constexpr unsigned char kGuard = 0xA5;

struct SFormat {
    int w, h, bin;
    IMG_TYPE type;
    size_t Bytes() const { return static_cast<size_t>(w) * h * ImageBytesPerPixel(type); }
};
// From the smallest image to the largest; the change runs through them in turn.
const SFormat kFormats[] = {
    {64, 48, 1, IMG_RAW8},
    {160, 120, 2, IMG_RGB24},
    {320, 240, 1, IMG_RAW16},
    {96, 64, 4, IMG_Y8},
};

// One reader: its buffer for `bytes`, guard bytes behind it, and what its reads gave.
struct SReader {
    explicit SReader(size_t bytes) : buf(bytes + kGuardBytes, kGuard), size(bytes) {}
    std::vector<unsigned char> buf;
    size_t size;
    int images = 0;
    int unexpected = 0;  // results other than an image, a time-out or a too small buffer

    void Run(const std::atomic<bool>& stop) {
        // Reads that wait for a frame, and reads that return at once so that
        // many of them start while a change of format is under way.
        for (int i = 0; !stop; ++i) {
            const int waitMs = i % 2 ? kWaitMs : 0;
            const KYR_ERROR_CODE rc = KYRGetVideoData(0, buf.data(), static_cast<long>(size), waitMs);
            if (rc == KYR_SUCCESS)
                ++images;
            else if (rc != KYR_ERROR_TIMEOUT && rc != KYR_ERROR_BUFFER_TOO_SMALL)
                ++unexpected;
        }
    }
    bool GuardStands() const {
        for (size_t i = size; i < buf.size(); ++i)
            if (buf[i] != kGuard) return false;
        return true;
    }
};

class C7100ReadoutThreadTest : public C7100Test {};

TEST_F(C7100ReadoutThreadTest, AFormatChangeRacingTheReadersNeverWritesBeyondTheirBuffers) {
    ASSERT_NE(Setup(kPid7100), nullptr);
    ASSERT_EQ(Set(KYR_EXPOSURE, 1000), KYR_SUCCESS);
    ASSERT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, kFormats[0].w, kFormats[0].h, kFormats[0].bin, kFormats[0].type), KYR_SUCCESS);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);

    // Two readers sized for the smallest image, one for the largest.
    SReader readers[] = {SReader(kFormats[0].Bytes()), SReader(kFormats[0].Bytes()), SReader(kFormats[2].Bytes())};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (SReader& r : readers) threads.emplace_back([&r, &stop] { r.Run(stop); });

    // Each format stays long enough for frames of it to arrive (a restarted
    // stream sends its first frame after the USB reset's pause), so that
    // readers that measured their buffer against the format before get one.
    int changes = 0;
    for (int i = 1; i <= 12; ++i) {
        const SFormat& f = kFormats[i % 4];
        changes += KYRSetROIFormat(0, f.w, f.h, f.bin, f.type) == KYR_SUCCESS;
        std::this_thread::sleep_for(std::chrono::milliseconds(150 * kTestSlowdown));
    }
    // The last change leaves the smallest image, which every reader takes.
    ASSERT_EQ(KYRSetROIFormat(0, kFormats[0].w, kFormats[0].h, kFormats[0].bin, kFormats[0].type), KYR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(300 * kTestSlowdown));
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);

    EXPECT_EQ(changes, 12);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "reader " << i << " of " << readers[i].size << " bytes");
        EXPECT_TRUE(readers[i].GuardStands());
        EXPECT_EQ(readers[i].unexpected, 0);
        EXPECT_GT(readers[i].images, 0);
    }
}

}  // namespace

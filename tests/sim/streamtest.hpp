// Helpers of the simulator's stream tests: bulk transfers with their own
// buffers, and a fixture with a streaming FPGA camera.
#pragma once

#include <sys/time.h>

#include "simtest.hpp"

namespace simtest {

// One asynchronous bulk transfer with its own buffer; the callback counts
// completions and notes the thread it ran on.
class Bulk {
  public:
    Bulk(libusb_device_handle* h, unsigned char endpoint, int length, unsigned timeoutMs = 1000)
        : buf_(static_cast<size_t>(length), 0xEE), xfer_(libusb_alloc_transfer(0)) {
        libusb_fill_bulk_transfer(xfer_, h, endpoint, buf_.data(), length, &Bulk::done, this, timeoutMs);
    }
    ~Bulk() { libusb_free_transfer(xfer_); }
    Bulk(const Bulk&) = delete;
    Bulk& operator=(const Bulk&) = delete;

    int submit() {
        completions_ = 0;
        return libusb_submit_transfer(xfer_);
    }
    libusb_transfer* xfer() const { return xfer_; }
    int completions() const { return completions_; }
    int status() const { return xfer_->status; }
    int actual() const { return xfer_->actual_length; }
    unsigned long long callbackThread() const { return thread_; }
    long long callbackUs() const { return timeUs_; }  // kyrsim_now_us when the callback last ran
    std::vector<unsigned char> data() const { return {buf_.begin(), buf_.begin() + xfer_->actual_length}; }
    const std::vector<unsigned char>& buffer() const { return buf_; }

  private:
    static void LIBUSB_CALL done(libusb_transfer* t) {
        auto* self = static_cast<Bulk*>(t->user_data);
        ++self->completions_;
        self->thread_ = kyrsim_thread_id();
        self->timeUs_ = kyrsim_now_us();
    }

    std::vector<unsigned char> buf_;
    libusb_transfer* xfer_;
    int completions_ = 0;
    unsigned long long thread_ = 0;
    long long timeUs_ = 0;
};

// Handles events until every transfer has completed or `ms` have passed.
inline bool waitAll(libusb_context* ctx, std::initializer_list<const Bulk*> bulks, int ms = 2000) {
    const auto t0 = std::chrono::steady_clock::now();
    auto allDone = [&] {
        for (const Bulk* b : bulks)
            if (b->completions() == 0) return false;
        return true;
    };
    while (!allDone() && elapsedMs(t0) < ms) {
        timeval tv{0, 20 * 1000};
        libusb_handle_events_timeout(ctx, &tv);
    }
    return allDone();
}

inline uint16_t word(const std::vector<unsigned char>& f, size_t i) {
    return static_cast<uint16_t>(f[2 * i] | (f[2 * i + 1] << 8));
}

// The next frame of at most `bytes` on endpoint 0x81, or nothing when none comes within `ms`.
inline std::vector<unsigned char> nextFrame(Usb& usb, libusb_device_handle* h, int bytes, int ms = 2000) {
    Bulk b(h, 0x81, bytes + 4096, 0);
    EXPECT_EQ(b.submit(), 0);
    if (!waitAll(usb.ctx(), {&b}, ms)) {
        libusb_cancel_transfer(b.xfer());
        waitAll(usb.ctx(), {&b});
        return {};
    }
    return b.data();
}

// The pixels of a width x height frame (the marker words at both ends skipped) against expected
// 16-bit values: 8-bit output carries their high byte, 16-bit output their top `bits` bits.
template <typename Expected>
void expectFramePixels(const std::vector<unsigned char>& f, int width, int height, bool out16, int bits,
                       Expected expected) {
    const int n = width * height;
    ASSERT_EQ(f.size(), static_cast<size_t>(n * (out16 ? 2 : 1)));
    const int markerPixels = out16 ? 2 : 4;
    const int mask = (0xFFFF << (16 - bits)) & 0xFFFF;
    for (int i = markerPixels; i < n - markerPixels; ++i) {
        const int x = i % width, y = i / width;
        const int v = expected(x, y);
        const int got = out16 ? word(f, static_cast<size_t>(i)) : f[static_cast<size_t>(i)];
        ASSERT_EQ(got, out16 ? (v & mask) : (v >> 8)) << "pixel " << x << "," << y;
    }
}

// A camera streaming frames of kWidth x kHeight 8-bit pixels.
class Streaming : public ::testing::Test {
  protected:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 24;
    static constexpr int kFrame = kWidth * kHeight;

    void SetUp() override {
        cam = kyrsim::plug(kFpgaCamera, 1, "1");
        // The scene relative to the FPGA window, no sensor standby.
        ASSERT_TRUE(cam.setSensorModel(false));
        h = usb.open(cam);
        ASSERT_NE(h, nullptr);
        setWindow(h, kWidth, kHeight);
        ASSERT_EQ(out(h, 0xA9), 0);
    }

    // Receives one frame into a transfer larger than the frame.
    std::vector<unsigned char> frame(unsigned char endpoint = 0x81) {
        Bulk b(h, endpoint, kFrame + 4096);
        EXPECT_EQ(b.submit(), 0);
        EXPECT_TRUE(waitAll(usb.ctx(), {&b}));
        EXPECT_EQ(b.status(), LIBUSB_TRANSFER_COMPLETED);
        return b.data();
    }

    kyrsim::Scope scope;
    Usb usb;
    kyrsim::Device cam;
    libusb_device_handle* h = nullptr;
};

}  // namespace simtest

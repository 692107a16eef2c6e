// test-labels: tsan
// The stream and event handling across threads: event calls woken by a cancel
// or an unplug from another thread, one event handler per context at a time,
// and a capture thread streaming while other threads send control requests.
#include <atomic>
#include <future>
#include <thread>

#include "streamtest.hpp"

using namespace simtest;

namespace {

class StreamThreads : public Streaming {};

TEST_F(StreamThreads, CancelFromAnotherThreadWakesABlockedEventCall) {
    out(h, 0xAA);
    Bulk b(h, 0x81, kFrame, 0);
    ASSERT_EQ(b.submit(), 0);
    const auto t0 = std::chrono::steady_clock::now();
    auto events = std::async(std::launch::async, [&] { return libusb_handle_events(usb.ctx()); });
    EXPECT_EQ(events.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    EXPECT_EQ(libusb_cancel_transfer(b.xfer()), 0);
    EXPECT_EQ(events.get(), 0);
    EXPECT_LT(elapsedMs(t0), 5000);  // well before libusb's 60 s
    EXPECT_EQ(b.completions(), 1);
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_CANCELLED);
    EXPECT_NE(b.callbackThread(), kyrsim_thread_id());  // ran on the event thread
}

TEST_F(StreamThreads, UnplugFromAnotherThreadEndsWaitingTransfers) {
    out(h, 0xAA);
    Bulk a(h, 0x81, kFrame, 0), b(h, 0x81, kFrame, 0);
    ASSERT_EQ(a.submit(), 0);
    ASSERT_EQ(b.submit(), 0);
    auto events = std::async(std::launch::async, [&] { return waitAll(usb.ctx(), {&a, &b}, 5000); });
    EXPECT_EQ(events.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    std::thread([&] { cam.unplug(); }).join();
    EXPECT_TRUE(events.get());
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_NO_DEVICE);
}

TEST_F(StreamThreads, OneEventHandlerPerContextAtATime) {
    ASSERT_TRUE(cam.setFrameSize(256));
    std::atomic<int> inside{0}, most{0}, done{0};
    struct Ctx {
        std::atomic<int>* inside;
        std::atomic<int>* most;
        std::atomic<int>* done;
    } c{&inside, &most, &done};
    constexpr int kTransfers = 64;
    std::vector<std::vector<unsigned char>> bufs(kTransfers, std::vector<unsigned char>(256));
    std::vector<libusb_transfer*> xfers;
    for (int i = 0; i < kTransfers; ++i) {
        libusb_transfer* x = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(
            x, h, 0x81, bufs[static_cast<size_t>(i)].data(), 256,
            [](libusb_transfer* t) {
                auto* c = static_cast<Ctx*>(t->user_data);
                const int now = ++*c->inside;
                int seen = c->most->load();
                while (now > seen && !c->most->compare_exchange_weak(seen, now)) {
                }
                std::this_thread::yield();
                --*c->inside;
                ++*c->done;
            },
            &c, 1000);
        xfers.push_back(x);
    }
    kyrsim_set_events_per_call(1);
    std::vector<std::thread> handlers;
    for (int t = 0; t < 3; ++t)
        handlers.emplace_back([&] {
            const auto t0 = std::chrono::steady_clock::now();
            while (done.load() < kTransfers && elapsedMs(t0) < 10000) {
                timeval tv{0, 5 * 1000};
                libusb_handle_events_timeout(usb.ctx(), &tv);
            }
        });
    for (libusb_transfer* x : xfers) ASSERT_EQ(libusb_submit_transfer(x), 0);
    for (auto& t : handlers) t.join();
    EXPECT_EQ(done.load(), kTransfers);
    EXPECT_EQ(most.load(), 1);
    for (libusb_transfer* x : xfers) libusb_free_transfer(x);
}

// As with libusb, a control transfer handles the context's events: a bulk
// transfer that is due completes inside it, its callback on the caller's
// thread, while the thread that submitted the transfer handles no events.
TEST_F(StreamThreads, ControlTransferOnAnotherThreadRunsDueBulkCallbacks) {
    Bulk b(h, 0x81, kFrame, 0);
    ASSERT_EQ(b.submit(), 0);
    unsigned long long controlThread = 0;
    std::thread([&] {
        controlThread = kyrsim_thread_id();
        const auto t0 = std::chrono::steady_clock::now();
        while (b.completions() == 0 && elapsedMs(t0) < 5000) readFpga(h, 35);
    }).join();
    ASSERT_EQ(b.completions(), 1);
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(b.callbackThread(), controlThread);
    EXPECT_NE(b.callbackThread(), kyrsim_thread_id());
}

TEST_F(StreamThreads, CaptureThreadStreamsWhileOthersSendRequests) {
    ASSERT_TRUE(cam.setFrameInterval(std::chrono::milliseconds(2)));
    std::atomic<bool> running{true};
    std::atomic<int> frames{0}, badFrames{0};
    std::thread capture([&] {
        std::vector<unsigned char> buf(kFrame);
        while (running.load()) {
            int got = 0;
            const int r = libusb_bulk_transfer(h, 0x81, buf.data(), kFrame, &got, 200);
            if (r == 0 && got == kFrame && word(buf, 0) == 0x5A7E && word(buf, kFrame / 2 - 1) == 0x3CF0)
                ++frames;
            else if (r != LIBUSB_ERROR_TIMEOUT)
                ++badFrames;
        }
    });
    std::mutex usbLock;
    std::vector<std::thread> controllers;
    for (int t = 0; t < 2; ++t)
        controllers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                std::lock_guard<std::mutex> lk(usbLock);
                writeFpga(h, 12 + t, i);
                readFpga(h, 35);
            }
        });
    for (auto& c : controllers) c.join();
    const auto t0 = std::chrono::steady_clock::now();
    while (frames.load() < 10 && elapsedMs(t0) < 5000) std::this_thread::yield();
    running = false;
    capture.join();
    EXPECT_GE(frames.load(), 10);
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_EQ(kyrsim_overlap_count(), 0);
    EXPECT_EQ(kyrsim_inflight_transfers(), 0);
}

}  // namespace

// The simulated frame stream and libusb's asynchronous transfer semantics:
// frame size and markers from the FPGA registers, gating, pacing, the test
// scene, cancel, resubmit, free, timeouts, the in-flight cap, the stream
// faults and failing transfer allocations.
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "streamtest.hpp"

using namespace simtest;

namespace {

class Stream : public Streaming {};

TEST_F(Stream, FrameSizeFollowsTheFpgaWindowAndBitDepth) {
    struct Case {
        int width, height;
        bool out16;
        int sizeOverride;
        int bytes;
    };
    const Case cases[] = {
        {64, 24, false, 0, 64 * 24}, {64, 24, true, 0, 64 * 24 * 2}, {320, 3, false, 0, 960},
        {0, 24, false, 0, 0},        {64, 24, true, 1000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width * 1000 + c.height);
        setWindow(h, c.width, c.height, c.out16);
        ASSERT_TRUE(cam.setFrameSize(c.sizeOverride));
        EXPECT_EQ(cam.query(KYRSIM_Q_FRAME_BYTES), c.bytes);
        if (c.bytes == 0) continue;
        Bulk b(h, 0x81, c.bytes * 2 + 512);
        ASSERT_EQ(b.submit(), 0);
        ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
        EXPECT_EQ(b.status(), LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(b.actual(), c.bytes);  // the frame's end cuts the transfer short
        EXPECT_EQ(b.data(), cam.lastFrame());
    }
}

TEST_F(Stream, LatchedWindowTakesEffectOnlyWhenReleased) {
    writeFpga(h, 1, 1);
    writeFpga(h, 4, 32);
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAME_BYTES), kFrame);
    writeFpga(h, 1, 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAME_BYTES), 32 * kHeight);
}

TEST_F(Stream, TransfersCompleteWhenFullOrWhenTheFrameEnds) {
    ASSERT_TRUE(cam.setFrameSize(2500));
    Bulk a(h, 0x81, 1024), b(h, 0x81, 1024), c(h, 0x81, 1024), d(h, 0x81, 1024);
    for (Bulk* x : {&a, &b, &c, &d}) ASSERT_EQ(x->submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a, &b, &c, &d}));
    EXPECT_EQ(a.actual(), 1024);
    EXPECT_EQ(b.actual(), 1024);
    EXPECT_EQ(c.actual(), 452);   // the end of the first frame
    EXPECT_EQ(d.actual(), 1024);  // the second frame starts in a new transfer
    std::vector<unsigned char> first = a.data();
    for (const Bulk* x : {&b, &c}) {
        const auto part = x->data();
        first.insert(first.end(), part.begin(), part.end());
    }
    ASSERT_EQ(first.size(), 2500u);
    EXPECT_EQ(word(first, 0), 0x5A7E);
    EXPECT_EQ(word(d.data(), 0), 0x5A7E);
    EXPECT_EQ(word(d.data(), 1), static_cast<uint16_t>(word(first, 1) + 1));
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES_DONE), 1);
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 2);
}

TEST_F(Stream, GenerationAMarkersWithACounterThatWrapsEarly) {
    std::vector<uint16_t> counters;
    for (int i = 0; i < 6; ++i) {
        const auto f = frame();
        ASSERT_EQ(f.size(), static_cast<size_t>(kFrame));
        const size_t n = f.size() / 2;
        EXPECT_EQ(word(f, 0), 0x5A7E);
        EXPECT_EQ(word(f, n - 1), 0x3CF0);
        EXPECT_EQ(word(f, 1), word(f, n - 2));
        counters.push_back(word(f, 1));
    }
    EXPECT_EQ(counters, (std::vector<uint16_t>{0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF, 0x0000, 0x0001}));
    ASSERT_TRUE(cam.setFrameCounter(7));
    EXPECT_EQ(word(frame(), 1), 7);
}

TEST_F(Stream, MarkerGenerationsBAndCAndNone) {
    ASSERT_TRUE(cam.setMarkers(KYRSIM_MARKERS_NONE));
    const auto plain = frame();
    EXPECT_NE(word(plain, 0), 0x5A7E);
    EXPECT_EQ(plain, cam.lastFrame());

    ASSERT_TRUE(cam.setMarkers(KYRSIM_MARKERS_B));
    auto f = frame();
    EXPECT_EQ(word(f, 0), 0xAA11);
    EXPECT_EQ(word(f, f.size() / 2 - 1), 0x11AA);
    EXPECT_TRUE(std::equal(f.begin() + 2, f.end() - 2, plain.begin() + 2));  // no counters

    ASSERT_TRUE(cam.setMarkers(KYRSIM_MARKERS_C));
    f = frame();
    EXPECT_EQ(std::vector<unsigned char>(f.begin(), f.begin() + 4),
              (std::vector<unsigned char>{0x11, 0xAA, 0x00, 0xBB}));
    EXPECT_TRUE(std::equal(f.begin() + 4, f.end(), plain.begin() + 4));  // no tail
}

TEST_F(Stream, FirstGenerationProfilesStreamOnTheirOwnEndpointAndMarkers) {
    struct Case {
        int product;
        int markers;
        int endpoint;
    };
    const Case cases[] = {{0x839a, KYRSIM_MARKERS_C, 0x82},
                          {0x810c, KYRSIM_MARKERS_B, 0x81},
                          {0x808a, KYRSIM_MARKERS_A, 0x81},
                          {0x1234, KYRSIM_MARKERS_A, 0x81}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        kyrsim_profile p;
        ASSERT_EQ(kyrsim_get_profile(c.product, &p), 0);
        EXPECT_EQ(p.markers, c.markers);
        EXPECT_EQ(p.endpoint, c.endpoint);
    }
    // A camera without FPGA streams whatever size the test gives, gated by start and stop only.
    kyrsim::Device old = kyrsim::plug(0x839a, 2, "1");
    libusb_device_handle* ho = usb.open(old);
    ASSERT_NE(ho, nullptr);
    EXPECT_EQ(old.query(KYRSIM_Q_FRAME_BYTES), 0);
    ASSERT_TRUE(old.setFrameSize(3000));
    ASSERT_EQ(out(ho, 0xA9), 0);
    std::vector<unsigned char> buf(4096);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(ho, 0x82, buf.data(), 4096, &got, 1000), 0);
    EXPECT_EQ(got, 3000);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 4),
              (std::vector<unsigned char>{0x11, 0xAA, 0x00, 0xBB}));
    EXPECT_EQ(libusb_bulk_transfer(ho, 0x81, buf.data(), 4096, &got, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(got, 0);
}

TEST_F(Stream, FramesFlowOnlyWhileStartedAndTheFpgaRuns) {
    struct Case {
        const char* what;
        std::function<void()> close;
        std::function<void()> open;
    };
    const Case cases[] = {
        {"stream stopped", [&] { out(h, 0xAA); }, [&] { out(h, 0xA9); }},
        {"FPGA output stopped", [&] { writeFpga(h, 0, 0x11); }, [&] { writeFpga(h, 0, 0x01); }},
        {"FPGA held in reset", [&] { cam.setFpga(0, 0x00); }, [&] { cam.setFpga(0, 0x01); }},
        {"parallel bus lent to the flash", [&] { out(h, 0xBE, 0); }, [&] { out(h, 0xBE, 1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.close();
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 0);
        Bulk b(h, 0x81, kFrame, 30);
        ASSERT_EQ(b.submit(), 0);
        ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
        EXPECT_EQ(b.status(), LIBUSB_TRANSFER_TIMED_OUT);
        EXPECT_EQ(b.actual(), 0);

        // A pending transfer without timeout stays pending while closed, and
        // receives the next frame once frames flow again.
        Bulk p(h, 0x81, kFrame, 0);
        ASSERT_EQ(p.submit(), 0);
        timeval tv{0, 20 * 1000};
        libusb_handle_events_timeout(usb.ctx(), &tv);
        EXPECT_EQ(p.completions(), 0);
        c.open();
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 1);
        ASSERT_TRUE(waitAll(usb.ctx(), {&p}));
        EXPECT_EQ(p.actual(), kFrame);
        EXPECT_EQ(word(p.data(), 0), 0x5A7E);
    }
}

TEST_F(Stream, StopMidFrameDropsTheRestOfTheFrame) {
    Bulk a(h, 0x81, 1000);
    ASSERT_EQ(a.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a}));
    ASSERT_EQ(a.actual(), 1000);  // part of the first frame
    out(h, 0xAA);
    out(h, 0xA9);
    Bulk b(h, 0x81, kFrame);
    ASSERT_EQ(b.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.actual(), kFrame);
    EXPECT_EQ(word(b.data(), 0), 0x5A7E);  // a whole new frame
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 2);
}

TEST_F(Stream, PacingSpacesFrameStarts) {
    ASSERT_TRUE(cam.setFrameInterval(std::chrono::milliseconds(40)));
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) ASSERT_EQ(frame().size(), static_cast<size_t>(kFrame));
    EXPECT_GE(elapsedMs(t0), 3 * 40 - 5);
    ASSERT_TRUE(cam.setFrameInterval(std::chrono::microseconds(0)));
    const auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(frame().size(), static_cast<size_t>(kFrame));
    EXPECT_LT(elapsedMs(t1), 2000);
}

TEST_F(Stream, CallbacksRunOnlyInsideEventCallsOnTheCallingThread) {
    Bulk b(h, 0x81, kFrame);
    ASSERT_EQ(b.submit(), 0);
    EXPECT_EQ(kyrsim_inflight_transfers(), 1);
    EXPECT_EQ(b.completions(), 0);  // data is there, but no event call ran yet
    timeval tv{1, 0};
    ASSERT_EQ(libusb_handle_events_timeout(usb.ctx(), &tv), 0);
    EXPECT_EQ(b.completions(), 1);
    EXPECT_EQ(b.callbackThread(), kyrsim_thread_id());
    EXPECT_EQ(kyrsim_inflight_transfers(), 0);
}

TEST_F(Stream, EventCallsRunAsManyCallbacksAsAllowed) {
    ASSERT_TRUE(cam.setUnpaced(true));  // every frame there at once
    ASSERT_TRUE(cam.setFrameSize(100));
    Bulk a(h, 0x81, 100), b(h, 0x81, 100), c(h, 0x81, 100);
    for (Bulk* x : {&a, &b, &c}) ASSERT_EQ(x->submit(), 0);
    kyrsim_set_events_per_call(1);
    timeval tv{1, 0};
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(a.completions() + b.completions() + c.completions(), 1);
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(a.completions() + b.completions() + c.completions(), 2);
    kyrsim_set_events_per_call(0);
    for (Bulk* x : {&a, &b}) ASSERT_EQ(x->submit(), 0);
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(a.completions() + b.completions() + c.completions(), 3);  // all that were ready

    int completed = 0;
    ASSERT_EQ(a.submit(), 0);
    completed = 1;  // an already completed flag returns at once, without running callbacks
    libusb_handle_events_completed(usb.ctx(), &completed);
    EXPECT_EQ(a.completions(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a}));
}

TEST_F(Stream, CancelCompletesLaterAsCancelled) {
    out(h, 0xAA);
    Bulk b(h, 0x81, kFrame, 0);
    Bulk never(h, 0x81, kFrame);
    EXPECT_EQ(libusb_cancel_transfer(never.xfer()), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(b.submit(), 0);
    EXPECT_EQ(libusb_cancel_transfer(b.xfer()), 0);
    EXPECT_EQ(libusb_cancel_transfer(b.xfer()), LIBUSB_ERROR_NOT_FOUND);  // already cancelled
    EXPECT_EQ(b.completions(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(b.actual(), 0);
    EXPECT_EQ(libusb_cancel_transfer(b.xfer()), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(cam.query(KYRSIM_Q_INFLIGHT), 0);
}

TEST_F(Stream, CancelAfterCompletionKeepsTheData) {
    ASSERT_TRUE(cam.setUnpaced(true));  // the frame there at once
    Bulk b(h, 0x81, kFrame);
    ASSERT_EQ(b.submit(), 0);
    timeval tv{0, 0};
    libusb_handle_events_timeout(usb.ctx(), &tv);  // completes it on the device side
    EXPECT_EQ(b.completions(), 1);
    EXPECT_EQ(libusb_cancel_transfer(b.xfer()), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_COMPLETED);
}

TEST_F(Stream, ResubmittingATransferInFlightIsBusy) {
    out(h, 0xAA);
    Bulk b(h, 0x81, kFrame, 0);
    ASSERT_EQ(b.submit(), 0);
    EXPECT_EQ(libusb_submit_transfer(b.xfer()), LIBUSB_ERROR_BUSY);
    libusb_cancel_transfer(b.xfer());
    EXPECT_EQ(libusb_submit_transfer(b.xfer()), LIBUSB_ERROR_BUSY);  // until its callback ran
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    out(h, 0xA9);
    ASSERT_EQ(b.submit(), 0);  // reusable after the callback
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.actual(), kFrame);
}

TEST_F(Stream, FreeingATransferInFlightIsCountedNotFatal) {
    out(h, 0xAA);
    const int live = kyrsim_live_transfers();
    int calls = 0;
    libusb_transfer* x = libusb_alloc_transfer(0);
    std::vector<unsigned char> buf(kFrame);
    libusb_fill_bulk_transfer(
        x, h, 0x81, buf.data(), kFrame, [](libusb_transfer* t) { ++*static_cast<int*>(t->user_data); },
        &calls, 0);
    EXPECT_EQ(kyrsim_live_transfers(), live + 1);
    ASSERT_EQ(libusb_submit_transfer(x), 0);
    libusb_free_transfer(x);
    EXPECT_EQ(kyrsim_freed_in_flight(), 1);
    EXPECT_EQ(kyrsim_live_transfers(), live);
    EXPECT_EQ(kyrsim_inflight_transfers(), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_INFLIGHT_BYTES), 0);
    out(h, 0xA9);
    timeval tv{0, 30 * 1000};
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(frame().size(), static_cast<size_t>(kFrame));  // the stream goes on
}

TEST_F(Stream, TimeoutsAreHonouredAndZeroMeansNone) {
    out(h, 0xAA);
    Bulk timed(h, 0x81, kFrame, 50);
    Bulk forever(h, 0x81, kFrame, 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(forever.submit(), 0);
    ASSERT_EQ(timed.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&timed}));
    EXPECT_GE(elapsedMs(t0), 50);
    EXPECT_EQ(timed.status(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(forever.completions(), 0);
    timeval tv{0, 100 * 1000};
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(forever.completions(), 0);
    libusb_cancel_transfer(forever.xfer());
    ASSERT_TRUE(waitAll(usb.ctx(), {&forever}));
}

TEST_F(Stream, TransferWhoseTimeRanOutBeforeFramesFlowedIsNotFilledLater) {
    out(h, 0xAA);
    Bulk b(h, 0x81, kFrame, 30);
    ASSERT_EQ(b.submit(), 0);
    // No event call runs while the deadline passes; the device side is
    // brought up to date only afterwards and must keep the order of events.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    out(h, 0xA9);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(b.actual(), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 0);
}

TEST_F(Stream, BytesInFlightAreCapped) {
    struct Case {
        long long cap;
        int size;
        int fits;
    };
    const Case cases[] = {{4096, 1024, 4}, {16ll << 20, 1 << 20, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cap);
        ASSERT_TRUE(cam.setMaxInflight(c.cap));
        out(h, 0xAA);
        std::vector<std::unique_ptr<Bulk>> bulks;
        for (int i = 0; i <= c.fits; ++i) bulks.push_back(std::make_unique<Bulk>(h, 0x81, c.size, 0));
        for (int i = 0; i < c.fits; ++i) ASSERT_EQ(bulks[static_cast<size_t>(i)]->submit(), 0);
        EXPECT_EQ(bulks.back()->submit(), LIBUSB_ERROR_NO_MEM);
        EXPECT_EQ(cam.query(KYRSIM_Q_INFLIGHT_BYTES), c.cap);
        for (int i = 0; i < c.fits; ++i) libusb_cancel_transfer(bulks[static_cast<size_t>(i)]->xfer());
        timeval tv{0, 0};
        libusb_handle_events_timeout(usb.ctx(), &tv);
        EXPECT_EQ(bulks.back()->submit(), 0);  // room again
        libusb_cancel_transfer(bulks.back()->xfer());
        libusb_handle_events_timeout(usb.ctx(), &tv);
    }
}

void LIBUSB_CALL IgnoreDone(libusb_transfer*) {}

// Unless a test chooses otherwise, the camera sits on a host with the USB
// buffer memory the cameras' udev rule sets: 200 MiB in flight, not a byte more.
TEST_F(Stream, DefaultCapIsTheHostMemoryOfTheCamerasUdevRule) {
    out(h, 0xAA);  // no frame comes: the transfers stay queued and their shared buffer untouched
    constexpr int kSize = 8 << 20;
    constexpr int kFit = 25;  // 200 MiB
    std::vector<unsigned char> buf(kSize);
    std::vector<libusb_transfer*> xfers;
    for (int i = 0; i <= kFit; ++i) {
        xfers.push_back(libusb_alloc_transfer(0));
        libusb_fill_bulk_transfer(xfers.back(), h, 0x81, buf.data(), kSize, IgnoreDone, nullptr, 0);
    }
    for (int i = 0; i < kFit; ++i) EXPECT_EQ(libusb_submit_transfer(xfers[static_cast<size_t>(i)]), 0) << i;
    EXPECT_EQ(libusb_submit_transfer(xfers.back()), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(cam.query(KYRSIM_Q_INFLIGHT_BYTES), 200ll << 20);
    for (libusb_transfer* x : xfers) libusb_cancel_transfer(x);
    timeval tv{0, 0};
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(cam.query(KYRSIM_Q_INFLIGHT_BYTES), 0);
    for (libusb_transfer* x : xfers) libusb_free_transfer(x);
}

TEST_F(Stream, SubmitChecksEndpointTypeAndHandle) {
    Bulk wrongEp(h, 0x83, 512);
    EXPECT_EQ(wrongEp.submit(), LIBUSB_ERROR_NOT_FOUND);
    Bulk interrupt(h, 0x81, 512);
    interrupt.xfer()->type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
    EXPECT_EQ(interrupt.submit(), LIBUSB_ERROR_NOT_SUPPORTED);
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_SUBMIT, cam.handle(), LIBUSB_ERROR_IO, 1), 0);
    Bulk b(h, 0x81, 512);
    EXPECT_EQ(b.submit(), LIBUSB_ERROR_IO);
    EXPECT_EQ(b.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
}

TEST_F(Stream, EndpointWithoutTheStreamNeverDelivers) {
    Bulk other(h, 0x82, kFrame, 40);
    ASSERT_EQ(other.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&other}));
    EXPECT_EQ(other.status(), LIBUSB_TRANSFER_TIMED_OUT);
    ASSERT_TRUE(cam.setStreamEndpoint(0x82));
    EXPECT_EQ(frame(0x82).size(), static_cast<size_t>(kFrame));
}

TEST_F(Stream, ShortNotOkTurnsAShortTransferIntoAnError) {
    Bulk b(h, 0x81, kFrame + 100);
    b.xfer()->flags = LIBUSB_TRANSFER_SHORT_NOT_OK;
    ASSERT_EQ(b.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(b.actual(), kFrame);
}

TEST_F(Stream, SceneIsDeterministicAndFollowsTheOutputFormat) {
    ASSERT_TRUE(cam.setMarkers(KYRSIM_MARKERS_NONE));
    const auto f1 = frame();
    const auto f2 = frame();
    EXPECT_EQ(f1, f2);
    auto px = [&](const std::vector<unsigned char>& f, int x, int y) {
        return f[static_cast<size_t>(y * kWidth + x)];
    };
    // Top third: colour bars on the RGGB mosaic; the first bar is white, the last black.
    EXPECT_EQ(px(f1, 0, 0), 0xC0);
    EXPECT_EQ(px(f1, 1, 1), 0xC0);
    EXPECT_EQ(px(f1, kWidth - 2, 0), 0x10);
    // The second bar is yellow: red and green bright, blue dark.
    EXPECT_EQ(px(f1, kWidth / 8, 0), 0xC0);
    EXPECT_EQ(px(f1, kWidth / 8 + 1, 1), 0x10);
    // Middle third: a ramp from black to white.
    const int mid = kHeight / 2;
    EXPECT_EQ(px(f1, 0, mid), 0);
    EXPECT_EQ(px(f1, kWidth - 1, mid), 0xFF);
    for (int x = 1; x < kWidth; ++x) EXPECT_LE(px(f1, x - 1, mid), px(f1, x, mid));
    // Bottom third: dark sky with a star at half width, three quarters down.
    const int sx = kWidth / 2, sy = kHeight * 3 / 4;
    EXPECT_GT(px(f1, sx, sy), 0xE0);
    EXPECT_LT(px(f1, sx - 5, sy), 0x20);

    // 16-bit output keeps the ADC's bits, left-aligned.
    for (int fmt : {0x10, 0x11}) {
        SCOPED_TRACE(fmt);
        writeFpga(h, 10, fmt);
        Bulk b(h, 0x81, 2 * kFrame);
        ASSERT_EQ(b.submit(), 0);
        ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
        const auto f = b.data();
        ASSERT_EQ(f.size(), 2u * kFrame);
        const uint16_t lowBits = (fmt & 1) ? 0x000F : 0x003F;
        uint16_t seen = 0;
        for (size_t i = 0; i < f.size() / 2; ++i) {
            EXPECT_EQ(word(f, i) & lowBits, 0);
            seen |= word(f, i);
        }
        EXPECT_NE(seen & ((fmt & 1) ? 0x0030 : 0x0040), 0);  // the lowest ADC bits are used
        EXPECT_EQ(word(f, static_cast<size_t>(mid * kWidth + kWidth - 1)) >> 8, 0xFF);
    }
}

TEST_F(Stream, FrameNumberInEveryRow) {
    ASSERT_TRUE(cam.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    for (uint32_t n = 0; n < 3; ++n) {
        const auto f = frame();
        EXPECT_EQ(word(f, 0), 0x5A7E);  // the markers overwrite row 0
        for (int row = 1; row < kHeight; ++row) {
            const size_t o = static_cast<size_t>(row * kWidth);
            const uint32_t v =
                f[o] | (f[o + 1] << 8) | (f[o + 2] << 16) | (static_cast<uint32_t>(f[o + 3]) << 24);
            EXPECT_EQ(v, n);
        }
    }
}

TEST_F(Stream, DdrCacheResendsTheLastFrame) {
    EXPECT_EQ(readFpga(h, 35) & 0x04, 0);
    const auto first = frame();
    EXPECT_EQ(readFpga(h, 35) & 0x04, 0x04);  // a frame is held in the cache
    const int reg24 = readFpga(h, 24);
    writeFpga(h, 24, reg24 | 1);
    EXPECT_EQ(readFpga(h, 24) & 1, 0);  // the resend bit is a pulse
    EXPECT_EQ(frame(), first);          // same frame, same counter
    EXPECT_EQ(word(frame(), 1), static_cast<uint16_t>(word(first, 1) + 1));

    writeFpga(h, 10, 0x40);  // DDR bypassed: nothing is cached
    EXPECT_EQ(readFpga(h, 35) & 0x04, 0);
}

TEST_F(Stream, StallHaltsTheEndpointUntilTheHaltIsCleared) {
    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_STALL, 300));
    Bulk a(h, 0x81, kFrame), b(h, 0x81, kFrame);
    ASSERT_EQ(a.submit(), 0);
    ASSERT_EQ(b.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a, &b}));
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(a.actual(), 300);
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(cam.query(KYRSIM_Q_HALTED), 1);
    ASSERT_EQ(a.submit(), 0);  // still halted
    ASSERT_TRUE(waitAll(usb.ctx(), {&a}));
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_STALL);

    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_HALTED), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_CLEAR_HALTS_81), 1);
    const auto f = frame();
    ASSERT_EQ(f.size(), static_cast<size_t>(kFrame));
    EXPECT_EQ(word(f, 0), 0x5A7E);  // a new frame from its start
}

// An oversized packet ends the transfer it meets with an overflow, keeping
// the bytes before it; the rest of that frame is lost, the endpoint is not
// halted, and the next transfer gets the next frame from its start.
TEST_F(Stream, OverflowEndsTheTransferItMeetsAndLosesTheRestOfTheFrame) {
    constexpr int kBig = kFrame + 4096;
    struct Case {
        const char* what;
        int arg;
        int sizes[3];
        int status[3];
        int actual[3];
        int nextFrameAt;  // the transfer that starts the next frame
    };
    const int C = LIBUSB_TRANSFER_COMPLETED, O = LIBUSB_TRANSFER_OVERFLOW;
    const Case cases[] = {
        {"inside a transfer", 900, {600, 600, kBig}, {C, O, C}, {600, 300, kFrame}, 2},
        {"at a transfer boundary", 600, {600, 600, kBig}, {C, O, C}, {600, 0, kFrame}, 2},
        {"at the first byte", 0, {600, 600, kBig}, {O, C, C}, {0, 600, kFrame - 600}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const long long framesDone = cam.query(KYRSIM_Q_FRAMES_DONE);
        ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_OVERFLOW, c.arg));
        Bulk a(h, 0x81, c.sizes[0]), b(h, 0x81, c.sizes[1]), d(h, 0x81, c.sizes[2]);
        const Bulk* bulks[] = {&a, &b, &d};
        for (Bulk* x : {&a, &b, &d}) ASSERT_EQ(x->submit(), 0);
        ASSERT_TRUE(waitAll(usb.ctx(), {&a, &b, &d}));
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(bulks[i]->status(), c.status[i]);
            EXPECT_EQ(bulks[i]->actual(), c.actual[i]);
        }
        const std::vector<unsigned char> next = bulks[c.nextFrameAt]->data();
        ASSERT_GE(next.size(), 4u);
        EXPECT_EQ(word(next, 0), 0x5A7E);
        if (c.arg > 0) {
            EXPECT_EQ(word(next, 1), static_cast<uint16_t>(word(a.data(), 1) + 1));  // the frame after
        }
        EXPECT_EQ(cam.query(KYRSIM_Q_HALTED), 0);
        EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES_DONE), framesDone + 1) << "only the next frame ended whole";
    }
    EXPECT_EQ(frame().size(), static_cast<size_t>(kFrame));  // the fault acted on one frame each

    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_OVERFLOW, 10));
    std::vector<unsigned char> buf(kFrame);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), kFrame, &got, 1000), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(got, 10);
    EXPECT_EQ(kyrsim_stream_fault(cam.handle(), KYRSIM_STREAM_OVERFLOW + 1, 0, 0, 1), -1);
}

// libusb_alloc_transfer returns NULL for the chosen calls only; a failed
// allocation holds nothing, and the synchronous call reports it as no memory.
TEST_F(Stream, TransferAllocationFailsForTheChosenCalls) {
    struct Case {
        int nth, times;
        const char* pattern;  // the next five calls: 'x' fails, 'o' allocates
    };
    const Case cases[] = {{1, 2, "xxooo"}, {2, 1, "oxooo"}, {3, -1, "ooxxx"}, {1, 0, "ooooo"}};
    const int live = kyrsim_live_transfers();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        ASSERT_TRUE(kyrsim::failAlloc(c.nth, c.times));
        std::string got;
        std::vector<libusb_transfer*> made;
        for (int i = 0; i < 5; ++i) {
            libusb_transfer* x = libusb_alloc_transfer(0);
            got += x ? 'o' : 'x';
            if (x) made.push_back(x);
        }
        EXPECT_EQ(got, c.pattern);
        EXPECT_EQ(kyrsim_live_transfers(), live + static_cast<int>(made.size()));
        for (libusb_transfer* x : made) libusb_free_transfer(x);
        ASSERT_TRUE(kyrsim::failAlloc(1, 0));
    }
    EXPECT_EQ(kyrsim_live_transfers(), live);

    ASSERT_TRUE(kyrsim::failAlloc(1));
    std::vector<unsigned char> buf(kFrame);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), kFrame, &got, 1000), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), kFrame, &got, 1000), 0);
    EXPECT_EQ(got, kFrame);
    EXPECT_EQ(kyrsim_live_transfers(), live);

    // The allocation belongs to no camera, and the first call is the first.
    EXPECT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_ALLOC, cam.handle(), LIBUSB_ERROR_NO_MEM, 1, 1), -1);
    EXPECT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_ALLOC, KYRSIM_ANY, LIBUSB_ERROR_NO_MEM, 0, 1), -1);
    kyrsim::reset();  // clears the switch
    ASSERT_TRUE(kyrsim::failAlloc(1, -1));
    kyrsim::reset();
    libusb_transfer* x = libusb_alloc_transfer(0);
    EXPECT_NE(x, nullptr);
    libusb_free_transfer(x);
}

TEST_F(Stream, ClearHaltRestartsAtAFrameBoundary) {
    Bulk part(h, 0x81, 700);
    ASSERT_EQ(part.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&part}));
    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    EXPECT_EQ(word(frame(), 0), 0x5A7E);
}

TEST_F(Stream, NoDataForAWhileThenFramesAgain) {
    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_NO_DATA, 80));
    const auto t0 = std::chrono::steady_clock::now();
    Bulk a(h, 0x81, kFrame, 30);
    ASSERT_EQ(a.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a}));
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(frame().size(), static_cast<size_t>(kFrame));
    EXPECT_GE(elapsedMs(t0), 80);

    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_NO_DATA, 0));  // until cleared
    Bulk b(h, 0x81, kFrame, 0);
    ASSERT_EQ(b.submit(), 0);
    timeval tv{0, 50 * 1000};
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(b.completions(), 0);
    ASSERT_TRUE(cam.clearStreamFaults());
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.actual(), kFrame);
}

TEST_F(Stream, FrameFaultsChangeWhatIsSent) {
    struct Case {
        const char* what;
        int kind, arg;
        int bytes;          // bytes of the faulty frame
        uint16_t head;      // its first word
        uint16_t tail;      // its last word, when the frame is whole
        bool counterEqual;  // the two counter copies agree
    };
    const Case cases[] = {
        {"short by 100", KYRSIM_STREAM_SHORT, 100, kFrame - 100, 0x5A7E, 0, true},
        {"512 bytes short", KYRSIM_STREAM_SHORT_512, 0, kFrame - 512, 0x5A7E, 0, true},
        {"bad head", KYRSIM_STREAM_BAD_HEAD, 0, kFrame, static_cast<uint16_t>(~0x5A7E), 0x3CF0, true},
        {"bad tail", KYRSIM_STREAM_BAD_TAIL, 0, kFrame, 0x5A7E, static_cast<uint16_t>(~0x3CF0), true},
        {"bad counter", KYRSIM_STREAM_BAD_COUNTER, 0, kFrame, 0x5A7E, 0x3CF0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(cam.streamFault(c.kind, c.arg));
        const auto f = frame();
        ASSERT_EQ(f.size(), static_cast<size_t>(c.bytes));
        EXPECT_EQ(word(f, 0), c.head);
        if (c.bytes == kFrame) {
            EXPECT_EQ(word(f, f.size() / 2 - 1), c.tail);
            EXPECT_EQ(word(f, 1) == word(f, f.size() / 2 - 2), c.counterEqual);
        }
        const auto next = frame();  // one frame only
        ASSERT_EQ(next.size(), static_cast<size_t>(kFrame));
        EXPECT_EQ(word(next, 0), 0x5A7E);
        EXPECT_EQ(word(next, next.size() / 2 - 1), 0x3CF0);
        EXPECT_EQ(word(next, 1), word(next, next.size() / 2 - 2));
    }
}

TEST_F(Stream, FaultsActOnTheChosenFrames) {
    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_BAD_HEAD, 0, 1, 2));  // frames 1 and 2 from now
    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_COUNTER_SKIP, 10, 4));
    std::vector<bool> good;
    std::vector<uint16_t> counters;
    for (int i = 0; i < 6; ++i) {
        const auto f = frame();
        good.push_back(word(f, 0) == 0x5A7E);
        counters.push_back(word(f, 1));
    }
    EXPECT_EQ(good, (std::vector<bool>{true, false, false, true, true, true}));
    EXPECT_EQ(counters, (std::vector<uint16_t>{0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF, 0x000A, 0x000B}));
}

TEST_F(Stream, EmptyTransfersBeforeAFrame) {
    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_EMPTY, 2));
    Bulk a(h, 0x81, kFrame), b(h, 0x81, kFrame), c(h, 0x81, kFrame);
    for (Bulk* x : {&a, &b, &c}) ASSERT_EQ(x->submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a, &b, &c}));
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(a.actual(), 0);
    EXPECT_EQ(b.actual(), 0);
    EXPECT_EQ(c.actual(), kFrame);
    EXPECT_EQ(word(c.data(), 0), 0x5A7E);
}

TEST_F(Stream, UnplugMidFrameEndsEveryTransferWithNoDevice) {
    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_UNPLUG, 1000));
    Bulk a(h, 0x81, 600), b(h, 0x81, 600), c(h, 0x81, 600);
    for (Bulk* x : {&a, &b, &c}) ASSERT_EQ(x->submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a, &b, &c}));
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(a.actual(), 600);
    EXPECT_EQ(b.status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(b.actual(), 400);
    EXPECT_EQ(c.status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_FALSE(cam.plugged());
    EXPECT_EQ(a.submit(), LIBUSB_ERROR_NO_DEVICE);
    std::vector<unsigned char> buf(64);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), 64, &got, 100), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Stream, DeviceResetAndCloseEndTransfers) {
    out(h, 0xAA);
    Bulk a(h, 0x81, kFrame, 0);
    ASSERT_EQ(a.submit(), 0);
    ASSERT_EQ(libusb_reset_device(h), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&a}));
    EXPECT_EQ(a.status(), LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(cam.query(KYRSIM_Q_STREAMING), 0);

    ASSERT_EQ(a.submit(), 0);
    usb.close(h);  // closing with a transfer in flight: counted, the transfer is dropped
    EXPECT_EQ(cam.query(KYRSIM_Q_CLOSED_BUSY), 1);
    EXPECT_EQ(kyrsim_inflight_transfers(), 0);
    timeval tv{0, 10 * 1000};
    libusb_handle_events_timeout(usb.ctx(), &tv);
    EXPECT_EQ(a.completions(), 0);
}

// A host controller that loses cancelled transfers: the cancel succeeds, the
// transfer stays in flight and gets nothing, no callback runs, the counters
// show it, and freeing it counts as freed in flight. Finished late, its
// buffer is written and its callback runs.
TEST_F(Stream, LostCancelledTransferNeverComesBackUntilFinished) {
    ASSERT_EQ(out(h, 0xAA), 0);  // no frames: the transfer waits
    ASSERT_EQ(kyrsim_lose_cancelled(cam.handle(), 1), 0);
    {
        Bulk b(h, 0x81, kFrame, 0);
        ASSERT_EQ(b.submit(), 0);
        EXPECT_EQ(libusb_cancel_transfer(b.xfer()), 0);
        timeval tv{0, 50 * 1000};
        libusb_handle_events_timeout(usb.ctx(), &tv);
        EXPECT_EQ(b.completions(), 0);
        EXPECT_EQ(kyrsim_inflight_transfers(), 1);
        EXPECT_EQ(kyrsim_lost_transfers(), 1);
        EXPECT_EQ(libusb_cancel_transfer(b.xfer()), LIBUSB_ERROR_NOT_FOUND);
        EXPECT_EQ(kyrsim_finish_lost_transfers(), 1);
        EXPECT_TRUE(waitAll(usb.ctx(), {&b}));
        EXPECT_EQ(b.status(), LIBUSB_TRANSFER_CANCELLED);
        EXPECT_EQ(b.buffer()[0], 0xA5);
        EXPECT_EQ(kyrsim_lost_transfers(), 0);
    }
    std::vector<unsigned char> buf(kFrame);
    libusb_transfer* x = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(
        x, h, 0x81, buf.data(), kFrame, [](libusb_transfer*) {}, nullptr, 0);
    ASSERT_EQ(libusb_submit_transfer(x), 0);
    ASSERT_EQ(libusb_cancel_transfer(x), 0);
    EXPECT_EQ(kyrsim_freed_in_flight(), 0);
    libusb_free_transfer(x);
    EXPECT_EQ(kyrsim_freed_in_flight(), 1);
    EXPECT_EQ(kyrsim_inflight_transfers(), 0);
}

TEST_F(Stream, SynchronousBulkTransfer) {
    std::vector<unsigned char> buf(kFrame + 10);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), static_cast<int>(buf.size()), &got, 1000), 0);
    EXPECT_EQ(got, kFrame);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + kFrame), cam.lastFrame());

    ASSERT_TRUE(cam.streamFault(KYRSIM_STREAM_STALL, 10));
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), static_cast<int>(buf.size()), &got, 1000),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(got, 10);
    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    out(h, 0xAA);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf.data(), static_cast<int>(buf.size()), &got, 30),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(kyrsim_live_transfers(), 0);
}

}  // namespace

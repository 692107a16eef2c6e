// Frame timing of FPGA cameras: frames paced by the programmed line and frame
// length, no faster than the link and the DDR's output pacing let the host
// carry them, a test's interval over both; and the wait and trigger mode,
// where a frame comes only when the trigger signal falls.
#include <memory>

#include "streamtest.hpp"

using namespace simtest;

namespace {

constexpr long long kClockKHz = 20000;  // the 832's sensor clock
constexpr int kRegVmax = 16, kRegHmax = 19, kRegBandwidth = 36;
constexpr int kFmtDdrBypass = 0x40;

long long ceilDiv(long long a, long long b) { return (a + b - 1) / b; }

// One frame per VMAX x HMAX clocks.
long long sensorPeriodUs(long long vmax, long long hmax) { return ceilDiv(vmax * hmax * 1000, kClockKHz); }

// The host carries the DDR's output at 25600 / (v + 256) percent of 400 MB/s:
// bytes / (400 x percent / 100) microseconds.
long long ddrPeriodUs(long long bytes, long long v) { return ceilDiv(bytes * 100 * (v + 256), 400 * 25600); }

// The fixture's USB-3 link carries 400 MB/s.
long long linkUs(long long bytes) { return ceilDiv(bytes, 400); }

class FrameTiming : public Streaming {
  protected:
    void setTiming(long long vmax, long long hmax) {
        writeFpgaWide(h, kRegVmax, vmax, 3);
        writeFpgaWide(h, kRegHmax, hmax, 2);
    }

    // Queues n transfers at once; the time each frame came, in microseconds after `t0`
    // (taken before the transfers were submitted, so no frame can be earlier).
    std::vector<long long> frameTimes(int n, int waitMs = 5000) {
        std::vector<std::unique_ptr<Bulk>> bulks;
        const long long t0 = kyrsim_now_us();
        for (int i = 0; i < n; ++i) {
            bulks.push_back(std::make_unique<Bulk>(h, 0x81, 1 << 20, 0));
            EXPECT_EQ(bulks.back()->submit(), 0);
        }
        const auto start = std::chrono::steady_clock::now();
        auto done = [&] { return bulks.back()->completions() > 0; };
        while (!done() && elapsedMs(start) < waitMs) {
            timeval tv{0, 20 * 1000};
            libusb_handle_events_timeout(usb.ctx(), &tv);
        }
        std::vector<long long> times;
        for (auto& b : bulks) {
            if (b->completions() == 0) libusb_cancel_transfer(b->xfer());
            EXPECT_EQ(b->status(), LIBUSB_TRANSFER_COMPLETED);
            times.push_back(b->callbackUs() - t0);
        }
        waitAll(usb.ctx(), {});  // cancelled transfers (none when all went well) come back
        for (auto& b : bulks)
            while (b->completions() == 0) {
                timeval tv{0, 20 * 1000};
                libusb_handle_events_timeout(usb.ctx(), &tv);
            }
        return times;
    }

    // Frames come no sooner than one period after the other, and (generously) not much later.
    void expectPaced(const std::vector<long long>& times, long long periodUs) {
        for (size_t k = 0; k < times.size(); ++k)
            EXPECT_GE(times[k], static_cast<long long>(k) * periodUs) << "frame " << k;
        EXPECT_LT(times.back(), static_cast<long long>(times.size() - 1) * periodUs + 1'000'000);
    }
};

TEST_F(FrameTiming, PeriodInForceFollowsTheTimingRegisters) {
    struct Case {
        const char* what;
        int width, height;
        bool out16, ddr;
        long long vmax, hmax, v;
    };
    const Case cases[] = {
        {"small frame, DDR bypassed", 64, 24, false, false, 1000, 200, 0},
        {"full 8-bit frame at 80 %: the host is slower than the sensor", 3840, 2160, false, true, 2220, 192,
         64},
        {"the same with the DDR bypassed", 3840, 2160, false, false, 2220, 192, 64},
        {"full 8-bit frame at 100 %: the sensor is slower", 3840, 2160, false, true, 2220, 192, 1},
        {"full 16-bit frame at 80 %", 3840, 2160, true, true, 2220, 192, 64},
        {"80 % scaled for USB 2", 3840, 2160, false, true, 2220, 192, 2703},
        {"binned readout, long lines", 1920, 1080, false, true, 2220, 356, 64},
        {"VMAX 0: the output alone", 64, 24, false, true, 0, 192, 64},
        {"HMAX 0: the output alone", 64, 24, false, true, 2220, 0, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setWindow(h, c.width, c.height, c.out16);
        if (!c.ddr) writeFpga(h, 10, readFpga(h, 10) | kFmtDdrBypass);
        setTiming(c.vmax, c.hmax);
        writeFpgaWide(h, kRegBandwidth, c.v, 2);
        const long long bytes = static_cast<long long>(c.width) * c.height * (c.out16 ? 2 : 1);
        long long expected = linkUs(bytes);
        if (c.vmax != 0 && c.hmax != 0) expected = std::max(expected, sensorPeriodUs(c.vmax, c.hmax));
        if (c.ddr) expected = std::max(expected, ddrPeriodUs(bytes, c.v));
        EXPECT_EQ(cam.framePeriod().count(), expected);
    }
}

TEST_F(FrameTiming, FramesComeOneVmaxTimesHmaxApart) {
    writeFpga(h, 10, kFmtDdrBypass);
    const struct { long long vmax, hmax; } cases[] = {{1000, 200}, {500, 800}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vmax);
        setTiming(c.vmax, c.hmax);
        const long long period = sensorPeriodUs(c.vmax, c.hmax);
        ASSERT_EQ(cam.framePeriod().count(), period);
        expectPaced(frameTimes(5), period);
    }
}

TEST_F(FrameTiming, DdrOutputPacingLimitsTheFrameRate) {
    const int width = 64, height = 1200;
    setWindow(h, width, height);
    setTiming(10, 200);                          // the sensor alone: 100 us a frame
    writeFpgaWide(h, kRegBandwidth, 0xFFFE, 2);  // the slowest output pacing
    const long long limited = ddrPeriodUs(width * height, 0xFFFE);
    ASSERT_GT(limited, sensorPeriodUs(10, 200));
    ASSERT_EQ(cam.framePeriod().count(), limited);
    expectPaced(frameTimes(5), limited);

    // The DDR bypassed, the sensor's own timing and the link hold.
    writeFpga(h, 10, kFmtDdrBypass);
    ASSERT_EQ(cam.framePeriod().count(), std::max(sensorPeriodUs(10, 200), linkUs(width * height)));
    const auto times = frameTimes(6);
    EXPECT_LT(times.back() - times.front(), 5 * limited);
}

TEST_F(FrameTiming, ZeroVmaxOrHmaxLeavesOnlyTheLink) {
    writeFpga(h, 10, kFmtDdrBypass);
    setTiming(1000, 60000);  // three seconds a frame
    EXPECT_EQ(cam.framePeriod().count(), 3'000'000);
    setTiming(1000, 0);
    EXPECT_EQ(cam.framePeriod().count(), linkUs(kFrame));
    setTiming(0, 60000);
    EXPECT_EQ(cam.framePeriod().count(), linkUs(kFrame));
    const auto times = frameTimes(5);
    EXPECT_LT(times.back(), 1'000'000);
}

TEST_F(FrameTiming, TestIntervalOverridesTheRegisters) {
    writeFpga(h, 10, kFmtDdrBypass);
    setTiming(1000, 60000);  // three seconds a frame
    ASSERT_TRUE(cam.setFrameInterval(std::chrono::milliseconds(5)));
    EXPECT_EQ(cam.framePeriod().count(), 5000);
    expectPaced(frameTimes(5), 5000);
    EXPECT_LT(frameTimes(2).back(), 1'000'000);

    ASSERT_TRUE(cam.setFrameInterval(std::chrono::microseconds(0)));
    EXPECT_EQ(cam.framePeriod().count(), 3'000'000);
}

TEST_F(FrameTiming, CamerasWithoutASensorClockAreNotPacedByTheRegisters) {
    kyrsim::Device other = kyrsim::plug(0x826e, 1, "2");
    libusb_device_handle* h2 = usb.open(other);
    ASSERT_NE(h2, nullptr);
    writeFpgaWide(h2, kRegVmax, 1000, 3);
    writeFpgaWide(h2, kRegHmax, 200, 2);
    EXPECT_EQ(other.framePeriod().count(), 0);
    ASSERT_TRUE(other.setFrameInterval(std::chrono::milliseconds(7)));
    EXPECT_EQ(other.framePeriod().count(), 7000);
}

// Wait and trigger mode: no free-running frames; each fall of the trigger
// signal ends an exposure and sends its frame after one sensor period; the
// frame stays in the DDR cache and can be sent again, at once.
TEST_F(FrameTiming, WaitAndTriggerModeSendOneFramePerTriggerFall) {
    setTiming(1000, 1000);  // 50 ms a frame
    const long long period = sensorPeriodUs(1000, 1000);
    for (int mode : {0xC0, 0x40, 0x80}) {
        SCOPED_TRACE(mode);
        writeFpga(h, 0, 0x01 | mode);
        EXPECT_TRUE(cam.triggerWait());
        const long long started = cam.query(KYRSIM_Q_FRAMES);

        Bulk b(h, 0x81, kFrame + 4096, 0);
        ASSERT_EQ(b.submit(), 0);
        EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 100));  // nothing runs free
        writeFpga(h, 11, 0x01);                       // exposure starts
        EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 50));
        const long long fall = kyrsim_now_us();
        writeFpga(h, 11, 0x00);  // exposure ends: the frame comes
        ASSERT_TRUE(waitAll(usb.ctx(), {&b}, 1000));
        EXPECT_EQ(b.status(), LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(b.actual(), kFrame);
        EXPECT_GE(b.callbackUs(), fall + period);
        EXPECT_GE(cam.frameStarts().back(), fall + period);
        EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), started + 1);
        const auto first = b.data();

        // One frame per fall.
        ASSERT_EQ(b.submit(), 0);
        EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 100));
        // The frame held in the DDR cache is sent again on request, without a sensor period.
        writeFpga(h, 24, readFpga(h, 24) | 0x01);
        const long long asked = kyrsim_now_us();
        ASSERT_TRUE(waitAll(usb.ctx(), {&b}, 1000));
        EXPECT_EQ(b.data(), first);
        EXPECT_LE(cam.frameStarts().back(), asked);
        // The next exposure gives the next frame.
        ASSERT_EQ(b.submit(), 0);
        EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 50));
        writeFpga(h, 11, 0x01);
        writeFpga(h, 11, 0x00);
        ASSERT_TRUE(waitAll(usb.ctx(), {&b}, 1000));
        EXPECT_EQ(word(b.data(), 1), static_cast<uint16_t>(word(first, 1) + 1));
        EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), started + 3);  // two exposures and the resend

        // Out of the mode, frames run free again.
        writeFpga(h, 0, 0x01);
        EXPECT_FALSE(cam.triggerWait());
        ASSERT_TRUE(cam.setFrameInterval(std::chrono::milliseconds(1)));
        EXPECT_EQ(frame().size(), static_cast<size_t>(kFrame));
        ASSERT_TRUE(cam.setFrameInterval(std::chrono::microseconds(0)));
    }
}

// A fall of the trigger signal outside the mode sends nothing extra, and one
// before the mode is entered is not remembered.
TEST_F(FrameTiming, TriggerFallOutsideTheModeSendsNothing) {
    setTiming(1000, 60000);
    const auto free = frame();  // the first frame is due at once
    writeFpga(h, 11, 0x01);
    writeFpga(h, 11, 0x00);
    writeFpga(h, 0, 0xC1);
    Bulk b(h, 0x81, kFrame + 4096, 0);
    ASSERT_EQ(b.submit(), 0);
    EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 150));
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 1);
    ASSERT_EQ(libusb_cancel_transfer(b.xfer()), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
}

}  // namespace

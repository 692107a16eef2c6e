// The link between camera and host: a frame's bytes leave at the link's rate
// (or the DDR's paced output), progressively, so transfers complete one after
// another; the frame interval is the longer of the sensor period and the
// output time; the unpaced option and a fixed interval win over both. And the
// sensor side of the profile as data: standby predicates, colour, no DDR.
#include <cmath>
#include <memory>

#include "streamtest.hpp"

using namespace simtest;

namespace {

constexpr int kRegVmax = 16, kRegHmax = 19, kRegBandwidth = 36;
constexpr int kFmtDdrBypass = 0x40;
constexpr int kUhdWidth = 3840, kUhdHeight = 2160;
constexpr long long kUhdBytes = 8'294'400;  // one 3840 x 2160 8-bit frame
constexpr long long kUsb3Rate = 400'000'000, kUsb2Rate = 43'272'000;

long long ceilDiv(long long a, long long b) { return (a + b - 1) / b; }

// Microseconds `bytes` take at `rate` bytes per second, rounded up.
long long bytesUs(long long bytes, double rate) {
    return static_cast<long long>(std::ceil(static_cast<double>(bytes) * 1e6 / rate - 1e-6));
}

// The DDR's output at pacing value v: 400 MB/s x 25600 / (v + 256) percent.
double ddrRate(long long v) { return 400e6 * 256.0 / static_cast<double>(v + 256); }

class Link : public Streaming {
  protected:
    void setTiming(long long vmax, long long hmax) {
        writeFpgaWide(h, kRegVmax, vmax, 3);
        writeFpgaWide(h, kRegHmax, hmax, 2);
    }

    // Queues `n` transfers of `length` bytes with `timeoutMs` each and waits for them all.
    std::vector<std::unique_ptr<Bulk>> receive(int n, int length, unsigned timeoutMs = 0, int waitMs = 5000) {
        std::vector<std::unique_ptr<Bulk>> bulks;
        for (int i = 0; i < n; ++i) {
            bulks.push_back(std::make_unique<Bulk>(h, 0x81, length, timeoutMs));
            EXPECT_EQ(bulks.back()->submit(), 0);
        }
        const auto t0 = std::chrono::steady_clock::now();
        auto done = [&] {
            for (auto& b : bulks)
                if (b->completions() == 0) return false;
            return true;
        };
        while (!done() && elapsedMs(t0) < waitMs) {
            timeval tv{0, 10 * 1000};
            libusb_handle_events_timeout(usb.ctx(), &tv);
        }
        EXPECT_TRUE(done());
        return bulks;
    }

    // Receives n whole 3840 x 2160 frames, one after another.
    void uhdFrames(int n) {
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(receive(1, static_cast<int>(kUhdBytes))[0]->actual(), kUhdBytes);
    }
};

// A 3840 x 2160 8-bit frame takes its bytes' time at the rate in force: the
// link's, or the DDR's paced output when that is slower; with the DDR bypassed
// registers 36-37 do not matter.
TEST_F(Link, AFrameTakesItsBytesTimeAtTheRateInForce) {
    struct Case {
        const char* what;
        bool usb3, ddr;
        long long v;
        double rate;  // bytes per second
    };
    const Case cases[] = {
        {"USB 2, DDR bypassed: the link", false, false, 2703, kUsb2Rate},
        {"USB 3, DDR bypassed: the link", true, false, 2703, kUsb3Rate},
        {"USB 3, DDR at 80 %: 320 MB/s", true, true, 64, ddrRate(64)},
        {"USB 3, the 832's USB-2 value (8.65 %): 34.6 MB/s", true, true, 2703, ddrRate(2703)},
        {"USB 2, the 832's USB-2 value", false, true, 2703, ddrRate(2703)},
        {"USB 2, DDR at 100 %: never faster than the link", false, true, 1, kUsb2Rate},
    };
    setWindow(h, kUhdWidth, kUhdHeight);
    setTiming(0, 0);  // the output alone sets the pace
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(cam.setUsb3(c.usb3));
        writeFpga(h, 10, c.ddr ? 0 : kFmtDdrBypass);
        writeFpgaWide(h, kRegBandwidth, c.v, 2);
        EXPECT_EQ(cam.query(KYRSIM_Q_LINK_RATE), c.usb3 ? kUsb3Rate : kUsb2Rate);
        const long long expected = bytesUs(kUhdBytes, c.rate);
        EXPECT_GE(cam.query(KYRSIM_Q_OUTPUT_US), expected);
        EXPECT_LE(cam.query(KYRSIM_Q_OUTPUT_US), expected + 1);
        EXPECT_EQ(cam.framePeriod().count(), cam.query(KYRSIM_Q_OUTPUT_US));

        auto bulks = receive(1, static_cast<int>(kUhdBytes) + 4096);
        EXPECT_EQ(bulks[0]->actual(), kUhdBytes);
        EXPECT_GE(bulks[0]->callbackUs() - cam.frameStarts().back(), expected);
    }
    EXPECT_EQ(kUhdBytes, static_cast<long long>(kUhdWidth) * kUhdHeight);
}

// The bytes become available over the output time: with ten 1 MiB transfers
// in flight the first completes long before the frame's last byte is due, and
// each one no earlier than its bytes.
TEST_F(Link, TransfersCompleteOneAfterAnotherAsTheBytesCome) {
    // Slow enough to tell the transfers apart even on a loaded machine: the
    // frame takes 1.66 s, its first MiB 0.21 s.
    constexpr long long kRate = 5'000'000;
    constexpr int kMiB = 1 << 20;
    setWindow(h, kUhdWidth, kUhdHeight);
    writeFpga(h, 10, kFmtDdrBypass);
    ASSERT_TRUE(cam.setLinkRate(kRate));
    EXPECT_EQ(cam.query(KYRSIM_Q_LINK_RATE), kRate);
    const long long outUs = bytesUs(kUhdBytes, kRate);

    auto bulks = receive(10, kMiB);
    const long long start = cam.frameStarts().front();  // the last two transfers start the next frame
    long long got = 0;
    for (size_t k = 0; k < 8; ++k) {  // the frame fills eight transfers, the eighth partly
        SCOPED_TRACE(k);
        EXPECT_EQ(bulks[k]->status(), LIBUSB_TRANSFER_COMPLETED);
        got += bulks[k]->actual();
        EXPECT_GE(bulks[k]->callbackUs() - start, bytesUs(got, kRate));
        if (k > 0) EXPECT_GE(bulks[k]->callbackUs(), bulks[k - 1]->callbackUs());
    }
    EXPECT_EQ(got, kUhdBytes);
    EXPECT_LT(bulks[0]->callbackUs(), start + outUs);
    EXPECT_LT(bulks[0]->callbackUs(), bulks[7]->callbackUs());
}

// A transfer whose timeout is shorter than its bytes' output time expires,
// with the bytes that came in time; the next transfer takes the rest.
TEST_F(Link, ATimeoutShorterThanATransfersOutputTimeExpires) {
    constexpr long long kRate = 20'000'000;  // 1 MiB takes 52 ms
    constexpr int kMiB = 1 << 20;
    setWindow(h, kUhdWidth, kUhdHeight);
    writeFpga(h, 10, kFmtDdrBypass);
    ASSERT_TRUE(cam.setLinkRate(kRate));
    auto first = receive(1, kMiB, 10);
    EXPECT_EQ(first[0]->status(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_LT(first[0]->actual(), kMiB);
    auto rest = receive(1, static_cast<int>(kUhdBytes), 0);
    EXPECT_EQ(rest[0]->status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(first[0]->actual() + rest[0]->actual(), kUhdBytes);
}

// The slower of sensor and output sets the pace. The 832's own timing at
// 3840 x 2160 RAW8 on USB 3 with the automatic bandwidth (97.5 % of the
// DDR's output, pacing value 6): VMAX 2220 x HMAX 192 at 20 MHz = 21,312 us.
TEST_F(Link, The832AtFullResolutionRunsAtItsSensorPeriod) {
    setWindow(h, kUhdWidth, kUhdHeight);
    writeFpga(h, 10, 0);  // through the DDR
    writeFpgaWide(h, kRegBandwidth, 6, 2);
    setTiming(2220, 192);
    EXPECT_EQ(cam.query(KYRSIM_Q_SENSOR_PERIOD_US), 21'312);
    EXPECT_LT(cam.query(KYRSIM_Q_OUTPUT_US), 21'312);
    EXPECT_EQ(cam.framePeriod().count(), 21'312);
    uhdFrames(4);
    const auto starts = cam.frameStarts();
    ASSERT_EQ(starts.size(), 4u);
    for (size_t k = 1; k < starts.size(); ++k) EXPECT_GE(starts[k] - starts[k - 1], 21'312) << k;

    // A slower output sets the pace instead; no frame is dropped.
    writeFpgaWide(h, kRegBandwidth, 64, 2);  // 80 %: 25,920 us a frame
    EXPECT_EQ(cam.framePeriod().count(), bytesUs(kUhdBytes, ddrRate(64)));
    const long long framesBefore = cam.query(KYRSIM_Q_FRAMES);
    uhdFrames(3);
    const auto later = cam.frameStarts();
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), framesBefore + 3);
    for (size_t k = later.size() - 2; k < later.size(); ++k)
        EXPECT_GE(later[k] - later[k - 1], bytesUs(kUhdBytes, ddrRate(64))) << k;
}

// A fixed interval and the unpaced option win over the registers and the link.
TEST_F(Link, FixedIntervalAndUnpacedWinOverTheRegisters) {
    setWindow(h, kUhdWidth, kUhdHeight);
    ASSERT_TRUE(cam.setUsb3(false));
    setTiming(1000, 60000);  // three seconds a frame
    ASSERT_TRUE(cam.setFrameInterval(std::chrono::milliseconds(5)));
    EXPECT_EQ(cam.framePeriod().count(), 5000);
    uhdFrames(3);
    auto starts = cam.frameStarts();
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_GE(starts[2] - starts[1], 5000);

    ASSERT_TRUE(cam.setUnpaced(true));  // wins over the interval too
    EXPECT_EQ(cam.framePeriod().count(), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_OUTPUT_US), 0);
    uhdFrames(2);

    ASSERT_TRUE(cam.setUnpaced(false));
    ASSERT_TRUE(cam.setFrameInterval(std::chrono::microseconds(0)));
    EXPECT_EQ(cam.framePeriod().count(), 3'000'000);
    EXPECT_EQ(kyrsim_set_link_rate(cam.handle(), -1), -1);
    EXPECT_EQ(kyrsim_set_unpaced(-5, 1), -1);
    EXPECT_EQ(kyrsim_frame_starts(cam.handle(), nullptr, -1), -1);
}

// Wait and trigger mode: nothing while both bits are set; one frame after
// the fall, read out one sensor period later; a resend without the period.
TEST_F(Link, TriggeredFramesTakeTheReadoutAndTheOutputTime) {
    setWindow(h, kUhdWidth, kUhdHeight);
    writeFpga(h, 10, 0);
    writeFpgaWide(h, kRegBandwidth, 64, 2);  // 320 MB/s
    setTiming(2220, 192);
    const long long period = 21'312, outUs = bytesUs(kUhdBytes, ddrRate(64));
    writeFpga(h, 0, 0xC1);
    ASSERT_TRUE(cam.triggerWait());
    Bulk b(h, 0x81, static_cast<int>(kUhdBytes), 0);
    ASSERT_EQ(b.submit(), 0);
    EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 100));
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 0);
    writeFpga(h, 11, 0x01);
    const long long fall = kyrsim_now_us();
    writeFpga(h, 11, 0x00);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.actual(), kUhdBytes);
    EXPECT_GE(cam.frameStarts().back(), fall + period);
    EXPECT_GE(b.callbackUs(), fall + period + outUs);

    ASSERT_EQ(b.submit(), 0);
    writeFpga(h, 24, 0x01);  // resend the held frame
    const long long asked = kyrsim_now_us();
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_LE(cam.frameStarts().back(), asked);
    EXPECT_GE(b.callbackUs() - cam.frameStarts().back(), outUs);
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 2);
}

// Profiles describe the sensor side as data.
class SensorSide : public ::testing::Test {
  protected:
    static constexpr int kProduct = 0x826e;  // an FPGA camera without a sensor description

    kyrsim_profile base() {
        kyrsim_profile p{};
        EXPECT_EQ(kyrsim_get_profile(kProduct, &p), 0);
        return p;
    }

    libusb_device_handle* start(const kyrsim_profile& p) {
        EXPECT_EQ(kyrsim_set_profile(kProduct, &p), 0);
        cam = kyrsim::plug(kProduct, 1, "1");
        libusb_device_handle* h = usb.open(cam);
        EXPECT_NE(h, nullptr);
        setWindow(h, 64, 24);
        EXPECT_EQ(out(h, 0xA9), 0);
        return h;
    }

    kyrsim::Scope scope;
    Usb usb;
    kyrsim::Device cam;
};

TEST_F(SensorSide, AValueFormStandbyPredicateGatesFrames) {
    kyrsim_profile p = base();
    p.standby_reg = 0x0200;
    p.standby_mask = 0xFF;
    p.standby_value = 4;  // streams only at 4
    libusb_device_handle* h = start(p);
    EXPECT_TRUE(cam.sensorModel());
    EXPECT_EQ(cam.sensor(0x0200), 0);  // powers up in standby
    Bulk b(h, 0x81, 4096, 0);
    ASSERT_EQ(b.submit(), 0);
    for (int v : {0, 3, 5, 0x14}) {
        ASSERT_EQ(out(h, 0xB6, 0x0200, v), 0);
        EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 50)) << v;
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 0) << v;
    }
    ASSERT_EQ(out(h, 0xB6, 0x0200, 4), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.actual(), 64 * 24);

    // Invalid predicates are refused: no mask, or a value outside the mask.
    p.standby_mask = 0;
    EXPECT_EQ(kyrsim_set_profile(kProduct, &p), -1);
    p.standby_mask = 0x0F;
    p.standby_value = 0x14;
    EXPECT_EQ(kyrsim_set_profile(kProduct, &p), -1);
}

// Power taken from two registers: awake and out of standby in one, the
// stream switch in the other; frames flow only while both say so.
TEST_F(SensorSide, ASecondPowerRegisterGatesFramesToo) {
    kyrsim_profile p = base();
    p.standby_reg = 0x000;
    p.standby_mask = 0x05;
    p.standby_value = 0x04;  // bit 2 wake, bit 0 standby
    p.stream_reg = 0x1EE;
    p.stream_mask = 0xFF;
    p.stream_value = 1;  // 1 streams, 5 parks
    libusb_device_handle* h = start(p);
    Bulk b(h, 0x81, 4096, 0);
    ASSERT_EQ(b.submit(), 0);
    const struct {
        int power, stream;
    } closed[] = {{0x04, 5}, {0x05, 1}, {0x01, 1}, {0x00, 1}, {0x04, 0}};
    for (const auto& c : closed) {
        // Through standby, so that no step on the way opens the gate.
        ASSERT_EQ(out(h, 0xB6, 0x000, 0x00), 0);
        ASSERT_EQ(out(h, 0xB6, 0x1EE, c.stream), 0);
        ASSERT_EQ(out(h, 0xB6, 0x000, c.power), 0);
        EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 50)) << c.power << " " << c.stream;
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 0) << c.power << " " << c.stream;
    }
    // Other bits of the power register do not matter.
    ASSERT_EQ(out(h, 0xB6, 0x000, 0x00), 0);
    ASSERT_EQ(out(h, 0xB6, 0x1EE, 1), 0);
    ASSERT_EQ(out(h, 0xB6, 0x000, 0x0C), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    EXPECT_EQ(b.actual(), 64 * 24);

    // A value outside its mask is refused.
    p.stream_mask = 0x0F;
    p.stream_value = 0x11;
    EXPECT_EQ(kyrsim_set_profile(kProduct, &p), -1);
}

TEST_F(SensorSide, AProductWithoutDdrNeverReportsReadyAndIgnoresRegister24) {
    kyrsim_profile p = base();
    EXPECT_EQ(p.has_ddr, 1);
    p.has_ddr = 0;
    libusb_device_handle* h = start(p);
    for (int policy : {KYRSIM_DDR_READY, KYRSIM_DDR_AFTER_WRITES}) {
        ASSERT_TRUE(cam.setDdrPolicy(policy, 1));
        ASSERT_EQ(writeFpga(h, 24, 128), 0);
        EXPECT_EQ(readFpga(h, 35) & 0x01, 0) << policy;
    }
    // The output pacing of registers 36-37 does not apply: only the link.
    writeFpgaWide(h, kRegBandwidth, 0xFFFE, 2);
    EXPECT_EQ(cam.query(KYRSIM_Q_OUTPUT_US), ceilDiv(64 * 24 * 1'000'000ll, kUsb3Rate));
    // No frame is held, so a resend sends nothing.
    writeFpga(h, 0, 0xC1);
    Bulk b(h, 0x81, 4096, 0);
    ASSERT_EQ(b.submit(), 0);
    writeFpga(h, 24, 0x01);
    EXPECT_FALSE(waitAll(usb.ctx(), {&b}, 100));
    EXPECT_EQ(cam.query(KYRSIM_Q_FRAMES), 0);
    ASSERT_EQ(libusb_cancel_transfer(b.xfer()), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&b}));
    // Cameras without FPGA have no DDR either.
    kyrsim_profile noFpga{};
    ASSERT_EQ(kyrsim_get_profile(0x810a, &noFpga), 0);
    EXPECT_EQ(noFpga.has_ddr, 0);
}

// The scene follows the profile's colour: the Bayer phase at the array's
// origin, or grey bars for a mono sensor.
TEST_F(SensorSide, TheSceneFollowsTheColour) {
    // Row 0 in the red bar (the sixth of eight) of a 640-pixel-wide array.
    constexpr int kRedBarX = 400;
    struct Case {
        int color;
        int redX, redY;  // where red sits within a 2 x 2 cell
    };
    const Case cases[] = {{KYRSIM_BAYER_RGGB, 0, 0},
                          {KYRSIM_BAYER_GRBG, 1, 0},
                          {KYRSIM_BAYER_GBRG, 0, 1},
                          {KYRSIM_BAYER_BGGR, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.color);
        kyrsim_profile p = base();
        p.sensor = KYRSIM_SENSOR_SONY;
        p.sensor_width = 640;
        p.sensor_height = 480;
        p.color = c.color;
        ASSERT_EQ(kyrsim_set_profile(kProduct, &p), 0);
        kyrsim::Device d = kyrsim::plug(kProduct, 1, "2");
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x) {
                const bool red = x == c.redX && y == c.redY;
                EXPECT_EQ(d.scenePixel(kRedBarX + x, y) > 0x8000, red) << x << "," << y;
            }
        kyrsim_unplug(d.handle());
    }
    kyrsim_profile p = base();
    p.sensor = KYRSIM_SENSOR_SONY;
    p.sensor_width = 640;
    p.sensor_height = 480;
    p.color = KYRSIM_MONO;
    ASSERT_EQ(kyrsim_set_profile(kProduct, &p), 0);
    kyrsim::Device d = kyrsim::plug(kProduct, 1, "2");
    EXPECT_EQ(d.scenePixel(kRedBarX, 0), d.scenePixel(kRedBarX + 1, 1));
    EXPECT_GT(d.scenePixel(0, 0), d.scenePixel(kRedBarX, 0));  // white is brighter than red
    p.color = 5;
    EXPECT_EQ(kyrsim_set_profile(kProduct, &p), -1);
}

}  // namespace

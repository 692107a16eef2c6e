// The 832 cameras' sensor description: frames only out of standby, the scene
// drawn on the sensor's pixel array and read out from the start registers,
// with or without the sensor's 2 x 2 binning, so a wrong start or bin shows
// in the frame.
#include <set>

#include "streamtest.hpp"

using namespace simtest;

namespace {

constexpr int kArrayWidth = 3840, kArrayHeight = 2160;

int sensorWrite(libusb_device_handle* h, int reg, int value) { return out(h, 0xB6, reg, value & 0xFF); }

class Sensor : public ::testing::Test {
  protected:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 24;

    void SetUp() override {
        cam = kyrsim::plug(kFpgaCamera, 1, "1");
        h = usb.open(cam);
        ASSERT_NE(h, nullptr);
        setWindow(h, kWidth, kHeight);
        ASSERT_EQ(out(h, 0xA9), 0);
    }

    void setStart(int x, int y) {
        ASSERT_EQ(sensorWrite(h, 0x303C, x), 0);
        ASSERT_EQ(sensorWrite(h, 0x303D, x >> 8), 0);
        ASSERT_EQ(sensorWrite(h, 0x3044, y), 0);
        ASSERT_EQ(sensorWrite(h, 0x3045, y >> 8), 0);
    }

    // The next frame, or nothing when none comes within `ms`.
    std::vector<unsigned char> frame(int bytes, int ms = 2000) { return nextFrame(usb, h, bytes, ms); }

    // The array's pixel as the frame carries it: 0 beyond the array.
    int arrayPixel(int x, int y) const { return std::max(cam.scenePixel(x, y), 0); }

    // Frame pixels against expected 16-bit values, in 8-bit or 16-bit (12-bit ADC) output; the marker
    // words at both ends are skipped.
    template <typename Expected>
    void expectPixels(const std::vector<unsigned char>& f, bool out16, Expected expected) {
        expectFramePixels(f, kWidth, kHeight, out16, 12, expected);
    }

    kyrsim::Scope scope;
    Usb usb;
    kyrsim::Device cam;
    libusb_device_handle* h = nullptr;
};

TEST(SensorProfile, The832CamerasDescribeTheirSensorAndClock) {
    kyrsim::Scope scope;
    for (int pid : {0x832b, 0x832f}) {
        kyrsim_profile p{};
        ASSERT_EQ(kyrsim_get_profile(pid, &p), 0);
        EXPECT_EQ(p.sensor, KYRSIM_SENSOR_SONY);
        EXPECT_EQ(p.sensor_width, kArrayWidth);
        EXPECT_EQ(p.sensor_height, kArrayHeight);
        EXPECT_EQ(p.sensor_clock_khz, 20000);
        EXPECT_EQ(p.hold_reg, 0x3001);
        EXPECT_EQ(p.standby_reg, 0x3000);
        EXPECT_EQ(p.standby_mask, 0xFF);
        EXPECT_EQ(p.standby_value, 0);
        EXPECT_EQ(p.color, KYRSIM_BAYER_RGGB);
        EXPECT_EQ(p.has_ddr, 1);
    }
    kyrsim_profile other{};
    ASSERT_EQ(kyrsim_get_profile(0x826e, &other), 0);
    EXPECT_EQ(other.sensor, KYRSIM_SENSOR_NONE);
    EXPECT_EQ(other.sensor_clock_khz, 0);
    EXPECT_EQ(other.hold_reg, KYRSIM_NONE);
    EXPECT_EQ(other.standby_reg, KYRSIM_NONE);

    // Invalid descriptions are refused.
    struct Bad {
        const char* what;
        int sensor, width, height, clock;
    };
    const Bad bad[] = {{"unknown kind", 7, 100, 100, 0},
                       {"no array", KYRSIM_SENSOR_SONY, 0, 100, 0},
                       {"no rows", KYRSIM_SENSOR_SONY, 100, 0, 0},
                       {"negative clock", KYRSIM_SENSOR_NONE, 0, 0, -1}};
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        kyrsim_profile p = other;
        p.sensor = b.sensor;
        p.sensor_width = b.width;
        p.sensor_height = b.height;
        p.sensor_clock_khz = b.clock;
        EXPECT_EQ(kyrsim_set_profile(0x826e, &p), -1);
    }
    // A described sensor given to another camera takes effect when it is plugged.
    kyrsim_profile p = other;
    p.sensor = KYRSIM_SENSOR_SONY;
    p.sensor_width = 640;
    p.sensor_height = 480;
    p.standby_reg = 0x3000;
    p.standby_mask = 0xFF;
    p.standby_value = 0;
    ASSERT_EQ(kyrsim_set_profile(0x826e, &p), 0);
    kyrsim::Device d = kyrsim::plug(0x826e, 1, "3");
    EXPECT_TRUE(d.sensorModel());
    EXPECT_EQ(d.sensor(0x3000), 1);
    EXPECT_GE(d.scenePixel(639, 479), 0);
    EXPECT_EQ(d.scenePixel(640, 0), -1);
}

TEST(SensorProfile, The821CamerasReadTheirWindowStartFromTheirOwnRegisters) {
    kyrsim::Scope scope;
    const struct {
        int pid, color;
    } cases[] = {{0x821a, KYRSIM_MONO}, {0x821e, KYRSIM_MONO}, {0x821b, KYRSIM_BAYER_RGGB}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        kyrsim_profile p{};
        ASSERT_EQ(kyrsim_get_profile(c.pid, &p), 0);
        EXPECT_EQ(p.sensor, KYRSIM_SENSOR_SONY);
        EXPECT_EQ(p.sensor_width, 1608);
        EXPECT_EQ(p.sensor_height, 1104);
        EXPECT_EQ(p.sensor_clock_khz, 20000);
        EXPECT_EQ(p.hold_reg, 0x3034);
        EXPECT_EQ(p.standby_reg, 0x3000);
        EXPECT_EQ(p.standby_value, 0);
        EXPECT_EQ(p.start_x_reg, 0x3120);
        EXPECT_EQ(p.start_y_reg, 0x3122);
        EXPECT_EQ(p.color, c.color);
        EXPECT_EQ(p.has_ddr, 1);
        EXPECT_EQ(p.fpga_ver[0] < 0xA0, true);
    }
    kyrsim_profile p{};
    ASSERT_EQ(kyrsim_get_profile(0x832b, &p), 0);
    EXPECT_EQ(p.start_x_reg, 0);  // the layout's own
    p.start_x_reg = 0xFFFF;       // its high byte would lie past the register space
    EXPECT_EQ(kyrsim_set_profile(0x832b, &p), -1);
    p.start_x_reg = -1;
    EXPECT_EQ(kyrsim_set_profile(0x832b, &p), -1);
}

TEST_F(Sensor, FramesFlowOnlyOutOfStandby) {
    EXPECT_TRUE(cam.sensorModel());
    EXPECT_EQ(cam.sensor(0x3000), 1);  // powered up in standby
    EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 0);
    EXPECT_TRUE(frame(kWidth * kHeight, 100).empty());

    // Standby off, by an 8-bit or a 16-bit write.
    for (int request : {0xB6, 0xA6}) {
        SCOPED_TRACE(request);
        ASSERT_EQ(out(h, request, 0x3000, 0), 0);
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 1);
        EXPECT_EQ(frame(kWidth * kHeight).size(), static_cast<size_t>(kWidth * kHeight));
        ASSERT_EQ(out(h, request, 0x3000, 1), 0);
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 0);
        EXPECT_TRUE(frame(kWidth * kHeight, 100).empty());
    }

    // Entering standby cuts off the frame being sent; the next one starts afresh.
    ASSERT_EQ(sensorWrite(h, 0x3000, 0), 0);
    Bulk part(h, 0x81, 100, 0);
    ASSERT_EQ(part.submit(), 0);
    ASSERT_TRUE(waitAll(usb.ctx(), {&part}));
    EXPECT_EQ(part.actual(), 100);
    ASSERT_EQ(sensorWrite(h, 0x3000, 1), 0);
    ASSERT_EQ(sensorWrite(h, 0x3000, 0), 0);
    const auto next = frame(kWidth * kHeight);
    ASSERT_EQ(next.size(), static_cast<size_t>(kWidth * kHeight));
    EXPECT_EQ(word(next, 0), 0x5A7E);
    ASSERT_EQ(sensorWrite(h, 0x3000, 1), 0);

    // Without the description standby is not modelled.
    ASSERT_TRUE(cam.setSensorModel(false));
    EXPECT_FALSE(cam.sensorModel());
    EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 1);
    EXPECT_EQ(frame(kWidth * kHeight).size(), static_cast<size_t>(kWidth * kHeight));
    ASSERT_TRUE(cam.setSensorModel(true));
    EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), 0);

    // A camera without a description cannot use one.
    kyrsim::Device other = kyrsim::plug(0x826e, 1, "2");
    EXPECT_FALSE(other.setSensorModel(true));
    EXPECT_TRUE(other.setSensorModel(false));
    EXPECT_FALSE(other.sensorModel());
}

TEST_F(Sensor, FrameShowsTheArrayFromTheStartRegisters) {
    ASSERT_EQ(sensorWrite(h, 0x3000, 0), 0);
    struct Case {
        const char* what;
        int x, y;
        bool out16;
    };
    const Case cases[] = {
        {"across a colour bar edge", 440, 0, false},
        {"around a star", 928, 1768, false},
        {"around a star, 16-bit", 928, 1768, true},
        {"past the array's corner", 3808, 2148, false},
        {"the origin", 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setWindow(h, kWidth, kHeight, c.out16);
        setStart(c.x, c.y);
        const auto f = frame(kWidth * kHeight * (c.out16 ? 2 : 1));
        expectPixels(f, c.out16, [&](int x, int y) { return arrayPixel(c.x + x, c.y + y); });
        // The window is not flat: a start one column pair off would show.
        std::set<int> values(f.begin() + 4, f.end() - 4);
        EXPECT_GT(values.size(), 1u);
    }
}

TEST_F(Sensor, SensorBinningAveragesSameColourPixels) {
    ASSERT_EQ(sensorWrite(h, 0x3000, 0), 0);
    const struct {
        const char* what;
        int x, y;
    } cases[] = {{"across a colour bar edge", 400, 4}, {"around a star", 900, 1760}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setStart(c.x, c.y);
        ASSERT_EQ(sensorWrite(h, 0x301B, 0), 0);
        const auto unbinned = frame(kWidth * kHeight);
        ASSERT_EQ(sensorWrite(h, 0x301B, 1), 0);
        const auto binned = frame(kWidth * kHeight);
        EXPECT_NE(binned, unbinned);
        // Pixel (x, y) of the binned frame: the four pixels of its colour in the 4 x 4 block it covers.
        expectPixels(binned, false, [&](int x, int y) {
            const int bx = c.x + 4 * (x / 2) + x % 2, by = c.y + 4 * (y / 2) + y % 2;
            return (arrayPixel(bx, by) + arrayPixel(bx + 2, by) + arrayPixel(bx, by + 2) +
                    arrayPixel(bx + 2, by + 2)) /
                   4;
        });
    }
}

TEST_F(Sensor, BinnedColourBarsKeepTheirColour) {
    ASSERT_EQ(sensorWrite(h, 0x3000, 0), 0);
    ASSERT_EQ(sensorWrite(h, 0x301B, 1), 0);
    // The second bar (yellow: red and green bright, blue dark) starts at array column 480.
    setStart(480, 0);
    const auto f = frame(kWidth * kHeight);
    ASSERT_EQ(f.size(), static_cast<size_t>(kWidth * kHeight));
    auto px = [&](int x, int y) { return f[static_cast<size_t>(y * kWidth + x)]; };
    EXPECT_EQ(px(2, 2), 0xC0);  // red
    EXPECT_EQ(px(3, 2), 0xC0);  // green
    EXPECT_EQ(px(2, 3), 0xC0);  // green
    EXPECT_EQ(px(3, 3), 0x10);  // blue
}

TEST_F(Sensor, ScenePixelIsOnlyInsideADescribedArray) {
    EXPECT_GE(cam.scenePixel(0, 0), 0);
    EXPECT_GE(cam.scenePixel(kArrayWidth - 1, kArrayHeight - 1), 0);
    EXPECT_EQ(cam.scenePixel(-1, 0), -1);
    EXPECT_EQ(cam.scenePixel(0, -1), -1);
    EXPECT_EQ(cam.scenePixel(kArrayWidth, 0), -1);
    EXPECT_EQ(cam.scenePixel(0, kArrayHeight), -1);
    EXPECT_EQ(kyrsim_scene_pixel(-5, 0, 0), -1);
    kyrsim::Device other = kyrsim::plug(0x826e, 1, "2");
    EXPECT_EQ(other.scenePixel(0, 0), -1);
}

// Without the description the scene is drawn relative to the FPGA window:
// the start and binning registers change nothing.
TEST_F(Sensor, WithoutTheDescriptionTheSceneIsWindowRelative) {
    ASSERT_TRUE(cam.setSensorModel(false));
    const auto plain = frame(kWidth * kHeight);
    ASSERT_EQ(plain.size(), static_cast<size_t>(kWidth * kHeight));
    setStart(440, 100);
    ASSERT_EQ(sensorWrite(h, 0x301B, 1), 0);
    auto moved = frame(kWidth * kHeight);
    ASSERT_EQ(moved.size(), plain.size());
    // Only the frame counters differ.
    EXPECT_EQ(word(moved, 1), static_cast<uint16_t>(word(plain, 1) + 1));
    for (size_t w : {size_t{1}, moved.size() / 2 - 2}) {
        moved[2 * w] = plain[2 * w];
        moved[2 * w + 1] = plain[2 * w + 1];
    }
    EXPECT_EQ(moved, plain);
}

}  // namespace

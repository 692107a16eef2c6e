// The 814 and 827 cameras' sensor descriptions: the 832's register layout on
// a sensor that bins while 0x3020 = 1 (814) and on one whose start registers
// count half pixels (827); the DDR buffer only on the cooled products.
#include "streamtest.hpp"

using namespace simtest;

namespace {

int sensorWrite(libusb_device_handle* h, int reg, int value) { return out(h, 0xB6, reg, value & 0xFF); }

TEST(SensorLayouts, The814And827ProfilesDescribeTheirSensors) {
    kyrsim::Scope scope;
    const struct {
        int pid, width, height, hasDdr, binReg, binValue, startUnits;
    } cases[] = {{0x814b, 3840, 2160, 0, 0x3020, 1, 0},
                 {0x814f, 3840, 2160, 1, 0x3020, 1, 0},
                 {0x827b, 1920, 1080, 0, 0, 0, 2},
                 {0x827f, 1920, 1080, 1, 0, 0, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        kyrsim_profile p{};
        ASSERT_EQ(kyrsim_get_profile(c.pid, &p), 0);
        EXPECT_EQ(p.sensor, KYRSIM_SENSOR_SONY);
        EXPECT_EQ(p.sensor_width, c.width);
        EXPECT_EQ(p.sensor_height, c.height);
        EXPECT_EQ(p.sensor_clock_khz, 20000);
        EXPECT_EQ(p.hold_reg, 0x3001);
        EXPECT_EQ(p.standby_reg, 0x3000);
        EXPECT_EQ(p.color, KYRSIM_BAYER_RGGB);
        EXPECT_LT(p.fpga_ver[0], 0xA0);  // register 28: no trigger inputs
        EXPECT_EQ(p.has_ddr, c.hasDdr);
        EXPECT_EQ(p.bin_reg, c.binReg);
        EXPECT_EQ(p.bin_value, c.binValue);
        EXPECT_EQ(p.start_units, c.startUnits);
    }
    // The 832's keep the layout's first meaning.
    kyrsim_profile p{};
    ASSERT_EQ(kyrsim_get_profile(0x832b, &p), 0);
    EXPECT_EQ(p.bin_reg, 0);
    EXPECT_EQ(p.start_units, 0);
    // Out-of-range variants are refused.
    for (auto change :
         {+[](kyrsim_profile* q) { q->bin_reg = 0x10000; }, +[](kyrsim_profile* q) { q->bin_value = 256; },
          +[](kyrsim_profile* q) { q->start_units = -1; }}) {
        kyrsim_profile q = p;
        change(&q);
        EXPECT_EQ(kyrsim_set_profile(0x832b, &q), -1);
    }
}

// One streaming camera of a product, window kWidth x kHeight in 8 bits.
class Layout : public ::testing::Test {
  protected:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 24;

    void Plug(int pid) {
        cam = kyrsim::plug(pid, 1, "1");
        h = usb.open(cam);
        ASSERT_NE(h, nullptr);
        setWindow(h, kWidth, kHeight);
        ASSERT_EQ(out(h, 0xA9), 0);
        ASSERT_EQ(sensorWrite(h, 0x3000, 0), 0);
    }
    void setStart(int x, int y) {
        ASSERT_EQ(sensorWrite(h, 0x303C, x), 0);
        ASSERT_EQ(sensorWrite(h, 0x303D, x >> 8), 0);
        ASSERT_EQ(sensorWrite(h, 0x3044, y), 0);
        ASSERT_EQ(sensorWrite(h, 0x3045, y >> 8), 0);
    }
    std::vector<unsigned char> frame() {
        Bulk b(h, 0x81, kWidth * kHeight + 4096, 0);
        EXPECT_EQ(b.submit(), 0);
        EXPECT_TRUE(waitAll(usb.ctx(), {&b}));
        return b.data();
    }
    // Frame pixels (markers skipped) against expected 16-bit values in 8-bit output.
    template <typename Expected>
    void expectPixels(const std::vector<unsigned char>& f, Expected expected) {
        ASSERT_EQ(f.size(), static_cast<size_t>(kWidth * kHeight));
        for (int i = 4; i < kWidth * kHeight - 4; ++i) {
            const int x = i % kWidth, y = i / kWidth;
            ASSERT_EQ(f[static_cast<size_t>(i)], expected(x, y) >> 8) << "pixel " << x << "," << y;
        }
    }
    int arrayPixel(int x, int y) const { return std::max(cam.scenePixel(x, y), 0); }

    kyrsim::Scope scope;
    Usb usb;
    kyrsim::Device cam;
    libusb_device_handle* h = nullptr;
};

TEST_F(Layout, The827ReadsItsStartInHalfPixels) {
    Plug(0x827b);
    setStart(2 * 300, 2 * 120);
    expectPixels(frame(), [&](int x, int y) { return arrayPixel(300 + x, 120 + y); });
}

TEST_F(Layout, The814BinsWhileItsBinRegisterIsSet) {
    Plug(0x814b);
    setStart(200, 100);
    // The 832's bin register means nothing here.
    ASSERT_EQ(sensorWrite(h, 0x301B, 1), 0);
    expectPixels(frame(), [&](int x, int y) { return arrayPixel(200 + x, 100 + y); });
    ASSERT_EQ(sensorWrite(h, 0x3020, 1), 0);
    expectPixels(frame(), [&](int x, int y) {
        const int bx = 200 + 4 * (x / 2) + x % 2, by = 100 + 4 * (y / 2) + y % 2;
        return (arrayPixel(bx, by) + arrayPixel(bx + 2, by) + arrayPixel(bx, by + 2) +
                arrayPixel(bx + 2, by + 2)) /
               4;
    });
}

}  // namespace

// Sensors of read-out modes (the S7100 mono's): the mode register chooses full
// resolution or the sensor's 2 x 2 or 3 x 3 binning, every line starts with
// the mode's dummy columns, the sensor crops the line only behind its crop
// switch, and the FPGA's blanking registers skip columns and lines, so a wrong
// start, blanking or mode shows in the frame.
#include <vector>

#include "streamtest.hpp"

using namespace simtest;

namespace {

constexpr int kS7100 = 0x710e;
constexpr int kArrayW = 6248, kArrayH = 4176;

int sensorWrite(libusb_device_handle* h, int reg, int value) { return out(h, 0xB6, reg, value & 0xFF); }

struct ModeRow {
    int code, factor, dummy, blank, k, bits;
};
struct ProductRow {
    int pid, width, height, color, streamReg, trigger;
    std::vector<ModeRow> modes;
    int cropReg, cropValue, cropReg2, cropValue2, startX, startY;
};
const std::vector<ModeRow> k7100ModeRows = {
    {0x00, 1, 24, 45, 25, 12}, {0x05, 2, 18, 25, 25, 10}, {0x07, 3, 11, 23, 27, 10}};
const std::vector<ModeRow> k7300ModeRows = {
    {0x00, 1, 24, 49, 25, 12}, {0x80, 1, 24, 49, 25, 10}, {0x85, 2, 16, 29, 25, 10}, {0x89, 3, 16, 27, 27, 10}};
const ProductRow kProducts[] = {
    {0x710e, 6248, 4176, KYRSIM_MONO, 0x1EE, 0, k7100ModeRows, 0x0A7, 1, KYRSIM_NONE, 0, 0x0A8, 0x008},
    {0x710a, 6248, 4176, KYRSIM_BAYER_RGGB, 0x1EE, 0, k7100ModeRows, 0x0A7, 1, KYRSIM_NONE, 0, 0x0A8, 0x008},
    {0x730b, 9576, 6388, KYRSIM_MONO, 0x19E, 0xC0, k7300ModeRows, 0x0A5, 1, 0x187, 4, 0x0A6, 0x006},
    {0x730a, 9576, 6388, KYRSIM_BAYER_RGGB, 0x19E, 0xC0, k7300ModeRows, 0x0A5, 1, 0x187, 4, 0x0A6, 0x006},
};

TEST(SensorModes, TheS7100AndS7300ProfilesDescribeTheirModes) {
    kyrsim::Scope scope;
    for (const ProductRow& r : kProducts) {
        SCOPED_TRACE(r.pid);
        kyrsim_profile p{};
        ASSERT_EQ(kyrsim_get_profile(r.pid, &p), 0);
        EXPECT_EQ(p.sensor, KYRSIM_SENSOR_MODES);
        EXPECT_EQ(p.sensor_width, r.width);
        EXPECT_EQ(p.sensor_height, r.height);
        EXPECT_EQ(p.sensor_clock_khz, 20000);
        EXPECT_EQ(p.color, r.color);
        EXPECT_EQ(p.has_ddr, 1);
        EXPECT_EQ(p.hold_reg, KYRSIM_NONE);
        EXPECT_EQ(p.standby_reg, 0x000);
        EXPECT_EQ(p.standby_mask, 0x05);
        EXPECT_EQ(p.standby_value, 0x04);
        EXPECT_EQ(p.stream_reg, r.streamReg);
        EXPECT_EQ(p.stream_value, 1);
        EXPECT_EQ(p.sync_policy, KYRSIM_SYNC_READY);
        EXPECT_EQ(p.readout_gated, 1);
        EXPECT_EQ(p.trigger_modes, r.trigger ? 1 : 0);
        if (r.trigger) {
            EXPECT_EQ(p.fpga_ver[0], r.trigger);
        } else {
            EXPECT_LT(p.fpga_ver[0], 0xA0);
        }
        EXPECT_EQ(p.mode_reg, 0x001);
        ASSERT_EQ(p.mode_count, static_cast<int>(r.modes.size()));
        for (size_t i = 0; i < r.modes.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(p.mode_code[i], r.modes[i].code);
            EXPECT_EQ(p.mode_factor[i], r.modes[i].factor);
            EXPECT_EQ(p.mode_dummy[i], r.modes[i].dummy);
            EXPECT_EQ(p.mode_blank[i], r.modes[i].blank);
            EXPECT_EQ(p.mode_row_offset[i], r.modes[i].k);
            EXPECT_EQ(p.mode_bits[i], r.modes[i].bits);
        }
        EXPECT_EQ(p.crop_reg, r.cropReg);
        EXPECT_EQ(p.crop_value, r.cropValue);
        EXPECT_EQ(p.crop_reg2, r.cropReg2);
        if (r.cropReg2 != KYRSIM_NONE) {
            EXPECT_EQ(p.crop_value2, r.cropValue2);
        }
        EXPECT_EQ(p.start_x_reg, r.startX);
        EXPECT_EQ(p.start_x_step, 16);
        EXPECT_EQ(p.start_y_reg, r.startY);
    }
    kyrsim_profile p{};
    // Profiles that describe no such sensor keep register 35 bit 4 as it is set.
    ASSERT_EQ(kyrsim_get_profile(0x832b, &p), 0);
    EXPECT_EQ(p.sync_policy, KYRSIM_SYNC_AS_SET);

    // Unusable mode descriptions are refused.
    ASSERT_EQ(kyrsim_get_profile(kS7100, &p), 0);
    for (auto change : {+[](kyrsim_profile* q) { q->mode_count = 0; },
                        +[](kyrsim_profile* q) { q->mode_count = KYRSIM_MAX_MODES + 1; },
                        +[](kyrsim_profile* q) { q->mode_factor[1] = 0; },
                        +[](kyrsim_profile* q) { q->mode_bits[0] = 17; },
                        +[](kyrsim_profile* q) { q->mode_dummy[2] = -1; },
                        +[](kyrsim_profile* q) { q->start_x_step = 0; },
                        +[](kyrsim_profile* q) { q->crop_reg = 0x10000; },
                        +[](kyrsim_profile* q) { q->sync_policy = KYRSIM_SYNC_NEVER + 1; }}) {
        kyrsim_profile q = p;
        change(&q);
        EXPECT_EQ(kyrsim_set_profile(kS7100, &q), -1);
    }
    EXPECT_EQ(kyrsim_set_profile(kS7100, &p), 0);
}

// A streaming camera of one of kProducts (the S7100 mono unless a test plugs
// another) with an FPGA window of kWidth x kHeight.
class Modes : public ::testing::Test {
  protected:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 24;

    void SetUp() override { start(kProducts[0]); }

    void start(const ProductRow& product) {
        if (h) {
            usb.close(h);
            ASSERT_TRUE(cam.unplug());
        }
        row = &product;
        cam = kyrsim::plug(product.pid, 1, "1");
        ASSERT_EQ(kyrsim_set_scene_seed(cam.handle(), 0), 0);  // the plain scene, whatever the plug order
        h = usb.open(cam);
        ASSERT_NE(h, nullptr);
        setWindow(h, kWidth, kHeight);
        ASSERT_EQ(out(h, 0xA9), 0);
        // Awake, out of standby, unparked.
        ASSERT_EQ(sensorWrite(h, 0x000, 0x04), 0);
        ASSERT_EQ(sensorWrite(h, product.streamReg, 0x01), 0);
    }

    // Sensor mode, crop and start registers and FPGA blanking.
    void program(int mode, bool crop, int startXUnits, int startYReg, int hblk, int vblk) {
        ASSERT_EQ(sensorWrite(h, 0x001, mode), 0);
        ASSERT_EQ(sensorWrite(h, row->cropReg, crop ? row->cropValue : 0), 0);
        if (row->cropReg2 != KYRSIM_NONE) {
            ASSERT_EQ(sensorWrite(h, row->cropReg2, crop ? row->cropValue2 : 0), 0);
        }
        ASSERT_EQ(sensorWrite(h, row->startX, startXUnits), 0);
        ASSERT_EQ(sensorWrite(h, row->startX + 1, startXUnits >> 8), 0);
        ASSERT_EQ(sensorWrite(h, row->startY, startYReg), 0);
        ASSERT_EQ(sensorWrite(h, row->startY + 1, startYReg >> 8), 0);
        writeFpgaWide(h, 2, hblk, 2);
        writeFpgaWide(h, 6, vblk, 2);
    }

    // The next frame, or nothing when none comes within `ms`.
    std::vector<unsigned char> frame(int bytes, int ms = 2000) { return nextFrame(usb, h, bytes, ms); }

    int arrayPixel(int x, int y) const { return std::max(cam.scenePixel(x, y), 0); }
    // Mean of the f x f block of the array whose top left pixel is (x, y); 0 past the array.
    int block(int x, int y, int f) const {
        if (x < 0 || y < 0 || x + f > row->width || y + f > row->height) return 0;
        int sum = 0;
        for (int j = 0; j < f; ++j)
            for (int i = 0; i < f; ++i) sum += arrayPixel(x + i, y + j);
        return sum / (f * f);
    }

    template <typename Expected>
    void expectPixels(const std::vector<unsigned char>& f, bool out16, int bits, Expected expected) {
        expectFramePixels(f, kWidth, kHeight, out16, bits, expected);
    }

    // Mean of the f x f pixels of one colour of a colour array from (x, y) on, 2 apart; 0 past the array.
    int colourBlock(int x, int y, int f) const {
        int sum = 0;
        for (int j = 0; j < f; ++j)
            for (int i = 0; i < f; ++i) sum += arrayPixel(x + 2 * i, y + 2 * j);
        return sum / (f * f);
    }

    kyrsim::Scope scope;
    Usb usb;
    kyrsim::Device cam;
    libusb_device_handle* h = nullptr;
    const ProductRow* row = nullptr;
};

TEST_F(Modes, FramesFlowOnlyWhileAwakeOutOfStandbyUnparkedAndRunning) {
    const int bytes = kWidth * kHeight;
    struct Case {
        const char* what;
        int power, stream, fpgaCtrl;
        bool flows;
    };
    const Case cases[] = {
        {"awake, unparked, running", 0x04, 0x01, 0x01, true},
        {"asleep", 0x00, 0x01, 0x01, false},
        {"in standby", 0x05, 0x01, 0x01, false},
        {"parked", 0x04, 0x05, 0x01, false},
        {"FPGA stopped", 0x04, 0x01, 0x11, false},
        {"other bits of the power register do not matter", 0x0C, 0x01, 0x01, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(sensorWrite(h, 0x000, c.power), 0);
        ASSERT_EQ(sensorWrite(h, 0x1EE, c.stream), 0);
        ASSERT_EQ(writeFpga(h, 0, c.fpgaCtrl), 0);
        EXPECT_EQ(cam.query(KYRSIM_Q_RUNNING), c.flows ? 1 : 0);
        EXPECT_EQ(frame(bytes, c.flows ? 2000 : 100).size(), c.flows ? static_cast<size_t>(bytes) : 0u);
    }
}

// Full resolution: the FPGA skips the 24 dummy columns and the 45 blanking
// lines; the crop switch decides whether the line starts at the start column.
TEST_F(Modes, FullResolutionWindowFollowsCropStartAndBlanking) {
    struct Case {
        const char* what;
        bool crop;
        int startXUnits, startYReg, hblk, vblk;
        int x0, y0;  // array pixel of frame pixel (0, 0)
    };
    // (752, 1380) crosses a bar edge (column 781) and the edge of the bars' band (row 1392).
    const Case cases[] = {
        {"cropped at the start", true, 47, 1380 + 25, 24, 45, 752, 1380},
        {"around a star", true, 97, 3456 + 25, 24, 45, 1552, 3456},
        {"one blanking line more moves the window down a row", true, 47, 1405, 24, 46, 752, 1381},
        {"three HBLK columns more move it right", true, 47, 1405, 27, 45, 755, 1380},
        {"not cropped: the line starts at column 0", false, 47, 1405, 24, 45, 0, 1380},
        {"not cropped, the FPGA skips the start", false, 47, 1405, 24 + 752, 45, 752, 1380},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        program(0x00, c.crop, c.startXUnits, c.startYReg, c.hblk, c.vblk);
        expectPixels(frame(kWidth * kHeight), false, 12,
                     [&](int x, int y) { return arrayPixel(c.x0 + x, c.y0 + y); });
    }
}

// Lines and columns the sensor does not fill read 0: dummy columns before
// the line's pixels, blanking lines, and what lies past the array.
TEST_F(Modes, DummyColumnsBlankingAndBeyondTheArrayReadZero) {
    program(0x00, true, 0, 25, 20, 43);  // four dummy columns and two blanking lines in the window
    expectPixels(frame(kWidth * kHeight), false, 12, [&](int x, int y) {
        return x < 4 || y < 2 ? 0 : arrayPixel(x - 4, y - 2);
    });
    program(0x00, true, (kArrayW - 40) / 16, kArrayH - 10 + 25, 24, 45);
    expectPixels(frame(kWidth * kHeight), false, 12, [&](int x, int y) {
        return arrayPixel(kArrayW - 40 + x, kArrayH - 10 + y);  // 0 past the array
    });
}

// The binned modes average f x f pixels; the sensor reads the whole binned
// line (crop off) and the FPGA skips the dummy columns and the start; the
// first row is (0x008/9 - k) / f.
TEST_F(Modes, BinnedModesAverageBlocksFromTheirOwnBlankingAndOffsets) {
    struct Case {
        const char* what;
        const ModeRow& m;
        int startX, startY;  // array pixel of frame pixel (0, 0), multiples of 2f
    };
    const Case cases[] = {
        {"2 x 2 across a bar edge", k7100ModeRows[1], 760, 1360},
        {"2 x 2 around a star", k7100ModeRows[1], 1528, 3440},
        {"3 x 3 across a bar edge", k7100ModeRows[2], 720, 1368},
        {"3 x 3 around a star", k7100ModeRows[2], 1518, 3432},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ModeRow& m = c.m;
        for (int extraBlank : {0, 1}) {
            // A blanking register one line off moves the window by a binned row.
            program(m.code, false, 0, c.startY + m.k, m.dummy + c.startX / m.factor, m.blank + extraBlank);
            expectPixels(frame(kWidth * kHeight), false, m.bits, [&](int x, int y) {
                return block(c.startX + m.factor * x, c.startY + m.factor * (y + extraBlank), m.factor);
            });
        }
    }
}

// 16-bit output: full resolution has 12 significant bits while the FPGA's ADC
// width says 12, the binned modes 10 whatever it says.
TEST_F(Modes, SixteenBitOutputCarriesTheModesBits) {
    struct Case {
        const char* what;
        const ModeRow& m;
        int fmt;  // FPGA register 10: bit 0 the 12-bit ADC, bit 4 16-bit output
        int bits;
    };
    const Case cases[] = {
        {"full, 12-bit ADC", k7100ModeRows[0], 0x11, 12},
        {"full, 10-bit ADC (high speed)", k7100ModeRows[0], 0x10, 10},
        {"2 x 2 with the FPGA at 12 bits", k7100ModeRows[1], 0x11, 10},
        {"3 x 3", k7100ModeRows[2], 0x10, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ModeRow& m = c.m;
        ASSERT_EQ(writeFpga(h, 10, c.fmt), 0);
        // Rows from 1404 show the horizontal ramp.
        program(m.code, m.factor == 1, 40, 1404 + m.k, m.dummy, m.blank);
        const int x0 = m.factor == 1 ? 640 : 0;
        const auto f = frame(kWidth * kHeight * 2);
        expectPixels(f, true, c.bits,
                     [&](int x, int y) { return block(x0 + m.factor * x, 1404 + m.factor * y, m.factor); });
        // The bits below the significant ones are clear, and the data is not all at the ADC's steps above.
        bool finer = false;
        for (size_t i = 2; i + 2 < f.size() / 2; ++i) {
            ASSERT_EQ(word(f, i) & ~((0xFFFF << (16 - c.bits)) & 0xFFFF), 0);
            finer = finer || (word(f, i) & (1 << (16 - c.bits)));
        }
        EXPECT_TRUE(finer);
    }
}

TEST_F(Modes, AnUnknownModeCodeSendsAnEmptyPicture) {
    program(0x03, true, 40, 125, 24, 45);
    const auto f = frame(kWidth * kHeight);
    ASSERT_EQ(f.size(), static_cast<size_t>(kWidth * kHeight));
    for (size_t i = 4; i + 4 < f.size(); ++i) ASSERT_EQ(f[i], 0) << i;
}

// Register 35 reads 0x15 while the camera streams from its DDR buffer: DDR
// ready, a frame held, and the FPGA in sync with the sensor.
TEST_F(Modes, StatusReads0x15WhileStreaming) {
    program(0x00, true, 40, 125, 24, 45);
    EXPECT_EQ(readFpga(h, 35), 0x11);  // nothing held yet
    ASSERT_EQ(frame(kWidth * kHeight).size(), static_cast<size_t>(kWidth * kHeight));
    EXPECT_EQ(readFpga(h, 35), 0x15);
    // A preload does not override the bit.
    ASSERT_TRUE(cam.setFpga(35, 0x00));
    EXPECT_EQ(readFpga(h, 35), 0x15);
}

// Register 35 bit 4 by policy: a cycle is a stop made while the sensor
// streams and the start after it.
TEST_F(Modes, SyncBitFollowsItsPolicy) {
    struct Case {
        const char* what;
        int policy, k;
        std::vector<bool> afterCycle;  // bit 4 after each stop and start made while streaming
    };
    const Case cases[] = {
        {"ready", KYRSIM_SYNC_READY, 0, {true, true}},
        {"never", KYRSIM_SYNC_NEVER, 0, {false, false, false, false, false}},
        {"after one cycle", KYRSIM_SYNC_AFTER_CYCLES, 1, {true, true}},
        {"after four cycles", KYRSIM_SYNC_AFTER_CYCLES, 4, {false, false, false, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(cam.setSyncPolicy(c.policy, c.k));
        EXPECT_EQ((readFpga(h, 35) & 0x10) != 0, c.policy == KYRSIM_SYNC_READY);
        for (size_t i = 0; i < c.afterCycle.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(writeFpga(h, 0, 0x11), 0);
            ASSERT_EQ(writeFpga(h, 0, 0x01), 0);
            EXPECT_EQ((readFpga(h, 35) & 0x10) != 0, c.afterCycle[i]);
        }
    }
    EXPECT_FALSE(cam.setSyncPolicy(KYRSIM_SYNC_NEVER + 1));
    EXPECT_FALSE(cam.setSyncPolicy(KYRSIM_SYNC_AFTER_CYCLES, -1));
}

TEST_F(Modes, OnlyCyclesMadeWhileTheSensorStreamsCount) {
    // A stop made before the policy was set does not count.
    ASSERT_EQ(writeFpga(h, 0, 0x11), 0);
    ASSERT_TRUE(cam.setSyncPolicy(KYRSIM_SYNC_AFTER_CYCLES, 1));
    ASSERT_EQ(writeFpga(h, 0, 0x01), 0);
    EXPECT_EQ(cam.syncCycles(), 0);
    // Stops made while the sensor is parked or in standby do not count, whatever it does before the start.
    for (int reg : {0x1EE, 0x000}) {
        SCOPED_TRACE(reg);
        const int off = reg == 0x1EE ? 0x05 : 0x05, on = reg == 0x1EE ? 0x01 : 0x04;
        ASSERT_EQ(sensorWrite(h, reg, off), 0);
        ASSERT_EQ(writeFpga(h, 0, 0x11), 0);
        ASSERT_EQ(sensorWrite(h, reg, on), 0);
        ASSERT_EQ(writeFpga(h, 0, 0x01), 0);
        EXPECT_EQ(cam.syncCycles(), 0);
        EXPECT_EQ(readFpga(h, 35) & 0x10, 0);
    }
    // Writes to register 0 that keep the stop bit are not a second stop.
    ASSERT_EQ(writeFpga(h, 0, 0x11), 0);
    ASSERT_EQ(writeFpga(h, 0, 0x51), 0);
    ASSERT_EQ(writeFpga(h, 0, 0x41), 0);
    EXPECT_EQ(cam.syncCycles(), 1);
    EXPECT_EQ(readFpga(h, 35) & 0x10, 0x10);
    // A preload does not move a bit that follows a policy, but does one kept as set.
    ASSERT_TRUE(cam.setSyncPolicy(KYRSIM_SYNC_NEVER));
    ASSERT_TRUE(cam.setFpga(35, 0x10));
    EXPECT_EQ(readFpga(h, 35) & 0x10, 0);
    ASSERT_TRUE(cam.setSyncPolicy(KYRSIM_SYNC_AS_SET));
    EXPECT_EQ(readFpga(h, 35) & 0x10, 0x10);
}

// In wait and trigger mode the trigger's fall reads a frame out only while
// the sensor is unparked and XHS runs; otherwise no frame comes and the DDR
// holds none (a resend gets nothing).
TEST_F(Modes, TheTriggersFallReadsOutOnlyWhileUnparkedWithXhsRunning) {
    const int bytes = kWidth * kHeight;
    program(0x00, true, 47, 1405, 24, 45);
    struct Case {
        const char* what;
        bool gated;  // the profile's readout_gated
        int stream;  // 0x1EE at the fall
        bool xhsStopped;
        bool frame;
    };
    const Case cases[] = {
        {"unparked, XHS running", true, 0x01, false, true},
        {"parked", true, 0x05, false, false},
        {"XHS stopped", true, 0x01, true, false},
        {"parked with XHS stopped", true, 0x05, true, false},
        {"not gated: parked with XHS stopped", false, 0x05, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_profile p{};
        ASSERT_EQ(kyrsim_get_profile(kS7100, &p), 0);
        p.readout_gated = c.gated ? 1 : 0;
        ASSERT_EQ(kyrsim_set_profile(kS7100, &p), 0);
        kyrsim::Device gatedCam = kyrsim::plug(kS7100, 1, "2");
        libusb_device_handle* g = usb.open(gatedCam);
        ASSERT_NE(g, nullptr);
        setWindow(g, kWidth, kHeight);
        ASSERT_EQ(out(g, 0xA9), 0);
        ASSERT_EQ(sensorWrite(g, 0x000, 0x04), 0);
        ASSERT_EQ(sensorWrite(g, 0x1EE, 0x01), 0);
        // A frame held from before.
        std::swap(h, g);
        ASSERT_EQ(frame(bytes).size(), static_cast<size_t>(bytes));
        ASSERT_EQ(readFpga(h, 35) & 0x04, 0x04);
        ASSERT_EQ(writeFpga(h, 0, 0xC1), 0);  // wait and trigger mode
        ASSERT_EQ(writeFpga(h, 11, 0x01), 0);
        ASSERT_EQ(sensorWrite(h, 0x1EE, c.stream), 0);
        ASSERT_EQ(writeFpga(h, 11, c.xhsStopped ? 0x11 : 0x01), 0);
        ASSERT_EQ(writeFpga(h, 11, c.xhsStopped ? 0x10 : 0x00), 0);  // the fall
        ASSERT_EQ(sensorWrite(h, 0x1EE, 0x01), 0);
        ASSERT_EQ(writeFpga(h, 11, 0x00), 0);
        EXPECT_EQ(frame(bytes, c.frame ? 2000 : 200).size(), c.frame ? static_cast<size_t>(bytes) : 0u);
        EXPECT_EQ(readFpga(h, 35) & 0x04, c.frame ? 0x04 : 0);
        if (!c.frame) {
            ASSERT_EQ(writeFpga(h, 24, 0x01), 0);  // resend the held frame
            EXPECT_TRUE(frame(bytes, 200).empty());
        }
        std::swap(h, g);
        usb.close(g);
        ASSERT_TRUE(gatedCam.unplug());
    }
}

// The S7300 crops a line only while both its switches say so: 0x0A5 = 1 and
// 0x187 = 4.
TEST_F(Modes, TheS7300CropsOnlyWithBothSwitches) {
    start(kProducts[2]);
    program(0x00, false, 47, 1380 + 25, 24, 49);
    const struct {
        int a5, r187;
        bool crops;
    } cases[] = {{1, 4, true}, {0, 4, false}, {1, 0, false}, {0, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a5 << " " << c.r187);
        ASSERT_EQ(sensorWrite(h, 0x0A5, c.a5), 0);
        ASSERT_EQ(sensorWrite(h, 0x187, c.r187), 0);
        const int x0 = c.crops ? 752 : 0;
        expectPixels(frame(kWidth * kHeight), false, 12, [&](int x, int y) { return arrayPixel(x0 + x, 1380 + y); });
    }
}

// The S7300's modes by their codes, with their dummy columns, blanking and
// bits; the 2 x 2 mode crops (the driver's hardware bin 2 keeps the switches
// on), the 3 x 3 one reads the whole line.
TEST_F(Modes, TheS7300ModesReadTheirWindows) {
    start(kProducts[2]);
    ASSERT_EQ(writeFpga(h, 10, 0x11), 0);  // 16-bit output, the FPGA at 12 bits
    struct Case {
        const char* what;
        const ModeRow& m;
        bool crop;
        int startX, startY;  // array pixel of frame pixel (0, 0)
    };
    const Case cases[] = {
        {"full", k7300ModeRows[0], true, 752, 1404},
        {"high speed", k7300ModeRows[1], true, 752, 1404},
        {"2 x 2, cropped", k7300ModeRows[2], true, 1520, 1360},
        {"3 x 3, whole line", k7300ModeRows[3], false, 1518, 1368},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ModeRow& m = c.m;
        const int hblk = m.dummy + (c.crop ? 0 : c.startX / m.factor);
        program(m.code, c.crop, c.crop ? c.startX / 16 : 0, c.startY + m.k, hblk, m.blank);
        expectPixels(frame(kWidth * kHeight * 2), true, m.bits, [&](int x, int y) {
            return block(c.startX + m.factor * x, c.startY + m.factor * y, m.factor);
        });
    }
}

// Colour sensors bin pixels of one colour, so the RGGB mosaic stays: the
// bars keep their colour and each binned pixel is the mean of its colour's
// pixels.
TEST_F(Modes, ColourSensorsBinSameColourPixels) {
    struct Case {
        const char* what;
        const ProductRow& product;
        const ModeRow& m;
        int startX;  // array column of frame column 0; rows from 0
    };
    // The second bar (yellow) starts at array column 6248 * 1 / 8 = 781 and 9576 / 8 = 1197.
    const Case cases[] = {
        {"S7100 colour, 2 x 2", kProducts[1], k7100ModeRows[1], 784},
        {"S7100 colour, 3 x 3", kProducts[1], k7100ModeRows[2], 792},
        {"S7300 colour, 3 x 3", kProducts[3], k7300ModeRows[3], 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ModeRow& m = c.m;
        start(c.product);
        program(m.code, false, 0, m.k, m.dummy + c.startX / m.factor, m.blank);
        const auto f = frame(kWidth * kHeight);
        expectPixels(f, false, m.bits, [&](int x, int y) {
            return colourBlock(c.startX + 2 * m.factor * (x / 2) + x % 2, 2 * m.factor * (y / 2) + y % 2,
                               m.factor);
        });
        auto px = [&](int x, int y) { return f[static_cast<size_t>(y * kWidth + x)]; };
        EXPECT_EQ(px(2, 2), 0xC0);  // red
        EXPECT_EQ(px(3, 2), 0xC0);  // green
        EXPECT_EQ(px(2, 3), 0xC0);  // green
        EXPECT_EQ(px(3, 3), 0x10);  // blue
    }
}

// The S7300 takes the landed trigger modes: in trigger mode (register 0 bit
// 7 alone) a soft trigger's valid edge sends one frame, nothing else does.
TEST_F(Modes, TheS7300SendsOneFramePerSoftTrigger) {
    start(kProducts[2]);
    EXPECT_EQ(readFpga(h, 28), 0xC0);
    program(0x00, true, 47, 1405, 24, 49);
    ASSERT_EQ(writeFpga(h, 40, 0x00), 0);  // soft trigger, rising edge
    ASSERT_EQ(writeFpga(h, 0, 0x81), 0);
    const int bytes = kWidth * kHeight;
    EXPECT_TRUE(frame(bytes, 200).empty());
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(writeFpga(h, 11, 0x01), 0);
        ASSERT_EQ(writeFpga(h, 11, 0x00), 0);
        EXPECT_EQ(frame(bytes).size(), static_cast<size_t>(bytes));
        EXPECT_TRUE(frame(bytes, 200).empty());
    }
    EXPECT_EQ(cam.query(KYRSIM_Q_TRIGGERS), 2);
}

}  // namespace

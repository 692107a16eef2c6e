// What the simulator tells about one camera among several: each camera's own
// scene (a frame of one can never pass for the other's), the sensor registers a
// camera has written, and the sensor write log with the hold and latch state
// and the calling thread of every write.
#include <thread>

#include "streamtest.hpp"

using namespace simtest;

namespace {

int sensorWrite(libusb_device_handle* h, int reg, int value) { return out(h, 0xB6, reg, value & 0xFF); }
int sensorWrite16(libusb_device_handle* h, int reg, int value) { return out(h, 0xA6, reg, value & 0xFFFF); }

// One frame of w x h 8-bit pixels from an opened, streaming camera.
std::vector<unsigned char> oneFrame(Usb& usb, libusb_device_handle* h, int bytes) {
    Bulk b(h, 0x81, bytes + 4096);
    EXPECT_EQ(b.submit(), 0);
    EXPECT_TRUE(waitAll(usb.ctx(), {&b}));
    return b.data();
}

TEST(SceneSeed, TwoCamerasOfOneModelShowADifferentValueAtEveryPixel) {
    kyrsim::Scope scope;
    Usb usb;
    const kyrsim::Device a = kyrsim::plug(kFpgaCamera, 1, "1");
    const kyrsim::Device b = kyrsim::plug(kFpgaCamera, 1, "2");
    EXPECT_EQ(a.sceneSeed(), 0);
    EXPECT_EQ(b.sceneSeed(), 1);
    // On the sensor's array, over the bars, the ramp and the sky.
    for (int y : {0, 700, 1500, 2159})
        for (int x : {0, 1, 517, 1919, 3839}) EXPECT_NE(a.scenePixel(x, y) >> 8, b.scenePixel(x, y) >> 8);

    // In the frames, relative to the FPGA window, in 8-bit output (the high byte of the scene).
    constexpr int kW = 64, kH = 24;
    std::vector<std::vector<unsigned char>> frames;
    for (const kyrsim::Device& d : {a, b}) {
        ASSERT_TRUE(d.setSensorModel(false));
        libusb_device_handle* h = usb.open(d);
        ASSERT_NE(h, nullptr);
        setWindow(h, kW, kH);
        ASSERT_EQ(out(h, 0xA9), 0);
        frames.push_back(oneFrame(usb, h, kW * kH));
        ASSERT_EQ(frames.back().size(), static_cast<size_t>(kW * kH));
    }
    for (size_t i = 4; i + 4 < frames[0].size(); ++i) ASSERT_NE(frames[0][i], frames[1][i]) << "byte " << i;

    // A seed given back makes the scenes equal again; the plug order restarts after a reset.
    ASSERT_TRUE(b.setSceneSeed(0));
    EXPECT_EQ(a.scenePixel(100, 100), b.scenePixel(100, 100));
    EXPECT_EQ(kyrsim_set_scene_seed(a.handle(), -1), -1);
    EXPECT_EQ(kyrsim_scene_seed(-5), -1);
    kyrsim::reset();
    EXPECT_EQ(kyrsim::plug(kFpgaCamera, 1, "3").sceneSeed(), 0);
}

TEST(SensorRegisterFile, ListsEveryWrittenRegisterWithItsValueByRegister) {
    kyrsim::Scope scope;
    Usb usb;
    const kyrsim::Device d = kyrsim::plug(kFpgaCamera, 1, "1");
    libusb_device_handle* h = usb.open(d);
    ASSERT_NE(h, nullptr);
    const std::vector<std::pair<int, int>> before = d.sensorRegs();  // nothing written yet
    ASSERT_TRUE(d.setSensor(0x3F00, 9));                             // a preload is no write
    ASSERT_EQ(sensorWrite(h, 0x3044, 0x12), 0);
    ASSERT_EQ(sensorWrite(h, 0x303C, 0x34), 0);
    ASSERT_EQ(sensorWrite(h, 0x3044, 0x56), 0);
    ASSERT_EQ(sensorWrite16(h, 0x3100, 0xBEEF), 0);
    EXPECT_TRUE(before.empty());
    const std::vector<std::pair<int, int>> want = {{0x303C, 0x34}, {0x3044, 0x56}, {0x3100, 0xBEEF}};
    EXPECT_EQ(d.sensorRegs(), want);
    // A short buffer gets the first entries; the count is of all of them.
    int regs[1] = {0}, values[1] = {0};
    EXPECT_EQ(kyrsim_sensor_regs(d.handle(), regs, values, 1), 3);
    EXPECT_EQ(regs[0], 0x303C);
    EXPECT_EQ(values[0], 0x34);
    EXPECT_EQ(kyrsim_sensor_regs(-3, nullptr, nullptr, 0), -1);
}

// Each hold register the sensor families use marks the writes it holds.
TEST(SensorWriteLog, RecordsHoldStateLatchAndThreadForEveryHoldRegister) {
    struct Case {
        int pid;
        int holdReg;  // KYRSIM_NONE: a profile changed to this hold register (the 831's own sensor)
        int overrideHold;
    };
    const Case cases[] = {
        {0x832b, 0x3001, 0}, {0x811e, 0x302B, 0}, {0x821a, 0x3034, 0}, {0x826e, 0x3008, 0x3008}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pid);
        kyrsim::Scope scope;
        if (c.overrideHold) {
            kyrsim_profile p{};
            ASSERT_EQ(kyrsim_get_profile(c.pid, &p), 0);
            p.hold_reg = c.overrideHold;
            ASSERT_EQ(kyrsim_set_profile(c.pid, &p), 0);
        }
        Usb usb;
        const kyrsim::Device d = kyrsim::plug(c.pid, 1, "1");
        libusb_device_handle* h = usb.open(d);
        ASSERT_NE(h, nullptr);
        kyrsim::clearLog();
        ASSERT_EQ(sensorWrite(h, 0x3100, 1), 0);  // unheld
        ASSERT_EQ(sensorWrite(h, c.holdReg, 1), 0);
        ASSERT_EQ(sensorWrite(h, 0x3101, 2), 0);  // held
        writeFpga(h, 1, 1);
        ASSERT_EQ(sensorWrite16(h, 0x3102, 0x1234), 0);  // held, inside the FPGA latch
        writeFpga(h, 1, 0);
        ASSERT_EQ(sensorWrite(h, c.holdReg, 0), 0);
        unsigned long long other = 0;
        std::thread([&] {
            other = kyrsim_thread_id();
            EXPECT_EQ(sensorWrite(h, 0x3103, 3), 0);  // unheld, from another thread
        }).join();

        const std::vector<kyrsim::SensorWrite> log = d.sensorLog();
        ASSERT_EQ(log.size(), 6u);
        struct Want {
            int reg, value, bits, held, isHold, latched;
            bool otherThread;
        };
        const Want want[] = {{0x3100, 1, 8, 0, 0, 0, false},    {c.holdReg, 1, 8, 0, 1, 0, false},
                             {0x3101, 2, 8, 1, 0, 0, false},    {0x3102, 0x1234, 16, 1, 0, 1, false},
                             {c.holdReg, 0, 8, 1, 1, 0, false}, {0x3103, 3, 8, 0, 0, 0, true}};
        const std::vector<kyrsim::Request> requests = kyrsim::requests(KYRSIM_ANY, d.handle());
        for (size_t i = 0; i < log.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(log[i].reg, want[i].reg);
            EXPECT_EQ(log[i].value, want[i].value);
            EXPECT_EQ(log[i].bits, want[i].bits);
            EXPECT_EQ(log[i].held, want[i].held);
            EXPECT_EQ(log[i].is_hold, want[i].isHold);
            EXPECT_EQ(log[i].latched, want[i].latched);
            EXPECT_EQ(log[i].thread, want[i].otherThread ? other : kyrsim_thread_id());
            // The entry names its request in the control request log.
            bool found = false;
            for (const kyrsim::Request& r : requests)
                if (r.seq == log[i].seq) found = r.value == want[i].reg;
            EXPECT_TRUE(found);
        }
        EXPECT_TRUE(d.clearSensorLog());
        EXPECT_EQ(kyrsim_sensor_log_count(d.handle()), 0);
        EXPECT_EQ(kyrsim_sensor_log_dropped(d.handle()), 0);
    }
}

TEST(SensorWriteLog, ACameraWithoutHoldRegisterMarksNothingHeld) {
    kyrsim::Scope scope;
    Usb usb;
    const kyrsim::Device d = kyrsim::plug(0x826e, 1, "1");
    libusb_device_handle* h = usb.open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(sensorWrite(h, 0x3001, 1), 0);
    ASSERT_EQ(sensorWrite(h, 0x3100, 1), 0);
    for (const kyrsim::SensorWrite& w : d.sensorLog()) {
        EXPECT_EQ(w.held, 0);
        EXPECT_EQ(w.is_hold, 0);
    }
    EXPECT_EQ(kyrsim_sensor_log_count(-1), -1);
    kyrsim_sensor_write w{};
    EXPECT_EQ(kyrsim_sensor_log_get(d.handle(), 2, &w), -1);
}

}  // namespace

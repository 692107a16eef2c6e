// The simulated camera's vendor requests: which forms it accepts, its FPGA and
// sensor register files, identity answers, memories, the request log and the
// fault rules on control transfers.
#include <unistd.h>

#include <cmath>
#include <string>

#include "simtest.hpp"

using namespace simtest;

namespace {

class Requests : public OpenedCamera {};

struct Form {
    const char* what;
    uint8_t type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    bool accepted;
};

// Each request in its own form, then the same codes with one field wrong.
const Form kForms[] = {
    {"humidity", kIn, 0x85, 245, 0, 2, true},
    {"humidity without sensor address", kIn, 0x85, 0, 0, 2, false},
    {"RAM write", kOut, 0xA0, 0xE600, 0, 1, true},
    {"RAM read", kIn, 0xA0, 0, 0, 1, true},
    {"RAM program entry", kOut, 0xA0, 0x0000, 0x4000, 0, true},
    {"RAM read too long", kIn, 0xA0, 0, 0, 4097, false},
    {"clock 24 MHz", kOut, 0xA3, 0, 0, 0, true},
    {"clock 48 MHz", kOut, 0xA4, 0, 0, 0, true},
    {"clock with a value", kOut, 0xA4, 1, 0, 0, false},
    {"sensor write 16", kOut, 0xA6, 0x3012, 0xBEEF, 0, true},
    {"sensor write 16 with data", kOut, 0xA6, 0x3012, 0, 2, false},
    {"sensor read 16", kIn, 0xA7, 0x3012, 0, 2, true},
    {"sensor read 16 one byte", kIn, 0xA7, 0x3012, 0, 1, false},
    {"sensor read 16 as OUT", kOut, 0xA7, 0x3012, 0, 0, false},
    {"stream start", kOut, 0xA9, 0, 0, 0, true},
    {"stream start with a value", kOut, 0xA9, 1, 0, 0, false},
    {"EEPROM page 2 write", kOut, 0xA9, 0x2000, 0, 4096, true},
    {"EEPROM page 15 read, the rest", kIn, 0xA9, 0xF000, 0, 100, true},
    {"EEPROM page off a page boundary", kIn, 0xA9, 0x2100, 0, 4096, false},
    {"stream stop", kOut, 0xAA, 0, 0, 0, true},
    {"stream stop as IN", kIn, 0xAA, 0, 0, 0, false},
    {"8-bit output", kOut, 0xAB, 0, 0, 0, true},
    {"16-bit output", kOut, 0xAC, 0, 0, 0, true},
    {"firmware version", kIn, 0xAD, 0, 0, 2, true},
    {"firmware version, 3 bytes", kIn, 0xAD, 0, 0, 3, false},
    {"firmware version as OUT", kOut, 0xAD, 0, 0, 2, false},
    {"command AE", kOut, 0xAE, 0, 0, 0, true},
    {"command AF", kOut, 0xAF, 0, 0, 0, true},
    {"command AF as IN", kIn, 0xAF, 0, 0, 1, false},
    {"guide on west", kOut, 0xB0, 3, 0, 0, true},
    {"guide on direction 4", kOut, 0xB0, 4, 0, 0, false},
    {"guide off north", kOut, 0xB1, 0, 0, 0, true},
    {"guide off with an index", kOut, 0xB1, 0, 1, 0, false},
    {"cooler level", kOut, 0xB2, 200, 0, 0, true},
    {"board temperature", kIn, 0xB3, 0, 0, 2, true},
    {"USB-3 host", kIn, 0xB4, 0, 0, 1, true},
    {"USB-3 host, 2 bytes", kIn, 0xB4, 0, 0, 2, false},
    {"transfer count", kOut, 0xB5, 0x0001, 0x2345, 0, true},
    {"sensor write 8", kOut, 0xB6, 0x0301, 0x7F, 0, true},
    {"sensor write 8 with a 16-bit value", kOut, 0xB6, 0x0301, 0x17F, 0, false},
    {"sensor read 8", kIn, 0xB7, 0x0301, 0, 1, true},
    {"sensor read 8 as OUT", kOut, 0xB7, 0x0301, 0, 1, false},
    {"I2C EEPROM write", kOut, 0xBA, 4, 0x0800, 2048, true},
    {"I2C EEPROM write, padded last piece", kOut, 0xBA, 0, 0, 128, true},
    {"I2C EEPROM write not padded to 64", kOut, 0xBA, 0, 0, 100, false},
    {"I2C EEPROM device 8", kOut, 0xBA, 8, 0, 64, false},
    {"I2C EEPROM read", kIn, 0xBB, 4, 0x0800, 100, true},
    {"FPGA read", kIn, 0xBC, 35, 0, 1, true},
    {"FPGA read of register 256", kIn, 0xBC, 256, 0, 1, false},
    {"FPGA read, 2 bytes", kIn, 0xBC, 35, 0, 2, false},
    {"FPGA write", kOut, 0xBD, 12, 128, 0, true},
    {"FPGA write of a 9-bit value", kOut, 0xBD, 12, 256, 0, false},
    {"FPGA write as IN", kIn, 0xBD, 12, 128, 1, false},
    {"parallel bus take", kOut, 0xBE, 1, 0, 0, true},
    {"parallel bus value 2", kOut, 0xBE, 2, 0, 0, false},
    {"SPI program", kOut, 0xC2, 0, 0x0700, 256, true},
    {"SPI program with a value", kOut, 0xC2, 1, 0x0700, 256, false},
    {"SPI read", kIn, 0xC3, 0, 0x0700, 2048, true},
    {"SPI read without length", kIn, 0xC3, 0, 0x0700, 0, false},
    {"SPI erase", kOut, 0xC4, 1, 7, 0, true},
    {"SPI busy poll", kIn, 0xC4, 0, 7, 1, true},
    {"SPI erase as IN", kIn, 0xC4, 1, 7, 1, false},
    {"temperature ADC", kIn, 0xC7, 0, 0, 2, true},
    {"serial number", kIn, 0xC8, 0, 0, 8, true},
    {"serial number, 6 bytes", kIn, 0xC8, 0, 0, 6, false},
    {"parallel interface state", kIn, 0xFD, 0, 0, 1, true},
    {"unknown code 0x00", kOut, 0x00, 0, 0, 0, false},
    {"unknown code 0xB8", kIn, 0xB8, 0, 0, 1, false},
    {"unknown code 0xFF", kOut, 0xFF, 0, 0, 0, false},
    {"standard GET_DESCRIPTOR", 0x80, 0x06, 0x0100, 0, 18, false},
    {"class request", 0x21, 0xBD, 12, 1, 0, false},
    {"vendor request to an interface", 0x41, 0xBD, 12, 1, 0, false},
};

TEST_F(Requests, AcceptsEachRequestOnlyInItsOwnForm) {
    std::vector<unsigned char> buf(4096, 0);
    int rejected = 0;
    for (const Form& f : kForms) {
        SCOPED_TRACE(f.what);
        // The loader firmware answers every form, RAM reads at 0 and EEPROM pages included.
        ASSERT_TRUE(cam.setFirmwareState(KYRSIM_FW_LOADER));
        kyrsim_log_clear();
        const int r =
            libusb_control_transfer(h, f.type, f.request, f.value, f.index, buf.data(), f.length, kTimeoutMs);
        ASSERT_EQ(kyrsim_log_count(), 1);
        kyrsim::Request logged = kyrsim::requests()[0];
        if (f.accepted) {
            EXPECT_EQ(r, f.length);
            EXPECT_EQ(logged.unexpected, 0);
        } else {
            ++rejected;
            EXPECT_EQ(r, LIBUSB_ERROR_PIPE);
            EXPECT_EQ(logged.unexpected, 1);
        }
        EXPECT_EQ(logged.result, r);
        EXPECT_EQ(kyrsim_unexpected_count(), rejected);
    }
}

TEST_F(Requests, FpgaRegistersReadBackExceptTheReadOnlyOnes) {
    kyrsim_profile profile;
    ASSERT_EQ(kyrsim_get_profile(kFpgaCamera, &profile), 0);
    for (int reg : {2, 3, 4, 9, 12, 36, 38, 69, 212, 255}) {
        SCOPED_TRACE(reg);
        ASSERT_EQ(writeFpga(h, reg, (reg * 7 + 3) & 0xFF), 0);
        EXPECT_EQ(readFpga(h, reg), (reg * 7 + 3) & 0xFF);
        EXPECT_EQ(cam.fpga(reg), (reg * 7 + 3) & 0xFF);
    }
    for (int reg = 28; reg <= 33; ++reg) {
        SCOPED_TRACE(reg);
        ASSERT_EQ(writeFpga(h, reg, 0xA5), 0);
        EXPECT_EQ(readFpga(h, reg), profile.fpga_ver[reg - 28]);
    }
    ASSERT_EQ(writeFpga(h, 35, 0xF0), 0);
    EXPECT_EQ(readFpga(h, 35), 0x01);  // DDR ready, nothing cached
    // A preload reaches read-only registers too.
    ASSERT_TRUE(cam.setFpga(28, 0xC2));
    EXPECT_EQ(readFpga(h, 28), 0xC2);
}

TEST_F(Requests, FpgaResetCompletesByItself) {
    ASSERT_EQ(writeFpga(h, 0, 0x30), 0);  // run bit clear: held in reset
    EXPECT_EQ(readFpga(h, 0), 0x31);
    EXPECT_EQ(cam.query(KYRSIM_Q_FPGA_RESETS), 1);
    ASSERT_EQ(writeFpga(h, 0, 0x21), 0);
    EXPECT_EQ(readFpga(h, 0), 0x21);
    EXPECT_EQ(cam.query(KYRSIM_Q_FPGA_RESETS), 1);
}

TEST_F(Requests, UpdateLatchAppliesHeldWritesTogether) {
    ASSERT_EQ(writeFpga(h, 4, 0x11), 0);
    ASSERT_EQ(writeFpga(h, 1, 1), 0);
    ASSERT_EQ(writeFpga(h, 4, 0x80), 0);
    ASSERT_EQ(writeFpga(h, 5, 0x07), 0);
    ASSERT_EQ(writeFpga(h, 4, 0x81), 0);  // the later write of a register wins
    EXPECT_EQ(readFpga(h, 4), 0x11);      // reads see applied values only
    EXPECT_EQ(readFpga(h, 5), 0x00);
    EXPECT_EQ(cam.fpgaPending(), 3);
    EXPECT_EQ(readFpga(h, 1), 1);

    ASSERT_EQ(writeFpga(h, 1, 0), 0);
    EXPECT_EQ(cam.fpgaPending(), 0);
    EXPECT_EQ(readFpga(h, 4), 0x81);
    EXPECT_EQ(readFpga(h, 5), 0x07);
    EXPECT_EQ(cam.fpgaWide(4, 2), 0x0781);
}

TEST_F(Requests, DdrReadyBitFollowsTheProfilePolicy) {
    struct Case {
        int policy, k, writes;
        int ready;
    };
    const Case cases[] = {
        {KYRSIM_DDR_READY, 0, 0, 1},        {KYRSIM_DDR_AFTER_WRITES, 3, 2, 0},
        {KYRSIM_DDR_AFTER_WRITES, 3, 3, 1}, {KYRSIM_DDR_AFTER_WRITES, 0, 0, 1},
        {KYRSIM_DDR_NEVER, 0, 6, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.policy * 100 + c.k * 10 + c.writes);
        ASSERT_TRUE(cam.setDdrPolicy(c.policy, c.k));
        for (int i = 0; i < c.writes; ++i) ASSERT_EQ(writeFpga(h, 24, 128), 0);
        ASSERT_EQ(writeFpga(h, 24, 129), 0);  // not a DDR initialise request
        EXPECT_EQ(readFpga(h, 35) & 1, c.ready);
    }
}

TEST_F(Requests, ProfileOfAProductAppliesToCamerasPluggedLater) {
    kyrsim_profile p;
    ASSERT_EQ(kyrsim_get_profile(0x820b, &p), 0);
    p.fpga_ver[0] = 2;
    p.fpga_ver[1] = 0x42;
    p.ddr_policy = KYRSIM_DDR_NEVER;
    ASSERT_EQ(kyrsim_set_profile(0x820b, &p), 0);
    kyrsim::Device other = kyrsim::plug(0x820b, 1, "2");
    libusb_device_handle* h2 = usb.open(other);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(readFpga(h2, 28), 2);
    EXPECT_EQ(readFpga(h2, 29), 0x42);
    EXPECT_EQ(readFpga(h2, 35) & 1, 0);
    EXPECT_EQ(readFpga(h, 35) & 1, 1);  // other products keep theirs

    p.endpoint = 0x83;
    EXPECT_EQ(kyrsim_set_profile(0x820b, &p), -1);
}

TEST_F(Requests, SensorRegistersInBothWidthsWithBigEndianReads) {
    ASSERT_EQ(out(h, 0xA6, 0x3012, 0x1234), 0);
    Reply r16 = in(h, 0xA7, 0x3012, 0, 2);
    ASSERT_EQ(r16.result, 2);
    EXPECT_EQ(r16.data, (std::vector<unsigned char>{0x12, 0x34}));
    EXPECT_EQ(cam.sensor(0x3012), 0x1234);

    ASSERT_EQ(out(h, 0xB6, 0x0301, 0xA5), 0);
    Reply r8 = in(h, 0xB7, 0x0301, 0, 1);
    ASSERT_EQ(r8.result, 1);
    EXPECT_EQ(r8.data[0], 0xA5);
    EXPECT_EQ(cam.sensor(0x0301), 0xA5);

    ASSERT_TRUE(cam.setSensor(0x3000, 0x0C5A));  // a chip ID the driver reads
    EXPECT_EQ(in(h, 0xA7, 0x3000, 0, 2).data, (std::vector<unsigned char>{0x0C, 0x5A}));
    EXPECT_EQ(in(h, 0xB7, 0x3000, 0, 1).data[0], 0x5A);
    EXPECT_EQ(in(h, 0xA7, 0x7777, 0, 2).data, (std::vector<unsigned char>{0, 0}));

    ASSERT_EQ(out(h, 0xA6, 0x3012, 0x0001), 0);
    EXPECT_EQ(cam.sensorWrites(0x3012), 2);
    EXPECT_EQ(cam.sensorWrites(0x3000), 0);
}

TEST_F(Requests, IdentityAnswers) {
    EXPECT_EQ(in(h, 0xAD, 0, 0, 2).data, (std::vector<unsigned char>{'V', 0x31}));
    EXPECT_EQ(in(h, 0xB4, 0, 0, 1).data[0], 1);
    ASSERT_TRUE(cam.setFirmwareAnswer('X', 3));
    ASSERT_TRUE(cam.setUsb3(false));
    const unsigned char none[8] = {};
    ASSERT_TRUE(cam.setSerial(none));
    EXPECT_EQ(in(h, 0xAD, 0, 0, 2).data, (std::vector<unsigned char>{'X', 3}));
    EXPECT_EQ(in(h, 0xB4, 0, 0, 1).data[0], 0);
    EXPECT_EQ(in(h, 0xC8, 0, 0, 8).data, std::vector<unsigned char>(8, 0));

    kyrsim_device_config cfg = kyrsim::config(kFpgaCamera, 2, "1");
    cfg.fw_answer[1] = 0x05;
    cfg.usb3_host = 0;
    const unsigned char sn[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::copy(sn, sn + 8, cfg.serial);
    kyrsim::Device usb2 = kyrsim::plug(cfg);
    libusb_device_handle* h2 = usb.open(usb2);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(in(h2, 0xAD, 0, 0, 2).data, (std::vector<unsigned char>{'V', 0x05}));
    EXPECT_EQ(in(h2, 0xB4, 0, 0, 1).data[0], 0);
    EXPECT_EQ(in(h2, 0xC8, 0, 0, 8).data, std::vector<unsigned char>(sn, sn + 8));
}

TEST_F(Requests, GuideOutputsRecordEachChangeWithItsTime) {
    const long long t0 = kyrsim_now_us();
    ASSERT_EQ(out(h, 0xB0, 2), 0);
    ASSERT_EQ(out(h, 0xB0, 2), 0);  // already on: no change
    ASSERT_EQ(out(h, 0xB0, 0), 0);
    ASSERT_EQ(out(h, 0xB1, 2), 0);
    EXPECT_EQ(cam.guide(0), 1);
    EXPECT_EQ(cam.guide(2), 0);
    EXPECT_EQ(cam.guide(1), 0);
    ASSERT_EQ(cam.guideChanges(2), 2);
    EXPECT_EQ(cam.guideChanges(3), 0);
    int on = -1;
    long long tOn = 0, tOff = 0;
    ASSERT_EQ(kyrsim_guide_change(cam.handle(), 2, 0, &on, &tOn), 0);
    EXPECT_EQ(on, 1);
    ASSERT_EQ(kyrsim_guide_change(cam.handle(), 2, 1, &on, &tOff), 0);
    EXPECT_EQ(on, 0);
    EXPECT_LE(t0, tOn);
    EXPECT_LE(tOn, tOff);
    EXPECT_LE(tOff, kyrsim_now_us());
    EXPECT_EQ(kyrsim_guide_change(cam.handle(), 2, 2, &on, &tOff), -1);
}

TEST_F(Requests, ParallelInterfaceStateAnswersWhatIsSet) {
    EXPECT_EQ(in(h, 0xFD, 0, 0, 1).data[0], 0);  // idle at plug
    for (int v : {1, 0x5A, 0xFF, 0}) {
        SCOPED_TRACE(v);
        ASSERT_TRUE(cam.setFdAnswer(v));
        const Reply r = in(h, 0xFD, 0, 0, 1);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.data[0], v);
    }
    EXPECT_FALSE(cam.setFdAnswer(-1));
    EXPECT_FALSE(cam.setFdAnswer(0x100));
    EXPECT_EQ(kyrsim_set_fd_answer(-5, 1), -1);
}

// Handed to the test's clock, the reported time stamps move only as the test
// advances it, from where they were; handed back (or after a reset), with real
// time again.
TEST_F(Requests, LogTimesFollowTheTestClockOnceHandedOver) {
    struct Restore {
        ~Restore() { kyrsim::setLogClock(false); }
    } restore;
    kyrsim::setLogClock(true);
    const long long t0 = kyrsim_now_us();
    usleep(20 * 1000);
    EXPECT_EQ(kyrsim_now_us(), t0);  // real time does not move it
    kyrsim::clearLog();
    ASSERT_EQ(readFpga(h, 0), 1);
    kyrsim::advanceModelTime(2'500'000);
    ASSERT_EQ(out(h, 0xB0, 1), 0);
    kyrsim::advanceModelTime(700);
    ASSERT_EQ(out(h, 0xB1, 1), 0);
    EXPECT_EQ(kyrsim_now_us(), t0 + 2'500'700);
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].start_us, t0);
    EXPECT_EQ(log[0].end_us, t0);
    EXPECT_EQ(log[1].start_us, t0 + 2'500'000);
    EXPECT_EQ(log[2].end_us, t0 + 2'500'700);
    long long tOn = 0, tOff = 0;
    int on = -1;
    ASSERT_EQ(kyrsim_guide_change(cam.handle(), 1, 0, &on, &tOn), 0);
    ASSERT_EQ(kyrsim_guide_change(cam.handle(), 1, 1, &on, &tOff), 0);
    EXPECT_EQ(tOff - tOn, 700);

    // Back on real time.
    kyrsim::setLogClock(false);
    const long long r0 = kyrsim_now_us();
    usleep(20 * 1000);
    EXPECT_GE(kyrsim_now_us() - r0, 20 * 1000);
    kyrsim::setLogClock(true);
    kyrsim::reset();
    const long long r1 = kyrsim_now_us();
    usleep(20 * 1000);
    EXPECT_GE(kyrsim_now_us() - r1, 20 * 1000);
}

TEST_F(Requests, SpiFlashBehavesLikeNor) {
    constexpr int kIdPage = 0x70000 / 256;
    ASSERT_EQ(out(h, 0xBE, 0), 0);  // release the parallel bus to the flash
    ASSERT_TRUE(cam.setFlash(0x70000, {0x0F, 0xF0, 0x00, 0xFF}));
    ASSERT_EQ(outData(h, 0xC2, 0, kIdPage, {0xFF, 0xFF, 0xAA, 0x3C}), 4);
    EXPECT_EQ(cam.flash(0x70000, 4), (std::vector<unsigned char>{0x0F, 0xF0, 0x00, 0x3C}));  // AND

    ASSERT_EQ(out(h, 0xC4, 1, 7), 0);  // erase sector 7
    std::vector<int> polls;
    for (int i = 0; i < 4; ++i) polls.push_back(in(h, 0xC4, 0, 7, 1).data[0]);
    EXPECT_EQ(polls, (std::vector<int>{1, 1, 0, 0}));
    EXPECT_EQ(in(h, 0xC3, 0, kIdPage, 4).data, std::vector<unsigned char>(4, 0xFF));

    ASSERT_EQ(outData(h, 0xC2, 0, kIdPage, {'I', 'D', 1, 2}), 4);
    EXPECT_EQ(in(h, 0xC3, 0, kIdPage, 4).data, (std::vector<unsigned char>{'I', 'D', 1, 2}));
    EXPECT_EQ(cam.flash(0x6FFFF, 1)[0], 0xFF);  // the neighbouring sector is untouched
    ASSERT_EQ(out(h, 0xBE, 1), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_FLASH_UNFRAMED), 0);
}

TEST_F(Requests, SpiFlashIgnoresProgramsWhileBusyAndCountsUnframedAccess) {
    ASSERT_TRUE(kyrsim_set_flash_busy_polls(cam.handle(), 1) == 0);
    ASSERT_EQ(out(h, 0xC4, 1, 4), 0);  // the bus still belongs to the image path
    ASSERT_EQ(outData(h, 0xC2, 0, 0x40000 / 256, {0x00}), 1);
    EXPECT_EQ(cam.flash(0x40000, 1)[0], 0xFF);
    EXPECT_EQ(in(h, 0xC4, 0, 4, 1).data[0], 1);
    EXPECT_EQ(in(h, 0xC4, 0, 4, 1).data[0], 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_FLASH_UNFRAMED), 4);
}

TEST_F(Requests, ControllerMemoriesKeepWhatIsWritten) {
    ASSERT_EQ(outData(h, 0xA0, 0xE600, 0, {1}), 1);
    ASSERT_EQ(outData(h, 0xA0, 0x0FFE, 0x4000, {9, 8, 7, 6}), 4);  // across a RAM page
    EXPECT_EQ(cam.ram(0x40000FFE, 4), (std::vector<unsigned char>{9, 8, 7, 6}));
    EXPECT_EQ(in(h, 0xA0, 0xE600, 0, 1).data[0], 1);

    std::vector<unsigned char> piece(128);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(outData(h, 0xBA, 5, 0x0800, piece), 128);
    EXPECT_EQ(in(h, 0xBB, 5, 0x0800, 128).data, piece);
    EXPECT_EQ(cam.eeprom(5, 0x0800, 128), piece);
    EXPECT_EQ(cam.eeprom(4, 0x0800, 1)[0], 0xFF);

    ASSERT_TRUE(cam.setFirmwareState(KYRSIM_FW_LOADER));
    ASSERT_EQ(outData(h, 0xA9, 0x3000, 0, piece), 128);  // loader-served page 3
    EXPECT_EQ(in(h, 0xA9, 0x3000, 0, 128).data, piece);
    EXPECT_EQ(cam.eeprom(8, 0x3000, 128), piece);
    EXPECT_EQ(cam.query(KYRSIM_Q_STREAM_STARTS), 0);  // a page access is not a stream start
}

TEST_F(Requests, EnvironmentReadingsInTheSensorsFormats) {
    struct Case {
        int tempKind;
        int millicelsius;
        int request;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {KYRSIM_TEMP_TMP100, 25000, 0xB3, {0x00, 0x19}},  // 25.0 C
        {KYRSIM_TEMP_TMP100, -1000, 0xB3, {0x00, 0xFF}},  // raw 4080
        {KYRSIM_TEMP_TMP100, 10500, 0xB3, {0x80, 0x0A}},  // 10.5 C
        {KYRSIM_TEMP_TMP451, 30250, 0xB3, {0x04, 30}},    // 30 + 4/16
        {KYRSIM_TEMP_TMP100, 25000, 0xC7, {0x00, 0x80}},  // 10 kOhm against 10 kOhm: 2048 of 4096
        {KYRSIM_TEMP_ADC8, 25000, 0xC7, {0x00, 0x08}},    // 128 of 256
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.millicelsius);
        kyrsim_profile p;
        ASSERT_EQ(kyrsim_get_profile(0x820b, &p), 0);
        p.temp_kind = c.tempKind;
        ASSERT_EQ(kyrsim_set_profile(0x820b, &p), 0);
        kyrsim::Device d = kyrsim::plug(0x820b, 4, "1");
        libusb_device_handle* hd = usb.open(d);
        ASSERT_NE(hd, nullptr);
        ASSERT_TRUE(d.setTemperature(c.millicelsius / 1000.0));
        EXPECT_EQ(in(hd, c.request, 0, 0, 2).data, c.bytes);
        d.unplug();
    }
    // Humidity: percent = raw * 125 / 65536 - 6, raw low byte first.
    ASSERT_TRUE(cam.setHumidity(40));
    Reply hum = in(h, 0x85, 245, 0, 2);
    const int raw = hum.data[0] + 256 * hum.data[1];
    EXPECT_EQ(((raw * 125) >> 16) - 6, 40);

    ASSERT_EQ(out(h, 0xB2, 180), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_COOLER_DA), 180);
    ASSERT_EQ(out(h, 0xB5, 0x0002, 0x0010), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_XFER_COUNT), 0x00020010);
}

TEST_F(Requests, LogRecordsEachTransferInOrder) {
    const long long t0 = kyrsim_now_us();
    ASSERT_EQ(outData(h, 0xA0, 0x1000, 0, {0xDE, 0xAD}), 2);
    ASSERT_EQ(in(h, 0xAD, 0, 0, 2).result, 2);
    ASSERT_EQ(libusb_control_transfer(h, kOut, 0xAF, 0, 0, nullptr, 0, 200), 0);
    const auto log = kyrsim::requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_LT(log[0].seq, log[1].seq);
    EXPECT_LT(log[1].seq, log[2].seq);
    for (const auto& r : log) {
        EXPECT_EQ(r.device, cam.handle());
        EXPECT_EQ(r.thread, kyrsim_thread_id());
        EXPECT_EQ(r.overlapped, 0);
        EXPECT_LE(t0, r.start_us);
        EXPECT_LE(r.start_us, r.end_us);
    }
    EXPECT_EQ(log[0].request_type, kOut);
    EXPECT_EQ(log[0].value, 0x1000);
    EXPECT_EQ(log[0].length, 2);
    EXPECT_EQ(log[0].data_len, 2);
    EXPECT_EQ(log[0].data[1], 0xAD);
    EXPECT_EQ(log[1].request_type, kIn);
    EXPECT_EQ(log[1].data_len, 2);
    EXPECT_EQ(log[1].data[0], 'V');
    EXPECT_EQ(log[1].timeout, kTimeoutMs);
    EXPECT_EQ(log[2].timeout, 200u);
    EXPECT_EQ(kyrsim_log_count_matching(cam.handle(), 0xAD, KYRSIM_DIR_IN), 1);
    EXPECT_EQ(kyrsim_log_count_matching(KYRSIM_ANY, 0xAD, KYRSIM_DIR_OUT), 0);
    EXPECT_EQ(kyrsim_log_count_matching(KYRSIM_ANY, KYRSIM_ANY, KYRSIM_ANY), 3);
    kyrsim_log_clear();
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(Requests, FaultActsFromTheNthMatchForKTimes) {
    const int rule = kyrsim::Fault().request(0xBC).in().nth(2).times(2).error(LIBUSB_ERROR_IO).add();
    ASSERT_GE(rule, 0);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i) results.push_back(readFpga(h, 0));
    EXPECT_EQ(results, (std::vector<int>{1, LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, 1, 1}));
    EXPECT_EQ(kyrsim_fault_hits(rule), 2);
    const auto log = kyrsim::requests(0xBC);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1].faulted, 1);
    EXPECT_EQ(log[1].result, LIBUSB_ERROR_IO);
    EXPECT_EQ(log[3].faulted, 0);
}

TEST_F(Requests, FaultRulesMatchOnlyTheirFields) {
    kyrsim::Device other = kyrsim::plug(kFpgaCamera, 1, "2");
    libusb_device_handle* h2 = usb.open(other);
    ASSERT_NE(h2, nullptr);
    struct Case {
        const char* what;
        kyrsim::Fault rule;
        bool hitsReadOf12OnFirst;
    };
    const Case cases[] = {
        {"any request", kyrsim::Fault(), true},
        {"this code", kyrsim::Fault().request(0xBC), true},
        {"another code", kyrsim::Fault().request(0xBD), false},
        {"IN", kyrsim::Fault().in(), true},
        {"OUT", kyrsim::Fault().out(), false},
        {"this register", kyrsim::Fault().value(12), true},
        {"another register", kyrsim::Fault().value(13), false},
        {"index 0", kyrsim::Fault().index(0), true},
        {"index 1", kyrsim::Fault().index(1), false},
        {"this camera", kyrsim::Fault().device(cam), true},
        {"the other camera", kyrsim::Fault().device(other), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        kyrsim::Fault rule = c.rule;
        ASSERT_GE(rule.always().error(LIBUSB_ERROR_PIPE).add(), 0);
        EXPECT_EQ(readFpga(h, 12) == LIBUSB_ERROR_PIPE, c.hitsReadOf12OnFirst);
    }
    EXPECT_EQ(kyrsim_unexpected_count(), 0);  // faults are not unexpected requests
}

TEST_F(Requests, InjectedErrorsReturnAtOnceAndLeaveTheCameraUnchanged) {
    for (int error : {LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_NO_DEVICE}) {
        SCOPED_TRACE(error);
        ASSERT_GE(kyrsim::Fault().request(0xBD).error(error).add(), 0);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(writeFpga(h, 38, 0x77), error);
        EXPECT_LT(elapsedMs(t0), 250);  // a timeout is reported without waiting it out
        EXPECT_EQ(cam.fpga(38), 0);
    }
    EXPECT_EQ(writeFpga(h, 38, 0x77), 0);
    EXPECT_EQ(cam.fpga(38), 0x77);
    EXPECT_TRUE(cam.plugged());
}

TEST_F(Requests, ShortRepliesDeliverOnlyTheGivenBytes) {
    ASSERT_GE(kyrsim::Fault().request(0xA7).shortReply(1).add(), 0);
    ASSERT_GE(kyrsim::Fault().request(0xC8).shortReply(0).add(), 0);
    ASSERT_GE(kyrsim::Fault().request(0xC2).shortReply(100).add(), 0);
    ASSERT_TRUE(cam.setSensor(0x10, 0xABCD));
    Reply r = in(h, 0xA7, 0x10, 0, 2);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.data, (std::vector<unsigned char>{0xAB, 0xEE}));  // the second byte is never written
    EXPECT_EQ(in(h, 0xC8, 0, 0, 8).result, 0);
    EXPECT_EQ(outData(h, 0xC2, 0, 0, std::vector<unsigned char>(256, 0)), 100);
    EXPECT_EQ(in(h, 0xA7, 0x10, 0, 2).result, 2);
}

TEST_F(Requests, DelaysShorterThanTheTimeoutSucceedLongerOnesTimeOut) {
    ASSERT_GE(kyrsim::Fault().request(0xBC).delay(30).add(), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(readFpga(h, 0), 1);
    EXPECT_GE(elapsedMs(t0), 30);

    ASSERT_GE(kyrsim::Fault().request(0xBD).delay(5000).add(), 0);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_control_transfer(h, kOut, 0xBD, 38, 9, nullptr, 0, 40), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(elapsedMs(t0), 40);
    EXPECT_LT(elapsedMs(t0), 2500);
    EXPECT_EQ(cam.fpga(38), 0);
}

TEST_F(Requests, FirstActingRuleWinsAndRemovedRulesStop) {
    const int first = kyrsim::Fault().request(0xBC).always().error(LIBUSB_ERROR_IO).add();
    const int second = kyrsim::Fault().request(0xBC).always().error(LIBUSB_ERROR_PIPE).add();
    EXPECT_EQ(readFpga(h, 0), LIBUSB_ERROR_IO);
    ASSERT_EQ(kyrsim_remove_fault(first), 0);
    EXPECT_EQ(readFpga(h, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(kyrsim_fault_hits(first), 1);
    EXPECT_EQ(kyrsim_fault_hits(second), 1);
    EXPECT_EQ(kyrsim_remove_fault(first), -1);
    kyrsim_clear_faults();
    EXPECT_EQ(readFpga(h, 0), 1);

    kyrsim_fault bad;
    kyrsim_fault_init(&bad, KYRSIM_FAULT_ERROR, 0);  // an error rule needs an error code
    EXPECT_EQ(kyrsim_add_fault(&bad), -1);
}

}  // namespace

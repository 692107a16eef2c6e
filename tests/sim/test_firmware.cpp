// The simulated USB controller's firmware states (camera firmware, boot loader,
// loader firmware from RAM) and the fault actions that corrupt an answer or
// swallow a write.
#include <string>

#include "simtest.hpp"

using namespace simtest;

namespace {

class Firmware : public OpenedCamera {
  protected:
    int holdCpu(bool hold) { return outData(h, 0xA0, 0xE600, 0, {static_cast<unsigned char>(hold ? 1 : 0)}); }
    int writeRam(int addr, int length) {
        return outData(h, 0xA0, addr, 0, std::vector<unsigned char>(static_cast<size_t>(length), 0x5A));
    }
    int pageRead() { return in(h, 0xA9, 0x1000, 0, 16).result; }
};

TEST_F(Firmware, EachStateAnswersItsOwnRequests) {
    EXPECT_EQ(cam.query(KYRSIM_Q_FW_STATE), KYRSIM_FW_NORMAL);
    EXPECT_EQ(cam.query(KYRSIM_Q_PROGRAM_ENTRY), -1);
    struct Case {
        int state;
        bool ramAtZero;  // a 1-byte read of RAM 0 answers
        bool pages;      // 0xA9 with data answers
    };
    const Case cases[] = {
        {KYRSIM_FW_NORMAL, false, false},
        {KYRSIM_FW_BOOTLOADER, true, false},
        {KYRSIM_FW_LOADER, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        ASSERT_TRUE(cam.setFirmwareState(c.state));
        EXPECT_EQ(cam.query(KYRSIM_Q_FW_STATE), c.state);
        EXPECT_EQ(in(h, 0xA0, 0, 0, 1).result, c.ramAtZero ? 1 : LIBUSB_ERROR_PIPE);
        EXPECT_EQ(in(h, 0xA0, 0x0100, 0, 4).result, 4);  // elsewhere RAM always answers
        EXPECT_EQ(writeRam(0x0100, 4), 4);
        EXPECT_EQ(pageRead(), c.pages ? 16 : LIBUSB_ERROR_PIPE);
        EXPECT_EQ(outData(h, 0xA9, 0x1000, 0, {1, 2}), c.pages ? 2 : LIBUSB_ERROR_PIPE);
        EXPECT_EQ(out(h, 0xA9), 0);  // the stream start is no page request
    }
    EXPECT_EQ(kyrsim_unexpected_count(), 0);  // a state's stall is an answer, not an unknown request
    EXPECT_EQ(kyrsim_set_firmware_state(cam.handle(), 3), -1);
}

TEST_F(Firmware, LoaderRunsOnlyFromBothPiecesWrittenUnderTheHold) {
    struct Case {
        const char* what;
        bool holdFirst;
        int firstBytes;
        int secondBytes;  // 0 = not written
        int expected;
    };
    const Case cases[] = {
        {"both pieces under the hold", true, 2048, 1427, KYRSIM_FW_LOADER},
        {"pieces without the hold", false, 2048, 1427, KYRSIM_FW_NORMAL},
        {"second piece missing", true, 2048, 0, KYRSIM_FW_NORMAL},
        {"first piece short", true, 2047, 1427, KYRSIM_FW_NORMAL},
        {"second piece long", true, 2048, 1428, KYRSIM_FW_NORMAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(cam.setFirmwareState(KYRSIM_FW_BOOTLOADER));
        ASSERT_EQ(holdCpu(false), 1);
        if (c.holdFirst) {
            ASSERT_EQ(holdCpu(true), 1);
        }
        EXPECT_EQ(cam.query(KYRSIM_Q_CPU_HOLD), c.holdFirst ? 1 : 0);
        ASSERT_EQ(writeRam(0, c.firstBytes), c.firstBytes);
        if (c.secondBytes) {
            ASSERT_EQ(writeRam(2048, c.secondBytes), c.secondBytes);
        }
        if (!c.holdFirst) {
            ASSERT_EQ(holdCpu(true), 1);
        }
        EXPECT_EQ(cam.query(KYRSIM_Q_FW_STATE), KYRSIM_FW_BOOTLOADER) << "the CPU is still held";
        ASSERT_EQ(holdCpu(false), 1);
        EXPECT_EQ(cam.query(KYRSIM_Q_CPU_HOLD), 0);
        EXPECT_EQ(cam.query(KYRSIM_Q_FW_STATE), c.expected);
    }
    // A new hold forgets the pieces written under the last one.
    ASSERT_EQ(holdCpu(true), 1);
    ASSERT_EQ(holdCpu(false), 1);
    EXPECT_EQ(cam.query(KYRSIM_Q_FW_STATE), KYRSIM_FW_NORMAL);
}

TEST_F(Firmware, DataLessRamWriteStartsTheProgram) {
    ASSERT_TRUE(cam.setFirmwareState(KYRSIM_FW_BOOTLOADER));
    ASSERT_EQ(outData(h, 0xA0, 0x1234, 0x4000, {}), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_PROGRAM_ENTRY), 0x40001234);
    EXPECT_EQ(cam.query(KYRSIM_Q_FW_STATE), KYRSIM_FW_NORMAL);
}

TEST_F(Firmware, FlippedBitCorruptsOnlyTheAnswer) {
    ASSERT_TRUE(cam.setSensor(0x10, 0xABCD));
    ASSERT_GE(kyrsim::Fault().request(0xA7).flipBit(9).add(), 0);  // byte 1, bit 1
    EXPECT_EQ(in(h, 0xA7, 0x10, 0, 2).data, (std::vector<unsigned char>{0xAB, 0xCF}));
    EXPECT_EQ(cam.sensor(0x10), 0xABCD);
    EXPECT_EQ(in(h, 0xA7, 0x10, 0, 2).data, (std::vector<unsigned char>{0xAB, 0xCD}));  // once

    ASSERT_GE(kyrsim::Fault().request(0xA7).flipBit(16).add(), 0);  // past the answer: nothing
    EXPECT_EQ(in(h, 0xA7, 0x10, 0, 2).data, (std::vector<unsigned char>{0xAB, 0xCD}));

    kyrsim_fault bad;
    kyrsim_fault_init(&bad, KYRSIM_FAULT_FLIP_BIT, -1);
    EXPECT_EQ(kyrsim_add_fault(&bad), -1);
}

TEST_F(Firmware, IgnoredWriteReportsSuccessAndChangesNothing) {
    ASSERT_EQ(out(h, 0xBE, 0), 0);
    ASSERT_GE(kyrsim::Fault().request(0xC2).out().ignore().add(), 0);
    EXPECT_EQ(outData(h, 0xC2, 0, 0x40000 / 256, {0x00, 0x11}), 2);
    EXPECT_EQ(cam.flash(0x40000, 2), (std::vector<unsigned char>{0xFF, 0xFF}));
    EXPECT_EQ(outData(h, 0xC2, 0, 0x40000 / 256, {0x00, 0x11}), 2);  // the next one is programmed
    EXPECT_EQ(cam.flash(0x40000, 2), (std::vector<unsigned char>{0x00, 0x11}));

    ASSERT_GE(kyrsim::Fault().request(0xBD).ignore().add(), 0);
    EXPECT_EQ(writeFpga(h, 38, 0x77), 0);
    EXPECT_EQ(cam.fpga(38), 0);
    ASSERT_GE(kyrsim::Fault().request(0xBC).ignore().add(), 0);  // an IN request is answered as usual
    ASSERT_TRUE(cam.setFpga(38, 0x12));
    EXPECT_EQ(readFpga(h, 38), 0x12);
    ASSERT_EQ(out(h, 0xBE, 1), 0);
}

}  // namespace

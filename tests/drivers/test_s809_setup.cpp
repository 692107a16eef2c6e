// The 809 as a caller sets it up, checked on what the simulated camera
// received: initialisation without a hold or start-up command, the power-law
// gain in both register pairs, the offset and its limits, the window cut by
// the FPGA with its odd start row, the exposure at the slowest bandwidth, and
// the mode switches the model does not have.
#include <string>

#include "ConformanceFixture.h"
#include "SettingsText.h"
#include "test_s809_fixture.h"

namespace {

// The published start-up rows after the delay, then the two rows written after them.
const std::vector<std::pair<int, int>> kInitRows = {
    {0x0200, 0x04}, {0x0201, 0x01}, {0x0216, 0x00}, {0x0218, 0x00}, {0x0219, 0x00},
    {0x04A9, 0x05}, {0x04AB, 0x11}, {0x0500, 0x4D}, {0x0502, 0xAD}, {0x050A, 0x86},
    {0x050B, 0x10}, {0x050C, 0x0E}, {0x050D, 0x11}, {0x025A, 0x07}, {0x0202, 0x81},
};
constexpr long long kPauseUs = 20000;

TEST_F(C809Test, InitialisationWalksItsRowsUnheldAndLeavesTheSensorStoppedWithoutAStartCommand) {
    for (const S809Row& row : Rows809()) {
        SCOPED_TRACE(row.name);
        Replug(row.pid);
        // A bin mode left over from before the start-up.
        ASSERT_TRUE(m_dev.setFpga(kFpgaBin, 0x03));
        const int from = LogSize();
        ASSERT_NE(m_pCam = OpenInit(), nullptr);
        const std::vector<kyrsim::Request> log = kyrsim::requests();
        const std::vector<SWrite809> writes = Writes(from);

        EXPECT_TRUE(kyrsim::requests(0xAF, m_dev.handle()).empty());
        // The rows in order, the 20 ms delay before the first.
        std::vector<std::pair<int, int>> sensor;
        for (const SWrite809& w : writes)
            if (w.kind == 'S' && sensor.size() < kInitRows.size()) sensor.emplace_back(w.reg, w.value);
        EXPECT_EQ(sensor, kInitRows);
        const int first = Find('S', 0x0200, 0x04, from);
        ASSERT_GT(first, from);
        EXPECT_GE(log[first].start_us - log[first - 1].start_us, kPauseUs);

        // The FPGA reset, register 26 = 1 at once, then 20 ms before anything else.
        int reset = -1;
        for (const SWrite809& w : writes)
            if (w.kind == 'F' && w.reg == kFpgaCtrl && !(w.value & 1)) {
                reset = w.index;
                break;
            }
        ASSERT_GT(reset, first);
        const int reg26 = Find('F', kFpga26, -1, reset);
        ASSERT_GT(reg26, reset);
        EXPECT_EQ(log[reg26].index, 1);
        for (int i = reset + 1; i < reg26; ++i) EXPECT_NE(log[i].device, m_dev.handle()) << i;
        EXPECT_GE(log[reg26 + 1].start_us - log[reg26].start_us, kPauseUs);
        EXPECT_EQ(m_dev.fpga(kFpga26), 1);
        EXPECT_GE(Find('F', kFpgaBin, -1, reg26), 0);
        EXPECT_EQ(m_dev.fpga(kFpgaBin) & 0x03, 0);
        EXPECT_EQ(m_dev.fpga(kFpgaCtrl) & kCtrlLanes, 0);

        // The last state write stops the sensor right after the exposure's
        // shutter line, with no FPGA stop of its own; the FPGA stays stopped.
        int stop = -1;
        for (const SWrite809& w : writes)
            if (w.kind == 'S' && w.reg == kReg809State) stop = w.index;
        ASSERT_GT(stop, reg26);
        EXPECT_EQ(log[stop].index, 3);
        int before = stop - 1;
        while (log[before].device != m_dev.handle()) --before;
        EXPECT_EQ(log[before].request, 0xB6);
        EXPECT_EQ(log[before].value, kReg809SHR + 1);
        EXPECT_EQ(m_dev.sensor(kReg809State), 3);
        EXPECT_TRUE(m_dev.fpga(kFpgaCtrl) & kCtrlStop);
    }
}

TEST_F(C809Test, GainIsAPowerLawInBothRegisterPairs) {
    ASSERT_NE(Setup(kPid809), nullptr);
    const struct {
        long gain, stored;
        int code;
    } cases[] = {{0, 0, 0x000}, {120, 120, 0xBFA}, {240, 240, 0xEFC}, {300, 240, 0xEFC}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_GAIN), c.stored);
        EXPECT_EQ(Sensor16(kReg809Gain), c.code);
        EXPECT_EQ(Sensor16(kReg809Gain2), c.code);
    }
}

TEST_F(C809Test, OffsetIsWrittenTimesTenWithTheLowBitClear) {
    ASSERT_NE(Setup(kPid809), nullptr);
    const struct {
        long offset;
        int low, high;
    } cases[] = {{8, 80, 0}, {30, 0x2C, 0x01}, {80, 0x20, 0x03}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        ASSERT_EQ(Set(KYR_OFFSET, c.offset), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(kReg809Offset), c.low);
        EXPECT_EQ(m_dev.sensor(kReg809Offset + 1), c.high);
    }
}

// An offset outside 0 .. 80 would wrap in the register (2000 = 0x7D0): a
// stored one replayed at start-up, and one the driver's own slot is given,
// reach the register clamped.
TEST_F(C809Test, AnOffsetOutsideItsRangeIsClampedBeforeItReachesTheRegister) {
    const struct {
        int offset;
        long stored;
        int low, high;
    } cases[] = {{200, 80, 0x20, 0x03}, {-5, 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        WriteSettings("KYR809MC", Val("Brightness", 4, Hex32(c.offset)));
        Fresh(kPid809);
        ASSERT_NE(m_pCam, nullptr);
        EXPECT_EQ(Get(KYR_OFFSET), c.stored);
        EXPECT_EQ(m_dev.sensor(kReg809Offset), c.low);
        EXPECT_EQ(m_dev.sensor(kReg809Offset + 1), c.high);

        ASSERT_TRUE(m_pCam->SetBrightness(c.offset * 3 / 2));
        EXPECT_EQ(Get(KYR_OFFSET), c.stored);
        EXPECT_EQ(m_dev.sensor(kReg809Offset), c.low);
        EXPECT_EQ(m_dev.sensor(kReg809Offset + 1), c.high);
    }
}

// The FPGA cuts the columns from 52 + x; the sensor reads from the odd row
// y + 51, after the exposure was programmed for the window again.
TEST_F(C809Test, TheStartGoesToTheFPGAsColumnsAndAnOddSensorRow) {
    for (const S809Row& row : Rows809()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(Fresh(row.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
        const int from = LogSize();
        ASSERT_EQ(KYRSetStartPos(0, 10, 7), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        EXPECT_EQ(x, 8);
        EXPECT_EQ(y, 6);
        EXPECT_EQ(m_dev.fpgaWide(kFpgaHBLK, 2), 60);
        EXPECT_EQ(m_dev.fpgaWide(kFpgaVBLK, 2), 24);
        EXPECT_EQ(Sensor16(kReg809StartY), 57);
        EXPECT_EQ(Sensor16(kReg809Rows), 48);
        EXPECT_EQ(m_dev.fpgaWide(kFpgaWidth, 2), 64);
        EXPECT_EQ(m_dev.fpgaWide(kFpgaHeight, 2), 48);
        const int shr = Find('S', kReg809SHR + 1, -1, from);
        const int start = Find('S', kReg809StartY, -1, from);
        ASSERT_GE(shr, 0);
        EXPECT_LT(shr, start);
        // Nothing streams: the FPGA is not touched around the write.
        EXPECT_EQ(Find('F', kFpgaCtrl, -1, from), -1);
    }
}

// The 40 % bandwidth on a 100-row window at bin 1: without the DDR the line
// is 720 clocks (36 us) and a frame 200 lines; the cooled camera keeps its
// shortest line of 288 clocks. The sensor counts its lines 15.4 us after the
// shutter in single precision, and in long mode from the exposure asked for.
TEST_F(C809Test, ExposureProgramsTheFrameAndShutterLineAtTheSlowestBandwidth) {
    const struct {
        int pid;
        long exposure;
        int hmax;
        long long vmax;
        int shr;
        bool longMode;
    } cases[] = {
        {kPid809, 32, 720, 200, 196, false},
        {kPid809, 7200, 720, 200, 4, false},  // exactly a frame
        {kPid809, 10000, 720, 285, 8, false},
        {kPid809, 1500000, 720, 41674, 8, true},
        {kPid809, 10000, 720, 285, 8, false},
        {kPid809Pro, 1081, 288, 200, 122, false},  // 74 lines in single precision, 73 in double
        {kPid809Pro, 1500000, 288, 104173, 8, true},
    };
    int pid = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " " << c.exposure);
        if (c.pid != pid) {
            ASSERT_NE(Fresh(c.pid), nullptr);
            ASSERT_EQ(KYRSetROIFormat(0, 64, 100, 1, IMG_RAW8), KYR_SUCCESS);
            ASSERT_EQ(Set(KYR_BANDWIDTH, 40), KYR_SUCCESS);
            pid = c.pid;
        }
        ASSERT_EQ(Set(KYR_EXPOSURE, c.exposure), KYR_SUCCESS);
        EXPECT_EQ(m_dev.fpgaWide(kFpgaHMAX, 2), c.hmax);
        EXPECT_EQ(m_dev.fpgaWide(kFpgaVMAX, 3), c.vmax);
        EXPECT_EQ(Sensor16(kReg809SHR), c.shr);
        EXPECT_EQ(m_dev.fpga(kFpgaCtrl) & kCtrlWaitTrig, c.longMode ? kCtrlWaitTrig : 0);
    }
}

// The one mode has no sensor rows: reloading it, for a change of image
// type, sets the FPGA's four data lanes (its lane bits clear) and nothing
// else of the mode; a bin change alone reloads nothing.
TEST_F(C809Test, AModeReloadSetsTheFourDataLanes) {
    const struct {
        int bin;
        IMG_TYPE type;
        bool reload;
    } cases[] = {{1, IMG_RAW16, true}, {2, IMG_RAW16, false}, {2, IMG_RAW8, true}};
    for (const S809Row& row : Rows809()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(Fresh(row.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "bin " << c.bin << " type " << c.type);
            // Lane bits set behind the driver's back.
            ASSERT_TRUE(m_dev.setFpga(kFpgaCtrl, m_dev.fpga(kFpgaCtrl) | kCtrlLanes));
            ASSERT_EQ(KYRSetROIFormat(0, 64, 48, c.bin, c.type), KYR_SUCCESS);
            EXPECT_EQ(m_dev.fpga(kFpgaCtrl) & kCtrlLanes, c.reload ? 0 : kCtrlLanes);
        }
    }
}

TEST_F(C809Test, HighSpeedAndHardwareBinSendNothingAndSucceed) {
    for (const S809Row& row : Rows809()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(Fresh(row.pid), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 2, IMG_RAW8), KYR_SUCCESS);
        const int from = LogSize();
        EXPECT_EQ(Set(KYR_HIGH_SPEED_MODE, 1), KYR_SUCCESS);
        EXPECT_EQ(Set(KYR_HARDWARE_BIN, 1), KYR_SUCCESS);
        EXPECT_TRUE(Writes(from).empty());
        EXPECT_TRUE(m_pCam->m_bHighSpeed);
        EXPECT_FALSE(m_pCam->m_bHardwareBin);
        EXPECT_EQ(Get(KYR_HARDWARE_BIN), 0);
    }
}

TEST_F(C809Test, ABinOfThreeWhoseReadoutWidthIsNoMultipleOfEightIsRefused) {
    ASSERT_NE(Setup(kPid809), nullptr);
    ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
    const SRoi before = ReadRoi(0);
    const int from = LogSize();
    // 1773 x 3 = 5319 columns.
    EXPECT_NE(KYRSetROIFormat(0, 1773, 1318, 3, IMG_RAW8), KYR_SUCCESS);
    EXPECT_TRUE(Writes(from).empty());
    EXPECT_TRUE(ReadRoi(0) == before) << RoiText(ReadRoi(0));
    EXPECT_EQ(KYRSetROIFormat(0, 1768, 1318, 3, IMG_RAW8), KYR_SUCCESS);
}

}  // namespace

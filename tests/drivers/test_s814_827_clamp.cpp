// test-labels: tsan
// The sensor clamp of the 814 and 827 classes: opened at the first video
// start, closed by a single exposure, written outside the register hold, and
// kept in step with what the sensor really holds across failed writes and a
// second initialisation.
#include "Fx3Fixture.h"
#include "test_s814_827_fixture.h"

namespace {

using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
const Writes kOpen = {{0x3208, 0x20}, {0x321C, 1}, {0x3258, 1}};
const Writes kClose = {{0x3208, 0}, {0x321C, 0}, {0x3258, 0}};

class C814827ClampTest : public C814827Test {
  protected:
    // The row's camera with a small window, so that frames come quickly.
    void SetupSmall(const SClassRow& row) {
        ASSERT_NE(SetupRow(row), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(ClampOpen(), 0);
    }
};

TEST_F(C814827ClampTest, VideoOpensTheClampOnceAndASnapshotClosesIt) {
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetupSmall(row));
        int from = kyrsim_log_count();
        ASSERT_TRUE(VideoFrame());
        EXPECT_EQ(WritesTo(ClampRegs(), from), kOpen);
        // The clamp is no part of a held change.
        const SHoldReport holds = CheckHolds(m_dev.handle(), ClampRegs(), kProfileHoldReg, from);
        EXPECT_EQ(holds.unheld.size(), 3u) << holds.Text();
        EXPECT_EQ(holds.iNested, 0);
        EXPECT_FALSE(holds.bLeftSet);
        EXPECT_EQ(ClampOpen(), 1);

        from = kyrsim_log_count();
        ASSERT_TRUE(Snapshot());
        EXPECT_EQ(WritesTo(ClampRegs(), from), kClose);
        EXPECT_EQ(ClampOpen(), 0);

        // Two video starts in a row: the second finds the clamp open.
        from = kyrsim_log_count();
        ASSERT_TRUE(VideoFrame());
        ASSERT_TRUE(VideoFrame());
        EXPECT_EQ(WritesTo(ClampRegs(), from), kOpen);
        EXPECT_EQ(Sensor(0x3208), 0x20);
        // A second snapshot in a row finds it closed.
        ASSERT_TRUE(Snapshot());
        from = kyrsim_log_count();
        ASSERT_TRUE(Snapshot());
        EXPECT_TRUE(WritesTo(ClampRegs(), from).empty());
    }
}

// A failed clamp write leaves the flag as it was, so the next start tries
// again; streaming goes on regardless.
TEST_F(C814827ClampTest, AFailedClampWriteIsRetriedAtTheNextVideoStart) {
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetupSmall(row));
        kyrsim_fault f;
        kyrsim_fault_init(&f, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO);
        f.device = m_dev.handle();
        f.request = 0xB6;
        f.value = 0x321C;
        ASSERT_GE(kyrsim_add_fault(&f), 0);
        bool ok = false;
        const std::string log = CaptureDebugLog([&] { ok = VideoFrame(); });
        EXPECT_TRUE(ok);
        EXPECT_NE(log.find("Failed to open Clamp"), std::string::npos);
        EXPECT_EQ(ClampOpen(), 0);
        kyrsim_clear_faults();

        int from = kyrsim_log_count();
        ASSERT_TRUE(VideoFrame());
        EXPECT_EQ(WritesTo(ClampRegs(), from), kOpen);
        EXPECT_EQ(ClampOpen(), 1);

        // The same for closing at a single exposure.
        ASSERT_GE(kyrsim_add_fault(&f), 0);
        const std::string closeLog = CaptureDebugLog([&] { ok = Snapshot(); });
        EXPECT_TRUE(ok);
        EXPECT_NE(closeLog.find("Failed to close Clamp"), std::string::npos);
        EXPECT_EQ(ClampOpen(), 1);
        kyrsim_clear_faults();
        from = kyrsim_log_count();
        ASSERT_TRUE(Snapshot());
        EXPECT_EQ(WritesTo(ClampRegs(), from), kClose);
        EXPECT_EQ(ClampOpen(), 0);
    }
}

// The start-up table closes the clamp on the sensor; after a second
// initialisation the next video start opens it again.
TEST_F(C814827ClampTest, ASecondInitialisationLeavesTheClampToBeOpenedAgain) {
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetupSmall(row));
        ASSERT_TRUE(VideoFrame());
        ASSERT_EQ(ClampOpen(), 1);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        EXPECT_EQ(Sensor(0x3208), 0);
        EXPECT_EQ(ClampOpen(), 0);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        const int from = kyrsim_log_count();
        ASSERT_TRUE(VideoFrame());
        EXPECT_EQ(WritesTo(ClampRegs(), from), kOpen);
        EXPECT_EQ(Sensor(0x3208), 0x20);
    }
}

}  // namespace

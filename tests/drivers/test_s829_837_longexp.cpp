// test-labels: tsan
// Long exposures of the 829 and 837 on the test time source: the capture
// thread runs the family's script, and its stepped wait switches low power
// on again after the 60th step and stops the sensor's horizontal sync after
// the 80th where the DDR or a USB 3 host carries the frame.
#include <chrono>
#include <thread>

#include "LongExpLog.h"
#include "TestSpeed.h"
#include "test_s829_837_fixture.h"

namespace {

constexpr int kWaitMs = 20000 * kTestSlowdown;

class C829837LongExpTest : public C829837Test {
  protected:
    CVirtualClock m_clock{std::chrono::microseconds(20)};
    CLongExpLog m_log{m_clock};
};

// The indexes of the steps that match, in order.
std::vector<int> FindAll(const std::vector<SStep>& s, char kind, int reg, int mask, int bits) {
    std::vector<int> out;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i].kind == kind && s[i].reg == reg && (s[i].value & mask) == bits)
            out.push_back(static_cast<int>(i));
    return out;
}

TEST_F(C829837LongExpTest, TheWaitSwitchesLowPowerOnAgainAfter60StepsAndStopsXhsAfter80) {
    const struct {
        int pid;
        bool usb3;
        bool xhs;
    } cases[] = {
        {kPid829MM, true, true},
        {kPid837Pro, true, true},
        {kPid837Mini, true, true},    // no DDR, but a USB 3 host
        {kPid837Mini, false, false},  // neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << RowOf(c.pid).label << (c.usb3 ? " USB3" : " USB2"));
        ASSERT_NE(Fresh(c.pid, c.usb3), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_EXPOSURE, 1500000), KYR_SUCCESS);
        // The cooler's thread sleeps on the same clock and would shorten the wait's steps.
        if (auto* cool = dynamic_cast<CCameraCool*>(m_pCam)) cool->StopAutoTempThr();
        const int from = kyrsim_log_count();
        ASSERT_EQ(Expose(kWaitMs), KYR_EXP_SUCCESS);
        const std::vector<SStep> s = m_log.Steps(m_dev.handle(), from, {11, 25});
        const std::vector<int> park = FindAll(s, 'S', 0x3598, 0xFF, 0x3F);
        const std::vector<int> unpark = FindAll(s, 'S', 0x3598, 0xFF, 0x20);
        const std::vector<int> lowOn = FindAll(s, 'F', 25, 0x01, 0x01);
        const std::vector<int> lowOff = FindAll(s, 'F', 25, 0x01, 0x00);
        const std::vector<int> xhsOn = FindAll(s, 'F', 11, 0x10, 0x10);
        ASSERT_EQ(park.size(), 1u);
        ASSERT_EQ(unpark.size(), 1u);
        ASSERT_EQ(lowOn.size(), 2u);
        ASSERT_FALSE(lowOff.empty());
        // Parked before the sleep, low power, low power again 60 steps into the wait.
        EXPECT_LT(park[0], lowOn[0]);
        EXPECT_LT(lowOn[1], lowOff.back());
        EXPECT_GE(s[lowOn[1]].atUs - s[lowOn[0]].atUs, 590000u);
        EXPECT_LT(s[lowOn[1]].atUs - s[lowOn[0]].atUs, 800000u);
        // Awake again after the sleep, once low power is off.
        EXPECT_GT(unpark[0], lowOff.back());
        if (c.xhs) {
            ASSERT_EQ(xhsOn.size(), 1u);
            EXPECT_GT(xhsOn[0], lowOn[1]);
            EXPECT_LT(xhsOn[0], lowOff.back());
            EXPECT_GE(s[xhsOn[0]].atUs - s[lowOn[0]].atUs, 790000u);
        } else {
            EXPECT_TRUE(xhsOn.empty());
        }
        EXPECT_EQ(m_dev.fpga(11) & 0x11, 0);
        EXPECT_EQ(m_dev.fpga(25) & 0x01, 0);
        EXPECT_EQ(m_dev.sensor(0x3598), 0x20);
    }
}

}  // namespace

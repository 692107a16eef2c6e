// The sensor hold as a property of every engine class: whatever a caller
// changes (gain, exposure short and long, format, start, offset, bandwidth),
// the registers a model keeps in its hold are written only inside it, the
// ones it writes unheld never inside one, holds never nest and never stay
// set, and where the model says so the FPGA's frame length changes inside
// the same hold as the shutter line. The rows are those of the class table
// whose model has a sensor hold.
#include <vector>

#include "ConformanceFixture.h"

namespace {

bool Listed(const std::vector<uint16_t>& regs, int reg) {
    for (uint16_t r : regs)
        if (r == reg) return true;
    return false;
}

using CHoldProperty = CConformanceTest;

TEST_P(CHoldProperty, EveryChangeKeepsTheModelsHold) {
    const SClassRow& row = Row();
    CONFORMANCE_OPEN();
    // Published start-up rows are data, not changes: from here on.
    const int from = kyrsim_log_count();
    const struct {
        KYR_CONTROL_TYPE type;
        long value;
    } controls[] = {{KYR_GAIN, 0},          {KYR_GAIN, 300},         {KYR_EXPOSURE, 1000},
                    {KYR_EXPOSURE, 200000}, {KYR_EXPOSURE, 1500000}, {KYR_EXPOSURE, 5000},
                    {KYR_OFFSET, 3},        {KYR_BANDWIDTH, 60},     {KYR_GAIN, 100}};
    for (const auto& c : controls) ASSERT_EQ(KYRSetControlValue(0, c.type, c.value, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 40, 32), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 2, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_TRUE), KYR_SUCCESS);

    const SHoldReport holds = CheckHolds(m_dev.handle(), row.held, row.holdReg, from);
    EXPECT_TRUE(holds.Clean() && holds.unheld.empty()) << holds.Text();
    EXPECT_GT(holds.iHolds, 0);

    // Unheld registers and the FPGA's frame length against the hold.
    bool held = false;
    int unheldWrites = 0, vmaxWrites = 0;
    for (int i = from; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != m_dev.handle() || r.result < 0) continue;
        if (r.request == 0xB6 && r.value == row.holdReg) held = r.index != 0;
        if (r.request == 0xB6 && Listed(row.unheld, r.value)) {
            ++unheldWrites;
            EXPECT_FALSE(held) << std::hex << r.value;
        }
        if (r.request == 0xBD && r.value >= 16 && r.value <= 18) {
            ++vmaxWrites;
            EXPECT_TRUE(held || !row.vmaxHeld) << "VMAX register " << r.value;
        }
    }
    if (!row.unheld.empty()) {
        EXPECT_GT(unheldWrites, 0);
    }
    EXPECT_GT(vmaxWrites, 0);
}

// The rows of the classes with a sensor hold.
std::vector<size_t> HoldRows() {
    std::vector<size_t> out;
    for (size_t i : AllRows())
        if (ClassTable()[i].holdReg >= 0) out.push_back(i);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Rows, CHoldProperty, ::testing::ValuesIn(HoldRows()), RowName);

}  // namespace

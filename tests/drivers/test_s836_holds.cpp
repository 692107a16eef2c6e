// The 836's register hold over a run of every kind of change, per class: the
// gain pair with 0x3009's conversion-gain bit, the shutter with the FPGA's
// VMAX and the window start are written only inside the hold, never nested
// and never left set; the window size, the offset and the mode registers go
// to the sensor unheld.
#include <functional>
#include <iterator>

#include "test_s836_fixture.h"

namespace {

// Registers written only outside the hold.
bool Unheld836(uint16_t reg) {
    return (reg >= 0x303A && reg <= 0x303F && reg != 0x303C && reg != 0x303D) || reg == 0x300A ||
           reg == 0x300B || reg == 0x3005 || reg == 0x3044 || reg == 0x305C;
}

TEST_F(C836Test, HoldFramesEveryHeldChangeAndNoneOfTheUnheldOnes) {
    const struct {
        const char* step;
        std::function<KYR_ERROR_CODE()> fn;
    } steps[] = {
        {"gain low", [this] { return Set(KYR_GAIN, 40); }},
        {"gain high", [this] { return Set(KYR_GAIN, 400); }},
        {"format", [] { return KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8); }},
        {"start", [] { return KYRSetStartPos(0, 33, 21); }},
        {"exposure", [this] { return Set(KYR_EXPOSURE, 5000); }},
        {"offset", [this] { return Set(KYR_OFFSET, 200); }},
        {"high speed", [this] { return Set(KYR_HIGH_SPEED_MODE, 1); }},
        {"16-bit", [] { return KYRSetROIFormat(0, 320, 240, 2, IMG_RAW16); }},
        {"bandwidth", [this] { return Set(KYR_BANDWIDTH, 55); }},
        {"long exposure", [this] { return Set(KYR_EXPOSURE, 1200000); }},
        {"short again", [this] { return Set(KYR_EXPOSURE, 3000); }},
    };
    for (const S836Class& c : Classes836()) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Fresh(c.pid), nullptr);
        const int from = kyrsim_log_count();
        for (const auto& s : steps) {
            SCOPED_TRACE(s.step);
            ASSERT_EQ(s.fn(), KYR_SUCCESS);
        }
        // From initialisation on.
        const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs836());
        EXPECT_TRUE(holds.Clean()) << holds.Text();
        EXPECT_GT(holds.iHolds, static_cast<int>(std::size(steps)));
        for (const SHeldWrite& w : HeldWrites(m_dev.handle(), from)) {
            if (Unheld836(w.reg)) {
                EXPECT_FALSE(w.held) << std::hex << w.reg;
            }
            // 0x3009 is held as the gain's switch, unheld as the ADC mode.
        }
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
}

}  // namespace

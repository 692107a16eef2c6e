// The sensor hold as a property of every engine class: whatever a caller
// changes (gain, exposure short and long, format, start, offset, bandwidth),
// the registers a model keeps in its hold are written only inside it, the
// ones it writes unheld never inside one, holds never nest and never stay
// set, and where the model says so the FPGA's frame length changes inside
// the same hold as the shutter line. One row per class.
#include <vector>

#include "ModelFixture.h"
#include "modetable1/CCameraS821MC.h"
#include "modetable1/CCameraS821MM.h"
#include "modetable1/CCameraS821MM_Pro.h"

namespace {

struct SHoldRow {
    const char* name;
    SModelClass cls;
    int holdReg;
    std::vector<uint16_t> held;    // written only inside the hold
    std::vector<uint16_t> unheld;  // written only outside it
    bool bVMAXHeld;                // FPGA VMAX (registers 16-18) inside the hold
    int w, h;                      // a small format of the model
};

const std::vector<uint16_t> kHeld821 = {0x3510, 0x3514, 0x3515, 0x3240, 0x3241, 0x3242, 0x3120,
                                        0x3121, 0x3122, 0x3123, 0x3124, 0x3125, 0x3126, 0x3127};
const std::vector<uint16_t> kUnheld821 = {0x35C0, 0x35C1};

const std::vector<SHoldRow>& Rows() {
    static const std::vector<SHoldRow> rows = {
        {"821MM", ModelClass<CCameraS821MM>(0x821a), 0x3034, kHeld821, kUnheld821, true, 320, 240},
        {"821MM Pro", ModelClass<CCameraS821MM_Pro>(0x821e), 0x3034, kHeld821, kUnheld821, true, 320, 240},
        {"821MC", ModelClass<CCameraS821MC>(0x821b), 0x3034, kHeld821, kUnheld821, true, 320, 240},
    };
    return rows;
}

std::vector<SModelClass> AllClasses() {
    std::vector<SModelClass> out;
    for (const SHoldRow& r : Rows()) out.push_back(r.cls);
    return out;
}

class CHoldPropertyTest : public CModelTest {
  protected:
    CHoldPropertyTest() : CModelTest(AllClasses()) {}
};

bool Listed(const std::vector<uint16_t>& regs, int reg) {
    for (uint16_t r : regs)
        if (r == reg) return true;
    return false;
}

TEST_F(CHoldPropertyTest, EveryChangeKeepsEachModelsHold) {
    for (const SHoldRow& row : Rows()) {
        SCOPED_TRACE(row.name);
        KYRCloseCamera(0);
        kyrsim::reset();
        m_dev = Plug(row.cls.iPID);
        ASSERT_NE(OpenInit(), nullptr);
        // Published start-up rows are data, not changes: from here on.
        const int from = kyrsim_log_count();
        const struct {
            KYR_CONTROL_TYPE type;
            long value;
        } controls[] = {{KYR_GAIN, 0},          {KYR_GAIN, 300},         {KYR_EXPOSURE, 1000},
                        {KYR_EXPOSURE, 200000}, {KYR_EXPOSURE, 1500000}, {KYR_EXPOSURE, 5000},
                        {KYR_OFFSET, 3},        {KYR_BANDWIDTH, 60},     {KYR_GAIN, 100}};
        for (const auto& c : controls)
            ASSERT_EQ(KYRSetControlValue(0, c.type, c.value, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, row.w, row.h, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 40, 32), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, row.w / 2, row.h / 2, 2, IMG_RAW16), KYR_SUCCESS);
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
                EXPECT_TRUE(held || !row.bVMAXHeld) << "VMAX register " << r.value;
            }
        }
        EXPECT_GT(unheldWrites, 0);
        EXPECT_GT(vmaxWrites, 0);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

}  // namespace

// The register plans and their executor, on a recording target (no USB):
// table rows, delay rows, framing by the hold, failures.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/RegPlan.h"

namespace {

constexpr uint16_t kHold = 0x3001;
constexpr uint16_t kStandby = 0x3000;

// Records every step the executor takes, as text, and fails the writes to
// one register or the reads the test names.
class CRecordingTarget : public IPlanTarget {
  public:
    bool WriteSensor(uint16_t usReg, uint8_t ucValue) override {
        log.push_back(Text("w", usReg, ucValue));
        return usReg != failReg && log.back() != failWrite;
    }
    bool WriteSensor16(uint16_t usReg, uint16_t usValue) override {
        log.push_back(Text("w16", usReg, usValue));
        return usReg != failReg;
    }
    bool ReadSensor(uint16_t usReg, uint8_t* pucValue) override {
        log.push_back(Text("r", usReg, 0));
        *pucValue = readValue;
        return !failReads;
    }
    void PauseMs(uint32_t uMs) override { log.push_back("pause " + std::to_string(uMs)); }
    SFrameReg FrameReg(PLAN_FRAME eKind) const override {
        if (eKind == PLAN_FRAME_HOLD) return SFrameReg{hasHold, kHold, 1, 0};
        return SFrameReg{true, kStandby, 1, 0};
    }

    static std::string Text(const char* op, uint16_t reg, unsigned value) {
        char text[40];
        snprintf(text, sizeof(text), "%s %04x=%x", op, reg, value);
        return text;
    }

    std::vector<std::string> log;
    uint16_t failReg = 0;
    std::string failWrite;  // one write that fails, as its log text ("w 3001=1")
    bool failReads = false;
    uint8_t readValue = 0;
    bool hasHold = true;
};

using Log = std::vector<std::string>;

TEST(RegPlanTable, RowsWriteTheLowByteAndDelayRowsOnlyPause) {
    const REG_TABLE_ROW rows[] = {{0x3018, 0x0014}, {REG_TABLE_DELAY, 5}, {0x3014, 0x1201}};
    CRecordingTarget target;
    CRegPlan plan;
    plan.Table(RegTable(rows));
    EXPECT_TRUE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log, (Log{"w 3018=14", "pause 5", "w 3014=1"}));
}

TEST(RegPlanTable, ATableIsWalkedToItsByteLengthAndNoFurther) {
    // Exactly 44 bytes on the heap: a row read past the end shows under ASan.
    std::unique_ptr<REG_TABLE_ROW[]> rows(new REG_TABLE_ROW[11]);
    for (int i = 0; i < 11; ++i)
        rows[i] = REG_TABLE_ROW{static_cast<uint16_t>(0x3400 + i), static_cast<uint16_t>(i)};
    const struct {
        size_t bytes;
        size_t rowsWalked;
    } cases[] = {{44, 11}, {43, 10}, {4, 1}, {0, 0}};
    for (const auto& c : cases) {
        CRecordingTarget target;
        CRegPlan plan;
        plan.Table(SRegTable{rows.get(), c.bytes});
        EXPECT_TRUE(ExecutePlan(target, plan));
        EXPECT_EQ(target.log.size(), c.rowsWalked) << c.bytes << " bytes";
        if (c.rowsWalked == 11) {
            EXPECT_EQ(target.log.back(), "w 340a=a");
        }
    }
}

TEST(RegPlanFrame, FramedStepsLieBetweenEnterAndLeave) {
    CRecordingTarget target;
    CRegPlan plan;
    plan.Sensor(0x3018, 0x14).BeginFrame().SensorLE(0x303C, 0x1234, 2).EndFrame().Call([] { return true; });
    EXPECT_TRUE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log, (Log{"w 3018=14", "w 3001=1", "w 303c=34", "w 303d=12", "w 3001=0"}));
}

TEST(RegPlanFrame, AFailedWriteReleasesTheHoldAndFailsThePlan) {
    CRecordingTarget target;
    target.failReg = 0x303C;
    CRegPlan plan;
    plan.BeginFrame().Sensor(0x303C, 1).Sensor(0x3044, 2).EndFrame();
    EXPECT_FALSE(ExecutePlan(target, plan));
    // The rest of the plan still ran, and the hold was released.
    EXPECT_EQ(target.log, (Log{"w 3001=1", "w 303c=1", "w 3044=2", "w 3001=0"}));
}

TEST(RegPlanFrame, AFailedCallFailsThePlanAndTheHoldIsStillReleased) {
    CRecordingTarget target;
    CRegPlan plan;
    plan.BeginFrame().Call([] { return false; }).Sensor(0x3044, 2).EndFrame();
    EXPECT_FALSE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log.back(), "w 3001=0");
}

TEST(RegPlanFrame, AFrameLeftOpenIsClosedAtTheEnd) {
    CRecordingTarget target;
    CRegPlan plan;
    plan.BeginFrame(PLAN_FRAME_STANDBY)
        .Sensor(0x303E, 0)
        .EndFrame(PLAN_FRAME_HOLD)
        .BeginFrame()
        .Sensor(0x3046, 1);
    EXPECT_TRUE(ExecutePlan(target, plan));
    // The stray end wrote nothing; both open frames were closed.
    EXPECT_EQ(target.log, (Log{"w 3000=1", "w 303e=0", "w 3001=1", "w 3046=1", "w 3001=0", "w 3000=0"}));
}

TEST(RegPlanFrame, APlanRunFromInsideAnotherDoesNotNestTheHold) {
    CRecordingTarget target;
    CRegPlan inner;
    inner.BeginFrame().Sensor(0x301B, 1).EndFrame();
    CRegPlan outer;
    outer.BeginFrame()
        .Sensor(0x303C, 0)
        .Call([&] { return ExecutePlan(target, inner); })
        .Sensor(0x3044, 0)
        .EndFrame();
    EXPECT_TRUE(ExecutePlan(target, outer));
    EXPECT_EQ(target.log, (Log{"w 3001=1", "w 303c=0", "w 301b=1", "w 3044=0", "w 3001=0"}));
    EXPECT_EQ(target.m_iOpenFrames[PLAN_FRAME_HOLD], 0);
}

TEST(RegPlanFrame, ASensorWithoutAHoldGetsNoFramingWrites) {
    CRecordingTarget target;
    target.hasHold = false;
    CRegPlan plan;
    plan.BeginFrame().Sensor(0x303C, 7).EndFrame();
    EXPECT_TRUE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log, (Log{"w 303c=7"}));
}

TEST(RegPlanSteps, ReadModifyWriteKeepsOtherBitsAndAFailedReadWritesNothing) {
    {
        CRecordingTarget target;
        target.readValue = 0xF0;
        CRegPlan plan;
        plan.SensorBits(0x3030, 0x0F, 0x05);
        EXPECT_TRUE(ExecutePlan(target, plan));
        EXPECT_EQ(target.log, (Log{"r 3030=0", "w 3030=f5"}));
    }
    {
        CRecordingTarget target;
        target.failReads = true;
        CRegPlan plan;
        plan.BeginFrame().SensorBits(0x3030, 0x0F, 0x05).EndFrame();
        EXPECT_FALSE(ExecutePlan(target, plan));
        EXPECT_EQ(target.log, (Log{"w 3001=1", "r 3030=0", "w 3001=0"}));
    }
}

TEST(RegPlanSteps, SixteenBitWritesGoOutWhole) {
    CRecordingTarget target;
    CRegPlan plan;
    plan.Sensor16(0x0A8, 0x1234);
    EXPECT_TRUE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log, (Log{"w16 00a8=1234"}));
}

// A target with an FPGA: raw register writes and the update latch.
class CFpgaRecordingTarget : public CRecordingTarget {
  public:
    bool WriteFPGA(uint16_t usReg, uint8_t ucValue) override {
        log.push_back(Text("f", usReg, ucValue));
        return log.back() != failWrite;
    }
    SFrameReg FrameReg(PLAN_FRAME eKind) const override {
        if (eKind == PLAN_FRAME_UPDATE) return SFrameReg{true, 1, 1, 0};
        return CRecordingTarget::FrameReg(eKind);
    }
};

TEST(RegPlanFpga, RawWritesGoInsideOneUpdateLatchThatNeverNests) {
    CFpgaRecordingTarget target;
    CRegPlan inner;
    inner.BeginFrame(PLAN_FRAME_UPDATE).Fpga(12, 0x85).EndFrame(PLAN_FRAME_UPDATE);
    CRegPlan plan;
    plan.BeginFrame(PLAN_FRAME_UPDATE)
        .FpgaLE(16, 0x0C0B0A, 3)
        .Call([&] { return ExecutePlan(target, inner); })
        .Sensor(0x0009, 0x33)
        .EndFrame(PLAN_FRAME_UPDATE);
    EXPECT_TRUE(ExecutePlan(target, plan));
    // The sensor's hold is not the FPGA's latch: a sensor write inside it is written as it is.
    EXPECT_EQ(target.log,
              (Log{"f 0001=1", "f 0010=a", "f 0011=b", "f 0012=c", "f 000c=85", "w 0009=33", "f 0001=0"}));
}

// An FPGA table goes to the FPGA as it stands: each row one raw write of
// its low byte, a delay row a pause, nothing to the sensor.
TEST(RegPlanFpga, TableRowsAreRawWritesAndDelayRowsPauses) {
    const REG_TABLE_ROW rows[] = {{26, 0x0101}, {REG_TABLE_DELAY, 7}, {39, 0x0002}};
    CFpgaRecordingTarget target;
    CRegPlan plan;
    plan.FpgaTable(RegTable(rows)).FpgaTable(SRegTable{nullptr, 8});
    EXPECT_TRUE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log, (Log{"f 001a=1", "pause 7", "f 0027=2"}));
}

// A frame whose enter write fails never opened: the plan writes nothing
// more (not the steps it frames, not its leave), closes only the frames
// opened before it, and fails. The target is left with no frame open, so
// the next plan frames as usual.
TEST(RegPlanFrame, AFailedEnterStopsThePlanAndClosesOnlyTheFramesOpenedBefore) {
    struct SCase {
        const char* what;
        std::string failWrite;
        CRegPlan plan;
        Log expected;
    };
    const SCase cases[] = {
        {"hold", "w 3001=1",
         CRegPlan().Sensor(0x3018, 0x14).BeginFrame().Sensor(0x303C, 1).EndFrame().Sensor(0x3044, 2),
         {"w 3018=14", "w 3001=1"}},
        {"hold inside standby", "w 3001=1",
         CRegPlan()
             .BeginFrame(PLAN_FRAME_STANDBY)
             .Sensor(0x303E, 0)
             .BeginFrame()
             .Sensor(0x3046, 1)
             .EndFrame()
             .Sensor(0x3047, 2)
             .EndFrame(PLAN_FRAME_STANDBY),
         {"w 3000=1", "w 303e=0", "w 3001=1", "w 3000=0"}},
        {"standby", "w 3000=1",
         CRegPlan().BeginFrame(PLAN_FRAME_STANDBY).Sensor(0x303E, 0).EndFrame(PLAN_FRAME_STANDBY),
         {"w 3000=1"}},
        {"update latch", "f 0001=1",
         CRegPlan()
             .BeginFrame(PLAN_FRAME_UPDATE)
             .FpgaLE(16, 0x0B0A, 2)
             .EndFrame(PLAN_FRAME_UPDATE)
             .Fpga(12, 1),
         {"f 0001=1"}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        CFpgaRecordingTarget target;
        target.failWrite = c.failWrite;
        EXPECT_FALSE(ExecutePlan(target, c.plan));
        EXPECT_EQ(target.log, c.expected);
        for (int kind = 0; kind < PLAN_FRAME_KINDS; ++kind) EXPECT_EQ(target.m_iOpenFrames[kind], 0);

        target.failWrite.clear();
        target.log.clear();
        CRegPlan next;
        next.BeginFrame().Sensor(0x303C, 1).EndFrame();
        EXPECT_TRUE(ExecutePlan(target, next));
        EXPECT_EQ(target.log, (Log{"w 3001=1", "w 303c=1", "w 3001=0"}));
    }
}

TEST(RegPlanFpga, ATargetWithoutAnFpgaFailsRawWrites) {
    CRecordingTarget target;  // no FPGA behind it
    CRegPlan plan;
    plan.Fpga(10, 0x11);
    EXPECT_FALSE(ExecutePlan(target, plan));
}

TEST(RegPlanFpga, ValuesWiderThanFourBytesGetZeroHighBytes) {
    CFpgaRecordingTarget target;
    CRegPlan plan;
    plan.SensorLE(0x000B, 0x0C0B, 6);
    EXPECT_TRUE(ExecutePlan(target, plan));
    EXPECT_EQ(target.log, (Log{"w 000b=b", "w 000c=c", "w 000d=0", "w 000e=0", "w 000f=0", "w 0010=0"}));
}

// Bits rows write whole bytes where the mask is 0xFF and change only the
// masked bits elsewhere; a failed read skips that row alone.
TEST(RegPlanSteps, BitsTableRowsAndMultiByteOrders) {
    static const SRegBitsRow kRows[] = {{0x3005, 0xFF, 0x00}, {0x3009, 0x03, 0x00}, {0x3044, 0xFF, 0xF0}};
    {
        CRecordingTarget target;
        target.readValue = 0x13;
        CRegPlan plan;
        plan.BitsTable(RegBitsTable(kRows));
        EXPECT_TRUE(ExecutePlan(target, plan));
        EXPECT_EQ(target.log, (Log{"w 3005=0", "r 3009=0", "w 3009=10", "w 3044=f0"}));
    }
    {
        CRecordingTarget target;
        target.failReads = true;
        CRegPlan plan;
        plan.BitsTable(RegBitsTable(kRows));
        EXPECT_FALSE(ExecutePlan(target, plan));
        EXPECT_EQ(target.log, (Log{"w 3005=0", "r 3009=0", "w 3044=f0"}));
    }
    {
        CRecordingTarget target;
        CRegPlan plan;
        plan.SensorBE(0x300A, 0x1F0, 2).SensorLE(0x3020, 0x10203, 3);
        EXPECT_TRUE(ExecutePlan(target, plan));
        EXPECT_EQ(target.log, (Log{"w 300b=1", "w 300a=f0", "w 3020=3", "w 3021=2", "w 3022=1"}));
    }
}

}  // namespace

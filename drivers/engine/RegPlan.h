// Register plans: the sensor and FPGA register changes of the driver engine,
// written down as a list of steps and run by one executor.
//
// A step writes a sensor register (8 bits, or 16 bits for sensors that take
// them), changes bits of a sensor register (read-modify-write), pauses,
// calls an FPGA setter, or writes one FPGA register as it is (models that
// program the FPGA by raw register writes). Steps between BeginFrame and EndFrame are framed by a
// sensor framing register: the register hold (the sensor applies the writes
// it holds together when the hold is released) or the standby. The executor
// writes the framing register's enter value before the first framed step and
// its leave value after the last, also when a step failed; a frame opened
// while one of its kind is already open (a plan run from inside another plan)
// adds no second enter or leave, so holds never nest. The FPGA's update
// latch (register 1 = 1 ... 0) is a frame of its own kind: the FPGA applies
// the raw writes it holds together. A failed step does not
// end the plan: the rest still runs (a half-applied change is worse than one
// with a failed register), and the plan as a whole fails. A failed enter
// write of a frame is the exception: the frame did not open, so the steps
// it frames would go out unframed; the plan stops there and fails, writing
// no leave for that frame but still closing the frames it opened before.
//
// Sensor start-up and mode tables are arrays of REG_TABLE_ROW walked to their
// byte length (no terminator): a row of register REG_TABLE_DELAY is a pause
// of its value in milliseconds, any other row writes the low byte of its
// value.
#ifndef KYR_REG_PLAN_H
#define KYR_REG_PLAN_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <functional>
#include <vector>

#pragma pack(push, 1)
struct REG_TABLE_ROW {
    uint16_t usReg;
    uint16_t usValue;
};
#pragma pack(pop)
static_assert(sizeof(REG_TABLE_ROW) == 4, "a table row is 4 bytes");

constexpr uint16_t REG_TABLE_DELAY = 0xFFFF;

// A table and its length in bytes.
struct SRegTable {
    const REG_TABLE_ROW* pRows;
    size_t uBytes;
};

template <size_t N>
constexpr SRegTable RegTable(const REG_TABLE_ROW (&rows)[N]) {
    return SRegTable{rows, sizeof(rows)};
}

template <size_t N>
constexpr SRegTable RegTable(const std::array<REG_TABLE_ROW, N>& rows) {
    return SRegTable{rows.data(), sizeof(REG_TABLE_ROW) * N};
}

// The rows of base, in its order, with the value of each row whose register
// a row of changes names replaced by that row's value: a variant of a table
// written down as its differences, expanded at compile time.
template <size_t N, size_t M>
constexpr std::array<REG_TABLE_ROW, N> OverlayRows(const REG_TABLE_ROW (&base)[N],
                                                   const REG_TABLE_ROW (&changes)[M]) {
    std::array<REG_TABLE_ROW, N> out{};
    for (size_t i = 0; i < N; ++i) {
        out[i] = base[i];
        for (size_t j = 0; j < M; ++j)
            if (changes[j].usReg == base[i].usReg && base[i].usReg != REG_TABLE_DELAY)
                out[i].usValue = changes[j].usValue;
    }
    return out;
}

// A sensor write of the bits of ucMask: 0xFF writes the whole byte; any
// other mask reads the register and replaces only those bits (the rest of
// the register belongs to other settings).
struct SRegBitsRow {
    uint16_t usReg;
    uint8_t ucMask;
    uint8_t ucValue;
};

struct SRegBitsTable {
    const SRegBitsRow* pRows;
    size_t uCount;
};

template <size_t N>
constexpr SRegBitsTable RegBitsTable(const SRegBitsRow (&rows)[N]) {
    return SRegBitsTable{rows, N};
}

// The framings a plan can use.
enum PLAN_FRAME : int {
    PLAN_FRAME_HOLD = 0,     // register hold: writes apply together at the leave
    PLAN_FRAME_STANDBY = 1,  // sensor standby around the writes
    PLAN_FRAME_UPDATE = 2,   // FPGA update latch: raw FPGA writes apply together at the leave
    PLAN_FRAME_KINDS = 3,
};

// A sensor framing register: written ucEnter to open, ucLeave to close.
struct SFrameReg {
    bool bPresent;  // false: the sensor has none; the frame writes nothing
    uint16_t usReg;
    uint8_t ucEnter;
    uint8_t ucLeave;
    // The bits of the register that are the frame's: 0xFF writes the whole
    // byte; any other mask changes only those bits (read-modify-write; a
    // register that cannot be read is not written, and the frame fails).
    uint8_t ucMask = 0xFF;
};

// Where a plan's steps go: the camera (CCameraFX3 through the engine) or, in
// tests, a recorder. Keeps the open frames of its plans.
class IPlanTarget {
  public:
    virtual ~IPlanTarget() = default;
    virtual bool WriteSensor(uint16_t usReg, uint8_t ucValue) = 0;
    virtual bool WriteSensor16(uint16_t usReg, uint16_t usValue) = 0;
    virtual bool ReadSensor(uint16_t usReg, uint8_t* pucValue) = 0;
    virtual void PauseMs(uint32_t uMs) = 0;
    virtual SFrameReg FrameReg(PLAN_FRAME eKind) const = 0;
    // One FPGA register written as it is; targets without an FPGA fail it.
    virtual bool WriteFPGA(uint16_t, uint8_t) { return false; }

    // Frames of each kind open now (the executor's bookkeeping).
    int m_iOpenFrames[PLAN_FRAME_KINDS] = {0, 0, 0};
};

class CRegPlan {
  public:
    enum StepKind {
        STEP_SENSOR,
        STEP_SENSOR16,
        STEP_SENSOR_BITS,
        STEP_PAUSE,
        STEP_CALL,
        STEP_BEGIN,
        STEP_END,
        STEP_FPGA
    };
    struct SStep {
        StepKind eKind;
        uint16_t usReg;
        uint16_t usValue;              // value; for STEP_PAUSE milliseconds; for frames the kind
        uint8_t ucMask;                // STEP_SENSOR_BITS: the bits replaced
        std::function<bool()> fnCall;  // STEP_CALL
    };

    CRegPlan& Sensor(uint16_t usReg, uint8_t ucValue);
    // A value of iBytes bytes into consecutive registers, low byte first.
    CRegPlan& SensorLE(uint16_t usFirstReg, uint32_t uValue, int iBytes);
    // The same registers and bytes, the highest register first.
    CRegPlan& SensorBE(uint16_t usFirstReg, uint32_t uValue, int iBytes);
    CRegPlan& Sensor16(uint16_t usReg, uint16_t usValue);
    // Replaces the bits of ucMask with those of ucValue; when the register
    // cannot be read, nothing is written and the step fails.
    CRegPlan& SensorBits(uint16_t usReg, uint8_t ucMask, uint8_t ucValue);
    CRegPlan& Pause(uint32_t uMs);
    // An FPGA setter or another device call; its result is the step's.
    CRegPlan& Call(std::function<bool()> fn);
    // One FPGA register written as it is (no read-modify-write).
    CRegPlan& Fpga(uint16_t usReg, uint8_t ucValue);
    // A value of iBytes bytes into consecutive FPGA registers, low byte first.
    CRegPlan& FpgaLE(uint16_t usFirstReg, uint32_t uValue, int iBytes);
    // The rows of a table (delay rows become pauses).
    CRegPlan& Table(const SRegTable& table);
    // The rows of a table as FPGA registers written as they are (delay rows become pauses).
    CRegPlan& FpgaTable(const SRegTable& table);
    // The rows of a bits table, in order (a row of register REG_TABLE_DELAY
    // is a pause of its value in milliseconds).
    CRegPlan& BitsTable(const SRegBitsTable& table);
    CRegPlan& BeginFrame(PLAN_FRAME eKind = PLAN_FRAME_HOLD);
    CRegPlan& EndFrame(PLAN_FRAME eKind = PLAN_FRAME_HOLD);

    const std::vector<SStep>& Steps() const { return m_steps; }
    bool Empty() const { return m_steps.empty(); }

  private:
    // A table's rows as steps of eKind with the value's low byte.
    CRegPlan& Rows(const SRegTable& table, StepKind eKind);

    std::vector<SStep> m_steps;
};

// Runs a plan on a target: every step in order (up to a frame whose enter
// write failed), every frame it opened closed at the end. True when every
// step succeeded.
bool ExecutePlan(IPlanTarget& target, const CRegPlan& plan);

#endif

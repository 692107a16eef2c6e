#include "engine/RegPlan.h"

CRegPlan& CRegPlan::Sensor(uint16_t usReg, uint8_t ucValue) {
    m_steps.push_back(SStep{STEP_SENSOR, usReg, ucValue, 0, nullptr});
    return *this;
}

namespace {

// Byte i of a little-endian value; bytes beyond the value's four are 0.
uint8_t ByteOf(uint32_t uValue, int i) { return i < 4 ? static_cast<uint8_t>(uValue >> (8 * i)) : 0; }

}  // namespace

CRegPlan& CRegPlan::SensorLE(uint16_t usFirstReg, uint32_t uValue, int iBytes) {
    for (int i = 0; i < iBytes; ++i) Sensor(static_cast<uint16_t>(usFirstReg + i), ByteOf(uValue, i));
    return *this;
}

CRegPlan& CRegPlan::Fpga(uint16_t usReg, uint8_t ucValue) {
    m_steps.push_back(SStep{STEP_FPGA, usReg, ucValue, 0, nullptr});
    return *this;
}

CRegPlan& CRegPlan::FpgaLE(uint16_t usFirstReg, uint32_t uValue, int iBytes) {
    for (int i = 0; i < iBytes; ++i) Fpga(static_cast<uint16_t>(usFirstReg + i), ByteOf(uValue, i));
    return *this;
}

CRegPlan& CRegPlan::SensorBE(uint16_t usFirstReg, uint32_t uValue, int iBytes) {
    for (int i = iBytes - 1; i >= 0; --i)
        Sensor(static_cast<uint16_t>(usFirstReg + i), static_cast<uint8_t>(uValue >> (8 * i)));
    return *this;
}

CRegPlan& CRegPlan::Sensor16(uint16_t usReg, uint16_t usValue) {
    m_steps.push_back(SStep{STEP_SENSOR16, usReg, usValue, 0, nullptr});
    return *this;
}

CRegPlan& CRegPlan::SensorBits(uint16_t usReg, uint8_t ucMask, uint8_t ucValue) {
    m_steps.push_back(SStep{STEP_SENSOR_BITS, usReg, ucValue, ucMask, nullptr});
    return *this;
}

CRegPlan& CRegPlan::Pause(uint32_t uMs) {
    m_steps.push_back(SStep{STEP_PAUSE, 0, static_cast<uint16_t>(uMs > 0xFFFF ? 0xFFFF : uMs), 0, nullptr});
    return *this;
}

CRegPlan& CRegPlan::Call(std::function<bool()> fn) {
    m_steps.push_back(SStep{STEP_CALL, 0, 0, 0, std::move(fn)});
    return *this;
}

CRegPlan& CRegPlan::Rows(const SRegTable& table, StepKind eKind) {
    // Whole rows only, up to the table's byte length.
    const size_t rows = table.pRows ? table.uBytes / sizeof(REG_TABLE_ROW) : 0;
    for (size_t i = 0; i < rows; ++i) {
        const REG_TABLE_ROW& row = table.pRows[i];
        if (row.usReg == REG_TABLE_DELAY) {
            Pause(row.usValue);
            continue;
        }
        // The register takes the low byte.
        m_steps.push_back(SStep{eKind, row.usReg, static_cast<uint16_t>(row.usValue & 0xFF), 0, nullptr});
    }
    return *this;
}

CRegPlan& CRegPlan::Table(const SRegTable& table) { return Rows(table, STEP_SENSOR); }

CRegPlan& CRegPlan::FpgaTable(const SRegTable& table) { return Rows(table, STEP_FPGA); }

CRegPlan& CRegPlan::BitsTable(const SRegBitsTable& table) {
    for (size_t i = 0; table.pRows && i < table.uCount; ++i) {
        const SRegBitsRow& row = table.pRows[i];
        if (row.usReg == REG_TABLE_DELAY)
            Pause(row.ucValue);
        else if (row.ucMask == 0xFF)
            Sensor(row.usReg, row.ucValue);
        else
            SensorBits(row.usReg, row.ucMask, row.ucValue);
    }
    return *this;
}

CRegPlan& CRegPlan::BeginFrame(PLAN_FRAME eKind) {
    m_steps.push_back(SStep{STEP_BEGIN, 0, static_cast<uint16_t>(eKind), 0, nullptr});
    return *this;
}

CRegPlan& CRegPlan::EndFrame(PLAN_FRAME eKind) {
    m_steps.push_back(SStep{STEP_END, 0, static_cast<uint16_t>(eKind), 0, nullptr});
    return *this;
}

namespace {

// Opens or closes one frame of a kind; only the outermost one writes.
bool MoveFrame(IPlanTarget& target, PLAN_FRAME eKind, bool bEnter) {
    int& open = target.m_iOpenFrames[eKind];
    const SFrameReg reg = target.FrameReg(eKind);
    // The update latch is an FPGA register; the other frames are the sensor's.
    auto write = [&](uint8_t ucValue) {
        if (eKind == PLAN_FRAME_UPDATE) return target.WriteFPGA(reg.usReg, ucValue);
        if (reg.ucMask == 0xFF) return target.WriteSensor(reg.usReg, ucValue);
        // The frame's bits only: the rest of the register is other settings'.
        uint8_t old = 0;
        if (!target.ReadSensor(reg.usReg, &old)) return false;
        return target.WriteSensor(reg.usReg,
                                  static_cast<uint8_t>((old & ~reg.ucMask) | (ucValue & reg.ucMask)));
    };
    if (bEnter) {
        if (open > 0 || !reg.bPresent) {
            ++open;
            return true;
        }
        // A failed enter leaves the frame closed: nothing to leave later.
        if (!write(reg.ucEnter)) return false;
        ++open;
        return true;
    }
    if (open <= 0) return true;  // nothing of this plan's to close
    if (--open > 0 || !reg.bPresent) return true;
    return write(reg.ucLeave);
}

bool RunStep(IPlanTarget& target, const CRegPlan::SStep& step) {
    switch (step.eKind) {
        case CRegPlan::STEP_SENSOR:
            return target.WriteSensor(step.usReg, static_cast<uint8_t>(step.usValue));
        case CRegPlan::STEP_SENSOR16:
            return target.WriteSensor16(step.usReg, step.usValue);
        case CRegPlan::STEP_SENSOR_BITS: {
            uint8_t old = 0;
            // Without the present value the other bits are unknown.
            if (!target.ReadSensor(step.usReg, &old)) return false;
            const uint8_t value = static_cast<uint8_t>((old & ~step.ucMask) | (step.usValue & step.ucMask));
            return target.WriteSensor(step.usReg, value);
        }
        case CRegPlan::STEP_PAUSE:
            target.PauseMs(step.usValue);
            return true;
        case CRegPlan::STEP_CALL:
            return step.fnCall ? step.fnCall() : true;
        case CRegPlan::STEP_FPGA:
            return target.WriteFPGA(step.usReg, static_cast<uint8_t>(step.usValue));
        case CRegPlan::STEP_BEGIN:
        case CRegPlan::STEP_END:
            break;
    }
    return true;
}

}  // namespace

bool ExecutePlan(IPlanTarget& target, const CRegPlan& plan) {
    bool ok = true;
    int opened[PLAN_FRAME_KINDS] = {0, 0, 0};  // frames this plan has open
    for (const CRegPlan::SStep& step : plan.Steps()) {
        if (step.eKind == CRegPlan::STEP_BEGIN || step.eKind == CRegPlan::STEP_END) {
            const PLAN_FRAME kind = static_cast<PLAN_FRAME>(step.usValue);
            const bool bEnter = step.eKind == CRegPlan::STEP_BEGIN;
            if (!bEnter && opened[kind] == 0) continue;  // an end without its begin
            if (bEnter && !MoveFrame(target, kind, true)) {
                // The frame did not open: what it frames would be written
                // unframed, so the plan stops here.
                ok = false;
                break;
            }
            opened[kind] += bEnter ? 1 : -1;
            if (!bEnter) ok = MoveFrame(target, kind, false) && ok;
            continue;
        }
        ok = RunStep(target, step) && ok;
    }
    // A frame left open (also one opened before a failed enter) is closed,
    // so that the sensor never stays held.
    for (int kind = 0; kind < PLAN_FRAME_KINDS; ++kind)
        while (opened[kind]-- > 0) ok = MoveFrame(target, static_cast<PLAN_FRAME>(kind), false) && ok;
    return ok;
}

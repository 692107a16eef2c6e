// FPGA control of CCameraFX3: the control word, the latched multi-byte
// setters, the single-bit setters and the DDR, cooler and heater operations.
//
// Every read-modify-write and every latched sequence holds the (recursive)
// USB lock from its first to its last transfer. The caller's thread, the
// capture thread, the auto-control thread and the cooler thread all change
// bits of registers 0, 11, 25, 40 and 41 and write latched values; with the
// lock held only per transfer, one thread's write could land between another
// thread's read and write and be lost, or inside another thread's latch
// window and be applied with its half-written value.
#include <math.h>

#include "platform/Log.h"
#include "usb/CameraFX3.h"
#include "usb/FpgaRegs.h"

namespace {

// Pacing value limits of registers 36-37: 1 is the fastest output the FPGA
// takes, 0xFFFE the slowest.
constexpr float kBandwidthValueMin = 1.0f;
constexpr float kBandwidthValueMax = 65534.0f;
// Pacing value = kBandwidthScale / percent - kBandwidthOffset.
constexpr float kBandwidthScale = 25600.0f;
constexpr float kBandwidthOffset = 256.0f;

// The FPGA counts the 24-bit frame length and the 32-bit times in registers
// that cannot hold more.
constexpr unsigned int kVMAXMax = 0xFFFFFF;
constexpr unsigned int kExtTimeMax = 2000000000u;
constexpr unsigned int kExtTrigExpTimeMin = 32;  // shortest trigger exposure in us
constexpr unsigned int kBinDataLenMax = 0xFFFFFFFEu;

// Cooler drive: the FPGA takes 0-255; a drive of 0 or below is sent as the
// lowest level the cooler still answers to.
constexpr int kCoolPowerMax = 255;
constexpr int kCoolPowerOff = 15;

// DDR check: the memory needs a few initialise requests after power-up.
constexpr int kDDRTestAttempts = 5;
constexpr uint32_t kDDRTestWaitMs = 20;

// Writes `count` bytes to consecutive FPGA registers from `firstReg` inside
// the update latch, so the FPGA takes the whole value at once. Holds the USB
// lock over the whole sequence so that no other thread's write lands inside
// the latch window. True only when every write succeeded; the latch is
// released even after a failure, so the FPGA never stays held.
bool WriteFPGALatched(CCameraFX3& cam, uint16_t firstReg, const uint8_t* bytes, int count) {
    CCritSecLock lock(cam.m_csUsb);
    bool ok = cam.WriteFPGAREG(FPGA_REG_UPDATE, FPGA_UPDATE_HOLD);
    // Without the hold each byte would take effect on its own and the FPGA
    // would run on a half-written value: write no data then. After a failed
    // data byte the device is not answering; the rest would fail as well.
    for (int i = 0; ok && i < count; ++i)
        ok = cam.WriteFPGAREG(static_cast<uint16_t>(firstReg + i), bytes[i]);
    // Released even when the hold request failed, in case the FPGA took it.
    bool released = cam.WriteFPGAREG(FPGA_REG_UPDATE, FPGA_UPDATE_APPLY);
    return ok && released;
}

// A value of `count` bytes, least significant byte first.
bool WriteFPGALatchedValue(CCameraFX3& cam, uint16_t firstReg, uint32_t value, int count) {
    uint8_t bytes[4];
    for (int i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return WriteFPGALatched(cam, firstReg, bytes, count);
}

// Read-modify-write of one register through its shadow: clears `clearMask`,
// then sets `setMask`. When the read fails nothing is written and the shadow
// keeps its value: writing the stale shadow back would change the other bits
// of the register behind the caller's back.
// The shadow holds the value read, and the new value once it is written.
bool UpdateFPGABits(CCameraFX3& cam, uint16_t reg, uint8_t& shadow, uint8_t clearMask, uint8_t setMask) {
    CCritSecLock lock(cam.m_csUsb);
    uint8_t value = 0;
    if (!cam.ReadFPGAREG(reg, &value)) return false;
    shadow = value;
    const uint8_t updated = static_cast<uint8_t>((value & ~clearMask) | setMask);
    if (!cam.WriteFPGAREG(reg, updated)) return false;
    shadow = updated;
    return true;
}

// One bit set or cleared.
bool SetFPGABit(CCameraFX3& cam, uint16_t reg, uint8_t& shadow, uint8_t bit, bool set) {
    return UpdateFPGABits(cam, reg, shadow, bit, set ? bit : 0);
}

uint32_t ClampExtTime(unsigned int value) { return value > kExtTimeMax ? kExtTimeMax : value; }

}  // namespace

// ---------------------------------------------------------------------------
// Control word (register 0)
// ---------------------------------------------------------------------------

bool CCameraFX3::FPGAReset() {
    // Written from the shadow without a read: the FPGA may not answer reads
    // before it has been reset. Bit 0 clear holds the FPGA in reset; the
    // shadow keeps bit 0 set, as the FPGA runs again after the pulse.
    CCritSecLock lock(m_csUsb);
    m_ucFPGAReg0 = static_cast<uint8_t>(m_ucFPGAReg0 & ~FPGA_CTRL_RUN);
    bool ok = WriteFPGAREG(FPGA_REG_CTRL, m_ucFPGAReg0);
    m_ucFPGAReg0 = static_cast<uint8_t>(m_ucFPGAReg0 | FPGA_CTRL_RUN);
    return ok;
}

bool CCameraFX3::FPGAStart() { return SetFPGABit(*this, FPGA_REG_CTRL, m_ucFPGAReg0, FPGA_CTRL_STOP, false); }

bool CCameraFX3::FPGAStop() { return SetFPGABit(*this, FPGA_REG_CTRL, m_ucFPGAReg0, FPGA_CTRL_STOP, true); }

bool CCameraFX3::SetFPGAAsMaster(bool master) {
    return SetFPGABit(*this, FPGA_REG_CTRL, m_ucFPGAReg0, FPGA_CTRL_MASTER, master);
}

bool CCameraFX3::EnableFPGAWaitMode(bool enable) {
    return SetFPGABit(*this, FPGA_REG_CTRL, m_ucFPGAReg0, FPGA_CTRL_WAIT, enable);
}

bool CCameraFX3::EnableFPGATriggerMode(bool enable) {
    return SetFPGABit(*this, FPGA_REG_CTRL, m_ucFPGAReg0, FPGA_CTRL_TRIG, enable);
}

bool CCameraFX3::SetFPGALVDSChannel(LVDS_CHANNEL channel) {
    uint8_t lanes;
    switch (channel) {
        case LVDS_CHANNEL_0:
        case LVDS_CHANNEL_4:
            lanes = 0;
            break;
        case LVDS_CHANNEL_1:
            lanes = FPGA_CTRL_LVDS_1 | FPGA_CTRL_LVDS_2;
            break;
        case LVDS_CHANNEL_2:
            lanes = FPGA_CTRL_LVDS_2;
            break;
        case LVDS_CHANNEL_3:
            lanes = FPGA_CTRL_LVDS_1;
            break;
        default:
            // No lane setting of that number: the register is written back as read.
            DbgPrint(-1, "SetFPGALVDSChannel", "How did you get here?\n");
            return UpdateFPGABits(*this, FPGA_REG_CTRL, m_ucFPGAReg0, 0, 0);
    }
    return UpdateFPGABits(*this, FPGA_REG_CTRL, m_ucFPGAReg0, FPGA_CTRL_LVDS, lanes);
}

// ---------------------------------------------------------------------------
// Latched multi-byte setters
// ---------------------------------------------------------------------------

bool CCameraFX3::SetFPGAHBLK(uint16_t hblk) { return WriteFPGALatchedValue(*this, FPGA_REG_HBLK, hblk, 2); }

bool CCameraFX3::SetFPGAWidth(int width) {
    return WriteFPGALatchedValue(*this, FPGA_REG_WIDTH, static_cast<uint32_t>(width) & 0xFFFF, 2);
}

bool CCameraFX3::SetFPGAVBLK(uint16_t vblk) { return WriteFPGALatchedValue(*this, FPGA_REG_VBLK, vblk, 2); }

bool CCameraFX3::SetFPGAHeight(int height) {
    return WriteFPGALatchedValue(*this, FPGA_REG_HEIGHT, static_cast<uint32_t>(height) & 0xFFFF, 2);
}

bool CCameraFX3::SetFPGAGain(int red, int green1, int green2, int blue) {
    // The gain registers are 8 bits wide; a value outside 0..255 is held at
    // the nearest end instead of wrapping (256 would become gain 0).
    auto toByte = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
    const uint8_t gains[4] = {toByte(red), toByte(green1), toByte(green2), toByte(blue)};
    return WriteFPGALatched(*this, FPGA_REG_GAIN_R, gains, 4);
}

bool CCameraFX3::SetFPGAVMAX(unsigned int vmax) {
    return WriteFPGALatchedValue(*this, FPGA_REG_VMAX, vmax > kVMAXMax ? kVMAXMax : vmax, 3);
}

bool CCameraFX3::SetFPGAHMAX(uint16_t hmax) { return WriteFPGALatchedValue(*this, FPGA_REG_HMAX, hmax, 2); }

bool CCameraFX3::SetFPGABandWidth(float percent) {
    // Pacing value 25600 / percent - 256 in single precision. It is clamped
    // while still a float: converting an out-of-range float (percent 0 gives
    // infinity, a tiny percent a huge value) or NaN to int is undefined. A
    // percentage of 0 or NaN asks for the slowest pacing.
    float value;
    if (isnan(percent) || percent == 0.0f) {
        value = kBandwidthValueMax;
    } else {
        value = kBandwidthScale / percent - kBandwidthOffset;
        if (isnan(value) || value > kBandwidthValueMax) value = kBandwidthValueMax;
        if (value < kBandwidthValueMin) value = kBandwidthValueMin;
    }
    return WriteFPGALatchedValue(*this, FPGA_REG_BANDWIDTH, static_cast<uint32_t>(value), 2);
}

bool CCameraFX3::SetExtTrigExpTime(unsigned int us) {
    uint32_t value = us < kExtTrigExpTimeMin ? kExtTrigExpTimeMin : ClampExtTime(us);
    return WriteFPGALatchedValue(*this, FPGA_REG_TRIG_EXP_TIME, value, 4);
}

bool CCameraFX3::SetExtSyncADelayTime(unsigned int time) {
    return WriteFPGALatchedValue(*this, FPGA_REG_SYNC_A_DELAY, ClampExtTime(time), 4);
}

bool CCameraFX3::SetExtSyncAKeepTime(unsigned int time) {
    return WriteFPGALatchedValue(*this, FPGA_REG_SYNC_A_KEEP, ClampExtTime(time), 4);
}

bool CCameraFX3::SetExtSyncBDelayTime(unsigned int time) {
    return WriteFPGALatchedValue(*this, FPGA_REG_SYNC_B_DELAY, ClampExtTime(time), 4);
}

bool CCameraFX3::SetExtSyncBKeepTime(unsigned int time) {
    return WriteFPGALatchedValue(*this, FPGA_REG_SYNC_B_KEEP, ClampExtTime(time), 4);
}

bool CCameraFX3::SetFPGABinDataLen(unsigned int length) {
    return WriteFPGALatchedValue(*this, FPGA_REG_BIN_DATA_LEN,
                                 length > kBinDataLenMax ? kBinDataLenMax : length, 4);
}

// ---------------------------------------------------------------------------
// Bit setters
// ---------------------------------------------------------------------------

bool CCameraFX3::SetFPGAADCWidthOutputWidth(ADC_BIT adc, bool out16) {
    uint8_t set =
        static_cast<uint8_t>((adc == ADC_12BIT ? FPGA_FMT_ADC12 : 0) | (out16 ? FPGA_FMT_OUT16 : 0));
    return UpdateFPGABits(*this, FPGA_REG_DATA_FMT, m_ucFPGAReg10, FPGA_FMT_ADC12 | FPGA_FMT_OUT16, set);
}

bool CCameraFX3::SetFPGAPatternSelect(bool pattern) {
    return SetFPGABit(*this, FPGA_REG_DATA_FMT, m_ucFPGAReg10, FPGA_FMT_PATTERN_OFF, !pattern);
}

bool CCameraFX3::EnableFPGADDRMultiFrameCache(bool enable) {
    return SetFPGABit(*this, FPGA_REG_DATA_FMT, m_ucFPGAReg10, FPGA_FMT_DDR_MULTI, enable);
}

bool CCameraFX3::EnableFPGADDR(bool enable) {
    return SetFPGABit(*this, FPGA_REG_DATA_FMT, m_ucFPGAReg10, FPGA_FMT_DDR_BYPASS, !enable);
}

bool CCameraFX3::EnableFPGATriggerSignal(bool enable) {
    return SetFPGABit(*this, FPGA_REG_SIGNAL, m_ucFPGAReg11, FPGA_SIG_TRIGGER, enable);
}

bool CCameraFX3::EnableFPGAXHSStop(bool enable) {
    return SetFPGABit(*this, FPGA_REG_SIGNAL, m_ucFPGAReg11, FPGA_SIG_XHS_STOP, enable);
}

bool CCameraFX3::EnableFPGASensorReset(bool enable) {
    return SetFPGABit(*this, FPGA_REG_SIGNAL, m_ucFPGAReg11, FPGA_SIG_SENSOR_RESET, enable);
}

bool CCameraFX3::EnableLowPower(bool enable) {
    return SetFPGABit(*this, FPGA_REG_POWER, m_ucFPGAReg25, FPGA_POWER_LOW, enable);
}

bool CCameraFX3::EnableWarm(bool enable) {
    return SetFPGABit(*this, FPGA_REG_POWER, m_ucFPGAReg25, FPGA_POWER_WARM, enable);
}

bool CCameraFX3::EnableCfan(bool enable) {
    return SetFPGABit(*this, FPGA_REG_POWER, m_ucFPGAReg25, FPGA_POWER_FAN_OFF, !enable);
}

bool CCameraFX3::SetFPGABinType(bool monoBin) {
    return SetFPGABit(*this, FPGA_REG_BIN, m_ucFPGAReg39, FPGA_BIN_TYPE, !monoBin);
}

bool CCameraFX3::SelectExtTrigSource(bool external) {
    return SetFPGABit(*this, FPGA_REG_TRIG_CFG, m_ucFPGAReg40, FPGA_TRIG_SOURCE, external);
}

bool CCameraFX3::SelectExtTrigExp(bool select) {
    return SetFPGABit(*this, FPGA_REG_TRIG_CFG, m_ucFPGAReg40, FPGA_TRIG_EXP, !select);
}

bool CCameraFX3::SelectExtTrigSoftMode(bool select) {
    return SetFPGABit(*this, FPGA_REG_TRIG_CFG, m_ucFPGAReg40, FPGA_TRIG_SOFT_MODE, !select);
}

bool CCameraFX3::SelectExtTrigType(bool select) {
    return SetFPGABit(*this, FPGA_REG_TRIG_CFG, m_ucFPGAReg40, FPGA_TRIG_TYPE, !select);
}

bool CCameraFX3::SelectExtTrigValidType(bool select) {
    return SetFPGABit(*this, FPGA_REG_TRIG_CFG, m_ucFPGAReg40, FPGA_TRIG_VALID_TYPE, !select);
}

bool CCameraFX3::EnableExtSyncA(bool enable) {
    return SetFPGABit(*this, FPGA_REG_SYNC_CFG, m_ucFPGAReg41, FPGA_SYNC_A_ON, enable);
}

bool CCameraFX3::EnableExtSyncB(bool enable) {
    return SetFPGABit(*this, FPGA_REG_SYNC_CFG, m_ucFPGAReg41, FPGA_SYNC_B_ON, enable);
}

bool CCameraFX3::SelectExtSyncALevel(bool high) {
    return SetFPGABit(*this, FPGA_REG_SYNC_CFG, m_ucFPGAReg41, FPGA_SYNC_A_LEVEL, !high);
}

bool CCameraFX3::SelectExtSyncBLevel(bool high) {
    return SetFPGABit(*this, FPGA_REG_SYNC_CFG, m_ucFPGAReg41, FPGA_SYNC_B_LEVEL, !high);
}

// ---------------------------------------------------------------------------
// Other operations
// ---------------------------------------------------------------------------

bool CCameraFX3::SetFPGABinMode(FPGA_BIN_MODE mode) {
    switch (mode) {
        case FPGA_BIN_MODE_0:
        case FPGA_BIN_MODE_1:
        case FPGA_BIN_MODE_2:
        case FPGA_BIN_MODE_3:
            return UpdateFPGABits(*this, FPGA_REG_BIN, m_ucFPGAReg39, FPGA_BIN_MODE_MASK,
                                  static_cast<uint8_t>(mode));
        default:
            // No bin mode of that number: the register is written back as read.
            DbgPrint(-1, "SetFPGABinMode", "How did you get here?\n");
            return UpdateFPGABits(*this, FPGA_REG_BIN, m_ucFPGAReg39, 0, 0);
    }
}

bool CCameraFX3::FPGABufReload() {
    return UpdateFPGABits(*this, FPGA_REG_BUF_CTRL, m_ucFPGAReg24, 0, FPGA_BUF_RELOAD);
}

bool CCameraFX3::FPGADDRTest() {
    for (int attempt = 0; attempt < kDDRTestAttempts; ++attempt) {
        uint8_t status = 0;
        bool read = ReadFPGAREG(FPGA_REG_STATUS, &status);
        if (read && (status & FPGA_STATUS_DDR_READY)) return true;
        // Not ready: ask the FPGA to initialise the memory again. After a
        // failed status read the state is unknown; the attempt is spent
        // without disturbing the memory.
        if (read) WriteFPGAREG(FPGA_REG_BUF_CTRL, FPGA_BUF_DDR_INIT);
        Sleep(kDDRTestWaitMs);
    }
    DbgPrint(-1, "FPGADDRTest", "DDR ERROR!");
    return false;
}

bool CCameraFX3::SetFPGACoolPower(int power) {
    int value = power > kCoolPowerMax ? kCoolPowerMax : (power <= 0 ? kCoolPowerOff : power);
    return WriteFPGAREG(FPGA_REG_COOL_POWER, static_cast<uint16_t>(value));
}

bool CCameraFX3::SetExtendIOValue(uint8_t value) { return WriteFPGAREG(FPGA_REG_EXT_IO, value); }

bool CCameraFX3::SetFPGAHeaterPowerPercent(uint8_t percent) {
    return WriteFPGAREG(FPGA_REG_HEATER_POWER, percent);
}

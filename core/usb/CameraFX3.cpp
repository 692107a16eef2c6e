#include "usb/CameraFX3.h"

#include <libusb.h>

#include "platform/Log.h"

namespace {

// bmRequestType of every vendor request: type vendor, recipient device.
constexpr uint8_t kRequestTypeOut =
    LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE;  // 0x40
constexpr uint8_t kRequestTypeIn =
    LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE;  // 0xC0

// Data-less commands are answered by the controller at once; requests that
// reach the sensor, the FPGA or the flash get more time.
constexpr unsigned int kShortCmdTimeoutMs = 200;
constexpr unsigned int kLongCmdTimeoutMs = 500;

// wLength of a control transfer is 16 bits wide.
constexpr long kMaxControlLength = 0xFFFF;

// The register layout byte below which the FPGA keeps its version in the
// older, shorter register layout.
constexpr uint8_t kFPGAVerNewLayout = 3;
constexpr uint16_t kFPGARegVerType = 28;
constexpr uint16_t kFPGARegVer = 29;

// Firmware versions up to 15 are answered as one digit and stand for
// version digit.0 (3 means 0x30); the version of firmware that does not
// answer with 'V' is taken as 0x10.
constexpr uint8_t kFirmwareVerTag = 'V';
constexpr uint8_t kFirmwareVerMaxDigit = 15;
constexpr uint8_t kFirmwareVerUntagged = 0x10;

}  // namespace

CCameraFX3::CCameraFX3() {
    DbgPrint(-1, "CCameraFX3", "KYRCamera SDK Ver: %s, build: %s\n", KYR_SDK_VERSION, KYR_SDK_BUILD);
    InitializeCriticalSection(&m_csUsb);
    if (libusb_init(&m_pUsbContext) != 0) {
        m_pUsbContext = nullptr;
        DbgPrint(-1, "CCameraFX3", "libusb_init fail!\n");
    } else {
        DbgPrint(-1, "CCameraFX3", "libusb_init OK\n");
    }
}

CCameraFX3::~CCameraFX3() {
    DbgPrint(-1, "~CCameraFX3", "~CCameraFX3\n");
    // Transfer sets a capture thread left behind go before their context
    // (CCameraBase has done this already, before freeing the buffers).
    AbandonAsyncXfers();
    DeleteCriticalSection(&m_csUsb);
    if (m_pUsbContext) {
        libusb_exit(m_pUsbContext);
        m_pUsbContext = nullptr;
    }
}

bool CCameraFX3::SendCMD(uint8_t request) {
    CCritSecLock lock(m_csUsb);
    if (!m_bOpened) return false;
    int rc =
        libusb_control_transfer(m_hDevice, kRequestTypeOut, request, 0, 0, nullptr, 0, kShortCmdTimeoutMs);
    return rc >= 0;
}

bool CCameraFX3::SendCMD(uint8_t request, uint16_t wValue, uint16_t wIndex, bool in, uint8_t* data,
                         long length) {
    CCritSecLock lock(m_csUsb);
    if (!m_bOpened) return false;
    // A length that does not fit wLength would be sent cut short and the rest
    // silently dropped: refuse it before anything reaches the bus.
    if (length < 0 || length > kMaxControlLength) return false;
    int rc = libusb_control_transfer(m_hDevice, in ? kRequestTypeIn : kRequestTypeOut, request, wValue,
                                     wIndex, data, static_cast<uint16_t>(length), kLongCmdTimeoutMs);
    // A transfer that moved fewer bytes than asked left the rest of the
    // caller's buffer at its preset value (or the device without the rest of
    // its data), so only the full length counts as success.
    return rc == length;
}

bool CCameraFX3::WriteCameraRegister(uint16_t reg, uint16_t value) {
    return SendCMD(VR_WRITE_SENSOR_REG16, reg, value, false, nullptr, 0);
}

bool CCameraFX3::ReadCameraRegister(uint16_t reg, uint16_t* value) {
    uint8_t buf[2] = {0, 0};
    bool ok = SendCMD(VR_READ_SENSOR_REG16, reg, 0, true, buf, sizeof(buf));
    // The controller sends the 16-bit value high byte first.
    *value = ok ? static_cast<uint16_t>(buf[0] << 8 | buf[1]) : 0;
    return ok;
}

bool CCameraFX3::WriteCameraRegisterByte(uint16_t reg, uint8_t value) {
    return SendCMD(VR_WRITE_SENSOR_REG8, reg, value, false, nullptr, 0);
}

bool CCameraFX3::ReadCameraRegisterByte(uint16_t reg, uint8_t* value) {
    uint8_t buf = 0;
    bool ok = SendCMD(VR_READ_SENSOR_REG8, reg, 0, true, &buf, 1);
    *value = ok ? buf : 0;
    return ok;
}

namespace {

// Replaces the mask's bits of a register with those of field. The capture,
// auto-control and cooler threads write bits of the same registers; holding
// the USB lock from the read to the write keeps another thread's change from
// landing in between and being written over. Without the register's present
// value the other bits are unknown, so a failed read writes nothing.
template <typename T, typename Read, typename Write>
bool WriteMasked(S_MUTEX_UNIX& csUsb, T mask, T field, Read read, Write write) {
    CCritSecLock lock(csUsb);
    T old = 0;
    if (!read(&old)) return false;
    return write(static_cast<T>((old & ~mask) | (field & mask)));
}

}  // namespace

bool CCameraFX3::WriteCameraRegister_B(uint16_t reg, uint8_t firstBit, uint8_t lastBit, uint16_t value) {
    // Bits firstBit..lastBit inclusive of a 16-bit register.
    uint16_t mask = 0;
    for (unsigned bit = firstBit; bit <= lastBit && bit < 16; ++bit) mask |= static_cast<uint16_t>(1u << bit);
    uint16_t field = firstBit < 16 ? static_cast<uint16_t>(static_cast<uint32_t>(value) << firstBit) : 0;
    return WriteMasked<uint16_t>(
        m_csUsb, mask, field, [&](uint16_t* old) { return ReadCameraRegister(reg, old); },
        [&](uint16_t updated) { return WriteCameraRegister(reg, updated); });
}

bool CCameraFX3::WriteCameraRegisterByte_B(uint16_t reg, uint8_t firstBit, uint8_t lastBit, uint8_t value) {
    // Bits firstBit up to but not including lastBit of an 8-bit register.
    uint8_t mask = 0;
    for (unsigned bit = firstBit; bit < lastBit && bit < 8; ++bit) mask |= static_cast<uint8_t>(1u << bit);
    uint8_t field = firstBit < 8 ? static_cast<uint8_t>(static_cast<uint32_t>(value) << firstBit) : 0;
    return WriteMasked<uint8_t>(
        m_csUsb, mask, field, [&](uint8_t* old) { return ReadCameraRegisterByte(reg, old); },
        [&](uint8_t updated) { return WriteCameraRegisterByte(reg, updated); });
}

bool CCameraFX3::WriteFPGAREG(uint16_t reg, uint16_t value) {
    return SendCMD(VR_WRITE_FPGA_REG, reg, value, false, nullptr, 0);
}

bool CCameraFX3::ReadFPGAREG(uint16_t reg, uint8_t* value) {
    uint8_t buf = 0;
    bool ok = SendCMD(VR_READ_FPGA_REG, reg, 0, true, &buf, 1);
    *value = ok ? buf : 0;
    return ok;
}

bool CCameraFX3::EnableGPIF32DQ(bool enable) {
    return SendCMD(VR_GPIF_32DQ, enable ? 1 : 0, 0, false, nullptr, 0);
}

bool CCameraFX3::GetGPIFStatus(uint8_t* status) {
    uint8_t buf = 0;
    bool ok = SendCMD(VR_GPIF_STATUS, 0, 0, true, &buf, 1);
    *status = ok ? buf : 0;
    return ok;
}

bool CCameraFX3::GetFirmwareVer(uint8_t* ver) {
    uint8_t buf[2] = {0, 0};
    bool ok = SendCMD(VR_GET_FW_VERSION, 0, 0, true, buf, sizeof(buf));
    uint8_t stored = 0;  // no answer, no version
    if (ok) {
        if (buf[0] == kFirmwareVerTag)
            stored = buf[1] > kFirmwareVerMaxDigit ? buf[1] : static_cast<uint8_t>(buf[1] << 4);
        else
            stored = kFirmwareVerUntagged;
    }
    *ver = stored;
    DbgPrint(-1, "GetFirmwareVer", "Ver return %d: 0x%02X\n", ok ? 1 : 0, stored);
    return ok;
}

bool CCameraFX3::GetFirmwareVer() {
    uint8_t ver = 0;
    if (!GetFirmwareVer(&ver)) {
        DbgPrint(-1, "GetFirmwareVer", "Failed to get firmware ver. The USB transmission is disconnected\n");
        return false;
    }
    DbgPrint(-1, "GetFirmwareVer", "Get firmware ver: 0x%x\n", ver);
    return true;
}

bool CCameraFX3::GetFPGAVer(uint16_t* ver, uint8_t digits[4]) {
    // Register 28 tells the layout: below 3 the version word is register 29
    // and the digits are in 30 and 31; from 3 on the word is 29 (low) and 30
    // (high), 31 is reserved and the digits are in 32 and 33. Every read must
    // succeed, or a failed one would leave a zero in the version.
    uint8_t type = 0;
    if (!ReadFPGAREG(kFPGARegVerType, &type)) return false;
    uint8_t regs[5] = {0, 0, 0, 0, 0};  // registers 29..33 as far as the layout has them
    int count = type < kFPGAVerNewLayout ? 3 : 5;
    for (int i = 0; i < count; ++i)
        if (!ReadFPGAREG(static_cast<uint16_t>(kFPGARegVer + i), &regs[i])) return false;

    uint16_t word;
    uint8_t first, second;
    if (type < kFPGAVerNewLayout) {
        word = regs[0];
        first = regs[1];
        second = regs[2];
    } else {
        word = static_cast<uint16_t>(regs[0] + 256 * regs[1]);
        first = regs[3];
        second = regs[4];
    }
    *ver = word;
    digits[0] = first >> 4;
    digits[1] = first & 0x0F;
    digits[2] = second >> 4;
    digits[3] = second & 0x0F;
    return true;
}

bool CCameraFX3::GetFPGAVer() {
    uint8_t digits[4] = {0, 0, 0, 0};
    if (!GetFPGAVer(&m_usFPGAVer, digits)) {
        DbgPrint(-1, "GetFPGAVer", "Failed to get fpga ver.\n");
        return false;
    }
    DbgPrint(-1, "GetFPGAVer", "Get fpga ver: %x.%x.%x.%x\n", digits[0], digits[1], digits[2], digits[3]);
    return true;
}

void CCameraFX3::GetFPGAVerVal(uint16_t* ver, uint8_t digits[4]) {
    *ver = m_usFPGAVer;
    for (int i = 0; i < 4; ++i) digits[i] = m_ucFPGAVerDigits[i];
}

bool CCameraFX3::IsUSB3Host() {
    uint8_t answer = 0;
    return SendCMD(VR_IS_USB3, 0, 0, true, &answer, 1) && answer == 1;
}

bool CCameraFX3::ResetEndPoint(uint8_t endpoint) {
    CCritSecLock lock(m_csUsb);
    if (!m_bOpened) return false;
    return libusb_clear_halt(m_hDevice, endpoint) == 0;
}

bool CCameraFX3::ResetDevice() {
    CCritSecLock lock(m_csUsb);
    if (!m_bOpened) return false;
    // A reset that makes the device re-enumerate (LIBUSB_ERROR_NOT_FOUND)
    // leaves this handle dead; the handle is kept all the same, and the
    // failure tells the caller to reconnect, which closes and reopens it.
    int rc = libusb_reset_device(m_hDevice);
    DbgPrint(-1, "ResetDevice", "ResetDevice\n");
    return rc == 0;
}

bool CCameraFX3::SetXferSize(unsigned int) {
    CCritSecLock lock(m_csUsb);
    return m_bOpened;
}

void CCameraFX3::CloseDevice() {
    CCritSecLock lock(m_csUsb);
    if (!m_bOpened) return;
    libusb_close(m_hDevice);
    m_hDevice = nullptr;
    m_bOpened = false;
}

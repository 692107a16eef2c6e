// Shared pieces of the SPI flash and controller firmware code: the flash's
// geometry, the framing of a flash sequence by the parallel bus, verified
// programming, and the loader firmware pieces.
#ifndef KYR_FLASH_BUS_H
#define KYR_FLASH_BUS_H

#include <stdint.h>

#include <functional>

#include "platform/Platform.h"
#include "usb/CameraFX3.h"

// SPI NOR flash beside the FPGA: 256-byte program pages, 64 KiB erase sectors,
// 16 MiB in all (the page number of a request is 16 bits wide).
constexpr unsigned int kSPIPageBytes = 256;
constexpr unsigned int kSPISectorBytes = 64 * 1024;
constexpr unsigned int kSPIFlashBytes = 16 * 1024 * 1024;
// Flash data moves in pieces of this size.
constexpr unsigned int kFlashPieceBytes = 2048;
// A flash write is read back and compared; a mismatch is tried again this
// many times in all (programming only clears bits, so a retry mends a write
// the part ignored or a read that came back wrong, nothing else).
constexpr int kFlashWriteTries = 3;

inline uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// Runs body with the SPI flash owning the parallel bus it shares with the
// image path, under lock: the bus is released first (body is skipped when
// that fails) and taken back on every path. A body that succeeded still
// fails when the bus could not be taken back, since frames would then not
// flow.
template <class R, class F>
R WithFlashBus(CCameraFX3& cam, S_MUTEX_UNIX& lock, R failed, R succeeded, F body) {
    CCritSecLock hold(lock);
    R result = failed;
    if (cam.EnableGPIF32DQ(false)) result = body();
    const bool bTaken = cam.EnableGPIF32DQ(true);
    return (!bTaken && result == succeeded) ? failed : result;
}

// Programs length bytes (a multiple of 256 apart from the last page) at a
// flash address and reads them back, up to kFlashWriteTries times; true once
// the read-back equals data. onFailedTry gets the number (1..3) of each try
// that failed. The bus must already belong to the flash.
bool ProgramSPIFlashVerified(CCameraFX3& cam, const uint8_t* data, unsigned int length, unsigned int address,
                             const std::function<void(int)>& onFailedTry);

// The two pieces of the loader firmware that serves the boot EEPROM pages,
// loaded at controller RAM 0 and 2048. They are the camera maker's and not
// published, so the library carries none; tests supply synthetic ones.
constexpr unsigned int kVendor1Bytes = 2048;
constexpr unsigned int kVendor2Bytes = 1427;
struct KyrLoaderFirmware {
    const uint8_t* pVendor1;  // kVendor1Bytes bytes
    const uint8_t* pVendor2;  // kVendor2Bytes bytes
};
// The loader pieces, or null when the library has none.
const KyrLoaderFirmware* GetLoaderFirmware();
// Test-only: supplies loader pieces (copied by pointer; null removes them).
void SetLoaderFirmwareForTest(const KyrLoaderFirmware* pFirmware);

#endif

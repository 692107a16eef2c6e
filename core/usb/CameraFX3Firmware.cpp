// Controller firmware download and SPI flash access of CCameraFX3: the USB
// controller's RAM, its I2C boot EEPROMs, the boot EEPROM pages served by the
// loader firmware, and the SPI flash beside the FPGA.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/Log.h"
#include "usb/CameraFX3.h"
#include "usb/FlashBus.h"

namespace {

// The controller CPU's run/hold byte in its RAM: 1 holds the CPU, 0 runs it.
constexpr unsigned int kCPUControlAddr = 0xE600;
// Largest controller RAM transfer of one request.
constexpr unsigned int kRamXferBytes = 4096;
// Boot image pieces are written and read back in this size.
constexpr unsigned int kBootPieceBytes = 2048;
// Rounds of write and read-back per boot image piece; only the last must succeed.
constexpr int kBootPieceRounds = 3;
// End record of a controller RAM image: length 0x8001 at 0xE600.
constexpr uint8_t kRamImageEnd[4] = {0x80, 0x01, 0xE6, 0x00};
constexpr unsigned int kRamImageHeaderBytes = 8;

// Boot EEPROM pages served by the loader: 4096 bytes each, at most 16
// (the page number sits in bits 12-15 of wValue).
constexpr unsigned int kEepromPageBytes = 4096;
constexpr long kEepromImageMaxBytes = 16 * 4096;
// First byte of the page that marks the boot EEPROM as empty.
constexpr uint8_t kEepromErasedMark = 0xC2;
constexpr int kEepromTries = 3;

// I2C boot EEPROM pieces; the last one is padded to a multiple of 64 bytes.
constexpr unsigned int kI2CPieceBytes = 2048;
constexpr unsigned int kI2CPadBytes = 64;
constexpr unsigned int kI2CDevices = 8;
// Size code 7 pairs 64 KiB devices: 0, then 4, then 1, then 5.
constexpr unsigned int kI2CPairedDevBytes = 64 * 1024;
constexpr unsigned int kI2CPairedDevices = 4;

// A sector erase of a NOR part takes up to a few hundred milliseconds; a
// part still busy after this long is taken as stuck.
constexpr uint32_t kEraseDeadlineMs = 5000;
constexpr uint32_t kErasePollMs = 1;

// Bytes of value padding of the flash's last page: the erased state, so the
// padding programs nothing.
constexpr uint8_t kFlashPadByte = 0xFF;

// A firmware file is never larger than the largest medium, the SPI flash.
constexpr off_t kMaxFirmwareFileBytes = kSPIFlashBytes;

std::atomic<const KyrLoaderFirmware*> g_pLoaderFirmware{nullptr};
KyrLoaderFirmware g_LoaderFirmwareCopy;

uint32_t LittleEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool SetCPUHold(CCameraFX3& cam, bool bHold) {
    uint8_t value = bHold ? 1 : 0;
    return cam.DownloadBufferToDevice(kCPUControlAddr, 1, &value, VR_FW_RAM);
}

// Writes bytes to controller RAM in transfers of at most kRamXferBytes.
bool WriteRam(CCameraFX3& cam, unsigned int address, const uint8_t* data, uint64_t length) {
    for (uint64_t off = 0; off < length; off += kRamXferBytes) {
        const uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(kRamXferBytes, length - off));
        if (!cam.DownloadBufferToDevice(static_cast<unsigned int>(address + off), n, data + off, VR_FW_RAM))
            return false;
    }
    return true;
}

// Puts the loader firmware into controller RAM and lets the CPU run it. The
// CPU is released whatever happened on the way.
bool LoadLoader(CCameraFX3& cam, const KyrLoaderFirmware& fw) {
    bool ok = SetCPUHold(cam, true) && WriteRam(cam, 0, fw.pVendor1, kVendor1Bytes) &&
              WriteRam(cam, kVendor1Bytes, fw.pVendor2, kVendor2Bytes);
    return SetCPUHold(cam, false) && ok;
}

}  // namespace

const KyrLoaderFirmware* GetLoaderFirmware() { return g_pLoaderFirmware.load(std::memory_order_acquire); }

void SetLoaderFirmwareForTest(const KyrLoaderFirmware* pFirmware) {
    if (pFirmware) {
        g_LoaderFirmwareCopy = *pFirmware;
        g_pLoaderFirmware.store(&g_LoaderFirmwareCopy, std::memory_order_release);
    } else {
        g_pLoaderFirmware.store(nullptr, std::memory_order_release);
    }
}

bool ProgramSPIFlashVerified(CCameraFX3& cam, const uint8_t* data, unsigned int length, unsigned int address,
                             const std::function<void(int)>& onFailedTry) {
    std::vector<uint8_t> back(length);
    for (int iTry = 1; iTry <= kFlashWriteTries; ++iTry) {
        std::fill(back.begin(), back.end(), 0);
        if (cam.WriteToSPIFlash(data, length, address, VR_SPI_WRITE) &&
            cam.ReadFromSPIFlash(back.data(), length, address, VR_SPI_READ) &&
            memcmp(back.data(), data, length) == 0)
            return true;
        if (onFailedTry) onFailedTry(iTry);
    }
    return false;
}

// ---- Primitives -------------------------------------------------------------

bool CCameraFX3::DownloadBufferToDevice(unsigned int address, uint16_t length, const uint8_t* data,
                                        uint8_t request) {
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    return SendCMD(request, static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16),
                   false, const_cast<uint8_t*>(data), length);
}

bool CCameraFX3::UploadBufferFromDevice(unsigned int address, uint16_t length, uint8_t* data,
                                        uint8_t request) {
    return SendCMD(request, static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16),
                   true, data, length);
}

bool CCameraFX3::SetProgramEntry(uint8_t request, unsigned int address) {
    return SendCMD(request, static_cast<uint16_t>(address >> 16), static_cast<uint16_t>(address & 0xFFFF),
                   false, nullptr, 0);
}

bool CCameraFX3::IsBootLoaderRunning() {
    uint8_t answer = 0;
    return UploadBufferFromDevice(0, 1, &answer, VR_FW_RAM);
}

int CCameraFX3::EraseSectorOfSPIFlash(unsigned int sector, uint8_t request) {
    if (sector >= kSPIFlashBytes / kSPISectorBytes) return 1;
    const uint16_t index = static_cast<uint16_t>(sector);
    if (!SendCMD(request, 1, index, false, nullptr, 0)) return 1;
    const uint32_t start = GetTickCount();
    for (;;) {
        uint8_t busy = 0;
        if (!SendCMD(request, 0, index, true, &busy, 1)) return 1;
        if (busy == 0) return 0;
        if (GetTickCount() - start >= kEraseDeadlineMs) {
            DbgPrint(-1, "EraseSectorOfSPIFlash", "sector %u still busy after %u ms\n", sector,
                     kEraseDeadlineMs);
            return 1;
        }
        Sleep(kErasePollMs);
    }
}

namespace {

// The page number of a flash address, when the address is a page start inside
// the flash and the transfer fits a request.
bool FlashPage(unsigned int length, unsigned int address, uint16_t* pPage) {
    if (address % kSPIPageBytes != 0 || static_cast<uint64_t>(address) + length > kSPIFlashBytes)
        return false;
    *pPage = static_cast<uint16_t>(address / kSPIPageBytes);
    return true;
}

}  // namespace

bool CCameraFX3::WriteToSPIFlash(const uint8_t* data, unsigned int length, unsigned int address,
                                 uint8_t request) {
    uint16_t page = 0;
    if (!FlashPage(length, address, &page)) return false;
    return SendCMD(request, 0, page, false, const_cast<uint8_t*>(data), length);
}

bool CCameraFX3::ReadFromSPIFlash(uint8_t* data, unsigned int length, unsigned int address, uint8_t request) {
    uint16_t page = 0;
    if (!FlashPage(length, address, &page)) return false;
    return SendCMD(request, 0, page, true, data, length);
}

// ---- Controller RAM images and the loader -------------------------------------

bool CCameraFX3::UpdateFW2RAM(const uint8_t* image, long length) {
    if (!image || length <= 0) return false;
    const uint64_t size = static_cast<uint64_t>(length);
    bool ok = SetCPUHold(*this, true);
    bool bEnded = false;
    uint64_t pos = kRamImageHeaderBytes;
    while (ok && !bEnded) {
        if (pos + 4 > size) {
            ok = false;  // the image ends without its end record
            break;
        }
        const uint8_t* head = image + pos;
        if (memcmp(head, kRamImageEnd, sizeof(kRamImageEnd)) == 0) {
            bEnded = true;
            break;
        }
        const uint64_t n = static_cast<uint64_t>(head[0]) << 8 | head[1];
        const unsigned int address = static_cast<unsigned int>(head[2]) << 8 | head[3];
        pos += 4;
        if (pos + n > size) {
            ok = false;  // a record running past the image
            break;
        }
        ok = WriteRam(*this, address, image + pos, n);
        pos += n;
    }
    if (!ok) DbgPrint(-1, "UpdateFW2RAM", "RAM image not written whole\n");
    return SetCPUHold(*this, false) && ok;
}

namespace {

// The loader pieces after checking that there are some; logs why not.
const KyrLoaderFirmware* LoaderOrLog(const char* szFunction) {
    const KyrLoaderFirmware* fw = GetLoaderFirmware();
    if (!fw)
        DbgPrint(
            -1, szFunction,
            "this library carries no loader firmware and cannot update the camera's controller firmware\n");
    return fw;
}

// Writes an image to the boot EEPROM pages, reads it back into a cleared
// buffer and compares, up to kEepromTries times; true when a try verifies.
bool WriteEepromPagesVerified(CCameraFX3& cam, const uint8_t* image, unsigned int length) {
    std::vector<uint8_t> back(static_cast<size_t>(kEepromImageMaxBytes));
    for (int iTry = 1; iTry <= kEepromTries; ++iTry) {
        bool ok = true;
        for (unsigned int off = 0; ok && off < length; off += kEepromPageBytes) {
            const unsigned int n = std::min(kEepromPageBytes, length - off);
            ok = cam.SendCMD(VR_EEPROM_PAGE, static_cast<uint16_t>(off), 0, false,
                             const_cast<uint8_t*>(image + off), n);
        }
        std::fill(back.begin(), back.end(), 0);
        for (unsigned int off = 0; ok && off < length; off += kEepromPageBytes) {
            const unsigned int n = std::min(kEepromPageBytes, length - off);
            ok = cam.SendCMD(VR_EEPROM_PAGE, static_cast<uint16_t>(off), 0, true, back.data() + off, n);
        }
        if (ok && memcmp(back.data(), image, length) == 0) return true;
    }
    return false;
}

}  // namespace

bool CCameraFX3::EraseFlash() {
    if (!m_bOpened) return false;
    const KyrLoaderFirmware* fw = LoaderOrLog("EraseFlash");
    if (!fw) return false;
    std::vector<uint8_t> page(kEepromPageBytes, 0);
    page[0] = kEepromErasedMark;
    const bool ok = LoadLoader(*this, *fw) && WriteEepromPagesVerified(*this, page.data(), kEepromPageBytes);
    DbgPrint(-1, "EraseFlash", ok ? "erase flash success\n" : "erase flash false\n");
    return ok;
}

bool CCameraFX3::UpdateFW(const uint8_t* image, long length) {
    // The page number has 4 bits: more than 16 pages would wrap onto the first.
    if (!image || length <= 0 || length > kEepromImageMaxBytes) {
        DbgPrint(-1, "UpdateFW", "image of %ld bytes refused\n", length);
        return false;
    }
    if (!m_bOpened) return false;
    const KyrLoaderFirmware* fw = LoaderOrLog("UpdateFW");
    if (!fw || !LoadLoader(*this, *fw)) return false;
    const bool bVerified = WriteEepromPagesVerified(*this, image, static_cast<unsigned int>(length));
    if (!bVerified) DbgPrint(-1, "UpdateFW", "boot EEPROM not verified\n");
    const bool bRunning = UpdateFW2RAM(image, length);
    return bVerified && bRunning;
}

// ---- Boot images ----------------------------------------------------------------

int CCameraFX3::DownloadFwToRam(const uint8_t* image, unsigned int length, uint8_t request) {
    if (!image || length < 2 || image[0] != 'C' || image[1] != 'Y') return 3;
    std::vector<uint8_t> back(kBootPieceBytes);
    uint64_t pos = 4;
    for (;;) {
        if (pos + 8 > length) return 5;
        const uint64_t bytes = static_cast<uint64_t>(LittleEndian32(image + pos)) * 4;
        const uint32_t address = LittleEndian32(image + pos + 4);
        pos += 8;
        if (bytes == 0) {
            // The end section: a data-less write to the entry address starts the program.
            return DownloadBufferToDevice(address, 0, nullptr, request) ? 0 : 1;
        }
        if (bytes > length) return 8;
        if (pos + bytes > length) return 5;
        for (uint64_t off = 0; off < bytes; off += kBootPieceBytes) {
            const uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(kBootPieceBytes, bytes - off));
            const uint8_t* piece = image + pos + off;
            const unsigned int at = static_cast<unsigned int>(address + off);
            for (int round = 1; round <= kBootPieceRounds; ++round) {
                std::fill(back.begin(), back.end(), 0);
                const bool ok = DownloadBufferToDevice(at, n, piece, request) &&
                                UploadBufferFromDevice(at, n, back.data(), request);
                if (!ok && round == kBootPieceRounds) return 1;
            }
            if (memcmp(back.data(), piece, n) != 0) return 1;
        }
        pos += bytes;
    }
}

int CCameraFX3::DownloadBuftoSPIFLASH(const uint8_t* image, unsigned int length, uint8_t eraseRequest) {
    if (!image || length == 0 || length > kSPIFlashBytes) return 1;
    const uint64_t padded = RoundUp(length, kSPIPageBytes);
    const unsigned int sectors =
        static_cast<unsigned int>(RoundUp(length, kSPISectorBytes) / kSPISectorBytes);
    return WithFlashBus(*this, m_csUsb, 1, 0, [&]() -> int {
        for (unsigned int s = 0; s < sectors; ++s)
            if (EraseSectorOfSPIFlash(s, eraseRequest) != 0) {
                DbgPrint(-1, "DownloadBuftoSPIFLASH", "Erase SPI FLASH sector %u failed :\n", s);
                return 7;
            }
        // The last piece is padded here, never read past the caller's image.
        std::vector<uint8_t> piece(kFlashPieceBytes);
        for (uint64_t off = 0; off < padded; off += kFlashPieceBytes) {
            const unsigned int n =
                static_cast<unsigned int>(std::min<uint64_t>(kFlashPieceBytes, padded - off));
            const unsigned int have = static_cast<unsigned int>(std::min<uint64_t>(n, length - off));
            memcpy(piece.data(), image + off, have);
            memset(piece.data() + have, kFlashPadByte, n - have);
            const unsigned int at = static_cast<unsigned int>(off);
            if (!ProgramSPIFlashVerified(*this, piece.data(), n, at, [&](int iTry) {
                    DbgPrint(-1, "DownloadBuftoSPIFLASH", "fail %u try again :%d\n", at, iTry);
                }))
                return 1;
        }
        return 0;
    });
}

int CCameraFX3::DownloadBuftoI2CE2PROM(const uint8_t* image, unsigned int length, uint8_t request) {
    if (!image || length < 3) return 9;
    const unsigned int code = (image[2] >> 1) & 7;
    if (code < 2) return 9;
    const bool bPaired = code == 7;
    const uint64_t devBytes = bPaired ? kI2CPairedDevBytes : (4096ull << (code - 2));
    const uint64_t capacity = devBytes * (bPaired ? kI2CPairedDevices : kI2CDevices);
    const uint64_t whole = length / kI2CPieceBytes * kI2CPieceBytes;
    const unsigned int rest = length % kI2CPieceBytes;
    // Beyond the devices' room the writes would wrap over the image's start.
    if (whole + RoundUp(rest, kI2CPadBytes) > capacity) return 9;

    unsigned int device = 0;
    unsigned int address = 0;
    auto advance = [&](uint64_t offset) {
        address += kI2CPieceBytes;
        if (offset % devBytes != 0) return;
        address = 0;
        if (!bPaired)
            device = (device + 1) % kI2CDevices;
        else if (offset < 2 * kI2CPairedDevBytes)
            device = 4;
        else
            device = device == 4 ? 1 : 5;
    };
    for (uint64_t off = 0; off < whole; off += kI2CPieceBytes) {
        if (!SendCMD(request, static_cast<uint16_t>(device), static_cast<uint16_t>(address), false,
                     const_cast<uint8_t*>(image + off), kI2CPieceBytes))
            return 1;
        advance(off + kI2CPieceBytes);
    }
    if (rest == 0) return 0;
    const unsigned int n = static_cast<unsigned int>(RoundUp(rest, kI2CPadBytes));
    std::vector<uint8_t> piece(n, 0);
    std::vector<uint8_t> back(n, 0);
    memcpy(piece.data(), image + whole, rest);
    if (!SendCMD(request, static_cast<uint16_t>(device), static_cast<uint16_t>(address), false, piece.data(),
                 n) ||
        !SendCMD(VR_I2C_EEPROM_READ, static_cast<uint16_t>(device), static_cast<uint16_t>(address), true,
                 back.data(), n))
        return 1;
    return back == piece ? 0 : 1;
}

int CCameraFX3::DownloadFw(const uint8_t* image, unsigned int length, FX3_FWDWNLOAD_MEDIA_TYPE media) {
    if (!image || length == 0) return 6;
    switch (media) {
        case FX3_MEDIA_RAM:
            return DownloadFwToRam(image, length, VR_FW_RAM);
        case FX3_MEDIA_I2C_EEPROM:
            return DownloadBuftoI2CE2PROM(image, length, VR_I2C_EEPROM_WRITE);
        case FX3_MEDIA_SPI_FLASH:
            return DownloadBuftoSPIFLASH(image, length, VR_SPI_ERASE);
        default:
            return 2;
    }
}

int CCameraFX3::DownloadFw(const char* path, FX3_FWDWNLOAD_MEDIA_TYPE media) {
    if (!path) return 6;
    // Non-blocking, so that a FIFO or device node cannot stall the open; only
    // a regular file of bounded size is read.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 6;
    struct stat st;
    std::vector<uint8_t> image;
    bool ok =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kMaxFirmwareFileBytes;
    if (ok) {
        image.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (ok && got < image.size()) {
            const ssize_t n = read(fd, image.data() + got, image.size() - got);
            ok = n > 0;
            if (ok) got += static_cast<size_t>(n);
        }
    }
    close(fd);
    if (!ok) {
        DbgPrint(-1, "DownloadFw", "no usable firmware file %s\n", path);
        return 6;
    }
    return DownloadFw(image.data(), static_cast<unsigned int>(image.size()), media);
}

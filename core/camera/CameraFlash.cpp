// What the library keeps in the camera's SPI flash: the user's 8-byte camera ID
// on the page at 0x70000 and the compressed hot-pixel map from 0x40000; and the
// factory serial number, which the USB controller answers.
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "camera/CameraBase.h"
#include "platform/Log.h"
#include "usb/FlashBus.h"

namespace {

// Flash layout: the hot-pixel table in sectors 4-6, the ID page at the start
// of sector 7.
constexpr unsigned int SPI_FLASH_HPC_ADDR = 0x40000;
constexpr unsigned int SPI_FLASH_HPC_MAX = 0x30000;
constexpr unsigned int SPI_FLASH_ID_ADDR = 0x70000;
constexpr unsigned int kIDPageBytes = 256;
// "ID" and the 8-byte camera ID at the start of the ID page.
constexpr int kIDRecordBytes = 10;

// Hot-pixel table header: magic and big-endian total length.
constexpr int kHPCHeaderBytes = 8;
constexpr char kMagicPairs[] = "KYRD";
constexpr char kMagicPlain[] = "KYRG";
// The pair form works on blocks of 256 input bytes; a pair (0, 0) ends each.
constexpr uint64_t kHPCBlockBytes = 256;
// A dark pixel brighter than the dark frame's mean by more than this is hot.
constexpr int kHotPixelMargin = 30;

uint32_t BigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

void PutBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

bool IDPageRange(int iOffset, int iLength) {
    return iOffset >= 0 && iLength >= 0 && static_cast<long long>(iOffset) + iLength <= kIDPageBytes;
}

// Pixels of the full sensor, or 0 when the size is unset or does not fit an int.
uint64_t SensorPixels(int iWidth, int iHeight) {
    if (iWidth <= 0 || iHeight <= 0) return 0;
    const uint64_t n = static_cast<uint64_t>(iWidth) * static_cast<uint64_t>(iHeight);
    return n > static_cast<uint64_t>(INT_MAX) ? 0 : n;
}

}  // namespace

// ---- Camera ID page and serial number -------------------------------------------

bool CCameraBase::ReadSPI(uint8_t* pOut, int iOffset, int iLength) {
    if (!pOut || !IDPageRange(iOffset, iLength)) return false;
    uint8_t page[kIDPageBytes] = {};
    const bool ok = WithFlashBus(*this, m_csControl, false, true, [&] {
        return ReadFromSPIFlash(page, kIDPageBytes, SPI_FLASH_ID_ADDR, VR_SPI_READ);
    });
    if (ok) memcpy(pOut, page + iOffset, static_cast<size_t>(iLength));
    return ok;
}

bool CCameraBase::WriteSPI(const uint8_t* pData, int iOffset, int iLength) {
    if (!pData || !IDPageRange(iOffset, iLength)) return false;
    return WithFlashBus(*this, m_csControl, false, true, [&] {
        // The rest of the page is written back as it was, so it must be known.
        uint8_t page[kIDPageBytes] = {};
        if (!ReadFromSPIFlash(page, kIDPageBytes, SPI_FLASH_ID_ADDR, VR_SPI_READ)) return false;
        const unsigned int sector = SPI_FLASH_ID_ADDR / kSPISectorBytes;
        if (EraseSectorOfSPIFlash(sector, VR_SPI_ERASE) != 0) {
            DbgPrint(-1, "WriteSPI", "Erase SPI FLASH sector %d failed :\n", static_cast<int>(sector));
            return false;
        }
        memcpy(page + iOffset, pData, static_cast<size_t>(iLength));
        return ProgramSPIFlashVerified(*this, page, kIDPageBytes, SPI_FLASH_ID_ADDR, [](int iTry) {
            DbgPrint(-1, "WriteSPI", "fail %d try again\n", iTry);
        });
    });
}

bool CCameraBase::GetIDFromSPI(KYR_ID* pID) {
    if (!pID) return false;
    uint8_t record[kIDRecordBytes] = {};
    if (!ReadSPI(record, 0, kIDRecordBytes) || record[0] != 'I' || record[1] != 'D') return false;
    memcpy(pID->id, record + 2, sizeof(pID->id));
    return true;
}

bool CCameraBase::SetIDToSPI(KYR_ID id) {
    uint8_t record[kIDRecordBytes] = {'I', 'D'};
    memcpy(record + 2, id.id, sizeof(id.id));
    return WriteSPI(record, 0, kIDRecordBytes);
}

bool CCameraBase::GetSerialNumber(KYR_ID* pSN) {
    if (!pSN) return false;
    uint8_t sn[sizeof(pSN->id)] = {};
    if (!SendCMD(VR_GET_SERIAL, 0, 0, true, sn, sizeof(sn))) return false;
    if (std::all_of(std::begin(sn), std::end(sn), [](uint8_t b) { return b == 0; })) return false;
    memcpy(pSN->id, sn, sizeof(sn));
    return true;
}

// ---- Compressed hot-pixel table -------------------------------------------------

uint8_t* CCameraBase::Compress(const uint8_t* pData, int iLength, int* piOutLength, bool bPairs) {
    if (piOutLength) *piOutLength = 0;
    if (iLength < 0 || (!pData && iLength > 0)) return nullptr;
    const uint64_t n = static_cast<uint64_t>(iLength);
    // Room for the worst case: every byte a pair, and a block-end pair per block.
    const uint64_t capacity = kHPCHeaderBytes + (bPairs ? 2 * n + 2 * (n / kHPCBlockBytes + 1) : n);
    if (capacity > static_cast<uint64_t>(INT_MAX)) return nullptr;
    uint8_t* out = new (std::nothrow) uint8_t[capacity]();
    if (!out) return nullptr;
    memcpy(out, bPairs ? kMagicPairs : kMagicPlain, 4);
    uint64_t used = kHPCHeaderBytes;
    if (bPairs) {
        for (uint64_t i = 0; i < n; ++i) {
            const uint8_t offset = static_cast<uint8_t>(i % kHPCBlockBytes);
            if (pData[i] != 0) {
                out[used++] = static_cast<uint8_t>(offset << 4 | offset >> 4);  // nibbles swapped
                out[used++] = pData[i];
            }
            if (offset == kHPCBlockBytes - 1 && i + 1 < n) {
                out[used++] = 0;
                out[used++] = 0;
            }
        }
    } else if (n > 0) {
        memcpy(out + used, pData, n);
        used += n;
    }
    PutBigEndian32(out + 4, static_cast<uint32_t>(used));
    if (piOutLength) *piOutLength = static_cast<int>(used);
    return out;
}

uint8_t* CCameraBase::Uncompress(const uint8_t* pTable, int iLength, bool bPairs, int* piOutLength) {
    if (piOutLength) *piOutLength = 0;
    if (!pTable || iLength < kHPCHeaderBytes || memcmp(pTable, bPairs ? kMagicPairs : kMagicPlain, 4) != 0)
        return nullptr;
    // The stated length is checked as the unsigned number it is, and never
    // lets a read pass the table.
    const uint32_t total = BigEndian32(pTable + 4);
    if (total < static_cast<uint32_t>(kHPCHeaderBytes) || total > static_cast<uint32_t>(iLength))
        return nullptr;
    if (!bPairs) {
        const uint32_t n = total - kHPCHeaderBytes;
        uint8_t* out = new (std::nothrow) uint8_t[n ? n : 1]();
        if (!out) return nullptr;
        memcpy(out, pTable + kHPCHeaderBytes, n);
        if (piOutLength) *piOutLength = static_cast<int>(n);
        return out;
    }
    const uint64_t outBytes = SensorPixels(m_iMaxWidth, m_iMaxHeight) / 8;
    if (outBytes == 0) return nullptr;
    uint8_t* out = new (std::nothrow) uint8_t[outBytes]();
    if (!out) return nullptr;
    uint64_t base = 0;
    for (uint64_t p = kHPCHeaderBytes; p + 2 <= total; p += 2) {
        const uint8_t index = pTable[p];
        const uint8_t value = pTable[p + 1];
        if (index == 0 && value == 0) {
            // Past the map's end every further pair overflows, so the base
            // need not grow beyond it.
            if (base < outBytes) base += kHPCBlockBytes;
            continue;
        }
        const uint64_t pos = base + (index >> 4) + (index & 15) * 16u;
        if (pos >= outBytes) {
            DbgPrint(-1, "Uncompress", "Uncompress over flow,block%d,x%d,y%d\n", static_cast<int>(base),
                     index >> 4, index & 15);
            delete[] out;
            return nullptr;
        }
        out[pos] = value;
    }
    if (piOutLength) *piOutLength = static_cast<int>(outBytes);
    return out;
}

bool CCameraBase::CompressAndWriteIntoFLASH(const uint8_t* pData, unsigned int iLength, bool bPairs) {
    if (iLength > static_cast<unsigned int>(INT_MAX)) return false;
    int total = 0;
    std::unique_ptr<uint8_t[]> table(Compress(pData, static_cast<int>(iLength), &total, bPairs));
    if (!table) return false;
    DbgPrint(-1, "CompressAndWriteIntoFLASH", "SaveHPC: Compressed length: %d :\n", total);
    const unsigned int length = static_cast<unsigned int>(total);
    if (length > SPI_FLASH_HPC_MAX) {
        DbgPrint(-1, "CompressAndWriteIntoFLASH", "SaveHPC: Compressed length too big\n");
        return false;
    }
    return WithFlashBus(*this, m_csControl, false, true, [&] {
        const unsigned int firstSector = SPI_FLASH_HPC_ADDR / kSPISectorBytes;
        const unsigned int sectors =
            static_cast<unsigned int>(RoundUp(length, kSPISectorBytes) / kSPISectorBytes);
        for (unsigned int s = firstSector; s < firstSector + sectors; ++s)
            if (EraseSectorOfSPIFlash(s, VR_SPI_ERASE) != 0) {
                DbgPrint(-1, "CompressAndWriteIntoFLASH", "Erase SPI FLASH sector %d failed :\n",
                         static_cast<int>(s));
                return false;
            }
        const unsigned int whole = length / kFlashPieceBytes;
        for (unsigned int p = 0; p < whole; ++p) {
            if (!ProgramSPIFlashVerified(*this, table.get() + p * kFlashPieceBytes, kFlashPieceBytes,
                                         SPI_FLASH_HPC_ADDR + p * kFlashPieceBytes, [&](int iTry) {
                                             DbgPrint(-1, "CompressAndWriteIntoFLASH",
                                                      "fail %d try again :%d\n", static_cast<int>(p), iTry);
                                         }))
                return false;
        }
        const unsigned int rest = length % kFlashPieceBytes;
        if (rest == 0) return true;
        std::vector<uint8_t> piece(RoundUp(rest, kSPIPageBytes), 0);
        memcpy(piece.data(), table.get() + whole * kFlashPieceBytes, rest);
        return ProgramSPIFlashVerified(*this, piece.data(), static_cast<unsigned int>(piece.size()),
                                       SPI_FLASH_HPC_ADDR + whole * kFlashPieceBytes, [&](int iTry) {
                                           DbgPrint(-1, "CompressAndWriteIntoFLASH",
                                                    "last fail %d try again :%d\n", static_cast<int>(whole),
                                                    iTry);
                                       });
    });
}

bool CCameraBase::ReadFromFLAHAndUnCompress(uint8_t* pOut, unsigned int iLength, bool bPairs) {
    if (!pOut && iLength > 0) return false;
    return WithFlashBus(*this, m_csControl, false, true, [&] {
        std::vector<uint8_t> first(kFlashPieceBytes, 0);
        if (!ReadFromSPIFlash(first.data(), kFlashPieceBytes, SPI_FLASH_HPC_ADDR, VR_SPI_READ)) return false;
        if (memcmp(first.data(), bPairs ? kMagicPairs : kMagicPlain, 4) != 0) {
            DbgPrint(-1, "ReadFromFLAHAndUnCompress",
                     bPairs ? "Read SPI Flash get a HPC fail \n" : "Read SPI Flash get a image fail \n");
            return false;
        }
        const uint32_t length = BigEndian32(first.data() + 4);
        if (length > SPI_FLASH_HPC_MAX) {
            DbgPrint(-1, "ReadFromFLAHAndUnCompress", "LoadHPCTable: HPC data length too big\n");
            return false;
        }
        DbgPrint(-1, "ReadFromFLAHAndUnCompress", "LoadHPC: Compressed length: %d :\n",
                 static_cast<int>(length));
        std::vector<uint8_t> table(std::max<uint64_t>(RoundUp(length, kFlashPieceBytes), kFlashPieceBytes),
                                   0);
        memcpy(table.data(), first.data(), kFlashPieceBytes);
        const unsigned int whole = length / kFlashPieceBytes;
        for (unsigned int p = 1; p < whole; ++p) {
            bool ok = false;
            for (int iTry = 1; iTry <= kFlashWriteTries && !ok; ++iTry) {
                ok = ReadFromSPIFlash(table.data() + p * kFlashPieceBytes, kFlashPieceBytes,
                                      SPI_FLASH_HPC_ADDR + p * kFlashPieceBytes, VR_SPI_READ);
                if (!ok) DbgPrint(-1, "ReadFromFLAHAndUnCompress", "fail %d\n", static_cast<int>(p));
            }
            if (!ok) return false;
        }
        // The rest of a table shorter than one piece came with the first read.
        const unsigned int rest = length % kFlashPieceBytes;
        if (rest != 0 && whole > 0 &&
            !ReadFromSPIFlash(table.data() + whole * kFlashPieceBytes,
                              static_cast<unsigned int>(RoundUp(rest, kSPIPageBytes)),
                              SPI_FLASH_HPC_ADDR + whole * kFlashPieceBytes, VR_SPI_READ))
            return false;
        int decoded = 0;
        std::unique_ptr<uint8_t[]> out(
            Uncompress(table.data(), static_cast<int>(table.size()), bPairs, &decoded));
        if (!out) return false;
        memcpy(pOut, out.get(), std::min<size_t>(iLength, static_cast<size_t>(decoded)));
        return true;
    });
}

// ---- Hot-pixel map ----------------------------------------------------------------

bool CCameraBase::SaveHPCTable() {
    CCritSecLock control(m_csControl);
    const uint64_t pixels = SensorPixels(m_iMaxWidth, m_iMaxHeight);
    if (!m_pHotPixMap || pixels == 0) return false;
    std::vector<uint8_t> flags(pixels, 0);
    {
        CCritSecLock dark(m_csDarkBuf);
        if (!m_pDarkBuf) {
            DbgPrint(-1, "SaveHPCTable", "no dark frame\n");
            return false;
        }
        for (uint64_t i = 0; i < pixels; ++i) flags[i] = m_pDarkBuf[i] - m_iDarkAvg > kHotPixelMargin ? 1 : 0;
    }
    std::vector<uint8_t> packed(pixels / 8, 0);
    {
        CCritSecLock map(m_csHPCTable);
        memcpy(m_pHotPixMap, flags.data(), pixels);
    }
    for (uint64_t i = 0; i < packed.size() * 8; ++i)
        packed[i / 8] |= static_cast<uint8_t>(flags[i] << (i % 8));
    return CompressAndWriteIntoFLASH(packed.data(), static_cast<unsigned int>(packed.size()), true);
}

bool CCameraBase::LoadHPCTable() {
    CCritSecLock control(m_csControl);
    const uint64_t pixels = SensorPixels(m_iMaxWidth, m_iMaxHeight);
    if (!m_pHotPixMap || pixels == 0) return false;
    std::vector<uint8_t> packed(pixels / 8, 0);
    if (!ReadFromFLAHAndUnCompress(packed.data(), static_cast<unsigned int>(packed.size()), true))
        return false;
    {
        // Least significant bit first; pixels past the last whole byte are not stored.
        CCritSecLock map(m_csHPCTable);
        for (uint64_t i = 0; i < pixels; ++i)
            m_pHotPixMap[i] = i / 8 < packed.size() ? (packed[i / 8] >> (i % 8)) & 1 : 0;
    }
    m_bHPCRebuild = true;
    AdjustHPCTable();
    return true;
}

bool CCameraBase::SetHPCStates(bool bOn) {
    CCritSecLock control(m_csControl);
    m_bHPCOn = bOn;
    if (!bOn) return true;
    if (LoadHPCTable()) {
        DbgPrint(-1, "SetHPCStates", "Load HPC table success\n");
        return true;
    }
    DbgPrint(-1, "SetHPCStates", "Load HPC table error\n");
    m_bHPCOn = false;
    return false;
}

bool CCameraBase::IsHPCChange() {
    if (m_bHPCRebuild) return true;
    if (m_iHPCParam[0] == m_iBin && m_bHPCHardwareBin == m_bHardwareBin && m_iHPCParam[1] == m_iWidth &&
        m_iHPCParam[2] == m_iHeight && m_iHPCParam[3] == m_iStartX && m_iHPCParam[4] == m_iStartY) {
        DbgPrint(-1, "IsHPCChange", "not changed, return\n");
        return false;
    }
    return true;
}

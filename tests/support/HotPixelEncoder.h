// A hot-pixel table encoder for tests, written from the table format alone so
// that the library's encoder can be checked against it: "KYRD" (pairs) or
// "KYRG" (plain), the total length big-endian, then the payload. In the pair
// form each non-zero byte of a 256-byte block gives (offset with its nibbles
// swapped, value), and every block whose last byte is not the input's last
// ends with (0, 0).
#ifndef KYR_TEST_HOT_PIXEL_ENCODER_H
#define KYR_TEST_HOT_PIXEL_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace hpc_test {

inline void SetTotalLength(std::vector<uint8_t>& table) {
    const uint32_t n = static_cast<uint32_t>(table.size());
    table[4] = static_cast<uint8_t>(n >> 24);
    table[5] = static_cast<uint8_t>(n >> 16);
    table[6] = static_cast<uint8_t>(n >> 8);
    table[7] = static_cast<uint8_t>(n);
}

inline std::vector<uint8_t> EncodePairs(const std::vector<uint8_t>& bitmap) {
    std::vector<uint8_t> table = {'K', 'Y', 'R', 'D', 0, 0, 0, 0};
    for (size_t blockStart = 0; blockStart < bitmap.size(); blockStart += 256) {
        const size_t blockEnd = blockStart + 256 < bitmap.size() ? blockStart + 256 : bitmap.size();
        for (size_t at = blockStart; at < blockEnd; ++at) {
            if (bitmap[at] == 0) continue;
            const unsigned low = (at - blockStart) & 0x0F;
            const unsigned high = (at - blockStart) >> 4;
            table.push_back(static_cast<uint8_t>(low * 16 + high));
            table.push_back(bitmap[at]);
        }
        const bool bFullBlock = blockEnd - blockStart == 256;
        if (bFullBlock && blockEnd < bitmap.size()) table.insert(table.end(), {0, 0});
    }
    SetTotalLength(table);
    return table;
}

inline std::vector<uint8_t> EncodePlain(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> table = {'K', 'Y', 'R', 'G', 0, 0, 0, 0};
    table.insert(table.end(), data.begin(), data.end());
    SetTotalLength(table);
    return table;
}

// A raw table: magic, a stated length (any value) and the payload as given.
inline std::vector<uint8_t> RawTable(const char* magic, uint32_t statedLength,
                                     const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> table(magic, magic + 4);
    table.insert(table.end(),
                 {static_cast<uint8_t>(statedLength >> 24), static_cast<uint8_t>(statedLength >> 16),
                  static_cast<uint8_t>(statedLength >> 8), static_cast<uint8_t>(statedLength)});
    table.insert(table.end(), payload.begin(), payload.end());
    return table;
}

}  // namespace hpc_test

#endif

// Hot pixels of an 807 in sensor binning: the table stored in the simulated
// camera's flash is loaded at initialisation and laid onto the binned window
// by the rounded rule of these products with the model's pixel offsets.
#include <utility>
#include <vector>

#include "test_s807_fixture.h"

namespace {

// Where the compressed hot-pixel table lives in the flash.
constexpr int kHPCFlashAddr = 0x40000;

// The sensor's hot-pixel bitmap (one bit a pixel, least significant first)
// in the stored pair form: "KYRD", the big-endian total length, then (offset
// in block with its nibbles swapped, value) for each non-zero byte and (0, 0)
// after each 256-byte block but the last.
std::vector<uint8_t> StoredTable(int w, int h, const std::vector<std::pair<int, int>>& hot) {
    std::vector<uint8_t> bitmap(static_cast<size_t>(w) * h / 8, 0);
    for (const auto& p : hot) {
        const size_t n = static_cast<size_t>(p.second) * w + p.first;
        bitmap[n / 8] = static_cast<uint8_t>(bitmap[n / 8] | (1u << (n % 8)));
    }
    std::vector<uint8_t> out = {'K', 'Y', 'R', 'D', 0, 0, 0, 0};
    for (size_t i = 0; i < bitmap.size(); ++i) {
        const uint8_t offset = static_cast<uint8_t>(i % 256);
        if (bitmap[i]) {
            out.push_back(static_cast<uint8_t>((offset << 4) | (offset >> 4)));
            out.push_back(bitmap[i]);
        }
        if (offset == 255 && i + 1 < bitmap.size()) {
            out.push_back(0);
            out.push_back(0);
        }
    }
    const uint32_t len = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(len >> (24 - 8 * i));
    return out;
}

TEST_F(C807Test, BinnedHotPixelsLandWhereTheRoundedRulePutsThem) {
    // The window 400 x 300 at bin 2 starts at sensor pixel (192, 100).
    constexpr int kStartX = 192, kStartY = 100;
    struct SHot {
        int c, r;  // in the window, unbinned
        int x, y;  // in the binned window: x = c / 2 + dx, y = trunc(r / 2 + 0.5) + dy
    };
    // dx 0; dy 3 on even rows, 2 on odd rows.
    const SHot hot[] = {{100, 60, 50, 33}, {201, 81, 100, 43}, {10, 11, 5, 8}};
    for (const S807Row& row : {Rows807()[0], Rows807()[2]}) {
        SCOPED_TRACE(row.name);
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(row.pid);
        std::vector<std::pair<int, int>> sensorHot;
        for (const SHot& h : hot) sensorHot.push_back({kStartX + h.c, kStartY + h.r});
        const std::vector<uint8_t> table = StoredTable(8288, 5644, sensorHot);
        ASSERT_EQ(
            kyrsim_flash_write(m_dev.handle(), kHPCFlashAddr, table.data(), static_cast<int>(table.size())),
            0);
        m_pCam = OpenInit();
        ASSERT_NE(m_pCam, nullptr);
        ASSERT_TRUE(m_pCam->m_bHPCOn);
        ASSERT_EQ(KYRSetROIFormat(0, 400, 300, 2, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, 100, 50), KYR_SUCCESS);
        ASSERT_EQ(m_pCam->m_iStartX, kStartX);
        ASSERT_EQ(m_pCam->m_iStartY, kStartY);
        std::vector<unsigned char> img;
        ASSERT_TRUE(VideoFrame(&img));
        CCritSecLock lock(m_pCam->m_csControl);
        ASSERT_EQ(m_pCam->m_iHPCRoiW, 400);
        ASSERT_EQ(m_pCam->m_iHPCRoiH, 300);
        int marked = 0;
        for (int i = 0; i < 400 * 300; ++i) marked += m_pCam->m_pHotPixRoi[i] != 0;
        EXPECT_EQ(marked, 3);
        for (const SHot& h : hot) EXPECT_NE(m_pCam->m_pHotPixRoi[h.y * 400 + h.x], 0) << h.x << "," << h.y;
    }
}

}  // namespace

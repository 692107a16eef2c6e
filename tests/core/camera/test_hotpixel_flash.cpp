// Hot pixels from the camera's flash to the frame: a hot-pixel table stored in
// the simulated camera's SPI flash is loaded when the driver initialises, laid
// onto the readout, and the frame correction repairs exactly those pixels.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <utility>
#include <vector>

#include "TestDriver.h"
#include "kyrsim.hpp"
#include "test_camera_fixture.h"

namespace {

// Where the compressed hot-pixel table lives in the flash.
constexpr int kHPCFlashAddr = 0x40000;

// The hot-pixel bitmap of the sensor (one bit per pixel, least significant
// first) in the stored pair form: "KYRD", the big-endian total length, then
// (offset in block with its nibbles swapped, value) for each non-zero byte
// and (0, 0) after each 256-byte block but the last.
std::vector<uint8_t> StoredTable(int w, int h, const std::vector<std::pair<int, int>>& hot) {
    std::vector<uint8_t> bitmap(static_cast<size_t>(w) * h / 8, 0);
    for (const auto& p : hot) {
        const int n = p.second * w + p.first;
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

// A driver whose initialisation sets the full-sensor readout and switches
// hot-pixel correction on from the flash, as the FPGA cameras' drivers do.
class CHotPixelDriver : public CTestDriver {
  public:
    bool InitCamera() override {
        if (!CTestDriver::InitCamera()) return false;
        {
            CCritSecLock lock(m_csControl);
            m_iWidth = m_iMaxWidth;
            m_iHeight = m_iMaxHeight;
        }
        m_bHPCLoaded = SetHPCStates(true);
        return true;
    }
    bool m_bHPCLoaded = false;
};

TEST(HotPixelFlash, TableInFlashRepairsExactlyItsPixels) {
    kyrsim::reset();
    const std::vector<std::pair<int, int>> hot = {{5, 3}, {20, 10}, {40, 30}, {63, 47}, {0, 0}};
    kyrsim::Device dev = camera_test::PlugCamera(1, "1", camera_test::MakeSerial(1));
    ASSERT_TRUE(dev.valid());
    const std::vector<uint8_t> table = StoredTable(CTestDriver::kMaxWidth, CTestDriver::kMaxHeight, hot);
    ASSERT_EQ(kyrsim_flash_write(dev.handle(), kHPCFlashAddr, table.data(), static_cast<int>(table.size())),
              0);

    CHotPixelDriver cam;
    camera_test::SetPath(cam, camera_test::PathOf(1, "1"));
    ASSERT_TRUE(cam.OpenCamera(1));
    ASSERT_TRUE(cam.InitCamera());
    ASSERT_TRUE(cam.m_bHPCLoaded);
    ASSERT_TRUE(cam.m_bHPCOn);

    // Hot pixels bright on an even background: each is repaired to the
    // background, and nothing else changes.
    const int w = CTestDriver::kMaxWidth, h = CTestDriver::kMaxHeight;
    memset(cam.m_pImgBuf, 50, static_cast<size_t>(w) * h);
    for (const auto& p : hot) cam.m_pImgBuf[p.second * w + p.first] = 250;
    cam.HandleHotPixels();
    for (int i = 0; i < w * h; ++i) ASSERT_EQ(cam.m_pImgBuf[i], 50) << "pixel " << i % w << "," << i / w;
    EXPECT_EQ(cam.m_iHPCCount, static_cast<int>(hot.size()));
    cam.CloseCamera();
    kyrsim::reset();
}

}  // namespace

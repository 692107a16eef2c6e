// Shared pieces of the frame post-processing tests: a test camera of any
// sensor size with its work buffers and a settable geometry, a hot-pixel map
// laid onto it, frames as 8- or 16-bit pixels, and dark-frame BMP files built
// byte by byte (not by the library's writer).
#ifndef KYR_TEST_POSTPROCESSING_FIXTURE_H
#define KYR_TEST_POSTPROCESSING_FIXTURE_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "TestDriver.h"
#include "camera/CameraBase.h"

namespace post_test {

// The test driver with a sensor of the given size, its work buffers
// allocated, the whole sensor as readout and gamma at its identity.
class CPostCamera : public CTestDriver {
  public:
    CPostCamera(int iMaxW, int iMaxH, bool bColor = false, int iProductID = CTestDriver::kProductID)
        : CTestDriver(iProductID) {
        m_iMaxWidth = iMaxW;
        m_iMaxHeight = iMaxH;
        m_iWidth = iMaxW;
        m_iHeight = iMaxH;
        m_bColor = bColor;
        m_iGamma = 50;
        m_bBuffers = InitVariable();
    }

    // The readout: width x height after binning, start in sensor pixels.
    void SetGeometry(int iWidth, int iHeight, int iBin, int iStartX, int iStartY, bool bHardwareBin = false) {
        CCritSecLock lock(m_csControl);
        m_iWidth = iWidth;
        m_iHeight = iHeight;
        m_iBin = iBin;
        m_iStartX = iStartX;
        m_iStartY = iStartY;
        m_bHardwareBin = bHardwareBin;
    }

    // Marks these sensor pixels hot (all others not), then lays the map onto
    // the current geometry.
    void SetHotMap(const std::vector<std::pair<int, int>>& hot) {
        memset(m_pHotPixMap, 0, static_cast<size_t>(m_iMaxWidth) * m_iMaxHeight);
        for (const auto& p : hot) m_pHotPixMap[p.second * m_iMaxWidth + p.first] = 1;
        m_bHPCOn = true;
        m_bHPCRebuild = true;
        AdjustHPCTable();
    }

    std::vector<uint32_t> HotList() {
        CCritSecLock lock(m_csHPCTable);
        if (!m_pHPCTable) return {};
        return std::vector<uint32_t>(m_pHPCTable, m_pHPCTable + m_iHPCCount);
    }
    std::vector<uint32_t> DarkHotList() {
        CCritSecLock lock(m_csHotPixel);
        if (!m_pDarkHotList) return {};
        return std::vector<uint32_t>(m_pDarkHotList, m_pDarkHotList + m_iDarkHotCount);
    }
    std::vector<uint8_t> DarkFrame() {
        CCritSecLock lock(m_csDarkBuf);
        if (!m_pDarkBuf) return {};
        return std::vector<uint8_t>(m_pDarkBuf, m_pDarkBuf + static_cast<size_t>(m_iMaxWidth) * m_iMaxHeight);
    }

    uint8_t* Frame8() { return m_pImgBuf; }
    uint16_t* Frame16() { return reinterpret_cast<uint16_t*>(m_pImgBuf); }

    bool m_bBuffers = false;
};

// ---- Dark-frame files -----------------------------------------------------------------

inline void PutLe(std::vector<uint8_t>& v, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// An 8-bit grey BMP as the dark-frame layout has it: 14 + 40 header bytes, a
// 256-entry grey palette, then width x height pixels, rows in buffer order.
inline std::vector<uint8_t> DarkBmp(int w, int h, const std::function<uint8_t(int, int)>& pixel) {
    const uint32_t rowBytes = ((static_cast<uint32_t>(w) * 8 + 31) & ~31u) / 8;
    const uint32_t imageBytes = rowBytes * static_cast<uint32_t>(h);
    std::vector<uint8_t> f(1078 + static_cast<size_t>(w) * h, 0);
    PutLe(f, 0, 19778, 2);
    PutLe(f, 2, imageBytes + 1078, 4);
    PutLe(f, 10, 1078, 4);
    PutLe(f, 14, 40, 4);
    PutLe(f, 18, static_cast<uint32_t>(w), 4);
    PutLe(f, 22, static_cast<uint32_t>(h), 4);
    PutLe(f, 26, 1, 2);
    PutLe(f, 28, 8, 2);
    PutLe(f, 34, imageBytes, 4);
    PutLe(f, 46, 256, 4);
    for (int i = 0; i < 256; ++i) f[54 + 4 * i] = f[55 + 4 * i] = f[56 + 4 * i] = static_cast<uint8_t>(i);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f[1078 + static_cast<size_t>(y) * w + x] = pixel(x, y);
    return f;
}

inline std::string TempPath(const std::string& name) { return std::string(getenv("HOME")) + "/" + name; }

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a dark BMP of the camera's sensor size and loads it; the load's result.
inline int LoadDark(CPostCamera& cam, const std::function<uint8_t(int, int)>& pixel,
                    const std::string& name = "dark.bmp") {
    const std::string path = TempPath(name);
    WriteBytes(path, DarkBmp(cam.m_iMaxWidth, cam.m_iMaxHeight, pixel));
    return cam.LoadBMPFromFile(path.c_str());
}

}  // namespace post_test

#endif

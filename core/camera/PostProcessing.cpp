// Frame post-processing of the camera object: the gamma tables and the gamma
// pass, hot-pixel correction from the camera's hot-pixel map, the dark frame
// (acquisition, the BMP file, subtraction and its own hot pixels) and the time
// stamp. The image operation runs these on the caller's thread for every frame
// while control calls on other threads change the geometry, the dark frame or
// the gamma; every table a frame is corrected with is therefore built aside and
// installed whole under the lock its reader takes, and freed only after that.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "camera/CameraBase.h"
#include "platform/Log.h"

namespace {

// Gamma value that leaves the frame unchanged, and the largest one.
constexpr int kGammaIdentity = 50;
constexpr int kGammaMax = 100;

// At most this many hot pixels are listed; a map with more is not a sensor's
// defect list but a broken one, and the per-frame repair must stay bounded.
constexpr int kHPCMaxCount = 100000;

// A dark pixel above the dark frame's mean by more than this is hot.
constexpr int kDarkHotMargin = 30;
// With auto exposure, exposures shorter than this change too often for a dark
// frame taken at one exposure to fit: no subtraction.
constexpr uint64_t kDarkAutoExpMinUs = 500000;

// Preset byte meaning "no offset"; also ends a row's list of phases.
constexpr uint8_t kPresetNone = 127;
constexpr int kPresetRowBytes = 16;
constexpr int kPresetRows = kPresetBytes / kPresetRowBytes;
// Products whose hardware bin lays pixels out with the rounded formula
// (0x811a and 0x811e: the two differ in bit 2 only).
constexpr int kRoundedBinPID = 0x811a;
constexpr int kRoundedBinPIDMask = ~0x4;

// ---- Dark-frame BMP layout ----------------------------------------------------
constexpr uint16_t kBmpType = 19778;  // "BM"
constexpr int kBmpFileHeaderBytes = 14;
constexpr int kBmpInfoHeaderBytes = 40;
constexpr int kBmpPaletteBytes = 1024;
constexpr uint32_t kBmpDataOffset = kBmpFileHeaderBytes + kBmpInfoHeaderBytes + kBmpPaletteBytes;  // 1078
constexpr uint32_t kBmpMinDataOffset = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;                  // 54
// Results of LoadBMPFromFile.
constexpr int kBmpLoaded = 1;
constexpr int kBmpBadFile = 0;
constexpr int kBmpBadPath = 6;
constexpr int kBmpBadSize = 7;
// Mode of a new dark file.
constexpr mode_t kBmpFileMode = 0644;

// ---- Time stamp -----------------------------------------------------------------
// The stamp sits in the image's top-right area: the date from 200 pixels
// before the right edge, the time from 128, glyphs 8 x 16 from row 7.
constexpr int kStampTop = 7;
constexpr int kStampDateFromRight = 200;
constexpr int kStampTimeFromRight = 128;
constexpr int kGlyphW = 8;
constexpr int kGlyphH = 16;
constexpr int kStampChars = 8;
// The background is measured over the stamp's rows and this many columns.
constexpr int kStampBackgroundCols = 128;

// Digits 0-9 and the colon, drawn top row first; '#' is ink.
constexpr char kGlyphArt[11][kGlyphH][kGlyphW + 1] = {
    {"........", "..####..", ".##..##.", "##....##", "##....##", "##...###", "##..#.##", "##.#..##",
     "###...##", "##....##", "##....##", "##....##", ".##..##.", "..####..", "........", "........"},
    {"........", "...##...", "..###...", ".####...", "...##...", "...##...", "...##...", "...##...",
     "...##...", "...##...", "...##...", "...##...", "...##...", ".######.", "........", "........"},
    {"........", "..####..", ".##..##.", "##....##", "......##", ".....##.", "....##..", "...##...",
     "..##....", ".##.....", "##......", "##......", "##....##", "########", "........", "........"},
    {"........", ".#####..", "##...##.", "......##", "......##", ".....##.", "..####..", ".....##.",
     "......##", "......##", "......##", "##....##", ".##..##.", "..####..", "........", "........"},
    {"........", ".....##.", "....###.", "...####.", "..##.##.", ".##..##.", "##...##.", "##...##.",
     "########", ".....##.", ".....##.", ".....##.", ".....##.", "....####", "........", "........"},
    {"........", "########", "##......", "##......", "##......", "######..", ".....##.", "......##",
     "......##", "......##", "......##", "##....##", ".##..##.", "..####..", "........", "........"},
    {"........", "...###..", "..##....", ".##.....", "##......", "##......", "######..", "###..##.",
     "##....##", "##....##", "##....##", "##....##", ".##..##.", "..####..", "........", "........"},
    {"........", "########", "##....##", "......##", ".....##.", ".....##.", "....##..", "....##..",
     "...##...", "...##...", "..##....", "..##....", "..##....", "..##....", "........", "........"},
    {"........", "..####..", ".##..##.", "##....##", "##....##", ".##..##.", "..####..", ".##..##.",
     "##....##", "##....##", "##....##", "##....##", ".##..##.", "..####..", "........", "........"},
    {"........", "..####..", ".##..##.", "##....##", "##....##", "##....##", "##....##", ".##..###",
     "..######", "......##", "......##", ".....##.", "....##..", ".####...", "........", "........"},
    {"........", "........", "........", "........", "...##...", "...##...", "........", "........",
     "........", "........", "...##...", "...##...", "........", "........", "........", "........"},
};

// The glyphs as stored: one byte per glyph row, bottom row first, bit k the
// k-th column from the left.
struct SGlyphFont {
    uint8_t rows[11][kGlyphH];
    constexpr SGlyphFont() : rows{} {
        for (int g = 0; g < 11; ++g) {
            for (int r = 0; r < kGlyphH; ++r) {
                uint8_t bits = 0;
                for (int k = 0; k < kGlyphW; ++k) {
                    if (kGlyphArt[g][kGlyphH - 1 - r][k] == '#')
                        bits = static_cast<uint8_t>(bits | (1u << k));
                }
                rows[g][r] = bits;
            }
        }
    }
};
constexpr SGlyphFont kGlyphFont;

// ---- Geometry --------------------------------------------------------------------

// The readout geometry, read at once under the control lock.
struct SGeometry {
    int iBin, iWidth, iHeight, iStartX, iStartY, iMaxW, iMaxH;
    bool bHardwareBin, bHardBinRun, bOutput16;
};

// Where a map of the sensor is laid onto the frame: the region of the sensor
// it covers (iRoiW x iRoiH from the start) and the frame it is laid onto
// (iMapW x iMapH). bValid is false when that frame would not fit the sensor's
// buffers: then nothing is laid onto it.
struct SRoiLayout {
    int iBin;     // the bin factor
    int iBinDiv;  // the factor binned positions are divided by (2 at hardware bin 4)
    int iRoiW, iRoiH;
    int iMapW, iMapH;
    bool bHardBinRun;
    bool bValid;
};

SRoiLayout LayoutOf(const SGeometry& g) {
    SRoiLayout l = {};
    l.iBin = g.iBin;
    l.iBinDiv = (g.bHardwareBin && g.iBin == 4) ? 2 : g.iBin;
    l.bHardBinRun = g.bHardBinRun;
    if (g.iBin < 1 || g.iWidth < 1 || g.iHeight < 1 || g.iMaxW < 1 || g.iMaxH < 1) return l;
    const int64_t roiW = static_cast<int64_t>(g.iWidth) * g.iBin;
    const int64_t roiH = static_cast<int64_t>(g.iHeight) * g.iBin;
    // Hardware binning delivers the binned frame (twice the size at bin 4,
    // whose second half of the binning is done in software).
    const int64_t mapW = g.bHardBinRun ? static_cast<int64_t>(g.iWidth) * (g.iBin == 4 ? 2 : 1) : roiW;
    const int64_t mapH = g.bHardBinRun ? static_cast<int64_t>(g.iHeight) * (g.iBin == 4 ? 2 : 1) : roiH;
    if (roiW > INT32_MAX || roiH > INT32_MAX || mapW > g.iMaxW || mapH > g.iMaxH) return l;
    l.iRoiW = static_cast<int>(roiW);
    l.iRoiH = static_cast<int>(roiH);
    l.iMapW = static_cast<int>(mapW);
    l.iMapH = static_cast<int>(mapH);
    l.bValid = true;
    return l;
}

// True for the geometry a dark frame is taken at: the whole sensor, unbinned, 8-bit.
bool IsFullSensor8Bit(const SGeometry& g) {
    return g.iBin == 1 && !g.bHardwareBin && !g.bOutput16 && g.iStartX == 0 && g.iStartY == 0 &&
           g.iWidth == g.iMaxW && g.iHeight == g.iMaxH && g.iMaxW > 0 && g.iMaxH > 0;
}

size_t SensorPixels(const SGeometry& g) {
    return static_cast<size_t>(g.iMaxW > 0 ? g.iMaxW : 0) * static_cast<size_t>(g.iMaxH > 0 ? g.iMaxH : 0);
}

// Offset byte of a preset row (signed); 0 for "no offset" and for rows that
// do not exist.
int PresetOffset(const uint8_t* pRow, int iByte) {
    if (!pRow || pRow[iByte] == kPresetNone) return 0;
    return static_cast<int8_t>(pRow[iByte]);
}

// The offsets of the phases first, first + 2, ... below 8 of one axis (iAxis
// 0 for x, 1 for y): the first phase always, the others until one whose byte
// says "no offset". Returns their number.
int PhaseOffsets(const uint8_t* pRow, int iFirst, int iAxis, int* piOffsets) {
    int n = 0;
    for (int p = iFirst; p < 8; p += 2) {
        if (pRow && p != iFirst && pRow[2 * p + iAxis] == kPresetNone) break;
        piOffsets[n++] = PresetOffset(pRow, 2 * p + iAxis);
        if (!pRow) break;
    }
    return n;
}

// Position in the hardware-binned frame of sensor pixel (c, r) of the ROI,
// moved by (dx, dy) before the binning.
inline int BinnedPos(int v, int d, int iBinDiv) { return ((v + d) / (2 * iBinDiv)) * 2 + (v % 2); }

// The preset row of a bin factor, or null for factors without one.
const uint8_t* PresetRow(const uint8_t* pPresets, int iBin) {
    return (pPresets && iBin >= 0 && iBin < kPresetRows) ? pPresets + iBin * kPresetRowBytes : nullptr;
}

// Calls fn(c, r, value) for each pixel (c, r) of the ROI that lies on the
// sensor, with its value in the full-sensor buffer pFull; the parts of the
// ROI outside the sensor are left out.
template <class F>
void ForEachRoiPixel(const SGeometry& g, const SRoiLayout& l, const uint8_t* pFull, F fn) {
    for (int r = 0; r < l.iRoiH; ++r) {
        const int64_t sy = static_cast<int64_t>(g.iStartY) + r;
        if (sy < 0 || sy >= g.iMaxH) continue;
        for (int c = 0; c < l.iRoiW; ++c) {
            const int64_t sx = static_cast<int64_t>(g.iStartX) + c;
            if (sx < 0 || sx >= g.iMaxW) continue;
            fn(c, r, pFull[sy * g.iMaxW + sx]);
        }
    }
}

// A new array holding the indices (one slot more, so that an empty list is
// an array too); null when memory runs out.
uint32_t* NewIndexList(const std::vector<uint32_t>& indices) {
    uint32_t* p = new (std::nothrow) uint32_t[indices.size() + 1];
    if (p) std::copy(indices.begin(), indices.end(), p);
    return p;
}

// ---- Hot-pixel repair --------------------------------------------------------------

// Pixel (x, y) of a W x H frame becomes the integer mean of its neighbours s
// away (above, left, right, below) that are not hot, or are hot but already
// repaired in this pass (index below iDone); with none, the value of the
// pixel before it.
template <class T>
void DeNoisePixel(T* px, const uint8_t* pMap, int W, int H, int s, int x, int y, int iDone) {
    const int idx = y * W + x;
    unsigned sum = 0;
    int n = 0;
    auto take = [&](int nx, int ny) {
        if (nx < 0 || ny < 0 || nx >= W || ny >= H) return;
        const int j = ny * W + nx;
        if (pMap[j] == 0 || j < iDone) {
            sum += px[j];
            ++n;
        }
    };
    take(x, y - s);
    take(x - s, y);
    take(x + s, y);
    take(x, y + s);
    if (n > 0) {
        px[idx] = static_cast<T>(sum / static_cast<unsigned>(n));
    } else if (idx > 0) {
        px[idx] = px[idx - 1];
    }
}

// The listed pixels of a W x H frame: edge pixels copy the pixel s inward,
// inner ones take their neighbours' mean, masked to the ADC's grid.
template <class T>
void RepairListed(T* px, const uint32_t* pList, int iCount, const uint8_t* pMap, int W, int H, int s,
                  unsigned uMask) {
    const uint32_t total = static_cast<uint32_t>(W) * static_cast<uint32_t>(H);
    for (int i = 0; i < iCount; ++i) {
        const uint32_t idx = pList[i];
        if (idx >= total) continue;
        const int x = static_cast<int>(idx % static_cast<uint32_t>(W));
        const int y = static_cast<int>(idx / static_cast<uint32_t>(W));
        if (x < s || y < s) {
            if (idx + s < total) px[idx] = px[idx + s];
        } else if (x >= W - s || y >= H - s) {
            px[idx] = px[idx - s];
        } else {
            DeNoisePixel(px, pMap, W, H, s, x, y, static_cast<int>(idx));
            px[idx] = static_cast<T>(px[idx] & uMask);
        }
    }
}

// Flagged rows take the mean of the nearest unflagged rows of the same phase
// above and below, or a copy of the one that exists.
template <class T>
void RepairRows(T* px, const uint8_t* pRows, int W, int H, int s) {
    for (int y = 0; y < H; ++y) {
        if (!pRows[y]) continue;
        int above = -1, below = -1;
        for (int a = y - s; a >= 0; a -= s) {
            if (!pRows[a]) {
                above = a;
                break;
            }
        }
        for (int b = y + s; b < H; b += s) {
            if (!pRows[b]) {
                below = b;
                break;
            }
        }
        T* row = px + static_cast<size_t>(y) * W;
        if (above >= 0 && below >= 0) {
            const T* up = px + static_cast<size_t>(above) * W;
            const T* down = px + static_cast<size_t>(below) * W;
            for (int x = 0; x < W; ++x) row[x] = static_cast<T>((unsigned(up[x]) + unsigned(down[x])) >> 1);
        } else if (above >= 0 || below >= 0) {
            memcpy(row, px + static_cast<size_t>(above >= 0 ? above : below) * W, sizeof(T) * W);
        }
    }
}

// The dark frame's hot pixels: edge pixels copy the pixel s inward, inner
// ones the mean of the pixels s to the left and right.
template <class T>
void RepairDarkHot(T* px, const uint32_t* pList, int iCount, int W, int H, int s) {
    const uint32_t total = static_cast<uint32_t>(W) * static_cast<uint32_t>(H);
    for (int i = 0; i < iCount; ++i) {
        const uint32_t idx = pList[i];
        if (idx >= total) continue;
        const int x = static_cast<int>(idx % static_cast<uint32_t>(W));
        const int y = static_cast<int>(idx / static_cast<uint32_t>(W));
        if (x < s || y < s) {
            if (idx + s < total) px[idx] = px[idx + s];
        } else if (x < W - s && y < H - s) {
            px[idx] = static_cast<T>((unsigned(px[idx - s]) + unsigned(px[idx + s])) >> 1);
        } else {
            px[idx] = px[idx - s];
        }
    }
}

// ---- Files ---------------------------------------------------------------------------

class CFileDescriptor {
  public:
    explicit CFileDescriptor(int fd) : m_fd(fd) {}
    ~CFileDescriptor() {
        if (m_fd >= 0) close(m_fd);
    }
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    int Get() const { return m_fd; }
    // Closes now; false when the close reports an error (data not written).
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return close(fd) == 0;
    }

  private:
    int m_fd;
};

// Reads up to n bytes at offset; the count read (short at the end of the file or on an error).
size_t ReadAt(int fd, uint8_t* p, size_t n, off_t offset) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(fd, p + done, n - done, offset + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A path that fits m_szBMPPath with its terminator.
bool PathFits(const char* szPath) { return szPath && strnlen(szPath, kBMPPathBytes) < kBMPPathBytes; }

}  // namespace

// Reads the geometry fields at once (drivers change them under the control lock).
static SGeometry ReadGeometry(CCameraBase& cam) {
    CCritSecLock lock(cam.m_csControl);
    SGeometry g;
    g.iBin = cam.m_iBin;
    g.iWidth = cam.m_iWidth;
    g.iHeight = cam.m_iHeight;
    g.iStartX = cam.m_iStartX;
    g.iStartY = cam.m_iStartY;
    g.iMaxW = cam.m_iMaxWidth;
    g.iMaxH = cam.m_iMaxHeight;
    g.bHardwareBin = cam.m_bHardwareBin;
    g.bHardBinRun = cam.IsHardBinRun();
    g.bOutput16 = cam.m_bOutput16Bits;
    return g;
}

// ---- Gamma -----------------------------------------------------------------------------

bool CCameraBase::SetGamma(int iGamma) {
    if (iGamma > kGammaMax) iGamma = kGammaMax;
    // Exponent: 1 at 50, 0.5 at 100, 1.98 at 1, in single precision.
    const float e = iGamma <= kGammaIdentity ? (200.0f - 2.0f * static_cast<float>(iGamma)) / 100.0f
                                             : (150.0f - static_cast<float>(iGamma)) / 100.0f;
    // Built aside, so that a frame being mapped never sees a half-built table.
    std::unique_ptr<uint16_t[]> lut16(new (std::nothrow) uint16_t[kGammaLUT16Entries]);
    if (!lut16) return false;
    for (int i = 0; i < kGammaLUT16Entries; ++i) {
        const float ratio = static_cast<float>(i) / 65535.0f;
        const float v =
            static_cast<float>(pow(static_cast<double>(ratio), static_cast<double>(e))) * 65535.0f;
        lut16[i] = static_cast<uint16_t>(std::min(65535.0f, v));
    }
    uint8_t lut8[256];
    for (int i = 0; i < 256; ++i) {
        const double v = pow(static_cast<double>(i) / 255.0, static_cast<double>(e)) * 255.0;
        lut8[i] = static_cast<uint8_t>(std::min(255.0, v));
    }
    std::lock_guard<std::mutex> lock(m_mtxGamma);
    if (!m_pGammaLUT16) return false;
    memcpy(m_pGammaLUT16, lut16.get(), sizeof(uint16_t) * kGammaLUT16Entries);
    memcpy(m_ucGammaLUT8, lut8, sizeof(lut8));
    m_iGamma = iGamma;
    return true;
}

void CCameraBase::ApplyGamma(unsigned char* pBuf, int iWidth, int iHeight, bool b16Bit) {
    if (!pBuf) return;
    std::lock_guard<std::mutex> lock(m_mtxGamma);
    if (m_iGamma == kGammaIdentity) return;
    if (b16Bit) {
        if (m_pGammaLUT16)
            m_Alg.Gamma(reinterpret_cast<unsigned short*>(pBuf), m_pGammaLUT16, iWidth, iHeight);
    } else {
        m_Alg.Gamma(pBuf, m_ucGammaLUT8, iWidth, iHeight);
    }
}

// ---- Hot pixels ------------------------------------------------------------------------

int CCameraBase::DeNoiseHPC(int iX, int iY, int iIndex) {
    CCritSecLock lock(m_csHPCTable);
    const int W = m_iHPCRoiW, H = m_iHPCRoiH;
    if (!m_pImgBuf || !m_pHotPixRoi || iX < 0 || iY < 0 || iX >= W || iY >= H) return 1;
    const int s = m_bColor ? 2 : 1;
    if (m_bOutput16Bits) {
        DeNoisePixel(reinterpret_cast<uint16_t*>(m_pImgBuf), m_pHotPixRoi, W, H, s, iX, iY, iIndex);
    } else {
        DeNoisePixel(m_pImgBuf, m_pHotPixRoi, W, H, s, iX, iY, iIndex);
    }
    return 1;
}

void CCameraBase::HandleHotPixels() {
    if (!m_pImgBuf) return;
    // The next pixel of the same colour is two away on a Bayer sensor.
    const int s = m_bColor ? 2 : 1;
    const bool b16 = m_bOutput16Bits;
    if (m_bHPCOn) {
        CCritSecLock lock(m_csHPCTable);
        const int W = m_iHPCRoiW, H = m_iHPCRoiH;
        if (m_pHPCTable && m_pHotPixRoi && W > 0 && H > 0) {
            if (b16) {
                // A repaired value lands on the ADC's grid like its neighbours.
                const unsigned mask = m_iADCBits == 16 ? 0xFFFFu : m_iADCBits == 14 ? 0xFFFCu : 0xFFF0u;
                uint16_t* px = reinterpret_cast<uint16_t*>(m_pImgBuf);
                RepairListed(px, m_pHPCTable, m_iHPCCount, m_pHotPixRoi, W, H, s, mask);
                if (m_pHPCRows) RepairRows(px, m_pHPCRows, W, H, s);
            } else {
                RepairListed(m_pImgBuf, m_pHPCTable, m_iHPCCount, m_pHotPixRoi, W, H, s, 0xFFu);
                if (m_pHPCRows) RepairRows(m_pImgBuf, m_pHPCRows, W, H, s);
            }
        }
    }
    if (m_bCutDark) {
        CCritSecLock lock(m_csHotPixel);
        if (m_pDarkHotList && m_iDarkRoiW > 0 && m_iDarkRoiH > 0) {
            if (b16) {
                RepairDarkHot(reinterpret_cast<uint16_t*>(m_pImgBuf), m_pDarkHotList, m_iDarkHotCount,
                              m_iDarkRoiW, m_iDarkRoiH, s);
            } else {
                RepairDarkHot(m_pImgBuf, m_pDarkHotList, m_iDarkHotCount, m_iDarkRoiW, m_iDarkRoiH, s);
            }
        }
    }
}

void CCameraBase::AdjustHPCTable() {
    // The whole rebuild is one geometry change: it runs under the control
    // lock, and the image thread keeps the old tables until the new ones are in.
    CCritSecLock control(m_csControl);
    if (!m_pHotPixMap || !m_pHotPixRoi || !IsHPCChange()) return;
    DbgPrint(-1, "AdjustHPCTable", "AdjustHPCTable >\n");
    const SGeometry g = ReadGeometry(*this);
    const SRoiLayout l = LayoutOf(g);
    const size_t sensorPixels = SensorPixels(g);

    // Every map is as large as the sensor, so that a later geometry never
    // needs another size (InitVariable keeps and clears it at that size).
    std::unique_ptr<uint8_t[]> roi(new (std::nothrow) uint8_t[sensorPixels]());
    if (!roi) {
        DbgPrint(-1, "AdjustHPCTable", "memory fail\n");
        return;
    }
    const int W = l.bValid ? l.iMapW : 0;
    const int H = l.bValid ? l.iMapH : 0;
    if (l.bValid) {
        const uint8_t* presetRow = PresetRow(m_pPresetBytes, l.iBin);
        const bool bRounded = (m_iPID & kRoundedBinPIDMask) == kRoundedBinPID;
        // Parts of the ROI outside the sensor count as not hot.
        ForEachRoiPixel(g, l, m_pHotPixMap, [&](int c, int r, uint8_t v) {
            if (!l.bHardBinRun) {
                roi[static_cast<size_t>(r) * W + c] = v;
                return;
            }
            if (!v) return;
            int dxs[4], dys[4];
            const int nx = PhaseOffsets(presetRow, c % 2, 0, dxs);
            const int ny = PhaseOffsets(presetRow, r % 2, 1, dys);
            for (int i = 0; i < nx; ++i) {
                for (int j = 0; j < ny; ++j) {
                    int x, y;
                    if (bRounded) {
                        const float div = 2.0f * static_cast<float>(l.iBinDiv);
                        y = static_cast<int>(2.0f * static_cast<float>(r) / div + 0.5f) + dys[j];
                        x = static_cast<int>(2.0f * static_cast<float>(c) / div) + dxs[i];
                    } else {
                        x = BinnedPos(c, dxs[i], l.iBinDiv);
                        y = BinnedPos(r, dys[j], l.iBinDiv);
                    }
                    if (x >= 0 && y >= 0 && x < W && y < H) roi[static_cast<size_t>(y) * W + x] = v;
                }
            }
        });
    }

    // Rows at least half hot are repaired whole and leave the list.
    std::unique_ptr<uint8_t[]> rows;
    for (int y = 0; y < H; ++y) {
        uint8_t* row = roi.get() + static_cast<size_t>(y) * W;
        long sum = 0;
        for (int x = 0; x < W; ++x) sum += row[x];
        if (sum > 0 && sum >= W / 2) {
            if (!rows) {
                rows.reset(new (std::nothrow) uint8_t[H]());
                if (!rows) {
                    DbgPrint(-1, "AdjustHPCTable", "memory fail\n");
                    return;
                }
            }
            rows[y] = 1;
            memset(row, 0, static_cast<size_t>(W));
        }
    }

    std::vector<uint32_t> hot;
    const size_t total = static_cast<size_t>(W) * static_cast<size_t>(H);
    for (size_t i = 0; i < total; ++i) {
        if (!roi[i]) continue;
        hot.push_back(static_cast<uint32_t>(i));
        if (hot.size() >= static_cast<size_t>(kHPCMaxCount)) {
            DbgPrint(-1, "AdjustHPCTable", "HPC number over %d, quit!\n", kHPCMaxCount);
            break;
        }
    }
    std::unique_ptr<uint32_t[]> list(NewIndexList(hot));
    if (!list) {
        DbgPrint(-1, "AdjustHPCTable", "memory fail\n");
        return;
    }

    uint8_t* oldRoi = roi.release();
    uint8_t* oldRows = rows.release();
    uint8_t* oldCols = nullptr;
    uint32_t* oldList = list.release();
    {
        CCritSecLock lock(m_csHPCTable);
        std::swap(m_pHotPixRoi, oldRoi);
        std::swap(m_pHPCRows, oldRows);
        std::swap(m_pHPCCols, oldCols);
        std::swap(m_pHPCTable, oldList);
        m_iHPCRoiW = W;
        m_iHPCRoiH = H;
        m_iHPCCount = static_cast<int>(hot.size());
    }
    delete[] oldRoi;
    delete[] oldRows;
    delete[] oldCols;
    delete[] oldList;
    DbgPrint(-1, "AdjustHPCTable", "HPC Dead pixel:%d\n", static_cast<int>(hot.size()));

    m_iHPCParam[0] = g.iBin;
    m_iHPCParam[1] = g.iWidth;
    m_iHPCParam[2] = g.iHeight;
    m_iHPCParam[3] = g.iStartX;
    m_iHPCParam[4] = g.iStartY;
    m_bHPCHardwareBin = g.bHardwareBin;
    m_bHPCRebuild = false;
}

// ---- Dark frame ----------------------------------------------------------------------------

int CCameraBase::GettingDark(bool bOn, unsigned long long) {
    const SGeometry g = ReadGeometry(*this);
    // Fewer frames as the exposure grows: the acquisition stays about half a second.
    const uint64_t ms = m_lExpTimeUs / 1000;
    const int frames = ms <= 100 ? 5 : ms <= 325 ? 4 : ms <= 550 ? 3 : ms <= 775 ? 2 : 1;
    CCritSecLock lock(m_csDarkBuf);
    m_iDarkFrameNo = 0;
    m_pDarkAcc.reset();
    if (bOn && !IsFullSensor8Bit(g)) {
        // A dark frame is kept for the whole sensor, pixel for pixel.
        DbgPrint(-1, "GettingDark", "dark frame needs the full sensor at bin 1, 8-bit\n");
        m_bGettingDark = false;
        return 0;
    }
    m_iDarkFrames = frames;
    m_bGettingDark = bOn;
    return frames;
}

void CCameraBase::DoGetDark() {
    if (!m_bGettingDark) return;
    const SGeometry g = ReadGeometry(*this);
    const size_t n = SensorPixels(g);
    bool bComplete = false;
    {
        CCritSecLock buf(m_csDarkBuf);
        CCritSecLock sub(m_csDarkSub);
        if (!m_bGettingDark) return;
        auto abandon = [&](const char* szWhy) {
            DbgPrint(-1, "DoGetDark", "dark frame abandoned: %s\n", szWhy);
            m_pDarkAcc.reset();
            m_iDarkFrameNo = 0;
            m_bGettingDark = false;
        };
        if (!IsFullSensor8Bit(g)) return abandon("the frame is not the full sensor at bin 1, 8-bit");
        if (!m_pImgBuf) return abandon("no frame buffer");
        if (m_iDarkFrameNo == 0 || !m_pDarkAcc) {
            m_pDarkAcc.reset(new (std::nothrow) uint8_t[n]());
            if (!m_pDarkAcc) return abandon("memory fail");
            m_iDarkFrameNo = 0;
        }
        const int frames = std::max(1, m_iDarkFrames);
        ++m_iDarkFrameNo;
        uint8_t* acc = m_pDarkAcc.get();
        for (size_t i = 0; i < n; ++i) {
            const unsigned v = acc[i] + m_pImgBuf[i] / static_cast<unsigned>(frames);
            acc[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
        }
        if (m_iDarkFrameNo < frames) return;
        if (!m_pDarkRoi) {
            m_pDarkRoi = new (std::nothrow) uint8_t[n]();
            if (!m_pDarkRoi) return abandon("memory fail");
        }
        delete[] m_pDarkBuf;
        m_pDarkBuf = m_pDarkAcc.release();
        m_iDarkFrameNo = 0;
        bComplete = true;
    }
    // Outside the dark locks: AdjustDarkBuff reads the geometry under the control lock first.
    if (bComplete) {
        AdjustDarkBuff();
        m_bGettingDark = false;
    }
}

void CCameraBase::AdjustDarkBuff() {
    const SGeometry g = ReadGeometry(*this);
    const SRoiLayout l = LayoutOf(g);
    const size_t sensorPixels = SensorPixels(g);
    CCritSecLock buf(m_csDarkBuf);
    if (!m_pDarkBuf || !m_pDarkRoi) return;
    // Built aside at the sensor's size, installed whole below.
    std::unique_ptr<uint8_t[]> roi(new (std::nothrow) uint8_t[sensorPixels]());
    if (!roi) {
        DbgPrint(-1, "AdjustDarkBuff", "memory fail\n");
        return;
    }
    const int W = l.bValid ? l.iMapW : 0;
    const int H = l.bValid ? l.iMapH : 0;
    if (l.bValid) {
        const uint8_t* presetRow = PresetRow(m_pPresetBytes, l.iBin);
        ForEachRoiPixel(g, l, m_pDarkBuf, [&](int c, int r, uint8_t value) {
            if (!l.bHardBinRun) {
                roi[static_cast<size_t>(r) * W + c] = value;
                return;
            }
            const int x = BinnedPos(c, PresetOffset(presetRow, 2 * (c % 2)), l.iBinDiv);
            const int y = BinnedPos(r, PresetOffset(presetRow, 2 * (r % 2) + 1), l.iBinDiv);
            if (x < 0 || y < 0 || x >= W || y >= H) return;
            // The sensor averages the binned pixels unless this model sums them.
            const unsigned v = m_bDarkBinSum ? value : value / l.iBinDiv / l.iBinDiv;
            uint8_t& d = roi[static_cast<size_t>(y) * W + x];
            d = static_cast<uint8_t>(std::min(255u, d + v));
        });
    }
    const size_t total = static_cast<size_t>(W) * static_cast<size_t>(H);
    uint64_t sum = 0;
    for (size_t i = 0; i < total; ++i) sum += roi[i];
    const int avg = total ? static_cast<int>(sum / total) : 0;
    DbgPrint(-1, "AdjustDarkBuff", "avarage:%d\n", avg);
    std::vector<uint32_t> hot;
    for (size_t i = 0; i < total; ++i) {
        if (roi[i] > avg + kDarkHotMargin) hot.push_back(static_cast<uint32_t>(i));
    }
    std::unique_ptr<uint32_t[]> list(NewIndexList(hot));
    if (!list) {
        DbgPrint(-1, "AdjustDarkBuff", "memory fail\n");
        return;
    }

    uint8_t* oldRoi = roi.release();
    uint32_t* oldList = list.release();
    {
        CCritSecLock sub(m_csDarkSub);
        CCritSecLock hotLock(m_csHotPixel);
        std::swap(m_pDarkRoi, oldRoi);
        std::swap(m_pDarkHotList, oldList);
        m_iDarkRoiW = W;
        m_iDarkRoiH = H;
        m_iDarkAvg = avg;
        m_iDarkHotCount = static_cast<int>(hot.size());
    }
    delete[] oldRoi;
    delete[] oldList;
    DbgPrint(-1, "AdjustDarkBuff", "Dead pixel:%d\n", static_cast<int>(hot.size()));
}

void CCameraBase::SubtractDark() {
    if (!m_bCutDark) return;
    if (m_bAutoExp && m_lExpTimeUs < kDarkAutoExpMinUs) return;
    CCritSecLock lock(m_csDarkSub);
    if (!m_pDarkRoi || !m_pImgBuf) return;
    m_Alg.SubtractDark(m_pImgBuf, m_iDarkRoiW, m_iDarkRoiH, static_cast<unsigned>(m_iDarkAvg), m_pDarkRoi);
}

void CCameraBase::UsingDark(bool bOn) {
    uint8_t* oldBuf = nullptr;
    uint8_t* oldRoi = nullptr;
    uint32_t* oldList = nullptr;
    {
        CCritSecLock buf(m_csDarkBuf);
        CCritSecLock sub(m_csDarkSub);
        m_bCutDark = bOn;
        if (bOn) return;
        std::swap(m_pDarkBuf, oldBuf);
        std::swap(m_pDarkRoi, oldRoi);
        CCritSecLock hot(m_csHotPixel);
        std::swap(m_pDarkHotList, oldList);
        m_iDarkHotCount = 0;
        m_iDarkRoiW = 0;
        m_iDarkRoiH = 0;
    }
    delete[] oldBuf;
    delete[] oldRoi;
    delete[] oldList;
}

// ---- Dark-frame file -----------------------------------------------------------------------

int CCameraBase::LoadBMPFromFile(const char* szPath) {
    // A path that does not fit is refused whole, never cut to another file's name.
    if (!PathFits(szPath)) {
        DbgPrint(-1, "LoadBMPFromFile", "path too long\n");
        return kBmpBadPath;
    }
    // Non-blocking, so that a FIFO or device cannot hold the call; refused below.
    CFileDescriptor file(open(szPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0) {
        UsingDark(false);
        DbgPrint(-1, "LoadBMPFromFile", "Open file %s failed!\n", szPath);
        return kBmpBadPath;
    }
    struct stat st;
    if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        DbgPrint(-1, "LoadBMPFromFile", "%s is not a regular file\n", szPath);
        return kBmpBadPath;
    }
    printf("bmpheader size=%d\n", kBmpFileHeaderBytes);
    uint8_t header[kBmpFileHeaderBytes];
    if (ReadAt(file.Get(), header, sizeof(header), 0) != sizeof(header)) {
        DbgPrint(-1, "LoadBMPFromFile", "Read bmp header failed!\n");
        return kBmpBadFile;
    }
    if (Le16(header) != kBmpType) {
        DbgPrint(-1, "LoadBMPFromFile", "bmp header err\n");
        return kBmpBadFile;
    }
    printf("bmpinfo size=%d\n", kBmpInfoHeaderBytes);
    uint8_t info[kBmpInfoHeaderBytes];
    if (ReadAt(file.Get(), info, sizeof(info), kBmpFileHeaderBytes) != sizeof(info)) {
        DbgPrint(-1, "LoadBMPFromFile", "Read bmp information failed!\n");
        return kBmpBadFile;
    }
    const int32_t width = static_cast<int32_t>(Le32(info + 4));
    const int32_t height = static_cast<int32_t>(Le32(info + 8));
    const uint16_t bits = Le16(info + 14);
    const uint32_t compression = Le32(info + 16);
    const uint32_t dataOffset = Le32(header + 10);
    const int maxW = m_iMaxWidth, maxH = m_iMaxHeight;
    if (width != maxW) {
        DbgPrint(-1, "LoadBMPFromFile", "bmp width err: iMaxWidth=%d Wbmp=%d\n", maxW, width);
        return kBmpBadSize;
    }
    if (height != maxH) {
        DbgPrint(-1, "LoadBMPFromFile", "bmp height err\n");
        return kBmpBadSize;
    }
    if (bits != 8) {
        DbgPrint(-1, "LoadBMPFromFile", "bmp biBitCount err\n");
        return kBmpBadFile;
    }
    if (compression != 0) {
        DbgPrint(-1, "LoadBMPFromFile", "bmp compression err\n");
        return kBmpBadFile;
    }
    if (maxW <= 0 || maxH <= 0) return kBmpBadFile;
    // The pixels are the sensor's rows in order, one byte each, inside the file.
    const uint64_t dataBytes = static_cast<uint64_t>(maxW) * static_cast<uint64_t>(maxH);
    if (dataOffset < kBmpMinDataOffset ||
        static_cast<uint64_t>(dataOffset) + dataBytes > static_cast<uint64_t>(st.st_size)) {
        DbgPrint(-1, "LoadBMPFromFile", "bmp data offset err\n");
        return kBmpBadFile;
    }
    std::unique_ptr<uint8_t[]> dark(new (std::nothrow) uint8_t[dataBytes]);
    std::unique_ptr<uint8_t[]> roi(new (std::nothrow) uint8_t[dataBytes]());
    if (!dark || !roi) {
        DbgPrint(-1, "LoadBMPFromFile", "memory fail\n");
        return kBmpBadFile;
    }
    if (ReadAt(file.Get(), dark.get(), dataBytes, static_cast<off_t>(dataOffset)) != dataBytes) {
        DbgPrint(-1, "LoadBMPFromFile", "Read bmp data failed!\n");
        return kBmpBadFile;
    }
    uint8_t* oldBuf = dark.release();
    {
        CCritSecLock buf(m_csDarkBuf);
        CCritSecLock sub(m_csDarkSub);
        std::swap(m_pDarkBuf, oldBuf);
        if (!m_pDarkRoi) m_pDarkRoi = roi.release();
    }
    delete[] oldBuf;
    AdjustDarkBuff();
    UsingDark(true);
    {
        CCritSecLock lock(m_csControl);
        snprintf(m_szBMPPath, sizeof(m_szBMPPath), "%s", szPath);
    }
    DbgPrint(-1, "LoadBMPFromFile", "Open file %s --> succeed!\n", szPath);
    return kBmpLoaded;
}

int CCameraBase::CreateBMP(int iWidth, int iHeight, const unsigned char* pData, const char* szPath) {
    if (!pData || !szPath || iWidth <= 0 || iHeight <= 0) return 0;
    const uint64_t rowBytes = ((static_cast<uint64_t>(iWidth) * 8 + 31) & ~static_cast<uint64_t>(31)) / 8;
    const uint64_t imageBytes = rowBytes * static_cast<uint64_t>(iHeight);
    if (imageBytes + kBmpDataOffset > UINT32_MAX) return 0;

    uint8_t head[kBmpDataOffset] = {};
    PutLe16(head + 0, kBmpType);
    PutLe32(head + 2, static_cast<uint32_t>(imageBytes + kBmpDataOffset));
    PutLe32(head + 10, kBmpDataOffset);
    PutLe32(head + 14, kBmpInfoHeaderBytes);
    PutLe32(head + 18, static_cast<uint32_t>(iWidth));
    PutLe32(head + 22, static_cast<uint32_t>(iHeight));
    PutLe16(head + 26, 1);
    PutLe16(head + 28, 8);
    PutLe32(head + 34, static_cast<uint32_t>(imageBytes));
    PutLe32(head + 46, 256);
    for (int i = 0; i < 256; ++i) {
        uint8_t* entry = head + kBmpMinDataOffset + 4 * i;
        entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
    }

    // A new file gets its mode whatever the umask; an existing one keeps its own.
    bool bCreated = true;
    int fd = open(szPath, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, kBmpFileMode);
    if (fd < 0 && errno == EEXIST) {
        bCreated = false;
        fd = open(szPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    CFileDescriptor file(fd);
    if (fd < 0) {
        DbgPrint(-1, "CreateBMP", "Open file %s failed!\n", szPath);
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        DbgPrint(-1, "CreateBMP", "%s is not a regular file\n", szPath);
        return 0;
    }
    // The pixels are the rows in buffer order, unpadded: exactly what the loader reads.
    const size_t dataBytes = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight);
    bool ok = (bCreated ? fchmod(fd, kBmpFileMode) == 0 : true) && ftruncate(fd, 0) == 0 &&
              WriteAll(fd, head, sizeof(head)) && WriteAll(fd, pData, dataBytes);
    if (!file.Close()) ok = false;
    if (!ok) DbgPrint(-1, "CreateBMP", "Write file %s failed!\n", szPath);
    return ok ? 1 : 0;
}

int CCameraBase::SaveBMPToFile(const char* szPath) {
    if (!PathFits(szPath)) {
        DbgPrint(-1, "SaveBMPToFile", "path too long\n");
        return 0;
    }
    int ok = 0;
    {
        CCritSecLock buf(m_csDarkBuf);
        if (!m_pDarkBuf) return 0;
        ok = CreateBMP(m_iMaxWidth, m_iMaxHeight, m_pDarkBuf, szPath);
    }
    if (!ok) return 0;
    {
        CCritSecLock lock(m_csControl);
        snprintf(m_szBMPPath, sizeof(m_szBMPPath), "%s", szPath);
    }
    DbgPrint(-1, "SaveBMPToFile", "Save file %s --> succeed!\n", szPath);
    return 1;
}

// ---- Time stamp --------------------------------------------------------------------------------

void CCameraBase::AddTimeMark(unsigned char* pImage, int iWidth, IMAGE_TYPE imageType) {
    if (!pImage || (imageType != IMAGE_8BIT && imageType != IMAGE_RGB24)) return;
    const int W = iWidth;
    const int H = m_iHeight;
    // Every read and write stays inside the W x H image the caller's buffer holds.
    if (W <= 0 || H <= 0 || W > m_iWidth) return;
    const int bpp = imageType == IMAGE_RGB24 ? 3 : 1;

    const time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) return;
    char date[32], clock[32];
    snprintf(date, sizeof(date), "%4d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    snprintf(clock, sizeof(clock), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);

    auto pixel = [&](int x, int y) { return pImage + (static_cast<size_t>(y) * W + x) * bpp; };
    // Ink that stands out from the background under the stamp.
    uint64_t sum = 0, count = 0;
    for (int y = kStampTop; y < kStampTop + kGlyphH && y < H; ++y) {
        for (int x = std::max(0, W - kStampDateFromRight);
             x < W - kStampDateFromRight + kStampBackgroundCols && x < W; ++x) {
            const uint8_t* p = pixel(x, y);
            sum += bpp == 3 ? (p[0] + p[1] + p[2]) / 3 : p[0];
            ++count;
        }
    }
    const uint64_t mean = count ? sum / count : 0;
    const uint8_t ink = mean <= 129 ? 180 : mean < 180 ? 220 : 120;

    auto draw = [&](const char* szText, int x0) {
        for (int k = 0; k < kStampChars && szText[k]; ++k) {
            const int glyph = szText[k] - '0';
            if (glyph < 0 || glyph > 10) continue;
            for (int r = 0; r < kGlyphH; ++r) {
                const int y = kStampTop + r;
                if (y >= H) break;
                const uint8_t bits = kGlyphFont.rows[glyph][r];
                for (int b = 0; b < kGlyphW; ++b) {
                    const int x = x0 + kGlyphW * k + b;
                    if (!(bits & (1u << b)) || x < 0 || x >= W) continue;
                    memset(pixel(x, y), ink, static_cast<size_t>(bpp));
                }
            }
        }
    };
    draw(date, W - kStampDateFromRight);
    draw(clock, W - kStampTimeFromRight);
}

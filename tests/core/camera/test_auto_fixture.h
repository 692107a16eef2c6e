// Shared pieces of the auto exposure / white balance tests: a recording test
// driver opened and initialised on a simulated camera, synthetic frames of a
// chosen brightness or colour, and feeding them through the frame ring.
#ifndef KYR_TEST_AUTO_FIXTURE_H
#define KYR_TEST_AUTO_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "RecordingDriver.h"
#include "camera/CameraBase.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "ring/CirBuf.h"

namespace auto_test {

using Frame = std::vector<unsigned char>;
using Rec = CRecordingDriver;

constexpr int kW = CTestDriver::kMaxWidth;
constexpr int kH = CTestDriver::kMaxHeight;

// An 8-bit frame of w x h pixels, every pixel v.
inline Frame Uniform8(int w, int h, unsigned char v) { return Frame(static_cast<size_t>(w) * h, v); }

// A 16-bit little-endian frame of w x h pixels, every pixel v.
inline Frame Uniform16(int w, int h, uint16_t v) {
    Frame f(static_cast<size_t>(w) * h * 2);
    for (size_t i = 0; i < f.size(); i += 2) {
        f[i] = static_cast<unsigned char>(v & 0xFF);
        f[i + 1] = static_cast<unsigned char>(v >> 8);
    }
    return f;
}

// A 16-bit RG Bayer frame whose red, green and blue sites hold (k << 8) | 0xFF:
// the colour statistics read exactly k for each channel with no deviation.
// pFirst, when given, is the red level of the top-left 4 x 3 block.
inline Frame Bayer16(int w, int h, int r, int g, int b, const int* pFirstRed = nullptr) {
    Frame f(static_cast<size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int k = (y & 1) == 0 ? ((x & 1) == 0 ? r : g) : ((x & 1) == 0 ? g : b);
            if (pFirstRed && (x & 1) == 0 && (y & 1) == 0 && x < w / 16 && y < h / 16) k = *pFirstRed;
            const size_t i = 2 * (static_cast<size_t>(y) * w + x);
            f[i] = 0xFF;
            f[i + 1] = static_cast<unsigned char>(k);
        }
    return f;
}

// An 8-bit RG Bayer frame of uniform channels.
inline Frame Bayer8(int w, int h, int r, int g, int b) {
    Frame f(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f[static_cast<size_t>(y) * w + x] =
                static_cast<unsigned char>((y & 1) == 0 ? ((x & 1) == 0 ? r : g) : ((x & 1) == 0 ? g : b));
    return f;
}

// The recording driver opened and initialised on a simulated camera, in
// 8-bit 64 x 48 at bin 1, auto exposure parameters for a wide range.
class CAutoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim::reset();
        m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        m_pCam = std::make_unique<CRecordingDriver>();
        ASSERT_TRUE(m_pCam->OpenCamera(1));
        ASSERT_TRUE(m_pCam->InitCamera());
        ASSERT_TRUE(m_pCam->SetResolution(kW, kH, 1, IMAGE_8BIT));
        m_pCam->SeedAutoSamplingForTest(1);
        m_pCam->SetAutoPara(300, 30000, 100);
        m_pCam->m_bAutoWB = true;
        m_pCam->ClearRecorded();
    }

    void TearDown() override {
        if (m_pCam) {
            m_pCam->CloseCamera();
            m_pCam.reset();
        }
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim::reset();
    }

    // Offers a frame to the ring and waits until it is copied in; unread
    // frames are taken out first so that the ring has room.
    void Feed(const Frame& f) {
        CirBuf* ring = m_pCam->m_pCirBuf;
        ASSERT_NE(ring, nullptr);
        Frame sink(static_cast<size_t>(ring->SlotBytes()));
        while (ring->Ready() > 0) ASSERT_TRUE(ring->ReadBuff(sink.data(), 0, 0));
        std::vector<unsigned char> copy(f);
        copy.resize(static_cast<size_t>(ring->SlotBytes()), 0);
        ASSERT_EQ(ring->InsertBuff(copy.data(), static_cast<int>(copy.size()), 0, 0, 0, 0, 0, 0),
                  INSERT_ACCEPTED);
        ASSERT_TRUE(ring->WaitInsertIdle(5000));
    }

    CRecordingDriver& Cam() { return *m_pCam; }

    kyrsim::Device m_Dev;
    std::unique_ptr<CRecordingDriver> m_pCam;
};

}  // namespace auto_test

#endif

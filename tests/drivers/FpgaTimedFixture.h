// What the FPGA-timed family's driver tests share: the request log as they
// read it, and a fixture with the camera's registers as the family uses them
// (shutter line at 0x3240-0x3242, frame and line length in the FPGA, window
// at 0x3120-0x3127).
#ifndef KYR_TEST_FPGA_TIMED_FIXTURE_H
#define KYR_TEST_FPGA_TIMED_FIXTURE_H

#include <stdio.h>

#include <string>
#include <vector>

#include "CaptureCheck.h"
#include "ModelFixture.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "kyrsim.hpp"

// Sensor registers every change writes inside the hold 0x3034: gain, shutter
// line, window start and size.
inline const std::vector<uint16_t>& FamilyHeldRegs() {
    static const std::vector<uint16_t> regs = {0x3510, 0x3514, 0x3515, 0x3240, 0x3241, 0x3242, 0x3120,
                                               0x3121, 0x3122, 0x3123, 0x3124, 0x3125, 0x3126, 0x3127};
    return regs;
}

// One logged request that reached camera `handle`.
struct SLogged {
    int request;  // 0xB6 sensor write, 0xBD FPGA write, 0xBC FPGA read, 0xAF ...
    int reg, value;
    long long startUs, endUs;
    unsigned long long thread;
};

inline std::vector<SLogged> Logged(int handle, int from = 0) {
    std::vector<SLogged> out;
    for (int i = from; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.result < 0) continue;
        out.push_back({r.request, r.value, r.index, r.start_us, r.end_us, r.thread});
    }
    return out;
}

// The first entry from `from` on of request (and reg, value where not -1); -1: none.
inline int IndexOf(const std::vector<SLogged>& log, int request, int reg = -1, int value = -1,
                   size_t from = 0) {
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].request == request && (reg < 0 || log[i].reg == reg) &&
            (value < 0 || log[i].value == value))
            return static_cast<int>(i);
    return -1;
}

// Writes only: sensor ("S3034=01") and FPGA ("F19=48") registers, and other commands ("CAF").
inline std::vector<std::string> Writes(int handle, int from = 0) {
    std::vector<std::string> out;
    char buf[32];
    for (const SLogged& l : Logged(handle, from)) {
        if (l.request == 0xB6)
            snprintf(buf, sizeof(buf), "S%04X=%02X", l.reg, l.value);
        else if (l.request == 0xBD)
            snprintf(buf, sizeof(buf), "F%d=%d", l.reg, l.value);
        else if (l.request == 0xBC || l.request == 0xB7)
            continue;
        else
            snprintf(buf, sizeof(buf), "C%02X", l.request);
        out.push_back(buf);
    }
    return out;
}

class CFpgaTimedTest : public CModelTest {
  protected:
    using CModelTest::CModelTest;

    // A newly plugged and initialised camera of pid in place of the last one.
    CCameraBase* Fresh(int pid, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(pid, usb3);
    }

    // InitCamera, as the exported init calls it, of a newly plugged and
    // opened camera of pid; the requests it sent.
    std::vector<SLogged> InitRequests(int pid) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(pid);
        std::vector<SLogged> mine;
        EXPECT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        if (MadeCameras().empty()) return mine;
        m_pCam = MadeCameras().back();
        kyrsim_log_clear();
        EXPECT_TRUE(Locked([&] { return m_pCam->InitCamera(); }));
        for (const SLogged& r : Logged(m_dev.handle()))
            if (r.thread == kyrsim_thread_id()) mine.push_back(r);
        return mine;
    }

    // The last request of an InitCamera (InitRequests) puts the sensor in standby.
    void ExpectEndsInStandby(const std::vector<SLogged>& init) {
        ASSERT_FALSE(init.empty());
        EXPECT_EQ(init.back().request, 0xB6);
        EXPECT_EQ(init.back().reg, 0x3000);
        EXPECT_EQ(init.back().value, 1);
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
    }

    // In the start-up log `log`, the one VR_CMD_AF comes after entry
    // iAfter (the last start-up row) and the FPGA's unity colour gains,
    // before the offset of 1; its index.
    int ExpectAfAfterFpgaSetUp(const std::vector<SLogged>& log, int iAfter) {
        EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xAF, KYRSIM_DIR_OUT), 1);
        const int af = IndexOf(log, 0xAF);
        const int unityBlue = IndexOf(log, 0xBD, 15, 128);    // SetFPGAGain(128, ...), last colour
        const int offset = IndexOf(log, 0xB6, 0x35C0, 0x0A);  // SetBrightness(1)
        EXPECT_TRUE(iAfter >= 0 && unityBlue >= 0 && offset >= 0);
        EXPECT_GT(af, iAfter);
        EXPECT_GT(af, unityBlue);
        EXPECT_LT(af, offset);
        return af;
    }

    // The camera object is a cooled one exactly when `cooled`, and then its
    // cooler thread runs with the cooler off.
    void ExpectCoolerStarted(bool cooled) {
        CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
        EXPECT_EQ(cool != nullptr, cooled);
        if (!cool) return;
        EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
        EXPECT_FALSE(cool->m_bAutoTempOn);
        EXPECT_EQ(m_dev.coolerDrive(), 255);
    }

    // KYRSetStartPos(x, y) gives the start (wantX, wantY): in the start
    // registers, written in one hold without an FPGA write, and to the caller.
    void ExpectStart(int x, int y, int wantX, int wantY) {
        SCOPED_TRACE(testing::Message() << "start " << x << "," << y);
        const int from = kyrsim_log_count();
        ASSERT_EQ(KYRSetStartPos(0, x, y), KYR_SUCCESS);
        EXPECT_EQ(Window(0x3120), wantX);
        EXPECT_EQ(Window(0x3122), wantY);
        int gotX = -1, gotY = -1;
        ASSERT_EQ(KYRGetStartPos(0, &gotX, &gotY), KYR_SUCCESS);
        EXPECT_EQ(gotX, wantX);
        EXPECT_EQ(gotY, wantY);
        const std::vector<std::string> got = Writes(m_dev.handle(), from);
        ASSERT_EQ(got.size(), 6u);
        EXPECT_EQ(got.front(), "S3034=01");
        EXPECT_EQ(got.back(), "S3034=00");
        for (const std::string& w : got) EXPECT_EQ(w[0], 'S') << w;
    }

    // One image of case c through video or a single exposure, checked
    // against the frame the camera sent (markers repaired from repairRows
    // away) and the sent frame against the scene at the window's start.
    void ExpectContent(const SContentCase& c, int repairRows, int waitMs) {
        ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, c.bin, c.type), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, c.x, c.y), KYR_SUCCESS);
        int sx = -1, sy = -1;
        ASSERT_EQ(KYRGetStartPos(0, &sx, &sy), KYR_SUCCESS);
        const SReadout r = Readout();
        std::vector<unsigned char> img(static_cast<size_t>(c.w) * c.h * ImageBytesPerPixel(c.type), 0xEE);
        ASSERT_TRUE(CaptureImage(c.snap, &img, waitMs));
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), r.iFrameBytes);
        ASSERT_FALSE(sent.empty());
        EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, false, r, repairRows));
        const int x0 = sx * c.bin, y0 = sy * c.bin;
        const int bpp = r.b16 ? 2 : 1;
        for (int y : {1, r.iRows / 2, r.iRows - 2}) {
            for (int x : {3, r.iCols / 3, r.iCols - 5}) {
                const int v = kyrsim_scene_pixel(m_dev.handle(), x0 + x, y0 + y);
                const size_t at = (static_cast<size_t>(y) * r.iCols + x) * bpp;
                const int got = bpp == 1 ? sent[at] << 8 : sent[at] | sent[at + 1] << 8;
                EXPECT_EQ(got, bpp == 1 ? v & 0xFF00 : v & 0xFFF0) << x << "," << y;
            }
        }
    }

    template <class F>
    auto WithEngine(F fn) {
        if (auto* cool = dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam)) return fn(*cool);
        return fn(*dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam));
    }
    SReadout Readout() {
        return WithEngine([](auto& e) { return e.Readout(); });
    }

    long long SHR() const {
        return m_dev.sensor(0x3240) | m_dev.sensor(0x3241) << 8 | m_dev.sensor(0x3242) << 16;
    }
    long long VMAX() const { return m_dev.fpgaWide(16, 3); }
    long long HMAX() const { return m_dev.fpgaWide(19, 2); }
    long long VBLK() const { return m_dev.fpgaWide(6, 2); }
    long long Pacing() const { return m_dev.fpgaWide(36, 2); }
    int Window(int reg) const { return m_dev.sensor(reg) | m_dev.sensor(reg + 1) << 8; }
    uint32_t FrameUs() {
        return Locked([&] { return static_cast<uint32_t>(m_pCam->m_iFrameTimeUs); });
    }

    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
};

#endif

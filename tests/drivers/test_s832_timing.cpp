// Exposure, gain, offset, white balance and bandwidth of the 832 as the
// sensor and the FPGA receive them. Expected register values are worked out
// here from the 832's timing rules: line time = HMAX x 1000 / 20000 kHz,
// VMAX = readout rows + extra lines, shutter line SHR counted from the
// frame's end.
#include <limits.h>

#include <functional>
#include <string>

#include "LogTail.h"
#include "platform/Log.h"
#include "test_s832_fixture.h"

namespace {

constexpr int kClockKHz = 20000;
constexpr int kRows = 2160;
constexpr int kCols = 3840;
constexpr int kExtra = 60;
constexpr int kExtraBin = 30;

// Sensor registers of exposure, gain, offset and line length: written only
// inside the hold.
const std::vector<uint16_t>& TimingRegs() {
    static const std::vector<uint16_t> regs = {0x3030, 0x306C, 0x306D, 0x30DC, 0x30DD,
                                               0x3050, 0x3051, 0x3052, 0x302C, 0x302D};
    return regs;
}

long long SHR(const kyrsim::Device& d) {
    return d.sensor(0x3050) | d.sensor(0x3051) << 8 | d.sensor(0x3052) << 16;
}
long long VMAX(const kyrsim::Device& d) { return d.fpgaWide(16, 3); }
long long HMAX(const kyrsim::Device& d) { return d.fpgaWide(19, 2); }
long long Pacing(const kyrsim::Device& d) { return d.fpgaWide(36, 2); }
double LineUs(const kyrsim::Device& d) { return HMAX(d) * 1000.0 / kClockKHz; }

// The FPGA pacing value of a percentage of the whole output (never below 1).
long long PacingOf(double percent) {
    const float v = 25600.0f / static_cast<float>(percent) - 256.0f;
    return v < 1.0f ? 1 : static_cast<long long>(v);
}

// HMAX without DDR: the line the USB link carries at percent.
long long HMAXNoDDR(int rows, int cols, int bpp, int percent, int minHMAX = 192) {
    const double fps = 400000.0 * 100 * 10 / bpp / rows / cols;
    const double lineUs = 1000000.0 / fps / (rows + kExtra);
    long long h = static_cast<long long>(kClockKHz * lineUs / 1000);
    if (h < minHMAX) h = minHMAX;
    return h * 100 / percent;
}

std::string LogText() { return CLogTail::FileText(); }

// A sensor write request as text: "3001=1".
std::string RequestText(int reg, int value) {
    char text[24];
    snprintf(text, sizeof(text), "%04x=%x", reg, value);
    return text;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class C832TimingTest : public C832Test {
  protected:
    void TearDown() override {
        g_bDebugPrint = false;
        C832Test::TearDown();
    }
    // A newly plugged and initialised 832 in place of the last one.
    CCameraBase* Fresh() {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup();
    }
    KYR_ERROR_CODE Set(KYR_CONTROL_TYPE type, long v, bool bAuto = false) {
        return KYRSetControlValue(0, type, v, bAuto ? KYR_TRUE : KYR_FALSE);
    }
};

// ---- Exposure ------------------------------------------------------------------------------

TEST_F(C832TimingTest, ExposureProgramsFrameLengthAndShutterLine) {
    ASSERT_NE(Setup(), nullptr);
    const double line = LineUs(m_dev);
    ASSERT_EQ(HMAX(m_dev), 192);
    const long long frameUs = m_pCam->m_iFrameTimeUs;
    EXPECT_EQ(frameUs, static_cast<long long>((kRows + kExtra) * line));
    const long long vmaxShort = kRows + kExtra;
    struct SCase {
        unsigned long long value;
        unsigned long long stored;
        bool longMode;
    };
    const SCase cases[] = {
        {10, 32, false},         {20000, 20000, false},    {50000, 50000, false},
        {999999, 999999, false}, {1000000, 1000000, true}, {3000000000ULL, 2000000000ULL, true},
        {999999, 999999, false},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.value);
        // Beyond a long's range (32-bit hosts) only the driver call takes it.
        if (c.value <= static_cast<unsigned long long>(LONG_MAX)) {
            ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(c.value)), KYR_SUCCESS);
        } else {
            ASSERT_TRUE(Locked([&] { return m_pCam->SetExp(c.value, false); }));
        }
        EXPECT_EQ(m_pCam->m_lExpTimeUs, c.stored);
        EXPECT_EQ(m_pCam->m_bLongExpMode, c.longMode);
        EXPECT_EQ((m_dev.fpga(0) >> 6) & 3, c.longMode ? 3 : 0);
        const double programmed = c.longMode ? frameUs + 10000.0 : static_cast<double>(c.stored);
        const long long lines = static_cast<long long>(programmed / line);
        if (programmed <= frameUs) {
            EXPECT_EQ(VMAX(m_dev), vmaxShort);
            const long long shr = lines < vmaxShort - 8 ? std::max(vmaxShort - 8 - lines, 8LL) : 8;
            EXPECT_EQ(SHR(m_dev), std::min(shr, vmaxShort - 8));
        } else {
            EXPECT_EQ(VMAX(m_dev), lines + 8);
            EXPECT_EQ(SHR(m_dev), 8);
        }
        EXPECT_EQ(m_pCam->m_iExpLines, VMAX(m_dev) - 6 - SHR(m_dev));
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
}

TEST_F(C832TimingTest, ExactlyOneFrameIsTheLongestShutter) {
    ASSERT_NE(Setup(), nullptr);
    ASSERT_EQ(Set(KYR_EXPOSURE, static_cast<long>(m_pCam->m_iFrameTimeUs)), KYR_SUCCESS);
    EXPECT_EQ(VMAX(m_dev), kRows + kExtra);
    EXPECT_EQ(SHR(m_dev), 8);
}

TEST_F(C832TimingTest, AnExposureUnderOneLineIsTheShortestShutter) {
    ASSERT_NE(Setup(), nullptr);
    // Without the DDR, 16-bit at 40 %: lines longer than the shortest exposure.
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 40, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(Engine().SetEnableDDR(false));
    ASSERT_EQ(KYRSetROIFormat(0, kCols, kRows, 1, IMG_RAW16), KYR_SUCCESS);
    ASSERT_GT(LineUs(m_dev), 32.0);
    ASSERT_EQ(Set(KYR_EXPOSURE, 32), KYR_SUCCESS);
    EXPECT_EQ(VMAX(m_dev), kRows + kExtra);
    EXPECT_EQ(SHR(m_dev), kRows + kExtra - 8);
}

TEST_F(C832TimingTest, SensorBinningDoublesTheFrameAndLongFramesAdd1108) {
    ASSERT_NE(Setup(), nullptr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(HMAX(m_dev), 83);
    ASSERT_EQ(Set(KYR_EXPOSURE, 32), KYR_SUCCESS);
    EXPECT_EQ(VMAX(m_dev), (1080 + 80) * 2);
    EXPECT_EQ(VMAX(m_dev), (1080 + kExtraBin + 50) * 2);
    ASSERT_EQ(Set(KYR_EXPOSURE, 50000), KYR_SUCCESS);
    EXPECT_EQ(VMAX(m_dev), static_cast<long long>(50000 / LineUs(m_dev)) + 1108);
    EXPECT_EQ(SHR(m_dev), 8);
}

TEST_F(C832TimingTest, LongExposureModeIsEnteredOnceAndLeft) {
    ASSERT_NE(Setup(), nullptr);
    g_bDebugPrint = true;
    ASSERT_EQ(Set(KYR_EXPOSURE, 1000000), KYR_SUCCESS);
    ASSERT_TRUE(Locked([&] { return m_pCam->SetExp(1500000, false); }));
    EXPECT_EQ((m_dev.fpga(0) >> 6) & 3, 3);
    ASSERT_EQ(Set(KYR_EXPOSURE, 999999), KYR_SUCCESS);
    EXPECT_EQ((m_dev.fpga(0) >> 6) & 3, 0);
    g_bDebugPrint = false;
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "Enter long exp mode"), 1) << log.size();
    EXPECT_EQ(Count(log, "Exit long exp mode"), 1);
}

TEST(ExposureRule832, CapsFrameLengthAndShutterLine) {
    const SExposureRule& rule = g_DescS832MC.exposure;
    // An exposure of many frames at a long line: the frame length is capped.
    SExposureInput longer = {1e12, 1.0, kRows, kExtra, false, 1000};
    EXPECT_EQ(rule.fnCompute(rule, longer).uVMAX, 0xFFFFFFu);
    EXPECT_EQ(rule.fnCompute(rule, longer).uSHR, 8u);
    // A readout taller than the shutter register: the shutter line is capped.
    SExposureInput tall = {1.0, 1.0, 0x30000, kExtra, false, 1000000000};
    EXPECT_EQ(rule.fnCompute(rule, tall).uSHR, 0x1FFFEu);
    EXPECT_EQ(rule.fnCompute(rule, tall).uVMAX, 0x30000u + kExtra);
    SExposureInput huge = {1.0, 1.0, 0x1000000, kExtra, false, 1000000000};
    EXPECT_EQ(rule.fnCompute(rule, huge).uVMAX, 0xFFFFFFu);
}

// ---- Gain, offset, white balance -------------------------------------------------------------

TEST_F(C832TimingTest, GainMapsToCodeAndConversionGain) {
    ASSERT_NE(Setup(), nullptr);
    struct SCase {
        int gain, stored, code, hcg;
    };
    const SCase cases[] = {{251, 251, 83, 0}, {252, 252, 34, 1}, {700, 600, 150, 1}, {-1, 0, 0, 0}};
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.gain);
        // Directly: the control would clamp the value before the map.
        ASSERT_TRUE(Locked([&] { return m_pCam->SetGain(c.gain, false); }));
        EXPECT_EQ(m_pCam->m_iGain, c.stored);
        EXPECT_EQ(m_dev.sensor(0x306C), c.code);
        EXPECT_EQ(m_dev.sensor(0x306D), 0);
        EXPECT_EQ(m_dev.sensor(0x3030), c.hcg);
        ASSERT_EQ(Set(KYR_GAIN, c.gain), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x306C), c.code);
    }
}

TEST_F(C832TimingTest, OffsetIsClampedTo0To200) {
    ASSERT_NE(Setup(), nullptr);
    const int cases[][2] = {{-5, 0}, {100, 100}, {300, 200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        ASSERT_TRUE(Locked([&] { return m_pCam->SetBrightness(c[0]); }));
        EXPECT_EQ(m_pCam->m_iBrightness, c[1]);
        EXPECT_EQ(m_dev.sensor(0x30DC) | m_dev.sensor(0x30DD) << 8, c[1]);
    }
}

TEST_F(C832TimingTest, WhiteBalanceSetsTheFPGAColourGains) {
    ASSERT_NE(Setup(), nullptr);
    ASSERT_TRUE(Locked([&] { return m_pCam->SetRGBBalance(0, 100, false); }));
    EXPECT_EQ(m_pCam->m_iWBRed, 1);
    EXPECT_EQ(m_pCam->m_iWBBlue, 99);
    EXPECT_EQ(m_dev.fpga(12), 2);
    EXPECT_EQ(m_dev.fpga(15), 253);
    ASSERT_TRUE(Locked([&] { return m_pCam->SetRGBBalance(50, 50, false); }));
    EXPECT_EQ(m_dev.fpga(12), 128);
    EXPECT_EQ(m_dev.fpga(13), 128);
    EXPECT_EQ(m_dev.fpga(14), 128);
    EXPECT_EQ(m_dev.fpga(15), 128);
}

// The 832 told it has a mono sensor.
const SDriverDesc& MonoDesc() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS832MC;
        d.szClassName = "CMonoCamera";
        d.model.bColor = false;
        return d;
    }();
    return desc;
}
class CMonoCamera : public CEngineDriver<CCameraBase> {
  public:
    CMonoCamera() : CEngineDriver(MonoDesc()) {}
};

TEST_F(C832TimingTest, AMonoCameraWritesNoWhiteBalance) {
    SetCameraConstructorForTest(kPid832, MakeRecordedCamera<CMonoCamera>);
    ASSERT_NE(Setup(), nullptr);
    const int before = kyrsim_log_count();
    EXPECT_TRUE(Locked([&] { return m_pCam->SetRGBBalance(10, 90, false); }));
    EXPECT_EQ(kyrsim_log_count(), before);
}

// ---- Bandwidth -----------------------------------------------------------------------------

TEST_F(C832TimingTest, BandwidthPercentagesAreClamped) {
    ASSERT_NE(Setup(), nullptr);
    const int cases[][2] = {{30, 40}, {150, 100}, {80, 80}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        ASSERT_TRUE(Locked([&] { return m_pCam->SetFPSPerc(c[0], false); }));
        EXPECT_EQ(m_pCam->m_iFPSPerc, c[1]);
        EXPECT_FALSE(m_pCam->m_bAutoFPS);
        EXPECT_EQ(Pacing(m_dev), PacingOf(c[1]));
    }
}

TEST_F(C832TimingTest, USB2AutomaticBandwidthUses80Percent) {
    ASSERT_NE(Setup(kPid832, false), nullptr);
    EXPECT_TRUE(m_pCam->m_bAutoFPS);
    EXPECT_EQ(m_pCam->m_iFPSPerc, 80);
    // The USB2 host carries 43272 / 400000 of the FPGA's output.
    EXPECT_EQ(Pacing(m_dev), PacingOf(43272.0 * 80 / 400000));
    EXPECT_EQ(HMAX(m_dev), 192);
    const double rate = 43272.0 * 80 * 10 / 1000 / 1000;
    EXPECT_EQ(m_pCam->m_iXferTimeUs, static_cast<uint32_t>(kRows * kCols / rate));
}

// The 832 clocked under the bandwidth setting's floor.
const SDriverDesc& SlowClockDesc() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS832MC;
        d.szClassName = "CSlowClockCamera";
        d.model.iFclk = 10000;
        d.iFixedClockKHz = 10000;
        return d;
    }();
    return desc;
}
class CSlowClockCamera : public CEngineDriver<CCameraBase> {
  public:
    CSlowClockCamera() : CEngineDriver(SlowClockDesc()) {}
};

TEST_F(C832TimingTest, AClockUnder20MHzRefusesBandwidthAndWritesNothing) {
    SetCameraConstructorForTest(kPid832, MakeRecordedCamera<CSlowClockCamera>);
    ASSERT_NE(Setup(), nullptr);
    const int before = kyrsim_log_count();
    EXPECT_FALSE(Locked([&] { return m_pCam->SetFPSPerc(60, false); }));
    EXPECT_EQ(kyrsim_log_count(), before);
}

TEST_F(C832TimingTest, DDRAt80PercentOnUSB3) {
    ASSERT_NE(Setup(), nullptr);
    ASSERT_EQ(Set(KYR_BANDWIDTH, 80), KYR_SUCCESS);
    EXPECT_EQ(HMAX(m_dev), 192);
    EXPECT_EQ(m_dev.sensor(0x302C), 0x64);
    EXPECT_EQ(m_dev.sensor(0x302D), 0x01);
    EXPECT_EQ(m_dev.sensor(0x302C) | m_dev.sensor(0x302D) << 8, static_cast<int>(192 * 1.85625));
    EXPECT_EQ(Pacing(m_dev), 64);
    EXPECT_EQ(m_dev.fpgaWide(64, 4), 2073600);
    EXPECT_EQ(m_pCam->m_usHMAX, 192);
}

TEST_F(C832TimingTest, Without16BitDDRTheLargeFrameIsCappedAt90Percent) {
    ASSERT_NE(Setup(), nullptr);
    ASSERT_TRUE(Engine().SetEnableDDR(false));
    struct SCase {
        int width, height, percentUsed;
    };
    const SCase cases[] = {{kCols, kRows, 90}, {1920, 1080, 95}};
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.width);
        ASSERT_EQ(KYRSetROIFormat(0, c.width, c.height, 1, IMG_RAW16), KYR_SUCCESS);
        ASSERT_EQ(Set(KYR_BANDWIDTH, 95), KYR_SUCCESS);
        const long long hmax = HMAXNoDDR(c.height, c.width, 2, c.percentUsed);
        EXPECT_EQ(HMAX(m_dev), hmax);
        EXPECT_EQ(m_dev.sensor(0x302C) | m_dev.sensor(0x302D) << 8, static_cast<int>(hmax * 1.85625));
        EXPECT_EQ(Pacing(m_dev), PacingOf(100));
        EXPECT_EQ(m_pCam->m_iXferTimeUs, 0u);
    }
}

// The 832 without a sensor line-length register and without output pacing.
const SDriverDesc& NoSensorHMAXDesc() {
    static const SDriverDesc desc = [] {
        SDriverDesc d = g_DescS832MC;
        d.szClassName = "CNoSensorHMAXCamera";
        d.bandwidth.dSensorHMAXFactor = 0.0;
        d.bandwidth.bFPGABandWidth = false;
        return d;
    }();
    return desc;
}
class CNoSensorHMAXCamera : public CEngineDriver<CCameraBase> {
  public:
    CNoSensorHMAXCamera() : CEngineDriver(NoSensorHMAXDesc()) {}
};

TEST_F(C832TimingTest, SensorLineLengthAndOutputPacingAreOptional) {
    SetCameraConstructorForTest(kPid832, MakeRecordedCamera<CNoSensorHMAXCamera>);
    ASSERT_NE(Setup(), nullptr);
    EXPECT_EQ(m_dev.sensorWrites(0x302C), 0);
    EXPECT_EQ(m_dev.sensorWrites(0x302D), 0);
    EXPECT_EQ(kyrsim::requests(0xBD, m_dev.handle()).size() > 0, true);
    const int pacing = static_cast<int>(Pacing(m_dev));
    ASSERT_EQ(Set(KYR_BANDWIDTH, 50), KYR_SUCCESS);
    EXPECT_EQ(Pacing(m_dev), pacing);
    EXPECT_EQ(HMAX(m_dev), 192);
    EXPECT_EQ(m_dev.sensorWrites(0x302C), 0);
}

// ---- Failures and the hold -------------------------------------------------------------------

struct SSetter {
    const char* name;
    std::function<bool(CCameraBase*)> fn;
    int request;            // the request a failed write uses
    int firstNth, lastNth;  // which of its writes fail: never the hold's own
};
const SSetter kSetters[] = {
    {"exposure", [](CCameraBase* c) { return c->SetExp(20000, false); }, 0xB6, 2, 4},
    {"long exposure", [](CCameraBase* c) { return c->SetExp(2000000, false); }, 0xB6, 2, 4},
    {"gain", [](CCameraBase* c) { return c->SetGain(300, false); }, 0xB6, 2, 4},
    {"offset", [](CCameraBase* c) { return c->SetBrightness(50); }, 0xB6, 2, 3},
    {"white balance", [](CCameraBase* c) { return c->SetRGBBalance(40, 60, false); }, 0xBD, 1, 1},
    {"bandwidth", [](CCameraBase* c) { return c->SetFPSPerc(70, false); }, 0xB6, 2, 3},
};

TEST_F(C832TimingTest, AFailedWriteFailsTheSetterAndTheHoldIsReleased) {
    for (const SSetter& s : kSetters) {
        for (int nth = s.firstNth; nth <= s.lastNth; ++nth) {
            SCOPED_TRACE(std::string(s.name) + " write " + std::to_string(nth));
            ASSERT_NE(Fresh(), nullptr);
            const int from = kyrsim_log_count();
            kyrsim::Fault().device(m_dev).request(s.request).out().nth(nth).error(LIBUSB_ERROR_IO).add();
            EXPECT_FALSE(Locked([&] { return s.fn(m_pCam); }));
            EXPECT_EQ(m_dev.sensor(0x3001), 0);
            EXPECT_TRUE(CheckHolds(m_dev.handle(), TimingRegs(), 0x3001, from).Clean());
        }
    }
}

TEST_F(C832TimingTest, AFailedWriteFailsTheControl) {
    struct SCase {
        KYR_CONTROL_TYPE type;
        long value;
        int request;
    };
    const SCase cases[] = {{KYR_GAIN, 300, 0xB6},
                           {KYR_OFFSET, 20, 0xB6},
                           {KYR_EXPOSURE, 30000, 0xB6},
                           {KYR_BANDWIDTH, 60, 0xB6},
                           {KYR_WB_R, 30, 0xBD}};
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_NE(Fresh(), nullptr);
        // The first write inside the hold: the last write still succeeds.
        kyrsim::Fault()
            .device(m_dev)
            .request(c.request)
            .out()
            .nth(c.request == 0xB6 ? 2 : 1)
            .error(LIBUSB_ERROR_IO)
            .add();
        EXPECT_NE(Set(c.type, c.value), KYR_SUCCESS);
        EXPECT_EQ(m_dev.sensor(0x3001), 0);
    }
}

// The hold cannot be set: the gain plan stops before its first register, so
// nothing is written unheld; the control fails, and the next set works.
TEST_F(C832TimingTest, AFailedHoldWriteWritesNoGainRegister) {
    ASSERT_NE(Setup(), nullptr);
    const int gainCode = m_dev.sensor(0x306C);
    const int from = kyrsim_log_count();
    kyrsim::Fault().device(m_dev).request(0xB6).out().value(0x3001).index(1).error(LIBUSB_ERROR_IO).add();
    EXPECT_EQ(Set(KYR_GAIN, 300), KYR_ERROR_GENERAL_ERROR);
    // The failed hold write is the only sensor request the set made.
    std::vector<std::string> sensorRequests;
    for (int i = from; i < kyrsim_log_count(); ++i) {
        kyrsim_request r;
        ASSERT_EQ(kyrsim_log_get(i, &r), 0);
        if (r.device == m_dev.handle() && r.request == 0xB6)
            sensorRequests.push_back(RequestText(r.value, r.index));
    }
    EXPECT_EQ(sensorRequests, (std::vector<std::string>{RequestText(0x3001, 1)}));
    EXPECT_EQ(m_dev.sensor(0x306C), gainCode);
    EXPECT_EQ(m_dev.sensor(0x3001), 0);

    const int next = kyrsim_log_count();
    ASSERT_EQ(Set(KYR_GAIN, 300), KYR_SUCCESS);
    EXPECT_NE(m_dev.sensor(0x306C), gainCode);
    EXPECT_TRUE(CheckHolds(m_dev.handle(), TimingRegs(), 0x3001, next).Clean());
}

TEST_F(C832TimingTest, EverySetterWritesInsideOneHold) {
    ASSERT_NE(Setup(), nullptr);
    const int from = 0;
    for (const SSetter& s : kSetters) EXPECT_TRUE(Locked([&] { return s.fn(m_pCam); })) << s.name;
    ASSERT_EQ(KYRSetROIFormat(0, 1920, 1080, 2, IMG_RAW16), KYR_SUCCESS);
    const SHoldReport report = CheckHolds(m_dev.handle(), TimingRegs(), 0x3001, from);
    EXPECT_TRUE(report.Clean()) << report.Text();
    EXPECT_GT(report.iHolds, 6);
}

// ---- Two cameras ----------------------------------------------------------------------------

TEST_F(C832TimingTest, TwoCamerasKeepTheirOwnTiming) {
    kyrsim::Device usb2 = Plug(kPid832, false, "1");
    kyrsim::Device usb3 = Plug(kPid832, true, "2");
    // Order of IDs follows the bus; find which is which by the host answer.
    CCameraBase* a = OpenInit(0);
    CCameraBase* b = OpenInit(1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    CCameraBase* cam3 = a->m_bUSB3Host ? a : b;
    CCameraBase* cam2 = a->m_bUSB3Host ? b : a;
    const int id3 = a->m_bUSB3Host ? 0 : 1;
    ASSERT_EQ(KYRSetControlValue(id3, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(id3, 1920, 1080, 2, IMG_RAW8), KYR_SUCCESS);
    // Within one frame of either: the frame length is the readout's.
    ASSERT_EQ(KYRSetControlValue(id3, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(1 - id3, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);

    EXPECT_EQ(cam3->m_usHMAX, 83);
    EXPECT_EQ(HMAX(usb3), 83);
    EXPECT_EQ(VMAX(usb3), (1080 + 80) * 2);
    EXPECT_EQ(cam3->m_iFrameTimeUs, static_cast<uint32_t>((1080 + kExtraBin) * 83 * 1000.0 / kClockKHz));
    EXPECT_EQ(cam2->m_usHMAX, 192);
    EXPECT_EQ(HMAX(usb2), 192);
    EXPECT_EQ(VMAX(usb2), kRows + kExtra);
    EXPECT_EQ(cam2->m_iFrameTimeUs, static_cast<uint32_t>((kRows + kExtra) * 192 * 1000.0 / kClockKHz));
    // The simulator paces each from its own registers.
    EXPECT_NEAR(static_cast<double>(usb3.framePeriod().count()), VMAX(usb3) * 83 * 1000.0 / kClockKHz, 1.0);
    EXPECT_NE(usb3.framePeriod(), usb2.framePeriod());
}

}  // namespace

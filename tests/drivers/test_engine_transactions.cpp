// Register changes of the driver engine as transactions, through the
// exported functions on simulated cameras with one request failed once: a
// geometry, mode or initialisation whose plan did not run whole reports
// failure, leaves the camera's stored state and its registers the old ones,
// and the next operation works; the same call once the fault is gone
// succeeds and leaves the new state whole.
#include <libusb.h>

#include <utility>
#include <vector>

#include "ModelFixture.h"
#include "TestSpeed.h"
#include "modetable1/CCameraS801MC.h"
#include "modetable1/CCameraS802MC.h"
#include "modetable1/CCameraS807MM.h"
#include "modetable1/CCameraS809MC.h"
#include "modetable1/CCameraS815MC.h"
#include "modetable1/CCameraS821MM.h"
#include "modetable1/CCameraS825MC.h"
#include "modetable1/CCameraS832MC.h"
#include "modetable1/CCameraS832MC_Pro.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

constexpr int kPid801 = 0x801b;
constexpr int kPid802 = 0x802a;
constexpr int kPid807 = 0x811a;
constexpr int kPid809 = 0x809b;
constexpr int kPid815 = 0x815b;
constexpr int kPid821 = 0x821a;
constexpr int kPid825 = 0x825b;
constexpr int kPid832 = 0x832b;
constexpr int kPid832Pro = 0x832f;

// Vendor requests: a sensor register write (wValue register, wIndex value
// byte) and an FPGA register write (wValue register, wIndex value).
constexpr int kSensorWrite = 0xB6;
constexpr int kFpgaWrite = 0xBD;
// FPGA registers: control word, window width, window height.
constexpr int kFpgaCtrl = 0;
constexpr int kFpgaWidth = 4;
constexpr int kFpgaHeight = 8;
constexpr int kFpgaDataFmt = 10;
constexpr int kFpgaGainR = 12;

// The one request failed: its code, wValue and wIndex (KYRSIM_ANY: any).
struct SFailedRequest {
    int request, value, index;
};

// What a caller and the camera's registers say of the camera's state.
struct SCameraState {
    int w = 0, h = 0, bin = 0;
    IMG_TYPE type = IMG_END;
    int x = 0, y = 0;
    long highSpeed = 0, hardwareBin = 0;
    std::vector<std::pair<int, int>> sensor;
    std::vector<int> fpga;
    bool operator==(const SCameraState& o) const {
        return w == o.w && h == o.h && bin == o.bin && type == o.type && x == o.x && y == o.y &&
               highSpeed == o.highSpeed && hardwareBin == o.hardwareBin && sensor == o.sensor &&
               fpga == o.fpga;
    }
};

std::ostream& operator<<(std::ostream& os, const SCameraState& s) {
    os << s.w << "x" << s.h << " bin " << s.bin << " type " << s.type << " at " << s.x << "," << s.y
       << " hs " << s.highSpeed << " hw " << s.hardwareBin << " fpga";
    for (int v : s.fpga) os << " " << v;
    os << " sensor" << std::hex;
    for (const auto& r : s.sensor) os << " " << r.first << "=" << r.second;
    return os << std::dec;
}

class CTransactionTest : public CModelTest {
  protected:
    CTransactionTest()
        : CModelTest({ModelClass<CCameraS801MC>(kPid801), ModelClass<CCameraS802MC>(kPid802),
                      ModelClass<CCameraS807MM>(kPid807), ModelClass<CCameraS809MC>(kPid809),
                      ModelClass<CCameraS815MC>(kPid815), ModelClass<CCameraS821MM>(kPid821),
                      ModelClass<CCameraS825MC>(kPid825), ModelClass<CCameraS832MC>(kPid832),
                      ModelClass<CCameraS832MC_Pro>(kPid832Pro)}) {}

    // A fresh camera of pid at a small format with a short exposure.
    void Open(int pid) {
        ASSERT_NE(Fresh(pid), nullptr);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    }

    // The start in force set again. The start-register family writes its
    // window end from the start and from the size by two rules, so the end
    // register follows whichever came last; a state compared after a call
    // that ends with the start is taken after this.
    void SetStartAgain() {
        int x = 0, y = 0;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        ASSERT_EQ(KYRSetStartPos(0, x, y), KYR_SUCCESS);
    }

    // Fails the next request of this camera that matches r; the rule.
    int FailOnce(const SFailedRequest& r) {
        kyrsim_fault f;
        kyrsim_fault_init(&f, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO);
        f.device = m_dev.handle();
        f.request = r.request;
        f.value = r.value;
        f.index = r.index;
        return kyrsim_add_fault(&f);
    }

    SCameraState State() {
        SCameraState s;
        EXPECT_EQ(KYRGetROIFormat(0, &s.w, &s.h, &s.bin, &s.type), KYR_SUCCESS);
        EXPECT_EQ(KYRGetStartPos(0, &s.x, &s.y), KYR_SUCCESS);
        KYR_BOOL bAuto;
        KYRGetControlValue(0, KYR_HIGH_SPEED_MODE, &s.highSpeed, &bAuto);
        KYRGetControlValue(0, KYR_HARDWARE_BIN, &s.hardwareBin, &bAuto);
        s.sensor = m_dev.sensorRegs();
        // Control word, window start and size, data format, frame and line length.
        for (int reg : {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 20}) s.fpga.push_back(m_dev.fpga(reg));
        return s;
    }

    const SSensorMode* Mode() {
        return WithEngine([](auto& e) { return e.Mode(); });
    }
    const SDriverDesc& Desc() {
        return *WithEngine([](auto& e) { return &e.Desc(); });
    }

    // One video frame of the format in force.
    bool CaptureAtFormat() {
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_RAW8;
        if (KYRGetROIFormat(0, &w, &h, &bin, &type) != KYR_SUCCESS) return false;
        const int bpp = type == IMG_RGB24 ? 3 : type == IMG_RAW16 ? 2 : 1;
        std::vector<unsigned char> img(static_cast<size_t>(w) * h * bpp);
        return CaptureImage(false, &img, kWaitMs);
    }

    void ExpectSensor(const std::vector<std::pair<int, int>>& regs) {
        for (const auto& r : regs) EXPECT_EQ(m_dev.sensor(r.first), r.second) << std::hex << r.first;
    }
};

// ---- Geometry ----------------------------------------------------------------------------

struct SGeometryCase {
    const char* what;
    int pid;
    bool bStart;  // KYRSetStartPos(x, y), else KYRSetROIFormat(w, h, bin, type)
    int w, h, bin;
    IMG_TYPE type;
    int x, y;
    SFailedRequest fail;
};

const SGeometryCase kGeometry[] = {
    {"832 FPGA width", kPid832, false, 640, 480, 1, IMG_RAW8, 0, 0, {kFpgaWrite, kFpgaWidth, 0x80}},
    {"832 FPGA width with a mode change", kPid832, false, 640, 480, 1, IMG_RAW16, 0, 0,
     {kFpgaWrite, kFpgaWidth, 0x80}},
    {"832 sensor window height", kPid832, false, 640, 480, 1, IMG_RAW8, 0, 0,
     {kSensorWrite, 0x3046, KYRSIM_ANY}},
    {"832 start row", kPid832, true, 0, 0, 0, IMG_RAW8, 64, 48, {kSensorWrite, 0x3044, KYRSIM_ANY}},
    {"815 FPGA height", kPid815, false, 640, 480, 1, IMG_RAW8, 0, 0, {kFpgaWrite, kFpgaHeight, 0xE0}},
    {"815 start row", kPid815, true, 0, 0, 0, IMG_RAW8, 64, 48, {kSensorWrite, 0x3074, KYRSIM_ANY}},
    {"825 start row", kPid825, true, 0, 0, 0, IMG_RAW8, 64, 48, {kSensorWrite, 0x3074, KYRSIM_ANY}},
    {"802 raw FPGA width", kPid802, false, 640, 480, 1, IMG_RAW8, 0, 0, {kFpgaWrite, kFpgaWidth, 0x80}},
    {"802 raw FPGA start", kPid802, true, 0, 0, 0, IMG_RAW8, 64, 48, {kFpgaWrite, 2, KYRSIM_ANY}},
    {"807 crop FPGA width", kPid807, false, 640, 480, 1, IMG_RAW8, 0, 0, {kFpgaWrite, kFpgaWidth, 0x80}},
    {"807 crop start", kPid807, true, 0, 0, 0, IMG_RAW8, 96, 48, {kSensorWrite, 0x3036, KYRSIM_ANY}},
    {"821 FPGA-timed width", kPid821, false, 640, 480, 1, IMG_RAW8, 0, 0, {kFpgaWrite, kFpgaWidth, 0x80}},
    {"821 FPGA-timed start row", kPid821, true, 0, 0, 0, IMG_RAW8, 64, 48,
     {kSensorWrite, 0x3122, KYRSIM_ANY}},
};

// A geometry change with one write failed reports failure, keeps the old
// geometry stored and programmed (frames of it arrive), and succeeds whole
// when tried again.
TEST_F(CTransactionTest, AFailedGeometryWriteKeepsTheOldGeometry) {
    for (const SGeometryCase& c : kGeometry) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid));
        ASSERT_TRUE(CaptureAtFormat());
        if (c.bStart) {
            ASSERT_NO_FATAL_FAILURE(SetStartAgain());
        }
        const SCameraState before = State();
        auto apply = [&c] {
            return c.bStart ? KYRSetStartPos(0, c.x, c.y) : KYRSetROIFormat(0, c.w, c.h, c.bin, c.type);
        };
        const int rule = FailOnce(c.fail);
        ASSERT_GE(rule, 0);
        // The exported layer reports a geometry the driver did not take as a
        // refused size or start.
        EXPECT_EQ(apply(), c.bStart ? KYR_ERROR_OUTOF_BOUNDARY : KYR_ERROR_INVALID_SIZE);
        EXPECT_EQ(kyrsim_fault_hits(rule), 1);
        EXPECT_EQ(State(), before);
        EXPECT_TRUE(CaptureAtFormat());

        ASSERT_EQ(apply(), KYR_SUCCESS);
        const SCameraState after = State();
        if (c.bStart) {
            EXPECT_TRUE(after.x != before.x || after.y != before.y);
        } else {
            EXPECT_EQ(after.w, c.w);
            EXPECT_EQ(after.h, c.h);
            EXPECT_EQ(after.type, c.type);
            const SReadout r = Readout();
            EXPECT_EQ(m_dev.fpgaWide(kFpgaWidth, 2), r.iCols);
            EXPECT_EQ(m_dev.fpgaWide(kFpgaHeight, 2), r.iRows);
        }
        EXPECT_TRUE(CaptureAtFormat());
    }
}

// ---- Sensor modes ------------------------------------------------------------------------

struct SHighSpeedCase {
    const char* what;
    int pid;
    SFailedRequest fail;
    std::vector<std::pair<int, int>> oldRegs, newRegs;
};

// The start-register family takes high speed from the stored flag.
const SHighSpeedCase kHighSpeed[] = {
    {"801", kPid801, {kSensorWrite, 0x319D, 0}, {{0x319D, 1}, {0x3050, 1}}, {{0x319D, 0}, {0x3050, 0}}},
    {"825", kPid825, {kSensorWrite, 0x319D, 0}, {{0x319D, 1}, {0x3050, 1}}, {{0x319D, 0}, {0x3050, 0}}},
    {"815", kPid815, {kSensorWrite, 0x3018, 4}, {{0x3018, 4}}, {{0x3018, 4}}},
};

// A high-speed switch whose mode write failed reports failure; sensor, FPGA
// (12-bit data) and flag stay in the normal mode, and frames arrive.
TEST_F(CTransactionTest, AFailedHighSpeedSwitchKeepsTheNormalMode) {
    for (const SHighSpeedCase& c : kHighSpeed) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid));
        ASSERT_EQ(Mode(), Desc().pModeNormal);
        // The switch programs the geometry again, the start last.
        ASSERT_NO_FATAL_FAILURE(SetStartAgain());
        const SCameraState before = State();
        const int rule = FailOnce(c.fail);
        EXPECT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(kyrsim_fault_hits(rule), 1);
        EXPECT_EQ(State(), before);
        EXPECT_EQ(Mode(), Desc().pModeNormal);
        ExpectSensor(c.oldRegs);
        EXPECT_EQ(m_dev.fpga(kFpgaDataFmt) & 0x01, 1);  // 12-bit ADC
        EXPECT_TRUE(CaptureAtFormat());

        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(State().highSpeed, 1);
        EXPECT_EQ(Mode(), Desc().pModeHighSpeed);
        ExpectSensor(c.newRegs);
        EXPECT_EQ(m_dev.fpga(kFpgaDataFmt) & 0x01, 0);  // 10-bit ADC
        EXPECT_TRUE(CaptureAtFormat());
    }
}

struct SModeFallbackCase {
    const char* what;
    int pid;
    bool bHighSpeed;
    SFailedRequest fail;
    std::vector<std::pair<int, int>> oldRegs;
};

// A bin change into the sensor-binning mode whose write failed, on a model of
// each mode rule: the 832 takes high speed from the argument, the 815 and
// 801 from the stored flag. The mode in force before is programmed again.
const SModeFallbackCase kModeFallback[] = {
    {"832 from high speed", kPid832, true, {kSensorWrite, 0x301B, 1},
     {{0x301B, 0}, {0x3022, 0}, {0x4231, 8}}},
    {"815 from normal", kPid815, false, {kSensorWrite, 0x31DD, 4},
     {{0x3018, 4}, {0x3199, 0}, {0x31DD, 3}, {0x3300, 0}}},
    {"801 from high speed", kPid801, true, {kSensorWrite, 0x319D, 1}, {{0x319D, 0}, {0x3050, 0}}},
};

TEST_F(CTransactionTest, AFailedModeChangePutsTheModeInForceBack) {
    for (const SModeFallbackCase& c : kModeFallback) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Open(c.pid));
        ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, c.bHighSpeed ? 1 : 0, KYR_FALSE), KYR_SUCCESS);
        const SSensorMode* oldMode = Mode();
        ASSERT_EQ(oldMode, c.bHighSpeed ? Desc().pModeHighSpeed : Desc().pModeNormal);
        const SCameraState before = State();
        const int rule = FailOnce(c.fail);
        EXPECT_EQ(KYRSetROIFormat(0, 160, 120, 2, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
        EXPECT_EQ(kyrsim_fault_hits(rule), 1);
        EXPECT_EQ(State(), before);
        EXPECT_EQ(Mode(), oldMode);
        ExpectSensor(c.oldRegs);
        EXPECT_EQ(m_dev.fpga(kFpgaDataFmt) & 0x01, oldMode->eAdc == ADC_12BIT ? 1 : 0);
        EXPECT_TRUE(CaptureAtFormat());

        ASSERT_EQ(KYRSetROIFormat(0, 160, 120, 2, IMG_RAW8), KYR_SUCCESS);
        EXPECT_EQ(Mode(), Desc().sensorBin[2].pMode);
        EXPECT_TRUE(CaptureAtFormat());
    }
}

// ---- Frame output ------------------------------------------------------------------------

// A stop of the FPGA's output that failed leaves the output running, and the
// engine knows it: a new start row is still taken between frames (the output
// paused around it).
TEST_F(CTransactionTest, AFailedOutputStopLeavesTheOutputRecordedAsRunning) {
    ASSERT_NO_FATAL_FAILURE(Open(kPid809));
    std::vector<unsigned char> img(320 * 240);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), kWaitMs), KYR_SUCCESS);
    const int rule = FailOnce({kFpgaWrite, kFpgaCtrl, KYRSIM_ANY});
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(kyrsim_fault_hits(rule), 1);
    EXPECT_EQ(m_dev.fpga(kFpgaCtrl) & 0x10, 0);  // the stop bit never reached the FPGA
    kyrsim_log_clear();
    ASSERT_EQ(KYRSetStartPos(0, 16, 16), KYR_SUCCESS);
    std::vector<int> ctrl;
    for (int i = 0; i < kyrsim_log_count(); ++i) {
        kyrsim_request q;
        if (kyrsim_log_get(i, &q) == 0 && q.request == kFpgaWrite && q.value == kFpgaCtrl)
            ctrl.push_back(q.index);
    }
    ASSERT_EQ(ctrl.size(), 2u);
    EXPECT_EQ(ctrl[0] & 0x10, 0x10);
    EXPECT_EQ(ctrl[1] & 0x10, 0);
}

// ---- Initialisation ----------------------------------------------------------------------

struct SInitCase {
    const char* what;
    int pid;
    SFailedRequest fail;
};

const SInitCase kInit[] = {
    {"832 first start-up row", kPid832, {kSensorWrite, KYRSIM_ANY, KYRSIM_ANY}},
    {"832 FPGA colour gain", kPid832, {kFpgaWrite, kFpgaGainR, KYRSIM_ANY}},
    {"832 Pro (cooler started) first start-up row", kPid832Pro, {kSensorWrite, KYRSIM_ANY, KYRSIM_ANY}},
    {"815 start-up row", kPid815, {kSensorWrite, 0x3E04, KYRSIM_ANY}},
    {"802 raw FPGA data format", kPid802, {kFpgaWrite, kFpgaDataFmt, KYRSIM_ANY}},
    {"807 crop first row", kPid807, {kSensorWrite, KYRSIM_ANY, KYRSIM_ANY}},
    {"821 FPGA-timed first row", kPid821, {kSensorWrite, KYRSIM_ANY, KYRSIM_ANY}},
};

// An initialisation that lost a start-up write reports failure; the calls
// that need an initialised camera refuse until a second initialisation,
// which succeeds once the fault is gone, and frames arrive.
TEST_F(CTransactionTest, AnInitialisationWithALostWriteFails) {
    for (const SInitCase& c : kInit) {
        SCOPED_TRACE(c.what);
        Replug(c.pid);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        const int rule = FailOnce(c.fail);
        EXPECT_EQ(KYRInitCamera(0), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(kyrsim_fault_hits(rule), 1);
        EXPECT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_ERROR_INVALID_SEQUENCE);

        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        EXPECT_TRUE(CaptureAtFormat());
    }
}

}  // namespace

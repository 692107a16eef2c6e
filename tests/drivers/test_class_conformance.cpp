// test-labels: conformance
// Every mode-table class against its row of the class table: the description
// and controls a caller sees, the formats it accepts or refuses, the limits
// its controls clamp to, the hold around the sensor writes a setter makes,
// the settings it keeps under its own key and the images it delivers.
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

#include "CaptureCheck.h"
#include "ConformanceFixture.h"

namespace {

// Where a class does not yet do what its row says because the work is still
// under way elsewhere: (product ID, check, what is missing). Each entry is
// printed when its check runs, so the list stays visible; a check listed here
// is not asserted.
struct SPending {
    int pid;
    const char* check;
    const char* why;
};
const std::vector<SPending> kPendingFindings = {};

// True (and printed) when the row's check is a pending finding.
bool Pending(int pid, const char* check) {
    for (const SPending& p : kPendingFindings)
        if (p.pid == pid && std::string(p.check) == check) {
            printf("PENDING FINDING %04x %s: %s\n", pid, check, p.why);
            return true;
        }
    return false;
}

TEST(ClassTable, HasOneRowPerProductIdOfTheTable) {
    std::vector<int> pids;
    for (const SClassRow& r : ClassTable()) {
        SCOPED_TRACE(r.cls);
        EXPECT_TRUE(IsSupportedProduct(r.pid));
        // The product table names the class the row describes.
        const char* cls = ModelClassName(r.pid);
        ASSERT_NE(cls, nullptr);
        EXPECT_STREQ(cls, r.cls);
        pids.push_back(r.pid);
    }
    std::sort(pids.begin(), pids.end());
    EXPECT_EQ(std::adjacent_find(pids.begin(), pids.end()), pids.end());
    EXPECT_EQ(pids.size(), 46u);
}

using CClass = CConformanceTest;

TEST_P(CClass, DescribesItselfAndItsControlsAsItsRow) {
    const SClassRow& row = Row();
    ASSERT_TRUE(ClassBuilt(row.pid)) << row.cls << ": the factory builds no class for it";
    m_dev = Plug(row.pid);
    // An FPGA that reports trigger support: only classes that capture in trigger modes offer them.
    ASSERT_TRUE(m_dev.setFpga(28, 0xC0));
    KYR_CAMERA_INFO info;
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    EXPECT_STREQ(info.name, row.name);
    EXPECT_EQ(info.max_width, row.maxW);
    EXPECT_EQ(info.max_height, row.maxH);
    EXPECT_EQ(info.is_color, row.color ? KYR_TRUE : KYR_FALSE);
    EXPECT_EQ(info.bayer, row.bayer);
    std::vector<int> bins;
    for (int i = 0; i < 16 && info.supported_bins[i]; ++i) bins.push_back(info.supported_bins[i]);
    EXPECT_EQ(bins, row.bins);
    std::vector<IMG_TYPE> types;
    for (int i = 0; i < 8 && info.supported_image_types[i] != IMG_END; ++i)
        types.push_back(info.supported_image_types[i]);
    EXPECT_EQ(types, row.Types());
    EXPECT_DOUBLE_EQ(info.pixel_size_um, row.pixelUm);
    EXPECT_EQ(info.st4_port, row.st4 ? KYR_TRUE : KYR_FALSE);
    EXPECT_EQ(info.has_cooler, row.cooler ? KYR_TRUE : KYR_FALSE);
    EXPECT_EQ(info.is_usb3, KYR_TRUE);
    EXPECT_EQ(info.bit_depth, row.bitDepth);

    m_pCam = OpenInit();
    ASSERT_NE(m_pCam, nullptr);
    EXPECT_EQ(m_pCam->m_bDDREnable, row.ddr);
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    EXPECT_FLOAT_EQ(info.elec_per_adu, row.eAdu);
    KYR_SUPPORTED_MODE modes{};
    ASSERT_EQ(KYRGetCameraSupportMode(0, &modes), KYR_SUCCESS);
    EXPECT_EQ(modes.SupportedCameraMode[0], CAM_MODE_NORMAL);
    if (!Pending(row.pid, "trigger")) {
        EXPECT_EQ(info.is_trigger, row.trigger ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(modes.SupportedCameraMode[1] != CAM_MODE_END, row.trigger);
    }

    std::vector<SControlLimits> limits = {{"Gain", row.gain.max, row.gain.min, row.gain.def},
                                          {"Exposure", row.exposure.max, row.exposure.min, row.exposure.def},
                                          {"Offset", row.offset.max, row.offset.min, row.offset.def}};
    if (row.color) {
        limits.push_back({"WB_R", row.wbR.max, row.wbR.min, row.wbR.def});
        limits.push_back({"WB_B", row.wbB.max, row.wbB.min, row.wbB.def});
    }
    ExpectControlLimits(0, limits);
    KYR_CONTROL_CAPS caps;
    ASSERT_TRUE(FindControl(0, "BandWidth", &caps));
    EXPECT_EQ(caps.min_value, row.bandwidth.min);
    EXPECT_EQ(caps.max_value, row.bandwidth.max);
    EXPECT_EQ(caps.supports_auto, KYR_TRUE);
    EXPECT_EQ(FindControl(0, "WB_R", &caps), row.color);
    EXPECT_EQ(FindControl(0, "WB_B", &caps), row.color);
    EXPECT_EQ(FindControl(0, "HardwareBin", &caps), row.hardwareBin);
    EXPECT_EQ(FindControl(0, "HighSpeedMode", &caps), row.highSpeed);
    EXPECT_EQ(FindControl(0, "CoolerOn", &caps), row.cooler);
    EXPECT_EQ(FindControl(0, "TargetTemp", &caps), row.cooler);
}

// One format to set: accepted or refused by the row's rules.
struct SGeometryCase {
    std::string what;
    int w, h, bin;
    int type;  // IMG_TYPE, or a value outside it
    bool accepted;
};

// The largest size not above `limit` whose product with the bin is a multiple of `mul` and which is a
// multiple of `own`.
int Largest(int limit, int bin, int mul, int own) {
    for (int v = limit / bin; v > 0; --v)
        if ((v * bin) % mul == 0 && v % own == 0) return v;
    return 0;
}

std::vector<SGeometryCase> GeometryCases(const SClassRow& row) {
    std::vector<SGeometryCase> cases;
    auto accepts = [&row](int w, int h, int bin) {
        return std::find(row.bins.begin(), row.bins.end(), bin) != row.bins.end() && w > 0 && h > 0 &&
               static_cast<long long>(w) * bin <= row.maxW && static_cast<long long>(h) * bin <= row.maxH &&
               (w * bin) % row.widthMul == 0 && (h * bin) % row.heightMul == 0 && h % row.outHeightMul == 0;
    };
    auto add = [&](const std::string& what, int w, int h, int bin, int type = IMG_RAW8) {
        cases.push_back(
            {what + " " + std::to_string(w) + "x" + std::to_string(h) + " bin " + std::to_string(bin), w, h,
             bin, type, accepts(w, h, bin)});
    };
    for (int bin : row.bins) {
        const int w = Largest(row.maxW, bin, row.widthMul, 1);
        const int h = Largest(row.maxH, bin, row.heightMul, row.outHeightMul);
        add("largest", w, h, bin);
        add("largest 16-bit", w, h, bin, IMG_RAW16);
        // One step more in each direction.
        int wUp = w + 1;
        while ((wUp * bin) % row.widthMul != 0) ++wUp;
        add("one step wider", wUp, h, bin);
        int hUp = h + 1;
        while ((hUp * bin) % row.heightMul != 0 || hUp % row.outHeightMul != 0) ++hUp;
        add("one step higher", w, hUp, bin);
        // A width whose readout is not a multiple, an odd readout height.
        for (int d = 1; d < 8; ++d)
            if (((w - d) * bin) % row.widthMul != 0) {
                add("broken width multiple", w - d, h, bin);
                break;
            }
        if (bin % 2 == 1) add("odd readout height", w, h - 1, bin);
        if (row.outHeightMul > 1) add("height not a multiple of its own", w, h - 2, bin);
    }
    add("bin not offered", 64, 64, row.MaxBin() + 1);
    add("bin 0", 64, 64, 0);
    add("zero width", 0, 64, 1);
    add("negative height", 64, -64, 1);
    add("width x bin overflowing", INT_MAX / 2 + 8, 64, row.MaxBin());
    add("height x bin overflowing", 64, INT_MAX / 2 + 2, row.MaxBin());
    cases.push_back({"type 5", 64, 64, 1, 5, false});
    cases.push_back({"type 4", 64, 64, 1, 4, false});
    return cases;
}

TEST_P(CClass, AcceptsOrRefusesEachFormatAsItsRowSaysAndARefusalChangesNothing) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    // A known small window off the centre to start from.
    ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 48, 32), KYR_SUCCESS);
    for (const SGeometryCase& c : GeometryCases(row)) {
        SCOPED_TRACE(c.what);
        const SRoi before = ReadRoi(0);
        const int writes = RegisterWrites(m_dev.handle());
        const auto regs = m_dev.sensorRegs();
        const KYR_ERROR_CODE rc = KYRSetROIFormat(0, c.w, c.h, c.bin, static_cast<IMG_TYPE>(c.type));
        EXPECT_EQ(rc == KYR_SUCCESS, c.accepted) << rc;
        const SRoi after = ReadRoi(0);
        if (rc == KYR_SUCCESS) {
            EXPECT_EQ(after.w, c.w);
            EXPECT_EQ(after.h, c.h);
            EXPECT_EQ(after.bin, c.bin);
            // Classes that centre every new format: the window sits in the middle, up to the alignment.
            if (row.alwaysCentred) {
                EXPECT_NEAR(after.x * c.bin, (row.maxW - c.w * c.bin) / 2, row.startXAlign + c.bin);
                EXPECT_NEAR(after.y * c.bin, (row.maxH - c.h * c.bin) / 2, row.startYAlign + c.bin);
            }
        } else {
            EXPECT_TRUE(after == before) << RoiText(before) << " became " << RoiText(after);
            EXPECT_EQ(RegisterWrites(m_dev.handle()), writes);
            EXPECT_EQ(m_dev.sensorRegs(), regs);
        }
    }
}

// With the sensor binning at bin 2, a class with a width rule of its own refuses a width that keeps the
// template's multiple but not its own.
TEST_P(CClass, KeepsItsOwnWidthRuleUnderHardwareBinning) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    if (row.hwBinWidthMul == 0) GTEST_SKIP() << row.cls << ": no width rule of its own";
    ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 96, 48, 2, IMG_RAW8), KYR_SUCCESS);
    const SRoi before = ReadRoi(0);
    const int writes = RegisterWrites(m_dev.handle());
    // 88 is a multiple of 8 but not of the class's own multiple.
    ASSERT_NE(88 % row.hwBinWidthMul, 0);
    EXPECT_NE(KYRSetROIFormat(0, 88, 48, 2, IMG_RAW8), KYR_SUCCESS);
    EXPECT_TRUE(ReadRoi(0) == before);
    EXPECT_EQ(RegisterWrites(m_dev.handle()), writes);
    const int ok = 96 - row.hwBinWidthMul * 2;  // a multiple of both
    EXPECT_EQ(KYRSetROIFormat(0, ok, 48, 2, IMG_RAW8), KYR_SUCCESS);
}

TEST_P(CClass, StartPositionsReadBackAligned) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    if (row.startXAlign == 0) GTEST_SKIP() << row.cls << ": no start alignment to check";
    ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
    const struct {
        int x, y;
    } starts[] = {{101, 203}, {49, 35}, {0, 0}, {-5, -7}, {263, 131}};
    for (const auto& s : starts) {
        SCOPED_TRACE(std::to_string(s.x) + "," + std::to_string(s.y));
        ASSERT_EQ(KYRSetStartPos(0, s.x, s.y), KYR_SUCCESS);
        int x = -1, y = -1;
        ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
        const int wantX = std::max(s.x, 0) / row.startXAlign * row.startXAlign;
        const int wantY = std::max(s.y, 0) / row.startYAlign * row.startYAlign;
        EXPECT_EQ(x, wantX);
        EXPECT_EQ(y, wantY);
    }
    // A start past the edge pulls the window back inside.
    ASSERT_EQ(KYRSetStartPos(0, row.maxW, row.maxH), KYR_SUCCESS);
    int x = -1, y = -1;
    ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
    EXPECT_LE(x + 64, row.maxW);
    EXPECT_LE(y + 48, row.maxH);
    EXPECT_GE(x + 64 + row.startXAlign, row.maxW);
    EXPECT_GE(y + 48 + row.startYAlign, row.maxH);
}

// A little-endian value of `bytes` sensor registers from `reg` on.
long long SensorValue(const kyrsim::Device& dev, int reg, int bytes) {
    long long v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | dev.sensor(reg + i);
    return v;
}

// The frame length the camera holds now.
long long FrameLength(const kyrsim::Device& dev) { return dev.fpgaWide(16, 3); }

// The frame length and shutter line the camera holds now stay inside their fields.
void ExpectTimingInFields(const kyrsim::Device& dev, const SClassRow& row) {
    const long long vmax = FrameLength(dev);
    EXPECT_GT(vmax, 0);
    EXPECT_LE(vmax, row.vmaxCap);
    if (row.shrReg < 0) return;
    const long long shr = SensorValue(dev, row.shrReg, row.shrBytes);
    EXPECT_GE(shr, row.shrMin) << "frame length " << vmax;
    EXPECT_LE(shr, vmax - row.shrGap);
    EXPECT_LE(shr, 0x1FFFE);
}

// The shortest and the longest exposure program a frame length and shutter line inside their fields, and so
// do the longest exposures the frame of the window still holds, where the shutter line comes nearest its
// bound: the last exposure that keeps the frame length of the shortest one, found by halving, the 40
// microseconds before it and 2 after. `shrMin` in place of the row's where not 0.
void ExpectShutterInBoundsOverExposures(const kyrsim::Device& dev, SClassRow row, int shrMin = 0) {
    if (shrMin > 0) row.shrMin = shrMin, row.shrGap = std::max(row.shrGap, shrMin);
    for (long us : {32L, 1000000L, 2000000000L}) {
        SCOPED_TRACE(us);
        ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, us, KYR_FALSE), KYR_SUCCESS);
        ExpectTimingInFields(dev, row);
    }
    auto setExposure = [&](long us) {
        EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, us, KYR_FALSE), KYR_SUCCESS);
        return FrameLength(dev);
    };
    const long long frame = setExposure(32);
    long lo = 32, hi = 999999;
    while (hi - lo > 1) {
        const long mid = lo + (hi - lo) / 2;
        (setExposure(mid) == frame ? lo : hi) = mid;
    }
    for (long us = lo - 40; us <= lo + 2; ++us) {
        SCOPED_TRACE("exposure " + std::to_string(us) + " near the frame's " + std::to_string(lo));
        setExposure(us);
        ExpectTimingInFields(dev, row);
        if (::testing::Test::HasFailure()) break;
    }
}

TEST_P(CClass, ControlsClampAtTheirLimitsAndTheFrameLengthStaysUnderItsCap) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
    struct SCase {
        const char* what;
        KYR_CONTROL_TYPE type;
        SRange range;
    };
    std::vector<SCase> cases = {{"gain", KYR_GAIN, row.gain},
                                {"exposure", KYR_EXPOSURE, row.exposure},
                                {"offset", KYR_OFFSET, row.offset},
                                {"bandwidth", KYR_BANDWIDTH, row.bandwidth}};
    if (row.color) {
        cases.push_back({"red", KYR_WB_R, row.wbR});
        cases.push_back({"blue", KYR_WB_B, row.wbB});
    }
    for (const SCase& c : cases) {
        const struct {
            long set, want;
        } values[] = {{c.range.min - 1, c.range.min},
                      {c.range.min, c.range.min},
                      {c.range.max, c.range.max},
                      {c.range.max + 1, c.range.max},
                      {LONG_MAX / 2, std::min(LONG_MAX / 2, c.range.max)}};  // long may be 32 bits
        for (const auto& v : values) {
            SCOPED_TRACE(std::string(c.what) + " " + std::to_string(v.set));
            ASSERT_EQ(KYRSetControlValue(0, c.type, v.set, KYR_FALSE), KYR_SUCCESS);
            long got = -1;
            KYR_BOOL autoOn = KYR_TRUE;
            ASSERT_EQ(KYRGetControlValue(0, c.type, &got, &autoOn), KYR_SUCCESS);
            EXPECT_EQ(got, v.want);
            ExpectTimingInFields(m_dev, row);
            if (c.type == KYR_GAIN && row.gainReg >= 0) {
                const long long code = SensorValue(m_dev, row.gainReg, row.gainBytes);
                EXPECT_LE(code, row.topGainCode);
                if (v.want == c.range.max) {
                    EXPECT_EQ(code, row.topGainCode);
                }
                if (v.want == c.range.min) {
                    EXPECT_EQ(code, 0);
                }
            }
        }
    }
    ExpectShutterInBoundsOverExposures(m_dev, row);
}

// With the sensor binning (HardwareBin on where that control exists) the frame and the shutter line count
// the binned rows, in a mode of their own: the same bounds hold.
TEST_P(CClass, KeepsTheShutterLineInBoundsWhenTheSensorBins) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    if (row.sensorBins.empty()) GTEST_SKIP() << row.cls << ": the sensor does not bin";
    if (row.hardwareBin) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    }
    // A width that keeps every class's own multiple under sensor binning.
    ASSERT_EQ(KYRSetROIFormat(0, 96, 48, row.sensorBins.front(), IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(RowReadout(row, 96, 48, row.sensorBins.front(), IMG_RAW8).iSensorFactor, 2);
    ExpectShutterInBoundsOverExposures(m_dev, row, row.shrMinSensorBin);
}

// The FPGA's multi-byte frame length (registers 16-18) written outside the update latch, from log entry
// `from` on.
std::vector<std::string> UnlatchedFrameLength(int handle, int from) {
    std::vector<std::string> out;
    bool latched = false;
    const std::vector<kyrsim::Request> log = kyrsim::requests();
    for (size_t i = static_cast<size_t>(from); i < log.size(); ++i) {
        const kyrsim::Request& r = log[i];
        if (r.device != handle || r.request != 0xBD || r.result < 0) continue;
        if (r.value == 1) latched = (r.index & 1) != 0;
        if (r.value >= 16 && r.value <= 18 && !latched)
            out.push_back("reg " + std::to_string(r.value) + "=" + std::to_string(r.index));
    }
    return out;
}

// The hold as the sensor write log saw it.
struct SLogHolds {
    std::vector<std::string> unheld;  // listed registers written outside the hold
    int nested = 0;
    bool leftSet = false;
};
SLogHolds LogHolds(const kyrsim::Device& dev, const SClassRow& row, size_t from) {
    SLogHolds out;
    const std::vector<kyrsim::SensorWrite> log = dev.sensorLog();
    bool held = false;
    for (size_t i = from; i < log.size(); ++i) {
        const kyrsim::SensorWrite& w = log[i];
        if (w.is_hold) {
            if (w.value != 0 && w.held) ++out.nested;
            held = w.value != 0;
            continue;
        }
        if (!w.held && std::find(row.held.begin(), row.held.end(), w.reg) != row.held.end()) {
            char text[32];
            snprintf(text, sizeof(text), "0x%04x=0x%02x", w.reg, w.value);
            out.unheld.push_back(text);
        }
    }
    out.leftSet = held;
    return out;
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& x : v) s += x + " ";
    return s;
}

TEST_P(CClass, EverySetterKeepsItsHeldRegistersInsideOneReleasedHold) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    const size_t from = m_dev.sensorLog().size();
    const int fromRequest = kyrsim_log_count();
    const int bin = row.MaxBin() >= 2 ? 2 : 1;
    ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 160, 112, bin, IMG_RAW16), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 48, 32), KYR_SUCCESS);
    const struct {
        KYR_CONTROL_TYPE type;
        long value;
        KYR_BOOL autoOn;
    } script[] = {{KYR_GAIN, row.gain.max / 2, KYR_FALSE},
                  {KYR_EXPOSURE, 500, KYR_FALSE},
                  {KYR_EXPOSURE, 1500000, KYR_FALSE},
                  {KYR_EXPOSURE, 20000, KYR_FALSE},
                  {KYR_BANDWIDTH, 60, KYR_FALSE},
                  {KYR_BANDWIDTH, 80, KYR_TRUE},
                  {KYR_OFFSET, row.offset.max / 2, KYR_FALSE}};
    for (const auto& s : script) ASSERT_EQ(KYRSetControlValue(0, s.type, s.value, s.autoOn), KYR_SUCCESS);
    if (row.color) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_WB_R, 70, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_WB_B, 30, KYR_FALSE), KYR_SUCCESS);
    }
    if (row.highSpeed) {
        ASSERT_EQ(KYRSetROIFormat(0, 320, 240, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 0, KYR_FALSE), KYR_SUCCESS);
    }
    const SLogHolds holds = LogHolds(m_dev, row, from);
    if (row.holdReg >= 0) {
        EXPECT_TRUE(holds.unheld.empty()) << "outside the hold: " << Join(holds.unheld);
        EXPECT_EQ(holds.nested, 0);
        EXPECT_FALSE(holds.leftSet);
        EXPECT_EQ(m_dev.sensor(row.holdReg), 0);
    }
    const std::vector<std::string> unlatched = UnlatchedFrameLength(m_dev.handle(), fromRequest);
    EXPECT_TRUE(unlatched.empty()) << "frame length outside the latch: " << Join(unlatched);
}

std::string ConfigText() {
    const char* home = getenv("HOME");
    std::ifstream in(std::string(home ? home : "") + "/.VORN/KYRconfig.xml");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_P(CClass, KeepsItsSettingsUnderItsOwnKey) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    std::vector<std::pair<KYR_CONTROL_TYPE, long>> values = {{KYR_GAIN, row.gain.max / 3},
                                                             {KYR_EXPOSURE, 23456},
                                                             {KYR_OFFSET, row.offset.max / 2},
                                                             {KYR_BANDWIDTH, 70}};
    if (row.color) {
        values.push_back({KYR_WB_R, 33});
        values.push_back({KYR_WB_B, 66});
    }
    for (const auto& v : values) ASSERT_EQ(KYRSetControlValue(0, v.first, v.second, KYR_FALSE), KYR_SUCCESS);
    // Settings are kept when a video capture stops.
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    std::string key = row.key;
    std::replace(key.begin(), key.end(), ' ', '_');  // the file's folder names have no spaces
    EXPECT_NE(ConfigText().find("<" + key + " "), std::string::npos) << key;

    m_pCam = OpenInit();
    ASSERT_NE(m_pCam, nullptr);
    for (const auto& v : values) {
        SCOPED_TRACE(v.first);
        long got = -1;
        KYR_BOOL autoOn = KYR_TRUE;
        ASSERT_EQ(KYRGetControlValue(0, v.first, &got, &autoOn), KYR_SUCCESS);
        EXPECT_EQ(got, v.second);
        EXPECT_EQ(autoOn, KYR_FALSE);
    }
}

// The image the row's camera should deliver from a frame it sent.
std::vector<unsigned char> RowReference(const SClassRow& row, const std::vector<unsigned char>& sent, int w,
                                        int h, IMG_TYPE type, const SReadout& r) {
    return ReferenceImage(sent, w, h, type, false, r, row.markerRows, row.grey);
}

TEST_P(CClass, DeliversSmallOffCentreWindowsAsTheCameraSentThem) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    constexpr int kW = 64, kH = 48;
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    for (int bin : {1, row.MaxBin()}) {
        for (IMG_TYPE type : row.Types()) {
            SCOPED_TRACE(testing::Message() << "bin " << bin << " type " << type);
            ASSERT_EQ(KYRSetROIFormat(0, kW, kH, bin, type), KYR_SUCCESS);
            ASSERT_EQ(KYRSetStartPos(0, 48, 32), KYR_SUCCESS);
            const SReadout readout = RowReadout(row, kW, kH, bin, type);
            std::vector<unsigned char> image(static_cast<size_t>(kW * kH * ImageBytesPerPixel(type)));
            // A snapshot, then three video frames.
            ASSERT_EQ(Expose(10000), KYR_EXP_SUCCESS);
            ASSERT_EQ(KYRGetDataAfterExp(0, image.data(), static_cast<long>(image.size())), KYR_SUCCESS);
            auto sent = SentFrame(m_dev.handle(), readout.iFrameBytes);
            ASSERT_FALSE(sent.empty());
            EXPECT_TRUE(image == RowReference(row, sent, kW, kH, type, readout)) << "snapshot";
            ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(KYRGetVideoData(0, image.data(), static_cast<long>(image.size()), 10000),
                          KYR_SUCCESS);
                sent = SentFrame(m_dev.handle(), readout.iFrameBytes);
                ASSERT_FALSE(sent.empty());
                EXPECT_TRUE(image == RowReference(row, sent, kW, kH, type, readout)) << "video frame " << i;
            }
            ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        }
    }
}

// A finished single exposure waits in the camera for its reader; once the format changes, its frame is not
// an image of the new one: the read fails, whatever the caller's buffer would take, and the next exposure
// delivers the new format.
TEST_P(CClass, AFinishedExposureIsNotHandedOutAtAFormatSetAfterIt) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 128, 96, row.MaxBin(), IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(Expose(10000), KYR_EXP_SUCCESS);
    // A smaller format: its image fits in a few rows of the waiting frame.
    constexpr int kW = 64, kH = 48;
    ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8), KYR_SUCCESS);
    std::vector<unsigned char> image(static_cast<size_t>(128 * 96 * 2), 0xA5);
    EXPECT_NE(KYRGetDataAfterExp(0, image.data(), static_cast<long>(image.size())), KYR_SUCCESS);

    ASSERT_EQ(Expose(10000), KYR_EXP_SUCCESS);
    ASSERT_EQ(KYRGetDataAfterExp(0, image.data(), kW * kH), KYR_SUCCESS);
    const SReadout readout = RowReadout(row, kW, kH, 1, IMG_RAW8);
    const auto sent = SentFrame(m_dev.handle(), readout.iFrameBytes);
    ASSERT_FALSE(sent.empty());
    image.resize(kW * kH);
    EXPECT_TRUE(image == RowReference(row, sent, kW, kH, IMG_RAW8, readout));
}

INSTANTIATE_TEST_SUITE_P(Rows, CClass, ::testing::ValuesIn(AllRows()), RowName);

}  // namespace

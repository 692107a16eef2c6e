// Controls and camera description through the exported functions, on a
// recording test driver: which controls a camera lists, their capability
// records, clamping and dispatch of a set value to the camera's operations
// with the result codes, the exposure repeat cache, reading values back, and
// the description record.
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_controls_fixture.h"

namespace controls_test {
namespace {

using Names = std::vector<std::string>;
using Rec = CRecordingDriver;

// ---- Control list -------------------------------------------------------------------

struct SListCase {
    const char* szWhat;
    void (*configure)(CRecordingDriver&);
    Names expected;
};

void ColourUncooled(CRecordingDriver&) {}  // the driver's own profile

void CooledMono(CRecordingDriver& cam) {
    cam.m_bColor = false;  // white-balance capabilities stay set: mono hides them
    cam.m_bCooler = true;
    cam.m_bCapAntiDew = true;
}

void EveryOptional(CRecordingDriver& cam) {
    cam.m_bCapOverCLK = true;
    cam.m_bCapHardwareBin = true;
    cam.m_bCapHighSpeed = true;
    cam.m_bCapPattern = true;
    cam.m_bCapTemperature = false;
    cam.m_bCapBandWidth = false;
}

const SListCase kListCases[] = {
    {"colour, uncooled, with temperature",
     ColourUncooled,
     {"Gain", "Exposure", "Gamma", "WB_R", "WB_B", "Offset", "BandWidth", "Flip", "AutoExpMaxGain",
      "AutoExpMaxExpMS", "AutoExpTargetBrightness", "MonoBin", "Temperature"}},
    {"mono, cooled, anti-dew heater",
     CooledMono,
     {"Gain", "Exposure", "Gamma", "Offset", "BandWidth", "Flip", "AutoExpMaxGain", "AutoExpMaxExpMS",
      "AutoExpTargetBrightness", "Temperature", "CoolPowerPerc", "TargetTemp", "CoolerOn", "AntiDewHeater"}},
    {"colour with over-clocking, hardware bin, high speed, pattern",
     EveryOptional,
     {"Gain", "Exposure", "Gamma", "WB_R", "WB_B", "Offset", "Flip", "OverCLK", "AutoExpMaxGain",
      "AutoExpMaxExpMS", "AutoExpTargetBrightness", "HardwareBin", "HighSpeedMode", "MonoBin",
      "PatternAdjust"}},
};

TEST_F(CControlsApiTest, ListFollowsCapabilitiesInFixedOrderAndNeverHasFanOn) {
    for (const SListCase& c : kListCases) {
        SCOPED_TRACE(c.szWhat);
        CRecordingDriver fresh;
        {
            CCritSecLock lock(Cam().m_csControl);
            // Back to the driver's profile, then the case's changes.
            Cam().m_bColor = fresh.m_bColor;
            Cam().m_bCooler = fresh.m_bCooler;
            Cam().m_bCapAntiDew = fresh.m_bCapAntiDew;
            Cam().m_bCapOverCLK = fresh.m_bCapOverCLK;
            Cam().m_bCapHardwareBin = fresh.m_bCapHardwareBin;
            Cam().m_bCapHighSpeed = fresh.m_bCapHighSpeed;
            Cam().m_bCapPattern = fresh.m_bCapPattern;
            Cam().m_bCapTemperature = fresh.m_bCapTemperature;
            Cam().m_bCapBandWidth = fresh.m_bCapBandWidth;
            c.configure(Cam());
        }
        EXPECT_EQ(ListedNames(), c.expected);
    }
}

TEST_F(CControlsApiTest, CapsIndexOutsideTheListIsRefused) {
    int n = 0;
    ASSERT_EQ(KYRGetNumOfControls(0, &n), KYR_SUCCESS);
    ASSERT_EQ(n, 13);
    KYR_CONTROL_CAPS caps;
    for (int index : {n, n + 1, -1, INT_MIN, INT_MAX})
        EXPECT_EQ(KYRGetControlCaps(0, index, &caps), KYR_ERROR_INVALID_CONTROL_TYPE) << index;
    EXPECT_EQ(KYRGetControlCaps(0, n - 1, &caps), KYR_SUCCESS);
    EXPECT_EQ(caps.control_type, KYR_TEMPERATURE);
}

// ---- Capability records -------------------------------------------------------------

struct SCapsRow {
    KYR_CONTROL_TYPE type;
    const char* szName;
    const char* szDescription;
    long lMax, lMin, lDefault;
    bool bAuto, bWritable;
};

// The driver's limits: gain 0..600 (200), exposure 32..2e9 µs (10000), gamma
// 1..100 (50), white balance 1..99 (52, 95), offset 0..200 (8), bandwidth
// 40..100, pattern 0..10.
const SCapsRow kCapsRows[] = {
    {KYR_GAIN, "Gain", "Gain", 600, 0, 200, true, true},
    {KYR_EXPOSURE, "Exposure", "Exposure Time(us)", 2000000000, 32, 10000, true, true},
    {KYR_GAMMA, "Gamma", "Gamma", 100, 1, 50, false, true},
    {KYR_WB_R, "WB_R", "White balance: Red component", 99, 1, 52, true, true},
    {KYR_WB_B, "WB_B", "White balance: Blue component", 99, 1, 95, true, true},
    {KYR_OFFSET, "Offset", "offset", 200, 0, 8, false, true},
    {KYR_BANDWIDTH, "BandWidth", "The total data transfer rate percentage", 100, 40, 50, false, true},
    {KYR_OVERCLK, "OverCLK", "Over clocking percentage", 30, 0, 0, false, true},
    {KYR_TEMPERATURE, "Temperature", "Sensor temperature(degrees Celsius)", 1000, -500, 20, false, false},
    {KYR_FLIP, "Flip", "Flip: 0->None 1->Horiz 2->Vert 3->Both", 3, 0, 0, false, true},
    {KYR_AUTO_MAX_GAIN, "AutoExpMaxGain", "Auto exposure maximum gain value", 600, 0, 300, false, true},
    {KYR_AUTO_MAX_EXP, "AutoExpMaxExpMS", "Auto exposure maximum exposure value(unit ms)", 60000, 1, 100,
     false, true},
    {KYR_AUTO_TARGET_BRIGHTNESS, "AutoExpTargetBrightness", "Auto exposure target brightness value", 160, 50,
     100, false, true},
    {KYR_HARDWARE_BIN, "HardwareBin", "Is hardware bin2:0->No 1->Yes", 1, 0, 0, false, true},
    {KYR_HIGH_SPEED_MODE, "HighSpeedMode", "Is high speed mode:0->No 1->Yes", 1, 0, 0, false, true},
    {KYR_COOLER_POWER_PERC, "CoolPowerPerc", "Cooler power percent", 100, 0, 0, false, false},
    {KYR_TARGET_TEMP, "TargetTemp", "Target temperature(cool camera only)", 30, -40, 0, false, true},
    {KYR_COOLER_ON, "CoolerOn", "turn on/off cooler(cool camera only)", 1, 0, 0, false, true},
    {KYR_MONO_BIN, "MonoBin", "bin R G G B to one pixel for color camera, color will loss", 1, 0, 0, false,
     true},
    {KYR_FAN_ON, "FanOn", "turn on/off fan(cool camera only)", 1, 0, 0, false, true},
    {KYR_PATTERN_ADJUST, "PatternAdjust", "make brightness accordant", 10, 0, 0, false, true},
    {KYR_ANTI_DEW_HEATER, "AntiDewHeater", "turn on/off anti dew heater(cool camera only)", 1, 0, 0, false,
     true},
};

TEST_F(CControlsApiTest, EveryCapabilityRecordHasTheTableValues) {
    ASSERT_EQ(sizeof(kCapsRows) / sizeof(kCapsRows[0]), 22u);
    for (const SCapsRow& row : kCapsRows) {
        SCOPED_TRACE(row.szName);
        KYR_CONTROL_CAPS caps;
        memset(&caps, 0xAB, sizeof(caps));
        ASSERT_TRUE(Cam().GetCtrllCaps(row.type, &caps));
        EXPECT_STREQ(caps.name, row.szName);
        EXPECT_STREQ(caps.description, row.szDescription);
        EXPECT_EQ(caps.max_value, row.lMax);
        EXPECT_EQ(caps.min_value, row.lMin);
        EXPECT_EQ(caps.default_value, row.lDefault);
        EXPECT_EQ(caps.supports_auto, row.bAuto ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(caps.is_writable, row.bWritable ? KYR_TRUE : KYR_FALSE);
        // The record by type leaves control_type alone.
        KYR_CONTROL_CAPS untouched;
        memset(&untouched, 0xAB, sizeof(untouched));
        EXPECT_EQ(memcmp(&caps.control_type, &untouched.control_type, sizeof(caps.control_type)), 0);
    }
}

TEST_F(CControlsApiTest, ListedRecordsThroughTheExportedFunctionCarryTheirType) {
    int n = 0;
    ASSERT_EQ(KYRGetNumOfControls(0, &n), KYR_SUCCESS);
    for (int i = 0; i < n; ++i) {
        KYR_CONTROL_CAPS caps;
        ASSERT_EQ(KYRGetControlCaps(0, i, &caps), KYR_SUCCESS);
        const SCapsRow& row = kCapsRows[caps.control_type];
        EXPECT_STREQ(caps.name, row.szName);
        EXPECT_EQ(caps.max_value, row.lMax);
        EXPECT_EQ(caps.min_value, row.lMin);
        EXPECT_EQ(caps.default_value, row.lDefault);
    }
}

TEST_F(CControlsApiTest, AutoExposureLimitIsTheExposureLimitInMsUpToAMinute) {
    struct {
        int iExpMax;
        long lExpected;
    } cases[] = {{2000000000, 60000}, {60000000, 60000}, {59999999, 59999}, {30000000, 30000}, {1500, 1}};
    for (const auto& c : cases) {
        Cam().m_iExpMax = c.iExpMax;
        KYR_CONTROL_CAPS caps;
        ASSERT_TRUE(Cam().GetCtrllCaps(KYR_AUTO_MAX_EXP, &caps));
        EXPECT_EQ(caps.max_value, c.lExpected) << c.iExpMax;
    }
}

TEST_F(CControlsApiTest, CapsOfAnUnknownTypeFailAndLeaveTheRecord) {
    for (int type : {-1, 22, INT_MIN, INT_MAX}) {
        KYR_CONTROL_CAPS caps;
        memset(&caps, 0x5C, sizeof(caps));
        EXPECT_FALSE(Cam().GetCtrllCaps(static_cast<KYR_CONTROL_TYPE>(type), &caps)) << type;
        EXPECT_EQ(caps.name[0], 0x5C);
        EXPECT_EQ(caps.max_value, static_cast<long>(0x5C5C5C5C5C5C5C5CULL & static_cast<unsigned long>(-1L)));
    }
}

// ---- Clamp and dispatch -----------------------------------------------------------------

struct SDispatchCase {
    KYR_CONTROL_TYPE type;
    long lValue;
    bool bAuto;
    Rec::SCall expected;
};

// The driver starts with white balance 52 / 95.
const SDispatchCase kDispatchCases[] = {
    {KYR_GAIN, -5, false, {Rec::REC_GAIN, 0, 0, false}},
    {KYR_GAIN, 700, true, {Rec::REC_GAIN, 600, 0, true}},
    {KYR_GAIN, 250, false, {Rec::REC_GAIN, 250, 0, false}},
    {KYR_EXPOSURE, 1, false, {Rec::REC_EXP, 32, 0, false}},
    {KYR_EXPOSURE, LONG_MAX, true, {Rec::REC_EXP, 2000000000, 0, true}},
    {KYR_EXPOSURE, 5000, false, {Rec::REC_EXP, 5000, 0, false}},
    {KYR_GAMMA, 0, false, {Rec::REC_GAMMA, 1, 0, false}},
    {KYR_GAMMA, 101, false, {Rec::REC_GAMMA, 100, 0, false}},
    {KYR_GAMMA, 70, false, {Rec::REC_GAMMA, 70, 0, false}},
    {KYR_WB_R, -1, false, {Rec::REC_WB, 1, 95, false}},
    {KYR_WB_R, 200, true, {Rec::REC_WB, 99, 95, true}},
    {KYR_WB_R, 40, false, {Rec::REC_WB, 40, 95, false}},
    {KYR_WB_B, 0, false, {Rec::REC_WB, 52, 1, false}},
    {KYR_WB_B, 100, true, {Rec::REC_WB, 52, 99, true}},
    {KYR_WB_B, 60, false, {Rec::REC_WB, 52, 60, false}},
    {KYR_OFFSET, -1, false, {Rec::REC_OFFSET, 0, 0, false}},
    {KYR_OFFSET, 201, false, {Rec::REC_OFFSET, 200, 0, false}},
    {KYR_OFFSET, 30, false, {Rec::REC_OFFSET, 30, 0, false}},
    {KYR_BANDWIDTH, 10, true, {Rec::REC_BANDWIDTH, 40, 0, true}},
    {KYR_BANDWIDTH, 120, false, {Rec::REC_BANDWIDTH, 100, 0, false}},
    {KYR_BANDWIDTH, 75, false, {Rec::REC_BANDWIDTH, 75, 0, false}},
    {KYR_OVERCLK, -3, false, {Rec::REC_OVERCLK, 0, 0, false}},
    {KYR_OVERCLK, 50, false, {Rec::REC_OVERCLK, 30, 0, false}},
    {KYR_OVERCLK, 12, false, {Rec::REC_OVERCLK, 12, 0, false}},
    {KYR_HARDWARE_BIN, -1, false, {Rec::REC_HARDWARE_BIN, 0, 0, false}},
    {KYR_HARDWARE_BIN, 5, false, {Rec::REC_HARDWARE_BIN, 1, 0, false}},
    {KYR_HIGH_SPEED_MODE, 1, false, {Rec::REC_HIGH_SPEED, 1, 0, false}},
    {KYR_HIGH_SPEED_MODE, 9, false, {Rec::REC_HIGH_SPEED, 1, 0, false}},
    {KYR_HIGH_SPEED_MODE, 0, false, {Rec::REC_HIGH_SPEED, 0, 0, false}},
    {KYR_PATTERN_ADJUST, -2, false, {Rec::REC_PATTERN, 0, 0, false}},
    {KYR_PATTERN_ADJUST, 20, false, {Rec::REC_PATTERN, 10, 0, false}},
    {KYR_PATTERN_ADJUST, 4, false, {Rec::REC_PATTERN, 4, 0, false}},
};

TEST_F(CControlsApiTest, SetValueIsClampedAndReachesItsOperationOnce) {
    for (const SDispatchCase& c : kDispatchCases) {
        SCOPED_TRACE(testing::Message() << "control " << c.type << " value " << c.lValue);
        Cam().ClearRecorded();
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.lValue, c.bAuto ? KYR_TRUE : KYR_FALSE), KYR_SUCCESS);
        const std::vector<Rec::SCall> calls = Cam().Recorded();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], c.expected);
        // The white balance case changes one channel; put it back for the next.
        if (c.type == KYR_WB_R || c.type == KYR_WB_B) Cam().SetRGBBalance(52, 95, false);
    }
}

TEST_F(CControlsApiTest, FailedOperationGivesGeneralErrorWherePatternAndColourlessBalanceDoNot) {
    struct {
        KYR_CONTROL_TYPE type;
        Rec::Setter setter;
        bool bColor;
        KYR_ERROR_CODE expected;
    } cases[] = {
        {KYR_GAIN, Rec::REC_GAIN, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_EXPOSURE, Rec::REC_EXP, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_GAMMA, Rec::REC_GAMMA, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_WB_R, Rec::REC_WB, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_WB_B, Rec::REC_WB, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_WB_R, Rec::REC_WB, false, KYR_SUCCESS},
        {KYR_WB_B, Rec::REC_WB, false, KYR_SUCCESS},
        {KYR_OFFSET, Rec::REC_OFFSET, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_BANDWIDTH, Rec::REC_BANDWIDTH, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_OVERCLK, Rec::REC_OVERCLK, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_HARDWARE_BIN, Rec::REC_HARDWARE_BIN, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_HIGH_SPEED_MODE, Rec::REC_HIGH_SPEED, true, KYR_ERROR_GENERAL_ERROR},
        {KYR_PATTERN_ADJUST, Rec::REC_PATTERN, true, KYR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "control " << c.type << (c.bColor ? " colour" : " mono"));
        Cam().m_bColor = c.bColor;
        Cam().Fail(c.setter, true);
        Cam().ClearRecorded();
        EXPECT_EQ(KYRSetControlValue(0, c.type, 3, KYR_FALSE), c.expected);
        EXPECT_EQ(Cam().Count(c.setter), 1);
        Cam().Fail(c.setter, false);
    }
}

TEST_F(CControlsApiTest, AutoExposureParametersAreClampedAndReadBack) {
    struct {
        KYR_CONTROL_TYPE type;
        long lValue;
        long lStored;
    } cases[] = {
        {KYR_AUTO_TARGET_BRIGHTNESS, 200, 160},
        {KYR_AUTO_TARGET_BRIGHTNESS, 10, 50},
        {KYR_AUTO_TARGET_BRIGHTNESS, 120, 120},
        {KYR_AUTO_MAX_GAIN, 700, 600},
        {KYR_AUTO_MAX_GAIN, -1, 0},
        {KYR_AUTO_MAX_GAIN, 420, 420},
        {KYR_AUTO_MAX_EXP, 0, 1},
        {KYR_AUTO_MAX_EXP, 100000, 60000},
        {KYR_AUTO_MAX_EXP, 250, 250},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "control " << c.type << " value " << c.lValue);
        int before[3], after[3];
        Cam().GetAutoPara(&before[0], &before[1], &before[2]);
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.lValue, KYR_TRUE), KYR_SUCCESS);
        KYR_BOOL bAuto = KYR_TRUE;
        EXPECT_EQ(Get(c.type, &bAuto), c.lStored);
        EXPECT_EQ(bAuto, KYR_FALSE);
        // Only the one parameter changed.
        Cam().GetAutoPara(&after[0], &after[1], &after[2]);
        const int k = c.type - KYR_AUTO_MAX_GAIN;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(after[i], i == k ? c.lStored : before[i]) << i;
    }
    EXPECT_TRUE(Cam().Recorded().empty());
}

TEST_F(CControlsApiTest, FlipTakesBothBitsAndReadsBack) {
    struct {
        long lValue;
        long lRead;
        bool bRow, bColumn;
    } cases[] = {{2, 2, false, true},  {1, 1, true, false}, {3, 3, true, true},
                 {0, 0, false, false}, {7, 3, true, true},  {-4, 0, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lValue);
        EXPECT_EQ(KYRSetControlValue(0, KYR_FLIP, c.lValue, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(Get(KYR_FLIP), c.lRead);
        EXPECT_EQ(Cam().m_bFlipRow.load(), c.bRow);
        EXPECT_EQ(Cam().m_bFlipColumn.load(), c.bColumn);
    }
}

TEST_F(CControlsApiTest, TemperatureCannotBeSet) {
    EXPECT_EQ(KYRSetControlValue(0, KYR_TEMPERATURE, 300, KYR_FALSE), KYR_SUCCESS);
    EXPECT_TRUE(Cam().Recorded().empty());
}

TEST_F(CControlsApiTest, CoolerControlsAndUnknownTypesAreRefusedOnAnUncooledCamera) {
    for (int type : {15, 16, 17, 19, 21, -1, 22, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(type);
        const KYR_CONTROL_TYPE t = static_cast<KYR_CONTROL_TYPE>(type);
        EXPECT_EQ(KYRSetControlValue(0, t, 1, KYR_FALSE), KYR_ERROR_INVALID_CONTROL_TYPE);
        long value = 4321;
        KYR_BOOL bAuto = KYR_TRUE;
        EXPECT_EQ(KYRGetControlValue(0, t, &value, &bAuto), KYR_ERROR_INVALID_CONTROL_TYPE);
        EXPECT_EQ(bAuto, KYR_FALSE);
        EXPECT_EQ(value, 4321) << "a refused read fills no value";
    }
    EXPECT_TRUE(Cam().Recorded().empty());
}

// ---- Exposure repeat cache --------------------------------------------------------------

TEST_F(CControlsApiTest, SameExposureRequestTwiceReachesTheCameraOnce) {
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 1);
    // Another auto flag or another value is a new request.
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_TRUE), KYR_SUCCESS);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20001, KYR_TRUE), KYR_SUCCESS);
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 3);
}

TEST_F(CControlsApiTest, FailedExposureRequestIsNotRememberedAsDone) {
    Cam().Fail(Rec::REC_EXP, true);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 2);
    // A success, then a failure of another value: the first is not taken as
    // still in force.
    Cam().Fail(Rec::REC_EXP, false);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_SUCCESS);
    Cam().Fail(Rec::REC_EXP, true);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 30000, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    Cam().Fail(Rec::REC_EXP, false);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 20000, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 5);
}

TEST_F(CControlsApiTest, ExposureRequestAfterAutoExposureMovedItReachesTheCamera) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 10000, KYR_TRUE), KYR_SUCCESS);
    // A dark frame: auto exposure lengthens the exposure.
    const std::vector<unsigned char> dark(
        static_cast<size_t>(CTestDriver::kMaxWidth) * CTestDriver::kMaxHeight, 10);
    Cam().AutoExpGain(dark.data(), static_cast<long>(dark.size()));
    ASSERT_GT(Cam().m_lExpTimeUs.load(), 10000u);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 10000, KYR_TRUE), KYR_SUCCESS);
    EXPECT_EQ(Cam().m_lExpTimeUs.load(), 10000u);
    const std::vector<Rec::SCall> sets = Cam().Recorded(Rec::REC_EXP);
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[2], (Rec::SCall{Rec::REC_EXP, 10000, 0, true}));
}

TEST_F(CControlsApiTest, ExposureRequestAfterAutoModeWasSwitchedElsewhereReachesTheCamera) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 10000, KYR_TRUE), KYR_SUCCESS);
    // The camera left auto exposure by another road (a driver's mode change
    // re-applies the exposure with its own flag).
    Cam().SetExp(10000, false);
    EXPECT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 10000, KYR_TRUE), KYR_SUCCESS);
    EXPECT_EQ(Cam().Count(Rec::REC_EXP), 3);
    EXPECT_TRUE(Cam().m_bAutoExp.load());
}

// ---- Reading values -----------------------------------------------------------------------

TEST_F(CControlsApiTest, TemperatureReadsInTenthsTruncated) {
    struct {
        float fCelsius;
        long lTenths;
    } cases[] = {{23.47f, 234}, {-5.05f, -50}, {0.09f, 0}, {-0.09f, 0}, {60.0f, 600}};
    for (const auto& c : cases) {
        Cam().SetTempForTest(c.fCelsius);
        KYR_BOOL bAuto = KYR_TRUE;
        EXPECT_EQ(Get(KYR_TEMPERATURE, &bAuto), c.lTenths) << c.fCelsius;
        EXPECT_EQ(bAuto, KYR_FALSE);
    }
}

TEST_F(CControlsApiTest, ValuesAndAutoFlagsReadBack) {
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 321, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 123456, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_WB_R, 33, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_OFFSET, 17, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 80, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAMMA, 61, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_OVERCLK, 11, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HARDWARE_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_PATTERN_ADJUST, 6, KYR_FALSE), KYR_SUCCESS);
    struct {
        KYR_CONTROL_TYPE type;
        long lValue;
        KYR_BOOL bAuto;
    } cases[] = {
        {KYR_GAIN, 321, KYR_TRUE},          {KYR_EXPOSURE, 123456, KYR_TRUE},
        {KYR_WB_R, 33, KYR_TRUE},           {KYR_WB_B, 95, KYR_TRUE},
        {KYR_OFFSET, 17, KYR_FALSE},        {KYR_BANDWIDTH, 80, KYR_TRUE},
        {KYR_GAMMA, 61, KYR_FALSE},         {KYR_OVERCLK, 11, KYR_FALSE},
        {KYR_HARDWARE_BIN, 1, KYR_FALSE},   {KYR_HIGH_SPEED_MODE, 1, KYR_FALSE},
        {KYR_PATTERN_ADJUST, 6, KYR_FALSE},
    };
    for (const auto& c : cases) {
        KYR_BOOL bAuto = c.bAuto == KYR_TRUE ? KYR_FALSE : KYR_TRUE;
        EXPECT_EQ(Get(c.type, &bAuto), c.lValue) << c.type;
        EXPECT_EQ(bAuto, c.bAuto) << c.type;
    }
}

TEST_F(CControlsApiTest, ExposureReadsItsLow32Bits) {
    Cam().m_lExpTimeUs = (1ULL << 32) + 77;
    EXPECT_EQ(Get(KYR_EXPOSURE), 77);
}

// ---- Mono binning ---------------------------------------------------------------------------

TEST_F(CControlsApiTest, MonoBinOnAnFpgaBinningCameraGoesThroughRegister39) {
    Cam().m_bFPGAMonoBin = true;
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_BIN, 0x80 | 0x01));
    EXPECT_EQ(Get(KYR_MONO_BIN), 0);
    EXPECT_EQ(KYRSetControlValue(0, KYR_MONO_BIN, 1, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_BIN), 0x01);  // type bit clear, mode bits kept
    EXPECT_EQ(Get(KYR_MONO_BIN), 1);
    EXPECT_EQ(KYRSetControlValue(0, KYR_MONO_BIN, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_BIN), 0x81);
    EXPECT_EQ(Get(KYR_MONO_BIN), 0);
    // The camera is the truth: a change made there shows.
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_BIN, 0x00));
    EXPECT_EQ(Get(KYR_MONO_BIN), 1);
}

TEST_F(CControlsApiTest, MonoBinFailedRegisterReadKeepsTheKnownState) {
    Cam().m_bFPGAMonoBin = true;
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_BIN, 0x00));
    EXPECT_EQ(Get(KYR_MONO_BIN), 1);
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_BIN, 0x80));
    kyrsim::Fault()
        .device(m_Dev)
        .request(kReqReadFpga)
        .value(FPGA_REG_BIN)
        .always()
        .error(LIBUSB_ERROR_IO)
        .add();
    EXPECT_EQ(Get(KYR_MONO_BIN), 1);
}

TEST_F(CControlsApiTest, MonoBinRefusedByTheFpgaIsAFailureAndChangesNothing) {
    Cam().m_bFPGAMonoBin = true;
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_BIN, 0x80));
    kyrsim::Fault()
        .device(m_Dev)
        .request(kReqWriteFpga)
        .value(FPGA_REG_BIN)
        .always()
        .error(LIBUSB_ERROR_IO)
        .add();
    EXPECT_EQ(KYRSetControlValue(0, KYR_MONO_BIN, 1, KYR_FALSE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_FALSE(Cam().m_bMonoBin.load());
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_BIN), 0x80);
}

TEST_F(CControlsApiTest, MonoBinWithoutFpgaBinningIsRememberedOnly) {
    EXPECT_EQ(KYRSetControlValue(0, KYR_MONO_BIN, 3, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Get(KYR_MONO_BIN), 1);
    EXPECT_EQ(KYRSetControlValue(0, KYR_MONO_BIN, 0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(Get(KYR_MONO_BIN), 0);
    for (const kyrsim::Request& r : kyrsim::requests()) EXPECT_NE(r.value, FPGA_REG_BIN) << r.request;
}

// ---- Description ------------------------------------------------------------------------------

KYR_CAMERA_INFO ExpectedInfo(int iCameraID) {
    KYR_CAMERA_INFO info;
    memset(&info, 0, sizeof(info));
    snprintf(info.name, sizeof(info.name), "%s", CRecordingDriver::kName);
    info.camera_id = iCameraID;
    info.max_height = CTestDriver::kMaxHeight;
    info.max_width = CTestDriver::kMaxWidth;
    info.is_color = KYR_TRUE;
    info.bayer = BAYER_RG;
    const int bins[] = {1, 2, 3, 4};
    memcpy(info.supported_bins, bins, sizeof(bins));
    const IMG_TYPE types[] = {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END};
    memcpy(info.supported_image_types, types, sizeof(types));
    info.pixel_size_um = 2.9;
    info.mechanical_shutter = KYR_FALSE;
    info.st4_port = KYR_TRUE;
    info.has_cooler = KYR_FALSE;
    info.is_usb3_host = KYR_TRUE;  // plugged on a USB 3 port
    info.is_usb3 = KYR_TRUE;
    info.elec_per_adu = 3.6f;  // gain 0
    info.bit_depth = 12;
    info.is_trigger = KYR_FALSE;
    return info;
}

void ExpectSameInfo(const KYR_CAMERA_INFO& got, const KYR_CAMERA_INFO& want) {
    EXPECT_STREQ(got.name, want.name);
    EXPECT_EQ(got.camera_id, want.camera_id);
    EXPECT_EQ(got.max_height, want.max_height);
    EXPECT_EQ(got.max_width, want.max_width);
    EXPECT_EQ(got.is_color, want.is_color);
    EXPECT_EQ(got.bayer, want.bayer);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(got.supported_bins[i], want.supported_bins[i]) << "bin " << i;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(got.supported_image_types[i], want.supported_image_types[i]) << "type " << i;
    EXPECT_DOUBLE_EQ(got.pixel_size_um, want.pixel_size_um);
    EXPECT_EQ(got.mechanical_shutter, want.mechanical_shutter);
    EXPECT_EQ(got.st4_port, want.st4_port);
    EXPECT_EQ(got.has_cooler, want.has_cooler);
    EXPECT_EQ(got.is_usb3_host, want.is_usb3_host);
    EXPECT_EQ(got.is_usb3, want.is_usb3);
    EXPECT_FLOAT_EQ(got.elec_per_adu, want.elec_per_adu);
    EXPECT_EQ(got.bit_depth, want.bit_depth);
    EXPECT_EQ(got.is_trigger, want.is_trigger);
    EXPECT_EQ(memcmp(got.unused, want.unused, sizeof(got.unused)), 0);
}

TEST_F(CControlsApiTest, DescriptionByIdIsTheGoldenRecord) {
    KYR_CAMERA_INFO info;
    memset(&info, 0x7F, sizeof(info));
    ASSERT_EQ(KYRGetCameraPropertyByID(0, &info), KYR_SUCCESS);
    ExpectSameInfo(info, ExpectedInfo(0));
}

TEST_F(CControlsApiTest, DescriptionByIndexIsTheGoldenRecord) {
    KYR_CAMERA_INFO info;
    memset(&info, 0x7F, sizeof(info));
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    ExpectSameInfo(info, ExpectedInfo(0));
}

TEST_F(CControlsApiTest, DescriptionListsOnlyTheImageTypesTheCameraDelivers) {
    struct {
        bool bColor, bRaw8, bRGB24, bY8, bRaw16;
        std::vector<IMG_TYPE> expected;
    } cases[] = {
        {true, true, true, true, true, {IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END}},
        {false, true, true, true, true, {IMG_RAW8, IMG_RAW16, IMG_END}},
        {true, false, true, false, true, {IMG_RGB24, IMG_RAW16, IMG_END}},
        {true, true, false, true, false, {IMG_RAW8, IMG_Y8, IMG_END}},
    };
    for (const auto& c : cases) {
        Cam().m_bColor = c.bColor;
        Cam().m_bCapRaw8 = c.bRaw8;
        Cam().m_bCapRGB24 = c.bRGB24;
        Cam().m_bCapY8 = c.bY8;
        Cam().m_bCapRaw16 = c.bRaw16;
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraPropertyByID(0, &info), KYR_SUCCESS);
        std::vector<IMG_TYPE> got(info.supported_image_types, info.supported_image_types + c.expected.size());
        EXPECT_EQ(got, c.expected);
        EXPECT_FALSE(Cam().IsImgTypeSupported(static_cast<IMG_TYPE>(7)));
        EXPECT_FALSE(Cam().IsImgTypeSupported(IMG_END));
    }
}

TEST_F(CControlsApiTest, ElectronsPerAduFollowTheGainLawOfTheSensor) {
    struct {
        const char* szName;
        int iGain;
        float fFactor;
    } cases[] = {
        {"VORN KYR810MC", 0, 1.0f},   {"VORN KYR810MC", 16, 2.0f},   {"VORN KYR810MC", 40, 6.0f},
        {"VORN KYR810MC", 79, 31.0f}, {"VORN KYR810MC", 80, 32.0f},  {"VORN KYR810MC", 100, 64.0f},
        {"VORN KYR832MC", 0, 1.0f},   {"VORN KYR832MC", 200, 10.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.szName << " gain " << c.iGain);
        Cam().m_pszName = const_cast<char*>(c.szName);
        Cam().m_iGain = c.iGain;
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraPropertyByID(0, &info), KYR_SUCCESS);
        EXPECT_FLOAT_EQ(info.elec_per_adu, 3.6f / c.fFactor);
    }
    Cam().m_pszName = const_cast<char*>(CRecordingDriver::kName);
}

TEST_F(CControlsApiTest, NameIsCutAndTerminatedAtTheRecordSize) {
    std::string longName(200, 'N');
    Cam().m_pszName = &longName[0];
    KYR_CAMERA_INFO info;
    memset(&info, 0x7F, sizeof(info));
    ASSERT_EQ(KYRGetCameraPropertyByID(0, &info), KYR_SUCCESS);
    EXPECT_EQ(strnlen(info.name, sizeof(info.name)), sizeof(info.name) - 1);
    EXPECT_EQ(info.camera_id, 0);  // the field after the name is intact
    Cam().m_pszName = const_cast<char*>(CRecordingDriver::kName);
}

}  // namespace
}  // namespace controls_test

namespace controls_test {
namespace {

TEST(ModelNames, EveryRegisteredModelNameFitsTheDescription) {
    std::vector<int> pids(static_cast<size_t>(CopyProductIDs(nullptr)));
    CopyProductIDs(pids.data());
    int built = 0;
    for (int pid : pids) {
        CCameraBase* cam = CreateCameraForProduct(pid);
        if (!cam) continue;
        ++built;
        ASSERT_NE(cam->m_pszName, nullptr) << ModelClassName(pid);
        EXPECT_LT(strlen(cam->m_pszName), sizeof(KYR_CAMERA_INFO::name)) << ModelClassName(pid);
        delete cam;
    }
    if (built == 0) GTEST_SKIP() << "no driver class is registered in this build";
}

}  // namespace
}  // namespace controls_test

// Temperature sensors of the camera object against simulated cameras: the
// decoding of each sensor kind, the thermistor table, the choice of source,
// and that a failed, short or meaningless reading never replaces the last
// good temperature.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Fx3Fixture.h"
#include "camera/Temperature.h"
#include "test_camera_fixture.h"

namespace {

using camera_test::PathOf;
using camera_test::SetPath;

// A test driver whose sensor reports its own die temperature.
class CInsideTempDriver : public CTestDriver {
  public:
    static constexpr float kInside = 42.5f;
    float GetSensorTempInside() override { return kInside; }
};

class TemperatureTest : public ::testing::Test {
  protected:
    void SetUp() override { kyrsim::reset(); }
    void TearDown() override {
        m_pCam.reset();
        kyrsim::reset();
    }

    // Plugs a camera whose sensors answer in the given kind and opens it.
    void Open(int tempKind) {
        kyrsim::Profile profile{};
        ASSERT_EQ(kyrsim_get_profile(CTestDriver::kProductID, &profile), 0);
        profile.temp_kind = tempKind;
        ASSERT_EQ(kyrsim_set_profile(CTestDriver::kProductID, &profile), 0);
        m_Dev = kyrsim::plug(CTestDriver::kProductID, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        m_pCam = std::make_unique<CInsideTempDriver>();
        SetPath(*m_pCam, PathOf(1, "1"));
        ASSERT_TRUE(m_pCam->OpenCamera(1));
        kyrsim::clearLog();
    }

    // The two bytes the camera answered to the last request `code`.
    std::vector<int> LastAnswer(int code) {
        auto reqs = kyrsim::requests(code, m_Dev.handle());
        if (reqs.empty()) return {};
        return {reqs.back().data[0], reqs.back().data[1]};
    }

    int AddFault(int code, int action, int arg) {
        kyrsim_fault f;
        kyrsim_fault_init(&f, action, arg);
        f.request = code;
        return kyrsim_add_fault(&f);
    }

    kyrsim::Device m_Dev;
    std::unique_ptr<CInsideTempDriver> m_pCam;
};

// ---- TMP100 ------------------------------------------------------------------------

TEST_F(TemperatureTest, Tmp100DecodesTwelveBitTwosComplement) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP100));
    struct Case {
        double simC;
        int b0, b1;
        float expected;
    } cases[] = {
        {25.0, 0x00, 0x19, 25.0f},
        {-1.0, 0x00, 0xFF, -1.0f},
        {127.9375, 0xF0, 0x7F, 127.9375f},
        {-40.5, 0x80, 0xD7, -40.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simC);
        ASSERT_TRUE(m_Dev.setTemperature(c.simC));
        EXPECT_EQ(m_pCam->GetTMP100Temp(), c.expected);
        EXPECT_EQ(LastAnswer(VR_READ_TEMP_I2C), (std::vector<int>{c.b0, c.b1}));
        EXPECT_EQ(m_pCam->m_fSensorTemp.load(), c.expected);
    }
}

// A reading that did not arrive whole, or a count of 0 (no conversion yet),
// leaves the last good temperature.
TEST_F(TemperatureTest, Tmp100KeepsValueOnZeroStallAndShortRead) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP100));
    ASSERT_TRUE(m_Dev.setTemperature(21.5));
    ASSERT_EQ(m_pCam->GetTMP100Temp(), 21.5f);

    ASSERT_TRUE(m_Dev.setTemperature(0.0));  // raw 0
    EXPECT_EQ(m_pCam->GetTMP100Temp(), 21.5f);

    ASSERT_TRUE(m_Dev.setTemperature(-30.0));
    int stall = AddFault(VR_READ_TEMP_I2C, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(m_pCam->GetTMP100Temp(), 21.5f);
    EXPECT_EQ(kyrsim_fault_hits(stall), 1);
    int shortRead = AddFault(VR_READ_TEMP_I2C, KYRSIM_FAULT_SHORT, 1);
    EXPECT_EQ(m_pCam->GetTMP100Temp(), 21.5f);
    EXPECT_EQ(kyrsim_fault_hits(shortRead), 1);
    EXPECT_EQ(m_pCam->m_fSensorTemp.load(), 21.5f);

    EXPECT_EQ(m_pCam->GetTMP100Temp(), -30.0f);  // faults used up
}

// ---- TMP451 ------------------------------------------------------------------------

TEST_F(TemperatureTest, Tmp451DecodesWholeDegreesAndSixteenths) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP451));
    for (double c : {25.5, 0.125, 99.875}) {
        SCOPED_TRACE(c);
        ASSERT_TRUE(m_Dev.setTemperature(c));
        EXPECT_EQ(m_pCam->GetTMP451Temp(), static_cast<float>(c));
    }
    ASSERT_TRUE(m_Dev.setTemperature(60.0));
    AddFault(VR_READ_TEMP_I2C, KYRSIM_FAULT_SHORT, 1);
    EXPECT_EQ(m_pCam->GetTMP451Temp(), 99.875f);
    std::string log = CaptureDebugLog([&] { EXPECT_EQ(m_pCam->GetTMP451Temp(), 60.0f); });
    EXPECT_NE(log.find("Temp:60.00."), std::string::npos) << log;
}

// ---- Thermistor ----------------------------------------------------------------------

TEST_F(TemperatureTest, ThermistorReadsTwentyFiveAtHalfScale) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP100));  // 12-bit converter
    ASSERT_TRUE(m_Dev.setTemperature(25.0));
    EXPECT_EQ(m_pCam->GetAD7142Temp(), 25.0f);
    EXPECT_EQ(LastAnswer(VR_READ_TEMP_ADC), (std::vector<int>{0x00, 0x80}));  // 2048
    EXPECT_EQ(m_pCam->m_fThermTemp.load(), 25.0f);
    EXPECT_EQ(m_pCam->CalculTempuature(2048, 10), 25.0f);
    EXPECT_EQ(m_pCam->CalculTempuature(static_cast<unsigned char>(128), 10), 25.0f);
}

TEST_F(TemperatureTest, EightBitThermistorReadsTwentyFiveAtHalfScale) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_ADC8));
    ASSERT_TRUE(m_Dev.setTemperature(25.0));
    EXPECT_EQ(m_pCam->GetADC081Temp(), 25.0f);
    EXPECT_EQ(LastAnswer(VR_READ_TEMP_ADC), (std::vector<int>{0x00, 0x08}));  // 128
}

// A resistance between two rows lies between their temperatures, on the line
// through them.
TEST_F(TemperatureTest, ThermistorInterpolatesBetweenRows) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP100));
    for (int adc : {700, 2100, 3600}) {
        SCOPED_TRACE(adc);
        const double r = adc * 10.0 / (4096 - adc);
        int i = 1;
        while (!(g_NTCTable[i].dResKOhm <= r && r <= g_NTCTable[i - 1].dResKOhm)) ++i;
        const double r0 = g_NTCTable[i - 1].dResKOhm, r1 = g_NTCTable[i].dResKOhm;
        const int t0 = g_NTCTable[i - 1].iTempC, t1 = g_NTCTable[i].iTempC;
        const float t = m_pCam->CalculTempuature(adc, 10);
        EXPECT_NEAR(t, t0 + (r - r0) / (r1 - r0), 1e-3);
        EXPECT_GT(t, t0);
        EXPECT_LT(t, t1);
    }
    // Half way between the rows of 30 and 31 degrees.
    const double mid = (g_NTCTable[80].dResKOhm + g_NTCTable[81].dResKOhm) / 2;
    ASSERT_EQ(g_NTCTable[80].iTempC, 30);
    const int adc = static_cast<int>(std::lround(4096 * mid / (10 + mid)));
    EXPECT_NEAR(m_pCam->CalculTempuature(adc, 10), 30.5f, 0.1f);
}

// Readings that give no temperature of the table keep the last one: colder
// than the table, the converter at either end, and a failed or short read.
TEST_F(TemperatureTest, ThermistorKeepsValueWithoutMeaningfulReading) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP100));
    m_pCam->m_iTempSensorType = 2;
    ASSERT_TRUE(m_Dev.setTemperature(20.0));
    const float good = m_pCam->GetSensorTemp();
    ASSERT_NEAR(good, 20.0f, 0.2f);

    ASSERT_TRUE(m_Dev.setTemperature(-55.0));
    EXPECT_EQ(m_pCam->GetSensorTemp(), good);
    EXPECT_EQ(m_pCam->CalculTempuature(0, 10), good);
    EXPECT_EQ(m_pCam->CalculTempuature(4095, 10), good);
    EXPECT_EQ(m_pCam->CalculTempuature(4096, 10), good);  // full scale: no finite resistance
    EXPECT_EQ(m_pCam->CalculTempuature(static_cast<unsigned char>(0), 10), good);
    EXPECT_EQ(m_pCam->CalculTempuature(static_cast<unsigned char>(255), 10), good);

    ASSERT_TRUE(m_Dev.setTemperature(-20.0));
    AddFault(VR_READ_TEMP_ADC, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(m_pCam->GetSensorTemp(), good);
    // One byte of two: converting it would read about -46 degrees.
    AddFault(VR_READ_TEMP_ADC, KYRSIM_FAULT_SHORT, 1);
    EXPECT_EQ(m_pCam->GetSensorTemp(), good);
    m_pCam->m_iTempSensorType = 1;
    AddFault(VR_READ_TEMP_ADC, KYRSIM_FAULT_SHORT, 1);
    EXPECT_EQ(m_pCam->GetSensorTemp(), good);
    EXPECT_EQ(m_pCam->m_fSensorTemp.load(), good);
    EXPECT_EQ(m_pCam->m_fThermTemp.load(), good);
}

// ---- Dispatch ------------------------------------------------------------------------

TEST_F(TemperatureTest, SensorTypeChoosesTheSource) {
    struct Case {
        int type;
        int tempKind;  // how the simulated camera answers
        int request;   // the request expected, 0 none
        float expected;
    } cases[] = {
        {-1, KYRSIM_TEMP_TMP100, VR_READ_TEMP_I2C, 30.0f},
        {0, KYRSIM_TEMP_TMP100, VR_READ_TEMP_I2C, 30.0f},
        {1, KYRSIM_TEMP_ADC8, VR_READ_TEMP_ADC, NAN},
        {2, KYRSIM_TEMP_TMP100, VR_READ_TEMP_ADC, NAN},
        {3, KYRSIM_TEMP_TMP451, VR_READ_TEMP_I2C, 30.0f},
        {4, KYRSIM_TEMP_TMP100, 0, CInsideTempDriver::kInside},
        {5, KYRSIM_TEMP_TMP100, VR_READ_TEMP_I2C, 30.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        kyrsim::reset();
        m_pCam.reset();
        ASSERT_NO_FATAL_FAILURE(Open(c.tempKind));
        ASSERT_TRUE(m_Dev.setTemperature(30.0));
        m_pCam->m_iTempSensorType = c.type;
        const float t = m_pCam->GetSensorTemp();
        if (std::isnan(c.expected))
            EXPECT_NEAR(t, 30.0f, c.type == 1 ? 1.5f : 0.2f);  // a thermistor count
        else
            EXPECT_EQ(t, c.expected);
        EXPECT_EQ(m_pCam->m_fSensorTemp.load(), t);
        EXPECT_EQ(m_pCam->GetTemp(), t);
        const int expectedRequests = c.request ? 2 : 0;
        EXPECT_EQ(kyrsim_log_count(), expectedRequests);
        if (c.request) EXPECT_EQ(kyrsim::requests(c.request).size(), 2u);
    }
}

// ---- The thermistor table -------------------------------------------------------------

TEST(NTCTable, SpansMinusFiftyToHundredThirteenStrictlyFalling) {
    ASSERT_EQ(kNTCRows, 164);
    for (int i = 0; i < kNTCRows; ++i) {
        EXPECT_EQ(g_NTCTable[i].iTempC, -50 + i);
        const double r = g_NTCTable[i].dResKOhm;  // copies: the rows' doubles are unaligned
        if (i > 0) {
            const double before = g_NTCTable[i - 1].dResKOhm;
            EXPECT_LT(r, before) << i;
        }
    }
    struct Row {
        int t;
        double r;
    } telling[] = {{-50, 505.7038}, {-49, 480.707}, {0, 32.7421}, {25, 10.0},
                   {50, 3.5893},    {100, 0.6727},  {113, 0.4654}};
    for (const Row& row : telling) {
        const double r = g_NTCTable[row.t + 50].dResKOhm;
        EXPECT_EQ(r, row.r) << row.t;
    }
}

TEST_F(TemperatureTest, TwelveBitReadingsFollowTheSimulatedPart) {
    ASSERT_NO_FATAL_FAILURE(Open(KYRSIM_TEMP_TMP100));
    m_pCam->m_iTempSensorType = 2;
    for (double c = -40.0; c <= 100.0; c += 0.25) {
        ASSERT_TRUE(m_Dev.setTemperature(c));
        EXPECT_NEAR(m_pCam->GetSensorTemp(), c, 0.5) << c;
    }
}

}  // namespace

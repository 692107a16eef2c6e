// Temperature sensors of the camera object: the board's I2C sensors (TMP100
// and TMP451 kinds), the thermistor read by a 12-bit or an 8-bit converter,
// and the choice between them. Every reading is one control transfer; a read
// that fails, comes back short or converts to nothing meaningful leaves the
// last good temperature in force, so a temperature never jumps to a number the
// sensor did not measure (the cooler regulates on it).
#include "camera/Temperature.h"

#include <math.h>

#include "camera/CameraBase.h"
#include "platform/Log.h"

// Resistance of the thermistor in kOhm. Between the rows at -50, -49, 0, 25,
// 50, 100 and 113 degrees the part follows the beta law, ln R linear in 1/T
// (kelvin), rounded to 4 decimals.
const NTC_ROW g_NTCTable[kNTCRows] = {
    {-50, 505.7038}, {-49, 480.7070}, {-48, 449.7719}, {-47, 421.0751}, {-46, 394.4383}, {-45, 369.6981},
    {-44, 346.7057}, {-43, 325.3247}, {-42, 305.4304}, {-41, 286.9087}, {-40, 269.6547}, {-39, 253.5727},
    {-38, 238.5746}, {-37, 224.5795}, {-36, 211.5131}, {-35, 199.3073}, {-34, 187.8992}, {-33, 177.2311},
    {-32, 167.2498}, {-31, 157.9061}, {-30, 149.1550}, {-29, 140.9546}, {-28, 133.2666}, {-27, 126.0553},
    {-26, 119.2880}, {-25, 112.9341}, {-24, 106.9657}, {-23, 101.3567}, {-22, 96.0830},  {-21, 91.1223},
    {-20, 86.4540},  {-19, 82.0587},  {-18, 77.9188},  {-17, 74.0177},  {-16, 70.3399},  {-15, 66.8713},
    {-14, 63.5986},  {-13, 60.5093},  {-12, 57.5921},  {-11, 54.8362},  {-10, 52.2316},  {-9, 49.7691},
    {-8, 47.4400},   {-7, 45.2361},   {-6, 43.1500},   {-5, 41.1746},   {-4, 39.3033},   {-3, 37.5300},
    {-2, 35.8488},   {-1, 34.2546},   {0, 32.7421},    {1, 31.0956},    {2, 29.5429},    {3, 28.0782},
    {4, 26.6959},    {5, 25.3909},    {6, 24.1583},    {7, 22.9937},    {8, 21.8930},    {9, 20.8522},
    {10, 19.8678},   {11, 18.9362},   {12, 18.0544},   {13, 17.2194},   {14, 16.4285},   {15, 15.6789},
    {16, 14.9685},   {17, 14.2947},   {18, 13.6557},   {19, 13.0493},   {20, 12.4736},   {21, 11.9271},
    {22, 11.4079},   {23, 10.9146},   {24, 10.4458},   {25, 10.0000},   {26, 9.5669},    {27, 9.1553},
    {28, 8.7640},    {29, 8.3918},    {30, 8.0377},    {31, 7.7007},    {32, 7.3799},    {33, 7.0745},
    {34, 6.7836},    {35, 6.5064},    {36, 6.2422},    {37, 5.9903},    {38, 5.7502},    {39, 5.5211},
    {40, 5.3025},    {41, 5.0939},    {42, 4.8947},    {43, 4.7045},    {44, 4.5228},    {45, 4.3492},
    {46, 4.1833},    {47, 4.0248},    {48, 3.8731},    {49, 3.7281},    {50, 3.5893},    {51, 3.4536},
    {52, 3.3237},    {53, 3.1996},    {54, 3.0807},    {55, 2.9670},    {56, 2.8581},    {57, 2.7539},
    {58, 2.6540},    {59, 2.5583},    {60, 2.4667},    {61, 2.3788},    {62, 2.2945},    {63, 2.2138},
    {64, 2.1363},    {65, 2.0619},    {66, 1.9906},    {67, 1.9221},    {68, 1.8564},    {69, 1.7933},
    {70, 1.7326},    {71, 1.6744},    {72, 1.6184},    {73, 1.5646},    {74, 1.5129},    {75, 1.4632},
    {76, 1.4154},    {77, 1.3694},    {78, 1.3252},    {79, 1.2826},    {80, 1.2416},    {81, 1.2022},
    {82, 1.1642},    {83, 1.1276},    {84, 1.0924},    {85, 1.0584},    {86, 1.0257},    {87, 0.9942},
    {88, 0.9638},    {89, 0.9345},    {90, 0.9062},    {91, 0.8790},    {92, 0.8527},    {93, 0.8273},
    {94, 0.8028},    {95, 0.7792},    {96, 0.7564},    {97, 0.7344},    {98, 0.7131},    {99, 0.6925},
    {100, 0.6727},   {101, 0.6533},   {102, 0.6346},   {103, 0.6165},   {104, 0.5990},   {105, 0.5821},
    {106, 0.5657},   {107, 0.5499},   {108, 0.5347},   {109, 0.5199},   {110, 0.5056},   {111, 0.4917},
    {112, 0.4784},   {113, 0.4654},
};

namespace {

// The I2C sensors and the converters answer with two bytes.
constexpr long kTempReplyBytes = 2;
// A TMP100 reading is a 12-bit two's complement count of 1/16 degree.
constexpr float kTMP100DegPerCount = 0.0625f;
constexpr int kTMP100SignBit = 2048;
constexpr int kTMP100Counts = 4096;
// A TMP451 reading: whole degrees in the second byte, sixteenths in the first.
constexpr float kTMP451DegPerFraction = 0.0625f;
// Full scale of the two thermistor converters.
constexpr int kADC12Counts = 4096;
constexpr int kADC8Counts = 256;
// Reference resistor in series with the thermistor, kOhm.
constexpr int kThermRefKOhm = 10;

// Reads the two bytes of a temperature request; false unless both came.
bool ReadTempBytes(CCameraBase& cam, uint8_t request, uint8_t bytes[2]) {
    bytes[0] = bytes[1] = 0;
    return cam.SendCMD(request, 0, 0, true, bytes, kTempReplyBytes);
}

// The 12-bit count of a reply: second byte high, upper nibble of the first low.
int Count12(const uint8_t bytes[2]) { return bytes[1] * 16 + (bytes[0] >> 4); }

}  // namespace

float CCameraBase::GetTMP100Temp() {
    uint8_t bytes[2];
    if (!ReadTempBytes(*this, VR_READ_TEMP_I2C, bytes)) return m_fSensorTemp;
    const int raw = Count12(bytes);
    // A count of 0 is what a sensor that has not converted yet answers.
    if (raw == 0) return m_fSensorTemp;
    const float t =
        raw < kTMP100SignBit ? raw * kTMP100DegPerCount : -(kTMP100Counts - raw) * kTMP100DegPerCount;
    m_fSensorTemp = t;
    return t;
}

float CCameraBase::GetTMP451Temp() {
    uint8_t bytes[2];
    if (ReadTempBytes(*this, VR_READ_TEMP_I2C, bytes)) {
        const float t = bytes[1] + bytes[0] * kTMP451DegPerFraction;
        m_fSensorTemp = t;
        DbgPrint(-1, "GetTMP451Temp", "Temp:%2.2f.\n", t);
    }
    return m_fSensorTemp;
}

float CCameraBase::GetAD7142Temp() {
    uint8_t bytes[2];
    // Unread bytes would convert to a temperature the cooler then acts on.
    if (!ReadTempBytes(*this, VR_READ_TEMP_ADC, bytes)) return m_fSensorTemp;
    return CalculTempuature(Count12(bytes), kThermRefKOhm);
}

float CCameraBase::GetADC081Temp() {
    uint8_t bytes[2];
    if (!ReadTempBytes(*this, VR_READ_TEMP_ADC, bytes)) return m_fSensorTemp;
    return CalculTempuature(static_cast<unsigned char>(Count12(bytes)), kThermRefKOhm);
}

float CCameraBase::CalculTempuature(int iAdc, int iRefKOhm) {
    if (iAdc >= kADC12Counts) return m_fThermTemp;  // beyond full scale: no resistance
    return ThermistorTemp(static_cast<float>(static_cast<double>(iAdc) * iRefKOhm / (kADC12Counts - iAdc)));
}

float CCameraBase::CalculTempuature(unsigned char ucAdc, int iRefKOhm) {
    return ThermistorTemp(static_cast<float>(static_cast<double>(ucAdc) * iRefKOhm / (kADC8Counts - ucAdc)));
}

float CCameraBase::ThermistorTemp(float fResKOhm) {
    const double r = fResKOhm;
    for (int i = 1; i < kNTCRows; ++i) {
        const double r0 = g_NTCTable[i - 1].dResKOhm;
        const double r1 = g_NTCTable[i].dResKOhm;
        // R between the two rows' resistances, bounds included.
        if (fabs(r - (r0 + r1) / 2) > fabs(r1 - r0) / 2) continue;
        const float t0 = static_cast<float>(g_NTCTable[i - 1].iTempC);
        const float t1 = static_cast<float>(g_NTCTable[i].iTempC);
        const float t = t0 + (t1 - t0) * (fResKOhm - static_cast<float>(r0)) / static_cast<float>(r1 - r0);
        if (t < m_iTempTabMin || t > m_iTempTabMax) break;
        m_fThermTemp = t;
        return t;
    }
    return m_fThermTemp;
}

float CCameraBase::GetSensorTemp() {
    float t;
    switch (m_iTempSensorType) {
        case 1:
            t = GetADC081Temp();
            break;
        case 2:
            t = GetAD7142Temp();
            break;
        case 3:
            t = GetTMP451Temp();
            break;
        case 4:
            t = GetSensorTempInside();
            break;
        default:  // 0, and any value the drivers do not use: the TMP100 kind
            t = GetTMP100Temp();
            break;
    }
    m_fSensorTemp = t;
    return t;
}

float CCameraBase::GetTemp() { return GetSensorTemp(); }

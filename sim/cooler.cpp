// The camera's temperature: the NTC thermistor's curve, and a thermo-electric
// cooler that really cools. The temperature follows a first-order response
// toward the steady state that the cooler drive, the fan and the heater give,
// evaluated against a model clock the tests advance; no thread runs it.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "internal.hpp"

namespace kyrsim_impl {
namespace {

// Points of the 10 kOhm (25 C) thermistor's published curve: degrees C and kOhm.
// Between neighbouring points the part follows the beta law (ln R linear in
// 1/T); beyond the ends, the end segments' law.
struct CurvePoint {
    double celsius;
    double kOhm;
};
constexpr CurvePoint kThermistorCurve[] = {
    {-50, 505.7038}, {-49, 480.707}, {0, 32.7421}, {25, 10.0}, {50, 3.5893}, {100, 0.6727}, {113, 0.4654},
};
constexpr double kKelvin = 273.15;

// Cooler power by drive level (DA 255 off, 20 the most).
struct DrivePoint {
    int da;
    double power;
};
constexpr DrivePoint kDriveTable[] = {
    {255, 0.0}, {220, 1.31}, {200, 1.94}, {180, 2.53}, {160, 3.15}, {140, 3.7}, {120, 4.2},
    {100, 4.7}, {80, 5.2},   {60, 5.6},   {50, 5.85},  {40, 6.01},  {30, 6.18}, {20, 6.4},
};
constexpr int kDriveOff = 255;
// Register 38 counts the other way: DA = 272 - v * 256 / 220.
constexpr double kRegDriveOffset = 272.0;
constexpr double kRegDriveScale = 256.0 / 220.0;
// Full power (6.4) holds the sensor 40 C below ambient; without the fan the
// heat sink takes away half of that; the anti-dew heater adds half a degree.
constexpr double kFullPower = 6.4;
constexpr double kFullCoolingC = 40.0;
constexpr double kFanOffFactor = 0.5;
constexpr double kHeaterC = 0.5;
constexpr int kRegPower = 25;
constexpr uint8_t kPowerFanOff = 0x80;
constexpr uint8_t kPowerWarm = 0x40;

double drivePower(int da) {
    if (da >= kDriveOff) return 0.0;
    for (size_t i = 1; i < std::size(kDriveTable); ++i) {
        const DrivePoint& a = kDriveTable[i - 1];
        const DrivePoint& b = kDriveTable[i];
        if (da >= b.da) return a.power + (b.power - a.power) * (a.da - da) / (a.da - b.da);
    }
    return kDriveTable[std::size(kDriveTable) - 1].power;
}

double steadyStateC(const SimDevice& d) {
    const uint8_t power = d.fpga[kRegPower];
    double cooling = kFullCoolingC * drivePower(d.cooler.driveDa) / kFullPower;
    if (power & kPowerFanOff) cooling *= kFanOffFactor;
    return d.cooler.ambientC - cooling + ((power & kPowerWarm) ? kHeaterC : 0.0);
}

void advance(SimDevice& d, long long us) {
    if (us <= 0 || d.cooler.timeConstantUs <= 0) return;
    const double target = steadyStateC(d);
    const double keep = std::exp(-static_cast<double>(us) / static_cast<double>(d.cooler.timeConstantUs));
    d.cooler.tempC = target + (d.cooler.tempC - target) * keep;
}

}  // namespace

double thermistorKOhm(double celsius) {
    constexpr size_t n = std::size(kThermistorCurve);
    size_t i = 1;
    while (i < n - 1 && celsius > kThermistorCurve[i].celsius) ++i;
    const CurvePoint& a = kThermistorCurve[i - 1];
    const CurvePoint& b = kThermistorCurve[i];
    const double x = 1.0 / (celsius + kKelvin);
    const double xa = 1.0 / (a.celsius + kKelvin);
    const double xb = 1.0 / (b.celsius + kKelvin);
    return std::exp(std::log(a.kOhm) + (std::log(b.kOhm) - std::log(a.kOhm)) * (x - xa) / (xb - xa));
}

void setCoolerDa(SimDevice& d, int da) { d.cooler.driveDa = std::clamp(da, 0, kDriveOff); }

void setCoolerFpgaPower(SimDevice& d, int value) {
    const long da = std::lround(kRegDriveOffset - value * kRegDriveScale);
    d.cooler.driveDa = static_cast<int>(std::clamp(da, 0l, static_cast<long>(kDriveOff)));
}

long long coolerQuery(const SimDevice& d, int what) {
    if (what == KYRSIM_Q_COOLER_DRIVE) return d.cooler.driveDa;
    return std::llround(d.cooler.tempC * 1000.0);
}

}  // namespace kyrsim_impl

using namespace kyrsim_impl;

extern "C" {

int kyrsim_set_ambient_mc(int handle, int millicelsius) {
    if (millicelsius < -100000 || millicelsius > 150000) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->cooler.ambientC = millicelsius / 1000.0;
    return 0;
}

int kyrsim_set_cooler_time_constant_ms(int handle, int ms) {
    if (ms <= 0) return -1;
    std::lock_guard<std::mutex> lk(state().mu);
    SimDevice* d = findDevice(handle, false);
    if (!d) return -1;
    d->cooler.timeConstantUs = static_cast<long long>(ms) * 1000;
    return 0;
}

void kyrsim_advance_model_time_us(long long us) {
    auto& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (us > 0) s.modelUs += us;
    for (auto& entry : s.devices)
        if (entry.second->plugged) advance(*entry.second, us);
}

}  // extern "C"

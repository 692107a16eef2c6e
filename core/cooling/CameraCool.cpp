// The cooled camera: cooler drive, temperature regulation on the cooler
// thread, fan, anti-dew heater and humidity.
#include "cooling/CameraCool.h"

#include <math.h>
#include <string.h>

#include "platform/Log.h"

const COOLER_DA_ROW g_CoolerDATable[kCoolerDARows] = {
    {255, 0.0}, {220, 1.31}, {200, 1.94}, {180, 2.53}, {160, 3.15}, {140, 3.7}, {120, 4.2},
    {100, 4.7}, {80, 5.2},   {60, 5.6},   {50, 5.85},  {40, 6.01},  {30, 6.18}, {20, 6.4},
};

namespace {

// The DA level CalculDA is limited to after construction (most power allowed).
constexpr int kDefaultCoolLevel = 40;
// Cooler control type that drives FPGA register 38 instead of request 0xB2;
// the register counts the other way: value = 220 * (272 - DA) / 256.
constexpr int kCoolerCtrlFPGA = 1;
constexpr int kFPGACoolScale = 220;
constexpr int kFPGACoolOffset = 272;
constexpr int kFPGACoolDivisor = 256;
// The fan is switchable from controller firmware 0x30 on.
constexpr uint8_t kFanFirmwareMin = 0x30;
// Anti-dew heater power written to register 42 when on; levels above 1 have
// the power register.
constexpr uint8_t kHeaterPowerOn = 197;
constexpr int kHeaterLevelPower = 2;
// Humidity request: wValue, and the sensor's law percent = raw * 125 / 65536 - 6.
constexpr uint16_t kHumidityValue = 245;
constexpr int kHumidityScale = 125;
constexpr int kHumidityShift = 16;
constexpr int kHumidityOffset = 6;

// Target range of regulation, degrees C.
constexpr float kTargetMin = -40.0f;
constexpr float kTargetMax = 30.0f;
// PID coefficients of regulation; the limits PID_init records.
constexpr float kPidKp = 0.2f;
constexpr float kPidKi = 0.0f;
constexpr float kPidKd = 0.6f;
constexpr float kPidLimit = 20.0f;
constexpr float kPidNoError = -200.0f;
// Set-point ramp: 35 degrees in 550 s, in periods of 15.
constexpr int kRampSpanC = 35;
constexpr int kRampSpanSec = 550;
constexpr int kRampPeriodSec = 15;
// The ramp steeper by t / 6 while the sensor is warmer than 6 degrees; the
// set-point at least 3 degrees below a temperature above 0, and 2 below once
// reached.
constexpr float kRampWarmDivisor = 6.0f;
constexpr float kRampMinGap = 3.0f;
constexpr float kRampReachedGap = 2.0f;
// Readings that change faster than this (degrees per second) are glitches;
// the 806 sensor changes far more slowly than the others.
constexpr float kRateLimit = 2.0f;
constexpr float kRateLimitSlow = 0.11f;
constexpr const char* kSlowSensorModel = "KYR806";
// A too-warm sensor that already cools faster than this is left alone.
constexpr float kCoolingFastRate = -0.2f;
// Errors up to this move the power by the PID result alone; larger ones move
// it at least one DA level.
constexpr float kSmallError = 0.4f;
// Upper bound on the PID result steps tried for one DA level: far more than
// the widest level needs at any result that still moves the power.
constexpr int kMaxPowerSteps = 100000;
// Cooler thread: first step after 200 ms; then per cycle one step, and two
// readings, each 20 x 10 ms after the step or the previous reading and
// followed by 159 x 10 ms (about 3.6 s a cycle).
constexpr uint32_t kThreadStartMs = 200;
constexpr uint32_t kThreadTickMs = 10;
constexpr int kTicksBeforeRead = 20;
constexpr int kTicksAfterRead = 159;
constexpr int kReadsPerCycle = 2;

// Milliseconds from tick `since` to `now` on the 32-bit tick count, correct
// across its wrap.
uint32_t TicksSince(uint64_t since, uint32_t now) { return now - static_cast<uint32_t>(since); }

// Sleeps `ticks` times kThreadTickMs, testing the running flag after each
// sleep; false as soon as it is cleared.
bool SleepWhileRunning(std::atomic<bool>* pbRunning, int ticks) {
    for (int i = 0; i < ticks; ++i) {
        Sleep(kThreadTickMs);
        if (!pbRunning->load()) return false;
    }
    return true;
}

// The cooler-table row whose DA (bByDA) or power is nearest to v; a tie goes
// to the earlier row. A NaN finds the first row (off).
const COOLER_DA_ROW& NearestRow(double v, bool bByDA) {
    int best = 0;
    double bestDist = INFINITY;
    for (int i = 0; i < kCoolerDARows; ++i) {
        const double dist = fabs(v - (bByDA ? g_CoolerDATable[i].iDA : g_CoolerDATable[i].dCoef));
        if (dist < bestDist) {
            bestDist = dist;
            best = i;
        }
    }
    return g_CoolerDATable[best];
}

// Register 25 as the camera has it; when the read fails, as it was last written.
uint8_t PowerRegister(CCameraCool& cam) {
    uint8_t value = 0;
    if (cam.ReadFPGAREG(FPGA_REG_POWER, &value)) return value;
    CCritSecLock lock(cam.m_csUsb);
    return cam.m_ucFPGAReg25;
}

}  // namespace

CCameraCool::CCameraCool() {
    InitializeCriticalSection(&m_csCooler);
    m_fCoolDA = m_fCoolDAMax = static_cast<float>(g_CoolerDATable[0].iDA);
    m_fCoolPowerMax = m_fCoolPowerMin = static_cast<float>(g_CoolerDATable[0].dCoef);
    for (const COOLER_DA_ROW& row : g_CoolerDATable) {
        m_fCoolDA = fminf(m_fCoolDA, static_cast<float>(row.iDA));
        m_fCoolDAMax = fmaxf(m_fCoolDAMax, static_cast<float>(row.iDA));
        m_fCoolPowerMax = fmaxf(m_fCoolPowerMax, static_cast<float>(row.dCoef));
        m_fCoolPowerMin = fminf(m_fCoolPowerMin, static_cast<float>(row.dCoef));
    }
    m_bAutoTempOn = false;
    m_iAutoTempState = 0;
    m_fLastTemp = -100.0f;
    m_iHumidity = 0;
    m_iCoolDALast = -1;
    m_bCooler = true;
    InitCooling(kDefaultCoolLevel);
    m_thrAutoTemp.InitFuncPt(AutoTempFunc);
}

CCameraCool::~CCameraCool() {
    DbgPrint(-1, "~CCameraCool", "~CCameraCool\n");
    StopAutoTempThr();
    DeleteCriticalSection(&m_csCooler);
}

void CCameraCool::CloseCamera() {
    // First, while the device may still be open: the thread's last act
    // switches the cooler off.
    StopAutoTempThr();
    CCameraBase::CloseCamera();
}

float CCameraCool::GetTemp() {
    if (m_thrAutoTemp.IsAlive()) return m_fSensorTemp;
    return GetSensorTemp();
}

// ---- Cooler drive ------------------------------------------------------------------

void CCameraCool::InitCooling(int iLevel) {
    CCritSecLock lock(m_csCooler);
    const COOLER_DA_ROW& row = NearestRow(iLevel, true);
    m_fCoolDA = static_cast<float>(row.iDA);
    m_fCoolPowerMax = static_cast<float>(row.dCoef);
}

int CCameraCool::DAToSend(int iDA) const {
    if (m_iCoolerCtrlType != kCoolerCtrlFPGA) return iDA;
    return kFPGACoolScale * (kFPGACoolOffset - iDA) / kFPGACoolDivisor;
}

bool CCameraCool::SetDA(int iDA) {
    CCritSecLock lock(m_csCooler);
    const int value = DAToSend(iDA);
    if (value == m_iCoolDALast) return true;
    m_iCoolDA = value;
    m_iCoolDALast = value;
    const bool ok = m_iCoolerCtrlType == kCoolerCtrlFPGA
                        ? SetFPGACoolPower(value)
                        : SendCMD(VR_SET_COOLER_DA, static_cast<uint16_t>(value), 0, false, nullptr, 0);
    if (!ok) {
        // The camera may still run on the old level: the next call sends again.
        m_iCoolDALast = -1;
        DbgPrint(-1, "SetDA", "cooler level %d not sent\n", value);
    }
    return ok;
}

int CCameraCool::CalculDA(float fPower) const {
    const double p = fPower;
    double da = NearestRow(p, false).iDA;  // beyond the table: the nearest row
    for (int i = 1; i < kCoolerDARows; ++i) {
        const COOLER_DA_ROW& a = g_CoolerDATable[i - 1];
        const COOLER_DA_ROW& b = g_CoolerDATable[i];
        if (fabs(p - (a.dCoef + b.dCoef) / 2) <= (b.dCoef - a.dCoef) / 2) {
            da = trunc(a.iDA + (b.iDA - a.iDA) * (p - a.dCoef) / (b.dCoef - a.dCoef));
            break;
        }
    }
    if (da < m_fCoolDA) da = m_fCoolDA;
    if (da > m_fCoolDAMax) da = m_fCoolDAMax;
    return static_cast<int>(da);
}

int CCameraCool::CalculIPerc(int iDA) const {
    double power = NearestRow(iDA, true).dCoef;
    for (int i = 1; i < kCoolerDARows; ++i) {
        const COOLER_DA_ROW& a = g_CoolerDATable[i - 1];
        const COOLER_DA_ROW& b = g_CoolerDATable[i];
        if (fabs(iDA - (a.iDA + b.iDA) / 2.0) <= fabs(b.iDA - a.iDA) / 2.0) {
            power = a.dCoef + (b.dCoef - a.dCoef) * (iDA - a.iDA) / (b.iDA - a.iDA);
            break;
        }
    }
    if (power < 0) power = 0;
    if (power > m_fCoolPowerMax) power = m_fCoolPowerMax;
    return static_cast<int>(power * 100 / m_fCoolPowerMax);
}

float CCameraCool::LimitPercent(float fPercent) const {
    const float lowest = m_fCoolPowerMin * 100 / m_fCoolPowerMax;
    if (!(fPercent >= lowest)) return lowest;  // a NaN too
    return fPercent > 100 ? 100 : fPercent;
}

int CCameraCool::SentForPercent(float fPercent) const {
    return DAToSend(CalculDA(LimitPercent(fPercent) * m_fCoolPowerMax / 100));
}

bool CCameraCool::SetPowerPerc(float fPercent) {
    CCritSecLock lock(m_csCooler);
    SetFanOn(fPercent > 0);
    const float percent = LimitPercent(fPercent);
    const bool ok = SetDA(CalculDA(percent * m_fCoolPowerMax / 100));
    m_fCoolPowerPerc = percent;
    return ok;
}

// ---- Fan, heater, humidity ------------------------------------------------------------

bool CCameraCool::SetFanOn(bool bOn) {
    CCritSecLock lock(m_csCooler);
    if (!m_bCooler || m_ucFirmwareVer < kFanFirmwareMin) return false;
    return EnableCfan(bOn);
}

bool CCameraCool::GetFanOn() { return !(PowerRegister(*this) & FPGA_POWER_FAN_OFF); }

bool CCameraCool::SetLensHeat(long lOn) {
    CCritSecLock lock(m_csCooler);
    if (m_iHeaterLevel >= kHeaterLevelPower) SetFPGAHeaterPowerPercent(lOn ? kHeaterPowerOn : 0);
    return EnableWarm(lOn != 0);
}

bool CCameraCool::GetLensHeat() {
    const bool warm = (PowerRegister(*this) & FPGA_POWER_WARM) != 0;
    if (m_iHeaterLevel < kHeaterLevelPower) return warm;
    uint8_t power = 0;
    if (ReadFPGAREG(FPGA_REG_HEATER_POWER, &power) && (power == kHeaterPowerOn) != warm)
        DbgPrint(-1, "GetLensHeat", "Heater Power Control Conflict with Warm UP.\n");
    return warm;
}

int CCameraCool::GetHumidity() {
    uint8_t bytes[2] = {0, 0};
    if (!SendCMD(VR_READ_HUMIDITY, kHumidityValue, 0, true, bytes, sizeof(bytes))) return m_iHumidity;
    const int raw = bytes[0] + 256 * bytes[1];
    if (raw == 0) return m_iHumidity;
    int h = ((raw * kHumidityScale) >> kHumidityShift) - kHumidityOffset;
    if (h > 100) h = 100;
    if (h < 0) h = 0;
    m_iHumidity = h;
    return h;
}

// ---- Regulation -----------------------------------------------------------------------

void CCameraCool::PID_init(float fKp, float fKi, float fKd) {
    CCritSecLock lock(m_csCooler);
    m_fPidError = 0.0f;
    m_fPidResult = 0.0f;
    m_fPidLastErr = kPidNoError;
    m_fPidIntegral = 0.0f;
    m_fPidKp = fKp;
    m_fPidKi = fKi;
    m_fPidKd = fKd;
    m_fPidLimitHigh = kPidLimit;
    m_fPidLimitLow = -kPidLimit;
}

void CCameraCool::SetAutoTemp(bool bOn, float fTarget) {
    CCritSecLock lock(m_csCooler);
    m_bAutoTempOn = bOn;
    if (!(fTarget >= kTargetMin))  // a NaN too
        m_iTargetTemp = static_cast<int>(kTargetMin);
    else if (fTarget > kTargetMax)
        m_iTargetTemp = static_cast<int>(kTargetMax);
    else
        m_iTargetTemp = static_cast<int>(fTarget);
    PID_init(kPidKp, kPidKi, kPidKd);
    if (!bOn) return;
    m_iStartTemp = static_cast<int>(GetSensorTemp());
    m_bAutoTempStarted = true;
    m_iAutoTargetTemp = m_iTargetTemp.load();
    m_dwAutoTempTick = m_dwRampTick = GetTickCount();
    m_iRampSpanSec = kRampSpanSec;
    m_iRampSpanC = kRampSpanC;
    m_iRampPeriodSec = kRampPeriodSec;
    DbgPrint(-1, "SetAutoTemp", "Start Temp: %d, Target Temp: %d\n", m_iStartTemp, m_iAutoTargetTemp.load());
    m_fRampSetPoint = static_cast<float>(m_iStartTemp);
    m_bRampReached = false;
}

float CCameraCool::StepPercent(float fPercent, float fResult) const {
    // Moves by the result until the DA level sent would change or the power
    // is at its end, on values only: one SetPowerPerc afterwards sends it.
    // The bound ends the search where a result too small for the percentage
    // would otherwise never get there.
    const int before = m_iCoolDA;
    float p = fPercent;
    for (int i = 0; i < kMaxPowerSteps; ++i) {
        const float next = p - fResult;
        if (next == p) break;
        p = next;
        if (SentForPercent(p) != before) break;
        if (p >= 100 && fResult <= 0) break;
        if (p <= 0 && fResult >= 0) break;
    }
    return p;
}

void CCameraCool::AutoTemp(float fTemp) {
    CCritSecLock lock(m_csCooler);
    const uint32_t now = GetTickCount();

    float rate = 0.0f;
    if (m_iAutoTempState != 0 && m_fLastTemp != 0.0f) {
        const uint32_t elapsed = now - m_iAutoTempState;
        const float delta = fTemp - m_fLastTemp;
        if (elapsed != 0)
            rate = delta * 1000.0f / static_cast<float>(elapsed);
        else if (delta != 0.0f)
            rate = delta > 0 ? INFINITY : -INFINITY;  // a change within no time at all
        const bool slow = m_pszName && strstr(m_pszName, kSlowSensorModel);
        if (fabsf(rate) >= (slow ? kRateLimitSlow : kRateLimit)) return;
    }
    m_iAutoTempState = now;
    m_fLastTemp = fTemp;
    // Checked under the lock: a caller that switched regulation off is never
    // undone by a step that began before.
    if (!m_bAutoTempOn) return;

    float sp;
    if (!m_bAutoTempStarted) {
        sp = static_cast<float>(m_iAutoTargetTemp.load());
    } else if (TicksSince(m_dwRampTick, now) >= static_cast<uint32_t>(m_iRampPeriodSec)) {
        const int periodSec = m_iRampPeriodSec > 0 ? m_iRampPeriodSec : 1;
        const float step = static_cast<float>(m_iRampSpanC) * static_cast<float>(periodSec) /
                           static_cast<float>(m_iRampSpanSec > 0 ? m_iRampSpanSec : 1);
        const uint32_t periods =
            TicksSince(m_dwAutoTempTick, now) / (static_cast<uint32_t>(periodSec) * 1000u) + 1;
        const float steep = fTemp / kRampWarmDivisor > 1.0f ? fTemp / kRampWarmDivisor : 1.0f;
        sp = static_cast<float>(m_iStartTemp) - step * static_cast<float>(periods) * steep;
        if (fTemp > 0 && fTemp - sp < kRampMinGap) sp = fTemp - kRampMinGap;
        if (fTemp < sp) sp = fTemp - kRampReachedGap;
        if (static_cast<float>(m_iAutoTargetTemp.load()) > sp)
            sp = static_cast<float>(m_iAutoTargetTemp.load());
        if (!m_bRampReached && fTemp <= sp) m_bRampReached = true;
        m_dwRampTick = now;
        m_fRampSetPoint = sp;
    } else {
        sp = m_fRampSetPoint;
    }

    const float e = sp - fTemp;
    m_fPidError = e;
    if (e < 0 && rate < kCoolingFastRate) return;

    m_fPidIntegral += e;
    float r = m_fPidKp * e + m_fPidKi * m_fPidIntegral;
    if (m_fPidLastErr != kPidNoError) r += m_fPidKd * (e - m_fPidLastErr);
    m_fPidResult = r;
    m_fPidLastErr = e;

    const float percent = m_fCoolPowerPerc;
    // A result too small to change the percentage in single precision moves
    // nothing.
    if (percent - r == percent) r = 0.0f;
    if (r == 0.0f || fabsf(e) <= kSmallError)
        SetPowerPerc(percent - r);
    else
        SetPowerPerc(StepPercent(percent, r));
}

// ---- Cooler thread ----------------------------------------------------------------------

bool CCameraCool::StartAutoTempThr() { return m_thrAutoTemp.Start(this); }

void CCameraCool::StopAutoTempThr() {
    DbgPrint(-1, "StopAutoTempThr", "AutoTempThr wait >\n");
    m_thrAutoTemp.Stop();
    DbgPrint(-1, "StopAutoTempThr", "AutoTempThr wait <\n");
}

void CCameraCool::AutoTempFunc(std::atomic<bool>* pbRunning, void* pCamera) {
    CCameraCool& cam = *static_cast<CCameraCool*>(pCamera);
    DbgPrint(-1, "AutoTempFunc", "Thread AutoTemp start!\n");
    Sleep(kThreadStartMs);
    while (pbRunning->load()) {
        cam.AutoTemp(cam.m_fSensorTemp);
        for (int read = 0; read < kReadsPerCycle; ++read) {
            if (!SleepWhileRunning(pbRunning, kTicksBeforeRead)) break;
            cam.GetSensorTemp();
            if (!SleepWhileRunning(pbRunning, kTicksAfterRead)) break;
        }
    }
    // Whoever stopped the thread, the cooler does not stay on.
    if (cam.SetPowerPerc(0))
        DbgPrint(-1, "AutoTempFunc", "Thread AutoTemp Exit! Cooler is turned off\n");
    else
        DbgPrint(-1, "AutoTempFunc", "Thread AutoTemp Exit! Cooler could not be turned off\n");
}

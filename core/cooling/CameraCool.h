// The cooling part: the camera object of the cooled models, built on the
// camera part. It may use the camera part and everything below it; the camera
// part never includes it.
//
// CCameraCool: the camera object of the cooled models. It drives the
// thermo-electric cooler through a DA level (255 off, lower is more power),
// regulates the sensor temperature toward a target on its own thread (a ramped
// set-point and a PID step about every 3.6 s), and switches the fan and the
// anti-dew heater.
//
// Locks: m_csCooler (recursive) guards the cooler's fields. The power, DA, fan
// and heater setters, SetAutoTemp and each whole regulation step hold it; it is
// never held across a sleep. The cooler thread takes this lock and the USB lock
// only, never the control lock, so that whoever stops the thread (a close, a
// destructor, a caller holding the control lock) can join it and its last act,
// switching the cooler off, always runs. Callers may take m_csCooler while
// holding m_csControl, never the other way round. Fields that callers read
// without the lock are std::atomic.
#ifndef KYR_CAMERA_COOL_H
#define KYR_CAMERA_COOL_H

#include <stdint.h>

#include <atomic>

#include "camera/CameraBase.h"

// One row of the cooler table: a DA level and the cooler power it gives.
// 12 bytes, the double unaligned, like the thermistor table.
#pragma pack(push, 4)
struct COOLER_DA_ROW {
    int32_t iDA;
    double dCoef;
};
#pragma pack(pop)
static_assert(sizeof(COOLER_DA_ROW) == 12, "a cooler row is 12 bytes");

constexpr int kCoolerDARows = 14;
// DA falls and power rises row by row, from 255 (off) to 20 (6.4).
extern const COOLER_DA_ROW g_CoolerDATable[kCoolerDARows];

class CCameraCool : public CCameraBase {
  public:
    CCameraCool();
    // Stops the cooler thread (which switches the cooler off), then the base.
    ~CCameraCool() override;

    // Stops the cooler thread, whether or not the device is still there, then
    // closes as the base does.
    void CloseCamera() override;
    // While the cooler thread runs, the reading it keeps (no second request);
    // otherwise a new reading.
    float GetTemp() override;
    // The cooler controls TargetTemp, CoolerOn, FanOn and AntiDewHeater, and
    // the cooler power read back; every other control as the base has it.
    int SetControlValue(KYR_CONTROL_TYPE controlType, long lValue, bool bAuto) override;
    int GetControlValue(KYR_CONTROL_TYPE controlType, long* plValue, KYR_BOOL* pbAuto) override;

    // Limits CalculDA to the DA of the table row nearest to iLevel (a tie goes
    // to the higher DA); 100 % power maps to that row's power.
    void InitCooling(int iLevel);
    // Sends a DA level unless it is the one last sent. Cooler control type 1
    // drives FPGA register 38 with 220 * (272 - DA) / 256; the others send
    // request 0xB2. False when the transfer failed; the level is then sent
    // again by the next call, even an unchanged one.
    bool SetDA(int iDA);
    // DA level of a cooler power (0 ... 6.4), limited to m_fCoolDA ... m_fCoolDAMax.
    int CalculDA(float fPower) const;
    // Percent of the allowed power a DA level gives.
    int CalculIPerc(int iDA) const;
    // Fan on when iPercent > 0; the DA of the percentage (cut to 0 ... 100) of
    // the allowed power; the result is SetDA's.
    bool SetPowerPerc(float fPercent);
    void PID_init(float fKp, float fKi, float fKd);
    // Regulation on or off toward fTarget (cut to -40 ... 30). Switching on
    // reads the temperature and starts the set-point ramp there.
    void SetAutoTemp(bool bOn, float fTarget);
    bool StartAutoTempThr();
    // Stops and joins the cooler thread; the thread switches the cooler off.
    void StopAutoTempThr();
    // One regulation step with the temperature fTemp.
    void AutoTemp(float fTemp);
    static void AutoTempFunc(std::atomic<bool>* pbRunning, void* pCamera);
    // False on firmware below 0x30 or without a cooler.
    bool SetFanOn(bool bOn);
    bool GetFanOn();
    bool SetLensHeat(long lOn);
    bool GetLensHeat();
    // Relative humidity in percent; the last good value when the read fails.
    int GetHumidity();

    // ---- Fields, after the CCameraBase fields --------------------------------
    ThreadCtrl m_thrAutoTemp;
    float m_fCoolDA = 0.0f;              // lowest DA CalculDA returns (most power allowed)
    float m_fCoolDAMax = 0.0f;           // highest DA of the table (off)
    float m_fCoolPowerMax = 0.0f;        // power that 100 % maps to
    float m_fCoolPowerMin = 0.0f;        // lowest power of the table
    std::atomic<int> m_iCoolDA{0};       // the DA last set (as sent)
    std::atomic<int> m_iCoolDALast{-1};  // the DA last sent, -1 none
    uint32_t m_iAutoTempState = 0;       // tick of the last reading regulation accepted, 0 none
    float m_fLastTemp = -100.0f;         // that reading
    float m_fPidError = 0.0f;            // set-point minus temperature
    float m_fPidLastErr = -200.0f;       // previous error, -200 none
    float m_fPidKp = 0.0f;
    float m_fPidKi = 0.0f;
    float m_fPidKd = 0.0f;
    float m_fPidResult = 0.0f;  // last PID result, percent of power
    float m_fPidIntegral = 0.0f;
    float m_fPidLimitHigh = 0.0f;
    float m_fPidLimitLow = 0.0f;
    std::atomic<bool> m_bAutoTempStarted{false};  // the set-point ramp is active
    int m_iStartTemp = 0;                         // whole degrees when regulation went on
    std::atomic<int> m_iAutoTargetTemp{0};        // where the ramp ends
    uint64_t m_dwAutoTempTick = 0;                // start of the ramp
    int m_iRampSpanC = 35;                        // the ramp's reference slope: degrees ...
    int m_iRampSpanSec = 550;                     // ... in seconds
    int m_iRampPeriodSec = 15;                    // seconds per ramp period
    uint64_t m_dwRampTick = 0;                    // last set-point update
    std::atomic<float> m_fRampSetPoint{0.0f};
    std::atomic<bool> m_bRampReached{false};  // the temperature reached the ramped set-point once

    // The cooler lock (recursive).
    S_MUTEX_UNIX m_csCooler;

  private:
    // The value SetDA would send for a DA level.
    int DAToSend(int iDA) const;
    // The percentage SetPowerPerc would keep, and the value it would send.
    float LimitPercent(float fPercent) const;
    int SentForPercent(float fPercent) const;
    // The power percentage a step with PID result fResult moves to from
    // fPercent, far enough to change the DA level sent.
    float StepPercent(float fPercent, float fResult) const;
};

#endif

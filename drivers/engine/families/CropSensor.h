// The crop-sensor family (the 807 and 811 sensors) on the driver engine: the
// crop window programmer and law set (SCropSensorDesc) with the family's
// registers, constants and long-exposure script. A model describes its
// numbers and its modes' kinds; the engine runs them.
#ifndef KYR_CROP_SENSOR_H
#define KYR_CROP_SENSOR_H

#include "engine/DriverDesc.h"
#include "engine/laws/CropSensorRule.h"

// The constants the family's models share: gain 0 .. 570 (200), offset
// 0 .. 80 (8), exposure 32 us .. 2000 s (10 ms), gamma 1 .. 100 (50),
// bandwidth 40 .. 100 % (80, automatic), 3.99 e-/ADU, 20 MHz clock, USB 3,
// gain, exposure, offset, bandwidth, temperature and high-speed controls,
// the guide port; RG colour with white balance and every image type as the
// template's. Names, sizes, bins, ADC width and HMAX are the model's.
SModelConstants CropSensorModelConstants();
// The family's registers and laws: crop,
// position, cut and readout-size registers, the power-law gain with its
// conversion bit and 6 dB digital steps, the shutter from a 13.73 us offset
// with its blanking registers, the line length at 3.6 x HMAX and the
// sensor's 72 MHz rate clock; descriptions start from it.
SCropSensorDesc CropSensorFamily();
// A long exposure of the family: each pass the FPGA's wait and trigger
// modes (in the model's order) in one step; the trigger rises at once; from
// a second on the sensor parks (0x3111 = 1) after 100 ms, low power 50 ms
// later, the wait runs in the model's steps until its margin before the
// end, the horizontal sync stops after the model's step (DDR or USB 3); low
// power off, the model's pause, the sensor back, 50 ms; the sync runs again
// (DDR or USB 3), the trigger falls, and the frame has 2000 ms to come (a
// frame the DDR sends again the model's wait), at most 3 reloads in a row.
struct SCropLongExp {
    bool bWaitModeFirst;   // the wait mode before the trigger mode each pass
    uint32_t uStepMs;      // the wait's step
    uint32_t uEndMarginMs;  // the wait ends this long before the exposure's end
    int iXHSStopStep;      // the horizontal sync stops after this many steps
    uint32_t uLowPowerOffPauseMs;  // pause after low power goes off
    uint32_t uReloadWaitMs;        // first-transfer wait after a reload; 0: 2000 ms
    const char* szBeginLog;        // logged with the exposure in ms as the wait begins
};
// The script of one model's numbers, with the actions it points at.
class CCropLongExpScript {
  public:
    explicit CCropLongExpScript(const SCropLongExp& p);
    CCropLongExpScript(const CCropLongExpScript&) = delete;
    CCropLongExpScript& operator=(const CCropLongExpScript&) = delete;
    const SLongExpScript& Script() const { return m_Script; }

  private:
    SLongExpAction m_EveryPass[2];
    SLongExpAction m_Open[1];
    SLongExpAction m_BeforeSteps[5];
    SLongExpStep m_Steps[1];
    SLongExpAction m_AfterSteps[4];
    SLongExpAction m_Close[2];
    SLongExpScript m_Script;
};

// The description fields the family's models share: hold 0x302B, standby
// 0x3000, host constants, clock, automatic bandwidth of 80 % on either host,
// the crop window and laws over pCrop, the sensor's binning following the
// bin, and the standby rows at the end of initialisation.
void ApplyCropSensorFamily(SDriverDesc* pDesc, const SCropSensorDesc* pCrop);

#endif

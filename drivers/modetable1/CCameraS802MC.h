// The 802 model: a 4072 x 3040 colour camera with a 12-bit sensor of 1.85 um
// pixels, no sensor binning, no DDR frame buffer and no register hold. Its
// FPGA is programmed by raw register writes with the driver's own shadow of
// the control word; the window is placed by the FPGA over a sensor that
// reads out a fixed frame of 3083 lines.
#ifndef KYR_CCAMERA_S802MC_H
#define KYR_CCAMERA_S802MC_H

#include <stdint.h>

#include <utility>

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS802MC;

class CCameraS802MC : public CEngineDriver<CCameraBase> {
  public:
    CCameraS802MC();

    // The window of the geometry in force into the members below.
    void CalcParaVal();

    // The pair of sensor registers 0x0352 / 0x0356 that goes with the analog
    // gain code r, in the 10-bit mode or the 12-bit one.
    static std::pair<int, int> GainPair(int iCode, bool b10Bit);

    int m_iFPGAHStart = 0;  // FPGA horizontal start: window start x + 96
    int m_iFPGAVStart = 0;  // FPGA vertical start: window start y + 22
    int m_iSensorRows = 0;  // rows read out: height x bin
    int m_iSensorCols = 0;  // columns read out: width x bin
    int m_iVMAXBase = 0;    // frame length in lines, always 3083
    // Register 0 as this driver last set it; nothing else writes register 0.
    uint8_t m_ucFPGACtrlShadow = 0;

  protected:
    bool ChangeFPGACtrl(uint8_t ucClear, uint8_t ucSet, bool bWrite) override;
    SFpgaWindow CalcWindow() override;
};

#endif

// The 831 model: a colour camera with a 12-bit sensor of 3.45 um pixels in
// the FPGA-timed family, with a register set of its own (hold 0x3008, linear
// gain, shutter at 0x308D-0x308F, window at 0x3310-0x3317), two sensor
// modes, a register block for very long exposures and a long-exposure wait
// in 200 ms steps. CCameraS831MC is the uncooled 1456 x 1088 camera without
// the DDR frame buffer; its cooled twin is described by this description
// with its own differences.
#ifndef KYR_CCAMERA_S831MC_H
#define KYR_CCAMERA_S831MC_H

#include "engine/EngineDriver.h"

extern const SDriverDesc g_DescS831MC;

// The 831's driver: the FPGA-timed family's, with the output width set
// again once a new geometry's start is placed.
template <class TBase>
class CS831Driver : public CEngineDriver<TBase> {
  public:
    using CEngineDriver<TBase>::CEngineDriver;

  protected:
    bool ProgramOutputWidth(bool b16) override { return this->SetOutput16Bits(b16); }
};

class CCameraS831MC : public CS831Driver<CCameraBase> {
  public:
    CCameraS831MC();
};

#endif

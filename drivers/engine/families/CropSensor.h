// The crop-sensor family (the 807 and 811 sensors): a sensor that reads a
// window cropped from its columns and cut from its rows, bins 2 x 2 in a mode
// of its own for bins 2 and 4, takes its line length from the FPGA's HMAX
// times a factor, gains in a power law with 6 dB digital steps and counts its
// exposure from a fixed offset. A model describes its numbers in an
// SCropSensorDesc; CCropSensorDriver runs them on the driver engine.
#ifndef KYR_CROP_SENSOR_H
#define KYR_CROP_SENSOR_H

#include "engine/EngineDriver.h"

// The horizontal crop of one kind of mode, in sensor columns: the start is
// (x / iStartDiv) * iStartMul + iStartBase, the end
// iEndBase - 4 * ((iEndRef - start - columns + iEndSlack) / 4).
struct SCropColumns {
    int iStartDiv, iStartMul, iStartBase;
    int iEndBase, iEndRef, iEndSlack;
};

// What one kind of mode (full resolution or sensor binning) times with.
struct SCropModeTiming {
    int iExtraRows;    // rows added to the readout rows in the frame time
    int iLineDivisor;  // the line time is HMAX's time divided by it
    int iVBLK;         // FPGA VBLK
    int iMinHMAXUsed;  // shortest line the bandwidth uses; 0: the mode's
    int iPosDiv;       // vertical position = start row / it
    SCropColumns crop;
    int iVMAXRows;  // VMAX within a frame: (rows + it) / iVMAXDiv
    int iVMAXDiv;
    int iSHRLong;           // shutter line of an exposure longer than a frame
    double dExposureScale;  // exposure lines = (exposure - offset) / line x it
    int iBlankingBase;      // long mode: X = VMAX - it (at most uBlankingMax)
    int iRateRows;          // the sensor rate counts (rows + it) / iRateDiv lines
    int iRateDiv;
    uint8_t ucCropMode;  // written to the crop-mode register
    int iVMAXLong = 0;   // VMAX of an exposure longer than a frame: lines + it; 0: iSHRLong
};

// One byte of the per-bin pixel offsets that the model sets after the
// settings are loaded.
struct SPresetByte {
    int iIndex;
    uint8_t ucValue;
};

struct SCropSensorDesc {
    const SPresetByte* pPresetBytes;
    int iPresetBytes;
    SRegTable initFirstRows;  // written before the start-up table, outside any hold
    // Sensor binning with high speed (8-bit data only); the binning's mode
    // otherwise is the description's sensorBin mode.
    const SSensorMode* pModeBinHighSpeed;
    SCropModeTiming full, binning;
    uint16_t usRegCropStart, usRegCropEnd, usRegPos, usRegCut, usRegCropMode;
    SRegTable cropEnableRows;  // written first inside the crop's hold
    int iCutRowsFull;          // full resolution: cut = (it - rows) / 4
    int iCutRowsBin;           // binning: cut = (it - rows) / 4 from rows iCutMinRows on, else iCutDefault
    int iCutMinRows, iCutDefault;
    // Readout-size registers (rows + offset each), low byte first.
    uint16_t usRegRowsA, usRegRowsB;
    int iRowsAOffset, iRowsBOffset;
    int iFPGAHBLK;
    // Gain: the analog code is the power law of x with iAnalogScale
    // (PowerLawGainCode); the conversion bit in binning from iConvGainAt, the
    // digital 6 dB steps above the analog top.
    uint16_t usRegConvGain, usRegAnalog, usRegDigital;
    int iConvGainAt;
    int iAnalogTopFull, iAnalogTopBin;
    int iDigitalStep;
    int iAnalogScale;
    // Exposure.
    double dExposureOffsetUs;
    uint16_t usRegSHR;
    uint16_t usRegsBlanking[4];   // each written X
    uint16_t usRegBlankingLess5;  // written X - 5
    uint32_t uBlankingOutside;    // X outside long mode
    uint32_t uBlankingMax;
    uint32_t uVMAXMax;
    uint64_t ullLongFromUs;      // long mode from this exposure on
    uint64_t ullLongFromUsUSB2;  // on a USB 2 host; 0: ullLongFromUs
    // In long mode the sensor runs a frame of the frame time plus this at
    // full resolution, the frame time in binning; -1: the exposure itself.
    int iLongPadUs;
    // Bandwidth.
    long long llCapPixels;  // without the DDR on USB 3: above these readout pixels the percentage is capped
    int iCapFull, iCapBin;  // ... to these, when it exceeds them
    int iCapBinUSB2;        // without the DDR on USB 2 in binning
    double dLineLengthFactor;  // sensor line length = HMAX x it + iLineLengthOffset
    int iLineLengthOffset;
    int iLineLengthMax;
    uint16_t usRegLineLengthA, usRegLineLengthB;
    double dRateClock;  // the sensor rate: it / (line length x lines)

    // ---- Differences of later models; zero keeps the 807's behaviour ----
    // The sensor reads in its binning mode at all times: timing, crop, cut,
    // gain and blanking are the binning kind's, and every bin is binned in
    // software (the description has no sensor-binning mode).
    bool bAlwaysBinning = false;
    bool bCropEndAligned = false;    // the crop end's low byte is written with its two low bits cleared
    bool bHighSpeed8BitOnly = false;  // the high-speed mode runs 8-bit data only (else any width)
};

template <class TBase>
class CCropSensorDriver : public CEngineDriver<TBase> {
  public:
    CCropSensorDriver(const SDriverDesc& desc, const SCropSensorDesc& crop);

    bool InitCamera() override;
    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) override;
    bool SetStartPos(int iStartX, int iStartY) override;
    bool SetGain(int iGain, bool bAuto) override;
    bool SetHighSpeedMode(bool bOn) override;
    bool SetHardwareBin(bool bOn) override;
    bool SetFPSPerc(int iPercent, bool bAuto) override;
    bool SetExp(unsigned long long ullExposureUs, bool bAuto) override;

    bool Cam_SetResolution();
    bool SetOutput16Bits(bool bOn);
    void CalcFrameTime();
    void CalcMaxFPS();
    // Sensor binning in force (bins 2 and 4 with the flag set).
    bool Binning() const;
    // The sensor times, crops and gains in its binning mode.
    bool BinTiming() const { return Binning() || m_Crop.bAlwaysBinning; }
    // Exposures from here on run in long mode, for this camera on its host.
    uint64_t LongFromUs() const;

  protected:
    const SSensorMode* SelectSensorMode(bool bSensorBin, int iBin, bool bHighSpeed, bool b16) override;

  private:
    const SCropModeTiming& Timing() const { return BinTiming() ? m_Crop.binning : m_Crop.full; }
    double LineUs() const;
    bool CheckGeometry(int iWidth, int iHeight, int iBin, int iType);
    // Stores and programs a checked geometry; a geometry whose plans did not
    // run whole is not stored: the old one stays and is programmed again.
    bool ApplyGeometry(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType);
    // Programs the stored start, output width (b16), window and the timing
    // that follows them; true when the geometry's plans ran whole, and in
    // *pbTiming whether the timing setters succeeded.
    bool ProgramGeometry(bool b16, bool* pbTiming);
    // Stores and programs a start; true when its plan ran whole, and in
    // *pbExp the result of the exposure that follows it.
    bool PlaceStart(int iStartX, int iStartY, bool* pbExp);
    // Sets the mode of these flags, stores them once it is set, and programs
    // the geometry again.
    bool ApplyMode(bool bHardwareBin, bool bHighSpeed);

    const SCropSensorDesc& m_Crop;
};

// The constants the family's models share: gain 0 .. 570 (200), offset
// 0 .. 80 (8), exposure 32 us .. 2000 s (10 ms), gamma 1 .. 100 (50),
// bandwidth 40 .. 100 % (80, automatic), 3.99 e-/ADU, 20 MHz clock, USB 3,
// gain, exposure, offset, bandwidth, temperature and high-speed controls,
// the guide port; RG colour with white balance and every image type as the
// template's. Names, sizes, bins, ADC width and HMAX are the model's.
SModelConstants CropSensorModelConstants();
// The family's registers and laws: hold 0x302B, standby 0x3000, crop,
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

// The description fields the family's models share (hold, standby, host
// constants, clock, automatic bandwidth of 80 % on either host).
void ApplyCropSensorFamily(SDriverDesc* pDesc);

#endif

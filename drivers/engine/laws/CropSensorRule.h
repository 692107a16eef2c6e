// The crop sensor's rule (the 807 and 811 sensors): a sensor that reads a
// window cropped from its columns and cut from its rows, bins 2 x 2 in a mode
// of its own, takes its line length from the FPGA's HMAX times a factor,
// gains in a power law with 6 dB digital steps and counts its exposure from
// a fixed offset. The window programmer WINDOW_CROP and the law set
// LAWS_CROP run it; each sensor mode carries the timing of its kind (full
// resolution or binning) in SSensorMode::pCropTiming.
#ifndef KYR_CROP_SENSOR_RULE_H
#define KYR_CROP_SENSOR_RULE_H

#include <stdint.h>

#include "engine/DriverDesc.h"

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
    // The kind reads the sensor's binning readout: the rows are cut at the
    // start, the FPGA's blanking goes with the size, the gain has its
    // conversion switch, and a long exposure runs frames of the frame time.
    bool bBinning = false;
};

struct SCropSensorDesc {
    uint16_t usRegCropStart, usRegCropEnd, usRegPos, usRegCut, usRegCropMode;
    uint8_t ucCropEndLowMask;  // bits of the crop end's low byte written
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
};

#endif

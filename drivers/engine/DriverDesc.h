// The description of one camera model that the driver engine runs: the
// model's constants (stored into the camera object by the constructor), its
// sensor tables and modes, its window registers, host constants and limits.
// A driver class file holds one of these, its tables and nothing else but
// its true differences.
#ifndef KYR_DRIVER_DESC_H
#define KYR_DRIVER_DESC_H

#include <stdint.h>

#include "engine/RegPlan.h"
#include "usb/FpgaRegs.h"

// Bins the tables are indexed by: 0 .. kDescMaxBin.
constexpr int kDescMaxBin = 8;

// The constants a model's constructor stores into the camera object.
struct SModelConstants {
    const char* szName;       // m_pszName
    const char* szShortName;  // m_pszShortName, the settings key
    int iPID, iVID;
    double dPixelSize;
    int iADCBits;
    int iMaxExpUs;
    int iBayer;
    bool bColor;  // also the white-balance controls
    int iBandwidthMin, iBandwidthMax;
    uint8_t ucBins[8];  // bins after 1, ended by 0
    int iGainMax, iGainMin, iGainDef;
    int iExpMax, iExpMin, iExpDef;
    int iGammaMax, iGammaMin, iGammaDef;
    int iHeaterLevel;
    int iAutoGainMax;
    int iOffsetHighestDR, iOffsetUnityGain, iOffsetLowestRN;
    int iGainLowestRN, iUnityGain;
    bool bUSB3Camera;
    bool bCapAutoBandWidth;
    int iWBMax, iWBMin, iWBRDef, iWBBDef;
    int iMaxWidth, iMaxHeight;
    bool bFPGAMonoBin;
    float fElecPerADU;
    int iOffsetDef, iOffsetMax, iOffsetMin;
    bool bCapGain, bCapExposure, bCapOffset, bCapBandWidth;
    bool bCapTemperature, bCapHighSpeed;
    bool bCapRaw8, bCapRGB24, bCapY8, bCapRaw16;
    int iST4;  // 1 or 0 stored; -1 the base's value is kept
    bool bTriggerCam;
    int iTempSensorType;
    bool bAutoFPS;
    bool bDDREnable;
    int iFclk;  // kHz
    int iFPSPerc, iFPSPercUSB3Def;
    uint16_t usHMAX;
    int iCoolerCtrlType;
    bool bCapAntiDew = false;  // the anti-dew heater control is offered
};

// One sensor readout mode.
struct SCropModeTiming;
struct SCropSensorDesc;

struct SSensorMode {
    const char* szName;
    SRegTable regs;       // the mode's sensor writes, inside the hold; empty: a mode without a loader
    ADC_BIT eAdc;         // FPGA ADC width
    bool bOut16FromType;  // FPGA output 16-bit for 16-bit types (false: always 8-bit)
    int iVBLK;            // lines added to the sensor window, and the FPGA's VBLK
    int iHBLK;            // FPGA HBLK base
    int iMinHMAX;         // shortest line of the mode, clocks
    int iExtraLines;      // lines added to the readout rows for VMAX and the frame time
    int iClockKHz = 0;    // the mode's sensor clock; 0: the model's fixed clock
    int iAlignX = 0, iAlignY = 0;         // start alignment in the mode; 0: the model's
    int iStartOffsetY = 0;                // lines added to the start row written to the sensor
    SRegTable commonRegs = {nullptr, 0};  // written before regs, in the same hold; empty: none

    // Written after regs: only the masked bits of registers shared with
    // other settings; empty: none.
    SRegBitsTable bitRows = {};
    // Clocks the sensor's shutter starts late in the mode (exposure rules that use it).
    int iShutterOffsetClocks = 0;
    // The FPGA's sensor data lanes the mode sets (an LVDS_CHANNEL), with the
    // FPGA's part of the mode; -1: the mode leaves them as they are.
    int iLanes = -1;
    // The timing of the mode for the crop-sensor laws (LAWS_CROP): the
    // full-resolution or the binning kind; null elsewhere.
    const SCropModeTiming* pCropTiming = nullptr;
    // Rows added to the readout rows in the sensor's window height by the
    // switched-crop window in this mode; -1: the window rule's (its binned
    // rows while the sensor reads whole lines, else none).
    int iWindowRowsAdd = -1;
};

// One byte of the per-bin pixel offsets of the hot-pixel map and dark frame
// that a model sets after the settings are loaded.
struct SPresetByte {
    int iIndex;
    uint8_t ucValue;
};

// Sensor binning of one bin.
struct SSensorBin {
    int iSensorFactor;         // what the sensor bins (2 = 2 x 2); 0: all in software; 1: the mode
                               // changes only the sensor's timing, the software bins it all
    const SSensorMode* pMode;  // the mode that does it
    // The bin's high-speed mode for 8-bit data; null: pMode at every speed.
    const SSensorMode* pModeHighSpeed = nullptr;
};

// The per-object timing words as a model's first mode leaves them.
struct STimingInit {
    int iVBLK, iHBLK, iMinHMAX, iExtraLines, iUSBBandwidth;
};

// ---- Long exposures ---------------------------------------------------------------

// Exposures from the model's long-exposure threshold on are timed by the
// capture thread: the FPGA's wait and trigger modes hold the frame, the
// thread raises the trigger signal, waits out the exposure on the host and
// drops the signal, and the FPGA reads the frame out. What happens around
// that wait is a script of actions.
enum LONG_EXP_OP : uint8_t {
    LONG_OP_PAUSE = 0,       // sleep uArg ms, no lock held
    LONG_OP_TRIGGER_SIGNAL,  // EnableFPGATriggerSignal(uArg != 0); rising, it starts the wait's clock
    LONG_OP_WAIT_MODE,       // EnableFPGAWaitMode(uArg != 0)
    LONG_OP_TRIGGER_MODE,    // EnableFPGATriggerMode(uArg != 0)
    LONG_OP_LOW_POWER,       // EnableLowPower(uArg != 0)
    LONG_OP_XHS_STOP,        // EnableFPGAXHSStop(uArg != 0)
    LONG_OP_SENSOR,          // WriteSONYREG(usReg, uArg)
    // Re-synchronisation on FPGA status bit 4: while it reads clear, up to
    // uArg tries of FPGAStop, 5 ms, FPGAStart, 20 ms; still clear ends the capture.
    LONG_OP_SYNC,
    LONG_OP_MODEL,     // the driver's LongExpAction(uArg), for what a model alone does
    LONG_OP_LOG_WAIT,  // logs "wait:%ld\n" with the milliseconds since the trigger rose
    // The script's begin line (szBeginLog) at this place of the opening; an
    // opening without it has the line logged before its first action.
    LONG_OP_LOG_BEGIN,
};

// When an action runs.
enum LONG_EXP_WHEN : uint8_t {
    LONG_WHEN_ALWAYS = 0,
    LONG_WHEN_DDR_OR_USB3 = 1,  // the DDR is on or the host is USB 3
};

struct SLongExpAction {
    LONG_EXP_OP eOp;
    uint32_t uArg;   // PAUSE: ms; switches: 1 on, 0 off; SENSOR: value; SYNC: tries; MODEL: the model's code
    uint16_t usReg;  // SENSOR: register
    LONG_EXP_WHEN eWhen;
};

struct SLongExpActions {
    const SLongExpAction* pActions;
    int iCount;
};

template <int N>
constexpr SLongExpActions LongExpActions(const SLongExpAction (&actions)[N]) {
    return {actions, N};
}

// ---- Exposure, gain, offset and bandwidth strategies ----------------------------

// What a gain in 0.1 dB steps programs: the gain stored (clamped), the
// sensor's gain code and its conversion-gain switch.
struct SGainCode {
    int iGain;
    uint16_t usCode;
    bool bHighConvGain;
};

// One band of a gain map whose sensor takes other settings by gain range:
// from iFrom (0.1 dB) on, up to the next band's, the rows are written.
struct SGainBand {
    int iFrom;
    SRegTable rows;
};

struct SGainRule {
    SGainCode (*fnMap)(int iGain);  // the model's gain map
    uint16_t usRegConvGain;         // conversion-gain switch; 0: the sensor has none
    uint16_t usRegCode;             // gain code, low byte first
    int iCodeBytes;
    // An FPGA register written, inside the update latch, before the
    // sensor's gain; register 0 (the control word): none.
    uint16_t usFPGARegBefore = 0;
    uint8_t ucFPGAValueBefore = 0;
    // A switch that shares its register with other settings is changed bit
    // by bit (read-modify-write): high conversion gain sets the bits of
    // ucConvGainOnBits, low clears those of ucConvGainOffMask. Both 0: the
    // register is the switch alone and takes 1 or 0.
    uint8_t ucConvGainOnBits = 0;
    uint8_t ucConvGainOffMask = 0;
    // Digital gain in whole steps above an analog range: a gain above
    // iDigitalFrom takes the fewest steps of iDigitalStep that bring the rest
    // to iDigitalFrom or below, and the rest goes through fnMap. 0: analog only.
    int iDigitalFrom = 0;
    int iDigitalStep = 0;
    uint16_t usRegDigital = 0;  // the step count; written when iDigitalStep is set
    // The gain's registers depend on the sensor mode: a new geometry writes them again.
    bool bFollowsMode = false;
    // The model's writes that follow the gain code in the sensor mode in force; null: none.
    void (*fnModeWrites)(CRegPlan& plan, uint16_t usCode, const SSensorMode& mode) = nullptr;
    // A power law in place of fnMap: the gain clamped to the model's range,
    // code = trunc(scale - scale x 10^(-gain / 200)); 0: fnMap.
    int iPowerLawScale = 0;
    // With the power law: from this gain on the conversion-gain switch is on
    // and the code is the power law of gain - iConvGainFrom; the switch is
    // then written after the codes. 0: the switch stays off.
    int iConvGainFrom = 0;
    // The digital register holds the step count times this; 0: 1.
    int iDigitalScale = 0;
    // The code also to this register pair, low byte first (a sensor whose
    // two gain channels take one value); 0: none.
    uint16_t usRegCodeCopy = 0;
    // Bands by the gain stored, in rising order: the rows of the band the
    // gain falls in are written before the codes, inside the same frame;
    // none: no bands.
    const SGainBand* pBands = nullptr;
    int iBands = 0;
};

// How a sensor mode switch is framed by the masters that frame it with the
// sensor's hold (the FPGA setters, a sensor that times itself). Zero: the
// FPGA's data format for the mode and the mode's rows, together inside the
// hold.
struct SModeSwitchRule {
    bool bUnheld = false;           // the mode's writes go to the sensor outside the hold
    bool bKeepsDataFormat = false;  // the FPGA's data format is left to the output width (SetOutput16Bits)
    bool bDataFormatLast = false;   // the FPGA's data format follows the mode's rows (else it precedes them)
};

// Where the start-up command (VR_CMD_AF) goes in the FPGA's start-up.
enum START_CMD_PLACE : int {
    START_CMD_AFTER_RESET = 0,   // after the FPGA reset and its pause, before the sensor's rows that follow
    START_CMD_AFTER_SET_UP = 1,  // at the end of the FPGA's set-up, once the sensor is started
};

class CTimingMaster;
struct SCaptureParams;

// How a value of several bytes goes into its registers.
enum REG_BYTE_ORDER : int {
    BYTES_LOW_FIRST = 0,     // consecutive registers, the low byte first
    BYTES_HIGH_FIRST = 1,    // the same registers and bytes, the highest register first
    BYTES_ONE_REGISTER = 2,  // every byte into the one register, the highest first
};

// The black level register; the range is the model's offset range.
struct SOffsetRule {
    uint16_t usReg;  // the low byte's register; the higher bytes follow it
    int iBytes;
    int iScale = 0;                 // the register holds offset x scale; 0: the offset itself
    uint8_t ucLowMask = 0;          // bits of the low byte kept; 0: all
    bool bUnheld = false;           // written without the register hold
    REG_BYTE_ORDER eOrder = BYTES_LOW_FIRST;
    uint16_t usRegCopy = 0;  // the same value also to this register pair (low first); 0: none
    // While the sensor bins, the register holds offset x iBinnedMul / iBinnedDiv
    // (integer arithmetic); iBinnedDiv 0: the value above.
    int iBinnedMul = 0, iBinnedDiv = 0;
};

// What the exposure rule works from.
struct SExposureInput {
    double dExposureUs;  // the exposure the sensor is programmed for
    double dLineUs;      // line time
    int iRows;           // readout rows
    int iExtraLines;     // lines added to the readout rows
    bool bSensorBin;     // sensor binning active
    uint32_t uFrameUs;   // frame time of the readout

    // Sensor clock (kHz) and line length (clocks).
    int iClockKHz = 0;
    int iHMAX = 0;
    // The mode's shutter offset (SSensorMode::iShutterOffsetClocks).
    int iOffsetClocks = 0;
    // Frame length of the model's fixed frame; 0: the readout's.
    int iFixedVMAX = 0;
    bool bSnap = false;  // a single exposure is (or was last) taken
};

// Frame length and shutter line of one exposure.
struct SExposureRegs {
    uint32_t uVMAX;
    uint32_t uSHR;
};

// How a long exposure is programmed into the sensor while the FPGA times it.
enum LONG_EXP_PROGRAM : int {
    LONG_EXP_FRAME_PLUS_PAD = 0,  // frame time + uLongPadUs (0: the frame time)
    LONG_EXP_EXPOSURE = 1,        // the exposure itself
};

// How sensor binning sizes the frame of ShutterLineExposure.
enum BIN_FRAME : int {
    // (rows + extra lines + iBinExtraLines) x 2; longer than a frame: lines + iLongBinExtraLines
    BIN_FRAME_PADDED = 0,
    // 2 x rows + extra lines; longer than a frame: (lines + iLongExtraLines) x 2
    BIN_FRAME_ROWS_DOUBLED = 1,
    // the readout's: rows + extra lines; longer than a frame: lines + iLongBinExtraLines
    BIN_FRAME_UNCHANGED = 2,
};

// The register block of sensors that take very long exposures in a mode of
// their own. An exposure longer than the frame time + uBeyondFrameUs gets a
// line count L = min(bin x image height + iLinesAdd, iLinesMax), 2 bytes low
// first, at each of usRegLines, then the rows of onRows; any other exposure
// gets only the rows of offRows.
struct SLongExpRegBlock {
    uint32_t uBeyondFrameUs;
    uint16_t usRegLines[2];
    int iLinesAdd;
    int iLinesMax;
    SRegTable onRows;
    SRegTable offRows;
};

// The line count L of the block for bin x image height readout lines.
uint32_t LongExpRegLines(const SLongExpRegBlock& block, long long llBinnedRows);
// Adds the block's writes for an exposure to a plan (inside its hold).
void AddLongExpRegs(CRegPlan* pPlan, const SLongExpRegBlock& block, unsigned long long ullExposureUs,
                    uint32_t uFrameUs, long long llBinnedRows);

struct SExposureRule;
using ExposureFn = SExposureRegs (*)(const SExposureRule& rule, const SExposureInput& in);

struct SExposureRule {
    ExposureFn fnCompute;  // VMAX and shutter from the exposure; other shutter encodings bring their own
    uint16_t usRegSHR;     // shutter register, low byte first
    int iSHRBytes;
    int iMinSHR;             // shortest shutter line (also the gap to VMAX)
    int iBinExtraLines = 0;  // added to rows + extra lines before doubling with sensor binning
    int iLongExtraLines;     // added to the exposure lines of an exposure longer than a frame
    int iLongBinExtraLines;  // the same with sensor binning
    uint32_t uVMAXMax;       // VMAX cap
    uint32_t uSHRLimit;      // a shutter line from here on is written as uSHRMax
    uint32_t uSHRMax;
    int iExpLinesGap;        // exposure lines = VMAX - gap - SHR
    uint64_t ullLongFromUs;  // long-exposure mode from this exposure on
    uint64_t ullLongFromUsUSB2 = 0;  // the same on a USB 2 host; 0: ullLongFromUs
    LONG_EXP_PROGRAM eLongProgram;
    uint32_t uLongPadUs = 0;
    BIN_FRAME eBinFrame = BIN_FRAME_PADDED;  // how sensor binning sizes the frame
    int iLongBinSHR = 0;  // shutter line of an exposure longer than a frame with sensor binning; 0: iMinSHR
    // Sensors that count an exposure after a fixed offset time, from the
    // stored high-speed flag (0: none).
    double dOffsetUs = 0, dOffsetUsHighSpeed = 0;
    int iHardwareBinMinSHR = 0;    // shortest shutter line with the hardware bin on at a bin that
                                   // has a hardware-bin mode; 0: iMinSHR
    bool bLongAddsMinSHR = false;  // a frame longer than the readout adds the shortest shutter line
    uint16_t usRegSensorVMAX = 0;  // VMAX also to these sensor registers, low byte first; 0: none
    int iSensorVMAXBytes = 0;
    // Entering long mode leaves the FPGA's wait and trigger modes to the
    // capture loop (the long-exposure script's every-pass actions); false:
    // SetExp switches them on with the mode (the template's way). Leaving
    // long mode always switches them off in SetExp.
    bool bLongModeArmedByCapture = false;
    // Frame-length exposures (FrameLengthExposure): the exposure lines are
    // counted after dOffsetUs; a frame within the readout is rows +
    // iVMAXBase lines, rows + iVMAXBaseSnap in a single exposure (0: the
    // same), and the run's mode is programmed at the start of every run.
    int iVMAXBase = 0;
    int iVMAXBaseSnap = 0;
    bool bFPGAVMAXInHold = false;  // the FPGA's VMAX is written inside the sensor hold with the shutter
    // Run in SetExp's plan as long mode begins and ends (for example low
    // power for as long as long-exposure mode lasts); empty: none.
    SLongExpActions longModeOn = {nullptr, 0};
    SLongExpActions longModeOff = {nullptr, 0};
    // Sensor registers of very long exposures, written inside the hold
    // between the FPGA's frame length and the shutter line; null: none.
    const SLongExpRegBlock* pLongExpRegs = nullptr;
    // Shutter line of an exposure longer than a frame without sensor
    // binning; 0: iMinSHR.
    int iLongSHR = 0;
    // Leaving long mode sets the FPGA's wait mode for the host (on for USB
    // 2) and keeps its trigger mode in a trigger camera mode, wait first;
    // false: both off, trigger first.
    bool bLongExitToCameraMode = false;
    // The log lines of entering and leaving long mode.
    const char* szEnterLongLog = "Enter long exp mode\n";
    const char* szExitLongLog = "Exit long exp mode\n";
    // The value the shutter register takes for shutter line uSHR while the
    // sensor bins by iSensorFactor (1: it does not); null: uSHR itself.
    uint32_t (*fnShutterValue)(uint32_t uSHR, int iSensorFactor) = nullptr;
    // ShsExposure: the exposure of n lines starts at SHS = VMAX - gap - n
    // within a frame; 0: a gap of 1.
    int iShsGap = 0;
};

// The shutter register of sensors that count it in line pairs except while
// they bin 2 x 2: SHR / 2, a line of 1 or less written as 1; SHR itself at
// sensor factor 2.
uint32_t HalfLineShutter(uint32_t uSHR, int iSensorFactor);
// The same for sensors whose shortest line pair is the third: SHR / 2, a
// line below 6 written as 3; SHR itself at sensor factor 2.
uint32_t HalfLineShutterFromThird(uint32_t uSHR, int iSensorFactor);

// The line length, in clocks, that keeps the sensor within what the link
// carries at a percentage of it: from the link's line in clocks, the mode's
// shortest line and the percentage (the caller caps it at the longest line).
using LinkLineLaw = long long (*)(double dLinkClocks, int iMinHMAX, int iPercent, int iMax);
// The link's line truncated to whole clocks, at least the shortest line,
// stretched by the percentage in integers.
long long TruncatedLinkLine(double dLinkClocks, int iMinHMAX, int iPercent, int iMax);
// The longer of the link's line and the shortest line, stretched by the
// percentage, truncated once at the end.
long long ExactLinkLine(double dLinkClocks, int iMinHMAX, int iPercent, int iMax);

// Line length and FPGA output pacing from the bandwidth percentage.
struct SBandwidthRule {
    int iHostUSB3, iHostUSB2;              // host constants: 400000 carries the full 400 MB/s
    int iAutoPercUSB3, iAutoPercUSB2;      // first values when automatic bandwidth is switched on
    int iCap16Perc = 0;                    // 16-bit large frames on USB3 use at most this; 0: no cap
    long long llCapPixels = 0;             // readout pixels above which the cap applies
    long long llCapPixelsHardwareBin = 0;  // image pixels, with hardware binning on
    int iHMAXMax;                          // line length cap, clocks
    double dSensorHMAXFactor = 0.0;        // sensor HMAX = HMAX x factor; 0: no sensor HMAX register
    uint16_t usRegSensorHMAX = 0;          // low byte first
    bool bFPGABandWidth = false;           // the FPGA output pacing is programmed
    int iFrameExtraLines;                  // lines added for the frame time; -1: the mode's extra lines
    int iBandwidthExtraLines;              // lines added for the line length; -1: the mode's extra lines
    // The frame time counts these lines whatever the readout; 0: the readout's.
    int iFixedFrameLines = 0;
    // Without the DDR buffer: the most the requested percentage may be, before
    // the first automatic choice; null: no cap.
    int (*fnNoDDRCap)(bool bUSB3Host, bool b16, bool bHighSpeed) = nullptr;
    double dLineTimeFactor = 0.0;      // the USB-limited line time is scaled by it; 0: 1
    bool bSensorBinKeepsRows = false;  // sensor binning does not double the rows of the line length
    LinkLineLaw fnLinkLine = nullptr;  // the line length without the DDR buffer; null: TruncatedLinkLine
};

// Which flags choose the sensor mode.
enum MODE_RULE : int {
    // Hardware bin from the stored flag; high speed from the argument, for
    // 8-bit data only; the FPGA ADC width follows the mode.
    MODE_RULE_STORED_BIN_ARG_SPEED = 0,
    // Hardware bin from the argument; high speed from the stored flag, at
    // every bit depth; the FPGA ADC width follows the stored high-speed flag.
    MODE_RULE_ARG_BIN_STORED_SPEED = 1,
};

// What SetHighSpeedMode does in 16-bit output.
enum HIGH_SPEED_16BIT : int {
    HS16_STORED_UNLESS_SENSOR_BIN = 0,  // only stores the flag, unless sensor binning is active
    HS16_STORED = 1,                    // only stores the flag
    HS16_REAPPLIED = 2,                 // re-applies the mode as in 8-bit output
    // Only stores the flag, in 16-bit output and also in 8-bit output while
    // sensor binning is in force; the next mode change takes it.
    HS16_STORED_ALSO_IN_SENSOR_BIN = 3,
};

// The start and window of sensors that place the window through start
// registers with fixed offsets: the sensor reads from the start row and
// column it is given (in its own steps) and the FPGA crops the exact window.
// The values written, with start (x, y) in sensor pixels and H the image
// height:
//   horizontal start = iFirstX while x < iFirstX, else x rounded down to
//     iStepX plus iAddX; with sensor binning iFirstX;
//   vertical start V = iFirstY while y < iFirstY, else y rounded down to
//     iAlignY, times iScaleY, plus iAddY; with sensor binning iFirstY; the
//     second vertical start register takes V + 1;
//   top skip = iTopSkip and its mode iTopSkipMode when V - iFirstY passes
//     iTopSkipFrom, else both 0;
//   window end = min(base + 2 H + iEndPad, iEndMax), bit 0 cleared, with
//     base V at the start and, at the size, y with its two low bits cleared
//     (at least iFirstY; iFirstY with sensor binning);
//   width = readout columns rounded up to iWidthStep, plus iWidthPad;
//   rows registers = (readout rows + iRowsAdd) x iRowsMul.
// A register numbered 0 is not written.
// The FPGA's HBLK is the mode's, VBLK the mode's; with sensor binning the
// FPGA crops the start itself: HBLK + x and VBLK + y.
struct SStartWindowRule {
    uint16_t usRegStartX;  // 2 bytes each, low byte first
    uint16_t usRegStartY;
    uint16_t usRegStartY2;
    uint16_t usRegTopSkip;
    uint16_t usRegTopSkipMode;
    uint16_t usRegEnd;
    uint16_t usRegWidth;
    uint16_t usRegRows[3];
    int iFirstX, iStepX, iAddX;
    int iFirstY, iAlignY;
    int iScaleY, iAddY;  // rows the sensor counts an image row as (0: 1), and its offset
    int iTopSkipFrom, iTopSkip, iTopSkipMode;
    int iEndPad, iEndMax;
    int iWidthStep, iWidthPad;
    int iRowsAdd, iRowsMul;
};

// The FPGA-timed family: the FPGA alone sets line and frame length (the
// sensor gets only its shutter line, the frame length goes to the FPGA
// inside the sensor's hold), initialisation applies the output width
// (which writes the offset again) and ends with the standby write, a bin
// change alone keeps the sensor mode, SetResolution always centres the
// window, and the sensor window takes the FPGA blanking with it
// (SetStartPos writes no FPGA register). Its descriptions also place the
// start-up command after the FPGA's set-up (eStartCmd) and write a mode's
// rows unheld, the FPGA's data format left to SetOutput16Bits (modeSwitch).
// Who switches the FPGA's wait and trigger modes for long exposures is the
// exposure rule's bLongModeArmedByCapture.
struct SFpgaTimedRules {
    bool bOn;
    int iCentreAlign = 0;         // the centred start rounded down to this; 0 or 1: not rounded
    int iHeightMultiple = 0;      // image heights must be a multiple of this; 0: any
    int iWindowHeightExtra = 0;   // lines added to the sensor window's height
};

// The FPGA blanking of WINDOW_FIXED_BLANKING.
struct SWindowRule {
    int iHBLK, iVBLK;
};

// Order in which InitCamera replays bandwidth, gain and exposure.
enum INIT_REPLAY_ORDER : int {
    REPLAY_FPS_GAIN_EXP = 0,
    REPLAY_GAIN_EXP_FPS = 1,
    REPLAY_GAIN_EXP = 2,  // no bandwidth: the first SetResolution programs the line length
};

// How the window is programmed (the engine's window programmers).
enum WINDOW_PROGRAMMER : int {
    WINDOW_REGISTERS = 0,     // the sensor's start and size registers; the FPGA crops the readout
    WINDOW_FIXED_BLANKING,    // the same, the FPGA's blanking fixed (SWindowRule), the size unheld
    WINDOW_FPGA_TIMED,        // the FPGA-timed family: blanking with the size, the start without FPGA write
    WINDOW_FPGA_CROPS_COLUMNS,  // the FPGA cuts the columns (HBLK + start x); the sensor takes an odd
                                // start row, written with a running output paused, after the exposure
    WINDOW_START_REGS,        // start registers with fixed offsets (SStartWindowRule)
    WINDOW_RAW_FPGA,          // the FPGA's start registers over a fixed frame (SRawFpgaRule)
    WINDOW_CROP,              // the sensor crops columns and cuts rows itself (SCropSensorDesc)
    WINDOW_SWITCHED_CROP,     // the sensor crops from a start column unless it bins (SSwitchedCropRule)
    WINDOW_READ_WIDTH,        // the sensor reads a given count of columns from a start column (SReadWidthRule)
};

// The window of sensors that read a given count of columns (the read width)
// from a start column in coarse units whose register reaches only so far.
// One rule places the read for the start and the size alike:
// - while the sensor bins it reads its whole binned line from column 0
//   (the sensor's width over the factor, rounded down to iBinnedWidthAlign,
//   plus iReadWidthPad) and the FPGA skips the start through its HBLK;
// - a start past the start register's reach reads from the last start the
//   register reaches, the difference more columns, which the FPGA skips;
// - else it reads the window's columns plus iReadWidthPad from the start.
// The start: the read width, FPGA HBLK and VBLK, the start column (2 bytes),
// the start row (y + the mode's offset, at SDriverDesc::usRegStartY). The
// size: the FPGA's data length, the bin mode, the rows (readout rows + the
// binned or unbinned extra rows, at SDriverDesc::usRegHeight), the read
// width again, the FPGA's readout size; the sensor stays awake.
struct SReadWidthRule {
    uint16_t usRegStartX;   // start column in iStartXUnit pixels, low byte first
    int iStartXUnit;
    int iStartUnitMax;      // the furthest start the register reaches, in units
    uint16_t usRegReadWidth;  // low byte first
    int iReadWidthPad;
    int iBinnedWidthAlign;
    uint16_t usRegBinMode;
    uint8_t ucBinModeBinned, ucBinModeUnbinned;
    int iBinnedRowsAdd, iUnbinnedRowsAdd;
};

// The window of sensors that crop the line from a start column in coarse
// units, behind a crop switch that is off while the sensor bins (the FPGA
// then cuts the columns: its HBLK takes the start over the sensor's factor).
// The start: FPGA VBLK and HBLK, the switch, windowRows, the start column
// (start x / iStartXUnit, 2 bytes low first) and the start row (y + the
// mode's offset, at SDriverDesc::usRegStartY). The size, framed by the
// sensor's standby in a single exposure: windowRows, the FPGA's data length,
// the bin-mode register, the rows (readout rows + iBinnedRowsAdd while the
// sensor bins, at SDriverDesc::usRegHeight), the line width (readout
// columns rounded down to iLineWidthAlign, plus iLineWidthPad), then the
// FPGA's readout size.
struct SSwitchedCropRule {
    uint16_t usRegCrop;  // 1: crop from the start column; 0: whole lines
    uint16_t usRegStartX;
    int iStartXUnit;
    uint16_t usRegBinMode;
    uint8_t ucBinModeBinned, ucBinModeUnbinned;
    int iBinnedRowsAdd;
    uint16_t usRegLineWidth;
    int iLineWidthAlign, iLineWidthPad;
    SRegTable windowRows;
    // Bit f set: at sensor factor f the sensor reads whole binned lines
    // (switch off, bin mode binned, rows added, the FPGA cuts the columns);
    // at other factors it crops as unbinned. 0: at every factor above 1.
    uint8_t ucWholeLineFactors = 0;
    // The size is written with the sensor awake in a single exposure too.
    bool bSizeWithoutStandby = false;
};

// The start alignment of the switched-crop window at sensor factor f: a
// colour mosaic read in whole binned lines starts on an even binned column
// (the FPGA cuts whole binned columns, and an odd count would turn the
// mosaic's phase), so there the alignment rises to a multiple of 2 f.
int SwitchedCropAlignX(const SSwitchedCropRule& rule, int iAlignX, int iSensorFactor, bool bColour);

// How the sensor's stream is started.
enum STREAM_START_ORDER : int {
    STREAM_START_ROWS_THEN_OUTPUT = 0,  // the start rows, their pause, the FPGA's output on
    STREAM_START_FROM_STOPPED = 1,      // the FPGA's output off first, then the same
};

// The laws that turn gain, exposure and bandwidth into registers, and time
// the frame (the engine's law sets).
enum SENSOR_LAWS : int {
    // The description's gain, exposure and bandwidth rules (SGainRule,
    // SExposureRule, SBandwidthRule) over lines of HMAX clocks.
    LAWS_REGISTERS = 0,
    // The crop sensor's (SCropSensorDesc): power-law gain with 6 dB digital
    // steps by the mode's kind, the shutter from a fixed offset with its
    // blanking registers, the sensor's line length from the FPGA's HMAX.
    LAWS_CROP = 1,
};

// Who times the sensor's lines and frames and switches its stream.
enum TIMING_MASTER : int {
    TIMING_FPGA_SETTERS = 0,  // the FPGA, through the core's FPGA setters
    TIMING_RAW_FPGA = 1,      // the FPGA, by raw register writes (SRawFpgaRule)
    TIMING_SENSOR = 2,        // the sensor itself: the camera has no FPGA to program
};

// Models that program the FPGA by raw register writes: the control word
// through the driver's own shadow of register 0 (ChangeFPGACtrl), every
// multi-register value inside the update latch, and a window placed by the
// FPGA's start registers over a sensor that reads out a fixed frame.
struct SRawFpgaRule {
    int iHStartBase;           // FPGA registers 2/3 = window start x + this
    int iVStartBase;           // FPGA registers 6/7 = window start y + this
    int iFixedVMAX;            // frame length in lines of every exposure within a frame
    uint8_t ucCtrlAfterReset;  // control word written after the reset pulse (register 0 = 0)
    uint32_t uResetPulseMs;    // pause between the reset pulse and that write
    uint8_t ucInitDataFmt;     // register 10 at initialisation
};

// The FPGA status a re-synchronisation starts from: while its bit 4 reads
// clear, the FPGA is stopped and started again.
enum LONG_SYNC_FROM : uint8_t {
    LONG_SYNC_FROM_FRESH_READ = 0,   // register 35 read as the re-synchronisation begins
    // The status the capture run's last transfer left (register 35 read
    // after every transfer; 0 at the run's start, so the run's first long
    // exposure always tries at least once).
    LONG_SYNC_FROM_LAST_STATUS = 1,
};

// What follows the last failed try of a re-synchronisation.
enum LONG_SYNC_GIVE_UP : uint8_t {
    // "Long exposure EC sync failed.\n", then the firmware and FPGA versions read.
    LONG_SYNC_GIVE_UP_LOG_AND_READS = 0,
    LONG_SYNC_GIVE_UP_READS = 1,  // the version reads without the line
    LONG_SYNC_GIVE_UP_LOG = 2,    // the line without the reads
};

// An action of the stepped wait, run after iStep steps.
struct SLongExpStep {
    int iStep;
    SLongExpAction action;
};

struct SLongExpScript {
    // Each pass in long-exposure mode, before a reload or an exposure: FPGA
    // mode switches only, run with the pass's long-mode check as one step
    // under the control lock (no pauses).
    SLongExpActions everyPass = {nullptr, 0};
    SLongExpActions open;  // from the pass's start through the trigger's rise (pre-trigger pause, writes)
    // Exposures up to ullOneSleepMaxUs sleep once, exposure ms x 1000 -
    // uOneSleepLeadUs us; longer ones run beforeSteps and wait in steps of
    // uStepMs until exposure ms - uStepLeadMs have passed since the trigger
    // rose (bCountedSteps: for (exposure ms - uStepLeadMs) / uStepMs steps).
    // A stop or an exposure change ends the wait early.
    uint64_t ullOneSleepMaxUs;
    uint32_t uOneSleepLeadUs = 0;
    SLongExpActions beforeSteps = {nullptr, 0};
    uint32_t uStepMs;
    uint32_t uStepLeadMs = 0;
    bool bCountedSteps = false;
    const SLongExpStep* pSteps = nullptr;  // in step order
    int iSteps = 0;
    SLongExpActions close;    // after the wait, through the trigger's fall; runs also after an early end
    uint32_t uReadoutWaitMs;  // first-transfer wait after the fall and after a reload
    int iMaxReloads;          // short readouts re-sent from the DDR in a row (DDR on)
    // After a stepped wait that a stop or an exposure change ended early, before close.
    SLongExpActions earlyEnd = {nullptr, 0};
    // The stepped wait's time counts from the end of the opening actions
    // rather than from the trigger's rise.
    bool bWaitFromItsStart = false;
    const char* szBeginLog = "Begin long exp %d\n";  // logged with the exposure in ms
    // After the stepped wait only (not after the one sleep), before close.
    SLongExpActions afterSteps = {nullptr, 0};
    uint32_t uReloadWaitMs = 0;  // first-transfer wait after a reload; 0: uReadoutWaitMs
    // The re-synchronisation (LONG_OP_SYNC): the status it starts from, and
    // what follows its last failed try before the capture ends.
    LONG_SYNC_FROM eSyncFrom = LONG_SYNC_FROM_FRESH_READ;
    LONG_SYNC_GIVE_UP eSyncGiveUp = LONG_SYNC_GIVE_UP_LOG_AND_READS;
};

// The template's script, with the 832's values: 25 ms, trigger up; up to
// 1,000,999 us one sleep of exposure - 225 ms; longer, 10 ms steps until
// exposure - 225 ms, low power at step 60, XHS stop at step 80; low power
// off, 100 ms twice, XHS stop off, trigger down; 1000 ms readout wait, at
// most 3 reloads.
extern const SLongExpScript g_LongExpTemplate;
// The FPGA-timed family's script (EngineFpgaTimed.cpp), with the 821's
// values: each pass wait and trigger modes on; trigger up, 100 ms, sensor
// 0x3598 = 0x3F, 50 ms, low power; up to 1,000,999 us one sleep of exposure
// - 400 ms; longer, 10 ms steps until exposure - 400 ms from the wait's
// start, XHS stop after step 80 (DDR or USB 3); low power off, 150 ms,
// 0x3598 = 0x20, 100 ms, XHS stop off (DDR or USB 3), trigger down; 1000 ms
// readout wait, at most 3 reloads.
extern const SLongExpScript g_LongExpFpgaTimed;
// The same script whose stepped wait also switches low power on again after
// step 60 (the 829's and 837's).
extern const SLongExpScript g_LongExpFpgaTimedLowPowerAgain;

// The capture loop of video and single exposures.
enum CAPTURE_LOOP : int {
    // Each frame in a set of asynchronous bulk transfers, checked by its head
    // and tail marker words; lost frames counted and recovered, long
    // exposures timed by the script, a short long-exposure frame re-sent
    // from the DDR buffer.
    CAPTURE_ASYNC_MARKERS = 0,
    // One synchronous bulk read a frame, checked by its head marker only
    // (cameras without an FPGA). Not built yet: a description that asks for
    // it is refused.
    CAPTURE_SYNC_HEAD_MARKER = 1,
};

// What a model's capture loop does beyond the template's. Zero: the
// template's (the 832's) behaviour.
struct SCaptureHooks {
    bool bStatusEachPass;      // FPGA register 35 read after every transfer, logged when not 0x15
    bool bLivenessAfterShort;  // firmware and FPGA versions read after a short frame
    bool bGPIFOnGiveUp;        // the GPIF status read and logged when the reloads are given up
    // A long exposure's frame comes out only after the frame the sensor was
    // programmed for (VMAX lines, as long as the exposure where the sensor
    // runs it): the readout wait after the trigger's fall adds that frame.
    bool bReadoutAfterFrame = false;
    // An empty transfer is a dropped frame like a short one: the stream is
    // never reset for empty transfers, the loop goes on.
    bool bEmptyIsDropped = false;
    // The trigger modes run the engine's trigger capture (one frame per
    // trigger on the single-read set; a snapshot ends with its frame), so
    // the camera offers the modes its FPGA allows.
    bool bTriggerCapture = false;
    // Logged with the frame's bytes and the bytes received on every short
    // frame, before a long exposure's resend from the DDR is considered;
    // null: no such line.
    const char* szShortFrameLog = nullptr;
    // Logged with the exposure in ms after each transfer of a long
    // exposure; null: no such line.
    const char* szLongFrameLog = "Long exp:Get one Frame %d\n";
    // The trigger capture's start-up: the endpoint is reset after the
    // sensor starts streaming (not before the stream is started).
    bool bTriggerResetAfterStart = false;
    // The trigger capture's start-up leaves the FPGA's trigger signal as it
    // is (not lowered before the stream starts).
    bool bTriggerKeepsSignal = false;
};

// Where a start asked for lands: the start (x, y) asked for, never
// negative, of a window of w x h sensor pixels on a sensor of iMaxW x iMaxH
// with the start alignment iAlignX x iAlignY.
struct SStartInput {
    long long x, y;
    long long w, h;
    int iMaxW, iMaxH;
    int iAlignX, iAlignY;
};
struct SStartPlace {
    long long x, y;              // the start stored
    long long askedX, askedY;  // the start asked for as aligned before it was kept on the sensor
};
using StartLaw = SStartPlace (*)(const SStartInput& in);
// Aligned down first, then pulled back inside the sensor (a start at the
// far edge keeps the sensor's last pixel, aligned or not).
SStartPlace AlignThenClampStart(const SStartInput& in);
// Pulled back inside the sensor first, then aligned down, so that the start
// stored is always aligned.
SStartPlace ClampThenAlignStart(const SStartInput& in);

// What the image read-out makes of a mono camera's data.
enum MONO_READOUT : int {
    // As of a mosaic: binned by CAlgorithm::ColorRAWBin unless mono binning
    // is on, Y8, RGB24 and YUV2 by CAlgorithm::BayerConv unless raw.
    MONO_READOUT_AS_MOSAIC = 0,
    // As grey: binned by CAlgorithm::MonoBin; Y8 is the raw image, RGB24
    // each grey byte three times, YUV2 nothing.
    MONO_READOUT_GREY = 1,
};

struct SDriverDesc {
    const char* szClassName;
    SModelConstants model;

    // Sensor framing.
    SFrameReg hold = {};     // register hold (0x3001 = 1 ... 0)
    SFrameReg standby = {};  // sensor standby (0x3000 = 1 in standby)

    // Initialisation.
    SRegTable firstRows = {nullptr, 0};       // written first of all, outside any hold
    SRegTable initTable;                      // the start-up table
    SRegTable initFixedRows = {nullptr, 0};   // rows written by code after the table
    bool bInitTableInHold = false;            // table and fixed rows inside one hold
    uint32_t uInitPauseMs = 0;                // pause after reading the FPGA version
    uint32_t uResetPauseMs;                   // pause after the FPGA reset
    SRegTable afterResetRows = {nullptr, 0};  // sensor rows after the FPGA reset
    bool bDDRTest = false;                    // InitCamera fails when the DDR never becomes ready
    // FPGA registers written as they stand right after the FPGA reset,
    // before its pause (the FPGA setters' master); empty: none.
    SRegTable fpgaResetRows = {nullptr, 0};
    // FPGA register told the host type after those rows (1 on a USB 3 host,
    // 0 otherwise); 0: the FPGA is not told.
    uint16_t usFpgaRegUsbHost = 0;
    // The model's own steps of the FPGA's set-up, through its timing master,
    // after the data format and before the unity colour gains (the FPGA
    // setters' master); null: none.
    void (*fnFpgaSetUp)(CTimingMaster& timing, CRegPlan& plan) = nullptr;
    START_CMD_PLACE eStartCmd = START_CMD_AFTER_RESET;  // the FPGA setters' master's
    int iCoolingLevel = -1;                   // cooled classes: InitCooling(level); -1: the base's
    INIT_REPLAY_ORDER eReplay = REPLAY_FPS_GAIN_EXP;
    bool bInitEndsInStandby = false;  // StopSensorStreaming at the end
    bool bInitSetsOutputWidth = false;  // SetOutput16Bits before the sensor mode
    const SPresetByte* pPresetBytes = nullptr;  // set after the settings are loaded
    int iPresetBytes = 0;

    // Modes.
    const SSensorMode* pModeNormal;
    const SSensorMode* pModeHighSpeed;              // null: no high-speed mode
    const SSensorMode* pModeNormal16 = nullptr;     // 16-bit output; null: pModeNormal
    const SSensorMode* pModeHighSpeed16 = nullptr;  // high speed with 16-bit output; null: 8-bit only
    SSensorBin sensorBin[kDescMaxBin + 1] = {};     // none: no sensor binning
    bool bResolutionKeepsHighSpeed;                 // a bin or type change keeps the stored high-speed choice
    STimingInit timingInit;
    SRegTable modeAfterRows = {nullptr, 0};  // written after a mode's hold (e.g. back to standby)
    SModeSwitchRule modeSwitch = {};

    // Window.
    // Low byte, then high byte; 0: the sensor has no such register.
    uint16_t usRegStartX = 0, usRegStartY = 0, usRegWidth = 0, usRegHeight = 0;
    SRegTable startPreRows = {nullptr, 0};   // written before the start, outside the hold
    int iAlignX, iAlignY;                    // start alignment
    int iWidthAlign = 0, iHeightAlign = 0;   // sensor window rounded up to these
    bool bAlwaysCentre;                      // SetResolution always centres the window
    // SetResolution logs the start it had before centring ("sPx"), not the
    // centred one ("spx").
    bool bCentreLogsOldStart = false;
    SRegTable startHeldRows = {nullptr, 0};  // written inside the hold, before the start registers
    int iWindowScale = 0;                    // start and window registers count this many units a pixel; 0: 1
    int iWindowExtraRows = 0;     // rows added to the sensor window height without sensor binning; 0: VBLK;
                                  // negative: none
    bool bNoFPGADataLen = false;  // the FPGA's data length is not written
    int iSensorBinWidthStep = 0;  // with sensor binning the readout width is a multiple of it; 0: no rule
    WINDOW_PROGRAMMER eWindow = WINDOW_REGISTERS;
    const SStartWindowRule* pStartWindow = nullptr;  // WINDOW_START_REGS's rule
    // The sensor bins whenever the bin is one of its sensor bins: no control
    // of its own (SetHardwareBin(false) changes nothing), the mode follows
    // the bin.
    bool bSensorBinFollowsBin = false;
    MODE_RULE eModeRule = MODE_RULE_STORED_BIN_ARG_SPEED;
    HIGH_SPEED_16BIT eHighSpeed16 = HS16_STORED_UNLESS_SENSOR_BIN;

    // Streaming.
    SRegTable streamStartRows;
    uint32_t uStreamStartPauseMs = 0;
    SRegTable streamStopRows;
    // Bit rows after the start rows (before their pause) and after the stop
    // rows; a row of register REG_TABLE_DELAY pauses its value in ms.
    SRegBitsTable streamStartBits = {};
    SRegBitsTable streamStopBits = {};
    STREAM_START_ORDER eStreamStart = STREAM_START_ROWS_THEN_OUTPUT;
    // The sensor clamp, opened when video starts and closed when a single
    // exposure starts, outside the hold; empty: the sensor has none.
    SRegTable clampOpenRows = {nullptr, 0};
    SRegTable clampCloseRows = {nullptr, 0};

    // Host and limits.
    int iFixedClockKHz;  // SetCMOSClk()
    int iMinClockKHz;    // bandwidth setting refused below it
    int iUSBBandwidthUSB3, iUSBBandwidthUSB2;
    bool bHasDDR = false;  // SetEnableDDR re-applies; else it only stores the flag
    // HMAX periods in one line the sensor counts (2: a sensor that counts
    // its frame in half lines, VMAX and SHR written doubled); 0: 1.
    int iLineHMAX = 0;

    // Exposure, gain, offset and bandwidth.
    SGainRule gain;
    SOffsetRule offset;
    SExposureRule exposure;
    SBandwidthRule bandwidth;
    SENSOR_LAWS eLaws = LAWS_REGISTERS;
    // The crop sensor's registers and numbers (WINDOW_CROP and LAWS_CROP).
    const SCropSensorDesc* pCropSensor = nullptr;

    // Capture loop.
    CAPTURE_LOOP eCapture = CAPTURE_ASYNC_MARKERS;
    const SLongExpScript* pLongExp = nullptr;  // null: g_LongExpTemplate
    SCaptureHooks capture = {};

    // Who makes the lines and frames and switches the stream (timing/TimingMaster.h).
    TIMING_MASTER eTiming = TIMING_FPGA_SETTERS;
    // Raw FPGA programming (TIMING_RAW_FPGA's rule); null: none.
    const SRawFpgaRule* pRawFpga = nullptr;

    // Image read-out: the marker words are repaired from this many readout
    // rows away; 0: two (keeps a Bayer mosaic's phase).
    int iMarkerRepairRows = 0;
    SFpgaTimedRules fpgaTimed = {};

    // ---- Differences of later models; zero keeps the behaviour above ----
    // SetResolution reloads the sensor mode on a change of image type only
    // (modes do not depend on the bin: a bin change alone reloads nothing).
    bool bModeFollowsType = false;
    // Without sensor binning SetHardwareBin succeeds and changes nothing.
    bool bHardwareBinIgnored = false;
    SWindowRule window = {};  // WINDOW_FIXED_BLANKING's blanking
    const SSwitchedCropRule* pSwitchedCrop = nullptr;  // WINDOW_SWITCHED_CROP's rule
    const SReadWidthRule* pReadWidth = nullptr;        // WINDOW_READ_WIDTH's rule
    // Where SetStartPos places a start asked for: aligned, then pulled back
    // inside the sensor (AlignThenClampStart); null: that law.
    StartLaw fnStartLaw = nullptr;
    // InitCamera sends no start-up command (VR_CMD_AF) at all.
    bool bNoStartCmd = false;
    // Sensor rows InitCamera writes last, the FPGA left as its set-up left
    // it (in place of a stop of the stream); empty: none.
    SRegTable initEndRows = {nullptr, 0};
    // The capture loop's values (the engine's SCaptureParams), taken into
    // m_Capture by the engine's constructor; null: the template's.
    const SCaptureParams* pCaptureParams = nullptr;
    // Image read-out: the final copies of a raw image (8 and 16 bits) are left
    // out when the caller's buffer is the work buffer itself.
    bool bSkipCopyOntoWorkBuffer = false;
    // Image read-out of a mono camera's data (colour cameras: unused).
    MONO_READOUT eMonoReadout = MONO_READOUT_AS_MOSAIC;
};

// The exposure rule of sensors with a shutter line counted from the frame's
// end (SHR): VMAX and SHR from readout rows, extra lines and line time.
SExposureRegs ShutterLineExposure(const SExposureRule& rule, const SExposureInput& in);
// The same with the exposure's lines counted in single precision:
// trunc((exposure - offset) / line) with each value a float.
SExposureRegs SinglePrecisionShutterLineExposure(const SExposureRule& rule, const SExposureInput& in);
// The exposure rule of the FPGA-timed family: a short exposure keeps the
// frame at rows + the VMAX base and counts its shutter line back from the
// frame's end; a longer one stretches the frame to the exposure.
SExposureRegs FrameLengthExposure(const SExposureRule& rule, const SExposureInput& in);

// The exposure rule of sensors whose shutter register SHS is the line the
// exposure starts at within a frame of VMAX lines: SHS = VMAX - 1 - exposure
// lines, held between iMinSHR and VMAX - iMinSHR (so the frame's longest
// exposure is VMAX - 1 - iMinSHR lines). An exposure longer than the frame
// makes the frame exposure lines + iLongExtraLines long with SHS iLongSHR
// (0: the frame's first line).
SExposureRegs ShsExposure(const SExposureRule& rule, const SExposureInput& in);

// A gain law of sensors with a conversion-gain switch: below iSwitchAt the
// code is gain / iStep with the switch off, from it (gain - iHighOffset) /
// iStep with the switch on; gains are clamped to 0 .. iMax.
struct SLinearGainLaw {
    int iMax;
    int iSwitchAt;
    int iHighOffset;
    int iStep;
};
SGainCode LinearGainCode(int iGain, const SLinearGainLaw& law);

// The power-law gain code of a gain in 0.1 dB: trunc(scale - scale x
// 10^(-gain / 200)), the sensor's attenuation code for that gain.
int PowerLawGainCode(int iTenthsDb, int iScale);

// What a cooled twin changes in the description of its uncooled model.
struct STwinDiff {
    const char* szClassName;
    const char* szName;       // m_pszName
    const char* szShortName;  // m_pszShortName, the settings key
    int iPID;
    SRegTable initTable = {nullptr, 0};  // the twin's own copy of the start-up table; empty: the model's
    // The twin has the DDR frame buffer its model lacks: in use, tested at
    // start-up, switchable and paced by the FPGA; a long exposure runs the
    // sensor at frames of the frame time + 10 ms.
    bool bAddsDDR = false;
    bool bAddsTrigger = false;  // the twin offers the trigger capture its model lacks
    // With bAddsDDR: a long exposure stays programmed as the model's.
    bool bLongExpAsModel = false;
};

// The description of a cooled twin: its uncooled model's description with
// the twin's names, product ID, start-up table and added hardware; the
// guide-port flag is left to the cooled camera object.
SDriverDesc CooledTwinDesc(const SDriverDesc& model, const STwinDiff& diff);

// What a colour twin changes in the description of its mono model.
struct SColourTwinDiff {
    const char* szClassName;
    const char* szName;       // m_pszName
    const char* szShortName;  // m_pszShortName, the settings key
    int iPID;
    int iWBRDef, iWBBDef;  // white balance defaults (range 1 .. 99)
};

// The description of a colour twin: its mono model's description with the
// twin's names and product ID, a Bayer mosaic starting RG, the white-balance
// controls, RGB24 and Y8 output and the marker words repaired from two rows
// away (the mosaic's phase). Read-out, binning and automatic white balance
// follow the colour flag.
SDriverDesc ColourTwinDesc(const SDriverDesc& mono, const SColourTwinDiff& diff);
// The model constants the template's colour models share: 12-bit colour
// (RG) on USB 3, gain 0 .. 600 (200), exposure 32 us .. 2000 s (10 ms),
// gamma 1 .. 100 (50), bandwidth 40 .. 100 % (80, 100 on USB 3, automatic),
// white balance 1 .. 99, offset from 0 (1), every control, 20 MHz clock.
// Names, sizes, bins, offsets and the rest are the model's.
SModelConstants TemplateModelConstants();
// The description the template's models start from: those constants with
// the guide port, trigger capture and DDR; register hold 0x3001 and standby
// 0x3000, the start-up table and its fixed rows inside one hold, standby at
// the end of initialisation; window registers 0x303C-0x3047 with the start
// aligned to 2 x 4 and the width to 16; streaming 0x3004 = 0, 0x3000 = 0 and
// 30 ms, stopped by 0x3000 = 1; black level at 0x30DC; shutter line at
// 0x3050-0x3052 from 8 lines, frames of the frame time + 10 ms for long
// exposures; sensor line length at 0x302C; host constant 400000 on USB 3;
// the DDR buffer and FPGA pacing. No names, sizes, tables, modes or gain.
SDriverDesc TemplateDriverDesc();

// Gain code gain / 3 over 0 .. 600 (code 0 .. 200), without a conversion-gain switch.
SGainCode GainCodeThirds(int iGain);

// The values the start and window rule writes (see SStartWindowRule).
struct SStartWindowValues {
    int iStartX, iStartY;
    int iTopSkip, iTopSkipMode;
    int iEnd;
};
SStartWindowValues StartWindowValues(const SStartWindowRule& rule, int iStartX, int iStartY, int iHeight,
                                     bool bSensorBin);
// The window end the size step writes for start row y.
int StartWindowSizeEnd(const SStartWindowRule& rule, int iStartY, int iHeight, bool bSensorBin);

#endif

// The description of one camera model that the driver engine runs: the
// model's constants (stored into the camera object by the constructor), its
// sensor tables and modes, its window registers, host constants and limits.
// A driver class file holds one of these, its tables and nothing else but
// its true differences.
#ifndef KYR_DRIVER_DESC_H
#define KYR_DRIVER_DESC_H

#include <stdint.h>

#include "FpgaRegs.h"
#include "RegPlan.h"

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
};

// One sensor readout mode.
struct SSensorMode {
    const char* szName;
    SRegTable regs;        // the mode's sensor writes, inside the hold; empty: a mode without a loader
    ADC_BIT eAdc;          // FPGA ADC width
    bool bOut16FromType;   // FPGA output 16-bit for 16-bit types (false: always 8-bit)
    int iVBLK;             // lines added to the sensor window, and the FPGA's VBLK
    int iHBLK;             // FPGA HBLK base
    int iMinHMAX;          // shortest line of the mode, clocks
    int iExtraLines;       // lines added to the readout rows for VMAX and the frame time
    int iClockKHz;         // the mode's sensor clock; 0: the model's fixed clock
    int iAlignX, iAlignY;  // start alignment in the mode; 0: the model's
    int iStartOffsetY;     // lines added to the start row written to the sensor
};

// Sensor binning of one bin.
struct SSensorBin {
    int iSensorFactor;         // what the sensor bins (2 = 2 x 2); 0: all in software
    const SSensorMode* pMode;  // the mode that does it
};

// The per-object timing words as a model's first mode leaves them.
struct STimingInit {
    int iVBLK, iHBLK, iMinHMAX, iExtraLines, iUSBBandwidth;
};

// Order in which InitCamera replays bandwidth, gain and exposure.
enum INIT_REPLAY_ORDER : int {
    REPLAY_FPS_GAIN_EXP = 0,
    REPLAY_GAIN_EXP_FPS = 1,
};

struct SDriverDesc {
    const char* szClassName;
    SModelConstants model;

    // Sensor framing.
    SFrameReg hold;     // register hold (0x3001 = 1 ... 0)
    SFrameReg standby;  // sensor standby (0x3000 = 1 in standby)

    // Initialisation.
    SRegTable initTable;       // the start-up table
    SRegTable initFixedRows;   // rows written by code after the table
    bool bInitTableInHold;     // table and fixed rows inside one hold
    uint32_t uInitPauseMs;     // pause after reading the FPGA version
    uint32_t uResetPauseMs;    // pause after the FPGA reset
    SRegTable afterResetRows;  // sensor rows after the FPGA reset
    bool bDDRTest;             // InitCamera fails when the DDR never becomes ready
    int iFPGAReg26;            // written to FPGA register 26; -1: not written
    bool bFPGABinModeReset;    // SetFPGABinMode(0) at initialisation
    int iCoolingLevel;         // cooled classes: InitCooling(level); -1: the base's
    INIT_REPLAY_ORDER eReplay;
    bool bInitEndsInStandby;  // StopSensorStreaming at the end

    // Modes.
    const SSensorMode* pModeNormal;
    const SSensorMode* pModeHighSpeed;  // null: no high-speed mode
    SSensorBin sensorBin[kDescMaxBin + 1];
    bool bResolutionKeepsHighSpeed;  // a bin or type change keeps the stored high-speed choice
    STimingInit timingInit;

    // Window.
    uint16_t usRegStartX, usRegStartY, usRegWidth, usRegHeight;  // low byte, then high byte
    SRegTable startPreRows;                                      // written before the start, outside the hold
    int iAlignX, iAlignY;                                        // start alignment
    int iWidthAlign, iHeightAlign;                               // sensor window rounded up to these
    bool bAlwaysCentre;                                          // SetResolution always centres the window
    bool bHBLKFromStart;  // with sensor binning the FPGA HBLK is start / bin + HBLK

    // Streaming.
    SRegTable streamStartRows;
    uint32_t uStreamStartPauseMs;
    SRegTable streamStopRows;

    // Host and limits.
    int iFixedClockKHz;  // SetCMOSClk()
    int iMinClockKHz;    // bandwidth setting refused below it
    int iUSBBandwidthUSB3, iUSBBandwidthUSB2;
    bool bHasDDR;  // SetEnableDDR re-applies; else it only stores the flag
};

#endif

#include "CCameraS7100MM_Pro.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/StandbyWakeFamily.h"

namespace {

// Start-up table: the 52 published rows, with the 10 ms delay after the wake-up.
const REG_TABLE_ROW kInitTable[] = {
    {0x1EE, 0x01}, {0x000, 0x04}, {REG_TABLE_DELAY, 10}, {0x003, 0x10}, {0x018, 0x01}, {0x027, 0x06},
    {0x051, 0x08}, {0x0D3, 0x08}, {0x133, 0x8C}, {0x368, 0xE0}, {0x400, 0x0E}, {0x454, 0x22},
    {0x456, 0x22}, {0x559, 0x19}, {0x55A, 0x17}, {0x55C, 0x19}, {0x55D, 0x17}, {0x55F, 0x20},
    {0x560, 0x1E}, {0x562, 0x20}, {0x563, 0x1E}, {0x56B, 0x27}, {0x56C, 0x25}, {0x56E, 0x20},
    {0x56F, 0x1E}, {0x573, 0x00}, {0x590, 0x01}, {0x596, 0x19}, {0x597, 0x14}, {0x598, 0x20},
    {0x599, 0x1B}, {0x600, 0x1C}, {0x635, 0x19}, {0x636, 0x15}, {0x637, 0x20}, {0x638, 0x15},
    {0x63A, 0x19}, {0x63B, 0x15}, {0x63C, 0x20}, {0x63D, 0x15}, {0x63F, 0x19}, {0x640, 0x15},
    {0x641, 0x20}, {0x642, 0x15}, {0x66E, 0x11}, {0x671, 0x11}, {0x674, 0x11}, {0x677, 0x11},
    {0x7CC, 0x0A}, {0x113, 0x00}, {0x120, 0xBC}, {0x121, 0x01},
};
// Written after the start-up table.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x003, 0x10}, {0x007, 0x01}, {0x0A7, 0x01}, {0x1D8, 0x04}, {0x048, 0x0F}, {0x051, 0x08},
};

// The 10-bit table as the sensor bins 2 x 2; bin 3 and bin 1 high speed change the rows below.
const REG_TABLE_ROW kMode10BitRows[] = {
    {0x001, 0x05}, {0x002, 0x54}, {0x02A, 0x04}, {0x069, 0x00}, {0x06C, 0x22}, {0x06D, 0x01},
    {0x0D6, 0x53}, {0x0D8, 0x53}, {0x0DB, 0x5A}, {0x0DD, 0x5A}, {0x0DF, 0x00}, {0x0E2, 0x88},
    {0x2D3, 0x00}, {0x50F, 0x59}, {0x512, 0xBF}, {0x513, 0xBF}, {0x514, 0xBF}, {0x515, 0x00},
    {0x517, 0x50}, {0x51F, 0x5F}, {0x553, 0x7B}, {0x574, 0x0F}, {0x575, 0x0F}, {0x576, 0x0F},
    {0x577, 0x0F}, {0x581, 0x04}, {0x582, 0x24}, {0x583, 0x24}, {0x584, 0x24}, {0x585, 0x24},
    {0x59A, 0x04}, {0x603, 0x4B}, {0x605, 0x4B}, {0x62A, 0x81}, {0x62C, 0x52}, {0x630, 0x7F},
    {0x632, 0x52}, {0x646, 0x7B}, {0x64A, 0x7B}, {0x66D, 0x00}, {0x670, 0x00}, {0x673, 0x00},
    {0x676, 0x00}, {0x67E, 0x04}, {0x68A, 0x88}, {0xA2F, 0x95}, {0xA30, 0x00}, {0xA31, 0x95},
    {0xA32, 0x00}, {0xA36, 0x95}, {0xA37, 0x00},
};
const REG_TABLE_ROW kBin3Changes[] = {{0x001, 0x07}};
const REG_TABLE_ROW kHighSpeedChanges[] = {{0x001, 0x00}, {0x02A, 0x0A}};
constexpr auto kModeBin3Rows = OverlayRows(kMode10BitRows, kBin3Changes);
constexpr auto kModeHighSpeedRows = OverlayRows(kMode10BitRows, kHighSpeedChanges);

// 12-bit, bin 1 without high speed.
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x001, 0x00}, {0x002, 0x80}, {0x02A, 0x0A}, {0x069, 0x30}, {0x06C, 0xE6}, {0x06D, 0x00},
    {0x0D6, 0x58}, {0x0D8, 0x58}, {0x0DB, 0x60}, {0x0DD, 0x60}, {0x0DF, 0x01}, {0x0E2, 0x22},
    {0x2D3, 0x00}, {0x50F, 0x5A}, {0x512, 0x70}, {0x513, 0x70}, {0x514, 0x70}, {0x515, 0x01},
    {0x517, 0x5A}, {0x51F, 0x69}, {0x553, 0x85}, {0x574, 0x02}, {0x575, 0x02}, {0x576, 0x02},
    {0x577, 0x02}, {0x581, 0x00}, {0x582, 0x16}, {0x583, 0x16}, {0x584, 0x16}, {0x585, 0x16},
    {0x59A, 0x00}, {0x603, 0x50}, {0x605, 0x50}, {0x62A, 0x8B}, {0x62C, 0x34}, {0x630, 0x89},
    {0x632, 0x34}, {0x646, 0x85}, {0x64A, 0x85}, {0x66D, 0x11}, {0x670, 0x11}, {0x673, 0x11},
    {0x676, 0x11}, {0x67E, 0x00}, {0x68A, 0x22}, {0xA2F, 0x8F}, {0xA30, 0x01}, {0xA31, 0x8F},
    {0xA32, 0x01}, {0xA36, 0x8F}, {0xA37, 0x01},
};

// Every mode walks the start-up table again before its own rows.
// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, align x, align y, row offset, common
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 45, 24, 1350, 48,
                                0,        0,                        2,         25,   RegTable(kInitTable)};
const SSensorMode kModeHighSpeed = {"10-bit high speed", RegTable(kModeHighSpeedRows), ADC_10BIT, true, 45, 24, 370,
                                    48, 0, 0, 2, 25, RegTable(kInitTable)};
const SSensorMode kModeBin24 = {"sensor bin 2x2", RegTable(kMode10BitRows), ADC_10BIT, true, 25, 18, 490, 28,
                                0, 0, 4, 25, RegTable(kInitTable)};
const SSensorMode kModeBin3 = {"sensor bin 3x3", RegTable(kModeBin3Rows), ADC_10BIT, true, 23, 11, 250, 24,
                               0, 0, 6, 27, RegTable(kInitTable)};

// Stream switch 0x1EE: 1 streams, 5 parks (also during long exposures).
constexpr uint16_t kReg7100Stream = 0x1EE;
const REG_TABLE_ROW kStreamRows[] = {{kReg7100Stream, 0x01}};
const REG_TABLE_ROW kParkRows[] = {{kReg7100Stream, 0x05}};

// Window: 0x007 = 1 before the start and the size; crop switch 0x0A7, start
// column 0x0A8/9 in 16-pixel units, bin mode 0x1D8 (0 binned, 4 not), rows
// + 2 while binned, line width 0x1DD/E.
const REG_TABLE_ROW kWindowRows[] = {{0x007, 0x01}};
const SSwitchedCropRule kWindow = {.usRegCrop = 0x0A7,
                                   .usRegStartX = 0x0A8,
                                   .iStartXUnit = 16,
                                   .usRegBinMode = 0x1D8,
                                   .ucBinModeBinned = 0,
                                   .ucBinModeUnbinned = 4,
                                   .iBinnedRowsAdd = 2,
                                   .usRegLineWidth = 0x1DD,
                                   .iLineWidthAlign = 4,
                                   .iLineWidthPad = 24,
                                   .windowRows = RegTable(kWindowRows)};

SDriverDesc DescS7100MM_Pro() {
    SDriverDesc d = StandbyWakeFamilyDesc();
    d.szClassName = "CCameraS7100MM_Pro";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR7100MM Pro";
    m.szShortName = "KYR7100MM Pro";
    m.iPID = 0x710e;
    m.dPixelSize = 3.76;
    m.iMaxWidth = 6248;
    m.iMaxHeight = 4176;
    m.fElecPerADU = 0.768f;
    m.iOffsetMax = 240;
    m.usHMAX = 1350;

    d.initTable = RegTable(kInitTable);
    d.initFixedRows = RegTable(kInitFixedRows);
    SetStandbyWakeModes(&d, {&kMode12Bit, &kModeHighSpeed, &kModeBin24, &kModeBin3});

    d.usRegStartY = 0x008;
    d.usRegHeight = 0x00A;
    d.pSwitchedCrop = &kWindow;

    d.streamStartRows = RegTable(kStreamRows);
    d.streamStopRows = RegTable(kParkRows);

    d.gain.usRegCode = 0x030;
    d.gain.usRegCodeCopy = 0x032;
    d.gain.usRegConvGain = 0x02F;
    d.gain.usRegDigital = 0x040;
    // Black level x 10 at 0x042/3 and its copy 0x044/5; x 100 / 16 while the sensor bins.
    d.offset = {.usReg = 0x042, .iBytes = 2, .iScale = 10, .usRegCopy = 0x044, .iBinnedMul = 100, .iBinnedDiv = 16};
    // Shutter line in line pairs at 0x018/9, in lines while the sensor bins 2 x 2.
    d.exposure.usRegSHR = 0x018;
    d.exposure.fnShutterValue = HalfLineShutter;
    d.pLongExp = &StandbyWakeLongExp<kReg7100Stream>();

    // No line for each long-exposure frame.
    d.capture.szLongFrameLog = nullptr;
    return d;
}

}  // namespace

const SDriverDesc& DescS7100MMPro() {
    static const SDriverDesc desc = DescS7100MM_Pro();
    return desc;
}

CCameraS7100MM_Pro::CCameraS7100MM_Pro() : CEngineDriver(DescS7100MMPro()) {}

namespace {
const CEngineRegistrar<CCameraS7100MM_Pro> kRegistrar("CCameraS7100MM_Pro", DescS7100MMPro);
}  // namespace

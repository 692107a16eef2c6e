#include "CCameraS834MM_Pro.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/ReadWidthFamily.h"

namespace {

// Start-up table: the 16 published rows, with the 10 ms delay after the wake-up.
const REG_TABLE_ROW kInitTable[] = {
    {0x19E, 0x01}, {0x000, 0x04}, {REG_TABLE_DELAY, 10}, {0x04F, 0x08}, {0x00A, 0x00}, {0x00B, 0x00},
    {0x00C, 0x00}, {0x00D, 0x00}, {0x001, 0x00}, {0x003, 0x00}, {0x005, 0x09}, {0x00C, 0x00},
    {0x067, 0x30}, {0x113, 0x00}, {0x120, 0xBC}, {0x121, 0x01},
};

const REG_TABLE_ROW kMode12BitRows[] = {{0x067, 0x30}, {0x120, 0xBC}, {0x121, 0x01}};
// High speed at bin 1 and the sensor's binning.
const REG_TABLE_ROW kMode10BitRows[] = {{0x067, 0x00}, {0x120, 0xBC}, {0x121, 0x01}};

// Rows below the start register's first row.
constexpr int kRowOffset = 48;
// Every mode walks the start-up table again before its own rows.
// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, align x, align y, row offset,
// common, mode bits
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 49, 52, 1715, 52, 0, 0, 2,
                                kRowOffset, RegTable(kInitTable), RegBitsTable(kReadWidthBits12Bit)};
const SSensorMode kModeHighSpeed = {"10-bit high speed", RegTable(kMode10BitRows), ADC_10BIT, false, 49, 52, 720,
                                    52, 0, 0, 2, kRowOffset, RegTable(kInitTable),
                                    RegBitsTable(kReadWidthBitsHighSpeed)};
const SSensorMode kModeBin24 = {"sensor bin 2x2", RegTable(kMode10BitRows), ADC_10BIT, true, 29, 24, 1250, 32, 0, 0,
                                4, kRowOffset, RegTable(kInitTable), RegBitsTable(kReadWidthBitsBin2x2)};
const SSensorMode kModeBin3 = {"sensor bin 3x3", RegTable(kMode10BitRows), ADC_10BIT, true, 27, 24, 660, 30, 0, 0,
                               6, kRowOffset, RegTable(kInitTable), RegBitsTable(kReadWidthBitsBin3x3)};

// The start register reaches 443 units of 16 pixels (pixel 7088).
const SReadWidthRule kWindow = ReadWidthWindow(443);

SDriverDesc DescS834MM_Pro() {
    SDriverDesc d = ReadWidthFamilyDesc();
    d.szClassName = "CCameraS834MM_Pro";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR834MM Pro";
    m.szShortName = "KYR834MM Pro";
    m.iPID = 0x834e;
    m.iMaxWidth = 14192;
    m.iMaxHeight = 10640;
    m.fElecPerADU = 0.253f;
    m.usHMAX = 1715;

    d.initTable = RegTable(kInitTable);
    SetReadWidthModes(&d, {&kMode12Bit, &kModeHighSpeed, &kModeBin24, &kModeBin3});
    d.pReadWidth = &kWindow;
    // The shutter line lies 3 lines (not 4) before the frame's end.
    d.exposure.iShsGap = 3;
    return d;
}

const SDriverDesc& DescS834MMPro() {
    static const SDriverDesc desc = DescS834MM_Pro();
    return desc;
}

}  // namespace

CCameraS834MM_Pro::CCameraS834MM_Pro() : CEngineDriver(DescS834MMPro()) {}

namespace {
const CEngineRegistrar<CCameraS834MM_Pro> kRegistrar("CCameraS834MM_Pro", DescS834MMPro);
}  // namespace

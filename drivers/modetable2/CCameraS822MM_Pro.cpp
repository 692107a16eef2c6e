#include "CCameraS822MM_Pro.h"

#include "engine/EngineRegistrar.h"
#include "engine/families/ReadWidthFamily.h"

namespace {

// Start-up table: the 16 published rows, with the 10 ms delay after the wake-up.
const REG_TABLE_ROW kInitTable[] = {
    {0x19E, 0x01}, {0x000, 0x04}, {REG_TABLE_DELAY, 10}, {0x04F, 0x08}, {0x00A, 0x00}, {0x00B, 0x00},
    {0x00C, 0x00}, {0x00D, 0x00}, {0x001, 0x00}, {0x003, 0x00}, {0x005, 0x09}, {0x00C, 0x00},
    {0x067, 0x30}, {0x113, 0x00}, {0x120, 0xBC}, {0x121, 0x01},
};

const REG_TABLE_ROW kMode12BitRows[] = {
    {0x028, 0x0C}, {0x029, 0x00}, {0x058, 0xA0}, {0x059, 0x04}, {0x05A, 0x8F}, {0x05B, 0x05},
    {0x060, 0xF6}, {0x061, 0x05}, {0x067, 0x30}, {0x120, 0xBC}, {0x121, 0x01},
};
// High speed at bin 1 and the sensor's 3 x 3 binning.
const REG_TABLE_ROW kMode10BitRows[] = {{0x067, 0x00}, {0x120, 0xBC}, {0x121, 0x01}};
const REG_TABLE_ROW kModeBin24Rows[] = {
    {0x028, 0x06}, {0x029, 0x00}, {0x058, 0x2A}, {0x059, 0x04}, {0x05A, 0x8F}, {0x05B, 0x05},
    {0x060, 0x80}, {0x061, 0x04}, {0x067, 0x00}, {0x120, 0xBC}, {0x121, 0x01},
};

// Rows below the start register's first row.
constexpr int kRowOffset = 53;
// Every mode walks the start-up table again before its own rows.
// name, rows, ADC, 16-bit output, VBLK, HBLK, min HMAX, extra lines, clock, align x, align y, row offset,
// common, mode bits
const SSensorMode kMode12Bit = {"12-bit", RegTable(kMode12BitRows), ADC_12BIT, true, 49, 49, 1136, 52, 0, 0, 2,
                                kRowOffset, RegTable(kInitTable), RegBitsTable(kReadWidthBits12Bit)};
const SSensorMode kModeHighSpeed = {"10-bit high speed", RegTable(kMode10BitRows), ADC_10BIT, false, 49, 49, 608,
                                    52, 0, 0, 2, kRowOffset, RegTable(kInitTable),
                                    RegBitsTable(kReadWidthBitsHighSpeed)};
const SSensorMode kModeBin24 = {"sensor bin 2x2", RegTable(kModeBin24Rows), ADC_10BIT, true, 28, 30, 980, 52, 0, 0,
                                4, kRowOffset, RegTable(kInitTable), RegBitsTable(kReadWidthBitsBin2x2)};
const SSensorMode kModeBin3 = {"sensor bin 3x3", RegTable(kMode10BitRows), ADC_10BIT, true, 30, 22, 760, 52, 0, 0,
                               6, kRowOffset, RegTable(kInitTable), RegBitsTable(kReadWidthBitsBin3x3)};

// The start register reaches 364 units of 16 pixels (pixel 5824).
const SReadWidthRule kWindow = ReadWidthWindow(364);

SDriverDesc DescS822MM_Pro() {
    SDriverDesc d = ReadWidthFamilyDesc();
    d.szClassName = "CCameraS822MM_Pro";
    SModelConstants& m = d.model;
    m.szName = "VORN KYR822MM Pro";
    m.szShortName = "KYR822MM Pro";
    m.iPID = 0x822e;
    m.iMaxWidth = 11656;
    m.iMaxHeight = 8750;
    m.fElecPerADU = 0.253f;
    m.usHMAX = 1136;

    d.initTable = RegTable(kInitTable);
    SetReadWidthModes(&d, {&kMode12Bit, &kModeHighSpeed, &kModeBin24, &kModeBin3});
    d.pReadWidth = &kWindow;
    return d;
}

const SDriverDesc& DescS822MMPro() {
    static const SDriverDesc desc = DescS822MM_Pro();
    return desc;
}

}  // namespace

CCameraS822MM_Pro::CCameraS822MM_Pro() : CEngineDriver(DescS822MMPro()) {}

namespace {
const CEngineRegistrar<CCameraS822MM_Pro> kRegistrar("CCameraS822MM_Pro", DescS822MMPro);
}  // namespace

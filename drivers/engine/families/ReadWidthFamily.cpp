#include "engine/families/ReadWidthFamily.h"

#include "engine/families/BandedGainFamily.h"
#include "engine/families/StandbyWakeFamily.h"
#include "usb/FpgaRegs.h"

namespace {

// Written after the start-up table.
const REG_TABLE_ROW kInitFixedRows[] = {
    {0x002, 0x10}, {0x0A5, 0x01}, {0x187, 0x05}, {0x046, 0x0F}, {0x04F, 0x08},
};

constexpr uint8_t kModeMask = 0x8F;
constexpr uint8_t kAdMask = 0xE0;
constexpr uint8_t kAd4 = 4 << 5;

}  // namespace

const SRegBitsRow kReadWidthBits12Bit[2] = {{0x001, kModeMask, 0}, {0x001, kAdMask, 0}};
const SRegBitsRow kReadWidthBitsHighSpeed[2] = {{0x001, kModeMask, 0}, {0x001, kAdMask, kAd4}};
const SRegBitsRow kReadWidthBitsBin2x2[2] = {{0x001, kModeMask, 4}, {0x001, kAdMask, kAd4}};
const SRegBitsRow kReadWidthBitsBin3x3[2] = {{0x001, kModeMask, 5}, {0x001, kAdMask, kAd4}};

SReadWidthRule ReadWidthWindow(int iStartUnitMax) {
    // Start column 0x0A6/0x0A7 in 16-pixel units; read width 0x18C/0x18D;
    // bin mode 0x187 (0 binned, 4 not); binned width rounded down to 4.
    return {.usRegStartX = 0x0A6,
            .iStartXUnit = 16,
            .iStartUnitMax = iStartUnitMax,
            .usRegReadWidth = 0x18C,
            .iReadWidthPad = 160,
            .iBinnedWidthAlign = 4,
            .usRegBinMode = 0x187,
            .ucBinModeBinned = 0,
            .ucBinModeUnbinned = 4,
            .iBinnedRowsAdd = 20,
            .iUnbinnedRowsAdd = 1022};
}

void SetReadWidthModes(SDriverDesc* pDesc, const SReadWidthModes& modes) {
    SetStandbyWakeModes(pDesc, {modes.p12Bit, modes.pHighSpeed, modes.pBin2x2, modes.pBin3x3});
    // 16-bit output keeps the 12-bit mode whatever the high-speed flag says.
    pDesc->pModeHighSpeed16 = nullptr;
}

SDriverDesc ReadWidthFamilyDesc() {
    SDriverDesc d = BandedGainFamilyDesc();
    SModelConstants& m = d.model;
    m.iGainMax = 600;
    m.iAutoGainMax = 300;
    m.iOffsetMax = 200;
    m.iOffsetLowestRN = 20;

    d.initFixedRows = RegTable(kInitFixedRows);
    d.usFpgaRegUsbHost = FPGA_REG_USB_HOST;
    d.iCoolingLevel = -1;
    d.eHighSpeed16 = HS16_STORED_UNLESS_SENSOR_BIN;

    d.eWindow = WINDOW_READ_WIDTH;
    d.pSwitchedCrop = nullptr;

    SExposureRule& e = d.exposure;
    e.iShsGap = 4;
    e.iLongExtraLines = 500;
    e.iLongSHR = 20;
    e.szEnterLongLog = "Enter long exp mode\n";
    e.szExitLongLog = "Exit long exp mode\n";

    SCaptureHooks& c = d.capture;
    c.bLivenessAfterShort = false;
    c.bGPIFOnGiveUp = false;
    return d;
}

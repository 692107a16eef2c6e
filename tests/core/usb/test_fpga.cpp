// FPGA control of CCameraFX3 against a simulated camera: the exact register
// writes of the latched setters, the bit setters' read-modify-writes, the
// failure handling (a failed read writes nothing, a failed latched write still
// releases the latch), the DDR check, the cooler drive and the direct writes.
#include <gtest/gtest.h>
#include <libusb.h>
#include <math.h>

#include <functional>
#include <string>
#include <vector>

#include "test_fpga_fixture.h"

using namespace fpga_test;

namespace {

constexpr char kUnknownValueLog[] = "How did you get here?\n";

// ---------------------------------------------------------------------------
// Latched multi-byte setters
// ---------------------------------------------------------------------------

struct SLatchedCase {
    const char* szName;
    std::function<bool(CCameraFX3&)> fnCall;
    int iFirstReg;
    std::vector<int> vecBytes;  // low byte first
};

std::vector<SLatchedCase> LatchedCases() {
    return {
        {"HBLK 0x1234", [](CCameraFX3& c) { return c.SetFPGAHBLK(0x1234); }, 2, {0x34, 0x12}},
        {"Width 0x12345 (low 16 bits)",
         [](CCameraFX3& c) { return c.SetFPGAWidth(0x12345); },
         4,
         {0x45, 0x23}},
        {"VBLK 0xBEEF", [](CCameraFX3& c) { return c.SetFPGAVBLK(0xBEEF); }, 6, {0xEF, 0xBE}},
        {"Height -1 (low 16 bits)", [](CCameraFX3& c) { return c.SetFPGAHeight(-1); }, 8, {0xFF, 0xFF}},
        {"Gain 128 1 255 0",
         [](CCameraFX3& c) { return c.SetFPGAGain(128, 1, 255, 0); },
         12,
         {128, 1, 255, 0}},
        {"Gain outside a byte",
         [](CCameraFX3& c) { return c.SetFPGAGain(-5, 256, 1000, 64); },
         12,
         {0, 255, 255, 64}},
        {"VMAX 0x123456", [](CCameraFX3& c) { return c.SetFPGAVMAX(0x123456); }, 16, {0x56, 0x34, 0x12}},
        {"VMAX 0xFFFFFF", [](CCameraFX3& c) { return c.SetFPGAVMAX(0xFFFFFF); }, 16, {0xFF, 0xFF, 0xFF}},
        {"VMAX 0x1000000", [](CCameraFX3& c) { return c.SetFPGAVMAX(0x1000000); }, 16, {0xFF, 0xFF, 0xFF}},
        {"VMAX 0xFFFFFFFF", [](CCameraFX3& c) { return c.SetFPGAVMAX(0xFFFFFFFFu); }, 16, {0xFF, 0xFF, 0xFF}},
        {"HMAX 0x0898", [](CCameraFX3& c) { return c.SetFPGAHMAX(0x0898); }, 19, {0x98, 0x08}},
        // Pacing value 25600 / percent - 256, held to 1..65534.
        {"BandWidth 100", [](CCameraFX3& c) { return c.SetFPGABandWidth(100.0f); }, 36, {0x01, 0x00}},
        {"BandWidth 50", [](CCameraFX3& c) { return c.SetFPGABandWidth(50.0f); }, 36, {0x00, 0x01}},
        {"BandWidth 40", [](CCameraFX3& c) { return c.SetFPGABandWidth(40.0f); }, 36, {0x80, 0x01}},
        {"BandWidth 0.3", [](CCameraFX3& c) { return c.SetFPGABandWidth(0.3f); }, 36, {0xFE, 0xFF}},
        {"BandWidth 0", [](CCameraFX3& c) { return c.SetFPGABandWidth(0.0f); }, 36, {0xFE, 0xFF}},
        {"BandWidth -1", [](CCameraFX3& c) { return c.SetFPGABandWidth(-1.0f); }, 36, {0x01, 0x00}},
        {"BandWidth NaN", [](CCameraFX3& c) { return c.SetFPGABandWidth(NAN); }, 36, {0xFE, 0xFF}},
        {"BandWidth 1e-30", [](CCameraFX3& c) { return c.SetFPGABandWidth(1e-30f); }, 36, {0xFE, 0xFF}},
        {"BandWidth infinity", [](CCameraFX3& c) { return c.SetFPGABandWidth(INFINITY); }, 36, {0x01, 0x00}},
        {"BandWidth 200", [](CCameraFX3& c) { return c.SetFPGABandWidth(200.0f); }, 36, {0x01, 0x00}},
        // 25600 / 0.4 - 256 = 63744 = 0xF900: just inside the limit.
        {"BandWidth 0.4", [](CCameraFX3& c) { return c.SetFPGABandWidth(0.4f); }, 36, {0x00, 0xF9}},
        // External trigger exposure: at least 32 us, at most 2,000,000,000 us.
        {"TrigExp 10", [](CCameraFX3& c) { return c.SetExtTrigExpTime(10); }, 44, {0x20, 0x00, 0x00, 0x00}},
        {"TrigExp 33", [](CCameraFX3& c) { return c.SetExtTrigExpTime(33); }, 44, {0x21, 0x00, 0x00, 0x00}},
        {"TrigExp 3e9",
         [](CCameraFX3& c) { return c.SetExtTrigExpTime(3000000000u); },
         44,
         {0x00, 0x94, 0x35, 0x77}},
        {"SyncADelay 0", [](CCameraFX3& c) { return c.SetExtSyncADelayTime(0); }, 48, {0, 0, 0, 0}},
        {"SyncADelay max",
         [](CCameraFX3& c) { return c.SetExtSyncADelayTime(0xFFFFFFFFu); },
         48,
         {0x00, 0x94, 0x35, 0x77}},
        {"SyncAKeep 123456",
         [](CCameraFX3& c) { return c.SetExtSyncAKeepTime(123456); },
         52,
         {0x40, 0xE2, 0x01, 0x00}},
        {"SyncBDelay 2e9",
         [](CCameraFX3& c) { return c.SetExtSyncBDelayTime(2000000000u); },
         56,
         {0x00, 0x94, 0x35, 0x77}},
        {"SyncBKeep 2e9+1",
         [](CCameraFX3& c) { return c.SetExtSyncBKeepTime(2000000001u); },
         60,
         {0x00, 0x94, 0x35, 0x77}},
        {"BinDataLen 0xFFFFFFFF",
         [](CCameraFX3& c) { return c.SetFPGABinDataLen(0xFFFFFFFFu); },
         64,
         {0xFE, 0xFF, 0xFF, 0xFF}},
        {"BinDataLen 0x01020304",
         [](CCameraFX3& c) { return c.SetFPGABinDataLen(0x01020304u); },
         64,
         {0x04, 0x03, 0x02, 0x01}},
    };
}

class CFpgaLatchedTest : public CFpgaTest {};

TEST_F(CFpgaLatchedTest, EachSetterWritesItsBytesLowFirstInsideTheLatch) {
    for (const SLatchedCase& tc : LatchedCases()) {
        SCOPED_TRACE(tc.szName);
        kyrsim::clearLog();
        EXPECT_TRUE(tc.fnCall(Fx3()));
        EXPECT_EQ(FpgaAccesses(), Latched(tc.iFirstReg, tc.vecBytes));
        // The FPGA applied the whole value at the release.
        EXPECT_EQ(m_Dev.fpgaPending(), 0);
        EXPECT_EQ(m_Dev.fpga(FPGA_REG_UPDATE), 0);
        for (size_t i = 0; i < tc.vecBytes.size(); ++i)
            EXPECT_EQ(m_Dev.fpga(tc.iFirstReg + static_cast<int>(i)), tc.vecBytes[i]) << "byte " << i;
    }
}

// A data write that fails: the bytes after it are not sent (the device is not
// answering), the latch is released all the same, and the setter fails.
TEST_F(CFpgaLatchedTest, FailingDataWriteReleasesTheLatchAndFails) {
    struct SCase {
        const char* szName;
        std::function<bool(CCameraFX3&)> fnCall;
        int iFailReg;
        std::vector<SFpgaAccess> vecExpected;
    };
    const std::vector<SCase> cases = {
        {"VMAX, middle byte",
         [](CCameraFX3& c) { return c.SetFPGAVMAX(0x123456); },
         17,
         {W(1, 1), W(16, 0x56), W(17, 0x34), W(1, 0)}},
        {"VMAX, last byte",
         [](CCameraFX3& c) { return c.SetFPGAVMAX(0x123456); },
         18,
         {W(1, 1), W(16, 0x56), W(17, 0x34), W(18, 0x12), W(1, 0)}},
        {"BandWidth, first byte",
         [](CCameraFX3& c) { return c.SetFPGABandWidth(50.0f); },
         36,
         {W(1, 1), W(36, 0x00), W(1, 0)}},
        {"TrigExp, third byte",
         [](CCameraFX3& c) { return c.SetExtTrigExpTime(3000000000u); },
         46,
         {W(1, 1), W(44, 0x00), W(45, 0x94), W(46, 0x35), W(1, 0)}},
        {"Gain, blue",
         [](CCameraFX3& c) { return c.SetFPGAGain(1, 2, 3, 4); },
         15,
         {W(1, 1), W(12, 1), W(13, 2), W(14, 3), W(15, 4), W(1, 0)}},
        // The hold itself fails: no data byte may go out unlatched.
        {"HMAX, hold request", [](CCameraFX3& c) { return c.SetFPGAHMAX(0x0898); }, 1, {W(1, 1), W(1, 0)}},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        kyrsim_clear_faults();
        kyrsim::clearLog();
        int iValue = tc.iFailReg == 1 ? 1 : KYRSIM_ANY;
        ASSERT_GE(kyrsim::Fault()
                      .device(m_Dev)
                      .request(kReqWriteFpga)
                      .value(tc.iFailReg)
                      .index(iValue)
                      .error(LIBUSB_ERROR_IO)
                      .add(),
                  0);
        EXPECT_FALSE(tc.fnCall(Fx3()));
        EXPECT_EQ(FpgaAccesses(), tc.vecExpected);
        EXPECT_EQ(m_Dev.fpga(FPGA_REG_UPDATE), 0);
        EXPECT_EQ(m_Dev.fpgaPending(), 0);
    }
}

TEST_F(CFpgaLatchedTest, FailingReleaseFails) {
    ASSERT_GE(
        kyrsim::Fault().device(m_Dev).request(kReqWriteFpga).value(1).index(0).error(LIBUSB_ERROR_IO).add(),
        0);
    EXPECT_FALSE(Fx3().SetFPGAVMAX(0x1234));
    EXPECT_EQ(FpgaAccesses(), Latched(16, {0x34, 0x12, 0x00}));
}

// ---------------------------------------------------------------------------
// Bit setters
// ---------------------------------------------------------------------------

using Shadow = uint8_t CCameraFX3::*;

struct SBitCase {
    const char* szName;
    std::function<bool(CCameraFX3&, bool)> fnCall;
    int iReg;
    uint8_t ucBit;
    bool bSetWhenTrue;  // the argument true sets the bit (else it clears it)
    Shadow pShadow;
};

std::vector<SBitCase> BitCases() {
    return {
        {"FPGAStop(true)/FPGAStart(false)",
         [](CCameraFX3& c, bool b) { return b ? c.FPGAStop() : c.FPGAStart(); }, 0, 0x10, true,
         &CCameraFX3::m_ucFPGAReg0},
        {"SetFPGAAsMaster", [](CCameraFX3& c, bool b) { return c.SetFPGAAsMaster(b); }, 0, 0x20, true,
         &CCameraFX3::m_ucFPGAReg0},
        {"EnableFPGAWaitMode", [](CCameraFX3& c, bool b) { return c.EnableFPGAWaitMode(b); }, 0, 0x40, true,
         &CCameraFX3::m_ucFPGAReg0},
        {"EnableFPGATriggerMode", [](CCameraFX3& c, bool b) { return c.EnableFPGATriggerMode(b); }, 0, 0x80,
         true, &CCameraFX3::m_ucFPGAReg0},
        {"SetFPGAPatternSelect", [](CCameraFX3& c, bool b) { return c.SetFPGAPatternSelect(b); }, 10, 0x02,
         false, &CCameraFX3::m_ucFPGAReg10},
        {"EnableFPGADDRMultiFrameCache",
         [](CCameraFX3& c, bool b) { return c.EnableFPGADDRMultiFrameCache(b); }, 10, 0x20, true,
         &CCameraFX3::m_ucFPGAReg10},
        {"EnableFPGADDR", [](CCameraFX3& c, bool b) { return c.EnableFPGADDR(b); }, 10, 0x40, false,
         &CCameraFX3::m_ucFPGAReg10},
        {"EnableFPGATriggerSignal", [](CCameraFX3& c, bool b) { return c.EnableFPGATriggerSignal(b); }, 11,
         0x01, true, &CCameraFX3::m_ucFPGAReg11},
        {"EnableFPGAXHSStop", [](CCameraFX3& c, bool b) { return c.EnableFPGAXHSStop(b); }, 11, 0x10, true,
         &CCameraFX3::m_ucFPGAReg11},
        {"EnableFPGASensorReset", [](CCameraFX3& c, bool b) { return c.EnableFPGASensorReset(b); }, 11, 0x80,
         true, &CCameraFX3::m_ucFPGAReg11},
        {"EnableLowPower", [](CCameraFX3& c, bool b) { return c.EnableLowPower(b); }, 25, 0x01, true,
         &CCameraFX3::m_ucFPGAReg25},
        {"EnableWarm", [](CCameraFX3& c, bool b) { return c.EnableWarm(b); }, 25, 0x40, true,
         &CCameraFX3::m_ucFPGAReg25},
        {"EnableCfan", [](CCameraFX3& c, bool b) { return c.EnableCfan(b); }, 25, 0x80, false,
         &CCameraFX3::m_ucFPGAReg25},
        {"SetFPGABinType", [](CCameraFX3& c, bool b) { return c.SetFPGABinType(b); }, 39, 0x80, false,
         &CCameraFX3::m_ucFPGAReg39},
        {"SelectExtTrigSource", [](CCameraFX3& c, bool b) { return c.SelectExtTrigSource(b); }, 40, 0x01,
         true, &CCameraFX3::m_ucFPGAReg40},
        {"SelectExtTrigExp", [](CCameraFX3& c, bool b) { return c.SelectExtTrigExp(b); }, 40, 0x02, false,
         &CCameraFX3::m_ucFPGAReg40},
        {"SelectExtTrigSoftMode", [](CCameraFX3& c, bool b) { return c.SelectExtTrigSoftMode(b); }, 40, 0x04,
         false, &CCameraFX3::m_ucFPGAReg40},
        {"SelectExtTrigType", [](CCameraFX3& c, bool b) { return c.SelectExtTrigType(b); }, 40, 0x10, false,
         &CCameraFX3::m_ucFPGAReg40},
        {"SelectExtTrigValidType", [](CCameraFX3& c, bool b) { return c.SelectExtTrigValidType(b); }, 40,
         0x20, false, &CCameraFX3::m_ucFPGAReg40},
        {"EnableExtSyncA", [](CCameraFX3& c, bool b) { return c.EnableExtSyncA(b); }, 41, 0x01, true,
         &CCameraFX3::m_ucFPGAReg41},
        {"EnableExtSyncB", [](CCameraFX3& c, bool b) { return c.EnableExtSyncB(b); }, 41, 0x02, true,
         &CCameraFX3::m_ucFPGAReg41},
        {"SelectExtSyncALevel", [](CCameraFX3& c, bool b) { return c.SelectExtSyncALevel(b); }, 41, 0x10,
         false, &CCameraFX3::m_ucFPGAReg41},
        {"SelectExtSyncBLevel", [](CCameraFX3& c, bool b) { return c.SelectExtSyncBLevel(b); }, 41, 0x20,
         false, &CCameraFX3::m_ucFPGAReg41},
    };
}

// Two complementary preloads, so that every bit is seen both set and clear.
constexpr uint8_t kPreloads[] = {0x5A, 0xA5};

class CFpgaBitTest : public CFpgaTest {};

TEST_F(CFpgaBitTest, EachSetterChangesOnlyItsBitWithItsSense) {
    for (const SBitCase& tc : BitCases()) {
        for (uint8_t preload : kPreloads) {
            for (bool arg : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << tc.szName << "(" << arg << ") from 0x" << std::hex << int(preload));
                ASSERT_TRUE(m_Dev.setFpga(tc.iReg, preload));
                kyrsim::clearLog();
                EXPECT_TRUE(tc.fnCall(Fx3(), arg));
                const bool bitOn = arg == tc.bSetWhenTrue;
                const int expected = bitOn ? (preload | tc.ucBit) : (preload & ~tc.ucBit);
                EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{R(tc.iReg), W(tc.iReg, expected)}));
                EXPECT_EQ(Fx3().*tc.pShadow, expected);
            }
        }
    }
}

TEST_F(CFpgaBitTest, AdcAndOutputWidthSetBitsZeroAndFour) {
    struct SCase {
        int iAdc;
        bool bOut16;
        uint8_t ucBits;  // bits 0 and 4 after the call
    };
    const SCase cases[] = {
        {ADC_10BIT, false, 0x00}, {ADC_12BIT, false, 0x01}, {ADC_10BIT, true, 0x10},
        {ADC_12BIT, true, 0x11},  {7, true, 0x10},  // only 1 means a 12-bit ADC
    };
    for (const SCase& tc : cases) {
        for (uint8_t preload : kPreloads) {
            SCOPED_TRACE(testing::Message() << "adc " << tc.iAdc << " out16 " << tc.bOut16 << " from 0x"
                                            << std::hex << int(preload));
            ASSERT_TRUE(m_Dev.setFpga(10, preload));
            kyrsim::clearLog();
            EXPECT_TRUE(Fx3().SetFPGAADCWidthOutputWidth(static_cast<ADC_BIT>(tc.iAdc), tc.bOut16));
            const int expected = (preload & ~0x11) | tc.ucBits;
            EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{R(10), W(10, expected)}));
            EXPECT_EQ(Fx3().m_ucFPGAReg10, expected);
        }
    }
}

// Multi-valued fields: the lane setting of register 0 bits 1-2 and the bin
// mode of register 39 bits 0-1. A value without a meaning is logged and the
// register written back as read.
TEST_F(CFpgaBitTest, LaneSettingAndBinModeTables) {
    struct SCase {
        const char* szName;
        std::function<bool(CCameraFX3&)> fnCall;
        int iReg;
        uint8_t ucMask;
        int iBits;  // the field's bits after the call; -1 = unchanged and logged
        Shadow pShadow;
    };
    const Shadow reg0 = &CCameraFX3::m_ucFPGAReg0;
    const Shadow reg39 = &CCameraFX3::m_ucFPGAReg39;
    const std::vector<SCase> cases = {
        {"LVDS 0", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(LVDS_CHANNEL_0); }, 0, 0x06, 0x00, reg0},
        {"LVDS 1", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(LVDS_CHANNEL_1); }, 0, 0x06, 0x06, reg0},
        {"LVDS 2", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(LVDS_CHANNEL_2); }, 0, 0x06, 0x04, reg0},
        {"LVDS 3", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(LVDS_CHANNEL_3); }, 0, 0x06, 0x02, reg0},
        {"LVDS 4", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(LVDS_CHANNEL_4); }, 0, 0x06, 0x00, reg0},
        {"LVDS 5", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(static_cast<LVDS_CHANNEL>(5)); }, 0, 0x06,
         -1, reg0},
        {"LVDS -1", [](CCameraFX3& c) { return c.SetFPGALVDSChannel(static_cast<LVDS_CHANNEL>(-1)); }, 0,
         0x06, -1, reg0},
        {"BinMode 0", [](CCameraFX3& c) { return c.SetFPGABinMode(FPGA_BIN_MODE_0); }, 39, 0x03, 0x00, reg39},
        {"BinMode 1", [](CCameraFX3& c) { return c.SetFPGABinMode(FPGA_BIN_MODE_1); }, 39, 0x03, 0x01, reg39},
        {"BinMode 2", [](CCameraFX3& c) { return c.SetFPGABinMode(FPGA_BIN_MODE_2); }, 39, 0x03, 0x02, reg39},
        {"BinMode 3", [](CCameraFX3& c) { return c.SetFPGABinMode(FPGA_BIN_MODE_3); }, 39, 0x03, 0x03, reg39},
        {"BinMode 4", [](CCameraFX3& c) { return c.SetFPGABinMode(static_cast<FPGA_BIN_MODE>(4)); }, 39, 0x03,
         -1, reg39},
    };
    for (const SCase& tc : cases) {
        for (uint8_t preload : kPreloads) {
            SCOPED_TRACE(testing::Message() << tc.szName << " from 0x" << std::hex << int(preload));
            ASSERT_TRUE(m_Dev.setFpga(tc.iReg, preload));
            kyrsim::clearLog();
            bool ok = false;
            std::string log = CaptureDebugLog([&] { ok = tc.fnCall(Fx3()); });
            EXPECT_TRUE(ok);
            const int expected = tc.iBits < 0 ? preload : ((preload & ~tc.ucMask) | tc.iBits);
            EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{R(tc.iReg), W(tc.iReg, expected)}));
            EXPECT_EQ(Fx3().*tc.pShadow, expected);
            EXPECT_EQ(log.find(kUnknownValueLog) != std::string::npos, tc.iBits < 0) << log;
        }
    }
}

TEST_F(CFpgaBitTest, BufReloadSetsBitZeroOfRegister24) {
    for (uint8_t preload : kPreloads) {
        SCOPED_TRACE(testing::Message() << "from 0x" << std::hex << int(preload));
        ASSERT_TRUE(m_Dev.setFpga(24, preload));
        kyrsim::clearLog();
        EXPECT_TRUE(Fx3().FPGABufReload());
        EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{R(24), W(24, preload | 0x01)}));
        EXPECT_EQ(Fx3().m_ucFPGAReg24, preload | 0x01);
    }
}

// Every read-modify-write of the transport, for the failure tests.
std::vector<std::pair<std::string, std::pair<int, std::function<bool(CCameraFX3&)>>>> ReadModifyWrites() {
    std::vector<std::pair<std::string, std::pair<int, std::function<bool(CCameraFX3&)>>>> out;
    for (const SBitCase& tc : BitCases()) {
        auto fn = tc.fnCall;
        out.push_back(
            {std::string(tc.szName) + " true", {tc.iReg, [fn](CCameraFX3& c) { return fn(c, true); }}});
        out.push_back(
            {std::string(tc.szName) + " false", {tc.iReg, [fn](CCameraFX3& c) { return fn(c, false); }}});
    }
    out.push_back({"FPGAStart", {0, [](CCameraFX3& c) { return c.FPGAStart(); }}});
    out.push_back(
        {"SetFPGALVDSChannel", {0, [](CCameraFX3& c) { return c.SetFPGALVDSChannel(LVDS_CHANNEL_1); }}});
    out.push_back({"SetFPGABinMode", {39, [](CCameraFX3& c) { return c.SetFPGABinMode(FPGA_BIN_MODE_3); }}});
    out.push_back({"FPGABufReload", {24, [](CCameraFX3& c) { return c.FPGABufReload(); }}});
    out.push_back({"SetFPGAADCWidthOutputWidth",
                   {10, [](CCameraFX3& c) { return c.SetFPGAADCWidthOutputWidth(ADC_12BIT, true); }}});
    return out;
}

Shadow ShadowOf(int reg) {
    switch (reg) {
        case 0:
            return &CCameraFX3::m_ucFPGAReg0;
        case 10:
            return &CCameraFX3::m_ucFPGAReg10;
        case 11:
            return &CCameraFX3::m_ucFPGAReg11;
        case 24:
            return &CCameraFX3::m_ucFPGAReg24;
        case 25:
            return &CCameraFX3::m_ucFPGAReg25;
        case 39:
            return &CCameraFX3::m_ucFPGAReg39;
        case 40:
            return &CCameraFX3::m_ucFPGAReg40;
        default:
            return &CCameraFX3::m_ucFPGAReg41;
    }
}

// A failed read leaves the register's other bits unknown: nothing is
// written, the shadow keeps its value and the setter fails.
TEST_F(CFpgaBitTest, FailedReadWritesNothingAndKeepsTheShadow) {
    for (const auto& op : ReadModifyWrites()) {
        SCOPED_TRACE(op.first);
        const int reg = op.second.first;
        kyrsim_clear_faults();
        ASSERT_TRUE(m_Dev.setFpga(reg, 0x5A));
        Fx3().*ShadowOf(reg) = 0xC3;
        kyrsim::clearLog();
        ASSERT_GE(kyrsim::Fault().device(m_Dev).request(kReqReadFpga).value(reg).error(LIBUSB_ERROR_IO).add(),
                  0);
        EXPECT_FALSE(op.second.second(Fx3()));
        EXPECT_TRUE(FpgaWrites().empty());
        EXPECT_EQ(Fx3().*ShadowOf(reg), 0xC3);
        EXPECT_EQ(m_Dev.fpga(reg), 0x5A);
    }
}

// The first start on a fresh object has a zero shadow: writing it back after a
// failed read would put the FPGA into reset and stop its frame output.
TEST_F(CFpgaBitTest, FirstStartWithFailedReadDoesNotResetTheFpga) {
    ASSERT_EQ(Fx3().m_ucFPGAReg0, 0);
    ASSERT_GE(kyrsim::Fault().device(m_Dev).request(kReqReadFpga).value(0).error(LIBUSB_ERROR_TIMEOUT).add(),
              0);
    EXPECT_FALSE(Fx3().FPGAStart());
    EXPECT_TRUE(FpgaWrites().empty());
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_FPGA_RESETS), 0);
}

// A failed write: the setter fails and the shadow holds what was read.
TEST_F(CFpgaBitTest, FailedWriteFailsAndShadowKeepsTheValueRead) {
    for (const auto& op : ReadModifyWrites()) {
        SCOPED_TRACE(op.first);
        const int reg = op.second.first;
        kyrsim_clear_faults();
        ASSERT_TRUE(m_Dev.setFpga(reg, 0x5A));
        Fx3().*ShadowOf(reg) = 0xC3;
        ASSERT_GE(
            kyrsim::Fault().device(m_Dev).request(kReqWriteFpga).value(reg).error(LIBUSB_ERROR_IO).add(), 0);
        EXPECT_FALSE(op.second.second(Fx3()));
        EXPECT_EQ(Fx3().*ShadowOf(reg), 0x5A);
    }
}

// ---------------------------------------------------------------------------
// Reset, DDR, cooler, direct writes
// ---------------------------------------------------------------------------

class CFpgaOtherTest : public CFpgaTest {};

TEST_F(CFpgaOtherTest, ResetWritesTheShadowWithoutRunBitAndNeverReads) {
    Fx3().m_ucFPGAReg0 = 0x31;
    EXPECT_TRUE(Fx3().FPGAReset());
    EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{W(0, 0x30)}));
    EXPECT_EQ(Fx3().m_ucFPGAReg0, 0x31);
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_FPGA_RESETS), 1);
}

TEST_F(CFpgaOtherTest, ResetReportsAFailedWrite) {
    Fx3().m_ucFPGAReg0 = 0x20;
    ASSERT_GE(kyrsim::Fault().device(m_Dev).request(kReqWriteFpga).value(0).error(LIBUSB_ERROR_PIPE).add(),
              0);
    EXPECT_FALSE(Fx3().FPGAReset());
    EXPECT_EQ(Fx3().m_ucFPGAReg0, 0x21);
}

TEST_F(CFpgaOtherTest, DDRTestRequestsInitialisationUntilReady) {
    // Ready at attempt k: k - 1 initialise requests before it.
    for (int k = 1; k <= 5; ++k) {
        SCOPED_TRACE(testing::Message() << "ready at attempt " << k);
        ASSERT_TRUE(m_Dev.setDdrPolicy(KYRSIM_DDR_AFTER_WRITES, k - 1));
        kyrsim::clearLog();
        EXPECT_TRUE(Fx3().FPGADDRTest());
        std::vector<SFpgaAccess> expected;
        for (int i = 1; i < k; ++i) {
            expected.push_back(R(35));
            expected.push_back(W(24, 128));
        }
        expected.push_back(R(35));
        EXPECT_EQ(FpgaAccesses(), expected);
    }
}

TEST_F(CFpgaOtherTest, DDRTestGivesUpAfterFiveAttempts) {
    ASSERT_TRUE(m_Dev.setDdrPolicy(KYRSIM_DDR_NEVER));
    bool ok = true;
    std::string log = CaptureDebugLog([&] { ok = Fx3().FPGADDRTest(); });
    EXPECT_FALSE(ok);
    std::vector<SFpgaAccess> expected;
    for (int i = 0; i < 5; ++i) {
        expected.push_back(R(35));
        expected.push_back(W(24, 128));
    }
    EXPECT_EQ(FpgaAccesses(), expected);
    EXPECT_NE(log.find("DDR ERROR!"), std::string::npos) << log;
}

// A status read that fails tells nothing: the attempt is spent without an
// initialise request, and the next attempt reads again.
TEST_F(CFpgaOtherTest, DDRTestFailedStatusReadSpendsAnAttempt) {
    ASSERT_TRUE(m_Dev.setDdrPolicy(KYRSIM_DDR_READY));
    ASSERT_GE(kyrsim::Fault().device(m_Dev).request(kReqReadFpga).value(35).error(LIBUSB_ERROR_IO).add(), 0);
    EXPECT_TRUE(Fx3().FPGADDRTest());
    EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{R(35), R(35)}));
}

TEST_F(CFpgaOtherTest, CoolPowerWritesRegister38WithoutLatch) {
    const std::pair<int, int> cases[] = {{-1, 15},   {0, 15},    {1, 1},    {128, 128},
                                         {255, 255}, {256, 255}, {300, 255}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(testing::Message() << "power " << tc.first);
        kyrsim::clearLog();
        EXPECT_TRUE(Fx3().SetFPGACoolPower(tc.first));
        EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{W(38, tc.second)}));
        EXPECT_EQ(m_Dev.fpga(38), tc.second);
    }
}

TEST_F(CFpgaOtherTest, ExtendIOAndHeaterWriteTheirRegisterWithoutLatch) {
    EXPECT_TRUE(Fx3().SetExtendIOValue(0xA5));
    EXPECT_TRUE(Fx3().SetFPGAHeaterPowerPercent(77));
    EXPECT_EQ(FpgaAccesses(), (std::vector<SFpgaAccess>{W(34, 0xA5), W(42, 77)}));
    EXPECT_EQ(m_Dev.fpga(34), 0xA5);
    EXPECT_EQ(m_Dev.fpga(42), 77);
}

// Every operation on a closed device: false, and nothing reaches the bus.
TEST_F(CFpgaOtherTest, ClosedDeviceSendsNothing) {
    Fx3().CloseDevice();
    kyrsim::clearLog();
    std::vector<std::pair<std::string, std::function<bool(CCameraFX3&)>>> ops;
    for (const SLatchedCase& tc : LatchedCases()) ops.push_back({tc.szName, tc.fnCall});
    for (const auto& op : ReadModifyWrites()) ops.push_back({op.first, op.second.second});
    ops.push_back({"FPGAReset", [](CCameraFX3& c) { return c.FPGAReset(); }});
    ops.push_back({"FPGADDRTest", [](CCameraFX3& c) { return c.FPGADDRTest(); }});
    ops.push_back({"SetFPGACoolPower", [](CCameraFX3& c) { return c.SetFPGACoolPower(100); }});
    ops.push_back({"SetExtendIOValue", [](CCameraFX3& c) { return c.SetExtendIOValue(1); }});
    ops.push_back(
        {"SetFPGAHeaterPowerPercent", [](CCameraFX3& c) { return c.SetFPGAHeaterPowerPercent(1); }});
    for (const auto& op : ops) {
        SCOPED_TRACE(op.first);
        EXPECT_FALSE(op.second(Fx3()));
    }
    EXPECT_EQ(kyrsim_log_count(), 0);
}

}  // namespace

// The USB transport against a simulated camera: the requests each operation
// puts on the wire, what it makes of the answers, and how it reports short
// replies, errors, resets and an unplugged camera.
#include <gtest/gtest.h>
#include <libusb.h>

#include <functional>
#include <string>
#include <vector>

#include "test_transport_fixture.h"

using namespace transport_test;

namespace {

// Register numbers used throughout: a 16-bit and an 8-bit sensor register
// and an FPGA register that the tests may change freely.
constexpr uint16_t kSensorReg16 = 0x3012;
constexpr uint16_t kSensorReg8 = 0x3001;
constexpr uint16_t kFpgaReg = 12;

struct SOperation {
    const char* szName;
    std::function<bool(CCameraFX3&)> fnCall;
    std::vector<SExpectedRequest> vecRequests;  // on an open camera with the registers preset below
};

// Preset of the simulated camera that the expectations of Operations() assume.
void PresetRegisters(const kyrsim::Device& dev) {
    ASSERT_TRUE(dev.setSensor(kSensorReg16, 0x1234));
    ASSERT_TRUE(dev.setSensor(kSensorReg8, 0xC3));
    ASSERT_TRUE(dev.setFpga(28, 3));  // the newer version layout: registers 28-33
}

// Every operation of the transport that sends requests, with its arguments
// and the exact requests it sends.
std::vector<SOperation> Operations() {
    static uint8_t s_ucByte;
    static uint16_t s_usWord;
    static uint8_t s_ucDigits[4];
    static uint8_t s_ucBuf[16];
    return {
        {"SendCMD(stop stream)", [](CCameraFX3& c) { return c.SendCMD(VR_STOP_STREAM); }, {OutShort(0xAA)}},
        {"SendCMD(start stream)", [](CCameraFX3& c) { return c.SendCMD(VR_START_STREAM); }, {OutShort(0xA9)}},
        {"SendCMD(0xAF)", [](CCameraFX3& c) { return c.SendCMD(VR_CMD_AF); }, {OutShort(0xAF)}},
        {"SendCMD(0xAE)", [](CCameraFX3& c) { return c.SendCMD(VR_CMD_AE); }, {OutShort(0xAE)}},
        {"SendCMD(transfer count)",
         [](CCameraFX3& c) { return c.SendCMD(VR_SET_XFER_COUNT, 0x0001, 0x2345, false, nullptr, 0); },
         {Out(0xB5, 0x0001, 0x2345)}},
        {"SendCMD(guide on west)",
         [](CCameraFX3& c) { return c.SendCMD(VR_GUIDE_ON, 3, 0, false, nullptr, 0); },
         {Out(0xB0, 3, 0)}},
        {"SendCMD(serial, IN 8)",
         [](CCameraFX3& c) { return c.SendCMD(VR_GET_SERIAL, 0, 0, true, s_ucBuf, 8); },
         {In(0xC8, 0, 0, 8)}},
        {"WriteCameraRegister",
         [](CCameraFX3& c) { return c.WriteCameraRegister(kSensorReg16, 0xBEEF); },
         {Out(0xA6, kSensorReg16, 0xBEEF)}},
        {"ReadCameraRegister",
         [](CCameraFX3& c) { return c.ReadCameraRegister(kSensorReg16, &s_usWord); },
         {In(0xA7, kSensorReg16, 0, 2)}},
        {"WriteCameraRegisterByte",
         [](CCameraFX3& c) { return c.WriteCameraRegisterByte(kSensorReg8, 0x5A); },
         {Out(0xB6, kSensorReg8, 0x5A)}},
        {"ReadCameraRegisterByte",
         [](CCameraFX3& c) { return c.ReadCameraRegisterByte(kSensorReg8, &s_ucByte); },
         {In(0xB7, kSensorReg8, 0, 1)}},
        {"WriteSONYREG",
         [](CCameraFX3& c) { return c.WriteSONYREG(kSensorReg8, 0x21); },
         {Out(0xB6, kSensorReg8, 0x21)}},
        {"ReadSONYREG",
         [](CCameraFX3& c) { return c.ReadSONYREG(kSensorReg8, &s_ucByte); },
         {In(0xB7, kSensorReg8, 0, 1)}},
        // 0x1234 with bits 4-7 replaced by 0xA: 0x12A4.
        {"WriteCameraRegister_B",
         [](CCameraFX3& c) { return c.WriteCameraRegister_B(kSensorReg16, 4, 7, 0xA); },
         {In(0xA7, kSensorReg16, 0, 2), Out(0xA6, kSensorReg16, 0x12A4)}},
        // 0xC3 with bits 4-6 replaced by 0x5: 0xD3.
        {"WriteCameraRegisterByte_B",
         [](CCameraFX3& c) { return c.WriteCameraRegisterByte_B(kSensorReg8, 4, 7, 0x5); },
         {In(0xB7, kSensorReg8, 0, 1), Out(0xB6, kSensorReg8, 0xD3)}},
        {"WriteFPGAREG",
         [](CCameraFX3& c) { return c.WriteFPGAREG(kFpgaReg, 0x80); },
         {Out(0xBD, kFpgaReg, 0x80)}},
        {"ReadFPGAREG", [](CCameraFX3& c) { return c.ReadFPGAREG(35, &s_ucByte); }, {In(0xBC, 35, 0, 1)}},
        {"EnableGPIF32DQ(true)", [](CCameraFX3& c) { return c.EnableGPIF32DQ(true); }, {Out(0xBE, 1, 0)}},
        {"EnableGPIF32DQ(false)", [](CCameraFX3& c) { return c.EnableGPIF32DQ(false); }, {Out(0xBE, 0, 0)}},
        {"GetGPIFStatus", [](CCameraFX3& c) { return c.GetGPIFStatus(&s_ucByte); }, {In(0xFD, 0, 0, 1)}},
        {"GetFirmwareVer(ver)",
         [](CCameraFX3& c) { return c.GetFirmwareVer(&s_ucByte); },
         {In(0xAD, 0, 0, 2)}},
        {"GetFirmwareVer()", [](CCameraFX3& c) { return c.GetFirmwareVer(); }, {In(0xAD, 0, 0, 2)}},
        {"GetFPGAVer(ver, digits)",
         [](CCameraFX3& c) { return c.GetFPGAVer(&s_usWord, s_ucDigits); },
         {In(0xBC, 28, 0, 1), In(0xBC, 29, 0, 1), In(0xBC, 30, 0, 1), In(0xBC, 31, 0, 1), In(0xBC, 32, 0, 1),
          In(0xBC, 33, 0, 1)}},
        {"GetFPGAVer()",
         [](CCameraFX3& c) { return c.GetFPGAVer(); },
         {In(0xBC, 28, 0, 1), In(0xBC, 29, 0, 1), In(0xBC, 30, 0, 1), In(0xBC, 31, 0, 1), In(0xBC, 32, 0, 1),
          In(0xBC, 33, 0, 1)}},
        {"IsUSB3Host", [](CCameraFX3& c) { return c.IsUSB3Host(); }, {In(0xB4, 0, 0, 1)}},
    };
}

}  // namespace

// Wire format: each operation sends exactly its requests (type, code, wValue,
// wIndex, length and timeout) and reports success on a healthy camera.
TEST_F(CTransportTest, EveryOperationSendsItsExactRequests) {
    ASSERT_NO_FATAL_FAILURE(PresetRegisters(m_Dev));
    for (const SOperation& op : Operations()) {
        SCOPED_TRACE(op.szName);
        ASSERT_NO_FATAL_FAILURE(PresetRegisters(m_Dev));
        kyrsim::clearLog();
        EXPECT_TRUE(op.fnCall(*m_pFx3));
        ExpectRequests(kyrsim::requests(), op.vecRequests);
    }
}

// The sensor sends a 16-bit register high byte first; the value read must be
// the register's value, not its byte swap.
TEST_F(CTransportTest, SixteenBitReadTakesTheHighByteFirst) {
    ASSERT_TRUE(m_Dev.setSensor(kSensorReg16, 0x1234));
    uint16_t usValue = 0;
    ASSERT_TRUE(m_pFx3->ReadCameraRegister(kSensorReg16, &usValue));
    EXPECT_EQ(usValue, 0x1234);
    std::vector<kyrsim::Request> log = kyrsim::requests();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].data_len, 2);
    EXPECT_EQ(log[0].data[0], 0x12);
    EXPECT_EQ(log[0].data[1], 0x34);

    uint8_t ucValue = 0;
    ASSERT_TRUE(m_Dev.setSensor(kSensorReg8, 0xC3));
    ASSERT_TRUE(m_pFx3->ReadCameraRegisterByte(kSensorReg8, &ucValue));
    EXPECT_EQ(ucValue, 0xC3);
    ASSERT_TRUE(m_Dev.setFpga(kFpgaReg, 0x7E));
    ASSERT_TRUE(m_pFx3->ReadFPGAREG(kFpgaReg, &ucValue));
    EXPECT_EQ(ucValue, 0x7E);
}

// The write requests really reach the registers they name.
TEST_F(CTransportTest, WritesReachTheirRegisters) {
    ASSERT_TRUE(m_pFx3->WriteCameraRegister(kSensorReg16, 0xBEEF));
    EXPECT_EQ(m_Dev.sensor(kSensorReg16), 0xBEEF);
    ASSERT_TRUE(m_pFx3->WriteSONYREG(kSensorReg8, 0x5A));
    EXPECT_EQ(m_Dev.sensor(kSensorReg8), 0x5A);
    ASSERT_TRUE(m_pFx3->WriteFPGAREG(kFpgaReg, 0x80));
    EXPECT_EQ(m_Dev.fpga(kFpgaReg), 0x80);
    ASSERT_TRUE(m_pFx3->EnableGPIF32DQ(false));
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_GPIF_TAKEN), 0);
    ASSERT_TRUE(m_pFx3->EnableGPIF32DQ(true));
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_GPIF_TAKEN), 1);
}

// A closed transport sends nothing and reports every operation as failed,
// both before the first open and after CloseDevice.
TEST_F(CTransportTest, ClosedDeviceFailsEveryOperationWithoutATransfer) {
    ASSERT_NO_FATAL_FAILURE(PresetRegisters(m_Dev));
    CCameraFX3 neverOpened;
    m_pFx3->CloseDevice();
    EXPECT_FALSE(m_pFx3->m_bOpened);
    EXPECT_EQ(m_pFx3->m_hDevice, nullptr);
    EXPECT_EQ(kyrsim_open_handles(), 0);

    for (CCameraFX3* pFx3 : {&neverOpened, m_pFx3.get()}) {
        for (const SOperation& op : Operations()) {
            SCOPED_TRACE(op.szName);
            EXPECT_FALSE(op.fnCall(*pFx3));
        }
        EXPECT_FALSE(pFx3->ResetEndPoint(0x81));
        EXPECT_FALSE(pFx3->ResetDevice());
        EXPECT_FALSE(pFx3->SetXferSize(0x100000));
        EXPECT_FALSE(pFx3->SendCMD(VR_SPI_READ, 0, 0x700, true, nullptr, 0));
        pFx3->CloseDevice();  // closing twice is harmless
    }
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_CLEAR_HALTS_81), 0);
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_USB_RESETS), 0);
}

TEST_F(CTransportTest, SetXferSizeReportsWhetherTheDeviceIsOpen) {
    EXPECT_TRUE(m_pFx3->SetXferSize(0x100000));
    m_pFx3->CloseDevice();
    EXPECT_FALSE(m_pFx3->SetXferSize(0x100000));
    EXPECT_EQ(kyrsim_log_count(), 0);
}

// wLength is 16 bits: a longer (or negative) length must not go out cut short
// and be reported as a success.
TEST_F(CTransportTest, LengthBeyondSixteenBitsIsRefusedWithoutATransfer) {
    std::vector<uint8_t> vecBuf(0x20000);
    for (long lLength : {-1L, 0x10000L, 0x10001L, 0x20000L}) {
        SCOPED_TRACE(lLength);
        EXPECT_FALSE(m_pFx3->SendCMD(VR_SPI_READ, 0, 0x700, true, vecBuf.data(), lLength));
        EXPECT_FALSE(m_pFx3->SendCMD(VR_SPI_WRITE, 0, 0x700, false, vecBuf.data(), lLength));
    }
    EXPECT_EQ(kyrsim_log_count(), 0);
}

// A data transfer succeeds only when its whole length moved, in either
// direction; a full 4096-byte transfer goes through intact.
TEST_F(CTransportTest, DataTransfersSucceedOnlyWithTheirFullLength) {
    constexpr uint16_t kRamAddr = 0x2000;  // controller RAM away from the CPU control byte
    std::vector<uint8_t> vecOut(4096);
    for (size_t i = 0; i < vecOut.size(); ++i) vecOut[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_TRUE(m_pFx3->SendCMD(VR_FW_RAM, kRamAddr, 0, false, vecOut.data(), 4096));
    EXPECT_EQ(m_Dev.ram(kRamAddr, 4096), vecOut);
    std::vector<uint8_t> vecIn(4096, 0);
    ASSERT_TRUE(m_pFx3->SendCMD(VR_FW_RAM, kRamAddr, 0, true, vecIn.data(), 4096));
    EXPECT_EQ(vecIn, vecOut);
    ExpectRequests(kyrsim::requests(), {Out(0xA0, kRamAddr, 0, 4096), In(0xA0, kRamAddr, 0, 4096)});

    for (bool bIn : {false, true}) {
        for (int iMoved : {0, 1, 4095}) {
            SCOPED_TRACE(testing::Message() << (bIn ? "IN" : "OUT") << ", " << iMoved << " bytes moved");
            kyrsim_clear_faults();
            kyrsim::Fault fault = kyrsim::Fault().request(VR_FW_RAM).shortReply(iMoved);
            ASSERT_GE((bIn ? fault.in() : fault.out()).add(), 0);
            EXPECT_FALSE(m_pFx3->SendCMD(VR_FW_RAM, kRamAddr, 0, bIn, vecIn.data(), 4096));
        }
    }
}

// The firmware answers 'V' and a version; one digit stands for digit.0.
TEST_F(CTransportTest, FirmwareVersionAnswersAreParsed) {
    struct SCase {
        int iByte0, iByte1;
        uint8_t ucExpected;
    };
    const SCase cases[] = {
        {'V', 3, 0x30}, {'V', 0x31, 0x31}, {'V', 15, 0xF0}, {'V', 16, 16},
        {'V', 0, 0x00}, {'X', 5, 0x10},    {0, 0, 0x10},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(testing::Message() << "answer " << tc.iByte0 << "," << tc.iByte1);
        ASSERT_TRUE(m_Dev.setFirmwareAnswer(tc.iByte0, tc.iByte1));
        uint8_t ucVer = 0xEE;
        EXPECT_TRUE(m_pFx3->GetFirmwareVer(&ucVer));
        EXPECT_EQ(ucVer, tc.ucExpected);
    }
}

TEST_F(CTransportTest, FirmwareVersionLogsResultAndValue) {
    ASSERT_TRUE(m_Dev.setFirmwareAnswer('V', 3));
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    uint8_t ucVer = 0;
    EXPECT_TRUE(m_pFx3->GetFirmwareVer(&ucVer));
    EXPECT_TRUE(m_pFx3->GetFirmwareVer());
    kyrsim::Fault().request(VR_GET_FW_VERSION).error(LIBUSB_ERROR_IO).add();
    EXPECT_FALSE(m_pFx3->GetFirmwareVer());
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("Ver return 1: 0x30"), std::string::npos) << strErr;
    EXPECT_NE(strErr.find("Get firmware ver: 0x30"), std::string::npos) << strErr;
    EXPECT_NE(strErr.find("Failed to get firmware ver. The USB transmission is disconnected"),
              std::string::npos)
        << strErr;
}

// A firmware version request that fails (error or incomplete answer) is a
// failure, never the untagged version 0x10 built from the zeroed buffer.
TEST_F(CTransportTest, FirmwareVersionFailureIsReported) {
    struct SCase {
        const char* szName;
        kyrsim::Fault fault;
    };
    const SCase cases[] = {
        {"error", kyrsim::Fault().request(VR_GET_FW_VERSION).error(LIBUSB_ERROR_IO)},
        {"timeout", kyrsim::Fault().request(VR_GET_FW_VERSION).error(LIBUSB_ERROR_TIMEOUT)},
        {"empty", kyrsim::Fault().request(VR_GET_FW_VERSION).shortReply(0)},
        {"one byte", kyrsim::Fault().request(VR_GET_FW_VERSION).shortReply(1)},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        kyrsim_clear_faults();
        ASSERT_GE(tc.fault.add(), 0);
        uint8_t ucVer = 0xEE;
        EXPECT_FALSE(m_pFx3->GetFirmwareVer(&ucVer));
        EXPECT_EQ(ucVer, 0);
    }
}

// Register 28 below 3: version word in 29, digits in 30 and 31. From 3 on:
// word in 29 (low) and 30 (high), 31 reserved, digits in 32 and 33.
TEST_F(CTransportTest, FpgaVersionFollowsTheRegisterLayout) {
    struct SCase {
        int iLayout;
        uint16_t usWord;
        uint8_t ucDigits[4];
        int iLastReg;
    };
    const SCase cases[] = {
        {0, 0x12, {0x3, 0x4, 0x5, 0x6}, 31},
        {2, 0x12, {0x3, 0x4, 0x5, 0x6}, 31},
        {3, 0x3412, {0x7, 0x8, 0x9, 0xA}, 33},
        {0xC0, 0x3412, {0x7, 0x8, 0x9, 0xA}, 33},
    };
    const int regs[] = {0x12, 0x34, 0x56, 0x78, 0x9A};  // registers 29..33
    for (const SCase& tc : cases) {
        SCOPED_TRACE(testing::Message() << "register 28 = " << tc.iLayout);
        ASSERT_TRUE(m_Dev.setFpga(28, tc.iLayout));
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(m_Dev.setFpga(29 + i, regs[i]));
        kyrsim::clearLog();
        uint16_t usWord = 0;
        uint8_t ucDigits[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ASSERT_TRUE(m_pFx3->GetFPGAVer(&usWord, ucDigits));
        EXPECT_EQ(usWord, tc.usWord);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(ucDigits[i], tc.ucDigits[i]) << "digit " << i;
        std::vector<kyrsim::Request> log = kyrsim::requests();
        ASSERT_EQ(log.size(), static_cast<size_t>(tc.iLastReg - 28 + 1));
        for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].value, static_cast<int>(28 + i));
    }
}

TEST_F(CTransportTest, FpgaVersionIsKeptAndLogged) {
    const int regs[] = {3, 0x12, 0x34, 0x00, 0x15, 0x27};  // registers 28..33
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(m_Dev.setFpga(28 + i, regs[i]));
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(m_pFx3->GetFPGAVer());
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("Get fpga ver: 1.5.2.7"), std::string::npos) << strErr;
    EXPECT_EQ(m_pFx3->m_usFPGAVer, 0x3412);

    m_pFx3->m_ucFPGAVerDigits[0] = 1;
    m_pFx3->m_ucFPGAVerDigits[3] = 9;
    uint16_t usWord = 0;
    uint8_t ucDigits[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    m_pFx3->GetFPGAVerVal(&usWord, ucDigits);
    EXPECT_EQ(usWord, 0x3412);
    EXPECT_EQ(ucDigits[0], 1);
    EXPECT_EQ(ucDigits[1], 0);
    EXPECT_EQ(ucDigits[2], 0);
    EXPECT_EQ(ucDigits[3], 9);
}

// One failed read among the version reads fails the whole version, whichever
// it is; the kept version word stays as it was.
TEST_F(CTransportTest, FpgaVersionFailsWhenAnyReadFails) {
    ASSERT_TRUE(m_Dev.setFpga(28, 3));
    for (int iFailing = 1; iFailing <= 6; ++iFailing) {
        for (bool bShort : {false, true}) {
            SCOPED_TRACE(testing::Message() << "read " << iFailing << (bShort ? " empty" : " error"));
            kyrsim_clear_faults();
            kyrsim::Fault fault = kyrsim::Fault().request(VR_READ_FPGA_REG).nth(iFailing);
            if (bShort)
                fault.shortReply(0);
            else
                fault.error(LIBUSB_ERROR_PIPE);
            ASSERT_GE(fault.add(), 0);
            m_pFx3->m_usFPGAVer = 0x4242;
            g_bDebugPrint = true;
            testing::internal::CaptureStderr();
            EXPECT_FALSE(m_pFx3->GetFPGAVer());
            std::string strErr = testing::internal::GetCapturedStderr();
            g_bDebugPrint = false;
            EXPECT_NE(strErr.find("Failed to get fpga ver."), std::string::npos) << strErr;
            EXPECT_EQ(m_pFx3->m_usFPGAVer, 0x4242);
        }
    }
}

// Bit-field writes: the 16-bit form replaces bits firstBit..lastBit, the
// 8-bit form bits firstBit up to lastBit exclusive; an empty mask writes the
// old value back.
TEST_F(CTransportTest, BitFieldWritesReplaceOnlyTheirMask) {
    struct SCase {
        bool bByte;
        int iOld;
        uint8_t ucFirst, ucLast;
        uint16_t usValue;
        int iExpected;
    };
    const SCase cases[] = {
        {false, 0xFFFF, 4, 7, 0xA, 0xFFAF},     {false, 0x0000, 4, 7, 0xA, 0x00A0},
        {false, 0x0000, 4, 7, 0x1FA, 0x00A0},  // value bits beyond the field are dropped
        {false, 0x1234, 0, 15, 0xBEEF, 0xBEEF}, {false, 0x0000, 15, 15, 1, 0x8000},
        {false, 0x1234, 8, 20, 0xFFFF, 0xFF34},  // bits above 15 do not exist
        {false, 0x1234, 7, 4, 0xF, 0x1234},      // empty mask
        {false, 0x1234, 16, 20, 0xF, 0x1234},    // empty mask above the register
        {true, 0xFF, 4, 7, 0x5, 0xDF},          {true, 0x00, 4, 7, 0x7, 0x70},  // bit 7 is not in the field
        {true, 0x00, 4, 7, 0xF, 0x70},          {true, 0x12, 0, 8, 0xAB, 0xAB},
        {true, 0x00, 6, 10, 0xF, 0xC0},  // bits above 7 do not exist
        {true, 0xA5, 4, 4, 0xF, 0xA5},   // empty mask
        {true, 0xA5, 5, 4, 0xF, 0xA5},   // empty mask
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(testing::Message() << (tc.bByte ? "Byte_B" : "_B") << " old 0x" << std::hex << tc.iOld
                                        << " bits " << std::dec << int(tc.ucFirst) << ".." << int(tc.ucLast)
                                        << " value 0x" << std::hex << tc.usValue);
        uint16_t reg = tc.bByte ? kSensorReg8 : kSensorReg16;
        ASSERT_TRUE(m_Dev.setSensor(reg, tc.iOld));
        kyrsim::clearLog();
        bool ok = tc.bByte ? m_pFx3->WriteCameraRegisterByte_B(reg, tc.ucFirst, tc.ucLast,
                                                               static_cast<uint8_t>(tc.usValue))
                           : m_pFx3->WriteCameraRegister_B(reg, tc.ucFirst, tc.ucLast, tc.usValue);
        EXPECT_TRUE(ok);
        EXPECT_EQ(m_Dev.sensor(reg), tc.iExpected);
        std::vector<kyrsim::Request> log = kyrsim::requests();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1].request, tc.bByte ? VR_WRITE_SENSOR_REG8 : VR_WRITE_SENSOR_REG16);
        EXPECT_EQ(log[1].index, tc.iExpected);
    }
}

// Injected short replies and errors: every read reports the failure and
// gives 0, not a value built from the preset buffer.
TEST_F(CTransportTest, ReadsReportShortRepliesAndErrors) {
    ASSERT_NO_FATAL_FAILURE(PresetRegisters(m_Dev));
    ASSERT_TRUE(m_Dev.setFpga(35, 0x55));
    struct SRead {
        const char* szName;
        int iRequest;
        int iLength;
        std::function<bool(CCameraFX3&, int*)> fnRead;
    };
    const SRead reads[] = {
        {"ReadCameraRegister", VR_READ_SENSOR_REG16, 2,
         [](CCameraFX3& c, int* p) {
             uint16_t v = 0xEEEE;
             bool ok = c.ReadCameraRegister(kSensorReg16, &v);
             *p = v;
             return ok;
         }},
        {"ReadCameraRegisterByte", VR_READ_SENSOR_REG8, 1,
         [](CCameraFX3& c, int* p) {
             uint8_t v = 0xEE;
             bool ok = c.ReadCameraRegisterByte(kSensorReg8, &v);
             *p = v;
             return ok;
         }},
        {"ReadSONYREG", VR_READ_SENSOR_REG8, 1,
         [](CCameraFX3& c, int* p) {
             uint8_t v = 0xEE;
             bool ok = c.ReadSONYREG(kSensorReg8, &v);
             *p = v;
             return ok;
         }},
        {"ReadFPGAREG", VR_READ_FPGA_REG, 1,
         [](CCameraFX3& c, int* p) {
             uint8_t v = 0xEE;
             bool ok = c.ReadFPGAREG(35, &v);
             *p = v;
             return ok;
         }},
        {"GetGPIFStatus", VR_GPIF_STATUS, 1,
         [](CCameraFX3& c, int* p) {
             uint8_t v = 0xEE;
             bool ok = c.GetGPIFStatus(&v);
             *p = v;
             return ok;
         }},
        {"GetFirmwareVer", VR_GET_FW_VERSION, 2,
         [](CCameraFX3& c, int* p) {
             uint8_t v = 0xEE;
             bool ok = c.GetFirmwareVer(&v);
             *p = v;
             return ok;
         }},
        {"SendCMD(serial)", VR_GET_SERIAL, 8,
         [](CCameraFX3& c, int* p) {
             uint8_t buf[8] = {};
             *p = 0;
             return c.SendCMD(VR_GET_SERIAL, 0, 0, true, buf, 8);
         }},
    };
    struct SFault {
        const char* szName;
        int iAction;
        int iArg;  // error code, or bytes short of the full length
    };
    const SFault faults[] = {
        {"io error", KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO},
        {"stall", KYRSIM_FAULT_ERROR, LIBUSB_ERROR_PIPE},
        {"timeout", KYRSIM_FAULT_ERROR, LIBUSB_ERROR_TIMEOUT},
        {"empty reply", KYRSIM_FAULT_SHORT, 0},
        {"one byte short", KYRSIM_FAULT_SHORT, -1},
    };
    for (const SRead& rd : reads) {
        for (const SFault& ft : faults) {
            SCOPED_TRACE(testing::Message() << rd.szName << ", " << ft.szName);
            kyrsim_clear_faults();
            kyrsim_fault f;
            int iArg =
                ft.iAction == KYRSIM_FAULT_SHORT ? (ft.iArg < 0 ? rd.iLength + ft.iArg : ft.iArg) : ft.iArg;
            kyrsim_fault_init(&f, ft.iAction, iArg);
            f.request = rd.iRequest;
            ASSERT_GE(kyrsim_add_fault(&f), 0);
            kyrsim::clearLog();
            int iValue = -1;
            EXPECT_FALSE(rd.fnRead(*m_pFx3, &iValue));
            EXPECT_EQ(iValue, 0);
            EXPECT_EQ(kyrsim::requests().size(), 1u);
        }
    }
}

// A bit-field write whose read failed must write nothing: a value built on a
// preset 0 would clear every other bit of the register.
TEST_F(CTransportTest, FailedReadOfBitFieldWriteWritesNothing) {
    struct SCase {
        const char* szName;
        bool bByte;
        kyrsim::Fault fault;
    };
    const SCase cases[] = {
        {"_B error", false, kyrsim::Fault().request(VR_READ_SENSOR_REG16).error(LIBUSB_ERROR_IO)},
        {"_B empty", false, kyrsim::Fault().request(VR_READ_SENSOR_REG16).shortReply(0)},
        {"_B one byte", false, kyrsim::Fault().request(VR_READ_SENSOR_REG16).shortReply(1)},
        {"Byte_B error", true, kyrsim::Fault().request(VR_READ_SENSOR_REG8).error(LIBUSB_ERROR_TIMEOUT)},
        {"Byte_B empty", true, kyrsim::Fault().request(VR_READ_SENSOR_REG8).shortReply(0)},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        uint16_t reg = tc.bByte ? kSensorReg8 : kSensorReg16;
        int iOld = tc.bByte ? 0xC3 : 0xC3C3;
        ASSERT_TRUE(m_Dev.setSensor(reg, iOld));
        int iWritesBefore = m_Dev.sensorWrites(reg);
        kyrsim_clear_faults();
        ASSERT_GE(tc.fault.add(), 0);
        kyrsim::clearLog();
        bool ok = tc.bByte ? m_pFx3->WriteCameraRegisterByte_B(reg, 4, 6, 1)
                           : m_pFx3->WriteCameraRegister_B(reg, 4, 5, 1);
        EXPECT_FALSE(ok);
        EXPECT_EQ(m_Dev.sensor(reg), iOld);
        EXPECT_EQ(m_Dev.sensorWrites(reg), iWritesBefore);
        EXPECT_EQ(kyrsim_log_count_matching(m_Dev.handle(), KYRSIM_ANY, KYRSIM_DIR_OUT), 0);
    }
}

// A bit-field write whose write fails reports the failure.
TEST_F(CTransportTest, FailedWriteOfBitFieldWriteIsReported) {
    kyrsim::Fault().request(VR_WRITE_SENSOR_REG16).error(LIBUSB_ERROR_IO).add();
    kyrsim::Fault().request(VR_WRITE_SENSOR_REG8).error(LIBUSB_ERROR_IO).add();
    EXPECT_FALSE(m_pFx3->WriteCameraRegister_B(kSensorReg16, 0, 3, 1));
    EXPECT_FALSE(m_pFx3->WriteCameraRegisterByte_B(kSensorReg8, 0, 3, 1));
}

// The USB-3 host query is true only on a complete answer of 1.
TEST_F(CTransportTest, Usb3HostOnlyOnACompleteAnswerOfOne) {
    struct SCase {
        const char* szName;
        bool bUsb3;
        int iFaultAction;  // 0 = none
        int iFaultArg;
        bool bExpected;
    };
    const SCase cases[] = {
        {"USB 3", true, 0, 0, true},
        {"USB 2", false, 0, 0, false},
        {"error", true, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO, false},
        {"timeout", true, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_TIMEOUT, false},
        {"empty reply", true, KYRSIM_FAULT_SHORT, 0, false},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        kyrsim_clear_faults();
        ASSERT_TRUE(m_Dev.setUsb3(tc.bUsb3));
        if (tc.iFaultAction) {
            kyrsim_fault f;
            kyrsim_fault_init(&f, tc.iFaultAction, tc.iFaultArg);
            f.request = VR_IS_USB3;
            ASSERT_GE(kyrsim_add_fault(&f), 0);
        }
        EXPECT_EQ(m_pFx3->IsUSB3Host(), tc.bExpected);
    }
}

// A write request that fails is reported as failed.
TEST_F(CTransportTest, WriteErrorsAreReported) {
    kyrsim::Fault().request(VR_WRITE_FPGA_REG).error(LIBUSB_ERROR_PIPE).add();
    EXPECT_FALSE(m_pFx3->WriteFPGAREG(kFpgaReg, 1));
    kyrsim::Fault().request(VR_STOP_STREAM).error(LIBUSB_ERROR_TIMEOUT).add();
    EXPECT_FALSE(m_pFx3->SendCMD(VR_STOP_STREAM));
    kyrsim::Fault().request(VR_WRITE_SENSOR_REG8).error(LIBUSB_ERROR_IO).add();
    EXPECT_FALSE(m_pFx3->WriteSONYREG(kSensorReg8, 1));
    // Each failed once; the next try goes through.
    EXPECT_TRUE(m_pFx3->WriteFPGAREG(kFpgaReg, 1));
    EXPECT_TRUE(m_pFx3->SendCMD(VR_STOP_STREAM));
    EXPECT_TRUE(m_pFx3->WriteSONYREG(kSensorReg8, 1));
}

// Halt clearing and device reset report what libusb said, not merely that the
// device was open.
TEST_F(CTransportTest, ResetAndHaltClearingReportLibusbResult) {
    struct SCase {
        const char* szName;
        int iCall;
        int iError;  // 0 = no fault
    };
    const SCase cases[] = {
        {"clear halt ok", KYRSIM_CALL_CLEAR_HALT, 0},
        {"clear halt io", KYRSIM_CALL_CLEAR_HALT, LIBUSB_ERROR_IO},
        {"clear halt no device", KYRSIM_CALL_CLEAR_HALT, LIBUSB_ERROR_NO_DEVICE},
        {"reset ok", KYRSIM_CALL_RESET, 0},
        {"reset io", KYRSIM_CALL_RESET, LIBUSB_ERROR_IO},
        {"reset not found", KYRSIM_CALL_RESET, LIBUSB_ERROR_NOT_FOUND},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        if (tc.iError) {
            ASSERT_EQ(kyrsim_fail_call(tc.iCall, m_Dev.handle(), tc.iError, 1), 0);
        }
        bool ok = tc.iCall == KYRSIM_CALL_CLEAR_HALT ? m_pFx3->ResetEndPoint(0x81) : m_pFx3->ResetDevice();
        EXPECT_EQ(ok, tc.iError == 0);
        EXPECT_TRUE(m_pFx3->m_bOpened);
        EXPECT_NE(m_pFx3->m_hDevice, nullptr);
    }
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_CLEAR_HALTS_81), 1);
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_USB_RESETS), 1);
    EXPECT_TRUE(m_pFx3->SendCMD(VR_STOP_STREAM));
}

TEST_F(CTransportTest, ResetClearsAHaltedStreamEndpoint) {
    ASSERT_TRUE(m_Dev.haltEndpoint(0x81));
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_HALTED), 1);
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(m_pFx3->ResetDevice());
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("ResetDevice\n"), std::string::npos) << strErr;
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_HALTED), 0);
    ASSERT_TRUE(m_Dev.haltEndpoint(0x81));
    EXPECT_TRUE(m_pFx3->ResetEndPoint(0x81));
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_HALTED), 0);
}

// A reset that makes the camera re-enumerate answers NOT_FOUND: the reset
// fails, the old handle is dead (requests fail), the handle is kept for the
// reconnection to close, and a new open finds the camera again.
TEST_F(CTransportTest, ResetThatReenumeratesFailsAndLeavesADeadHandle) {
    ASSERT_TRUE(m_Dev.setResetMode(KYRSIM_RESET_REENUMERATE));
    libusb_device_handle* hOld = m_pFx3->m_hDevice;
    EXPECT_FALSE(m_pFx3->ResetDevice());
    EXPECT_TRUE(m_pFx3->m_bOpened);
    EXPECT_EQ(m_pFx3->m_hDevice, hOld);

    kyrsim::clearLog();
    uint8_t ucValue = 0xEE;
    EXPECT_FALSE(m_pFx3->ReadFPGAREG(kFpgaReg, &ucValue));
    EXPECT_EQ(ucValue, 0);
    EXPECT_FALSE(m_pFx3->SendCMD(VR_STOP_STREAM));
    EXPECT_FALSE(m_pFx3->GetFirmwareVer());
    EXPECT_FALSE(m_pFx3->IsUSB3Host());
    EXPECT_FALSE(m_pFx3->ResetEndPoint(0x81));
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(libusb_control_transfer(hOld, 0x40, VR_STOP_STREAM, 0, 0, nullptr, 0, 200),
              LIBUSB_ERROR_NO_DEVICE);

    // The reconnection: close the dead handle and open the camera anew.
    m_pFx3->CloseDevice();
    EXPECT_EQ(kyrsim_open_handles(), 0);
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_TRUE(m_pFx3->SendCMD(VR_STOP_STREAM));
}

// Unplugging the camera under an open handle: every request fails with
// NO_DEVICE, and the camera is gone from a new device list.
TEST_F(CTransportTest, UnplugUnderAnOpenHandle) {
    ASSERT_TRUE(m_Dev.unplug());
    kyrsim::clearLog();
    uint8_t ucValue = 0xEE;
    uint16_t usValue = 0xEEEE;
    EXPECT_FALSE(m_pFx3->ReadFPGAREG(kFpgaReg, &ucValue));
    EXPECT_EQ(ucValue, 0);
    EXPECT_FALSE(m_pFx3->ReadCameraRegister(kSensorReg16, &usValue));
    EXPECT_EQ(usValue, 0);
    EXPECT_FALSE(m_pFx3->WriteFPGAREG(kFpgaReg, 1));
    EXPECT_FALSE(m_pFx3->SendCMD(VR_STOP_STREAM));
    EXPECT_FALSE(m_pFx3->WriteCameraRegister_B(kSensorReg16, 0, 3, 1));
    EXPECT_FALSE(m_pFx3->GetFirmwareVer());
    EXPECT_FALSE(m_pFx3->ResetEndPoint(0x81));
    EXPECT_FALSE(m_pFx3->ResetDevice());
    // Nothing reached a camera; libusb answers the handle with NO_DEVICE.
    EXPECT_EQ(kyrsim_log_count(), 0);
    uint8_t ucByte = 0;
    EXPECT_EQ(
        libusb_control_transfer(m_pFx3->m_hDevice, 0xC0, VR_READ_FPGA_REG, kFpgaReg, 0, &ucByte, 1, 500),
        LIBUSB_ERROR_NO_DEVICE);

    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(m_pFx3->m_pUsbContext, &list);
    ASSERT_GE(n, 0);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &desc), 0);
        EXPECT_FALSE(desc.idVendor == kVendorId && desc.idProduct == kProductId);
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(libusb_open_device_with_vid_pid_index(m_pFx3->m_pUsbContext, kVendorId, kProductId, 1),
              nullptr);

    // Closing the dead handle still works and frees it.
    m_pFx3->CloseDevice();
    EXPECT_FALSE(m_pFx3->m_bOpened);
    EXPECT_EQ(kyrsim_open_handles(), 0);
}

TEST_F(CTransportTest, CameraPIDTagIsStored) {
    EXPECT_EQ(m_pFx3->m_iCameraPID, -1);
    m_pFx3->CameraPID(0x832b);
    EXPECT_EQ(m_pFx3->m_iCameraPID, 0x832b);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

// A fresh transport: closed, shadows and version fields clear, its own
// context, and the start-up lines logged.
TEST_F(CTransportTest, ConstructionStartsClosedWithItsOwnContext) {
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    {
        CCameraFX3 fx3;
        EXPECT_FALSE(fx3.m_bOpened);
        EXPECT_EQ(fx3.m_hDevice, nullptr);
        ASSERT_NE(fx3.m_pUsbContext, nullptr);
        EXPECT_NE(fx3.m_pUsbContext, m_pFx3->m_pUsbContext);
        EXPECT_EQ(fx3.m_iCameraPID, -1);
        EXPECT_EQ(fx3.m_iXferLen, -1);
        EXPECT_EQ(fx3.m_ucFirmwareVer, 0);
        EXPECT_EQ(fx3.m_usFPGAVer, 0);
        const uint8_t* shadows[] = {&fx3.m_ucFPGAReg0,  &fx3.m_ucFPGAReg10, &fx3.m_ucFPGAReg11,
                                    &fx3.m_ucFPGAReg25, &fx3.m_ucFPGAReg24, &fx3.m_ucFPGAReg40,
                                    &fx3.m_ucFPGAReg41, &fx3.m_ucFPGAReg39};
        for (const uint8_t* p : shadows) EXPECT_EQ(*p, 0);
        EXPECT_EQ(fx3.m_pXfers, nullptr);
        EXPECT_EQ(fx3.m_pSingleXfers, nullptr);
        EXPECT_EQ(kyrsim_live_contexts(), 2);
    }
    EXPECT_EQ(kyrsim_live_contexts(), 1);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("KYRCamera SDK Ver: 1, 26, 0, 0, build: 08041650\n"), std::string::npos) << strErr;
    EXPECT_NE(strErr.find("libusb_init OK\n"), std::string::npos) << strErr;
    EXPECT_NE(strErr.find("~CCameraFX3\n"), std::string::npos) << strErr;
}

// Without a libusb context the transport stays usable but closed.
TEST_F(CTransportTest, FailedLibusbInitLeavesNoContext) {
    kyrsim_fail_init(1, 0);
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    {
        CCameraFX3 fx3;
        EXPECT_EQ(fx3.m_pUsbContext, nullptr);
        EXPECT_FALSE(fx3.SendCMD(VR_STOP_STREAM));
        EXPECT_FALSE(fx3.IsUSB3Host());
        fx3.CloseDevice();
    }
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_NE(strErr.find("libusb_init fail!\n"), std::string::npos) << strErr;
    EXPECT_EQ(kyrsim_live_contexts(), 1);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

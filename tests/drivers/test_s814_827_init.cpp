// The 814 and 827 classes: the constants a fresh object holds, the start-up
// table and fixed rows written in one hold, and the DDR buffer only where
// the class has one.
#include <memory>

#include "test_s814_827_fixture.h"

namespace {

struct SConstCase {
    int pid;
    const char* name;
    int width, height;
    double pixel;
    uint8_t bins[5];
    int offsetMax, wbRed, wbBlue, unityGain;
    float elecPerADU;
    int hmax;
    bool ddr, st4, triggerByte, hardwareBin;
};
const SConstCase kConsts[] = {
    {kPid814,
     "VORN KYR814MC",
     3840,
     2160,
     2.9,
     {1, 2, 3, 4, 0},
     400,
     57,
     68,
     100,
     3.18f,
     300,
     false,
     true,
     false,
     true},
    {kPid814Pro,
     "VORN KYR814MC Pro",
     3840,
     2160,
     2.9,
     {1, 2, 3, 4, 0},
     400,
     57,
     68,
     100,
     3.18f,
     300,
     true,
     false,
     true,
     true},
    {kPid827,
     "VORN KYR827MC",
     1920,
     1080,
     5.8,
     {1, 2, 0},
     200,
     60,
     70,
     210,
     11.3f,
     155,
     false,
     true,
     true,
     false},
    {kPid827Pro,
     "VORN KYR827MC Pro",
     1920,
     1080,
     5.8,
     {1, 2, 0},
     200,
     60,
     70,
     210,
     11.3f,
     155,
     true,
     false,
     true,
     false},
};

TEST_F(C814827Test, FreshObjectsHoldTheModelConstants) {
    for (const SConstCase& c : kConsts) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CCameraBase> cam(CreateCameraForProduct(c.pid));
        ASSERT_NE(cam, nullptr);
        EXPECT_STREQ(cam->m_pszName, c.name);
        EXPECT_EQ(cam->m_iPID, c.pid);
        EXPECT_EQ(cam->m_iMaxWidth, c.width);
        EXPECT_EQ(cam->m_iMaxHeight, c.height);
        EXPECT_DOUBLE_EQ(cam->m_dPixelSize, c.pixel);
        for (int i = 0; i < 5 && (i == 0 || c.bins[i - 1] != 0); ++i)
            EXPECT_EQ(cam->m_ucSupportedBins[i], c.bins[i]);
        EXPECT_EQ(cam->m_iGain, 200);
        EXPECT_EQ(cam->m_iOffsetMax, c.offsetMax);
        EXPECT_EQ(cam->m_iBrightness, 1);
        EXPECT_EQ(cam->m_iWBRed, c.wbRed);
        EXPECT_EQ(cam->m_iWBBlue, c.wbBlue);
        EXPECT_EQ(cam->m_iUnityGain, c.unityGain);
        EXPECT_FLOAT_EQ(cam->m_fElecPerADU, c.elecPerADU);
        EXPECT_EQ(cam->m_usHMAX, c.hmax);
        EXPECT_EQ(cam->m_bDDREnable, c.ddr);
        EXPECT_EQ(cam->m_bST4, c.st4);
        EXPECT_EQ(cam->m_bTriggerCam, c.triggerByte);
        EXPECT_EQ(cam->m_bCapHardwareBin, c.hardwareBin);
        EXPECT_TRUE(cam->m_bCapHighSpeed);
        EXPECT_EQ(cam->m_iFPSPerc, 80);
        EXPECT_TRUE(cam->m_bAutoFPS);
        EXPECT_EQ(cam->m_iFclk, 20000);
    }
}

TEST_F(C814827Test, InitWritesThePublishedRowsAndFixedRowsInOrderInOneHold) {
    using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
    const Writes table814 = {{0x3008, 0x7F}, {0x3208, 0x00}, {0x3009, 0x00}, {0x300A, 0x5B}, {0x300B, 0x50},
                             {0x301C, 0x00}, {0x3022, 0x00}, {0x3024, 0xCA}, {0x3025, 0x08}, {0x391E, 0x00},
                             {0x391F, 0xA5}, {0x3920, 0xED}, {0x3921, 0x0E}, {0x3002, 1},    {0x301C, 4},
                             {0x3020, 0},    {0x3021, 0},    {0x3022, 0},    {0x3031, 1},    {0x3032, 1}};
    const Writes table827 = {{0x3008, 0x7F}, {0x3208, 0x00}, {0x3009, 0x00}, {0x300A, 0x5B}, {0x300B, 0x50},
                             {0x301C, 0x04}, {0x301D, 0x05}, {0x3022, 0x00}, {0x391B, 0x13}, {0x391C, 0x13},
                             {0x391E, 0x00}, {0x391F, 0xA5}, {0x3920, 0xED}, {0x3921, 0x0E}, {0x3002, 1},
                             {0x301C, 4},    {0x3020, 0},    {0x3021, 0},    {0x3022, 2},    {0x3031, 0},
                             {0x3032, 1}};
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(SetupRow(row), nullptr);
        Writes expected = {{0x3001, 1}};
        const Writes& table = row.is814 ? table814 : table827;
        expected.insert(expected.end(), table.begin(), table.end());
        expected.push_back({0x3001, 0});
        const Writes writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), expected.size());
        EXPECT_EQ(Writes(writes.begin(), writes.begin() + expected.size()), expected);
        // Initialisation leaves the sensor in standby.
        EXPECT_EQ(Sensor(0x3000), 1);
    }
}

// The uncooled classes have no DDR buffer: no DDR test (a DDR that never
// becomes ready does not stop them), the buffer bypassed. The cooled classes
// test theirs and fail without it.
TEST_F(C814827Test, OnlyTheCooledClassesTestAndUseTheDDRBuffer) {
    constexpr int kFpgaDdrBypass = 0x40;
    for (const SClassRow& row : ClassRows()) {
        SCOPED_TRACE(row.name);
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(row.pid);
        ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
        m_pCam = OpenInit(0, row.pro ? KYR_ERROR_GENERAL_ERROR : KYR_SUCCESS);
        ASSERT_NE(m_pCam, nullptr);
        int ddrRequests = 0;
        for (const kyrsim::Request& r : kyrsim::requests(0xBD, m_dev.handle()))
            if (r.value == 24) ++ddrRequests;
        if (row.pro) {
            EXPECT_GT(ddrRequests, 0);
            continue;
        }
        EXPECT_EQ(ddrRequests, 0);
        EXPECT_EQ(Fpga(10, 1) & kFpgaDdrBypass, kFpgaDdrBypass);
        EXPECT_TRUE(VideoFrame());
        // Switching the buffer on only stores the flag: nothing reaches the camera.
        const int fpgaWrites = kyrsim_log_count_matching(m_dev.handle(), 0xBD, KYRSIM_DIR_OUT);
        EXPECT_TRUE(Locked([&] { return m_pCam->SetEnableDDR(true); }));
        EXPECT_TRUE(m_pCam->m_bDDREnable);
        EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xBD, KYRSIM_DIR_OUT), fpgaWrites);
    }
}

}  // namespace

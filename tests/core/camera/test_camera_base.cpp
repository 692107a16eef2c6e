// The camera object's defaults, the base bodies of its virtual operations, the
// small device services (transfer count, sensor clock) and DbgPrint2.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "test_camera_fixture.h"

using namespace camera_test;

using CameraBaseTest = CCameraTest;

namespace {

std::string Prefix(const std::string& middle) {
    return "[" + std::to_string(getpid()) + "," + std::to_string(syscall(SYS_gettid)) + " " + middle + "]: ";
}

}  // namespace

TEST_F(CameraBaseTest, ConstructorSetsEveryNonZeroDefaultAndTouchesNoDevice) {
    PlugCamera(1, "1", MakeSerial(1));
    CTestDriver camera;
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(kyrsim_open_handles(), 0);

    EXPECT_EQ(camera.m_iBin, 1);
    EXPECT_EQ(camera.m_iAutoGainMax, 50);
    EXPECT_EQ(camera.m_iAutoExpMaxMs, 30000);
    EXPECT_EQ(camera.m_iDestBrightness, 100);
    EXPECT_EQ(camera.m_ucSupportedBins[0], 1);
    for (int i = 1; i < kSupportedBinSlots; ++i) EXPECT_EQ(camera.m_ucSupportedBins[i], 0) << i;
    EXPECT_EQ(camera.m_iOffsetHighestDR, -1);
    EXPECT_EQ(camera.m_iOffsetUnityGain, -1);
    EXPECT_EQ(camera.m_iUnityGain, -1);
    EXPECT_EQ(camera.m_iGainLowestRN, -1);
    EXPECT_EQ(camera.m_iOffsetLowestRN, -1);
    EXPECT_TRUE(camera.m_bTrigOutAHigh);
    EXPECT_TRUE(camera.m_bTrigOutBHigh);
    for (int t : camera.m_iTrigOutDelay) EXPECT_EQ(t, 0);
    EXPECT_EQ(camera.m_iPktSize, 33);
    EXPECT_TRUE(camera.m_bHPCRebuild);
    EXPECT_EQ(camera.m_iDarkFrames, 1);
    EXPECT_EQ(camera.m_iHPCParam[0], 0);
    EXPECT_EQ(camera.m_iHPCParam[1], 0);
    EXPECT_EQ(camera.m_iHPCParam[2], 0);
    EXPECT_EQ(camera.m_iHPCParam[3], -1);
    EXPECT_EQ(camera.m_iHPCParam[4], -1);
    for (int w : camera.m_iStartPosCache) EXPECT_EQ(w, -1);
    EXPECT_EQ(camera.m_iLastExpSet, -1);
    EXPECT_FALSE(camera.m_bLastExpAuto);
    EXPECT_EQ(camera.m_iDroppedFrames, 0);
    EXPECT_EQ(camera.m_iCameraPID, -1);
    EXPECT_EQ(camera.m_iXferLen, -1);

    // The two buffers the constructor makes, read to their last byte.
    ASSERT_NE(camera.m_pDevPath, nullptr);
    for (int i = 0; i < kCameraDevPathBytes; ++i) ASSERT_EQ(camera.m_pDevPath[i], 0) << i;
    ASSERT_NE(camera.m_pPresetBytes, nullptr);
    for (int i = 0; i < kPresetBytes; ++i) ASSERT_EQ(camera.m_pPresetBytes[i], 127) << i;

    // A sample of the zero defaults: closed, no buffers, nothing running.
    EXPECT_FALSE(camera.m_bOpened);
    EXPECT_EQ(camera.m_hDevice, nullptr);
    EXPECT_NE(camera.m_pUsbContext, nullptr);
    EXPECT_EQ(camera.m_pImgBuf, nullptr);
    EXPECT_EQ(camera.m_pCirBuf, nullptr);
    EXPECT_EQ(camera.m_pGammaLUT16, nullptr);
    EXPECT_EQ(camera.m_iExpStatus, KYR_EXP_IDLE);
    EXPECT_EQ(camera.m_iCameraMode, CAM_MODE_NORMAL);
    EXPECT_EQ(camera.m_szBMPPath[0], '\0');
    EXPECT_FALSE(camera.m_bCapGain);
    EXPECT_FALSE(camera.m_bTrigLevel);
    EXPECT_FALSE(camera.m_thrWork.IsAlive());
    EXPECT_FALSE(camera.m_thrTrigger.IsAlive());
    EXPECT_FALSE(camera.m_thrAutoCtrl.IsAlive());
    EXPECT_FALSE(camera.ImageReadersReleased());
}

// The setters a driver without its own body does not support report failure
// and leave the camera alone, even when it is open.
TEST_F(CameraBaseTest, UnsupportedSettersReturnFalseWithoutUsbTraffic) {
    PlugCamera(1, "1", MakeSerial(1));
    auto camera = OpenAt(1, "1");
    ASSERT_TRUE(camera->m_bOpened);
    kyrsim::clearLog();

    struct Case {
        const char* name;
        std::function<bool(CCameraBase&)> call;
    };
    const Case cases[] = {
        {"SetBrightness", [](CCameraBase& c) { return c.SetBrightness(10); }},
        {"SetHighSpeedMode", [](CCameraBase& c) { return c.SetHighSpeedMode(true); }},
        {"SetHardwareBin", [](CCameraBase& c) { return c.SetHardwareBin(true); }},
        {"SetEnableDDR", [](CCameraBase& c) { return c.SetEnableDDR(true); }},
        {"SetFPSPerc", [](CCameraBase& c) { return c.SetFPSPerc(80, true); }},
        {"SetOverCLKPerc", [](CCameraBase& c) { return c.SetOverCLKPerc(20); }},
        {"SetPattern", [](CCameraBase& c) { return c.SetPattern(3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.call(*camera));
    }
    EXPECT_EQ(kyrsim_log_count(), 0);
    // Nothing stored either.
    EXPECT_EQ(camera->m_iBrightness, 0);
    EXPECT_FALSE(camera->m_bHighSpeed);
    EXPECT_FALSE(camera->m_bHardwareBin);
    EXPECT_FALSE(camera->m_bDDREnable);
    EXPECT_EQ(camera->m_iFPSPerc, 0);
    EXPECT_FALSE(camera->m_bAutoFPS);
    EXPECT_EQ(camera->m_iOverCLKPerc, 0);
    EXPECT_EQ(camera->m_iPattern, 0);
}

TEST_F(CameraBaseTest, GetGainReturnsStoredGainAndAutoFlagWithoutUsbTraffic) {
    PlugCamera(1, "1", MakeSerial(1));
    auto camera = OpenAt(1, "1");
    kyrsim::clearLog();

    const struct {
        int gain;
        bool bAuto;
    } cases[] = {{0, false}, {137, true}, {600, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gain);
        camera->m_iGain = c.gain;
        camera->m_bAutoGain = c.bAuto;
        bool bAuto = !c.bAuto;
        EXPECT_EQ(camera->GetGain(&bAuto), c.gain);
        EXPECT_EQ(bAuto, c.bAuto);
        EXPECT_EQ(camera->GetGain(nullptr), c.gain);
    }
    EXPECT_EQ(camera->GetGamma(), 0);
    camera->m_iGamma = 72;
    EXPECT_EQ(camera->GetGamma(), 72);
    EXPECT_EQ(camera->GetSensorTempInside(), 0.0f);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(CameraBaseTest, IsHardBinRunOnlyWithHardwareBinAndBinAboveOne) {
    CTestDriver camera;
    for (bool hardware : {false, true}) {
        for (int bin : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << "hardware " << hardware << " bin " << bin);
            camera.m_bHardwareBin = hardware;
            camera.m_iBin = bin;
            EXPECT_EQ(camera.IsHardBinRun(), hardware && bin > 1);
        }
    }
}

TEST_F(CameraBaseTest, SetTransferCountSendsRoundedUpUnitsSplitOverValueAndIndex) {
    kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
    auto camera = OpenAt(1, "1");

    const struct {
        int bytes;
        long long count;
    } cases[] = {
        {0, 0}, {1, 1}, {49152, 1}, {49153, 2}, {98304, 2}, {98305, 3}, {INT_MAX, 43691},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        kyrsim::clearLog();
        EXPECT_TRUE(camera->SetTransferCount(c.bytes));
        std::vector<kyrsim::Request> log = kyrsim::requests();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].request_type, 0x40);
        EXPECT_EQ(log[0].request, 0xB5);
        EXPECT_EQ(log[0].value, static_cast<int>(c.count >> 16));
        EXPECT_EQ(log[0].index, static_cast<int>(c.count & 0xFFFF));
        EXPECT_EQ(log[0].length, 0);
        EXPECT_EQ(log[0].unexpected, 0);
        EXPECT_EQ(dev.query(KYRSIM_Q_XFER_COUNT), c.count);
    }

    // A negative length is no frame: nothing is sent.
    kyrsim::clearLog();
    EXPECT_FALSE(camera->SetTransferCount(-1));
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(CameraBaseTest, SensorClockCommandsAreShortCommandsAfAndAe) {
    PlugCamera(1, "1", MakeSerial(1));
    auto camera = OpenAt(1, "1");

    const struct {
        const char* name;
        bool (CCameraBase::*call)();
        int request;
    } cases[] = {
        {"StartSensorCLK", &CCameraBase::StartSensorCLK, 0xAF},
        {"StopSensorCLK", &CCameraBase::StopSensorCLK, 0xAE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kyrsim::clearLog();
        EXPECT_TRUE(((*camera).*c.call)());
        std::vector<kyrsim::Request> log = kyrsim::requests();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].request_type, 0x40);
        EXPECT_EQ(log[0].request, c.request);
        EXPECT_EQ(log[0].value, 0);
        EXPECT_EQ(log[0].index, 0);
        EXPECT_EQ(log[0].length, 0);
        EXPECT_EQ(log[0].timeout, 200u);
        EXPECT_EQ(log[0].unexpected, 0);
    }

    // Closed: nothing reaches the bus.
    camera->CloseCamera();
    kyrsim::clearLog();
    EXPECT_FALSE(camera->StartSensorCLK());
    EXPECT_FALSE(camera->StopSensorCLK());
    EXPECT_FALSE(camera->SetTransferCount(49152));
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(CameraBaseTest, DbgPrint2PrefixCarriesTheProductIdOnceSet) {
    CTestDriver camera;

    testing::internal::CaptureStderr();
    camera.DbgPrint2("Func", "value %d\n", 7);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Prefix("Func") + "value 7\n");

    camera.CameraPID(0x1234);
    testing::internal::CaptureStderr();
    camera.DbgPrint2("Func", "value %d\n", 8);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Prefix("1234::Func") + "value 8\n");

    // A percent sign in the formatted text stays as it is.
    testing::internal::CaptureStderr();
    camera.DbgPrint2("Func", "%s\n", "100%d done");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Prefix("1234::Func") + "100%d done\n");

    g_bDebugPrint = false;
    testing::internal::CaptureStderr();
    camera.DbgPrint2("Func", "silent\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(CameraBaseTest, ConstructionLogsTheSystemNameVersionAndMachine) {
    struct utsname info;
    ASSERT_EQ(uname(&info), 0);
    testing::internal::CaptureStderr();
    { CTestDriver camera; }
    std::string err = testing::internal::GetCapturedStderr();
    const std::string lines = Prefix("SysInfo") + info.sysname + "\n" + Prefix("SysInfo") + info.version +
                              "\n" + Prefix("SysInfo") + info.machine + "\n";
    EXPECT_NE(err.find(lines), std::string::npos) << err;
}

// Capture control of the camera object, with the test driver's scripted
// capture bodies on a simulated camera: start and stop, the exposure status
// through a single exposure's life, camera (trigger) modes, trigger outputs,
// the guide port and the debug switch, both on the object and through the
// exported functions that forward to it.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "test_capture_fixture.h"

using namespace capture_test;

namespace {

constexpr int kImageBufferBytes = CTestDriver::kMaxWidth * CTestDriver::kMaxHeight * 2;

// ===========================================================================
// Start, stop and the exposure status on the object
// ===========================================================================

class CCaptureStatusTest : public CCaptureTest {
  protected:
    // A new exposure starts, works while its body waits, and succeeds.
    void ExpectNextExposureRuns() {
        Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
        Cam().ArmLatch();
        ASSERT_TRUE(Cam().StartExposure());
        EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_WORKING);
        EXPECT_TRUE(WaitFor([&] { return Cam().LatchWaiters() == 1; }));
        Cam().OpenLatch();
        EXPECT_TRUE(WaitFor([&] { return Cam().m_iExpStatus == KYR_EXP_SUCCESS; }));
    }
};

TEST_F(CCaptureStatusTest, SnapSuccessIsWorkingThenSuccessThenIdleAfterTheImage) {
    Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
    Cam().ArmLatch();
    ASSERT_TRUE(Cam().StartExposure());
    EXPECT_TRUE(Cam().m_bSnapMode);
    EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_WORKING);
    ASSERT_TRUE(WaitFor([&] { return Cam().LatchWaiters() == 1; }));
    EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_WORKING);
    Cam().OpenLatch();
    ASSERT_TRUE(WaitFor([&] { return Cam().m_iExpStatus == KYR_EXP_SUCCESS; }));

    std::vector<unsigned char> frame(100, 0x42), out(100, 0);
    Cam().FeedFrame(frame);
    EXPECT_TRUE(Cam().GetImageAfterExp(out.data(), static_cast<int>(out.size())));
    EXPECT_EQ(out, frame);
    EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_IDLE);
    // The exposure was handed out: asking again finds nothing.
    EXPECT_FALSE(Cam().GetImageAfterExp(out.data(), static_cast<int>(out.size())));
    EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_IDLE);
}

// The ends of a single exposure that are not a success: each leaves status 3,
// and the image request fails and keeps it.
TEST_F(CCaptureStatusTest, SnapFailuresLeaveStatusFailed) {
    struct SCase {
        const char* szName;
        std::function<void(CTestDriver&)> fnRun;
    };
    const std::vector<SCase> cases = {
        {"capture fails",
         [](CTestDriver& c) {
             c.SetCaptureMode(CTestDriver::CAPTURE_FAIL);
             EXPECT_TRUE(c.StartExposure());
         }},
        {"stopped mid-exposure",
         [](CTestDriver& c) {
             c.SetCaptureMode(CTestDriver::CAPTURE_LOOP);
             EXPECT_TRUE(c.StartExposure());
             EXPECT_TRUE(c.WaitSteps(c.Steps() + 1, kWaitMs));
             EXPECT_TRUE(c.StopCapture());
             EXPECT_FALSE(IsCapturing(c));
         }},
        {"stopped while waiting before it began",
         [](CTestDriver& c) {
             c.SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
             c.ArmLatch();
             EXPECT_TRUE(c.StartExposure());
             EXPECT_TRUE(WaitFor([&] { return c.LatchWaiters() == 1; }));
             EXPECT_TRUE(c.StopCapture());
             c.OpenLatch();
         }},
        {"thread start fails",
         [](CTestDriver& c) {
             ASSERT_TRUE(c.m_thrWork.InitFuncPt(nullptr));
             EXPECT_FALSE(c.StartExposure());
         }},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        tc.fnRun(Cam());
        ASSERT_TRUE(WaitFor([&] { return !IsCapturing(Cam()); }));
        EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_FAILED);
        Cam().FeedFrame(std::vector<unsigned char>(10, 1));
        unsigned char out[10];
        EXPECT_FALSE(Cam().GetImageAfterExp(out, sizeof(out)));
        EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_FAILED);
        EXPECT_EQ(Cam().Calls(CTestDriver::OP_GET_IMAGE), 0);
        ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(Cam()));
    }
}

TEST_F(CCaptureStatusTest, ImageReadFailureStillLeavesIdle) {
    Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
    ASSERT_TRUE(Cam().StartExposure());
    ASSERT_TRUE(WaitFor([&] { return Cam().m_iExpStatus == KYR_EXP_SUCCESS; }));
    Cam().SetResult(CTestDriver::OP_GET_IMAGE, false);
    Cam().FeedFrame(std::vector<unsigned char>(10, 1));
    unsigned char out[10];
    EXPECT_FALSE(Cam().GetImageAfterExp(out, sizeof(out)));
    EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_IDLE);
}

// A finished exposure, good or failed, never blocks the next one: the next
// start runs a new capture body at once.
TEST_F(CCaptureStatusTest, FinishedExposureNeverBlocksTheNext) {
    for (auto mode : {CTestDriver::CAPTURE_SUCCEED, CTestDriver::CAPTURE_FAIL}) {
        SCOPED_TRACE(mode == CTestDriver::CAPTURE_SUCCEED ? "after success" : "after failure");
        Cam().SetCaptureMode(mode);
        ASSERT_TRUE(Cam().StartExposure());
        ASSERT_TRUE(WaitFor([&] { return Cam().m_iExpStatus != KYR_EXP_WORKING; }));
        ExpectNextExposureRuns();
    }
}

// The thread of a finished exposure may still be on its way out (its status
// is its last act) when the next start comes: the start waits for it and runs
// the new exposure, instead of taking the old thread for a running one.
TEST_F(CCaptureStatusTest, ExposureWhoseThreadIsStillLeavingDoesNotBlockTheNext) {
    Cam().m_bSnapMode = true;
    Cam().SetCaptureMode(CTestDriver::CAPTURE_LOOP);
    ASSERT_TRUE(Cam().StartWorkThread());
    ASSERT_TRUE(Cam().WaitSteps(1, kWaitMs));
    Cam().m_iExpStatus = KYR_EXP_SUCCESS;  // reported, thread not yet gone
    ExpectNextExposureRuns();
}

// A start while a capture runs changes nothing: video goes on as video, a
// working exposure goes on.
TEST_F(CCaptureStatusTest, StartWhileCapturingChangesNothing) {
    for (bool snap : {false, true}) {
        SCOPED_TRACE(snap ? "exposure working" : "video running");
        Cam().SetCaptureMode(CTestDriver::CAPTURE_LOOP);
        ASSERT_TRUE(Cam().StartCapture(snap));
        ASSERT_TRUE(Cam().WaitSteps(Cam().Steps() + 1, kWaitMs));
        Cam().ArmLatch();
        EXPECT_TRUE(Cam().StartExposure());
        EXPECT_TRUE(Cam().StartCapture(false));
        EXPECT_EQ(Cam().m_bSnapMode, snap);
        EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_WORKING);
        // The first body still runs, and no second one began.
        EXPECT_TRUE(Cam().WaitSteps(Cam().Steps() + 3, kWaitMs));
        EXPECT_EQ(Cam().LatchWaiters(), 0);
        Cam().OpenLatch();
        EXPECT_TRUE(Cam().StopCapture());
    }
}

TEST_F(CCaptureStatusTest, TriggerModeRunsTheTriggerThread) {
    Cam().m_iCameraMode = CAM_MODE_TRIG_SOFT_EDGE;
    ASSERT_TRUE(Cam().StartCapture(false));
    EXPECT_TRUE(Cam().m_thrTrigger.IsAlive());
    EXPECT_FALSE(Cam().m_thrWork.IsAlive());
    EXPECT_TRUE(Cam().StopCapture());
    EXPECT_FALSE(IsCapturing(Cam()));
    Cam().m_iCameraMode = CAM_MODE_NORMAL;
}

TEST_F(CCaptureStatusTest, StartAndStopLogTheirSteps) {
    std::string log = CaptureDebugLog([&] {
        EXPECT_TRUE(Cam().StartCapture(false));
        EXPECT_TRUE(Cam().StopCapture());
    });
    const char* lines[] = {"start capture create thread\n", "stop capture\n", ">> wait Working thread exit\n",
                           "<< wait Working thread exit\n"};
    size_t pos = 0;
    for (const char* line : lines) {
        size_t at = log.find(line, pos);
        EXPECT_NE(at, std::string::npos) << line << " in\n" << log;
        if (at != std::string::npos) pos = at;
    }
}

TEST_F(CCaptureStatusTest, StartOnClosedDeviceFailsAndStopWithoutCaptureSucceeds) {
    EXPECT_TRUE(Cam().StopCapture());
    Cam().CloseDevice();
    EXPECT_FALSE(Cam().StartCapture(false));
    EXPECT_FALSE(Cam().StartExposure());
    EXPECT_FALSE(IsCapturing(Cam()));
    EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_IDLE);
    EXPECT_TRUE(Cam().StopCapture());
}

// The device is gone (unplugged, handle closed) while video runs: the stop
// still ends and joins both capture threads, then reports the closed device.
TEST_F(CCaptureStatusTest, StopAfterDeviceLossJoinsTheThreads) {
    ASSERT_TRUE(Cam().StartCapture(false));
    ASSERT_TRUE(Cam().WaitSteps(1, kWaitMs));
    ASSERT_TRUE(m_Dev.unplug());
    Cam().CloseDevice();
    EXPECT_FALSE(Cam().StopCapture());
    EXPECT_FALSE(Cam().m_thrWork.IsAlive());
    EXPECT_FALSE(Cam().m_thrTrigger.IsAlive());
    const int steps = Cam().Steps();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Cam().Steps(), steps);
}

// ===========================================================================
// Exposure status through the exported functions
// ===========================================================================

class CCaptureApiStatusTest : public CCaptureApiTest {};

TEST_F(CCaptureApiStatusTest, SnapSuccessThenImageLeavesIdleEvenWhenTheImageFails) {
    for (bool imageOk : {true, false}) {
        SCOPED_TRACE(imageOk ? "image read" : "image read fails");
        Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
        Cam().ArmLatch();
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        EXPECT_EQ(ExpStatus(), KYR_EXP_WORKING);
        Cam().OpenLatch();
        ASSERT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_SUCCESS; }));
        Cam().SetResult(CTestDriver::OP_GET_IMAGE, imageOk);
        Cam().FeedFrame(std::vector<unsigned char>(kImageBufferBytes, 7));
        std::vector<unsigned char> buf(kImageBufferBytes);
        EXPECT_EQ(KYRGetDataAfterExp(0, buf.data(), static_cast<long>(buf.size())),
                  imageOk ? KYR_SUCCESS : KYR_ERROR_TIMEOUT);
        EXPECT_EQ(ExpStatus(), KYR_EXP_IDLE);
    }
}

TEST_F(CCaptureApiStatusTest, SnapFailureKeepsFailedAndImageTimesOut) {
    Cam().SetCaptureMode(CTestDriver::CAPTURE_FAIL);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_FAILED; }));
    std::vector<unsigned char> buf(kImageBufferBytes);
    EXPECT_EQ(KYRGetDataAfterExp(0, buf.data(), static_cast<long>(buf.size())), KYR_ERROR_TIMEOUT);
    EXPECT_EQ(ExpStatus(), KYR_EXP_FAILED);
    // And the next exposure starts.
    Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_SUCCESS; }));
}

TEST_F(CCaptureApiStatusTest, StopMidExposureFailsIt) {
    Cam().SetCaptureMode(CTestDriver::CAPTURE_LOOP);
    ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(Cam().WaitSteps(1, kWaitMs));
    EXPECT_EQ(ExpStatus(), KYR_EXP_WORKING);
    EXPECT_EQ(KYRStopExposure(0), KYR_SUCCESS);
    EXPECT_EQ(ExpStatus(), KYR_EXP_FAILED);
}

TEST_F(CCaptureApiStatusTest, ThreadStartFailureReportsFailed) {
    ASSERT_TRUE(Cam().m_thrWork.InitFuncPt(nullptr));
    EXPECT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(ExpStatus(), KYR_EXP_FAILED);
    EXPECT_EQ(KYRStartVideoCapture(0), KYR_ERROR_GENERAL_ERROR);
}

// The image of a finished exposure is being read (the reader waits for its
// frame) when a new exposure starts from another thread: the reader's end
// must not wipe the new exposure's status, whether that exposure is still
// working or has finished meanwhile.
TEST_F(CCaptureApiStatusTest, ImageReadDoesNotWipeTheStatusOfANewerExposure) {
    for (bool newerFinishes : {false, true}) {
        SCOPED_TRACE(newerFinishes ? "newer exposure finished" : "newer exposure working");
        Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_SUCCESS; }));

        const int readsBefore = Cam().Calls(CTestDriver::OP_GET_IMAGE);
        std::atomic<int> readResult{-1};
        std::thread reader([&] {
            std::vector<unsigned char> buf(kImageBufferBytes);
            readResult = KYRGetDataAfterExp(0, buf.data(), static_cast<long>(buf.size()));
        });
        // (No ASSERT while the reader runs: it must be joined.)
        EXPECT_TRUE(WaitFor([&] { return Cam().Calls(CTestDriver::OP_GET_IMAGE) == readsBefore + 1; }));
        if (!newerFinishes) Cam().ArmLatch();
        EXPECT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        if (newerFinishes) {
            EXPECT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_SUCCESS; }));
        }
        Cam().FeedFrame(std::vector<unsigned char>(kImageBufferBytes, 3));
        reader.join();
        EXPECT_EQ(readResult.load(), KYR_SUCCESS);
        if (newerFinishes) {
            EXPECT_EQ(ExpStatus(), KYR_EXP_SUCCESS);
        } else {
            // The exported status reports a live exposure thread as working
            // anyway; the word itself must still say so.
            EXPECT_EQ(Cam().m_iExpStatus, KYR_EXP_WORKING);
            Cam().OpenLatch();
            EXPECT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_SUCCESS; }));
        }
        // Hand the newer exposure out, so that the next round starts clean.
        Cam().FeedFrame(std::vector<unsigned char>(kImageBufferBytes, 4));
        std::vector<unsigned char> buf(kImageBufferBytes);
        EXPECT_EQ(KYRGetDataAfterExp(0, buf.data(), static_cast<long>(buf.size())), KYR_SUCCESS);
        EXPECT_EQ(ExpStatus(), KYR_EXP_IDLE);
    }
}

TEST_F(CCaptureApiStatusTest, VideoStartStopAndStopAfterDeviceLoss) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(Cam().WaitSteps(1, kWaitMs));
    EXPECT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_ERROR_VIDEO_MODE_ACTIVE);
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_FALSE(IsCapturing(Cam()));

    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(Cam().WaitSteps(Cam().Steps() + 1, kWaitMs));
    ASSERT_TRUE(m_Dev.unplug());
    Cam().CloseDevice();
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_ERROR_CAMERA_CLOSED);
    EXPECT_FALSE(IsCapturing(Cam()));
}

// ===========================================================================
// Camera modes
// ===========================================================================

// The FPGA trigger block of each mode, in the programming order: trigger
// mode (register 0 bit 7), then register 40's source, soft mode, type and
// valid type; -1 = not programmed.
struct SModeRow {
    int iTrigMode, iSource, iSoft, iType, iValid;
};
constexpr SModeRow kModeRows[] = {
    {0, 0, 1, -1, -1},  // 0 normal (trigger mode from the long exposure flag)
    {1, 0, 0, 1, 1},   {1, 1, 0, 1, 1}, {1, 1, 0, 1, 0},  // 1-3 edge
    {1, 0, 0, 0, 1},   {1, 1, 0, 0, 1}, {1, 1, 0, 0, 0},  // 4-6 level
};

// The FPGA requests of programming `row` from register 0 = reg0 and register
// 40 = reg40: FPGAStop, then the setters in column order.
std::vector<SReg> ModeProgram(const SModeRow& row, int reg0, int reg40) {
    std::vector<SReg> out;
    reg0 |= FPGA_CTRL_STOP;
    out.insert(out.end(), {R(0), W(0, reg0)});
    reg0 = row.iTrigMode ? (reg0 | FPGA_CTRL_TRIG) : (reg0 & ~FPGA_CTRL_TRIG);
    out.insert(out.end(), {R(0), W(0, reg0)});
    auto bit40 = [&](int bit, bool set) {
        reg40 = set ? (reg40 | bit) : (reg40 & ~bit);
        out.insert(out.end(), {R(40), W(40, reg40)});
    };
    bit40(FPGA_TRIG_SOURCE, row.iSource == 1);
    bit40(FPGA_TRIG_SOFT_MODE, row.iSoft == 0);
    if (row.iType >= 0) bit40(FPGA_TRIG_TYPE, row.iType == 0);
    if (row.iValid >= 0) bit40(FPGA_TRIG_VALID_TYPE, row.iValid == 0);
    return out;
}

class CCameraModeTest : public CCaptureTest {};

// Register 28 x trigger capture claimed or not x every mode from -1 to 7,
// each tried from normal mode: the result, the mode list and the trigger
// flags, and for an accepted mode the FPGA program and one exposure re-apply.
TEST_F(CCameraModeTest, AbilityTimesClaimTimesMode) {
    for (int reg28 : {0x02, 0x9F, 0xB5, 0xC0}) {
        for (bool claim : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "register 28 = 0x" << std::hex << reg28 << std::dec
                         << (claim ? ", trigger capture claimed" : ", no trigger capture"));
            ASSERT_NO_FATAL_FAILURE(SetTriggerAbility(claim, reg28));
            const bool edge = claim && reg28 >= 0xA0;
            const bool level = claim && reg28 >= 0xC0;
            EXPECT_EQ(Cam().m_bTriggerCam, edge);
            EXPECT_EQ(Cam().m_bTrigEdge, edge);
            EXPECT_EQ(Cam().m_bTrigLevel, level);

            KYR_SUPPORTED_MODE modes;
            for (auto& m : modes.SupportedCameraMode) m = static_cast<CAM_MODE>(99);
            ASSERT_TRUE(Cam().GetCameraSupportedMode(&modes));
            std::vector<int> expectedList = {0};
            if (edge) expectedList.insert(expectedList.end(), {1, 2, 3});
            if (level) expectedList.insert(expectedList.end(), {4, 5, 6});
            expectedList.push_back(-1);
            std::vector<int> list(modes.SupportedCameraMode, modes.SupportedCameraMode + expectedList.size());
            EXPECT_EQ(list, expectedList);

            for (int mode = -1; mode <= 7; ++mode) {
                SCOPED_TRACE(testing::Message() << "mode " << mode);
                Cam().m_iCameraMode = CAM_MODE_NORMAL;
                ASSERT_TRUE(m_Dev.setFpga(0, FPGA_CTRL_RUN));
                ASSERT_TRUE(m_Dev.setFpga(40, 0));
                kyrsim::clearLog();
                const int setExpBefore = Cam().Calls(CTestDriver::OP_SET_EXP);
                const bool accepted = (mode >= 1 && mode <= 3 && edge) || (mode >= 4 && mode <= 6 && level);
                int expected = mode == 0 || accepted ? KYR_SUCCESS : KYR_ERROR_INVALID_MODE;
                EXPECT_EQ(Cam().SetCameraMode(static_cast<CAM_MODE>(mode)), expected);
                if (accepted) {
                    EXPECT_EQ(FpgaRequests(), ModeProgram(kModeRows[mode], FPGA_CTRL_RUN, 0));
                    EXPECT_EQ(Cam().Calls(CTestDriver::OP_SET_EXP), setExpBefore + 1);
                    EXPECT_EQ(Cam().m_iCameraMode, mode);
                } else {
                    // Refused, or the mode in force: nothing reaches the camera.
                    EXPECT_EQ(kyrsim_log_count(), 0);
                    EXPECT_EQ(Cam().Calls(CTestDriver::OP_SET_EXP), setExpBefore);
                    EXPECT_EQ(Cam().m_iCameraMode, CAM_MODE_NORMAL);
                }
            }
        }
    }
}

// Back to normal mode: register 0 bit 7 follows the long exposure flag, and
// type and valid type are left as they are.
TEST_F(CCameraModeTest, BackToNormalModeFollowsTheLongExposureFlag) {
    ASSERT_NO_FATAL_FAILURE(SetTriggerAbility(true, 0xC0));
    for (bool longExp : {false, true}) {
        SCOPED_TRACE(longExp ? "long exposure mode" : "short exposures");
        ASSERT_EQ(Cam().SetCameraMode(CAM_MODE_TRIG_HIGH_LEVEL), KYR_SUCCESS);
        const int reg0 = m_Dev.fpga(0), reg40 = m_Dev.fpga(40);
        Cam().m_bLongExpMode = longExp;
        kyrsim::clearLog();
        const int setExpBefore = Cam().Calls(CTestDriver::OP_SET_EXP);
        EXPECT_EQ(Cam().SetCameraMode(CAM_MODE_NORMAL), KYR_SUCCESS);
        SModeRow row = kModeRows[0];
        row.iTrigMode = longExp ? 1 : 0;
        EXPECT_EQ(FpgaRequests(), ModeProgram(row, reg0, reg40));
        EXPECT_EQ(Cam().Calls(CTestDriver::OP_SET_EXP), setExpBefore + 1);
        EXPECT_EQ(Cam().m_iCameraMode, CAM_MODE_NORMAL);
    }
}

TEST_F(CCameraModeTest, CurrentModeSendsNothing) {
    ASSERT_NO_FATAL_FAILURE(SetTriggerAbility(true, 0xB5));
    ASSERT_EQ(Cam().SetCameraMode(CAM_MODE_TRIG_FALL_EDGE), KYR_SUCCESS);
    kyrsim::clearLog();
    const int setExpBefore = Cam().Calls(CTestDriver::OP_SET_EXP);
    EXPECT_EQ(Cam().SetCameraMode(CAM_MODE_TRIG_FALL_EDGE), KYR_SUCCESS);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(Cam().Calls(CTestDriver::OP_SET_EXP), setExpBefore);
}

TEST_F(CCameraModeTest, RefusedWhileCapturing) {
    ASSERT_NO_FATAL_FAILURE(SetTriggerAbility(true, 0xC0));
    for (bool snap : {false, true}) {
        SCOPED_TRACE(snap ? "exposure" : "video");
        ASSERT_TRUE(Cam().StartCapture(snap));
        kyrsim::clearLog();
        for (int mode : {0, 1, 4, 9}) {
            std::string log = CaptureDebugLog([&] {
                EXPECT_EQ(Cam().SetCameraMode(static_cast<CAM_MODE>(mode)), KYR_ERROR_INVALID_SEQUENCE);
            });
            EXPECT_NE(log.find("set camera mode " + std::to_string(mode) + "\n"), std::string::npos) << log;
        }
        EXPECT_EQ(kyrsim_log_count(), 0);
        EXPECT_EQ(Cam().m_iCameraMode, CAM_MODE_NORMAL);
        EXPECT_TRUE(IsCapturing(Cam()));
        EXPECT_TRUE(Cam().StopCapture());
    }
}

// A trigger block that could not be programmed, or an exposure that could
// not be re-applied, is a failure, and the mode stays the one before.
TEST_F(CCameraModeTest, HalfProgrammedModeIsAFailure) {
    ASSERT_NO_FATAL_FAILURE(SetTriggerAbility(true, 0xC0));
    struct SCase {
        const char* szName;
        std::function<void()> fnFault;
    };
    const std::vector<SCase> cases = {
        {"stop fails",
         [&] { kyrsim::Fault().device(m_Dev).request(kReqWriteFpga).value(0).error(LIBUSB_ERROR_IO).add(); }},
        {"register 40 read fails",
         [&] {
             kyrsim::Fault()
                 .device(m_Dev)
                 .request(kReqReadFpga)
                 .value(40)
                 .nth(3)
                 .error(LIBUSB_ERROR_IO)
                 .add();
         }},
        {"register 40 write fails",
         [&] {
             kyrsim::Fault().device(m_Dev).request(kReqWriteFpga).value(40).error(LIBUSB_ERROR_PIPE).add();
         }},
        {"exposure re-apply fails", [&] { Cam().SetResult(CTestDriver::OP_SET_EXP, false); }},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        kyrsim_clear_faults();
        Cam().SetResult(CTestDriver::OP_SET_EXP, true);
        tc.fnFault();
        EXPECT_EQ(Cam().SetCameraMode(CAM_MODE_TRIG_RISE_EDGE), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(Cam().m_iCameraMode, CAM_MODE_NORMAL);
    }
    // Without faults the same mode is programmed in full.
    kyrsim_clear_faults();
    Cam().SetResult(CTestDriver::OP_SET_EXP, true);
    ASSERT_TRUE(m_Dev.setFpga(0, FPGA_CTRL_RUN));
    ASSERT_TRUE(m_Dev.setFpga(40, 0));
    kyrsim::clearLog();
    EXPECT_EQ(Cam().SetCameraMode(CAM_MODE_TRIG_RISE_EDGE), KYR_SUCCESS);
    EXPECT_EQ(FpgaRequests(), ModeProgram(kModeRows[2], FPGA_CTRL_RUN, 0));
}

TEST_F(CCameraModeTest, FailedAbilityReadOffersNoTrigger) {
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_VER_TYPE, 0xC0));
    Cam().m_bTrigSnapCapture = true;
    kyrsim::Fault().device(m_Dev).request(kReqReadFpga).value(FPGA_REG_VER_TYPE).error(LIBUSB_ERROR_IO).add();
    EXPECT_FALSE(Cam().CameraModeCheck());
    EXPECT_FALSE(Cam().m_bTriggerCam);
    EXPECT_FALSE(Cam().m_bTrigEdge);
    EXPECT_FALSE(Cam().m_bTrigLevel);
    EXPECT_EQ(Cam().SetCameraMode(CAM_MODE_TRIG_SOFT_EDGE), KYR_ERROR_INVALID_MODE);
}

// Through the exported functions, with the ability read at open.
class CCameraModeApiTest : public CCaptureApiTest {};

TEST_F(CCameraModeApiTest, WithoutTriggerCaptureNoTriggerModeWhateverRegister28Says) {
    // Set-up opened the camera with register 28 = 0x02 and no claim; reopen
    // with an edge-and-level register 28.
    KYRCloseCamera(0);
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_VER_TYPE, 0xC0));
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(Cam()));
    KYR_SUPPORTED_MODE modes;
    ASSERT_EQ(KYRGetCameraSupportMode(0, &modes), KYR_SUCCESS);
    EXPECT_EQ(modes.SupportedCameraMode[0], CAM_MODE_NORMAL);
    EXPECT_EQ(modes.SupportedCameraMode[1], CAM_MODE_END);
    for (int mode = 1; mode <= 6; ++mode)
        EXPECT_EQ(KYRSetCameraMode(0, static_cast<CAM_MODE>(mode)), KYR_ERROR_INVALID_MODE);
    EXPECT_EQ(KYRSetCameraMode(0, CAM_MODE_NORMAL), KYR_SUCCESS);
    CAM_MODE current = CAM_MODE_END;
    ASSERT_EQ(KYRGetCameraMode(0, &current), KYR_SUCCESS);
    EXPECT_EQ(current, CAM_MODE_NORMAL);
}

TEST_F(CCameraModeApiTest, EdgeTriggerCameraOffersEdgeModesOnly) {
    KYRCloseCamera(0);
    s_bTrigSnapCapture = true;
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_VER_TYPE, 0xB5));
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(BindCaptureBodies(Cam()));
    KYR_SUPPORTED_MODE modes;
    ASSERT_EQ(KYRGetCameraSupportMode(0, &modes), KYR_SUCCESS);
    const CAM_MODE expected[] = {CAM_MODE_NORMAL, CAM_MODE_TRIG_SOFT_EDGE, CAM_MODE_TRIG_RISE_EDGE,
                                 CAM_MODE_TRIG_FALL_EDGE, CAM_MODE_END};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(modes.SupportedCameraMode[i], expected[i]) << i;
    EXPECT_EQ(KYRSetCameraMode(0, CAM_MODE_TRIG_HIGH_LEVEL), KYR_ERROR_INVALID_MODE);
    EXPECT_EQ(KYRSetCameraMode(0, CAM_MODE_TRIG_RISE_EDGE), KYR_SUCCESS);
    CAM_MODE current = CAM_MODE_END;
    ASSERT_EQ(KYRGetCameraMode(0, &current), KYR_SUCCESS);
    EXPECT_EQ(current, CAM_MODE_TRIG_RISE_EDGE);
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(KYRSetCameraMode(0, CAM_MODE_NORMAL), KYR_ERROR_INVALID_SEQUENCE);
    EXPECT_TRUE(Cam().m_thrTrigger.IsAlive());
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

// ===========================================================================
// Trigger outputs
// ===========================================================================

class CTrigOutTest : public CCaptureApiTest {};

TEST_F(CTrigOutTest, BeforeAnySetBothPinsAreHighWithoutTimes) {
    for (int pin : {TRIG_OUTPUT_PIN_A, TRIG_OUTPUT_PIN_B}) {
        KYR_BOOL high = KYR_FALSE;
        long delay = -1, duration = -1;
        ASSERT_EQ(KYRGetTriggerOutputIOConf(0, static_cast<Trig_Output_Pin>(pin), &high, &delay, &duration),
                  KYR_SUCCESS);
        EXPECT_EQ(high, KYR_TRUE);
        EXPECT_EQ(delay, 0);
        EXPECT_EQ(duration, 0);
    }
}

// Pin x duration x level: register 41's bits of that pin (the other pin's
// stay), the pin's four time registers, and the remembered values.
TEST_F(CTrigOutTest, PinDurationLevelTable) {
    struct SPin {
        Trig_Output_Pin pin;
        int iOnBit, iLevelBit, iDelayReg, iKeepReg;
        int iOtherBits;  // the other pin's bits, preset and kept
    };
    const SPin pins[] = {{TRIG_OUTPUT_PIN_A, 0x01, 0x10, 48, 52, 0x22},
                         {TRIG_OUTPUT_PIN_B, 0x02, 0x20, 56, 60, 0x11}};
    const long long durations[] = {0, 1, LONG_MAX};
    const long kDelay = 1234;
    for (const SPin& p : pins) {
        for (long long duration : durations) {
            for (bool high : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << "pin " << p.pin << " duration " << duration << " high " << high);
                ASSERT_TRUE(m_Dev.setFpga(41, p.iOtherBits));
                kyrsim::clearLog();
                ASSERT_EQ(KYRSetTriggerOutputIOConf(0, p.pin, high ? KYR_TRUE : KYR_FALSE, kDelay,
                                                    static_cast<long>(duration)),
                          KYR_SUCCESS);
                int reg41 = p.iOtherBits | (duration >= 1 ? p.iOnBit : 0) | (high ? 0 : p.iLevelBit);
                EXPECT_EQ(m_Dev.fpga(41), reg41);
                const long long keep = duration > 2000000000LL ? 2000000000LL : duration;
                EXPECT_EQ(m_Dev.fpgaWide(p.iDelayReg, 4), kDelay);
                EXPECT_EQ(m_Dev.fpgaWide(p.iKeepReg, 4), keep);
                EXPECT_EQ(m_Dev.fpgaPending(), 0);

                KYR_BOOL gotHigh = KYR_FALSE;
                long gotDelay = -1, gotDuration = -1;
                ASSERT_EQ(KYRGetTriggerOutputIOConf(0, p.pin, &gotHigh, &gotDelay, &gotDuration),
                          KYR_SUCCESS);
                EXPECT_EQ(gotHigh, high ? KYR_TRUE : KYR_FALSE);
                EXPECT_EQ(gotDelay, kDelay);
                EXPECT_EQ(gotDuration, keep);
            }
        }
    }
}

// Times are clamped as longs: a negative one becomes 0, one beyond the
// register's range its maximum. A negative duration switches the output off.
// (The width table checks the longs that wrap to plausible 32-bit times.)
TEST_F(CTrigOutTest, TimesAreClampedBeforeNarrowing) {
    struct SCase {
        long lDelay, lDuration;
        long long llDelay, llKeep;
        bool bOn;
    };
    const SCase cases[] = {
        {-5, -7, 0, 0, false},
        {LONG_MAX, LONG_MAX, 2000000000LL, 2000000000LL, true},
        {2000000000L, 2000000001L, 2000000000LL, 2000000000LL, true},
        {1999999999L, 2, 1999999999LL, 2, true},
        {0, 0, 0, 0, false},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(testing::Message() << "delay " << tc.lDelay << " duration " << tc.lDuration);
        ASSERT_EQ(KYRSetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_B, KYR_TRUE, tc.lDelay, tc.lDuration),
                  KYR_SUCCESS);
        EXPECT_EQ(m_Dev.fpgaWide(56, 4), tc.llDelay);
        EXPECT_EQ(m_Dev.fpgaWide(60, 4), tc.llKeep);
        EXPECT_EQ((m_Dev.fpga(41) & 0x02) != 0, tc.bOn);
        KYR_BOOL high;
        long delay, duration;
        ASSERT_EQ(KYRGetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_B, &high, &delay, &duration), KYR_SUCCESS);
        EXPECT_EQ(delay, tc.llDelay);
        EXPECT_EQ(duration, tc.llKeep);
    }
}

TEST_F(CTrigOutTest, PinOutsideAAndBIsAnError) {
    for (int pin : {2, -1, 1000}) {
        SCOPED_TRACE(testing::Message() << "pin " << pin);
        kyrsim::clearLog();
        EXPECT_EQ(KYRSetTriggerOutputIOConf(0, static_cast<Trig_Output_Pin>(pin), KYR_FALSE, 10, 10),
                  KYR_ERROR_GENERAL_ERROR);
        KYR_BOOL high;
        long delay, duration;
        EXPECT_EQ(KYRGetTriggerOutputIOConf(0, static_cast<Trig_Output_Pin>(pin), &high, &delay, &duration),
                  KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(kyrsim_log_count(), 0);
    }
    // Nothing was remembered for any pin.
    for (int m : {0, 1, 2, 3}) EXPECT_EQ(Cam().m_iTrigOutDelay[m], 0);
    EXPECT_TRUE(Cam().m_bTrigOutAHigh);
    EXPECT_TRUE(Cam().m_bTrigOutBHigh);
}

// A register that could not be programmed: an error, and the remembered
// configuration stays that of the camera before.
TEST_F(CTrigOutTest, FailedRegisterWriteIsAnErrorAndRemembersNothing) {
    ASSERT_EQ(KYRSetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_A, KYR_TRUE, 10, 20), KYR_SUCCESS);
    for (int failReg : {41, 48, 53}) {
        SCOPED_TRACE(testing::Message() << "write of register " << failReg << " fails");
        kyrsim_clear_faults();
        kyrsim::Fault().device(m_Dev).request(kReqWriteFpga).value(failReg).error(LIBUSB_ERROR_IO).add();
        EXPECT_EQ(KYRSetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_A, KYR_FALSE, 30, 40),
                  KYR_ERROR_GENERAL_ERROR);
        KYR_BOOL high;
        long delay, duration;
        ASSERT_EQ(KYRGetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_A, &high, &delay, &duration), KYR_SUCCESS);
        EXPECT_EQ(high, KYR_TRUE);
        EXPECT_EQ(delay, 10);
        EXPECT_EQ(duration, 20);
    }
}

// ===========================================================================
// Guide port, soft trigger, debug switch
// ===========================================================================

class CGuideTest : public CCaptureApiTest {};

TEST_F(CGuideTest, EachDirectionSendsOnAndOffWithItsValue) {
    for (int dir = GUIDE_NORTH; dir <= GUIDE_WEST; ++dir) {
        SCOPED_TRACE(testing::Message() << "direction " << dir);
        kyrsim::clearLog();
        std::string log =
            CaptureDebugLog([&] { EXPECT_EQ(KYRPulseGuideOn(0, static_cast<GuideD>(dir)), KYR_SUCCESS); });
        EXPECT_NE(log.find("PulseGuide Direction On:" + std::to_string(dir)), std::string::npos) << log;
        EXPECT_EQ(m_Dev.guide(dir), 1);
        log = CaptureDebugLog([&] { EXPECT_EQ(KYRPulseGuideOff(0, static_cast<GuideD>(dir)), KYR_SUCCESS); });
        EXPECT_NE(log.find("PulseGuide Direction Off:" + std::to_string(dir)), std::string::npos) << log;
        EXPECT_EQ(m_Dev.guide(dir), 0);
        const std::vector<kyrsim::Request> reqs = kyrsim::requests();
        ASSERT_EQ(reqs.size(), 2u);
        const int codes[] = {0xB0, 0xB1};
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(reqs[i].request_type, 0x40);
            EXPECT_EQ(reqs[i].request, codes[i]);
            EXPECT_EQ(reqs[i].value, dir);
            EXPECT_EQ(reqs[i].index, 0);
            EXPECT_EQ(reqs[i].length, 0);
        }
        EXPECT_EQ(m_Dev.guideChanges(dir), 2);
    }
}

TEST_F(CGuideTest, DirectionAboveWestSendsNothingAndFails) {
    for (int dir : {4, 100, -1}) {
        SCOPED_TRACE(testing::Message() << "direction " << dir);
        EXPECT_EQ(KYRPulseGuideOn(0, static_cast<GuideD>(dir)), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(KYRPulseGuideOff(0, static_cast<GuideD>(dir)), KYR_ERROR_GENERAL_ERROR);
    }
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(CGuideTest, FailedTransferIsAnError) {
    for (int code : {0xB0, 0xB1}) {
        SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << code);
        kyrsim_clear_faults();
        kyrsim::Fault().device(m_Dev).request(code).error(LIBUSB_ERROR_PIPE).add();
        KYR_ERROR_CODE rc = code == 0xB0 ? KYRPulseGuideOn(0, GUIDE_EAST) : KYRPulseGuideOff(0, GUIDE_EAST);
        EXPECT_EQ(rc, KYR_ERROR_GENERAL_ERROR);
    }
    EXPECT_EQ(m_Dev.guideChanges(GUIDE_EAST), 0);
}

class CSoftTriggerTest : public CCaptureApiTest {};

TEST_F(CSoftTriggerTest, SetsAndClearsRegister11BitZeroOnly) {
    ASSERT_TRUE(m_Dev.setFpga(FPGA_REG_SIGNAL, 0x90));
    EXPECT_EQ(KYRSendSoftTrigger(0, KYR_TRUE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_SIGNAL), 0x91);
    EXPECT_EQ(KYRSendSoftTrigger(0, KYR_FALSE), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.fpga(FPGA_REG_SIGNAL), 0x90);
    EXPECT_EQ(FpgaRequests(), (std::vector<SReg>{R(11), W(11, 0x91), R(11), W(11, 0x90)}));
    // A failed read: an error, and nothing written.
    kyrsim::clearLog();
    kyrsim::Fault().device(m_Dev).request(kReqReadFpga).value(FPGA_REG_SIGNAL).error(LIBUSB_ERROR_IO).add();
    EXPECT_EQ(KYRSendSoftTrigger(0, KYR_TRUE), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(FpgaRequests(), (std::vector<SReg>{R(11)}));
}

class CDebugLogTest : public CCaptureApiTest {};

TEST_F(CDebugLogTest, EnableSetsTheCameraFlagAndTheGlobalSwitch) {
    g_bDebugPrint = false;
    ASSERT_EQ(KYREnableDebugLog(0, KYR_TRUE), KYR_SUCCESS);
    EXPECT_TRUE(Cam().m_bDebugPrint);
    EXPECT_TRUE(g_bDebugPrint);
    KYR_BOOL enabled = KYR_FALSE;
    ASSERT_EQ(KYRGetDebugLogIsEnabled(0, &enabled), KYR_SUCCESS);
    EXPECT_EQ(enabled, KYR_TRUE);
    // The query reports the camera's switch, not the global one.
    g_bDebugPrint = false;
    ASSERT_EQ(KYRGetDebugLogIsEnabled(0, &enabled), KYR_SUCCESS);
    EXPECT_EQ(enabled, KYR_TRUE);

    // Only 1 means on.
    for (int value : {0, 2}) {
        SCOPED_TRACE(testing::Message() << "value " << value);
        g_bDebugPrint = true;
        Cam().m_bDebugPrint = true;
        ASSERT_EQ(KYREnableDebugLog(0, static_cast<KYR_BOOL>(value)), KYR_SUCCESS);
        EXPECT_FALSE(Cam().m_bDebugPrint);
        EXPECT_FALSE(g_bDebugPrint);
        ASSERT_EQ(KYRGetDebugLogIsEnabled(0, &enabled), KYR_SUCCESS);
        EXPECT_EQ(enabled, KYR_FALSE);
    }
}

}  // namespace

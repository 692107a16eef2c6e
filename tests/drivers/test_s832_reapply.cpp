// test-labels: tsan
// Mode changes and ROI changes while the 832 captures: the capture is stopped
// with the control lock released, the change applied, and video restarted at
// the new frame length; a cut single exposure ends FAILED and stays stopped.
// A recording capture body stands in for the capture thread.
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "test_s832_fixture.h"

namespace {

std::mutex g_mtxRuns;
std::vector<int> g_runLengths;  // frame length each run started with

int Runs() {
    std::lock_guard<std::mutex> lock(g_mtxRuns);
    return static_cast<int>(g_runLengths.size());
}

int LastRunLength() {
    std::lock_guard<std::mutex> lock(g_mtxRuns);
    return g_runLengths.empty() ? -1 : g_runLengths.back();
}

// Like a capture thread: fixes its frame length at the start, then works
// under the control lock, taken the plain way, until stopped.
void RecordingBody(CCameraBase* pCam, std::atomic<bool>* pbRunning) {
    const int length = dynamic_cast<CEngine832&>(*pCam).GetRealImageSize();
    {
        std::lock_guard<std::mutex> lock(g_mtxRuns);
        g_runLengths.push_back(length);
    }
    while (pbRunning->load()) {
        { CCritSecLock lock(pCam->m_csControl); }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool WaitRuns(int n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Runs() < n) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class C832ReapplyTest : public C832Test {
  protected:
    void SetUp() override {
        C832Test::SetUp();
        {
            std::lock_guard<std::mutex> lock(g_mtxRuns);
            g_runLengths.clear();
        }
        ASSERT_NE(Setup(), nullptr);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_TRUE(m_pCam->BindCaptureBody(m_pCam->m_thrWork, RecordingBody));
    }
    void TearDown() override {
        KYRStopVideoCapture(0);
        C832Test::TearDown();
    }
    bool Capturing() { return m_pCam->m_thrWork.IsAlive(); }
    // 640 x 480 RAW8, 12-bit mode, DDR in use: what each change starts from.
    void StartingPoint() {
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, IMG_RAW8), KYR_SUCCESS);
        ASSERT_TRUE(m_pCam->SetHighSpeedMode(false));
        ASSERT_TRUE(m_pCam->SetEnableDDR(true));
    }
    KYR_EXPOSURE_STATUS Status() {
        KYR_EXPOSURE_STATUS status = KYR_EXP_IDLE;
        EXPECT_EQ(KYRGetExpStatus(0, &status), KYR_SUCCESS);
        return status;
    }
};

struct SChange {
    const char* name;
    std::function<bool(CCameraBase*)> apply;
    int frameBytes;  // frame length after the change
};

// Each change, made while capturing at 640 x 480 RAW8.
std::vector<SChange> Changes() {
    auto locked = [](CCameraBase* cam, std::function<bool()> fn) {
        CCritSecLock lock(cam->m_csControl);
        return fn();
    };
    return {
        {"ROI", [](CCameraBase*) { return KYRSetROIFormat(0, 1920, 1080, 1, IMG_RAW16) == KYR_SUCCESS; },
         1920 * 1080 * 2},
        {"high speed",
         [](CCameraBase*) { return KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 1, KYR_FALSE) == KYR_SUCCESS; },
         640 * 480},
        {"DDR", [=](CCameraBase* c) { return locked(c, [c] { return c->SetEnableDDR(false); }); }, 640 * 480},
        {"resolution slot",
         [=](CCameraBase* c) { return locked(c, [c] { return c->SetResolution(320, 240, 2, IMAGE_8BIT); }); },
         640 * 480},
    };
}

TEST_F(C832ReapplyTest, IdleChangesStartNoCapture) {
    for (const SChange& change : Changes()) {
        SCOPED_TRACE(change.name);
        ASSERT_NO_FATAL_FAILURE(StartingPoint());
        ASSERT_TRUE(change.apply(m_pCam));
        EXPECT_FALSE(Capturing());
        EXPECT_EQ(Engine().GetRealImageSize(), change.frameBytes);
    }
    EXPECT_EQ(Runs(), 0);
}

TEST_F(C832ReapplyTest, VideoIsStoppedReprogrammedAndRestartedAtTheNewFrameLength) {
    for (const SChange& change : Changes()) {
        SCOPED_TRACE(change.name);
        ASSERT_NO_FATAL_FAILURE(StartingPoint());
        const int before = Runs();
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        ASSERT_TRUE(WaitRuns(before + 1));
        ASSERT_TRUE(change.apply(m_pCam));
        ASSERT_TRUE(WaitRuns(before + 2));
        EXPECT_TRUE(Capturing());
        EXPECT_FALSE(m_pCam->m_bSnapMode);
        EXPECT_EQ(LastRunLength(), change.frameBytes);
        EXPECT_EQ(m_dev.fpgaWide(64, 4), change.frameBytes / 4);
        EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        EXPECT_EQ(Runs(), before + 2);
    }
}

TEST_F(C832ReapplyTest, ACutSnapshotEndsFailedAndIsNotRestarted) {
    for (const SChange& change : Changes()) {
        SCOPED_TRACE(change.name);
        ASSERT_NO_FATAL_FAILURE(StartingPoint());
        const int before = Runs();
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(WaitRuns(before + 1));
        EXPECT_EQ(Status(), KYR_EXP_WORKING);
        ASSERT_TRUE(change.apply(m_pCam));
        EXPECT_EQ(Status(), KYR_EXP_FAILED);
        EXPECT_FALSE(Capturing());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(Runs(), before + 1);
        EXPECT_EQ(Engine().GetRealImageSize(), change.frameBytes);
        // The next exposure starts as usual.
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(WaitRuns(before + 2));
        EXPECT_EQ(KYRStopExposure(0), KYR_SUCCESS);
    }
}

TEST_F(C832ReapplyTest, ARefusedChangeLeavesTheCaptureRunning) {
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(WaitRuns(1));
    EXPECT_EQ(KYRSetROIFormat(0, 636, 480, 1, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
    EXPECT_TRUE(Capturing());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Runs(), 1);
}

TEST_F(C832ReapplyTest, ChangesFromManyThreadsDuringVideoKeepTheHoldAndEndCapturing) {
    const int from = kyrsim_log_count();
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_TRUE(WaitRuns(1));
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 5; ++i) {
                if (t == 0) KYRSetROIFormat(0, (i % 2) ? 1920 : 640, (i % 2) ? 1080 : 480, 1, IMG_RAW8);
                if (t == 1) KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, i % 2 == 0 ? 1 : 0, KYR_FALSE);
                if (t == 2) KYRSetStartPos(0, 10 * i, 10 * i);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(Capturing());
    EXPECT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    EXPECT_EQ(LastRunLength(), Engine().GetRealImageSize());
    const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs832(), 0x3001, from);
    EXPECT_TRUE(holds.Clean()) << holds.Text();
}

}  // namespace

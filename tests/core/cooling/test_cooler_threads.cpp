// test-labels: tsan
// The cooler thread against simulated cooled cameras on a virtual clock:
// stopping switches the cooler off, readings are not doubled while it runs,
// close and destruction join it also after an unplug, a caller switching
// regulation off is never undone by a step, and the closed loop really
// settles at the target (minutes of model time in moments).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "KYRCamera.h"
#include "VirtualClock.h"
#include "api/ModelFactory.h"
#include "test_cooler_fixture.h"

namespace {

using cooler_test::CCoolerTest;
using cooler_test::OpenCooled;
using cooler_test::PlugCooled;

// Virtual time of one regulation cycle of the thread, about 3.6 s.
constexpr uint64_t kCycleUs = 3600000;
constexpr uint64_t kMinuteUs = 60000000;
// Real time each sleep of the library takes in the tests that only need the
// thread to go round: a cycle in a few tens of milliseconds.
constexpr auto kPace = std::chrono::microseconds(50);
// Generous real-time bound for the thread to get through some virtual time.
constexpr int kWaitMs = 60000;

class CCoolerThreadTest : public CCoolerTest {
  protected:
    void SetUp() override {
        CCoolerTest::SetUp();
        m_pClock = std::make_unique<CVirtualClock>(kPace);
    }
    void TearDown() override {
        CCoolerTest::TearDown();
        m_pClock.reset();
    }
    // Opens and initialises the camera: the cooler thread runs.
    void Start(double celsius = 20.0) {
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_TRUE(m_Dev.setAmbient(celsius));
        ASSERT_TRUE(m_Dev.setTemperature(celsius));
        ASSERT_TRUE(Cam().InitCamera());
        ASSERT_TRUE(Cam().m_thrAutoTemp.IsAlive());
    }
    // Waits until the thread has had `cycles` more cycles of virtual time.
    void Cycles(int cycles) {
        ASSERT_TRUE(m_pClock->WaitElapsed(m_pClock->ElapsedUs() + cycles * kCycleUs, kWaitMs));
    }

    std::unique_ptr<CVirtualClock> m_pClock;
};

TEST_F(CCoolerThreadTest, StopSwitchesTheCoolerOff) {
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    ASSERT_TRUE(Cam().SetPowerPerc(60));
    ASSERT_NE(m_Dev.coolerDrive(), 255);
    ASSERT_NO_FATAL_FAILURE(Cycles(2));
    std::string log = CaptureDebugLog([&] { Cam().StopAutoTempThr(); });
    EXPECT_FALSE(Cam().m_thrAutoTemp.IsAlive());
    EXPECT_NE(log.find("AutoTempThr wait >"), std::string::npos) << log;
    EXPECT_NE(log.find("Thread AutoTemp Exit! Cooler is turned off"), std::string::npos) << log;
    EXPECT_NE(log.find("AutoTempThr wait <"), std::string::npos) << log;
    EXPECT_EQ(kyrsim::requests(VR_SET_COOLER_DA, m_Dev.handle()).back().value, 255);
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), 0.0f);
}

// While the thread runs, GetTemp answers with the reading the thread keeps
// fresh; the caller's thread sends no request of its own.
TEST_F(CCoolerThreadTest, GetTempUsesTheThreadsReading) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(m_Dev.setAmbient(12.5));
    ASSERT_TRUE(m_Dev.setTemperature(12.5));
    ASSERT_NO_FATAL_FAILURE(Cycles(2));
    kyrsim::clearLog();
    const unsigned long long self = kyrsim_thread_id();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Cam().GetTemp(), 12.5f);
    int mine = 0;
    for (const auto& r : kyrsim::requests()) mine += r.thread == self;
    EXPECT_EQ(mine, 0);

    Cam().StopAutoTempThr();
    kyrsim::clearLog();
    ASSERT_TRUE(m_Dev.setTemperature(14.0));
    EXPECT_EQ(Cam().GetTemp(), 14.0f);
    EXPECT_EQ(kyrsim::requests(VR_READ_TEMP_I2C).size(), 1u);
}

// The device gone, close still stops and joins the thread; its last level
// cannot be sent, and it says so.
TEST_F(CCoolerThreadTest, CloseAfterUnplugJoinsTheThread) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Cam().SetPowerPerc(60));
    ASSERT_TRUE(m_Dev.unplug());
    std::string log;
    const long long ms = camera_test::TimedMs([&] { log = CaptureDebugLog([&] { Cam().CloseCamera(); }); });
    EXPECT_FALSE(Cam().m_thrAutoTemp.IsAlive());
    EXPECT_LT(ms, 10000);
    EXPECT_NE(log.find("Cooler could not be turned off"), std::string::npos) << log;
}

// Destruction without a close stops the thread through the virtual
// destructor, with the device there or gone.
TEST_F(CCoolerThreadTest, DestructionWithoutCloseJoinsTheThread) {
    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug);
        m_pCam.reset();
        kyrsim::reset();
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(Cam().SetPowerPerc(60));
        ASSERT_NO_FATAL_FAILURE(Cycles(1));
        if (unplug) ASSERT_TRUE(m_Dev.unplug());
        std::atomic<bool> destroyed{false};
        Cam().SetDestroyedFlag(&destroyed);
        CCameraBase* base = m_pCam.release();
        delete base;
        EXPECT_TRUE(destroyed.load());
        if (!unplug) EXPECT_EQ(m_Dev.coolerDrive(), 255);
    }
}

// A caller switches regulation on and off while the thread steps; once off
// with power 0, no step in flight turns the cooler back on.
TEST_F(CCoolerThreadTest, CallerSwitchingRegulationOffIsNeverUndone) {
    ASSERT_NO_FATAL_FAILURE(Start(20.0));
    for (int i = 0; i < 200; ++i) {
        Cam().SetAutoTemp(true, -20);
        std::this_thread::sleep_for(std::chrono::microseconds(i % 7 * 50));
        Cam().SetAutoTemp(false, -20);
        Cam().SetPowerPerc(0);
        ASSERT_FALSE(Cam().m_bAutoTempOn.load());
    }
    ASSERT_NO_FATAL_FAILURE(Cycles(3));
    EXPECT_EQ(Cam().m_fCoolPowerPerc.load(), 0.0f);
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    Cam().StopAutoTempThr();
    EXPECT_EQ(m_Dev.coolerDrive(), 255);
    EXPECT_EQ(kyrsim_overlap_count(), 0);
}

// ---- Closed loop ----------------------------------------------------------------------------

// Records each camera's temperature over a window of virtual time, from the
// sleeps of the cooler threads.
class CTempRecorder {
  public:
    CTempRecorder(std::vector<kyrsim::Device> devs, uint64_t fromUs, uint64_t toUs)
        : m_devs(std::move(devs)),
          m_fromUs(fromUs),
          m_toUs(toUs),
          m_min(m_devs.size(), INFINITY),
          m_max(m_devs.size(), -INFINITY),
          m_first(m_devs.size(), NAN) {}

    void Sample(uint64_t us) {
        if (us < m_fromUs || us > m_toUs) return;
        std::lock_guard<std::mutex> lock(m_mtx);
        for (size_t i = 0; i < m_devs.size(); ++i) {
            const double t = m_devs[i].temperature();
            if (std::isnan(m_first[i])) m_first[i] = t;
            m_min[i] = std::min(m_min[i], t);
            m_max[i] = std::max(m_max[i], t);
        }
    }
    double First(size_t i) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_first[i];
    }
    double Min(size_t i) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_min[i];
    }
    double Max(size_t i) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_max[i];
    }

  private:
    std::vector<kyrsim::Device> m_devs;
    const uint64_t m_fromUs, m_toUs;
    std::mutex m_mtx;
    std::vector<double> m_min, m_max, m_first;
};

class CClosedLoopTest : public ::testing::Test {
  protected:
    void SetUp() override { kyrsim::reset(); }
    void TearDown() override {
        for (auto& cam : m_cams) cam.reset();
        m_pClock.reset();
        m_pRec.reset();
        kyrsim::reset();
    }

    // Samples the cameras' temperatures from every sleep of the library.
    CTempRecorder& Record(uint64_t fromUs, uint64_t toUs) {
        m_pRec = std::make_unique<CTempRecorder>(m_devs, fromUs, toUs);
        m_pClock->OnSleep([rec = m_pRec.get()](uint64_t us) { rec->Sample(us); });
        return *m_pRec;
    }

    std::unique_ptr<CTempRecorder> m_pRec;
    std::vector<kyrsim::Device> m_devs;
    std::vector<std::unique_ptr<CTestCoolDriver>> m_cams;
    std::unique_ptr<CVirtualClock> m_pClock;
};

// From 20 degrees toward -10: within a degree by 30 minutes, and within a
// degree for 10 minutes after that.
TEST_F(CClosedLoopTest, SettlesAtTheTarget) {
    constexpr double kTarget = -10.0;
    m_pClock = std::make_unique<CVirtualClock>();
    m_devs.push_back(PlugCooled("1"));
    ASSERT_TRUE(m_devs[0].setAmbient(20.0));
    ASSERT_TRUE(m_devs[0].setTemperature(20.0));
    CTempRecorder& rec = Record(30 * kMinuteUs, 40 * kMinuteUs);
    m_cams.push_back(OpenCooled("1"));
    CTestCoolDriver& cam = *m_cams[0];
    ASSERT_TRUE(cam.InitCamera());
    cam.SetAutoTemp(true, kTarget);

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_pClock->WaitElapsed(40 * kMinuteUs + kCycleUs, kWaitMs));
    cam.StopAutoTempThr();
    const auto real = std::chrono::steady_clock::now() - t0;
    EXPECT_NEAR(rec.First(0), kTarget, 1.0);
    EXPECT_GE(rec.Min(0), kTarget - 1.0);
    EXPECT_LE(rec.Max(0), kTarget + 1.0);
    EXPECT_EQ(m_devs[0].coolerDrive(), 255);
    RecordProperty("real_ms",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(real).count()));
}

// Two cooled cameras regulate toward their own targets on their own state.
TEST_F(CClosedLoopTest, TwoCamerasKeepTheirOwnTargets) {
    const double targets[] = {-5.0, -15.0};
    m_pClock = std::make_unique<CVirtualClock>();
    const char* ports[] = {"1", "2"};
    for (const char* port : ports) {
        m_devs.push_back(PlugCooled(port));
        ASSERT_TRUE(m_devs.back().setAmbient(20.0));
        ASSERT_TRUE(m_devs.back().setTemperature(20.0));
    }
    // Both threads sleep on the one clock, so each cycle takes twice the time.
    CTempRecorder& rec = Record(60 * kMinuteUs, 70 * kMinuteUs);
    for (int i = 0; i < 2; ++i) {
        m_cams.push_back(OpenCooled(ports[i]));
        ASSERT_TRUE(m_cams[i]->InitCamera());
    }
    for (int i = 0; i < 2; ++i) m_cams[i]->SetAutoTemp(true, static_cast<float>(targets[i]));
    ASSERT_TRUE(m_pClock->WaitElapsed(70 * kMinuteUs + kCycleUs, kWaitMs));
    // Each holds its own level: the colder target needs more power.
    EXPECT_GT(m_devs[0].coolerDrive(), m_devs[1].coolerDrive());
    for (auto& cam : m_cams) cam->StopAutoTempThr();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(m_cams[i]->m_iTargetTemp.load(), static_cast<int>(targets[i]));
        EXPECT_GE(rec.Min(static_cast<size_t>(i)), targets[i] - 1.0);
        EXPECT_LE(rec.Max(static_cast<size_t>(i)), targets[i] + 1.0);
    }
}

// ---- Through the exported interface -------------------------------------------------------

class CCooledApiTest : public ::testing::Test {
  protected:
    static CCameraBase* MakeDriver() { return new CTestCoolDriver(); }

    void SetUp() override {
        kyrsim::reset();
        SetCameraConstructorForTest(CTestCoolDriver::kProductID, MakeDriver);
        m_pClock = std::make_unique<CVirtualClock>(kPace);
    }
    void TearDown() override {
        for (int id = 0; id < 128; ++id) KYRCloseCamera(id);
        SetCameraConstructorForTest(CTestCoolDriver::kProductID, nullptr);
        m_pClock.reset();
        kyrsim::reset();
    }

    std::unique_ptr<CVirtualClock> m_pClock;
};

// Closing a cooled camera through the exported interface stops the cooler
// thread and switches the cooler off; after an unplug the close still ends.
TEST_F(CCooledApiTest, CloseStopsTheCooler) {
    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug);
        kyrsim::Device dev = PlugCooled("1");
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        ASSERT_TRUE(m_pClock->WaitElapsed(m_pClock->ElapsedUs() + kCycleUs, kWaitMs));
        const int reads = kyrsim_log_count_matching(dev.handle(), VR_READ_TEMP_I2C, KYRSIM_DIR_IN);
        EXPECT_GT(reads, 0);  // the cooler thread reads the temperature
        if (unplug) ASSERT_TRUE(dev.unplug());
        const long long ms = camera_test::TimedMs([&] { EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS); });
        EXPECT_LT(ms, 10000);
        if (!unplug) EXPECT_EQ(dev.coolerDrive(), 255);
        // No thread reads any more.
        const int after = kyrsim_log_count_matching(dev.handle(), VR_READ_TEMP_I2C, KYRSIM_DIR_IN);
        m_pClock->Advance(kCycleUs);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(kyrsim_log_count_matching(dev.handle(), VR_READ_TEMP_I2C, KYRSIM_DIR_IN), after);
        kyrsim::reset();
    }
}

}  // namespace

// test-labels: tsan
// Settings saved from several threads at once: each thread saves its own
// camera model in a loop, and every model's last values survive, because each
// load-change-write of the file runs under one process-wide lock.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TestDriver.h"
#include "camera/CameraBase.h"
#include "camera/Settings.h"

namespace {

// The test driver with a model's name and limits, loading its settings at the
// end of construction as a driver does.
class CModelCamera : public CTestDriver {
  public:
    explicit CModelCamera(const std::string& shortName) : m_strShortName(shortName) {
        m_pszShortName = &m_strShortName[0];
        m_iGainMin = 0;
        m_iGainMax = 600;
        m_iWBMin = 1;
        m_iWBMax = 99;
        m_iExpMin = 32;
        m_iExpMax = 2000000000;
        m_iGain = 200;
        m_iWBRed = 50;
        m_lExpTimeUs = 10000;
        LoadSetting();
    }

  private:
    std::string m_strShortName;
};

TEST(SettingsThreads, ConcurrentSavesOfDifferentModelsKeepEveryModelsLastValues) {
    constexpr int kModels = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    for (int m = 0; m < kModels; ++m) {
        threads.emplace_back([m] {
            CModelCamera cam("KYR80" + std::to_string(m) + "MC");
            for (int round = 1; round <= kRounds; ++round) {
                cam.m_iGain = m * 100 + round;
                cam.m_iWBRed = m * 10 + round % 10 + 1;
                cam.m_lExpTimeUs = static_cast<uint64_t>(1000 * (m + 1) + round);
                ASSERT_TRUE(cam.SaveSetting());
                // A load in between: it rewrites the file too.
                CModelCamera reader("KYR80" + std::to_string(m) + "MC");
                ASSERT_EQ(reader.m_iGain, m * 100 + round);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int m = 0; m < kModels; ++m) {
        SCOPED_TRACE(m);
        CModelCamera cam("KYR80" + std::to_string(m) + "MC");
        EXPECT_EQ(cam.m_iGain, m * 100 + kRounds);
        EXPECT_EQ(cam.m_iWBRed, m * 10 + kRounds % 10 + 1);
        EXPECT_EQ(cam.m_lExpTimeUs.load(), static_cast<uint64_t>(1000 * (m + 1) + kRounds));
    }
}

}  // namespace

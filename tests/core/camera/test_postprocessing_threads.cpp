// test-labels: tsan
// Frame corrections on the image thread while control calls on another thread
// change the geometry, the dark frame and the gamma: the tables a frame is
// corrected with are replaced whole under their locks, so there is no race,
// no use of a freed table and no deadlock.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "test_postprocessing_fixture.h"

namespace {

using post_test::CPostCamera;

TEST(PostProcessingThreads, GeometryDarkAndGammaChangeWhileFramesAreCorrected) {
    CPostCamera cam(64, 48, true);
    ASSERT_TRUE(cam.m_bBuffers);
    const std::string path = post_test::TempPath("dark.bmp");
    post_test::WriteBytes(path, post_test::DarkBmp(64, 48, [](int x, int y) {
                              return static_cast<uint8_t>((x * 5 + y * 3) % 17 == 0 ? 120 : 10);
                          }));
    ASSERT_EQ(cam.LoadBMPFromFile(path.c_str()), 1);
    std::vector<std::pair<int, int>> hot;
    for (int i = 0; i < 200; ++i) hot.push_back({(i * 37) % 64, (i * 11) % 48});
    for (int x = 0; x < 40; ++x) hot.push_back({x, 20});  // a defective row
    cam.SetHotMap(hot);
    ASSERT_TRUE(cam.SetGamma(70));

    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    auto image = std::async(std::launch::async, [&] {
        while (!stop) {
            memset(cam.Frame8(), 60 + frames % 50, 64 * 48);
            cam.DoGetDark();
            cam.SubtractDark();
            cam.ApplyGamma(cam.Frame8(), 64, 48, false);
            cam.HandleHotPixels();
            ++frames;
        }
    });
    auto control = std::async(std::launch::async, [&] {
        const int geometries[][6] = {
            {64, 48, 1, 0, 0, 0}, {32, 24, 2, 0, 0, 0}, {16, 12, 1, 40, 30, 0},
            {16, 12, 2, 8, 4, 1}, {8, 6, 4, 0, 0, 1},   {20, 20, 1, 50, 40, 0},
        };
        for (int round = 0; round < 60; ++round) {
            const int* g = geometries[round % 6];
            cam.SetGeometry(g[0], g[1], g[2], g[3], g[4], g[5] != 0);
            cam.AdjustHPCTable();
            cam.AdjustDarkBuff();
            cam.SetGamma(20 + round);
            if (round % 3 == 0) cam.UsingDark(false);
            if (round % 3 == 1) cam.LoadBMPFromFile(path.c_str());
            if (round % 3 == 2) cam.UsingDark(true);
            if (round % 5 == 0) {
                cam.SetGeometry(64, 48, 1, 0, 0);
                cam.GettingDark(true, 0);
            }
        }
        // Let the image thread see the last tables too.
        const int seen = frames;
        while (frames < seen + 5) std::this_thread::yield();
    });
    // A deadlock shows as a thread that never ends.
    const auto bound = std::chrono::seconds(120);
    ASSERT_EQ(control.wait_for(bound), std::future_status::ready);
    stop = true;
    ASSERT_EQ(image.wait_for(bound), std::future_status::ready);
    EXPECT_GT(frames.load(), 0);
}

}  // namespace

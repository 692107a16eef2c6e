// Per-frame corrections of the camera object on a 3840 x 2160 8-bit frame:
// hot-pixel repair with a list of 100,000 hot pixels, and dark subtraction.
// Each reports its time as a ratio to memcpy of the same frame, measured in
// the same process just before (x_memcpy).
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "TestDriver.h"
#include "camera/CameraBase.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight;
constexpr int kHotPixels = 100000;

// Best time of a few memcpy runs of one frame, in seconds.
double MemcpySeconds() {
    std::vector<unsigned char> src(kFrameBytes, 7), dst(kFrameBytes);
    double best = 1e9;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        memcpy(dst.data(), src.data(), kFrameBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

// A camera with a full-size mono sensor, its buffers and a random frame.
std::unique_ptr<CTestDriver> MakeCamera() {
    auto cam = std::make_unique<CTestDriver>();
    cam->m_iMaxWidth = cam->m_iWidth = kWidth;
    cam->m_iMaxHeight = cam->m_iHeight = kHeight;
    if (!cam->InitVariable()) return nullptr;
    std::mt19937 rng(12345);
    for (size_t i = 0; i < kFrameBytes; ++i) cam->m_pImgBuf[i] = static_cast<unsigned char>(rng() & 255);
    return cam;
}

// Runs body once per iteration; reports bytes and the ratio to memcpy.
template <class TBody>
void Measure(benchmark::State& state, TBody body) {
    const double ref = MemcpySeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFrameBytes));
    if (state.iterations() > 0 && ref > 0)
        state.counters["x_memcpy"] = total / static_cast<double>(state.iterations()) / ref;
}

void BM_HandleHotPixels(benchmark::State& state) {
    auto cam = MakeCamera();
    if (!cam) return state.SkipWithError("no memory for the frame buffers");
    // 100,000 hot pixels scattered over the sensor, far from half a row each.
    std::mt19937 rng(54321);
    memset(cam->m_pHotPixMap, 0, kFrameBytes);
    for (int n = 0; n < kHotPixels;) {
        const size_t i = rng() % kFrameBytes;
        if (!cam->m_pHotPixMap[i]) {
            cam->m_pHotPixMap[i] = 1;
            ++n;
        }
    }
    cam->m_bHPCOn = true;
    cam->m_bHPCRebuild = true;
    cam->AdjustHPCTable();
    if (cam->m_iHPCCount != kHotPixels) return state.SkipWithError("hot-pixel list not complete");
    Measure(state, [&] { cam->HandleHotPixels(); });
}
BENCHMARK(BM_HandleHotPixels)->Unit(benchmark::kMicrosecond);

void BM_SubtractDark(benchmark::State& state) {
    auto cam = MakeCamera();
    if (!cam) return state.SkipWithError("no memory for the frame buffers");
    // A dark frame of one exposure of a second: one frame, the current one.
    cam->m_lExpTimeUs = 1000000;
    if (cam->GettingDark(true, 0) != 1) return state.SkipWithError("dark acquisition refused");
    cam->DoGetDark();
    cam->UsingDark(true);
    Measure(state, [&] { cam->SubtractDark(); });
}
BENCHMARK(BM_SubtractDark)->Unit(benchmark::kMicrosecond);

}  // namespace

// The engine's image operation on a full-size 3840 x 2160 frame of the 832,
// per output type: the finishing of a frame taken from the ring (marker
// repair, corrections, conversion) into the caller's buffer. Each reports its
// time as a ratio to memcpy of the output (x_memcpy), measured in the same
// process just before.
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "modetable1/CCameraS832MC.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

// The finishing steps of a camera object that never opens.
class CBenchCamera : public CCameraS832MC {
  public:
    using CEngineDriver::FinishImage;
    using CEngineDriver::TakeImageGeometry;
};

double MemcpySeconds(size_t bytes) {
    std::vector<unsigned char> src(bytes, 7), dst(bytes);
    double best = 1e9;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

void BM_EngineImage(benchmark::State& state, IMAGE_TYPE type, bool raw, int bytesPerPixel) {
    auto cam = std::make_unique<CBenchCamera>();
    if (!cam->InitVariable()) return state.SkipWithError("no memory for the frame buffers");
    const bool b16 = type == IMAGE_RAW16;
    cam->m_iWidth = kWidth;
    cam->m_iHeight = kHeight;
    cam->m_iBin = 1;
    cam->m_iImgType = type;
    cam->m_bRawOutput = raw;
    cam->m_bOutput16Bits = b16;
    std::mt19937 rng(12345);
    const size_t frame = static_cast<size_t>(kWidth) * kHeight * (b16 ? 2 : 1);
    for (size_t i = 0; i < frame; ++i) cam->m_pImgBuf[i] = static_cast<unsigned char>(rng() & 255);
    SImageGeometry g;
    if (!cam->TakeImageGeometry(&g)) return state.SkipWithError("no geometry");
    const size_t out = static_cast<size_t>(kWidth) * kHeight * bytesPerPixel;
    std::vector<unsigned char> dst(out);
    const double ref = MemcpySeconds(out);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        cam->FinishImage(g, dst.data(), static_cast<int>(out));
        benchmark::ClobberMemory();
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out));
    if (state.iterations() > 0 && ref > 0)
        state.counters["x_memcpy"] = total / static_cast<double>(state.iterations()) / ref;
}
BENCHMARK_CAPTURE(BM_EngineImage, RAW8, IMAGE_8BIT, true, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EngineImage, Y8, IMAGE_8BIT, false, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EngineImage, RGB24, IMAGE_RGB24, false, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EngineImage, RAW16, IMAGE_RAW16, false, 2)->Unit(benchmark::kMicrosecond);

}  // namespace

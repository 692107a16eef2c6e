// The engine's image operation on a full-size 3840 x 2160 frame, per output
// type: the finishing of a frame taken from the ring (marker repair,
// corrections, binning, conversion) into the caller's buffer, on the 832
// (colour) and on the S7100 (mono, read out as grey). Each reports its time
// as a ratio to memcpy of the bytes it passes (the frame read or the image
// written, whichever is more; x_memcpy), measured in the same process just
// before, and where OpenCV does the same job, to it (x_opencv).
#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "modetable1/CCameraS832MC.h"
#include "modetable2/CCameraS7100MM_Pro.h"

#if KYR_BENCH_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

// The finishing steps of a camera object that never opens.
template <class TCamera>
class CBenchCamera : public TCamera {
  public:
    using TCamera::FinishImage;
    using TCamera::TakeImageGeometry;
};

// The best of 20 runs of fn, seconds.
double BestSeconds(const std::function<void()>& fn) {
    double best = 1e9;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        benchmark::ClobberMemory();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

double MemcpySeconds(size_t bytes) {
    std::vector<unsigned char> src(bytes, 7), dst(bytes);
    return BestSeconds([&] {
        memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
    });
}

// What OpenCV does for the same job on the case's frame; none: 0.
enum OPENCV_JOB { CV_NONE, CV_GRAY_TO_BGR, CV_AREA_HALF };

double OpenCVSeconds(OPENCV_JOB job, const unsigned char* pFrame, unsigned char* pOut) {
#if KYR_BENCH_HAVE_OPENCV
    const cv::Mat src(kHeight, kWidth, CV_8UC1, const_cast<unsigned char*>(pFrame));
    if (job == CV_GRAY_TO_BGR) {
        cv::Mat dst(kHeight, kWidth, CV_8UC3, pOut);
        return BestSeconds([&] { cv::cvtColor(src, dst, cv::COLOR_GRAY2BGR); });
    }
    if (job == CV_AREA_HALF) {
        cv::Mat dst(kHeight / 2, kWidth / 2, CV_8UC1, pOut);
        return BestSeconds([&] { cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_AREA); });
    }
#else
    (void)job, (void)pFrame, (void)pOut;
#endif
    return 0;
}

// One output of one camera: type, raw flag, software bin and the OpenCV job beside it.
struct SImageCase {
    IMAGE_TYPE type;
    bool raw;
    int bin;
    int bytesPerPixel;
    OPENCV_JOB cv;
};

template <class TCamera>
void BM_EngineImage(benchmark::State& state, SImageCase c) {
    auto cam = std::make_unique<CBenchCamera<TCamera>>();
    if (!cam->InitVariable()) return state.SkipWithError("no memory for the frame buffers");
    const bool b16 = c.type == IMAGE_RAW16;
    const int w = kWidth / c.bin, h = kHeight / c.bin;
    cam->m_iWidth = w;
    cam->m_iHeight = h;
    cam->m_iBin = c.bin;
    cam->m_bHardwareBin = false;
    cam->m_iImgType = c.type;
    cam->m_bRawOutput = c.raw;
    cam->m_bOutput16Bits = b16;
    std::mt19937 rng(12345);
    const size_t frame = static_cast<size_t>(kWidth) * kHeight * (b16 ? 2 : 1);
    for (size_t i = 0; i < frame; ++i) cam->m_pImgBuf[i] = static_cast<unsigned char>(rng() & 255);
    SImageGeometry g;
    if (!cam->TakeImageGeometry(&g)) return state.SkipWithError("no geometry");
    if (static_cast<size_t>(g.readout.iFrameBytes) != frame) return state.SkipWithError("not a full frame");
    const size_t out = static_cast<size_t>(w) * h * c.bytesPerPixel;
    std::vector<unsigned char> dst(out);
    const double ref = MemcpySeconds(std::max(frame, out));
    const std::vector<unsigned char> copy(cam->m_pImgBuf, cam->m_pImgBuf + frame);
    const double cv = OpenCVSeconds(c.cv, copy.data(), dst.data());
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        cam->FinishImage(g, dst.data(), static_cast<int>(out));
        benchmark::ClobberMemory();
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out));
    if (state.iterations() <= 0) return;
    const double each = total / static_cast<double>(state.iterations());
    if (ref > 0) state.counters["x_memcpy"] = each / ref;
    if (cv > 0) state.counters["x_opencv"] = each / cv;
}
void BM_ColourImage(benchmark::State& state, SImageCase c) { BM_EngineImage<CCameraS832MC>(state, c); }
void BM_MonoImage(benchmark::State& state, SImageCase c) { BM_EngineImage<CCameraS7100MM_Pro>(state, c); }

BENCHMARK_CAPTURE(BM_ColourImage, RAW8, SImageCase{IMAGE_8BIT, true, 1, 1, CV_NONE})->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ColourImage, Y8, SImageCase{IMAGE_8BIT, false, 1, 1, CV_NONE})->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ColourImage, RGB24, SImageCase{IMAGE_RGB24, false, 1, 3, CV_NONE})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ColourImage, RAW16, SImageCase{IMAGE_RAW16, false, 1, 2, CV_NONE})
    ->Unit(benchmark::kMicrosecond);
// The mono path: the raw copy, RGB24 from grey, and 2 x 2 binning in software.
BENCHMARK_CAPTURE(BM_MonoImage, RAW8, SImageCase{IMAGE_8BIT, true, 1, 1, CV_NONE})->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MonoImage, RGB24, SImageCase{IMAGE_RGB24, false, 1, 3, CV_GRAY_TO_BGR})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MonoImage, RAW8_bin2, SImageCase{IMAGE_8BIT, true, 2, 1, CV_AREA_HALF})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

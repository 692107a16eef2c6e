// Image algorithms against the memory limit and against OpenCV. For each
// operation and frame size three benchmarks run in this order: memcpy of the
// same bytes, the OpenCV operation that does the same job (when OpenCV is
// there), then ours. Ours reports its time as ratios to the two before it:
// x_memcpy (how far from the memory limit) and x_opencv (below 1 is faster).
// OpenCV runs on one thread, as the library does.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "KYRCamera.h"
#include "image/AlgorithmSimd.h"
#include "image/CAlgorithm.h"

#if KYR_BENCH_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

struct FrameSize {
    int w, h;
};
// A full-HD frame and the largest sensor frame the cameras deliver.
const FrameSize kSizes[] = {{1920, 1080}, {6248, 4176}};

// Seconds per iteration of the reference runs, by "operation/size".
std::map<std::string, double>& ReferenceTimes() {
    static std::map<std::string, double> s_times;
    return s_times;
}

std::string Key(const char* pszOp, const FrameSize& size, const char* pszRef) {
    return std::string(pszOp) + "/" + std::to_string(size.w) + "x" + std::to_string(size.h) + "/" + pszRef;
}

std::vector<unsigned char> RandomBytes(size_t n) {
    std::vector<unsigned char> v(n);
    std::mt19937 rng(12345);
    for (auto& b : v) b = static_cast<unsigned char>(rng() & 255);
    return v;
}

// Each benchmark iteration runs the body kRunsPerIteration times, timing each
// run, and reports the median of them as its time (the CPU column counts all
// of them). The ratios are taken between the medians of all runs: a run
// slowed by another process on a busy machine moves neither, even when a
// large frame gets a single iteration.
constexpr int kRunsPerIteration = 5;

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Runs the body as above and returns the median wall time of one run.
template <class TBody>
double TimedLoop(benchmark::State& state, TBody body) {
    std::vector<double> all, iteration(kRunsPerIteration);
    for (auto _ : state) {
        for (double& dRun : iteration) {
            const auto start = std::chrono::steady_clock::now();
            body();
            benchmark::ClobberMemory();
            dRun = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        all.insert(all.end(), iteration.begin(), iteration.end());
        state.SetIterationTime(Median(iteration));
    }
    return Median(all);
}

void RecordReference(benchmark::State& state, const char* pszOp, const FrameSize& size, const char* pszRef,
                     double dSeconds) {
    ReferenceTimes()[Key(pszOp, size, pszRef)] = dSeconds;
    state.SetLabel(pszRef);
}

void ReportRatios(benchmark::State& state, const char* pszOp, const FrameSize& size, double dSeconds,
                  size_t uBytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(uBytes));
    for (const char* pszRef : {"memcpy", "opencv"}) {
        const auto it = ReferenceTimes().find(Key(pszOp, size, pszRef));
        if (it != ReferenceTimes().end() && it->second > 0)
            state.counters[std::string("x_") + pszRef] = dSeconds / it->second;
    }
    state.SetLabel("ours");
}

void Memcpy(benchmark::State& state, const char* pszOp, FrameSize size, size_t uBytes) {
    std::vector<unsigned char> src = RandomBytes(uBytes), dst(uBytes);
    const double d = TimedLoop(state, [&] { memcpy(dst.data(), src.data(), uBytes); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(uBytes));
    RecordReference(state, pszOp, size, "memcpy", d);
}

#if KYR_BENCH_HAVE_OPENCV
// OpenCV names Bayer patterns differently; take the code whose bilinear
// output of a flat RG mosaic (red 200, green 100, blue 30) is ours: blue 30,
// green 100, red 200 in every inner pixel.
int OpenCVBayerCode(bool bGray) {
    static const int s_iCodes[4][2] = {{cv::COLOR_BayerBG2BGR, cv::COLOR_BayerBG2GRAY},
                                       {cv::COLOR_BayerGB2BGR, cv::COLOR_BayerGB2GRAY},
                                       {cv::COLOR_BayerRG2BGR, cv::COLOR_BayerRG2GRAY},
                                       {cv::COLOR_BayerGR2BGR, cv::COLOR_BayerGR2GRAY}};
    static const int s_iFamily = [] {
        cv::Mat mosaic(8, 8, CV_8UC1);
        for (int y = 0; y < 8; y++)
            for (int x = 0; x < 8; x++)
                mosaic.at<unsigned char>(y, x) = (x + y) % 2 ? 100 : (y % 2 ? 30 : 200);  // RG pattern
        for (int k = 0; k < 4; k++) {
            cv::Mat bgr;
            cv::cvtColor(mosaic, bgr, s_iCodes[k][0]);
            const cv::Vec3b px = bgr.at<cv::Vec3b>(4, 4);
            if (px[0] == 30 && px[1] == 100 && px[2] == 200) return k;
        }
        return 0;
    }();
    return s_iCodes[s_iFamily][bGray ? 1 : 0];
}
#endif

// ---------------------------------------------------------------------------
// Demosaic

void BM_Demosaic(benchmark::State& state, IMAGE_TYPE type, int iRef) {
    const FrameSize size = kSizes[state.range(0)];
    const char* pszOp = type == IMAGE_RGB24 ? "demosaic_rgb24" : "demosaic_y8";
    const size_t uOut = static_cast<size_t>(size.w) * size.h * (type == IMAGE_RGB24 ? 3 : 1);
    if (iRef == 0) return Memcpy(state, pszOp, size, uOut);
    const std::vector<unsigned char> mosaic = RandomBytes(static_cast<size_t>(size.w) * size.h);
    std::vector<unsigned char> out(uOut);
    if (iRef == 1) {
#if KYR_BENCH_HAVE_OPENCV
        const cv::Mat src(size.h, size.w, CV_8UC1, const_cast<unsigned char*>(mosaic.data()));
        cv::Mat dst(size.h, size.w, type == IMAGE_RGB24 ? CV_8UC3 : CV_8UC1, out.data());
        const int iCode = OpenCVBayerCode(type != IMAGE_RGB24);
        RecordReference(state, pszOp, size, "opencv",
                        TimedLoop(state, [&] { cv::cvtColor(src, dst, iCode); }));
#endif
        return;
    }
    CAlgorithm alg;
    alg.SetBayer(BAYER_RG);
    const double d = TimedLoop(
        state, [&] { alg.BayerConv(mosaic.data(), out.data(), size.w, size.h, type, false, false); });
    ReportRatios(state, pszOp, size, d, uOut);
}

// ---------------------------------------------------------------------------
// Flip: both directions (a 180-degree turn) or vertical only (rows swapped)

void BM_Flip(benchmark::State& state, bool b16Bit, bool bVerticalOnly, int iRef) {
    const FrameSize size = kSizes[state.range(0)];
    const char* pszOp = bVerticalOnly ? (b16Bit ? "flipV16" : "flipV") : (b16Bit ? "flip16" : "flip");
    const size_t n = static_cast<size_t>(size.w) * size.h * (b16Bit ? 2 : 1);
    if (iRef == 0) return Memcpy(state, pszOp, size, n);
    std::vector<unsigned char> buf = RandomBytes(n);
    if (iRef == 1) {
#if KYR_BENCH_HAVE_OPENCV
        std::vector<unsigned char> out(n);
        const int iType = b16Bit ? CV_16UC1 : CV_8UC1;
        const cv::Mat src(size.h, size.w, iType, buf.data());
        cv::Mat dst(size.h, size.w, iType, out.data());
        RecordReference(state, pszOp, size, "opencv",
                        TimedLoop(state, [&] { cv::flip(src, dst, bVerticalOnly ? 0 : -1); }));
#endif
        return;
    }
    CAlgorithm alg;
    const double d =
        TimedLoop(state, [&] { alg.SoftMisc(buf.data(), size.w, size.h, b16Bit, true, !bVerticalOnly); });
    ReportRatios(state, pszOp, size, d, n);
}

// ---------------------------------------------------------------------------
// 8-bit gamma

void BM_Gamma(benchmark::State& state, int iRef) {
    const FrameSize size = kSizes[state.range(0)];
    const size_t n = static_cast<size_t>(size.w) * size.h;
    if (iRef == 0) return Memcpy(state, "gamma8", size, n);
    std::vector<unsigned char> buf = RandomBytes(n);
    unsigned char ucTable[256];
    for (int i = 0; i < 256; i++) ucTable[i] = static_cast<unsigned char>(255 - i);
    if (iRef == 1) {
#if KYR_BENCH_HAVE_OPENCV
        std::vector<unsigned char> out(n);
        const cv::Mat src(size.h, size.w, CV_8UC1, buf.data());
        cv::Mat dst(size.h, size.w, CV_8UC1, out.data());
        const cv::Mat lut(1, 256, CV_8UC1, ucTable);
        RecordReference(state, "gamma8", size, "opencv", TimedLoop(state, [&] { cv::LUT(src, lut, dst); }));
#endif
        return;
    }
    CAlgorithm alg;
    const double d = TimedLoop(state, [&] { alg.Gamma(buf.data(), ucTable, size.w, size.h); });
    ReportRatios(state, "gamma8", size, d, n);
}

// 16-bit gamma: OpenCV's look-up takes 8-bit input only, so memcpy alone
// stands beside it.
void BM_Gamma16(benchmark::State& state, int iRef) {
    const FrameSize size = kSizes[state.range(0)];
    const size_t n = static_cast<size_t>(size.w) * size.h * 2;
    if (iRef == 0) return Memcpy(state, "gamma16", size, n);
    if (iRef == 1) return;
    std::vector<unsigned char> buf = RandomBytes(n);
    std::vector<unsigned short> table(65536);
    for (size_t i = 0; i < table.size(); i++) table[i] = static_cast<unsigned short>(65535 - i);
    CAlgorithm alg;
    const double d = TimedLoop(state, [&] {
        alg.Gamma(reinterpret_cast<unsigned short*>(buf.data()), table.data(), size.w, size.h);
    });
    ReportRatios(state, "gamma16", size, d, n);
}

// ---------------------------------------------------------------------------
// Dark subtraction with an offset: OpenCV needs a saturating subtraction and
// a saturating addition for the same result.

void BM_Dark(benchmark::State& state, int iRef) {
    const FrameSize size = kSizes[state.range(0)];
    const size_t n = static_cast<size_t>(size.w) * size.h;
    if (iRef == 0) return Memcpy(state, "dark", size, n);
    std::vector<unsigned char> buf = RandomBytes(n);
    std::vector<unsigned char> dark = RandomBytes(n);
    for (auto& b : dark) b = static_cast<unsigned char>(b / 8);
    if (iRef == 1) {
#if KYR_BENCH_HAVE_OPENCV
        std::vector<unsigned char> out(n);
        const cv::Mat src(size.h, size.w, CV_8UC1, buf.data());
        const cv::Mat darkMat(size.h, size.w, CV_8UC1, dark.data());
        cv::Mat dst(size.h, size.w, CV_8UC1, out.data());
        RecordReference(state, "dark", size, "opencv", TimedLoop(state, [&] {
                            cv::subtract(src, darkMat, dst);
                            cv::add(dst, cv::Scalar(10), dst);
                        }));
#endif
        return;
    }
    CAlgorithm alg;
    const double d = TimedLoop(state, [&] { alg.SubtractDark(buf.data(), size.w, size.h, 10, dark.data()); });
    ReportRatios(state, "dark", size, d, n);
}

// ---------------------------------------------------------------------------
// 2 x 2 software binning of an 8- or 16-bit frame: the frame size is the input.

void BM_Bin(benchmark::State& state, bool bColour, bool b16Bit, int iRef) {
    const FrameSize size = kSizes[state.range(0)];
    const char* pszOp =
        bColour ? (b16Bit ? "colorbin2_16" : "colorbin2") : (b16Bit ? "monobin2_16" : "monobin2");
    const size_t n = static_cast<size_t>(size.w) * size.h * (b16Bit ? 2 : 1);
    if (iRef == 0) return Memcpy(state, pszOp, size, n);
    std::vector<unsigned char> buf = RandomBytes(n);
    if (iRef == 1) {
#if KYR_BENCH_HAVE_OPENCV
        std::vector<unsigned char> out(n / 4);
        const int iType = b16Bit ? CV_16UC1 : CV_8UC1;
        const cv::Mat src(size.h, size.w, iType, buf.data());
        cv::Mat dst(size.h / 2, size.w / 2, iType, out.data());
        RecordReference(state, pszOp, size, "opencv",
                        TimedLoop(state, [&] { cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_AREA); }));
#endif
        return;
    }
    CAlgorithm alg;
    // In place: later iterations bin what the first left; the work is the same.
    const double d = TimedLoop(state, [&] {
        unsigned short* pBuf16 = reinterpret_cast<unsigned short*>(buf.data());
        if (bColour)
            alg.ColorRAWBin(buf.data(), pBuf16, size.w / 2, size.h / 2, 2, b16Bit);
        else
            alg.MonoBin(buf.data(), pBuf16, size.w / 2, size.h / 2, 2, b16Bit);
    });
    ReportRatios(state, pszOp, size, d, n);
}

// Ours runs with the best instruction set here, or with the one named by
// KYR_BENCH_TARGET (as the context line prints them: AVX2, SSE4, ...), which
// shows on one machine what a processor without the better ones gets.
void SelectVectorTarget() {
    const std::vector<int64_t> targets = kyr_simd::Targets();
    std::string names;
    for (const int64_t target : targets)
        names += std::string(names.empty() ? "" : " ") + hwy::TargetName(target);
    benchmark::AddCustomContext("vector targets here", names);
    const char* pszWanted = getenv("KYR_BENCH_TARGET");
    if (!pszWanted) return;
    for (const int64_t target : targets)
        if (strcmp(hwy::TargetName(target), pszWanted) == 0) {
            kyr_simd::SelectTarget(target);
            benchmark::AddCustomContext("vector target used", pszWanted);
            return;
        }
    fprintf(stderr, "KYR_BENCH_TARGET=%s is not one of: %s\n", pszWanted, names.c_str());
    exit(2);
}

// Registration order is run order: memcpy, OpenCV, ours.
void RegisterAll() {
    SelectVectorTarget();
#if KYR_BENCH_HAVE_OPENCV
    // The library converts on the caller's thread; compare with one OpenCV thread.
    cv::setNumThreads(1);
    benchmark::AddCustomContext("opencv", "one thread");
#endif
    auto each = [](benchmark::internal::Benchmark* b) {
        b->DenseRange(0, static_cast<int>(sizeof(kSizes) / sizeof(kSizes[0])) - 1)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime();
    };
    // Without OpenCV only memcpy stands beside ours.
#if KYR_BENCH_HAVE_OPENCV
    const int kRefs[] = {0, 1, 2};
#else
    const int kRefs[] = {0, 2};
    benchmark::AddCustomContext("opencv", "not found: no OpenCV reference runs");
#endif
    const char* const kRefNames[3] = {"memcpy", "opencv", "ours"};
    for (IMAGE_TYPE type : {IMAGE_RGB24, IMAGE_8BIT})
        for (int iRef : kRefs)
            each(benchmark::RegisterBenchmark(
                (std::string("Demosaic") + (type == IMAGE_RGB24 ? "RGB24/" : "Y8/") + kRefNames[iRef])
                    .c_str(),
                BM_Demosaic, type, iRef));
    for (bool bVerticalOnly : {false, true})
        for (bool b16Bit : {false, true})
            for (int iRef : kRefs)
                each(benchmark::RegisterBenchmark((std::string(bVerticalOnly ? "FlipV" : "Flip180") +
                                                   (b16Bit ? "_16/" : "/") + kRefNames[iRef])
                                                      .c_str(),
                                                  BM_Flip, b16Bit, bVerticalOnly, iRef));
    for (int iRef : kRefs)
        each(
            benchmark::RegisterBenchmark((std::string("Gamma8/") + kRefNames[iRef]).c_str(), BM_Gamma, iRef));
    for (int iRef : {0, 2})
        each(benchmark::RegisterBenchmark((std::string("Gamma16/") + kRefNames[iRef]).c_str(), BM_Gamma16,
                                          iRef));
    for (int iRef : kRefs)
        each(benchmark::RegisterBenchmark((std::string("SubtractDark/") + kRefNames[iRef]).c_str(), BM_Dark,
                                          iRef));
    for (bool b16Bit : {false, true})
        for (bool bColour : {false, true})
            for (int iRef : kRefs)
                each(benchmark::RegisterBenchmark((std::string(bColour ? "ColorRAWBin2" : "MonoBin2") +
                                                   (b16Bit ? "_16/" : "/") + kRefNames[iRef])
                                                      .c_str(),
                                                  BM_Bin, bColour, b16Bit, iRef));
}

// Registers before benchmark_main's main runs.
const int g_iRegistered = (RegisterAll(), 0);

}  // namespace

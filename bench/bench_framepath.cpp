// The frame path: video frames of 3840 x 2160 at 8 bits from an unpaced
// simulated camera, through the transfer set, the ring's insert thread and
// KYRGetVideoData, beside memcpy of one frame's bytes. The video benchmark
// reports frames per second (fps) and its time per frame as a ratio to the
// memcpy run before it (x_memcpy). The simulator's own work per frame (it
// renders and sends the frame) is part of the time.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "FrameDriver.h"
#include "KYRCamera.h"
#include "api/ModelFactory.h"
#include "kyrsim.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
constexpr int kFrameBytes = kWidth * kHeight;
// One frame comes within this even on a slow machine.
constexpr int kFrameWaitMs = 5000;

double g_dMemcpySeconds = 0.0;

CCameraBase* MakeUhdDriver() { return new CFrameDriver(kWidth, kHeight); }

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// A simulated 832MC with the frame driver behind it, open and initialised,
// with its settings written to a temporary HOME, not the user's.
class CCameraScope {
  public:
    CCameraScope() {
        char dir[] = "/tmp/kyrbench-home-XXXXXX";
        if (mkdtemp(dir)) {
            m_strHome = dir;
            setenv("HOME", dir, 1);
        }
        kyrsim_reset();
        SetCameraConstructorForTest(CTestDriver::kProductID, MakeUhdDriver);
        const int handle = kyrsim_plug(CTestDriver::kProductID, 1, "1");
        if (handle < 0) return;
        // As fast as the frame path takes the frames, not at the link's rate; the frame driver never
        // takes the 832's sensor out of standby, so its sensor is not modelled.
        kyrsim_set_unpaced(handle, 1);
        kyrsim_set_sensor_model(handle, 0);
        if (KYRGetNumOfConnectedCameras() != 1) return;
        if (KYROpenCamera(0) != KYR_SUCCESS) return;
        m_bOpen = true;
        m_bReady = KYRInitCamera(0) == KYR_SUCCESS &&
                   KYRSetROIFormat(0, kWidth, kHeight, 1, IMG_RAW8) == KYR_SUCCESS;
    }
    ~CCameraScope() {
        if (m_bOpen) KYRCloseCamera(0);
        SetCameraConstructorForTest(CTestDriver::kProductID, nullptr);
        kyrsim_reset();
        if (!m_strHome.empty()) nftw(m_strHome.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    bool Ready() const { return m_bReady; }

  private:
    std::string m_strHome;
    bool m_bOpen = false;
    bool m_bReady = false;
};

void BM_MemcpyFrame(benchmark::State& state) {
    std::vector<unsigned char> src(kFrameBytes, 0x5A), dst(kFrameBytes);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), kFrameBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (state.iterations()) g_dMemcpySeconds = seconds / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond);

void BM_VideoFrame(benchmark::State& state) {
    CCameraScope camera;
    if (!camera.Ready()) {
        state.SkipWithError("simulated camera could not be opened");
        return;
    }
    std::vector<unsigned char> image(kFrameBytes);
    if (KYRStartVideoCapture(0) != KYR_SUCCESS ||
        KYRGetVideoData(0, image.data(), kFrameBytes, kFrameWaitMs) != KYR_SUCCESS) {
        state.SkipWithError("no video frame");
        KYRStopVideoCapture(0);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (KYRGetVideoData(0, image.data(), kFrameBytes, kFrameWaitMs) != KYR_SUCCESS) {
            state.SkipWithError("video frame timed out");
            break;
        }
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    KYRStopVideoCapture(0);
    if (!state.iterations() || seconds <= 0.0) return;
    const double perFrame = seconds / static_cast<double>(state.iterations());
    state.counters["fps"] = 1.0 / perFrame;
    if (g_dMemcpySeconds > 0.0) state.counters["x_memcpy"] = perFrame / g_dMemcpySeconds;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_VideoFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// The frame path: video frames at 8 bits from an unpaced simulated camera,
// through the transfer set, the ring's insert thread and KYRGetVideoData,
// beside memcpy of one frame's bytes, at two sizes: 3840 x 2160 and the
// largest sensor's full frame, 8288 x 5644. The video benchmark reports
// frames per second (fps) and its time per frame as a ratio to the memcpy
// run of the same size before it (x_memcpy). The simulator's own work per
// frame (it renders and sends the frame) is part of the time.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "FrameDriver.h"
#include "KYRCamera.h"
#include "api/ModelFactory.h"
#include "kyrsim.h"

namespace {

// The frame sizes measured: width and height.
constexpr int kSizes[][2] = {{3840, 2160}, {8288, 5644}};
// One frame comes within this even on a slow machine.
constexpr int kFrameWaitMs = 5000;

// The memcpy run's time per frame, by frame bytes.
std::map<long, double> g_MemcpySeconds;

// The size of the camera the next CCameraScope plugs.
int g_iWidth = 0;
int g_iHeight = 0;

CCameraBase* MakeFrameDriver() { return new CFrameDriver(g_iWidth, g_iHeight); }

long FrameBytes(const benchmark::State& state) { return static_cast<long>(state.range(0) * state.range(1)); }

void FrameSizes(benchmark::internal::Benchmark* b) {
    for (const auto& s : kSizes) b->Args({s[0], s[1]});
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// A simulated 832MC with the frame driver of iWidth x iHeight behind it, open
// and initialised at that size, with its settings written to a temporary
// HOME, not the user's.
class CCameraScope {
  public:
    CCameraScope(int iWidth, int iHeight) {
        g_iWidth = iWidth;
        g_iHeight = iHeight;
        char dir[] = "/tmp/kyrbench-home-XXXXXX";
        if (mkdtemp(dir)) {
            m_strHome = dir;
            setenv("HOME", dir, 1);
        }
        kyrsim_reset();
        SetCameraConstructorForTest(CTestDriver::kProductID, MakeFrameDriver);
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
                   KYRSetROIFormat(0, iWidth, iHeight, 1, IMG_RAW8) == KYR_SUCCESS;
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
    const long bytes = FrameBytes(state);
    std::vector<unsigned char> src(static_cast<size_t>(bytes), 0x5A), dst(static_cast<size_t>(bytes));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), static_cast<size_t>(bytes));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (state.iterations()) g_MemcpySeconds[bytes] = seconds / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_MemcpyFrame)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);

void BM_VideoFrame(benchmark::State& state) {
    const long bytes = FrameBytes(state);
    CCameraScope camera(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (!camera.Ready()) {
        state.SkipWithError("simulated camera could not be opened");
        return;
    }
    std::vector<unsigned char> image(static_cast<size_t>(bytes));
    if (KYRStartVideoCapture(0) != KYR_SUCCESS ||
        KYRGetVideoData(0, image.data(), bytes, kFrameWaitMs) != KYR_SUCCESS) {
        state.SkipWithError("no video frame");
        KYRStopVideoCapture(0);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (KYRGetVideoData(0, image.data(), bytes, kFrameWaitMs) != KYR_SUCCESS) {
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
    const auto memcpySeconds = g_MemcpySeconds.find(bytes);
    if (memcpySeconds != g_MemcpySeconds.end() && memcpySeconds->second > 0.0)
        state.counters["x_memcpy"] = perFrame / memcpySeconds->second;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_VideoFrame)->Apply(FrameSizes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

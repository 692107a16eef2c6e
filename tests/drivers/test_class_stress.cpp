// test-labels: conformance tsan
// The stresses a caller puts one class of each model under: two cameras of
// the class at once, the controls changed while video runs, and the region
// changed while another thread reads into a buffer sized for the old one.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "CaptureCheck.h"
#include "StressRows.h"
#include "TestSpeed.h"

namespace {

constexpr int kWaitMs = 5000 * kTestSlowdown;

// One camera's configuration in the two-camera tests.
struct SCamSetup {
    const char* ports;
    bool usb3;
    int w, h, bin;
    IMG_TYPE type;
    int x, y;
    long gain, exposure, offset;
    bool highSpeed;
};

class CStress : public CConformanceTest {
  protected:
    // Plugs a camera as setup says; its handle.
    kyrsim::Device PlugAs(const SCamSetup& s) { return Plug(Row().pid, s.usb3, s.ports); }

    // The setup's steps, one at a time, on camera id.
    static bool Step(int id, const SCamSetup& s, int step) {
        switch (step) {
            case 0:
                return KYRSetROIFormat(id, s.w, s.h, s.bin, s.type) == KYR_SUCCESS;
            case 1:
                return KYRSetStartPos(id, s.x, s.y) == KYR_SUCCESS;
            case 2:
                return KYRSetControlValue(id, KYR_HIGH_SPEED_MODE, s.highSpeed ? 1 : 0, KYR_FALSE) ==
                       KYR_SUCCESS;
            case 3:
                return KYRSetControlValue(id, KYR_GAIN, s.gain, KYR_FALSE) == KYR_SUCCESS;
            case 4:
                return KYRSetControlValue(id, KYR_OFFSET, s.offset, KYR_FALSE) == KYR_SUCCESS;
            default:
                return KYRSetControlValue(id, KYR_EXPOSURE, s.exposure, KYR_FALSE) == KYR_SUCCESS;
        }
    }
    static constexpr int kSteps = 6;

    void Storm(bool trigger);

    // The sensor registers of a camera set up alone.
    std::vector<std::pair<int, int>> Alone(const SCamSetup& s) {
        kyrsim::reset();
        kyrsim::Device d = PlugAs(s);
        if (!OpenInit(0)) return {};
        for (int step = 0; step < kSteps; ++step) EXPECT_TRUE(Step(0, s, step)) << step;
        const auto regs = d.sensorRegs();
        KYRCloseCamera(0);
        return regs;
    }

    std::pair<SCamSetup, SCamSetup> Setups() const {
        const SClassRow& r = Row();
        const SCamSetup a{"1",  true, 64, 48, 1, IMG_RAW16, 48, 32, r.gain.max / 4, 1500000, r.offset.max / 4,
                          false};
        const SCamSetup b{
            "2",        false, 64, 48, r.MaxBin(), IMG_RAW8, 16, 16, r.gain.max / 2, 3000, r.offset.max / 2,
            r.highSpeed};
        return {a, b};
    }
};

std::string ModelName(const ::testing::TestParamInfo<size_t>& info) { return RowName(info); }

using CTwoCameras = CStress;

// Two cameras of one class, different in host, bin, type, high speed and
// exposure (one of them in long-exposure mode), configured step by step in
// turn: each ends with the registers it has when set up alone.
TEST_P(CTwoCameras, EachCameraWritesWhatItWritesAlone) {
    ASSERT_TRUE(ClassBuilt(Row().pid)) << Row().cls << ": the factory builds no class for it";
    const auto setups = Setups();
    const auto aloneA = Alone(setups.first);
    const auto aloneB = Alone(setups.second);
    ASSERT_FALSE(aloneA.empty());
    ASSERT_FALSE(aloneB.empty());

    kyrsim::reset();
    const kyrsim::Device a = PlugAs(setups.first);
    const kyrsim::Device b = PlugAs(setups.second);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    ASSERT_NE(OpenInit(0), nullptr);
    ASSERT_NE(OpenInit(1), nullptr);
    for (int step = 0; step < kSteps; ++step) {
        EXPECT_TRUE(Step(0, setups.first, step)) << step;
        EXPECT_TRUE(Step(1, setups.second, step)) << step;
    }
    EXPECT_EQ(a.sensorRegs(), aloneA);
    EXPECT_EQ(b.sensorRegs(), aloneB);

    // A setter on one camera writes nothing to the other.
    const int writesB = RegisterWrites(b.handle());
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, Row().gain.max, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 4000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 32, 32, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 96, 64), KYR_SUCCESS);
    EXPECT_EQ(RegisterWrites(b.handle()), writesB);
}

// Both cameras stream at once, each its own geometry and its own scene; then
// one keeps streaming while the other takes a single exposure.
TEST_P(CTwoCameras, StreamAtOnceEachWithItsOwnGeometryAndScene) {
    ASSERT_TRUE(ClassBuilt(Row().pid)) << Row().cls << ": the factory builds no class for it";
    const SClassRow& row = Row();
    auto setups = Setups();
    setups.first.exposure = setups.second.exposure = 2000;
    const kyrsim::Device devs[2] = {PlugAs(setups.first), PlugAs(setups.second)};
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    const SCamSetup* s[2] = {&setups.first, &setups.second};
    for (int id = 0; id < 2; ++id) {
        ASSERT_NE(OpenInit(id), nullptr);
        for (int step = 0; step < kSteps; ++step) ASSERT_TRUE(Step(id, *s[id], step)) << step;
    }
    // What each camera delivers is its own sent frame at its own geometry, and the two differ.
    auto check = [&](int id, const std::vector<unsigned char>& img) {
        const SCamSetup& c = *s[id];
        const SReadout r = RowReadout(row, c.w, c.h, c.bin, c.type, id);
        const auto sent = SentFrame(devs[id].handle(), r.iFrameBytes);
        ASSERT_FALSE(sent.empty()) << id;
        EXPECT_TRUE(img == ReferenceImage(sent, c.w, c.h, c.type, false, r, row.markerRows, row.grey))
            << "camera " << id;
    };
    std::vector<unsigned char> img[2];
    for (int id = 0; id < 2; ++id)
        img[id].resize(static_cast<size_t>(s[id]->w * s[id]->h * ImageBytesPerPixel(s[id]->type)));
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRStartVideoCapture(1), KYR_SUCCESS);
    for (int i = 0; i < 3; ++i)
        for (int id = 0; id < 2; ++id) {
            ASSERT_EQ(KYRGetVideoData(id, img[id].data(), static_cast<long>(img[id].size()), kWaitMs),
                      KYR_SUCCESS);
            check(id, img[id]);
        }
    ASSERT_EQ(KYRStopVideoCapture(1), KYR_SUCCESS);
    ASSERT_EQ(KYRStartExposure(1, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRGetVideoData(0, img[0].data(), static_cast<long>(img[0].size()), kWaitMs), KYR_SUCCESS);
    check(0, img[0]);
    KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (st == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        KYRGetExpStatus(1, &st);
    }
    ASSERT_EQ(st, KYR_EXP_SUCCESS);
    ASSERT_EQ(KYRGetDataAfterExp(1, img[1].data(), static_cast<long>(img[1].size())), KYR_SUCCESS);
    check(1, img[1]);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Models, CTwoCameras, ::testing::ValuesIn(OneRowPerModel()), ModelName);

using CSettersDuringVideo = CStress;

// The values every camera ends with, set once after the storm and on a fresh camera alike.
void FinalValues(const SClassRow& row) {
    ASSERT_EQ(KYRSetROIFormat(0, 64, 48, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetStartPos(0, 48, 32), KYR_SUCCESS);
    if (row.highSpeed) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, 0, KYR_FALSE), KYR_SUCCESS);
    }
    ASSERT_EQ(KYRSetControlValue(0, KYR_FLIP, 0, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 70, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_OFFSET, row.offset.max / 3, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, row.gain.max / 3, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 3000, KYR_FALSE), KYR_SUCCESS);
    if (row.color) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_WB_R, 40, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRSetControlValue(0, KYR_WB_B, 60, KYR_FALSE), KYR_SUCCESS);
    }
}

// The registers of `now` differ from those of a fresh camera given the same values: "reg=now/fresh".
std::vector<std::string> RegisterDiffs(const std::vector<std::pair<int, int>>& now,
                                       const std::vector<std::pair<int, int>>& fresh) {
    std::vector<std::string> out;
    for (const auto& f : fresh) {
        int v = -1;
        for (const auto& n : now)
            if (n.first == f.first) v = n.second;
        if (v != f.second) {
            char text[48];
            snprintf(text, sizeof(text), "0x%04x=%d/%d", f.first, v, f.second);
            out.push_back(text);
        }
    }
    return out;
}

// One thread reads video with the frame-number scene, another changes every
// control over and over while auto exposure, gain and white balance run (and,
// in a trigger mode, a third sends soft triggers): no image mixes two frames,
// no write of another thread lands inside a hold or latch window, the setter
// thread's writes reach the camera and the reader gets frames during the
// storm and after it, and the same values set once more give the registers of
// a fresh camera.
void CStress::Storm(bool trigger) {
    const SClassRow& row = Row();
    constexpr int kW = 64, kH = 48;
    ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_TRUE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, row.gain.def, KYR_TRUE), KYR_SUCCESS);
    if (row.color) {
        ASSERT_EQ(KYRSetControlValue(0, KYR_WB_R, row.wbR.def, KYR_TRUE), KYR_SUCCESS);
    }
    if (trigger) {
        ASSERT_EQ(KYRSetCameraMode(0, CAM_MODE_TRIG_SOFT_EDGE), KYR_SUCCESS);
    }
    ASSERT_TRUE(m_dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    kyrsim::clearLog();
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    std::atomic<bool> stop{false}, storming{true};
    std::atomic<int> torn{0}, frames{0}, stormFrames{0}, rounds{0};
    std::atomic<unsigned long long> setterThread{0};
    std::thread reader([&] {
        std::vector<unsigned char> img(static_cast<size_t>(kW * kH));
        while (!stop.load()) {
            if (KYRGetVideoData(0, img.data(), static_cast<long>(img.size()), 200) != KYR_SUCCESS) continue;
            ++frames;
            if (storming.load()) ++stormFrames;
            if (TornRow(img, kW, kH) >= 0) ++torn;
        }
    });
    std::thread triggers;
    if (trigger)
        triggers = std::thread([&] {
            while (!stop.load()) {
                KYRSendSoftTrigger(0, KYR_TRUE);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                KYRSendSoftTrigger(0, KYR_FALSE);
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });
    std::thread setter([&] {
        setterThread = kyrsim_thread_id();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500 * kTestSlowdown);
        // Bounded in rounds too, so that the logs stay small in a 32-bit process.
        for (int i = 0; i < 400 && std::chrono::steady_clock::now() < end; ++i, ++rounds) {
            KYRSetControlValue(0, KYR_GAIN, (i * 37) % (row.gain.max + 1), i % 4 == 0 ? KYR_TRUE : KYR_FALSE);
            // Across the long-exposure threshold and back, seldom enough for frames to come between (a
            // long wait of some models runs its course before it sees the change).
            KYRSetControlValue(0, KYR_EXPOSURE, i % 100 == 60 ? 1000000 : 1000 + (i % 7) * 300, KYR_FALSE);
            KYRSetControlValue(0, KYR_OFFSET, i % (row.offset.max + 1), KYR_FALSE);
            KYRSetControlValue(0, KYR_BANDWIDTH, 40 + i % 61, i % 3 == 0 ? KYR_TRUE : KYR_FALSE);
            if (row.color) {
                KYRSetControlValue(0, KYR_WB_R, 1 + i % 99, KYR_FALSE);
                KYRSetControlValue(0, KYR_WB_B, 99 - i % 99, i % 6 == 0 ? KYR_TRUE : KYR_FALSE);
            }
            KYRSetControlValue(0, KYR_FLIP, i % 2 ? 2 : 0,
                               KYR_FALSE);  // vertical flips keep each row's start
            // A mode change restarts the capture.
            if (row.highSpeed && i % 40 == 0)
                KYRSetControlValue(0, KYR_HIGH_SPEED_MODE, i / 40 % 2, KYR_FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    setter.join();
    storming = false;
    // Frames come again once the storm is over.
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 2000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_EQ(KYRSetControlValue(0, KYR_FLIP, 0, KYR_FALSE), KYR_SUCCESS);
    const int before = frames.load();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (frames.load() < before + 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    reader.join();
    if (trigger) triggers.join();
    EXPECT_GE(frames.load(), before + 2);
    EXPECT_GT(stormFrames.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    if (trigger) {
        EXPECT_GT(m_dev.query(KYRSIM_Q_TRIGGERS), 0);
    }
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    const SWindowReport windows = CheckWindows(m_dev, row.holdReg);
    EXPECT_TRUE(windows.Clean()) << windows.Text();
    // Every round of the setter thread changed registers of the camera, at least one write each.
    EXPECT_GE(windows.WritesOf(setterThread.load()), rounds.load());
    EXPECT_GT(rounds.load(), 0);

    // Auto off and the same values once more: the registers of a fresh camera given them.
    ASSERT_EQ(KYRSetControlValue(0, KYR_BANDWIDTH, 70, KYR_FALSE), KYR_SUCCESS);
    FinalValues(row);
    const auto stressed = m_dev.sensorRegs();
    KYRCloseCamera(0);
    kyrsim::reset();
    remove((std::string(getenv("HOME")) + "/.VORN/KYRconfig.xml").c_str());  // nothing stored either
    ASSERT_TRUE(Open(true, trigger));
    if (trigger) {
        ASSERT_EQ(KYRSetCameraMode(0, CAM_MODE_TRIG_SOFT_EDGE), KYR_SUCCESS);
    }
    // Streamed once and stopped, as the stressed camera was.
    ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
    ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
    FinalValues(row);
    const std::vector<std::string> diffs = RegisterDiffs(stressed, m_dev.sensorRegs());
    EXPECT_TRUE(diffs.empty()) << diffs.size() << " registers differ (now/fresh), first: " << diffs.front();
}

TEST_P(CSettersDuringVideo, LeaveFramesWholeHoldsOwnedAndRegistersAsFresh) {
    CONFORMANCE_OPEN();
    Storm(false);
}

INSTANTIATE_TEST_SUITE_P(Models, CSettersDuringVideo, ::testing::ValuesIn(OneRowPerModel()), ModelName);

using CSettersDuringTriggerVideo = CStress;

// The same storm on the class that captures in trigger modes, in soft-edge trigger mode with soft triggers
// from a third thread.
TEST_P(CSettersDuringTriggerVideo, LeaveFramesWholeHoldsOwnedAndRegistersAsFresh) {
    ASSERT_TRUE(ClassBuilt(Row().pid)) << Row().cls << ": the factory builds no class for it";
    ASSERT_TRUE(Open(true, true));
    Storm(true);
}

// The first row of each model that captures in trigger modes.
std::vector<size_t> TriggerRows() {
    std::vector<size_t> out;
    for (size_t i : OneRowPerModel())
        if (ClassTable()[i].trigger) out.push_back(i);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Models, CSettersDuringTriggerVideo, ::testing::ValuesIn(TriggerRows()), ModelName);

using CRoiRace = CStress;

// A reader loops into a buffer sized for ROI A with guard bytes on both
// sides while another thread switches to larger ROIs of other bins and types
// and moves the start: every read fails cleanly or delivers an image of A,
// and nothing is written outside the buffer.
TEST_P(CRoiRace, AReaderSizedForOneRoiNeverWritesOutsideItsBuffer) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    constexpr int kW = 64, kH = 48;
    constexpr size_t kGuard = 4096;
    const size_t small = static_cast<size_t>(kW * kH);
    std::vector<unsigned char> buf(small + 2 * kGuard, 0xA5);
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, 1000, KYR_FALSE), KYR_SUCCESS);
    ASSERT_TRUE(m_dev.setScene(KYRSIM_SCENE_FRAME_NUMBER));
    ASSERT_EQ(KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8), KYR_SUCCESS);
    const int bigBin = row.MaxBin();
    const struct {
        int w, h, bin;
        IMG_TYPE type;
    } others[] = {{kW, kH, 1, IMG_RAW8},
                  {128, 96, 1, IMG_RAW16},
                  {96, 64, bigBin, IMG_RAW8},
                  {64, 64, bigBin, row.color ? IMG_RGB24 : IMG_RAW16},
                  {kW, kH, 1, IMG_RAW8}};
    for (bool snaps : {false, true}) {
        SCOPED_TRACE(snaps ? "snapshots" : "video");
        std::atomic<bool> stop{false};
        std::atomic<int> wrong{0}, good{0}, stuck{0};
        if (!snaps) {
            ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        }
        std::thread reader([&] {
            unsigned char* p = buf.data() + kGuard;
            while (!stop.load()) {
                KYR_ERROR_CODE rc;
                if (snaps) {
                    if (KYRStartExposure(0, KYR_FALSE) != KYR_SUCCESS) continue;
                    KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
                    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
                    while (st == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        KYRGetExpStatus(0, &st);
                    }
                    // A single exposure ends, successful or failed, also when the format changes under it.
                    if (st == KYR_EXP_WORKING) ++stuck;
                    rc = KYRGetDataAfterExp(0, p, static_cast<long>(small));
                } else {
                    rc = KYRGetVideoData(0, p, static_cast<long>(small), 100);
                }
                if (rc != KYR_SUCCESS) continue;
                ++good;
                // A whole image of A: 8-bit rows all carrying one frame number.
                if (TornRow(std::vector<unsigned char>(p, p + small), kW, kH) >= 0) ++wrong;
            }
        });
        std::thread switcher([&] {
            const auto end =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(800 * kTestSlowdown);
            for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
                const auto& o = others[i % 5];
                KYRSetROIFormat(0, o.w, o.h, o.bin, o.type);
                KYRSetStartPos(0, (i * 24) % 200, (i * 16) % 160);
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
            KYRSetROIFormat(0, kW, kH, 1, IMG_RAW8);
        });
        switcher.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(100 * kTestSlowdown));
        stop = true;
        reader.join();
        if (!snaps) {
            ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        }
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(stuck.load(), 0);
        for (size_t i = 0; i < kGuard; ++i) {
            ASSERT_EQ(buf[i], 0xA5) << "before the buffer, byte " << i;
            ASSERT_EQ(buf[kGuard + small + i], 0xA5) << "after the buffer, byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Models, CRoiRace, ::testing::ValuesIn(OneRowPerModel()), ModelName);

}  // namespace

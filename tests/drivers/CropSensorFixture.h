// Fixture of the crop-sensor family's tests (the 807 and 811 models): a
// model's classes on simulated cameras opened and initialised through the
// exported functions, with the family's view of the driver object at hand.
#ifndef KYR_TEST_CROP_SENSOR_FIXTURE_H
#define KYR_TEST_CROP_SENSOR_FIXTURE_H

#include <chrono>
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "ModelFixture.h"
#include "TestSpeed.h"
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/families/CropSensor.h"
#include "kyrsim.hpp"

constexpr int kCropWaitMs = 8000 * kTestSlowdown;

// The analog gain code of x in 0.1 dB, from the sensor's law.
inline int AnalogGain(double tenthsDb) {
    return static_cast<int>(2048.0 - 2048.0 * std::pow(10.0, -(tenthsDb / 10.0) / 20.0));
}

class CCropSensorTest : public CModelTest {
  protected:
    explicit CCropSensorTest(std::vector<SModelClass> classes) : CModelTest(std::move(classes)) {}

    // A fresh bus with one camera of the row's class, opened and initialised.
    CCameraBase* SetupRow(int pid, bool usb3 = true) {
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        return Setup(pid, usb3);
    }

    template <class F>
    auto WithCrop(F fn) {
        if (auto* p = dynamic_cast<CEngineDriver<CCameraBase>*>(m_pCam)) return fn(*p);
        return fn(*dynamic_cast<CEngineDriver<CCameraCool>*>(m_pCam));
    }
    SReadout Readout() {
        return WithCrop([](auto& e) { return e.Readout(); });
    }
    // The sensor bins in force.
    bool Binning() { return Readout().iSensorFactor > 1; }

    int Sensor(int reg) { return m_dev.sensor(reg); }
    long long SensorLE(int reg, int bytes = 2) {
        long long v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | (m_dev.sensor(reg + i) & 0xFF);
        return v;
    }
    long long Fpga(int reg, int bytes) { return m_dev.fpgaWide(reg, bytes); }
    // Sensor writes since log entry `from` to the registers listed, in order.
    std::vector<std::pair<uint16_t, uint8_t>> WritesTo(const std::vector<uint16_t>& regs, int from) {
        std::vector<std::pair<uint16_t, uint8_t>> out;
        for (const auto& w : SensorWrites(m_dev.handle(), from))
            for (uint16_t r : regs)
                if (w.first == r) out.push_back(w);
        return out;
    }
    bool SetExposure(long us) { return KYRSetControlValue(0, KYR_EXPOSURE, us, KYR_FALSE) == KYR_SUCCESS; }
    long Control(KYR_CONTROL_TYPE type) {
        long value = -1;
        KYR_BOOL bAuto = KYR_FALSE;
        EXPECT_EQ(KYRGetControlValue(0, type, &value, &bAuto), KYR_SUCCESS);
        return value;
    }
    size_t ImageBytes() {
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_RAW8;
        KYRGetROIFormat(0, &w, &h, &bin, &type);
        return static_cast<size_t>(w) * h * (type == IMG_RAW16 ? 2 : 1);
    }
    // Video until one frame arrived into img, then stopped.
    bool VideoFrame(std::vector<unsigned char>* pImg) {
        pImg->assign(ImageBytes(), 0);
        if (KYRStartVideoCapture(0) != KYR_SUCCESS) return false;
        const bool ok =
            KYRGetVideoData(0, pImg->data(), static_cast<long>(pImg->size()), kCropWaitMs) == KYR_SUCCESS;
        return KYRStopVideoCapture(0) == KYR_SUCCESS && ok;
    }
    // One single exposure into img; true when it succeeded.
    bool Snapshot(std::vector<unsigned char>* pImg) {
        pImg->assign(ImageBytes(), 0);
        if (KYRStartExposure(0, KYR_FALSE) != KYR_SUCCESS) return false;
        KYR_EXPOSURE_STATUS st = KYR_EXP_WORKING;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCropWaitMs);
        while (st == KYR_EXP_WORKING && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            KYRGetExpStatus(0, &st);
        }
        if (st != KYR_EXP_SUCCESS) return false;
        return KYRGetDataAfterExp(0, pImg->data(), static_cast<long>(pImg->size())) == KYR_SUCCESS;
    }
};

#endif

// Fixture of the tests that hold every mode-table class to its row of the
// class table (ClassTable.h): one test per row, the camera of the row's
// product ID plugged into the simulator and driven through the exported
// functions with the classes the factory really builds.
#ifndef KYR_TEST_CONFORMANCE_FIXTURE_H
#define KYR_TEST_CONFORMANCE_FIXTURE_H

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "ClassTable.h"
#include "ModelFixture.h"
#include "engine/EngineDriver.h"

// The product ID whose driver objects the fixture records as the factory builds them.
inline int& RecordedPid() {
    static int pid = 0;
    return pid;
}

// Builds the class the factory really has for RecordedPid() and records the object (MadeCameras).
inline CCameraBase* MakeFromFactoryRecorded() {
    const int pid = RecordedPid();
    SetCameraConstructorForTest(pid, nullptr);
    CCameraBase* p = CreateCameraForProduct(pid);
    SetCameraConstructorForTest(pid, MakeFromFactoryRecorded);
    if (p) MadeCameras().push_back(p);
    return p;
}

// True when the driver factory builds a class for the product ID.
inline bool ClassBuilt(int pid) {
    const size_t made = MadeCameras().size();
    std::unique_ptr<CCameraBase> cam(CreateCameraForProduct(pid));
    MadeCameras().resize(made);
    return cam != nullptr;
}

// Every row of the table, by index.
inline std::vector<size_t> AllRows() {
    std::vector<size_t> out;
    for (size_t i = 0; i < ClassTable().size(); ++i) out.push_back(i);
    return out;
}

// The test name of a row: class and product ID.
inline std::string RowName(const ::testing::TestParamInfo<size_t>& info) {
    const SClassRow& r = ClassTable()[info.param];
    char pid[16];
    snprintf(pid, sizeof(pid), "%04x", r.pid);
    return std::string(r.cls) + "_" + pid;
}

// Sensor writes (0xB6, 0xA6) and FPGA writes (0xBD) a camera received.
inline int RegisterWrites(int handle) {
    return kyrsim_log_count_matching(handle, 0xB6, KYRSIM_DIR_OUT) +
           kyrsim_log_count_matching(handle, 0xA6, KYRSIM_DIR_OUT) +
           kyrsim_log_count_matching(handle, 0xBD, KYRSIM_DIR_OUT);
}

// The ROI of camera id, as the caller reads it back.
struct SRoi {
    int w = 0, h = 0, bin = 0;
    IMG_TYPE type = IMG_END;
    int x = 0, y = 0;
    bool operator==(const SRoi& o) const {
        return w == o.w && h == o.h && bin == o.bin && type == o.type && x == o.x && y == o.y;
    }
};
inline SRoi ReadRoi(int id) {
    SRoi r;
    KYRGetROIFormat(id, &r.w, &r.h, &r.bin, &r.type);
    KYRGetStartPos(id, &r.x, &r.y);
    return r;
}
inline std::string RoiText(const SRoi& r) {
    return std::to_string(r.w) + "x" + std::to_string(r.h) + " bin " + std::to_string(r.bin) + " type " +
           std::to_string(r.type) + " at " + std::to_string(r.x) + "," + std::to_string(r.y);
}

// The readout of a w x h image at `bin` as the row describes it: what the sensor bins (bins it offers,
// with HardwareBin on at camera `id` where that control exists) and what is left to the software.
inline SReadout RowReadout(const SClassRow& row, int w, int h, int bin, IMG_TYPE type, int id = 0) {
    bool sensor = std::find(row.sensorBins.begin(), row.sensorBins.end(), bin) != row.sensorBins.end();
    if (sensor && row.hardwareBin) {
        long on = 0;
        KYR_BOOL autoOn = KYR_FALSE;
        sensor = KYRGetControlValue(id, KYR_HARDWARE_BIN, &on, &autoOn) == KYR_SUCCESS && on != 0;
    }
    const int factor = sensor ? 2 : 1;
    const bool b16 = type == IMG_RAW16;
    const int cols = w * bin / factor, rows = h * bin / factor;
    return SReadout{cols, rows, factor, bin / factor, b16, cols * rows * (b16 ? 2 : 1)};
}

class CConformanceTest : public CModelTest, public ::testing::WithParamInterface<size_t> {
  protected:
    CConformanceTest() : CModelTest({Recorded(ClassTable()[GetParam()].pid)}) {}

    static SModelClass Recorded(int pid) {
        RecordedPid() = pid;
        return {pid, MakeFromFactoryRecorded};
    }

    const SClassRow& Row() const { return ClassTable()[GetParam()]; }

    // Plugs the row's camera and opens and initialises it, with an FPGA that reports trigger support
    // when `triggerFpga`; false when the factory builds no class for it.
    bool Open(bool usb3 = true, bool triggerFpga = false) {
        if (!ClassBuilt(Row().pid)) return false;
        m_dev = Plug(Row().pid, usb3);
        if (triggerFpga && !m_dev.setFpga(28, 0xC0)) return false;
        m_pCam = OpenInit();
        return m_pCam != nullptr;
    }
};

#define CONFORMANCE_OPEN()                                                                \
    do {                                                                                  \
        ASSERT_TRUE(ClassBuilt(Row().pid)) << Row().cls << ": the factory builds no class for it"; \
        ASSERT_TRUE(Open());                                                              \
    } while (0)

#endif

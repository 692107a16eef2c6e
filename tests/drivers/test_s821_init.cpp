// The 821 classes as a caller meets them: their description and controls,
// and InitCamera as the camera receives it (the start-up table, the FPGA
// set-up, the cooler, the offset, the closing standby write).
#include <memory>
#include <string>

#include "test_s821_fixture.h"

namespace {

struct SIdentity {
    int pid;
    const char* name;
    bool color;
    int bayer;
    bool st4;
    bool cooler;
};
const SIdentity kIdentities[] = {
    {kPid821MM, "VORN KYR821MM", false, 2, true, false},
    {kPid821Pro, "VORN KYR821MM Pro", false, 2, false, true},
    {kPid821MC, "VORN KYR821MC", true, BAYER_RG, true, false},
};

bool HasControl(int id, const char* szName) {
    int n = 0;
    if (KYRGetNumOfControls(id, &n) != KYR_SUCCESS) return false;
    KYR_CONTROL_CAPS caps;
    for (int i = 0; i < n; ++i)
        if (KYRGetControlCaps(id, i, &caps) == KYR_SUCCESS && std::string(caps.name) == szName) return true;
    return false;
}

// One logged control request, as far as these tests look at it.
struct SReq {
    int request;  // 0xB6 sensor write, 0xBD FPGA write, 0xAF ...
    int reg;
    int value;
    long long startUs, endUs;
    unsigned long long thread;
};

std::vector<SReq> Requests(int handle) {
    std::vector<SReq> out;
    const int n = kyrsim_log_count();
    for (int i = 0; i < n; ++i) {
        kyrsim_request r;
        if (kyrsim_log_get(i, &r) != 0 || r.device != handle || r.result < 0) continue;
        out.push_back({r.request, r.value, r.index, r.start_us, r.end_us, r.thread});
    }
    return out;
}

int IndexOf(const std::vector<SReq>& log, int request, int reg = -1, int value = -1, size_t from = 0) {
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].request == request && (reg < 0 || log[i].reg == reg) &&
            (value < 0 || log[i].value == value))
            return static_cast<int>(i);
    return -1;
}

TEST_F(C821Test, EachClassDescribesItself) {
    for (const SIdentity& c : kIdentities) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        Plug(c.pid);
        KYR_CAMERA_INFO info;
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.max_width, 1608);
        EXPECT_EQ(info.max_height, 1104);
        EXPECT_EQ(info.is_color, c.color ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bayer, c.bayer);
        const int bins[] = {1, 2, 0};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.supported_bins[i], bins[i]) << i;
        const std::vector<IMG_TYPE> types =
            c.color ? std::vector<IMG_TYPE>{IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16, IMG_END}
                    : std::vector<IMG_TYPE>{IMG_RAW8, IMG_RAW16, IMG_END};
        for (size_t i = 0; i < types.size(); ++i) EXPECT_EQ(info.supported_image_types[i], types[i]) << i;
        EXPECT_DOUBLE_EQ(info.pixel_size_um, 9.0);
        EXPECT_EQ(info.st4_port, c.st4 ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.has_cooler, c.cooler ? KYR_TRUE : KYR_FALSE);
        EXPECT_EQ(info.bit_depth, 12);
        EXPECT_EQ(info.is_trigger, KYR_FALSE);

        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
        // Electrons per ADU at gain 0.
        ASSERT_EQ(KYRSetControlValue(0, KYR_GAIN, 0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
        EXPECT_FLOAT_EQ(info.elec_per_adu, 23.15f);
        EXPECT_FALSE(HasControl(0, "HighSpeedMode"));
        EXPECT_FALSE(HasControl(0, "HardwareBin"));
        EXPECT_TRUE(HasControl(0, "BandWidth"));
        EXPECT_EQ(HasControl(0, "WB_R"), c.color);
        EXPECT_EQ(HasControl(0, "CoolerOn"), c.cooler);
        for (int bin : {3, 4}) {
            SCOPED_TRACE(bin);
            EXPECT_NE(KYRSetROIFormat(0, 200, 100, bin, IMG_RAW8), KYR_SUCCESS);
        }
        int w = 0, h = 0, bin = 0;
        IMG_TYPE type = IMG_END;
        ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
        EXPECT_EQ(bin, 1);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C821Test, InitWalksThePublishedTableInOrderOutsideAnyHoldAfterItsDelay) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NE(Fresh(pid), nullptr);
        const std::vector<std::pair<uint16_t, uint8_t>> table = {
            {0x303C, 0x00}, {0x30D8, 0x40}, {0x30D9, 0x01}, {0x30DC, 0x00}, {0x30E2, 0x0C}, {0x30E3, 0x0C},
            {0x3104, 0x03}, {0x3120, 0x00}, {0x3121, 0x00}, {0x3122, 0x00}, {0x3123, 0x00}, {0x3124, 0x48},
            {0x3125, 0x06}, {0x3126, 0x50}, {0x3127, 0x04}, {0x3220, 0x50}, {0x3221, 0x27}, {0x35C0, 0xF0},
            {0x3200, 0x05}, {0x43F6, 0x00}, {0x43F8, 0xFB}};
        const auto writes = SensorWrites(m_dev.handle());
        ASSERT_GE(writes.size(), table.size());
        const std::vector<std::pair<uint16_t, uint8_t>> head(writes.begin(), writes.begin() + table.size());
        EXPECT_EQ(head, table);
        // The 20 ms delay row comes before the first row.
        const std::vector<SReq> log = Requests(m_dev.handle());
        const int first = IndexOf(log, 0xB6, 0x303C);
        ASSERT_GT(first, 0);
        EXPECT_GE(log[first].startUs - log[first - 1].endUs, 19000);
    }
}

TEST_F(C821Test, VrCmdAfFollowsTheFpgaSetUpAndTheProStartsItsCooler) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        ASSERT_NE(Fresh(pid), nullptr);
        const std::vector<SReq> log = Requests(m_dev.handle());
        ASSERT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xAF, KYRSIM_DIR_OUT), 1);
        const int af = IndexOf(log, 0xAF);
        const int lastTable = IndexOf(log, 0xB6, 0x43F8);
        const int ddrReady = IndexOf(log, 0xBC, 35);          // the DDR test's status read
        const int unityBlue = IndexOf(log, 0xBD, 15, 128);    // SetFPGAGain(128, ...), last colour
        const int offset = IndexOf(log, 0xB6, 0x35C0, 0x0A);  // SetBrightness(1)
        ASSERT_TRUE(lastTable >= 0 && ddrReady >= 0 && unityBlue >= 0 && offset >= 0);
        EXPECT_GT(af, lastTable);
        EXPECT_GT(af, ddrReady);
        EXPECT_GT(af, unityBlue);
        EXPECT_LT(af, offset);
        // Master, stopped, DDR on, 12-bit ADC with 8-bit output.
        EXPECT_NE(m_dev.fpga(0) & 0x20, 0);
        EXPECT_NE(m_dev.fpga(0) & 0x10, 0);
        EXPECT_EQ(m_dev.fpga(10) & 0x51, 0x01);
        CCameraCool* cool = dynamic_cast<CCameraCool*>(m_pCam);
        EXPECT_EQ(cool != nullptr, pid == kPid821Pro);
        if (cool) {
            EXPECT_TRUE(cool->m_thrAutoTemp.IsAlive());
            EXPECT_FALSE(cool->m_bAutoTempOn);
            EXPECT_EQ(m_dev.coolerDrive(), 255);
        }
    }
}

TEST_F(C821Test, InitWritesTheOffsetAgainWithTheOutputWidthAndEndsInStandby) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(pid);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        m_pCam = MadeCameras().back();
        kyrsim_log_clear();
        ASSERT_TRUE(Locked([&] { return m_pCam->InitCamera(); }));
        std::vector<SReq> mine;
        for (const SReq& r : Requests(m_dev.handle()))
            if (r.thread == kyrsim_thread_id()) mine.push_back(r);
        // SetBrightness, then SetOutput16Bits writes the offset again.
        const int af = IndexOf(mine, 0xAF);
        const int first = IndexOf(mine, 0xB6, 0x35C0, 0x0A, static_cast<size_t>(af));
        ASSERT_GE(first, 0);
        const int again = IndexOf(mine, 0xB6, 0x35C0, 0x0A, static_cast<size_t>(first) + 1);
        ASSERT_GT(again, first);
        EXPECT_GE(IndexOf(mine, 0xBD, 10, -1, static_cast<size_t>(first)), 0);
        // The last write of InitCamera puts the sensor in standby.
        ASSERT_FALSE(mine.empty());
        EXPECT_EQ(mine.back().request, 0xB6);
        EXPECT_EQ(mine.back().reg, 0x3000);
        EXPECT_EQ(mine.back().value, 1);
        EXPECT_EQ(m_dev.sensor(0x3000), 1);
    }
}

TEST_F(C821Test, ADdrThatIsNeverReadyFailsInit) {
    for (int pid : kPids821) {
        SCOPED_TRACE(NameOf(pid));
        KYRCloseCamera(0);
        kyrsim::reset();
        MadeCameras().clear();
        m_dev = Plug(pid);
        ASSERT_TRUE(m_dev.setDdrPolicy(KYRSIM_DDR_NEVER));
        m_pCam = OpenInit(0, KYR_ERROR_GENERAL_ERROR);
        ASSERT_NE(m_pCam, nullptr);
        EXPECT_EQ(kyrsim_log_count_matching(m_dev.handle(), 0xAF, KYRSIM_DIR_OUT), 0);
        EXPECT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    }
}

TEST_F(C821Test, AfterInitTheMonoCameraOnUsb3ShowsTheFamilysTiming) {
    ASSERT_NE(Fresh(kPid821MM), nullptr);
    EXPECT_EQ(HMAX(), 142);
    EXPECT_EQ(m_dev.fpgaWide(6, 2), 33);
    EXPECT_EQ(m_dev.fpgaWide(2, 2), 0);
    EXPECT_EQ(Pacing(), 72);
    EXPECT_EQ(m_dev.sensor(0x3126), 0x50);
    EXPECT_EQ(m_dev.sensor(0x3127), 0x04);
    EXPECT_EQ(m_dev.sensor(0x3000), 1);
    long percent = 0;
    KYR_BOOL bAuto = KYR_FALSE;
    ASSERT_EQ(KYRGetControlValue(0, KYR_BANDWIDTH, &percent, &bAuto), KYR_SUCCESS);
    EXPECT_EQ(percent, 80);
    EXPECT_EQ(bAuto, KYR_TRUE);
    const SHoldReport holds = CheckHolds(m_dev.handle(), HeldRegs821());
    // The table's window rows are published data written before any hold.
    int tableRows = 0;
    for (const std::string& w : holds.unheld) tableRows += w.find("0x312") == 0 ? 1 : 0;
    EXPECT_EQ(static_cast<size_t>(tableRows), holds.unheld.size()) << holds.Text();
    EXPECT_EQ(holds.iNested, 0);
    EXPECT_FALSE(holds.bLeftSet);
}

}  // namespace

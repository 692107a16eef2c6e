// The check a description passes before its class registers: descriptions
// the engine cannot run are refused with a reason, a refused class is not
// registered (its product builds no object), and every class of the table
// passes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ClassTable.h"
#include "api/ModelFactory.h"
#include "engine/DescCheck.h"
#include "engine/EngineRegistrar.h"
#include "modetable1/CCameraS802MC.h"
#include "modetable1/CCameraS807MM.h"
#include "modetable1/CCameraS832MC.h"

namespace {

SGainCode AnyGain(int iGain) { return SGainCode{iGain, 0, false}; }

const SStartWindowRule kStartWindow = {};
const REG_TABLE_ROW kFpgaRows[] = {{FPGA_REG_26, 1}};
void AnyFpgaSetUp(CTimingMaster&, CRegPlan&) {}
constexpr SSensorMode ModeWithLanes(int iLanes) {
    return {.szName = "lanes",
            .regs = {nullptr, 0},
            .eAdc = ADC_12BIT,
            .bOut16FromType = true,
            .iVBLK = 0,
            .iHBLK = 0,
            .iMinHMAX = 0,
            .iExtraLines = 0,
            .iLanes = iLanes};
}
const SSensorMode kFourLanes = ModeWithLanes(LVDS_CHANNEL_4);
const SSensorMode kNoLaneSetting = ModeWithLanes(LVDS_CHANNEL_4 + 1);

struct SFault {
    const char* what;
    const SDriverDesc& base;
    std::function<void(SDriverDesc&)> fnBreak;
    const char* why;  // a part of the reason given
};

const SFault kFaults[] = {
    {"no normal mode", g_DescS832MC, [](SDriverDesc& d) { d.pModeNormal = nullptr; }, "normal sensor mode"},
    {"a binning factor without its mode", g_DescS832MC, [](SDriverDesc& d) { d.sensorBin[3] = {2, nullptr}; },
     "bin 3 has no mode"},
    {"a bin beyond the tables", g_DescS832MC, [](SDriverDesc& d) { d.model.ucBins[3] = kDescMaxBin + 1; },
     "bin 9 is outside"},
    {"no gain map", g_DescS832MC, [](SDriverDesc& d) { d.gain.fnMap = nullptr; }, "neither a map"},
    {"no gain code byte", g_DescS832MC, [](SDriverDesc& d) { d.gain.iCodeBytes = 0; }, "gain code's byte"},
    {"five gain code bytes", g_DescS832MC, [](SDriverDesc& d) { d.gain.iCodeBytes = 5; }, "gain code's byte"},
    {"digital steps without a register", g_DescS832MC,
     [](SDriverDesc& d) {
         d.gain.iDigitalStep = 60;
         d.gain.usRegDigital = 0;
     },
     "digital gain"},
    {"conversion-gain bits without a register", g_DescS832MC,
     [](SDriverDesc& d) {
         d.gain.usRegConvGain = 0;
         d.gain.ucConvGainOnBits = 0x10;
     },
     "conversion-gain bits"},
    {"gain bands without a table", g_DescS832MC, [](SDriverDesc& d) { d.gain.iBands = 2; }, "gain bands without"},
    {"gain bands out of order", g_DescS832MC,
     [](SDriverDesc& d) {
         static const SGainBand bands[] = {{0, {nullptr, 0}}, {100, {nullptr, 0}}, {100, {nullptr, 0}}};
         d.gain.pBands = bands;
         d.gain.iBands = 3;
     },
     "out of order"},
    {"no exposure computation", g_DescS832MC, [](SDriverDesc& d) { d.exposure.fnCompute = nullptr; },
     "exposure rule"},
    {"no shutter byte", g_DescS832MC, [](SDriverDesc& d) { d.exposure.iSHRBytes = 0; },
     "shutter line's byte"},
    {"no black level byte", g_DescS832MC, [](SDriverDesc& d) { d.offset.iBytes = 0; }, "black level's byte"},
    {"no sensor width", g_DescS832MC, [](SDriverDesc& d) { d.model.iMaxWidth = 0; }, "no size"},
    {"no model name", g_DescS832MC, [](SDriverDesc& d) { d.model.szName = nullptr; }, "name is missing"},
    {"raw FPGA with the FPGA-timed family", g_DescS802MC, [](SDriverDesc& d) { d.fpgaTimed.bOn = true; },
     "FPGA-timed"},
    {"raw FPGA with a start window", g_DescS802MC, [](SDriverDesc& d) { d.pStartWindow = &kStartWindow; },
     "start-window"},
    {"the raw FPGA latch without its rule", g_DescS832MC, [](SDriverDesc& d) { d.eTiming = TIMING_RAW_FPGA; },
     "go together"},
    {"a raw FPGA rule with the FPGA setters", g_DescS802MC,
     [](SDriverDesc& d) { d.eTiming = TIMING_FPGA_SETTERS; }, "go together"},
    {"a capture loop the engine has not got", g_DescS832MC,
     [](SDriverDesc& d) { d.eCapture = CAPTURE_SYNC_HEAD_MARKER; }, "head-marker"},
    {"a window programmer's rule without it", g_DescS832MC, [](SDriverDesc& d) { d.eWindow = WINDOW_START_REGS; },
     "start-register window"},
    {"the FPGA-timed window outside its family", g_DescS832MC,
     [](SDriverDesc& d) { d.eWindow = WINDOW_FPGA_TIMED; }, "FPGA-timed window"},
    {"a self-timed sensor with the DDR buffer", g_DescS832MC, [](SDriverDesc& d) { d.eTiming = TIMING_SENSOR; },
     "without an FPGA"},
    // The model's own FPGA start-up steps and choices run in the FPGA setters' master only.
    {"FPGA rows after the reset of the raw FPGA latch", g_DescS802MC,
     [](SDriverDesc& d) { d.fpgaResetRows = RegTable(kFpgaRows); }, "FPGA start-up steps"},
    {"an FPGA set-up step of a self-timed sensor", g_DescS832MC,
     [](SDriverDesc& d) {
         d.eTiming = TIMING_SENSOR;
         d.bHasDDR = d.bandwidth.bFPGABandWidth = false;
         d.fnFpgaSetUp = AnyFpgaSetUp;
     },
     "FPGA start-up steps"},
    {"the start-up command after a set-up the raw FPGA latch has not got", g_DescS802MC,
     [](SDriverDesc& d) { d.eStartCmd = START_CMD_AFTER_SET_UP; }, "start-up command"},
    {"an unheld mode switch in the raw FPGA latch", g_DescS802MC,
     [](SDriverDesc& d) { d.modeSwitch.bUnheld = true; }, "mode switch framing"},
    {"a mode's FPGA lanes in the raw FPGA latch", g_DescS802MC,
     [](SDriverDesc& d) { d.pModeHighSpeed = &kFourLanes; }, "lanes without"},
    {"a mode's lanes that are no lane setting", g_DescS832MC,
     [](SDriverDesc& d) { d.sensorBin[2].pMode = &kNoLaneSetting; }, "no lane setting"},
};

TEST(DescCheck, RefusesWhatTheEngineCannotRunWithItsReason) {
    for (const SDriverDesc* base : {&g_DescS832MC, &g_DescS802MC}) {
        std::string why;
        EXPECT_TRUE(CheckDriverDesc(*base, &why)) << base->szClassName << ": " << why;
    }
    for (const SFault& f : kFaults) {
        SCOPED_TRACE(f.what);
        SDriverDesc d = f.base;
        f.fnBreak(d);
        std::string why;
        EXPECT_FALSE(CheckDriverDesc(d, &why));
        EXPECT_NE(why.find(f.why), std::string::npos) << why;
        EXPECT_FALSE(CheckDriverDesc(d, nullptr));
    }
}

// A power law stands in for the map; the crop-sensor laws are not held to
// the description's gain and exposure rules, but to their own rule and to
// a kind on every mode.
TEST(DescCheck, APowerLawOrTheCropLawsNeedNoMap) {
    SDriverDesc d = g_DescS832MC;
    d.gain.fnMap = nullptr;
    d.gain.iPowerLawScale = 2048;
    EXPECT_TRUE(CheckDriverDesc(d, nullptr));
    d.gain = SGainRule{};
    d.exposure.fnCompute = nullptr;
    EXPECT_FALSE(CheckDriverDesc(d, nullptr));
    d.gain = SGainRule{AnyGain, 0, 0x3009, 1};
    EXPECT_FALSE(CheckDriverDesc(d, nullptr));  // the exposure still has no computation

    SDriverDesc crop = g_DescS807MM;
    EXPECT_TRUE(CheckDriverDesc(crop, nullptr));
    std::string why;
    crop.pCropSensor = nullptr;
    EXPECT_FALSE(CheckDriverDesc(crop, &why));
    EXPECT_EQ(why, "the crop-sensor laws without their rule");
    crop = g_DescS807MM;
    crop.pModeNormal16 = g_DescS832MC.pModeNormal;  // a mode without its kind
    EXPECT_FALSE(CheckDriverDesc(crop, &why));
    EXPECT_EQ(why, "a mode of the crop-sensor laws without its kind");
    crop = g_DescS807MM;
    crop.eWindow = WINDOW_REGISTERS;
    EXPECT_FALSE(CheckDriverDesc(crop, &why));
    EXPECT_EQ(why, "the crop window and the crop-sensor laws go together");
}

// Registered under a product of the table that has no class of its own: a
// description the engine cannot run leaves the class out (the product
// builds nothing, and the reason is printed once); a sound one is built.
TEST(DescCheck, ARefusedClassIsNotRegistered) {
    constexpr int kPidBad = 0x841a;   // "CCameraS841MM", no class in this code base
    constexpr int kPidGood = 0x810a;  // "CCameraS810MM", likewise
    ASSERT_STREQ(ModelClassName(kPidBad), "CCameraS841MM");
    ASSERT_STREQ(ModelClassName(kPidGood), "CCameraS810MM");
    ASSERT_EQ(std::unique_ptr<CCameraBase>(CreateCameraForProduct(kPidBad)), nullptr);

    static const SDriverDesc bad = [] {
        SDriverDesc d = g_DescS832MC;
        d.exposure.fnCompute = nullptr;
        return d;
    }();
    testing::internal::CaptureStderr();
    const CEngineRegistrar<CCameraS832MC> refused("CCameraS841MM", bad);
    const CEngineRegistrar<CCameraS832MC> admitted("CCameraS810MM", g_DescS832MC);
    EXPECT_EQ(std::unique_ptr<CCameraBase>(CreateCameraForProduct(kPidBad)), nullptr);
    EXPECT_EQ(std::unique_ptr<CCameraBase>(CreateCameraForProduct(kPidBad)), nullptr);
    std::unique_ptr<CCameraBase> good(CreateCameraForProduct(kPidGood));
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(good, nullptr);
    EXPECT_NE(dynamic_cast<CCameraS832MC*>(good.get()), nullptr);
    const std::string line = "CCameraS841MM refused: the exposure rule has no computation";
    const size_t at = err.find(line);
    EXPECT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(line, at + 1), std::string::npos) << err;
    EXPECT_EQ(err.find("CCameraS810MM"), std::string::npos) << err;
}

// Every class of the table passes its check: the factory builds each one,
// and no class was refused.
TEST(DescCheck, EveryClassOfTheTablePasses) {
    testing::internal::CaptureStderr();
    for (const SClassRow& row : ClassTable()) {
        std::unique_ptr<CCameraBase> cam(CreateCameraForProduct(row.pid));
        EXPECT_NE(cam, nullptr) << row.cls;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("refused"), std::string::npos) << err;
}

}  // namespace

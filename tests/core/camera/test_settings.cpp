// Settings store, driven as the camera object uses it: LoadSetting at the end
// of a driver's constructor, SaveSetting at stop and close, on a camera whose
// model limits are those of the KYR832MC. Covers the file's exact text, the
// load rules and clamping, hostile files, the atomic save and its failures,
// several models in one file, and a home directory too long to use.
#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "SettingsText.h"
#include "TestDriver.h"
#include "camera/CameraBase.h"
#include "camera/Settings.h"
#include "platform/Log.h"
#include "test_postprocessing_fixture.h"

namespace {

// ---- Files ---------------------------------------------------------------------------

std::string Home() { return getenv("HOME"); }
std::string VornDir() { return Home() + "/.VORN"; }
std::string ConfigPath() { return VornDir() + "/KYRconfig.xml"; }
std::string BadPath() { return ConfigPath() + ".bad"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int Mode(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return -1;
    return st.st_mode & 07777;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
}

// Names in .VORN that the settings writer's temporary files would have.
std::vector<std::string> TempFiles() {
    std::vector<std::string> temps;
    for (const std::string& name : ListDir(VornDir())) {
        if (name.rfind("KYRconfig.xml.tmp", 0) == 0) temps.push_back(name);
    }
    return temps;
}

void MakeVorn() { ASSERT_TRUE(mkdir(VornDir().c_str(), 0755) == 0 || errno == EEXIST); }

std::string Fixture(const std::string& name) {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/data/settings/" + name;
}

// "date" attributes of the folders, replaced by a mask after checking their
// form (8 digits, '_', 6 digits); *count is the number of well-formed ones.
std::string MaskDates(const std::string& text, int* count) {
    static const std::string kKey = "date=\"";
    static const std::string kForm = "dddddddd_dddddd\"";
    std::string out = text;
    *count = 0;
    for (size_t pos = out.find(kKey); pos != std::string::npos; pos = out.find(kKey, pos + 1)) {
        size_t v = pos + kKey.size();
        if (out.size() < v + kForm.size()) continue;
        bool ok = true;
        for (size_t i = 0; i < kForm.size(); ++i) {
            char c = out[v + i];
            ok = ok && (kForm[i] == 'd' ? (c >= '0' && c <= '9') : c == kForm[i]);
        }
        if (!ok) continue;
        out.replace(v, kForm.size() - 1, "YYYYMMDD_hhmmss");
        ++*count;
    }
    return out;
}

// Names of the value elements ("<Name type=") in file order.
std::vector<std::string> ValueNames(const std::string& text) {
    std::vector<std::string> names;
    for (size_t pos = text.find(" type=\""); pos != std::string::npos; pos = text.find(" type=\"", pos + 1)) {
        size_t open = text.rfind('<', pos);
        names.push_back(text.substr(open + 1, pos - open - 1));
    }
    return names;
}

std::string HexBytes(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof(two), "%02x", c);
        out += two;
    }
    return out;
}

// ---- The camera ------------------------------------------------------------------------

// The test driver with the KYR832MC's constants, ending its construction with
// LoadSetting as every driver constructor does. A setup function may change
// the constants and defaults before the load.
class CSettingsCamera : public CTestDriver {
  public:
    using Setup = std::function<void(CSettingsCamera&)>;

    explicit CSettingsCamera(const std::string& shortName = "KYR832MC", const Setup& setup = nullptr)
        : m_strShortName(shortName) {
        m_pszShortName = &m_strShortName[0];
        m_iMaxWidth = 64;
        m_iMaxHeight = 48;
        m_iWidth = 32;
        m_iHeight = 24;
        m_iBin = 2;
        m_iGainMax = 600;
        m_iGainMin = 0;
        m_iGainDef = 200;
        m_iExpMax = 2000000000;
        m_iExpMin = 32;
        m_iExpDef = 10000;
        m_iGammaMax = 100;
        m_iGammaMin = 1;
        m_iGammaDef = 50;
        m_iOffsetMax = 200;
        m_iOffsetMin = 0;
        m_iOffsetDef = 1;
        m_iWBMax = 99;
        m_iWBMin = 1;
        m_iWBRDef = 55;
        m_iWBBDef = 75;
        m_iBandWidthMax = 100;
        m_iBandWidthMin = 40;
        m_iBandwidthMax = 100;
        m_iBandwidthMin = 40;
        m_iAutoGainMax = 300;
        m_lExpTimeUs = 10000;
        m_iGain = 200;
        m_iGamma = 50;
        m_iBrightness = 1;
        m_iWBRed = 55;
        m_iWBBlue = 75;
        m_bAutoFPS = true;
        m_bDDREnable = true;
        m_iFclk = 20000;
        m_iFPSPerc = 80;
        m_iFPSPercUSB3Def = 100;
        if (setup) setup(*this);
        bLoaded = LoadSetting();
    }

    bool bLoaded = false;

  private:
    std::string m_strShortName;
};

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { g_bDebugPrint = false; }
    void TearDown() override {
        g_bDebugPrint = false;
        SetSettingsWriteForTest(nullptr);
    }
};

// ---- The first save and the round trip ---------------------------------------------------

TEST_F(SettingsTest, FirstSaveWritesTheGoldenFileWithPrivateModes) {
    // A restrictive umask must not narrow the modes, a loose one must not widen them.
    mode_t old = umask(0077);
    {
        CSettingsCamera cam;
        EXPECT_FALSE(cam.bLoaded);
        EXPECT_FALSE(Exists(ConfigPath()));  // loading writes nothing when there is no file
        EXPECT_TRUE(cam.SaveSetting());
    }
    umask(old);
    EXPECT_EQ(Mode(VornDir()), 0755);
    EXPECT_EQ(Mode(ConfigPath()), 0644);
    int dates = 0;
    std::string text = MaskDates(ReadFile(ConfigPath()), &dates);
    EXPECT_EQ(dates, 2);  // "software" and the model's folder
    EXPECT_EQ(text, ReadFile(Fixture("golden_KYR832MC.xml")));
    EXPECT_EQ(text.find("attr"), std::string::npos);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SettingsTest, ExistingVornDirectoryKeepsItsMode) {
    ASSERT_EQ(mkdir(VornDir().c_str(), 0700), 0);
    ASSERT_EQ(chmod(VornDir().c_str(), 0700), 0);
    CSettingsCamera cam;
    ASSERT_TRUE(cam.SaveSetting());
    EXPECT_EQ(Mode(VornDir()), 0700);
    EXPECT_EQ(Mode(ConfigPath()), 0644);
}

TEST_F(SettingsTest, DarkPathIsTheThirtyThirdValue) {
    const std::string path = "/data/darks/dark frame 1.bmp";
    {
        CSettingsCamera cam;
        snprintf(cam.m_szBMPPath, sizeof(cam.m_szBMPPath), "%s", path.c_str());
        ASSERT_TRUE(cam.SaveSetting());
    }
    std::string text = ReadFile(ConfigPath());
    std::vector<std::string> names = ValueNames(text);
    ASSERT_EQ(names.size(), 33u);
    EXPECT_EQ(names.back(), "BMPPATH");
    EXPECT_NE(text.find("<BMPPATH type=\"3\">" + HexBytes(path) + "</BMPPATH>"), std::string::npos) << text;
}

TEST_F(SettingsTest, EveryFieldLoadsBackIntoAFreshObject) {
    struct Field {
        const char* name;
        std::function<void(CSettingsCamera&)> set;
        std::function<long long(CSettingsCamera&)> get;
        long long expected;
    };
    // Subtraction stays on at load only while the stored dark frame's file is there.
    const std::string dark = post_test::TempPath("dark.bmp");
    post_test::WriteBytes(dark, post_test::DarkBmp(64, 48, [](int, int) { return static_cast<uint8_t>(9); }));
    const std::vector<Field> fields = {
        {"Exposure", [](CSettingsCamera& c) { c.m_lExpTimeUs = 54321; },
         [](CSettingsCamera& c) { return (long long)c.m_lExpTimeUs; }, 54321},
        {"Gain", [](CSettingsCamera& c) { c.m_iGain = 451; },
         [](CSettingsCamera& c) { return (long long)c.m_iGain; }, 451},
        {"Brightness", [](CSettingsCamera& c) { c.m_iBrightness = 37; },
         [](CSettingsCamera& c) { return (long long)c.m_iBrightness; }, 37},
        {"Fclk", [](CSettingsCamera& c) { c.m_iFclk = 74250; },
         [](CSettingsCamera& c) { return (long long)c.m_iFclk; }, 74250},
        {"FPSPercentageUSB2", [](CSettingsCamera& c) { c.m_iFPSPerc = 65; },
         [](CSettingsCamera& c) { return (long long)c.m_iFPSPerc; }, 65},
        {"CoolPowerPctg", [](CSettingsCamera& c) { c.m_fCoolPowerPerc = 42.9f; },
         [](CSettingsCamera& c) { return (long long)(c.m_fCoolPowerPerc * 10); }, 420},
        {"TargetTemp", [](CSettingsCamera& c) { c.m_iTargetTemp = -15; },
         [](CSettingsCamera& c) { return (long long)c.m_iTargetTemp; }, -15},
        {"OverCLKPerc", [](CSettingsCamera& c) { c.m_iOverCLKPerc = 12; },
         [](CSettingsCamera& c) { return (long long)c.m_iOverCLKPerc; }, 12},
        {"Pattern",
         [](CSettingsCamera& c) {
             c.m_iPatternMax = 5;
             c.m_iPattern = 3;
         },
         [](CSettingsCamera& c) { return (long long)c.m_iPattern; }, 3},
        {"LibusbLogLever", [](CSettingsCamera& c) { c.m_iLibusbLogLevel = 3; },
         [](CSettingsCamera& c) { return (long long)c.m_iLibusbLogLevel; }, 3},
        {"AutoBL", [](CSettingsCamera& c) { c.m_bAutoBL = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bAutoBL; }, 1},
        {"EE", [](CSettingsCamera& c) { c.m_ucChanOffset[0] = 0xF1; },
         [](CSettingsCamera& c) { return (long long)c.m_ucChanOffset[0]; }, 0xF1},
        {"OO", [](CSettingsCamera& c) { c.m_ucChanOffset[1] = 0x02; },
         [](CSettingsCamera& c) { return (long long)c.m_ucChanOffset[1]; }, 0x02},
        {"EO", [](CSettingsCamera& c) { c.m_ucChanOffset[2] = 0x83; },
         [](CSettingsCamera& c) { return (long long)c.m_ucChanOffset[2]; }, 0x83},
        {"OE", [](CSettingsCamera& c) { c.m_ucChanOffset[3] = 0x7F; },
         [](CSettingsCamera& c) { return (long long)c.m_ucChanOffset[3]; }, 0x7F},
        {"DebugPrint", [](CSettingsCamera& c) { c.m_bDebugPrint = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bDebugPrint; }, 1},
        {"AutoGainMax", [](CSettingsCamera& c) { c.m_iAutoGainMax = 222; },
         [](CSettingsCamera& c) { return (long long)c.m_iAutoGainMax; }, 222},
        {"AutoExpMaxMs", [](CSettingsCamera& c) { c.m_iAutoExpMaxMs = 12345; },
         [](CSettingsCamera& c) { return (long long)c.m_iAutoExpMaxMs; }, 12345},
        {"DestBrightness", [](CSettingsCamera& c) { c.m_iDestBrightness = 140; },
         [](CSettingsCamera& c) { return (long long)c.m_iDestBrightness; }, 140},
        {"FlipRow", [](CSettingsCamera& c) { c.m_bFlipRow = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bFlipRow; }, 1},
        {"FlipColumn", [](CSettingsCamera& c) { c.m_bFlipColumn = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bFlipColumn; }, 1},
        {"WB_Red", [](CSettingsCamera& c) { c.m_iWBRed = 66; },
         [](CSettingsCamera& c) { return (long long)c.m_iWBRed; }, 66},
        {"WB_Blue", [](CSettingsCamera& c) { c.m_iWBBlue = 88; },
         [](CSettingsCamera& c) { return (long long)c.m_iWBBlue; }, 88},
        {"AutoExp", [](CSettingsCamera& c) { c.m_bAutoExp = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bAutoExp; }, 1},
        {"AutoGain", [](CSettingsCamera& c) { c.m_bAutoGain = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bAutoGain; }, 1},
        {"AutoFPS", [](CSettingsCamera& c) { c.m_bAutoFPS = false; },
         [](CSettingsCamera& c) { return (long long)c.m_bAutoFPS; }, 0},
        {"RawOutput", [](CSettingsCamera& c) { c.m_bRawOutput = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bRawOutput; }, 1},
        {"HighSpeed", [](CSettingsCamera& c) { c.m_bHighSpeed = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bHighSpeed; }, 1},
        {"AutoWB", [](CSettingsCamera& c) { c.m_bAutoWB = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bAutoWB; }, 1},
        {"HPC", [](CSettingsCamera& c) { c.m_bHPCOn = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bHPCOn; }, 1},
        {"HardwareBin", [](CSettingsCamera& c) { c.m_bHardwareBin = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bHardwareBin; }, 1},
        {"CutDark", [](CSettingsCamera& c) { c.m_bCutDark = true; },
         [](CSettingsCamera& c) { return (long long)c.m_bCutDark; }, 1},
        {"BMPPATH",
         [&](CSettingsCamera& c) { snprintf(c.m_szBMPPath, sizeof(c.m_szBMPPath), "%s", dark.c_str()); },
         [&](CSettingsCamera& c) { return (long long)(dark == c.m_szBMPPath); }, 1},
    };
    // The pattern range is part of the model, so the fresh object needs it too.
    auto model = [](CSettingsCamera& c) { c.m_iPatternMax = 5; };
    {
        CSettingsCamera cam("KYR832MC", model);
        for (const Field& f : fields) f.set(cam);
        ASSERT_TRUE(cam.SaveSetting());
    }
    g_bDebugPrint = false;
    CSettingsCamera fresh("KYR832MC", model);
    ASSERT_TRUE(fresh.bLoaded);
    for (const Field& f : fields) EXPECT_EQ(f.get(fresh), f.expected) << f.name;
    // Dark subtraction on: the loader resets the geometry to the full frame.
    EXPECT_EQ(fresh.m_iBin, 1);
    EXPECT_EQ(fresh.m_iWidth, fresh.m_iMaxWidth);
    EXPECT_EQ(fresh.m_iHeight, fresh.m_iMaxHeight);
}

// ---- Load rules --------------------------------------------------------------------------

struct LoadCase {
    const char* name;
    std::string values;                           // value elements of the model's folder
    CSettingsCamera::Setup setup;                 // model changes before the load
    std::function<void(CSettingsCamera&)> check;  // the loaded fields
};

void RunLoadCases(const std::vector<LoadCase>& cases) {
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_bDebugPrint = false;
        WriteFile(ConfigPath(), SettingsDoc("KYR832MC", c.values));
        const std::string before = ReadFile(ConfigPath());
        CSettingsCamera cam("KYR832MC", c.setup);
        EXPECT_TRUE(cam.bLoaded);
        c.check(cam);
        EXPECT_FALSE(Exists(BadPath()));
        (void)before;
    }
    g_bDebugPrint = false;
}

TEST_F(SettingsTest, LoadRules) {
    MakeVorn();
    const std::vector<LoadCase> cases = {
        {"exposure above 100000 us is capped", Val("Exposure", 4, "40420f00"), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_lExpTimeUs.load(), 100000u); }},
        {"older AutoExpMax holds seconds", Val("AutoExpMax", 4, Hex32(30)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iAutoExpMaxMs, 30000); }},
        {"AutoExpMaxMs wins over AutoExpMax",
         Val("AutoExpMaxMs", 4, Hex32(777)) + Val("AutoExpMax", 4, Hex32(30)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iAutoExpMaxMs, 777); }},
        {"missing cooler power is 0", Val("Gain", 4, Hex32(100)),
         [](CSettingsCamera& c) { c.m_fCoolPowerPerc = 70.0f; },
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_fCoolPowerPerc.load(), 0.0f); }},
        {"USB3 and USB2 bandwidth keys",
         Val("FPSPercentageUSB3", 4, Hex32(95)) + Val("FPSPercentageUSB2", 4, Hex32(45)), nullptr,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_iFPSPercUSB3Def, 95);
             EXPECT_EQ(c.m_iFPSPerc, 45);
         }},
        {"channel offsets EE OO EO OE",
         Val("OO", 3, "02") + Val("EE", 3, "01") + Val("OE", 3, "04") + Val("EO", 3, "03"), nullptr,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_ucChanOffset[0], 1);
             EXPECT_EQ(c.m_ucChanOffset[1], 2);
             EXPECT_EQ(c.m_ucChanOffset[2], 3);
             EXPECT_EQ(c.m_ucChanOffset[3], 4);
         }},
        {"missing keys keep the constructor's values", Val("Gain", 4, Hex32(123)), nullptr,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_iGain, 123);
             EXPECT_EQ(c.m_lExpTimeUs.load(), 10000u);
             EXPECT_EQ(c.m_iWBRed, 55);
             EXPECT_EQ(c.m_iFclk, 20000);
             EXPECT_TRUE(c.m_bAutoFPS);
             EXPECT_STREQ(c.m_szBMPPath, "");
         }},
        {"a path replaces the old one whole", Val("BMPPATH", 3, HexBytes("/a.bmp")),
         [](CSettingsCamera& c) {
             snprintf(c.m_szBMPPath, sizeof(c.m_szBMPPath), "/a/much/longer/old/path.bmp");
         },
         [](CSettingsCamera& c) {
             EXPECT_STREQ(c.m_szBMPPath, "/a.bmp");
             for (size_t i = strlen("/a.bmp"); i < sizeof(c.m_szBMPPath); ++i)
                 ASSERT_EQ(c.m_szBMPPath[i], 0) << i;
         }},
        {"a 255-byte path fits", Val("BMPPATH", 3, HexBytes(std::string(255, 'p'))), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(std::string(c.m_szBMPPath), std::string(255, 'p')); }},
    };
    RunLoadCases(cases);
}

TEST_F(SettingsTest, StoredDebugSwitchTurnsTheGlobalOnOnlyWhileItIsOff) {
    MakeVorn();
    struct Case {
        bool globalBefore;
        const char* stored;
        bool globalAfter;
        bool field;
    };
    const Case cases[] = {
        {false, "01", true, true},
        {false, "00", false, false},
        {true, "00", true, false},
        {true, "01", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.globalBefore ? "on" : "off") + " " + c.stored);
        WriteFile(ConfigPath(), SettingsDoc("KYR832MC", Val("DebugPrint", 3, c.stored)));
        testing::internal::CaptureStderr();
        g_bDebugPrint = c.globalBefore;
        {
            CSettingsCamera cam;
            EXPECT_EQ(cam.m_bDebugPrint.load(), c.field);
            EXPECT_EQ(g_bDebugPrint.load(), c.globalAfter);
        }
        g_bDebugPrint = false;
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(SettingsTest, BandwidthIsSavedUnderTheHostsKey) {
    for (bool usb3 : {false, true}) {
        SCOPED_TRACE(usb3 ? "USB3 host" : "USB2 host");
        unlink(ConfigPath().c_str());
        CSettingsCamera cam;
        cam.m_bUSB3Host = usb3;
        cam.m_iFPSPerc = 77;
        ASSERT_TRUE(cam.SaveSetting());
        std::string text = ReadFile(ConfigPath());
        const std::string used = usb3 ? "FPSPercentageUSB3" : "FPSPercentageUSB2";
        const std::string other = usb3 ? "FPSPercentageUSB2" : "FPSPercentageUSB3";
        EXPECT_NE(text.find("<" + used + " type=\"4\">" + Hex32(77) + "</" + used + ">"), std::string::npos)
            << text;
        EXPECT_EQ(text.find(other), std::string::npos) << text;
    }
}

TEST_F(SettingsTest, ShortNameIsCleanedIntoTheFolderName) {
    {
        CSettingsCamera cam("KYR 832:MC[Pro]");
        cam.m_iGain = 321;
        ASSERT_TRUE(cam.SaveSetting());
    }
    std::string text = ReadFile(ConfigPath());
    EXPECT_NE(text.find("<KYR_832_MC_Pro_ date="), std::string::npos) << text;
    CSettingsCamera fresh("KYR 832:MC[Pro]");
    EXPECT_TRUE(fresh.bLoaded);
    EXPECT_EQ(fresh.m_iGain, 321);
}

// ---- Clamping to the model's limits ---------------------------------------------------------

TEST_F(SettingsTest, StoredValuesAreClampedToTheModelsLimits) {
    MakeVorn();
    auto noWB = [](CSettingsCamera& c) {
        c.m_iWBMin = 1;
        c.m_iWBMax = 0;  // a mono model: no white-balance control
    };
    const std::vector<LoadCase> cases = {
        {"exposure below the minimum", Val("Exposure", 4, Hex32(5)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_lExpTimeUs.load(), 32u); }},
        {"exposure with the top bit set", Val("Exposure", 4, "ffffffff"), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_lExpTimeUs.load(), 100000u); }},
        {"exposure above a small model maximum", Val("Exposure", 4, Hex32(90000)),
         [](CSettingsCamera& c) { c.m_iExpMax = 50000; },
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_lExpTimeUs.load(), 50000u); }},
        {"gain above and below", Val("Gain", 4, Hex32(5000)) + Val("AutoGainMax", 4, Hex32(-3)), nullptr,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_iGain, 600);
             EXPECT_EQ(c.m_iAutoGainMax, 0);
         }},
        {"offset", Val("Brightness", 4, Hex32(-7)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iBrightness, 0); }},
        {"zero clock keeps the constructor's", Val("Fclk", 4, Hex32(0)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iFclk, 20000); }},
        {"negative clock keeps the constructor's", Val("Fclk", 4, Hex32(-5)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iFclk, 20000); }},
        {"bandwidth", Val("FPSPercentageUSB3", 4, Hex32(250)) + Val("FPSPercentageUSB2", 4, Hex32(1)),
         nullptr,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_iFPSPercUSB3Def, 100);
             EXPECT_EQ(c.m_iFPSPerc, 40);
         }},
        {"cooler power", Val("CoolPowerPctg", 4, Hex32(150)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_fCoolPowerPerc.load(), 100.0f); }},
        {"target temperature", Val("TargetTemp", 4, Hex32(-100)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iTargetTemp, -40); }},
        {"target temperature high", Val("TargetTemp", 4, Hex32(99)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iTargetTemp, 30); }},
        {"overclock", Val("OverCLKPerc", 4, Hex32(99)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iOverCLKPerc, 30); }},
        {"pattern outside a model range", Val("Pattern", 4, Hex32(9)),
         [](CSettingsCamera& c) {
             c.m_iPatternMin = -2;
             c.m_iPatternMax = 4;
         },
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iPattern, 4); }},
        {"target brightness", Val("DestBrightness", 4, Hex32(10)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iDestBrightness, 50); }},
        {"target brightness high", Val("DestBrightness", 4, Hex32(200)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iDestBrightness, 160); }},
        {"white balance", Val("WB_Red", 4, Hex32(500)) + Val("WB_Blue", 4, Hex32(0)), nullptr,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_iWBRed, 99);
             EXPECT_EQ(c.m_iWBBlue, 1);
         }},
        {"no white-balance control keeps the constructor's",
         Val("WB_Red", 4, Hex32(20)) + Val("WB_Blue", 4, Hex32(20)), noWB,
         [](CSettingsCamera& c) {
             EXPECT_EQ(c.m_iWBRed, 55);
             EXPECT_EQ(c.m_iWBBlue, 75);
         }},
        {"auto-exposure maximum without overflow", Val("AutoExpMax", 4, Hex32(3000000)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iAutoExpMaxMs, 60000); }},
        {"auto-exposure maximum of a short-exposure model", Val("AutoExpMaxMs", 4, Hex32(9000)),
         [](CSettingsCamera& c) { c.m_iExpMax = 2000000; },
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iAutoExpMaxMs, 2000); }},
        {"auto-exposure maximum zero", Val("AutoExpMaxMs", 4, Hex32(0)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iAutoExpMaxMs, 1); }},
        {"libusb log level", Val("LibusbLogLever", 3, "09"), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iLibusbLogLevel, 4); }},
        {"flags become 0 or 1",
         Val("FlipRow", 3, "07") + Val("AutoExp", 3, "ff") + Val("AutoFPS", 3, "00") + Val("HPC", 3, "80"),
         nullptr,
         [](CSettingsCamera& c) {
             bool row = c.m_bFlipRow, exp = c.m_bAutoExp, hpc = c.m_bHPCOn;
             unsigned char raw[3];
             memcpy(&raw[0], &row, 1);
             memcpy(&raw[1], &exp, 1);
             memcpy(&raw[2], &hpc, 1);
             EXPECT_EQ(raw[0], 1);
             EXPECT_EQ(raw[1], 1);
             EXPECT_EQ(raw[2], 1);
             EXPECT_FALSE(c.m_bAutoFPS);
         }},
    };
    RunLoadCases(cases);
}

// ---- Hostile files ----------------------------------------------------------------------------

// Files that cannot be loaded: the camera keeps its defaults, loading leaves
// the file alone, and the next save keeps it aside as .bad, byte for byte.
// n nested elements.
std::string Nest(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "<n>";
    for (int i = 0; i < n; ++i) s += "</n>";
    return s;
}

TEST_F(SettingsTest, UnloadableFilesAreKeptAsideOnTheNextSave) {
    const std::string good = SettingsDoc("KYR832MC", Val("Gain", 4, Hex32(111)));
    std::string big = good + "<!--" + std::string(kConfigMaxFileBytes + 1 - good.size() - 7, 'x') + "-->";
    ASSERT_EQ(big.size(), static_cast<size_t>(kConfigMaxFileBytes) + 1);
    std::string nested;
    for (int i = 0; i < 100000; ++i) nested += "<a>";
    for (int i = 0; i < 100000; ++i) nested += "</a>";
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"garbage", std::string("\x01\x02 this is <<not xml>> \xff\xfe", 24)},
        {"empty", ""},
        {"only whitespace", "  \n\t\n"},
        {"truncated", good.substr(0, good.size() / 2)},
        {"1 MiB and 1 byte", big},
        {"100000 nested elements", nested},
        {"nested just past the limit", SettingsDoc("KYR832MC", Nest(kConfigMaxDepth - 1))},
        {"malformed UTF-8 hiding markup", SettingsDoc("KYR832MC", "<x a=\"\xE0\" b='\"><y/>'></x>")},
        {"mismatched end tag", SettingsDoc("KYR832MC", Val("Gain", 4, Hex32(111)))
                                   .replace(good.find("</software>"), 11, "</softwarX>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(BadPath().c_str());
        MakeVorn();
        WriteFile(ConfigPath(), c.bytes);
        {
            CSettingsCamera cam;
            EXPECT_FALSE(cam.bLoaded);
            EXPECT_EQ(cam.m_iGain, 200);
            EXPECT_EQ(ReadFile(ConfigPath()), c.bytes);  // loading never rewrites a bad file
            EXPECT_FALSE(Exists(BadPath()));
            cam.m_iGain = 432;
            ASSERT_TRUE(cam.SaveSetting());
        }
        EXPECT_EQ(ReadFile(BadPath()), c.bytes);
        CSettingsCamera fresh;
        EXPECT_TRUE(fresh.bLoaded);
        EXPECT_EQ(fresh.m_iGain, 432);
        EXPECT_TRUE(TempFiles().empty());
    }
}

TEST_F(SettingsTest, FilesAtTheLimitsStillLoad) {
    MakeVorn();
    // The folders and the deepest element at the nesting limit.
    WriteFile(ConfigPath(), SettingsDoc("KYR832MC", Val("Gain", 4, Hex32(112)) + Nest(kConfigMaxDepth - 2)));
    CSettingsCamera deep;
    EXPECT_TRUE(deep.bLoaded);
    EXPECT_EQ(deep.m_iGain, 112);
}

TEST_F(SettingsTest, FileOfExactlyOneMebibyteStillLoads) {
    MakeVorn();
    const std::string good = SettingsDoc("KYR832MC", Val("Gain", 4, Hex32(111)));
    std::string exact = good + "<!--" + std::string(kConfigMaxFileBytes - good.size() - 7, 'x') + "-->";
    ASSERT_EQ(exact.size(), static_cast<size_t>(kConfigMaxFileBytes));
    WriteFile(ConfigPath(), exact);
    CSettingsCamera cam;
    EXPECT_TRUE(cam.bLoaded);
    EXPECT_EQ(cam.m_iGain, 111);
}

TEST_F(SettingsTest, NewerBadFileReplacesAnOlderOne) {
    MakeVorn();
    WriteFile(BadPath(), "old bad file");
    WriteFile(ConfigPath(), "new bad file");
    CSettingsCamera cam;
    ASSERT_TRUE(cam.SaveSetting());
    EXPECT_EQ(ReadFile(BadPath()), "new bad file");
}

// Values that load as missing: the field keeps its default and nothing is
// written past it (ASan watches the fields' neighbours).
TEST_F(SettingsTest, MalformedValuesCountAsMissing) {
    MakeVorn();
    auto defaults = [](CSettingsCamera& c) {
        EXPECT_EQ(c.m_lExpTimeUs.load(), 10000u);
        EXPECT_EQ(c.m_iGain, 200);
        EXPECT_EQ(c.m_iBrightness, 1);
    };
    const std::vector<LoadCase> cases = {
        {"100-byte exposure", Val("Exposure", 4, std::string(200, 'a')), nullptr, defaults},
        {"odd-length text", Val("Gain", 4, "c800000"), nullptr, defaults},
        {"non-hex text", Val("Gain", 4, "c80000zz"), nullptr, defaults},
        {"text with a space", Val("Gain", 4, "c8 000000"), nullptr, defaults},
        {"wrong type", Val("Gain", 3, Hex32(100)), nullptr, defaults},
        {"type that is not a number", "        <Gain type=\"4x\">" + Hex32(100) + "</Gain>\n", nullptr,
         defaults},
        {"no type", "        <Gain>" + Hex32(100) + "</Gain>\n", nullptr, defaults},
        {"one byte for a 32-bit value", Val("Gain", 4, "05"), nullptr, defaults},
        {"two bytes for a 32-bit value", Val("Brightness", 4, "0500"), nullptr, defaults},
        {"empty element", "        <Gain type=\"4\" />\n", nullptr, defaults},
        {"four bytes for a flag", Val("FlipRow", 3, "01000000"), nullptr,
         [](CSettingsCamera& c) { EXPECT_FALSE(c.m_bFlipRow); }},
        {"flag as type 4", Val("AutoExp", 4, "01"), nullptr,
         [](CSettingsCamera& c) { EXPECT_FALSE(c.m_bAutoExp); }},
        {"300-byte path", Val("BMPPATH", 3, HexBytes(std::string(300, 'q'))),
         [](CSettingsCamera& c) { snprintf(c.m_szBMPPath, sizeof(c.m_szBMPPath), "/keep.bmp"); },
         [](CSettingsCamera& c) { EXPECT_STREQ(c.m_szBMPPath, "/keep.bmp"); }},
        {"256-byte path", Val("BMPPATH", 3, HexBytes(std::string(256, 'q'))), nullptr,
         [](CSettingsCamera& c) { EXPECT_STREQ(c.m_szBMPPath, ""); }},
        {"path with a zero inside", Val("BMPPATH", 3, HexBytes(std::string("/a\0b.bmp", 8))), nullptr,
         [](CSettingsCamera& c) { EXPECT_STREQ(c.m_szBMPPath, ""); }},
        {"path as type 4", Val("BMPPATH", 4, HexBytes("/a.bmp")), nullptr,
         [](CSettingsCamera& c) { EXPECT_STREQ(c.m_szBMPPath, ""); }},
        {"first of two duplicates wins", Val("Gain", 4, Hex32(100)) + Val("Gain", 4, Hex32(300)), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iGain, 100); }},
        {"comment named like the key before it", "        <!--Gain-->\n" + Val("Gain", 4, Hex32(100)),
         nullptr, [](CSettingsCamera& c) { EXPECT_EQ(c.m_iGain, 100); }},
        {"upper-case hex is hex", Val("Gain", 4, "C8010000"), nullptr,
         [](CSettingsCamera& c) { EXPECT_EQ(c.m_iGain, 456); }},
    };
    RunLoadCases(cases);
}

// Saving over a folder with malformed and duplicated entries leaves one valid
// element per value, and the saved values are the ones that load.
TEST_F(SettingsTest, SaveRepairsMalformedEntries) {
    MakeVorn();
    const std::string values =
        "        <!--Gain-->\n"
        "        <Gain>" +
        Hex32(100) + "</Gain>\n" + Val("Gain", 4, Hex32(300)) + "        <Exposure type=\"4\" />\n" +
        Val("Gain", 4, Hex32(301)) + "        <Brightness type=\"4\">zz</Brightness>\n";
    WriteFile(ConfigPath(), SettingsDoc("KYR832MC", values));
    {
        CSettingsCamera cam;
        EXPECT_EQ(cam.m_iGain, 200);  // the first Gain element has no type
        cam.m_iGain = 250;
        cam.m_iBrightness = 9;
        ASSERT_TRUE(cam.SaveSetting());
    }
    std::string text = ReadFile(ConfigPath());
    EXPECT_EQ(text.find("<!--"), std::string::npos) << text;
    EXPECT_EQ(text.find("<Gain>"), std::string::npos) << text;
    EXPECT_EQ(text.find("<Exposure type=\"4\" />"), std::string::npos) << text;
    EXPECT_NE(text.find("<Gain type=\"4\">" + Hex32(250) + "</Gain>"), std::string::npos) << text;
    EXPECT_NE(text.find("<Brightness type=\"4\">" + Hex32(9) + "</Brightness>"), std::string::npos) << text;
    CSettingsCamera fresh;
    EXPECT_EQ(fresh.m_iGain, 250);
    EXPECT_EQ(fresh.m_iBrightness, 9);
    EXPECT_EQ(fresh.m_lExpTimeUs.load(), 10000u);
}

// ---- The atomic save ---------------------------------------------------------------------------

TEST_F(SettingsTest, SaveReplacesALinkAndLeavesItsTargetAlone) {
    MakeVorn();
    const std::string target = Home() + "/elsewhere.xml";
    const std::string targetText = SettingsDoc("KYR832MC", Val("Gain", 4, Hex32(111)));
    WriteFile(target, targetText);
    ASSERT_EQ(symlink(target.c_str(), ConfigPath().c_str()), 0);
    {
        CSettingsCamera cam;
        EXPECT_EQ(cam.m_iGain, 111);  // reading through the link is fine
        cam.m_iGain = 222;
        ASSERT_TRUE(cam.SaveSetting());
    }
    EXPECT_TRUE(IsRegularFile(ConfigPath()));
    EXPECT_EQ(Mode(ConfigPath()), 0644);
    EXPECT_EQ(ReadFile(target), targetText);
    CSettingsCamera fresh;
    EXPECT_EQ(fresh.m_iGain, 222);
}

ssize_t FailingWrite(int, const void*, size_t) {
    errno = EIO;
    return -1;
}
ssize_t FullDiskAfterSomeBytes(int fd, const void* buf, size_t len) {
    static size_t s_written = 0;
    if (s_written > 100) {
        errno = ENOSPC;
        return -1;
    }
    size_t n = len < 64 ? len : 64;
    s_written += n;
    return write(fd, buf, n);
}
ssize_t WriteReturnsZero(int, const void*, size_t) { return 0; }
ssize_t OneByteAtATime(int fd, const void* buf, size_t len) { return write(fd, buf, len > 0 ? 1 : 0); }

TEST_F(SettingsTest, FailedSaveLogsAndLeavesTheOldFileAsItWas) {
    struct Case {
        const char* name;
        KyrSettingsWriteFn write;
    };
    const Case cases[] = {
        {"write fails", FailingWrite},
        {"disk fills up mid-file", FullDiskAfterSomeBytes},
        {"write makes no progress", WriteReturnsZero},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(ConfigPath().c_str());
        {
            CSettingsCamera cam;
            ASSERT_TRUE(cam.SaveSetting());
        }
        const std::string before = ReadFile(ConfigPath());
        SetSettingsWriteForTest(c.write);
        testing::internal::CaptureStderr();
        g_bDebugPrint = true;
        bool saved = true;
        {
            CSettingsCamera cam;
            cam.m_iGain = 555;
            saved = cam.SaveSetting();
        }
        g_bDebugPrint = false;
        std::string log = testing::internal::GetCapturedStderr();
        SetSettingsWriteForTest(nullptr);
        EXPECT_FALSE(saved);
        EXPECT_NE(log.find("]: Reg Save failed\n"), std::string::npos) << log;
        EXPECT_EQ(ReadFile(ConfigPath()), before);
        EXPECT_TRUE(TempFiles().empty());
    }
}

TEST_F(SettingsTest, ShortWritesStillSaveTheWholeFile) {
    {
        CSettingsCamera cam;
        ASSERT_TRUE(cam.SaveSetting());
    }
    const std::string whole = ReadFile(ConfigPath());
    unlink(ConfigPath().c_str());
    SetSettingsWriteForTest(OneByteAtATime);
    {
        CSettingsCamera cam;
        ASSERT_TRUE(cam.SaveSetting());
    }
    SetSettingsWriteForTest(nullptr);
    int dates = 0;
    EXPECT_EQ(MaskDates(ReadFile(ConfigPath()), &dates), MaskDates(whole, &dates));
}

TEST_F(SettingsTest, DirectoryInPlaceOfTheFileFailsTheSave) {
    MakeVorn();
    ASSERT_EQ(mkdir(ConfigPath().c_str(), 0755), 0);
    WriteFile(ConfigPath() + "/inside", "keep");
    testing::internal::CaptureStderr();
    g_bDebugPrint = true;
    bool loaded = true, saved = true;
    {
        CSettingsCamera cam;
        loaded = cam.bLoaded;
        EXPECT_EQ(cam.m_iGain, 200);
        saved = cam.SaveSetting();
    }
    g_bDebugPrint = false;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(loaded);
    EXPECT_FALSE(saved);
    EXPECT_NE(log.find("]: Reg Save failed\n"), std::string::npos) << log;
    EXPECT_EQ(ReadFile(ConfigPath() + "/inside"), "keep");
    EXPECT_FALSE(Exists(BadPath()));
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SettingsTest, FileInPlaceOfTheDirectoryFailsQuietly) {
    WriteFile(VornDir(), "not a directory");
    CSettingsCamera cam;
    EXPECT_FALSE(cam.bLoaded);
    EXPECT_EQ(cam.m_iGain, 200);
    EXPECT_FALSE(cam.SaveSetting());
    EXPECT_EQ(ReadFile(VornDir()), "not a directory");
}

// ---- Several models in one file ---------------------------------------------------------------

// The text of one model's folder element.
std::string Subtree(const std::string& text, const std::string& folder) {
    size_t start = text.find("<" + folder + " ");
    size_t end = text.find("</" + folder + ">");
    if (start == std::string::npos || end == std::string::npos) return "";
    return text.substr(start, end - start);
}

TEST_F(SettingsTest, SavingOneModelLeavesAnothersSubtreeUnchanged) {
    {
        CSettingsCamera b("KYR715MC");
        b.m_iGain = 77;
        snprintf(b.m_szBMPPath, sizeof(b.m_szBMPPath), "/b/dark.bmp");
        ASSERT_TRUE(b.SaveSetting());
    }
    {
        CSettingsCamera a("KYR832MC");
        a.m_iGain = 11;
        ASSERT_TRUE(a.SaveSetting());
    }
    const std::string before = Subtree(ReadFile(ConfigPath()), "KYR715MC");
    ASSERT_FALSE(before.empty());
    for (int gain : {12, 13}) {
        CSettingsCamera a("KYR832MC");
        a.m_iGain = gain;
        ASSERT_TRUE(a.SaveSetting());
    }
    std::string text = ReadFile(ConfigPath());
    EXPECT_EQ(Subtree(text, "KYR715MC"), before);
    CSettingsCamera a("KYR832MC"), b("KYR715MC");
    EXPECT_EQ(a.m_iGain, 13);
    EXPECT_EQ(b.m_iGain, 77);
    EXPECT_STREQ(b.m_szBMPPath, "/b/dark.bmp");
    EXPECT_STREQ(a.m_szBMPPath, "");
}

// ---- No usable home ---------------------------------------------------------------------------

TEST_F(SettingsTest, HomeLongerThanThePathBoundGivesDefaultsAndWritesNothing) {
    const std::string realHome = Home();
    // An existing directory whose path is longer than the bound.
    std::string longHome = realHome;
    while (longHome.size() <= kConfigPathBytes) {
        longHome += "/" + std::string(100, 'h');
        ASSERT_EQ(mkdir(longHome.c_str(), 0755), 0) << strerror(errno);
    }
    // And one that fits the home bound but leaves no room for the file's paths.
    std::string nearHome = realHome + "/n";
    ASSERT_EQ(mkdir(nearHome.c_str(), 0755), 0);
    while (nearHome.size() < kConfigPathBytes - 30) {
        nearHome += "/" + std::string(std::min<size_t>(100, kConfigPathBytes - 31 - nearHome.size()), 'n');
        ASSERT_EQ(mkdir(nearHome.c_str(), 0755), 0) << strerror(errno);
    }
    ASSERT_LT(nearHome.size(), kConfigPathBytes);
    for (const std::string& home : {longHome, nearHome}) {
        SCOPED_TRACE(home.size());
        ASSERT_EQ(setenv("HOME", home.c_str(), 1), 0);
        bool loaded = true, saved = true;
        int gain = 0;
        {
            CSettingsCamera cam;
            loaded = cam.bLoaded;
            gain = cam.m_iGain;
            cam.m_iGain = 99;
            saved = cam.SaveSetting();
        }
        ASSERT_EQ(setenv("HOME", realHome.c_str(), 1), 0);
        EXPECT_FALSE(loaded);
        EXPECT_FALSE(saved);
        EXPECT_EQ(gain, 200);
        EXPECT_TRUE(ListDir(home).empty()) << home;
    }
}

TEST_F(SettingsTest, CameraWithoutAShortNameStoresNothing) {
    CSettingsCamera cam("");
    EXPECT_FALSE(cam.bLoaded);
    EXPECT_FALSE(cam.SaveSetting());
    EXPECT_EQ(cam.m_pszSubKey, nullptr);
    EXPECT_FALSE(Exists(ConfigPath()));
}

TEST_F(SettingsTest, SubKeyIsMadeOnceFromTheShortName) {
    CSettingsCamera cam("KYR832MC");
    ASSERT_NE(cam.m_pszSubKey, nullptr);
    EXPECT_STREQ(cam.m_pszSubKey, "software\\KYR832MC");
    const char* first = cam.m_pszSubKey;
    cam.InitSubKey();
    EXPECT_EQ(cam.m_pszSubKey, first);
    // A name too long for the key is refused, not cut.
    CSettingsCamera longName(std::string(250, 'L'));
    EXPECT_EQ(longName.m_pszSubKey, nullptr);
    EXPECT_FALSE(longName.SaveSetting());
}

}  // namespace

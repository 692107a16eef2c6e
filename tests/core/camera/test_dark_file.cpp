// Dark-frame files: the BMP layout written byte for byte, files that load back
// unchanged, hostile files that must leave the dark frame in force untouched,
// failing writes, and the dark frame reached through the exported interface
// and through the settings file at open.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "KYRCamera.h"
#include "api/ModelFactory.h"
#include "kyrsim.h"
#include "test_postprocessing_fixture.h"

namespace {

using post_test::CPostCamera;
using post_test::DarkBmp;
using post_test::LoadDark;
using post_test::PutLe;
using post_test::ReadBytes;
using post_test::TempPath;
using post_test::WriteBytes;

uint8_t Pattern(int x, int y) { return static_cast<uint8_t>(x * 7 + y * 13); }

TEST(DarkFile, WrittenHeaderIsTheDarkFrameLayout) {
    CPostCamera cam(64, 48);
    ASSERT_EQ(LoadDark(cam, Pattern), 1);
    const std::string path = TempPath("saved.bmp");
    ASSERT_EQ(cam.SaveBMPToFile(path.c_str()), 1);
    const std::vector<uint8_t> file = ReadBytes(path);
    ASSERT_EQ(file.size(), 1078u + 64 * 48);
    const std::vector<uint8_t> header = {
        0x42, 0x4D, 0x36, 0x10, 0x00, 0x00,                                      // "BM", file size 4150
        0x00, 0x00, 0x00, 0x00,                                                  // reserved
        0x36, 0x04, 0x00, 0x00,                                                  // data offset 1078
        0x28, 0x00, 0x00, 0x00,                                                  // header size 40
        0x40, 0x00, 0x00, 0x00,                                                  // width 64
        0x30, 0x00, 0x00, 0x00,                                                  // height 48
        0x01, 0x00, 0x08, 0x00,                                                  // 1 plane, 8 bits
        0x00, 0x00, 0x00, 0x00,                                                  // no compression
        0x00, 0x0C, 0x00, 0x00,                                                  // image size 3072
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,  // 256 colours
        0x00, 0x00, 0x00, 0x00,
    };
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 54), header);
    for (int i = 0; i < 256; ++i) {
        const uint8_t entry[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i),
                                  0};
        ASSERT_EQ(memcmp(&file[54 + 4 * i], entry, 4), 0) << i;
    }
    // Pixels: the rows in buffer order, first row first.
    EXPECT_EQ(file[1078], Pattern(0, 0));
    EXPECT_EQ(file[1078 + 64 + 1], Pattern(1, 1));
    EXPECT_EQ(file.back(), Pattern(63, 47));
    EXPECT_STREQ(cam.m_szBMPPath, path.c_str());
}

TEST(DarkFile, SavedFilesLoadBackUnchanged) {
    // 10 is not a multiple of 4: the rows stay unpadded both ways.
    for (int w : {64, 10}) {
        SCOPED_TRACE(w);
        CPostCamera cam(w, 6);
        ASSERT_EQ(LoadDark(cam, Pattern), 1);
        const std::string path = TempPath("round" + std::to_string(w) + ".bmp");
        ASSERT_EQ(cam.SaveBMPToFile(path.c_str()), 1);
        EXPECT_EQ(ReadBytes(path).size(), 1078u + static_cast<size_t>(w) * 6);
        CPostCamera fresh(w, 6);
        ASSERT_EQ(fresh.LoadBMPFromFile(path.c_str()), 1);
        EXPECT_EQ(fresh.DarkFrame(), cam.DarkFrame());
        EXPECT_TRUE(fresh.m_bCutDark);
        EXPECT_STREQ(fresh.m_szBMPPath, path.c_str());
    }
}

TEST(DarkFile, NewFilesAreReadableByAllWritableByTheOwner) {
    CPostCamera cam(8, 6);
    ASSERT_EQ(LoadDark(cam, Pattern), 1);
    const std::string path = TempPath("mode.bmp");
    const mode_t old = umask(0077);
    const int rc = cam.SaveBMPToFile(path.c_str());
    umask(old);
    ASSERT_EQ(rc, 1);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// ---- Hostile files --------------------------------------------------------------------------

struct HostileCase {
    const char* name;
    std::function<std::vector<uint8_t>(std::vector<uint8_t>)> mutate;
    int iCode;
};

std::vector<HostileCase> HostileFiles() {
    auto set = [](size_t at, uint32_t v, int bytes) {
        return [=](std::vector<uint8_t> f) {
            PutLe(f, at, v, bytes);
            return f;
        };
    };
    auto cut = [](size_t n) {
        return [=](std::vector<uint8_t> f) {
            f.resize(n);
            return f;
        };
    };
    return {
        {"empty", cut(0), 0},
        {"short file header", cut(10), 0},
        {"short information header", cut(14 + 20), 0},
        {"wrong magic", set(0, 0x4E42, 2), 0},
        {"24 bits per pixel", set(28, 24, 2), 0},
        {"run-length compressed", set(30, 1, 4), 0},
        {"wrong height", set(22, 47, 4), 7},
        {"negative height", set(22, static_cast<uint32_t>(-48), 4), 7},
        {"wrong width", set(18, 63, 4), 7},
        {"data offset below the headers", set(10, 20, 4), 0},
        {"data offset at the end", set(10, 1078 + 64 * 48, 4), 0},
        {"data offset huge", set(10, 0xFFFFFFFFu, 4), 0},
        {"pixels cut short", cut(1078 + 64 * 48 - 1), 0},
    };
}

// The camera with a dark frame in force, to see that nothing disturbs it.
class DarkFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(LoadDark(m_cam, Pattern, "good.bmp"), 1);
        m_before = m_cam.DarkFrame();
        m_path = m_cam.m_szBMPPath;
    }
    void ExpectDarkUnchanged() {
        EXPECT_EQ(m_cam.DarkFrame(), m_before);
        EXPECT_TRUE(m_cam.m_bCutDark);
        EXPECT_EQ(m_cam.m_szBMPPath, m_path);
        EXPECT_EQ(m_cam.m_iDarkRoiW, 64);
    }
    CPostCamera m_cam{64, 48};
    std::vector<uint8_t> m_before;
    std::string m_path;
};

TEST_F(DarkFileTest, HostileFilesAreRefusedAndTheDarkStays) {
    const std::vector<uint8_t> valid = DarkBmp(64, 48, [](int, int) { return static_cast<uint8_t>(200); });
    for (const HostileCase& c : HostileFiles()) {
        SCOPED_TRACE(c.name);
        const std::string path = TempPath("hostile.bmp");
        WriteBytes(path, c.mutate(valid));
        EXPECT_EQ(m_cam.LoadBMPFromFile(path.c_str()), c.iCode);
        ExpectDarkUnchanged();
    }
    // The unmutated file loads: the cases above fail for their own reason only.
    const std::string path = TempPath("valid.bmp");
    WriteBytes(path, valid);
    EXPECT_EQ(m_cam.LoadBMPFromFile(path.c_str()), 1);
}

TEST_F(DarkFileTest, PathsThatAreNotFilesAreRefusedAndTheDarkStays) {
    const std::string fifo = TempPath("dark.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(m_cam.LoadBMPFromFile(fifo.c_str()), 6);  // returns at once: nobody writes to it
    ExpectDarkUnchanged();
    EXPECT_EQ(m_cam.LoadBMPFromFile(TempPath("").c_str()), 6);  // a directory
    ExpectDarkUnchanged();
    for (size_t n : {256u, 300u}) {
        const std::string longPath = "/" + std::string(n - 1, 'd');
        EXPECT_EQ(m_cam.LoadBMPFromFile(longPath.c_str()), 6) << n;
        ExpectDarkUnchanged();
    }
    EXPECT_EQ(m_cam.LoadBMPFromFile(nullptr), 6);
    ExpectDarkUnchanged();
}

TEST_F(DarkFileTest, MissingFileTurnsSubtractionOff) {
    EXPECT_EQ(m_cam.LoadBMPFromFile(TempPath("none.bmp").c_str()), 6);
    EXPECT_FALSE(m_cam.m_bCutDark);
    EXPECT_TRUE(m_cam.DarkFrame().empty());
    EXPECT_TRUE(m_cam.DarkHotList().empty());
}

TEST_F(DarkFileTest, SavesThatCannotBeWrittenReportFailureAndRecordNothing) {
    const std::string fifo = TempPath("save.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> paths = {
        TempPath(""),                      // a directory
        TempPath("no/such/dir/dark.bmp"),  // cannot be created
        fifo,                              // not a file (and no reader: must not block)
        "/" + std::string(255, 's'),       // does not fit
    };
    for (const std::string& p : paths) {
        EXPECT_EQ(m_cam.SaveBMPToFile(p.c_str()), 0) << p;
        ExpectDarkUnchanged();
    }
    // Without a dark frame there is nothing to save.
    CPostCamera empty(64, 48);
    EXPECT_EQ(empty.SaveBMPToFile(TempPath("empty.bmp").c_str()), 0);
    EXPECT_STREQ(empty.m_szBMPPath, "");
}

TEST_F(DarkFileTest, FullDiskReportsFailureAndRecordsNothing) {
    const std::string path = TempPath("full.bmp");
    // In a child whose files may not grow past 1000 bytes, as on a full disk.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
        const int rc = m_cam.SaveBMPToFile(path.c_str());
        _exit(rc == 0 && m_path == m_cam.m_szBMPPath ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // What reached the disk does not load as a dark frame.
    CPostCamera other(64, 48);
    EXPECT_EQ(other.LoadBMPFromFile(path.c_str()), 0);
}

// ---- Through the exported interface and the settings file -------------------------------------------

CCameraBase* g_pLastCamera = nullptr;

// The test driver of a 64 x 48 sensor that ends its construction with
// LoadSetting, as every driver does.
class CDarkSettingsDriver : public CTestDriver {
  public:
    CDarkSettingsDriver() {
        m_pszShortName = const_cast<char*>("KYRDARKTEST");
        m_iMaxWidth = kMaxWidth;
        m_iMaxHeight = kMaxHeight;
        m_iWidth = kMaxWidth;
        m_iHeight = kMaxHeight;
        LoadSetting();
    }
};

CCameraBase* MakeDarkDriver() {
    g_pLastCamera = new CDarkSettingsDriver();
    return g_pLastCamera;
}

class DarkApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim_reset();
        SetCameraConstructorForTest(CTestDriver::kProductID, MakeDarkDriver);
        ASSERT_GE(kyrsim_plug(CTestDriver::kProductID, 1, "1"), 0);
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    }
    void TearDown() override {
        KYRCloseCamera(0);
        SetCameraConstructorForTest(CTestDriver::kProductID, nullptr);
        kyrsim_reset();
    }
    static std::vector<uint8_t> Dark(CCameraBase* cam) {
        CCritSecLock lock(cam->m_csDarkBuf);
        if (!cam->m_pDarkBuf) return {};
        return std::vector<uint8_t>(cam->m_pDarkBuf, cam->m_pDarkBuf + 64 * 48);
    }
};

TEST_F(DarkApiTest, EnableReportsEachFailureAsItsCode) {
    const std::string good = TempPath("api.bmp");
    WriteBytes(good, DarkBmp(64, 48, Pattern));
    std::vector<uint8_t> narrow = DarkBmp(64, 48, Pattern);
    PutLe(narrow, 18, 32, 4);
    const std::string narrowPath = TempPath("narrow.bmp");
    WriteBytes(narrowPath, narrow);
    std::vector<uint8_t> rgb = DarkBmp(64, 48, Pattern);
    PutLe(rgb, 28, 24, 2);
    const std::string rgbPath = TempPath("rgb.bmp");
    WriteBytes(rgbPath, rgb);
    std::string longPath = "/" + std::string(299, 'x');

    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    EXPECT_EQ(KYREnableDarkSubtract(0, const_cast<char*>(good.c_str())), KYR_ERROR_INVALID_SEQUENCE);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    EXPECT_EQ(KYREnableDarkSubtract(0, const_cast<char*>(good.c_str())), KYR_SUCCESS);
    EXPECT_TRUE(g_pLastCamera->m_bCutDark);
    const std::vector<uint8_t> file = DarkBmp(64, 48, Pattern);
    EXPECT_EQ(Dark(g_pLastCamera), std::vector<uint8_t>(file.begin() + 1078, file.end()));
    EXPECT_EQ(KYREnableDarkSubtract(0, const_cast<char*>(narrowPath.c_str())), KYR_ERROR_INVALID_FILEFORMAT);
    EXPECT_EQ(KYREnableDarkSubtract(0, const_cast<char*>(rgbPath.c_str())), KYR_ERROR_INVALID_FILEFORMAT);
    EXPECT_EQ(KYREnableDarkSubtract(0, &longPath[0]), KYR_ERROR_INVALID_PATH);
    EXPECT_EQ(KYREnableDarkSubtract(0, nullptr), KYR_ERROR_INVALID_PATH);
    EXPECT_TRUE(g_pLastCamera->m_bCutDark);  // none of these disturbed the dark in force
    EXPECT_STREQ(g_pLastCamera->m_szBMPPath, good.c_str());

    EXPECT_EQ(KYRDisableDarkSubtract(0), KYR_SUCCESS);
    EXPECT_FALSE(g_pLastCamera->m_bCutDark);
    EXPECT_TRUE(Dark(g_pLastCamera).empty());

    const std::string missing = TempPath("missing.bmp");
    EXPECT_EQ(KYREnableDarkSubtract(0, const_cast<char*>(missing.c_str())), KYR_ERROR_INVALID_PATH);
    EXPECT_FALSE(g_pLastCamera->m_bCutDark);
}

TEST_F(DarkApiTest, StoredDarkIsLoadedAtOpenUntilItsFileVanishes) {
    const std::string path = TempPath("stored.bmp");
    WriteBytes(path, DarkBmp(64, 48, Pattern));
    {
        // A session that used the dark frame and saved its settings.
        CDarkSettingsDriver first;
        ASSERT_EQ(first.LoadBMPFromFile(path.c_str()), 1);
        ASSERT_TRUE(first.SaveSetting());
    }
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_NE(g_pLastCamera, nullptr);
    EXPECT_TRUE(g_pLastCamera->m_bCutDark);
    EXPECT_STREQ(g_pLastCamera->m_szBMPPath, path.c_str());
    std::vector<uint8_t> dark = Dark(g_pLastCamera);
    ASSERT_EQ(dark.size(), 64u * 48);
    EXPECT_EQ(dark[65], Pattern(1, 1));
    EXPECT_EQ(g_pLastCamera->m_iDarkRoiW, 64);
    ASSERT_EQ(KYRCloseCamera(0), KYR_SUCCESS);

    ASSERT_EQ(unlink(path.c_str()), 0);
    g_pLastCamera = nullptr;
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_NE(g_pLastCamera, nullptr);
    EXPECT_FALSE(g_pLastCamera->m_bCutDark);
    EXPECT_TRUE(Dark(g_pLastCamera).empty());
}

}  // namespace

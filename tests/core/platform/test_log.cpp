// test-labels: tsan
// Debug output: the switch, the line format, the log file and its rolling.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"

namespace {

std::string Home() { return getenv("HOME"); }
std::string LogPath() { return Home() + "/.VORN/kyrcamerasdk/kyrcamerasdk.log"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int Mode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_mode & 07777;
}

std::string Prefix(const char* func) {
    return "[" + std::to_string(getpid()) + "," + std::to_string(syscall(SYS_gettid)) + " " + func + "]: ";
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { g_bDebugPrint = false; }
};

TEST_F(LogTest, OffWritesNothingAndMakesNoDirectory) {
    g_bDebugPrint = false;
    testing::internal::CaptureStderr();
    DbgPrint(-1, "Func", "hello %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(Exists(Home() + "/.VORN"));
}

TEST_F(LogTest, OnWritesBothPrefixFormsToStderrAndFile) {
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    DbgPrint(-1, "Plain", "value %d\n", 42);
    DbgPrint(0x1234, "Tagged", "pid line\n");
    std::string err = testing::internal::GetCapturedStderr();
    std::string plain = Prefix("Plain") + "value 42\n";
    std::string tagged = "[" + std::to_string(getpid()) + "," + std::to_string(syscall(SYS_gettid)) +
                         " 1234::Tagged]: pid line\n";
    EXPECT_EQ(err, plain + tagged);

    std::string file = ReadFile(LogPath());
    EXPECT_NE(file.find(Prefix("Plain") + "value 42\n"), std::string::npos) << file;
    EXPECT_NE(file.find("1234::Tagged]: pid line\n"), std::string::npos) << file;
    EXPECT_NE(file.find(" INFO KYRCamera "), std::string::npos) << file;

    EXPECT_EQ(Mode(Home() + "/.VORN"), 0755);
    EXPECT_EQ(Mode(Home() + "/.VORN/kyrcamerasdk"), 0755);
    EXPECT_EQ(Mode(LogPath()), 0644);
}

TEST_F(LogTest, LongLineIsCutTo255Characters) {
    g_bDebugPrint = true;
    std::string longMsg(1000, 'x');
    testing::internal::CaptureStderr();
    DbgPrint(-1, "Long", "%s", longMsg.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.size(), 255u);
    EXPECT_EQ(err.substr(0, Prefix("Long").size()), Prefix("Long"));
}

TEST_F(LogTest, TwoTrailingNewlinesFileLosesOneStderrKeepsBoth) {
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    DbgPrint(-1, "Nl", "two\n\n");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, Prefix("Nl") + "two\n\n");
    std::string file = ReadFile(LogPath());
    // The layout ends each entry with its own newline.
    EXPECT_NE(file.find("]: two\n\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("]: two\n\n\n"), std::string::npos) << file;
}

TEST_F(LogTest, PercentSignAfterFormattingIsWrittenVerbatim) {
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    DbgPrint(-1, "Pct", "path %s\n", "/tmp/100%d%s%n");
    testing::internal::GetCapturedStderr();
    std::string file = ReadFile(LogPath());
    EXPECT_NE(file.find("path /tmp/100%d%s%n\n"), std::string::npos) << file;
}

TEST_F(LogTest, RollsOverAtFiveMebibytesKeepingOneBackup) {
    g_bDebugPrint = true;
    int saved = dup(2);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    std::string msg(200, 'r');
    for (int i = 0; i < 50000; ++i) DbgPrint(-1, "Roll", "%s\n", msg.c_str());  // about 13 MB
    dup2(saved, 2);
    close(saved);
    close(devnull);
    EXPECT_TRUE(Exists(LogPath()));
    EXPECT_TRUE(Exists(LogPath() + ".1"));
    EXPECT_FALSE(Exists(LogPath() + ".2"));
    struct stat st;
    ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
    EXPECT_LE(st.st_size, 5242880 + 512);
}

TEST_F(LogTest, OverlongHomeIsNoHomeNoFileNoOverflow) {
    std::string base = Home();
    std::string longHome = base + "/" + std::string(300, 'h');
    setenv("HOME", longHome.c_str(), 1);
    g_bDebugPrint = true;
    testing::internal::CaptureStderr();
    DbgPrint(-1, "Home", "still on stderr\n");
    std::string err = testing::internal::GetCapturedStderr();
    setenv("HOME", base.c_str(), 1);
    EXPECT_NE(err.find("still on stderr\n"), std::string::npos);
    EXPECT_FALSE(Exists(base + "/.VORN"));
    EXPECT_FALSE(Exists("/kyrcamerasdk/kyrcamerasdk.log"));
}

TEST_F(LogTest, ManyThreadsWriteWholeLines) {
    g_bDebugPrint = true;
    int saved = dup(2);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) DbgPrint(-1, "Worker", "thread %d line %d end\n", t, i);
        });
    for (auto& th : threads) th.join();
    dup2(saved, 2);
    close(saved);
    close(devnull);
    std::istringstream file(ReadFile(LogPath()));
    std::string line;
    int count = 0;
    while (std::getline(file, line)) {
        if (line.find("Worker") == std::string::npos) continue;
        // A whole line: the layout's fields, one prefix, one message, its end.
        size_t head = line.find(" INFO KYRCamera ");
        size_t prefix = line.find(" Worker]: thread ");
        EXPECT_NE(head, std::string::npos) << line;
        EXPECT_NE(prefix, std::string::npos) << line;
        EXPECT_EQ(line.find(" Worker]: ", prefix + 1), std::string::npos) << line;
        EXPECT_EQ(line.compare(line.size() - 4, 4, " end"), 0) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LogTest, ProcessExitingWhileAThreadLogsEndsCleanly) {
#ifdef KYR_TEST_EMULATED
    // Under an emulator the kernel cannot start the test binary again: the
    // child is forked without exec.
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    EXPECT_EXIT(
        {
            g_bDebugPrint = true;
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            DbgPrint(-1, "Exit", "first\n");
            std::thread([] {
                for (;;) DbgPrint(-1, "Exit", "busy\n");
            }).detach();
            usleep(20000);
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

#include "platform/Log.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <string>

#include "platform/HomeDir.h"

std::atomic<bool> g_bDebugPrint{false};

namespace {

constexpr size_t kLineBytes = 256;            // one log line, prefix included, with its terminator
constexpr size_t kDirPathBytes = 250;         // the configuration directory path buffer
constexpr size_t kLogFileMaxBytes = 5242880;  // 5 MiB, then the file rolls over to one backup

// Serialises file logging against the shut-down at process exit. A plain
// pthread mutex has no destructor, so it outlives every static object.
pthread_mutex_t g_LogMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_bLogShutDown = false;  // guarded by g_LogMutex

}  // namespace

int initLogSaveDir(char* path) {
    char home[kDirPathBytes];
    if (!GetHomeDir(home, sizeof(home))) {
        printf("get home path err");
        return 0;
    }
    int n = snprintf(path, kDirPathBytes, "%s/.VORN", home);
    if (n < 0 || static_cast<size_t>(n) >= kDirPathBytes) {
        path[0] = '\0';
        printf("get home path err");
        return 0;
    }
    if (access(path, F_OK) == 0) return 1;
    if (MakeDir0755(path) < 0) {
        printf("mkdir err");
        return 0;
    }
    return 1;
}

KYRLog::KYRLog() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    m_pCategory = &root.getInstance("KYRCamera");
    printf("constructor called!\n");

    char path[kDirPathBytes + 64];
    memset(path, 0, sizeof(path));
    int haveDir = initLogSaveDir(path);
    printf("the filepath is : %s\n", path);
    if (!haveDir) return;  // no home: no log file, standard error goes on

    strcat(path, "/kyrcamerasdk");
    printf("the log file path is : %s\n", path);
    if (MakeDir0755(path) != 1) printf("failed to create directory");
    strcat(path, "/kyrcamerasdk.log");
    printf("the log is : %s\n", path);

    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%d: %p %c %x: %m%n");
    auto* appender =
        new log4cpp::RollingFileAppender("rollfileAppender", path, kLogFileMaxBytes, 1, true, 0644);
    appender->setLayout(layout);
    m_pCategory->addAppender(appender);
    m_pCategory->setPriority(log4cpp::Priority::INFO);
}

void KYRLog::ShutDownAtExit() {
    pthread_mutex_lock(&g_LogMutex);
    g_bLogShutDown = true;
    printf("destructor called!\n");
    log4cpp::Category::shutdown();
    pthread_mutex_unlock(&g_LogMutex);
}

KYRLog& KYRLog::get_instance() {
    // Never destroyed: threads still logging at exit must not reach a dead
    // object. The exit handler, registered after log4cpp's own statics were
    // built, shuts log4cpp down before they are destroyed.
    static KYRLog* instance = [] {
        KYRLog* p = new KYRLog();
        atexit(ShutDownAtExit);
        return p;
    }();
    return *instance;
}

void KYRLog::setPriority(int level) { m_pCategory->setPriority(level); }
void KYRLog::info(const char* line) { m_pCategory->info(std::string(line)); }
void KYRLog::warn(const char* line) { m_pCategory->warn(std::string(line)); }
void KYRLog::error(const char* line) { m_pCategory->error(std::string(line)); }

void DbgPrint(int level, const char* function, const char* format, ...) {
    if (!g_bDebugPrint.load(std::memory_order_relaxed)) return;

    char line[kLineBytes];
    memset(line, 0, sizeof(line));
    int pid = static_cast<int>(getpid());
    int tid = static_cast<int>(syscall(SYS_gettid));
    int n;
    if (level < 1)
        n = snprintf(line, sizeof(line), "[%d,%d %s]: ", pid, tid, function);
    else
        n = snprintf(line, sizeof(line), "[%d,%d %X::%s]: ", pid, tid, level, function);
    size_t used = n < 0 ? 0 : static_cast<size_t>(n);
    if (used > sizeof(line) - 1) used = sizeof(line) - 1;
    va_list args;
    va_start(args, format);
    vsnprintf(line + used, sizeof(line) - used, format, args);
    va_end(args);

    fputs(line, stderr);
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';

    pthread_mutex_lock(&g_LogMutex);
    if (!g_bLogShutDown) {
        KYRLog& log = KYRLog::get_instance();
        log.setPriority(log4cpp::Priority::INFO);
        log.info(line);
    }
    pthread_mutex_unlock(&g_LogMutex);
}

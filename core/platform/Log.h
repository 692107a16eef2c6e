// Logging: DbgPrint writes nothing unless debug output is on; then each line
// goes to standard error and to the rolling log file
// HOME/.VORN/kyrcamerasdk/kyrcamerasdk.log kept through log4cpp.
#ifndef KYR_LOG_H
#define KYR_LOG_H

#include <atomic>

namespace log4cpp {
class Category;
}

// The debug-output switch, read by every thread.
extern std::atomic<bool> g_bDebugPrint;

// Level below 1: prefix "[pid,tid function]: "; 1 and above: "[pid,tid LEVEL::function]: "
// with the level in hexadecimal. The whole line fits in 255 characters.
void DbgPrint(int level, const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Writes HOME/.VORN into path (a buffer of 250 bytes) and makes the directory
// (mode 0755) when it is missing. 1 when it exists or was made, 0 when no home
// is known, the path does not fit, or the directory cannot be made.
int initLogSaveDir(char* path);

// The log file's owner: one log4cpp category "KYRCamera" with a rolling file
// appender (5 MiB, one backup). Created on first use; at process exit log4cpp
// is shut down, after which lines go to standard error only.
class KYRLog {
public:
    static KYRLog& get_instance();
    void setPriority(int level);
    void info(const char* line);
    void warn(const char* line);
    void error(const char* line);

private:
    KYRLog();
    static void ShutDownAtExit();
    log4cpp::Category* m_pCategory = nullptr;
};

#endif

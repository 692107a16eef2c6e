#include "platform/HomeDir.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

bool GetHomeDir(char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    const char* home = getenv("HOME");
    if (home && *home) {
        size_t len = strlen(home);
        if (len >= cap) return false;
        memcpy(buf, home, len + 1);
        return true;
    }
    long bufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufSize <= 0) bufSize = 16384;
    std::vector<char> pwBuf(static_cast<size_t>(bufSize));
    struct passwd pw;
    struct passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, pwBuf.data(), pwBuf.size(), &result) != 0 || !result || !pw.pw_dir)
        return false;
    size_t len = strlen(pw.pw_dir);
    if (len == 0 || len >= cap) return false;
    memcpy(buf, pw.pw_dir, len + 1);
    return true;
}

int MakeDir0755(const char* path) {
    if (mkdir(path, 0755) != 0) return errno == EEXIST ? 0 : -1;
    if (chmod(path, 0755) != 0) return -1;
    return 1;
}

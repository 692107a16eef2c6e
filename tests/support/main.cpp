// Entry point of every C++ test binary: each process gets a fresh temporary
// HOME, so settings and log files of one test never reach another or the user.
#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    char dir[] = "/tmp/kyrtest-home-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 2;
    }
    setenv("HOME", dir, 1);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    nftw(dir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return rc;
}

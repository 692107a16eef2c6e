// Replays the seed corpus of the dark-frame fuzz target through the same entry
// point the fuzzer calls, under the suite's sanitizers: a valid file and each
// kind of hostile file (short headers, wrong magic, 24 bits, run-length
// compression, wrong sizes, data offsets outside the file, cut pixels). A file
// that once crashed the loader belongs in that corpus under a name of its fault.
// Seeds named *.bmp are dark frames that load; every other seed is refused.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
int FuzzLoadDarkBmp(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> CorpusFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DarkBmpCorpus, EverySeedLoadsOrLeavesTheDarkAsItWas) {
    const std::string dir = KYR_FUZZ_CORPUS_DIR;
    const std::vector<std::string> names = CorpusFiles(dir);
    ASSERT_GE(names.size(), 14u) << dir;
    ASSERT_NE(std::find(names.begin(), names.end(), "valid.bmp"), names.end());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::ifstream in(dir + "/" + name, std::ios::binary);
        ASSERT_TRUE(in.good());
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        const bool bValid = name.size() > 4 && name.compare(name.size() - 4, 4, ".bmp") == 0;
        EXPECT_EQ(FuzzLoadDarkBmp(bytes.data(), bytes.size()) == 1, bValid);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    }
}

}  // namespace

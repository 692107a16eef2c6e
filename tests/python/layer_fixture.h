// Shared pieces of the object layer's tests: the text a call throws, a
// temporary working directory, and a PATH whose first entry holds a fake "cat".
#ifndef KYR_TEST_LAYER_FIXTURE_H
#define KYR_TEST_LAYER_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace layer_test {

// The text of what the call throws; empty when it returns.
inline std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Each test runs in a new temporary directory, removed afterwards; the
// previous working directory and PATH come back.
class InTempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        m_Old = std::filesystem::current_path();
        const char* path = getenv("PATH");
        m_OldPath = path ? path : "";
        char dir[] = "/tmp/kyrlayer-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_Dir = dir;
        std::filesystem::current_path(m_Dir);
    }
    void TearDown() override {
        std::filesystem::current_path(m_Old);
        setenv("PATH", m_OldPath.c_str(), 1);
        std::filesystem::permissions(m_Dir, std::filesystem::perms::owner_all);
        std::filesystem::remove_all(m_Dir);
    }
    const std::filesystem::path& Dir() const { return m_Dir; }

    // Makes the rules file impossible to write: its path is taken by a
    // directory, which not even root can open for writing.
    void BlockRulesFile() { std::filesystem::create_directory(m_Dir / "99-kyr.rules"); }

    // Puts a "cat" first in PATH that prints output exactly, whatever it is
    // asked to read. The script lives beside the working directory.
    void FakeCat(const std::string& output) {
        const std::filesystem::path bin = m_Dir.string() + "-bin";
        std::filesystem::create_directories(bin);
        m_Bin = bin;
        std::ofstream(m_Dir.string() + "-out", std::ios::binary) << output;
        std::ofstream(bin / "cat") << "#!/bin/sh\nexec /bin/cat '" << m_Dir.string() << "-out'\n";
        std::filesystem::permissions(bin / "cat", std::filesystem::perms::owner_all);
        setenv("PATH", (bin.string() + ":" + m_OldPath).c_str(), 1);
    }

    ~InTempDir() override {
        if (!m_Bin.empty()) std::filesystem::remove_all(m_Bin);
        std::filesystem::remove(m_Dir.string() + "-out");
    }

  private:
    std::filesystem::path m_Old, m_Dir, m_Bin;
    std::string m_OldPath;
};

}  // namespace layer_test

#endif

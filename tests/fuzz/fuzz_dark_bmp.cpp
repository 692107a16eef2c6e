// Fuzz target of the dark-frame loader: each input is written to a file and
// loaded by a camera of the test driver's small sensor (64 x 48). A load
// either succeeds with exactly the file's pixels as the dark frame, or
// refuses with the dark frame and subtraction switch left as they were;
// anything else aborts, and the sanitizers catch every bad memory access.
// Built by libFuzzer (KYR_BUILD_FUZZ) and replayed over its seed corpus by
// the normal test run.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestDriver.h"
#include "camera/CameraBase.h"

namespace {

// Where the loader reads the pixels of a file it accepts.
constexpr size_t kDataOffsetAt = 10;

class CFuzzCamera {
  public:
    CFuzzCamera() {
        m_cam.m_iMaxWidth = CTestDriver::kMaxWidth;
        m_cam.m_iMaxHeight = CTestDriver::kMaxHeight;
        m_cam.m_iWidth = CTestDriver::kMaxWidth;
        m_cam.m_iHeight = CTestDriver::kMaxHeight;
        const char* dir = getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/kyr-fuzz-dark-XXXXXX";
        int fd = mkstemp(&pattern[0]);
        if (fd < 0) abort();
        close(fd);
        m_path = pattern;
    }
    ~CFuzzCamera() { unlink(m_path.c_str()); }

    int Run(const uint8_t* data, size_t size) {
        int fd = open(m_path.c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0) abort();
        for (size_t done = 0; done < size;) {
            ssize_t n = write(fd, data + done, size - done);
            if (n <= 0) abort();
            done += static_cast<size_t>(n);
        }
        close(fd);

        const std::vector<uint8_t> before = Dark();
        const bool bCutBefore = m_cam.m_bCutDark;
        const int rc = m_cam.LoadBMPFromFile(m_path.c_str());
        if (rc == 1) {
            const size_t pixels = static_cast<size_t>(CTestDriver::kMaxWidth) * CTestDriver::kMaxHeight;
            uint32_t offset = 0;
            for (int i = 0; i < 4; ++i) offset |= static_cast<uint32_t>(data[kDataOffsetAt + i]) << (8 * i);
            if (!m_cam.m_bCutDark || offset + pixels > size) abort();
            if (Dark() != std::vector<uint8_t>(data + offset, data + offset + pixels)) abort();
        } else if (rc == 0 || rc == 7) {
            if (Dark() != before || m_cam.m_bCutDark != bCutBefore) abort();
        } else {
            abort();  // the file exists and is a regular file
        }
        return rc;
    }

  private:
    std::vector<uint8_t> Dark() {
        CCritSecLock lock(m_cam.m_csDarkBuf);
        if (!m_cam.m_pDarkBuf) return {};
        return std::vector<uint8_t>(m_cam.m_pDarkBuf,
                                    m_cam.m_pDarkBuf + CTestDriver::kMaxWidth * CTestDriver::kMaxHeight);
    }

    CTestDriver m_cam;
    std::string m_path;
};

}  // namespace

// The loader's result for one input (1 loaded, 0 or 7 refused).
int FuzzLoadDarkBmp(const uint8_t* data, size_t size) {
    static CFuzzCamera s_camera;
    return s_camera.Run(data, size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLoadDarkBmp(data, size);
    return 0;
}

// The library's debug log from a point on: the lines its threads wrote to
// the log file of the test's HOME while debug output was on. Debug output is
// on for as long as the object lives.
#ifndef KYR_TEST_LOG_TAIL_H
#define KYR_TEST_LOG_TAIL_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/Log.h"

class CLogTail {
  public:
    CLogTail() : m_from(FileText().size()) { g_bDebugPrint = true; }
    ~CLogTail() { g_bDebugPrint = false; }
    CLogTail(const CLogTail&) = delete;
    CLogTail& operator=(const CLogTail&) = delete;

    // What was logged since the object was made (or Restart).
    std::string Text() const {
        const std::string all = FileText();
        return all.size() > m_from ? all.substr(m_from) : std::string();
    }
    // How often what appears in it.
    int Count(const std::string& what) const {
        const std::string text = Text();
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    // Counts from now on.
    void Restart() { m_from = FileText().size(); }

    // The whole log file.
    static std::string FileText() {
        const char* home = getenv("HOME");
        if (!home) return std::string();
        FILE* f = fopen((std::string(home) + "/.VORN/kyrcamerasdk/kyrcamerasdk.log").c_str(), "r");
        std::string text;
        if (!f) return text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
        fclose(f);
        return text;
    }

  private:
    size_t m_from;
};

#endif

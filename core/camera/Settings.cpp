// Settings store on TinyXML: the registry-style XML helpers and the camera
// object's InitSubKey, LoadSetting and SaveSetting.
//
// Files are loaded by our own reader (size limit, nesting scan, then TinyXML's
// parser) and written by our own writer: TinyXML prints the document into
// memory, the text goes into a fresh temporary file in .VORN, which is synced
// and renamed over KYRconfig.xml. The old file therefore stays whole until the
// new one is complete, and a link planted at the file's name is replaced, never
// written through.
#include "camera/Settings.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <tinyxml.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "camera/CameraBase.h"
#include "platform/HomeDir.h"
#include "platform/Log.h"
#include "platform/Platform.h"

namespace {

// Value types of the store: a 32-bit number, or bytes.
constexpr int kTypeInt32 = 4;
constexpr int kTypeBytes = 3;

// Suffixes of the files beside KYRconfig.xml. The temporary name's Xs are
// replaced by mkostemp.
constexpr const char kBadSuffix[] = ".bad";
constexpr const char kTempSuffix[] = ".tmpXXXXXX";
// Room left after HOME/.VORN/ for a file name with either suffix.
constexpr size_t kFileNameRoom = 64;

// Bytes of m_pszSubKey, "software\<short name>" with its terminator.
constexpr int kSubKeyBytes = 256;

// Bytes read per call while loading.
constexpr size_t kReadChunk = 65536;

// Serialises every settings transaction of the process (load the file, change
// the document, write it back): without it two cameras saving at once would
// each rewrite the file from the same old contents and one update would be
// lost. A plain pthread mutex has no destructor, so it outlives every static.
pthread_mutex_t g_SettingsMutex = PTHREAD_MUTEX_INITIALIZER;

class CSettingsLock {
  public:
    CSettingsLock() { pthread_mutex_lock(&g_SettingsMutex); }
    ~CSettingsLock() { pthread_mutex_unlock(&g_SettingsMutex); }
    CSettingsLock(const CSettingsLock&) = delete;
    CSettingsLock& operator=(const CSettingsLock&) = delete;
};

std::atomic<KyrSettingsWriteFn> g_pfnWrite{nullptr};

// ---- Nesting scan ---------------------------------------------------------------
//
// TinyXML's parser recurses once per nested element, and so do its destructor
// and printer, so a file of a few hundred thousand nested elements overflows
// the stack. This scan follows the parser's tokenising (text, entities, tags,
// attribute quoting, comments, CDATA, declarations and unknown "<...>" nodes)
// without recursion and reports the deepest nesting it would reach. Where the
// parser could skip bytes that the scan cannot follow exactly (malformed UTF-8
// sequences, numeric character references of unusual shape, non-ASCII bytes
// inside a tag) or where the parser would report an error, the scan refuses
// the text rather than guess.

class CXmlDepthScan {
  public:
    explicit CXmlDepthScan(const char* text) : m_p(reinterpret_cast<const unsigned char*>(text)) {}

    int Run() {
        if (!Utf8WellFormed()) return -1;
        // Document level: whitespace, then nodes; anything else ends the parse.
        for (;;) {
            SkipSpace();
            if (*m_p != '<') return m_iMax;
            if (!Node()) return -1;
        }
    }

  private:
    static bool IsSpace(unsigned char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    }
    static bool IsAsciiAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
    static bool IsHex(unsigned char c) {
        return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    static bool IsNameChar(unsigned char c) {
        return IsAsciiAlpha(c) || IsDigit(c) || c == '_' || c == '-' || c == '.' || c == ':';
    }

    bool StartsWith(const char* s) const {
        return strncmp(reinterpret_cast<const char*>(m_p), s, strlen(s)) == 0;
    }
    bool StartsWithNoCase(const char* s) const {
        return strncasecmp(reinterpret_cast<const char*>(m_p), s, strlen(s)) == 0;
    }

    // Every lead byte must be followed by as many continuation bytes as the
    // parser could take with it, so that no multi-byte skip swallows markup
    // or the terminator.
    bool Utf8WellFormed() const {
        for (const unsigned char* p = m_p; *p; ++p) {
            int follow = *p >= 0xF0 ? 3 : *p >= 0xE0 ? 2 : *p >= 0xC0 ? 1 : 0;
            for (int i = 0; i < follow; ++i) {
                if (p[1] < 0x80 || p[1] > 0xBF) return false;
                ++p;
            }
        }
        return true;
    }

    // Whitespace as the parser skips it, with the UTF-8 byte-order marks it
    // also skips.
    void SkipSpace() {
        for (;;) {
            if (m_p[0] == 0xEF && ((m_p[1] == 0xBB && m_p[2] == 0xBF) || (m_p[1] == 0xBF && m_p[2] == 0xBE) ||
                                   (m_p[1] == 0xBF && m_p[2] == 0xBF))) {
                m_p += 3;
            } else if (*m_p && IsSpace(*m_p)) {
                ++m_p;
            } else {
                return;
            }
        }
    }

    // Moves past the first occurrence of s; at the end of the text when there
    // is none (the parser runs to the end as well).
    void SkipPast(const char* s) {
        const char* hit = strstr(reinterpret_cast<const char*>(m_p), s);
        if (!hit) {
            m_p += strlen(reinterpret_cast<const char*>(m_p));
            return;
        }
        m_p = reinterpret_cast<const unsigned char*>(hit) + strlen(s);
    }

    // One character of text or of a quoted value. '&#' starts a numeric
    // reference, which the parser resolves by searching for the next ';'; only
    // the plain forms "&#x<hex>;" and "&#<digits>;" are followed.
    bool TextChar() {
        if (m_p[0] == '&' && m_p[1] == '#' && m_p[2]) {
            const unsigned char* q = m_p + 2;
            bool hex = *q == 'x';
            if (hex) ++q;
            const unsigned char* digits = q;
            while (hex ? IsHex(*q) : IsDigit(*q)) ++q;
            if (q == digits || *q != ';') return false;
            m_p = q + 1;
            return true;
        }
        ++m_p;
        return true;
    }

    // Names inside tags: ASCII only.
    bool Name() {
        if (!(IsAsciiAlpha(*m_p) || *m_p == '_')) return false;
        while (IsNameChar(*m_p)) ++m_p;
        return true;
    }

    // name = "value" | 'value' | value
    bool Attribute() {
        if (!Name()) return false;
        SkipSpace();
        if (*m_p != '=') return false;
        ++m_p;
        SkipSpace();
        unsigned char quote = *m_p;
        if (quote == '"' || quote == '\'') {
            ++m_p;
            while (*m_p && *m_p != quote) {
                if (!TextChar()) return false;
            }
            if (!*m_p) return false;
            ++m_p;
            return *m_p != 0;  // the parser fails when the text ends here
        }
        while (*m_p && !IsSpace(*m_p) && *m_p != '/' && *m_p != '>') {
            if (*m_p == '"' || *m_p == '\'' || *m_p >= 0x7F) return false;
            ++m_p;
        }
        return true;
    }

    // "<?xml" declaration, after its first five characters.
    bool Declaration() {
        for (;;) {
            if (!*m_p) return false;
            if (*m_p == '>') {
                ++m_p;
                return true;
            }
            SkipSpace();
            if (StartsWithNoCase("version") || StartsWithNoCase("encoding") ||
                StartsWithNoCase("standalone")) {
                if (!Attribute()) return false;
            } else {
                while (*m_p && *m_p != '>' && !IsSpace(*m_p)) {
                    if (*m_p >= 0x7F) return false;
                    ++m_p;
                }
            }
        }
    }

    // One node starting at '<' (not "</"). Elements are followed into their
    // content without recursion: m_iDepth counts the open ones.
    bool Node() {
        if (StartsWithNoCase("<?xml")) {
            m_p += 5;
            return Declaration();
        }
        if (StartsWith("<!--")) {
            m_p += 4;
            SkipPast("-->");
            return true;
        }
        if (StartsWith("<![CDATA[")) {
            m_p += 9;
            SkipPast("]]>");
            return true;
        }
        if (m_p[1] == '!' || !(IsAsciiAlpha(m_p[1]) || m_p[1] == '_' || m_p[1] >= 0x7F)) {
            SkipPast(">");  // an unknown node runs to the first '>'
            return true;
        }
        return Element();
    }

    bool Element() {
        const int outer = m_iDepth;
        for (;;) {
            // At a start tag.
            ++m_p;
            if (!Name()) return false;
            if (m_iDepth + 1 > m_iMax) m_iMax = m_iDepth + 1;
            bool open = false;
            for (;;) {
                SkipSpace();
                if (*m_p == '/') {
                    if (m_p[1] != '>') return false;
                    m_p += 2;
                    break;
                }
                if (*m_p == '>') {
                    ++m_p;
                    open = true;
                    break;
                }
                if (!Attribute()) return false;
            }
            if (open) {
                if (++m_iDepth > kConfigMaxDepth) {
                    m_iMax = m_iDepth;
                    return true;  // deep enough to refuse; no need to read on
                }
            }
            // Content of the innermost open element, until the next start tag.
            for (;;) {
                if (m_iDepth == outer) return true;
                SkipSpace();
                if (!*m_p) return true;  // the parser fails at the end of the text
                if (*m_p != '<') {
                    while (*m_p && *m_p != '<') {
                        if (!TextChar()) return false;
                    }
                    continue;
                }
                if (m_p[1] == '/') {
                    m_p += 2;
                    while (IsNameChar(*m_p)) ++m_p;
                    SkipSpace();
                    if (*m_p != '>') return false;
                    ++m_p;
                    --m_iDepth;
                    continue;
                }
                if (StartsWithNoCase("<?xml") || StartsWith("<!") ||
                    !(IsAsciiAlpha(m_p[1]) || m_p[1] == '_' || m_p[1] >= 0x7F)) {
                    if (!Node()) return false;
                    continue;
                }
                break;  // a nested start tag
            }
        }
    }

    const unsigned char* m_p;
    int m_iDepth = 0;
    int m_iMax = 0;
};

// ---- Paths ------------------------------------------------------------------------

// dir + name + suffix into out; false when it does not fit.
bool BuildPath(char* out, size_t cap, const char* dir, const char* name, const char* suffix) {
    int n = snprintf(out, cap, "%s%s%s", dir, name, suffix);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// The settings file's full path for fileName; false (logged) when no home is
// known or the path does not fit.
bool ConfigFilePath(const char* fileName, char* path, size_t cap) {
    char dir[kConfigPathBytes];
    if (!initConfigSaveDir(dir, sizeof(dir) - kFileNameRoom)) return false;
    char longest[kConfigPathBytes];
    if (!BuildPath(path, cap, dir, fileName, "") ||
        !BuildPath(longest, sizeof(longest), dir, fileName, kTempSuffix)) {
        DbgPrint(-1, "ConfigFilePath", "path too long\n");
        return false;
    }
    return true;
}

// ---- Loading ----------------------------------------------------------------------

enum ELoadResult {
    LOAD_OK,
    LOAD_MISSING,   // no file of that name
    LOAD_BAD,       // a file that cannot be loaded: kept aside as .bad before a new one is written
    LOAD_NOT_FILE,  // something that is not a regular file (a directory, a device)
};

// Reads and parses the file at path into doc. On failure why holds a reason.
ELoadResult LoadDocument(const char* path, TiXmlDocument* doc, std::string* why) {
    // O_NONBLOCK: a FIFO planted at the name must not block the open.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        *why = strerror(err);
        return err == ENOENT ? LOAD_MISSING : LOAD_BAD;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
        close(fd);
        return LOAD_BAD;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        close(fd);
        return LOAD_NOT_FILE;
    }
    if (st.st_size > kConfigMaxFileBytes) {
        *why = "file larger than 1 MiB";
        close(fd);
        return LOAD_BAD;
    }
    // Read to the end, also when the file has grown since the fstat.
    std::string text;
    text.reserve(static_cast<size_t>(st.st_size) + 1);
    char chunk[kReadChunk];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = strerror(errno);
            close(fd);
            return LOAD_BAD;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kConfigMaxFileBytes)) {
            *why = "file larger than 1 MiB";
            close(fd);
            return LOAD_BAD;
        }
    }
    close(fd);

    // Line ends as TinyXML's own file loader gives them to the parser: CR LF
    // and a lone CR become LF.
    std::string normal;
    normal.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normal.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            normal.push_back(text[i]);
        }
    }

    int depth = XMLScanDepth(normal.c_str());
    if (depth < 0) {
        *why = "markup the parser cannot read safely";
        return LOAD_BAD;
    }
    if (depth > kConfigMaxDepth) {
        *why = "elements nested too deeply";
        return LOAD_BAD;
    }
    doc->Parse(normal.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (doc->Error()) {
        *why = doc->ErrorDesc();
        return LOAD_BAD;
    }
    return LOAD_OK;
}

// ---- Writing ----------------------------------------------------------------------

ssize_t WriteSome(int fd, const void* buf, size_t len) {
    KyrSettingsWriteFn fn = g_pfnWrite.load();
    return fn ? fn(fd, buf, len) : write(fd, buf, len);
}

bool WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = WriteSome(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Prints doc with TinyXML's printer into a new temporary file beside path,
// syncs it and renames it over path. On any failure the temporary file is
// removed and path is left as it was.
bool SaveDocument(const TiXmlDocument* doc, const char* path) {
    char* text = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&text, &len);
    if (!mem) return false;
    doc->Print(mem, 0);
    bool printed = ferror(mem) == 0;
    if (fclose(mem) != 0) printed = false;
    std::unique_ptr<char, decltype(&free)> holder(text, &free);
    if (!printed || !text) return false;

    char temp[kConfigPathBytes];
    if (!BuildPath(temp, sizeof(temp), path, kTempSuffix, "")) return false;
    // Created exclusively (O_EXCL): never opens an existing file or a link.
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        DbgPrint(-1, "SaveDocument", "create %s: %s\n", temp, strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0;
    if (ok) ok = WriteAll(fd, text, len);
    if (ok) ok = fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(temp, path) == 0;
    if (!ok) {
        DbgPrint(-1, "SaveDocument", "%s: %s\n", path, strerror(errno));
        unlink(temp);
    }
    return ok;
}

// ---- Names and documents ------------------------------------------------------------

bool IsCleaned(unsigned char c) {
    return (c >= 0x20 && c <= 0x2C) || (c >= 0x3A && c <= 0x40) || c == 0x5B || c == 0x5D || c == 0x5E ||
           c == 0x60 || (c >= 0x7B && c <= 0x7E);
}

// The local time as "YYYYMMDD_hhmmss".
void FormatDate(char* buf, size_t cap) {
    time_t now = time(nullptr);
    struct tm tmNow;
    if (!localtime_r(&now, &tmNow)) memset(&tmNow, 0, sizeof(tmNow));
    snprintf(buf, cap, "%04d%02d%02d_%02d%02d%02d", tmNow.tm_year + 1900, tmNow.tm_mon + 1, tmNow.tm_mday,
             tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
}

// The cleaned, split key path; count -1 when a name is too long.
struct SFolders {
    int iCount = 0;
    std::unique_ptr<char[][kFolderNameBytes]> pNames;
};

SFolders SplitKeyPath(const char* keyPath) {
    SFolders folders;
    std::string cleaned(keyPath);
    clearSpace(&cleaned[0]);
    folders.iCount = getFolderName(cleaned.c_str(), nullptr);
    if (folders.iCount > 0) {
        folders.pNames.reset(new char[folders.iCount][kFolderNameBytes]);
        getFolderName(cleaned.c_str(), folders.pNames.get());
    }
    return folders;
}

// Decimal attribute text, the whole of it.
bool ParseInt(const char* text, int* out) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ---- The registry-style helpers ------------------------------------------------------

int initConfigSaveDir(char* path, size_t cap) {
    if (!path || cap == 0) return 0;
    path[0] = '\0';
    char home[kConfigPathBytes];
    if (!GetHomeDir(home, sizeof(home))) {
        DbgPrint(-1, "initConfigSaveDir", "get home path err\n");
        return 0;
    }
    int n = snprintf(path, cap, "%s/.VORN/", home);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        path[0] = '\0';
        DbgPrint(-1, "initConfigSaveDir", "get home path err\n");
        return 0;
    }
    struct stat st;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 1;  // an existing directory keeps its mode
        DbgPrint(-1, "initConfigSaveDir", "mkdir err\n");
        return 0;
    }
    if (MakeDir0755(path) < 0) {
        DbgPrint(-1, "initConfigSaveDir", "mkdir err\n");
        return 0;
    }
    return 1;
}

int getFolderName(const char* path, char (*names)[kFolderNameBytes]) {
    if (!path) return 0;
    int count = 0;
    const char* p = path;
    for (;;) {
        while (*p == '\\' || *p == '/') ++p;
        if (!*p) return count;
        const char* start = p;
        while (*p && *p != '\\' && *p != '/') ++p;
        size_t len = static_cast<size_t>(p - start);
        if (len >= kFolderNameBytes) return -1;
        if (names) {
            memcpy(names[count], start, len);
            names[count][len] = '\0';
        }
        ++count;
    }
}

void clearSpace(char* name) {
    if (!name) return;
    for (; *name; ++name) {
        if (IsCleaned(static_cast<unsigned char>(*name))) *name = '_';
    }
}

// Clears the handle and builds the settings file's path: the common start of
// opening and creating a key.
static bool BeginKey(const char* fileName, const char* keyPath, xmlHandle* h, char* path, size_t cap) {
    if (!h) return false;
    h->pDoc = nullptr;
    h->pNode = nullptr;
    return fileName && keyPath && ConfigFilePath(fileName, path, cap);
}

int XMLOpenKey(const char* fileName, const char* keyPath, xmlHandle* h) {
    char path[kConfigPathBytes];
    if (!BeginKey(fileName, keyPath, h, path, sizeof(path))) return 0;

    TiXmlDocument* doc = new TiXmlDocument();
    std::string why;
    if (LoadDocument(path, doc, &why) != LOAD_OK) {
        DbgPrint(-1, "XMLOpenKey", "Could not load test file %s. Error='%s'. Exiting.\n", path, why.c_str());
        delete doc;
        return 0;
    }
    doc->SetValue(path);

    SFolders folders = SplitKeyPath(keyPath);
    if (folders.iCount < 0 || folders.iCount >= kConfigMaxDepth) {
        DbgPrint(-1, "XMLOpenKey", "bad key path\n");
        delete doc;
        return 0;
    }
    TiXmlNode* node = doc;
    for (int i = 0; i < folders.iCount; ++i) {
        node = node->FirstChildElement(folders.pNames[i]);
        if (!node) {
            DbgPrint(-1, "XMLOpenKey", "find child err\n");
            delete doc;
            return 0;
        }
    }
    h->pDoc = doc;
    h->pNode = node;
    return 1;
}

int XMLCreateKey(const char* fileName, const char* keyPath, xmlHandle* h, const char* attr) {
    char path[kConfigPathBytes];
    if (!BeginKey(fileName, keyPath, h, path, sizeof(path))) return 0;

    SFolders folders = SplitKeyPath(keyPath);
    if (folders.iCount <= 0 || folders.iCount >= kConfigMaxDepth) {
        DbgPrint(-1, "XMLCreateKey", "bad key path\n");
        return 0;
    }

    TiXmlDocument* doc = new TiXmlDocument();
    std::string why;
    ELoadResult result = LoadDocument(path, doc, &why);
    if (result != LOAD_OK) {
        DbgPrint(-1, "XMLCreateKey", "Could not load test file %s. Error='%s'. Create new.\n", path,
                 why.c_str());
        if (result == LOAD_BAD) {
            // Keep the unloadable file for the user instead of overwriting it.
            char bad[kConfigPathBytes];
            if (!BuildPath(bad, sizeof(bad), path, kBadSuffix, "") || rename(path, bad) != 0) {
                DbgPrint(-1, "XMLCreateKey", "cannot keep %s aside: %s\n", path, strerror(errno));
                delete doc;
                return 0;
            }
        }
        delete doc;
        doc = new TiXmlDocument();
        doc->LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    }
    doc->SetValue(path);

    TiXmlNode* node = doc;
    for (int i = 0; i < folders.iCount; ++i) {
        TiXmlElement* child = node->FirstChildElement(folders.pNames[i]);
        if (!child) {
            child = new TiXmlElement(folders.pNames[i]);
            char date[32];
            FormatDate(date, sizeof(date));
            child->SetAttribute("date", date);
            if (attr && i == folders.iCount - 1) child->SetAttribute("attr", attr);
            node->LinkEndChild(child);
        }
        node = child;
    }
    h->pDoc = doc;
    h->pNode = node;
    return 1;
}

void XMLSetValueEx(xmlHandle h, const char* name, const int* attr, int type, const uint8_t* data,
                   int length) {
    if (!h.pDoc || !h.pNode || !name || !data || length < 1) return;
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(static_cast<size_t>(length) * 2);
    for (int i = 0; i < length; ++i) {
        hex.push_back(kDigits[data[i] >> 4]);
        hex.push_back(kDigits[data[i] & 0x0F]);
    }
    std::string cleaned(name);
    clearSpace(&cleaned[0]);

    // One pass over the whole folder: malformed children go wherever they are,
    // so none can shadow the value or make it appear twice.
    TiXmlElement* found = nullptr;
    for (TiXmlNode* child = h.pNode->FirstChild(); child;) {
        TiXmlNode* next = child->NextSibling();
        TiXmlElement* el = child->ToElement();
        if (!el || !el->Attribute("type") || !el->GetText()) {
            DbgPrint(-1, "XMLSetValueEx", "content error, remove item\n");
            h.pNode->RemoveChild(child);
        } else if (!found && cleaned == el->Value()) {
            found = el;
        }
        child = next;
    }
    if (!found) {
        found = new TiXmlElement(cleaned.c_str());
        h.pNode->LinkEndChild(found);
    }
    found->Clear();
    found->LinkEndChild(new TiXmlText(hex.c_str()));
    found->SetAttribute("type", type);
    if (attr) found->SetAttribute("attr", *attr);
}

int XMLQueryValueEx(xmlHandle h, const char* name, int* attr, int* type, uint8_t* data, int* length) {
    if (!h.pDoc || !h.pNode || !name || !type || !length) return 0;
    std::string cleaned(name);
    clearSpace(&cleaned[0]);
    const TiXmlElement* el = h.pNode->FirstChildElement(cleaned.c_str());
    if (!el) return 0;
    int attrValue = 0;
    if (attr && ParseInt(el->Attribute("attr"), &attrValue)) *attr = attrValue;
    const char* text = el->GetText();
    int typeValue = 0;
    if (!text || !ParseInt(el->Attribute("type"), &typeValue)) return 0;
    size_t len = strlen(text);
    if (len % 2 != 0) return 0;
    for (size_t i = 0; i < len; ++i) {
        if (HexValue(text[i]) < 0) return 0;
    }
    size_t bytes = len / 2;
    if (bytes > static_cast<size_t>(INT_MAX)) return 0;
    if (data) {
        if (*length < 0 || bytes > static_cast<size_t>(*length)) return 0;
        for (size_t i = 0; i < bytes; ++i) {
            data[i] = static_cast<uint8_t>(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1]));
        }
    }
    *type = typeValue;
    *length = static_cast<int>(bytes);
    return 1;
}

int XMLCloseKey(xmlHandle* h) {
    if (!h) return 0;
    int saved = 0;
    if (h->pDoc) {
        saved = SaveDocument(h->pDoc, h->pDoc->Value()) ? 1 : 0;
        if (!saved) DbgPrint(-1, "XMLCloseKey", "Reg Save failed\n");
        delete h->pDoc;
    }
    h->pDoc = nullptr;
    h->pNode = nullptr;
    return saved;
}

int XMLScanDepth(const char* text) {
    if (!text) return -1;
    return CXmlDepthScan(text).Run();
}

void SetSettingsWriteForTest(KyrSettingsWriteFn fn) { g_pfnWrite.store(fn); }

// ---- The camera object's settings ------------------------------------------------------

namespace {

// One stored value as read from the file; bFound only when it had the key's
// exact type and width.
struct SStoredValue {
    bool bFound = false;
    int32_t iValue = 0;
};

struct SStoredSettings {
    SStoredValue exposure, gain, brightness, fclk, fpsUSB3, fpsUSB2, coolPower, targetTemp, overCLK, pattern,
        autoGainMax, destBrightness, wbRed, wbBlue, autoExpMaxMs, autoExpMax;
    SStoredValue libusbLog, autoBL, oo, ee, oe, eo, flipRow, flipColumn, autoFPS, autoExp, autoGain, autoWB,
        rawOutput, highSpeed, hpc, hardwareBin, cutDark, debugPrint;
    bool bHavePath = false;
    char szPath[kBMPPathBytes] = {};
};

struct SLoadKey {
    const char* szName;
    bool bByte;  // 1 byte of type 3; else 4 bytes of type 4
    SStoredValue SStoredSettings::*pValue;
};

// The keys in the order LoadSetting reads them.
const SLoadKey kLoadKeys[] = {
    {"Exposure", false, &SStoredSettings::exposure},
    {"Gain", false, &SStoredSettings::gain},
    {"Brightness", false, &SStoredSettings::brightness},
    {"Fclk", false, &SStoredSettings::fclk},
    {"FPSPercentageUSB3", false, &SStoredSettings::fpsUSB3},
    {"FPSPercentageUSB2", false, &SStoredSettings::fpsUSB2},
    {"CoolPowerPctg", false, &SStoredSettings::coolPower},
    {"TargetTemp", false, &SStoredSettings::targetTemp},
    {"OverCLKPerc", false, &SStoredSettings::overCLK},
    {"Pattern", false, &SStoredSettings::pattern},
    {"AutoGainMax", false, &SStoredSettings::autoGainMax},
    {"DestBrightness", false, &SStoredSettings::destBrightness},
    {"WB_Red", false, &SStoredSettings::wbRed},
    {"WB_Blue", false, &SStoredSettings::wbBlue},
    {"AutoExpMaxMs", false, &SStoredSettings::autoExpMaxMs},
    {"AutoExpMax", false, &SStoredSettings::autoExpMax},
    {"LibusbLogLever", true, &SStoredSettings::libusbLog},
    {"AutoBL", true, &SStoredSettings::autoBL},
    {"OO", true, &SStoredSettings::oo},
    {"EE", true, &SStoredSettings::ee},
    {"OE", true, &SStoredSettings::oe},
    {"EO", true, &SStoredSettings::eo},
    {"FlipRow", true, &SStoredSettings::flipRow},
    {"FlipColumn", true, &SStoredSettings::flipColumn},
    {"AutoFPS", true, &SStoredSettings::autoFPS},
    {"AutoExp", true, &SStoredSettings::autoExp},
    {"AutoGain", true, &SStoredSettings::autoGain},
    {"AutoWB", true, &SStoredSettings::autoWB},
    {"RawOutput", true, &SStoredSettings::rawOutput},
    {"HighSpeed", true, &SStoredSettings::highSpeed},
    {"HPC", true, &SStoredSettings::hpc},
    {"HardwareBin", true, &SStoredSettings::hardwareBin},
    {"CutDark", true, &SStoredSettings::cutDark},
    {"DebugPrint", true, &SStoredSettings::debugPrint},
};

// Stored exposures above this are loaded as this (µs).
constexpr int64_t kLoadExpCapUs = 100000;
// Ranges of the controls whose limits are fixed.
constexpr int kTargetTempMin = -40, kTargetTempMax = 30;
constexpr int kCoolPowerMin = 0, kCoolPowerMax = 100;
constexpr int kDestBrightnessMin = 50, kDestBrightnessMax = 160;
constexpr int kOverCLKMin = 0, kOverCLKMax = 30;
constexpr int kLibusbLogMin = 0, kLibusbLogMax = 4;
// The auto-exposure maximum in ms: 1 up to the exposure maximum in ms, or this
// when the exposure maximum reaches kAutoExpMsCapFromUs.
constexpr int kAutoExpMaxMsMin = 1;
constexpr int kAutoExpMaxMsCap = 60000;
constexpr int kAutoExpMsCapFromUs = 60000000;

void ReadValue(xmlHandle h, const SLoadKey& key, SStoredValue* out) {
    uint8_t buf[4] = {0, 0, 0, 0};
    int type = 0;
    int len = key.bByte ? 1 : 4;
    if (!XMLQueryValueEx(h, key.szName, nullptr, &type, buf, &len)) return;
    if (key.bByte) {
        if (type != kTypeBytes || len != 1) return;
        out->iValue = buf[0];
    } else {
        if (type != kTypeInt32 || len != 4) return;
        memcpy(&out->iValue, buf, sizeof(out->iValue));
    }
    out->bFound = true;
}

void ReadPath(xmlHandle h, SStoredSettings* stored) {
    uint8_t buf[kBMPPathBytes - 1];
    int type = 0;
    int len = sizeof(buf);
    if (!XMLQueryValueEx(h, "BMPPATH", nullptr, &type, buf, &len)) return;
    if (type != kTypeBytes || len < 1 || len > static_cast<int>(sizeof(buf))) return;
    if (memchr(buf, 0, static_cast<size_t>(len))) return;  // a zero inside would cut the path
    memcpy(stored->szPath, buf, static_cast<size_t>(len));
    stored->szPath[len] = '\0';
    stored->bHavePath = true;
}

// v clamped to [lo, hi] into *out; false (nothing stored) when hi < lo: the
// model does not have that control.
template <class T>
bool ClampInto(int64_t v, int64_t lo, int64_t hi, T* out) {
    if (hi < lo) return false;
    *out = static_cast<int>(v < lo ? lo : v > hi ? hi : v);
    return true;
}

// The float truncated to an int, without undefined behaviour at the extremes.
int32_t TruncToInt32(float f) {
    if (!(f == f)) return 0;
    if (f >= 2147483647.0f) return INT32_MAX;
    if (f <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(f);
}

// One value to save.
struct SSaveValue {
    const char* szName;
    bool bByte;
    int32_t iValue;
};

void WriteValue(xmlHandle h, const SSaveValue& v) {
    if (v.bByte) {
        uint8_t b = static_cast<uint8_t>(v.iValue);
        XMLSetValueEx(h, v.szName, nullptr, kTypeBytes, &b, 1);
    } else {
        uint8_t buf[4];
        memcpy(buf, &v.iValue, sizeof(buf));
        XMLSetValueEx(h, v.szName, nullptr, kTypeInt32, buf, 4);
    }
}

// Puts the stored values into the camera object, each clamped to its
// control's range with the limits the driver constructor has set.
void ApplyStoredSettings(CCameraBase& cam, const SStoredSettings& s) {
    int v = 0;
    if (s.exposure.bFound) {
        int64_t hi = cam.m_iExpMax < kLoadExpCapUs ? cam.m_iExpMax : kLoadExpCapUs;
        int64_t us = static_cast<uint32_t>(s.exposure.iValue);
        if (ClampInto(us, cam.m_iExpMin, hi, &v)) cam.m_lExpTimeUs = static_cast<uint64_t>(v);
    }
    if (s.gain.bFound && ClampInto(s.gain.iValue, cam.m_iGainMin, cam.m_iGainMax, &v)) cam.m_iGain = v;
    if (s.brightness.bFound)
        ClampInto(s.brightness.iValue, cam.m_iOffsetMin, cam.m_iOffsetMax, &cam.m_iBrightness);
    // The clock divides line times: only a positive one is taken.
    if (s.fclk.bFound && s.fclk.iValue > 0) cam.m_iFclk = s.fclk.iValue;
    if (s.fpsUSB3.bFound)
        ClampInto(s.fpsUSB3.iValue, cam.m_iBandWidthMin, cam.m_iBandWidthMax, &cam.m_iFPSPercUSB3Def);
    if (s.fpsUSB2.bFound)
        ClampInto(s.fpsUSB2.iValue, cam.m_iBandWidthMin, cam.m_iBandWidthMax, &cam.m_iFPSPerc);
    // A missing cooler power means 0.
    int power = 0;
    if (s.coolPower.bFound) ClampInto(s.coolPower.iValue, kCoolPowerMin, kCoolPowerMax, &power);
    cam.m_fCoolPowerPerc = static_cast<float>(power);
    if (s.targetTemp.bFound && ClampInto(s.targetTemp.iValue, kTargetTempMin, kTargetTempMax, &v))
        cam.m_iTargetTemp = v;
    if (s.overCLK.bFound) ClampInto(s.overCLK.iValue, kOverCLKMin, kOverCLKMax, &cam.m_iOverCLKPerc);
    if (s.pattern.bFound) ClampInto(s.pattern.iValue, cam.m_iPatternMin, cam.m_iPatternMax, &cam.m_iPattern);
    if (s.autoGainMax.bFound && ClampInto(s.autoGainMax.iValue, cam.m_iGainMin, cam.m_iGainMax, &v)) {
        cam.m_iAutoGainMax = v;
    }
    if (s.destBrightness.bFound &&
        ClampInto(s.destBrightness.iValue, kDestBrightnessMin, kDestBrightnessMax, &v)) {
        cam.m_iDestBrightness = v;
    }
    if (s.wbRed.bFound && ClampInto(s.wbRed.iValue, cam.m_iWBMin, cam.m_iWBMax, &v)) cam.m_iWBRed = v;
    if (s.wbBlue.bFound && ClampInto(s.wbBlue.iValue, cam.m_iWBMin, cam.m_iWBMax, &v)) cam.m_iWBBlue = v;
    // The older key held seconds.
    bool bHaveAutoExp = s.autoExpMaxMs.bFound || s.autoExpMax.bFound;
    int64_t autoExpMs = s.autoExpMaxMs.bFound ? s.autoExpMaxMs.iValue : int64_t{s.autoExpMax.iValue} * 1000;
    int64_t autoExpHi = cam.m_iExpMax >= kAutoExpMsCapFromUs ? kAutoExpMaxMsCap : cam.m_iExpMax / 1000;
    if (bHaveAutoExp && ClampInto(autoExpMs, kAutoExpMaxMsMin, autoExpHi, &v)) cam.m_iAutoExpMaxMs = v;
    if (s.libusbLog.bFound)
        ClampInto(s.libusbLog.iValue, kLibusbLogMin, kLibusbLogMax, &cam.m_iLibusbLogLevel);
    if (s.autoBL.bFound) cam.m_bAutoBL = s.autoBL.iValue != 0;
    if (s.ee.bFound) cam.m_ucChanOffset[0] = static_cast<uint8_t>(s.ee.iValue);
    if (s.oo.bFound) cam.m_ucChanOffset[1] = static_cast<uint8_t>(s.oo.iValue);
    if (s.eo.bFound) cam.m_ucChanOffset[2] = static_cast<uint8_t>(s.eo.iValue);
    if (s.oe.bFound) cam.m_ucChanOffset[3] = static_cast<uint8_t>(s.oe.iValue);
    if (s.flipRow.bFound) cam.m_bFlipRow = s.flipRow.iValue != 0;
    if (s.flipColumn.bFound) cam.m_bFlipColumn = s.flipColumn.iValue != 0;
    if (s.autoFPS.bFound) cam.m_bAutoFPS = s.autoFPS.iValue != 0;
    if (s.autoExp.bFound) cam.m_bAutoExp = s.autoExp.iValue != 0;
    if (s.autoGain.bFound) cam.m_bAutoGain = s.autoGain.iValue != 0;
    if (s.autoWB.bFound) cam.m_bAutoWB = s.autoWB.iValue != 0;
    if (s.rawOutput.bFound) cam.m_bRawOutput = s.rawOutput.iValue != 0;
    if (s.highSpeed.bFound) cam.m_bHighSpeed = s.highSpeed.iValue != 0;
    if (s.hpc.bFound) cam.m_bHPCOn = s.hpc.iValue != 0;
    if (s.hardwareBin.bFound) cam.m_bHardwareBin = s.hardwareBin.iValue != 0;
    if (s.cutDark.bFound) cam.m_bCutDark = s.cutDark.iValue != 0;
    if (s.debugPrint.bFound) cam.m_bDebugPrint = s.debugPrint.iValue != 0;
    // The stored switch turns debug output on, never off what a caller turned on.
    if (!g_bDebugPrint) g_bDebugPrint = cam.m_bDebugPrint.load();
    if (s.bHavePath) {
        memset(cam.m_szBMPPath, 0, sizeof(cam.m_szBMPPath));
        memcpy(cam.m_szBMPPath, s.szPath, sizeof(cam.m_szBMPPath));
    }
}

}  // namespace

void CCameraBase::InitSubKey() {
    if (m_pszSubKey) return;
    if (!m_pszShortName || !*m_pszShortName) {
        DbgPrint(-1, "InitSubKey", "no short name\n");
        return;
    }
    char* key = new char[kSubKeyBytes];
    int n = snprintf(key, kSubKeyBytes, "software\\%s", m_pszShortName);
    if (n < 0 || n >= kSubKeyBytes) {
        // A cut name could be another model's key.
        DbgPrint(-1, "InitSubKey", "short name too long\n");
        delete[] key;
        return;
    }
    m_pszSubKey = key;
}

bool CCameraBase::LoadSetting() {
    std::string subKey;
    {
        CCritSecLock lock(m_csControl);
        InitSubKey();
        if (m_pszSubKey) subKey = m_pszSubKey;
    }

    bool bLoaded = false;
    SStoredSettings stored;
    if (!subKey.empty()) {
        CSettingsLock lock;
        xmlHandle h = {nullptr, nullptr};
        if (XMLOpenKey(KYR_CONFIG_FILE_NAME, subKey.c_str(), &h)) {
            for (const SLoadKey& key : kLoadKeys) ReadValue(h, key, &(stored.*key.pValue));
            ReadPath(h, &stored);
            XMLCloseKey(&h);
            DbgPrint(-1, "LoadSetting", "LoadSetting\n");
            bLoaded = true;
        }
    }

    char szDarkPath[kBMPPathBytes] = {};
    bool bCutDark = false;
    {
        CCritSecLock lock(m_csControl);
        if (bLoaded) ApplyStoredSettings(*this, stored);
        bCutDark = m_bCutDark;
        if (bCutDark) {
            m_iBin = 1;
            m_iWidth = m_iMaxWidth;
            m_iHeight = m_iMaxHeight;
            memcpy(szDarkPath, m_szBMPPath, sizeof(szDarkPath));
            szDarkPath[sizeof(szDarkPath) - 1] = '\0';
        }
    }
    // A copy: the loader writes the path it loaded into m_szBMPPath.
    if (bCutDark) LoadBMPFromFile(szDarkPath);
    return bLoaded;
}

bool CCameraBase::SaveSetting() {
    // The values are taken under the control lock; the file is written under
    // the settings lock only, so a slow disk never holds up the camera's threads.
    std::string subKey;
    SSaveValue values[32];
    char szPath[kBMPPathBytes] = {};
    {
        CCritSecLock lock(m_csControl);
        InitSubKey();
        if (!m_pszSubKey) return false;
        subKey = m_pszSubKey;
        const uint64_t exposure = m_lExpTimeUs;
        const SSaveValue saveOrder[] = {
            {"Exposure", false, static_cast<int32_t>(static_cast<uint32_t>(exposure))},
            {"Gain", false, m_iGain},
            {"Brightness", false, m_iBrightness},
            {"Fclk", false, m_iFclk},
            {m_bUSB3Host ? "FPSPercentageUSB3" : "FPSPercentageUSB2", false, m_iFPSPerc},
            {"CoolPowerPctg", false, TruncToInt32(m_fCoolPowerPerc)},
            {"TargetTemp", false, m_iTargetTemp},
            {"OverCLKPerc", false, m_iOverCLKPerc},
            {"Pattern", false, m_iPattern},
            {"LibusbLogLever", true, m_iLibusbLogLevel & 0xFF},
            {"AutoBL", true, m_bAutoBL},
            {"OO", true, m_ucChanOffset[1]},
            {"EE", true, m_ucChanOffset[0]},
            {"OE", true, m_ucChanOffset[3]},
            {"EO", true, m_ucChanOffset[2]},
            {"DebugPrint", true, m_bDebugPrint},
            {"AutoGainMax", false, m_iAutoGainMax},
            {"AutoExpMaxMs", false, m_iAutoExpMaxMs},
            {"DestBrightness", false, m_iDestBrightness},
            {"FlipRow", true, m_bFlipRow},
            {"FlipColumn", true, m_bFlipColumn},
            {"WB_Red", false, m_iWBRed},
            {"WB_Blue", false, m_iWBBlue},
            {"AutoExp", true, m_bAutoExp},
            {"AutoGain", true, m_bAutoGain},
            {"AutoFPS", true, m_bAutoFPS},
            {"RawOutput", true, m_bRawOutput},
            {"HighSpeed", true, m_bHighSpeed},
            {"AutoWB", true, m_bAutoWB},
            {"HPC", true, m_bHPCOn},
            {"HardwareBin", true, m_bHardwareBin},
            {"CutDark", true, m_bCutDark},
        };
        static_assert(sizeof(saveOrder) == sizeof(values), "one slot per saved value");
        memcpy(values, saveOrder, sizeof(values));
        memcpy(szPath, m_szBMPPath, sizeof(szPath));
        szPath[sizeof(szPath) - 1] = '\0';
    }

    CSettingsLock lock;
    xmlHandle h = {nullptr, nullptr};
    if (!XMLOpenKey(KYR_CONFIG_FILE_NAME, subKey.c_str(), &h) &&
        !XMLCreateKey(KYR_CONFIG_FILE_NAME, subKey.c_str(), &h, nullptr)) {
        return false;
    }
    for (const SSaveValue& v : values) WriteValue(h, v);
    // An empty path writes nothing.
    XMLSetValueEx(h, "BMPPATH", nullptr, kTypeBytes, reinterpret_cast<const uint8_t*>(szPath),
                  static_cast<int>(strlen(szPath)));
    bool bSaved = XMLCloseKey(&h) != 0;
    DbgPrint(-1, "SaveSetting", "save REG\n");
    return bSaved;
}

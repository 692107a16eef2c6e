// Settings store: each camera model's last settings in one XML file,
// HOME/.VORN/KYRconfig.xml, organised like a registry. A key path of folders
// ("software\KYR832MC") is a chain of nested elements; in the last folder each
// value is one element with a "type" attribute (4 a 32-bit number, 3 bytes)
// and the value's bytes in memory order as lower-case hexadecimal text.
//
// The file is read whole by XMLOpenKey/XMLCreateKey and written whole by
// XMLCloseKey, through a temporary file that is flushed to disk and renamed
// over the old one, so a crash never leaves a truncated file behind.
#ifndef KYR_SETTINGS_H
#define KYR_SETTINGS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

class TiXmlDocument;
class TiXmlNode;

// The settings file's name inside HOME/.VORN/.
#define KYR_CONFIG_FILE_NAME "KYRconfig.xml"

// Bytes of a folder name slot of getFolderName (a name of at most 255 characters).
constexpr int kFolderNameBytes = 256;
// Bytes of every path the store builds (directory, file, temporary and .bad
// names); a home directory whose paths do not fit counts as no home.
constexpr size_t kConfigPathBytes = 512;
// A file larger than this is not parsed.
constexpr long kConfigMaxFileBytes = 1024L * 1024L;
// Deepest element nesting a loadable file may have. The parser recurses once
// per level, so a deeper file is refused before it is parsed; key paths are
// bounded below this so that every file the store writes loads again.
constexpr int kConfigMaxDepth = 32;

// The loaded document and the current node: the last folder element of the
// key path, or the document itself for a path without folders. The document
// belongs to the handle until XMLCloseKey.
struct xmlHandle {
    TiXmlDocument* pDoc;
    TiXmlNode* pNode;
};

// Writes HOME/.VORN/ (with the trailing slash) into path (capacity cap) and
// makes the directory with mode 0755 when it is missing; an existing directory
// is left as it is. 1 on success; 0 when no home is known, the path does not
// fit, or the directory cannot be made (or something else has its name).
int initConfigSaveDir(char* path, size_t cap);

// Splits a key path into folder names at every '\' or '/', skipping empty
// names. With names null it only counts; otherwise it also copies each name,
// zero-terminated, into consecutive kFolderNameBytes-byte slots. Returns the
// count, or -1 when a name is longer than 255 characters (never cut).
int getFolderName(const char* path, char (*names)[kFolderNameBytes]);

// Replaces, in place, each character that may not appear in a folder or value
// name with '_': the codes 0x20-0x2C, 0x3A-0x40, '[', ']', '^', '`' and 0x7B-0x7E.
void clearSpace(char* name);

// Loads fileName from HOME/.VORN/ and walks down the key path, taking the first
// child element of each folder's name. 1 with the handle set when every folder
// is there; 0 with both handle pointers null when the file cannot be loaded or
// a folder is missing. A file that cannot be loaded is left untouched.
int XMLOpenKey(const char* fileName, const char* keyPath, xmlHandle* h);

// As XMLOpenKey, but creates the missing folders (with a "date" attribute, and
// "attr" on the last one when attr is given). A file that does not exist, or
// exists but cannot be loaded, starts a new document with the XML declaration;
// an unloadable file is first renamed to fileName + ".bad". 0 (handle null)
// when the key path has no folder or too many, or no home is known.
int XMLCreateKey(const char* fileName, const char* keyPath, xmlHandle* h, const char* attr);

// Stores a value in the current folder: the first element with the cleaned
// name gets the new text and "type" (and "attr" when attr is given); when there
// is none, a new element is appended. Malformed children of the folder (not an
// element, or without "type" or text) are removed on the way. Nothing happens
// when a handle pointer is null or length is below 1.
void XMLSetValueEx(xmlHandle h, const char* name, const int* attr, int type, const uint8_t* data, int length);

// Reads the value of the first element child with the cleaned name. On entry
// *length is the capacity of data in bytes (ignored when data is null); on
// return, the value's length. 1 on success; 0 when there is no such element,
// it lacks "type" or text, its text is not an even number of hexadecimal
// digits, or the value is longer than the capacity (then data is untouched).
// When attr is given and the element has an "attr", *attr receives it.
int XMLQueryValueEx(xmlHandle h, const char* name, int* attr, int* type, uint8_t* data, int* length);

// Saves the document to its file (see the header comment), frees it and nulls
// both handle pointers. 1 when saved; 0 when there was nothing to save or the
// save failed ("Reg Save failed" in the log; the old file stays as it was).
int XMLCloseKey(xmlHandle* h);

// The deepest element nesting the XML parser would reach in the zero-terminated
// text, or -1 when the text holds a construct the scan does not follow the
// parser through (malformed UTF-8, an unusual numeric character reference) or
// that the parser would reject. Cheap: one pass, no allocation.
int XMLScanDepth(const char* text);

// Test-only: replaces the write(2) call of the settings writer (to inject
// failures and short writes); null restores write(2).
typedef ssize_t (*KyrSettingsWriteFn)(int fd, const void* buf, size_t len);
void SetSettingsWriteForTest(KyrSettingsWriteFn fn);

#endif

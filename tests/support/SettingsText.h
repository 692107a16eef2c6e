// Text of settings files for tests: a file with one model folder, its value
// elements, and 32-bit values in the file's memory-order hexadecimal.
#ifndef KYR_TEST_SETTINGS_TEXT_H
#define KYR_TEST_SETTINGS_TEXT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

// A settings file with one model folder holding the given value elements.
inline std::string SettingsDoc(const std::string& folder, const std::string& values) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<software date=\"20240101_120000\">\n    <" +
           folder + " date=\"20240101_120000\">\n" + values + "    </" + folder + ">\n</software>\n";
}

inline std::string Val(const std::string& name, int type, const std::string& hex) {
    return "        <" + name + " type=\"" + std::to_string(type) + "\">" + hex + "</" + name + ">\n";
}

// The hexadecimal text of a 32-bit value in memory order.
inline std::string Hex32(int32_t v) {
    unsigned char b[4];
    memcpy(b, &v, 4);
    char text[9];
    snprintf(text, sizeof(text), "%02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
    return text;
}

// Writes ~/.VORN/KYRconfig.xml with one model folder.
inline void WriteSettings(const std::string& folder, const std::string& values) {
    const std::string dir = std::string(getenv("HOME")) + "/.VORN";
    mkdir(dir.c_str(), 0755);
    std::ofstream out(dir + "/KYRconfig.xml");
    out << SettingsDoc(folder, values);
}

#endif

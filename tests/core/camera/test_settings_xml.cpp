// The settings store's registry-style helpers on their own: name cleaning,
// key-path splitting, values set and queried in a folder, and the nesting scan
// that guards the XML parser, checked against the parser itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <tinyxml.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "camera/Settings.h"

namespace {

std::string ConfigPath() { return std::string(getenv("HOME")) + "/.VORN/KYRconfig.xml"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---- Names and key paths -------------------------------------------------------------------

TEST(SettingsNames, ClearSpaceReplacesExactlyTheTwentyEightCharacters) {
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    std::string cleaned = all;
    clearSpace(&cleaned[0]);
    int replaced = 0;
    for (int c = 1; c < 256; ++c) {
        bool inSet = (c >= 0x20 && c <= 0x2C) || (c >= 0x3A && c <= 0x40) || c == '[' || c == ']' ||
                     c == '^' || c == '`' || (c >= 0x7B && c <= 0x7E);
        char got = cleaned[static_cast<size_t>(c - 1)];
        if (inSet) {
            EXPECT_EQ(got, '_') << "code " << c;
            ++replaced;
        } else {
            EXPECT_EQ(got, static_cast<char>(c)) << "code " << c;
        }
    }
    EXPECT_EQ(replaced, 28);
    // Letters, digits, hyphen, full stop, underscore and both separators stay.
    std::string kept = "Az09-._/\\";
    clearSpace(&kept[0]);
    EXPECT_EQ(kept, "Az09-._/\\");
}

TEST(SettingsNames, KeyPathsSplitAtEitherSeparatorSkippingEmptyNames) {
    struct Case {
        std::string path;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"software\\KYR832MC", {"software", "KYR832MC"}},
        {"software/KYR832MC", {"software", "KYR832MC"}},
        {"\\\\software//KYR832MC\\", {"software", "KYR832MC"}},
        {"/software\\/\\KYR832MC", {"software", "KYR832MC"}},
        {"a\\b/c", {"a", "b", "c"}},
        {"", {}},
        {"\\/\\", {}},
        {std::string(255, 'n'), {std::string(255, 'n')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        int count = getFolderName(c.path.c_str(), nullptr);
        ASSERT_EQ(count, static_cast<int>(c.names.size()));
        std::vector<char[kFolderNameBytes]> slots(c.names.size() + 1);
        memset(slots.data(), 0x7E, slots.size() * kFolderNameBytes);
        ASSERT_EQ(getFolderName(c.path.c_str(), slots.data()), count);
        for (int i = 0; i < count; ++i) EXPECT_EQ(std::string(slots[i]), c.names[i]);
        EXPECT_EQ(slots[count][0], 0x7E);  // nothing written past the last name
    }
    // A name that does not fit a slot is refused, not cut.
    EXPECT_EQ(getFolderName(("a\\" + std::string(256, 'n')).c_str(), nullptr), -1);
}

// ---- Keys, values and the file -----------------------------------------------------------------

class SettingsXml : public ::testing::Test {
  protected:
    void TearDown() override {
        if (h.pDoc) XMLCloseKey(&h);
    }
    // Opens (creating when needed) the key and returns the folder element.
    TiXmlNode* Folder(const char* key = "software\\KYR832MC") {
        EXPECT_TRUE(XMLCreateKey(KYR_CONFIG_FILE_NAME, key, &h, nullptr));
        return h.pNode;
    }
    xmlHandle h = {nullptr, nullptr};
};

TEST_F(SettingsXml, DoubledAndLeadingSeparatorsNameTheSameKey) {
    ASSERT_NE(Folder("software\\KYR832MC"), nullptr);
    const uint8_t gain[4] = {0xc8, 0, 0, 0};
    XMLSetValueEx(h, "Gain", nullptr, 4, gain, 4);
    ASSERT_TRUE(XMLCloseKey(&h));
    for (const char* key : {"\\\\software//KYR832MC\\", "/software/KYR832MC", "software\\\\KYR832MC"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(XMLOpenKey(KYR_CONFIG_FILE_NAME, key, &h));
        uint8_t data[4] = {};
        int type = 0, len = sizeof(data);
        EXPECT_TRUE(XMLQueryValueEx(h, "Gain", nullptr, &type, data, &len));
        EXPECT_EQ(len, 4);
        EXPECT_EQ(data[0], 0xc8);
        ASSERT_TRUE(XMLCloseKey(&h));
        ASSERT_TRUE(XMLCreateKey(KYR_CONFIG_FILE_NAME, key, &h, nullptr));
        XMLCloseKey(&h);
    }
    // None of them made a second folder.
    std::string text = ReadFile(ConfigPath());
    EXPECT_EQ(text.find("<software"), text.rfind("<software"));
    EXPECT_EQ(text.find("<KYR832MC"), text.rfind("<KYR832MC"));
}

TEST_F(SettingsXml, OpenFailsWithoutFileOrFolderAndCreateRefusesEmptyPaths) {
    EXPECT_FALSE(XMLOpenKey(KYR_CONFIG_FILE_NAME, "software\\KYR832MC", &h));
    EXPECT_EQ(h.pDoc, nullptr);
    EXPECT_FALSE(XMLCreateKey(KYR_CONFIG_FILE_NAME, "\\/", &h, nullptr));
    EXPECT_EQ(h.pDoc, nullptr);
    ASSERT_NE(Folder("software\\A"), nullptr);
    ASSERT_TRUE(XMLCloseKey(&h));
    EXPECT_FALSE(XMLOpenKey(KYR_CONFIG_FILE_NAME, "software\\B", &h));
    EXPECT_EQ(h.pDoc, nullptr);
    EXPECT_EQ(h.pNode, nullptr);
    // A path without folders opens the document itself.
    ASSERT_TRUE(XMLOpenKey(KYR_CONFIG_FILE_NAME, "", &h));
    EXPECT_EQ(h.pNode, h.pDoc);
    // Key paths that would nest past the loadable depth are refused.
    std::string deep;
    for (int i = 0; i < kConfigMaxDepth; ++i) deep += "k\\";
    xmlHandle other = {nullptr, nullptr};
    EXPECT_FALSE(XMLCreateKey(KYR_CONFIG_FILE_NAME, deep.c_str(), &other, nullptr));
}

TEST_F(SettingsXml, LastFolderCarriesAttrWhenGiven) {
    ASSERT_TRUE(XMLCreateKey(KYR_CONFIG_FILE_NAME, "software\\KYR832MC", &h, "7"));
    ASSERT_TRUE(XMLCloseKey(&h));
    std::string text = ReadFile(ConfigPath());
    EXPECT_NE(text.find("<KYR832MC date=\""), std::string::npos) << text;
    EXPECT_NE(text.find("\" attr=\"7\""), std::string::npos) << text;
    // "software" was not the last folder: its date closes the tag.
    size_t software = text.find("<software date=\"");
    ASSERT_NE(software, std::string::npos) << text;
    EXPECT_EQ(text.substr(software + strlen("<software date=\"") + strlen("YYYYMMDD_hhmmss"), 2), "\">")
        << text;
}

TEST_F(SettingsXml, SetValueRemovesEveryMalformedChildAndKeepsOneValue) {
    TiXmlNode* folder = Folder();
    // Malformed entries before and after the value, and a comment named like it.
    folder->LinkEndChild(new TiXmlComment("Gain"));
    folder->LinkEndChild(new TiXmlElement("NoType"))->LinkEndChild(new TiXmlText("00"));
    auto* gain = new TiXmlElement("Gain");
    gain->SetAttribute("type", 4);
    gain->LinkEndChild(new TiXmlText("01000000"));
    folder->LinkEndChild(gain);
    auto* empty = new TiXmlElement("Empty");
    empty->SetAttribute("type", 3);
    folder->LinkEndChild(empty);
    folder->LinkEndChild(new TiXmlText("stray text"));

    const uint8_t value[4] = {2, 0, 0, 0};
    const int attr = 9;
    XMLSetValueEx(h, "Gain", &attr, 4, value, 4);
    int elements = 0;
    for (TiXmlNode* n = folder->FirstChild(); n; n = n->NextSibling()) {
        ASSERT_NE(n->ToElement(), nullptr) << n->Value();
        ++elements;
    }
    EXPECT_EQ(elements, 1);
    TiXmlElement* only = folder->FirstChildElement();
    EXPECT_STREQ(only->Value(), "Gain");
    EXPECT_STREQ(only->GetText(), "02000000");
    EXPECT_STREQ(only->Attribute("type"), "4");
    EXPECT_STREQ(only->Attribute("attr"), "9");
}

TEST_F(SettingsXml, SetValueCleansTheNameAndIgnoresEmptyData) {
    TiXmlNode* folder = Folder();
    const uint8_t b = 0xAB;
    XMLSetValueEx(h, "a b:c", nullptr, 3, &b, 1);
    XMLSetValueEx(h, "Nothing", nullptr, 3, &b, 0);
    XMLSetValueEx(h, "Nothing", nullptr, 3, &b, -1);
    xmlHandle none = {nullptr, nullptr};
    XMLSetValueEx(none, "Nothing", nullptr, 3, &b, 1);
    ASSERT_NE(folder->FirstChildElement("a_b_c"), nullptr);
    EXPECT_STREQ(folder->FirstChildElement("a_b_c")->GetText(), "ab");
    EXPECT_EQ(folder->FirstChildElement("Nothing"), nullptr);
    // The query cleans the name the same way.
    uint8_t out = 0;
    int type = 0, len = 1;
    EXPECT_TRUE(XMLQueryValueEx(h, "a b:c", nullptr, &type, &out, &len));
    EXPECT_EQ(out, 0xAB);
    EXPECT_EQ(type, 3);
}

TEST_F(SettingsXml, QueryRefusesWhatDoesNotFitOrIsNotHex) {
    TiXmlNode* folder = Folder();
    auto add = [&](const char* name, const char* type, const char* text) {
        auto* e = new TiXmlElement(name);
        if (type) e->SetAttribute("type", type);
        if (text) e->LinkEndChild(new TiXmlText(text));
        folder->LinkEndChild(e);
    };
    folder->LinkEndChild(new TiXmlComment("Hidden"));
    add("Hidden", "4", "0a000000");
    add("Odd", "3", "abc");
    add("NotHex", "3", "0g");
    add("Long", "3", "0102030405");
    add("NoType", nullptr, "01");
    add("NoText", "3", nullptr);
    add("BadType", "three", "01");
    add("WithAttr", "3", "ff");
    folder->FirstChildElement("WithAttr")->SetAttribute("attr", 42);

    struct Case {
        const char* name;
        int capacity;
        int ok;
        int length;
    };
    const Case cases[] = {
        {"Hidden", 4, 1, 4},  // a comment named like the key does not hide it
        {"Odd", 4, 0, 0},     {"NotHex", 4, 0, 0},  {"Long", 4, 0, 0},
        {"Long", 5, 1, 5},    {"NoType", 4, 0, 0},  {"NoText", 4, 0, 0},
        {"BadType", 4, 0, 0}, {"Missing", 4, 0, 0}, {"WithAttr", 1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " capacity " + std::to_string(c.capacity));
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof(buf));
        int type = -1, len = c.capacity;
        EXPECT_EQ(XMLQueryValueEx(h, c.name, nullptr, &type, buf, &len), c.ok);
        if (c.ok) {
            EXPECT_EQ(len, c.length);
        } else {
            EXPECT_EQ(len, c.capacity);
            EXPECT_EQ(type, -1);
        }
        for (int i = c.ok ? c.length : 0; i < 8; ++i) EXPECT_EQ(buf[i], 0xEE) << "byte " << i;
    }
    // Without a buffer the query only reports the length.
    int type = 0, len = 0;
    EXPECT_TRUE(XMLQueryValueEx(h, "Long", nullptr, &type, nullptr, &len));
    EXPECT_EQ(len, 5);
    int attr = 0;
    uint8_t b = 0;
    len = 1;
    EXPECT_TRUE(XMLQueryValueEx(h, "WithAttr", &attr, &type, &b, &len));
    EXPECT_EQ(attr, 42);
    EXPECT_EQ(b, 0xff);
}

// ---- The nesting scan -------------------------------------------------------------------------------

// The element depth of a parsed (or partly parsed) tree.
int TreeDepth(const TiXmlNode* node) {
    int deepest = 0;
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
        int d = TreeDepth(c) + (c->ToElement() ? 1 : 0);
        if (d > deepest) deepest = d;
    }
    return deepest;
}

TEST(SettingsScan, DepthOfKnownShapes) {
    struct Case {
        const char* name;
        std::string text;
        int depth;
    };
    const std::vector<Case> cases = {
        {"settings file",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<software date=\"1\"><M><Gain "
         "type=\"4\">00</Gain></M></software>\n",
         3},
        {"empty", "", 0},
        {"self-closing", "<a><b/><c /></a>", 2},
        {"markup in a comment", "<a><!-- <b><c><d> --></a>", 1},
        {"markup in CDATA", "<a><![CDATA[<b><c>]]></a>", 1},
        {"end tags in a comment", "<a><b><c><!-- </c></b></a> --><d/></c></b></a>", 4},
        {"markup in quotes", "<a x=\"<b><c>\" y='/>'><d/></a>", 2},
        {"unknown node", "<a><!DOCTYPE x><?pi <b> ?><c/></a>", 2},
        {"end tag at document level", "</x><a><b/></a>", 2},
        {"declaration with quoted markup", "<?xml version=\"<a><b>\"?><c/>", 1},
        {"numeric references", "<a>&#x41;&#65;&amp;<b/></a>", 2},
        {"trailing text at document level", "<a/>text <b><c><d/></c></b>", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(XMLScanDepth(c.text.c_str()), c.depth);
        TiXmlDocument doc;
        doc.Parse(c.text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        EXPECT_EQ(TreeDepth(&doc), c.depth);
    }
}

TEST(SettingsScan, RefusesWhatItCannotFollow) {
    const char* refused[] = {
        "<a>&#x</a>x1;<b/></a>",   // a reference the parser resolves across markup
        "<a x=\"&#\"><b>#5;\"/>",  // the same inside a quoted value
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a x=\"\xE0\" y='\"><b/>'></a>",  // lead byte eating a
                                                                                     // quote
        "<a>\xC3</a>",          // lead byte without its continuation
        "<a \xC3\xA9=\"1\"/>",  // non-ASCII inside a tag
        "<a x=\"1\"",           // the text ends inside a tag
        "<a / >",               // stray slash
    };
    for (const char* text : refused) EXPECT_EQ(XMLScanDepth(text), -1) << text;
}

TEST(SettingsScan, DeepNestingIsReportedBeyondTheLimit) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += "<a x='1'>";
    EXPECT_GT(XMLScanDepth(text.c_str()), kConfigMaxDepth);
}

// Random documents built from the tokens that steer the parser's tokenising:
// wherever the scan accepts a document, its depth is at least the depth of the
// tree the parser built. Documents made only of shapes the scan follows are
// accepted whenever the parser accepts them.
TEST(SettingsScan, NeverReportsLessThanTheParserReaches) {
    const std::vector<std::string> plain = {
        "<a>",
        "</a>",
        "<b>",
        "</b>",
        "<a/>",
        "<b x='1'>",
        "<a x=\"/>\">",
        "<a y='</a>'>",
        " ",
        "\n",
        "text",
        "<!--",
        "-->",
        "<![CDATA[",
        "]]>",
        "<!x>",
        "<?pi?>",
        "<?xml version='1.0'?>",
        ">",
        "/",
        "=",
        "'",
        "\"",
        "&amp;",
        "&#x41;",
        "&#65;",
        "<",
        "x",
        "<_n>",
        "</_n>",
        "<a\n/>",
    };
    const std::vector<std::string> hostile = {"&#",       "&#x",          ";",     "1", "#", "\xE0", "\xC3",
                                              "\xC3\xA9", "\xEF\xBB\xBF", "<\x7F>"};
    std::mt19937 rng(20240601);
    int accepted = 0, parsedClean = 0;
    for (int round = 0; round < 40000; ++round) {
        const bool withHostile = round % 2 == 1;
        std::string text;
        int tokens = 1 + static_cast<int>(rng() % 24);
        for (int i = 0; i < tokens; ++i) {
            if (withHostile && rng() % 3 == 0) {
                text += hostile[rng() % hostile.size()];
            } else {
                text += plain[rng() % plain.size()];
            }
        }
        TiXmlDocument doc;
        doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        int depth = XMLScanDepth(text.c_str());
        if (depth >= 0) {
            ++accepted;
            ASSERT_GE(depth, TreeDepth(&doc)) << text;
        }
        if (!withHostile && !doc.Error()) {
            ++parsedClean;
            ASSERT_GE(depth, 0) << text;
        }
    }
    // The generator must reach both outcomes often enough to mean something.
    EXPECT_GT(accepted, 5000);
    EXPECT_GT(parsedClean, 1000);
}

}  // namespace

// Settings file parser: any bytes parse without a crash; what is read survives a rewrite
// (the same sections, keys and values after Text() is parsed again); a written value reads
// back as written (trimmed, line breaks as blanks) and cannot add sections or keys.

#include "util/IniFile.h"
#include "util/Strings.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace corvan;

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void CheckSameContent(const TIniFile& a, const TIniFile& b) {
    Check(a.ReadSections() == b.ReadSections());
    for (const std::string& section : a.ReadSections()) {
        Check(a.ReadSection(section) == b.ReadSection(section));
        for (const std::string& key : a.ReadSection(section)) {
            Check(a.ReadString(section, key, "\x01") == b.ReadString(section, key, "\x02"));
            Check(a.ReadInteger(section, key, 7) == b.ReadInteger(section, key, 7));
            double fa = a.ReadFloat(section, key, 0.5), fb = b.ReadFloat(section, key, 0.5);
            Check(fa == fb);
            Check(a.ReadBool(section, key, true) == b.ReadBool(section, key, true));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TIniFile a("");
    a.SetText(text);
    TIniFile b("");
    b.SetText(a.Text());
    CheckSameContent(a, b);

    // Write a value taken from the input into the parsed file.
    std::string value = text.substr(0, text.size() / 2);
    std::vector<std::string> sectionsBefore = a.ReadSections();
    a.WriteString("Fuzz-Section", "Value", value);
    a.WriteInteger("Proxy-PortMapper", "ItemCount", int(size));
    TIniFile c("");
    c.SetText(a.Text());
    CheckSameContent(a, c);
    std::string expected = value;
    for (char& ch : expected)
        if (ch == '\r' || ch == '\n')
            ch = ' ';
    Check(c.ReadString("fuzz-section", "value", "") == std::string(TrimWhiteSpace(expected)));
    Check(c.ReadInteger("Proxy-PortMapper", "ItemCount", -1) == int(size));
    Check(c.ReadSections().size() <= sectionsBefore.size() + 2);
    return 0;
}

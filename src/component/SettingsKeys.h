#pragma once
// One list of keys per component serves both loading and saving: the component walks its
// keys in file order with a loader or a saver, so the two orders cannot drift apart and
// every default is written once.

#include <cstdint>
#include <string>
#include <vector>

namespace corvan {

class TIniFile;

class ASettingsKeys {
public:
    virtual ~ASettingsKeys() = default;
    virtual void Bool(const char* key, bool& value, bool def) = 0;
    virtual void Integer(const char* key, int& value, int def) = 0;
    virtual void String(const char* key, std::string& value, const char* def) = 0;
    // Stored as an integer and held in one byte; a stored value outside 0..255 loads as
    // outOfRange (never as a truncated byte).
    virtual void Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) = 0;
};

// Reads each key from the section. A missing key gives its default, or, with keepMissing,
// leaves the value as it is (a reload keeps what runs). A value that does not parse (a
// switch other than "0" or "1", an integer that is not one or outside 32 bits, a byte
// that is not one or outside 0..255) gives the default (a byte: outOfRange) and is named
// in Malformed: the owner must not run on a value the user did not write.
class TSettingsLoader : public ASettingsKeys {
public:
    TSettingsLoader(const TIniFile& ini, std::string section, bool keepMissing = false)
        : FIni(ini), FSection(std::move(section)), FKeepMissing(keepMissing) {}
    void Bool(const char* key, bool& value, bool def) override;
    void Integer(const char* key, int& value, int def) override;
    void String(const char* key, std::string& value, const char* def) override;
    void Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) override;

    // A value that did not parse: its key, its stored text, and a text that names it
    // ("EnableTunnelling=no in [Proxy-HTTP] is not 0 or 1").
    struct TMalformed {
        std::string Key;
        std::string Stored;
        std::string Error;
    };
    // The malformed values, in the order read.
    const std::vector<TMalformed>& Malformed() const { return FMalformed; }

private:
    // value := the stored text through parse; def when the key is missing (nothing with
    // FKeepMissing); malformed, and an entry in Malformed, when parse gives nothing.
    template <class T, class Parse>
    void Read(const char* key, T& value, const T& def, const T& malformed, Parse parse,
              const char* expected);

    const TIniFile& FIni;
    std::string FSection;
    bool FKeepMissing;
    std::vector<TMalformed> FMalformed;
};

// Writes each key's current value to the section.
class TSettingsSaver : public ASettingsKeys {
public:
    TSettingsSaver(TIniFile& ini, std::string section) : FIni(ini), FSection(std::move(section)) {}
    void Bool(const char* key, bool& value, bool def) override;
    void Integer(const char* key, int& value, int def) override;
    void String(const char* key, std::string& value, const char* def) override;
    void Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) override;

private:
    TIniFile& FIni;
    std::string FSection;
};

} // namespace corvan

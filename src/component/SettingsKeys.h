#pragma once
// One list of keys per component serves both loading and saving: the component walks its
// keys in file order with a loader or a saver, so the two orders cannot drift apart and
// every default is written once.

#include <cstdint>
#include <string>

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

// Reads each key from the section, or its default when missing or malformed.
class TSettingsLoader : public ASettingsKeys {
public:
    TSettingsLoader(const TIniFile& ini, std::string section)
        : FIni(ini), FSection(std::move(section)) {}
    void Bool(const char* key, bool& value, bool def) override;
    void Integer(const char* key, int& value, int def) override;
    void String(const char* key, std::string& value, const char* def) override;
    void Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) override;

private:
    const TIniFile& FIni;
    std::string FSection;
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

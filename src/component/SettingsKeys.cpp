#include "component/SettingsKeys.h"

#include "util/IniFile.h"

#include <optional>

namespace corvan {

const std::string* TSettingsLoader::Stored(const char* key) {
    if (!FIni.ValueExists(FSection, key))
        return nullptr;
    FValue = FIni.ReadString(FSection, key, "");
    return &FValue;
}

void TSettingsLoader::Malformed(const char* key, const std::string& stored, const char* expected) {
    FErrors.push_back(std::string(key) + "=" + stored + " in [" + FSection + "] is not " +
                      expected);
}

void TSettingsLoader::Bool(const char* key, bool& value, bool def) {
    const std::string* stored = Stored(key);
    if (!stored) {
        if (!FKeepMissing)
            value = def;
        return;
    }
    std::optional<bool> v = TIniFile::ParseSwitch(*stored);
    if (!v)
        Malformed(key, *stored, "0 or 1");
    value = v.value_or(def);
}

void TSettingsLoader::Integer(const char* key, int& value, int def) {
    const std::string* stored = Stored(key);
    if (!stored) {
        if (!FKeepMissing)
            value = def;
        return;
    }
    std::optional<int> v = TIniFile::ParseInteger(*stored);
    if (!v)
        Malformed(key, *stored, "a whole number in the 32-bit range");
    value = v.value_or(def);
}

void TSettingsLoader::String(const char* key, std::string& value, const char* def) {
    if (const std::string* stored = Stored(key))
        value = *stored;
    else if (!FKeepMissing)
        value = def;
}

void TSettingsLoader::Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) {
    const std::string* stored = Stored(key);
    if (!stored) {
        if (!FKeepMissing)
            value = def;
        return;
    }
    std::optional<int> v = TIniFile::ParseInteger(*stored);
    if (!v || *v < 0 || *v > 255) {
        Malformed(key, *stored, "a whole number from 0 to 255");
        value = outOfRange; // never an open default (LoginMode)
        return;
    }
    value = uint8_t(*v);
}

void TSettingsSaver::Bool(const char* key, bool& value, bool) {
    FIni.WriteBool(FSection, key, value);
}

void TSettingsSaver::Integer(const char* key, int& value, int) {
    FIni.WriteInteger(FSection, key, value);
}

void TSettingsSaver::String(const char* key, std::string& value, const char*) {
    FIni.WriteString(FSection, key, value);
}

void TSettingsSaver::Byte(const char* key, uint8_t& value, uint8_t, uint8_t) {
    FIni.WriteInteger(FSection, key, value);
}

} // namespace corvan

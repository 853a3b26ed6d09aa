#include "component/SettingsKeys.h"

#include "util/IniFile.h"

#include <optional>

namespace corvan {

template <class T, class Parse>
void TSettingsLoader::Read(const char* key, T& value, const T& def, const T& malformed, Parse parse,
                           const char* expected) {
    if (!FIni.ValueExists(FSection, key)) {
        if (!FKeepMissing)
            value = def;
        return;
    }
    std::string stored = FIni.ReadString(FSection, key, "");
    std::optional<T> parsed = parse(stored);
    if (!parsed) {
        std::string error =
            std::string(key) + "=" + stored + " in [" + FSection + "] is not " + expected;
        FMalformed.push_back({key, std::move(stored), std::move(error)});
        value = malformed;
        return;
    }
    value = std::move(*parsed);
}

void TSettingsLoader::Bool(const char* key, bool& value, bool def) {
    Read(key, value, def, def, TIniFile::ParseSwitch, "0 or 1");
}

void TSettingsLoader::Integer(const char* key, int& value, int def) {
    Read(key, value, def, def, TIniFile::ParseInteger, "a whole number in the 32-bit range");
}

void TSettingsLoader::String(const char* key, std::string& value, const char* def) {
    Read(
        key, value, std::string(def), std::string(def),
        [](const std::string& s) { return std::optional<std::string>(s); }, "");
}

void TSettingsLoader::Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) {
    auto parse = [](const std::string& s) -> std::optional<uint8_t> {
        std::optional<int> v = TIniFile::ParseInteger(s);
        if (!v || *v < 0 || *v > 255)
            return std::nullopt;
        return uint8_t(*v);
    };
    // Never the default for a malformed byte: it may be an open one (LoginMode).
    Read(key, value, def, outOfRange, parse, "a whole number from 0 to 255");
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

#include "component/SettingsKeys.h"

#include "util/IniFile.h"

namespace corvan {

void TSettingsLoader::Bool(const char* key, bool& value, bool def) {
    value = FIni.ReadBool(FSection, key, def);
}

void TSettingsLoader::Integer(const char* key, int& value, int def) {
    value = FIni.ReadInteger(FSection, key, def);
}

void TSettingsLoader::String(const char* key, std::string& value, const char* def) {
    value = FIni.ReadString(FSection, key, def);
}

void TSettingsLoader::Byte(const char* key, uint8_t& value, uint8_t def, uint8_t outOfRange) {
    int v = FIni.ReadInteger(FSection, key, def);
    value = (v >= 0 && v <= 255) ? uint8_t(v) : outOfRange;
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

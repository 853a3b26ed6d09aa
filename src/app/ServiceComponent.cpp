#include "app/ServiceComponent.h"

#include "util/IniFile.h"

namespace corvan {

void TServiceComponent::Activate() {
    if (Enabled)
        SetEnabled(true);
}

void TServiceComponent::Deactivate() {
    SetEnabled(false);
}

void TServiceComponent::SaveToSettingsFile() {
    if (!FSettingsFile)
        return;
    SaveSettings(*FSettingsFile, FSettingsSection);
    FSettingsFile->UpdateFile();
}

void TServiceComponent::LoadEnabled(TIniFile& ini, const std::string& section) {
    FSettingsFile = &ini;
    FSettingsSection = section;
    Enabled = ini.ReadBool(section, "Enabled", false);
}

void TServiceComponent::SaveEnabled(TIniFile& ini, const std::string& section) const {
    ini.WriteBool(section, "Enabled", Active());
}

} // namespace corvan

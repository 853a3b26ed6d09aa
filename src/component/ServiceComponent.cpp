#include "component/ServiceComponent.h"

#include "util/IniFile.h"

namespace corvan {

void TServiceComponent::SetEnabled(bool value) {
    TAppComponent::SetEnabled(value);
    // Not when the call was ignored (made from inside a start or stop of this service).
    if (Active() == value)
        Enabled = value;
}

std::string TServiceComponent::NotStartedText(const std::string& reason) const {
    return ServiceTitle() + " not started: " + reason;
}

void TServiceComponent::LogRefusal(const std::string& line) const {
    UserInterface().LogMessage(ServiceTitle() + ": " + line);
}

void TServiceComponent::Activate() {
    if (!Enabled)
        return;
    std::string refusal = StartRefusal();
    if (!refusal.empty()) {
        UserInterface().ShowError(NotStartedText(refusal));
        return;
    }
    try {
        TAppComponent::SetEnabled(true);
    } catch (const std::exception& e) {
        UserInterface().ShowError(NotStartedText(e.what()));
    }
}

void TServiceComponent::Deactivate() {
    TAppComponent::SetEnabled(false);
}

void TServiceComponent::LoadSettings(TIniFile& ini, const std::string& section) {
    FSettingsFile = &ini;
    FSettingsSection = section;
    Enabled = ini.ReadBool(section, "Enabled", false);
    TSettingsLoader loader(ini, section);
    SettingsKeys(loader);
    ClampSettings();
    for (const TProxyRecord& record : ProxyRecords())
        LoadProxyServerInfo(*record.Info, ini, section + record.Suffix);
}

void TServiceComponent::SaveSettings(TIniFile& ini, const std::string& section) {
    ini.WriteBool(section, "Enabled", Enabled);
    TSettingsSaver saver(ini, section);
    SettingsKeys(saver);
    for (const TProxyRecord& record : ProxyRecords())
        SaveProxyServerInfo(*record.Info, ini, section + record.Suffix);
}

void TServiceComponent::SaveToSettingsFile() {
    if (!FSettingsFile)
        return;
    SaveSettings(*FSettingsFile, FSettingsSection);
    FSettingsFile->UpdateFile();
}

void TServiceComponent::AddServiceButtons(AStatusFrame& frame) {
    frame.AddButton("Enable", [this] {
        SetEnabled(true);
        UpdateDisplay();
    });
    frame.AddButton("Disable", [this] {
        SetEnabled(false);
        UpdateDisplay();
    });
    frame.AddButton("Settings...", [this] {
        if (EditSettings())
            UpdateDisplay();
    });
}

void TServiceComponent::ShowRunning(AStatusFrame& frame, bool running) {
    frame.SetButtonEnabled("Enable", !running);
    frame.SetButtonEnabled("Disable", running);
}

bool TServiceComponent::RunSettingsForm(ASettingsForm& form,
                                        const std::function<void()>& copyBack) {
    if (!UserInterface().EditSettings(form))
        return false;
    std::string invalid = form.ValidationError();
    if (!invalid.empty()) {
        UserInterface().ShowError(invalid);
        return false;
    }
    copyBack();
    SaveToSettingsFile();
    return true;
}

} // namespace corvan

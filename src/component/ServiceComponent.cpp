#include "component/ServiceComponent.h"

#include "util/IniFile.h"

#include <algorithm>

namespace corvan {

void TServiceComponent::SetEnabled(bool value) {
    if (value && !Active()) {
        std::string refusal = SettingsRefusal();
        if (!refusal.empty())
            throw Exception(NotStartedText(refusal));
    }
    TAppComponent::SetEnabled(value);
    // Not when the call was ignored (made from inside a start or stop of this service).
    if (Active() == value)
        Enabled = value;
    if (!value)
        EnabledForRun = false;
}

std::string TServiceComponent::NotStartedText(const std::string& reason) const {
    return ServiceTitle() + " not started: " + reason;
}

void TServiceComponent::LogRefusal(const std::string& line) const {
    UserInterface().LogMessage(ServiceTitle() + ": " + line);
}

std::string TServiceComponent::SettingsRefusal() {
    if (!FSettingsError.empty())
        return FSettingsError;
    for (const TProxyRecord& record : ProxyRecords())
        if (record.Info->UseProxy && !record.Info->InUse())
            return "the up-stream proxy in [" + FSettingsSection + record.Suffix +
                   "] is switched on (UseProxy=1) but its Host or Port is empty";
    return {};
}

void TServiceComponent::Activate() {
    if (!Enabled && !EnabledForRun && FSettingsError.empty())
        return;
    std::string refusal = SettingsRefusal();
    if (refusal.empty())
        refusal = StartRefusal();
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
    Load(ini, section, false);
}

void TServiceComponent::ReloadSettings(TIniFile& ini, const std::string& section) {
    Load(ini, section, true);
}

void TServiceComponent::Load(TIniFile& ini, const std::string& section, bool keepMissing) {
    FSettingsFile = &ini;
    FSettingsSection = section;
    FSettingsError.clear();
    auto collect = [&](const TSettingsLoader& loader) {
        for (const TSettingsLoader::TMalformed& m : loader.Malformed())
            FSettingsError += (FSettingsError.empty() ? "" : "; ") + m.Error;
    };
    TSettingsLoader loader(ini, section, keepMissing);
    loader.Bool("Enabled", Enabled, EnabledByDefault());
    SettingsKeys(loader);
    collect(loader);
    FMalformedOutsideDialog.clear();
    std::vector<std::string> outside = KeysOutsideDialog();
    for (const TSettingsLoader::TMalformed& m : loader.Malformed())
        if (std::find(outside.begin(), outside.end(), m.Key) != outside.end())
            FMalformedOutsideDialog.push_back(m);
    ClampSettings();
    for (const TProxyRecord& record : ProxyRecords()) {
        TSettingsLoader recordLoader(ini, section + record.Suffix, keepMissing);
        ProxyServerInfoKeys(recordLoader, *record.Info);
        collect(recordLoader);
    }
}

void TServiceComponent::SaveSettings(TIniFile& ini, const std::string& section) {
    ini.WriteBool(section, "Enabled", Enabled);
    TSettingsSaver saver(ini, section);
    SettingsKeys(saver);
    // Not the default standing in for it: the user never wrote that.
    for (const TSettingsLoader::TMalformed& m : FMalformedOutsideDialog)
        ini.WriteString(section, m.Key, m.Stored);
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
    // The form's values replace whatever the file held, malformed ones too; a malformed
    // value the form does not show still stands.
    FSettingsError.clear();
    for (const TSettingsLoader::TMalformed& m : FMalformedOutsideDialog)
        FSettingsError += (FSettingsError.empty() ? "" : "; ") + m.Error;
    SaveToSettingsFile();
    return true;
}

} // namespace corvan

#pragma once
// The common part of the service components (HTTP, SOCKS and DNS proxies, each port
// mapping): the persisted "Enabled" key, start at activation when it was set, stop at
// deactivation, and the settings file and section of the last load, so that a confirmed
// settings dialog can save the service at once.

#include "app/AppComponent.h"

namespace corvan {

class TServiceComponent : public TAppComponent {
public:
    // The "Enabled" key as loaded: whether Activate starts the service. Saving writes the
    // running state instead (Active), so a service running at exit starts next time.
    bool Enabled = false;

    bool HasSettings() const override { return true; }
    bool CanEnable() const override { return true; }
    // SetEnabled(true) when Enabled.
    void Activate() override;
    // SetEnabled(false); harmless on a service that never started.
    void Deactivate() override;

    // The file and section of the last LoadSettings (null / empty before).
    TIniFile* SettingsFile() const { return FSettingsFile; }
    const std::string& SettingsSection() const { return FSettingsSection; }
    // After a confirmed dialog: SaveSettings to the remembered file and section, then
    // UpdateFile (raises EIniFile when the file cannot be written). Nothing when the
    // service was never loaded.
    void SaveToSettingsFile();

    // A concrete service stops its server in its own destructor: by the time this base is
    // destroyed the derived part is gone, so no stop hook can run from here.
    ~TServiceComponent() override = default;

protected:
    // Remembers the file and section and reads "Enabled"; call first in LoadSettings.
    void LoadEnabled(TIniFile& ini, const std::string& section);
    // Writes "Enabled" from the running state; call first in SaveSettings.
    void SaveEnabled(TIniFile& ini, const std::string& section) const;

private:
    TIniFile* FSettingsFile = nullptr;
    std::string FSettingsSection;
};

} // namespace corvan

#pragma once
// The common part of the service components (HTTP, SOCKS and DNS proxies, each port
// mapping): the persisted "Enabled" key, start at activation when it was set, stop at
// deactivation, loading and saving from one key list, and the settings file and section of
// the last load, so that a confirmed settings dialog can save the service at once.
//
// "Enabled" is the user's choice, not the running state: only the user's own switching
// (SetEnabled) changes it; the command line's --enable sets EnabledForRun, which is never
// saved. A start that fails leaves the service stopped and the choice as it was, so a
// service whose port was busy once starts again next time instead of being switched off
// for good.
//
// Settings the service cannot trust keep it stopped, with a message, rather than let it
// run on defaults the user never chose: a value in the file that does not parse
// (SettingsError), or an up-stream proxy record switched on without a host or a port.

#include "component/AppComponent.h"
#include "util/RollingLogFile.h"

namespace corvan {

class TServiceComponent : public TAppComponent {
public:
    // Highest TCP and UDP port; a port setting above it (or below 1) cannot start a service.
    static constexpr int kMaxPortNumber = 65535;

    // The "Enabled" key: whether the user switched the service on, and so whether Activate
    // starts it. Saved as it is. A missing key loads as EnabledByDefault.
    bool Enabled = false;
    // Switched on for this run only (--enable): Activate starts the service as if Enabled
    // were set, and nothing saves it. The user's SetEnabled(false) clears it.
    bool EnabledForRun = false;

    bool HasSettings() const override { return true; }
    bool CanEnable() const override { return true; }
    // The user's switch: starts or stops the service (a failed start raises, as in the
    // base; so does SettingsRefusal) and, once the service runs (or stopped), stores the
    // choice in Enabled.
    void SetEnabled(bool value) override;
    // Starts the service when Enabled or EnabledForRun, without raising: a service that
    // cannot start (SettingsRefusal, its StartRefusal, or the start's exception) is
    // reported through the user interface as NotStartedText and stays stopped, so the
    // services after it still start. A SettingsError is reported even when the service is
    // not switched on (a malformed Enabled reads as off). Enabled is not changed.
    void Activate() override;
    // Stops the service; harmless on a service that never started. Enabled is not changed.
    void Deactivate() override;

    // Why the settings cannot make a running service (e.g. "no port to listen on"); empty
    // when they can. Checked by Activate and, for the user's switch, by DoEnable. Base:
    // empty.
    virtual std::string StartRefusal() const { return {}; }
    // How messages name the service ("SOCKS proxy on port 1080"). Base: GetDisplayName.
    virtual std::string ServiceTitle() const { return GetDisplayName(); }
    // What a missing "Enabled" key loads as. Base: false (a service runs only when asked).
    virtual bool EnabledByDefault() const { return false; }
    // ServiceTitle, " not started: ", reason.
    std::string NotStartedText(const std::string& reason) const;
    // A refused client's log line (already limited to one per address per minute):
    // ServiceTitle, ": ", line to the user interface's LogMessage (stderr when headless).
    // Main thread.
    virtual void LogRefusal(const std::string& line) const;

    // Remembers the file and section, reads "Enabled", the service's keys (SettingsKeys),
    // applies ClampSettings, then loads each up-stream record from section + its suffix.
    // Malformed values are collected in SettingsError.
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    // LoadSettings for a file read again while the program runs: a key missing from the
    // file keeps its current value (a file caught half-written must not bring back
    // defaults, such as no login).
    void ReloadSettings(TIniFile& ini, const std::string& section);
    // The malformed values of the last load ("LoginMode=two in [Proxy-HTTP] is not a whole
    // number from 0 to 255", joined by "; "); empty when all parsed. A confirmed settings
    // dialog clears it.
    const std::string& SettingsError() const { return FSettingsError; }
    // Why the settings themselves forbid a start: SettingsError, else an up-stream record
    // switched on (UseProxy) without a host or port, which would otherwise connect
    // directly, around the proxy the administrator set. Empty when none.
    std::string SettingsRefusal();
    // Writes "Enabled" (the user's choice), the service's keys, then the records.
    void SaveSettings(TIniFile& ini, const std::string& section) override;

    // The file and section of the last LoadSettings (null / empty before).
    TIniFile* SettingsFile() const { return FSettingsFile; }
    const std::string& SettingsSection() const { return FSettingsSection; }
    // After a confirmed dialog: SaveSettings to the remembered file and section, then
    // UpdateFile (raises EIniFile when the file cannot be written). Nothing when the
    // service was never loaded.
    void SaveToSettingsFile();

    // The status-frame buttons every service has: "Enable", "Disable" (each switches the
    // service and refreshes its display) and "Settings..." (EditSettings, then a refresh
    // after OK). ShowRunning enables Enable only while stopped and Disable only while
    // running.
    void AddServiceButtons(AStatusFrame& frame);
    static void ShowRunning(AStatusFrame& frame, bool running);

    // A concrete service stops its server in its own destructor: by the time this base is
    // destroyed the derived part is gone, so no stop hook can run from here.
    ~TServiceComponent() override = default;

protected:
    // The settings dialog of a service: shows the form; on OK runs copyBack (the form's
    // values into the service), then SaveToSettingsFile. True only for OK. OK with a form
    // whose ValidationError is not empty shows that error and changes nothing (false).
    bool RunSettingsForm(ASettingsForm& form, const std::function<void()>& copyBack);

    struct TProxyRecord {
        const char* Suffix; // e.g. "-SocksProxy"
        TProxyServerInfo* Info;
    };

    // The service's keys after "Enabled", in file order, with their defaults.
    virtual void SettingsKeys(ASettingsKeys& keys) = 0;
    // Range rules applied after loading. Base: none.
    virtual void ClampSettings() {}
    // The up-stream proxy records, in file order. Base: none.
    virtual std::vector<TProxyRecord> ProxyRecords() { return {}; }
    // The service's keys its settings dialog does not show (set in the file only). A
    // malformed one outlives the dialog's OK: the service stays stopped and the value is
    // saved as written. Base: none.
    virtual std::vector<std::string> KeysOutsideDialog() const { return {}; }

private:
    void Load(TIniFile& ini, const std::string& section, bool keepMissing);

    TIniFile* FSettingsFile = nullptr;
    std::string FSettingsSection;
    std::string FSettingsError;
    // The values of KeysOutsideDialog that did not parse at the last load; saved as stored.
    std::vector<TSettingsLoader::TMalformed> FMalformedOutsideDialog;
};

class TProxyUsersSystem;

// A service that writes a log file in the service folder and is handed the proxy users
// list (the HTTP and SOCKS proxies).
class TLoggingServiceComponent : public TServiceComponent {
public:
    // users is not owned and outlives the service.
    TLoggingServiceComponent(std::string logFileName, TProxyUsersSystem* users)
        : FLog(std::move(logFileName)), FUsers(users) {}

    const std::string& LogFileName() const { return FLog.FileName(); }
    // The request log: one line per call of Append, from any thread.
    TRollingLogFile& RequestLog() { return FLog; }
    TProxyUsersSystem* Users() const { return FUsers; }

private:
    TRollingLogFile FLog;
    TProxyUsersSystem* FUsers;
};

} // namespace corvan

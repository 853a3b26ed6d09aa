#pragma once
// The application object: folders, the settings file, the application keys, the update
// check schedule, run at logon, and the order of loading, starting, stopping, saving and
// destroying. Main thread only.
//
// Start-up: construct (folders, settings file, update checker, root with its services),
// LoadSettings, Start. Shut-down: SaveSettings (only when Loaded), Stop, destroy.
//
// SaveSettings writes only what changed since the settings were loaded (or last taken as
// read, TakeSettingsBaseline), so a value the user did not set never reaches the file: not
// the default standing in for a malformed or missing key, not the running values kept
// through a half-written file. Only a file that held no section at the first load is filled
// with every key.

#include "app/Autostart.h"
#include "app/UpdateChecker.h"
#include "util/DateTime.h"
#include "util/RollingLogFile.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

class TIniFile;
class TProxySystem;
class AUserInterface;

// Fixed texts of the product.
struct TProductInfo {
    std::string SettingsFileName; // "CorvanProxy.ini"
    std::string ProductName;      // "Corvan Internet Proxy"
    std::string Version;          // "1.0.0"
    std::string Description;      // "Internet Proxy Server"
    std::string HomePage;
    std::string LegalNotice;
    std::string UpdateProductKey; // "CorvanProxy"
    std::string VersionFilePath;  // "/proxyapp/ver-proxy.txt"
};

// The product constants of this program.
TProductInfo ProxyProductInfo();

// Where the program keeps its files, taken from the process environment once so that tests
// and the command line can replace any part.
struct TAppEnvironment {
    // Root of the application data: $LOCALAPPDATA, else $XDG_DATA_HOME, else
    // ~/.local/share; empty when none of them can be told.
    std::string DataFolder;
    // $HOME.
    std::string HomeFolder;
    // The autostart folder: $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
    std::string AutostartFolder;
    // The running program (the autostart entry's Exec).
    std::string ProgramPath;
    // The --data-dir the program was given, as an absolute path; empty when none. The
    // autostart entry passes it on, so a run at log-on uses the same settings.
    std::string DataDirArgument;

    static TAppEnvironment FromProcess();
    // The application folder: DataFolder + "Corvan/" (the relative "Corvan/" when
    // DataFolder is empty).
    std::string ApplicationFolder() const;
};

// One line on out for each section the file holds more than once (naming it): the first
// copy is read, the others never are.
void ReportDuplicateSections(const TIniFile& ini, std::FILE* out);

class TAppBase {
public:
    // Builds and creates the application folder (environment.ApplicationFolder()), opens the
    // settings file in it and sets up the update checker with the product's host, port "80",
    // path, key and version.
    TAppBase(const TProductInfo& product, const TAppEnvironment& environment);
    virtual ~TAppBase();
    TAppBase(const TAppBase&) = delete;
    TAppBase& operator=(const TAppBase&) = delete;

    const TProductInfo Product;
    const TAppEnvironment Environment;

    const std::string& ApplicationFolder() const { return FApplicationFolder; }
    TIniFile& SettingsFile() const { return *FSettingsFile; }
    TUpdateChecker& UpdateChecker() { return FUpdateChecker; }
    const TAutostartEntry& Autostart() const { return FAutostart; }
    // False until LoadSettings has run to its end; nothing is saved before.
    bool Loaded() const { return FLoaded; }
    bool RunOnStartUp() const { return FRunOnStartUp; }

    TDateTime LastUpdateCheck = 0; // start of the last check; 0: never
    int UpdateCheckInterval = 28;  // days
    bool UpdateCheckEnabled = false;

    // The clock of the update schedule (local date-time); tests replace it.
    std::function<TDateTime()> Clock = Now;

    // ReadApplicationKeys, then sets Loaded and takes the settings as read
    // (TakeSettingsBaseline). The first load names each section the file holds twice on
    // stderr.
    virtual void LoadSettings();
    // Writes the keys whose values changed since the baseline (WriteAllKeys), then flushes
    // the settings file (raises EIniFile).
    void SaveSettings();
    // Takes the current values as those the file holds: after the settings were read again.
    void TakeSettingsBaseline();
    // Starts an automatic update check when one is due.
    virtual void Start();
    // Base: nothing.
    virtual void Stop();

    // Whether an automatic check is due now: enabled, and never checked or at least
    // UpdateCheckInterval whole days (> 0) since LastUpdateCheck.
    bool IsUpdateCheckDue() const;
    // Unless a check runs: LastUpdateCheck := now, written to the file at once, then the
    // checker starts. Whatever the enabled flag and the interval say. Without an UpdateHost
    // raises EUpdateChecker "Host not set" and records nothing.
    void CheckForUpdateNow();
    // Writes or removes the autostart entry, then stores the value.
    void SetRunOnStartUp(bool value);

protected:
    // Reads UpdateCheckEnabled, UpdateCheckInterval, RunOnStartUp, LastUpdateCheck, the update
    // server (UpdateHost, default empty: no checks; UpdatePort "80"; UpdateURI
    // "/proxyapp/ver-proxy.txt") ("Application"), and brings the autostart entry in line
    // with RunOnStartUp (not when the settings file could not be read or RunOnStartUp is not
    // 0 or 1: the setting is then unknown, and taken from the entry).
    void ReadApplicationKeys();
    // Every key the application saves, in saving order, into ini (not flushed). Base: the
    // four application keys.
    virtual void WriteAllKeys(TIniFile& ini);

private:
    std::string FApplicationFolder;
    std::unique_ptr<TIniFile> FSettingsFile;
    // WriteAllKeys as of the last load or baseline; empty when the file held no section at
    // the first load (everything is then written).
    std::unique_ptr<TIniFile> FBaseline;
    bool FLoaded = false;
    bool FRunOnStartUp = true;
    TUpdateChecker FUpdateChecker;
    TAutostartEntry FAutostart;
};

class TProxyApp : public TAppBase {
public:
    // The section the tree of services is loaded from.
    static constexpr const char* kRootSection = "Proxy";
    // Window placement value meaning "never saved".
    static constexpr int kNoPlacement = -99999;

    // ui: how components reach the user (not owned; outlives the application).
    TProxyApp(const TAppEnvironment& environment, AUserInterface& ui);
    // Destroys the root (and so the services), then the checker and the settings file.
    ~TProxyApp() override;

    // The service folder: DataFolder + "Corvan/ProxyApp/", or HomeFolder + the same when
    // DataFolder is empty.
    const std::string& ServiceFolder() const { return FServiceFolder; }
    TProxySystem& Root() const { return *FRoot; }

    bool ShowTips = true;
    bool MinimizeOnClose = true;
    bool MinimizeToTray = true;
    int X = kNoPlacement, Y = kNoPlacement, W = kNoPlacement, H = kNoPlacement;
    // Smallest LogMaxSize taken; a smaller one is reported and the default used instead.
    static constexpr int kMinLogMaxSize = 1024;
    // The request logs' roll-over ("LogMaxSize" bytes per file, "LogKeep" older copies);
    // applied to the HTTP and SOCKS logs at every load.
    int LogMaxSize = int(TRollingLogFile::kDefaultMaxSize);
    int LogKeep = TRollingLogFile::kDefaultKeep;

    // Closes the request logs, so that their next lines open the files afresh (SIGHUP,
    // after an outside rotation).
    void ReopenLogs();

    // ShowTips, MinimizeOnClose, MinimizeToTray, then X, Y, W, H ("MainForm"), LogMaxSize
    // and LogKeep, then the tree from "Proxy", then the application keys
    // (TAppBase::LoadSettings).
    void LoadSettings() override;
    // The same without the tree and without the baseline: after the settings file was read
    // again (the services are reloaded one by one, ReloadSettingsFile in app/Headless.h); the
    // caller takes the baseline once the tree is reloaded too.
    void LoadApplicationSettings();

    // Activates the tree (starts the enabled services), then the update check.
    void Start() override;
    // Deactivates the tree (stops every service), then the base.
    void Stop() override;

protected:
    // The application keys, ShowTips, MinimizeOnClose, MinimizeToTray, LogMaxSize, LogKeep,
    // X, Y, W, H, the tree to "Proxy".
    void WriteAllKeys(TIniFile& ini) override;

private:
    // ShowTips, MinimizeOnClose, MinimizeToTray, then X, Y, W, H ("MainForm").
    void ReadWindowKeys();
    // LogMaxSize and LogKeep, then their limits on the request logs. A value that does not
    // parse or lies outside its range is reported (user interface's LogMessage) and its
    // default taken: a log is never left without a bound.
    void ReadLogKeys();

    std::string FServiceFolder;
    std::unique_ptr<TProxySystem> FRoot;
};

} // namespace corvan

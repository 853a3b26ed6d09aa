#include "app/ProxyAppBase.h"

#include "app/ProxySystem.h"
#include "component/SettingsKeys.h"
#include "http-proxy/HTTPProxySystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "util/FileSystem.h"
#include "util/IniFile.h"
#include "util/RollingLogFile.h"
#include "util/Version.h"

#include <cstdio>
#include <limits>
#include <optional>

namespace corvan {

namespace {
const char* const ApplicationSection = "Application";
const char* const MainFormSection = "MainForm";
} // namespace

TProductInfo ProxyProductInfo() {
    TProductInfo p;
    p.SettingsFileName = "CorvanProxy.ini";
    p.ProductName = ProductName();
    p.Version = ProductVersion();
    p.Description = "Internet Proxy Server";
    p.HomePage = "http://www.corvan.example/proxyapp/";
    p.LegalNotice = "Copyright (c) Corvan Software. All rights reserved.";
    p.UpdateProductKey = "CorvanProxy";
    p.VersionFilePath = "/proxyapp/ver-proxy.txt";
    return p;
}

TAppEnvironment TAppEnvironment::FromProcess() {
    TAppEnvironment e;
    e.HomeFolder = GetEnvironment("HOME");
    std::string home = IncludeTrailingSlash(e.HomeFolder);
    e.DataFolder = GetEnvironment("LOCALAPPDATA");
    if (e.DataFolder.empty())
        e.DataFolder = GetEnvironment("XDG_DATA_HOME");
    if (e.DataFolder.empty() && !home.empty())
        e.DataFolder = home + ".local/share";
    std::string config = GetEnvironment("XDG_CONFIG_HOME");
    if (config.empty() && !home.empty())
        config = home + ".config";
    if (!config.empty())
        e.AutostartFolder = IncludeTrailingSlash(config) + "autostart";
    e.ProgramPath = corvan::ProgramPath();
    return e;
}

std::string TAppEnvironment::ApplicationFolder() const {
    return IncludeTrailingSlash(DataFolder) + "Corvan/";
}

void ReportDuplicateSections(const TIniFile& ini, std::FILE* out) {
    for (const std::string& section : ini.DuplicateSections())
        std::fprintf(out,
                     "corvan-proxy: the settings file holds [%s] more than once: the first is "
                     "used, the others are ignored\n",
                     section.c_str());
    std::fflush(out);
}

// ---- TAppBase ----

TAppBase::TAppBase(const TProductInfo& product, const TAppEnvironment& environment)
    : Product(product), Environment(environment),
      FApplicationFolder(environment.ApplicationFolder()),
      FAutostart(environment.AutostartFolder, environment.ProgramPath, product.ProductName,
                 environment.DataDirArgument.empty()
                     ? std::vector<std::string>()
                     : std::vector<std::string>{"--data-dir", environment.DataDirArgument}) {
    ForceDirectories(FApplicationFolder);
    FSettingsFile = std::make_unique<TIniFile>(FApplicationFolder + Product.SettingsFileName);
    // No maker's host is built in: checks need the UpdateHost key (LoadSettings).
    FUpdateChecker.Port = "80";
    FUpdateChecker.URI = Product.VersionFilePath;
    FUpdateChecker.ProductKey = Product.UpdateProductKey;
    FUpdateChecker.CurrentVersion = Product.Version;
}

TAppBase::~TAppBase() = default;

void TAppBase::LoadSettings() {
    ReadApplicationKeys();
    TIniFile& ini = *FSettingsFile;
    if (!FLoaded)
        ReportDuplicateSections(ini, stderr);
    // An empty file at the first load has nothing of the user's to keep: it gets every key,
    // so the user finds them to edit.
    if (!FLoaded && ini.ReadSections().empty())
        FBaseline = std::make_unique<TIniFile>("");
    else
        TakeSettingsBaseline();
    FLoaded = true;
}

void TAppBase::ReadApplicationKeys() {
    TIniFile& ini = *FSettingsFile;
    UpdateCheckEnabled = ini.ReadBool(ApplicationSection, "UpdateCheckEnabled", false);
    UpdateCheckInterval = ini.ReadInteger(ApplicationSection, "UpdateCheckInterval", 28);
    // A value that is not a switch ("no") leaves the user's choice unknown, as an unreadable
    // file does: the entry is taken as it is, never written or removed for a guess.
    std::optional<bool> runOnStartUp =
        ini.ValueExists(ApplicationSection, "RunOnStartUp")
            ? TIniFile::ParseSwitch(ini.ReadString(ApplicationSection, "RunOnStartUp", ""))
            : std::optional<bool>(true);
    FRunOnStartUp = runOnStartUp.value_or(FAutostart.IsPresent());
    LastUpdateCheck = ini.ReadFloat(ApplicationSection, "LastUpdateCheck", 0);
    FUpdateChecker.Host = ini.ReadString(ApplicationSection, "UpdateHost", "");
    FUpdateChecker.Port = ini.ReadString(ApplicationSection, "UpdatePort", "80");
    FUpdateChecker.URI = ini.ReadString(ApplicationSection, "UpdateURI", Product.VersionFilePath);
    // With an unreadable settings file the user's choice is unknown: leave the entry as
    // it is rather than bring it in line with a default.
    if (ini.LoadError().empty() && runOnStartUp && FAutostart.IsPresent() != FRunOnStartUp)
        SetRunOnStartUp(FRunOnStartUp);
}

void TAppBase::TakeSettingsBaseline() {
    FBaseline = std::make_unique<TIniFile>("");
    WriteAllKeys(*FBaseline);
}

void TAppBase::WriteAllKeys(TIniFile& ini) {
    ini.WriteBool(ApplicationSection, "UpdateCheckEnabled", UpdateCheckEnabled);
    ini.WriteInteger(ApplicationSection, "UpdateCheckInterval", UpdateCheckInterval);
    ini.WriteFloat(ApplicationSection, "LastUpdateCheck", LastUpdateCheck);
    ini.WriteBool(ApplicationSection, "RunOnStartUp", FRunOnStartUp);
}

void TAppBase::SaveSettings() {
    TIniFile& ini = *FSettingsFile;
    TIniFile now("");
    WriteAllKeys(now);
    for (const std::string& section : now.ReadSections())
        for (const std::string& key : now.ReadSection(section)) {
            std::string value = now.ReadString(section, key, "");
            if (!FBaseline || !FBaseline->ValueExists(section, key) ||
                FBaseline->ReadString(section, key, "") != value)
                ini.WriteString(section, key, value);
        }
    ini.UpdateFile();
}

bool TAppBase::IsUpdateCheckDue() const {
    if (!UpdateCheckEnabled)
        return false;
    if (LastUpdateCheck == 0)
        return true;
    return UpdateCheckInterval > 0 &&
           WholeDaysBetween(LastUpdateCheck, Clock()) >= UpdateCheckInterval;
}

void TAppBase::Start() {
    // Without a host to ask there is nothing to check; only a check asked for says so.
    if (IsUpdateCheckDue() && !FUpdateChecker.Host.empty())
        CheckForUpdateNow();
}

void TAppBase::Stop() {}

void TAppBase::CheckForUpdateNow() {
    if (FUpdateChecker.Busy())
        return;
    if (FUpdateChecker.Host.empty())
        throw EUpdateChecker("Host not set");
    LastUpdateCheck = Clock();
    FSettingsFile->WriteFloat(ApplicationSection, "LastUpdateCheck", LastUpdateCheck);
    FSettingsFile->UpdateFile();
    FUpdateChecker.Start();
}

void TAppBase::SetRunOnStartUp(bool value) {
    if (value)
        FAutostart.Write();
    else
        FAutostart.Remove();
    FRunOnStartUp = value;
}

// ---- TProxyApp ----

namespace {
std::string ServiceFolderOf(const TAppEnvironment& e) {
    const std::string& base = e.DataFolder.empty() ? e.HomeFolder : e.DataFolder;
    return IncludeTrailingSlash(base) + "Corvan/ProxyApp/";
}
} // namespace

TProxyApp::TProxyApp(const TAppEnvironment& environment, AUserInterface& ui)
    : TAppBase(ProxyProductInfo(), environment), FServiceFolder(ServiceFolderOf(environment)) {
    FRoot = std::make_unique<TProxySystem>(FServiceFolder);
    FRoot->SetUserInterface(&ui);
}

TProxyApp::~TProxyApp() {
    FRoot.reset();
}

void TProxyApp::LoadSettings() {
    ReadWindowKeys();
    ReadLogKeys();
    FRoot->LoadSettings(SettingsFile(), kRootSection);
    TAppBase::LoadSettings();
}

void TProxyApp::LoadApplicationSettings() {
    ReadWindowKeys();
    ReadLogKeys();
    ReadApplicationKeys();
}

void TProxyApp::ReadWindowKeys() {
    TIniFile& ini = SettingsFile();
    ShowTips = ini.ReadBool(ApplicationSection, "ShowTips", true);
    MinimizeOnClose = ini.ReadBool(ApplicationSection, "MinimizeOnClose", true);
    MinimizeToTray = ini.ReadBool(ApplicationSection, "MinimizeToTray", true);
    X = ini.ReadInteger(MainFormSection, "X", kNoPlacement);
    Y = ini.ReadInteger(MainFormSection, "Y", kNoPlacement);
    W = ini.ReadInteger(MainFormSection, "W", kNoPlacement);
    H = ini.ReadInteger(MainFormSection, "H", kNoPlacement);
}

void TProxyApp::ReadLogKeys() {
    TSettingsLoader keys(SettingsFile(), ApplicationSection);
    auto read = [&](const char* key, int& value, int def, int low, int high) {
        keys.Integer(key, value, def);
        if (value < low || value > high) {
            FRoot->UserInterface().LogMessage(std::string(key) + "=" + std::to_string(value) +
                                              " in [" + ApplicationSection + "] is not from " +
                                              std::to_string(low) + " to " + std::to_string(high));
            value = def;
        }
    };
    read("LogMaxSize", LogMaxSize, int(TRollingLogFile::kDefaultMaxSize), kMinLogMaxSize,
         std::numeric_limits<int>::max());
    read("LogKeep", LogKeep, TRollingLogFile::kDefaultKeep, 0, TRollingLogFile::kMaxKeep);
    for (const TSettingsLoader::TMalformed& m : keys.Malformed())
        FRoot->UserInterface().LogMessage(m.Error + ": the default is used");
    FRoot->HTTPProxy().RequestLog().SetLimits(LogMaxSize, LogKeep);
    FRoot->SocksProxy().RequestLog().SetLimits(LogMaxSize, LogKeep);
}

void TProxyApp::ReopenLogs() {
    FRoot->HTTPProxy().RequestLog().Reopen();
    FRoot->SocksProxy().RequestLog().Reopen();
}

void TProxyApp::WriteAllKeys(TIniFile& ini) {
    TAppBase::WriteAllKeys(ini);
    ini.WriteBool(ApplicationSection, "ShowTips", ShowTips);
    ini.WriteBool(ApplicationSection, "MinimizeOnClose", MinimizeOnClose);
    ini.WriteBool(ApplicationSection, "MinimizeToTray", MinimizeToTray);
    ini.WriteInteger(ApplicationSection, "LogMaxSize", LogMaxSize);
    ini.WriteInteger(ApplicationSection, "LogKeep", LogKeep);
    ini.WriteInteger(MainFormSection, "X", X);
    ini.WriteInteger(MainFormSection, "Y", Y);
    ini.WriteInteger(MainFormSection, "W", W);
    ini.WriteInteger(MainFormSection, "H", H);
    FRoot->SaveSettings(ini, kRootSection);
}

void TProxyApp::Start() {
    FRoot->Activate();
    TAppBase::Start();
}

void TProxyApp::Stop() {
    FRoot->Deactivate();
    TAppBase::Stop();
}

} // namespace corvan

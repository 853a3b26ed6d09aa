#include "app/Headless.h"

#include "app/ProxySystem.h"
#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "status/StatusSystem.h"
#include "util/IniFile.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <utility>

namespace corvan {

void ApplyEnableList(TProxySystem& root, const std::vector<std::string>& services) {
    for (const std::string& name : services) {
        if (name == "http")
            root.HTTPProxy().EnabledForRun = true;
        else if (name == "socks")
            root.SocksProxy().EnabledForRun = true;
        else if (name == "dns")
            root.DNSProxy().EnabledForRun = true;
        else if (name == "status")
            root.Status().EnabledForRun = true;
        else if (name == "mappings")
            for (TAppComponent* mapping : root.PortMapper().GetChildren())
                static_cast<TPortMapSystem*>(mapping)->EnabledForRun = true;
    }
}

void ApplyEnableList(TProxySystem& root, TServiceComponent& service,
                     const std::vector<std::string>& services) {
    for (const std::string& name : services)
        if ((name == "http" && &service == &root.HTTPProxy()) ||
            (name == "socks" && &service == &root.SocksProxy()) ||
            (name == "dns" && &service == &root.DNSProxy()) ||
            (name == "status" && &service == &root.Status()) ||
            (name == "mappings" && service.Parent() == &root.PortMapper()))
            service.EnabledForRun = true;
}


bool ReloadSettingsFile(TProxyApp& app, const std::vector<std::string>& enable, std::FILE* err) {
    // Whatever the file holds, an outside rotation of the logs is taken up.
    app.ReopenLogs();
    TIniFile& ini = app.SettingsFile();
    std::unique_ptr<TIniFile> fresh;
    std::string error;
    // A missing file would read as all defaults: every service off. An editor that saves
    // by removing first, or a mistyped path, must not stop a running server.
    std::error_code ec;
    if (!std::filesystem::exists(ini.FileName(), ec) && !ec) {
        error = "The settings file " + ini.FileName() + " does not exist";
    } else {
        fresh = std::make_unique<TIniFile>(ini.FileName());
        error = fresh->LoadError();
    }
    if (!error.empty()) {
        std::fprintf(err,
                     "corvan-proxy: %s\ncorvan-proxy: the settings file cannot be read: the "
                     "running settings are kept\n",
                     error.c_str());
        std::fflush(err);
        return false;
    }
    ReportDuplicateSections(*fresh, err);
    TIniFile previous("");
    previous.SetText(ini.Text());
    ini.SetText(fresh->Text());
    app.LoadApplicationSettings();
    TProxySystem& root = app.Root();
    std::vector<std::string> changes =
        root.ReloadSettings(previous, ini, TProxyApp::kRootSection,
                            [&](TServiceComponent& s) { ApplyEnableList(root, s, enable); });
    // What runs now is what the file says (or what a half-written file left running):
    // nothing of it is the program's own change to save at the end, which would otherwise
    // write this text over the file as the user finished it.
    ini.MarkUnmodified();
    app.TakeSettingsBaseline();
    if (changes.empty())
        std::fprintf(err, "corvan-proxy: settings read again: nothing changed\n");
    for (const std::string& change : changes)
        std::fprintf(err, "corvan-proxy: settings read again: %s\n", change.c_str());
    std::fflush(err);
    return true;
}

bool ShutDown(TProxyApp& app, std::FILE* err) {
    bool saved = true;
    if (app.Loaded()) {
        try {
            app.SaveSettings();
        } catch (const std::exception& e) {
            std::fprintf(err, "corvan-proxy: %s\n", e.what());
            saved = false;
        }
    }
    try {
        app.Stop();
    } catch (const std::exception& e) {
        std::fprintf(err, "corvan-proxy: %s\n", e.what());
    }
    return saved;
}

int RunHeadless(const TCommandLine& options, const TAppEnvironment& environment,
                const TStopWaiter& waitForStop, std::FILE* err) {
    THeadlessUserInterface ui;
    // No autostart folder: the entry is then never written nor removed.
    TAppEnvironment headless = environment;
    headless.AutostartFolder.clear();
    auto app = std::make_unique<TProxyApp>(headless, ui);
    const TIniFile& ini = app->SettingsFile();
    if (!ini.LoadError().empty()) {
        // Nobody is there to see that defaults stand in for the user's settings (their
        // bind address, their login rule): running them could open a proxy the user never
        // configured. Nothing has started and nothing is saved.
        std::fprintf(err,
                     "corvan-proxy: %s\ncorvan-proxy: not started: the settings file cannot "
                     "be read; it is left as it is\n",
                     ini.LoadError().c_str());
        std::fflush(err);
        return 1;
    }
    app->LoadSettings();
    ApplyEnableList(app->Root(), options.Enable);
    try {
        app->Start();
    } catch (const std::exception& e) {
        // As in the window: report it and keep running with what did start.
        ui.ShowError(e.what());
    }
    if (std::string page = app->Root().Status().PageAddress(); !page.empty())
        std::fprintf(err, "corvan-proxy: status page at %s\n", page.c_str());
    std::fprintf(err,
                 "corvan-proxy: %s %s running headless; settings in %s; stop with Ctrl+C or "
                 "SIGTERM, read the settings again with SIGHUP\n",
                 app->Product.ProductName.c_str(), app->Product.Version.c_str(),
                 ini.FileName().c_str());
    std::fflush(err);
    // The last SIGHUP found the file unreadable: whatever the user has there now is left
    // as it is at the end, as at start-up.
    bool keepFile = false;
    int signal = waitForStop([&] {
        std::fprintf(err, "corvan-proxy: SIGHUP received, reading the settings file again\n");
        keepFile = !ReloadSettingsFile(*app, options.Enable, err);
    });
    std::fprintf(err, "corvan-proxy: %s received, stopping\n",
                 signal == SIGINT    ? "SIGINT"
                 : signal == SIGTERM ? "SIGTERM"
                                     : "stop request");
    if (keepFile) {
        std::fprintf(err, "corvan-proxy: the settings file could not be read at the last "
                          "SIGHUP: it is left as it is, not saved\n");
        app->Stop();
        return 0;
    }
    bool saved = ShutDown(*app, err);
    app.reset();
    return saved ? 0 : 1;
}

} // namespace corvan

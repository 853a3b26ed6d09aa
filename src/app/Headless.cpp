#include "app/Headless.h"

#include "app/ProxySystem.h"
#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "util/IniFile.h"

#include <csignal>
#include <cstring>
#include <utility>

namespace corvan {

void ApplyEnableList(TProxySystem& root, const std::vector<std::string>& services) {
    for (const std::string& name : services) {
        if (name == "http")
            root.HTTPProxy().Enabled = true;
        else if (name == "socks")
            root.SocksProxy().Enabled = true;
        else if (name == "dns")
            root.DNSProxy().Enabled = true;
        else if (name == "mappings")
            for (TAppComponent* mapping : root.PortMapper().GetChildren())
                static_cast<TPortMapSystem*>(mapping)->Enabled = true;
    }
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
                const std::function<int()>& waitForStop, std::FILE* err) {
    THeadlessUserInterface ui;
    auto app = std::make_unique<TProxyApp>(environment, ui);
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
    // Without a window nothing else would tell the user that a switched-on service is idle.
    const TProxySystem& services = app->Root();
    for (const auto& [service, name] :
         {std::pair<const TAppComponent*, const char*>{&services.HTTPProxy(), "HTTP proxy"}})
        if (service->GetEnabled())
            std::fprintf(err,
                         "corvan-proxy: the %s is not part of this version yet: it is switched "
                         "on but does not run\n",
                         name);
    std::fprintf(err,
                 "corvan-proxy: %s %s running headless; settings in %s; stop with Ctrl+C or "
                 "SIGTERM\n",
                 app->Product.ProductName.c_str(), app->Product.Version.c_str(),
                 ini.FileName().c_str());
    std::fflush(err);
    int signal = waitForStop();
    std::fprintf(err, "corvan-proxy: %s received, stopping\n",
                 signal == SIGINT    ? "SIGINT"
                 : signal == SIGTERM ? "SIGTERM"
                                     : "stop request");
    bool saved = ShutDown(*app, err);
    app.reset();
    return saved ? 0 : 1;
}

} // namespace corvan

#pragma once
// A main window over a fresh data folder, with boxes answered by the test.

#include "app/ProxySystem.h"
#include "gui/MainWindow.h"
#include "gui/StatusView.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "status/StatusSystem.h"
#include "support/TempDir.h"
#include "users/ProxyUsersSystem.h"

#include <QCoreApplication>
#include <QEvent>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace corvan::test {

struct TWindowFixture {
    TTempDir Dir;
    TAppEnvironment Environment;
    std::unique_ptr<TfrmMain> Window;
    std::vector<std::string> Errors;
    bool ConfirmAnswer = true;
    // The status page opens its port: off, it runs without one (its default port is fixed,
    // and a program beside the tests may hold it).
    bool StatusListens = false;

    TWindowFixture() {
        Environment.DataFolder = Dir / "data";
        Environment.HomeFolder = Dir / "home";
        Environment.AutostartFolder = Dir / "config/autostart";
        Environment.ProgramPath = "/usr/bin/corvan-proxy";
    }
    ~TWindowFixture() { Close(); }

    std::string SettingsPath() const { return Dir / "data/Corvan/CorvanProxy.ini"; }
    // Writes the settings file the next window reads.
    void WriteSettings(const std::string& text) {
        std::filesystem::create_directories(Dir / "data/Corvan");
        WriteFileText(SettingsPath(), text);
    }
    // Opens the window (not shown unless show is true) and runs its first-show step.
    TfrmMain& Open(bool show = false) {
        Window = std::make_unique<TfrmMain>(Environment);
        Root().Status().Listens = StatusListens;
        Window->UI().OnShowError = [this](const std::string& text) { Errors.push_back(text); };
        Window->UI().OnConfirm = [this](const std::string&) { return ConfirmAnswer; };
        if (show)
            Window->show();
        Window->FirstShow();
        return *Window;
    }
    void Close() {
        if (!Window)
            return;
        Window->ShutDown();
        Window.reset();
        ReleaseDeferred();
    }
    static void ReleaseDeferred() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    TProxySystem& Root() { return Window->App().Root(); }
    // Selects a component's node as a click would.
    void Select(const TAppComponent* component) {
        Window->Tree()->setCurrentItem(Window->NodeOf(component));
    }
};

// A settings file with three users and two mappings.
inline const char* kUsersAndMappings =
    "[Proxy-ProxyUsers]\nItemCount=3\n"
    "[Proxy-ProxyUsers.Items.0]\nName=Ann\nLogin=ann\n"
    "[Proxy-ProxyUsers.Items.1]\nName=Bob\nLogin=bob\n"
    "[Proxy-ProxyUsers.Items.2]\nName=\nLogin=\n"
    "[Proxy-PortMapper]\nItemCount=2\n"
    "[Proxy-PortMapper.Items.0]\nServerProtocol=3\nServerPort=8081\nDestHost=example.org\n"
    "DestPort=80\n"
    "[Proxy-PortMapper.Items.1]\nServerProtocol=4\nServerPort=5353\nDestHost=10.0.0.1\n"
    "DestPort=53\n";

} // namespace corvan::test

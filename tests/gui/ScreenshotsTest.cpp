// Not a check: scripts/screenshots.sh runs this under Xvfb with CORVAN_SHOTS_DIR set, to
// save a picture of every view and dialog for a person to look at.
#include "GuiFixture.h"

#include "dns-proxy/DNSProxySystem.h"
#include "gui/EditorFrameViews.h"
#include "gui/LoopBridge.h"
#include "gui/SettingsDialogs.h"
#include "http-proxy/HTTPProxySystem.h"
#include "net/EventLoop.h"
#include "support/NetTestSupport.h"

#include <QApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace corvan;
using namespace corvan::test;

namespace {

void Save(QWidget* widget, const std::string& folder, const std::string& name) {
    QTest::qWait(50); // lets the window system draw before the grab
    widget->grab().save(QString::fromStdString(folder + "/" + name + ".png"));
}

// A widget with the list it has open, which is a window of its own: the screen around both.
void SaveWithPopup(QWidget* widget, QWidget* popup, const std::string& folder,
                   const std::string& name) {
    QTest::qWait(200); // the list opens animated
    QRect area = widget->frameGeometry().united(popup->frameGeometry());
    widget->screen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .save(QString::fromStdString(folder + "/" + name + ".png"));
}

void SaveDialogPages(TSettingsDialog& dialog, const std::string& folder, const std::string& name) {
    for (int i = 0; i < dialog.Pages()->count(); ++i) {
        dialog.Pages()->setCurrentIndex(i);
        QString page = dialog.Pages()->tabText(i).toLower().replace(' ', '-');
        Save(&dialog, folder, name + "-" + page.toStdString());
    }
    dialog.reject();
}

} // namespace

TEST(Screenshots, EveryViewAndDialog) {
    const char* folder = std::getenv("CORVAN_SHOTS_DIR");
    if (!folder)
        GTEST_SKIP() << "CORVAN_SHOTS_DIR not set";
    std::string dir = folder;
    uint16_t port = FreeLoopbackPort();
    TWindowFixture f;
    f.WriteSettings(std::string(kUsersAndMappings) +
                    "[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                    std::to_string(port) + "\n[Proxy-HTTP]\nEnabled=1\n[Proxy-DNS]\nEnabled=1\nServerIP=127.0.0.1\n"
                    "ServerPort=" + std::to_string(FreeLoopbackPort()) + "\n");
    TfrmMain& w = f.Open(true);
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    w.Tree()->expandAll();
    const std::pair<TAppComponent*, const char*> views[] = {
        {&w.About(), "main-about"},
        {&f.Root().HTTPProxy(), "main-http"},
        {&f.Root().DNSProxy(), "main-dns"},
        {&f.Root().SocksProxy(), "main-socks"},
        {&f.Root().PortMapper(), "main-portmappings"},
        {f.Root().PortMapper().Item(0), "main-mapping"},
        {&f.Root().ProxyUsers(), "main-users"},
        {f.Root().ProxyUsers().User(0), "main-user"},
        {f.Root().ProxyUsers().User(2), "main-user-unnamed"}};
    TSocketHandle client = ConnectBlocking(port);
    for (const auto& [component, name] : views) {
        f.Select(component);
        w.RunCommand([] {});
        QTest::qWait(600);
        Save(&w, dir, name);
    }
    SocketClose(client);
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        // The machine's addresses, both families, as the server page offers them.
        QComboBox* addresses = static_cast<TSocksSettingsDialog&>(d).ServerIP()->AddressBox();
        addresses->showPopup();
        SaveWithPopup(&d, addresses->view()->window(), dir, "dialog-socks-server-ip-list");
        addresses->hidePopup();
        SaveDialogPages(d, dir, "dialog-socks");
    };
    f.Root().SocksProxy().EditSettings();
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        auto& dialog = static_cast<THTTPSettingsDialog&>(d);
        dialog.UseHTTPProxyBox()->click();
        dialog.LoginModeButton(3)->click();
        SaveDialogPages(d, dir, "dialog-http");
    };
    f.Root().HTTPProxy().EditSettings();
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        auto& dialog = static_cast<TPortMapSettingsDialog&>(d);
        dialog.UseSocksProxyBox()->click();
        SaveDialogPages(d, dir, "dialog-mapping");
    };
    f.Root().PortMapper().Item(0)->EditSettings();
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        auto& dialog = static_cast<TDNSSettingsDialog&>(d);
        dialog.MethodServerButton()->click();
        SaveDialogPages(d, dir, "dialog-dns");
    };
    f.Root().DNSProxy().EditSettings();
    {
        TfrmNewVersion dialog(w.App().Product, "1.0.1", "http://corvan.example/proxyapp/",
                              "http://corvan.example/proxyapp/corvan-proxy_1.0.1_amd64.deb", &w);
        dialog.show();
        Save(&dialog, dir, "dialog-newversion");
    }
    w.UI().OnDialogShown = [&](TSettingsDialog& d) { SaveDialogPages(d, dir, "dialog-user"); };
    f.Root().ProxyUsers().User(0)->EditSettings();
    QTimer::singleShot(300, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            Save(box, dir, "dialog-about");
            box->close();
        }
    });
    ShowAboutDialog(&w, w.App().Product);
    std::unique_ptr<QMenu> menu = w.BuildContextMenu();
    menu->popup(w.mapToGlobal(QPoint(60, 60)));
    Save(menu.get(), dir, "menu-user");
    menu->close();

    // The option menu as loaded, its upgrade choices, and once more with the entries that
    // are kept hidden shown, to see their marks.
    QMenu* options = nullptr;
    for (QAction* a : w.menuBar()->actions())
        if (a->text() == "&Options")
            options = a->menu();
    ASSERT_NE(options, nullptr);
    options->popup(w.mapToGlobal(QPoint(40, 20)));
    Save(options, dir, "menu-options");
    QMenu* upgrades = nullptr;
    for (QAction* a : options->actions())
        if (a->menu())
            upgrades = a->menu();
    ASSERT_NE(upgrades, nullptr);
    upgrades->popup(w.mapToGlobal(QPoint(240, 40)));
    Save(upgrades, dir, "menu-options-upgrades");
    upgrades->close();
    options->close();
    for (QAction* a : options->actions())
        a->setVisible(true);
    options->popup(w.mapToGlobal(QPoint(40, 20)));
    Save(options, dir, "menu-options-hidden-shown");
    options->close();
}

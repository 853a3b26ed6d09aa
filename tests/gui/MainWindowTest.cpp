#include "GuiFixture.h"

#include "gui/LoopBridge.h"
#include "gui/SettingsDialogs.h"
#include "gui/TreeRules.h"
#include "net/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/NetTestSupport.h"
#include "util/IniFile.h"

#include <QMenu>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>


using namespace corvan;
using namespace corvan::test;

namespace {

// The context menu's actions by caption: shown and enabled.
struct TShownAction {
    bool Visible = false;
    bool Enabled = false;
};
std::map<std::string, TShownAction> MenuOf(TfrmMain& window) {
    std::unique_ptr<QMenu> menu = window.BuildContextMenu();
    std::map<std::string, TShownAction> actions;
    for (QAction* a : menu->actions())
        actions[a->text().toStdString()] = {a->isVisible(), a->isEnabled()};
    return actions;
}

void Trigger(TfrmMain& window, const std::string& caption) {
    std::unique_ptr<QMenu> menu = window.BuildContextMenu();
    for (QAction* a : menu->actions())
        if (a->text().toStdString() == caption) {
            ASSERT_TRUE(a->isVisible() && a->isEnabled()) << caption;
            a->trigger();
            return;
        }
    FAIL() << "no command " << caption;
}

std::vector<std::string> Captions(QTreeWidgetItem* parent, QTreeWidget* tree) {
    std::vector<std::string> out;
    int n = parent ? parent->childCount() : tree->topLevelItemCount();
    for (int i = 0; i < n; ++i)
        out.push_back((parent ? parent->child(i) : tree->topLevelItem(i))->text(0).toStdString());
    return out;
}

} // namespace

TEST(MainWindow, SixTopNodesInOrderWithTheListsAsChildrenAndAboutShownFirst) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    EXPECT_EQ(Captions(nullptr, w.Tree()),
              (std::vector<std::string>{"About", "HTTP", "DNS", "Socks", "Port Mappings", "Users"}));
    EXPECT_EQ(Captions(w.NodeOf(&f.Root().ProxyUsers()), w.Tree()),
              (std::vector<std::string>{"Ann", "Bob", "<New User>"}));
    EXPECT_EQ(Captions(w.NodeOf(&f.Root().PortMapper()), w.Tree()),
              (std::vector<std::string>{"TCP Port 8081", "UDP Port 5353"}));
    EXPECT_EQ(w.SelectedComponent(), &w.About());
    ASSERT_NE(w.ShownView(), nullptr);
    EXPECT_EQ(w.ShownView()->LineText(0).toStdString(), "Corvan Internet Proxy");
    EXPECT_EQ(w.windowTitle().toStdString(), "Corvan Internet Proxy");
    EXPECT_TRUE(f.Errors.empty());
}

// While the status page runs, the About view links to it; stopped, the line is empty.
TEST(MainWindow, AboutLinksToTheRunningStatusPage) {
    TWindowFixture f;
    uint16_t port = FreeLoopbackPort();
    f.WriteSettings("[Proxy-Status]\nServerPort=" + std::to_string(port) + "\n");
    f.StatusListens = true;
    TfrmMain& w = f.Open();
    ASSERT_EQ(w.SelectedComponent(), &w.About());
    ASSERT_TRUE(f.Root().Status().Active()) << (f.Errors.empty() ? "" : f.Errors[0]);
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    w.About().UpdateDisplay();
    w.ShownView()->Refresh();
    EXPECT_EQ(w.ShownView()->LineText(int(TframeAbout::kStatusPageLine)).toStdString(),
              "Status page: <a href=\"" + url + "\">" + url + "</a>");
    f.Root().Status().SetEnabled(false);
    w.About().UpdateDisplay();
    w.ShownView()->Refresh();
    EXPECT_EQ(w.ShownView()->LineText(int(TframeAbout::kStatusPageLine)).toStdString(), "");
}

TEST(MainWindow, ContextMenuOnUsersListAndUserFollowsTheTable) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    f.Select(&f.Root().ProxyUsers());
    auto list = MenuOf(w);
    EXPECT_TRUE(list["&New..."].Visible && list["&New..."].Enabled);
    for (const char* hidden : {"&Enable", "&Disable", "De&lete", "&Rename", "&Settings..."})
        EXPECT_FALSE(list[hidden].Visible) << hidden;

    f.Select(f.Root().ProxyUsers().User(0));
    auto user = MenuOf(w);
    for (const char* offered : {"&Edit...", "De&lete", "&Rename"})
        EXPECT_TRUE(user[offered].Visible && user[offered].Enabled) << offered;
    for (const char* hidden : {"&Enable", "&Disable", "&New..."})
        EXPECT_FALSE(user[hidden].Visible) << hidden;

    // A service: Enable and Disable follow its running state; no New, Delete or Rename.
    f.Select(&f.Root().SocksProxy());
    auto socks = MenuOf(w);
    EXPECT_TRUE(socks["&Enable"].Enabled);
    EXPECT_TRUE(socks["&Disable"].Visible && !socks["&Disable"].Enabled);
    EXPECT_TRUE(socks["&Settings..."].Enabled);
    EXPECT_FALSE(socks["&New..."].Visible || socks["De&lete"].Visible || socks["&Rename"].Visible);

    f.Select(&w.About());
    for (auto& [caption, action] : MenuOf(w))
        EXPECT_FALSE(action.Visible) << caption;
}

TEST(MainWindow, DeletingTheSelectedUserFromItsOwnViewEmptiesTheStatusArea) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    TProxyUser* bob = f.Root().ProxyUsers().User(1);
    f.Select(bob);
    ASSERT_EQ(w.SelectedComponent(), bob);
    TStatusView* view = w.ShownView();
    ASSERT_NE(view, nullptr);
    QPointer<TStatusView> watch(view);
    // The button's handler destroys the user (and would destroy the frame it runs in).
    QTest::mouseClick(view->ButtonWidget("Delete"), Qt::LeftButton);
    EXPECT_EQ(w.ShownView(), nullptr);
    EXPECT_EQ(w.SelectedComponent(), nullptr);
    EXPECT_EQ(w.StatusArea()->widget(), nullptr);
    EXPECT_EQ(Captions(w.NodeOf(&f.Root().ProxyUsers()), w.Tree()),
              (std::vector<std::string>{"Ann", "<New User>"}));
    EXPECT_FALSE(watch.isNull()); // released later, not during its own click
    TWindowFixture::ReleaseDeferred();
    EXPECT_TRUE(watch.isNull());
    // The refresh that follows has nothing selected to draw.
    w.RunCommand([] {});
    EXPECT_TRUE(f.Errors.empty());
}

TEST(MainWindow, DeletingAnUnselectedMappingReleasesItsViewAndKeepsTheSelection) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    TAppComponent* first = f.Root().PortMapper().Item(0);
    f.Select(first);
    f.Select(f.Root().PortMapper().Item(1));
    TAppComponent* second = w.SelectedComponent();
    f.ConfirmAnswer = true;
    first->Delete();
    EXPECT_EQ(w.SelectedComponent(), second);
    EXPECT_EQ(w.Tree()->currentItem(), w.NodeOf(second));
    TWindowFixture::ReleaseDeferred();
    EXPECT_EQ(Captions(w.NodeOf(&f.Root().PortMapper()), w.Tree()),
              (std::vector<std::string>{"UDP Port 5353"}));
}

TEST(MainWindow, RenameKeepsTheTypedTextAndAnEmptyNameShowsNewUserAfterARebuild) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    TProxyUser* ann = f.Root().ProxyUsers().User(0);
    QTreeWidgetItem* node = w.NodeOf(ann);
    ASSERT_TRUE(node->flags() & Qt::ItemIsEditable);
    node->setText(0, "Anne"); // what the in-place editor commits
    EXPECT_EQ(ann->Name, "Anne");
    node->setText(0, "");
    EXPECT_EQ(ann->Name, "");
    EXPECT_EQ(node->text(0).toStdString(), "");
    QTreeWidgetItem* list = w.NodeOf(&f.Root().ProxyUsers());
    w.Tree()->collapseItem(list);
    w.Tree()->expandItem(list); // expanding rebuilds the children
    EXPECT_EQ(w.NodeOf(ann)->text(0).toStdString(), "<New User>");
    // The rename reached the settings file at once.
    f.Close();
    TIniFile ini(f.SettingsPath());
    EXPECT_EQ(ini.ReadString("Proxy-ProxyUsers.Items.0", "Name", "?"), "");

    // A mapping cannot be renamed: an edited caption goes back to its display name.
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& again = f.Open();
    QTreeWidgetItem* mapping = again.NodeOf(f.Root().PortMapper().Item(0));
    EXPECT_FALSE(mapping->flags() & Qt::ItemIsEditable);
    mapping->setText(0, "Mine");
    EXPECT_EQ(mapping->text(0).toStdString(), "TCP Port 8081");
}

TEST(MainWindow, EnablingAServiceWhosePortIsTakenShowsTheErrorAndLeavesItStopped) {
    TTestListener taken;
    TWindowFixture f;
    f.WriteSettings("[Proxy-SocksProxy]\nServerIP=127.0.0.1\nServerPort=" +
                    std::to_string(taken.Port) + "\n");
    TfrmMain& w = f.Open();
    f.Select(&f.Root().SocksProxy());
    Trigger(w, "&Enable");
    ASSERT_EQ(f.Errors.size(), 1u);
    EXPECT_NE(f.Errors[0].find("Address in use"), std::string::npos) << f.Errors[0];
    EXPECT_FALSE(f.Root().SocksProxy().Active());
    EXPECT_EQ(w.ShownView()->LineText(0).toStdString(), "Socks Proxy Server not active.");
    EXPECT_TRUE(w.ShownView()->ButtonWidget("Enable")->isEnabled());
}

TEST(MainWindow, RunningSocksViewCountsAConnectedClient) {
    uint16_t port = FreeLoopbackPort();
    TWindowFixture f;
    f.WriteSettings("[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                    std::to_string(port) + "\n");
    TfrmMain& w = f.Open();
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    ASSERT_TRUE(f.Root().SocksProxy().Active()) << (f.Errors.empty() ? "" : f.Errors[0]);
    f.Select(&f.Root().SocksProxy());
    TStatusView* view = w.ShownView();
    EXPECT_EQ(view->LineText(0).toStdString(),
              "Socks Proxy Server active on port " + std::to_string(port) + ".");
    TSocketHandle client = ConnectBlocking(port);
    ASSERT_NE(client, INVALID_SOCKETHANDLE);
    // The refresh timer redraws the view while Qt's loop serves the service's sockets.
    w.RefreshTimer().start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->ValueText("Connections") == "1"; }, 10000))
        << view->ValueText("Connections").toStdString();
    SocketClose(client);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->ValueText("Connections") == "0"; }, 10000));
    EXPECT_EQ(view->ValueText("Up-Time").isEmpty(), false);
}

TEST(MainWindow, RefreshRunsOnlyWhileTheWindowIsShown) {
    TWindowFixture f;
    TfrmMain& w = f.Open();
    EXPECT_FALSE(w.RefreshTimer().isActive());
    w.show();
    EXPECT_TRUE(w.RefreshTimer().isActive());
    EXPECT_EQ(w.RefreshTimer().interval(), 500);
    w.hide();
    EXPECT_FALSE(w.RefreshTimer().isActive());
}

TEST(MainWindow, PlacementIsRestoredWithinBoundsAndCentredOtherwise) {
    TWindowFixture f;
    f.WriteSettings("[MainForm]\nX=-8\nY=-8\nW=400\nH=300\n");
    TfrmMain& w = f.Open();
    EXPECT_EQ(w.size(), QSize(400, 300));
    EXPECT_EQ(w.pos(), QPoint(-8, -8));
    f.Close();

    f.WriteSettings("[MainForm]\nX=-9\nY=-8\nW=400\nH=300\n");
    TfrmMain& centred = f.Open(true);
    EXPECT_EQ(centred.width(), TfrmMain::kInitialClientWidth);
    EXPECT_EQ(centred.centralWidget()->height(), TfrmMain::kInitialClientHeight);
    // Closing stores the window's own placement.
    centred.move(20, 30);
    f.Close();
    TIniFile ini(f.SettingsPath());
    EXPECT_EQ(ini.ReadInteger("MainForm", "X", 0), 20);
    EXPECT_EQ(ini.ReadInteger("MainForm", "W", 0), TfrmMain::kInitialClientWidth);
}

TEST(MainWindow, WeeklyCheckChoiceSurvivesARestart) {
    TWindowFixture f;
    TfrmMain& w = f.Open();
    w.UpdateChoiceAction(TUpdateChoice::Weekly)->trigger();
    EXPECT_TRUE(w.App().UpdateCheckEnabled);
    EXPECT_EQ(w.App().UpdateCheckInterval, 7);
    f.Close();
    TfrmMain& again = f.Open();
    EXPECT_TRUE(again.UpdateChoiceAction(TUpdateChoice::Weekly)->isChecked());
    EXPECT_FALSE(again.UpdateChoiceAction(TUpdateChoice::Never)->isChecked());
    again.UpdateChoiceAction(TUpdateChoice::Never)->trigger();
    EXPECT_FALSE(again.App().UpdateCheckEnabled);
    EXPECT_EQ(again.App().UpdateCheckInterval, 7); // Never keeps the interval
}

TEST(MainWindow, CheckForUpgradeAsksTheServerAndShowsTheNewVersionDialog) {
    // The version file as the maker's server would serve it, on a loopback port.
    TTestHttpServer server;
    std::atomic<int> asked{0};
    std::string body = "version=1.0.1 ; new\r\ninfo-url=http://x.example/info?a=1&b=<2>\n"
                       "setup-url=file:///bin/sh\n";
    server.Handler = [&](TTestHttpConnection& c) {
        if (c.Request->GetURI() == "/ver.txt")
            ++asked;
        c.SetResponse(std::make_unique<ThttpResponse>(200, "OK", "HTTP", 1, 1, nullptr, body));
    };
    server.Start();
    TWindowFixture f;
    f.WriteSettings("[Application]\nUpdateHost=127.0.0.1\nUpdatePort=" +
                    std::to_string(server.Port()) + "\nUpdateURI=/ver.txt\n");
    TfrmMain& w = f.Open();
    int shown = 0;
    std::vector<std::string> opened;
    w.OnNewVersionShown = [&](TfrmNewVersion& d) {
        ++shown;
        d.OnOpenLink = [&](const std::string& url) { opened.push_back(url); };
        EXPECT_EQ(d.windowTitle().toStdString(), "New Version");
        EXPECT_EQ(d.Headline()->text().toStdString(),
                  "A new version of " + w.App().Product.ProductName + " is available.");
        EXPECT_EQ(d.CurrentVersion()->text().toStdString(), w.App().Product.Version);
        EXPECT_EQ(d.LatestVersion()->text().toStdString(), "1.0.1");
        // The address is a link, shown as sent (escaped, not read as markup).
        emit d.InfoLink()->linkActivated("ignored: the label's own address is opened");
        EXPECT_TRUE(d.InfoLink()->text().contains("&lt;2&gt;"));
        // A file address from the server is shown but is no link.
        EXPECT_EQ(d.SetupLink()->textFormat(), Qt::PlainText);
        EXPECT_EQ(d.SetupLink()->text().toStdString(), "file:///bin/sh");
    };
    w.CheckForUpgradeAction()->trigger();
    EXPECT_TRUE(f.Errors.empty());
    ASSERT_TRUE(RunLoopUntil([&] { return shown > 0; }, 15000));
    EXPECT_EQ(asked.load(), 1);
    EXPECT_EQ(opened, std::vector<std::string>{"http://x.example/info?a=1&b=<2>"});

    // The running version offered: no dialog, also when asked for.
    body = "version=" + w.App().Product.Version + "\n";
    w.CheckForUpgradeAction()->trigger();
    ASSERT_TRUE(RunLoopUntil([&] { return !w.App().UpdateChecker().Busy(); }, 15000));
    EXPECT_EQ(asked.load(), 2);
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(TfrmNewVersion::LinkAllowed("javascript:alert(1)"));
    EXPECT_TRUE(TfrmNewVersion::LinkAllowed("HTTPS://x.example/"));
}

TEST(MainWindow, AMappingsCaptionFollowsItsSettingsButATypedUserNameStays) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    auto* mapping = static_cast<TPortMapSystem*>(f.Root().PortMapper().Item(0));
    f.Select(mapping);
    w.UI().OnDialogShown = [](TSettingsDialog& d) {
        auto& dialog = static_cast<TPortMapSettingsDialog&>(d);
        dialog.PortEdit()->setText("8082");
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    };
    // From the mapping's own view, as a user clicks "Settings...".
    QTest::mouseClick(w.ShownView()->ButtonWidget("Settings..."), Qt::LeftButton);
    EXPECT_EQ(mapping->ServerPort, 8082);
    EXPECT_EQ(w.NodeOf(mapping)->text(0).toStdString(), "TCP Port 8082");
    // A user renamed to nothing in place keeps the empty caption through later commands.
    QTreeWidgetItem* ann = w.NodeOf(f.Root().ProxyUsers().User(0));
    ann->setText(0, "");
    w.RunCommand([] {});
    EXPECT_EQ(ann->text(0).toStdString(), "");
}

TEST(MainWindow, ReloadReadsTheFileAgainAndRebuildsTheTree) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    f.Select(f.Root().PortMapper().Item(1));
    // One mapping gone, one with a new port, one user left (a whole record: one that lacked a
    // key its place had would read as a file caught half written, and the list would stay).
    f.WriteSettings("[Proxy-ProxyUsers]\nItemCount=1\n[Proxy-ProxyUsers.Items.0]\nName=Cy\n"
                    "Login=cy\n"
                    "[Proxy-PortMapper]\nItemCount=1\n"
                    "[Proxy-PortMapper.Items.0]\nServerProtocol=3\nServerPort=9090\n"
                    "DestHost=example.org\nDestPort=80\n"
                    "[Application]\nUpdateCheckEnabled=1\nUpdateCheckInterval=7\n");
    EXPECT_TRUE(w.ReloadSettings({}));
    EXPECT_EQ(Captions(w.NodeOf(&f.Root().PortMapper()), w.Tree()),
              std::vector<std::string>{"TCP Port 9090"});
    EXPECT_EQ(Captions(w.NodeOf(&f.Root().ProxyUsers()), w.Tree()),
              std::vector<std::string>{"Cy"});
    EXPECT_EQ(w.SelectedComponent(), nullptr); // the selected mapping went
    EXPECT_TRUE(w.UpdateChoiceAction(TUpdateChoice::Weekly)->isChecked());
    EXPECT_TRUE(f.Errors.empty());
    TWindowFixture::ReleaseDeferred();

    // An unreadable file: the tree stays, the box says why, and closing does not save over it.
    std::filesystem::remove(f.SettingsPath());
    std::filesystem::create_directories(f.SettingsPath());
    EXPECT_FALSE(w.ReloadSettings({}));
    ASSERT_EQ(f.Errors.size(), 1u);
    EXPECT_NE(f.Errors[0].find("running settings are kept"), std::string::npos);
    EXPECT_EQ(f.Root().PortMapper().GetChildCount(), 1);
    f.Close();
    EXPECT_TRUE(std::filesystem::is_directory(f.SettingsPath()));
}

TEST(MainWindow, AReloadWaitsUntilTheDialogOrMenuOfAComponentItRemovesHasClosed) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    w.Tree()->expandAll();
    auto mappings = [&] { return Captions(w.NodeOf(&f.Root().PortMapper()), w.Tree()); };
    // The file is changed to hold one mapping and read again while a menu or dialog is open.
    auto reloadWithOnly = [&](const char* protocol, const char* port) {
        f.WriteSettings(std::string("[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\n"
                                    "ServerProtocol=") +
                        protocol + "\nServerPort=" + port + "\nDestHost=10.0.0.1\nDestPort=53\n");
        w.RequestReload({});
        return mappings();
    };
    std::vector<std::string> whileOpen;
    std::string dialogPort;
    auto cancelDialog = [&](TSettingsDialog& d) {
        dialogPort = static_cast<TPortMapSettingsDialog&>(d).PortEdit()->text().toStdString();
        d.reject();
    };

    // The UDP mapping's settings dialog is open when its mapping leaves the file.
    f.Select(f.Root().PortMapper().Item(1));
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        whileOpen = reloadWithOnly("3", "8081");
        cancelDialog(d);
    };
    Trigger(w, "&Settings...");
    EXPECT_EQ(whileOpen, (std::vector<std::string>{"TCP Port 8081", "UDP Port 5353"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return mappings().size() == 1; }, 5000));
    EXPECT_EQ(mappings(), std::vector<std::string>{"TCP Port 8081"});

    // The TCP mapping's context menu is open when its mapping leaves the file; its settings
    // are chosen afterwards, from that menu.
    f.Select(f.Root().PortMapper().Item(0));
    w.UI().OnDialogShown = cancelDialog;
    bool menuSeen = false;
    QTimer::singleShot(0, &w, [&] {
        QMenu* menu = nullptr;
        for (QMenu* open : w.findChildren<QMenu*>())
            if (open->isVisible())
                menu = open;
        if (!menu)
            return;
        menuSeen = true;
        whileOpen = reloadWithOnly("4", "5354");
        for (QAction* a : menu->actions())
            if (a->text() == "&Settings...")
                a->trigger();
        menu->close();
    });
    emit w.Tree()->customContextMenuRequested(QPoint(-1, -1)); // off the nodes: no new selection
    ASSERT_TRUE(menuSeen);
    EXPECT_EQ(whileOpen, std::vector<std::string>{"TCP Port 8081"});
    EXPECT_EQ(dialogPort, "8081");
    EXPECT_TRUE(QTest::qWaitFor([&] { return mappings().at(0) != "TCP Port 8081"; }, 5000));
    EXPECT_EQ(mappings(), std::vector<std::string>{"UDP Port 5354"});
    EXPECT_TRUE(f.Errors.empty());
}

TEST(MainWindow, TheOptionMenusShowTheSettingsAtStartAndAfterAReload) {
    TWindowFixture f;
    TfrmMain& w = f.Open();
    // Defaults: tips and run at logon on, no automatic checks.
    EXPECT_TRUE(w.ShowTipsAction()->isChecked());
    EXPECT_TRUE(w.RunOnStartUpAction()->isChecked());
    EXPECT_TRUE(w.UpdateChoiceAction(TUpdateChoice::Never)->isChecked());
    f.WriteSettings("[Application]\nShowTips=0\nRunOnStartUp=0\nUpdateCheckEnabled=1\n");
    ASSERT_TRUE(w.ReloadSettings({}));
    EXPECT_FALSE(w.ShowTipsAction()->isChecked());
    EXPECT_FALSE(w.RunOnStartUpAction()->isChecked());
    EXPECT_TRUE(w.UpdateChoiceAction(TUpdateChoice::Monthly)->isChecked()); // interval 28
    w.ShowTipsAction()->trigger();
    EXPECT_TRUE(w.App().ShowTips);
    EXPECT_TRUE(w.ShowTipsAction()->isChecked());
}

TEST(MainWindow, AnUnreadableSettingsFileIsRefusedAndLeftAlone) {
    TWindowFixture f;
    // A folder where the file should be cannot be read, whoever runs the test.
    std::filesystem::create_directories(f.SettingsPath());
    f.Window = std::make_unique<TfrmMain>(f.Environment);
    EXPECT_FALSE(f.Window->LoadRefusal().empty());
    EXPECT_FALSE(f.Window->App().Loaded());
}

TEST(MainWindow, DoubleClickOpensTheSettingsOfALeafOnly) {
    TWindowFixture f;
    f.WriteSettings(kUsersAndMappings);
    TfrmMain& w = f.Open();
    int shown = 0;
    w.UI().OnDialogShown = [&](TSettingsDialog& d) {
        ++shown;
        d.reject();
    };
    auto doubleClick = [&](const TAppComponent* component) {
        f.Select(component);
        emit w.Tree()->itemDoubleClicked(w.NodeOf(component), 0);
    };
    doubleClick(f.Root().ProxyUsers().User(0));
    EXPECT_EQ(shown, 1);
    doubleClick(&f.Root().ProxyUsers()); // a list with children: no dialog
    doubleClick(&w.About());            // no settings
    EXPECT_EQ(shown, 1);
    doubleClick(&f.Root().SocksProxy());
    EXPECT_EQ(shown, 2);
}

#include "GuiFixture.h"

#include "gui/LoopBridge.h"
#include "gui/SettingsDialogs.h"
#include "gui/TreeRules.h"
#include "net/WinClasses.h"
#include "support/NetTestSupport.h"
#include "util/IniFile.h"

#include <QMenu>
#include <QPointer>
#include <QTest>
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

TEST(MainWindow, CheckForUpgradeStartsTheChecker) {
    TWindowFixture f;
    // Nobody listens there: the check starts, and its failure comes later, not as an error box.
    f.WriteSettings("[Application]\nUpdateHost=127.0.0.1\nUpdatePort=" +
                    std::to_string(FreeLoopbackPort()) + "\n");
    TfrmMain& w = f.Open();
    int before = w.App().UpdateChecker().StartCount();
    w.CheckForUpgradeAction()->trigger();
    EXPECT_EQ(w.App().UpdateChecker().StartCount(), before + 1);
    EXPECT_TRUE(f.Errors.empty());
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

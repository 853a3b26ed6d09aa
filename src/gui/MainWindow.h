#pragma once
// The main window: the settings tree on the left, the status view of the selected
// component on the right, the context menu and main menu with their commands. It creates
// the application object and destroys it, so its life is the program's. Main thread only.
//
// Views: each status frame model gets one TStatusView, made on its first selection and kept
// (hidden while another node is selected) until the frame's component goes. A frame whose
// component is removed is taken from it and released with its view later (deleteLater),
// since the removal may come from a button of that very view.

#include "app/ProxyAppBase.h"
#include "gui/About.h"
#include "gui/NewVersion.h"
#include "gui/QtUserInterface.h"
#include "gui/TreeRules.h"

#include <QAction>
#include <QActionGroup>
#include <QMainWindow>
#include <QMenu>
#include <QScrollArea>
#include <QTimer>
#include <QTreeWidget>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvan {

class TStatusView;

class TfrmMain : public QMainWindow {
public:
    // The status views' refresh interval while the window is shown.
    static constexpr int kRefreshIntervalMs = 500;
    // The client area at first start, and the tree's width in it: wide enough for a mapping's
    // caption with a five-digit port, and the view beside it for a mapping's four buttons, in
    // the desktop's usual font (larger than the 511 by 269 pixels were first drawn for).
    static constexpr int kInitialClientWidth = 570;
    static constexpr int kInitialClientHeight = 269;
    static constexpr int kTreeWidth = 170;

    // Creates the application (environment: its folders), loads the settings and builds
    // the tree. When the settings file exists but cannot be read, nothing is loaded and
    // LoadRefusal says why (the program then ends without starting anything).
    explicit TfrmMain(const TAppEnvironment& environment);
    // Releases every view, then the application (whose shut-down has run at closing).
    ~TfrmMain() override;

    const std::string& LoadRefusal() const { return FLoadRefusal; }

    TProxyApp& App() const { return *FApp; }
    TQtUserInterface& UI() { return FUI; }
    TAbout& About() { return FAbout; }
    QTreeWidget* Tree() const { return FTree; }
    QScrollArea* StatusArea() const { return FStatusArea; }
    TAppComponent* SelectedComponent() const { return FSelected; }
    // The view placed in the status area, or null.
    TStatusView* ShownView() const { return FShownView; }
    QTimer& RefreshTimer() { return FRefresh; }

    // The tree node bound to a component, or null.
    QTreeWidgetItem* NodeOf(const TAppComponent* component) const;
    static TAppComponent* ComponentOf(const QTreeWidgetItem* node);

    // The context menu of the selected node, as it would pop up.
    std::unique_ptr<QMenu> BuildContextMenu();
    // Runs a command as the window runs every command: an exception shows its message in an
    // error box (the component stays as the command left it), then the selected view is
    // refreshed.
    void RunCommand(const std::function<void()>& command);
    // The first-show step: selects the About node and starts the application.
    void FirstShow();
    // The closing step: the placement into the application, save (an error box on failure),
    // stop every service. Runs once.
    void ShutDown();
    // Applies a saved placement, or centres the window at its initial size.
    void ApplyPlacement();
    // The option menu's actions (for tests).
    QAction* RunOnStartUpAction() const { return FRunOnStartUp; }
    QAction* ShowTipsAction() const { return FShowTips; }
    QAction* UpdateChoiceAction(TUpdateChoice choice) const;
    QAction* CheckForUpgradeAction() const { return FCheckForUpgrade; }

    // SIGHUP: reads the settings file again as the headless program does
    // (ReloadSettingsFile with the --enable list), then refreshes the tree, the option menus
    // and the selected view. An unreadable file keeps the running settings, shows why in an
    // error box, and is not saved over at closing. True when the file was read.
    bool ReloadSettings(const std::vector<std::string>& enable);
    // What SIGHUP runs: ReloadSettings now, or, while a context menu, a box or a settings
    // dialog is open, once the last of them has closed and the command that opened it has
    // returned: the reload may remove the very component that menu or dialog acts on.
    void RequestReload(const std::vector<std::string>& enable);

    // For tests: runs instead of the modal loop with the new-version dialog shown.
    std::function<void(TfrmNewVersion& dialog)> OnNewVersionShown;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void UpdateOptionMenus();
    void BindTopNode(QTreeWidgetItem* node, TAppComponent* component);
    void RebuildChildren(QTreeWidgetItem* node);
    QTreeWidgetItem* TopNodeOf(const TAppComponent* component) const;
    void SelectNode(QTreeWidgetItem* node);
    void SelectComponent(TAppComponent* component);
    void ShowView(TStatusView* view);
    TStatusView* ViewOf(AStatusFrame* frame);
    void RefreshSelected();
    void OnChildRemoved(TAppComponent* child);
    void OnNodeEdited(QTreeWidgetItem* node);
    void OnUpdateCheckComplete();
    // Runs the reload RequestReload held back, unless a menu or dialog is open again.
    void RunHeldReload();
    // Sets each child node's caption that differs from its component's display name, as
    // it was when last shown: a setting that names a node (a mapping's port) shows at once,
    // while a caption typed in place stays as typed until its list is rebuilt.
    void RefreshCaptions();

    TQtUserInterface FUI; // before the application, which keeps a reference to it
    std::unique_ptr<TProxyApp> FApp;
    TAbout FAbout;
    std::string FLoadRefusal;

    QTreeWidget* FTree = nullptr;
    QScrollArea* FStatusArea = nullptr;
    // Parent of the views not shown.
    QWidget* FViewStore = nullptr;
    std::map<AStatusFrame*, TStatusView*> FViews;
    TStatusView* FShownView = nullptr;
    TAppComponent* FSelected = nullptr;
    // Set while the tree's nodes are rebuilt, so that Qt's selection moves are not taken
    // for the user's.
    bool FBuilding = false;
    bool FFirstShown = false;
    bool FShutDown = false;
    // The last reload found the settings file unreadable: it is left as it is at closing.
    bool FKeepSettingsFile = false;
    // The --enable list of a reload asked for while a menu or dialog was open; later
    // requests fold into it.
    std::optional<std::vector<std::string>> FHeldReload;
    QTimer FRefresh;

    QAction* FRunOnStartUp = nullptr;
    QAction* FShowTips = nullptr;
    QAction* FUpdateNever = nullptr;
    QAction* FUpdateWeekly = nullptr;
    QAction* FUpdateMonthly = nullptr;
    QAction* FCheckForUpgrade = nullptr;
};

} // namespace corvan

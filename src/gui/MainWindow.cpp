#include "gui/MainWindow.h"
#include "gui/QtText.h"

#include "app/Headless.h"
#include "app/ProxySystem.h"
#include "dns-proxy/DNSProxySystem.h"
#include "gui/Pictures.h"
#include "gui/StatusView.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "status/StatusSystem.h"
#include "users/ProxyUsersSystem.h"
#include "util/IniFile.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QThread>
#include <QUrl>

namespace corvan {

namespace {

constexpr int kComponentRole = Qt::UserRole;
// The display name a child node was last given by the window (see RefreshCaptions).
constexpr int kShownNameRole = Qt::UserRole + 1;

} // namespace

TfrmMain::TfrmMain(const TAppEnvironment& environment) {
    // The order is fixed: application, update check handler, About, settings, About data,
    // caption, placement, tree, option menus.
    FUI.SetParent(this);
    FUI.OnReleased = [this] {
        // Queued: the command that opened the box or dialog still runs on its component.
        if (FHeldReload)
            QMetaObject::invokeMethod(this, [this] { RunHeldReload(); }, Qt::QueuedConnection);
    };
    FApp = std::make_unique<TProxyApp>(environment, FUI);
    FApp->UpdateChecker().OnComplete = [this](TUpdateChecker*) {
        // The checker may report from its own thread; the dialog belongs to this one.
        if (QThread::currentThread() == thread())
            OnUpdateCheckComplete();
        else
            QMetaObject::invokeMethod(this, [this] { OnUpdateCheckComplete(); },
                                      Qt::QueuedConnection);
    };
    const std::string& loadError = FApp->SettingsFile().LoadError();
    if (!loadError.empty())
        // Defaults would stand in for the user's settings; nothing is loaded, started or
        // saved (the application stays not Loaded).
        FLoadRefusal = loadError + "\nThe settings file is left as it is; the program ends.";
    else
        FApp->LoadSettings();
    FAbout.SetProduct(FApp->Product);
    FAbout.StatusPageAddress = [this] { return FApp->Root().Status().PageAddress(); };
    setWindowTitle(Q(FApp->Product.ProductName));
    QGuiApplication::setApplicationDisplayName(Q(FApp->Product.ProductName));
    setWindowIcon(ProgramIcon());

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    FTree = new QTreeWidget(splitter);
    FTree->setHeaderHidden(true);
    FTree->setContextMenuPolicy(Qt::CustomContextMenu);
    FTree->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    FTree->setExpandsOnDoubleClick(false);
    // A caption wider than the narrow tree scrolls sideways rather than being cut short.
    FTree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    FTree->header()->setStretchLastSection(false);
    FTree->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    FStatusArea = new QScrollArea(splitter);
    FStatusArea->setWidgetResizable(true);
    FStatusArea->setFrameShape(QFrame::NoFrame);
    splitter->addWidget(FTree);
    splitter->addWidget(FStatusArea);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({kTreeWidth, kInitialClientWidth - kTreeWidth});
    splitter->setChildrenCollapsible(false);
    setCentralWidget(splitter);
    FViewStore = new QWidget(this);
    FViewStore->hide();

    BuildMenus();
    ApplyPlacement();

    TProxySystem& root = FApp->Root();
    const std::pair<const char*, TAppComponent*> top[] = {
        {"About", &FAbout},          {"HTTP", &root.HTTPProxy()},
        {"DNS", &root.DNSProxy()},   {"Socks", &root.SocksProxy()},
        {"Port Mappings", &root.PortMapper()}, {"Users", &root.ProxyUsers()}};
    const int images[] = {tiAbout, tiHTTP, tiDNS, tiSocks, tiPortMappings, tiUsers};
    FBuilding = true;
    for (size_t i = 0; i < std::size(top); ++i) {
        auto* node = new QTreeWidgetItem(FTree, QStringList(top[i].first));
        node->setIcon(0, TreeIcon(images[i]));
        BindTopNode(node, top[i].second);
    }
    FBuilding = false;
    UpdateOptionMenus();

    connect(FTree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        if (!FBuilding)
            SelectNode(current);
        // The view scrolls sideways to the selected caption's start, hiding the branch
        // arrows; back to the left edge once it has, as long captions are the exception.
        QMetaObject::invokeMethod(
            FTree, [this] { FTree->horizontalScrollBar()->setValue(0); }, Qt::QueuedConnection);
    });
    connect(FTree, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // A right click selects the node first.
        if (QTreeWidgetItem* node = FTree->itemAt(at))
            FTree->setCurrentItem(node);
        TQtUserInterface::THold hold = FUI.Hold(); // the menu's commands act on FSelected
        std::unique_ptr<QMenu> menu = BuildContextMenu();
        menu->exec(FTree->viewport()->mapToGlobal(at));
    });
    connect(FTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* node) {
        TAppComponent* sel = ComponentOf(node);
        if (sel && sel == FSelected && DoubleClickEdits(*sel))
            RunCommand([sel] { sel->EditSettings(); });
    });
    connect(FTree, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) {
        if (!FBuilding)
            RebuildChildren(node);
    });
    connect(FTree, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* node, int) {
        if (!FBuilding)
            OnNodeEdited(node);
    });

    FRefresh.setInterval(kRefreshIntervalMs);
    connect(&FRefresh, &QTimer::timeout, this, [this] { RefreshSelected(); });
}

TfrmMain::~TfrmMain() {
    FRefresh.stop();
    // The views draw models that the components own: they go before the components do.
    FBuilding = true;
    FTree->clear();
    if (FShownView)
        FStatusArea->takeWidget();
    for (auto& [frame, view] : FViews)
        delete view;
    FViews.clear();
    FShownView = nullptr;
    FSelected = nullptr;
    // Nobody is left to hear the services' containers.
    for (TAppContainerComponent* list :
         {static_cast<TAppContainerComponent*>(&FApp->Root().PortMapper()),
          static_cast<TAppContainerComponent*>(&FApp->Root().ProxyUsers())}) {
        list->OnChildAdd = nullptr;
        list->OnChildRemove = nullptr;
        list->OnChildChange = nullptr;
    }
    FApp->UpdateChecker().OnComplete = nullptr;
    FUI.OnReleased = nullptr;
    FApp.reset();
}

// ---- menus ----

void TfrmMain::BuildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("E&xit", this, [this] { close(); });

    QMenu* options = menuBar()->addMenu("&Options");
    FRunOnStartUp = options->addAction("&Run on start-up");
    FRunOnStartUp->setCheckable(true);
    connect(FRunOnStartUp, &QAction::triggered, this, [this] {
        RunCommand([this] { FApp->SetRunOnStartUp(!FApp->RunOnStartUp()); });
        UpdateOptionMenus();
    });
    FShowTips = options->addAction("Show &tips on start-up");
    FShowTips->setCheckable(true);
    FShowTips->setVisible(false);
    connect(FShowTips, &QAction::triggered, this, [this] {
        FApp->ShowTips = !FApp->ShowTips;
        UpdateOptionMenus();
    });
    QMenu* updates = options->addMenu("Automatically check for &upgrades");
    auto* group = new QActionGroup(this);
    group->setExclusive(true);
    auto choice = [&](const char* caption, TUpdateChoice value) {
        QAction* action = updates->addAction(caption);
        action->setCheckable(true);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, value] {
            ApplyUpdateChoice(*FApp, value);
            UpdateOptionMenus();
        });
        return action;
    };
    FUpdateNever = choice("&Never", TUpdateChoice::Never);
    FUpdateWeekly = choice("Once a &week", TUpdateChoice::Weekly);
    FUpdateMonthly = choice("Once a &month", TUpdateChoice::Monthly);
    // Kept in the menu for the settings they stand for, without an action of their own.
    options->addAction("Minimize on &close")->setVisible(false);
    options->addAction("Minimize to tra&y")->setVisible(false);

    QMenu* help = menuBar()->addMenu("&Help");
    FCheckForUpgrade = help->addAction("Check for &upgrade", this,
                                       [this] { RunCommand([this] { FApp->CheckForUpdateNow(); }); });
    help->addAction("Corvan Home &Page", this, [this] {
        QDesktopServices::openUrl(QUrl(Q(MakerHomePage(FApp->Product))));
    });
    help->addAction("Corvan Proxy Home P&age", this, [this] {
        QDesktopServices::openUrl(QUrl(Q(FApp->Product.HomePage)));
    });
    help->addAction("&About", this, [this] { ShowAboutDialog(this, FApp->Product); });
}

void TfrmMain::UpdateOptionMenus() {
    FRunOnStartUp->setChecked(FApp->RunOnStartUp());
    FShowTips->setChecked(FApp->ShowTips);
    UpdateChoiceAction(UpdateChoiceOf(*FApp))->setChecked(true);
}

QAction* TfrmMain::UpdateChoiceAction(TUpdateChoice choice) const {
    switch (choice) {
    case TUpdateChoice::Never: return FUpdateNever;
    case TUpdateChoice::Weekly: return FUpdateWeekly;
    case TUpdateChoice::Monthly: return FUpdateMonthly;
    }
    return nullptr;
}

std::unique_ptr<QMenu> TfrmMain::BuildContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    TTreeMenu rules = TreeMenuFor(FSelected);
    TAppComponent* sel = FSelected;
    auto add = [&](const TMenuCommand& command, std::function<void()> effect) {
        QAction* action = menu->addAction(Q(command.Caption));
        action->setVisible(command.Shown);
        action->setEnabled(command.Enabled);
        connect(action, &QAction::triggered, this, [this, effect] { RunCommand(effect); });
    };
    add(rules.Enable, [sel] {
        sel->SetEnabled(true);
        sel->UpdateDisplay();
    });
    add(rules.Disable, [sel] {
        sel->SetEnabled(false);
        sel->UpdateDisplay();
    });
    add(rules.Settings, [sel] { sel->EditSettings(); });
    add(rules.New, [this, sel] {
        // A container's own OnChildAdd rebuilds its node; a component that is not bound as
        // a container gets its children rebuilt here.
        if (sel->CreateChild())
            if (QTreeWidgetItem* node = NodeOf(sel))
                RebuildChildren(node);
    });
    add(rules.Delete, [sel] { sel->Delete(); });
    add(rules.Rename, [this, sel] {
        if (QTreeWidgetItem* node = NodeOf(sel); node && sel->CanRename())
            FTree->editItem(node);
    });
    return menu;
}

// ---- commands ----

void TfrmMain::RunCommand(const std::function<void()>& command) {
    try {
        command();
    } catch (const std::exception& e) {
        FUI.ShowError(e.what());
    }
    RefreshCaptions();
    RefreshSelected();
}

void TfrmMain::RefreshCaptions() {
    bool wasBuilding = FBuilding;
    FBuilding = true;
    for (int i = 0; i < FTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* top = FTree->topLevelItem(i);
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem* node = top->child(j);
            TAppComponent* component = ComponentOf(node);
            if (!component)
                continue;
            QString name = Q(component->GetDisplayName());
            if (node->data(0, kShownNameRole).toString() != name) {
                node->setText(0, name);
                node->setData(0, kShownNameRole, name);
            }
        }
    }
    FBuilding = wasBuilding;
}

bool TfrmMain::ReloadSettings(const std::vector<std::string>& enable) {
    // The lines go to stderr as in a headless run; the reason of a failure also to a box.
    char* text = nullptr;
    size_t size = 0;
    std::FILE* lines = open_memstream(&text, &size);
    bool read = false;
    if (lines) {
        read = corvan::ReloadSettingsFile(*FApp, enable, lines);
        std::fclose(lines);
    } else {
        read = corvan::ReloadSettingsFile(*FApp, enable, stderr);
    }
    std::string report = text ? std::string(text, size) : std::string();
    std::free(text);
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
    FKeepSettingsFile = !read;
    for (int i = 0; i < FTree->topLevelItemCount(); ++i)
        RebuildChildren(FTree->topLevelItem(i));
    UpdateOptionMenus();
    RefreshCaptions();
    RefreshSelected();
    if (!read)
        FUI.ShowError(report);
    return read;
}

void TfrmMain::RequestReload(const std::vector<std::string>& enable) {
    if (!FUI.Held()) {
        ReloadSettings(enable);
        return;
    }
    if (!FHeldReload)
        std::fputs("corvan-proxy: a menu or dialog is open: the settings file is read again "
                   "once it closes\n",
                   stderr);
    FHeldReload = enable;
}

void TfrmMain::RunHeldReload() {
    // Another box may have opened before this turn came (its close queues this again), or
    // the window may be closing.
    if (!FHeldReload || FUI.Held() || FShutDown)
        return;
    std::vector<std::string> enable = std::move(*FHeldReload);
    FHeldReload.reset();
    ReloadSettings(enable);
}

void TfrmMain::RefreshSelected() {
    if (!FSelected)
        return;
    try {
        FSelected->UpdateDisplay();
    } catch (const std::exception& e) {
        FRefresh.stop(); // one box, not one every half second
        FUI.ShowError(e.what());
        if (isVisible())
            FRefresh.start();
    }
    if (FShownView)
        FShownView->Refresh();
}

// ---- tree ----

TAppComponent* TfrmMain::ComponentOf(const QTreeWidgetItem* node) {
    if (!node)
        return nullptr;
    return reinterpret_cast<TAppComponent*>(node->data(0, kComponentRole).value<quintptr>());
}

QTreeWidgetItem* TfrmMain::TopNodeOf(const TAppComponent* component) const {
    for (int i = 0; i < FTree->topLevelItemCount(); ++i)
        if (ComponentOf(FTree->topLevelItem(i)) == component)
            return FTree->topLevelItem(i);
    return nullptr;
}

QTreeWidgetItem* TfrmMain::NodeOf(const TAppComponent* component) const {
    if (!component)
        return nullptr;
    for (int i = 0; i < FTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* top = FTree->topLevelItem(i);
        if (ComponentOf(top) == component)
            return top;
        for (int j = 0; j < top->childCount(); ++j)
            if (ComponentOf(top->child(j)) == component)
                return top->child(j);
    }
    return nullptr;
}

void TfrmMain::BindTopNode(QTreeWidgetItem* node, TAppComponent* component) {
    node->setData(0, kComponentRole, QVariant::fromValue(reinterpret_cast<quintptr>(component)));
    RebuildChildren(node);
    if (auto* list = dynamic_cast<TAppContainerComponent*>(component)) {
        list->OnChildAdd = [this](TAppContainerComponent* sender, TAppComponent*) {
            if (QTreeWidgetItem* top = TopNodeOf(sender))
                RebuildChildren(top);
        };
        list->OnChildRemove = [this](TAppContainerComponent* sender, TAppComponent* child) {
            OnChildRemoved(child);
            if (QTreeWidgetItem* top = TopNodeOf(sender))
                RebuildChildren(top);
        };
        list->OnChildChange = [this](TAppContainerComponent*, TAppComponent* child) {
            if (child == FSelected)
                RefreshSelected();
        };
    }
}

void TfrmMain::RebuildChildren(QTreeWidgetItem* node) {
    TAppComponent* component = ComponentOf(node);
    bool wasBuilding = FBuilding;
    FBuilding = true;
    qDeleteAll(node->takeChildren());
    QTreeWidgetItem* reselect = nullptr;
    if (component && component->HasChildren()) {
        for (TAppComponent* child : component->GetChildren()) {
            auto* item = new QTreeWidgetItem(node, QStringList(Q(child->GetDisplayName())));
            item->setData(0, kComponentRole, QVariant::fromValue(reinterpret_cast<quintptr>(child)));
            if (child->CanRename())
                item->setFlags(item->flags() | Qt::ItemIsEditable);
            item->setData(0, kShownNameRole, Q(child->GetDisplayName()));
            if (child == FSelected)
                reselect = item;
        }
    }
    // The selection stays on the selected component; with none, no node is marked.
    if (reselect)
        FTree->setCurrentItem(reselect);
    else if (!FSelected)
        FTree->setCurrentItem(nullptr);
    else if (QTreeWidgetItem* selectedNode = NodeOf(FSelected))
        FTree->setCurrentItem(selectedNode);
    FBuilding = wasBuilding;
}

void TfrmMain::OnNodeEdited(QTreeWidgetItem* node) {
    TAppComponent* component = ComponentOf(node);
    if (!component || node->parent() == nullptr)
        return; // top captions are fixed and never editable
    std::string text = node->text(0).toStdString();
    if (component->CanRename()) {
        // The node keeps the typed text, even an empty one, until its list is rebuilt.
        RunCommand([this, node, component, text] {
            component->Rename(text);
            bool wasBuilding = FBuilding;
            FBuilding = true;
            node->setData(0, kShownNameRole, Q(component->GetDisplayName()));
            FBuilding = wasBuilding;
        });
        return;
    }
    FBuilding = true;
    node->setText(0, Q(component->GetDisplayName()));
    FBuilding = false;
}

void TfrmMain::SelectNode(QTreeWidgetItem* node) {
    SelectComponent(ComponentOf(node));
}

void TfrmMain::SelectComponent(TAppComponent* component) {
    FSelected = component;
    AStatusFrame* frame = nullptr;
    if (component) {
        try {
            frame = component->GetStatusFrame();
        } catch (const std::exception& e) {
            FUI.ShowError(e.what());
        }
    }
    ShowView(frame ? ViewOf(frame) : nullptr);
    if (component) {
        try {
            component->UpdateDisplay();
        } catch (const std::exception& e) {
            FUI.ShowError(e.what());
        }
    }
    if (FShownView)
        FShownView->Refresh();
}

TStatusView* TfrmMain::ViewOf(AStatusFrame* frame) {
    auto it = FViews.find(frame);
    if (it != FViews.end())
        return it->second;
    auto* view = new TStatusView(frame, FViewStore);
    view->RunCommand = [this](const std::function<void()>& command) { RunCommand(command); };
    FViews[frame] = view;
    return view;
}

void TfrmMain::ShowView(TStatusView* view) {
    if (view == FShownView)
        return;
    if (FShownView) {
        FStatusArea->takeWidget();
        FShownView->hide();
        FShownView->setParent(FViewStore);
    }
    FShownView = view;
    if (view) {
        FStatusArea->setWidget(view); // the area owns it while it is shown
        view->show();
    }
}

void TfrmMain::OnChildRemoved(TAppComponent* child) {
    if (child == FSelected) {
        ShowView(nullptr);
        FSelected = nullptr;
        FBuilding = true;
        FTree->setCurrentItem(nullptr);
        FBuilding = false;
    }
    // The component is destroyed when this returns; its model goes with the view, later:
    // a button of that view may be what is running now.
    AStatusFrame* frame = child->StatusFrame();
    auto it = frame ? FViews.find(frame) : FViews.end();
    if (it != FViews.end()) {
        TStatusView* view = it->second;
        FViews.erase(it);
        view->Adopt(child->TakeStatusFrame());
        view->RunCommand = nullptr;
        view->hide();
        view->deleteLater();
    }
}

// ---- window life ----

void TfrmMain::ApplyPlacement() {
    QScreen* screen = QGuiApplication::primaryScreen();
    QRect desktop = screen ? screen->virtualGeometry() : QRect(0, 0, 1024, 768);
    TProxyApp& app = *FApp;
    if (SavedPlacementUsable(app.X, app.Y, app.W, app.H, desktop.width(), desktop.height())) {
        resize(app.W, app.H);
        move(app.X, app.Y);
        return;
    }
    resize(kInitialClientWidth, kInitialClientHeight + menuBar()->sizeHint().height());
    move(desktop.x() + (desktop.width() - width()) / 2,
         desktop.y() + (desktop.height() - height()) / 2);
}

void TfrmMain::FirstShow() {
    if (QTreeWidgetItem* about = NodeOf(&FAbout))
        FTree->setCurrentItem(about); // selects the About component
    if (FLoadRefusal.empty())
        RunCommand([this] { FApp->Start(); });
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    FRefresh.start();
    if (!FFirstShown) {
        FFirstShown = true;
        // After the window is on screen, so it is visible before any service starts.
        QMetaObject::invokeMethod(this, [this] { FirstShow(); }, Qt::QueuedConnection);
    }
}

void TfrmMain::hideEvent(QHideEvent* event) {
    FRefresh.stop();
    QMainWindow::hideEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    ShutDown();
    event->accept();
}

void TfrmMain::ShutDown() {
    if (FShutDown)
        return;
    FShutDown = true;
    FRefresh.stop();
    TProxyApp& app = *FApp;
    app.X = x();
    app.Y = y();
    app.W = width();
    app.H = height();
    if (app.Loaded() && !FKeepSettingsFile) {
        try {
            app.SaveSettings();
        } catch (const std::exception& e) {
            FUI.ShowError(e.what());
        }
    }
    try {
        app.Stop();
    } catch (const std::exception& e) {
        FUI.ShowError(e.what());
    }
}

void TfrmMain::OnUpdateCheckComplete() {
    TUpdateChecker& checker = FApp->UpdateChecker();
    if (!checker.Success() || !checker.NewVersionAvailable())
        return;
    TfrmNewVersion dialog(FApp->Product, checker.NewVersion(), checker.InfoURL(),
                          checker.SetupURL(), this);
    if (OnNewVersionShown) {
        dialog.show();
        OnNewVersionShown(dialog);
        dialog.hide();
        return;
    }
    dialog.exec();
}

} // namespace corvan

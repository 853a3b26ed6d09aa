#include "gui/TreeRules.h"

#include "app/ProxyAppBase.h"

#include <cctype>

namespace corvan {

std::string SettingsMenuCaption(const TAppComponent& component) {
    std::string caption = component.GetSettingsCaption();
    for (char& c : caption)
        if (std::isalpha(static_cast<unsigned char>(c))) {
            caption.insert(static_cast<size_t>(&c - caption.data()), "&");
            break;
        }
    return caption + "...";
}

TTreeMenu TreeMenuFor(const TAppComponent* selected) {
    TTreeMenu menu;
    menu.Enable.Caption = "&Enable";
    menu.Disable.Caption = "&Disable";
    menu.Settings.Caption = "&Settings...";
    menu.New.Caption = "&New...";
    menu.Delete.Caption = "De&lete";
    menu.Rename.Caption = "&Rename";
    if (!selected)
        return menu;
    const TAppComponent& sel = *selected;
    bool canEnable = sel.CanEnable();
    bool active = sel.Active();
    menu.Enable = {menu.Enable.Caption, canEnable, canEnable && !active};
    menu.Disable = {menu.Disable.Caption, canEnable, canEnable && active};
    menu.Settings = {SettingsMenuCaption(sel), sel.HasSettings(), sel.HasSettings()};
    bool container = dynamic_cast<const TAppContainerComponent*>(&sel) != nullptr;
    menu.New.Shown = container || sel.CanCreateChild();
    menu.New.Enabled = sel.CanCreateChild();
    menu.Delete.Shown = menu.Delete.Enabled = sel.CanDelete();
    menu.Rename.Shown = menu.Rename.Enabled = sel.CanRename();
    return menu;
}

bool DoubleClickEdits(const TAppComponent& component) {
    return !component.HasChildren() && component.HasSettings();
}

bool SavedPlacementUsable(int x, int y, int w, int h, int desktopWidth, int desktopHeight) {
    return x >= -8 && y >= -8 && x <= desktopWidth - 64 && y <= desktopHeight - 64 && w >= 129 &&
           h >= 129 && w <= desktopWidth + 64 && h <= desktopHeight + 64;
}

TUpdateChoice UpdateChoiceOf(const TAppBase& app) {
    if (!app.UpdateCheckEnabled)
        return TUpdateChoice::Never;
    return app.UpdateCheckInterval < 8 ? TUpdateChoice::Weekly : TUpdateChoice::Monthly;
}

void ApplyUpdateChoice(TAppBase& app, TUpdateChoice choice) {
    switch (choice) {
    case TUpdateChoice::Never:
        app.UpdateCheckEnabled = false;
        break;
    case TUpdateChoice::Weekly:
        app.UpdateCheckInterval = 7;
        app.UpdateCheckEnabled = true;
        break;
    case TUpdateChoice::Monthly:
        app.UpdateCheckInterval = 28;
        app.UpdateCheckEnabled = true;
        break;
    }
}

} // namespace corvan

#pragma once
// The main window's rules that need no widget: which tree commands are offered and enabled
// for a component, whether a saved placement is used, and the option menu's update
// interval. The window asks these; tests check them directly.

#include "component/AppComponent.h"

#include <string>

namespace corvan {

class TAppBase;

struct TMenuCommand {
    std::string Caption;
    bool Shown = false;
    bool Enabled = false;
};

// The tree's context menu for the selected component (null: nothing selected), in menu
// order.
struct TTreeMenu {
    TMenuCommand Enable;   // "&Enable"
    TMenuCommand Disable;  // "&Disable"
    TMenuCommand Settings; // "&Settings..." or the component's own caption ("&Edit...")
    TMenuCommand New;      // "&New..."
    TMenuCommand Delete;   // "De&lete"
    TMenuCommand Rename;   // "&Rename"
};
TTreeMenu TreeMenuFor(const TAppComponent* selected);

// The settings command's caption: GetSettingsCaption with "&" before its first letter and
// "..." after it ("Settings" gives "&Settings...", "Edit" gives "&Edit...").
std::string SettingsMenuCaption(const TAppComponent& component);

// Whether a double click opens the component's settings: no children and HasSettings.
bool DoubleClickEdits(const TAppComponent& component);

// The window's saved placement is used only when all these hold, with desktopWidth and
// desktopHeight the size of the whole virtual desktop: x, y >= -8; x <= desktopWidth - 64;
// y <= desktopHeight - 64; w, h >= 129; w <= desktopWidth + 64; h <= desktopHeight + 64.
// Otherwise the window is centred at its initial size.
bool SavedPlacementUsable(int x, int y, int w, int h, int desktopWidth, int desktopHeight);

// The three choices of "Automatically check for upgrades".
enum class TUpdateChoice { Never, Weekly, Monthly };
// Never while checking is off; Weekly for an interval below 8 days; else Monthly.
TUpdateChoice UpdateChoiceOf(const TAppBase& app);
// Never switches checking off and keeps the interval; Weekly sets 7 days, Monthly 28, and
// both switch checking on.
void ApplyUpdateChoice(TAppBase& app, TUpdateChoice choice);

} // namespace corvan

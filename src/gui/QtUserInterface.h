#pragma once
// How the core reaches the user in the window program: Qt message boxes and the settings
// dialogs, modal over the main window. Main thread only.

#include "component/UserInterface.h"

#include <QWidget>

#include <functional>

namespace corvan {

class TSettingsDialog;

class TQtUserInterface : public AUserInterface {
public:
    // Kept while a box, a settings dialog or a menu is open over the window: what it acts on
    // is a component that must outlive it, so a settings reload, which may remove components,
    // waits until the last hold is released. Main thread only, like every box.
    class THold {
    public:
        explicit THold(TQtUserInterface& ui) : FUI(ui) { ++FUI.FHolds; }
        ~THold();
        THold(const THold&) = delete;
        THold& operator=(const THold&) = delete;

    private:
        TQtUserInterface& FUI;
    };
    THold Hold() { return THold(*this); }
    bool Held() const { return FHolds > 0; }
    // Runs as the last hold is released: the box or dialog has closed, but the code that
    // opened it is still running and may still use its component.
    std::function<void()> OnReleased;

    // parent: the window the boxes and dialogs are centred on (may be null).
    void SetParent(QWidget* parent) { FParent = parent; }

    bool ConfirmYesNo(const std::string& text) override;
    void ShowError(const std::string& text) override;
    // The form's dialog (TSettingsDialog::Create), run modally; true for OK. A form without
    // a view reports an error and answers false.
    bool EditSettings(ASettingsForm& form) override;

    // For tests: when set, they answer instead of the message boxes.
    std::function<bool(const std::string& text)> OnConfirm;
    std::function<void(const std::string& text)> OnShowError;
    // For tests: runs instead of the modal loop with the dialog shown, and its answer
    // (accept or reject the dialog there) is the dialog's result.
    std::function<void(TSettingsDialog& dialog)> OnDialogShown;

private:
    QWidget* FParent = nullptr;
    int FHolds = 0; // open boxes, dialogs and menus (THold)
};

} // namespace corvan

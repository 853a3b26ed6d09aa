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
};

} // namespace corvan

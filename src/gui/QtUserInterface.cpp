#include "gui/QtUserInterface.h"

#include "gui/SettingsDialogs.h"

#include <QMessageBox>

namespace corvan {

TQtUserInterface::THold::~THold() {
    if (--FUI.FHolds == 0 && FUI.OnReleased)
        FUI.OnReleased();
}

bool TQtUserInterface::ConfirmYesNo(const std::string& text) {
    THold hold(*this);
    if (OnConfirm)
        return OnConfirm(text);
    return QMessageBox::question(FParent, QStringLiteral("Confirm"), QString::fromStdString(text),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void TQtUserInterface::ShowError(const std::string& text) {
    THold hold(*this);
    if (OnShowError) {
        OnShowError(text);
        return;
    }
    QMessageBox::critical(FParent, QStringLiteral("Error"), QString::fromStdString(text));
}

bool TQtUserInterface::EditSettings(ASettingsForm& form) {
    THold hold(*this);
    std::unique_ptr<TSettingsDialog> dialog = TSettingsDialog::Create(form, FParent);
    if (!dialog) {
        ShowError("No dialog for \"" + form.Caption() + "\"");
        return false;
    }
    dialog->OnValidationError = [this, box = dialog.get()](const std::string& text) {
        if (OnShowError)
            OnShowError(text);
        else // over the dialog, which stays open
            QMessageBox::critical(box, QStringLiteral("Error"), QString::fromStdString(text));
    };
    if (OnDialogShown) {
        dialog->show();
        OnDialogShown(*dialog);
        bool ok = dialog->result() == QDialog::Accepted;
        dialog->hide();
        return ok;
    }
    return dialog->exec() == QDialog::Accepted;
}

} // namespace corvan

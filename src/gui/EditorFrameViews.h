#pragma once
// The widgets of the two shared editor panels (bind address, up-stream proxy) and the key
// filter every dialog's text fields use. The rules (what a keystroke may be, what enables
// what, how a value reads back) are the models' (component/EditorFrames.h); these views
// only show and forward.

#include "component/EditorFrames.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QRadioButton>

#include <functional>

namespace corvan {

// Drops the keystrokes of a text field that accept(c) refuses. Keys that type no character
// and characters below 32 (editing keys) always pass, as do keys with a modifier
// (Ctrl+C, Ctrl+V) that edit rather than type.
class TKeyFilter : public QObject {
public:
    TKeyFilter(std::function<bool(char)> accept, QObject* parent);
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Installs a filter on field (owned by the field).
    static void Install(QWidget* field, std::function<bool(char)> accept);

private:
    std::function<bool(char)> FAccept;
};

// Keystrokes of number fields: digits and editing keys.
bool DigitKeyAccepted(char c);

// " Server IP ": any interface, or one address (editable list starting with "127.0.0.1",
// then the local IPv4 addresses).
class TServerIPView : public QGroupBox {
public:
    explicit TServerIPView(QWidget* parent = nullptr);
    // Shows the model's choice and address.
    void LoadFrom(const TframeEditServerIP& model);
    // Copies the choice and the box's text into the model.
    void SaveTo(TframeEditServerIP& model) const;

    QRadioButton* AnyButton() const { return FAny; }
    QRadioButton* OnlyButton() const { return FOnly; }
    QComboBox* AddressBox() const { return FAddress; }

private:
    void UpdateEnabling();

    QRadioButton* FAny;
    QRadioButton* FOnly;
    QComboBox* FAddress;
};

// "Allowed clients:": the list's field with its hint below. Text only; whether it parses is
// the form's ValidationError, asked when the dialog's OK is pressed.
class TAllowedClientsView : public QWidget {
public:
    explicit TAllowedClientsView(QWidget* parent = nullptr);
    void LoadFrom(const TframeEditAllowedClients& model);
    void SaveTo(TframeEditAllowedClients& model) const;

    QLineEdit* Edit() const { return FEdit; }

private:
    QLineEdit* FEdit;
};

// " Proxy Server ": Host, Port, "Use Authentication", Login, Password.
class TProxyServerView : public QGroupBox {
public:
    explicit TProxyServerView(QWidget* parent = nullptr);
    void LoadFrom(const TframeEditProxyServer& model);
    void SaveTo(TframeEditProxyServer& model) const;
    // The dialog's "use a proxy" box greys or enables the whole group.
    void SetFrameEnabled(bool value);

    QLineEdit* HostEdit() const { return FHost; }
    QLineEdit* PortEdit() const { return FPort; }
    QCheckBox* UseAuthBox() const { return FUseAuth; }
    QLineEdit* LoginEdit() const { return FLogin; }
    QLineEdit* PasswordEdit() const { return FPassword; }

private:
    void UpdateEnabling();

    // The enabling model: the group's state and the check box, asked for the login rule.
    TframeEditProxyServer FRules;
    QLineEdit* FHost;
    QLineEdit* FPort;
    QCheckBox* FUseAuth;
    QLabel* FLoginLabel;
    QLineEdit* FLogin;
    QLabel* FPasswordLabel;
    QLineEdit* FPassword;
};

} // namespace corvan

#pragma once
// The settings dialogs: thin views over the form models (TfrmSocksProxySettings,
// TfrmPortMapSettings, TfrmDNSProxySettings, TfrmProxyUserSettings). A dialog shows the
// form's values when it is made and writes the widgets back into the form on OK; every
// enabling rule, limit and parse is the form's.

#include "dns-proxy/DNSProxyForms.h"
#include "port-mapping/PortMapperForms.h"
#include "socks-proxy/SocksProxyForms.h"
#include "users/ProxyUserSettingsForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <functional>

#include <memory>

namespace corvan {

class TAllowedClientsView;
class TServerIPView;
class TProxyServerView;

// A modal dialog with the form's caption, a page control and "OK" (default) and "Cancel".
// OK copies the widgets into the form; while the form's ValidationError is not empty that
// text is shown in an error box and the dialog stays open, so nothing is taken.
class TSettingsDialog : public QDialog {
public:
    TSettingsDialog(const ASettingsForm& form, QWidget* parent);
    // Shows a validation error; unset, an error box over the dialog.
    std::function<void(const std::string& text)> OnValidationError;
    QTabWidget* Pages() const { return FPages; }
    QPushButton* OkButton() const;
    // Makes the view of a form's dialog: null for a form no view is made for.
    static std::unique_ptr<TSettingsDialog> Create(ASettingsForm& form, QWidget* parent);

protected:
    // OK: the widgets into the form.
    virtual void SaveToForm() = 0;
    void accept() override;

private:
    const ASettingsForm& FForm;
    QTabWidget* FPages;
    QDialogButtonBox* FButtons;
};

class TSocksSettingsDialog : public TSettingsDialog {
public:
    TSocksSettingsDialog(TfrmSocksProxySettings& form, QWidget* parent = nullptr);

    QComboBox* PortBox() const { return FPort; }
    TServerIPView* ServerIP() const { return FServerIP; }
    TAllowedClientsView* AllowedClients() const { return FAllowedClients; }
    QLineEdit* MaxConnectionsEdit() const { return FMaxConnections; }
    QLineEdit* MaxBackLogEdit() const { return FMaxBackLog; }
    QCheckBox* EnableLogBox() const { return FEnableLog; }
    QCheckBox* RequireLoginBox() const { return FRequireLogin; }
    QCheckBox* LimitBandInBox() const { return FLimitBandIn; }
    QLineEdit* BandInEdit() const { return FBandIn; }
    QCheckBox* LimitBandOutBox() const { return FLimitBandOut; }
    QLineEdit* BandOutEdit() const { return FBandOut; }
    QCheckBox* UseSocksProxyBox() const { return FUseSocksProxy; }
    TProxyServerView* SocksProxy() const { return FSocksProxy; }

protected:
    void SaveToForm() override;

private:
    void UpdateEnabling();

    TfrmSocksProxySettings& FForm;
    QComboBox* FPort;
    TServerIPView* FServerIP;
    TAllowedClientsView* FAllowedClients;
    QLineEdit* FMaxConnections;
    QLineEdit* FMaxBackLog;
    QCheckBox* FEnableLog;
    QCheckBox* FRequireLogin;
    QCheckBox* FLimitBandIn;
    QLineEdit* FBandIn;
    QCheckBox* FLimitBandOut;
    QLineEdit* FBandOut;
    QCheckBox* FUseSocksProxy;
    TProxyServerView* FSocksProxy;
};

class TPortMapSettingsDialog : public TSettingsDialog {
public:
    TPortMapSettingsDialog(TfrmPortMapSettings& form, QWidget* parent = nullptr);

    QComboBox* ProtocolBox() const { return FProtocol; }
    QLineEdit* PortEdit() const { return FPort; }
    TServerIPView* ServerIP() const { return FServerIP; }
    TAllowedClientsView* AllowedClients() const { return FAllowedClients; }
    QLineEdit* DestHostEdit() const { return FDestHost; }
    QLineEdit* DestPortEdit() const { return FDestPort; }
    QCheckBox* UseSocksProxyBox() const { return FUseSocksProxy; }
    TProxyServerView* SocksProxy() const { return FSocksProxy; }

protected:
    void SaveToForm() override;

private:
    TfrmPortMapSettings& FForm;
    QComboBox* FProtocol;
    QLineEdit* FPort;
    TServerIPView* FServerIP;
    TAllowedClientsView* FAllowedClients;
    QLineEdit* FDestHost;
    QLineEdit* FDestPort;
    QCheckBox* FUseSocksProxy;
    TProxyServerView* FSocksProxy;
};

// "DNS Proxy Settings": Server (port, bind address, allowed clients) and Resolver (the two
// methods; the server field and both check boxes grey out with the system's lookup).
class TDNSSettingsDialog : public TSettingsDialog {
public:
    TDNSSettingsDialog(TfrmDNSProxySettings& form, QWidget* parent = nullptr);

    QLineEdit* PortEdit() const { return FPort; }
    TServerIPView* ServerIP() const { return FServerIP; }
    TAllowedClientsView* AllowedClients() const { return FAllowedClients; }
    QRadioButton* MethodSystemButton() const { return FMethodSystem; }
    QRadioButton* MethodServerButton() const { return FMethodServer; }
    QLineEdit* ResolveServerEdit() const { return FResolveServer; }
    QCheckBox* RecurseServerBox() const { return FRecurseServer; }
    QCheckBox* RecurseBox() const { return FRecurse; }

protected:
    void SaveToForm() override;

private:
    void UpdateEnabling();

    TfrmDNSProxySettings& FForm;
    QLineEdit* FPort;
    TServerIPView* FServerIP;
    TAllowedClientsView* FAllowedClients;
    QRadioButton* FMethodSystem;
    QRadioButton* FMethodServer;
    QLabel* FResolveServerLabel;
    QLineEdit* FResolveServer;
    QCheckBox* FRecurseServer;
    QCheckBox* FRecurse;
};

// "Proxy User": every edit goes to the form at once (automatic login naming and the
// enabling of the access boxes are the form's), so OK has nothing left to copy.
class TUserSettingsDialog : public TSettingsDialog {
public:
    TUserSettingsDialog(TfrmProxyUserSettings& form, QWidget* parent = nullptr);

    QLineEdit* NameEdit() const { return FName; }
    QLineEdit* LoginEdit() const { return FLogin; }
    QLineEdit* PasswordEdit() const { return FPassword; }
    QPushButton* GenerateButton() const { return FGenerate; }
    QCheckBox* AllowHTTPBox() const { return FAllowHTTP; }
    QCheckBox* AllowSocksBox() const { return FAllowSocks; }
    QCheckBox* UserDisabledBox() const { return FUserDisabled; }

protected:
    void SaveToForm() override {}

private:
    // The widgets from the form (after a change the form may have made elsewhere).
    void ShowForm();

    TfrmProxyUserSettings& FForm;
    QLineEdit* FName;
    QLineEdit* FLogin;
    QLineEdit* FPassword;
    QPushButton* FGenerate;
    QCheckBox* FAllowHTTP;
    QCheckBox* FAllowSocks;
    QCheckBox* FUserDisabled;
};

} // namespace corvan

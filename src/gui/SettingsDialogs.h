#pragma once
// The settings dialogs: thin views over the form models (TfrmSocksProxySettings,
// TfrmHTTPProxySettings, TfrmPortMapSettings, TfrmDNSProxySettings, TfrmProxyUserSettings). A dialog shows the
// form's values when it is made and writes the widgets back into the form on OK; every
// enabling rule, limit and parse is the form's.

#include "dns-proxy/DNSProxyForms.h"
#include "http-proxy/HTTPProxyForms.h"
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
#include <vector>

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
    QCheckBox* EnableUDPBox() const { return FEnableUDP; }
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
    QCheckBox* FEnableUDP;
    QCheckBox* FLimitBandIn;
    QLineEdit* FBandIn;
    QCheckBox* FLimitBandOut;
    QLineEdit* FBandOut;
    QCheckBox* FUseSocksProxy;
    TProxyServerView* FSocksProxy;
};

// "HTTP Proxy Settings": Server, TCP Proxy, HTTP Proxy, Options, Tunnel, Limits, Login. The
// proxy editors follow their use boxes, the port restriction tunnelling, the rate its box,
// the password and "Generate" login mode 1 and the validation program's command line mode 3:
// each switch is written into the form and the form answers what is enabled.
class THTTPSettingsDialog : public TSettingsDialog {
public:
    THTTPSettingsDialog(TfrmHTTPProxySettings& form, QWidget* parent = nullptr);

    QComboBox* PortBox() const { return FPort; }
    TServerIPView* ServerIP() const { return FServerIP; }
    TAllowedClientsView* AllowedClients() const { return FAllowedClients; }
    QCheckBox* UseSocksProxyBox() const { return FUseSocksProxy; }
    TProxyServerView* SocksProxy() const { return FSocksProxy; }
    QCheckBox* UseHTTPProxyBox() const { return FUseHTTPProxy; }
    TProxyServerView* HTTPProxy() const { return FHTTPProxy; }
    QCheckBox* UpdateViaBox() const { return FUpdateVia; }
    QCheckBox* UpdateXForwardedForBox() const { return FUpdateXForwardedFor; }
    QCheckBox* EnableLogFileBox() const { return FEnableLogFile; }
    QCheckBox* EnableTunnellingBox() const { return FEnableTunnelling; }
    QCheckBox* OnlyTunnelHTTPSBox() const { return FOnlyTunnelHTTPS; }
    QLineEdit* MaxConnectionsEdit() const { return FMaxConnections; }
    QLineEdit* MaxBackLogEdit() const { return FMaxBackLog; }
    QCheckBox* LimitBandwidthBox() const { return FLimitBandwidth; }
    QLineEdit* BandwidthLimitEdit() const { return FBandwidthLimit; }
    // The login choices in LoginMode order.
    QRadioButton* LoginModeButton(int mode) const { return FLoginModes.at(size_t(mode)); }
    QLineEdit* PasswordEdit() const { return FPassword; }
    QPushButton* GenerateButton() const { return FGenerate; }
    QLineEdit* LoginScriptEdit() const { return FLoginScript; }

protected:
    void SaveToForm() override;

private:
    // The switches into the form, then each dependent control as the form says.
    void UpdateEnabling();
    int CheckedLoginMode() const;

    TfrmHTTPProxySettings& FForm;
    QComboBox* FPort;
    TServerIPView* FServerIP;
    TAllowedClientsView* FAllowedClients;
    QCheckBox* FUseSocksProxy;
    TProxyServerView* FSocksProxy;
    QCheckBox* FUseHTTPProxy;
    TProxyServerView* FHTTPProxy;
    QCheckBox* FUpdateVia;
    QCheckBox* FUpdateXForwardedFor;
    QCheckBox* FEnableLogFile;
    QCheckBox* FEnableTunnelling;
    QCheckBox* FOnlyTunnelHTTPS;
    QLineEdit* FMaxConnections;
    QLineEdit* FMaxBackLog;
    QCheckBox* FLimitBandwidth;
    QLineEdit* FBandwidthLimit;
    std::vector<QRadioButton*> FLoginModes;
    QLineEdit* FPassword;
    QPushButton* FGenerate;
    QLabel* FLoginScriptLabel;
    QLineEdit* FLoginScript;
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

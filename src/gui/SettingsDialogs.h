#pragma once
// The settings dialogs: thin views over the form models (TfrmSocksProxySettings,
// TfrmPortMapSettings, TfrmProxyUserSettings). A dialog shows the form's values when it is
// made and writes the widgets back into the form on OK; every enabling rule, limit and
// parse is the form's.

#include "port-mapping/PortMapperForms.h"
#include "socks-proxy/SocksProxyForms.h"
#include "users/ProxyUserSettingsForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <memory>

namespace corvan {

class TServerIPView;
class TProxyServerView;

// A modal dialog with the form's caption, a page control and "OK" (default) and "Cancel".
class TSettingsDialog : public QDialog {
public:
    TSettingsDialog(const ASettingsForm& form, QWidget* parent);
    QTabWidget* Pages() const { return FPages; }
    QPushButton* OkButton() const;
    // Makes the view of a form's dialog: null for a form no view is made for.
    static std::unique_ptr<TSettingsDialog> Create(ASettingsForm& form, QWidget* parent);

protected:
    // OK: the widgets into the form.
    virtual void SaveToForm() = 0;
    void accept() override;

private:
    QTabWidget* FPages;
    QDialogButtonBox* FButtons;
};

class TSocksSettingsDialog : public TSettingsDialog {
public:
    TSocksSettingsDialog(TfrmSocksProxySettings& form, QWidget* parent = nullptr);

    QComboBox* PortBox() const { return FPort; }
    TServerIPView* ServerIP() const { return FServerIP; }
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
    QLineEdit* FDestHost;
    QLineEdit* FDestPort;
    QCheckBox* FUseSocksProxy;
    TProxyServerView* FSocksProxy;
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

#include "gui/SettingsDialogs.h"
#include "gui/QtText.h"

#include "gui/EditorFrameViews.h"

#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace corvan {

namespace {

// A page with an optional heading text and a layout for its controls.
QWidget* AddPage(QTabWidget* pages, const std::string& caption, QVBoxLayout*& layout,
                 const char* heading = nullptr) {
    auto* page = new QWidget(pages);
    layout = new QVBoxLayout(page);
    if (heading)
        layout->addWidget(new QLabel(heading, page));
    pages->addTab(page, Q(caption));
    return page;
}

// A number field: at most maxLength digits.
QLineEdit* NumberField(QWidget* parent, int maxLength) {
    auto* edit = new QLineEdit(parent);
    edit->setMaxLength(maxLength);
    edit->setMaximumWidth(90);
    TKeyFilter::Install(edit, DigitKeyAccepted);
    return edit;
}

// Port numbers have at most five digits, counts and rates at most ten (a 32-bit value).
constexpr int kPortDigits = 5;
constexpr int kCountDigits = 10;

} // namespace

// ---- TSettingsDialog ----

TSettingsDialog::TSettingsDialog(const ASettingsForm& form, QWidget* parent)
    : QDialog(parent), FForm(form) {
    setWindowTitle(Q(form.Caption()));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    FPages = new QTabWidget(this);
    layout->addWidget(FPages);
    FButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    FButtons->button(QDialogButtonBox::Ok)->setText("OK");
    FButtons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    FButtons->button(QDialogButtonBox::Ok)->setDefault(true);
    layout->addWidget(FButtons);
    connect(FButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(FButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QPushButton* TSettingsDialog::OkButton() const {
    return FButtons->button(QDialogButtonBox::Ok);
}

void TSettingsDialog::accept() {
    SaveToForm();
    std::string invalid = FForm.ValidationError();
    if (!invalid.empty()) {
        if (OnValidationError)
            OnValidationError(invalid);
        else
            QMessageBox::critical(this, QStringLiteral("Error"), Q(invalid));
        return;
    }
    QDialog::accept();
}

std::unique_ptr<TSettingsDialog> TSettingsDialog::Create(ASettingsForm& form, QWidget* parent) {
    if (auto* socks = dynamic_cast<TfrmSocksProxySettings*>(&form))
        return std::make_unique<TSocksSettingsDialog>(*socks, parent);
    if (auto* http = dynamic_cast<TfrmHTTPProxySettings*>(&form))
        return std::make_unique<THTTPSettingsDialog>(*http, parent);
    if (auto* mapping = dynamic_cast<TfrmPortMapSettings*>(&form))
        return std::make_unique<TPortMapSettingsDialog>(*mapping, parent);
    if (auto* dns = dynamic_cast<TfrmDNSProxySettings*>(&form))
        return std::make_unique<TDNSSettingsDialog>(*dns, parent);
    if (auto* user = dynamic_cast<TfrmProxyUserSettings*>(&form))
        return std::make_unique<TUserSettingsDialog>(*user, parent);
    return nullptr;
}

// ---- TSocksSettingsDialog ----

TSocksSettingsDialog::TSocksSettingsDialog(TfrmSocksProxySettings& form, QWidget* parent)
    : TSettingsDialog(form, parent), FForm(form) {
    std::vector<std::string> tabs = form.Tabs();
    QVBoxLayout* layout;

    QWidget* server = AddPage(Pages(), tabs.at(0), layout);
    auto* portRow = new QFormLayout;
    FPort = new QComboBox(server);
    FPort->setEditable(true);
    FPort->setInsertPolicy(QComboBox::NoInsert);
    FPort->lineEdit()->setMaxLength(kPortDigits);
    TKeyFilter::Install(FPort->lineEdit(), DigitKeyAccepted);
    for (const std::string& item : TfrmSocksProxySettings::PortItems())
        FPort->addItem(Q(item));
    FPort->setMaximumWidth(90);
    portRow->addRow("Port", FPort);
    layout->addLayout(portRow);
    FServerIP = new TServerIPView(server);
    layout->addWidget(FServerIP);
    FAllowedClients = new TAllowedClientsView(server);
    layout->addWidget(FAllowedClients);
    layout->addStretch();

    QWidget* options = AddPage(Pages(), tabs.at(1), layout);
    auto* limits = new QFormLayout;
    FMaxConnections = NumberField(options, kCountDigits);
    FMaxBackLog = NumberField(options, kCountDigits);
    limits->addRow("Maximum connections", FMaxConnections);
    limits->addRow("Connection backlog (0: system default)", FMaxBackLog);
    layout->addLayout(limits);
    FEnableLog = new QCheckBox("Generate a log file.", options);
    FRequireLogin = new QCheckBox(TfrmSocksProxySettings::kRequireLoginCaption, options);
    layout->addWidget(FEnableLog);
    layout->addWidget(FRequireLogin);
    FEnableUDP = new QCheckBox(TfrmSocksProxySettings::kEnableUDPCaption, options);
    layout->addWidget(FEnableUDP);
    layout->addStretch();

    QWidget* bandwidth = AddPage(Pages(), tabs.at(2), layout,
                                 "Limits per connection, in bytes per second.");
    auto* rates = new QFormLayout;
    FLimitBandIn = new QCheckBox("Limit incoming data", bandwidth);
    FBandIn = NumberField(bandwidth, kCountDigits);
    FLimitBandOut = new QCheckBox("Limit outgoing data", bandwidth);
    FBandOut = NumberField(bandwidth, kCountDigits);
    rates->addRow(FLimitBandIn, FBandIn);
    rates->addRow(FLimitBandOut, FBandOut);
    layout->addLayout(rates);
    layout->addStretch();

    QWidget* proxy = AddPage(Pages(), tabs.at(3), layout);
    FUseSocksProxy = new QCheckBox("Use a Socks5 proxy for outbound connections.", proxy);
    FSocksProxy = new TProxyServerView(proxy);
    layout->addWidget(FUseSocksProxy);
    layout->addWidget(FSocksProxy);
    layout->addStretch();

    // The form's values.
    FPort->setEditText(Q(form.ServerPort));
    FServerIP->LoadFrom(form.ServerIP);
    FAllowedClients->LoadFrom(form.AllowedClients);
    FMaxConnections->setText(Q(form.MaxConnections));
    FMaxBackLog->setText(Q(form.MaxBackLog));
    FEnableLog->setChecked(form.EnableLog);
    FRequireLogin->setChecked(form.RequireLogin);
    FEnableUDP->setChecked(form.EnableUDP);
    FLimitBandIn->setChecked(form.LimitBandIn);
    FBandIn->setText(Q(form.BandInLimit));
    FLimitBandOut->setChecked(form.LimitBandOut);
    FBandOut->setText(Q(form.BandOutLimit));
    FUseSocksProxy->setChecked(form.UseSocksProxy);
    FSocksProxy->LoadFrom(form.SocksProxy);

    for (QCheckBox* box : {FLimitBandIn, FLimitBandOut, FUseSocksProxy})
        connect(box, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
    UpdateEnabling();
}

void TSocksSettingsDialog::UpdateEnabling() {
    FForm.LimitBandIn = FLimitBandIn->isChecked();
    FForm.LimitBandOut = FLimitBandOut->isChecked();
    FForm.SetUseSocksProxy(FUseSocksProxy->isChecked());
    FBandIn->setEnabled(FForm.BandInLimitEnabled());
    FBandOut->setEnabled(FForm.BandOutLimitEnabled());
    FSocksProxy->SetFrameEnabled(FForm.SocksProxy.FrameEnabled());
}

void TSocksSettingsDialog::SaveToForm() {
    FForm.ServerPort = S(FPort->currentText());
    FServerIP->SaveTo(FForm.ServerIP);
    FAllowedClients->SaveTo(FForm.AllowedClients);
    FForm.MaxConnections = S(FMaxConnections->text());
    FForm.MaxBackLog = S(FMaxBackLog->text());
    FForm.EnableLog = FEnableLog->isChecked();
    FForm.RequireLogin = FRequireLogin->isChecked();
    FForm.EnableUDP = FEnableUDP->isChecked();
    FForm.LimitBandIn = FLimitBandIn->isChecked();
    FForm.BandInLimit = S(FBandIn->text());
    FForm.LimitBandOut = FLimitBandOut->isChecked();
    FForm.BandOutLimit = S(FBandOut->text());
    FForm.SetUseSocksProxy(FUseSocksProxy->isChecked());
    FSocksProxy->SaveTo(FForm.SocksProxy);
}

// ---- THTTPSettingsDialog ----

THTTPSettingsDialog::THTTPSettingsDialog(TfrmHTTPProxySettings& form, QWidget* parent)
    : TSettingsDialog(form, parent), FForm(form) {
    using F = TfrmHTTPProxySettings;
    std::vector<std::string> tabs = form.Tabs();
    QVBoxLayout* layout;

    QWidget* server = AddPage(Pages(), tabs.at(0), layout);
    auto* portRow = new QFormLayout;
    FPort = new QComboBox(server);
    FPort->setEditable(true);
    FPort->setInsertPolicy(QComboBox::NoInsert);
    FPort->lineEdit()->setMaxLength(F::kPortDigits);
    TKeyFilter::Install(FPort->lineEdit(), DigitKeyAccepted);
    for (const std::string& item : F::PortItems())
        FPort->addItem(Q(item));
    FPort->setMaximumWidth(90);
    portRow->addRow("Port", FPort);
    layout->addLayout(portRow);
    FServerIP = new TServerIPView(server);
    layout->addWidget(FServerIP);
    FAllowedClients = new TAllowedClientsView(server);
    layout->addWidget(FAllowedClients);
    layout->addStretch();

    QWidget* tcp = AddPage(Pages(), tabs.at(1), layout);
    FUseSocksProxy = new QCheckBox("Use Socks5 to establish connections.", tcp);
    FSocksProxy = new TProxyServerView(tcp);
    layout->addWidget(FUseSocksProxy);
    layout->addWidget(FSocksProxy);
    layout->addStretch();

    QWidget* http = AddPage(Pages(), tabs.at(2), layout);
    FUseHTTPProxy = new QCheckBox("Use another HTTP proxy for retrieval.", http);
    FHTTPProxy = new TProxyServerView(http);
    layout->addWidget(FUseHTTPProxy);
    layout->addWidget(FHTTPProxy);
    layout->addStretch();

    QWidget* options = AddPage(Pages(), tabs.at(3), layout);
    FUpdateVia = new QCheckBox("Enable \"Via\" field (proxy identity).", options);
    FUpdateXForwardedFor =
        new QCheckBox("Enable \"X-Forwarded-For\" field (client identity).", options);
    FEnableLogFile = new QCheckBox("Generate a request log file.", options);
    layout->addWidget(FUpdateVia);
    layout->addWidget(FUpdateXForwardedFor);
    layout->addWidget(FEnableLogFile);
    layout->addStretch();

    QWidget* tunnel = AddPage(Pages(), tabs.at(4), layout);
    FEnableTunnelling = new QCheckBox("Enable tunnel support.", tunnel);
    FOnlyTunnelHTTPS = new QCheckBox("Only allow tunnels to the secure HTTP port (443).", tunnel);
    layout->addWidget(FEnableTunnelling);
    auto* indented = new QVBoxLayout;
    indented->setContentsMargins(20, 0, 0, 0);
    indented->addWidget(FOnlyTunnelHTTPS);
    layout->addLayout(indented);
    layout->addStretch();

    QWidget* limits = AddPage(Pages(), tabs.at(5), layout);
    auto* counts = new QFormLayout;
    FMaxConnections = NumberField(limits, F::kLimitDigits);
    FMaxBackLog = NumberField(limits, F::kLimitDigits);
    counts->addRow("Maximum connections", FMaxConnections);
    counts->addRow("Connection backlog (0: system default)", FMaxBackLog);
    layout->addLayout(counts);
    FLimitBandwidth = new QCheckBox("Limit bandwidth per connection.", limits);
    FBandwidthLimit = NumberField(limits, F::kBandwidthDigits);
    auto* rateRow = new QHBoxLayout;
    rateRow->setContentsMargins(20, 0, 0, 0);
    rateRow->addWidget(FBandwidthLimit);
    rateRow->addWidget(new QLabel("bytes per second.", limits));
    rateRow->addStretch();
    layout->addWidget(FLimitBandwidth);
    layout->addLayout(rateRow);
    layout->addStretch();

    QWidget* login = AddPage(Pages(), tabs.at(6), layout);
    const std::vector<std::string>& captions = F::LoginModeCaptions();
    for (size_t mode = 0; mode < captions.size(); ++mode)
        FLoginModes.push_back(new QRadioButton(Q(captions[mode]), login));
    FPassword = new QLineEdit(login);
    FPassword->setMaxLength(static_cast<int>(F::kMaxPasswordLength));
    FGenerate = new QPushButton("Generate", login);
    FLoginScriptLabel = new QLabel("Command line:", login);
    FLoginScript = new QLineEdit(login);
    FLoginScript->setMaxLength(static_cast<int>(F::kMaxLoginScriptLength));
    FLoginScript->setPlaceholderText("a program that answers each login line");
    FLoginScriptLabel->setBuddy(FLoginScript);
    // Each choice's controls stand under it, indented.
    layout->addWidget(FLoginModes[0]);
    layout->addWidget(FLoginModes[1]);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->setContentsMargins(20, 0, 0, 0);
    passwordRow->addWidget(FPassword, 1);
    passwordRow->addWidget(FGenerate);
    layout->addLayout(passwordRow);
    layout->addWidget(FLoginModes[2]);
    layout->addWidget(FLoginModes[3]);
    auto* scriptRow = new QHBoxLayout;
    scriptRow->setContentsMargins(20, 0, 0, 0);
    scriptRow->addWidget(FLoginScriptLabel);
    scriptRow->addWidget(FLoginScript, 1);
    layout->addLayout(scriptRow);
    layout->addStretch();

    // The form's values.
    FPort->setEditText(Q(form.ServerPort));
    FServerIP->LoadFrom(form.ServerIP);
    FAllowedClients->LoadFrom(form.AllowedClients);
    FUseSocksProxy->setChecked(form.UseSocksProxy);
    FSocksProxy->LoadFrom(form.SocksProxy);
    FUseHTTPProxy->setChecked(form.UseHTTPProxy);
    FHTTPProxy->LoadFrom(form.HTTPProxy);
    FUpdateVia->setChecked(form.UpdateVia);
    FUpdateXForwardedFor->setChecked(form.UpdateXForwardedFor);
    FEnableLogFile->setChecked(form.EnableLogFile);
    FEnableTunnelling->setChecked(form.EnableTunnelling);
    FOnlyTunnelHTTPS->setChecked(form.OnlyTunnelHTTPS);
    FMaxConnections->setText(Q(form.MaxConnections));
    FMaxBackLog->setText(Q(form.MaxBackLog));
    FLimitBandwidth->setChecked(form.LimitBandwidth);
    FBandwidthLimit->setText(Q(form.BandwidthLimit));
    // A stored mode outside the four shows no choice; OK keeps it unless one is picked.
    if (form.LoginMode < FLoginModes.size())
        FLoginModes[form.LoginMode]->setChecked(true);
    FPassword->setText(Q(form.LoginPassword));
    FLoginScript->setText(Q(form.LoginScript));

    for (QCheckBox* box : {FUseSocksProxy, FUseHTTPProxy, FEnableTunnelling, FLimitBandwidth})
        connect(box, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
    for (QRadioButton* choice : FLoginModes)
        connect(choice, &QRadioButton::toggled, this, [this] { UpdateEnabling(); });
    connect(FGenerate, &QPushButton::clicked, this, [this] {
        FForm.GeneratePassword();
        FPassword->setText(Q(FForm.LoginPassword));
    });
    UpdateEnabling();
}

int THTTPSettingsDialog::CheckedLoginMode() const {
    for (size_t mode = 0; mode < FLoginModes.size(); ++mode)
        if (FLoginModes[mode]->isChecked())
            return static_cast<int>(mode);
    return FForm.LoginMode; // none checked: the stored value stands
}

void THTTPSettingsDialog::UpdateEnabling() {
    FForm.SetUseSocksProxy(FUseSocksProxy->isChecked());
    FForm.SetUseHTTPProxy(FUseHTTPProxy->isChecked());
    FForm.EnableTunnelling = FEnableTunnelling->isChecked();
    FForm.LimitBandwidth = FLimitBandwidth->isChecked();
    FForm.LoginMode = static_cast<uint8_t>(CheckedLoginMode());
    FSocksProxy->SetFrameEnabled(FForm.SocksProxy.FrameEnabled());
    FHTTPProxy->SetFrameEnabled(FForm.HTTPProxy.FrameEnabled());
    FOnlyTunnelHTTPS->setEnabled(FForm.OnlyTunnelHTTPSEnabled());
    FBandwidthLimit->setEnabled(FForm.BandwidthLimitEnabled());
    FPassword->setEnabled(FForm.PasswordEnabled());
    FGenerate->setEnabled(FForm.PasswordEnabled());
    FLoginScriptLabel->setEnabled(FForm.LoginScriptEnabled());
    FLoginScript->setEnabled(FForm.LoginScriptEnabled());
}

void THTTPSettingsDialog::SaveToForm() {
    FForm.ServerPort = S(FPort->currentText());
    FServerIP->SaveTo(FForm.ServerIP);
    FAllowedClients->SaveTo(FForm.AllowedClients);
    FForm.SetUseSocksProxy(FUseSocksProxy->isChecked());
    FSocksProxy->SaveTo(FForm.SocksProxy);
    FForm.SetUseHTTPProxy(FUseHTTPProxy->isChecked());
    FHTTPProxy->SaveTo(FForm.HTTPProxy);
    FForm.UpdateVia = FUpdateVia->isChecked();
    FForm.UpdateXForwardedFor = FUpdateXForwardedFor->isChecked();
    FForm.EnableLogFile = FEnableLogFile->isChecked();
    FForm.EnableTunnelling = FEnableTunnelling->isChecked();
    FForm.OnlyTunnelHTTPS = FOnlyTunnelHTTPS->isChecked();
    FForm.MaxConnections = S(FMaxConnections->text());
    FForm.MaxBackLog = S(FMaxBackLog->text());
    FForm.LimitBandwidth = FLimitBandwidth->isChecked();
    FForm.BandwidthLimit = S(FBandwidthLimit->text());
    FForm.LoginMode = static_cast<uint8_t>(CheckedLoginMode());
    FForm.LoginPassword = S(FPassword->text());
    FForm.LoginScript = S(FLoginScript->text());
}

// ---- TPortMapSettingsDialog ----

TPortMapSettingsDialog::TPortMapSettingsDialog(TfrmPortMapSettings& form, QWidget* parent)
    : TSettingsDialog(form, parent), FForm(form) {
    std::vector<std::string> tabs = form.Tabs();
    QVBoxLayout* layout;

    QWidget* server = AddPage(Pages(), tabs.at(0), layout);
    auto* rows = new QFormLayout;
    FProtocol = new QComboBox(server);
    for (const std::string& item : TfrmPortMapSettings::ProtocolItems())
        FProtocol->addItem(Q(item));
    FProtocol->setMaximumWidth(90);
    FPort = NumberField(server, kPortDigits);
    rows->addRow("Protocol", FProtocol);
    rows->addRow("Port", FPort);
    layout->addLayout(rows);
    FServerIP = new TServerIPView(server);
    layout->addWidget(FServerIP);
    FAllowedClients = new TAllowedClientsView(server);
    layout->addWidget(FAllowedClients);
    layout->addStretch();

    QWidget* destination = AddPage(Pages(), tabs.at(1), layout,
                                   "Where the connections are passed on to.");
    auto* dest = new QFormLayout;
    FDestHost = new QLineEdit(destination);
    FDestHost->setMaxLength(static_cast<int>(TframeEditProxyServer::kMaxHostLength));
    TKeyFilter::Install(FDestHost, TframeEditProxyServer::HostKeyAccepted);
    FDestPort = NumberField(destination, kPortDigits);
    dest->addRow("Host", FDestHost);
    dest->addRow("Port", FDestPort);
    layout->addLayout(dest);
    layout->addStretch();

    QWidget* proxy = AddPage(Pages(), tabs.at(2), layout);
    FUseSocksProxy = new QCheckBox("Use a Socks5 proxy for outbound connections.", proxy);
    FSocksProxy = new TProxyServerView(proxy);
    layout->addWidget(FUseSocksProxy);
    layout->addWidget(FSocksProxy);
    layout->addStretch();

    FProtocol->setCurrentIndex(form.ProtocolIndex);
    FPort->setText(Q(form.ServerPort));
    FServerIP->LoadFrom(form.ServerIP);
    FAllowedClients->LoadFrom(form.AllowedClients);
    FDestHost->setText(Q(form.DestHost));
    FDestPort->setText(Q(form.DestPort));
    FUseSocksProxy->setChecked(form.UseSocksProxy);
    FSocksProxy->LoadFrom(form.SocksProxy);
    connect(FUseSocksProxy, &QCheckBox::toggled, this, [this](bool on) {
        FForm.SetUseSocksProxy(on);
        FSocksProxy->SetFrameEnabled(FForm.SocksProxy.FrameEnabled());
    });
}

void TPortMapSettingsDialog::SaveToForm() {
    FForm.ProtocolIndex = FProtocol->currentIndex();
    FForm.ServerPort = S(FPort->text());
    FServerIP->SaveTo(FForm.ServerIP);
    FAllowedClients->SaveTo(FForm.AllowedClients);
    FForm.DestHost = S(FDestHost->text());
    FForm.DestPort = S(FDestPort->text());
    FForm.SetUseSocksProxy(FUseSocksProxy->isChecked());
    FSocksProxy->SaveTo(FForm.SocksProxy);
}

// ---- TDNSSettingsDialog ----

TDNSSettingsDialog::TDNSSettingsDialog(TfrmDNSProxySettings& form, QWidget* parent)
    : TSettingsDialog(form, parent), FForm(form) {
    using F = TfrmDNSProxySettings;
    std::vector<std::string> tabs = form.Tabs();
    QVBoxLayout* layout;

    QWidget* server = AddPage(Pages(), tabs.at(0), layout);
    auto* portRow = new QFormLayout;
    FPort = NumberField(server, kPortDigits);
    portRow->addRow(F::kPortCaption, FPort);
    layout->addLayout(portRow);
    FServerIP = new TServerIPView(server);
    layout->addWidget(FServerIP);
    FAllowedClients = new TAllowedClientsView(server);
    layout->addWidget(FAllowedClients);
    layout->addStretch();

    QWidget* resolver = AddPage(Pages(), tabs.at(1), layout);
    FMethodSystem = new QRadioButton(F::kMethodSystemCaption, resolver);
    FMethodServer = new QRadioButton(F::kMethodServerCaption, resolver);
    FResolveServerLabel = new QLabel(F::kServerCaption, resolver);
    FResolveServer = new QLineEdit(resolver);
    FResolveServer->setMaxLength(static_cast<int>(F::kMaxResolveServerLength));
    TKeyFilter::Install(FResolveServer, F::ResolveServerKeyAccepted);
    FResolveServerLabel->setBuddy(FResolveServer);
    FRecurseServer = new QCheckBox(F::kRecurseServerCaption, resolver);
    FRecurse = new QCheckBox(F::kRecurseCaption, resolver);
    layout->addWidget(FMethodSystem);
    layout->addWidget(FMethodServer);
    // The server's controls stand under their choice, indented.
    auto* indented = new QVBoxLayout;
    indented->setContentsMargins(20, 0, 0, 0);
    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(FResolveServerLabel);
    serverRow->addWidget(FResolveServer, 1);
    indented->addLayout(serverRow);
    indented->addWidget(FRecurseServer);
    indented->addWidget(FRecurse);
    layout->addLayout(indented);
    layout->addStretch();

    FPort->setText(Q(form.ServerPort));
    FServerIP->LoadFrom(form.ServerIP);
    FAllowedClients->LoadFrom(form.AllowedClients);
    (form.ResolveMethod == 1 ? FMethodServer : FMethodSystem)->setChecked(true);
    FResolveServer->setText(Q(form.ResolveServer));
    FRecurseServer->setChecked(form.RecurseServer);
    FRecurse->setChecked(form.Recurse);
    connect(FMethodServer, &QRadioButton::toggled, this, [this] { UpdateEnabling(); });
    UpdateEnabling();
}

void TDNSSettingsDialog::UpdateEnabling() {
    FForm.ResolveMethod = FMethodServer->isChecked() ? 1 : 0;
    bool on = FForm.ResolverFieldsEnabled();
    for (QWidget* w : {static_cast<QWidget*>(FResolveServerLabel),
                       static_cast<QWidget*>(FResolveServer),
                       static_cast<QWidget*>(FRecurseServer), static_cast<QWidget*>(FRecurse)})
        w->setEnabled(on);
}

void TDNSSettingsDialog::SaveToForm() {
    FForm.ServerPort = S(FPort->text());
    FServerIP->SaveTo(FForm.ServerIP);
    FAllowedClients->SaveTo(FForm.AllowedClients);
    FForm.ResolveMethod = FMethodServer->isChecked() ? 1 : 0;
    FForm.ResolveServer = S(FResolveServer->text());
    FForm.RecurseServer = FRecurseServer->isChecked();
    FForm.Recurse = FRecurse->isChecked();
}

// ---- TUserSettingsDialog ----

TUserSettingsDialog::TUserSettingsDialog(TfrmProxyUserSettings& form, QWidget* parent)
    : TSettingsDialog(form, parent), FForm(form) {
    using F = TfrmProxyUserSettings;
    QVBoxLayout* layout;

    QWidget* user = AddPage(Pages(), F::kUserPageCaption, layout, F::kUserPageText);
    layout->addWidget(new QLabel(F::kNameLabel, user));
    FName = new QLineEdit(user);
    FName->setMaxLength(static_cast<int>(F::kMaxNameLength));
    layout->addWidget(FName);
    layout->addStretch();

    QWidget* login = AddPage(Pages(), F::kLoginPageCaption, layout, F::kLoginPageText);
    auto* rows = new QFormLayout;
    FLogin = new QLineEdit(login);
    FLogin->setMaxLength(static_cast<int>(F::kMaxLoginLength));
    FPassword = new QLineEdit(login);
    FPassword->setMaxLength(static_cast<int>(F::kMaxPasswordLength));
    FGenerate = new QPushButton(F::kGenerateCaption, login);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(FPassword);
    passwordRow->addWidget(FGenerate);
    rows->addRow(F::kLoginLabel, FLogin);
    rows->addRow(F::kPasswordLabel, passwordRow);
    layout->addLayout(rows);
    layout->addStretch();

    QWidget* access = AddPage(Pages(), F::kAccessPageCaption, layout, F::kAccessPageText);
    FAllowHTTP = new QCheckBox(F::kAllowHTTPProxyCaption, access);
    FAllowSocks = new QCheckBox(F::kAllowSocksProxyCaption, access);
    FUserDisabled = new QCheckBox(F::kUserDisabledCaption, access);
    layout->addWidget(FAllowHTTP);
    layout->addWidget(FAllowSocks);
    layout->addWidget(FUserDisabled);
    layout->addStretch();

    ShowForm();
    // textEdited comes from the user's typing only, never from ShowForm's setText.
    connect(FName, &QLineEdit::textEdited, this, [this](const QString& text) {
        FForm.SetName(S(text));
        ShowForm();
    });
    connect(FLogin, &QLineEdit::textEdited, this, [this](const QString& text) {
        FForm.SetLogin(S(text));
        ShowForm();
    });
    connect(FPassword, &QLineEdit::textEdited, this,
            [this](const QString& text) { FForm.SetPassword(S(text)); });
    connect(FGenerate, &QPushButton::clicked, this, [this] {
        FForm.Generate();
        ShowForm();
    });
    connect(FUserDisabled, &QCheckBox::clicked, this, [this](bool on) {
        FForm.SetUserDisabled(on);
        ShowForm();
    });
    connect(FAllowHTTP, &QCheckBox::clicked, this, [this](bool on) {
        FForm.SetAllowHTTPProxy(on);
        ShowForm();
    });
    connect(FAllowSocks, &QCheckBox::clicked, this, [this](bool on) {
        FForm.SetAllowSocksProxy(on);
        ShowForm();
    });
    Pages()->setCurrentIndex(0);
    FName->setFocus();
}

void TUserSettingsDialog::ShowForm() {
    // Only texts that differ are set, so the caret stays where the user types.
    auto set = [](QLineEdit* edit, const std::string& text) {
        if (edit->text() != Q(text))
            edit->setText(Q(text));
    };
    set(FName, FForm.Name());
    set(FLogin, FForm.Login());
    set(FPassword, FForm.Password());
    FUserDisabled->setChecked(FForm.UserDisabled());
    FAllowHTTP->setChecked(FForm.AllowHTTPProxy());
    FAllowSocks->setChecked(FForm.AllowSocksProxy());
    FAllowHTTP->setEnabled(FForm.AllowHTTPProxyEnabled());
    FAllowSocks->setEnabled(FForm.AllowSocksProxyEnabled());
}

} // namespace corvan

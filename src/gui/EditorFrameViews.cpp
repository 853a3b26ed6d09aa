#include "gui/EditorFrameViews.h"
#include "gui/QtText.h"

#include "net/AllowedClients.h"
#include "net/SocketLib.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace corvan {

TKeyFilter::TKeyFilter(std::function<bool(char)> accept, QObject* parent)
    : QObject(parent), FAccept(std::move(accept)) {}

bool TKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    QString text = key->text();
    if (text.isEmpty())
        return false;
    for (QChar ch : text) {
        char16_t u = ch.unicode();
        if (u < 32)
            continue;
        // A character beyond ASCII is never one of the accepted digits or letters of these
        // fields' rules, and only the host and login fields take it: they are asked with a
        // stand-in that no rule refuses but the blank one.
        char c = u < 128 ? static_cast<char>(u) : 'x';
        if (!FAccept(c))
            return true;
    }
    return false;
}

void TKeyFilter::Install(QWidget* field, std::function<bool(char)> accept) {
    field->installEventFilter(new TKeyFilter(std::move(accept), field));
}

bool DigitKeyAccepted(char c) {
    return static_cast<unsigned char>(c) < 32 || (c >= '0' && c <= '9');
}

// ---- TServerIPView ----

TServerIPView::TServerIPView(QWidget* parent) : QGroupBox(" Server IP ", parent) {
    auto* layout = new QVBoxLayout(this);
    FAny = new QRadioButton("Accept connections on any interface.", this);
    FOnly = new QRadioButton("Only accept connections on:", this);
    FAddress = new QComboBox(this);
    FAddress->setEditable(true);
    FAddress->setInsertPolicy(QComboBox::NoInsert);
    FAddress->lineEdit()->setMaxLength(static_cast<int>(TframeEditServerIP::kMaxAddressLength));
    TKeyFilter::Install(FAddress->lineEdit(), TframeEditServerIP::AddressKeyAccepted);
    for (const std::string& address : TframeEditServerIP::LocalAddressChoices())
        FAddress->addItem(Q(address));
    FAddress->setMinimumWidth(140);
    // An IPv6 entry is longer than a dotted address: the box is as wide as the longest one.
    FAddress->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    layout->addWidget(FAny);
    layout->addWidget(FOnly);
    auto* row = new QHBoxLayout;
    row->addSpacing(20);
    row->addWidget(FAddress);
    row->addStretch();
    layout->addLayout(row);
    connect(FAny, &QRadioButton::toggled, this, [this] { UpdateEnabling(); });
    FAny->setChecked(true);
    UpdateEnabling();
}

void TServerIPView::LoadFrom(const TframeEditServerIP& model) {
    (model.AnyInterface ? FAny : FOnly)->setChecked(true);
    int index = model.AnyInterface ? -1 : FAddress->findText(Q(model.Address));
    if (index >= 0)
        FAddress->setCurrentIndex(index);
    else
        FAddress->setEditText(Q(model.Address));
    UpdateEnabling();
}

void TServerIPView::SaveTo(TframeEditServerIP& model) const {
    model.AnyInterface = FAny->isChecked();
    model.Address = S(FAddress->currentText());
}

void TServerIPView::UpdateEnabling() {
    TframeEditServerIP rules;
    rules.AnyInterface = FAny->isChecked();
    FAddress->setEnabled(rules.AddressEnabled());
}

// ---- TAllowedClientsView ----

namespace {
// Beyond this the field scrolls rather than widening the dialog further.
constexpr int kMaxAllowedClientsWidth = 640;
} // namespace

TAllowedClientsView::TAllowedClientsView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* label = new QLabel(TframeEditAllowedClients::kCaption, this);
    FEdit = new QLineEdit(this);
    FEdit->setMaxLength(static_cast<int>(TframeEditAllowedClients::kMaxLength));
    TKeyFilter::Install(FEdit, TframeEditAllowedClients::KeyAccepted);
    label->setBuddy(FEdit);
    // Wide enough for the default list, which the field shows when nothing is stored.
    int wide = FEdit->fontMetrics().horizontalAdvance(kDefaultAllowedClients) + 16;
    FEdit->setMinimumWidth(std::min(wide, kMaxAllowedClientsWidth));
    auto* hint = new QLabel(TframeEditAllowedClients::kHint, this);
    hint->setWordWrap(true);
    QFont small = hint->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    hint->setFont(small);
    layout->addWidget(label);
    layout->addWidget(FEdit);
    layout->addWidget(hint);
}

void TAllowedClientsView::LoadFrom(const TframeEditAllowedClients& model) {
    FEdit->setText(Q(model.Text));
    FEdit->setCursorPosition(0);
}

void TAllowedClientsView::SaveTo(TframeEditAllowedClients& model) const {
    model.Text = S(FEdit->text());
}

// ---- TProxyServerView ----

TProxyServerView::TProxyServerView(QWidget* parent) : QGroupBox(" Proxy Server ", parent) {
    auto* grid = new QGridLayout(this);
    auto field = [this](size_t maxLength) {
        auto* edit = new QLineEdit(this);
        edit->setMaxLength(static_cast<int>(maxLength));
        return edit;
    };
    FHost = field(TframeEditProxyServer::kMaxHostLength);
    TKeyFilter::Install(FHost, TframeEditProxyServer::HostKeyAccepted);
    FPort = field(TframeEditProxyServer::kMaxPortLength);
    FPort->setMaximumWidth(70);
    TKeyFilter::Install(FPort, TframeEditProxyServer::PortKeyAccepted);
    FUseAuth = new QCheckBox("Use Authentication", this);
    FLogin = field(TframeEditProxyServer::kMaxLoginLength);
    FPassword = field(TframeEditProxyServer::kMaxPasswordLength);
    FPassword->setEchoMode(QLineEdit::Password);
    FLoginLabel = new QLabel("Login", this);
    FPasswordLabel = new QLabel("Password", this);
    grid->addWidget(new QLabel("Host", this), 0, 0);
    grid->addWidget(FHost, 0, 1, 1, 3);
    grid->addWidget(new QLabel("Port", this), 1, 0);
    grid->addWidget(FPort, 1, 1);
    grid->addWidget(FUseAuth, 2, 0, 1, 4);
    grid->addWidget(FLoginLabel, 3, 0);
    grid->addWidget(FLogin, 3, 1, 1, 3);
    grid->addWidget(FPasswordLabel, 4, 0);
    grid->addWidget(FPassword, 4, 1, 1, 3);
    grid->setColumnStretch(2, 1);
    connect(FUseAuth, &QCheckBox::toggled, this, [this](bool on) {
        FRules.UseAuth = on;
        UpdateEnabling();
    });
    UpdateEnabling();
}

void TProxyServerView::LoadFrom(const TframeEditProxyServer& model) {
    FHost->setText(Q(model.Host));
    FPort->setText(Q(model.Port));
    FUseAuth->setChecked(model.UseAuth);
    FLogin->setText(Q(model.Login));
    FPassword->setText(Q(model.Password));
    FRules.UseAuth = model.UseAuth;
    FRules.SetFrameEnabled(model.FrameEnabled());
    setEnabled(model.FrameEnabled());
    UpdateEnabling();
}

void TProxyServerView::SaveTo(TframeEditProxyServer& model) const {
    model.Host = S(FHost->text());
    model.Port = S(FPort->text());
    model.UseAuth = FUseAuth->isChecked();
    model.Login = S(FLogin->text());
    model.Password = S(FPassword->text());
}

void TProxyServerView::SetFrameEnabled(bool value) {
    FRules.SetFrameEnabled(value);
    setEnabled(value);
    UpdateEnabling();
}

void TProxyServerView::UpdateEnabling() {
    bool login = FRules.LoginEnabled();
    for (QWidget* w : {static_cast<QWidget*>(FLoginLabel), static_cast<QWidget*>(FLogin),
                       static_cast<QWidget*>(FPasswordLabel), static_cast<QWidget*>(FPassword)})
        w->setEnabled(login);
}

} // namespace corvan

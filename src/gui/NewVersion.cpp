#include "gui/NewVersion.h"
#include "gui/QtText.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QUrl>
#include <QVBoxLayout>

namespace corvan {

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    return QString::fromStdString(text).startsWith(prefix, Qt::CaseInsensitive);
}

} // namespace

bool TfrmNewVersion::LinkAllowed(const std::string& url) {
    return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

TfrmNewVersion::TfrmNewVersion(const TProductInfo& product, const std::string& newVersion,
                               const std::string& infoURL, const std::string& setupURL,
                               QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("New Version");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    FHeadline = new QLabel(Q("A new version of " + product.ProductName + " is available."), this);
    QFont bold = FHeadline->font();
    bold.setBold(true);
    FHeadline->setFont(bold);
    layout->addWidget(FHeadline);

    auto* rows = new QFormLayout;
    FCurrent = new QLabel(Q(product.Version), this);
    FLatest = new QLabel(Q(newVersion), this);
    // The version is plain text whatever the server sent.
    FLatest->setTextFormat(Qt::PlainText);
    FInfo = LinkLabel(infoURL);
    FSetup = LinkLabel(setupURL);
    rows->addRow("Current version: ", FCurrent);
    rows->addRow("Latest version: ", FLatest);
    rows->addRow("Product information:", FInfo);
    rows->addRow("Download URL:", FSetup);
    layout->addLayout(rows);

    auto* buttons = new QDialogButtonBox(this);
    FClose = buttons->addButton("Close", QDialogButtonBox::AcceptRole);
    FClose->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QLabel* TfrmNewVersion::LinkLabel(const std::string& url) {
    auto* label = new QLabel(this);
    if (!LinkAllowed(url)) {
        label->setTextFormat(Qt::PlainText);
        label->setText(Q(url));
        return label;
    }
    QString escaped = Q(url).toHtmlEscaped();
    label->setTextFormat(Qt::RichText);
    label->setText("<a href=\"" + escaped + "\">" + escaped + "</a>");
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setOpenExternalLinks(false);
    connect(label, &QLabel::linkActivated, this, [this, url] {
        if (OnOpenLink)
            OnOpenLink(url);
        else
            QDesktopServices::openUrl(QUrl(Q(url)));
    });
    return label;
}

} // namespace corvan

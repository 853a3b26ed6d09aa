#pragma once
// "New Version": what the update checker found, with the product page and the download as
// links opened by the desktop's default handler. Nothing is downloaded or installed here.

#include "app/ProxyAppBase.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <functional>
#include <string>

namespace corvan {

class TfrmNewVersion : public QDialog {
public:
    // product: the running program's data; the other texts come from the version file.
    TfrmNewVersion(const TProductInfo& product, const std::string& newVersion,
                   const std::string& infoURL, const std::string& setupURL,
                   QWidget* parent = nullptr);

    // The addresses come from a web server: only http and https ones become links, so a
    // file could never make a click open a local file or start a program's handler.
    static bool LinkAllowed(const std::string& url);

    // Opens a clicked link; unset, QDesktopServices::openUrl. Tests set it.
    std::function<void(const std::string& url)> OnOpenLink;

    QLabel* Headline() const { return FHeadline; }
    QLabel* CurrentVersion() const { return FCurrent; }
    QLabel* LatestVersion() const { return FLatest; }
    QLabel* InfoLink() const { return FInfo; }
    QLabel* SetupLink() const { return FSetup; }
    QPushButton* CloseButton() const { return FClose; }

private:
    QLabel* LinkLabel(const std::string& url);

    QLabel* FHeadline;
    QLabel* FCurrent;
    QLabel* FLatest;
    QLabel* FInfo;
    QLabel* FSetup;
    QPushButton* FClose;
};

} // namespace corvan

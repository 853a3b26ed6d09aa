#include "gui/About.h"

#include <QMessageBox>

namespace corvan {

TframeAbout::TframeAbout(const TProductInfo& product) {
    Lines = {product.ProductName, "Version " + product.Version, product.Description,
             product.HomePage,    product.LegalNotice,          ""};
}

TAbout::TAbout() {
    FrameClass = [this] { return std::make_unique<TframeAbout>(FProduct); };
}

void TAbout::SetProduct(const TProductInfo& product) {
    FProduct = product;
}

void TAbout::UpdateDisplay() {
    std::string page = StatusPageAddress ? StatusPageAddress() : std::string();
    GetStatusFrame()->Lines.at(TframeAbout::kStatusPageLine) =
        page.empty() ? std::string() : "Status page: " + page;
}

std::string MakerHomePage(const TProductInfo& product) {
    std::string page = product.HomePage;
    // "http://host/proxyapp/" gives "http://host/".
    size_t scheme = page.find("://");
    size_t hostEnd = page.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return hostEnd == std::string::npos ? page + "/" : page.substr(0, hostEnd + 1);
}

void ShowAboutDialog(QWidget* parent, const TProductInfo& product) {
    auto esc = [](const std::string& text) { return QString::fromStdString(text).toHtmlEscaped(); };
    QString text = "<b>" + esc(product.ProductName) + "</b><br>Version " + esc(product.Version) +
                   "<br>" + esc(product.Description) + "<br><br><a href=\"" +
                   esc(product.HomePage) + "\">" + esc(product.HomePage) + "</a><br><br>" +
                   esc(product.LegalNotice);
    QMessageBox box(parent);
    box.setWindowTitle("About " + QString::fromStdString(product.ProductName));
    box.setTextFormat(Qt::RichText);
    box.setTextInteractionFlags(Qt::TextBrowserInteraction);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

} // namespace corvan

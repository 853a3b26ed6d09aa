#pragma once
// The About node's component and the About dialog: both show the product data.

#include "app/ProxyAppBase.h"
#include "component/AppComponent.h"

#include <QWidget>

namespace corvan {

// The About view's frame: product name, version, description, home page, legal notice.
class TframeAbout : public AStatusFrame {
public:
    explicit TframeAbout(const TProductInfo& product);
};

// A component with the About view and nothing else: no settings, no switch, no children.
class TAbout : public TAppComponent {
public:
    TAbout();
    std::string ClassName() const override { return "TAbout"; }
    // Binds the view to the product data (made on the next GetStatusFrame).
    void SetProduct(const TProductInfo& product);

private:
    TProductInfo FProduct;
};

// "&About": a modal box with the same product data.
void ShowAboutDialog(QWidget* parent, const TProductInfo& product);

// The maker's home page (the product's page without its last folder).
std::string MakerHomePage(const TProductInfo& product);

} // namespace corvan

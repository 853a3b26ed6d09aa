#pragma once
// The About node's component and the About dialog: both show the product data.

#include "app/ProxyAppBase.h"
#include "component/AppComponent.h"

#include <QWidget>

namespace corvan {

// The About view's frame: product name, version, description, home page, legal notice, and
// the status page's address while that service runs (an empty line otherwise). The view
// draws an address as a link that opens the browser.
class TframeAbout : public AStatusFrame {
public:
    static constexpr size_t kStatusPageLine = 5;
    explicit TframeAbout(const TProductInfo& product);
};

// A component with the About view and nothing else: no settings, no switch, no children.
class TAbout : public TAppComponent {
public:
    TAbout();
    std::string ClassName() const override { return "TAbout"; }
    // Binds the view to the product data (made on the next GetStatusFrame).
    void SetProduct(const TProductInfo& product);
    // The status page's address now; empty while it does not run. Unset: never shown.
    std::function<std::string()> StatusPageAddress;
    // The status page's line from StatusPageAddress.
    void UpdateDisplay() override;

private:
    TProductInfo FProduct;
};

// "&About": a modal box with the same product data.
void ShowAboutDialog(QWidget* parent, const TProductInfo& product);

// The maker's home page (the product's page without its last folder).
std::string MakerHomePage(const TProductInfo& product);

} // namespace corvan

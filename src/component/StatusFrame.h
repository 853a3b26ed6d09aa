#pragma once
// The status view of a settings component as a plain model: the texts, values, picture and
// buttons that the component's UpdateDisplay computes. The Qt window draws any frame model
// with one generic widget; tests read the model directly. The core never includes Qt.

#include <functional>
#include <string>
#include <vector>

namespace corvan {

// The state pictures of the service views.
enum class TStatusPicture { None, iPCGray, iPCBlue, iPCCyan };

struct TStatusValue {
    std::string Label; // e.g. "Up-Time"
    std::string Value; // e.g. "1.3:05:09", "-" while stopped
};

struct TStatusButton {
    std::string Caption; // e.g. "Enable", "Settings..."
    bool Enabled = true;
    std::function<void()> OnClick; // runs on the main thread
};

// Base of every frame model (TframeHTTPProxyStatus, TframeProxyUserStatus, ...). A concrete
// frame declares its values and buttons in its constructor, in display order, and its
// component updates them; the window redraws after UpdateDisplay.
class AStatusFrame {
public:
    virtual ~AStatusFrame() = default;

    // Heading lines, e.g. "HTTP Proxy Server active on port 8080."
    std::vector<std::string> Lines;
    std::vector<TStatusValue> Values;
    std::vector<TStatusButton> Buttons;
    TStatusPicture Picture = TStatusPicture::None;

    // Adds a value or button at the end (constructor use).
    void AddValue(const std::string& label, const std::string& value = "-");
    void AddButton(const std::string& caption, std::function<void()> onClick);

    // Sets a declared value; raises nothing and adds nothing when the label is unknown.
    void SetValue(const std::string& label, const std::string& value);
    // The value of a label; empty when it is not declared.
    std::string Value(const std::string& label) const;
    void SetButtonEnabled(const std::string& caption, bool enabled);
    // The button of that caption, or null.
    TStatusButton* Button(const std::string& caption);
    // Runs a button's handler when the button exists and is enabled; true when it ran.
    bool Click(const std::string& caption);
};

} // namespace corvan

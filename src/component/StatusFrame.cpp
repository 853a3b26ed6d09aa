#include "component/StatusFrame.h"

namespace corvan {

void AStatusFrame::AddValue(const std::string& label, const std::string& value) {
    Values.push_back(TStatusValue{label, value});
}

void AStatusFrame::AddButton(const std::string& caption, std::function<void()> onClick) {
    Buttons.push_back(TStatusButton{caption, true, std::move(onClick)});
}

void AStatusFrame::SetValue(const std::string& label, const std::string& value) {
    for (TStatusValue& v : Values)
        if (v.Label == label) {
            v.Value = value;
            return;
        }
}

std::string AStatusFrame::Value(const std::string& label) const {
    for (const TStatusValue& v : Values)
        if (v.Label == label)
            return v.Value;
    return std::string();
}

TStatusButton* AStatusFrame::Button(const std::string& caption) {
    for (TStatusButton& b : Buttons)
        if (b.Caption == caption)
            return &b;
    return nullptr;
}

void AStatusFrame::SetButtonEnabled(const std::string& caption, bool enabled) {
    if (TStatusButton* b = Button(caption))
        b->Enabled = enabled;
}

bool AStatusFrame::Click(const std::string& caption) {
    TStatusButton* b = Button(caption);
    if (!b || !b->Enabled || !b->OnClick)
        return false;
    // Copy: the handler may delete the component that owns this frame.
    std::function<void()> handler = b->OnClick;
    handler();
    return true;
}

} // namespace corvan

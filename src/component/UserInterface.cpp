#include "component/UserInterface.h"

#include <cstdio>

namespace corvan {

void AUserInterface::LogMessage(const std::string& text) {
    std::fprintf(stderr, "corvan-proxy: %s\n", text.c_str());
}

bool THeadlessUserInterface::ConfirmYesNo(const std::string&) {
    return false;
}

void THeadlessUserInterface::ShowError(const std::string& text) {
    std::fprintf(stderr, "corvan-proxy: %s\n", text.c_str());
}

bool THeadlessUserInterface::EditSettings(ASettingsForm&) {
    return false;
}

AUserInterface& HeadlessUserInterface() {
    static THeadlessUserInterface ui;
    return ui;
}

} // namespace corvan

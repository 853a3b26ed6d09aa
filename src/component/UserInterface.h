#pragma once
// How the core reaches the user: Yes/No confirmations, error boxes and modal settings
// dialogs. The Qt window implements it, tests fake it, and the headless program uses
// THeadlessUserInterface (errors to stderr, every question answered No, every dialog
// cancelled). All calls come from the main thread.

#include <string>

namespace corvan {

// Base of every settings form model (TfrmHTTPProxySettings, TfrmProxyUserSettings, ...):
// the values a dialog edits, its parsing, clamps and enabling rules, without any widget.
// The component fills a form from its settings, passes it to EditSettings, and copies the
// values back only when EditSettings answered true (OK).
class ASettingsForm {
public:
    virtual ~ASettingsForm() = default;
    // The dialog's caption, e.g. "HTTP Proxy Settings"; a view picks its widget by the
    // form's dynamic type.
    virtual std::string Caption() const = 0;
    // Why the form's values cannot be taken (e.g. a bad AllowedClients entry); empty when
    // they can. A view keeps the dialog open and shows the text while it is not empty; a
    // service that gets OK with an invalid form keeps its settings. Base: empty.
    virtual std::string ValidationError() const { return {}; }
};

class AUserInterface {
public:
    virtual ~AUserInterface() = default;
    // A modal box with Yes and No; true only for Yes.
    virtual bool ConfirmYesNo(const std::string& text) = 0;
    // Reports an error (the framework's error box).
    virtual void ShowError(const std::string& text) = 0;
    // Runs the form's modal dialog; true when it was closed with OK (the form then holds
    // the edited values), false when cancelled or when no dialog can be shown.
    virtual bool EditSettings(ASettingsForm& form) = 0;
    // A line for the program's log of events (a refused client, say): not a question and
    // not an error box. Base: stderr, as "corvan-proxy: <text>".
    virtual void LogMessage(const std::string& text);
};

// No window: errors and log lines go to stderr, questions are answered No, dialogs are not shown.
class THeadlessUserInterface : public AUserInterface {
public:
    bool ConfirmYesNo(const std::string& text) override;
    void ShowError(const std::string& text) override;
    bool EditSettings(ASettingsForm& form) override;
};

// The headless interface, for components that are not (yet) in a tree with one.
AUserInterface& HeadlessUserInterface();

} // namespace corvan

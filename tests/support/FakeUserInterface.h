#pragma once
// A scripted user: answers Yes/No questions and settings dialogs as told, lets a test edit
// the form as the user would, and records every question, error and dialog caption.

#include "component/UserInterface.h"

#include <functional>
#include <string>
#include <vector>

namespace corvan::test {

class TFakeUserInterface : public AUserInterface {
public:
    bool AnswerYes = false;
    bool PressOK = false;
    // Runs on the form before the dialog closes (the user's typing).
    std::function<void(ASettingsForm&)> EditForm;
    // When set, runs as the whole dialog instead, and its result is the OK/Cancel answer.
    std::function<bool(ASettingsForm&)> OnEdit;

    std::vector<std::string> Questions;
    std::vector<std::string> Errors;
    std::vector<std::string> Dialogs;
    std::vector<std::string> LogLines;

    bool ConfirmYesNo(const std::string& text) override {
        Questions.push_back(text);
        return AnswerYes;
    }
    void ShowError(const std::string& text) override { Errors.push_back(text); }
    void LogMessage(const std::string& text) override { LogLines.push_back(text); }
    bool EditSettings(ASettingsForm& form) override {
        Dialogs.push_back(form.Caption());
        if (OnEdit)
            return OnEdit(form);
        if (EditForm)
            EditForm(form);
        return PressOK;
    }
};

} // namespace corvan::test

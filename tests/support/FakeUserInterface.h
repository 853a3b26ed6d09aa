#pragma once
// A user interface for tests: records every question, error and dialog, answers questions
// with Answer and runs OnEdit (when set) as the dialog, whose result is the answer to
// EditSettings.

#include "app/UserInterface.h"

#include <functional>
#include <string>
#include <vector>

namespace corvan::test {

class TFakeUserInterface : public AUserInterface {
public:
    bool Answer = false;
    std::function<bool(ASettingsForm&)> OnEdit;

    std::vector<std::string> Questions;
    std::vector<std::string> Errors;
    std::vector<std::string> Dialogs; // captions

    bool ConfirmYesNo(const std::string& text) override {
        Questions.push_back(text);
        return Answer;
    }
    void ShowError(const std::string& text) override { Errors.push_back(text); }
    bool EditSettings(ASettingsForm& form) override {
        Dialogs.push_back(form.Caption());
        return OnEdit ? OnEdit(form) : false;
    }
};

} // namespace corvan::test

#include "users/ProxyUsersFrames.h"

#include "users/ProxyUsersSystem.h"

namespace corvan {

std::string UsersCountText(int count) {
    if (count <= 0)
        return "No users configured.";
    return std::to_string(count) + (count == 1 ? " user" : " users") + " defined.";
}

TframeProxyUsersStatus::TframeProxyUsersStatus(TProxyUsersSystem& users) : FUsers(users) {
    AddButton("New...", [&users] {
        users.CreateChild();
        users.UpdateDisplay();
    });
    Update();
}

void TframeProxyUsersStatus::Update() {
    Lines.assign(1, UsersCountText(FUsers.GetChildCount()));
}

TframeProxyUserStatus::TframeProxyUserStatus(TProxyUser& user) : FUser(user) {
    AddValue("Login:");
    AddValue("Status:");
    AddButton("Edit...", [&user] {
        user.EditSettings();
        user.UpdateDisplay();
    });
    // Delete may destroy the user and this frame: nothing may run after it.
    AddButton("Delete", [&user] { user.Delete(); });
    Update();
}

void TframeProxyUserStatus::Update() {
    Lines.assign(1, FUser.GetDisplayName());
    SetValue("Login:", FUser.Login.empty() ? "<None>" : FUser.Login);
    if (!FUser.MalformedSettings().empty()) {
        SetValue("Status:", "User cannot log in: its settings do not read.");
        StatusColour = TStatusColour::Red;
    } else if (FUser.UserDisabled) {
        SetValue("Status:", "User is disabled.");
        StatusColour = TStatusColour::Purple;
    } else if (!FUser.Name.empty()) {
        SetValue("Status:", "User is enabled.");
        StatusColour = TStatusColour::Navy;
    } else {
        SetValue("Status:", "User is not configured.");
        StatusColour = TStatusColour::Red;
    }
}

} // namespace corvan

#pragma once
// The status views of the user list and of one user, as frame models.

#include "component/StatusFrame.h"

#include <string>

namespace corvan {

class TProxyUser;
class TProxyUsersSystem;

// "No users configured." for none; otherwise "1 user defined.", "3 users defined.".
std::string UsersCountText(int count);

// The list's view: the count line and a "New..." button (CreateChild, then refresh).
class TframeProxyUsersStatus : public AStatusFrame {
public:
    // users owns the frame and outlives it.
    explicit TframeProxyUsersStatus(TProxyUsersSystem& users);
    void Update();

private:
    TProxyUsersSystem& FUsers;
};

// One user's view: the display name, "Login:" and "Status:" values, and the buttons
// "Edit..." (EditSettings, then refresh) and "Delete" (Delete; the frame may be gone
// afterwards).
class TframeProxyUserStatus : public AStatusFrame {
public:
    // How the view colours the "Status:" value.
    enum class TStatusColour { Purple, Navy, Red };

    // user owns the frame and outlives it.
    explicit TframeProxyUserStatus(TProxyUser& user);
    // "User cannot log in: its settings do not read." (red) when a value of its record did
    // not parse; else "User is disabled." (purple) when disabled; else "User is enabled."
    // (navy) when it has a name; else "User is not configured." (red). The login, or
    // "<None>".
    void Update();

    TStatusColour StatusColour = TStatusColour::Red;

private:
    TProxyUser& FUser;
};

} // namespace corvan

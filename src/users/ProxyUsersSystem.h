#pragma once
// The shared list of proxy users: a container of the settings tree ("Proxy-ProxyUsers",
// one section per user) that the HTTP and SOCKS services consult when they ask clients to
// log in.
//
// Threads: the list and the users' fields are changed on the main thread only. The
// services' connection threads never touch them: they call CheckHTTPAccess or
// CheckSocksAccess, which read a copy of the credentials that the list republishes, under
// its lock CredentialsLock, after every add, remove and change of a user.

#include "component/AppComponent.h"

#include <mutex>
#include <string_view>
#include <vector>

namespace corvan {

class TProxyUsersSystem;

// The services that a user may be allowed to use.
enum class TProxyAccess { HTTPProxy, SocksProxy };

// What the access checks compare: one user's login, password and flags.
struct TProxyUserCredentials {
    std::string Login;
    std::string Password;
    bool UserDisabled = false;
    bool AllowHTTPProxy = true;
    bool AllowSocksProxy = true;

    // The access rule for a user found by its login: granted when the user is not
    // disabled, may use that service, and password equals Password ignoring the case of
    // A-Z and a-z (all other bytes exactly; empty texts are equal).
    bool Grants(TProxyAccess access, std::string_view password) const;
};

// One proxy user. Keys, in order: Name, Login, Password (plain text), UserDisabled,
// AllowHTTPProxy, AllowSocksProxy. Active is neither used nor stored.
//
// A record holding a value that does not parse (UserDisabled=yes) admits no login: the
// administrator meant something by it, and no reading may let in more than any other. Its
// switches read as their closed side, the list names the values in its log, and saving
// writes them back as they stood, until the user's dialog is confirmed.
class TProxyUser : public TAppComponent {
public:
    std::string Name;
    std::string Login;
    std::string Password;
    bool UserDisabled = false;
    bool AllowHTTPProxy = true;
    bool AllowSocksProxy = true;

    TProxyUser();
    std::string ClassName() const override { return "TProxyUser"; }
    void Keys(ASettingsKeys& keys);

    // Name, or "<New User>" when Name is empty.
    std::string GetDisplayName() const override;
    bool CanRename() const override { return true; }
    bool CanDelete() const override { return true; }
    // Name := newName, then Changed; the list stores the change (StoreChanges).
    void Rename(const std::string& newName) override;
    // A user with a name is removed only when the user interface answers Yes to
    // DeleteConfirmationText; a user without a name is removed without a question. The
    // user is destroyed when removed (the caller must not touch it afterwards), and the list
    // stores the change.
    void Delete() override;
    bool HasSettings() const override { return true; }
    // The user dialog (TfrmProxyUserSettings) through the user interface; on OK the
    // values are copied into the user, Changed fires and the list stores the change. True
    // on OK.
    bool EditSettings() override;
    // "Edit".
    std::string GetSettingsCaption() const override { return "Edit"; }
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    void SaveSettings(TIniFile& ini, const std::string& section) override;
    // Refreshes the status frame when it exists.
    void UpdateDisplay() override;

    // The values of the last load that did not parse (each Error names key, value and
    // section); empty when all parsed, or once the dialog was confirmed. While not empty the
    // user's credentials grant nothing. Saved back as stored.
    const std::vector<TSettingsLoader::TMalformed>& MalformedSettings() const { return FMalformed; }

    // "Are you sure you want to delete this user?", a blank line, "    User: " Name and
    // "    Login: " Login (or "<None>"), one per line.
    std::string DeleteConfirmationText() const;
    TProxyUserCredentials Credentials() const;
    // The list holding this user, or null.
    TProxyUsersSystem* List() const;

private:
    std::vector<TSettingsLoader::TMalformed> FMalformed;
};

class TProxyUsersSystem : public TAppContainerComponent {
public:
    TProxyUsersSystem();
    std::string ClassName() const override { return "TProxyUsersSystem"; }

    // A new TProxyUser with its defaults.
    std::unique_ptr<TAppComponent> CreateItem() override;
    bool CanCreateChild() const override { return true; }
    // A new user edited in the user dialog: appended (AddChild) and returned when the
    // dialog was closed with OK; otherwise discarded, and null is returned.
    TAppComponent* CreateChild() override;
    // Users are data: nothing starts.
    void Activate() override {}
    // Loads the users and remembers the file and section, so that later changes are saved
    // at once (StoreChanges). The credentials are published once, after the last user:
    // publishing per added user would make loading a long list quadratic.
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    // Writes the list as the base does, then erases the sections of items beyond the count
    // that an earlier, longer list left, so a deleted user's password leaves the file.
    // Nothing while ItemCountError is set.
    void SaveSettings(TIniFile& ini, const std::string& section) override;
    // Refreshes the status frame when it exists.
    void UpdateDisplay() override;

    // The user at a zero-based index, or null.
    TProxyUser* User(int index) const;
    // Main thread. The first user in list order whose Login equals login ignoring the case
    // of A-Z and a-z (other bytes exactly, different lengths never, two empty texts do);
    // null when none. The pointer is valid until the list changes.
    TProxyUser* FindUserByLogin(std::string_view login) const;

    // Any thread: whether a client that sent login and password may use the HTTP proxy
    // (or the SOCKS proxy). The first user whose login matches is checked with
    // TProxyUserCredentials::Grants; no user, or an empty login, is refused.
    bool CheckHTTPAccess(std::string_view login, std::string_view password) const;
    bool CheckSocksAccess(std::string_view login, std::string_view password) const;
    bool CheckAccess(TProxyAccess access, std::string_view login, std::string_view password) const;

    // Copies the users' credentials for the access checks. Runs after every add, remove
    // and change of a child; code that sets a listed user's fields directly calls the
    // user's Changed (or this) afterwards.
    void PublishCredentials();

    // After a change made from the window (CreateChild, and a user's EditSettings, Rename
    // and Delete; not AddChild or RemoveChild as such): the list is written to the file
    // and section of the last load and the file is updated, so that a crash or a killed
    // process loses no user. A failed write is reported through the user interface
    // (ShowError); the change itself stands. Nothing before a load. While ItemCountError
    // is set nothing is written and that error is shown.
    void StoreChanges();

    // Publishes (not while loading) and names each value of the user that did not parse in
    // the log (LogMessage): once for every time a record is read, at load and at reload.
    void ChildAdded(TAppComponent* child) override;
    void ChildRemoved(TAppComponent* child) override;
    void ChildChanged(TAppComponent* child) override;

private:
    mutable std::mutex CredentialsLock; // guards FCredentials; the only lock of the list
    std::vector<TProxyUserCredentials> FCredentials;
    bool FLoading = false; // main thread: LoadSettings runs, ChildAdded does not publish
    TIniFile* FSettingsFile = nullptr;
    std::string FSettingsSection;
};

} // namespace corvan

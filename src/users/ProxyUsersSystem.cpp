#include "users/ProxyUsersSystem.h"

#include "component/SettingsKeys.h"
#include "users/ProxyUserSettingsForm.h"
#include "users/ProxyUsersFrames.h"
#include "util/IniFile.h"
#include "util/Strings.h"

namespace corvan {

// ---- TProxyUserCredentials ----

bool TProxyUserCredentials::Grants(TProxyAccess access, std::string_view password) const {
    bool allowed = access == TProxyAccess::HTTPProxy ? AllowHTTPProxy : AllowSocksProxy;
    return !UserDisabled && allowed && EqualNoCase(password, Password);
}

// ---- TProxyUser ----

TProxyUser::TProxyUser() {
    FrameClass = [this] { return std::make_unique<TframeProxyUserStatus>(*this); };
}

std::string TProxyUser::GetDisplayName() const {
    return Name.empty() ? "<New User>" : Name;
}

TProxyUsersSystem* TProxyUser::List() const {
    return dynamic_cast<TProxyUsersSystem*>(Parent());
}

void TProxyUser::Rename(const std::string& newName) {
    Name = newName;
    Changed();
    if (TProxyUsersSystem* list = List())
        list->StoreChanges();
}

std::string TProxyUser::DeleteConfirmationText() const {
    return "Are you sure you want to delete this user?\n\n    User: " + Name +
           "\n    Login: " + (Login.empty() ? std::string("<None>") : Login);
}

void TProxyUser::Delete() {
    if (!Name.empty() && !UserInterface().ConfirmYesNo(DeleteConfirmationText()))
        return;
    TProxyUsersSystem* list = List();
    TAppComponent::Delete(); // destroys this user
    if (list)
        list->StoreChanges();
}

bool TProxyUser::EditSettings() {
    TfrmProxyUserSettings form;
    form.Load(*this);
    if (!UserInterface().EditSettings(form))
        return false;
    form.Save(*this);
    // The dialog's values replace whatever the file held, malformed ones too.
    FMalformed.clear();
    Changed();
    if (TProxyUsersSystem* list = List())
        list->StoreChanges();
    return true;
}

void TProxyUser::Keys(ASettingsKeys& keys) {
    keys.String("Name", Name, "");
    keys.String("Login", Login, "");
    keys.String("Password", Password, "");
    keys.Bool("UserDisabled", UserDisabled, false);
    keys.Bool("AllowHTTPProxy", AllowHTTPProxy, true);
    keys.Bool("AllowSocksProxy", AllowSocksProxy, true);
}

void TProxyUser::LoadSettings(TIniFile& ini, const std::string& section) {
    TSettingsLoader loader(ini, section);
    Keys(loader);
    FMalformed = loader.Malformed();
    // The closed side, so that the dialog and the status show no more than the user may do.
    for (const TSettingsLoader::TMalformed& m : FMalformed) {
        if (m.Key == "UserDisabled")
            UserDisabled = true;
        else if (m.Key == "AllowHTTPProxy")
            AllowHTTPProxy = false;
        else if (m.Key == "AllowSocksProxy")
            AllowSocksProxy = false;
    }
}

void TProxyUser::SaveSettings(TIniFile& ini, const std::string& section) {
    TSettingsSaver saver(ini, section);
    Keys(saver);
    // Not the closed reading standing in for it: the user never wrote that.
    for (const TSettingsLoader::TMalformed& m : FMalformed)
        ini.WriteString(section, m.Key, m.Stored);
}

void TProxyUser::UpdateDisplay() {
    if (auto* frame = static_cast<TframeProxyUserStatus*>(StatusFrame()))
        frame->Update();
}

TProxyUserCredentials TProxyUser::Credentials() const {
    return TProxyUserCredentials{Login, Password, UserDisabled || !FMalformed.empty(),
                                 AllowHTTPProxy, AllowSocksProxy};
}

// ---- TProxyUsersSystem ----

TProxyUsersSystem::TProxyUsersSystem() {
    FrameClass = [this] { return std::make_unique<TframeProxyUsersStatus>(*this); };
}

std::unique_ptr<TAppComponent> TProxyUsersSystem::CreateItem() {
    return std::make_unique<TProxyUser>();
}

TAppComponent* TProxyUsersSystem::CreateChild() {
    auto user = std::make_unique<TProxyUser>();
    // Not in the tree yet: it asks through the list's user interface.
    user->SetUserInterface(&UserInterface());
    if (!user->EditSettings())
        return nullptr;
    user->SetUserInterface(nullptr); // from now on, the tree's
    TAppComponent* added = AddChild(std::move(user));
    StoreChanges();
    return added;
}

void TProxyUsersSystem::LoadSettings(TIniFile& ini, const std::string& section) {
    FSettingsFile = &ini;
    FSettingsSection = section;
    FLoading = true;
    try {
        TAppContainerComponent::LoadSettings(ini, section);
    } catch (...) {
        FLoading = false;
        PublishCredentials();
        throw;
    }
    FLoading = false;
    PublishCredentials();
    if (!ItemCountError().empty())
        UserInterface().LogMessage("proxy users: " + ItemCountError() +
                                   "; no user is loaded and the list is not saved");
}

void TProxyUsersSystem::StoreChanges() {
    if (!FSettingsFile)
        return;
    if (!ItemCountError().empty()) {
        UserInterface().ShowError("The proxy users were not saved: " + ItemCountError());
        return;
    }
    try {
        SaveSettings(*FSettingsFile, FSettingsSection);
        FSettingsFile->UpdateFile();
    } catch (const Exception& e) {
        UserInterface().ShowError(e.Message());
    }
}

void TProxyUsersSystem::SaveSettings(TIniFile& ini, const std::string& section) {
    TAppContainerComponent::SaveSettings(ini, section);
    if (!ItemCountError().empty())
        return; // the records in the file were never read: none of them is stale
    for (int i = GetChildCount();; ++i) {
        std::string stale = section + ".Items." + std::to_string(i);
        if (!ini.SectionExists(stale))
            break;
        ini.EraseSection(stale);
    }
}

void TProxyUsersSystem::UpdateDisplay() {
    if (auto* frame = static_cast<TframeProxyUsersStatus*>(StatusFrame()))
        frame->Update();
}

TProxyUser* TProxyUsersSystem::User(int index) const {
    return dynamic_cast<TProxyUser*>(Item(index));
}

TProxyUser* TProxyUsersSystem::FindUserByLogin(std::string_view login) const {
    for (const auto& item : Items) {
        auto* user = dynamic_cast<TProxyUser*>(item.get());
        if (user && EqualNoCase(user->Login, login))
            return user;
    }
    return nullptr;
}

bool TProxyUsersSystem::CheckAccess(TProxyAccess access, std::string_view login,
                                    std::string_view password) const {
    // A user without a login name is not configured; it never opens the proxy to clients
    // that send no credentials at all.
    if (login.empty())
        return false;
    std::lock_guard<std::mutex> lock(CredentialsLock);
    for (const TProxyUserCredentials& user : FCredentials)
        if (EqualNoCase(user.Login, login))
            return user.Grants(access, password); // the first match decides
    return false;
}

bool TProxyUsersSystem::CheckHTTPAccess(std::string_view login, std::string_view password) const {
    return CheckAccess(TProxyAccess::HTTPProxy, login, password);
}

bool TProxyUsersSystem::CheckSocksAccess(std::string_view login, std::string_view password) const {
    return CheckAccess(TProxyAccess::SocksProxy, login, password);
}

void TProxyUsersSystem::PublishCredentials() {
    std::vector<TProxyUserCredentials> credentials;
    credentials.reserve(Items.size());
    for (const auto& item : Items)
        if (auto* user = dynamic_cast<const TProxyUser*>(item.get()))
            credentials.push_back(user->Credentials());
    std::lock_guard<std::mutex> lock(CredentialsLock);
    FCredentials.swap(credentials);
}

void TProxyUsersSystem::ChildAdded(TAppComponent* child) {
    if (!FLoading)
        PublishCredentials();
    if (auto* user = dynamic_cast<const TProxyUser*>(child))
        for (const TSettingsLoader::TMalformed& m : user->MalformedSettings())
            UserInterface().LogMessage("proxy users: " + m.Error + "; this user cannot log in");
    TAppContainerComponent::ChildAdded(child);
}

void TProxyUsersSystem::ChildRemoved(TAppComponent* child) {
    PublishCredentials();
    TAppContainerComponent::ChildRemoved(child);
}

void TProxyUsersSystem::ChildChanged(TAppComponent* child) {
    PublishCredentials();
    TAppContainerComponent::ChildChanged(child);
}

} // namespace corvan

#include "users/ProxyUserSettingsForm.h"
#include "users/ProxyUsersFrames.h"
#include "users/ProxyUsersSystem.h"
#include "util/IniFile.h"
#include "util/Strings.h"

#include "support/FakeUserInterface.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace corvan;
using corvan::test::TFakeUserInterface;

namespace {

TProxyUser* AddUser(TProxyUsersSystem& users, const std::string& name, const std::string& login,
                    const std::string& password) {
    auto user = std::make_unique<TProxyUser>();
    user->Name = name;
    user->Login = login;
    user->Password = password;
    return static_cast<TProxyUser*>(users.AddChild(std::move(user)));
}

// A list whose dialogs and questions go to a fake.
struct ProxyUsersList : ::testing::Test {
    TFakeUserInterface ui;
    TProxyUsersSystem users;
    ProxyUsersList() { users.SetUserInterface(&ui); }
    // The dialog fills the form with these values and answers OK.
    void DialogTypes(const std::string& name, const std::string& password) {
        ui.OnEdit = [name, password](ASettingsForm& form) {
            auto& f = dynamic_cast<TfrmProxyUserSettings&>(form);
            f.SetName(name);
            f.SetPassword(password);
            return true;
        };
    }
};

} // namespace

// ---- persistence ----

TEST(ProxyUsersSettings, SavesKeysInOrderAndRenumbersDenselyAfterDelete) {
    TIniFile ini("");
    TFakeUserInterface ui;
    ui.AnswerYes = true;
    TProxyUsersSystem users;
    users.SetUserInterface(&ui);
    AddUser(users, "Anna", "anna", "a1");
    TProxyUser* bert = AddUser(users, "Bert", "bert", "b2");
    TProxyUser* cleo = AddUser(users, "Cleo", "cleo", "c3");
    cleo->UserDisabled = true;
    cleo->AllowHTTPProxy = false;
    cleo->AllowSocksProxy = false;
    users.SaveSettings(ini, "Proxy-ProxyUsers");
    EXPECT_EQ(ini.ReadSection("Proxy-ProxyUsers.Items.2"),
              (std::vector<std::string>{"Name", "Login", "Password", "UserDisabled",
                                        "AllowHTTPProxy", "AllowSocksProxy"}));

    bert->Delete();
    users.SaveSettings(ini, "Proxy-ProxyUsers");
    EXPECT_EQ(ini.ReadInteger("Proxy-ProxyUsers", "ItemCount", -1), 2);
    EXPECT_EQ(ini.ReadString("Proxy-ProxyUsers.Items.1", "Login", ""), "cleo");
    // The deleted user's password does not stay behind in a stale section.
    EXPECT_FALSE(ini.SectionExists("Proxy-ProxyUsers.Items.2"));
    EXPECT_EQ(ini.Text().find("b2"), std::string::npos);

    TProxyUsersSystem loaded;
    loaded.LoadSettings(ini, "Proxy-ProxyUsers");
    ASSERT_EQ(loaded.GetChildCount(), 2);
    EXPECT_EQ(loaded.User(0)->Name, "Anna");
    EXPECT_EQ(loaded.User(0)->Password, "a1");
    EXPECT_FALSE(loaded.User(0)->UserDisabled);
    EXPECT_TRUE(loaded.User(0)->AllowSocksProxy);
    EXPECT_EQ(loaded.User(1)->Name, "Cleo");
    EXPECT_TRUE(loaded.User(1)->UserDisabled);
    EXPECT_FALSE(loaded.User(1)->AllowHTTPProxy);
    EXPECT_FALSE(loaded.User(1)->AllowSocksProxy);
    // Loaded users are what the access checks see.
    EXPECT_TRUE(loaded.CheckHTTPAccess("anna", "a1"));
}

TEST(ProxyUsersSettings, MissingKeysLoadTheDefaults) {
    TIniFile ini("");
    ini.SetText("[Proxy-ProxyUsers]\nItemCount=1\n[Proxy-ProxyUsers.Items.0]\nLogin=old\n");
    TProxyUsersSystem users;
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    ASSERT_EQ(users.GetChildCount(), 1);
    EXPECT_EQ(users.User(0)->Name, "");
    EXPECT_FALSE(users.User(0)->UserDisabled);
    EXPECT_TRUE(users.User(0)->AllowHTTPProxy);
    // Files written before the SOCKS flag existed keep SOCKS access open to their users.
    EXPECT_TRUE(users.User(0)->AllowSocksProxy);
}

TEST(ProxyUsersSettings, AWrongItemCountMakesNoPhantomUsers) {
    TIniFile ini("");
    // A count far beyond the list, with a gap where a section was removed by hand.
    ini.SetText("[Proxy-ProxyUsers]\nItemCount=999999999\n"
                "[Proxy-ProxyUsers.Items.0]\nLogin=first\n"
                "[Proxy-ProxyUsers.Items.2]\nLogin=third\nPassword=pw\n");
    TProxyUsersSystem users;
    auto started = std::chrono::steady_clock::now();
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    ASSERT_EQ(users.GetChildCount(), 2); // the gap costs nothing after it
    EXPECT_EQ(users.User(1)->Login, "third");
    EXPECT_TRUE(users.CheckSocksAccess("third", "pw"));
    users.SaveSettings(ini, "Proxy-ProxyUsers");
    EXPECT_EQ(ini.ReadInteger("Proxy-ProxyUsers", "ItemCount", -1), 2);
    EXPECT_EQ(ini.ReadString("Proxy-ProxyUsers.Items.1", "Login", ""), "third");
    EXPECT_FALSE(ini.SectionExists("Proxy-ProxyUsers.Items.2"));
}

TEST(ProxyUsersSettings, TenThousandUsersArePublishedOnceAfterLoading) {
    // Publishing the credentials once per added user made loading quadratic: some fifty
    // million credential copies, seconds of CPU. Each add is observed: none may publish.
    constexpr int Count = 10000;
    std::string text = "[Proxy-ProxyUsers]\nItemCount=" + std::to_string(Count) + "\n";
    for (int i = 0; i < Count; ++i)
        text += "[Proxy-ProxyUsers.Items." + std::to_string(i) + "]\nName=User " +
                std::to_string(i) + "\nLogin=user" + std::to_string(i) +
                "\nPassword=secret-password-" + std::to_string(i) + "\n";
    TIniFile ini("");
    ini.SetText(text);
    TProxyUsersSystem users;
    int publishedWhileLoading = 0;
    users.OnChildAdd = [&](TAppContainerComponent*, TAppComponent* child) {
        auto* user = static_cast<TProxyUser*>(child);
        publishedWhileLoading += users.CheckHTTPAccess(user->Login, user->Password);
    };
    auto started = std::chrono::steady_clock::now();
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(publishedWhileLoading, 0);
    // Milliseconds normally; generous for the sanitizer build on a busy machine.
    EXPECT_LT(took, std::chrono::seconds(10))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    ASSERT_EQ(users.GetChildCount(), Count);
    // Published, all of them: the last one too.
    EXPECT_TRUE(users.CheckHTTPAccess("user9999", "secret-password-9999"));
    EXPECT_TRUE(users.CheckSocksAccess("USER0", "SECRET-password-0"));
    // Later adds publish at once, as before.
    users.OnChildAdd = nullptr;
    auto extra = std::make_unique<TProxyUser>();
    extra->Login = "late";
    users.AddChild(std::move(extra));
    EXPECT_TRUE(users.CheckSocksAccess("late", ""));
}

TEST(ProxyUsersSettings, ChangesFromTheWindowReachTheFileAtOnce) {
    test::TTempDir dir;
    const std::string path = dir / "CorvanProxy.ini";
    test::WriteFileText(path, "[Proxy-ProxyUsers]\nItemCount=1\n"
                              "[Proxy-ProxyUsers.Items.0]\nName=Anna\nLogin=anna\n");
    TIniFile ini(path);
    TFakeUserInterface ui;
    ui.AnswerYes = true;
    TProxyUsersSystem users;
    users.SetUserInterface(&ui);
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    EXPECT_FALSE(ini.Modified()); // loading writes nothing

    ui.OnEdit = [](ASettingsForm& form) {
        dynamic_cast<TfrmProxyUserSettings&>(form).SetName("Bert");
        return true;
    };
    ASSERT_NE(users.CreateChild(), nullptr);
    {
        TIniFile disk(path);
        EXPECT_EQ(disk.ReadInteger("Proxy-ProxyUsers", "ItemCount", -1), 2);
        EXPECT_EQ(disk.ReadString("Proxy-ProxyUsers.Items.1", "Login", ""), "bert");
    }
    users.User(0)->Rename("Anna B");
    EXPECT_EQ(TIniFile(path).ReadString("Proxy-ProxyUsers.Items.0", "Name", ""), "Anna B");
    users.User(0)->Delete();
    {
        TIniFile disk(path);
        EXPECT_EQ(disk.ReadInteger("Proxy-ProxyUsers", "ItemCount", -1), 1);
        EXPECT_EQ(disk.ReadString("Proxy-ProxyUsers.Items.0", "Name", ""), "Bert");
        EXPECT_FALSE(disk.SectionExists("Proxy-ProxyUsers.Items.1"));
    }
    EXPECT_TRUE(ui.Errors.empty());
}

TEST(ProxyUsersSettings, AFailedImmediateSaveIsReportedAndTheChangeStands) {
    test::TTempDir dir;
    TIniFile ini(dir / "missing-folder/CorvanProxy.ini");
    TFakeUserInterface ui;
    TProxyUsersSystem users;
    users.SetUserInterface(&ui);
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    ui.OnEdit = [](ASettingsForm&) { return true; };
    EXPECT_NE(users.CreateChild(), nullptr);
    EXPECT_EQ(users.GetChildCount(), 1);
    EXPECT_EQ(ui.Errors.size(), 1u);
}

TEST_F(ProxyUsersList, AMalformedSwitchAdmitsNoLoginIsNamedAndStaysAsWritten) {
    test::TTempDir dir;
    const std::string path = dir / "CorvanProxy.ini";
    test::WriteFileText(
        path, "[Proxy-ProxyUsers]\nItemCount=3\n"
              "[Proxy-ProxyUsers.Items.0]\nName=A\nLogin=anna\nPassword=pw\nUserDisabled=yes\n"
              "[Proxy-ProxyUsers.Items.1]\nName=B\nLogin=bert\nPassword=pw\n"
              "AllowHTTPProxy=true\n"
              "[Proxy-ProxyUsers.Items.2]\nName=C\nLogin=cleo\nPassword=pw\n");
    TIniFile ini(path);
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    for (const char* login : {"anna", "bert"}) {
        EXPECT_FALSE(users.CheckHTTPAccess(login, "pw")) << login;
        EXPECT_FALSE(users.CheckSocksAccess(login, "pw")) << login;
    }
    EXPECT_TRUE(users.CheckHTTPAccess("cleo", "pw"));
    EXPECT_EQ(ui.LogLines,
              (std::vector<std::string>{
                  "proxy users: UserDisabled=yes in [Proxy-ProxyUsers.Items.0] is not 0 or 1; "
                  "this user cannot log in",
                  "proxy users: AllowHTTPProxy=true in [Proxy-ProxyUsers.Items.1] is not 0 or 1; "
                  "this user cannot log in"}));
    auto* frame = dynamic_cast<TframeProxyUserStatus*>(users.User(1)->GetStatusFrame());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->Value("Status:"), "User cannot log in: its settings do not read.");

    // A change to another user writes the list: the values stay as the administrator wrote
    // them.
    users.User(2)->Rename("Cleo B");
    {
        TIniFile disk(path);
        EXPECT_EQ(disk.ReadString("Proxy-ProxyUsers.Items.0", "UserDisabled", ""), "yes");
        EXPECT_EQ(disk.ReadString("Proxy-ProxyUsers.Items.1", "AllowHTTPProxy", ""), "true");
    }
    // A confirmed dialog takes over from the closed reading it showed.
    ui.OnEdit = [](ASettingsForm&) { return true; };
    ASSERT_TRUE(users.User(1)->EditSettings());
    EXPECT_FALSE(users.CheckHTTPAccess("bert", "pw"));
    EXPECT_TRUE(users.CheckSocksAccess("bert", "pw"));
    EXPECT_EQ(TIniFile(path).ReadString("Proxy-ProxyUsers.Items.1", "AllowHTTPProxy", ""), "0");
    EXPECT_TRUE(ui.Errors.empty());
}

TEST_F(ProxyUsersList, AnItemCountThatIsNotANumberKeepsTheRecordsInTheFile) {
    test::TTempDir dir;
    const std::string path = dir / "CorvanProxy.ini";
    const std::string text = "[Proxy-ProxyUsers]\nItemCount=2x\n"
                             "[Proxy-ProxyUsers.Items.0]\nName=A\nLogin=anna\nPassword=pw\n"
                             "[Proxy-ProxyUsers.Items.1]\nName=B\nLogin=bert\nPassword=pw\n";
    test::WriteFileText(path, text);
    TIniFile ini(path);
    users.LoadSettings(ini, "Proxy-ProxyUsers");
    EXPECT_EQ(ui.LogLines, (std::vector<std::string>{
                               "proxy users: ItemCount=2x in [Proxy-ProxyUsers] is not a whole "
                               "number; no user is loaded and the list is not saved"}));
    // A user added from the window must not take anna's record nor drop bert's.
    DialogTypes("Cleo", "new");
    ASSERT_NE(users.CreateChild(), nullptr);
    EXPECT_EQ(ui.Errors, (std::vector<std::string>{"The proxy users were not saved: ItemCount=2x "
                                                   "in [Proxy-ProxyUsers] is not a whole number"}));
    users.SaveSettings(ini, "Proxy-ProxyUsers");
    ini.UpdateFile();
    EXPECT_EQ(test::ReadFileText(path), text);
}

// ---- lookup and access ----

TEST(FindUserByLogin, FoldsOnlyAsciiLetters) {
    TProxyUsersSystem users;
    TProxyUser* bob = AddUser(users, "", "Bob.Smith_1", "");
    TProxyUser* bracket = AddUser(users, "", "a[b@", "");
    TProxyUser* latin = AddUser(users, "", "\xC4rger", ""); // Latin-1 A-umlaut
    EXPECT_EQ(users.FindUserByLogin("bOB.sMITH_1"), bob);
    EXPECT_EQ(users.FindUserByLogin("a[b@"), bracket);
    EXPECT_EQ(users.FindUserByLogin("a{b@"), nullptr); // '[' and '{' differ by the case bit
    EXPECT_EQ(users.FindUserByLogin("a[b`"), nullptr); // as do '@' and '`'
    EXPECT_EQ(users.FindUserByLogin("\xC4RGER"), latin);
    EXPECT_EQ(users.FindUserByLogin("\xE4rger"), nullptr); // a-umlaut is not folded
    EXPECT_EQ(users.FindUserByLogin("Bob.Smith_"), nullptr);
    EXPECT_EQ(users.FindUserByLogin("Bob.Smith_1 "), nullptr);
    EXPECT_EQ(users.FindUserByLogin(""), nullptr);
}

TEST(FindUserByLogin, FirstInListOrderWinsAndEmptyMatchesEmpty) {
    TProxyUsersSystem users;
    EXPECT_EQ(users.FindUserByLogin("x"), nullptr);
    EXPECT_EQ(users.FindUserByLogin(""), nullptr);
    TProxyUser* first = AddUser(users, "First", "same", "1");
    AddUser(users, "Second", "SAME", "2");
    TProxyUser* unnamed = AddUser(users, "", "", "");
    EXPECT_EQ(users.FindUserByLogin("Same"), first);
    EXPECT_EQ(users.FindUserByLogin(""), unnamed);
    EXPECT_EQ(users.FindUserByLogin("x"), nullptr);
}

TEST(ProxyAccess, HTTPRuleChecksPasswordIgnoringCaseAndTheFlags) {
    TProxyUsersSystem users;
    AddUser(users, "Anna", "anna", "Secret-1");
    TProxyUser* off = AddUser(users, "Off", "off", "pw");
    off->UserDisabled = true;
    TProxyUser* nohttp = AddUser(users, "No HTTP", "nohttp", "pw");
    nohttp->AllowHTTPProxy = false;
    users.PublishCredentials();

    EXPECT_TRUE(users.CheckHTTPAccess("anna", "Secret-1"));
    EXPECT_TRUE(users.CheckHTTPAccess("ANNA", "sECRET-1"));
    EXPECT_FALSE(users.CheckHTTPAccess("anna", "Secret_1"));
    EXPECT_FALSE(users.CheckHTTPAccess("anna", "Secret-1 "));
    EXPECT_FALSE(users.CheckHTTPAccess("anna", ""));
    EXPECT_FALSE(users.CheckHTTPAccess("nobody", "Secret-1"));
    EXPECT_FALSE(users.CheckHTTPAccess("off", "pw"));    // disabled, right password
    EXPECT_FALSE(users.CheckHTTPAccess("nohttp", "pw")); // no HTTP access
    EXPECT_TRUE(users.CheckSocksAccess("nohttp", "pw")); // the SOCKS flag is separate
}

TEST(ProxyAccess, SocksRuleUsesItsOwnFlag) {
    TProxyUsersSystem users;
    TProxyUser* web = AddUser(users, "Web only", "web", "pw");
    web->AllowSocksProxy = false;
    TProxyUser* off = AddUser(users, "Off", "off", "pw");
    off->UserDisabled = true;
    AddUser(users, "Both", "both", "Pw");
    users.PublishCredentials();
    EXPECT_FALSE(users.CheckSocksAccess("web", "pw"));
    EXPECT_TRUE(users.CheckHTTPAccess("web", "pw"));
    EXPECT_FALSE(users.CheckSocksAccess("off", "pw"));
    EXPECT_TRUE(users.CheckSocksAccess("BOTH", "pW"));
    EXPECT_FALSE(users.CheckSocksAccess("both", "p"));
    EXPECT_FALSE(users.CheckSocksAccess("ghost", "pw"));
}

TEST(ProxyAccess, OnlyTheFirstOfTwoEqualLoginsIsConsidered) {
    TProxyUsersSystem users;
    AddUser(users, "First", "twin", "one");
    AddUser(users, "Second", "TWIN", "two");
    EXPECT_TRUE(users.CheckHTTPAccess("twin", "one"));
    EXPECT_FALSE(users.CheckHTTPAccess("twin", "two")); // the second is never reached
    users.User(0)->UserDisabled = true;
    users.User(0)->Changed();
    EXPECT_FALSE(users.CheckHTTPAccess("twin", "one"));
    EXPECT_FALSE(users.CheckHTTPAccess("twin", "two"));
}

TEST(ProxyAccess, EmptyLoginsAndPasswordsNeverCrashAndEmptyLoginsAreRefused) {
    TProxyUsersSystem users;
    EXPECT_FALSE(users.CheckHTTPAccess("", ""));
    EXPECT_FALSE(users.CheckSocksAccess("", ""));
    AddUser(users, "", "", ""); // a user never configured
    AddUser(users, "Open", "open", "");
    EXPECT_FALSE(users.CheckHTTPAccess("", ""));
    EXPECT_FALSE(users.CheckSocksAccess("", ""));
    EXPECT_FALSE(users.CheckHTTPAccess("", "x"));
    EXPECT_TRUE(users.CheckHTTPAccess("open", "")); // an empty password is the owner's choice
    EXPECT_FALSE(users.CheckHTTPAccess("open", "x"));
}

TEST_F(ProxyUsersList, AccessFollowsEditsAndDeletes) {
    ui.AnswerYes = true;
    TProxyUser* anna = AddUser(users, "Anna", "anna", "old");
    EXPECT_TRUE(users.CheckHTTPAccess("anna", "old"));
    ui.OnEdit = [](ASettingsForm& form) {
        dynamic_cast<TfrmProxyUserSettings&>(form).SetPassword("new");
        return true;
    };
    ASSERT_TRUE(anna->EditSettings());
    EXPECT_FALSE(users.CheckHTTPAccess("anna", "old"));
    EXPECT_TRUE(users.CheckHTTPAccess("anna", "new"));
    anna->Delete();
    EXPECT_EQ(users.GetChildCount(), 0);
    EXPECT_FALSE(users.CheckHTTPAccess("anna", "new"));
}

TEST(ProxyAccess, ChecksFromOtherThreadsWhileTheListChanges) {
    TProxyUsersSystem users;
    AddUser(users, "Keep", "keep", "pw");
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t)
        workers.emplace_back([&] {
            while (!stop.load()) {
                if (!users.CheckHTTPAccess("keep", "pw"))
                    ++refused;
                users.CheckSocksAccess("temp", "pw");
            }
        });
    for (int i = 0; i < 2000; ++i) {
        TProxyUser* temp = AddUser(users, "", "temp", "pw");
        temp->Password = std::string(size_t(i % 50), 'x');
        temp->Changed();
        temp->Delete(); // no name: no question
    }
    stop = true;
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(refused.load(), 0);
}

// ---- the component's operations ----

TEST_F(ProxyUsersList, DeleteAsksWithTheUsersNameAndLogin) {
    TProxyUser* anna = AddUser(users, "Anna Berg", "anna", "pw");
    anna->Delete(); // the fake answers No
    ASSERT_EQ(ui.Questions.size(), 1u);
    EXPECT_EQ(ui.Questions[0], "Are you sure you want to delete this user?\n\n"
                               "    User: Anna Berg\n"
                               "    Login: anna");
    EXPECT_EQ(users.GetChildCount(), 1);

    anna->Login.clear();
    ui.AnswerYes = true;
    anna->Delete();
    ASSERT_EQ(ui.Questions.size(), 2u);
    EXPECT_EQ(ui.Questions[1], "Are you sure you want to delete this user?\n\n"
                               "    User: Anna Berg\n"
                               "    Login: <None>");
    EXPECT_EQ(users.GetChildCount(), 0);
}

TEST_F(ProxyUsersList, DeletingAUserWithoutANameAsksNothing) {
    TProxyUser* user = AddUser(users, "", "login", "pw");
    std::vector<TAppComponent*> removed;
    users.OnChildRemove = [&](TAppContainerComponent*, TAppComponent* c) { removed.push_back(c); };
    user->Delete();
    EXPECT_TRUE(ui.Questions.empty());
    EXPECT_EQ(users.GetChildCount(), 0);
    EXPECT_EQ(removed, (std::vector<TAppComponent*>{user}));
}

TEST_F(ProxyUsersList, CreateChildAddsTheUserOnlyWhenTheDialogIsConfirmed) {
    std::vector<TAppComponent*> added;
    users.OnChildAdd = [&](TAppContainerComponent*, TAppComponent* c) { added.push_back(c); };
    EXPECT_EQ(users.CreateChild(), nullptr); // cancelled
    EXPECT_EQ(users.GetChildCount(), 0);
    EXPECT_TRUE(added.empty());
    EXPECT_EQ(ui.Dialogs, (std::vector<std::string>{"Proxy User"}));

    // A new user's dialog starts with the defaults and automatic naming.
    bool defaults = false;
    ui.OnEdit = [&](ASettingsForm& form) {
        auto& f = dynamic_cast<TfrmProxyUserSettings&>(form);
        defaults = f.Name().empty() && f.AutoLogin() && f.AllowHTTPProxy() && f.AllowSocksProxy() &&
                   !f.UserDisabled();
        f.SetName("Web Client 1");
        f.SetPassword("pw");
        return true;
    };
    TAppComponent* created = users.CreateChild();
    EXPECT_TRUE(defaults);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(added, (std::vector<TAppComponent*>{created}));
    EXPECT_EQ(users.User(0), created);
    EXPECT_EQ(users.User(0)->Login, "webclient1");
    EXPECT_EQ(created->Parent(), &users);
    EXPECT_TRUE(users.CheckHTTPAccess("webclient1", "PW"));
}

TEST(ProxyUser, RenameChangesTheDisplayName) {
    TProxyUsersSystem users;
    TProxyUser* user = AddUser(users, "", "", "");
    std::vector<TAppComponent*> changed;
    users.OnChildChange = [&](TAppContainerComponent*, TAppComponent* c) { changed.push_back(c); };
    EXPECT_EQ(user->GetDisplayName(), "<New User>");
    user->Rename("Printer");
    EXPECT_EQ(user->GetDisplayName(), "Printer");
    EXPECT_EQ(changed.size(), 1u);
    user->Rename("");
    EXPECT_EQ(user->GetDisplayName(), "<New User>");
}

TEST_F(ProxyUsersList, CancelledEditChangesNothing) {
    TProxyUser* anna = AddUser(users, "Anna", "anna", "pw");
    ui.OnEdit = [](ASettingsForm& form) {
        auto& f = dynamic_cast<TfrmProxyUserSettings&>(form);
        f.SetName("Other");
        f.SetLogin("other");
        f.SetUserDisabled(true);
        return false;
    };
    EXPECT_FALSE(anna->EditSettings());
    EXPECT_EQ(anna->Name, "Anna");
    EXPECT_EQ(anna->Login, "anna");
    EXPECT_FALSE(anna->UserDisabled);
}

// ---- status views ----

TEST(ProxyUsersStatus, CountTexts) {
    EXPECT_EQ(UsersCountText(0), "No users configured.");
    EXPECT_EQ(UsersCountText(1), "1 user defined.");
    EXPECT_EQ(UsersCountText(3), "3 users defined.");
}

TEST_F(ProxyUsersList, ListFrameCountsUsersAndNewAddsOne) {
    auto* frame = dynamic_cast<TframeProxyUsersStatus*>(users.GetStatusFrame());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->Lines, (std::vector<std::string>{"No users configured."}));
    for (int i = 0; i < 3; ++i)
        AddUser(users, Format("U%d", i), Format("u%d", i), "");
    users.UpdateDisplay();
    EXPECT_EQ(frame->Lines, (std::vector<std::string>{"3 users defined."}));

    DialogTypes("Fourth", "pw");
    EXPECT_TRUE(frame->Click("New..."));
    EXPECT_EQ(users.GetChildCount(), 4);
    EXPECT_EQ(frame->Lines, (std::vector<std::string>{"4 users defined."}));
}

TEST_F(ProxyUsersList, UserFrameShowsLoginAndStatus) {
    TProxyUser* user = AddUser(users, "", "", "");
    auto* frame = dynamic_cast<TframeProxyUserStatus*>(user->GetStatusFrame());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->Lines, (std::vector<std::string>{"<New User>"}));
    EXPECT_EQ(frame->Value("Login:"), "<None>");
    EXPECT_EQ(frame->Value("Status:"), "User is not configured.");
    EXPECT_EQ(frame->StatusColour, TframeProxyUserStatus::TStatusColour::Red);

    DialogTypes("Anna", "pw");
    EXPECT_TRUE(frame->Click("Edit..."));
    EXPECT_EQ(frame->Lines, (std::vector<std::string>{"Anna"}));
    EXPECT_EQ(frame->Value("Login:"), "anna");
    EXPECT_EQ(frame->Value("Status:"), "User is enabled.");
    EXPECT_EQ(frame->StatusColour, TframeProxyUserStatus::TStatusColour::Navy);

    user->UserDisabled = true;
    user->UpdateDisplay();
    EXPECT_EQ(frame->Value("Status:"), "User is disabled.");
    EXPECT_EQ(frame->StatusColour, TframeProxyUserStatus::TStatusColour::Purple);
}

TEST_F(ProxyUsersList, DeleteButtonOfTheUsersOwnFrameRemovesIt) {
    TProxyUser* user = AddUser(users, "Anna", "anna", "pw");
    AStatusFrame* frame = user->GetStatusFrame();
    ui.AnswerYes = true;
    // The frame is destroyed with the user while its handler runs.
    EXPECT_TRUE(frame->Click("Delete"));
    EXPECT_EQ(users.GetChildCount(), 0);
    EXPECT_EQ(ui.Questions.size(), 1u);
}

#include "component/AppComponent.h"
#include "app/ProxySystem.h"
#include "util/IniFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvan;

namespace {

// An item that records its hooks in a shared journal and persists one key.
class TJournalItem : public TAppComponent {
public:
    TJournalItem(std::string name, std::vector<std::string>* journal, bool* destroyed = nullptr)
        : Name(std::move(name)), FJournal(journal), FDestroyed(destroyed) {}
    ~TJournalItem() override {
        if (FDestroyed)
            *FDestroyed = true;
    }
    std::string ClassName() const override { return "TJournalItem"; }
    void Activate() override { FJournal->push_back("activate " + Name); }
    void Deactivate() override { FJournal->push_back("deactivate " + Name); }
    void LoadSettings(TIniFile& ini, const std::string& section) override {
        Name = ini.ReadString(section, "Name", "?");
    }
    void SaveSettings(TIniFile& ini, const std::string& section) override {
        ini.WriteString(section, "Name", Name);
    }
    std::string Name;

private:
    std::vector<std::string>* FJournal;
    bool* FDestroyed;
};

class TJournalList : public TAppContainerComponent {
public:
    explicit TJournalList(std::vector<std::string>* journal) : FJournal(journal) {}
    std::unique_ptr<TAppComponent> CreateItem() override {
        ++Created;
        if (SkipEvery && Created % SkipEvery == 0)
            return nullptr;
        return std::make_unique<TJournalItem>("", FJournal);
    }
    int GetMaxItemCount() const override { return MaxItems; }
    TJournalItem* At(int i) const { return static_cast<TJournalItem*>(Item(i)); }
    int Created = 0;
    int SkipEvery = 0;
    int MaxItems = kDefaultMaxItemCount;

private:
    std::vector<std::string>* FJournal;
};

// A component whose hooks count calls, can fail, and can try to re-enter SetEnabled.
class TSwitch : public TAppComponent {
public:
    int Enables = 0, Disables = 0;
    bool Fail = false, Reenter = false;

protected:
    void DoEnable() override {
        ++Enables;
        if (Reenter) {
            SetEnabled(true);
            SetEnabled(false);
        }
        if (Fail)
            throw Exception("Socket bind failed: Address in use");
    }
    void DoDisable() override {
        ++Disables;
        if (Reenter)
            SetEnabled(true);
    }
};

std::unique_ptr<TIniFile> MemoryIni() {
    return std::make_unique<TIniFile>("");
}

} // namespace

TEST(AppComponentNames, DefaultNameDropsOneTThenOneApp) {
    EXPECT_EQ(TAppContainerComponent().GetDefaultName(), "ContainerComponent");
    EXPECT_EQ(TAppComponent().GetDefaultName(), "Component");
    corvan::test::TTempDir dir;
    EXPECT_EQ(TProxySystem(dir.Path() + "/").GetDisplayName(), "ProxySystem");
    EXPECT_EQ(DefaultNameOfClass("Widget"), "Widget"); // no leading T: first letter kept
    EXPECT_EQ(DefaultNameOfClass("AppWidget"), "Widget");
    EXPECT_EQ(DefaultNameOfClass("TTimer"), "Timer");         // only one T
    EXPECT_EQ(DefaultNameOfClass("TappWidget"), "appWidget"); // compared with case
    EXPECT_EQ(DefaultNameOfClass("T"), "");
    TAppComponent c;
    EXPECT_EQ(c.GetSettingsCaption(), "Settings");
    EXPECT_FALSE(c.HasChildren());
    EXPECT_FALSE(c.CanEnable());
    try {
        c.CreateChild();
        FAIL() << "no exception";
    } catch (const EAppComponent& e) {
        EXPECT_STREQ(e.what(), "Cannot create child");
    }
}

TEST(AppComponentEnable, SameValueDoesNothingAndChangeFiresOnce) {
    TSwitch s;
    int changes = 0;
    s.OnChange = [&](TAppComponent* sender) {
        EXPECT_EQ(sender, &s);
        ++changes;
    };
    s.SetEnabled(false);
    EXPECT_EQ(s.Disables, 0);
    s.SetEnabled(true);
    s.SetEnabled(true);
    EXPECT_EQ(s.Enables, 1);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(s.GetEnabled());
    s.SetEnabled(false);
    EXPECT_EQ(s.Disables, 1);
    EXPECT_EQ(changes, 2);
    EXPECT_FALSE(s.Active());
}

TEST(AppComponentEnable, FailedStartKeepsOldStateAndPassesTheError) {
    TSwitch s;
    int changes = 0;
    s.OnChange = [&](TAppComponent*) { ++changes; };
    s.Fail = true;
    EXPECT_THROW(s.SetEnabled(true), Exception);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(changes, 0);
    s.Fail = false;
    s.SetEnabled(true); // a later attempt still works
    EXPECT_TRUE(s.Active());
}

TEST(AppComponentEnable, HooksDoNotReenter) {
    TSwitch s;
    s.Reenter = true;
    s.SetEnabled(true);
    EXPECT_EQ(s.Enables, 1);
    EXPECT_EQ(s.Disables, 0);
    EXPECT_TRUE(s.Active());
    s.SetEnabled(false);
    EXPECT_EQ(s.Enables, 1);
    EXPECT_EQ(s.Disables, 1);
    EXPECT_FALSE(s.Active());
    // A change handler (outside the hooks) may switch the component again.
    s.Reenter = false;
    s.OnChange = [&](TAppComponent*) {
        if (s.Active())
            s.SetEnabled(false);
    };
    s.SetEnabled(true);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.Disables, 2);
}

TEST(AppContainer, ActivatesFirstToLastAndDeactivatesLastToFirst) {
    std::vector<std::string> journal;
    TJournalList list(&journal);
    for (const char* n : {"a", "b", "c"})
        list.AddChild(std::make_unique<TJournalItem>(n, &journal));
    list.Activate();
    list.Deactivate();
    EXPECT_EQ(journal, (std::vector<std::string>{"activate a", "activate b", "activate c",
                                                 "deactivate c", "deactivate b", "deactivate a"}));
}

TEST(AppContainer, ChildEventsAndRemoval) {
    std::vector<std::string> journal;
    TJournalList list(&journal);
    std::vector<std::string> events;
    bool destroyed = false;
    list.OnChildAdd = [&](TAppContainerComponent*, TAppComponent* c) {
        events.push_back("add " + static_cast<TJournalItem*>(c)->Name);
    };
    list.OnChildChange = [&](TAppContainerComponent*, TAppComponent* c) {
        events.push_back("change " + static_cast<TJournalItem*>(c)->Name);
    };
    list.OnChildRemove = [&](TAppContainerComponent* sender, TAppComponent* c) {
        // Already out of the list, not yet destroyed.
        EXPECT_EQ(sender->GetChildCount(), 1);
        EXPECT_FALSE(destroyed);
        events.push_back("remove " + static_cast<TJournalItem*>(c)->Name);
    };
    auto* a = list.AddChild(std::make_unique<TJournalItem>("a", &journal, &destroyed));
    list.AddChild(std::make_unique<TJournalItem>("b", &journal));
    EXPECT_EQ(a->Parent(), &list);
    EXPECT_TRUE(list.HasChildren());
    a->Changed();
    TJournalItem stranger("x", &journal);
    list.RemoveChild(&stranger); // not a child: nothing
    EXPECT_EQ(list.GetChildCount(), 2);
    a->Delete();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(events, (std::vector<std::string>{"add a", "add b", "change a", "remove a"}));
    EXPECT_EQ(list.At(0)->Name, "b");
    stranger.Delete(); // no parent: nothing
}

TEST(AppContainerSettings, ShrinkingListLeavesStaleSectionsThatAreNotLoaded) {
    std::vector<std::string> journal;
    auto ini = MemoryIni();
    {
        TJournalList list(&journal);
        for (const char* n : {"a", "b", "c"})
            list.AddChild(std::make_unique<TJournalItem>(n, &journal));
        list.SaveSettings(*ini, "Proxy-ProxyUsers");
        list.RemoveChild(list.Item(1)); // removing the second renumbers the third
        list.SaveSettings(*ini, "Proxy-ProxyUsers");
    }
    EXPECT_EQ(ini->ReadInteger("Proxy-ProxyUsers", "ItemCount", -1), 2);
    EXPECT_EQ(ini->ReadString("Proxy-ProxyUsers.Items.1", "Name", ""), "c");
    {
        TJournalList list(&journal);
        list.AddChild(std::make_unique<TJournalItem>("only", &journal));
        list.RemoveChild(list.Item(0));
        list.AddChild(std::make_unique<TJournalItem>("one", &journal));
        list.SaveSettings(*ini, "Proxy-ProxyUsers");
    }
    EXPECT_EQ(ini->ReadInteger("Proxy-ProxyUsers", "ItemCount", -1), 1);
    EXPECT_EQ(ini->ReadString("Proxy-ProxyUsers.Items.1", "Name", ""), "c"); // stale, kept
    EXPECT_TRUE(ini->SectionExists("Proxy-ProxyUsers.Items.2"));
    TJournalList loaded(&journal);
    int added = 0;
    loaded.OnChildAdd = [&](TAppContainerComponent*, TAppComponent*) { ++added; };
    loaded.LoadSettings(*ini, "Proxy-ProxyUsers");
    ASSERT_EQ(loaded.GetChildCount(), 1);
    EXPECT_EQ(loaded.At(0)->Name, "one");
    EXPECT_EQ(added, 1);
}

TEST(AppContainerSettings, ItemCountZeroAbsentNegativeOrHugeIsBounded) {
    std::vector<std::string> journal;
    for (const char* text :
         {"", "[L]\nItemCount=0\n", "[L]\nItemCount=-3\n", "[L]\nItemCount=x\n"}) {
        auto ini = MemoryIni();
        ini->SetText(text);
        TJournalList list(&journal);
        list.LoadSettings(*ini, "L");
        EXPECT_EQ(list.GetChildCount(), 0) << text;
        EXPECT_EQ(list.Created, 0) << text;
    }
    auto ini = MemoryIni();
    std::string text = "[L]\nItemCount=2147483647\n";
    for (int i = 0; i < 7; ++i)
        text += "[L.Items." + std::to_string(i) + "]\n"; // present, without keys
    ini->SetText(text);
    TJournalList list(&journal);
    list.MaxItems = 5;
    list.LoadSettings(*ini, "L");
    EXPECT_EQ(list.GetChildCount(), 5);
    EXPECT_EQ(list.At(4)->Name, "?"); // a section without keys loads with defaults
}

TEST(AppContainerSettings, OnlyItemsWhoseSectionExistsAreMade) {
    std::vector<std::string> journal;
    auto ini = MemoryIni();
    // A count far beyond the list, and a gap where a section was removed by hand.
    ini->SetText("[L]\nItemCount=999999999\n[L.Items.0]\nName=a\n[L.Items.2]\nName=c\n"
                 "[L.Items.2-Extra]\nkey=1\n");
    TJournalList list(&journal);
    list.LoadSettings(*ini, "L");
    EXPECT_EQ(list.Created, 2); // no empty item for a missing section
    ASSERT_EQ(list.GetChildCount(), 2);
    EXPECT_EQ(list.At(0)->Name, "a");
    EXPECT_EQ(list.At(1)->Name, "c");
    list.SaveSettings(*ini, "L");
    EXPECT_EQ(ini->ReadInteger("L", "ItemCount", -1), 2);
    EXPECT_EQ(ini->ReadString("L.Items.1", "Name", ""), "c");
}

TEST(AppContainerSettings, NullItemSkipsItsIndex) {
    std::vector<std::string> journal;
    auto ini = MemoryIni();
    ini->SetText("[L]\nItemCount=3\n[L.Items.0]\nName=a\n[L.Items.1]\nName=b\n"
                 "[L.Items.2]\nName=c\n");
    TJournalList list(&journal);
    list.SkipEvery = 2; // the second CreateItem gives null
    list.LoadSettings(*ini, "L");
    ASSERT_EQ(list.GetChildCount(), 2);
    EXPECT_EQ(list.At(0)->Name, "a");
    EXPECT_EQ(list.At(1)->Name, "c");
}

TEST(AppComponentFrame, CreatedOnceOnRequestAndCanBeTakenAway) {
    class TFramed : public TAppComponent {
    public:
        TFramed() {
            FrameClass = [this] {
                ++Made;
                return std::make_unique<AStatusFrame>();
            };
        }
        int Made = 0;
    };
    TAppComponent plain;
    EXPECT_EQ(plain.GetStatusFrame(), nullptr);
    TFramed c;
    EXPECT_EQ(c.StatusFrame(), nullptr);
    AStatusFrame* f = c.GetStatusFrame();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(c.GetStatusFrame(), f);
    EXPECT_EQ(c.Made, 1);
    std::unique_ptr<AStatusFrame> taken = c.TakeStatusFrame();
    EXPECT_EQ(taken.get(), f);
    EXPECT_EQ(c.StatusFrame(), nullptr);
    EXPECT_NE(c.GetStatusFrame(), nullptr);
    EXPECT_EQ(c.Made, 2);
}

TEST(StatusFrame, ButtonsRunOnlyWhenEnabled) {
    AStatusFrame f;
    int clicks = 0;
    f.AddValue("Up-Time");
    f.AddButton("Enable", [&] { ++clicks; });
    EXPECT_EQ(f.Value("Up-Time"), "-");
    f.SetValue("Up-Time", "1.3:05:09");
    f.SetValue("Unknown", "x");
    EXPECT_EQ(f.Value("Up-Time"), "1.3:05:09");
    EXPECT_EQ(f.Values.size(), 1u);
    EXPECT_TRUE(f.Click("Enable"));
    f.SetButtonEnabled("Enable", false);
    EXPECT_FALSE(f.Click("Enable"));
    EXPECT_FALSE(f.Click("Delete"));
    EXPECT_EQ(clicks, 1);
}

TEST(AppComponentUserInterface, ItemsUseTheirTreesInterface) {
    class TFakeUserInterface : public AUserInterface {
    public:
        bool ConfirmYesNo(const std::string&) override { return true; }
        void ShowError(const std::string&) override {}
        bool EditSettings(ASettingsForm&) override { return true; }
    } fake;
    std::vector<std::string> journal;
    TJournalList list(&journal);
    auto* item = list.AddChild(std::make_unique<TJournalItem>("a", &journal));
    EXPECT_FALSE(item->UserInterface().ConfirmYesNo("Delete?")); // headless: No
    list.SetUserInterface(&fake);
    EXPECT_TRUE(item->UserInterface().ConfirmYesNo("Delete?"));
}

TEST(ProxyServerInfo, DefaultsAndRoundTripInKeyOrder) {
    auto ini = MemoryIni();
    auto load = [&](TProxyServerInfo& info, const std::string& section) {
        TSettingsLoader loader(*ini, section);
        ProxyServerInfoKeys(loader, info);
    };
    TProxyServerInfo info;
    load(info, "Proxy-HTTP-SocksProxy");
    EXPECT_FALSE(info.UseProxy);
    EXPECT_EQ(info.Host, "");
    EXPECT_EQ(info.Port, "");
    EXPECT_FALSE(info.UseAuth);
    info = TProxyServerInfo{true, "socks.lan", "1080x", true, "me", "p w"};
    SaveProxyServerInfo(info, *ini, "Proxy-HTTP-SocksProxy");
    EXPECT_EQ(ini->Text(), "[Proxy-HTTP-SocksProxy]\nUseProxy=1\nHost=socks.lan\nPort=1080x\n"
                           "UseAuth=1\nLogin=me\nPassword=p w\n");
    TProxyServerInfo back;
    load(back, "proxy-http-socksproxy");
    EXPECT_EQ(back.Port, "1080x"); // the port as typed
    EXPECT_EQ(back.Password, "p w");
    EXPECT_TRUE(back.UseAuth);
}

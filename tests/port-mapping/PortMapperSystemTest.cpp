#include "port-mapping/PortMapperSystem.h"
#include "port-mapping/PortMapperForms.h"
#include "util/IniFile.h"

#include "support/FakeUserInterface.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvan;
using corvan::test::TFakeUserInterface;

namespace {

// Stands for the network layer: records what it was asked to build and what still runs.
struct TMapperJournal {
    std::vector<TPortMapperParams> Built;
    int Running = 0;
    int Clients = 0;
    uint64_t Refused = 0;
    bool FailNext = false;
};

class TFakeMapper : public APortMapper {
public:
    explicit TFakeMapper(TMapperJournal& j) : FJournal(j) { ++FJournal.Running; }
    ~TFakeMapper() override { --FJournal.Running; }
    int ClientCount() const override { return FJournal.Clients; }
    uint64_t RefusedCount() const override { return FJournal.Refused; }

private:
    TMapperJournal& FJournal;
};

TPortMapperFactory FactoryOf(TMapperJournal& j) {
    return [&j](const TPortMapperParams& p) -> std::unique_ptr<APortMapper> {
        if (j.FailNext)
            throw Exception("Socket bind failed: Address already in use");
        j.Built.push_back(p);
        return std::make_unique<TFakeMapper>(j);
    };
}

std::unique_ptr<TPortMapSystem> Mapping(uint8_t protocol, int port, std::string host, int dport) {
    auto m = std::make_unique<TPortMapSystem>();
    m->ServerProtocol = protocol;
    m->ServerPort = port;
    m->DestHost = std::move(host);
    m->DestPort = dport;
    return m;
}

TPortMapSystem& At(TPortMapperSystem& list, int i) {
    return *static_cast<TPortMapSystem*>(list.Item(i));
}

} // namespace

TEST(PortMapSystem, DisplayNameNeedsPortsAndANonBlankHost) {
    EXPECT_EQ(Mapping(3, 8080, "web.lan", 80)->GetDisplayName(), "TCP Port 8080");
    EXPECT_EQ(Mapping(4, 5353, "dns.lan", 53)->GetDisplayName(), "UDP Port 5353");
    EXPECT_EQ(Mapping(3, 1, "h", 1)->GetDisplayName(), "TCP Port 1"); // lowest ports count
    EXPECT_EQ(Mapping(3, 8080, " \t ", 80)->GetDisplayName(), "<New Mapping>");
    EXPECT_EQ(Mapping(3, 0, "web.lan", 80)->GetDisplayName(), "<New Mapping>");
    EXPECT_EQ(Mapping(3, 8080, "web.lan", 0)->GetDisplayName(), "<New Mapping>");
    EXPECT_EQ(TPortMapSystem().GetDisplayName(), "<New Mapping>");
    EXPECT_FALSE(TPortMapSystem().CanRename());
    EXPECT_TRUE(TPortMapSystem().HasSettings());
}

TEST(PortMapSystem, DeleteAsksOnlyForAConfiguredMappingAndOnlyYesDeletes) {
    TFakeUserInterface ui;
    TPortMapperSystem list;
    list.SetUserInterface(&ui);
    list.AddChild(Mapping(3, 8080, "web.lan", 80));
    At(list, 0).Delete(); // No
    ASSERT_EQ(list.GetChildCount(), 1);
    ASSERT_EQ(ui.Questions.size(), 1u);
    EXPECT_EQ(ui.Questions[0], "Are you sure you want to delete this mapping?\r\n\r\n"
                               "    Server: TCP Port 8080\r\n"
                               "    Destination: web.lan:80");
    ui.AnswerYes = true;
    At(list, 0).Delete();
    EXPECT_EQ(list.GetChildCount(), 0);
    EXPECT_EQ(ui.Questions.size(), 2u);

    ui.AnswerYes = false;
    list.AddChild(Mapping(3, 8080, "  ", 80)); // blank host: not configured
    At(list, 0).Delete();
    EXPECT_EQ(list.GetChildCount(), 0);
    EXPECT_EQ(ui.Questions.size(), 2u); // nothing asked
}

TEST(PortMapSystem, DeletingARunningMappingStopsItsMapper) {
    TMapperJournal j;
    TFakeUserInterface ui;
    ui.AnswerYes = true;
    TPortMapperSystem list;
    list.MapperFactory = FactoryOf(j);
    list.SetUserInterface(&ui);
    list.AddChild(Mapping(3, 8080, "web.lan", 80));
    At(list, 0).SetEnabled(true);
    EXPECT_EQ(j.Running, 1);
    At(list, 0).Delete();
    EXPECT_EQ(j.Running, 0);
}

TEST(PortMapperSystem, NewMappingIsAddedOnlyOnOK) {
    TFakeUserInterface ui;
    TMapperJournal j;
    TPortMapperSystem list;
    list.SetUserInterface(&ui);
    list.MapperFactory = FactoryOf(j);
    EXPECT_EQ(list.CreateChild(), nullptr); // Cancel
    EXPECT_EQ(list.GetChildCount(), 0);
    EXPECT_EQ(ui.Dialogs, std::vector<std::string>{"Port Mapping Settings"});

    ui.PressOK = true;
    ui.EditForm = [](ASettingsForm& f) {
        auto& form = dynamic_cast<TfrmPortMapSettings&>(f);
        EXPECT_EQ(form.ServerPort, ""); // a new mapping's port 0 shows empty
        form.ProtocolIndex = 1;
        form.ServerPort = "5353";
        form.DestHost = "dns.lan";
        form.DestPort = "53";
    };
    TAppComponent* added = list.CreateChild();
    ASSERT_NE(added, nullptr);
    ASSERT_EQ(list.GetChildCount(), 1);
    EXPECT_EQ(added, list.Item(0));
    EXPECT_EQ(added->GetDisplayName(), "UDP Port 5353");
    added->SetEnabled(true); // got the list's factory
    ASSERT_EQ(j.Built.size(), 1u);
    EXPECT_EQ(j.Built[0].DestPort, "53");
}

TEST(PortMapperSystem, AtMost1024MappingsThroughTheNewButton) {
    TFakeUserInterface ui;
    ui.PressOK = true;
    TPortMapperSystem list;
    list.SetUserInterface(&ui);
    for (int i = 0; i < TPortMapperSystem::kMaxMappings - 1; ++i)
        list.AddChild(std::make_unique<TPortMapSystem>());
    ASSERT_TRUE(list.CanCreateChild());
    EXPECT_NE(list.CreateChild(), nullptr); // the 1024th
    EXPECT_EQ(list.GetChildCount(), 1024);
    EXPECT_FALSE(list.CanCreateChild());
    EXPECT_EQ(list.CreateChild(), nullptr);
    EXPECT_EQ(list.GetChildCount(), 1024);
    EXPECT_EQ(ui.Dialogs.size(), 1u); // no dialog for a mapping that cannot be added
}

TEST(PortMapSystem, UnknownProtocolLoadsSavesShowsButNeverStarts) {
    TMapperJournal j;
    TFakeUserInterface ui;
    TIniFile ini("");
    ini.SetText("[L]\nItemCount=2\n"
                "[L.Items.0]\nEnabled=1\nServerProtocol=9\nServerPort=7000\nDestHost=x.lan\n"
                "DestPort=7\n"
                "[L.Items.1]\nEnabled=1\nServerProtocol=3\nServerPort=8080\nDestHost=web.lan\n"
                "DestPort=80\n");
    TPortMapperSystem list;
    list.MapperFactory = FactoryOf(j);
    list.SetUserInterface(&ui);
    list.LoadSettings(ini, "L");
    TPortMapSystem& odd = At(list, 0);
    EXPECT_EQ(odd.ServerProtocol, 9);
    EXPECT_EQ(odd.GetDisplayName(), " Port 7000"); // the socket layer has no name for it

    list.Activate(); // the unknown one is reported and skipped; the next one starts
    EXPECT_FALSE(odd.Active());
    EXPECT_TRUE(At(list, 1).Active());
    ASSERT_EQ(j.Built.size(), 1u);
    EXPECT_EQ(j.Built[0].LocalPort, "8080");
    ASSERT_EQ(ui.Errors.size(), 1u);
    EXPECT_EQ(ui.Errors[0], "Port mapping on port 7000 to x.lan:7 not started: unknown protocol 9");

    try {
        odd.SetEnabled(true);
        ADD_FAILURE() << "started";
    } catch (const EPortMapping& e) {
        EXPECT_EQ(e.Message(), ui.Errors[0]);
    }
    EXPECT_FALSE(odd.Active());
    EXPECT_EQ(j.Built.size(), 1u);

    odd.UpdateDisplay();
    EXPECT_EQ(odd.GetStatusFrame()->Lines[0], " Port Mapping not active.");
    EXPECT_EQ(odd.GetStatusFrame()->Picture, TStatusPicture::iPCGray);

    list.SaveSettings(ini, "L");
    EXPECT_EQ(ini.ReadInteger("L.Items.0", "ServerProtocol", 0), 9);
    EXPECT_TRUE(ini.ReadBool("L.Items.0", "Enabled", false)); // the user's choice stands
    EXPECT_TRUE(ini.ReadBool("L.Items.1", "Enabled", false));
    list.Deactivate();
    EXPECT_EQ(j.Running, 0);
}

TEST(PortMapSystem, MappingWithoutPortOrDestinationNeverStartsAndSaysWhy) {
    TMapperJournal j;
    TFakeUserInterface ui;
    TIniFile ini("");
    ini.SetText("[L]\nItemCount=7\n"
                "[L.Items.0]\nEnabled=1\n" // nothing but switched on
                "[L.Items.1]\nEnabled=1\nServerPort=0\nDestHost=h\nDestPort=1\n"
                "[L.Items.2]\nEnabled=1\nServerPort=70000\nDestHost=h\nDestPort=1\n"
                "[L.Items.3]\nEnabled=1\nServerPort=1\nDestHost= \nDestPort=1\n"
                "[L.Items.4]\nEnabled=1\nServerPort=1\nDestHost=h\nDestPort=0\n"
                "[L.Items.5]\nEnabled=1\nServerPort=1\nDestHost=h\nDestPort=65536\n"
                "[L.Items.6]\nEnabled=1\nServerPort=65535\nDestHost=h\nDestPort=1\n");
    TPortMapperSystem list;
    list.MapperFactory = FactoryOf(j);
    list.SetUserInterface(&ui);
    list.LoadSettings(ini, "L");
    list.Activate();
    ASSERT_EQ(j.Built.size(), 1u); // only the last one, whose ports are in range
    EXPECT_EQ(j.Built[0].LocalPort, "65535");
    EXPECT_TRUE(At(list, 6).Active());
    EXPECT_EQ(ui.Errors,
              (std::vector<std::string>{
                  "Port mapping on port 0 to :0 not started: no port to listen on",
                  "Port mapping on port 0 to h:1 not started: no port to listen on",
                  "Port mapping on port 70000 to h:1 not started: port 70000 is out of range",
                  "Port mapping on port 1 to :1 not started: no destination host",
                  "Port mapping on port 1 to h:0 not started: no destination port",
                  "Port mapping on port 1 to h:65536 not started: destination port 65536 is "
                  "out of range"}));
    // The user's own switch is refused with the same reason.
    try {
        At(list, 0).SetEnabled(true);
        ADD_FAILURE() << "started";
    } catch (const EPortMapping& e) {
        EXPECT_EQ(e.Message(), ui.Errors[0]);
    }
    EXPECT_EQ(j.Built.size(), 1u);
    list.Deactivate();
}

TEST(PortMapSystem, AMappingThatFailsToStartStopsNoOther) {
    TMapperJournal j;
    TFakeUserInterface ui;
    TIniFile ini("");
    ini.SetText("[L]\nItemCount=2\n"
                "[L.Items.0]\nEnabled=1\nServerPort=8080\nDestHost=web.lan\nDestPort=80\n"
                "[L.Items.1]\nEnabled=1\nServerPort=8081\nDestHost=web.lan\nDestPort=80\n");
    TPortMapperSystem list;
    list.MapperFactory = [&](const TPortMapperParams& p) -> std::unique_ptr<APortMapper> {
        if (p.LocalPort == "8080")
            throw Exception("Socket bind failed: Address already in use");
        j.Built.push_back(p);
        return std::make_unique<TFakeMapper>(j);
    };
    list.SetUserInterface(&ui);
    list.LoadSettings(ini, "L");
    list.Activate();
    EXPECT_FALSE(At(list, 0).Active());
    EXPECT_TRUE(At(list, 1).Active());
    EXPECT_EQ(ui.Errors, (std::vector<std::string>{"Port mapping on port 8080 to web.lan:80 not "
                                                   "started: Socket bind failed: Address "
                                                   "already in use"}));
    list.SaveSettings(ini, "L");
    EXPECT_TRUE(ini.ReadBool("L.Items.0", "Enabled", false));
    list.Deactivate();
    EXPECT_EQ(j.Running, 0);
}

TEST(PortMapSystem, MapperIsBuiltFromTheSettingsAndReleasedOnStop) {
    TMapperJournal j;
    auto tcp = Mapping(3, 8080, "web.lan", 80);
    tcp->ServerIP = "127.0.0.1";
    tcp->SocksProxy.Host = "socks.lan";
    tcp->MapperFactory = FactoryOf(j);
    tcp->SetEnabled(true);
    ASSERT_EQ(j.Built.size(), 1u);
    const TPortMapperParams& p = j.Built[0];
    EXPECT_EQ(p.Protocol, mpTCP);
    EXPECT_EQ(p.LocalHost, "127.0.0.1"); // a TCP mapping listens on ServerIP too
    EXPECT_EQ(p.LocalPort, "8080");
    EXPECT_EQ(p.DestHost, "web.lan");
    EXPECT_EQ(p.DestPort, "80");
    EXPECT_EQ(p.ClientTimeout, 180000);
    EXPECT_EQ(p.DestTimeOut, 180000);
    EXPECT_EQ(p.SocksProxy.Host, "socks.lan");
    EXPECT_TRUE(tcp->HasMapper());
    tcp->SetEnabled(false);
    EXPECT_EQ(j.Running, 0);
    EXPECT_FALSE(tcp->HasMapper());

    auto udp = Mapping(4, 5353, "dns.lan", 53);
    udp->MapperFactory = FactoryOf(j);
    udp->SetEnabled(true);
    EXPECT_EQ(j.Built[1].Protocol, mpUDP);
    EXPECT_EQ(j.Built[1].LocalHost, "");
    udp.reset(); // destroying a running mapping stops its mapper
    EXPECT_EQ(j.Running, 0);
}

TEST(PortMapSystem, FailedStartLeavesTheMappingStopped) {
    TMapperJournal j;
    j.FailNext = true;
    auto m = Mapping(3, 8080, "web.lan", 80);
    m->MapperFactory = FactoryOf(j);
    EXPECT_THROW(m->SetEnabled(true), Exception);
    EXPECT_FALSE(m->Active());
    EXPECT_FALSE(m->HasMapper());
    m->UpdateDisplay();
    EXPECT_EQ(m->GetStatusFrame()->Lines[0], "TCP Port Mapping not active.");
    j.FailNext = false;
    m->SetEnabled(true);
    EXPECT_TRUE(m->Active());
}

TEST(PortMapperStatus, ListCountsDefinedAndActiveMappings) {
    TPortMapperSystem list;
    list.UpdateDisplay();
    EXPECT_EQ(list.GetStatusFrame()->Lines,
              (std::vector<std::string>{"No mappings configured.", ""}));
    list.AddChild(Mapping(3, 8080, "web.lan", 80));
    list.UpdateDisplay();
    EXPECT_EQ(list.GetStatusFrame()->Lines,
              (std::vector<std::string>{"1 mapping defined.", "0 mappings active."}));
    list.AddChild(Mapping(4, 5353, "dns.lan", 53));
    At(list, 1).SetEnabled(true);
    list.UpdateDisplay();
    EXPECT_EQ(list.GetStatusFrame()->Lines,
              (std::vector<std::string>{"2 mappings defined.", "1 mapping active."}));
    At(list, 0).SetEnabled(true);
    list.UpdateDisplay();
    EXPECT_EQ(list.GetStatusFrame()->Lines[1], "2 mappings active.");
}

TEST(PortMapStatus, TextsValuesPicturesAndButtonsFollowTheState) {
    TMapperJournal j;
    TDateTime now = EncodeDateTime(2026, 12, 8, 10, 0, 0);
    auto m = Mapping(3, 8080, "web.lan", 80);
    m->MapperFactory = FactoryOf(j);
    m->Clock = [&now] { return now; };
    AStatusFrame& f = *m->GetStatusFrame();
    EXPECT_EQ(f.Buttons.size(), 4u);
    m->UpdateDisplay();
    EXPECT_EQ(f.Lines, std::vector<std::string>{"TCP Port Mapping not active."});
    EXPECT_EQ(f.Value("Destination"), "web.lan:80");
    EXPECT_EQ(f.Value("Up-Time"), "-");
    EXPECT_EQ(f.Value("Connections"), "-");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCGray);
    EXPECT_TRUE(f.Button("Enable")->Enabled);
    EXPECT_FALSE(f.Button("Disable")->Enabled);

    EXPECT_TRUE(f.Click("Enable"));
    EXPECT_TRUE(m->Active());
    EXPECT_EQ(f.Lines, std::vector<std::string>{"TCP Port Mapping active on port 8080."});
    EXPECT_EQ(f.Value("Up-Time"), "0:00:00");
    EXPECT_EQ(f.Value("Connections"), "0");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCBlue);
    EXPECT_FALSE(f.Button("Enable")->Enabled);
    EXPECT_TRUE(f.Button("Disable")->Enabled);

    now += 1 + (3 * 3600 + 5 * 60 + 9) / 86400.0;
    j.Clients = 2;
    m->UpdateDisplay();
    EXPECT_EQ(f.Value("Up-Time"), "1.3:05:09");
    EXPECT_EQ(f.Value("Connections"), "2");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCCyan);

    m->ServerPort = 9090; // a running mapping keeps its port until restarted
    EXPECT_TRUE(f.Click("Disable"));
    EXPECT_EQ(f.Lines, std::vector<std::string>{"TCP Port Mapping not active."});
    EXPECT_EQ(f.Value("Up-Time"), "-");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCGray);
    EXPECT_EQ(m->UptimeText(), "0:00:00");

    m->DestHost = "";
    m->UpdateDisplay();
    EXPECT_EQ(f.Lines, std::vector<std::string>{"Mapping is not configured."});
    EXPECT_EQ(f.Value("Destination"), "-");
}

TEST(PortMapStatus, RunningUDPMappingShowsNoConnectionCount) {
    TMapperJournal j;
    j.Clients = 5; // ignored for UDP
    auto m = Mapping(4, 5353, "dns.lan", 53);
    m->MapperFactory = FactoryOf(j);
    m->SetEnabled(true);
    m->UpdateDisplay();
    const AStatusFrame& f = *m->GetStatusFrame();
    EXPECT_EQ(f.Lines, std::vector<std::string>{"UDP Port Mapping active on port 5353."});
    EXPECT_EQ(f.Value("Destination"), "dns.lan:53");
    EXPECT_EQ(f.Value("Connections"), "-");
    EXPECT_EQ(f.Picture, TStatusPicture::iPCBlue);
}

TEST(PortMapStatus, AnIPv6DestinationIsShownInBracketsWrittenWithOrWithout) {
    for (const char* host : {"2001:db8::53", "[2001:db8::53]"}) {
        auto m = Mapping(4, 5353, host, 53);
        m->UpdateDisplay();
        EXPECT_EQ(m->GetStatusFrame()->Value("Destination"), "[2001:db8::53]:53") << host;
        EXPECT_EQ(m->ServiceTitle(), "Port mapping on port 5353 to [2001:db8::53]:53") << host;
    }
}

TEST(PortMapStatus, DeleteButtonRemovesTheMappingAfterYes) {
    TFakeUserInterface ui;
    ui.AnswerYes = true;
    TPortMapperSystem list;
    list.SetUserInterface(&ui);
    list.AddChild(Mapping(3, 8080, "web.lan", 80));
    std::unique_ptr<AStatusFrame> frame;
    list.OnChildRemove = [&frame](TAppContainerComponent*, TAppComponent* child) {
        frame = child->TakeStatusFrame(); // as the window does
    };
    At(list, 0).GetStatusFrame();
    At(list, 0).UpdateDisplay();
    AStatusFrame* f = At(list, 0).StatusFrame();
    EXPECT_TRUE(f->Click("Delete"));
    EXPECT_EQ(list.GetChildCount(), 0);
    EXPECT_EQ(frame.get(), f);
}

TEST(PortMapSystem, AllowedClientsReachTheMapperAndABadEntryNeverStarts) {
    TMapperJournal j;
    TFakeUserInterface ui;
    auto m = Mapping(3, 8080, "web.lan", 80);
    m->SetUserInterface(&ui);
    m->MapperFactory = FactoryOf(j);
    m->Enabled = true;
    m->AllowedClients = "10.0.0.0/8,bad";
    m->Activate();
    EXPECT_FALSE(m->Active());
    EXPECT_TRUE(j.Built.empty());
    EXPECT_EQ(ui.Errors, std::vector<std::string>{
                             "Port mapping on port 8080 to web.lan:80 not started: invalid "
                             "AllowedClients entry \"bad\": not an IPv4 address (a.b.c.d), a "
                             "block (a.b.c.d/n) or *"});

    m->AllowedClients = "";
    m->Activate();
    ASSERT_EQ(j.Built.size(), 1u);
    EXPECT_EQ(j.Built[0].AllowedClients.Text(), TAllowedClients().Text());
    // The mapper's refusal lines reach the user interface's log, named by the mapping.
    ASSERT_TRUE(j.Built[0].OnRefusalLog);
    j.Built[0].OnRefusalLog("Client 203.0.113.9 refused: not in AllowedClients");
    EXPECT_EQ(ui.LogLines, std::vector<std::string>{"Port mapping on port 8080 to web.lan:80: "
                                                    "Client 203.0.113.9 refused: not in "
                                                    "AllowedClients"});
    j.Refused = 3;
    m->UpdateDisplay();
    EXPECT_EQ(m->GetStatusFrame()->Value("Refused Clients"), "3");
    m->SetEnabled(false);
    m->UpdateDisplay();
    EXPECT_EQ(m->GetStatusFrame()->Value("Refused Clients"), "-");

    TIniFile ini("");
    m->AllowedClients = "192.168.0.0/16";
    m->SaveSettings(ini, "M");
    TPortMapSystem again;
    again.LoadSettings(ini, "M");
    EXPECT_EQ(again.AllowedClients, "192.168.0.0/16");
}

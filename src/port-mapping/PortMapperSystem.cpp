#include "port-mapping/PortMapperSystem.h"

#include "component/SettingsKeys.h"
#include "http/HTTP.h"
#include "port-mapping/PortMapperForms.h"
#include "util/Strings.h"
#include "util/Utils.h"

namespace corvan {

std::string ProtocolDisplayName(uint8_t protocol) {
    switch (protocol) {
    case mpTCP:
        return "TCP";
    case mpUDP:
        return "UDP";
    case 5:
        return "RAW";
    default:
        return std::string();
    }
}

// ---- TPortMapSystem ----

TPortMapSystem::TPortMapSystem() {
    FrameClass = [this] { return std::make_unique<TframePortMapStatus>(*this); };
}

TPortMapSystem::~TPortMapSystem() {
    FMapper.reset();
}

void TPortMapSystem::SettingsKeys(ASettingsKeys& keys) {
    keys.Byte("ServerProtocol", ServerProtocol, mpTCP, 0);
    keys.Integer("ServerPort", ServerPort, 0);
    keys.String("ServerIP", ServerIP, "");
    keys.String("DestHost", DestHost, "");
    keys.Integer("DestPort", DestPort, 0);
    keys.String("AllowedClients", AllowedClients, "");
}

std::vector<TServiceComponent::TProxyRecord> TPortMapSystem::ProxyRecords() {
    return {{"-SocksProxy", &SocksProxy}};
}

bool TPortMapSystem::IsConfigured() const {
    return ServerPort >= 1 && DestPort >= 1 && !TrimBlanks(DestHost).empty();
}

bool TPortMapSystem::HasKnownProtocol() const {
    return ServerProtocol == mpTCP || ServerProtocol == mpUDP;
}

TPortMapperParams TPortMapSystem::MapperParams() const {
    TPortMapperParams p;
    p.Protocol = ServerProtocol;
    p.LocalHost = ServerIP;
    p.LocalPort = std::to_string(ServerPort);
    p.DestHost = DestHost;
    p.DestPort = std::to_string(DestPort);
    if (ServerProtocol == mpTCP) {
        p.ClientTimeout = kClientTimeoutMs;
        p.DestTimeOut = kClientTimeoutMs;
    }
    p.SocksProxy = SocksProxy;
    // A bad list never starts the mapping (StartRefusal); should one get here all the same,
    // the default list serves, never everyone.
    std::string error;
    TAllowedClients::TryParse(AllowedClients, p.AllowedClients, error);
    // The mapper is destroyed before this mapping.
    p.OnRefusalLog = [this](const std::string& line) { LogRefusal(line); };
    return p;
}

int TPortMapSystem::Connections() const {
    return FMapper ? FMapper->ClientCount() : 0;
}

uint64_t TPortMapSystem::RefusedCount() const {
    return FMapper ? FMapper->RefusedCount() : 0;
}

std::string TPortMapSystem::UptimeText() const {
    return ElapsedTimeTextOfDays(Active() ? Clock() - FStartTime : 0.0);
}

std::string TPortMapSystem::StartRefusal() const {
    if (!HasKnownProtocol())
        return Format("unknown protocol %d", ServerProtocol);
    if (ServerPort < 1)
        return "no port to listen on";
    if (ServerPort > kMaxPortNumber)
        return Format("port %d is out of range", ServerPort);
    if (TrimBlanks(DestHost).empty())
        return "no destination host";
    if (DestPort < 1)
        return "no destination port";
    if (DestPort > kMaxPortNumber)
        return Format("destination port %d is out of range", DestPort);
    return TAllowedClients::ParseError(AllowedClients);
}

std::string TPortMapSystem::ServiceTitle() const {
    return Format("Port mapping on port %d to %s", ServerPort, DestinationText().c_str());
}

std::string TPortMapSystem::DestinationText() const {
    std::string_view host = DestHost;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return JoinHostPort(host, std::to_string(DestPort));
}

void TPortMapSystem::DoEnable() {
    std::string refusal = StartRefusal();
    if (!refusal.empty())
        throw EPortMapping(NotStartedText(refusal));
    if (MapperFactory) {
        std::unique_ptr<APortMapper> mapper = MapperFactory(MapperParams());
        if (!mapper)
            throw EPortMapping("Port mapping not started: no mapper was created");
        FMapper = std::move(mapper);
    }
    FStartTime = Clock();
}

void TPortMapSystem::DoDisable() {
    FMapper.reset();
    FStartTime = 0;
}

std::string TPortMapSystem::UnknownProtocolText() const {
    return NotStartedText(Format("unknown protocol %d", ServerProtocol));
}

std::string TPortMapSystem::GetDisplayName() const {
    if (!IsConfigured())
        return "<New Mapping>";
    return ProtocolDisplayName(ServerProtocol) + " Port " + std::to_string(ServerPort);
}

std::string TPortMapSystem::DeleteConfirmationText() const {
    return "Are you sure you want to delete this mapping?\r\n\r\n    Server: " + GetDisplayName() +
           "\r\n" + "    Destination: " + DestinationText();
}

void TPortMapSystem::Delete() {
    if (IsConfigured() && !UserInterface().ConfirmYesNo(DeleteConfirmationText()))
        return;
    TAppComponent::Delete();
}

bool TPortMapSystem::EditSettings() {
    TfrmPortMapSettings form;
    form.LoadFrom(*this);
    return RunSettingsForm(form, [&] { form.SaveTo(*this); });
}

void TPortMapSystem::UpdateDisplay() {
    static_cast<TframePortMapStatus*>(GetStatusFrame())->Update(*this);
}

// ---- TPortMapperSystem ----

TPortMapperSystem::TPortMapperSystem() {
    FrameClass = [] { return std::make_unique<TframePortMapperStatus>(); };
}

bool TPortMapperSystem::CanCreateChild() const {
    return GetChildCount() < kMaxMappings;
}

TAppComponent* TPortMapperSystem::CreateChild() {
    if (!CanCreateChild())
        return nullptr;
    auto mapping = std::make_unique<TPortMapSystem>();
    // Not in the tree yet: it shows its dialog through the list's interface.
    mapping->SetUserInterface(&UserInterface());
    bool ok = mapping->EditSettings();
    mapping->SetUserInterface(nullptr);
    if (!ok)
        return nullptr;
    return AddChild(std::move(mapping));
}

std::unique_ptr<TAppComponent> TPortMapperSystem::CreateItem() {
    return std::make_unique<TPortMapSystem>();
}

void TPortMapperSystem::ChildAdded(TAppComponent* child) {
    if (auto* mapping = dynamic_cast<TPortMapSystem*>(child))
        mapping->MapperFactory = MapperFactory;
    TAppContainerComponent::ChildAdded(child);
}

int TPortMapperSystem::ActiveCount() const {
    int n = 0;
    for (const auto& item : Items)
        if (item->Active())
            ++n;
    return n;
}

void TPortMapperSystem::UpdateDisplay() {
    static_cast<TframePortMapperStatus*>(GetStatusFrame())->Update(*this);
}

} // namespace corvan

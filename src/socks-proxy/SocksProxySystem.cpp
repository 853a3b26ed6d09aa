#include "socks-proxy/SocksProxySystem.h"

#include "component/SettingsKeys.h"
#include "socks-proxy/SocksProxyForms.h"
#include "users/ProxyUsersSystem.h"
#include "util/FileSystem.h"
#include "util/Strings.h"
#include "util/Utils.h"

#include <algorithm>
#include <utility>

namespace corvan {

TSocksProxySystem::TSocksProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users)
    : TLoggingServiceComponent(serviceFolder + "socksproxy.log", users) {
    FrameClass = [this] { return std::make_unique<TframeSocksProxyStatus>(*this); };
}

TSocksProxySystem::~TSocksProxySystem() {
    FServer.reset();
}

void TSocksProxySystem::SettingsKeys(ASettingsKeys& keys) {
    keys.Integer("ServerPort", ServerPort, 1080);
    keys.String("ServerIP", ServerIP, "");
    keys.Integer("MaxConnections", MaxConnections, 64);
    keys.Integer("MaxBackLog", MaxBackLog, 0);
    keys.Bool("EnableLog", EnableLog, false);
    keys.Bool("LimitBandIn", LimitBandIn, false);
    keys.Integer("BandInLimit", BandInLimit, -1);
    keys.Bool("LimitBandOut", LimitBandOut, false);
    keys.Integer("BandOutLimit", BandOutLimit, -1);
    keys.Bool("RequireLogin", RequireLogin, false);
    keys.String("AllowedClients", AllowedClients, "");
    keys.Bool("AllowLocalTargets", AllowLocalTargets, false);
    keys.Bool("EnableUDP", EnableUDP, true);
}

void TSocksProxySystem::ClampSettings() {
    MaxConnections = std::max(MaxConnections, kMinMaxConnections);
    MaxBackLog = std::max(MaxBackLog, 0);
}

std::vector<TServiceComponent::TProxyRecord> TSocksProxySystem::ProxyRecords() {
    return {{"-SocksProxy", &SocksProxy}};
}

// ---- called by the server ----

bool TSocksProxySystem::Authenticate(const std::string& login, const std::string& password) const {
    return CheckLogin(RequireLogin, Users(), login, password);
}

bool TSocksProxySystem::CheckLogin(bool requireLogin, const TProxyUsersSystem* users,
                                   const std::string& login, const std::string& password) {
    if (!requireLogin)
        return true;
    // The users' published copy: the list itself belongs to the main thread.
    return users && users->CheckSocksAccess(login, password);
}

TSocksOutbound TSocksProxySystem::OutboundRoute(const std::string& host, int port) const {
    return RouteVia(SocksProxy, host, port);
}

TSocksOutbound TSocksProxySystem::RouteVia(const TProxyServerInfo& upstream,
                                           const std::string& host, int port) {
    TSocksOutbound route;
    route.Host = host;
    route.Port = std::to_string(port);
    if (upstream.InUse())
        route.Via = upstream;
    return route;
}

void TSocksProxySystem::ClientClosed(const TSocksConnectionFacts& facts) {
    {
        std::lock_guard<std::mutex> lock(TotalsLock);
        FTotals.Bytes += facts.BytesTransferred;
        FTotals.BytesToClients += facts.BytesToClient;
    }
    if (!FLogEnabled.load(std::memory_order_acquire) || LogFileName().empty())
        return;
    RequestLog().Append(SocksLogLine(Clock(), facts));
}

TSocksProxySystem::TTotals TSocksProxySystem::Totals() const {
    std::lock_guard<std::mutex> lock(TotalsLock);
    return FTotals;
}

TSocksProxySystem::TTotals TSocksProxySystem::ExchangeTotals(const TTotals& value) {
    std::lock_guard<std::mutex> lock(TotalsLock);
    return std::exchange(FTotals, value);
}

uint64_t TSocksProxySystem::TotalBytes() const {
    return Totals().Bytes;
}

uint64_t TSocksProxySystem::BytesToClients() const {
    return Totals().BytesToClients;
}

uint64_t TSocksProxySystem::BytesFromClients() const {
    TTotals t = Totals();
    return t.Bytes - t.BytesToClients;
}

// ---- settings and view ----

TSocksServerListen TSocksProxySystem::ListenSettings() const {
    TSocksServerListen l;
    l.ListenPort = std::to_string(ServerPort);
    l.LocalHost = ServerIP;
    l.MaxBacklog = std::max(MaxBackLog, 0);
    return l;
}

TSocksServerLimits TSocksProxySystem::LimitSettings() const {
    TSocksServerLimits l;
    l.MaxClients = std::max(MaxConnections, kMinMaxConnections);
    // A limit without a rate above 0 (the dialog's empty field) limits nothing, as the HTTP
    // proxy's: at a rate of 0 not a byte would pass, and the service would look running.
    l.ThrottleOutbound = LimitBandIn && BandInLimit > 0;
    l.OutboundReadRate = BandInLimit;
    l.ThrottleClient = LimitBandOut && BandOutLimit > 0;
    l.ClientReadRate = BandOutLimit;
    l.Options.RequireLogin = RequireLogin;
    l.Options.EnableUdp = EnableUDP;
    l.AllowLocalTargets = AllowLocalTargets;
    // A bad list never starts the service (StartRefusal) and the dialog does not take one;
    // should one get here all the same, the default list serves, never everyone.
    std::string error;
    TAllowedClients::TryParse(AllowedClients, l.AllowedClients, error);
    return l;
}

void TSocksProxySystem::ApplySettings() {
    FLogEnabled.store(EnableLog, std::memory_order_release);
    if (!FServer)
        return;
    if (!Active())
        FServer->SetListen(ListenSettings());
    FServer->SetLimits(LimitSettings());
}

std::string TSocksProxySystem::StartRefusal() const {
    if (ServerPort < 1)
        return "no port to listen on (ServerPort is " + std::to_string(ServerPort) + ")";
    if (ServerPort > kMaxPortNumber)
        return "port " + std::to_string(ServerPort) + " is out of range";
    return TAllowedClients::ParseError(AllowedClients);
}

std::string TSocksProxySystem::ServiceTitle() const {
    return "SOCKS proxy on port " + std::to_string(ServerPort);
}

void TSocksProxySystem::DoEnable() {
    std::string refusal = StartRefusal();
    if (!refusal.empty())
        throw Exception(NotStartedText(refusal));
    if (!FServer && ServerFactory) {
        FServer = ServerFactory(*this);
        if (!FServer)
            throw Exception("Socks proxy server not created");
    }
    // Reset before the start: a connection may end as soon as the server listens.
    TTotals kept = ExchangeTotals({});
    ApplySettings();
    try {
        if (FServer)
            FServer->Start();
    } catch (...) {
        ExchangeTotals(kept);
        throw;
    }
    FStartTime = Clock();
    FListeningPort = ServerPort;
}

void TSocksProxySystem::DoDisable() {
    if (FServer)
        FServer->Stop();
}

bool TSocksProxySystem::EditSettings() {
    TfrmSocksProxySettings form;
    form.LoadFrom(*this);
    if (!RunSettingsForm(form, [&] { form.SaveTo(*this); }))
        return false;
    ApplySettings();
    return true;
}

std::string TSocksProxySystem::UptimeText() const {
    return ElapsedTimeTextOfDays(Active() ? Clock() - FStartTime : 0.0);
}

int TSocksProxySystem::ClientCount() const {
    return FServer && Active() ? FServer->ClientCount() : 0;
}

uint64_t TSocksProxySystem::ConnectionsTotal() const {
    return FServer && Active() ? FServer->ConnectionsTotal() : 0;
}

int64_t TSocksProxySystem::TransferRate() const {
    return FServer && Active() ? FServer->TransferRate() : 0;
}

uint64_t TSocksProxySystem::RefusedCount() const {
    return FServer && Active() ? FServer->RefusedCount() : 0;
}

void TSocksProxySystem::UpdateDisplay() {
    static_cast<TframeSocksProxyStatus*>(GetStatusFrame())->Update(*this);
}

} // namespace corvan

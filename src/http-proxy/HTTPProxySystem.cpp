#include "http-proxy/HTTPProxySystem.h"

#include "component/SettingsKeys.h"
#include "http-proxy/HTTPProxyForms.h"
#include "http/URL.h"
#include "net/SocketLib.h"
#include "users/ProxyUsersSystem.h"
#include "util/FileSystem.h"
#include "util/Strings.h"
#include "util/Ticks.h"
#include "util/Utils.h"

#include <algorithm>

namespace corvan {

std::string HTTPRequestLogLine(TDateTime time, const std::string& clientIP, int status,
                               int64_t contentLength, bool complete,
                               const std::string& requestLine) {
    return FormatTimeColons(time) + " " + clientIP + " " + std::to_string(status) + " " +
           std::to_string(contentLength) + " " + (complete ? "1" : "0") + " " +
           RequestLineForLog(requestLine) + "\r\n";
}

// ---- THTTPLoginScript ----

std::string THTTPLoginScript::LoginLine(const std::string& user, const std::string& password) {
    auto encode = [](const std::string& s) {
        static const char* hex = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : s) {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == '~') {
                out += char(c);
            } else {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    };
    return encode(user) + " " + encode(password);
}

std::vector<std::unique_ptr<TLineProcess>> THTTPLoginScript::TakeIdlePrograms() {
    ++FGeneration;
    std::vector<std::unique_ptr<TLineProcess>> idle;
    for (TSlot& slot : FSlots)
        if (slot.Process)
            idle.push_back(std::move(slot.Process));
    return idle;
}

void THTTPLoginScript::SetCommandLine(const std::string& commandLine) {
    std::vector<std::unique_ptr<TLineProcess>> ended;
    std::lock_guard lock(ScriptLock);
    if (commandLine == FCommandLine)
        return;
    FCommandLine = commandLine;
    FLastReport.clear();
    ended = TakeIdlePrograms();
    // The lock is released before ended goes: each program may take a while to stop.
}

void THTTPLoginScript::Stop() {
    std::vector<std::unique_ptr<TLineProcess>> ended;
    std::lock_guard lock(ScriptLock);
    ended = TakeIdlePrograms();
}

bool THTTPLoginScript::TakeSlot(std::unique_lock<std::mutex>& lock, int64_t deadline,
                                size_t& slot) {
    for (;;) {
        size_t best = FSlots.size();
        for (size_t i = 0; i < FSlots.size(); ++i)
            if (!FSlots[i].Busy &&
                (best == FSlots.size() || (FSlots[i].Process && !FSlots[best].Process)))
                best = i;
        if (best < FSlots.size()) {
            FSlots[best].Busy = true;
            slot = best;
            return true;
        }
        int64_t left = deadline - MonotonicMillis();
        if (left <= 0)
            return false;
        SlotFreed.wait_for(lock, std::chrono::milliseconds(left));
    }
}

std::unique_ptr<TLineProcess> THTTPLoginScript::ReturnSlot(size_t slot,
                                                           std::unique_ptr<TLineProcess> process,
                                                           uint64_t generation) {
    FSlots[slot].Busy = false;
    if (generation == FGeneration)
        FSlots[slot].Process = std::move(process);
    SlotFreed.notify_one();
    return process;
}

bool THTTPLoginScript::NewReport(const std::string& reason) {
    if (reason.empty() || reason == FLastReport) {
        FLastReport = reason;
        return false;
    }
    FLastReport = reason;
    return true;
}

std::string THTTPLoginScript::Exchange(std::unique_ptr<TLineProcess>& process,
                                       const std::string& commandLine, const std::string& line,
                                       int64_t deadline, bool& accepted) {
    accepted = false;
    std::string error;
    if (!process || !process->Running()) {
        process = std::make_unique<TLineProcess>(commandLine);
        if (!process->Start(error)) {
            process.reset();
            return "login refused: the validation program cannot start: " + error;
        }
    }
    std::string answer;
    int left = int(std::max<int64_t>(deadline - MonotonicMillis(), 0));
    if (!process->Ask(line, left, answer, error)) {
        process.reset(); // started again for a later login
        return "login refused: the validation program failed: " + error;
    }
    accepted = answer.compare(0, 2, "OK") == 0;
    return {};
}

bool THTTPLoginScript::Validate(const std::string& user, const std::string& password) {
    int64_t deadline = MonotonicMillis() + AnswerTimeoutMs;
    std::string reason, commandLine;
    std::unique_ptr<TLineProcess> process;
    uint64_t generation = 0;
    size_t slot = 0;
    bool haveSlot = false;
    {
        std::unique_lock lock(ScriptLock);
        if (TrimWhiteSpace(FCommandLine).empty()) {
            reason = "login refused: no validation program is set (LoginScript)";
        } else if (!(haveSlot = TakeSlot(lock, deadline, slot))) {
            reason = "login refused: all " + std::to_string(FSlots.size()) +
                     " copies of the validation program are busy";
        } else {
            process = std::move(FSlots[slot].Process);
            commandLine = FCommandLine;
            generation = FGeneration;
        }
    }
    bool accepted = false;
    if (haveSlot)
        reason = Exchange(process, commandLine, LoginLine(user, password), deadline, accepted);
    bool report;
    {
        std::lock_guard lock(ScriptLock);
        if (haveSlot)
            process = ReturnSlot(slot, std::move(process), generation);
        report = NewReport(reason);
    }
    // Outside the lock: a stale program takes a while to end, and the report waits for the
    // main thread, which may be waiting for the lock itself (a new command line).
    process.reset();
    if (report && OnReport)
        OnReport(reason);
    return accepted;
}

// ---- THTTPProxySystem ----

THTTPProxySystem::THTTPProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users)
    : TLoggingServiceComponent(serviceFolder + "httpproxy.log", users) {
    FrameClass = [this] { return std::make_unique<TframeHTTPProxyStatus>(*this); };
    FOptions = std::make_shared<THTTPProxyOptions>();
    FScript.OnReport = [this](const std::string& reason) {
        std::string line = reason;
        TMessageLoop::Main().RunSynchronous([&] { LogRefusal(line); });
    };
}

THTTPProxySystem::~THTTPProxySystem() {
    FServer.reset();
    FScript.Stop();
}

void THTTPProxySystem::SettingsKeys(ASettingsKeys& keys) {
    keys.Integer("ServerPort", ServerPort, 8080);
    keys.String("ServerIP", ServerIP, "");
    keys.Bool("EnableTunnelling", EnableTunnelling, true);
    keys.Bool("OnlyTunnelHTTPS", OnlyTunnelHTTPS, false);
    keys.Bool("UpdateXForwardedFor", UpdateXForwardedFor, false);
    keys.Bool("UpdateVia", UpdateVia, false);
    keys.Bool("EnableLogFile", EnableLogFile, false);
    keys.Integer("MaxConnections", MaxConnections, 64);
    keys.Integer("MaxBackLog", MaxBackLog, 0);
    keys.Bool("LimitBandwidth", LimitBandwidth, false);
    keys.Integer("BandwidthLimit", BandwidthLimit, 0);
    keys.Byte("LoginMode", LoginMode, 0, kUnknownLoginMode);
    keys.String("LoginPassword", LoginPassword, "");
    keys.String("LoginScript", LoginScript, "");
    keys.String("AllowedClients", AllowedClients, "");
    keys.Bool("AllowLocalTargets", AllowLocalTargets, false);
}

void THTTPProxySystem::ClampSettings() {
    MaxConnections = std::max(MaxConnections, kMinMaxConnections);
    MaxBackLog = std::clamp(MaxBackLog, 0, kMaxMaxBackLog);
    if (LoginMode > 3)
        LoginMode = kUnknownLoginMode;
}

std::vector<TServiceComponent::TProxyRecord> THTTPProxySystem::ProxyRecords() {
    return {{"-HTTPProxy", &HTTPProxy}, {"-SocksProxy", &SocksProxy}};
}

// ---- the handlers' decisions ----

THTTPProxyOptions THTTPProxySystem::CurrentOptions() const {
    THTTPProxyOptions o;
    o.EnableTunnelling = EnableTunnelling;
    o.OnlyTunnelHTTPS = OnlyTunnelHTTPS;
    o.EnableLogFile = EnableLogFile;
    o.AllowLocalTargets = AllowLocalTargets;
    o.LimitBandwidth = LimitBandwidth;
    o.BandwidthLimit = BandwidthLimit;
    o.LoginMode = LoginMode;
    o.LoginPassword = LoginPassword;
    o.HTTPProxy = HTTPProxy;
    o.SocksProxy = SocksProxy;
    return o;
}

std::shared_ptr<const THTTPProxyOptions> THTTPProxySystem::Options() const {
    std::lock_guard lock(OptionsLock);
    return FOptions;
}

bool THTTPProxySystem::CheckLogin(const THTTPProxyOptions& options, const std::string& user,
                                  const std::string& password) {
    switch (options.LoginMode) {
    case 0:
        return true;
    case 1:
        // No password set must never mean that any password will do.
        return !options.LoginPassword.empty() && EqualNoCase(password, options.LoginPassword);
    case 2:
        // The users' published copy: the list itself belongs to the main thread.
        return Users() && Users()->CheckHTTPAccess(user, password);
    case 3:
        return FScript.Validate(user, password);
    default:
        return false;
    }
}

bool THTTPProxySystem::GetConnection(ThttpProxyServerClient* client, ThttpProxyRoute& route) {
    std::shared_ptr<const THTTPProxyOptions> options = Options();
    route.AllowLocalTargets = options->AllowLocalTargets;
    if (EqualNoCase(client->Request->GetMethod(), "CONNECT")) {
        const char* details = "Contact the administrator of this proxy server for more information.";
        if (!options->EnableTunnelling) {
            client->SendErrorResponse(501, "Tunnelling not allowed",
                                      "Tunnelling is disabled on this server.", details);
            return false;
        }
        if (options->OnlyTunnelHTTPS && client->TargetPort != "443") {
            client->SendErrorResponse(
                501, "Tunnelling not allowed",
                "Tunnelling on a non-HTTPS port is disabled on this server.", details);
            return false;
        }
        auto response = std::make_unique<ThttpResponse>(200, "Tunnel established", "HTTP", 1, 1);
        client->SetResponse(std::move(response));
        client->Tunnel = true;
        if (options->SocksProxy.InUse())
            route.Socks5 = options->SocksProxy;
        return true;
    }
    if (options->HTTPProxy.InUse())
        route.HttpProxy = options->HTTPProxy;
    if (options->SocksProxy.InUse())
        route.Socks5 = options->SocksProxy;
    return true;
}

void THTTPProxySystem::RequestDone(ThttpProxyServerClient* client) {
    if (!client->Response || !client->Request)
        return;
    std::shared_ptr<const THTTPProxyOptions> options = Options();
    if (!options->EnableLogFile || LogFileName().empty())
        return;
    std::string line = HTTPRequestLogLine(
        Clock(), SocketAddrStr(client->RemoteAddr()), client->Response->GetStatusCode(),
        client->Response->GetContentLength(), client->ResponseSent, client->RequestLine);
    RequestLog().Append(line);
}

void THTTPProxySystem::InstallHandlers(ThttpProxyServer& server) {
    server.ServerName = kServerName;
    server.ServerVersion = kServerVersion;
    server.OnGetConnection = [this](ThttpProxyServerClient* client, ThttpProxyRoute& route) {
        return GetConnection(client, route);
    };
    server.OnValidateLogin = [this](ThttpProxyServerClient*, const std::string& user,
                                    const std::string& password, bool& valid) {
        valid = CheckLogin(*Options(), user, password);
    };
    server.OnPrepareForward = [this](ThttpProxyServerClient*, ThttpClient* forward) {
        std::shared_ptr<const THTTPProxyOptions> o = Options();
        bool limit = o->LimitBandwidth && o->BandwidthLimit > 0;
        forward->ThrottleWrite = limit;
        forward->ThrottleRead = limit;
        forward->WriteThrottleRate = limit ? std::max(o->BandwidthLimit, kMinWriteRate) : 0;
        forward->ReadThrottleRate = limit ? o->BandwidthLimit : 0;
    };
    server.OnResponseReceived = [](ThttpProxyServerClient* client) {
        client->Response->CacheContentWhileWriting = false;
    };
    server.OnRequestDone = [this](AhttpServer*, AhttpServerClient* client) {
        RequestDone(static_cast<ThttpProxyServerClient*>(client));
    };
    server.Admission = &FAdmission;
    server.CloseRefusedAtAccept = false;
    FAdmission.OnRefusalLog = [this](const std::string& line) { LogRefusal(line); };
}

// ---- settings and view ----

void THTTPProxySystem::ApplySettings() {
    {
        auto options = std::make_shared<const THTTPProxyOptions>(CurrentOptions());
        std::lock_guard lock(OptionsLock);
        FOptions = std::move(options);
    }
    FScript.SetCommandLine(LoginMode == 3 ? LoginScript : std::string());
    TAllowedClients allowed;
    std::string error;
    // A bad list never starts the service (StartRefusal) and the dialog does not take one;
    // should one get here all the same, the default list serves, never everyone.
    TAllowedClients::TryParse(AllowedClients, allowed, error);
    FAdmission.SetAllowed(allowed);
    if (!FServer)
        return;
    if (LoginMode == 1 && LoginPassword.empty())
        LogRefusal("login mode 1 has no LoginPassword set: every login is refused");
    ThttpProxyServer& s = *FServer;
    s.UpdateXForwardedFor = UpdateXForwardedFor;
    s.UpdateVia = UpdateVia;
    s.RequireAuth = LoginMode != 0;
    if (LimitBandwidth && BandwidthLimit > 0) {
        s.SetWriteThrottleRate(std::max(BandwidthLimit, kMinWriteRate));
        s.SetThrottleWrite(true);
        s.SetReadThrottleRate(BandwidthLimit);
        s.SetThrottleRead(true);
    } else {
        s.SetThrottleWrite(false);
        s.SetThrottleRead(false);
    }
}

std::string THTTPProxySystem::StartRefusal() const {
    if (ServerPort < 1)
        return "no port to listen on (ServerPort is " + std::to_string(ServerPort) + ")";
    if (ServerPort > kMaxPortNumber)
        return "port " + std::to_string(ServerPort) + " is out of range";
    return TAllowedClients::ParseError(AllowedClients);
}

std::string THTTPProxySystem::ServiceTitle() const {
    return "HTTP proxy on port " + std::to_string(ServerPort);
}

void THTTPProxySystem::DoEnable() {
    std::string refusal = StartRefusal();
    if (!refusal.empty())
        throw Exception(NotStartedText(refusal));
    FServer.reset();
    auto server = std::make_unique<ThttpProxyServer>();
    InstallHandlers(*server);
    server->SetListenPort(std::to_string(ServerPort));
    server->SetLocalHost(ServerIP);
    server->MaxClients = std::max(MaxConnections, kMinMaxConnections);
    server->SetMaxBacklog(std::clamp(MaxBackLog, 0, kMaxMaxBackLog));
    FServer = std::move(server);
    ApplySettings();
    FAdmission.ResetCount();
    try {
        FServer->SetActive(true);
    } catch (...) {
        FServer.reset();
        throw;
    }
    FStartTime = Clock();
    FListeningPort = ServerPort;
}

void THTTPProxySystem::DoDisable() {
    if (FServer)
        FServer->SetActive(false);
    FServer.reset();
    FScript.Stop();
}

bool THTTPProxySystem::EditSettings() {
    TfrmHTTPProxySettings form;
    form.LoadFrom(*this);
    if (!RunSettingsForm(form, [&] { form.SaveTo(*this); }))
        return false;
    ApplySettings();
    return true;
}

std::string THTTPProxySystem::UptimeText() const {
    return ElapsedTimeTextOfDays(Active() ? Clock() - FStartTime : 0.0);
}

int THTTPProxySystem::ClientCount() const {
    return FServer && Active() ? int(FServer->ClientCount()) : 0;
}

int64_t THTTPProxySystem::TransferRate() const {
    return FServer && Active() ? FServer->GetTransferRate() : 0;
}

uint64_t THTTPProxySystem::RequestCount() const {
    return FServer && Active() ? FServer->TotalRequests.load() : 0;
}

uint64_t THTTPProxySystem::ReusedConnections() const {
    return FServer && Active() ? FServer->ReusedConnections.load() : 0;
}

uint64_t THTTPProxySystem::TotalBytes() const {
    return FServer && Active() ? FServer->TotalBytesSent.load() : 0;
}

uint64_t THTTPProxySystem::ConnectionsTotal() const {
    return FServer && Active() ? FServer->ClientTotal() : 0;
}

uint32_t THTTPProxySystem::ActiveRequests() const {
    return FServer && Active() ? FServer->ActiveRequests.load() : 0;
}

uint64_t THTTPProxySystem::RefusedCount() const {
    return FServer && Active() ? FAdmission.RefusedCount() : 0;
}

void THTTPProxySystem::UpdateDisplay() {
    static_cast<TframeHTTPProxyStatus*>(GetStatusFrame())->Update(*this);
}

} // namespace corvan

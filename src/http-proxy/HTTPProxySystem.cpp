#include "http-proxy/HTTPProxySystem.h"

#include "component/SettingsKeys.h"
#include "http-proxy/HTTPProxyForms.h"
#include "http/URL.h"
#include "net/SocketLib.h"
#include "users/ProxyUsersSystem.h"
#include "util/FileSystem.h"
#include "util/Strings.h"
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

void THTTPLoginScript::SetCommandLine(const std::string& commandLine) {
    std::lock_guard lock(ScriptLock);
    if (commandLine == FCommandLine)
        return;
    FCommandLine = commandLine;
    FProcess.reset();
    FLastReport.clear();
}

void THTTPLoginScript::Stop() {
    std::lock_guard lock(ScriptLock);
    FProcess.reset();
}

bool THTTPLoginScript::Validate(const std::string& user, const std::string& password) {
    std::string report;
    bool accepted = false;
    {
        std::lock_guard lock(ScriptLock);
        std::string reason = ValidateLocked(user, password, accepted);
        if (reason.empty())
            FLastReport.clear();
        else if (reason != FLastReport)
            report = FLastReport = reason;
    }
    // Outside the lock: the report waits for the main thread, which may be waiting for the
    // lock itself (a new command line).
    if (!report.empty() && OnReport)
        OnReport(report);
    return accepted;
}

std::string THTTPLoginScript::ValidateLocked(const std::string& user, const std::string& password,
                                             bool& accepted) {
    accepted = false;
    if (TrimWhiteSpace(FCommandLine).empty())
        return "login refused: no validation program is set (LoginScript)";
    std::string error;
    if (!FProcess || !FProcess->Running()) {
        FProcess = std::make_unique<TLineProcess>(FCommandLine);
        if (!FProcess->Start(error)) {
            FProcess.reset();
            return "login refused: the validation program cannot start: " + error;
        }
    }
    std::string answer;
    if (!FProcess->Ask(LoginLine(user, password), AnswerTimeoutMs, answer, error)) {
        FProcess.reset(); // started again for the next login
        return "login refused: the validation program failed: " + error;
    }
    accepted = answer.compare(0, 2, "OK") == 0;
    return {};
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
        return EqualNoCase(password, options.LoginPassword);
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
    std::lock_guard lock(RequestLogLock);
    try {
        AppendToFile(LogFileName(), line);
    } catch (...) {
        // A lost log line must never affect the connections.
    }
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

uint64_t THTTPProxySystem::TotalBytes() const {
    return FServer && Active() ? FServer->TotalBytesSent.load() : 0;
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

#include "http/HTTPProxyServer.h"

#include "http/URL.h"
#include "net/IdleConnections.h"
#include "net/OwnConnections.h"
#include "net/SocketHostLookup.h"
#include "net/SocketLib.h"
#include "util/Strings.h"
#include "util/Ticks.h"

#include <optional>
#include <unordered_set>

namespace corvan {

namespace {

// Whether a comma-separated value lists token (ASCII case ignored).
bool ListHasToken(std::string_view value, std::string_view token) {
    for (const std::string& part : Split(value, ','))
        if (EqualNoCase(TrimWhiteSpace(part), token))
            return true;
    return false;
}

bool IsSimpleMethod(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "PUT" || method == "POST";
}

// May be sent again when its first sending may have been lost (RFC 9110 section 9.2.2).
bool IsIdempotentMethod(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "PUT" ||
           method == "DELETE" || method == "TRACE";
}

// Each part with its length in front: no host name can pass for another key's parts.
void AddKeyPart(std::string& key, std::string_view part) {
    key += std::to_string(part.size());
    key += ':';
    key += part;
}

void AddHopKey(std::string& key, const char* kind, const TProxyServerInfo& hop) {
    TProxyServerInfo h = hop.Trimmed();
    key += kind;
    AddKeyPart(key, h.Host);
    AddKeyPart(key, h.Port);
    AddKeyPart(key, h.UseAuth ? h.Login : std::string());
    AddKeyPart(key, h.UseAuth ? h.Password : std::string());
}

// Where an outbound connection for next leads, as the idle connections are kept: the origin
// (as named, and the addresses it was judged at), or the up-stream HTTP proxy, and the SOCKS5
// proxy it passes through with its login; also the passes of the client connection served,
// so a reused connection stays counted right for the loop check.
std::string IdleKey(const TOutboundRoute& next) {
    std::string key = std::to_string(ServedPasses());
    if (next.HttpProxy.InUse()) {
        AddHopKey(key, " http-proxy ", next.HttpProxy);
    } else {
        key += " origin ";
        AddKeyPart(key, next.Host);
        for (const TSocketAddr& address : next.ConnectAddresses)
            AddKeyPart(key, SocketAddrLiteral(address));
        AddKeyPart(key, next.Port);
    }
    if (next.Socks5.InUse())
        AddHopKey(key, " socks5 ", next.Socks5);
    return key;
}

// Whether the next hop's answer leaves the connection open for another request (RFC 9112
// section 9.3): HTTP/1.1 unless it says "close", HTTP/1.0 only when it says "keep-alive"; and
// its end is known without the connection closing.
bool AnswerKeepsConnection(const ThttpResponse& response, std::string_view connection) {
    if (response.IsContentUntilClose() || response.GetStatusCode() == 101 ||
        ListHasToken(connection, "close"))
        return false;
    return response.IsHTTP11OrLater() || ListHasToken(connection, "keep-alive");
}

// Whether a next hop's connection, its answer done, may carry another request: it stands,
// and nothing is left in it (a byte unread would be taken for the next answer, one unsent
// would go out before the next request).
bool KeptUsable(const TTCPClientSocket& socket) {
    return socket.Releasable() && !socket.ReceiveEnded() && socket.BufferUsed() == 0 &&
           socket.SendBufferSize() == 0;
}

// Shuts the sending side, then closes: the next hop reads the end of the stream.
void CloseGracefully(TTCPClientSocket* socket) {
    if (socket && socket->State() == ssConnected && !socket->Terminated())
        socket->Close(false);
}

bool IsHttpScheme(const std::string& protocol) {
    return protocol.empty() || EqualNoCase(protocol, "http");
}

// The request goes where its target says; a "Host" field that named another site (or two
// fields naming two) would have that server answer for a site the proxy did not route by,
// and would get past anything that judges requests by their target. So the target's host
// replaces whatever came, in the place of the first such field.
void SetHostFromTarget(THeader& header, const std::string& host) {
    header.SetFieldBody("Host", host);
    // Only fields after the first are deleted, so its place is found once.
    int first = header.IndexOfField("Host");
    for (int i = header.FieldCount(); --i > first;)
        if (EqualNoCase(header.Fields(i)->GetName(), "Host"))
            header.DeleteField(i);
}

} // namespace

int RemoveHopByHopFields(AhttpMessage& message, const std::vector<std::string>& extra,
                         bool keepFraming) {
    THeader* header = message.HeaderOrNull();
    if (!header)
        return 0;
    // Nearly every message names only these, or none: compared in place, without a copy of
    // each name. Other names a "Connection" field lists go to a set, so a long list stays
    // linear.
    static constexpr std::string_view kAlways[] = {"Connection", "Proxy-Connection",
                                                   "Keep-Alive", "Upgrade"};
    auto isFixed = [&](std::string_view name) {
        for (std::string_view n : kAlways)
            if (EqualNoCase(name, n))
                return true;
        for (const std::string& n : extra)
            if (EqualNoCase(name, n))
                return true;
        return false;
    };
    std::unordered_set<std::string> listed;
    for (int i = 0; i < header->FieldCount(); ++i) {
        AHeaderField* field = header->Fields(i);
        if (!EqualNoCase(field->GetName(), "Connection"))
            continue;
        for (const std::string& part : Split(field->GetBody(), ','))
            if (std::string_view name = TrimWhiteSpace(part); !name.empty() && !isFixed(name))
                listed.insert(AsciiLowerCase(name));
    }
    auto isHopByHop = [&](const std::string& name) {
        if (name.empty())
            return false;
        if (keepFraming &&
            (EqualNoCase(name, "Content-Length") || EqualNoCase(name, "Transfer-Encoding")))
            return false;
        return isFixed(name) || (!listed.empty() && listed.count(AsciiLowerCase(name)) > 0);
    };
    std::vector<bool> drop(size_t(header->FieldCount()));
    int removed = 0;
    for (int i = 0; i < header->FieldCount(); ++i)
        removed += (drop[size_t(i)] = isHopByHop(header->Fields(i)->GetName()));
    if (removed == 0)
        return 0;
    // One pass into a fresh header: deleting in place would move the rest every time.
    auto kept = std::make_unique<THeader>();
    for (int i = 0; i < header->FieldCount(); ++i)
        if (!drop[size_t(i)])
            kept->AddFieldObject(header->Fields(i)->Duplicate());
    message.SetHeader(std::move(kept));
    return removed;
}

int NormalizeFieldLines(AhttpMessage& message) {
    THeader* header = message.HeaderOrNull();
    auto isField = [](const AHeaderField* f) { return !dynamic_cast<const TInvalidField*>(f); };
    // Nearly every message has only fields: then nothing is copied.
    bool allFields = true;
    for (int i = 0; header && allFields && i < header->FieldCount(); ++i)
        allFields = isField(header->Fields(i));
    if (allFields)
        return 0;
    auto kept = std::make_unique<THeader>();
    AHeaderField* last = nullptr; // the field a folded line continues, or none
    int changed = 0;
    for (int i = 0; i < header->FieldCount(); ++i) {
        AHeaderField* field = header->Fields(i);
        if (isField(field)) {
            kept->AddFieldObject(field->Duplicate());
            last = kept->Fields(kept->FieldCount() - 1);
            continue;
        }
        ++changed;
        const std::string& raw = static_cast<TInvalidField*>(field)->RawLine();
        bool folded = !raw.empty() && (raw[0] == ' ' || raw[0] == '\t');
        if (!folded)
            last = nullptr;
        else if (last)
            last->SetBody(last->GetBody() + " " + std::string(TrimControlsAndSpace(raw)));
    }
    message.SetHeader(std::move(kept));
    return changed;
}

// --- ThttpProxyServerClient -------------------------------------------------------------------

ThttpProxyServerClient::ThttpProxyServerClient(ThttpProxyServer* server)
    : AhttpServerClient(server), FProxyServer(server) {}

ThttpProxyServerClient::~ThttpProxyServerClient() {
    WaitLetGo();
    DropHeldNextHop(); // nothing: Execute gave it up on its thread
}

void ThttpProxyServerClient::Execute() {
    if (!Terminated())
        GetStream()->Socket()->SetAllowHalfClose(true);
    // The held connection lives on this thread's loop: it leaves before the thread lets go
    // of the client, whatever ends the loop.
    try {
        AhttpServerClient::Execute();
    } catch (...) {
        PoolHeldNextHop();
        throw;
    }
    PoolHeldNextHop();
}

void ThttpProxyServerClient::RequestStart() {
    AhttpServerClient::RequestStart();
    TSocketStream* stream = GetStream();
    if (!FHeld.Socket || !stream)
        return;
    int timeout = stream->Timeout;
    stream->Timeout = kHttpProxyHoldNextHopMs;
    bool asked = stream->Reader().WaitForData(1);
    stream->Timeout = timeout;
    // Held over many requests answered here (never forwarded), it would age unseen: the
    // pool closes it once it is past its time.
    if (!asked || FProxyServer->IdleConnections().Now() - FHeldSince > kIdleMaxMs)
        PoolHeldNextHop();
}

void ThttpProxyServerClient::PoolHeldNextHop() {
    if (!FHeld.Socket)
        return;
    // Out of this thread's loop first (ReleaseIdle closes one with bytes left in it).
    TIdleConnection idle = Terminated() ? TIdleConnection{} : ReleaseIdle(*FHeld.Socket);
    if (idle)
        FProxyServer->IdleConnections().Put(FHeldKey, idle, FHeldSince);
    DropHeldNextHop();
}

void ThttpProxyServerClient::DropHeldNextHop() {
    CloseGracefully(FHeld.Socket.get()); // nothing when it went to the pool
    FHeld.Stream.reset();
    FHeld.Socket.reset();
}

TOutboundConnection ThttpProxyServerClient::TakeNextHop(const std::string& key,
                                                        const TOutboundRoute& next,
                                                        const TOutboundOptions& options) {
    TIdleConnections& pool = FProxyServer->IdleConnections();
    if (FHeld.Socket && FHeldKey == key) {
        if (pool.Now() - FHeldSince <= kIdleMaxMs && KeptUsable(*FHeld.Socket) &&
            SocketIdleAndOpen(FHeld.Socket->SocketHandle())) {
            TOutboundConnection held = std::move(FHeld);
            ApplyOutboundOptions(held, options);
            return held;
        }
        DropHeldNextHop();
    }
    PoolHeldNextHop();
    TIdleConnection idle = pool.Take(key);
    return idle ? AdoptOutbound(idle, next, options) : TOutboundConnection{};
}

void ThttpProxyServerClient::RequestHeaderReceived() {
    ThttpRequest& request = *Request;
    std::string value;
    if (THeader* header = request.HeaderOrNull()) {
        value = header->GetFieldBody("Proxy-Connection");
        if (TrimWhiteSpace(value).empty())
            value = header->GetFieldBody("Connection");
    }
    if (ListHasToken(value, "close"))
        KeepAlive = false;
    else if (ListHasToken(value, "keep-alive"))
        KeepAlive = true;
    ForwardKeepAlive = request.GetMethod() != "CONNECT";
    if (request.GetProtocol().empty() && IsKnownMethod(request.GetMethod())) {
        request.SetProtocol("HTTP");
        request.SetMajorVersion(1);
        request.SetMinorVersion(0);
        request.GetHeader().SetFieldBody("X-Version-Warning",
                                         "Request was upgraded from a pre-HTTP/1.0 request.");
    }
    AhttpServerClient::RequestHeaderReceived();
    // The login is known from the head: a refused one is answered before any body is read.
    if (!Response && !Terminated())
        CheckLogin();
}

void ThttpProxyServerClient::CheckLogin() {
    ThttpProxyServer& server = *FProxyServer;
    if (!server.RequireAuth.load())
        return;
    std::string credentials = Request->GetBasicProxyCredentials();
    size_t colon = credentials.find(':');
    std::string user = credentials.substr(0, colon);
    std::string password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
    bool valid = true;
    if (server.OnValidateLogin)
        server.OnValidateLogin(this, user, password, valid);
    if (!valid) {
        SendErrorResponse(407, "Proxy authentication required", "Access to proxy server denied.",
                          "Invalid login credentials.");
        Response->SetProxyAuthenticate(kHttpProxyAuthenticate);
    }
}

void ThttpProxyServerClient::ProcessRequest() {
    AhttpServerClient::ProcessRequest();
    if (Response || Terminated())
        return;
    ThttpProxyServer& server = *FProxyServer;
    DecodeURL(Request->GetURI(), URLProtocol, URLHost, URLPath);
    SplitHostPort(URLHost, TargetHost, TargetPort, "80");
    FConnectAddresses.clear();
    FClientLeft = false;
    FConnectFailed = false;
    FConnectError = 0;
    // Credentials in the target are not for the next hop (RFC 9110 section 4.2.4), and left
    // in the host they would go on in its "Host" field.
    if (HasUserInfo(Request->GetURI())) {
        SendErrorResponse(400, "Bad request", "The target holds a user name or password.",
                          "A target is written without \"user:password@\".");
        return;
    }
    // Any other scheme would go out as plain HTTP: what was meant for TLS (a cookie, say)
    // would cross the network in clear. HTTPS passes through CONNECT.
    if (Request->GetMethod() != "CONNECT" && !IsHttpScheme(URLProtocol)) {
        SendErrorResponse(400, "Bad request", "Only http:// targets are forwarded.",
                          "Secure pages are reached through a tunnel (CONNECT).");
        return;
    }
    ThttpProxyRoute route;
    int64_t startedAt = MonotonicMillis();
    try {
        Tunnel = false;
        ForwardToProxy = false;
        if (!server.OnGetConnection || !server.OnGetConnection(this, route) || Terminated())
            return; // the handler's own response, or none (the connection then ends)
        if (IsLoop(route)) {
            server.LoopsRefused.fetch_add(1);
            Tunnel = false;
            SendErrorResponse(508, "Request loop", "The request is addressed to this proxy.",
                              "A proxy does not forward requests to itself.");
            return;
        }
        TLocalTargetCheck::TOutcome target = CheckedLocalTarget(route);
        if (target == TLocalTargetCheck::RefusedAsLocal) {
            Tunnel = false;
            SendErrorResponse(403, "Target not allowed",
                              "The requested host is on this proxy's own machine.",
                              "Contact the administrator of this proxy server for more "
                              "information.");
            return;
        }
        if (Terminated()) {
            Response.reset(); // ending while a lookup of the checks ran: nobody to answer
            return;
        }
        if (target == TLocalTargetCheck::Unresolved) {
            // Looked up again to connect, a name could answer otherwise the second time (one
            // that failed first, then gave loopback, would get past the check).
            Tunnel = false;
            SendErrorResponse(502, "Page not available", "Requested page could not be retrieved.",
                              "The host name could not be resolved.");
            return;
        }
        startedAt = MonotonicMillis();
        if (Tunnel)
            OpenTunnel(route);
        else
            Forward(route);
    } catch (const std::exception& e) {
        if (Terminated()) {
            Response.reset();
            return;
        }
        if (FClientLeft) {
            // Nobody to answer: the connection ends here, and its slot with it.
            Log(ltInfo, "Client left before the answer came");
            Response.reset();
            KeepAlive = false;
            return;
        }
        Log(ltError, std::string("Error retrieving page: ") + e.what());
        int status = FailureStatus(startedAt, route.TimeOut);
        Tunnel = false;
        SendErrorResponse(status, "Page not available", "Requested page could not be retrieved.",
                          "Internal server error.");
    }
}

bool ThttpProxyServerClient::ClientLeft() {
    const TSocketStream* stream = GetStream();
    if (!stream || !stream->Connected())
        return true;
    return stream->Socket()->ReceiveEnded();
}

int ThttpProxyServerClient::FailureStatus(int64_t startedAt, int timeOut) const {
    const TTCPClientSocket* socket =
        HttpClient ? HttpClient->Socket() : TunnelConnection.Socket.get();
    if (!socket && !FConnectFailed)
        return 500; // it never got as far as a connection attempt
    int code = socket ? socket->ErrorCode() : FConnectError;
    if (code == SOCKET_ERR_TIMEOUT || code == WSAETIMEDOUT)
        return 504;
    // Still connected with nothing more said, the whole time-out long: the answer never came.
    bool silent = socket && socket->State() == ssConnected && !socket->ReceiveEnded();
    if (silent && timeOut > 0 && MonotonicMillis() - startedAt >= timeOut)
        return 504;
    return 502;
}

bool ThttpProxyServerClient::LocalTargetResolvedHere(const ThttpProxyRoute& route) const {
    return !route.Socks5.InUse() && (Tunnel || !route.HttpProxy.InUse());
}

TLocalTargetCheck::TOutcome
ThttpProxyServerClient::CheckedLocalTarget(const ThttpProxyRoute& route) {
    if (route.AllowLocalTargets)
        return TLocalTargetCheck::Allowed;
    const ThttpProxyServer& server = *FProxyServer;
    TLocalTargetCheck check = CheckLocalTarget(
        TargetHost, LocalTargetResolvedHere(route),
        [&] { return server.ClientOnThisMachine(RemoteAddr()); }, [this] { return Terminated(); });
    FConnectAddresses = std::move(check.ConnectAddresses);
    return check.Outcome;
}

bool ThttpProxyServerClient::IsLoop(const ThttpProxyRoute& route) {
    std::string host = TargetHost, port = TargetPort;
    if (route.Socks5.InUse()) {
        host = TrimWhiteSpace(route.Socks5.Host);
        port = TrimWhiteSpace(route.Socks5.Port);
    } else if (!Tunnel && route.HttpProxy.InUse()) {
        host = TrimWhiteSpace(route.HttpProxy.Host);
        port = TrimWhiteSpace(route.HttpProxy.Port);
    }
    // The request has passed through this program twice already, on connections it opened
    // itself (a port mapping onto this proxy used as a target, say), and would go round again.
    // One pass is a mapping that merely exposes this proxy. The connection's count does not
    // change while it lasts: asked once, for its first request.
    // Its peer and port are known: the system is asked only when a connection of ours may
    // have come from that peer.
    if (FArrivalPasses < 0)
        if (const TSocketStream* stream = GetStream())
            FArrivalPasses = ArrivalPasses(stream->Socket()->SocketHandle(), RemoteAddr(),
                                           FProxyServer->BoundPort());
    if (FArrivalPasses >= kLoopPasses)
        return true;
    // Only a request to our own port can be a loop: no lookup for any other.
    if (ParseIntDef(port, -1) != int(FProxyServer->BoundPort()) || host.empty())
        return false;
    TSocketAddrArray addresses;
    uint32_t literal4 = 0;
    TSocketAddr literal;
    int errorCode = 0;
    if (IsNumericIP4Host(host, literal4))
        addresses = {TSocketAddr::IP4(literal4)};
    else if (IsIPLiteral(host, literal))
        addresses = {UnmapIP4(literal)};
    // A name on a worker with the installed resolver, as the local target check looks it up:
    // ending the service never waits for a slow lookup. One that fails, or was stopped, is
    // no loop (the connection attempt reports it).
    else if (!LookupHostUnless(host, [this] { return Terminated(); }, addresses, errorCode) ||
             errorCode != 0)
        return false;
    return ListensAtAnyOf(FProxyServer->LocalHost(), addresses);
}

bool ThttpProxyServerClient::ListensAtAnyOf(const std::string& listen,
                                            const TSocketAddrArray& addresses) {
    // Empty listens on both families, and so may "::"; a name (which the socket layer
    // resolves) is judged as every interface, as it always was.
    TSocketAddr at;
    bool literal = !listen.empty() && IsIPLiteral(listen, at);
    bool unspecified = literal && at.Addr == TSocketAddr{}.Addr;
    auto everyInterface = [&](TIPAddressFamily family) {
        return !literal ||
               (unspecified && (at.AddrFamily == family || at.AddrFamily == TIPAddressFamily::iaIP6));
    };
    std::optional<TIP4AddrArray> local4;
    std::optional<TSocketAddrArray> local6;
    for (const TSocketAddr& a : addresses) {
        if (everyInterface(a.AddrFamily)) {
            if (a.AddrFamily == TIPAddressFamily::iaIP4) {
                if (!local4)
                    local4 = LocalIP4Addresses();
                if (IsThisMachineIP4(a.AddrIP4(), *local4))
                    return true;
            } else {
                if (!local6)
                    local6 = LocalIP6Addresses();
                if (IsLocalTargetAddress(a, *local6))
                    return true;
            }
        } else if (a.AddrFamily == at.AddrFamily &&
                   (a.Addr == at.Addr || a.Addr == TSocketAddr{}.Addr)) {
            return true; // the address listened at, or the unspecified one that reaches it
        }
    }
    return false;
}

void ThttpProxyServerClient::Forward(const ThttpProxyRoute& route) {
    ThttpProxyServer& server = *FProxyServer;
    // The body moves to the forwarded request rather than being copied: a large upload is
    // held once.
    std::string body = Request->ReleaseContentString();
    std::unique_ptr<ThttpRequest> forward = Request->DuplicateRequest();
    forward->AdoptContentString(std::move(body));
    NormalizeFieldLines(*forward);
    RemoveHopByHopFields(*forward, {"Proxy-Authorization", "Proxy-Authenticate"}, false);
    if (!URLHost.empty())
        SetHostFromTarget(forward->GetHeader(), URLHost);

    HttpClient = std::make_unique<ThttpClient>();
    if (route.HttpProxy.InUse())
        ForwardToProxy = true;
    HttpClient->SetHost(TargetHost);
    HttpClient->SetPort(TargetPort);
    HttpClient->TimeOut = route.TimeOut;
    HttpClient->ReadEventTrigger = kHttpProxyOutboundBuffer;
    HttpClient->WriteBufferLimit = kHttpProxyOutboundBuffer;
    // A client that leaves while its request waits frees its slot at once, not after the
    // time-out.
    HttpClient->GiveUpWaiting = [this] { return FClientLeft = FClientLeft || ClientLeft(); };
    if (server.OnPrepareForward)
        server.OnPrepareForward(this, HttpClient.get());

    THeader& header = forward->GetHeader();
    if (server.UpdateXForwardedFor.load()) {
        std::string address = SocketAddrStr(RemoteAddr());
        if (!IsLoopbackOrAnyText(address))
            header.SetFieldBody("X-Forwarded-For",
                                AddForwardedFor(header.GetFieldBody("X-Forwarded-For"), address));
    }
    if (server.UpdateVia.load()) {
        const std::string& listen = server.LocalHost();
        if (!listen.empty() && !IsLoopbackOrAnyText(listen))
            header.SetFieldBody("Via", AddViaEntry(header.GetFieldBody("Via"), listen,
                                                   forward->GetProtocol(),
                                                   forward->GetMajorVersion(),
                                                   forward->GetMinorVersion(),
                                                   server.ServerString()));
    }
    bool simple = forward->IsHTTP() && IsSimpleMethod(forward->GetMethod());
    if (ForwardToProxy) {
        if (simple && URLProtocol.empty())
            forward->SetURI("http://" + Request->GetURI());
        else
            forward->SetUseProxyForm(true);
        header.SetFieldBody("Proxy-Connection", ForwardKeepAlive ? "Keep-Alive" : "close");
    } else {
        if (simple && (!URLProtocol.empty() || !URLHost.empty()))
            forward->SetURI(URLPath.empty() ? std::string("/") : URLPath);
        header.SetFieldBody("Connection", ForwardKeepAlive ? "Keep-Alive" : "close");
    }

    TOutboundRoute next{HttpClient->Host(), HttpClient->Port(), route.Socks5, route.HttpProxy, FConnectAddresses};
    TOutboundOptions options;
    options.TimeOut = HttpClient->TimeOut;
    options.ReadEventTrigger = HttpClient->ReadEventTrigger;
    options.WriteBufferLimit = HttpClient->WriteBufferLimit;
    options.ThrottleRead = HttpClient->ThrottleRead;
    options.ReadThrottleRate = HttpClient->ReadThrottleRate;
    options.ThrottleWrite = HttpClient->ThrottleWrite;
    options.WriteThrottleRate = HttpClient->WriteThrottleRate;
    options.GiveUp = HttpClient->GiveUpWaiting;
    FIdleKey = IdleKey(next);
    FKeepNextHop = false;
    FNextHopBodyFramed = false;
    TOutboundConnection kept = TakeNextHop(FIdleKey, next, options);
    FNextHopReused = bool(kept.Socket);
    auto adopt = [&](TOutboundConnection connection) {
        FReceivedBefore = connection.Socket->TotalBytesReceived();
        HttpClient->SetStream(std::move(connection.Stream), std::move(connection.Socket));
        // The adopted socket names the address connected to (an up-stream proxy's, or the
        // target a kept connection served before): the request names this one.
        HttpClient->SetHost(next.Host);
        HttpClient->SetPort(next.Port);
    };
    adopt(FNextHopReused ? std::move(kept) : OpenNextHop(next, options));
    if (route.HttpProxy.InUse()) {
        // The HTTP proxy learns the target from the request: the address connected to, when
        // one was judged, and the proxy's own login.
        forward->SetUseProxyForm(true);
        if (route.HttpProxy.UseAuth)
            header.SetFieldBody("Proxy-Authorization",
                                "Basic " + Base64Encode(route.HttpProxy.Login + ":" +
                                                        route.HttpProxy.Password));
    }
    HttpClient->ContentMode = hcmStream;
    HttpClient->Options = hcoRawChunked | hcoLineModeHeader;
    HttpClient->SetRequest(std::move(forward));
    try {
        HttpClient->SetActive(true);
    } catch (const std::exception& e) {
        if (!MaySendAgain())
            throw;
        // The next hop closed the kept connection as the request went: once more, over a
        // new one (RFC 9112 section 9.3.1).
        Log(ltInfo, std::string("Kept connection closed before the answer (") + e.what() +
                        "): the request is sent again over a new one");
        FNextHopReused = false;
        adopt(OpenNextHop(next, options));
        HttpClient->SetActive(true);
    }
    if (FNextHopReused)
        server.ReusedConnections.fetch_add(1);
    // The answer has come: its body is read while it is written to the client, whose
    // leaving then shows as a failed write.
    if (TSocketStream* stream = HttpClient->GetStream())
        stream->GiveUp = nullptr;
    SetResponse(HttpClient->TakeResponse());
    if (Terminated()) {
        Response.reset();
        return;
    }
    if (!Response) {
        Log(ltError, "No response");
        return;
    }
    if (server.OnResponseReceived)
        server.OnResponseReceived(this);
    Response->AutoDate = false;
    Response->ContentCopyBlockSize = kHttpProxyRelayBuffer;
    std::string connection;
    if (THeader* h = Response->HeaderOrNull()) {
        connection = h->GetFieldBody("Connection");
        if (TrimWhiteSpace(connection).empty())
            connection = h->GetFieldBody("Proxy-Connection");
    }
    if (ListHasToken(connection, "close") || Response->IsContentUntilClose())
        ForwardKeepAlive = false;
    FKeepNextHop = ForwardKeepAlive && AnswerKeepsConnection(*Response, connection);
    FNextHopBodyFramed = FKeepNextHop && Response->GetBodyFraming().Kind != ThttpBodyKind::None;
    TakeArrivedBody();
}

void ThttpProxyServerClient::TakeArrivedBody() {
    const TTCPClientSocket* socket = HttpClient->Socket();
    ThttpBodyFraming framing = Response->GetBodyFraming();
    if (!socket || framing.Kind != ThttpBodyKind::Sized || framing.Length <= 0 ||
        framing.Length > kOneWriteMessageSize || socket->BufferUsed() < size_t(framing.Length))
        return;
    // All there: read without a wait, and the next hop's connection is done with.
    Response->GetContentString();
    FNextHopBodyFramed = false;
}

bool ThttpProxyServerClient::MaySendAgain() const {
    const TTCPClientSocket* socket = HttpClient ? HttpClient->Socket() : nullptr;
    const ThttpRequest* request = HttpClient ? HttpClient->Request() : nullptr;
    // Closed or ended by the next hop without a byte of an answer: not silent (a time-out
    // is no stale connection), not a client that left.
    return FNextHopReused && !FClientLeft && !Terminated() && socket && request &&
           socket->TotalBytesReceived() == FReceivedBefore &&
           (socket->State() != ssConnected || socket->ReceiveEnded()) &&
           socket->ErrorCode() != SOCKET_ERR_TIMEOUT && socket->ErrorCode() != WSAETIMEDOUT &&
           IsIdempotentMethod(request->GetMethod());
}

bool ThttpProxyServerClient::NextHopReusable() {
    if (!FKeepNextHop || Terminated() || !Response || !HttpClient || !HttpClient->Socket())
        return false;
    // The answer's body was read to the end its framing gives (a client that left midway
    // leaves it unread).
    return !FNextHopBodyFramed || Response->GetContentStream()->IsEOF();
}

bool ThttpProxyServerClient::WatchClientAfterHead() const {
    return !Request || Request->GetMethod() != "CONNECT";
}

void ThttpProxyServerClient::OpenTunnel(const ThttpProxyRoute& route) {
    TOutboundOptions options;
    options.TimeOut = route.TimeOut;
    options.ConnectUnwatched = true; // a relay takes it as it stands
    // A client gone before its tunnel stands (reset, or closed) frees its slot at once; one
    // that ended its sending may wait on for its answer, and is waited for a while only
    // (TSocketStream::Client).
    auto closed = [this] {
        const TSocketStream* stream = GetStream();
        return !stream || !stream->Connected();
    };
    options.GiveUp = [this, closed] { return FClientLeft = FClientLeft || closed(); };
    if (const TSocketStream* stream = GetStream())
        options.Client = stream->Socket(); // this thread's, as is the connect
    try {
        TunnelConnection =
            OpenNextHop({TargetHost, TargetPort, route.Socks5, {}, FConnectAddresses}, options);
    } catch (const EOutbound& e) {
        // A reset that ended the connect is told as the client's leaving, not as a failure.
        FClientLeft = FClientLeft || closed() || e.ClientReset;
        throw;
    }
    TunnelConnection.Stream->GiveUp = nullptr; // the relay's waits are its own
}

TOutboundConnection ThttpProxyServerClient::OpenNextHop(const TOutboundRoute& next,
                                                        const TOutboundOptions& options) {
    try {
        return OpenOutbound(next, options);
    } catch (const EOutbound& e) {
        FConnectFailed = e.Attempted;
        FConnectError = e.ErrorCode;
        throw;
    }
}

void ThttpProxyServerClient::PrepareResponseRange() {
    // A proxy passes ranges on; it never serves one itself, and a 206 goes on as it came
    // (as a 200 the client would take the piece for the whole).
    Response->SetRequest(*Request);
    Response->RangeStart = -1;
    Response->RangeEnd = -1;
    Response->RangeAsSent = true;
}

void ThttpProxyServerClient::PrepareResponse() {
    AhttpServerClient::PrepareResponse();
    ThttpResponse& response = *Response;
    if (response.IsContentUntilClose())
        KeepAlive = false;
    NormalizeFieldLines(response);
    RemoveHopByHopFields(response, {"Close"}, true);
    bool proxyConnection = Request->HeaderOrNull() && Request->GetHeader().HasField("Proxy-Connection");
    response.GetHeader().SetFieldBody(proxyConnection ? "Proxy-Connection" : "Connection",
                                      KeepAlive ? "Keep-Alive" : "close");
}

void ThttpProxyServerClient::ResponseSentHook() {
    AhttpServerClient::ResponseSentHook();
    if (Terminated() || !Tunnel || !Response || !Response->IsSuccess())
        return;
    KeepAlive = false;
    TSocketStream* outbound = TunnelConnection.Stream.get();
    if (!outbound || !outbound->Connected())
        return;
    // The tunnel is a request being served until it ends, and what a relay loop sends the
    // client counts as sent (relayed here, the client's stream counts it).
    AhttpServer* server = FProxyServer;
    server->ActiveRequests.fetch_add(1);
    RelayTunnel(*outbound, kHttpProxyRelayBuffer, [server](const TRelayTotals& totals) {
        if (!totals.OnOwnThread)
            server->TotalBytesSent.fetch_add(uint64_t(totals.SentTo[0]));
        server->ActiveRequests.fetch_sub(1);
    });
}

void ThttpProxyServerClient::RequestDone() {
    AhttpServerClient::RequestDone();
    ReleaseConnection();
}

void ThttpProxyServerClient::ReleaseConnection() {
    bool reusable = NextHopReusable();
    FKeepNextHop = false;
    // The response's body reads from the outbound connection.
    if (Response && HttpClient)
        Response->SetContentStream(nullptr);
    if (HttpClient && HttpClient->Socket()) {
        TOutboundConnection kept;
        if (reusable && KeptUsable(*HttpClient->Socket()))
            HttpClient->ReleaseStream(kept.Stream, kept.Socket);
        if (kept.Socket) {
            PoolHeldNextHop(); // none: the last was taken for this request
            FHeldKey = FIdleKey;
            FHeld = std::move(kept);
            FHeldSince = FProxyServer->IdleConnections().Now();
        } else {
            CloseGracefully(HttpClient->Socket());
        }
    }
    CloseGracefully(TunnelConnection.Socket.get());
    if (HttpClient)
        try {
            HttpClient->Terminate();
        } catch (const std::exception&) {
            // Going anyway.
        }
    HttpClient.reset();
    TunnelConnection = {};
    Tunnel = false;
    ForwardToProxy = false;
}

// --- ThttpProxyServer -------------------------------------------------------------------------

ThttpProxyServer::ThttpProxyServer() : ClientOnThisMachine(IsThisMachineClient) {}

ThttpProxyServer::~ThttpProxyServer() {
    ShutdownClients();
}

void ThttpProxyServer::TriggerActive() {
    TSocketAddr local;
    if (SocketGetSockName(ServerSocket().SocketHandle(), local) == 0)
        FBoundPort = local.Port;
    AhttpServer::TriggerActive();
}

void ThttpProxyServer::TriggerInactive() {
    FBoundPort = 0;
    AhttpServer::TriggerInactive();
    FIdleConnections.Clear();
}

std::unique_ptr<TTCPServerClient> ThttpProxyServer::CreateClient() {
    return std::make_unique<ThttpProxyServerClient>(this);
}

} // namespace corvan

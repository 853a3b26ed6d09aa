#include "net/Socks.h"

#include <arpa/inet.h>
#include <cstring>
#include <iterator>

namespace corvan {

void AppendUInt16BE(std::string& out, uint16_t value) {
    out.push_back(char(value >> 8));
    out.push_back(char(value & 0xFF));
}

uint16_t ReadUInt16BE(const char* bytes) {
    return uint16_t((uint8_t(bytes[0]) << 8) | uint8_t(bytes[1]));
}

void AppendIPv4(std::string& out, uint32_t addrNetworkOrder) {
    char bytes[4];
    std::memcpy(bytes, &addrNetworkOrder, 4);
    out.append(bytes, 4);
}

uint32_t ReadIPv4(const char* bytes) {
    uint32_t addr;
    std::memcpy(&addr, bytes, 4);
    return addr;
}

std::string Socks5Greeting(bool useAuthentication) {
    std::string out;
    out.push_back(char(kSocks5Version));
    out.push_back(1);
    out.push_back(char(useAuthentication ? kSocks5MethodUserPass : kSocks5MethodNone));
    return out;
}

namespace {
void AppendField(std::string& out, std::string_view field, const char* tooLongMessage) {
    if (field.size() > kSocks5MaxFieldLength)
        throw ESocks(tooLongMessage);
    out.push_back(char(field.size()));
    out.append(field);
}
} // namespace

std::string Socks5AuthRequest(std::string_view username, std::string_view password) {
    std::string out;
    out.push_back(char(kSocks5AuthVersion));
    AppendField(out, username, "Username too long for use with SOCKS");
    AppendField(out, password, "Password too long for use with SOCKS");
    return out;
}

std::string Socks5ConnectRequest(const TSocksDestination& destination) {
    std::string out;
    out.push_back(char(kSocks5Version));
    out.push_back(char(kSocksCmdConnect));
    out.push_back(0);
    TSocketAddr literal;
    if (destination.Host.empty()) {
        out.push_back(char(kSocks5AddrIPv4));
        AppendIPv4(out, destination.Addr);
    } else if (IsIPLiteral(destination.Host, literal) &&
               literal.AddrFamily == TIPAddressFamily::iaIP6) {
        // An IPv6 literal goes as the address it is: as a name the proxy would have to
        // resolve it, which not every proxy does.
        out.push_back(char(kSocks5AddrIPv6));
        out.append(reinterpret_cast<const char*>(literal.Addr.data()), literal.Addr.size());
    } else {
        out.push_back(char(kSocks5AddrDomain));
        AppendField(out, destination.Host, "Domain name too long for use with SOCKS");
    }
    AppendUInt16BE(out, destination.Port);
    return out;
}

const char* Socks5PhaseName(TSocks5Phase phase) {
    static const char* const names[] = {"greeting sent", "authentication sent",
                                        "request sent",  "reply head read",
                                        "done",          "failed"};
    size_t index = size_t(phase);
    return index < std::size(names) ? names[index] : "?";
}

TSocks5Negotiator::TSocks5Negotiator(bool useAuthentication, std::string username,
                                     std::string password, TSocksDestination destination)
    : FUseAuthentication(useAuthentication), FUsername(std::move(username)),
      FPassword(std::move(password)), FDestination(std::move(destination)) {}

std::string TSocks5Negotiator::Start() {
    FStarted = true;
    SetPhase(TSocks5Phase::GreetingSent);
    return Socks5Greeting(FUseAuthentication);
}

void TSocks5Negotiator::SetPhase(TSocks5Phase phase) {
    if (phase == FPhase)
        return;
    TSocks5Phase old = FPhase;
    FPhase = phase;
    if (OnPhaseChange)
        OnPhaseChange(old, phase);
}

void TSocks5Negotiator::Fail(TSocks5Progress& progress, int code, std::string text) {
    FErrorCode = code;
    FErrorText = std::move(text);
    SetPhase(TSocks5Phase::Failed);
    progress.Outcome = TSocks5Progress::Failed;
    progress.Send.clear();
    progress.Needed = 0;
    progress.ErrorCode = FErrorCode;
    progress.ErrorText = FErrorText;
}

TSocks5Progress TSocks5Negotiator::Process(std::string_view buffered) {
    TSocks5Progress progress;
    if (FPhase == TSocks5Phase::Done) {
        progress.Outcome = TSocks5Progress::Complete;
        return progress;
    }
    if (FPhase == TSocks5Phase::Failed) {
        Fail(progress, FErrorCode, FErrorText);
        return progress;
    }
    if (!FStarted)
        throw ESocks("Socks negotiation not started");

    // Takes n bytes off the front of what is buffered, or answers false with the need set.
    auto take = [&](size_t n, std::string_view& bytes) {
        if (buffered.size() < n) {
            progress.Needed = n;
            return false;
        }
        bytes = buffered.substr(0, n);
        buffered.remove_prefix(n);
        progress.Consumed += n;
        return true;
    };

    try {
        for (;;) {
            std::string_view bytes;
            switch (FPhase) {
            case TSocks5Phase::GreetingSent: {
                if (!take(2, bytes))
                    return progress;
                uint8_t method = uint8_t(bytes[1]);
                if (uint8_t(bytes[0]) != kSocks5Version ||
                    (method != kSocks5MethodNone && method != kSocks5MethodUserPass)) {
                    Fail(progress, kSocksErrorNegotiation, "Socks negotiation failed");
                    return progress;
                }
                if (method == kSocks5MethodUserPass) {
                    progress.Send += Socks5AuthRequest(FUsername, FPassword);
                    SetPhase(TSocks5Phase::AuthSent);
                } else {
                    progress.Send += Socks5ConnectRequest(FDestination);
                    SetPhase(TSocks5Phase::RequestSent);
                }
                break;
            }
            case TSocks5Phase::AuthSent:
                if (!take(2, bytes))
                    return progress;
                if (bytes[1] != 0) {
                    Fail(progress, kSocksErrorAuthentication, "Socks authentication failed");
                    return progress;
                }
                progress.Send += Socks5ConnectRequest(FDestination);
                SetPhase(TSocks5Phase::RequestSent);
                break;
            case TSocks5Phase::RequestSent: {
                // VER REP RSV ATYP and the first address byte, which for type 3 is the length.
                if (!take(5, bytes))
                    return progress;
                uint8_t type = uint8_t(bytes[3]);
                if (type == kSocks5AddrIPv4)
                    FReplyLength = 10;
                else if (type == kSocks5AddrDomain)
                    FReplyLength = size_t(uint8_t(bytes[4])) + 7;
                else if (type == kSocks5AddrIPv6)
                    FReplyLength = 22;
                else
                    throw ESocks("Socks5 Address type #" + std::to_string(type) + " not supported");
                if (FReplyLength > kSocks5MaxReplyLength) {
                    Fail(progress, kSocksErrorInvalidResponse,
                         "Invalid response from Socks server");
                    return progress;
                }
                FReply.assign(bytes);
                SetPhase(TSocks5Phase::ReplyHeadRead);
                break;
            }
            case TSocks5Phase::ReplyHeadRead: {
                if (!take(FReplyLength - FReply.size(), bytes))
                    return progress;
                FReply.append(bytes);
                uint8_t code = uint8_t(FReply[1]);
                if (code != 0) {
                    Fail(progress, kSocksErrorBase + code, "");
                    return progress;
                }
                SetPhase(TSocks5Phase::Done);
                progress.Outcome = TSocks5Progress::Complete;
                return progress;
            }
            case TSocks5Phase::Done:
            case TSocks5Phase::Failed:
                return progress; // not reached: both answered above
            }
        }
    } catch (const ESocks& e) {
        TSocks5Progress ignored;
        Fail(ignored, -1, e.Message());
        throw;
    }
}

// --- TSocks5SocketProxy -----------------------------------------------------------------------

TSocks5SocketProxy::TSocks5SocketProxy(const std::string& host, const std::string& port,
                                       std::unique_ptr<ATCPClientSocketProxy> nextProxy) {
    Host = host;
    Port = port;
    NextProxy = std::move(nextProxy);
}

TSocks5SocketProxy::TSocks5SocketProxy(const TProxyServerInfo& server,
                                       std::unique_ptr<ATCPClientSocketProxy> nextProxy)
    : ATCPClientSocketProxyWithAuth(server) {
    NextProxy = std::move(nextProxy);
}

TSocks5Phase TSocks5SocketProxy::Phase() const {
    return FNegotiator ? FNegotiator->Phase() : TSocks5Phase::GreetingSent;
}

void TSocks5SocketProxy::Negotiate() {
    FNegotiator.reset();
    std::string host, port;
    GetTarget(host, port);
    if (!ResolveThroughProxy) {
        ResolveTarget(host, port); // continues in HostResolved
        return;
    }
    TSocksDestination destination;
    destination.Port = ntohs(ResolvePort(port, TIPProtocol::ipTCP));
    uint32_t literal;
    if (IsIPAddress(host, literal))
        destination.Addr = literal;
    else
        destination.Host = host;
    Start(destination);
}

void TSocks5SocketProxy::HostResolved(uint32_t address, uint16_t port) {
    if (FNegotiator)
        return; // a late answer for a negotiation already under way
    TSocksDestination destination;
    destination.Addr = address;
    destination.Port = ntohs(port);
    Start(destination);
}

void TSocks5SocketProxy::Start(const TSocksDestination& destination) {
    FNegotiator =
        std::make_unique<TSocks5Negotiator>(UseAuthentication, Username, Password, destination);
    Socket->WriteStr(FNegotiator->Start());
}

void TSocks5SocketProxy::ProcessData() {
    if (!FNegotiator)
        return; // still resolving; the reply cannot have been asked for yet
    TSocks5Progress p = FNegotiator->Process(Socket->BufferedView());
    if (p.Consumed > 0)
        Socket->Skip(static_cast<long>(p.Consumed));
    if (!p.Send.empty())
        Socket->WriteStr(p.Send);
    if (p.Outcome == TSocks5Progress::Complete)
        Complete();
    else if (p.Outcome == TSocks5Progress::Failed)
        Fail(p.ErrorCode, p.ErrorText);
}

} // namespace corvan

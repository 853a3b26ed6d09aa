#include "dns-proxy/DNSProxySystem.h"

#include "component/SettingsKeys.h"
#include "dns-proxy/DNSProxyForms.h"
#include "net/WinSock.h"
#include "util/Utils.h"

#include <arpa/inet.h>

namespace corvan {

TDNSProxySystem::TDNSProxySystem()
    : FServer(std::make_unique<TdnsUDPServer>()), FResolver(std::make_unique<TdnsResolver>()),
      FLookups(std::make_unique<TDNSSystemLookupPool>()) {
    FrameClass = [this] { return std::make_unique<TframeDNSProxyStatus>(*this); };
    FServer->OnQuery = [this](TdnsUDPServer*, const TSocketAddr& source,
                              const TdnsServerQuery& query) { HandleQuery(source, query); };
    FServer->Admission = &FAdmission;
    FAdmission.OnRefusalLog = [this](const std::string& line) { LogRefusal(line); };
    FLookups->OnResult = [this](const TDNSSystemLookupResult& r) { SystemAnswer(r); };
    FResolver->OnResponse = [this](TdnsResolver*, TdnsLookup& lookup,
                                   const TdnsResponse& response) {
        KeepUpstreamAnswers(lookup, response);
    };
}

TDNSProxySystem::~TDNSProxySystem() {
    FServer.reset();
    FResolver.reset();
    FLookups.reset();
}

void TDNSProxySystem::SettingsKeys(ASettingsKeys& keys) {
    keys.String("ServerIP", ServerIP, "");
    keys.Integer("ServerPort", ServerPort, 53);
    keys.Byte("ResolveMethod", ResolveMethod, 0, 0);
    keys.String("ResolveServer", ResolveServer, "");
    keys.Bool("RecurseServer", RecurseServer, true);
    keys.Bool("Recurse", Recurse, true);
    keys.String("AllowedClients", AllowedClients, "");
}

std::string TDNSProxySystem::StartRefusal() const {
    if (ServerPort < 1 || ServerPort > kMaxPortNumber)
        return "port " + std::to_string(ServerPort) + " is out of range";
    return TAllowedClients::ParseError(AllowedClients);
}

std::string TDNSProxySystem::ServiceTitle() const {
    return "DNS proxy on port " + std::to_string(ServerPort);
}

std::string TDNSProxySystem::BindFailureText(int errorCode, const std::string& address, int port) {
    std::string where = (address.empty() ? std::string("every address") : address) + " port " +
                        std::to_string(port);
    if (errorCode == WSAEACCES)
        return "cannot listen on " + where +
               ": ports below 1024 need root or the CAP_NET_BIND_SERVICE capability (for "
               "example: setcap cap_net_bind_service=+ep on the program), or choose a port "
               "from 1024 up in the DNS proxy settings";
    if (errorCode == WSAEADDRINUSE)
        return "cannot listen on " + where +
               ": another program holds it (often the system's own resolver, such as "
               "systemd-resolved on 127.0.0.53); set ServerIP to one address, such as "
               "127.0.0.1, or choose another port";
    return "cannot listen on " + where + ": " + WinSockErrorMessage(errorCode);
}

uint16_t TDNSProxySystem::ListeningPort() const {
    if (!Active() || FServer->SocketHandle() == INVALID_SOCKETHANDLE)
        return 0;
    TSocketAddr local;
    return SocketGetSockName(FServer->SocketHandle(), local) == 0 ? local.Port : 0;
}

void TDNSProxySystem::DoEnable() {
    std::string refusal = StartRefusal();
    if (!refusal.empty())
        throw Exception(NotStartedText(refusal));
    FServer->SetActive(false);
    FAdmission.SetAllowed(TAllowedClients::Parse(AllowedClients));
    FAdmission.ResetCount();
    FServer->SetLocalHost(ServerIP.empty() ? "0.0.0.0" : ServerIP);
    FServer->SetLocalPort(std::to_string(ServerPort));
    try {
        FServer->SetActive(true);
    } catch (const ESocket& e) {
        FServer->SetActive(false);
        throw Exception(NotStartedText(BindFailureText(e.ErrorCode, ServerIP, ServerPort)));
    }
    FRunningMethod = ResolveMethod;
    if (ResolveMethod == 1) {
        FResolver->SetActive(false);
        std::vector<std::string> servers;
        if (!ResolveServer.empty())
            servers.push_back(ResolveServer);
        FResolver->SetServers(servers);
        FResolver->Options = RecurseServer ? TdnsResolver::RecursionDesired : 0;
        FResolver->FollowReferrals = Recurse;
        try {
            FResolver->SetActive(true);
        } catch (const std::exception& e) {
            FServer->SetActive(false);
            throw Exception(NotStartedText(e.what()));
        }
    }
    FRequestCount = 0;
    FStartTime = Clock();
}

void TDNSProxySystem::DoDisable() {
    FServer->SetActive(false);
    // Lookups of this run must not answer after it: a later start may use other settings.
    FResolver->SetActive(false);
    FLookups->Clear();
    FPending.clear();
    FRequestCount = 0;
}

uint32_t TDNSProxySystem::NextQueryNumber() {
    FLastQueryNumber = FLastQueryNumber >= kMaxQueryNumber ? 1 : FLastQueryNumber + 1;
    return FLastQueryNumber;
}

void TDNSProxySystem::Answer(const TDNSProxyQuery& query, uint8_t code,
                             const std::vector<TdnsAnswerRecord>& answers,
                             const std::vector<TdnsAnswerRecord>& authority, bool truncated) {
    FServer->SendResponse(query.Source,
                          DNSBuildResponse(query.Request, query.Question, code, answers, authority,
                                           query.EDNSPayload, truncated));
}

namespace {

TdnsAnswerRecord ARecord(const std::string& owner, uint32_t address) {
    return {owner, dnsTypeA, std::string(reinterpret_cast<const char*>(&address), 4)};
}

TdnsAnswerRecord AAAARecord(const std::string& owner, const std::array<uint8_t, 16>& address) {
    return {owner, dnsTypeAAAA, std::string(reinterpret_cast<const char*>(address.data()), 16)};
}

TdnsAnswerRecord NameRecord(const std::string& owner, uint16_t type, const std::string& target) {
    return {owner, type, DNSNameWire(target)};
}

// The query types the proxy answers: with the system's lookup the address types alone; with
// the resolver every type (the up-stream server's records are passed on), the resolver
// refusing those it does not ask for.
bool AnsweredType(uint16_t type, uint8_t method) {
    return method == 1 || type == dnsTypeA || type == dnsTypeAAAA || type == dnsTypeALL;
}

} // namespace

void TDNSProxySystem::HandleQuery(const TSocketAddr& source, const TdnsServerQuery& query) {
    if (query.Questions.empty() || !Active())
        return;
    ++FRequestCount;
    TDNSProxyQuery q;
    q.Source = source;
    q.Request = query.Header;
    q.Question = query.Questions.front();
    q.EDNSPayload = query.EDNSPayload;
    const std::string& name = q.Question.Name;
    uint16_t type = q.Question.QType;
    if (!DNSNameWritable(name)) {
        Answer(q, 1); // a name that cannot be asked or repeated as it came
        return;
    }
    if (!AnsweredType(type, FRunningMethod)) {
        Answer(q, 4);
        return;
    }
    if (FPending.size() >= kMaxPendingQueries) {
        Answer(q, 2);
        return;
    }
    q.Number = NextQueryNumber();
    uint32_t number = q.Number;
    if (FRunningMethod == 1) {
        FPending[number] = q;
        try {
            FResolver->Lookup(name, type, number, [this](TdnsLookup& l) { ResolverAnswer(l); });
        } catch (const std::exception&) {
            auto it = FPending.find(number);
            if (it != FPending.end()) {
                Answer(it->second, 2);
                FPending.erase(it);
            }
        }
        return;
    }
    uint32_t address;
    if (IsIPAddress(name, address) && name.find_first_not_of("0123456789.") == std::string::npos) {
        if (type == dnsTypeAAAA)
            Answer(q, 0);
        else
            Answer(q, 0, {ARecord(name, address)});
        return;
    }
    FPending[number] = q;
    FLookups->Start(number, name, type == dnsTypeAAAA);
}

void TDNSProxySystem::SystemAnswer(const TDNSSystemLookupResult& r) {
    auto it = FPending.find(r.Tag);
    if (it == FPending.end())
        return;
    TDNSProxyQuery q = std::move(it->second);
    FPending.erase(it);
    if (r.Expired)
        return; // its client gave up long ago: forgotten, unanswered
    const std::string& owner = q.Question.Name;
    std::vector<TdnsAnswerRecord> answers;
    if (r.IPv6) {
        for (const auto& a : r.Addresses6)
            answers.push_back(AAAARecord(owner, a));
    } else {
        for (uint32_t a : r.Addresses)
            answers.push_back(ARecord(owner, a));
    }
    if (!answers.empty() || (r.IPv6 && r.ErrorCode == 0))
        Answer(q, 0, answers);
    else if (r.ErrorCode == WSATRY_AGAIN || r.ErrorCode == WSANO_RECOVERY)
        Answer(q, 2); // the system could not tell, which is not "no such name"
    else
        Answer(q, 3);
}

void TDNSProxySystem::KeepUpstreamAnswers(const TdnsLookup& lookup, const TdnsResponse& response) {
    FUpstreamAnswers.clear();
    FUpstreamTag = 0;
    if (lookup.Parent)
        return; // a sub-lookup's answers are the resolver's own business
    FUpstreamTag = lookup.Tag;
    for (const auto& r : response.Answers)
        FUpstreamAnswers.push_back(DNSPassedRecord(*r));
}

void TDNSProxySystem::ResolverAnswer(TdnsLookup& lookup) {
    std::vector<TdnsAnswerRecord> upstream;
    if (FUpstreamTag == lookup.Tag && !lookup.Parent)
        upstream = std::move(FUpstreamAnswers);
    FUpstreamAnswers.clear();
    FUpstreamTag = 0;
    auto it = FPending.find(lookup.Tag);
    if (it == FPending.end())
        return;
    TDNSProxyQuery q = std::move(it->second);
    FPending.erase(it);
    if (!lookup.Succeeded()) {
        // Only the server's "no such name" is passed on as such; a server that failed or
        // did not answer is a server failure, which clients do not remember as an answer.
        Answer(q, lookup.ErrorCode == dnsErrName ? 3 : 2);
        return;
    }
    const std::string& owner = lookup.Name;
    std::vector<TdnsAnswerRecord> answers, authority;
    switch (q.Question.QType) {
    case dnsTypeA:
        for (uint32_t a : lookup.Addresses)
            answers.push_back(ARecord(owner, a));
        if (!lookup.CanonicalName.empty())
            answers.push_back(NameRecord(owner, dnsTypeCNAME, lookup.CanonicalName));
        for (const std::string& ns : lookup.Names)
            authority.push_back(NameRecord(owner, dnsTypeNS, ns));
        break;
    case dnsTypeAAAA:
        for (const auto& a : lookup.Addresses6)
            answers.push_back(AAAARecord(owner, a));
        break;
    case dnsTypeNS:
        for (const std::string& ns : lookup.Names)
            answers.push_back(NameRecord(owner, dnsTypeNS, ns));
        break;
    case dnsTypeCNAME:
        if (!lookup.CanonicalName.empty())
            answers.push_back(NameRecord(owner, dnsTypeCNAME, lookup.CanonicalName));
        break;
    default:
        // MX, TXT, PTR, SRV...: what the up-stream server answered, as it answered it.
        answers = std::move(upstream);
        break;
    }
    // An up-stream answer cut short is passed on as cut: the client asks again another way
    // instead of taking a part of the set for all of it.
    Answer(q, 0, answers, authority, lookup.Truncated);
}

std::string TDNSProxySystem::UptimeText() const {
    return ElapsedTimeTextOfDays(Active() ? Clock() - FStartTime : 0.0);
}

bool TDNSProxySystem::EditSettings() {
    TfrmDNSProxySettings form;
    form.LoadFrom(*this);
    return RunSettingsForm(form, [&] { form.SaveTo(*this); });
}

void TDNSProxySystem::UpdateDisplay() {
    static_cast<TframeDNSProxyStatus*>(GetStatusFrame())->Update(*this);
}

} // namespace corvan

#include "dns-proxy/DNSProxySystem.h"

#include "component/SettingsKeys.h"
#include "dns-proxy/DNSProxyForms.h"
#include "net/SocketErrors.h"
#include "util/Utils.h"

#include <algorithm>

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
    keys.Integer("CacheSize", CacheSize, 10000);
    keys.Integer("CacheMaxTTL", CacheMaxTTL, 86400);
    keys.Integer("CacheMinTTL", CacheMinTTL, 0);
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
    return "cannot listen on " + where + ": " + SocketErrorText(errorCode);
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
    // Empty: every interface, over both protocols with one socket.
    FServer->SetLocalHost(ServerIP);
    FServer->SetLocalPort(std::to_string(ServerPort));
    try {
        FServer->SetActive(true);
    } catch (const ESocket& e) {
        FServer->SetActive(false);
        throw Exception(NotStartedText(BindFailureText(e.ErrorCode, ServerIP, ServerPort)));
    }
    FRunningMethod = ResolveMethod;
    // A negative setting holds nothing (size) or means no time (TTLs).
    FCache.Configure(size_t(std::max(CacheSize, 0)), uint32_t(std::max(CacheMinTTL, 0)),
                     uint32_t(std::max(CacheMaxTTL, 0)));
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
    FWaiting.clear();
    FWaitingCount = 0;
    // What was answered under these settings may not hold under the next ones.
    FCache.Clear();
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

// The smallest TTL of records; none when there are none.
uint32_t SmallestTTL(const std::vector<TdnsAnswerRecord>& records, uint32_t none) {
    if (records.empty())
        return none;
    return std::min_element(records.begin(), records.end(),
                            [](const auto& a, const auto& b) { return a.TTL < b.TTL; })
        ->TTL;
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
    TDNSCache::Key(q.Question, FKey);
    if (FCache.Find(FKey, CacheClock(), FHit)) {
        Answer(q, FHit.Code, FHit.Answers, FHit.Authority);
        return;
    }
    q.Key = FKey;
    if (PendingCount() >= kMaxPendingQueries) {
        Answer(q, 2);
        return;
    }
    if (auto waiting = FWaiting.find(q.Key); waiting != FWaiting.end()) {
        waiting->second.push_back(q);
        ++FWaitingCount;
        return;
    }
    q.Number = NextQueryNumber();
    uint32_t number = q.Number;
    if (FRunningMethod == 1) {
        FPending[number] = q;
        FWaiting[q.Key]; // before the lookup, which may end before Lookup returns
        try {
            FResolver->Lookup(name, type, number, [this](TdnsLookup& l) { ResolverAnswer(l); });
        } catch (const std::exception&) {
            auto it = FPending.find(number);
            if (it != FPending.end()) {
                TDNSProxyQuery lead = std::move(it->second);
                FPending.erase(it);
                TDNSCacheAnswer failure;
                failure.Code = 2;
                AnswerAll(lead, failure, 0);
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
    FWaiting[q.Key];
    FLookups->Start(number, name, type == dnsTypeAAAA);
}

std::vector<TDNSProxyQuery> TDNSProxySystem::TakeWaiting(const TDNSProxyQuery& query) {
    std::vector<TDNSProxyQuery> waiting;
    auto it = FWaiting.find(query.Key);
    if (it == FWaiting.end())
        return waiting;
    waiting = std::move(it->second);
    FWaiting.erase(it);
    FWaitingCount -= waiting.size();
    return waiting;
}

void TDNSProxySystem::AnswerAll(const TDNSProxyQuery& query, const TDNSCacheAnswer& answer,
                                uint32_t ttl, bool truncated) {
    // A server failure says nothing about the name, and a cut answer is not the whole set.
    if ((answer.Code == 0 || answer.Code == 3) && !truncated)
        FCache.Store(query.Key, CacheClock(), answer, ttl);
    Answer(query, answer.Code, answer.Answers, answer.Authority, truncated);
    for (const TDNSProxyQuery& q : TakeWaiting(query))
        Answer(q, answer.Code, answer.Answers, answer.Authority, truncated);
}

void TDNSProxySystem::SystemAnswer(const TDNSSystemLookupResult& r) {
    auto it = FPending.find(r.Tag);
    if (it == FPending.end())
        return;
    TDNSProxyQuery q = std::move(it->second);
    FPending.erase(it);
    if (r.Expired) {
        // Its client gave up long ago, and those who asked the same while it waited in the
        // queue have waited nearly as long: forgotten, unanswered.
        TakeWaiting(q);
        return;
    }
    const std::string& owner = q.Question.Name;
    TDNSCacheAnswer answer;
    if (r.IPv6) {
        for (const auto& a : r.Addresses6)
            answer.Answers.push_back(AAAARecord(owner, a));
    } else {
        for (uint32_t a : r.Addresses)
            answer.Answers.push_back(ARecord(owner, a));
    }
    if (!answer.Answers.empty() || (r.IPv6 && r.ErrorCode == 0))
        answer.Code = 0;
    else if (r.ErrorCode == WSATRY_AGAIN || r.ErrorCode == WSANO_RECOVERY)
        answer.Code = 2; // the system could not tell, which is not "no such name"
    else
        answer.Code = 3;
    // The system's lookup tells no TTL: held as long as the one it is answered with.
    AnswerAll(q, answer, answer.Answers.empty() ? TDNSCache::kDefaultNegativeTTL : kDNSAnswerTTL);
}

void TDNSProxySystem::KeepUpstreamAnswers(const TdnsLookup& lookup, const TdnsResponse& response) {
    FUpstreamAnswers.clear();
    FUpstreamAuthority.clear();
    FUpstreamTag = 0;
    if (lookup.Parent)
        return; // a sub-lookup's answers are the resolver's own business
    FUpstreamTag = lookup.Tag;
    for (const auto& r : response.Answers)
        FUpstreamAnswers.push_back(DNSPassedRecord(*r));
    for (const auto& r : response.Authority)
        FUpstreamAuthority.push_back(DNSPassedRecord(*r));
}

void TDNSProxySystem::ResolverAnswer(TdnsLookup& lookup) {
    std::vector<TdnsAnswerRecord> upstream, upstreamAuthority;
    if (FUpstreamTag == lookup.Tag && !lookup.Parent) {
        upstream = std::move(FUpstreamAnswers);
        upstreamAuthority = std::move(FUpstreamAuthority);
    }
    FUpstreamAnswers.clear();
    FUpstreamAuthority.clear();
    FUpstreamTag = 0;
    auto it = FPending.find(lookup.Tag);
    if (it == FPending.end())
        return;
    TDNSProxyQuery q = std::move(it->second);
    FPending.erase(it);
    // Held no longer than the up-stream server's records last; a negative answer as long
    // as its SOA says.
    uint32_t negativeTTL = TDNSCache::NegativeTTL(upstreamAuthority);
    uint32_t positiveTTL = SmallestTTL(upstream, kDNSAnswerTTL);
    TDNSCacheAnswer answer;
    if (!lookup.Succeeded()) {
        // Only the server's "no such name" is passed on as such; a server that failed or
        // did not answer is a server failure, which clients do not remember as an answer.
        answer.Code = lookup.ErrorCode == dnsErrName ? 3 : 2;
        AnswerAll(q, answer, negativeTTL);
        return;
    }
    const std::string& owner = lookup.Name;
    std::vector<TdnsAnswerRecord>& answers = answer.Answers;
    std::vector<TdnsAnswerRecord>& authority = answer.Authority;
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
    AnswerAll(q, answer, answers.empty() ? negativeTTL : positiveTTL, lookup.Truncated);
}

std::string TDNSProxySystem::UptimeText() const {
    return ElapsedTimeTextOfDays(Active() ? Clock() - FStartTime : 0.0);
}

bool TDNSProxySystem::EditSettings() {
    TfrmDNSProxySettings form;
    form.LoadFrom(*this);
    if (!RunSettingsForm(form, [&] { form.SaveTo(*this); }))
        return false;
    // Answers got under the old settings (another up-stream server) are not given again.
    FCache.Clear();
    return true;
}

void TDNSProxySystem::UpdateDisplay() {
    static_cast<TframeDNSProxyStatus*>(GetStatusFrame())->Update(*this);
}

} // namespace corvan

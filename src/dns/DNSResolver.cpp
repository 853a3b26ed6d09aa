#include "dns/DNSResolver.h"

#include "net/SocketHostLookup.h"
#include "util/Random.h"
#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <exception>

namespace corvan {

namespace {

constexpr int kResolverTimerInterval = 250;
// Tries at a fresh random identifier before giving up; with at most a quarter of the
// identifier space in use, failing this often is practically impossible.
constexpr int kIdentifierTries = 64;

// A strict dotted quad of decimal numbers 0..255.
bool ParseDottedQuad(const std::string& s, uint8_t (&parts)[4]) {
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= s.size() || s[pos] != '.')
                return false;
            ++pos;
        }
        size_t start = pos;
        unsigned value = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 3)
            value = value * 10 + unsigned(s[pos++] - '0');
        if (pos == start || value > 255)
            return false;
        parts[i] = uint8_t(value);
    }
    return pos == s.size();
}

std::vector<std::array<uint8_t, 16>> AAAAAddresses(const TdnsRecordList& records,
                                                   std::string_view name) {
    std::vector<std::array<uint8_t, 16>> result;
    for (const auto& r : records)
        if (r->Header.RType == dnsTypeAAAA && r->Header.Data.size() == 16 &&
            DNSSameName(r->Header.Name, name)) {
            std::array<uint8_t, 16> a;
            std::memcpy(a.data(), r->Header.Data.data(), 16);
            result.push_back(a);
        }
    return result;
}

} // namespace

TdnsServerInfo* TdnsServerList::Find(std::string_view name) {
    for (TdnsServerInfo& s : Items)
        if (DNSSameName(s.Name, name))
            return &s;
    return nullptr;
}

TdnsResolver::TdnsResolver() = default;

TdnsResolver::~TdnsResolver() {
    std::unique_lock<std::mutex> lock(FLock);
    if (FActive)
        DeactivateLocked();
    try {
        Deliver(lock);
    } catch (const std::exception&) {
        // a destructor raises nothing
    }
}

void TdnsResolver::SetServers(std::vector<std::string> servers) {
    std::lock_guard<std::mutex> lock(FLock);
    FServers = std::move(servers);
}

std::vector<std::string> TdnsResolver::Servers() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FServers;
}

bool TdnsResolver::Active() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FActive;
}

size_t TdnsResolver::LookupCount() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FLookups.size();
}

uint64_t TdnsResolver::DroppedResponses() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FDropped;
}

std::vector<uint16_t> TdnsResolver::LocalPorts() const {
    std::lock_guard<std::mutex> lock(FLock);
    std::vector<uint16_t> ports;
    for (const auto& [serial, socket] : FSockets) {
        TSocketAddr local;
        if (socket.Client->SocketHandle() != INVALID_SOCKETHANDLE &&
            SocketGetSockName(socket.Client->SocketHandle(), local) == 0)
            ports.push_back(local.Port);
    }
    return ports;
}

void TdnsResolver::SetActive(bool value) {
    std::unique_lock<std::mutex> lock(FLock);
    if (value && !FActive)
        ActivateLocked();
    else if (!value && FActive)
        DeactivateLocked();
    Deliver(lock);
}

void TdnsResolver::Deliver(std::unique_lock<std::mutex>& lock) {
    std::vector<TCallout> callouts;
    callouts.swap(FCallouts);
    lock.unlock();
    // Every callout runs even when one raises; the first exception goes on afterwards.
    std::exception_ptr first;
    for (TCallout& c : callouts) {
        try {
            switch (c.Kind) {
            case TCallout::Activated:
                if (OnActivated)
                    OnActivated(this);
                break;
            case TCallout::Deactivated:
                if (OnDeactivated)
                    OnDeactivated(this);
                break;
            case TCallout::LookupEnded: {
                TdnsLookup& l = *c.Lookup;
                if (l.FCallback)
                    l.FCallback(l);
                if (l.Succeeded())
                    ReportSuccess(l);
                else
                    ReportFailure(l);
                break;
            }
            }
        } catch (...) {
            if (!first)
                first = std::current_exception();
        }
        c.Lookup.reset();
    }
    if (first)
        std::rethrow_exception(first);
}

bool TdnsResolver::SplitServer(const std::string& text, std::string& host, uint16_t& port) {
    std::string t(TrimWhiteSpace(text));
    port = 53;
    host = t;
    // An IPv6 address alone, or in brackets with a port: "[2001:db8::53]:5353".
    TSocketAddr literal;
    if (IsIPLiteral(t, literal)) {
        if (t.front() == '[')
            host = t.substr(1, t.size() - 2);
        return true;
    }
    size_t colon = t.rfind(':');
    if (colon == std::string::npos)
        return !host.empty();
    host = t.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    std::string p = t.substr(colon + 1);
    if (host.empty() || p.empty() || p.size() > 5 ||
        p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int n = std::stoi(p);
    if (n < 1 || n > 65535)
        return false;
    port = uint16_t(n);
    return true;
}

std::string TdnsResolver::ReverseName(const std::string& name) {
    uint8_t p[4];
    if (!ParseDottedQuad(name, p))
        return name;
    return std::to_string(p[3]) + "." + std::to_string(p[2]) + "." + std::to_string(p[1]) + "." +
           std::to_string(p[0]) + ".IN-ADDR.ARPA";
}

void TdnsResolver::ActivateLocked() {
    if (FServers.empty())
        throw EdnsResolver("No DNS server defined");
    std::vector<TSocketAddr> addresses;
    std::vector<std::string> names;
    for (const std::string& entry : FServers) {
        std::string host;
        uint16_t port;
        if (!SplitServer(entry, host, port))
            continue;
        TSocketAddr literal;
        if (IsIPLiteral(host, literal)) {
            // Either family: the query sockets are on both protocols.
            literal.Port = port;
            addresses.push_back(literal);
        } else {
            TSocketAddrArray found;
            int error = 0;
            std::string message;
            ResolveHostAllNoRaise(host, found, error, message);
            if (error != 0 || found.empty())
                continue;
            // An IPv4 address where the name has one, as before IPv6 was known here.
            addresses.push_back(FirstIP4Else(found));
            addresses.back().Port = port;
        }
        names.push_back(SocketAddrStr(addresses.back()) + ":" + std::to_string(port));
    }
    if (addresses.empty())
        throw EdnsResolver("No valid DNS server");
    if (!FTimer) {
        auto timer = std::make_unique<TTimerHandle>();
        timer->SetTimerInterval(kResolverTimerInterval);
        timer->OnTimer = [this](TTimerHandle*) { HandleTimer(); };
        FTimer = std::move(timer);
    }
    FTimer->SetTimerActive(true);
    FServerAddresses = std::move(addresses);
    FServerNames = std::move(names);
    FActive = true;
    FCallouts.push_back(TCallout{TCallout::Activated, nullptr});
}

void TdnsResolver::DeactivateLocked() {
    FActive = false;
    if (FTimer)
        FTimer->SetTimerActive(false);
    FByIdentifier.clear();
    FLookups.clear();
    for (auto& [serial, socket] : FSockets)
        RetireSocket(std::move(socket.Client));
    FSockets.clear();
    FServerAddresses.clear();
    FServerNames.clear();
    FCallouts.push_back(TCallout{TCallout::Deactivated, nullptr});
}

uint64_t TdnsResolver::TakeSocket() {
    if (FSockets.size() < kDNSMaxQuerySockets) {
        try {
            auto client = std::make_unique<TdnsUDPClient>();
            uint64_t serial = FNextSocket++;
            client->OnResponse = [this, serial](TdnsUDPClient* sender, const TdnsResponseInfo& info,
                                                TdnsResponse& response) {
                HandleResponse(sender, serial, info, response);
            };
            client->OnParseError = [this](TdnsUDPClient*, const std::string&, const EdnsError&) {
                std::lock_guard<std::mutex> lock(FLock);
                ++FDropped;
            };
            // Port 0: the system picks a random free port for each new socket.
            client->EnsureBound();
            FSockets.emplace(serial, TQuerySocket{std::move(client), 0});
            return serial;
        } catch (const std::exception&) {
            // No socket to be had now (descriptors): share an open one if there is any.
        }
    }
    if (FSockets.empty())
        return 0;
    auto it = FSockets.begin();
    std::advance(it, SecureRandomUInt16() % FSockets.size());
    return it->first;
}

void TdnsResolver::ReleaseSockets(TdnsLookup& lookup) {
    for (const TdnsLookup::TSent& sent : lookup.FSent) {
        auto it = FSockets.find(sent.Socket);
        if (it == FSockets.end() || --it->second.Users > 0)
            continue;
        RetireSocket(std::move(it->second.Client));
        FSockets.erase(it);
    }
    lookup.FSent.clear();
}

void TdnsResolver::RetireSocket(std::unique_ptr<TdnsUDPClient> client) {
    // A socket whose read loop called us reads on after we return: it must outlive that.
    if (std::find(FReading.begin(), FReading.end(), client.get()) != FReading.end())
        FRetired.push_back(std::move(client));
}

void TdnsResolver::DropRetiredSockets() {
    std::erase_if(FRetired, [this](const std::unique_ptr<TdnsUDPClient>& c) {
        return std::find(FReading.begin(), FReading.end(), c.get()) == FReading.end();
    });
}

uint16_t TdnsResolver::NewIdentifier() const {
    for (int i = 0; i < kIdentifierTries; ++i) {
        uint16_t id = SecureRandomUInt16();
        if (!FByIdentifier.count(id))
            return id;
    }
    throw EdnsResolver("Too many lookups in progress");
}

TdnsLookup* TdnsResolver::Lookup(const std::string& name, uint16_t qtype, uint32_t tag,
                                 TdnsLookupCallback callback) {
    if (name.empty())
        throw EdnsResolver("Empty name");
    if (qtype == dnsTypeWKS || qtype == dnsTypeAXFR)
        throw EdnsResolver("Query type not supported");
    std::unique_lock<std::mutex> lock(FLock);
    TdnsLookup* lookup = nullptr;
    try {
        if (!FActive)
            ActivateLocked();
        lookup = StartLookup(ReverseName(name), qtype, tag, std::move(callback), nullptr);
        uint64_t serial = lookup->FSerial;
        SendStep(*lookup);
        if (!FLookups.count(serial))
            lookup = nullptr; // ended already; its callback runs below
    } catch (...) {
        Deliver(lock);
        throw;
    }
    Deliver(lock);
    return lookup;
}

TdnsLookup* TdnsResolver::StartLookup(const std::string& name, uint16_t qtype, uint32_t tag,
                                      TdnsLookupCallback callback, TdnsLookup* parent) {
    if (FLookups.size() >= MaxLookups)
        throw EdnsResolver("Too many lookups in progress");
    auto lookup = std::make_unique<TdnsLookup>();
    TdnsLookup& l = *lookup;
    l.Resolver = this;
    l.Parent = parent;
    l.Depth = parent ? parent->Depth + 1 : 0;
    l.Name = name;
    l.QType = qtype;
    l.Identifier = NewIdentifier();
    l.Tag = tag;
    l.FCallback = std::move(callback);
    l.StartTime = MonotonicMillis();
    l.LastSendTime = l.StartTime;
    for (size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1))
        if (dot + 1 < name.size())
            l.ParentDomains.emplace_back(name.substr(dot + 1), false);
    for (size_t i = 0; i < FServerAddresses.size(); ++i) {
        TdnsServerInfo s;
        s.Name = FServerNames[i];
        s.Addresses = {FServerAddresses[i]};
        s.Tried = {false};
        s.State = TdnsServerInfo::ssKnown;
        s.Configured = true;
        l.Servers.Items.push_back(std::move(s));
    }
    l.FSerial = FNextSerial++;
    FByIdentifier[l.Identifier] = &l;
    FLookups.emplace(l.FSerial, std::move(lookup));
    return &l;
}

TdnsLookup* TdnsResolver::StartSubLookup(const std::string& name, uint16_t qtype,
                                         TdnsLookup& lookup) {
    try {
        return StartLookup(name, qtype, 0, nullptr, &lookup);
    } catch (const EdnsResolver&) {
        return nullptr; // a full table (or no identifier left)
    }
}

bool TdnsResolver::AncestorHasServer(const TdnsLookup& lookup, std::string_view name) const {
    for (const TdnsLookup* a = lookup.Parent; a; a = a->Parent)
        if (const_cast<TdnsLookup*>(a)->Servers.Find(name))
            return true;
    return false;
}

void TdnsResolver::SendQuery(TdnsLookup& lookup, TdnsServerInfo& server, size_t index) {
    server.Tried[index] = true;
    SendDatagram(lookup, server.Addresses[index], server.Configured && (Options & RecursionDesired),
                 true);
}

void TdnsResolver::SendDatagram(TdnsLookup& lookup, TSocketAddr to, bool rd, bool edns) {
    std::string query;
    try {
        TdnsWriter w(kDNSQueryBufferSize);
        DNSWriteQueryHeader(w, lookup.Identifier, 0, rd);
        DNSWriteRawQuestion(w, TdnsRawQuestion{lookup.Name, lookup.QType, dnsClassIN});
        if (edns) {
            DNSWriteOPTRecord(w, kDNSResolverEDNSPayload);
            w.PatchWord(10, 1); // ARCOUNT
        }
        query = w.Data();
    } catch (const EdnsError&) {
        return; // a name that cannot be written; the time-out ends the lookup
    }
    uint64_t socket = TakeSocket();
    if (socket == 0)
        return; // the next retry tries the next server
    TQuerySocket& qs = FSockets.at(socket);
    ++qs.Users;
    lookup.FSent.push_back(TdnsLookup::TSent{to, socket, rd, edns});
    qs.Client->SendQuery(to, query);
}

void TdnsResolver::SendStep(TdnsLookup& lookup) {
    lookup.LastSendTime = MonotonicMillis();
    if (lookup.Ended())
        return;
    auto& items = lookup.Servers.Items;
    for (int level = lookup.Servers.Level; level >= 0; --level) {
        for (size_t i = items.size(); i-- > 0;) {
            TdnsServerInfo& s = items[i];
            if (s.Level != level)
                continue;
            for (size_t a = 0; a < s.Addresses.size(); ++a)
                if (!s.Tried[a]) {
                    SendQuery(lookup, s, a);
                    return;
                }
        }
        bool waiting = false;
        for (size_t i = items.size(); i-- > 0;) {
            TdnsServerInfo& s = items[i];
            if (s.Level != level || !s.Addresses.empty())
                continue;
            waiting = waiting || s.State == TdnsServerInfo::ssLookingUp;
            if (s.State != TdnsServerInfo::ssNoAddress || !FollowReferrals ||
                AncestorHasServer(lookup, s.Name) ||
                lookup.Depth >= kDNSMaxSubLookupDepth)
                continue;
            TdnsLookup* sub = StartSubLookup(s.Name, dnsTypeA, lookup);
            if (!sub) {
                s.State = TdnsServerInfo::ssLookupFailed; // no room: as if its lookup failed
                continue;
            }
            s.State = TdnsServerInfo::ssLookingUp;
            sub->FForServer = s.Name;
            SendStep(*sub);
            return;
        }
        // An address of this level is still being looked up: its answer runs this again.
        if (waiting)
            return;
    }
    for (auto& [domain, tried] : lookup.ParentDomains) {
        if (tried || !FollowReferrals || AncestorHasServer(lookup, domain) || lookup.Depth >= kDNSMaxSubLookupDepth)
            continue;
        tried = true;
        TdnsLookup* sub = StartSubLookup(domain, dnsTypeNS, lookup);
        if (!sub)
            continue; // no room: as if its lookup failed
        sub->FForDomain = true;
        SendStep(*sub);
        return;
    }
    Finish(lookup, TdnsLookup::lsFailed,
           lookup.FLastResponseError ? lookup.FLastResponseError : int(dnsErrLookup));
}

void TdnsResolver::Finish(TdnsLookup& lookup, uint8_t state, int errorCode) {
    auto node = FLookups.extract(lookup.FSerial);
    if (node.empty())
        return; // ended before
    lookup.State = state;
    lookup.ErrorCode = state == TdnsLookup::lsSucceeded ? 0 : errorCode;
    FByIdentifier.erase(lookup.Identifier);
    ReleaseSockets(lookup);
    // Its sub-lookups served only it: they end with it, silently.
    DropSubLookups(lookup);
    FCallouts.push_back(TCallout{TCallout::LookupEnded, std::move(node.mapped())});
    if (lookup.Parent)
        SubLookupDone(lookup);
}

void TdnsResolver::DropSubLookups(TdnsLookup& lookup) {
    std::vector<uint64_t> subs;
    for (auto& [serial, other] : FLookups)
        if (other->Parent == &lookup)
            subs.push_back(serial);
    for (uint64_t serial : subs) {
        auto node = FLookups.extract(serial);
        if (node.empty())
            continue;
        FByIdentifier.erase(node.mapped()->Identifier);
        ReleaseSockets(*node.mapped());
        DropSubLookups(*node.mapped());
    }
}

void TdnsResolver::SubLookupDone(TdnsLookup& sub) {
    TdnsLookup& parent = *sub.Parent;
    if (parent.Ended() || !FLookups.count(parent.FSerial))
        return;
    if (!sub.FForServer.empty()) {
        if (TdnsServerInfo* s = parent.Servers.Find(sub.FForServer)) {
            if (sub.Succeeded() && !sub.Addresses.empty()) {
                s->Addresses.clear();
                for (uint32_t a : sub.Addresses)
                    s->Addresses.push_back(TSocketAddr::IP4(a, ReferralPort));
                s->Tried.assign(s->Addresses.size(), false);
                s->State = TdnsServerInfo::ssKnown;
            } else {
                s->State = TdnsServerInfo::ssLookupFailed;
            }
        }
    } else if (sub.FForDomain && sub.Succeeded() && !sub.Names.empty() &&
               parent.Servers.Level < kDNSMaxReferralLevel) {
        int level = ++parent.Servers.Level;
        for (size_t i = 0; i < sub.Names.size(); ++i)
            AddServer(parent, sub.Names[i], level,
                      i < sub.NameAddresses.size() ? sub.NameAddresses[i] : TIP4AddrArray{});
    }
    SendStep(parent);
}

void TdnsResolver::AddServer(TdnsLookup& lookup, const std::string& name, int level,
                             const TIP4AddrArray& addresses) {
    TdnsServerInfo* s = lookup.Servers.Find(name);
    if (!s) {
        if (lookup.Servers.Items.size() >= kDNSMaxServersPerLookup)
            return;
        lookup.Servers.Items.push_back(TdnsServerInfo{});
        s = &lookup.Servers.Items.back();
        s->Name = name;
        s->Level = level;
    }
    for (uint32_t a : addresses) {
        TSocketAddr addr = TSocketAddr::IP4(a, ReferralPort);
        if (std::find(s->Addresses.begin(), s->Addresses.end(), addr) != s->Addresses.end())
            continue;
        s->Addresses.push_back(addr);
        s->Tried.push_back(false);
        s->State = TdnsServerInfo::ssKnown;
    }
}

void TdnsResolver::HandleResponse(TdnsUDPClient* client, uint64_t socket,
                                  const TdnsResponseInfo& info, TdnsResponse& response) {
    std::unique_lock<std::mutex> lock(FLock);
    FReading.push_back(client);
    DropRetiredSockets();
    // However this ends, client's read loop is no longer ours to guard.
    struct TReadingGuard {
        TdnsResolver& R;
        std::unique_lock<std::mutex>& Lock;
        TdnsUDPClient* Client;
        ~TReadingGuard() {
            if (!Lock.owns_lock())
                Lock.lock();
            auto it = std::find(R.FReading.rbegin(), R.FReading.rend(), Client);
            if (it != R.FReading.rend())
                R.FReading.erase(std::next(it).base());
        }
    } guard{*this, lock, client};
    ProcessResponseLocked(lock, socket, info, response);
    Deliver(lock);
}

void TdnsResolver::ProcessResponseLocked(std::unique_lock<std::mutex>& lock, uint64_t socket,
                                         const TdnsResponseInfo& info, TdnsResponse& response) {
    auto it = FByIdentifier.find(response.Header.ID);
    if (it == FByIdentifier.end()) {
        ++FDropped;
        return;
    }
    TdnsLookup& lookup = *it->second;
    auto sent =
        std::find_if(lookup.FSent.begin(), lookup.FSent.end(), [&](const TdnsLookup::TSent& s) {
            return s.To == info.Sender && s.Socket == socket;
        });
    bool sameQuestion = info.HasQuestion && DNSSameName(info.Question.Name, lookup.Name) &&
                        info.Question.QType == lookup.QType && info.Question.QClass == dnsClassIN;
    if (sent == lookup.FSent.end() || !sameQuestion) {
        ++FDropped;
        return;
    }
    if (RetryWithoutEDNS(lookup, *sent, response))
        return;
    if (OnResponse) {
        uint64_t serial = lookup.FSerial;
        lock.unlock();
        OnResponse(this, lookup, response);
        lock.lock();
        if (!FLookups.count(serial))
            return; // ended while the event ran
    }
    uint8_t code = response.Flags.RCode;
    switch (code) {
    case 0:
        if (ProcessResponse(lookup, response)) {
            lookup.Truncated = response.Flags.TC;
            Finish(lookup, TdnsLookup::lsSucceeded, 0);
            return;
        }
        break;
    case 1:
    case 2:
    case 4:
    case 5:
    case 9:
        lookup.FLastResponseError = dnsErrServerResponse + code;
        break;
    default:
        Finish(lookup, TdnsLookup::lsFailed, dnsErrServerResponse + code);
        return;
    }
    SendStep(lookup);
}

bool TdnsResolver::RetryWithoutEDNS(TdnsLookup& lookup, const TdnsLookup::TSent& sent,
                                    const TdnsResponse& response) {
    uint8_t code = response.Flags.RCode;
    if (!sent.EDNS || (code != 1 && code != 4))
        return false;
    for (const auto& r : response.Additional)
        if (r->Header.RType == dnsTypeOPT)
            return false; // it knows EDNS: the error is about the question itself
    bool retried =
        std::any_of(lookup.FSent.begin(), lookup.FSent.end(),
                    [&](const TdnsLookup::TSent& s) { return s.To == sent.To && !s.EDNS; });
    // A second copy of the refusal changes nothing: the plain query is on its way.
    if (!retried) {
        lookup.LastSendTime = MonotonicMillis();
        SendDatagram(lookup, sent.To, sent.RD, false);
    }
    return true;
}

bool TdnsResolver::ProcessResponse(TdnsLookup& lookup, const TdnsResponse& r) {
    const std::string& n = lookup.Name;
    uint16_t t = lookup.QType;
    std::string ptr = DNSPTRName(r.Answers, n);
    std::string cname = DNSCanonicalName(r.Answers, n);
    if (cname.empty())
        cname = DNSCanonicalName(r.Additional, n);
    const std::string& target = cname.empty() ? n : cname;
    bool authoritative = r.Flags.AA || DNSFirstRecord<TdnsSOARecord>(r.Authority, target);

    std::vector<std::string> mxNames;
    if (t == dnsTypeMX)
        mxNames = DNSExchangeNames(r.Answers, target, true);
    std::vector<std::string> nsResult, referral;
    if (t == dnsTypeNS) {
        nsResult = DNSNameServers(r.Answers, target);
        if (nsResult.empty())
            (authoritative ? nsResult : referral) = DNSNameServers(r.Authority, target);
    } else {
        std::vector<std::string> ns = DNSNameServers(r.Authority, target);
        if (ns.empty())
            ns = DNSNameServersSharingLabel(r.Authority, target);
        (authoritative ? nsResult : referral) = std::move(ns);
    }
    TIP4AddrArray addresses = DNSAddresses(r.Answers, target);
    if (addresses.empty())
        addresses = DNSAddresses(r.Additional, target);
    auto addresses6 = AAAAAddresses(r.Answers, target);

    bool resultEmpty = true;
    switch (t) {
    case dnsTypeA:
    case dnsTypeALL:
        resultEmpty = addresses.empty();
        break;
    case dnsTypeAAAA:
        resultEmpty = addresses6.empty();
        break;
    case dnsTypeNS:
        resultEmpty = nsResult.empty();
        break;
    case dnsTypeCNAME:
        resultEmpty = cname.empty();
        break;
    case dnsTypePTR:
        resultEmpty = ptr.empty();
        break;
    case dnsTypeMX:
        resultEmpty = mxNames.empty();
        break;
    default:
        break;
    }
    bool failed = !authoritative && (t == dnsTypeALL || r.Answers.empty()) && resultEmpty;
    // A recursive server that has nothing to refer to has given its final word: the name
    // exists without records of this type.
    if (failed && referral.empty() && r.Flags.RA)
        failed = false;
    if (!failed) {
        lookup.CanonicalName = cname;
        lookup.PTRName = ptr;
        switch (t) {
        case dnsTypeA:
        case dnsTypeALL:
            lookup.Addresses = addresses;
            break;
        case dnsTypeAAAA:
            lookup.Addresses6 = addresses6;
            break;
        case dnsTypeNS:
        case dnsTypeMX:
            lookup.Names = t == dnsTypeNS ? nsResult : mxNames;
            for (const std::string& name : lookup.Names)
                lookup.NameAddresses.push_back(DNSAddresses(r.Additional, name));
            break;
        default:
            break;
        }
        if (t == dnsTypeA && !nsResult.empty()) {
            // The name servers of an address answer go with it (the DNS proxy shows them).
            lookup.Names = nsResult;
            for (const std::string& name : lookup.Names)
                lookup.NameAddresses.push_back(DNSAddresses(r.Additional, name));
        }
        return true;
    }
    if (referral.empty() || !FollowReferrals || lookup.Servers.Level >= kDNSMaxReferralLevel)
        return false;
    int level = ++lookup.Servers.Level;
    for (const std::string& name : referral)
        AddServer(lookup, name, level, {});
    for (TdnsServerInfo& s : lookup.Servers.Items) {
        if (s.Configured)
            continue;
        TIP4AddrArray glue = DNSAddresses(r.Additional, s.Name);
        if (!glue.empty())
            AddServer(lookup, s.Name, s.Level, glue);
    }
    return false;
}

void TdnsResolver::HandleTimer() {
    std::unique_lock<std::mutex> lock(FLock);
    DropRetiredSockets();
    if (LookupTimeout < 1 && RetryInterval < 1)
        return;
    int64_t now = MonotonicMillis();
    std::vector<uint64_t> serials;
    serials.reserve(FLookups.size());
    for (auto it = FLookups.rbegin(); it != FLookups.rend(); ++it)
        serials.push_back(it->first);
    for (uint64_t serial : serials) {
        auto it = FLookups.find(serial);
        if (it == FLookups.end())
            continue;
        TdnsLookup& l = *it->second;
        if (LookupTimeout > 0 && now - l.StartTime > LookupTimeout)
            Finish(l, TdnsLookup::lsFailed, dnsErrLookupTimedOut);
        else if (RetryInterval > 0 && now - l.LastSendTime > RetryInterval)
            SendStep(l);
    }
    Deliver(lock);
}

void TdnsResolver::ReportSuccess(TdnsLookup& lookup) {
    if (OnLookupComplete)
        OnLookupComplete(lookup.Tag, lookup);
    if (OnAddressFound)
        for (uint32_t a : lookup.Addresses)
            OnAddressFound(lookup.Tag, a);
    if (OnAddressesFound)
        OnAddressesFound(lookup.Tag, lookup.Addresses);
    if (OnNameFound)
        for (const std::string& n : lookup.Names)
            OnNameFound(lookup.Tag, n);
    if (OnNamesFound)
        OnNamesFound(lookup.Tag, lookup.Names);
}

void TdnsResolver::ReportFailure(TdnsLookup& lookup) {
    if (OnLookupFailed)
        OnLookupFailed(lookup.Tag, lookup.ErrorCode);
}

} // namespace corvan

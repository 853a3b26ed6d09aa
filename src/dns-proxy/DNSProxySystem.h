#pragma once
// The DNS proxy service as a settings component ("Proxy-DNS"): a UDP server on ServerIP and
// ServerPort that answers the first question of each query, resolved with the operating
// system's name lookup (ResolveMethod 0, on a bounded worker pool: A, AAAA and ALL; other
// types are "not implemented") or through the DNS server ResolveServer with the resolver
// (ResolveMethod 1: A, AAAA, NS and CNAME answers made from the lookup's results, every other
// type answered with the up-stream answer's records as received). Every answer repeats the
// question.
//
// Answers are held in a cache (DNSCache.h) of CacheSize entries and given again from it while
// their time lasts; server failures, time-outs and answers cut short (TC) are not held.
// Queries for a question whose lookup is running wait for that lookup instead of starting
// their own: at most one up-stream query per question at a time, so a flood of queries gives
// an off-path attacker no more outstanding queries to match forged answers against.
//
// Bounds: at most kMaxPendingQueries queries wait for their lookup (those waiting for another
// query's lookup included); beyond it, and for a lookup that cannot be started, the query is
// answered at once with "server failure".
// Main thread only (the server, the resolver's timer and the lookup results all run there).

#include "component/ServiceComponent.h"
#include "dns-proxy/DNSCache.h"
#include "dns-proxy/DNSSystemLookup.h"
#include "dns/DNSResolver.h"
#include "dns/DNSServer.h"
#include "util/DateTime.h"
#include "util/Ticks.h"

#include <cstdint>
#include <unordered_map>

namespace corvan {

// One query waiting for its answer.
struct TDNSProxyQuery {
    uint32_t Number = 0;
    TSocketAddr Source;
    TdnsHeader Request; // identifier, flags, counts as received
    TdnsRawQuestion Question;
    uint16_t EDNSPayload = 0; // as the query stated; 0 without EDNS
    std::string Key;          // TDNSCache::Key of the question
};

class TDNSProxySystem : public TServiceComponent {
public:
    // Queries waiting at once at most; more are answered with response code 2 at once.
    static constexpr size_t kMaxPendingQueries = 4096;
    // The query number after this one is 1.
    static constexpr uint32_t kMaxQueryNumber = 2147483647;

    TDNSProxySystem();
    ~TDNSProxySystem() override;

    std::string ClassName() const override { return "TDNSProxySystem"; }

    std::string ServerIP;  // listening address; empty: every local address
    int ServerPort = 53;
    uint8_t ResolveMethod = 0; // 0: the system's name lookup; 1: through ResolveServer
    std::string ResolveServer; // host or address, optionally ":port"
    bool RecurseServer = true; // RD in queries to ResolveServer
    // Follow referrals and look for the servers of parent domains; off, only ResolveServer's
    // own answers count.
    bool Recurse = true;
    // Who may ask (net/AllowedClients.h); empty: this machine and the local networks. An
    // open resolver is abused for reflection attacks, so strangers are refused by default.
    std::string AllowedClients;
    // Answers held at most (0: no cache; above TDNSCache::kMaxEntries cut to it), and the
    // range in seconds every held TTL is brought into.
    int CacheSize = 10000;
    int CacheMaxTTL = 86400;
    int CacheMinTTL = 0;

    // The local clock of the up-time; tests replace it.
    std::function<TDateTime()> Clock = Now;
    // The monotonic milliseconds the cache counts TTLs by; tests replace it.
    std::function<int64_t()> CacheClock = MonotonicMillis;

    uint32_t RequestCount() const { return FRequestCount; }
    // Queries refused since the start (client not in AllowedClients); 0 while stopped.
    uint64_t RefusedCount() const { return Active() ? FAdmission.RefusedCount() : 0; }
    // Queries waiting for an answer: for their own lookup or for another query's.
    size_t PendingCount() const { return FPending.size() + FWaitingCount; }
    // Queries answered from the cache since the start, and the answers it holds now.
    uint64_t CacheHits() const { return FCache.Hits(); }
    size_t CachedNames() const { return FCache.Size(); }
    uint32_t LastQueryNumber() const { return FLastQueryNumber; }
    // Tests start the numbering elsewhere to see it wrap.
    void SetLastQueryNumber(uint32_t value) { FLastQueryNumber = value; }
    std::string UptimeText() const;
    // The port the running server listens on (0 while stopped).
    uint16_t ListeningPort() const;
    TdnsResolver& Resolver() { return *FResolver; }
    TDNSSystemLookupPool& SystemLookups() { return *FLookups; }

    // "DNS Proxy Settings" (TfrmDNSProxySettings); on OK copies the values back and saves at
    // once once loaded from a file; a running service keeps its settings until its next start
    // and empties its cache.
    bool EditSettings() override;
    void UpdateDisplay() override;
    // A ServerPort outside 1..65535; an AllowedClients entry that does not parse.
    std::string StartRefusal() const override;
    // "DNS proxy on port <ServerPort>".
    std::string ServiceTitle() const override;

    // The answer text of a failed bind: which of the two usual causes, and what to do.
    static std::string BindFailureText(int errorCode, const std::string& address, int port);

protected:
    // Binds the server (a failure raises and leaves everything stopped), then with method 1
    // activates the resolver with ResolveServer (a failure stops the server again and
    // raises); resets the request count and records the start time.
    void DoEnable() override;
    // Stops the server and the resolver, forgets every pending query and empties the cache.
    void DoDisable() override;

    // Enabled, ServerIP, ServerPort, ResolveMethod (one byte; a stored value outside 0..255
    // loads as 0), ResolveServer, RecurseServer, Recurse, AllowedClients, CacheSize,
    // CacheMaxTTL, CacheMinTTL.
    void SettingsKeys(ASettingsKeys& keys) override;
    std::vector<std::string> KeysOutsideDialog() const override {
        return {"CacheSize", "CacheMaxTTL", "CacheMinTTL"};
    }

private:
    void HandleQuery(const TSocketAddr& source, const TdnsServerQuery& query);
    void Answer(const TDNSProxyQuery& query, uint8_t code,
                const std::vector<TdnsAnswerRecord>& answers = {},
                const std::vector<TdnsAnswerRecord>& authority = {}, bool truncated = false);
    // Answers query and every query that waited for its lookup, and holds the answer for at
    // most ttl seconds unless it is a failure or truncated.
    void AnswerAll(const TDNSProxyQuery& query, const TDNSCacheAnswer& answer, uint32_t ttl,
                   bool truncated = false);
    // Forgets the queries that waited for query's lookup, unanswered.
    std::vector<TDNSProxyQuery> TakeWaiting(const TDNSProxyQuery& query);
    void SystemAnswer(const TDNSSystemLookupResult& result);
    void ResolverAnswer(TdnsLookup& lookup);
    void KeepUpstreamAnswers(const TdnsLookup& lookup, const TdnsResponse& response);
    uint32_t NextQueryNumber();

    TClientAdmission FAdmission; // before the server, which asks it until it is destroyed
    std::unique_ptr<TdnsUDPServer> FServer;
    std::unique_ptr<TdnsResolver> FResolver;
    std::unique_ptr<TDNSSystemLookupPool> FLookups;
    std::unordered_map<uint32_t, TDNSProxyQuery> FPending;
    TDNSCache FCache;
    // The key asked for and the answer found last: kept so that a hit reuses their memory
    // instead of allocating its own.
    std::string FKey;
    TDNSCacheAnswer FHit;
    // The questions (cache keys) whose lookup runs now, each with the queries that came for
    // it after the one that started it; FWaitingCount counts those queries.
    std::unordered_map<std::string, std::vector<TDNSProxyQuery>> FWaiting;
    size_t FWaitingCount = 0;
    // The answer records of the last response the resolver took for a caller's lookup, and
    // that lookup's tag (0: none): a lookup succeeds on a response, so its callback finds
    // them here. One response at most is held.
    std::vector<TdnsAnswerRecord> FUpstreamAnswers;
    std::vector<TdnsAnswerRecord> FUpstreamAuthority; // its authority records
    uint32_t FUpstreamTag = 0;
    uint32_t FLastQueryNumber = 0;
    uint32_t FRequestCount = 0;
    TDateTime FStartTime = 0;
    uint8_t FRunningMethod = 0; // ResolveMethod of the running start
};

} // namespace corvan

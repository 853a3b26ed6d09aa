#pragma once
// The DNS proxy's memory of answers: what it answered to a question (name without regard to
// ASCII case, type, class), held for the answer's time to live and given again with every
// TTL counted down by the seconds held. A name error or an empty answer is held as such for
// its negative time (RFC 2308 5). At most MaxEntries answers are held; the least recently
// used one goes to make room.
//
// Main thread only, as the DNS proxy that owns it.

#include "dns/DNSServer.h"

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvan {

// An answer as the proxy gives it: response code (0 or 3) and records with their TTLs.
struct TDNSCacheAnswer {
    uint8_t Code = 0;
    std::vector<TdnsAnswerRecord> Answers;
    std::vector<TdnsAnswerRecord> Authority;
};

class TDNSCache {
public:
    // Entries at most, whatever is configured; a larger size is cut to it.
    static constexpr size_t kMaxEntries = 1000000;
    // Bytes of records one entry holds at most, as written out uncompressed: what one DNS
    // message can carry. A larger answer is given but not held.
    static constexpr size_t kMaxEntryBytes = 65535;
    // How long a negative answer without an SOA record is held, in seconds.
    static constexpr uint32_t kDefaultNegativeTTL = 60;

    // Empties the cache, counts hits from 0 again and sets its bounds: entries (0: nothing is
    // held), and the range every TTL is brought into (a TTL above maxTTL is cut to it, below minTTL
    // raised to it; maxTTL wins where they cross).
    void Configure(size_t maxEntries, uint32_t minTTL, uint32_t maxTTL);
    bool Enabled() const { return FMaxEntries > 0; }

    // The key of a question: its name in lower case, type and class; the second form writes
    // it into key, reusing its memory.
    static std::string Key(const TdnsRawQuestion& question);
    static void Key(const TdnsRawQuestion& question, std::string& key);
    // The negative time of a name error or an empty answer from the authority records that
    // came with it: the smaller of the SOA record's TTL and its MINIMUM field, or
    // kDefaultNegativeTTL without one.
    static uint32_t NegativeTTL(const std::vector<TdnsAnswerRecord>& authority);

    // The answer held for key, TTLs counted down by the whole seconds it has been held;
    // false when none is held or its time is up (it is dropped then). A find counts as a hit
    // and makes the entry the most recently used.
    bool Find(const std::string& key, int64_t nowMillis, TDNSCacheAnswer& answer);
    // Holds answer under key for the smallest of ttl and its records' TTLs, brought into the
    // configured range; nothing is held when that is 0, the records are larger than
    // kMaxEntryBytes or the cache is off. Replaces what key held; at the bound the least
    // recently used entry goes.
    void Store(const std::string& key, int64_t nowMillis, TDNSCacheAnswer answer, uint32_t ttl);
    // Drops every entry.
    void Clear();

    size_t Size() const { return FIndex.size(); }
    uint64_t Hits() const { return FHits; }

private:
    struct TEntry {
        std::string Key;
        TDNSCacheAnswer Answer;
        int64_t StoredAt = 0;  // milliseconds
        int64_t ExpiresAt = 0; // milliseconds
    };
    uint32_t Clamp(uint32_t ttl) const;
    void Drop(std::list<TEntry>::iterator it);

    size_t FMaxEntries = 0;
    uint32_t FMinTTL = 0;
    uint32_t FMaxTTL = 0;
    uint64_t FHits = 0;
    std::list<TEntry> FOrder; // most recently used first
    std::unordered_map<std::string, std::list<TEntry>::iterator> FIndex;
};

} // namespace corvan

#include "dns-proxy/DNSCache.h"

#include "util/Strings.h"

#include <algorithm>

namespace corvan {

void TDNSCache::Configure(size_t maxEntries, uint32_t minTTL, uint32_t maxTTL) {
    Clear();
    FHits = 0;
    FMaxEntries = std::min(maxEntries, kMaxEntries);
    FMinTTL = minTTL;
    FMaxTTL = maxTTL;
}

std::string TDNSCache::Key(const TdnsRawQuestion& question) {
    std::string key;
    Key(question, key);
    return key;
}

void TDNSCache::Key(const TdnsRawQuestion& question, std::string& key) {
    key.assign(question.Name);
    for (char& c : key)
        c = AsciiLower(c);
    key.push_back(0); // no name holds a 0 byte as text, so keys cannot run into each other
    key.push_back(char(question.QType >> 8));
    key.push_back(char(question.QType & 0xFF));
    key.push_back(char(question.QClass >> 8));
    key.push_back(char(question.QClass & 0xFF));
}

uint32_t TDNSCache::NegativeTTL(const std::vector<TdnsAnswerRecord>& authority) {
    // SOA RDATA as held: two names, then SERIAL, REFRESH, RETRY, EXPIRE, MINIMUM; the last
    // four bytes are MINIMUM whatever the names.
    constexpr size_t kSOAMinimumSize = 2 + 5 * 4;
    for (const TdnsAnswerRecord& r : authority)
        if (r.Type == dnsTypeSOA && r.Data.size() >= kSOAMinimumSize)
            return std::min(r.TTL, DNSGetLong(r.Data, r.Data.size() - 4));
    return kDefaultNegativeTTL;
}

uint32_t TDNSCache::Clamp(uint32_t ttl) const {
    return std::min(std::max(ttl, FMinTTL), FMaxTTL);
}

void TDNSCache::Drop(std::list<TEntry>::iterator it) {
    FIndex.erase(it->Key);
    FOrder.erase(it);
}

bool TDNSCache::Find(const std::string& key, int64_t nowMillis, TDNSCacheAnswer& answer) {
    auto found = FIndex.find(key);
    if (found == FIndex.end())
        return false;
    auto it = found->second;
    if (nowMillis >= it->ExpiresAt) {
        Drop(it);
        return false;
    }
    FOrder.splice(FOrder.begin(), FOrder, it);
    ++FHits;
    uint32_t held = uint32_t((nowMillis - it->StoredAt) / 1000);
    answer = it->Answer;
    // The entry ends with its shortest TTL, so none of these goes below 0.
    for (auto* section : {&answer.Answers, &answer.Authority})
        for (TdnsAnswerRecord& r : *section)
            r.TTL = r.TTL > held ? r.TTL - held : 0;
    return true;
}

void TDNSCache::Store(const std::string& key, int64_t nowMillis, TDNSCacheAnswer answer,
                      uint32_t ttl) {
    if (!Enabled())
        return;
    // Owner, type, class, TTL, length, RDATA: a record as written without compression.
    constexpr size_t kRecordFixedBytes = 2 + 10;
    uint32_t lifetime = Clamp(ttl);
    size_t bytes = 0;
    for (auto* section : {&answer.Answers, &answer.Authority})
        for (TdnsAnswerRecord& r : *section) {
            r.TTL = Clamp(r.TTL);
            lifetime = std::min(lifetime, r.TTL);
            bytes += r.Owner.size() + r.Data.size() + kRecordFixedBytes;
        }
    if (auto found = FIndex.find(key); found != FIndex.end())
        Drop(found->second);
    if (lifetime == 0 || bytes > kMaxEntryBytes)
        return;
    while (FIndex.size() >= FMaxEntries)
        Drop(std::prev(FOrder.end()));
    FOrder.push_front(
        TEntry{key, std::move(answer), nowMillis, nowMillis + int64_t(lifetime) * 1000});
    FIndex.emplace(key, FOrder.begin());
}

void TDNSCache::Clear() {
    FIndex.clear();
    FOrder.clear();
}

} // namespace corvan

#include "net/AllowedClients.h"

#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

namespace corvan {

namespace {

// A decimal number of at most maxDigits digits, no sign, no leading zero (but "0" itself).
bool ParseDecimal(std::string_view s, size_t maxDigits, uint32_t& value) {
    if (s.empty() || s.size() > maxDigits || (s.size() > 1 && s[0] == '0'))
        return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return true;
}

// Four dotted decimal octets 0..255, in host byte order.
bool ParseDottedIPv4(std::string_view s, uint32_t& addr) {
    addr = 0;
    for (int octet = 0; octet < 4; ++octet) {
        size_t dot = octet < 3 ? s.find('.') : s.size();
        if (dot == std::string_view::npos)
            return false;
        uint32_t value;
        if (!ParseDecimal(s.substr(0, dot), 3, value) || value > 255)
            return false;
        addr = (addr << 8) | value;
        s.remove_prefix(octet < 3 ? dot + 1 : dot);
    }
    return s.empty();
}

std::string EntryError(std::string_view entry, const char* why) {
    return "invalid AllowedClients entry \"" + std::string(entry) + "\": " + why;
}

// An address held in network byte order (its bytes in wire order), in host byte order.
uint32_t HostOrder(uint32_t addrNetworkOrder) {
    uint8_t b[4];
    std::memcpy(b, &addrNetworkOrder, 4);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

std::string DottedText(uint32_t addrHostOrder) {
    return std::to_string(addrHostOrder >> 24) + "." + std::to_string(addrHostOrder >> 16 & 255) +
           "." + std::to_string(addrHostOrder >> 8 & 255) + "." + std::to_string(addrHostOrder & 255);
}

using TAddr6 = std::array<uint8_t, 16>;

// The first 96 bits of an IPv4-mapped IPv6 address.
constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
constexpr uint32_t kMappedPrefixBits = 96;

TAddr6 Mapped(uint32_t addrHostOrder) {
    TAddr6 a{};
    std::copy(std::begin(kMappedPrefix), std::end(kMappedPrefix), a.begin());
    for (int i = 0; i < 4; ++i)
        a[12 + i] = static_cast<uint8_t>(addrHostOrder >> (24 - 8 * i));
    return a;
}

bool IsMapped(const TAddr6& a) {
    return std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), a.begin());
}

// a with every bit after the first bits cleared.
TAddr6 Masked(TAddr6 a, uint32_t bits) {
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t keep = bits > 8 * i ? std::min<uint32_t>(bits - 8 * i, 8) : 0;
        a[i] &= static_cast<uint8_t>(0xff00u >> keep);
    }
    return a;
}

// An IPv6 literal in any of its text forms (no zone: a scope belongs to an interface, not to
// a client's address).
bool ParseIPv6(std::string_view s, TAddr6& addr) {
    if (s.empty() || s.size() > 45 || s.find(':') == std::string_view::npos)
        return false;
    return ::inet_pton(AF_INET6, std::string(s).c_str(), addr.data()) == 1;
}

std::string IPv6Text(const TAddr6& addr) {
    char text[64];
    return ::inet_ntop(AF_INET6, addr.data(), text, sizeof text) ? text : "?";
}

} // namespace

TAllowedClients::TAllowedClients() {
    std::string error;
    TAllowedClients parsed{TEmpty{}};
    // The default text is a constant that parses into blocks (it has entries, so this does
    // not come back here).
    TryParse(kDefaultAllowedClients, parsed, error);
    FBlocks = std::move(parsed.FBlocks);
}

TAllowedClients TAllowedClients::Everyone() {
    TAllowedClients list{TEmpty{}};
    list.FEveryone = true;
    return list;
}

bool TAllowedClients::TryParse(const std::string& text, TAllowedClients& list,
                               std::string& error) {
    TAllowedClients parsed{TEmpty{}};
    bool any = false;
    for (const std::string& piece : Split(text, ',')) {
        std::string_view entry = TrimBlanks(piece);
        if (entry.empty())
            continue;
        any = true;
        if (entry == "*") {
            parsed.FEveryone = true;
            continue;
        }
        size_t slash = entry.find('/');
        std::string_view address = entry.substr(0, slash);
        TAddr6 network;
        uint32_t maxBits;
        uint32_t v4;
        if (ParseDottedIPv4(address, v4)) {
            network = Mapped(v4);
            maxBits = 32;
        } else if (address.find(':') != std::string_view::npos) {
            if (!ParseIPv6(address, network)) {
                error = EntryError(entry, "not an IPv6 address (a:b::c) or block (a:b::/n)");
                return false;
            }
            maxBits = 128;
        } else {
            error = EntryError(entry, "not an IPv4 address (a.b.c.d), a block (a.b.c.d/n) or *");
            return false;
        }
        uint32_t bits = maxBits;
        if (slash != std::string_view::npos &&
            (!ParseDecimal(entry.substr(slash + 1), 3, bits) || bits > maxBits)) {
            error = EntryError(entry, maxBits == 32 ? "the prefix length after / must be 0 to 32"
                                                    : "the prefix length after / must be 0 to 128");
            return false;
        }
        if (maxBits == 32)
            bits += kMappedPrefixBits;
        parsed.FBlocks.push_back({Masked(network, bits), bits});
    }
    if (!any) {
        // Nothing given: the default, never "nobody" and never "everyone".
        list = TAllowedClients();
        return true;
    }
    if (parsed.FEveryone)
        parsed.FBlocks.clear();
    list = std::move(parsed);
    return true;
}

TAllowedClients TAllowedClients::Parse(const std::string& text) {
    TAllowedClients list{TEmpty{}};
    std::string error;
    if (!TryParse(text, list, error))
        throw EAllowedClients(error);
    return list;
}

std::string TAllowedClients::ParseError(const std::string& text) {
    TAllowedClients list{TEmpty{}};
    std::string error;
    TryParse(text, list, error);
    return error;
}

bool TAllowedClients::Allows(uint32_t addrNetworkOrder) const {
    return Allows6(Mapped(HostOrder(addrNetworkOrder)));
}

bool TAllowedClients::Allows6(const std::array<uint8_t, 16>& addr) const {
    if (FEveryone)
        return true;
    // An IPv4 client is governed by the IPv4 entries only: "::/0" means every IPv6 client,
    // not every client.
    bool v4 = IsMapped(addr);
    for (const TBlock& block : FBlocks)
        if ((!v4 || block.Bits >= kMappedPrefixBits) && Masked(addr, block.Bits) == block.Network)
            return true;
    return false;
}

bool TAllowedClients::Allows(const TSocketAddr& addr) const {
    if (FEveryone)
        return true;
    if (addr.AddrFamily == TIPAddressFamily::iaIP4)
        return Allows(addr.AddrIP4());
    // An IPv4-mapped address is matched by the IPv4 entries: the form is the same.
    if (addr.AddrFamily == TIPAddressFamily::iaIP6)
        return Allows6(addr.Addr);
    return false;
}

std::string TAllowedClients::Text() const {
    if (FEveryone)
        return "*";
    std::string text;
    for (const TBlock& block : FBlocks) {
        if (!text.empty())
            text += ", ";
        if (IsMapped(block.Network) && block.Bits >= kMappedPrefixBits) {
            uint32_t v4 = uint32_t(block.Network[12]) << 24 | uint32_t(block.Network[13]) << 16 |
                          uint32_t(block.Network[14]) << 8 | block.Network[15];
            text += DottedText(v4) + "/" + std::to_string(block.Bits - kMappedPrefixBits);
        } else {
            text += IPv6Text(block.Network) + "/" + std::to_string(block.Bits);
        }
    }
    return text;
}

// ---- TRefusalLogLimiter ----

bool TRefusalLogLimiter::ShouldLog(const TSocketAddr& addr, int64_t now) {
    TKey key{};
    key[0] = static_cast<uint8_t>(addr.AddrFamily);
    std::copy(addr.Addr.begin(), addr.Addr.end(), key.begin() + 1);
    std::lock_guard<std::mutex> lock(RefusalLogLock);
    auto it = FLastLogged.find(key);
    if (it != FLastLogged.end()) {
        if (now - it->second < FIntervalMs)
            return false;
        it->second = now;
        return true;
    }
    if (FLastLogged.size() >= FMaxAddresses) {
        std::erase_if(FLastLogged, [&](const auto& entry) { return now - entry.second >= FIntervalMs; });
        if (FLastLogged.size() >= FMaxAddresses) {
            ++FSuppressed;
            return false;
        }
    }
    FLastLogged.emplace(key, now);
    return true;
}

size_t TRefusalLogLimiter::Size() const {
    std::lock_guard<std::mutex> lock(RefusalLogLock);
    return FLastLogged.size();
}

uint64_t TRefusalLogLimiter::Suppressed() const {
    std::lock_guard<std::mutex> lock(RefusalLogLock);
    return FSuppressed;
}

// ---- TClientAdmission ----

void TClientAdmission::SetAllowed(const TAllowedClients& list) {
    std::lock_guard<std::mutex> lock(AllowedLock);
    FAllowed = list;
}

TAllowedClients TClientAdmission::Allowed() const {
    std::lock_guard<std::mutex> lock(AllowedLock);
    return FAllowed;
}

bool TClientAdmission::Admit(const TSocketAddr& addr) {
    {
        std::lock_guard<std::mutex> lock(AllowedLock);
        if (FAllowed.Allows(addr))
            return true;
    }
    FRefused.fetch_add(1, std::memory_order_relaxed);
    int64_t now = Clock ? Clock() : MonotonicMillis();
    if (OnRefusalLog && FLimiter.ShouldLog(addr, now))
        OnRefusalLog("Client " + SocketAddrStr(addr) + " refused: not in AllowedClients");
    return false;
}

} // namespace corvan

#include "net/AllowedClients.h"

#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <bit>
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

uint32_t PrefixMask(uint32_t bits) {
    return bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
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
        uint32_t addr;
        if (!ParseDottedIPv4(entry.substr(0, slash), addr)) {
            error = EntryError(entry, "not an IPv4 address (a.b.c.d), a block (a.b.c.d/n) or *");
            return false;
        }
        uint32_t bits = 32;
        if (slash != std::string_view::npos &&
            (!ParseDecimal(entry.substr(slash + 1), 2, bits) || bits > 32)) {
            error = EntryError(entry, "the prefix length after / must be 0 to 32");
            return false;
        }
        uint32_t mask = PrefixMask(bits);
        parsed.FBlocks.push_back({addr & mask, mask});
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
    if (FEveryone)
        return true;
    uint32_t addr = HostOrder(addrNetworkOrder);
    for (const TBlock& block : FBlocks)
        if ((addr & block.Mask) == block.Network)
            return true;
    return false;
}

bool TAllowedClients::Allows(const TSocketAddr& addr) const {
    if (FEveryone)
        return true;
    if (addr.AddrFamily == TIPAddressFamily::iaIP4)
        return Allows(addr.AddrIP4());
    if (addr.AddrFamily == TIPAddressFamily::iaIP6) {
        // ::ffff:a.b.c.d is an IPv4 client reaching a dual-stack socket.
        static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), addr.Addr.begin())) {
            uint32_t v4;
            std::memcpy(&v4, addr.Addr.data() + 12, 4);
            return Allows(v4);
        }
    }
    return false;
}

std::string TAllowedClients::Text() const {
    if (FEveryone)
        return "*";
    std::string text;
    for (const TBlock& block : FBlocks) {
        if (!text.empty())
            text += ", ";
        uint32_t bits = static_cast<uint32_t>(std::popcount(block.Mask));
        text += DottedText(block.Network) + "/" + std::to_string(bits);
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

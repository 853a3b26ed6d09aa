#include "dns/DNSUtils.h"

#include "util/Strings.h"

namespace corvan {

// ---- Errors ---------------------------------------------------------------------------

std::string DNSErrorMessage(int32_t code) {
    switch (code) {
    case dnsErrNone:
        return "";
    case dnsErrInternal:
        return "Internal error";
    case dnsErrInvalidParameter:
        return "Invalid parameter";
    case dnsErrInvalidBuffer:
        return "Invalid buffer";
    case dnsErrBufferOverflow:
        return "Buffer overflow";
    case dnsErrDomainNameTooLong:
        return "Domain name too long";
    case dnsErrDomainLabelTooLong:
        return "Domain label too long";
    case dnsErrStringTooLong:
        return "String too long";
    case dnsErrInvalidOpcode:
        return "Invalid opcode";
    case dnsErrServerResponse:
        return "Server error response";
    case dnsErrFormat:
        return "Format error";
    case dnsErrServerFailure:
        return "Server failure";
    case dnsErrName:
        return "Name error";
    case dnsErrNotImplemented:
        return "Not implemented";
    case dnsErrRefused:
        return "Refused";
    case dnsErrNameExists:
        return "Name exists";
    case dnsErrRRSetExists:
        return "RR set exists";
    case dnsErrRRSetNotExists:
        return "RR set does not exist";
    case dnsErrNotAuthorised:
        return "Not authorised";
    case dnsErrNotAZone:
        return "Not a zone";
    case dnsErrLookup:
        return "Lookup error";
    case dnsErrLookupTimedOut:
        return "Lookup timed out";
    }
    if (code < 10000 || code > 19999)
        return "Error " + std::to_string(code);
    int32_t hundred = code / 100 * 100;
    std::string group = (hundred >= dnsErrInternal && hundred <= dnsErrLookup)
                            ? DNSErrorMessage(hundred)
                            : "DNS error";
    return group + " (" + std::to_string(code - 10000) + ")";
}

// ---- Types ----------------------------------------------------------------------------

namespace {

constexpr uint16_t kQueryTypeNumbers[] = {dnsTypeA,    dnsTypeNS,    dnsTypeCNAME, dnsTypeWKS,
                                         dnsTypePTR,  dnsTypeHINFO, dnsTypeMX,    dnsTypeTXT,
                                         dnsTypeAXFR, dnsTypeALL};

// Type names by number 1..36; empty entries have no name.
const char* const TypeNames[] = {
    "",     "A",   "NS",   "MD",      "MF",    "CNAME", "SOA", "MB",   "MG",    "MR",
    "NULL", "WKS", "PTR",  "HINFO",   "MINFO", "MX",    "TXT", "RP",   "AFSDB", "X25",
    "ISDN", "RT",  "NSAP", "NSAPPTR", "SIG",   "KEY",   "PX",  "GPOS", "AAAA",  "LOC",
    "NXT",  "",    "",     "SRV",     "",      "NAPTR", "KX"};

} // namespace

uint16_t DNSQueryTypeNumber(TdnsQueryType type) {
    size_t index = size_t(type);
    if (index >= std::size(kQueryTypeNumbers))
        throw EdnsError(dnsErrInvalidParameter);
    return kQueryTypeNumbers[index];
}

TdnsQueryType DNSQueryTypeFromNumber(uint16_t number) {
    for (size_t i = 0; i < std::size(kQueryTypeNumbers); ++i)
        if (kQueryTypeNumbers[i] == number)
            return TdnsQueryType(i);
    throw EdnsError(dnsErrInvalidParameter);
}

std::string DNSTypeName(uint16_t number) {
    if (number < std::size(TypeNames) && (number == 0 || TypeNames[number][0] != 0))
        return TypeNames[number];
    switch (number) {
    case 252:
        return "AXFR";
    case 253:
        return "MAILB";
    case 254:
        return "MAILA";
    case 255:
        return "ALL";
    }
    return Format("R%04X", unsigned(number));
}

// ---- Flags ----------------------------------------------------------------------------

namespace {
constexpr uint16_t kFlagQR = 0x8000;
constexpr uint16_t kFlagAA = 0x0400;
constexpr uint16_t kFlagTC = 0x0200;
constexpr uint16_t kFlagRD = 0x0100;
constexpr uint16_t kFlagRA = 0x0080;
constexpr uint16_t kMaskRCode = 0x000F;
constexpr int kOpCodeShift = 11;
constexpr uint8_t kMaxOpCode = 2; // status
} // namespace

uint16_t DNSEncodeFlags(const TdnsFlags& flags) {
    if (flags.OpCode > kMaxOpCode || flags.RCode > kMaskRCode)
        throw EdnsError(dnsErrInvalidParameter);
    uint16_t w = uint16_t(flags.OpCode << kOpCodeShift) | flags.RCode;
    if (!flags.IsQuery)
        w |= kFlagQR;
    if (flags.AA)
        w |= kFlagAA;
    if (flags.TC)
        w |= kFlagTC;
    if (flags.RD)
        w |= kFlagRD;
    if (flags.RA)
        w |= kFlagRA;
    return w;
}

TdnsFlags DNSDecodeFlags(uint16_t word) {
    TdnsFlags f;
    f.OpCode = uint8_t((word >> kOpCodeShift) & 0x0F);
    if (f.OpCode > kMaxOpCode)
        throw EdnsError(dnsErrInvalidOpcode);
    f.IsQuery = (word & kFlagQR) == 0;
    f.AA = (word & kFlagAA) != 0;
    f.TC = (word & kFlagTC) != 0;
    f.RD = (word & kFlagRD) != 0;
    f.RA = (word & kFlagRA) != 0;
    f.RCode = uint8_t(word & kMaskRCode);
    return f;
}

uint16_t DNSResponseFlags(uint16_t requestFlags, uint8_t responseCode, bool authoritative) {
    if (responseCode > kMaskRCode)
        throw EdnsError(dnsErrInvalidParameter);
    uint16_t w = uint16_t(requestFlags & ~(kFlagAA | kMaskRCode)) | kFlagQR | responseCode;
    if (authoritative)
        w |= kFlagAA;
    return w;
}

// ---- Writer ---------------------------------------------------------------------------

void TdnsWriter::Need(size_t bytes) const {
    if (bytes > FCapacity - FData.size())
        throw EdnsError(dnsErrBufferOverflow);
}

void TdnsWriter::PutByte(uint8_t value) {
    Need(1);
    FData.push_back(char(value));
}

void TdnsWriter::PutWord(uint16_t value) {
    Need(2);
    FData.push_back(char(value >> 8));
    FData.push_back(char(value & 0xFF));
}

void TdnsWriter::PutLong(uint32_t value) {
    Need(4);
    PutWord(uint16_t(value >> 16));
    PutWord(uint16_t(value & 0xFFFF));
}

void TdnsWriter::PutBytes(std::string_view bytes) {
    Need(bytes.size());
    FData.append(bytes);
}

void TdnsWriter::PatchWord(size_t offset, uint16_t value) {
    if (offset > FData.size() || FData.size() - offset < 2)
        throw EdnsError(dnsErrInvalidParameter);
    FData[offset] = char(value >> 8);
    FData[offset + 1] = char(value & 0xFF);
}

void TdnsWriter::Truncate(size_t size) {
    if (size < FData.size())
        FData.resize(size);
}

namespace {

// Runs write; on failure cuts the writer back so no partial item stays behind.
template <class F> void Atomically(TdnsWriter& w, F write) {
    size_t mark = w.Size();
    try {
        write();
    } catch (...) {
        w.Truncate(mark);
        throw;
    }
}

} // namespace

void DNSWriteQueryHeader(TdnsWriter& w, uint16_t id, uint8_t opCode, bool recursionDesired) {
    TdnsFlags flags;
    flags.OpCode = opCode;
    flags.RD = recursionDesired;
    uint16_t word = DNSEncodeFlags(flags);
    Atomically(w, [&] {
        w.PutWord(id);
        w.PutWord(word);
        w.PutWord(1);
        w.PutWord(0);
        w.PutWord(0);
        w.PutWord(0);
    });
}

void DNSWriteResponseHeader(TdnsWriter& w, uint16_t id, uint16_t flags, const TdnsHeader& counts) {
    Atomically(w, [&] {
        w.PutWord(id);
        w.PutWord(flags | kFlagQR);
        w.PutWord(0);
        w.PutWord(counts.ANCount);
        w.PutWord(counts.NSCount);
        w.PutWord(counts.ARCount);
    });
}

void DNSWriteName(TdnsWriter& w, std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    if (name.size() > kDNSMaxNameLength)
        throw EdnsError(dnsErrDomainNameTooLong);
    if (name.empty()) {
        w.PutByte(0);
        return;
    }
    // Check every label before writing, so a refused name leaves nothing behind.
    std::vector<std::string_view> labels;
    for (size_t start = 0;;) {
        size_t dot = name.find('.', start);
        std::string_view label =
            name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (label.empty())
            throw EdnsError(dnsErrInvalidParameter);
        if (label.size() > kDNSMaxLabelLength)
            throw EdnsError(dnsErrDomainLabelTooLong);
        labels.push_back(label);
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    std::string wire;
    for (std::string_view label : labels) {
        wire.push_back(char(label.size()));
        wire.append(label);
    }
    wire.push_back(0);
    w.PutBytes(wire);
}

void DNSWriteQuestion(TdnsWriter& w, std::string_view name, TdnsQueryType type) {
    uint16_t number = DNSQueryTypeNumber(type);
    Atomically(w, [&] {
        DNSWriteName(w, name);
        w.PutWord(number);
        w.PutWord(dnsClassIN);
    });
}

void DNSWriteRRHeader(TdnsWriter& w, std::string_view name, uint16_t type, uint32_t ttl,
                      uint16_t dataLength) {
    Atomically(w, [&] {
        DNSWriteName(w, name);
        w.PutWord(type);
        w.PutWord(dnsClassIN);
        w.PutLong(ttl);
        w.PutWord(dataLength);
    });
}

void DNSWriteARecord(TdnsWriter& w, std::string_view name, uint32_t ttl, uint32_t address) {
    Atomically(w, [&] {
        DNSWriteRRHeader(w, name, dnsTypeA, ttl, 4);
        // Network byte order: the bytes as they lie in memory.
        w.PutBytes(std::string_view(reinterpret_cast<const char*>(&address), 4));
    });
}

namespace {
void WriteNameRecord(TdnsWriter& w, std::string_view name, uint16_t type, uint32_t ttl,
                     std::string_view target) {
    Atomically(w, [&] {
        DNSWriteRRHeader(w, name, type, ttl, 0);
        size_t lengthAt = w.Size() - 2;
        DNSWriteName(w, target);
        w.PatchWord(lengthAt, uint16_t(w.Size() - lengthAt - 2));
    });
}
} // namespace

void DNSWriteNSRecord(TdnsWriter& w, std::string_view name, uint32_t ttl,
                      std::string_view nameServer) {
    WriteNameRecord(w, name, dnsTypeNS, ttl, nameServer);
}

void DNSWriteCNAMERecord(TdnsWriter& w, std::string_view name, uint32_t ttl,
                         std::string_view canonicalName) {
    WriteNameRecord(w, name, dnsTypeCNAME, ttl, canonicalName);
}

void DNSWriteCharString(TdnsWriter& w, std::string_view text) {
    if (text.size() > kDNSMaxCharStringLength)
        throw EdnsError(dnsErrStringTooLong);
    Atomically(w, [&] {
        w.PutByte(uint8_t(text.size()));
        w.PutBytes(text);
    });
}

// ---- Reading --------------------------------------------------------------------------

namespace {

constexpr uint8_t kPointerMark = 0xC0;

// Raises 10201 unless bytes [pos, pos + count) lie inside msg.
void NeedBytes(std::string_view msg, size_t pos, size_t count) {
    if (pos > msg.size() || count > msg.size() - pos)
        throw EdnsError(dnsErrInvalidBuffer);
}

uint8_t ByteAt(std::string_view msg, size_t pos) {
    NeedBytes(msg, pos, 1);
    return uint8_t(msg[pos]);
}

} // namespace

uint16_t DNSGetWord(std::string_view msg, size_t pos) {
    NeedBytes(msg, pos, 2);
    return uint16_t(uint8_t(msg[pos]) << 8 | uint8_t(msg[pos + 1]));
}

uint32_t DNSGetLong(std::string_view msg, size_t pos) {
    return uint32_t(DNSGetWord(msg, pos)) << 16 | DNSGetWord(msg, pos + 2);
}

TdnsHeader DNSReadHeader(std::string_view msg) {
    NeedBytes(msg, 0, kDNSHeaderSize);
    TdnsHeader h;
    h.ID = DNSGetWord(msg, 0);
    h.Flags = DNSGetWord(msg, 2);
    h.QDCount = DNSGetWord(msg, 4);
    h.ANCount = DNSGetWord(msg, 6);
    h.NSCount = DNSGetWord(msg, 8);
    h.ARCount = DNSGetWord(msg, 10);
    return h;
}

size_t DNSReadName(std::string_view msg, size_t pos, std::string& name) {
    std::string result;
    size_t p = pos;
    // Start of the label run being read: a pointer must lead before it. Every jump thus
    // lands strictly lower than the last, which bounds the number of jumps.
    size_t runStart = pos;
    size_t occupied = 0; // fixed by the first pointer
    bool jumped = false;
    for (;;) {
        uint8_t len = ByteAt(msg, p);
        if (len == 0) {
            if (!jumped)
                occupied = p + 1 - pos;
            break;
        }
        if ((len & kPointerMark) == kPointerMark) {
            size_t target = size_t(len & ~kPointerMark) << 8 | ByteAt(msg, p + 1);
            if (target >= runStart)
                throw EdnsError(dnsErrInvalidBuffer);
            if (!jumped)
                occupied = p + 2 - pos;
            jumped = true;
            p = runStart = target;
            continue;
        }
        NeedBytes(msg, p + 1, len);
        if (!result.empty())
            result += '.';
        result.append(msg.substr(p + 1, len));
        if (result.size() > kDNSMaxNameLength)
            throw EdnsError(dnsErrInvalidBuffer);
        p += 1 + size_t(len);
    }
    name = std::move(result);
    return occupied;
}

size_t DNSSkipName(std::string_view msg, size_t pos) {
    for (size_t p = pos;;) {
        uint8_t len = ByteAt(msg, p);
        if (len == 0)
            return p + 1 - pos;
        if ((len & kPointerMark) == kPointerMark) {
            NeedBytes(msg, p, 2);
            return p + 2 - pos;
        }
        NeedBytes(msg, p + 1, len);
        p += 1 + size_t(len);
    }
}

size_t DNSReadQuestion(std::string_view msg, size_t pos, TdnsQuestion& question) {
    TdnsQuestion q;
    size_t n = DNSReadName(msg, pos, q.Name);
    q.QType = DNSQueryTypeFromNumber(DNSGetWord(msg, pos + n));
    q.QClass = DNSGetWord(msg, pos + n + 2);
    question = std::move(q);
    return n + 4;
}

size_t DNSReadRawQuestion(std::string_view msg, size_t pos, TdnsRawQuestion& question) {
    TdnsRawQuestion q;
    size_t n = DNSReadName(msg, pos, q.Name);
    q.QType = DNSGetWord(msg, pos + n);
    q.QClass = DNSGetWord(msg, pos + n + 2);
    question = std::move(q);
    return n + 4;
}

void DNSWriteRawQuestion(TdnsWriter& w, const TdnsRawQuestion& question) {
    size_t start = w.Size();
    try {
        DNSWriteName(w, question.Name);
        w.PutWord(question.QType);
        w.PutWord(question.QClass);
    } catch (...) {
        w.Truncate(start);
        throw;
    }
}

size_t DNSSkipQuestion(std::string_view msg, size_t pos) {
    size_t n = DNSSkipName(msg, pos);
    NeedBytes(msg, pos + n, 4);
    return n + 4;
}

size_t DNSReadRRHeader(std::string_view msg, size_t pos, TdnsRRHeader& rr) {
    TdnsRRHeader h;
    size_t n = DNSReadName(msg, pos, h.Name);
    size_t p = pos + n;
    NeedBytes(msg, p, 10);
    h.RType = DNSGetWord(msg, p);
    h.RClass = DNSGetWord(msg, p + 2);
    h.TTL = DNSGetLong(msg, p + 4);
    h.DataLength = DNSGetWord(msg, p + 8);
    h.DataOffset = p + 10;
    NeedBytes(msg, h.DataOffset, h.DataLength);
    h.Data = std::string(msg.substr(h.DataOffset, h.DataLength));
    rr = std::move(h);
    return n + 10 + rr.DataLength;
}

size_t DNSReadCharString(std::string_view msg, size_t pos, std::string& text) {
    uint8_t len = ByteAt(msg, pos);
    NeedBytes(msg, pos + 1, len);
    text = std::string(msg.substr(pos + 1, len));
    return 1 + size_t(len);
}

// ---- Whole messages -------------------------------------------------------------------

std::string DNSBuildQuery(uint16_t id, std::string_view name, TdnsQueryType type,
                          bool recursionDesired, uint8_t opCode) {
    TdnsWriter w(kDNSQueryBufferSize);
    DNSWriteQueryHeader(w, id, opCode, recursionDesired);
    DNSWriteQuestion(w, name, type);
    return w.Data();
}

TdnsQueryMessage DNSParseQuery(std::string_view msg) {
    TdnsQueryMessage q;
    q.Header = DNSReadHeader(msg);
    q.Flags = DNSDecodeFlags(q.Header.Flags);
    size_t pos = kDNSHeaderSize;
    for (uint16_t i = 0; i < q.Header.QDCount; ++i) {
        TdnsQuestion question;
        pos += DNSReadQuestion(msg, pos, question);
        q.Questions.push_back(std::move(question));
    }
    return q;
}

} // namespace corvan

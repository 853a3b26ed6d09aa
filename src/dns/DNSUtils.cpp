#include "dns/DNSUtils.h"

#include "util/Strings.h"

#include <array>

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
    case dnsErrDottedLabel:
        return "Label holds a dot";
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

void TdnsWriter::SetCapacity(size_t capacity) {
    FCapacity = capacity;
    FData.reserve(capacity);
}

std::string TdnsWriter::Take() {
    std::string data = std::move(FData);
    FData.clear();
    FSuffixes.clear();
    return data;
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
    std::erase_if(FSuffixes, [size](const auto& s) { return s.second >= size; });
}

void TdnsWriter::PutName(std::string_view wire, bool mayCompress) {
    // Where each label starts (a label takes 2 bytes at least, so a name of 255 characters
    // has at most kMaxLabels); the name must end in its 0 byte exactly.
    constexpr size_t kMaxLabels = (kDNSMaxNameLength + 1) / 2 + 1;
    std::array<size_t, kMaxLabels> starts;
    size_t labels = 0;
    size_t end = 0;
    for (;;) {
        if (end >= wire.size())
            throw EdnsError(dnsErrInvalidParameter);
        uint8_t len = uint8_t(wire[end]);
        if (len == 0)
            break;
        if (len > kDNSMaxLabelLength || labels == kMaxLabels)
            throw EdnsError(dnsErrInvalidParameter);
        starts[labels++] = end;
        end += 1 + size_t(len);
    }
    if (end + 1 != wire.size())
        throw EdnsError(dnsErrInvalidParameter);
    size_t cut = end; // labels written in full before the pointer or the final 0
    uint16_t pointer = 0;
    if (FCompress && mayCompress)
        for (size_t i = 0; i < labels; ++i)
            if (auto it = FSuffixes.find(wire.substr(starts[i])); it != FSuffixes.end()) {
                cut = starts[i];
                pointer = it->second;
                break;
            }
    constexpr uint16_t kPointer = 0xC000;        // the two top bits of a pointer
    constexpr size_t kMaxPointerOffset = 0x3FFF; // the 14 bits of its offset
    // All of it fits or nothing is written.
    Need(cut + (cut == end ? 1 : 2));
    size_t base = FData.size();
    FData.append(wire.substr(0, cut));
    if (cut == end)
        PutByte(0);
    else
        PutWord(uint16_t(kPointer | pointer));
    if (!FCompress)
        return;
    for (size_t i = 0; i < labels; ++i)
        if (starts[i] < cut && base + starts[i] <= kMaxPointerOffset)
            FSuffixes.emplace(std::string(wire.substr(starts[i])), uint16_t(base + starts[i]));
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

std::string DNSNameWire(std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    if (name.size() > kDNSMaxNameLength)
        throw EdnsError(dnsErrDomainNameTooLong);
    std::string wire;
    if (!name.empty())
        for (size_t start = 0;;) {
            size_t dot = name.find('.', start);
            std::string_view label =
                name.substr(start, dot == std::string_view::npos ? dot : dot - start);
            if (label.empty())
                throw EdnsError(dnsErrInvalidParameter);
            if (label.size() > kDNSMaxLabelLength)
                throw EdnsError(dnsErrDomainLabelTooLong);
            wire.push_back(char(label.size()));
            wire.append(label);
            if (dot == std::string_view::npos)
                break;
            start = dot + 1;
        }
    wire.push_back(0);
    return wire;
}

void DNSWriteName(TdnsWriter& w, std::string_view name) {
    // The whole name is checked before anything is written.
    w.PutName(DNSNameWire(name));
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

void DNSWriteOPTRecord(TdnsWriter& w, uint16_t payloadSize) {
    Atomically(w, [&] {
        w.PutByte(0);
        w.PutWord(dnsTypeOPT);
        w.PutWord(payloadSize);
        w.PutLong(0);
        w.PutWord(0);
    });
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

size_t DNSReadNameWire(std::string_view msg, size_t pos, std::string& wire) {
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
        result.append(msg.substr(p, 1 + size_t(len)));
        // As text: the labels with a dot between them.
        if (result.size() - 1 > kDNSMaxNameLength)
            throw EdnsError(dnsErrInvalidBuffer);
        p += 1 + size_t(len);
    }
    result.push_back(0);
    wire = std::move(result);
    return occupied;
}

size_t DNSReadName(std::string_view msg, size_t pos, std::string& name) {
    std::string wire;
    size_t occupied = DNSReadNameWire(msg, pos, wire);
    std::string result;
    for (size_t p = 0; wire[p] != 0; p += 1 + size_t(uint8_t(wire[p]))) {
        std::string_view label = std::string_view(wire).substr(p + 1, uint8_t(wire[p]));
        if (label.find('.') != std::string_view::npos)
            throw EdnsError(dnsErrDottedLabel);
        if (!result.empty())
            result += '.';
        result.append(label);
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

// ---- RDATA with names ----------------------------------------------------------------

namespace {

// A field of RDATA: a count of fixed bytes, or one of these.
constexpr int8_t kFieldName = -1;   // a domain name
constexpr int8_t kFieldString = -2; // a character string
constexpr int8_t N = kFieldName, S = kFieldString;

// The fields of the types whose RDATA holds names (RFC 1035 3.3, RFC 3597 4, RFC 2230),
// up to the first 0; bytes after the fields (a signature, a bit map) are kept as they are.
struct TRDataLayout {
    uint16_t Type;
    int8_t Fields[5];
};
constexpr TRDataLayout kRDataLayouts[] = {
    {dnsTypeNS, {N}},
    {3 /* MD */, {N}},
    {4 /* MF */, {N}},
    {dnsTypeCNAME, {N}},
    {dnsTypeSOA, {N, N, 20}},
    {7 /* MB */, {N}},
    {8 /* MG */, {N}},
    {9 /* MR */, {N}},
    {dnsTypePTR, {N}},
    {14 /* MINFO */, {N, N}},
    {dnsTypeMX, {2, N}},
    {17 /* RP */, {N, N}},
    {18 /* AFSDB */, {2, N}},
    {21 /* RT */, {2, N}},
    {24 /* SIG */, {18, N}},
    {26 /* PX */, {2, N, N}},
    {30 /* NXT */, {N}},
    {33 /* SRV */, {6, N}},
    {35 /* NAPTR */, {4, S, S, S, N}},
    {36 /* KX */, {2, N}},
};

const TRDataLayout* RDataLayout(uint16_t type) {
    for (const TRDataLayout& l : kRDataLayouts)
        if (l.Type == type)
            return &l;
    return nullptr;
}

// Walks the RDATA at [begin, end) of msg by the layout of type, handing put each piece as
// (bytes, is a name); names come uncompressed, pointers followed back into msg. Raises
// 10201 for a field that runs past end.
template <class F>
void WalkRData(std::string_view msg, size_t begin, size_t end, const TRDataLayout& layout, F put) {
    NeedBytes(msg, begin, end - begin);
    std::string_view rdata = msg.substr(0, end);
    size_t p = begin;
    for (int8_t field : layout.Fields) {
        if (field == 0)
            break;
        if (field == kFieldName) {
            std::string wire;
            p += DNSReadNameWire(rdata, p, wire);
            put(std::string_view(wire), true);
            continue;
        }
        size_t n = field == kFieldString ? 1 + size_t(ByteAt(rdata, p)) : size_t(field);
        NeedBytes(rdata, p, n);
        put(rdata.substr(p, n), false);
        p += n;
    }
    put(rdata.substr(p), false);
}

} // namespace

std::string DNSExpandRData(std::string_view msg, const TdnsRRHeader& rr) {
    const TRDataLayout* layout = RDataLayout(rr.RType);
    if (!layout)
        return rr.Data;
    std::string out;
    WalkRData(msg, rr.DataOffset, rr.DataOffset + rr.DataLength, *layout,
              [&](std::string_view bytes, bool) { out.append(bytes); });
    return out;
}

bool DNSRDataHoldsNames(uint16_t type) {
    return RDataLayout(type) != nullptr;
}

void DNSWriteRecord(TdnsWriter& w, std::string_view name, uint16_t type, uint16_t rclass,
                    uint32_t ttl, std::string_view rdata) {
    Atomically(w, [&] {
        DNSWriteName(w, name);
        w.PutWord(type);
        w.PutWord(rclass);
        w.PutLong(ttl);
        size_t lengthAt = w.Size();
        w.PutWord(0);
        if (const TRDataLayout* layout = RDataLayout(type))
            WalkRData(rdata, 0, rdata.size(), *layout, [&](std::string_view bytes, bool isName) {
                if (isName)
                    w.PutName(bytes, type <= dnsTypeMX); // the types of RFC 1035
                else
                    w.PutBytes(bytes);
            });
        else
            w.PutBytes(rdata);
        size_t length = w.Size() - lengthAt - 2;
        if (length > 0xFFFF)
            throw EdnsError(dnsErrBufferOverflow);
        w.PatchWord(lengthAt, uint16_t(length));
    });
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

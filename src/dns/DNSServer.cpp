#include "dns/DNSServer.h"

#include <algorithm>

namespace corvan {

TdnsServerQuery DNSParseServerQuery(std::string_view datagram) {
    TdnsServerQuery q;
    q.Header = DNSReadHeader(datagram);
    q.Flags = DNSDecodeFlags(q.Header.Flags);
    if (!q.Flags.IsQuery)
        throw EdnsError(dnsErrInvalidBuffer);
    size_t pos = kDNSHeaderSize;
    // Each question takes at least 5 bytes, so the count cannot claim more than the
    // datagram holds; the vector grows with what is really there.
    for (uint16_t i = 0; i < q.Header.QDCount; ++i) {
        TdnsRawQuestion question;
        try {
            pos += DNSReadRawQuestion(datagram, pos, question);
        } catch (const EdnsError& e) {
            if (e.ErrorCode != dnsErrDottedLabel)
                throw;
            q.FormatError = true;
            return q;
        }
        q.Questions.push_back(std::move(question));
    }
    // The OPT record is looked for in the additional section (RFC 6891 6.1.1). Each record
    // takes at least 11 bytes, so the counts cannot make this loop run past the datagram.
    uint32_t before = uint32_t(q.Header.ANCount) + q.Header.NSCount;
    try {
        for (uint32_t i = 0; i < before + q.Header.ARCount; ++i) {
            TdnsRRHeader rr;
            pos += DNSReadRRHeader(datagram, pos, rr);
            if (i >= before && rr.RType == dnsTypeOPT) {
                q.EDNSPayload = std::max(rr.RClass, uint16_t(kDNSPlainUDPSize));
                break;
            }
        }
    } catch (const EdnsError&) {
        q.EDNSPayload = 0;
    }
    return q;
}

TdnsAnswerRecord DNSPassedRecord(const TdnsRecord& record) {
    const TdnsRRHeader& h = record.Header;
    return {h.Name, h.RType, record.ExpandedData(), h.RClass, h.TTL};
}

bool DNSNameWritable(const std::string& name) {
    // What DNSWriteName writes and DNSReadName reads back the same, checked without building
    // either (this runs for every query): the root as "", else no final dot, at most 255
    // characters, and labels of 1 to 63.
    if (name.empty())
        return true;
    if (name.size() > kDNSMaxNameLength || name.back() == '.')
        return false;
    for (size_t start = 0;;) {
        size_t dot = name.find('.', start);
        size_t length = (dot == std::string::npos ? name.size() : dot) - start;
        if (length == 0 || length > kDNSMaxLabelLength)
            return false;
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

namespace {

// The answer's flags: the request's opcode and RD, QR set, RA set (every answer is a full
// resolution made for the client), TC when records were left out. AD and Z are not copied:
// nothing here validates signatures, and a copied AD bit would tell the client the data was
// checked. CD is given back as asked.
uint16_t ResponseFlags(const TdnsHeader& request, uint8_t code, bool truncated) {
    constexpr uint16_t kFlagCD = 0x0010;
    TdnsFlags f = DNSDecodeFlags(request.Flags);
    f.IsQuery = false;
    f.AA = false;
    f.TC = truncated;
    f.RA = true;
    f.RCode = code;
    return uint16_t(DNSEncodeFlags(f) | (request.Flags & kFlagCD));
}

} // namespace

std::string DNSBuildFormatError(const TdnsHeader& request) {
    TdnsWriter w(kDNSHeaderSize);
    w.PutWord(request.ID);
    w.PutWord(ResponseFlags(request, kDNSRcodeFormatError, false));
    for (int i = 0; i < 4; ++i)
        w.PutWord(0);
    return w.Data();
}

std::string DNSBuildResponse(const TdnsHeader& request, const TdnsRawQuestion& question,
                             uint8_t code, const std::vector<TdnsAnswerRecord>& answers,
                             const std::vector<TdnsAnswerRecord>& authority, uint16_t ednsPayload,
                             bool truncated) {
    size_t limit = ednsPayload == 0
                       ? kDNSPlainUDPSize
                       : std::clamp(size_t(ednsPayload), kDNSPlainUDPSize, kDNSMaxUDPPayload);
    TdnsWriter w(limit);
    // The records leave room for our OPT record.
    w.SetCapacity(limit - (ednsPayload ? kDNSOPTRecordSize : 0));
    w.EnableCompression();
    TdnsHeader counts;
    w.PutWord(request.ID);
    w.PutWord(ResponseFlags(request, code, truncated));
    w.PutWord(1);
    w.PutWord(0);
    w.PutWord(0);
    w.PutWord(0);
    try {
        if (!DNSNameWritable(question.Name))
            throw EdnsError(dnsErrInvalidParameter);
        DNSWriteRawQuestion(w, question);
    } catch (const EdnsError&) {
        return DNSBuildFormatError(request);
    }
    bool cut = false;
    for (const auto* section : {&answers, &authority}) {
        for (const TdnsAnswerRecord& r : *section) {
            try {
                DNSWriteRecord(w, r.Owner, r.Type, r.Class, r.TTL, r.Data);
            } catch (const EdnsError& e) {
                if (e.ErrorCode == dnsErrBufferOverflow)
                    cut = true;
                break; // an unwritable record ends the section
            }
            ++(section == &answers ? counts.ANCount : counts.NSCount);
        }
        if (cut)
            break;
    }
    w.PatchWord(6, counts.ANCount);
    w.PatchWord(8, counts.NSCount);
    if (cut)
        w.PatchWord(2, ResponseFlags(request, code, true));
    if (ednsPayload) {
        w.PatchWord(10, 1);
        w.SetCapacity(limit);
        DNSWriteOPTRecord(w, uint16_t(kDNSMaxUDPPayload));
    }
    return w.Take();
}

TdnsUDPServer::TdnsUDPServer() {
    SetLocalPort("53");
    BufferPackets = false;
    MaxPacketSize = int(kDNSMaxUDPPayload); // the size our OPT record states
}

TdnsUDPServer::~TdnsUDPServer() = default;

void TdnsUDPServer::SendResponse(const TSocketAddr& destination, std::string response) {
    if (FHandlingBatch) {
        if (FResponses.size() >= kDNSServerReadBatch)
            FlushResponses();
        FResponses.push_back(TSendBufferItem{std::move(response), 0, destination});
        return;
    }
    try {
        SendTo(destination, response.data(), static_cast<int>(response.size()));
    } catch (const std::exception&) {
        // The client's own retry covers a lost answer.
    }
}

void TdnsUDPServer::FlushResponses() {
    try {
        SendPackets(FResponses);
    } catch (const std::exception&) {
        // As in SendResponse: the clients ask again.
    }
    FResponses.clear();
}

void TdnsUDPServer::HandleDatagram(std::string_view data, const TSocketAddr& from) {
    bool refused = Admission && !Admission->Admit(from);
    TdnsServerQuery query;
    try {
        query = DNSParseServerQuery(data);
    } catch (const EdnsError&) {
        ++FDropped;
        return;
    }
    if (refused) {
        if (!query.Questions.empty() && !query.FormatError)
            SendResponse(from, DNSBuildResponse(query.Header, query.Questions[0], kDNSRcodeRefused,
                                                {}, {}, query.EDNSPayload));
        return;
    }
    if (query.FormatError) {
        SendResponse(from, DNSBuildFormatError(query.Header));
        return;
    }
    if (OnQuery)
        OnQuery(this, from, query);
}

void TdnsUDPServer::TriggerPacketAvailable() {
    if (FHandlingBatch) {
        PostSocketEvent(READY_READ); // a loop run inside a handler: this read waits for the round
        return;
    }
    if (!FBatch) {
        FBatch = std::make_unique<TUDPPacketBatch>(kDNSServerReadBatch,
                                                   size_t(std::max(MaxPacketSize, 0)));
        FResponses.reserve(kDNSServerReadBatch);
    }
    size_t got = 0;
    try {
        got = RecvPackets(*FBatch);
    } catch (const std::exception&) {
        return;
    }
    {
        // Whatever a handler raises, the answers made so far leave and the next round batches.
        struct TRound {
            TdnsUDPServer& Server;
            explicit TRound(TdnsUDPServer& server) : Server(server) { Server.FHandlingBatch = true; }
            ~TRound() {
                Server.FHandlingBatch = false;
                Server.FlushResponses();
            }
        } round(*this);
        for (size_t i = 0; i < got; ++i)
            HandleDatagram(FBatch->Data(i), FBatch->Sender(i));
    }
    if (got == FBatch->Capacity())
        PostSocketEvent(READY_READ);
}

} // namespace corvan

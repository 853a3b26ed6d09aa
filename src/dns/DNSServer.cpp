#include "dns/DNSServer.h"

namespace corvan {

// Datagrams read per FD_READ notification before the loop serves other objects again.
constexpr int kDNSServerReadBatch = 64;

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
        pos += DNSReadRawQuestion(datagram, pos, question);
        q.Questions.push_back(std::move(question));
    }
    return q;
}

bool DNSNameWritable(const std::string& name) {
    try {
        TdnsWriter w(kDNSMaxNameLength + 2);
        DNSWriteName(w, name);
        std::string back;
        DNSReadName(w.Data(), 0, back);
        return back == name;
    } catch (const EdnsError&) {
        return false;
    }
}

namespace {

void WriteRecord(TdnsWriter& w, const TdnsAnswerRecord& r) {
    switch (r.Type) {
    case dnsTypeNS:
        DNSWriteNSRecord(w, r.Owner, kDNSAnswerTTL, r.Data);
        break;
    case dnsTypeCNAME:
        DNSWriteCNAMERecord(w, r.Owner, kDNSAnswerTTL, r.Data);
        break;
    default: {
        size_t start = w.Size();
        try {
            DNSWriteRRHeader(w, r.Owner, r.Type, kDNSAnswerTTL, uint16_t(r.Data.size()));
            w.PutBytes(r.Data);
        } catch (...) {
            w.Truncate(start);
            throw;
        }
    }
    }
}

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

std::string DNSBuildResponse(const TdnsHeader& request, const TdnsRawQuestion& question,
                             uint8_t code, const std::vector<TdnsAnswerRecord>& answers,
                             const std::vector<TdnsAnswerRecord>& authority) {
    TdnsWriter w(kDNSResponseBufferSize);
    TdnsHeader counts;
    w.PutWord(request.ID);
    w.PutWord(ResponseFlags(request, code, false));
    w.PutWord(1);
    w.PutWord(0);
    w.PutWord(0);
    w.PutWord(0);
    try {
        if (!DNSNameWritable(question.Name))
            throw EdnsError(dnsErrInvalidParameter);
        DNSWriteRawQuestion(w, question);
    } catch (const EdnsError&) {
        TdnsWriter header(kDNSHeaderSize);
        header.PutWord(request.ID);
        header.PutWord(ResponseFlags(request, 1, false));
        for (int i = 0; i < 4; ++i)
            header.PutWord(0);
        return header.Data();
    }
    bool truncated = false;
    for (const auto* section : {&answers, &authority}) {
        for (const TdnsAnswerRecord& r : *section) {
            try {
                WriteRecord(w, r);
            } catch (const EdnsError& e) {
                if (e.ErrorCode == dnsErrBufferOverflow)
                    truncated = true;
                break; // an unwritable record ends the section
            }
            ++(section == &answers ? counts.ANCount : counts.NSCount);
        }
        if (truncated)
            break;
    }
    w.PatchWord(6, counts.ANCount);
    w.PatchWord(8, counts.NSCount);
    if (truncated)
        w.PatchWord(2, ResponseFlags(request, code, true));
    return w.Data();
}

TdnsUDPServer::TdnsUDPServer() {
    SetLocalPort("53");
    BufferPackets = false;
    MaxPacketSize = 4096;
}

void TdnsUDPServer::SendResponse(const TSocketAddr& destination, const std::string& response) {
    try {
        SendTo(destination, response.data(), static_cast<int>(response.size()));
    } catch (const std::exception&) {
        // The client's own retry covers a lost answer.
    }
}

void TdnsUDPServer::TriggerPacketAvailable() {
    std::string data;
    TSocketAddr from;
    for (int i = 0; i < kDNSServerReadBatch; ++i) {
        bool got = false;
        try {
            got = ReadPacketStr(data, from);
        } catch (const std::exception&) {
            return;
        }
        if (!got)
            return;
        bool refused = Admission && !Admission->Admit(from);
        TdnsServerQuery query;
        try {
            query = DNSParseServerQuery(data);
        } catch (const EdnsError&) {
            ++FDropped;
            continue;
        }
        if (refused) {
            if (!query.Questions.empty())
                SendResponse(from, DNSBuildResponse(query.Header, query.Questions[0],
                                                    kDNSRcodeRefused));
            continue;
        }
        if (OnQuery)
            OnQuery(this, from, query);
    }
    PostSocketEvent(FD_READ);
}

} // namespace corvan

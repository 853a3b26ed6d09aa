// libFuzzer target: any datagram given to the DNS server's query parser ends in a parsed
// query or EdnsError, never a crash, a hang, a leak or an out-of-bounds read; an answer built
// for what parsed stays within the response buffer and parses back with its question.
#include "dns/DNSRecords.h"
#include "dns/DNSServer.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace corvan;

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view msg(reinterpret_cast<const char*>(data), size);
    TdnsServerQuery q;
    try {
        q = DNSParseServerQuery(msg);
    } catch (const EdnsError&) {
        return 0;
    }
    Check(q.FormatError ? q.Questions.size() < q.Header.QDCount
                        : q.Questions.size() == q.Header.QDCount);
    Check(q.Flags.IsQuery);
    if (q.Questions.empty() || q.FormatError)
        return 0;
    const TdnsRawQuestion& question = q.Questions.front();
    Check(question.Name.size() <= kDNSMaxNameLength);
    std::vector<TdnsAnswerRecord> answers{{question.Name, dnsTypeA, std::string(4, '\x01')}};
    if (DNSNameWritable(question.Name))
        answers.push_back({question.Name, dnsTypeCNAME, DNSNameWire(question.Name)});
    std::string r = DNSBuildResponse(q.Header, question, 0, answers, {}, q.EDNSPayload);
    Check(r.size() <= (q.EDNSPayload ? kDNSResponseBufferSize : kDNSPlainUDPSize));
    TdnsResponse parsed = DNSParseResponse(r);
    Check(parsed.Header.ID == q.Header.ID);
    if (parsed.Header.QDCount == 1) {
        TdnsRawQuestion back;
        DNSReadRawQuestion(r, kDNSHeaderSize, back);
        Check(back.QType == question.QType && back.QClass == question.QClass);
        Check(DNSSameName(back.Name, question.Name));
    }
    return 0;
}

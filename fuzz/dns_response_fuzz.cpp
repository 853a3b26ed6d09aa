// libFuzzer target: any datagram given to the DNS response and query parsers must end in a
// parsed message or EdnsError, never a crash, a hang, a leak or an out-of-bounds read; the
// answers of a parsed response, passed on in an answer of our own, stay within its size and
// parse back as the same records.
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

void TouchRecords(const TdnsRecordList& list) {
    for (const auto& r : list) {
        Check(r->Header.Name.size() <= kDNSMaxNameLength);
        Check(r->Header.Data.size() == r->Header.DataLength);
        (void)r->TypeName();
        (void)r->AsString();
        (void)r->Valid();
        (void)DNSTrailingLabelMatch(r->Header.Name, list.front()->Header.Name);
    }
    if (list.empty())
        return;
    const std::string& name = list.front()->Header.Name;
    (void)DNSAddresses(list, name);
    (void)DNSNameServers(list, name);
    (void)DNSNameServersSharingLabel(list, name);
    (void)DNSExchangeNames(list, name, true);
    (void)DNSCanonicalName(list, name);
    (void)DNSPTRName(list, name);
}

// The records written into an answer with names compressed read back as they were given.
void PassOn(const TdnsRecordList& answers) {
    std::vector<TdnsAnswerRecord> passed;
    for (const auto& r : answers)
        passed.push_back(DNSPassedRecord(*r));
    TdnsHeader request;
    TdnsRawQuestion question{"example.com", dnsTypeA, dnsClassIN};
    std::string out = DNSBuildResponse(request, question, 0, passed, {}, kDNSMaxUDPPayload);
    Check(out.size() <= kDNSMaxUDPPayload);
    TdnsResponse back = DNSParseResponse(out);
    Check(back.Answers.size() <= passed.size());
    for (size_t i = 0; i < back.Answers.size(); ++i) {
        const TdnsRRHeader& h = back.Answers[i]->Header;
        Check(h.Name == passed[i].Owner && h.RType == passed[i].Type);
        Check(h.RClass == passed[i].Class && h.TTL == passed[i].TTL);
        Check(back.Answers[i]->ExpandedData() == passed[i].Data);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view msg(reinterpret_cast<const char*>(data), size);
    try {
        TdnsResponse r = DNSParseResponse(msg);
        TouchRecords(r.Answers);
        TouchRecords(r.Authority);
        TouchRecords(r.Additional);
        PassOn(r.Answers);
    } catch (const EdnsError&) {
    }
    try {
        TdnsQueryMessage q = DNSParseQuery(msg);
        Check(q.Questions.size() == q.Header.QDCount);
        for (const auto& question : q.Questions)
            Check(question.Name.size() <= kDNSMaxNameLength);
    } catch (const EdnsError&) {
    }
    return 0;
}

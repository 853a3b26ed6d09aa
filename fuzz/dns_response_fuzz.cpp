// libFuzzer target: any datagram given to the DNS response and query parsers must end in a
// parsed message or EdnsError, never a crash, a hang, a leak or an out-of-bounds read.
#include "dns/DNSRecords.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view msg(reinterpret_cast<const char*>(data), size);
    try {
        TdnsResponse r = DNSParseResponse(msg);
        TouchRecords(r.Answers);
        TouchRecords(r.Authority);
        TouchRecords(r.Additional);
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

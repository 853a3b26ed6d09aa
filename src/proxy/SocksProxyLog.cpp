#include "proxy/SocksProxyLog.h"

#include "util/Strings.h"

#include <cstring>

namespace corvan {

std::string IPv4DottedText(uint32_t addrNetworkOrder) {
    unsigned char b[4];
    std::memcpy(b, &addrNetworkOrder, 4);
    return Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

std::string SocksLogLine(TDateTime localTime, const TSocksConnectionFacts& facts) {
    std::string host = facts.DestHost;
    for (char& c : host)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return FormatTimeColons(localTime) + " " + facts.RemoteIP + " " +
           std::to_string(facts.BytesTransferred) + " " + IPv4DottedText(facts.DestAddr) + ":" +
           std::to_string(facts.DestPort) + " " + host + "\r\n";
}

} // namespace corvan

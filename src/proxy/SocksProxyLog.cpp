#include "proxy/SocksProxyLog.h"

#include "net/SocketLib.h"
#include "util/Strings.h"

namespace corvan {

std::string SocksLogLine(TDateTime localTime, const TSocksConnectionFacts& facts) {
    std::string host = facts.DestHost;
    for (char& c : host)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return FormatTimeColons(localTime) + " " + facts.RemoteIP + " " +
           std::to_string(facts.BytesTransferred) + " " + IPAddressStr(facts.DestAddr) + ":" +
           std::to_string(facts.DestPort) + " " + host + "\r\n";
}

} // namespace corvan

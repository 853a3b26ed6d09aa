#include "net/ProxyServerInfo.h"

#include "util/Strings.h"

namespace corvan {

bool TProxyServerInfo::InUse() const {
    return UseProxy && !TrimBlanks(Host).empty() && !TrimBlanks(Port).empty();
}

TProxyServerInfo TProxyServerInfo::Trimmed() const {
    TProxyServerInfo out = *this;
    out.Host = std::string(TrimBlanks(Host));
    out.Port = std::string(TrimBlanks(Port));
    return out;
}

} // namespace corvan

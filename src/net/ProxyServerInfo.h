#pragma once
// An up-stream proxy through which outbound connections are made: one record for the
// settings of every service, the port mappers, the SOCKS server and the SOCKS5 client link.

#include <string>

namespace corvan {

// Stored, in order, as UseProxy, Host, Port (as typed), UseAuth, Login, Password (plain
// text). A record says where the proxy is; UseProxy says whether its owner wants it.
struct TProxyServerInfo {
    bool UseProxy = false;
    std::string Host;
    std::string Port;
    bool UseAuth = false;
    std::string Login;
    std::string Password;

    // Switched on and complete: UseProxy set, and Host and Port not blank.
    bool InUse() const;
    // The record as a link uses it: Host and Port without surrounding blanks.
    TProxyServerInfo Trimmed() const;
};

} // namespace corvan

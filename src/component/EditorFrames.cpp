#include "component/EditorFrames.h"

#include "net/AllowedClients.h"
#include "util/Strings.h"

#include <cctype>

namespace corvan {

void TframeEditServerIP::SetServerIP(const std::string& address) {
    AnyInterface = address.empty() || address == "0.0.0.0";
    Address = AnyInterface ? std::string() : address;
}

std::string TframeEditServerIP::GetServerIP() const {
    return AnyInterface ? std::string() : Address;
}

bool TframeEditServerIP::AddressKeyAccepted(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '[' ||
           c == ']' || c == '%' || static_cast<unsigned char>(c) < 32;
}

AddressStrArray TframeEditServerIP::AddressChoices(const AddressStrArray& ip4,
                                                   const TSocketAddrArray& ip6) {
    AddressStrArray choices{"127.0.0.1"};
    for (const std::string& address : ip4)
        if (address != "127.0.0.1")
            choices.push_back(address);
    for (const TSocketAddr& address : ip6)
        choices.push_back(SocketAddrLiteralNamed(address));
    return choices;
}

AddressStrArray TframeEditServerIP::LocalAddressChoices() {
    AddressStrArray ip4;
    try {
        ip4 = LocalIP4AddressesStr();
    } catch (const std::exception&) {
        // Without the local list the box still takes a typed address.
    }
    return AddressChoices(ip4, LocalIP6Addresses());
}

void TframeEditProxyServer::LoadFrom(const TProxyServerInfo& info) {
    Host = info.Host;
    Port = info.Port;
    UseAuth = info.UseAuth;
    Login = info.Login;
    Password = info.Password;
}

void TframeEditProxyServer::SaveTo(TProxyServerInfo& info) const {
    info.Host = Host;
    info.Port = Port;
    info.UseAuth = UseAuth;
    info.Login = Login;
    info.Password = Password;
}

bool TframeEditProxyServer::PortKeyAccepted(char c) {
    return (c >= '0' && c <= '9') || static_cast<unsigned char>(c) < 32;
}

void TframeEditAllowedClients::SetAllowedClients(const std::string& stored) {
    Text = TrimBlanks(stored).empty() ? std::string(kDefaultAllowedClients) : stored;
}

std::string TframeEditAllowedClients::GetAllowedClients() const {
    return std::string(TrimBlanks(Text));
}

std::string TframeEditAllowedClients::ValidationError() const {
    return TAllowedClients::ParseError(Text);
}

bool TframeEditAllowedClients::KeyAccepted(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '/' ||
           c == ',' || c == ' ' || c == '*' || static_cast<unsigned char>(c) < 32;
}

} // namespace corvan

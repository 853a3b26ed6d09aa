#pragma once
// The two editor panels every service dialog embeds, as models: the bind address
// (TframeEditServerIP) and an up-stream proxy record (TframeEditProxyServer). They fix how
// the shared values are shown, filtered and read back, so that all dialogs behave alike;
// the Qt view binds its widgets to these fields and asks the enabling rules.

#include "component/AppComponent.h"
#include "net/SocketLib.h"

#include <string>

namespace corvan {

class TframeEditServerIP {
public:
    // The address box takes at most this many characters, and cuts a longer text: an IPv6
    // literal in its longest form (45), its brackets and a %scope of an interface name (16).
    static constexpr size_t kMaxAddressLength = 63;

    // "Accept connections on any interface." (true) or "Only accept connections on:".
    bool AnyInterface = true;
    // The address box's text.
    std::string Address;

    // Empty or "0.0.0.0": any interface and an empty box; otherwise that address.
    void SetServerIP(const std::string& address);
    // The box's text when an address is chosen; empty for any interface, so that choice is
    // always stored as an empty ServerIP.
    std::string GetServerIP() const;
    // The address box is usable only while "Only accept connections on:" is chosen.
    bool AddressEnabled() const { return !AnyInterface; }
    // Keystrokes the address box takes: what an IPv4 or IPv6 literal is written with
    // (hexadecimal digits, ".", ":", brackets, "%" before a scope number) and editing keys
    // (codes below 32). A scope given by name is picked from the list.
    static bool AddressKeyAccepted(char c);

    // The address box's list: "127.0.0.1" first, then the other addresses of ip4 (dotted), then
    // those of ip6 as ServerIP takes them (a link-local one with its %scope), in the order
    // given.
    static AddressStrArray AddressChoices(const AddressStrArray& ip4, const TSocketAddrArray& ip6);
    // AddressChoices of this machine's addresses (LocalIP4AddressesStr, LocalIP6Addresses); a
    // family that cannot be read adds none.
    static AddressStrArray LocalAddressChoices();
};

// The "Allowed clients:" field of a service or mapping (net/AllowedClients.h): who may
// connect. The HTTP, SOCKS and DNS forms and the mapping form embed it and add its
// ValidationError to theirs.
class TframeEditAllowedClients {
public:
    static constexpr const char* kCaption = "Allowed clients:";
    static constexpr const char* kHint =
        "Addresses and blocks such as 192.168.1.0/24 or fd00::/8, separated by commas; * for "
        "everyone; "
        "empty for this machine and the local networks.";

    // The field's text.
    std::string Text;

    // A stored value; an empty one shows the list it stands for (kDefaultAllowedClients).
    void SetAllowedClients(const std::string& stored);
    // The value to store: the text without surrounding blanks.
    std::string GetAllowedClients() const;
    // Empty when the text parses; else the message naming the bad entry.
    std::string ValidationError() const;

    // The field takes at most this many characters: room for a few dozen blocks; a longer
    // list belongs in the settings file, which has no such bound.
    static constexpr size_t kMaxLength = 1024;
    // Keystrokes the field takes: hexadecimal digits, ".", ":", "/", ",", blanks, "*" and
    // editing keys (codes below 32); nothing else can be part of an entry.
    static bool KeyAccepted(char c);
};

class TframeEditProxyServer {
public:
    static constexpr size_t kMaxHostLength = 128;
    static constexpr size_t kMaxPortLength = 5;
    static constexpr size_t kMaxLoginLength = 128;
    static constexpr size_t kMaxPasswordLength = 128;

    std::string Host;
    std::string Port;
    bool UseAuth = false; // "Use Authentication"
    std::string Login;
    std::string Password;

    // Fills the fields from the record (its UseProxy flag is the dialog's own check box).
    void LoadFrom(const TProxyServerInfo& info);
    // Copies the fields back, login and password too while greyed; UseProxy is left alone.
    void SaveTo(TProxyServerInfo& info) const;

    // The dialog's "use a proxy" check box enables or greys the whole group.
    void SetFrameEnabled(bool value) { FFrameEnabled = value; }
    bool FrameEnabled() const { return FFrameEnabled; }
    // "Login" and "Password" are usable only in an enabled group with "Use Authentication".
    bool LoginEnabled() const { return FFrameEnabled && UseAuth; }

    // Keystrokes the fields take: no blanks in "Host"; only digits and editing keys in
    // "Port".
    static bool HostKeyAccepted(char c) { return c != ' '; }
    static bool PortKeyAccepted(char c);

private:
    bool FFrameEnabled = true;
};

} // namespace corvan

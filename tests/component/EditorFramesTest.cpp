// The bind-address panel's list of this machine's addresses: its order and text, and that each
// entry is an address the services can listen on.
#include "component/EditorFrames.h"
#include "net/SocketsTCPServer.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace corvan;
using namespace corvan::test;

namespace {

TSocketAddr Literal(const std::string& text) {
    TSocketAddr addr;
    EXPECT_TRUE(IsIPLiteral(text, addr)) << text;
    return addr;
}

} // namespace

TEST(ServerIPChoices, IPv4FirstAsBeforeThenIPv6WithTheScopeOfALinkLocalOne) {
    TSocketAddr named = Literal("fe80::1%lo");
    ASSERT_NE(named.ScopeId, 0u);
    TSocketAddr unnamed = Literal("fe80::2");
    unnamed.ScopeId = 999999; // no such interface: its number stands
    AddressStrArray choices = TframeEditServerIP::AddressChoices(
        {"192.168.1.5", "127.0.0.1", "10.0.0.2"},
        {Literal("::1"), Literal("2001:db8::5"), named, unnamed});
    EXPECT_EQ(choices, (AddressStrArray{"127.0.0.1", "192.168.1.5", "10.0.0.2", "::1",
                                        "2001:db8::5", "fe80::1%lo", "fe80::2%999999"}));
    // Each reads back as the address and interface it came from.
    EXPECT_EQ(Literal(choices[5]), named);
    EXPECT_EQ(Literal(choices[6]), unnamed);
    EXPECT_EQ(TframeEditServerIP::AddressChoices({}, {}), AddressStrArray{"127.0.0.1"});
}

TEST(ServerIPChoices,
     ThisMachinesListHasEveryIPv4AddressAndIPv6LoopbackAndItsIPv6OnesCanBeListenedOn) {
    AddressStrArray choices = TframeEditServerIP::LocalAddressChoices();
    ASSERT_FALSE(choices.empty());
    EXPECT_EQ(choices[0], "127.0.0.1");
    try {
        for (const std::string& address : LocalIP4AddressesStr())
            EXPECT_NE(std::find(choices.begin(), choices.end(), address), choices.end()) << address;
    } catch (const ESocketLib&) {
        // a host name that does not resolve: no IPv4 addresses but loopback's
    }
    if (HaveIPv6Loopback()) {
        EXPECT_NE(std::find(choices.begin(), choices.end(), "::1"), choices.end());
    }
    // Chosen and saved as ServerIP, an IPv6 entry (text of this list's making, unlike the
    // IPv4 ones, which the host name's lookup gives) is what the listening socket takes.
    for (const std::string& address : choices) {
        if (address.find(':') == std::string::npos)
            continue;
        TTCPServerSocket server;
        server.SetLocalHost(address);
        server.SetListenPort("0");
        ASSERT_NO_THROW(server.Listen()) << address;
        TSocketAddr at;
        SocketGetSockName(server.SocketHandle(), at);
        TSocketHandle client = AllocateSocketHandle(at.AddrFamily, TIPProtocol::ipTCP);
        EXPECT_EQ(SocketConnect(client, at), 0) << address;
        SocketClose(client);
    }
}

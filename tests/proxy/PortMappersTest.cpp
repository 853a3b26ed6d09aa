// The mapper factory's refusal of a mapping onto itself: which destinations reach the mapping's
// own listening socket, decided from the addresses alone, before anything listens.

#include "proxy/PortMappers.h"
#include "net/SocketLib.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

using namespace corvan;
using corvan::test::FreeLoopbackPort;
using corvan::test::HaveIPv6Loopback;

namespace {

TPortMapperParams Params(const std::string& bind, const std::string& port, const std::string& dest,
                         const std::string& destPort) {
    TPortMapperParams p;
    p.LocalHost = bind;
    p.LocalPort = port;
    p.DestHost = dest;
    p.DestPort = destPort;
    return p;
}

} // namespace

TEST(PortMapperLoop, SamePortOnAnAddressTheListenerAcceptsIsALoop) {
    // Listening on every address: loopback (the whole 127/8), names of it, 0.0.0.0 (which
    // connects locally) and the machine's own addresses all lead back.
    for (const char* dest : {"127.0.0.1", "127.0.0.2", "localhost", " localhost ", "0.0.0.0"}) {
        EXPECT_TRUE(MapsOntoItself(Params("", "8080", dest, "8080"))) << dest;
        EXPECT_TRUE(MapsOntoItself(Params("0.0.0.0", "8080", dest, "8080"))) << dest;
    }
    TIP4AddrArray own;
    try {
        own = LocalIP4Addresses(); // the host name's addresses, when it has any
    } catch (const ESocketLib&) {
    }
    for (uint32_t address : own)
        EXPECT_TRUE(MapsOntoItself(Params("", "8080", IPAddressStr(address), "8080")))
            << IPAddressStr(address);
    // Listening on one address: that address, by number or by name.
    EXPECT_TRUE(MapsOntoItself(Params("127.0.0.1", "8080", "127.0.0.1", "8080")));
    EXPECT_TRUE(MapsOntoItself(Params("127.0.0.1", "8080", "localhost", "8080")));
}

TEST(PortMapperLoop, OtherPortsAndAddressesTheListenerDoesNotHoldAreNoLoop) {
    EXPECT_FALSE(MapsOntoItself(Params("", "8080", "127.0.0.1", "8081")));
    // A service on loopback published on another address of the same port: a common use.
    EXPECT_FALSE(MapsOntoItself(Params("127.0.0.2", "8080", "127.0.0.1", "8080")));
    // Not an address of this machine (TEST-NET-1).
    EXPECT_FALSE(MapsOntoItself(Params("", "8080", "192.0.2.1", "8080")));
    // Nothing to compare: no loop to refuse (the start refuses these for their own reasons).
    EXPECT_FALSE(MapsOntoItself(Params("", "0", "127.0.0.1", "0")));
    EXPECT_FALSE(MapsOntoItself(Params("", "8080", "", "8080")));
    EXPECT_FALSE(MapsOntoItself(Params("", "x", "127.0.0.1", "x")));
}

TEST(PortMapperLoop, IPv6DestinationsLeadBackAsIPv4OnesDo) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    // No address and "::" listen on both protocols; 0.0.0.0 on IPv4 only.
    for (const char* dest : {"::1", "[::1]", "::"}) {
        EXPECT_TRUE(MapsOntoItself(Params("", "8080", dest, "8080"))) << dest;
        EXPECT_TRUE(MapsOntoItself(Params("::", "8080", dest, "8080"))) << dest;
        EXPECT_FALSE(MapsOntoItself(Params("0.0.0.0", "8080", dest, "8080"))) << dest;
    }
    EXPECT_TRUE(MapsOntoItself(Params("::1", "8080", "[::1]", "8080")));
    EXPECT_FALSE(MapsOntoItself(Params("127.0.0.1", "8080", "::1", "8080")));
    EXPECT_FALSE(MapsOntoItself(Params("::1", "8080", "::1", "8081")));
    // Not an address of this machine (the documentation prefix).
    EXPECT_FALSE(MapsOntoItself(Params("", "8080", "2001:db8::1", "8080")));
}

TEST(PortMapperLoop, FactoryRefusesALoopBeforeListening) {
    for (uint8_t protocol : {mpTCP, mpUDP}) {
        std::string port = std::to_string(FreeLoopbackPort());
        TPortMapperParams p = Params("127.0.0.1", port, "127.0.0.1", port);
        p.Protocol = protocol;
        try {
            CreatePortMapper(p);
            ADD_FAILURE() << "started a mapping onto itself";
        } catch (const EPortMapping& e) {
            EXPECT_NE(e.Message().find("connect to itself"), std::string::npos) << e.Message();
        }
        // Nothing was left listening: the port can be bound again.
        uint16_t number = uint16_t(std::stoi(port));
        TSocketHandle h =
            AllocateSocketHandle(TIPAddressFamily::iaIP4,
                                 protocol == mpTCP ? TIPProtocol::ipTCP : TIPProtocol::ipUDP);
        EXPECT_EQ(SocketBind(h, TSocketAddr::IP4(corvan::test::Loopback(), number)), 0);
        SocketClose(h);
    }
}

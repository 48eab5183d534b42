#include "RasMonitor.h"
#include "TestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <net/if.h>
#include <net/if_arp.h>

namespace {

using TInterfaces = std::vector<TRasInterface>;

constexpr unsigned Up = IFF_UP | IFF_RUNNING;

TRasInterface Loopback() {
    return {.Name = "lo",
            .Index = 1,
            .Flags = Up | IFF_LOOPBACK,
            .LocalIP = "127.0.0.1",
            .PeerIP = {},
            .HardwareType = ARPHRD_LOOPBACK,
            .DefaultRoute = false};
}
TRasInterface Ethernet(const QString& name, unsigned flags, const QString& ip,
                       bool defaultRoute = false) {
    return {.Name = name,
            .Index = 2,
            .Flags = flags | IFF_BROADCAST,
            .LocalIP = ip,
            .PeerIP = {},
            .HardwareType = ARPHRD_ETHER,
            .DefaultRoute = defaultRoute};
}
// A PPP link, or with ARPHRD_NONE a tunnel (tun, WireGuard): point-to-point both.
TRasInterface Link(const QString& name, unsigned flags, const QString& local = {},
                   const QString& peer = {}, int hardwareType = ARPHRD_PPP) {
    return {.Name = name,
            .Index = 7,
            .Flags = flags | IFF_POINTOPOINT | IFF_NOARP,
            .LocalIP = local,
            .PeerIP = peer,
            .HardwareType = hardwareType,
            .DefaultRoute = false};
}

// What the machine looks like to one poll.
enum class TLink {
    None,        // no point-to-point interface
    Negotiating, // ppp0 up, no IPv4 address yet
    Connected,   // ppp0 up with 10.64.0.7, peer 10.64.0.1
    Down,        // ppp0 still listed, but down
    ListingFails,
    IdleLinkFirst,   // a down ppp1 listed before a connected ppp0
    LiveLinkFirst,   // a connected ppp1 listed before a connected ppp0
    LiveTunnelFirst, // a connected WireGuard wg0 listed before a connected ppp0
    LiveTunnelOnly,  // a connected wg0, no ppp link
};

std::optional<TInterfaces> Machine(TLink link) {
    TInterfaces list{Loopback(), Ethernet("eth0", Up, "192.168.1.20")};
    const TRasInterface ppp = Link("ppp0", Up, "10.64.0.7", "10.64.0.1");
    switch (link) {
    case TLink::None:
        break;
    case TLink::Negotiating:
        list.push_back(Link("ppp0", Up));
        break;
    case TLink::Connected:
        list.push_back(ppp);
        break;
    case TLink::Down:
        list.push_back(Link("ppp0", 0));
        break;
    case TLink::ListingFails:
        return std::nullopt;
    case TLink::IdleLinkFirst:
        list.push_back(Link("ppp1", 0, "10.8.0.2", "10.8.0.1"));
        list.push_back(ppp);
        break;
    case TLink::LiveLinkFirst:
        list.push_back(Link("ppp1", Up, "10.8.0.2", "10.8.0.1"));
        list.push_back(ppp);
        break;
    case TLink::LiveTunnelFirst:
        list.push_back(Link("wg0", Up, "10.8.0.2", {}, ARPHRD_NONE));
        list.push_back(ppp);
        break;
    case TLink::LiveTunnelOnly:
        list.push_back(Link("wg0", Up, "10.8.0.2", {}, ARPHRD_NONE));
        break;
    }
    return list;
}

// A machine the test changes between polls; it counts how often it is asked.
struct TFakeMachine {
    TLink Link = TLink::None;
    std::optional<TInterfaces> Interfaces; // when set, used instead of Link
    TRasHost Host{"camhost", {"192.168.1.20"}};
    int Listings = 0;

    TRasSystem System() {
        return {.Interfaces =
                    [this] {
                        ++Listings;
                        return Interfaces ? Interfaces : Machine(Link);
                    },
                .Host =
                    [this] {
                        return Host;
                    }};
    }
};

// Writes every event of `monitor` into `events` as text, in order.
void RecordEvents(TRasMonitor& monitor, QStringList& events) {
    monitor.OnRasConnected = [&events](TRasMonitor&, const TRasConnectionDetails& details) {
        events << QStringLiteral("connected %1 %2 %3")
                      .arg(details.EntryName, details.LocalIP, details.ServerIP);
    };
    // The details handed over with a disconnection are cleared ones.
    monitor.OnRasDisconnected = [&events](TRasMonitor&, const TRasConnectionDetails& details) {
        events << (details == TRasConnectionDetails{} ? QStringLiteral("disconnected")
                                                      : QStringLiteral("disconnected, details"));
    };
    monitor.OnRasStatusChanged = [&events](TRasMonitor&, const TRasConnectionDetails& details,
                                           const QString& text) {
        events << QStringLiteral("status %1 (%2)").arg(text, details.StatusText);
    };
}

struct TPollCase {
    const char* Name;
    std::vector<TLink> Polls;
    std::vector<bool> OnlineAfter;
    QStringList Events;
};

const QString PppConnected = QStringLiteral("connected ppp0 10.64.0.7 10.64.0.1");
const QString StatusConnected = QStringLiteral("status Connected (Connected)");
const QString StatusProjecting =
    QStringLiteral("status Authentication: projecting (Authentication: projecting)");

TEST(RasMonitorPollTest, EventsAndOnlineFollowTheFirstLink) {
    const std::vector<TPollCase> cases{
        {"nothing to see", {TLink::None, TLink::None}, {false, false}, {}},
        {"comes up and goes away",
         {TLink::None, TLink::Connected, TLink::Connected, TLink::None, TLink::None},
         {false, true, true, false, false},
         {PppConnected, StatusConnected, "disconnected"}},
        {"negotiating is reported at every poll until connected",
         {TLink::Negotiating, TLink::Negotiating, TLink::Connected, TLink::Connected},
         {false, false, true, true},
         {StatusProjecting, StatusProjecting, PppConnected, StatusConnected}},
        // A link taken down keeps its interface for a while; it must not stay "online".
        {"a link taken down counts as gone",
         {TLink::Connected, TLink::Down},
         {true, false},
         {PppConnected, StatusConnected, "disconnected"}},
        {"losing the address while listed reports nothing until gone",
         {TLink::Connected, TLink::Negotiating, TLink::None},
         {true, true, false},
         {PppConnected, StatusConnected, "disconnected"}},
        {"a failed listing goes offline silently",
         {TLink::Connected, TLink::ListingFails, TLink::Connected},
         {true, false, true},
         {PppConnected, StatusConnected, PppConnected, StatusConnected}},
        {"an idle link listed first does not hide the live one",
         {TLink::IdleLinkFirst},
         {true},
         {PppConnected, StatusConnected}},
        {"only the first live link counts",
         {TLink::LiveLinkFirst, TLink::Connected},
         {true, true},
         {"connected ppp1 10.8.0.2 10.8.0.1", StatusConnected}},
        // A VPN tunnel is point-to-point too, but no dial-up connection.
        {"a tunnel is no link",
         {TLink::LiveTunnelOnly, TLink::LiveTunnelFirst},
         {false, true},
         {PppConnected, StatusConnected}},
    };
    for (const TPollCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeMachine fake;
        TRasMonitor monitor(fake.System());
        QStringList events;
        RecordEvents(monitor, events);
        for (std::size_t i = 0; i < c.Polls.size(); ++i) {
            fake.Link = c.Polls[i];
            monitor.Poll();
            EXPECT_EQ(monitor.Online(), c.OnlineAfter[i]) << "after poll " << i;
        }
        EXPECT_EQ(events, c.Events);
    }
}

TEST(RasMonitorPollTest, TheTimerPollsOnlyWhileEnabledAtTheIntervalSetWhenEnabled) {
    TFakeMachine fake;
    TRasMonitor monitor(fake.System());
    QStringList events;
    RecordEvents(monitor, events);
    fake.Link = TLink::Connected;
    QTest::qWait(30);
    EXPECT_EQ(fake.Listings, 0) << "polled while disabled";

    // The interval is read at enabling; the created one (a second) would not get three polls
    // in within the wait.
    monitor.PollInterval = 10;
    monitor.SetEnabled(true);
    monitor.SetEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fake.Listings >= 3; }, 900));
    EXPECT_TRUE(monitor.Online());
    EXPECT_EQ(events, (QStringList{PppConnected, StatusConnected}));

    monitor.SetEnabled(false);
    int listed = fake.Listings;
    QTest::qWait(60);
    EXPECT_EQ(fake.Listings, listed) << "polled after disabling";

    // Re-enabled with a minute-long interval: the old 10 ms one is gone.
    monitor.PollInterval = 60000;
    monitor.SetEnabled(true);
    listed = fake.Listings;
    QTest::qWait(100);
    EXPECT_EQ(fake.Listings, listed) << "the new interval was not taken";
    monitor.SetEnabled(false);
    EXPECT_FALSE(monitor.Enabled());
}

// ---- The details query
// ---------------------------------------------------------------------------

TEST(RasMonitorDetailsTest, DetailsComeFromTheFirstLinkAndChangeNothing) {
    struct TCase {
        const char* Name;
        TLink Link;
        bool Connected;
        TRasConnectionDetails Expected;
    };
    const std::vector<TCase> cases{
        {"no link", TLink::None, false, {}},
        {"listing fails", TLink::ListingFails, false, {}},
        {"connected ppp0",
         TLink::Connected,
         true,
         {7, "Connected", "ppp0", "ppp", "ppp0", "10.64.0.7", "10.64.0.1"}},
        {"negotiating ppp0: no addresses yet",
         TLink::Negotiating,
         false,
         {7, "Authentication: projecting", "ppp0", "ppp", "ppp0", "", ""}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeMachine fake;
        fake.Link = c.Link;
        TRasMonitor monitor(fake.System());
        bool raised = false;
        monitor.OnRasConnected = [&](TRasMonitor&, const TRasConnectionDetails&) {
            raised = true;
        };
        monitor.OnRasStatusChanged = [&](TRasMonitor&, const TRasConnectionDetails&,
                                         const QString&) {
            raised = true;
        };
        // Left-overs of an earlier query must not survive.
        TRasConnectionDetails details{99, "old", "ppp9", "ppp", "ppp9", "1.2.3.4", "1.2.3.5"};
        EXPECT_EQ(monitor.GetConnectionDetails(details), c.Connected);
        EXPECT_EQ(details, c.Expected);
        EXPECT_FALSE(monitor.Online());
        EXPECT_FALSE(raised);
    }
}

TEST(RasMonitorStateTextTest, StatesErrorsAndUnknowns) {
    struct TCase {
        int State;
        int Error;
        const char* Text;
    };
    const std::vector<TCase> cases{
        {0, 0, "Opening port"},
        {9, 0, "Authentication: change password"},
        {10, 0, "Authentication: projecting"},
        {14, 0, "Authenticated"},
        {19, 0, "Start authentication"},
        {21, 0, "Logging on network"},
        {22, 0, ""},
        {-1, 0, ""},
        {0x1000, 0, "Interactive"},
        {0x1001, 0, "Retry Authentication"},
        {0x1003, 0, "Password expired"},
        {0x1004, 0, ""},
        {0x2000, 0, "Connected"},
        {0x2001, 0, "Disconnected"},
        {0x2002, 0, ""},
        {0x2000, 678, "ERRROR"},
        {12345, -1, "ERRROR"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(TRasMonitor::StateText(c.State, c.Error), QString::fromLatin1(c.Text))
            << c.State << "/" << c.Error;
}

// ---- The host address
// ----------------------------------------------------------------------------

TEST(RasMonitorLocalIPTest, TheHostAddressWithLoopbackReplacedByAReachableOne) {
    struct TCase {
        const char* Name;
        TRasHost Host;
        std::optional<TInterfaces> Interfaces;
        QString LocalIP;
    };
    const TInterfaces lan{Loopback(), Ethernet("eth0", 0, "192.168.9.9"), Ethernet("eth1", Up, ""),
                          Ethernet("wlan0", Up, "192.168.1.50"), Ethernet("eth2", Up, "10.0.0.2")};
    const TInterfaces isolated{Loopback(), Ethernet("eth0", 0, "192.168.9.9")};
    const std::vector<TCase> cases{
        {"a LAN address stands", {"camhost", {"10.1.1.1", "10.2.2.2"}}, lan, "10.1.1.1"},
        // Debian's /etc/hosts maps the host name to 127.0.1.1.
        {"127.0.1.1 gives the first live interface's address",
         {"camhost", {"127.0.1.1"}},
         lan,
         "192.168.1.50"},
        {"127.0.0.1 too", {"camhost", {"127.0.0.1", "10.2.2.2"}}, lan, "192.168.1.50"},
        {"a loopback address on a non-loopback interface is skipped",
         {"camhost", {"127.0.1.1"}},
         TInterfaces{Loopback(), Ethernet("dummy0", Up, "127.0.0.5"),
                     Ethernet("eth0", Up, "172.16.0.3")},
         "172.16.0.3"},
        // A container or VM bridge listed first is no way in from outside.
        {"the default route's interface comes before the first live one",
         {"camhost", {"127.0.1.1"}},
         TInterfaces{Loopback(), Ethernet("docker0", Up, "172.17.0.1"),
                     Ethernet("eth0", Up, "192.168.1.50", true)},
         "192.168.1.50"},
        {"a default route without an IPv4 address falls back to the first live one",
         {"camhost", {"127.0.1.1"}},
         TInterfaces{Loopback(), Ethernet("docker0", Up, "172.17.0.1"),
                     [] {
                         TRasInterface negotiating = Link("ppp0", Up);
                         negotiating.DefaultRoute = true;
                         return negotiating;
                     }(),
                     Ethernet("eth0", Up, "192.168.1.50")},
         "172.17.0.1"},
        {"nothing else up keeps loopback", {"camhost", {"127.0.1.1"}}, isolated, "127.0.1.1"},
        {"failed listing keeps loopback", {"camhost", {"127.0.1.1"}}, std::nullopt, "127.0.1.1"},
        {"unresolvable host name", {"camhost", {}}, lan, ""},
        {"no host name", {"", {}}, lan, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeMachine fake;
        fake.Host = c.Host;
        fake.Interfaces = c.Interfaces;
        fake.Link = TLink::ListingFails; // only reached when Interfaces is unset
        const TRasMonitor monitor(fake.System());
        EXPECT_EQ(monitor.LocalIP(), c.LocalIP);
        EXPECT_EQ(monitor.LocalHost(), c.Host.Name);
        EXPECT_TRUE(monitor.RasApiLoaded());
    }
}

TEST(RasMonitorLocalIPTest, DefaultRouteInterfaceIsReadFromTheRouteTable) {
    const QByteArray header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask"
                              "\t\tMTU\tWindow\tIRTT\n";
    const std::pair<QByteArray, const char*> cases[] = {
        {header + "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
                  "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "eth0"},
        // Of two default routes the lower metric is the one taken.
        {header + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                  "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "eth0"},
        {header + "eth1\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", ""},
        {header + "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n", ""},
        {header + "eth0 zz\n\n", ""},
        {"", ""},
    };
    for (const auto& [table, interface] : cases)
        EXPECT_EQ(DefaultRouteInterface(table), QString::fromLatin1(interface))
            << table.toStdString();
}

TEST(RasMonitorLocalIPTest, CurrentAddressPrefersAConnectedLinkAtEveryQuery) {
    struct TCase {
        TLink Link;
        const char* Address;
    };
    const std::vector<TCase> cases{
        {TLink::None, "192.168.1.20"},           {TLink::Connected, "10.64.0.7"},
        {TLink::Negotiating, "192.168.1.20"},    {TLink::Down, "192.168.1.20"},
        {TLink::ListingFails, "192.168.1.20"},   {TLink::LiveLinkFirst, "10.8.0.2"},
        {TLink::LiveTunnelOnly, "192.168.1.20"}, {TLink::LiveTunnelFirst, "10.64.0.7"},
        {TLink::Connected, "10.64.0.7"},
    };
    // One monitor, never polled: each query looks at the machine afresh.
    TFakeMachine fake;
    const TRasMonitor monitor(fake.System());
    for (const TCase& c : cases) {
        fake.Link = c.Link;
        EXPECT_EQ(monitor.CurrentIPAddress(), QString::fromLatin1(c.Address))
            << static_cast<int>(c.Link);
    }
}

// ---- The real machine
// ----------------------------------------------------------------------------

bool IsDottedIPv4(const QString& text) {
    static const QRegularExpression dotted(
        QStringLiteral("^((25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)\\.){3}"
                       "(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)$"));
    return dotted.match(text).hasMatch();
}

TEST(RasMonitorRealMachineTest, AddressesAreDottedOrEmptyAndLoopbackOnlyWithoutAlternative) {
    std::optional<TRasMonitor> monitor;
    ASSERT_NO_THROW(monitor.emplace());
    const QString localIP = monitor->LocalIP();
    EXPECT_TRUE(localIP.isEmpty() || IsDottedIPv4(localIP)) << localIP.toStdString();
    EXPECT_EQ(monitor->LocalHost(), SystemHost().Name);

    const auto interfaces = SystemInterfaces();
    ASSERT_TRUE(interfaces.has_value());
    bool loopbackSeen = false;
    bool otherUp = false;
    QString routedIP;
    int routed = 0;
    for (const TRasInterface& i : *interfaces) {
        EXPECT_TRUE(i.LocalIP.isEmpty() || IsDottedIPv4(i.LocalIP)) << i.Name.toStdString();
        EXPECT_GE(i.HardwareType, 0) << i.Name.toStdString();
        loopbackSeen |= (i.Flags & IFF_LOOPBACK) != 0 && i.LocalIP == "127.0.0.1" &&
                        i.HardwareType == ARPHRD_LOOPBACK;
        otherUp |= (i.Flags & (IFF_UP | IFF_LOOPBACK)) == IFF_UP && !i.LocalIP.isEmpty() &&
                   !i.LocalIP.startsWith("127.");
        if (i.DefaultRoute) {
            ++routed;
            routedIP = i.LocalIP;
        }
    }
    EXPECT_TRUE(loopbackSeen);
    QFile routeTable("/proc/net/route");
    ASSERT_TRUE(routeTable.open(QIODevice::ReadOnly));
    EXPECT_EQ(routed, DefaultRouteInterface(routeTable.readAll()).isEmpty() ? 0 : 1);
    if (otherUp) {
        EXPECT_FALSE(localIP.startsWith("127.")) << localIP.toStdString();
    }
    if (SystemHost().Addresses.value(0).startsWith("127.") && !routedIP.isEmpty()) {
        EXPECT_EQ(localIP, routedIP);
    }

    QString current;
    ASSERT_NO_THROW(current = monitor->CurrentIPAddress());
    EXPECT_TRUE(current.isEmpty() || IsDottedIPv4(current)) << current.toStdString();
}

} // namespace

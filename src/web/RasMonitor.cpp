#include "RasMonitor.h"

#include "NetConnection.h"

#include <QFile>
#include <QTimer>

#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct TStateName {
    int State;
    const char* Text;
};

constexpr std::array StateNames{
    TStateName{0, "Opening port"},
    TStateName{1, "Port opened"},
    TStateName{2, "Connecting device"},
    TStateName{3, "Device connected"},
    TStateName{4, "All devices connected"},
    TStateName{5, "Start authenticating"},
    TStateName{6, "Authentication: notify"},
    TStateName{7, "Authentication: retry"},
    TStateName{8, "Authentication: callback"},
    TStateName{9, "Authentication: change password"},
    TStateName{10, "Authentication: projecting"},
    TStateName{11, "Authentication: link speed"},
    TStateName{12, "Authentication: acknowledge"},
    TStateName{13, "Authentication: reauthenticate"},
    TStateName{14, "Authenticated"},
    TStateName{15, "Preparing for callback"},
    TStateName{16, "Waiting for modem reset"},
    TStateName{17, "Waiting for callback"},
    TStateName{18, "Projected"},
    TStateName{19, "Start authentication"},
    TStateName{20, "Callback complete"},
    TStateName{21, "Logging on network"},
    TStateName{0x1000, "Interactive"},
    TStateName{0x1001, "Retry Authentication"},
    TStateName{0x1002, "Callback set by caller"},
    TStateName{0x1003, "Password expired"},
    TStateName{0x2000, "Connected"},
    TStateName{0x2001, "Disconnected"},
};

QString Dotted(const sockaddr* address) {
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, address, sizeof ipv4);
    std::array<char, INET_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET, &ipv4.sin_addr, text.data(), text.size()) == nullptr)
        return {};
    return QString::fromLatin1(text.data());
}

bool IsIPv4(const sockaddr* address) {
    return address != nullptr && address->sa_family == AF_INET;
}

// 127.0.0.0/8: the host itself, whatever the last three bytes (Debian uses 127.0.1.1).
bool IsLoopback(const QString& dotted) {
    in_addr address{};
    if (::inet_pton(AF_INET, dotted.toLatin1().constData(), &address) != 1)
        return false;
    return (ntohl(address.s_addr) >> 24) == 127;
}

// The link type the kernel gives the interface: sysfs, or where that is not mounted, the
// hardware address family.
int HardwareTypeOf(const char* name) {
    QFile type(QStringLiteral("/sys/class/net/%1/type").arg(QString::fromUtf8(name)));
    if (type.open(QIODevice::ReadOnly)) {
        bool isNumber = false;
        const int value = type.readAll().trimmed().toInt(&isNumber);
        if (isNumber)
            return value;
    }
    const TUniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    if (std::strlen(name) >= sizeof request.ifr_name)
        return -1;
    std::strncpy(request.ifr_name, name, sizeof request.ifr_name - 1);
    if (!control.Valid() || ::ioctl(control.Get(), SIOCGIFHWADDR, &request) != 0)
        return -1;
    return request.ifr_hwaddr.sa_family;
}

TRasInterface& InterfaceNamed(std::vector<TRasInterface>& interfaces, const char* name,
                              unsigned flags) {
    const QString wanted = QString::fromUtf8(name);
    for (TRasInterface& known : interfaces)
        if (known.Name == wanted)
            return known;
    return interfaces.emplace_back(TRasInterface{.Name = wanted,
                                                 .Index = ::if_nametoindex(name),
                                                 .Flags = flags,
                                                 .LocalIP = {},
                                                 .PeerIP = {},
                                                 .HardwareType = HardwareTypeOf(name),
                                                 .DefaultRoute = false});
}

std::optional<std::vector<TRasInterface>> ListInterfaces(const TRasSystem& system) {
    if (!system.Interfaces)
        return std::nullopt;
    return system.Interfaces();
}

// Only PPP links that are up count as dial-up connections: a VPN tunnel is point-to-point as
// well, but its address is no way in from outside, and a down link carries nothing.
std::optional<std::vector<TRasInterface>> ActiveConnections(const TRasSystem& system) {
    auto interfaces = ListInterfaces(system);
    if (!interfaces)
        return std::nullopt;
    std::erase_if(*interfaces, [](const TRasInterface& candidate) {
        return candidate.HardwareType != ARPHRD_PPP || (candidate.Flags & IFF_UP) == 0 ||
               (candidate.Flags & IFF_LOOPBACK) != 0;
    });
    return interfaces;
}

// A link is connected once it has its IPv4 address; until then it is negotiating one.
int StateOf(const TRasInterface& connection) {
    return connection.LocalIP.isEmpty() ? RasState::AuthProject : RasState::Connected;
}

// "ppp0" is a "ppp" device.
QString DeviceKind(const QString& name) {
    qsizetype letters = 0;
    while (letters < name.size() && name[letters].isLetter())
        ++letters;
    return name.left(letters);
}

void Describe(const TRasInterface& connection, const QString& statusText,
              TRasConnectionDetails& details) {
    using D = TRasConnectionDetails;
    details.Handle = connection.Index;
    details.StatusText = statusText.left(D::StatusTextWidth);
    details.EntryName = connection.Name.left(D::EntryNameWidth);
    details.DeviceType = DeviceKind(connection.Name).left(D::DeviceTypeWidth);
    details.DeviceName = connection.Name.left(D::DeviceNameWidth);
}

void AddAddresses(const TRasInterface& connection, TRasConnectionDetails& details) {
    details.LocalIP = connection.LocalIP.left(TRasConnectionDetails::IPWidth);
    details.ServerIP = connection.PeerIP.left(TRasConnectionDetails::IPWidth);
}

bool IsReachable(const TRasInterface& candidate) {
    return (candidate.Flags & IFF_UP) != 0 && (candidate.Flags & IFF_LOOPBACK) == 0 &&
           !candidate.LocalIP.isEmpty() && !IsLoopback(candidate.LocalIP);
}

// The default route's interface is the one the outside reaches; a container or VM bridge
// (docker0, virbr0) listed before it is not. Without one, the first live interface.
std::optional<QString> ReachableAddress(const TRasSystem& system) {
    const auto interfaces = ListInterfaces(system);
    if (!interfaces)
        return std::nullopt;
    for (const TRasInterface& candidate : *interfaces)
        if (candidate.DefaultRoute && IsReachable(candidate))
            return candidate.LocalIP;
    for (const TRasInterface& candidate : *interfaces)
        if (IsReachable(candidate))
            return candidate.LocalIP;
    return std::nullopt;
}

// One line of /proc/net/route: "eth0 00000000 0102A8C0 0003 0 0 100 00000000 ...".
struct TRoute {
    QString Interface;
    bool IsDefault = false;
    int Metric = 0;
};

std::optional<TRoute> ParseRoute(const QByteArray& line) {
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 8)
        return std::nullopt;
    bool destinationOk = false;
    bool flagsOk = false;
    bool metricOk = false;
    bool maskOk = false;
    const auto destination = fields[1].toUInt(&destinationOk, 16);
    const auto flags = fields[3].toUInt(&flagsOk, 16);
    const int metric = fields[6].toInt(&metricOk);
    const auto mask = fields[7].toUInt(&maskOk, 16);
    if (!destinationOk || !flagsOk || !metricOk || !maskOk)
        return std::nullopt;
    return TRoute{.Interface = QString::fromUtf8(fields[0]),
                  .IsDefault = destination == 0 && mask == 0 && (flags & RTF_UP) != 0,
                  .Metric = metric};
}

QString HostAddress(const TRasHost& host, const TRasSystem& system) {
    if (host.Addresses.isEmpty())
        return {};
    const QString& first = host.Addresses.front();
    if (!IsLoopback(first))
        return first;
    // Debian maps the host name to 127.0.1.1, which no browser on another machine can reach;
    // an address of a live interface can be.
    return ReachableAddress(system).value_or(first);
}

} // namespace

QString DefaultRouteInterface(const QByteArray& routeTable) {
    std::optional<TRoute> best;
    for (const QByteArray& line : routeTable.split('\n')) {
        const std::optional<TRoute> route = ParseRoute(line);
        if (route && route->IsDefault && (!best || route->Metric < best->Metric))
            best = route;
    }
    return best ? best->Interface : QString();
}

std::optional<std::vector<TRasInterface>> SystemInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);

    // getifaddrs gives one entry per address; the interfaces keep the order of their first one.
    std::vector<TRasInterface> interfaces;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr)
            continue;
        TRasInterface& found = InterfaceNamed(interfaces, entry->ifa_name, entry->ifa_flags);
        if (!IsIPv4(entry->ifa_addr) || !found.LocalIP.isEmpty())
            continue;
        found.LocalIP = Dotted(entry->ifa_addr);
        if ((entry->ifa_flags & IFF_POINTOPOINT) != 0 && IsIPv4(entry->ifa_dstaddr))
            found.PeerIP = Dotted(entry->ifa_dstaddr);
    }
    QFile routes(QStringLiteral("/proc/net/route"));
    if (routes.open(QIODevice::ReadOnly)) {
        const QString routed = DefaultRouteInterface(routes.readAll());
        for (TRasInterface& known : interfaces)
            known.DefaultRoute = !routed.isEmpty() && known.Name == routed;
    }
    return interfaces;
}

TRasHost SystemHost() {
    TRasHost host;
    std::array<char, 256> name{};
    // The last byte stays zero, so a name cut short is still terminated.
    if (::gethostname(name.data(), name.size() - 1) != 0)
        return host;
    host.Name = QString::fromUtf8(name.data());
    if (host.Name.isEmpty())
        return host;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.data(), nullptr, &hints, &found) != 0)
        return host;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next)
        if (IsIPv4(entry->ai_addr))
            host.Addresses << Dotted(entry->ai_addr);
    return host;
}

TRasSystem LinuxSystem() {
    return {.Interfaces = SystemInterfaces, .Host = SystemHost};
}

TRasMonitor::TRasMonitor(QObject* parent) : TRasMonitor(LinuxSystem(), parent) {}

TRasMonitor::TRasMonitor(TRasSystem system, QObject* parent)
    : QObject(parent), System(std::move(system)), Timer(new QTimer(this)) {
    Timer->setInterval(PollInterval);
    connect(Timer, &QTimer::timeout, this, [this] { Poll(); });
    const TRasHost host = System.Host ? System.Host() : TRasHost{};
    FLocalHost = host.Name;
    FLocalIP = HostAddress(host, System);
}

void TRasMonitor::SetEnabled(bool enabled) {
    if (enabled == FEnabled)
        return;
    FEnabled = enabled;
    if (enabled) {
        Timer->setInterval(PollInterval);
        Timer->start();
    } else {
        Timer->stop();
    }
}

void TRasMonitor::Poll() {
    FDetails = {};
    const auto connections = ActiveConnections(System);
    if (!connections) {
        FOnline = false;
        return;
    }
    if (connections->empty()) {
        if (FOnline) {
            FOnline = false;
            if (OnRasDisconnected)
                OnRasDisconnected(*this, FDetails);
        }
        return;
    }

    // Only the first connection counts, and once online no state is reported until it is gone.
    const TRasInterface& first = connections->front();
    const int state = StateOf(first);
    const QString statusText = StateText(state, 0);
    Describe(first, statusText, FDetails);
    if (FOnline)
        return;
    if (state == RasState::Connected) {
        FOnline = true;
        AddAddresses(first, FDetails);
        if (OnRasConnected)
            OnRasConnected(*this, FDetails);
    }
    if (!statusText.isEmpty() && OnRasStatusChanged)
        OnRasStatusChanged(*this, FDetails, statusText);
}

bool TRasMonitor::GetConnectionDetails(TRasConnectionDetails& details) const {
    details = {};
    const auto connections = ActiveConnections(System);
    if (!connections || connections->empty())
        return false;
    const TRasInterface& first = connections->front();
    const int state = StateOf(first);
    Describe(first, StateText(state, 0), details);
    if (state != RasState::Connected)
        return false;
    AddAddresses(first, details);
    return true;
}

QString TRasMonitor::CurrentIPAddress() const {
    TRasConnectionDetails details;
    GetConnectionDetails(details);
    return details.LocalIP.isEmpty() ? FLocalIP : details.LocalIP;
}

QString TRasMonitor::StateText(int state, int error) {
    if (error != 0)
        return QStringLiteral("ERRROR");
    for (const TStateName& known : StateNames)
        if (known.State == state)
            return QString::fromLatin1(known.Text);
    return {};
}

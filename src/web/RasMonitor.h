#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QTimer;

// One network interface as the system lists it. A PPP link that is up is a dial-up connection
// (tunnels such as WireGuard or OpenVPN are point-to-point too, but not dial-up); one that also
// has an IPv4 address is connected.
struct TRasInterface {
    QString Name;
    std::uint32_t Index = 0;   // the system's interface index; 0 when unknown
    unsigned Flags = 0;        // IFF_UP, IFF_LOOPBACK, IFF_POINTOPOINT, ...
    QString LocalIP;           // its first IPv4 address, dotted; empty when it has none
    QString PeerIP;            // the far end of a point-to-point link, dotted; else empty
    int HardwareType = -1;     // ARPHRD_ETHER, ARPHRD_PPP, ...; -1 when unknown
    bool DefaultRoute = false; // carries the IPv4 default route
};

// The interface of the IPv4 default route in a /proc/net/route table (the lowest metric among
// several); empty when the table has none.
QString DefaultRouteInterface(const QByteArray& routeTable);

// The machine's host name and the IPv4 addresses it resolves to, in the resolver's order.
struct TRasHost {
    QString Name;          // empty when the system gives none
    QStringList Addresses; // empty when the name does not resolve
};

// Where the monitor learns about the machine. Tests put their own functions in.
struct TRasSystem {
    // The interfaces in the system's order; nullopt when they cannot be listed.
    std::function<std::optional<std::vector<TRasInterface>>()> Interfaces;
    std::function<TRasHost()> Host;
};

// The real machine: getifaddrs, /sys/class/net/<name>/type, /proc/net/route, gethostname and
// getaddrinfo.
std::optional<std::vector<TRasInterface>> SystemInterfaces();
TRasHost SystemHost();
TRasSystem LinuxSystem();

// What is known about the first dial-up connection. Texts are cut to the record's fixed widths
// (the addresses to "255.255.255.255"), so no reader meets a longer one.
struct TRasConnectionDetails {
    static constexpr int StatusTextWidth = 255;
    static constexpr int EntryNameWidth = 256;
    static constexpr int DeviceTypeWidth = 16;
    static constexpr int DeviceNameWidth = 128;
    static constexpr int IPWidth = 15;

    std::uint32_t Handle = 0; // 0 when there is no connection
    QString StatusText;
    QString EntryName;
    QString DeviceType;
    QString DeviceName;
    QString LocalIP;  // this machine's address on the link
    QString ServerIP; // the far end's address on the link

    bool operator==(const TRasConnectionDetails&) const = default;
};

// Connection states of the dial-up service that a point-to-point interface can be in (StateText
// knows them all).
namespace RasState {
constexpr int AuthProject = 10; // up, still waiting for its IPv4 address
constexpr int Connected = 0x2000;
} // namespace RasState

class TRasMonitor;
using TRasNotifyEvent =
    std::function<void(TRasMonitor& sender, const TRasConnectionDetails& details)>;
using TRasStatusNotifyEvent = std::function<void(
    TRasMonitor& sender, const TRasConnectionDetails& details, const QString& statusText)>;

// Watches the machine's dial-up (point-to-point) connections and knows the machine's own
// address. Lives on the GUI thread; while enabled it polls every PollInterval ms.
class TRasMonitor : public QObject {
  public:
    explicit TRasMonitor(QObject* parent = nullptr);
    explicit TRasMonitor(TRasSystem system, QObject* parent = nullptr);

    // Starts or stops the polling. PollInterval is read when the polling starts.
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled);
    int PollInterval = 1000;

    bool Online() const { return FOnline; }
    // Listing interfaces needs no library, so this is always true.
    bool RasApiLoaded() const { return true; }
    // The host's address, dotted, fixed at creation; empty when the host name does not resolve.
    QString LocalIP() const { return FLocalIP; }
    QString LocalHost() const { return FLocalHost; }

    TRasNotifyEvent OnRasConnected;
    TRasNotifyEvent OnRasDisconnected;
    TRasStatusNotifyEvent OnRasStatusChanged;

    // Refreshes Online and raises the events; the polling timer runs it.
    void Poll();
    // Fills `details` from the first dial-up connection; true when it is connected. Changes
    // no state and raises no event.
    bool GetConnectionDetails(TRasConnectionDetails& details) const;
    // The address a browser elsewhere reaches this machine at: that of the first connected
    // dial-up connection, else LocalIP.
    QString CurrentIPAddress() const;

    // The text of a connection state; "ERRROR" whenever `error` is not 0.
    static QString StateText(int state, int error);

  private:
    TRasSystem System;
    QTimer* Timer;
    bool FEnabled = false;
    bool FOnline = false;
    QString FLocalIP;
    QString FLocalHost;
    TRasConnectionDetails FDetails;
};

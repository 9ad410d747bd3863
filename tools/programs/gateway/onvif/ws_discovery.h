// CWsDiscovery: the gateway's ONVIF devices found by WS-Discovery on the
// interfaces the site file names: a Hello for each device when it starts
// (and when a device joins), a Bye when it stops (or the device leaves),
// and a ProbeMatch (one datagram per device) or ResolveMatch sent back to
// whoever multicast a Probe or Resolve to 239.255.255.250:3702 that the
// device matches. One UDP socket (GLib's GSocket) on the main loop;
// datagrams are read with the SOAP request reader.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

typedef struct _GSocket GSocket;
typedef struct _GSource GSource;

namespace kn::gateway {

struct DiscoveredDevice {
    std::string key;   // NAME or NAME/CH
    std::string uuid;  // without urn:uuid:
    std::vector<std::string> scopes;
};

class CWsDiscovery {
public:
    // devices: the devices now, asked for each Probe and Resolve.
    CWsDiscovery(std::vector<std::string> interfaces, uint16_t httpPort,
                 std::function<std::vector<DiscoveredDevice>()> devices);
    ~CWsDiscovery();
    CWsDiscovery(const CWsDiscovery &) = delete;
    CWsDiscovery &operator=(const CWsDiscovery &) = delete;

    // Joins the group on each interface and says Hello for every device;
    // false with a message (an interface unknown or with no IPv4 address,
    // the port taken).
    bool Start(std::string &message);
    // Says Bye for every device and closes the socket.
    void Stop();
    void Hello(const DiscoveredDevice &device);
    void Bye(const DiscoveredDevice &device);

    // What a device's ProbeMatch or ResolveMatch says, and whether a
    // Probe's types and scopes (space-separated) match it (exposed for the
    // tests).
    static bool Matches(const DiscoveredDevice &device, const std::string &types, const std::string &scopes);

    // The socket's source: reads what waits.
    static int OnReadable(GSocket *socket, int condition, void *self);

private:
    struct Interface {
        std::string name;
        std::string address;  // its IPv4 address
    };
    void Receive();
    void Announce(const char *what, const DiscoveredDevice &device);
    void SendTo(const std::string &text, const std::string &host, uint16_t port, const Interface *via);
    std::string Envelope(const char *action, const std::string &relatesTo, const std::string &to,
                         const std::string &body);
    std::string Endpoint(const DiscoveredDevice &device, const std::string &address) const;

    const std::vector<std::string> m_Names;
    const uint16_t m_wHttpPort;
    const std::function<std::vector<DiscoveredDevice>()> m_Devices;
    std::vector<Interface> m_Interfaces;
    GSocket *m_pSocket = nullptr;
    GSource *m_pSource = nullptr;
    uint64_t m_nInstance = 0;  // AppSequence: this run
    uint64_t m_nMessage = 0;   // and its messages
};

}  // namespace kn::gateway

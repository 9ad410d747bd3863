#include "tools/programs/gateway/onvif/ws_discovery.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <sstream>

#include "tools/programs/gateway/onvif/soap_request.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr const char *kGroup = "239.255.255.250";
constexpr uint16_t kPort = 3702;
constexpr size_t kDatagram = 65536;
constexpr const char *kAnonymous = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
constexpr const char *kTypes = "dn:NetworkVideoTransmitter tds:Device";

std::string NewUuid()
{
    gchar *u = g_uuid_string_random();
    std::string out = u;
    g_free(u);
    return out;
}

std::string Escaped(const std::string &text)
{
    gchar *e = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
    std::string out = e;
    g_free(e);
    return out;
}

std::vector<std::string> Words(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

// A scope matches when it is one of ours or a prefix of one at a '/'.
bool ScopeMatches(const std::string &asked, const std::vector<std::string> &ours)
{
    for (const std::string &s : ours) {
        if (s == asked ||
            (s.size() > asked.size() && s.rfind(asked, 0) == 0 && (asked.back() == '/' || s[asked.size()] == '/'))) {
            return true;
        }
    }
    return false;
}

gboolean Readable(GSocket *socket, GIOCondition condition, gpointer self)
{
    return CWsDiscovery::OnReadable(socket, condition, self);
}

}  // namespace

CWsDiscovery::CWsDiscovery(std::vector<std::string> interfaces, uint16_t httpPort,
                           std::function<std::vector<DiscoveredDevice>()> devices)
    : m_Names(std::move(interfaces)), m_wHttpPort(httpPort), m_Devices(std::move(devices))
{}

CWsDiscovery::~CWsDiscovery() { Stop(); }

bool CWsDiscovery::Matches(const DiscoveredDevice &device, const std::string &types, const std::string &scopes)
{
    for (const std::string &t : Words(types)) {
        const std::string local = t.substr(t.find(':') + 1);
        if (local != "NetworkVideoTransmitter" && local != "Device") {
            return false;
        }
    }
    for (const std::string &s : Words(scopes)) {
        if (!ScopeMatches(s, device.scopes)) {
            return false;
        }
    }
    return true;
}

bool CWsDiscovery::Start(std::string &message)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        message = "WS-Discovery: cannot list the network interfaces";
        return false;
    }
    for (const std::string &name : m_Names) {
        std::string address;
        for (const ifaddrs *i = all; i != nullptr && address.empty(); i = i->ifa_next) {
            if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && name == i->ifa_name) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr, text, sizeof text);
                address = text;
            }
        }
        if (address.empty()) {
            freeifaddrs(all);
            message = "WS-Discovery: the interface " + name + " has no IPv4 address (or does not exist)";
            return false;
        }
        m_Interfaces.push_back({name, address});
    }
    freeifaddrs(all);

    GError *error = nullptr;
    m_pSocket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, &error);
    GInetAddress *any = g_inet_address_new_any(G_SOCKET_FAMILY_IPV4);
    GSocketAddress *bound = g_inet_socket_address_new(any, kPort);
    g_object_unref(any);
    const bool ok = m_pSocket != nullptr && g_socket_bind(m_pSocket, bound, TRUE, &error);
    g_object_unref(bound);
    GInetAddress *group = g_inet_address_new_from_string(kGroup);
    bool joined = ok;
    for (const Interface &i : m_Interfaces) {
        joined = joined && g_socket_join_multicast_group(m_pSocket, group, FALSE, i.name.c_str(), &error);
    }
    g_object_unref(group);
    if (!joined) {
        message = std::string("WS-Discovery: cannot listen on ") + kGroup + ":" + std::to_string(kPort) + ": " +
                  (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        Stop();
        return false;
    }
    g_socket_set_blocking(m_pSocket, FALSE);
    m_pSource = g_socket_create_source(m_pSocket, G_IO_IN, nullptr);
    g_source_set_callback(m_pSource, G_SOURCE_FUNC(Readable), this, nullptr);
    g_source_attach(m_pSource, nullptr);
    m_nInstance = static_cast<uint64_t>(g_get_real_time() / G_USEC_PER_SEC);
    std::string names;
    for (const Interface &i : m_Interfaces) {
        names += (names.empty() ? "" : ", ") + i.name + " (" + i.address + ")";
    }
    Log("onvif: WS-Discovery on %s", names.c_str());
    for (const DiscoveredDevice &d : m_Devices()) {
        Hello(d);
    }
    return true;
}

void CWsDiscovery::Stop()
{
    if (m_pSource != nullptr) {
        for (const DiscoveredDevice &d : m_Devices()) {
            Bye(d);
        }
        g_source_destroy(m_pSource);
        g_source_unref(m_pSource);
        m_pSource = nullptr;
    }
    if (m_pSocket != nullptr) {
        g_socket_close(m_pSocket, nullptr);
        g_object_unref(m_pSocket);
        m_pSocket = nullptr;
    }
}

int CWsDiscovery::OnReadable(GSocket *, int, void *self)
{
    static_cast<CWsDiscovery *>(self)->Receive();
    return G_SOURCE_CONTINUE;
}

std::string CWsDiscovery::Envelope(const char *action, const std::string &relatesTo, const std::string &to,
                                   const std::string &body)
{
    std::string header = std::string("<a:Action s:mustUnderstand=\"1\">") + kNsDiscovery + "/" + action +
                         "</a:Action><a:MessageID>urn:uuid:" + NewUuid() + "</a:MessageID>";
    if (!relatesTo.empty()) {
        header += "<a:RelatesTo>" + Escaped(relatesTo) + "</a:RelatesTo>";
    }
    header += "<a:To s:mustUnderstand=\"1\">" + to + "</a:To><d:AppSequence s:mustUnderstand=\"1\" InstanceId=\"" +
              std::to_string(m_nInstance) + "\" MessageNumber=\"" + std::to_string(++m_nMessage) + "\"/>";
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope "
                       "xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
                       "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" xmlns:d=\"") +
           kNsDiscovery +
           "\" xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
           "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"><s:Header>" +
           header + "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string CWsDiscovery::Endpoint(const DiscoveredDevice &device, const std::string &address) const
{
    std::string scopes;
    for (const std::string &s : device.scopes) {
        scopes += (scopes.empty() ? "" : " ") + Escaped(s);
    }
    std::string xaddrs;
    for (const Interface &i : m_Interfaces) {
        if (address.empty() || i.address == address) {
            xaddrs += (xaddrs.empty() ? "" : " ") + std::string("http://") + i.address + ":" +
                      std::to_string(m_wHttpPort) + "/onvif/" + Escaped(device.key) + "/device_service";
        }
    }
    return "<a:EndpointReference><a:Address>urn:uuid:" + device.uuid + "</a:Address></a:EndpointReference><d:Types>" +
           kTypes + "</d:Types><d:Scopes>" + scopes + "</d:Scopes><d:XAddrs>" + xaddrs +
           "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>";
}

void CWsDiscovery::SendTo(const std::string &text, const std::string &host, uint16_t port, const Interface *via)
{
    if (m_pSocket == nullptr) {
        return;
    }
    if (via != nullptr) {
        in_addr a{};
        inet_pton(AF_INET, via->address.c_str(), &a);
        // GSocket sets only int options; the multicast interface is an address.
        setsockopt(g_socket_get_fd(m_pSocket), IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
    }
    GInetAddress *inet = g_inet_address_new_from_string(host.c_str());
    if (inet == nullptr) {
        return;
    }
    GSocketAddress *to = g_inet_socket_address_new(inet, port);
    g_object_unref(inet);
    // A datagram socket that cannot take it now drops it, as the network may.
    g_socket_send_to(m_pSocket, to, text.data(), text.size(), nullptr, nullptr);
    g_object_unref(to);
}

void CWsDiscovery::Announce(const char *what, const DiscoveredDevice &device)
{
    for (const Interface &i : m_Interfaces) {
        const std::string body =
            std::string("<d:") + what + ">" +
            (std::strcmp(what, "Bye") == 0
                 ? "<a:EndpointReference><a:Address>urn:uuid:" + device.uuid + "</a:Address></a:EndpointReference>"
                 : Endpoint(device, i.address)) +
            "</d:" + what + ">";
        SendTo(Envelope(what, "", "urn:schemas-xmlsoap-org:ws:2005:04:discovery", body), kGroup, kPort, &i);
    }
}

void CWsDiscovery::Hello(const DiscoveredDevice &device) { Announce("Hello", device); }
void CWsDiscovery::Bye(const DiscoveredDevice &device) { Announce("Bye", device); }

void CWsDiscovery::Receive()
{
    std::vector<char> buffer(kDatagram);
    for (int n = 0; n < 64; ++n) {  // what waits now, a bounded number at a time
        GSocketAddress *from = nullptr;
        const gssize size = g_socket_receive_from(m_pSocket, &from, buffer.data(), buffer.size(), nullptr, nullptr);
        if (size <= 0) {
            if (from != nullptr) {
                g_object_unref(from);
            }
            return;
        }
        SoapRequest r;
        std::string why;
        std::string host;
        uint16_t port = 0;
        if (from != nullptr && G_IS_INET_SOCKET_ADDRESS(from)) {
            gchar *h = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(from)));
            host = h;
            g_free(h);
            port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(from));
        }
        if (from != nullptr) {
            g_object_unref(from);
        }
        if (port == 0 || ReadSoapRequest(buffer.data(), static_cast<size_t>(size), r, why) != SoapRead::Ok ||
            r.ns != kNsDiscovery) {
            continue;  // not ours to answer (our own Hello and Bye among them)
        }
        if (r.operation == "Probe") {
            for (const DiscoveredDevice &d : m_Devices()) {
                if (Matches(d, r.Field("Types"), r.Field("Scopes"))) {
                    SendTo(Envelope("ProbeMatches", r.messageId, kAnonymous,
                                    "<d:ProbeMatches><d:ProbeMatch>" + Endpoint(d, "") +
                                        "</d:ProbeMatch></d:ProbeMatches>"),
                           host, port, nullptr);
                }
            }
        } else if (r.operation == "Resolve") {
            for (const DiscoveredDevice &d : m_Devices()) {
                if (r.Field("Address") == "urn:uuid:" + d.uuid) {
                    SendTo(Envelope("ResolveMatches", r.messageId, kAnonymous,
                                    "<d:ResolveMatches><d:ResolveMatch>" + Endpoint(d, "") +
                                        "</d:ResolveMatch></d:ResolveMatches>"),
                           host, port, nullptr);
                }
            }
        }
    }
}

}  // namespace kn::gateway

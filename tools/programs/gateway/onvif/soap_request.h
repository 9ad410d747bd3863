// Reading an ONVIF client's SOAP request: the envelope is parsed by libxml2
// with network access, DTDs and entity expansion off (a document with a
// DOCTYPE is refused before it is parsed), elements matched on their
// namespace URIs, and the body bounded in size. What the operations need
// is taken out into a plain value: the operation's name and namespace, the
// text of the body's elements by local name, and the WS-Security
// UsernameToken. CTokenCheck then checks that token's password digest, its
// time and its nonce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_set>

namespace kn::gateway {

inline constexpr size_t kMaxSoapBytes = 64 * 1024;

inline constexpr const char *kNsSoap12 = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr const char *kNsDevice = "http://www.onvif.org/ver10/device/wsdl";
inline constexpr const char *kNsMedia = "http://www.onvif.org/ver10/media/wsdl";
inline constexpr const char *kNsEvents = "http://www.onvif.org/ver10/events/wsdl";
inline constexpr const char *kNsWsnt = "http://docs.oasis-open.org/wsn/b-2";
inline constexpr const char *kNsDiscovery = "http://schemas.xmlsoap.org/ws/2005/04/discovery";

struct UsernameToken {
    bool present = false;
    std::string user;
    std::string password;  // the digest (Base64) or, with digest false, the password itself
    bool digest = false;
    std::string nonce;  // Base64, as sent
    std::string created;
};

struct SoapRequest {
    std::string ns;         // the namespace URI of the body's first element
    std::string operation;  // its local name
    // The text of every element inside the operation that holds text, by
    // local name; the first of a repeated name.
    std::map<std::string, std::string> fields;
    UsernameToken token;
    std::string messageId;  // WS-Addressing (2005 or WS-Discovery's 2004) MessageID, "" when none

    // A field's text, "" when absent.
    const std::string &Field(const std::string &name) const;
};

enum class SoapRead {
    Ok,
    TooLarge,   // past kMaxSoapBytes: not parsed
    Malformed,  // not well-formed XML, a DOCTYPE, or no SOAP envelope with a body
};

// Reads a request body of size bytes.
SoapRead ReadSoapRequest(const char *data, size_t size, SoapRequest &out, std::string &why);

// Base64(SHA-1(nonce bytes + created + password)), the UsernameToken's
// password digest; "" when the nonce is no Base64.
std::string PasswordDigest(const std::string &nonceBase64, const std::string &created, const std::string &password);

// Checks UsernameTokens for one device set: the digest (or the plain
// password), the time it was made (within a window of the gateway's clock)
// and its nonce (not seen before within that window; the nonces kept are
// bounded in number, the oldest forgotten first).
class CTokenCheck {
public:
    enum class Verdict { Ok, BadPassword, Stale, Replayed };

    static constexpr int64_t kWindowMs = 5 * 60 * 1000;
    static constexpr size_t kNonces = 4096;

    Verdict Check(const UsernameToken &token, const std::string &password, int64_t nowUnixMs);

private:
    std::deque<std::pair<int64_t, std::string>> m_Seen;  // when, nonce; oldest first
    std::unordered_set<std::string> m_Nonces;
};

}  // namespace kn::gateway

#include "tools/programs/gateway/onvif/soap_request.h"

#include <glib.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace kn::gateway {

namespace {

constexpr const char *kNsSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char *kNsWsse = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr const char *kNsWsu = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr const char *kNsWsa = "http://www.w3.org/2005/08/addressing";
constexpr const char *kNsWsa2004 = "http://schemas.xmlsoap.org/ws/2004/08/addressing";  // WS-Discovery's
constexpr std::string_view kDigestType = "#PasswordDigest";
constexpr int kMaxDepth = 32;  // deeper elements of the body are not read

bool Is(const xmlNode *n, const char *ns, const char *name)
{
    return n != nullptr && n->type == XML_ELEMENT_NODE && n->ns != nullptr && n->ns->href != nullptr &&
           std::strcmp(reinterpret_cast<const char *>(n->ns->href), ns) == 0 &&
           std::strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

const xmlNode *Child(const xmlNode *parent, const char *ns, const char *name)
{
    for (const xmlNode *c = parent != nullptr ? parent->children : nullptr; c != nullptr; c = c->next) {
        if (Is(c, ns, name)) {
            return c;
        }
    }
    return nullptr;
}

std::string Text(const xmlNode *n)
{
    std::string out;
    for (const xmlNode *c = n != nullptr ? n->children : nullptr; c != nullptr; c = c->next) {
        if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content != nullptr) {
            out += reinterpret_cast<const char *>(c->content);
        }
    }
    const size_t first = out.find_first_not_of(" \t\r\n");
    const size_t last = out.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : out.substr(first, last - first + 1);
}

bool HasElementChild(const xmlNode *n)
{
    for (const xmlNode *c = n->children; c != nullptr; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            return true;
        }
    }
    return false;
}

void Collect(const xmlNode *n, int depth, std::map<std::string, std::string> &fields)
{
    for (const xmlNode *c = n->children; c != nullptr && depth < kMaxDepth; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (HasElementChild(c)) {
            Collect(c, depth + 1, fields);
        } else {
            fields.emplace(reinterpret_cast<const char *>(c->name), Text(c));
        }
    }
}

void ReadToken(const xmlNode *header, UsernameToken &token)
{
    const xmlNode *t = Child(Child(header, kNsWsse, "Security"), kNsWsse, "UsernameToken");
    if (t == nullptr) {
        return;
    }
    token.present = true;
    token.user = Text(Child(t, kNsWsse, "Username"));
    const xmlNode *password = Child(t, kNsWsse, "Password");
    token.password = Text(password);
    if (password != nullptr) {
        xmlChar *type = xmlGetProp(password, reinterpret_cast<const xmlChar *>("Type"));
        token.digest = type != nullptr && std::string_view(reinterpret_cast<const char *>(type)).ends_with(kDigestType);
        xmlFree(type);
    }
    token.nonce = Text(Child(t, kNsWsse, "Nonce"));
    token.created = Text(Child(t, kNsWsu, "Created"));
}

}  // namespace

const std::string &SoapRequest::Field(const std::string &name) const
{
    static const std::string none;
    const auto it = fields.find(name);
    return it != fields.end() ? it->second : none;
}

SoapRead ReadSoapRequest(const char *data, size_t size, SoapRequest &out, std::string &why)
{
    out = SoapRequest{};
    if (size > kMaxSoapBytes) {
        why = "the request is larger than " + std::to_string(kMaxSoapBytes) + " bytes";
        return SoapRead::TooLarge;
    }
    // No document type: what one declares (entities above all) is never
    // wanted in a SOAP message, and the parser is not let near it.
    if (std::string_view(data, size).find("<!DOCTYPE") != std::string_view::npos) {
        why = "the request declares a document type";
        return SoapRead::Malformed;
    }
    const std::unique_ptr<xmlDoc, void (*)(xmlDoc *)> doc(
        xmlReadMemory(data, static_cast<int>(size), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA),
        xmlFreeDoc);
    if (doc == nullptr) {
        why = "the request is no well-formed XML";
        return SoapRead::Malformed;
    }
    if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
        why = "the request declares a document type";
        return SoapRead::Malformed;
    }
    const xmlNode *envelope = xmlDocGetRootElement(doc.get());
    const char *soap = Is(envelope, kNsSoap12, "Envelope")   ? kNsSoap12
                       : Is(envelope, kNsSoap11, "Envelope") ? kNsSoap11
                                                             : nullptr;
    if (soap == nullptr) {
        why = "the request is no SOAP envelope";
        return SoapRead::Malformed;
    }
    const xmlNode *header = Child(envelope, soap, "Header");
    const xmlNode *body = Child(envelope, soap, "Body");
    const xmlNode *operation = nullptr;
    for (const xmlNode *c = body != nullptr ? body->children : nullptr; c != nullptr && operation == nullptr;
         c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            operation = c;
        }
    }
    if (operation == nullptr) {
        why = "the SOAP body names no operation";
        return SoapRead::Malformed;
    }
    out.operation = reinterpret_cast<const char *>(operation->name);
    if (operation->ns != nullptr && operation->ns->href != nullptr) {
        out.ns = reinterpret_cast<const char *>(operation->ns->href);
    }
    Collect(operation, 0, out.fields);
    ReadToken(header, out.token);
    out.messageId = Text(Child(header, kNsWsa, "MessageID"));
    if (out.messageId.empty()) {
        out.messageId = Text(Child(header, kNsWsa2004, "MessageID"));
    }
    return SoapRead::Ok;
}

std::string PasswordDigest(const std::string &nonceBase64, const std::string &created, const std::string &password)
{
    if (nonceBase64.empty()) {
        return "";
    }
    gsize nonceSize = 0;
    guchar *nonce = g_base64_decode(nonceBase64.c_str(), &nonceSize);
    std::string material(reinterpret_cast<const char *>(nonce), nonceSize);
    g_free(nonce);
    material += created;
    material += password;
    guint8 sha1[20];
    gsize sha1Size = sizeof sha1;
    GChecksum *checksum = g_checksum_new(G_CHECKSUM_SHA1);
    g_checksum_update(checksum, reinterpret_cast<const guchar *>(material.data()),
                      static_cast<gssize>(material.size()));
    g_checksum_get_digest(checksum, sha1, &sha1Size);
    g_checksum_free(checksum);
    gchar *text = g_base64_encode(sha1, sha1Size);
    std::string digest = text;
    g_free(text);
    return digest;
}

CTokenCheck::Verdict CTokenCheck::Check(const UsernameToken &token, const std::string &password, int64_t nowUnixMs)
{
    if (!token.digest) {
        return token.password == password ? Verdict::Ok : Verdict::BadPassword;
    }
    if (token.nonce.empty() || token.created.empty() ||
        PasswordDigest(token.nonce, token.created, password) != token.password) {
        return Verdict::BadPassword;
    }
    GTimeZone *utc = g_time_zone_new_utc();
    GDateTime *created = g_date_time_new_from_iso8601(token.created.c_str(), utc);
    g_time_zone_unref(utc);
    if (created == nullptr) {
        return Verdict::Stale;
    }
    const int64_t createdMs = g_date_time_to_unix(created) * 1000 + g_date_time_get_microsecond(created) / 1000;
    g_date_time_unref(created);
    if (createdMs < nowUnixMs - kWindowMs || createdMs > nowUnixMs + kWindowMs) {
        return Verdict::Stale;
    }
    while (!m_Seen.empty() && (m_Seen.front().first < nowUnixMs - 2 * kWindowMs || m_Seen.size() >= kNonces)) {
        m_Nonces.erase(m_Seen.front().second);
        m_Seen.pop_front();
    }
    if (!m_Nonces.insert(token.nonce).second) {
        return Verdict::Replayed;
    }
    m_Seen.emplace_back(nowUnixMs, token.nonce);
    return Verdict::Ok;
}

}  // namespace kn::gateway

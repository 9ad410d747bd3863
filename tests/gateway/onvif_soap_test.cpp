// The ONVIF front's request reader and its UsernameToken check: hostile
// bodies are refused before anything in them is used (no entity expanded,
// no document type read, nothing past the size bound parsed), elements are
// matched by namespace and not by prefix, and a digest is checked for its
// password, its time and its nonce.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/programs/gateway/onvif/soap_request.h"

namespace kn::gateway {
namespace {

const std::string kSoap = "http://www.w3.org/2003/05/soap-envelope";

std::string Envelope(const std::string &body, const std::string &header = "", const std::string &prefix = "s")
{
    return "<" + prefix + ":Envelope xmlns:" + prefix + "=\"" + kSoap + "\"><" + prefix + ":Header>" + header + "</" +
           prefix + ":Header><" + prefix + ":Body>" + body + "</" + prefix + ":Body></" + prefix + ":Envelope>";
}

std::string Token(const std::string &user, const std::string &digest, const std::string &nonce,
                  const std::string &created)
{
    return "<wsse:Security xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/"
           "oasis-200401-wss-wssecurity-secext-1.0.xsd\" xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/"
           "oasis-200401-wss-wssecurity-utility-1.0.xsd\"><wsse:UsernameToken><wsse:Username>" +
           user +
           "</wsse:Username><wsse:Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
           "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
           digest + "</wsse:Password><wsse:Nonce>" + nonce + "</wsse:Nonce><wsu:Created>" + created +
           "</wsu:Created></wsse:UsernameToken></wsse:Security>";
}

SoapRead Read(const std::string &text, SoapRequest &r)
{
    std::string why;
    const SoapRead read = ReadSoapRequest(text.data(), text.size(), r, why);
    EXPECT_EQ(read == SoapRead::Ok, why.empty()) << why;
    return read;
}

TEST(OnvifSoap, HostileBodiesAreRefusedAndWellFormedOnesRead)
{
    const std::string bomb =
        "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>" +
        Envelope("<GetHostname xmlns=\"http://www.onvif.org/ver10/device/wsdl\">&c;</GetHostname>");
    const std::string external =
        "<!DOCTYPE x SYSTEM \"http://127.0.0.1:1/x.dtd\">" + Envelope("<GetHostname xmlns=\"urn:x\"/>");
    std::string huge = Envelope("<GetHostname xmlns=\"http://www.onvif.org/ver10/device/wsdl\"><x>" +
                                std::string(4 << 20, 'a') + "</x></GetHostname>");
    struct Case {
        const char *what;
        std::string text;
        SoapRead expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", SoapRead::Malformed},
        {"not XML", "GET / HTTP/1.1", SoapRead::Malformed},
        {"cut short", Envelope("<GetHostname xmlns=\"urn:x\"/>").substr(0, 60), SoapRead::Malformed},
        {"an entity bomb", bomb, SoapRead::Malformed},
        {"an external DTD", external, SoapRead::Malformed},
        {"many megabytes", huge, SoapRead::TooLarge},
        {"an envelope of another namespace",
         "<s:Envelope xmlns:s=\"urn:not-soap\"><s:Body><GetHostname/></s:Body></s:Envelope>", SoapRead::Malformed},
        {"a body without an operation", Envelope(""), SoapRead::Malformed},
        {"any prefix for SOAP 1.2", Envelope("<GetHostname xmlns=\"urn:x\"/>", "", "env"), SoapRead::Ok},
    };
    for (const Case &c : cases) {
        SoapRequest r;
        EXPECT_EQ(c.expected, Read(c.text, r)) << c.what;
    }

    // A prefix never declared names no namespace: the operation is no
    // device's (the front answers it with a fault).
    SoapRequest r;
    ASSERT_EQ(SoapRead::Ok, Read(Envelope("<tds:GetHostname/>"), r));
    EXPECT_EQ("", r.ns);
    ASSERT_EQ(SoapRead::Ok,
              Read(Envelope("<m:GetStreamUri xmlns:m=\"http://www.onvif.org/ver10/media/wsdl\" "
                            "xmlns:t=\"http://www.onvif.org/ver10/schema\"><m:StreamSetup><t:Stream>RTP-Unicast</"
                            "t:Stream><t:Transport><t:Protocol> HTTP </t:Protocol></t:Transport></m:StreamSetup>"
                            "<m:ProfileToken>profile_3</m:ProfileToken></m:GetStreamUri>",
                            Token("viewer", "ZGln", "bm9uY2U=", "2026-12-10T10:00:00Z")),
                   r));
    EXPECT_EQ(kNsMedia, r.ns);
    EXPECT_EQ("GetStreamUri", r.operation);
    EXPECT_EQ("HTTP", r.Field("Protocol"));
    EXPECT_EQ("profile_3", r.Field("ProfileToken"));
    EXPECT_EQ("", r.Field("Absent"));
    EXPECT_TRUE(r.token.present && r.token.digest);
    EXPECT_EQ("viewer", r.token.user);
    EXPECT_EQ("bm9uY2U=", r.token.nonce);

    // A token in a namespace that is not WS-Security's is no token.
    ASSERT_EQ(SoapRead::Ok, Read(Envelope("<GetUsers xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>",
                                          "<Security xmlns=\"urn:other\"><UsernameToken><Username>x</Username>"
                                          "</UsernameToken></Security>"),
                                 r));
    EXPECT_FALSE(r.token.present);
}

TEST(OnvifSoap, TheDigestIsCheckedForItsPasswordItsTimeAndItsNonce)
{
    // Base64(SHA-1(nonce + created + password)), worked out independently:
    // printf 'nonce-16-bytes!!2026-12-10T10:00:00.000Zsecret' | sha1sum | xxd -r -p | base64
    const std::string nonce = "bm9uY2UtMTYtYnl0ZXMhIQ==";
    const std::string created = "2026-12-10T10:00:00.000Z";
    const std::string digest = PasswordDigest(nonce, created, "secret");
    EXPECT_EQ("nmspDIHciYxUHZH3lr2SShHvMyI=", digest);
    const int64_t createdMs = 1796896800000;  // 2026-12-10T10:00:00Z

    struct Case {
        const char *what;
        std::string digest, nonce, password;
        int64_t nowMs;
        CTokenCheck::Verdict expected;
    };
    using V = CTokenCheck::Verdict;
    const std::vector<Case> cases = {
        {"right", digest, nonce, "secret", createdMs + 1000, V::Ok},
        {"the same nonce again", digest, nonce, "secret", createdMs + 2000, V::Replayed},
        {"a wrong password", digest, nonce, "Secret", createdMs, V::BadPassword},
        {"a wrong digest", "AAAA" + digest.substr(4), nonce, "secret", createdMs, V::BadPassword},
        {"no nonce", digest, "", "secret", createdMs, V::BadPassword},
        {"a clock far behind", PasswordDigest("b3RoZXI=", created, "secret"), "b3RoZXI=", "secret",
         createdMs + CTokenCheck::kWindowMs + 1000, V::Stale},
        {"a clock far ahead", PasswordDigest("dGhpcmQ=", created, "secret"), "dGhpcmQ=", "secret",
         createdMs - CTokenCheck::kWindowMs - 1000, V::Stale},
    };
    CTokenCheck check;
    for (const Case &c : cases) {
        UsernameToken t{true, "viewer", c.digest, true, c.nonce, created};
        EXPECT_EQ(c.expected, check.Check(t, c.password, c.nowMs)) << c.what;
    }
    // A created time that is no time is stale; a plain password is compared.
    UsernameToken t{true, "viewer", PasswordDigest(nonce, "yesterday", "secret"), true, nonce, "yesterday"};
    EXPECT_EQ(V::Stale, check.Check(t, "secret", createdMs));
    EXPECT_EQ(V::Ok, check.Check(UsernameToken{true, "viewer", "secret", false, "", ""}, "secret", createdMs));
    EXPECT_EQ(V::BadPassword, check.Check(UsernameToken{true, "viewer", "x", false, "", ""}, "secret", createdMs));

    // The nonces kept are bounded: far more tokens than it keeps, each new.
    CTokenCheck many;
    for (size_t i = 0; i < 3 * CTokenCheck::kNonces; ++i) {
        gchar *n = g_base64_encode(reinterpret_cast<const guchar *>(&i), sizeof i);
        UsernameToken u{true, "viewer", PasswordDigest(n, created, "secret"), true, n, created};
        g_free(n);
        ASSERT_EQ(V::Ok, many.Check(u, "secret", createdMs)) << i;
    }
}

}  // namespace
}  // namespace kn::gateway

// The gateway's TLS identity: the certificate and key of the site file's
// tls: block, loaded and proven before a listener takes them. Proven: the
// certificate is within its dates, and a TLS handshake in the process (a
// client connection against a server connection on a socket pair) succeeds
// with it, which only a key that matches the certificate allows. Needs GIO
// with a TLS backend (glib-networking).
#pragma once

#include <string>

typedef struct _GTlsCertificate GTlsCertificate;

namespace kn::gateway {

// The certificate (with its key) or null with a message saying what is wrong.
GTlsCertificate *LoadTlsIdentity(const std::string &certificate, const std::string &key, std::string &message);

}  // namespace kn::gateway

// The RTSP front's authentication: a GstRTSPAuth that asks the site's one
// CAccess. Basic logins are checked by CAccess::Authenticate (a hash user
// only over RTSPS or from loopback); Digest by GStreamer's own digest code
// with the passwords of the users that have one. A token names the user
// (kUserField) and carries the role every mount asks for (kRtspRole); the
// per-mount, per-method decision is the front's (RtspMay). An address that
// keeps failing is refused logins for a while (the listener's hold-back
// "rtsp"; RTSP answers are not delayed, as a client's thread may be shared).
#pragma once

#include <string>

typedef struct _GstRTSPAuth GstRTSPAuth;
typedef struct _GstRTSPContext GstRTSPContext;
typedef struct _GTlsCertificate GTlsCertificate;

namespace kn::gateway {

class CAccess;
class ISiteDirectory;
enum class Action;

constexpr const char *kRtspRole = "viewer";
constexpr const char *kRtspUserField = "kestrel.user";

// A new authentication for the listeners with (certificate not null: RTSPS)
// or without TLS; access outlives it.
GstRTSPAuth *MakeRtspAuth(const CAccess &access, GTlsCertificate *certificate);

// Whom the request's token names ("" when nobody logged in).
std::string RtspUserOf(const GstRTSPContext *ctx);
// The client's address.
std::string RtspPeerOf(const GstRTSPContext *ctx);

// The access decision for a request, with its line in the audit trail.
bool RtspMay(const ISiteDirectory &directory, const GstRTSPContext *ctx, Action action, const std::string &recorder,
             int channel);

}  // namespace kn::gateway

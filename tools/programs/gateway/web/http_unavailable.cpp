// The web side of kestrel gateway when kestrel was built without libsoup 3:
// the gateway serves RTSP only and says so.
#include "tools/programs/gateway/web/http_front.h"

#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

CHttpFront::CHttpFront(HttpOptions options, ISiteDirectory &directory)
    : m_Options(std::move(options)), m_Directory(directory)
{}

std::unique_ptr<IFront> MakeHttpFront(const SiteConfig &site, ISiteDirectory &directory)
{
    return site.http ? std::make_unique<CHttpFront>(HttpOptions{}, directory) : nullptr;
}

CHttpFront::~CHttpFront() = default;

// Without the web side nothing is served from the archive: its front (a
// member of CHttpFront) never starts a clip, so it has nothing to stop.
CArchiveFront::~CArchiveFront() = default;

bool CHttpFront::Start(std::string &)
{
    Log("no web side: kestrel was built without libsoup 3 (libsoup-3.0-dev)");
    return true;
}

void CHttpFront::Stop() {}

}  // namespace kn::gateway

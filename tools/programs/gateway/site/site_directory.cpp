#include "tools/programs/gateway/site/site_directory.h"

namespace kn::gateway {

CStreamReader::CStreamReader(std::weak_ptr<CChannelHub> hub, std::shared_ptr<IClientSink> sink)
    : m_Hub(std::move(hub)), m_Sink(std::move(sink))
{}

CStreamReader::~CStreamReader()
{
    if (const std::shared_ptr<CChannelHub> hub = m_Hub.lock()) {
        int left = 0;
        hub->Remove(m_Sink.get(), left);
    }
}

void CStreamReader::StartNow()
{
    if (const std::shared_ptr<CChannelHub> hub = m_Hub.lock()) {
        hub->StartNow(m_Sink.get());
    }
}

}  // namespace kn::gateway

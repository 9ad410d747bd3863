// CWhepFront: WebRTC over WHEP on the gateway's HTTP listener, built on
// GStreamer's webrtcbin. POST /NAME/CH/whep with an SDP offer answers 201
// with the SDP answer (every candidate gathered: no trickle) and a
// Location that DELETE ends; OPTIONS answers the CORS preflight; the ICE
// servers are announced in Link headers; PATCH (trickle ICE) answers 405.
// H.264 goes out as the recorder sent it, never transcoded: packetization
// mode 1 and a profile the browser's offer lists, else 406. A session
// starts at the channel's next keyframe once its browser is connected,
// and is freed when the browser goes away (DELETE, or ICE lost for good).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

class CSessionFeeder;
class CWhepSession;

class CWhepFront final : public IFront {
public:
    CWhepFront(const WebrtcConfig &config, ISiteDirectory &directory);
    ~CWhepFront() override;
    CWhepFront(const CWhepFront &) = delete;
    CWhepFront &operator=(const CWhepFront &) = delete;

    // Adds its routes to the gateway's HTTP listener.
    bool Start(std::string &message) override;
    // Ends every session.
    void Stop() override;

    // A request offered by the HTTP listener: true when it is a WHEP path.
    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user);
    // Ends a session (on the main loop).
    void End(uint64_t id, const char *why);

private:
    class CRoute;

    void Offer(SoupServerMessage *msg, const std::string &name, int channel, const std::string &user);
    void Cors(SoupServerMessage *msg, const char *methods) const;
    // Opens a channel for a while (a reader that takes nothing), so that
    // an offer retried finds its parameter sets.
    void Warm(const std::string &name, int channel);

    const WebrtcConfig m_Config;
    ISiteDirectory &m_Directory;
    std::shared_ptr<CRoute> m_pRoute;
    std::unique_ptr<CSessionFeeder> m_pFeeder;  // the threads that push the sessions' units
    std::map<uint64_t, std::shared_ptr<CWhepSession>> m_Sessions;
    std::map<std::pair<std::string, int>, std::unique_ptr<CStreamReader>> m_Warm;
    uint64_t m_nNextId = 1;
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);  // for callbacks that may outlive this
};

// The table of fronts' line; null without the web side or webrtcbin.
std::unique_ptr<IFront> MakeWhepFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway

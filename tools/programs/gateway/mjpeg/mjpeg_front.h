// CMjpegFront: a channel as a stream of JPEG pictures for the simplest
// clients (home-automation picture cards, old browsers, curl), on the
// gateway's HTTP listener: GET /NAME/CH.mjpeg answers
// multipart/x-mixed-replace, 5 pictures a second at the recorder's width
// unless the query picks another rate (fps) or width from a small set.
// Each channel and setting in use is decoded and encoded once, by one
// reader of the channel's stream, however many clients read it, and only
// while one does. A client that does not take its pictures loses
// pictures, never anyone else's.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

class CMjpegEncoder;

class CMjpegFront final : public IFront {
public:
    explicit CMjpegFront(ISiteDirectory &directory);
    ~CMjpegFront() override;
    CMjpegFront(const CMjpegFront &) = delete;
    CMjpegFront &operator=(const CMjpegFront &) = delete;

    // Adds its route to the gateway's HTTP listener.
    bool Start(std::string &message) override;
    // Ends every client's response and every encoder.
    void Stop() override;

    // A request offered by the HTTP listener: true when it is a .mjpeg path.
    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user);

    // The rates and widths a client may ask for (width 0: the recorder's).
    static const std::vector<int> &Rates();
    static const std::vector<int> &Widths();

    // A picture of one channel and setting, on the main loop.
    void Deliver(const std::tuple<std::string, int, int, int> &key, const std::vector<uint8_t> &jpeg);
    // The stream of one channel and setting ended (the recorder left, or
    // its pipeline failed): its clients' responses end.
    void EndKey(const std::tuple<std::string, int, int, int> &key);

private:
    using Key = std::tuple<std::string, int, int, int>;  // recorder, channel, fps, width
    struct Client;
    struct Channel;
    class CRoute;

    void Leave(const Key &key, Client *client);
    void StopChannel(const Key &key);

    ISiteDirectory &m_Directory;
    std::map<Key, std::unique_ptr<Channel>> m_Channels;
    std::shared_ptr<CRoute> m_pRoute;
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);  // for callbacks that may outlive this
};

// The table of fronts' line; null without the web side.
std::unique_ptr<IFront> MakeMjpegFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway
